// Decoded records of certificates and CRLs: every field ready for display
// and for the checks of the store and the chain verifier, next to the
// object itself.
#pragma once

#include <openssl/bio.h>
#include <openssl/safestack.h>
#include <openssl/x509.h>

#include <ctime>

#include "crypto/cadb/attribute.h"
#include "crypto/cadb/buffer.h"
#include "crypto/cadb/v3ext_hook.h"
#include "crypto/cclib/owner.h"

namespace qcrypto {

// One error the chain verifier found for a certificate or CRL.
struct X509_VERIFY_ERROR {
  int error;      // the verification error number
  BUFFER* text;   // its text
  int tolerated;  // 1 when the caller's flags tolerate it
};
X509_VERIFY_ERROR* X509_VERIFY_ERROR_new();
void X509_VERIFY_ERROR_free(X509_VERIFY_ERROR* error);

}  // namespace qcrypto

namespace qcrypto {
DEFINE_STACK_OF(X509_VERIFY_ERROR)
}  // namespace qcrypto

namespace qcrypto {

// Certificate record. Versions and flags as the certificate has them;
// object numbers are the system's.
struct CERT {
  int version;              // as stored: 0 for version 1
  int key_algorithm;        // object number of the public-key algorithm
  int key_bits;             // 0 when the key cannot be decoded
  int signature_algorithm;  // object number
  int self_issued;          // 1 when subject and issuer names are equal, -1 otherwise
  int key_params_missing;   // 1 when a DSA or GOST key leaves its parameters to the issuer
  BUFFER* serial;           // the serial number's bytes (big-endian magnitude)
  struct tm not_before;
  struct tm not_after;
  ATTRIBUTE* subject;           // the subject's entries
  ATTRIBUTE* issuer;            // the issuer's entries
  CADB_V3EXT_LIST* extensions;  // null when the certificate has none
  // Filled by the chain verifier.
  int depth;
  int valid;  // -1 not checked, 0 invalid, 1 valid
  STACK_OF(X509_VERIFY_ERROR) * errors;
  CERT* issuer_record;   // the next record up the verified chain (owned)
  X509* x509;            // one reference
  BUFFER* fingerprint;   // GOST R 34.11-94 of the public key's bits
  BUFFER* subject_text;  // the name line of the subject
  BUFFER* issuer_text;
  X509_CRL* crl;  // the CRL verification used for it (one reference)
};

// A zeroed record with the self-issued flag and the valid flag at -1.
CERT* CERT_new();
// Frees every member (the chain of issuer records too) and zeroes the record.
void CERT_clear(CERT* cert);
// Frees the chain of issuer records behind the record, then the record.
void CERT_free(CERT* cert);

// A record of the certificate, which gets one more reference. Null with an
// error when a time cannot be converted, a name cannot be split or printed,
// the extensions cannot be decoded or the public key's bits cannot be hashed.
CERT* CERT_split(X509* x509);

// Certificate formats of the readers.
constexpr int CADB_FORMAT_ANY = 0;  // DER, then PEM
constexpr int CADB_FORMAT_DER = 1;
constexpr int CADB_FORMAT_PEM = 2;

// Reads one certificate: format 1 DER, 2 PEM; anything else gives null with
// an error.
X509* CERT_read_bio(int format, BIO* bio);
// A record of the certificate in `bytes`. `options` is passed on to the
// medium readers and not read here.
CERT* CERT_read_buffer(int format, const unsigned char* bytes, int length, int options);
CERT* CERT_read_buffer_any(const unsigned char* bytes, int length);

// Revoked-entry record.
struct REVOKED {
  BUFFER* serial;
  struct tm revocation_date;
  CADB_V3EXT_LIST* extensions;
};
REVOKED* REVOKED_new();
void REVOKED_free(REVOKED* revoked);

}  // namespace qcrypto

namespace qcrypto {
DEFINE_STACK_OF(REVOKED)
}  // namespace qcrypto

namespace qcrypto {

// CRL record.
struct CRL {
  int version;              // as stored: 0 for version 1
  int signature_algorithm;  // object number
  ATTRIBUTE* issuer;
  BUFFER* issuer_text;
  struct tm* last_update;  // allocated
  struct tm* next_update;  // allocated; null when the CRL has none
  STACK_OF(REVOKED) * revoked;
  CADB_V3EXT_LIST* extensions;
  // Filled by the chain verifier.
  STACK_OF(X509_VERIFY_ERROR) * errors;
  int valid;            // -1 not checked
  X509_CRL* x509_crl;   // one reference
  CERT* issuer_record;  // owned
};

CRL* CRL_new();
void CRL_free(CRL* crl);
// A record of the CRL, which gets one more reference; null with an error.
CRL* CRL_split(X509_CRL* crl);
X509_CRL* CRL_read_bio(int format, BIO* bio);
CRL* CRL_read_buffer(int format, const unsigned char* bytes, int length, int options);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::CERT, qcrypto::CERT_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CRL, qcrypto::CRL_free)
QCRYPTO_DECLARE_OWNER(qcrypto::REVOKED, qcrypto::REVOKED_free)
QCRYPTO_DECLARE_OWNER(qcrypto::X509_VERIFY_ERROR, qcrypto::X509_VERIFY_ERROR_free)
