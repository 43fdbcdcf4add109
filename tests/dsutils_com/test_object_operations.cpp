// The object over the engine's own operations, in process: the command line
// signs and encrypts with the scratch directory's executor, and a mail
// client's outgoing and incoming message go through the mail members, every
// question answered by a script (an unexpected one fails the test).

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <memory>

#include "dsutils/com/dsutil_object.h"
#include "dsutils/com/engine_operations.h"
#include "dsutils/engine/crypto_session.h"
#include "dsutils/engine/engine_helper.h"
#include "tests/dsutils/operation_fixture.h"
#include "tests/support/run_program.h"

namespace dsutils::testing {
namespace {

class ObjectOperations : public OperationTest {
 protected:
  void SetUp() override {
    OperationTest::SetUp();
    auto ui = std::make_unique<ScriptedUi>();
    script_ = ui.get();
    object_ = std::make_unique<DSUtilObject>(engine_operations(), std::move(ui));
    write_file("docs/a.txt", "signed through the object\n");
  }
  void TearDown() override {
    if (script_ != nullptr) {
      EXPECT_EQ(script_->unscripted(), 0) << "an operation asked what the test did not expect";
    }
    object_.reset();
    OperationTest::TearDown();
  }
  // The message kind of a file as the toolkit reads it.
  int kind(const QString& file) {
    CryptoSession& session = global_crypto_session();
    SessionHold hold(session);
    if (hold.Open() != 0) return -1;
    return session.GetFileType(file);
  }
  ScriptedUi* script_ = nullptr;
  std::unique_ptr<DSUtilObject> object_;
};

TEST_F(ObjectOperations, CommandLineSignsAndEncrypts) {
  install_directory(operation_pki(false));
  script_->queuePassword(kKeyPassword);
  std::int32_t code = -77;
  const QString in = path("docs/a.txt");
  EXPECT_EQ(object_->CommanLineEx(QStringLiteral("-s"), QStringLiteral("--in=%1 --out=%1.sgn").arg(in), &code),
            HResult::Ok);
  EXPECT_EQ(code, kOpOk);
  ASSERT_TRUE(QFile::exists(in + QStringLiteral(".sgn")));
  EXPECT_EQ(kind(in + QStringLiteral(".sgn")), 1);

  set_encrypt_settings(1, {QStringLiteral("61")});
  code = -77;
  EXPECT_EQ(object_->CommanLineEx(QStringLiteral("-e"), QStringLiteral("--in=%1 --out=%1.enc").arg(in), &code),
            HResult::Ok);
  EXPECT_EQ(code, kOpOk);
  EXPECT_EQ(kind(in + QStringLiteral(".enc")), 2);

  code = -77;
  EXPECT_EQ(object_->CommanLineEx(QStringLiteral("-v"), QStringLiteral("--in=%1").arg(in), &code), HResult::Ok);
  EXPECT_EQ(code, 0);
}

// An RSA executor's .sgn, made through the command line, verifies with the
// stock openssl cms.
TEST_F(ObjectOperations, TheSignatureVerifiesWithTheStockOpenssl) {
  const OperationPki& pki = operation_pki(true);
  install_directory(pki);
  script_->queuePassword(kKeyPassword);
  const QString in = path("docs/a.txt");
  std::int32_t code = -77;
  ASSERT_EQ(object_->CommanLineEx(QStringLiteral("-s"), QStringLiteral("--in=%1 --out=%1.sgn").arg(in), &code),
            HResult::Ok);
  ASSERT_EQ(code, kOpOk);
  test_support::ProgramOptions options;
  options.preload = test_support::sanitizer_runtime();
  if (!options.preload.empty()) options.environment.emplace_back("ASAN_OPTIONS=detect_leaks=0");
  const test_support::ProgramResult r = test_support::run_program(
      {DOSSAR_OPENSSL_PROGRAM, "cms", "-verify", "-binary", "-inform", "DER", "-CAfile",
       pem_file(pki.ca.certPem, "ca.pem").toStdString(), "-certfile",
       pem_file(pki.executor.certPem, "exec.pem").toStdString(), "-in", (in + QStringLiteral(".sgn")).toStdString(),
       "-out", path("verified.bin").toStdString()},
      options);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(read_file(path("verified.bin")), "signed through the object\n");
}

// An outgoing message as a mail client sends it through the object: two
// attachments (one with a Cyrillic name), one recipient given with a
// certificate text and one found by e-mail address, signed and encrypted.
class ObjectMail : public ObjectOperations {
 protected:
  void send(const OperationPki& pki) {
    install_directory(pki);
    ASSERT_TRUE(engine_helper().SetUserEmail("62", QStringLiteral("two@example.org")));
    platform::reg::RegistryKey log;
    open_key(log, "\\Property\\Log");
    ASSERT_TRUE(log.SetDword("IsCert", 1) && log.SetDword("IsTime", 1) && log.SetDword("IsSgn", 0));
    ASSERT_TRUE(QDir().mkpath(path("out")) && QDir().mkpath(path("inbox")));
    for (const QString& name : names_) {
      originals_.push_back(doc_text(name, 48 * 1024));
      write_file("out/" + name, originals_.back());
    }
    script_->queuePassword(std::string(kKeyPassword));
    for (const QString& name : names_) ASSERT_EQ(object_->put_AttachFile(path("out/" + name)), HResult::Ok);
    ASSERT_EQ(object_->AddResipients(QStringLiteral("one@example.org"), QString::fromStdString(pki.user1.certPem)),
              HResult::Ok);
    ASSERT_EQ(object_->AddResipients(QStringLiteral("two@example.org"), QString()), HResult::Ok);
    ASSERT_EQ(object_->put_Email_Encript(1), HResult::Ok);
    ASSERT_EQ(object_->put_Email_Signature(1), HResult::Ok);
    ASSERT_EQ(object_->Email_SignatureAndEncript(), HResult::Ok);
    EXPECT_TRUE(object_->ui().mailMode());
    for (const QString& name : names_) {
      QString processed = path("out/" + name);
      ASSERT_EQ(object_->get_AttachFile(&processed), HResult::Ok);
      EXPECT_EQ(processed, path("out/" + name + ".sgn.enc"));
      QString folded = path("out/" + name).toUpper();
      ASSERT_EQ(object_->AttachFiles(&folded), HResult::Ok);
      EXPECT_EQ(folded, processed);
      sent_ << processed;
    }
  }
  const QStringList names_{QStringLiteral("a.doc"), QStringLiteral("Отчёт за март.txt")};
  std::vector<std::string> originals_;
  QStringList sent_;
};

// RSA parties: each recipient opens each attachment with the stock openssl
// command, and the signed file inside verifies.
TEST_F(ObjectMail, EachRecipientOpensTheOutgoingAttachments) {
  const OperationPki& pki = operation_pki(true);
  ASSERT_NO_FATAL_FAILURE(send(pki));
  const test_support::ProgramResult version = test_support::run_program({DOSSAR_OPENSSL_PROGRAM, "version"});
  if (version.status != 0) {
    if (under_ci()) FAIL() << "openssl does not start: " << version.output;
    GTEST_SKIP() << "openssl does not start: " << version.output;
  }
  // Each recipient (and the executor, EncOwner) is in each message. The
  // content cipher is RUS-GAMMAR, which `openssl cms -decrypt` does not
  // know (checked: it refuses with "unknown cipher", the module loaded or
  // not): a recipient unwraps its content key with `pkeyutl -decrypt` and
  // decrypts with `enc -d -rus-gammar` of the provider module, and the
  // signed file inside verifies with `cms -verify`.
  struct Reader {
    const PkiParty* party;
    long serial;
  };
  for (int i = 0; i < names_.size(); ++i) {
    const std::string enveloped = read_file(sent_[i]);
    EXPECT_EQ(recipients_of(sent_[i]), 3);
    for (const Reader& reader : {Reader{&pki.user1, 0x61}, Reader{&pki.user2, 0x62}}) {
      SCOPED_TRACE(names_[i].toStdString() + " for " + std::to_string(reader.serial));
      const QString cert = pem_file(reader.party->certPem, QStringLiteral("reader.pem"));
      const QString key = pem_file(reader.party->keyPem, QStringLiteral("reader.key"));
      expect_stock_cms_refuses(DOSSAR_OPENSSL_PROGRAM, DOSSAR_PROVIDER_DIR, sent_[i], cert, key);
      Envelope e;
      ASSERT_TRUE(open_envelope(enveloped, reader.serial, e));
      QFile::remove(path("verified.bin"));
      std::string cek;
      ASSERT_NO_FATAL_FAILURE(stock_unwrap_key(DOSSAR_OPENSSL_PROGRAM, e, key, cek));
      const test_support::ProgramResult decrypted =
          stock_decrypt_content(DOSSAR_OPENSSL_PROGRAM, DOSSAR_PROVIDER_DIR, e, cek, path("opened.sgn"));
      ASSERT_EQ(decrypted.status, 0) << decrypted.output;
      const test_support::ProgramResult verified = test_support::run_openssl_with_module(
          DOSSAR_OPENSSL_PROGRAM, DOSSAR_PROVIDER_DIR,
          {"cms", "-verify", "-binary", "-inform", "DER", "-CAfile", pem_file(pki.ca.certPem, "ca.pem").toStdString(),
           "-certfile", pem_file(pki.executor.certPem, "exec.pem").toStdString(), "-in",
           path("opened.sgn").toStdString(), "-out", path("verified.bin").toStdString()});
      EXPECT_EQ(verified.status, 0) << verified.output;
      EXPECT_EQ(read_file(path("verified.bin")), originals_[static_cast<std::size_t>(i)]);
    }
  }
}

// GOST parties: the outgoing message received by the executor (EncOwner):
// the documents extracted, a plain attachment's error text, the protocol
// file; then a message that carries a protocol of its own, which leaves no
// protocol until the next good unpack.
TEST_F(ObjectMail, IncomingAttachmentsThroughTheObject) {
  ASSERT_NO_FATAL_FAILURE(send(operation_pki(false)));
  const QStringList& names = names_;
  const std::vector<std::string>& originals = originals_;
  const QStringList& sent = sent_;
  // Incoming: the two messages and a plain attachment.
  ASSERT_EQ(object_->ResetAttach(), HResult::Ok);
  ASSERT_EQ(object_->ResetResipients(), HResult::Ok);
  QStringList received;
  for (int i = 0; i < names.size(); ++i) {
    received << path("inbox/" + names[i] + ".sgn.enc");
    ASSERT_TRUE(QFile::rename(sent[i], received.back()));
  }
  write_file("inbox/plain.txt", "plain");
  received << path("inbox/plain.txt");
  for (const QString& file : received) ASSERT_EQ(object_->put_AttachFile(file), HResult::Ok);
  ASSERT_EQ(object_->put_Email_Soting(0), HResult::Ok);
  ASSERT_EQ(object_->put_Email_Izvlechenie(1), HResult::Ok);
  ASSERT_EQ(object_->UnEncriptEmail(), HResult::Ok);
  for (int i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i].toStdString());
    QString processed = received[i];
    ASSERT_EQ(object_->get_AttachFile(&processed), HResult::Ok);
    EXPECT_EQ(processed, path("inbox/" + names[i]));
    EXPECT_EQ(read_file(processed), originals[static_cast<std::size_t>(i)]);
    QString error = QStringLiteral("<unwritten>");
    EXPECT_EQ(object_->get_GetDataFromDll(QStringLiteral("get_error_unpack"), received[i], &error), HResult::Ok);
    EXPECT_EQ(error, QString());
  }
  QString error;
  EXPECT_EQ(object_->get_GetDataFromDll(QStringLiteral("get_error_unpack"), received[2], &error), HResult::Ok);
  EXPECT_EQ(error, QStringLiteral("Документ не защищен или испорчен."));
  QString protocol;
  ASSERT_EQ(object_->get_GetDataFromDll(QStringLiteral("get_protocol"), QString(), &protocol), HResult::Ok);
  ASSERT_FALSE(protocol.isEmpty());
  EXPECT_EQ(GetPathFromName(protocol), engine_helper().TmpRoot());
  EXPECT_TRUE(GetFileFromName(protocol).startsWith(QStringLiteral("DSM_Protocol")));
  const std::string lines = read_file(protocol);
  for (const char* expected :
       {"Протокол распаковки почтового сообщения\n", "Подписи подтверждены!\n", "Обрабатывается файл: a.doc.sgn.enc\n",
        "Извлеченнный файл: a.doc", "Извлеченнный файл: Отчёт за март.txt",
        "Документ не защищен или испорчен. \r\nФайл: plain.txt\n"})
    EXPECT_NE(lines.find(expected), std::string::npos) << expected << "\nin:\n" << lines;

