// Shared set-up of the store and verification tests: the provider started
// and a random method that draws from the kernel.
#pragma once

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <string>
#include <utility>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"

namespace qcrypto::store_test {

using test_support::kSystemRand;

class ProviderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    RAND_set_rand_method(&kSystemRand);
    ASSERT_EQ(evp_provider_start(), 1);
  }
  static void TearDownTestSuite() { RAND_set_rand_method(nullptr); }
  void SetUp() override { ERR_clear_error(); }
};

inline test_support::PkiCertSpec ca_spec(const std::string& cn, long serial) {
  test_support::PkiCertSpec s;
  s.common_name = cn;
  s.serial = serial;
  s.basic_constraints = test_support::PkiBasicConstraints::kCa;
  s.key_usage = test_support::PkiKeyUsage::kCa;
  return s;
}
inline test_support::PkiCertSpec leaf_spec(const std::string& cn, long serial) {
  test_support::PkiCertSpec s;
  s.common_name = cn;
  s.serial = serial;
  return s;
}

// The certificates of a stack, released into owners; the stack itself is freed.
inline std::vector<UniquePtr<X509>> take(STACK_OF(X509) * sk) {
  std::vector<UniquePtr<X509>> out;
  for (int i = 0; i < sk_X509_num(sk); ++i) out.emplace_back(sk_X509_value(sk, i));
  sk_X509_free(sk);
  return out;
}

// CRLs shaped for the scope and criticality cases of the verification tests:
// a CRL of `issuer` listing `serials`, with extensions given in configuration
// syntax (section "ext"), raw CRL extensions, raw extensions on its first
// entry, or its signature damaged. It is read back from its encoding, as a
// CRL from a file would be (OpenSSL's verifier caches what its extensions say
// only when decoding).
struct CrlShape {
  std::vector<long> serials;
  long last_update = -60;  // seconds from now; older than a day: CRL number 1, else 2
  std::string ext_config;
  std::vector<test_support::RawExtension> ext_raw;
  std::vector<test_support::RawExtension> entry_raw;
  bool bad_signature = false;

  CrlShape lists(std::vector<long> s) const {
    CrlShape c = *this;
    c.serials = std::move(s);
    return c;
  }
  CrlShape dated(long seconds_from_now) const {
    CrlShape c = *this;
    c.last_update = seconds_from_now;
    return c;
  }
  CrlShape with(std::string config) const {
    CrlShape c = *this;
    c.ext_config = std::move(config);
    return c;
  }
  CrlShape with_raw(std::vector<test_support::RawExtension> raw) const {
    CrlShape c = *this;
    c.ext_raw = std::move(raw);
    return c;
  }
  CrlShape with_on_entry(std::vector<test_support::RawExtension> raw) const {
    CrlShape c = *this;
    c.entry_raw = std::move(raw);
    return c;
  }
  CrlShape damaged() const {
    CrlShape c = *this;
    c.bad_signature = true;
    return c;
  }
};

// Null on failure.
inline X509_CRL* make_shaped_crl(X509* issuer, EVP_PKEY* key, const CrlShape& shape) {
  test_support::PkiCrlSpec spec;
  spec.revoked = shape.serials;
  spec.last_update = shape.last_update;
  spec.number = shape.last_update < -86400 ? 1 : 2;
  UniquePtr<X509_CRL> crl(test_support::pki_make_crl(issuer, key, spec));
  if (!crl) return nullptr;
  if ((!shape.ext_config.empty() || !shape.ext_raw.empty()) &&
      !test_support::gost_add_crl_extensions(crl.get(), issuer, key, shape.ext_config, "ext", shape.ext_raw))
    return nullptr;
  if (!shape.entry_raw.empty() && !test_support::gost_add_revoked_extensions(crl.get(), 0, key, shape.entry_raw))
    return nullptr;
  if (shape.bad_signature) return test_support::pki_damaged_copy(crl.get());
  const std::vector<unsigned char> der = test_support::to_der(crl.get());
  const unsigned char* p = der.data();
  return der.empty() ? nullptr : d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size()));
}

// An issuing distribution point extension (critical) with the given lines of
// its section.
inline std::string idp(const std::string& body) {
  return "[ext]\nissuingDistributionPoint = critical, @idp\n[idp]\n" + body;
}

// Distribution points for a leaf: a URI, a name relative to the issuer.
inline const std::string kLeafPointA = "[ext]\ncrlDistributionPoints = URI:http://crl.test.ru/a.crl\n";
inline const std::string kLeafPartA =
    "[ext]\ncrlDistributionPoints = dp\n[dp]\nrelativename = rdn\n[rdn]\nCN = Part A\n";

inline const test_support::RawExtension kDeltaIndicator{"2.5.29.27", true, {0x02, 0x01, 0x01}};  // base CRL 1
inline const test_support::RawExtension kUnknownCritical{"1.3.6.1.4.1.99999.1", true, {0x05, 0x00}};
inline const test_support::RawExtension kUnknownPlain{"1.3.6.1.4.1.99999.1", false, {0x05, 0x00}};
// certificateIssuer: dNSName "ca.test.ru"
inline const test_support::RawExtension kCertificateIssuer{
    "2.5.29.29", true, {0x30, 0x0C, 0x82, 0x0A, 'c', 'a', '.', 't', 'e', 's', 't', '.', 'r', 'u'}};
inline const test_support::RawExtension kReasonKeyCompromise{"2.5.29.21", true, {0x0A, 0x01, 0x01}};
inline const test_support::RawExtension kInvalidityDate{
    "2.5.29.24", true, {0x18, 0x0F, '2', '0', '2', '0', '0', '1', '0', '1', '0', '0', '0', '0', '0', '0', 'Z'}};

}  // namespace qcrypto::store_test
