// The two byte forms of a signature value.
#include <gtest/gtest.h>
#include <openssl/ec.h>

#include <string>
#include <vector>

#include "crypto/ec/ecgost_codes.h"
#include "tests/crypto/ecgost/ecgost_test_util.h"

namespace qcrypto {
namespace {

using namespace ecgost_testing;

SigPtr MakeSig(const char* r, const char* s) {
  SigPtr sig(ECGOST_SIG_new());
  BN_copy(sig->r, Hex(r).get());
  BN_copy(sig->s, Hex(s).get());
  return sig;
}

std::vector<unsigned char> Der(const ECGOST_SIG* sig) {
  int n = i2d_ECGOST_SIG(sig, nullptr);
  std::vector<unsigned char> out(static_cast<size_t>(n > 0 ? n : 0));
  unsigned char* p = out.data();
  EXPECT_EQ(i2d_ECGOST_SIG(sig, &p), n);
  EXPECT_EQ(p, out.data() + out.size());
  return out;
}

TEST(EcgostSigDer, EncodesMinimalPositiveIntegers) {
  struct Case {
    const char *r, *s, *der;
  };
  const Case cases[] = {
      {"01", "7F", "300602010102017F"},
      {"80", "FF", "300802020080020200FF"},  // top bit set: a zero byte in front
      {"00", "0100", "300702010002020100"},  // zero is one zero byte
  };
  for (const auto& c : cases) {
    SigPtr sig = MakeSig(c.r, c.s);
    EXPECT_EQ(Der(sig.get()), Bytes(c.der)) << c.r << " " << c.s;
  }
}

TEST(EcgostSigDer, RoundTripAndMaximumSize) {
  // 32-byte halves with the top bit set: the largest signature, 72 bytes.
  SigPtr sig = MakeSig("FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632550",
                       "8000000000000000000000000000000000000000000000000000000000000001");
  auto der = Der(sig.get());
  EXPECT_EQ(der.size(), 72u);
  EXPECT_EQ(ECGOST_SIG_der_max_size(32), 72);
  const unsigned char* p = der.data();
  SigPtr back(d2i_ECGOST_SIG(nullptr, &p, static_cast<long>(der.size())));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(p, der.data() + der.size());
  EXPECT_EQ(BN_cmp(back->r, sig->r), 0);
  EXPECT_EQ(BN_cmp(back->s, sig->s), 0);
  // Into an existing record, with bytes after the SEQUENCE left unread.
  der.push_back(0x05);
  der.push_back(0x00);
  ECGOST_SIG* reuse = ECGOST_SIG_new();
  p = der.data();
  ASSERT_EQ(d2i_ECGOST_SIG(&reuse, &p, static_cast<long>(der.size())), reuse);
  EXPECT_EQ(p, der.data() + 72);
  EXPECT_EQ(BN_cmp(reuse->s, sig->s), 0);
  ECGOST_SIG_free(reuse);
  // Large numbers take the long length form.
  std::string big(300, 'A');
  SigPtr wide = MakeSig(big.c_str(), "01");
  auto wide_der = Der(wide.get());
  EXPECT_EQ(wide_der[1], 0x81);
  p = wide_der.data();
  SigPtr wide_back(d2i_ECGOST_SIG(nullptr, &p, static_cast<long>(wide_der.size())));
  ASSERT_NE(wide_back, nullptr);
  EXPECT_EQ(BN_cmp(wide_back->r, wide->r), 0);
}

TEST(EcgostSigDer, RejectsMalformedInput) {
  const char* bad[] = {
      "",                      // nothing
      "3007020101020101",      // length runs past the end
      "3106020101020101",      // SET instead of SEQUENCE
      "3006030101020101",      // BIT STRING for r
      "3005020101020100",      // s runs past the SEQUENCE
      "00",                    // one byte: no SEQUENCE and no length
      "30070201010201010500",  // trailing element inside the SEQUENCE
      "3004020101020100",      // truncated s
      "300602810101020101",    // long-form length for a short content
      "308106020101020101",    // long-form outer length below 128
      "30050200020101",        // empty INTEGER
      "3006020180020101",      // negative r
      "300702020001020101",    // r with a needless leading zero
      "30070201010202FFFF",    // negative s
      "3003020101",            // s missing
      "30800201010201010000",  // indefinite length
  };
  for (const char* hex : bad) {
    auto der = Bytes(hex);
    const unsigned char* p = der.data();
    ECGOST_SIG* out = nullptr;
    EXPECT_EQ(d2i_ECGOST_SIG(&out, &p, static_cast<long>(der.size())), nullptr) << hex;
    EXPECT_EQ(out, nullptr) << hex;
    EXPECT_EQ(p, der.data()) << hex;
  }
  const unsigned char* none = nullptr;
  EXPECT_EQ(d2i_ECGOST_SIG(nullptr, &none, 8), nullptr);
}

TEST(EcgostSigDer, RefusesIncompleteOrNegative) {
  SigPtr sig = MakeSig("05", "06");
  BN_set_negative(sig->s, 1);
  EXPECT_EQ(i2d_ECGOST_SIG(sig.get(), nullptr), 0);
  ECGOST_SIG half{sig->r, nullptr};
  EXPECT_EQ(i2d_ECGOST_SIG(&half, nullptr), 0);
  EXPECT_EQ(i2d_ECGOST_SIG(nullptr, nullptr), 0);
}

TEST(EcgostSigRaw, FixedFieldsAndEvenSplit) {
  // r of 31 significant bytes gets a leading zero byte in its field.
  std::string r31(62, 'C');
  SigPtr sig = MakeSig(r31.c_str(), "0102");
  unsigned char raw[64];
  ASSERT_EQ(ECGOST_SIG_to_raw(sig.get(), raw, 32), 64);
  EXPECT_EQ(raw[0], 0);
  EXPECT_EQ(raw[1], 0xCC);
  EXPECT_EQ(raw[62], 0x01);
  EXPECT_EQ(raw[63], 0x02);
  SigPtr back(ECGOST_SIG_from_raw(raw, 64));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(BN_cmp(back->r, sig->r), 0);
  EXPECT_EQ(BN_cmp(back->s, sig->s), 0);
  // Any even length splits in two halves; odd and zero lengths fail.
  const unsigned char four[] = {0xCC, 0xCC, 0x01, 0x02};
  SigPtr small(ECGOST_SIG_from_raw(four, 4));
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(ToHex(small->r), "CCCC");
  EXPECT_EQ(ToHex(small->s), "0102");
  EXPECT_EQ(ECGOST_SIG_from_raw(raw, 63), nullptr);
  EXPECT_EQ(ECGOST_SIG_from_raw(raw, 0), nullptr);
  EXPECT_EQ(ECGOST_SIG_from_raw(nullptr, 64), nullptr);
  // A half wider than the field is refused.
  std::string r33(66, 'D');
  SigPtr wide = MakeSig(r33.c_str(), "01");
  EXPECT_EQ(ECGOST_SIG_to_raw(wide.get(), raw, 32), 0);
}

// Bytes after a DER signature are not part of it: the digest slot refuses them.
TEST(EcgostSigDer, VerifySlotRefusesTrailingBytes) {
  SystemRandom rand;
  CurvePtr curve = LoadCurve(&ECURVE_DEF_191, ECURVE_PROJECTIVE);
  KeyPtr key = MakeKey(curve.get(), RandomBelow(curve->q).get());
  ASSERT_NE(key, nullptr);
  unsigned char digest[32] = {1};
  std::vector<unsigned char> sig(80);
  unsigned int len = 0;
  ASSERT_EQ(ECGOST_sign_digest(1, key.get(), digest, 32, sig.data(), &len), 1);
  ASSERT_EQ(ECGOST_verify_digest(1, key.get(), digest, 32, sig.data(), static_cast<int>(len)), 1);
  sig[len] = 0;
  EXPECT_EQ(ECGOST_verify_digest(1, key.get(), digest, 32, sig.data(), static_cast<int>(len) + 1), 0);
  EXPECT_EQ(ECGOST_verify_digest(1, key.get(), digest, 32, sig.data(), static_cast<int>(len) - 1), 0);
  EXPECT_EQ(ECGOST_verify_digest(1, key.get(), digest, 32, nullptr, static_cast<int>(len)), 0);
}

// The i2d convention, held to OpenSSL's own encoder of the same SEQUENCE
// { r, s }: length only; a fresh buffer handed back from its start; or
// written in place with the pointer advanced.
TEST(EcgostSigDer, I2dFollowsTheOpenSslConvention) {
  const std::string wide(64, 'A');
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"01", "7F"}, {"80", "FF00"}, {wide.c_str(), "0123456789ABCDEF"}};
  for (const auto& rs : cases) {
    SigPtr sig = MakeSig(rs.first, rs.second);
    ECDSA_SIG* oracle = ECDSA_SIG_new();
    ASSERT_EQ(ECDSA_SIG_set0(oracle, BN_dup(sig->r), BN_dup(sig->s)), 1);
    unsigned char* want = nullptr;
    const int want_len = i2d_ECDSA_SIG(oracle, &want);
    ECDSA_SIG_free(oracle);
    ASSERT_GT(want_len, 0);
    const std::vector<unsigned char> expected(want, want + want_len);
    OPENSSL_free(want);

    EXPECT_EQ(i2d_ECGOST_SIG(sig.get(), nullptr), want_len);

    unsigned char* fresh = nullptr;
    ASSERT_EQ(i2d_ECGOST_SIG(sig.get(), &fresh), want_len);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(std::vector<unsigned char>(fresh, fresh + want_len), expected);
    OPENSSL_free(fresh);

    std::vector<unsigned char> buf(static_cast<size_t>(want_len) + 3, 0xEE);
    unsigned char* p = buf.data() + 1;
    ASSERT_EQ(i2d_ECGOST_SIG(sig.get(), &p), want_len);
    EXPECT_EQ(p, buf.data() + 1 + want_len);
    EXPECT_EQ(std::vector<unsigned char>(buf.begin() + 1, buf.begin() + 1 + want_len), expected);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(buf[static_cast<size_t>(want_len) + 1], 0xEE);
  }
}

