// Private numbers leave no copy in freed memory: every block released through
// OpenSSL's allocator or the C++ heap is scanned for them while private keys
// are encoded, decoded (also into a given record and on failure paths),
// written as PEM and read back. (Own process: the allocator hooks must be set
// before the first allocation.)
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>

#include <cstring>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/x509/gost_keys.h"
#include "tests/support/freed_memory_scan.h"

namespace qcrypto {
namespace {

// A byte buffer for private DER in the test itself, wiped when released.
struct Der {
  unsigned char* data = nullptr;
  int length = 0;
  ~Der() { OPENSSL_clear_free(data, static_cast<std::size_t>(length > 0 ? length : 0)); }
};

template <class T>
void Exercise(T* key, int (*i2d)(const T*, unsigned char**), T* (*d2i)(T**, const unsigned char**, long),
              int (*pem_write)(BIO*, const T*), T* (*pem_read)(BIO*, T**), T* (*d2i_bio)(BIO*, T**),
              void (*free_fn)(T*)) {
  Der der;
  der.length = i2d(key, &der.data);
  ASSERT_GT(der.length, 0);
  const unsigned char* p = der.data;
  T* copy = d2i(nullptr, &p, der.length);
  ASSERT_NE(copy, nullptr);
  // Into a given record (which holds a private number already), and failure
  // paths: a truncated input and bytes after the last element.
  p = der.data;
  ASSERT_EQ(d2i(&copy, &p, der.length), copy);
  p = der.data;
  EXPECT_EQ(d2i(nullptr, &p, der.length - 1), nullptr);
  {
    unsigned char* longer = static_cast<unsigned char*>(OPENSSL_malloc(static_cast<std::size_t>(der.length) + 3));
    std::memcpy(longer, der.data, static_cast<std::size_t>(der.length));
    longer[der.length] = 0x05;
    longer[der.length + 1] = 0x00;
    longer[2] = static_cast<unsigned char>(longer[2] + 2);  // the long-form length byte of the outer SEQUENCE
    const unsigned char* q = longer;
    EXPECT_EQ(d2i(nullptr, &q, der.length + 2), nullptr);
    OPENSSL_clear_free(longer, static_cast<std::size_t>(der.length) + 3);
  }
  BIO* mem = BIO_new(BIO_s_mem());
  ASSERT_EQ(pem_write(mem, key), 1);
  T* from_pem = pem_read(mem, nullptr);
  EXPECT_NE(from_pem, nullptr);
  BIO_free(mem);
  BIO* raw = BIO_new_mem_buf(der.data, der.length);
  T* from_bio = d2i_bio(raw, nullptr);
  EXPECT_NE(from_bio, nullptr);
  BIO_free(raw);
  free_fn(from_bio);
  free_fn(from_pem);
  free_fn(copy);
  ERR_clear_error();
}

namespace scan = test_support::freed_scan;

// The scanner itself: a private number freed without wiping is reported,
// from OpenSSL's allocator and from the C++ heap.
TEST(KeyCodecWipe, ScannerSeesAnUnwipedCopy) {
  ASSERT_TRUE(scan::installed());
  scan::scan_cxx_heap(true);
  BIGNUM* x = nullptr;
  ASSERT_TRUE(BN_hex2bn(&x, "5D1C3E0A5B7F0D2E4C6A8B9F1E3D5C7B9A0F2E4D6C8B1A3F5E7D9C0B2A4F6E81"));
  scan::reset();
  scan::Watch(x);
  BN_free(BN_dup(x));  // not cleared: the scanner must notice
  EXPECT_GT(scan::hits(), 0) << "a BIGNUM's words";
  scan::reset();
  scan::Watch(x);
  {
    std::vector<unsigned char> copy(32);
    ASSERT_EQ(BN_bn2binpad(x, copy.data(), 32), 32);
  }
  EXPECT_GT(scan::hits(), 0) << "a big-endian image in a vector";
  scan::reset();
  BN_clear_free(x);
}

TEST(KeyCodecWipe, PrivateNumbersLeaveNoCopies) {
  ASSERT_TRUE(scan::installed());
  scan::scan_cxx_heap(true);
  // R3410: built on the built-in parameters, y derived before watching.
  R3410* r = GOSTS_new();
  ASSERT_TRUE(R3410_default_params(r));
  r->x = BN_new();
  ASSERT_TRUE(BN_hex2bn(&r->x, "5D1C3E0A5B7F0D2E4C6A8B9F1E3D5C7B9A0F2E4D6C8B1A3F5E7D9C0B2A4F6E81"));
  ASSERT_TRUE(R3410_generate_pubkey(r));
  ECGOST* e = ECGOST_new(nullptr);
  ASSERT_TRUE(BN_hex2bn(&e->d, "3A2B1C0D9E8F7A6B5C4D3E2F1A0B9C8D7E6F5A4B3C2D1E0F9A8B7C6D5E4F3A2B"));
  ASSERT_TRUE(ECGOST_generate_pubkey(e));
  scan::reset();
  scan::Watch(r->x);
  scan::Watch(e->d);
  Exercise(r, i2d_R3410PrivateKey, d2i_R3410PrivateKey, PEM_write_bio_R3410PrivateKey, PEM_read_bio_R3410PrivateKey,
           d2i_R3410PrivateKey_bio, R3410_free);
  Exercise(e, i2d_ECGOSTPrivateKey, d2i_ECGOSTPrivateKey, PEM_write_bio_ECGOSTPrivateKey, PEM_read_bio_ECGOSTPrivateKey,
           d2i_ECGOSTPrivateKey_bio, ECGOST_free);
  R3410_free(r);
  ECGOST_free(e);
  EXPECT_EQ(scan::hits(), 0);
}

}  // namespace
}  // namespace qcrypto
