// Signature values arrive inside PKCS#7 files from anyone: the DER and raw
// decoders must refuse bad input cleanly, and what they accept must encode back
// to a value that decodes to the same numbers.
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crypto/r3410/r3410.h"

namespace {

void check_round_trip(const qcrypto::R3410_SIG* sig) {
  unsigned char* der = nullptr;
  const int n = qcrypto::i2d_R3410_SIG(sig, &der);
  if (n <= 0) std::abort();
  const unsigned char* p = der;
  qcrypto::R3410_SIG* again = qcrypto::d2i_R3410_SIG(nullptr, &p, n);
  if (again == nullptr || p != der + n) std::abort();
  if (BN_cmp(again->r, sig->r) != 0 || BN_cmp(again->s, sig->s) != 0) std::abort();
  qcrypto::R3410_SIG_free(again);
  OPENSSL_free(der);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const long length = static_cast<long>(size);

  const unsigned char* p = data;
  if (qcrypto::R3410_SIG* sig = qcrypto::d2i_R3410_SIG(nullptr, &p, length)) {
    if (p < data || p > data + size) std::abort();
    check_round_trip(sig);
    qcrypto::R3410_SIG_free(sig);
  }

  p = data;
  if (qcrypto::R3410_SIG* raw = qcrypto::d2i_GOSTS_SIG(nullptr, &p, length)) {
    unsigned char* out = nullptr;
    const int n = qcrypto::R3410_SIG_to_raw(raw, &out);
    // The raw form keeps its width, so it encodes back to the very bytes.
    if (n != length || CRYPTO_memcmp(out, data, size) != 0) std::abort();
    OPENSSL_free(out);
    qcrypto::R3410_SIG_free(raw);
  }
  // The verifier's raw decoder: two halves of exactly 32 bytes, nothing else.
  constexpr int kQlen = 32;
  if (qcrypto::R3410_SIG* exact = qcrypto::R3410_SIG_from_raw_exact(data, length, kQlen)) {
    if (size != 2 * kQlen || exact->qlen != kQlen) std::abort();
    qcrypto::R3410_SIG_free(exact);
  } else if (size == 2 * kQlen) {
    std::abort();
  }
  ERR_clear_error();
  return 0;
}
