// GOST keys through the provider: key management facts OpenSSL relies on,
// signatures made through EVP checked with the direct calls and the other way
// round, for both key types.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "crypto/bn/bn_owner.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/ecgost/ecdh.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/evp/objects.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/r3410/r3410.h"
#include "crypto/rand/rand.h"
#include "crypto/rus/gost3411.h"
#include "tests/support/provider_fixture.h"

namespace qcrypto {
namespace {

using Bytes = std::vector<unsigned char>;

using test_support::kSystemRand;

Bytes random_bytes(size_t n) {
  Bytes b(n);
  EXPECT_EQ(test_support::kernel_random_bytes(b.data(), static_cast<int>(n)), static_cast<int>(n));
  return b;
}

template <class T>
using Ptr = UniquePtr<T>;

BIGNUM* random_below(const BIGNUM* q) {
  BIGNUM* v = BN_new();
  do {
    const Bytes b = random_bytes(static_cast<size_t>(BN_num_bytes(q)));
    BN_bin2bn(b.data(), static_cast<int>(b.size()), v);
    BN_mask_bits(v, BN_num_bits(q));
  } while (BN_is_zero(v) || BN_cmp(v, q) >= 0);
  return v;
}

// A GOST R 34.10-94 key pair on the built-in parameters.
Ptr<R3410> make_r3410() {
  Ptr<R3410> k(GOSTS_new());
  EXPECT_EQ(R3410_default_params(k.get()), 1);
  k->x = random_below(k->q);
  EXPECT_EQ(R3410_generate_pubkey(k.get()), 1);
  return k;
}

// A GOST R 34.10-2001 key pair on the built-in curve.
Ptr<ECGOST> make_ecgost() {
  Ptr<ECGOST> k(ECGOST_new(nullptr));
  BN_free(k->d);
  k->d = random_below(k->curve->q);
  EXPECT_EQ(ECGOST_generate_pubkey(k.get()), 1);
  return k;
}

Bytes gost_hash(const Bytes& m) {
  Bytes d(32);
  EXPECT_NE(GOSTH_digest(m.data(), static_cast<int>(m.size()), nullptr, nullptr, d.data()), nullptr);
  return d;
}

// One key of each type, with its direct verification and signing.
struct KeyCase {
  const char* type_name;
  int sig_number;
  Ptr<EVP_PKEY> pkey;
  std::function<int(const Bytes& digest, const Bytes& sig)> direct_verify;
  std::function<Bytes(const Bytes& digest)> direct_sign;
};

class ProviderKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    RAND_set_rand_method(&kSystemRand);
    ASSERT_EQ(evp_provider_start(), 1);
    r3410_ = make_r3410();
    ecgost_ = make_ecgost();
    R3410* r = r3410_.get();
    ECGOST* e = ecgost_.get();
    cases_.push_back({"R3410", SYSOBJ_R3410_R3411, Ptr<EVP_PKEY>(evp_pkey_from_r3410(r)),
                      [r](const Bytes& d, const Bytes& s) {
                        return R3410_verify(1, r, d.data(), 32, s.data(), static_cast<int>(s.size()));
                      },
                      [r](const Bytes& d) {
                        Bytes s(static_cast<size_t>(R3410_size(r)));
                        unsigned len = 0;
                        EXPECT_EQ(R3410_sign(1, r, d.data(), 32, s.data(), &len), 1);
                        s.resize(len);
                        return s;
                      }});
    cases_.push_back({"ECR3410", SYSOBJ_ECR3410_R3411, Ptr<EVP_PKEY>(evp_pkey_from_ecgost(e)),
                      [e](const Bytes& d, const Bytes& s) {
                        return ECGOST_verify_digest(1, e, d.data(), 32, s.data(), static_cast<int>(s.size()));
                      },
                      [e](const Bytes& d) {
                        Bytes s(static_cast<size_t>(ECGOST_size(e)));
                        unsigned len = 0;
                        EXPECT_EQ(ECGOST_sign_digest(1, e, d.data(), 32, s.data(), &len), 1);
                        s.resize(len);
                        return s;
                      }});
    for (auto& c : cases_) ASSERT_NE(c.pkey, nullptr) << c.type_name;
  }
  void TearDown() override { RAND_set_rand_method(nullptr); }

