// CRLs come from distribution points anyone can fill. Whatever the reader
// accepts must split into a complete record with one revoked-entry record
// per entry of the list.
#include <openssl/err.h>
#include <openssl/x509.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crypto/cadb/cert_record.h"
#include "crypto/prov/evp_gost.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = qcrypto::evp_provider_start() == 1;
  if (!started) std::abort();
  if (size == 0 || size > INT_MAX) return 0;
  qcrypto::CRL* crl = qcrypto::CRL_read_buffer(0, data, static_cast<int>(size), 0);
  if (crl != nullptr) {
    if (crl->x509_crl == nullptr || crl->last_update == nullptr || crl->issuer_text == nullptr || crl->valid != -1 ||
        crl->revoked == nullptr) {
      std::abort();
    }
    if ((X509_CRL_get0_nextUpdate(crl->x509_crl) == nullptr) != (crl->next_update == nullptr)) std::abort();
    const int n = qcrypto::sk_REVOKED_num(crl->revoked);
    const int entries = sk_X509_REVOKED_num(X509_CRL_get_REVOKED(crl->x509_crl));
    if (n != (entries > 0 ? entries : 0)) std::abort();
    for (int i = 0; i < n; ++i) {
      const qcrypto::REVOKED* r = qcrypto::sk_REVOKED_value(crl->revoked, i);
      if (r == nullptr || r->serial == nullptr || r->serial->data[r->serial->length] != 0) std::abort();
    }
    for (const qcrypto::ATTRIBUTE* a = crl->issuer; a != nullptr; a = a->next) {
      if (a->value == nullptr) std::abort();
    }
    qcrypto::CRL_free(crl);
  }
  ERR_clear_error();
  return 0;
}
