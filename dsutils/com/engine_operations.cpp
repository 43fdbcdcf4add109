#include "dsutils/com/engine_operations.h"

namespace dsutils {

// The group operations and the unpacking of one file join the table as the
// engine gains them; each entry adapts the engine's call to a job that its
// starter owns.
OperationTable engine_operations() { return OperationTable{}; }

}  // namespace dsutils
