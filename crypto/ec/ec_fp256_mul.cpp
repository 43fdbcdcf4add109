// Scalar multiplication on the fixed-width field.
//
// - Any point (ec_fp256_mul): signed 5-bit windows (Booth recoding, digits
//   -16..16) over a table of 1P..16P; every table read scans all 16 entries
//   with masks, and the number of doublings and additions is fixed by the
//   width of the number (256 or 512 bits). Constant time in k.
// - The generator (ec_fp256_mul_generator): a comb of 37 signed 7-bit digits;
//   row i of the table holds 1..64 times 2^(7i) G in affine form, so the
//   product is 37 mixed additions and no doubling. Masked scans of 64
//   entries; constant time in k.
// - k1 G + k2 Q for verification: the same comb rows read directly, plus a
//   width-5 NAF of k2 over Q; variable time, public numbers only.
//
// Curves are served when p is an odd prime below 2^256. The fixed-width form
// of a curve and the comb tables are kept per process, keyed by the numbers
// they are made from, so the many curve records a program loads for the same
// curve share one table (a comb table costs about a millisecond to make).
#include "crypto/ec/ec_fp256_mul.h"

#include <openssl/crypto.h>

#include <array>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "crypto/bn/bn_owner.h"
#include "crypto/ec/ec_fp256_adx.h"
#include "crypto/ec/ec_fp256_select.h"
#include "crypto/ec/ec_internal.h"

namespace qcrypto {
namespace fp256 {
namespace {

constexpr int kCombWidth = 7;
constexpr int kCombRows = 37;                        // 37 * 7 = 259 > 256 + 1
constexpr int kCombEntries = 1 << (kCombWidth - 1);  // 64
constexpr int kVarWidth = 5;
constexpr int kVarEntries = 1 << (kVarWidth - 1);  // 16

using CurveKey = std::array<unsigned char, 96>;       // p, a, b
using GeneratorKey = std::array<unsigned char, 160>;  // p, a, b, x(G), y(G)

struct GenTable {
  std::vector<Aff> points;  // kCombRows rows of kCombEntries
};

// A small process-wide cache; the oldest entry goes when it is full (holders
// keep their shared pointer).
template <class Key, class Value, std::size_t Capacity>
class Registry {
 public:
  std::shared_ptr<const Value> find(const Key& key) {
    std::shared_lock lock(mutex_);
    for (const auto& e : entries_) {
      if (e.first == key) return e.second;
    }
    return nullptr;
  }
  std::shared_ptr<const Value> insert(const Key& key, std::shared_ptr<const Value> value) {
    std::unique_lock lock(mutex_);
    for (const auto& e : entries_) {
      if (e.first == key) return e.second;
    }
    if (entries_.size() >= Capacity) entries_.erase(entries_.begin());
    entries_.emplace_back(key, value);
    return value;
  }

