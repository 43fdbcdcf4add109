// The shared streaming pieces of the PKCS#7 code (p7_stream.h).
#include "crypto/pkcs7/p7_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace qcrypto::p7 {

void append_header(Bytes* out, unsigned char tag, std::uint64_t length) {
  out->push_back(tag);
  if (length < 0x80) {
    out->push_back(static_cast<unsigned char>(length));
    return;
  }
  int n = 0;
  for (std::uint64_t v = length; v != 0; v >>= 8) ++n;
  out->push_back(static_cast<unsigned char>(0x80 | n));
  for (int i = n - 1; i >= 0; --i) out->push_back(static_cast<unsigned char>(length >> (8 * i)));
}

std::uint64_t header_size(std::uint64_t length) {
  std::uint64_t n = 2;
  if (length >= 0x80) {
    for (std::uint64_t v = length; v != 0; v >>= 8) ++n;
  }
  return n;
}

void append_content_info_head(Bytes* out, std::span<const unsigned char> type_oid, std::uint64_t body_length,
                              unsigned char version) {
  const std::uint64_t explicit_length = header_size(body_length) + body_length;
  append_header(out, 0x30, type_oid.size() + header_size(explicit_length) + explicit_length);
  out->insert(out->end(), type_oid.begin(), type_oid.end());
  append_header(out, 0xa0, explicit_length);
  append_header(out, 0x30, body_length);
  out->insert(out->end(), {0x02, 0x01, version});
}

bool write_all(BIO* out, const unsigned char* data, std::size_t length) {
  while (length > 0) {
    const int chunk = static_cast<int>(std::min<std::size_t>(length, 1U << 30));
    const int n = BIO_write(out, data, chunk);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// Reads up to `want` bytes, fewer only at the end of the input.
int read_full(BIO* in, unsigned char* buf, int want) {
  int got = 0;
  while (got < want) {
    const int n = BIO_read(in, buf + got, want - got);
    if (n <= 0) break;
    got += n;
  }
  return got;
}

// The rest of a PEM header line whose first byte was read: one of the two
// labels that enveloped data travels under.
bool pem_begin(BIO* in, unsigned char first) {
  std::string line(1, static_cast<char>(first));
  char c = 0;
  while (line.size() < 80 && BIO_read(in, &c, 1) == 1 && c != '\n') line.push_back(c);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line == "-----BEGIN PKCS7-----" || line == "-----BEGIN CMS-----";
}

namespace {

// A large output goes to the disk while the rest of it is still being made
// (the cipher or the hash runs meanwhile) rather than all at the final
// fsync: every kWritebackStep bytes written start the write-back of what is
// dirty so far. Only a hint; the fsync before the rename still decides.
constexpr std::uint64_t kWritebackStep = std::uint64_t{8} << 20;

long start_writeback(BIO* b, int oper, const char* /*argp*/, size_t /*len*/, int /*argi*/, long /*argl*/, int ret,
                     size_t* processed) {
  if (oper == (BIO_CB_WRITE | BIO_CB_RETURN) && ret > 0 && processed != nullptr && *processed > 0) {
    const std::uint64_t total = BIO_number_written(b);
    if (total / kWritebackStep != (total - *processed) / kWritebackStep) {
      int fd = -1;
      if (BIO_get_fd(b, &fd) >= 0 && fd >= 0) sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    }
  }
  return ret;
}

}  // namespace

AtomicOutput::AtomicOutput(const std::string& final_path) : final_(final_path) {
  const auto slash = final_.find_last_of('/');
  const std::string dir = slash == std::string::npos ? std::string(".") : final_.substr(0, slash);
  const std::string base = slash == std::string::npos ? final_ : final_.substr(slash + 1);
  temp_ = dir + "/." + base + ".XXXXXX";
  const int fd = mkstemp(temp_.data());
  if (fd < 0) {
    temp_.clear();
    return;
  }
  bio_.reset(BIO_new_fd(fd, BIO_CLOSE));
  if (!bio_) {
    close(fd);
    return;
  }
  BIO_set_callback_ex(bio_.get(), start_writeback);
}

AtomicOutput::~AtomicOutput() {
  bio_.reset();
  if (!temp_.empty()) unlink(temp_.c_str());
}

bool AtomicOutput::commit() {
  if (!bio_ || BIO_flush(bio_.get()) != 1) return false;
  int fd = -1;
  BIO_get_fd(bio_.get(), &fd);
  if (fd < 0 || fsync(fd) != 0) return false;
  bio_.reset();
  if (rename(temp_.c_str(), final_.c_str()) != 0) return false;
  temp_.clear();
  return true;
}

}  // namespace qcrypto::p7
