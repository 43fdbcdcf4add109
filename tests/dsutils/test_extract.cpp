// ExtractArchive and ExtractGroup over the real toolkit and real archives:
// what comes out where, what is asked and shown, and that no signed file
// or archive ever loses a byte, on damaged and hostile input too.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dsutils/engine/archive_owners.h"
#include "dsutils/engine/extract.h"
#include "dsutils/engine/file_state.h"
#include "dsutils/engine/signature_archive.h"
#include "quillon2/ql_codes.h"
#include "tests/dsutils/unpack_fixture.h"
#include "tests/support/run_program.h"

namespace dsutils::testing {
namespace {

namespace ql = quillon2;
using platform::reg::RegistryKey;

const std::string kDocument = "the extracted document\nline two\n";
const QString kSaveFilterArchive = QStringLiteral("Все файлы (.*)|*.*|");
const QString kSaveFilterDocument = QStringLiteral("Все файлы (*.*)|*.*|");

// Runs `fn` on a thread whose effective capabilities are dropped, so that a
// test run as root meets folder permissions as any user does (capabilities
// belong to the thread). The operation's interface is the thread's too.
void without_privileges(EngineUi& ui, const std::function<void()>& fn) {
  std::thread([&] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
    data[0].effective = 0;
    data[1].effective = 0;
    ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
    const OperationUiScope scope(&ui);
    fn();
  }).join();
}

struct Member {
  Member(std::string n, std::string d, std::string l = {})
      : name(std::move(n)), data(std::move(d)), symlink(std::move(l)) {}
  std::string name;
  std::string data;
  std::string symlink;  // non-empty: a symbolic link member
};

// A tar archive as a hostile sender may write it: names and types as given.
std::string make_tar(const std::vector<Member>& members) {
  std::string out;
  qcrypto::UniquePtr<archive> w(archive_write_new());
  archive_write_set_format_gnutar(w.get());
  archive_write_open(
      w.get(), &out, nullptr,
      [](archive*, void* p, const void* b, size_t n) -> la_ssize_t {
        static_cast<std::string*>(p)->append(static_cast<const char*>(b), n);
        return static_cast<la_ssize_t>(n);
      },
      nullptr);
  for (const Member& m : members) {
    qcrypto::UniquePtr<archive_entry> e(archive_entry_new());
    archive_entry_set_pathname(e.get(), m.name.c_str());
    archive_entry_set_perm(e.get(), 0644);
    if (m.symlink.empty()) {
      archive_entry_set_filetype(e.get(), AE_IFREG);
      archive_entry_set_size(e.get(), static_cast<la_int64_t>(m.data.size()));
    } else {
      archive_entry_set_filetype(e.get(), AE_IFLNK);
      archive_entry_set_symlink(e.get(), m.symlink.c_str());
      archive_entry_set_size(e.get(), 0);
    }
    archive_write_header(w.get(), e.get());
    if (!m.data.empty()) archive_write_data(w.get(), m.data.data(), m.data.size());
  }
  archive_write_close(w.get());
  return out;
}

std::string list_naming(const std::string& document, const std::vector<std::string>& signatures) {
  std::string s = "[Header]\r\nCompany=Veltrana\r\nVersion=1\r\n[Context]\r\nDocument=" + document + "\r\n";
  for (std::size_t i = 0; i < signatures.size(); ++i)
    s += "Signature_" + std::to_string(i + 1) + "=" + signatures[i] + "\r\n";
  return s;
}

// Keeps the texts of the file-information dialog.
class FileInfoUi : public ScriptedUi {
 public:
  void showFileInfo(const FileInfoRequest& request) override {
    ScriptedUi::showFileInfo(request);
    shown.append(request.body);
  }
  QStringList shown;
};

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

// Boxes with only an OK button: nothing is queued for them.
int ok_boxes(const ScriptedUi& ui) {
  int n = 0;
  for (const auto& m : ui.messages()) n += (m.flags & MB_TYPEMASK) == MB_OK ? 1 : 0;
  return n;
}

class ExtractTest : public UnpackFixture {
 protected:
  void SetUp() override {
    UnpackFixture::SetUp();
    for (const char* d : {"docs", "mk", "out", "errors"}) ASSERT_TRUE(QDir().mkpath(path(d)));
  }
  void TearDown() override {
    ::chmod(QFile::encodeName(path("docs")).constData(), 0700);
    ::chmod(QFile::encodeName(path("out")).constData(), 0700);
    UnpackFixture::TearDown();
  }
  // `document` signed into `out` (a .sgn message); the document itself removed.
  void make_signed(const QString& document, const QString& out) {
    write_file(document, kDocument);
    ASSERT_EQ(sign(path(document), path(out), {&partyA()}, true), ql::QL_OK);
    ASSERT_TRUE(QFile::remove(path(document)));
  }
  // The archive docs/<archive> holding `document` with its detached
  // signatures document.1 (party A) and document.2 (party B).
  void make_archive(const QString& document, const QString& archive) {
    const QString doc = path("mk/" + document);
    write_file("mk/" + document, kDocument);
    ASSERT_EQ(sign(doc, doc + ".1", {&partyA()}, true, 1), ql::QL_OK);
    ASSERT_EQ(sign(doc, doc + ".2", {&partyB()}, true, 1), ql::QL_OK);
    const QString built = path("mk/" + archive);
    ASSERT_EQ(engine_helper().WriteSignatureList(doc, built), 1);
    ASSERT_EQ(engine_helper().AppendArchiveSignature(built, doc + ".2", false), 1);
    ASSERT_TRUE(QFile::rename(built, path("docs/" + archive)));
  }
  void sorting(const char* code, std::uint32_t result, const QString& resultPath, std::uint32_t error = 0,
               const QString& errorPath = QString()) {
    RegistryKey key;
    open_key(key, std::string("\\Sorting\\") + code);
    key.SetDword("Result", result);
    key.SetString("ResultPath", resultPath.toStdString());
    key.SetDword("Error", error);
    key.SetString("ErrorPath", errorPath.toStdString());
  }
  std::map<QString, std::string> snapshot(const QStringList& files) const {
    std::map<QString, std::string> out;
    for (const QString& f : files)
      if (QFileInfo::exists(f)) out[f] = read_file(f);
    return out;
  }
  // Every file of `before` holds its bytes again, and no working folder is left.
  void expect_kept(const std::map<QString, std::string>& before) const {
    for (const auto& [f, bytes] : before) EXPECT_EQ(read_file(f), bytes) << f.toStdString();
    const QDir root(engine_helper().TmpRoot());
    EXPECT_TRUE(root.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden).isEmpty())
        << root.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden).join(",").toStdString();
  }
  QStringList entries(const char* folder) const {
    return QDir(path(folder)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden, QDir::Name);
  }
  QString log() const { return QString::fromUtf8(read_file(path("events.log"))); }
};

