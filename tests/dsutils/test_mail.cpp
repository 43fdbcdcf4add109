// The mail operations over the real toolkit: MailSignEncrypt's naming table
// and recipients, MailUnpack's outcomes and protocol file byte for byte, the
// job's `done` released once on every path, cancels that lose nothing, and
// two runs at once. Each run goes on a thread of its own as the COM object
// starts it, and the test waits on `done` with a time-out.
#include <openssl/pkcs7.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

#include "dsutils/engine/error_text.h"
#include "dsutils/engine/mail.h"
#include "dsutils/engine/signature_checker.h"
#include "dsutils/engine/unpack_file.h"
#include "platform/registry/registry_key.h"
#include "quillon2/ql_certinfo.h"
#include "tests/dsutils/operation_fixture.h"
#include "tests/support/run_program.h"

namespace dsutils::testing {
namespace {

using platform::reg::RegistryKey;
using namespace std::chrono_literals;

const QString kOne = QStringLiteral("one@example.org");
const QString kTwo = QStringLiteral("two@example.org");

struct Mail {
  QList<AttachmentRecord> attachments;
  QList<RecipientPair> recipients;
  MailJob job;
  Mail(const QStringList& paths, const QList<RecipientPair>& to) : recipients(to) {
    for (const QString& p : paths) attachments.append(AttachmentRecord{p, {}, {}, 1});
    job.attachments = &attachments;
    job.recipients = &recipients;
  }
};

enum class Op { kOut, kIn };

// Runs the routine on its own thread as the starter does; false when `done`
// did not come within the time-out or (`alone`: no other run at the same
// time) was released more than once.
bool run_mail(Op op, MailJob& job, EngineUi& ui, bool alone = true) {
  const int before = mail_done_releases();
  std::thread worker([&] {
    const OperationUiScope scope(&ui);
    if (op == Op::kOut)
      MailSignEncrypt(&job);
    else
      MailUnpack(&job);
  });
  const bool came = job.done.try_acquire_for(120s);
  worker.join();
  const bool once = !job.done.try_acquire() && (!alone || mail_done_releases() - before == 1);
  return came && once;
}

bool for_executor(const QString& file) {
  SessionHold hold;
  hold.Open();
  return IsEncryptedForOwner(file);
}

class MailTest : public OperationTest {
 protected:
  void SetUp() override {
    OperationTest::SetUp();
    for (const char* folder : {"out", "inbox", "src"}) ASSERT_TRUE(QDir().mkpath(path(folder)));
    ASSERT_NO_FATAL_FAILURE(use(false));
  }
  void TearDown() override {
    set_mail_attachment_hook(nullptr);
    SetMailClock(nullptr);
    OperationTest::TearDown();
  }
  void use(bool rsa) {
    install_directory(operation_pki(rsa));
    ASSERT_TRUE(engine_helper().SetUserEmail("61", kOne));
    ASSERT_TRUE(engine_helper().SetUserEmail("62", kTwo));
    set_log_options(1, 1, 0);
  }
  void set_enc_owner(std::uint32_t on) {
    RegistryKey key;
    open_key(key, "\\Property\\Email");
    ASSERT_TRUE(key.SetDword("EncOwner", on));
  }
  // Signs, encrypts or both; the executor's password queued once.
  std::unique_ptr<Mail> out(const QStringList& paths, const QList<RecipientPair>& to, bool sign, bool encrypt,
                            ScriptedUi& ui) {
    auto m = std::make_unique<Mail>(paths, to);
    m->job.sign = sign;
    m->job.encrypt = encrypt;
    EXPECT_TRUE(run_mail(Op::kOut, m->job, ui));
    return m;
  }
  // A document protected as the mail client's attachment would be: the
  // executor among the recipients (EncOwner), `sign` and `encrypt` as given.
  QString protect(const QString& name, const std::string& text, bool sign, bool encrypt) {
    write_file("src/" + name, text);
    ScriptedUi ui;
    ui.queuePassword(std::string(kKeyPassword));
    const auto m = out({path("src/" + name)}, {{kOne, {}}}, sign, encrypt, ui);
    EXPECT_TRUE(m->job.success);
    return m->attachments[0].processedName;
  }
  // The protected file moved into the inbox under `as`.
  QString to_inbox(const QString& file, const QString& as) {
    EXPECT_TRUE(QDir().mkpath(path("inbox")));
    const QString target = path("inbox/" + as);
    QFile::remove(target);
    EXPECT_TRUE(QFile::rename(file, target)) << file.toStdString();
    return target;
  }
  std::unique_ptr<Mail> in(const QStringList& paths, ScriptedUi& ui, bool extract = false, bool sorting = false) {
    auto m = std::make_unique<Mail>(paths, QList<RecipientPair>{});
    m->job.extract = extract;
    m->job.sorting = sorting;
    EXPECT_TRUE(run_mail(Op::kIn, m->job, ui));
    return m;
  }
  // The password the prompt remembered is wiped (a failed load does that),
  // so the next key load asks and the prompts count the loads.
  void forget_password() {
    CryptoSession& session = global_crypto_session();
    SessionHold hold(session);
    hold.Open();
    EXPECT_NE(session.LoadKeyFile(path("keys/exec.p8"), "not the password"), 0);
  }
  int passwords(const ScriptedUi& ui) const {
    return static_cast<int>(std::count(ui.calls().begin(), ui.calls().end(), std::string("password")));
  }
  std::string text(const QString& full) const { return read_file(full); }
  bool exists(const QString& rel) const { return QFileInfo::exists(path(rel)); }

