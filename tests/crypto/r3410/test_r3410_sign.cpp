// Signing and verification: the standard's example, the published 1024-bit
// parameter sets, the built-in parameters against plain OpenSSL arithmetic,
// nonce handling and hostile inputs.
#include <gtest/gtest.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <thread>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/r3410/r3410.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_fixed.h"
#include "r3410_test_util.h"

namespace qcrypto {
namespace {

using namespace qcrypto::testing;

class R3410SignTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ERR_clear_error();
    RAND_set_rand_method(RAND_fixed_method());
    RAND_fixed_set_bytes({});
  }
  void TearDown() override {
    RAND_set_rand_method(nullptr);
    ERR_clear_error();
  }
  // Queues |n| bytes of OpenSSL randomness for the code under test.
  static void FeedRandom(size_t n) {
    std::vector<unsigned char> bytes(n);
    ASSERT_EQ(::RAND_bytes(bytes.data(), static_cast<int>(n)), 1);
    RAND_fixed_add_bytes(bytes);
  }
  static void Feed(const BIGNUM* k, int width) { RAND_fixed_add_bytes(Bytes(k, width)); }
  // True when the queue holds (lib, func, reason) anywhere; empties it.
  static bool QueueHolds(int lib, int func, int reason) {
    bool found = false;
    for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
      found |= ERR_GET_LIB_CODE(e) == lib && ERR_GET_FUNC_CODE(e) == func && ERR_GET_REASON_CODE(e) == reason;
    }
    return found;
  }
  static void ExpectLastError(int lib, int func, int reason) {
    const unsigned long e = ERR_peek_last_error();
    EXPECT_EQ(ERR_GET_LIB_CODE(e), lib);
    EXPECT_EQ(ERR_GET_FUNC_CODE(e), func);
    EXPECT_EQ(ERR_GET_REASON_CODE(e), reason);
  }
};

// --- the standard's 512-bit example --------------------------------------

class R3410ExampleTest : public R3410SignTest {
 protected:
  void SetUp() override {
    R3410SignTest::SetUp();
    v_ = LoadVectors().at("example");
    key_ = MakeKey(Hex(v_["p"]).get(), Hex(v_["q"]).get(), Hex(v_["a"]).get(), Hex(v_["x"]).get());
    // The standard's signer reads the digest bytes little-endian; this
    // scheme reads them big-endian, so it is handed the reversed bytes. (The
    // file's printed H differs from that reversal in bytes 24-30 and does
    // not satisfy s = x*r + k*H; the reversal does.)
    digest_ = HexBytes(v_.at("digest"));
    ASSERT_EQ(digest_.size(), 32u);
    std::reverse(digest_.begin(), digest_.end());
  }
  void ExpectExampleSignature(const R3410_SIG* sig) {
    ASSERT_NE(sig, nullptr);
    EXPECT_EQ(ToHex(sig->r), v_["r"]);
    EXPECT_EQ(ToHex(sig->s), v_["s"]);
    EXPECT_EQ(sig->qlen, 32);
  }
  VectorSection v_;
  KeyPtr key_;
  std::vector<unsigned char> digest_;
};

TEST_F(R3410ExampleTest, PublicKeyMatches) { EXPECT_EQ(ToHex(key_->y), v_["y"]); }

TEST_F(R3410ExampleTest, SignatureReproducedThroughTheDeterministicMethod) {
  Feed(Hex(v_["k"]).get(), 32);
  SigPtr sig(GOSTS_do_sign(key_.get(), digest_.data(), 32));
  ExpectExampleSignature(sig.get());
  EXPECT_EQ(RAND_fixed_remaining(), 0u);
  EXPECT_EQ(GOSTS_do_verify(sig.get(), key_.get(), digest_.data(), 32), 1);
}

// A draw of k >= q (or 0) is thrown away and drawn again, never reduced: the
// signature is the one made with the next acceptable k.
TEST_F(R3410ExampleTest, OutOfRangeNonceIsRedrawnNotReduced) {
  BnPtr q = Hex(v_["q"]);
  BnPtr q_plus_k(BN_new()), all_ones(BN_new()), zero(BN_new());
  ASSERT_TRUE(BN_add(q_plus_k.get(), q.get(), Hex("5").get()));
  ASSERT_TRUE(BN_set_bit(all_ones.get(), 256));
  ASSERT_TRUE(BN_sub_word(all_ones.get(), 1));
  BN_zero(zero.get());
  for (const BIGNUM* rejected : {q.get(), q_plus_k.get(), all_ones.get(), zero.get()}) {
    RAND_fixed_set_bytes({});
    Feed(rejected, 32);
    Feed(Hex(v_["k"]).get(), 32);
    SigPtr sig(GOSTS_do_sign(key_.get(), digest_.data(), 32));
    ExpectExampleSignature(sig.get());
    EXPECT_EQ(RAND_fixed_remaining(), 0u) << "rejected draw " << ToHex(rejected);
  }
}

