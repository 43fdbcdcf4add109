// The database records' extension split (declared with the records in
// crypto/cadb) is the split of this module. It lives here so that the
// records need not know the extension types; the two static libraries
// link each other.
#include "crypto/cadb/v3ext_hook.h"

#include "crypto/v3ext/v3ext.h"

namespace qcrypto {

int cadb_split_extensions(const STACK_OF(X509_EXTENSION) * extensions, CADB_V3EXT_LIST** out) {
  return CADB_V3EXT_split(extensions, out);
}

void cadb_free_extensions(CADB_V3EXT_LIST* list) { CADB_V3EXT_list_free(list); }

}  // namespace qcrypto
