// Point encodings: round trips in every form, the exact lengths the first
// byte asks for, and hostile input (truncated, over-long, wrong first byte,
// coordinates not below p, points off the curve, the point at infinity as a
// public key, compressed points on curves whose p is not prime).
#include <openssl/crypto.h>

#include <vector>

#include "ec_test_util.h"

namespace qcrypto::ectest {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes Encode(const ECPOINT* p, int compressed) {
  unsigned char* buf = nullptr;
  const int n = ECPOINT_point2bin(p, &buf, compressed);
  if (n <= 0) return {};
  buf[n] = 0xAA;  // the buffer is one byte longer than the encoding
  Bytes out(buf, buf + n);
  OPENSSL_free(buf);
  return out;
}

Bytes Fixed(const BIGNUM* n, int width) {
  Bytes out(static_cast<std::size_t>(width));
  if (BN_bn2binpad(n, out.data(), width) != width) return {};
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class EcurveCodec : public ::testing::TestWithParam<const ECURVE_DEF*> {
 protected:
  void SetUp() override {
    curve_ = Load(*GetParam(), ECURVE_PROJECTIVE);
    ASSERT_NE(curve_, nullptr);
    L_ = (BN_num_bits(curve_->p) + 7) / 8;
  }
  UniquePtr<ECURVE> curve_;
  int L_ = 0;
};

TEST_P(EcurveCodec, RoundTripsInEveryForm) {
  for (int i = 0; i < 8; ++i) {
    UniquePtr<ECPOINT> p = RandomPoint(curve_.get());
    for (int compressed : {0, 1}) {
      const Bytes e = Encode(p.get(), compressed);
      ASSERT_EQ(static_cast<int>(e.size()), compressed ? 1 + L_ : 1 + 2 * L_);
      BnPtr x(BN_new()), y(BN_new());
      BnCtxPtr ctx(BN_CTX_new());
      ASSERT_TRUE(ec_point_affine_xy(p.get(), x.get(), y.get(), ctx.get()));
      EXPECT_EQ(e[0], compressed ? (BN_is_odd(y.get()) ? 0x03 : 0x02) : 0x04);
      ECPOINT* out = nullptr;
      ASSERT_NE(ECPOINT_bi2point(&out, e.data(), e.size(), curve_.get()), nullptr);
      UniquePtr<ECPOINT> owned(out);
      EXPECT_EQ(Describe(out), Describe(p.get()));
      EXPECT_EQ(out->kind, ECURVE_PROJECTIVE);
      EXPECT_TRUE(BN_is_one(out->Z));
    }
  }
}

TEST_P(EcurveCodec, InfinityIsTheSingleByteZero) {
  UniquePtr<ECPOINT> inf(ECPOINT_new(curve_.get()));
  ASSERT_TRUE(ECPOINT_set_infinity(inf.get()));
  for (int compressed : {0, 1}) {
    const Bytes e = Encode(inf.get(), compressed);
    EXPECT_EQ(e, Bytes{0x00});
  }
  const unsigned char zero = 0;
  UniquePtr<ECPOINT> p(ECPOINT_bi2point(nullptr, &zero, 1, curve_.get()));
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(ECPOINT_is_infinity(p.get()));
  // Not as a public key.
  EXPECT_EQ(ECPOINT_bi2point_public(nullptr, &zero, 1, curve_.get()), nullptr);
  EXPECT_EQ(ECPOINT_check_public(p.get(), 128), 0);
}

TEST_P(EcurveCodec, ThreeGivesTheOddRootTwoTheEven) {
  UniquePtr<ECPOINT> p = RandomPoint(curve_.get());
  BnPtr x(BN_new()), y(BN_new());
  BnCtxPtr ctx(BN_CTX_new());
  ASSERT_TRUE(ec_point_affine_xy(p.get(), x.get(), y.get(), ctx.get()));
  for (unsigned char first : {0x02, 0x03}) {
    const Bytes e = Cat({{first}, Fixed(x.get(), L_)});
    UniquePtr<ECPOINT> d(ECPOINT_bi2point(nullptr, e.data(), e.size(), curve_.get()));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(BN_is_odd(d->Y), first == 0x03);
    EXPECT_EQ(ECPOINT_lies(d.get()), 1);
  }
}

TEST_P(EcurveCodec, HostileEncodingsFailAndLeaveThePointAlone) {
  UniquePtr<ECPOINT> p = RandomPoint(curve_.get());
  const Bytes full = Encode(p.get(), 0);
  const Bytes comp = Encode(p.get(), 1);
  BnPtr x(BN_new()), y(BN_new());
  BnCtxPtr ctx(BN_CTX_new());
  ASSERT_TRUE(ec_point_affine_xy(p.get(), x.get(), y.get(), ctx.get()));
  BnPtr y1(BN_dup(y.get()));
  BN_add_word(y1.get(), 1);
  BN_nnmod(y1.get(), y1.get(), curve_->p, ctx.get());
  BnPtr ones(BN_new());
  BN_set_bit(ones.get(), 8 * L_);
  BN_sub_word(ones.get(), 1);
  // An x whose right-hand side is not a square: no point has it.
  BnPtr no_root(BN_new());
  for (BN_ULONG v = 1;; ++v) {
    BN_set_word(no_root.get(), v);
    const Bytes e = Cat({{0x02}, Fixed(no_root.get(), L_)});
    UniquePtr<ECPOINT> t(ECPOINT_bi2point(nullptr, e.data(), e.size(), curve_.get()));
    if (t == nullptr) break;
    ASSERT_LT(v, 200u);
  }
  ERR_clear_error();

  struct Case {
    const char* what;
    Bytes bytes;
  };
  const std::vector<Case> cases = {
      {"empty", {}},
      {"full form truncated by one", Bytes(full.begin(), full.end() - 1)},
      {"full form with the first byte only", {0x04}},
      {"full form with one byte more", Cat({full, {0x00}})},
      {"full form with the length of the compressed one", Bytes(full.begin(), full.begin() + 1 + L_)},
      {"compressed truncated", Bytes(comp.begin(), comp.end() - 1)},
      {"compressed with one byte more", Cat({comp, {0x00}})},
      {"infinity with a trailing byte", {0x00, 0x00}},
      {"first byte 01", Cat({{0x01}, Bytes(full.begin() + 1, full.end())})},
      {"first byte 05", Cat({{0x05}, Bytes(full.begin() + 1, full.end())})},
      {"first byte 06 (hybrid)", Cat({{0x06}, Bytes(full.begin() + 1, full.end())})},
      {"first byte FF", Cat({{0xFF}, Bytes(comp.begin() + 1, comp.end())})},
      {"x = p", Cat({{0x04}, Fixed(curve_->p, L_), Fixed(y.get(), L_)})},
      {"x all ones", Cat({{0x04}, Fixed(ones.get(), L_), Fixed(y.get(), L_)})},
      {"y = p", Cat({{0x04}, Fixed(x.get(), L_), Fixed(curve_->p, L_)})},
      {"compressed x = p", Cat({{0x03}, Fixed(curve_->p, L_)})},
      {"off the curve", Cat({{0x04}, Fixed(x.get(), L_), Fixed(y1.get(), L_)})},
      {"compressed x without a point", Cat({{0x03}, Fixed(no_root.get(), L_)})},
      // (0, 0) is how an affine point stores infinity; written out in full it
      // is no point (only "00" encodes infinity).
      {"full form of (0, 0)", Cat({{0x04}, Bytes(2 * L_, 0x00)})},
  };
  UniquePtr<ECPOINT> kept = RandomPoint(curve_.get());
  const std::string before = Describe(kept.get());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ECPOINT* out = nullptr;
    EXPECT_EQ(ECPOINT_bi2point(&out, c.bytes.data(), c.bytes.size(), curve_.get()), nullptr);
    EXPECT_EQ(out, nullptr);
    ECPOINT* existing = kept.get();
    EXPECT_EQ(ECPOINT_bi2point(&existing, c.bytes.data(), c.bytes.size(), curve_.get()), nullptr);
    EXPECT_EQ(Describe(kept.get()), before);
    EXPECT_EQ(ECPOINT_bi2point_public(&existing, c.bytes.data(), c.bytes.size(), curve_.get()), nullptr);
    EXPECT_EQ(Describe(kept.get()), before);
    EXPECT_NE(ERR_peek_error(), 0u);
    ERR_clear_error();
  }
  EXPECT_EQ(ECPOINT_bi2point(nullptr, nullptr, full.size(), curve_.get()), nullptr);
  EXPECT_EQ(ECPOINT_bi2point(nullptr, full.data(), full.size(), nullptr), nullptr);
  ERR_clear_error();
}

TEST_P(EcurveCodec, PublicPointCheck) {
  UniquePtr<ECPOINT> p = RandomPoint(curve_.get());
  EXPECT_EQ(ECPOINT_check_public(p.get(), 128), 1);
  const Bytes full = Encode(p.get(), 0);
  UniquePtr<ECPOINT> decoded(ECPOINT_bi2point_public(nullptr, full.data(), full.size(), curve_.get()));
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(Describe(decoded.get()), Describe(p.get()));

  // The same residue written as x + p, and a point moved off the curve.
  ASSERT_TRUE(ECPOINT_to_affine(p.get()));
  UniquePtr<ECPOINT> big(ECPOINT_dup(p.get()));
  BN_add(big->X, big->X, curve_->p);
  EXPECT_EQ(ECPOINT_check_public(big.get(), 128), 0);
  UniquePtr<ECPOINT> off(ECPOINT_dup(p.get()));
  BN_add_word(off->Y, 1);
  EXPECT_EQ(ECPOINT_lies(off.get()), 0);
  EXPECT_EQ(ECPOINT_check_public(off.get(), 128), 0);
  EXPECT_EQ(ECPOINT_check_public(nullptr, 128), 0);
  // The failure is reported under the caller's function.
  EXPECT_EQ(ERR_GET_FUNC_CODE(ERR_peek_last_error()), 128);
  EXPECT_EQ(ERR_GET_REASON_CODE(ERR_peek_last_error()), ERRLIB_ECGOST);
  ERR_clear_error();
}

TEST_P(EcurveCodec, HexTexts) {
  UniquePtr<ECPOINT> p = RandomPoint(curve_.get());
  BnPtr x(BN_new()), y(BN_new());
  BnCtxPtr ctx(BN_CTX_new());
  ASSERT_TRUE(ec_point_affine_xy(p.get(), x.get(), y.get(), ctx.get()));
  auto hex = [&](const Bytes& b) {
    std::string s;
    char buf[3];
    for (unsigned char c : b) {
      snprintf(buf, sizeof buf, "%02X", c);
      s += buf;
    }
    return s;
  };
  const std::string full = hex(Encode(p.get(), 0));
  const std::string comp = hex(Encode(p.get(), 1));
  for (const std::string& text : {full, comp}) {
    UniquePtr<ECPOINT> d(ECPOINT_hex2point(nullptr, text.c_str(), curve_.get()));
    ASSERT_NE(d, nullptr) << text;
    EXPECT_EQ(Describe(d.get()), Describe(p.get()));
  }
  UniquePtr<ECPOINT> inf(ECPOINT_hex2point(nullptr, "00", curve_.get()));
  ASSERT_NE(inf, nullptr);
  EXPECT_TRUE(ECPOINT_is_infinity(inf.get()));
  const std::string too_long = "04" + std::string(5000, '1');
  for (const std::string& bad :
       {std::string(""), std::string("0"), std::string("04"), std::string("0000"), full.substr(0, full.size() - 1),
        "05" + full.substr(2), "04zz" + full.substr(4), full + " ", too_long}) {
    EXPECT_EQ(ECPOINT_hex2point(nullptr, bad.c_str(), curve_.get()), nullptr) << bad.substr(0, 80);
  }
  EXPECT_EQ(ECPOINT_hex2point(nullptr, nullptr, curve_.get()), nullptr);
  ERR_clear_error();
}

INSTANTIATE_TEST_SUITE_P(Curves, EcurveCodec, ::testing::Values(&ECURVE_DEF_191, &ECURVE_DEF_2_255_431),
                         [](const auto& test_case) {
                           return test_case.param->nid != 0 ? std::string("c191") : "c2_255_431";
                         });

// Explicit curves whose p is not prime: decompression runs into the square
// root with hostile moduli and must end, failing or giving a point that does
// satisfy the curve equation; other operations fail cleanly too.
TEST(EcurveCodecHostile, CompositeModuliEndCleanly) {
  std::vector<BnPtr> ps;
  BnCtxPtr ctx(BN_CTX_new());
  auto power = [&](BN_ULONG base, BN_ULONG exponent) {
    BnPtr b(BN_new()), e(BN_new()), r(BN_new());
    BN_set_word(b.get(), base);
    BN_set_word(e.get(), exponent);
    BN_exp(r.get(), b.get(), e.get(), ctx.get());
    return r;
  };
  auto mersenne = [](int n) {
    BnPtr m(BN_new());
    BN_set_bit(m.get(), n);
    BN_sub_word(m.get(), 1);
    return m;
  };
  ps.push_back(power(17, 62));  // 1 mod 8 (Tonelli-Shanks), a prime power
  {
    BnPtr m = mersenne(127), r(BN_new());  // a perfect square: no Jacobi symbol is -1
    BN_sqr(r.get(), m.get(), ctx.get());
    ps.push_back(std::move(r));
  }
  ps.push_back(power(3, 161));  // 3 mod 4: one exponentiation, then the check
  {
    BnPtr a = mersenne(127), b = mersenne(61), r(BN_new());  // 7 * 7 = 1 mod 8, two primes
    BN_mul(r.get(), a.get(), b.get(), ctx.get());
    ps.push_back(std::move(r));
  }
  int failures = 0;
  for (const auto& p : ps) {
    SCOPED_TRACE("p = " + ToHex(p.get()));
    UniquePtr<ECURVE> c(ECURVE_new(ECURVE_PROJECTIVE));
    ASSERT_TRUE(BN_copy(c->p, p.get()));
    BN_set_word(c->a, 3);
    BN_set_word(c->b, 5);
    const int L = (BN_num_bits(p.get()) + 7) / 8;
    for (BN_ULONG xv = 1; xv <= 12; ++xv) {
      BnPtr x(BN_new());
      BN_set_word(x.get(), xv);
      const Bytes e = Cat({{static_cast<unsigned char>(0x02 + (xv & 1))}, Fixed(x.get(), L)});
      UniquePtr<ECPOINT> d(ECPOINT_bi2point(nullptr, e.data(), e.size(), c.get()));
      if (d == nullptr) {
        ++failures;
      } else {
        EXPECT_EQ(ECPOINT_lies(d.get()), 1);
      }
    }
    ERR_clear_error();
  }
  EXPECT_GT(failures, 0);
}

// An affine point stores infinity as (0, 0); a full encoding of (0, 0) must
// not slip through as infinity on an affine curve.
TEST(EcurveCodecAffine, FullEncodingOfZeroIsNoPoint) {
  for (const ECURVE_DEF* def : {&ECURVE_DEF_191, &ECURVE_DEF_2_255_431}) {
    auto curve = Load(*def, ECURVE_AFFINE);
    const std::size_t l = static_cast<std::size_t>(BN_num_bytes(curve->p));
    Bytes zero(1 + 2 * l, 0x00);
    zero[0] = 0x04;
    EXPECT_EQ(ECPOINT_bi2point(nullptr, zero.data(), zero.size(), curve.get()), nullptr);
    const unsigned char infinity[] = {0x00};
    UniquePtr<ECPOINT> inf(ECPOINT_bi2point(nullptr, infinity, 1, curve.get()));
    ASSERT_NE(inf, nullptr);
    EXPECT_TRUE(ECPOINT_is_infinity(inf.get()));
    ERR_clear_error();
  }
}

}  // namespace
}  // namespace qcrypto::ectest
