// The key container's saved random state: 32 bytes kept as a 36-byte key
// block. Opening a container seeds the software generator from it when no
// generator is ready, and writes a fresh state back at once.
#pragma once

#include "crypto/pse/pse_opaque.h"
#include "crypto/rand/grand.h"

namespace qcrypto {

// Seeds and installs the software generator unless a generator other than
// the placeholder is ready (then 1 at once). With a container and `block`
// (36 bytes, in and out) the seed is the state the block holds; when that
// cannot be read, the key-press callback is asked (none: failure). On
// success with container, block and `out`, the block is replaced by a fresh
// state and *out is 36. *out is 0 otherwise (out may be null).
// Failure: error (74, 114, 74), no generator installed, 0.
int PSE_rand_init(PSE* container, unsigned char* block, int* out, RAND_KEY_CALLBACK callback, void* user);

// Draws 32 bytes from the installed generator and stores them as the
// container's random state in `block` (36 bytes). Failure: (74, 115, 74), 0.
int PSE_rand_save_state(PSE* container, unsigned char* block);

}  // namespace qcrypto
