// AddSignature over the real toolkit: the name the new signature takes, the
// author's identity (serial and issuer), replacing, and every way out
// leaving the archive whole and the working root empty.
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
    write_file("build/doc.txt", "the document\n");
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

  sga::Contents contents() const {
    sga::Contents c;
    std::string why;
    EXPECT_TRUE(sga::check_archive_bytes(read_file(archive()), {"Src"}, c, &why)) << why;
    return c;
  }

  SignAnswer add_answer() {
    SignAnswer a;
    a.accepted = true;
    a.includeCertificate = true;
    a.includeSigningTime = true;
    return a;
  }
};

TEST_F(AddSignatureTest, AddSignatureScriptedTable) {
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

}  // namespace
}  // namespace dsutils::testing
