// The CRMF certificate identifier: an existing certificate named by its
// issuer and serial number, for certificate-request code.
//
//   CertId ::= SEQUENCE { issuer GeneralName, serialNumber INTEGER }
//
// libcrypto has a CRMF module of its own; these are the project's and live in
// namespace qcrypto.
#pragma once

#include <openssl/asn1.h>
#include <openssl/x509v3.h>

#include "crypto/cclib/owner.h"

namespace qcrypto {

struct CRMF_CERTID {
  GENERAL_NAME* issuer;
  ASN1_INTEGER* serialNumber;
};

// A record with an empty GeneralName and an empty INTEGER, or null with an
// ASN.1 error (memory).
CRMF_CERTID* CRMF_CERTID_new();
// Frees both fields and the record. Null is allowed.
void CRMF_CERTID_free(CRMF_CERTID* record);
// The encoded length, or a value below 1 on failure; with `out` the DER is
// written there and *out advanced.
int i2d_CRMF_CERTID(const CRMF_CERTID* record, unsigned char** out);
// Reads one CertId of at most `length` bytes and advances *in. Anything but
// exactly a GeneralName and an INTEGER inside the SEQUENCE fails with an
// ASN.1 error; *record (when given) is then left as it was. On success the
// new record replaces (and frees) *record.
CRMF_CERTID* d2i_CRMF_CERTID(CRMF_CERTID** record, const unsigned char** in, long length);

// The four codec operations in the order the ASN.1 layer keeps them.
struct CRMF_CERTID_METHOD {
  int (*i2d)(const CRMF_CERTID*, unsigned char**);
  CRMF_CERTID* (*d2i)(CRMF_CERTID**, const unsigned char**, long);
  CRMF_CERTID* (*create)();
  void (*destroy)(CRMF_CERTID*);
};
const CRMF_CERTID_METHOD* CRMF_CERTID_method();

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::CRMF_CERTID, qcrypto::CRMF_CERTID_free)
