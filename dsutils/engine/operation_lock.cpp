#include "dsutils/engine/operation_lock.h"

#include <mutex>

namespace dsutils {
namespace {

std::recursive_mutex& operation_mutex() {
  static auto* m = new std::recursive_mutex();  // used until the process ends
  return *m;
}

thread_local int t_depth = 0;

}  // namespace

OperationLock::OperationLock() {
  operation_mutex().lock();
  ++t_depth;
}

OperationLock::~OperationLock() {
  --t_depth;
  operation_mutex().unlock();
}

bool OperationLock::heldByThisThread() { return t_depth > 0; }

}  // namespace dsutils
