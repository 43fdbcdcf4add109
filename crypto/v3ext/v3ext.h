// X.509v3 extensions as the system reads them: the object numbers of the
// extensions it knows, the decoding of every extension of an object into a
// list of values, and the printed texts of the PKIX certificate and CRL
// extensions that OpenSSL prints differently or not at all.
//
// Nothing here is registered with OpenSSL's extension table: its printing of
// other code's certificates stays as it is.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/conf.h>
#include <openssl/safestack.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "crypto/cclib/owner.h"

namespace qcrypto {

// The system's numbers of the extensions above OpenSSL's first 170 NIDs
// (those below keep OpenSSL's numbers: 71 to 90, 103, 126, 140 to 143).
enum V3extObject : int {
  V3OBJ_INHIBIT_ANY_POLICY = 200,
  V3OBJ_FRESHEST_CRL = 201,
  V3OBJ_POLICY_MAPPINGS = 202,
  V3OBJ_POLICY_CONSTRAINTS = 203,
  V3OBJ_NAME_CONSTRAINTS = 204,
  V3OBJ_AUTHORITY_INFO_ACCESS = 206,
  V3OBJ_SUBJECT_INFO_ACCESS = 207,
  V3OBJ_ISSUING_DIST_POINT = 213,
  V3OBJ_HOLD_INSTRUCTION_CODE = 214,
  V3OBJ_CERTIFICATE_ISSUER = 215,
  V3OBJ_SUBJECT_DIRECTORY_ATTRIBUTES = 220,
};

// The system's number of an object: OpenSSL's NID up to 170, the numbers
// above and the rows of the objects table, else 0.
int V3EXT_object_number(const ASN1_OBJECT* object);
// The ASN.1 item of an extension's value, or null when the system cannot
// decode the extension.
const ASN1_ITEM* V3EXT_item(int number);

// subjectDirectoryAttributes: SEQUENCE OF Attribute.
using SUBJECT_DIRECTORY_ATTRIBUTES = STACK_OF(X509_ATTRIBUTE);
const ASN1_ITEM* SUBJECT_DIRECTORY_ATTRIBUTES_item();
SUBJECT_DIRECTORY_ATTRIBUTES* d2i_SUBJECT_DIRECTORY_ATTRIBUTES(SUBJECT_DIRECTORY_ATTRIBUTES** out,
                                                               const unsigned char** in, long length);
int i2d_SUBJECT_DIRECTORY_ATTRIBUTES(const SUBJECT_DIRECTORY_ATTRIBUTES* value, unsigned char** out);
void SUBJECT_DIRECTORY_ATTRIBUTES_free(SUBJECT_DIRECTORY_ATTRIBUTES* value);

// One decoded extension: its number, critical flag and value (of the item
// V3EXT_item gives for the number). `reserved` is always 0.
struct V3EXT_DECODED {
  int object;
  int critical;
  void* value;
  int reserved;
};
void V3EXT_DECODED_free(V3EXT_DECODED* entry);

DEFINE_STACK_OF(V3EXT_DECODED)
using V3EXT_DECODED_LIST = STACK_OF(V3EXT_DECODED);
void V3EXT_DECODED_LIST_free(V3EXT_DECODED_LIST* list);

// Every extension the system can decode, in order. An extension it cannot
// decode is left out when it is not critical and fails the whole decoding
// when it is (a certificate must not be taken with a critical constraint
// nobody looked at). Null with an error of library 34 on failure, and null
// without an error when there is no extension stack (an empty stack gives an
// empty list).
V3EXT_DECODED_LIST* V3EXT_decode_extensions(const STACK_OF(X509_EXTENSION) * extensions);
V3EXT_DECODED_LIST* V3EXT_decode_cert(const X509* cert);
V3EXT_DECODED_LIST* V3EXT_decode_crl(const X509_CRL* crl);
V3EXT_DECODED_LIST* V3EXT_decode_revoked(const X509_REVOKED* revoked);
// The index of the first entry of the number, or -1; the entry or null.
int V3EXT_DECODED_find(const V3EXT_DECODED_LIST* list, int number);
V3EXT_DECODED* V3EXT_DECODED_get(const V3EXT_DECODED_LIST* list, int number);

// The name/value pair of one GeneralName added to `*list` (made when null).
// 1, or 0 when memory runs out.
int GENERAL_NAME_print_ext(const GENERAL_NAME* name, STACK_OF(CONF_VALUE) * *list);

// Prints the value of an extension the system prints itself (the numbers of
// V3extObject other than 215, and 88, 103, 140, 142) at `indent`. 1 when
// printed, 0 when the extension is not one of them or its value does not
// decode, -1 when the output fails.
int V3EXT_print(BIO* out, const X509_EXTENSION* extension, int indent);
// Whether V3EXT_print prints this number across several lines.
bool V3EXT_print_multiline(int number);

// Every extension of a stack as the certificate dump shows it: the name at
// `indent` with ": critical" when set, the value on the next lines at
// indent + 4 (ours first, else OpenSSL's printer, else the bytes in hex).
// 1 when all was written.
int V3EXT_print_all(BIO* out, const STACK_OF(X509_EXTENSION) * extensions, int indent);

// Reason names of distribution points: bit 0 "Unused" to 8 "AA Compromise".
const char* V3EXT_reason_name(int bit, bool long_name);

// Distribution points from a value list: each value a distribution point
// with a full name of one GeneralName. Null on failure.
CRL_DIST_POINTS* V2I_CRLD(X509V3_CTX* ctx, STACK_OF(CONF_VALUE) * values);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::V3EXT_DECODED_LIST, qcrypto::V3EXT_DECODED_LIST_free)
