// Private-key records (matched to their certificates by fingerprint) and the
// certificate output formats.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "crypto/cadb/cadb_codes.h"
#include "crypto/cadb/cert_get.h"
#include "crypto/cadb/cert_record.h"
#include "crypto/cadb/pkey_record.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/pse/pse_files.h"
#include "crypto/rand/rand.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"
#include "tests/support/pse_fixture.h"

QCRYPTO_DECLARE_OWNER(PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free)
QCRYPTO_DECLARE_OWNER(X509_SIG, X509_SIG_free)

namespace qcrypto {
namespace {

using Bytes = std::vector<unsigned char>;
using test_support::GostKeyType;

using test_support::kSystemRand;

Bytes bytes_of(const BUFFER* b) { return b == nullptr ? Bytes{} : Bytes(b->data, b->data + b->length); }
std::string text_of(const BUFFER* b) {
  return b == nullptr ? std::string()
                      : std::string(reinterpret_cast<char*>(b->data), static_cast<std::size_t>(b->length));
}

class PkeyRecord : public ::testing::TestWithParam<GostKeyType> {
 protected:
  void SetUp() override {
    RAND_set_rand_method(&kSystemRand);
    ASSERT_EQ(evp_provider_start(), 1);
    key_.reset(test_support::gost_new_key(GetParam()));
    ASSERT_TRUE(key_);
    cert_.reset(test_support::gost_make_cert(key_.get(), {"key owner", 9, false, 30}, nullptr, key_.get()));
    ASSERT_TRUE(cert_);
    ERR_clear_error();
  }
  void TearDown() override {
    RAND_set_rand_method(nullptr);
    ERR_clear_error();
  }
  int want_type() const { return GetParam() == GostKeyType::kR3410 ? PKEY_TYPE_R3410 : PKEY_TYPE_ECR3410; }
  UniquePtr<EVP_PKEY_ENVELOPE> envelope() const {
    EXPECT_EQ(EVP_PKEY_up_ref(key_.get()), 1);
    UniquePtr<EVP_PKEY_ENVELOPE> e(EVP_PKEY_ENVELOPE_new(key_.get(), nullptr));
    if (e) e->decrypted = 1;
    return e;
  }
  Bytes pkcs8_der() const {
    UniquePtr<EVP_PKEY_ENVELOPE> e = envelope();
    UniquePtr<PKCS8_PRIV_KEY_INFO> p8(gost_key_to_pkcs8(e.get()));
    unsigned char* der = nullptr;
    const int n = p8 ? i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &der) : 0;
    Bytes out(der, der + (n > 0 ? n : 0));
    OPENSSL_clear_free(der, n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
  }
  Bytes encrypted_der(const char* password) const {
    UniquePtr<EVP_PKEY_ENVELOPE> e = envelope();
    UniquePtr<PKCS8_PRIV_KEY_INFO> p8(gost_key_to_pkcs8(e.get()));
    UniquePtr<X509_SIG> sig(PKCS8_encrypt(-1, EVP_aes_256_cbc(), password, -1, nullptr, 0, 1000, p8.get()));
    unsigned char* der = nullptr;
    const int n = sig ? i2d_X509_SIG(sig.get(), &der) : 0;
    Bytes out(der, der + (n > 0 ? n : 0));
    OPENSSL_free(der);
    return out;
  }

