// UnpackGroup end to end over the real toolkit: one mixed group of files,
// the summary's exact bytes and counters, the one key load, the two ways a
// run is cancelled, and the early ends. After every run the working root is
// empty and every source that stays has its bytes.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <functional>
#include <map>
#include <string>

#include "dsutils/engine/unpack_file.h"
#include "platform/registry/registry_key.h"
#include "platform/registry/registry_store.h"
#include "quillon2/ql_codes.h"
#include "tests/dsutils/unpack_fixture.h"
#include "tests/support/gost_pki.h"
#include "tests/support/run_program.h"

namespace dsutils::testing {
namespace {

namespace ql = quillon2;
using platform::reg::RegistryKey;

const std::string kDocument = "the group's document\nline two\n";

// The summaries as the person reads them, written out in full.
const char* const kFormC =
    "\r\nГрупповая операция распаковки завершена!\r\n\r\nВсего файлов: 9\r\n   зашифрованных - 4\r\n   подписанных - "
    "3\r\n   незащищенных - 2\r\n   испорченных - 0\r\n\r\nОперации криптообработки:\r\n   расшифрование - 3\r\n   "
    "проверка подписи - 3\r\n   извлечение - 3\r\n\r\nФайлы с ошибками:\r\n   при расшифровании - 1\r\n   при проверке "
    "подписи - 3\r\n";
const char* const kFormA =
    "\r\nГрупповая операция распаковки прервана пользователем!\n\nВсего файлов: 3\r\n   зашифрованных - 0\r\n   "
    "подписанных - 1\r\n   незащищенных - 0\r\n   испорченных - 0\r\n\r\nОперации криптообработки:\r\n   "
    "расшифрование - 0\r\n   проверка подписи - 1\r\n   извлечение - 0\r\n\r\nФайлы с ошибками:\r\n   при "
    "расшифровании - 0\r\n   при проверке подписи - 0\r\n";
const char* const kFormB =
    "\r\nГрупповая операция распаковки прервана пользователем!\n\nВсего файлов: 1\r\n   зашифрованных - 1\r\n   "
    "подписанных - 0\r\n   незащищенных - 0\r\n   испорченных - 0\r\n\r\nФайлы, прошедшие криптообработку:\r\n   "
    "расшифрованные - 0\r\n   с проверенной подписью - 0\r\n\r\nФайлы с ошибками:\r\n   при расшифровании - 0\r\n   "
    "при проверке подписи - 0\r\n";

TEST(UnpackDecision, Table) {
  struct Row {
    int kind;
    bool decrypted, verified, sga;
    UnpackStep step;
  };
  const Row rows[] = {
      {-1, false, false, false, UnpackStep::kKindUnreadable},
      {-1, false, true, false, UnpackStep::kKindUnreadable},
      {ql::QL_KIND_SIGNED_ENVELOPED, false, false, false, UnpackStep::kUnsupported},
      {ql::QL_KIND_SIGNED_ENVELOPED, true, false, false, UnpackStep::kUnsupported},
      {ql::QL_KIND_ENVELOPED, false, false, false, UnpackStep::kDecrypt},
      {ql::QL_KIND_ENVELOPED, true, false, false, UnpackStep::kDecrypt},
      {ql::QL_KIND_SIGNED, false, false, false, UnpackStep::kVerify},
      {ql::QL_KIND_SIGNED, true, false, false, UnpackStep::kVerify},
      {ql::QL_KIND_OTHER, false, false, true, UnpackStep::kVerify},
      {ql::QL_KIND_OTHER, true, false, true, UnpackStep::kVerify},
      {ql::QL_KIND_OTHER, false, false, false, UnpackStep::kUnprotected},
      {ql::QL_KIND_OTHER, true, false, false, UnpackStep::kDecryptedOnly},
      // Once verified, the document comes out whatever the file reads as.
      {ql::QL_KIND_SIGNED, false, true, false, UnpackStep::kExtract},
      {ql::QL_KIND_OTHER, false, true, true, UnpackStep::kExtract},
      {ql::QL_KIND_ENVELOPED, true, true, false, UnpackStep::kExtract},
  };
  for (const Row& r : rows)
    EXPECT_EQ(DecideUnpackStep(r.kind, r.decrypted, r.verified, r.sga), r.step)
        << r.kind << r.decrypted << r.verified << r.sga;
}

TEST(UnpackGroupSummaryText, FormsByteForByte) {
  EXPECT_EQ(UnpackGroupSummary('C', 9, 4, 3, 2, 3, 3, 3, 1, 3).toStdString(), kFormC);
  EXPECT_EQ(UnpackGroupSummary('A', 3, 0, 1, 0, 0, 1, 0, 0, 0).toStdString(), kFormA);
  // Form B has no extraction line: the 7 given for it shows nowhere.
  EXPECT_EQ(UnpackGroupSummary('B', 1, 1, 0, 0, 0, 0, 7, 0, 0).toStdString(), kFormB);
}

// Cancels the run when the progress display turns to the named file.
class CancelAtFile : public ScriptedUi {
 public:
  explicit CancelAtFile(QString file) : file_(std::move(file)) {}
  void progressFile(OperationProgress& progress) override {
    ScriptedUi::progressFile(progress);
    if (progress.file() == file_) progress.cancel();
  }

