// Prints every PC/SC reader and, for each token, its generation, serial and
// label, through the token SDK's core.
#include <cstdio>

#include "vxsdk/ca_exception.h"
#include "vxsdk/registry.h"

int main() {
  try {
    const auto readers = vxsdk::CReaderRegistry::Instance().ListReaders();
    if (readers.empty()) {
      std::printf("no PC/SC readers\n");
    }
    for (const auto& r : readers) {
      std::printf("reader \"%s\": %s\n", r.name.c_str(), r.present != 0 ? "card present" : "empty");
      if (r.present == 0) {
        continue;
      }
      try {
        auto t = vxsdk::CReaderRegistry::Instance().BindReader(r.name);
        vxsdk::CardBracket b(*t);
        std::string serial;
        for (uint8_t x : t->Serial()) {
          char h[4];
          std::snprintf(h, sizeof h, "%02x", x);
          serial += h;
        }
        std::printf("  token %s, serial %s, label \"%s\"\n", t->Name().c_str(), serial.c_str(), t->Label().c_str());
      } catch (const vxsdk::CAException& e) {
        std::printf("  no token of ours (0x%08X)\n", static_cast<unsigned>(e.Code()));
      }
    }
  } catch (const vxsdk::CAException& e) {
    std::printf("PC/SC is not available (0x%08X)\n", static_cast<unsigned>(e.Code()));
    return 1;
  }
  return 0;
}
