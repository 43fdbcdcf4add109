#include <openssl/objects.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

#include "crypto/cadb/tm_utils.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/evp/objects.h"
#include "crypto/v3ext/v3ext.h"
#include "crypto/v3ext/v3ext_internal.h"
#include "crypto/x509/name_print.h"
#include "crypto/x509/x509_owners.h"

namespace qcrypto {
namespace {

constexpr int kReasonInternal = ERR_R_INTERNAL;
constexpr int kReasonMemory = ERR_R_MEMORY_ALLOC;
constexpr int kReasonCalled = 66;

enum Func : int {
  F_V3EXT_NEW = 273,
  F_BASIC_CONSTRAINTS_NEW = 274,
  F_BASIC_CONSTRAINTS_PARSE = 275,
  F_V3EXT_PARSE = 276,
  F_V3EXT_PARSE_EXTENSIONS = 277,
  F_AUTHORITY_KEYID_NEW = 278,
  F_AUTHORITY_KEYID_PARSE = 279,
  F_GENERAL_NAME_NEW = 279,
  F_GENERAL_NAME_PARSE = 280,
  F_PKEY_USAGE_PERIOD_NEW = 281,
  F_PKEY_USAGE_PERIOD_PARSE = 282,
  F_POLICY_QUALIFIER_NEW = 283,
  F_POLICY_QUALIFIER_PARSE = 284,
  F_POLICY_INFO_NEW = 285,
  F_POLICY_INFO_PARSE = 286,
  F_LIST = 287,
  F_NOTICE_REF_NEW = 288,
  F_NOTICE_REF_PARSE = 289,
  F_USER_NOTICE_NEW = 290,
  F_USER_NOTICE_PARSE = 291,
  F_POLICY_MAPPING_NEW = 292,
  F_POLICY_MAPPING_PARSE = 293,
  F_ATTRIBUTES_PARSE = 294,
  F_EXT_KEY_USAGE_PARSE = 295,
  F_CRL_DIST_POINT_NEW = 296,
  F_CRL_DIST_POINT_PARSE = 297,
  F_ASN1_TIME_PARSE = 298,
  F_ACCESS_DESCRIPTION_NEW = 299,
  F_ACCESS_DESCRIPTION_PARSE = 300,
  F_POLICY_CONSTRAINTS_NEW = 301,
  F_POLICY_CONSTRAINTS_PARSE = 302,
  F_GENERAL_SUBTREE_NEW = 303,
  F_GENERAL_SUBTREE_PARSE = 304,
  F_NAME_CONSTRAINTS_NEW = 305,
  F_NAME_CONSTRAINTS_PARSE = 306,
  F_DIST_POINT_NAME_NEW = 307,
  F_DIST_POINT_NAME_PARSE = 308,
  F_ISSUING_DIST_POINT_NEW = 309,
  F_ISSUING_DIST_POINT_PARSE = 310,
  F_OID_NEW = 311,
};

void raise(int func, int reason) { QERR(ERRLIB_CADB, func, reason); }

template <class T>
T* zalloc(int func) {
  auto* p = static_cast<T*>(OPENSSL_zalloc(sizeof(T)));
  if (p == nullptr) raise(func, kReasonMemory);
  return p;
}

// The constructor of a record inside a conversion: its failure is reported
// under the conversion's code as well.
template <class T>
UniquePtr<T> make_for(T* (*ctor)(), int parse_func) {
  UniquePtr<T> p(ctor());
  if (p == nullptr) raise(parse_func, kReasonCalled);
  return p;
}

BUFFER* buffer_of(const void* bytes, int length) {
  UniquePtr<BUFFER> b(BUFFER_new());
  if (b == nullptr || BUFFER_fill(b.get(), bytes, length) <= 0) return nullptr;
  return b.release();
}

BUFFER* buffer_of_text(const std::string& text) {
  // Kept with its terminating zero, so the buffer reads as a C text.
  return buffer_of(text.c_str(), static_cast<int>(text.size() + 1));
}

// Bytes of an ASN.1 string or INTEGER as OpenSSL stores them.
BUFFER* bytes_of(const ASN1_STRING* s) {
  const int n = ASN1_STRING_length(s);
  // An empty string still gives a buffer: its absence would read as failure.
  if (n <= 0) return buffer_of("", 0);
  return buffer_of(ASN1_STRING_get0_data(s), n);
}

}  // namespace

unsigned long v3ext_bit_mask(const ASN1_BIT_STRING* bits) {
  if (bits == nullptr) return 0;
  const int bytes = ASN1_STRING_length(bits) < 4 ? ASN1_STRING_length(bits) : 4;
  unsigned long mask = 0;
  for (int n = 0; n < 8 * bytes; ++n) {
    if (ASN1_BIT_STRING_get_bit(bits, n)) mask |= 1UL << n;
  }
  return mask;
}

bool v3ext_is_text_type(int type) {
  switch (type) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_T61STRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_BMPSTRING:
      return true;
    default:
      return false;
  }
}

