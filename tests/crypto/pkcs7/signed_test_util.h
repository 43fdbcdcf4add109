// Signers of every key type with self-signed certificates (chains are not
// the signed-data code's business), and memory round trips of the
// signed-data writer and reader.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <map>
#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/pkcs7/signed_data.h"
#include "pkcs7_test_util.h"
#include "tests/support/gost_pki.h"

namespace signed_test {

using pkcs7_test::Bytes;
using qcrypto::UniquePtr;
using test_support::PkiKeyType;

inline const char* type_name(PkiKeyType t) {
  switch (t) {
    case PkiKeyType::kR3410:
      return "r3410";
    case PkiKeyType::kEcr3410:
      return "ecr3410";
    case PkiKeyType::kRsa:
      return "rsa";
    case PkiKeyType::kEcdsaP256:
      return "ecdsa";
  }
  return "?";
}

struct Signer {
  UniquePtr<EVP_PKEY> key;
  UniquePtr<X509> cert;
};

// Two signers of every type (serials 1 and 2 under their own names).
class Signers {
 public:
  static Signers& get() {
    static Signers s;
    return s;
  }
  const Signer& at(PkiKeyType t, int i = 0) { return signers_.at({t, i}); }

 private:
  Signers() {
    qcrypto::RAND_set_rand_method(&pkcs7_test::kSystemRand);
    for (PkiKeyType t : {PkiKeyType::kR3410, PkiKeyType::kEcr3410, PkiKeyType::kRsa, PkiKeyType::kEcdsaP256}) {
      for (int i = 0; i < 2; ++i) {
        Signer s;
        s.key.reset(test_support::pki_new_key(t));
        test_support::PkiCertSpec spec;
        spec.common_name = std::string("signer ") + type_name(t) + " " + std::to_string(i);
        spec.serial = 1 + i;
        if (s.key) s.cert.reset(test_support::pki_make_cert(s.key.get(), spec, nullptr, s.key.get()));
        signers_.emplace(std::make_pair(t, i), std::move(s));
      }
    }
  }
  std::map<std::pair<PkiKeyType, int>, Signer> signers_;
};

inline qcrypto::SignedSigner as_signer(const Signer& s, const EVP_MD* md = nullptr) {
  return {s.key.get(), s.cert.get(), md};
}

// Signs `content`; the message, or empty on failure (the code in *rc).
inline Bytes sign(const std::vector<qcrypto::SignedSigner>& signers, const Bytes& content,
                  const qcrypto::SignedOptions& options = {}, qcrypto::EnvelopeProgress progress = {},
                  int* rc = nullptr) {
  static const unsigned char none = 0;
  UniquePtr<BIO> in(BIO_new_mem_buf(content.empty() ? &none : content.data(), static_cast<int>(content.size())));
  UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  const int r = qcrypto::signed_data_sign_bio(signers, in.get(), content.size(), out.get(), options, progress);
  if (rc != nullptr) *rc = r;
  return r == 1 ? pkcs7_test::bio_bytes(out.get()) : Bytes{};
}

// Verifies `msg` (with `detached` content when not null); the code, the
// result and the attached content in *content.
inline int verify(const Bytes& msg, const Bytes* detached, qcrypto::SignedVerifyResult* result, Bytes* content,
                  std::vector<X509*> extra = {}, qcrypto::EnvelopeProgress progress = {},
                  std::uint64_t progress_total = 0) {
  static const unsigned char none = 0;
  UniquePtr<BIO> in(BIO_new_mem_buf(msg.empty() ? &none : msg.data(), static_cast<int>(msg.size())));
  UniquePtr<BIO> det;
  if (detached != nullptr) {
    det.reset(BIO_new_mem_buf(detached->empty() ? &none : detached->data(), static_cast<int>(detached->size())));
  }
  UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  qcrypto::SignedVerifyOptions options;
  options.detached = det.get();
  options.extra_certs = extra;
  options.progress_total = progress_total;
  const int rc = qcrypto::signed_data_verify_bio(in.get(), out.get(), result, options, progress);
  if (content != nullptr) *content = pkcs7_test::bio_bytes(out.get());
  return rc;
}

}  // namespace signed_test