TEST_F(R3410ExampleTest, SignSetupGivesKRAndTheFullProduct) {
  Feed(Hex(v_["k"]).get(), 32);
  BIGNUM *k = nullptr, *r = nullptr, *xr = nullptr;
  ASSERT_EQ(GOSTS_sign_setup(key_.get(), &k, &r, &xr), 1);
  SecretBnPtr kk(k), rr(r), xrr(xr);
  EXPECT_EQ(ToHex(k), v_["k"]);
  EXPECT_EQ(ToHex(r), v_["r"]);
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr want(BN_new());
  ASSERT_TRUE(BN_mul(want.get(), Hex(v_["x"]).get(), r, ctx.get()));
  EXPECT_EQ(BN_cmp(xr, want.get()), 0);  // not reduced mod q
  EXPECT_GT(BN_num_bits(xr), BN_num_bits(Hex(v_["q"]).get()));
}

TEST_F(R3410ExampleTest, GeneratorThatNeverYieldsAValidNonceFailsInsteadOfLooping) {
  std::vector<unsigned char> ff(32 * 200, 0xFF);  // 2^256 - 1 > q every time
  RAND_fixed_set_bytes(ff);
  SigPtr sig(GOSTS_do_sign(key_.get(), digest_.data(), 32));
  EXPECT_EQ(sig, nullptr);
  EXPECT_TRUE(QueueHolds(ERRLIB_GOSTS, GOSTS_F_GOSTS_SIGN_SETUP, GOSTS_R_INVALID_K));
  EXPECT_GT(RAND_fixed_remaining(), 0u);  // bounded: it stopped on its own
}

TEST_F(R3410ExampleTest, GeneratorRunningDryFails) {
  const std::array<unsigned char, 10> few{};
  RAND_fixed_set_bytes(few);
  SigPtr sig(GOSTS_do_sign(key_.get(), digest_.data(), 32));
  EXPECT_EQ(sig, nullptr);
  EXPECT_NE(ERR_peek_last_error(), 0u);
}

// --- the published 1024-bit parameter sets as explicit parameters --------

