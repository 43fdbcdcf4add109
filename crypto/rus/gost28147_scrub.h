// Overwriting the stack area that a returned call used.
//
// The block code wipes its named buffers, but the compiler also keeps copies
// of keys, plaintext, keystream, S-box nodes and hash values in spill slots
// of the frames it builds. Called from the same frame as the code that did
// the work, once that code has returned, scrub_stack's own frame covers the
// area those frames used (when kBytes exceeds their depth).
#pragma once

#include <cstddef>
#include <cstring>

namespace qcrypto::gost_detail {

template <size_t kBytes>
[[gnu::noinline, gnu::no_sanitize_address]] void scrub_stack() {
  unsigned char area[kBytes];
  std::memset(area, 0, sizeof(area));
  // Keeps the stores: the area is otherwise dead.
  asm volatile("" : : "r"(area) : "memory");
}

}  // namespace qcrypto::gost_detail
