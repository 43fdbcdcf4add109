#include "crypto/cadb/cert_record.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include <climits>
#include <cstring>

#include "crypto/cadb/cadb_codes.h"
#include "crypto/cadb/record_util.h"
#include "crypto/cadb/tm_utils.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/evp/objects.h"
#include "crypto/x509/name_print.h"

namespace qcrypto {
namespace {

int object_number(int nid) { return nid == NID_undef ? 0 : sysobj_number(nid); }

// DSA and GOST keys may leave their domain parameters to the issuer's
// certificate; an RSA key has none to leave.
int params_missing(const X509_PUBKEY* pub, int key_algorithm) {
  const int type = EVP_PKEY_type(key_algorithm);
  if (type != 116 && type != 177 && type != 181) return 0;
  X509_ALGOR* algorithm = nullptr;
  if (X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &algorithm, pub) != 1 || algorithm == nullptr) return 1;
  int ptype = V_ASN1_UNDEF;
  X509_ALGOR_get0(nullptr, &ptype, nullptr, algorithm);
  return ptype == V_ASN1_UNDEF || ptype == V_ASN1_NULL ? 1 : 0;
}

// The key's size, or 0 when no provider can decode it: a certificate of an
// unknown key is still shown. The decoder's complaints are dropped with it.
int key_bits(X509* x509) {
  ::ERR_set_mark();
  const EVP_PKEY* key = X509_get0_pubkey(x509);
  const int bits = key != nullptr ? EVP_PKEY_get_bits(key) : 0;
  ::ERR_pop_to_mark();
  return bits > 0 ? bits : 0;
}

// Frees everything a record owns except its chain of issuer records.
void clear_members(CERT* cert) {
  BUFFER_free(cert->serial);
  ATTRIBUTE_free(cert->subject);
  ATTRIBUTE_free(cert->issuer);
  cadb_free_extensions(cert->extensions);
  sk_X509_VERIFY_ERROR_pop_free(cert->errors, X509_VERIFY_ERROR_free);
  X509_free(cert->x509);
  BUFFER_free(cert->fingerprint);
  BUFFER_free(cert->subject_text);
  BUFFER_free(cert->issuer_text);
  X509_CRL_free(cert->crl);
  CERT* chain = cert->issuer_record;
  std::memset(cert, 0, sizeof *cert);
  cert->issuer_record = chain;
}

// Frees a chain of issuer records one by one (a loop: a chain is as long as
// the verifier made it).
void free_chain(CERT* chain) {
  while (chain != nullptr) {
    CERT* next = chain->issuer_record;
    clear_members(chain);
    OPENSSL_free(chain);
    chain = next;
  }
}

int no_password(char* /*buf*/, int /*size*/, int /*rwflag*/, void* /*u*/) { return 0; }

template <class T>
T* read_object(int format, BIO* bio, T* (*d2i)(BIO*, T**), T* (*pem)(BIO*, T**, pem_password_cb*, void*), int func) {
  if (bio == nullptr) {
    QERR(ERRLIB_CADB, func, CADB_R_BAD_ARGUMENT);
    return nullptr;
  }
  T* object = nullptr;
  switch (format) {
    case CADB_FORMAT_DER:
      object = d2i(bio, nullptr);
      break;
    case CADB_FORMAT_PEM:
      object = pem(bio, nullptr, no_password, nullptr);
      break;
    default:
      QERR(ERRLIB_CADB, func, CADB_R_BAD_ARGUMENT);
      return nullptr;
  }
  if (object == nullptr) QERR(ERRLIB_CADB, func, CADB_R_CALLED_PART);
  return object;
}

// Format 0 tries DER, then PEM. The DER reader's complaints about a PEM text
// are dropped before the second attempt; the caller's earlier errors stay.
template <class T>
T* read_from_buffer(int format, const unsigned char* bytes, int length, T* (*reader)(int, BIO*), int func) {
  if (bytes == nullptr || length <= 0) {
    QERR(ERRLIB_CADB, func, CADB_R_BAD_ARGUMENT);
    return nullptr;
  }
  auto read_as = [&](int f) -> T* {
    UniquePtr<BIO> bio(BIO_new_mem_buf(bytes, length));
    if (!bio) {
      QERR(ERRLIB_CADB, func, CADB_R_MEMORY);
      return nullptr;
    }
    return reader(f, bio.get());
  };
  if (format != CADB_FORMAT_ANY) return read_as(format);
  ::ERR_set_mark();
  if (T* object = read_as(CADB_FORMAT_DER)) {
    ::ERR_clear_last_mark();
    return object;
  }
  ::ERR_pop_to_mark();
  return read_as(CADB_FORMAT_PEM);
}

// The object read from a buffer, then split into its record; the parsed
// object is freed either way.
template <class T, class R>
R* read_and_split(int format, const unsigned char* bytes, int length, T* (*reader)(int, BIO*), R* (*split)(T*),
                  int func) {
  UniquePtr<T> object(read_from_buffer<T>(format, bytes, length, reader, func));
  if (!object) {
    QERR(ERRLIB_CADB, func, CADB_R_CALLED_PART);
    return nullptr;
  }
  R* record = split(object.get());
  if (record == nullptr) QERR(ERRLIB_CADB, func, CADB_R_CALLED_PART);
  return record;
}

}  // namespace

