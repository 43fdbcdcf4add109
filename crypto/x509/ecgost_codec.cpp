// DER of GOST R 34.10-2001 parameters, public and private keys.
#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "crypto/evp/objects.h"
#include "crypto/x509/codec_util.h"

namespace qcrypto {
using namespace keycodec;

namespace {

constexpr std::size_t kNumberBytes = BytesFor(ECGOST_MAX_P_BITS);
// 04 x y of the widest field.
constexpr std::size_t kMaxPointBytes = 1 + 2 * (ECGOST_MAX_P_BITS / 8);
constexpr int kPrimeFieldObject = SYSOBJ_obj_189;  // 1.2.840.10045.1.1

bool IsPrime(const BIGNUM* v, BN_CTX* ctx) { return BN_check_prime(v, ctx, nullptr) == 1; }

// 4a^3 + 27b^2 = 0 mod p: no elliptic curve (and its discrete logarithms are easy).
bool Singular(const BIGNUM* a, const BIGNUM* b, const BIGNUM* p, BN_CTX* ctx) {
  BnPtr t(BN_new()), u(BN_new());
  return !t || !u || !BN_mod_sqr(t.get(), a, p, ctx) || !BN_mod_mul(t.get(), t.get(), a, p, ctx) ||
         !BN_mul_word(t.get(), 4) || !BN_mod_sqr(u.get(), b, p, ctx) || !BN_mul_word(u.get(), 27) ||
         !BN_mod_add(t.get(), t.get(), u.get(), p, ctx) || BN_is_zero(t.get());
}

// Upper-case hexadecimal of a non-negative number ("0" for zero); empty on failure.
std::string HexOf(const BIGNUM* v) {
  char* text = BN_bn2hex(v);
  std::string out = text != nullptr ? text : "";
  OPENSSL_free(text);
  return out;
}

// The parameters CHOICE as read: the form and, for forms 0 and 1, the curve.
struct EcParams {
  int form = -1;
  UniquePtr<ECURVE> curve;
  int point_form = 0;  // how an explicit base point was encoded
};

// SEQUENCE { 1, fieldID, curve, base, order, cofactor OPTIONAL } content into
// a new projective curve.
UniquePtr<ECURVE> ReadExplicit(der::Reader& body, int& point_form) {
  long version = 0;
  der::Reader field, shape, base;
  std::span<const unsigned char> type;
  BnPtr p(BN_new()), a(BN_new()), b(BN_new()), q(BN_new()), h(BN_new());
  BnCtxPtr ctx(BN_CTX_new());
  if (!p || !a || !b || !q || !h || !ctx) return nullptr;
  der::Reader unused;
  if (!body.small(version, 1) || version != 1 || !body.take(der::kSequence, field) ||
      !field.take(der::kOid, unused, &type) || !SameBytes(type, OidTlv(kPrimeFieldObject)) ||
      !field.integer(p.get(), kNumberBytes) || !field.empty() || !body.take(der::kSequence, shape) ||
      !shape.integer(a.get(), kNumberBytes) || !shape.integer(b.get(), kNumberBytes)) {
    return nullptr;
  }
  // The seed only says how the curve was found; it is read and dropped.
  if (!shape.empty() && !shape.take(der::kBitString, unused)) return nullptr;
  if (!shape.empty() || !body.take(der::kOctetString, base) || base.left() > kMaxPointBytes ||
      !body.integer(q.get(), kNumberBytes)) {
    return nullptr;
  }
  bool has_cofactor = false;
  if (!body.empty()) {
    if (!body.integer(h.get(), kNumberBytes) || BN_is_zero(h.get())) return nullptr;
    has_cofactor = true;
  }
  const int pbits = BN_num_bits(p.get());
  if (!body.empty() || pbits < 3 || pbits > ECGOST_MAX_P_BITS || !BN_is_odd(p.get()) || BN_cmp(a.get(), p.get()) >= 0 ||
      BN_cmp(b.get(), p.get()) >= 0 || BN_cmp(q.get(), BN_value_one()) <= 0 || BN_num_bits(q.get()) > pbits + 1 ||
      (has_cofactor && BN_num_bits(h.get()) > pbits + 1) || !IsPrime(p.get(), ctx.get()) ||
      !IsPrime(q.get(), ctx.get()) || Singular(a.get(), b.get(), p.get(), ctx.get())) {
    return nullptr;
  }
  // The base must be a finite point of this curve before anything is built.
  {
    UniquePtr<ECURVE> probe(ECURVE_new(ECURVE_AFFINE));
    if (!probe || !BN_copy(probe->p, p.get()) || !BN_copy(probe->a, a.get()) || !BN_copy(probe->b, b.get())) {
      return nullptr;
    }
    UniquePtr<ECPOINT> g(ECPOINT_bi2point_public(nullptr, base.pos(), base.left(), probe.get()));
    if (!g) return nullptr;
  }
  point_form = base.pos()[0] == 0x04 ? 0 : 1;
  // Built through a definition like the built-in curves, so the curve code
  // chooses its flags, method and tables itself; a curve equal to the
  // built-in one is that curve, window table included.
  const std::string ph = HexOf(p.get()), ah = HexOf(a.get()), bh = HexOf(b.get()), qh = HexOf(q.get());
  const std::string hh = has_cofactor ? HexOf(h.get()) : std::string();
  std::string gh;
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < base.left(); ++i) {
    gh.push_back(kDigits[base.pos()[i] >> 4]);
    gh.push_back(kDigits[base.pos()[i] & 15]);
  }
  if (ph.empty() || ah.empty() || bh.empty() || qh.empty() || (has_cofactor && hh.empty())) return nullptr;
  const ECURVE_DEF def = {0,          ph.c_str(), ah.c_str(), bh.c_str(), gh.c_str(),
                          qh.c_str(), hh.c_str(), nullptr,    nullptr,    nullptr};
  UniquePtr<ECURVE> curve(ECURVE_init(&def, ECURVE_PROJECTIVE));
  if (!curve) return nullptr;
  if (ECURVE_find_nid(curve.get()) == ECURVE_NID_DEFAULT) {
    UniquePtr<ECURVE> builtin(ECURVE_init(&ECURVE_DEF_191, ECURVE_PROJECTIVE));
    // The definition's cofactor is what the encoding said (present or not).
    if (!builtin) return nullptr;
    if (!has_cofactor) {
      BN_free(builtin->h);
      builtin->h = nullptr;
    }
    curve = std::move(builtin);
  }
  return curve;
}

// One parameters CHOICE from r. The failure is raised under `func`.
bool ReadParams(der::Reader& r, EcParams& out, int func) {
  const int tag = r.peek();
  if (tag == der::kNull) {
    if (!r.null()) return Parsing(func), false;
    out.form = 2;
    return true;
  }
  if (tag == der::kSequence) {
    der::Reader body;
    if (!r.take(der::kSequence, body)) return Parsing(func), false;
    out.curve = ReadExplicit(body, out.point_form);
    if (!out.curve) return Parsing(func), false;
    out.form = 1;
    return true;
  }
  der::Reader content;
  std::span<const unsigned char> whole;
  if (!r.take(der::kOid, content, &whole)) return Parsing(func), false;
  const unsigned char* p = whole.data();
  ASN1_OBJECT* obj = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(whole.size()));
  char text[128];
  const int n = obj != nullptr ? OBJ_obj2txt(text, sizeof(text), obj, 1) : 0;
  ASN1_OBJECT_free(obj);
  const auto row = n > 0 && n < static_cast<int>(sizeof(text)) ? sysobj_find_name(text) : std::nullopt;
  if (!row) return Parsing(func), false;
  // Only the built-in named curve has numbers; others fail in the curve code.
  out.curve.reset(ECURVE_new_by_nid(row->number));
  if (!out.curve) return Parsing(func), false;
  out.form = 0;
  return true;
}

