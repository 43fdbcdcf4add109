#include "crypto/cadb/cert_get.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <climits>

#include "crypto/cadb/cadb_codes.h"
#include "crypto/cclib/ossl_owners.h"

namespace qcrypto {
namespace {

// What a memory channel collected, as a buffer.
BUFFER* buffer_of_bio(BIO* bio, int func) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  UniquePtr<BUFFER> buffer(BUFFER_new());
  if (!buffer || length < 0 || length >= INT_MAX ||
      !BUFFER_fill(buffer.get(), length > 0 ? data : nullptr, static_cast<int>(length))) {
    QERR(ERRLIB_CADB, func, CADB_R_MEMORY);
    return nullptr;
  }
  return buffer.release();
}

template <class T>
BUFFER* x2pem(const T* object, int (*encode)(const T*, unsigned char**), const char* label) {
  unsigned char* der = nullptr;
  const int length = encode(object, &der);
  UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  const bool ok = length > 0 && bio && PEM_write_bio(bio.get(), label, "", der, length) > 0;
  OPENSSL_free(der);
  if (!ok) {
    QERR(ERRLIB_CADB, CADB_F_X2PEM, CADB_R_CALLED_PART);
    return nullptr;
  }
  return buffer_of_bio(bio.get(), CADB_F_X2PEM);
}

template <class T>
BUFFER* x2text(T* object, int (*print)(BIO*, T*)) {
  UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || print(bio.get(), object) != 1) {
    QERR(ERRLIB_CADB, CADB_F_X2TEXT, CADB_R_CALLED_PART);
    return nullptr;
  }
  return buffer_of_bio(bio.get(), CADB_F_X2TEXT);
}

template <class T>
BUFFER* x2der(const T* object, int (*encode)(const T*, unsigned char**)) {
  unsigned char* der = nullptr;
  const int length = encode(object, &der);
  if (length <= 0) {
    QERR(ERRLIB_CADB, CADB_F_X2DER, CADB_R_CALLED_PART);
    return nullptr;
  }
  UniquePtr<BUFFER> buffer(BUFFER_new());
  const bool ok = buffer && BUFFER_fill(buffer.get(), der, length) == 1;
  OPENSSL_free(der);
  if (!ok) {
    QERR(ERRLIB_CADB, CADB_F_X2DER, CADB_R_MEMORY);
    return nullptr;
  }
  return buffer.release();
}

int print_certificate(BIO* bio, X509* x509) { return X509_print_ex(bio, x509, XN_FLAG_COMPAT, X509_FLAG_COMPAT); }

}  // namespace

BUFFER* CERT_get(const CERT* cert, int format) {
  if (cert == nullptr || cert->x509 == nullptr) {
    QERR(ERRLIB_CADB, CADB_F_CERT_GET, CADB_R_BAD_ARGUMENT);
    return nullptr;
  }
  BUFFER* out = nullptr;
  switch (format) {
    case CERT_GET_PEM:
      out = x2pem<X509>(cert->x509, i2d_X509, PEM_STRING_X509);
      break;
    case CERT_GET_TEXT:
      out = x2text<X509>(cert->x509, print_certificate);
      break;
    default:
      out = x2der<X509>(cert->x509, i2d_X509);
      break;
  }
  if (out == nullptr) QERR(ERRLIB_CADB, CADB_F_CERT_GET, CADB_R_CALLED_PART);
  return out;
}

}  // namespace qcrypto
