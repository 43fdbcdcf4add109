// The key handle and private-key decoding: every source form, the password
// callback contract, protected GOST numbers opened through the container,
// protected-number tags that do not fit 32 bits.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/dsa.h>
#include <openssl/err.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/bn/bn_owner.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/evp/objects.h"
#include "crypto/pkey/key_envelope.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/rand/rand.h"
#include "crypto/x509/gost_keys.h"
#include "tests/crypto/x509/key_codec_test_util.h"
#include "tests/support/provider_fixture.h"
#include "tests/support/pse_memory.h"

QCRYPTO_DECLARE_OWNER(PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free)
QCRYPTO_DECLARE_OWNER(X509_SIG, X509_SIG_free)

namespace qcrypto {
namespace {

using keytest::Bytes;
using testing_support::MemoryPseStore;

// Signing draws its per-signature numbers from the library's random layer.
using test_support::kSystemRand;

Bytes take(unsigned char* der, int n) {
  if (n <= 0 || der == nullptr) return {};
  Bytes out(der, der + n);
  OPENSSL_clear_free(der, static_cast<size_t>(n));
  return out;
}

Bytes bio_bytes(BIO* bio) {
  const unsigned char* data = nullptr;
  const long n = BIO_get_mem_data(bio, reinterpret_cast<char**>(const_cast<unsigned char**>(&data)));
  return Bytes(data, data + n);
}

// Replaces the plain private number with its protected form under `store`.
void protect(BIGNUM* number, BIGNUM** tag, MemoryPseStore& store) {
  unsigned char plain[32], block[36];
  ASSERT_EQ(BN_bn2binpad(number, plain, 32), 32);
  ASSERT_TRUE(store.encrypt_opaque(plain, block));
  ASSERT_NE(BN_bin2bn(block, 32, number), nullptr);
  *tag = BN_bin2bn(block + 32, 4, nullptr);
  ASSERT_NE(*tag, nullptr);
  OPENSSL_cleanse(plain, sizeof plain);
}

UniquePtr<EVP_PKEY> make_openssl_key(const char* type) {
  UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
  EVP_PKEY* pkey = nullptr;
  if (std::strcmp(type, "RSA") == 0) {
    if (EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 1024) != 1) return nullptr;
  } else {
    // DSA needs domain parameters first.
    EVP_PKEY* params = nullptr;
    if (EVP_PKEY_paramgen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_dsa_paramgen_bits(ctx.get(), 1024) != 1 ||
        EVP_PKEY_paramgen(ctx.get(), &params) != 1)
      return nullptr;
    UniquePtr<EVP_PKEY> owned(params);
    ctx.reset(EVP_PKEY_CTX_new_from_pkey(nullptr, params, nullptr));
    if (EVP_PKEY_keygen_init(ctx.get()) != 1) return nullptr;
  }
  if (EVP_PKEY_keygen(ctx.get(), &pkey) != 1) return nullptr;
  return UniquePtr<EVP_PKEY>(pkey);
}

Bytes pkcs8_der(const PKCS8_PRIV_KEY_INFO* p8) {
  unsigned char* der = nullptr;
  const int n = i2d_PKCS8_PRIV_KEY_INFO(p8, &der);
  return take(der, n);
}

Bytes encrypt_pkcs8(const PKCS8_PRIV_KEY_INFO* p8, const std::string& password) {
  UniquePtr<X509_SIG> sig(PKCS8_encrypt(-1, EVP_aes_128_cbc(), password.data(), static_cast<int>(password.size()),
                                        nullptr, 0, 1000, const_cast<PKCS8_PRIV_KEY_INFO*>(p8)));
  if (!sig) return {};
  unsigned char* der = nullptr;
  const int n = i2d_X509_SIG(sig.get(), &der);
  return take(der, n);
}

struct PasswordScript {
  int result = 0;        // what the callback returns
  std::string password;  // what it writes (cut at the buffer)
  bool fill = false;     // writes the whole buffer with 'x'
  int calls = 0;
  int size_seen = 0;
};

int script_callback(char* buffer, int size, int, void* u) {
  auto* s = static_cast<PasswordScript*>(u);
  ++s->calls;
  s->size_seen = size;
  if (s->fill) {
    std::memset(buffer, 'x', static_cast<size_t>(size));
  } else {
    // The callback's result gives the length: no terminator is written.
    std::copy_n(s->password.data(), std::min(s->password.size(), static_cast<size_t>(size)), buffer);
  }
  return s->result;
}

// The key's own form in the four encodings the decoder accepts.
struct Encodings {
  Bytes typed, pkcs8, encrypted, pem, pkcs8_pem;
};

Bytes pkcs8_pem(const PKCS8_PRIV_KEY_INFO* p8) {
  UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  EXPECT_EQ(PEM_write_bio_PKCS8_PRIV_KEY_INFO(bio.get(), p8), 1);
  return bio_bytes(bio.get());
}

const std::string kPassword = "correct horse";

Encodings encode_gost(EVP_PKEY_ENVELOPE* env) {
  Encodings e;
  unsigned char* der = nullptr;
  UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  if (R3410* k = EVP_PKEY_ENVELOPE_get0_r3410(env)) {
    e.typed = take(der, i2d_R3410PrivateKey(k, &der));
    EXPECT_EQ(PEM_write_bio_R3410PrivateKey(bio.get(), k), 1);
  } else {
    ECGOST* ec = EVP_PKEY_ENVELOPE_get0_ecgost(env);
    e.typed = take(der, i2d_ECGOSTPrivateKey(ec, &der));
    EXPECT_EQ(PEM_write_bio_ECGOSTPrivateKey(bio.get(), ec), 1);
  }
  e.pem = bio_bytes(bio.get());
  UniquePtr<PKCS8_PRIV_KEY_INFO> p8(gost_key_to_pkcs8(env));
  EXPECT_NE(p8, nullptr);
  e.pkcs8 = pkcs8_der(p8.get());
  e.pkcs8_pem = pkcs8_pem(p8.get());
  e.encrypted = encrypt_pkcs8(p8.get(), kPassword);
  return e;
}

Encodings encode_openssl(EVP_PKEY* pkey) {
  Encodings e;
  unsigned char* der = nullptr;
  e.typed = take(der, i2d_PrivateKey(pkey, &der));  // type-specific for RSA and DSA
  UniquePtr<PKCS8_PRIV_KEY_INFO> p8(EVP_PKEY2PKCS8(pkey));
  EXPECT_NE(p8, nullptr);
  e.pkcs8 = pkcs8_der(p8.get());
  e.pkcs8_pem = pkcs8_pem(p8.get());
  e.encrypted = encrypt_pkcs8(p8.get(), kPassword);
  UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  EXPECT_EQ(PEM_write_bio_PrivateKey_traditional(bio.get(), pkey, nullptr, nullptr, 0, nullptr, nullptr), 1);
  e.pem = bio_bytes(bio.get());
  return e;
}

UniquePtr<EVP_PKEY_ENVELOPE> envelope_of_r3410(UniquePtr<R3410> key) {
  return UniquePtr<EVP_PKEY_ENVELOPE>(EVP_PKEY_ENVELOPE_new(evp_pkey_from_r3410(key.get()), nullptr));
}
UniquePtr<EVP_PKEY_ENVELOPE> envelope_of_ecgost(UniquePtr<ECGOST> key) {
  return UniquePtr<EVP_PKEY_ENVELOPE>(EVP_PKEY_ENVELOPE_new(evp_pkey_from_ecgost(key.get()), nullptr));
}

Bytes evp_sign(EVP_PKEY* pkey, const Bytes& msg) {
  UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (EVP_DigestSignInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, pkey, nullptr) != 1) return {};
  size_t len = 0;
  if (EVP_DigestSign(ctx.get(), nullptr, &len, msg.data(), msg.size()) != 1) return {};
  Bytes sig(len);
  if (EVP_DigestSign(ctx.get(), sig.data(), &len, msg.data(), msg.size()) != 1) return {};
  sig.resize(len);
  return sig;
}

