// Test builds only (QCRYPTO_TEST_HOOKS): an entry point of libDSUtils.so
// that makes an object whose operations ask the caller's EngineUi, so a test
// that loads the library by name can answer every question from a script. A
// build without test hooks exports the three entry points of idsutil.h only.
#pragma once

#include "dsutils/com/idsutil.h"

namespace dsutils {
class EngineUi;
}

#ifdef QCRYPTO_TEST_HOOKS
extern "C" {
// As DSUtilCreate, but every operation of the object reaches `ui`, which
// stays the caller's and must outlive the object. Null for a null `ui` or
// when the library cannot start.
__attribute__((visibility("default"))) dsutils::IDSUtil* DSUtilTestCreateWithUi(dsutils::EngineUi* ui);
}
#endif
