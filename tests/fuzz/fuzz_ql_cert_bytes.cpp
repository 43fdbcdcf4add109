// Certificates and CRLs handed to the toolkit come from anyone (certificate
// files, messages, CRL folders). What the toolkit decodes must give a serial
// text of the searches' form, be listed once however often it is added, be
// found again by its own names and serial, and go into the store.
#include <openssl/err.h>
#include <openssl/x509.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crypto/prov/evp_gost.h"
#include "crypto/x509/name_print.h"
#include "quillon2/ql_keys.h"

namespace {

void check_cert(X509* cert) {
  const std::string serial = quillon2::mputil_serial_text(X509_get0_serialNumber(cert));
  if (serial.size() > 127) std::abort();
  for (std::size_t i = 0; i < serial.size(); ++i) {
    const char c = serial[i];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    if (!hex && !(c == '-' && i == 0)) std::abort();
  }
  quillon2::QL_SESSION session;
  for (int round = 0; round < 2; ++round) {
    if (quillon2::mputil_add_certificate(&session, cert) != quillon2::QL_OK) std::abort();
  }
  if (session.certs == nullptr || session.certs->list.size() != 1) std::abort();
  char subject[2048], issuer[2048];
  if (qcrypto::X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject) != nullptr &&
      qcrypto::X509_NAME_oneline(X509_get_issuer_name(cert), issuer, sizeof issuer) != nullptr) {
    X509* found = quillon2::mputil_find_cert(&session, subject, issuer, serial.c_str());
    if (found != cert) std::abort();
    X509_free(found);
  }
  quillon2::mputil_free_certificates(&session);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = qcrypto::evp_provider_start() == 1;
  if (!started) std::abort();
  if (size == 0 || size > INT_MAX) return 0;
  const long length = static_cast<long>(size);
  if (X509* cert = quillon2::mputil_decode_cert(data, length)) {
    check_cert(cert);
    X509_free(cert);
  }
  if (X509_CRL* crl = quillon2::mputil_decode_crl(data, length)) {
    qcrypto::X509_STORE* store = qcrypto::X509_STORE_new();
    if (store == nullptr ||
        qcrypto::X509_STORE_add_lookup(store, qcrypto::X509_LOOKUP_trusted(), "trusted", 1) == nullptr ||
        quillon2::mputil_store_add_crl(store, crl) != quillon2::QL_OK)
      std::abort();
    qcrypto::X509_STORE_free(store);
    X509_CRL_free(crl);
  }
  ERR_clear_error();
  return 0;
}
