// The engine's toolkit session over the real toolkit and a test PKI: what
// each method hands back and keeps as last result, the open count, the
// per-operation progress and cancel (also on two threads at once), signing
// options that never carry over, the callbacks reaching the operation's
// interface, the key password the prompt remembers, erasing, and the
// directory look-ups' decode.
#include <gtest/gtest.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "crypto/err/err.h"
#include "crypto/pkey/key_envelope.h"
#include "crypto/rand/rand.h"
#include "dsutils/engine/crypto_session.h"
#include "quillon2/ql_keys.h"
#include "tests/dsutils/cert_double.h"
#include "tests/dsutils/engine_test_util.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"
#include "tests/support/ql_fixture.h"

QCRYPTO_DECLARE_OWNER(PKCS7, PKCS7_free)
QCRYPTO_DECLARE_OWNER(PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free)
QCRYPTO_DECLARE_OWNER(X509_SIG, X509_SIG_free)

namespace dsutils::testing {
namespace {

namespace ql = quillon2;
using Bytes = std::vector<unsigned char>;
using qcrypto::UniquePtr;
using test_support::GostKeyType;
using test_support::kSystemRand;

// The toolkit's allocator counted, so a test sees every text a method did
// not give back.
std::atomic<long> g_live_blocks{0};
void* counting_malloc(std::size_t n) {
  void* p = std::malloc(n);
  if (p != nullptr) ++g_live_blocks;
  return p;
}
void* counting_realloc(void* p, std::size_t n) {
  void* q = std::realloc(p, n);
  if (p == nullptr && q != nullptr) ++g_live_blocks;
  return q;
}
void counting_free(void* p) {
  if (p != nullptr) --g_live_blocks;
  std::free(p);
}

std::string as_string(const Bytes& b) { return std::string(b.begin(), b.end()); }

class CryptoSessionTest : public EngineTest {
 protected:
  static void SetUpTestSuite() {
    qcrypto::ERR_load_crypto_strings();
    ASSERT_EQ(ql::QL_set_mem_functions(counting_malloc, counting_realloc, counting_free), 1);
    ASSERT_EQ(ql::QL_init(nullptr, 0), ql::QL_OK);
    qcrypto::RAND_set_rand_method(&kSystemRand);
    ca_key_.reset(test_support::gost_new_key(GostKeyType::kEcr3410));
    ASSERT_TRUE(ca_key_);
    ca_.reset(test_support::gost_make_cert(ca_key_.get(), {"Test CA", 1, true, 30}, nullptr, ca_key_.get()));
    key_.reset(test_support::gost_new_key(GostKeyType::kEcr3410));
    ASSERT_TRUE(ca_ && key_);
    cert_.reset(test_support::gost_make_cert(key_.get(), {"Party", 0x2A, false, 30}, ca_.get(), ca_key_.get()));
    ASSERT_TRUE(cert_);
    ASSERT_EQ(ql::QL_cleanup(), ql::QL_OK);
  }
  static void TearDownTestSuite() {
    cert_.reset();
    key_.reset();
    ca_.reset();
    ca_key_.reset();
  }

  void SetUp() override {
    EngineTest::SetUp();
    session_ = std::make_unique<CryptoSession>();
    ASSERT_EQ(session_->Open(), ql::QL_OK);
    qcrypto::RAND_set_rand_method(&kSystemRand);
    const Bytes ca = test_support::to_der(ca_.get());
    ASSERT_EQ(session_->AddTrustedCertificate(ca.data(), static_cast<long>(ca.size())), ql::QL_OK);
    cert_der_ = test_support::to_der(cert_.get());
    ASSERT_EQ(session_->AddCertificate(cert_der_.data(), static_cast<long>(cert_der_.size())), ql::QL_OK);
    give_key();
    write_file("doc.txt", std::string(64 * 1024, 'd'));
  }
  void TearDown() override {
    ql::QL_set_progress_callback(nullptr, nullptr);
    while (ql::QL_is_initialized() != 0) ql::QL_cleanup();
    session_.reset();
    EngineTest::TearDown();
  }

  // The party's private key into the toolkit session.
  static void give_key() {
    ql::QL_SESSION* session = ql::QL_session_get();
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(EVP_PKEY_up_ref(key_.get()), 1);
    UniquePtr<qcrypto::EVP_PKEY_ENVELOPE> e(qcrypto::EVP_PKEY_ENVELOPE_new(key_.get(), nullptr));
    ASSERT_TRUE(e);
    e->decrypted = 1;
    EXPECT_EQ(ql::mputil_add_key(session, std::move(e)), ql::QL_OK);
    ql::QL_session_release(session);
  }

  QL_SIGN_SET* signer_set() {
    QL_SIGN_SET* set = session_->NewSignatureSet();
    EXPECT_NE(set, nullptr);
    EXPECT_EQ(
        session_->AddSignerCertificate(set, ql::QL_LOOKUP_BYTES, cert_der_.data(), static_cast<long>(cert_der_.size())),
        ql::QL_OK);
    return set;
  }
  QL_CERT_LIST* recipient_list() {
    QL_CERT_LIST* list = session_->NewRecipientList();
    EXPECT_NE(list, nullptr);
    EXPECT_EQ(session_->AddRecipientCertificate(list, ql::QL_LOOKUP_BYTES, cert_der_.data(),
                                                static_cast<long>(cert_der_.size())),
              ql::QL_OK);
    return list;
  }

  int sign(const QString& output, const SigningOptions& options, OperationProgress* progress = nullptr) {
    QL_SIGN_SET* set = signer_set();
    const int code = session_->SignFile(set, path("doc.txt"), output, 0, options, progress);
    session_->FreeSignatureSet(set);
    return code;
  }
  int encrypt(const QString& output, OperationProgress* progress = nullptr) {
    QL_CERT_LIST* list = recipient_list();
    const int code = session_->EncryptFile(list, path("doc.txt"), output, progress);
    session_->FreeRecipientList(list);
    return code;
  }

  // What a signed file carries: certificates, and signing time of signer 0.
  struct Carried {
    int certificates = -1;
    bool signingTime = false;
  };
  Carried carried(const QString& signedFile) {
    Carried c;
    const std::string bytes = read_file(signedFile);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    UniquePtr<PKCS7> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(bytes.size())));
    if (!p7 || PKCS7_type_is_signed(p7.get()) == 0) return c;
    c.certificates = p7->d.sign->cert ? sk_X509_num(p7->d.sign->cert) : 0;
    QL_MESSAGE* message = nullptr;
    if (session_->ReadMessageFileKind(signedFile, &message) == ql::QL_KIND_SIGNED)
      c.signingTime = !session_->GetSignerSigningTime(message, 0).isEmpty();
    session_->FreeMessage(message);
    return c;
  }

  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.toStdString()))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::unique_ptr<CryptoSession> session_;
  Bytes cert_der_;
  static UniquePtr<EVP_PKEY> ca_key_, key_;
  static UniquePtr<X509> ca_, cert_;
};
UniquePtr<EVP_PKEY> CryptoSessionTest::ca_key_;
UniquePtr<EVP_PKEY> CryptoSessionTest::key_;
UniquePtr<X509> CryptoSessionTest::ca_;
UniquePtr<X509> CryptoSessionTest::cert_;