  UniquePtr<EVP_PKEY> key_;
  UniquePtr<X509> cert_;
};

TEST_P(PkeyRecord, SplitMatchesTheCertificateFingerprint) {
  UniquePtr<CERT> cert(CERT_split(cert_.get()));
  ASSERT_TRUE(cert);
  UniquePtr<EVP_PKEY_ENVELOPE> e = envelope();
  UniquePtr<PKEY> rec(PKEY_split(e.get(), nullptr));
  ASSERT_TRUE(rec) << ERR_error_string(ERR_peek_error());
  EXPECT_EQ(rec->type, want_type());
  EXPECT_EQ(rec->bits, EVP_PKEY_get_bits(key_.get()));
  EXPECT_EQ(rec->flag, 0);
  EXPECT_EQ(bytes_of(rec->fingerprint), bytes_of(cert->fingerprint));
  EXPECT_EQ(rec->fingerprint->length, 32);
  // A plain key handed over without the opened mark is opened (nothing to
  // open) and taken the same way.
  UniquePtr<EVP_PKEY_ENVELOPE> unmarked = envelope();
  unmarked->decrypted = 0;
  UniquePtr<PKEY> again(PKEY_split(unmarked.get(), nullptr));
  ASSERT_TRUE(again) << ERR_error_string(ERR_peek_error());
  EXPECT_EQ(bytes_of(again->fingerprint), bytes_of(rec->fingerprint));
  EXPECT_EQ(unmarked->decrypted, 1);
  // The record shares the key and keeps it alive on its own.
  ASSERT_NE(rec->key, nullptr);
  EXPECT_EQ(rec->key->pkey, key_.get());
  e.reset();
  key_.reset();
  EXPECT_GT(EVP_PKEY_get_bits(rec->key->pkey), 0);
}

TEST_P(PkeyRecord, ReadBufferInEveryForm) {
  UniquePtr<CERT> cert(CERT_split(cert_.get()));
  ASSERT_TRUE(cert);
  const Bytes plain = pkcs8_der();
  const Bytes encrypted = encrypted_der("correct horse");
  ASSERT_FALSE(plain.empty());
  ASSERT_FALSE(encrypted.empty());
  struct Case {
    const char* what;
    const Bytes* bytes;
    const char* password;
    bool ok;
  } const cases[] = {
      {"plain PKCS#8", &plain, nullptr, true},
      {"encrypted, right password", &encrypted, "correct horse", true},
      {"encrypted, wrong password", &encrypted, "wrong", false},
      {"encrypted, no password", &encrypted, nullptr, false},
  };
  for (const Case& c : cases) {
    ERR_clear_error();
    UniquePtr<PKEY> rec(PKEY_read_buffer_password(c.bytes->data(), static_cast<int>(c.bytes->size()), 0, c.password));
    EXPECT_EQ(rec != nullptr, c.ok) << c.what;
    if (rec) {
      EXPECT_EQ(rec->type, want_type()) << c.what;
      EXPECT_EQ(bytes_of(rec->fingerprint), bytes_of(cert->fingerprint)) << c.what;
    } else {
      EXPECT_EQ(ERR_GET_FUNC_CODE(ERR_peek_last_error()), CADB_F_PKEY_READ_BUFFER_PASSWORD) << c.what;
    }
  }
  const Bytes garbage = {0x30, 0x03, 0x02, 0x01, 0x00};
  EXPECT_EQ(PKEY_read_buffer(garbage.data(), static_cast<int>(garbage.size()), 0, nullptr, nullptr), nullptr);
  EXPECT_EQ(PKEY_read_buffer(nullptr, 5, 0, nullptr, nullptr), nullptr);
  ERR_clear_error();
}

TEST_P(PkeyRecord, CertGetFormats) {
  UniquePtr<CERT> cert(CERT_split(cert_.get()));
  ASSERT_TRUE(cert);
  UniquePtr<BUFFER> pem(CERT_get(cert.get(), CERT_GET_PEM));
  ASSERT_TRUE(pem);
  EXPECT_EQ(text_of(pem.get()), test_support::to_pem(cert_.get()));
  EXPECT_EQ(text_of(pem.get()).rfind("-----BEGIN CERTIFICATE-----\n", 0), 0u);
  for (int format : {0, 1, 3, 4, -1, 99}) {
    UniquePtr<BUFFER> der(CERT_get(cert.get(), format));
    ASSERT_TRUE(der) << format;
    EXPECT_EQ(bytes_of(der.get()), test_support::to_der(cert_.get())) << format;
  }
  UniquePtr<BUFFER> text(CERT_get(cert.get(), CERT_GET_TEXT));
  ASSERT_TRUE(text);
  UniquePtr<BIO> want(BIO_new(BIO_s_mem()));
  ASSERT_EQ(X509_print(want.get(), cert_.get()), 1);
  char* data = nullptr;
  const long n = BIO_get_mem_data(want.get(), &data);
  EXPECT_EQ(text_of(text.get()), std::string(data, static_cast<std::size_t>(n)));
  EXPECT_NE(text_of(text.get()).find("Serial Number: 9 (0x9)"), std::string::npos);
  EXPECT_EQ(CERT_get(nullptr, 2), nullptr);
  CERT empty{};
  EXPECT_EQ(CERT_get(&empty, 2), nullptr);
  EXPECT_EQ(ERR_GET_FUNC_CODE(ERR_peek_last_error()), CADB_F_CERT_GET);
  ERR_clear_error();
}

INSTANTIATE_TEST_SUITE_P(BothKeyTypes, PkeyRecord, ::testing::Values(GostKeyType::kR3410, GostKeyType::kEcr3410));

TEST(PkeyRecordTypes, RsaRecordedAs19OthersRefused) {
  ASSERT_EQ(evp_provider_start(), 1);
  UniquePtr<EVP_PKEY> rsa(EVP_RSA_gen(1024));
  ASSERT_TRUE(rsa);
  ASSERT_EQ(EVP_PKEY_up_ref(rsa.get()), 1);
  UniquePtr<EVP_PKEY_ENVELOPE> e(EVP_PKEY_ENVELOPE_new(rsa.get(), nullptr));
  ASSERT_TRUE(e);
  e->decrypted = 1;
  UniquePtr<PKEY> rec(PKEY_split(e.get(), nullptr));
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->type, PKEY_TYPE_RSA);
  EXPECT_EQ(rec->bits, 1024);
  EXPECT_EQ(rec->fingerprint->length, 32);
  // The same key under a type the database does not keep.
  for (int type : {28, 0, 999}) {
    e->type = type;
    ERR_clear_error();
    EXPECT_EQ(PKEY_split(e.get(), nullptr), nullptr) << type;
    EXPECT_EQ(ERR_GET_FUNC_CODE(ERR_peek_last_error()), CADB_F_PKEY_SPLIT) << type;
  }
  EXPECT_EQ(PKEY_split(nullptr, nullptr), nullptr);
  ERR_clear_error();
}

TEST(PkeyRecordTypes, ZeroPrivateValueOfR3410Flagged) {
  RAND_set_rand_method(&kSystemRand);
  ASSERT_EQ(evp_provider_start(), 1);
  UniquePtr<EVP_PKEY> key(test_support::gost_new_key(GostKeyType::kR3410));
  ASSERT_TRUE(key);
  R3410* r = evp_pkey_get0_r3410(key.get());
  ASSERT_NE(r, nullptr);
  ASSERT_NE(r->x, nullptr);
  BN_zero(r->x);
  ASSERT_EQ(EVP_PKEY_up_ref(key.get()), 1);
  UniquePtr<EVP_PKEY_ENVELOPE> e(EVP_PKEY_ENVELOPE_new(key.get(), nullptr));
  e->decrypted = 1;
  UniquePtr<PKEY> rec(PKEY_split(e.get(), nullptr));
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->flag, PKEY_FLAG_ZERO_PRIVATE);
  RAND_set_rand_method(nullptr);
}

