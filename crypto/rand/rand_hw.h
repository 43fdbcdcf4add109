// The three hardware generators as method records, over their vendor
// libraries ("vtcrptn.dll", "tmdrv32.dll", "SnElLock.dll", loaded by name
// through the platform's library map). Every function takes lock 17.
#pragma once

#include <cstdint>

#include "crypto/rand/rand.h"

namespace qcrypto {

// Crypton mode flags (second word of the init argument and of the info
// record). A service is chosen by the first of full, light, hardware.
enum CryptonFlags : uint32_t {
  CRYPTON_HARDWARE_SERVICE = 1,
  CRYPTON_LIGHT_SERVICE = 2,
  CRYPTON_FULL_SERVICE = 4,
  CRYPTON_CONTROLLED_RANDOM = 8,
};
// The flags of the device search: hardware service, controlled random.
constexpr uint32_t CRYPTON_SEARCH_FLAGS = CRYPTON_HARDWARE_SERVICE | CRYPTON_CONTROLLED_RANDOM;

// The init slot's second argument for Crypton (required).
struct CRYPTON_INIT_ARGS {
  uint32_t reserved;
  uint32_t flags;
};
// The info slot's record for Crypton: byte 0 driver type, bytes 1-2 driver
// version, bytes 4-7 the mode flags that choose the service.
struct CRYPTON_INFO {
  unsigned char driver_type;
  unsigned char version[2];
  unsigned char reserved;
  uint32_t flags;
};
static_assert(sizeof(CRYPTON_INFO) == 8);

constexpr int CRYPTON_BUFFER_BYTES = 512;
constexpr int ACCORD_BUFFER_BYTES = 32;
constexpr int SABLE_BUFFER_BYTES = 32;
constexpr int ACCORD_INFO_BYTES = 14;
// Each refill is tried this many times before the draw fails.
constexpr int RAND_DEVICE_ATTEMPTS = 6;

const RAND_METHOD* CRYPTON_rand_method();
const RAND_METHOD* ACCORD_rand_method();
const RAND_METHOD* SABLE_rand_method();

// Bind the vendor library (all names or none): 1, or 0 when it is missing or
// lacks a name. Binding an already bound library succeeds at once.
int crypton_load();
int accord_load();
int sable_load();
void crypton_unload();
void accord_unload();
void sable_unload();

// The slots, for direct use.
int CRYPTON_rand_init(void* a, void* b);
int CRYPTON_method_bytes(unsigned char* buffer, int length);
int CRYPTON_method_cleanup();
int CRYPTON_rand_info(void* record);
int ACCORD_rand_init(void* a, void* b);
int ACCORD_method_bytes(unsigned char* buffer, int length);
int ACCORD_method_cleanup();
int ACCORD_rand_info(void* record);
int SABLE_rand_init(void* a, void* b);
int SABLE_method_bytes(unsigned char* buffer, int length);
int SABLE_method_cleanup();

}  // namespace qcrypto
