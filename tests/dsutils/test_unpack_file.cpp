// UnpackFile end to end over the real toolkit: a table of runs, each from a
// fresh source, with the person scripted. After every run the working root
// is empty and the source's bytes are still there.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <functional>
#include <optional>
#include <string>

#include "dsutils/engine/error_text.h"
#include "dsutils/engine/signature_checker.h"
#include "dsutils/engine/unpack_file.h"
#include "quillon2/ql_codes.h"
#include "tests/dsutils/unpack_fixture.h"
#include "tests/support/gost_pki.h"
#include "tests/support/run_program.h"

namespace dsutils::testing {
namespace {

namespace ql = quillon2;
using platform::reg::RegistryKey;

const std::string kDocument = "the unpacked document, line one\nline two\n";

class UnpackFileTest : public UnpackFixture {
 protected:
  void SetUp() override {
    UnpackFixture::SetUp();
    ASSERT_TRUE(QDir().mkpath(path("docs")));
    ASSERT_TRUE(QDir().mkpath(path("keys")));
    write_file("keys/a.p8", as_string(test_support::encrypted_pkcs8(partyA().key.get(), "pw-a")));
    write_file("keys/b.p8", as_string(test_support::encrypted_pkcs8(partyB().key.get(), "pw-b")));
  }
  static std::string as_string(const std::vector<unsigned char>& b) { return std::string(b.begin(), b.end()); }

  // The executor A, whose certificate the directory holds (so no import is offered).
  void executor_a() {
    set_owner(bytes(partyA().der), path("keys/a.p8"));
    directory_user("2A", bytes(partyA().der));
  }
  void executor_b() { set_owner(bytes(partyB().der), path("keys/b.p8")); }

  // docs/doc.txt signed into docs/doc.txt.sgn; the document itself removed.
  void make_sgn(bool includeCertificate = true) {
    write_file("docs/doc.txt", kDocument);
    ASSERT_EQ(sign(path("docs/doc.txt"), path("docs/doc.txt.sgn"), {&partyA()}, includeCertificate), ql::QL_OK);
    ASSERT_TRUE(QFile::remove(path("docs/doc.txt")));
  }
  void make_enc(const test_support::Party& to, bool signedInside) {
    write_file("docs/doc.txt", kDocument);
    QString inner = path("docs/doc.txt");
    if (signedInside) {
      ASSERT_EQ(sign(inner, path("docs/doc.txt.sgn"), {&partyA()}, true), ql::QL_OK);
      inner = path("docs/doc.txt.sgn");
    }
    ASSERT_EQ(encrypt(inner, inner + ".enc", to), ql::QL_OK);
    QFile::remove(path("docs/doc.txt"));
    QFile::remove(path("docs/doc.txt.sgn"));
  }
  DecryptAnswer decrypt_to(const QString& output) {
    DecryptAnswer a;
    a.accepted = true;
    a.outputPath = output;
    a.key.name = "exec";
    return a;
  }

  struct Outcome {
    int value = -1;
    int result = -1;
  };
  Outcome unpack(const QString& source, bool sourceStays = true) {
    const std::string before = sourceStays ? read_file(source) : std::string();
    OperationJob job;
    job.files = QStringList{source};
    Outcome o;
    {
      const OperationUiScope scope(&ui_);
      o.value = UnpackFile(&job);
    }
    o.result = job.result;
    // Nothing is left in the working root, and no source byte is lost.
    const QDir root(engine_helper().TmpRoot());
    EXPECT_TRUE(root.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden).isEmpty())
        << root.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden).join(",").toStdString();
    if (sourceStays) {
      EXPECT_EQ(read_file(source), before) << source.toStdString();
    }
    return o;
  }
  bool shown(const char* start) const {
    for (const auto& m : ui_.messages())
      if (m.text.startsWith(QString::fromUtf8(start))) return true;
    return false;
  }
  int calls(const char* kind) const {
    int n = 0;
    for (const auto& c : ui_.calls()) n += c == kind ? 1 : 0;
    return n;
  }
};

