#include <openssl/asn1t.h>
#include <openssl/objects.h>

#include <vector>

#include "crypto/cclib/locks.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/evp/objects.h"
#include "crypto/v3ext/v3ext.h"

namespace qcrypto {

ASN1_ITEM_TEMPLATE(SUBJECT_DIRECTORY_ATTRIBUTES) =
    ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SEQUENCE_OF, 0, Attributes, X509_ATTRIBUTE)
        ASN1_ITEM_TEMPLATE_END(SUBJECT_DIRECTORY_ATTRIBUTES)

            SUBJECT_DIRECTORY_ATTRIBUTES
    * d2i_SUBJECT_DIRECTORY_ATTRIBUTES(SUBJECT_DIRECTORY_ATTRIBUTES * *out, const unsigned char** in, long length) {
  return reinterpret_cast<SUBJECT_DIRECTORY_ATTRIBUTES*>(
      ASN1_item_d2i(reinterpret_cast<ASN1_VALUE**>(out), in, length, ASN1_ITEM_rptr(SUBJECT_DIRECTORY_ATTRIBUTES)));
}

int i2d_SUBJECT_DIRECTORY_ATTRIBUTES(const SUBJECT_DIRECTORY_ATTRIBUTES* value, unsigned char** out) {
  return ASN1_item_i2d(reinterpret_cast<const ASN1_VALUE*>(value), out, ASN1_ITEM_rptr(SUBJECT_DIRECTORY_ATTRIBUTES));
}

void SUBJECT_DIRECTORY_ATTRIBUTES_free(SUBJECT_DIRECTORY_ATTRIBUTES* value) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(value), ASN1_ITEM_rptr(SUBJECT_DIRECTORY_ATTRIBUTES));
}

namespace {

constexpr int kFuncDecodeAll = 156;
constexpr int kReasonDecodeFailed = 11;
constexpr int kReasonExtension = ERR_R_INTERNAL;

struct ItemRow {
  int nid;
  const ASN1_ITEM* (*item)();
};

// The extensions the database understands: the basic ones and the PKIX
// certificate and CRL extensions. Numbers of the system's own objects (two
// with the authority key identifier's syntax) are looked up at run time.
const ItemRow kItems[] = {
    {NID_netscape_cert_type, ASN1_BIT_STRING_it},
    {NID_netscape_base_url, ASN1_IA5STRING_it},
    {NID_netscape_revocation_url, ASN1_IA5STRING_it},
    {NID_netscape_ca_revocation_url, ASN1_IA5STRING_it},
    {NID_netscape_renewal_url, ASN1_IA5STRING_it},
    {NID_netscape_ca_policy_url, ASN1_IA5STRING_it},
    {NID_netscape_ssl_server_name, ASN1_IA5STRING_it},
    {NID_netscape_comment, ASN1_IA5STRING_it},
    {NID_subject_key_identifier, ASN1_OCTET_STRING_it},
    {NID_key_usage, ASN1_BIT_STRING_it},
    {NID_private_key_usage_period, PKEY_USAGE_PERIOD_it},
    {NID_subject_alt_name, GENERAL_NAMES_it},
    {NID_issuer_alt_name, GENERAL_NAMES_it},
    {NID_certificate_issuer, GENERAL_NAMES_it},
    {NID_basic_constraints, BASIC_CONSTRAINTS_it},
    {NID_crl_number, ASN1_INTEGER_it},
    {NID_delta_crl, ASN1_INTEGER_it},
    {NID_certificate_policies, CERTIFICATEPOLICIES_it},
    {NID_authority_key_identifier, AUTHORITY_KEYID_it},
    {NID_crl_distribution_points, CRL_DIST_POINTS_it},
    {NID_freshest_crl, CRL_DIST_POINTS_it},
    {NID_ext_key_usage, EXTENDED_KEY_USAGE_it},
    {NID_crl_reason, ASN1_ENUMERATED_it},
    {NID_invalidity_date, ASN1_GENERALIZEDTIME_it},
    {NID_sxnet, SXNET_it},
    {NID_inhibit_any_policy, ASN1_INTEGER_it},
    {NID_policy_mappings, POLICY_MAPPINGS_it},
    {NID_policy_constraints, POLICY_CONSTRAINTS_it},
    {NID_name_constraints, NAME_CONSTRAINTS_it},
    {NID_info_access, AUTHORITY_INFO_ACCESS_it},
    {NID_sinfo_access, AUTHORITY_INFO_ACCESS_it},
    {NID_issuing_distribution_point, ISSUING_DIST_POINT_it},
    {NID_hold_instruction_code, ASN1_OBJECT_it},
    {NID_subject_directory_attributes, SUBJECT_DIRECTORY_ATTRIBUTES_it},
};

// The system's objects with the authority key identifier's syntax.
constexpr int kOwnKeyIdObjects[] = {304, 306};

}  // namespace

const ASN1_ITEM* V3EXT_item(int nid) {
  if (nid == NID_undef) return nullptr;
  for (const auto& row : kItems) {
    if (row.nid == nid) return row.item();
  }
  for (const int number : kOwnKeyIdObjects) {
    if (sysobj_nid(number) == nid) return AUTHORITY_KEYID_it();
  }
  return nullptr;
}

