// AddSignature over the real toolkit: the name the new signature takes, the
// author's identity (serial and issuer), replacing, and every way out
// leaving the archive whole and the working root empty.
#include <signal.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <functional>

#include "dsutils/engine/signature_archive.h"
#include "tests/dsutils/operation_fixture.h"

namespace dsutils::testing {
namespace {

namespace ql = quillon2;

class AddSignatureTest : public OperationTest {
 protected:
  void SetUp() override {
    OperationTest::SetUp();
    install_directory(operation_pki());
  }

  // A detached signature of `document` by `party` into `out`.
  void sign_detached(const PkiParty& party, const QString& document, const QString& out) {
    write_file("keys/signer.p8", party.keyPkcs8);
    CryptoSession& session = global_crypto_session();
    SessionHold hold(session);
    ASSERT_EQ(hold.OpenWithPath(random_state_container()), 0);
    ASSERT_EQ(session.LoadKeyFile(path("keys/signer.p8"), kKeyPassword), 0);
    for (const PkiParty* ca : {&operation_pki().ca, &operation_pki().otherCa})
      ASSERT_EQ(session.AddTrustedCertificate(reinterpret_cast<const unsigned char*>(ca->der.constData()),
                                              static_cast<long>(ca->der.size())),
                0);
    QL_SIGN_SET* set = session.NewSignatureSet();
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(session.AddSignerCertificate(set, ql::QL_LOOKUP_BYTES, party.der.constData(),
                                           static_cast<long>(party.der.size())),
              0);
    EXPECT_EQ(session.SignFile(set, document, out, 1, SigningOptions{1, 1}, nullptr), 0);
    session.FreeSignatureSet(set);
  }

  // docs/doc.txt.sga holding doc.txt and its signatures under the given
  // names, in that order (the first one is doc.txt.1).
  void build_archive(const std::vector<std::pair<const PkiParty*, QString>>& signers) {
    const QString work = path("build");
    QDir(work).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(work));
    write_file("build/doc.txt", document_);
    for (const auto& [party, name] : signers) sign_detached(*party, work + "/doc.txt", work + "/" + name);
    EngineHelper& h = engine_helper();
    ASSERT_EQ(h.WriteSignatureList(work + "/doc.txt", archive()), 1);
    // Later signatures go in through a copy of the archive beside them.
    if (signers.size() > 1) {
      ASSERT_TRUE(QFile::copy(archive(), work + "/doc.txt.sga"));
      for (std::size_t i = 1; i < signers.size(); ++i)
        ASSERT_EQ(h.AppendArchiveSignature(work + "/doc.txt.sga", work + "/" + signers[i].second, false), 1);
      ASSERT_TRUE(QFile::remove(archive()));
      ASSERT_TRUE(QFile::copy(work + "/doc.txt.sga", archive()));
    }
    QDir(work).removeRecursively();
  }

  QString archive() const { return path("docs/doc.txt.sga"); }

  // The archive's document: large enough for a few progress steps.
  std::string document_ = [] {
    std::string d = "the document\n";
    d.resize(48 * 1024, 'd');
    return d;
  }();

  // The number of progress steps of one added signature.
  int steps_per_add() {
    static int steps = 0;
    if (steps > 0) return steps;
    build_archive({{&operation_pki().executor, "doc.txt.1"}});
    set_executor(operation_pki().user1, QStringLiteral("probe"));
    ScriptedUi ui;
    ui.queueSign(add_answer());
    ui.queuePassword(kKeyPassword);
    OperationJob job;
    job.files << archive();
    {
      const OperationUiScope scope(&ui);
      EXPECT_EQ(AddSignature(&job), 1);
    }
    EXPECT_EQ(job.result, kOpOk);
    steps = ui.progressSteps();
    QFile::remove(archive());
    install_directory(operation_pki());
    return steps;
  }

  // A new archive holding doc.txt.1 and doc.txt.2.
  bool co_signed(const std::string& bytes) const {
    sga::Contents c;
    return sga::check_archive_bytes(bytes, {"Src"}, c, nullptr) && c.document == "doc.txt" &&
           c.signatures == std::vector<std::string>{"doc.txt.1", "doc.txt.2"};
  }

  sga::Contents contents() const {
    sga::Contents c;
    std::string why;
    EXPECT_TRUE(sga::check_archive_bytes(read_file(archive()), {"Src"}, c, &why)) << why;
    return c;
  }