// The record a decoder works on, made on `curve` (the default curve when null)
// when the caller gave none.
class Target {
 public:
  Target(ECGOST** given, ECURVE* curve) : given_(given) {
    if (given != nullptr && *given != nullptr) {
      key_ = *given;
    } else {
      made_.reset(ECGOST_new(curve));
      key_ = made_.get();
    }
  }
  ECGOST* get() const { return key_; }
  bool made() const { return made_ != nullptr; }
  ECGOST* finish() {
    if (made_) key_ = made_.release();  // the caller's from now on
    if (given_ != nullptr) *given_ = key_;
    return key_;
  }

 private:
  ECGOST** given_;
  UniquePtr<ECGOST> made_;
  ECGOST* key_;
};

// A point of `curve` from the encoded bytes: a new valid point, or null.
UniquePtr<ECPOINT> DecodeOn(const std::vector<unsigned char>& bytes, ECURVE* curve) {
  return UniquePtr<ECPOINT>(ECPOINT_bi2point_public(nullptr, bytes.data(), bytes.size(), curve));
}

// Moves the key onto `curve`, its public point along (re-decoded from the
// pending bytes or its current Q). The key is unchanged on failure.
bool MoveToCurve(ECGOST* key, UniquePtr<ECURVE>& curve) {
  std::vector<unsigned char> bytes(key->public_bytes);
  if (bytes.empty() && key->Q != nullptr && !ECPOINT_is_infinity(key->Q)) {
    const der::Buffer encoded = EcPublicBytes(key);
    bytes.assign(encoded.begin(), encoded.end());
    if (bytes.empty()) return false;
  }
  UniquePtr<ECPOINT> q;
  if (bytes.empty()) {
    q.reset(ECPOINT_new(curve.get()));
    if (!q || !ECPOINT_set_infinity(q.get())) return false;
  } else {
    q = DecodeOn(bytes, curve.get());
    if (!q) return false;
  }
  ECPOINT_free(key->Q);
  key->Q = q.release();
  ECURVE_free(key->curve);
  key->curve = curve.release();
  return true;
}

