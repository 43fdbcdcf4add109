// Certificates and key files bring SubjectPublicKeyInfo from anyone; OpenSSL
// hands the bytes of GOST keys to the library's provider (decoder, then key
// management). Whatever it accepts must be a usable key whose SPKI, written
// again through the provider's encoder, reads back to an equal key.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crypto/prov/evp_gost.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = qcrypto::evp_provider_start() == 1;
  if (!started) std::abort();
  const unsigned char* p = data;
  EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, static_cast<long>(size));
  if (key == nullptr) return 0;
  if (p < data || p > data + size || EVP_PKEY_get_size(key) <= 0) std::abort();
  unsigned char* der = nullptr;
  const int n = i2d_PUBKEY(key, &der);
  if (n <= 0) std::abort();
  const unsigned char* q = der;
  EVP_PKEY* again = d2i_PUBKEY(nullptr, &q, n);
  if (again == nullptr || q != der + n || EVP_PKEY_eq(key, again) != 1) std::abort();
  EVP_PKEY_free(again);
  OPENSSL_free(der);
  EVP_PKEY_free(key);
  return 0;
}
