// A message read in place (DER) and the same bytes read through PEM armour,
// which the reader decodes as it walks instead of in memory first. The two
// roads walk the same structure; the streaming one takes an entry only in
// a definite length of the shortest form, so it may refuse what the other
// reads but never reads what the other refuses, and when both read a
// message they agree on its kind and its entries.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "quillon2/ql_codes.h"
#include "quillon2/ql_crypt.h"

namespace {

std::string pem_of(const std::uint8_t* data, std::size_t size) {
  std::string out = "-----BEGIN PKCS7-----\n";
  unsigned char line[65];
  for (std::size_t at = 0; at < size; at += 48) {
    const std::size_t n = size - at < 48 ? size - at : 48;
    const int len = EVP_EncodeBlock(line, data + at, static_cast<int>(n));
    out.append(reinterpret_cast<const char*>(line), static_cast<std::size_t>(len));
    out.push_back('\n');
  }
  out += "-----END PKCS7-----\n";
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillon2;
  if (size == 0) return 0;
  int der_kind = -1;
  QL_MESSAGE* der = nullptr;
  if (QL_read_message_buffer(data, static_cast<long>(size), &der_kind, &der) != QL_OK) std::abort();
  const std::string pem = pem_of(data, size);
  int pem_kind = -1;
  QL_MESSAGE* streamed = nullptr;
  if (QL_read_message_buffer(reinterpret_cast<const unsigned char*>(pem.data()), static_cast<long>(pem.size()),
                             &pem_kind, &streamed) != QL_OK)
    std::abort();
  if ((streamed == nullptr) != (pem_kind == QL_KIND_OTHER) || (der == nullptr) != (der_kind == QL_KIND_OTHER))
    std::abort();
  // Only bytes that start as DER have the same reading in both forms.
  if (streamed != nullptr && data[0] == 0x30) {
    if (der == nullptr || der_kind != pem_kind) std::abort();
    if (QL_signer_count(der) != QL_signer_count(streamed) || QL_recipient_count(der) != QL_recipient_count(streamed))
      std::abort();
  }
  QL_free_message(der);
  QL_free_message(streamed);
  return 0;
}
