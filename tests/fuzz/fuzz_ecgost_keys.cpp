// GOST R 34.10-2001 keys and curves arrive in key files and certificates from
// anyone: every decoder must refuse bad input cleanly, leave a record it was
// given untouched when it does, and what it accepts must encode to bytes that
// decode to the same encoding again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crypto/err/err.h"
#include "crypto/x509/gost_keys.h"
#include "tests/fuzz/fuzz_key_codec.h"

namespace {

using qcrypto::ECGOST;

struct EcgostOps {
  using Key = ECGOST;
  // A record to decode into: the default curve, d = 7, Q = 7P.
  static ECGOST* given() {
    ECGOST* key = qcrypto::ECGOST_new(nullptr);
    if (key == nullptr || !BN_set_word(key->d, 7) || !qcrypto::ECGOST_generate_pubkey(key)) std::abort();
    return key;
  }
  static void free(ECGOST* key) { qcrypto::ECGOST_free(key); }
  // Inherited parameters decode onto the default curve, where a foreign
  // point need not fit; everything else must come back.
  static bool may_not_decode_again(const ECGOST& key) { return key.param_form == 2; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_util::check_key_codec<EcgostOps>(qcrypto::d2i_ECGOSTparams, qcrypto::i2d_ECGOST_PARAMS, data, size);
  fuzz_util::check_key_codec<EcgostOps>(qcrypto::d2i_ECGOSTPublicKey, qcrypto::i2d_ECGOSTPublicKey, data, size);
  fuzz_util::check_key_codec<EcgostOps>(qcrypto::d2i_ECGOSTPrivateKey, qcrypto::i2d_ECGOSTPrivateKey, data, size);
  fuzz_util::check_key_codec<EcgostOps>(qcrypto::d2i_ECGOST_PUBKEY, qcrypto::i2d_ECGOST_PUBKEY, data, size);

  const long length = static_cast<long>(size);
  const unsigned char* p = data;
  if (qcrypto::ECGOST_FIELDID* field = qcrypto::d2i_ECGOST_FIELDID(nullptr, &p, length)) {
    if (qcrypto::i2d_ECGOST_FIELDID(field, nullptr) <= 0) std::abort();
    qcrypto::ECGOST_FIELDID_free(field);
  }
  p = data;
  if (qcrypto::ECGOST_CURVE* curve = qcrypto::d2i_ECGOST_CURVE(nullptr, &p, length)) {
    if (qcrypto::i2d_ECGOST_CURVE(curve, nullptr) <= 0) std::abort();
    qcrypto::ECGOST_CURVE_free(curve);
  }
  if (qcrypto::gost_spki_key_type(data, length) == 181) {
    // The key type of an SPKI and the key decoder agree.
    p = data;
    qcrypto::ECGOST_free(qcrypto::d2i_ECGOST_PUBKEY(nullptr, &p, length));
  }
  fuzz_util::check_key_bio<EcgostOps>(qcrypto::d2i_ECGOSTPrivateKey_bio, data, size);
  return 0;
}