// A raw signature verifies only as two halves of the order's byte width: the
// same r and s padded, cut or split differently are not the signature.
TEST(EcgostSigRaw, VerifySlotTakesOnlyTheOrdersWidth) {
  SystemRandom rand;
  CurvePtr curve = LoadCurve(&ECURVE_DEF_191, ECURVE_PROJECTIVE);
  KeyPtr key = MakeKey(curve.get(), RandomBelow(curve->q).get());
  ASSERT_NE(key, nullptr);
  const int width = (BN_num_bits(curve->q) + 7) / 8;
  unsigned char digest[32] = {7, 7};
  std::vector<unsigned char> raw(static_cast<size_t>(2 * width));
  unsigned int len = 0;
  ASSERT_EQ(ECGOST_sign_digest(0, key.get(), digest, 32, raw.data(), &len), 1);
  ASSERT_EQ(len, raw.size());
  EXPECT_EQ(ECGOST_verify_digest(0, key.get(), digest, 32, raw.data(), static_cast<int>(len)), 1);

  const std::vector<unsigned char> r(raw.begin(), raw.begin() + width), s(raw.begin() + width, raw.end());
  auto join = [](std::vector<unsigned char> a, const std::vector<unsigned char>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  std::vector<unsigned char> padded = join(join({0}, r), join({0}, s));  // same numbers, wider halves
  std::vector<unsigned char> padded4 = join(join({0, 0, 0}, r), join({0, 0, 0}, s));
  ASSERT_EQ(padded.size(), raw.size() + 2);
  for (const auto* bad : {&padded, &padded4}) {
    ERR_clear_error();
    EXPECT_EQ(ECGOST_verify_digest(0, key.get(), digest, 32, bad->data(), static_cast<int>(bad->size())), 0);
    EXPECT_EQ(ERR_GET_FUNC_CODE(ERR_peek_error()), ECGOST_F_D2I_ECGOST_SIG);
  }
  EXPECT_EQ(ECGOST_verify_digest(0, key.get(), digest, 32, raw.data(), static_cast<int>(len) - 2), 0);

  // The exact decoder itself, and the plain splitter that stays as it was.
  SigPtr exact(ECGOST_SIG_from_raw_exact(raw.data(), static_cast<int>(raw.size()), width));
  ASSERT_NE(exact, nullptr);
  EXPECT_EQ(ECGOST_SIG_from_raw_exact(padded.data(), static_cast<int>(padded.size()), width), nullptr);
  EXPECT_EQ(ECGOST_SIG_from_raw_exact(raw.data(), static_cast<int>(raw.size()), 0), nullptr);
  SigPtr loose(ECGOST_SIG_from_raw(padded.data(), static_cast<int>(padded.size())));
  ASSERT_NE(loose, nullptr);
  EXPECT_EQ(BN_cmp(loose->r, exact->r), 0);
  EXPECT_EQ(BN_cmp(loose->s, exact->s), 0);
  ERR_clear_error();
}

}  // namespace
}  // namespace qcrypto
