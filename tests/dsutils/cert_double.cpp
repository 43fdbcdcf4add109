#include "tests/dsutils/cert_double.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "crypto/bn/bn_owner.h"
#include "crypto/cclib/ossl_owners.h"

namespace dsutils::testing {
namespace {

QByteArray entry_text(X509_NAME* name, int nid) {
  const int index = X509_NAME_get_index_by_NID(name, nid, -1);
  if (index < 0) return {};
  unsigned char* utf8 = nullptr;
  const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
  if (n < 0) return {};
  QByteArray out(reinterpret_cast<const char*>(utf8), n);
  OPENSSL_free(utf8);
  return out;
}

DistinguishedName dn_of(X509_NAME* name) {
  DistinguishedName dn;
  dn.C = entry_text(name, NID_countryName);
  dn.SP = entry_text(name, NID_stateOrProvinceName);
  dn.L = entry_text(name, NID_localityName);
  dn.O = entry_text(name, NID_organizationName);
  dn.OU = entry_text(name, NID_organizationalUnitName);
  dn.T = entry_text(name, NID_title);
  dn.CN = entry_text(name, NID_commonName);
  dn.Email = entry_text(name, NID_pkcs9_emailAddress);
  return dn;
}

QByteArray serial_text(const ASN1_INTEGER* serial) {
  QByteArray out;
  if (ASN1_STRING_type(serial) == V_ASN1_NEG_INTEGER) out += '-';
  const unsigned char* p = ASN1_STRING_get0_data(serial);
  for (int i = 0; i < ASN1_STRING_length(serial) && out.size() < 126; ++i)
    out += QByteArray::number(p[i] | 0x100, 16).mid(1).toUpper();
  return out;
}

void add_name(X509_NAME* name, const NameSpec& spec) {
  auto add = [&](const char* field, const std::string& value) {
    if (!value.empty())
      X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.c_str()), -1,
                                 -1, 0);
  };
  add("C", spec.c);
  add("O", spec.o);
  add("CN", spec.cn);
  add("emailAddress", spec.email);
}

EVP_PKEY* process_key() {
  static EVP_PKEY* key = EVP_EC_gen("P-256");  // kept until the process ends
  return key;
}

}  // namespace

int OpenSslSession::Open() {
  ++counters_.opened;
  return kToolkitOk;
}

int OpenSslSession::Close() {
  ++counters_.closed;
  return kToolkitOk;
}

int OpenSslSession::GetCertificateInfo(const QByteArray& certificate, CertificateInfo& info) {
  const auto* p = reinterpret_cast<const unsigned char*>(certificate.constData());
  qcrypto::UniquePtr<X509> cert(d2i_X509(nullptr, &p, certificate.size()));
  if (!cert) {
    qcrypto::UniquePtr<BIO> mem(BIO_new_mem_buf(certificate.constData(), static_cast<int>(certificate.size())));
    cert.reset(PEM_read_bio_X509(mem.get(), nullptr, nullptr, nullptr));
  }
  if (!cert) return kToolkitUndecodable;
  CertificateInfo out;
  out.version = QByteArray::number(X509_get_version(cert.get()) + 1);
  out.serial = serial_text(X509_get0_serialNumber(cert.get()));
  if (refused_.contains(out.serial)) return kToolkitUndecodable;
  out.issuer = dn_of(X509_get_issuer_name(cert.get()));
  out.subject = dn_of(X509_get_subject_name(cert.get()));
  info = out;
  ++counters_.decoded;
  return kToolkitOk;
}

ScopedOpenSslFactory::ScopedOpenSslFactory(std::set<QByteArray> refused) {
  setDirectoryCryptoFactory([this, refused] {
    ++counters_.made;
    return std::make_unique<OpenSslSession>(counters_, refused);
  });
}

ScopedOpenSslFactory::~ScopedOpenSslFactory() { setDirectoryCryptoFactory({}); }

QByteArray make_certificate(const std::string& serialHex, const NameSpec& subject, const NameSpec& issuer) {
  qcrypto::UniquePtr<X509> cert(X509_new());
  BIGNUM* raw = nullptr;
  if (!cert || BN_hex2bn(&raw, serialHex.c_str()) == 0) return {};
  const qcrypto::UniquePtr<BIGNUM> serial(raw);
  ASN1_INTEGER* serialField = BN_to_ASN1_INTEGER(serial.get(), nullptr);
  X509_set_version(cert.get(), X509_VERSION_3);
  X509_set_serialNumber(cert.get(), serialField);
  ASN1_INTEGER_free(serialField);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 30);
  add_name(X509_get_subject_name(cert.get()), subject);
  add_name(X509_get_issuer_name(cert.get()), issuer);
  X509_set_pubkey(cert.get(), process_key());
  if (X509_sign(cert.get(), process_key(), EVP_sha256()) <= 0) return {};
  unsigned char* der = nullptr;
  const int n = i2d_X509(cert.get(), &der);
  if (n <= 0) return {};
  QByteArray out(reinterpret_cast<const char*>(der), n);
  OPENSSL_free(der);
  return out;
}

}  // namespace dsutils::testing
