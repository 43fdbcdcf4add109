// Decoded extensions to the database's extension records.
#include "crypto/v3ext/cadb_v3ext.h"

#include <openssl/objects.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "crypto/cadb/record_util.h"
#include "crypto/cadb/tm_utils.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/evp/objects.h"
#include "crypto/v3ext/v3ext_codes.h"
#include "crypto/x509/name_print.h"
#include "crypto/x509/x509_owners.h"

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

namespace qcrypto {

namespace {

constexpr int kReason12 = ERR_R_INTERNAL;
constexpr int kReason33 = ERR_R_MEMORY_ALLOC;
constexpr int kReason66 = CADB_R_CALLED_PART;

void raise(int func, int reason) { QERR(ERRLIB_CADB, func, reason); }

template <class T>
T* zeroed(int func) {
  auto* record = static_cast<T*>(OPENSSL_zalloc(sizeof(T)));
  if (record == nullptr) {
    raise(func, kReason33);
  }
  return record;
}

// A record for a conversion: reasons 33 (from the constructor) then 66.
template <class T>
UniquePtr<T> make_for(T* (*make)(), int func) {
  UniquePtr<T> record(make());
  if (!record) {
    raise(func, kReason66);
  }
  return record;
}

template <class T>
std::nullptr_t fail(int func, int reason = kReason66) {
  raise(func, reason);
  return nullptr;
}

// The string as the database keeps text: converted to the local code page
// and the mode's output code page, a zero byte written as "\x00" so that a
// C string cannot end early; other types as "%02X " per byte.
bool text_of(const ASN1_STRING* s, std::string& out) {
  out.clear();
  switch (ASN1_STRING_type(s)) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_BMPSTRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_T61STRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_VISIBLESTRING:
      break;
    default: {
      const unsigned char* b = ASN1_STRING_get0_data(s);
      static constexpr std::array<char, 16> kHex{'0', '1', '2', '3', '4', '5', '6', '7',
                                                 '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
      for (int i = 0; i < ASN1_STRING_length(s); ++i) {
        out += kHex.at(b[i] >> 4);
        out += kHex.at(b[i] & 0x0F);
        out += ' ';
      }
      return true;
    }
  }
  for (const char c : X509_NAME_value_local(s)) {
    if (c == '\0') {
      out += "\\x00";
    } else {
      out += c;
    }
  }
  const int mode = X509_NAME_codepage_mode();
  if (out.empty() || mode == NAME_MODE_ASCII || mode == NAME_MODE_LOCAL) {
    return true;
  }
  // The output code pages other than the local one: converted on the way
  // through a memory channel.
  UniquePtr<BIO> mem(BIO_new(BIO_s_mem()));
  if (!mem || BIO_write_codepage(mem.get(), out.data(), static_cast<int>(out.size()), mode) != 1) {
    return false;
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(mem.get(), &data);
  out.assign(data != nullptr ? data : "", length > 0 ? static_cast<std::size_t>(length) : 0U);
  return true;
}

// A chain of one record: object 0, the text, the string's type.
ATTRIBUTE* text_value(const ASN1_STRING* s) {
  std::string text;
  if (s == nullptr || !text_of(s, text)) {
    return nullptr;
  }
  return ATTRIBUTE_add(nullptr, 0, text.data(), static_cast<int>(text.size()), ASN1_STRING_type(s));
}

BUFFER* bytes_of(const ASN1_STRING* s) {
  UniquePtr<BUFFER> buffer(BUFFER_new());
  if (!buffer || BUFFER_fill(buffer.get(), ASN1_STRING_get0_data(s), ASN1_STRING_length(s)) != 1) {
    return nullptr;
  }
  return buffer.release();
}

BUFFER* text_buffer(const std::string& text) {
  UniquePtr<BUFFER> buffer(BUFFER_new());
  if (!buffer || BUFFER_fill(buffer.get(), text.data(), static_cast<int>(text.size())) != 1) {
    return nullptr;
  }
  return buffer.release();
}

unsigned long bit_mask(const ASN1_BIT_STRING* bits) {
  if (bits == nullptr) {
    return 0;
  }
  const int count = 8 * std::min(ASN1_STRING_length(bits), 4);
  unsigned long mask = 0;
  for (int n = 0; n < count; ++n) {
    if (ASN1_BIT_STRING_get_bit(bits, n) != 0) {
      mask |= 1UL << n;
    }
  }
  return mask;
}

BUFFER* ip_text(const ASN1_OCTET_STRING* ip) {
  const unsigned char* b = ASN1_STRING_get0_data(ip);
  std::array<char, 64> text{};
  if (ASN1_STRING_length(ip) == 4) {
    std::snprintf(text.data(), text.size(), "%i.%i.%i.%i", b[0], b[1], b[2], b[3]);
  } else if (ASN1_STRING_length(ip) == 8) {
    std::snprintf(text.data(), text.size(), "%i.%i.%i.%i/%i.%i.%i.%i", b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
  } else {
    return nullptr;
  }
  return text_buffer(text.data());
}

// Converts every element of `in` with `convert` into a new list of
// `OutStack`. Failures: reason 33 under `first`, then 66 under `second`.
template <class Out, class In, class Convert, class Free>
OPENSSL_STACK* convert_list(const OPENSSL_STACK* in, Convert convert, Free free_one, int first, int second,
                            int element_first) {
  if (in == nullptr) {
    raise(second, kReason66);
    return nullptr;
  }
  OPENSSL_STACK* out = OPENSSL_sk_new_null();
  if (out == nullptr) {
    raise(first, kReason33);
    raise(second, kReason66);
    return nullptr;
  }
  for (int i = 0; i < OPENSSL_sk_num(in); ++i) {
    Out* element = convert(static_cast<const In*>(OPENSSL_sk_value(in, i)));
    if (element == nullptr || OPENSSL_sk_push(out, element) <= 0) {
      free_one(element);
      for (int j = 0; j < OPENSSL_sk_num(out); ++j) {
        free_one(static_cast<Out*>(OPENSSL_sk_value(out, j)));
      }
      OPENSSL_sk_free(out);
      raise(element_first, kReason33);
      raise(second, kReason66);
      return nullptr;
    }
  }
  return out;
}

template <class Out>
void free_list(OPENSSL_STACK* list, void (*free_one)(Out*)) {
  for (int i = 0; i < OPENSSL_sk_num(list); ++i) {
    free_one(static_cast<Out*>(OPENSSL_sk_value(list, i)));
  }
  OPENSSL_sk_free(list);
}

template <class S>
const OPENSSL_STACK* generic(const S* s) {
  return reinterpret_cast<const OPENSSL_STACK*>(s);  // NOLINT: OpenSSL's typed stacks are OPENSSL_STACKs
}
template <class S>
OPENSSL_STACK* generic(S* s) {
  return reinterpret_cast<OPENSSL_STACK*>(s);  // NOLINT: as above
}
template <class S>
S* typed(OPENSSL_STACK* s) {
  return reinterpret_cast<S*>(s);  // NOLINT: as above
}

void free_general_names(STACK_OF(CADB_GENERAL_NAME) * names) { free_list(generic(names), CADB_GENERAL_NAME_free); }
void free_oids(STACK_OF(CADB_OID) * oids) { free_list(generic(oids), CADB_OID_free); }
void free_chains(STACK_OF(ATTRIBUTE) * chains) { free_list(generic(chains), ATTRIBUTE_free); }
void free_subtrees(STACK_OF(CADB_GENERAL_SUBTREE) * trees) { free_list(generic(trees), CADB_GENERAL_SUBTREE_free); }

long number_of(const ASN1_INTEGER* n) { return ASN1_INTEGER_get(n); }

}  // namespace

// --- constructors ---------------------------------------------------------

CADB_V3EXT* CADB_V3EXT_new() { return zeroed<CADB_V3EXT>(CADB_F_CADB_V3EXT_NEW); }
CADB_OID* CADB_OID_new() { return zeroed<CADB_OID>(CADB_F_CADB_OID_NEW); }
CADB_GENERAL_NAME* CADB_GENERAL_NAME_new() { return zeroed<CADB_GENERAL_NAME>(CADB_F_CADB_GENERAL_NAME_NEW); }
CADB_AUTHORITY_KEYID* CADB_AUTHORITY_KEYID_new() {
  return zeroed<CADB_AUTHORITY_KEYID>(CADB_F_CADB_AUTHORITY_KEYID_NEW);
}
CADB_NOTICE_REF* CADB_NOTICE_REF_new() { return zeroed<CADB_NOTICE_REF>(CADB_F_CADB_NOTICE_REF_NEW); }
CADB_USER_NOTICE* CADB_USER_NOTICE_new() { return zeroed<CADB_USER_NOTICE>(CADB_F_CADB_USER_NOTICE_NEW); }
CADB_POLICY_QUALIFIER* CA_F_CADB_POLICY_QUALIFIER_new() {
  return zeroed<CADB_POLICY_QUALIFIER>(CADB_F_CADB_POLICY_QUALIFIER_NEW);
}
CADB_POLICY_INFO* CADB_POLICY_INFO_new() { return zeroed<CADB_POLICY_INFO>(CADB_F_CADB_POLICY_INFO_NEW); }
CADB_POLICY_MAPPING* CADB_POLICY_MAPPING_new() { return zeroed<CADB_POLICY_MAPPING>(CADB_F_CADB_POLICY_MAPPING_NEW); }
CADB_BASIC_CONSTRAINTS* CADB_BASIC_CONSTRAINTS_new() {
  auto* r = zeroed<CADB_BASIC_CONSTRAINTS>(CADB_F_CADB_BASIC_CONSTRAINTS_NEW);
  if (r != nullptr) {
    r->path_length = -1;
  }
  return r;
}
CADB_PKEY_USAGE_PERIOD* CADB_PKEY_USAGE_PERIOD_new() {
  return zeroed<CADB_PKEY_USAGE_PERIOD>(CADB_F_CADB_PKEY_USAGE_PERIOD_NEW);
}
CADB_DIST_POINT_NAME* CADB_DIST_POINT_NAME_new() {
  auto* r = zeroed<CADB_DIST_POINT_NAME>(CADB_F_CADB_DIST_POINT_NAME_NEW);
  if (r != nullptr) {
    r->kind = -1;
  }
  return r;
}
CADB_CRL_DIST_POINT* CADB_CRL_DIST_POINT_new() { return zeroed<CADB_CRL_DIST_POINT>(CADB_F_CADB_CRL_DIST_POINT_NEW); }
CADB_ISSUING_DIST_POINT* CADB_ISSUING_DIST_POINT_new() {
  return zeroed<CADB_ISSUING_DIST_POINT>(CADB_F_CADB_ISSUING_DIST_POINT_NEW);
}
CADB_ACCESS_DESCRIPTION* CADB_ACCESS_DESCRIPTION_new() {
  return zeroed<CADB_ACCESS_DESCRIPTION>(CADB_F_CADB_ACCESS_DESCRIPTION_NEW);
}
CADB_POLICY_CONSTRAINTS* CADB_POLICY_CONSTRAINTS_new() {
  auto* r = zeroed<CADB_POLICY_CONSTRAINTS>(CADB_F_CADB_POLICY_CONSTRAINTS_NEW);
  if (r != nullptr) {
    r->require_explicit_policy = -1;
    r->inhibit_policy_mapping = -1;
  }
  return r;
}
CADB_GENERAL_SUBTREE* CADB_GENERAL_SUBTREE_new() {
  auto* r = zeroed<CADB_GENERAL_SUBTREE>(CADB_F_CADB_GENERAL_SUBTREE_NEW);
  if (r != nullptr) {
    r->maximum = -1;
  }
  return r;
}
CADB_NAME_CONSTRAINTS* CADB_NAME_CONSTRAINTS_new() {
  return zeroed<CADB_NAME_CONSTRAINTS>(CADB_F_CADB_NAME_CONSTRAINTS_NEW);
}

// --- frees ----------------------------------------------------------------

void CADB_OID_free(CADB_OID* record) {
  if (record != nullptr) {
    BUFFER_free(record->dotted);
    OPENSSL_free(record);
  }
}

void CADB_GENERAL_NAME_free(CADB_GENERAL_NAME* record) {
  if (record == nullptr) {
    return;
  }
  switch (record->type) {
    case 0x81:
    case 0x82:
    case 0x86:
      ATTRIBUTE_free(record->value.text);
      break;
    case 0x84:
      ATTRIBUTE_free(record->value.name);
      break;
    case 0x87:
      BUFFER_free(record->value.ip);
      break;
    case 0x88:
      CADB_OID_free(record->value.oid);
      break;
    default:
      break;
  }
  OPENSSL_free(record);
}

void CADB_AUTHORITY_KEYID_free(CADB_AUTHORITY_KEYID* record) {
  if (record != nullptr) {
    BUFFER_free(record->key_id);
    free_general_names(record->issuer);
    BUFFER_free(record->serial);
    OPENSSL_free(record);
  }
}

void CADB_NOTICE_REF_free(CADB_NOTICE_REF* record) {
  if (record != nullptr) {
    ATTRIBUTE_free(record->organization);
    BUFFER_free(record->numbers);
    OPENSSL_free(record);
  }
}

void CADB_USER_NOTICE_free(CADB_USER_NOTICE* record) {
  if (record != nullptr) {
    CADB_NOTICE_REF_free(record->notice_ref);
    ATTRIBUTE_free(record->explicit_text);
    OPENSSL_free(record);
  }
}

void CADB_POLICY_QUALIFIER_free(CADB_POLICY_QUALIFIER* record) {
  if (record == nullptr) {
    return;
  }
  CADB_OID_free(record->id);
  if (record->object == NID_id_qt_cps) {
    ATTRIBUTE_free(record->value.cps);
  } else if (record->object == NID_id_qt_unotice) {
    CADB_USER_NOTICE_free(record->value.user_notice);
  }
  OPENSSL_free(record);
}

void CADB_POLICY_INFO_free(CADB_POLICY_INFO* record) {
  if (record != nullptr) {
    CADB_OID_free(record->policy);
    free_list(generic(record->qualifiers), CADB_POLICY_QUALIFIER_free);
    OPENSSL_free(record);
  }
}

void CADB_POLICY_MAPPING_free(CADB_POLICY_MAPPING* record) {
  if (record != nullptr) {
    CADB_OID_free(record->issuer_domain_policy);
    CADB_OID_free(record->subject_domain_policy);
    OPENSSL_free(record);
  }
}

// Basic and policy constraints are two numbers each: one free for both.
void CADB_BASIC_CONSTRAINTS_free(CADB_BASIC_CONSTRAINTS* record) { OPENSSL_clear_free(record, sizeof(*record)); }
void CADB_POLICY_CONSTRAINTS_free(CADB_POLICY_CONSTRAINTS* record) { OPENSSL_clear_free(record, sizeof(*record)); }

void CADB_PKEY_USAGE_PERIOD_free(CADB_PKEY_USAGE_PERIOD* record) {
  if (record != nullptr) {
    OPENSSL_free(record->start);
    OPENSSL_free(record->end);
    OPENSSL_free(record);
  }
}

void CADB_DIST_POINT_NAME_free(CADB_DIST_POINT_NAME* record) {
  if (record == nullptr) {
    return;
  }
  if (record->kind == 0) {
    free_general_names(record->value.full_name);
  } else if (record->kind == 1) {
    ATTRIBUTE_free(record->value.relative_name);
  }
  OPENSSL_free(record);
}

void CADB_CRL_DIST_POINT_free(CADB_CRL_DIST_POINT* record) {
  if (record != nullptr) {
    CADB_DIST_POINT_NAME_free(record->name);
    free_general_names(record->crl_issuer);
    OPENSSL_free(record);
  }
}

void CADB_ISSUING_DIST_POINT_free(CADB_ISSUING_DIST_POINT* record) {
  if (record != nullptr) {
    CADB_DIST_POINT_NAME_free(record->name);
    OPENSSL_free(record);
  }
}

void CADB_ACCESS_DESCRIPTION_free(CADB_ACCESS_DESCRIPTION* record) {
  if (record != nullptr) {
    CADB_OID_free(record->method);
    CADB_GENERAL_NAME_free(record->location);
    OPENSSL_free(record);
  }
}

void CADB_GENERAL_SUBTREE_free(CADB_GENERAL_SUBTREE* record) {
  if (record != nullptr) {
    CADB_GENERAL_NAME_free(record->base);
    OPENSSL_free(record);
  }
}

void CADB_NAME_CONSTRAINTS_free(CADB_NAME_CONSTRAINTS* record) {
  if (record != nullptr) {
    free_subtrees(record->permitted);
    free_subtrees(record->excluded);
    OPENSSL_free(record);
  }
}

void CADB_V3EXT_free(CADB_V3EXT* record) {
  if (record == nullptr) {
    return;
  }
  if (record->parsed != 0) {
    switch (record->object) {
      case 72:
      case 73:
      case 74:
      case 75:
      case 76:
      case 77:
      case 78:  // NOLINT: one line per group
        ATTRIBUTE_free(record->value.text);
        break;
      case NID_subject_key_identifier:
      case NID_crl_number:
      case NID_delta_crl:
        BUFFER_free(record->value.bytes);
        break;
      case NID_private_key_usage_period:
        CADB_PKEY_USAGE_PERIOD_free(record->value.period);
        break;
      case NID_subject_alt_name:
      case NID_issuer_alt_name:
      case V3OBJ_CERTIFICATE_ISSUER:
        free_general_names(record->value.names);
        break;
      case NID_basic_constraints:
        CADB_BASIC_CONSTRAINTS_free(record->value.basic_constraints);
        break;
      case NID_certificate_policies:
        free_list(generic(record->value.policies), CADB_POLICY_INFO_free);
        break;
      case NID_authority_key_identifier:
      case SYSOBJ_Registration_Certificate_MD_PREI:
      case SYSOBJ_Previous_Certificate_VALIDATA:
        CADB_AUTHORITY_KEYID_free(record->value.key_id);
        break;
      case NID_crl_distribution_points:
      case V3OBJ_FRESHEST_CRL:
        free_list(generic(record->value.dist_points), CADB_CRL_DIST_POINT_free);
        break;
      case NID_ext_key_usage:
        free_oids(record->value.oids);
        break;
      case NID_invalidity_date:
        OPENSSL_free(record->value.time);
        break;
      case V3OBJ_POLICY_MAPPINGS:
        free_list(generic(record->value.mappings), CADB_POLICY_MAPPING_free);
        break;
      case V3OBJ_POLICY_CONSTRAINTS:
        CADB_POLICY_CONSTRAINTS_free(record->value.policy_constraints);
        break;
      case V3OBJ_NAME_CONSTRAINTS:
        CADB_NAME_CONSTRAINTS_free(record->value.name_constraints);
        break;
      case V3OBJ_AUTHORITY_INFO_ACCESS:
      case V3OBJ_SUBJECT_INFO_ACCESS:
        free_list(generic(record->value.access), CADB_ACCESS_DESCRIPTION_free);
        break;
      case V3OBJ_ISSUING_DIST_POINT:
        CADB_ISSUING_DIST_POINT_free(record->value.issuing_dist_point);
        break;
      case V3OBJ_HOLD_INSTRUCTION_CODE:
        CADB_OID_free(record->value.oid);
        break;
      case V3OBJ_SUBJECT_DIRECTORY_ATTRIBUTES:
        free_chains(record->value.attributes);
        break;
      default:  // numbers and masks own nothing
        break;
    }
  }
  X509_EXTENSION_free(record->extension);
  OPENSSL_cleanse(record, sizeof(*record));
  OPENSSL_free(record);
}

void CADB_V3EXT_LIST_free(STACK_OF(CADB_V3EXT) * list) { free_list(generic(list), CADB_V3EXT_free); }

// --- conversions ------------------------------------------------------------

CADB_OID* CADB_OID_parse(const ASN1_OBJECT* object) {
  if (object == nullptr) {
    return nullptr;
  }
  std::array<char, 256> dotted{};
  const int n = OBJ_obj2txt(dotted.data(), static_cast<int>(dotted.size()), object, 1);
  if (n <= 0 || n >= static_cast<int>(dotted.size())) {
    return nullptr;
  }
  UniquePtr<CADB_OID> record(CADB_OID_new());
  if (!record || (record->dotted = text_buffer(dotted.data())) == nullptr) {
    return nullptr;
  }
  record->object = V3EXT_object_number(object);
  if (record->object != 0) {
    const int nid = OBJ_obj2nid(object);
    record->long_name = OBJ_nid2ln(nid);
    record->short_name = OBJ_nid2sn(nid);
  }
  return record.release();
}

struct tm* ASN1_TIME_parse(const ASN1_TIME* time) {
  struct tm parsed {};
  if (time == nullptr || ASN1_TIME_get_tm(time, &parsed) == nullptr) {
    return nullptr;
  }
  auto* out = static_cast<struct tm*>(OPENSSL_malloc(sizeof(struct tm)));
  if (out == nullptr) {
    raise(CADB_F_ASN1_TIME_PARSE, kReason33);
    return nullptr;
  }
  *out = parsed;
  return out;
}

CADB_GENERAL_NAME* CADB_GENERAL_NAME_parse(const GENERAL_NAME* name) {
  constexpr int kFunc = CADB_F_CADB_GENERAL_NAME_PARSE;
  if (name == nullptr) {
    return fail<CADB_GENERAL_NAME>(kFunc);
  }
  UniquePtr<CADB_GENERAL_NAME> record = make_for(CADB_GENERAL_NAME_new, kFunc);
  if (!record) {
    return nullptr;
  }
  record->type = 0x80 + name->type;
  // A value that cannot be made leaves the record without one: the name's
  // kind alone still tells chain building what the issuer wrote.
  switch (name->type) {
    case GEN_EMAIL:
      record->value.text = text_value(name->d.rfc822Name);
      break;
    case GEN_DNS:
      record->value.text = text_value(name->d.dNSName);
      break;
    case GEN_URI:
      record->value.text = text_value(name->d.uniformResourceIdentifier);
      break;
    case GEN_DIRNAME:
      record->value.name = X509_NAME_split(name->d.directoryName);
      break;
    case GEN_IPADD:
      record->value.ip = ip_text(name->d.iPAddress);
      break;
    case GEN_RID:
      record->value.oid = CADB_OID_parse(name->d.registeredID);
      break;
    default:
      break;
  }
  return record.release();
}

STACK_OF(CADB_GENERAL_NAME) * CADB_GENERAL_NAMES_parse(const GENERAL_NAMES* names) {
  return typed<STACK_OF(CADB_GENERAL_NAME)>(convert_list<CADB_GENERAL_NAME, GENERAL_NAME>(
      generic(names), CADB_GENERAL_NAME_parse, CADB_GENERAL_NAME_free, CADB_F_CADB_GENERAL_NAME_PARSE,
      CADB_F_CADB_GENERAL_NAME_PARSE, CADB_F_CADB_GENERAL_NAME_PARSE));
}

CADB_AUTHORITY_KEYID* CADB_AUTHORITY_KEYID_parse(const AUTHORITY_KEYID* keyid) {
  constexpr int kFunc = CADB_F_CADB_AUTHORITY_KEYID_PARSE;
  if (keyid == nullptr) {
    return fail<CADB_AUTHORITY_KEYID>(kFunc);
  }
  UniquePtr<CADB_AUTHORITY_KEYID> record = make_for(CADB_AUTHORITY_KEYID_new, kFunc);
  if (!record) {
    return nullptr;
  }
  if ((keyid->keyid != nullptr && (record->key_id = bytes_of(keyid->keyid)) == nullptr) ||
      (keyid->issuer != nullptr && (record->issuer = CADB_GENERAL_NAMES_parse(keyid->issuer)) == nullptr) ||
      (keyid->serial != nullptr && (record->serial = cadb_integer_bytes(keyid->serial)) == nullptr)) {
    return fail<CADB_AUTHORITY_KEYID>(kFunc);
  }
  return record.release();
}

CADB_NOTICE_REF* CADB_NOTICE_REF_parse(const NOTICEREF* ref) {
  constexpr int kFunc = CADB_F_CADB_NOTICE_REF_PARSE;
  if (ref == nullptr) {
    return fail<CADB_NOTICE_REF>(kFunc);
  }
  UniquePtr<CADB_NOTICE_REF> record = make_for(CADB_NOTICE_REF_new, kFunc);
  if (!record) {
    return nullptr;
  }
  if (ref->organization != nullptr && (record->organization = text_value(ref->organization)) == nullptr) {
    return fail<CADB_NOTICE_REF>(kFunc);
  }
  std::string numbers;
  for (int i = 0; i < sk_ASN1_INTEGER_num(ref->noticenos); ++i) {
    std::array<char, 32> one{};
    std::snprintf(one.data(), one.size(), "%lu",
                  static_cast<unsigned long>(ASN1_INTEGER_get(sk_ASN1_INTEGER_value(ref->noticenos, i))));
    numbers += (i == 0 ? "" : ",");
    numbers += one.data();
  }
  if ((record->numbers = text_buffer(numbers)) == nullptr) {
    return fail<CADB_NOTICE_REF>(kFunc);
  }
  return record.release();
}

CADB_USER_NOTICE* CADB_USER_NOTICE_parse(const USERNOTICE* notice) {
  constexpr int kFunc = CADB_F_CADB_USER_NOTICE_PARSE;
  if (notice == nullptr) {
    return fail<CADB_USER_NOTICE>(kFunc);
  }
  UniquePtr<CADB_USER_NOTICE> record = make_for(CADB_USER_NOTICE_new, kFunc);
  if (!record) {
    return nullptr;
  }
  if ((notice->noticeref != nullptr && (record->notice_ref = CADB_NOTICE_REF_parse(notice->noticeref)) == nullptr) ||
      (notice->exptext != nullptr && (record->explicit_text = text_value(notice->exptext)) == nullptr)) {
    return fail<CADB_USER_NOTICE>(kFunc);
  }
  return record.release();
}

CADB_POLICY_QUALIFIER* CADB_POLICY_QUALIFIER_parse(const POLICYQUALINFO* qualifier) {
  constexpr int kFunc = CADB_F_CADB_POLICY_QUALIFIER_PARSE;
  if (qualifier == nullptr) {
    return fail<CADB_POLICY_QUALIFIER>(kFunc);
  }
  UniquePtr<CADB_POLICY_QUALIFIER> record = make_for(CA_F_CADB_POLICY_QUALIFIER_new, kFunc);
  if (!record) {
    return nullptr;
  }
  if ((record->id = CADB_OID_parse(qualifier->pqualid)) == nullptr) {
    return fail<CADB_POLICY_QUALIFIER>(kFunc);
  }
  record->object = record->id->object;
  if (record->object == NID_id_qt_cps) {
    if ((record->value.cps = text_value(qualifier->d.cpsuri)) == nullptr) {
      return fail<CADB_POLICY_QUALIFIER>(kFunc);
    }
  } else if (record->object == NID_id_qt_unotice) {
    if ((record->value.user_notice = CADB_USER_NOTICE_parse(qualifier->d.usernotice)) == nullptr) {
      return fail<CADB_POLICY_QUALIFIER>(kFunc);
    }
  }
  return record.release();
}

STACK_OF(CADB_POLICY_QUALIFIER) * CADB_POLICY_QUALIFIERS_parse(const STACK_OF(POLICYQUALINFO) * qualifiers) {
  return typed<STACK_OF(CADB_POLICY_QUALIFIER)>(convert_list<CADB_POLICY_QUALIFIER, POLICYQUALINFO>(
      generic(qualifiers), CADB_POLICY_QUALIFIER_parse, CADB_POLICY_QUALIFIER_free, CADB_F_CADB_LIST_NEW,
      CADB_F_CADB_POLICY_QUALIFIER_PARSE, CADB_F_CADB_LIST_NEW));
}

CADB_POLICY_INFO* CADB_POLICY_INFO_parse(const POLICYINFO* info) {
  constexpr int kFunc = CADB_F_CADB_POLICY_INFO_PARSE;
  if (info == nullptr) {
    return fail<CADB_POLICY_INFO>(kFunc);
  }
  UniquePtr<CADB_POLICY_INFO> record = make_for(CADB_POLICY_INFO_new, kFunc);
  if (!record) {
    return nullptr;
  }
  if ((record->policy = CADB_OID_parse(info->policyid)) == nullptr ||
      (info->qualifiers != nullptr &&
       (record->qualifiers = CADB_POLICY_QUALIFIERS_parse(info->qualifiers)) == nullptr)) {
    return fail<CADB_POLICY_INFO>(kFunc);
  }
  return record.release();
}

STACK_OF(CADB_POLICY_INFO) * CADB_CERT_POLICIES_parse(const CERTIFICATEPOLICIES* policies) {
  return typed<STACK_OF(CADB_POLICY_INFO)>(convert_list<CADB_POLICY_INFO, POLICYINFO>(
      generic(policies), CADB_POLICY_INFO_parse, CADB_POLICY_INFO_free, CADB_F_CADB_LIST_NEW,
      CADB_F_CADB_POLICY_INFO_PARSE, CADB_F_CADB_LIST_NEW));
}

CADB_POLICY_MAPPING* CADB_POLICY_MAPPING_parse(const POLICY_MAPPING* mapping) {
  constexpr int kFunc = CADB_F_CADB_POLICY_MAPPING_PARSE;
  if (mapping == nullptr) {
    return fail<CADB_POLICY_MAPPING>(kFunc);
  }
  UniquePtr<CADB_POLICY_MAPPING> record = make_for(CADB_POLICY_MAPPING_new, kFunc);
  if (!record) {
    return nullptr;
  }
  if ((record->issuer_domain_policy = CADB_OID_parse(mapping->issuerDomainPolicy)) == nullptr ||
      (record->subject_domain_policy = CADB_OID_parse(mapping->subjectDomainPolicy)) == nullptr) {
    return fail<CADB_POLICY_MAPPING>(kFunc);
  }
  return record.release();
}

STACK_OF(CADB_POLICY_MAPPING) * CADB_POLICY_MAPPINGS_parse(const POLICY_MAPPINGS* mappings) {
  return typed<STACK_OF(CADB_POLICY_MAPPING)>(convert_list<CADB_POLICY_MAPPING, POLICY_MAPPING>(
      generic(mappings), CADB_POLICY_MAPPING_parse, CADB_POLICY_MAPPING_free, CADB_F_CADB_LIST_NEW,
      CADB_F_CADB_POLICY_MAPPING_PARSE, CADB_F_CADB_LIST_NEW));
}

CADB_BASIC_CONSTRAINTS* CADB_BASIC_CONSTRAINTS_parse(const BASIC_CONSTRAINTS* bc) {
  constexpr int kFunc = CADB_F_CADB_BASIC_CONSTRAINTS_PARSE;
  if (bc == nullptr) {
    return fail<CADB_BASIC_CONSTRAINTS>(kFunc);
  }
  UniquePtr<CADB_BASIC_CONSTRAINTS> record = make_for(CADB_BASIC_CONSTRAINTS_new, kFunc);
  if (!record) {
    return nullptr;
  }
  record->ca = bc->ca;
  if (bc->pathlen != nullptr) {
    record->path_length = number_of(bc->pathlen);
  }
  return record.release();
}

CADB_PKEY_USAGE_PERIOD* CADB_PKEY_USAGE_PERIOD_parse(const PKEY_USAGE_PERIOD* period) {
  constexpr int kFunc = CADB_F_CADB_PKEY_USAGE_PERIOD_PARSE;
  if (period == nullptr) {
    return fail<CADB_PKEY_USAGE_PERIOD>(kFunc);
  }
  UniquePtr<CADB_PKEY_USAGE_PERIOD> record = make_for(CADB_PKEY_USAGE_PERIOD_new, kFunc);
  if (!record) {
    return nullptr;
  }
  if ((period->notBefore != nullptr && (record->start = ASN1_TIME_parse(period->notBefore)) == nullptr) ||
      (period->notAfter != nullptr && (record->end = ASN1_TIME_parse(period->notAfter)) == nullptr)) {
    return fail<CADB_PKEY_USAGE_PERIOD>(kFunc, kReason12);
  }
  return record.release();
}

CADB_DIST_POINT_NAME* CADB_DIST_POINT_NAME_parse(const DIST_POINT_NAME* name) {
  constexpr int kFunc = CADB_F_CADB_DIST_POINT_NAME_PARSE;
  if (name == nullptr) {
    return fail<CADB_DIST_POINT_NAME>(kFunc);
  }
  UniquePtr<CADB_DIST_POINT_NAME> record = make_for(CADB_DIST_POINT_NAME_new, kFunc);
  if (!record) {
    return nullptr;
  }
  if (name->type == 0 && name->name.fullname != nullptr) {
    record->kind = 0;
    if ((record->value.full_name = CADB_GENERAL_NAMES_parse(name->name.fullname)) == nullptr) {
      return fail<CADB_DIST_POINT_NAME>(kFunc);
    }
  } else if (name->type == 1 && name->name.relativename != nullptr) {
    UniquePtr<X509_NAME> rdn(X509_NAME_new());
    if (!rdn) {
      return fail<CADB_DIST_POINT_NAME>(kFunc);
    }
    for (int i = 0; i < sk_X509_NAME_ENTRY_num(name->name.relativename); ++i) {
      if (X509_NAME_add_entry(rdn.get(), sk_X509_NAME_ENTRY_value(name->name.relativename, i), -1, 0) != 1) {
        return fail<CADB_DIST_POINT_NAME>(kFunc);
      }
    }
    record->kind = 1;
    if (X509_NAME_split_into(rdn.get(), &record->value.relative_name) != 1) {
      return fail<CADB_DIST_POINT_NAME>(kFunc);
    }
  } else {
    return fail<CADB_DIST_POINT_NAME>(kFunc, kReason12);
  }
  return record.release();
}

CADB_CRL_DIST_POINT* CADB_CRL_DIST_POINT_parse(const DIST_POINT* point) {
  constexpr int kFunc = CADB_F_CADB_CRL_DIST_POINT_PARSE;
  if (point == nullptr) {
    return fail<CADB_CRL_DIST_POINT>(kFunc);
  }
  UniquePtr<CADB_CRL_DIST_POINT> record = make_for(CADB_CRL_DIST_POINT_new, kFunc);
  if (!record) {
    return nullptr;
  }
  if ((point->distpoint != nullptr && (record->name = CADB_DIST_POINT_NAME_parse(point->distpoint)) == nullptr) ||
      (point->CRLissuer != nullptr && (record->crl_issuer = CADB_GENERAL_NAMES_parse(point->CRLissuer)) == nullptr)) {
    return fail<CADB_CRL_DIST_POINT>(kFunc);
  }
  record->reasons = bit_mask(point->reasons);
  return record.release();
}

STACK_OF(CADB_CRL_DIST_POINT) * CADB_CRL_DIST_POINTS_parse(const CRL_DIST_POINTS* points) {
  return typed<STACK_OF(CADB_CRL_DIST_POINT)>(convert_list<CADB_CRL_DIST_POINT, DIST_POINT>(
      generic(points), CADB_CRL_DIST_POINT_parse, CADB_CRL_DIST_POINT_free, CADB_F_CADB_LIST_NEW,
      CADB_F_CADB_CRL_DIST_POINT_PARSE, CADB_F_CADB_LIST_NEW));
}

CADB_ISSUING_DIST_POINT* CADB_ISSUING_DIST_POINT_parse(const ISSUING_DIST_POINT* idp) {
  constexpr int kFunc = CADB_F_CADB_ISSUING_DIST_POINT_PARSE;
  if (idp == nullptr) {
    return fail<CADB_ISSUING_DIST_POINT>(kFunc);
  }
  UniquePtr<CADB_ISSUING_DIST_POINT> record = make_for(CADB_ISSUING_DIST_POINT_new, kFunc);
  if (!record) {
    return nullptr;
  }
  if (idp->distpoint != nullptr && (record->name = CADB_DIST_POINT_NAME_parse(idp->distpoint)) == nullptr) {
    return fail<CADB_ISSUING_DIST_POINT>(kFunc);
  }
  // The flags as decoded: 0 when false or absent, OpenSSL's 0xFF when true.
  record->only_contains_user_certs = idp->onlyuser;
  record->only_contains_ca_certs = idp->onlyCA;
  record->only_some_reasons = bit_mask(idp->onlysomereasons);
  record->indirect_crl = idp->indirectCRL;
  record->only_contains_attribute_certs = idp->onlyattr;
  return record.release();
}

CADB_ACCESS_DESCRIPTION* CADB_ACCESS_DESCRIPTION_parse(const ACCESS_DESCRIPTION* ad) {
  constexpr int kFunc = CADB_F_CADB_ACCESS_DESCRIPTION_PARSE;
  if (ad == nullptr) {
    return fail<CADB_ACCESS_DESCRIPTION>(kFunc);
  }
  UniquePtr<CADB_ACCESS_DESCRIPTION> record = make_for(CADB_ACCESS_DESCRIPTION_new, kFunc);
  if (!record) {
    return nullptr;
  }
  if ((record->method = CADB_OID_parse(ad->method)) == nullptr ||
      (ad->location != nullptr && (record->location = CADB_GENERAL_NAME_parse(ad->location)) == nullptr)) {
    return fail<CADB_ACCESS_DESCRIPTION>(kFunc);
  }
  return record.release();
}

STACK_OF(CADB_ACCESS_DESCRIPTION) * CADB_ACCESS_DESCRIPTIONS_parse(const AUTHORITY_INFO_ACCESS* aia) {
  return typed<STACK_OF(CADB_ACCESS_DESCRIPTION)>(convert_list<CADB_ACCESS_DESCRIPTION, ACCESS_DESCRIPTION>(
      generic(aia), CADB_ACCESS_DESCRIPTION_parse, CADB_ACCESS_DESCRIPTION_free, CADB_F_CADB_LIST_NEW,
      CADB_F_CADB_ACCESS_DESCRIPTION_PARSE, CADB_F_CADB_LIST_NEW));
}

CADB_POLICY_CONSTRAINTS* CADB_POLICY_CONSTRAINTS_parse(const POLICY_CONSTRAINTS* pc) {
  constexpr int kFunc = CADB_F_CADB_POLICY_CONSTRAINTS_PARSE;
  if (pc == nullptr) {
    return fail<CADB_POLICY_CONSTRAINTS>(kFunc);
  }
  UniquePtr<CADB_POLICY_CONSTRAINTS> record = make_for(CADB_POLICY_CONSTRAINTS_new, kFunc);
  if (!record) {
    return nullptr;
  }
  if (pc->requireExplicitPolicy != nullptr) {
    record->require_explicit_policy = number_of(pc->requireExplicitPolicy);
  }
  if (pc->inhibitPolicyMapping != nullptr) {
    record->inhibit_policy_mapping = number_of(pc->inhibitPolicyMapping);
  }
  return record.release();
}

CADB_GENERAL_SUBTREE* CADB_GENERAL_SUBTREE_parse(const GENERAL_SUBTREE* subtree) {
  constexpr int kFunc = CADB_F_CADB_GENERAL_SUBTREE_PARSE;
  if (subtree == nullptr) {
    return fail<CADB_GENERAL_SUBTREE>(kFunc);
  }
  UniquePtr<CADB_GENERAL_SUBTREE> record = make_for(CADB_GENERAL_SUBTREE_new, kFunc);
  if (!record) {
    return nullptr;
  }
  if (subtree->base != nullptr && (record->base = CADB_GENERAL_NAME_parse(subtree->base)) == nullptr) {
    return fail<CADB_GENERAL_SUBTREE>(kFunc);
  }
  if (subtree->minimum != nullptr) {
    record->minimum = number_of(subtree->minimum);
  }
  if (subtree->maximum != nullptr) {
    record->maximum = number_of(subtree->maximum);
  }
  return record.release();
}

STACK_OF(CADB_GENERAL_SUBTREE) * CADB_GENERAL_SUBTREES_parse(const STACK_OF(GENERAL_SUBTREE) * subtrees) {
  return typed<STACK_OF(CADB_GENERAL_SUBTREE)>(convert_list<CADB_GENERAL_SUBTREE, GENERAL_SUBTREE>(
      generic(subtrees), CADB_GENERAL_SUBTREE_parse, CADB_GENERAL_SUBTREE_free, CADB_F_CADB_LIST_NEW,
      CADB_F_CADB_GENERAL_SUBTREE_PARSE, CADB_F_CADB_GENERAL_SUBTREE_PARSE));
}

CADB_NAME_CONSTRAINTS* CADB_NAME_CONSTRAINTS_parse(const NAME_CONSTRAINTS* nc) {
  constexpr int kFunc = CADB_F_CADB_NAME_CONSTRAINTS_PARSE;
  if (nc == nullptr) {
    return fail<CADB_NAME_CONSTRAINTS>(kFunc);
  }
  UniquePtr<CADB_NAME_CONSTRAINTS> record = make_for(CADB_NAME_CONSTRAINTS_new, kFunc);
  if (!record) {
    return nullptr;
  }
  if ((nc->permittedSubtrees != nullptr &&
       (record->permitted = CADB_GENERAL_SUBTREES_parse(nc->permittedSubtrees)) == nullptr) ||
      (nc->excludedSubtrees != nullptr &&
       (record->excluded = CADB_GENERAL_SUBTREES_parse(nc->excludedSubtrees)) == nullptr)) {
    return fail<CADB_NAME_CONSTRAINTS>(kFunc);
  }
  return record.release();
}

STACK_OF(CADB_OID) * CADB_EXT_KEY_USAGE_parse(const EXTENDED_KEY_USAGE* usage) {
  return typed<STACK_OF(CADB_OID)>(convert_list<CADB_OID, ASN1_OBJECT>(
      generic(usage), CADB_OID_parse, CADB_OID_free, CADB_F_CADB_EXT_KEY_USAGE_PARSE, CADB_F_CADB_EXT_KEY_USAGE_PARSE,
      CADB_F_CADB_EXT_KEY_USAGE_PARSE));
}

namespace {

ATTRIBUTE* attribute_chain(const X509_ATTRIBUTE* attribute) {
  auto* a = const_cast<X509_ATTRIBUTE*>(attribute);
  if (X509_ATTRIBUTE_count(a) != 1) {
    return nullptr;
  }
  const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(a, 0);
  switch (value->type) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_T61STRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_BMPSTRING:
      break;
    default:
      return nullptr;
  }
  std::string text;
  if (!text_of(value->value.asn1_string, text)) {
    return nullptr;
  }
  const int object = V3EXT_object_number(X509_ATTRIBUTE_get0_object(a));
  return ATTRIBUTE_add(nullptr, object, text.data(), static_cast<int>(text.size()), value->type);
}

}  // namespace

STACK_OF(ATTRIBUTE) * CADB_ATTRIBUTES_parse(const SUBJECT_DIRECTORY_ATTRIBUTES* attributes) {
  return typed<STACK_OF(ATTRIBUTE)>(convert_list<ATTRIBUTE, X509_ATTRIBUTE>(
      generic(attributes), attribute_chain, ATTRIBUTE_free, CADB_F_CADB_LIST_NEW, CADB_F_CADB_ATTRIBUTES_PARSE,
      CADB_F_CADB_LIST_NEW));
}

CADB_V3EXT* CADB_V3EXT_parse(const V3EXT_DECODED* entry) {
  constexpr int kFunc = CADB_F_CADB_V3EXT_PARSE;
  if (entry == nullptr) {
    return fail<CADB_V3EXT>(kFunc, kReason12);
  }
  UniquePtr<CADB_V3EXT> record(CADB_V3EXT_new());
  if (!record) {
    return fail<CADB_V3EXT>(kFunc, kReason33);
  }
  record->critical = entry->critical;
  record->object = entry->object;
  void* v = entry->value;
  void* made = nullptr;
  switch (entry->object) {
    case NID_netscape_cert_type:
    case NID_key_usage:
      record->value.mask = bit_mask(static_cast<ASN1_BIT_STRING*>(v));
      record->parsed = 1;
      return record.release();
    case NID_crl_reason:
      record->value.number = ASN1_ENUMERATED_get(static_cast<ASN1_ENUMERATED*>(v));
      record->parsed = 1;
      return record.release();
    case V3OBJ_INHIBIT_ANY_POLICY:
      record->value.number = ASN1_INTEGER_get(static_cast<ASN1_INTEGER*>(v));
      record->parsed = 1;
      return record.release();
    case 72:
    case 73:
    case 74:
    case 75:
    case 76:
    case 77:
    case 78:  // NOLINT: one line per group
      made = record->value.text = text_value(static_cast<ASN1_STRING*>(v));
      break;
    case NID_subject_key_identifier:
      made = record->value.bytes = bytes_of(static_cast<ASN1_STRING*>(v));
      break;
    case NID_crl_number:
    case NID_delta_crl:
      made = record->value.bytes = cadb_integer_bytes(static_cast<ASN1_INTEGER*>(v));
      break;
    case NID_private_key_usage_period:
      made = record->value.period = CADB_PKEY_USAGE_PERIOD_parse(static_cast<PKEY_USAGE_PERIOD*>(v));
      break;
    case NID_subject_alt_name:
    case NID_issuer_alt_name:
    case V3OBJ_CERTIFICATE_ISSUER:
      made = record->value.names = CADB_GENERAL_NAMES_parse(static_cast<GENERAL_NAMES*>(v));
      break;
    case NID_basic_constraints:
      made = record->value.basic_constraints = CADB_BASIC_CONSTRAINTS_parse(static_cast<BASIC_CONSTRAINTS*>(v));
      break;
    case NID_certificate_policies:
      made = record->value.policies = CADB_CERT_POLICIES_parse(static_cast<CERTIFICATEPOLICIES*>(v));
      break;
    case NID_authority_key_identifier:
    case SYSOBJ_Registration_Certificate_MD_PREI:
    case SYSOBJ_Previous_Certificate_VALIDATA:
      made = record->value.key_id = CADB_AUTHORITY_KEYID_parse(static_cast<AUTHORITY_KEYID*>(v));
      break;
    case NID_crl_distribution_points:
    case V3OBJ_FRESHEST_CRL:
      made = record->value.dist_points = CADB_CRL_DIST_POINTS_parse(static_cast<CRL_DIST_POINTS*>(v));
      break;
    case NID_ext_key_usage:
      made = record->value.oids = CADB_EXT_KEY_USAGE_parse(static_cast<EXTENDED_KEY_USAGE*>(v));
      break;
    case NID_invalidity_date:
      made = record->value.time = ASN1_TIME_parse(static_cast<ASN1_TIME*>(v));
      break;
    case V3OBJ_POLICY_MAPPINGS:
      made = record->value.mappings = CADB_POLICY_MAPPINGS_parse(static_cast<POLICY_MAPPINGS*>(v));
      break;
    case V3OBJ_POLICY_CONSTRAINTS:
      made = record->value.policy_constraints = CADB_POLICY_CONSTRAINTS_parse(static_cast<POLICY_CONSTRAINTS*>(v));
      break;
    case V3OBJ_NAME_CONSTRAINTS:
      made = record->value.name_constraints = CADB_NAME_CONSTRAINTS_parse(static_cast<NAME_CONSTRAINTS*>(v));
      break;
    case V3OBJ_AUTHORITY_INFO_ACCESS:
    case V3OBJ_SUBJECT_INFO_ACCESS:
      made = record->value.access = CADB_ACCESS_DESCRIPTIONS_parse(static_cast<AUTHORITY_INFO_ACCESS*>(v));
      break;
    case V3OBJ_ISSUING_DIST_POINT:
      made = record->value.issuing_dist_point = CADB_ISSUING_DIST_POINT_parse(static_cast<ISSUING_DIST_POINT*>(v));
      break;
    case V3OBJ_HOLD_INSTRUCTION_CODE:
      made = record->value.oid = CADB_OID_parse(static_cast<ASN1_OBJECT*>(v));
      break;
    case V3OBJ_SUBJECT_DIRECTORY_ATTRIBUTES:
      made = record->value.attributes = CADB_ATTRIBUTES_parse(static_cast<SUBJECT_DIRECTORY_ATTRIBUTES*>(v));
      break;
    default:
      record->unsupported = 1;
      return record.release();
  }
  if (made == nullptr) {
    return fail<CADB_V3EXT>(kFunc, kReason12);
  }
  record->parsed = 1;
  return record.release();
}

STACK_OF(CADB_V3EXT) * CADB_V3EXT_parse_extensions(const V3EXT_DECODED_LIST* list) {
  constexpr int kFunc = CADB_F_CADB_V3EXT_PARSE_EXTENSIONS;
  if (list == nullptr) {
    return nullptr;
  }
  UniquePtr<CADB_V3EXT_LIST> out(sk_CADB_V3EXT_new_null());
  if (!out) {
    return fail<CADB_V3EXT_LIST>(kFunc, kReason33);
  }
  for (int i = 0; i < sk_V3EXT_DECODED_num(list); ++i) {
    UniquePtr<CADB_V3EXT> record(CADB_V3EXT_parse(sk_V3EXT_DECODED_value(list, i)));
    if (!record || sk_CADB_V3EXT_push(out.get(), record.get()) <= 0) {
      raise(kFunc, kReason12);
      return fail<CADB_V3EXT_LIST>(kFunc);
    }
    (void)record.release();
  }
  return out.release();
}

STACK_OF(CADB_V3EXT) * CADB_V3EXT_split(const STACK_OF(X509_EXTENSION) * extensions) {
  if (extensions == nullptr) {
    return nullptr;
  }
  UniquePtr<V3EXT_DECODED_LIST> decoded(V3EXT_decode_extensions(extensions));
  if (!decoded) {
    return nullptr;
  }
  return CADB_V3EXT_parse_extensions(decoded.get());
}

STACK_OF(CADB_V3EXT) * CADB_V3EXT_split_cert(const X509* cert) {
  return cert == nullptr ? nullptr : CADB_V3EXT_split(X509_get0_extensions(cert));
}
STACK_OF(CADB_V3EXT) * CADB_V3EXT_split_crl(const X509_CRL* crl) {
  return crl == nullptr ? nullptr : CADB_V3EXT_split(X509_CRL_get0_extensions(crl));
}
STACK_OF(CADB_V3EXT) * CADB_V3EXT_split_revoked(const X509_REVOKED* revoked) {
  return revoked == nullptr ? nullptr : CADB_V3EXT_split(X509_REVOKED_get0_extensions(revoked));
}

}  // namespace qcrypto
