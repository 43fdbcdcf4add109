// Key blocks reach the container from key media and key files: the KEK
// record, the random state, protected numbers and old signing secrets. A
// block is accepted only when its MAC fits the decrypted value; a refused
// one leaves nothing in the output. Input: byte 0 chooses the reader (bits
// 0-1: KEK record, opaque block, old key record of any length) and whether
// the block is sealed properly first (bit 2); the rest is the record.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/pse/pse.h"
#include "tests/support/pse_memory.h"

namespace {

bool all_zero(const unsigned char* p, size_t n) {
  return std::all_of(p, p + n, [](unsigned char c) { return c == 0; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  static qcrypto::testing_support::MemoryPseStore store;
  const int reader = data[0] & 3;
  std::vector<unsigned char> record(data + 1, data + size);
  const size_t offset = reader == 1 ? 0 : qcrypto::PSE_OLD_KEY_BLOCK_OFFSET;
  if ((data[0] & 4) != 0 && record.size() >= offset + 36) {
    unsigned char plain[32];
    std::memcpy(plain, record.data() + offset, 32);
    const unsigned char* key = reader == 0 ? store.master_key->data : store.kek->data;
    qcrypto::PSE_encrypt32(plain, record.data() + offset, key, store.sbox->data);
  }
  unsigned char out[32];
  std::memset(out, 0xA5, sizeof out);
  if (reader == 0) {
    if (record.size() != 42) return 0;  // read exactly
    qcrypto::UniquePtr<qcrypto::PSE> c(qcrypto::PSE_new());
    c->sbox = qcrypto::PSE_ENTRY_set(store.sbox->data, 64);
    c->master_key = qcrypto::PSE_ENTRY_set(store.master_key->data, 32);
    const int ok = qcrypto::PSE_load_kek(c.get(), record.data() + 6);
    if (ok != 1 && c->kek != nullptr) std::abort();
    if (ok == 1 && (c->fingerprint == nullptr || c->kek->length != 32)) std::abort();
  } else if (reader == 1) {
    if (record.size() != 36) return 0;
    if (qcrypto::PSE_read_opaque(&store, record.data(), out) == nullptr && !all_zero(out, 32)) std::abort();
  } else {
    // Exact-size copy: a short record must be refused before it is read.
    if (qcrypto::PSE_read_opaque_inverted(&store, record.empty() ? nullptr : record.data(),
                                          static_cast<long>(record.size()), out) != 1 &&
        !all_zero(out, 32))
      std::abort();
  }
  qcrypto::ERR_clear_error();
  return 0;
}