// Signed files, each option: the byte-identical document, the open offer,
// extraction declined, the final name existing (Yes and No).
TEST_F(UnpackFileTest, SignedFilesTable) {
  executor_a();
  struct Row {
    const char* what;
    std::function<void()> script;
    int value;
    int result;
    std::optional<std::string> document;  // docs/doc.txt afterwards; nothing: absent
    bool opened;
  };
  const Row rows[] = {
      {"extract, open offer No",
       [this] {
         ui_.queueVerifyProtocol({true});
         ui_.queueMessage(IDNO);
       },
       1, kOpOk, kDocument, false},
      {"extract, open offer Yes",
       [this] {
         ui_.queueVerifyProtocol({true});
         ui_.queueMessage(IDYES);
       },
       1, kOpOk, kDocument, true},
      {"UnPackDoc 0, extract box clear", [this] { ui_.queueVerifyProtocol({false}); }, 1, kOpOk, std::nullopt, false},
      {"final name exists, No",
       [this] {
         write_file("docs/doc.txt", "older");
         ui_.queueVerifyProtocol({true});
         ui_.queueMessage(IDNO);
         ui_.queueMessage(IDOK);
       },
       1, kOpCancelled, std::string("older"), false},
      {"final name exists, Yes",
       [this] {
         write_file("docs/doc.txt", "older");
         ui_.queueVerifyProtocol({true});
         ui_.queueMessage(IDYES);
         ui_.queueMessage(IDNO);
       },
       1, kOpOk, kDocument, false},
  };
  make_sgn();
  for (const Row& row : rows) {
    QFile::remove(path("docs/doc.txt"));
    ui_ = ScriptedUi();
    row.script();
    const Outcome o = unpack(path("docs/doc.txt.sgn"));
    EXPECT_EQ(o.value, row.value) << row.what;
    EXPECT_EQ(o.result, row.result) << row.what;
    if (row.document)
      EXPECT_EQ(read_file(path("docs/doc.txt")), *row.document) << row.what;
    else
      EXPECT_FALSE(QFileInfo::exists(path("docs/doc.txt"))) << row.what;
    EXPECT_EQ(ui_.openedDocuments(), row.opened ? QStringList{path("docs/doc.txt")} : QStringList()) << row.what;
    EXPECT_EQ(ui_.unscripted(), 0) << row.what;
    EXPECT_EQ(calls("verifyProtocol"), 1) << row.what;
  }
  // The extract-declined run shows no box at all: the protocol was the report.
  ui_ = ScriptedUi();
  ui_.queueVerifyProtocol({false});
  unpack(path("docs/doc.txt.sgn"));
  EXPECT_TRUE(ui_.messages().empty());
}

// A .sga archive: verified from its list, its document extracted.
TEST_F(UnpackFileTest, SignatureArchiveGivesTheDocument) {
  executor_a();
  write_file("docs/doc.txt", kDocument);
  ASSERT_EQ(sign(path("docs/doc.txt"), path("docs/doc.txt.1"), {&partyA()}, true, 1), ql::QL_OK);
  ASSERT_EQ(engine_helper().WriteSignatureList(path("docs/doc.txt"), path("docs/doc.sga")), 1);
  for (const char* f : {"docs/doc.txt", "docs/doc.txt.1", "docs/_list_._vt"}) QFile::remove(path(f));
  ui_.queueVerifyProtocol({true});
  ui_.queueMessage(IDNO);
  const Outcome o = unpack(path("docs/doc.sga"));
  EXPECT_EQ(o.value, 1);
  EXPECT_EQ(o.result, kOpOk);
  EXPECT_EQ(read_file(path("docs/doc.txt")), kDocument);
  EXPECT_TRUE(
      shown("Подпись проверена, документ извлечен!\r\nПодписанный документ: doc.sga\r\nИзвлеченный документ: doc.txt"));
}

// Encrypted then signed: decrypted, verified, extracted; the report names
// three files and the source is sorted under UNENC.
TEST_F(UnpackFileTest, EncryptedSignedFileIsDecryptedVerifiedAndExtracted) {
  executor_a();
  SortSettings unenc;
  unenc.Source = 2;
  unenc.SourcePath = path("unenc");
  ASSERT_TRUE(QDir().mkpath(unenc.SourcePath));
  ASSERT_TRUE(engine_helper().SetSortSettings("UNENC", unenc));
  make_enc(partyA(), true);
  restart_toolkit(false);
  const std::string encrypted = read_file(path("docs/doc.txt.sgn.enc"));
  ui_.queueDecrypt(decrypt_to(path("docs/doc.txt.sgn")));
  ui_.queuePassword("pw-a");
  ui_.queueVerifyProtocol({true});
  ui_.queueMessage(IDNO);
  // Source 2 of UNENC: the source moves to that folder.
  const Outcome o = unpack(path("docs/doc.txt.sgn.enc"), false);
  EXPECT_FALSE(QFileInfo::exists(path("docs/doc.txt.sgn.enc")));
  EXPECT_EQ(o.value, 1);
  EXPECT_EQ(o.result, kOpOk);
  EXPECT_EQ(read_file(path("docs/doc.txt")), kDocument);
  EXPECT_TRUE(
      shown("Документ расшифрован и проверен!\r\nЗашифрованный документ: doc.txt.sgn.enc\r\nПодписанный "
            "документ: doc.txt.sgn\r\nИзвлеченный документ: doc.txt\n\nОткрыть документ?"));
  EXPECT_EQ(read_file(path("unenc/doc.txt.sgn.enc")), encrypted);
  EXPECT_EQ(ui_.unscripted(), 0);
  // The protocol is logged once, each block once: it is built afresh, not
  // appended to the text the dialog showed.
  const QString log = QString::fromUtf8(read_file(path("events.log")));
  EXPECT_EQ(log.count(QStringLiteral(" Подпись №1\r\n Результат проверки: ПОДПИСЬ ПОДТВЕРЖДЕНА")), 1)
      << log.toStdString();
  EXPECT_EQ(log.count(QStringLiteral(" Подпись №2")), 0);
}

