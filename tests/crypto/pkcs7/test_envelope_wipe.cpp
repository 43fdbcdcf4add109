// Content leaves no copy in freed memory: every block released through
// OpenSSL's allocator or the C++ heap while a message is made or opened is
// scanned for pieces of the plaintext, when the operation completes, is
// cancelled half-way or meets a damaged message. The decrypted content goes
// to a sink that keeps nothing. (Own process: the allocator hooks must be set
// before the first allocation.)
#include <gtest/gtest.h>

#include "pkcs7_test_util.h"
#include "tests/support/freed_memory_scan.h"

namespace pkcs7_test {
namespace {

namespace scan = test_support::freed_scan;

using EnvelopeWipe = EnvelopeTest;

int cancel_at_second(int, long, long, void* user) {
  int* calls = static_cast<int*>(user);
  return ++*calls == 2 ? 0 : 1;
}

TEST_F(EnvelopeWipe, ScannerSeesAnUnwipedBlock) {
  ASSERT_TRUE(scan::installed());
  const Bytes secret = pattern(32, 1);
  scan::reset();
  scan::Watch(secret.data(), secret.size());
  auto* copy = static_cast<unsigned char*>(OPENSSL_malloc(secret.size()));
  std::copy(secret.begin(), secret.end(), copy);
  OPENSSL_free(copy);  // not cleared: the scanner must notice
  EXPECT_GT(scan::hits(), 0);
  scan::reset();
}

TEST_F(EnvelopeWipe, ContentLeavesNoCopiesOnAnyPath) {
  ASSERT_TRUE(scan::installed());
  const Party& p = Pki::get().party(KeyKind::kEcr3410);
  ASSERT_TRUE(p.cert);
  // Three whole blocks and a part: pieces of the first and of the last.
  const Bytes plain = pattern(3 * qcrypto::ENVELOPE_BLOCK + 40, 9);
  const std::size_t last = plain.size() - 32;
  for (const EVP_CIPHER* cipher : {qcrypto::EVP_rus_gammar(), des3()}) {
    SCOPED_TRACE(EVP_CIPHER_get0_name(cipher));
    scan::set_scanning(false);
    scan::scan_cxx_heap(true);
    const Bytes msg = seal({{p.cert.get(), 1}}, cipher, plain);
    ASSERT_FALSE(msg.empty());
    const Bytes cut(msg.begin(), msg.end() - 1);  // the content's last byte missing
    struct Row {
      const char* what;
      bool encrypt;
      bool cancel;
      const Bytes* message;
      int rc;
    };
    const Row rows[] = {
        {"encrypt", true, false, nullptr, 1},
        {"encrypt, cancelled after a block", true, true, nullptr, qcrypto::ENVELOPE_CANCELLED},
        {"decrypt", false, false, &msg, 1},
        {"decrypt, cancelled after a block", false, true, &msg, qcrypto::ENVELOPE_CANCELLED},
        {"decrypt, content cut short", false, false, &cut, 0},
    };
    for (const Row& row : rows) {
      SCOPED_TRACE(row.what);
      UniquePtr<BIO> in(row.encrypt ? BIO_new_mem_buf(plain.data(), static_cast<int>(plain.size()))
                                    : BIO_new_mem_buf(row.message->data(), static_cast<int>(row.message->size())));
      UniquePtr<BIO> out(BIO_new(row.encrypt ? BIO_s_mem() : BIO_s_null()));
      ASSERT_TRUE(in && out);
      int calls = 0;
      const qcrypto::EnvelopeProgress progress{row.cancel ? cancel_at_second : nullptr, &calls};
      const std::vector<qcrypto::EnvelopeRecipient> to = {{p.cert.get(), 1}};
      scan::reset();
      scan::Watch(plain.data(), 32);
      scan::Watch(plain.data() + last, 32);
      scan::set_scanning(true);
      const int rc = row.encrypt
                         ? qcrypto::envelope_encrypt_bio(to, cipher, in.get(), plain.size(), out.get(), progress)
                         : qcrypto::envelope_decrypt_bio(in.get(), p.key.get(), p.cert.get(), out.get(), progress);
      scan::set_scanning(false);
      EXPECT_EQ(rc, row.rc);
      EXPECT_EQ(scan::hits(), 0);
      qcrypto::ERR_clear_error();
    }
  }
  scan::reset();
}

}  // namespace
}  // namespace pkcs7_test
