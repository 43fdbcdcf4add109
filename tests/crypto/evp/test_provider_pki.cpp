// GOST keys in OpenSSL's X.509 code through the provider: SubjectPublicKeyInfo
// in and out, certificates and CRLs made by the test PKI builder, verified and
// refused after a flipped bit, for both key types.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "crypto/bn/bn_owner.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/rand/rand.h"
#include "crypto/x509/gost_keys.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"

namespace qcrypto {
namespace {

using Bytes = std::vector<unsigned char>;
using test_support::GostKeyType;

using test_support::kSystemRand;

template <class T>
using Ptr = UniquePtr<T>;

using ProviderPki = test_support::ProviderFixture<::testing::TestWithParam<GostKeyType>>;

Bytes spki_direct(EVP_PKEY* pkey) {
  unsigned char* der = nullptr;
  int n = 0;
  if (R3410* r = evp_pkey_get0_r3410(pkey)) n = i2d_R3410_PUBKEY(r, &der);
  if (ECGOST* e = evp_pkey_get0_ecgost(pkey)) n = i2d_ECGOST_PUBKEY(e, &der);
  Bytes out;
  if (n > 0) out.assign(der, der + n);
  OPENSSL_free(der);
  return out;
}

TEST_P(ProviderPki, SubjectPublicKeyInfoThroughOpenSslMatchesTheCodec) {
  Ptr<EVP_PKEY> key(test_support::gost_new_key(GetParam()));
  ASSERT_NE(key, nullptr);
  // Out: i2d_PUBKEY goes through the provider's encoder.
  unsigned char* der = nullptr;
  const int n = i2d_PUBKEY(key.get(), &der);
  ASSERT_GT(n, 0);
  const Bytes spki(der, der + n);
  OPENSSL_free(der);
  EXPECT_EQ(spki, spki_direct(key.get()));
  // In: d2i_PUBKEY goes through the decoder and gives an equal public key.
  const unsigned char* p = spki.data();
  Ptr<EVP_PKEY> back(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(p, spki.data() + spki.size());
  EXPECT_EQ(EVP_PKEY_eq(back.get(), key.get()), 1);
  EXPECT_EQ(EVP_PKEY_get_size(back.get()), EVP_PKEY_get_size(key.get()));
  // PEM "PUBLIC KEY" both ways.
  Ptr<BIO> mem(BIO_new(BIO_s_mem()));
  ASSERT_EQ(PEM_write_bio_PUBKEY(mem.get(), key.get()), 1);
  char* text = nullptr;
  const long text_len = BIO_get_mem_data(mem.get(), &text);
  EXPECT_NE(std::string(text, static_cast<size_t>(text_len)).find("-----BEGIN PUBLIC KEY-----"), std::string::npos);
  Ptr<EVP_PKEY> from_pem(PEM_read_bio_PUBKEY(mem.get(), nullptr, nullptr, nullptr));
  ASSERT_NE(from_pem, nullptr);
  EXPECT_EQ(EVP_PKEY_eq(from_pem.get(), key.get()), 1);

  // Printed as text: the type, and the key's own numbers.
  Ptr<BIO> printed(BIO_new(BIO_s_mem()));
  ASSERT_EQ(EVP_PKEY_print_public(printed.get(), key.get(), 0, nullptr), 1);
  char* ptext = nullptr;
  const std::string shown(ptext, static_cast<size_t>(BIO_get_mem_data(printed.get(), &ptext)));
  char first[32];
  if (GetParam() == GostKeyType::kR3410) {
    EXPECT_NE(shown.find("GOST R 34.10-94 Public-Key: (1024 bit)"), std::string::npos) << shown;
    const BIGNUM* y = evp_pkey_get0_r3410(key.get())->y;
    Bytes yb(static_cast<size_t>(BN_num_bytes(y)));
    BN_bn2bin(y, yb.data());
    std::snprintf(first, sizeof first, "y:\n    %02x", yb[0]);
  } else {
    EXPECT_NE(shown.find("GOST R 34.10-2001 Public-Key: (256 bit)"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Curve: prime256v1"), std::string::npos) << shown;
    std::snprintf(first, sizeof first, "pub:\n    04");
  }
  EXPECT_NE(shown.find(first), std::string::npos) << shown;

  // Truncated, over-long and trailing-byte input is refused cleanly.
  ERR_set_mark();
  for (size_t cut : {size_t{1}, size_t{2}, spki.size() / 2, spki.size() - 1}) {
    p = spki.data();
    EXPECT_EQ(d2i_PUBKEY(nullptr, &p, static_cast<long>(cut)), nullptr) << cut;
  }
  Bytes trailing = spki;
  trailing[1] = static_cast<unsigned char>(trailing[1] + 1);  // the SEQUENCE claims one more byte ...
  trailing.push_back(0);                                      // ... which is not part of the key
  if (spki[1] < 0x80) {
    p = trailing.data();
    EXPECT_EQ(d2i_PUBKEY(nullptr, &p, static_cast<long>(trailing.size())), nullptr);
  }
  ERR_pop_to_mark();
}

TEST_P(ProviderPki, CertificatesAndCrlsVerifyAndRefuseFlippedBits) {
  Ptr<EVP_PKEY> ca_key(test_support::gost_new_key(GetParam()));
  Ptr<EVP_PKEY> leaf_key(test_support::gost_new_key(GetParam()));
  ASSERT_NE(ca_key, nullptr);
  ASSERT_NE(leaf_key, nullptr);
  Ptr<X509> ca(test_support::gost_make_cert(ca_key.get(), {"Test CA", 1, true, 365}, nullptr, ca_key.get()));
  ASSERT_NE(ca, nullptr);
  Ptr<X509> leaf(test_support::gost_make_cert(leaf_key.get(), {"Test Leaf", 2, false, 30}, ca.get(), ca_key.get()));
  ASSERT_NE(leaf, nullptr);
  Ptr<X509_CRL> crl(test_support::gost_make_crl(ca.get(), ca_key.get(), {5, 7}));
  ASSERT_NE(crl, nullptr);

  // The certificate's key comes out of the SPKI as our key, equal to the signer's.
  EVP_PKEY* leaf_pub = X509_get0_pubkey(leaf.get());
  ASSERT_NE(leaf_pub, nullptr);
  EXPECT_EQ(EVP_PKEY_eq(leaf_pub, leaf_key.get()), 1);
  EXPECT_EQ(X509_verify(ca.get(), X509_get0_pubkey(ca.get())), 1);
  EXPECT_EQ(X509_verify(leaf.get(), ca_key.get()), 1);
  EXPECT_EQ(X509_verify(leaf.get(), X509_get0_pubkey(ca.get())), 1);
  EXPECT_EQ(X509_CRL_verify(crl.get(), X509_get0_pubkey(ca.get())), 1);
  EXPECT_EQ(X509_check_issued(ca.get(), leaf.get()), X509_V_OK);
  // The wrong key does not verify.
  EXPECT_NE(X509_verify(leaf.get(), leaf_key.get()), 1);

  // A flipped bit in the signed part (the subject's name) or in the signature value.
  auto flip_and_check = [&](const Bytes& der, bool is_crl, const char* what) {
    const char* marker = is_crl ? "Test CA" : "Test Leaf";
    const auto name_at = std::search(der.begin(), der.end(), marker, marker + std::strlen(marker));
    ASSERT_NE(name_at, der.end());
    for (int where = 0; where < 2; ++where) {
      Bytes bad = der;
      if (where == 0) {
        bad[static_cast<size_t>(name_at - der.begin()) + 1] ^= 0x01;
      } else {
        bad[bad.size() - 3] ^= 0x10;  // inside the signature's DER value
      }
      const unsigned char* p = bad.data();
      ERR_set_mark();
      if (is_crl) {
        Ptr<X509_CRL> c(d2i_X509_CRL(nullptr, &p, static_cast<long>(bad.size())));
        ASSERT_NE(c, nullptr) << what;
        EXPECT_NE(X509_CRL_verify(c.get(), X509_get0_pubkey(ca.get())), 1) << what << " flip " << where;
      } else {
        Ptr<X509> x(d2i_X509(nullptr, &p, static_cast<long>(bad.size())));
        ASSERT_NE(x, nullptr) << what;
        EXPECT_NE(X509_verify(x.get(), X509_get0_pubkey(ca.get())), 1) << what << " flip " << where;
      }
      ERR_pop_to_mark();
    }
  };
  flip_and_check(test_support::to_der(leaf.get()), false, "certificate");
  flip_and_check(test_support::to_der(crl.get()), true, "CRL");

  // Both kinds of certificate survive DER and PEM round trips and still verify.
  const Bytes der = test_support::to_der(leaf.get());
  const unsigned char* p = der.data();
  Ptr<X509> again(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(X509_verify(again.get(), X509_get0_pubkey(ca.get())), 1);
  // Keys decoded from the certificates' SubjectPublicKeyInfo (not the ones set on them).
  EVP_PKEY* decoded_leaf = X509_get0_pubkey(again.get());
  ASSERT_NE(decoded_leaf, nullptr);
  EXPECT_EQ(EVP_PKEY_eq(decoded_leaf, leaf_key.get()), 1);
  const Bytes ca_der = test_support::to_der(ca.get());
  p = ca_der.data();
  Ptr<X509> ca_again(d2i_X509(nullptr, &p, static_cast<long>(ca_der.size())));
  ASSERT_NE(ca_again, nullptr);
  EVP_PKEY* decoded_ca = X509_get0_pubkey(ca_again.get());
  ASSERT_NE(decoded_ca, nullptr);
  EXPECT_EQ(X509_verify(ca_again.get(), decoded_ca), 1);
  EXPECT_EQ(X509_verify(again.get(), decoded_ca), 1);
  EXPECT_EQ(X509_CRL_verify(crl.get(), decoded_ca), 1);
  const std::string pem = test_support::to_pem(crl.get());
  Ptr<BIO> mem(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  Ptr<X509_CRL> crl_again(PEM_read_bio_X509_CRL(mem.get(), nullptr, nullptr, nullptr));
  ASSERT_NE(crl_again, nullptr);
  EXPECT_EQ(X509_CRL_verify(crl_again.get(), X509_get0_pubkey(ca.get())), 1);
}

INSTANTIATE_TEST_SUITE_P(KeyTypes, ProviderPki, ::testing::Values(GostKeyType::kR3410, GostKeyType::kEcr3410),
                         [](const auto& test_case) {
                           return test_case.param == GostKeyType::kR3410 ? "R3410" : "ECR3410";
                         });

}  // namespace
}  // namespace qcrypto
