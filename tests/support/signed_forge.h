// Forged signed messages: what an attacker holding a genuine message can
// build from it without the signer's key.
#pragma once

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>
#include <vector>

namespace test_support {

// The message with its first signer's signed attributes dropped and the DER
// of those attributes as its content (in place of an attached content; in
// *content either way, for a detached message the content to check it
// against): the signer's signature is over exactly that content's digest.
// Empty on failure or when the signer has no signed attributes.
inline std::vector<unsigned char> attributes_as_content(const std::vector<unsigned char>& message,
                                                        std::vector<unsigned char>* content) {
  const unsigned char* p = message.data();
  const std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(message.size())),
                                                         &PKCS7_free);
  if (!p7 || PKCS7_type_is_signed(p7.get()) == 0) return {};
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
  if (si == nullptr || sk_X509_ATTRIBUTE_num(si->auth_attr) <= 0) return {};
  unsigned char* der = nullptr;
  const int n = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &der, ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
  if (n <= 0) return {};
  content->assign(der, der + n);
  OPENSSL_free(der);
  sk_X509_ATTRIBUTE_pop_free(si->auth_attr, X509_ATTRIBUTE_free);
  si->auth_attr = nullptr;
  ASN1_OCTET_STRING* data = p7->d.sign->contents->d.data;
  if (data != nullptr && ASN1_OCTET_STRING_set(data, content->data(), n) != 1) return {};
  unsigned char* out = nullptr;
  const int len = i2d_PKCS7(p7.get(), &out);
  if (len <= 0) return {};
  std::vector<unsigned char> result(out, out + len);
  OPENSSL_free(out);
  return result;
}

}  // namespace test_support