  // Each mail code's failures into a folder of their own (sorted/<code>).
  void sort_failures() {
    for (const char* code : kMailCodes) {
      RegistryKey key;
      open_key(key, std::string("\\Sorting\\") + code);
      ASSERT_TRUE(key.SetDword("Error", 1));
      ASSERT_TRUE(key.SetDword("ErrorExist", 1));
      ASSERT_TRUE(key.SetString("ErrorPath", path(QStringLiteral("sorted/") + code).toStdString()));
      ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("sorted/") + code)));
    }
  }

  // An attachment that is to end in `outcome`, with its bytes as it came.
  struct OutcomeCase {
    QString file;
    MailOutcome outcome;
    std::string bytes;
  };
  // Each attachment ended in its row: status 0, the row's short text (the
  // toolkit's or checker's when it has none), back as it came, the row's
  // protocol and log texts under its heading, its log text in a box when
  // the row shows one (and only then), and (`sorted`) sorted as a failure
  // under the row's code and only there.
  void expect_outcomes(const std::vector<OutcomeCase>& cases, const QList<AttachmentRecord>& records,
                       const std::string& protocol, const std::vector<ScriptedUi::Message>& boxes, bool sorted) const {
    ASSERT_EQ(records.size(), static_cast<qsizetype>(cases.size()));
    const std::string log = text(path("events.log"));
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const MailOutcomeRow& row = mail_outcome(cases[i].outcome);
      const std::string name = GetFileFromName(cases[i].file).toStdString();
      SCOPED_TRACE(name + ": " + row.protocolText);
      const AttachmentRecord& r = records[static_cast<qsizetype>(i)];
      EXPECT_EQ(r.status, 0);
      if (row.shortText[0] != 0) {
        EXPECT_EQ(r.errorText, QString::fromUtf8(row.shortText)) << r.errorText.toStdString();
      } else if (error_text_loader().libraryLoaded()) {
        EXPECT_FALSE(r.errorText.isEmpty()) << "the toolkit's or the checker's text";
      }
      EXPECT_EQ(r.processedName, cases[i].file);
      EXPECT_EQ(text(cases[i].file), cases[i].bytes) << "the attachment is back as it came";
      EXPECT_TRUE(under_heading(protocol, "Обрабатывается файл: " + name + "\n",
                                "\n" + known_text(row, row.protocolText, name, r)))
          << protocol;
      if (row.logText[0] != 0) {
        EXPECT_TRUE(under_heading(log, "Обрабатывается файл: " + name + " \r\n", known_text(row, row.logText, name, r)))
            << log;
        const QString boxText = QString::fromStdString(known_text(row, row.logText, name, r));
        const bool shown = std::any_of(boxes.begin(), boxes.end(),
                                       [&](const ScriptedUi::Message& b) { return b.text.startsWith(boxText); });
        EXPECT_EQ(shown, row.box) << "the row's box";
      }
      if (!sorted) continue;
      for (const char* code : kMailCodes) {
        const bool there =
            QFileInfo::exists(path(QStringLiteral("sorted/") + code + "/" + cases[i].file.section('/', -1)));
        EXPECT_EQ(there, std::string(code) == row.sortCode) << code;
      }
    }
  }

 private:
  static constexpr const char* kMailCodes[] = {"E_UNENC", "E_CHEK", "E_DOC"};
  // `line` in what follows the last `heading` of `all` (from the heading's
  // own line end), before the next attachment's heading.
  static bool under_heading(const std::string& all, const std::string& heading, const std::string& line) {
    const std::size_t at = all.rfind(heading);
    if (at == std::string::npos) return false;
    const std::size_t start = at + heading.size();
    const std::size_t end = all.find("Обрабатывается файл: ", start);
    const std::size_t found = all.find(line, start - 1);
    return found != std::string::npos && found < end;
  }
  // A row's text filled in as far as the test knows its values: %1 the file
  // part (not a working path), %2 and %3 the record's text, %4 (the
  // checker's protocol) not at all; cut at the first value it does not know.
  static std::string known_text(const MailOutcomeRow& row, const char* format, const std::string& name,
                                const AttachmentRecord& r) {
    const std::string detail = r.errorText.toStdString();
    std::string out;
    for (const char* c = format; *c != 0; ++c) {
      if (*c != '%' || c[1] < '1' || c[1] > '4') {
        out += *c;
        continue;
      }
      const char which = *++c;
      if (which == '4' || (which == '1' && row.fullWorkPath)) break;
      out += which == '1' ? name : detail;
    }
    return out;
  }
};

// --- outgoing ---

// Each row of the naming table: the files left beside the attachment, the
// processed name, and the results read back to the attachment's bytes.
TEST_F(MailTest, NamingTableEachResultReadsBackToTheAttachment) {
  struct Row {
    bool sign, encrypt;
    std::uint32_t isSgn;
    QStringList left;
    QString processed;
  };
  const Row rows[] = {
      {true, false, 0, {"a.doc.sgn"}, "a.doc.sgn"},
      {true, false, 1, {"a.doc.sga"}, "a.doc.sga"},
      {false, true, 0, {"a.doc.enc"}, "a.doc.enc"},
      {true, true, 0, {"a.doc.sgn", "a.doc.sgn.enc"}, "a.doc.sgn.enc"},
      {true, true, 1, {"a.doc.sga", "a.doc.sga.enc"}, "a.doc.sga.enc"},
  };
  const std::string original = doc_text("a.doc", 64 * 1024);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.processed.toStdString());
    QDir(path("out")).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(path("out")));
    write_file("out/a.doc", original);
    set_log_options(1, 1, r.isSgn);
    ScriptedUi ui;
    ui.queuePassword(std::string(kKeyPassword));
    const auto m = out({path("out/a.doc")}, {{kOne, {}}}, r.sign, r.encrypt, ui);
    ASSERT_TRUE(m->job.success);
    EXPECT_EQ(m->attachments[0].processedName, path("out/" + r.processed));
    EXPECT_TRUE(m->attachments[0].errorText.isEmpty());
    QStringList left = QDir(path("out")).entryList(QDir::Files | QDir::Hidden);
    EXPECT_EQ(left, r.left);
    EXPECT_EQ(ui.unscripted(), 0);

    // The signed file holds the attachment (its document verifies and is the same).
    if (r.sign) {
      const QString signedFile = path("out/" + r.left.first());
      QString protocol;
      EXPECT_EQ(VerifyFile(signedFile, protocol), kOpOk) << protocol.toStdString();
      QString document;
      ASSERT_EQ(engine_helper().ExtractSignedDocument(signedFile, document), 1);
      EXPECT_EQ(text(document), original);
      QFile::remove(document);
    }
    // The encrypted file opens with the executor's key (EncOwner) to the
    // file it was made from.
    if (r.encrypt) {
      const QString inner = path("out/" + r.processed).chopped(4);
      const std::string innerBytes = r.sign ? text(inner) : original;
      if (r.sign) QFile::remove(inner);
      EXPECT_EQ(recipients_of(path("out/" + r.processed)), 2);
      Mail back({path("out/" + r.processed)}, {});
      ScriptedUi reader;
      reader.queuePassword(std::string(kKeyPassword));
      ASSERT_TRUE(run_mail(Op::kIn, back.job, reader));
      EXPECT_TRUE(back.job.success);
      EXPECT_EQ(back.attachments[0].processedName, inner);
      EXPECT_EQ(text(inner), innerBytes);
      QFile::remove(back.job.resultText);
    }
  }
  EXPECT_TRUE(work_root_entries().filter(QStringLiteral("~temp~")).isEmpty());
}

TEST_F(MailTest, NeitherWordAsksNothingAndTouchesNothing) {
  write_file("out/a.doc", "untouched");
  ScriptedUi ui;
  const auto m = out({path("out/a.doc")}, {{kOne, {}}}, false, false, ui);
  EXPECT_TRUE(m->job.success);
  EXPECT_TRUE(ui.calls().empty());
  EXPECT_EQ(text(path("out/a.doc")), "untouched");
  EXPECT_TRUE(m->attachments[0].processedName.isEmpty());
  EXPECT_EQ(QDir(path("out")).entryList(QDir::Files).size(), 1);
}

