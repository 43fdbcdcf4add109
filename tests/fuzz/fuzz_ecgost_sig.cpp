// GOST R 34.10-2001 signature values from signed files: the strict DER decoder
// accepts only canonical encodings, so whatever it takes must encode back to
// exactly the bytes it consumed; the raw form splits any even length.
#include <openssl/bn.h>
#include <openssl/crypto.h>

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
  return 0;
}
