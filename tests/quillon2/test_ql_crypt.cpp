// The toolkit's encryption and decryption end to end over a test PKI: both
// GOST key types and RSA as recipients in each recipient form with both
// bulk ciphers, refused and unusable recipients, cancels at every point of
// the progress protocol, the message kind of files, and inputs that are not
// regular files.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "crypto/cadb/library.h"
#include "crypto/err/err.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_fixed.h"
#include "quillon2/ql_certinfo.h"
#include "quillon2/ql_crypt.h"
#include "quillon2/ql_dn.h"
#include "quillon2/ql_keys.h"
#include "tests/support/gost_pki.h"
#include "tests/support/nonregular_input.h"
#include "tests/support/provider_fixture.h"
#include "tests/support/pse_fixture.h"
#include "tests/support/ql_fixture.h"
#include "tests/support/rsa_forge.h"

QCRYPTO_DECLARE_OWNER(PKCS7, PKCS7_free)
// A stack of certificates that holds one reference per certificate.
inline void free_cert_stack(STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); }
QCRYPTO_DECLARE_OWNER(STACK_OF(X509), free_cert_stack)

namespace quillon2 {
namespace {

using Bytes = std::vector<unsigned char>;
using qcrypto::UniquePtr;
using qcrypto::testing_support::read_whole;
using qcrypto::testing_support::write_whole;
using test_support::GostKeyType;
using test_support::log_progress;
using test_support::Party;
using test_support::ProgressLog;
using test_support::random_bytes;

using test_support::kSystemRand;

enum class Who { kR3410, kEcr3410, kRsa };

EVP_PKEY* new_key(Who who) {
  switch (who) {
    case Who::kR3410:
      return test_support::gost_new_key(GostKeyType::kR3410);
    case Who::kEcr3410:
      return test_support::gost_new_key(GostKeyType::kEcr3410);
    case Who::kRsa:
      return EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
  }
  return nullptr;
}

class CryptTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qcrypto::ERR_load_crypto_strings();
    ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
    qcrypto::RAND_set_rand_method(&kSystemRand);
    ca_key_.reset(test_support::gost_new_key(GostKeyType::kEcr3410));
    ASSERT_TRUE(ca_key_);
    ca_.reset(test_support::gost_make_cert(ca_key_.get(), {"Test CA", 1, true, 30}, nullptr, ca_key_.get()));
    ASSERT_TRUE(ca_);
    const Who whos[] = {Who::kR3410, Who::kEcr3410, Who::kRsa};
    long serial = 10;
    for (Who who : whos) {
      for (int copy = 0; copy < 2; ++copy) {
        Party p;
        p.key.reset(new_key(who));
        ASSERT_TRUE(p.key);
        p.cert.reset(test_support::gost_make_cert(p.key.get(), {"Party " + std::to_string(serial), serial, false, 30},
                                                  ca_.get(), ca_key_.get()));
        ASSERT_TRUE(p.cert);
        p.der = test_support::to_der(p.cert.get());
        parties_[static_cast<int>(who)][copy] = std::move(p);
        ++serial;
      }
    }
    ASSERT_EQ(QL_cleanup(), QL_OK);
  }
  static void TearDownTestSuite() {
    for (auto& row : parties_)
      for (auto& p : row) p = Party{};
    ca_.reset();
    ca_key_.reset();
  }

  void SetUp() override {
    ASSERT_FALSE(scratch_.path.empty());
    ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
    qcrypto::RAND_set_rand_method(&kSystemRand);
    const Bytes ca_der = test_support::to_der(ca_.get());
    ASSERT_EQ(QL_add_trusted_certificate(ca_der.data(), static_cast<long>(ca_der.size())), QL_OK);
  }
  void TearDown() override {
    QL_set_progress_callback(nullptr, nullptr);
    while (QL_is_initialized() != 0) QL_cleanup();
  }

  static Party& party(Who who, int copy) { return parties_[static_cast<int>(who)][copy]; }

  // The party's certificate into the session list; with `with_key` its
  // private key into the session too.
  void give_session(Who who, int copy, bool with_key) {
    Party& p = party(who, copy);
    const Bytes der = test_support::to_der(p.cert.get());
    ASSERT_EQ(QL_add_certificate(der.data(), static_cast<long>(der.size())), QL_OK);
    if (!with_key) return;
    EXPECT_TRUE(test_support::add_session_key(p.key.get()));
  }

  // A recipient list of the parties' certificates, added by their bytes;
  // every addition must succeed.
  UniquePtr<QL_CERT_LIST> list_of(const std::vector<std::pair<Who, int>>& who) {
    UniquePtr<QL_CERT_LIST> list(QL_CERT_LIST_new());
    for (const auto& [w, copy] : who) {
      const Bytes der = test_support::to_der(party(w, copy).cert.get());
      const long length = static_cast<long>(der.size());
      EXPECT_EQ(QL_add_recipient_certificate(list.get(), QL_LOOKUP_BYTES, der.data(), &length), QL_OK);
    }
    return list;
  }

