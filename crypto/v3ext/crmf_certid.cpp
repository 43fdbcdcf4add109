#include "crypto/v3ext/crmf_certid.h"

#include <openssl/asn1t.h>

#include <cstring>

#include "crypto/err/err.h"

namespace qcrypto {

ASN1_SEQUENCE(CRMF_CERTID) =
    {
        ASN1_SIMPLE(CRMF_CERTID, issuer, GENERAL_NAME),
        ASN1_SIMPLE(CRMF_CERTID, serialNumber, ASN1_INTEGER),
} ASN1_SEQUENCE_END(CRMF_CERTID)

        namespace {
  // Function numbers of the codec under the ASN.1 library.
  constexpr int kFuncNew = 400;
  constexpr int kFuncDecode = 401;
  // OpenSSL's "nested asn1 error".
  constexpr int kReasonNested = 58;

}  // namespace

CRMF_CERTID* CRMF_CERTID_new() {
  auto* id = reinterpret_cast<CRMF_CERTID*>(ASN1_item_new(ASN1_ITEM_rptr(CRMF_CERTID)));
  if (id == nullptr) QERR(ERRLIB_ASN1, kFuncNew, ERR_R_MEMORY_ALLOC);
  return id;
}

void CRMF_CERTID_free(CRMF_CERTID* id) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(id), ASN1_ITEM_rptr(CRMF_CERTID));
}

int i2d_CRMF_CERTID(const CRMF_CERTID* id, unsigned char** out) {
  if (id == nullptr) return -1;
  return ASN1_item_i2d(reinterpret_cast<const ASN1_VALUE*>(id), out, ASN1_ITEM_rptr(CRMF_CERTID));
}

CRMF_CERTID* d2i_CRMF_CERTID(CRMF_CERTID** out, const unsigned char** in, long length) {
  if (in == nullptr || *in == nullptr || length <= 0) {
    QERR(ERRLIB_ASN1, kFuncDecode, ERR_R_PASSED_NULL);
    return nullptr;
  }
  // Decoded into a fresh record first, so a failure never leaves the
  // caller's record half-replaced.
  const unsigned char* p = *in;
  auto* id = reinterpret_cast<CRMF_CERTID*>(ASN1_item_d2i(nullptr, &p, length, ASN1_ITEM_rptr(CRMF_CERTID)));
  // One certificate has one identifier: only its DER form is taken, so two
  // encodings of the same CertId can never compare different.
  const auto consumed = static_cast<std::size_t>(p - *in);
  unsigned char* der = nullptr;
  const int n = id != nullptr ? i2d_CRMF_CERTID(id, &der) : -1;
  const bool canonical = n > 0 && static_cast<std::size_t>(n) == consumed && std::memcmp(der, *in, consumed) == 0;
  OPENSSL_free(der);
  if (!canonical) {
    CRMF_CERTID_free(id);
    QERR(ERRLIB_ASN1, kFuncDecode, kReasonNested);
    return nullptr;
  }
  if (out != nullptr) {
    CRMF_CERTID_free(*out);
    *out = id;
  }
  *in = p;
  return id;
}

const CRMF_CERTID_METHOD* CRMF_CERTID_method() {
  static const CRMF_CERTID_METHOD method = {i2d_CRMF_CERTID, d2i_CRMF_CERTID, CRMF_CERTID_new, CRMF_CERTID_free};
  return &method;
}

}  // namespace qcrypto
