// The database records' entry into the extension split (declared with the
// records in crypto/cadb/v3ext_hook.h).
#include "crypto/cadb/v3ext_hook.h"
#include "crypto/v3ext/cadb_v3ext.h"

namespace qcrypto {

int cadb_split_extensions(const STACK_OF(X509_EXTENSION) * extensions, CADB_V3EXT_LIST** out) {
  *out = nullptr;
  if (extensions == nullptr) {
    return 1;
  }
  *out = CADB_V3EXT_split(extensions);
  return *out != nullptr ? 1 : 0;
}

void cadb_free_extensions(CADB_V3EXT_LIST* list) { CADB_V3EXT_LIST_free(list); }

}  // namespace qcrypto
