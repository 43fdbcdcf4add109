// Reading a message for its kind and entries: every encoding the toolkit
// and its peers write (DER, BER of indefinite length with its content in
// pieces, PEM of both), from a buffer and from a file, messages larger than
// any buffer the reader could afford to copy, and bytes that only look like
// a message. The kind is stored on every path.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "quillon2/ql_crypt.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_keys.h"
#include "quillon2/ql_sign.h"
#include "tests/support/gost_pki.h"

QCRYPTO_DECLARE_OWNER(PKCS7, PKCS7_free)

namespace quillon2 {
namespace {

using Bytes = std::vector<unsigned char>;
using qcrypto::UniquePtr;
using MessagePtr = std::unique_ptr<QL_MESSAGE, void (*)(QL_MESSAGE*)>;

struct Signer {
  UniquePtr<EVP_PKEY> key;
  UniquePtr<X509> cert;
};

Signer make_signer(const std::string& name, long serial) {
  Signer s;
  s.key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048)));
  if (s.key) s.cert.reset(test_support::gost_make_cert(s.key.get(), {name, serial, true, 30}, nullptr, s.key.get()));
  return s;
}

Bytes bio_bytes(BIO* bio) {
  const unsigned char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return Bytes(data, data + (n > 0 ? n : 0));
}

std::string temp_path(const char* name) {
  return (std::filesystem::temp_directory_path() / (std::string("ql-msg-read-") + std::to_string(getpid()) + name))
      .string();
}

bool write_file(const std::string& path, const Bytes& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

struct Read {
  int code = -1;
  int kind = -1;
  int signers = -1;
  std::string first_serial;
};

Read read_buffer(const Bytes& bytes) {
  Read r;
  QL_MESSAGE* raw = nullptr;
  r.code = QL_read_message_buffer(bytes.data(), static_cast<long>(bytes.size()), &r.kind, &raw);
  MessagePtr message(raw, QL_free_message);
  if (message) {
    r.signers = QL_signer_count(message.get());
    char* serial = QL_signer_serial(message.get(), 0);
    r.first_serial = serial != nullptr ? serial : "";
    QL_free(serial);
  }
  return r;
}

Read read_file(const std::string& path) {
  Read r;
  QL_MESSAGE* raw = nullptr;
  r.code = QL_read_message_file(path.c_str(), &r.kind, &raw);
  MessagePtr message(raw, QL_free_message);
  if (message) r.signers = QL_signer_count(message.get());
  return r;
}

// RssAnon of /proc/self/status in KiB (-1 when unknown): the process's own
// memory, not the page cache behind a mapped file.
long rss_anon_kib() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f) != nullptr)
    if (std::sscanf(line, "RssAnon: %ld kB", &kib) == 1) break;
  std::fclose(f);
  return kib;
}

