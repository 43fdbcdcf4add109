// The buffered draw every board driver shares: a buffer refilled from the
// board as a whole, each refill tried a few times, delivered bytes wiped from
// the buffer as they leave.
#pragma once

#include <openssl/crypto.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "crypto/err/err.h"
#include "crypto/rand/rand_hw.h"

namespace qcrypto {

template <std::size_t N>
struct BoardBuffer {
  unsigned char bytes[N];
  int position;
  int available;
};

// Delivers `length` bytes, refilling the whole buffer through `refill`
// (true: the board filled it). A board that fails every attempt raises
// (69, func, 12), leaves nothing in `out` and gives 0.
template <std::size_t N, class Refill>
int board_draw(BoardBuffer<N>& b, unsigned char* out, int length, int func, Refill refill) {
  if (out == nullptr || length < 1) return 0;
  int done = 0;
  while (done < length) {
    if (b.available == 0) {
      bool filled = false;
      for (int attempt = 0; attempt < RAND_DEVICE_ATTEMPTS && !filled; ++attempt) filled = refill(b.bytes);
      if (!filled) {
        OPENSSL_cleanse(b.bytes, N);
        OPENSSL_cleanse(out, static_cast<std::size_t>(done));
        QERR(ERRLIB_RAND, func, ERR_R_INTERNAL);
        return 0;
      }
      b.available = static_cast<int>(N);
      b.position = 0;
    }
    const int n = std::min(b.available, length - done);
    std::memcpy(out + done, b.bytes + b.position, static_cast<std::size_t>(n));
    OPENSSL_cleanse(b.bytes + b.position, static_cast<std::size_t>(n));
    b.position += n;
    b.available -= n;
    done += n;
  }
  return done;
}

// The state of the Accord and Sable drivers.
struct SmallBoardState {
  BoardBuffer<32> buffer;
  bool initialised;
};

}  // namespace qcrypto
