// The toolkit end to end through files, and against the stock openssl
// command: a file signed, the message enveloped for two recipients, opened
// by each and verified, with the progress of every step, for every signer
// key type and for a file of a few MiB; a damaged envelope of a signed file
// never yields content that verifies. RSA signatures and envelopes cross to
// openssl and back in both directions, and every GOST message we write is
// DER (or PEM of it) that openssl's own parser reads whole.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/rand/rand.h"
#include "quillon2/ql_certinfo.h"
#include "quillon2/ql_crypt.h"
#include "quillon2/ql_keys.h"
#include "quillon2/ql_sign.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"
#include "tests/support/pse_fixture.h"
#include "tests/support/ql_fixture.h"
#include "tests/support/run_program.h"

namespace quillon2 {
namespace {

using Bytes = std::vector<unsigned char>;
using qcrypto::UniquePtr;
using qcrypto::testing_support::read_whole;
using qcrypto::testing_support::write_whole;
using test_support::kSystemRand;
using test_support::Party;
using test_support::PkiKeyType;

using SetPtr = UniquePtr<QL_SIGN_SET>;

constexpr PkiKeyType kTypes[] = {PkiKeyType::kR3410, PkiKeyType::kEcr3410, PkiKeyType::kRsa};
// Per key type: a signer and two recipients.
constexpr int kSigner = 0;
constexpr int kPartiesPerType = 3;

const char* type_name(PkiKeyType type) {
  switch (type) {
    case PkiKeyType::kR3410:
      return "GOST R 34.10-94";
    case PkiKeyType::kEcr3410:
      return "GOST R 34.10-2001";
    case PkiKeyType::kRsa:
      return "RSA";
    case PkiKeyType::kEcdsaP256:
      return "ECDSA";
  }
  return "?";
}

int type_index(PkiKeyType type) {
  for (int i = 0; i < 3; ++i)
    if (kTypes[i] == type) return i;
  return -1;
}

#ifdef DOSSAR_OPENSSL_PROGRAM
constexpr const char* kOpenssl = DOSSAR_OPENSSL_PROGRAM;
#else
constexpr const char* kOpenssl = nullptr;
#endif

// The stock command with our arguments. It loads none of our modules, so it
// needs no sanitizer runtime: run_program drops any preload from its
// environment.
test_support::ProgramResult openssl(std::vector<std::string> args) {
  args.insert(args.begin(), kOpenssl);
  return test_support::run_program(args);
}

class EndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qcrypto::ERR_load_crypto_strings();
    ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
    qcrypto::RAND_set_rand_method(&kSystemRand);
    // GOST parties under a GOST root; RSA parties under an RSA root, so that
    // openssl can check their chains without our algorithms.
    test_support::PkiCertSpec root;
    root.basic_constraints = test_support::PkiBasicConstraints::kCa;
    root.key_usage = test_support::PkiKeyUsage::kCa;
    root.common_name = "GOST Root";
    make_root(PkiKeyType::kEcr3410, root, &gost_root_);
    root.common_name = "RSA Root";
    make_root(PkiKeyType::kRsa, root, &rsa_root_);
    long serial = 100;
    for (PkiKeyType type : kTypes) {
      const Party& issuer = type == PkiKeyType::kRsa ? rsa_root_ : gost_root_;
      for (int i = 0; i < kPartiesPerType; ++i, ++serial) {
        Party& p = parties_[type_index(type)][i];
        p.key.reset(test_support::pki_new_key(type));
        ASSERT_TRUE(p.key) << type_name(type);
        test_support::PkiCertSpec leaf;
        leaf.common_name = std::string(type_name(type)) + " party " + std::to_string(i);
        leaf.serial = serial;
        p.cert.reset(test_support::pki_make_cert(p.key.get(), leaf, issuer.cert.get(), issuer.key.get()));
        ASSERT_TRUE(p.cert) << type_name(type);
        p.der = test_support::to_der(p.cert.get());
      }
    }
    ASSERT_EQ(QL_cleanup(), QL_OK);
  }
  static void make_root(PkiKeyType type, const test_support::PkiCertSpec& spec, Party* out) {
    out->key.reset(test_support::pki_new_key(type));
    ASSERT_TRUE(out->key);
    out->cert.reset(test_support::pki_make_cert(out->key.get(), spec, nullptr, out->key.get()));
    ASSERT_TRUE(out->cert);
    out->der = test_support::to_der(out->cert.get());
  }
  static void TearDownTestSuite() {
    for (auto& row : parties_)
      for (Party& p : row) p = Party{};
    gost_root_ = Party{};
    rsa_root_ = Party{};
  }

  void SetUp() override {
    ASSERT_FALSE(scratch_.path.empty());
    ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
    qcrypto::RAND_set_rand_method(&kSystemRand);
    for (const Party* root : {&gost_root_, &rsa_root_})
      ASSERT_EQ(QL_add_trusted_certificate(root->der.data(), static_cast<long>(root->der.size())), QL_OK);
    ASSERT_EQ(QL_set_include_certs(1), QL_OK);
    ASSERT_EQ(QL_set_signing_time(1), QL_OK);
  }
  void TearDown() override {
    QL_set_progress_callback(nullptr, nullptr);
    while (QL_is_initialized() != 0) QL_cleanup();
    qcrypto::ERR_clear_error();
  }

