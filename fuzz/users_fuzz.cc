// The users file and the last-logon file, both kept on disk by others than Guichet: the
// input gives a users file, the log-on name, device key and password tried against it,
// and a last-logon file. The last-logon file is loaded, saved and loaded again: what
// was loaded must come back the same.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_site.h"
#include "users/lastlogons.h"
#include "users/users.h"

using namespace guichet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  fuzz::FuzzSite& site = fuzz::FuzzSite::Get();
  site.Tick();
  Guichet& g = site.g();

  const std::string users = in.ConsumeRandomLengthString(4096);
  const std::string logon = in.ConsumeRandomLengthString(64);
  const std::string uuid = in.ConsumeRandomLengthString(64);
  const std::string password = in.ConsumeRandomLengthString(64);
  const std::string lastlogons = in.ConsumeRemainingBytesAsString();

  fuzz::WriteFile(site.app() + "/guichet_users.txt", users);
  bool emptyloginallowed = false;
  const std::string id = logon2id(g, logon, uuid, emptyloginallowed);
  isPasswordCorrect(g, id.empty() ? logon : id, password);

  const std::string file = site.app() + "/guichet_lastlogons.txt";
  fuzz::WriteFile(file, lastlogons);
  g.Sessions = TableSessions();
  ChargeDerniersLogons(g);
  const std::vector<SessionEntry> loaded(g.Sessions.entries().begin(), g.Sessions.entries().end());
  SauveDerniersLogons(g);
  g.Sessions = TableSessions();
  ChargeDerniersLogons(g);
  const std::vector<SessionEntry> again(g.Sessions.entries().begin(), g.Sessions.entries().end());
  size_t kept = 0;
  for (const SessionEntry& e : loaded) {
    if (e.jeton.empty()) continue;  // never saved
    if (kept >= again.size() || again[kept].jeton != e.jeton ||
        again[kept].idUtilisateur != e.idUtilisateur || again[kept].expiration != e.expiration)
      __builtin_trap();
    ++kept;
  }
  if (kept != again.size()) __builtin_trap();
  g.Sessions = TableSessions();
  return 0;
}
