// The curve record: creation, loading of built-in definitions, reference
// counting, comparison and the named-curve look-ups.
#include <openssl/crypto.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "crypto/bn/bn_ext.h"
#include "crypto/bn/bn_owner.h"
#include "crypto/cclib/locks.h"
#include "crypto/ec/ec_fp256_mul.h"
#include "crypto/ec/ec_internal.h"

namespace qcrypto {

extern const ECPOINT_FBW_DEF kFbwTable191;

const ECURVE_DEF ECURVE_DEF_191 = {
    ECURVE_NID_DEFAULT,
    "FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF",
    "FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFC",
    "5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B",
    "046B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296"
    "4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5",
    "FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551",
    "01",
    nullptr,
    nullptr,
    &kFbwTable191,
};

const ECURVE_DEF ECURVE_DEF_2_255_431 = {
    0,
    "8000000000000000000000000000000000000000000000000000000000000431",
    "0000000000000000000000000000000000000000000000000000000000000007",
    "5FBFF498AA938CE739B8E022FBAFEF40563F6E6A3472FC2A514C0CE9DAE23B7E",
    "040000000000000000000000000000000000000000000000000000000000000002"
    "08E2A8A0E65147D4BD6316030E16D19C85C97F0A9CA267122B96ABBCEA7E8FC8",
    "8000000000000000000000000000000150FE8A1892976154C59CFC193ACCF5B3",
    "01",
    nullptr,
    nullptr,
    nullptr,
};

namespace {

// The named curves that ECURVE_find_nid matches.
const ECURVE_DEF* const kNamedCurves[] = {&ECURVE_DEF_191};

// Loads a hexadecimal text into *n; an absent or empty text empties the field.
// The whole text must be hexadecimal.
bool LoadHex(BIGNUM** n, const char* text) {
  if (text == nullptr || *text == '\0') {
    BN_free(*n);
    *n = nullptr;
    return true;
  }
  BIGNUM* value = nullptr;
  const int used = BN_hex2bn(&value, text);
  if (used <= 0 || static_cast<std::size_t>(used) != std::strlen(text)) {
    BN_free(value);
    return false;
  }
  BN_free(*n);
  *n = value;
  return true;
}

bool NumbersEqual(const BIGNUM* x, const BIGNUM* y) {
  if (x == nullptr || y == nullptr) return x == y;
  return BN_cmp(x, y) == 0;
}

// Loads a built-in window table: each point decoded onto the curve.
ECPOINT_FBW* LoadTable(const ECPOINT_FBW_DEF* def, ECURVE* curve) {
  if (def->count <= 0 || def->width <= 0 || def->width > 16 || def->bits <= 0 || def->points == nullptr) return nullptr;
  ECPOINT_FBW* table = ECPOINT_FBW_new();
  if (table == nullptr) return nullptr;
  // NOLINTNEXTLINE(bugprone-sizeof-expression): an array of pointers to points, so its element is the pointer
  table->points = static_cast<ECPOINT**>(OPENSSL_zalloc(sizeof(ECPOINT*) * static_cast<std::size_t>(def->count)));
  if (table->points == nullptr) {
    ECPOINT_FBW_free(table);
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_FBW_NEW);
    return nullptr;
  }
  table->count = def->count;
  table->bits = def->bits;
  table->width = def->width;
  for (int i = 0; i < def->count; ++i) {
    if (ECPOINT_hex2point(&table->points[i], def->points[i], curve) == nullptr ||
        !ECPOINT_to_affine(table->points[i])) {
      ECPOINT_FBW_free(table);
      return nullptr;
    }
  }
  return table;
}

// Built-in window tables are decoded once per process and shared (they are
// read-only), so loading a built-in curve decodes no table point. Each table
// is decoded onto a bare curve of its definition's numbers that lives as long
// as the table: neither is ever freed.
ECPOINT_FBW* SharedTable(const ECURVE_DEF* def) {
  static std::mutex mutex;
  static auto* tables = new std::vector<std::pair<const ECPOINT_FBW_DEF*, ECPOINT_FBW*>>();
  std::lock_guard lock(mutex);
  for (const auto& [d, t] : *tables) {
    if (d == def->table) {
      ECPOINT_FBW_up_ref(t);
      return t;
    }
  }
  ECURVE* base = ECURVE_new(ECURVE_AFFINE);
  if (base == nullptr || !LoadHex(&base->p, def->p) || !LoadHex(&base->a, def->a) || !LoadHex(&base->b, def->b)) {
    ECURVE_free(base);
    return nullptr;
  }
  ECPOINT_FBW* table = LoadTable(def->table, base);
  if (table == nullptr) {
    ECURVE_free(base);
    return nullptr;
  }
  tables->emplace_back(def->table, table);
  ECPOINT_FBW_up_ref(table);
  return table;
}

}  // namespace

