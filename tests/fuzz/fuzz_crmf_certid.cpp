// CRMF certificate identifiers from requests: whatever decodes must encode
// back to exactly the bytes it was read from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crypto/v3ext/crmf_certid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const unsigned char* p = data;
  qcrypto::CRMF_CERTID* id = qcrypto::d2i_CRMF_CERTID(nullptr, &p, static_cast<long>(size));
  if (id == nullptr) {
    if (p != data) std::abort();
    return 0;
  }
  const auto consumed = static_cast<size_t>(p - data);
  unsigned char* der = nullptr;
  const int n = qcrypto::i2d_CRMF_CERTID(id, &der);
  if (n <= 0 || static_cast<size_t>(n) != consumed || std::memcmp(der, data, consumed) != 0) std::abort();
  OPENSSL_free(der);
  qcrypto::CRMF_CERTID_free(id);
  return 0;
}
