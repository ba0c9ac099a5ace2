// The move queue: the input is "ToMove.txt", read by one move cycle over a tasks folder
// that holds two new documents. Whatever the lines say, the documents may only move
// into Transcriptions, and the cycle leaves the tasks folder without stray files.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "fuzz_site.h"
#include "workflow/move.h"

using namespace guichet;
namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzSite& site = fuzz::FuzzSite::Get();
  site.Tick();
  const std::string tasks = site.tasks() + "/";
  fuzz::WriteFile(tasks + "hvr_1.txt", "Lettre\r\n");
  fuzz::WriteFile(tasks + "hvr_1.typedoc", "LT\r\n");
  fuzz::WriteFile(tasks + "hvr_1.urg", "Urgent\r\n");
  fuzz::WriteFile(tasks + "hvr_2.typedoc", "XX\r\n");
  fuzz::WriteFile(tasks + "ToMove.txt",
                  std::string_view(reinterpret_cast<const char*>(data), size));

  RepereMove(site.g());

  // Only the tasks folder's own files and the stage folders it had may be there.
  std::error_code ec;
  for (fs::directory_iterator it(site.tasks(), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name != "Transcriptions" && name != "Validations" && name != "ToMove.txt" &&
        name.rfind("hvr_1.", 0) != 0 && name.rfind("hvr_2.", 0) != 0)
      __builtin_trap();
  }
  fuzz::RemoveTree(tasks + "Transcriptions");
  fuzz::RemoveTree(tasks + "ToMove.txt");
  return 0;
}
