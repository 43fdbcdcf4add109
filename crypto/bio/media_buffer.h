// The bytes of one open medium file while a medium BIO holds them: read
// from the front, written at the end, as the stock memory BIO does. Every
// block the bytes ever lived in is wiped when it is given back, since key
// files pass through here.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <new>
#include <vector>

namespace qcrypto {

template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  explicit WipingAllocator(const WipingAllocator<U>& /*other*/) {}
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) {
    OPENSSL_cleanse(p, n * sizeof(T));
    ::operator delete(p);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>& /*other*/) const {
    return true;
  }
};

class MediaBuffer {
 public:
  // Bytes taken from the front; 0 at the end.
  int read(void* out, int n);
  // Appends; the count appended.
  int write(const void* in, int n);
  // One line (with its "\n"; a final "\r\n" becomes "\n"), NUL-terminated.
  int gets(char* out, int size);
  void assign(const unsigned char* bytes, std::size_t n);
  const unsigned char* data() const { return bytes_.data() + pos_; }
  // The bytes not read yet: what a write-back puts on the medium.
  std::size_t pending() const { return bytes_.size() - pos_; }
  // Wipes and forgets everything.
  void clear();

 private:
  std::vector<unsigned char, WipingAllocator<unsigned char>> bytes_;
  std::size_t pos_ = 0;
};

}  // namespace qcrypto
