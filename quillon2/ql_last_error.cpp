#include "quillon2/ql_last_error.h"

#include "crypto/err/err.h"

namespace quillon2 {

void QL_set_last_error(int code) { qcrypto::ERR_set_last_result(code); }

int QL_get_last_error() { return qcrypto::ERR_get_last_result(); }

}  // namespace quillon2