  static Party& party(PkiKeyType type, int i) { return parties_[type_index(type)][i]; }
  std::string file(const std::string& name) const { return scratch_.file(name); }

  // Signs through the toolkit's own path: the certificate looked up by its
  // bytes and checked against the store, its key in the session.
  int sign(const Party& signer, const std::string& in, const std::string& out, bool detached) {
    if (!test_support::add_session_key(signer.key.get())) return -1;
    SetPtr set(QL_SIGN_SET_new());
    const long n = static_cast<long>(signer.der.size());
    const int added = QL_add_signer_certificate(set.get(), QL_LOOKUP_BYTES, signer.der.data(), &n);
    if (added != QL_OK) return added;
    return QL_sign_file(set.get(), in.c_str(), out.c_str(), detached ? 1 : 0);
  }
  static int encrypt(const std::vector<const Party*>& recipients, const std::string& in, const std::string& out) {
    UniquePtr<QL_CERT_LIST> list(QL_CERT_LIST_new());
    for (const Party* p : recipients) {
      const long n = static_cast<long>(p->der.size());
      const int added = QL_add_recipient_certificate(list.get(), QL_LOOKUP_BYTES, p->der.data(), &n);
      if (added != QL_OK) return added;
    }
    return QL_encrypt_file(list.get(), in.c_str(), out.c_str());
  }
  // A recipient's key and certificate into the session, as loading them from
  // a medium does: decryption finds the key through the certificate.
  static bool give_session(const Party& p) {
    return QL_add_certificate(p.der.data(), static_cast<long>(p.der.size())) == QL_OK &&
           test_support::add_session_key(p.key.get());
  }
  static int kind_of(const std::string& path) {
    int kind = -1;
    if (QL_get_file_type(path.c_str(), &kind) != QL_OK) return -2;
    return kind;
  }
  // Verifies an attached message, handing back its content.
  static int verify(QL_SIGN_SET* set, const Bytes& message, Bytes* content) {
    unsigned char* buffer = nullptr;
    long length = 0;
    const int rc = QL_verify_data_short(set, message.data(), static_cast<long>(message.size()), &buffer, &length, 1);
    if (buffer != nullptr) content->assign(buffer, buffer + length);
    QL_free(buffer);
    return rc;
  }
  void write_pem(const std::string& name, X509* cert) const {
    const std::string pem = test_support::to_pem(cert);
    ASSERT_TRUE(write_whole(file(name), Bytes(pem.begin(), pem.end())));
  }
  void write_key_pem(const std::string& name, EVP_PKEY* key) const {
    UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
    ASSERT_TRUE(out);
    ASSERT_EQ(PEM_write_bio_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr), 1);
    char* text = nullptr;
    const long length = BIO_get_mem_data(out.get(), &text);
    ASSERT_TRUE(write_whole(file(name), Bytes(text, text + length)));
  }
  // The progress reports of one operation that moved `bytes` through its
  // blocks against `total`: (stage, 0, total) first, then one report per
  // block with the running count, and (stage, total, total) last.
  static void expect_progress(const test_support::ProgressLog& log, int stage, long total, long bytes) {
    ASSERT_FALSE(log.calls.empty());
    const long blocks = (bytes + static_cast<long>(QL_BLOCK_BYTES) - 1) / static_cast<long>(QL_BLOCK_BYTES);
    const bool closing = bytes < total;  // a last report of the whole total
    ASSERT_EQ(static_cast<long>(log.calls.size()), 1 + blocks + (closing ? 1 : 0)) << "stage " << stage;
    for (std::size_t i = 0; i < log.calls.size(); ++i) {
      const long block_end = std::min(static_cast<long>(i * QL_BLOCK_BYTES), bytes);
      const long done = closing && i + 1 == log.calls.size() ? total : block_end;
      ASSERT_EQ(log.calls[i], (std::array<long, 3>{stage, done, total})) << "stage " << stage << ", report " << i;
    }
  }

  // Signs `doc` by the type's signer, envelopes the message for the type's
  // two recipients, and for each recipient alone opens and verifies it;
  // every step reports its progress.
  void round_trip(PkiKeyType type, const char* cipher, const Bytes& doc) {
    ASSERT_EQ(QL_set_cipher(cipher), QL_OK);
    ASSERT_TRUE(write_whole(file("doc.bin"), doc));
    const long size = static_cast<long>(doc.size());
    test_support::ProgressLog log;
    ASSERT_EQ(QL_set_progress_callback(test_support::log_progress, &log), QL_OK);
    const Party& signer = party(type, kSigner);
    ASSERT_EQ(sign(signer, file("doc.bin"), file("doc.sgn"), false), QL_OK);
    expect_progress(log, QL_STAGE_SIGN, size, size);
    EXPECT_EQ(kind_of(file("doc.sgn")), QL_KIND_SIGNED);
    const Bytes signed_message = read_whole(file("doc.sgn"));
    const long message_size = static_cast<long>(signed_message.size());
    log.calls.clear();
    ASSERT_EQ(encrypt({&party(type, 1), &party(type, 2)}, file("doc.sgn"), file("doc.enc")), QL_OK);
    expect_progress(log, QL_STAGE_ENCRYPT, message_size, message_size);
    EXPECT_EQ(kind_of(file("doc.enc")), QL_KIND_ENVELOPED);
    const Bytes sealed = read_whole(file("doc.enc"));
    ASSERT_GT(sealed.size(), doc.size());
    // The document does not show through the envelope.
    EXPECT_EQ(std::search(sealed.begin(), sealed.end(), doc.begin(), doc.begin() + 64), sealed.end());
    for (int recipient : {1, 2}) {
      SCOPED_TRACE("recipient " + std::to_string(recipient));
      ASSERT_EQ(QL_clear_keys(), QL_OK);
      ASSERT_TRUE(give_session(party(type, recipient)));
      const std::string opened = file("opened" + std::to_string(recipient) + ".sgn");
      log.calls.clear();
      ASSERT_EQ(QL_decrypt_file(file("doc.enc").c_str(), opened.c_str()), QL_OK);
      // Decryption counts the encrypted content it has consumed against the
      // size of the envelope: with the gamma that is exactly the message's
      // bytes; a block cipher's padding adds to the count, so there only the
      // frame of the protocol is fixed.
      if (std::string(cipher) == "RUS-GAMMAR") {
        expect_progress(log, QL_STAGE_DECRYPT, static_cast<long>(sealed.size()), message_size);
      } else {
        const long total = static_cast<long>(sealed.size());
        ASSERT_GE(log.calls.size(), 2U);
        EXPECT_EQ(log.calls.front(), (std::array<long, 3>{QL_STAGE_DECRYPT, 0, total}));
        EXPECT_EQ(log.calls.back(), (std::array<long, 3>{QL_STAGE_DECRYPT, total, total}));
        for (std::size_t i = 1; i < log.calls.size(); ++i) {
          EXPECT_EQ(log.calls[i][0], QL_STAGE_DECRYPT);
          EXPECT_GE(log.calls[i][1], log.calls[i - 1][1]);
          EXPECT_LE(log.calls[i][1], total);
        }
      }
      EXPECT_EQ(kind_of(opened), QL_KIND_SIGNED);
      const Bytes message = read_whole(opened);
      EXPECT_EQ(message, signed_message);
      SetPtr set(QL_SIGN_SET_new());
      Bytes content;
      log.calls.clear();
      ASSERT_EQ(verify(set.get(), message, &content), QL_OK);
      // Against the size of the message, counting the content read.
      expect_progress(log, QL_STAGE_VERIFY, message_size, size);
      EXPECT_EQ(content, doc);
      ASSERT_EQ(QL_SIGN_SET_signer_count(set.get()), 1);
      EXPECT_EQ(QL_SIGN_SET_signer_status(set.get(), 0), QL_OK);
      EXPECT_EQ(X509_cmp(set->signer_certs[0].get(), signer.cert.get()), 0);
      ASSERT_EQ(set->signing_times.size(), 1U);
      ASSERT_NE(set->signing_times[0], nullptr);
      EXPECT_NE(std::string(set->signing_times[0]).find(" GMT"), std::string::npos) << set->signing_times[0];
    }
    ASSERT_EQ(QL_set_progress_callback(nullptr, nullptr), QL_OK);
    // Only the signer's and recipients' files: nothing left over.
    EXPECT_EQ(scratch_.names(),
              (std::vector<std::string>{"doc.bin", "doc.enc", "doc.sgn", "opened1.sgn", "opened2.sgn"}));
    for (const char* name : {"doc.sgn", "doc.enc", "opened1.sgn", "opened2.sgn"}) std::filesystem::remove(file(name));
    ASSERT_EQ(QL_clear_keys(), QL_OK);
  }

  test_support::Scratch scratch_{"ql-e2e-"};
  static inline Party gost_root_;
  static inline Party rsa_root_;
  static inline Party parties_[3][kPartiesPerType];
};

