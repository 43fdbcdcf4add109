// The reader registry is released with the library's statics: a process
// that binds a token and exits closes the card connection and its context
// before it ends. An exit handler registered before the registry exists
// runs after the registry's destructor and checks the fake's counts.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tests/support/fake_pcsc.h"
#include "vxsdk/registry.h"

namespace {

void CheckAfterStatics() {
  auto& f = test_support::FakePcsc::Get();
  const bool ok = f.calls.connect == 1 && f.calls.disconnect == 1 && f.calls.establish == f.calls.release;
  std::printf("connect %d disconnect %d establish %d release %d: %s\n", f.calls.connect, f.calls.disconnect,
              f.calls.establish, f.calls.release, ok ? "released" : "NOT released");
  std::fflush(stdout);
  _exit(ok ? 0 : 1);
}

}  // namespace

int main() {
  std::atexit(CheckAfterStatics);
  auto& f = test_support::FakePcsc::Get();
  f.Install();
  f.AddReader("R", std::make_shared<test_support::CardCore>(test_support::Persona::K2Short));
  try {
    vxsdk::CReaderRegistry::Instance().BindReader("R");
  } catch (...) {
    std::printf("bind failed\n");
    return 2;
  }
  if (f.calls.disconnect != 0) {
    std::printf("closed too early\n");
    return 3;
  }
  return 0;
}
