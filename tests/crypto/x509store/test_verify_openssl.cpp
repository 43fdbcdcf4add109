// Our verdict against OpenSSL's X509_verify_cert (CRL checking on for every
// certificate of the chain) on RSA and ECDSA PKIs from the builder, for the
// cases where both rule sets say the same thing.
//
// Cases left out because the rules differ by design:
// - a top certificate found only in an untrusted look-up: we record 24 and
//   judge it by the mask; OpenSSL has no untrusted store look-ups and reports
//   its own "self-signed certificate in chain" or missing-issuer numbers;
// - a missing CRL: tolerated by our default mask (3 recorded, still valid),
//   a failure for OpenSSL with CRL checking on;
// - an issuer whose pathLenConstraint is exceeded: both refuse, but OpenSSL
//   reports its own number (25) where we record 79;
// - a version 3 issuer without basicConstraints whose keyUsage has
//   keyCertSign: OpenSSL lets the keyUsage stand in, we record 79; and a
//   version 1 intermediate, which we accept and OpenSSL takes for a CA only
//   when it is self-signed;
// - a certificate whose only CRL carries a critical extension we cannot
//   process (of its own or on an entry): we find no usable CRL (3, tolerated
//   by our default mask), OpenSSL reports its own number (36);
// - a critical certificateIssuer on an entry of a CRL that is not indirect:
//   we leave the CRL unused, OpenSSL passes over the extension;
// - a newer CRL with a bad signature beside an older good one: both refuse a
//   certificate the older one revokes, but OpenSSL chooses before checking
//   signatures and reports 8 where we find the older CRL and record 23 (the
//   CRL rows below state both numbers).
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "crypto/cadb/cert_record.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/x509store/store.h"
#include "crypto/x509store/verify.h"
#include "tests/crypto/x509store/test_support.h"
#include "tests/support/gost_pki.h"