// A Close this object never opened for does nothing: not below 0, and no
// stop of the toolkit that others (here the fixture's session) started.
TEST_F(CryptoSessionTest, OpenCountFollowsOpensAndAnUnmatchedCloseDoesNothing) {
  CryptoSession other;
  EXPECT_EQ(other.Open(), ql::QL_OK);
  EXPECT_EQ(other.OpenWithPath(QString()), ql::QL_OK);  // empty: no container
  EXPECT_EQ(other.Close(), 0);
  EXPECT_EQ(other.OpenCount(), 1);
  EXPECT_NE(ql::QL_is_initialized(), 0);
  EXPECT_EQ(other.Close(), 0);
  EXPECT_EQ(other.OpenCount(), 0);

  CryptoSession never;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(never.Close(), 0);
  EXPECT_EQ(never.OpenCount(), 0);
  EXPECT_NE(ql::QL_is_initialized(), 0);
  EXPECT_EQ(session_->OpenCount(), 1);
  CertificateInfo info;
  EXPECT_EQ(
      session_->GetCertificateInfo(
          QByteArray(reinterpret_cast<const char*>(cert_der_.data()), static_cast<qsizetype>(cert_der_.size())), info),
      ql::QL_OK);
  EXPECT_EQ(session_->SetCipher(QStringLiteral("RUS-GAMMAR")), ql::QL_OK);  // needs a started toolkit
}

