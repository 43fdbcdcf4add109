// A recipient of every key type (RSA, DSA, GOST R 34.10-94, GOST R 34.10-2001)
// with a certificate issued by one GOST CA, made once per test program, and
// the memory round trips of the enveloped-data writer and reader.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <map>
#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/pkcs7/envelope.h"
#include "crypto/pkcs7/recip_info.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"

namespace pkcs7_test {

using Bytes = std::vector<unsigned char>;
using qcrypto::UniquePtr;

using test_support::kSystemRand;

enum class KeyKind { kRsa, kDsa, kR3410, kEcr3410 };
inline const KeyKind kAllKinds[] = {KeyKind::kRsa, KeyKind::kDsa, KeyKind::kR3410, KeyKind::kEcr3410};

inline const char* kind_name(KeyKind k) {
  switch (k) {
    case KeyKind::kRsa:
      return "rsa";
    case KeyKind::kDsa:
      return "dsa";
    case KeyKind::kR3410:
      return "r3410";
    case KeyKind::kEcr3410:
      return "ecr3410";
  }
  return "?";
}

inline EVP_PKEY* new_key(KeyKind kind) {
  switch (kind) {
    case KeyKind::kRsa:
      return EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
    case KeyKind::kDsa: {
      UniquePtr<EVP_PKEY_CTX> pctx(EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr));
      EVP_PKEY* params = nullptr;
      if (!pctx || EVP_PKEY_paramgen_init(pctx.get()) <= 0 ||
          EVP_PKEY_CTX_set_dsa_paramgen_bits(pctx.get(), 1024) <= 0 ||
          EVP_PKEY_CTX_set_dsa_paramgen_q_bits(pctx.get(), 160) <= 0 || EVP_PKEY_paramgen(pctx.get(), &params) <= 0) {
        return nullptr;
      }
      UniquePtr<EVP_PKEY> owned(params);
      UniquePtr<EVP_PKEY_CTX> kctx(EVP_PKEY_CTX_new_from_pkey(nullptr, params, nullptr));
      EVP_PKEY* key = nullptr;
      if (!kctx || EVP_PKEY_keygen_init(kctx.get()) <= 0 || EVP_PKEY_keygen(kctx.get(), &key) <= 0) return nullptr;
      return key;
    }
    case KeyKind::kR3410:
      return test_support::gost_new_key(test_support::GostKeyType::kR3410);
    case KeyKind::kEcr3410:
      return test_support::gost_new_key(test_support::GostKeyType::kEcr3410);
  }
  return nullptr;
}

struct Party {
  UniquePtr<EVP_PKEY> key;
  UniquePtr<X509> cert;
};

// The CA and two parties of every kind (the second for wrong-key cases).
class Pki {
 public:
  static Pki& get() {
    static Pki pki;
    return pki;
  }
  const Party& party(KeyKind kind, int index = 0) { return parties_.at({kind, index}); }
  X509* ca() const { return ca_cert_.get(); }

 private:
  Pki() {
    qcrypto::RAND_set_rand_method(&kSystemRand);
    ca_key_.reset(test_support::gost_new_key(test_support::GostKeyType::kEcr3410));
    ca_cert_.reset(test_support::gost_make_cert(ca_key_.get(), {"Envelope CA", 1, true, 30}, nullptr, nullptr));
    long serial = 10;
    for (KeyKind kind : kAllKinds) {
      for (int i = 0; i < 2; ++i) {
        Party p;
        p.key.reset(new_key(kind));
        if (p.key) {
          p.cert.reset(test_support::gost_make_cert(
              p.key.get(), {std::string(kind_name(kind)) + " " + std::to_string(i), serial++, false, 30},
              ca_cert_.get(), ca_key_.get()));
        }
        parties_.emplace(std::make_pair(kind, i), std::move(p));
      }
    }
  }
  UniquePtr<EVP_PKEY> ca_key_;
  UniquePtr<X509> ca_cert_;
  std::map<std::pair<KeyKind, int>, Party> parties_;
};

inline Bytes bio_bytes(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return Bytes(data, data + n);
}

inline Bytes pattern(size_t n, unsigned seed) {
  Bytes b(n);
  unsigned v = seed;
  for (auto& c : b) {
    v = v * 1103515245U + 12345U;
    c = static_cast<unsigned char>(v >> 16);
  }
  return b;
}

// Envelopes `plain`; the message, or empty on failure.
inline Bytes seal(const std::vector<qcrypto::EnvelopeRecipient>& recipients, const EVP_CIPHER* cipher,
                  const Bytes& plain, qcrypto::EnvelopeProgress progress = {}, int* rc = nullptr) {
  static const unsigned char none = 0;
  UniquePtr<BIO> in(BIO_new_mem_buf(plain.empty() ? &none : plain.data(), static_cast<int>(plain.size())));
  UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  const int r = qcrypto::envelope_encrypt_bio(recipients, cipher, in.get(), plain.size(), out.get(), progress);
  if (rc != nullptr) *rc = r;
  return r == 1 ? bio_bytes(out.get()) : Bytes{};
}

// Opens a message; the result code, and the plaintext in *plain.
inline int open_msg(const Bytes& msg, const Party& p, Bytes* plain, qcrypto::EnvelopeProgress progress = {}) {
  UniquePtr<BIO> in(BIO_new_mem_buf(msg.data(), static_cast<int>(msg.size())));
  UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  const int rc = qcrypto::envelope_decrypt_bio(in.get(), p.key.get(), p.cert.get(), out.get(), progress);
  *plain = bio_bytes(out.get());
  return rc;
}

// Whether the calling thread's queue holds (33, func, reason); empties it.
inline bool queued(int func, int reason) {
  bool found = false;
  for (unsigned long e; (e = qcrypto::ERR_get_error()) != 0;) {
    if (qcrypto::ERR_GET_LIB_CODE(e) == qcrypto::ERRLIB_PKCS7 && qcrypto::ERR_GET_FUNC_CODE(e) == func &&
        qcrypto::ERR_GET_REASON_CODE(e) == reason) {
      found = true;
    }
  }
  return found;
}

// The provider and the error texts loaded and the recipients made once per
// suite; each test starts on the kernel random method with an empty error
// queue.
class EnvelopeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(qcrypto::evp_provider_start(), 1);
    qcrypto::ERR_load_crypto_strings();
    qcrypto::ERR_load_PKCS7_envelope_strings();
    Pki::get();
  }
  void SetUp() override {
    qcrypto::RAND_set_rand_method(&kSystemRand);
    qcrypto::ERR_clear_error();
  }
  static const EVP_CIPHER* des3() {
    static EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", nullptr);
    return c;
  }
};

}  // namespace pkcs7_test