// ExtractArchive, one row per case of the operation.
TEST_F(ExtractTest, ArchiveTable) {
  make_archive("report.doc", "report.sga");
  const std::string sig1 = read_file(path("mk/report.doc.1"));
  const std::string sig2 = read_file(path("mk/report.doc.2"));
  make_signed("docs/plain.txt", "docs/plain.txt.sgn");
  struct Row {
    const char* what;
    const char* file;
    std::function<void(ScriptedUi&)> setup;
    int value;
    QStringList docs;  // what the docs folder holds afterwards
    std::vector<std::pair<const char*, std::string>> written;
    std::vector<std::string> boxes;  // the start of each box, in order
    QStringList saveAsked;           // the names offered by save dialogs
  };
  const QString report = path("docs/report.doc");
  const std::string done = "Документ и подписи извлечены из архива:\r\n" + path("docs/report.sga").toStdString() +
                           "\r\n\r\nДокумент: \r\n" + report.toStdString() + "\r\n\r\nПодписи: \r\n" +
                           report.toStdString() + " : report.doc.1\r\n" + report.toStdString() +
                           " : report.doc.2\r\n\r\n";
  const Row rows[] = {
      {"report.doc with .1 and .2 gives three files and both signature lines",
       "docs/report.sga",
       [](ScriptedUi&) {},
       1,
       {"plain.txt.sgn", "report.doc", "report.doc.1", "report.doc.2", "report.sga"},
       {{"docs/report.doc", kDocument}, {"docs/report.doc.1", sig1}, {"docs/report.doc.2", sig2}},
       {done},
       {}},
      {"a file that is not .sga: 0, nothing shown",
       "docs/plain.txt.sgn",
       [](ScriptedUi&) {},
       0,
       {"plain.txt.sgn", "report.sga"},
       {},
       {},
       {}},
      {"the document and its signatures exist, each replaced on Yes",
       "docs/report.sga",
       [this](ScriptedUi& ui) {
         write_file("docs/report.doc", "older document");
         write_file("docs/report.doc.1", "older signature");
         write_file("docs/report.doc.2", "older signature");
         ui.queueMessage(IDYES);
         ui.queueMessage(IDYES);
         ui.queueMessage(IDYES);
       },
       1,
       {"plain.txt.sgn", "report.doc", "report.doc.1", "report.doc.2", "report.sga"},
       {{"docs/report.doc", kDocument}, {"docs/report.doc.1", sig1}, {"docs/report.doc.2", sig2}},
       {"Файл извлекаемого документа уже существует: \n " + report.toStdString() + "\n\nЗаменить?",
        "Файл подписи уже существует: \n " + report.toStdString() + ".1\n\nЗаменить?",
        "Файл подписи уже существует: \n " + report.toStdString() + ".2\n\nЗаменить?", done},
       {}},
      {"No, then the save dialog names the document",
       "docs/report.sga",
       [this](ScriptedUi& ui) {
         write_file("docs/report.doc", "older document");
         ui.queueMessage(IDNO);
         ui.queueSaveFile(path("out/chosen.doc"));
       },
       1,
       {"plain.txt.sgn", "report.doc", "report.doc.1", "report.doc.2", "report.sga"},
       {{"docs/report.doc", "older document"}, {"out/chosen.doc", kDocument}, {"docs/report.doc.1", sig1}},
       {"Файл извлекаемого документа уже существует:",
        "Документ и подписи извлечены из архива:\r\n" + path("docs/report.sga").toStdString() +
            "\r\n\r\nДокумент: \r\n" + path("out/chosen.doc").toStdString() + "\r\n\r\nПодписи: \r\n" +
            path("out/chosen.doc").toStdString() + " : report.doc.1\r\n"},
       {report}},
      {"No, then the save dialog cancelled: 1, the archive back, nothing written",
       "docs/report.sga",
       [this](ScriptedUi& ui) {
         write_file("docs/report.doc", "older document");
         ui.queueMessage(IDNO);
         ui.queueSaveFile(std::nullopt);
       },
       1,
       {"plain.txt.sgn", "report.doc", "report.sga"},
       {{"docs/report.doc", "older document"}},
       {"Файл извлекаемого документа уже существует:"},
       {report}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (const char* f : {"docs/report.doc", "docs/report.doc.1", "docs/report.doc.2", "out/chosen.doc"})
      QFile::remove(path(f));
    ScriptedUi ui;
    row.setup(ui);
    const auto before = snapshot({path("docs/report.sga"), path("docs/plain.txt.sgn")});
    const std::string logBefore = read_file(path("events.log"));
    int value = -1;
    {
      const OperationUiScope scope(&ui);
      value = ExtractArchive(path(row.file));
    }
    EXPECT_EQ(value, row.value);
    EXPECT_EQ(entries("docs"), row.docs);
    for (const auto& [file, bytes] : row.written) EXPECT_EQ(read_file(path(file)), bytes) << file;
    ASSERT_EQ(ui.messages().size(), row.boxes.size());
    for (std::size_t i = 0; i < row.boxes.size(); ++i)
      EXPECT_TRUE(ui.messages()[i].text.toStdString().starts_with(row.boxes[i])) << ui.messages()[i].text.toStdString();
    ASSERT_EQ(ui.saveFileRequests().size(), static_cast<std::size_t>(row.saveAsked.size()));
    for (qsizetype i = 0; i < row.saveAsked.size(); ++i) {
      EXPECT_EQ(ui.saveFileRequests()[i].initialPath, row.saveAsked[i]);
      EXPECT_EQ(ui.saveFileRequests()[i].filter, kSaveFilterArchive);
    }
    EXPECT_EQ(ui.unscripted(), ok_boxes(ui));  // every question was answered as queued
    if (row.value == 0) {
      EXPECT_EQ(read_file(path("events.log")), logBefore);
    }
    expect_kept(before);
  }
}

// Damaged and hostile archives: refused with the archive kept byte for byte,
// nothing written beside it or outside its folder, and the refusal sorted as
// a failure (into the "DOC" error folder, never the result folder).
TEST_F(ExtractTest, DamagedAndHostileArchives) {
  const std::string list = list_naming("doc.txt", {"doc.txt.1"});
  struct Row {
    const char* what;
    std::string bytes;
  };
  const Row rows[] = {
      {"the list names a missing signature",
       make_tar({{"doc.txt", kDocument},
                 {sga::kListName, list_naming("doc.txt", {"doc.txt.1", "doc.txt.2"})},
                 {"doc.txt.1", "sig"}})},
      {"a member climbing out", make_tar({{"doc.txt", kDocument}, {"../escaped", "x"}, {sga::kListName, list}})},
      {"a link member", make_tar({{"doc.txt", kDocument}, {"doc.txt.1", "", "/etc/passwd"}, {sga::kListName, list}})},
      {"a member named Src", make_tar({{"doc.txt", kDocument}, {"Src", "x"}, {sga::kListName, list}})},
      {"no list", make_tar({{"doc.txt", kDocument}, {"doc.txt.1", "sig"}})},
      {"not a tar at all", "plain text named like an archive"},
  };
  sorting("DOC", 1, path("out"), 1, path("errors"));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    write_file("docs/bad.sga", row.bytes);
    const auto before = snapshot({path("docs/bad.sga")});
    ScriptedUi ui;
    int value = -1;
    {
      const OperationUiScope scope(&ui);
      value = ExtractArchive(path("docs/bad.sga"));
    }
    EXPECT_EQ(value, 0);
    EXPECT_TRUE(ui.messages().empty());
    EXPECT_EQ(entries("docs"), QStringList{"bad.sga"});
    EXPECT_TRUE(entries("out").isEmpty());
    EXPECT_FALSE(QFileInfo::exists(path("escaped")));
    // Sorted as a failure: a copy in the error folder, the source in place.
    EXPECT_EQ(read_file(path("errors/bad.sga")), row.bytes);
    EXPECT_TRUE(log().contains("Ошибка при распаковке TAR архива.\r\nФайл: " + path("docs/bad.sga")));
    expect_kept(before);
    QFile::remove(path("errors/bad.sga"));
    // The file-information dialog says the same of it.
    FileInfoUi info;
    {
      const OperationUiScope scope(&info);
      EXPECT_EQ(ShowFileState(path("docs/bad.sga")), 0);
    }
    EXPECT_EQ(info.shown, QStringList{QStringLiteral("Документ не подписан или испорчен!")});
  }
}

