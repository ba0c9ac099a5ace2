// Portal templates: the input gives the request values and the text of the "menu"
// template, which is filled and written as the answer page.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/request.h"
#include "fuzz_site.h"
#include "output/template.h"
#include "platform/env.h"

using namespace guichet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  fuzz::FuzzSite& site = fuzz::FuzzSite::Get();
  site.Tick();
  Guichet& g = site.g();

  Requete r;
  r.command = "login";
  r.logon = fuzz::FuzzSite::kToken;
  r.htmfile = site.spool() + "/out/t.htm";
  r.line4 = in.ConsumeRandomLengthString(64);
  r.line5 = in.ConsumeRandomLengthString(64);
  const std::string line6 = in.ConsumeRandomLengthString(256);
  r.p = SplitValues(r.line4, r.line5, line6);
  r.line6 = r.p[3];
  r.SetIdentified(fuzz::FuzzSite::kUser);
  r.reponse_au_login = in.ConsumeRandomLengthString(32);
  const std::string text = in.ConsumeRemainingBytesAsString();

  RemplitLigne(text, r, g.env.Now());
  fuzz::WriteFile(site.app() + "/ModelesPortail/menu.txt", text);
  try {
    PrintModele(g, r, "menu");
  } catch (...) {
    // Failures other than a missing template are raised to the dispatcher, which answers
    // them with the failure page.
  }
  fuzz::RemoveFilesIn(site.spool() + "/out");
  return 0;
}
