// Wrapped keys arrive inside encrypted messages from anyone: the unwraps must
// refuse bad input cleanly, never write past the given capacity, and what they
// accept must be a key of the exact size (odd parity for Triple-DES) that
// wraps and unwraps again to itself.
#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_fixed.h"
#include "crypto/wrap/keywrap.h"

namespace {

// The Triple-DES KEK is that of the published wrap example, so the seed corpus
// can hold a genuine wrapped key.
constexpr std::array<unsigned char, 32> kKek = {0x25, 0x5e, 0x0d, 0x1c, 0x07, 0xb6, 0x46, 0xdf, 0xb3, 0x13, 0x4c,
                                                0xc8, 0x43, 0xba, 0x8a, 0xa7, 0x1f, 0x02, 0x5b, 0x7c, 0x08, 0x38,
                                                0x25, 0x1f, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
constexpr int kGuard = 16;

void rewrap_round_trip(qcrypto::CMS_wrap_fn wrap, qcrypto::CMS_wrap_fn unwrap, unsigned char* key, int keylen) {
  static const std::array<unsigned char, 8> iv = {1, 2, 3, 4, 5, 6, 7, 8};
  qcrypto::RAND_fixed_set_bytes(iv);
  std::array<unsigned char, 64> wrapped{};
  int wlen = static_cast<int>(wrapped.size());
  if (wrap(kKek.data(), key, keylen, wrapped.data(), &wlen, nullptr) != 1) std::abort();
  std::array<unsigned char, 64> again{};
  int alen = static_cast<int>(again.size());
  if (unwrap(kKek.data(), wrapped.data(), wlen, again.data(), &alen, nullptr) != 1) std::abort();
  if (alen != keylen || std::memcmp(again.data(), key, static_cast<size_t>(keylen)) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    qcrypto::RAND_set_rand_method(qcrypto::RAND_fixed_method());
    return true;
  }();
  (void)ready;
  if (size < 2 || size > 4096) return 0;
  const int kind = data[0] % 3;
  const int capacity = data[1] % 64;
  const int inlen = static_cast<int>(size - 2);
  // A heap copy, so reads past the input are caught.
  auto* in = static_cast<unsigned char*>(std::malloc(size - 2 + 1));
  if (in == nullptr) return 0;
  std::memcpy(in, data + 2, size - 2);
  std::array<unsigned char, 64 + kGuard> out{};
  std::memset(out.data(), 0xa5, out.size());
  int outlen = capacity;
  int ok = 0;
  int want = 0;
  qcrypto::CMS_wrap_fn wrap = nullptr;
  qcrypto::CMS_wrap_fn unwrap = nullptr;
  if (kind == 0) {
    wrap = qcrypto::CMS_3des_wrap;
    unwrap = qcrypto::CMS_3des_unwrap;
    want = qcrypto::CMS_3DES_KEY_BYTES;
  } else if (kind == 1) {
    wrap = qcrypto::CMS_gost_wrap;
    unwrap = qcrypto::CMS_gost_unwrap;
    want = qcrypto::CMS_GOST_KEY_BYTES;
  }
  if (unwrap != nullptr) {
    ok = unwrap(kKek.data(), in, inlen, out.data(), &outlen, nullptr);
  } else {
    qcrypto::UniquePtr<EVP_CIPHER> c(EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", "provider=default"));
    if (!c) std::abort();
    ok = qcrypto::CMS_dummy_unwrap(kKek.data(), in, inlen, out.data(), &outlen, c.get());
    want = inlen;
  }
  // Nothing is ever written beyond the capacity the caller gave.
  for (size_t i = static_cast<size_t>(capacity); i < out.size(); ++i) {
    if (out[i] != 0xa5) std::abort();
  }
  if (ok == 1) {
    if (outlen != want || outlen > capacity) std::abort();
    if (kind == 0) {
      for (int i = 0; i < want; i += 8) {
        if (qcrypto::CMS_des_check_parity(out.data() + i) != 1) std::abort();
      }
    }
    if (wrap != nullptr) rewrap_round_trip(wrap, unwrap, out.data(), want);
  } else if (ok != 0) {
    std::abort();
  }
  std::free(in);
  qcrypto::ERR_clear_error();
  return 0;
}