// A decrypted file that cannot be copied to the chosen name is no success:
// the failure path, no success box, the source in place.
TEST_F(UnpackFileTest, DecryptedOnlyFailedCopyTakesTheFailurePath) {
  executor_a();
  make_enc(partyA(), false);
  restart_toolkit(false);
  ui_.queueDecrypt(decrypt_to(path("missing-folder/out.txt")));
  ui_.queuePassword("pw-a");
  ui_.queueMessage(IDOK);
  const Outcome o = unpack(path("docs/doc.txt.enc"));
  EXPECT_EQ(o.value, 0);
  EXPECT_EQ(o.result, kOpWorkFolderFailed);
  EXPECT_FALSE(shown("Файл успешно расшифрован!"));
  EXPECT_TRUE(shown("Не удалось создать файл!"));
}

// Files that are no protected document, or not for the executor: the Part's
// outcome, the source back in place.
TEST_F(UnpackFileTest, BadInputTable) {
  executor_a();
  write_file("docs/plain.txt", "just text");
  make_sgn();
  {
    // One byte of the signed content changed.
    std::string bytes = read_file(path("docs/doc.txt.sgn"));
    const std::size_t at = bytes.find("line one");
    ASSERT_NE(at, std::string::npos);
    bytes[at] = 'L';
    write_file("docs/tampered.sgn", bytes);
  }
  // A signed-and-enveloped message head.
  write_file("docs/both.p7",
             std::string("\x30\x80\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x04\xA0\x80\x30\x00\x00\x00\x00\x00", 21));
  {
    const std::string bytes = read_file(path("docs/doc.txt.sgn"));
    write_file("docs/truncated.sgn", bytes.substr(0, bytes.size() / 2));
    // The document of Src.sgn would be "Src", the working folder's own folder.
    write_file("docs/Src.sgn", bytes);
  }
  // Signed data with no signer: version 1, no digest algorithms, "hi", no signer infos.
  write_file("docs/nosigners.sgn",
             std::string("\x30\x29\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02\xA0\x1C\x30\x1A\x02\x01\x01\x31"
                         "\x00\x30\x11\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x01\xA0\x04\x04\x02\x68\x69\x31\x00",
                         43));
  {
    // An archive whose list names a signature it does not hold: the list
    // is written before the missing signature stops the archive.
    ASSERT_TRUE(QDir().mkpath(path("sga")));
    write_file("sga/doc.txt", kDocument);
    EXPECT_EQ(engine_helper().WriteSignatureList(path("sga/doc.txt"), path("sga/x.sga")), 0);
    const test_support::ProgramResult tar =
        test_support::run_program({"tar", "--format=gnu", "-cf", path("docs/missing.sga").toStdString(), "-C",
                                   path("sga").toStdString(), "doc.txt", "_list_._vt"});
    if (tar.status != 0) {
      if (under_ci()) FAIL() << "tar: " << tar.output;
      GTEST_SKIP() << "tar: " << tar.output;
    }
  }
  make_enc(partyB(), false);
  restart_toolkit(false);
  struct Row {
    const char* what;
    const char* file;
    std::function<void()> script;
    int result;
    const char* box;  // the start of the box shown, or null for the toolkit's error box
    int value = 0;
  };
  const Row rows[] = {
      {"plain", "docs/plain.txt", [] {}, kOpFinishedWithErrors, "Документ: "},
      {"tampered", "docs/tampered.sgn", [this] { ui_.queueVerifyProtocol({false}); }, kOpFinishedWithErrors, nullptr},
      {"kind 3", "docs/both.p7", [] {}, kOpFinishedWithErrors,
       "Данный тип зашифрованного сообщения не поддерживается!"},
      {"not for the executor", "docs/doc.txt.enc",
       [this] {
         ui_.queueDecrypt(decrypt_to(path("docs/doc.txt")));
         ui_.queuePassword("pw-a");
       },
       -1, nullptr},
      {"truncated", "docs/truncated.sgn", [] {}, -1, nullptr},
      {"no signers", "docs/nosigners.sgn", [] {}, kOpFinishedWithErrors, "Документ не защищен или испорчен.\r\nФайл: "},
      {"list names a missing signature", "docs/missing.sga", [] {}, kOpFinishedWithErrors,
       "Ошибка при распаковке TAR архива.\r\nФайл: "},
      {"document cannot be created", "docs/Src.sgn", [this] { ui_.queueVerifyProtocol({true}); }, kOpWorkFolderFailed,
       "Не удалось создать файл!", 1},
  };
  for (const Row& row : rows) {
    ui_ = ScriptedUi();
    row.script();
    const Outcome o = unpack(path(row.file));
    EXPECT_EQ(o.value, row.value) << row.what;
    if (row.result >= 0)
      EXPECT_EQ(o.result, row.result) << row.what;
    else
      EXPECT_NE(o.result, kOpOk) << row.what;
    if (row.box != nullptr) {
      EXPECT_TRUE(shown(row.box)) << row.what;
    }
    EXPECT_FALSE(shown("Подпись проверена")) << row.what;
    EXPECT_FALSE(shown("Файл успешно расшифрован")) << row.what;
    EXPECT_FALSE(QFileInfo::exists(path("docs/doc.txt")) && read_file(path("docs/doc.txt")) == kDocument) << row.what;
  }
}