X509_VERIFY_ERROR* X509_VERIFY_ERROR_new() {
  auto* error = static_cast<X509_VERIFY_ERROR*>(OPENSSL_zalloc(sizeof(X509_VERIFY_ERROR)));
  if (error == nullptr) QERR(ERRLIB_CADB, CADB_F_X509_VERIFY_ERROR_NEW, CADB_R_MEMORY);
  return error;
}

void X509_VERIFY_ERROR_free(X509_VERIFY_ERROR* error) {
  if (error == nullptr) return;
  BUFFER_free(error->text);
  OPENSSL_free(error);
}

CERT* CERT_new() {
  auto* cert = static_cast<CERT*>(OPENSSL_zalloc(sizeof(CERT)));
  if (cert == nullptr) {
    QERR(ERRLIB_CADB, CADB_F_CERT_NEW, CADB_R_MEMORY);
    return nullptr;
  }
  cert->self_issued = -1;
  cert->valid = -1;
  return cert;
}

void CERT_clear(CERT* cert) {
  if (cert == nullptr) return;
  CERT* chain = cert->issuer_record;
  cert->issuer_record = nullptr;
  free_chain(chain);
  clear_members(cert);
}

void CERT_free(CERT* cert) { free_chain(cert); }

CERT* CERT_split(X509* x509) {
  if (x509 == nullptr) {
    QERR(ERRLIB_CADB, CADB_F_CERT_SPLIT, CADB_R_BAD_ARGUMENT);
    return nullptr;
  }
  UniquePtr<CERT> cert(CERT_new());
  if (!cert || X509_up_ref(x509) != 1) {
    QERR(ERRLIB_CADB, CADB_F_CERT_SPLIT, CADB_R_MEMORY);
    return nullptr;
  }
  cert->x509 = x509;
  cert->version = static_cast<int>(X509_get_version(x509));
  const X509_PUBKEY* pub = X509_get_X509_PUBKEY(x509);
  ASN1_OBJECT* key_object = nullptr;
  if (pub != nullptr) X509_PUBKEY_get0_param(&key_object, nullptr, nullptr, nullptr, pub);
  cert->key_algorithm = key_object != nullptr ? object_number(OBJ_obj2nid(key_object)) : 0;
  cert->key_bits = key_bits(x509);
  cert->signature_algorithm = object_number(X509_get_signature_nid(x509));
  cert->key_params_missing = pub != nullptr ? params_missing(pub, cert->key_algorithm) : 0;
  const X509_NAME* subject = X509_get_subject_name(x509);
  const X509_NAME* issuer = X509_get_issuer_name(x509);
  cert->self_issued = X509_NAME_cmp(subject, issuer) == 0 ? 1 : -1;
  const STACK_OF(X509_EXTENSION)* extensions = X509_get0_extensions(x509);
  const bool ok =
      (cert->serial = cadb_integer_bytes(X509_get0_serialNumber(x509))) != nullptr &&
      ASN1_TIME_get_tm(X509_get0_notBefore(x509), &cert->not_before) != nullptr &&
      ASN1_TIME_get_tm(X509_get0_notAfter(x509), &cert->not_after) != nullptr &&
      X509_NAME_split_into(subject, &cert->subject) == 1 && X509_NAME_split_into(issuer, &cert->issuer) == 1 &&
      (cert->subject_text = cadb_name_text(subject)) != nullptr &&
      (cert->issuer_text = cadb_name_text(issuer)) != nullptr &&
      (sk_X509_EXTENSION_num(extensions) <= 0 || cadb_split_extensions(extensions, &cert->extensions) == 1) &&
      pub != nullptr && (cert->fingerprint = cadb_fingerprint(pub)) != nullptr;
  if (!ok) {
    QERR(ERRLIB_CADB, CADB_F_CERT_SPLIT, CADB_R_CALLED_PART);
    return nullptr;
  }
  return cert.release();
}

X509* CERT_read_bio(int format, BIO* bio) {
  return read_object<X509>(format, bio, d2i_X509_bio, PEM_read_bio_X509, CADB_F_CERT_READ_BIO);
}

CERT* CERT_read_buffer(int format, const unsigned char* bytes, int length, int /*options*/) {
  return read_and_split<X509, CERT>(format, bytes, length, CERT_read_bio, CERT_split, CADB_F_CERT_READ_BUFFER);
}

CERT* CERT_read_buffer_any(const unsigned char* bytes, int length) {
  return CERT_read_buffer(CADB_FORMAT_ANY, bytes, length, 0);
}

REVOKED* REVOKED_new() {
  auto* revoked = static_cast<REVOKED*>(OPENSSL_zalloc(sizeof(REVOKED)));
  if (revoked == nullptr) QERR(ERRLIB_CADB, CADB_F_REVOKED_NEW, CADB_R_MEMORY);
  return revoked;
}

