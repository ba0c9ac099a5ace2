// "copyinv": copies a run of bytes from one file into another, exchanging the two bytes of
// every 16-bit word. Guichet uses it to turn little-endian WAV samples into big-endian CAF
// samples and back.
#include <cstdint>
#include <limits>
#include <vector>

#include "codec.h"
#include "files.h"

namespace radiveve {

namespace {

constexpr int64_t kBlock = 64 * 1024;  // even, so no word is split between blocks

// Parses a plain decimal text (digits only) that fits in off_t.
bool ParseDecimal(const char* text, int64_t* value) {
  if (!Given(text)) return false;
  int64_t v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    int digit = *p - '0';
    if (v > (std::numeric_limits<int64_t>::max() - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

void SwapPairs(unsigned char* p, int64_t size) {
  for (int64_t i = 0; i + 1 < size; i += 2) {
    unsigned char t = p[i];
    p[i] = p[i + 1];
    p[i + 1] = t;
  }
}

}  // namespace

Code CopyInvCommand(const char* source, const char* sourceOffset, const char* dest,
                    const char* destOffset, const char* count) {
  if (!Given(source) || !Given(dest)) return kMissingArgument;
  int64_t from = 0, to = 0, n = 0;
  if (!ParseDecimal(sourceOffset, &from) || !ParseDecimal(destOffset, &to) ||
      !ParseDecimal(count, &n))
    return kBadNumber;
  const int64_t kMax = std::numeric_limits<int64_t>::max();
  if (from > kMax - n || to > kMax - n) return kBadNumber;

  // The source may be the destination itself (an overlapping copy within one file).
  Fd in(OpenRegularForReadAlongsideWriter(source));
  if (!in.ok()) return kCannotOpenInput;
  FileIdentity inFile;
  if (!Identify(in.get(), &inFile)) return kReadFailed;
  if (inFile.size < from + n) return kSourceTooShort;

  // The destination must exist already, as a regular file; it is opened without
  // shortening it, without following a link and without blocking on a FIFO.
  Fd out(OpenRegularForWrite(dest));
  if (!out.ok()) return kCannotOpenOutput;
  FileIdentity outFile;
  if (!Identify(out.get(), &outFile)) return kCannotOpenOutput;
  if (n == 0) return kOk;

  // Copying a file onto itself with overlapping ranges: walk the blocks from the end when
  // the destination lies after the source, so no block is read after it was overwritten.
  bool backwards = inFile.device == outFile.device && inFile.number == outFile.number && to > from;

  int64_t blocks = (n + kBlock - 1) / kBlock;
  std::vector<unsigned char> buffer(static_cast<size_t>(n < kBlock ? n : kBlock));
  for (int64_t k = 0; k < blocks; ++k) {
    int64_t index = backwards ? blocks - 1 - k : k;
    int64_t start = index * kBlock;
    int64_t size = n - start < kBlock ? n - start : kBlock;
    ssize_t got = ReadFullAt(in.get(), buffer.data(), static_cast<size_t>(size), from + start);
    if (got < 0) return kReadFailed;
    if (got != size) return kSourceTooShort;  // the source shrank while we copied
    SwapPairs(buffer.data(), size);           // an odd last byte stays as it is
    if (!WriteFullAt(out.get(), buffer.data(), static_cast<size_t>(size), to + start))
      return kWriteFailed;
  }
  if (!out.Close()) return kWriteFailed;
  return kOk;
}

}  // namespace radiveve