  std::string file(const std::string& name) const { return scratch_.file(name); }

  test_support::Scratch scratch_{"ql-crypt-"};
  static UniquePtr<EVP_PKEY> ca_key_;
  static UniquePtr<X509> ca_;
  static Party parties_[3][2];
};
UniquePtr<EVP_PKEY> CryptTest::ca_key_;
UniquePtr<X509> CryptTest::ca_;
Party CryptTest::parties_[3][2];

// Every recipient type in every recipient form with both ciphers: two
// recipients of the type, each of whose keys opens the message alone.
TEST_F(CryptTest, EncryptsForTwoRecipientsOfEachTypeAndEachKeyOpensIt) {
  struct Row {
    Who who;
    int format_bits;
    const char* cipher;
  };
  std::vector<Row> rows;
  for (Who who : {Who::kR3410, Who::kEcr3410, Who::kRsa})
    for (int bits : {0, 1, 2})
      for (const char* cipher : {"RUS-GAMMAR", "DES-EDE3-CBC"}) rows.push_back({who, bits, cipher});
  const Bytes plain = random_bytes(3 * 4096 + 123);
  ASSERT_TRUE(write_whole(file("plain"), plain));
  for (const Row& row : rows) {
    const std::string what =
        std::to_string(static_cast<int>(row.who)) + "/" + std::to_string(row.format_bits) + "/" + row.cipher;
    ASSERT_EQ(QL_set_cipher(row.cipher), QL_OK);
    ASSERT_EQ(QL_set_recipient_format(row.format_bits), QL_OK);
    auto list = list_of({{row.who, 0}, {row.who, 1}});
    ASSERT_EQ(QL_encrypt_file(list.get(), file("plain").c_str(), file("msg.enc").c_str()), QL_OK) << what;
    const Bytes enc = read_whole(file("msg.enc"));
    ASSERT_GT(enc.size(), plain.size()) << what;
    int kind = -1;
    EXPECT_EQ(QL_get_file_type(file("msg.enc").c_str(), &kind), QL_OK);
    EXPECT_EQ(kind, QL_KIND_ENVELOPED) << what;
    for (int copy = 0; copy < 2; ++copy) {
      ASSERT_EQ(QL_clear_keys(), QL_OK);
      give_session(row.who, copy, true);
      const std::string out = file("out" + std::to_string(copy));
      EXPECT_EQ(QL_decrypt_file(file("msg.enc").c_str(), out.c_str()), QL_OK) << what << " key " << copy;
      EXPECT_EQ(read_whole(out), plain) << what << " key " << copy;
    }
  }
}

TEST_F(CryptTest, NullOutputReplacesTheInputBothWays) {
  const Bytes plain = random_bytes(10000);
  ASSERT_TRUE(write_whole(file("doc"), plain));
  auto list = list_of({{Who::kEcr3410, 0}});
  ASSERT_EQ(QL_encrypt_file(list.get(), file("doc").c_str(), nullptr), QL_OK);
  EXPECT_NE(read_whole(file("doc")), plain);
  give_session(Who::kEcr3410, 0, true);
  ASSERT_EQ(QL_decrypt_file(file("doc").c_str(), nullptr), QL_OK);
  EXPECT_EQ(read_whole(file("doc")), plain);
  EXPECT_EQ(scratch_.names(), std::vector<std::string>{"doc"});
}

// The output format word selects PEM; the PEM message decrypts and has its kind.
TEST_F(CryptTest, PemOutputDecryptsAndIsEnveloped) {
  const Bytes plain = random_bytes(9000);
  ASSERT_TRUE(write_whole(file("plain"), plain));
  QL_settings_get()->output_format = QL_FORMAT_PEM;
  auto list = list_of({{Who::kR3410, 0}});
  ASSERT_EQ(QL_encrypt_file(list.get(), file("plain").c_str(), file("msg.pem").c_str()), QL_OK);
  const Bytes pem = read_whole(file("msg.pem"));
  ASSERT_GT(pem.size(), 30U);
  EXPECT_EQ(std::string(pem.begin(), pem.begin() + 21), "-----BEGIN PKCS7-----");
  int kind = -1;
  EXPECT_EQ(QL_get_file_type(file("msg.pem").c_str(), &kind), QL_OK);
  EXPECT_EQ(kind, QL_KIND_ENVELOPED);
  give_session(Who::kR3410, 0, true);
  ASSERT_EQ(QL_decrypt_file(file("msg.pem").c_str(), file("out").c_str()), QL_OK);
  EXPECT_EQ(read_whole(file("out")), plain);
}

