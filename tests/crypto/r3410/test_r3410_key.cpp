// The key record: creation, references, built-in parameters, public-key
// derivation, size and the Diffie-Hellman bridge.
#include <gtest/gtest.h>
#include <openssl/dh.h>
#include <openssl/evp.h>

#include <vector>

#include "crypto/err/err.h"
#include "crypto/r3410/r3410.h"
#include "r3410_test_util.h"

namespace qcrypto {
namespace {

using namespace qcrypto::testing;

TEST(R3410Key, NewRecordDefaults) {
  KeyPtr key(GOSTS_new());
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->references, 1);
  EXPECT_EQ(key->write_params, 1);
  EXPECT_EQ(key->gen_flag, 0);
  EXPECT_EQ(key->p, nullptr);
  EXPECT_EQ(key->x, nullptr);
  EXPECT_EQ(key->secret, nullptr);
  EXPECT_EQ(key->provider, nullptr);
}

TEST(R3410Key, ReferencesKeepTheRecordAlive) {
  R3410* key = GOSTS_new();
  key->secret = static_cast<unsigned char*>(OPENSSL_malloc(32));
  std::fill(key->secret, key->secret + 32, 0x5A);
  EXPECT_EQ(R3410_up_ref(key), 1);
  EXPECT_EQ(key->references, 2);
  R3410_free(key);
  EXPECT_EQ(key->references, 1);
  EXPECT_EQ(key->secret[0], 0x5A);
  R3410_free(key);  // the last reference: freed (the sanitizer build checks for leaks)
  R3410_free(nullptr);
  EXPECT_EQ(R3410_up_ref(nullptr), 0);
}

TEST(R3410Key, BuiltinParametersHoldTheirRelations) {
  BnPtr p(BN_bin2bn(R3410_default_p(), R3410_DEFAULT_P_BYTES, nullptr));
  BnPtr q(BN_bin2bn(R3410_default_q(), R3410_DEFAULT_Q_BYTES, nullptr));
  BnPtr a(BN_bin2bn(R3410_default_a(), R3410_DEFAULT_A_BYTES, nullptr));
  EXPECT_EQ(ToHex(q.get()), "920B7B8A3F1F6F5195BCB0AB5C83850EE7C088461D8B5DAF27308183DAC5C6EB");
  EXPECT_EQ(BN_num_bits(p.get()), 1024);
  EXPECT_EQ(BN_num_bits(q.get()), 256);
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr t(BN_new()), pm1(BN_dup(p.get()));
  BN_sub_word(pm1.get(), 1);
  ASSERT_TRUE(BN_mod(t.get(), pm1.get(), q.get(), ctx.get()));
  EXPECT_TRUE(BN_is_zero(t.get()));
  ASSERT_TRUE(BN_mod_exp(t.get(), a.get(), q.get(), p.get(), ctx.get()));
  EXPECT_TRUE(BN_is_one(t.get()));
  EXPECT_EQ(BN_check_prime(p.get(), ctx.get(), nullptr), 1);
  EXPECT_EQ(BN_check_prime(q.get(), ctx.get(), nullptr), 1);
}

TEST(R3410Key, DefaultParamsFillOnlyIncompleteKeys) {
  // Complete: left alone.
  BnPtr seven = Hex("7"), five = Hex("5"), three = Hex("3");
  KeyPtr complete = MakeKey(seven.get(), five.get(), three.get());
  BIGNUM* p_before = complete->p;
  EXPECT_EQ(R3410_default_params(complete.get()), 1);
  EXPECT_EQ(complete->p, p_before);
  EXPECT_EQ(ToHex(complete->p), "07");
  // Partial or empty: all three replaced by the built-in numbers.
  KeyPtr partial = MakeKey(seven.get(), nullptr, three.get());
  KeyPtr empty(GOSTS_new());
  for (R3410* key : {partial.get(), empty.get()}) {
    EXPECT_EQ(R3410_default_params(key), 1);
    EXPECT_EQ(BN_num_bits(key->p), 1024);
    EXPECT_EQ(BN_num_bits(key->a), 1024);
    EXPECT_EQ(ToHex(key->q), "920B7B8A3F1F6F5195BCB0AB5C83850EE7C088461D8B5DAF27308183DAC5C6EB");
    EXPECT_EQ(key->q_bits, 256);
  }
  EXPECT_EQ(R3410_default_params(nullptr), 0);
}

TEST(R3410Key, SizeIsTwoFullIntegersInASequence) {
  KeyPtr key(GOSTS_new());
  EXPECT_EQ(R3410_size(key.get()), 0);  // no q
  ASSERT_EQ(R3410_default_params(key.get()), 1);
  EXPECT_EQ(R3410_size(key.get()), 72);
  struct {
    const char* q;
    int size;
  } cases[] = {
      {"FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF", 2 + 2 * (2 + 21)},  // 160-bit q
      {"7FFF", 2 + 2 * (2 + 3)},                                       // 15 bits: 2 bytes
      // 512-bit q: each INTEGER has 65 content bytes, the SEQUENCE 134 (long form).
      {"FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
       "FFFFFFFFFFFFFFFFF",
       3 + 2 * (2 + 65)},
  };
  for (const auto& c : cases) {
    BnPtr q = Hex(c.q);
    BN_free(key->q);
    key->q = BN_dup(q.get());
    EXPECT_EQ(R3410_size(key.get()), c.size) << c.q;
  }
  EXPECT_EQ(R3410_size(nullptr), 0);
}

struct PubkeyCase {
  const char* name;
  int x_kind;  // 0 zero, 1 q, 2 q + 1, 3 negative
};

class R3410PubkeyTest : public ::testing::TestWithParam<PubkeyCase> {};

TEST_P(R3410PubkeyTest, InvalidPrivateKeyLeavesYUnchanged) {
  KeyPtr key = MakeBuiltinKey();
  BIGNUM* y_before = key->y;
  BnPtr y_copy(BN_dup(key->y));
  switch (GetParam().x_kind) {
    case 0:
      BN_zero(key->x);
      break;
    case 1:
      BN_copy(key->x, key->q);
      break;
    case 2:
      BN_copy(key->x, key->q);
      BN_add_word(key->x, 1);
      break;
    default:
      BN_set_word(key->x, 5);
      BN_set_negative(key->x, 1);
      break;
  }
  ERR_clear_error();
  EXPECT_EQ(R3410_generate_pubkey(key.get()), 0);
  EXPECT_EQ(key->y, y_before);
  EXPECT_EQ(BN_cmp(key->y, y_copy.get()), 0);
  // "invalid private key", then "internal error".
  unsigned long first = ERR_get_error();
  unsigned long second = ERR_get_error();
  EXPECT_EQ(ERR_GET_LIB_CODE(first), ERRLIB_R3410);
  EXPECT_EQ(ERR_GET_FUNC_CODE(first), R3410_F_R3410_GENERATE_PUBKEY);
  EXPECT_EQ(ERR_GET_REASON_CODE(first), GOSTS_R_INVALID_PRIVATE_KEY);
  EXPECT_EQ(ERR_GET_REASON_CODE(second), ERR_R_INTERNAL);
}

INSTANTIATE_TEST_SUITE_P(Cases, R3410PubkeyTest,
                         ::testing::Values(PubkeyCase{"zero", 0}, PubkeyCase{"q", 1}, PubkeyCase{"q_plus_1", 2},
                                           PubkeyCase{"negative", 3}),
                         [](const ::testing::TestParamInfo<PubkeyCase>& test_case) {
                           return std::string(test_case.param.name);
                         });

TEST(R3410Key, PublicKeyReplacesAnEarlierOneAndMatchesPlainArithmetic) {
  VectorSection v = LoadVectors().at("id-GostR3410-94-CryptoPro-B-ParamSet");
  BnPtr p = Hex(v["p"]), q = Hex(v["q"]), a = Hex(v["a"]);
  BnCtxPtr ctx(BN_CTX_new());
  for (const char* xhex :
       {"1", "2", "FFFFFFFFFFFFFFFF", "B09D634C10899CD7D4C3A7657403E05810B07C61A688BAB2C37F475E308B0606"}) {
    BnPtr x = Hex(xhex);
    KeyPtr key = MakeKey(p.get(), q.get(), a.get());
    key->y = BN_new();
    BN_set_word(key->y, 12345);
    key->x = BN_dup(x.get());
    ASSERT_EQ(R3410_generate_pubkey(key.get()), 1);
    BnPtr want(BN_new());
    ASSERT_TRUE(BN_mod_exp(want.get(), a.get(), x.get(), p.get(), ctx.get()));
    EXPECT_EQ(BN_cmp(key->y, want.get()), 0) << xhex;
  }
  KeyPtr no_x = MakeKey(p.get(), q.get(), a.get());
  EXPECT_EQ(R3410_generate_pubkey(no_x.get()), 0);
  EXPECT_EQ(R3410_generate_pubkey(nullptr), 0);
}

// Two keys on the built-in parameters agree on y_B^x_A = y_A^x_B through
// OpenSSL's Diffie-Hellman on the converted keys.
TEST(R3410Key, DiffieHellmanBridgeAgreesWithPlainArithmetic) {
  KeyPtr alice = MakeBuiltinKey();
  KeyPtr bob = MakeBuiltinKey();
  KeyPtr bob_public = MakeKey(bob->p, bob->q, bob->a);
  bob_public->y = BN_dup(bob->y);

  EVP_PKEY* mine = R3410_to_DH(alice.get());
  EVP_PKEY* peer = R3410_to_DH(bob_public.get());
  ASSERT_NE(mine, nullptr);
  ASSERT_NE(peer, nullptr);
  EVP_PKEY_CTX* dctx = EVP_PKEY_CTX_new_from_pkey(nullptr, mine, nullptr);
  ASSERT_NE(dctx, nullptr);
  ASSERT_EQ(EVP_PKEY_derive_init(dctx), 1);
  ASSERT_EQ(EVP_PKEY_derive_set_peer(dctx, peer), 1);
  // Padded to the length of p, as the plain value below is: unpadded, one
  // value in 256 would come out a byte short.
  ASSERT_EQ(EVP_PKEY_CTX_set_dh_pad(dctx, 1), 1);
  size_t len = 0;
  ASSERT_EQ(EVP_PKEY_derive(dctx, nullptr, &len), 1);
  std::vector<unsigned char> secret(len);
  ASSERT_EQ(EVP_PKEY_derive(dctx, secret.data(), &len), 1);
  secret.resize(len);

  BnCtxPtr ctx(BN_CTX_new());
  BnPtr z(BN_new());
  ASSERT_TRUE(BN_mod_exp(z.get(), bob->y, alice->x, alice->p, ctx.get()));
  EXPECT_EQ(secret, Bytes(z.get(), BN_num_bytes(alice->p)));

  // The converted key carries the parameters and the private-value length.
  BIGNUM* got_q = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(mine, "q", &got_q), 1);
  EXPECT_EQ(BN_cmp(got_q, alice->q), 0);
  BN_free(got_q);
  int priv_len = 0;
  ASSERT_EQ(EVP_PKEY_get_int_param(mine, "priv_len", &priv_len), 1);
  EXPECT_EQ(priv_len, 256);

  EVP_PKEY_CTX_free(dctx);
  EVP_PKEY_free(mine);
  EVP_PKEY_free(peer);
  EXPECT_EQ(R3410_to_DH(nullptr), nullptr);
}

}  // namespace
}  // namespace qcrypto
