#include "crypto/x509store/store.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_map>

#include "crypto/cclib/locks.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/ec/ecurve.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/r3410/r3410.h"
#include "crypto/x509store/x509v3_owners.h"

namespace qcrypto {

struct X509_LOOKUP_INDEX {
  // Subject-name hash -> positions in the certificate stack, ascending.
  std::unordered_map<unsigned long, std::vector<int>> by_subject;
};

namespace {

unsigned long name_hash(const X509_NAME* name) {
  int ok = 0;
  // The canonical encoding, so names that compare equal share a bucket.
  const unsigned long h = X509_NAME_hash_ex(name, nullptr, nullptr, &ok);
  return ok == 1 ? h : 0;
}

// Decoding failure and absence are told apart: an extension that is present
// but does not decode makes the certificate unusable for the rules.
template <class T>
int get_ext(const X509* cert, int nid, T** out) {
  int crit = 0;
  *out = static_cast<T*>(X509_get_ext_d2i(cert, nid, &crit, nullptr));
  if (*out != nullptr) return 1;
  return crit == -1 ? -1 : 0;  // absent: -1; repeated or undecodable: 0
}

int asn1_string_equal(const ASN1_STRING* a, const ASN1_STRING* b) {
  return ASN1_STRING_length(a) == ASN1_STRING_length(b) &&
         std::memcmp(ASN1_STRING_get0_data(a), ASN1_STRING_get0_data(b), static_cast<size_t>(ASN1_STRING_length(a))) ==
             0;
}

// 1 when the extensions of `x` decode (or there are none); used where the
// rule says "when the extensions cannot be decoded".
bool extensions_decode(X509* x) {
  for (int i = 0; i < X509_get_ext_count(x); ++i) {
    X509_EXTENSION* ext = X509_get_ext(x, i);
    const X509V3_EXT_METHOD* m = X509V3_EXT_get(ext);
    if (m == nullptr) continue;  // unknown kinds are carried, not decoded
    void* v = X509V3_EXT_d2i(ext);
    if (v == nullptr) return false;
    if (m->it != nullptr)
      ASN1_item_free(static_cast<ASN1_VALUE*>(v), ASN1_ITEM_ptr(m->it));
    else if (m->ext_free != nullptr)
      m->ext_free(v);
  }
  return true;
}

// The stack takes a reference of its own; on failure the caller's is untouched.
bool push_reference(STACK_OF(X509) * out, X509* c) {
  if (X509_up_ref(c) != 1) return false;
  if (sk_X509_push(out, c) > 0) return true;
  X509_free(c);
  return false;
}

int search_issuers(X509_LOOKUP* lookup, const X509_LOOKUP_KEY* key, void* result, int all) {
  if (lookup == nullptr || key == nullptr || key->cert == nullptr || result == nullptr) return 0;
  auto* out = static_cast<STACK_OF(X509)*>(result);
  const X509_NAME* wanted = X509_get_issuer_name(key->cert);
  const auto it = lookup->index->by_subject.find(name_hash(wanted));
  if (it == lookup->index->by_subject.end()) return 1;
  for (int pos : it->second) {
    X509* c = sk_X509_value(lookup->certs, pos);
    if (X509_issuer_rule(c, key->cert) != 1) continue;
    if (!push_reference(out, c)) return 0;
    if (all == 0) break;
  }
  return 1;
}

int search_by_serial(X509_LOOKUP* lookup, const X509_LOOKUP_KEY* key, void* result, int all) {
  if (lookup == nullptr || key == nullptr || key->issuer == nullptr || key->serial == nullptr || result == nullptr)
    return 0;
  auto* out = static_cast<STACK_OF(X509)*>(result);
  for (int i = 0; i < sk_X509_num(lookup->certs); ++i) {
    X509* c = sk_X509_value(lookup->certs, i);
    if (X509_NAME_cmp(X509_get_issuer_name(c), key->issuer) != 0 ||
        ASN1_INTEGER_cmp(X509_get0_serialNumber(c), key->serial) != 0)
      continue;
    if (!push_reference(out, c)) return 0;
    if (all == 0) break;
  }
  return 1;
}

int search_crls(X509_LOOKUP* lookup, const X509_LOOKUP_KEY* key, void* result, int all) {
  if (lookup == nullptr || key == nullptr || key->cert == nullptr || result == nullptr) return 0;
  auto* out = static_cast<STACK_OF(X509_CRL)*>(result);
  for (int i = 0; i < sk_X509_CRL_num(lookup->crls); ++i) {
    X509_CRL* l = sk_X509_CRL_value(lookup->crls, i);
    if (X509_CRL_issuer_rule(l, key->cert) != 1) continue;
    if (X509_CRL_up_ref(l) != 1 || sk_X509_CRL_push(out, l) <= 0) {
      X509_CRL_free(l);
      return 0;
    }
    if (all == 0) break;
  }
  return 1;
}

const X509_LOOKUP_METHOD kUntrusted = {
    "local untrusted store", nullptr,       nullptr, nullptr, nullptr, nullptr, search_crls,
    search_by_serial,        search_issuers};
const X509_LOOKUP_METHOD kTrusted = {"trusted store", nullptr,     nullptr,          nullptr,       nullptr,
                                     nullptr,         search_crls, search_by_serial, search_issuers};

void lookup_free(X509_LOOKUP* lookup) {
  if (lookup == nullptr) return;
  if (lookup->method != nullptr && lookup->method->shutdown != nullptr) lookup->method->shutdown(lookup);
  if (lookup->method != nullptr && lookup->method->free != nullptr) lookup->method->free(lookup);
  sk_X509_pop_free(lookup->certs, X509_free);
  sk_X509_CRL_pop_free(lookup->crls, X509_CRL_free);
  delete lookup->marks;
  delete lookup->index;
  OPENSSL_free(lookup->name);
  OPENSSL_free(lookup);
}

int encoding_cmp(int la, const unsigned char* a, int lb, const unsigned char* b) {
  return la > 0 && la == lb && std::memcmp(a, b, static_cast<size_t>(la)) == 0 ? 0 : -1;
}

}  // namespace

const X509_LOOKUP_METHOD* X509_LOOKUP_local_untrusted() { return &kUntrusted; }
const X509_LOOKUP_METHOD* X509_LOOKUP_trusted() { return &kTrusted; }

X509_STORE* X509_STORE_new() {
  auto* store = static_cast<X509_STORE*>(OPENSSL_zalloc(sizeof(X509_STORE)));
  if (store == nullptr) return nullptr;
  store->get_cert_methods = new (std::nothrow) std::vector<X509_LOOKUP*>();
  if (store->get_cert_methods == nullptr) {
    OPENSSL_free(store);
    return nullptr;
  }
  if (CRYPTO_new_ex_data(CRYPTO_EX_INDEX_APP, store, &store->ex_data) != 1) {
    delete store->get_cert_methods;
    OPENSSL_free(store);
    return nullptr;
  }
  store->cache = 1;
  store->references = 1;
  store->crl_search_all = 1;
  return store;
}

int X509_STORE_up_ref(X509_STORE* store) {
  if (store == nullptr) return 0;
  CryptoLockGuard g(CRYPTO_LOCK_X509_STORE);
  ++store->references;
  return 1;
}

void X509_STORE_free(X509_STORE* store) {
  if (store == nullptr) return;
  {
    CryptoLockGuard g(CRYPTO_LOCK_X509_STORE);
    if (--store->references > 0) return;
  }
  for (X509_LOOKUP* l : *store->get_cert_methods) lookup_free(l);
  delete store->get_cert_methods;
  CRYPTO_free_ex_data(CRYPTO_EX_INDEX_APP, store, &store->ex_data);
  OPENSSL_free(store);
}

X509_LOOKUP* X509_STORE_add_lookup(X509_STORE* store, const X509_LOOKUP_METHOD* method, const char* name, int trusted) {
  if (store == nullptr || method == nullptr) return nullptr;
  CryptoLockGuard g(CRYPTO_LOCK_X509_STORE);
  if (name != nullptr && X509_STORE_get_lookup(store, name) != nullptr) return nullptr;
  auto* lookup = static_cast<X509_LOOKUP*>(OPENSSL_zalloc(sizeof(X509_LOOKUP)));
  if (lookup == nullptr) return nullptr;
  lookup->method = method;
  lookup->trusted = trusted;
  lookup->store_ctx = store;
  lookup->certs = sk_X509_new_null();
  lookup->crls = sk_X509_CRL_new_null();
  lookup->marks = new (std::nothrow) std::vector<unsigned char>();
  lookup->index = new (std::nothrow) X509_LOOKUP_INDEX();
  if (name != nullptr) lookup->name = OPENSSL_strdup(name);
  if (lookup->certs == nullptr || lookup->crls == nullptr || lookup->marks == nullptr || lookup->index == nullptr ||
      (name != nullptr && lookup->name == nullptr) || (method->new_item != nullptr && method->new_item(lookup) == 0)) {
    lookup->method = nullptr;  // the method's free is not owed for a refused look-up
    lookup_free(lookup);
    return nullptr;
  }
  try {
    store->get_cert_methods->push_back(lookup);
  } catch (const std::bad_alloc&) {
    lookup_free(lookup);
    return nullptr;
  }
  store->last_lookup = lookup;
  return lookup;
}

X509_LOOKUP* X509_STORE_get_lookup(X509_STORE* store, const char* name) {
  if (store == nullptr || name == nullptr) return nullptr;
  CryptoLockGuard g(CRYPTO_LOCK_X509_STORE);
  for (X509_LOOKUP* l : *store->get_cert_methods) {
    if (l->name != nullptr && std::strcmp(l->name, name) == 0) return l;
  }
  return nullptr;
}

int X509_LOOKUP_add_cert(X509_LOOKUP* lookup, X509* cert) {
  if (lookup == nullptr || cert == nullptr) return 0;
  CryptoLockGuard g(CRYPTO_LOCK_X509_STORE);
  // The mark lives with the look-up's entry, not on the shared certificate
  // object: the same object added to a trusted look-up of one store must not
  // become a trust anchor of every other store or verification.
  const unsigned char mark =
      lookup->trusted != 0 && X509_NAME_cmp(X509_get_issuer_name(cert), X509_get_subject_name(cert)) == 0 ? 1 : 0;
  const int pos = sk_X509_num(lookup->certs);
  try {
    lookup->marks->push_back(mark);
    lookup->index->by_subject[name_hash(X509_get_subject_name(cert))].push_back(pos);
  } catch (const std::bad_alloc&) {
    lookup->marks->resize(static_cast<size_t>(pos));
    return 0;
  }
  if (sk_X509_push(lookup->certs, cert) <= 0) {
    lookup->marks->resize(static_cast<size_t>(pos));
    lookup->index->by_subject[name_hash(X509_get_subject_name(cert))].pop_back();
    return 0;
  }
  X509_up_ref(cert);
  return 1;
}

int X509_LOOKUP_add_crl(X509_LOOKUP* lookup, X509_CRL* crl) {
  if (lookup == nullptr || crl == nullptr) return 0;
  CryptoLockGuard g(CRYPTO_LOCK_X509_STORE);
  if (sk_X509_CRL_push(lookup->crls, crl) <= 0) return 0;
  X509_CRL_up_ref(crl);
  return 1;
}

int X509_LOOKUP_has_trust_mark(X509_LOOKUP* lookup, X509* cert) {
  if (lookup == nullptr || cert == nullptr) return 0;
  CryptoLockGuard g(CRYPTO_LOCK_X509_STORE);
  const auto it = lookup->index->by_subject.find(name_hash(X509_get_subject_name(cert)));
  if (it == lookup->index->by_subject.end()) return 0;
  for (int pos : it->second) {
    X509* c = sk_X509_value(lookup->certs, pos);
    if ((*lookup->marks)[static_cast<size_t>(pos)] != 0 && (c == cert || X509_cmp_encoding(c, cert) == 0)) return 1;
  }
  return 0;
}

int X509_STORE_is_trusted(X509_STORE* store, X509* cert) {
  if (store == nullptr || cert == nullptr) return 0;
  CryptoLockGuard g(CRYPTO_LOCK_X509_STORE);
  for (X509_LOOKUP* l : *store->get_cert_methods) {
    if (l->trusted == 1 && l->skip == 0 && X509_LOOKUP_has_trust_mark(l, cert) == 1) return 1;
  }
  return 0;
}

STACK_OF(X509) * X509_STORE_find_issuers(X509_STORE* store, X509* cert) {
  if (store == nullptr || cert == nullptr) return nullptr;
  STACK_OF(X509)* out = sk_X509_new_null();
  if (out == nullptr) return nullptr;
  const X509_LOOKUP_KEY key{cert, nullptr, nullptr};
  CryptoLockGuard g(CRYPTO_LOCK_X509_STORE);
  for (int pass_trust : {1, 0}) {
    for (X509_LOOKUP* l : *store->get_cert_methods) {
      if (l->trusted != pass_trust || l->skip != 0 || l->method->get_issuers == nullptr) continue;
      if (l->method->get_issuers(l, &key, out, 1) == 0) {
        sk_X509_pop_free(out, X509_free);
        return nullptr;
      }
      if (store->issuer_search_all == 0 && sk_X509_num(out) > 0) break;
    }
  }
  if (sk_X509_num(out) == 0) {
    sk_X509_free(out);
    return nullptr;
  }
  return out;
}

STACK_OF(X509_CRL) * X509_STORE_find_crls(X509_STORE* store, X509* cert) {
  if (store == nullptr || cert == nullptr) return nullptr;
  STACK_OF(X509_CRL)* out = sk_X509_CRL_new_null();
  if (out == nullptr) return nullptr;
  const X509_LOOKUP_KEY key{cert, nullptr, nullptr};
  CryptoLockGuard g(CRYPTO_LOCK_X509_STORE);
  for (X509_LOOKUP* l : *store->get_cert_methods) {
    if (l->skip != 0 || l->method->get_crls == nullptr) continue;
    if (l->method->get_crls(l, &key, out, 1) == 0) break;
    if (store->crl_search_all == 0 && sk_X509_CRL_num(out) > 0) break;
  }
  if (sk_X509_CRL_num(out) == 0) {
    sk_X509_CRL_free(out);
    return nullptr;
  }
  return out;
}

STACK_OF(X509) *
    X509_STORE_find_by_issuer_serial(X509_STORE* store, const X509_NAME* issuer, const ASN1_INTEGER* serial) {
  if (store == nullptr || issuer == nullptr || serial == nullptr) return nullptr;
  STACK_OF(X509)* out = sk_X509_new_null();
  if (out == nullptr) return nullptr;
  const X509_LOOKUP_KEY key{nullptr, issuer, serial};
  CryptoLockGuard g(CRYPTO_LOCK_X509_STORE);
  for (X509_LOOKUP* l : *store->get_cert_methods) {
    if (l->skip != 0 || l->method->get_by_serial == nullptr) continue;
    if (l->method->get_by_serial(l, &key, out, 0) == 0) break;
    if (sk_X509_num(out) > 0) break;
  }
  if (sk_X509_num(out) == 0) {
    sk_X509_free(out);
    return nullptr;
  }
  return out;
}

int X509_issuer_rule(X509* candidate, X509* cert) {
  if (candidate == nullptr || cert == nullptr) return 0;
  if (X509_NAME_cmp(X509_get_subject_name(candidate), X509_get_issuer_name(cert)) != 0) return 0;
  if (X509_get_ext_count(cert) == 0) return 1;
  if (!extensions_decode(cert)) return 0;
  AUTHORITY_KEYID* akid = nullptr;
  const int got = get_ext(cert, NID_authority_key_identifier, &akid);
  if (got == 0) return 0;
  if (got < 0) return 1;
  UniquePtr<AUTHORITY_KEYID> akid_owner(akid);
  if (akid->serial != nullptr && ASN1_INTEGER_cmp(akid->serial, X509_get0_serialNumber(candidate)) != 0) return 0;
  if (akid->issuer != nullptr) {
    bool found = false;
    for (int i = 0; i < sk_GENERAL_NAME_num(akid->issuer) && !found; ++i) {
      const GENERAL_NAME* gn = sk_GENERAL_NAME_value(akid->issuer, i);
      found = gn->type == GEN_DIRNAME && X509_NAME_cmp(gn->d.dirn, X509_get_subject_name(candidate)) == 0;
    }
    if (!found) return 0;
  }
  if (akid->keyid == nullptr) return 1;
  if (X509_get_ext_count(candidate) == 0 || !extensions_decode(candidate)) return 0;
  ASN1_OCTET_STRING* skid = nullptr;
  if (get_ext(candidate, NID_subject_key_identifier, &skid) != 1) return 0;
  UniquePtr<ASN1_STRING> skid_owner(skid);
  return asn1_string_equal(akid->keyid, skid) ? 1 : 0;
}

int X509_CRL_issuer_rule(X509_CRL* crl, X509* cert) {
  if (crl == nullptr || cert == nullptr) return 0;
  if (X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_issuer_name(cert)) != 0) return 0;
  if (X509_get_ext_count(cert) == 0 || X509_CRL_get_ext_count(crl) == 0) return 1;
  int crit = 0;
  auto* crl_akid =
      static_cast<AUTHORITY_KEYID*>(X509_CRL_get_ext_d2i(crl, NID_authority_key_identifier, &crit, nullptr));
  if (crl_akid == nullptr && crit != -1) return 0;
  UniquePtr<AUTHORITY_KEYID> crl_owner(crl_akid);
  AUTHORITY_KEYID* cert_akid = nullptr;
  const int got = get_ext(cert, NID_authority_key_identifier, &cert_akid);
  if (got == 0) return 0;
  UniquePtr<AUTHORITY_KEYID> cert_owner(cert_akid);
  if (crl_akid == nullptr || cert_akid == nullptr) return 1;
  if (crl_akid->keyid != nullptr && cert_akid->keyid != nullptr &&
      !asn1_string_equal(crl_akid->keyid, cert_akid->keyid))
    return 0;
  if (crl_akid->serial != nullptr && cert_akid->serial != nullptr &&
      ASN1_INTEGER_cmp(crl_akid->serial, cert_akid->serial) != 0)
    return 0;
  return 1;
}