int evp_verify(EVP_PKEY* pkey, const Bytes& msg, const Bytes& sig) {
  UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (EVP_DigestVerifyInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, pkey, nullptr) != 1) return -1;
  return EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), msg.data(), msg.size());
}

bool has_error(int lib, int func, int reason) {
  bool found = false;
  for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error())
    if (ERR_GET_LIB_CODE(e) == lib && ERR_GET_FUNC_CODE(e) == func && ERR_GET_REASON_CODE(e) == reason) found = true;
  return found;
}

class KeyEnvelope : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ERR_load_crypto_strings();
    RAND_set_rand_method(&kSystemRand);
  }
  static void TearDownTestSuite() { RAND_set_rand_method(nullptr); }
  void SetUp() override { ERR_clear_error(); }
  MemoryPseStore store_;
};

// Every form of every key type decodes to the same key with its source form.
TEST_F(KeyEnvelope, EveryFormOfEveryKeyTypeDecodes) {
  struct KeyCase {
    const char* name;
    int type;
    UniquePtr<EVP_PKEY_ENVELOPE> original;
  };
  std::vector<KeyCase> keys;
  keys.push_back({"R3410", SYSOBJ_R3410, envelope_of_r3410(keytest::MakeR3410())});
  keys.push_back({"ECGOST", SYSOBJ_ECR3410, envelope_of_ecgost(keytest::MakeEcgost(false))});
  keys.push_back(
      {"RSA", 6, UniquePtr<EVP_PKEY_ENVELOPE>(EVP_PKEY_ENVELOPE_new(make_openssl_key("RSA").release(), nullptr))});
  keys.push_back(
      {"DSA", 116, UniquePtr<EVP_PKEY_ENVELOPE>(EVP_PKEY_ENVELOPE_new(make_openssl_key("DSA").release(), nullptr))});
  for (auto& k : keys) {
    SCOPED_TRACE(k.name);
    ASSERT_NE(k.original, nullptr);
    const bool gost = k.type == SYSOBJ_R3410 || k.type == SYSOBJ_ECR3410;
    const Encodings e = gost ? encode_gost(k.original.get()) : encode_openssl(k.original->pkey);
    struct FormCase {
      const char* form;
      const Bytes* bytes;
      int source_form;
    } forms[] = {
        {"typed DER", &e.typed, KEY_SOURCE_TYPED_DER},
        {"PKCS#8", &e.pkcs8, KEY_SOURCE_PKCS8},
        {"encrypted PKCS#8", &e.encrypted, KEY_SOURCE_ENCRYPTED_PKCS8},
        {"PEM", &e.pem, KEY_SOURCE_TYPED_DER},
        {"PKCS#8 in PEM", &e.pkcs8_pem, KEY_SOURCE_PKCS8},
    };
    for (const auto& f : forms) {
      SCOPED_TRACE(f.form);
      ASSERT_FALSE(f.bytes->empty());
      PasswordScript script{static_cast<int>(kPassword.size()), kPassword};
      UniquePtr<EVP_PKEY_ENVELOPE> got(EVP_PKEY_decode_private(f.bytes->data(), static_cast<long>(f.bytes->size()),
                                                               &store_, script_callback, &script));
      ASSERT_NE(got, nullptr);
      EXPECT_EQ(got->type, k.type);
      EXPECT_EQ(got->source_form, f.source_form);
      EXPECT_EQ(got->decrypted, 1);
      EXPECT_EQ(EVP_PKEY_get_pse(got.get()), &store_);
      EXPECT_EQ(script.calls, f.source_form == KEY_SOURCE_ENCRYPTED_PKCS8 ? 1 : 0);
      if (k.type == SYSOBJ_R3410) {
        EXPECT_TRUE(keytest::BnEq(EVP_PKEY_ENVELOPE_get0_r3410(got.get())->x,
                                  EVP_PKEY_ENVELOPE_get0_r3410(k.original.get())->x));
        EXPECT_EQ(R3410_get_pse(EVP_PKEY_ENVELOPE_get0_r3410(got.get())), &store_);
      } else if (k.type == SYSOBJ_ECR3410) {
        EXPECT_TRUE(keytest::BnEq(EVP_PKEY_ENVELOPE_get0_ecgost(got.get())->d,
                                  EVP_PKEY_ENVELOPE_get0_ecgost(k.original.get())->d));
        EXPECT_EQ(ECGOST_get_pse(EVP_PKEY_ENVELOPE_get0_ecgost(got.get())), &store_);
      } else {
        EXPECT_EQ(EVP_PKEY_eq(got->pkey, k.original->pkey), 1);
      }
      // The key signs, and its signature verifies under the original key.
      const Bytes msg = {'m', 's', 'g', 1, 2, 3};
      const Bytes sig = evp_sign(got->pkey, msg);
      ASSERT_FALSE(sig.empty());
      EXPECT_EQ(evp_verify(k.original->pkey, msg, sig), 1);
    }
  }
}

