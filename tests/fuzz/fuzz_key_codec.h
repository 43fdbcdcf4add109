// The checks every GOST key decoder must pass on bytes from anyone, for the
// key fuzzers of both algorithms: refuse bad input cleanly, leave a record it
// was given untouched when it does, and what it accepts must encode to bytes
// that decode to the same encoding again.
#pragma once

#include <openssl/bio.h>
#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crypto/err/err.h"

namespace fuzz_util {

// What the checks need of a key type, in `Ops`:
//   using Key = ...;                       the record type
//   static Key* given();                   a filled record to decode into
//   static void free(Key*);
//   static bool may_not_decode_again(const Key&);
//     true where a decoded record's encoding need not decode again
template <typename Key>
using D2i = Key* (*)(Key**, const unsigned char**, long);
template <typename Key>
using I2d = int (*)(const Key*, unsigned char**);

template <typename Key>
std::vector<unsigned char> encode(I2d<Key> i2d, const Key* key) {
  unsigned char* out = nullptr;
  const int n = i2d(key, &out);
  if (n < 0) std::abort();
  std::vector<unsigned char> bytes(out, out + n);
  OPENSSL_clear_free(out, static_cast<std::size_t>(n));
  return bytes;
}

template <typename Ops, typename Key = typename Ops::Key>
void check_key_codec(D2i<Key> d2i, I2d<Key> i2d, const uint8_t* data, size_t size) {
  const long length = static_cast<long>(size);
  const unsigned char* p = data;
  Key* key = d2i(nullptr, &p, length);
  if (key == nullptr) {
    if (p != data) std::abort();
  } else {
    if (p <= data || p > data + size) std::abort();
    const std::vector<unsigned char> once = encode(i2d, key);
    if (!once.empty()) {
      const unsigned char* q = once.data();
      Key* again = d2i(nullptr, &q, static_cast<long>(once.size()));
      if (again == nullptr && !Ops::may_not_decode_again(*key)) std::abort();
      if (again != nullptr && (q != once.data() + once.size() || encode(i2d, again) != once)) std::abort();
      Ops::free(again);
    }
    Ops::free(key);
  }
  // A given record is changed only on success.
  Key* given = Ops::given();
  Key* slot = given;
  const std::vector<unsigned char> before = encode(i2d, given);
  p = data;
  Key* into = d2i(&slot, &p, length);
  if (into == nullptr && (slot != given || encode(i2d, given) != before)) std::abort();
  Ops::free(into != nullptr ? into : slot);
  qcrypto::ERR_clear_error();
}

// The stream form reads one private key from the front of the bytes.
template <typename Ops, typename Key = typename Ops::Key>
void check_key_bio(Key* (*d2i_bio)(BIO*, Key**), const uint8_t* data, size_t size) {
  BIO* bio = BIO_new_mem_buf(data, static_cast<int>(size));
  Ops::free(d2i_bio(bio, nullptr));
  BIO_free(bio);
  qcrypto::ERR_clear_error();
}

}  // namespace fuzz_util