TEST_F(EndToEndTest, SignedThenEnvelopedOpensAndVerifiesForEverySignerType) {
  const Bytes doc = test_support::random_bytes(5 * QL_BLOCK_BYTES + 77);
  for (PkiKeyType type : kTypes)
    for (const char* cipher : {"RUS-GAMMAR", "DES-EDE3-CBC"}) {
      SCOPED_TRACE(std::string(type_name(type)) + ", " + cipher);
      round_trip(type, cipher, doc);
      if (HasFatalFailure()) return;
    }
}

TEST_F(EndToEndTest, FileOfSomeMebibytesComesBackWhole) {
  const Bytes doc = test_support::random_bytes(3 * 1024 * 1024 + 1001);
  ASSERT_NE(doc.size() % QL_BLOCK_BYTES, 0U);
  for (PkiKeyType type : {PkiKeyType::kEcr3410, PkiKeyType::kRsa}) {
    SCOPED_TRACE(type_name(type));
    round_trip(type, "RUS-GAMMAR", doc);
    if (HasFatalFailure()) return;
  }
}

// An envelope has no integrity of its own: a changed byte of the encrypted
// content may open to changed bytes. Signed inside, the change is caught: the
// envelope does not open, or what it opens to does not verify. An envelope
// cut short never opens, and nothing is written for it.
TEST_F(EndToEndTest, DamagedEnvelopeOfASignedFileNeverVerifies) {
  const Bytes doc = test_support::random_bytes(3 * QL_BLOCK_BYTES + 100);
  ASSERT_TRUE(write_whole(file("doc.bin"), doc));
  for (PkiKeyType type : {PkiKeyType::kEcr3410, PkiKeyType::kRsa})
    for (const char* cipher : {"RUS-GAMMAR", "DES-EDE3-CBC"}) {
      SCOPED_TRACE(std::string(type_name(type)) + ", " + cipher);
      ASSERT_EQ(QL_set_cipher(cipher), QL_OK);
      ASSERT_EQ(sign(party(type, kSigner), file("doc.bin"), file("doc.sgn"), false), QL_OK);
      ASSERT_EQ(encrypt({&party(type, 1)}, file("doc.sgn"), file("doc.enc")), QL_OK);
      ASSERT_EQ(QL_clear_keys(), QL_OK);
      ASSERT_TRUE(give_session(party(type, 1)));
      const Bytes sealed = read_whole(file("doc.enc"));
      // The encrypted content is the end of the message: its last byte, its
      // last block and one in the middle of the document.
      for (const std::size_t at : {sealed.size() - 1, sealed.size() - 12, sealed.size() - 3000}) {
        SCOPED_TRACE("byte " + std::to_string(at) + " of " + std::to_string(sealed.size()));
        Bytes changed = sealed;
        changed[at] ^= 0x10;
        ASSERT_TRUE(write_whole(file("changed.enc"), changed));
        const int opened = QL_decrypt_file(file("changed.enc").c_str(), file("changed.sgn").c_str());
        // The gamma has no padding to check: the changed envelope always opens.
        if (std::string(cipher) == "RUS-GAMMAR") {
          EXPECT_EQ(opened, QL_OK);
        }
        if (opened != QL_OK) {
          EXPECT_EQ(opened, QL_ERR_CANNOT_OPEN);
          EXPECT_FALSE(std::filesystem::exists(file("changed.sgn")));
          continue;
        }
        SetPtr set(QL_SIGN_SET_new());
        Bytes content;
        const Bytes message = read_whole(file("changed.sgn"));
        EXPECT_NE(verify(set.get(), message, &content), QL_OK);
        std::filesystem::remove(file("changed.sgn"));
      }
      for (const std::size_t length : {std::size_t{10}, std::size_t{200}, sealed.size() / 2, sealed.size() - 1}) {
        SCOPED_TRACE("cut to " + std::to_string(length) + " of " + std::to_string(sealed.size()));
        ASSERT_TRUE(write_whole(file("cut.enc"), Bytes(sealed.begin(), sealed.begin() + static_cast<long>(length))));
        const int opened = QL_decrypt_file(file("cut.enc").c_str(), file("cut.sgn").c_str());
        EXPECT_TRUE(opened == QL_ERR_NOT_MESSAGE || opened == QL_ERR_CANNOT_OPEN) << opened;
        EXPECT_FALSE(std::filesystem::exists(file("cut.sgn")));
      }
      qcrypto::ERR_clear_error();
    }
}

