// The operating system's random bytes.
#pragma once

#include <cstddef>

namespace platform {

// Fills `length` bytes from the kernel's generator (getrandom, /dev/urandom
// when the call is missing). False when neither answers in full.
bool os_random_bytes(void* buffer, std::size_t length);

}  // namespace platform
