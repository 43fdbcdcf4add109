// DER of GOST R 34.10-94 parameters, public and private keys.
#include <openssl/crypto.h>

#include <climits>

#include "crypto/x509/codec_util.h"

namespace qcrypto {
using namespace keycodec;

namespace {

constexpr std::size_t kNumberBytes = BytesFor(R3410_MAX_P_BITS);

struct Domain {
  BnPtr p{BN_new()}, q{BN_new()}, a{BN_new()};
  bool made() const { return p && q && a; }
  bool read(der::Reader& r) {
    return r.integer(p.get(), kNumberBytes) && r.integer(q.get(), kNumberBytes) && r.integer(a.get(), kNumberBytes);
  }
  // 1 < q < p with p odd, 1 < a < p. Primality and the order of a are the
  // verifier's checks (they cost exponentiations).
  bool sane() const { return BN_is_odd(p.get()) && Between1And(q.get(), p.get()) && Between1And(a.get(), p.get()); }
  bool equals(const R3410* key) const {
    return key->p != nullptr && key->q != nullptr && key->a != nullptr && BN_cmp(p.get(), key->p) == 0 &&
           BN_cmp(q.get(), key->q) == 0 && BN_cmp(a.get(), key->a) == 0;
  }
  void move_into(R3410* key) {
    Replace(key->p, p.release());
    Replace(key->q, q.release());
    Replace(key->a, a.release());
    key->p_bits = BN_num_bits(key->p);
    key->q_bits = BN_num_bits(key->q);
  }
};

// The record a decoder works on: the caller's, or a new one it owns until
// success.
class Target {
 public:
  explicit Target(R3410** given) : given_(given) {
    if (given != nullptr && *given != nullptr) {
      key_ = *given;
    } else {
      made_.reset(GOSTS_new());
      key_ = made_.get();
    }
  }
  R3410* get() const { return key_; }
  R3410* finish() {
    if (made_) key_ = made_.release();  // the caller's from now on
    if (given_ != nullptr) *given_ = key_;
    return key_;
  }