// The early ends: their box, success 0, nothing touched, no key asked.
TEST_F(MailTest, EarlyEndsShowTheirTextAndTouchNothing) {
  struct Row {
    const char* what;
    bool sign, encrypt;
    bool withAttachment, withRecipient;
    QString text;
  };
  const Row rows[] = {
      {"sign only, no recipients", true, false, true, false, "Не задан получатель сообщения!"},
      {"encrypt, no recipients", false, true, true, false, "Не задан получатель сообщения!"},
      {"no attachments", true, true, false, true, "Не заданы файлы для обработки!"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    write_file("out/a.doc", "stay");
    ScriptedUi ui;
    const auto m =
        out(r.withAttachment ? QStringList{path("out/a.doc")} : QStringList{},
            r.withRecipient ? QList<RecipientPair>{{kOne, {}}} : QList<RecipientPair>{}, r.sign, r.encrypt, ui);
    EXPECT_FALSE(m->job.success);
    ASSERT_EQ(ui.messages().size(), 1u);
    EXPECT_EQ(ui.messages()[0].text, r.text);
    EXPECT_EQ(ui.messages()[0].flags, unsigned{MB_OK | MB_ICONSTOP});
    EXPECT_EQ(passwords(ui), 0);
    EXPECT_EQ(text(path("out/a.doc")), "stay");
  }
}

// The executor is added once however often named; EncOwner adds it when
// nobody named it.
TEST_F(MailTest, TheExecutorIsARecipientOnce) {
  const OperationPki& pki = operation_pki();
  const QString execPem = QString::fromStdString(pki.executor.certPem);
  struct Row {
    const char* what;
    QList<RecipientPair> to;
    std::uint32_t encOwner;
    int recipients;
  };
  const Row rows[] = {
      {"executor twice", {{"exec@example.org", execPem}, {kOne, {}}, {"exec@example.org", execPem}}, 0, 2},
      {"executor twice, EncOwner", {{"exec@example.org", execPem}, {"exec@example.org", execPem}}, 1, 1},
      {"EncOwner adds it", {{kOne, {}}, {kTwo, {}}}, 1, 3},
      {"EncOwner off", {{kOne, {}}}, 0, 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    set_enc_owner(r.encOwner);
    write_file("out/a.doc", "for the recipients");
    QFile::remove(path("out/a.doc.enc"));
    ScriptedUi ui;
    ui.queuePassword(std::string(kKeyPassword));
    const auto m = out({path("out/a.doc")}, r.to, false, true, ui);
    ASSERT_TRUE(m->job.success);
    EXPECT_EQ(recipients_of(path("out/a.doc.enc")), r.recipients);
    EXPECT_EQ(for_executor(path("out/a.doc.enc")), r.encOwner != 0 || r.to.first().email.startsWith("exec"));
  }
}

TEST_F(MailTest, AddressesWithoutCertificatesAreAskedFor) {
  const QList<RecipientPair> unknown{{"x@nowhere.org", {}}, {"y@nowhere.org", {}}};
  const QString question = QStringLiteral(
      "Сертификат получателя не найден!\r\n\r\nПолучатели: \r\nx@nowhere.org\ny@nowhere.org\n\r\n\r\nХотите задать "
      "получателя?");
  {
    SCOPED_TRACE("No");
    write_file("out/a.doc", "kept");
    ScriptedUi ui;
    ui.queuePassword(std::string(kKeyPassword));
    ui.queueMessage(IDNO);
    const auto m = out({path("out/a.doc")}, unknown, true, true, ui);
    EXPECT_FALSE(m->job.success);
    ASSERT_EQ(ui.messages().size(), 1u);
    EXPECT_EQ(ui.messages()[0].text, question);
    EXPECT_EQ(ui.messages()[0].flags, unsigned{MB_YESNO | MB_ICONSTOP});
    EXPECT_TRUE(ui.recipientCaptions().isEmpty());
    EXPECT_EQ(text(path("out/a.doc")), "kept");
    EXPECT_EQ(QDir(path("out")).entryList(QDir::Files).size(), 1);
  }
  {
    SCOPED_TRACE("Yes, the sheet cancelled");
    ScriptedUi ui;
    ui.queuePassword(std::string(kKeyPassword));
    ui.queueMessage(IDYES);
    const auto m = out({path("out/a.doc")}, unknown, false, true, ui);
    EXPECT_FALSE(m->job.success);
    EXPECT_EQ(ui.recipientCaptions(), QStringList{"Задайте получателя"});
    EXPECT_EQ(text(path("out/a.doc")), "kept");
  }
  {
    SCOPED_TRACE("Yes, two names chosen, one without a certificate");
    ScriptedUi ui;
    ui.queuePassword(std::string(kKeyPassword));
    ui.queueMessage(IDYES);
    ui.queueRecipients({true, {"61", "no such entry"}});
    const auto m = out({path("out/a.doc")}, unknown, false, true, ui);
    EXPECT_TRUE(m->job.success);
    EXPECT_EQ(recipients_of(path("out/a.doc.enc")), 2);  // 61 and the executor
    EXPECT_FALSE(exists("out/a.doc"));
  }
}

// The first attachment processed, the second restored with its error text,
// the third untouched.
TEST_F(MailTest, AFailureStopsTheRunAndPutsTheAttachmentBack) {
  write_file("out/a.doc", "first");
  write_file("out/c.doc", "third");
  ASSERT_EQ(::mkfifo(path("out/b.doc").toLocal8Bit().constData(), 0600), 0);
  ScriptedUi ui;
  ui.queuePassword(std::string(kKeyPassword));
  const auto m = out({path("out/a.doc"), path("out/b.doc"), path("out/c.doc")}, {{kOne, {}}}, true, false, ui);
  EXPECT_FALSE(m->job.success);
  EXPECT_EQ(m->attachments[0].processedName, path("out/a.doc.sgn"));
  EXPECT_TRUE(m->attachments[0].errorText.isEmpty());
  EXPECT_EQ(m->attachments[1].processedName, path("out/b.doc"));
  EXPECT_EQ(m->attachments[1].errorText, "Ошибка при работе с временной папкой!");
  EXPECT_TRUE(m->attachments[2].processedName.isEmpty());
  EXPECT_TRUE(m->attachments[2].errorText.isEmpty());
  EXPECT_EQ(text(path("out/c.doc")), "third");
  EXPECT_FALSE(exists("out/c.doc.sgn"));
  EXPECT_TRUE(exists("out/b.doc"));
  EXPECT_TRUE(exists("out/a.doc.sgn"));
}

// A result that cannot be placed beside the attachment (a folder holds its
// name) puts the attachment back: nothing is lost, success 0.
TEST_F(MailTest, AResultThatCannotBePlacedRestoresTheAttachment) {
  for (const bool encrypt : {false, true}) {
    SCOPED_TRACE(encrypt ? "encrypt" : "sign");
    QDir(path("out")).removeRecursively();
    const QString blocker = encrypt ? "out/a.doc.enc/x" : "out/a.doc.sgn/x";
    ASSERT_TRUE(QDir().mkpath(GetPathFromName(path(blocker))));
    write_file("out/a.doc", "precious");
    write_file(blocker, "in the way");
    ScriptedUi ui;
    ui.queuePassword(std::string(kKeyPassword));
    const auto m = out({path("out/a.doc")}, {{kOne, {}}}, !encrypt, encrypt, ui);
    EXPECT_FALSE(m->job.success);
    EXPECT_EQ(text(path("out/a.doc")), "precious");
    EXPECT_EQ(m->attachments[0].errorText, "Не удалось создать файл!");
    EXPECT_EQ(m->attachments[0].processedName, path("out/a.doc"));
    EXPECT_TRUE(work_root_entries().filter(QStringLiteral("~temp~")).isEmpty());
  }
}

TEST_F(MailTest, CertificateTextsAreImportedWithoutAQuestion) {
  const OperationPki& pki = operation_pki();
  set_enc_owner(0);
  {
    SCOPED_TRACE("PEM of a recipient the directory does not know");
    RegistryKey users;
    open_key(users, "\\Certificats\\Users");
    ASSERT_TRUE(users.SetBinary("62", "", 0));  // the entry holds no certificate
    write_file("out/a.doc", "for two");
    ScriptedUi ui;
    ui.queuePassword(std::string(kKeyPassword));
    const auto m =
        out({path("out/a.doc")}, {{"new@example.org", QString::fromStdString(pki.user2.certPem)}}, false, true, ui);
    ASSERT_TRUE(m->job.success);
    EXPECT_EQ(recipients_of(path("out/a.doc.enc")), 1);
    QByteArray found;
    ASSERT_TRUE(engine_helper().FindCertificateByEmail("new@example.org", found));
    EXPECT_EQ(found, pki.user2.der);
    EXPECT_TRUE(ui.messages().empty());
  }
  {
    SCOPED_TRACE("another CA's certificate under a stored serial");
    ASSERT_TRUE(log_to_scratch());
    ASSERT_TRUE(engine_helper().ImportCertificate(pki.executor.der, "exec@example.org"));
    write_file("out/b.doc", "for the twin");
    ScriptedUi ui;
    ui.queuePassword(std::string(kKeyPassword));
    const auto m =
        out({path("out/b.doc")}, {{"twin@example.org", QString::fromStdString(pki.twin.certPem)}}, false, true, ui);
    ASSERT_TRUE(m->job.success);
    EXPECT_TRUE(ui.messages().empty());
    EXPECT_EQ(recipients_of(path("out/b.doc.enc")), 1);
    EXPECT_FALSE(for_executor(path("out/b.doc.enc"))) << "encrypted for the supplied twin";
    QByteArray stored;
    ASSERT_TRUE(engine_helper().FindCertificateByEmail("exec@example.org", stored));
    EXPECT_EQ(stored, pki.executor.der);
    EXPECT_NE(text(path("events.log")).find("twin@example.org"), std::string::npos);
  }
  {
    SCOPED_TRACE("a text that is not one PEM certificate");
    const std::string two = pki.user1.certPem + pki.user2.certPem;
    for (const std::string& bad : {std::string("garbage"), two, pki.user1.certPem + "trailing"}) {
      write_file("out/c.doc", "for one");
      QFile::remove(path("out/c.doc.enc"));
      ScriptedUi ui;
      ui.queuePassword(std::string(kKeyPassword));
      const auto m = out({path("out/c.doc")}, {{kOne, QString::fromStdString(bad)}}, false, true, ui);
      ASSERT_TRUE(m->job.success);
      EXPECT_EQ(recipients_of(path("out/c.doc.enc")), 1);
    }
  }
}

TEST(MailPem, OnlyOneAsciiCertificateDecodes) {
  const OperationPki& pki = operation_pki();
  const QString pem = QString::fromStdString(pki.user1.certPem);
  EXPECT_EQ(PemCertificateToDer(pem), pki.user1.der);
  EXPECT_EQ(PemCertificateToDer("  \r\n" + pem + "\r\n\t "), pki.user1.der);
  EXPECT_TRUE(PemCertificateToDer(pem + pem).isEmpty());
  EXPECT_TRUE(PemCertificateToDer(pem + "x").isEmpty());
  EXPECT_TRUE(PemCertificateToDer(QString(pem).replace("CERTIFICATE", "X509 CRL")).isEmpty());
  EXPECT_TRUE(PemCertificateToDer(QString(pem).insert(40, QChar(0x0416))).isEmpty());
  EXPECT_TRUE(PemCertificateToDer(QString::fromLatin1(pki.user1.der.toBase64())).isEmpty());
  EXPECT_TRUE(PemCertificateToDer(QString()).isEmpty());
}

// --- incoming ---

TEST_F(MailTest, SignedAndEncryptedOpensWithOneKeyRequest) {
  const std::string original = doc_text("x.doc", 64 * 1024);
  for (const bool extract : {false, true}) {
    SCOPED_TRACE(extract ? "extract" : "verify only");
    QDir(path("inbox")).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(path("inbox")));
    const QString a = to_inbox(protect("x.doc", original, true, true), "x.doc.sgn.enc");
    const QString b = to_inbox(protect("y.doc", original, true, true), "y.doc.sgn.enc");
    forget_password();
    ScriptedUi ui;
    ui.queuePassword(std::string(kKeyPassword));
    const auto m = in({a, b}, ui, extract);
    ASSERT_TRUE(m->job.success);
    EXPECT_EQ(passwords(ui), 1);
    EXPECT_EQ(ui.unscripted(), 0);
    for (int i = 0; i < 2; ++i) {
      const AttachmentRecord& r = m->attachments[i];
      const QString stem = path(i == 0 ? "inbox/x.doc" : "inbox/y.doc");
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(r.errorText.isEmpty());
      if (extract) {
        EXPECT_EQ(r.processedName, stem);
        EXPECT_EQ(text(stem), original);
        EXPECT_FALSE(QFileInfo::exists(stem + ".sgn")) << "the signed file gave way to its document";
      } else {
        EXPECT_EQ(r.processedName, stem + ".sgn");
        QString protocol;
        EXPECT_EQ(VerifyFile(stem + ".sgn", protocol), kOpOk);
      }
    }
    const std::string protocol = text(m->job.resultText);
    EXPECT_NE(protocol.find("Подписи подтверждены!\n"), std::string::npos);
    EXPECT_NE(protocol.find(extract ? "Извлеченнный файл: x.doc" : "Подписанный файл: x.doc.sgn"), std::string::npos);
    QFile::remove(m->job.resultText);
    EXPECT_TRUE(work_root_entries().filter(QStringLiteral("~temp~")).isEmpty());
  }
}

TEST_F(MailTest, AMessageCarryingAProtocolGetsNone) {
  write_file("inbox/DSM_PROTOCOL.TXT", "theirs");
  write_file("inbox/a.txt", "plain");
  const QStringList before = QDir(path("tmp/DOSSAR-" + QString::number(::geteuid()))).entryList(QDir::Files);
  ScriptedUi ui;
  const auto m = in({path("inbox/a.txt"), path("inbox/DSM_PROTOCOL.TXT")}, ui);
  EXPECT_TRUE(m->job.success);
  EXPECT_EQ(m->job.error, 1);
  EXPECT_TRUE(m->job.resultText.isEmpty());
  EXPECT_EQ(QDir(path("tmp/DOSSAR-" + QString::number(::geteuid()))).entryList(QDir::Files), before);
  // Still processed: both plain, both back in place.
  EXPECT_EQ(m->attachments[0].status, 0);
  EXPECT_EQ(m->attachments[1].status, 0);
  EXPECT_EQ(text(path("inbox/DSM_PROTOCOL.TXT")), "theirs");
  EXPECT_EQ(text(path("inbox/a.txt")), "plain");
}

// Incoming bad input: an empty list is refused with its box; a missing
// attachment or a FIFO ends the run at it with status 0 and its text, the
// ones before it done and the ones after it untouched.
TEST_F(MailTest, IncomingBadInputLosesNothing) {
  {
    SCOPED_TRACE("no attachments");
    ScriptedUi ui;
    const auto m = in({}, ui);
    EXPECT_FALSE(m->job.success);
    ASSERT_EQ(ui.messages().size(), 1u);
    EXPECT_EQ(ui.messages()[0].text, "Не выбраны файлы для распаковки!");
    EXPECT_EQ(ui.messages()[0].flags, unsigned{MB_OK | MB_ICONINFORMATION});
  }
  ASSERT_EQ(::mkfifo(path("inbox/pipe.doc").toLocal8Bit().constData(), 0600), 0);
  for (const QString& bad : {path("inbox/missing.doc"), path("inbox/pipe.doc")}) {
    SCOPED_TRACE(bad.toStdString());
    write_file("inbox/a.txt", "before");
    write_file("inbox/z.txt", "after");
    ScriptedUi ui;
    const auto m = in({path("inbox/a.txt"), bad, path("inbox/z.txt")}, ui);
    EXPECT_FALSE(m->job.success);
    EXPECT_EQ(m->attachments[0].errorText, "Документ не защищен или испорчен.");
    EXPECT_EQ(m->attachments[1].status, 0);
    EXPECT_EQ(m->attachments[1].errorText, "Ошибка при работе с временной папкой!");
    EXPECT_EQ(m->attachments[2].status, 1);
    EXPECT_TRUE(m->attachments[2].processedName.isEmpty());
    EXPECT_EQ(text(path("inbox/a.txt")), "before");
    EXPECT_EQ(text(path("inbox/z.txt")), "after");
    ASSERT_FALSE(ui.messages().empty());
    EXPECT_EQ(ui.messages().back().text, "Ошибка при работе с временной папкой!");
    const std::string protocol = text(m->job.resultText);
    EXPECT_EQ(protocol.substr(protocol.size() - std::strlen("Ошибка при работе с временной папкой!\n")),
              "Ошибка при работе с временной папкой!\n");
  }
  EXPECT_EQ(QFileInfo(path("inbox/pipe.doc")).isFile(), false);
  EXPECT_TRUE(QFileInfo::exists(path("inbox/pipe.doc")));
}

// The protocol of plain attachments, byte for byte, under a fixed clock.
TEST_F(MailTest, ProtocolOfPlainAttachmentsByteForByte) {
  SetMailClock([] { return QDateTime(QDate(2026, 3, 7), QTime(9, 5, 41)); });
  write_file("inbox/a.txt", "plain a");
  write_file("inbox/b.bin", "plain b");
  ScriptedUi ui;
  const auto m = in({path("inbox/a.txt"), path("inbox/b.bin")}, ui);
  EXPECT_TRUE(m->job.success);
  EXPECT_EQ(m->job.error, 0);
  EXPECT_TRUE(ui.calls().empty()) << "no key medium, no box";
  const std::string dashes(100, '-');
  const std::string d35(35, '-');
  const std::string expected =
      dashes + "\r\n   07-03-2026 09:05 Протокол распаковки почтового сообщения\n" + dashes + "\r\n" + "\n" + d35 +
      "\nОбрабатывается файл: a.txt\nДокумент не защищен или испорчен. \r\nФайл: a.txt\n" + "\n" + d35 +
      "\nОбрабатывается файл: b.bin\nДокумент не защищен или испорчен. \r\nФайл: b.bin\n";
  ASSERT_FALSE(m->job.resultText.isEmpty());
  EXPECT_EQ(GetPathFromName(m->job.resultText), engine_helper().TmpRoot());
  EXPECT_TRUE(GetFileFromName(m->job.resultText).startsWith("DSM_Protocol"));
  EXPECT_EQ(text(m->job.resultText), expected);
  for (const AttachmentRecord& r : m->attachments) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.errorText, "Документ не защищен или испорчен.");
    EXPECT_EQ(r.processedName, r.path);
  }
  EXPECT_EQ(text(path("inbox/a.txt")), "plain a");
  EXPECT_EQ(text(path("inbox/b.bin")), "plain b");
  // A second run gets a protocol of its own.
  const auto again = in({path("inbox/a.txt")}, ui);
  EXPECT_NE(again->job.resultText, m->job.resultText);
  EXPECT_TRUE(QFileInfo::exists(m->job.resultText));
}

