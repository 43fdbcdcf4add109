#include "crypto/ecgost/ecgost_sig.h"

#include <openssl/crypto.h>

#include <cstddef>

#include "crypto/asn1/der_rs.h"
#include "crypto/bn/bn_ext.h"
#include "crypto/ec/ecgost_codes.h"
#include "crypto/err/err.h"

namespace qcrypto {

ECGOST_SIG* ECGOST_SIG_new() {
  auto* sig = static_cast<ECGOST_SIG*>(OPENSSL_zalloc(sizeof(ECGOST_SIG)));
  if (sig != nullptr) {
    sig->r = BN_new();
    sig->s = BN_new();
  }
  if (sig == nullptr || sig->r == nullptr || sig->s == nullptr) {
    ECGOST_SIG_free(sig);
    QERR(ERRLIB_ECGOST, ECGOST_F_ECGOST_SIG_NEW, ERR_R_MEMORY_ALLOC);
    return nullptr;
  }
  return sig;
}

void ECGOST_SIG_free(ECGOST_SIG* sig) {
  if (sig == nullptr) return;
  BN_free(sig->r);
  BN_free(sig->s);
  OPENSSL_free(sig);
}

int ECGOST_SIG_der_max_size(int n) { return der_rs_max_size(n); }

int i2d_ECGOST_SIG(const ECGOST_SIG* sig, unsigned char** out) {
  const int total = sig == nullptr ? 0 : der_rs_size(sig->r, sig->s);
  if (total == 0) {
    QERR(ERRLIB_ECGOST, ECGOST_F_I2D_ECGOST_SIG, ERR_R_INTERNAL);
    return 0;
  }
  if (out == nullptr) return total;
  if (*out == nullptr) {
    auto* buf = static_cast<unsigned char*>(OPENSSL_malloc(static_cast<std::size_t>(total)));
    if (buf == nullptr) {
      QERR(ERRLIB_ECGOST, ECGOST_F_I2D_ECGOST_SIG, ERR_R_MEMORY_ALLOC);
      return 0;
    }
    der_rs_put(buf, sig->r, sig->s);
    *out = buf;  // the start of the new buffer, not its end
    return total;
  }
  *out = der_rs_put(*out, sig->r, sig->s);
  return total;
}

ECGOST_SIG* d2i_ECGOST_SIG(ECGOST_SIG** sig, const unsigned char** in, long length) {
  if (in == nullptr || *in == nullptr || length <= 0) {
    QERR(ERRLIB_ECGOST, ECGOST_F_D2I_ECGOST_SIG, ERR_R_PASSED_NULL);
    return nullptr;
  }
  ECGOST_SIG* target = (sig != nullptr && *sig != nullptr) ? *sig : ECGOST_SIG_new();
  if (target == nullptr) return nullptr;
  const unsigned char* p = *in;
  const bool ok = der_rs_get(&p, length, target->r, target->s);
  if (!ok) {
    QERR(ERRLIB_ECGOST, ECGOST_F_D2I_ECGOST_SIG, ECGOST_R_ASN1_LIB);
    if (sig == nullptr || *sig == nullptr) ECGOST_SIG_free(target);
    return nullptr;
  }
  *in = p;
  if (sig != nullptr) *sig = target;
  return target;
}

int ECGOST_SIG_to_raw(const ECGOST_SIG* sig, unsigned char* out, int width) {
  if (sig == nullptr || sig->r == nullptr || sig->s == nullptr || out == nullptr || width <= 0 ||
      BN_is_negative(sig->r) || BN_is_negative(sig->s) || BN_num_bytes(sig->r) > width ||
      BN_num_bytes(sig->s) > width) {
    return 0;
  }
  BN_bn2binpad(sig->r, out, width);
  BN_bn2binpad(sig->s, out + width, width);
  return 2 * width;
}

ECGOST_SIG* ECGOST_SIG_from_raw_exact(const unsigned char* in, int length, int width) {
  if (width <= 0 || length != 2 * width) {
    QERR(ERRLIB_ECGOST, ECGOST_F_D2I_ECGOST_SIG, ECGOST_R_ASN1_LIB);
    return nullptr;
  }
  return ECGOST_SIG_from_raw(in, length);
}

ECGOST_SIG* ECGOST_SIG_from_raw(const unsigned char* in, int length) {
  if (in == nullptr || length <= 0 || length % 2 != 0) {
    QERR(ERRLIB_ECGOST, ECGOST_F_D2I_ECGOST_SIG, ECGOST_R_ASN1_LIB);
    return nullptr;
  }
  ECGOST_SIG* sig = ECGOST_SIG_new();
  if (sig == nullptr) return nullptr;
  int half = length / 2;
  if (BN_bin2bn(in, half, sig->r) == nullptr || BN_bin2bn(in + half, half, sig->s) == nullptr) {
    QERR(ERRLIB_ECGOST, ECGOST_F_D2I_ECGOST_SIG, ERR_R_MEMORY_ALLOC);
    ECGOST_SIG_free(sig);
    return nullptr;
  }
  return sig;
}

}  // namespace qcrypto