  Ptr<R3410> r3410_;
  Ptr<ECGOST> ecgost_;
  std::vector<KeyCase> cases_;
};

Bytes evp_sign(EVP_PKEY* pkey, const char* mdname, const Bytes& msg) {
  Ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (EVP_DigestSignInit_ex(ctx.get(), nullptr, mdname, nullptr, nullptr, pkey, nullptr) != 1) return {};
  // Two updates, then the size query and the signature.
  const size_t cut = msg.size() / 3;
  EXPECT_EQ(EVP_DigestSignUpdate(ctx.get(), msg.data(), cut), 1);
  EXPECT_EQ(EVP_DigestSignUpdate(ctx.get(), msg.data() + cut, msg.size() - cut), 1);
  size_t len = 0;
  EXPECT_EQ(EVP_DigestSignFinal(ctx.get(), nullptr, &len), 1);
  Bytes sig(len);
  if (EVP_DigestSignFinal(ctx.get(), sig.data(), &len) != 1) return {};
  sig.resize(len);
  return sig;
}

int evp_verify(EVP_PKEY* pkey, const Bytes& msg, const Bytes& sig) {
  Ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (EVP_DigestVerifyInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, pkey, nullptr) != 1) return -1;
  return EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), msg.data(), msg.size());
}

TEST_F(ProviderKeys, KeyManagementAnswersWhatOpenSslAsks) {
  for (auto& c : cases_) {
    SCOPED_TRACE(c.type_name);
    EVP_PKEY* pkey = c.pkey.get();
    EXPECT_TRUE(EVP_PKEY_is_a(pkey, c.type_name));
    EXPECT_TRUE(EVP_PKEY_is_a(pkey, sysobj_find(EVP_PKEY_type(c.sig_number))->oid));
    EXPECT_EQ(EVP_PKEY_get_id(pkey), -1);  // provider keys have no legacy id
    // Size of the longest DER signature, as the record says.
    const int expected = std::string(c.type_name) == "R3410" ? R3410_size(r3410_.get()) : ECGOST_size(ecgost_.get());
    EXPECT_GT(expected, 0);
    EXPECT_EQ(EVP_PKEY_get_size(pkey), expected);
    EXPECT_GT(EVP_PKEY_get_bits(pkey), 0);
    // Domain parameters, public and private parts are all there.
    EXPECT_EQ(EVP_PKEY_parameters_eq(pkey, pkey), 1);
    EXPECT_EQ(EVP_PKEY_eq(pkey, pkey), 1);
  }
  // No copies: the EVP key carries the very records.
  EXPECT_EQ(evp_pkey_get0_r3410(cases_[0].pkey.get()), r3410_.get());
  EXPECT_EQ(evp_pkey_get0_ecgost(cases_[1].pkey.get()), ecgost_.get());
  EXPECT_EQ(evp_pkey_get0_ecgost(cases_[0].pkey.get()), nullptr);
  EXPECT_EQ(evp_pkey_get0_r3410(cases_[1].pkey.get()), nullptr);
  // Two different keys of one type are not equal; keys of different types neither.
  Ptr<ECGOST> other = make_ecgost();
  Ptr<EVP_PKEY> other_pkey(evp_pkey_from_ecgost(other.get()));
  ASSERT_NE(other_pkey, nullptr);
  EXPECT_NE(EVP_PKEY_eq(cases_[1].pkey.get(), other_pkey.get()), 1);
  EXPECT_EQ(EVP_PKEY_parameters_eq(cases_[1].pkey.get(), other_pkey.get()), 1);  // same curve
  EXPECT_NE(EVP_PKEY_eq(cases_[0].pkey.get(), cases_[1].pkey.get()), 1);
}