int X509_cmp_encoding(X509* a, X509* b) {
  if (a == nullptr || b == nullptr) return -1;
  unsigned char* da = nullptr;
  unsigned char* db = nullptr;
  const int la = i2d_X509(a, &da);
  const int lb = i2d_X509(b, &db);
  const int r = encoding_cmp(la, da, lb, db);
  OPENSSL_free(da);
  OPENSSL_free(db);
  return r;
}

int X509_CRL_cmp_encoding(X509_CRL* a, X509_CRL* b) {
  if (a == nullptr || b == nullptr) return -1;
  unsigned char* da = nullptr;
  unsigned char* db = nullptr;
  const int la = i2d_X509_CRL(a, &da);
  const int lb = i2d_X509_CRL(b, &db);
  const int r = encoding_cmp(la, da, lb, db);
  OPENSSL_free(da);
  OPENSSL_free(db);
  return r;
}

namespace {
bool bn_param_equal(EVP_PKEY* a, EVP_PKEY* b, const char* name) {
  BIGNUM* x = nullptr;
  BIGNUM* y = nullptr;
  const bool ok =
      EVP_PKEY_get_bn_param(a, name, &x) == 1 && EVP_PKEY_get_bn_param(b, name, &y) == 1 && BN_cmp(x, y) == 0;
  BN_free(x);
  BN_free(y);
  return ok;
}
}  // namespace

