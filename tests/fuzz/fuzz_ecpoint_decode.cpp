// Public points come from certificates and key-agreement messages: decoding
// must refuse anything that is not exactly an encoding of a point on the curve,
// and what it accepts must encode back to the same bytes.
#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crypto/ec/ecurve.h"

namespace {

struct Curves {
  qcrypto::ECURVE* list[3];
  Curves()
      : list{qcrypto::ECURVE_init(&qcrypto::ECURVE_DEF_191, 1), qcrypto::ECURVE_init(&qcrypto::ECURVE_DEF_2_255_431, 0),
             qcrypto::ECURVE_init(&qcrypto::ECURVE_DEF_2_255_431, 1)} {
    for (auto* c : list)
      if (c == nullptr) std::abort();
  }
};

void check_accepted(qcrypto::ECPOINT* point, const uint8_t* data, size_t size, bool is_public) {
  if (qcrypto::ECPOINT_lies(point) != 1) std::abort();
  if (is_public && qcrypto::ECPOINT_is_infinity(point)) std::abort();
  const int compressed = (data[0] == 2 || data[0] == 3) ? 1 : 0;
  unsigned char* out = nullptr;
  const int n = qcrypto::ECPOINT_point2bin(point, &out, compressed);
  if (n <= 0 || static_cast<size_t>(n) != size || CRYPTO_memcmp(out, data, size) != 0) std::abort();
  OPENSSL_free(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Curves curves;
  for (auto* curve : curves.list) {
    qcrypto::ECPOINT* decoded = nullptr;
    if (qcrypto::ECPOINT_bi2point(&decoded, data, size, curve) != nullptr) {
      qcrypto::UniquePtr<qcrypto::ECPOINT> point(decoded);
      check_accepted(point.get(), data, size, false);
    }
    decoded = nullptr;
    if (qcrypto::ECPOINT_bi2point_public(&decoded, data, size, curve) != nullptr) {
      qcrypto::UniquePtr<qcrypto::ECPOINT> key(decoded);
      check_accepted(key.get(), data, size, true);
      if (qcrypto::ECPOINT_check_public(key.get(), 0) != 1) std::abort();
    }
  }
  return 0;
}