 private:
  QString file_;
};

class UnpackGroupTest : public UnpackFixture {
 protected:
  void SetUp() override {
    UnpackFixture::SetUp();
    ASSERT_TRUE(QDir().mkpath(path("docs")));
    ASSERT_TRUE(QDir().mkpath(path("keys")));
    const auto key = test_support::encrypted_pkcs8(partyA().key.get(), "pw-a");
    write_file("keys/a.p8", std::string(key.begin(), key.end()));
    set_owner(bytes(partyA().der), path("keys/a.p8"));
    directory_user("2A", bytes(partyA().der));
  }
  void unpack_document(int value) {
    RegistryKey key;
    open_key(key, "\\Property\\Log");
    key.SetDword("UnPackDoc", static_cast<std::uint32_t>(value));
  }
  void make_signed(const QString& document, const QString& out) {
    write_file(document, kDocument);
    ASSERT_EQ(sign(path(document), path(out), {&partyA()}, true), ql::QL_OK);
    ASSERT_TRUE(QFile::remove(path(document)));
  }
  void make_encrypted(const QString& document, const QString& out, const test_support::Party& to) {
    write_file(document, kDocument);
    ASSERT_EQ(encrypt(path(document), path(out), to), ql::QL_OK);
    ASSERT_TRUE(QFile::remove(path(document)));
  }
  void make_sga(const QString& document, const QString& archive) {
    write_file(document, kDocument);
    ASSERT_EQ(sign(path(document), path(document + ".1"), {&partyA()}, true, 1), ql::QL_OK);
    ASSERT_EQ(engine_helper().WriteSignatureList(path(document), path(archive)), 1);
    for (const QString& f : {document, document + ".1", QStringLiteral("docs/_list_._vt")}) QFile::remove(path(f));
  }

  struct Outcome {
    int value = -1;
    int result = -1;
    int unpackDocument = -1;
  };
  // Runs the group; every source given in `kept` must afterwards hold its
  // bytes of before.
  Outcome run(const QStringList& files, EngineUi& ui, bool automatic = false) {
    std::map<QString, std::string> before;
    for (const QString& f : files)
      if (QFileInfo::exists(f)) before[f] = read_file(f);
    OperationJob job;
    job.files = files;
    job.automatic = automatic;
    job.unpackDocument = -1;
    Outcome o;
    {
      const OperationUiScope scope(&ui);
      o.value = UnpackGroup(&job);
    }
    o.result = job.result;
    o.unpackDocument = job.unpackDocument;
    const QDir root(engine_helper().TmpRoot());
    EXPECT_TRUE(root.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden).isEmpty())
        << root.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden).join(",").toStdString();
    for (const auto& [f, bytes] : before) EXPECT_EQ(read_file(f), bytes) << f.toStdString();
    return o;
  }
  static int calls(const ScriptedUi& ui, const char* kind) {
    int n = 0;
    for (const auto& c : ui.calls()) n += c == kind ? 1 : 0;
    return n;
  }
  QString log() const { return QString::fromUtf8(read_file(path("events.log"))); }
};

