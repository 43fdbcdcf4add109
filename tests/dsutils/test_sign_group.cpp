// SignGroup and AddSignature over the real toolkit, a scripted person and
// the operation fixture: every row ends with an empty working root, no
// source byte lost, and everything shown reaching the operation's interface.
#include <fcntl.h>
#include <openssl/pkcs7.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <fstream>
#include <functional>
#include <utility>
#include <vector>

#include "dsutils/engine/signature_archive.h"
#include "tests/dsutils/operation_fixture.h"

QCRYPTO_DECLARE_OWNER(PKCS7, PKCS7_free)

namespace dsutils::testing {
namespace {

using platform::reg::RegistryKey;

// The content of an attached signed message, empty when the file is none.
std::string signed_content(const std::string& bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  qcrypto::UniquePtr<PKCS7> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(bytes.size())));
  if (!p7 || PKCS7_type_is_signed(p7.get()) == 0) return {};
  PKCS7* inner = p7->d.sign->contents;
  if (inner == nullptr || PKCS7_type_is_data(inner) == 0 || inner->d.data == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(inner->d.data->data),
                     static_cast<std::size_t>(inner->d.data->length));
}

// Large enough for the toolkit to report progress a few times.
std::string doc_text(const QString& name) {
  std::string text = "document " + name.toStdString() + "\n";
  text.resize(48 * 1024, 'd');
  return text;
}

class SignGroupTest : public OperationTest {
 protected:
  void SetUp() override {
    OperationTest::SetUp();
    install_directory(operation_pki());
  }

  QStringList docs_entries() const { return QDir(docs()).entryList(QDir::Files | QDir::System, QDir::Name); }
  QStringList make_docs(const QStringList& names) {
    QStringList full;
    for (const QString& n : names) {
      write_file("docs/" + n, doc_text(n));
      full << path("docs/" + n);
    }
    return full;
  }
  // The number of progress steps one small file's signing takes.
  int steps_per_file() {
    static int steps = 0;
    if (steps > 0) return steps;
    write_file("probe.txt", doc_text("probe"));
    ScriptedUi ui;
    ui.queueSign(sign_answer(false, path("probe.sgn")));
    ui.queuePassword(kKeyPassword);
    OperationJob job;
    job.files << path("probe.txt");
    const OperationUiScope scope(&ui);
    EXPECT_EQ(SignGroup(&job), 1);
    EXPECT_EQ(job.result, 0);
    steps = ui.progressSteps();
    return steps;
  }
};