ECURVE* ECURVE_new(int kind) {
  auto* curve = static_cast<ECURVE*>(OPENSSL_zalloc(sizeof(ECURVE)));
  if (curve == nullptr) {
    EC_RAISE_ALLOC(ECGOST_F_ECURVE_NEW);
    return nullptr;
  }
  curve->kind = kind == ECURVE_AFFINE ? ECURVE_AFFINE : ECURVE_PROJECTIVE;
  curve->references = 1;
  curve->method = ECURVE_METHOD_default();
  curve->p = BN_new();
  curve->a = BN_new();
  curve->b = BN_new();
  curve->q = BN_new();
  curve->h = BN_new();
  curve->spare = BN_new();
  curve->J = BN_new();
  curve->P = ECPOINT_new(curve);
  if (curve->p == nullptr || curve->a == nullptr || curve->b == nullptr || curve->q == nullptr || curve->h == nullptr ||
      curve->spare == nullptr || curve->J == nullptr || curve->P == nullptr) {
    ECURVE_free(curve);
    EC_RAISE_ALLOC(ECGOST_F_ECURVE_NEW);
    return nullptr;
  }
  return curve;
}

namespace {

// Loads a definition into a fresh record `c` (steps of ECURVE_set).
bool LoadDefinition(ECURVE* c, const ECURVE_DEF* def) {
  if (!LoadHex(&c->p, def->p) || !LoadHex(&c->a, def->a) || !LoadHex(&c->b, def->b) || !LoadHex(&c->q, def->q) ||
      !LoadHex(&c->h, def->h) || !LoadHex(&c->spare, def->spare) || !LoadHex(&c->J, def->J)) {
    return false;
  }
  // The coefficients come from J before the generator is read, because
  // decoding a point checks it against the curve equation.
  if (ec_num_is_zero(c->a) && ec_num_is_zero(c->b) && !ec_num_is_zero(c->J) && !ECURVE_get_coefficients(c)) {
    return false;
  }
  if (def->generator != nullptr && *def->generator != '\0' && ECPOINT_hex2point(&c->P, def->generator, c) == nullptr) {
    return false;
  }
  if (c->p != nullptr && c->a != nullptr) {
    BnPtr t(BN_dup(c->p));
    if (t == nullptr || !BN_sub_word(t.get(), 3)) {
      EC_RAISE_ALLOC(ECGOST_F_ECURVE_SET);
      return false;
    }
    if (BN_cmp(t.get(), c->a) == 0) c->flags |= ECURVE_FLAG_A_MINUS_3;
  }
  c->nid = def->nid;
  if (def->table != nullptr) {
    UniquePtr<ECPOINT_FBW> table(SharedTable(def));
    // The table belongs to the definition's generator only.
    if (table == nullptr || !ec_table_serves(table.get(), c->P, nullptr)) return false;
    c->method = ECURVE_METHOD_fbw();
    c->P->fbw = table.release();
  }
  return true;
}

template <class T>
void SwapField(T& a, T& b) {
  T t = a;
  a = b;
  b = t;
}

}  // namespace

