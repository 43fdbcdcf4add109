// What the two token BIOs share: the driver bound by name, and the buffer
// side (the open file held in a MediaBuffer; reads and writes the open mode
// does not allow refused; any write noted, since a read-write open that only
// read must not put back the unread rest; what is pending written back when
// the BIO is freed).
#pragma once

#include <openssl/bio.h>

#include <array>
#include <cstddef>
#include <cstring>

#include "crypto/bio/vxsdk_bio.h"
#include "platform/dynlib.h"

namespace qcrypto {

// A token driver bound by name: its functions in table order and the
// token-password callback its BIOs ask. Both token drivers talk to the card
// through the PC/SC service, so without "WinSCard.dll" neither binds.
template <std::size_t N>
struct TokenDriver {
  platform::DynLib lib;
  bool bound = false;
  std::array<void*, N> fn{};
  TOKEN_PASSWORD_CALLBACK callback = nullptr;

  int load(const char* name, const std::array<const char*, N>& names) {
    if (bound) return 1;
    {
      platform::DynLib pcsc;
      if (!pcsc.open("WinSCard.dll")) return 0;
    }
    if (!lib.loaded() && !lib.open(name)) return 0;
    bound = lib.bind_all(names.data(), fn.data(), N);
    return bound ? 1 : 0;
  }
  void unload() {
    bound = false;
    fn.fill(nullptr);
    lib.close();
  }
};

template <class Ctx, int (*WriteBack)(Ctx&)>
struct TokenBioOps {
  static Ctx* ctx(BIO* bio) { return static_cast<Ctx*>(BIO_get_data(bio)); }

  static int destroy(BIO* bio) {
    Ctx* c = ctx(bio);
    if (c == nullptr) return 1;
    WriteBack(*c);
    delete c;
    BIO_set_data(bio, nullptr);
    return 1;
  }
  static int read(BIO* bio, char* out, int n) {
    Ctx* c = ctx(bio);
    if (c == nullptr || !c->open || (c->open_flags & BIO_FP_READ) == 0) return -1;
    return c->buffer.read(out, n);
  }
  static int write(BIO* bio, const char* in, int n) {
    Ctx* c = ctx(bio);
    if (c == nullptr || !c->open || (c->open_flags & BIO_FP_WRITE) == 0) return -1;
    c->written = true;
    return c->buffer.write(in, n);
  }
  static int puts(BIO* bio, const char* s) {
    return s == nullptr ? -1 : write(bio, s, static_cast<int>(std::strlen(s)));
  }
  static int gets(BIO* bio, char* out, int size) {
    Ctx* c = ctx(bio);
    if (c == nullptr || !c->open || (c->open_flags & BIO_FP_READ) == 0) return -1;
    return c->buffer.gets(out, size);
  }
};

}  // namespace qcrypto