TEST_F(ProviderKeys, KeysLiveAsLongAsTheirEvpKey) {
  Ptr<R3410> k = make_r3410();
  R3410* raw = k.get();
  Ptr<EVP_PKEY> pkey(evp_pkey_from_r3410(raw));
  ASSERT_NE(pkey, nullptr);
  k.reset();  // the EVP key still holds its reference
  const Bytes msg = random_bytes(100);
  const Bytes sig = evp_sign(pkey.get(), nullptr, msg);
  ASSERT_FALSE(sig.empty());
  EXPECT_EQ(R3410_verify(1, evp_pkey_get0_r3410(pkey.get()), gost_hash(msg).data(), 32, sig.data(),
                         static_cast<int>(sig.size())),
            1);
  // A public key alone gives a public EVP key that verifies but cannot sign.
  Ptr<R3410> pub(GOSTS_new());
  ASSERT_EQ(R3410_default_params(pub.get()), 1);
  pub->y = BN_dup(evp_pkey_get0_r3410(pkey.get())->y);
  Ptr<EVP_PKEY> pub_pkey(evp_pkey_from_r3410(pub.get()));
  ASSERT_NE(pub_pkey, nullptr);
  EXPECT_EQ(evp_verify(pub_pkey.get(), msg, sig), 1);
  ERR_set_mark();
  EXPECT_TRUE(evp_sign(pub_pkey.get(), nullptr, msg).empty());
  ERR_pop_to_mark();
  EXPECT_EQ(EVP_PKEY_eq(pub_pkey.get(), pkey.get()), 1);
}

TEST_F(ProviderKeys, EvpSignaturesVerifyDirectlyAndDirectOnesThroughEvp) {
  for (auto& c : cases_) {
    for (const char* mdname : {static_cast<const char*>(nullptr), "RUS-HASH", "ECR3410-R3411", "r3411"}) {
      for (size_t n : {size_t{0}, size_t{1}, size_t{32}, size_t{1000}}) {
        SCOPED_TRACE(testing::Message() << c.type_name << " digest " << (mdname ? mdname : "(none)") << " length "
                                        << n);
        const Bytes msg = random_bytes(n);
        const Bytes sig = evp_sign(c.pkey.get(), mdname, msg);
        ASSERT_FALSE(sig.empty());
        EXPECT_EQ(c.direct_verify(gost_hash(msg), sig), 1);
        EXPECT_EQ(evp_verify(c.pkey.get(), msg, sig), 1);
        // The other way: a direct signature verifies through EVP.
        EXPECT_EQ(evp_verify(c.pkey.get(), msg, c.direct_sign(gost_hash(msg))), 1);
        // A flipped bit in the signature or in the message is refused.
        Bytes bad_sig = sig;
        bad_sig[random_bytes(1)[0] % bad_sig.size()] ^= static_cast<unsigned char>(1u << (random_bytes(1)[0] % 8));
        EXPECT_NE(evp_verify(c.pkey.get(), msg, bad_sig), 1);
        Bytes bad_msg = msg;
        bad_msg.push_back(0);
        EXPECT_NE(evp_verify(c.pkey.get(), bad_msg, sig), 1);
        ERR_clear_error();
      }
    }
  }
}

TEST_F(ProviderKeys, ReadyDigestSignsThroughPkeySign) {
  for (auto& c : cases_) {
    SCOPED_TRACE(c.type_name);
    const Bytes digest = gost_hash(random_bytes(64));
    Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, c.pkey.get(), qcrypto::evp_provider_query()));
    ASSERT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
    size_t len = 0;
    ASSERT_EQ(EVP_PKEY_sign(ctx.get(), nullptr, &len, digest.data(), digest.size()), 1);
    Bytes sig(len);
    // A buffer smaller than the largest signature is refused, not overrun.
    size_t short_len = len - 1;
    ERR_set_mark();
    EXPECT_NE(EVP_PKEY_sign(ctx.get(), sig.data(), &short_len, digest.data(), digest.size()), 1);
    ERR_pop_to_mark();
    ASSERT_EQ(EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size()), 1);
    sig.resize(len);
    EXPECT_EQ(c.direct_verify(digest, sig), 1);
    ASSERT_EQ(EVP_PKEY_verify_init(ctx.get()), 1);
    EXPECT_EQ(EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), digest.data(), digest.size()), 1);
    Bytes other = digest;
    other[0] ^= 1;
    EXPECT_NE(EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), other.data(), other.size()), 1);
  }
}

