// MD5 (RFC 1321), the token SDK's own: the SDK does not link the crypto
// library, and the newer card OS derives its PIN key with it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vxsdk {

class Md5 {
 public:
  static constexpr size_t kDigestSize = 16;
  Md5() noexcept { Reset(); }
  ~Md5();
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;
  void Reset() noexcept;
  void Update(const uint8_t* data, size_t len) noexcept;
  void Final(uint8_t out[kDigestSize]) noexcept;

 private:
  void Block(const uint8_t* p) noexcept;
  uint32_t h_[4];
  uint64_t bytes_;
  uint8_t buf_[64];
  size_t used_;
};

}  // namespace vxsdk