// A file-system path is tested as the file system names it: "\" is a
// character of the name, and so is one the local code page lacks.
TEST_F(CryptoSessionTest, IsKeyMediumPresentTakesTheFileSystemPathAsGiven) {
  std::filesystem::create_directory(path("a").toStdString());
  std::filesystem::create_directory(path("c").toStdString());
  write_file("a\\b", "backslash in the name");
  write_file("c/d", "in a folder");
  write_file(QStringLiteral("x\u6587"), "name outside the code page");
  write_file("y?", "what the code page makes of it");
  struct Case {
    QString name;
    int present;
  };
  const Case cases[] = {
      {QStringLiteral("a\\b"), 1},     // "a/b" is not there
      {QStringLiteral("c\\d"), 0},     // only "c/d" is
      {QStringLiteral("c/d"), 1},      // the file in the folder
      {QStringLiteral("x\u6587"), 1},  // "x?" is not there
      {QStringLiteral("y\u6587"), 0},  // only "y?" is
      {QStringLiteral("c"), 1},        // a medium folder
      {QStringLiteral("missing"), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(session_->IsKeyMediumPresent(path(c.name)), c.present) << c.name.toStdString();
  EXPECT_EQ(session_->IsKeyMediumPresent(QString()), 0);
}

TEST(CryptoSessionStart, FailedStartLeavesTheCountAndTheToolkitAlone) {
  ASSERT_EQ(ql::QL_is_initialized(), 0);
  CryptoSession s;
  EXPECT_NE(s.OpenWithPath(QStringLiteral("/nonexistent-dossar/container")), ql::QL_OK);
  EXPECT_EQ(s.OpenCount(), 0);
  EXPECT_EQ(ql::QL_is_initialized(), 0);
  // The callbacks are registered again whatever the start gave.
  ql::QL_set_medium_message_callback([](int, int, int) { return 0; });
  s.OpenWithPath(QStringLiteral("/nonexistent-dossar/container"));
  EXPECT_EQ(ql::QL_medium_message_callback(), &CryptoSession::OnTouchMemoryMessage);
  EXPECT_EQ(ql::QL_token_password_callback(), &CryptoSession::OnTokenPassword);
}

// Every method that maps a toolkit result: what it returns and what it
// leaves as last result. Each row runs after two different last results,
// so a method that must not write it shows the one before, and one that
// must shows its own.
TEST_F(CryptoSessionTest, MethodsMapToolkitResultsAndOnlyFourKeepTheLastResult) {
  constexpr int kUnchanged = -1000;
  constexpr int kNonZero = -2000;
  const QString missing = path("missing.bin");
  write_file("plain.txt", "not a message");
  ASSERT_EQ(sign(path("signed.p7"), {}), ql::QL_OK);
  ASSERT_EQ(encrypt(path("enveloped.p7")), ql::QL_OK);
  const std::string signedBytes = read_file(path("signed.p7"));
  const auto* sb = reinterpret_cast<const unsigned char*>(signedBytes.data());
  write_file("key.p8", as_string(test_support::encrypted_pkcs8(key_.get(), "right")));
  std::filesystem::create_directory(path("medium").toStdString());

  int kind = -7;
  QL_MESSAGE* message = nullptr;
  QL_SIGN_SET* set = session_->NewSignatureSet();
  const long certLength = static_cast<long>(cert_der_.size());
  struct Row {
    const char* what;
    std::function<int()> call;
    int result;
    int last;  // kUnchanged: not written; kNonZero: some failure code
  };
  const Row rows[] = {
      {"file type, missing", [&] { return session_->GetFileType(missing); }, -1, ql::QL_ERR_INPUT},
      {"file type, signed", [&] { return session_->GetFileType(path("signed.p7")); }, ql::QL_KIND_SIGNED, 0},
      {"file type, enveloped", [&] { return session_->GetFileType(path("enveloped.p7")); }, ql::QL_KIND_ENVELOPED, 0},
      {"file type, plain", [&] { return session_->GetFileType(path("plain.txt")); }, ql::QL_KIND_OTHER, 0},
      {"message kind, missing", [&] { return session_->ReadMessageFileKind(missing, &message); }, -1, ql::QL_ERR_INPUT},
      {"query type, missing", [&] { return session_->QueryFileType(missing, &kind); }, ql::QL_ERR_INPUT, kUnchanged},
      {"query type, signed", [&] { return session_->QueryFileType(path("signed.p7"), &kind) * 10 + kind; },
       ql::QL_KIND_SIGNED, kUnchanged},
      {"read message, no message wanted",
       [&] { return session_->ReadMessageFile(path("enveloped.p7"), &kind, nullptr) * 10 + kind; },
       ql::QL_KIND_ENVELOPED, kUnchanged},
      {"buffer type",
       [&] { return session_->GetBufferType(sb, static_cast<long>(signedBytes.size()), &kind) * 10 + kind; },
       ql::QL_KIND_SIGNED, kUnchanged},
      {"buffer type, negative length", [&] { return session_->GetBufferType(sb, -1, &kind); }, ql::QL_ERR_ARGUMENT,
       kUnchanged},
      {"key file, missing", [&] { return session_->LoadKeyFile(missing, "pw"); }, ql::QL_ERR_KEY_FILE,
       ql::QL_ERR_KEY_FILE},
      {"key file, right password", [&] { return session_->LoadKeyFile(path("key.p8"), "right"); }, 0, 0},
      {"key file, wrong password", [&] { return session_->LoadKeyFile(path("key.p8"), "wrong"); }, ql::QL_ERR_KEY_FILE,
       ql::QL_ERR_KEY_FILE},
      {"key file, password too long",
       [&] { return session_->LoadKeyFile(path("key.p8"), std::string(kPasswordBytes, 'x')); }, ql::QL_ERR_ARGUMENT,
       ql::QL_ERR_ARGUMENT},
      {"key from medium, no key there",
       [&] { return session_->LoadKeyFromMedium(path("medium"), QStringLiteral("none.key")) != 0 ? 1 : 0; }, 1,
       kNonZero},
      {"cipher, unknown", [&] { return session_->SetCipher(QStringLiteral("AES-128-CBC")); }, ql::QL_ERR_CIPHER,
       kUnchanged},
      {"cipher, gamma", [&] { return session_->SetCipher(QStringLiteral("RUS-GAMMAR")); }, 0, kUnchanged},
      {"signer by bytes, negative length",
       [&] { return session_->AddSignerCertificate(set, ql::QL_LOOKUP_BYTES, cert_der_.data(), -1); },
       ql::QL_ERR_ARGUMENT, kUnchanged},
      {"signer by bytes",
       [&] { return session_->AddSignerCertificate(set, ql::QL_LOOKUP_BYTES, cert_der_.data(), certLength); }, 0,
       kUnchanged},
      {"signer by subject, none such",
       [&] { return session_->AddSignerCertificate(set, ql::QL_LOOKUP_SUBJECT, "/CN=Nobody", 0); },
       ql::QL_ERR_SIGNER_CERT, kUnchanged},
      {"medium present", [&] { return session_->IsKeyMediumPresent(path("medium")); }, 1, kUnchanged},
      {"medium absent", [&] { return session_->IsKeyMediumPresent(missing); }, 0, kUnchanged},
      {"recipients of no message", [&] { return session_->GetRecipientCount(nullptr); }, 0, kUnchanged},
      {"clear keys", [&] { return session_->ClearKeys(); }, 0, kUnchanged},
  };
  const int sentinels[] = {ql::QL_ERR_INPUT, ql::QL_ERR_KEY_FILE};
  for (const Row& row : rows) {
    for (const int sentinel : sentinels) {
      // Sets the last result to the sentinel through the methods that keep it.
      if (sentinel == ql::QL_ERR_INPUT)
        ASSERT_EQ(session_->GetFileType(missing), -1);
      else
        ASSERT_EQ(session_->LoadKeyFile(missing, "x"), ql::QL_ERR_KEY_FILE);
      ASSERT_EQ(session_->LastResult(), sentinel);
      kind = -7;
      const int result = row.call();
      EXPECT_EQ(result, row.result) << row.what;
      if (row.last == kNonZero)
        EXPECT_NE(session_->LastResult(), 0) << row.what;
      else if (row.last == kUnchanged)
        EXPECT_EQ(session_->LastResult(), sentinel) << row.what;
      else
        EXPECT_EQ(session_->LastResult(), row.last) << row.what;
      EXPECT_EQ(session_->LastResultShared(), session_->LastResult()) << row.what;
    }
  }
  EXPECT_EQ(message, nullptr);
  session_->FreeSignatureSet(set);
}

// The last result is the calling thread's: another thread's failure never
// shows as this thread's code.
TEST_F(CryptoSessionTest, LastResultIsKeptPerThread) {
  write_file("plain.txt", "x");
  ASSERT_EQ(session_->GetFileType(path("plain.txt")), 0);
  int other = 0;
  std::thread t([&] {
    EXPECT_EQ(session_->GetFileType(path("missing")), -1);
    other = session_->LastResult();
  });
  t.join();
  EXPECT_EQ(other, ql::QL_ERR_INPUT);
  EXPECT_EQ(session_->LastResult(), 0);
  EXPECT_EQ(session_->LastResultShared(), ql::QL_ERR_INPUT);
}

// Texts come back whole and the toolkit's copies are freed; a missing text
// is an empty string.
TEST_F(CryptoSessionTest, TextResultsAreCopiedAndFreed) {
  ASSERT_EQ(sign(path("signed.p7"), {1, 1}), ql::QL_OK);
  ASSERT_EQ(encrypt(path("enveloped.p7")), ql::QL_OK);
  QL_MESSAGE* signedMessage = nullptr;
  QL_MESSAGE* enveloped = nullptr;
  ASSERT_EQ(session_->ReadMessageFileKind(path("signed.p7"), &signedMessage), ql::QL_KIND_SIGNED);
  ASSERT_EQ(session_->ReadMessageFileKind(path("enveloped.p7"), &enveloped), ql::QL_KIND_ENVELOPED);
  ASSERT_NE(signedMessage, nullptr);
  ASSERT_NE(enveloped, nullptr);
  const std::string bytes = read_file(path("signed.p7"));
  QL_SIGN_SET* verified = session_->NewSignatureSet();
  ASSERT_EQ(session_->VerifySignedData(verified, reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<long>(bytes.size()), nullptr, nullptr, 0, nullptr),
            ql::QL_OK);
  EXPECT_EQ(session_->GetSignerCount(signedMessage), 1);
  EXPECT_EQ(session_->GetRecipientCount(enveloped), 1);
  EXPECT_EQ(session_->GetSignerStatus(verified, 0), 0);

  struct Row {
    const char* what;
    std::function<QString()> call;
    bool anyText;  // any non-empty text rather than `expected`
    QString expected;
  };
  const Row rows[] = {
      {"signer serial", [&] { return session_->GetSignerSerial(signedMessage, 0); }, false, QStringLiteral("2A")},
      {"recipient serial", [&] { return session_->GetRecipientSerial(enveloped, 0); }, false, QStringLiteral("2A")},
      {"signer issuer", [&] { return session_->GetSignerIssuer(signedMessage, 0, nullptr); }, false,
       QStringLiteral("/C=RU/CN=Test CA")},
      {"recipient issuer", [&] { return session_->GetRecipientIssuer(enveloped, 0, nullptr); }, false,
       QStringLiteral("/C=RU/CN=Test CA")},
      {"signing time", [&] { return session_->GetSignerSigningTime(signedMessage, 0); }, true, QString()},
      {"signer name", [&] { return session_->GetSignerName(verified, 0); }, false, QStringLiteral("/C=RU/CN=Party")},
      {"signer serial, bad index", [&] { return session_->GetSignerSerial(signedMessage, 5); }, false, QString()},
      {"recipient issuer, no message", [&] { return session_->GetRecipientIssuer(nullptr, 0, nullptr); }, false,
       QString()},
      {"signer name, bad index", [&] { return session_->GetSignerName(verified, 3); }, false, QString()},
      {"key file name outside a load", [&] { return session_->GetKeyFileName(); }, false, QString()},
  };
  for (const Row& row : rows) {
    const long before = g_live_blocks.load();
    const QString text = row.call();
    EXPECT_EQ(g_live_blocks.load(), before) << row.what;
    if (row.anyText)
      EXPECT_FALSE(text.isEmpty()) << row.what;
    else
      EXPECT_EQ(text, row.expected) << row.what;
  }
  session_->FreeSignatureSet(verified);
  session_->FreeMessage(signedMessage);
  session_->FreeMessage(enveloped);
}

// Buffers the toolkit hands out come back whole and go back through
// FreeBuffer and FreeCertificateInfo, leaving nothing allocated.
TEST_F(CryptoSessionTest, BuffersAndRecordsGoBackToTheToolkit) {
  ASSERT_EQ(sign(path("signed.p7"), {0, 0}), ql::QL_OK);
  const std::string bytes = read_file(path("signed.p7"));
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const long length = static_cast<long>(bytes.size());
  const std::string document = read_file(path("doc.txt"));
  const long before = g_live_blocks.load();

  int kind = -1;
  QL_MESSAGE* message = nullptr;
  EXPECT_EQ(session_->ReadMessageBuffer(data, length, &kind, &message), ql::QL_OK);
  EXPECT_EQ(kind, ql::QL_KIND_SIGNED);
  EXPECT_EQ(session_->GetSignerCount(message), 1);
  session_->FreeMessage(message);

  unsigned char* content = nullptr;
  long contentLength = 0;
  ASSERT_EQ(session_->GetSignedContent(data, length, &content, &contentLength), ql::QL_OK);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(content), static_cast<std::size_t>(contentLength)), document);
  session_->FreeBuffer(content);

  QL_SIGN_SET* set = session_->NewSignatureSet();
  content = nullptr;
  contentLength = 0;
  ASSERT_EQ(session_->VerifySignedDataEx(set, data, length, &content, &contentLength, 1, nullptr, 0, nullptr),
            ql::QL_OK);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(content), static_cast<std::size_t>(contentLength)), document);
  session_->FreeBuffer(content);
  unsigned char* pem = nullptr;
  long pemLength = 0;
  ASSERT_EQ(session_->GetSignerCertificateData(set, 0, &pem, &pemLength), ql::QL_OK);
  EXPECT_TRUE(std::string(reinterpret_cast<const char*>(pem), static_cast<std::size_t>(pemLength))
                  .starts_with("-----BEGIN CERTIFICATE-----"));
  session_->FreeBuffer(pem);
  EXPECT_EQ(session_->IsSignerCertificateEmbedded(set, 0), 0);  // the session's list holds it
  session_->FreeSignatureSet(set);

  QL_CERT_INFO info{};
  ASSERT_EQ(session_->GetCertificateInfo(cert_der_.data(), static_cast<long>(cert_der_.size()), &info), ql::QL_OK);
  EXPECT_STREQ(info.serial, "2A");
  EXPECT_STREQ(info.subject.CN, "Party");
  session_->FreeCertificateInfo(&info);
  EXPECT_EQ(info.serial, nullptr);
  EXPECT_EQ(g_live_blocks.load(), before);

  std::filesystem::create_directory(path("crls").toStdString());
  EXPECT_EQ(session_->LoadCrlFolder(path("crls")), ql::QL_load_crls(path("crls").toUtf8().constData()));
  EXPECT_EQ(session_->IsTokenPresent(QStringLiteral("Vexil\\token")), 0);
}