// The mixed group: every kind of file once, in one interactive run.
TEST_F(UnpackGroupTest, MixedGroupCountsAndSummary) {
  unpack_document(1);
  make_encrypted("docs/a.txt", "docs/a.txt.enc", partyA());
  make_encrypted("docs/xdoc", "docs/x", partyA());
  make_encrypted("docs/b.txt", "docs/b.txt.enc", partyB());
  make_signed("docs/s.txt", "docs/s.txt.sgn");
  make_sga("docs/d.txt", "docs/d.sga");
  make_signed("docs/e.txt", "docs/e.txt.sgn");
  ASSERT_EQ(encrypt(path("docs/e.txt.sgn"), path("docs/e.txt.sgn.enc"), partyA()), ql::QL_OK);
  ASSERT_TRUE(QFile::remove(path("docs/e.txt.sgn")));
  write_file("docs/plain.txt", "just text");
  write_file("docs/both.p7",
             std::string("\x30\x80\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x04\xA0\x80\x30\x00\x00\x00\x00\x00", 21));
  {
    make_signed("docs/t.txt", "docs/t.sgn");
    std::string b = read_file(path("docs/t.sgn"));
    const std::size_t at = b.find("line two");
    ASSERT_NE(at, std::string::npos);
    b[at] = 'L';
    write_file("docs/tampered.sgn", b);
    ASSERT_TRUE(QFile::remove(path("docs/t.sgn")));
  }
  restart_toolkit(false);
  QStringList files;
  for (const char* f : {"docs/a.txt.enc", "docs/x", "docs/b.txt.enc", "docs/s.txt.sgn", "docs/d.sga",
                        "docs/e.txt.sgn.enc", "docs/plain.txt", "docs/both.p7", "docs/tampered.sgn"})
    files << path(f);
  ScriptedUi ui;
  ui.queueMessage(IDYES);  // the group question
  ui.queuePassword("pw-a");
  ui.queueMessage(IDOK);  // the summary
  const Outcome o = run(files, ui);
  EXPECT_EQ(o.value, 1);
  EXPECT_EQ(o.result, kOpFinishedWithErrors);
  EXPECT_EQ(o.unpackDocument, 1);
  ASSERT_EQ(ui.messages().size(), 2u);
  EXPECT_EQ(ui.messages()[0].text.toStdString(), "\nРаспаковать группу файлов ?\nВсего файлов: 9");
  EXPECT_EQ(ui.messages()[1].text.toStdString(), kFormC);
  // Three files for the executor, one password; no dialog per file.
  EXPECT_EQ(calls(ui, "password"), 1);
  EXPECT_EQ(calls(ui, "decrypt"), 0);
  EXPECT_EQ(calls(ui, "verifyProtocol"), 0);
  EXPECT_EQ(ui.unscripted(), 0);
  EXPECT_EQ(read_file(path("docs/a.txt")), kDocument);
  EXPECT_EQ(read_file(path("docs/x[1]")), kDocument);
  EXPECT_EQ(read_file(path("docs/s.txt")), kDocument);
  EXPECT_EQ(read_file(path("docs/d.txt")), kDocument);
  EXPECT_EQ(read_file(path("docs/e.txt")), kDocument);
  EXPECT_FALSE(QFileInfo::exists(path("docs/b.txt")));
  EXPECT_FALSE(QFileInfo::exists(path("docs/t.txt")));
  const QString text = log();
  EXPECT_TRUE(text.contains(QString::fromUtf8(kFormC)));
  EXPECT_TRUE(text.contains(QStringLiteral("Документ зашифрован не на исполнителя. \r\nДокумент: ")));
}

