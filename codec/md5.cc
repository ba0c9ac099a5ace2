// "md5": the MD5 digest of a file, written as lower-case hex on the first line of a result
// file. Guichet uses it for password digests and session tokens.
#include <string>
#include <vector>

#include "codec.h"
#include "files.h"
#include "md5_digest.h"

namespace radiveve {

namespace {

constexpr size_t kBlock = 64 * 1024;

}  // namespace

Code Md5Command(const char* path, const char* resultPath) {
  if (!Given(path) || !Given(resultPath)) return kMissingArgument;

  Fd in(OpenRegularForRead(path));
  if (!in.ok()) return kCannotOpenInput;

  Md5Digest md5;
  if (!md5.ok()) return kDigestFailed;
  std::vector<unsigned char> buffer(kBlock);
  for (;;) {
    ssize_t n = ReadFull(in.get(), buffer.data(), buffer.size());
    if (n < 0) return kReadFailed;
    if (n == 0) break;
    if (!md5.Update(buffer.data(), static_cast<size_t>(n))) return kDigestFailed;
  }
  unsigned char digest[16];
  if (!md5.Finish(digest)) return kDigestFailed;
  in.Close();

  static const char kHex[] = "0123456789abcdef";
  std::string line;
  for (unsigned char byte : digest) {
    line += kHex[byte >> 4];
    line += kHex[byte & 0x0f];
  }
  line += "\r\n";

  // Written under a temporary name and renamed, so a reader never sees half a line.
  std::string finalPath = resultPath;
  std::string tempPath;
  Fd out(CreateTemporaryFor(finalPath, &tempPath));
  if (!out.ok()) return kCannotOpenOutput;
  bool written = WriteFull(out.get(), line.data(), line.size());
  written = out.Close() && written;
  if (!written || !RenameOver(tempPath, finalPath)) {
    RemoveFile(tempPath);
    return written ? kCannotOpenOutput : kWriteFailed;
  }
  return kOk;
}

}  // namespace radiveve
