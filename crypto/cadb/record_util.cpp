#include "crypto/cadb/record_util.h"

#include <openssl/bio.h>

#include <climits>

#include "crypto/cadb/cadb_codes.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/x509/name_print.h"

namespace qcrypto {

BUFFER* cadb_integer_bytes(const ASN1_INTEGER* value) {
  if (value == nullptr) return nullptr;
  UniquePtr<BUFFER> buffer(BUFFER_new());
  if (!buffer || !BUFFER_fill(buffer.get(), ASN1_STRING_get0_data(value), ASN1_STRING_length(value))) return nullptr;
  return buffer.release();
}

BUFFER* cadb_name_text(const X509_NAME* name) {
  UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_line(bio.get(), name, 0, 0) != 1) return nullptr;
  char* text = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &text);
  UniquePtr<BUFFER> buffer(BUFFER_new());
  if (!buffer || length < 0 || length > INT_MAX - 1 ||
      !BUFFER_fill(buffer.get(), length > 0 ? text : "", static_cast<int>(length))) {
    return nullptr;
  }
  return buffer.release();
}

BUFFER* cadb_fingerprint(const X509_PUBKEY* pub) {
  const unsigned char* bits = nullptr;
  int bits_length = 0;
  const EVP_MD* md = EVP_rus_hash();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  if (md == nullptr || X509_PUBKEY_get0_param(nullptr, &bits, &bits_length, nullptr, pub) != 1 || bits_length < 0 ||
      EVP_Digest(bits, static_cast<std::size_t>(bits_length), digest, &digest_length, md, nullptr) != 1) {
    return nullptr;
  }
  UniquePtr<BUFFER> buffer(BUFFER_new());
  if (!buffer || !BUFFER_fill(buffer.get(), digest, static_cast<int>(digest_length))) return nullptr;
  return buffer.release();
}

BUFFER* cadb_key_fingerprint(const EVP_PKEY* key) {
  X509_PUBKEY* raw = nullptr;
  if (key == nullptr || X509_PUBKEY_set(&raw, const_cast<EVP_PKEY*>(key)) != 1) return nullptr;
  UniquePtr<X509_PUBKEY> pub(raw);
  return cadb_fingerprint(pub.get());
}

}  // namespace qcrypto
