// Certificate files come from anyone. Whatever the reader accepts must split
// into a complete record and give its certificate back in every output
// format; DER written again that reads back must be the same certificate.
#include <openssl/err.h>
#include <openssl/x509.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crypto/cadb/cert_get.h"
#include "crypto/cadb/cert_record.h"
#include "crypto/prov/evp_gost.h"

namespace {

void check_chain(const qcrypto::ATTRIBUTE* a) {
  for (; a != nullptr; a = a->next) {
    if (a->value == nullptr) std::abort();
  }
}

void check_text(const qcrypto::BUFFER* b) {
  if (b == nullptr || b->data == nullptr || b->length < 0 || b->data[b->length] != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = qcrypto::evp_provider_start() == 1;
  if (!started) std::abort();
  if (size == 0 || size > INT_MAX) return 0;
  qcrypto::CERT* cert = qcrypto::CERT_read_buffer_any(data, static_cast<int>(size));
  if (cert != nullptr) {
    if (cert->x509 == nullptr || (cert->self_issued != 1 && cert->self_issued != -1) || cert->valid != -1 ||
        cert->key_bits < 0) {
      std::abort();
    }
    check_text(cert->serial);
    check_text(cert->subject_text);
    check_text(cert->issuer_text);
    check_text(cert->fingerprint);
    if (cert->fingerprint->length != 32) std::abort();
    check_chain(cert->subject);
    check_chain(cert->issuer);
    qcrypto::BUFFER* der = qcrypto::CERT_get(cert, 1);
    if (der == nullptr || der->length <= 0) std::abort();
    // OpenSSL's reader takes some BER forms that its writer turns into bytes
    // it will not read again; when the DER does read back, it must be the
    // same certificate, compared as encodings (X509_cmp refuses certificates
    // with undecodable extensions, which the split does not judge).
    qcrypto::CERT* again = qcrypto::CERT_read_buffer(1, der->data, der->length, 0);
    if (again != nullptr) {
      qcrypto::BUFFER* der_again = qcrypto::CERT_get(again, 1);
      if (der_again == nullptr || der_again->length != der->length ||
          std::memcmp(der_again->data, der->data, static_cast<std::size_t>(der->length)) != 0) {
        std::abort();
      }
      qcrypto::BUFFER_free(der_again);
    }
    qcrypto::CERT_free(again);
    qcrypto::BUFFER_free(der);
    qcrypto::BUFFER* pem = qcrypto::CERT_get(cert, 2);
    if (pem == nullptr) std::abort();
    qcrypto::BUFFER_free(pem);
    // The full print may refuse a key it cannot show; it must not crash.
    qcrypto::BUFFER_free(qcrypto::CERT_get(cert, 5));
    qcrypto::CERT_free(cert);
  }
  ERR_clear_error();
  return 0;
}
