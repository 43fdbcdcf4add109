#include "crypto/bio/media_buffer.h"

#include <algorithm>
#include <cstring>

namespace qcrypto {

int MediaBuffer::read(void* out, int n) {
  if (out == nullptr || n <= 0) return 0;
  const std::size_t take = std::min(pending(), static_cast<std::size_t>(n));
  std::memcpy(out, bytes_.data() + pos_, take);
  pos_ += take;
  return static_cast<int>(take);
}

int MediaBuffer::write(const void* in, int n) {
  if (in == nullptr || n <= 0) return 0;
  const auto* p = static_cast<const unsigned char*>(in);
  bytes_.insert(bytes_.end(), p, p + n);
  return n;
}

int MediaBuffer::gets(char* out, int size) {
  if (out == nullptr || size <= 0) return 0;
  std::size_t n = 0;
  const std::size_t room = static_cast<std::size_t>(size) - 1;
  while (n < room && pos_ < bytes_.size()) {
    const unsigned char c = bytes_[pos_++];
    out[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  if (n >= 2 && out[n - 1] == '\n' && out[n - 2] == '\r') {
    out[n - 2] = '\n';
    --n;
  }
  out[n] = '\0';
  return static_cast<int>(n);
}

void MediaBuffer::assign(const unsigned char* bytes, std::size_t n) {
  clear();
  bytes_.assign(bytes, bytes + n);
}

void MediaBuffer::clear() {
  OPENSSL_cleanse(bytes_.data(), bytes_.size());
  bytes_.clear();
  bytes_.shrink_to_fit();
  pos_ = 0;
}

}  // namespace qcrypto
