// Constant-time table scans of the fixed-width code: all entries are read and
// the one at `index` (1-based; 0 selects none and gives zeros) is kept by
// masks.
#pragma once

#include <cstdint>

namespace qcrypto::fp256 {

using u64 = std::uint64_t;

// `entries` entries of `words` 64-bit words each (4, 8 or 12) into `out`.
void select_words(u64* out, const u64* table, int entries, int words, u64 index);

// The AVX2 form (ec_fp256_select_avx2.cpp, built with AVX2 and BMI2); only
// when avx2_usable(), which checks the processor for both.
void select_words_avx2(u64* out, const u64* table, int entries, int words, u64 index);
bool avx2_usable();

}  // namespace qcrypto::fp256
