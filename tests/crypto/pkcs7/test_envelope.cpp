// Whole messages through the streaming writer and reader: every recipient key
// type in every form with both content ciphers, several recipients, wrong
// keys, reproduction under the deterministic random method, cancel, and
// damaged messages.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <random>

#include "crypto/rand/rand_fixed.h"
#include "pkcs7_test_util.h"

namespace pkcs7_test {
namespace {

using qcrypto::EnvelopeRecipient;

using Envelope = EnvelopeTest;

TEST_F(Envelope, EveryKeyTypeFormAndCipherRoundTrips) {
  const Bytes plain = pattern(3 * qcrypto::ENVELOPE_BLOCK + 77, 1);
  for (KeyKind kind : kAllKinds) {
    const Party& p = Pki::get().party(kind);
    ASSERT_TRUE(p.cert) << kind_name(kind);
    for (int form : {0, 1, 2}) {
      for (const EVP_CIPHER* cipher : {des3(), qcrypto::EVP_rus_gammar()}) {
        SCOPED_TRACE(std::string(kind_name(kind)) + " form " + std::to_string(form) + " " +
                     EVP_CIPHER_get0_name(cipher));
        const Bytes msg = seal({{p.cert.get(), form}}, cipher, plain);
        ASSERT_FALSE(msg.empty());
        Bytes out;
        EXPECT_EQ(open_msg(msg, p, &out), 1);
        EXPECT_EQ(out, plain);
      }
    }
  }
}

TEST_F(Envelope, EmptyContentRoundTrips) {
  const Party& p = Pki::get().party(KeyKind::kEcr3410);
  for (const EVP_CIPHER* cipher : {des3(), qcrypto::EVP_rus_gammar()}) {
    const Bytes msg = seal({{p.cert.get(), 1}}, cipher, {});
    ASSERT_FALSE(msg.empty());
    Bytes out{1};
    EXPECT_EQ(open_msg(msg, p, &out), 1);
    EXPECT_TRUE(out.empty());
  }
}

TEST_F(Envelope, MessageToSeveralKeyTypesOpensWithEach) {
  const Bytes plain = pattern(5000, 2);
  const std::pair<KeyKind, KeyKind> pairs[] = {{KeyKind::kRsa, KeyKind::kEcr3410},
                                               {KeyKind::kDsa, KeyKind::kR3410},
                                               {KeyKind::kR3410, KeyKind::kEcr3410},
                                               {KeyKind::kRsa, KeyKind::kDsa}};
  for (const auto& [a, b] : pairs) {
    for (int form : {0, 1, 2}) {
      SCOPED_TRACE(std::string(kind_name(a)) + "+" + kind_name(b) + " form " + std::to_string(form));
      const Party& pa = Pki::get().party(a);
      const Party& pb = Pki::get().party(b);
      const Bytes msg = seal({{pa.cert.get(), form}, {pb.cert.get(), form}}, qcrypto::EVP_rus_gammar(), plain);
      ASSERT_FALSE(msg.empty());
      for (const Party* p : {&pa, &pb}) {
        Bytes out;
        EXPECT_EQ(open_msg(msg, *p, &out), 1);
        EXPECT_EQ(out, plain);
      }
    }
  }
}

TEST_F(Envelope, WrongKeyFailsCleanly) {
  const Bytes plain = pattern(1000, 3);
  for (KeyKind kind : kAllKinds) {
    for (int form : {0, 1, 2}) {
      SCOPED_TRACE(std::string(kind_name(kind)) + " form " + std::to_string(form));
      const Party& right = Pki::get().party(kind, 0);
      const Party& other = Pki::get().party(kind, 1);
      const Bytes msg = seal({{right.cert.get(), form}}, des3(), plain);
      ASSERT_FALSE(msg.empty());
      Bytes out;
      // Not among the recipients.
      EXPECT_EQ(open_msg(msg, other, &out), 0);
      EXPECT_TRUE(queued(qcrypto::P7E_F_PKCS7_DATADECODE, qcrypto::P7E_R_NO_RECIPIENT_MATCHES_CERTIFICATE));
      // The recipient's certificate with a key that is not its own.
      Party mixed{UniquePtr<EVP_PKEY>(other.key.get()), UniquePtr<X509>(right.cert.get())};
      EVP_PKEY_up_ref(other.key.get());
      X509_up_ref(right.cert.get());
      EXPECT_EQ(open_msg(msg, mixed, &out), 0);
      EXPECT_NE(qcrypto::ERR_peek_error(), 0UL);
      qcrypto::ERR_clear_error();
    }
  }
}

TEST_F(Envelope, DeterministicRandomReproducesTheWholeMessage) {
  std::vector<EnvelopeRecipient> all;
  for (KeyKind kind : kAllKinds) all.push_back({Pki::get().party(kind).cert.get(), kind == KeyKind::kDsa ? 0 : 1});
  all.push_back({Pki::get().party(KeyKind::kEcr3410, 1).cert.get(), 2});
  const Bytes plain = pattern(9000, 4);
  const Bytes stream = pattern(1 << 16, 5);
  Bytes first;
  Bytes second;
  qcrypto::RAND_set_rand_method(qcrypto::RAND_fixed_method());
  qcrypto::RAND_fixed_set_bytes(stream);
  first = seal(all, qcrypto::EVP_rus_gammar(), plain);
  qcrypto::RAND_fixed_set_bytes(stream);
  second = seal(all, qcrypto::EVP_rus_gammar(), plain);
  qcrypto::RAND_fixed_set_bytes(pattern(1 << 16, 6));
  const Bytes third = seal(all, qcrypto::EVP_rus_gammar(), plain);
  qcrypto::RAND_set_rand_method(&kSystemRand);
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first, second);
  EXPECT_NE(first, third);
  Bytes out;
  EXPECT_EQ(open_msg(first, Pki::get().party(KeyKind::kDsa), &out), 1);
  EXPECT_EQ(out, plain);
}

struct ProgressLog {
  std::vector<std::pair<long, long>> calls;
  int cancel_at = -1;
  int stage = 0;
};

int log_progress(int stage, long done, long total, void* user) {
  auto* log = static_cast<ProgressLog*>(user);
  log->stage = stage;
  log->calls.emplace_back(done, total);
  return static_cast<int>(log->calls.size()) - 1 == log->cancel_at ? 0 : 1;
}

TEST_F(Envelope, ProgressEveryBlockAndCancel) {
  const Party& p = Pki::get().party(KeyKind::kEcr3410);
  const Bytes plain = pattern(2 * qcrypto::ENVELOPE_BLOCK + 10, 7);
  ProgressLog enc;
  const Bytes msg = seal({{p.cert.get(), 1}}, qcrypto::EVP_rus_gammar(), plain, {log_progress, &enc});
  ASSERT_FALSE(msg.empty());
  const long total = static_cast<long>(plain.size());
  const std::vector<std::pair<long, long>> expected = {{0, total}, {4096, total}, {8192, total}, {total, total}};
  EXPECT_EQ(enc.calls, expected);
  EXPECT_EQ(enc.stage, qcrypto::ENVELOPE_STAGE_ENCRYPT);

  ProgressLog dec;
  Bytes out;
  EXPECT_EQ(open_msg(msg, p, &out, {log_progress, &dec}), 1);
  EXPECT_EQ(dec.calls, expected);
  EXPECT_EQ(dec.stage, qcrypto::ENVELOPE_STAGE_DECRYPT);

  for (int at : {0, 2}) {
    ProgressLog c{{}, at, 0};
    int rc = 0;
    EXPECT_TRUE(seal({{p.cert.get(), 1}}, qcrypto::EVP_rus_gammar(), plain, {log_progress, &c}, &rc).empty());
    EXPECT_EQ(rc, qcrypto::ENVELOPE_CANCELLED);
    ProgressLog d{{}, at, 0};
    EXPECT_EQ(open_msg(msg, p, &out, {log_progress, &d}), qcrypto::ENVELOPE_CANCELLED);
    EXPECT_TRUE(queued(qcrypto::P7E_F_PKCS7_DATADECODE, qcrypto::P7E_R_CANCELLED));
  }
}

// The same message as PEM under either label; a PEM with another label or a
// changed character in its body fails.
TEST_F(Envelope, PemMessagesOpen) {
  const Party& p = Pki::get().party(KeyKind::kR3410);
  const Bytes plain = pattern(6000, 10);
  const Bytes msg = seal({{p.cert.get(), 1}}, qcrypto::EVP_rus_gammar(), plain);
  ASSERT_FALSE(msg.empty());
  const auto pem = [&](const char* label) {
    UniquePtr<BIO> b(BIO_new(BIO_s_mem()));
    PEM_write_bio(b.get(), label, "", msg.data(), static_cast<long>(msg.size()));
    return bio_bytes(b.get());
  };
  for (const char* label : {"PKCS7", "CMS"}) {
    Bytes out;
    EXPECT_EQ(open_msg(pem(label), p, &out), 1) << label;
    EXPECT_EQ(out, plain);
  }
  Bytes out;
  EXPECT_EQ(open_msg(pem("CERTIFICATE"), p, &out), 0);
  Bytes damaged = pem("PKCS7");
  damaged[200] = damaged[200] == 'A' ? 'B' : 'A';
  EXPECT_NE(open_msg(damaged, p, &out), 1);
  qcrypto::ERR_clear_error();
}

TEST_F(Envelope, DamagedMessagesFail) {
  const Party& p = Pki::get().party(KeyKind::kRsa);
  const Bytes plain = pattern(700, 8);
  const Bytes msg = seal({{p.cert.get(), 0}}, des3(), plain);
  ASSERT_FALSE(msg.empty());
  Bytes out;
  // Every truncation, and a byte of garbage after the end.
  for (size_t n = 0; n < msg.size(); n += (n < 400 ? 1 : 37)) {
    const Bytes cut(msg.begin(), msg.begin() + static_cast<long>(n));
    EXPECT_NE(open_msg(cut, p, &out), 1) << n;
  }
  Bytes longer = msg;
  longer.push_back(0);
  EXPECT_NE(open_msg(longer, p, &out), 1);
  // The last cipher block changed: the padding check fails.
  Bytes flipped = msg;
  flipped.back() ^= 0x5a;
  EXPECT_NE(open_msg(flipped, p, &out), 1);
  qcrypto::ERR_clear_error();
}

// The length is written before the content: input that ends early or runs
// on must fail the message, not write a wrong one.
TEST_F(Envelope, ContentOfAnotherLengthFails) {
  const Party& p = Pki::get().party(KeyKind::kEcr3410);
  const Bytes plain = pattern(5000, 11);
  for (std::uint64_t claimed :
       {std::uint64_t{0}, std::uint64_t{4999}, std::uint64_t{4096}, std::uint64_t{5001}, std::uint64_t{1} << 40}) {
    UniquePtr<BIO> in(BIO_new_mem_buf(plain.data(), static_cast<int>(plain.size())));
    UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
    const qcrypto::EnvelopeRecipient r[] = {{p.cert.get(), 1}};
    EXPECT_EQ(qcrypto::envelope_encrypt_bio(r, qcrypto::EVP_rus_gammar(), in.get(), claimed, out.get()), 0) << claimed;
    EXPECT_TRUE(queued(qcrypto::P7E_F_PKCS7_DATAINIT, qcrypto::P7E_R_CONTENT_LENGTH)) << claimed;
  }
}

TEST_F(Envelope, RecipientFailureFailsTheMessage) {
  // A form-1 ECR3410 recipient cannot take a cipher other than the two.
  const Party& p = Pki::get().party(KeyKind::kEcr3410);
  UniquePtr<EVP_CIPHER> aes(EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr));
  int rc = 1;
  EXPECT_TRUE(seal({{p.cert.get(), 1}}, aes.get(), pattern(10, 9), {}, &rc).empty());
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(queued(qcrypto::P7E_F_PKCS7_DATAINIT, qcrypto::P7E_R_EVP_LIB));
}

}  // namespace
}  // namespace pkcs7_test