  // A message that carries a protocol of its own gets none, and the last
  // one is gone until an unpack succeeds again.
  ASSERT_EQ(object_->ResetAttach(), HResult::Ok);
  write_file("inbox/DSM_PROTOCOL.TXT", "theirs");
  ASSERT_EQ(object_->put_AttachFile(path("inbox/plain.txt")), HResult::Ok);
  ASSERT_EQ(object_->put_AttachFile(path("inbox/DSM_PROTOCOL.TXT")), HResult::Ok);
  EXPECT_EQ(object_->UnEncriptEmail(), HResult::Ok);
  QString none = QStringLiteral("<unwritten>");
  EXPECT_EQ(object_->get_GetDataFromDll(QStringLiteral("get_protocol"), QString(), &none), HResult::Ok);
  EXPECT_EQ(none, QString());
  EXPECT_EQ(read_file(path("inbox/DSM_PROTOCOL.TXT")), "theirs");
  ASSERT_EQ(object_->ResetAttach(), HResult::Ok);
  ASSERT_EQ(object_->put_AttachFile(path("inbox/plain.txt")), HResult::Ok);
  EXPECT_EQ(object_->UnEncriptEmail(), HResult::Ok);
  QString again;
  EXPECT_EQ(object_->get_GetDataFromDll(QStringLiteral("get_protocol"), QString(), &again), HResult::Ok);
  EXPECT_FALSE(again.isEmpty());
  EXPECT_NE(again, protocol);
  EXPECT_TRUE(QFileInfo::exists(again));
}

}  // namespace
}  // namespace dsutils::testing
