// The signature record's DER and raw encodings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/r3410/r3410.h"
#include "r3410_test_util.h"

namespace qcrypto {
namespace {

using namespace qcrypto::testing;

SigPtr MakeSig(const char* r, const char* s, int qlen) {
  SigPtr sig(R3410_SIG_new());
  BnPtr rb = Hex(r), sb = Hex(s);
  BN_copy(sig->r, rb.get());
  BN_copy(sig->s, sb.get());
  sig->qlen = qlen;
  return sig;
}

std::string HexOf(const unsigned char* p, int n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (int i = 0; i < n; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 15];
  }
  return out;
}

TEST(R3410Sig, DerEncodingIsMinimalWithSignBytes) {
  // Exact images computed by hand for the small cases.
  SigPtr a = MakeSig("1", "7F", 32);
  unsigned char buf[80];
  unsigned char* p = buf;
  ASSERT_EQ(i2d_R3410_SIG(a.get(), &p), 8);
  EXPECT_EQ(p, buf + 8);
  EXPECT_EQ(HexOf(buf, 8), "300602010102017F");
  SigPtr b = MakeSig("80", "0", 32);
  p = buf;
  ASSERT_EQ(i2d_R3410_SIG(b.get(), &p), 9);
  EXPECT_EQ(HexOf(buf, 9), "300702020080020100");
  // Length only.
  EXPECT_EQ(i2d_R3410_SIG(b.get(), nullptr), 9);
  // Allocated output.
  unsigned char* alloc = nullptr;
  ASSERT_EQ(i2d_R3410_SIG(a.get(), &alloc), 8);
  ASSERT_NE(alloc, nullptr);
  EXPECT_EQ(HexOf(alloc, 8), "300602010102017F");
  OPENSSL_free(alloc);
}

TEST(R3410Sig, DerRoundTripOfFullSizeHalvesFitsTheKeySize) {
  // Top bits set in both halves: the largest encoding, R3410_size's 72 bytes.
  SigPtr sig = MakeSig("920B7B8A3F1F6F5195BCB0AB5C83850EE7C088461D8B5DAF27308183DAC5C6EA",
                       "8000000000000000000000000000000000000000000000000000000000000001", 32);
  unsigned char* der = nullptr;
  const int n = i2d_R3410_SIG(sig.get(), &der);
  ASSERT_EQ(n, 72);
  const unsigned char* in = der;
  SigPtr back(d2i_R3410_SIG(nullptr, &in, n));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(in, der + n);
  EXPECT_EQ(BN_cmp(back->r, sig->r), 0);
  EXPECT_EQ(BN_cmp(back->s, sig->s), 0);
  // Decoding into an existing record reuses it.
  R3410_SIG* existing = R3410_SIG_new();
  R3410_SIG* target = existing;
  in = der;
  EXPECT_EQ(d2i_R3410_SIG(&target, &in, n), existing);
  EXPECT_EQ(BN_cmp(existing->s, sig->s), 0);
  R3410_SIG_free(existing);
  OPENSSL_free(der);
}

struct BadDer {
  const char* name;
  const char* hex;
};

class R3410BadDerTest : public ::testing::TestWithParam<BadDer> {};

TEST_P(R3410BadDerTest, IsRefusedWithParsing) {
  const std::vector<unsigned char> der = HexBytes(GetParam().hex);
  ERR_clear_error();
  const unsigned char* in = der.data();
  R3410_SIG* existing = R3410_SIG_new();
  R3410_SIG* target = existing;
  EXPECT_EQ(d2i_R3410_SIG(&target, &in, static_cast<long>(der.size())), nullptr);
  EXPECT_EQ(target, existing);  // the caller's record is not freed
  R3410_SIG_free(existing);
  in = der.data();
  EXPECT_EQ(d2i_R3410_SIG(nullptr, &in, static_cast<long>(der.size())), nullptr);
  EXPECT_EQ(in, der.data());
  const unsigned long e = ERR_peek_last_error();
  EXPECT_EQ(ERR_GET_LIB_CODE(e), ERRLIB_R3410);
  EXPECT_EQ(ERR_GET_FUNC_CODE(e), R3410_F_D2I_R3410_SIG);
  EXPECT_EQ(ERR_GET_REASON_CODE(e), R3410_R_PARSING);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, R3410BadDerTest,
    ::testing::Values(BadDer{"empty", ""}, BadDer{"not_a_sequence", "310602010102017F"},
                      BadDer{"length_past_end", "300702010102017F"},
                      BadDer{"inner_length_past_end", "300602010102027F"},
                      BadDer{"trailing_inside", "300802010102017F0500"}, BadDer{"one_integer", "3003020101"},
                      BadDer{"negative_r", "300602018102017F"}, BadDer{"empty_integer", "3005020002017F"},
                      BadDer{"indefinite_length", "308002010102017F0000"},
                      BadDer{"octet_string_in_place_of_integer", "300604010102017F"},
                      BadDer{"huge_length", "3084FFFFFFFF02010102017F"}),
    [](const ::testing::TestParamInfo<BadDer>& test_case) { return std::string(test_case.param.name); });

TEST(R3410Sig, RawFormHasFixedWidthHalves) {
  // r of 31 significant bytes gets a leading zero byte.
  SigPtr sig = MakeSig("0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
                       "FF02030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F20", 32);
  unsigned char* raw = nullptr;
  ASSERT_EQ(R3410_SIG_to_raw(sig.get(), &raw), 64);
  EXPECT_EQ(raw[0], 0x00);
  EXPECT_EQ(raw[1], 0x01);
  EXPECT_EQ(raw[32], 0xFF);
  const unsigned char* in = raw;
  SigPtr back(d2i_GOSTS_SIG(nullptr, &in, 64));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->qlen, 32);
  EXPECT_EQ(BN_cmp(back->r, sig->r), 0);
  EXPECT_EQ(BN_cmp(back->s, sig->s), 0);
  OPENSSL_free(raw);
  // A half wider than qlen cannot be written.
  sig->qlen = 31;
  unsigned char buf[64];
  unsigned char* p = buf;
  EXPECT_EQ(R3410_SIG_to_raw(sig.get(), &p), 0);
  EXPECT_EQ(p, buf);
}

TEST(R3410Sig, RawDecodingNeedsANonZeroEvenLength) {
  const unsigned char bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  for (long len : {0L, 1L, 3L, 9L, -2L}) {
    ERR_clear_error();
    const unsigned char* in = bytes;
    EXPECT_EQ(d2i_GOSTS_SIG(nullptr, &in, len), nullptr) << len;
    EXPECT_EQ(ERR_GET_FUNC_CODE(ERR_peek_last_error()), GOSTS_F_D2I_GOSTS_SIG);
  }
  // Any even length splits in two halves.
  const unsigned char* in = bytes;
  SigPtr sig(d2i_GOSTS_SIG(nullptr, &in, 10));
  ASSERT_NE(sig, nullptr);
  EXPECT_EQ(sig->qlen, 5);
  EXPECT_EQ(ToHex(sig->r), "0102030405");
  EXPECT_EQ(ToHex(sig->s), "060708090A");
}

}  // namespace
}  // namespace qcrypto