int EVP_PKEY_cmp_public(EVP_PKEY* a, EVP_PKEY* b) {
  if (a == nullptr || b == nullptr) return 0;
  if (R3410* ka = evp_pkey_get0_r3410(a); ka != nullptr) {
    R3410* kb = evp_pkey_get0_r3410(b);
    return kb != nullptr && ka->y != nullptr && kb->y != nullptr && BN_cmp(ka->y, kb->y) == 0 &&
                   BN_cmp(ka->p, kb->p) == 0 && BN_cmp(ka->q, kb->q) == 0 && BN_cmp(ka->a, kb->a) == 0
               ? 1
               : 0;
  }
  if (ECGOST* ka = evp_pkey_get0_ecgost(a); ka != nullptr) {
    ECGOST* kb = evp_pkey_get0_ecgost(b);
    return kb != nullptr && ka->Q != nullptr && kb->Q != nullptr && ka->curve != nullptr && kb->curve != nullptr &&
                   ECURVE_cmp(ka->curve, kb->curve) == 0 && ECPOINT_cmp(ka->Q, kb->Q) == 0
               ? 1
               : 0;
  }
  if (evp_pkey_get0_r3410(b) != nullptr || evp_pkey_get0_ecgost(b) != nullptr) return 0;
  if (EVP_PKEY_is_a(a, "RSA") && EVP_PKEY_is_a(b, "RSA"))
    return bn_param_equal(a, b, OSSL_PKEY_PARAM_RSA_N) && bn_param_equal(a, b, OSSL_PKEY_PARAM_RSA_E) ? 1 : 0;
  if (EVP_PKEY_is_a(a, "DSA") && EVP_PKEY_is_a(b, "DSA")) return bn_param_equal(a, b, OSSL_PKEY_PARAM_PUB_KEY) ? 1 : 0;
  return 0;
}

}  // namespace qcrypto
