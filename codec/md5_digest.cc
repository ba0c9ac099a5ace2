#include "md5_digest.h"

#include <openssl/evp.h>

namespace radiveve {

struct Md5Digest::State {
  EVP_MD_CTX* ctx = nullptr;
  bool ok = false;
  ~State() { EVP_MD_CTX_free(ctx); }
};

Md5Digest::Md5Digest() : state_(std::make_unique<State>()) {
  state_->ctx = EVP_MD_CTX_new();
  state_->ok = state_->ctx != nullptr && EVP_DigestInit_ex(state_->ctx, EVP_md5(), nullptr) == 1;
}

Md5Digest::~Md5Digest() = default;

bool Md5Digest::ok() const { return state_->ok; }

bool Md5Digest::Update(const unsigned char* data, size_t size) {
  return state_->ok && EVP_DigestUpdate(state_->ctx, data, size) == 1;
}

bool Md5Digest::Finish(unsigned char digest[16]) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!state_->ok || EVP_DigestFinal_ex(state_->ctx, out, &length) != 1 || length != 16)
    return false;
  for (unsigned int i = 0; i < 16; ++i) digest[i] = out[i];
  return true;
}

}  // namespace radiveve
