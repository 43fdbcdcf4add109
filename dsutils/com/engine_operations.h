// The engine's file operations as the object's table.
#pragma once

#include "dsutils/com/dsutil_object.h"

namespace dsutils {

// An operation the engine of this build does not have stays empty; the
// object then answers False for it, with a line on stderr.
OperationTable engine_operations();

}  // namespace dsutils
