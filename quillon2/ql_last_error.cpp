#include "quillon2/ql_last_error.h"

namespace quillon2 {
namespace {

thread_local int t_last_error = 0;

}  // namespace

void QL_set_last_error(int code) { t_last_error = code; }

int QL_get_last_error() { return t_last_error; }

}  // namespace quillon2
