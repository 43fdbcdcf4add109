// Opened private numbers and passwords leave no copy in freed memory: every
// block released through OpenSSL's allocator or the C++ heap is scanned for
// them while protected keys are decoded and opened (also when the opening is
// refused) and encrypted PKCS#8 keys are decoded with a password. (Own
// process: the allocator hooks must be set before the first allocation.)
#include <gtest/gtest.h>
#include <malloc.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/pkey/key_envelope.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/x509/gost_keys.h"
#include "tests/support/pse_memory.h"

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

void WatchBytes(const char* bytes) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::memcpy(g_patterns[g_count++], bytes, 24);
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

const char kPassword[] = "a password of thirty-two bytes!!";

int password_cb(char* buffer, int size, int, void*) {
  const int n = static_cast<int>(sizeof kPassword - 1);
  std::memcpy(buffer, kPassword, static_cast<std::size_t>(n));
  return n < size ? n : size;
}

// Protected DER of `key` (its x replaced by the block's number and a tag for
// the encoding only).
int protected_der(R3410* key, testing_support::MemoryPseStore& store, unsigned char** der) {
  unsigned char plain[32], block[36];
  BN_bn2binpad(key->x, plain, 32);
  store.encrypt_opaque(plain, block);
  OPENSSL_cleanse(plain, sizeof plain);
  BIGNUM* saved = key->x;
  key->x = BN_bin2bn(block, 32, nullptr);
  key->tag = BN_bin2bn(block + 32, 4, nullptr);
  const int n = i2d_R3410PrivateKey(key, der);
  BN_clear_free(key->x);
  BN_clear_free(key->tag);
  key->tag = nullptr;
  key->x = saved;
  return n;
}

TEST(KeyEnvelopeWipe, OpenedNumbersAndPasswordsLeaveNoCopies) {
  ASSERT_TRUE(g_hooked);
  ERR_load_crypto_strings();
  testing_support::MemoryPseStore store;
  R3410* r = GOSTS_new();
  ASSERT_TRUE(R3410_default_params(r));
  r->x = BN_new();
  ASSERT_TRUE(BN_hex2bn(&r->x, "5D1C3E0A5B7F0D2E4C6A8B9F1E3D5C7B9A0F2E4D6C8B1A3F5E7D9C0B2A4F6E81"));
  ASSERT_TRUE(R3410_generate_pubkey(r));
  unsigned char* der = nullptr;
  const int n = protected_der(r, store, &der);
  ASSERT_GT(n, 0);
  // The encrypted PKCS#8 of the plain key, made before watching.
  EVP_PKEY_ENVELOPE* plain = EVP_PKEY_ENVELOPE_new(evp_pkey_from_r3410(r), nullptr);
  ASSERT_NE(plain, nullptr);
  PKCS8_PRIV_KEY_INFO* p8 = gost_key_to_pkcs8(plain);
  ASSERT_NE(p8, nullptr);
  X509_SIG* sig =
      PKCS8_encrypt(-1, EVP_aes_128_cbc(), kPassword, static_cast<int>(sizeof kPassword - 1), nullptr, 0, 100, p8);
  ASSERT_NE(sig, nullptr);
  unsigned char* enc = nullptr;
  const int enc_n = i2d_X509_SIG(sig, &enc);
  ASSERT_GT(enc_n, 0);
  X509_SIG_free(sig);
  PKCS8_PRIV_KEY_INFO_free(p8);
  EVP_PKEY_ENVELOPE_free(plain);

  Reset();
  Watch(r->x);
  WatchBytes(kPassword);
  EVP_PKEY_ENVELOPE* opened = EVP_PKEY_decode_private(der, n, &store, nullptr, nullptr);
  EXPECT_NE(opened, nullptr);
  EVP_PKEY_ENVELOPE_free(opened);
  EVP_PKEY_ENVELOPE* from_pkcs8 = EVP_PKEY_decode_private(enc, enc_n, &store, password_cb, nullptr);
  EXPECT_NE(from_pkcs8, nullptr);
  EVP_PKEY_ENVELOPE_free(from_pkcs8);
  // Refused: the stored y no longer fits the number (the opened number
  // must still be wiped).
  BN_add_word(r->y, 2);
  unsigned char* mismatched = nullptr;
  const int m = protected_der(r, store, &mismatched);
  EXPECT_EQ(EVP_PKEY_decode_private(mismatched, m, &store, nullptr, nullptr), nullptr);
  OPENSSL_clear_free(mismatched, static_cast<std::size_t>(m));
  ERR_clear_error();
  EXPECT_EQ(g_hits.load(), 0);
  OPENSSL_clear_free(der, static_cast<std::size_t>(n));
  OPENSSL_clear_free(enc, static_cast<std::size_t>(enc_n));
  R3410_free(r);
}

}  // namespace
}  // namespace qcrypto
