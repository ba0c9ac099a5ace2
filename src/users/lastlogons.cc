#include "users/lastlogons.h"

#include <algorithm>

#include "core/guichet.h"
#include "core/records.h"
#include "support/text.h"

namespace guichet {
namespace {

std::string FilePath(Guichet& g) { return g.App("guichet_lastlogons.txt"); }

}  // namespace

void SauveDerniersLogons(Guichet& g) {
  // The running program is not affected; the sessions may not survive a restart.
  SkipOnFailure([&] {
    if (g.Sessions.empty()) {
      // A file left there would bring back, at the next start-up, sessions closed since.
      Status s = g.env.DeleteFile(FilePath(g));
      if (!s.ok() && s.kind() != Status::kNotFound)
        g.EcritLog("SauveDerniersLogons : " + s.Description() + " (" + FilePath(g) + ")");
      g.LastLogonsAdded = 0;
      return;
    }
    std::string out;
    for (const SessionEntry& e : g.Sessions.entries()) {
      if (e.jeton.empty()) continue;
      out.append(e.jeton).append(";").append(e.idUtilisateur).append(";");
      out.append(e.expiration).append(kCrLf);
    }
    // When the new table cannot be written, the old file must not stay: it could bring
    // back, at the next start-up, sessions closed since.
    Status s = g.env.WriteSecretFileAtomic(FilePath(g), out);
    if (!s.ok()) {
      g.EcritLog("SauveDerniersLogons : " + s.Description() + " (" + FilePath(g) + ")");
      s = g.env.DeleteFile(FilePath(g));
      if (!s.ok() && s.kind() != Status::kNotFound)
        g.EcritLog("SauveDerniersLogons : " + s.Description() + " (" + FilePath(g) + ")");
      return;
    }
    g.LastLogonsAdded = 0;
  });
}

void AjouteDernierLogon(Guichet& g) {
  // As for the whole write: the running program is not affected.
  SkipOnFailure([&] {
    if (g.Sessions.empty()) return;
    if (g.LastLogonsAdded >= std::max<size_t>(16, g.Sessions.size() / 8)) {
      SauveDerniersLogons(g);
      return;
    }
    const SessionEntry& e = g.Sessions.entries().back();
    if (e.jeton.empty()) return;  // never written
    std::string line;
    line.append(e.jeton).append(";").append(e.idUtilisateur).append(";");
    line.append(e.expiration).append(kCrLf);
    if (!g.env.AppendSecretLineSynced(FilePath(g), line).ok()) {
      SauveDerniersLogons(g);
      return;
    }
    ++g.LastLogonsAdded;
  });
}

void ChargeDerniersLogons(Guichet& g) {
  // A file that cannot be read brings back no session: everyone logs on again.
  SkipOnFailure([&] {
    std::vector<std::string> lines;
    if (!ReadLines(g.env, FilePath(g), &lines).ok()) return;
    for (const std::string& line : lines) {
      if (IsBlank(line)) continue;
      std::string jeton = Extract(line, 1);
      std::string expiration = Extract(line, 3);
      if (jeton.empty() || !ParseDate(expiration)) continue;
      g.Sessions.Append(jeton, Extract(line, 2), expiration);
    }
  });
}

}  // namespace guichet
