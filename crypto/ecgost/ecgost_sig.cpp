#include "crypto/ecgost/ecgost_sig.h"

#include <openssl/crypto.h>

#include <cstring>

#include "crypto/bn/bn_ext.h"
#include "crypto/ecgost/ecgost_codes.h"
#include "crypto/err/err.h"

namespace qcrypto {
namespace {

constexpr unsigned char kTagInteger = 0x02;
constexpr unsigned char kTagSequence = 0x30;

// Bytes of a DER length field for a content of `n` bytes.
int der_length_size(int n) {
  if (n < 0x80) return 1;
  int bytes = 0;
  for (int v = n; v > 0; v >>= 8) ++bytes;
  return 1 + bytes;
}

void der_put_length(unsigned char*& p, int n) {
  if (n < 0x80) {
    *p++ = static_cast<unsigned char>(n);
    return;
  }
  int bytes = der_length_size(n) - 1;
  *p++ = static_cast<unsigned char>(0x80 | bytes);
  for (int i = bytes - 1; i >= 0; --i) *p++ = static_cast<unsigned char>(n >> (8 * i));
}

// Content bytes of a non-negative INTEGER: its magnitude, one zero byte in
// front when the top bit is set, and a single zero byte for the value 0.
int integer_content_size(const BIGNUM* v) {
  int n = BN_num_bytes(v);
  if (n == 0) return 1;
  return BN_num_bits(v) % 8 == 0 ? n + 1 : n;
}

int integer_size(const BIGNUM* v) {
  int c = integer_content_size(v);
  return 1 + der_length_size(c) + c;
}

void put_integer(unsigned char*& p, const BIGNUM* v) {
  int c = integer_content_size(v);
  *p++ = kTagInteger;
  der_put_length(p, c);
  BN_bn2binpad(v, p, c);
  p += c;
}

// Reads a tag and a minimal definite length; the content must fit in what is left.
bool read_header(const unsigned char*& p, const unsigned char* end, unsigned char tag, long& content) {
  if (end - p < 2 || *p != tag) return false;
  ++p;
  unsigned char first = *p++;
  if (first < 0x80) {
    content = first;
  } else {
    int bytes = first & 0x7f;
    if (bytes == 0 || bytes > 4 || end - p < bytes || *p == 0) return false;
    long n = 0;
    for (int i = 0; i < bytes; ++i) n = (n << 8) | *p++;
    if (n < 0x80) return false;  // the short form was required
    content = n;
  }
  return content <= end - p;
}

bool read_integer(const unsigned char*& p, const unsigned char* end, BIGNUM* out) {
  long n = 0;
  if (!read_header(p, end, kTagInteger, n) || n == 0) return false;
  if (p[0] & 0x80) return false;                           // negative
  if (n > 1 && p[0] == 0 && !(p[1] & 0x80)) return false;  // not minimal
  if (BN_bin2bn(p, static_cast<int>(n), out) == nullptr) return false;
  p += n;
  return true;
}

}  // namespace

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

int ECGOST_SIG_der_max_size(int n) {
  int c = n + 1;
  int one = 1 + der_length_size(c) + c;
  return 1 + der_length_size(2 * one) + 2 * one;
}

int i2d_ECGOST_SIG(const ECGOST_SIG* sig, unsigned char** out) {
  if (sig == nullptr || sig->r == nullptr || sig->s == nullptr || BN_is_negative(sig->r) || BN_is_negative(sig->s)) {
    QERR(ERRLIB_ECGOST, ECGOST_F_I2D_ECGOST_SIG, ERR_R_INTERNAL);
    return 0;
  }
  int content = integer_size(sig->r) + integer_size(sig->s);
  int total = 1 + der_length_size(content) + content;
  if (out == nullptr || *out == nullptr) return total;
  unsigned char* p = *out;
  *p++ = kTagSequence;
  der_put_length(p, content);
  put_integer(p, sig->r);
  put_integer(p, sig->s);
  *out = p;
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
  const unsigned char* end = p + length;
  long content = 0;
  bool ok = read_header(p, end, kTagSequence, content);
  if (ok) {
    const unsigned char* seq_end = p + content;
    ok = read_integer(p, seq_end, target->r) && read_integer(p, seq_end, target->s) && p == seq_end;
  }
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