TEST_F(CryptTest, RefusalsAndUnopenableMessages) {
  const Bytes plain = random_bytes(5000);
  ASSERT_TRUE(write_whole(file("plain"), plain));
  auto list = list_of({{Who::kR3410, 0}});
  ASSERT_EQ(QL_encrypt_file(list.get(), file("plain").c_str(), file("msg.enc").c_str()), QL_OK);

  // The recipient's certificate is in the session but not its key; another
  // party's key is.
  give_session(Who::kR3410, 0, false);
  give_session(Who::kR3410, 1, true);
  EXPECT_EQ(QL_decrypt_file(file("msg.enc").c_str(), file("out").c_str()), QL_ERR_CANNOT_OPEN);
  // The reason stays queued for the error text shown with 125.
  EXPECT_NE(qcrypto::ERR_peek_error(), 0UL);
  qcrypto::ERR_clear_error();
  EXPECT_FALSE(std::filesystem::exists(file("out")));

  UniquePtr<QL_CERT_LIST> empty(QL_CERT_LIST_new());
  EXPECT_EQ(QL_encrypt_file(empty.get(), file("plain").c_str(), file("x").c_str()), QL_ERR_RECIPIENT);
  EXPECT_EQ(QL_encrypt_file(nullptr, file("plain").c_str(), file("x").c_str()), QL_ERR_ARGUMENT);
  EXPECT_EQ(QL_encrypt_file(list.get(), file("missing").c_str(), file("x").c_str()), QL_ERR_INPUT);
  EXPECT_EQ(QL_decrypt_file(file("plain").c_str(), file("x").c_str()), QL_ERR_NOT_MESSAGE);
  EXPECT_EQ(QL_decrypt_file(file("missing").c_str(), file("x").c_str()), QL_ERR_INPUT);
  EXPECT_FALSE(std::filesystem::exists(file("x")));

  // Look-ups that find nothing, and mode 3 which never finds anything.
  EXPECT_EQ(QL_add_recipient_certificate(list.get(), QL_LOOKUP_NAME, nullptr, nullptr), QL_ERR_RECIPIENT_CERT);
  EXPECT_EQ(QL_add_recipient_certificate(list.get(), QL_LOOKUP_SUBJECT, "CN=nobody", nullptr), QL_ERR_RECIPIENT_CERT);
  const long one = 1;
  EXPECT_EQ(QL_add_recipient_certificate(list.get(), QL_LOOKUP_BYTES, "x", &one), QL_ERR_CERT_DECODE);
  EXPECT_EQ(sk_X509_num(list->certs), 1);
}