// IsOldEnc 0 switches the toolkit to recipient format 1 for the rest of the
// session; 1 (also the value when none is stored) leaves the format alone.
TEST_F(CryptoSessionTest, EncryptSwitchesTheRecipientFormatOnlyForIsOldEncZero) {
  struct Row {
    const char* what;
    int stored;  // -1: no value stored
    int formatAfter;
  };
  // The fresh registry has no Property\Log key before the first row.
  const Row rows[] = {
      {"no value", -1, 2},
      {"IsOldEnc 0", 0, 1},
      {"IsOldEnc 1", 1, 2},
  };
  for (const Row& row : rows) {
    if (row.stored >= 0) {
      platform::reg::RegistryKey key;
      open_key(key, "\\Property\\Log");
      ASSERT_TRUE(key.SetDword("IsOldEnc", static_cast<std::uint32_t>(row.stored)));
    }
    ASSERT_EQ(session_->SetRecipientFormat(2), ql::QL_OK);
    const QString out = path("out.enc");
    ASSERT_EQ(encrypt(out), ql::QL_OK) << row.what;
    EXPECT_EQ(ql::QL_settings_get()->recipient_format.load(), row.formatAfter) << row.what;
    // Whatever the form, the party's key opens it.
    const QString back = path("back.txt");
    ASSERT_EQ(session_->DecryptFile(out, back, nullptr), ql::QL_OK) << row.what;
    EXPECT_EQ(read_file(back), read_file(path("doc.txt"))) << row.what;
    std::filesystem::remove(out.toStdString());
    std::filesystem::remove(back.toStdString());
  }
}

// A cancel set on the operation's progress while the toolkit works ends
// the call with 184 and leaves no output; the progress is removed from the
// thread's slot afterwards.
TEST_F(CryptoSessionTest, CancelOnTheProgressEndsEachLongOperationWithNothingWritten) {
  ASSERT_EQ(sign(path("signed.p7"), {}), ql::QL_OK);
  ASSERT_EQ(encrypt(path("enveloped.p7")), ql::QL_OK);
  const std::string signedBytes = read_file(path("signed.p7"));
  const auto* sb = reinterpret_cast<const unsigned char*>(signedBytes.data());
  struct Row {
    const char* what;
    std::function<int(OperationProgress*)> call;
  };
  const Row rows[] = {
      {"sign", [&](OperationProgress* p) { return sign(path("c-sign"), {}, p); }},
      {"encrypt", [&](OperationProgress* p) { return encrypt(path("c-enc"), p); }},
      {"decrypt", [&](OperationProgress* p) { return session_->DecryptFile(path("enveloped.p7"), path("c-dec"), p); }},
      {"verify",
       [&](OperationProgress* p) {
         QL_SIGN_SET* set = session_->NewSignatureSet();
         const int code =
             session_->VerifySignedData(set, sb, static_cast<long>(signedBytes.size()), nullptr, nullptr, 0, p);
         session_->FreeSignatureSet(set);
         return code;
       }},
      {"verify, detached form",
       [&](OperationProgress* p) {
         QL_SIGN_SET* set = session_->NewSignatureSet();
         const int code = session_->VerifySignedDataEx(set, sb, static_cast<long>(signedBytes.size()), nullptr, nullptr,
                                                       0, nullptr, 0, p);
         session_->FreeSignatureSet(set);
         return code;
       }},
  };
  for (const Row& row : rows) {
    ScriptedUi ui;
    ui.cancelAtStep(2);
    OperationProgress progress(ui, QStringLiteral("test"));
    const std::vector<std::string> before = entries();
    EXPECT_EQ(row.call(&progress), ql::QL_ERR_CANCELLED) << row.what;
    EXPECT_TRUE(progress.cancelled()) << row.what;
    EXPECT_EQ(ui.progressSteps(), 2) << row.what;
    EXPECT_EQ(entries(), before) << row.what;
    // Nothing of the operation stays in the slot: a later report of this
    // thread reaches no progress.
    ql::ProgressReport later(ql::QL_STAGE_SIGN, 10);
    EXPECT_EQ(later.begin(), ql::QL_OK) << row.what;
    EXPECT_EQ(ui.progressSteps(), 2) << row.what;
  }
  // Without a progress the operations run to the end.
  EXPECT_EQ(sign(path("n-sign"), {}, nullptr), ql::QL_OK);
  EXPECT_EQ(encrypt(path("n-enc"), nullptr), ql::QL_OK);
}

