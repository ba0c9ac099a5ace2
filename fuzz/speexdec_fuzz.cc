// The codec library's Speex decoder on damaged Ogg/Speex files: the input is the file,
// decoded into a WAV. A file that decodes gives at least a whole WAV header; one that
// does not leaves no WAV behind.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "codec.h"

namespace fs = std::filesystem;

namespace {

// Made once; never destroyed, so that the removal at exit still finds its name.
const std::string& Folder() {
  static const std::string* folder = [] {
    auto* t = new std::string((getenv("TMPDIR") ? std::string(getenv("TMPDIR")) : "/tmp") +
                              "/guichet-speexfuzz.XXXXXX");
    if (!mkdtemp(t->data())) abort();
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(Folder(), ec);
    });
    return t;
  }();
  return *folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string spx = Folder() + "/in.spx", wav = Folder() + "/out.wav";
  {
    std::ofstream f(spx, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  std::error_code ec;
  fs::remove(wav, ec);
  radiveve::Code r = radiveve::SpeexDecCommand(spx.c_str(), wav.c_str());
  const bool exists = fs::exists(wav, ec);
  if (r == radiveve::kOk && (!exists || fs::file_size(wav, ec) < 44)) __builtin_trap();
  if (r != radiveve::kOk && exists) __builtin_trap();
  return 0;
}
