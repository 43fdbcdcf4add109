// The old format's S-box record is read from a key medium: it is taken only
// with its tag and share count, and the S-box it gives is the XOR of the
// seven shares, whatever their bytes. Input: the 454-byte record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/pse/pse.h"
#include "crypto/pse/pse_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size != qcrypto::PSE30_SBOX_RECORD_BYTES) return 0;  // the file layer reads exactly this many
  const std::vector<unsigned char> record(data, data + size);
  qcrypto::UniquePtr<qcrypto::PSE> container(qcrypto::PSE_new());
  if (!container) return 0;
  const int ok = qcrypto::PSE_read_sbox(container.get(), record.data());
  if (ok != ((record[0] == 0x40 && record[1] == 7) ? 1 : 0)) std::abort();
  if (ok == 1) {
    for (int i = 0; i < 64; ++i) {
      unsigned char x = 0;
      for (int s = 0; s < 7; ++s) x ^= record[static_cast<size_t>(6 + 64 * s + i)];
      if (container->sbox->data[i] != x) std::abort();
    }
    // The container's S-box then drives the cipher: a block must round-trip.
    unsigned char key[32] = {1, 2, 3}, plain[32] = {9}, block[36], back[32];
    if (qcrypto::PSE_encrypt32(plain, block, key, container->sbox->data) != 1 ||
        qcrypto::PSE_decrypt32(block, back, key, container->sbox->data) != 1)
      std::abort();
  }
  qcrypto::ERR_clear_error();
  return 0;
}