TEST_F(KeyEnvelope, TypedDecoderTakesOnlyItsTypeAndWholeInput) {
  auto env = envelope_of_ecgost(keytest::MakeEcgost(false));
  const Encodings e = encode_gost(env.get());
  UniquePtr<EVP_PKEY_ENVELOPE> ok(
      EVP_PKEY_d2i_typed(SYSOBJ_ECR3410, e.typed.data(), static_cast<long>(e.typed.size())));
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->source_form, KEY_SOURCE_TYPED_DER);
  EXPECT_EQ(EVP_PKEY_d2i_typed(SYSOBJ_R3410, e.typed.data(), static_cast<long>(e.typed.size())), nullptr);
  EXPECT_TRUE(has_error(ERRLIB_EVP, EVP_F_EVP_PKEY_D2I_TYPED, KEY_R_ASN1_LIB));
  EXPECT_EQ(EVP_PKEY_d2i_typed(28, e.typed.data(), static_cast<long>(e.typed.size())), nullptr);
  Bytes trailing = e.typed;
  trailing.push_back(0);
  EXPECT_EQ(EVP_PKEY_d2i_typed(SYSOBJ_ECR3410, trailing.data(), static_cast<long>(trailing.size())), nullptr);
  EXPECT_EQ(EVP_PKEY_decode_private(trailing.data(), static_cast<long>(trailing.size()), nullptr, nullptr, nullptr),
            nullptr);
  ERR_clear_error();
}

