// "md5": the MD5 digest of a file, written as lower-case hex on the first line of a result
// file. Guichet uses it for password digests and session tokens.
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "codec.h"
#include "files.h"

namespace radiveve {

namespace {

constexpr size_t kBlock = 64 * 1024;

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

Code Md5Command(const char* path, const char* resultPath) {
  if (!Given(path) || !Given(resultPath)) return kMissingArgument;

  Fd in(OpenRegularForRead(path));
  if (!in.ok()) return kCannotOpenInput;

  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return kDigestFailed;
  std::vector<unsigned char> buffer(kBlock);
  for (;;) {
    ssize_t n = ReadFull(in.get(), buffer.data(), buffer.size());
    if (n < 0) return kReadFailed;
    if (n == 0) break;
    if (EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(n)) != 1)
      return kDigestFailed;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) return kDigestFailed;
  in.Close();

  static const char kHex[] = "0123456789abcdef";
  std::string line;
  for (unsigned int i = 0; i < length; ++i) {
    line += kHex[digest[i] >> 4];
    line += kHex[digest[i] & 0x0f];
  }
  line += "\r\n";

  // Written under a temporary name and renamed, so a reader never sees half a line.
  std::string finalPath = resultPath;
  std::string tempPath;
  Fd out(CreateTemporaryFor(finalPath, &tempPath));
  if (!out.ok()) return kCannotOpenOutput;
  bool written = WriteFull(out.get(), line.data(), line.size());
  written = out.Close() && written;
  if (!written || std::rename(tempPath.c_str(), finalPath.c_str()) != 0) {
    ::unlink(tempPath.c_str());
    return written ? kCannotOpenOutput : kWriteFailed;
  }
  return kOk;
}

}  // namespace radiveve