// The rows of the outcome table that a message can reach here, each checked
// against its own row.
TEST_F(MailTest, OutcomesFollowTheirRows) {
  const OperationPki& pki = operation_pki();
  const std::string original = "outcome document\n";
  // Encrypted for 61 only.
  set_enc_owner(0);
  const QString notMine = to_inbox(protect("n.doc", original, false, true), "n.doc.enc");
  set_enc_owner(1);
  // Encrypted for the twin (the executor's serial, another CA); the run's
  // executor entry then carries the twin's certificate with the executor's
  // own key, which cannot open it.
  write_file("src/d.doc", original);
  {
    ScriptedUi u;
    u.queuePassword(std::string(kKeyPassword));
    const auto made =
        out({path("src/d.doc")}, {{"twin@example.org", QString::fromStdString(pki.twin.certPem)}}, false, true, u);
    ASSERT_TRUE(made->job.success);
  }
  const QString damaged = to_inbox(path("src/d.doc.enc"), "d.doc.enc");
  // Signed by the twin, whose CA the directory then no longer trusts.
  set_executor(pki.twin, "exec");
  const QString twinSigned = to_inbox(protect("t.doc", original, true, false), "t.doc.sgn");
  set_executor(pki.executor, "exec");
  // A signed file cut short: its head reads as signed, no signer is found.
  const QString cut = to_inbox(protect("c.doc", original, true, false), "c.doc.sgn");
  std::string cutBytes = text(cut);
  cutBytes.resize(cutBytes.size() / 2);
  write_file("inbox/c.doc.sgn", cutBytes);
  // A message signed more often than the checker walks: the walk fails.
  write_file("inbox/deep.sgn", original);
  {
    CryptoSession& session = global_crypto_session();
    SessionHold hold(session);
    ASSERT_EQ(hold.OpenWithPath(random_state_container()), 0);
    ASSERT_EQ(session.LoadKeyFile(path("keys/exec.p8"), kKeyPassword), 0);
    ASSERT_EQ(LoadTrustedCertificates(engine_helper(), session), 0);
    for (int layer = 0; layer <= kMaxSignatureLayers; ++layer) {
      QL_SIGN_SET* set = session.NewSignatureSet();
      int code = session.AddSignerCertificate(set, quillon2::QL_LOOKUP_BYTES, pki.executor.der.constData(),
                                              static_cast<long>(pki.executor.der.size()));
      if (code == 0)
        code = session.SignFile(set, path("inbox/deep.sgn"), path("inbox/deep.next"), 0, SigningOptions{}, nullptr);
      session.FreeSignatureSet(set);
      ASSERT_EQ(code, 0);
      ASSERT_TRUE(QFile::remove(path("inbox/deep.sgn")));
      ASSERT_TRUE(QFile::rename(path("inbox/deep.next"), path("inbox/deep.sgn")));
    }
  }
  // A signed message without any signer.
  const QString noSigners = to_inbox(protect("s.doc", original, true, false), "s.doc.sgn");
  {
    const std::string der = text(noSigners);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(p7, nullptr);
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7);
    while (sk_PKCS7_SIGNER_INFO_num(infos) > 0) PKCS7_SIGNER_INFO_free(sk_PKCS7_SIGNER_INFO_pop(infos));
    unsigned char* out = nullptr;
    const int n = i2d_PKCS7(p7, &out);
    PKCS7_free(p7);
    ASSERT_GT(n, 0);
    write_file("inbox/s.doc.sgn", std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n)));
    OPENSSL_free(out);
  }
  // Signed and enveloped in one structure (no recipient, no signer: only
  // its kind matters).
  {
    static const unsigned char kBoth[] = {
        0x30, 0x33, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x04, 0xA0, 0x26, 0x30, 0x24, 0x02,
        0x01, 0x01, 0x31, 0x00, 0x31, 0x00, 0x30, 0x19, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07,
        0x01, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07, 0x05, 0x00, 0x31, 0x00};
    write_file("inbox/both.p7m", std::string(reinterpret_cast<const char*>(kBoth), sizeof kBoth));
  }
  RegistryKey ca;
  open_key(ca, "\\Certificats\\Ca");
  ASSERT_TRUE(ca.SetBinary("Other CA", pki.ca.der.constData(), static_cast<std::uint32_t>(pki.ca.der.size())));
  write_file("inbox/p.txt", "plain");
  write_file("inbox/bad.sga", "not an archive");
  write_file("inbox/next.txt", "after them all");
  // Decrypted, but a folder holds the decrypted file's name beside it.
  const QString blocked = to_inbox(protect("e.doc", original, false, true), "e.doc.enc");
  ASSERT_TRUE(QDir().mkpath(path("inbox/e.doc/x")));
  set_executor(pki.twin, "exec");
  write_file("keys/exec.p8", pki.executor.keyPkcs8);
  ASSERT_NO_FATAL_FAILURE(sort_failures());

  struct Row {
    QString file;
    MailOutcome outcome;
    bool secondRun = false;  // with the executor's own entry back
  };
  const Row rows[] = {
      {notMine, MailOutcome::kNotForExecutor},
      {damaged, MailOutcome::kDecryptionError},
      {twinSigned, MailOutcome::kUnconfirmed},
      {cut, MailOutcome::kNotSigned},
      {path("inbox/deep.sgn"), MailOutcome::kCheckError},
      {noSigners, MailOutcome::kNotSigned},
      {path("inbox/both.p7m"), MailOutcome::kUnsupported},
      {path("inbox/p.txt"), MailOutcome::kUnprotected},
      {path("inbox/bad.sga"), MailOutcome::kArchiveCheck},
      {path("inbox/next.txt"), MailOutcome::kUnprotected},
      {blocked, MailOutcome::kCannotCreate, true},
  };
  QStringList paths[2];
  std::vector<OutcomeCase> cases;
  for (const Row& r : rows) {
    paths[r.secondRun ? 1 : 0] << r.file;
    cases.push_back({r.file, r.outcome, text(r.file)});
  }
  forget_password();
  ScriptedUi ui;
  ui.queuePassword(std::string(kKeyPassword));
  const auto run1 = in(paths[0], ui, false, true);
  EXPECT_TRUE(run1->job.success);
  EXPECT_EQ(passwords(ui), 1) << "one key load for the messages addressed to the executor";
  set_executor(pki.executor, "exec");
  ScriptedUi ui2;
  ui2.queuePassword(std::string(kKeyPassword));
  const auto run2 = in(paths[1], ui2, false, true);
  EXPECT_TRUE(run2->job.success);
  std::vector<ScriptedUi::Message> boxes = ui.messages();
  boxes.insert(boxes.end(), ui2.messages().begin(), ui2.messages().end());
  expect_outcomes(cases, run1->attachments + run2->attachments, text(run1->job.resultText) + text(run2->job.resultText),
                  boxes, true);
  EXPECT_TRUE(work_root_entries().filter(QStringLiteral("~temp~")).isEmpty());
}

