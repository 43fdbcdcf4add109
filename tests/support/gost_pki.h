// A small test PKI over the GOST keys of the library's provider: key pairs of
// both types, CA and leaf certificates with extensions, and CRLs, all signed
// through X509_sign / X509_CRL_sign with the provider's keys. The caller
// installs a random method first (signing draws nonces).
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

namespace test_support {

enum class GostKeyType { kR3410, kEcr3410 };

// A new key pair on the built-in parameters (GOST R 34.10-94) or the built-in
// curve (GOST R 34.10-2001), as a provider key; null on failure.
EVP_PKEY* gost_new_key(GostKeyType type);

struct CertSpec {
  std::string common_name;
  long serial = 1;
  bool ca = false;
  int days = 30;
};

// A certificate of `subject_key` with the spec's subject, signed by
// `issuer_key` under the name of `issuer` (self-signed when issuer is null).
// Extensions: basicConstraints (critical), keyUsage (critical), subject key
// identifier, and the authority key identifier when there is an issuer.
X509* gost_make_cert(EVP_PKEY* subject_key, const CertSpec& spec, X509* issuer, EVP_PKEY* issuer_key);

// A version-2 CRL of `issuer` listing the given serial numbers, signed by
// `issuer_key`, with a CRL number extension.
X509_CRL* gost_make_crl(X509* issuer, EVP_PKEY* issuer_key, const std::vector<long>& revoked, long crl_number = 1);

// DER and PEM text of a certificate or CRL.
std::vector<unsigned char> to_der(X509* cert);
std::vector<unsigned char> to_der(X509_CRL* crl);
std::string to_pem(X509* cert);
std::string to_pem(X509_CRL* crl);

// An extension given as its DER value under a dotted OID (for extensions
// OpenSSL has no configuration syntax for, and for hostile values).
struct RawExtension {
  std::string oid;
  bool critical = false;
  std::vector<unsigned char> der;
};

// Adds extensions to a made certificate or CRL and signs it again with
// `signer`: those of `section` in the OpenSSL configuration text `config`
// (as in an extension file; an empty config adds none), then the raw ones.
// An extension replaces one of the same object already there.
bool gost_add_extensions(X509* cert, X509* issuer, EVP_PKEY* signer, const std::string& config,
                         const std::string& section, const std::vector<RawExtension>& raw = {});
bool gost_add_crl_extensions(X509_CRL* crl, X509* issuer, EVP_PKEY* signer, const std::string& config,
                             const std::string& section, const std::vector<RawExtension>& raw = {});
// Adds raw extensions to the CRL's revoked entry `index` and signs it again.
bool gost_add_revoked_extensions(X509_CRL* crl, int index, EVP_PKEY* signer, const std::vector<RawExtension>& raw);

}  // namespace test_support

// Hierarchies for the store and chain-verification tests: any key type,
// chosen validity windows, CA extension choices, CRLs with chosen dates.
namespace test_support {

enum class PkiKeyType { kR3410, kEcr3410, kRsa, kEcdsaP256 };

// A new key pair of the type (RSA 1024 bits, enough for tests and quick
// under the sanitizers); null on failure.
EVP_PKEY* pki_new_key(PkiKeyType type);

enum class PkiBasicConstraints { kAbsent, kCa, kNotCa };
enum class PkiKeyUsage { kAbsent, kCa, kCaWithoutCrlSign, kLeaf };

struct PkiCertSpec {
  std::string common_name;
  long serial = 1;
  long not_before = -3600;       // seconds from now
  long not_after = 30L * 86400;  // seconds from now
  PkiBasicConstraints basic_constraints = PkiBasicConstraints::kNotCa;
  long path_len = -1;  // with kCa: none when negative
  PkiKeyUsage key_usage = PkiKeyUsage::kLeaf;
  bool subject_key_id = true;
  bool authority_key_id = true;  // keyid, only when there is an issuer
};

// Signed by `issuer_key` under the name of `issuer` (self-signed when issuer
// is null); SHA-256 for RSA and ECDSA, the GOST digests inside their keys.
X509* pki_make_cert(EVP_PKEY* subject_key, const PkiCertSpec& spec, X509* issuer, EVP_PKEY* issuer_key);

struct PkiCrlSpec {
  std::vector<long> revoked;
  long last_update = -60;         // seconds from now
  long next_update = 7L * 86400;  // seconds from now
  bool has_next_update = true;
  long number = 1;
  bool authority_key_id = true;
};
X509_CRL* pki_make_crl(X509* issuer, EVP_PKEY* issuer_key, const PkiCrlSpec& spec);

// A copy of the DER object with one byte of its signature flipped (the last
// byte of the encoding lies in the signature BIT STRING).
X509* pki_damaged_copy(X509* cert);
X509_CRL* pki_damaged_copy(X509_CRL* crl);

// Root, intermediate and leaves of one key type, all valid now, with the
// keys; owned by the record.
struct PkiHierarchy {
  EVP_PKEY* root_key = nullptr;
  EVP_PKEY* inter_key = nullptr;
  EVP_PKEY* leaf_key = nullptr;
  X509* root = nullptr;
  X509* inter = nullptr;
  std::vector<X509*> leaves;
  PkiHierarchy() = default;
  PkiHierarchy(const PkiHierarchy&) = delete;
  PkiHierarchy& operator=(const PkiHierarchy&) = delete;
  ~PkiHierarchy();
};
// `leaves` leaves with serials 100, 101, ...; false on failure.
bool pki_make_hierarchy(PkiKeyType type, int leaves, PkiHierarchy* out);

}  // namespace test_support
