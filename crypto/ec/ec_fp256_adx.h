// Montgomery multiplication with the BMI2/ADX instructions (mulx with two
// independent carry chains, adcx and adox), the same results as fe_mul.
// Three reductions: any p, the prime of the curve 191 (shifts and one
// multiplication per limb) and primes 2^255 + c with c < 2^64. The assembly
// is in ec_fp256_adx.cpp, inlined there into the scalar multiplications; the
// functions below are the same operations one call each, for the tests and
// the benchmarks of the field. Only called after the processor was checked
// (cpu_has_adx); the assembler takes the instructions without compiler flags,
// so the rest of the program still runs anywhere.
#pragma once

#include "crypto/ec/ec_fp256_field.h"
#include "crypto/ec/ec_fp256_point.h"

namespace qcrypto::fp256 {

#if defined(__x86_64__) && defined(__GNUC__) && !defined(QCRYPTO_NO_ASM)
#define QCRYPTO_FP256_HAVE_ADX_ASM 1

void fe_mul_adx(const Field& f, Fe& r, const Fe& a, const Fe& b);
void fe_mul_adx_p256(const Field& f, Fe& r, const Fe& a, const Fe& b);
void fe_sqr_adx_p256(const Field& f, Fe& r, const Fe& a);
void fe_mul_adx_c255(const Field& f, Fe& r, const Fe& a, const Fe& b);

struct AdxOps {
  static void mul(const Field& f, Fe& r, const Fe& a, const Fe& b) { fe_mul_adx(f, r, a, b); }
  static void sqr(const Field& f, Fe& r, const Fe& a) { fe_mul_adx(f, r, a, a); }
};
struct AdxP256Ops {
  static void mul(const Field& f, Fe& r, const Fe& a, const Fe& b) { fe_mul_adx_p256(f, r, a, b); }
  static void sqr(const Field& f, Fe& r, const Fe& a) { fe_sqr_adx_p256(f, r, a); }
};
struct AdxC255Ops {
  static void mul(const Field& f, Fe& r, const Fe& a, const Fe& b) { fe_mul_adx_c255(f, r, a, b); }
  static void sqr(const Field& f, Fe& r, const Fe& a) { fe_mul_adx_c255(f, r, a, a); }
};

// Whole operations with the reduction that suits the field's form, the
// assembly inlined into them as in the scalar multiplications.
void fe_inv_adx(const Field& f, Fe& r, const Fe& a);
void jac_double_adx(const Curve& c, Jac& r, const Jac& p);
void jac_add_adx(const Curve& c, Jac& r, const Jac& p, const Jac& q);

#endif

// True when the processor has BMI2 and ADX (and this build has the code).
bool cpu_has_adx();

// Whether the scalar multiplications use the BMI2/ADX code: cpu_has_adx(),
// unless a test switched it off (the tests and benchmarks run both).
bool adx_enabled();
#if defined(QCRYPTO_TEST_HOOKS)
void set_adx_enabled(bool enabled);
#endif

}  // namespace qcrypto::fp256
