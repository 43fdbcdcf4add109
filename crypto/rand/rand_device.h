// Seeding from the hardware random boards, and the device table.
//
// A board is used only to draw the 32-byte seed of the software generator:
// the board's method is installed, asked for 32 bytes, closed again, and the
// software generator is installed and seeded with what it gave.
#pragma once

#include "crypto/rand/rand.h"

namespace qcrypto {

// Device codes; a device list is a zero-terminated string of them.
enum RandDevice : unsigned char {
  RAND_DEVICE_CRYPTON = 1,
  RAND_DEVICE_ACCORD = 3,
  RAND_DEVICE_SABLE = 4,
};
// 1, 3, 4, 0.
extern const unsigned char RAND_DEFAULT_DEVICES[4];

// Row 0 the software generator, rows 1-3 Crypton, Accord, Sable.
constexpr int RAND_DEVICE_TABLE_ROWS = 4;
const RAND_METHOD* const* rand_device_table();

// Function codes of library 74 raised by the random-state code.
enum PseRandFunction : int {
  PSE_F_PSE_RAND_INIT = 114,
  PSE_F_PSE_RAND_SAVE_STATE = 115,
};

// 1 when a method is installed and it is not the placeholder.
int PSE_rand_ready();
// Tries the devices of `list` (null: the default list) in order. 1 when one
// answered: its method stays installed and `length` bytes were drawn into
// `out`. A device that fails leaves no error behind. Already ready: 1 with
// nothing drawn. Nothing answered: no method installed, `out` zeroed.
int PSE_rand_open_device(const unsigned char* list, unsigned char* out, int length);
// 1 when the software generator is installed and seeded from a device (or a
// method other than the placeholder was installed already); 0 with no
// method installed.
int PSE_rand_seed_from_device(const unsigned char* list);
// Cleans up and uninstalls the method; forgets the device code.
void PSE_rand_cleanup();
// The code of the device that answered last (0: none).
int PSE_rand_device_code();

}  // namespace qcrypto
