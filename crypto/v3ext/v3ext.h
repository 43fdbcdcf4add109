// X.509v3 extensions of certificates, CRLs and revoked entries: decoding,
// the system's printed texts, and the split into the database's own records.
//
// OpenSSL 3 already carries the ASN.1 of nearly every extension here; its
// print methods cannot be replaced and print other texts, and registering
// our own methods globally would change every other printer in the process.
// So the extensions are decoded through our own table (object -> ASN.1
// item) and printed by our own functions; OpenSSL's extension table is left
// alone.
//
// Object numbers in the records are OpenSSL's run-time NIDs (0 for an object
// OpenSSL does not know); the attribute chains of directory attributes and
// names carry the system's numbers, as every attribute chain does.
#pragma once

#include <openssl/safestack.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>

#include "crypto/cadb/attribute.h"
#include "crypto/cadb/buffer.h"
#include "crypto/cadb/v3ext_hook.h"
#include "crypto/cclib/owner.h"

namespace qcrypto {

// ---------------------------------------------------------------------------
// Decoded extensions.

// One decoded extension: the value is the extension's ASN.1 structure as
// OpenSSL's type of that item (GENERAL_NAMES, CRL_DIST_POINTS, ...).
struct V3EXT_DECODED {
  int object;    // NID
  int critical;  // non-zero when critical
  void* value;   // owned; freed with the item of its object
  int reserved;  // always 0
};
V3EXT_DECODED* V3EXT_DECODED_new();
void V3EXT_DECODED_free(V3EXT_DECODED* entry);

}  // namespace qcrypto
QCRYPTO_DECLARE_OWNER(qcrypto::V3EXT_DECODED, qcrypto::V3EXT_DECODED_free)
namespace qcrypto {
DEFINE_STACK_OF(V3EXT_DECODED)

// The ASN.1 item that decodes an object's extension value, or null when this
// library has no decoder for it.
const ASN1_ITEM* V3EXT_item(int nid);

// Every extension of the stack, decoded, in order. An extension this library
// has no decoder for is left out when it is not critical and fails the whole
// decoding when it is (an unknown critical extension must never be taken as
// understood). A value that does not decode, or leaves bytes behind, fails it
// too. Failures raise library 34 (X.509v3) function 156, reason 12 for the
// extension, then reason 11, and give null. A null stack gives null without
// an error; an empty stack gives an empty list.
STACK_OF(V3EXT_DECODED) * V3EXT_decode_all(const STACK_OF(X509_EXTENSION) * extensions);
STACK_OF(V3EXT_DECODED) * X509_decode_extensions(const X509* cert);
STACK_OF(V3EXT_DECODED) * X509_CRL_decode_extensions(const X509_CRL* crl);
STACK_OF(V3EXT_DECODED) * X509_REVOKED_decode_extensions(const X509_REVOKED* revoked);
void V3EXT_DECODED_list_free(STACK_OF(V3EXT_DECODED) * list);
// The first entry of `nid`: its index or -1; the entry or null.
int V3EXT_DECODED_find(const STACK_OF(V3EXT_DECODED) * list, int nid);
V3EXT_DECODED* V3EXT_DECODED_get(const STACK_OF(V3EXT_DECODED) * list, int nid);

// ---------------------------------------------------------------------------
// Printing.

// The system's text of one extension's value at `indent`. Extensions this
// library decodes but does not print itself (key usage, alternative names,
// ...) are printed by OpenSSL's method; anything else as a hexadecimal dump.
// 1 on success, 0 when the value does not decode or the BIO fails.
int V3EXT_print(BIO* out, const X509_EXTENSION* extension, int indent);
// One entry of each extension of the stack, the way certificate dumps show
// them: "<indent><name>: [critical]\n", the value at indent + 4, "\n".
int V3EXT_print_all(BIO* out, const STACK_OF(X509_EXTENSION) * extensions, int indent);

// The (name, value) pair of one GeneralName, added to `list` (see the texts
// in v3ext_print.cpp). Null on failure; the list is created when null.
STACK_OF(CONF_VALUE) * GENERAL_NAME_print_ext(const GENERAL_NAME* name, STACK_OF(CONF_VALUE) * list);

// Distribution points from a value list: each value one point whose name is
// a full name of exactly that GeneralName (OpenSSL's value-to-name rule); no
// reasons and no CRL issuer. Null on failure ("memory alloc failure" of the
// X.509v3 library under function 125 when memory runs out).
CRL_DIST_POINTS* V2I_CRLD(X509V3_CTX* ctx, const STACK_OF(CONF_VALUE) * values);

// The ASN.1 of subjectDirectoryAttributes (SEQUENCE OF Attribute), which
// OpenSSL does not carry.
using SUBJECT_DIRECTORY_ATTRIBUTES = STACK_OF(X509_ATTRIBUTE);
DECLARE_ASN1_ITEM(SUBJECT_DIRECTORY_ATTRIBUTES)
SUBJECT_DIRECTORY_ATTRIBUTES* d2i_SUBJECT_DIRECTORY_ATTRIBUTES(SUBJECT_DIRECTORY_ATTRIBUTES** out,
                                                               const unsigned char** in, long length);
int i2d_SUBJECT_DIRECTORY_ATTRIBUTES(const SUBJECT_DIRECTORY_ATTRIBUTES* value, unsigned char** out);
void SUBJECT_DIRECTORY_ATTRIBUTES_free(SUBJECT_DIRECTORY_ATTRIBUTES* value);

// ---------------------------------------------------------------------------
// Records.

struct CADB_OID {
  int object;              // NID, 0 when OpenSSL does not know the object
  const char* long_name;   // the objects table's text; empty when object is 0
  const char* short_name;  // as long_name
  BUFFER* dotted;          // dotted numeric form, NUL-terminated
};

struct CADB_GENERAL_NAME {
  int type;  // 0x80 + the GeneralName choice
  // 0x81, 0x82, 0x86: ATTRIBUTE (text value); 0x84: ATTRIBUTE chain of the
  // name; 0x87: BUFFER with the IP text; 0x88: CADB_OID; otherwise null.
  void* value;
};

struct CADB_AUTHORITY_KEYID;
struct CADB_NOTICE_REF;
struct CADB_USER_NOTICE;
struct CADB_POLICY_QUALIFIER;
struct CADB_POLICY_INFO;
struct CADB_POLICY_MAPPING;
struct CADB_CRL_DIST_POINT;
struct CADB_ACCESS_DESCRIPTION;
struct CADB_GENERAL_SUBTREE;
struct CADB_V3EXT;

}  // namespace qcrypto

