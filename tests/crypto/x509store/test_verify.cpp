// Chain verification over generated PKIs of both GOST key types: one row per
// case, each with its verdict and the errors recorded per certificate of the
// chain (numbers, texts, tolerated flags).
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "crypto/cadb/cert_record.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/x509store/store.h"
#include "crypto/x509store/verify.h"
#include "tests/crypto/x509store/test_support.h"
#include "tests/support/gost_pki.h"

namespace qcrypto {
namespace {

using store_test::ca_spec;
using store_test::leaf_spec;
using test_support::PkiBasicConstraints;
using test_support::PkiCertSpec;
using test_support::PkiCrlSpec;
using test_support::PkiKeyType;
using test_support::PkiKeyUsage;

constexpr long kDay = 86400;

// Texts written out here, independent of the verifier's table.
const std::map<int, std::string> kTexts = {
    {2, "unable to get issuer certificate"},
    {3, "unable to get certificate CRL"},
    {7, "certificate signature failure"},
    {8, "CRL signature failure"},
    {9, "certificate is not yet valid"},
    {10, "Certificate has expired"},
    {12, "CRL has expired"},
    {13, "format error in certificate's notBefore field"},
    {14, "format error in certificate's notAfter field"},
    {17, "out of memory"},
    {18, "self signed certificate"},
    {20, "unable to get local issuer certificate"},
    {21, "unable to verify the first certificate"},
    {22, "certificate chain too long"},
    {23, "certificate revoked"},
    {24, "last certificate in chain is not trusted"},
    {79, "invalid CA certificate"},
};

// One case: the store it builds, the certificate it checks, the extras.
struct Case {
  UniquePtr<X509_STORE> store{X509_STORE_new()};
  X509_LOOKUP* trusted = X509_STORE_add_lookup(store.get(), X509_LOOKUP_trusted(), "trusted", 1);
  X509_LOOKUP* untrusted = X509_STORE_add_lookup(store.get(), X509_LOOKUP_local_untrusted(), "untrusted", 0);
  std::vector<UniquePtr<X509>> certs;
  std::vector<UniquePtr<X509_CRL>> crls;
  std::vector<UniquePtr<EVP_PKEY>> keys;
  X509* target = nullptr;
  std::vector<X509*> extra_certs;
  std::vector<X509_CRL*> extra_crls;

  X509* keep(X509* x) {
    certs.emplace_back(x);
    return x;
  }
  X509_CRL* keep(X509_CRL* c) {
    crls.emplace_back(c);
    return c;
  }
  EVP_PKEY* keep(EVP_PKEY* k) {
    keys.emplace_back(k);
    return k;
  }
};

// The default PKI of a row: root (trusted), intermediate (untrusted
// look-up), leaf; one clean CRL per issuer when asked.
struct Pki {
  EVP_PKEY* root_key;
  EVP_PKEY* inter_key;
  EVP_PKEY* leaf_key;
  X509* root;
  X509* inter;
  X509* leaf;
};

Pki standard(Case& c, PkiKeyType type, bool with_crls, const PkiCertSpec& root_spec = ca_spec("Root", 1),
             const PkiCertSpec& inter_spec = ca_spec("Intermediate", 2),
             const PkiCertSpec& end_spec = leaf_spec("Leaf", 100)) {
  Pki p{};
  p.root_key = c.keep(test_support::pki_new_key(type));
  p.inter_key = c.keep(test_support::pki_new_key(type));
  p.leaf_key = c.keep(test_support::pki_new_key(type));
  p.root = c.keep(test_support::pki_make_cert(p.root_key, root_spec, nullptr, p.root_key));
  p.inter = c.keep(test_support::pki_make_cert(p.inter_key, inter_spec, p.root, p.root_key));
  p.leaf = c.keep(test_support::pki_make_cert(p.leaf_key, end_spec, p.inter, p.inter_key));
  X509_LOOKUP_add_cert(c.trusted, p.root);
  X509_LOOKUP_add_cert(c.untrusted, p.inter);
  if (with_crls) {
    X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.root, p.root_key, PkiCrlSpec{})));
    X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.inter, p.inter_key, PkiCrlSpec{})));
  }
  c.target = p.leaf;
  return p;
}

PkiCrlSpec revoking(std::vector<long> serials, long last_update = -60) {
  PkiCrlSpec s;
  s.revoked = std::move(serials);
  s.last_update = last_update;
  return s;
}

constexpr char kUnreadableTime[] = "ZZ0101000000Z";  // decodes, but is no time

// Changes the certificate and signs it again (the GOST digest inside the key).
bool resign(X509* x, EVP_PKEY* key, const std::function<bool(X509*)>& change) {
  return change(x) && X509_sign(x, key, nullptr) > 0;
}
bool unreadable_not_before(X509* x) { return ASN1_STRING_set(X509_getm_notBefore(x), kUnreadableTime, -1) == 1; }
bool unreadable_not_after(X509* x) { return ASN1_STRING_set(X509_getm_notAfter(x), kUnreadableTime, -1) == 1; }

// Root (trusted), intermediate (untrusted look-up) and leaf, each changed as
// told after it is made and signed again by its signer. A forged
// intermediate carries the root's name and key identifier, but a stranger's
// key signs it.
struct Alter {
  PkiCertSpec inter = ca_spec("Intermediate", 2);
  PkiCertSpec leaf = leaf_spec("Leaf", 100);
  std::function<bool(X509*)> root_change;
  std::function<bool(X509*)> inter_change;
  std::function<bool(X509*)> leaf_change;
  bool forged = false;
  bool with_crls = true;
};

Pki altered(Case& c, PkiKeyType type, const Alter& a) {
  Pki p{};
  p.root_key = c.keep(test_support::pki_new_key(type));
  p.inter_key = c.keep(test_support::pki_new_key(type));
  p.leaf_key = c.keep(test_support::pki_new_key(type));
  EVP_PKEY* inter_signer = a.forged ? c.keep(test_support::pki_new_key(type)) : p.root_key;
  p.root = c.keep(test_support::pki_make_cert(p.root_key, ca_spec("Root", 1), nullptr, p.root_key));
  p.inter = c.keep(test_support::pki_make_cert(p.inter_key, a.inter, p.root, inter_signer));
  p.leaf = c.keep(test_support::pki_make_cert(p.leaf_key, a.leaf, p.inter, p.inter_key));
  const bool changed = (!a.root_change || resign(p.root, p.root_key, a.root_change)) &&
                       (!a.inter_change || resign(p.inter, inter_signer, a.inter_change)) &&
                       (!a.leaf_change || resign(p.leaf, p.inter_key, a.leaf_change));
  if (!changed) {
    ADD_FAILURE() << "a certificate could not be changed";
    return p;
  }
  X509_LOOKUP_add_cert(c.trusted, p.root);
  X509_LOOKUP_add_cert(c.untrusted, p.inter);
  if (a.with_crls) {
    X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.root, p.root_key, PkiCrlSpec{})));
    X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.inter, p.inter_key, PkiCrlSpec{})));
  }
  c.target = p.leaf;
  return p;
}