 private:
  R3410** given_;
  UniquePtr<R3410> made_;
  R3410* key_;
};

bool PutDomain(der::Buffer& out, const R3410* key) {
  return der::put_integer(out, key->p) && der::put_integer(out, key->q) && der::put_integer(out, key->a);
}

}  // namespace

namespace keycodec {

bool PutR3410Public(der::Buffer& out, const R3410* key, bool with_params) {
  if (key->y == nullptr) return false;
  if (!with_params) return der::put_integer(out, key->y);
  if (key->p == nullptr || key->q == nullptr || key->a == nullptr) return false;
  der::Buffer body;
  if (!der::put_integer(body, key->y) || !PutDomain(body, key)) return false;
  der::put_wrapped(out, der::kSequence, body);
  return true;
}

}  // namespace keycodec

// ---------------------------------------------------------------------------
// Parameters

R3410* d2i_R3410params(R3410** key, const unsigned char** in, long length) {
  constexpr int F = ASN1GOST_F_D2I_R3410PARAMS;
  if (in == nullptr || *in == nullptr || length <= 0) return Parsing(F);
  Domain d;
  if (!d.made()) return NoMemory(F);
  der::Reader r(*in, static_cast<std::size_t>(length)), body;
  long x0 = 0, c = 0;
  bool generation = false;
  if (!r.take(der::kSequence, body) || !d.read(body)) return Parsing(F);
  if (body.peek() == der::kNull) {
    if (!body.null()) return Parsing(F);
  } else {
    der::Reader g;
    if (!body.take(der::kSequence, g) || !g.small(x0, 0xffff) || !g.small(c, 0xffff) || !g.empty()) {
      return Parsing(F);
    }
    generation = true;
  }
  if (!body.empty() || !d.sane()) return Parsing(F);
  Target t(key);
  if (t.get() == nullptr) return NoMemory(F);
  R3410* k = t.get();
  d.move_into(k);
  k->x0 = static_cast<std::uint16_t>(x0);
  k->c = static_cast<std::uint16_t>(c);
  k->gen_flag = generation ? 1 : 0;
  *in = r.pos();
  return t.finish();
}

int i2d_R3410params(const R3410* key, unsigned char** out) {
  constexpr int F = ASN1GOST_F_I2D_R3410PARAMS;
  if (key == nullptr) return EncodeFailed(F);
  der::Buffer body;
  if (!PutDomain(body, key)) return EncodeFailed(F);
  if (key->gen_flag && key->x0 != 0 && key->c != 0) {
    der::Buffer g;
    der::put_small(g, key->x0);
    der::put_small(g, key->c);
    der::put_wrapped(body, der::kSequence, g);
  } else {
    der::put_null(body);
  }
  der::Buffer all;
  der::put_wrapped(all, der::kSequence, body);
  const int n = der::emit(all, out);
  if (n == 0) NoMemory(F);
  return n;
}

// ---------------------------------------------------------------------------
// Public key

R3410* d2i_R3410PublicKey(R3410** key, const unsigned char** in, long length) {
  constexpr int F = ASN1GOST_F_D2I_R3410PUBLICKEY;
  if (in == nullptr || *in == nullptr || length <= 0) return Parsing(F);
  der::Reader r(*in, static_cast<std::size_t>(length));
  BnPtr y(BN_new());
  Domain d;
  if (!y || !d.made()) return NoMemory(F);
  const bool bare = r.peek() == der::kInteger;
  if (bare) {
    if (!r.integer(y.get(), kNumberBytes)) return Parsing(F);
  } else {
    der::Reader body;
    if (!r.take(der::kSequence, body) || !body.integer(y.get(), kNumberBytes) || !d.read(body) || !body.empty() ||
        !d.sane()) {
      return Parsing(F);
    }
  }
  // y of 0, 1 or p and up is no public key; checked against the record's own p
  // when the encoding carries none. Membership in the subgroup of order q is
  // the verifier's check.
  const R3410* given = key != nullptr ? *key : nullptr;
  const BIGNUM* p = bare ? (given != nullptr ? given->p : nullptr) : d.p.get();
  if (BN_cmp(y.get(), BN_value_one()) <= 0 || (p != nullptr && BN_cmp(y.get(), p) >= 0)) return Parsing(F);
  Target t(key);
  if (t.get() == nullptr) return NoMemory(F);
  R3410* k = t.get();
  if (!bare) d.move_into(k);
  Replace(k->y, y.release());
  k->write_params = bare ? 0 : 1;
  *in = r.pos();
  return t.finish();
}

int i2d_R3410PublicKey(const R3410* key, unsigned char** out) {
  constexpr int F = ASN1GOST_F_I2D_R3410PUBLICKEY;
  der::Buffer all;
  if (key == nullptr || !PutR3410Public(all, key, key->write_params != 0)) return EncodeFailed(F);
  const int n = der::emit(all, out);
  if (n == 0) NoMemory(F);
  return n;
}

// ---------------------------------------------------------------------------
// Private key

R3410* d2i_R3410PrivateKey(R3410** key, const unsigned char** in, long length) {
  constexpr int F = ASN1GOST_F_D2I_R3410PRIVATEKEY;
  if (in == nullptr || *in == nullptr || length <= 0) return Parsing(F);
  der::Reader r(*in, static_cast<std::size_t>(length)), body;
  Domain d;
  BnPtr y(BN_new());
  SecretBnPtr x(BN_secure_new());
  SecretBnPtr tag;
  long version = 0;
  if (!d.made() || !y || !x) return NoMemory(F);
  if (!r.take(der::kSequence, body) || !body.small(version, INT_MAX) || !d.read(body) ||
      !body.integer(y.get(), kNumberBytes)) {
    return Parsing(F);
  }
  if (body.peek() == der::kInteger) {
    if (!body.integer(x.get(), kNumberBytes)) return Parsing(F);
  } else {
    der::Reader prot;
    tag.reset(BN_new());
    if (!tag) return NoMemory(F);
    if (!body.take(der::kSequence, prot) || !prot.integer(x.get(), kNumberBytes) ||
        !ReadProtectedTag(prot, tag.get()) || !prot.empty()) {
      return Parsing(F);
    }
  }
  // q needs at least 32 content bytes: a minimal INTEGER of q has
  // bits(q) / 8 + 1 of them.
  if (!body.empty() || !d.sane() || BN_num_bits(d.q.get()) / 8 + 1 < 32 || !Between1And(y.get(), d.p.get())) {
    return Parsing(F);
  }
  // A plain x is the key itself; the protected form is the container's block.
  if (!tag && (BN_is_zero(x.get()) || BN_cmp(x.get(), d.q.get()) >= 0)) return Parsing(F);
  Target t(key);
  if (t.get() == nullptr) return NoMemory(F);
  R3410* k = t.get();
  k->version = static_cast<int>(version);
  d.move_into(k);
  Replace(k->y, y.release());
  Replace(k->x, x.release());
  Replace(k->tag, tag.release());
  if (k->secret != nullptr) {
    OPENSSL_clear_free(k->secret, 32);
    k->secret = nullptr;
  }
  *in = r.pos();
  return t.finish();
}

int i2d_R3410PrivateKey(const R3410* key, unsigned char** out) {
  constexpr int F = ASN1GOST_F_I2D_R3410PRIVATEKEY;
  if (key == nullptr || key->x == nullptr || key->version < 0) return EncodeFailed(F);
  der::Buffer body;
  der::put_small(body, key->version);
  if (!PutDomain(body, key) || !der::put_integer(body, key->y)) return EncodeFailed(F);
  if (key->tag != nullptr) {
    der::Buffer prot;
    if (!der::put_integer(prot, key->x) || !der::put_integer(prot, key->tag)) return EncodeFailed(F);
    der::put_wrapped(body, der::kSequence, prot);
  } else if (!der::put_integer(body, key->x)) {
    return EncodeFailed(F);
  }
  der::Buffer all;
  der::put_wrapped(all, der::kSequence, body);
  const int n = der::emit(all, out);
  if (n == 0) NoMemory(F);
  return n;
}

// ---------------------------------------------------------------------------
// Generation values

R3410_PARAMS* R3410_PARAMS_new() {
  auto* params = static_cast<R3410_PARAMS*>(OPENSSL_zalloc(sizeof(R3410_PARAMS)));
  if (params != nullptr) {
    params->x0 = BN_new();
    params->c = BN_new();
    if (params->x0 == nullptr || params->c == nullptr) {
      R3410_PARAMS_free(params);
      params = nullptr;
    }
  }
  if (params == nullptr) NoMemory(ASN1GOST_F_GOST_INNER);
  return params;
}

void R3410_PARAMS_free(R3410_PARAMS* params) {
  if (params == nullptr) return;
  BN_free(params->x0);
  BN_free(params->c);
  OPENSSL_free(params);
}

R3410_PARAMS* d2i_R3410_PARAMS(R3410_PARAMS** params, const unsigned char** in, long length) {
  constexpr int F = ASN1GOST_F_GOST_INNER;
  if (in == nullptr || *in == nullptr || length <= 0) return Parsing(F);
  der::Reader r(*in, static_cast<std::size_t>(length)), body;
  long x0 = 0, c = 0;
  if (!r.take(der::kSequence, body) || !body.small(x0, 0xffff) || !body.small(c, 0xffff) || !body.empty()) {
    return Parsing(F);
  }
  UniquePtr<R3410_PARAMS> made;
  R3410_PARAMS* target = params != nullptr ? *params : nullptr;
  if (target == nullptr) {
    made.reset(R3410_PARAMS_new());
    target = made.get();
    if (target == nullptr) return nullptr;
  }
  if (!BN_set_word(target->x0, static_cast<BN_ULONG>(x0)) || !BN_set_word(target->c, static_cast<BN_ULONG>(c))) {
    QERR(ERRLIB_ASN1, F, ERRLIB_BN);
    return nullptr;
  }
  if (made) target = made.release();  // the caller's from now on
  if (params != nullptr) *params = target;
  *in = r.pos();
  return target;
}

int i2d_R3410_PARAMS(const R3410_PARAMS* params, unsigned char** out) {
  constexpr int F = ASN1GOST_F_GOST_INNER;
  if (params == nullptr || params->x0 == nullptr || params->c == nullptr || BN_num_bits(params->x0) > 16 ||
      BN_num_bits(params->c) > 16) {
    return EncodeFailed(F);
  }
  der::Buffer body, all;
  if (!der::put_integer(body, params->x0) || !der::put_integer(body, params->c)) return EncodeFailed(F);
  der::put_wrapped(all, der::kSequence, body);
  return der::emit(all, out);
}

}  // namespace qcrypto