// One table of SignGroup runs: what is asked, what is answered, what the
// folder holds afterwards, the result code and the last box.
TEST_F(SignGroupTest, SignGroupScriptedTable) {
  const int steps = steps_per_file();
  ASSERT_GE(steps, 3);
  const QString sgn = QStringLiteral("Ошибка формирования подписи.\r\nКод ошибки: %1\r\nИсходный файл: %2");
  const QString cancelledText = error_text_loader().GetErrorText(184);

  struct Row {
    const char* what;
    QStringList names;
    std::function<void(ScriptedUi&, const QStringList&)> script;
    std::function<void()> setup;
    bool automatic;
    int wantReturn;
    int wantResult;
    QStringList wantDocs;                                // the folder afterwards
    QStringList signedFiles;                             // attached signatures of their own document
    std::function<QString(const QStringList&)> lastBox;  // empty: none expected
  };
  const auto none = [](const QStringList&) { return QString(); };
  const Row rows[] = {
      {"one file, embedded",
       {"a.txt"},
       [&](ScriptedUi& ui, const QStringList&) {
         ui.queueSign(sign_answer(false, path("docs/a.txt.sgn")));
         ui.queuePassword(kKeyPassword);
       },
       nullptr,
       false,
       1,
       kOpOk,
       {"a.txt", "a.txt.sgn"},
       {"a.txt.sgn"},
       [&](const QStringList& f) {
         return QStringLiteral(
                    "Документ успешно подписан!\r\n\r\nИсходный документ: \r\n%1\r\n\r\nПодписанный документ: \r\n%2")
             .arg(f[0], path("docs/a.txt.sgn"));
       }},
      {"one file, detached, under another name",
       {"a.txt"},
       [&](ScriptedUi& ui, const QStringList&) {
         ui.queueSign(sign_answer(true, path("docs/other.sga")));
         ui.queuePassword(kKeyPassword);
       },
       nullptr,
       false,
       1,
       kOpOk,
       {"a.txt", "other.sga"},
       {},
       nullptr},
      {"a group with a file already named .sgn signs it under its own name",
       {"a.sgn", "b.txt"},
       [&](ScriptedUi& ui, const QStringList&) {
         ui.queueMessage(IDYES);
         ui.queueSign(sign_answer(false, QString()));
         ui.queuePassword(kKeyPassword);
       },
       nullptr,
       false,
       1,
       kOpOk,
       {"a.sgn", "b.txt", "b.txt.sgn"},
       {"a.sgn", "b.txt.sgn"},
       [](const QStringList&) {
         return QStringLiteral("\r\nОперация формирования подписи завершена!\r\n\r\nОбработано файлов: 2");
       }},
      {"group question answered No",
       {"a.txt", "b.txt", "c.txt"},
       [&](ScriptedUi& ui, const QStringList&) { ui.queueMessage(IDNO); },
       nullptr,
       false,
       0,
       kOpCancelled,
       {"a.txt", "b.txt", "c.txt"},
       {},
       [](const QStringList&) { return QStringLiteral("\nПодписать группу файлов?\nВсего файлов: 3"); }},
      {"sign dialog cancelled",
       {"a.txt"},
       [&](ScriptedUi&, const QStringList&) {},
       nullptr,
       false,
       0,
       kOpCancelled,
       {"a.txt"},
       {},
       none},
      {"key medium missing and its dialog cancelled",
       {"a.txt"},
       [&](ScriptedUi& ui, const QStringList&) {
         ui.queueSign(sign_answer(false, path("docs/a.txt.sgn")));
         ui.queueKeyMedium(KeyMediumAnswer{});
       },
       [&] {
         RegistryKey e;
         open_key(e, "\\Certificats\\Owner\\exec");
         ASSERT_TRUE(e.SetString("Path", path("no-medium").toStdString()));
       },
       false,
       0,
       kOpKeyMediumCancelled,
       {"a.txt"},
       {},
       none},
      {"password prompt cancelled",
       {"a.txt"},
       [&](ScriptedUi& ui, const QStringList&) {
         ui.queueSign(sign_answer(false, path("docs/a.txt.sgn")));
         ui.queuePassword(std::nullopt);
       },
       nullptr,
       false,
       0,
       -1,
       {"a.txt"},
       {},
       nullptr},
      {"cancel at the first progress step",
       {"a.txt"},
       [&](ScriptedUi& ui, const QStringList&) {
         ui.queueSign(sign_answer(false, path("docs/a.txt.sgn")));
         ui.queuePassword(kKeyPassword);
         ui.cancelAtStep(1);
       },
       nullptr,
       false,
       0,
       kOpCancelled,
       {"a.txt"},
       {},
       [&](const QStringList&) { return error_text_loader().ErrorMessage(184); }},
      {"cancel at a middle progress step",
       {"a.txt"},
       [&](ScriptedUi& ui, const QStringList&) {
         ui.queueSign(sign_answer(false, path("docs/a.txt.sgn")));
         ui.queuePassword(kKeyPassword);
         ui.cancelAtStep(steps / 2);
       },
       nullptr,
       false,
       0,
       kOpCancelled,
       {"a.txt"},
       {},
       nullptr},
      {"cancel at the last progress step, signing under the file's own name",
       {"a.sgn"},
       [&](ScriptedUi& ui, const QStringList&) {
         ui.queueSign(sign_answer(false, path("docs/a.sgn")));
         ui.queuePassword(kKeyPassword);
         ui.cancelAtStep(steps);
       },
       nullptr,
       false,
       0,
       kOpCancelled,
       {"a.sgn"},
       {},
       nullptr},
      {"the second of three fails: the first signed and sorted, the third untouched",
       {"a.txt", "b.txt", "c.txt"},
       [&](ScriptedUi& ui, const QStringList&) {
         ui.queueMessage(IDYES);
         ui.queueSign(sign_answer(false, QString()));
         ui.queuePassword(kKeyPassword);
         ui.cancelAtStep(steps + 1);
       },
       nullptr,
       false,
       0,
       kOpCancelled,
       {"a.txt", "a.txt.sgn", "b.txt", "c.txt"},
       {"a.txt.sgn"},
       [&](const QStringList&) { return error_text_loader().ErrorMessage(184); }},
      {"empty list",
       {},
       [&](ScriptedUi&, const QStringList&) {},
       nullptr,
       false,
       0,
       kOpNoFiles,
       {},
       {},
       [](const QStringList&) { return QStringLiteral("Не выбраны файлы для подписи!"); }},
      {"automatic, detached default: name + .sga",
       {"a.txt"},
       [&](ScriptedUi& ui, const QStringList&) { ui.queuePassword(kKeyPassword); },
       [&] { set_log_options(1, 1, 1); },
       true,
       1,
       kOpOk,
       {"a.txt", "a.txt.sga"},
       {},
       none},
      {"automatic, embedded default: name + .sgn",
       {"a.txt"},
       [&](ScriptedUi& ui, const QStringList&) { ui.queuePassword(kKeyPassword); },
       [&] { set_log_options(0, 0, 0); },
       true,
       1,
       kOpOk,
       {"a.txt", "a.txt.sgn"},
       {"a.txt.sgn"},
       none},
      {"automatic without an executor entry",
       {"a.txt"},
       [&](ScriptedUi&, const QStringList&) {},
       [&] {
         RegistryKey owner;
         open_key(owner, "\\Certificats\\Owner");
         ASSERT_TRUE(owner.SetString("Owner", "nobody"));
       },
       true,
       0,
       kOpNoExecutorInDirectory,
       {"a.txt"},
       {},
       [](const QStringList&) {
         return QStringLiteral("Не определен  Исполнитель в Локальном справочнике сертификатов!");
       }},
  };

  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    QDir(docs()).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(docs()));
    install_directory(operation_pki());
    if (row.setup) row.setup();
    const QStringList files = make_docs(row.names);
    ScriptedUi operationUi;
    row.script(operationUi, files);
    OperationJob job;
    job.files = files;
    job.automatic = row.automatic;
    int returned = -1;
    {
      const OperationUiScope scope(&operationUi);
      returned = SignGroup(&job);
    }
    EXPECT_EQ(returned, row.wantReturn);
    if (row.wantResult >= 0) {
      EXPECT_EQ(job.result, row.wantResult);
    } else {
      EXPECT_NE(job.result, kOpOk);
    }
    EXPECT_EQ(docs_entries(), row.wantDocs);
    for (const QString& n : row.names) {
      const QString doc = path("docs/" + n);
      if (!row.signedFiles.contains(n)) {
        EXPECT_TRUE(read_file(doc) == doc_text(n)) << n.toStdString();
      }
    }
    for (const QString& s : row.signedFiles) {
      const QString document = s.endsWith(QLatin1String(".txt.sgn")) ? s.chopped(4) : s;
      EXPECT_TRUE(signed_content(read_file(path("docs/" + s))) == doc_text(document)) << s.toStdString();
    }
    EXPECT_TRUE(work_root_entries().isEmpty()) << work_root_entries().join(' ').toStdString();
    EXPECT_TRUE(ui_.calls().empty());  // nothing reached the process-wide interface
    EXPECT_FALSE(operationUi.progressShown());
    if (row.lastBox) {
      const QString want = row.lastBox(files);
      if (want.isEmpty()) {
        EXPECT_TRUE(operationUi.messages().empty());
      } else {
        ASSERT_FALSE(operationUi.messages().empty());
        EXPECT_EQ(operationUi.messages().back().text, want);
      }
    }
  }
  (void)sgn;
  (void)cancelledText;
}