 private:
  std::shared_mutex mutex_;
  std::vector<std::pair<Key, std::shared_ptr<const Value>>> entries_;
};

// Never destroyed: the caches may be used until the process ends.
Registry<CurveKey, Curve, 16>& Curves() {
  static auto* registry = new Registry<CurveKey, Curve, 16>();
  return *registry;
}
Registry<GeneratorKey, GenTable, 8>& GenTables() {
  static auto* registry = new Registry<GeneratorKey, GenTable, 8>();
  return *registry;
}

bool Put32(unsigned char* out, const BIGNUM* n) {
  if (n == nullptr) {
    std::memset(out, 0, 32);
    return true;
  }
  return !BN_is_negative(n) && BN_bn2binpad(n, out, 32) == 32;
}

bool MakeCurveKey(CurveKey& key, const ECURVE* c) {
  return c != nullptr && c->p != nullptr && Put32(key.data(), c->p) && Put32(key.data() + 32, c->a) &&
         Put32(key.data() + 64, c->b);
}

std::shared_ptr<const Curve> BuildCurve(const ECURVE* c) {
  // Only prime fields: with a composite p (hostile explicit parameters) an
  // inverse may not exist, which Fermat's method would not notice. A prime is
  // tested once (the curve is cached); a composite fails its first round.
  BnCtxPtr ctx = EcNewCtx();
  if (ctx == nullptr || BN_check_prime(c->p, ctx.get(), nullptr) != 1) return nullptr;
  auto curve = std::make_shared<Curve>();
  if (!field_init(curve->f, c->p) || !fe_from_bn(curve->f, curve->a, ec_num_or_zero(c->a), nullptr) ||
      !fe_from_bn(curve->f, curve->b, ec_num_or_zero(c->b), nullptr)) {
    return nullptr;
  }
  const u64 three_limbs[4] = {3, 0, 0, 0};
  Fe three, t;
  fe_from_limbs(curve->f, three, three_limbs);
  fe_add(curve->f, t, curve->a, three);
  curve->a_minus_3 = fe_is_zero(t) != 0;
  curve->a_zero = fe_is_zero(curve->a) != 0;
  return curve;
}

// The comb rows of G; null when a multiple of G is the point at infinity
// (G of small order: hostile parameters), which leaves those curves to the
// general multiplication.
std::shared_ptr<const GenTable> BuildGenTable(const Curve& c, const Aff& g) {
  constexpr int n = kCombRows * kCombEntries;
  std::vector<Jac> jac(n);
  Jac base{g.x, g.y, c.f.one};
  for (int i = 0; i < kCombRows; ++i) {
    Jac* row = &jac[static_cast<std::size_t>(i) * kCombEntries];
    row[0] = base;
    jac_double<PortableOps>(c, row[1], base);
    for (int j = 2; j < kCombEntries; ++j) jac_add<PortableOps>(c, row[j], row[j - 1], base);
    jac_double<PortableOps>(c, base, row[kCombEntries - 1]);  // 2^7 base
  }
  // All to affine with one inversion.
  std::vector<Fe> prefix(n);
  Fe acc = c.f.one;
  for (int i = 0; i < n; ++i) {
    if (fe_is_zero(jac[i].Z) != 0) return nullptr;
    fe_mul(c.f, acc, acc, jac[i].Z);
    prefix[i] = acc;
  }
  Fe inv;
  fe_inv<PortableOps>(c.f, inv, acc);
  auto table = std::make_shared<GenTable>();
  table->points.resize(n);
  for (int i = n - 1; i >= 0; --i) {
    Fe zi, zi2;
    if (i > 0) {
      fe_mul(c.f, zi, inv, prefix[i - 1]);
    } else {
      zi = inv;
    }
    fe_mul(c.f, inv, inv, jac[i].Z);
    fe_sqr(c.f, zi2, zi);
    fe_mul(c.f, table->points[i].x, jac[i].X, zi2);
    fe_mul(c.f, zi2, zi2, zi);
    fe_mul(c.f, table->points[i].y, jac[i].Y, zi2);
  }
  return table;
}

// The comb table of the generator `g` (a point of curve `cv`).
std::shared_ptr<const GenTable> GenTableFor(const Curve& c, const ECURVE* cv, const ECPOINT* g) {
  GeneratorKey key;
  CurveKey ck;
  BnPtr x(BN_new()), y(BN_new());
  BnCtxPtr ctx = EcNewCtx();
  if (x == nullptr || y == nullptr || ctx == nullptr || !MakeCurveKey(ck, cv) ||
      !ec_point_affine_xy(g, x.get(), y.get(), ctx.get()) || !Put32(key.data() + 96, x.get()) ||
      !Put32(key.data() + 128, y.get())) {
    return nullptr;
  }
  std::memcpy(key.data(), ck.data(), ck.size());
  if (auto found = GenTables().find(key)) return found;
  Aff ga;
  if (!fe_from_bn(c.f, ga.x, x.get(), ctx.get()) || !fe_from_bn(c.f, ga.y, y.get(), ctx.get())) return nullptr;
  auto built = BuildGenTable(c, ga);
  if (built == nullptr) return nullptr;
  return GenTables().insert(key, std::move(built));
}

// |k| as little-endian bytes: 32 when it fits, else 64 when allowed and it
// fits. Wiped when it goes.
struct Scalar {
  unsigned char bytes[64];
  int length = 0;
  bool negative = false;
  ~Scalar() { OPENSSL_cleanse(bytes, sizeof bytes); }
  bool load(const BIGNUM* k, int max_length) {
    negative = BN_is_negative(k) != 0;
    if (BN_bn2lebinpad(k, bytes, 32) == 32) {
      length = 32;
    } else if (max_length >= 64 && BN_bn2lebinpad(k, bytes, 64) == 64) {
      length = 64;
    } else {
      return false;
    }
    return true;
  }
  // `count` bits from bit `pos` (bits outside the number are 0). Positions are
  // public; the bits are not branched on.
  unsigned bits(int pos, int count) const {
    unsigned v = 0;
    for (int t = 0; t < count; ++t) {
      const int i = pos + t;
      if (i >= 0 && i < 8 * length) v |= ((static_cast<unsigned>(bytes[i >> 3]) >> (i & 7)) & 1u) << t;
    }
    return v;
  }
};

// Signed digit of a Booth window: `in` holds w + 1 bits, the lowest being the
// top bit of the window below. Digit = low + in_0 - 2^w * top, as magnitude and
// a sign mask, without branches.
struct Digit {
  u64 magnitude;
  u64 negative;  // all ones for a negative digit
};
inline Digit Booth(unsigned in, int w) {
  const u64 c = in & 1u;
  const u64 u = in >> 1;
  const u64 top = (u >> (w - 1)) & 1u;
  const u64 d = c + u - (top << w);
  const u64 m = 0 - top;
  return {(d ^ m) - m, m};
}

void SelectJac(Jac& out, const Jac* table, int n, u64 index) {
  static_assert(sizeof(Jac) == 12 * sizeof(u64));
  select_words(reinterpret_cast<u64*>(&out), reinterpret_cast<const u64*>(table), n, 12, index);
}
void SelectAff(Aff& out, const Aff* table, int n, u64 index) {
  static_assert(sizeof(Aff) == 8 * sizeof(u64));
  select_words(reinterpret_cast<u64*>(&out), reinterpret_cast<const u64*>(table), n, 8, index);
}

// Width-5 NAF of a 256-bit number (little-endian bytes); returns its length.
int Wnaf5(const unsigned char* bytes, signed char* out, int capacity) {
  u64 k[5] = {0, 0, 0, 0, 0};
  for (int i = 0; i < 32; ++i) k[i / 8] |= static_cast<u64>(bytes[i]) << (8 * (i % 8));
  int len = 0;
  while ((k[0] | k[1] | k[2] | k[3] | k[4]) != 0 && len < capacity) {
    int d = 0;
    if (k[0] & 1) {
      d = static_cast<int>(k[0] & 31);
      if (d >= 16) d -= 32;
      // k -= d
      if (d > 0) {
        u64 borrow = static_cast<u64>(d);
        for (int i = 0; i < 5 && borrow != 0; ++i) {
          const u64 old = k[i];
          k[i] -= borrow;
          borrow = old < borrow ? 1 : 0;
        }
      } else {
        u64 carry = static_cast<u64>(-d);
        for (int i = 0; i < 5 && carry != 0; ++i) {
          k[i] += carry;
          carry = k[i] < carry ? 1 : 0;
        }
      }
    }
    out[len++] = static_cast<signed char>(d);
    for (int i = 0; i < 4; ++i) k[i] = (k[i] >> 1) | (k[i + 1] << 63);
    k[4] >>= 1;
  }
  return len;
}

}  // namespace

std::shared_ptr<const Curve> curve_for(const ECURVE* c) {
  if (c == nullptr || c->p == nullptr || BN_is_negative(c->p) || !BN_is_odd(c->p) || BN_num_bits(c->p) > 256 ||
      BN_num_bits(c->p) < 3 || BN_is_word(c->p, 3)) {
    return nullptr;
  }
  CurveKey key;
  if (!MakeCurveKey(key, c)) return nullptr;
  if (auto found = Curves().find(key)) return found;
  auto built = BuildCurve(c);
  if (built == nullptr) return nullptr;
  return Curves().insert(key, std::move(built));
}

bool jac_from_point(const Curve& c, Jac& out, const ECPOINT* point, BN_CTX* ctx) {
  if (point->kind == ECURVE_PROJECTIVE) {
    return fe_from_bn(c.f, out.X, point->X, ctx) && fe_from_bn(c.f, out.Y, point->Y, ctx) &&
           fe_from_bn(c.f, out.Z, point->Z, ctx);
  }
  if (ECPOINT_is_infinity(point)) {
    out.X = c.f.one;
    out.Y = c.f.one;
    out.Z = Fe{};
    return true;
  }
  out.Z = c.f.one;
  return fe_from_bn(c.f, out.X, point->X, ctx) && fe_from_bn(c.f, out.Y, point->Y, ctx);
}

template <class O>
bool StoreJac(const Curve& c, ECPOINT* point, const Jac& p) {
  EcPointPtr t(ECPOINT_new(point->curve));
  if (t == nullptr) return false;
  Aff a{};
  if (!jac_to_affine<O>(c, a, p)) {
    if (!ECPOINT_set_infinity(t.get())) return false;
  } else {
    // A product leaves as a BIGNUM, whose length depends on its value. Every
    // caller publishes it (a public key, the point behind a signature's r) or
    // hands it out as the agreed value; the Jacobian form it came from stays
    // secret.
    QCRYPTO_CT_DECLASSIFY(&a, sizeof a);
    SecretBnPtr x(BN_new()), y(BN_new());
    const bool ok = x != nullptr && y != nullptr && fe_to_bn(c.f, x.get(), a.x) && fe_to_bn(c.f, y.get(), a.y) &&
                    ec_point_set_affine_xy(t.get(), x.get(), y.get());
    OPENSSL_cleanse(&a, sizeof a);
    if (!ok) return false;
  }
  ec_point_swap_coords(point, t.get());
  return true;
}

bool jac_to_point(const Curve& c, ECPOINT* point, const Jac& p) { return StoreJac<PortableOps>(c, point, p); }

namespace {

template <class O>
int Mul(const Curve& c, ECPOINT* point, const Scalar& s) {
  BnCtxPtr ctx = EcNewCtx();
  Jac P;
  if (ctx == nullptr || !jac_from_point(c, P, point, ctx.get())) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  // T[i] = (i + 1) P
  Jac T[kVarEntries];
  T[0] = P;
  for (int i = 1; i < kVarEntries; ++i) {
    const int n = i + 1;
    if (n % 2 == 0) {
      jac_double<O>(c, T[i], T[n / 2 - 1]);
    } else {
      jac_add<O>(c, T[i], T[i - 1], P);
    }
  }
  const int windows = (8 * s.length + kVarWidth) / kVarWidth;
  Jac acc{};
  Jac sel;
  for (int i = windows - 1; i >= 0; --i) {
    if (i != windows - 1) {
      for (int d = 0; d < kVarWidth; ++d) jac_double<O>(c, acc, acc);
    }
    const Digit digit = Booth(s.bits(kVarWidth * i - 1, kVarWidth + 1), kVarWidth);
    SelectJac(sel, T, kVarEntries, digit.magnitude);
    fe_cneg(c.f, sel.Y, digit.negative);
    jac_add<O>(c, acc, acc, sel);
  }
  OPENSSL_cleanse(&sel, sizeof sel);
  if (s.negative) fe_neg(c.f, acc.Y, acc.Y);
  const bool ok = StoreJac<O>(c, point, acc);
  OPENSSL_cleanse(&acc, sizeof acc);
  OPENSSL_cleanse(T, sizeof T);
  if (!ok) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  return 1;
}

template <class O>
int MulGenerator(const Curve& c, const GenTable& table, ECPOINT* point, const Scalar& s) {
  Jac acc{};
  Aff sel;
  for (int i = 0; i < kCombRows; ++i) {
    const Digit digit = Booth(s.bits(kCombWidth * i - 1, kCombWidth + 1), kCombWidth);
    SelectAff(sel, &table.points[static_cast<std::size_t>(i) * kCombEntries], kCombEntries, digit.magnitude);
    fe_cneg(c.f, sel.y, digit.negative);
    jac_add_affine<O>(c, acc, acc, sel, ct_zero_mask(digit.magnitude));
  }
  OPENSSL_cleanse(&sel, sizeof sel);
  if (s.negative) fe_neg(c.f, acc.Y, acc.Y);
  const bool ok = StoreJac<O>(c, point, acc);
  OPENSSL_cleanse(&acc, sizeof acc);
  if (!ok) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  return 1;
}

template <class O>
int MulGeneratorSum(const Curve& c, const GenTable& table, ECPOINT* result, const Scalar& s1, const ECPOINT* q,
                    const Scalar& s2) {
  BnCtxPtr ctx = EcNewCtx();
  Jac Q;
  if (ctx == nullptr || !jac_from_point(c, Q, q, ctx.get())) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  // k1 G: one comb entry per row.
  Jac acc1{};
  for (int i = 0; i < kCombRows; ++i) {
    const Digit digit = Booth(s1.bits(kCombWidth * i - 1, kCombWidth + 1), kCombWidth);
    if (digit.magnitude == 0) continue;
    Aff e = table.points[static_cast<std::size_t>(i) * kCombEntries + digit.magnitude - 1];
    if (digit.negative != 0) fe_neg(c.f, e.y, e.y);
    jac_add_affine<O>(c, acc1, acc1, e, 0);
  }
  // k2 Q: width-5 NAF over Q, 3Q, ..., 15Q.
  signed char naf[264];
  const int len = Wnaf5(s2.bytes, naf, static_cast<int>(sizeof naf));
  Jac odd[8];
  Jac q2;
  odd[0] = Q;
  jac_double<O>(c, q2, Q);
  for (int i = 1; i < 8; ++i) jac_add<O>(c, odd[i], odd[i - 1], q2);
  Jac acc2{};
  bool started = false;
  for (int i = len - 1; i >= 0; --i) {
    if (started) jac_double<O>(c, acc2, acc2);
    const int d = naf[i];
    if (d == 0) continue;
    Jac e = odd[(d > 0 ? d : -d) >> 1];
    if (d < 0) fe_neg(c.f, e.Y, e.Y);
    jac_add<O>(c, acc2, acc2, e);
    started = true;
  }
  if (s1.negative) fe_neg(c.f, acc1.Y, acc1.Y);
  if (s2.negative) fe_neg(c.f, acc2.Y, acc2.Y);
  jac_add<O>(c, acc1, acc1, acc2);
  EcPointPtr out(ECPOINT_new(q->curve));
  if (out == nullptr || !StoreJac<O>(c, out.get(), acc1)) {
    EC_RAISE(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  ec_point_swap_coords(result, out.get());
  result->curve = q->curve;
  return 1;
}

// Runs F with the multiplication that suits the processor and the prime.
#if defined(QCRYPTO_FP256_HAVE_ADX_ASM)
#define FP256_DISPATCH(FIELD, F, ...)                                       \
  (!fp256::adx_enabled()               ? F<fp256::PortableOps>(__VA_ARGS__) \
   : (FIELD).form == fp256::kFieldP256 ? F<fp256::AdxP256Ops>(__VA_ARGS__)  \
   : (FIELD).form == fp256::kFieldC255 ? F<fp256::AdxC255Ops>(__VA_ARGS__)  \
                                       : F<fp256::AdxOps>(__VA_ARGS__))
#else
#define FP256_DISPATCH(FIELD, F, ...) F<fp256::PortableOps>(__VA_ARGS__)
#endif

}  // namespace
}  // namespace fp256

int ec_fp256_mul(ECPOINT* point, const BIGNUM* k) {
  if (point == nullptr || k == nullptr) return -1;
  const auto curve = fp256::curve_for(point->curve);
  if (curve == nullptr) return -1;
  fp256::Scalar s;
  if (!s.load(k, 64)) return -1;
  return FP256_DISPATCH(curve->f, fp256::Mul, *curve, point, s);
}

int ec_fp256_mul_generator(ECPOINT* point, const BIGNUM* k) {
  if (point == nullptr || k == nullptr || point->curve == nullptr) return -1;
  const auto curve = fp256::curve_for(point->curve);
  if (curve == nullptr) return -1;
  fp256::Scalar s;
  if (!s.load(k, 32)) return -1;
  const auto table = fp256::GenTableFor(*curve, point->curve, point);
  if (table == nullptr) return -1;
  return FP256_DISPATCH(curve->f, fp256::MulGenerator, *curve, *table, point, s);
}

int ec_fp256_mul_generator_sum(ECPOINT* result, const BIGNUM* k1, const ECPOINT* q, const BIGNUM* k2) {
  if (result == nullptr || q == nullptr || k1 == nullptr || k2 == nullptr || q->curve == nullptr ||
      q->curve->P == nullptr) {
    return -1;
  }
  const auto curve = fp256::curve_for(q->curve);
  if (curve == nullptr) return -1;
  fp256::Scalar s1, s2;
  if (!s1.load(k1, 32) || !s2.load(k2, 32)) return -1;
  const auto table = fp256::GenTableFor(*curve, q->curve, q->curve->P);
  if (table == nullptr) return -1;
  return FP256_DISPATCH(curve->f, fp256::MulGeneratorSum, *curve, *table, result, s1, q, s2);
}

}  // namespace qcrypto
