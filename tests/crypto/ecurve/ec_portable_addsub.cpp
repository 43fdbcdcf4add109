// The portable addition and subtraction, as a build without the inline
// assembly gets them (this file alone is compiled with QCRYPTO_NO_ASM), so
// the tests can hold them against the assembly ones of the normal build.
#include "ec_portable_addsub.h"

#include "crypto/ec/ec_fp256_field.h"

namespace qcrypto::ectest {

void portable_fe_add(const fp256::Field& f, fp256::Fe& r, const fp256::Fe& a, const fp256::Fe& b) {
  fp256::fe_add(f, r, a, b);
}

void portable_fe_sub(const fp256::Field& f, fp256::Fe& r, const fp256::Fe& a, const fp256::Fe& b) {
  fp256::fe_sub(f, r, a, b);
}

bool portable_build() {
#if defined(QCRYPTO_NO_ASM)
  return true;
#else
  return false;
#endif
}

}  // namespace qcrypto::ectest