int ECURVE_set(ECURVE* curve, const ECURVE_DEF* def) {
  if (curve == nullptr || def == nullptr) {
    EC_RAISE(ECGOST_F_ECURVE_SET);
    return 0;
  }
  // Everything is loaded into a fresh record and moved into `curve` only when
  // all of it loaded: a failure leaves the curve as it was.
  UniquePtr<ECURVE> fresh(ECURVE_new(curve->kind));
  if (fresh == nullptr) {
    EC_RAISE_ALLOC(ECGOST_F_ECURVE_SET);
    return 0;
  }
  // The method is chosen here, once: "fixed base window" with a table, else
  // the curve's own (a record leaving a built-in curve for one without a
  // table goes back to "default"). The flag follows the numbers just loaded.
  fresh->method = curve->method == ECURVE_METHOD_fbw() ? ECURVE_METHOD_default() : curve->method;
  fresh->flags = curve->flags & ~ECURVE_FLAG_A_MINUS_3;
  // A definition without a generator keeps the curve's generator value.
  const bool keeps_generator = def->generator == nullptr || *def->generator == '\0';
  if ((keeps_generator && curve->P != nullptr && !ec_point_copy_coords(fresh->P, curve->P)) ||
      !LoadDefinition(fresh.get(), def)) {
    EC_RAISE(ECGOST_F_ECURVE_SET);
    return 0;
  }
  ECURVE* c = fresh.get();
  SwapField(curve->p, c->p);
  SwapField(curve->a, c->a);
  SwapField(curve->b, c->b);
  SwapField(curve->P, c->P);
  SwapField(curve->q, c->q);
  SwapField(curve->h, c->h);
  SwapField(curve->spare, c->spare);
  SwapField(curve->J, c->J);
  SwapField(curve->flags, c->flags);
  SwapField(curve->method, c->method);
  SwapField(curve->nid, c->nid);
  SwapField(curve->fast, c->fast);
  curve->P->curve = curve;
  // The old numbers go with the fresh record; it must not run the finish
  // slot of a method `curve` keeps, nor touch `curve`'s method data.
  c->method = ECURVE_METHOD_default();
  return 1;
}

ECURVE* ECURVE_init(const ECURVE_DEF* def, int kind) {
  ECURVE* curve = ECURVE_new(kind);
  if (curve == nullptr) {
    EC_RAISE(ECGOST_F_ECURVE_INIT);
    return nullptr;
  }
  // A record nobody else holds yet: loaded in place (a failure frees it).
  if (!LoadDefinition(curve, def != nullptr ? def : &ECURVE_DEF_191)) {
    ECURVE_free(curve);
    EC_RAISE(ECGOST_F_ECURVE_SET);
    EC_RAISE(ECGOST_F_ECURVE_INIT);
    return nullptr;
  }
  curve->kind = kind == ECURVE_AFFINE ? ECURVE_AFFINE : ECURVE_PROJECTIVE;
  return curve;
}

int ECURVE_up_ref(ECURVE* curve) {
  if (curve == nullptr) return 0;
  CryptoLockGuard guard(CRYPTO_LOCK_ECGOST);
  return ++curve->references;
}

void ECURVE_free(ECURVE* curve) {
  if (curve == nullptr) return;
  {
    CryptoLockGuard guard(CRYPTO_LOCK_ECGOST);
    if (--curve->references > 0) return;
  }
  if (curve->method != nullptr && curve->method->finish != nullptr) curve->method->finish(curve);
  BN_free(curve->p);
  BN_free(curve->a);
  BN_free(curve->b);
  BN_free(curve->q);
  BN_free(curve->h);
  BN_free(curve->spare);
  BN_free(curve->J);
  ECPOINT_free(curve->P);
  ec_fast_cache_free(curve->fast);
  OPENSSL_free(curve);
}

int ECURVE_set_method(ECURVE* curve, const ECURVE_METHOD* method) {
  if (curve == nullptr || method == nullptr) return 0;
  curve->method = method;
  return 1;
}

int ECURVE_cmp(const ECURVE* c1, const ECURVE* c2) {
  if (c1 == nullptr || c2 == nullptr) return -1;
  if (c1 == c2) return 0;
  if (!NumbersEqual(c1->p, c2->p) || !NumbersEqual(c1->a, c2->a) || !NumbersEqual(c1->b, c2->b) ||
      !NumbersEqual(c1->q, c2->q)) {
    return -1;
  }
  if (c1->P == nullptr || c2->P == nullptr) return c1->P == c2->P ? 0 : -1;
  return ECPOINT_cmp(c1->P, c2->P) == 0 ? 0 : -1;
}

