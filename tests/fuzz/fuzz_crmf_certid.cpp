// Certificate identifiers arrive in certificate requests from anyone. What
// the decoder accepts must encode again, and that encoding must decode to
// the same identifier; a rejected input must leave the caller's record.
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crypto/v3ext/crmf_certid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > INT_MAX) return 0;
  qcrypto::CRMF_CERTID* kept = qcrypto::CRMF_CERTID_new();
  if (kept == nullptr) return 0;
  qcrypto::CRMF_CERTID* slot = kept;
  const unsigned char* p = data;
  qcrypto::CRMF_CERTID* id = qcrypto::d2i_CRMF_CERTID(&slot, &p, static_cast<long>(size));
  if (id == nullptr) {
    if (slot != kept || p != data) std::abort();
    qcrypto::CRMF_CERTID_free(kept);
    ERR_clear_error();
    return 0;
  }
  if (slot != id || p <= data || p > data + size) std::abort();
  const int n = qcrypto::i2d_CRMF_CERTID(id, nullptr);
  if (n <= 0) std::abort();
  std::vector<unsigned char> der(static_cast<size_t>(n));
  unsigned char* out = der.data();
  if (qcrypto::i2d_CRMF_CERTID(id, &out) != n) std::abort();
  const unsigned char* q = der.data();
  qcrypto::CRMF_CERTID* again = qcrypto::d2i_CRMF_CERTID(nullptr, &q, n);
  if (again == nullptr || q != der.data() + n || GENERAL_NAME_cmp(again->issuer, id->issuer) != 0 ||
      ASN1_INTEGER_cmp(again->serialNumber, id->serialNumber) != 0) {
    std::abort();
  }
  qcrypto::CRMF_CERTID_free(again);
  qcrypto::CRMF_CERTID_free(id);
  ERR_clear_error();
  return 0;
}
