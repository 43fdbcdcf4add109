// Object numbers, ASN.1 items and the decoding of every extension of an
// object into values.
#include <openssl/asn1t.h>
#include <openssl/objects.h>

#include <array>
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/evp/objects.h"
#include "crypto/v3ext/v3ext.h"
#include "crypto/v3ext/v3ext_codes.h"

DECLARE_ASN1_ITEM(QCRYPTO_SUBJECT_DIRECTORY_ATTRIBUTES)

namespace qcrypto {

namespace {

struct OwnRow {
  int number;
  const char* oid;
};
// The extensions whose OpenSSL NIDs lie above the range the system shares.
constexpr std::array<OwnRow, 11> kOwnRows{{
    {V3OBJ_INHIBIT_ANY_POLICY, "2.5.29.54"},
    {V3OBJ_FRESHEST_CRL, "2.5.29.46"},
    {V3OBJ_POLICY_MAPPINGS, "2.5.29.33"},
    {V3OBJ_POLICY_CONSTRAINTS, "2.5.29.36"},
    {V3OBJ_NAME_CONSTRAINTS, "2.5.29.30"},
    {V3OBJ_AUTHORITY_INFO_ACCESS, "1.3.6.1.5.5.7.1.1"},
    {V3OBJ_SUBJECT_INFO_ACCESS, "1.3.6.1.5.5.7.1.11"},
    {V3OBJ_ISSUING_DIST_POINT, "2.5.29.28"},
    {V3OBJ_HOLD_INSTRUCTION_CODE, "2.5.29.23"},
    {V3OBJ_CERTIFICATE_ISSUER, "2.5.29.29"},
    {V3OBJ_SUBJECT_DIRECTORY_ATTRIBUTES, "2.5.29.9"},
}};

}  // namespace

const ASN1_ITEM* SUBJECT_DIRECTORY_ATTRIBUTES_item() { return ASN1_ITEM_rptr(QCRYPTO_SUBJECT_DIRECTORY_ATTRIBUTES); }

SUBJECT_DIRECTORY_ATTRIBUTES* d2i_SUBJECT_DIRECTORY_ATTRIBUTES(SUBJECT_DIRECTORY_ATTRIBUTES** out,
                                                               const unsigned char** in, long length) {
  return static_cast<SUBJECT_DIRECTORY_ATTRIBUTES*>(static_cast<void*>(ASN1_item_d2i(
      static_cast<ASN1_VALUE**>(static_cast<void*>(out)), in, length, SUBJECT_DIRECTORY_ATTRIBUTES_item())));
}

int i2d_SUBJECT_DIRECTORY_ATTRIBUTES(const SUBJECT_DIRECTORY_ATTRIBUTES* value, unsigned char** out) {
  return ASN1_item_i2d(static_cast<const ASN1_VALUE*>(static_cast<const void*>(value)), out,
                       SUBJECT_DIRECTORY_ATTRIBUTES_item());
}

void SUBJECT_DIRECTORY_ATTRIBUTES_free(SUBJECT_DIRECTORY_ATTRIBUTES* value) {
  ASN1_item_free(static_cast<ASN1_VALUE*>(static_cast<void*>(value)), SUBJECT_DIRECTORY_ATTRIBUTES_item());
}

int V3EXT_object_number(const ASN1_OBJECT* object) {
  if (object == nullptr) {
    return 0;
  }
  const int nid = OBJ_obj2nid(object);
  if (nid > 0 && nid <= SYSOBJ_LAST_OPENSSL_NID) {
    return nid;
  }
  std::array<char, 128> dotted{};
  const int n = OBJ_obj2txt(dotted.data(), static_cast<int>(dotted.size()), object, 1);
  if (n > 0 && n < static_cast<int>(dotted.size())) {
    for (const OwnRow& row : kOwnRows) {
      if (std::strcmp(row.oid, dotted.data()) == 0) {
        return row.number;
      }
    }
  }
  return nid > 0 ? sysobj_number(nid) : 0;
}

const ASN1_ITEM* V3EXT_item(int number) {
  switch (number) {
    case NID_netscape_cert_type:
    case NID_key_usage:
      return ASN1_ITEM_rptr(ASN1_BIT_STRING);
    case NID_netscape_base_url:
    case NID_netscape_revocation_url:
    case NID_netscape_ca_revocation_url:
    case NID_netscape_renewal_url:
    case NID_netscape_ca_policy_url:
    case NID_netscape_ssl_server_name:
    case NID_netscape_comment:
      return ASN1_ITEM_rptr(ASN1_IA5STRING);
    case NID_subject_key_identifier:
      return ASN1_ITEM_rptr(ASN1_OCTET_STRING);
    case NID_private_key_usage_period:
      return ASN1_ITEM_rptr(PKEY_USAGE_PERIOD);
    case NID_subject_alt_name:
    case NID_issuer_alt_name:
    case V3OBJ_CERTIFICATE_ISSUER:
      return ASN1_ITEM_rptr(GENERAL_NAMES);
    case NID_basic_constraints:
      return ASN1_ITEM_rptr(BASIC_CONSTRAINTS);
    case NID_crl_number:
    case NID_delta_crl:
    case V3OBJ_INHIBIT_ANY_POLICY:
      return ASN1_ITEM_rptr(ASN1_INTEGER);
    case NID_certificate_policies:
      return ASN1_ITEM_rptr(CERTIFICATEPOLICIES);
    case NID_authority_key_identifier:
    case SYSOBJ_Registration_Certificate_MD_PREI:
    case SYSOBJ_Previous_Certificate_VALIDATA:
      return ASN1_ITEM_rptr(AUTHORITY_KEYID);
    case NID_crl_distribution_points:
    case V3OBJ_FRESHEST_CRL:
      return ASN1_ITEM_rptr(CRL_DIST_POINTS);
    case NID_ext_key_usage:
      return ASN1_ITEM_rptr(EXTENDED_KEY_USAGE);
    case NID_crl_reason:
      return ASN1_ITEM_rptr(ASN1_ENUMERATED);
    case NID_invalidity_date:
      return ASN1_ITEM_rptr(ASN1_GENERALIZEDTIME);
    case NID_sxnet:
      return ASN1_ITEM_rptr(SXNET);
    case V3OBJ_POLICY_MAPPINGS:
      return ASN1_ITEM_rptr(POLICY_MAPPINGS);
    case V3OBJ_POLICY_CONSTRAINTS:
      return ASN1_ITEM_rptr(POLICY_CONSTRAINTS);
    case V3OBJ_NAME_CONSTRAINTS:
      return ASN1_ITEM_rptr(NAME_CONSTRAINTS);
    case V3OBJ_AUTHORITY_INFO_ACCESS:
    case V3OBJ_SUBJECT_INFO_ACCESS:
      return ASN1_ITEM_rptr(AUTHORITY_INFO_ACCESS);
    case V3OBJ_ISSUING_DIST_POINT:
      return ASN1_ITEM_rptr(ISSUING_DIST_POINT);
    case V3OBJ_HOLD_INSTRUCTION_CODE:
      return ASN1_ITEM_rptr(ASN1_OBJECT);
    case V3OBJ_SUBJECT_DIRECTORY_ATTRIBUTES:
      return SUBJECT_DIRECTORY_ATTRIBUTES_item();
    default:
      return nullptr;
  }
}

void V3EXT_DECODED_free(V3EXT_DECODED* entry) {
  if (entry == nullptr) {
    return;
  }
  const ASN1_ITEM* item = V3EXT_item(entry->object);
  if (item != nullptr && entry->value != nullptr) {
    ASN1_item_free(static_cast<ASN1_VALUE*>(entry->value), item);
  }
  OPENSSL_free(entry);
}

void V3EXT_DECODED_LIST_free(V3EXT_DECODED_LIST* list) { sk_V3EXT_DECODED_pop_free(list, V3EXT_DECODED_free); }

namespace {

int fail_decode(V3EXT_DECODED_LIST* list, int reason) {
  QERR(ERRLIB_X509V3, X509V3_F_X509V3_DECODE_ALL, reason);
  QERR(ERRLIB_X509V3, X509V3_F_X509V3_DECODE_ALL, X509V3_R_DECODE_FAILED);
  V3EXT_DECODED_LIST_free(list);
  return 0;
}

}  // namespace

V3EXT_DECODED_LIST* V3EXT_decode_extensions(const STACK_OF(X509_EXTENSION) * extensions) {
  if (extensions == nullptr) {
    return nullptr;
  }
  V3EXT_DECODED_LIST* list = sk_V3EXT_DECODED_new_null();
  if (list == nullptr) {
    fail_decode(nullptr, ERR_R_MEMORY_ALLOC);
    return nullptr;
  }
  for (int i = 0; i < sk_X509_EXTENSION_num(extensions); ++i) {
    const X509_EXTENSION* ext = sk_X509_EXTENSION_value(extensions, i);
    const int critical = X509_EXTENSION_get_critical(ext);
    const int number = V3EXT_object_number(X509_EXTENSION_get_object(const_cast<X509_EXTENSION*>(ext)));
    const ASN1_ITEM* item = V3EXT_item(number);
    if (item == nullptr) {
      if (critical != 0) {
        fail_decode(list, ERR_R_INTERNAL);
        return nullptr;
      }
      continue;
    }
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(const_cast<X509_EXTENSION*>(ext));
    const unsigned char* p = ASN1_STRING_get0_data(data);
    const long length = ASN1_STRING_length(data);
    ASN1_VALUE* value = ASN1_item_d2i(nullptr, &p, length, item);
    // Bytes after the value would be read by nobody: such an extension is
    // not what its signer showed anyone.
    if (value == nullptr || p != ASN1_STRING_get0_data(data) + length) {
      ASN1_item_free(value, item);
      fail_decode(list, ERR_R_INTERNAL);
      return nullptr;
    }
    auto* entry = static_cast<V3EXT_DECODED*>(OPENSSL_zalloc(sizeof(V3EXT_DECODED)));
    if (entry == nullptr) {
      ASN1_item_free(value, item);
      fail_decode(list, ERR_R_MEMORY_ALLOC);
      return nullptr;
    }
    entry->object = number;
    entry->critical = critical;
    entry->value = value;
    if (sk_V3EXT_DECODED_push(list, entry) <= 0) {
      V3EXT_DECODED_free(entry);
      fail_decode(list, ERR_R_INTERNAL);
      return nullptr;
    }
  }
  return list;
}

V3EXT_DECODED_LIST* V3EXT_decode_cert(const X509* cert) {
  return cert == nullptr ? nullptr : V3EXT_decode_extensions(X509_get0_extensions(cert));
}
V3EXT_DECODED_LIST* V3EXT_decode_crl(const X509_CRL* crl) {
  return crl == nullptr ? nullptr : V3EXT_decode_extensions(X509_CRL_get0_extensions(crl));
}
V3EXT_DECODED_LIST* V3EXT_decode_revoked(const X509_REVOKED* revoked) {
  return revoked == nullptr ? nullptr : V3EXT_decode_extensions(X509_REVOKED_get0_extensions(revoked));
}

int V3EXT_DECODED_find(const V3EXT_DECODED_LIST* list, int number) {
  for (int i = 0; i < sk_V3EXT_DECODED_num(list); ++i) {
    if (sk_V3EXT_DECODED_value(list, i)->object == number) {
      return i;
    }
  }
  return -1;
}

V3EXT_DECODED* V3EXT_DECODED_get(const V3EXT_DECODED_LIST* list, int number) {
  const int i = V3EXT_DECODED_find(list, number);
  return i < 0 ? nullptr : sk_V3EXT_DECODED_value(list, i);
}

}  // namespace qcrypto

// The item's definition is a macro block that clang-format cannot follow.
// clang-format off
ASN1_ITEM_TEMPLATE(QCRYPTO_SUBJECT_DIRECTORY_ATTRIBUTES) =
    ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SEQUENCE_OF, 0, SubjectDirectoryAttributes, X509_ATTRIBUTE)
ASN1_ITEM_TEMPLATE_END(QCRYPTO_SUBJECT_DIRECTORY_ATTRIBUTES)
    // clang-format on
