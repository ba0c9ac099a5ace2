// MD5 through Windows' CNG (bcrypt.dll), which every supported Windows carries.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include "md5_digest.h"

namespace radiveve {

struct Md5Digest::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = false;
  ~State() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

Md5Digest::Md5Digest() : state_(std::make_unique<State>()) {
  if (BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0) < 0) return;
  // With no buffer given, CNG allocates the hash object itself.
  state_->ok = BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0) >= 0;
}

Md5Digest::~Md5Digest() = default;

bool Md5Digest::ok() const { return state_->ok; }

bool Md5Digest::Update(const unsigned char* data, size_t size) {
  if (!state_->ok) return false;
  while (size > 0) {
    ULONG chunk = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    if (BCryptHashData(state_->hash, const_cast<PUCHAR>(data), chunk, 0) < 0) return false;
    data += chunk;
    size -= chunk;
  }
  return true;
}

bool Md5Digest::Finish(unsigned char digest[16]) {
  return state_->ok && BCryptFinishHash(state_->hash, digest, 16, 0) >= 0;
}

}  // namespace radiveve