TEST_F(ProviderKeys, SignatureContextGivesAlgorithmIdAndDuplicates) {
  for (auto& c : cases_) {
    SCOPED_TRACE(c.type_name);
    Ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    ASSERT_EQ(EVP_DigestSignInit_ex(ctx.get(), &pctx, nullptr, nullptr, nullptr, c.pkey.get(), nullptr), 1);
    unsigned char aid[128];
    OSSL_PARAM params[] = {OSSL_PARAM_octet_string(OSSL_SIGNATURE_PARAM_ALGORITHM_ID, aid, sizeof aid), OSSL_PARAM_END};
    ASSERT_EQ(EVP_PKEY_CTX_get_params(pctx, params), 1);
    const unsigned char* p = aid;
    Ptr<X509_ALGOR> alg(d2i_X509_ALGOR(nullptr, &p, static_cast<long>(params[0].return_size)));
    ASSERT_NE(alg, nullptr);
    const ASN1_OBJECT* oid = nullptr;
    int ptype = 0;
    X509_ALGOR_get0(&oid, &ptype, nullptr, alg.get());
    EXPECT_EQ(OBJ_obj2nid(oid), sysobj_nid(c.sig_number));
    EXPECT_EQ(ptype, V_ASN1_NULL);

    // A context copied mid-message signs its own continuation.
    const Bytes head = random_bytes(40), tail_a = random_bytes(7), tail_b = random_bytes(9);
    ASSERT_EQ(EVP_DigestSignUpdate(ctx.get(), head.data(), head.size()), 1);
    Ptr<EVP_MD_CTX> copy(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_MD_CTX_copy_ex(copy.get(), ctx.get()), 1);
    ASSERT_EQ(EVP_DigestSignUpdate(ctx.get(), tail_a.data(), tail_a.size()), 1);
    ASSERT_EQ(EVP_DigestSignUpdate(copy.get(), tail_b.data(), tail_b.size()), 1);
    Bytes sa(256), sb(256);
    size_t la = sa.size(), lb = sb.size();
    ASSERT_EQ(EVP_DigestSignFinal(ctx.get(), sa.data(), &la), 1);
    ASSERT_EQ(EVP_DigestSignFinal(copy.get(), sb.data(), &lb), 1);
    sa.resize(la);
    sb.resize(lb);
    Bytes ma = head, mb = head;
    ma.insert(ma.end(), tail_a.begin(), tail_a.end());
    mb.insert(mb.end(), tail_b.begin(), tail_b.end());
    EXPECT_EQ(c.direct_verify(gost_hash(ma), sa), 1);
    EXPECT_EQ(c.direct_verify(gost_hash(mb), sb), 1);
  }
}

// A key whose signing is done by an outside provider that cannot sign (no
// provider library is reachable from this test): EVP reports a failure, never
// a signature. The provider's own failure modes are covered with its
// stand-in in tests/crypto/capi.
TEST_F(ProviderKeys, OutsideSignerFailureIsNeverASignature) {
  Ptr<R3410> k = make_r3410();
  int token = 0;
  k->provider = &token;
  Ptr<EVP_PKEY> pkey(evp_pkey_from_r3410(k.get()));
  ASSERT_NE(pkey, nullptr);
  const Bytes msg = random_bytes(20);
  Ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  ASSERT_EQ(EVP_DigestSignInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, pkey.get(), nullptr), 1);
  Bytes sig(static_cast<size_t>(EVP_PKEY_get_size(pkey.get())), 0x5a);
  size_t len = sig.size();
  ERR_set_mark();
  EXPECT_NE(EVP_DigestSign(ctx.get(), sig.data(), &len, msg.data(), msg.size()), 1);
  ERR_pop_to_mark();
  k->provider = nullptr;
}