// A recipient whose key no entry can be made for (an ECDSA P-256 key) is
// refused when its entry is added, before any output exists, alone or
// after a good recipient, and also when the output would replace the input.
TEST_F(CryptTest, RecipientOfAnUnsupportedKeyTypeIsRefusedAtItsEntry) {
  const UniquePtr<EVP_PKEY> ec_key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  ASSERT_TRUE(ec_key);
  const UniquePtr<X509> ec_cert(
      test_support::gost_make_cert(ec_key.get(), {"P-256 party", 99, false, 30}, ca_.get(), ca_key_.get()));
  ASSERT_TRUE(ec_cert);
  const Bytes ec_der = test_support::to_der(ec_cert.get());
  const long ec_length = static_cast<long>(ec_der.size());
  const Bytes plain = random_bytes(3000);
  ASSERT_TRUE(write_whole(file("plain"), plain));

  const struct {
    const char* what;
    bool good_first;
    bool over_input;
  } rows[] = {
      {"alone", false, false},
      {"after a good recipient", true, false},
      {"alone, output over the input", false, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    UniquePtr<QL_CERT_LIST> list =
        row.good_first ? list_of({{Who::kEcr3410, 0}}) : UniquePtr<QL_CERT_LIST>(QL_CERT_LIST_new());
    ASSERT_TRUE(list);
    // The certificate itself verifies: it is taken into the list.
    ASSERT_EQ(QL_add_recipient_certificate(list.get(), QL_LOOKUP_BYTES, ec_der.data(), &ec_length), QL_OK);
    qcrypto::ERR_clear_error();
    const std::string out = file("msg.enc");
    EXPECT_EQ(QL_encrypt_file(list.get(), file("plain").c_str(), row.over_input ? nullptr : out.c_str()),
              QL_ERR_RECIPIENT);
    // The reason stays queued for the error text shown with 117.
    EXPECT_NE(qcrypto::ERR_peek_error(), 0UL);
    qcrypto::ERR_clear_error();
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_EQ(read_whole(file("plain")), plain);
    EXPECT_EQ(scratch_.names(), std::vector<std::string>{"plain"});
  }
}

TEST_F(CryptTest, RevokedRecipientIsRefusedWithItsVerificationError) {
  Party& p = party(Who::kEcr3410, 1);
  UniquePtr<X509_CRL> crl(
      test_support::gost_make_crl(ca_.get(), ca_key_.get(), {ASN1_INTEGER_get(X509_get0_serialNumber(p.cert.get()))}));
  ASSERT_TRUE(crl);
  const std::string crl_dir = file("crls");
  std::filesystem::create_directory(crl_dir);
  ASSERT_TRUE(write_whole(crl_dir + "/ca.crl", test_support::to_der(crl.get())));
  ASSERT_EQ(QL_load_crls(crl_dir.c_str()), QL_OK);
  UniquePtr<QL_CERT_LIST> list(QL_CERT_LIST_new());
  const Bytes der = test_support::to_der(p.cert.get());
  const long length = static_cast<long>(der.size());
  EXPECT_EQ(QL_add_recipient_certificate(list.get(), QL_LOOKUP_BYTES, der.data(), &length), 23);
  EXPECT_EQ(list->certs, nullptr);
  // Its unrevoked sibling is still taken.
  const Bytes ok = test_support::to_der(party(Who::kEcr3410, 0).cert.get());
  const long ok_length = static_cast<long>(ok.size());
  EXPECT_EQ(QL_add_recipient_certificate(list.get(), QL_LOOKUP_BYTES, ok.data(), &ok_length), QL_OK);
}

// A cancel at the first report, a middle block and the last report leaves
// nothing behind, also when the output would have replaced the input.
TEST_F(CryptTest, CancelLeavesNothingAndTheInputUntouched) {
  const Bytes plain = random_bytes(5 * 4096 + 7);  // reports: begin, 6 blocks
  ASSERT_TRUE(write_whole(file("plain"), plain));
  auto list = list_of({{Who::kEcr3410, 0}});
  ASSERT_EQ(QL_encrypt_file(list.get(), file("plain").c_str(), file("msg.enc").c_str()), QL_OK);
  const Bytes enc = read_whole(file("msg.enc"));
  give_session(Who::kEcr3410, 0, true);

  // The number of reports of an uncancelled run of each operation.
  ProgressLog full;
  ASSERT_EQ(QL_set_progress_callback(log_progress, &full), QL_OK);
  ASSERT_EQ(QL_encrypt_file(list.get(), file("plain").c_str(), file("again.enc").c_str()), QL_OK);
  const int encrypt_reports = static_cast<int>(full.calls.size());
  ASSERT_GE(encrypt_reports, 3);
  EXPECT_EQ(full.calls.front()[0], QL_STAGE_ENCRYPT);
  EXPECT_EQ(full.calls.front()[1], 0);
  EXPECT_EQ(full.calls.back()[1], static_cast<long>(plain.size()));
  full.calls.clear();
  ASSERT_EQ(QL_decrypt_file(file("msg.enc").c_str(), file("again.txt").c_str()), QL_OK);
  const int decrypt_reports = static_cast<int>(full.calls.size());
  ASSERT_GE(decrypt_reports, 3);
  EXPECT_EQ(full.calls.back()[0], QL_STAGE_DECRYPT);
  EXPECT_EQ(full.calls.back()[1], full.calls.back()[2]);
  std::filesystem::remove(file("again.enc"));
  std::filesystem::remove(file("again.txt"));
  const std::vector<std::string> before = scratch_.names();

  struct Row {
    bool encrypt;
    int cancel_at;
    bool null_output;
  };
  std::vector<Row> rows;
  for (bool encrypt : {true, false}) {
    const int n = encrypt ? encrypt_reports : decrypt_reports;
    for (int at : {1, n / 2, n})
      for (bool null_output : {false, true}) rows.push_back({encrypt, at, null_output});
  }
  for (const Row& row : rows) {
    const std::string what = std::string(row.encrypt ? "encrypt" : "decrypt") + " at " + std::to_string(row.cancel_at) +
                             (row.null_output ? " over the input" : "");
    ProgressLog log;
    log.cancel_at = row.cancel_at;
    ASSERT_EQ(QL_set_progress_callback(log_progress, &log), QL_OK);
    const std::string in = file(row.encrypt ? "plain" : "msg.enc");
    const std::string out = file("out");
    const int rc = row.encrypt ? QL_encrypt_file(list.get(), in.c_str(), row.null_output ? nullptr : out.c_str())
                               : QL_decrypt_file(in.c_str(), row.null_output ? nullptr : out.c_str());
    EXPECT_EQ(rc, QL_ERR_CANCELLED) << what;
    EXPECT_EQ(static_cast<int>(log.calls.size()), row.cancel_at) << what;
    EXPECT_EQ(scratch_.names(), before) << what;
    EXPECT_EQ(read_whole(file("plain")), plain) << what;
    EXPECT_EQ(read_whole(file("msg.enc")), enc) << what;
  }
}

TEST_F(CryptTest, FileTypeOfMessagesAndOtherFiles) {
  const Bytes plain = random_bytes(100);
  ASSERT_TRUE(write_whole(file("plain"), plain));
  auto list = list_of({{Who::kRsa, 0}});
  ASSERT_EQ(QL_encrypt_file(list.get(), file("plain").c_str(), file("msg.enc").c_str()), QL_OK);
  ASSERT_EQ(QL_set_recipient_format(0), QL_OK);

  // A signed message made by OpenSSL, in both forms.
  Party& rsa = party(Who::kRsa, 0);
  UniquePtr<BIO> data(BIO_new_mem_buf(plain.data(), static_cast<int>(plain.size())));
  UniquePtr<PKCS7> sig(PKCS7_sign(rsa.cert.get(), rsa.key.get(), nullptr, data.get(), PKCS7_BINARY));
  ASSERT_TRUE(sig);
  unsigned char* der = nullptr;
  const int der_len = i2d_PKCS7(sig.get(), &der);
  ASSERT_GT(der_len, 0);
  ASSERT_TRUE(write_whole(file("msg.sgn"), Bytes(der, der + der_len)));
  OPENSSL_free(der);
  UniquePtr<BIO> pem(BIO_new(BIO_s_mem()));
  ASSERT_EQ(PEM_write_bio_PKCS7(pem.get(), sig.get()), 1);
  char* pem_text = nullptr;
  const long pem_len = BIO_get_mem_data(pem.get(), &pem_text);
  ASSERT_TRUE(write_whole(file("msg.pem"), Bytes(pem_text, pem_text + pem_len)));
  ASSERT_TRUE(write_whole(file("text"), Bytes{'h', 'e', 'l', 'l', 'o', '\n'}));
  ASSERT_TRUE(write_whole(file("empty"), Bytes{}));

  struct Row {
    const char* name;
    int kind;
  };
  const Row rows[] = {
      {"msg.enc", QL_KIND_ENVELOPED}, {"msg.sgn", QL_KIND_SIGNED}, {"msg.pem", QL_KIND_SIGNED},
      {"text", QL_KIND_OTHER},        {"empty", QL_KIND_OTHER},    {"plain", QL_KIND_OTHER},
  };
  for (const Row& row : rows) {
    int kind = -1;
    EXPECT_EQ(QL_get_file_type(file(row.name).c_str(), &kind), QL_OK) << row.name;
    EXPECT_EQ(kind, row.kind) << row.name;
    const Bytes bytes = read_whole(file(row.name));
    static const unsigned char kNothing = 0;
    kind = -1;
    EXPECT_EQ(QL_get_buffer_type(bytes.empty() ? &kNothing : bytes.data(), static_cast<long>(bytes.size()), &kind),
              QL_OK)
        << row.name;
    EXPECT_EQ(kind, row.kind) << row.name;
  }
  int kind = -1;
  EXPECT_EQ(QL_get_file_type(file("missing").c_str(), &kind), QL_ERR_INPUT);
  EXPECT_EQ(QL_get_file_type(nullptr, &kind), QL_ERR_ARGUMENT);
  // A signed message is not opened by decryption.
  EXPECT_EQ(QL_decrypt_file(file("msg.sgn").c_str(), file("x").c_str()), QL_ERR_NOT_ENVELOPED);
}

// A FIFO or a folder given as the input of a file function is refused as an
// input that cannot be read, at once: nothing waits for a writer, and no
// output appears.
TEST_F(CryptTest, InputsThatAreNotRegularFilesAreRefused) {
  give_session(Who::kRsa, 0, true);
  auto list = list_of({{Who::kRsa, 0}});
  const std::vector<test_support::NonRegularInput> inputs = test_support::make_nonregular_inputs(scratch_.path);
  ASSERT_EQ(inputs.size(), 2U);
  const std::string out = file("out");
  struct Row {
    const char* name;
    std::function<int(const char*)> call;
    int code;
  };
  const Row rows[] = {
      {"QL_encrypt_file", [&](const char* in) { return QL_encrypt_file(list.get(), in, out.c_str()); }, QL_ERR_INPUT},
      {"QL_decrypt_file", [&](const char* in) { return QL_decrypt_file(in, out.c_str()); }, QL_ERR_INPUT},
      {"QL_get_file_type",
       [](const char* in) {
         int kind = -1;
         return QL_get_file_type(in, &kind);
       },
       QL_ERR_INPUT},
      {"QL_read_message_file",
       [](const char* in) {
         int kind = -1;
         QL_MESSAGE* message = nullptr;
         const int rc = QL_read_message_file(in, &kind, &message);
         QL_free_message(message);
         return rc;
       },
       QL_ERR_INPUT},
      {"QL_load_key_file", [](const char* in) { return QL_load_key_file(in, "password"); }, QL_ERR_KEY_FILE},
  };
  for (const auto& input : inputs) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.name) + " on a " + input.what);
      const std::string path = input.path;
      const std::optional<int> rc =
          test_support::call_with_deadline(inputs[0].path, [&] { return row.call(path.c_str()); });
      ASSERT_TRUE(rc.has_value()) << "the call waited on the input";
      EXPECT_EQ(*rc, row.code);
      EXPECT_FALSE(std::filesystem::exists(out));
    }
  }
}