void REVOKED_free(REVOKED* revoked) {
  if (revoked == nullptr) return;
  BUFFER_free(revoked->serial);
  cadb_free_extensions(revoked->extensions);
  OPENSSL_free(revoked);
}

CRL* CRL_new() {
  auto* crl = static_cast<CRL*>(OPENSSL_zalloc(sizeof(CRL)));
  if (crl == nullptr) {
    QERR(ERRLIB_CADB, CADB_F_CRL_NEW, CADB_R_MEMORY);
    return nullptr;
  }
  crl->valid = -1;
  return crl;
}

void CRL_free(CRL* crl) {
  if (crl == nullptr) return;
  ATTRIBUTE_free(crl->issuer);
  BUFFER_free(crl->issuer_text);
  OPENSSL_free(crl->last_update);
  OPENSSL_free(crl->next_update);
  sk_REVOKED_pop_free(crl->revoked, REVOKED_free);
  cadb_free_extensions(crl->extensions);
  sk_X509_VERIFY_ERROR_pop_free(crl->errors, X509_VERIFY_ERROR_free);
  X509_CRL_free(crl->x509_crl);
  CERT_free(crl->issuer_record);
  OPENSSL_free(crl);
}

namespace {

struct tm* allocated_time(const ASN1_TIME* time) {
  auto* t = static_cast<struct tm*>(OPENSSL_zalloc(sizeof(struct tm)));
  if (t != nullptr && ASN1_TIME_get_tm(time, t) == nullptr) {
    OPENSSL_free(t);
    return nullptr;
  }
  return t;
}

REVOKED* split_revoked(const X509_REVOKED* entry) {
  UniquePtr<REVOKED> revoked(REVOKED_new());
  if (!revoked) return nullptr;
  const STACK_OF(X509_EXTENSION)* extensions = X509_REVOKED_get0_extensions(entry);
  const bool ok =
      (revoked->serial = cadb_integer_bytes(X509_REVOKED_get0_serialNumber(entry))) != nullptr &&
      ASN1_TIME_get_tm(X509_REVOKED_get0_revocationDate(entry), &revoked->revocation_date) != nullptr &&
      (sk_X509_EXTENSION_num(extensions) <= 0 || cadb_split_extensions(extensions, &revoked->extensions) == 1);
  return ok ? revoked.release() : nullptr;
}

}  // namespace

CRL* CRL_split(X509_CRL* x509_crl) {
  if (x509_crl == nullptr) {
    QERR(ERRLIB_CADB, CADB_F_CRL_SPLIT, CADB_R_BAD_ARGUMENT);
    return nullptr;
  }
  UniquePtr<CRL> crl(CRL_new());
  if (!crl || X509_CRL_up_ref(x509_crl) != 1) {
    QERR(ERRLIB_CADB, CADB_F_CRL_SPLIT, CADB_R_MEMORY);
    return nullptr;
  }
  crl->x509_crl = x509_crl;
  crl->version = static_cast<int>(X509_CRL_get_version(x509_crl));
  crl->signature_algorithm = object_number(X509_CRL_get_signature_nid(x509_crl));
  const X509_NAME* issuer = X509_CRL_get_issuer(x509_crl);
  const ASN1_TIME* next = X509_CRL_get0_nextUpdate(x509_crl);
  const STACK_OF(X509_EXTENSION)* extensions = X509_CRL_get0_extensions(x509_crl);
  bool ok = X509_NAME_split_into(issuer, &crl->issuer) == 1 && (crl->issuer_text = cadb_name_text(issuer)) != nullptr &&
            (crl->last_update = allocated_time(X509_CRL_get0_lastUpdate(x509_crl))) != nullptr &&
            (next == nullptr || (crl->next_update = allocated_time(next)) != nullptr) &&
            (sk_X509_EXTENSION_num(extensions) <= 0 || cadb_split_extensions(extensions, &crl->extensions) == 1) &&
            (crl->revoked = sk_REVOKED_new_null()) != nullptr;
  STACK_OF(X509_REVOKED)* entries = X509_CRL_get_REVOKED(x509_crl);
  for (int i = 0; ok && i < sk_X509_REVOKED_num(entries); ++i) {
    UniquePtr<REVOKED> revoked(split_revoked(sk_X509_REVOKED_value(entries, i)));
    ok = revoked && sk_REVOKED_push(crl->revoked, revoked.get()) > 0;
    // The list owns the entry from here on.
    if (ok) static_cast<void>(revoked.release());
  }
  if (!ok) {
    QERR(ERRLIB_CADB, CADB_F_CRL_SPLIT, CADB_R_CALLED_PART);
    return nullptr;
  }
  return crl.release();
}

X509_CRL* CRL_read_bio(int format, BIO* bio) {
  return read_object<X509_CRL>(format, bio, d2i_X509_CRL_bio, PEM_read_bio_X509_CRL, CADB_F_CRL_READ_BIO);
}

CRL* CRL_read_buffer(int format, const unsigned char* bytes, int length, int /*options*/) {
  return read_and_split<X509_CRL, CRL>(format, bytes, length, CRL_read_bio, CRL_split, CADB_F_CRL_READ_BUFFER);
}

}  // namespace qcrypto
