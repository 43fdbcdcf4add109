// Private numbers leave no copy in freed memory: every block released through
// OpenSSL's allocator or the C++ heap is scanned for them while private keys
// are encoded, decoded (also into a given record and on failure paths),
// written as PEM and read back. (Own process: the allocator hooks must be set
// before the first allocation.)
#include <gtest/gtest.h>
#include <malloc.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/x509/gost_keys.h"

namespace {

// Patterns searched in freed blocks, and how often each was found. Plain
// arrays: the scanner must not allocate.
constexpr int kMaxPatterns = 8;
std::mutex g_mutex;
unsigned char g_patterns[kMaxPatterns][24];
int g_count = 0;
std::atomic<int> g_hits{0};

void Scan(void* p) {
  if (p == nullptr) return;
  const std::size_t n = malloc_usable_size(p);
  auto* b = static_cast<unsigned char*>(p);
  std::lock_guard<std::mutex> lock(g_mutex);
  for (int i = 0; i < g_count; ++i) {
    if (n >= 24 && std::search(b, b + n, g_patterns[i], g_patterns[i] + 24) != b + n) ++g_hits;
  }
}

void* HookMalloc(size_t n, const char*, int) { return std::malloc(n); }
void* HookRealloc(void* p, size_t n, const char*, int) {
  if (p == nullptr) return std::malloc(n);
  const size_t old = malloc_usable_size(p);
  void* q = std::malloc(n);
  if (q == nullptr) return nullptr;
  std::memcpy(q, p, std::min(old, n));
  Scan(p);
  std::free(p);
  return q;
}
void HookFree(void* p, const char*, int) {
  Scan(p);
  std::free(p);
}

const bool g_hooked = CRYPTO_set_mem_functions(HookMalloc, HookRealloc, HookFree) == 1;

// Watches a number in both byte orders (big-endian buffers and the
// little-endian words of a BIGNUM).
void Watch(const BIGNUM* v) {
  unsigned char be[32];
  BN_bn2binpad(v, be, 32);
  std::lock_guard<std::mutex> lock(g_mutex);
  std::memcpy(g_patterns[g_count++], be + 8, 24);
  for (int i = 0; i < 24; ++i) g_patterns[g_count][i] = be[31 - i];
  ++g_count;
  OPENSSL_cleanse(be, sizeof(be));
}

void Reset() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_count = 0;
  g_hits = 0;
}

}  // namespace

void* operator new(std::size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n == 0 ? 1 : n); }
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n == 0 ? 1 : n); }
void operator delete[](void* p) noexcept {
  Scan(p);
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  Scan(p);
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  Scan(p);
  std::free(p);
}
void operator delete(void* p) noexcept {
  Scan(p);
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  Scan(p);
  std::free(p);
}

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

TEST(KeyCodecWipe, PrivateNumbersLeaveNoCopies) {
  ASSERT_TRUE(g_hooked);
  // R3410: built on the built-in parameters, y derived before watching.
  R3410* r = GOSTS_new();
  ASSERT_TRUE(R3410_default_params(r));
  r->x = BN_new();
  ASSERT_TRUE(BN_hex2bn(&r->x, "5D1C3E0A5B7F0D2E4C6A8B9F1E3D5C7B9A0F2E4D6C8B1A3F5E7D9C0B2A4F6E81"));
  ASSERT_TRUE(R3410_generate_pubkey(r));
  ECGOST* e = ECGOST_new(nullptr);
  ASSERT_TRUE(BN_hex2bn(&e->d, "3A2B1C0D9E8F7A6B5C4D3E2F1A0B9C8D7E6F5A4B3C2D1E0F9A8B7C6D5E4F3A2B"));
  ASSERT_TRUE(ECGOST_generate_pubkey(e));
  Reset();
  Watch(r->x);
  Watch(e->d);
  Exercise(r, i2d_R3410PrivateKey, d2i_R3410PrivateKey, PEM_write_bio_R3410PrivateKey, PEM_read_bio_R3410PrivateKey,
           d2i_R3410PrivateKey_bio, R3410_free);
  Exercise(e, i2d_ECGOSTPrivateKey, d2i_ECGOSTPrivateKey, PEM_write_bio_ECGOSTPrivateKey,
           PEM_read_bio_ECGOSTPrivateKey, d2i_ECGOSTPrivateKey_bio, ECGOST_free);
  R3410_free(r);
  ECGOST_free(e);
  EXPECT_EQ(g_hits.load(), 0);
}

}  // namespace
}  // namespace qcrypto