// A folder that cannot be written: the signature cannot be written into the
// result folder (the archive is put back, not left in the working folder),
// and an archive in a read-only folder cannot even be taken up.
TEST_F(ExtractTest, ReadOnlyFolders) {
  make_archive("report.doc", "report.sga");
  const auto before = snapshot({path("docs/report.sga")});
  sorting("DOC", 1, path("out"));
  ASSERT_EQ(::chmod(QFile::encodeName(path("out")).constData(), 0500), 0);
  ScriptedUi ui;
  int value = -1;
  without_privileges(ui, [&] { value = ExtractArchive(path("docs/report.sga")); });
  EXPECT_EQ(value, 0);
  ASSERT_EQ(ui.messages().size(), 1u);
  EXPECT_EQ(ui.messages()[0].text,
            QStringLiteral("Ошибка при записи файла подписи: \n %1\n").arg(path("out/report.doc.1")));
  EXPECT_EQ(ui.messages()[0].flags, MB_YESNO | MB_ICONINFORMATION);
  EXPECT_TRUE(log().contains(QStringLiteral("Ошибка при записи файла подписи: \n %1\n").arg(path("out/report.doc.1"))));
  EXPECT_TRUE(entries("out").isEmpty());
  expect_kept(before);

  ASSERT_EQ(::chmod(QFile::encodeName(path("out")).constData(), 0700), 0);
  ASSERT_EQ(::chmod(QFile::encodeName(path("docs")).constData(), 0500), 0);
  // The archive's own folder read-only: it cannot be taken away, nor can
  // anything be written beside it; it stays as it is.
  sorting("DOC", 0, QString());
  ScriptedUi second;
  without_privileges(second, [&] { value = ExtractArchive(path("docs/report.sga")); });
  EXPECT_EQ(value, 0);
  ASSERT_EQ(second.messages().size(), 1u);
  EXPECT_EQ(second.messages()[0].text,
            QStringLiteral("Ошибка при записи файла подписи: \n %1\n").arg(path("docs/report.doc.1")));
  EXPECT_EQ(entries("docs"), QStringList{"report.sga"});
  EXPECT_TRUE(entries("out").isEmpty());
  expect_kept(before);
}

