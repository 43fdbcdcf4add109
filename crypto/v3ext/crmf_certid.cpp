#include "crypto/v3ext/crmf_certid.h"

#include <openssl/asn1t.h>

#include "crypto/err/err.h"
#include "crypto/v3ext/v3ext_codes.h"

namespace qcrypto {

DECLARE_ASN1_ITEM(CRMF_CERTID)

namespace {

ASN1_VALUE* as_value(const CRMF_CERTID* record) {
  return static_cast<ASN1_VALUE*>(static_cast<void*>(const_cast<CRMF_CERTID*>(record)));
}

}  // namespace

CRMF_CERTID* CRMF_CERTID_new() {
  auto* record = static_cast<CRMF_CERTID*>(static_cast<void*>(ASN1_item_new(ASN1_ITEM_rptr(CRMF_CERTID))));
  if (record == nullptr) {
    QERR(ERRLIB_ASN1, ASN1_F_CRMF_CERTID_NEW, ERR_R_MEMORY_ALLOC);
  }
  return record;
}

void CRMF_CERTID_free(CRMF_CERTID* record) { ASN1_item_free(as_value(record), ASN1_ITEM_rptr(CRMF_CERTID)); }

int i2d_CRMF_CERTID(const CRMF_CERTID* record, unsigned char** out) {
  if (record == nullptr || record->issuer == nullptr || record->serialNumber == nullptr) {
    return -1;
  }
  return ASN1_item_i2d(as_value(record), out, ASN1_ITEM_rptr(CRMF_CERTID));
}

CRMF_CERTID* d2i_CRMF_CERTID(CRMF_CERTID** record, const unsigned char** in, long length) {
  if (in == nullptr || *in == nullptr || length <= 0) {
    QERR(ERRLIB_ASN1, ASN1_F_D2I_CRMF_CERTID, ASN1_R_NESTED_ERROR);
    return nullptr;
  }
  // Always into a fresh record: OpenSSL's decoder frees the caller's record
  // when the input is bad, and a caller's record must survive bad input.
  const unsigned char* p = *in;
  auto* decoded =
      static_cast<CRMF_CERTID*>(static_cast<void*>(ASN1_item_d2i(nullptr, &p, length, ASN1_ITEM_rptr(CRMF_CERTID))));
  if (decoded == nullptr) {
    QERR(ERRLIB_ASN1, ASN1_F_D2I_CRMF_CERTID, ASN1_R_NESTED_ERROR);
    return nullptr;
  }
  *in = p;
  if (record != nullptr) {
    CRMF_CERTID_free(*record);
    *record = decoded;
  }
  return decoded;
}

const CRMF_CERTID_METHOD* CRMF_CERTID_method() {
  static const CRMF_CERTID_METHOD method{i2d_CRMF_CERTID, d2i_CRMF_CERTID, CRMF_CERTID_new, CRMF_CERTID_free};
  return &method;
}

}  // namespace qcrypto

namespace qcrypto {
// A macro block that clang-format cannot follow.
// clang-format off
ASN1_SEQUENCE(CRMF_CERTID) = {
    ASN1_SIMPLE(CRMF_CERTID, issuer, GENERAL_NAME),
    ASN1_SIMPLE(CRMF_CERTID, serialNumber, ASN1_INTEGER),
} ASN1_SEQUENCE_END(CRMF_CERTID)
}  // namespace qcrypto
// clang-format on