// RSA messages of ours verify with both of openssl's verification commands
// against the root alone, attached and detached, with and without a
// signing time, in DER and PEM; one changed byte of the content, of the
// signature or of the PEM text fails there.
TEST_F(EndToEndTest, RsaSignatureVerifiesInOpenssl) {
  if (kOpenssl == nullptr) GTEST_SKIP() << "no openssl program was found when the build was configured";
  const Party& signer = party(PkiKeyType::kRsa, kSigner);
  write_pem("ca.pem", rsa_root_.cert.get());
  const Bytes doc = test_support::random_bytes(3 * QL_BLOCK_BYTES + 5);
  ASSERT_TRUE(write_whole(file("doc.bin"), doc));
  Bytes changed_doc = doc;
  changed_doc[doc.size() / 2] ^= 0x01;
  ASSERT_TRUE(write_whole(file("changed.bin"), changed_doc));
  for (const bool pem : {false, true})
    for (const bool detached : {false, true})
      for (const int signing_time : {0, 1}) {
        const std::string what = std::string(pem ? "PEM" : "DER") + (detached ? ", detached" : ", attached") +
                                 (signing_time != 0 ? ", signing time" : "");
        QL_settings_get()->output_format = pem ? QL_FORMAT_PEM : 0;
        ASSERT_EQ(QL_set_signing_time(signing_time), QL_OK);
        ASSERT_EQ(sign(signer, file("doc.bin"), file("doc.p7s"), detached), QL_OK) << what;
        Bytes changed = read_whole(file("doc.p7s"));
        if (pem) {
          // A letter of the base64 text in the middle of the message.
          const std::size_t i = changed.size() / 2 + (changed[changed.size() / 2] == '\n' ? 1 : 0);
          changed[i] = changed[i] == 'A' ? 'B' : 'A';
        } else if (!detached) {
          const auto at = std::search(changed.begin(), changed.end(), doc.begin(), doc.end());
          ASSERT_NE(at, changed.end()) << what;
          at[static_cast<std::ptrdiff_t>(doc.size() / 2)] ^= 0x01;
        } else {
          // The last byte lies in the signature value.
          changed.back() ^= 0x01;
        }
        ASSERT_TRUE(write_whole(file("changed.p7s"), changed));
        for (const char* command : {"cms", "smime"}) {
          SCOPED_TRACE(std::string(command) + ", " + what);
          std::filesystem::remove(file("back.bin"));
          auto args = [&](const std::string& message, const std::string& content) {
            std::vector<std::string> a = {command, "-verify", "-inform", pem ? "PEM" : "DER",
                                          "-in",   message,   "-CAfile", file("ca.pem")};
            if (detached) a.insert(a.end(), {"-content", content});
            a.insert(a.end(), {"-binary", "-out", file("back.bin")});
            return a;
          };
          const auto good = openssl(args(file("doc.p7s"), file("doc.bin")));
          EXPECT_EQ(good.status, 0) << good.output;
          EXPECT_NE(good.output.find("Verification successful"), std::string::npos) << good.output;
          EXPECT_EQ(read_whole(file("back.bin")), doc);
          // Refused, not failed to start or crashed (-1).
          const auto bad = openssl(args(file("changed.p7s"), file("doc.bin")));
          EXPECT_GT(bad.status, 0) << bad.output;
          if (detached) {
            const auto bad_content = openssl(args(file("doc.p7s"), file("changed.bin")));
            EXPECT_GT(bad_content.status, 0) << bad_content.output;
          }
        }
      }
}

