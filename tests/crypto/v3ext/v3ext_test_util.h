// DER pieces for extension values the tests write by hand, and the record
// rendering the golden files hold.
#pragma once

#include <openssl/objects.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "crypto/v3ext/cadb_v3ext.h"

namespace v3ext_test {

using Bytes = std::vector<unsigned char>;

inline Bytes tlv(unsigned char tag, const Bytes& content) {
  Bytes out{tag};
  const std::size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else if (n < 0x100) {
    out.insert(out.end(), {0x81, static_cast<unsigned char>(n)});
  } else {
    out.insert(out.end(), {0x82, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n & 0xFF)});
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline Bytes oid(const char* dotted) {
  ASN1_OBJECT* obj = OBJ_txt2obj(dotted, 1);
  unsigned char* der = nullptr;
  const int n = obj != nullptr ? i2d_ASN1_OBJECT(obj, &der) : -1;
  Bytes out = n > 0 ? Bytes(der, der + n) : Bytes{};
  OPENSSL_free(der);
  ASN1_OBJECT_free(obj);
  return out;
}

inline Bytes seq(std::initializer_list<Bytes> parts) { return tlv(0x30, cat(parts)); }

// Every field of the records of one split, one line per field, nested
// records indented; a list that is absent reads "(none)".
std::string render(const qcrypto::CADB_V3EXT_LIST* list);

}  // namespace v3ext_test