// -1 and 0 cancel; 1 and 1024 are taken as given; 5000 is clamped to the
// buffer (without the clamp the decryption would read far past the buffer).
TEST_F(KeyEnvelope, PasswordCallbackResults) {
  auto env = envelope_of_r3410(keytest::MakeR3410());
  UniquePtr<PKCS8_PRIV_KEY_INFO> p8(gost_key_to_pkcs8(env.get()));
  ASSERT_NE(p8, nullptr);
  const Bytes under_one = encrypt_pkcs8(p8.get(), "k");
  const Bytes under_full = encrypt_pkcs8(p8.get(), std::string(KEY_PASSWORD_BYTES, 'x'));
  struct Case {
    int result;
    bool fill;
    const Bytes* input;
    bool decodes;
    int reason;
  } cases[] = {
      {-1, false, &under_one, false, EVP_KEY_R_PASSWORD_CANCELLED},
      {0, false, &under_one, false, EVP_KEY_R_PASSWORD_CANCELLED},
      {1, false, &under_one, true, 0},
      {KEY_PASSWORD_BYTES, true, &under_full, true, 0},
      {5000, true, &under_full, true, 0},
      {KEY_PASSWORD_BYTES - 1, true, &under_full, false, KEY_R_ASN1_LIB},  // one byte short: wrong password
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    ERR_clear_error();
    PasswordScript script{c.result, "k", c.fill};
    UniquePtr<EVP_PKEY_ENVELOPE> got(EVP_PKEY_decode_private(c.input->data(), static_cast<long>(c.input->size()),
                                                             &store_, script_callback, &script));
    EXPECT_EQ(script.calls, 1);
    EXPECT_EQ(script.size_seen, KEY_PASSWORD_BYTES);
    EXPECT_EQ(got != nullptr, c.decodes);
    if (!c.decodes) {
      EXPECT_TRUE(has_error(ERRLIB_EVP, EVP_F_EVP_PKEY_DECODE_PRIVATE, c.reason));
    } else {
      EXPECT_EQ(got->source_form, KEY_SOURCE_ENCRYPTED_PKCS8);
    }
  }
}

// The system's own PEM names with the classic encryption headers.
TEST_F(KeyEnvelope, EncryptedGostPemAsksThroughTheSameCallback) {
  auto env = envelope_of_r3410(keytest::MakeR3410());
  R3410* key = EVP_PKEY_ENVELOPE_get0_r3410(env.get());
  UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  unsigned char pass[] = "pem pass";
  ASSERT_EQ(PEM_ASN1_write_bio(reinterpret_cast<i2d_of_void*>(i2d_R3410PrivateKey), PEM_STRING_R3410_PRIVATE, bio.get(),
                               key, EVP_aes_128_cbc(), pass, 8, nullptr, nullptr),
            1);
  const Bytes pem = bio_bytes(bio.get());
  ASSERT_NE(std::string(pem.begin(), pem.end()).find("Proc-Type: 4,ENCRYPTED"), std::string::npos);
  struct Case {
    int result;
    const char* password;
    bool decodes;
  } cases[] = {{8, "pem pass", true}, {8, "pem pasX", false}, {0, "pem pass", false}, {5000, "pem pass", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.password);
    PasswordScript script{c.result, c.password};
    UniquePtr<EVP_PKEY_ENVELOPE> got(
        EVP_PKEY_decode_private(pem.data(), static_cast<long>(pem.size()), &store_, script_callback, &script));
    EXPECT_EQ(got != nullptr, c.decodes);
    EXPECT_EQ(script.calls, 1);
    if (got) {
      EXPECT_TRUE(keytest::BnEq(EVP_PKEY_ENVELOPE_get0_r3410(got.get())->x, key->x));
    }
  }
  ERR_clear_error();
}

TEST_F(KeyEnvelope, EncryptedPkcs8FailuresStopTheDecoding) {
  auto env = envelope_of_ecgost(keytest::MakeEcgost(false));
  UniquePtr<PKCS8_PRIV_KEY_INFO> p8(gost_key_to_pkcs8(env.get()));
  const Bytes encrypted = encrypt_pkcs8(p8.get(), kPassword);
  // Without a callback.
  EXPECT_EQ(EVP_PKEY_decode_private(encrypted.data(), static_cast<long>(encrypted.size()), &store_, nullptr, nullptr),
            nullptr);
  EXPECT_TRUE(has_error(ERRLIB_EVP, EVP_F_EVP_PKEY_DECODE_PRIVATE, EVP_KEY_R_NO_PASSWORD_CALLBACK));
  // A wrong password.
  PasswordScript wrong{5, "wrong"};
  EXPECT_EQ(
      EVP_PKEY_decode_private(encrypted.data(), static_cast<long>(encrypted.size()), &store_, script_callback, &wrong),
      nullptr);
  EXPECT_EQ(wrong.calls, 1);
  EXPECT_TRUE(has_error(ERRLIB_EVP, EVP_F_EVP_PKEY_DECODE_PRIVATE, KEY_R_ASN1_LIB));
  // The system's own password scheme, which nothing defines: a clear error.
  UniquePtr<X509_SIG> sig(X509_SIG_new());
  X509_ALGOR* alg = nullptr;
  ASN1_OCTET_STRING* digest = nullptr;
  X509_SIG_getm(sig.get(), &alg, &digest);
  ASSERT_EQ(X509_ALGOR_set0(alg, OBJ_nid2obj(sysobj_nid(SYSOBJ_pbeWithR3411AndGOST)), V_ASN1_UNDEF, nullptr), 1);
  ASSERT_EQ(ASN1_OCTET_STRING_set(digest, encrypted.data(), 40), 1);
  unsigned char* der = nullptr;
  const Bytes gost_pbe = take(der, i2d_X509_SIG(sig.get(), &der));
  ASSERT_FALSE(gost_pbe.empty());
  PasswordScript script{5, "whats"};
  EXPECT_EQ(
      EVP_PKEY_decode_private(gost_pbe.data(), static_cast<long>(gost_pbe.size()), &store_, script_callback, &script),
      nullptr);
  EXPECT_EQ(script.calls, 0);
  unsigned long e = ERR_peek_last_error();
  EXPECT_STREQ(ERR_reason_error_string(e), "unsupported password-based encryption");
  EXPECT_TRUE(has_error(ERRLIB_EVP, EVP_F_EVP_PKEY_DECODE_PRIVATE, EVP_KEY_R_UNSUPPORTED_PBE));
}

