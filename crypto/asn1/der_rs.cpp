#include "crypto/asn1/der_rs.h"

namespace qcrypto {
namespace {

constexpr unsigned char kTagInteger = 0x02;
constexpr unsigned char kTagSequence = 0x30;

int length_size(long n) {
  if (n < 0x80) return 1;
  int bytes = 0;
  for (long v = n; v > 0; v >>= 8) ++bytes;
  return 1 + bytes;
}

unsigned char* put_header(unsigned char* p, unsigned char tag, long n) {
  *p++ = tag;
  if (n < 0x80) {
    *p++ = static_cast<unsigned char>(n);
    return p;
  }
  const int bytes = length_size(n) - 1;
  *p++ = static_cast<unsigned char>(0x80 | bytes);
  for (int i = bytes - 1; i >= 0; --i) *p++ = static_cast<unsigned char>(n >> (8 * i));
  return p;
}

// Content of a non-negative INTEGER: the magnitude, a zero byte in front when
// its top bit is set, and one zero byte for 0.
long integer_content(const BIGNUM* v) {
  const int bits = BN_num_bits(v);
  return bits == 0 ? 1 : bits / 8 + 1;
}

long integer_size(const BIGNUM* v) {
  const long c = integer_content(v);
  return 1 + length_size(c) + c;
}

unsigned char* put_integer(unsigned char* p, const BIGNUM* v) {
  const long c = integer_content(v);
  p = put_header(p, kTagInteger, c);
  BN_bn2binpad(v, p, static_cast<int>(c));
  return p + c;
}

bool read_header(const unsigned char*& p, const unsigned char* end, unsigned char tag, long& content) {
  if (end - p < 2 || *p != tag) return false;
  ++p;
  const unsigned char first = *p++;
  if (first < 0x80) {
    content = first;
  } else {
    const int bytes = first & 0x7f;
    if (bytes == 0 || bytes > 4 || end - p < bytes || *p == 0) return false;  // indefinite, absurd or padded
    long n = 0;
    for (int i = 0; i < bytes; ++i) n = (n << 8) | *p++;
    if (n < 0x80) return false;  // the short form was required
    content = n;
  }
  return content <= end - p;
}

bool read_integer(const unsigned char*& p, const unsigned char* end, BIGNUM* out) {
  long n = 0;
  if (!read_header(p, end, kTagInteger, n) || n == 0) return false;
  if (p[0] & 0x80) return false;                           // negative
  if (n > 1 && p[0] == 0 && !(p[1] & 0x80)) return false;  // not minimal
  if (BN_bin2bn(p, static_cast<int>(n), out) == nullptr) return false;
  p += n;
  return true;
}

}  // namespace

int der_rs_size(const BIGNUM* r, const BIGNUM* s) {
  if (r == nullptr || s == nullptr || BN_is_negative(r) || BN_is_negative(s)) return 0;
  const long body = integer_size(r) + integer_size(s);
  return static_cast<int>(1 + length_size(body) + body);
}

int der_rs_max_size(int n) {
  if (n < 1) return 0;
  const long integer = 1 + length_size(n + 1) + n + 1;
  return static_cast<int>(1 + length_size(2 * integer) + 2 * integer);
}

unsigned char* der_rs_put(unsigned char* p, const BIGNUM* r, const BIGNUM* s) {
  p = put_header(p, kTagSequence, integer_size(r) + integer_size(s));
  p = put_integer(p, r);
  return put_integer(p, s);
}

bool der_rs_get(const unsigned char** in, long length, BIGNUM* r, BIGNUM* s) {
  if (in == nullptr || *in == nullptr || length <= 0) return false;
  const unsigned char* p = *in;
  long body = 0;
  if (!read_header(p, p + length, kTagSequence, body)) return false;
  const unsigned char* end = p + body;
  if (!read_integer(p, end, r) || !read_integer(p, end, s) || p != end) return false;
  *in = end;
  return true;
}

}  // namespace qcrypto
