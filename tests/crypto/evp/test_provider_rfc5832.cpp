// GOST R 34.10-2001 through the provider on the test curve of RFC 5832: the
// example's exact signature through EVP_PKEY_sign, and signatures of messages
// made with EVP_DigestSign checked by the direct call and by libgcrypt.
#include <gcrypt.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "crypto/bn/bn_owner.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/rus/gost3411.h"
#include "tests/crypto/ecgost/ecgost_test_util.h"
#include "tests/support/gcrypt_owners.h"

namespace qcrypto {
namespace {

using namespace ecgost_testing;

template <class T>
using Ptr = UniquePtr<T>;
using Sexp = UniquePtr<gcry_sexp>;

class ProviderRfc5832 : public ::testing::Test {
 protected:
  void SetUp() override {
    v_ = ReadVectorFile("gost3410-2001_rfc5832_example.txt");
    ASSERT_FALSE(v_["d"].empty()) << "vector file not found";
    curve_ = LoadCurve(&ECURVE_DEF_2_255_431, ECURVE_AFFINE);
    ASSERT_NE(curve_, nullptr);
    key_ = MakeKey(curve_.get(), Hex(v_["d"]).get());
    ASSERT_NE(key_, nullptr);
    ASSERT_EQ(ToHex(key_->Q->X), v_["Qx"]);
    pkey_.reset(evp_pkey_from_ecgost(key_.get()));
    ASSERT_NE(pkey_, nullptr);
  }
  std::map<std::string, std::string> v_;
  CurvePtr curve_;
  KeyPtr key_;
  Ptr<EVP_PKEY> pkey_;
};

SigPtr decode(const std::vector<unsigned char>& der) {
  const unsigned char* p = der.data();
  return SigPtr(d2i_ECGOST_SIG(nullptr, &p, static_cast<long>(der.size())));
}

TEST_F(ProviderRfc5832, FedNonceGivesTheExampleSignatureThroughEvp) {
  const auto e = Bytes(v_["e"]);
  FixedRandom rand(Bytes(v_["k"]));
  Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey_.get(), qcrypto::evp_provider_query()));
  ASSERT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
  std::vector<unsigned char> sig(static_cast<size_t>(EVP_PKEY_get_size(pkey_.get())));
  size_t len = sig.size();
  ASSERT_EQ(EVP_PKEY_sign(ctx.get(), sig.data(), &len, e.data(), e.size()), 1);
  sig.resize(len);
  SigPtr rs = decode(sig);
  ASSERT_NE(rs, nullptr);
  EXPECT_EQ(ToHex(rs->r), v_["r"]);
  EXPECT_EQ(ToHex(rs->s), v_["s"]);
}

TEST_F(ProviderRfc5832, EvpSignaturesVerifyDirectlyAndInLibgcrypt) {
  static const bool gcrypt_ready = [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  ASSERT_TRUE(gcrypt_ready);
  SystemRandom rand;
  std::vector<unsigned char> q{0x04};
  for (const BIGNUM* c : {key_->Q->X, key_->Q->Y}) {
    auto f = Fixed(c, 32);
    q.insert(q.end(), f.begin(), f.end());
  }
  gcry_sexp_t s = nullptr;
  ASSERT_EQ(gcry_sexp_build(&s, nullptr, "(public-key (ecc (curve GOST2001-test) (q %b)))", static_cast<int>(q.size()),
                            q.data()),
            0);
  Sexp pub(s);
  for (int i = 0; i < 8; ++i) {
    const auto msg = RandomBytes(17 * static_cast<size_t>(i));
    Ptr<EVP_MD_CTX> md(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestSignInit_ex(md.get(), nullptr, nullptr, nullptr, nullptr, pkey_.get(), nullptr), 1);
    size_t len = 0;
    ASSERT_EQ(EVP_DigestSign(md.get(), nullptr, &len, msg.data(), msg.size()), 1);
    std::vector<unsigned char> sig(len);
    ASSERT_EQ(EVP_DigestSign(md.get(), sig.data(), &len, msg.data(), msg.size()), 1);
    sig.resize(len);

    std::vector<unsigned char> digest(32);
    ASSERT_NE(GOSTH_digest(msg.data(), static_cast<int>(msg.size()), nullptr, nullptr, digest.data()), nullptr);
    EXPECT_EQ(ECGOST_verify_digest(1, key_.get(), digest.data(), 32, sig.data(), static_cast<int>(sig.size())), 1) << i;

    SigPtr rs = decode(sig);
    ASSERT_NE(rs, nullptr);
    const auto r = Fixed(rs->r, 32), sv = Fixed(rs->s, 32);
    ASSERT_EQ(gcry_sexp_build(&s, nullptr, "(sig-val (gost (r %b) (s %b)))", 32, r.data(), 32, sv.data()), 0);
    Sexp sigval(s);
    ASSERT_EQ(gcry_sexp_build(&s, nullptr, "(data (flags gost) (value %b))", 32, digest.data()), 0);
    Sexp data(s);
    EXPECT_EQ(gcry_err_code(gcry_pk_verify(sigval.get(), data.get(), pub.get())), GPG_ERR_NO_ERROR) << i;
    // libgcrypt refuses the same signature over a different digest.
    digest[31] ^= 1;
    ASSERT_EQ(gcry_sexp_build(&s, nullptr, "(data (flags gost) (value %b))", 32, digest.data()), 0);
    Sexp other(s);
    EXPECT_EQ(gcry_err_code(gcry_pk_verify(sigval.get(), other.get(), pub.get())), GPG_ERR_BAD_SIGNATURE) << i;
  }
}

}  // namespace
}  // namespace qcrypto