// Stacks of the records (their functions live in the namespace).
namespace qcrypto {
DEFINE_STACK_OF(CADB_OID)
DEFINE_STACK_OF(CADB_GENERAL_NAME)
DEFINE_STACK_OF(CADB_POLICY_QUALIFIER)
DEFINE_STACK_OF(CADB_POLICY_INFO)
DEFINE_STACK_OF(CADB_POLICY_MAPPING)
DEFINE_STACK_OF(CADB_CRL_DIST_POINT)
DEFINE_STACK_OF(CADB_ACCESS_DESCRIPTION)
DEFINE_STACK_OF(CADB_GENERAL_SUBTREE)
DEFINE_STACK_OF(CADB_V3EXT)
DEFINE_STACK_OF(ATTRIBUTE)

struct CADB_AUTHORITY_KEYID {
  BUFFER* keyid;
  STACK_OF(CADB_GENERAL_NAME) * issuer;
  BUFFER* serial;
};

struct CADB_NOTICE_REF {
  ATTRIBUTE* organization;
  BUFFER* numbers;  // "1,2,3", NUL-terminated
};

struct CADB_USER_NOTICE {
  CADB_NOTICE_REF* reference;
  ATTRIBUTE* explicit_text;
};

struct CADB_POLICY_QUALIFIER {
  CADB_OID* id;
  int object;   // NID of id
  void* value;  // NID_id_qt_cps: ATTRIBUTE; NID_id_qt_unotice: CADB_USER_NOTICE
};

struct CADB_POLICY_INFO {
  CADB_OID* policy;
  STACK_OF(CADB_POLICY_QUALIFIER) * qualifiers;
};

struct CADB_POLICY_MAPPING {
  CADB_OID* issuer_domain;
  CADB_OID* subject_domain;
};

struct CADB_BASIC_CONSTRAINTS {
  int ca;        // non-zero for a CA
  long pathlen;  // -1 when absent
};

struct CADB_PKEY_USAGE_PERIOD {
  struct tm* not_before;
  struct tm* not_after;
};

struct CADB_DIST_POINT_NAME {
  int kind;     // -1 none; 0 full name; 1 relative to the CRL issuer
  void* value;  // 0: STACK_OF(CADB_GENERAL_NAME); 1: ATTRIBUTE chain
};

struct CADB_CRL_DIST_POINT {
  CADB_DIST_POINT_NAME* name;
  unsigned long reasons;
  STACK_OF(CADB_GENERAL_NAME) * crl_issuer;
};

struct CADB_ISSUING_DIST_POINT {
  CADB_DIST_POINT_NAME* name;
  int only_user;
  int only_ca;
  unsigned long only_some_reasons;
  int indirect_crl;
  int only_attr;
};

struct CADB_ACCESS_DESCRIPTION {
  CADB_OID* method;
  CADB_GENERAL_NAME* location;
};

struct CADB_POLICY_CONSTRAINTS {
  long require_explicit_policy;  // -1 when absent
  long inhibit_policy_mapping;   // -1 when absent
};

struct CADB_GENERAL_SUBTREE {
  CADB_GENERAL_NAME* base;
  long minimum;  // 0 when absent
  long maximum;  // -1 when absent
};

struct CADB_NAME_CONSTRAINTS {
  STACK_OF(CADB_GENERAL_SUBTREE) * permitted;
  STACK_OF(CADB_GENERAL_SUBTREE) * excluded;
};

struct CADB_V3EXT {
  int critical;
  int parsed;       // 1 when the value was converted
  int unsupported;  // 1 when the object has no converter
  int object;       // NID
  // By object: a bit mask or number in `number`; otherwise the record, list,
  // chain, buffer or time in `value`.
  void* value;
  long number;
  X509_EXTENSION* extension;  // owned when set; the conversion leaves it null
};

// Constructors (zeroed records with the defaults above, or null with
// reason 33), conversions (null with an error on failure) and frees (null
// accepted).
CADB_OID* CADB_OID_new();
CADB_OID* CADB_OID_parse(const ASN1_OBJECT* object);
void CADB_OID_free(CADB_OID* record);

CADB_GENERAL_NAME* CADB_GENERAL_NAME_new();
CADB_GENERAL_NAME* CADB_GENERAL_NAME_parse(const GENERAL_NAME* name);
void CADB_GENERAL_NAME_free(CADB_GENERAL_NAME* record);

CADB_AUTHORITY_KEYID* CADB_AUTHORITY_KEYID_new();
CADB_AUTHORITY_KEYID* CADB_AUTHORITY_KEYID_parse(const AUTHORITY_KEYID* akid);
void CADB_AUTHORITY_KEYID_free(CADB_AUTHORITY_KEYID* record);

CADB_NOTICE_REF* CADB_NOTICE_REF_new();
CADB_NOTICE_REF* CADB_NOTICE_REF_parse(const NOTICEREF* ref);
void CADB_NOTICE_REF_free(CADB_NOTICE_REF* record);

CADB_USER_NOTICE* CADB_USER_NOTICE_new();
CADB_USER_NOTICE* CADB_USER_NOTICE_parse(const USERNOTICE* notice);
void CADB_USER_NOTICE_free(CADB_USER_NOTICE* record);

CADB_POLICY_QUALIFIER* CA_F_CADB_POLICY_QUALIFIER_new();
CADB_POLICY_QUALIFIER* CADB_POLICY_QUALIFIER_parse(const POLICYQUALINFO* qualifier);
void CADB_POLICY_QUALIFIER_free(CADB_POLICY_QUALIFIER* record);

CADB_POLICY_INFO* CADB_POLICY_INFO_new();
CADB_POLICY_INFO* CADB_POLICY_INFO_parse(const POLICYINFO* info);
void CADB_POLICY_INFO_free(CADB_POLICY_INFO* record);

CADB_POLICY_MAPPING* CADB_POLICY_MAPPING_new();
CADB_POLICY_MAPPING* CADB_POLICY_MAPPING_parse(const POLICY_MAPPING* mapping);
void CADB_POLICY_MAPPING_free(CADB_POLICY_MAPPING* record);

CADB_BASIC_CONSTRAINTS* CADB_BASIC_CONSTRAINTS_new();
CADB_BASIC_CONSTRAINTS* CADB_BASIC_CONSTRAINTS_parse(const BASIC_CONSTRAINTS* constraints);
void CADB_BASIC_CONSTRAINTS_free(CADB_BASIC_CONSTRAINTS* record);

CADB_PKEY_USAGE_PERIOD* CADB_PKEY_USAGE_PERIOD_new();
CADB_PKEY_USAGE_PERIOD* CADB_PKEY_USAGE_PERIOD_parse(const PKEY_USAGE_PERIOD* period);
void CADB_PKEY_USAGE_PERIOD_free(CADB_PKEY_USAGE_PERIOD* record);

CADB_DIST_POINT_NAME* CADB_DIST_POINT_NAME_new();
CADB_DIST_POINT_NAME* CADB_DIST_POINT_NAME_parse(const DIST_POINT_NAME* name);
void CADB_DIST_POINT_NAME_free(CADB_DIST_POINT_NAME* record);

CADB_CRL_DIST_POINT* CADB_CRL_DIST_POINT_new();
CADB_CRL_DIST_POINT* CADB_CRL_DIST_POINT_parse(const DIST_POINT* point);
void CADB_CRL_DIST_POINT_free(CADB_CRL_DIST_POINT* record);

CADB_ISSUING_DIST_POINT* CADB_ISSUING_DIST_POINT_new();
CADB_ISSUING_DIST_POINT* CADB_ISSUING_DIST_POINT_parse(const ISSUING_DIST_POINT* point);
void CADB_ISSUING_DIST_POINT_free(CADB_ISSUING_DIST_POINT* record);

CADB_ACCESS_DESCRIPTION* CADB_ACCESS_DESCRIPTION_new();
CADB_ACCESS_DESCRIPTION* CADB_ACCESS_DESCRIPTION_parse(const ACCESS_DESCRIPTION* description);
void CADB_ACCESS_DESCRIPTION_free(CADB_ACCESS_DESCRIPTION* record);

CADB_POLICY_CONSTRAINTS* CADB_POLICY_CONSTRAINTS_new();
CADB_POLICY_CONSTRAINTS* CADB_POLICY_CONSTRAINTS_parse(const POLICY_CONSTRAINTS* constraints);
void CADB_POLICY_CONSTRAINTS_free(CADB_POLICY_CONSTRAINTS* record);

CADB_GENERAL_SUBTREE* CADB_GENERAL_SUBTREE_new();
CADB_GENERAL_SUBTREE* CADB_GENERAL_SUBTREE_parse(const GENERAL_SUBTREE* subtree);
void CADB_GENERAL_SUBTREE_free(CADB_GENERAL_SUBTREE* record);

CADB_NAME_CONSTRAINTS* CADB_NAME_CONSTRAINTS_new();
CADB_NAME_CONSTRAINTS* CADB_NAME_CONSTRAINTS_parse(const NAME_CONSTRAINTS* constraints);
void CADB_NAME_CONSTRAINTS_free(CADB_NAME_CONSTRAINTS* record);

// A new nine-word time (OPENSSL_free), or null: no error for a time that is
// not acceptable, reason 33 under 298 when memory runs out.
struct tm* ASN1_TIME_parse(const ASN1_TIME* time);

// List conversions: an empty stack gives an empty list, a null one fails.
STACK_OF(CADB_GENERAL_NAME) * CADB_GENERAL_NAMES_parse(const GENERAL_NAMES* names);
STACK_OF(CADB_POLICY_INFO) * CADB_CERT_POLICIES_parse(const CERTIFICATEPOLICIES* policies);
STACK_OF(CADB_POLICY_QUALIFIER) * CADB_POLICY_QUALIFIERS_parse(const STACK_OF(POLICYQUALINFO) * qualifiers);
STACK_OF(CADB_POLICY_MAPPING) * CADB_POLICY_MAPPINGS_parse(const POLICY_MAPPINGS* mappings);
STACK_OF(CADB_CRL_DIST_POINT) * CADB_CRL_DIST_POINTS_parse(const CRL_DIST_POINTS* points);
STACK_OF(CADB_ACCESS_DESCRIPTION) * CADB_ACCESS_DESCRIPTIONS_parse(const AUTHORITY_INFO_ACCESS* access);
STACK_OF(CADB_GENERAL_SUBTREE) * CADB_GENERAL_SUBTREES_parse(const STACK_OF(GENERAL_SUBTREE) * subtrees);
STACK_OF(CADB_OID) * CADB_EXT_KEY_USAGE_parse(const EXTENDED_KEY_USAGE* usage);
// One attribute chain of one record per directory attribute.
STACK_OF(ATTRIBUTE) * CADB_ATTRIBUTES_parse(const SUBJECT_DIRECTORY_ATTRIBUTES* attributes);

// List frees (each record with its own free; null accepted).
void CADB_GENERAL_NAMES_free(STACK_OF(CADB_GENERAL_NAME) * list);

CADB_V3EXT* CADB_V3EXT_new();
CADB_V3EXT* CADB_V3EXT_parse(const V3EXT_DECODED* entry);
void CADB_V3EXT_free(CADB_V3EXT* record);
// One record per entry, in order; null for a null list or when any entry
// fails.
STACK_OF(CADB_V3EXT) * CADB_V3EXT_parse_extensions(const STACK_OF(V3EXT_DECODED) * list);
void CADB_V3EXT_list_free(STACK_OF(CADB_V3EXT) * list);
// The first record of `nid`, or null.
const CADB_V3EXT* CADB_V3EXT_find(const STACK_OF(CADB_V3EXT) * list, int nid);

// The split the certificate, CRL and revoked-entry records use: decode, then
// convert. 1 with the list in `*out` (null when there is no extension stack),
// or 0 with an error; the caller's split then fails.
int CADB_V3EXT_split(const STACK_OF(X509_EXTENSION) * extensions, STACK_OF(CADB_V3EXT) * *out);

}  // namespace qcrypto