// The recipients of an enveloped message in every recipient form (entries
// of version 0 and 3) and the signer of a signed one, by issuer and serial.
TEST_F(CryptTest, MessageDetailsNameRecipientsAndSigners) {
  const Bytes plain = random_bytes(300);
  ASSERT_TRUE(write_whole(file("plain"), plain));
  auto text_of = [](char* text) {
    std::string s = text != nullptr ? text : "(null)";
    QL_free(text);
    return s;
  };
  auto serial_of = [](X509* cert) { return mputil_serial_text(X509_get0_serialNumber(cert)); };
  auto issuer_of = [&](X509* cert) { return text_of(QL_cert_issuer_text(cert)); };
  for (int bits : {0, 1, 2}) {
    ASSERT_EQ(QL_set_recipient_format(bits), QL_OK);
    const std::vector<std::pair<Who, int>> who = {{Who::kEcr3410, 0}, {Who::kR3410, 1}, {Who::kRsa, 0}};
    auto list = list_of(who);
    ASSERT_EQ(QL_encrypt_file(list.get(), file("plain").c_str(), file("msg.enc").c_str()), QL_OK);
    int kind = -1;
    QL_MESSAGE* raw = nullptr;
    ASSERT_EQ(QL_read_message_file(file("msg.enc").c_str(), &kind, &raw), QL_OK) << bits;
    std::unique_ptr<QL_MESSAGE, void (*)(QL_MESSAGE*)> message(raw, QL_free_message);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(kind, QL_KIND_ENVELOPED);
    ASSERT_EQ(QL_recipient_count(message.get()), 3) << bits;
    EXPECT_EQ(QL_signer_count(message.get()), 0);
    // The set of entries is in DER order, not in the list's.
    std::vector<std::string> want;
    std::vector<std::string> got;
    for (int i = 0; i < 3; ++i) {
      X509* cert = party(who[static_cast<size_t>(i)].first, who[static_cast<size_t>(i)].second).cert.get();
      want.push_back(serial_of(cert) + " " + issuer_of(cert));
      UniquePtr<QL_DN> dn(QL_DN_new());
      got.push_back(text_of(QL_recipient_serial(message.get(), i)) + " " +
                    text_of(QL_recipient_issuer(message.get(), i, dn.get())));
      EXPECT_STREQ(dn->CN, "Test CA") << bits << " " << i;
    }
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want) << bits;
    EXPECT_EQ(QL_recipient_serial(message.get(), 3), nullptr);
    EXPECT_EQ(QL_get_last_error(), QL_ERR_ARGUMENT);
  }

  Party& rsa = party(Who::kRsa, 1);
  UniquePtr<BIO> data(BIO_new_mem_buf(plain.data(), static_cast<int>(plain.size())));
  UniquePtr<PKCS7> sig(PKCS7_sign(rsa.cert.get(), rsa.key.get(), nullptr, data.get(), PKCS7_BINARY));
  ASSERT_TRUE(sig);
  UniquePtr<BIO> pem(BIO_new(BIO_s_mem()));
  ASSERT_EQ(PEM_write_bio_PKCS7(pem.get(), sig.get()), 1);
  char* pem_text = nullptr;
  const long pem_len = BIO_get_mem_data(pem.get(), &pem_text);
  int kind = -1;
  QL_MESSAGE* raw = nullptr;
  ASSERT_EQ(QL_read_message_buffer(reinterpret_cast<unsigned char*>(pem_text), pem_len, &kind, &raw), QL_OK);
  std::unique_ptr<QL_MESSAGE, void (*)(QL_MESSAGE*)> message(raw, QL_free_message);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(kind, QL_KIND_SIGNED);
  EXPECT_EQ(QL_recipient_count(message.get()), 0);
  ASSERT_EQ(QL_signer_count(message.get()), 1);
  EXPECT_EQ(text_of(QL_signer_serial(message.get(), 0)), serial_of(rsa.cert.get()));
  EXPECT_EQ(text_of(QL_signer_issuer(message.get(), 0, nullptr)), issuer_of(rsa.cert.get()));
  const std::string when = text_of(QL_signer_signing_time(message.get(), 0));
  EXPECT_NE(when, "(null)");
  EXPECT_EQ(QL_signer_serial(message.get(), 1), nullptr);
  EXPECT_EQ(QL_get_last_error(), QL_ERR_ARGUMENT);
  EXPECT_EQ(QL_signer_count(nullptr), 0);
  EXPECT_EQ(QL_get_last_error(), QL_ERR_ARGUMENT);

  // A message cut short has the right head but is no message when decoded.
  raw = reinterpret_cast<QL_MESSAGE*>(&kind);
  EXPECT_EQ(QL_read_message_buffer(reinterpret_cast<unsigned char*>(pem_text), pem_len / 2, &kind, &raw), QL_OK);
  EXPECT_EQ(kind, QL_KIND_OTHER);
  EXPECT_EQ(raw, nullptr);
  const Bytes enc = read_whole(file("msg.enc"));
  ASSERT_GT(enc.size(), 200U);
  EXPECT_EQ(QL_read_message_buffer(enc.data(), 120, &kind, &raw), QL_OK);
  EXPECT_EQ(kind, QL_KIND_OTHER);
  EXPECT_EQ(raw, nullptr);

  // Not a message: kind 0 and nothing handed over.
  const Bytes text = {'n', 'o', 't', ' ', 'a', ' ', 'm', 'e', 's', 's', 'a', 'g', 'e'};
  raw = reinterpret_cast<QL_MESSAGE*>(&kind);
  EXPECT_EQ(QL_read_message_buffer(text.data(), static_cast<long>(text.size()), &kind, &raw), QL_OK);
  EXPECT_EQ(kind, QL_KIND_OTHER);
  EXPECT_EQ(raw, nullptr);
}

