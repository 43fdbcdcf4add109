// SignEncryptGroup over the real toolkit: the sheet or the settings, the
// early ends with their codes, cancel, the placing of the final file under
// every sorting row, and what the stock tar finds inside a decrypted .sga.
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <algorithm>
#include <functional>
#include <map>

#include "quillon2/ql_codes.h"
#include "tests/dsutils/operation_fixture.h"
#include "tests/support/run_program.h"

namespace dsutils::testing {
namespace {

namespace ql = quillon2;
using platform::reg::RegistryKey;

std::string doc_text(const QString& name) { return testing::doc_text(name, 32 * 1024); }

class SignEncryptGroupTest : public OperationTest {
 protected:
  void SetUp() override {
    OperationTest::SetUp();
    install_directory(operation_pki());
  }
  QStringList make_docs(const QStringList& names) { return OperationTest::make_docs(names, 32 * 1024); }
  static SignEncryptAnswer sheet(const QString& out, const QStringList& recipients, bool detached = false) {
    SignEncryptAnswer a;
    a.accepted = true;
    a.outputName = out;
    a.recipients = recipients;
    a.detached = detached;
    OwnerRecord author;
    if (engine_helper().GetOwnerRecord(author)) a.author = author;
    return a;
  }
  // Every file below the scratch folder whose name ends with `suffix`.
  QStringList files_ending(const QString& suffix) const {
    QStringList out;
    QDirIterator it(dir_, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
      const QString f = it.next();
      if (f.endsWith(suffix)) out << f;
    }
    return out;
  }
  int steps_per_file() {
    static int steps = 0;
    if (steps > 0) return steps;
    write_file("probe.txt", doc_text("probe"));
    set_encrypt_settings(0, {"61"});
    ScriptedUi ui;
    ui.queuePassword(kKeyPassword);
    OperationJob job;
    job.automatic = true;
    job.files << path("probe.txt");
    const OperationUiScope scope(&ui);
    EXPECT_EQ(SignEncryptGroup(&job), 1);
    EXPECT_EQ(job.result, kOpOk);
    QFile::remove(path("probe.txt.sgn.enc"));
    steps = ui.progressSteps();
    return steps;
  }
};

TEST_F(SignEncryptGroupTest, ScriptedTable) {
  const int steps = steps_per_file();
  ASSERT_GE(steps, 2);
  struct Row {
    const char* what;
    QStringList names;
    std::function<void(ScriptedUi&)> script;
    std::function<void()> setup;
    bool automatic;
    int wantReturn;
    int wantResult;
    QStringList wantDocs;
    std::map<QString, int> encrypted;  // file -> recipients
  };
  const auto password = [](ScriptedUi& ui) { ui.queuePassword(kKeyPassword); };
  const Row rows[] = {
      {"automatic with IsSgn 1: an archive, encrypted",
       {"a.txt"},
       password,
       [&] {
         set_log_options(0, 0, 1);
         set_encrypt_settings(0, {"61"});
       },
       true,
       1,
       kOpOk,
       {"a.txt", "a.txt.sga.enc"},
       {{"a.txt.sga.enc", 1}}},
      {"an interactive group of two through the sheet: both beside their sources",
       {"a.txt", "b.txt"},
       [&](ScriptedUi& ui) {
         ui.queueMessage(IDYES);
         ui.queueSignEncrypt(sheet(QString(), {"61", "62"}));
         ui.queuePassword(kKeyPassword);
         ui.queueMessage(IDOK);
       },
       nullptr,
       false,
       1,
       kOpOk,
       {"a.txt", "a.txt.sgn.enc", "b.txt", "b.txt.sgn.enc"},
       {{"a.txt.sgn.enc", 2}, {"b.txt.sgn.enc", 2}}},
      {"one file with a name from the sheet",
       {"a.txt"},
       [&](ScriptedUi& ui) {
         ui.queueSignEncrypt(sheet(path("docs/chosen.bin"), {"62"}));
         ui.queuePassword(kKeyPassword);
         ui.queueMessage(IDOK);
       },
       nullptr,
       false,
       1,
       kOpOk,
       {"a.txt", "chosen.bin"},
       {{"chosen.bin", 1}}},
      {"no recipients: 117 and nothing asked",
       {"a.txt"},
       [](ScriptedUi&) {},
       [&] { set_encrypt_settings(0, {}); },
       true,
       0,
       kOpNoRecipients,
       {"a.txt"},
       {}},
      {"only recipients gone from the directory: 117",
       {"a.txt"},
       [](ScriptedUi&) {},
       [&] {
         set_encrypt_settings(0, {"98", "99"});
       },
       true,
       0,
       kOpNoRecipients,
       {"a.txt"},
       {}},
      {"the key medium dialog cancelled: 184",
       {"a.txt"},
       [](ScriptedUi& ui) { ui.queueKeyMedium(KeyMediumAnswer{}); },
       [&] {
         set_encrypt_settings(0, {"61"});
         RegistryKey e;
         open_key(e, "\\Certificats\\Owner\\exec");
         ASSERT_TRUE(e.SetString("Path", path("no-medium").toStdString()));
       },
       true,
       0,
       kOpCancelled,
       {"a.txt"},
       {}},
      {"cancel at the last progress step: the source back, no .enc anywhere",
       {"a.txt"},
       [&](ScriptedUi& ui) {
         ui.queuePassword(kKeyPassword);
         ui.queueMessage(IDOK);  // the toolkit's 184 box
         ui.cancelAtStep(steps);
       },
       [&] { set_encrypt_settings(0, {"61"}); },
       true,
       0,
       kOpCancelled,
       {"a.txt"},
       {}},
      {"the sheet cancelled",
       {"a.txt"},
       [](ScriptedUi& ui) { ui.queueSignEncrypt(SignEncryptAnswer{}); },
       nullptr,
       false,
       0,
       kOpCancelled,
       {"a.txt"},
       {}},
      {"empty list", {}, [](ScriptedUi& ui) { ui.queueMessage(IDOK); }, nullptr, false, 0, kOpNoFiles, {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    QDir(docs()).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(docs()));
    install_directory(operation_pki());
    set_encrypt_settings(0, {});
    set_log_options(0, 0, 0);
    if (row.setup) row.setup();
    const QStringList files = make_docs(row.names);
    ScriptedUi operationUi;
    row.script(operationUi);
    OperationJob job;
    job.files = files;
    job.automatic = row.automatic;
    {
      const OperationUiScope scope(&operationUi);
      EXPECT_EQ(SignEncryptGroup(&job), row.wantReturn);
    }
    EXPECT_EQ(job.result, row.wantResult);
    EXPECT_EQ(QDir(docs()).entryList(QDir::Files, QDir::Name), row.wantDocs);
    for (const QString& n : row.names) EXPECT_TRUE(read_file(path("docs/" + n)) == doc_text(n)) << n.toStdString();
    for (const auto& [file, count] : row.encrypted)
      EXPECT_EQ(recipients_of(path("docs/" + file)), count) << file.toStdString();
    if (row.wantResult != kOpOk) {
      EXPECT_TRUE(files_ending(".enc").isEmpty()) << files_ending(".enc").join(",").toStdString();
    }
    if (row.wantResult == kOpNoRecipients) {
      EXPECT_TRUE(operationUi.calls().empty());
    }
    EXPECT_EQ(operationUi.unscripted(), 0);
    EXPECT_TRUE(work_root_entries().isEmpty());
  }
}

// A signed file of 2 GiB or more is refused before anything is copied.
TEST_F(SignEncryptGroupTest, FileOf2GiBIsRefusedUntouched) {
  set_encrypt_settings(0, {"61"});
  write_file("docs/big.bin", "head");
  ASSERT_TRUE(QFile::resize(path("docs/big.bin"), kMaxSignableBytes + 1));
  ScriptedUi ui;
  ui.queuePassword(kKeyPassword);
  OperationJob job;
  job.automatic = true;
  job.files << path("docs/big.bin");
  {
    const OperationUiScope scope(&ui);
    EXPECT_EQ(SignEncryptGroup(&job), 0);
  }
  EXPECT_EQ(job.result, ql::QL_ERR_ARGUMENT);
  EXPECT_EQ(QFileInfo(path("docs/big.bin")).size(), kMaxSignableBytes + 1);
  EXPECT_EQ(QDir(docs()).entryList(QDir::Files), QStringList{"big.bin"});
  EXPECT_TRUE(work_root_entries().isEmpty());
}

// The final file goes where the "ENC" rules say, the source where the
// "SGN" rules say; Result 1 leaves one copy, ResultExist 1 a second name,
// a fresh registry every source at its place.
TEST_F(SignEncryptGroupTest, SortingTable) {
  const QStringList names{"a.txt", "b.txt"};
  for (const SortingCase& row : sorting_cases()) {
    SCOPED_TRACE(row.what());
    prepare_sorting(row, QStringLiteral("ENC"), operation_pki());
    if (!row.fresh) set_sorting(QStringLiteral("SGN"), row.sort);
    set_encrypt_settings(0, {"61"});
    plant_old_files(row, {"a.txt.sgn.enc", "b.txt.sgn.enc"}, names);
    const QStringList files = make_docs(names);
    ScriptedUi operationUi;
    operationUi.queuePassword(kKeyPassword);
    OperationJob job;
    job.automatic = true;
    job.files = files;
    {
      const OperationUiScope scope(&operationUi);
      ASSERT_EQ(SignEncryptGroup(&job), 1);
    }
    EXPECT_EQ(job.result, kOpOk);
    for (const QString& n : names)
      check_group_file(row, n, doc_text(n), ".sgn.enc",
                       [](const QString& file, const std::string&) { return recipients_of(file) == 1; });
    // Exactly one new final file per source anywhere.
    int finals = 0;
    for (const QString& f : files_ending(".enc"))
      if (recipients_of(f) == 1) ++finals;
    EXPECT_EQ(finals, 2);
    if (!row.fresh && row.sort.Result == 0 && row.sort.ResultExist == 1) {
      // The free name is GetUnicalName's: the number before the first dot.
      EXPECT_EQ(recipients_of(path("docs/a[1].txt.sgn.enc")), 1) << QDir(docs()).entryList().join(",").toStdString();
    }
    EXPECT_TRUE(work_root_entries().isEmpty());
  }
}

// Decrypted with the recipient's key, the .sga.enc holds the archive the
// stock tar lists as the document, its signature and the list.
TEST_F(SignEncryptGroupTest, ArchiveInsideListsWithTar) {
  set_log_options(0, 0, 1);
  set_encrypt_settings(0, {"61"});
  make_docs({"a.txt"});
  ScriptedUi ui;
  ui.queuePassword(kKeyPassword);
  OperationJob job;
  job.automatic = true;
  job.files << path("docs/a.txt");
  {
    const OperationUiScope scope(&ui);
    ASSERT_EQ(SignEncryptGroup(&job), 1);
  }
  const OperationPki& pki = operation_pki();
  write_file("keys/reader.p8", pki.user1.keyPkcs8);
  {
    CryptoSession& session = global_crypto_session();
    SessionHold hold(session);
    ASSERT_EQ(hold.OpenWithPath(random_state_container()), 0);
    ASSERT_EQ(session.LoadKeyFile(path("keys/reader.p8"), kKeyPassword), 0);
    session.AddCertificate(reinterpret_cast<const unsigned char*>(pki.user1.der.constData()),
                           static_cast<long>(pki.user1.der.size()));
    ASSERT_EQ(session.DecryptFile(path("docs/a.txt.sga.enc"), path("a.sga"), nullptr), 0);
  }
  const test_support::ProgramResult r = test_support::run_program({"tar", "-tf", path("a.sga").toStdString()});
  if (r.status != 0) {
    if (under_ci()) FAIL() << "tar: " << r.output;
    GTEST_SKIP() << "tar: " << r.output;
  }
  QStringList listed = QString::fromStdString(r.output).split('\n', Qt::SkipEmptyParts);
  listed.sort();
  EXPECT_EQ(listed, (QStringList{"_list_._vt", "a.txt", "a.txt.1"}));
}

#ifdef DOSSAR_DSENGINE
// dsengine sign-encrypt in an automatic run: the password from standard
// input, the saved recipient, the final file beside the source.
TEST_F(SignEncryptGroupTest, DsengineSignEncrypt) {
  set_encrypt_settings(0, {"62"});
  make_docs({"a.txt"});
  test_support::ProgramOptions options;
  options.input = std::string(kKeyPassword) + "\n";
  options.separate_errors = true;
  const test_support::ProgramResult r = test_support::run_program(
      {DOSSAR_DSENGINE, "sign-encrypt", "--auto", "--password-fd=0", path("docs/a.txt").toStdString()}, options);
  EXPECT_EQ(r.status, 0) << r.output << r.errors;
  EXPECT_EQ(r.output, "result=0\n");
  EXPECT_EQ(QDir(docs()).entryList(QDir::Files, QDir::Name), (QStringList{"a.txt", "a.txt.sgn.enc"}));
  EXPECT_EQ(recipients_of(path("docs/a.txt.sgn.enc")), 1);
  EXPECT_TRUE(read_file(path("docs/a.txt")) == doc_text("a.txt"));
}
#endif

}  // namespace
}  // namespace dsutils::testing