namespace qcrypto {
namespace {

using store_test::ca_spec;
using test_support::PkiCertSpec;
using test_support::PkiCrlSpec;
using test_support::PkiKeyType;

constexpr long kDay = 86400;

struct World {
  std::vector<UniquePtr<EVP_PKEY>> keys;
  std::vector<UniquePtr<X509>> certs;
  std::vector<UniquePtr<X509_CRL>> crls;
  X509* root = nullptr;
  std::vector<X509*> untrusted;  // what both verifiers get as untrusted certificates
  X509* target = nullptr;
  unsigned long openssl_flags = 0;  // beside CRL checking for every certificate
  EVP_PKEY* key(PkiKeyType t) { return keys.emplace_back(test_support::pki_new_key(t)).get(); }
  X509* cert(X509* x) { return certs.emplace_back(x).get(); }
  X509_CRL* crl(X509_CRL* x) { return crls.emplace_back(x).get(); }
};

struct Tweak {
  PkiCertSpec inter = ca_spec("Intermediate", 2);
  // Signed by a stranger's key under the root's name and key identifier.
  bool forge_intermediate = false;
  bool inter_not_before_unreadable = false;
  PkiCertSpec leaf;
  bool damage_leaf = false;
  bool drop_intermediate = false;
  bool leaf_signs_victim = false;
  std::vector<long> revoked;
};

void build(World& w, PkiKeyType t, const Tweak& tw) {
  EVP_PKEY* rk = w.key(t);
  EVP_PKEY* ik = w.key(t);
  EVP_PKEY* lk = w.key(t);
  w.root = w.cert(test_support::pki_make_cert(rk, ca_spec("Root", 1), nullptr, rk));
  EVP_PKEY* inter_signer = tw.forge_intermediate ? w.key(t) : rk;
  X509* inter = w.cert(test_support::pki_make_cert(ik, tw.inter, w.root, inter_signer));
  if (tw.inter_not_before_unreadable &&
      (inter == nullptr || ASN1_STRING_set(X509_getm_notBefore(inter), "ZZ0101000000Z", -1) != 1 ||
       X509_sign(inter, inter_signer, EVP_sha256()) <= 0))
    return;  // no target: the row fails
  X509* leaf = w.cert(test_support::pki_make_cert(lk, tw.leaf, inter, ik));
  w.crl(test_support::pki_make_crl(w.root, rk, PkiCrlSpec{}));
  PkiCrlSpec s;
  s.revoked = tw.revoked;
  w.crl(test_support::pki_make_crl(inter, ik, s));
  if (!tw.drop_intermediate) w.untrusted.push_back(inter);
  w.target = tw.damage_leaf ? w.cert(test_support::pki_damaged_copy(leaf)) : leaf;
  if (tw.leaf_signs_victim) {
    PkiCertSpec v;
    v.common_name = "Victim";
    v.serial = 9;
    w.untrusted.push_back(leaf);
    w.crl(test_support::pki_make_crl(leaf, lk, PkiCrlSpec{}));
    w.target = w.cert(test_support::pki_make_cert(w.key(t), v, leaf, lk));
  }
}

// OpenSSL's verdict and error number.
std::pair<int, int> openssl_verdict(World& w) {
  ::X509_STORE* store = ::X509_STORE_new();
  ::X509_STORE_add_cert(store, w.root);
  for (auto& c : w.crls) ::X509_STORE_add_crl(store, c.get());
  ::X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL | w.openssl_flags);
  STACK_OF(X509)* chain = sk_X509_new_null();
  for (X509* x : w.untrusted) sk_X509_push(chain, x);
  ::X509_STORE_CTX* ctx = ::X509_STORE_CTX_new();
  ::X509_STORE_CTX_init(ctx, store, w.target, chain);
  const int ok = ::X509_verify_cert(ctx);
  const int err = ::X509_STORE_CTX_get_error(ctx);
  ::X509_STORE_CTX_free(ctx);
  sk_X509_free(chain);
  ::X509_STORE_free(store);
  ERR_clear_error();
  return {ok == 1 ? 1 : 0, err};
}

// Ours, with the root in the trusted look-up, the untrusted certificates and
// the CRLs in an untrusted one: the verdict and the first error that is not
// tolerated, from the certificate up.
std::pair<int, int> our_verdict(World& w) {
  UniquePtr<qcrypto::X509_STORE> store(qcrypto::X509_STORE_new());
  X509_LOOKUP* trusted = X509_STORE_add_lookup(store.get(), X509_LOOKUP_trusted(), "trusted", 1);
  X509_LOOKUP* extra = X509_STORE_add_lookup(store.get(), X509_LOOKUP_local_untrusted(), "extra", 0);
  X509_LOOKUP_add_cert(trusted, w.root);
  for (X509* x : w.untrusted) X509_LOOKUP_add_cert(extra, x);
  for (auto& c : w.crls) X509_LOOKUP_add_crl(extra, c.get());
  UniquePtr<CERT> record(CERT_split(w.target));
  if (!record) return {-1, -1};
  const int valid = CERT_verify_store(record.get(), store.get(), kVerifyDefaultFlags, nullptr);
  int first = 0;
  for (CERT* r = record.get(); r != nullptr && first == 0; r = r->issuer_record)
    for (int i = 0; i < sk_X509_VERIFY_ERROR_num(r->errors) && first == 0; ++i)
      if (sk_X509_VERIFY_ERROR_value(r->errors, i)->tolerated == 0)
        first = sk_X509_VERIFY_ERROR_value(r->errors, i)->error;
  return {valid, first};
}

struct Row {
  const char* name;
  std::function<Tweak()> tweak;
};

Tweak plain() {
  Tweak t;
  t.leaf.common_name = "Leaf";
  t.leaf.serial = 100;
  return t;
}

class AgainstOpenSsl : public store_test::ProviderTest, public ::testing::WithParamInterface<PkiKeyType> {};

TEST_P(AgainstOpenSsl, SameVerdictAndErrorNumber) {
  const Row rows[] = {
      {"valid", [] { return plain(); }},
      {"expired",
       [] {
         Tweak t = plain();
         t.leaf.not_before = -10 * kDay;
         t.leaf.not_after = -kDay;
         return t;
       }},
      {"not yet valid",
       [] {
         Tweak t = plain();
         t.leaf.not_before = kDay;
         return t;
       }},
      {"revoked",
       [] {
         Tweak t = plain();
         t.revoked = {100};
         return t;
       }},
      {"revoked other serial",
       [] {
         Tweak t = plain();
         t.revoked = {101, 7};
         return t;
       }},
      {"bad signature",
       [] {
         Tweak t = plain();
         t.damage_leaf = true;
         return t;
       }},
      {"missing issuer",
       [] {
         Tweak t = plain();
         t.drop_intermediate = true;
         return t;
       }},
      {"end-entity certificate as issuer",
       [] {
         Tweak t = plain();
         t.leaf_signs_victim = true;
         return t;
       }},
      {"version 3 intermediate without basicConstraints or keyUsage",
       [] {
         Tweak t = plain();
         t.inter.basic_constraints = test_support::PkiBasicConstraints::kAbsent;
         t.inter.key_usage = test_support::PkiKeyUsage::kAbsent;
         return t;
       }},
      {"forged intermediate under the root's name",
       [] {
         Tweak t = plain();
         t.forge_intermediate = true;
         return t;
       }},
      {"forged intermediate whose notBefore is no time",
       [] {
         Tweak t = plain();
         t.forge_intermediate = true;
         t.inter_not_before_unreadable = true;
         return t;
       }},
  };
  int agreeing_failures = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    World w;
    build(w, GetParam(), row.tweak());
    ASSERT_NE(w.target, nullptr);
    const auto theirs = openssl_verdict(w);
    const auto ours = our_verdict(w);
    EXPECT_EQ(ours.first, theirs.first);
    EXPECT_EQ(ours.second, theirs.second);
    if (theirs.first == 0) ++agreeing_failures;
  }
  EXPECT_EQ(agreeing_failures, 9);  // every row but the two valid ones fails for both
}