// Small groups: the question only from two files on, UnPackDoc copied into
// the job, the early ends with their codes.
TEST_F(UnpackGroupTest, SmallGroupsTable) {
  make_signed("docs/s1.txt", "docs/s1.txt.sgn");
  make_signed("docs/s2.txt", "docs/s2.txt.sgn");
  make_encrypted("docs/b.txt", "docs/b.txt.enc", partyB());
  restart_toolkit(false);
  struct Row {
    const char* what;
    std::function<void()> setup;
    QStringList files;
    std::function<void(ScriptedUi&)> script;
    int value, result;
    int messages;        // boxes shown
    const char* logged;  // a text the log holds, or null
    int unpackDocument;  // the job's word afterwards
    bool automatic = false;
  };
  const QString s1 = path("docs/s1.txt.sgn"), s2 = path("docs/s2.txt.sgn"), b = path("docs/b.txt.enc");
  const Row rows[] = {
      {"one file: no question, UnPackDoc 0 verifies only",
       [this] { unpack_document(0); },
       {s1},
       [](ScriptedUi& u) { u.queueMessage(IDOK); },
       1,
       kOpOk,
       1,
       "Документ проверен!\r\nПодписанный документ: s1.txt.sgn",
       0},
      {"two files: the question with 2, declined",
       [this] { unpack_document(1); },
       {s1, s2},
       [](ScriptedUi& u) { u.queueMessage(IDNO); },
       0,
       kOpCancelled,
       1,
       nullptr,
       -1},
      {"two files, automatic: no box at all",
       [this] { unpack_document(1); },
       {s1, s2},
       [](ScriptedUi&) {},
       1,
       kOpOk,
       0,
       "извлечение - 2",
       1,
       true},
      {"for another recipient only: no key touched",
       [] {},
       {b},
       [](ScriptedUi& u) { u.queueMessage(IDOK); },
       1,
       kOpFinishedWithErrors,
       1,
       "при расшифровании - 1",
       1},
      {"no files", [] {}, {}, [](ScriptedUi& u) { u.queueMessage(IDOK); }, 0, kOpNoFiles, 1, nullptr, -1},
      {"no executor",
       [] {
         platform::reg::Store::current_user()->delete_tree(platform::reg::Store::kRoot,
                                                           std::string(kProductKey) + "\\Certificats\\Owner");
       },
       {s1},
       [](ScriptedUi& u) { u.queueMessage(IDOK); },
       0,
       kOpNoExecutorInDirectory,
       1,
       nullptr,
       -1},
  };
  for (const Row& row : rows) {
    row.setup();
    ScriptedUi ui;
    row.script(ui);
    const Outcome o = run(row.files, ui, row.automatic);
    EXPECT_EQ(o.value, row.value) << row.what;
    EXPECT_EQ(o.result, row.result) << row.what;
    EXPECT_EQ(static_cast<int>(ui.messages().size()), row.messages) << row.what;
    EXPECT_EQ(o.unpackDocument, row.unpackDocument) << row.what;
    EXPECT_EQ(calls(ui, "password") + calls(ui, "keyMedium"), 0) << row.what;
    if (row.logged != nullptr) {
      EXPECT_TRUE(log().contains(QString::fromUtf8(row.logged))) << row.what;
    }
    if (row.result == kOpNoFiles) {
      EXPECT_EQ(ui.messages()[0].text.toStdString(), "Не выбраны файлы для распаковки!");
    }
    if (row.files.size() == 2 && !row.automatic) {
      EXPECT_EQ(ui.messages()[0].text.toStdString(), "\nРаспаковать группу файлов ?\nВсего файлов: 2") << row.what;
    }
    QFile::remove(path("docs/s1.txt"));
    QFile::remove(path("docs/s2.txt"));
  }
}

// A cancel noticed before the second of three files: form A with the first
// file's counts, 184, and the second file back in its place untouched.
TEST_F(UnpackGroupTest, CancelBeforeTheSecondFile) {
  unpack_document(0);
  make_signed("docs/s1.txt", "docs/s1.txt.sgn");
  make_signed("docs/s2.txt", "docs/s2.txt.sgn");
  make_signed("docs/s3.txt", "docs/s3.txt.sgn");
  restart_toolkit(false);
  const std::string second = read_file(path("docs/s2.txt.sgn"));
  CancelAtFile ui(QStringLiteral("s2.txt.sgn"));
  ui.queueMessage(IDYES);
  ui.queueMessage(IDOK);
  const Outcome o = run({path("docs/s1.txt.sgn"), path("docs/s2.txt.sgn"), path("docs/s3.txt.sgn")}, ui);
  EXPECT_EQ(o.value, 0);
  EXPECT_EQ(o.result, kOpCancelled);
  ASSERT_EQ(ui.messages().size(), 2u);
  EXPECT_EQ(ui.messages()[1].text.toStdString(), kFormA);
  EXPECT_EQ(read_file(path("docs/s2.txt.sgn")), second);
  EXPECT_TRUE(log().contains(QString::fromUtf8(kFormA)));
}

// A cancel inside the decryption: form B, the source back untouched.
TEST_F(UnpackGroupTest, CancelInsideTheDecryption) {
  make_encrypted("docs/a.txt", "docs/a.txt.enc", partyA());
  restart_toolkit(false);
  ScriptedUi ui;
  ui.queuePassword("pw-a");
  ui.queueMessage(IDOK);
  ui.cancelAtStep(1);
  const Outcome o = run({path("docs/a.txt.enc")}, ui);
  EXPECT_EQ(o.value, 0);
  EXPECT_EQ(o.result, kOpCancelled);
  ASSERT_EQ(ui.messages().size(), 1u);
  EXPECT_EQ(ui.messages()[0].text.toStdString(), kFormB);
  EXPECT_TRUE(QFileInfo::exists(path("docs/a.txt.enc")));
  EXPECT_FALSE(QFileInfo::exists(path("docs/a.txt")));
}