// Two operations sign at once, each with its own progress; the one whose
// progress is cancelled stops, the other completes, and each progress sees
// only its own operation's steps.
TEST_F(CryptoSessionTest, TwoThreadsSigningSeeOnlyTheirOwnProgress) {
  // Both wait at their first step until the other has reached its own, so
  // the two signings really overlap.
  struct Meeting {
    std::mutex m;
    std::condition_variable cv;
    int arrived = 0;
    bool missed = false;
  } meeting;
  class MeetingUi : public ScriptedUi {
   public:
    explicit MeetingUi(Meeting& meeting) : meeting_(meeting) {}
    void progressStep(OperationProgress& progress, int stage, std::uint64_t done, std::uint64_t total) override {
      if (!met_) {
        met_ = true;
        std::unique_lock<std::mutex> l(meeting_.m);
        ++meeting_.arrived;
        meeting_.cv.notify_all();
        // Bounded only so that a broken build fails instead of hanging.
        if (!meeting_.cv.wait_for(l, std::chrono::seconds(120), [&] { return meeting_.arrived >= 2; }))
          meeting_.missed = true;
      }
      ScriptedUi::progressStep(progress, stage, done, total);
    }

   private:
    Meeting& meeting_;
    bool met_ = false;
  };
  MeetingUi cancelledUi(meeting), completedUi(meeting);
  cancelledUi.cancelAtStep(2);
  OperationProgress cancelled(cancelledUi, QStringLiteral("a")), completed(completedUi, QStringLiteral("b"));
  const std::vector<std::string> before = entries();
  int codes[2] = {-1, -1};
  std::thread a([&] { codes[0] = sign(path("a.p7"), {1, 1}, &cancelled); });
  std::thread b([&] { codes[1] = sign(path("b.p7"), {1, 1}, &completed); });
  a.join();
  b.join();
  EXPECT_FALSE(meeting.missed);
  EXPECT_EQ(codes[0], ql::QL_ERR_CANCELLED);
  EXPECT_EQ(codes[1], ql::QL_OK);
  std::vector<std::string> expected = before;
  expected.push_back("b.p7");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(entries(), expected);
  EXPECT_EQ(session_->GetFileType(path("b.p7")), ql::QL_KIND_SIGNED);
  EXPECT_EQ(cancelledUi.progressSteps(), 2);
  // 64 KiB in 4096-byte blocks after the first report.
  EXPECT_EQ(completedUi.progressSteps(), 17);
  EXPECT_FALSE(completed.cancelled());
}

// Each signing sets both options itself: nothing of an earlier signing, of
// the toolkit's words or of another session object reaches a signature.
TEST_F(CryptoSessionTest, SigningOptionsNeverCarryOver) {
  struct Row {
    const char* what;
    std::function<int(const QString&)> sign;
    int certificates;
    bool signingTime;
  };
  CryptoSession other;
  const auto with_fields = [&](CryptoSession& s, const QString& out) {
    QL_SIGN_SET* set = signer_set();
    const int code = s.SignFile(set, path("doc.txt"), out, 0, nullptr);
    session_->FreeSignatureSet(set);
    return code;
  };
  const Row rows[] = {
      {"both on",
       [&](const QString& out) {
         return sign(out, {1, 1});
       },
       1, true},
      {"both off after both on",
       [&](const QString& out) {
         return sign(out, {0, 0});
       },
       0, false},
      {"certificates only",
       [&](const QString& out) {
         return sign(out, {1, 0});
       },
       1, false},
      {"time only",
       [&](const QString& out) {
         return sign(out, {0, 1});
       },
       0, true},
      {"toolkit words set directly, session fields off",
       [&](const QString& out) {
         ql::QL_set_include_certs(1);
         ql::QL_set_signing_time(1);
         return with_fields(*session_, out);
       },
       0, false},
      {"fields set on this session",
       [&](const QString& out) {
         EXPECT_EQ(session_->SetIncludeCertificate(1), ql::QL_OK);
         EXPECT_EQ(session_->SetIncludeSigningTime(1), ql::QL_OK);
         return with_fields(*session_, out);
       },
       1, true},
      {"another session's fields stay its own", [&](const QString& out) { return with_fields(other, out); }, 0, false},
      {"fields cleared again",
       [&](const QString& out) {
         session_->SetIncludeCertificate(0);
         session_->SetIncludeSigningTime(0);
         return with_fields(*session_, out);
       },
       0, false},
  };
  int n = 0;
  for (const Row& row : rows) {
    const QString out = path(QStringLiteral("s%1.p7").arg(n++));
    ASSERT_EQ(row.sign(out), ql::QL_OK) << row.what;
    const Carried c = carried(out);
    EXPECT_EQ(c.certificates, row.certificates) << row.what;
    EXPECT_EQ(c.signingTime, row.signingTime) << row.what;
  }
}