INSTANTIATE_TEST_SUITE_P(Keys, AgainstOpenSsl, ::testing::Values(PkiKeyType::kRsa, PkiKeyType::kEcdsaP256));

// CRLs that must not decide a certificate's status beside an older complete
// one that revokes it, and in-scope CRLs that must.
namespace crl_scope {

using store_test::CrlShape;
using store_test::idp;
using store_test::kDeltaIndicator;
using store_test::kLeafPointA;
using store_test::kUnknownCritical;

struct ScopeRow {
  const char* name;
  std::vector<CrlShape> inter_crls;
  std::vector<CrlShape> root_crls;  // none: one clean CRL
  std::string leaf_config;          // extensions added to the leaf
  unsigned long openssl_flags;
  int error;          // our first error not tolerated
  int openssl_error;  // theirs
};

const CrlShape kCompleteRevokingLeaf = CrlShape().lists({100}).dated(-2 * kDay);

const std::vector<ScopeRow>& rows() {
  static const std::vector<ScopeRow> table = {
      {"DeltaCrl",
       {kCompleteRevokingLeaf, CrlShape().with_raw({kDeltaIndicator})},
       {},
       "",
       X509_V_FLAG_EXTENDED_CRL_SUPPORT,
       23,
       23},
      {"IdpCaOnly", {kCompleteRevokingLeaf, CrlShape().with(idp("onlyCA = TRUE\n"))}, {}, "", 0, 23, 23},
      {"IdpUserOnlyLeavesIntermediateOut",
       {CrlShape()},
       {CrlShape().lists({2}).dated(-2 * kDay), CrlShape().with(idp("onlyuser = TRUE\n"))},
       "",
       0,
       23,
       23},
      {"IdpUserOnlyCoversLeaf", {CrlShape().lists({100}).with(idp("onlyuser = TRUE\n"))}, {}, "", 0, 23, 23},
      {"IdpAttributeCertsOnly", {kCompleteRevokingLeaf, CrlShape().with(idp("onlyAA = TRUE\n"))}, {}, "", 0, 23, 23},
      {"IdpSomeReasonsOnly",
       {kCompleteRevokingLeaf, CrlShape().with(idp("onlysomereasons = keyCompromise\n"))},
       {},
       "",
       0,
       23,
       23},
      {"IdpIndirectCrl", {kCompleteRevokingLeaf, CrlShape().with(idp("indirectCRL = TRUE\n"))}, {}, "", 0, 23, 23},
      {"IdpOtherDistributionPoint",
       {kCompleteRevokingLeaf, CrlShape().with(idp("fullname = URI:http://crl.test.ru/b.crl\n"))},
       {},
       kLeafPointA,
       0,
       23,
       23},
      {"IdpSameDistributionPoint",
       {CrlShape().dated(-2 * kDay), CrlShape().lists({100}).with(idp("fullname = URI:http://crl.test.ru/a.crl\n"))},
       {},
       kLeafPointA,
       0,
       23,
       23},
      {"CriticalCrlExtension", {kCompleteRevokingLeaf, CrlShape().with_raw({kUnknownCritical})}, {}, "", 0, 23, 23},
      {"CriticalEntryExtensionOnOtherEntry",
       {kCompleteRevokingLeaf, CrlShape().lists({7}).with_on_entry({kUnknownCritical})},
       {},
       "",
       0,
       23,
       23},
      {"NewerCrlBadSignature", {kCompleteRevokingLeaf, CrlShape().damaged()}, {}, "", 0, 23, 8},
  };
  return table;
}

void build(World& w, PkiKeyType t, const ScopeRow& row) {
  EVP_PKEY* rk = w.key(t);
  EVP_PKEY* ik = w.key(t);
  EVP_PKEY* lk = w.key(t);
  w.root = w.cert(test_support::pki_make_cert(rk, ca_spec("Root", 1), nullptr, rk));
  X509* inter = w.cert(test_support::pki_make_cert(ik, ca_spec("Intermediate", 2), w.root, rk));
  X509* leaf = w.cert(test_support::pki_make_cert(lk, store_test::leaf_spec("Leaf", 100), inter, ik));
  ASSERT_NE(leaf, nullptr);
  if (!row.leaf_config.empty()) {
    ASSERT_TRUE(test_support::gost_add_extensions(leaf, inter, ik, row.leaf_config, "ext"));
  }
  const std::vector<CrlShape> root_crls = row.root_crls.empty() ? std::vector<CrlShape>{CrlShape()} : row.root_crls;
  for (const CrlShape& s : root_crls) ASSERT_NE(w.crl(store_test::make_shaped_crl(w.root, rk, s)), nullptr);
  for (const CrlShape& s : row.inter_crls) ASSERT_NE(w.crl(store_test::make_shaped_crl(inter, ik, s)), nullptr);
  w.untrusted.push_back(inter);
  w.target = leaf;
  w.openssl_flags = row.openssl_flags;
}

}  // namespace crl_scope

