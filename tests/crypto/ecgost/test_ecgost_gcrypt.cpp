// Differential test against libgcrypt's GOST R 34.10-2001: signatures made
// here verify there and the other way round, over random keys and digests.
// Both read the digest as a big-endian number and keep r and s apart.
#include <gcrypt.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/crypto/ecgost/ecgost_test_util.h"
#include "tests/support/gcrypt_owners.h"

namespace qcrypto {
namespace {

using namespace ecgost_testing;

constexpr int kIterations = 12;

using SexpPtr = UniquePtr<gcry_sexp>;

void InitGcrypt() {
  static bool done = [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)done;
}

std::vector<unsigned char> Uncompressed(const ECGOST* key) {
  std::vector<unsigned char> out{0x04};
  auto x = Fixed(key->Q->X, 32);
  auto y = Fixed(key->Q->Y, 32);
  out.insert(out.end(), x.begin(), x.end());
  out.insert(out.end(), y.begin(), y.end());
  return out;
}

SexpPtr PublicKey(const char* curve, const ECGOST* key) {
  auto q = Uncompressed(key);
  gcry_sexp_t s = nullptr;
  EXPECT_EQ(
      gcry_sexp_build(&s, nullptr, "(public-key (ecc (curve %s) (q %b)))", curve, static_cast<int>(q.size()), q.data()),
      0);
  return SexpPtr(s);
}

SexpPtr PrivateKey(const char* curve, const ECGOST* key) {
  auto q = Uncompressed(key);
  auto d = Fixed(key->d, 32);
  gcry_sexp_t s = nullptr;
  EXPECT_EQ(gcry_sexp_build(&s, nullptr, "(private-key (ecc (curve %s) (q %b) (d %b)))", curve,
                            static_cast<int>(q.size()), q.data(), static_cast<int>(d.size()), d.data()),
            0);
  return SexpPtr(s);
}

SexpPtr Data(const std::vector<unsigned char>& digest) {
  gcry_sexp_t s = nullptr;
  EXPECT_EQ(
      gcry_sexp_build(&s, nullptr, "(data (flags gost) (value %b))", static_cast<int>(digest.size()), digest.data()),
      0);
  return SexpPtr(s);
}

SexpPtr SigVal(const ECGOST_SIG* sig) {
  auto r = Fixed(sig->r, 32);
  auto s = Fixed(sig->s, 32);
  gcry_sexp_t out = nullptr;
  EXPECT_EQ(gcry_sexp_build(&out, nullptr, "(sig-val (gost (r %b) (s %b)))", 32, r.data(), 32, s.data()), 0);
  return SexpPtr(out);
}

BnPtr Token(gcry_sexp_t sexp, const char* name) {
  gcry_sexp_t t = gcry_sexp_find_token(sexp, name, 0);
  if (t == nullptr) return BnPtr();
  size_t len = 0;
  const char* data = gcry_sexp_nth_data(t, 1, &len);
  BnPtr v(BN_bin2bn(reinterpret_cast<const unsigned char*>(data), static_cast<int>(len), nullptr));
  gcry_sexp_release(t);
  return v;
}

// libgcrypt's own k * G for a public-point cross-check.
BnPtr GcryptPublicX(const char* curve, const BIGNUM* d) {
  gcry_ctx_t ctx = nullptr;
  if (gcry_mpi_ec_new(&ctx, nullptr, curve) != 0) return BnPtr();
  auto bytes = Fixed(d, 32);
  gcry_mpi_t k = nullptr;
  gcry_mpi_scan(&k, GCRYMPI_FMT_USG, bytes.data(), bytes.size(), nullptr);
  gcry_mpi_point_t g = gcry_mpi_ec_get_point("g", ctx, 1);
  gcry_mpi_point_t r = gcry_mpi_point_new(0);
  gcry_mpi_ec_mul(r, k, g, ctx);
  gcry_mpi_t x = gcry_mpi_new(0);
  BnPtr out;
  if (gcry_mpi_ec_get_affine(x, nullptr, r, ctx) == 0) {
    unsigned char buf[64];
    size_t n = 0;
    gcry_mpi_print(GCRYMPI_FMT_USG, buf, sizeof buf, &n, x);
    out.reset(BN_bin2bn(buf, static_cast<int>(n), nullptr));
  }
  gcry_mpi_release(x);
  gcry_mpi_point_release(r);
  gcry_mpi_point_release(g);
  gcry_mpi_release(k);
  gcry_ctx_release(ctx);
  return out;
}

struct CurveCase {
  const ECURVE_DEF* def;
  const char* gcrypt_name;
  int kind;
};

class EcgostGcrypt : public ::testing::TestWithParam<CurveCase> {
 protected:
  void SetUp() override {
    InitGcrypt();
    curve_ = LoadCurve(GetParam().def, GetParam().kind);
    ASSERT_NE(curve_, nullptr);
  }
  // Random digests plus ones whose number is q, 0 or above q.
  std::vector<unsigned char> DigestFor(int i) {
    if (i == 0) return Fixed(curve_->q, 32);
    if (i == 1) return std::vector<unsigned char>(32, 0);
    if (i == 2) return std::vector<unsigned char>(32, 0xFF);
    return RandomBytes(32);
  }
  SystemRandom rand_;
  CurvePtr curve_;
};

TEST_P(EcgostGcrypt, PublicPointsAgree) {
  for (int i = 0; i < 4; ++i) {
    KeyPtr key = MakeKey(curve_.get(), RandomBelow(curve_->q).get());
    ASSERT_NE(key, nullptr);
    BnPtr x = GcryptPublicX(GetParam().gcrypt_name, key->d);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(BN_cmp(x.get(), key->Q->X), 0);
  }
}

TEST_P(EcgostGcrypt, OursVerifyThere) {
  for (int i = 0; i < kIterations; ++i) {
    KeyPtr key = MakeKey(curve_.get(), RandomBelow(curve_->q).get());
    ASSERT_NE(key, nullptr);
    auto digest = DigestFor(i);
    SigPtr sig(ECGOST_do_sign(digest.data(), 32, key.get()));
    ASSERT_NE(sig, nullptr);
    SexpPtr pub = PublicKey(GetParam().gcrypt_name, key.get());
    SexpPtr data = Data(digest);
    SexpPtr sv = SigVal(sig.get());
    EXPECT_EQ(gcry_err_code(gcry_pk_verify(sv.get(), data.get(), pub.get())), GPG_ERR_NO_ERROR) << i;
    // The reversed digest and a swapped signature are rejected there too.
    auto reversed = digest;
    std::reverse(reversed.begin(), reversed.end());
    if (reversed != digest && i > 2) {
      SexpPtr rdata = Data(reversed);
      EXPECT_EQ(gcry_err_code(gcry_pk_verify(sv.get(), rdata.get(), pub.get())), GPG_ERR_BAD_SIGNATURE) << i;
    }
  }
}

TEST_P(EcgostGcrypt, TheirsVerifyHere) {
  for (int i = 0; i < kIterations; ++i) {
    KeyPtr key = MakeKey(curve_.get(), RandomBelow(curve_->q).get());
    ASSERT_NE(key, nullptr);
    auto digest = DigestFor(i);
    SexpPtr priv = PrivateKey(GetParam().gcrypt_name, key.get());
    SexpPtr data = Data(digest);
    gcry_sexp_t raw = nullptr;
    ASSERT_EQ(gcry_pk_sign(&raw, data.get(), priv.get()), 0) << i;
    SexpPtr sv(raw);
    SigPtr sig(ECGOST_SIG_new());
    BnPtr r = Token(sv.get(), "r");
    BnPtr s = Token(sv.get(), "s");
    ASSERT_NE(r, nullptr);
    ASSERT_NE(s, nullptr);
    BN_copy(sig->r, r.get());
    BN_copy(sig->s, s.get());
    EXPECT_EQ(ECGOST_do_verify(digest.data(), 32, sig.get(), key.get()), 1) << i;
    // Through the digest slot in both forms.
    unsigned char raw_form[64];
    ASSERT_EQ(ECGOST_SIG_to_raw(sig.get(), raw_form, 32), 64);
    EXPECT_EQ(ECGOST_verify_digest(0, key.get(), digest.data(), 32, raw_form, 64), 1);
    unsigned char der[72];
    unsigned char* p = der;
    int n = i2d_ECGOST_SIG(sig.get(), &p);
    EXPECT_EQ(ECGOST_verify_digest(1, key.get(), digest.data(), 32, der, n), 1);
    // s || r, as some libraries lay it out, is not our raw form.
    unsigned char swapped[64];
    std::copy(raw_form + 32, raw_form + 64, swapped);
    std::copy(raw_form, raw_form + 32, swapped + 32);
    EXPECT_EQ(ECGOST_verify_digest(0, key.get(), digest.data(), 32, swapped, 64), 0);
    // A changed digest fails.
    digest[5] ^= 1;
    EXPECT_EQ(ECGOST_do_verify(digest.data(), 32, sig.get(), key.get()), 0) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Curves, EcgostGcrypt,
                         ::testing::Values(CurveCase{&ECURVE_DEF_2_255_431, "GOST2001-test", ECURVE_PROJECTIVE},
                                           CurveCase{&ECURVE_DEF_2_255_431, "GOST2001-test", ECURVE_AFFINE},
                                           CurveCase{&ECURVE_DEF_191, "NIST P-256", ECURVE_PROJECTIVE}));

}  // namespace
}  // namespace qcrypto
