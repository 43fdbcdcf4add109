// The operating system's random bytes.
#pragma once

#include <cstddef>

namespace platform {

// Fills `length` bytes from the kernel's generator (getrandom; /dev/urandom
// when the call fails, e.g. missing or filtered). False when neither answers
// in full; errno then tells why.
bool os_random_bytes(void* buffer, std::size_t length);

#ifdef QCRYPTO_TEST_HOOKS
// Makes the sources fail: getrandom with `getrandom_errno` (0: the real call),
// the /dev/urandom fallback when `urandom_fails`.
void os_random_set_failure(int getrandom_errno, bool urandom_fails);
#endif

}  // namespace platform