// Cancel at the first question, in the middle (the key password) and in the
// last long step (the verification's progress).
TEST_F(UnpackFileTest, CancelAtFirstMiddleAndLastStep) {
  executor_a();
  make_enc(partyA(), true);
  make_sgn();
  restart_toolkit(false);
  struct Row {
    const char* what;
    const char* file;
    std::function<void()> script;
    int result;
  };
  const Row rows[] = {
      {"decrypt dialog", "docs/doc.txt.sgn.enc", [] {}, kOpCancelled},
      {"key password", "docs/doc.txt.sgn.enc",
       [this] {
         ui_.queueDecrypt(decrypt_to(path("docs/doc.txt.sgn")));
         ui_.queuePassword(std::nullopt);
       },
       -1},
      {"verification progress", "docs/doc.txt.sgn",
       [this] {
         ui_.queueVerifyProtocol({true});
         ui_.cancelAtStep(1);
       },
       kOpFinishedWithErrors},
  };
  for (const Row& row : rows) {
    ui_ = ScriptedUi();
    row.script();
    const Outcome o = unpack(path(row.file));
    EXPECT_EQ(o.value, 0) << row.what;
    if (row.result >= 0)
      EXPECT_EQ(o.result, row.result) << row.what;
    else
      EXPECT_NE(o.result, kOpOk) << row.what;
    EXPECT_FALSE(QFileInfo::exists(path("docs/doc.txt"))) << row.what;
    EXPECT_FALSE(shown("Подпись проверена")) << row.what;
  }
}

// A signed file beyond what the in-memory verification takes is refused
// before anything is touched: the toolkit's 159 box and a log line naming it.
TEST_F(UnpackFileTest, SignedFileOver2GiBIsRefusedUntouched) {
  executor_a();
  make_sgn();
  const QString big = path("docs/big.sgn");
  ASSERT_TRUE(QFile::copy(path("docs/doc.txt.sgn"), big));
  // Sparse: the head of a signed message, then a hole up to 2 GiB + 1.
  ASSERT_TRUE(QFile::resize(big, kMaxVerifiableBytes + 1));
  const Outcome o = unpack(big, false);
  EXPECT_EQ(o.value, 0);
  EXPECT_EQ(o.result, ql::QL_ERR_ARGUMENT);
  EXPECT_EQ(QFileInfo(big).size(), kMaxVerifiableBytes + 1);
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_TRUE(ui_.messages()[0].text.contains(error_text_loader().GetErrorText(ql::QL_ERR_ARGUMENT)));
  const QString log = QString::fromUtf8(read_file(path("events.log")));
  EXPECT_TRUE(log.contains(QStringLiteral("\r\nФайл: %1").arg(big))) << log.toStdString();
  EXPECT_EQ(calls("verifyProtocol"), 0);
}

