// The BMI2/ADX assembly of the fixed-width field and the scalar
// multiplications instantiated with it inlined (a call per field
// multiplication would cost a tenth of the run time).
#include "crypto/ec/ec_fp256_adx.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <atomic>
#include <cstddef>

#include "crypto/ec/ec_fp256_mul_impl.h"

namespace qcrypto::fp256 {

#if defined(QCRYPTO_FP256_HAVE_ADX_ASM)
namespace {

static_assert(offsetof(Field, n0) == 32, "the assembly reads n0 right after p");

// Row by row: T += a * b[i]; m = T0 * n0; T = (T + m p) / 2^64. The six
// accumulators rotate instead of moving; T stays below 2p, so the result
// is (t4, t5, t0, t1) with the top bit in t2, less p when that is not
// negative (sbb chain and cmov: no branch). BODY is the template, which asm
// takes only as a bare string literal.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define QCRYPTO_FP256_MUL_ASM(BODY)                                                                     \
  u64 t0, t1, t2, t3, t4, t5, lo, hi;                                                                   \
  asm(BODY                                                                                              \
      : [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3), [t4] "=&r"(t4), [t5] "=&r"(t5), \
        [lo] "=&r"(lo), [hi] "=&r"(hi)                                                                  \
      : [a] "r"(a.v), [b] "r"(b.v), [p] "r"(f.p), "m"(*reinterpret_cast<const u64(*)[4]>(a.v)),         \
        "m"(*reinterpret_cast<const u64(*)[4]>(b.v)), "m"(*reinterpret_cast<const u64(*)[5]>(f.p))      \
      : "rax", "rdx", "cc");                                                                            \
  r.v[0] = t4;                                                                                          \
  r.v[1] = t5;                                                                                          \
  r.v[2] = t0;                                                                                          \
  r.v[3] = t1
// NOLINTEND(bugprone-macro-parentheses)

// One row of a schoolbook product: rdx times the four limbs at `src`, added
// into ta..te through the two carry chains (adcx takes the low halves, adox
// the high ones). Every product and reduction step below is made of these.
#define QCRYPTO_FP256_ROW(src, ta, tb, tc, td, te) \
  "mulxq 0(%[" #src                                \
  "]), %[lo], %[hi]\n\t"                           \
  "adcxq %[lo], %[" #ta                            \
  "]\n\t"                                          \
  "adoxq %[hi], %[" #tb                            \
  "]\n\t"                                          \
  "mulxq 8(%[" #src                                \
  "]), %[lo], %[hi]\n\t"                           \
  "adcxq %[lo], %[" #tb                            \
  "]\n\t"                                          \
  "adoxq %[hi], %[" #tc                            \
  "]\n\t"                                          \
  "mulxq 16(%[" #src                               \
  "]), %[lo], %[hi]\n\t"                           \
  "adcxq %[lo], %[" #tc                            \
  "]\n\t"                                          \
  "adoxq %[hi], %[" #td                            \
  "]\n\t"                                          \
  "mulxq 24(%[" #src                               \
  "]), %[lo], %[hi]\n\t"                           \
  "adcxq %[lo], %[" #td                            \
  "]\n\t"                                          \
  "adoxq %[hi], %[" #te "]\n\t"

// The result t4 t5 t0 t1 (with the carry word t2) is below 2p: subtract p
// once and keep the difference unless it borrowed, without a branch.
#define QCRYPTO_FP256_REDUCE_ONCE \
  "movq %[t4], %[lo]\n\t"         \
  "subq 0(%[p]), %[lo]\n\t"       \
  "movq %[t5], %[hi]\n\t"         \
  "sbbq 8(%[p]), %[hi]\n\t"       \
  "movq %[t0], %%rax\n\t"         \
  "sbbq 16(%[p]), %%rax\n\t"      \
  "movq %[t1], %%rdx\n\t"         \
  "sbbq 24(%[p]), %%rdx\n\t"      \
  "sbbq $0, %[t2]\n\t"            \
  "cmovaeq %[lo], %[t4]\n\t"      \
  "cmovaeq %[hi], %[t5]\n\t"      \
  "cmovaeq %%rax, %[t0]\n\t"      \
  "cmovaeq %%rdx, %[t1]\n\t"

// The first row of a product: the accumulator t0..t5 starts as a * b[0].
#define QCRYPTO_FP256_FIRST_ROW \
  "xorq %[t0], %[t0]\n\t"                    \
  "xorq %[t1], %[t1]\n\t"                    \
  "xorq %[t2], %[t2]\n\t"                    \
  "xorq %[t3], %[t3]\n\t"                    \
  "xorq %[t4], %[t4]\n\t"                    \
  "movq 0(%[b]), %%rdx\n\t"                  \
  "xorl %%eax, %%eax\n\t"                    \
  QCRYPTO_FP256_ROW(a, t0, t1, t2, t3, t4)  \
  "adcxq %%rax, %[t4]\n\t"                   \
  "movq %%rax, %[t5]\n\t"                    \
  "adoxq %%rax, %[t5]\n\t"                   \
  "adcxq %%rax, %[t5]\n\t"

QCRYPTO_FP256_INLINE void mul_any_asm(const Field& f, Fe& r, const Fe& a, const Fe& b) {
  QCRYPTO_FP256_MUL_ASM(
      QCRYPTO_FP256_FIRST_ROW
      "movq %[t0], %%rdx\n\t"
      "imulq 32(%[p]), %%rdx\n\t"
      "xorl %%eax, %%eax\n\t"
      QCRYPTO_FP256_ROW(p, t0, t1, t2, t3, t4)
      "adcxq %%rax, %[t4]\n\t"
      "adoxq %%rax, %[t5]\n\t"
      "adcxq %%rax, %[t5]\n\t"
      "movq 8(%[b]), %%rdx\n\t"
      "xorl %%eax, %%eax\n\t"
      QCRYPTO_FP256_ROW(a, t1, t2, t3, t4, t5)
      "adcxq %%rax, %[t5]\n\t"
      "movq %%rax, %[t0]\n\t"
      "adoxq %%rax, %[t0]\n\t"
      "adcxq %%rax, %[t0]\n\t"
      "movq %[t1], %%rdx\n\t"
      "imulq 32(%[p]), %%rdx\n\t"
      "xorl %%eax, %%eax\n\t"
      QCRYPTO_FP256_ROW(p, t1, t2, t3, t4, t5)
      "adcxq %%rax, %[t5]\n\t"
      "adoxq %%rax, %[t0]\n\t"
      "adcxq %%rax, %[t0]\n\t"
      "movq 16(%[b]), %%rdx\n\t"
      "xorl %%eax, %%eax\n\t"
      QCRYPTO_FP256_ROW(a, t2, t3, t4, t5, t0)
      "adcxq %%rax, %[t0]\n\t"
      "movq %%rax, %[t1]\n\t"
      "adoxq %%rax, %[t1]\n\t"
      "adcxq %%rax, %[t1]\n\t"
      "movq %[t2], %%rdx\n\t"
      "imulq 32(%[p]), %%rdx\n\t"
      "xorl %%eax, %%eax\n\t"
      QCRYPTO_FP256_ROW(p, t2, t3, t4, t5, t0)
      "adcxq %%rax, %[t0]\n\t"
      "adoxq %%rax, %[t1]\n\t"
      "adcxq %%rax, %[t1]\n\t"
      "movq 24(%[b]), %%rdx\n\t"
      "xorl %%eax, %%eax\n\t"
      QCRYPTO_FP256_ROW(a, t3, t4, t5, t0, t1)
      "adcxq %%rax, %[t1]\n\t"
      "movq %%rax, %[t2]\n\t"
      "adoxq %%rax, %[t2]\n\t"
      "adcxq %%rax, %[t2]\n\t"
      "movq %[t3], %%rdx\n\t"
      "imulq 32(%[p]), %%rdx\n\t"
      "xorl %%eax, %%eax\n\t"
      QCRYPTO_FP256_ROW(p, t3, t4, t5, t0, t1)
      "adcxq %%rax, %[t1]\n\t"
      "adoxq %%rax, %[t2]\n\t"
      "adcxq %%rax, %[t2]\n\t"
      QCRYPTO_FP256_REDUCE_ONCE);
}

// p = 2^256 - 2^224 + 2^192 + 2^96 - 1. The 512-bit product first (rows of
// mulx with the two carry chains), then the low half is reduced alone:
// with -p^-1 = 1 mod 2^64 each step's m is the low limb itself, and m p adds
// m << 32 at limb 1 (m p0 cancels limb 0 and carries m) and m * p3 at limb 3.
// The reduced low half (below p + 1) is added to the high half and p taken
// off once if needed. The two pointer registers hold p1 and p3 at the end.
// Fourteen registers: it fits beside a frame pointer. The arguments are the
// template and two operands (constraint and expression), which asm takes
// only bare.
//
// No register is left to address "m" inputs, so the limbs are read under a
// "memory" clobber, and that alone does not make the statement depend on
// what the pointers point at: at -O3 GCC took t = t^2 with the same pointer
// in every round of a loop for one value and computed it once (wrong
// inverses and public keys in Release builds). volatile keeps every
// statement where it stands.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define QCRYPTO_FP256_P256_ASM(BODY, A_OPERAND, B_OPERAND)                                                       \
  u64 w0, w1, w2, w3, w4, w5, w6, w7, lo, hi;                                                                    \
  asm volatile(BODY                                                                                              \
               : [w0] "=&r"(w0), [w1] "=&r"(w1), [w2] "=&r"(w2), [w3] "=&r"(w3), [w4] "=&r"(w4), [w5] "=&r"(w5), \
                 [w6] "=&r"(w6), [w7] "=&r"(w7), [lo] "=&r"(lo), [hi] "=&r"(hi), [a] A_OPERAND, [b] B_OPERAND    \
               :                                                                                                 \
               : "rax", "rdx", "cc", "memory");                                                                  \
  r.v[0] = w4;                                                                                                   \
  r.v[1] = w5;                                                                                                   \
  r.v[2] = w6;                                                                                                   \
  r.v[3] = w7
// NOLINTEND(bugprone-macro-parentheses)

// Reduction of the eight-word product (w0..w7) modulo the P-256 prime by its
// shape (2^256 - 2^224 + 2^192 + 2^96 - 1), with the final subtraction by
// sbb and cmov: the common tail of the multiplication and the square.
#define QCRYPTO_P256_REDUCE_ASM           \
  "movabsq $0xFFFFFFFF00000001, %[a]\n\t" \
  "movq %[w0], %%rdx\n\t"                 \
  "movq %[w0], %[lo]\n\t"                 \
  "movq %[w0], %[hi]\n\t"                 \
  "shlq $32, %[lo]\n\t"                   \
  "shrq $32, %[hi]\n\t"                   \
  "mulxq %[a], %%rax, %[w0]\n\t"          \
  "addq %[lo], %[w1]\n\t"                 \
  "adcq %[hi], %[w2]\n\t"                 \
  "adcq %%rax, %[w3]\n\t"                 \
  "adcq $0, %[w0]\n\t"                    \
  "movq %[w1], %%rdx\n\t"                 \
  "movq %[w1], %[lo]\n\t"                 \
  "movq %[w1], %[hi]\n\t"                 \
  "shlq $32, %[lo]\n\t"                   \
  "shrq $32, %[hi]\n\t"                   \
  "mulxq %[a], %%rax, %[w1]\n\t"          \
  "addq %[lo], %[w2]\n\t"                 \
  "adcq %[hi], %[w3]\n\t"                 \
  "adcq %%rax, %[w0]\n\t"                 \
  "adcq $0, %[w1]\n\t"                    \
  "movq %[w2], %%rdx\n\t"                 \
  "movq %[w2], %[lo]\n\t"                 \
  "movq %[w2], %[hi]\n\t"                 \
  "shlq $32, %[lo]\n\t"                   \
  "shrq $32, %[hi]\n\t"                   \
  "mulxq %[a], %%rax, %[w2]\n\t"          \
  "addq %[lo], %[w3]\n\t"                 \
  "adcq %[hi], %[w0]\n\t"                 \
  "adcq %%rax, %[w1]\n\t"                 \
  "adcq $0, %[w2]\n\t"                    \
  "movq %[w3], %%rdx\n\t"                 \
  "movq %[w3], %[lo]\n\t"                 \
  "movq %[w3], %[hi]\n\t"                 \
  "shlq $32, %[lo]\n\t"                   \
  "shrq $32, %[hi]\n\t"                   \
  "mulxq %[a], %%rax, %[w3]\n\t"          \
  "addq %[lo], %[w0]\n\t"                 \
  "adcq %[hi], %[w1]\n\t"                 \
  "adcq %%rax, %[w2]\n\t"                 \
  "adcq $0, %[w3]\n\t"                    \
  "xorl %%eax, %%eax\n\t"                 \
  "addq %[w0], %[w4]\n\t"                 \
  "adcq %[w1], %[w5]\n\t"                 \
  "adcq %[w2], %[w6]\n\t"                 \
  "adcq %[w3], %[w7]\n\t"                 \
  "adcq $0, %%rax\n\t"                    \
  "movl $0xFFFFFFFF, %k[b]\n\t"           \
  "movq %[w4], %[w0]\n\t"                 \
  "subq $-1, %[w0]\n\t"                   \
  "movq %[w5], %[w1]\n\t"                 \
  "sbbq %[b], %[w1]\n\t"                  \
  "movq %[w6], %[w2]\n\t"                 \
  "sbbq $0, %[w2]\n\t"                    \
  "movq %[w7], %[w3]\n\t"                 \
  "sbbq %[a], %[w3]\n\t"                  \
  "sbbq $0, %%rax\n\t"                    \
  "cmovaeq %[w0], %[w4]\n\t"              \
  "cmovaeq %[w1], %[w5]\n\t"              \
  "cmovaeq %[w2], %[w6]\n\t"              \
  "cmovaeq %[w3], %[w7]\n\t"

QCRYPTO_FP256_INLINE void mul_p256_asm(const Field&, Fe& r, const Fe& a, const Fe& b) {
  const u64* ap = a.v;
  const u64* bp = b.v;
  QCRYPTO_FP256_P256_ASM(
      "movq 0(%[b]), %%rdx\n\t"
      "xorl %%eax, %%eax\n\t"
      "mulxq 0(%[a]), %[w0], %[w1]\n\t"
      "mulxq 8(%[a]), %[lo], %[w2]\n\t"
      "adcxq %[lo], %[w1]\n\t"
      "mulxq 16(%[a]), %[lo], %[w3]\n\t"
      "adcxq %[lo], %[w2]\n\t"
      "mulxq 24(%[a]), %[lo], %[w4]\n\t"
      "adcxq %[lo], %[w3]\n\t"
      "adcxq %%rax, %[w4]\n\t"
      "movq 8(%[b]), %%rdx\n\t"
      "xorl %%eax, %%eax\n\t"
      "mulxq 0(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w1]\n\t"
      "adoxq %[hi], %[w2]\n\t"
      "mulxq 8(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w2]\n\t"
      "adoxq %[hi], %[w3]\n\t"
      "mulxq 16(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w3]\n\t"
      "adoxq %[hi], %[w4]\n\t"
      "mulxq 24(%[a]), %[lo], %[w5]\n\t"
      "adcxq %[lo], %[w4]\n\t"
      "adoxq %%rax, %[w5]\n\t"
      "adcxq %%rax, %[w5]\n\t"
      "movq 16(%[b]), %%rdx\n\t"
      "xorl %%eax, %%eax\n\t"
      "mulxq 0(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w2]\n\t"
      "adoxq %[hi], %[w3]\n\t"
      "mulxq 8(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w3]\n\t"
      "adoxq %[hi], %[w4]\n\t"
      "mulxq 16(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w4]\n\t"
      "adoxq %[hi], %[w5]\n\t"
      "mulxq 24(%[a]), %[lo], %[w6]\n\t"
      "adcxq %[lo], %[w5]\n\t"
      "adoxq %%rax, %[w6]\n\t"
      "adcxq %%rax, %[w6]\n\t"
      "movq 24(%[b]), %%rdx\n\t"
      "xorl %%eax, %%eax\n\t"
      "mulxq 0(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w3]\n\t"
      "adoxq %[hi], %[w4]\n\t"
      "mulxq 8(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w4]\n\t"
      "adoxq %[hi], %[w5]\n\t"
      "mulxq 16(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w5]\n\t"
      "adoxq %[hi], %[w6]\n\t"
      "mulxq 24(%[a]), %[lo], %[w7]\n\t"
      "adcxq %[lo], %[w6]\n\t"
      "adoxq %%rax, %[w7]\n\t"
      "adcxq %%rax, %[w7]\n\t" QCRYPTO_P256_REDUCE_ASM,
      "+&r"(ap), "+&r"(bp));
}

// The square: six cross products, doubled, plus the four squares.
QCRYPTO_FP256_INLINE void sqr_p256_asm(const Field&, Fe& r, const Fe& a) {
  const u64* ap = a.v;
  u64 scratch;
  QCRYPTO_FP256_P256_ASM(
      "movq 0(%[a]), %%rdx\n\t"
      "mulxq 8(%[a]), %[w1], %[w2]\n\t"
      "mulxq 16(%[a]), %[lo], %[w3]\n\t"
      "mulxq 24(%[a]), %[hi], %[w4]\n\t"
      "addq %[lo], %[w2]\n\t"
      "adcq %[hi], %[w3]\n\t"
      "adcq $0, %[w4]\n\t"
      "movq 8(%[a]), %%rdx\n\t"
      "xorl %%eax, %%eax\n\t"
      "mulxq 16(%[a]), %[lo], %[hi]\n\t"
      "adcxq %[lo], %[w3]\n\t"
      "adoxq %[hi], %[w4]\n\t"
      "mulxq 24(%[a]), %[lo], %[w5]\n\t"
      "adcxq %[lo], %[w4]\n\t"
      "adoxq %%rax, %[w5]\n\t"
      "adcxq %%rax, %[w5]\n\t"
      "movq 16(%[a]), %%rdx\n\t"
      "mulxq 24(%[a]), %[lo], %[w6]\n\t"
      "addq %[lo], %[w5]\n\t"
      "adcq $0, %[w6]\n\t"
      "xorl %k[w7], %k[w7]\n\t"
      "addq %[w1], %[w1]\n\t"
      "adcq %[w2], %[w2]\n\t"
      "adcq %[w3], %[w3]\n\t"
      "adcq %[w4], %[w4]\n\t"
      "adcq %[w5], %[w5]\n\t"
      "adcq %[w6], %[w6]\n\t"
      "adcq $0, %[w7]\n\t"
      "movq 0(%[a]), %%rdx\n\t"
      "mulxq %%rdx, %[w0], %[lo]\n\t"
      "movq 8(%[a]), %%rdx\n\t"
      "mulxq %%rdx, %%rax, %[hi]\n\t"
      "addq %[lo], %[w1]\n\t"
      "adcq %%rax, %[w2]\n\t"
      "adcq %[hi], %[w3]\n\t"
      "movq 16(%[a]), %%rdx\n\t"
      "mulxq %%rdx, %%rax, %[hi]\n\t"
      "adcq %%rax, %[w4]\n\t"
      "adcq %[hi], %[w5]\n\t"
      "movq 24(%[a]), %%rdx\n\t"
      "mulxq %%rdx, %%rax, %[hi]\n\t"
      "adcq %%rax, %[w6]\n\t"
      "adcq %[hi], %[w7]\n\t" QCRYPTO_P256_REDUCE_ASM,
      "+&r"(ap), "=&r"(scratch));
}

#undef QCRYPTO_FP256_P256_ASM

// p = 2^255 + p0: m p is m * p0 at limb 0 and m << 63 at limb 3.
QCRYPTO_FP256_INLINE void mul_c255_asm(const Field& f, Fe& r, const Fe& a, const Fe& b) {
  QCRYPTO_FP256_MUL_ASM(
      QCRYPTO_FP256_FIRST_ROW
      "movq %[t0], %%rdx\n\t"
      "imulq 32(%[p]), %%rdx\n\t"
      "movq %%rdx, %%rax\n\t"
      "shlq $63, %%rax\n\t"
      "mulxq 0(%[p]), %[lo], %[hi]\n\t"
      "shrq $1, %%rdx\n\t"
      "addq %[lo], %[t0]\n\t"
      "adcq %[hi], %[t1]\n\t"
      "adcq $0, %[t2]\n\t"
      "adcq %%rax, %[t3]\n\t"
      "adcq %%rdx, %[t4]\n\t"
      "adcq $0, %[t5]\n\t"
      "movq 8(%[b]), %%rdx\n\t"
      "xorl %%eax, %%eax\n\t"
      QCRYPTO_FP256_ROW(a, t1, t2, t3, t4, t5)
      "adcxq %%rax, %[t5]\n\t"
      "movq %%rax, %[t0]\n\t"
      "adoxq %%rax, %[t0]\n\t"
      "adcxq %%rax, %[t0]\n\t"
      "movq %[t1], %%rdx\n\t"
      "imulq 32(%[p]), %%rdx\n\t"
      "movq %%rdx, %%rax\n\t"
      "shlq $63, %%rax\n\t"
      "mulxq 0(%[p]), %[lo], %[hi]\n\t"
      "shrq $1, %%rdx\n\t"
      "addq %[lo], %[t1]\n\t"
      "adcq %[hi], %[t2]\n\t"
      "adcq $0, %[t3]\n\t"
      "adcq %%rax, %[t4]\n\t"
      "adcq %%rdx, %[t5]\n\t"
      "adcq $0, %[t0]\n\t"
      "movq 16(%[b]), %%rdx\n\t"
      "xorl %%eax, %%eax\n\t"
      QCRYPTO_FP256_ROW(a, t2, t3, t4, t5, t0)
      "adcxq %%rax, %[t0]\n\t"
      "movq %%rax, %[t1]\n\t"
      "adoxq %%rax, %[t1]\n\t"
      "adcxq %%rax, %[t1]\n\t"
      "movq %[t2], %%rdx\n\t"
      "imulq 32(%[p]), %%rdx\n\t"
      "movq %%rdx, %%rax\n\t"
      "shlq $63, %%rax\n\t"
      "mulxq 0(%[p]), %[lo], %[hi]\n\t"
      "shrq $1, %%rdx\n\t"
      "addq %[lo], %[t2]\n\t"
      "adcq %[hi], %[t3]\n\t"
      "adcq $0, %[t4]\n\t"
      "adcq %%rax, %[t5]\n\t"
      "adcq %%rdx, %[t0]\n\t"
      "adcq $0, %[t1]\n\t"
      "movq 24(%[b]), %%rdx\n\t"
      "xorl %%eax, %%eax\n\t"
      QCRYPTO_FP256_ROW(a, t3, t4, t5, t0, t1)
      "adcxq %%rax, %[t1]\n\t"
      "movq %%rax, %[t2]\n\t"
      "adoxq %%rax, %[t2]\n\t"
      "adcxq %%rax, %[t2]\n\t"
      "movq %[t3], %%rdx\n\t"
      "imulq 32(%[p]), %%rdx\n\t"
      "movq %%rdx, %%rax\n\t"
      "shlq $63, %%rax\n\t"
      "mulxq 0(%[p]), %[lo], %[hi]\n\t"
      "shrq $1, %%rdx\n\t"
      "addq %[lo], %[t3]\n\t"
      "adcq %[hi], %[t4]\n\t"
      "adcq $0, %[t5]\n\t"
      "adcq %%rax, %[t0]\n\t"
      "adcq %%rdx, %[t1]\n\t"
      "adcq $0, %[t2]\n\t"
      QCRYPTO_FP256_REDUCE_ONCE);
}

#undef QCRYPTO_FP256_MUL_ASM

struct InlineAnyOps {
  static QCRYPTO_FP256_INLINE void mul(const Field& f, Fe& r, const Fe& a, const Fe& b) { mul_any_asm(f, r, a, b); }
  static QCRYPTO_FP256_INLINE void sqr(const Field& f, Fe& r, const Fe& a) { mul_any_asm(f, r, a, a); }
};
struct InlineP256Ops {
  static QCRYPTO_FP256_INLINE void mul(const Field& f, Fe& r, const Fe& a, const Fe& b) { mul_p256_asm(f, r, a, b); }
  static QCRYPTO_FP256_INLINE void sqr(const Field& f, Fe& r, const Fe& a) { sqr_p256_asm(f, r, a); }
};
struct InlineC255Ops {
  static QCRYPTO_FP256_INLINE void mul(const Field& f, Fe& r, const Fe& a, const Fe& b) { mul_c255_asm(f, r, a, b); }
  static QCRYPTO_FP256_INLINE void sqr(const Field& f, Fe& r, const Fe& a) { mul_c255_asm(f, r, a, a); }
};

}  // namespace

void fe_mul_adx(const Field& f, Fe& r, const Fe& a, const Fe& b) { mul_any_asm(f, r, a, b); }
void fe_mul_adx_p256(const Field& f, Fe& r, const Fe& a, const Fe& b) { mul_p256_asm(f, r, a, b); }
void fe_sqr_adx_p256(const Field& f, Fe& r, const Fe& a) { sqr_p256_asm(f, r, a); }
void fe_mul_adx_c255(const Field& f, Fe& r, const Fe& a, const Fe& b) { mul_c255_asm(f, r, a, b); }

void fe_inv_adx(const Field& f, Fe& r, const Fe& a) {
  switch (f.form) {
    case kFieldP256:
      return fe_inv<InlineP256Ops>(f, r, a);
    case kFieldC255:
      return fe_inv<InlineC255Ops>(f, r, a);
    default:
      return fe_inv<InlineAnyOps>(f, r, a);
  }
}

void jac_double_adx(const Curve& c, Jac& r, const Jac& p) {
  switch (c.f.form) {
    case kFieldP256:
      return jac_double<InlineP256Ops>(c, r, p);
    case kFieldC255:
      return jac_double<InlineC255Ops>(c, r, p);
    default:
      return jac_double<InlineAnyOps>(c, r, p);
  }
}

void jac_add_adx(const Curve& c, Jac& r, const Jac& p, const Jac& q) {
  switch (c.f.form) {
    case kFieldP256:
      return jac_add<InlineP256Ops>(c, r, p, q);
    case kFieldC255:
      return jac_add<InlineC255Ops>(c, r, p, q);
    default:
      return jac_add<InlineAnyOps>(c, r, p, q);
  }
}

int mul_adx(const Curve& c, ECPOINT* point, const Scalar& s) {
  switch (c.f.form) {
    case kFieldP256:
      return mul<InlineP256Ops>(c, point, s);
    case kFieldC255:
      return mul<InlineC255Ops>(c, point, s);
    default:
      return mul<InlineAnyOps>(c, point, s);
  }
}

int mul_generator_adx(const Curve& c, const GenTable& table, ECPOINT* point, const Scalar& s) {
  switch (c.f.form) {
    case kFieldP256:
      return mul_generator<InlineP256Ops>(c, table, point, s);
    case kFieldC255:
      return mul_generator<InlineC255Ops>(c, table, point, s);
    default:
      return mul_generator<InlineAnyOps>(c, table, point, s);
  }
}

int mul_generator_sum_adx(const Curve& c, const GenTable& table, ECPOINT* result, const Scalar& s1, const ECPOINT* q,
                          const Scalar& s2) {
  switch (c.f.form) {
    case kFieldP256:
      return mul_generator_sum<InlineP256Ops>(c, table, result, s1, q, s2);
    case kFieldC255:
      return mul_generator_sum<InlineC255Ops>(c, table, result, s1, q, s2);
    default:
      return mul_generator_sum<InlineAnyOps>(c, table, result, s1, q, s2);
  }
}

#endif  // QCRYPTO_FP256_HAVE_ADX_ASM

namespace {

std::atomic<bool>& adx_switch() {
  static std::atomic<bool> enabled{cpu_has_adx()};
  return enabled;
}

}  // namespace

bool cpu_has_adx() {
#if defined(QCRYPTO_FP256_HAVE_ADX_ASM)
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  const bool bmi2 = (b >> 8) & 1u;
  const bool adx = (b >> 19) & 1u;
  return bmi2 && adx;
#else
  return false;
#endif
}

bool adx_enabled() { return adx_switch().load(std::memory_order_relaxed); }

#if defined(QCRYPTO_TEST_HOOKS)
void set_adx_enabled(bool enabled) { adx_switch().store(enabled && cpu_has_adx(), std::memory_order_relaxed); }
#endif

}  // namespace qcrypto::fp256