bool PutExplicit(der::Buffer& out, const ECURVE* c, int compressed) {
  if (c->p == nullptr || c->a == nullptr || c->b == nullptr || c->q == nullptr || c->P == nullptr) return false;
  der::Buffer body, field, shape;
  der::put_small(body, 1);
  if (!der::put_oid(field, sysobj_find(kPrimeFieldObject)->oid) || !der::put_integer(field, c->p)) return false;
  der::put_wrapped(body, der::kSequence, field);
  if (!der::put_integer(shape, c->a) || !der::put_integer(shape, c->b)) return false;
  der::put_wrapped(body, der::kSequence, shape);
  unsigned char* base = nullptr;
  const int n = ECPOINT_point2bin(c->P, &base, compressed);
  if (n <= 1) {
    OPENSSL_free(base);
    return false;
  }
  der::put_tlv(body, der::kOctetString, std::span<const unsigned char>(base, static_cast<std::size_t>(n)));
  OPENSSL_free(base);
  if (!der::put_integer(body, c->q)) return false;
  if (c->h != nullptr && !BN_is_zero(c->h) && !der::put_integer(body, c->h)) return false;
  der::put_wrapped(out, der::kSequence, body);
  return true;
}

}  // namespace

namespace keycodec {

const der::Buffer& OidTlv(int number) {
  static std::once_flag once;
  static der::Buffer* table = nullptr;
  std::call_once(once, [] {
    table = new der::Buffer[SYSOBJ_Elliptic_Curve_Diffie_Hellman + 1];
    for (const SysObjectRow& row : sysobj_rows()) {
      if (row.oid != nullptr) table[row.number] = der::oid_tlv(row.oid);
    }
  });
  static const der::Buffer none;
  return number > 0 && number <= SYSOBJ_Elliptic_Curve_Diffie_Hellman ? table[number] : none;
}

der::Buffer EcPublicBytes(const ECGOST* key) {
  der::Buffer out;
  if (key->Q != nullptr && !ECPOINT_is_infinity(key->Q)) {
    unsigned char* bytes = nullptr;
    const int n = ECPOINT_point2bin(key->Q, &bytes, key->point_form);
    if (n > 1) out.assign(bytes, bytes + n);
    OPENSSL_free(bytes);
  } else {
    out.assign(key->public_bytes.begin(), key->public_bytes.end());
  }
  return out;
}

bool PutEcParams(der::Buffer& out, const ECGOST* key, bool for_spki) {
  const ECURVE* c = key->curve;
  if (c == nullptr) return false;
  if (key->param_form == 2 && !for_spki) {
    der::put_null(out);
    return true;
  }
  if (key->param_form != 1) {
    const int nid = c->nid != 0 ? c->nid : ECURVE_find_nid(c);
    if (nid == ECURVE_NID_DEFAULT) {
      const der::Buffer& oid = OidTlv(nid);
      out.insert(out.end(), oid.begin(), oid.end());
      return !oid.empty();
    }
  }
  return PutExplicit(out, c, key->point_form);
}

}  // namespace keycodec