// A registry with nothing in it: the defaults place the document beside the source.
TEST_F(UnpackFileTest, FreshRegistryUnpacksBesideTheSource) {
  make_sgn();
  ui_.queueVerifyProtocol({true});
  ui_.queueMessage(IDNO);
  const Outcome o = unpack(path("docs/doc.txt.sgn"));
  EXPECT_EQ(o.value, 1);
  EXPECT_EQ(o.result, kOpOk);
  EXPECT_EQ(read_file(path("docs/doc.txt")), kDocument);
}

// The remembered password opens the same key without a prompt; another key
// is never handed it and asks.
TEST_F(UnpackFileTest, RememberedPasswordOnlyForItsOwnKey) {
  executor_a();
  make_enc(partyA(), false);
  restart_toolkit(false);
  const auto run = [&](const char* password) {
    ui_ = ScriptedUi();
    ui_.queueDecrypt(decrypt_to(path("docs/out.txt")));
    if (password != nullptr) ui_.queuePassword(password);
    ui_.queueMessage(IDOK);
    QFile::remove(path("docs/out.txt"));
    const Outcome o = unpack(path("docs/doc.txt.enc"));
    EXPECT_EQ(o.result, kOpOk);
    EXPECT_EQ(read_file(path("docs/out.txt")), kDocument);
    EXPECT_TRUE(shown("Файл успешно расшифрован! \r\n\r\n "));
  };
  run("pw-a");
  EXPECT_EQ(calls("password"), 1);
  restart_toolkit(false);
  run(nullptr);
  EXPECT_EQ(calls("password"), 0);
  EXPECT_EQ(ui_.unscripted(), 0);

  executor_b();
  QFile::remove(path("docs/doc.txt.enc"));
  make_enc(partyB(), false);
  restart_toolkit(false);
  run("pw-b");
  EXPECT_EQ(calls("password"), 1);
  EXPECT_EQ(ui_.unscripted(), 0);
}

}  // namespace
}  // namespace dsutils::testing

namespace dsutils::testing {
namespace {

#ifdef DOSSAR_DSENGINE
// dsengine verify checks alone and writes nothing; dsengine unpack --extract
// gives the document. Both print the protocol to standard error.
TEST_F(UnpackFileTest, DsengineVerifyAndUnpack) {
  executor_a();
  {
    RegistryKey ca;
    open_key(ca, "\\Certificats\\Ca");
    const std::vector<unsigned char> der = test_support::to_der(test_ca_certificate());
    ASSERT_TRUE(ca.SetBinary("ca", der.data(), static_cast<std::uint32_t>(der.size())));
  }
  make_sgn();
  {
    std::string bytes = read_file(path("docs/doc.txt.sgn"));
    bytes[bytes.find("line one")] = 'L';
    write_file("docs/tampered.sgn", bytes);
  }
  const auto dsengine = [](std::vector<std::string> args) {
    args.insert(args.begin(), DOSSAR_DSENGINE);
    test_support::ProgramOptions options;
    options.separate_errors = true;
    return test_support::run_program(args, options);
  };
  const QStringList before = QDir(path("docs")).entryList(QDir::Files);
  const auto good = dsengine({"verify", path("docs/doc.txt.sgn").toStdString()});
  EXPECT_EQ(good.status, 0) << good.output << good.errors;
  EXPECT_EQ(good.output, "result=0\n");
  EXPECT_NE(good.errors.find("Результат проверки: ПОДПИСЬ ПОДТВЕРЖДЕНА"), std::string::npos) << good.errors;
  const auto bad = dsengine({"verify", path("docs/tampered.sgn").toStdString()});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.output, "result=10008\n");
  EXPECT_EQ(bad.errors.find("ПОДПИСЬ ПОДТВЕРЖДЕНА"), std::string::npos) << bad.errors;
  EXPECT_EQ(QDir(path("docs")).entryList(QDir::Files), before);

  const auto unpacked = dsengine({"unpack", "--extract", "--no", path("docs/doc.txt.sgn").toStdString()});
  EXPECT_EQ(unpacked.status, 0) << unpacked.output << unpacked.errors;
  EXPECT_NE(unpacked.errors.find("ПОДПИСЬ ПОДТВЕРЖДЕНА"), std::string::npos) << unpacked.errors;
  EXPECT_EQ(read_file(path("docs/doc.txt")), kDocument);
}
#endif

}  // namespace
}  // namespace dsutils::testing