// A signing with other options started while one runs waits for it: the
// running one keeps its options in the toolkit for every step, also when a
// setter is called meanwhile, and each signature carries its own choice.
TEST_F(CryptoSessionTest, SigningsWithOtherOptionsNeverOverlap) {
  class WatchingUi : public ScriptedUi {
   public:
    std::function<void()> onFirstStep;
    std::vector<std::pair<int, int>> words;  // the toolkit's words at each step
    std::atomic<int>* otherSteps = nullptr;
    std::vector<int> otherStepsSeen;
    void progressStep(OperationProgress& progress, int stage, std::uint64_t done, std::uint64_t total) override {
      if (onFirstStep) std::exchange(onFirstStep, nullptr)();
      std::this_thread::yield();
      const ql::QL_SETTINGS* settings = ql::QL_settings_get();
      words.emplace_back(settings->include_certs.load(), settings->signing_time.load());
      if (otherSteps != nullptr) otherStepsSeen.push_back(otherSteps->load());
      ScriptedUi::progressStep(progress, stage, done, total);
    }
  };
  class CountingUi : public ScriptedUi {
   public:
    std::atomic<int> steps{0};
    void progressStep(OperationProgress& progress, int stage, std::uint64_t done, std::uint64_t total) override {
      ++steps;
      ScriptedUi::progressStep(progress, stage, done, total);
    }
  };
  WatchingUi firstUi;
  CountingUi secondUi;
  OperationProgress first(firstUi, QStringLiteral("first")), second(secondUi, QStringLiteral("second"));
  CryptoSession setterSession;
  int secondCode = -1;
  std::thread later;
  firstUi.otherSteps = &secondUi.steps;
  firstUi.onFirstStep = [&] {
    later = std::thread([&] { secondCode = sign(path("second.p7"), {0, 0}, &second); });
    EXPECT_EQ(setterSession.SetIncludeCertificate(0), ql::QL_OK);
    EXPECT_EQ(setterSession.SetIncludeSigningTime(0), ql::QL_OK);
  };
  EXPECT_EQ(sign(path("first.p7"), {1, 1}, &first), ql::QL_OK);
  later.join();
  EXPECT_EQ(secondCode, ql::QL_OK);
  ASSERT_EQ(firstUi.words.size(), 17u);
  for (const auto& [certs, time] : firstUi.words) {
    EXPECT_EQ(certs, 1);
    EXPECT_EQ(time, 1);
  }
  for (const int seen : firstUi.otherStepsSeen) EXPECT_EQ(seen, 0);
  EXPECT_EQ(secondUi.steps.load(), 17);
  const Carried a = carried(path("first.p7"));
  const Carried b = carried(path("second.p7"));
  EXPECT_EQ(a.certificates, 1);
  EXPECT_TRUE(a.signingTime);
  EXPECT_EQ(b.certificates, 0);
  EXPECT_FALSE(b.signingTime);
}

// An empty password makes the toolkit ask; the prompt goes to the calling
// thread's interface, and a failed load forgets the remembered key name
// and password.
TEST_F(CryptoSessionTest, KeyPasswordPromptIsRememberedAndWipedOnFailure) {
  write_file("key.p8", as_string(test_support::encrypted_pkcs8(key_.get(), "right")));
  const QString keyFile = path("key.p8");
  const auto remembered = [&keyFile] {
    PasswordBuffer out;
    const int n = CryptoSession::RememberedPasswordFor(keyFile, out);
    return std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(n));
  };

  ScriptedUi operationUi;
  const OperationUiScope scope(&operationUi);
  operationUi.queuePassword("right");
  EXPECT_EQ(session_->LoadKeyFile(keyFile, ""), ql::QL_OK);
  EXPECT_EQ(operationUi.calls(), std::vector<std::string>{"password"});
  EXPECT_EQ(ui_.calls().size(), 0u);  // the process-wide interface was not asked
  EXPECT_EQ(remembered(), "right");
  {
    // Another key file is never handed the password.
    PasswordBuffer other;
    EXPECT_EQ(CryptoSession::RememberedPasswordFor(path("other.p8"), other), 0);
    EXPECT_EQ(std::memcmp(other.data(), PasswordBuffer().data(), other.size()), 0);
    EXPECT_EQ(CryptoSession::RememberedPasswordFor(QString(), other), 0);
  }

  // A given password asks nobody and keeps what was remembered.
  EXPECT_EQ(session_->LoadKeyFile(keyFile, "right"), ql::QL_OK);
  EXPECT_EQ(operationUi.calls().size(), 1u);
  EXPECT_EQ(remembered(), "right");

  struct Row {
    const char* what;
    std::optional<std::string> answer;  // nothing: the prompt is cancelled
    std::string password;
    QString file;
    int prompts;
  };
  const Row rows[] = {
      {"wrong answer", std::string("wrong"), "", keyFile, 1},
      {"cancelled prompt", std::nullopt, "", keyFile, 1},
      {"missing file", std::nullopt, "x", path("missing"), 0},
      {"answer longer than the toolkit's buffer", std::string(kPasswordBytes - 1, 'p'), "", keyFile, 1},
  };
  for (const Row& row : rows) {
    operationUi.queuePassword("right");
    ASSERT_EQ(session_->LoadKeyFile(keyFile, ""), ql::QL_OK) << row.what;
    ASSERT_EQ(remembered(), "right") << row.what;
    const std::size_t before = operationUi.calls().size();
    if (row.prompts > 0) operationUi.queuePassword(row.answer);
    EXPECT_NE(session_->LoadKeyFile(row.file, row.password), ql::QL_OK) << row.what;
    EXPECT_EQ(operationUi.calls().size() - before, static_cast<std::size_t>(row.prompts)) << row.what;
    EXPECT_EQ(remembered(), "") << row.what;
    PasswordBuffer raw;
    CryptoSession::RememberedPasswordFor(keyFile, raw);
    EXPECT_EQ(std::memcmp(raw.data(), PasswordBuffer().data(), raw.size()), 0) << row.what;
  }
}