  static SignAnswer add_answer() { return sign_answer(false, QString()); }
};

TEST_F(AddSignatureTest, AddSignatureScriptedTable) {
  const int steps = steps_per_add();
  ASSERT_GE(steps, 3);
  const OperationPki& pki = operation_pki();
  using Signers = std::vector<std::pair<const PkiParty*, QString>>;
  struct Row {
    const char* what;
    Signers signers;
    const PkiParty* author;
    std::function<void(ScriptedUi&)> script;
    int wantReturn;
    int wantResult;
    std::vector<std::string> wantSignatures;  // empty: the archive unchanged
  };
  const Row rows[] = {
      {"doc.1 gives doc.2",
       {{&pki.executor, "doc.txt.1"}},
       &pki.user1,
       [&](ScriptedUi& ui) {
         ui.queueSign(add_answer());
         ui.queuePassword(kKeyPassword);
       },
       1,
       kOpOk,
       {"doc.txt.1", "doc.txt.2"}},
      {"doc.1 and doc.3 give doc.4",
       {{&pki.executor, "doc.txt.1"}, {&pki.user2, "doc.txt.3"}},
       &pki.user1,
       [&](ScriptedUi& ui) {
         ui.queueSign(add_answer());
         ui.queuePassword(kKeyPassword);
       },
       1,
       kOpOk,
       {"doc.txt.1", "doc.txt.3", "doc.txt.4"}},
      {"the same author again, Yes: the signature is replaced under its name",
       {{&pki.user1, "doc.txt.1"}, {&pki.executor, "doc.txt.2"}},
       &pki.executor,
       [&](ScriptedUi& ui) {
         ui.queueSign(add_answer());
         ui.queueMessage(IDYES);
         ui.queuePassword(kKeyPassword);
       },
       1,
       kOpOk,
       {"doc.txt.1", "doc.txt.2"}},
      {"the same author again, No: nothing changes",
       {{&pki.executor, "doc.txt.1"}},
       &pki.executor,
       [&](ScriptedUi& ui) {
         ui.queueSign(add_answer());
         ui.queueMessage(IDNO);
       },
       0,
       kOpCancelled,
       {}},
      {"the same serial from another CA is another signer: added",
       {{&pki.executor, "doc.txt.1"}},
       &pki.twin,
       [&](ScriptedUi& ui) {
         ui.queueSign(add_answer());
         ui.queuePassword(kKeyPassword);
       },
       1,
       kOpOk,
       {"doc.txt.1", "doc.txt.2"}},
      {"sign dialog cancelled", {{&pki.executor, "doc.txt.1"}}, &pki.user1, [](ScriptedUi&) {}, 0, kOpCancelled, {}},
      {"key medium cancelled",
       {{&pki.executor, "doc.txt.1"}},
       &pki.user1,
       [&](ScriptedUi& ui) {
         SignAnswer a = add_answer();
         OwnerRecord author;
         ASSERT_TRUE(engine_helper().GetOwnerRecord(author));
         author.path = path("no-medium");
         a.author = author;
         ui.queueSign(a);
         ui.queueKeyMedium(KeyMediumAnswer{});
       },
       0,
       kOpKeyMediumCancelled,
       {}},
      {"an author without certificate bytes",
       {{&pki.executor, "doc.txt.1"}},
       &pki.user1,
       [&](ScriptedUi& ui) {
         SignAnswer a = add_answer();
         OwnerRecord author;
         ASSERT_TRUE(engine_helper().GetOwnerRecord(author));
         author.serNum.clear();
         a.author = author;
         ui.queueSign(a);
       },
       0,
       kOpNoSignature,
       {}},
      {"cancel at the first progress step",
       {{&pki.executor, "doc.txt.1"}},
       &pki.user1,
       [&](ScriptedUi& ui) {
         ui.queueSign(add_answer());
         ui.queuePassword(kKeyPassword);
         ui.cancelAtStep(1);
       },
       0,
       kOpCancelled,
       {}},
      {"cancel at a middle progress step",
       {{&pki.executor, "doc.txt.1"}},
       &pki.user1,
       [&](ScriptedUi& ui) {
         ui.queueSign(add_answer());
         ui.queuePassword(kKeyPassword);
         ui.cancelAtStep(steps / 2);
       },
       0,
       kOpCancelled,
       {}},
      {"cancel at the last progress step, replacing the author's signature",
       {{&pki.executor, "doc.txt.1"}},
       &pki.executor,
       [&](ScriptedUi& ui) {
         ui.queueSign(add_answer());
         ui.queueMessage(IDYES);
         ui.queuePassword(kKeyPassword);
         ui.cancelAtStep(steps);
       },
       0,
       kOpCancelled,
       {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    QDir(docs()).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(docs()));
    install_directory(pki);
    build_archive(row.signers);
    const std::string before = read_file(archive());
    const sga::Contents old = contents();
    set_executor(*row.author, QStringLiteral("author"));
    ScriptedUi operationUi;
    row.script(operationUi);
    OperationJob job;
    job.files << archive();
    {
      const OperationUiScope scope(&operationUi);
      EXPECT_EQ(AddSignature(&job), row.wantReturn);
    }
    EXPECT_EQ(job.result, row.wantResult);
    if (row.wantSignatures.empty()) {
      EXPECT_TRUE(read_file(archive()) == before);
    } else {
      EXPECT_FALSE(read_file(archive()) == before);  // a new or replaced signature
      const sga::Contents now = contents();
      EXPECT_EQ(now.document, "doc.txt");
      EXPECT_EQ(now.signatures, row.wantSignatures);
      ASSERT_FALSE(operationUi.messages().empty());
      EXPECT_EQ(operationUi.messages().back().text, QStringLiteral("Файл подписан!\r\nИмя файла: %1").arg(archive()));
    }
    EXPECT_EQ(QDir(docs()).entryList(QDir::Files), QStringList{"doc.txt.sga"});
    EXPECT_TRUE(work_root_entries().isEmpty());
    EXPECT_TRUE(ui_.calls().empty());
    (void)old;
  }
}

// A damaged archive: "not signed or damaged", the archive as it was.
TEST_F(AddSignatureTest, DamagedArchiveIsReportedAndKept) {
  const OperationPki& pki = operation_pki();
  build_archive({{&pki.executor, "doc.txt.1"}});
  const std::string bytes = read_file(archive());
  struct Row {
    const char* what;
    std::string bytes;
  };
  const Row rows[] = {
      {"not an archive", "plain text, no tar"},
      {"truncated", bytes.substr(0, 700)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    write_file("docs/doc.txt.sga", row.bytes);
    ScriptedUi operationUi;
    OperationJob job;
    job.files << archive();
    {
      const OperationUiScope scope(&operationUi);
      EXPECT_EQ(AddSignature(&job), 0);
    }
    EXPECT_EQ(job.result, kOpNoSignature);
    ASSERT_EQ(operationUi.messages().size(), 1u);
    EXPECT_TRUE(operationUi.messages()[0].text.startsWith(QStringLiteral("Файл:\n\n")));
    EXPECT_TRUE(operationUi.messages()[0].text.endsWith(QStringLiteral("\n\nне подписан или испорчен!")));
    EXPECT_TRUE(read_file(archive()) == row.bytes);
    EXPECT_TRUE(work_root_entries().isEmpty());
  }
}

// A job names one archive: a list of three signs the first only, and the
// others (the second a damaged one) stay as they were.
TEST_F(AddSignatureTest, OnlyTheFirstArchiveOfAJobIsSigned) {
  const OperationPki& pki = operation_pki();
  build_archive({{&pki.executor, "doc.txt.1"}});
  write_file("docs/damaged.sga", "no archive");
  ASSERT_TRUE(QFile::copy(archive(), path("docs/third.sga")));
  const std::string third = read_file(path("docs/third.sga"));
  set_executor(pki.user1, QStringLiteral("author"));
  ScriptedUi operationUi;
  operationUi.queueSign(add_answer());
  operationUi.queuePassword(kKeyPassword);
  OperationJob job;
  job.files << archive() << path("docs/damaged.sga") << path("docs/third.sga");
  {
    const OperationUiScope scope(&operationUi);
    EXPECT_EQ(AddSignature(&job), 1);
  }
  EXPECT_EQ(job.result, kOpOk);
  EXPECT_TRUE(co_signed(read_file(archive())));
  EXPECT_TRUE(read_file(path("docs/damaged.sga")) == "no archive");
  EXPECT_TRUE(read_file(path("docs/third.sga")) == third);
  EXPECT_EQ(QDir(docs()).entryList(QDir::Files, QDir::Name), QStringList({"damaged.sga", "doc.txt.sga", "third.sga"}));
  EXPECT_TRUE(work_root_entries().isEmpty());
}

// Where the rebuilt archive and the old one go: the rows of SignGroup's
// sorting table. The rebuilt archive takes the source's place (Result 0)
// or goes to the result folder; the old one goes where processed sources
// go, so with Result 0 and Source 1 the new one stands in its place.
TEST_F(AddSignatureTest, AddSignatureSortingTable) {
  const OperationPki& pki = operation_pki();
  for (const SortingCase& row : sorting_cases()) {
    SCOPED_TRACE(row.what());
    prepare_sorting(row, QStringLiteral("SGN"), pki);
    install_directory(pki);
    build_archive({{&pki.executor, "doc.txt.1"}});
    const std::string before = read_file(archive());
    set_executor(pki.user1, QStringLiteral("author"));
    // Result 0 places the archive under the source's own name.
    plant_old_files(row, row.sort.Result == 1 ? QStringList{"doc.txt.sga"} : QStringList{}, {"doc.txt.sga"});
    ScriptedUi operationUi;
    operationUi.queueSign(add_answer());
    operationUi.queuePassword(kKeyPassword);
    OperationJob job;
    job.files << archive();
    {
      const OperationUiScope scope(&operationUi);
      ASSERT_EQ(AddSignature(&job), 1);
    }
    EXPECT_EQ(job.result, kOpOk);
    const auto is = [](const std::string& want) {
      return [want](const QString&, const std::string& bytes) { return bytes == want; };
    };
    const auto isNew = [&](const QString&, const std::string& bytes) { return co_signed(bytes); };
    const bool resultSorted = row.sort.Result == 1;
    EXPECT_EQ(count_files(result_dir(row), "doc*.sga", isNew), 1);
    EXPECT_EQ(count_files(result_dir(row), "doc*.sga", is(kOldResult)), resultSorted && row.sort.ResultExist == 1);
    // The old archive: back at its place only when the new one went
    // elsewhere; in the source folder beside a planted file; or dropped.
    EXPECT_EQ(count_files(docs(), "doc*.sga", is(before)), resultSorted && row.sort.Source == 1 ? 1 : 0);
    if (row.sort.Source == 2) {
      EXPECT_EQ(count_files(source_dir(row), "doc*.sga", is(before)), 1);
      EXPECT_EQ(count_files(source_dir(row), "doc*.sga", is(kOldSource)), row.sort.SourceExist == 1 ? 1 : 0);
    }
    EXPECT_TRUE(work_root_entries().isEmpty());
    EXPECT_TRUE(ui_.calls().empty());
  }
}

// Runs out of room while the archive is rebuilt: the process may write no
// file larger than `limit` from the signing's first progress step until the
// progress display stops (the failure path stops it before it sorts).
class FullDiskUi : public ScriptedUi {
 public:
  explicit FullDiskUi(rlim_t limit) : limit_(limit) {}
  void progressStep(OperationProgress& progress, int stage, std::uint64_t done, std::uint64_t total) override {
    if (!limited_) {
      ::getrlimit(RLIMIT_FSIZE, &saved_);
      rlimit r = saved_;
      r.rlim_cur = limit_;
      limited_ = ::setrlimit(RLIMIT_FSIZE, &r) == 0;
    }
    ScriptedUi::progressStep(progress, stage, done, total);
  }
  void progressStopped(OperationProgress& progress) override {
    lift();
    ScriptedUi::progressStopped(progress);
  }
  ~FullDiskUi() override { lift(); }
  bool limited() const { return limited_; }

 private:
  void lift() {
    if (limited_ && !lifted_) lifted_ = ::setrlimit(RLIMIT_FSIZE, &saved_) == 0;
  }
  rlim_t limit_;
  rlimit saved_{};
  bool limited_ = false, lifted_ = false;
};

// A rebuild of the archive that fails (the disk full) fails the run: 10004,
// no success box, the archive put back whole, the working root empty.
TEST_F(AddSignatureTest, FailedRebuildFailsAndPutsTheArchiveBack) {
  const OperationPki& pki = operation_pki();
  // The signature fits below the limit, the rebuilt archive does not.
  document_.assign(1 << 20, 'x');
  const rlim_t limit = 256 * 1024;
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &old), 0);
  for (const bool replace : {false, true}) {
    SCOPED_TRACE(replace ? "replacing the author's signature" : "adding a signature");
    QDir(docs()).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(docs()));
    install_directory(pki);
    build_archive({{&pki.executor, "doc.txt.1"}});
    const std::string before = read_file(archive());
    set_executor(replace ? pki.executor : pki.user1, QStringLiteral("author"));
    FullDiskUi operationUi(limit);
    operationUi.queueSign(add_answer());
    if (replace) operationUi.queueMessage(IDYES);
    operationUi.queuePassword(kKeyPassword);
    OperationJob job;
    job.files << archive();
    {
      const OperationUiScope scope(&operationUi);
      EXPECT_EQ(AddSignature(&job), 0);
    }
    EXPECT_TRUE(operationUi.limited());
    EXPECT_EQ(job.result, kOpArchiveFailed);
    // Only the re-signing question; no success box.
    EXPECT_EQ(operationUi.messages().size(), replace ? 1u : 0u);
    EXPECT_TRUE(read_file(archive()) == before);
    EXPECT_EQ(QDir(docs()).entryList(QDir::Files), QStringList{"doc.txt.sga"});
    EXPECT_TRUE(work_root_entries().isEmpty()) << work_root_entries().join(' ').toStdString();
  }
  ::sigaction(SIGXFSZ, &old, nullptr);
}

}  // namespace
}  // namespace dsutils::testing