// ---------------------------------------------------------------------------
// Parameters

ECGOST* d2i_ECGOSTparams(ECGOST** key, const unsigned char** in, long length) {
  constexpr int F = ASN1GOST_F_D2I_ECGOSTPARAMS;
  if (in == nullptr || *in == nullptr || length <= 0) return Parsing(F);
  der::Reader r(*in, static_cast<std::size_t>(length));
  EcParams params;
  if (!ReadParams(r, params, F)) return nullptr;
  Target t(key, params.curve.get());
  if (t.get() == nullptr) return NoMemory(F);
  ECGOST* k = t.get();
  if (params.curve && !t.made() && !MoveToCurve(k, params.curve)) return Parsing(F);
  k->param_form = params.form;
  // One flag governs both the base and the public point: a key without a
  // public point of its own takes the base point's form.
  if (params.form == 1 && k->public_bytes.empty()) k->point_form = params.point_form;
  *in = r.pos();
  return t.finish();
}

int i2d_ECGOST_PARAMS(const ECGOST* key, unsigned char** out) {
  constexpr int F = ASN1GOST_F_I2D_ECGOSTPARAMS;
  der::Buffer all;
  if (key == nullptr || !PutEcParams(all, key, false)) return EncodeFailed(F);
  return der::emit(all, out);
}

X509_ALGOR* ECGOST_params_to_algor(const ECGOST* key) {
  constexpr int F = ASN1GOST_F_I2D_ECGOSTPARAMS;
  der::Buffer body, all;
  const der::Buffer& oid = OidTlv(SYSOBJ_ECR3410);
  body.assign(oid.begin(), oid.end());
  if (key == nullptr || oid.empty() || !PutEcParams(body, key, false)) return EncodeFailed(F), nullptr;
  der::put_wrapped(all, der::kSequence, body);
  const unsigned char* p = all.data();
  X509_ALGOR* algor = d2i_X509_ALGOR(nullptr, &p, static_cast<long>(all.size()));
  if (algor == nullptr) NoMemory(F);
  return algor;
}

// ---------------------------------------------------------------------------
// Public key

ECGOST* d2i_ECGOSTPublicKey(ECGOST** key, const unsigned char** in, long length) {
  constexpr int F = ASN1GOST_F_D2I_ECGOSTPUBLICKEY;
  if (in == nullptr || *in == nullptr || length <= 0) return Parsing(F);
  der::Reader r(*in, static_cast<std::size_t>(length)), octets;
  if (!r.take(der::kOctetString, octets) || octets.left() == 0 || octets.left() > kMaxPointBytes) return Parsing(F);
  std::vector<unsigned char> bytes(octets.pos(), octets.pos() + octets.left());
  Target t(key, nullptr);
  if (t.get() == nullptr) return NoMemory(F);
  ECGOST* k = t.get();
  UniquePtr<ECPOINT> pending(ECPOINT_new(k->curve));
  if (!pending || !ECPOINT_set_infinity(pending.get())) return NoMemory(F);
  ECPOINT_free(k->Q);
  k->Q = pending.release();
  k->public_bytes.swap(bytes);
  k->point_form = k->public_bytes[0] == 0x04 ? 0 : 1;
  *in = r.pos();
  return t.finish();
}