// While the save dialog is up, another file takes the archive's empty
// place. The cancel keeps that file and puts the archive beside it.
TEST_F(ExtractTest, AFileThatTookTheArchivesPlaceIsKept) {
  make_archive("report.doc", "report.sga");
  const std::string archive = read_file(path("docs/report.sga"));
  write_file("docs/report.doc", "older document");
  class Intruder : public ScriptedUi {
   public:
    explicit Intruder(std::function<void()> act) : act_(std::move(act)) {}
    std::optional<QString> chooseSaveFile(const SaveFileRequest& request) override {
      act_();
      return ScriptedUi::chooseSaveFile(request);
    }

   private:
    std::function<void()> act_;
  } ui([this] { write_file("docs/report.sga", "someone else's file"); });
  ui.queueMessage(IDNO);
  ui.queueSaveFile(std::nullopt);
  int value = -1;
  {
    const OperationUiScope scope(&ui);
    value = ExtractArchive(path("docs/report.sga"));
  }
  EXPECT_EQ(value, 1);
  EXPECT_EQ(read_file(path("docs/report.sga")), "someone else's file");
  EXPECT_EQ(read_file(path("docs/report[1].sga")), archive);
  expect_kept({});
}

// The process's write counters: every byte written by a write call, and
// what reached the storage.
std::pair<long long, long long> written_bytes() {
  long long wchar = -1, storage = -1;
  if (FILE* f = std::fopen("/proc/self/io", "r")) {
    char key[64];
    long long value = 0;
    while (std::fscanf(f, "%63s %lld", key, &value) == 2) {
      if (std::string(key) == "wchar:") wchar = value;
      if (std::string(key) == "write_bytes:") storage = value;
    }
    std::fclose(f);
  }
  return {wchar, storage};
}

