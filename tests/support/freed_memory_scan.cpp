#include "tests/support/freed_memory_scan.h"

#include <openssl/crypto.h>
#include <string.h>  // memmem

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace test_support::freed_scan {
namespace {

// Precedes every block handed out: the size to scan, and whether the block
// was made while the zero check was armed. 16 bytes keep the user part as
// aligned as malloc's.
struct alignas(16) Header {
  std::size_t size;
  bool zero_checked;
};

struct Pattern {
  unsigned char bytes[kMaxPatternBytes];
  std::size_t size;
};

// All state is constant-initialised: operator new may run before any
// dynamic initialiser of this file.
constinit std::mutex g_mutex;
constinit Pattern g_patterns[kMaxPatterns] = {};
constinit std::size_t g_pattern_count = 0;
constinit int g_hits = 0;
constinit std::atomic<bool> g_scanning{true};
constinit std::atomic<bool> g_scan_cxx{false};
constinit std::atomic<bool> g_zero_armed{false};
constinit ZeroCounts g_zero = {};
constinit std::atomic<RefusePredicate> g_refuse{nullptr};

enum class Source { kOpenssl, kCxx };

bool AllZero(const unsigned char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

void* Alloc(std::size_t n, Source source) {
  auto* h = static_cast<Header*>(std::malloc(n + sizeof(Header)));
  if (h == nullptr) return nullptr;
  h->size = n;
  h->zero_checked = false;
  if (source == Source::kOpenssl && g_zero_armed.load()) {
    h->zero_checked = true;
    std::lock_guard lock(g_mutex);
    ++g_zero.allocated;
  }
  return h + 1;
}

void Release(void* p, Source source) {
  if (p == nullptr) return;
  Header* h = static_cast<Header*>(p) - 1;
  const auto* b = static_cast<const unsigned char*>(p);
  const bool scan = g_scanning.load() && (source == Source::kOpenssl || g_scan_cxx.load());
  if (scan || h->zero_checked) {
    std::lock_guard lock(g_mutex);
    if (scan) {
      for (std::size_t i = 0; i < g_pattern_count; ++i) {
        if (memmem(b, h->size, g_patterns[i].bytes, g_patterns[i].size) != nullptr) ++g_hits;
      }
    }
    if (h->zero_checked) {
      ++g_zero.freed;
      if (!AllZero(b, h->size)) ++g_zero.dirty;
    }
  }
  std::free(h);
}

void* OpensslMalloc(std::size_t n, const char*, int) {
  const RefusePredicate refuse = g_refuse.load();
  if (refuse != nullptr && refuse(n)) return nullptr;
  return Alloc(n, Source::kOpenssl);
}

// A moved block's old copy is released like any other block: it must not
// keep a secret either.
void* OpensslRealloc(void* p, std::size_t n, const char* file, int line) {
  if (p == nullptr) return OpensslMalloc(n, file, line);
  void* fresh = OpensslMalloc(n, file, line);
  if (fresh == nullptr) return nullptr;
  std::memcpy(fresh, p, std::min(n, (static_cast<Header*>(p) - 1)->size));
  Release(p, Source::kOpenssl);
  return fresh;
}

void OpensslFree(void* p, const char*, int) { Release(p, Source::kOpenssl); }

const bool g_installed = CRYPTO_set_mem_functions(OpensslMalloc, OpensslRealloc, OpensslFree) == 1;

}  // namespace

bool installed() { return g_installed; }

void Watch(const unsigned char* bytes, std::size_t n) {
  std::lock_guard lock(g_mutex);
  if (n == 0 || n > kMaxPatternBytes || g_pattern_count == kMaxPatterns) std::abort();
  Pattern& slot = g_patterns[g_pattern_count++];
  std::memcpy(slot.bytes, bytes, n);
  slot.size = n;
}

void Watch(const BIGNUM* v, std::size_t keep) {
  unsigned char be[32];
  unsigned char le[32];
  if (keep == 0 || keep > sizeof(be) || BN_bn2binpad(v, be, sizeof(be)) != static_cast<int>(sizeof(be))) std::abort();
  std::reverse_copy(be, be + sizeof(be), le);
  Watch(be + sizeof(be) - keep, keep);
  Watch(le, keep);
  OPENSSL_cleanse(be, sizeof(be));
  OPENSSL_cleanse(le, sizeof(le));
}

int hits() {
  std::lock_guard lock(g_mutex);
  return g_hits;
}

void reset() {
  std::lock_guard lock(g_mutex);
  OPENSSL_cleanse(g_patterns, sizeof(g_patterns));
  g_pattern_count = 0;
  g_hits = 0;
}

void set_scanning(bool on) { g_scanning = on; }

void scan_cxx_heap(bool on) { g_scan_cxx = on; }

ZeroCheck::ZeroCheck() {
  std::lock_guard lock(g_mutex);
  g_zero = {};
  g_zero_armed = true;
}

ZeroCheck::~ZeroCheck() { g_zero_armed = false; }

ZeroCounts zero_counts() {
  std::lock_guard lock(g_mutex);
  return g_zero;
}

void refuse_allocations(RefusePredicate pred) { g_refuse = pred; }

}  // namespace test_support::freed_scan

// The C++ heap goes through the same blocks, so operator delete can be
// scanned as well.
namespace fs = test_support::freed_scan;

void* operator new(std::size_t n) {
  void* p = fs::Alloc(n == 0 ? 1 : n, fs::Source::kCxx);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return fs::Alloc(n == 0 ? 1 : n, fs::Source::kCxx);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { fs::Release(p, fs::Source::kCxx); }
void operator delete[](void* p) noexcept { fs::Release(p, fs::Source::kCxx); }
void operator delete(void* p, std::size_t) noexcept { fs::Release(p, fs::Source::kCxx); }
void operator delete[](void* p, std::size_t) noexcept { fs::Release(p, fs::Source::kCxx); }
void operator delete(void* p, const std::nothrow_t&) noexcept { fs::Release(p, fs::Source::kCxx); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { fs::Release(p, fs::Source::kCxx); }
