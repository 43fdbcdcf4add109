// The toolkit's placeholder method and the generator's named mutex.
//
// The placeholder stands until the first request for random bytes, which
// seeds the software generator from a board or, failing that, from the
// key-press callback the application registered, and then serves the
// request from it.
#pragma once

#include "crypto/rand/grand.h"
#include "crypto/rand/rand.h"

namespace qcrypto {

// The placeholder record: bytes slot `mprand_bytes`, placeholder slot 1.
const RAND_METHOD* mprand_method();
// Seeds (board, else keyboard) and installs the software generator, then
// delivers from it. 0 when seeding fails or is cancelled: the placeholder is
// then installed again and the next request asks again.
int mprand_bytes(unsigned char* buffer, int length);

// The application's key-press callback (null forgets it).
void mprand_set_callback(RAND_KEY_CALLBACK callback);
// The stored callback's result, or -1 when none is stored.
int mprand_key_callback(int character, int ordinal, int total, void* user);

// The cross-process mutex "Quillon Random Mutex". create: 1 when the handle
// is open (an open handle is kept); close forgets it. lock waits without
// time-out; both lock and unlock give 0 without a handle or on failure.
int mprand_mutex_create();
// Fork handlers for the handle slot of the generator's named mutex, so a
// child never inherits it held by a thread it does not have. Registered once
// by the library as it loads, after the named mutexes' own and before the
// library's (the slot is taken under the library's transition and around
// the named-mutex registry).
void mprand_install_fork_handlers();
void mprand_mutex_close();
int mprand_lock();
int mprand_unlock();

// The name, as other processes and copies of the library know it.
inline constexpr const char* kRandomMutexName = "Quillon Random Mutex";

}  // namespace qcrypto