// Where the results and the sources go: Result 0/1 x Source 0/1/2 x the
// *Exist words (a file already at the target keeps its bytes and the new
// one takes a free name), and a fresh settings tree.
TEST_F(SignGroupTest, SignGroupSortingTable) {
  const QStringList names{"a.txt", "b.txt"};
  for (const SortingCase& row : sorting_cases()) {
    SCOPED_TRACE(row.what());
    prepare_sorting(row, QStringLiteral("SGN"), operation_pki());
    plant_old_files(row, {"a.txt.sgn", "b.txt.sgn"}, names);
    const QStringList files = make_docs(names);
    ScriptedUi operationUi;
    operationUi.queueMessage(IDYES);
    operationUi.queueSign(sign_answer(false, QString()));
    operationUi.queuePassword(kKeyPassword);
    OperationJob job;
    job.files = files;
    {
      const OperationUiScope scope(&operationUi);
      ASSERT_EQ(SignGroup(&job), 1);
    }
    EXPECT_EQ(job.result, kOpOk);
    for (const QString& n : names)
      check_group_file(row, n, doc_text(n), ".sgn",
                       [&](const QString&, const std::string& bytes) { return signed_content(bytes) == doc_text(n); });
    EXPECT_TRUE(work_root_entries().isEmpty());
    EXPECT_TRUE(ui_.calls().empty());
  }
}