TEST_F(ProviderKeys, OnlyGostDigestsGoWithGostKeys) {
  for (auto& c : cases_) {
    ERR_set_mark();
    EXPECT_TRUE(evp_sign(c.pkey.get(), "SHA256", random_bytes(10)).empty()) << c.type_name;
    ERR_pop_to_mark();
  }
}

Bytes evp_derive(EVP_PKEY* own, EVP_PKEY* peer) {
  Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, own, qcrypto::evp_provider_query()));
  if (EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer) != 1) return {};
  size_t len = 0;
  if (EVP_PKEY_derive(ctx.get(), nullptr, &len) != 1) return {};
  Bytes out(len);
  if (EVP_PKEY_derive(ctx.get(), out.data(), &len) != 1) return {};
  out.resize(len);
  return out;
}

TEST_F(ProviderKeys, KeyAgreementGivesBothSidesTheDirectValue) {
  // GOST R 34.10-94: y_peer^x mod p.
  Ptr<R3410> b = make_r3410();
  Ptr<EVP_PKEY> pb(evp_pkey_from_r3410(b.get()));
  const Bytes ab = evp_derive(cases_[0].pkey.get(), pb.get());
  ASSERT_FALSE(ab.empty());
  EXPECT_EQ(evp_derive(pb.get(), cases_[0].pkey.get()), ab);
  Ptr<BIGNUM> expected(BN_new());
  BN_CTX* bn = BN_CTX_new();
  ASSERT_EQ(BN_mod_exp(expected.get(), b->y, r3410_->x, r3410_->p, bn), 1);
  BN_CTX_free(bn);
  Bytes direct(static_cast<size_t>(BN_num_bytes(expected.get())));
  BN_bn2bin(expected.get(), direct.data());
  EXPECT_EQ(ab, direct);

  // GOST R 34.10-2001: the x coordinate of the ECDH product, as the direct call gives it.
  Ptr<ECGOST> e = make_ecgost();
  Ptr<EVP_PKEY> pe(evp_pkey_from_ecgost(e.get()));
  const Bytes ae = evp_derive(cases_[1].pkey.get(), pe.get());
  ASSERT_FALSE(ae.empty());
  EXPECT_EQ(evp_derive(pe.get(), cases_[1].pkey.get()), ae);
  ECDH* ecdh = ECGOST_to_ECDH(ecgost_.get());
  ASSERT_NE(ecdh, nullptr);
  ASSERT_EQ(ECDH_compute_key(e->Q, ecdh), 1);
  Bytes edirect(static_cast<size_t>(ECDH_size(ecdh)));
  BN_bn2binpad(ecdh->shared, edirect.data(), static_cast<int>(edirect.size()));
  ECDH_free(ecdh);
  EXPECT_EQ(ae, edirect);
}

TEST_F(ProviderKeys, KeyAgreementRefusesAPeerOutsideTheGroup) {
  // p - 1 has order 2, outside the subgroup of order q; 1 is trivial.
  for (int which = 0; which < 2; ++which) {
    Ptr<R3410> bad(GOSTS_new());
    ASSERT_EQ(R3410_default_params(bad.get()), 1);
    bad->y = BN_dup(bad->p);
    if (which == 0) {
      BN_sub_word(bad->y, 1);
    } else {
      BN_one(bad->y);
    }
    Ptr<EVP_PKEY> pbad(evp_pkey_from_r3410(bad.get()));
    ASSERT_NE(pbad, nullptr);
    ERR_set_mark();
    EXPECT_TRUE(evp_derive(cases_[0].pkey.get(), pbad.get()).empty()) << which;
    ERR_pop_to_mark();
  }
  // A key of the other type is not a peer.
  ERR_set_mark();
  EXPECT_TRUE(evp_derive(cases_[0].pkey.get(), cases_[1].pkey.get()).empty());
  ERR_pop_to_mark();
}

}  // namespace
}  // namespace qcrypto
