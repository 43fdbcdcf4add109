// Stand-in for the Accord board's driver library "tmdrv32.dll".
#include <cstring>

#include "stand-ins/rand_boards/board_control.h"

namespace {
standin::Board g_board("DOSSAR_STANDIN_ACCORD", 0x4143434f5244ULL);
}  // namespace

STANDIN_EXPORT int TmDriverPresent() {
  standin::log_call("TmDriverPresent");
  return 1;
}

STANDIN_EXPORT int TmGetVersion() {
  standin::log_call("TmGetVersion");
  return 0x0304;
}

// The 14-byte info record: bytes 0-6 a board identity, byte 7 feature bits
// (bit 1: random source fitted), the rest zero.
STANDIN_EXPORT int TmGetInfo(int port, unsigned char* record, int size, unsigned short* status) {
  standin::log_call("TmGetInfo");
  if (status != nullptr) *status = 0;
  if (record == nullptr || size < 14 || port != 0) return 1;
  const standin::BoardControl c = g_board.control();
  if (!c.present) return 1;
  std::memset(record, 0, static_cast<std::size_t>(size));
  static constexpr unsigned char kIdentity[] = {'A', 'C', 'C', 'O', 'R', 'D'};  // bytes, not a C string
  std::memcpy(record, kIdentity, sizeof kIdentity);
  record[7] = c.no_random ? 0x01 : 0x03;
  g_board.open();
  if (status != nullptr) *status = 1;
  return 0;
}

#ifndef STANDIN_OMIT_RANDOM_EXPORT
STANDIN_EXPORT unsigned short TmGetRandomBytes(unsigned char* buffer, int length) {
  standin::log_call("TmGetRandomBytes");
  if (buffer == nullptr || length < 1) return 1;
  return g_board.draw(buffer, length) ? 0 : 0x8001;
}
#endif