// RSA recipients with DES-EDE3-CBC both ways with the dependency's own
// PKCS#7 code: its message opens with the toolkit, the toolkit's with it.
TEST_F(CryptTest, RsaDes3MessagesInteroperateWithTheDependency) {
  Party& rsa = party(Who::kRsa, 0);
  const Bytes plain = random_bytes(2 * 4096 + 99);
  give_session(Who::kRsa, 0, true);

  UniquePtr<STACK_OF(X509)> recipients(sk_X509_new_null());
  ASSERT_TRUE(recipients);
  ASSERT_EQ(X509_up_ref(rsa.cert.get()), 1);
  ASSERT_GT(sk_X509_push(recipients.get(), rsa.cert.get()), 0);
  UniquePtr<BIO> data(BIO_new_mem_buf(plain.data(), static_cast<int>(plain.size())));
  UniquePtr<PKCS7> theirs(PKCS7_encrypt(recipients.get(), data.get(), EVP_des_ede3_cbc(), PKCS7_BINARY));
  ASSERT_TRUE(theirs);
  unsigned char* der = nullptr;
  const int der_len = i2d_PKCS7(theirs.get(), &der);
  ASSERT_GT(der_len, 0);
  ASSERT_TRUE(write_whole(file("theirs.p7m"), Bytes(der, der + der_len)));
  OPENSSL_free(der);
  ASSERT_EQ(QL_decrypt_file(file("theirs.p7m").c_str(), file("theirs.out").c_str()), QL_OK);
  EXPECT_EQ(read_whole(file("theirs.out")), plain);

  ASSERT_EQ(QL_set_cipher("DES-EDE3-CBC"), QL_OK);
  ASSERT_TRUE(write_whole(file("plain"), plain));
  auto list = list_of({{Who::kRsa, 0}});
  ASSERT_EQ(QL_encrypt_file(list.get(), file("plain").c_str(), file("ours.p7m").c_str()), QL_OK);
  const Bytes ours = read_whole(file("ours.p7m"));
  const unsigned char* p = ours.data();
  UniquePtr<PKCS7> decoded(d2i_PKCS7(nullptr, &p, static_cast<long>(ours.size())));
  ASSERT_TRUE(decoded);
  UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  ASSERT_EQ(PKCS7_decrypt(decoded.get(), rsa.key.get(), rsa.cert.get(), out.get(), PKCS7_BINARY), 1);
  char* got = nullptr;
  const long got_len = BIO_get_mem_data(out.get(), &got);
  EXPECT_EQ(Bytes(got, got + got_len), plain);
}

