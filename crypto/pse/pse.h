// The key container (PSE): the in-memory record, its entries, the 36-byte key
// blocks, the master key kept as XOR shares and the key-encryption key.
//
// A container's root is a 256-bit master key that is never stored whole: the
// master-key record holds 32-byte shares whose XOR is the key, with a 32-bit
// MAC of 32 zero bytes under the key as its check value. Every further secret
// (the KEK, the saved random state, protected private numbers) is a 32-byte
// value kept as a key block: the value encrypted with GOST 28147-89 in simple
// substitution, then the 32-bit MAC of the plain value.
#pragma once

#include <cstdint>

#include "crypto/cclib/owner.h"

namespace qcrypto {

constexpr int PSE_OPAQUE_PLAIN_BYTES = 32;
constexpr int PSE_OPAQUE_BLOCK_BYTES = 36;
constexpr int PSE_KEY_BYTES = 32;
constexpr int PSE_SBOX_BYTES = 64;

// Master-key record: tag, share count N, check value, N shares.
constexpr unsigned char PSE_MKEY_TAG = 0x22;
constexpr int PSE_MKEY_HEADER_BYTES = 6;
constexpr int PSE_MKEY_SHARES = 8;  // what this library writes
constexpr int PSE_MKEY_RECORD_BYTES = PSE_MKEY_HEADER_BYTES + PSE_KEY_BYTES * PSE_MKEY_SHARES;  // 262
// The most shares that may be handed to a second medium.
constexpr int PSE_MKEY_MAX_KEPT_APART = 7;
// The longest record a share count byte can describe.
constexpr int PSE_MKEY_MAX_RECORD_BYTES = PSE_MKEY_HEADER_BYTES + PSE_KEY_BYTES * 255;

// Offset of the key block inside an old-format key record (and a KEK record).
constexpr int PSE_OLD_KEY_BLOCK_OFFSET = 6;
constexpr int PSE_OLD_KEY_RECORD_BYTES = PSE_OLD_KEY_BLOCK_OFFSET + PSE_OPAQUE_BLOCK_BYTES;

// One secret held by a container; its bytes are wiped before they are freed.
struct PSE_ENTRY {
  unsigned char* data;
  uint32_t length;
};

struct PSE {
  PSE_ENTRY* master_key;   // 32 bytes: XOR of the shares
  PSE_ENTRY* sbox;         // 64 bytes: the container's GOST 28147 S-box set
  PSE_ENTRY* kek;          // 32 bytes, or null before PSE_load_kek
  int32_t references;      // starts at 1; changed under lock 25
  char* path;              // key-medium path the container was opened from (owned), or null
  PSE_ENTRY* fingerprint;  // 32 bytes, or null before PSE_load_kek
};

// Earlier name of the container as the random-state and key code saw it.
using PseOpaqueStore = PSE;

PSE_ENTRY* PSE_ENTRY_new();
// A copy of `length` bytes of `data`, or `length` zero bytes when data is null.
PSE_ENTRY* PSE_ENTRY_set(const unsigned char* data, uint32_t length);
void PSE_ENTRY_free(PSE_ENTRY* entry);

PSE* PSE_new();
// Drops one reference; the last one wipes and frees everything.
void PSE_free(PSE* container);
void PSE_close(PSE* container);
// Adds a holder (under lock 25): 1, or 0 for null.
int PSE_up_ref(PSE* container);

// Key blocks under an explicit key and S-box (null S-box: the default cipher
// set). 1 / 0; on failure `out` holds no secret.
int PSE_encrypt32(const unsigned char* plain, unsigned char* out, const unsigned char* key, const unsigned char* sbox);
int PSE_decrypt32(const unsigned char* block, unsigned char* out, const unsigned char* key, const unsigned char* sbox);

// Key blocks under the container's KEK (under lock 25).
// -> out, or null with error (74, 108, 74) and out zeroed.
unsigned char* PSE_read_opaque(PSE* container, const unsigned char* block, unsigned char* out);
// -> out, or null with error (74, 109, 74) and the first 32 bytes of out zeroed.
unsigned char* PSE_write_opaque(PSE* container, const unsigned char* plain, unsigned char* out);
// Reverses the 32 bytes in place (under lock 25): -> buffer, or null with
// error (74, 106, 74).
unsigned char* PSE_invert32(unsigned char* buffer);
// Opens the key block at offset 6 of an old-format key record and reverses
// the 32 output bytes (old-format numbers are stored little-endian). The
// record must hold PSE_OLD_KEY_RECORD_BYTES. 1 / 0 with out zeroed.
int PSE_read_opaque_inverted(PSE* container, const unsigned char* record, long record_length, unsigned char* out);

// Builds a record of n (>= 1) shares of `master_key` checked under `sbox`.
// With out null only *length is set (32 x n + 6); otherwise *length is the
// room at out on entry and the record's length on return.
int PSE_make_mkey_record(const unsigned char* master_key, int n, unsigned char* out, int* length,
                         const unsigned char* sbox);
// Recovers and checks the master key from a whole record of `length` bytes.
// A record that claims no shares or whose length does not match its count
// is refused ("invalit object format"). 1 / 0 with out zeroed.
int PSE_load_mkey(unsigned char* out, const unsigned char* record, int length, const unsigned char* sbox);
// A record kept in two parts: `first` as read from the record file, then
// `second_length` bytes of kept-apart shares. These must be whole shares of
// the record (a multiple of 32, at most 32 x N) and the parts together exactly
// the record; otherwise "invalit object format". 1 / 0 with out zeroed.
int PSE_load_mkey_parts(unsigned char* out, const unsigned char* first, int first_length, const unsigned char* second,
                        int second_length, const unsigned char* sbox);
// Writes an 8-share record to `path`. With a second-medium buffer the last
// k = *length / 32 shares (at most 7) go there instead of into the file and
// *length becomes 32 x k; otherwise *length becomes 0. The file is on the
// medium (written, flushed and checked) before 1 is returned.
int PSE_save_mkey(const char* path, const unsigned char* master_key, unsigned char* second, int* length,
                  const unsigned char* sbox);
// Reads the record file, completes it with the kept-apart shares and checks
// it. `second_length` must be a multiple of 32 and leave the file at least
// its header. 1 / 0 with out zeroed.
int pse_read_record(const char* path, unsigned char* out, const unsigned char* second, int second_length,
                    const unsigned char* sbox);
// A container with its master key loaded from the record file; sbox null:
// the default cipher set.
PSE* PSE_init(const char* path, const unsigned char* second, int second_length, const unsigned char* sbox);
// Opens the 36-byte KEK block under the master key and computes the
// fingerprint. 1 / 0 (the container's KEK is then absent).
int PSE_load_kek(PSE* container, const unsigned char* block);
// GOST R 34.11-94 over the master key twice, with the container's S-box.
int PSE_finger_print(PSE* container);

// Function codes of library 74.
enum PseFunction : int {
  PSE_F_PSE_ENTRY_NEW = 100,
  PSE_F_PSE_ENTRY_SET = 101,
  PSE_F_PSE_NEW = 102,
  PSE_F_PSE_INIT = 103,
  PSE_F_PSE_DECRYPT32 = 104,
  PSE_F_PSE_ENCRYPT32 = 105,
  PSE_F_PSE_INVERT32 = 106,
  PSE_F_PSE_READ_OPAQUE = 108,
  PSE_F_PSE_WRITE_OPAQUE = 109,
  PSE_F_PSE_LOAD_MKEY = 111,
  PSE_F_PSE_LOAD_KEK = 113,
  PSE_F_PSE_READ_SBOX = 117,
  PSE_F_PSE_SAVE_MKEY = 118,
  PSE_F_PSE_FINGER_PRINT = 119,
  PSE_F_PSE_CHECK_NUM_INFO = 120,
  PSE_F_PSE30_READ = 125,
  PSE_F_PSE30_OPEN = 127,
  PSE_F_PSE_READ_SEC_SGN_OLD = 128,
};
// Reasons of library 74 (74 "PSE lib" marks a failure passed up, 33 memory).
enum PseReason : int {
  PSE_R_MEMORY = 33,
  PSE_R_PSE_LIB = 74,
  PSE_R_INVALID_MAC = 100,
  PSE_R_READ_FILE = 101,
  PSE_R_WRITE_FILE = 102,
  PSE_R_INVALID_FORMAT = 103,
};

}  // namespace qcrypto

QCRYPTO_DECLARE_OWNER(qcrypto::PSE_ENTRY, qcrypto::PSE_ENTRY_free)
QCRYPTO_DECLARE_OWNER(qcrypto::PSE, qcrypto::PSE_free)
