// A key container held by the test itself: a real PSE whose master key and
// KEK come from a seed; &store is a PSE*.
#pragma once

#include "crypto/pse/pse.h"
#include "crypto/rus/gost28147.h"

namespace qcrypto::testing_support {

inline bool set_entry(PSE_ENTRY** slot, const unsigned char* data, uint32_t n) {
  PSE_ENTRY_free(*slot);
  *slot = PSE_ENTRY_set(data, n);
  return *slot != nullptr;
}

class MemoryPseStore : public PSE {
 public:
  explicit MemoryPseStore(unsigned char seed = 0x3C) : PSE{} {
    unsigned char master[32], key[32];
    for (int i = 0; i < 32; ++i) {
      master[i] = static_cast<unsigned char>((seed ^ 0x5A) + 3 * i);
      key[i] = static_cast<unsigned char>(seed + 7 * i);
    }
    references = 1;
    set_entry(&sbox, GOSTE_get_default_sbox(), 64);
    set_entry(&master_key, master, 32);
    set_entry(&kek, key, 32);
    PSE_finger_print(this);
  }
  ~MemoryPseStore() {
    PSE_ENTRY_free(sbox);
    PSE_ENTRY_free(master_key);
    PSE_ENTRY_free(kek);
    PSE_ENTRY_free(fingerprint);
  }
  MemoryPseStore(const MemoryPseStore&) = delete;
  MemoryPseStore& operator=(const MemoryPseStore&) = delete;

  // PSE_write_opaque / PSE_read_opaque as booleans.
  bool encrypt_opaque(const unsigned char* plain, unsigned char* out) {
    return PSE_write_opaque(this, plain, out) != nullptr;
  }
  bool decrypt_opaque(const unsigned char* block, unsigned char* out) {
    return PSE_read_opaque(this, block, out) != nullptr;
  }
  // From now on every block of this container fails its check (another KEK).
  void break_reads() {
    if (kek != nullptr) kek->data[0] ^= 0x01;
  }
  // Undoes break_reads.
  void mend_reads() { break_reads(); }
  // From now on the container can seal nothing (no KEK at all).
  void break_writes() {
    PSE_ENTRY_free(kek);
    kek = nullptr;
  }
};

}  // namespace qcrypto::testing_support