// The remembered password under a clock moved by hand, through the real
// toolkit's key load: the prompt's own reuse in the object's mail mode, the
// operations' RememberedPasswordFor in every mode, another key, Password 0,
// the wiper, and a failed load with a wrong remembered password.
TEST_F(CryptoSessionTest, RememberedPasswordReuseTable) {
  write_file("key.p8", as_string(test_support::encrypted_pkcs8(key_.get(), "right")));
  write_file("other.p8", as_string(test_support::encrypted_pkcs8(key_.get(), "second")));
  const QString keyFile = path("key.p8");
  const QString otherFile = path("other.p8");
  const auto set_mail = [this](std::uint32_t password, std::uint32_t min) {
    platform::reg::RegistryKey key;
    open_key(key, "\\Property\\Email");
    ASSERT_TRUE(key.SetDword("Password", password));
    ASSERT_TRUE(key.SetDword("Min", min));
  };
  const auto remembered = [](const QString& file) {
    PasswordBuffer out;
    const int n = CryptoSession::RememberedPasswordFor(file, out);
    return std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(n));
  };

  enum class Use { MailPrompt, FileRun, OtherKeyPrompt, OtherKeyLookup };
  struct Row {
    const char* what;
    bool mailMode;
    std::uint32_t passwordSetting;
    std::int64_t after;  // seconds since the password was typed
    Use use;
    bool asks;       // the prompt shows (a password is queued for it)
    bool reused;     // the remembered password served
    bool keptAfter;  // still remembered for key.p8 afterwards
  } rows[] = {
      {"mail prompt at 59 minutes", true, 1, 59 * 60 + 30, Use::MailPrompt, false, true, true},
      {"mail prompt at 60 minutes", true, 1, 60 * 60 + 59, Use::MailPrompt, false, true, true},
      {"mail prompt at 61 minutes", true, 1, 61 * 60, Use::MailPrompt, true, false, true},
      {"file run at 59 minutes", false, 0, 59 * 60 + 30, Use::FileRun, false, true, true},
      {"file run at 60 minutes", false, 0, 60 * 60 + 59, Use::FileRun, false, true, true},
      {"file run at 61 minutes", false, 0, 61 * 60, Use::FileRun, false, false, false},
      {"file run at 61 minutes in mail mode", true, 1, 61 * 60, Use::FileRun, false, false, false},
      {"prompt outside mail mode", false, 1, 60, Use::MailPrompt, true, false, true},
      {"mail prompt with Password 0", true, 0, 60, Use::MailPrompt, true, false, true},
      {"mail prompt for another key", true, 1, 60, Use::OtherKeyPrompt, true, false, false},
      {"another key looked up", false, 0, 60, Use::OtherKeyLookup, false, false, true},
  };
  // Notes whether the remembered password was still there when the dialog came.
  class InspectingUi : public ScriptedUi {
   public:
    std::vector<bool> keptAtPrompt;
    int askPassword(const PasswordRequest& request, PasswordBuffer& out) override {
      keptAtPrompt.push_back(!passwordMemory().empty());
      return ScriptedUi::askPassword(request, out);
    }
  };
  for (const Row& row : rows) {
    InspectingUi ui;
    auto clock = std::make_shared<ManualPasswordClock>();
    ui.passwordMemory().setClock(clock);
    const OperationUiScope scope(&ui);
    set_mail(row.passwordSetting, 60);
    ui.queuePassword("right");
    ASSERT_EQ(session_->LoadKeyFile(keyFile, ""), ql::QL_OK) << row.what;
    ASSERT_EQ(remembered(keyFile), "right") << row.what;
    ui.setMailMode(row.mailMode);
    clock->advance(row.after);
    const std::size_t before = ui.calls().size();
    switch (row.use) {
      case Use::MailPrompt:
        if (row.asks) ui.queuePassword("right");
        EXPECT_EQ(session_->LoadKeyFile(keyFile, ""), ql::QL_OK) << row.what;
        break;
      case Use::FileRun: {
        const std::string got = remembered(keyFile);
        EXPECT_EQ(got, row.reused ? "right" : "") << row.what;
        if (!got.empty()) {
          EXPECT_EQ(session_->LoadKeyFile(keyFile, got), ql::QL_OK) << row.what;
        }
        break;
      }
      case Use::OtherKeyPrompt:
        // It asks, with the remembered password left in place; the answer
        // is then remembered for that key.
        ui.queuePassword("second");
        EXPECT_EQ(session_->LoadKeyFile(otherFile, ""), ql::QL_OK) << row.what;
        EXPECT_EQ(ui.keptAtPrompt.back(), true) << row.what;
        EXPECT_EQ(remembered(otherFile), "second") << row.what;
        break;
      case Use::OtherKeyLookup:
        EXPECT_EQ(remembered(otherFile), "") << row.what;
        break;
    }
    EXPECT_EQ(ui.calls().size() - before, row.asks ? 1u : 0u) << row.what;
    EXPECT_EQ(ui.unscripted(), 0) << row.what;
    // A password typed again is remembered with a new entry time.
    EXPECT_EQ(remembered(keyFile), row.keptAfter ? "right" : "") << row.what;
  }
}