// The rows of a working file that changes between its check and its
// extraction: both read the same file in the run's own working folder, so
// only another program can make the second read fail. Here it replaces the
// file (a new file under its name) while the sorting asks about its missing
// result folder, after the signatures were confirmed. A signed file's
// document then cannot be extracted (the checker's text), an archive's
// members cannot be unpacked again. Each attachment comes back from the
// copy kept when it was taken up.
TEST_F(MailTest, ExtractionOutcomesFollowTheirRows) {
  class ReplacedAtSortQuestion : public ScriptedUi {
   public:
    QString root;
    int showMessage(const MessageRequest& request) override {
      if (request.text.contains(QStringLiteral("сортировки не существует")) && request.progress != nullptr)
        replace(request.progress->file());
      return ScriptedUi::showMessage(request);
    }
    QStringList replaced;

   private:
    void replace(const QString& file) {
      for (const QString& folder : QDir(root).entryList({"~temp~*"}, QDir::Dirs)) {
        const QString work = root + "/" + folder + "/" + file;
        if (!QFileInfo::exists(work)) continue;
        QFile garbage(work + ".new");
        if (!garbage.open(QIODevice::WriteOnly) || garbage.write("replaced after its check") < 0) return;
        garbage.close();
        if (::rename(QFile::encodeName(work + ".new").constData(), QFile::encodeName(work).constData()) == 0)
          replaced << file;
      }
    }
  };
  const std::string original = doc_text("x.doc", 64 * 1024);
  const QString sgn = to_inbox(protect("x.doc", original, true, false), "x.doc.sgn");
  set_log_options(1, 1, 1);
  const QString sga = to_inbox(protect("y.doc", original, true, false), "y.doc.sga");
  const std::vector<OutcomeCase> cases = {
      {sgn, MailOutcome::kExtractionError, text(sgn)},
      {sga, MailOutcome::kArchiveExtraction, text(sga)},
  };
  ASSERT_NO_FATAL_FAILURE(sort_failures());
  {
    RegistryKey key;
    open_key(key, "\\Sorting\\E_CHEK");
    ASSERT_TRUE(key.SetDword("Result", 1));
    ASSERT_TRUE(key.SetString("ResultPath", path("sorted/not-made").toStdString()));
  }
  ReplacedAtSortQuestion ui;
  ui.root = engine_helper().TmpRoot();
  // Per attachment: the signer's embedded certificate not imported, the
  // folder not made; last the archive row's box.
  for (const int answer : {IDNO, IDNO, IDNO, IDNO, IDOK}) ui.queueMessage(answer);
  const auto m = in({sgn, sga}, ui, true, true);
  EXPECT_TRUE(m->job.success);
  EXPECT_EQ(ui.replaced, (QStringList{"x.doc.sgn", "y.doc.sga"}));
  EXPECT_EQ(ui.unscripted(), 0);
  expect_outcomes(cases, m->attachments, text(m->job.resultText), ui.messages(), true);
  // The extraction row closes the progress display for the rest of the run.
  EXPECT_FALSE(ui.progressShown());
  EXPECT_TRUE(work_root_entries().filter(QStringLiteral("~temp~")).isEmpty());
}