// Garbage fails with one entry after the caller's own, which stays.
TEST_F(KeyEnvelope, FailedAttemptsLeaveOnlyTheResultBehindTheCallersErrors) {
  QERR(ERRLIB_R3410, 1, 2);
  const Bytes junk = {0x30, 0x03, 0x02, 0x01, 0x05};
  EXPECT_EQ(EVP_PKEY_decode_private(junk.data(), static_cast<long>(junk.size()), &store_, nullptr, nullptr), nullptr);
  EXPECT_EQ(ERR_get_error(), ERR_PACK_CODE(ERRLIB_R3410, 1, 2));
  EXPECT_EQ(ERR_get_error(), ERR_PACK_CODE(ERRLIB_EVP, EVP_F_EVP_PKEY_DECODE_PRIVATE, KEY_R_ASN1_LIB));
  EXPECT_EQ(ERR_get_error(), 0UL);
  // A success leaves the caller's error alone and adds nothing.
  auto env = envelope_of_r3410(keytest::MakeR3410());
  const Encodings e = encode_gost(env.get());
  QERR(ERRLIB_R3410, 1, 2);
  UniquePtr<EVP_PKEY_ENVELOPE> got(
      EVP_PKEY_decode_private(e.pem.data(), static_cast<long>(e.pem.size()), &store_, nullptr, nullptr));
  EXPECT_NE(got, nullptr);
  EXPECT_EQ(ERR_get_error(), ERR_PACK_CODE(ERRLIB_R3410, 1, 2));
  EXPECT_EQ(ERR_get_error(), 0UL);
}

// Protected GOST keys: a decoded key is opened, checked and signs with the
// real number; a block the container refuses, a block of another key and a
// missing container refuse the key.
TEST_F(KeyEnvelope, ProtectedKeysAreOpenedCheckedOrRefused) {
  for (const bool ec : {false, true}) {
    SCOPED_TRACE(ec ? "ECGOST" : "R3410");
    auto original = ec ? envelope_of_ecgost(keytest::MakeEcgost(false)) : envelope_of_r3410(keytest::MakeR3410());
    auto other = ec ? envelope_of_ecgost(keytest::MakeEcgost(false)) : envelope_of_r3410(keytest::MakeR3410());
    ASSERT_NE(original, nullptr);
    // The protected encoding of the original, and one with the other key's
    // protected number under the original's public key.
    auto protected_der = [&](EVP_PKEY_ENVELOPE* number_from) {
      unsigned char* der = nullptr;
      Bytes out;
      if (ec) {
        ECGOST* k = EVP_PKEY_ENVELOPE_get0_ecgost(original.get());
        UniquePtr<BIGNUM> saved(BN_dup(k->d));
        BN_copy(k->d, EVP_PKEY_ENVELOPE_get0_ecgost(number_from)->d);
        protect(k->d, &k->tag, store_);
        out = take(der, i2d_ECGOSTPrivateKey(k, &der));
        BN_copy(k->d, saved.get());
        BN_clear_free(k->tag);
        k->tag = nullptr;
      } else {
        R3410* k = EVP_PKEY_ENVELOPE_get0_r3410(original.get());
        UniquePtr<BIGNUM> saved(BN_dup(k->x));
        BN_copy(k->x, EVP_PKEY_ENVELOPE_get0_r3410(number_from)->x);
        protect(k->x, &k->tag, store_);
        out = take(der, i2d_R3410PrivateKey(k, &der));
        BN_copy(k->x, saved.get());
        BN_clear_free(k->tag);
        k->tag = nullptr;
      }
      return out;
    };
    const Bytes good = protected_der(original.get());
    const Bytes foreign = protected_der(other.get());
    ASSERT_FALSE(good.empty());

    UniquePtr<EVP_PKEY_ENVELOPE> got(
        EVP_PKEY_decode_private(good.data(), static_cast<long>(good.size()), &store_, nullptr, nullptr));
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->decrypted, 1);
    if (ec) {
      EXPECT_EQ(EVP_PKEY_ENVELOPE_get0_ecgost(got.get())->tag, nullptr);
      EXPECT_TRUE(
          keytest::BnEq(EVP_PKEY_ENVELOPE_get0_ecgost(got.get())->d, EVP_PKEY_ENVELOPE_get0_ecgost(original.get())->d));
    } else {
      EXPECT_EQ(EVP_PKEY_ENVELOPE_get0_r3410(got.get())->tag, nullptr);
      EXPECT_TRUE(
          keytest::BnEq(EVP_PKEY_ENVELOPE_get0_r3410(got.get())->x, EVP_PKEY_ENVELOPE_get0_r3410(original.get())->x));
    }
    const Bytes msg = {9, 8, 7};
    const Bytes sig = evp_sign(got->pkey, msg);
    ASSERT_FALSE(sig.empty());
    EXPECT_EQ(evp_verify(original->pkey, msg, sig), 1);

    const int lib = ec ? ERRLIB_ECGOST : ERRLIB_R3410;
    const int func = ec ? ECGOST_F_ECGOST_DECRYPT_OPAQUE : R3410_F_R3410_DECRYPT_OPAQUE;
    ERR_clear_error();
    EXPECT_EQ(EVP_PKEY_decode_private(foreign.data(), static_cast<long>(foreign.size()), &store_, nullptr, nullptr),
              nullptr);
    EXPECT_TRUE(has_error(lib, func, EVP_KEY_R_KEY_MISMATCH));
    MemoryPseStore other_store(0x55);
    EXPECT_EQ(EVP_PKEY_decode_private(good.data(), static_cast<long>(good.size()), &other_store, nullptr, nullptr),
              nullptr);
    EXPECT_TRUE(has_error(ERRLIB_PSE, PSE_F_PSE_READ_OPAQUE, ERRLIB_PSE));
    EXPECT_EQ(EVP_PKEY_decode_private(good.data(), static_cast<long>(good.size()), nullptr, nullptr, nullptr), nullptr);
    EXPECT_TRUE(has_error(lib, func, KEY_R_PSE_LIB));
  }
}

