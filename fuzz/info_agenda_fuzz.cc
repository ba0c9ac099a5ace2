// Files of the document folders: an agenda day file listed by the agenda command, an
// archived ".info" file and the ".id" file that names its archive, listed by the archive
// command, and an ".info" template filled by the move cycle.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_site.h"
#include "workflow/listings.h"
#include "workflow/move.h"

using namespace guichet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  fuzz::FuzzSite& site = fuzz::FuzzSite::Get();
  site.Tick();
  Guichet& g = site.g();
  const std::string root = site.root() + "/";

  const std::string argument = in.ConsumeRandomLengthString(40);
  const std::string agenda = in.ConsumeRandomLengthString(2048);
  const std::string id = in.ConsumeRandomLengthString(64);
  const std::string info = in.ConsumeRandomLengthString(2048);
  const std::string model = in.ConsumeRemainingBytesAsString();

  fuzz::WriteFile(root + "Agendas/u1/2026-12-07.txt", agenda);
  std::vector<std::string> col;
  ListeAgenda(g, col, "u1", "07/12/2026");
  ListeAgenda(g, col, "u1", argument);

  fuzz::WriteFile(root + "Tasks/Validations/u1/hvr_5.id", id);
  fuzz::WriteFile(root + "Archives/Dupont/2026/hvr_3.info", info);
  ListeArchives(g, col, "5", "u1");

  fuzz::WriteFile(root + "Templates/Cardiologie/Lettre.info", model);
  RemplirModele(g, root + "Templates/Cardiologie/Lettre.info", root + "Tasks/hvr_9.info",
                "Cardiologie", "Lettre", "u1");
  fuzz::RemoveFilesIn(site.spool() + "/cache");
  return 0;
}
