// One file or mail operation at a time per process.
//
// The process has one toolkit session, and what an operation sets up in it
// belongs to the whole process: the toolkit takes the key container only at
// its first start and keeps it while any start is counted, and loading a
// key clears every key of the session. Two operations with different
// authors running side by side would sign or decrypt with each other's
// container and keys, so each operation holds this lock for its run, and so
// does any short-lived session that starts the toolkit. Decoding a
// certificate starts nothing and needs no lock.
#pragma once

namespace dsutils {

// Waits until no other thread runs an operation. Re-entrant: a thread that
// holds it may take it again (a look-up inside its own operation).
class OperationLock {
 public:
  OperationLock();
  ~OperationLock();
  OperationLock(const OperationLock&) = delete;
  OperationLock& operator=(const OperationLock&) = delete;

  // Whether the calling thread holds the lock.
  static bool heldByThisThread();
};

}  // namespace dsutils
