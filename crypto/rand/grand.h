// The software GOST generator: GOST 28147-89 gamma over a 256-byte buffer,
// keyed from seed blocks hashed with GOST R 34.11-94.
//
// One generator per process. Every function takes lock 17, so the method's
// slots may be called directly as well as through the RAND_* dispatchers.
#pragma once

#include <cstdint>

#include "crypto/rand/rand.h"

namespace qcrypto {

constexpr int GRAND_SEED_BYTES = 32;
constexpr int GRAND_BUFFER_BYTES = 256;
constexpr int GRAND_KEYBOARD_KEYS = 16;

// The key-press callback an application registers: (code of the character
// the user must type, its ordinal 1..16, the total 16, the caller's user
// word) -> code of the character actually typed; a value below 1 cancels.
// Results above 255 are not characters and cancel as well.
using RAND_KEY_CALLBACK = int (*)(int character, int ordinal, int total, void* user);

// The second argument of the generator's init slot.
struct GRAND_INIT_ARGS {
  RAND_KEY_CALLBACK callback;
  void* user;
};

// The record: seed, bytes, cleanup, init and info slots (first row of the
// device table).
const RAND_METHOD* GRAND_method();

// A fresh 32-byte seed block: the GOST R 34.11-94 digest of the calendar
// time, the millisecond time record, processor time, a call counter,
// `caller_value`, the counting thread's count (reset by the reading) and 32
// bytes of the operating system's randomness. 1, or 0 when hashing fails or
// the operating system gives no randomness (a system error is queued: the
// clocks alone are too guessable to seed a key generator).
int GRAND_collect_seed(unsigned char* out32, uint32_t caller_value);

// Asks through `callback` for 16 characters and XORs a seed block taken at
// each accepted key press into `out32` (which the caller zero-fills). 1 after
// 16 accepted keys; 0 on cancel or bad arguments.
int GRAND_keyboard_seed(unsigned char* out32, RAND_KEY_CALLBACK callback, void* user);

// Fills `out` with GOST R 34.11-94(seed || fresh seed block), 32 bytes per
// round. 1, or 0 (error 69/109/69) when out or seed is null.
int GRAND_prf(int out_length, unsigned char* out, const unsigned char* seed, int seed_length);

// Zeroes the generator and keys it (null sbox: the cipher default set).
int GRAND_rand_init(const unsigned char* key, const unsigned char* iv, const unsigned char* sbox);
// Bytes delivered; 0 when not keyed or length < 1.
int GRAND_rand_bytes(unsigned char* out, int length);
// Keys the generator from `seed` and overwrites the seed with `length`
// output bytes. An already keyed generator is left alone (1).
int GRAND_gamma_rand_seed(unsigned char* seed, int length);
// Init slot: `out32` receives 32 output bytes of a generator seeded from the
// keyboard through the GRAND_INIT_ARGS `args`.
int GRAND_gamma_rand_init(void* out32, void* args);
// Wipes the generator (unkeyed afterwards). Always 1.
int GRAND_method_cleanup();
// 1 while the generator is keyed.
int GRAND_is_keyed();

// Installs the software generator in place of whatever method is installed
// and seeds it: from the 32 bytes of `state` when `from_state`, else from the
// keyboard through `callback`. On success `state` holds 32 fresh output bytes
// (what a key container keeps as its random state) and the result is 1; on
// failure nothing is installed and `state` is zeroed.
int GRAND_install_seeded(unsigned char* state32, int from_state, RAND_KEY_CALLBACK callback, void* user);

// The counting thread that measures the time between key presses.
void rand_jitter_start();
void rand_jitter_stop();
bool rand_jitter_running();

#ifdef QCRYPTO_TEST_HOOKS
// A seed source replaces every time-dependent input of a seed block (the 32
// bytes laid out as above, and the 32 bytes of operating-system randomness)
// just before hashing, which makes the generator reproducible; null restores
// the real sources.
using GRAND_SEED_SOURCE = void (*)(unsigned char* block32, unsigned char* os32);
void GRAND_set_seed_source(GRAND_SEED_SOURCE source);
// Longest pause before each key prompt, in milliseconds (500 unless changed).
void GRAND_set_keyboard_pause_limit(int milliseconds);
#endif

}  // namespace qcrypto
