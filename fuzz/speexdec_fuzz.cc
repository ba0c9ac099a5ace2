// The codec library's Speex decoder on damaged Ogg/Speex files: the input is the file
// (with its page checksums set right, most of the time), decoded into a WAV. A file that decodes
// gives at least a whole WAV header; one that does not leaves no WAV behind.
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "codec.h"

namespace fs = std::filesystem;

namespace {

// The checksum of Ogg pages (polynomial 0x04c11db7, no reflection, starting at 0).
uint32_t OggCrc(const unsigned char* p, size_t n) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t r = i << 24;
      for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) ? (r << 1) ^ 0x04c11db7u : r << 1;
      t[i] = r;
    }
    return t;
  }();
  uint32_t crc = 0;
  for (size_t i = 0; i < n; ++i) crc = (crc << 8) ^ table[((crc >> 24) & 0xff) ^ p[i]];
  return crc;
}

// Sets the checksum of every whole page, so that mutations inside pages reach the Speex
// header and packet parsers instead of stopping at the checksum test.
void FixPageChecksums(std::string& b) {
  auto* u = reinterpret_cast<unsigned char*>(b.data());
  size_t pos = 0;
  while ((pos = b.find("OggS", pos)) != std::string::npos) {
    if (pos + 27 > b.size()) break;
    const size_t segments = u[pos + 26];
    if (pos + 27 + segments > b.size()) break;
    size_t len = 27 + segments;
    for (size_t i = 0; i < segments; ++i) len += u[pos + 27 + i];
    if (pos + len > b.size()) break;
    for (int i = 22; i < 26; ++i) u[pos + i] = 0;
    const uint32_t crc = OggCrc(u + pos, len);
    for (int i = 0; i < 4; ++i) u[pos + 22 + i] = static_cast<unsigned char>(crc >> (8 * i));
    pos += len;
  }
}

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
  std::string file(reinterpret_cast<const char*>(data), size);
  // Most inputs get right checksums; a quarter keep theirs, so damaged pages are met too.
  if (size % 4 != 3) FixPageChecksums(file);
  {
    std::ofstream f(spx, std::ios::binary | std::ios::trunc);
    f.write(file.data(), static_cast<std::streamsize>(file.size()));
  }
  std::error_code ec;
  fs::remove(wav, ec);
  radiveve::Code r = radiveve::SpeexDecCommand(spx.c_str(), wav.c_str());
  const bool exists = fs::exists(wav, ec);
  if (r == radiveve::kOk && (!exists || fs::file_size(wav, ec) < 44)) __builtin_trap();
  if (r != radiveve::kOk && exists) __builtin_trap();
  return 0;
}