class VerifyCrlScopeAgainstOpenSsl : public store_test::ProviderTest,
                                     public ::testing::WithParamInterface<std::tuple<size_t, PkiKeyType>> {};

TEST_P(VerifyCrlScopeAgainstOpenSsl, SameVerdict) {
  const crl_scope::ScopeRow& row = crl_scope::rows()[std::get<0>(GetParam())];
  World w;
  crl_scope::build(w, std::get<1>(GetParam()), row);
  ASSERT_NE(w.target, nullptr);
  const auto theirs = openssl_verdict(w);
  const auto ours = our_verdict(w);
  EXPECT_EQ(ours, std::make_pair(row.error == 0 ? 1 : 0, row.error));
  EXPECT_EQ(theirs, std::make_pair(row.openssl_error == 0 ? 1 : 0, row.openssl_error));
}

INSTANTIATE_TEST_SUITE_P(Keys, VerifyCrlScopeAgainstOpenSsl,
                         ::testing::Combine(::testing::Range<size_t>(0, crl_scope::rows().size()),
                                            ::testing::Values(PkiKeyType::kRsa, PkiKeyType::kEcdsaP256)),
                         [](const ::testing::TestParamInfo<std::tuple<size_t, PkiKeyType>>& p) {
                           return std::string(crl_scope::rows()[std::get<0>(p.param)].name) +
                                  (std::get<1>(p.param) == PkiKeyType::kRsa ? "_Rsa" : "_EcdsaP256");
                         });

}  // namespace
}  // namespace qcrypto
