// Extension stacks from certificates and CRLs are split into records and
// printed. The first byte chooses the form: below 0x80 one extension of a
// kind the database understands (the byte picks it, bit 6 marks it critical)
// with the rest as its value, which reaches every value decoder directly;
// otherwise the rest is a whole DER extension stack.
#include <openssl/bio.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crypto/v3ext/v3ext.h"

namespace {

const int kKinds[] = {
    NID_netscape_cert_type,
    NID_netscape_comment,
    NID_subject_key_identifier,
    NID_key_usage,
    NID_private_key_usage_period,
    NID_subject_alt_name,
    NID_issuer_alt_name,
    NID_certificate_issuer,
    NID_basic_constraints,
    NID_crl_number,
    NID_delta_crl,
    NID_certificate_policies,
    NID_authority_key_identifier,
    NID_crl_distribution_points,
    NID_freshest_crl,
    NID_ext_key_usage,
    NID_crl_reason,
    NID_invalidity_date,
    NID_sxnet,
    NID_inhibit_any_policy,
    NID_policy_mappings,
    NID_policy_constraints,
    NID_name_constraints,
    NID_info_access,
    NID_sinfo_access,
    NID_issuing_distribution_point,
    NID_hold_instruction_code,
    NID_subject_directory_attributes,
    NID_tlsfeature,
};

STACK_OF(X509_EXTENSION) * stack_of(const uint8_t* data, size_t size) {
  if (size == 0) return nullptr;
  if (data[0] >= 0x80) {
    const unsigned char* p = data + 1;
    return d2i_X509_EXTENSIONS(nullptr, &p, static_cast<long>(size - 1));
  }
  const int nid = kKinds[(data[0] & 0x3F) % (sizeof kKinds / sizeof kKinds[0])];
  ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
  STACK_OF(X509_EXTENSION)* stack = sk_X509_EXTENSION_new_null();
  X509_EXTENSION* ext = nullptr;
  if (value != nullptr && ASN1_OCTET_STRING_set(value, data + 1, static_cast<int>(size - 1)) == 1)
    ext = X509_EXTENSION_create_by_NID(nullptr, nid, (data[0] & 0x40) != 0 ? 1 : 0, value);
  ASN1_OCTET_STRING_free(value);
  if (stack == nullptr || ext == nullptr || sk_X509_EXTENSION_push(stack, ext) <= 0) {
    X509_EXTENSION_free(ext);
    sk_X509_EXTENSION_free(stack);
    return nullptr;
  }
  return stack;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  STACK_OF(X509_EXTENSION)* extensions = stack_of(data, size);
  if (extensions == nullptr) return 0;
  qcrypto::CADB_V3EXT_LIST* records = nullptr;
  if (qcrypto::CADB_V3EXT_split(extensions, &records) == 1) {
    // Never more records than extensions, and never a split that passed over
    // a critical extension it does not understand.
    if (records == nullptr || qcrypto::sk_CADB_V3EXT_num(records) > sk_X509_EXTENSION_num(extensions)) std::abort();
    for (int i = 0; i < sk_X509_EXTENSION_num(extensions); ++i) {
      X509_EXTENSION* ext = sk_X509_EXTENSION_value(extensions, i);
      if (X509_EXTENSION_get_critical(ext) &&
          qcrypto::V3EXT_item(OBJ_obj2nid(X509_EXTENSION_get_object(ext))) == nullptr)
        std::abort();
    }
  }
  qcrypto::CADB_V3EXT_list_free(records);
  BIO* mem = BIO_new(BIO_s_mem());
  qcrypto::V3EXT_print_all(mem, extensions, 4);
  BIO_free(mem);
  sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
  return 0;
}
