// Master-key records come from key media anyone may have written: the reader
// must refuse every record that is not whole, never read past either part,
// and accept only a record whose check value fits the XOR of its shares.
// Input: byte 0 chooses how many bytes of the rest are kept-apart shares (its
// low 3 bits x 32, plus bit 3: one byte off) and whether the check value is
// fixed up first (bit 4), so the accepting path is reached too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/pse/pse.h"
#include "crypto/rus/gost28147.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 8 * 1024) return 0;
  const int control = data[0];
  std::vector<unsigned char> body(data + 1, data + size);
  int second = 32 * (control & 7) + ((control & 8) != 0 ? 1 : 0);
  if (second > static_cast<int>(body.size())) second = static_cast<int>(body.size());
  const int first = static_cast<int>(body.size()) - second;
  if ((control & 16) != 0 && body.size() >= 6) {
    // Fix the check value up from the shares the record holds.
    unsigned char key[32] = {};
    const int n = body[1];
    for (int s = 0; s < n && 6 + 32 * (s + 1) <= static_cast<int>(body.size()); ++s)
      for (int i = 0; i < 32; ++i) key[i] ^= body[static_cast<size_t>(6 + 32 * s + i)];
    qcrypto::GOSTE_mac(nullptr, std::vector<unsigned char>(32, 0).data(), 32, key, nullptr, body.data() + 2);
  }
  // Exact-size heap copies, so that any read past a part is seen.
  std::vector<unsigned char> a(body.begin(), body.begin() + first), b(body.begin() + first, body.end());
  unsigned char out[32];
  const int ok = qcrypto::PSE_load_mkey_parts(out, a.empty() ? nullptr : a.data(), first,
                                              b.empty() ? nullptr : b.data(), second, nullptr);
  if (ok == 1) {
    // Accepted: a whole record of N shares whose check value is right.
    if (body[0] != 0x22 || body[1] == 0 || static_cast<int>(body.size()) != 6 + 32 * body[1]) std::abort();
    unsigned char again[32];
    if (qcrypto::PSE_load_mkey(again, body.data(), static_cast<int>(body.size()), nullptr) != 1 ||
        std::memcmp(again, out, 32) != 0)
      std::abort();
  } else {
    for (unsigned char c : out)
      if (c != 0) std::abort();  // a refused record leaves no key behind
  }
  qcrypto::ERR_clear_error();
  return 0;
}