// ShowFileState of an archive is a query: the process writes no byte at all.
TEST_F(ExtractTest, FileStateOfAnArchiveWritesNothing) {
  make_archive("report.doc", "report.sga");
  FileInfoUi ui;
  const auto before = written_bytes();
  ASSERT_GE(before.first, 0);
  int value = -1;
  {
    const OperationUiScope scope(&ui);
    value = ShowFileState(path("docs/report.sga"));
  }
  const auto after = written_bytes();
  EXPECT_EQ(value, 0);
  EXPECT_EQ(ui.shown, QStringList{QStringLiteral("Документ подписан!")});
  // Nothing reached the storage. The sanitizers' runtime probes memory by
  // writing it to a pipe, which wchar counts: there only write_bytes holds.
  EXPECT_EQ(after.second, before.second);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_EQ(after.first, before.first);
#endif
  // The counter does count a file written and synced.
  write_file("docs/written.bin", std::string(65536, 'w'));
  {
    QFile synced(path("docs/written.bin"));
    ASSERT_TRUE(synced.open(QIODevice::ReadWrite));
    ASSERT_EQ(::fsync(synced.handle()), 0);
  }
  EXPECT_GE(written_bytes().second, after.second + 65536);
}

struct GroupOutcome {
  int value = -1;
  int result = -1;
};

class ExtractGroupTest : public ExtractTest {
 protected:
  GroupOutcome run(const QStringList& files, EngineUi& ui) {
    OperationJob job;
    job.files = files;
    GroupOutcome o;
    {
      const OperationUiScope scope(&ui);
      o.value = ExtractGroup(&job);
    }
    o.result = job.result;
    return o;
  }
  static std::string group_summary(int total, int errors) {
    return "Групповая операция извлечения документа завершена!\r\n\r\nВсего документов: " + std::to_string(total) +
           "\r\n\r\nИз них с ошибками: " + std::to_string(errors) + "\r\n\r\n";
  }
  std::string single_summary(const char* source, const char* target) const {
    return "Документ успешно извлечен!\r\nПодписанный документ:\r\n " + path(source).toStdString() +
           "\r\n\r\nИзвлеченный документ: \r\n" + path(target).toStdString() + "\r\n";
  }
};

