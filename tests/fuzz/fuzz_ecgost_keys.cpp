// GOST R 34.10-2001 keys and curves arrive in key files and certificates from
// anyone: every decoder must refuse bad input cleanly, leave a record it was
// given untouched when it does, and what it accepts must encode to bytes that
// decode to the same encoding again.
#include <openssl/bio.h>
#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/x509/gost_keys.h"

namespace {

using qcrypto::ECGOST;

using D2i = ECGOST* (*)(ECGOST**, const unsigned char**, long);
using I2d = int (*)(const ECGOST*, unsigned char**);

std::vector<unsigned char> Encode(I2d i2d, const ECGOST* key) {
  unsigned char* out = nullptr;
  const int n = i2d(key, &out);
  if (n < 0) std::abort();
  std::vector<unsigned char> bytes(out, out + n);
  OPENSSL_clear_free(out, static_cast<std::size_t>(n));
  return bytes;
}

// A record to decode into: the default curve, d = 7, Q = 7P.
ECGOST* Given() {
  ECGOST* key = qcrypto::ECGOST_new(nullptr);
  if (key == nullptr || !BN_set_word(key->d, 7) || !qcrypto::ECGOST_generate_pubkey(key)) std::abort();
  return key;
}

void Check(D2i d2i, I2d i2d, const uint8_t* data, size_t size) {
  const long length = static_cast<long>(size);
  const unsigned char* p = data;
  ECGOST* key = d2i(nullptr, &p, length);
  if (key == nullptr) {
    if (p != data) std::abort();
  } else {
    if (p <= data || p > data + size) std::abort();
    const std::vector<unsigned char> once = Encode(i2d, key);
    if (!once.empty()) {
      const unsigned char* q = once.data();
      ECGOST* again = d2i(nullptr, &q, static_cast<long>(once.size()));
      // Inherited parameters decode onto the default curve, where a foreign
      // point need not fit; everything else must come back.
      if (again == nullptr && key->param_form != 2) std::abort();
      if (again != nullptr && (q != once.data() + once.size() || Encode(i2d, again) != once)) std::abort();
      qcrypto::ECGOST_free(again);
    }
    qcrypto::ECGOST_free(key);
  }
  ECGOST* given = Given();
  ECGOST* slot = given;
  const std::vector<unsigned char> before = Encode(i2d, given);
  p = data;
  ECGOST* into = d2i(&slot, &p, length);
  if (into == nullptr && (slot != given || Encode(i2d, given) != before)) std::abort();
  qcrypto::ECGOST_free(into != nullptr ? into : slot);
  qcrypto::ERR_clear_error();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Check(qcrypto::d2i_ECGOSTparams, qcrypto::i2d_ECGOST_PARAMS, data, size);
  Check(qcrypto::d2i_ECGOSTPublicKey, qcrypto::i2d_ECGOSTPublicKey, data, size);
  Check(qcrypto::d2i_ECGOSTPrivateKey, qcrypto::i2d_ECGOSTPrivateKey, data, size);
  Check(qcrypto::d2i_ECGOST_PUBKEY, qcrypto::i2d_ECGOST_PUBKEY, data, size);

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
  BIO* bio = BIO_new_mem_buf(data, static_cast<int>(size));
  qcrypto::ECGOST_free(qcrypto::d2i_ECGOSTPrivateKey_bio(bio, nullptr));
  BIO_free(bio);
  qcrypto::ERR_clear_error();
  return 0;
}