// A protected number's tag is a 32-bit number. A file whose tag has more
// bits is refused by the decoders, not loaded as the key that the tag's low
// 32 bits name (two files, one key); a negative one too. The opening refuses
// such a tag on a record and leaves the record as it was.
TEST_F(KeyEnvelope, ProtectedKeyTagsOfMoreThan32BitsAreRefused) {
  for (const bool ec : {false, true}) {
    SCOPED_TRACE(ec ? "ECGOST" : "R3410");
    UniquePtr<R3410> r3410 = keytest::MakeR3410();
    UniquePtr<ECGOST> ecgost = keytest::MakeEcgost(false);
    ASSERT_TRUE(r3410 && ecgost);
    UniquePtr<BIGNUM> plain(BN_dup(ec ? ecgost->d : r3410->x));
    BIGNUM*& tag = ec ? ecgost->tag : r3410->tag;
    protect(ec ? ecgost->d : r3410->x, &tag, store_);
    const auto encode = [&] {
      unsigned char* der = nullptr;
      return ec ? take(der, i2d_ECGOSTPrivateKey(ecgost.get(), &der))
                : take(der, i2d_R3410PrivateKey(r3410.get(), &der));
    };
    const auto decodes = [&](const Bytes& der) {
      const unsigned char* p = der.data();
      const long n = static_cast<long>(der.size());
      const bool ok = ec ? UniquePtr<ECGOST>(d2i_ECGOSTPrivateKey(nullptr, &p, n)) != nullptr
                         : UniquePtr<R3410>(d2i_R3410PrivateKey(nullptr, &p, n)) != nullptr;
      ERR_clear_error();
      return ok;
    };
    const Bytes good = encode();
    ASSERT_FALSE(good.empty());
    ASSERT_TRUE(decodes(good));
    UniquePtr<EVP_PKEY_ENVELOPE> opened(
        EVP_PKEY_decode_private(good.data(), static_cast<long>(good.size()), &store_, nullptr, nullptr));
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(keytest::BnEq(
        ec ? EVP_PKEY_ENVELOPE_get0_ecgost(opened.get())->d : EVP_PKEY_ENVELOPE_get0_r3410(opened.get())->x,
        plain.get()));
    UniquePtr<BIGNUM> low(BN_dup(tag));

    // The widest tag that fits still decodes.
    ASSERT_EQ(BN_set_word(tag, 0xFFFFFFFFUL), 1);
    EXPECT_TRUE(decodes(encode()));

    for (const int bit : {32, 33, 40, 63, 64, 255}) {
      SCOPED_TRACE("bit " + std::to_string(bit));
      ASSERT_NE(BN_copy(tag, low.get()), nullptr);
      ASSERT_EQ(BN_set_bit(tag, bit), 1);
      const Bytes wide = encode();
      ASSERT_FALSE(wide.empty());
      EXPECT_FALSE(decodes(wide));
      EXPECT_EQ(EVP_PKEY_decode_private(wide.data(), static_cast<long>(wide.size()), &store_, nullptr, nullptr),
                nullptr);
      ERR_clear_error();
      // On the record: refused, the protected number and the tag kept.
      UniquePtr<BIGNUM> number_before(BN_dup(ec ? ecgost->d : r3410->x));
      UniquePtr<BIGNUM> tag_before(BN_dup(tag));
      EXPECT_EQ(ec ? ECGOST_decrypt_opaque(ecgost.get(), &store_) : R3410_decrypt_opaque(r3410.get(), &store_), 0);
      ASSERT_NE(tag, nullptr) << "opened";
      EXPECT_TRUE(keytest::BnEq(ec ? ecgost->d : r3410->x, number_before.get()));
      EXPECT_TRUE(keytest::BnEq(tag, tag_before.get()));
      ERR_clear_error();
    }

    // The tag is the last INTEGER of the encoding: with its sign bit set
    // (same length) it is negative.
    Bytes negative = good;
    const int tag_bytes = BN_num_bytes(low.get());
    const bool padded = BN_num_bits(low.get()) % 8 == 0;
    const std::size_t content = static_cast<std::size_t>(tag_bytes) + (padded ? 1U : 0U);
    ASSERT_GT(negative.size(), content + 2);
    ASSERT_EQ(negative[negative.size() - content - 2], 0x02);
    ASSERT_EQ(negative[negative.size() - content - 1], content);
    negative[negative.size() - content] |= 0x80;
    EXPECT_FALSE(decodes(negative));
    EXPECT_EQ(EVP_PKEY_decode_private(negative.data(), static_cast<long>(negative.size()), &store_, nullptr, nullptr),
              nullptr);
    ERR_clear_error();
  }
}