// Envelopes openssl makes for an RSA recipient open here in both forms the
// toolkit reads (DER, and PEM on the second attempt), also streamed, with
// another recipient before ours and with AES; its S/MIME text form is no
// message, and neither an OAEP key transport nor an envelope only for
// someone else can be opened. Nothing is written when it fails.
TEST_F(EndToEndTest, OpensslRsaEnvelopeOpensInTheToolkit) {
  if (kOpenssl == nullptr) GTEST_SKIP() << "no openssl program was found when the build was configured";
  const Party& recipient = party(PkiKeyType::kRsa, 1);
  write_pem("recip.pem", recipient.cert.get());
  write_pem("other.pem", party(PkiKeyType::kRsa, 2).cert.get());
  const Bytes doc = test_support::random_bytes(4 * QL_BLOCK_BYTES + 321);
  ASSERT_TRUE(write_whole(file("f"), doc));
  ASSERT_TRUE(give_session(recipient));
  const std::string ours = file("recip.pem");
  const std::string other = file("other.pem");
  const struct {
    const char* what;
    std::vector<std::string> head;  // before the input and output
    std::vector<std::string> tail;  // after them: the recipients
    int code;
  } rows[] = {
      {"DER", {"smime", "-encrypt", "-des3", "-binary", "-outform", "DER"}, {ours}, QL_OK},
      {"PEM", {"smime", "-encrypt", "-des3", "-binary", "-outform", "PEM"}, {ours}, QL_OK},
      {"streamed BER", {"smime", "-encrypt", "-des3", "-binary", "-outform", "DER", "-stream"}, {ours}, QL_OK},
      {"ours the second recipient", {"smime", "-encrypt", "-des3", "-binary", "-outform", "DER"}, {other, ours}, QL_OK},
      {"AES-256", {"smime", "-encrypt", "-aes256", "-binary", "-outform", "DER"}, {ours}, QL_OK},
      // The engine transports RSA content keys with PKCS#1 v1.5 padding only.
      {"OAEP key transport",
       {"cms", "-encrypt", "-des3", "-binary", "-outform", "DER"},
       {"-recip", ours, "-keyopt", "rsa_padding_mode:oaep"},
       QL_ERR_CANNOT_OPEN},
      {"S/MIME text", {"smime", "-encrypt", "-des3", "-binary", "-outform", "SMIME"}, {ours}, QL_ERR_NOT_MESSAGE},
      {"for someone else", {"smime", "-encrypt", "-des3", "-binary", "-outform", "DER"}, {other}, QL_ERR_CANNOT_OPEN},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove(file("f.enc"));
    std::vector<std::string> args = row.head;
    args.insert(args.end(), {"-in", file("f"), "-out", file("f.enc")});
    args.insert(args.end(), row.tail.begin(), row.tail.end());
    const auto made = openssl(args);
    ASSERT_EQ(made.status, 0) << made.output;
    ASSERT_TRUE(std::filesystem::exists(file("f.enc")));
    EXPECT_EQ(kind_of(file("f.enc")), row.code == QL_ERR_NOT_MESSAGE ? QL_KIND_OTHER : QL_KIND_ENVELOPED);
    EXPECT_EQ(QL_decrypt_file(file("f.enc").c_str(), file("f.out").c_str()), row.code);
    if (row.code == QL_OK) {
      EXPECT_EQ(read_whole(file("f.out")), doc);
    } else {
      EXPECT_FALSE(std::filesystem::exists(file("f.out")));
    }
    std::filesystem::remove(file("f.out"));
    qcrypto::ERR_clear_error();
  }
}

