// DES (FIPS 46) and its triple EDE form on one 8-byte block, the token SDK's
// own: the newer card OS answers a challenge encrypted this way. Parity bits
// of the key are ignored, as the standard says.
#pragma once

#include <cstdint>

namespace vxsdk {

class Des {
 public:
  explicit Des(const uint8_t key[8]) noexcept;
  ~Des();
  Des(const Des&) = delete;
  Des& operator=(const Des&) = delete;
  void Encrypt(const uint8_t in[8], uint8_t out[8]) const noexcept;
  void Decrypt(const uint8_t in[8], uint8_t out[8]) const noexcept;

 private:
  uint64_t Crypt(uint64_t block, bool decrypt) const noexcept;
  uint64_t sub_[16];  // 48-bit round keys
};

// One block under a 24-byte key: encrypt with bytes 0-7, decrypt with 8-15,
// encrypt with 16-23. The key schedules are wiped before returning.
void DesEde3EncryptBlock(const uint8_t key[24], const uint8_t in[8], uint8_t out[8]) noexcept;

}  // namespace vxsdk
