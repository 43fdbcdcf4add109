// Extensions arrive inside certificates and CRLs from anyone. Any extension
// list must decode, convert and print without a fault; what splits must hold
// one record per decoded extension, each either converted or marked
// unsupported, and the decoded list must never hold an extension the split
// would silently drop while it is critical.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crypto/v3ext/cadb_v3ext.h"
#include "crypto/v3ext/v3ext.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > INT_MAX) return 0;
  const unsigned char* p = data;
  X509_EXTENSIONS* exts = d2i_X509_EXTENSIONS(nullptr, &p, static_cast<long>(size));
  if (exts == nullptr) {
    ERR_clear_error();
    return 0;
  }
  qcrypto::V3EXT_DECODED_LIST* decoded = qcrypto::V3EXT_decode_extensions(exts);
  qcrypto::CADB_V3EXT_LIST* records = qcrypto::CADB_V3EXT_split(exts);
  if (records != nullptr) {
    if (decoded == nullptr || qcrypto::sk_CADB_V3EXT_num(records) != qcrypto::sk_V3EXT_DECODED_num(decoded)) {
      std::abort();
    }
    for (int i = 0; i < qcrypto::sk_CADB_V3EXT_num(records); ++i) {
      const qcrypto::CADB_V3EXT* r = qcrypto::sk_CADB_V3EXT_value(records, i);
      if ((r->parsed != 0) == (r->unsupported != 0)) std::abort();
      if (r->object != qcrypto::sk_V3EXT_DECODED_value(decoded, i)->object) std::abort();
    }
  }
  if (decoded != nullptr) {
    // Every extension left out of the decoded list must be a non-critical one.
    int critical_in = 0;
    for (int i = 0; i < sk_X509_EXTENSION_num(exts); ++i) {
      critical_in += X509_EXTENSION_get_critical(sk_X509_EXTENSION_value(exts, i)) != 0 ? 1 : 0;
    }
    int critical_kept = 0;
    for (int i = 0; i < qcrypto::sk_V3EXT_DECODED_num(decoded); ++i) {
      critical_kept += qcrypto::sk_V3EXT_DECODED_value(decoded, i)->critical != 0 ? 1 : 0;
    }
    if (critical_kept != critical_in) std::abort();
  }
  BIO* sink = BIO_new(BIO_s_mem());
  if (sink != nullptr) (void)qcrypto::V3EXT_print_all(sink, exts, 4);
  BIO_free(sink);
  qcrypto::CADB_V3EXT_LIST_free(records);
  qcrypto::V3EXT_DECODED_LIST_free(decoded);
  sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
  ERR_clear_error();
  return 0;
}