// An intermediate without any extension, of the given version; its leaf
// names no key identifier of it, and there are no CRLs.
Alter without_extensions(long version) {
  Alter a;
  a.inter.basic_constraints = PkiBasicConstraints::kAbsent;
  a.inter.key_usage = PkiKeyUsage::kAbsent;
  a.inter.subject_key_id = false;
  a.inter.authority_key_id = false;
  a.leaf.authority_key_id = false;
  a.inter_change = [version](X509* x) { return X509_get_ext_count(x) == 0 && X509_set_version(x, version) == 1; };
  a.with_crls = false;
  return a;
}

struct Row {
  const char* name;
  std::function<void(Case&, PkiKeyType)> build;
  unsigned long flags;
  int valid;
  std::vector<std::vector<int>> errors;  // per depth, in the order recorded
  std::vector<int> valid_by_depth = {};  // when given: the valid flag of every record
};

const std::vector<Row>& rows() {
  static const std::vector<Row> table = {
      {"no CRLs anywhere: 3 at every depth, tolerated",
       [](Case& c, PkiKeyType t) { standard(c, t, false); },
       kVerifyDefaultFlags,
       1,
       {{3}, {3}, {3}},
       {1, 1, 1}},
      {"CRLs present and clean",
       [](Case& c, PkiKeyType t) { standard(c, t, true); },
       kVerifyDefaultFlags,
       1,
       {{}, {}, {}}},
      {"CRL required (3 not tolerated)",
       [](Case& c, PkiKeyType t) { standard(c, t, false); },
       kVerifyDefaultFlags & ~(1UL << 3),
       0,
       {{3}, {3}, {3}},
       {0, 0, 0}},
      {"revoked leaf",
       [](Case& c, PkiKeyType t) {
         Pki p = standard(c, t, false);
         X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.inter, p.inter_key, revoking({100}))));
       },
       kVerifyDefaultFlags,
       0,
       {{23}, {3}, {3}}},
      {"revoked leaf tolerated",
       [](Case& c, PkiKeyType t) {
         Pki p = standard(c, t, false);
         X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.inter, p.inter_key, revoking({100}))));
       },
       kVerifyDefaultFlags | (1UL << 23),
       1,
       {{23}, {3}, {3}}},
      {"revoked intermediate makes the leaf invalid",
       [](Case& c, PkiKeyType t) {
         Pki p = standard(c, t, false);
         X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.root, p.root_key, revoking({2}))));
       },
       kVerifyDefaultFlags,
       0,
       {{3}, {23}, {}},
       {0, 0, 1}},
      {"root not trusted: 24",
       [](Case& c, PkiKeyType t) {
         Pki p = standard(c, t, true);
         UniquePtr<X509_STORE> fresh(X509_STORE_new());
         c.store.swap(fresh);
         c.trusted = X509_STORE_add_lookup(c.store.get(), X509_LOOKUP_trusted(), "trusted", 1);
         c.untrusted = X509_STORE_add_lookup(c.store.get(), X509_LOOKUP_local_untrusted(), "untrusted", 0);
         X509_LOOKUP_add_cert(c.untrusted, p.root);
         X509_LOOKUP_add_cert(c.untrusted, p.inter);
         for (auto& crl : c.crls) X509_LOOKUP_add_crl(c.untrusted, crl.get());
       },
       kVerifyDefaultFlags,
       0,
       {{}, {}, {24}}},
      {"root not trusted, 24 tolerated",
       [](Case& c, PkiKeyType t) {
         Pki p = standard(c, t, true);
         c.trusted->trusted = 0;  // the look-up asked in the second pass
         (void)p;
       },
       kVerifyDefaultFlags | (1UL << 24) | (1UL << 18),
       1,
       {{}, {}, {24}}},
      {"self-signed leaf not trusted: 18 and 24",
       [](Case& c, PkiKeyType t) {
         EVP_PKEY* k = c.keep(test_support::pki_new_key(t));
         c.target = c.keep(test_support::pki_make_cert(k, leaf_spec("Alone", 5), nullptr, k));
       },
       kVerifyDefaultFlags,
       0,
       {{18, 24, 3}}},
      {"self-signed leaf in the trusted look-up",
       [](Case& c, PkiKeyType t) {
         EVP_PKEY* k = c.keep(test_support::pki_new_key(t));
         c.target = c.keep(test_support::pki_make_cert(k, leaf_spec("Alone", 5), nullptr, k));
         X509_LOOKUP_add_cert(c.trusted, c.target);
       },
       kVerifyDefaultFlags,
       1,
       {{3}}},
      {"root's own CRL expired: 12 tolerated",
       [](Case& c, PkiKeyType t) {
         Pki p = standard(c, t, false);
         PkiCrlSpec s;
         s.last_update = -10 * kDay;
         s.next_update = -kDay;
         X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.root, p.root_key, s)));
         X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.inter, p.inter_key, PkiCrlSpec{})));
       },
       kVerifyDefaultFlags,
       1,
       {{}, {12}, {12}}},
      {"expired CRL required fresh",
       [](Case& c, PkiKeyType t) {
         Pki p = standard(c, t, false);
         PkiCrlSpec s;
         s.last_update = -10 * kDay;
         s.next_update = -kDay;
         X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.root, p.root_key, s)));
         X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.inter, p.inter_key, PkiCrlSpec{})));
       },
       kVerifyDefaultFlags & ~(1UL << 12),
       0,
       {{}, {12}, {12}},
       {0, 0, 0}},
      {"two CRLs: the later clean one wins over an older revoking one",
       [](Case& c, PkiKeyType t) {
         Pki p = standard(c, t, false);
         X509_LOOKUP_add_crl(c.trusted,
                             c.keep(test_support::pki_make_crl(p.inter, p.inter_key, revoking({100}, -2 * kDay))));
         X509_LOOKUP_add_crl(c.untrusted, c.keep(test_support::pki_make_crl(p.inter, p.inter_key, revoking({7}))));
         X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.root, p.root_key, PkiCrlSpec{})));
       },
       kVerifyDefaultFlags,
       1,
       {{}, {}, {}}},
      {"two CRLs: the later one revokes",
       [](Case& c, PkiKeyType t) {
         Pki p = standard(c, t, false);
         X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.inter, p.inter_key, revoking({100}))));
         X509_LOOKUP_add_crl(c.trusted,
                             c.keep(test_support::pki_make_crl(p.inter, p.inter_key, revoking({}, -2 * kDay))));
         X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.root, p.root_key, PkiCrlSpec{})));
       },
       kVerifyDefaultFlags,
       0,
       {{23}, {}, {}}},
      {"a CRL dated in the future is ignored",
       [](Case& c, PkiKeyType t) {
         Pki p = standard(c, t, true);
         X509_LOOKUP_add_crl(c.trusted,
                             c.keep(test_support::pki_make_crl(p.inter, p.inter_key, revoking({100}, 2 * kDay))));
       },
       kVerifyDefaultFlags,
       1,
       {{}, {}, {}}},
      {"expired leaf",
       [](Case& c, PkiKeyType t) {
         PkiCertSpec l = leaf_spec("Leaf", 100);
         l.not_before = -10 * kDay;
         l.not_after = -kDay;
         standard(c, t, true, ca_spec("Root", 1), ca_spec("Intermediate", 2), l);
       },
       kVerifyDefaultFlags,
       0,
       {{10}, {}, {}}},
      {"leaf not yet valid",
       [](Case& c, PkiKeyType t) {
         PkiCertSpec l = leaf_spec("Leaf", 100);
         l.not_before = kDay;
         standard(c, t, true, ca_spec("Root", 1), ca_spec("Intermediate", 2), l);
       },
       kVerifyDefaultFlags,
       0,
       {{9}, {}, {}}},
      {"expired intermediate: the leaf is invalid by folding",
       [](Case& c, PkiKeyType t) {
         PkiCertSpec i = ca_spec("Intermediate", 2);
         i.not_before = -10 * kDay;
         i.not_after = -kDay;
         standard(c, t, true, ca_spec("Root", 1), i);
       },
       kVerifyDefaultFlags,
       0,
       {{}, {10}, {}},
       {0, 0, 1}},
      {"expired leaf tolerated",
       [](Case& c, PkiKeyType t) {
         PkiCertSpec l = leaf_spec("Leaf", 100);
         l.not_before = -10 * kDay;
         l.not_after = -kDay;
         standard(c, t, true, ca_spec("Root", 1), ca_spec("Intermediate", 2), l);
       },
       kVerifyDefaultFlags | (1UL << 10),
       1,
       {{10}, {}, {}}},
      {"damaged leaf signature",
       [](Case& c, PkiKeyType t) {
         Pki p = standard(c, t, true);
         c.target = c.keep(test_support::pki_damaged_copy(p.leaf));
       },
       kVerifyDefaultFlags,
       0,
       {{7}, {}, {}}},
      {"damaged CRL",
       [](Case& c, PkiKeyType t) {
         Pki p = standard(c, t, false);
         UniquePtr<X509_CRL> good(test_support::pki_make_crl(p.inter, p.inter_key, PkiCrlSpec{}));
         X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_damaged_copy(good.get())));
         X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.root, p.root_key, PkiCrlSpec{})));
       },
       kVerifyDefaultFlags,
       0,
       {{8}, {}, {}}},
      {"missing intermediate",
       [](Case& c, PkiKeyType t) {
         Pki p = standard(c, t, true);
         c.untrusted->skip = 1;
         (void)p;
       },
       kVerifyDefaultFlags,
       0,
       {{20, 21}}},
      {"missing intermediate tolerated",
       [](Case& c, PkiKeyType t) {
         standard(c, t, true);
         c.untrusted->skip = 1;
       },
       kVerifyDefaultFlags | (1UL << 2) | (1UL << 20) | (1UL << 21),
       1,
       {{20, 21}}},
      {"missing root",
       [](Case& c, PkiKeyType t) {
         standard(c, t, true);
         c.trusted->skip = 1;
       },
       kVerifyDefaultFlags,
       0,
       {{3}, {2}}},
      {"intermediate among the caller's extra certificates, revocation from extra CRLs",
       [](Case& c, PkiKeyType t) {
         Pki p = standard(c, t, true);
         c.untrusted->skip = 1;
         c.extra_certs.push_back(p.inter);
         c.extra_crls.push_back(c.keep(test_support::pki_make_crl(p.inter, p.inter_key, revoking({100}, -30))));
       },
       kVerifyDefaultFlags,
       0,
       {{23}, {}, {}}},
      {"intermediate cross-signed by a second root, the first root absent",
       [](Case& c, PkiKeyType t) {
         Pki p = standard(c, t, true);
         c.trusted->skip = 1;
         c.untrusted->skip = 1;
         X509_LOOKUP* other = X509_STORE_add_lookup(c.store.get(), X509_LOOKUP_trusted(), "other", 1);
         EVP_PKEY* k2 = c.keep(test_support::pki_new_key(t));
         X509* root2 = c.keep(test_support::pki_make_cert(k2, ca_spec("Second Root", 11), nullptr, k2));
         X509* cross = c.keep(test_support::pki_make_cert(p.inter_key, ca_spec("Intermediate", 12), root2, k2));
         X509_LOOKUP_add_cert(other, root2);
         X509_LOOKUP_add_cert(other, cross);
         X509_LOOKUP_add_crl(other, c.keep(test_support::pki_make_crl(root2, k2, PkiCrlSpec{})));
         X509_LOOKUP_add_crl(other, c.keep(test_support::pki_make_crl(p.inter, p.inter_key, PkiCrlSpec{})));
       },
       kVerifyDefaultFlags,
       1,
       {{}, {}, {}}},
      {"renewed issuer under the same name without key identifiers: the one whose key verifies",
       [](Case& c, PkiKeyType t) {
         PkiCertSpec l = leaf_spec("Leaf", 100);
         l.authority_key_id = false;
         Pki p = standard(c, t, true, ca_spec("Root", 1), ca_spec("Intermediate", 2), l);
         EVP_PKEY* k2 = c.keep(test_support::pki_new_key(t));
         // Found first (the trusted pass), but its key did not sign the leaf.
         X509_LOOKUP_add_cert(c.trusted,
                              c.keep(test_support::pki_make_cert(k2, ca_spec("Intermediate", 3), p.root, p.root_key)));
       },
       kVerifyDefaultFlags,
       1,
       {{}, {}, {}}},
      {"forged issuer: an end-entity certificate signs",
       [](Case& c, PkiKeyType t) {
         Pki p = standard(c, t, true);
         EVP_PKEY* k = c.keep(test_support::pki_new_key(t));
         c.target = c.keep(test_support::pki_make_cert(k, leaf_spec("Victim", 9), p.leaf, p.leaf_key));
         X509_LOOKUP_add_cert(c.untrusted, p.leaf);
       },
       0xFFFFFFFFUL,
       0,
       {{3}, {79}, {}, {}},
       {0, 0, 1, 1}},
      {"forged issuer: keyUsage without keyCertSign, no basicConstraints",
       [](Case& c, PkiKeyType t) {
         PkiCertSpec i = ca_spec("Intermediate", 2);
         i.basic_constraints = PkiBasicConstraints::kAbsent;
         i.key_usage = PkiKeyUsage::kLeaf;
         standard(c, t, true, ca_spec("Root", 1), i);
       },
       // Its CRL is not used either: its keyUsage leaves out cRLSign.
       0xFFFFFFFFUL,
       0,
       {{3}, {79}, {}},
       {0, 0, 1}},
      {"version 1 CA, which cannot carry extensions, still issues",
       [](Case& c, PkiKeyType t) { altered(c, t, without_extensions(X509_VERSION_1)); },
       kVerifyDefaultFlags,
       1,
       {{3}, {3}, {3}}},
      {"version 3 CA without basicConstraints does not issue: 79",
       [](Case& c, PkiKeyType t) { altered(c, t, without_extensions(X509_VERSION_3)); },
       kVerifyDefaultFlags,
       0,
       {{3}, {3, 79}, {3}},
       {0, 0, 1}},
      {"root's pathLen 0 forbids an intermediate",
       [](Case& c, PkiKeyType t) {
         PkiCertSpec r = ca_spec("Root", 1);
         r.path_len = 0;
         standard(c, t, true, r);
       },
       0xFFFFFFFFUL,
       0,
       {{}, {}, {79}},
       {0, 0, 0}},
      {"root's pathLen 1 allows it",
       [](Case& c, PkiKeyType t) {
         PkiCertSpec r = ca_spec("Root", 1);
         r.path_len = 1;
         standard(c, t, true, r);
       },
       kVerifyDefaultFlags,
       1,
       {{}, {}, {}}},
      {"CRL of an issuer without cRLSign is not used",
       [](Case& c, PkiKeyType t) {
         PkiCertSpec i = ca_spec("Intermediate", 2);
         i.key_usage = PkiKeyUsage::kCaWithoutCrlSign;
         Pki p = standard(c, t, false, ca_spec("Root", 1), i);
         X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.inter, p.inter_key, revoking({100}))));
         X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.root, p.root_key, PkiCrlSpec{})));
       },
       kVerifyDefaultFlags,
       1,
       {{3}, {}, {}}},
      {"issuers naming each other: the walk ends",
       [](Case& c, PkiKeyType t) {
         EVP_PKEY* ka = c.keep(test_support::pki_new_key(t));
         EVP_PKEY* kb = c.keep(test_support::pki_new_key(t));
         EVP_PKEY* kl = c.keep(test_support::pki_new_key(t));
         // B's certificate is made first under a stand-in A of the same name
         // and key, so A and B end up issued by each other.
         X509* a0 = c.keep(test_support::pki_make_cert(ka, ca_spec("A", 1), nullptr, ka));
         X509* b = c.keep(test_support::pki_make_cert(kb, ca_spec("B", 2), a0, ka));
         X509* a = c.keep(test_support::pki_make_cert(ka, ca_spec("A", 1), b, kb));
         X509_LOOKUP_add_cert(c.trusted, a);
         X509_LOOKUP_add_cert(c.trusted, b);
         c.target = c.keep(test_support::pki_make_cert(kl, leaf_spec("Leaf", 100), a, ka));
       },
       kVerifyDefaultFlags,
       0,
       {{3}, {3}, {2}}},
      {"over-long chain",
       [](Case& c, PkiKeyType t) {
         EVP_PKEY* k = c.keep(test_support::pki_new_key(t));
         X509* up = c.keep(test_support::pki_make_cert(k, ca_spec("CA 0", 1), nullptr, k));
         X509_LOOKUP_add_cert(c.trusted, up);
         for (int i = 1; i <= kMaxChainLength + 2; ++i) {
           up = c.keep(test_support::pki_make_cert(k, ca_spec("CA " + std::to_string(i), i + 1), up, k));
           X509_LOOKUP_add_cert(c.untrusted, up);
         }
         c.target = c.keep(test_support::pki_make_cert(k, leaf_spec("Leaf", 100), up, k));
       },
       kVerifyDefaultFlags,
       0,
       {}},
  };
  return table;
}