// On the records: a failing container and a mismatch leave the protected
// number and the tag as they were; a plain key passes through; a key without
// its public part gets it right after the opening.
TEST_F(KeyEnvelope, RecordLevelOpening) {
  auto key = keytest::MakeR3410();
  UniquePtr<BIGNUM> plain_x(BN_dup(key->x));
  UniquePtr<BIGNUM> y(BN_dup(key->y));
  EXPECT_EQ(R3410_decrypt_opaque(key.get(), nullptr), 1);  // plain: no container needed
  EXPECT_TRUE(keytest::BnEq(key->x, plain_x.get()));
  protect(key->x, &key->tag, store_);
  UniquePtr<BIGNUM> protected_x(BN_dup(key->x));
  UniquePtr<BIGNUM> tag(BN_dup(key->tag));

  store_.break_reads();
  EXPECT_EQ(R3410_decrypt_opaque(key.get(), &store_), 0);
  EXPECT_TRUE(keytest::BnEq(key->x, protected_x.get()));
  EXPECT_TRUE(keytest::BnEq(key->tag, tag.get()));
  store_.mend_reads();
  EXPECT_EQ(R3410_decrypt_opaque(key.get(), nullptr), 0);  // no container anywhere
  // The stored y of another number: refused, nothing changed.
  UniquePtr<BIGNUM> wrong_y(BN_dup(key->y));
  BN_add_word(key->y, 1);
  EXPECT_EQ(R3410_decrypt_opaque(key.get(), &store_), 0);
  EXPECT_TRUE(keytest::BnEq(key->x, protected_x.get()));
  EXPECT_NE(key->tag, nullptr);
  // Without y: opened, y derived; the container comes from the record.
  BN_free(key->y);
  key->y = nullptr;
  key->container = &store_;
  EXPECT_EQ(R3410_decrypt_opaque(key.get(), nullptr), 1);
  EXPECT_EQ(key->tag, nullptr);
  EXPECT_TRUE(keytest::BnEq(key->x, plain_x.get()));
  ASSERT_NE(key->y, nullptr);
  EXPECT_TRUE(keytest::BnEq(key->y, y.get()));

  // The same on the curve key through the envelope functions.
  auto env = envelope_of_ecgost(keytest::MakeEcgost(true));
  ECGOST* ec = EVP_PKEY_ENVELOPE_get0_ecgost(env.get());
  UniquePtr<BIGNUM> plain_d(BN_dup(ec->d));
  protect(ec->d, &ec->tag, store_);
  ASSERT_EQ(ECPOINT_set_infinity(ec->Q), 1);
  env->container = &store_;
  store_.break_reads();
  EXPECT_EQ(EVP_PKEY_generate_pubkey(env.get(), nullptr), 0);
  EXPECT_TRUE(has_error(ERRLIB_EVP, EVP_F_EVP_PKEY_GENERATE_PUBKEY, KEY_R_PSE_LIB));
  EXPECT_NE(ec->tag, nullptr);
  EXPECT_EQ(env->decrypted, 0);
  store_.mend_reads();
  EXPECT_EQ(EVP_PKEY_generate_pubkey(env.get(), nullptr), 1);
  EXPECT_EQ(env->decrypted, 1);
  EXPECT_TRUE(keytest::BnEq(ec->d, plain_d.get()));
  EXPECT_FALSE(ECPOINT_is_infinity(ec->Q));
  // A plain key of another type passes, flag set.
  UniquePtr<EVP_PKEY_ENVELOPE> rsa(EVP_PKEY_ENVELOPE_new(make_openssl_key("RSA").release(), nullptr));
  ASSERT_NE(rsa, nullptr);
  EXPECT_EQ(EVP_PKEY_decrypt_opaque(rsa.get(), nullptr), 1);
  EXPECT_EQ(rsa->decrypted, 1);
}

