// The signature record and its DER and raw encodings.
#include <openssl/crypto.h>

#include <cstring>
#include <vector>

#include "crypto/bn/bn_ext.h"
#include "crypto/err/err.h"
#include "crypto/r3410/r3410.h"

namespace qcrypto {
namespace {

constexpr unsigned char kTagInteger = 0x02;
constexpr unsigned char kTagSequence = 0x30;

int HeaderLength(size_t content) {
  if (content < 0x80) return 2;
  int bytes = 0;
  for (size_t v = content; v > 0; v >>= 8) ++bytes;
  return 2 + bytes;
}

unsigned char* PutHeader(unsigned char* p, unsigned char tag, size_t content) {
  *p++ = tag;
  if (content < 0x80) {
    *p++ = static_cast<unsigned char>(content);
    return p;
  }
  int bytes = 0;
  for (size_t v = content; v > 0; v >>= 8) ++bytes;
  *p++ = static_cast<unsigned char>(0x80 | bytes);
  for (int i = bytes - 1; i >= 0; --i) *p++ = static_cast<unsigned char>(content >> (8 * i));
  return p;
}

// Content length of a non-negative INTEGER: minimal bytes, plus a leading
// zero when the top bit is set; 0 itself is one zero byte.
size_t IntegerContent(const BIGNUM* b) {
  const int bits = BN_num_bits(b);
  return bits == 0 ? 1 : static_cast<size_t>(bits / 8 + 1);
}

unsigned char* PutInteger(unsigned char* p, const BIGNUM* b) {
  const size_t content = IntegerContent(b);
  p = PutHeader(p, kTagInteger, content);
  BN_bn2binpad(b, p, static_cast<int>(content));
  return p + content;
}

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

// A strict DER reader over [p, end).
class Reader {
 public:
  Reader(const unsigned char* p, const unsigned char* end) : p_(p), end_(end) {}
  // Reads a tag and a definite length whose content lies inside the input.
  bool Header(unsigned char tag, size_t* content) {
    if (end_ - p_ < 2 || *p_ != tag) return false;
    ++p_;
    const unsigned char first = *p_++;
    size_t len = 0;
    if (first < 0x80) {
      len = first;
    } else {
      const int bytes = first & 0x7F;
      if (bytes == 0 || bytes > 4 || end_ - p_ < bytes) return false;  // indefinite or absurd
      for (int i = 0; i < bytes; ++i) len = len << 8 | *p_++;
    }
    if (static_cast<size_t>(end_ - p_) < len) return false;
    *content = len;
    return true;
  }
  // A non-negative INTEGER into |out|.
  bool Integer(BIGNUM* out) {
    size_t len = 0;
    if (!Header(kTagInteger, &len) || len == 0 || (p_[0] & 0x80) != 0) return false;
    if (BN_bin2bn(p_, static_cast<int>(len), out) == nullptr) return false;
    p_ += len;
    return true;
  }
  const unsigned char* pos() const { return p_; }

 private:
  const unsigned char* p_;
  const unsigned char* end_;
};

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
  const size_t rc = IntegerContent(sig->r);
  const size_t sc = IntegerContent(sig->s);
  const size_t body = HeaderLength(rc) + rc + HeaderLength(sc) + sc;
  const int total = HeaderLength(body) + static_cast<int>(body);
  const int n = Emit(total, out, [&](unsigned char* p) {
    p = PutHeader(p, kTagSequence, body);
    p = PutInteger(p, sig->r);
    PutInteger(p, sig->s);
  });
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
    Reader outer(*in, *in + length);
    size_t body = 0;
    ok = outer.Header(kTagSequence, &body);
    if (ok) {
      const unsigned char* end = outer.pos() + body;
      Reader inner(outer.pos(), end);
      // No bytes may follow s inside the SEQUENCE.
      ok = inner.Integer(target->r) && inner.Integer(target->s) && inner.pos() == end;
      if (ok) {
        target->qlen = 0;
        *in = end;
      }
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

}  // namespace qcrypto
