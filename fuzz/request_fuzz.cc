// Request files through the dispatcher: the input is the whole request file, taken up by
// TraiteRequete as if the request pickup had listed it, with a session open for its
// token. Every command runs against a small site (users, templates, a waiting document,
// an archive, an agenda).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/request.h"
#include "exchange/dispatch.h"
#include "fuzz_site.h"

using namespace guichet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzSite& site = fuzz::FuzzSite::Get();
  site.Tick();
  const std::string in = site.spool() + "/in/";
  fuzz::WriteFile(in + "f.req", std::string_view(reinterpret_cast<const char*>(data), size));
  TraiteRequete(site.g(), "f.req");
  fuzz::RemoveFilesIn(in);
  fuzz::RemoveFilesIn(site.spool() + "/out");
  return 0;
}
