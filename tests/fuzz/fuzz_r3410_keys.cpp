// GOST R 34.10-94 keys arrive in key files and certificates from anyone:
// every decoder must refuse bad input cleanly, leave a record it was given
// untouched when it does, and what it accepts must encode to bytes that
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

using qcrypto::R3410;

using D2i = R3410* (*)(R3410**, const unsigned char**, long);
using I2d = int (*)(const R3410*, unsigned char**);

std::vector<unsigned char> Encode(I2d i2d, const R3410* key) {
  unsigned char* out = nullptr;
  const int n = i2d(key, &out);
  if (n < 0) std::abort();
  std::vector<unsigned char> bytes(out, out + n);
  OPENSSL_clear_free(out, static_cast<std::size_t>(n));
  return bytes;
}

// A record to decode into: the built-in parameters with y = a.
R3410* Given() {
  R3410* key = qcrypto::GOSTS_new();
  if (key == nullptr || !qcrypto::R3410_default_params(key)) std::abort();
  key->y = BN_dup(key->a);
  key->x = BN_new();
  BN_set_word(key->x, 12345);
  return key;
}

void Check(D2i d2i, I2d i2d, const uint8_t* data, size_t size) {
  const long length = static_cast<long>(size);
  const unsigned char* p = data;
  R3410* key = d2i(nullptr, &p, length);
  if (key == nullptr) {
    if (p != data) std::abort();
  } else {
    if (p <= data || p > data + size) std::abort();
    const std::vector<unsigned char> once = Encode(i2d, key);
    if (!once.empty()) {
      const unsigned char* q = once.data();
      R3410* again = d2i(nullptr, &q, static_cast<long>(once.size()));
      if (again == nullptr || q != once.data() + once.size() || Encode(i2d, again) != once) std::abort();
      qcrypto::R3410_free(again);
    }
    qcrypto::R3410_free(key);
  }
  // A given record is changed only on success.
  R3410* given = Given();
  R3410* slot = given;
  const std::vector<unsigned char> before = Encode(i2d, given);
  p = data;
  R3410* into = d2i(&slot, &p, length);
  if (into == nullptr && (slot != given || Encode(i2d, given) != before)) std::abort();
  qcrypto::R3410_free(into != nullptr ? into : slot);
  qcrypto::ERR_clear_error();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Check(qcrypto::d2i_R3410params, qcrypto::i2d_R3410params, data, size);
  Check(qcrypto::d2i_R3410PublicKey, qcrypto::i2d_R3410PublicKey, data, size);
  Check(qcrypto::d2i_R3410PrivateKey, qcrypto::i2d_R3410PrivateKey, data, size);
  Check(qcrypto::d2i_R3410_PUBKEY, qcrypto::i2d_R3410_PUBKEY, data, size);

  const unsigned char* p = data;
  if (qcrypto::R3410_PARAMS* params = qcrypto::d2i_R3410_PARAMS(nullptr, &p, static_cast<long>(size))) {
    unsigned char* out = nullptr;
    const int n = qcrypto::i2d_R3410_PARAMS(params, &out);
    // Strict DER has one encoding per value: the input's TLV comes back.
    if (n != p - data || std::memcmp(out, data, static_cast<size_t>(n)) != 0) std::abort();
    OPENSSL_free(out);
    qcrypto::R3410_PARAMS_free(params);
  }
  BIO* bio = BIO_new_mem_buf(data, static_cast<int>(size));
  qcrypto::R3410_free(qcrypto::d2i_R3410PrivateKey_bio(bio, nullptr));
  BIO_free(bio);
  qcrypto::ERR_clear_error();
  return 0;
}
