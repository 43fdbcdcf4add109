// The random-number layer: every random byte of the crypto library comes from
// the one installed method record, reached through the RAND_* dispatchers.
//
// All dispatchers take numbered lock 17 (recursive), so a method's slots may
// call back into the layer from the same thread. Method records are static
// and never freed; installing a record never copies it.
#pragma once

namespace qcrypto {

// A method record: eight slots in this order, any of which may be empty.
struct RAND_METHOD {
  // Seeds the generator. The buffer may be rewritten by the method (the
  // software generator replaces the seed by fresh output). Non-zero on success.
  int (*seed)(unsigned char* buffer, int length);
  // Fills the buffer; returns the number of bytes delivered.
  int (*bytes)(unsigned char* buffer, int length);
  // Forgets the method's state. Non-zero on success.
  int (*cleanup)();
  // Method-specific start with two arguments. Non-zero on success.
  int (*init)(void* a, void* b);
  // Slots 5 and 6 are never set.
  void (*reserved5)();
  void (*reserved6)();
  // Method-specific information about the generator. Non-zero on success.
  int (*info)(void* argument);
  // Non-zero when the record is only the toolkit's placeholder.
  int (*placeholder)();
};

// The installed record, or null.
const RAND_METHOD* RAND_get_rand_method();
// Installs `method` (null uninstalls). A different installed record is
// cleaned up first; installing the record already in place changes nothing.
void RAND_set_rand_method(const RAND_METHOD* method);

// 1 when a record was installed and is now forgotten; 0 when none was
// installed or its cleanup slot failed (the record then stays installed).
int RAND_cleanup();
// 1 on success or when the record has no seed slot; 0 when the slot fails or
// no record is installed (error 69/102/100).
int RAND_seed(unsigned char* buffer, int length);
// The bytes slot's count (0 when the slot is empty); no record: error
// 69/101/100 and 0.
int RAND_bytes(unsigned char* buffer, int length);
// 1 when the init slot returns non-zero, else 0; no record: error 69/103/100.
int RAND_init(void* a, void* b);
// 1 when the info slot returns non-zero, else 0 (also with no record or slot).
int RAND_info(void* argument);
// The placeholder slot's result; 0 with no record or no slot.
int RAND_is_placeholder();

// Function codes of library 69.
enum RandFunction : int {
  RAND_F_RAND_CLEANUP = 100,
  RAND_F_RAND_BYTES = 101,
  RAND_F_RAND_SEED = 102,
  RAND_F_RAND_INIT = 103,
  RAND_F_RAND_INFO = 106,
  RAND_F_GRAND_RAND_INIT = 107,
  RAND_F_GRAND_RAND_BYTES = 108,
  RAND_F_GRAND_PRF = 109,
  RAND_F_GRAND_GAMMA_RAND_SEED = 110,
  RAND_F_GRAND_GAMMA_RAND_INIT = 111,
  RAND_F_CRYPTON_RAND_BYTES = 112,
  RAND_F_CRYPTON_RAND_INIT = 113,
  RAND_F_CRYPTON_RAND_INFO = 114,
  RAND_F_ACCORD_RAND_BYTES = 115,
  RAND_F_ACCORD_RAND_INIT = 116,
  RAND_F_ACCORD_RAND_INFO = 117,
  RAND_F_SABLE_RAND_BYTES = 118,
  RAND_F_SABLE_RAND_INIT = 119,
};

// Reasons of library 69 (below 100 the common ones, 69 "RAND lib").
enum RandReason : int {
  RAND_R_METHOD_NOT_SET = 100,
  RAND_R_FIFO_REQUIRED = 101,
};

}  // namespace qcrypto
