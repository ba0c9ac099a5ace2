// The batch file reader and runner: the input is a batch file lying in
// SITE/Tasks/Publications/u7 beside a document's family. Whatever it says, what it reads
// must name only holdable names and "..", read back the same when written out again, and
// the run may change nothing outside SITE.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "batch_file.h"
#include "runner.h"

using namespace guichet::batch;
namespace fs = std::filesystem;

namespace {

void Write(const fs::path& p, std::string_view data) {
  std::ofstream f(p, std::ios::binary);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string Render(const std::vector<BatchCommand>& commands) {
  std::string out;
  for (const BatchCommand& c : commands) {
    std::string path;
    for (const std::string& p : c.path) path += (path.empty() ? "" : "\\") + p;
    out += c.kind == BatchCommand::kMkdir ? "mkdir \"" + path + "\"\r\n"
                                          : "move " + PatternText(c) + " \"" + path + "\"\r\n";
  }
  return out;
}

const fs::path& Root() {
  static const fs::path root = [] {
    const char* tmp = std::getenv("TMPDIR");
    fs::path r =
        fs::path(tmp != nullptr ? tmp : "/tmp") / ("fuzz_batch." + std::to_string(getpid()));
    fs::create_directories(r);
    return r;
  }();
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  std::vector<BatchCommand> commands;
  BatchError error;
  if (ParseBatchFile(content, &commands, &error)) {
    for (const BatchCommand& c : commands)
      for (const std::string& p : c.path)
        if (p != ".." && !IsHoldableName(p)) __builtin_trap();
    std::vector<BatchCommand> again;
    if (!ParseBatchFile(Render(commands), &again, &error) || Render(again) != Render(commands))
      __builtin_trap();
  }

  // A run in a small site, beside a folder it must never reach.
  const fs::path site = Root() / "site", outside = Root() / "outside";
  std::error_code ec;
  fs::remove_all(site, ec);
  fs::remove_all(outside, ec);
  fs::create_directories(outside);
  const fs::path pub = site / "Tasks" / "Publications" / "u7";
  fs::create_directories(pub);
  Write(pub / "hvr_1.pdf", "pdf");
  Write(pub / "hvr_1.id", "Nom\r\n");
  Write(pub / "hvr_1.finished.bat", content);
  Outcome o = RunBatchFile(*RealTree(),
                           {site.string(), {"Tasks", "Publications", "u7"}, "hvr_1.finished.bat"});
  if (o.code == Outcome::kFailed) __builtin_trap();  // nothing here can fail part way
  if (!fs::is_empty(outside)) __builtin_trap();
  for (const auto& e : fs::directory_iterator(Root()))
    if (e.path() != site && e.path() != outside) __builtin_trap();
  return 0;
}
