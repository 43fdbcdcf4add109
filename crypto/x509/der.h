// Strict DER reading and plain DER writing for the key codecs (internal).
//
// Reading accepts exactly one encoding per value: single-byte tags, definite
// lengths in their shortest form, minimal non-negative INTEGERs below a size
// bound, and every TLV inside its parent. Writing builds into a buffer whose
// storage is wiped when it is released, so a private number that passes
// through an encoding leaves no copy behind.
#pragma once

#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <cstddef>
#include <new>
#include <span>
#include <vector>

namespace qcrypto::der {

constexpr unsigned char kInteger = 0x02;
constexpr unsigned char kBitString = 0x03;
constexpr unsigned char kOctetString = 0x04;
constexpr unsigned char kNull = 0x05;
constexpr unsigned char kOid = 0x06;
constexpr unsigned char kSequence = 0x30;

// Allocator that wipes what it frees (also the buffers a growing vector leaves).
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept {
    OPENSSL_cleanse(p, n * sizeof(T));
    ::operator delete(p);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

using Buffer = std::vector<unsigned char, WipingAllocator<unsigned char>>;

// A window of input bytes; every read advances it and fails without moving
// on a deviation.
class Reader {
 public:
  Reader() = default;
  Reader(const unsigned char* p, std::size_t n) : p_(p), end_(p + n) {}

  bool empty() const { return p_ == end_; }
  const unsigned char* pos() const { return p_; }
  std::size_t left() const { return static_cast<std::size_t>(end_ - p_); }
  // The next tag, or -1 at the end.
  int peek() const { return empty() ? -1 : *p_; }

  // One TLV with this tag: its content as a reader; `whole` (optional) gets
  // the bytes of the entire TLV.
  bool take(unsigned char tag, Reader& content, std::span<const unsigned char>* whole = nullptr);
  // A non-negative minimal INTEGER of at most max_bytes content bytes.
  bool integer(BIGNUM* out, std::size_t max_bytes);
  // A non-negative INTEGER no larger than `max`.
  bool small(long& out, long max);
  bool null();

 private:
  const unsigned char* p_ = nullptr;
  const unsigned char* end_ = nullptr;
};

// Appends a header for `length` content bytes.
void put_header(Buffer& out, unsigned char tag, std::size_t length);
// Appends tag, length and the content.
void put_tlv(Buffer& out, unsigned char tag, std::span<const unsigned char> content);
// Appends a non-negative INTEGER; false for a negative or absent number.
bool put_integer(Buffer& out, const BIGNUM* v);
void put_small(Buffer& out, long v);
void put_null(Buffer& out);
// Appends the DER of a dotted OID; false when the text is no OID.
bool put_oid(Buffer& out, const char* dotted);
// Wraps everything in `content` into one TLV appended to `out`.
inline void put_wrapped(Buffer& out, unsigned char tag, const Buffer& content) {
  put_tlv(out, tag, std::span<const unsigned char>(content.data(), content.size()));
}
// DER of a dotted OID text as a whole TLV; empty on failure.
Buffer oid_tlv(const char* dotted);

// The i2d output convention: out null gives the length; *out null gets a new
// buffer (OPENSSL_malloc; for private keys the caller frees it with
// OPENSSL_clear_free); else the bytes are written at *out and *out advanced.
// 0 when the buffer is empty or cannot be allocated.
int emit(const Buffer& bytes, unsigned char** out);

}  // namespace qcrypto::der
