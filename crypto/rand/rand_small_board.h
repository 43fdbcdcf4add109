// What the Accord and Sable drivers share: a 32-byte buffer refilled from the
// board, each refill tried a few times.
#pragma once

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/rand/rand_hw.h"

namespace qcrypto {

struct SmallBoardState {
  unsigned char buffer[32];
  int position;
  int available;
  bool initialised;
};

// Delivers `length` bytes, refilling through `refill` (true: the board
// filled the 32 bytes). A board that fails every attempt raises
// (69, func, 12), leaves nothing in `out` and gives 0.
template <class Refill>
int small_board_draw(SmallBoardState& s, unsigned char* out, int length, int func, Refill refill) {
  if (!s.initialised || out == nullptr || length < 1) return 0;
  int done = 0;
  while (done < length) {
    if (s.available == 0) {
      bool filled = false;
      for (int attempt = 0; attempt < RAND_DEVICE_ATTEMPTS && !filled; ++attempt) filled = refill(s.buffer);
      if (!filled) {
        OPENSSL_cleanse(s.buffer, sizeof(s.buffer));
        OPENSSL_cleanse(out, static_cast<std::size_t>(done));
        QERR(ERRLIB_RAND, func, ERR_R_INTERNAL);
        return 0;
      }
      s.available = static_cast<int>(sizeof(s.buffer));
      s.position = 0;
    }
    const int n = std::min(s.available, length - done);
    std::memcpy(out + done, s.buffer + s.position, static_cast<std::size_t>(n));
    OPENSSL_cleanse(s.buffer + s.position, static_cast<std::size_t>(n));
    s.position += n;
    s.available -= n;
    done += n;
  }
  return done;
}

}  // namespace qcrypto
