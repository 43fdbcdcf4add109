// The buffer side shared by the two token BIOs: both hold the open file in a
// MediaBuffer, refuse reads and writes the open mode does not allow, note
// any write (a read-write open that only read must not put back the unread
// rest), and write back what is pending when the BIO is freed.
#pragma once

#include <openssl/bio.h>

#include <cstring>

namespace qcrypto {

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
