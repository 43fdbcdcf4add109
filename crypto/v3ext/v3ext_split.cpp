#include <openssl/objects.h>

#include "crypto/err/err.h"
#include "crypto/evp/objects.h"
#include "crypto/v3ext/v3ext.h"
#include "crypto/v3ext/v3ext_internal.h"

namespace qcrypto {
namespace {

constexpr int kFuncNew = 273;
constexpr int kFuncParse = 276;
constexpr int kFuncParseExtensions = 277;
constexpr int kReasonCalled = 66;

// How an object's converted value is held and freed.
enum class Kind {
  kNone,
  kBitMask,
  kNumber,
  kEnumerated,
  kText,
  kBytes,
  kUsagePeriod,
  kGeneralNames,
  kBasicConstraints,
  kPolicies,
  kKeyId,
  kDistPoints,
  kExtKeyUsage,
  kTime,
  kPolicyMappings,
  kPolicyConstraints,
  kNameConstraints,
  kAccess,
  kIssuingDistPoint,
  kObject,
  kAttributes,
};

Kind kind_of(int nid) {
  switch (nid) {
    case NID_netscape_cert_type:
    case NID_key_usage:
      return Kind::kBitMask;
    case NID_netscape_base_url:
    case NID_netscape_revocation_url:
    case NID_netscape_ca_revocation_url:
    case NID_netscape_renewal_url:
    case NID_netscape_ca_policy_url:
    case NID_netscape_ssl_server_name:
    case NID_netscape_comment:
      return Kind::kText;
    case NID_subject_key_identifier:
    case NID_crl_number:
    case NID_delta_crl:
      return Kind::kBytes;
    case NID_private_key_usage_period:
      return Kind::kUsagePeriod;
    case NID_subject_alt_name:
    case NID_issuer_alt_name:
    case NID_certificate_issuer:
      return Kind::kGeneralNames;
    case NID_basic_constraints:
      return Kind::kBasicConstraints;
    case NID_certificate_policies:
      return Kind::kPolicies;
    case NID_authority_key_identifier:
      return Kind::kKeyId;
    case NID_crl_distribution_points:
    case NID_freshest_crl:
      return Kind::kDistPoints;
    case NID_ext_key_usage:
      return Kind::kExtKeyUsage;
    case NID_crl_reason:
      return Kind::kEnumerated;
    case NID_invalidity_date:
      return Kind::kTime;
    case NID_inhibit_any_policy:
      return Kind::kNumber;
    case NID_policy_mappings:
      return Kind::kPolicyMappings;
    case NID_policy_constraints:
      return Kind::kPolicyConstraints;
    case NID_name_constraints:
      return Kind::kNameConstraints;
    case NID_info_access:
    case NID_sinfo_access:
      return Kind::kAccess;
    case NID_issuing_distribution_point:
      return Kind::kIssuingDistPoint;
    case NID_hold_instruction_code:
      return Kind::kObject;
    case NID_subject_directory_attributes:
      return Kind::kAttributes;
    default:
      break;
  }
  if (nid != NID_undef && (nid == sysobj_nid(304) || nid == sysobj_nid(306))) return Kind::kKeyId;
  return Kind::kNone;
}

void free_attribute_list(STACK_OF(ATTRIBUTE) * list) { sk_ATTRIBUTE_pop_free(list, ATTRIBUTE_free); }

void free_value(Kind kind, void* value) {
  switch (kind) {
    case Kind::kText:
      ATTRIBUTE_free(static_cast<ATTRIBUTE*>(value));
      break;
    case Kind::kBytes:
      BUFFER_free(static_cast<BUFFER*>(value));
      break;
    case Kind::kUsagePeriod:
      CADB_PKEY_USAGE_PERIOD_free(static_cast<CADB_PKEY_USAGE_PERIOD*>(value));
      break;
    case Kind::kGeneralNames:
      CADB_GENERAL_NAMES_free(static_cast<STACK_OF(CADB_GENERAL_NAME)*>(value));
      break;
    case Kind::kBasicConstraints:
      CADB_BASIC_CONSTRAINTS_free(static_cast<CADB_BASIC_CONSTRAINTS*>(value));
      break;
    case Kind::kPolicies:
      sk_CADB_POLICY_INFO_pop_free(static_cast<STACK_OF(CADB_POLICY_INFO)*>(value), CADB_POLICY_INFO_free);
      break;
    case Kind::kKeyId:
      CADB_AUTHORITY_KEYID_free(static_cast<CADB_AUTHORITY_KEYID*>(value));
      break;
    case Kind::kDistPoints:
      sk_CADB_CRL_DIST_POINT_pop_free(static_cast<STACK_OF(CADB_CRL_DIST_POINT)*>(value), CADB_CRL_DIST_POINT_free);
      break;
    case Kind::kExtKeyUsage:
      sk_CADB_OID_pop_free(static_cast<STACK_OF(CADB_OID)*>(value), CADB_OID_free);
      break;
    case Kind::kTime:
      OPENSSL_free(value);
      break;
    case Kind::kPolicyMappings:
      sk_CADB_POLICY_MAPPING_pop_free(static_cast<STACK_OF(CADB_POLICY_MAPPING)*>(value), CADB_POLICY_MAPPING_free);
      break;
    case Kind::kPolicyConstraints:
      CADB_POLICY_CONSTRAINTS_free(static_cast<CADB_POLICY_CONSTRAINTS*>(value));
      break;
    case Kind::kNameConstraints:
      CADB_NAME_CONSTRAINTS_free(static_cast<CADB_NAME_CONSTRAINTS*>(value));
      break;
    case Kind::kAccess:
      sk_CADB_ACCESS_DESCRIPTION_pop_free(static_cast<STACK_OF(CADB_ACCESS_DESCRIPTION)*>(value),
                                          CADB_ACCESS_DESCRIPTION_free);
      break;
    case Kind::kIssuingDistPoint:
      CADB_ISSUING_DIST_POINT_free(static_cast<CADB_ISSUING_DIST_POINT*>(value));
      break;
    case Kind::kObject:
      CADB_OID_free(static_cast<CADB_OID*>(value));
      break;
    case Kind::kAttributes:
      free_attribute_list(static_cast<STACK_OF(ATTRIBUTE)*>(value));
      break;
    case Kind::kNone:
    case Kind::kBitMask:
    case Kind::kNumber:
    case Kind::kEnumerated:
      break;
  }
}

// The converted value of a decoded one; null when it cannot be made.
void* convert(Kind kind, void* decoded) {
  switch (kind) {
    case Kind::kText:
      return v3ext_text_value(static_cast<const ASN1_STRING*>(decoded), 0);
    case Kind::kBytes: {
      const auto* s = static_cast<const ASN1_STRING*>(decoded);
      UniquePtr<BUFFER> b(BUFFER_new());
      if (b == nullptr) return nullptr;
      if (ASN1_STRING_length(s) > 0 && BUFFER_fill(b.get(), ASN1_STRING_get0_data(s), ASN1_STRING_length(s)) <= 0) {
        return nullptr;
      }
      return b.release();
    }
    case Kind::kUsagePeriod:
      return CADB_PKEY_USAGE_PERIOD_parse(static_cast<const PKEY_USAGE_PERIOD*>(decoded));
    case Kind::kGeneralNames:
      return CADB_GENERAL_NAMES_parse(static_cast<const GENERAL_NAMES*>(decoded));
    case Kind::kBasicConstraints:
      return CADB_BASIC_CONSTRAINTS_parse(static_cast<const BASIC_CONSTRAINTS*>(decoded));
    case Kind::kPolicies:
      return CADB_CERT_POLICIES_parse(static_cast<const CERTIFICATEPOLICIES*>(decoded));
    case Kind::kKeyId:
      return CADB_AUTHORITY_KEYID_parse(static_cast<const AUTHORITY_KEYID*>(decoded));
    case Kind::kDistPoints:
      return CADB_CRL_DIST_POINTS_parse(static_cast<const CRL_DIST_POINTS*>(decoded));
    case Kind::kExtKeyUsage:
      return CADB_EXT_KEY_USAGE_parse(static_cast<const EXTENDED_KEY_USAGE*>(decoded));
    case Kind::kTime:
      return ASN1_TIME_parse(static_cast<const ASN1_TIME*>(decoded));
    case Kind::kPolicyMappings:
      return CADB_POLICY_MAPPINGS_parse(static_cast<const POLICY_MAPPINGS*>(decoded));
    case Kind::kPolicyConstraints:
      return CADB_POLICY_CONSTRAINTS_parse(static_cast<const POLICY_CONSTRAINTS*>(decoded));
    case Kind::kNameConstraints:
      return CADB_NAME_CONSTRAINTS_parse(static_cast<const NAME_CONSTRAINTS*>(decoded));
    case Kind::kAccess:
      return CADB_ACCESS_DESCRIPTIONS_parse(static_cast<const AUTHORITY_INFO_ACCESS*>(decoded));
    case Kind::kIssuingDistPoint:
      return CADB_ISSUING_DIST_POINT_parse(static_cast<const ISSUING_DIST_POINT*>(decoded));
    case Kind::kObject:
      return CADB_OID_parse(static_cast<const ASN1_OBJECT*>(decoded));
    case Kind::kAttributes:
      return CADB_ATTRIBUTES_parse(static_cast<const SUBJECT_DIRECTORY_ATTRIBUTES*>(decoded));
    case Kind::kNone:
    case Kind::kBitMask:
    case Kind::kNumber:
    case Kind::kEnumerated:
      break;
  }
  return nullptr;
}

}  // namespace

CADB_V3EXT* CADB_V3EXT_new() {
  auto* record = static_cast<CADB_V3EXT*>(OPENSSL_zalloc(sizeof(CADB_V3EXT)));
  if (record == nullptr) QERR(ERRLIB_CADB, kFuncNew, ERR_R_MEMORY_ALLOC);
  return record;
}

void CADB_V3EXT_free(CADB_V3EXT* record) {
  if (record == nullptr) return;
  free_value(kind_of(record->object), record->value);
  X509_EXTENSION_free(record->extension);
  OPENSSL_free(record);
}

CADB_V3EXT* CADB_V3EXT_parse(const V3EXT_DECODED* entry) {
  if (entry == nullptr) {
    QERR(ERRLIB_CADB, kFuncParse, ERR_R_INTERNAL);
    return nullptr;
  }
  UniquePtr<CADB_V3EXT> record(CADB_V3EXT_new());
  if (record == nullptr) {
    QERR(ERRLIB_CADB, kFuncParse, ERR_R_MEMORY_ALLOC);
    return nullptr;
  }
  record->critical = entry->critical;
  record->object = entry->object;
  const Kind kind = kind_of(entry->object);
  if (kind == Kind::kNone) {
    record->unsupported = 1;
    return record.release();
  }
  if (entry->value == nullptr) {
    QERR(ERRLIB_CADB, kFuncParse, ERR_R_INTERNAL);
    return nullptr;
  }
  switch (kind) {
    case Kind::kBitMask:
      record->number = static_cast<long>(v3ext_bit_mask(static_cast<const ASN1_BIT_STRING*>(entry->value)));
      break;
    case Kind::kNumber:
      record->number = ASN1_INTEGER_get(static_cast<const ASN1_INTEGER*>(entry->value));
      break;
    case Kind::kEnumerated:
      record->number = ASN1_ENUMERATED_get(static_cast<const ASN1_ENUMERATED*>(entry->value));
      break;
    default:
      record->value = convert(kind, entry->value);
      if (record->value == nullptr) {
        QERR(ERRLIB_CADB, kFuncParse, ERR_R_INTERNAL);
        return nullptr;
      }
      break;
  }
  record->parsed = 1;
  return record.release();
}

void CADB_V3EXT_list_free(STACK_OF(CADB_V3EXT) * list) { sk_CADB_V3EXT_pop_free(list, CADB_V3EXT_free); }

STACK_OF(CADB_V3EXT) * CADB_V3EXT_parse_extensions(const STACK_OF(V3EXT_DECODED) * list) {
  if (list == nullptr) return nullptr;
  STACK_OF(CADB_V3EXT)* out = sk_CADB_V3EXT_new_null();
  if (out == nullptr) {
    QERR(ERRLIB_CADB, kFuncParseExtensions, ERR_R_MEMORY_ALLOC);
    QERR(ERRLIB_CADB, kFuncParseExtensions, kReasonCalled);
    return nullptr;
  }
  for (int i = 0; i < sk_V3EXT_DECODED_num(list); ++i) {
    CADB_V3EXT* record = CADB_V3EXT_parse(sk_V3EXT_DECODED_value(list, i));
    if (record == nullptr || sk_CADB_V3EXT_push(out, record) <= 0) {
      CADB_V3EXT_free(record);
      QERR(ERRLIB_CADB, kFuncParseExtensions, ERR_R_INTERNAL);
      QERR(ERRLIB_CADB, kFuncParseExtensions, kReasonCalled);
      CADB_V3EXT_list_free(out);
      return nullptr;
    }
  }
  return out;
}

const CADB_V3EXT* CADB_V3EXT_find(const STACK_OF(CADB_V3EXT) * list, int nid) {
  for (int i = 0; i < sk_CADB_V3EXT_num(list); ++i) {
    const CADB_V3EXT* record = sk_CADB_V3EXT_value(list, i);
    if (record->object == nid) return record;
  }
  return nullptr;
}

int CADB_V3EXT_split(const STACK_OF(X509_EXTENSION) * extensions, STACK_OF(CADB_V3EXT) * *out) {
  *out = nullptr;
  if (extensions == nullptr) return 1;
  STACK_OF(V3EXT_DECODED)* decoded = V3EXT_decode_all(extensions);
  if (decoded == nullptr) return 0;
  *out = CADB_V3EXT_parse_extensions(decoded);
  V3EXT_DECODED_list_free(decoded);
  return *out != nullptr ? 1 : 0;
}

}  // namespace qcrypto