const ECURVE* ec_builtin_curve_191() {
  // Never freed: generators of other curves share its window table. A failed
  // load is not remembered: the next call tries again.
  static std::atomic<const ECURVE*> curve{nullptr};
  static std::mutex mutex;
  if (const ECURVE* c = curve.load(std::memory_order_acquire)) return c;
  std::lock_guard lock(mutex);
  if (curve.load(std::memory_order_relaxed) == nullptr) {
    curve.store(ECURVE_init(&ECURVE_DEF_191, ECURVE_AFFINE), std::memory_order_release);
  }
  return curve.load(std::memory_order_relaxed);
}

const BIGNUM* ec_num_or_zero(const BIGNUM* n) {
  if (n != nullptr) return n;
  // Made once and never freed; a failed allocation is tried again next time.
  static std::atomic<BIGNUM*> zero{nullptr};
  static std::mutex mutex;
  if (BIGNUM* z = zero.load(std::memory_order_acquire)) return z;
  std::lock_guard lock(mutex);
  if (zero.load(std::memory_order_relaxed) == nullptr) {
    BIGNUM* z = BN_new();
    if (z != nullptr) BN_zero(z);
    zero.store(z, std::memory_order_release);
  }
  return zero.load(std::memory_order_relaxed);
}

int ECURVE_find_nid(const ECURVE* curve) {
  if (curve == nullptr) return 0;
  for (const ECURVE_DEF* def : kNamedCurves) {
    if (def->nid == ECURVE_NID_DEFAULT) {
      const ECURVE* builtin = ec_builtin_curve_191();
      if (builtin != nullptr && ECURVE_cmp(curve, builtin) == 0) return def->nid;
    }
  }
  return 0;
}

ECURVE* ECURVE_new_by_nid(int nid) {
  if (nid != ECURVE_NID_DEFAULT) {
    QERR(ERRLIB_X509, 119, ERR_R_INTERNAL);
    return nullptr;
  }
  return ECURVE_init(&ECURVE_DEF_191, ECURVE_PROJECTIVE);
}

int ECURVE_get_coefficients(ECURVE* curve, BN_CTX* given) {
  if (curve == nullptr || curve->p == nullptr || curve->J == nullptr || BN_is_zero(curve->J) ||
      BN_is_word(curve->J, 1728) || BN_is_negative(curve->p) || BN_num_bits(curve->p) < 2) {
    EC_RAISE(ECGOST_F_ECURVE_GET_COEFFICIENTS);
    return 0;
  }
  EcCtxOrOwn owner(given);
  BN_CTX* ctx = owner.get();
  if (ctx == nullptr) {
    EC_RAISE_ALLOC(ECGOST_F_ECURVE_GET_COEFFICIENTS);
    return 0;
  }
  BnCtxFrame frame(ctx);
  BIGNUM* t = frame.get();
  BIGNUM* k = frame.get();
  BnPtr a(BN_new());
  BnPtr b(BN_new());
  if (k == nullptr || a == nullptr || b == nullptr) {
    EC_RAISE_ALLOC(ECGOST_F_ECURVE_GET_COEFFICIENTS);
    return 0;
  }
  // t = (1728 - J) mod p; k = J / t; b = 2k; a = 3k. t = 0 (J = 1728 mod p)
  // has no inverse and fails.
  if (!BN_set_word(t, 1728) || !BN_sub(t, t, curve->J) || !BN_nnmod(t, t, curve->p, ctx) || BN_is_zero(t) ||
      BN_mod_binary_inverse(k, t, curve->p, ctx) == nullptr || !BN_mod_mul(k, k, curve->J, curve->p, ctx) ||
      !BN_mod_lshift1(b.get(), k, curve->p, ctx) || !BN_mod_add(a.get(), b.get(), k, curve->p, ctx)) {
    EC_RAISE(ECGOST_F_ECURVE_GET_COEFFICIENTS);
    return 0;
  }
  BN_free(curve->a);
  BN_free(curve->b);
  curve->a = a.release();
  curve->b = b.release();
  return 1;
}

}  // namespace qcrypto
