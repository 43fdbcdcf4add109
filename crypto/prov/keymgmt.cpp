// Key management of the two GOST key types: R3410 (GOST R 34.10-94) and
// ECR3410 (GOST R 34.10-2001). The key data is a GostKey holding one
// reference to the key record; the records come from the codecs (through the
// decoders) or from the library itself (through a ticket).
#include <openssl/core_names.h>
#include <openssl/params.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <new>

#include "crypto/evp/objects.h"
#include "crypto/prov/prov.h"

namespace qcrypto::prov {
namespace {

struct Tickets {
  std::mutex lock;
  uint64_t next = 1;
  std::map<uint64_t, std::pair<int, void*>> filed;
};

Tickets& tickets() {
  static Tickets t;
  return t;
}

void release_record(int type, void* record) {
  if (type == SYSOBJ_R3410) R3410_free(static_cast<R3410*>(record));
  if (type == SYSOBJ_ECR3410) ECGOST_free(static_cast<ECGOST*>(record));
}

GostKey* key_new(int type) {
  auto* k = new (std::nothrow) GostKey{};
  if (k != nullptr) k->type = type;
  return k;
}

void* r3410_new(void*) { return key_new(SYSOBJ_R3410); }
void* ecr3410_new(void*) { return key_new(SYSOBJ_ECR3410); }

void key_free(void* vkey) {
  auto* k = static_cast<GostKey*>(vkey);
  if (k == nullptr) return;
  R3410_free(k->r3410);
  ECGOST_free(k->ecgost);
  delete k;
}

bool nonzero(const BIGNUM* n) { return n != nullptr && !BN_is_zero(n); }

bool has_domain(const GostKey* k) {
  if (k->type == SYSOBJ_R3410) return k->r3410 != nullptr && k->r3410->p && k->r3410->q && k->r3410->a;
  return k->ecgost != nullptr && k->ecgost->curve != nullptr && k->ecgost->curve->q != nullptr;
}
bool has_public(const GostKey* k) {
  if (k->type == SYSOBJ_R3410) return k->r3410 != nullptr && nonzero(k->r3410->y);
  return k->ecgost != nullptr && k->ecgost->Q != nullptr && !ECPOINT_is_infinity(k->ecgost->Q);
}
bool has_private(const GostKey* k) {
  if (k->type == SYSOBJ_R3410) return k->r3410 != nullptr && nonzero(k->r3410->x);
  return k->ecgost != nullptr && nonzero(k->ecgost->d);
}

int key_has(const void* vkey, int selection) {
  const auto* k = static_cast<const GostKey*>(vkey);
  if (k == nullptr) return 0;
  bool ok = true;
  if ((selection & OSSL_KEYMGMT_SELECT_DOMAIN_PARAMETERS) != 0) ok = ok && has_domain(k);
  if ((selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) != 0) ok = ok && has_public(k);
  if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0) ok = ok && has_private(k);
  return ok ? 1 : 0;
}

// Public keys and domains are the same numbers (private parts are not compared).
int key_match(const void* va, const void* vb, int selection) {
  const auto* a = static_cast<const GostKey*>(va);
  const auto* b = static_cast<const GostKey*>(vb);
  if (a->type != b->type) return 0;
  const bool want_public = (selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) != 0;
  const bool want_domain = (selection & OSSL_KEYMGMT_SELECT_DOMAIN_PARAMETERS) != 0 || want_public;
  if (a->type == SYSOBJ_R3410) {
    const R3410 *x = a->r3410, *y = b->r3410;
    if (x == nullptr || y == nullptr) return 0;
    auto same = [](const BIGNUM* m, const BIGNUM* n) { return m != nullptr && n != nullptr && BN_cmp(m, n) == 0; };
    if (want_domain && !(same(x->p, y->p) && same(x->q, y->q) && same(x->a, y->a))) return 0;
    if (want_public && !same(x->y, y->y)) return 0;
    return 1;
  }
  const ECGOST *x = a->ecgost, *y = b->ecgost;
  if (x == nullptr || y == nullptr) return 0;
  if (want_domain && ECURVE_cmp(x->curve, y->curve) != 0) return 0;
  if (want_public && (x->Q == nullptr || y->Q == nullptr || ECPOINT_cmp(x->Q, y->Q) != 0)) return 0;
  return 1;
}

int max_size(const GostKey* k) {
  if (k->type == SYSOBJ_R3410) return k->r3410 != nullptr ? R3410_size(k->r3410) : 0;
  return k->ecgost != nullptr ? ECGOST_size(k->ecgost) : 0;
}

int bits(const GostKey* k) {
  if (k->type == SYSOBJ_R3410) return k->r3410 != nullptr && k->r3410->p ? BN_num_bits(k->r3410->p) : 0;
  return k->ecgost != nullptr && k->ecgost->curve && k->ecgost->curve->p ? BN_num_bits(k->ecgost->curve->p) : 0;
}

int key_get_params(void* vkey, OSSL_PARAM params[]) {
  const auto* k = static_cast<const GostKey*>(vkey);
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_MAX_SIZE);
  if (p != nullptr && (max_size(k) <= 0 || !OSSL_PARAM_set_int(p, max_size(k)))) return 0;
  p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_BITS);
  if (p != nullptr && !OSSL_PARAM_set_int(p, bits(k))) return 0;
  p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_SECURITY_BITS);
  if (p != nullptr) {
    // The subgroup order bounds both schemes: half its bits.
    const BIGNUM* q = k->type == SYSOBJ_R3410 ? (k->r3410 ? k->r3410->q : nullptr)
                                              : (k->ecgost && k->ecgost->curve ? k->ecgost->curve->q : nullptr);
    if (!OSSL_PARAM_set_int(p, q != nullptr ? BN_num_bits(q) / 2 : 0)) return 0;
  }
  p = OSSL_PARAM_locate(params, kParamKeyRecord);
  if (p != nullptr) {
    void* record = k->type == SYSOBJ_R3410 ? static_cast<void*>(k->r3410) : static_cast<void*>(k->ecgost);
    if (record == nullptr || !OSSL_PARAM_set_octet_ptr(p, record, 0)) return 0;
  }
  return 1;
}