TEST_F(KeyEnvelope, OldFormatKeyGetsTheBuiltInParameters) {
  auto reference = keytest::MakeR3410();
  unsigned char plain[32], record[PSE_OLD_KEY_RECORD_BYTES];
  ASSERT_EQ(BN_bn2binpad(reference->x, plain, 32), 32);
  std::reverse(plain, plain + 32);  // stored little-endian
  std::memset(record, 0xA5, PSE_OLD_KEY_BLOCK_OFFSET);
  ASSERT_TRUE(store_.encrypt_opaque(plain, record + PSE_OLD_KEY_BLOCK_OFFSET));
  UniquePtr<R3410> key(R3410_load_old_pse_key(&store_, record, sizeof record));
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(BN_num_bits(key->p), 1024);
  EXPECT_EQ(BN_num_bits(key->q), 256);
  EXPECT_TRUE(keytest::BnEq(key->p, reference->p));
  EXPECT_TRUE(keytest::BnEq(key->q, reference->q));
  EXPECT_TRUE(keytest::BnEq(key->a, reference->a));
  EXPECT_TRUE(keytest::BnEq(key->x, reference->x));
  EXPECT_TRUE(keytest::BnEq(key->y, reference->y));
  EXPECT_EQ(R3410_get_pse(key.get()), &store_);
  // A short record, a changed block, a failing container.
  EXPECT_EQ(R3410_load_old_pse_key(&store_, record, sizeof record - 1), nullptr);
  record[10] ^= 1;
  EXPECT_EQ(R3410_load_old_pse_key(&store_, record, sizeof record), nullptr);
  EXPECT_TRUE(has_error(ERRLIB_EVP, EVP_F_EVP_PKEY_DECODE_PRIVATE, KEY_R_PSE_LIB));
  EXPECT_EQ(R3410_load_old_pse_key(nullptr, record, sizeof record), nullptr);
  ERR_clear_error();
}

// DH keys of the default provider come in through PKCS#8 (there is no typed
// DH form); the handle reaches a GOST record without a copy.
TEST_F(KeyEnvelope, DhThroughPkcs8AndRecordsWithoutCopies) {
  UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr));
  ASSERT_EQ(EVP_PKEY_keygen_init(ctx.get()), 1);
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("group", const_cast<char*>("ffdhe2048"), 0),
                         OSSL_PARAM_construct_end()};
  ASSERT_EQ(EVP_PKEY_CTX_set_params(ctx.get(), params), 1);
  EVP_PKEY* dh = nullptr;
  ASSERT_EQ(EVP_PKEY_keygen(ctx.get(), &dh), 1);
  UniquePtr<EVP_PKEY> dh_owned(dh);
  UniquePtr<PKCS8_PRIV_KEY_INFO> p8(EVP_PKEY2PKCS8(dh));
  ASSERT_NE(p8, nullptr);
  const Bytes der = pkcs8_der(p8.get());
  UniquePtr<EVP_PKEY_ENVELOPE> got(
      EVP_PKEY_decode_private(der.data(), static_cast<long>(der.size()), nullptr, nullptr, nullptr));
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->type, 28);
  EXPECT_EQ(got->source_form, KEY_SOURCE_PKCS8);
  EXPECT_EQ(EVP_PKEY_eq(got->pkey, dh), 1);
  EXPECT_EQ(EVP_PKEY_ENVELOPE_get0_r3410(got.get()), nullptr);

  auto key = keytest::MakeEcgost(false);
  ECGOST* raw = key.get();
  auto env = envelope_of_ecgost(std::move(key));
  ASSERT_NE(env, nullptr);
  EXPECT_EQ(EVP_PKEY_ENVELOPE_get0_ecgost(env.get()), raw);
  EXPECT_EQ(EVP_PKEY_ENVELOPE_get0_r3410(env.get()), nullptr);
}

TEST_F(KeyEnvelope, OwnReasonsDoNotShadowOpenSslTexts) {
  for (const int reason : {EVP_KEY_R_NO_PASSWORD_CALLBACK, EVP_KEY_R_PASSWORD_CANCELLED, EVP_KEY_R_KEY_MISMATCH,
                           EVP_KEY_R_UNSUPPORTED_PBE}) {
    EXPECT_NE(ERR_reason_error_string(ERR_PACK_CODE(ERRLIB_EVP, 0, reason)), nullptr) << reason;
  }
  EXPECT_STREQ(ERR_func_error_string(ERR_PACK_CODE(ERRLIB_EVP, EVP_F_EVP_PKEY_DECODE_PRIVATE, 0)),
               "EVP_PKEY_decode_private");
  EXPECT_NE(ERR_error_string(ERR_PACK_CODE(ERRLIB_EVP, EVP_F_EVP_PKEY_DECODE_PRIVATE, EVP_KEY_R_NO_PASSWORD_CALLBACK))
                .find("digital envelope routines:EVP_PKEY_decode_private:no password callback"),
            std::string::npos);
  // OpenSSL's own EVP reasons keep their texts.
  EXPECT_STREQ(ERR_reason_error_string(ERR_PACK_CODE(ERRLIB_EVP, 0, EVP_R_BAD_DECRYPT)), "bad decrypt");
}

}  // namespace
}  // namespace qcrypto
