// The signature record and its DER and raw encodings.
#include <openssl/crypto.h>

#include <cstring>
#include <vector>

#include "crypto/asn1/der_rs.h"
#include "crypto/bn/bn_ext.h"
#include "crypto/err/err.h"
#include "crypto/r3410/r3410.h"

namespace qcrypto {
namespace {

// The i2d output convention: length only, into *out (advanced), or into a
// new buffer stored in *out.
template <typename Writer>
int Emit(int length, unsigned char** out, Writer write) {
  if (out == nullptr) return length;
  if (*out == nullptr) {
    auto* buf = static_cast<unsigned char*>(OPENSSL_malloc(static_cast<size_t>(length)));
    if (buf == nullptr) return 0;
    write(buf);
    *out = buf;
    return length;
  }
  write(*out);
  *out += length;
  return length;
}

// Reuses *sig or makes a record; |made| tells the caller to free it on failure.
R3410_SIG* Target(R3410_SIG** sig, bool* made) {
  *made = sig == nullptr || *sig == nullptr;
  return *made ? R3410_SIG_new() : *sig;
}

R3410_SIG* Finish(R3410_SIG** sig, R3410_SIG* target, bool made, bool ok, int lib, int func) {
  if (!ok) {
    QERR(lib, func, R3410_R_PARSING);
    if (made) R3410_SIG_free(target);
    return nullptr;
  }
  if (sig != nullptr) *sig = target;
  return target;
}

}  // namespace

R3410_SIG* R3410_SIG_new() {
  auto* sig = static_cast<R3410_SIG*>(OPENSSL_zalloc(sizeof(R3410_SIG)));
  if (sig != nullptr) {
    sig->r = BN_new();
    sig->s = BN_new();
    if (sig->r == nullptr || sig->s == nullptr) {
      R3410_SIG_free(sig);
      sig = nullptr;
    }
  }
  if (sig == nullptr) QERR(ERRLIB_R3410, R3410_F_R3410_SIG_NEW, ERR_R_MEMORY_ALLOC);
  return sig;
}

void R3410_SIG_free(R3410_SIG* sig) {
  if (sig == nullptr) return;
  BN_clear_free(sig->r);
  BN_clear_free(sig->s);
  OPENSSL_free(sig);
}

int i2d_R3410_SIG(const R3410_SIG* sig, unsigned char** out) {
  if (sig == nullptr || sig->r == nullptr || sig->s == nullptr || BN_is_negative(sig->r) || BN_is_negative(sig->s)) {
    QERR(ERRLIB_R3410, R3410_F_I2D_R3410_SIG, ERR_R_PASSED_NULL);
    return 0;
  }
  const int total = der_rs_size(sig->r, sig->s);
  const int n = Emit(total, out, [&](unsigned char* p) { der_rs_put(p, sig->r, sig->s); });
  if (n == 0) QERR(ERRLIB_R3410, R3410_F_I2D_R3410_SIG, ERR_R_MEMORY_ALLOC);
  return n;
}

R3410_SIG* d2i_R3410_SIG(R3410_SIG** sig, const unsigned char** in, long length) {
  bool made = false;
  R3410_SIG* target = nullptr;
  bool ok = in != nullptr && *in != nullptr && length > 0;
  if (ok) {
    target = Target(sig, &made);
    ok = target != nullptr;
  }
  if (ok) {
    const unsigned char* p = *in;
    ok = der_rs_get(&p, length, target->r, target->s);
    if (ok) {
      target->qlen = 0;
      *in = p;
    }
  }
  return Finish(sig, target, made, ok, ERRLIB_R3410, R3410_F_D2I_R3410_SIG);
}

int R3410_SIG_to_raw(const R3410_SIG* sig, unsigned char** out) {
  if (sig == nullptr || sig->r == nullptr || sig->s == nullptr || sig->qlen <= 0 || BN_num_bytes(sig->r) > sig->qlen ||
      BN_num_bytes(sig->s) > sig->qlen) {
    QERR(ERRLIB_R3410, R3410_F_I2D_R3410_SIG, ERR_R_PASSED_NULL);
    return 0;
  }
  const int n = sig->qlen;
  return Emit(2 * n, out, [&](unsigned char* p) {
    BN_bn2binpad(sig->r, p, n);
    BN_bn2binpad(sig->s, p + n, n);
  });
}

R3410_SIG* d2i_GOSTS_SIG(R3410_SIG** sig, const unsigned char** in, long length) {
  bool made = false;
  R3410_SIG* target = nullptr;
  bool ok = in != nullptr && *in != nullptr && length > 0 && length % 2 == 0 && length <= (1L << 20);
  if (ok) {
    target = Target(sig, &made);
    ok = target != nullptr;
  }
  if (ok) {
    const int half = static_cast<int>(length / 2);
    ok = BN_bin2bn(*in, half, target->r) != nullptr && BN_bin2bn(*in + half, half, target->s) != nullptr;
    if (ok) {
      target->qlen = half;
      *in += length;
    }
  }
  return Finish(sig, target, made, ok, ERRLIB_GOSTS, GOSTS_F_D2I_GOSTS_SIG);
}

R3410_SIG* R3410_SIG_from_raw_exact(const unsigned char* in, long length, int qlen) {
  if (qlen <= 0 || length != 2L * qlen) {
    QERR(ERRLIB_GOSTS, GOSTS_F_D2I_GOSTS_SIG, R3410_R_PARSING);
    return nullptr;
  }
  const unsigned char* p = in;
  return d2i_GOSTS_SIG(nullptr, &p, length);
}

}  // namespace qcrypto
