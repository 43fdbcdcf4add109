// Stand-in for the Sable card's driver library "SnElLock.dll".
#include "stand-ins/rand_boards/board_control.h"

namespace {
standin::Board g_board("DOSSAR_STANDIN_SABLE", 0x5341424c45ULL);
}  // namespace

// 0: a card is present.
STANDIN_EXPORT int sbisCard() {
  standin::log_call("sbisCard");
  if (!g_board.control().present) return 1;
  g_board.open();
  return 0;
}

STANDIN_EXPORT int sbGetRand(unsigned char* buffer, int length) {
  standin::log_call("sbGetRand");
  if (buffer == nullptr || length < 1) return -1;
  return g_board.draw(buffer, length) ? 0 : 5;
}