// The table itself: every outcome has one row, and the rows that sort name
// a mail code.
TEST(MailOutcomeTable, OneRowPerOutcome) {
  int n = 0;
  for (const MailOutcomeRow& row : mail_outcome_table()) {
    EXPECT_EQ(&mail_outcome(row.outcome), &row);
    const std::string code = row.sortCode;
    EXPECT_TRUE(code.empty() || code == "E_UNENC" || code == "E_CHEK" || code == "E_DOC");
    EXPECT_NE(std::string(row.protocolText), "");
    ++n;
  }
  EXPECT_EQ(n, 11);
  EXPECT_STREQ(mail_outcome(MailOutcome::kCannotCreate).sortCode, "");
  EXPECT_TRUE(mail_outcome(MailOutcome::kUnprotected).restores);
}

// A cancel inside a decryption, and one seen before an attachment: that
// attachment comes back byte for byte and the protocol ends with the cancel.
TEST_F(MailTest, CancelsPutTheAttachmentBack) {
  const std::string original = doc_text("c.doc", 256 * 1024);
  const QString first = to_inbox(protect("a.doc", original, false, true), "a.doc.enc");
  const QString probe = to_inbox(protect("p.doc", original, false, true), "p.doc.enc");
  int steps = 0;
  {
    ScriptedUi ui;
    ui.queuePassword(std::string(kKeyPassword));
    const auto m = in({probe}, ui);
    ASSERT_TRUE(m->job.success);
    steps = ui.progressSteps();
    QFile::remove(m->job.resultText);
  }
  ASSERT_GE(steps, 2);
  const std::string cancelText = "\r\nГрупповая операция распаковки почты прервана пользователем!\n\n\n";
  {
    SCOPED_TRACE("inside the second decryption");
    const QString second = to_inbox(protect("b.doc", original, false, true), "b.doc.enc");
    write_file("inbox/c.txt", "third");
    const std::string secondBytes = text(second);
    ScriptedUi ui;
    ui.queuePassword(std::string(kKeyPassword));
    ui.cancelAtStep(steps + 1);
    const auto m = in({first, second, path("inbox/c.txt")}, ui);
    EXPECT_FALSE(m->job.success);
    EXPECT_EQ(m->attachments[0].processedName, path("inbox/a.doc"));
    EXPECT_EQ(text(path("inbox/a.doc")), original);
    EXPECT_EQ(text(second), secondBytes);
    EXPECT_EQ(m->attachments[1].processedName, second);
    EXPECT_EQ(m->attachments[1].errorText, "Групповая операция распаковки почты прервана пользователем!");
    EXPECT_EQ(m->attachments[2].processedName, QString()) << "not taken up";
    EXPECT_EQ(text(path("inbox/c.txt")), "third");
    const std::string protocol = text(m->job.resultText);
    ASSERT_GE(protocol.size(), cancelText.size());
    EXPECT_EQ(protocol.substr(protocol.size() - cancelText.size()), cancelText);
  }
  {
    SCOPED_TRACE("before the third attachment");
    class CancelAtFile : public ScriptedUi {
     public:
      void progressFile(OperationProgress& progress) override {
        ScriptedUi::progressFile(progress);
        if (progress.file() == "c.doc.enc") progress.cancel();
      }
    } ui;
    QDir(path("inbox")).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(path("inbox")));
    const QString a = to_inbox(protect("a.doc", original, false, true), "a.doc.enc");
    write_file("inbox/b.txt", "second");
    const QString c = to_inbox(protect("c.doc", original, false, true), "c.doc.enc");
    const std::string cBytes = text(c);
    ui.queuePassword(std::string(kKeyPassword));
    const auto m = in({a, path("inbox/b.txt"), c}, ui);
    EXPECT_FALSE(m->job.success);
    EXPECT_EQ(text(path("inbox/a.doc")), original);
    EXPECT_EQ(text(c), cBytes);
    EXPECT_EQ(m->attachments[2].processedName, c);
    EXPECT_EQ(m->attachments[2].status, 0);
    const std::string protocol = text(m->job.resultText);
    ASSERT_GE(protocol.size(), cancelText.size());
    EXPECT_EQ(protocol.substr(protocol.size() - cancelText.size()), cancelText);
  }
  EXPECT_TRUE(work_root_entries().filter(QStringLiteral("~temp~")).isEmpty());
}