// ExtractGroup, one row per case of the operation. Every source holds its
// bytes afterwards (the registry is fresh: no Sorting key at all).
TEST_F(ExtractGroupTest, Table) {
  make_signed("docs/a.txt", "docs/a.txt.sgn");
  make_signed("docs/b.txt", "docs/b.txt.sgn");
  make_signed("docs/x-doc", "docs/x");
  make_archive("d.txt", "d.sga");
  write_file("docs/plain.sgn", "not a signed message");
  struct Row {
    const char* what;
    QStringList files;
    std::function<void(ScriptedUi&)> setup;
    GroupOutcome outcome;
    std::vector<std::pair<const char*, std::string>> written;  // empty string: must not exist
    std::vector<std::string> boxes;                            // each box's text (a prefix)
    int saveAsked = 0;
  };
  const auto f = [this](std::initializer_list<const char*> names) {
    QStringList out;
    for (const char* n : names) out << path(n);
    return out;
  };
  const std::string older = "older document";
  const Row rows[] = {
      {"one .sgn",
       f({"docs/a.txt.sgn"}),
       [](ScriptedUi&) {},
       {1, kOpOk},
       {{"docs/a.txt", kDocument}},
       {single_summary("docs/a.txt.sgn", "docs/a.txt")}},
      {"one .sgn whose document exists asks; Yes replaces it",
       f({"docs/a.txt.sgn"}),
       [&](ScriptedUi& ui) {
         write_file("docs/a.txt", older);
         ui.queueMessage(IDYES);
       },
       {1, kOpOk},
       {{"docs/a.txt", kDocument}},
       {"Файл уже существует: \n " + path("docs/a.txt").toStdString() + "\n\nЗаменить?",
        single_summary("docs/a.txt.sgn", "docs/a.txt")}},
      {"No: the save dialog names another file",
       f({"docs/a.txt.sgn"}),
       [&](ScriptedUi& ui) {
         write_file("docs/a.txt", older);
         ui.queueMessage(IDNO);
         ui.queueSaveFile(path("out/other.txt"));
       },
       {1, kOpOk},
       {{"docs/a.txt", older}, {"out/other.txt", kDocument}},
       {"Файл уже существует:", single_summary("docs/a.txt.sgn", "out/other.txt")},
       1},
      {"No and the save dialog cancelled: 184, nothing written",
       f({"docs/a.txt.sgn"}),
       [&](ScriptedUi& ui) {
         write_file("docs/a.txt", older);
         ui.queueMessage(IDNO);
         ui.queueSaveFile(std::nullopt);
       },
       {0, kOpCancelled},
       {{"docs/a.txt", older}},
       {"Файл уже существует:"},
       1},
      {"two files never ask: the sorting rules place the documents",
       f({"docs/a.txt.sgn", "docs/d.sga"}),
       [&](ScriptedUi& ui) {
         write_file("docs/a.txt", older);
         write_file("docs/d.txt", older);
         ui.queueMessage(IDYES);
       },
       {1, kOpOk},
       {{"docs/a.txt", kDocument}, {"docs/d.txt", kDocument}},
       {"\nИзвлечь документы в группе файлов ?\nВсего файлов: 2", group_summary(2, 0)}},
      {"the group question declined: nothing done",
       f({"docs/a.txt.sgn", "docs/d.sga"}),
       [](ScriptedUi& ui) { ui.queueMessage(IDNO); },
       {1, kOpCancelled},
       {{"docs/a.txt", ""}, {"docs/d.txt", ""}},
       {"\nИзвлечь документы в группе файлов ?\nВсего файлов: 2"}},
      {"a file named without .sgn gives x[1], one and in a group",
       f({"docs/x", "docs/b.txt.sgn"}),
       [](ScriptedUi& ui) { ui.queueMessage(IDYES); },
       {1, kOpOk},
       {{"docs/x[1]", kDocument}, {"docs/b.txt", kDocument}},
       {"\nИзвлечь", group_summary(2, 0)}},
      {"one file named without .sgn",
       f({"docs/x"}),
       [](ScriptedUi&) {},
       {1, kOpOk},
       {{"docs/x[1]", kDocument}},
       {single_summary("docs/x", "docs/x[1]")}},
      {"an unsigned file in a group is counted",
       f({"docs/plain.sgn", "docs/a.txt.sgn"}),
       [](ScriptedUi& ui) { ui.queueMessage(IDYES); },
       {1, kOpFinishedWithErrors},
       {{"docs/plain", ""}, {"docs/a.txt", kDocument}},
       {"\nИзвлечь", group_summary(2, 1)}},
      {"an unsigned file alone ends with its box",
       f({"docs/plain.sgn"}),
       [](ScriptedUi&) {},
       {0, kOpFinishedWithErrors},
       {{"docs/plain", ""}},
       {"Ошибка при извлечении документа. \r\nКод ошибки : "}},
      {"no files", {}, [](ScriptedUi&) {}, {0, kOpNoFiles}, {}, {"Не выбраны файлы для извлечения документов!"}},
  };
  const QStringList sources = f({"docs/a.txt.sgn", "docs/b.txt.sgn", "docs/x", "docs/d.sga", "docs/plain.sgn"});
  {
    // A fresh registry: no sorting settings at all.
    RegistryKey sorting;
    ASSERT_FALSE(sorting.OpenKey(platform::reg::HKEY_CURRENT_USER, std::string(kProductKey) + "\\Sorting"));
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (const char* n : {"docs/a.txt", "docs/b.txt", "docs/d.txt", "docs/x[1]", "out/other.txt"})
      QFile::remove(path(n));
    ScriptedUi ui;
    row.setup(ui);
    const auto before = snapshot(sources);
    const GroupOutcome o = run(row.files, ui);
    EXPECT_EQ(o.value, row.outcome.value);
    EXPECT_EQ(o.result, row.outcome.result);
    for (const auto& [file, bytes] : row.written) {
      if (bytes.empty())
        EXPECT_FALSE(QFileInfo::exists(path(file))) << file;
      else
        EXPECT_EQ(read_file(path(file)), bytes) << file;
    }
    ASSERT_EQ(ui.messages().size(), row.boxes.size());
    for (std::size_t i = 0; i < row.boxes.size(); ++i)
      EXPECT_TRUE(ui.messages()[i].text.toStdString().starts_with(row.boxes[i])) << ui.messages()[i].text.toStdString();
    ASSERT_EQ(ui.saveFileRequests().size(), static_cast<std::size_t>(row.saveAsked));
    for (const SaveFileRequest& r : ui.saveFileRequests()) {
      EXPECT_EQ(r.initialPath, path("docs/a.txt"));
      EXPECT_EQ(r.filter, kSaveFilterDocument);
    }
    EXPECT_EQ(ui.unscripted(), ok_boxes(ui));  // every question was answered as queued
    expect_kept(before);
  }
}

