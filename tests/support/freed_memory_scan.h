// Looks into every block a test program frees, for secrets left behind.
//
// Linking freed_memory_scan.cpp into a test program replaces OpenSSL's
// allocator (a static initialiser, so before OpenSSL's first allocation) and
// the replaceable operators new and delete. Every block then carries a small
// header with its size, and at release time the block is searched, while
// scanning is on, for the watched byte patterns; blocks allocated while the
// zero check is armed must come back all zero. Nothing is allocated inside
// the hooks: the pattern table is fixed.
//
// Each program that links it is its own process: the allocator can only be
// replaced before the first allocation.
#pragma once

#include <openssl/bn.h>

#include <cstddef>

namespace test_support::freed_scan {

// Whether OpenSSL accepted the replacement allocator (false when something
// allocated through OpenSSL before the static initialiser ran).
bool installed();

// --- Pattern scan -------------------------------------------------------

// Searches freed blocks for these bytes (at most kMaxPatternBytes of them).
inline constexpr std::size_t kMaxPatterns = 16;
inline constexpr std::size_t kMaxPatternBytes = 32;
void Watch(const unsigned char* bytes, std::size_t n);

// Watches a number of up to 256 bits in both byte orders: the big-endian
// image (encoded buffers) and the little-endian one (a BIGNUM's words). Only
// the `keep` least significant bytes of each are searched: they suffice to
// recognise the number and still match where a leading zero word was
// trimmed.
void Watch(const BIGNUM* v, std::size_t keep = 24);

// Matches found since the last reset(): one per freed block and pattern.
int hits();

// Forgets the patterns and the matches.
void reset();

// Scanning is on by default; tests that only look at chosen operations turn
// it off and on around them.
void set_scanning(bool on);

// Whether blocks freed through operator delete are scanned too (off by
// default: a test's own unwiped buffers are not the library's fault).
void scan_cxx_heap(bool on);

// --- Zero check ---------------------------------------------------------

struct ZeroCounts {
  int allocated = 0;  // OpenSSL blocks allocated while armed
  int freed = 0;      // of those, released so far
  int dirty = 0;      // of those, released holding a non-zero byte
};

// While alive, blocks OpenSSL allocates are marked; whenever a marked block
// is released it is counted and checked for non-zero bytes. Arming resets
// the counts.
class ZeroCheck {
 public:
  ZeroCheck();
  ~ZeroCheck();
  ZeroCheck(const ZeroCheck&) = delete;
  ZeroCheck& operator=(const ZeroCheck&) = delete;
};

ZeroCounts zero_counts();

// --- Refused allocations ------------------------------------------------

// While set, OpenSSL allocations (and reallocations) whose size the
// predicate accepts fail. nullptr allows everything again.
using RefusePredicate = bool (*)(std::size_t n);
void refuse_allocations(RefusePredicate pred);

}  // namespace test_support::freed_scan