// Certificates whose validity times do not parse (the record maker refuses
// them, the walk reports them) and an intermediate forged under the root's
// name: refused wherever they stand in the chain.
const std::vector<Row>& unreadable_and_forged_rows() {
  static const std::vector<Row> table = {
      {"intermediate's notBefore unreadable: 13",
       [](Case& c, PkiKeyType t) {
         Alter a;
         a.inter_change = unreadable_not_before;
         altered(c, t, a);
       },
       kVerifyDefaultFlags,
       0,
       {{}, {13}, {}},
       {0, 0, 1}},
      {"intermediate's notAfter unreadable: 14",
       [](Case& c, PkiKeyType t) {
         Alter a;
         a.inter_change = unreadable_not_after;
         altered(c, t, a);
       },
       kVerifyDefaultFlags,
       0,
       {{}, {14}, {}},
       {0, 0, 1}},
      {"trusted root's notBefore unreadable: 13",
       [](Case& c, PkiKeyType t) {
         Alter a;
         a.root_change = unreadable_not_before;
         altered(c, t, a);
       },
       kVerifyDefaultFlags,
       0,
       {{}, {}, {13}},
       {0, 0, 0}},
      {"leaf's notAfter unreadable: 14",
       [](Case& c, PkiKeyType t) {
         Alter a;
         a.leaf_change = unreadable_not_after;
         altered(c, t, a);
       },
       kVerifyDefaultFlags,
       0,
       {{14}, {}, {}},
       {0, 1, 1}},
      {"forged intermediate under the root's name: 7",
       [](Case& c, PkiKeyType t) {
         Alter a;
         a.forged = true;
         altered(c, t, a);
       },
       kVerifyDefaultFlags,
       0,
       {{}, {7}, {}},
       {0, 0, 1}},
      {"forged intermediate with an unreadable notBefore: 7 and 13",
       [](Case& c, PkiKeyType t) {
         Alter a;
         a.forged = true;
         a.inter_change = unreadable_not_before;
         altered(c, t, a);
       },
       // Whatever the mask tolerates, 7 and 13 are not among them.
       kVerifyDefaultFlags | (1UL << 2) | (1UL << 20) | (1UL << 24),
       0,
       {{}, {7, 13}, {}},
       {0, 0, 1}},
  };
  return table;
}

