// RSA key transport with implicit rejection: a forged encrypted key (bad
// padding, a well-padded key of another length, a well-formed wrong key)
// runs the message to its end like a wrong key, with the same result, the
// same error queue and the same progress reports; and the choice between the
// decrypted key and the random one, on crafted blocks.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "crypto/rand/rand_fixed.h"
#include "pkcs7_test_util.h"
#include "tests/support/rsa_forge.h"

namespace pkcs7_test {
namespace {

using test_support::forged_block;
using test_support::RsaForgery;

using RsaTransport = EnvelopeTest;

// --- the choice on crafted blocks ------------------------------------------

TEST(RsaCekSelect, TakesTheKeyOnlyFromAWellFormedBlockOfItsLength) {
  constexpr std::size_t kKey = 32;
  const Bytes fallback = pattern(kKey, 11);
  const Bytes key = [] {
    Bytes b = pattern(kKey, 12);
    b[0] = 0;  // zero bytes inside the key are part of it
    b[17] = 0;
    return b;
  }();
  // k, then a change to a well-formed block (index, value; index < 0: none).
  struct Row {
    const char* what;
    std::size_t k;
    int index;
    unsigned char value;
    bool takes_key;
  };
  const Row rows[] = {
      {"well formed", 64, -1, 0, true},
      {"eight padding bytes", kKey + 11, -1, 0, true},
      {"seven padding bytes", kKey + 10, -1, 0, false},
      {"first byte not zero", 64, 0, 1, false},
      {"block type 1", 64, 1, 1, false},
      {"block type 0", 64, 1, 0, false},
      {"zero inside the padding: longer key", 64, 20, 0, false},
      {"zero as the first padding byte", 64, 2, 0, false},
      {"separator not zero", 64, 64 - kKey - 1, 0x33, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Bytes em(row.k);
    em[1] = 2;
    const std::size_t sep = row.k - kKey - 1;
    for (std::size_t i = 2; i < sep; ++i) em[i] = static_cast<unsigned char>(0x80 | i);
    std::copy(key.begin(), key.end(), em.begin() + static_cast<std::ptrdiff_t>(sep + 1));
    if (row.index >= 0) em[static_cast<std::size_t>(row.index)] = row.value;
    Bytes out(kKey, 0xEE);
    qcrypto::pkcs7_rsa_cek_select(em.data(), em.size(), fallback.data(), kKey, out.data());
    EXPECT_EQ(out, row.takes_key ? key : fallback);
  }
  // A separator moved one place on: a shorter key, refused; the same block
  // read for a key one byte shorter is well formed.
  Bytes em(64);
  em[1] = 2;
  for (std::size_t i = 2; i < 64 - kKey; ++i) em[i] = 0x44;
  em[64 - kKey] = 0;
  for (std::size_t i = 64 - kKey + 1; i < 64; ++i) em[i] = static_cast<unsigned char>(i);
  Bytes out(kKey);
  qcrypto::pkcs7_rsa_cek_select(em.data(), em.size(), fallback.data(), kKey, out.data());
  EXPECT_EQ(out, fallback);
  qcrypto::pkcs7_rsa_cek_select(em.data(), em.size(), fallback.data(), kKey - 1, out.data());
  EXPECT_EQ(Bytes(out.begin(), out.end() - 1), Bytes(em.end() - static_cast<std::ptrdiff_t>(kKey - 1), em.end()));
}

// --- whole messages ---------------------------------------------------------

struct Outcome {
  int rc = 0;
  std::size_t output = 0;
  std::vector<unsigned long> errors;
  std::vector<std::tuple<int, long, long>> progress;
};

int record_progress(int stage, long done, long total, void* user) {
  static_cast<Outcome*>(user)->progress.emplace_back(stage, done, total);
  return 1;
}

// Opens the message with the fallback key drawn from a fixed stream, so that
// a run under a random key is reproducible.
Outcome open_recorded(const Bytes& msg, const Party& p, Bytes* plain) {
  Outcome o;
  qcrypto::ERR_clear_error();
  qcrypto::RAND_set_rand_method(qcrypto::RAND_fixed_method());
  qcrypto::RAND_fixed_set_bytes(pattern(256, 77));
  o.rc = open_msg(msg, p, plain, {record_progress, &o});
  qcrypto::RAND_set_rand_method(&kSystemRand);
  o.output = plain->size();
  for (unsigned long e; (e = qcrypto::ERR_get_error()) != 0;) o.errors.push_back(e);
  return o;
}

TEST_F(RsaTransport, ForgedKeysRunToTheEndLikeAWrongKey) {
  const Party& p = Pki::get().party(KeyKind::kRsa);
  ASSERT_TRUE(p.cert);
  const std::size_t k = static_cast<std::size_t>(EVP_PKEY_get_size(p.key.get()));
  const Bytes plain = pattern(2 * qcrypto::ENVELOPE_BLOCK + 300, 21);
  for (const EVP_CIPHER* cipher : {qcrypto::EVP_rus_gammar(), des3()}) {
    SCOPED_TRACE(EVP_CIPHER_get0_name(cipher));
    const std::size_t keylen = static_cast<std::size_t>(EVP_CIPHER_get_key_length(cipher));
    // Made from a fixed stream too: whether a wrong key happens to meet
    // valid content padding must not change from run to run.
    qcrypto::RAND_set_rand_method(qcrypto::RAND_fixed_method());
    qcrypto::RAND_fixed_set_bytes(pattern(4096, 78));
    const Bytes msg = seal({{p.cert.get(), 0}}, cipher, plain);
    qcrypto::RAND_set_rand_method(&kSystemRand);
    ASSERT_FALSE(msg.empty());
    Bytes out;
    const Outcome genuine = open_recorded(msg, p, &out);
    ASSERT_EQ(genuine.rc, 1);
    EXPECT_EQ(out, plain);

    std::vector<Outcome> forged;
    for (RsaForgery f : test_support::kAllRsaForgeries) {
      SCOPED_TRACE(test_support::forgery_name(f));
      Bytes bad = msg;
      const Bytes enc = test_support::rsa_raw_encrypt(X509_get0_pubkey(p.cert.get()), forged_block(k, keylen, f));
      ASSERT_TRUE(test_support::replace_encrypted_key(&bad, enc));
      forged.push_back(open_recorded(bad, p, &out));
      EXPECT_NE(out, plain);
      // Every block was reported, as for the genuine key.
      EXPECT_EQ(forged.back().progress, genuine.progress);
    }
    for (std::size_t i = 0; i + 1 < forged.size(); ++i) {
      SCOPED_TRACE(test_support::forgery_name(test_support::kAllRsaForgeries[i]));
      EXPECT_EQ(forged[i].rc, forged.back().rc);
      EXPECT_EQ(forged[i].output, forged.back().output);
      EXPECT_EQ(forged[i].errors, forged.back().errors);
      EXPECT_EQ(forged[i].progress, forged.back().progress);
    }
    if (cipher == des3()) {
      // The content's padding does not check under a wrong key (true of the
      // fixed stream's key and of the forged one): only that error.
      EXPECT_EQ(forged.back().rc, 0);
      bool rsa_lib = false;
      for (unsigned long e : forged.back().errors)
        rsa_lib = rsa_lib || qcrypto::ERR_GET_LIB_CODE(e) == qcrypto::ERRLIB_RSA;
      EXPECT_FALSE(rsa_lib);
      ASSERT_FALSE(forged.back().errors.empty());
      EXPECT_EQ(forged.back().errors.back(),
                qcrypto::ERR_PACK_CODE(qcrypto::ERRLIB_PKCS7, qcrypto::P7E_F_PKCS7_DATADECODE, qcrypto::P7E_R_DECRYPT));
    } else {
      // A stream cipher has nothing to check: garbage of the right length.
      EXPECT_EQ(forged.back().rc, 1);
      EXPECT_EQ(forged.back().output, plain.size());
      EXPECT_TRUE(forged.back().errors.empty());
    }
  }
}

// An encrypted key that is not as long as the modulus is refused before any
// content, whatever it holds: anyone can see its length.
TEST_F(RsaTransport, EncryptedKeyOfAnotherLengthIsRefused) {
  const Party& p = Pki::get().party(KeyKind::kRsa);
  const std::size_t k = static_cast<std::size_t>(EVP_PKEY_get_size(p.key.get()));
  qcrypto::UniquePtr<qcrypto::PKCS7_RECIP_INFO> ri(qcrypto::PKCS7_RECIP_INFO_new());
  ASSERT_TRUE(ri);
  ri->enc_key = ASN1_OCTET_STRING_new();
  const Bytes shorter(k - 1, 0x11);
  ASSERT_EQ(ASN1_OCTET_STRING_set(ri->enc_key, shorter.data(), static_cast<int>(shorter.size())), 1);
  const Bytes fallback = pattern(32, 3);
  Bytes out(32);
  EXPECT_LT(qcrypto::pkcs7_cek_decrypt_rsa(p.key.get(), ri.get(), out.data(), 32, fallback.data()), 1);
  EXPECT_TRUE(queued(qcrypto::P7E_F_PKCS7_CEK_DECRYPT, qcrypto::P7E_R_EVP_LIB));
  // The right length decrypts, to the fallback for a forged block.
  const Bytes enc =
      test_support::rsa_raw_encrypt(X509_get0_pubkey(p.cert.get()), forged_block(k, 32, RsaForgery::kBadPadding));
  ASSERT_EQ(ASN1_OCTET_STRING_set(ri->enc_key, enc.data(), static_cast<int>(enc.size())), 1);
  EXPECT_EQ(qcrypto::pkcs7_cek_decrypt_rsa(p.key.get(), ri.get(), out.data(), 32, fallback.data()), 32);
  EXPECT_EQ(out, fallback);
  EXPECT_EQ(qcrypto::ERR_peek_error(), 0UL);
  const Bytes good =
      test_support::rsa_raw_encrypt(X509_get0_pubkey(p.cert.get()), forged_block(k, 32, RsaForgery::kWrongKey));
  ASSERT_EQ(ASN1_OCTET_STRING_set(ri->enc_key, good.data(), static_cast<int>(good.size())), 1);
  EXPECT_EQ(qcrypto::pkcs7_cek_decrypt_rsa(p.key.get(), ri.get(), out.data(), 32, fallback.data()), 32);
  const Bytes block = forged_block(k, 32, RsaForgery::kWrongKey);
  EXPECT_EQ(out, Bytes(block.end() - 32, block.end()));
}

// The stock per-recipient function keeps its contract (the length, or a
// failure) but queues only its own errors, not the RSA library's.
TEST_F(RsaTransport, StockDecryptQueuesNoRsaError) {
  const Party& p = Pki::get().party(KeyKind::kRsa);
  const std::size_t k = static_cast<std::size_t>(EVP_PKEY_get_size(p.key.get()));
  qcrypto::UniquePtr<qcrypto::PKCS7_RECIP_INFO> ri(qcrypto::PKCS7_RECIP_INFO_new());
  ASSERT_TRUE(ri);
  ri->version = ASN1_INTEGER_new();
  ASSERT_EQ(ASN1_INTEGER_set(ri->version, 0), 1);
  ri->enc_key = ASN1_OCTET_STRING_new();
  const Bytes enc =
      test_support::rsa_raw_encrypt(X509_get0_pubkey(p.cert.get()), forged_block(k, 32, RsaForgery::kBadPadding));
  ASSERT_EQ(ASN1_OCTET_STRING_set(ri->enc_key, enc.data(), static_cast<int>(enc.size())), 1);
  Bytes out(k);
  EXPECT_LT(qcrypto::PKCS7_CEK_decrypt(p.key.get(), ri.get(), out.data(), static_cast<int>(out.size())), 1);
  std::vector<unsigned long> errors;
  for (unsigned long e; (e = qcrypto::ERR_get_error()) != 0;) errors.push_back(e);
  ASSERT_FALSE(errors.empty());
  for (unsigned long e : errors) EXPECT_EQ(qcrypto::ERR_GET_LIB_CODE(e), qcrypto::ERRLIB_PKCS7) << std::hex << e;
}

}  // namespace
}  // namespace pkcs7_test
