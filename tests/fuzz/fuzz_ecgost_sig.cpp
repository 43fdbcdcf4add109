// GOST R 34.10-2001 signature values from signed files: the strict DER decoder
// accepts only canonical encodings, so whatever it takes must encode back to
// exactly the bytes it consumed; the raw splitter takes any even length, the
// verifier's raw decoder only two halves of the order's width.
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crypto/ecgost/ecgost_sig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const unsigned char* p = data;
  if (qcrypto::ECGOST_SIG* sig = qcrypto::d2i_ECGOST_SIG(nullptr, &p, static_cast<long>(size))) {
    const auto consumed = static_cast<size_t>(p - data);
    if (consumed == 0 || consumed > size) std::abort();
    const int n = qcrypto::i2d_ECGOST_SIG(sig, nullptr);
    if (n <= 0 || static_cast<size_t>(n) != consumed) std::abort();
    std::vector<unsigned char> der(static_cast<size_t>(n));
    unsigned char* q = der.data();
    if (qcrypto::i2d_ECGOST_SIG(sig, &q) != n || CRYPTO_memcmp(der.data(), data, consumed) != 0) std::abort();
    unsigned char* fresh = nullptr;
    if (qcrypto::i2d_ECGOST_SIG(sig, &fresh) != n || fresh == nullptr || CRYPTO_memcmp(fresh, data, consumed) != 0)
      std::abort();
    OPENSSL_free(fresh);
    qcrypto::ECGOST_SIG_free(sig);
  }

  if (size > 0 && size % 2 == 0 && size <= 4096) {
    qcrypto::ECGOST_SIG* raw = qcrypto::ECGOST_SIG_from_raw(data, static_cast<int>(size));
    if (raw == nullptr) std::abort();
    std::vector<unsigned char> out(size);
    const int width = static_cast<int>(size / 2);
    if (qcrypto::ECGOST_SIG_to_raw(raw, out.data(), width) != static_cast<int>(size)) std::abort();
    if (CRYPTO_memcmp(out.data(), data, size) != 0) std::abort();
    qcrypto::ECGOST_SIG_free(raw);
  }
  // 32 bytes per half: the width of a 256-bit order.
  constexpr int kWidth = 32;
  if (size <= 4096) {
    qcrypto::ECGOST_SIG* exact = qcrypto::ECGOST_SIG_from_raw_exact(data, static_cast<int>(size), kWidth);
    if ((exact != nullptr) != (size == 2 * kWidth)) std::abort();
    if (exact != nullptr) {
      unsigned char out[2 * kWidth];
      if (qcrypto::ECGOST_SIG_to_raw(exact, out, kWidth) != 2 * kWidth || CRYPTO_memcmp(out, data, size) != 0)
        std::abort();
      qcrypto::ECGOST_SIG_free(exact);
    }
  }
  ERR_clear_error();
  return 0;
}