int ECGOST_decode_public(ECGOST* key) {
  if (key == nullptr || key->curve == nullptr || key->public_bytes.empty()) {
    QERR(ERRLIB_ASN1, ASN1GOST_F_D2I_ECGOSTPUBLICKEY, ASN1GOST_R_PARSING);
    return 0;
  }
  UniquePtr<ECPOINT> q = DecodeOn(key->public_bytes, key->curve);
  if (!q) {
    QERR(ERRLIB_ASN1, ASN1GOST_F_D2I_ECGOSTPUBLICKEY, ASN1GOST_R_PARSING);
    return 0;
  }
  ECPOINT_free(key->Q);
  key->Q = q.release();
  return 1;
}

int i2d_ECGOSTPublicKey(const ECGOST* key, unsigned char** out) {
  constexpr int F = ASN1GOST_F_I2D_ECGOSTPUBLICKEY;
  if (key == nullptr) return EncodeFailed(F);
  const der::Buffer point = EcPublicBytes(key);
  if (point.empty()) return EncodeFailed(F);
  der::Buffer all;
  der::put_wrapped(all, der::kOctetString, point);
  return der::emit(all, out);
}

ASN1_OCTET_STRING* ECGOST_point2octet(const ECPOINT* point, int compressed) {
  unsigned char* bytes = nullptr;
  const int n = ECPOINT_point2bin(point, &bytes, compressed);
  ASN1_OCTET_STRING* s = n > 0 ? ASN1_OCTET_STRING_new() : nullptr;
  if (s != nullptr && !ASN1_OCTET_STRING_set(s, bytes, n)) {
    ASN1_OCTET_STRING_free(s);
    s = nullptr;
  }
  OPENSSL_free(bytes);
  return s;
}

// ---------------------------------------------------------------------------
// Private key

ECGOST* d2i_ECGOSTPrivateKey(ECGOST** key, const unsigned char** in, long length) {
  constexpr int F = ASN1GOST_F_D2I_ECGOSTPRIVATEKEY;
  if (in == nullptr || *in == nullptr || length <= 0) return Parsing(F);
  der::Reader r(*in, static_cast<std::size_t>(length)), body, octets;
  long version = 0;
  EcParams params;
  if (!r.take(der::kSequence, body) || !body.small(version, INT_MAX)) return Parsing(F);
  if (!ReadParams(body, params, F)) return nullptr;
  // Inherited parameters are the given key's curve, or the default one.
  ECGOST* given = key != nullptr ? *key : nullptr;
  ECURVE* curve = params.curve ? params.curve.get() : given != nullptr ? given->curve : nullptr;
  UniquePtr<ECGOST> fresh(ECGOST_new(curve));
  if (!fresh) return NoMemory(F);
  ECGOST* k = fresh.get();
  if (!body.take(der::kOctetString, octets) || octets.left() == 0 || octets.left() > kMaxPointBytes) {
    return Parsing(F);
  }
  k->public_bytes.assign(octets.pos(), octets.pos() + octets.left());
  k->point_form = k->public_bytes[0] == 0x04 ? 0 : 1;
  if (ECPOINT_bi2point_public(&k->Q, octets.pos(), octets.left(), k->curve) == nullptr) return Parsing(F);
  SecretBnPtr tag;
  if (body.peek() == der::kInteger) {
    if (!body.integer(k->d, kNumberBytes)) return Parsing(F);
  } else {
    der::Reader prot;
    tag.reset(BN_new());
    if (!tag) return NoMemory(F);
    if (!body.take(der::kSequence, prot) || !prot.integer(k->d, kNumberBytes) || !ReadProtectedTag(prot, tag.get()) ||
        !prot.empty()) {
      return Parsing(F);
    }
  }
  if (!body.empty()) return Parsing(F);
  if (!tag && (BN_is_zero(k->d) || BN_cmp(k->d, k->curve->q) >= 0)) return Parsing(F);
  k->tag = tag.release();
  k->version = static_cast<int>(version);
  k->param_form = params.form;
  *in = r.pos();
  if (given == nullptr) {
    if (key != nullptr) *key = k;
    return fresh.release();
  }
  // The decoded fields go into the caller's record; its old ones are freed
  // with the temporary record.
  std::swap(given->version, k->version);
  std::swap(given->param_form, k->param_form);
  std::swap(given->point_form, k->point_form);
  std::swap(given->curve, k->curve);
  std::swap(given->d, k->d);
  std::swap(given->tag, k->tag);
  std::swap(given->Q, k->Q);
  std::swap(given->public_bytes, k->public_bytes);
  std::swap(given->secret, k->secret);
  return given;
}

