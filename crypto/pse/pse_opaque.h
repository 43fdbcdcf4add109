// What the random-state code needs of a key container: turning a 36-byte key
// block (a 32-byte secret encrypted under the container's key-encryption key,
// with its MAC) into the secret and back.
//
// The key container implements this interface; tests use an in-memory
// double. PSE_read_opaque / PSE_write_opaque add the container lock (25) and
// the error reporting around the container's own code.
#pragma once

namespace qcrypto {

constexpr int PSE_OPAQUE_PLAIN_BYTES = 32;
constexpr int PSE_OPAQUE_BLOCK_BYTES = 36;

class PseOpaqueStore {
 public:
  virtual ~PseOpaqueStore() = default;
  // Decrypts and checks `block` (36 bytes) into `out` (32). False on a MAC
  // mismatch or any failure.
  virtual bool decrypt_opaque(const unsigned char* block, unsigned char* out) = 0;
  // Encrypts `plain` (32 bytes) into the block `out` (36).
  virtual bool encrypt_opaque(const unsigned char* plain, unsigned char* out) = 0;
};

// -> out, or null with error (74, 108, 74) and out zeroed.
unsigned char* PSE_read_opaque(PseOpaqueStore* container, const unsigned char* block, unsigned char* out);
// -> out, or null with error (74, 109, 74) and the first 32 bytes of out zeroed.
unsigned char* PSE_write_opaque(PseOpaqueStore* container, const unsigned char* plain, unsigned char* out);

// The key container as the key code sees it: a store of key blocks. The key
// records name it (PSE*, never owned); the full container builds on this.
struct PSE : public PseOpaqueStore {};

// Offset of the key block inside an old-format container's key record.
constexpr int PSE_OLD_KEY_BLOCK_OFFSET = 6;
constexpr int PSE_OLD_KEY_RECORD_BYTES = PSE_OLD_KEY_BLOCK_OFFSET + PSE_OPAQUE_BLOCK_BYTES;

// Reverses the 32 bytes in place (under lock 25): -> buffer, or null with
// error (74, 106, 74).
unsigned char* PSE_invert32(unsigned char* buffer);
// Opens the key block at offset 6 of an old-format key record and reverses
// the 32 output bytes (old-format numbers are stored little-endian). The
// record must hold PSE_OLD_KEY_RECORD_BYTES; a shorter one fails. 1 / 0 with
// out zeroed.
int PSE_read_opaque_inverted(PseOpaqueStore* container, const unsigned char* record, long record_length,
                             unsigned char* out);

// Function codes of library 74 used here.
enum PseOpaqueFunction : int {
  PSE_F_PSE_INVERT32 = 106,
  PSE_F_PSE_READ_OPAQUE = 108,
  PSE_F_PSE_WRITE_OPAQUE = 109,
};

}  // namespace qcrypto