// A record for the certificate even where the record maker refuses it, as a
// caller may build one by hand.
UniquePtr<CERT> record_of(X509* x) {
  UniquePtr<CERT> record(CERT_split(x));
  ERR_clear_error();
  if (!record) {
    record.reset(CERT_new());
    if (record && X509_up_ref(x) == 1) record->x509 = x;
  }
  return record;
}

// Builds the row's case, verifies and compares verdict, errors and flags.
void run_row(const Row& row, PkiKeyType type) {
  {
    SCOPED_TRACE(row.name);
    Case c;
    ASSERT_TRUE(c.store && c.trusted && c.untrusted);
    row.build(c, type);
    ASSERT_NE(c.target, nullptr);
    UniquePtr<CERT> record = record_of(c.target);
    ASSERT_TRUE(record && record->x509);
    STACK_OF(CERT)* extra_certs = nullptr;
    std::vector<UniquePtr<CERT>> extra_records;
    if (!c.extra_certs.empty()) {
      extra_certs = sk_CERT_new_null();
      for (X509* x : c.extra_certs) {
        extra_records.emplace_back(CERT_split(x));
        sk_CERT_push(extra_certs, extra_records.back().get());
      }
    }
    STACK_OF(CRL)* extra_crls = nullptr;
    std::vector<UniquePtr<CRL>> crl_records;
    if (!c.extra_crls.empty()) {
      extra_crls = sk_CRL_new_null();
      for (X509_CRL* l : c.extra_crls) {
        crl_records.emplace_back(CRL_split(l));
        sk_CRL_push(extra_crls, crl_records.back().get());
      }
    }
    const int verdict = CERT_verify(record.get(), c.store.get(), extra_certs, extra_crls, row.flags, nullptr);
    sk_CERT_free(extra_certs);
    sk_CRL_free(extra_crls);
    EXPECT_EQ(verdict, row.valid);
    EXPECT_EQ(record->valid, row.valid);

    std::vector<std::vector<int>> got;
    std::vector<int> valid_by_depth;
    int depth = 0;
    for (CERT* r = record.get(); r != nullptr; r = r->issuer_record, ++depth) {
      EXPECT_EQ(r->depth, depth);
      valid_by_depth.push_back(r->valid);
      std::vector<int> numbers;
      for (int i = 0; i < sk_X509_VERIFY_ERROR_num(r->errors); ++i) {
        const X509_VERIFY_ERROR* e = sk_X509_VERIFY_ERROR_value(r->errors, i);
        numbers.push_back(e->error);
        ASSERT_NE(e->text, nullptr);
        const std::string text(reinterpret_cast<const char*>(e->text->data), static_cast<size_t>(e->text->length));
        if (kTexts.count(e->error) != 0) {
          EXPECT_EQ(text, kTexts.at(e->error));
        }
        const bool bit = e->error < 32 && ((row.flags >> e->error) & 1UL) != 0;
        EXPECT_EQ(e->tolerated, bit ? 1 : 0) << "error " << e->error;
      }
      got.push_back(numbers);
    }
    if (std::string(row.name) == "over-long chain") {
      // The chain stops at the bound with 22 on its top.
      ASSERT_EQ(static_cast<int>(got.size()), kMaxChainLength);
      EXPECT_EQ(got.back(), std::vector<int>{22});
    } else {
      EXPECT_EQ(got, row.errors);
    }
    if (!row.valid_by_depth.empty()) {
      EXPECT_EQ(valid_by_depth, row.valid_by_depth);
    }
  }
}

