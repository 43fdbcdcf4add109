// A deterministic method for tests: it hands out exactly the bytes it was
// given, in order, and nothing more. Code under test that draws random
// values (nonces, keys, IVs) then reproduces known results. A test hook: a
// shipped build has no such method.
#pragma once

#ifdef QCRYPTO_TEST_HOOKS

#include <cstddef>
#include <span>

#include "crypto/rand/rand.h"

namespace qcrypto {

// The record (static). Its bytes slot delivers from the queue set below and
// returns how many it delivered: fewer than asked (possibly 0) once the queue
// runs dry. Its seed slot accepts and ignores the seed; cleanup wipes the queue.
const RAND_METHOD* RAND_fixed_method();

// Replaces the queue by a copy of `bytes` (the old queue is wiped).
void RAND_fixed_set_bytes(std::span<const unsigned char> bytes);
// Appends a copy of `bytes` to the queue.
void RAND_fixed_add_bytes(std::span<const unsigned char> bytes);
// Bytes still queued.
std::size_t RAND_fixed_remaining();

}  // namespace qcrypto

#endif  // QCRYPTO_TEST_HOOKS
