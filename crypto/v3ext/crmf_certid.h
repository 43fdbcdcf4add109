// The certificate-request message format's name of an existing certificate:
// its issuer and serial number.
//
//   CertId ::= SEQUENCE { issuer GeneralName, serialNumber INTEGER }
#pragma once

#include <openssl/asn1.h>
#include <openssl/x509v3.h>

#include "crypto/cclib/owner.h"

namespace qcrypto {

struct CRMF_CERTID {
  GENERAL_NAME* issuer;
  ASN1_INTEGER* serialNumber;
};

DECLARE_ASN1_ITEM(CRMF_CERTID)

// An empty GeneralName and INTEGER, or null ("memory alloc failure" under
// library 13).
CRMF_CERTID* CRMF_CERTID_new();
void CRMF_CERTID_free(CRMF_CERTID* id);
// The DER length; with `out` the SEQUENCE is written there and *out
// advanced. Below 1 on failure.
int i2d_CRMF_CERTID(const CRMF_CERTID* id, unsigned char** out);
// Reads exactly one SEQUENCE of two elements in DER (BER forms such as
// indefinite lengths are refused) and advances *in; null with an
// error of library 13 on failure (a record made here is freed, *out is left
// as it was).
CRMF_CERTID* d2i_CRMF_CERTID(CRMF_CERTID** out, const unsigned char** in, long length);

// The codec record, in the order {encode, decode, new, free}.
struct CRMF_CERTID_METHOD {
  int (*i2d)(const CRMF_CERTID*, unsigned char**);
  CRMF_CERTID* (*d2i)(CRMF_CERTID**, const unsigned char**, long);
  CRMF_CERTID* (*create)();
  void (*destroy)(CRMF_CERTID*);
};
const CRMF_CERTID_METHOD* CRMF_CERTID_method();

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::CRMF_CERTID, qcrypto::CRMF_CERTID_free)
