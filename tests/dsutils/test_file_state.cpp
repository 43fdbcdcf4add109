// ShowFileState over the real toolkit: the dialog's text for each kind of
// file, a query that leaves every file exactly as it was, and the file
// check of a .sga archive where it lies.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "dsutils/engine/file_state.h"
#include "dsutils/engine/signature_archive.h"
#include "quillon2/ql_codes.h"
#include "tests/dsutils/unpack_fixture.h"
#include "tests/support/run_program.h"

namespace dsutils::testing {
namespace {

namespace ql = quillon2;

const std::string kDocument = "the state of this document\n";

// Keeps what the dialog was given.
class FileInfoUi : public ScriptedUi {
 public:
  void showFileInfo(const FileInfoRequest& request) override {
    ScriptedUi::showFileInfo(request);
    shown.push_back(request);
  }
  std::vector<FileInfoRequest> shown;
};

struct FileStat {
  ino_t inode = 0;
  off_t size = 0;
  mode_t mode = 0;
  nlink_t links = 0;
  timespec mtime{};
  bool operator==(const FileStat& o) const {
    return inode == o.inode && size == o.size && mode == o.mode && links == o.links && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

std::optional<FileStat> stat_of(const QString& path) {
  struct stat st {};
  if (::lstat(QFile::encodeName(path).constData(), &st) != 0) return std::nullopt;
  return FileStat{st.st_ino, st.st_size, st.st_mode, st.st_nlink, st.st_mtim};
}

class FileStateTest : public UnpackFixture {
 protected:
  void SetUp() override {
    UnpackFixture::SetUp();
    ASSERT_TRUE(QDir().mkpath(path("docs")));
    ASSERT_TRUE(QDir().mkpath(path("sga")));
  }
};

TEST_F(FileStateTest, KindsTable) {
  write_file("docs/doc.txt", kDocument);
  ASSERT_EQ(sign(path("docs/doc.txt"), path("docs/doc.txt.sgn"), {&partyA()}, true), ql::QL_OK);
  ASSERT_EQ(encrypt(path("docs/doc.txt"), path("docs/doc.txt.enc"), partyB()), ql::QL_OK);
  write_file("docs/both.p7",
             std::string("\x30\x80\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x04\xA0\x80\x30\x00\x00\x00\x00\x00", 21));
  write_file("docs/not-a-tar.sga", "just text named like an archive");
  // A good archive, with a second hard link and its own mode.
  write_file("sga/doc.txt", kDocument);
  ASSERT_EQ(sign(path("sga/doc.txt"), path("sga/doc.txt.1"), {&partyA()}, true, 1), ql::QL_OK);
  ASSERT_EQ(engine_helper().WriteSignatureList(path("sga/doc.txt"), path("docs/good.sga")), 1);
  ASSERT_EQ(::chmod(QFile::encodeName(path("docs/good.sga")).constData(), 0640), 0);
  ASSERT_EQ(::link(QFile::encodeName(path("docs/good.sga")).constData(),
                   QFile::encodeName(path("docs/good-link.sga")).constData()),
            0);
  {
    // An archive whose list names a signature it does not hold.
    write_file("sga/x.txt", kDocument);
    EXPECT_EQ(engine_helper().WriteSignatureList(path("sga/x.txt"), path("sga/x.sga")), 0);
    const test_support::ProgramResult tar =
        test_support::run_program({"tar", "--format=gnu", "-cf", path("docs/missing.sga").toStdString(), "-C",
                                   path("sga").toStdString(), "x.txt", "_list_._vt"});
    if (tar.status != 0) {
      if (under_ci()) FAIL() << "tar: " << tar.output;
      GTEST_SKIP() << "tar: " << tar.output;
    }
  }
  {
    // 100 MiB: the head of a signed message, then a hole.
    ASSERT_TRUE(QFile::copy(path("docs/doc.txt.sgn"), path("docs/big.sgn")));
    ASSERT_TRUE(QFile::resize(path("docs/big.sgn"), 100LL << 20));
  }
  struct Row {
    const char* file;
    int value;
    const char* text;  // null: no dialog
  };
  const Row rows[] = {
      {"docs/doc.txt.sgn", 0, "Документ подписан!"},
      {"docs/doc.txt.enc", 0, "Документ зашифрован!"},
      {"docs/both.p7", 0, "Документ подписан и зашифрован!"},
      {"docs/doc.txt", 0, "Документ не защищен или испорчен!"},
      {"docs/good.sga", 0, "Документ подписан!"},
      {"docs/missing.sga", 0, "Документ не подписан или испорчен!"},
      {"docs/not-a-tar.sga", 0, "Документ не подписан или испорчен!"},
      {"docs/big.sgn", 0, "Документ подписан!"},
      {"docs/absent.sgn", -1, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    const QString file = path(row.file);
    const std::optional<FileStat> before = stat_of(file);
    const std::string bytes = row.value == 0 && QFileInfo(file).size() < (1 << 20) ? read_file(file) : std::string();
    FileInfoUi ui;
    int value = 0;
    {
      const OperationUiScope scope(&ui);
      value = ShowFileState(file);
    }
    EXPECT_EQ(value, row.value);
    if (row.text != nullptr) {
      ASSERT_EQ(ui.shown.size(), 1u);
      EXPECT_EQ(ui.shown[0].fileName, file);
      EXPECT_EQ(ui.shown[0].body.toStdString(), row.text);
    } else {
      EXPECT_TRUE(ui.shown.empty());
    }
    // A query: inode, size, mode, links and time as they were.
    EXPECT_TRUE(stat_of(file) == before);
    if (!bytes.empty()) {
      EXPECT_EQ(read_file(file), bytes);
    }
    EXPECT_TRUE(QDir(engine_helper().TmpRoot()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
  }
  EXPECT_EQ(stat_of(path("docs/good.sga"))->links, 2u);
}

// The file check reads the list where the archive lies, and refuses what
// the in-memory check refuses.
TEST_F(FileStateTest, ArchiveFileCheck) {
  write_file("sga/doc.txt", kDocument);
  ASSERT_EQ(sign(path("sga/doc.txt"), path("sga/doc.txt.1"), {&partyA()}, true, 1), ql::QL_OK);
  ASSERT_EQ(engine_helper().WriteSignatureList(path("sga/doc.txt"), path("docs/good.sga")), 1);
  sga::Contents c;
  ASSERT_TRUE(sga::check_archive_file(path("docs/good.sga"), c));
  EXPECT_EQ(c.document, "doc.txt");
  EXPECT_EQ(c.signatures, std::vector<std::string>{"doc.txt.1"});
  // The same bytes in memory give the same answer.
  sga::Contents m;
  ASSERT_TRUE(sga::check_archive_bytes(read_file(path("docs/good.sga")), {"Src", "good.sga"}, m));
  EXPECT_EQ(m.members, c.members);
  // A link is not followed; a missing file and a folder are refused.
  ASSERT_EQ(::symlink(QFile::encodeName(path("docs/good.sga")).constData(),
                      QFile::encodeName(path("docs/link.sga")).constData()),
            0);
  for (const char* bad : {"docs/link.sga", "docs/absent.sga", "sga"}) {
    sga::Contents out;
    std::string why;
    EXPECT_FALSE(sga::check_archive_file(path(bad), out, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
}

// ExtractSignedDocument: the document beside the signed file under a free
// name, the signed file never touched, a missing file silent.
TEST_F(FileStateTest, ExtractSignedDocumentTable) {
  write_file("docs/report.doc", kDocument);
  ASSERT_EQ(sign(path("docs/report.doc"), path("docs/report.doc.sgn"), {&partyA()}, true), ql::QL_OK);
  ASSERT_TRUE(QFile::remove(path("docs/report.doc")));
  write_file("sga/doc.txt", kDocument);
  ASSERT_EQ(sign(path("sga/doc.txt"), path("sga/doc.txt.1"), {&partyA()}, true, 1), ql::QL_OK);
  ASSERT_EQ(engine_helper().WriteSignatureList(path("sga/doc.txt"), path("docs/ARCH.SGA")), 1);
  write_file("docs/plain.sgn", "not a signed message");
  struct Row {
    const char* what;
    const char* file;
    std::function<void()> setup;
    int value;
    const char* document;  // expected path below the scratch folder, or null
    const char* box;       // the start of the box, or null for none
  };
  const Row rows[] = {
      {"report.doc.sgn gives report.doc", "docs/report.doc.sgn", [] {}, 1, "docs/report.doc", nullptr},
      {"report.doc exists: report[1].doc", "docs/report.doc.sgn", [] {}, 1, "docs/report[1].doc", nullptr},
      {"an archive in capitals", "docs/ARCH.SGA", [] {}, 1, "docs/doc.txt", nullptr},
      {"not signed", "docs/plain.sgn", [] {}, 0, nullptr, "Ошибка при извлечении подписанного документа."},
      {"a document that cannot be written", "docs/report.doc.sgn",
       [this] { ASSERT_EQ(::chmod(QFile::encodeName(path("docs")).constData(), 0500), 0); }, 0, nullptr,
       "Не удалось создать файл!"},
      {"a missing file", "docs/absent.sgn", [] {}, 0, nullptr, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    // A read-only folder does not stop root.
    if (std::string(row.what) == "a document that cannot be written" && ::geteuid() == 0) {
      std::printf("skipped as root: %s\n", row.what);
      continue;
    }
    const QString file = path(row.file);
    const std::optional<FileStat> before = stat_of(file);
    const std::string bytes = before ? read_file(file) : std::string();
    const std::string logBefore = read_file(path("events.log"));
    row.setup();
    ScriptedUi ui;
    QString document = QStringLiteral("stale");
    int value = -1;
    {
      const OperationUiScope scope(&ui);
      value = engine_helper().ExtractSignedDocument(file, document);
    }
    ::chmod(QFile::encodeName(path("docs")).constData(), 0700);
    EXPECT_EQ(value, row.value);
    if (row.document != nullptr) {
      EXPECT_EQ(document, path(row.document));
      EXPECT_EQ(read_file(path(row.document)), kDocument);
    } else {
      EXPECT_TRUE(document.isEmpty());
    }
    if (row.box != nullptr) {
      ASSERT_EQ(ui.messages().size(), 1u);
      EXPECT_TRUE(ui.messages()[0].text.startsWith(QString::fromUtf8(row.box))) << ui.messages()[0].text.toStdString();
      EXPECT_NE(read_file(path("events.log")), logBefore);
    } else if (row.value == 0) {
      EXPECT_TRUE(ui.messages().empty());
      EXPECT_EQ(read_file(path("events.log")), logBefore);
    }
    EXPECT_TRUE(stat_of(file) == before);
    EXPECT_EQ(before ? read_file(file) : std::string(), bytes);
    EXPECT_TRUE(QDir(engine_helper().TmpRoot()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
  }
}

#ifdef DOSSAR_DSENGINE
// dsengine file-state prints the dialog's text and changes nothing.
TEST_F(FileStateTest, DsengineFileState) {
  write_file("docs/doc.txt", kDocument);
  ASSERT_EQ(sign(path("docs/doc.txt"), path("docs/doc.txt.sgn"), {&partyA()}, true), ql::QL_OK);
  const std::optional<FileStat> before = stat_of(path("docs/doc.txt.sgn"));
  test_support::ProgramOptions options;
  options.separate_errors = true;
  const test_support::ProgramResult r =
      test_support::run_program({DOSSAR_DSENGINE, "file-state", path("docs/doc.txt.sgn").toStdString()}, options);
  EXPECT_EQ(r.status, 0) << r.output << r.errors;
  EXPECT_EQ(r.output, "result=0\n");
  EXPECT_NE(r.errors.find("Документ подписан!"), std::string::npos) << r.errors;
  EXPECT_TRUE(stat_of(path("docs/doc.txt.sgn")) == before);
  const test_support::ProgramResult absent =
      test_support::run_program({DOSSAR_DSENGINE, "file-state", path("docs/absent").toStdString()}, options);
  EXPECT_EQ(absent.status, 1);
  EXPECT_EQ(absent.output, "result=-1\n");

  const test_support::ProgramResult extracted =
      test_support::run_program({DOSSAR_DSENGINE, "extract-document", path("docs/doc.txt.sgn").toStdString()}, options);
  EXPECT_EQ(extracted.status, 0) << extracted.output << extracted.errors;
  EXPECT_EQ(extracted.output, "document=" + path("docs/doc[1].txt").toStdString() + "\nresult=1\n");
  EXPECT_EQ(read_file(path("docs/doc[1].txt")), kDocument);
  EXPECT_TRUE(stat_of(path("docs/doc.txt.sgn")) == before);
}
#endif

}  // namespace
}  // namespace dsutils::testing
