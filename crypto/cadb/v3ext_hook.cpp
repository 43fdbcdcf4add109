#include "crypto/cadb/v3ext_hook.h"

namespace qcrypto {

int cadb_split_extensions(const STACK_OF(X509_EXTENSION) * /*extensions*/, CADB_V3EXT_LIST** out) {
  *out = nullptr;
  return 1;
}

void cadb_free_extensions(CADB_V3EXT_LIST* /*list*/) {}

}  // namespace qcrypto
