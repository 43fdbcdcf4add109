// Addition and subtraction of the build without inline assembly
// (ec_portable_addsub.cpp). Only the always-inlined fe_add and fe_sub differ
// between the two builds, so no out-of-line definition is duplicated.
#pragma once

namespace qcrypto::fp256 {
struct Fe;
struct Field;
}  // namespace qcrypto::fp256

namespace qcrypto::ectest {

void portable_fe_add(const fp256::Field& f, fp256::Fe& r, const fp256::Fe& a, const fp256::Fe& b);
void portable_fe_sub(const fp256::Field& f, fp256::Fe& r, const fp256::Fe& a, const fp256::Fe& b);
// True when ec_portable_addsub.cpp was really built without the assembly.
bool portable_build();

}  // namespace qcrypto::ectest
