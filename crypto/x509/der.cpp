#include "crypto/x509/der.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <climits>
#include <cstring>

namespace qcrypto::der {

bool Reader::take(unsigned char tag, Reader& content, std::span<const unsigned char>* whole) {
  const unsigned char* p = p_;
  if (end_ - p < 2 || *p != tag) return false;
  ++p;
  const unsigned char first = *p++;
  std::size_t n = 0;
  if (first < 0x80) {
    n = first;
  } else {
    const int bytes = first & 0x7f;
    // Indefinite (0x80), more than four length bytes, a padded or a
    // needlessly long form: each would give a second encoding of one value.
    if (bytes == 0 || bytes > 4 || end_ - p < bytes || *p == 0) return false;
    for (int i = 0; i < bytes; ++i) n = (n << 8) | *p++;
    if (n < 0x80) return false;
  }
  if (n > static_cast<std::size_t>(end_ - p)) return false;
  content = Reader(p, n);
  if (whole != nullptr) *whole = std::span<const unsigned char>(p_, static_cast<std::size_t>(p + n - p_));
  p_ = p + n;
  return true;
}

bool Reader::integer(BIGNUM* out, std::size_t max_bytes) {
  Reader c;
  const unsigned char* start = p_;
  if (!take(kInteger, c) || c.left() == 0 || c.left() > max_bytes || (c.p_[0] & 0x80) ||
      (c.left() > 1 && c.p_[0] == 0 && !(c.p_[1] & 0x80)) ||
      BN_bin2bn(c.p_, static_cast<int>(c.left()), out) == nullptr) {
    p_ = start;
    return false;
  }
  return true;
}

bool Reader::small(long& out, long max) {
  Reader c;
  const unsigned char* start = p_;
  if (!take(kInteger, c) || c.left() == 0 || c.left() > sizeof(long) || (c.p_[0] & 0x80) ||
      (c.left() > 1 && c.p_[0] == 0 && !(c.p_[1] & 0x80))) {
    p_ = start;
    return false;
  }
  unsigned long v = 0;
  for (const unsigned char* q = c.p_; q != c.end_; ++q) v = (v << 8) | *q;
  if (v > static_cast<unsigned long>(max)) {
    p_ = start;
    return false;
  }
  out = static_cast<long>(v);
  return true;
}

bool Reader::null() {
  Reader c;
  const unsigned char* start = p_;
  if (!take(kNull, c) || !c.empty()) {
    p_ = start;
    return false;
  }
  return true;
}

void put_header(Buffer& out, unsigned char tag, std::size_t n) {
  out.push_back(tag);
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
    return;
  }
  int bytes = 0;
  for (std::size_t v = n; v > 0; v >>= 8) ++bytes;
  out.push_back(static_cast<unsigned char>(0x80 | bytes));
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<unsigned char>(n >> (8 * i)));
}

void put_tlv(Buffer& out, unsigned char tag, std::span<const unsigned char> content) {
  put_header(out, tag, content.size());
  out.insert(out.end(), content.begin(), content.end());
}

bool put_integer(Buffer& out, const BIGNUM* v) {
  if (v == nullptr || BN_is_negative(v)) return false;
  const int bits = BN_num_bits(v);
  const std::size_t n = bits == 0 ? 1 : static_cast<std::size_t>(bits / 8 + 1);
  put_header(out, kInteger, n);
  const std::size_t at = out.size();
  out.resize(at + n);
  return BN_bn2binpad(v, out.data() + at, static_cast<int>(n)) == static_cast<int>(n);
}

void put_small(Buffer& out, long v) {
  unsigned char bytes[sizeof(long) + 1];
  std::size_t n = 0;
  unsigned long u = static_cast<unsigned long>(v);
  do {
    bytes[sizeof(bytes) - 1 - n++] = static_cast<unsigned char>(u);
    u >>= 8;
  } while (u != 0);
  if (bytes[sizeof(bytes) - n] & 0x80) bytes[sizeof(bytes) - 1 - n++] = 0;
  put_tlv(out, kInteger, std::span<const unsigned char>(bytes + sizeof(bytes) - n, n));
}

void put_null(Buffer& out) {
  out.push_back(kNull);
  out.push_back(0);
}

bool put_oid(Buffer& out, const char* dotted) {
  const Buffer tlv = oid_tlv(dotted);
  out.insert(out.end(), tlv.begin(), tlv.end());
  return !tlv.empty();
}

Buffer oid_tlv(const char* dotted) {
  Buffer out;
  if (dotted == nullptr) return out;
  ASN1_OBJECT* obj = OBJ_txt2obj(dotted, 1);
  if (obj == nullptr) return out;
  const int n = i2d_ASN1_OBJECT(obj, nullptr);
  if (n > 0) {
    out.resize(static_cast<std::size_t>(n));
    unsigned char* p = out.data();
    if (i2d_ASN1_OBJECT(obj, &p) != n) out.clear();
  }
  ASN1_OBJECT_free(obj);
  return out;
}

int emit(const Buffer& bytes, unsigned char** out) {
  if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT_MAX)) return 0;
  const int n = static_cast<int>(bytes.size());
  if (out == nullptr) return n;
  if (*out == nullptr) {
    auto* p = static_cast<unsigned char*>(OPENSSL_malloc(bytes.size()));
    if (p == nullptr) return 0;
    std::memcpy(p, bytes.data(), bytes.size());
    *out = p;
    return n;
  }
  std::memcpy(*out, bytes.data(), bytes.size());
  *out += n;
  return n;
}

}  // namespace qcrypto::der
