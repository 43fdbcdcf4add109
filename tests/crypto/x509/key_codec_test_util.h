// Keys, encodings and a small independent TLV walker shared by the key codec
// tests.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstddef>
#include <span>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/r3410/r3410.h"
#include "crypto/x509/gost_keys.h"

namespace qcrypto::keytest {

using Bytes = std::vector<unsigned char>;

// A GOST R 34.10-94 key on the built-in parameters with a random x.
UniquePtr<R3410> MakeR3410();
// A GOST R 34.10-2001 key with a random d on the built-in curve 191
// (`test_curve` false) or on the second built-in curve.
UniquePtr<ECGOST> MakeEcgost(bool test_curve);

// i2d through its allocating mode; also checks that the length-only and the
// write-and-advance modes agree with it.
template <class T>
Bytes Encode(int (*i2d)(const T*, unsigned char**), const T* rec) {
  const int n = i2d(rec, nullptr);
  unsigned char* out = nullptr;
  const int m = i2d(rec, &out);
  EXPECT_EQ(n, m);
  if (m <= 0 || out == nullptr) return {};
  Bytes bytes(out, out + m);
  OPENSSL_clear_free(out, static_cast<std::size_t>(m));
  Bytes again(static_cast<std::size_t>(m) + 3, 0xEE);
  unsigned char* p = again.data();
  EXPECT_EQ(i2d(rec, &p), m);
  EXPECT_EQ(p, again.data() + m);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), again.begin()));
  EXPECT_EQ(again[static_cast<std::size_t>(m)], 0xEE);
  return bytes;
}

// One TLV of a byte string as the tests see it (single-byte tags, definite
// lengths): header size and content size.
struct Tlv {
  unsigned char tag;
  std::size_t header;
  std::size_t length;
};
Tlv ParseTlv(std::span<const unsigned char> b);
// tag, minimal DER length, content.
Bytes MakeTlv(unsigned char tag, std::span<const unsigned char> content);
// The elements of a constructed TLV's content.
std::vector<Bytes> Elements(std::span<const unsigned char> tlv);
Bytes Join(const std::vector<Bytes>& parts);

bool BnEq(const BIGNUM* a, const BIGNUM* b);

}  // namespace qcrypto::keytest
