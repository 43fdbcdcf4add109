// The sign and verify slots of the RUS-HASH digest record.
#include "crypto/capi/capi.h"
#include "crypto/err/err.h"
#include "crypto/r3410/r3410.h"

namespace qcrypto {
namespace {

struct SigOwner {
  R3410_SIG* sig;
  ~SigOwner() { R3410_SIG_free(sig); }
};

// The key lives in its provider: the number fields are never used. The
// provider's signature is read back into r and s and written in the form
// asked for, within R3410_size(key) bytes, the room the callers give.
int sign_through_provider(int form, const R3410* key, const unsigned char* digest, int length, unsigned char* out,
                          unsigned int* out_length) {
  const int room = R3410_size(key);
  SigOwner sig{R3410_SIG_new()};
  if (room <= 0 || out == nullptr || out_length == nullptr || sig.sig == nullptr) {
    QERR(ERRLIB_R3410, R3410_F_R3410_SIGN, ERR_R_INTERNAL);
    return 0;
  }
  if (!capi_sign_rs(reinterpret_cast<std::uintptr_t>(key->provider), static_cast<std::uint32_t>(key->key_spec), digest,
                    length, static_cast<unsigned int>(room), key->q, sig.sig->r, sig.sig->s)) {
    QERR(ERRLIB_R3410, R3410_F_R3410_SIGN, R3410_R_PROVIDER_SIGN_FAILED);
    return 0;
  }
  sig.sig->qlen = (BN_num_bits(key->q) + 7) / 8;
  unsigned char* p = out;
  const int n = form != 0 ? i2d_R3410_SIG(sig.sig, &p) : R3410_SIG_to_raw(sig.sig, &p);
  if (n <= 0 || n > room) {
    QERR(ERRLIB_R3410, R3410_F_R3410_SIGN, R3410_R_PROVIDER_SIGN_FAILED);
    return 0;
  }
  *out_length = static_cast<unsigned int>(n);
  return 1;
}

}  // namespace

int R3410_sign(int form, const R3410* key, const unsigned char* digest, int length, unsigned char* out,
               unsigned int* out_length) {
  if (out_length != nullptr) *out_length = 0;
  if (key == nullptr) return 0;
  if (key->provider != nullptr) return sign_through_provider(form, key, digest, length, out, out_length);
  if ((key->x == nullptr && key->secret == nullptr) || key->q == nullptr || out == nullptr || out_length == nullptr) {
    QERR(ERRLIB_R3410, R3410_F_R3410_SIGN, ERR_R_INTERNAL);
    return 0;
  }
  SigOwner sig{GOSTS_do_sign(key, digest, length)};
  if (sig.sig == nullptr) return 0;
  unsigned char* p = out;
  const int n = form != 0 ? i2d_R3410_SIG(sig.sig, &p) : R3410_SIG_to_raw(sig.sig, &p);
  if (n <= 0) return 0;
  *out_length = static_cast<unsigned int>(n);
  return 1;
}

int R3410_verify(int form, const R3410* key, const unsigned char* digest, int length, const unsigned char* signature,
                 int signature_length) {
  if (key == nullptr || signature == nullptr || signature_length <= 0) {
    QERR(ERRLIB_R3410, R3410_F_R3410_VERIFY, ERR_R_INTERNAL);
    return 0;
  }
  const unsigned char* p = signature;
  // The raw form only in the width q gives: any even length would let one
  // signature verify under many encodings.
  const int qlen = key->q != nullptr ? (BN_num_bits(key->q) + 7) / 8 : 0;
  SigOwner sig{form != 0 ? d2i_R3410_SIG(nullptr, &p, signature_length)
                         : R3410_SIG_from_raw_exact(signature, signature_length, qlen)};
  if (form == 0 && sig.sig != nullptr) p = signature + signature_length;
  if (sig.sig == nullptr) return 0;
  // Bytes after the signature would make one signature many encodings.
  if (p != signature + signature_length) {
    QERR(ERRLIB_R3410, R3410_F_R3410_VERIFY, R3410_R_PARSING);
    return 0;
  }
  return GOSTS_do_verify(sig.sig, key, digest, length) == 1 ? 1 : 0;
}

}  // namespace qcrypto