std::string v3ext_text_of(const ASN1_STRING* s) {
  if (v3ext_is_text_type(ASN1_STRING_type(s))) {
    // A zero byte inside would cut the C text short; the name printers
    // write it as an escape, so every text here reads the same way.
    std::string out;
    for (const char c : X509_NAME_value_in_mode(s)) {
      if (c == '\0') {
        out += "\\x00";
      } else {
        out += c;
      }
    }
    return out;
  }
  std::string out;
  const unsigned char* data = ASN1_STRING_get0_data(s);
  char hex[4];
  for (int i = 0; i < ASN1_STRING_length(s); ++i) {
    std::snprintf(hex, sizeof hex, "%02X ", data[i]);
    out += hex;
  }
  return out;
}

// A text value: one attribute record, object 0, with the value's text.
ATTRIBUTE* v3ext_text_value(const ASN1_STRING* s, int object) {
  if (s == nullptr) return nullptr;
  const std::string text = v3ext_text_of(s);
  return ATTRIBUTE_add(nullptr, object, text.data(), static_cast<int>(text.size()), ASN1_STRING_type(s));
}

namespace {

ATTRIBUTE* text_value(const ASN1_STRING* s) { return v3ext_text_value(s, 0); }

BUFFER* ip_text(const ASN1_OCTET_STRING* ip) {
  const unsigned char* b = ASN1_STRING_get0_data(ip);
  char text[40];
  switch (ASN1_STRING_length(ip)) {
    case 4:
      std::snprintf(text, sizeof text, "%i.%i.%i.%i", b[0], b[1], b[2], b[3]);
      break;
    case 8:
      std::snprintf(text, sizeof text, "%i.%i.%i.%i/%i.%i.%i.%i", b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
      break;
    default:
      return nullptr;
  }
  return buffer_of_text(text);
}

long number_of(const ASN1_INTEGER* n) { return ASN1_INTEGER_get(n); }

// A list conversion: the list, each element converted and appended; any
// element that fails fails the list. OpenSSL's typed stack functions are
// macros, so the untyped stack is used underneath.
template <class Out, class In>
OPENSSL_STACK* convert_list_untyped(const OPENSSL_STACK* in, int list_func, int element_func, int second_func,
                                    Out* (*convert)(const In*), void (*free_fn)(Out*)) {
  if (in == nullptr) {
    raise(second_func, kReasonCalled);
    return nullptr;
  }
  OPENSSL_STACK* list = OPENSSL_sk_new_null();
  if (list == nullptr) {
    raise(list_func, kReasonMemory);
    raise(second_func, kReasonCalled);
    return nullptr;
  }
  const int count = OPENSSL_sk_num(in);
  for (int i = 0; i < count; ++i) {
    Out* element = convert(static_cast<const In*>(OPENSSL_sk_value(in, i)));
    if (element == nullptr || OPENSSL_sk_push(list, element) <= 0) {
      free_fn(element);
      raise(element_func, kReasonMemory);
      raise(second_func, kReasonCalled);
      for (int j = 0; j < OPENSSL_sk_num(list); ++j) free_fn(static_cast<Out*>(OPENSSL_sk_value(list, j)));
      OPENSSL_sk_free(list);
      return nullptr;
    }
  }
  return list;
}

template <class OutStack, class Out, class In, class InStack>
OutStack* convert_list(const InStack* in, int list_func, int element_func, int second_func, Out* (*convert)(const In*),
                       void (*free_fn)(Out*)) {
  return reinterpret_cast<OutStack*>(convert_list_untyped<Out, In>(
      reinterpret_cast<const OPENSSL_STACK*>(in), list_func, element_func, second_func, convert, free_fn));
}

}  // namespace

// ----- objects

CADB_OID* CADB_OID_new() { return zalloc<CADB_OID>(F_OID_NEW); }

void CADB_OID_free(CADB_OID* record) {
  if (record == nullptr) return;
  BUFFER_free(record->dotted);
  OPENSSL_free(record);
}

CADB_OID* CADB_OID_parse(const ASN1_OBJECT* object) {
  if (object == nullptr) return nullptr;
  UniquePtr<CADB_OID> record(CADB_OID_new());
  if (record == nullptr) return nullptr;
  char dotted[256];
  const int n = OBJ_obj2txt(dotted, sizeof dotted, object, 1);
  if (n <= 0 || n >= static_cast<int>(sizeof dotted)) return nullptr;
  record->dotted = buffer_of_text(dotted);
  if (record->dotted == nullptr) return nullptr;
  record->object = OBJ_obj2nid(object);
  if (record->object != NID_undef) {
    record->long_name = OBJ_nid2ln(record->object);
    record->short_name = OBJ_nid2sn(record->object);
  }
  if (record->long_name == nullptr) record->long_name = "";
  if (record->short_name == nullptr) record->short_name = "";
  return record.release();
}

// ----- general names

CADB_GENERAL_NAME* CADB_GENERAL_NAME_new() { return zalloc<CADB_GENERAL_NAME>(F_GENERAL_NAME_NEW); }

void CADB_GENERAL_NAME_free(CADB_GENERAL_NAME* record) {
  if (record == nullptr) return;
  switch (record->type) {
    case 0x80 | GEN_EMAIL:
    case 0x80 | GEN_DNS:
    case 0x80 | GEN_URI:
    case 0x80 | GEN_DIRNAME:
      ATTRIBUTE_free(static_cast<ATTRIBUTE*>(record->value));
      break;
    case 0x80 | GEN_IPADD:
      BUFFER_free(static_cast<BUFFER*>(record->value));
      break;
    case 0x80 | GEN_RID:
      CADB_OID_free(static_cast<CADB_OID*>(record->value));
      break;
    default:
      break;
  }
  OPENSSL_free(record);
}

CADB_GENERAL_NAME* CADB_GENERAL_NAME_parse(const GENERAL_NAME* name) {
  if (name == nullptr) {
    raise(F_GENERAL_NAME_PARSE, kReasonCalled);
    return nullptr;
  }
  auto record = make_for(CADB_GENERAL_NAME_new, F_GENERAL_NAME_PARSE);
  if (record == nullptr) return nullptr;
  record->type = 0x80 | name->type;
  // A value that cannot be made leaves the record without one: the name's
  // kind alone still tells chain building what it is.
  switch (name->type) {
    case GEN_EMAIL:
    case GEN_DNS:
    case GEN_URI:
      record->value = text_value(name->d.ia5);
      break;
    case GEN_DIRNAME: {
      ATTRIBUTE* chain = nullptr;
      if (X509_NAME_split_into(name->d.directoryName, &chain)) record->value = chain;
      break;
    }
    case GEN_IPADD:
      record->value = ip_text(name->d.iPAddress);
      break;
    case GEN_RID:
      record->value = CADB_OID_parse(name->d.registeredID);
      break;
    default:
      break;
  }
  return record.release();
}

void CADB_GENERAL_NAMES_free(STACK_OF(CADB_GENERAL_NAME) * list) {
  sk_CADB_GENERAL_NAME_pop_free(list, CADB_GENERAL_NAME_free);
}

STACK_OF(CADB_GENERAL_NAME) * CADB_GENERAL_NAMES_parse(const GENERAL_NAMES* names) {
  return convert_list<STACK_OF(CADB_GENERAL_NAME), CADB_GENERAL_NAME, GENERAL_NAME>(
      names, F_GENERAL_NAME_PARSE, F_GENERAL_NAME_PARSE, F_GENERAL_NAME_PARSE, CADB_GENERAL_NAME_parse,
      CADB_GENERAL_NAME_free);
}

// ----- authority key identifier

CADB_AUTHORITY_KEYID* CADB_AUTHORITY_KEYID_new() { return zalloc<CADB_AUTHORITY_KEYID>(F_AUTHORITY_KEYID_NEW); }

void CADB_AUTHORITY_KEYID_free(CADB_AUTHORITY_KEYID* record) {
  if (record == nullptr) return;
  BUFFER_free(record->keyid);
  CADB_GENERAL_NAMES_free(record->issuer);
  BUFFER_free(record->serial);
  OPENSSL_free(record);
}

CADB_AUTHORITY_KEYID* CADB_AUTHORITY_KEYID_parse(const AUTHORITY_KEYID* akid) {
  if (akid == nullptr) {
    raise(F_AUTHORITY_KEYID_PARSE, kReasonCalled);
    return nullptr;
  }
  auto record = make_for(CADB_AUTHORITY_KEYID_new, F_AUTHORITY_KEYID_PARSE);
  if (record == nullptr) return nullptr;
  bool ok = true;
  if (akid->keyid != nullptr) ok = (record->keyid = bytes_of(akid->keyid)) != nullptr;
  if (ok && akid->issuer != nullptr) ok = (record->issuer = CADB_GENERAL_NAMES_parse(akid->issuer)) != nullptr;
  if (ok && akid->serial != nullptr) ok = (record->serial = bytes_of(akid->serial)) != nullptr;
  if (!ok) {
    raise(F_AUTHORITY_KEYID_PARSE, kReasonCalled);
    return nullptr;
  }
  return record.release();
}

// ----- policies

CADB_NOTICE_REF* CADB_NOTICE_REF_new() { return zalloc<CADB_NOTICE_REF>(F_NOTICE_REF_NEW); }

void CADB_NOTICE_REF_free(CADB_NOTICE_REF* record) {
  if (record == nullptr) return;
  ATTRIBUTE_free(record->organization);
  BUFFER_free(record->numbers);
  OPENSSL_free(record);
}

CADB_NOTICE_REF* CADB_NOTICE_REF_parse(const NOTICEREF* ref) {
  if (ref == nullptr) {
    raise(F_NOTICE_REF_PARSE, kReasonCalled);
    return nullptr;
  }
  auto record = make_for(CADB_NOTICE_REF_new, F_NOTICE_REF_PARSE);
  if (record == nullptr) return nullptr;
  bool ok = true;
  if (ref->organization != nullptr) ok = (record->organization = text_value(ref->organization)) != nullptr;
  std::string numbers;
  const int count = sk_ASN1_INTEGER_num(ref->noticenos);
  for (int i = 0; i < count; ++i) {
    char n[24];
    std::snprintf(n, sizeof n, "%lu", static_cast<unsigned long>(number_of(sk_ASN1_INTEGER_value(ref->noticenos, i))));
    if (i > 0) numbers += ",";
    numbers += n;
  }
  if (ok) ok = (record->numbers = buffer_of_text(numbers)) != nullptr;
  if (!ok) {
    raise(F_NOTICE_REF_PARSE, kReasonCalled);
    return nullptr;
  }
  return record.release();
}

CADB_USER_NOTICE* CADB_USER_NOTICE_new() { return zalloc<CADB_USER_NOTICE>(F_USER_NOTICE_NEW); }

void CADB_USER_NOTICE_free(CADB_USER_NOTICE* record) {
  if (record == nullptr) return;
  CADB_NOTICE_REF_free(record->reference);
  ATTRIBUTE_free(record->explicit_text);
  OPENSSL_free(record);
}

CADB_USER_NOTICE* CADB_USER_NOTICE_parse(const USERNOTICE* notice) {
  if (notice == nullptr) {
    raise(F_USER_NOTICE_PARSE, kReasonCalled);
    return nullptr;
  }
  auto record = make_for(CADB_USER_NOTICE_new, F_USER_NOTICE_PARSE);
  if (record == nullptr) return nullptr;
  bool ok = true;
  if (notice->noticeref != nullptr) ok = (record->reference = CADB_NOTICE_REF_parse(notice->noticeref)) != nullptr;
  if (ok && notice->exptext != nullptr) ok = (record->explicit_text = text_value(notice->exptext)) != nullptr;
  if (!ok) {
    raise(F_USER_NOTICE_PARSE, kReasonCalled);
    return nullptr;
  }
  return record.release();
}

CADB_POLICY_QUALIFIER* CA_F_CADB_POLICY_QUALIFIER_new() {
  return zalloc<CADB_POLICY_QUALIFIER>(F_POLICY_QUALIFIER_NEW);
}

void CADB_POLICY_QUALIFIER_free(CADB_POLICY_QUALIFIER* record) {
  if (record == nullptr) return;
  if (record->object == NID_id_qt_cps) ATTRIBUTE_free(static_cast<ATTRIBUTE*>(record->value));
  if (record->object == NID_id_qt_unotice) CADB_USER_NOTICE_free(static_cast<CADB_USER_NOTICE*>(record->value));
  CADB_OID_free(record->id);
  OPENSSL_free(record);
}

CADB_POLICY_QUALIFIER* CADB_POLICY_QUALIFIER_parse(const POLICYQUALINFO* qualifier) {
  if (qualifier == nullptr) {
    raise(F_POLICY_QUALIFIER_PARSE, kReasonCalled);
    return nullptr;
  }
  auto record = make_for(CA_F_CADB_POLICY_QUALIFIER_new, F_POLICY_QUALIFIER_PARSE);
  if (record == nullptr) return nullptr;
  record->id = CADB_OID_parse(qualifier->pqualid);
  bool ok = record->id != nullptr;
  if (ok) {
    record->object = record->id->object;
    if (record->object == NID_id_qt_cps) {
      ok = (record->value = text_value(qualifier->d.cpsuri)) != nullptr;
    } else if (record->object == NID_id_qt_unotice) {
      ok = (record->value = CADB_USER_NOTICE_parse(qualifier->d.usernotice)) != nullptr;
    }
  }
  if (!ok) {
    raise(F_POLICY_QUALIFIER_PARSE, kReasonCalled);
    return nullptr;
  }
  return record.release();
}

STACK_OF(CADB_POLICY_QUALIFIER) * CADB_POLICY_QUALIFIERS_parse(const STACK_OF(POLICYQUALINFO) * qualifiers) {
  return convert_list<STACK_OF(CADB_POLICY_QUALIFIER), CADB_POLICY_QUALIFIER, POLICYQUALINFO>(
      qualifiers, F_LIST, F_LIST, F_POLICY_QUALIFIER_PARSE, CADB_POLICY_QUALIFIER_parse, CADB_POLICY_QUALIFIER_free);
}

CADB_POLICY_INFO* CADB_POLICY_INFO_new() { return zalloc<CADB_POLICY_INFO>(F_POLICY_INFO_NEW); }

void CADB_POLICY_INFO_free(CADB_POLICY_INFO* record) {
  if (record == nullptr) return;
  CADB_OID_free(record->policy);
  sk_CADB_POLICY_QUALIFIER_pop_free(record->qualifiers, CADB_POLICY_QUALIFIER_free);
  OPENSSL_free(record);
}

CADB_POLICY_INFO* CADB_POLICY_INFO_parse(const POLICYINFO* info) {
  if (info == nullptr) {
    raise(F_POLICY_INFO_PARSE, kReasonCalled);
    return nullptr;
  }
  auto record = make_for(CADB_POLICY_INFO_new, F_POLICY_INFO_PARSE);
  if (record == nullptr) return nullptr;
  record->policy = CADB_OID_parse(info->policyid);
  bool ok = record->policy != nullptr;
  if (ok && info->qualifiers != nullptr) {
    ok = (record->qualifiers = CADB_POLICY_QUALIFIERS_parse(info->qualifiers)) != nullptr;
  }
  if (!ok) {
    raise(F_POLICY_INFO_PARSE, kReasonCalled);
    return nullptr;
  }
  return record.release();
}

STACK_OF(CADB_POLICY_INFO) * CADB_CERT_POLICIES_parse(const CERTIFICATEPOLICIES* policies) {
  return convert_list<STACK_OF(CADB_POLICY_INFO), CADB_POLICY_INFO, POLICYINFO>(
      policies, F_LIST, F_LIST, F_POLICY_INFO_PARSE, CADB_POLICY_INFO_parse, CADB_POLICY_INFO_free);
}

CADB_POLICY_MAPPING* CADB_POLICY_MAPPING_new() { return zalloc<CADB_POLICY_MAPPING>(F_POLICY_MAPPING_NEW); }

void CADB_POLICY_MAPPING_free(CADB_POLICY_MAPPING* record) {
  if (record == nullptr) return;
  CADB_OID_free(record->issuer_domain);
  CADB_OID_free(record->subject_domain);
  OPENSSL_free(record);
}

CADB_POLICY_MAPPING* CADB_POLICY_MAPPING_parse(const POLICY_MAPPING* mapping) {
  if (mapping == nullptr) {
    raise(F_POLICY_MAPPING_PARSE, kReasonCalled);
    return nullptr;
  }
  auto record = make_for(CADB_POLICY_MAPPING_new, F_POLICY_MAPPING_PARSE);
  if (record == nullptr) return nullptr;
  record->issuer_domain = CADB_OID_parse(mapping->issuerDomainPolicy);
  record->subject_domain = CADB_OID_parse(mapping->subjectDomainPolicy);
  if (record->issuer_domain == nullptr || record->subject_domain == nullptr) {
    raise(F_POLICY_MAPPING_PARSE, kReasonCalled);
    return nullptr;
  }
  return record.release();
}

STACK_OF(CADB_POLICY_MAPPING) * CADB_POLICY_MAPPINGS_parse(const POLICY_MAPPINGS* mappings) {
  return convert_list<STACK_OF(CADB_POLICY_MAPPING), CADB_POLICY_MAPPING, POLICY_MAPPING>(
      mappings, F_LIST, F_LIST, F_POLICY_MAPPING_PARSE, CADB_POLICY_MAPPING_parse, CADB_POLICY_MAPPING_free);
}

// ----- constraints and usage period

CADB_BASIC_CONSTRAINTS* CADB_BASIC_CONSTRAINTS_new() {
  auto* record = zalloc<CADB_BASIC_CONSTRAINTS>(F_BASIC_CONSTRAINTS_NEW);
  if (record != nullptr) record->pathlen = -1;
  return record;
}

void CADB_BASIC_CONSTRAINTS_free(CADB_BASIC_CONSTRAINTS* record) {
  if (record == nullptr) return;
  record->ca = 0;
  record->pathlen = 0;
  OPENSSL_free(record);
}

CADB_BASIC_CONSTRAINTS* CADB_BASIC_CONSTRAINTS_parse(const BASIC_CONSTRAINTS* constraints) {
  if (constraints == nullptr) {
    raise(F_BASIC_CONSTRAINTS_PARSE, kReasonCalled);
    return nullptr;
  }
  auto record = make_for(CADB_BASIC_CONSTRAINTS_new, F_BASIC_CONSTRAINTS_PARSE);
  if (record == nullptr) return nullptr;
  record->ca = constraints->ca;
  if (constraints->pathlen != nullptr) record->pathlen = number_of(constraints->pathlen);
  return record.release();
}

CADB_POLICY_CONSTRAINTS* CADB_POLICY_CONSTRAINTS_new() {
  auto* record = zalloc<CADB_POLICY_CONSTRAINTS>(F_POLICY_CONSTRAINTS_NEW);
  if (record != nullptr) {
    record->require_explicit_policy = -1;
    record->inhibit_policy_mapping = -1;
  }
  return record;
}

void CADB_POLICY_CONSTRAINTS_free(CADB_POLICY_CONSTRAINTS* record) {
  if (record == nullptr) return;
  record->require_explicit_policy = 0;
  record->inhibit_policy_mapping = 0;
  OPENSSL_free(record);
}

CADB_POLICY_CONSTRAINTS* CADB_POLICY_CONSTRAINTS_parse(const POLICY_CONSTRAINTS* constraints) {
  if (constraints == nullptr) {
    raise(F_POLICY_CONSTRAINTS_PARSE, kReasonCalled);
    return nullptr;
  }
  auto record = make_for(CADB_POLICY_CONSTRAINTS_new, F_POLICY_CONSTRAINTS_PARSE);
  if (record == nullptr) return nullptr;
  if (constraints->requireExplicitPolicy != nullptr) {
    record->require_explicit_policy = number_of(constraints->requireExplicitPolicy);
  }
  if (constraints->inhibitPolicyMapping != nullptr) {
    record->inhibit_policy_mapping = number_of(constraints->inhibitPolicyMapping);
  }
  return record.release();
}

struct tm* ASN1_TIME_parse(const ASN1_TIME* time) {
  struct tm parsed {};
  if (time == nullptr || ASN1_TIME_get_tm(time, &parsed) == nullptr) return nullptr;
  auto* out = static_cast<struct tm*>(OPENSSL_malloc(sizeof(struct tm)));
  if (out == nullptr) {
    raise(F_ASN1_TIME_PARSE, kReasonMemory);
    return nullptr;
  }
  *out = parsed;
  return out;
}

CADB_PKEY_USAGE_PERIOD* CADB_PKEY_USAGE_PERIOD_new() { return zalloc<CADB_PKEY_USAGE_PERIOD>(F_PKEY_USAGE_PERIOD_NEW); }

void CADB_PKEY_USAGE_PERIOD_free(CADB_PKEY_USAGE_PERIOD* record) {
  if (record == nullptr) return;
  OPENSSL_free(record->not_before);
  OPENSSL_free(record->not_after);
  OPENSSL_free(record);
}

CADB_PKEY_USAGE_PERIOD* CADB_PKEY_USAGE_PERIOD_parse(const PKEY_USAGE_PERIOD* period) {
  if (period == nullptr) {
    raise(F_PKEY_USAGE_PERIOD_PARSE, kReasonCalled);
    return nullptr;
  }
  auto record = make_for(CADB_PKEY_USAGE_PERIOD_new, F_PKEY_USAGE_PERIOD_PARSE);
  if (record == nullptr) return nullptr;
  if (period->notBefore != nullptr && (record->not_before = ASN1_TIME_parse(period->notBefore)) == nullptr) {
    raise(F_PKEY_USAGE_PERIOD_PARSE, kReasonInternal);
    return nullptr;
  }
  if (period->notAfter != nullptr && (record->not_after = ASN1_TIME_parse(period->notAfter)) == nullptr) {
    raise(F_PKEY_USAGE_PERIOD_PARSE, kReasonInternal);
    return nullptr;
  }
  return record.release();
}

// ----- distribution points

CADB_DIST_POINT_NAME* CADB_DIST_POINT_NAME_new() {
  auto* record = zalloc<CADB_DIST_POINT_NAME>(F_DIST_POINT_NAME_NEW);
  if (record != nullptr) record->kind = -1;
  return record;
}

void CADB_DIST_POINT_NAME_free(CADB_DIST_POINT_NAME* record) {
  if (record == nullptr) return;
  if (record->kind == 0) CADB_GENERAL_NAMES_free(static_cast<STACK_OF(CADB_GENERAL_NAME)*>(record->value));
  if (record->kind == 1) ATTRIBUTE_free(static_cast<ATTRIBUTE*>(record->value));
  OPENSSL_free(record);
}

namespace {

// The entries of one relative distinguished name as an attribute chain.
ATTRIBUTE* rdn_chain(const STACK_OF(X509_NAME_ENTRY) * rdn) {
  UniquePtr<X509_NAME> name(X509_NAME_new());
  if (name == nullptr) return nullptr;
  for (int i = 0; i < sk_X509_NAME_ENTRY_num(rdn); ++i) {
    if (!X509_NAME_add_entry(name.get(), sk_X509_NAME_ENTRY_value(rdn, i), -1, 0)) return nullptr;
  }
  ATTRIBUTE* chain = nullptr;
  if (!X509_NAME_split_into(name.get(), &chain)) return nullptr;
  return chain;
}

}  // namespace

CADB_DIST_POINT_NAME* CADB_DIST_POINT_NAME_parse(const DIST_POINT_NAME* name) {
  if (name == nullptr) {
    raise(F_DIST_POINT_NAME_PARSE, kReasonCalled);
    return nullptr;
  }
  auto record = make_for(CADB_DIST_POINT_NAME_new, F_DIST_POINT_NAME_PARSE);
  if (record == nullptr) return nullptr;
  if (name->type == 0 && name->name.fullname != nullptr) {
    record->kind = 0;
    record->value = CADB_GENERAL_NAMES_parse(name->name.fullname);
  } else if (name->type == 1 && name->name.relativename != nullptr) {
    record->kind = 1;
    record->value = rdn_chain(name->name.relativename);
    // An empty relative name is a valid (if useless) one.
    if (record->value == nullptr && sk_X509_NAME_ENTRY_num(name->name.relativename) == 0) return record.release();
  } else {
    raise(F_DIST_POINT_NAME_PARSE, kReasonInternal);
    return nullptr;
  }
  if (record->value == nullptr) {
    raise(F_DIST_POINT_NAME_PARSE, kReasonCalled);
    return nullptr;
  }
  return record.release();
}

CADB_CRL_DIST_POINT* CADB_CRL_DIST_POINT_new() { return zalloc<CADB_CRL_DIST_POINT>(F_CRL_DIST_POINT_NEW); }

void CADB_CRL_DIST_POINT_free(CADB_CRL_DIST_POINT* record) {
  if (record == nullptr) return;
  CADB_DIST_POINT_NAME_free(record->name);
  CADB_GENERAL_NAMES_free(record->crl_issuer);
  OPENSSL_free(record);
}

CADB_CRL_DIST_POINT* CADB_CRL_DIST_POINT_parse(const DIST_POINT* point) {
  if (point == nullptr) {
    raise(F_CRL_DIST_POINT_PARSE, kReasonCalled);
    return nullptr;
  }
  auto record = make_for(CADB_CRL_DIST_POINT_new, F_CRL_DIST_POINT_PARSE);
  if (record == nullptr) return nullptr;
  bool ok = true;
  if (point->distpoint != nullptr) ok = (record->name = CADB_DIST_POINT_NAME_parse(point->distpoint)) != nullptr;
  record->reasons = v3ext_bit_mask(point->reasons);
  if (ok && point->CRLissuer != nullptr)
    ok = (record->crl_issuer = CADB_GENERAL_NAMES_parse(point->CRLissuer)) != nullptr;
  if (!ok) {
    raise(F_CRL_DIST_POINT_PARSE, kReasonCalled);
    return nullptr;
  }
  return record.release();
}

STACK_OF(CADB_CRL_DIST_POINT) * CADB_CRL_DIST_POINTS_parse(const CRL_DIST_POINTS* points) {
  return convert_list<STACK_OF(CADB_CRL_DIST_POINT), CADB_CRL_DIST_POINT, DIST_POINT>(
      points, F_LIST, F_LIST, F_CRL_DIST_POINT_PARSE, CADB_CRL_DIST_POINT_parse, CADB_CRL_DIST_POINT_free);
}

CADB_ISSUING_DIST_POINT* CADB_ISSUING_DIST_POINT_new() {
  return zalloc<CADB_ISSUING_DIST_POINT>(F_ISSUING_DIST_POINT_NEW);
}

void CADB_ISSUING_DIST_POINT_free(CADB_ISSUING_DIST_POINT* record) {
  if (record == nullptr) return;
  CADB_DIST_POINT_NAME_free(record->name);
  OPENSSL_free(record);
}

CADB_ISSUING_DIST_POINT* CADB_ISSUING_DIST_POINT_parse(const ISSUING_DIST_POINT* point) {
  if (point == nullptr) {
    raise(F_ISSUING_DIST_POINT_PARSE, kReasonCalled);
    return nullptr;
  }
  auto record = make_for(CADB_ISSUING_DIST_POINT_new, F_ISSUING_DIST_POINT_PARSE);
  if (record == nullptr) return nullptr;
  if (point->distpoint != nullptr && (record->name = CADB_DIST_POINT_NAME_parse(point->distpoint)) == nullptr) {
    raise(F_ISSUING_DIST_POINT_PARSE, kReasonCalled);
    return nullptr;
  }
  record->only_user = point->onlyuser;
  record->only_ca = point->onlyCA;
  record->only_some_reasons = v3ext_bit_mask(point->onlysomereasons);
  record->indirect_crl = point->indirectCRL;
  record->only_attr = point->onlyattr;
  return record.release();
}

// ----- access descriptions

CADB_ACCESS_DESCRIPTION* CADB_ACCESS_DESCRIPTION_new() {
  return zalloc<CADB_ACCESS_DESCRIPTION>(F_ACCESS_DESCRIPTION_NEW);
}

void CADB_ACCESS_DESCRIPTION_free(CADB_ACCESS_DESCRIPTION* record) {
  if (record == nullptr) return;
  CADB_OID_free(record->method);
  CADB_GENERAL_NAME_free(record->location);
  OPENSSL_free(record);
}

CADB_ACCESS_DESCRIPTION* CADB_ACCESS_DESCRIPTION_parse(const ACCESS_DESCRIPTION* description) {
  if (description == nullptr) {
    raise(F_ACCESS_DESCRIPTION_PARSE, kReasonCalled);
    return nullptr;
  }
  auto record = make_for(CADB_ACCESS_DESCRIPTION_new, F_ACCESS_DESCRIPTION_PARSE);
  if (record == nullptr) return nullptr;
  record->method = CADB_OID_parse(description->method);
  if (record->method == nullptr || (record->location = CADB_GENERAL_NAME_parse(description->location)) == nullptr) {
    raise(F_ACCESS_DESCRIPTION_PARSE, kReasonCalled);
    return nullptr;
  }
  return record.release();
}

STACK_OF(CADB_ACCESS_DESCRIPTION) * CADB_ACCESS_DESCRIPTIONS_parse(const AUTHORITY_INFO_ACCESS* access) {
  return convert_list<STACK_OF(CADB_ACCESS_DESCRIPTION), CADB_ACCESS_DESCRIPTION, ACCESS_DESCRIPTION>(
      access, F_LIST, F_LIST, F_ACCESS_DESCRIPTION_PARSE, CADB_ACCESS_DESCRIPTION_parse, CADB_ACCESS_DESCRIPTION_free);
}

// ----- name constraints

CADB_GENERAL_SUBTREE* CADB_GENERAL_SUBTREE_new() {
  auto* record = zalloc<CADB_GENERAL_SUBTREE>(F_GENERAL_SUBTREE_NEW);
  if (record != nullptr) record->maximum = -1;
  return record;
}

void CADB_GENERAL_SUBTREE_free(CADB_GENERAL_SUBTREE* record) {
  if (record == nullptr) return;
  CADB_GENERAL_NAME_free(record->base);
  OPENSSL_free(record);
}

CADB_GENERAL_SUBTREE* CADB_GENERAL_SUBTREE_parse(const GENERAL_SUBTREE* subtree) {
  if (subtree == nullptr) {
    raise(F_GENERAL_SUBTREE_PARSE, kReasonCalled);
    return nullptr;
  }
  auto record = make_for(CADB_GENERAL_SUBTREE_new, F_GENERAL_SUBTREE_PARSE);
  if (record == nullptr) return nullptr;
  if ((record->base = CADB_GENERAL_NAME_parse(subtree->base)) == nullptr) {
    raise(F_GENERAL_SUBTREE_PARSE, kReasonCalled);
    return nullptr;
  }
  if (subtree->minimum != nullptr) record->minimum = number_of(subtree->minimum);
  if (subtree->maximum != nullptr) record->maximum = number_of(subtree->maximum);
  return record.release();
}

STACK_OF(CADB_GENERAL_SUBTREE) * CADB_GENERAL_SUBTREES_parse(const STACK_OF(GENERAL_SUBTREE) * subtrees) {
  return convert_list<STACK_OF(CADB_GENERAL_SUBTREE), CADB_GENERAL_SUBTREE, GENERAL_SUBTREE>(
      subtrees, F_LIST, F_GENERAL_SUBTREE_PARSE, F_GENERAL_SUBTREE_PARSE, CADB_GENERAL_SUBTREE_parse,
      CADB_GENERAL_SUBTREE_free);
}

CADB_NAME_CONSTRAINTS* CADB_NAME_CONSTRAINTS_new() { return zalloc<CADB_NAME_CONSTRAINTS>(F_NAME_CONSTRAINTS_NEW); }

void CADB_NAME_CONSTRAINTS_free(CADB_NAME_CONSTRAINTS* record) {
  if (record == nullptr) return;
  sk_CADB_GENERAL_SUBTREE_pop_free(record->permitted, CADB_GENERAL_SUBTREE_free);
  sk_CADB_GENERAL_SUBTREE_pop_free(record->excluded, CADB_GENERAL_SUBTREE_free);
  OPENSSL_free(record);
}

CADB_NAME_CONSTRAINTS* CADB_NAME_CONSTRAINTS_parse(const NAME_CONSTRAINTS* constraints) {
  if (constraints == nullptr) {
    raise(F_NAME_CONSTRAINTS_PARSE, kReasonCalled);
    return nullptr;
  }
  auto record = make_for(CADB_NAME_CONSTRAINTS_new, F_NAME_CONSTRAINTS_PARSE);
  if (record == nullptr) return nullptr;
  bool ok = true;
  if (constraints->permittedSubtrees != nullptr) {
    ok = (record->permitted = CADB_GENERAL_SUBTREES_parse(constraints->permittedSubtrees)) != nullptr;
  }
  if (ok && constraints->excludedSubtrees != nullptr) {
    ok = (record->excluded = CADB_GENERAL_SUBTREES_parse(constraints->excludedSubtrees)) != nullptr;
  }
  if (!ok) {
    raise(F_NAME_CONSTRAINTS_PARSE, kReasonCalled);
    return nullptr;
  }
  return record.release();
}

// ----- key usages and directory attributes

STACK_OF(CADB_OID) * CADB_EXT_KEY_USAGE_parse(const EXTENDED_KEY_USAGE* usage) {
  return convert_list<STACK_OF(CADB_OID), CADB_OID, ASN1_OBJECT>(usage, F_EXT_KEY_USAGE_PARSE, F_EXT_KEY_USAGE_PARSE,
                                                                 F_EXT_KEY_USAGE_PARSE, CADB_OID_parse, CADB_OID_free);
}

namespace {

ATTRIBUTE* directory_attribute(const X509_ATTRIBUTE* attribute) {
  if (attribute == nullptr || X509_ATTRIBUTE_count(attribute) != 1) return nullptr;
  const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(const_cast<X509_ATTRIBUTE*>(attribute), 0);
  if (value == nullptr || !v3ext_is_text_type(value->type)) return nullptr;
  const int object = sysobj_number(OBJ_obj2nid(X509_ATTRIBUTE_get0_object(const_cast<X509_ATTRIBUTE*>(attribute))));
  return v3ext_text_value(value->value.asn1_string, object);
}

}  // namespace

STACK_OF(ATTRIBUTE) * CADB_ATTRIBUTES_parse(const SUBJECT_DIRECTORY_ATTRIBUTES* attributes) {
  return convert_list<STACK_OF(ATTRIBUTE), ATTRIBUTE, X509_ATTRIBUTE>(attributes, F_LIST, F_LIST, F_ATTRIBUTES_PARSE,
                                                                      directory_attribute, ATTRIBUTE_free);
}

}  // namespace qcrypto