// OpenSSL's distribution-point records, which no other part owns yet.
QCRYPTO_DECLARE_OWNER(DIST_POINT, DIST_POINT_free)
QCRYPTO_DECLARE_OWNER(CRL_DIST_POINTS, CRL_DIST_POINTS_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_OID, qcrypto::CADB_OID_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_GENERAL_NAME, qcrypto::CADB_GENERAL_NAME_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_AUTHORITY_KEYID, qcrypto::CADB_AUTHORITY_KEYID_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_NOTICE_REF, qcrypto::CADB_NOTICE_REF_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_USER_NOTICE, qcrypto::CADB_USER_NOTICE_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_POLICY_QUALIFIER, qcrypto::CADB_POLICY_QUALIFIER_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_POLICY_INFO, qcrypto::CADB_POLICY_INFO_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_POLICY_MAPPING, qcrypto::CADB_POLICY_MAPPING_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_BASIC_CONSTRAINTS, qcrypto::CADB_BASIC_CONSTRAINTS_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_PKEY_USAGE_PERIOD, qcrypto::CADB_PKEY_USAGE_PERIOD_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_DIST_POINT_NAME, qcrypto::CADB_DIST_POINT_NAME_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_CRL_DIST_POINT, qcrypto::CADB_CRL_DIST_POINT_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_ISSUING_DIST_POINT, qcrypto::CADB_ISSUING_DIST_POINT_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_ACCESS_DESCRIPTION, qcrypto::CADB_ACCESS_DESCRIPTION_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_POLICY_CONSTRAINTS, qcrypto::CADB_POLICY_CONSTRAINTS_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_GENERAL_SUBTREE, qcrypto::CADB_GENERAL_SUBTREE_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_NAME_CONSTRAINTS, qcrypto::CADB_NAME_CONSTRAINTS_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_V3EXT, qcrypto::CADB_V3EXT_free)
