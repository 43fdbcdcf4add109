// The certificate store: named look-ups, each with its own certificates and
// CRLs, asked in two passes (trusted look-ups before untrusted ones), and the
// rules by which a look-up recognises the issuer or the CRL of a certificate.
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "crypto/cclib/owner.h"

namespace qcrypto {

struct X509_STORE;
struct X509_LOOKUP;
struct X509_STORE_CTX;

// What a search operation looks for.
struct X509_LOOKUP_KEY {
  X509* cert = nullptr;               // issuers and CRLs of this certificate
  const X509_NAME* issuer = nullptr;  // certificate by issuer and serial
  const ASN1_INTEGER* serial = nullptr;
};

using X509_LOOKUP_search_fn = int (*)(X509_LOOKUP* lookup, const X509_LOOKUP_KEY* key, void* result, int all);

// The two methods are identical but for their names; new, free, init,
// shutdown and control are empty.
struct X509_LOOKUP_METHOD {
  const char* name;
  int (*new_item)(X509_LOOKUP* lookup);
  void (*free)(X509_LOOKUP* lookup);
  int (*init)(X509_LOOKUP* lookup);
  int (*shutdown)(X509_LOOKUP* lookup);
  int (*ctrl)(X509_LOOKUP* lookup, int cmd, const char* argc, long argl, char** ret);
  X509_LOOKUP_search_fn get_crls;       // result: STACK_OF(X509_CRL)
  X509_LOOKUP_search_fn get_by_serial;  // result: STACK_OF(X509)
  X509_LOOKUP_search_fn get_issuers;    // result: STACK_OF(X509)
};

const X509_LOOKUP_METHOD* X509_LOOKUP_local_untrusted();
const X509_LOOKUP_METHOD* X509_LOOKUP_trusted();

// The index of a look-up's certificates by the hash of their subject names
// (canonical encoding), so an issuer is found without a scan of the stack.
struct X509_LOOKUP_INDEX;

struct X509_LOOKUP {
  char* name;  // may be null
  int init;
  int skip;  // nonzero: not asked for issuers or CRLs
  const X509_LOOKUP_METHOD* method;
  void* method_data;
  X509_STORE* store_ctx;
  STACK_OF(X509) * certs;
  STACK_OF(X509_CRL) * crls;
  // One flag per certificate: the trust mark (set only for a self-issued
  // certificate added to a trusted look-up).
  std::vector<unsigned char>* marks;
  int trusted;  // 1 trusted, 0 untrusted
  X509_LOOKUP_INDEX* index;
};

}  // namespace qcrypto

namespace qcrypto {

using X509_STORE_verify_fn = int (*)(X509_STORE_CTX* ctx);
using X509_STORE_verify_cb = int (*)(int ok, X509_STORE_CTX* ctx);

struct X509_STORE {
  int cache;
  std::vector<X509_LOOKUP*>* get_cert_methods;  // in the order added
  X509_LOOKUP* last_lookup;
  X509_STORE_verify_fn verify;  // the chain check run once a chain is built
  void* reserved[3];
  int references;
  X509_STORE_verify_cb verify_cb;
  int issuer_search_all;   // 0: stop a pass at the first look-up that yields issuers
  int crl_search_all;      // 1: collect CRLs from every look-up
  CRYPTO_EX_DATA ex_data;  // the application's extra data (CRYPTO_EX_INDEX_APP)
};

X509_STORE* X509_STORE_new();
void X509_STORE_free(X509_STORE* store);
int X509_STORE_up_ref(X509_STORE* store);

// Null when a look-up of the same name exists or the method's new refuses.
X509_LOOKUP* X509_STORE_add_lookup(X509_STORE* store, const X509_LOOKUP_METHOD* method, const char* name, int trusted);
X509_LOOKUP* X509_STORE_get_lookup(X509_STORE* store, const char* name);
int X509_LOOKUP_add_cert(X509_LOOKUP* lookup, X509* cert);
int X509_LOOKUP_add_crl(X509_LOOKUP* lookup, X509_CRL* crl);

// 1 when the look-up holds `cert` (by encoding) with the trust mark.
int X509_LOOKUP_has_trust_mark(X509_LOOKUP* lookup, X509* cert);
// 1 when some trusted look-up of the store holds `cert` with the trust mark.
int X509_STORE_is_trusted(X509_STORE* store, X509* cert);

// New stacks of candidates, each holding a reference; null when none.
STACK_OF(X509) * X509_STORE_find_issuers(X509_STORE* store, X509* cert);
STACK_OF(X509_CRL) * X509_STORE_find_crls(X509_STORE* store, X509* cert);
STACK_OF(X509) *
    X509_STORE_find_by_issuer_serial(X509_STORE* store, const X509_NAME* issuer, const ASN1_INTEGER* serial);

// The matching rules: 1 match, 0 no match.
int X509_issuer_rule(X509* candidate, X509* cert);
int X509_CRL_issuer_rule(X509_CRL* crl, X509* cert);

// 0 when the DER encodings are equal, -1 otherwise (also for null or an
// object that cannot be encoded).
int X509_cmp_encoding(X509* a, X509* b);
int X509_CRL_cmp_encoding(X509_CRL* a, X509_CRL* b);
// 1 when both keys have one type and equal public parts (RSA, DSA, both
// GOST types); 0 otherwise.
int EVP_PKEY_cmp_public(EVP_PKEY* a, EVP_PKEY* b);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::X509_STORE, qcrypto::X509_STORE_free)
