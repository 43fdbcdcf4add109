// Internal to the hash: the whole-block path shared by update and final.
#pragma once

#include <cstddef>

#include "crypto/rus/gost3411.h"

namespace qcrypto {

// For each of `blocks` 32-byte blocks straight from data: H = f(H, M),
// sum += M; then length += 256 bits per block.
void gosth_process_blocks(GOSTH_CTX* ctx, const unsigned char* data, size_t blocks);

}  // namespace qcrypto
