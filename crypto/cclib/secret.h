// A fixed-size buffer for secret bytes (keys, seeds, shares, passwords) that
// is wiped on every exit from its scope and can be neither copied nor moved
// (a copy would be a second place to forget).
#pragma once

#include <openssl/crypto.h>

#include <cstddef>

namespace qcrypto {

template <std::size_t N>
struct SecretBuffer {
  unsigned char bytes[N] = {};

  SecretBuffer() = default;
  ~SecretBuffer() { OPENSSL_cleanse(bytes, N); }
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;

  static constexpr std::size_t size() { return N; }
  unsigned char* data() { return bytes; }
  const unsigned char* data() const { return bytes; }
  void wipe() { OPENSSL_cleanse(bytes, N); }
};

}  // namespace qcrypto