// Our Triple-DES envelopes for two RSA recipients, in DER and in PEM and
// in every recipient form, open with both of openssl's decryption commands
// for each recipient.
TEST_F(EndToEndTest, ToolkitRsaEnvelopeOpensInOpenssl) {
  if (kOpenssl == nullptr) GTEST_SKIP() << "no openssl program was found when the build was configured";
  for (int i : {1, 2}) {
    const Party& p = party(PkiKeyType::kRsa, i);
    write_pem("recip" + std::to_string(i) + ".pem", p.cert.get());
    write_key_pem("key" + std::to_string(i) + ".pem", p.key.get());
  }
  const Bytes doc = test_support::random_bytes(3 * QL_BLOCK_BYTES + 1);
  ASSERT_TRUE(write_whole(file("doc.bin"), doc));
  ASSERT_EQ(QL_set_cipher("DES-EDE3-CBC"), QL_OK);
  for (const bool pem : {false, true})
    for (const int bits : {0, 1, 2}) {
      QL_settings_get()->output_format = pem ? QL_FORMAT_PEM : 0;
      ASSERT_EQ(QL_set_recipient_format(bits), QL_OK);
      ASSERT_EQ(encrypt({&party(PkiKeyType::kRsa, 1), &party(PkiKeyType::kRsa, 2)}, file("doc.bin"), file("doc.p7m")),
                QL_OK);
      for (const char* command : {"cms", "smime"})
        for (int i : {1, 2}) {
          SCOPED_TRACE(std::string(command) + (pem ? ", PEM" : ", DER") + ", form bits " + std::to_string(bits) +
                       ", recipient " + std::to_string(i));
          std::filesystem::remove(file("back.bin"));
          const auto opened = openssl({command, "-decrypt", "-inform", pem ? "PEM" : "DER", "-in", file("doc.p7m"),
                                       "-recip", file("recip" + std::to_string(i) + ".pem"), "-inkey",
                                       file("key" + std::to_string(i) + ".pem"), "-binary", "-out", file("back.bin")});
          EXPECT_EQ(opened.status, 0) << opened.output;
          EXPECT_EQ(read_whole(file("back.bin")), doc);
        }
    }
}

