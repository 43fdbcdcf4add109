// Secret / declassify annotations for the constant-time check.
//
// In a build with QCRYPTO_CT_CHECK (the `ct` configuration, run under
// valgrind) a secret is marked undefined, so memcheck reports every branch
// and every memory address that depends on it; a value that legitimately
// becomes public (a signature, a public key, an agreed key handed to the
// caller, a redraw decision) is marked defined again at that point. In every
// other build the annotations compile to nothing.
#pragma once

#include <openssl/bn.h>

#include <cstddef>
#include <cstdint>

#if defined(QCRYPTO_CT_CHECK)
#include <valgrind/memcheck.h>
#define QCRYPTO_CT_SECRET(ptr, len) ((void)VALGRIND_MAKE_MEM_UNDEFINED((ptr), (len)))
#define QCRYPTO_CT_DECLASSIFY(ptr, len) ((void)VALGRIND_MAKE_MEM_DEFINED((ptr), (len)))
#else
#define QCRYPTO_CT_SECRET(ptr, len) ((void)(ptr), (void)(len))
#define QCRYPTO_CT_DECLASSIFY(ptr, len) ((void)(ptr), (void)(len))
#endif

namespace qcrypto {

#if defined(QCRYPTO_CT_CHECK)
namespace ct_detail {
// OpenSSL 3 keeps the digits of a number behind an opaque type; its layout
// (bignum_st: digits, used digits, allocated digits, sign, flags) has not
// changed since 1.1.0. Read only in the check build, and only to mark the
// digits; ct_bn_words refuses a number whose fields do not match what the
// public functions report.
struct BignumLayout {
  BN_ULONG* d;
  int top;
  int dmax;
  int neg;
  int flags;
};
inline BN_ULONG* ct_bn_words(const BIGNUM* n, size_t* count) {
  const auto* l = reinterpret_cast<const BignumLayout*>(n);
  const int bits = BN_num_bits(n);  // before any marking: a public read
  if (l->top < 0 || l->top > l->dmax || l->top != (bits + BN_BITS2 - 1) / BN_BITS2) __builtin_trap();
  *count = static_cast<size_t>(l->top) * sizeof(BN_ULONG);
  return l->d;
}
}  // namespace ct_detail

// Marks the digits of a number secret / public (check build only).
inline void ct_secret_bn(const BIGNUM* n) {
  size_t len = 0;
  BN_ULONG* d = ct_detail::ct_bn_words(n, &len);
  if (len != 0) QCRYPTO_CT_SECRET(d, len);
}
inline void ct_declassify_bn(const BIGNUM* n) {
  const auto* l = reinterpret_cast<const ct_detail::BignumLayout*>(n);
  if (l->d != nullptr && l->top > 0) QCRYPTO_CT_DECLASSIFY(l->d, static_cast<size_t>(l->top) * sizeof(BN_ULONG));
}
#else
inline void ct_secret_bn(const BIGNUM*) {}
inline void ct_declassify_bn(const BIGNUM*) {}
#endif

// Branch-free masks over secret values: all ones or all zeros. The empty asm
// hides the mask's origin from the optimiser, which would otherwise be free
// to turn a selection on it back into a branch.
inline std::uint32_t ct_value_barrier(std::uint32_t v) {
  __asm__("" : "+r"(v));
  return v;
}
// All ones when x is zero, else zero.
inline std::uint32_t ct_mask_zero(std::uint32_t x) { return ct_value_barrier(0U - ((~x & (x - 1U)) >> 31)); }
inline std::uint32_t ct_mask_eq(std::uint32_t a, std::uint32_t b) { return ct_mask_zero(a ^ b); }
// a where the mask is set, b where it is clear.
inline unsigned char ct_select_u8(std::uint32_t mask, unsigned char a, unsigned char b) {
  return static_cast<unsigned char>((a & mask) | (b & ~mask));
}

}  // namespace qcrypto
