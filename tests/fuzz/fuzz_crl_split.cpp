// CRLs come from distribution points anyone can fill. Whatever the reader
// accepts must split into a complete record with one revoked-entry record
// per entry of the list, and its extensions and scope must be judged for any
// certificate without a fault (the verifier reads them before it trusts the
// CRL's signature).
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crypto/cadb/cert_record.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/x509store/crl_scope.h"

namespace {

// An end certificate and a CA certificate, each with a distribution point,
// so that both scopes and the point matching run.
X509* scope_subject(bool ca) {
  X509* cert = X509_new();
  if (cert == nullptr) std::abort();
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  const char* values[][2] = {{"basicConstraints", ca ? "critical,CA:TRUE" : "CA:FALSE"},
                             {"crlDistributionPoints", "URI:http://crl.example/a.crl"}};
  for (const auto& v : values) {
    X509_EXTENSION* ext = X509V3_EXT_conf(nullptr, &ctx, v[0], v[1]);
    if (ext == nullptr || X509_add_ext(cert, ext, -1) != 1) std::abort();
    X509_EXTENSION_free(ext);
  }
  return cert;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = qcrypto::evp_provider_start() == 1;
  if (!started) std::abort();
  static X509* const leaf = scope_subject(false);
  static X509* const ca = scope_subject(true);
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
    qcrypto::CRL_is_complete_for(crl->x509_crl, leaf);
    qcrypto::CRL_is_complete_for(crl->x509_crl, ca);
    qcrypto::CRL_free(crl);
  }
  ERR_clear_error();
  return 0;
}
