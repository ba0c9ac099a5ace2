// The MD5 digest itself, from the system's cryptographic library (libcrypto on Linux, CNG
// on Windows): bytes in, the 16-byte digest out.
#pragma once

#include <cstddef>
#include <memory>

namespace radiveve {

class Md5Digest {
 public:
  Md5Digest();
  ~Md5Digest();
  Md5Digest(const Md5Digest&) = delete;
  Md5Digest& operator=(const Md5Digest&) = delete;

  // False when the library could not set up the digest.
  bool ok() const;
  bool Update(const unsigned char* data, size_t size);
  // Writes the 16 bytes of the digest of everything added; false on failure.
  bool Finish(unsigned char digest[16]);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace radiveve
