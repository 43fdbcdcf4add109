// Stand-in for the Crypton board's driver library "vtcrptn.dll".
#include <cstring>

#include "stand-ins/rand_boards/board_control.h"

namespace {

standin::Board g_board("DOSSAR_STANDIN_CRYPTON", 0x43525950544f4eULL);
int g_lib_opened = 0;
// A service handle is the address of one of these; each kind its own.
int g_services[3];

void* service(int kind, const char* name) {
  standin::log_call(name);
  const standin::BoardControl c = g_board.control();
  if (g_lib_opened == 0 || !c.present || c.no_service) return nullptr;
  return &g_services[kind];
}

bool valid(void* s) { return s == &g_services[0] || s == &g_services[1] || s == &g_services[2]; }

}  // namespace

STANDIN_EXPORT int crInitCryptonLib() {
  standin::log_call("crInitCryptonLib");
  if (!g_board.control().present) return 0;
  ++g_lib_opened;
  g_board.open();
  return 1;
}

STANDIN_EXPORT void crDoneCryptonLib() {
  standin::log_call("crDoneCryptonLib");
  if (g_lib_opened > 0) --g_lib_opened;
}

STANDIN_EXPORT void* crInitService() { return service(0, "crInitService"); }
STANDIN_EXPORT void* crInitHardwareService() { return service(1, "crInitHardwareService"); }
STANDIN_EXPORT void* crInitLightService() { return service(2, "crInitLightService"); }

STANDIN_EXPORT void crDoneService(void*) { standin::log_call("crDoneService"); }

STANDIN_EXPORT int crGetDriverType() {
  standin::log_call("crGetDriverType");
  return 7;
}

STANDIN_EXPORT void crGetDriverVersion(unsigned char* version2) {
  standin::log_call("crGetDriverVersion");
  if (version2 != nullptr) {
    version2[0] = 2;
    version2[1] = 31;
  }
}

STANDIN_EXPORT int crRandom(void* s, int length, unsigned char* buffer) {
  standin::log_call("crRandom");
  if (!valid(s) || buffer == nullptr || length < 1) return 0;
  return g_board.draw(buffer, length) ? 1 : 0;
}

STANDIN_EXPORT int crControlledRandom(void* s, unsigned char* buffer512) {
  standin::log_call("crControlledRandom");
  if (!valid(s) || buffer512 == nullptr) return 0;
  return g_board.draw(buffer512, 512) ? 1 : 0;
}
