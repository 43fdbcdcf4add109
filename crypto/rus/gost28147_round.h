// Round function and the three block cores, inlined into every path that runs
// them (single block, multi-block, MAC), so that each path keeps its registers
// in locals and the compiler can interleave independent blocks.
#pragma once

#include <cstdint>

namespace qcrypto::gost_detail {

// The expanded table already carries the 11-bit rotation, so one round is four
// lookups and XORs (the four terms occupy disjoint bits). The sub-tables are
// addressed through their own base pointers so the offsets fold into the
// loads, and the other half is folded in first, with the lookups in the order
// their indices become ready: the serial modes are bound by this chain.
inline uint32_t gost_round(const uint32_t* t, uint32_t other, uint32_t x) {
  const uint32_t* t1 = t + 256;
  const uint32_t* t2 = t + 512;
  const uint32_t* t3 = t + 768;
  return (((other ^ t[x & 255]) ^ t3[x >> 24]) ^ t1[(x >> 8) & 255]) ^ t2[(x >> 16) & 255];
}

inline uint32_t gost_f(const uint32_t* t, uint32_t x) { return gost_round(t, 0, x); }

// Two rounds without the swap: the swap is expressed by alternating which
// variable is updated.
#define GOST_2R(t, a, b, ka, kb)            \
  do {                                      \
    (b) = gost_round((t), (b), (a) + (ka)); \
    (a) = gost_round((t), (a), (b) + (kb)); \
  } while (0)

#define GOST_8R_FWD(t, a, b, k)       \
  do {                                \
    GOST_2R(t, a, b, (k)[0], (k)[1]); \
    GOST_2R(t, a, b, (k)[2], (k)[3]); \
    GOST_2R(t, a, b, (k)[4], (k)[5]); \
    GOST_2R(t, a, b, (k)[6], (k)[7]); \
  } while (0)

#define GOST_8R_REV(t, a, b, k)       \
  do {                                \
    GOST_2R(t, a, b, (k)[7], (k)[6]); \
    GOST_2R(t, a, b, (k)[5], (k)[4]); \
    GOST_2R(t, a, b, (k)[3], (k)[2]); \
    GOST_2R(t, a, b, (k)[1], (k)[0]); \
  } while (0)

// 32 rounds; the last one does not swap, which after 31 swaps leaves the
// halves exchanged relative to the alternating form.
inline void gost_encrypt(const uint32_t* t, const uint32_t* k, uint32_t& n1, uint32_t& n2) {
  uint32_t a = n1, b = n2;
  GOST_8R_FWD(t, a, b, k);
  GOST_8R_FWD(t, a, b, k);
  GOST_8R_FWD(t, a, b, k);
  GOST_8R_REV(t, a, b, k);
  n1 = b;
  n2 = a;
}

inline void gost_decrypt(const uint32_t* t, const uint32_t* k, uint32_t& n1, uint32_t& n2) {
  uint32_t a = n1, b = n2;
  GOST_8R_FWD(t, a, b, k);
  GOST_8R_REV(t, a, b, k);
  GOST_8R_REV(t, a, b, k);
  GOST_8R_REV(t, a, b, k);
  n1 = b;
  n2 = a;
}

// 16 rounds, all swapping: an even count leaves the halves in place.
inline void gost_mac16(const uint32_t* t, const uint32_t* k, uint32_t& n1, uint32_t& n2) {
  uint32_t a = n1, b = n2;
  GOST_8R_FWD(t, a, b, k);
  GOST_8R_FWD(t, a, b, k);
  n1 = a;
  n2 = b;
}

#undef GOST_8R_REV
#undef GOST_8R_FWD
#undef GOST_2R

}  // namespace qcrypto::gost_detail