// RSA messages openssl signs, attached and detached, in DER and PEM, with
// several digests, two signers or no signed attributes, verify here with
// each signer's status 0 and the content handed back; one changed byte
// fails with 128. What the PKCS#7 profile does not know is refused, never
// taken as good: a PSS signature, a signer named by key identifier, and a
// signer whose certificate is nowhere.
TEST_F(EndToEndTest, OpensslRsaSignatureVerifiesInTheToolkit) {
  if (kOpenssl == nullptr) GTEST_SKIP() << "no openssl program was found when the build was configured";
  const Party& signer = party(PkiKeyType::kRsa, kSigner);
  const Party& second = party(PkiKeyType::kRsa, 1);
  write_pem("signer.pem", signer.cert.get());
  write_key_pem("signer.key", signer.key.get());
  write_pem("second.pem", second.cert.get());
  write_key_pem("second.key", second.key.get());
  const Bytes doc = test_support::random_bytes(2 * QL_BLOCK_BYTES + 700);
  ASSERT_TRUE(write_whole(file("doc.bin"), doc));
  // openssl pairs each -inkey with the -signer before it.
  const std::vector<std::string> two = {"-signer", file("second.pem"), "-inkey", file("second.key")};
  const struct {
    const char* what;
    std::vector<std::string> args;
    bool detached;
    int code;
    std::vector<const Party*> signers;  // reported by the toolkit, in any order
  } rows[] = {
      {"cms, attached, DER", {"cms", "-sign", "-nodetach", "-outform", "DER"}, false, QL_OK, {&signer}},
      {"cms, detached, DER", {"cms", "-sign", "-outform", "DER"}, true, QL_OK, {&signer}},
      {"cms, attached, PEM", {"cms", "-sign", "-nodetach", "-outform", "PEM"}, false, QL_OK, {&signer}},
      {"cms, SHA-512", {"cms", "-sign", "-nodetach", "-outform", "DER", "-md", "sha512"}, false, QL_OK, {&signer}},
      {"cms, no signed attributes",
       {"cms", "-sign", "-nodetach", "-outform", "DER", "-noattr"},
       false,
       QL_OK,
       {&signer}},
      {"cms, two signers", {"cms", "-sign", "-nodetach", "-outform", "DER"}, false, QL_OK, {&second, &signer}},
      {"smime, attached, DER, SHA-1",
       {"smime", "-sign", "-nodetach", "-outform", "DER", "-md", "sha1"},
       false,
       QL_OK,
       {&signer}},
      {"smime, detached, PEM", {"smime", "-sign", "-outform", "PEM"}, true, QL_OK, {&signer}},
      {"cms, PSS",
       {"cms", "-sign", "-nodetach", "-outform", "DER", "-keyopt", "rsa_padding_mode:pss"},
       false,
       QL_ERR_BAD_SIGNATURE,
       {&signer}},
      {"cms, signer by key identifier",
       {"cms", "-sign", "-nodetach", "-outform", "DER", "-keyid"},
       false,
       QL_ERR_NOT_MESSAGE,
       {}},
      {"cms, no certificates",
       {"cms", "-sign", "-nodetach", "-outform", "DER", "-nocerts"},
       false,
       QL_ERR_SIGNER_CERT,
       {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove(file("doc.p7s"));
    // The signers right after "<command> -sign": options of a signer's key
    // (-keyopt) follow it.
    std::vector<std::string> args(row.args.begin(), row.args.begin() + 2);
    args.insert(args.end(), {"-signer", file("signer.pem"), "-inkey", file("signer.key")});
    if (row.signers.size() > 1) args.insert(args.end(), two.begin(), two.end());
    args.insert(args.end(), row.args.begin() + 2, row.args.end());
    args.insert(args.end(), {"-binary", "-in", file("doc.bin"), "-out", file("doc.p7s")});
    const auto made = openssl(args);
    ASSERT_EQ(made.status, 0) << made.output;
    const Bytes message = read_whole(file("doc.p7s"));
    ASSERT_FALSE(message.empty());
    SetPtr set(QL_SIGN_SET_new());
    Bytes content;
    if (row.detached) {
      EXPECT_EQ(QL_verify_data(set.get(), message.data(), static_cast<long>(message.size()), nullptr, nullptr, 0,
                               doc.data(), static_cast<long>(doc.size())),
                row.code);
    } else {
      EXPECT_EQ(verify(set.get(), message, &content), row.code);
      EXPECT_EQ(content, row.code == QL_ERR_NOT_MESSAGE ? Bytes{} : doc);
    }
    ASSERT_EQ(QL_SIGN_SET_signer_count(set.get()), static_cast<int>(row.signers.size()));
    std::vector<const Party*> seen;
    for (std::size_t i = 0; i < row.signers.size(); ++i) {
      const int status = QL_SIGN_SET_signer_status(set.get(), static_cast<int>(i));
      EXPECT_EQ(status, row.code == QL_OK ? QL_OK : QL_ERR_SIGNATURE_FAILED) << i;
      EXPECT_EQ(QL_SIGN_SET_cert_is_embedded(set.get(), static_cast<int>(i)), 1) << i;
      for (const Party* p : row.signers)
        if (X509_cmp(set->signer_certs[i].get(), p->cert.get()) == 0) seen.push_back(p);
    }
    // Each signer once, in whatever order the message's set holds them.
    std::vector<const Party*> want = row.signers;
    std::sort(want.begin(), want.end());
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, want);
    if (row.code != QL_OK) continue;
    // The content changed: in the message when attached (DER only: the PEM
    // text does not show it), else the detached bytes.
    Bytes changed_doc = doc;
    changed_doc[doc.size() / 3] ^= 0x04;
    if (row.detached) {
      EXPECT_EQ(QL_verify_data(set.get(), message.data(), static_cast<long>(message.size()), nullptr, nullptr, 0,
                               changed_doc.data(), static_cast<long>(changed_doc.size())),
                QL_ERR_BAD_SIGNATURE);
    } else if (message[0] != '-') {
      Bytes changed = message;
      const auto at = std::search(changed.begin(), changed.end(), doc.begin(), doc.end());
      ASSERT_NE(at, changed.end());
      at[static_cast<std::ptrdiff_t>(doc.size() / 3)] ^= 0x04;
      EXPECT_EQ(verify(set.get(), changed, &content), QL_ERR_BAD_SIGNATURE);
    }
    qcrypto::ERR_clear_error();
  }
}

// The whole way across and back with RSA parties: signed and enveloped by
// the toolkit, opened and verified by openssl; signed and enveloped by
// openssl, opened and verified by the toolkit.
TEST_F(EndToEndTest, SignedThenEnvelopedCrossesToOpensslAndBack) {
  if (kOpenssl == nullptr) GTEST_SKIP() << "no openssl program was found when the build was configured";
  const Party& signer = party(PkiKeyType::kRsa, kSigner);
  const Party& recipient = party(PkiKeyType::kRsa, 2);
  write_pem("ca.pem", rsa_root_.cert.get());
  write_pem("signer.pem", signer.cert.get());
  write_key_pem("signer.key", signer.key.get());
  write_pem("recip.pem", recipient.cert.get());
  write_key_pem("recip.key", recipient.key.get());
  const Bytes doc = test_support::random_bytes(6 * QL_BLOCK_BYTES + 3);
  ASSERT_TRUE(write_whole(file("doc.bin"), doc));

  ASSERT_EQ(QL_set_cipher("DES-EDE3-CBC"), QL_OK);
  ASSERT_EQ(sign(signer, file("doc.bin"), file("ours.sgn"), false), QL_OK);
  ASSERT_EQ(encrypt({&party(PkiKeyType::kRsa, 1), &recipient}, file("ours.sgn"), file("ours.enc")), QL_OK);
  auto run = openssl({"smime", "-decrypt", "-inform", "DER", "-in", file("ours.enc"), "-recip", file("recip.pem"),
                      "-inkey", file("recip.key"), "-binary", "-out", file("ours.opened")});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(read_whole(file("ours.opened")), read_whole(file("ours.sgn")));
  run = openssl({"cms", "-verify", "-inform", "DER", "-in", file("ours.opened"), "-CAfile", file("ca.pem"), "-binary",
                 "-out", file("ours.content")});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(read_whole(file("ours.content")), doc);

  run = openssl({"smime", "-sign", "-nodetach", "-binary", "-outform", "DER", "-in", file("doc.bin"), "-signer",
                 file("signer.pem"), "-inkey", file("signer.key"), "-out", file("theirs.sgn")});
  ASSERT_EQ(run.status, 0) << run.output;
  run = openssl({"smime", "-encrypt", "-des3", "-binary", "-outform", "DER", "-in", file("theirs.sgn"), "-out",
                 file("theirs.enc"), file("recip.pem")});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(kind_of(file("theirs.enc")), QL_KIND_ENVELOPED);
  ASSERT_EQ(QL_clear_keys(), QL_OK);
  ASSERT_TRUE(give_session(recipient));
  ASSERT_EQ(QL_decrypt_file(file("theirs.enc").c_str(), file("theirs.opened").c_str()), QL_OK);
  EXPECT_EQ(kind_of(file("theirs.opened")), QL_KIND_SIGNED);
  const Bytes message = read_whole(file("theirs.opened"));
  EXPECT_EQ(message, read_whole(file("theirs.sgn")));
  SetPtr set(QL_SIGN_SET_new());
  Bytes content;
  ASSERT_EQ(verify(set.get(), message, &content), QL_OK);
  EXPECT_EQ(content, doc);
  ASSERT_EQ(QL_SIGN_SET_signer_count(set.get()), 1);
  EXPECT_EQ(QL_SIGN_SET_signer_status(set.get(), 0), QL_OK);
  EXPECT_EQ(X509_cmp(set->signer_certs[0].get(), signer.cert.get()), 0);
  ASSERT_EQ(set->signing_times.size(), 1U);
  EXPECT_NE(set->signing_times[0], nullptr);  // openssl adds signingTime
}

// Every kind of GOST message the toolkit writes is one DER object that
// openssl's parser reads to its last byte: the outer length covers the whole
// file (the whole decoded text for PEM), and the content type is the one the
// toolkit reports.
TEST_F(EndToEndTest, GostMessagesAreDerThatOpensslParses) {
  if (kOpenssl == nullptr) GTEST_SKIP() << "no openssl program was found when the build was configured";
  const Bytes doc = test_support::random_bytes(2 * QL_BLOCK_BYTES + 9);
  ASSERT_TRUE(write_whole(file("doc.bin"), doc));
  struct Made {
    std::string name;
    int kind;
    bool pem;
  };
  std::vector<Made> made;
  for (const bool pem : {false, true}) {
    QL_settings_get()->output_format = pem ? QL_FORMAT_PEM : 0;
    const std::string form = pem ? "-pem" : "";
    for (PkiKeyType type : {PkiKeyType::kR3410, PkiKeyType::kEcr3410}) {
      const std::string t = std::to_string(type_index(type));
      for (const bool detached : {false, true}) {
        const std::string name = "signed-" + t + (detached ? "-detached" : "-attached") + form;
        ASSERT_EQ(sign(party(type, kSigner), file("doc.bin"), file(name), detached), QL_OK) << name;
        made.push_back({name, QL_KIND_SIGNED, pem});
      }
      for (const int bits : {0, 1, 2})
        for (const char* cipher : {"RUS-GAMMAR", "DES-EDE3-CBC"}) {
          ASSERT_EQ(QL_set_cipher(cipher), QL_OK);
          ASSERT_EQ(QL_set_recipient_format(bits), QL_OK);
          const std::string name = "enveloped-" + t + "-" + std::to_string(bits) + "-" + cipher + form;
          ASSERT_EQ(encrypt({&party(type, 1), &party(type, 2)}, file("doc.bin"), file(name)), QL_OK) << name;
          made.push_back({name, QL_KIND_ENVELOPED, pem});
        }
    }
    // Signed by each GOST type, then enveloped for one recipient of each.
    for (PkiKeyType type : {PkiKeyType::kR3410, PkiKeyType::kEcr3410}) {
      QL_settings_get()->output_format = 0;
      ASSERT_EQ(sign(party(type, kSigner), file("doc.bin"), file("inner.sgn"), false), QL_OK);
      QL_settings_get()->output_format = pem ? QL_FORMAT_PEM : 0;
      ASSERT_EQ(QL_set_cipher("RUS-GAMMAR"), QL_OK);
      ASSERT_EQ(QL_set_recipient_format(0), QL_OK);
      const std::string name = "signed-" + std::to_string(type_index(type)) + "-then-enveloped" + form;
      ASSERT_EQ(
          encrypt({&party(PkiKeyType::kR3410, 1), &party(PkiKeyType::kEcr3410, 2)}, file("inner.sgn"), file(name)),
          QL_OK);
      made.push_back({name, QL_KIND_ENVELOPED, pem});
    }
  }

  for (const Made& m : made) {
    SCOPED_TRACE(m.name);
    EXPECT_EQ(kind_of(file(m.name)), m.kind);
    const Bytes bytes = read_whole(file(m.name));
    std::size_t size = bytes.size();
    if (m.pem) {
      ASSERT_GT(bytes.size(), 21U);
      EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 21), "-----BEGIN PKCS7-----");
      UniquePtr<BIO> in(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
      char* name = nullptr;
      char* header = nullptr;
      unsigned char* data = nullptr;
      long length = 0;
      ASSERT_EQ(PEM_read_bio(in.get(), &name, &header, &data, &length), 1);
      EXPECT_STREQ(name, "PKCS7");
      OPENSSL_free(name);
      OPENSSL_free(header);
      OPENSSL_free(data);
      size = static_cast<std::size_t>(length);
    }
    const auto parsed = openssl({"asn1parse", "-inform", m.pem ? "PEM" : "DER", "-in", file(m.name)});
    ASSERT_EQ(parsed.status, 0) << parsed.output;
    // The first line tells the outer object: "0:d=0  hl=4 l=16500 cons: SEQUENCE".
    std::size_t header = 0;
    std::size_t body = 0;
    char form[8] = {};
    ASSERT_EQ(std::sscanf(parsed.output.c_str(), " 0:d=0 hl=%zu l=%zu %7s SEQUENCE", &header, &body, form), 3)
        << parsed.output.substr(0, 200);
    EXPECT_STREQ(form, "cons:");
    EXPECT_EQ(header + body, size);
    EXPECT_NE(parsed.output.find(m.kind == QL_KIND_SIGNED ? ":pkcs7-signedData" : ":pkcs7-envelopedData"),
              std::string::npos)
        << parsed.output.substr(0, 400);
    EXPECT_EQ(parsed.output.find("Error"), std::string::npos) << parsed.output;
  }
}

}  // namespace
}  // namespace quillon2
