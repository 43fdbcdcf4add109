// The random method of the benchmarks: OpenSSL's generator, so the figures
// measure the signature arithmetic rather than a test queue.
#pragma once

#include <openssl/rand.h>

#include "crypto/rand/rand.h"

namespace qcrypto::bench {

inline int OsslBytes(unsigned char* buffer, int length) { return ::RAND_bytes(buffer, length) == 1 ? length : 0; }

inline const RAND_METHOD* OsslRandMethod() {
  static const RAND_METHOD kMethod = {nullptr, OsslBytes, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  return &kMethod;
}

}  // namespace qcrypto::bench