// A missing sorting folder: the question, the box and the folder choice
// reach the operation's interface; the result goes to the chosen folder.
TEST_F(SignGroupTest, SortingFolderChoiceReachesTheOperationsInterface) {
  SortRow sort;
  sort.Result = 1;
  set_sorting(QStringLiteral("SGN"), sort);
  ASSERT_TRUE(QDir().mkpath(path("chosen")));
  const QStringList files = make_docs({"a.txt", "b.txt"});
  ScriptedUi operationUi;
  operationUi.queueMessage(IDYES);  // the group
  operationUi.queueSign(sign_answer(false, QString()));
  operationUi.queuePassword(kKeyPassword);
  operationUi.queueMessage(IDNO);  // do not create the configured folder
  operationUi.queueMessage(IDOK);  // "choose another"
  operationUi.queueFolder(path("chosen"));
  OperationJob job;
  job.files = files;
  {
    const OperationUiScope scope(&operationUi);
    ASSERT_EQ(SignGroup(&job), 1);
  }
  EXPECT_EQ(QDir(path("chosen")).entryList(QDir::Files, QDir::Name), QStringList({"a.txt.sgn", "b.txt.sgn"}));
  const std::vector<std::string> calls = operationUi.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), std::string("folder")), 1);
  EXPECT_TRUE(ui_.calls().empty());
  EXPECT_TRUE(work_root_entries().isEmpty());
}

// What the list may hold that is no file to sign: the temporary-folder
// failure, nothing touched; "." and ".." are passed over.
TEST_F(SignGroupTest, SignGroupRefusesWhatIsNoRegularFile) {
  ASSERT_EQ(::mkfifo(path("docs/fifo").toUtf8().constData(), 0600), 0);
  ASSERT_TRUE(QDir().mkpath(path("docs/folder")));
  struct Row {
    const char* what;
    QString entry;
    int wantReturn;
    int wantResult;
  };
  const Row rows[] = {
      {"a FIFO", path("docs/fifo"), 0, kOpWorkFolderFailed},
      {"a folder", path("docs/folder"), 0, kOpWorkFolderFailed},
      {"a missing file", path("docs/missing.txt"), 0, kOpWorkFolderFailed},
      {"\".\"", QStringLiteral("."), 1, kOpOk},
      {"\"..\"", QStringLiteral(".."), 1, kOpOk},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScriptedUi operationUi;
    operationUi.queueSign(sign_answer(false, row.entry + ".sgn"));
    operationUi.queuePassword(kKeyPassword);
    OperationJob job;
    job.files << row.entry;
    {
      const OperationUiScope scope(&operationUi);
      EXPECT_EQ(SignGroup(&job), row.wantReturn);
    }
    EXPECT_EQ(job.result, row.wantResult);
    if (row.wantResult == kOpWorkFolderFailed) {
      ASSERT_FALSE(operationUi.messages().empty());
      EXPECT_EQ(operationUi.messages().back().text,
                QStringLiteral("Ошибка при работе с временным каталогом.\r\nФайл: %1").arg(row.entry));
    }
    EXPECT_EQ(QDir(docs()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name),
              QStringList({"fifo", "folder"}));
    EXPECT_TRUE(work_root_entries().isEmpty());
  }
}