// A cancel before the second of three files: the first is finished (here a
// failure, counted), the other two are left as they are, and the text says
// so with the errors so far.
TEST_F(ExtractGroupTest, CancelBeforeTheSecondOfThree) {
  write_file("docs/plain.sgn", "not a signed message");
  make_signed("docs/a.txt", "docs/a.txt.sgn");
  make_archive("d.txt", "d.sga");
  const QStringList files{path("docs/plain.sgn"), path("docs/a.txt.sgn"), path("docs/d.sga")};
  const auto before = snapshot(files);
  CancelAtFile ui(QStringLiteral("plain.sgn"));
  ui.queueMessage(IDYES);
  const GroupOutcome o = run(files, ui);
  EXPECT_EQ(o.value, 0);
  EXPECT_EQ(o.result, kOpCancelled);
  const std::string text =
      "\r\nOnперация извлечь документ прервана пользователем!\r\n\r\nВсего файлов: 3\r\n\r\nИз них с ошибками: "
      "1\r\n\r\n";
  ASSERT_EQ(ui.messages().size(), 2u);
  EXPECT_EQ(ui.messages()[1].text.toStdString(), text);
  EXPECT_EQ(ui.messages()[1].flags, MB_OK | MB_ICONINFORMATION);
  EXPECT_TRUE(log().contains(QString::fromStdString(text)));
  EXPECT_EQ(ui.progressFiles(), QStringList{"plain.sgn"});
  EXPECT_EQ(entries("docs"), (QStringList{"a.txt.sgn", "d.sga", "plain.sgn"}));
  expect_kept(before);
}

