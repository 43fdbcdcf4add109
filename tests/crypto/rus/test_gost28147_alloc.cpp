// The cipher and hash records and the private tables come from the library
// allocator and go back wiped. OpenSSL's allocator is replaced before anything
// allocates through it (a static initialiser of this test program); the
// replacement remembers each block's size and, while armed, checks at free
// time that the block holds only zero bytes.
#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost3411.h"
#include "tests/support/gost_test_data.h"

namespace {

std::mutex g_mu;
std::map<void*, size_t>* g_sizes = nullptr;  // blocks allocated while armed
bool g_armed = false;
int g_allocated = 0, g_freed = 0, g_freed_dirty = 0;

void* probe_malloc(size_t n, const char*, int) {
  void* p = std::malloc(n);
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_armed && p != nullptr) {
    (*g_sizes)[p] = n;
    ++g_allocated;
  }
  return p;
}

void* probe_realloc(void* p, size_t n, const char*, int) { return std::realloc(p, n); }

void probe_free(void* p, const char*, int) {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_sizes != nullptr) {
      const auto it = g_sizes->find(p);
      if (it != g_sizes->end()) {
        ++g_freed;
        const auto* b = static_cast<const unsigned char*>(p);
        for (size_t i = 0; i < it->second; ++i) {
          if (b[i] != 0) {
            ++g_freed_dirty;
            break;
          }
        }
        g_sizes->erase(it);
      }
    }
  }
  std::free(p);
}

const bool g_installed = [] {
  g_sizes = new std::map<void*, size_t>;
  return CRYPTO_set_mem_functions(probe_malloc, probe_realloc, probe_free) == 1;
}();

class Armed {
 public:
  Armed() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_armed = true;
    g_allocated = g_freed = g_freed_dirty = 0;
  }
  ~Armed() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_armed = false;
  }
};

// The probe itself: a block freed without wiping is reported.
TEST(Gost28147Alloc, ProbeSeesAnUnwipedBlock) {
  ASSERT_TRUE(g_installed);
  Armed armed;
  auto* p = static_cast<unsigned char*>(OPENSSL_malloc(64));
  ASSERT_NE(p, nullptr);
  std::memset(p, 0x5a, 64);
  OPENSSL_free(p);
  EXPECT_EQ(g_allocated, 1);
  EXPECT_EQ(g_freed, 1);
  EXPECT_EQ(g_freed_dirty, 1);
}

TEST(Gost28147Alloc, RecordsAndPrivateTablesAreWipedOnFree) {
  ASSERT_TRUE(g_installed);
  const auto foreign = test_support::sbox_by_oid("1.2.643.2.2.31.1");
  unsigned char key[32];
  std::memset(key, 0xc3, sizeof(key));
  Armed armed;
  {
    // A context record and its private table.
    qcrypto::UniquePtr<qcrypto::GOSTE_CTX> ctx(qcrypto::GOSTE_new());
    ASSERT_TRUE(ctx);
    ASSERT_EQ(qcrypto::GOSTE_ss_init(ctx.get(), 1, key, foreign.data()), 1);
    // Re-selecting releases the private table; a copy makes another.
    qcrypto::UniquePtr<qcrypto::GOSTE_CTX> copy(qcrypto::GOSTE_new());
    ASSERT_EQ(qcrypto::GOSTE_CTX_copy(copy.get(), ctx.get()), 1);
    ASSERT_EQ(qcrypto::GOSTE_set_sbox(ctx.get(), nullptr), 1);
    // The one-shot MAC makes and frees its own context.
    unsigned char mac[4];
    ASSERT_NE(qcrypto::GOSTE_mac(nullptr, key, 32, key, foreign.data(), mac), nullptr);
    // A hash context with a foreign set, fed a message.
    qcrypto::UniquePtr<qcrypto::GOSTH_CTX> h(qcrypto::GOSTH_new());
    ASSERT_TRUE(h);
    ASSERT_EQ(qcrypto::GOSTH_init(h.get(), nullptr, foreign.data()), 1);
    ASSERT_EQ(qcrypto::GOSTH_update(h.get(), key, 32), 32);
  }
  // Four records (two GOSTE_new, the MAC's own, GOSTH_new) and four private
  // tables (the first context's, the copy's, the MAC's, the hash's).
  EXPECT_EQ(g_allocated, 8);
  EXPECT_EQ(g_freed, g_allocated);
  EXPECT_EQ(g_freed_dirty, 0);
}

}  // namespace
