// The store's look-ups: names, the two passes and their order, the issuer and
// CRL rules, the trust mark, equality by encoding and of public keys, and the
// subject index against a plain scan of a large store.
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/x509store/store.h"
#include "tests/crypto/x509store/test_support.h"
#include "tests/support/gost_pki.h"

namespace qcrypto {
namespace {

using store_test::ca_spec;
using store_test::leaf_spec;
using store_test::ProviderTest;
using store_test::take;
using test_support::PkiBasicConstraints;
using test_support::PkiCertSpec;
using test_support::PkiCrlSpec;
using test_support::PkiKeyType;
using test_support::PkiKeyUsage;

class Store : public ProviderTest {
 protected:
  void SetUp() override {
    ProviderTest::SetUp();
    key_.reset(test_support::pki_new_key(PkiKeyType::kEcdsaP256));
    other_key_.reset(test_support::pki_new_key(PkiKeyType::kEcdsaP256));
    ASSERT_TRUE(key_ && other_key_);
    root_.reset(test_support::pki_make_cert(key_.get(), ca_spec("Root", 1), nullptr, key_.get()));
    leaf_.reset(test_support::pki_make_cert(other_key_.get(), leaf_spec("Leaf", 7), root_.get(), key_.get()));
    ASSERT_TRUE(root_ && leaf_);
    store_.reset(X509_STORE_new());
    ASSERT_TRUE(store_);
  }
  UniquePtr<EVP_PKEY> key_, other_key_;
  UniquePtr<X509> root_, leaf_;
  UniquePtr<X509_STORE> store_;
};

TEST_F(Store, LookupNamesAreUniqueAndTheFirstStays) {
  X509_LOOKUP* first = X509_STORE_add_lookup(store_.get(), X509_LOOKUP_trusted(), "trusted", 1);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(X509_STORE_add_lookup(store_.get(), X509_LOOKUP_local_untrusted(), "trusted", 0), nullptr);
  EXPECT_EQ(X509_STORE_get_lookup(store_.get(), "trusted"), first);
  EXPECT_EQ(store_->last_lookup, first);
  EXPECT_EQ(store_->get_cert_methods->size(), 1U);
  EXPECT_EQ(X509_STORE_get_lookup(store_.get(), "other"), nullptr);
  EXPECT_STREQ(X509_LOOKUP_trusted()->name, "trusted store");
  EXPECT_STREQ(X509_LOOKUP_local_untrusted()->name, "local untrusted store");
  // Defaults of a new store.
  EXPECT_EQ(store_->references, 1);
  EXPECT_EQ(store_->issuer_search_all, 0);
  EXPECT_EQ(store_->crl_search_all, 1);
}

TEST_F(Store, ReferenceCountKeepsTheStoreAlive) {
  X509_LOOKUP* l = X509_STORE_add_lookup(store_.get(), X509_LOOKUP_trusted(), "trusted", 1);
  ASSERT_EQ(X509_LOOKUP_add_cert(l, root_.get()), 1);
  ASSERT_EQ(X509_STORE_up_ref(store_.get()), 1);
  X509_STORE_free(store_.get());  // one of two references
  EXPECT_EQ(store_->references, 1);
  STACK_OF(X509)* found = X509_STORE_find_issuers(store_.get(), leaf_.get());
  EXPECT_EQ(take(found).size(), 1U);
}

TEST_F(Store, IssuerInBothPassesIsReturnedTwiceTrustedFirst) {
  X509_LOOKUP* untrusted = X509_STORE_add_lookup(store_.get(), X509_LOOKUP_local_untrusted(), "extra", 0);
  X509_LOOKUP* trusted = X509_STORE_add_lookup(store_.get(), X509_LOOKUP_trusted(), "trusted", 1);
  UniquePtr<X509> copy(X509_dup(root_.get()));
  ASSERT_EQ(X509_LOOKUP_add_cert(untrusted, copy.get()), 1);
  ASSERT_EQ(X509_LOOKUP_add_cert(trusted, root_.get()), 1);
  auto found = take(X509_STORE_find_issuers(store_.get(), leaf_.get()));
  ASSERT_EQ(found.size(), 2U);
  EXPECT_EQ(found[0].get(), root_.get());  // the trusted pass runs first though added later
  EXPECT_EQ(found[1].get(), copy.get());
  // A skipped look-up is not asked.
  trusted->skip = 1;
  found = take(X509_STORE_find_issuers(store_.get(), leaf_.get()));
  ASSERT_EQ(found.size(), 1U);
  EXPECT_EQ(found[0].get(), copy.get());
}

TEST_F(Store, APassStopsAtTheFirstLookupThatYieldsUnlessAskedForAll) {
  X509_LOOKUP* a = X509_STORE_add_lookup(store_.get(), X509_LOOKUP_trusted(), "a", 1);
  X509_LOOKUP* b = X509_STORE_add_lookup(store_.get(), X509_LOOKUP_trusted(), "b", 1);
  UniquePtr<X509> copy(X509_dup(root_.get()));
  ASSERT_EQ(X509_LOOKUP_add_cert(a, root_.get()), 1);
  ASSERT_EQ(X509_LOOKUP_add_cert(b, copy.get()), 1);
  EXPECT_EQ(take(X509_STORE_find_issuers(store_.get(), leaf_.get())).size(), 1U);
  store_->issuer_search_all = 1;
  EXPECT_EQ(take(X509_STORE_find_issuers(store_.get(), leaf_.get())).size(), 2U);
}

TEST_F(Store, TrustMarkOnlyForSelfIssuedInTrustedLookup) {
  X509_LOOKUP* trusted = X509_STORE_add_lookup(store_.get(), X509_LOOKUP_trusted(), "trusted", 1);
  X509_LOOKUP* untrusted = X509_STORE_add_lookup(store_.get(), X509_LOOKUP_local_untrusted(), "extra", 0);
  UniquePtr<EVP_PKEY> k3(test_support::pki_new_key(PkiKeyType::kEcdsaP256));
  UniquePtr<X509> other_root(test_support::pki_make_cert(k3.get(), ca_spec("Other", 3), nullptr, k3.get()));
  ASSERT_EQ(X509_LOOKUP_add_cert(trusted, root_.get()), 1);
  ASSERT_EQ(X509_LOOKUP_add_cert(trusted, leaf_.get()), 1);
  ASSERT_EQ(X509_LOOKUP_add_cert(untrusted, other_root.get()), 1);
  EXPECT_EQ(X509_LOOKUP_has_trust_mark(trusted, root_.get()), 1);
  EXPECT_EQ(X509_LOOKUP_has_trust_mark(trusted, leaf_.get()), 0);
  EXPECT_EQ(X509_STORE_is_trusted(store_.get(), other_root.get()), 0);
  // Equal by encoding counts: a decoded copy of the anchor is the anchor.
  UniquePtr<X509> copy(X509_dup(root_.get()));
  EXPECT_EQ(X509_STORE_is_trusted(store_.get(), copy.get()), 1);
  // The mark belongs to the store's entry, not to the object: another store
  // holding the same object untrusted does not trust it.
  UniquePtr<X509_STORE> second(X509_STORE_new());
  X509_LOOKUP* l2 = X509_STORE_add_lookup(second.get(), X509_LOOKUP_local_untrusted(), "u", 0);
  ASSERT_EQ(X509_LOOKUP_add_cert(l2, root_.get()), 1);
  EXPECT_EQ(X509_STORE_is_trusted(second.get(), root_.get()), 0);
}

struct IssuerRuleRow {
  const char* name;
  bool candidate_skid;
  bool cert_akid;
  bool same_name;
  bool match;
};

TEST_F(Store, IssuerRuleTable) {
  const IssuerRuleRow rows[] = {
      {"names and key ids agree", true, true, true, true},
      {"key id wanted, candidate has none", false, true, true, false},
      {"no authority key id: names decide", false, false, true, true},
      {"names differ", true, true, false, false},
  };
  for (const IssuerRuleRow& r : rows) {
    SCOPED_TRACE(r.name);
    PkiCertSpec cs = ca_spec(r.same_name ? "Root" : "Elsewhere", 1);
    cs.subject_key_id = r.candidate_skid;
    UniquePtr<X509> candidate(test_support::pki_make_cert(key_.get(), cs, nullptr, key_.get()));
    PkiCertSpec ls = leaf_spec("Leaf", 7);
    ls.authority_key_id = r.cert_akid;
    UniquePtr<X509> cert(test_support::pki_make_cert(other_key_.get(), ls, root_.get(), key_.get()));
    ASSERT_TRUE(candidate && cert);
    EXPECT_EQ(X509_issuer_rule(candidate.get(), cert.get()), r.match ? 1 : 0);
  }
  // A key id of another key under the same name does not match.
  UniquePtr<X509> look_alike(
      test_support::pki_make_cert(other_key_.get(), ca_spec("Root", 1), nullptr, other_key_.get()));
  EXPECT_EQ(X509_issuer_rule(look_alike.get(), leaf_.get()), 0);
}

TEST_F(Store, IssuerRuleChecksSerialAndNameOfTheAuthorityKeyId) {
  // An authority key identifier with issuer name and serial: the serial must
  // be the candidate's.
  PkiCertSpec ls = leaf_spec("Leaf", 9);
  ls.authority_key_id = false;
  UniquePtr<X509> cert(test_support::pki_make_cert(other_key_.get(), ls, root_.get(), key_.get()));
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, root_.get(), cert.get(), nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_authority_key_identifier, "issuer:always");
  ASSERT_NE(ext, nullptr);
  ASSERT_EQ(X509_add_ext(cert.get(), ext, -1), 1);
  X509_EXTENSION_free(ext);
  EXPECT_EQ(X509_issuer_rule(root_.get(), cert.get()), 1);
  UniquePtr<X509> other_serial(test_support::pki_make_cert(key_.get(), ca_spec("Root", 2), nullptr, key_.get()));
  EXPECT_EQ(X509_issuer_rule(other_serial.get(), cert.get()), 0);
}

TEST_F(Store, CrlRuleTable) {
  struct Row {
    const char* name;
    bool crl_akid;
    bool cert_extensions;
    EVP_PKEY* crl_key;
    bool match;
  };
  UniquePtr<EVP_PKEY> third(test_support::pki_new_key(PkiKeyType::kEcdsaP256));
  UniquePtr<X509> look_alike(test_support::pki_make_cert(third.get(), ca_spec("Root", 5), nullptr, third.get()));
  PkiCertSpec bare = leaf_spec("Bare", 8);
  bare.basic_constraints = PkiBasicConstraints::kAbsent;
  bare.key_usage = PkiKeyUsage::kAbsent;
  bare.subject_key_id = false;
  bare.authority_key_id = false;
  UniquePtr<X509> bare_cert(test_support::pki_make_cert(other_key_.get(), bare, root_.get(), key_.get()));
  ASSERT_EQ(X509_get_ext_count(bare_cert.get()), 0);
  const Row rows[] = {
      {"key ids agree", true, true, key_.get(), true},
      {"CRL without authority key id", false, true, key_.get(), true},
      {"certificate without extensions, foreign key id", true, false, third.get(), true},
      {"key ids differ", true, true, third.get(), false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    PkiCrlSpec spec;
    spec.authority_key_id = r.crl_akid;
    X509* issuer = r.crl_key == key_.get() ? root_.get() : look_alike.get();
    UniquePtr<X509_CRL> crl(test_support::pki_make_crl(issuer, r.crl_key, spec));
    ASSERT_TRUE(crl);
    X509* cert = r.cert_extensions ? leaf_.get() : bare_cert.get();
    EXPECT_EQ(X509_CRL_issuer_rule(crl.get(), cert), r.match ? 1 : 0);
  }
  UniquePtr<X509_CRL> of_leaf(test_support::pki_make_crl(leaf_.get(), other_key_.get(), PkiCrlSpec{}));
  EXPECT_EQ(X509_CRL_issuer_rule(of_leaf.get(), leaf_.get()), 0);  // names differ
}

TEST_F(Store, CrlsComeFromEveryLookupAndBySerial) {
  X509_LOOKUP* a = X509_STORE_add_lookup(store_.get(), X509_LOOKUP_trusted(), "trusted", 1);
  X509_LOOKUP* b = X509_STORE_add_lookup(store_.get(), X509_LOOKUP_local_untrusted(), "extra", 0);
  UniquePtr<X509_CRL> c1(test_support::pki_make_crl(root_.get(), key_.get(), PkiCrlSpec{}));
  UniquePtr<X509_CRL> c2(test_support::pki_make_crl(root_.get(), key_.get(), PkiCrlSpec{}));
  ASSERT_EQ(X509_LOOKUP_add_crl(a, c1.get()), 1);
  ASSERT_EQ(X509_LOOKUP_add_crl(b, c2.get()), 1);
  ASSERT_EQ(X509_LOOKUP_add_cert(b, leaf_.get()), 1);
  STACK_OF(X509_CRL)* crls = X509_STORE_find_crls(store_.get(), leaf_.get());
  ASSERT_EQ(sk_X509_CRL_num(crls), 2);
  EXPECT_EQ(sk_X509_CRL_value(crls, 0), c1.get());
  EXPECT_EQ(sk_X509_CRL_value(crls, 1), c2.get());
  sk_X509_CRL_pop_free(crls, X509_CRL_free);
  auto by_serial = take(X509_STORE_find_by_issuer_serial(store_.get(), X509_get_issuer_name(leaf_.get()),
                                                         X509_get0_serialNumber(leaf_.get())));
  ASSERT_EQ(by_serial.size(), 1U);
  EXPECT_EQ(by_serial[0].get(), leaf_.get());
  EXPECT_EQ(X509_STORE_find_by_issuer_serial(store_.get(), X509_get_issuer_name(leaf_.get()),
                                             X509_get0_serialNumber(root_.get())),
            nullptr);
}

TEST_F(Store, EqualityByEncoding) {
  UniquePtr<X509> copy(X509_dup(root_.get()));
  EXPECT_EQ(X509_cmp_encoding(root_.get(), copy.get()), 0);
  EXPECT_EQ(X509_cmp_encoding(root_.get(), leaf_.get()), -1);
  EXPECT_EQ(X509_cmp_encoding(root_.get(), nullptr), -1);
  UniquePtr<X509_CRL> crl(test_support::pki_make_crl(root_.get(), key_.get(), PkiCrlSpec{}));
  UniquePtr<X509_CRL> crl_copy(X509_CRL_dup(crl.get()));
  UniquePtr<X509_CRL> damaged(test_support::pki_damaged_copy(crl.get()));
  EXPECT_EQ(X509_CRL_cmp_encoding(crl.get(), crl_copy.get()), 0);
  EXPECT_EQ(X509_CRL_cmp_encoding(crl.get(), damaged.get()), -1);
}

TEST_F(Store, PublicKeyEqualityPerType) {
  for (PkiKeyType t : {PkiKeyType::kR3410, PkiKeyType::kEcr3410, PkiKeyType::kRsa}) {
    SCOPED_TRACE(static_cast<int>(t));
    UniquePtr<EVP_PKEY> a(test_support::pki_new_key(t));
    UniquePtr<EVP_PKEY> b(test_support::pki_new_key(t));
    ASSERT_TRUE(a && b);
    // The public key as a certificate carries it: decoded afresh.
    UniquePtr<X509> cert(test_support::pki_make_cert(a.get(), ca_spec("K", 1), nullptr, a.get()));
    ASSERT_TRUE(cert);
    EXPECT_EQ(EVP_PKEY_cmp_public(a.get(), X509_get0_pubkey(cert.get())), 1);
    EXPECT_EQ(EVP_PKEY_cmp_public(a.get(), b.get()), 0);
    EXPECT_EQ(EVP_PKEY_cmp_public(a.get(), key_.get()), 0);  // another type never equals
  }
  EXPECT_EQ(EVP_PKEY_cmp_public(key_.get(), key_.get()), 0);  // EC keys are not compared
}

// Many certificates under few names: the index must give exactly what a scan
// of the look-up in stack order gives.
TEST_F(Store, IndexAgreesWithAScan) {
  X509_LOOKUP* l = X509_STORE_add_lookup(store_.get(), X509_LOOKUP_trusted(), "trusted", 1);
  std::vector<UniquePtr<X509>> certs;
  for (int i = 0; i < 300; ++i) {
    PkiCertSpec s = ca_spec("CA " + std::to_string(i % 37), i + 1);
    certs.emplace_back(test_support::pki_make_cert(i % 2 == 0 ? key_.get() : other_key_.get(), s, nullptr,
                                                   i % 2 == 0 ? key_.get() : other_key_.get()));
    ASSERT_TRUE(certs.back());
    ASSERT_EQ(X509_LOOKUP_add_cert(l, certs.back().get()), 1);
  }
  store_->issuer_search_all = 1;
  for (int k = 0; k < 40; ++k) {
    PkiCertSpec s = leaf_spec("Leaf", 1000 + k);
    X509* issuer = certs[static_cast<size_t>(k * 7 % 300)].get();
    UniquePtr<X509> leaf(
        test_support::pki_make_cert(other_key_.get(), s, issuer, k * 7 % 2 == 0 ? key_.get() : other_key_.get()));
    std::vector<X509*> scan;
    for (auto& c : certs)
      if (X509_issuer_rule(c.get(), leaf.get()) == 1) scan.push_back(c.get());
    std::vector<X509*> indexed;
    for (auto& c : take(X509_STORE_find_issuers(store_.get(), leaf.get()))) indexed.push_back(c.get());
    EXPECT_EQ(indexed, scan);
    EXPECT_FALSE(indexed.empty());
  }
}

}  // namespace
}  // namespace qcrypto