int i2d_ECGOSTPrivateKey(const ECGOST* key, unsigned char** out) {
  constexpr int F = ASN1GOST_F_I2D_ECGOSTPRIVATEKEY;
  if (key == nullptr || key->d == nullptr || key->version < 0) return EncodeFailed(F);
  der::Buffer body;
  der::put_small(body, key->version);
  if (!PutEcParams(body, key, false)) return EncodeFailed(F);
  const der::Buffer point = EcPublicBytes(key);
  if (point.empty()) return EncodeFailed(F);
  der::put_wrapped(body, der::kOctetString, point);
  if (key->tag != nullptr) {
    der::Buffer prot;
    if (!der::put_integer(prot, key->d) || !der::put_integer(prot, key->tag)) return EncodeFailed(F);
    der::put_wrapped(body, der::kSequence, prot);
  } else if (BN_is_zero(key->d) || !der::put_integer(body, key->d)) {
    return EncodeFailed(F);
  }
  der::Buffer all;
  der::put_wrapped(all, der::kSequence, body);
  return der::emit(all, out);
}

// ---------------------------------------------------------------------------
// Inner records

ECGOST_FIELDID* ECGOST_FIELDID_new() {
  auto* f = static_cast<ECGOST_FIELDID*>(OPENSSL_zalloc(sizeof(ECGOST_FIELDID)));
  if (f != nullptr && (f->prime = BN_new()) == nullptr) {
    OPENSSL_free(f);
    f = nullptr;
  }
  if (f == nullptr) NoMemory(ASN1GOST_F_GOST_INNER);
  return f;
}

void ECGOST_FIELDID_free(ECGOST_FIELDID* f) {
  if (f == nullptr) return;
  ASN1_OBJECT_free(f->type);
  BN_free(f->prime);
  OPENSSL_free(f);
}

ECGOST_FIELDID* d2i_ECGOST_FIELDID(ECGOST_FIELDID** field, const unsigned char** in, long length) {
  constexpr int F = ASN1GOST_F_GOST_INNER;
  if (in == nullptr || *in == nullptr || length <= 0) return Parsing(F);
  der::Reader r(*in, static_cast<std::size_t>(length)), body, unused;
  std::span<const unsigned char> type;
  BnPtr prime(BN_new());
  if (!prime) return NoMemory(F);
  if (!r.take(der::kSequence, body) || !body.take(der::kOid, unused, &type) ||
      !body.integer(prime.get(), kNumberBytes) || !body.empty()) {
    return Parsing(F);
  }
  const unsigned char* p = type.data();
  ASN1_OBJECT* obj = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(type.size()));
  if (obj == nullptr) return Parsing(F);
  UniquePtr<ECGOST_FIELDID> made;
  ECGOST_FIELDID* target = field != nullptr ? *field : nullptr;
  if (target == nullptr) {
    made.reset(ECGOST_FIELDID_new());
    target = made.get();
    if (target == nullptr) {
      ASN1_OBJECT_free(obj);
      return nullptr;
    }
  }
  ASN1_OBJECT_free(target->type);
  target->type = obj;
  BN_free(target->prime);
  target->prime = prime.release();
  if (made) target = made.release();  // the caller's from now on
  if (field != nullptr) *field = target;
  *in = r.pos();
  return target;
}

int i2d_ECGOST_FIELDID(const ECGOST_FIELDID* field, unsigned char** out) {
  constexpr int F = ASN1GOST_F_GOST_INNER;
  if (field == nullptr || field->type == nullptr) return EncodeFailed(F);
  der::Buffer body, all;
  const int n = i2d_ASN1_OBJECT(field->type, nullptr);
  if (n <= 0) return EncodeFailed(F);
  body.resize(static_cast<std::size_t>(n));
  unsigned char* p = body.data();
  if (i2d_ASN1_OBJECT(field->type, &p) != n || !der::put_integer(body, field->prime)) return EncodeFailed(F);
  der::put_wrapped(all, der::kSequence, body);
  return der::emit(all, out);
}

