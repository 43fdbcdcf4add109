// GOST R 34.10-94 keys arrive in key files and certificates from anyone:
// every decoder must refuse bad input cleanly, leave a record it was given
// untouched when it does, and what it accepts must encode to bytes that
// decode to the same encoding again.
#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/x509/gost_keys.h"
#include "tests/fuzz/fuzz_key_codec.h"

namespace {

using qcrypto::R3410;

struct R3410Ops {
  using Key = R3410;
  // A record to decode into: the built-in parameters with y = a.
  static R3410* given() {
    R3410* key = qcrypto::GOSTS_new();
    if (key == nullptr || !qcrypto::R3410_default_params(key)) std::abort();
    key->y = BN_dup(key->a);
    key->x = BN_new();
    BN_set_word(key->x, 12345);
    return key;
  }
  static void free(R3410* key) { qcrypto::R3410_free(key); }
  static bool may_not_decode_again(const R3410&) { return false; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_util::check_key_codec<R3410Ops>(qcrypto::d2i_R3410params, qcrypto::i2d_R3410params, data, size);
  fuzz_util::check_key_codec<R3410Ops>(qcrypto::d2i_R3410PublicKey, qcrypto::i2d_R3410PublicKey, data, size);
  fuzz_util::check_key_codec<R3410Ops>(qcrypto::d2i_R3410PrivateKey, qcrypto::i2d_R3410PrivateKey, data, size);
  fuzz_util::check_key_codec<R3410Ops>(qcrypto::d2i_R3410_PUBKEY, qcrypto::i2d_R3410_PUBKEY, data, size);

  const unsigned char* p = data;
  if (qcrypto::R3410_PARAMS* params = qcrypto::d2i_R3410_PARAMS(nullptr, &p, static_cast<long>(size))) {
    unsigned char* out = nullptr;
    const int n = qcrypto::i2d_R3410_PARAMS(params, &out);
    // Strict DER has one encoding per value: the input's TLV comes back.
    if (n != p - data || std::memcmp(out, data, static_cast<size_t>(n)) != 0) std::abort();
    OPENSSL_free(out);
    qcrypto::R3410_PARAMS_free(params);
  }
  fuzz_util::check_key_bio<R3410Ops>(qcrypto::d2i_R3410PrivateKey_bio, data, size);
  return 0;
}