// A registry with no Sorting key: every source stays where it was, the
// documents come out beside them.
TEST_F(UnpackGroupTest, FreshRegistryKeepsEverySource) {
  make_signed("docs/s1.txt", "docs/s1.txt.sgn");
  make_encrypted("docs/a.txt", "docs/a.txt.enc", partyA());
  write_file("docs/plain.txt", "plain");
  restart_toolkit(false);
  platform::reg::Store::current_user()->delete_tree(platform::reg::Store::kRoot,
                                                    std::string(kProductKey) + "\\Sorting");
  unpack_document(1);
  ScriptedUi ui;
  ui.queueMessage(IDYES);
  ui.queuePassword("pw-a");
  ui.queueMessage(IDOK);
  const QStringList files{path("docs/s1.txt.sgn"), path("docs/a.txt.enc"), path("docs/plain.txt")};
  const Outcome o = run(files, ui);
  EXPECT_EQ(o.result, kOpFinishedWithErrors);
  for (const QString& f : files) EXPECT_TRUE(QFileInfo::exists(f)) << f.toStdString();
  EXPECT_EQ(read_file(path("docs/s1.txt")), kDocument);
  EXPECT_EQ(read_file(path("docs/a.txt")), kDocument);
}

// The revocation lists are read when a run starts: a list that revokes the
// signer, put into the folder between two runs in one session, fails the
// second run's verification, though the first passed with the same signer.
TEST_F(UnpackGroupTest, ARevocationListAddedBetweenTwoRunsIsHonouredByTheSecond) {
  unpack_document(1);
  make_signed("docs/s1.txt", "docs/s1.txt.sgn");
  make_signed("docs/s2.txt", "docs/s2.txt.sgn");
  ASSERT_TRUE(QDir().mkpath(path("crl")));
  {
    RegistryKey crl;
    open_key(crl, "\\Certificats\\CRL");
    ASSERT_TRUE(crl.SetDword("IsUse", 1));
    ASSERT_TRUE(crl.SetString("Path", path("crl").toStdString()));
  }
  restart_toolkit(false);
  struct Turn {
    const char* file;
    long revoked;  // the serial the folder's list revokes before the run, 0: no list
    int result;
  };
  const Turn turns[] = {{"docs/s1.txt.sgn", 0, kOpOk}, {"docs/s2.txt.sgn", 0x2A, kOpFinishedWithErrors}};
  for (const Turn& t : turns) {
    SCOPED_TRACE(t.file);
    if (t.revoked != 0) {
      const qcrypto::UniquePtr<X509_CRL> list(
          test_support::gost_make_crl(test_ca_certificate(), test_ca_key(), {t.revoked}));
      ASSERT_TRUE(list);
      const std::vector<unsigned char> der = test_support::to_der(list.get());
      write_file("crl/ca.crl", std::string(der.begin(), der.end()));
    }
    ScriptedUi ui;
    const Outcome o = run({path(t.file)}, ui, true);
    EXPECT_EQ(o.result, t.result);
    EXPECT_EQ(QFileInfo::exists(path(QString::fromLatin1(t.file).chopped(4))), t.result == kOpOk);
  }
}

#ifdef DOSSAR_DSENGINE
// dsengine unpack-group in an automatic run: the documents come out, the
// plain file makes the result 10008, and nothing asks.
TEST_F(UnpackGroupTest, DsengineUnpackGroup) {
  {
    RegistryKey ca;
    open_key(ca, "\\Certificats\\Ca");
    const std::vector<unsigned char> der = test_support::to_der(test_ca_certificate());
    ASSERT_TRUE(ca.SetBinary("ca", der.data(), static_cast<std::uint32_t>(der.size())));
  }
  unpack_document(1);
  make_signed("docs/s1.txt", "docs/s1.txt.sgn");
  make_signed("docs/s2.txt", "docs/s2.txt.sgn");
  write_file("docs/plain.txt", "plain");
  test_support::ProgramOptions options;
  options.separate_errors = true;
  const auto r =
      test_support::run_program({DOSSAR_DSENGINE, "unpack-group", "--auto", path("docs/s1.txt.sgn").toStdString(),
                                 path("docs/s2.txt.sgn").toStdString(), path("docs/plain.txt").toStdString()},
                                options);
  EXPECT_EQ(r.status, 1) << r.output << r.errors;
  EXPECT_EQ(r.output, "result=10008\n");
  EXPECT_EQ(read_file(path("docs/s1.txt")), kDocument);
  EXPECT_EQ(read_file(path("docs/s2.txt")), kDocument);
  EXPECT_EQ(read_file(path("docs/plain.txt")), "plain");
  EXPECT_TRUE(log().contains(QStringLiteral("незащищенных - 1"))) << log().toStdString();
}
#endif

}  // namespace
}  // namespace dsutils::testing