// The prompt's reuse keeps the first entry time: reused at 59 minutes, the
// password is gone at 61; and the wiper wipes it at (Min + 1) minutes
// without anyone asking.
TEST_F(CryptoSessionTest, RememberedPasswordIsNotRenewedAndTheWiperEndsIt) {
  write_file("key.p8", as_string(test_support::encrypted_pkcs8(key_.get(), "right")));
  const QString keyFile = path("key.p8");
  {
    platform::reg::RegistryKey key;
    open_key(key, "\\Property\\Email");
    ASSERT_TRUE(key.SetDword("Password", 1));
    ASSERT_TRUE(key.SetDword("Min", 2));
  }
  ScriptedUi ui;
  auto clock = std::make_shared<ManualPasswordClock>();
  ui.passwordMemory().setClock(clock);
  ui.setMailMode(true);
  const OperationUiScope scope(&ui);
  ui.queuePassword("right");
  ASSERT_EQ(session_->LoadKeyFile(keyFile, ""), ql::QL_OK);
  clock->advance(2 * 60 + 59);
  ASSERT_EQ(session_->LoadKeyFile(keyFile, ""), ql::QL_OK);  // reused, not renewed
  EXPECT_EQ(ui.calls().size(), 1u);
  EXPECT_FALSE(ui.passwordMemory().empty());
  clock->advance(1);  // three minutes after the typing: the wiper's deadline
  bool wiped = false;
  for (int i = 0; i < 2000 && !(wiped = ui.passwordMemory().empty()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(wiped);
  EXPECT_EQ(ui.passwordMemory().wiperWipes(), 1);
}

// A wrong remembered password fails the load, which wipes it, so the next
// prompt asks.
TEST_F(CryptoSessionTest, AFailedLoadWithTheRememberedPasswordWipesIt) {
  write_file("key.p8", as_string(test_support::encrypted_pkcs8(key_.get(), "right")));
  const QString keyFile = path("key.p8");
  ScriptedUi ui;
  const OperationUiScope scope(&ui);
  const QByteArray name = keyFile.toUtf8();  // ASCII: the toolkit's bytes
  ui.passwordMemory().remember(std::string_view(name.constData(), static_cast<std::size_t>(name.size())),
                               reinterpret_cast<const unsigned char*>("wrong"), 5, 60);
  PasswordBuffer out;
  const int n = CryptoSession::RememberedPasswordFor(keyFile, out);
  ASSERT_EQ(n, 5);
  EXPECT_NE(session_->LoadKeyFile(keyFile, std::string_view(reinterpret_cast<const char*>(out.data()), 5)), ql::QL_OK);
  EXPECT_TRUE(ui.passwordMemory().empty());
  EXPECT_EQ(CryptoSession::RememberedPasswordFor(keyFile, out), 0);
  ui.queuePassword("right");
  EXPECT_EQ(session_->LoadKeyFile(keyFile, ""), ql::QL_OK);
  EXPECT_EQ(ui.calls().size(), 1u);
}

// The callbacks reach the thread's interface, else the process-wide one,
// and answer cancel with none; an answer that does not fit is refused.
TEST_F(CryptoSessionTest, CallbacksForwardToTheOperationsInterface) {
  char buffer[8] = {};
  ui_.queueTouchMemory(1);
  EXPECT_EQ(CryptoSession::OnTouchMemoryMessage(0, 0, -5), 1);
  ui_.queueTouchMemory(4);  // anything but Retry gives up
  EXPECT_EQ(CryptoSession::OnTouchMemoryMessage(0, 0, -5), 0);
  ui_.queueRandomSensor('k');
  EXPECT_EQ(CryptoSession::OnRandomSensor('k', 3, 16, nullptr), 'k');
  {
    ScriptedUi operationUi;
    const OperationUiScope scope(&operationUi);
    operationUi.queuePassword("1234");
    EXPECT_EQ(CryptoSession::OnTokenPassword(buffer, sizeof buffer, 0, nullptr), 4);
    EXPECT_STREQ(buffer, "1234");
    operationUi.queuePassword("12345678");  // no room for the terminator
    std::memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(CryptoSession::OnTokenPassword(buffer, sizeof buffer, 0, nullptr), 0);
    EXPECT_EQ(buffer[0], 'z');
    operationUi.queuePassword(std::nullopt);
    EXPECT_EQ(CryptoSession::OnKeyPassword(buffer, sizeof buffer, 0, nullptr), -1);
    operationUi.queueTouchMemory(1);
    EXPECT_EQ(CryptoSession::OnTouchMemoryMessage(0, 0, -5), 1);
    EXPECT_EQ(operationUi.calls(), (std::vector<std::string>{"password", "password", "password", "touchMemory"}));
  }
  EXPECT_EQ(ui_.calls(), (std::vector<std::string>{"touchMemory", "touchMemory", "randomSensor"}));
  EngineHelper::setUi(nullptr);
  EXPECT_EQ(CryptoSession::OnRandomSensor('k', 1, 16, nullptr), -1);
  EXPECT_EQ(CryptoSession::OnKeyPassword(buffer, sizeof buffer, 0, nullptr), -1);
  EXPECT_EQ(CryptoSession::OnTouchMemoryMessage(0, 0, -5), 0);
  EXPECT_EQ(CryptoSession::OnTokenPassword(buffer, sizeof buffer, 0, nullptr), 0);
}

// Erasing goes through the toolkit for a path it reads as itself, and
// through the engine's own eraser for one it would read as another file.
TEST_F(CryptoSessionTest, EraseNeverReachesAnotherFile) {
  write_file("plain.bin", "secret");
  std::filesystem::create_directory(path("a").toStdString());
  write_file("a/b", "keep me");
  write_file("a\\b", "erase me");
  set_crypto_session(session_.get());
  EXPECT_TRUE(engine_helper().EraseWorkFile(path("plain.bin")));
  EXPECT_TRUE(engine_helper().EraseWorkFile(path("a\\b")));
  set_crypto_session(nullptr);
  EXPECT_FALSE(std::filesystem::exists(path("plain.bin").toStdString()));
  EXPECT_FALSE(std::filesystem::exists(path("a\\b").toStdString()));
  EXPECT_EQ(read_file(path("a/b")), "keep me");
}

// The look-ups' decode through the toolkit gives what OpenSSL reads of the
// same certificate.
TEST_F(CryptoSessionTest, DirectoryLookupsDecodeThroughTheToolkit) {
  const QByteArray der =
      make_certificate("01A2", {"Holder", "Org", "RU", "holder@example.org"}, {"Issuing CA", "CA Org", "RU", ""});
  ASSERT_FALSE(der.isEmpty());
  setDirectoryCryptoFactory(toolkit_directory_factory());
  std::unique_ptr<DirectoryCryptoSession> lookup = makeDirectoryCryptoSession();
  ASSERT_NE(dynamic_cast<CryptoSession*>(lookup.get()), nullptr);
  EXPECT_EQ(lookup->Open(), ql::QL_OK);
  CertificateInfo info;
  EXPECT_EQ(lookup->GetCertificateInfo(der, info), ql::QL_OK);
  CertificateInfo garbage;
  garbage.serial = "untouched";
  EXPECT_EQ(lookup->GetCertificateInfo(QByteArray("not a certificate"), garbage), ql::QL_ERR_CERT_DECODE);
  EXPECT_EQ(garbage.serial, "untouched");
  EXPECT_EQ(lookup->Close(), 0);
  setDirectoryCryptoFactory({});

  SessionCounters counters;
  OpenSslSession reference(counters, {});
  CertificateInfo expected;
  ASSERT_EQ(reference.GetCertificateInfo(der, expected), kToolkitOk);
  EXPECT_EQ(info.version, expected.version);
  EXPECT_EQ(info.serial, expected.serial);
  const auto same = [](const DistinguishedName& a, const DistinguishedName& b) {
    return a.C == b.C && a.SP == b.SP && a.L == b.L && a.O == b.O && a.OU == b.OU && a.T == b.T && a.CN == b.CN &&
           a.Email == b.Email;
  };
  EXPECT_TRUE(same(info.subject, expected.subject));
  EXPECT_TRUE(same(info.issuer, expected.issuer));
  EXPECT_FALSE(info.notBefore.isEmpty());
  EXPECT_FALSE(info.notAfter.isEmpty());
}

// An issuer whose common name holds "/O=..." is not the issuer it imitates:
// the toolkit's decode keeps the value whole, so the directory's identity
// rule tells the two certificates apart.
TEST_F(CryptoSessionTest, DirectoryIdentityTellsAnImitatedIssuerApart) {
  const NameSpec holder{"Holder", "", "RU", ""};
  const QByteArray real = make_certificate("05", holder, {"Ivan", "Central Bank", "", ""});
  const QByteArray imitation = make_certificate("05", holder, {"Ivan/O=Central Bank", "", "", ""});
  ASSERT_FALSE(real.isEmpty() || imitation.isEmpty());
  setDirectoryCryptoFactory(toolkit_directory_factory());
  std::unique_ptr<DirectoryCryptoSession> lookup = makeDirectoryCryptoSession();
  CertificateInfo a, b;
  ASSERT_EQ(lookup->GetCertificateInfo(real, a), ql::QL_OK);
  ASSERT_EQ(lookup->GetCertificateInfo(imitation, b), ql::QL_OK);
  EXPECT_EQ(a.issuer.CN, "Ivan");
  EXPECT_EQ(a.issuer.O, "Central Bank");
  EXPECT_EQ(b.issuer.CN, "Ivan/O=Central Bank");
  EXPECT_TRUE(b.issuer.O.isEmpty());
  EXPECT_EQ(EngineHelper::CompareNames(a.issuer, b.issuer), 0);
  EXPECT_EQ(engine_helper().CompareCertificates(real, imitation), 0);
  EXPECT_EQ(engine_helper().CompareCertificates(real, real), 1);
  setDirectoryCryptoFactory({});
}

}  // namespace
}  // namespace dsutils::testing