// Old-format containers: the key of the signing secret read from the medium
// and from a record handed in, checked against the key the fixture made.
class PkeyReadOld : public ::testing::Test {
 protected:
  void SetUp() override {
    RAND_set_rand_method(&kSystemRand);
    ASSERT_EQ(evp_provider_start(), 1);
    std::string templ = (std::filesystem::temp_directory_path() / "pkey-old-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    scratch_ = templ;
    ERR_clear_error();
  }
  void TearDown() override {
    RAND_set_rand_method(nullptr);
    ERR_clear_error();
    std::error_code ec;
    if (!scratch_.empty()) std::filesystem::remove_all(scratch_, ec);
  }
  std::unique_ptr<testing_support::PseFixture> fixture(const std::string& name, bool own_sbox) const {
    return testing_support::make_pse_fixture(scratch_ + "/" + name, testing_support::PseFormat::Old, own_sbox);
  }
  static Bytes secret_of(const testing_support::PseFixture& f) {
    Bytes sec(PSE30_SEC_SGN_BYTES);
    if (PSE_read_sec_sgn_old(f.medium.c_str(), sec.data()) != 1) return {};
    return sec;
  }
  // The last entry of the queue is the record reader's own, in library 66.
  static void expect_cadb_failure() {
    const unsigned long e = ERR_peek_last_error();
    EXPECT_EQ(ERR_GET_LIB_CODE(e), ERRLIB_CADB);
    EXPECT_EQ(ERR_GET_FUNC_CODE(e), CADB_F_PKEY_READ_OLD);
    ERR_clear_error();
  }
  std::string scratch_;
};

TEST_F(PkeyReadOld, FromTheMediumAndFromTheRecordAlike) {
  for (const bool own_sbox : {false, true}) {
    SCOPED_TRACE(own_sbox ? "own S-box" : "default S-box");
    auto f = fixture(own_sbox ? "own" : "default", own_sbox);
    ASSERT_NE(f, nullptr);
    UniquePtr<PSE> container(PSE30_open(f->medium.c_str(), nullptr));
    ASSERT_NE(container, nullptr);
    // What the record must carry: the certificate's fingerprint and the
    // record PKEY_split makes of the same key.
    UniquePtr<X509> x509(
        test_support::gost_make_cert(f->old_key.get(), {"old key", 3, false, 30}, nullptr, f->old_key.get()));
    ASSERT_TRUE(x509);
    UniquePtr<CERT> cert(CERT_split(x509.get()));
    ASSERT_TRUE(cert);
    ASSERT_EQ(EVP_PKEY_up_ref(f->old_key.get()), 1);
    UniquePtr<EVP_PKEY_ENVELOPE> made(EVP_PKEY_ENVELOPE_new(f->old_key.get(), nullptr));
    ASSERT_TRUE(made);
    made->decrypted = 1;
    UniquePtr<PKEY> split(PKEY_split(made.get(), nullptr));
    ASSERT_TRUE(split);

    const Bytes sec = secret_of(*f);
    ASSERT_EQ(sec.size(), static_cast<std::size_t>(PSE30_SEC_SGN_BYTES));
    UniquePtr<PKEY> from_medium(PKEY_read_old(container.get(), nullptr));
    UniquePtr<PKEY> from_record(PKEY_read_old(container.get(), sec.data()));
    for (const PKEY* rec : {from_medium.get(), from_record.get()}) {
      ASSERT_NE(rec, nullptr) << ERR_error_string(ERR_peek_error());
      EXPECT_EQ(rec->type, PKEY_TYPE_R3410);
      EXPECT_EQ(rec->bits, split->bits);
      EXPECT_EQ(rec->bits, EVP_PKEY_get_bits(f->old_key.get()));
      EXPECT_EQ(rec->flag, 0);
      EXPECT_EQ(bytes_of(rec->fingerprint), bytes_of(cert->fingerprint));
      EXPECT_EQ(bytes_of(rec->fingerprint), bytes_of(split->fingerprint));
      ASSERT_NE(rec->key, nullptr);
      EXPECT_EQ(rec->key->type, PKEY_TYPE_R3410);
      EXPECT_EQ(rec->key->container, container.get());
      EXPECT_EQ(rec->key->decrypted, 1);
      const R3410* got = EVP_PKEY_ENVELOPE_get0_r3410(rec->key);
      const R3410* want = evp_pkey_get0_r3410(f->old_key.get());
      ASSERT_TRUE(got != nullptr && want != nullptr);
      EXPECT_EQ(BN_cmp(got->x, want->x), 0);

      // The loaded key signs; the certificate's public key verifies.
      const unsigned char msg[] = "old-format document";
      UniquePtr<EVP_MD_CTX> sctx(EVP_MD_CTX_new());
      ASSERT_EQ(EVP_DigestSignInit_ex(sctx.get(), nullptr, nullptr, nullptr, nullptr, rec->key->pkey, nullptr), 1);
      std::size_t len = 0;
      ASSERT_EQ(EVP_DigestSign(sctx.get(), nullptr, &len, msg, sizeof msg), 1);
      Bytes sig(len);
      ASSERT_EQ(EVP_DigestSign(sctx.get(), sig.data(), &len, msg, sizeof msg), 1);
      sig.resize(len);
      UniquePtr<EVP_MD_CTX> vctx(EVP_MD_CTX_new());
      ASSERT_EQ(EVP_DigestVerifyInit_ex(vctx.get(), nullptr, nullptr, nullptr, nullptr, X509_get0_pubkey(x509.get()),
                                        nullptr),
                1);
      EXPECT_EQ(EVP_DigestVerify(vctx.get(), sig.data(), sig.size(), msg, sizeof msg), 1);
      sig.back() ^= 1;
      ASSERT_EQ(EVP_DigestVerifyInit_ex(vctx.get(), nullptr, nullptr, nullptr, nullptr, X509_get0_pubkey(x509.get()),
                                        nullptr),
                1);
      EXPECT_NE(EVP_DigestVerify(vctx.get(), sig.data(), sig.size(), msg, sizeof msg), 1);
    }
    ERR_clear_error();
    // The record outlives everything but the container it belongs to.
    made.reset();
    split.reset();
    from_record.reset();
    EXPECT_GT(EVP_PKEY_get_bits(from_medium->key->pkey), 0);
  }
}

// Every byte of the key block is covered by its MAC: a change anywhere in it
// is refused, nothing is handed out. The six header bytes are not part of the
// key and are not read.
TEST_F(PkeyReadOld, DamagedRecordsAndKeysOfOtherContainersFail) {
  auto f = fixture("mine", false);
  auto other = fixture("other", false);
  ASSERT_TRUE(f && other);
  UniquePtr<PSE> container(PSE30_open(f->medium.c_str(), nullptr));
  ASSERT_NE(container, nullptr);
  const Bytes sec = secret_of(*f);
  ASSERT_EQ(sec.size(), static_cast<std::size_t>(PSE30_SEC_SGN_BYTES));
  UniquePtr<PKEY> good(PKEY_read_old(container.get(), sec.data()));
  ASSERT_TRUE(good);
  for (int at = 0; at < PSE30_SEC_SGN_BYTES; ++at) {
    SCOPED_TRACE(at);
    for (const unsigned char flip : {0x01, 0x80}) {
      Bytes bad = sec;
      bad[static_cast<std::size_t>(at)] ^= flip;
      UniquePtr<PKEY> rec(PKEY_read_old(container.get(), bad.data()));
      if (at < 6) {
        ASSERT_TRUE(rec);
        EXPECT_EQ(bytes_of(rec->fingerprint), bytes_of(good->fingerprint));
      } else {
        EXPECT_EQ(rec, nullptr);
        expect_cadb_failure();
      }
    }
  }
  const Bytes foreign = secret_of(*other);
  ASSERT_EQ(foreign.size(), static_cast<std::size_t>(PSE30_SEC_SGN_BYTES));
  EXPECT_EQ(PKEY_read_old(container.get(), foreign.data()), nullptr);
  expect_cadb_failure();
  EXPECT_EQ(PKEY_read_old(nullptr, sec.data()), nullptr);
  expect_cadb_failure();
}

// The medium's signing secret missing, cut short or grown: no key.
TEST_F(PkeyReadOld, ContainerWithoutAWholeKeyFails) {
  auto f = fixture("nokey", false);
  ASSERT_NE(f, nullptr);
  UniquePtr<PSE> container(PSE30_open(f->medium.c_str(), nullptr));
  ASSERT_NE(container, nullptr);
  char path[PSE_PATH_BUFFER];
  ASSERT_NE(pse_old_file_path(path, f->medium.c_str(), PSE30_SEC_SGN), nullptr);
  const Bytes sec = testing_support::read_whole(path);
  ASSERT_EQ(sec.size(), static_cast<std::size_t>(PSE30_SEC_SGN_BYTES));
  Bytes longer = sec;
  longer.push_back(0);
  const Bytes contents[] = {{}, Bytes(sec.begin(), sec.end() - 1), longer};
  for (const Bytes& content : contents) {
    SCOPED_TRACE(content.size());
    ASSERT_TRUE(testing_support::write_whole(path, content));
    EXPECT_EQ(PKEY_read_old(container.get(), nullptr), nullptr);
    expect_cadb_failure();
  }
  ASSERT_TRUE(testing_support::remove_whole(path));
  EXPECT_EQ(PKEY_read_old(container.get(), nullptr), nullptr);
  expect_cadb_failure();
  // Put back whole, the same container reads it again.
  ASSERT_TRUE(testing_support::write_whole(path, sec));
  UniquePtr<PKEY> rec(PKEY_read_old(container.get(), nullptr));
  EXPECT_TRUE(rec);
}

}  // namespace
}  // namespace qcrypto
