// Scalar multiplication on the fixed-width field: the forms each curve record
// keeps, the process-wide caches behind them, and the dispatch between the
// portable multiplication and the BMI2/ADX one (ec_fp256_mul_impl.h holds
// the algorithms).
//
// Curves are served when p is an odd prime below 2^256. The fixed-width form
// of a curve and the comb table of its generator are kept in the curve record
// (made once, under the record's cache lock) and shared through small
// process-wide caches keyed by the numbers they are made from, so the many
// records a program loads for the same curve share one table (a comb table
// costs about a millisecond to make). The entries of the two built-in curves
// are pinned: curves given by value cannot push them out.
#include "crypto/ec/ec_fp256_mul.h"

#include <openssl/crypto.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <vector>

#include "crypto/bn/bn_owner.h"
#include "crypto/ec/ec_fp256_adx.h"
#include "crypto/ec/ec_fp256_mul_impl.h"
#include "crypto/ec/ec_internal.h"

namespace qcrypto {
namespace fp256 {
namespace {

using CurveKey = std::array<unsigned char, 96>;       // p, a, b
using GeneratorKey = std::array<unsigned char, 160>;  // p, a, b, x(G), y(G)

// ---------------------------------------------------------------------------
// Table allocator

void* default_allocate(std::size_t n) { return OPENSSL_malloc(n); }
void default_release(void* p) { OPENSSL_free(p); }

struct TableAllocator {
  void* (*allocate)(std::size_t);
  void (*release)(void*);
};

#if defined(QCRYPTO_TEST_HOOKS)
std::atomic<TableAllocator*>& allocator_slot() {
  static TableAllocator fallback{default_allocate, default_release};
  static std::atomic<TableAllocator*> slot{&fallback};
  return slot;
}
TableAllocator table_allocator() { return *allocator_slot().load(std::memory_order_acquire); }
#else
TableAllocator table_allocator() { return {default_allocate, default_release}; }
#endif

// ---------------------------------------------------------------------------
// Process-wide caches

// A small cache; the oldest unpinned entry goes when `Capacity` unpinned
// entries are held (holders keep their shared pointer). Pinned entries are
// those of the built-in curves: at most two per cache.
template <class Key, class Value, std::size_t Capacity>
class Registry {
 public:
  std::shared_ptr<const Value> find(const Key& key) {
    std::shared_lock lock(mutex_);
    for (const auto& e : entries_) {
      if (e.key == key) return e.value;
    }
    return nullptr;
  }
  std::shared_ptr<const Value> insert(const Key& key, std::shared_ptr<const Value> value, bool pinned) {
    std::unique_lock lock(mutex_);
    for (const auto& e : entries_) {
      if (e.key == key) return e.value;
    }
    if (!pinned) {
      std::size_t unpinned = 0;
      for (const auto& e : entries_) unpinned += e.pinned ? 0 : 1;
      if (unpinned >= Capacity) {
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
          if (!it->pinned) {
            entries_.erase(it);
            break;
          }
        }
      }
    }
    entries_.push_back({key, value, pinned});
    return value;
  }

