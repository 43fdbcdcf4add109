// The masked table scan with 256-bit vectors (this file is built with AVX2;
// callers check the processor first). Every entry is loaded and combined with
// a mask from a vector compare: no branch and no address depends on the index.
#include <immintrin.h>

#include "crypto/ec/ec_fp256_select.h"

namespace qcrypto::fp256 {

void select_words_avx2(u64* out, const u64* table, int entries, int words, u64 index) {
  const __m256i want = _mm256_set1_epi64x(static_cast<long long>(index));
  const __m256i one = _mm256_set1_epi64x(1);
  __m256i position = _mm256_setzero_si256();
  __m256i acc[3] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
  const int vectors = words / 4;
  for (int i = 0; i < entries; ++i) {
    position = _mm256_add_epi64(position, one);  // i + 1
    const __m256i mask = _mm256_cmpeq_epi64(position, want);
    const u64* entry = table + static_cast<long>(i) * words;
    for (int v = 0; v < vectors; ++v) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(entry + 4 * v));
      acc[v] = _mm256_or_si256(acc[v], _mm256_and_si256(x, mask));
    }
  }
  for (int v = 0; v < vectors; ++v) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * v), acc[v]);
}

}  // namespace qcrypto::fp256
