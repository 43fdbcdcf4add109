// The portable masked scan and the choice of the vector one.
#include "crypto/ec/ec_fp256_select.h"

#include <cstring>

#include "crypto/ec/ec_fp256_field.h"

namespace qcrypto::fp256 {

bool avx2_usable() {
#if defined(__x86_64__) && defined(__GNUC__)
  // The vector file is compiled with -mavx2 -mbmi2: the compiler may use
  // either instruction set in it.
  static const bool usable = __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("bmi2") != 0;
  return usable;
#else
  return false;
#endif
}

void select_words(u64* out, const u64* table, int entries, int words, u64 index) {
  if (avx2_usable() && words % 4 == 0 && words <= 12) {
    select_words_avx2(out, table, entries, words, index);
    return;
  }
  u64 acc[12] = {};
  for (int i = 0; i < entries; ++i) {
    const u64 m = ct_eq_mask(index, static_cast<u64>(i) + 1);
    for (int w = 0; w < words; ++w) acc[w] |= table[static_cast<long>(i) * words + w] & m;
  }
  std::memcpy(out, acc, sizeof(u64) * static_cast<std::size_t>(words));
}

}  // namespace qcrypto::fp256