V3EXT_DECODED* V3EXT_DECODED_new() {
  auto* entry = static_cast<V3EXT_DECODED*>(OPENSSL_zalloc(sizeof(V3EXT_DECODED)));
  if (entry == nullptr) QERR(ERRLIB_X509V3, kFuncDecodeAll, ERR_R_MEMORY_ALLOC);
  return entry;
}

void V3EXT_DECODED_free(V3EXT_DECODED* entry) {
  if (entry == nullptr) return;
  if (entry->value != nullptr) {
    const ASN1_ITEM* item = V3EXT_item(entry->object);
    if (item != nullptr) ASN1_item_free(static_cast<ASN1_VALUE*>(entry->value), item);
  }
  OPENSSL_free(entry);
}

void V3EXT_DECODED_list_free(STACK_OF(V3EXT_DECODED) * list) { sk_V3EXT_DECODED_pop_free(list, V3EXT_DECODED_free); }

namespace {

// 1 decoded into *out, 0 left out (not critical, unknown), -1 failure.
int decode_one(const X509_EXTENSION* extension, UniquePtr<V3EXT_DECODED>* out) {
  const int nid = OBJ_obj2nid(X509_EXTENSION_get_object(const_cast<X509_EXTENSION*>(extension)));
  const int critical = X509_EXTENSION_get_critical(const_cast<X509_EXTENSION*>(extension));
  const ASN1_ITEM* item = V3EXT_item(nid);
  if (item == nullptr) return critical ? -1 : 0;
  // The encoded value is copied under the ASN.1 lock before it is decoded:
  // the extension may belong to a certificate other threads read as well.
  std::vector<unsigned char> der;
  {
    CryptoLockGuard guard(CRYPTO_LOCK_ASN1);
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(const_cast<X509_EXTENSION*>(extension));
    if (data == nullptr) return -1;
    const unsigned char* bytes = ASN1_STRING_get0_data(data);
    der.assign(bytes, bytes + ASN1_STRING_length(data));
  }
  UniquePtr<V3EXT_DECODED> entry(V3EXT_DECODED_new());
  if (entry == nullptr) return -1;
  entry->object = nid;
  entry->critical = critical;
  const unsigned char* p = der.data();
  entry->value = ASN1_item_d2i(nullptr, &p, static_cast<long>(der.size()), item);
  // Bytes after the value are not part of any extension we understand.
  if (entry->value == nullptr || p != der.data() + der.size()) return -1;
  *out = std::move(entry);
  return 1;
}

}  // namespace

STACK_OF(V3EXT_DECODED) * V3EXT_decode_all(const STACK_OF(X509_EXTENSION) * extensions) {
  if (extensions == nullptr) return nullptr;
  STACK_OF(V3EXT_DECODED)* list = sk_V3EXT_DECODED_new_null();
  if (list == nullptr) {
    QERR(ERRLIB_X509V3, kFuncDecodeAll, ERR_R_MEMORY_ALLOC);
    QERR(ERRLIB_X509V3, kFuncDecodeAll, kReasonDecodeFailed);
    return nullptr;
  }
  const int count = sk_X509_EXTENSION_num(extensions);
  for (int i = 0; i < count; ++i) {
    UniquePtr<V3EXT_DECODED> entry;
    const int r = decode_one(sk_X509_EXTENSION_value(extensions, i), &entry);
    if (r == 0) continue;
    if (r < 0 || sk_V3EXT_DECODED_push(list, entry.get()) <= 0) {
      QERR(ERRLIB_X509V3, kFuncDecodeAll, kReasonExtension);
      QERR(ERRLIB_X509V3, kFuncDecodeAll, kReasonDecodeFailed);
      V3EXT_DECODED_list_free(list);
      return nullptr;
    }
    static_cast<void>(entry.release());
  }
  return list;
}

STACK_OF(V3EXT_DECODED) * X509_decode_extensions(const X509* cert) {
  return cert == nullptr ? nullptr : V3EXT_decode_all(X509_get0_extensions(cert));
}

STACK_OF(V3EXT_DECODED) * X509_CRL_decode_extensions(const X509_CRL* crl) {
  return crl == nullptr ? nullptr : V3EXT_decode_all(X509_CRL_get0_extensions(crl));
}

STACK_OF(V3EXT_DECODED) * X509_REVOKED_decode_extensions(const X509_REVOKED* revoked) {
  return revoked == nullptr ? nullptr : V3EXT_decode_all(X509_REVOKED_get0_extensions(revoked));
}

int V3EXT_DECODED_find(const STACK_OF(V3EXT_DECODED) * list, int nid) {
  const int count = sk_V3EXT_DECODED_num(list);
  for (int i = 0; i < count; ++i) {
    if (sk_V3EXT_DECODED_value(list, i)->object == nid) return i;
  }
  return -1;
}

V3EXT_DECODED* V3EXT_DECODED_get(const STACK_OF(V3EXT_DECODED) * list, int nid) {
  const int i = V3EXT_DECODED_find(list, nid);
  return i < 0 ? nullptr : sk_V3EXT_DECODED_value(list, i);
}

}  // namespace qcrypto