const OSSL_PARAM kGettable[] = {
    OSSL_PARAM_int(OSSL_PKEY_PARAM_MAX_SIZE, nullptr),
    OSSL_PARAM_int(OSSL_PKEY_PARAM_BITS, nullptr),
    OSSL_PARAM_int(OSSL_PKEY_PARAM_SECURITY_BITS, nullptr),
    OSSL_PARAM_octet_ptr(kParamKeyRecord, nullptr, 0),
    OSSL_PARAM_END,
};
const OSSL_PARAM* key_gettable_params(void*) { return kGettable; }

int key_import(void* vkey, int selection, const OSSL_PARAM params[]) {
  auto* k = static_cast<GostKey*>(vkey);
  if (k == nullptr || (selection & OSSL_KEYMGMT_SELECT_ALL) == 0) return 0;
  const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, kParamKeyTicket);
  uint64_t ticket = 0;
  if (p == nullptr || !OSSL_PARAM_get_uint64(p, &ticket)) return 0;
  void* record = key_ticket_take(ticket, k->type);
  if (record == nullptr) return 0;
  if (k->type == SYSOBJ_R3410) {
    R3410_free(k->r3410);
    k->r3410 = static_cast<R3410*>(record);
  } else {
    ECGOST_free(k->ecgost);
    k->ecgost = static_cast<ECGOST*>(record);
  }
  return key_has(k, selection);
}

const OSSL_PARAM kImportTypes[] = {
    OSSL_PARAM_uint64(kParamKeyTicket, nullptr),
    OSSL_PARAM_END,
};
const OSSL_PARAM* key_import_types(int) { return kImportTypes; }

#define QCRYPTO_KEYMGMT_DISPATCH(name, newfn)                                                 \
  const OSSL_DISPATCH name[] = {                                                              \
      {OSSL_FUNC_KEYMGMT_NEW, reinterpret_cast<void (*)()>(newfn)},                           \
      {OSSL_FUNC_KEYMGMT_FREE, reinterpret_cast<void (*)()>(key_free)},                       \
      {OSSL_FUNC_KEYMGMT_HAS, reinterpret_cast<void (*)()>(key_has)},                         \
      {OSSL_FUNC_KEYMGMT_MATCH, reinterpret_cast<void (*)()>(key_match)},                     \
      {OSSL_FUNC_KEYMGMT_GET_PARAMS, reinterpret_cast<void (*)()>(key_get_params)},           \
      {OSSL_FUNC_KEYMGMT_GETTABLE_PARAMS, reinterpret_cast<void (*)()>(key_gettable_params)}, \
      {OSSL_FUNC_KEYMGMT_IMPORT, reinterpret_cast<void (*)()>(key_import)},                   \
      {OSSL_FUNC_KEYMGMT_IMPORT_TYPES, reinterpret_cast<void (*)()>(key_import_types)},       \
      {OSSL_FUNC_KEYMGMT_LOAD, reinterpret_cast<void (*)()>(key_load)},                       \
      {0, nullptr},                                                                           \
  };
QCRYPTO_KEYMGMT_DISPATCH(kR3410Functions, r3410_new)
QCRYPTO_KEYMGMT_DISPATCH(kEcr3410Functions, ecr3410_new)
#undef QCRYPTO_KEYMGMT_DISPATCH

}  // namespace

// The reference is the decoder's pointer to its key: the key moves here.
void* key_load(const void* reference, size_t reference_size) {
  // The reference holds a pointer, so its size is a pointer's.
  // NOLINTNEXTLINE(bugprone-sizeof-expression)
  if (reference == nullptr || reference_size != sizeof(GostKey*)) return nullptr;
  auto** slot = static_cast<GostKey**>(const_cast<void*>(reference));
  GostKey* key = *slot;
  *slot = nullptr;
  return key;
}

uint64_t key_ticket_file(int type, void* record) {
  if (record == nullptr || (type != SYSOBJ_R3410 && type != SYSOBJ_ECR3410)) return 0;
  Tickets& t = tickets();
  std::lock_guard<std::mutex> g(t.lock);
  const uint64_t n = t.next++;
  t.filed.emplace(n, std::make_pair(type, record));
  return n;
}

void* key_ticket_take(uint64_t ticket, int type) {
  Tickets& t = tickets();
  std::lock_guard<std::mutex> g(t.lock);
  const auto it = t.filed.find(ticket);
  if (it == t.filed.end()) return nullptr;
  if (it->second.first != type) {
    // A ticket used for the wrong key type is spent: the reference goes back.
    release_record(it->second.first, it->second.second);
    t.filed.erase(it);
    return nullptr;
  }
  void* record = it->second.second;
  t.filed.erase(it);
  return record;
}

const OSSL_ALGORITHM kKeymgmt[] = {
    {kNamesR3410, nullptr, kR3410Functions, "GOST R 34.10-94 keys"},
    {kNamesEcr3410, nullptr, kEcr3410Functions, "GOST R 34.10-2001 keys"},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace qcrypto::prov