// The signed file is copied to the name the person chose; when that copy
// fails the run fails: no success box, the source whole, a code.
TEST_F(SignGroupTest, FailedCopyOfTheResultTakesTheFailurePath) {
  const QStringList files = make_docs({"a.txt"});
  for (const bool detached : {false, true}) {
    SCOPED_TRACE(detached ? "detached" : "embedded");
    ScriptedUi operationUi;
    operationUi.queueSign(sign_answer(detached, path("no-such-folder/a.out")));
    operationUi.queuePassword(kKeyPassword);
    OperationJob job;
    job.files = files;
    {
      const OperationUiScope scope(&operationUi);
      EXPECT_EQ(SignGroup(&job), 0);
    }
    EXPECT_EQ(job.result, kOpWorkFolderFailed);
    for (const auto& m : operationUi.messages())
      EXPECT_FALSE(m.text.startsWith(QStringLiteral("Документ успешно подписан!"))) << m.text.toStdString();
    EXPECT_TRUE(read_file(files[0]) == doc_text("a.txt"));
    EXPECT_EQ(docs_entries(), QStringList{"a.txt"});
    EXPECT_TRUE(work_root_entries().isEmpty());
  }
}

// The I/O of this process so far: bytes read and written through calls.
std::pair<long long, long long> io_counters() {
  std::ifstream in("/proc/self/io");
  std::string key;
  long long value = 0, rchar = -1, wchar = -1;
  while (in >> key >> value) {
    if (key == "rchar:") rchar = value;
    if (key == "wchar:") wchar = value;
  }
  return {rchar, wchar};
}

// A file the toolkit could never verify again (2 GiB and more) is refused
// before anything of it is read, copied or erased: 159, a box, a log line.
TEST_F(SignGroupTest, FilesOfTwoGibibytesAreRefusedBeforeAnyByteMoves) {
  for (const bool add : {false, true}) {
    SCOPED_TRACE(add ? "AddSignature" : "SignGroup");
    const QString big = path(add ? "docs/big.sga" : "docs/big.bin");
    {
      const int fd = ::open(big.toUtf8().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(::ftruncate(fd, 3LL << 30), 0);
      ::close(fd);
    }
    ScriptedUi operationUi;
    if (!add) operationUi.queueSign(sign_answer(false, big + ".sgn"));
    operationUi.queuePassword(kKeyPassword);
    OperationJob job;
    job.files << big;
    const auto before = io_counters();
    {
      const OperationUiScope scope(&operationUi);
      EXPECT_EQ(add ? AddSignature(&job) : SignGroup(&job), 0);
    }
    const auto after = io_counters();
    EXPECT_LT(after.first - before.first, 1 << 20);
    EXPECT_LT(after.second - before.second, 1 << 20);
    EXPECT_EQ(job.result, 159);
    ASSERT_FALSE(operationUi.messages().empty());
    EXPECT_EQ(operationUi.messages().back().text, error_text_loader().ErrorMessage(159));
    struct stat st {};
    ASSERT_EQ(::stat(big.toUtf8().constData(), &st), 0);
    EXPECT_EQ(st.st_size, 3LL << 30);
    EXPECT_LT(st.st_blocks, 64);  // still sparse: nothing was written into it
    EXPECT_NE(read_file(path("events.log")).find(big.toStdString()), std::string::npos);
    EXPECT_TRUE(work_root_entries().isEmpty());
    ::unlink(big.toUtf8().constData());
  }
}

}  // namespace
}  // namespace dsutils::testing
