// The streaming pieces shared by the enveloped-data and signed-data code:
// DER length headers, whole reads and writes on a BIO, a forward-only BER
// reader that keeps every element inside the one around it, the PEM header
// line of a message, and an output file that appears under its final name
// only when complete.
#pragma once

#include <openssl/bio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"

namespace qcrypto::p7 {

using Bytes = std::vector<unsigned char>;

constexpr std::uint64_t kIndefinite = std::numeric_limits<std::uint64_t>::max();

void append_header(Bytes* out, unsigned char tag, std::uint64_t length);
std::uint64_t header_size(std::uint64_t length);
// The opening of a ContentInfo of the type `type_oid` (a whole OBJECT
// IDENTIFIER element) whose [0] holds a SEQUENCE of `body_length` bytes that
// starts with INTEGER `version`: every byte up to and including the version.
void append_content_info_head(Bytes* out, std::span<const unsigned char> type_oid, std::uint64_t body_length,
                              unsigned char version);
bool write_all(BIO* out, const unsigned char* data, std::size_t length);
// Reads up to `want` bytes, fewer only at the end of the input.
int read_full(BIO* in, unsigned char* buf, int want);

// The rest of a PEM header line whose first byte was read: one of the two
// labels that PKCS#7 messages travel under ("PKCS7", or "CMS" of the stock
// command).
bool pem_begin(BIO* in, unsigned char first);

// A forward-only BER reader over a BIO or over bytes in memory that keeps the
// nesting of the levels it opened, so that no element runs past the end of
// the one around it.
class BerReader {
 public:
  // `first`: a byte already taken from `in` that comes before it, or -1.
  BerReader(BIO* in, int first) : in_(in), first_(first) {}
  // Over bytes held in memory, which `view` hands out in place.
  explicit BerReader(std::span<const unsigned char> bytes) : in_(nullptr), first_(-1), mem_(bytes) {}

  bool in_memory() const { return in_ == nullptr; }

  struct Header {
    int tag = 0;  // the identifier octet
    std::uint64_t length = 0;
    bool indefinite = false;
  };

  bool read(unsigned char* buf, std::uint64_t n) {
    if (in_ == nullptr) {
      const unsigned char* p = view(n);
      if (p == nullptr) return false;
      if (n > 0) std::memcpy(buf, p, static_cast<std::size_t>(n));
      return true;
    }
    if (!fits(n)) return false;
    if (first_ >= 0 && n > 0) {
      *buf++ = static_cast<unsigned char>(first_);
      first_ = -1;
      --n;
      ++offset_;
    }
    while (n > 0) {
      const int want = static_cast<int>(std::min<std::uint64_t>(n, 1U << 20));
      const int got = read_full(in_, buf, want);
      if (got != want) return false;
      buf += got;
      n -= static_cast<std::uint64_t>(got);
      offset_ += static_cast<std::uint64_t>(got);
    }
    return true;
  }

  bool header(Header* h) {
    unsigned char b[2];
    if (!read(b, 2)) return false;
    // Only single-octet identifiers occur in these structures.
    if ((b[0] & 0x1f) == 0x1f) return false;
    h->tag = b[0];
    h->indefinite = false;
    if (b[1] < 0x80) {
      h->length = b[1];
    } else if (b[1] == 0x80) {
      if ((b[0] & 0x20) == 0) return false;
      h->indefinite = true;
      h->length = 0;
    } else {
      const int n = b[1] & 0x7f;
      if (n > 8) return false;
      unsigned char l[8];
      if (!read(l, static_cast<std::uint64_t>(n))) return false;
      std::uint64_t v = 0;
      for (int i = 0; i < n; ++i) v = (v << 8) | l[i];
      h->length = v;
    }
    return h->indefinite || fits(h->length);
  }

  // Opens a constructed element for reading its contents.
  bool open(const Header& h) {
    if ((h.tag & 0x20) == 0) return false;
    ends_.push_back(h.indefinite ? kIndefinite : offset_ + h.length);
    return true;
  }

  // Closes an indefinite level whose end-of-contents was already read.
  bool close_consumed() {
    if (ends_.empty() || ends_.back() != kIndefinite) return false;
    ends_.pop_back();
    return true;
  }

  bool close() {
    if (ends_.empty()) return false;
    if (ends_.back() == kIndefinite) {
      unsigned char eoc[2];
      ends_.pop_back();
      if (!read(eoc, 2) || eoc[0] != 0 || eoc[1] != 0) return false;
      return true;
    }
    const bool exact = offset_ == ends_.back();
    ends_.pop_back();
    return exact;
  }

  // A whole small TLV into memory.
  bool tlv(Bytes* out, std::uint64_t limit) {
    const std::uint64_t start = offset_;
    Header h;
    if (!header(&h) || h.indefinite || h.length > limit) return false;
    const std::uint64_t head = offset_ - start;
    // The header is re-created from the bytes read so far.
    out->clear();
    append_header(out, static_cast<unsigned char>(h.tag), h.length);
    if (out->size() != head) return false;  // not minimal: refuse rather than re-encode
    const std::size_t at = out->size();
    out->resize(at + static_cast<std::size_t>(h.length));
    return read(out->data() + at, h.length);
  }

  bool peek_eoc_or_end() {
    if (ends_.back() != kIndefinite) return offset_ == ends_.back();
    return false;
  }

  // The next `n` bytes where they lie, consumed: a memory reader reads its
  // content through here without a copy. Null past the end (of the input or
  // of an open element), and always for a BIO reader.
  const unsigned char* view(std::uint64_t n) {
    if (in_ != nullptr || !fits(n) || n > mem_.size() - offset_) return nullptr;
    const unsigned char* p = mem_.data() + offset_;
    offset_ += n;
    return p;
  }

  bool eof() {
    if (in_ == nullptr) return offset_ == mem_.size();
    unsigned char b;
    return BIO_read(in_, &b, 1) <= 0;
  }

  std::uint64_t offset() const { return offset_; }

 private:
  bool fits(std::uint64_t n) const {
    for (auto it = ends_.rbegin(); it != ends_.rend(); ++it) {
      if (*it == kIndefinite) continue;
      return offset_ <= *it && n <= *it - offset_;
    }
    return true;
  }

  BIO* in_;
  int first_;
  std::span<const unsigned char> mem_;
  std::uint64_t offset_ = 0;
  std::vector<std::uint64_t> ends_;
};

// An output file under a temporary name beside its final name (mode 0600).
class AtomicOutput {
 public:
  explicit AtomicOutput(const std::string& final_path);
  ~AtomicOutput();
  AtomicOutput(const AtomicOutput&) = delete;
  AtomicOutput& operator=(const AtomicOutput&) = delete;

  BIO* bio() const { return bio_.get(); }
  // Flushes, syncs and renames into place; false leaves nothing behind.
  bool commit();

 private:
  std::string final_;
  std::string temp_;
  UniquePtr<BIO> bio_;
};

}  // namespace qcrypto::p7