// The toolkit decrypts a message without ".enc" into a name of its own:
// cancelled midway, the attachment is whole, and no key stays loaded.
TEST_F(MailTest, SmimeCancelledMidDecryptionIsIntact) {
  const std::string original = doc_text("smime", 256 * 1024);
  const QString attachment = to_inbox(protect("m.doc", original, false, true), "smime.p7m");
  const std::string bytes = text(attachment);
  ScriptedUi ui;
  ui.queuePassword(std::string(kKeyPassword));
  ui.cancelAtStep(2);
  const auto m = in({attachment}, ui);
  EXPECT_FALSE(m->job.success);
  EXPECT_EQ(text(attachment), bytes);
  EXPECT_EQ(m->attachments[0].processedName, attachment);
  EXPECT_EQ(QDir(path("inbox")).entryList(QDir::Files), QStringList{"smime.p7m"});
  EXPECT_TRUE(work_root_entries().filter(QStringLiteral("~temp~")).isEmpty());
  // No key left: a decryption without loading one fails.
  CryptoSession& session = global_crypto_session();
  SessionHold hold(session);
  hold.Open();
  EXPECT_NE(session.DecryptFile(attachment, path("plain.out"), nullptr), 0);
}

TEST_F(MailTest, SortingOnAFreshRegistryLosesAndSortsNothing) {
  const std::string original = "sorted nowhere\n";
  const QString a = to_inbox(protect("a.doc", original, true, true), "a.doc.sgn.enc");
  write_file("inbox/p.txt", "plain");
  ScriptedUi ui;
  ui.queuePassword(std::string(kKeyPassword));
  const auto m = in({a, path("inbox/p.txt")}, ui, true, true);
  EXPECT_TRUE(m->job.success);
  EXPECT_EQ(text(path("inbox/a.doc")), original);
  EXPECT_EQ(text(path("inbox/p.txt")), "plain");
  EXPECT_EQ(QDir(path("inbox")).entryList(QDir::Files), (QStringList{"a.doc", "p.txt"}));
  EXPECT_EQ(ui.unscripted(), 0);
}

// --- the protocol's clean-up ---

TEST_F(MailTest, OldProtocolsAreRemovedYoungOnesKept) {
  EngineHelper& h = engine_helper();
  const QString root = h.TmpRoot();
  ASSERT_FALSE(root.isEmpty());
  const QDateTime now = QDateTime::currentDateTime();
  const auto plant = [&](const QString& name, qint64 ageSecs) {
    const QString p = root + "/" + name;
    QFile f(p);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("protocol");
    f.close();
    const QDateTime t = now.addSecs(-ageSecs);
    EXPECT_TRUE(f.open(QIODevice::ReadWrite));
    EXPECT_TRUE(f.setFileTime(t, QFileDevice::FileModificationTime));
    f.close();
    return p;
  };
  const QString old1 = plant("DSM_Protocol.txt", 25 * 3600);
  const QString old2 = plant("DSM_Protocol[1].txt", 48 * 3600);
  const QString young = plant("DSM_Protocol[2].txt", 23 * 3600);
  const QString other = plant("notes.txt", 72 * 3600);
  // A link under a protocol's name to an old file elsewhere: neither goes.
  write_file("elsewhere.txt", "not ours to remove");
  ASSERT_EQ(::symlink(path("elsewhere.txt").toLocal8Bit().constData(),
                      (root + "/DSM_Protocol[3].txt").toLocal8Bit().constData()),
            0);
  EXPECT_EQ(h.RemoveOldMailProtocols(now), 2);
  EXPECT_FALSE(QFileInfo::exists(old1));
  EXPECT_FALSE(QFileInfo::exists(old2));
  EXPECT_TRUE(QFileInfo::exists(young));
  EXPECT_TRUE(QFileInfo::exists(other));
  EXPECT_TRUE(QFileInfo(root + "/DSM_Protocol[3].txt").isSymLink());
  EXPECT_EQ(text(path("elsewhere.txt")), "not ours to remove");

  // ClearTmpRoot and every MailUnpack start do the same.
  const QString again = plant("DSM_Protocol.txt", 30 * 3600);
  h.ClearTmpRoot();
  EXPECT_FALSE(QFileInfo::exists(again));
  const QString third = plant("DSM_Protocol[5].txt", 30 * 3600);
  SetMailClock([now] { return now; });
  write_file("inbox/p.txt", "plain");
  ScriptedUi ui;
  const auto m = in({path("inbox/p.txt")}, ui);
  EXPECT_FALSE(QFileInfo::exists(third));
  EXPECT_TRUE(QFileInfo::exists(young));
  EXPECT_TRUE(QFileInfo::exists(m->job.resultText));
}

// --- the job's release ---

