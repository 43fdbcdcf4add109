// The certificate database's own records of X.509v3 extensions: chain
// building and the displays read key identifiers, names, constraints and
// policies from these without touching ASN.1.
//
// The conversion runs one way, from decoded extensions (v3ext.h) to records.
// Every record owns its members and every list its records; the names in
// CADB_OID belong to OpenSSL's objects table. Every failure raises an error
// of library 66 and gives null; what was built is freed.
#pragma once

#include <openssl/safestack.h>
#include <openssl/x509v3.h>

#include <ctime>

#include "crypto/cadb/attribute.h"
#include "crypto/cadb/buffer.h"
#include "crypto/cadb/v3ext_hook.h"
#include "crypto/cclib/owner.h"
#include "crypto/v3ext/v3ext.h"

namespace qcrypto {

struct CADB_OID {
  int object;             // the system's number; 0 when the objects table lacks it
  const char* long_name;  // the objects table's texts; null when object is 0
  const char* short_name;
  BUFFER* dotted;  // dotted numeric form, at most 255 characters
};

// `type` is OpenSSL's choice number plus 0x80 (0x80 otherName .. 0x88
// registeredID).
struct CADB_GENERAL_NAME {
  int type;
  union {
    ATTRIBUTE* text;  // 0x81 e-mail, 0x82 DNS name, 0x86 URI
    ATTRIBUTE* name;  // 0x84 directory name: its entries
    BUFFER* ip;       // 0x87 "a.b.c.d" or "a.b.c.d/m.m.m.m"; null for other lengths
    CADB_OID* oid;    // 0x88
  } value;            // all null for 0x80, 0x83, 0x85
};

DEFINE_STACK_OF(CADB_GENERAL_NAME)
DEFINE_STACK_OF(CADB_OID)
DEFINE_STACK_OF(ATTRIBUTE)

struct CADB_AUTHORITY_KEYID {
  BUFFER* key_id;
  STACK_OF(CADB_GENERAL_NAME) * issuer;
  BUFFER* serial;  // big-endian magnitude
};

struct CADB_NOTICE_REF {
  ATTRIBUTE* organization;
  BUFFER* numbers;  // "1,2,3"; empty text for an empty list
};

struct CADB_USER_NOTICE {
  CADB_NOTICE_REF* notice_ref;
  ATTRIBUTE* explicit_text;
};

struct CADB_POLICY_QUALIFIER {
  CADB_OID* id;
  int object;
  union {
    ATTRIBUTE* cps;                 // 164 id-qt-cps
    CADB_USER_NOTICE* user_notice;  // 165 id-qt-unotice
  } value;                          // null for any other qualifier
};
DEFINE_STACK_OF(CADB_POLICY_QUALIFIER)

struct CADB_POLICY_INFO {
  CADB_OID* policy;
  STACK_OF(CADB_POLICY_QUALIFIER) * qualifiers;
};
DEFINE_STACK_OF(CADB_POLICY_INFO)

struct CADB_POLICY_MAPPING {
  CADB_OID* issuer_domain_policy;
  CADB_OID* subject_domain_policy;
};
DEFINE_STACK_OF(CADB_POLICY_MAPPING)

struct CADB_BASIC_CONSTRAINTS {
  long ca;           // the BOOLEAN as decoded; 0 when absent
  long path_length;  // -1 when absent
};

struct CADB_PKEY_USAGE_PERIOD {
  struct tm* start;  // null when absent
  struct tm* end;
};

struct CADB_DIST_POINT_NAME {
  int kind;  // -1 unset, 0 full name, 1 name relative to the CRL issuer
  union {
    STACK_OF(CADB_GENERAL_NAME) * full_name;
    ATTRIBUTE* relative_name;
  } value;
};

struct CADB_CRL_DIST_POINT {
  CADB_DIST_POINT_NAME* name;
  unsigned long reasons;  // bit n: reason n (0 unused .. 8 aACompromise)
  STACK_OF(CADB_GENERAL_NAME) * crl_issuer;
};
DEFINE_STACK_OF(CADB_CRL_DIST_POINT)

struct CADB_ISSUING_DIST_POINT {
  CADB_DIST_POINT_NAME* name;
  int only_contains_user_certs;
  int only_contains_ca_certs;
  unsigned long only_some_reasons;
  int indirect_crl;
  int only_contains_attribute_certs;
};

struct CADB_ACCESS_DESCRIPTION {
  CADB_OID* method;
  CADB_GENERAL_NAME* location;
};
DEFINE_STACK_OF(CADB_ACCESS_DESCRIPTION)

struct CADB_POLICY_CONSTRAINTS {
  long require_explicit_policy;  // -1 when absent
  long inhibit_policy_mapping;   // -1 when absent
};

struct CADB_GENERAL_SUBTREE {
  CADB_GENERAL_NAME* base;
  long minimum;  // 0 when absent
  long maximum;  // -1 when absent
};
DEFINE_STACK_OF(CADB_GENERAL_SUBTREE)

struct CADB_NAME_CONSTRAINTS {
  STACK_OF(CADB_GENERAL_SUBTREE) * permitted;  // null when absent
  STACK_OF(CADB_GENERAL_SUBTREE) * excluded;
};

// One converted extension. `value` by object number:
//   71, 83 mask; 72-78 text; 82, 88, 140 bytes; 84 period; 85, 86, 215
//   names; 87 basic_constraints; 89 policies; 90, 304, 306 key_id; 103, 201
//   dist_points; 126 oids; 141, 200 number; 142 time; 202 mappings; 203
//   policy_constraints; 204 name_constraints; 206, 207 access; 213
//   issuing_dist_point; 214 oid; 220 attributes (one chain per attribute).
struct CADB_V3EXT {
  int critical;
  int parsed;       // 1 when the value was converted
  int unsupported;  // 1 when the system keeps no record of this extension
  int object;
  union {
    long number;
    unsigned long mask;
    BUFFER* bytes;
    ATTRIBUTE* text;
    struct tm* time;
    CADB_PKEY_USAGE_PERIOD* period;
    STACK_OF(CADB_GENERAL_NAME) * names;
    CADB_BASIC_CONSTRAINTS* basic_constraints;
    STACK_OF(CADB_POLICY_INFO) * policies;
    CADB_AUTHORITY_KEYID* key_id;
    STACK_OF(CADB_CRL_DIST_POINT) * dist_points;
    STACK_OF(CADB_OID) * oids;
    STACK_OF(CADB_POLICY_MAPPING) * mappings;
    CADB_POLICY_CONSTRAINTS* policy_constraints;
    CADB_NAME_CONSTRAINTS* name_constraints;
    STACK_OF(CADB_ACCESS_DESCRIPTION) * access;
    CADB_ISSUING_DIST_POINT* issuing_dist_point;
    CADB_OID* oid;
    STACK_OF(ATTRIBUTE) * attributes;
  } value;
  X509_EXTENSION* extension;  // owned when set; the conversion leaves it null
};
DEFINE_STACK_OF(CADB_V3EXT)

// Constructors: zeroed records with the defaults above, or null with reason
// 33 under their own code.
CADB_V3EXT* CADB_V3EXT_new();
CADB_OID* CADB_OID_new();
CADB_GENERAL_NAME* CADB_GENERAL_NAME_new();
CADB_AUTHORITY_KEYID* CADB_AUTHORITY_KEYID_new();
CADB_NOTICE_REF* CADB_NOTICE_REF_new();
CADB_USER_NOTICE* CADB_USER_NOTICE_new();
CADB_POLICY_QUALIFIER* CA_F_CADB_POLICY_QUALIFIER_new();
CADB_POLICY_INFO* CADB_POLICY_INFO_new();
CADB_POLICY_MAPPING* CADB_POLICY_MAPPING_new();
CADB_BASIC_CONSTRAINTS* CADB_BASIC_CONSTRAINTS_new();
CADB_PKEY_USAGE_PERIOD* CADB_PKEY_USAGE_PERIOD_new();
CADB_DIST_POINT_NAME* CADB_DIST_POINT_NAME_new();
CADB_CRL_DIST_POINT* CADB_CRL_DIST_POINT_new();
CADB_ISSUING_DIST_POINT* CADB_ISSUING_DIST_POINT_new();
CADB_ACCESS_DESCRIPTION* CADB_ACCESS_DESCRIPTION_new();
CADB_POLICY_CONSTRAINTS* CADB_POLICY_CONSTRAINTS_new();
CADB_GENERAL_SUBTREE* CADB_GENERAL_SUBTREE_new();
CADB_NAME_CONSTRAINTS* CADB_NAME_CONSTRAINTS_new();

// Frees; every one accepts null.
void CADB_V3EXT_free(CADB_V3EXT* record);
void CADB_OID_free(CADB_OID* record);
void CADB_GENERAL_NAME_free(CADB_GENERAL_NAME* record);
void CADB_AUTHORITY_KEYID_free(CADB_AUTHORITY_KEYID* record);
void CADB_NOTICE_REF_free(CADB_NOTICE_REF* record);
void CADB_USER_NOTICE_free(CADB_USER_NOTICE* record);
void CADB_POLICY_QUALIFIER_free(CADB_POLICY_QUALIFIER* record);
void CADB_POLICY_INFO_free(CADB_POLICY_INFO* record);
void CADB_POLICY_MAPPING_free(CADB_POLICY_MAPPING* record);
void CADB_BASIC_CONSTRAINTS_free(CADB_BASIC_CONSTRAINTS* record);
void CADB_PKEY_USAGE_PERIOD_free(CADB_PKEY_USAGE_PERIOD* record);
void CADB_DIST_POINT_NAME_free(CADB_DIST_POINT_NAME* record);
void CADB_CRL_DIST_POINT_free(CADB_CRL_DIST_POINT* record);
void CADB_ISSUING_DIST_POINT_free(CADB_ISSUING_DIST_POINT* record);
void CADB_ACCESS_DESCRIPTION_free(CADB_ACCESS_DESCRIPTION* record);
void CADB_POLICY_CONSTRAINTS_free(CADB_POLICY_CONSTRAINTS* record);
void CADB_GENERAL_SUBTREE_free(CADB_GENERAL_SUBTREE* record);
void CADB_NAME_CONSTRAINTS_free(CADB_NAME_CONSTRAINTS* record);
void CADB_V3EXT_LIST_free(STACK_OF(CADB_V3EXT) * list);

// Conversions of one decoded structure; null with an error on failure.
CADB_OID* CADB_OID_parse(const ASN1_OBJECT* object);
CADB_GENERAL_NAME* CADB_GENERAL_NAME_parse(const GENERAL_NAME* name);
CADB_AUTHORITY_KEYID* CADB_AUTHORITY_KEYID_parse(const AUTHORITY_KEYID* keyid);
CADB_NOTICE_REF* CADB_NOTICE_REF_parse(const NOTICEREF* ref);
CADB_USER_NOTICE* CADB_USER_NOTICE_parse(const USERNOTICE* notice);
CADB_POLICY_QUALIFIER* CADB_POLICY_QUALIFIER_parse(const POLICYQUALINFO* qualifier);
CADB_POLICY_INFO* CADB_POLICY_INFO_parse(const POLICYINFO* info);
CADB_POLICY_MAPPING* CADB_POLICY_MAPPING_parse(const POLICY_MAPPING* mapping);
CADB_BASIC_CONSTRAINTS* CADB_BASIC_CONSTRAINTS_parse(const BASIC_CONSTRAINTS* bc);
CADB_PKEY_USAGE_PERIOD* CADB_PKEY_USAGE_PERIOD_parse(const PKEY_USAGE_PERIOD* period);
CADB_DIST_POINT_NAME* CADB_DIST_POINT_NAME_parse(const DIST_POINT_NAME* name);
CADB_CRL_DIST_POINT* CADB_CRL_DIST_POINT_parse(const DIST_POINT* point);
CADB_ISSUING_DIST_POINT* CADB_ISSUING_DIST_POINT_parse(const ISSUING_DIST_POINT* idp);
CADB_ACCESS_DESCRIPTION* CADB_ACCESS_DESCRIPTION_parse(const ACCESS_DESCRIPTION* ad);
CADB_POLICY_CONSTRAINTS* CADB_POLICY_CONSTRAINTS_parse(const POLICY_CONSTRAINTS* pc);
CADB_GENERAL_SUBTREE* CADB_GENERAL_SUBTREE_parse(const GENERAL_SUBTREE* subtree);
CADB_NAME_CONSTRAINTS* CADB_NAME_CONSTRAINTS_parse(const NAME_CONSTRAINTS* nc);
// An allocated broken-down UTC time (OPENSSL_free), or null: reason 33 when
// memory runs out, no error when the time is not acceptable.
struct tm* ASN1_TIME_parse(const ASN1_TIME* time);

// List conversions: an empty stack gives an empty list, a null one fails.
STACK_OF(CADB_GENERAL_NAME) * CADB_GENERAL_NAMES_parse(const GENERAL_NAMES* names);
STACK_OF(CADB_POLICY_INFO) * CADB_CERT_POLICIES_parse(const CERTIFICATEPOLICIES* policies);
STACK_OF(CADB_POLICY_QUALIFIER) * CADB_POLICY_QUALIFIERS_parse(const STACK_OF(POLICYQUALINFO) * qualifiers);
STACK_OF(CADB_POLICY_MAPPING) * CADB_POLICY_MAPPINGS_parse(const POLICY_MAPPINGS* mappings);
STACK_OF(CADB_CRL_DIST_POINT) * CADB_CRL_DIST_POINTS_parse(const CRL_DIST_POINTS* points);
STACK_OF(CADB_ACCESS_DESCRIPTION) * CADB_ACCESS_DESCRIPTIONS_parse(const AUTHORITY_INFO_ACCESS* aia);
STACK_OF(CADB_GENERAL_SUBTREE) * CADB_GENERAL_SUBTREES_parse(const STACK_OF(GENERAL_SUBTREE) * subtrees);
STACK_OF(CADB_OID) * CADB_EXT_KEY_USAGE_parse(const EXTENDED_KEY_USAGE* usage);
// One chain of one record per attribute; only single-valued text
// attributes (UTF8, Printable, T61, IA5, Visible, BMP) can be converted.
STACK_OF(ATTRIBUTE) * CADB_ATTRIBUTES_parse(const SUBJECT_DIRECTORY_ATTRIBUTES* attributes);

// One decoded extension to its record (unsupported numbers: a record with
// the unsupported flag and no value).
CADB_V3EXT* CADB_V3EXT_parse(const V3EXT_DECODED* entry);
// One record per entry, in order; null for a null list; any entry that
// cannot be converted fails the whole list.
STACK_OF(CADB_V3EXT) * CADB_V3EXT_parse_extensions(const V3EXT_DECODED_LIST* list);

// The split the certificate, CRL and revoked-entry records use: decode, then
// convert. Null with an error when the extensions cannot be taken (a
// critical extension the system cannot read among them); an absent stack
// gives null without an error.
STACK_OF(CADB_V3EXT) * CADB_V3EXT_split(const STACK_OF(X509_EXTENSION) * extensions);
STACK_OF(CADB_V3EXT) * CADB_V3EXT_split_cert(const X509* cert);
STACK_OF(CADB_V3EXT) * CADB_V3EXT_split_crl(const X509_CRL* crl);
STACK_OF(CADB_V3EXT) * CADB_V3EXT_split_revoked(const X509_REVOKED* revoked);

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::CADB_V3EXT, qcrypto::CADB_V3EXT_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_V3EXT_LIST, qcrypto::CADB_V3EXT_LIST_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_GENERAL_NAME, qcrypto::CADB_GENERAL_NAME_free)
QCRYPTO_DECLARE_OWNER(qcrypto::CADB_OID, qcrypto::CADB_OID_free)
