// An in-memory key container for the random-state and key tests: a 36-byte block is
// the secret XOR a mask, then a 4-byte check of the secret, so a changed
// block fails to open, as a real container's MAC would.
#pragma once

#include <cstdint>
#include <cstring>

#include "crypto/pse/pse_opaque.h"

namespace qcrypto::testing_support {

class MemoryPseStore : public PSE {
 public:
  explicit MemoryPseStore(unsigned char mask_seed = 0x3C) {
    for (int i = 0; i < 32; ++i) mask_[i] = static_cast<unsigned char>(mask_seed + 7 * i);
  }

  bool decrypt_opaque(const unsigned char* block, unsigned char* out) override {
    ++reads;
    if (fail_reads) return false;
    unsigned char plain[32];
    for (int i = 0; i < 32; ++i) plain[i] = block[i] ^ mask_[i];
    const uint32_t check = check_of(plain);
    unsigned char stored[4];
    std::memcpy(stored, block + 32, 4);
    if (std::memcmp(stored, &check, 4) != 0) return false;
    std::memcpy(out, plain, 32);
    return true;
  }

  bool encrypt_opaque(const unsigned char* plain, unsigned char* out) override {
    ++writes;
    if (fail_writes) return false;
    for (int i = 0; i < 32; ++i) out[i] = plain[i] ^ mask_[i];
    const uint32_t check = check_of(plain);
    std::memcpy(out + 32, &check, 4);
    return true;
  }

  int reads = 0, writes = 0;
  bool fail_reads = false, fail_writes = false;

 private:
  static uint32_t check_of(const unsigned char* plain) {
    uint32_t h = 2166136261u;  // FNV-1a
    for (int i = 0; i < 32; ++i) h = (h ^ plain[i]) * 16777619u;
    return h;
  }
  unsigned char mask_[32];
};

}  // namespace qcrypto::testing_support