class Verify : public store_test::ProviderTest, public ::testing::WithParamInterface<PkiKeyType> {};

TEST_P(Verify, VerdictTable) {
  for (const auto* table : {&rows(), &unreadable_and_forged_rows()})
    for (const Row& row : *table) run_row(row, GetParam());
}

// The errors of every record of the chain, from the certificate up.
std::vector<std::vector<int>> chain_errors(const CERT* record) {
  std::vector<std::vector<int>> out;
  for (const CERT* r = record; r != nullptr; r = r->issuer_record) {
    std::vector<int>& numbers = out.emplace_back();
    for (int i = 0; i < sk_X509_VERIFY_ERROR_num(r->errors); ++i)
      numbers.push_back(sk_X509_VERIFY_ERROR_value(r->errors, i)->error);
  }
  return out;
}

// Every allocation of the verification's bookkeeping made to fail in turn,
// alone and together with all later ones: a bad chain never verifies, and a
// good one verifies only with every error of the undisturbed run recorded;
// when it does not, a record says the memory ran out.
TEST_P(Verify, AllocationFailureNeverVerifiesABadChain) {
  const struct {
    const char* what;
    std::function<void(Case&, PkiKeyType)> build;
    int valid;
  } cases[] = {
      {"good chain without CRLs", [](Case& c, PkiKeyType t) { standard(c, t, false); }, 1},
      {"forged intermediate",
       [](Case& c, PkiKeyType t) {
         Alter a;
         a.forged = true;
         altered(c, t, a);
       },
       0},
      {"forged intermediate with an unreadable notBefore",
       [](Case& c, PkiKeyType t) {
         Alter a;
         a.forged = true;
         a.inter_change = unreadable_not_before;
         altered(c, t, a);
       },
       0},
      {"trusted root with an unreadable notBefore",
       [](Case& c, PkiKeyType t) {
         Alter a;
         a.root_change = unreadable_not_before;
         altered(c, t, a);
       },
       0},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    Case c;
    ASSERT_TRUE(c.store && c.trusted && c.untrusted);
    k.build(c, GetParam());
    ASSERT_NE(c.target, nullptr);
    UniquePtr<CERT> record = record_of(c.target);
    ASSERT_TRUE(record && record->x509);
    CERT_verify_test_fail_allocation(0, false);
    ASSERT_EQ(CERT_verify_store(record.get(), c.store.get(), kVerifyDefaultFlags, nullptr), k.valid);
    const int allocations = CERT_verify_test_allocation_count();
    const std::vector<std::vector<int>> undisturbed = chain_errors(record.get());
    ASSERT_GT(allocations, 5);
    int refused = 0;
    for (const bool and_after : {false, true}) {
      for (int nth = 1; nth <= allocations; ++nth) {
        SCOPED_TRACE(::testing::Message() << "allocation " << nth << (and_after ? " and after" : " alone"));
        CERT_verify_test_fail_allocation(nth, and_after);
        const int verdict = CERT_verify_store(record.get(), c.store.get(), kVerifyDefaultFlags, nullptr);
        CERT_verify_test_fail_allocation(0, false);
        ERR_clear_error();
        EXPECT_EQ(record->valid, verdict);
        if (k.valid == 0) {
          EXPECT_EQ(verdict, 0);
          continue;
        }
        const std::vector<std::vector<int>> got = chain_errors(record.get());
        if (verdict == 1) {
          EXPECT_EQ(got, undisturbed);
          continue;
        }
        ++refused;
        if (!and_after) {
          bool out_of_memory = false;
          for (const auto& numbers : got)
            for (int n : numbers) out_of_memory = out_of_memory || n == VERR_OUT_OF_MEM;
          EXPECT_TRUE(out_of_memory);
        }
      }
    }
    if (k.valid == 1) {
      EXPECT_GT(refused, 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(GostKeys, Verify, ::testing::Values(PkiKeyType::kEcr3410, PkiKeyType::kR3410));

// CRLs that must not decide a certificate's status: deltas, CRLs whose
// issuing distribution point leaves the certificate out, CRLs with critical
// extensions the verifier cannot process, badly signed CRLs. Most rows put a
// newer such CRL beside an older complete one that revokes, which must still
// be found; the others check that an in-scope CRL is still used.
namespace crl_scope {

using store_test::CrlShape;
using store_test::idp;
using store_test::kCertificateIssuer;
using store_test::kDeltaIndicator;
using store_test::kInvalidityDate;
using store_test::kLeafPartA;
using store_test::kLeafPointA;
using store_test::kReasonKeyCompromise;
using store_test::kUnknownCritical;
using store_test::kUnknownPlain;

X509_CRL* make_crl(Case& c, X509* issuer, EVP_PKEY* key, const CrlShape& shape) {
  return c.keep(store_test::make_shaped_crl(issuer, key, shape));
}

void add(Case& c, X509_CRL* crl) {
  ASSERT_NE(crl, nullptr);
  X509_LOOKUP_add_crl(c.trusted, crl);
}

// The intermediate's complete CRL, two days old, revoking the leaf, the root's
// clean CRL, and a newer CRL of the intermediate shaped as given.
std::function<void(Case&, PkiKeyType)> beside_complete(CrlShape newer, std::string leaf_config = "") {
  return [newer = std::move(newer), leaf_config = std::move(leaf_config)](Case& c, PkiKeyType t) {
    Pki p = standard(c, t, false);
    if (!leaf_config.empty()) {
      ASSERT_TRUE(test_support::gost_add_extensions(p.leaf, p.inter, p.inter_key, leaf_config, "ext"));
    }
    add(c, make_crl(c, p.inter, p.inter_key, CrlShape().lists({100}).dated(-2 * kDay)));
    add(c, make_crl(c, p.inter, p.inter_key, newer));
    add(c, make_crl(c, p.root, p.root_key, CrlShape()));
  };
}

// The intermediate's only CRL shaped as given, the root's clean CRL.
std::function<void(Case&, PkiKeyType)> alone(CrlShape only, std::string leaf_config = "") {
  return [only = std::move(only), leaf_config = std::move(leaf_config)](Case& c, PkiKeyType t) {
    Pki p = standard(c, t, false);
    if (!leaf_config.empty()) {
      ASSERT_TRUE(test_support::gost_add_extensions(p.leaf, p.inter, p.inter_key, leaf_config, "ext"));
    }
    add(c, make_crl(c, p.inter, p.inter_key, only));
    add(c, make_crl(c, p.root, p.root_key, CrlShape()));
  };
}

// The same one level up: the root's CRLs judge the intermediate.
std::function<void(Case&, PkiKeyType)> for_intermediate(std::vector<CrlShape> root_crls) {
  return [root_crls = std::move(root_crls)](Case& c, PkiKeyType t) {
    Pki p = standard(c, t, false);
    for (const CrlShape& s : root_crls) add(c, make_crl(c, p.root, p.root_key, s));
    add(c, make_crl(c, p.inter, p.inter_key, CrlShape()));
  };
}

constexpr unsigned long kCrlRequired = kVerifyDefaultFlags & ~(1UL << 3);

const std::vector<Row>& rows() {
  static const std::vector<Row> table = {
      {"DeltaCrl", beside_complete(CrlShape().with_raw({kDeltaIndicator})), kVerifyDefaultFlags, 0, {{23}, {}, {}}},
      {"DeltaCrlAloneIsNoCrl",
       alone(CrlShape().with_raw({kDeltaIndicator})),
       kCrlRequired,
       0,
       {{3}, {}, {}},
       {0, 1, 1}},
      {"IdpCaOnly", beside_complete(CrlShape().with(idp("onlyCA = TRUE\n"))), kVerifyDefaultFlags, 0, {{23}, {}, {}}},
      {"IdpCaOnlyCoversIntermediate",
       for_intermediate({CrlShape().lists({2}).with(idp("onlyCA = TRUE\n"))}),
       kVerifyDefaultFlags,
       0,
       {{}, {23}, {}},
       {0, 0, 1}},
      {"IdpUserOnlyLeavesIntermediateOut",
       for_intermediate({CrlShape().lists({2}).dated(-2 * kDay), CrlShape().with(idp("onlyuser = TRUE\n"))}),
       kVerifyDefaultFlags,
       0,
       {{}, {23}, {}},
       {0, 0, 1}},
      {"IdpUserOnlyCoversLeaf",
       alone(CrlShape().lists({100}).with(idp("onlyuser = TRUE\n"))),
       kVerifyDefaultFlags,
       0,
       {{23}, {}, {}}},
      {"IdpAttributeCertsOnly",
       beside_complete(CrlShape().with(idp("onlyAA = TRUE\n"))),
       kVerifyDefaultFlags,
       0,
       {{23}, {}, {}}},
      {"IdpSomeReasonsOnly",
       beside_complete(CrlShape().with(idp("onlysomereasons = keyCompromise\n"))),
       kVerifyDefaultFlags,
       0,
       {{23}, {}, {}}},
      {"IdpIndirectCrl",
       beside_complete(CrlShape().with(idp("indirectCRL = TRUE\n"))),
       kVerifyDefaultFlags,
       0,
       {{23}, {}, {}}},
      {"IdpOtherDistributionPoint",
       beside_complete(CrlShape().with(idp("fullname = URI:http://crl.test.ru/b.crl\n")), kLeafPointA),
       kVerifyDefaultFlags,
       0,
       {{23}, {}, {}}},
      {"IdpNoDistributionPointInCert",
       beside_complete(CrlShape().with(idp("fullname = URI:http://crl.test.ru/a.crl\n"))),
       kVerifyDefaultFlags,
       0,
       {{23}, {}, {}}},
      {"IdpSameDistributionPoint",
       alone(CrlShape().lists({100}).with(idp("fullname = URI:http://crl.test.ru/a.crl\n")), kLeafPointA),
       kVerifyDefaultFlags,
       0,
       {{23}, {}, {}}},
      {"IdpSameRelativeName",
       alone(CrlShape().lists({100}).with(idp("relativename = rdn\n[rdn]\nCN = Part A\n")), kLeafPartA),
       kVerifyDefaultFlags,
       0,
       {{23}, {}, {}}},
      {"IdpOtherRelativeName",
       beside_complete(CrlShape().with(idp("relativename = rdn\n[rdn]\nCN = Part B\n")), kLeafPartA),
       kVerifyDefaultFlags,
       0,
       {{23}, {}, {}}},
      {"CriticalCrlExtension",
       beside_complete(CrlShape().with_raw({kUnknownCritical})),
       kVerifyDefaultFlags,
       0,
       {{23}, {}, {}}},
      {"CriticalCrlExtensionAloneIsNoCrl",
       alone(CrlShape().lists({100}).with_raw({kUnknownCritical})),
       kVerifyDefaultFlags,
       1,
       {{3}, {}, {}}},
      {"NonCriticalUnknownCrlExtension",
       alone(CrlShape().lists({100}).with_raw({kUnknownPlain})),
       kVerifyDefaultFlags,
       0,
       {{23}, {}, {}}},
      {"CriticalEntryExtension",
       alone(CrlShape().lists({100}).with_on_entry({kUnknownCritical})),
       kVerifyDefaultFlags,
       1,
       {{3}, {}, {}}},
      {"CriticalEntryExtensionCrlRequired",
       alone(CrlShape().lists({100}).with_on_entry({kUnknownCritical})),
       kCrlRequired,
       0,
       {{3}, {}, {}},
       {0, 1, 1}},
      {"CriticalEntryExtensionOnOtherEntry",
       beside_complete(CrlShape().lists({7}).with_on_entry({kUnknownCritical})),
       kVerifyDefaultFlags,
       0,
       {{23}, {}, {}}},
      {"CriticalCertificateIssuerEntry",
       beside_complete(CrlShape().lists({7}).with_on_entry({kCertificateIssuer})),
       kVerifyDefaultFlags,
       0,
       {{23}, {}, {}}},
      {"KnownCriticalEntryExtensions",
       alone(CrlShape().lists({100}).with_on_entry({kReasonKeyCompromise, kInvalidityDate})),
       kVerifyDefaultFlags,
       0,
       {{23}, {}, {}}},
      {"NewerCrlBadSignature", beside_complete(CrlShape().damaged()), kVerifyDefaultFlags, 0, {{23}, {}, {}}},
      {"OutOfScopeCrlBesideBadlySigned",
       [](Case& c, PkiKeyType t) {
         Pki p = standard(c, t, false);
         add(c, make_crl(c, p.inter, p.inter_key, CrlShape().dated(-2 * kDay).damaged()));
         add(c, make_crl(c, p.inter, p.inter_key, CrlShape().with(idp("onlyCA = TRUE\n"))));
         add(c, make_crl(c, p.root, p.root_key, CrlShape()));
       },
       kVerifyDefaultFlags,
       0,
       {{8}, {}, {}}},
  };
  return table;
}

}  // namespace crl_scope

class VerifyCrlScope : public store_test::ProviderTest,
                       public ::testing::WithParamInterface<std::tuple<size_t, PkiKeyType>> {};

TEST_P(VerifyCrlScope, Verdict) { run_row(crl_scope::rows()[std::get<0>(GetParam())], std::get<1>(GetParam())); }

INSTANTIATE_TEST_SUITE_P(GostKeys, VerifyCrlScope,
                         ::testing::Combine(::testing::Range<size_t>(0, crl_scope::rows().size()),
                                            ::testing::Values(PkiKeyType::kEcr3410, PkiKeyType::kR3410)),
                         [](const ::testing::TestParamInfo<std::tuple<size_t, PkiKeyType>>& p) {
                           return std::string(crl_scope::rows()[std::get<0>(p.param)].name) +
                                  (std::get<1>(p.param) == PkiKeyType::kEcr3410 ? "_R3410_2001" : "_R3410_94");
                         });

// The leaf's record keeps a copy of the CRL that decided: the older complete
// one, not the newer CRL passed over.
class VerifyCrlScopeRecord : public store_test::ProviderTest {};

TEST_F(VerifyCrlScopeRecord, KeepsTheCompleteCrl) {
  for (const std::string name : {"DeltaCrl", "IdpCaOnly", "CriticalCrlExtension", "NewerCrlBadSignature"}) {
    SCOPED_TRACE(name);
    const auto& table = crl_scope::rows();
    const auto row = std::find_if(table.begin(), table.end(), [&](const Row& r) { return name == r.name; });
    ASSERT_NE(row, table.end());
    Case c;
    row->build(c, PkiKeyType::kEcr3410);
    ASSERT_EQ(c.crls.size(), 3U);  // the complete one first
    UniquePtr<CERT> record(CERT_split(c.target));
    ASSERT_TRUE(record);
    EXPECT_EQ(CERT_verify_store(record.get(), c.store.get(), kVerifyDefaultFlags, nullptr), 0);
    EXPECT_EQ(record->crl, c.crls[0].get());
  }
}

class VerifyApi : public store_test::ProviderTest {};

TEST_F(VerifyApi, ErrorTextsAndArguments) {
  EXPECT_STREQ(X509_verify_cert_error_string(24), "last certificate in chain is not trusted");
  EXPECT_STREQ(X509_verify_cert_error_string(5), "unable to decrypt CRL's's signature");
  EXPECT_STREQ(X509_verify_cert_error_string(0), "ok");
  EXPECT_STREQ(X509_verify_cert_error_string(1), "error number 1");
  EXPECT_STREQ(X509_verify_cert_error_string(77), "error number 77");
  UniquePtr<X509_STORE> store(X509_STORE_new());
  EXPECT_EQ(CERT_verify(nullptr, store.get(), nullptr, nullptr, 0, nullptr), 0);
  // The classic packed code: library, function, reason.
  const unsigned long code = qcrypto::ERR_peek_last_error();
  EXPECT_EQ((code >> 24) & 0xFFUL, 33UL);
  EXPECT_EQ((code >> 12) & 0xFFFUL, 236UL);
  EXPECT_EQ(code & 0xFFFUL, 12UL);
  ERR_clear_error();
  UniquePtr<CERT> empty(CERT_new());
  EXPECT_EQ(CERT_verify_store(empty.get(), nullptr, 0, nullptr), 0);
}

TEST_F(VerifyApi, CrlChoiceAndRevocation) {
  UniquePtr<EVP_PKEY> k(test_support::pki_new_key(PkiKeyType::kEcr3410));
  UniquePtr<X509> root(test_support::pki_make_cert(k.get(), ca_spec("Root", 1), nullptr, k.get()));
  UniquePtr<X509_CRL> old_crl(test_support::pki_make_crl(root.get(), k.get(), revoking({1}, -3 * kDay)));
  UniquePtr<X509_CRL> recent(test_support::pki_make_crl(root.get(), k.get(), revoking({}, -kDay)));
  UniquePtr<X509_CRL> future(test_support::pki_make_crl(root.get(), k.get(), revoking({}, kDay)));
  STACK_OF(X509_CRL)* crls = sk_X509_CRL_new_null();
  sk_X509_CRL_push(crls, old_crl.get());
  sk_X509_CRL_push(crls, future.get());
  sk_X509_CRL_push(crls, recent.get());
  EXPECT_EQ(CRL_choose(crls, nullptr), recent.get());
  const time_t two_days_ago = std::time(nullptr) - 2 * kDay;
  EXPECT_EQ(CRL_choose(crls, &two_days_ago), old_crl.get());
  const time_t long_ago = std::time(nullptr) - 10 * kDay;
  EXPECT_EQ(CRL_choose(crls, &long_ago), nullptr);
  const time_t later = std::time(nullptr) + 3 * kDay;
  EXPECT_EQ(CRL_choose(crls, &later), future.get());
  sk_X509_CRL_free(crls);
  EXPECT_TRUE(CRL_is_revoked(root.get(), old_crl.get()));
  EXPECT_FALSE(CRL_is_revoked(root.get(), recent.get()));
}

// A signature remembered as good is remembered with its key: a look-alike
// issuer of the same name must not inherit the first verdict.
TEST_F(VerifyApi, RememberedSignatureDoesNotCarryToAnotherKey) {
  UniquePtr<EVP_PKEY> k(test_support::pki_new_key(PkiKeyType::kEcr3410));
  UniquePtr<EVP_PKEY> fake_key(test_support::pki_new_key(PkiKeyType::kEcr3410));
  UniquePtr<X509> root(test_support::pki_make_cert(k.get(), ca_spec("Root", 1), nullptr, k.get()));
  PkiCertSpec no_akid = leaf_spec("Leaf", 5);
  no_akid.authority_key_id = false;
  UniquePtr<X509> cert(test_support::pki_make_cert(fake_key.get(), no_akid, root.get(), k.get()));
  UniquePtr<CERT> record(CERT_split(cert.get()));
  UniquePtr<X509_STORE> good(X509_STORE_new());
  X509_LOOKUP_add_cert(X509_STORE_add_lookup(good.get(), X509_LOOKUP_trusted(), "trusted", 1), root.get());
  EXPECT_EQ(CERT_verify_store(record.get(), good.get(), kVerifyDefaultFlags, nullptr), 1);
  UniquePtr<X509> fake_root(test_support::pki_make_cert(fake_key.get(), ca_spec("Root", 1), nullptr, fake_key.get()));
  UniquePtr<X509_STORE> bad(X509_STORE_new());
  X509_LOOKUP_add_cert(X509_STORE_add_lookup(bad.get(), X509_LOOKUP_trusted(), "trusted", 1), fake_root.get());
  EXPECT_EQ(CERT_verify_store(record.get(), bad.get(), kVerifyDefaultFlags, nullptr), 0);
  ASSERT_GT(sk_X509_VERIFY_ERROR_num(record->errors), 0);
  EXPECT_EQ(sk_X509_VERIFY_ERROR_value(record->errors, 0)->error, 7);
  // And again with the real issuer: still good, the CRL copy from a run before
  // is not carried into this one.
  EXPECT_EQ(CERT_verify_store(record.get(), good.get(), kVerifyDefaultFlags, nullptr), 1);
  EXPECT_EQ(record->crl, nullptr);
}

// Verifications on one store from several threads: the look-ups are searched
// under the store's lock, the remembered signatures change under the
// certificate and CRL locks; every thread sees the same verdicts.
TEST_F(VerifyApi, ConcurrentVerificationsOnOneStore) {
  Case c;
  Pki p = standard(c, PkiKeyType::kEcr3410, true);
  UniquePtr<EVP_PKEY> other(test_support::pki_new_key(PkiKeyType::kEcr3410));
  X509* revoked = c.keep(test_support::pki_make_cert(other.get(), leaf_spec("Revoked", 101), p.inter, p.inter_key));
  X509_LOOKUP_add_crl(c.trusted, c.keep(test_support::pki_make_crl(p.inter, p.inter_key, revoking({101}, -30))));
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        // Fresh copies too, so the remembered marks are written while read.
        UniquePtr<X509> good(X509_dup(p.leaf));
        UniquePtr<X509> bad(X509_dup(revoked));
        UniquePtr<CERT> g(CERT_split(i % 2 == 0 ? p.leaf : good.get()));
        UniquePtr<CERT> b(CERT_split(i % 3 == 0 ? revoked : bad.get()));
        if (!g || !b || CERT_verify_store(g.get(), c.store.get(), kVerifyDefaultFlags, nullptr) != 1 ||
            CERT_verify_store(b.get(), c.store.get(), kVerifyDefaultFlags, nullptr) != 0)
          ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace qcrypto