 private:
  struct Entry {
    Key key;
    std::shared_ptr<const Value> value;
    bool pinned;
  };
  std::shared_mutex mutex_;
  std::vector<Entry> entries_;
};

// Never destroyed: the caches may be used until the process ends.
Registry<CurveKey, Curve, 16>& curves() {
  static auto* registry = new Registry<CurveKey, Curve, 16>();
  return *registry;
}
Registry<GeneratorKey, GenTable, 8>& gen_tables() {
  static auto* registry = new Registry<GeneratorKey, GenTable, 8>();
  return *registry;
}

bool put32(unsigned char* out, const BIGNUM* n) {
  if (n == nullptr) {
    std::memset(out, 0, 32);
    return true;
  }
  return !BN_is_negative(n) && BN_bn2binpad(n, out, 32) == 32;
}

bool make_curve_key(CurveKey& key, const ECURVE* c) {
  return c != nullptr && c->p != nullptr && put32(key.data(), c->p) && put32(key.data() + 32, c->a) &&
         put32(key.data() + 64, c->b);
}

// `n` hexadecimal digits as a 32-byte big-endian number (null or empty: 0).
bool hex_to32(unsigned char out[32], const char* text, std::size_t n) {
  std::memset(out, 0, 32);
  if (text == nullptr) return true;
  if (n > 64) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const char ch = text[n - 1 - i];
    int v;
    if (ch >= '0' && ch <= '9') {
      v = ch - '0';
    } else if (ch >= 'A' && ch <= 'F') {
      v = ch - 'A' + 10;
    } else if (ch >= 'a' && ch <= 'f') {
      v = ch - 'a' + 10;
    } else {
      return false;
    }
    out[31 - i / 2] |= static_cast<unsigned char>(i % 2 == 0 ? v : v << 4);
  }
  return true;
}

// The keys of the built-in definitions, read from their texts.
struct BuiltinKeys {
  std::vector<CurveKey> curves;
  std::vector<GeneratorKey> generators;
};

const BuiltinKeys& builtin_keys() {
  static const BuiltinKeys keys = [] {
    BuiltinKeys k;
    for (const ECURVE_DEF* def : {&ECURVE_DEF_191, &ECURVE_DEF_2_255_431}) {
      GeneratorKey g{};
      const char* gen = def->generator;
      const std::size_t half = gen != nullptr && std::strlen(gen) > 2 ? (std::strlen(gen) - 2) / 2 : 0;
      if (half == 0 || gen[0] != '0' || gen[1] != '4' || !hex_to32(g.data(), def->p, std::strlen(def->p)) ||
          !hex_to32(g.data() + 32, def->a, std::strlen(def->a)) ||
          !hex_to32(g.data() + 64, def->b, std::strlen(def->b)) || !hex_to32(g.data() + 96, gen + 2, half) ||
          !hex_to32(g.data() + 128, gen + 2 + half, half)) {
        continue;
      }
      CurveKey c;
      std::memcpy(c.data(), g.data(), c.size());
      k.curves.push_back(c);
      k.generators.push_back(g);
    }
    return k;
  }();
  return keys;
}

template <class Key>
bool listed(const std::vector<Key>& list, const Key& key) {
  for (const auto& k : list) {
    if (k == key) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Building the forms

enum class Built { kServed, kNotServed, kFailed };

Built build_curve(const ECURVE* c, std::shared_ptr<const Curve>& out) {
  // Only prime fields: with a composite p (hostile explicit parameters) an
  // inverse may not exist, which Fermat's method would not notice. A prime is
  // tested once per record and cache entry; a composite fails its first round.
  BnCtxPtr ctx = EcNewCtx();
  if (ctx == nullptr) return Built::kFailed;
  const int prime = BN_check_prime(c->p, ctx.get(), nullptr);
  if (prime < 0) return Built::kFailed;
  if (prime == 0) return Built::kNotServed;
  const TableAllocator alloc = table_allocator();
  void* memory = alloc.allocate(sizeof(Curve));
  if (memory == nullptr) return Built::kFailed;
  std::shared_ptr<Curve> curve(new (memory) Curve{}, [release = alloc.release](Curve* p) {
    p->~Curve();
    release(p);
  });
  const BIGNUM* a = ec_num_or_zero(c->a);
  const BIGNUM* b = ec_num_or_zero(c->b);
  if (a == nullptr || b == nullptr) return Built::kFailed;
  if (!field_init(curve->f, c->p) || !fe_from_bn(curve->f, curve->a, a, nullptr) ||
      !fe_from_bn(curve->f, curve->b, b, nullptr)) {
    return Built::kNotServed;
  }
  const u64 three_limbs[4] = {3, 0, 0, 0};
  Fe three, t;
  fe_from_limbs(curve->f, three, three_limbs);
  fe_add(curve->f, t, curve->a, three);
  curve->a_minus_3 = fe_is_zero(t) != 0;
  curve->a_zero = fe_is_zero(curve->a) != 0;
  out = std::move(curve);
  return Built::kServed;
}

// The comb rows of G; kNotServed when a multiple of G is the point at
// infinity (G of small order: hostile parameters), which leaves those curves
// to the general multiplication.
Built build_gen_table(const Curve& c, const Aff& g, std::shared_ptr<const GenTable>& out) {
  constexpr int n = kCombRows * kCombEntries;
  const TableAllocator alloc = table_allocator();
  auto table = std::make_shared<GenTable>();
  table->points = static_cast<Aff*>(alloc.allocate(sizeof(Aff) * n));
  if (table->points == nullptr) return Built::kFailed;
  table->release = alloc.release;
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
    if (fe_is_zero(jac[i].Z) != 0) return Built::kNotServed;
    fe_mul(c.f, acc, acc, jac[i].Z);
    prefix[i] = acc;
  }
  Fe inv;
  fe_inv<PortableOps>(c.f, inv, acc);
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
  out = std::move(table);
  return Built::kServed;
}

Built curve_by_value(const ECURVE* c, std::shared_ptr<const Curve>& out) {
  if (c == nullptr || c->p == nullptr || BN_is_negative(c->p) || !BN_is_odd(c->p) || BN_num_bits(c->p) > 256 ||
      BN_num_bits(c->p) < 3 || BN_is_word(c->p, 3)) {
    return Built::kNotServed;
  }
  CurveKey key;
  if (!make_curve_key(key, c)) return Built::kNotServed;
  if (auto found = curves().find(key)) {
    out = std::move(found);
    return Built::kServed;
  }
  std::shared_ptr<const Curve> built;
  const Built status = build_curve(c, built);
  if (status != Built::kServed) return status;
  out = curves().insert(key, std::move(built), listed(builtin_keys().curves, key));
  return Built::kServed;
}

// The comb table of the curve's generator.
Built gen_table_by_value(const Curve& c, const ECURVE* cv, std::shared_ptr<const GenTable>& out) {
  if (cv->P == nullptr || ECPOINT_is_infinity(cv->P)) return Built::kNotServed;
  GeneratorKey key;
  CurveKey ck;
  BnPtr x(BN_new()), y(BN_new());
  BnCtxPtr ctx = EcNewCtx();
  if (x == nullptr || y == nullptr || ctx == nullptr) return Built::kFailed;
  if (!make_curve_key(ck, cv) || !ec_point_affine_xy(cv->P, x.get(), y.get(), ctx.get()) ||
      !put32(key.data() + 96, x.get()) || !put32(key.data() + 128, y.get())) {
    return Built::kNotServed;
  }
  std::memcpy(key.data(), ck.data(), ck.size());
  if (auto found = gen_tables().find(key)) {
    out = std::move(found);
    return Built::kServed;
  }
  Aff ga;
  if (!fe_from_bn(c.f, ga.x, x.get(), ctx.get()) || !fe_from_bn(c.f, ga.y, y.get(), ctx.get())) {
    return Built::kNotServed;
  }
  std::shared_ptr<const GenTable> built;
  const Built status = build_gen_table(c, ga, built);
  if (status != Built::kServed) return status;
  out = gen_tables().insert(key, std::move(built), listed(builtin_keys().generators, key));
  return Built::kServed;
}

// ---------------------------------------------------------------------------
// Width-5 NAF

}  // namespace

int wnaf5(const unsigned char* bytes, signed char* out, int capacity) {
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

GenTable::~GenTable() {
  if (points != nullptr) release(points);
}

Scalar::~Scalar() {
  OPENSSL_cleanse(inline_, sizeof inline_);
  if (heap_ != nullptr) OPENSSL_clear_free(heap_, static_cast<std::size_t>(length_));
}

bool Scalar::load(const BIGNUM* k, int max_bytes) {
  negative_ = BN_is_negative(k) != 0;
  // A secret below the order always fits the first width class: the export
  // only reports whether it fits, and nothing here looks at its length.
  if (BN_bn2lebinpad(k, inline_, 32) == 32) {
    length_ = 32;
    return true;
  }
  // Wider numbers (cofactor products, public multipliers) are sized by their
  // length; the class they fall in is all the timing shows.
  const int bytes = BN_num_bytes(k);
  const int length = bytes <= 32 ? 32 : (bytes + 31) / 32 * 32;
  if (max_bytes > 0 && length > max_bytes) return false;
  unsigned char* buffer = inline_;
  if (length > static_cast<int>(sizeof inline_)) {
    heap_ = static_cast<unsigned char*>(OPENSSL_malloc(static_cast<std::size_t>(length)));
    if (heap_ == nullptr) {
      alloc_failed_ = true;
      return false;
    }
    buffer = heap_;
  }
  length_ = length;
  return BN_bn2lebinpad(k, buffer, length) == length;
}

std::shared_ptr<const Curve> curve_for(const ECURVE* c) {
  std::shared_ptr<const Curve> out;
  return curve_by_value(c, out) == Built::kServed ? out : nullptr;
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

bool jac_to_point(const Curve& c, ECPOINT* point, const Jac& p) { return store_jac<PortableOps>(c, point, p); }

#if defined(QCRYPTO_TEST_HOOKS)
void set_table_allocator(void* (*allocate)(std::size_t), void (*release)(void*)) {
  // Each allocator stays alive: tables made with it are released with it.
  static std::mutex mutex;
  static std::vector<TableAllocator*>* kept = new std::vector<TableAllocator*>();
  std::lock_guard lock(mutex);
  auto* next = new TableAllocator{allocate != nullptr ? allocate : default_allocate,
                                  release != nullptr ? release : default_release};
  kept->push_back(next);
  allocator_slot().store(next, std::memory_order_release);
}
#endif

}  // namespace fp256

// ---------------------------------------------------------------------------
// The forms a curve record keeps

struct EcFastCache {
  std::mutex mutex;
  // The curve form and the numbers it was made from (null stays null).
  bool curve_known = false;
  std::shared_ptr<const fp256::Curve> form;  // null: the curve is not served
  BnPtr p, a, b;
  // The comb table and the generator it was made from.
  bool comb_known = false;
  std::shared_ptr<const fp256::GenTable> comb;  // null: none for this generator
  BnPtr gx, gy, gz;
  int gkind = -1;
};

void ec_fast_cache_free(EcFastCache* cache) { delete cache; }

namespace {

// The record's holder, installed by the first caller.
EcFastCache* cache_of(const ECURVE* c) {
  std::atomic_ref<EcFastCache*> slot(const_cast<ECURVE*>(c)->fast);
  EcFastCache* current = slot.load(std::memory_order_acquire);
  if (current != nullptr) return current;
  auto* made = new (std::nothrow) EcFastCache();
  if (made == nullptr) return nullptr;
  if (slot.compare_exchange_strong(current, made, std::memory_order_acq_rel, std::memory_order_acquire)) return made;
  delete made;
  return current;
}

bool same_number(const BnPtr& kept, const BIGNUM* now) {
  if (kept == nullptr || now == nullptr) return kept == nullptr && now == nullptr;
  return BN_cmp(kept.get(), now) == 0;
}

bool keep_number(BnPtr& kept, const BIGNUM* now) {
  if (now == nullptr) {
    kept.reset();
    return true;
  }
  kept.reset(BN_dup(now));
  return kept != nullptr;
}

// The record's curve form (and with `want_comb` its comb table, null when it
// has none or it cannot be made now). 1 served, -1 not served, 0 failure.
int record_forms(const ECURVE* c, bool want_comb, std::shared_ptr<const fp256::Curve>& form,
                 std::shared_ptr<const fp256::GenTable>& comb) {
  EcFastCache* cache = cache_of(c);
  if (cache == nullptr) return 0;
  std::lock_guard lock(cache->mutex);
  if (!cache->curve_known || !same_number(cache->p, c->p) || !same_number(cache->a, c->a) ||
      !same_number(cache->b, c->b)) {
    cache->curve_known = false;
    cache->comb_known = false;
    cache->comb.reset();
    std::shared_ptr<const fp256::Curve> made;
    const fp256::Built status = fp256::curve_by_value(c, made);
    if (status == fp256::Built::kFailed) return 0;
    if (!keep_number(cache->p, c->p) || !keep_number(cache->a, c->a) || !keep_number(cache->b, c->b)) return 0;
    cache->form = std::move(made);
    cache->curve_known = true;
  }
  if (cache->form == nullptr) return -1;
  form = cache->form;
  if (!want_comb) return 1;
  const ECPOINT* g = c->P;
  if (g == nullptr) return 1;
  if (!cache->comb_known || cache->gkind != g->kind || !same_number(cache->gx, g->X) || !same_number(cache->gy, g->Y) ||
      !same_number(cache->gz, g->Z)) {
    cache->comb_known = false;
    cache->comb.reset();
    std::shared_ptr<const fp256::GenTable> made;
    const fp256::Built status = fp256::gen_table_by_value(*cache->form, c, made);
    // A table that cannot be made now is tried again on the next call.
    if (status == fp256::Built::kFailed) return 1;
    if (!keep_number(cache->gx, g->X) || !keep_number(cache->gy, g->Y) || !keep_number(cache->gz, g->Z)) return 1;
    cache->gkind = g->kind;
    cache->comb = std::move(made);
    cache->comb_known = true;
  }
  comb = cache->comb;
  return 1;
}

}  // namespace

#if defined(QCRYPTO_TEST_HOOKS)
const void* fp256::comb_table_of(const ECURVE* curve) {
  EcFastCache* cache = curve != nullptr ? cache_of(curve) : nullptr;
  if (cache == nullptr) return nullptr;
  std::lock_guard lock(cache->mutex);
  return cache->comb.get();
}
#endif

// Runs F with the multiplication that suits the processor and the prime.
#if defined(QCRYPTO_FP256_HAVE_ADX_ASM)
#define FP256_DISPATCH(F, ...) \
  (fp256::adx_enabled() ? fp256::F##_adx(__VA_ARGS__) : fp256::F<fp256::PortableOps>(__VA_ARGS__))
#else
#define FP256_DISPATCH(F, ...) fp256::F<fp256::PortableOps>(__VA_ARGS__)
#endif

int ec_fp256_mul(ECPOINT* point, const BIGNUM* k) {
  if (point == nullptr || k == nullptr || point->curve == nullptr) return -1;
  std::shared_ptr<const fp256::Curve> curve;
  std::shared_ptr<const fp256::GenTable> unused;
  const int served = record_forms(point->curve, false, curve, unused);
  if (served < 0) return -1;
  fp256::Scalar s;
  if (served == 0 || !s.load(k, 0)) {
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  return FP256_DISPATCH(mul, *curve, point, s);
}

int ec_fp256_mul_generator(ECPOINT* point, const BIGNUM* k) {
  if (point == nullptr || k == nullptr || point->curve == nullptr) return -1;
  std::shared_ptr<const fp256::Curve> curve;
  std::shared_ptr<const fp256::GenTable> table;
  const int served = record_forms(point->curve, true, curve, table);
  if (served == 0) {
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_MUL);
    return 0;
  }
  if (served < 0 || table == nullptr) return -1;
  fp256::Scalar s;
  if (!s.load(k, 32)) return -1;
  return FP256_DISPATCH(mul_generator, *curve, *table, point, s);
}

int ec_fp256_mul_generator_sum(ECPOINT* result, const BIGNUM* k1, const ECPOINT* q, const BIGNUM* k2) {
  if (result == nullptr || q == nullptr || k1 == nullptr || k2 == nullptr || q->curve == nullptr ||
      q->curve->P == nullptr) {
    return -1;
  }
  std::shared_ptr<const fp256::Curve> curve;
  std::shared_ptr<const fp256::GenTable> table;
  if (record_forms(q->curve, true, curve, table) != 1 || table == nullptr) return -1;
  fp256::Scalar s1, s2;
  if (!s1.load(k1, 32) || !s2.load(k2, 32)) return -1;
  return FP256_DISPATCH(mul_generator_sum, *curve, *table, result, s1, q, s2);
}

}  // namespace qcrypto