ECGOST_CURVE* ECGOST_CURVE_new() {
  auto* c = static_cast<ECGOST_CURVE*>(OPENSSL_zalloc(sizeof(ECGOST_CURVE)));
  if (c != nullptr) {
    c->a = BN_new();
    c->b = BN_new();
    if (c->a == nullptr || c->b == nullptr) {
      ECGOST_CURVE_free(c);
      c = nullptr;
    }
  }
  if (c == nullptr) NoMemory(ASN1GOST_F_GOST_INNER);
  return c;
}

void ECGOST_CURVE_free(ECGOST_CURVE* c) {
  if (c == nullptr) return;
  BN_free(c->a);
  BN_free(c->b);
  ASN1_BIT_STRING_free(c->seed);
  OPENSSL_free(c);
}

ECGOST_CURVE* d2i_ECGOST_CURVE(ECGOST_CURVE** curve, const unsigned char** in, long length) {
  constexpr int F = ASN1GOST_F_GOST_INNER;
  if (in == nullptr || *in == nullptr || length <= 0) return Parsing(F);
  der::Reader r(*in, static_cast<std::size_t>(length)), body, bits;
  BnPtr a(BN_new()), b(BN_new());
  if (!a || !b) return NoMemory(F);
  if (!r.take(der::kSequence, body) || !body.integer(a.get(), kNumberBytes) || !body.integer(b.get(), kNumberBytes)) {
    return Parsing(F);
  }
  ASN1_BIT_STRING* seed = nullptr;
  if (!body.empty()) {
    std::span<const unsigned char> whole;
    // A BIT STRING needs its unused-bits byte, at most 7, and 0 when empty.
    if (!body.take(der::kBitString, bits, &whole) || bits.left() == 0 || bits.pos()[0] > 7 ||
        (bits.left() == 1 && bits.pos()[0] != 0) || bits.left() > 1024) {
      return Parsing(F);
    }
    const unsigned char* p = whole.data();
    seed = d2i_ASN1_BIT_STRING(nullptr, &p, static_cast<long>(whole.size()));
    if (seed == nullptr) return Parsing(F);
  }
  if (!body.empty()) {
    ASN1_BIT_STRING_free(seed);
    return Parsing(F);
  }
  UniquePtr<ECGOST_CURVE> made;
  ECGOST_CURVE* target = curve != nullptr ? *curve : nullptr;
  if (target == nullptr) {
    made.reset(ECGOST_CURVE_new());
    target = made.get();
    if (target == nullptr) {
      ASN1_BIT_STRING_free(seed);
      return nullptr;
    }
  }
  BN_free(target->a);
  target->a = a.release();
  BN_free(target->b);
  target->b = b.release();
  ASN1_BIT_STRING_free(target->seed);
  target->seed = seed;
  if (made) target = made.release();  // the caller's from now on
  if (curve != nullptr) *curve = target;
  *in = r.pos();
  return target;
}

int i2d_ECGOST_CURVE(const ECGOST_CURVE* curve, unsigned char** out) {
  constexpr int F = ASN1GOST_F_GOST_INNER;
  if (curve == nullptr) return EncodeFailed(F);
  der::Buffer body, all;
  if (!der::put_integer(body, curve->a) || !der::put_integer(body, curve->b)) return EncodeFailed(F);
  if (curve->seed != nullptr) {
    const int n = i2d_ASN1_BIT_STRING(curve->seed, nullptr);
    if (n <= 0) return EncodeFailed(F);
    const std::size_t at = body.size();
    body.resize(at + static_cast<std::size_t>(n));
    unsigned char* p = body.data() + at;
    if (i2d_ASN1_BIT_STRING(curve->seed, &p) != n) return EncodeFailed(F);
  }
  der::put_wrapped(all, der::kSequence, body);
  return der::emit(all, out);
}

}  // namespace qcrypto