class R3410ParamSetTest : public R3410SignTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(R3410ParamSetTest, RoundTripsAndRejectsTampering) {
  VectorSection v = LoadVectors().at(GetParam());
  BnPtr p = Hex(v["p"]), q = Hex(v["q"]), a = Hex(v["a"]);
  BnPtr x(BN_new());
  ASSERT_TRUE(BN_rand_range(x.get(), q.get()));
  ASSERT_FALSE(BN_is_zero(x.get()));
  KeyPtr key = MakeKey(p.get(), q.get(), a.get(), x.get());
  KeyPtr other = MakeKey(p.get(), q.get(), a.get(), Hex("123456789ABCDEF").get());
  BnCtxPtr ctx(BN_CTX_new());
  for (int round = 0; round < 3; ++round) {
    std::array<unsigned char, 32> digest{};
    ASSERT_EQ(::RAND_bytes(digest.data(), 32), 1);
    FeedRandom(32 * 64);
    SigPtr sig(GOSTS_do_sign(key.get(), digest.data(), 32));
    ASSERT_NE(sig, nullptr);
    EXPECT_EQ(GOSTS_do_verify(sig.get(), key.get(), digest.data(), 32), 1);
    BnPtr m(BN_bin2bn(digest.data(), 32, nullptr));
    EXPECT_TRUE(OracleVerifies(p.get(), q.get(), a.get(), key->y, sig->r, sig->s, m.get()));

    // Tampered digest, r, s and key.
    std::array<unsigned char, 32> bad = digest;
    bad[round] ^= 0x01;
    EXPECT_EQ(GOSTS_do_verify(sig.get(), key.get(), bad.data(), 32), 0);
    ASSERT_TRUE(BN_add_word(sig->r, 1));
    EXPECT_EQ(GOSTS_do_verify(sig.get(), key.get(), digest.data(), 32), 0);
    ASSERT_TRUE(BN_sub_word(sig->r, 1));
    ASSERT_TRUE(BN_sub_word(sig->s, 1));
    EXPECT_EQ(GOSTS_do_verify(sig.get(), key.get(), digest.data(), 32), 0);
    ASSERT_TRUE(BN_add_word(sig->s, 1));
    EXPECT_EQ(GOSTS_do_verify(sig.get(), other.get(), digest.data(), 32), 0);
    EXPECT_EQ(GOSTS_do_verify(sig.get(), key.get(), digest.data(), 32), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(CryptoPro, R3410ParamSetTest,
                         ::testing::Values("id-GostR3410-94-CryptoPro-A-ParamSet",
                                           "id-GostR3410-94-CryptoPro-B-ParamSet",
                                           "id-GostR3410-94-CryptoPro-XchA-ParamSet"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string n = info.param;
                           for (char& c : n) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return n;
                         });

// --- built-in parameters against plain OpenSSL arithmetic ----------------

TEST_F(R3410SignTest, BuiltinParametersMatchPlainArithmetic) {
  KeyPtr key = MakeBuiltinKey();
  BnCtxPtr ctx(BN_CTX_new());
  // Public key through the fixed-base table.
  BnPtr y(BN_new());
  ASSERT_TRUE(BN_mod_exp(y.get(), key->a, key->x, key->p, ctx.get()));
  EXPECT_EQ(BN_cmp(y.get(), key->y), 0);

  // Nonces at the edges of the windows and at random.
  std::vector<BnPtr> ks;
  ks.push_back(Hex("1"));
  ks.push_back(Hex("F"));
  ks.push_back(Hex("10"));
  ks.push_back(Hex("8000000000000000000000000000000000000000000000000000000000000000"));
  ks.push_back(Hex("7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"));
  ks.push_back(Hex("70F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0"));
  BnPtr q_minus_1(BN_dup(key->q));
  ASSERT_TRUE(BN_sub_word(q_minus_1.get(), 1));
  ks.push_back(std::move(q_minus_1));
  for (int i = 0; i < 8; ++i) {
    BnPtr k(BN_new());
    ASSERT_TRUE(BN_rand_range(k.get(), key->q));
    if (!BN_is_zero(k.get())) ks.push_back(std::move(k));
  }
  for (const BnPtr& k : ks) {
    std::array<unsigned char, 32> digest{};
    ASSERT_EQ(::RAND_bytes(digest.data(), 32), 1);
    RAND_fixed_set_bytes({});
    Feed(k.get(), 32);
    SigPtr sig(GOSTS_do_sign(key.get(), digest.data(), 32));
    ASSERT_NE(sig, nullptr) << ToHex(k.get());
    // r = (a^k mod p) mod q and s = (k*m + x*r) mod q, by OpenSSL alone.
    BnPtr r(BN_new()), s(BN_new()), m(BN_bin2bn(digest.data(), 32, nullptr)), t(BN_new());
    ASSERT_TRUE(BN_mod_exp(r.get(), key->a, k.get(), key->p, ctx.get()));
    ASSERT_TRUE(BN_nnmod(r.get(), r.get(), key->q, ctx.get()));
    ASSERT_TRUE(BN_mod_mul(s.get(), k.get(), m.get(), key->q, ctx.get()));
    ASSERT_TRUE(BN_mod_mul(t.get(), key->x, r.get(), key->q, ctx.get()));
    ASSERT_TRUE(BN_mod_add(s.get(), s.get(), t.get(), key->q, ctx.get()));
    EXPECT_EQ(BN_cmp(sig->r, r.get()), 0) << "k=" << ToHex(k.get());
    EXPECT_EQ(BN_cmp(sig->s, s.get()), 0) << "k=" << ToHex(k.get());
    EXPECT_EQ(GOSTS_do_verify(sig.get(), key.get(), digest.data(), 32), 1);
    EXPECT_TRUE(OracleVerifies(key->p, key->q, key->a, key->y, sig->r, sig->s, m.get()));
  }
}

// A q whose length is not a whole number of bytes: the draw's bits above
// bits(q) are dropped, and a draw that is already short (its top words zero)
// is a valid nonce like any other, not a failure.
TEST_F(R3410SignTest, NoncesForAQOfOddBitLength) {
  // 255-bit q, 512-bit p, a of order q (made for this test: q | p - 1, a^q = 1).
  BnPtr q = Hex("450BB66BB6678F0A49FB289CC7F041A7D771E9D66EB964BC93514D559592DB13");
  BnPtr p =
      Hex("81C87882BB807130798C5CC94CFF253E69D27FBBB69B9899E6A47E2ABBA8F730"
          "DC448644DA36BFA051AACE7B88DC8609D0FE84E3CC3B40F4E747F5FBADF4ACF1");
  BnPtr a =
      Hex("680F49147EEFAC32B0FAE6DFB731E7F3A8A7A02761BDD6DA223C0FB917D29871"
          "21FBCB0C43E5B3FA5C11F1412A8C2497389B3FBDDE2D9C0DBA5A0F0288EDE1D7");
  ASSERT_EQ(BN_num_bits(q.get()), 255);
  KeyPtr key = MakeKey(p.get(), q.get(), a.get(), Hex("1D2C3B4A5968778695A4B3C2D1E0F").get());
  BnCtxPtr ctx(BN_CTX_new());
  std::array<unsigned char, 32> digest{};
  digest[0] = 0xC3;
  digest[31] = 0x5A;
  BnPtr m(BN_bin2bn(digest.data(), 32, nullptr));
  struct {
    const char* drawn;  // the 32 bytes the generator delivers
    const char* k;      // the nonce they must give
  } cases[] = {
      {"1234567890ABCDEF", "1234567890ABCDEF"},  // top three words zero
      {"1", "1"},
      {"123456789ABCDEF0123456789ABCDEF0123456789ABCDEF", "123456789ABCDEF0123456789ABCDEF0123456789ABCDEF"},
      {"8000000000000000000000000000000000000000000000001234567890ABCDEF", "1234567890ABCDEF"},  // bit 255 dropped
      {"C50BB66BB6678F0A49FB289CC7F041A7D771E9D66EB964BC93514D559592DB12",
       "450BB66BB6678F0A49FB289CC7F041A7D771E9D66EB964BC93514D559592DB12"},  // q - 1 after the drop
  };
  for (const auto& c : cases) {
    RAND_fixed_set_bytes({});
    Feed(Hex(c.drawn).get(), 32);
    ERR_clear_error();
    SigPtr sig(GOSTS_do_sign(key.get(), digest.data(), 32));
    ASSERT_NE(sig, nullptr) << c.drawn;
    EXPECT_EQ(RAND_fixed_remaining(), 0u) << c.drawn;
    BnPtr k = Hex(c.k), r(BN_new()), s(BN_new()), t(BN_new());
    ASSERT_TRUE(BN_mod_exp(r.get(), a.get(), k.get(), p.get(), ctx.get()));
    ASSERT_TRUE(BN_nnmod(r.get(), r.get(), q.get(), ctx.get()));
    ASSERT_TRUE(BN_mod_mul(s.get(), k.get(), m.get(), q.get(), ctx.get()));
    ASSERT_TRUE(BN_mod_mul(t.get(), key->x, r.get(), q.get(), ctx.get()));
    ASSERT_TRUE(BN_mod_add(s.get(), s.get(), t.get(), q.get(), ctx.get()));
    EXPECT_EQ(BN_cmp(sig->r, r.get()), 0) << c.drawn;
    EXPECT_EQ(BN_cmp(sig->s, s.get()), 0) << c.drawn;
    EXPECT_EQ(GOSTS_do_verify(sig.get(), key.get(), digest.data(), 32), 1) << c.drawn;
  }
}

TEST_F(R3410SignTest, DigestEqualToQSignsAsTheDigestOne) {
  KeyPtr key = MakeBuiltinKey();
  std::vector<unsigned char> dq = Bytes(key->q, 32);
  std::vector<unsigned char> one(32, 0);
  one[31] = 1;
  BnPtr k = Hex("1234567890ABCDEF1234567890ABCDEF");
  Feed(k.get(), 32);
  SigPtr sig_q(GOSTS_do_sign(key.get(), dq.data(), 32));
  Feed(k.get(), 32);
  SigPtr sig_one(GOSTS_do_sign(key.get(), one.data(), 32));
  ASSERT_TRUE(sig_q && sig_one);
  EXPECT_EQ(BN_cmp(sig_q->s, sig_one->s), 0);
  EXPECT_EQ(GOSTS_do_verify(sig_q.get(), key.get(), one.data(), 32), 1);
  EXPECT_EQ(GOSTS_do_verify(sig_one.get(), key.get(), dq.data(), 32), 1);
  // An all-zero digest is the number 0 and also signs as 1.
  std::vector<unsigned char> zero(32, 0);
  EXPECT_EQ(GOSTS_do_verify(sig_one.get(), key.get(), zero.data(), 32), 1);
}

// --- verification's range checks ----------------------------------------

struct RangeCase {
  const char* name;
  int r_kind;  // 0 valid, 1 zero, 2 q, 3 q + 1, 4 null
  int s_kind;
  int reason;  // 0: valid
};

class R3410RangeTest : public R3410SignTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(R3410RangeTest, OutOfRangeHalvesAreInvalidNotErrors) {
  KeyPtr key = MakeBuiltinKey();
  std::array<unsigned char, 32> digest{};
  digest[0] = 0x42;
  FeedRandom(32 * 64);
  SigPtr sig(GOSTS_do_sign(key.get(), digest.data(), 32));
  ASSERT_NE(sig, nullptr);
  auto set = [&](BIGNUM*& field, int kind) {
    switch (kind) {
      case 1:
        BN_zero(field);
        break;
      case 2:
        BN_copy(field, key->q);
        break;
      case 3:
        BN_copy(field, key->q);
        BN_add_word(field, 1);
        break;
      case 4:
        BN_free(field);
        field = nullptr;
        break;
      default:
        break;
    }
  };
  const RangeCase& c = GetParam();
  set(sig->r, c.r_kind);
  set(sig->s, c.s_kind);
  ERR_clear_error();
  EXPECT_EQ(GOSTS_do_verify(sig.get(), key.get(), digest.data(), 32), c.reason == 0 ? 1 : 0);
  if (c.reason != 0) ExpectLastError(ERRLIB_GOSTS, GOSTS_F_GOSTS_DO_VERIFY, c.reason);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, R3410RangeTest,
    ::testing::Values(RangeCase{"valid", 0, 0, 0}, RangeCase{"r_zero", 1, 0, GOSTS_R_R_IS_ZERO},
                      RangeCase{"r_null", 4, 0, GOSTS_R_R_IS_ZERO}, RangeCase{"r_q", 2, 0, GOSTS_R_R_GE_Q},
                      RangeCase{"r_q_plus_1", 3, 0, GOSTS_R_R_GE_Q}, RangeCase{"s_zero", 0, 1, GOSTS_R_S_IS_ZERO},
                      RangeCase{"s_null", 0, 4, GOSTS_R_S_IS_ZERO}, RangeCase{"s_q", 0, 2, GOSTS_R_S_GE_Q},
                      RangeCase{"s_q_plus_1", 0, 3, GOSTS_R_S_GE_Q}, RangeCase{"both_zero", 1, 1, GOSTS_R_R_IS_ZERO}),
    [](const ::testing::TestParamInfo<RangeCase>& info) { return std::string(info.param.name); });

TEST_F(R3410SignTest, MissingKeyPartsAreErrors) {
  KeyPtr key = MakeBuiltinKey();
  std::array<unsigned char, 32> digest{};
  FeedRandom(32 * 64);
  SigPtr sig(GOSTS_do_sign(key.get(), digest.data(), 32));
  ASSERT_NE(sig, nullptr);
  for (BIGNUM* R3410::*field : {&R3410::y, &R3410::p, &R3410::q, &R3410::a}) {
    KeyPtr partial = MakeKey(key->p, key->q, key->a);
    partial->y = BN_dup(key->y);
    BN_free(partial.get()->*field);
    partial.get()->*field = nullptr;
    ERR_clear_error();
    EXPECT_EQ(GOSTS_do_verify(sig.get(), partial.get(), digest.data(), 32), -1);
    ExpectLastError(ERRLIB_GOSTS, GOSTS_F_GOSTS_DO_VERIFY, ERR_R_INTERNAL);
  }
  // Signing without x (and without the secret buffer) gives no signature.
  KeyPtr no_x = MakeKey(key->p, key->q, key->a);
  ERR_clear_error();
  EXPECT_EQ(GOSTS_do_sign(no_x.get(), digest.data(), 32), nullptr);
  ExpectLastError(ERRLIB_GOSTS, GOSTS_F_GOSTS_DO_SIGN, ERR_R_INTERNAL);
}

// The per-key verification memory follows the key's numbers: after y is
// replaced, the old key's signatures fail and the new key's pass.
TEST_F(R3410SignTest, ReplacedPublicKeyIsNotServedFromTheVerificationMemory) {
  KeyPtr alice = MakeBuiltinKey();
  KeyPtr bob = MakeBuiltinKey();
  std::array<unsigned char, 32> digest{};
  digest[9] = 0x33;
  FeedRandom(32 * 64);
  SigPtr by_alice(GOSTS_do_sign(alice.get(), digest.data(), 32));
  FeedRandom(32 * 64);
  SigPtr by_bob(GOSTS_do_sign(bob.get(), digest.data(), 32));
  ASSERT_TRUE(by_alice && by_bob);
  KeyPtr holder = MakeKey(alice->p, alice->q, alice->a);
  holder->y = BN_dup(alice->y);
  for (int round = 0; round < 2; ++round) {  // the second round is served from memory
    EXPECT_EQ(GOSTS_do_verify(by_alice.get(), holder.get(), digest.data(), 32), 1);
    EXPECT_EQ(GOSTS_do_verify(by_bob.get(), holder.get(), digest.data(), 32), 0);
  }
  BN_copy(holder->y, bob->y);
  EXPECT_EQ(GOSTS_do_verify(by_alice.get(), holder.get(), digest.data(), 32), 0);
  EXPECT_EQ(GOSTS_do_verify(by_bob.get(), holder.get(), digest.data(), 32), 1);
  // A y changed to a value outside the subgroup is checked again, not trusted.
  BN_set_word(holder->y, 2);
  EXPECT_EQ(GOSTS_do_verify(by_bob.get(), holder.get(), digest.data(), 32), -1);
}

// --- hostile public keys ---------------------------------------------------

// With y = p - 1 (order 2) the verification equation alone accepts a
// signature anyone can make: pick k', r = (a^k' mod p) mod q, s = k'*m mod q;
// then z1 = k' and y^z2 = 1 whenever z2 is even.
TEST_F(R3410SignTest, PublicKeyOutsideTheSubgroupIsRefused) {
  KeyPtr key = MakeBuiltinKey();
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr p_minus_1(BN_dup(key->p));
  ASSERT_TRUE(BN_sub_word(p_minus_1.get(), 1));
  std::array<unsigned char, 32> digest{};
  BnPtr m(BN_new()), k(BN_new()), r(BN_new()), s(BN_new()), v(BN_new()), z2(BN_new());
  bool forged = false;
  for (int attempt = 0; attempt < 64 && !forged; ++attempt) {
    ASSERT_EQ(::RAND_bytes(digest.data(), 32), 1);
    ASSERT_TRUE(BN_bin2bn(digest.data(), 32, m.get()));
    ASSERT_TRUE(BN_nnmod(m.get(), m.get(), key->q, ctx.get()));
    ASSERT_TRUE(BN_rand_range(k.get(), key->q));
    ASSERT_TRUE(BN_mod_exp(r.get(), key->a, k.get(), key->p, ctx.get()));
    ASSERT_TRUE(BN_nnmod(r.get(), r.get(), key->q, ctx.get()));
    ASSERT_TRUE(BN_mod_mul(s.get(), k.get(), m.get(), key->q, ctx.get()));
    ASSERT_TRUE(BN_mod_inverse(v.get(), m.get(), key->q, ctx.get()));
    ASSERT_TRUE(BN_sub(z2.get(), key->q, r.get()));
    ASSERT_TRUE(BN_mod_mul(z2.get(), z2.get(), v.get(), key->q, ctx.get()));
    forged = !BN_is_odd(z2.get()) && !BN_is_zero(r.get()) && !BN_is_zero(s.get());
  }
  ASSERT_TRUE(forged);
  ASSERT_TRUE(OracleVerifies(key->p, key->q, key->a, p_minus_1.get(), r.get(), s.get(), m.get()))
      << "the forgery must pass the bare equation, or this test proves nothing";
  SigPtr sig(R3410_SIG_new());
  BN_copy(sig->r, r.get());
  BN_copy(sig->s, s.get());

  BnPtr non_member = Hex("2");  // 2 is not in the subgroup of order q here
  BnPtr p_plus_1(BN_dup(key->p));
  ASSERT_TRUE(BN_add_word(p_plus_1.get(), 1));
  BnPtr zero = Hex("0"), one = Hex("1"), negative = Hex("-5");
  std::vector<unsigned char> raw = Bytes(r.get(), 32);
  const std::vector<unsigned char> raw_s = Bytes(s.get(), 32);
  raw.insert(raw.end(), raw_s.begin(), raw_s.end());
  for (const BIGNUM* bad_y :
       {p_minus_1.get(), zero.get(), one.get(), key->p, p_plus_1.get(), non_member.get(), negative.get()}) {
    KeyPtr hostile = MakeKey(key->p, key->q, key->a);
    hostile->y = BN_dup(bad_y);
    ERR_clear_error();
    EXPECT_EQ(GOSTS_do_verify(sig.get(), hostile.get(), digest.data(), 32), -1) << ToHex(bad_y);
    ExpectLastError(ERRLIB_GOSTS, GOSTS_F_GOSTS_DO_VERIFY, GOSTS_R_INVALID_PUBLIC_KEY);
    EXPECT_EQ(R3410_verify(0, hostile.get(), digest.data(), 32, raw.data(), 64), 0);
  }
}

TEST_F(R3410SignTest, HostileExplicitParametersAreRefused) {
  VectorSection v = LoadVectors().at("id-GostR3410-94-CryptoPro-A-ParamSet");
  BnPtr p = Hex(v["p"]), q = Hex(v["q"]), a = Hex(v["a"]);
  KeyPtr good = MakeKey(p.get(), q.get(), a.get(), Hex("77777").get());
  SigPtr sig(R3410_SIG_new());
  BN_set_word(sig->r, 5);
  BN_set_word(sig->s, 7);
  std::array<unsigned char, 32> digest{};
  BnPtr even(BN_dup(p.get()));
  BN_add_word(even.get(), 1);
  BnPtr huge(BN_new());
  BN_set_bit(huge.get(), 8191);
  BN_add_word(huge.get(), 1);
  BnPtr three = Hex("3"), one = Hex("1");
  struct {
    const BIGNUM *p, *q, *a;
    int reason;
  } cases[] = {
      {even.get(), q.get(), a.get(), GOSTS_R_INVALID_LENGTH_OF_P},
      {huge.get(), q.get(), a.get(), GOSTS_R_INVALID_LENGTH_OF_P},
      {p.get(), p.get(), a.get(), GOSTS_R_INVALID_LENGTH_OF_P_Q},
      {p.get(), q.get(), one.get(), GOSTS_R_INVALID_DOMAIN_PARAMETERS},
      {p.get(), q.get(), p.get(), GOSTS_R_INVALID_DOMAIN_PARAMETERS},
      {p.get(), q.get(), three.get(), GOSTS_R_INVALID_DOMAIN_PARAMETERS},  // 3 is not of order q
  };
  for (const auto& c : cases) {
    KeyPtr key = MakeKey(c.p, c.q, c.a);
    key->y = BN_dup(good->y);
    ERR_clear_error();
    EXPECT_EQ(GOSTS_do_verify(sig.get(), key.get(), digest.data(), 32), -1);
    ExpectLastError(ERRLIB_GOSTS, GOSTS_F_GOSTS_DO_VERIFY, c.reason);
  }
}

// --- keys whose private number is in the secret buffer, provider keys -------

TEST_F(R3410SignTest, SecretBufferKeySignsRepeatedlyAndStaysUnchanged) {
  KeyPtr plain = MakeBuiltinKey();
  KeyPtr key = MakeKey(plain->p, plain->q, plain->a);
  key->y = BN_dup(plain->y);
  key->secret = static_cast<unsigned char*>(OPENSSL_malloc(32));
  ASSERT_EQ(BN_bn2binpad(plain->x, key->secret, 32), 32);
  const std::vector<unsigned char> before(key->secret, key->secret + 32);
  std::array<unsigned char, 32> digest{};
  digest[5] = 9;
  BnPtr k = Hex("ABCDEF");
  for (int i = 0; i < 3; ++i) {
    Feed(k.get(), 32);
    SigPtr sig(GOSTS_do_sign(key.get(), digest.data(), 32));
    ASSERT_NE(sig, nullptr) << "signature " << i;
    EXPECT_EQ(GOSTS_do_verify(sig.get(), key.get(), digest.data(), 32), 1);
    // The same k with the plain key gives the same signature.
    Feed(k.get(), 32);
    SigPtr same(GOSTS_do_sign(plain.get(), digest.data(), 32));
    ASSERT_NE(same, nullptr);
    EXPECT_EQ(BN_cmp(sig->s, same->s), 0);
  }
  EXPECT_EQ(key->x, nullptr);
  EXPECT_EQ(std::vector<unsigned char>(key->secret, key->secret + 32), before);
}

// While the key container still protects x (tag present) nothing signs
// with it or derives y from it.
TEST_F(R3410SignTest, ProtectedPrivateNumberIsNotUsed) {
  KeyPtr key = MakeBuiltinKey();
  BnPtr y_before(BN_dup(key->y));
  key->tag = BN_new();
  BN_set_word(key->tag, 0x01020304);
  std::array<unsigned char, 32> digest{};
  FeedRandom(32 * 64);
  ERR_clear_error();
  EXPECT_EQ(GOSTS_do_sign(key.get(), digest.data(), 32), nullptr);
  ExpectLastError(ERRLIB_GOSTS, GOSTS_F_GOSTS_DO_SIGN, GOSTS_R_INVALID_PRIVATE_KEY);
  BIGNUM *k = nullptr, *r = nullptr, *xr = nullptr;
  EXPECT_EQ(GOSTS_sign_setup(key.get(), &k, &r, &xr), 0);
  EXPECT_EQ(k, nullptr);
  EXPECT_EQ(R3410_generate_pubkey(key.get()), 0);
  EXPECT_EQ(BN_cmp(key->y, y_before.get()), 0);
  // Once the tag is gone (the container decrypted x) the key signs.
  BN_free(key->tag);
  key->tag = nullptr;
  SigPtr sig(GOSTS_do_sign(key.get(), digest.data(), 32));
  ASSERT_NE(sig, nullptr);
  EXPECT_EQ(GOSTS_do_verify(sig.get(), key.get(), digest.data(), 32), 1);
}

struct ProviderCall {
  int calls = 0;
  void* provider = nullptr;
  int key_spec = 0;
  int type = 0;
} g_provider;

int FakeProviderSign(void* provider, int key_spec, int type, const unsigned char* digest, unsigned char* sig,
                     unsigned int* len) {
  ++g_provider.calls;
  g_provider.provider = provider;
  g_provider.key_spec = key_spec;
  g_provider.type = type;
  for (int i = 0; i < 64; ++i) sig[i] = static_cast<unsigned char>(digest[i % 32] ^ i);
  *len = 64;
  return 64;
}

TEST_F(R3410SignTest, ProviderKeyIsSignedByTheProviderWithoutTouchingX) {
  KeyPtr key = MakeBuiltinKey();
  BN_clear_free(key->x);
  key->x = nullptr;  // any use of x would fail
  int handle = 0;
  key->provider = &handle;
  key->key_spec = 2;
  std::array<unsigned char, 32> digest{};
  digest[0] = 0x11;
  std::array<unsigned char, 80> out{};
  unsigned int len = 99;
  EXPECT_EQ(R3410_sign(1, key.get(), digest.data(), 32, out.data(), &len), 0);  // no provider signer yet
  EXPECT_EQ(len, 0u);
  R3410_set_provider_sign(FakeProviderSign);
  EXPECT_EQ(R3410_sign(1, key.get(), digest.data(), 32, out.data(), &len), 64);
  R3410_set_provider_sign(nullptr);
  EXPECT_EQ(len, 64u);
  EXPECT_EQ(g_provider.calls, 1);
  EXPECT_EQ(g_provider.provider, &handle);
  EXPECT_EQ(g_provider.key_spec, 2);
  EXPECT_EQ(g_provider.type, 176);
  EXPECT_EQ(out[0], 0x11);
  EXPECT_EQ(RAND_fixed_remaining(), 0u);
}

// --- the EVP slots ----------------------------------------------------------

TEST_F(R3410SignTest, EvpSlotsInBothForms) {
  KeyPtr key = MakeBuiltinKey();
  std::array<unsigned char, 32> digest{};
  ASSERT_EQ(::RAND_bytes(digest.data(), 32), 1);
  for (int form : {176, 0}) {
    FeedRandom(32 * 64);
    std::vector<unsigned char> out(static_cast<size_t>(R3410_size(key.get())));
    unsigned int len = 12345;
    ASSERT_EQ(R3410_sign(form, key.get(), digest.data(), 32, out.data(), &len), 1);
    if (form == 0) {
      EXPECT_EQ(len, 64u);  // two halves of exactly 32 bytes
    } else {
      EXPECT_LE(len, 72u);
      EXPECT_EQ(out[0], 0x30);
    }
    EXPECT_EQ(R3410_verify(form, key.get(), digest.data(), 32, out.data(), static_cast<int>(len)), 1);
    // The other form does not read it.
    EXPECT_EQ(R3410_verify(form == 0 ? 1 : 0, key.get(), digest.data(), 32, out.data(), static_cast<int>(len)), 0);
    // Tampered digest, byte, trailing garbage, truncation.
    std::array<unsigned char, 32> bad = digest;
    bad[31] ^= 0x80;
    EXPECT_EQ(R3410_verify(form, key.get(), bad.data(), 32, out.data(), static_cast<int>(len)), 0);
    std::vector<unsigned char> flipped(out.begin(), out.begin() + len);
    flipped[len - 1] ^= 0x01;
    EXPECT_EQ(R3410_verify(form, key.get(), digest.data(), 32, flipped.data(), static_cast<int>(len)), 0);
    std::vector<unsigned char> longer(out.begin(), out.begin() + len);
    longer.push_back(0);
    longer.push_back(0);
    EXPECT_EQ(R3410_verify(form, key.get(), digest.data(), 32, longer.data(), static_cast<int>(longer.size())), 0);
    EXPECT_EQ(R3410_verify(form, key.get(), digest.data(), 32, out.data(), static_cast<int>(len) - 1), 0);
  }
  unsigned int len = 7;
  EXPECT_EQ(R3410_sign(1, nullptr, digest.data(), 32, nullptr, &len), 0);
  EXPECT_EQ(len, 0u);
}

// The raw form verifies only as two halves of bits(q) / 8 bytes: the same
// numbers padded or split at another width are not the signature.
TEST_F(R3410SignTest, RawSignatureVerifiesOnlyInTheWidthOfQ) {
  KeyPtr key = MakeBuiltinKey();
  std::array<unsigned char, 32> digest{};
  ASSERT_EQ(::RAND_bytes(digest.data(), 32), 1);
  FeedRandom(32 * 64);
  std::vector<unsigned char> raw(64);
  unsigned int len = 0;
  ASSERT_EQ(R3410_sign(0, key.get(), digest.data(), 32, raw.data(), &len), 1);
  ASSERT_EQ(len, 64u);
  ASSERT_EQ(R3410_verify(0, key.get(), digest.data(), 32, raw.data(), 64), 1);
  std::vector<unsigned char> padded;
  padded.push_back(0);
  padded.insert(padded.end(), raw.begin(), raw.begin() + 32);
  padded.push_back(0);
  padded.insert(padded.end(), raw.begin() + 32, raw.end());
  ERR_clear_error();
  EXPECT_EQ(R3410_verify(0, key.get(), digest.data(), 32, padded.data(), static_cast<int>(padded.size())), 0);
  EXPECT_EQ(ERR_GET_LIB_CODE(ERR_peek_error()), ERRLIB_GOSTS);
  EXPECT_EQ(ERR_GET_FUNC_CODE(ERR_peek_error()), GOSTS_F_D2I_GOSTS_SIG);
  // The splitter alone still takes any even length (same numbers here).
  const unsigned char* in = padded.data();
  SigPtr loose(d2i_GOSTS_SIG(nullptr, &in, static_cast<long>(padded.size())));
  ASSERT_NE(loose, nullptr);
  SigPtr exact(R3410_SIG_from_raw_exact(raw.data(), 64, 32));
  ASSERT_NE(exact, nullptr);
  EXPECT_EQ(BN_cmp(loose->r, exact->r), 0);
  EXPECT_EQ(R3410_SIG_from_raw_exact(padded.data(), static_cast<long>(padded.size()), 32), nullptr);
  ERR_clear_error();
}

// --- concurrency: the shared tables are made once and read by all -------------

TEST(R3410Threads, ConcurrentSignAndVerifyWithBuiltinParameters) {
  // OpenSSL's own generator stands in so threads do not share a fixed queue.
  struct OsslRand {
    static int bytes(unsigned char* b, int n) { return ::RAND_bytes(b, n) == 1 ? n : 0; }
  };
  static const RAND_METHOD kOssl = {nullptr, OsslRand::bytes, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  RAND_set_rand_method(&kOssl);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&failures, t] {
      KeyPtr key = MakeBuiltinKey();
      for (int i = 0; i < 6; ++i) {
        std::array<unsigned char, 32> digest{};
        digest[0] = static_cast<unsigned char>(t);
        digest[1] = static_cast<unsigned char>(i);
        SigPtr sig(GOSTS_do_sign(key.get(), digest.data(), 32));
        if (!sig || GOSTS_do_verify(sig.get(), key.get(), digest.data(), 32) != 1) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  RAND_set_rand_method(nullptr);
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace qcrypto