// A forged RSA encrypted key (bad padding, a well-padded key of another
// length, a well-formed wrong key) gives the same result, the same error
// queue and the same progress reports through the toolkit. The session holds
// a second key, tried first, whose certificate the message does not name:
// its errors do not stay queued.
TEST_F(CryptTest, ForgedRsaKeysAreIndistinguishable) {
  Party& rsa = party(Who::kRsa, 0);
  const std::size_t k = static_cast<std::size_t>(EVP_PKEY_get_size(rsa.key.get()));
  const Bytes plain = random_bytes(2 * 4096 + 5);
  ASSERT_TRUE(write_whole(file("plain"), plain));
  give_session(Who::kRsa, 1, true);
  give_session(Who::kRsa, 0, true);
  struct Outcome {
    int rc;
    std::vector<std::array<long, 3>> progress;
    std::vector<unsigned long> errors;
    Bytes output;
  };
  for (const auto& [cipher, keylen] : {std::pair<const char*, std::size_t>{"RUS-GAMMAR", 32}, {"DES-EDE3-CBC", 24}}) {
    SCOPED_TRACE(cipher);
    ASSERT_EQ(QL_set_cipher(cipher), QL_OK);
    auto list = list_of({{Who::kRsa, 0}});
    // Made from a fixed stream too: whether a wrong key happens to meet
    // valid content padding must not change from run to run.
    qcrypto::RAND_set_rand_method(qcrypto::RAND_fixed_method());
    qcrypto::RAND_fixed_set_bytes(random_bytes(4096));
    ASSERT_EQ(QL_encrypt_file(list.get(), file("plain").c_str(), file("msg.enc").c_str()), QL_OK);
    qcrypto::RAND_set_rand_method(&kSystemRand);
    const Bytes msg = read_whole(file("msg.enc"));
    std::vector<Outcome> outcomes;
    for (test_support::RsaForgery f : test_support::kAllRsaForgeries) {
      SCOPED_TRACE(test_support::forgery_name(f));
      Bytes bad = msg;
      ASSERT_TRUE(test_support::replace_encrypted_key(
          &bad,
          test_support::rsa_raw_encrypt(X509_get0_pubkey(rsa.cert.get()), test_support::forged_block(k, keylen, f))));
      ASSERT_TRUE(write_whole(file("forged.enc"), bad));
      std::filesystem::remove(file("out"));
      ProgressLog log;
      ASSERT_EQ(QL_set_progress_callback(log_progress, &log), QL_OK);
      // The random key that replaces a malformed one, reproducible.
      qcrypto::RAND_set_rand_method(qcrypto::RAND_fixed_method());
      qcrypto::RAND_fixed_set_bytes(random_bytes(256));
      Outcome o{QL_decrypt_file(file("forged.enc").c_str(), file("out").c_str()), log.calls, {}, {}};
      qcrypto::RAND_set_rand_method(&kSystemRand);
      ASSERT_EQ(QL_set_progress_callback(nullptr, nullptr), QL_OK);
      for (unsigned long e; (e = qcrypto::ERR_get_error()) != 0;) o.errors.push_back(e);
      if (std::filesystem::exists(file("out"))) o.output = read_whole(file("out"));
      EXPECT_NE(o.output, plain);
      // The content was read: the first report and one per block of it.
      EXPECT_GE(o.progress.size(), 1 + plain.size() / 4096 + 1);
      outcomes.push_back(std::move(o));
    }
    for (std::size_t i = 0; i + 1 < outcomes.size(); ++i) {
      SCOPED_TRACE(test_support::forgery_name(test_support::kAllRsaForgeries[i]));
      EXPECT_EQ(outcomes[i].rc, outcomes.back().rc);
      EXPECT_EQ(outcomes[i].progress, outcomes.back().progress);
      EXPECT_EQ(outcomes[i].errors, outcomes.back().errors);
      EXPECT_EQ(outcomes[i].output.size(), outcomes.back().output.size());
    }
    if (std::string(cipher) == "DES-EDE3-CBC") {
      // Refused at the content's padding, with that attempt's errors only.
      EXPECT_EQ(outcomes.back().rc, QL_ERR_CANNOT_OPEN);
      ASSERT_FALSE(outcomes.back().errors.empty());
      EXPECT_EQ(outcomes.back().errors.back(), qcrypto::ERR_PACK_CODE(qcrypto::ERRLIB_PKCS7, 112, 135));
      for (unsigned long e : outcomes.back().errors) {
        EXPECT_NE(qcrypto::ERR_GET_LIB_CODE(e), qcrypto::ERRLIB_RSA) << std::hex << e;
        EXPECT_NE(qcrypto::ERR_GET_REASON_CODE(e), 115) << std::hex << e;  // the other key's attempt
      }
    } else {
      EXPECT_EQ(outcomes.back().rc, QL_OK);
      EXPECT_EQ(outcomes.back().output.size(), plain.size());
      EXPECT_TRUE(outcomes.back().errors.empty());
    }
  }
}

}  // namespace
}  // namespace quillon2
