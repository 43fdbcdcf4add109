// How a test drives a stand-in random board.
//
// Each board reads its environment variable at every call:
//   DOSSAR_STANDIN_CRYPTON, DOSSAR_STANDIN_ACCORD, DOSSAR_STANDIN_SABLE
// a comma-separated list of
//   present      the board is fitted (without it, or when the variable is
//                unset, the library loads but finds no board)
//   fail=N       the first N draws after the board is opened fail
//   die=K        K draws succeed, then every draw fails
//   noservice    (Crypton) every service start fails
//   norandom     (Accord) the board answers but has no random source
//   seed=S       the byte stream (decimal; default 0)
// DOSSAR_STANDIN_LOG, when set, names a file that gets one line per call:
// the exported name, for tests that check the calling protocol.
#pragma once

#include <cstdint>

namespace standin {

struct BoardControl {
  bool present = false;
  long fail_first = 0;
  long die_after = -1;  // -1: never
  bool no_service = false;
  bool no_random = false;
  uint64_t seed = 0;
};

BoardControl read_control(const char* variable);
void log_call(const char* name);

// Per board: the draw counters since the board was last opened, and the
// output stream.
class Board {
 public:
  explicit Board(const char* variable, uint64_t salt) : variable_(variable), salt_(salt) {}
  BoardControl control() const { return read_control(variable_); }
  // Opening restarts the counters and the stream.
  void open();
  // One draw: false when this draw is scripted to fail, else fills `out`.
  bool draw(unsigned char* out, int length);

 private:
  const char* variable_;
  uint64_t salt_;
  long draws_ = 0;
  long successes_ = 0;
  uint64_t position_ = 0;
};

}  // namespace standin

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))