// How far anonymous memory rose above its level at the start while `work`
// ran, sampled every millisecond.
template <typename Work>
long anon_rise_kib(Work work) {
  const long start = rss_anon_kib();
  std::atomic<long> peak{start};
  std::atomic<bool> done{false};
  std::thread sampler([&] {
    while (!done.load()) {
      const long now = rss_anon_kib();
      if (now > peak.load()) peak.store(now);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  work();
  done.store(true);
  sampler.join();
  const long end = rss_anon_kib();
  return std::max(peak.load(), end) - start;
}

class MessageReadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    first_ = new Signer(make_signer("Reader one", 41));
    second_ = new Signer(make_signer("Reader two", 42));
    ASSERT_TRUE(first_->cert && second_->cert);
  }
  static void TearDownTestSuite() {
    delete first_;
    delete second_;
  }

  // A message of two signers over `content`, a CRL beside the certificates
  // (the reader passes over both), in the form `form` writes.
  enum class Form { kDer, kBerStream, kPem, kPemStream };
  static Bytes signed_message(const Bytes& content, Form form, bool detached) {
    const int flags = PKCS7_BINARY | PKCS7_PARTIAL | (detached ? PKCS7_DETACHED : 0) |
                      (form == Form::kBerStream || form == Form::kPemStream ? PKCS7_STREAM : 0);
    UniquePtr<PKCS7> p7(PKCS7_sign(nullptr, nullptr, nullptr, nullptr, flags));
    if (!p7) return {};
    for (const Signer* s : {first_, second_})
      if (PKCS7_sign_add_signer(p7.get(), s->cert.get(), s->key.get(), EVP_sha256(), flags) == nullptr) return {};
    UniquePtr<X509_CRL> crl(test_support::gost_make_crl(first_->cert.get(), first_->key.get(), {7}));
    if (!crl || PKCS7_add_crl(p7.get(), crl.get()) != 1) return {};
    UniquePtr<BIO> in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
    if (!in || !out) return {};
    int ok = 0;
    switch (form) {
      case Form::kBerStream:
        ok = i2d_PKCS7_bio_stream(out.get(), p7.get(), in.get(), flags);
        break;
      case Form::kPemStream:
        ok = PEM_write_bio_PKCS7_stream(out.get(), p7.get(), in.get(), flags);
        break;
      case Form::kDer:
      case Form::kPem:
        ok = PKCS7_final(p7.get(), in.get(), flags) == 1 &&
             (form == Form::kDer ? i2d_PKCS7_bio(out.get(), p7.get()) : PEM_write_bio_PKCS7(out.get(), p7.get()));
        break;
    }
    return ok == 1 ? bio_bytes(out.get()) : Bytes{};
  }

  static Signer* first_;
  static Signer* second_;
};
Signer* MessageReadTest::first_ = nullptr;
Signer* MessageReadTest::second_ = nullptr;

// A failed call still says "no message" in the kind, and hands nothing over.
TEST_F(MessageReadTest, KindIsStoredOnEveryPath) {
  const std::string folder = std::filesystem::temp_directory_path().string();
  const unsigned char byte = 0x30;
  struct Row {
    const char* what;
    int (*call)(int* kind, QL_MESSAGE** message, const std::string& folder, const unsigned char* byte);
    int code;
  };
  const Row rows[] = {
      {"null path",
       [](int* k, QL_MESSAGE** m, const std::string&, const unsigned char*) {
         return QL_read_message_file(nullptr, k, m);
       },
       QL_ERR_ARGUMENT},
      {"empty path",
       [](int* k, QL_MESSAGE** m, const std::string&, const unsigned char*) { return QL_read_message_file("", k, m); },
       QL_ERR_INPUT},
      {"missing file",
       [](int* k, QL_MESSAGE** m, const std::string&, const unsigned char*) {
         return QL_read_message_file("/nonexistent/ql-message", k, m);
       },
       QL_ERR_INPUT},
      {"a folder",
       [](int* k, QL_MESSAGE** m, const std::string& f, const unsigned char*) {
         return QL_read_message_file(f.c_str(), k, m);
       },
       QL_ERR_INPUT},
      {"null data",
       [](int* k, QL_MESSAGE** m, const std::string&, const unsigned char*) {
         return QL_read_message_buffer(nullptr, 10, k, m);
       },
       QL_ERR_ARGUMENT},
      {"negative length",
       [](int* k, QL_MESSAGE** m, const std::string&, const unsigned char* b) {
         return QL_read_message_buffer(b, -1, k, m);
       },
       QL_ERR_ARGUMENT},
      {"one byte",
       [](int* k, QL_MESSAGE** m, const std::string&, const unsigned char* b) {
         return QL_read_message_buffer(b, 1, k, m);
       },
       QL_OK},
  };
  for (const Row& row : rows) {
    int kind = -1;
    auto* planted = reinterpret_cast<QL_MESSAGE*>(&kind);
    QL_MESSAGE* message = planted;
    EXPECT_EQ(row.call(&kind, &message, folder, &byte), row.code) << row.what;
    EXPECT_EQ(kind, QL_KIND_OTHER) << row.what;
    EXPECT_EQ(message, nullptr) << row.what;
  }
  // Without a kind pointer there is nothing to store.
  EXPECT_EQ(QL_read_message_buffer(&byte, 1, nullptr, nullptr), QL_ERR_ARGUMENT);
}

// Every encoding, attached and (not streamed) detached, through a buffer and
// a file: the kind and both signers, in message order.
TEST_F(MessageReadTest, EveryEncodingReadsWithItsSigners) {
  const Bytes content(70000, 0x5a);
  const std::string path = temp_path(".p7");
  struct Row {
    const char* what;
    Form form;
  };
  const Row rows[] = {{"DER", Form::kDer},
                      {"BER of indefinite length", Form::kBerStream},
                      {"PEM", Form::kPem},
                      {"PEM of indefinite length", Form::kPemStream}};
  for (const Row& row : rows) {
    for (bool detached : {false, true}) {
      // The dependency streams only attached content.
      if (detached && (row.form == Form::kBerStream || row.form == Form::kPemStream)) continue;
      const Bytes message = signed_message(content, row.form, detached);
      ASSERT_FALSE(message.empty()) << row.what;
      if (row.form == Form::kBerStream) {
        ASSERT_EQ(message[1], 0x80) << "not of indefinite length";
      }
      const Read buffer = read_buffer(message);
      EXPECT_EQ(buffer.code, QL_OK) << row.what << " " << detached;
      EXPECT_EQ(buffer.kind, QL_KIND_SIGNED) << row.what << " " << detached;
      EXPECT_EQ(buffer.signers, 2) << row.what << " " << detached;
      EXPECT_EQ(buffer.first_serial, mputil_serial_text(X509_get0_serialNumber(first_->cert.get())))
          << row.what << " " << detached;
      ASSERT_TRUE(write_file(path, message));
      const Read file = read_file(path);
      EXPECT_EQ(file.code, QL_OK) << row.what << " " << detached;
      EXPECT_EQ(file.kind, QL_KIND_SIGNED) << row.what << " " << detached;
      EXPECT_EQ(file.signers, 2) << row.what << " " << detached;
    }
  }
  std::remove(path.c_str());
}

// A message larger than the reader could once copy (64 MiB): read whole
// from a file in DER and PEM, and from the caller's buffer. Its content is
// passed over, not copied: reading the file adds far less than its size.
TEST_F(MessageReadTest, MessagesOverSixtyFourMiBRead) {
  Bytes content((std::size_t{65} << 20) + 12345);
  for (std::size_t i = 0; i < content.size(); i += 4096) content[i] = static_cast<unsigned char>(i >> 12);
  const std::string path = temp_path(".big");
  for (Form form : {Form::kBerStream, Form::kPem}) {
    Bytes message = signed_message(content, form, false);
    ASSERT_GT(message.size(), content.size());
    const Read buffer = read_buffer(message);
    EXPECT_EQ(buffer.code, QL_OK);
    EXPECT_EQ(buffer.kind, QL_KIND_SIGNED);
    EXPECT_EQ(buffer.signers, 2);
    ASSERT_TRUE(write_file(path, message));
    message = Bytes();
    Read file;
    const long rise = anon_rise_kib([&] { file = read_file(path); });
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer keeps anonymous shadow memory for every byte read, so
    // only the other builds can see what the reader itself holds.
    static_cast<void>(rise);
#else
    EXPECT_LT(rise, 16 * 1024) << "KiB of anonymous memory to read a " << (content.size() >> 20) << " MiB message";
#endif
    EXPECT_EQ(file.code, QL_OK);
    EXPECT_EQ(file.kind, QL_KIND_SIGNED);
    EXPECT_EQ(file.signers, 2);
  }
  std::remove(path.c_str());
}

// Bytes that start like a message but are not one whole: every cut of a
// DER message, a PEM message without its end line or cut inside its body,
// and content nested deeper than any encoder writes it.
TEST_F(MessageReadTest, BrokenMessagesAreNoMessage) {
  const Bytes der = signed_message(Bytes(300, 1), Form::kBerStream, false);
  ASSERT_FALSE(der.empty());
  for (std::size_t cut = 1; cut < der.size(); ++cut) {
    const Read r = read_buffer(Bytes(der.begin(), der.begin() + static_cast<long>(cut)));
    ASSERT_EQ(r.code, QL_OK) << cut;
    ASSERT_EQ(r.kind, QL_KIND_OTHER) << cut;
    ASSERT_EQ(r.signers, -1) << cut;
  }
  const Bytes pem = signed_message(Bytes(300, 1), Form::kPem, false);
  const std::string text(pem.begin(), pem.end());
  const std::size_t end_line = text.find("-----END ");
  ASSERT_NE(end_line, std::string::npos);
  const std::string without_end = text.substr(0, end_line);
  const std::string cut_body = text.substr(0, end_line / 2) + "\n" + text.substr(end_line);
  for (const std::string& broken : {without_end, cut_body}) {
    const Read r = read_buffer(Bytes(broken.begin(), broken.end()));
    EXPECT_EQ(r.code, QL_OK);
    EXPECT_EQ(r.kind, QL_KIND_OTHER);
  }

  // ContentInfo(signed) { SignedData { 1, {}, ContentInfo(data) { [0] {
  // OCTET STRING nested `depth` times } }, {} } }, all of indefinite length.
  auto nested = [](int depth) {
    Bytes m = {0x30, 0x80, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02,
               0xa0, 0x80, 0x30, 0x80, 0x02, 0x01, 0x01, 0x31, 0x00, 0x30, 0x80, 0x06, 0x09,
               0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x01, 0xa0, 0x80};
    for (int i = 0; i < depth; ++i) m.insert(m.end(), {0x24, 0x80});
    m.insert(m.end(), {0x04, 0x01, 0x55});
    for (int i = 0; i < depth; ++i) m.insert(m.end(), {0x00, 0x00});
    m.insert(m.end(), {0x00, 0x00, 0x00, 0x00, 0x31, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    return m;
  };
  const Read shallow = read_buffer(nested(3));
  EXPECT_EQ(shallow.kind, QL_KIND_SIGNED);
  EXPECT_EQ(shallow.signers, 0);
  // Deep enough to run any recursion out of stack: refused, not followed.
  const Read deep = read_buffer(nested(200000));
  EXPECT_EQ(deep.code, QL_OK);
  EXPECT_EQ(deep.kind, QL_KIND_OTHER);
}

// The buffer calls of verification take at most INT32_MAX bytes of message
// and of detached content: a longer length is refused with 159 before one
// byte is read (the buffers here hold 16; reading past them would stop the
// sanitized run), and the set keeps the results of its last verification.
TEST(VerifyInputBound, LongerThanInt32IsRefusedBeforeReading) {
  const unsigned char bytes[16] = {0x30, 0x80};
  const long too_long = static_cast<long>(INT32_MAX) + 1;
  UniquePtr<QL_SIGN_SET> set(QL_SIGN_SET_new());
  ASSERT_TRUE(set);
  set->signer_status.push_back(QL_OK);
  unsigned char* content = nullptr;
  long content_length = 0;
  struct Row {
    const char* what;
    long length;
    const unsigned char* detached;
    long detached_length;
  };
  const Row rows[] = {{"message", too_long, nullptr, 0},
                      {"detached content", 16, bytes, too_long},
                      {"both", too_long, bytes, too_long}};
  for (const Row& row : rows) {
    EXPECT_EQ(
        QL_verify_data(set.get(), bytes, row.length, &content, &content_length, 1, row.detached, row.detached_length),
        QL_ERR_ARGUMENT)
        << row.what;
    EXPECT_EQ(content, nullptr) << row.what;
    EXPECT_EQ(set->signer_status.size(), 1U) << row.what;
  }
  EXPECT_EQ(QL_verify_data_short(set.get(), bytes, too_long, &content, &content_length, 1), QL_ERR_ARGUMENT);
  EXPECT_EQ(QL_get_signed_content(bytes, too_long, &content, &content_length), QL_ERR_ARGUMENT);
  EXPECT_EQ(content, nullptr);
}

}  // namespace
}  // namespace quillon2