// The "DOC" result folder takes the documents; a damaged archive and a
// result folder that cannot be written end a single run with their box, the
// source kept.
TEST_F(ExtractGroupTest, ResultFolderAndBadInput) {
  make_signed("docs/a.txt", "docs/a.txt.sgn");
  write_file("docs/bad.sga",
             make_tar({{"doc.txt", kDocument}, {sga::kListName, list_naming("doc.txt", {"doc.txt.1"})}}));
  sorting("DOC", 1, path("out"));
  const auto before = snapshot({path("docs/a.txt.sgn"), path("docs/bad.sga")});
  {
    ScriptedUi ui;
    const GroupOutcome o = run({path("docs/a.txt.sgn")}, ui);
    EXPECT_EQ(o.result, kOpOk);
    EXPECT_EQ(read_file(path("out/a.txt")), kDocument);
    ASSERT_TRUE(QFile::remove(path("out/a.txt")));
  }
  {
    ScriptedUi ui;
    const GroupOutcome o = run({path("docs/bad.sga")}, ui);
    EXPECT_EQ(o.value, 0);
    EXPECT_EQ(o.result, kOpFinishedWithErrors);
    ASSERT_EQ(ui.messages().size(), 1u);
    EXPECT_EQ(ui.messages()[0].text,
              QStringLiteral("Ошибка при распаковке TAR архива. Файл: %1").arg(path("docs/bad.sga")));
    EXPECT_EQ(ui.messages()[0].flags, MB_OK | MB_ICONSTOP);
  }
  ASSERT_EQ(::chmod(QFile::encodeName(path("out")).constData(), 0500), 0);
  {
    ScriptedUi ui;
    GroupOutcome o;
    without_privileges(ui, [&] {
      OperationJob job;
      job.files = QStringList{path("docs/a.txt.sgn")};
      o.value = ExtractGroup(&job);
      o.result = job.result;
    });
    EXPECT_EQ(o.value, 0);
    EXPECT_EQ(o.result, kOpWorkFolderFailed);
    ASSERT_EQ(ui.messages().size(), 1u);
    EXPECT_EQ(ui.messages()[0].text,
              QStringLiteral("Ошибка при записи файла на диск. \r\nФайл: %1").arg(path("out/a.txt")));
  }
  EXPECT_TRUE(entries("out").isEmpty());
  EXPECT_EQ(entries("docs"), (QStringList{"a.txt.sgn", "bad.sga"}));
  expect_kept(before);
}

#ifdef DOSSAR_DSENGINE
// dsengine extract-all and extract, once each.
TEST_F(ExtractTest, DsengineExtractAllAndExtract) {
  make_archive("report.doc", "report.sga");
  make_signed("docs/a.txt", "docs/a.txt.sgn");
  const auto before = snapshot({path("docs/report.sga"), path("docs/a.txt.sgn")});
  test_support::ProgramOptions options;
  options.separate_errors = true;
  const test_support::ProgramResult all =
      test_support::run_program({DOSSAR_DSENGINE, "extract-all", path("docs/report.sga").toStdString()}, options);
  EXPECT_EQ(all.status, 0) << all.output << all.errors;
  EXPECT_EQ(all.output, "result=1\n");
  EXPECT_NE(all.errors.find("Документ и подписи извлечены из архива:"), std::string::npos) << all.errors;
  EXPECT_EQ(read_file(path("docs/report.doc")), kDocument);
  EXPECT_TRUE(QFileInfo::exists(path("docs/report.doc.1")));
  EXPECT_TRUE(QFileInfo::exists(path("docs/report.doc.2")));

  // One file whose document exists: --no declines the replacement, and
  // --save-as= answers the save dialog.
  const test_support::ProgramResult one =
      test_support::run_program({DOSSAR_DSENGINE, "extract", "--no", "--save-as=" + path("out/saved.doc").toStdString(),
                                 path("docs/report.sga").toStdString()},
                                options);
  EXPECT_EQ(one.status, 0) << one.output << one.errors;
  EXPECT_EQ(one.output, "result=0\n");
  EXPECT_NE(one.errors.find("Файл уже существует:"), std::string::npos) << one.errors;
  EXPECT_EQ(read_file(path("out/saved.doc")), kDocument);

  const test_support::ProgramResult group =
      test_support::run_program({DOSSAR_DSENGINE, "extract", "--yes", path("docs/a.txt.sgn").toStdString(),
                                 path("docs/report.sga").toStdString()},
                                options);
  EXPECT_EQ(group.status, 0) << group.output << group.errors;
  EXPECT_EQ(group.output, "result=0\n");
  EXPECT_NE(group.errors.find("Всего документов: 2"), std::string::npos) << group.errors;
  EXPECT_EQ(read_file(path("docs/a.txt")), kDocument);
  expect_kept(before);
}
#endif

}  // namespace
}  // namespace dsutils::testing
