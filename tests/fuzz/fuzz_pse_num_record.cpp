// The old format's number record: tag 0x22 and a MAC of its first 15 bytes
// under the master key. Input: byte 0 (bit 0: fix the MAC up first, so the
// accepting path is reached) then the 19-byte record.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/pse/pse_files.h"
#include "crypto/rus/gost28147.h"
#include "tests/support/pse_memory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size != 1 + qcrypto::PSE30_NUM_RECORD_BYTES) return 0;
  static qcrypto::testing_support::MemoryPseStore container;
  std::vector<unsigned char> record(data + 1, data + size);
  if ((data[0] & 1) != 0)
    qcrypto::GOSTE_mac(nullptr, record.data(), 15, container.master_key->data, container.sbox->data,
                       record.data() + 15);
  unsigned char mac[4];
  qcrypto::GOSTE_mac(nullptr, record.data(), 15, container.master_key->data, container.sbox->data, mac);
  const bool valid = record[0] == 0x22 && std::equal(mac, mac + 4, record.begin() + 15);
  if (qcrypto::PSE_check_num_info(&container, record.data()) != (valid ? 1 : 0)) std::abort();
  qcrypto::ERR_clear_error();
  return 0;
}