TEST_F(MailTest, DoneIsReleasedOnceOnEveryPath) {
  write_file("out/a.doc", "release");
  struct Row {
    const char* what;
    Op op;
    bool sign, encrypt;
    bool attachments;  // else a null list
    bool throwAtFirst;
    bool noExecutor;
    bool success;
  };
  const Row rows[] = {
      {"out: neither word", Op::kOut, false, false, true, false, false, true},
      {"out: null lists", Op::kOut, true, false, false, false, false, false},
      {"out: exception at an attachment", Op::kOut, true, false, true, true, false, false},
      {"out: no executor", Op::kOut, true, true, true, false, true, false},
      {"in: null list", Op::kIn, false, false, false, false, false, false},
      {"in: exception at an attachment", Op::kIn, false, false, true, true, false, false},
      {"in: no executor", Op::kIn, false, false, true, false, true, false},
      {"in: plain attachment", Op::kIn, false, false, true, false, false, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    if (r.noExecutor) {
      RegistryKey owner;
      open_key(owner, "\\Certificats\\Owner");
      ASSERT_TRUE(owner.SetString("Owner", "nobody"));
    }
    set_mail_attachment_hook(r.throwAtFirst ? std::function<void(int)>([](int) { throw std::runtime_error("forced"); })
                                            : nullptr);
    ScriptedUi ui;
    ui.queuePassword(std::string(kKeyPassword));
    QList<AttachmentRecord> attachments{{path("out/a.doc"), {}, {}, 1}};
    QList<RecipientPair> recipients{{kOne, {}}};
    MailJob job;
    job.attachments = r.attachments ? &attachments : nullptr;
    job.recipients = r.attachments ? &recipients : nullptr;
    job.sign = r.sign;
    job.encrypt = r.encrypt;
    job.success = !r.success;  // the routine writes it
    EXPECT_TRUE(run_mail(r.op, job, ui));
    EXPECT_EQ(job.success, r.success);
    EXPECT_TRUE(QFileInfo::exists(path("out/a.doc"))) << "nothing lost";
    set_mail_attachment_hook(nullptr);
    if (r.noExecutor) {
      ASSERT_NO_FATAL_FAILURE(set_executor(operation_pki().executor, "exec"));
    }
  }
  EXPECT_TRUE(work_root_entries().filter(QStringLiteral("~temp~")).isEmpty());
}

// Two messages at once: the operation lock runs the second after the first
// and both end right.
TEST_F(MailTest, TwoRunsAtOnceBothEndRight) {
  const std::string original = "two at once\n";
  const QString enc = to_inbox(protect("i.doc", original, false, true), "i.doc.enc");
  write_file("out/o.doc", original);
  ScriptedUi inUi, outUi;
  inUi.queuePassword(std::string(kKeyPassword));
  outUi.queuePassword(std::string(kKeyPassword));
  Mail incoming({enc}, {});
  Mail outgoing({path("out/o.doc")}, {{kOne, {}}});
  outgoing.job.sign = true;
  bool inOk = false, outOk = false;
  const int before = mail_done_releases();
  std::thread a([&] { inOk = run_mail(Op::kIn, incoming.job, inUi, false); });
  std::thread b([&] { outOk = run_mail(Op::kOut, outgoing.job, outUi, false); });
  a.join();
  b.join();
  EXPECT_TRUE(inOk);
  EXPECT_TRUE(outOk);
  EXPECT_EQ(mail_done_releases() - before, 2);
  EXPECT_TRUE(incoming.job.success);
  EXPECT_TRUE(outgoing.job.success);
  EXPECT_EQ(text(path("inbox/i.doc")), original);
  QString protocol;
  EXPECT_EQ(VerifyFile(path("out/o.doc.sgn"), protocol), kOpOk);
}

// An RSA recipient opens an outgoing message with the stock openssl
// command. The bulk cipher is RUS-GAMMAR, which `openssl cms -decrypt`
// looks up only among its built-in ciphers and refuses; the recipient's
// stock command still opens it in two steps: `pkeyutl -decrypt` unwraps its
// copy of the content key, `enc -d -rus-gammar` (provider module) the
// content. The signed file inside verifies with the stock `cms -verify`.
TEST_F(MailTest, RsaRecipientOpensWithStockOpenssl) {
#ifndef DOSSAR_OPENSSL_PROGRAM
  if (under_ci()) FAIL() << "the openssl command is not installed";
  GTEST_SKIP() << "the openssl command is not installed";
#else
  const test_support::ProgramResult version = test_support::run_program({DOSSAR_OPENSSL_PROGRAM, "version"});
  if (version.status != 0) {
    if (under_ci()) FAIL() << "openssl does not start: " << version.output;
    GTEST_SKIP() << "openssl does not start: " << version.output;
  }
  const auto run_openssl = [](std::vector<std::string> args) {
    return test_support::run_openssl_with_module(DOSSAR_OPENSSL_PROGRAM, DOSSAR_PROVIDER_DIR, std::move(args));
  };
  ASSERT_NO_FATAL_FAILURE(use(true));
  const OperationPki& pki = operation_pki(true);
  set_enc_owner(0);
  const std::string plain = "an RSA reader's attachment\n";
  write_file("out/a.doc", plain);
  ScriptedUi ui;
  ui.queuePassword(std::string(kKeyPassword));
  const auto m = out({path("out/a.doc")}, {{kOne, {}}}, true, true, ui);
  ASSERT_TRUE(m->job.success);
  ASSERT_EQ(m->attachments[0].processedName, path("out/a.doc.sgn.enc"));

  // The recipient's encrypted key, the IV and the content of the envelope.
  Envelope e;
  ASSERT_TRUE(open_envelope(text(path("out/a.doc.sgn.enc")), 0x61, e));
  ASSERT_FALSE(e.iv.empty());
  const QString key = pem_file(pki.user1.keyPem, QStringLiteral("reader.key"));
  std::string cek;
  ASSERT_NO_FATAL_FAILURE(stock_unwrap_key(DOSSAR_OPENSSL_PROGRAM, e, key, cek));
  const test_support::ProgramResult decrypted =
      stock_decrypt_content(DOSSAR_OPENSSL_PROGRAM, DOSSAR_PROVIDER_DIR, e, cek, path("opened.sgn"));
  ASSERT_EQ(decrypted.status, 0) << decrypted.output;
  // The decrypted file is the signed file left beside the attachment.
  EXPECT_EQ(text(path("opened.sgn")), text(path("out/a.doc.sgn")));
  const test_support::ProgramResult verified = run_openssl(
      {"cms", "-verify", "-binary", "-inform", "DER", "-CAfile", pem_file(pki.ca.certPem, "ca.pem").toStdString(),
       "-certfile", pem_file(pki.executor.certPem, "exec.pem").toStdString(), "-in", path("opened.sgn").toStdString(),
       "-out", path("verified.bin").toStdString()});
  EXPECT_EQ(verified.status, 0) << verified.output;
  EXPECT_EQ(text(path("verified.bin")), plain);
#endif
}

#ifdef DOSSAR_DSENGINE
// The command line's verbs: the password from a descriptor, the recipient's
// certificate from a PEM file, every attachment's outcome printed.
TEST_F(MailTest, DsengineMailVerbs) {
  const OperationPki& pki = operation_pki();
  const std::string original = "from the command line\n";
  write_file("out/a.doc", original);
  const QString pem = pem_file(pki.user2.certPem, "two.pem");
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const std::string password = std::string(kKeyPassword) + "\n";
  ASSERT_EQ(::write(pipeFds[1], password.data(), password.size()), ssize_t(password.size()));
  ::close(pipeFds[1]);
  test_support::ProgramOptions options;
  options.separate_errors = true;
  const test_support::ProgramResult sent =
      test_support::run_program({DOSSAR_DSENGINE, "mail-sign-encrypt", "--attach=" + path("out/a.doc").toStdString(),
                                 "--recipient=new@example.org:" + pem.toStdString(), "--sign", "--encrypt",
                                 "--password-fd=" + std::to_string(pipeFds[0])},
                                options);
  ::close(pipeFds[0]);
  EXPECT_EQ(sent.status, 0) << sent.output << sent.errors;
  EXPECT_EQ(sent.output, "attachment=" + path("out/a.doc").toStdString() + "\nprocessed=" +
                             path("out/a.doc.sgn.enc").toStdString() + "\nstatus=1\nerror=\nsuccess=1\n");

  write_file("inbox/p.txt", "plain");
  const test_support::ProgramResult opened = test_support::run_program(
      {DOSSAR_DSENGINE, "mail-unpack", "--attach=" + path("inbox/p.txt").toStdString()}, options);
  EXPECT_EQ(opened.status, 0) << opened.output << opened.errors;
  const std::string head =
      "attachment=" + path("inbox/p.txt").toStdString() + "\nprocessed=" + path("inbox/p.txt").toStdString() +
      "\nstatus=0\nerror=Документ не защищен или испорчен.\nprotocol=" + engine_helper().TmpRoot().toStdString() +
      "/DSM_Protocol";
  EXPECT_EQ(opened.output.substr(0, head.size()), head) << opened.output;
  EXPECT_NE(opened.output.find("\nprotocol-error=0\nsuccess=1\n"), std::string::npos) << opened.output;

  const test_support::ProgramResult help = test_support::run_program({DOSSAR_DSENGINE, "--help"}, options);
  EXPECT_NE(help.output.find("mail-sign-encrypt"), std::string::npos);
  EXPECT_NE(help.output.find("mail-unpack"), std::string::npos);
}
#endif

}  // namespace
}  // namespace dsutils::testing
