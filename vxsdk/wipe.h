// Wiping of secrets (PINs, derived keys, key schedules) without the crypto
// library: explicit_bzero is not removed by the optimiser.
#pragma once

#include <string.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vxsdk {

inline void Wipe(void* p, size_t n) noexcept {
  if (p != nullptr && n != 0) {
    explicit_bzero(p, n);
  }
}

// A fixed-size secret buffer that wipes itself on every path out of scope.
template <size_t N>
struct SecretBytes {
  std::array<uint8_t, N> b{};
  SecretBytes() = default;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { Wipe(b.data(), b.size()); }
  uint8_t* data() noexcept { return b.data(); }
  const uint8_t* data() const noexcept { return b.data(); }
  static constexpr size_t size() noexcept { return N; }
  uint8_t& operator[](size_t i) noexcept { return b[i]; }
  const uint8_t& operator[](size_t i) const noexcept { return b[i]; }
};

// A byte vector that wipes its contents when it goes (commands that carry a
// PIN or a key).
class SecretVector {
 public:
  SecretVector() = default;
  explicit SecretVector(std::vector<uint8_t> v) : v_(std::move(v)) {}
  SecretVector(const SecretVector&) = delete;
  SecretVector& operator=(const SecretVector&) = delete;
  ~SecretVector() { Wipe(v_.data(), v_.capacity()); }
  std::vector<uint8_t>& get() noexcept { return v_; }
  const std::vector<uint8_t>& get() const noexcept { return v_; }

 private:
  std::vector<uint8_t> v_;
};

}  // namespace vxsdk
