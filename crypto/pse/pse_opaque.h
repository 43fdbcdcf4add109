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

// Function codes of library 74 used here.
enum PseOpaqueFunction : int {
  PSE_F_PSE_READ_OPAQUE = 108,
  PSE_F_PSE_WRITE_OPAQUE = 109,
};

}  // namespace qcrypto
