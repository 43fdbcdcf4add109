// The DSUtil object over fake operations: which operation runs, on which
// thread and with which job, what each member answers and writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <system_error>
#include <thread>

#include "dsutils/com/dsutil_object.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/ui_scripted.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/widget_ui.h"
#include "platform/registry/registry_key.h"
#include "tests/dsutils_com/com_test_util.h"

namespace dsutils {
namespace {

// What one operation saw.
struct Seen {
  std::string op;
  OperationJob job;
  bool onCaller = false;
  EngineUi* ui = nullptr;
};

// What one mail operation saw: the job's flags and lists as they came.
struct MailSeen {
  std::string op;
  bool encrypt = false, sign = false, sorting = false, extract = false;
  QList<AttachmentRecord> attachments;
  QList<RecipientPair> recipients;
  bool onCaller = false;
  EngineUi* ui = nullptr;
  bool mailMode = false;
};

// The operations record their job and answer as told; the mail operations
// also run `mailBody` on the job (the results a test wants) and release
// `done` as the engine's do.
struct FakeOps {
  std::vector<Seen> seen;
  std::vector<MailSeen> mailSeen;
  bool answer = true;
  std::int32_t result = 0;
  Qt::HANDLE caller = nullptr;
  std::function<void(MailJob&)> mailBody;

  OperationTable::MailOperation makeMail(const char* name) {
    return [this, name](MailJob& job) {
      MailSeen m{name,
                 job.encrypt,
                 job.sign,
                 job.sorting,
                 job.extract,
                 *job.attachments,
                 *job.recipients,
                 QThread::currentThreadId() == caller,
                 operation_ui(),
                 false};
      m.mailMode = m.ui != nullptr && m.ui->mailMode();
      mailSeen.push_back(m);
      job.success = true;
      if (mailBody) mailBody(job);
      job.done.release();
      return true;
    };
  }

  OperationTable::Operation make(const char* name) {
    return [this, name](OperationJob& job) {
      seen.push_back({name, job, QThread::currentThreadId() == caller, operation_ui()});
      job.result = result;
      return answer;
    };
  }
  OperationTable table() {
    return {make("sign"),       make("encrypt"),     make("signEncrypt"), make("unpackGroup"),
            make("unpackFile"), makeMail("mailOut"), makeMail("mailIn")};
  }
};

class DSUtilObjectTest : public com_test::ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    ops_.caller = QThread::currentThreadId();
    auto ui = std::make_unique<ScriptedUi>();
    objectUi_ = ui.get();
    object_ = std::make_unique<DSUtilObject>(ops_.table(), std::move(ui));
  }
  void TearDown() override {
    object_.reset();
    ScratchTest::TearDown();
  }
  FakeOps ops_;
  ScriptedUi* objectUi_ = nullptr;
  std::unique_ptr<DSUtilObject> object_;
};

TEST_F(DSUtilObjectTest, OneBlockServesTheNextSingleFileCallOnly) {
  OperationParams block;
  block.mode = 3;
  block.text = QStringLiteral("first");
  block.outputName = QStringLiteral("/tmp/out.sgn");
  EXPECT_EQ(object_->put_Operation(block), HResult::Ok);
  EXPECT_EQ(object_->SignatureFile(QStringLiteral("/tmp/a.txt")), HResult::Ok);
  EXPECT_EQ(object_->SignatureFile(QStringLiteral("/tmp/b.txt")), HResult::Ok);
  ASSERT_EQ(ops_.seen.size(), 2u);
  const OperationJob& first = ops_.seen[0].job;
  EXPECT_EQ(ops_.seen[0].op, "sign");
  EXPECT_TRUE(first.automatic);
  EXPECT_EQ(first.files, QStringList{QStringLiteral("/tmp/a.txt")});
  EXPECT_EQ(first.params.mode, 3);
  EXPECT_EQ(first.params.text, QStringLiteral("first"));
  EXPECT_EQ(first.params.outputName, QStringLiteral("/tmp/out.sgn"));
  const OperationJob& second = ops_.seen[1].job;
  EXPECT_FALSE(second.automatic);
  EXPECT_EQ(second.params.text, QString());
  EXPECT_EQ(second.files, QStringList{QStringLiteral("/tmp/b.txt")});
  // Each ran on a worker that reaches the object's own UI.
  for (const Seen& s : ops_.seen) {
    EXPECT_FALSE(s.onCaller);
    EXPECT_EQ(s.ui, objectUi_);
  }
}

TEST_F(DSUtilObjectTest, CheckSignatureLeavesTheBlockPending) {
  OperationParams block;
  block.text = QStringLiteral("kept");
  object_->put_Operation(block);
  EXPECT_EQ(object_->CheckSignature(QStringLiteral("/tmp/a.sgn")), HResult::Ok);
  EXPECT_EQ(object_->EncriptFile(QStringLiteral("/tmp/b.txt")), HResult::Ok);
  ASSERT_EQ(ops_.seen.size(), 2u);
  EXPECT_EQ(ops_.seen[0].op, "unpackFile");
  EXPECT_FALSE(ops_.seen[0].job.automatic);
  EXPECT_EQ(ops_.seen[1].op, "encrypt");
  EXPECT_TRUE(ops_.seen[1].job.automatic);
  EXPECT_EQ(ops_.seen[1].job.params.text, QStringLiteral("kept"));
}

TEST_F(DSUtilObjectTest, SingleFileMembersPickTheirOperationAndAnswer) {
  platform::reg::RegistryKey log;
  open_key(log, "\\Property\\Log");
  ASSERT_TRUE(log.SetDword("UnPackDoc", 1));
  struct Case {
    HResult (DSUtilObject::*member)(const QString&);
    const char* op;
    std::int32_t unpackDocument;
  };
  const Case cases[] = {{&DSUtilObject::SignatureFile, "sign", 0},
                        {&DSUtilObject::EncriptFile, "encrypt", 0},
                        {&DSUtilObject::SignatureAndEncript, "signEncrypt", 0},
                        {&DSUtilObject::UnEncriptFile, "unpackFile", 1},
                        {&DSUtilObject::CheckSignature, "unpackFile", 0}};
  for (const Case& c : cases) {
    for (bool answer : {true, false}) {
      ops_.seen.clear();
      ops_.answer = answer;
      EXPECT_EQ((object_.get()->*c.member)(QStringLiteral("/tmp/x")), answer ? HResult::Ok : HResult::False) << c.op;
      ASSERT_EQ(ops_.seen.size(), 1u);
      EXPECT_EQ(ops_.seen[0].op, c.op);
      EXPECT_EQ(ops_.seen[0].job.unpackDocument, c.unpackDocument) << c.op;
    }
  }
}

TEST_F(DSUtilObjectTest, StoredProperties) {
  QString text = QStringLiteral("preset");
  EXPECT_EQ(object_->get_FileName_In(&text), HResult::Ok);
  EXPECT_EQ(text, QString());
  object_->put_FileName_In(QStringLiteral("/tmp/in.txt"));
  EXPECT_EQ(object_->get_FileName_In(&text), HResult::Ok);
  EXPECT_EQ(text, QStringLiteral("/tmp/in.txt"));
  for (auto put : {&DSUtilObject::put_Certificate_In, &DSUtilObject::put_Date_In, &DSUtilObject::put_Signature_In,
                   &DSUtilObject::put_OriginalFile_Del, &DSUtilObject::put_Owerwrite})
    EXPECT_EQ((object_.get()->*put)(1), HResult::Ok);
  EXPECT_EQ(object_->put_FileName_Out(QStringLiteral("o")), HResult::Ok);
  EXPECT_EQ(object_->put_FileName_Log(QStringLiteral("l")), HResult::Ok);
  EXPECT_TRUE(ops_.seen.empty());
}

// --- mail members ---

using IntGetter = HResult (DSUtilObject::*)(std::int32_t*);

// The getters over three settings stores: Property\Email missing (the
// reader makes it and gives its own defaults), every value set, and a store
// that cannot be read (a damaged database file): then the members' own
// fallbacks.
TEST_F(DSUtilObjectTest, MailGettersFollowTheSettingsStore) {
  struct Row {
    const char* name;
    IntGetter get;
    const char* value;  // the value set in the "set" store
    std::int32_t missing, set, unreadable;
  };
  const Row rows[] = {
      {"Email_Encript", &DSUtilObject::get_Email_Encript, "Encript", 0, 11, 1},
      {"Email_Signature", &DSUtilObject::get_Email_Signature, "Signature", 0, 12, 1},
      {"SearchInPAB", &DSUtilObject::get_SearchInPAB, "LocalAdr", 0, 13, 1},
      {"SearchInGAL", &DSUtilObject::get_SearchInGAL, "GlobalAdr", 0, 14, 1},
      {"EnableClient", &DSUtilObject::get_EnableClient, "EnableClient", 1, 15, 1},
      {"EnableQuestion", &DSUtilObject::get_EnableQuestion, "EnableQuestion", 1, 16, 1},
      {"Email_Result", &DSUtilObject::get_Email_Result, "Result", 0, 17, 0},
      {"Email_DataResult", &DSUtilObject::get_Email_DataResult, "Result", 0, 17, 0},
      {"Email_Soting", &DSUtilObject::get_Email_Soting, "Sorting", 1, 18, 0},
      {"Email_Auto", &DSUtilObject::get_Email_Auto, "Auto", 1, 19, 0},
      {"Email_Izvlechenie", &DSUtilObject::get_Email_Izvlechenie, "Izvlech", 1, 20, 0},
  };
  enum class Store { kMissing, kSet, kUnreadable };
  // Each store is its own database file (the registry keeps one connection
  // per file name).
  write_file("damaged.db", std::string(4096, 'x'));
  int fresh = 0;
  auto use = [&](Store store) {
    const QString db = store == Store::kMissing ? path(QStringLiteral("fresh-%1.db").arg(++fresh))
                       : store == Store::kSet   ? path("set.db")
                                                : path("damaged.db");
    setenv("DOSSAR_REGISTRY_DB", db.toUtf8().constData(), 1);
  };
  use(Store::kSet);
  {
    platform::reg::RegistryKey key;
    open_key(key, "\\Property\\Email");
    for (const Row& r : rows) {
      if (std::string(r.name) != "Email_DataResult") {
        ASSERT_TRUE(key.SetDword(r.value, std::uint32_t(r.set)));
      }
    }
  }
  for (const Store store : {Store::kMissing, Store::kSet, Store::kUnreadable}) {
    for (const Row& r : rows) {
      const std::string what = std::string(r.name) + (store == Store::kMissing ? " missing"
                                                      : store == Store::kSet   ? " set"
                                                                               : " unreadable");
      use(store);
      std::int32_t value = -77;
      EXPECT_EQ((object_.get()->*r.get)(&value), HResult::Ok) << what;
      EXPECT_EQ(value, store == Store::kMissing ? r.missing : store == Store::kSet ? r.set : r.unreadable) << what;
      if (store == Store::kMissing) {
        platform::reg::RegistryKey key;
        EXPECT_TRUE(key.OpenKey(platform::reg::HKEY_CURRENT_USER, std::string(kProductKey) + "\\Property\\Email"))
            << what << ": the read makes the key";
      }
    }
  }
  // The settings-page values are only read by their puts.
  use(Store::kSet);
  EXPECT_EQ(object_->put_Email_Auto(0), HResult::Ok);
  EXPECT_EQ(object_->put_EnableQuestion(0), HResult::Ok);
  std::int32_t value = -77;
  object_->get_Email_Auto(&value);
  EXPECT_EQ(value, 19);
  object_->get_EnableQuestion(&value);
  EXPECT_EQ(value, 16);
  EXPECT_EQ(object_->get_Email_Auto(nullptr), HResult::False);
  EXPECT_TRUE(ops_.seen.empty());
}

// The flags each starter hands over: from the settings until a client sets
// them, the getters of the two outgoing flags keeping what they read; both
// starters run on a worker with the object's UI in mail mode and answer
// the job's success.
TEST_F(DSUtilObjectTest, StartersHandOverTheFlagsAndLists) {
  platform::reg::RegistryKey key;
  open_key(key, "\\Property\\Email");
  ASSERT_TRUE(key.SetDword("Encript", 0));
  ASSERT_TRUE(key.SetDword("Signature", 1));
  ASSERT_TRUE(key.SetDword("Sorting", 0));
  ASSERT_TRUE(key.SetDword("Izvlech", 1));
  EXPECT_FALSE(object_->ui().mailMode());
  ASSERT_EQ(object_->put_AttachFile(QStringLiteral("/m/a.doc")), HResult::Ok);
  ASSERT_EQ(object_->put_AttachFile(QStringLiteral("/m/b.doc")), HResult::Ok);
  ASSERT_EQ(object_->AddResipients(QStringLiteral("one@example.org"), QStringLiteral("PEM")), HResult::Ok);
  ASSERT_EQ(object_->AddResipients(QStringLiteral("two@example.org"), QString()), HResult::Ok);
  ops_.mailBody = [](MailJob& job) {
    for (AttachmentRecord& r : *job.attachments) r.processedName = r.path + QStringLiteral(".sgn");
  };
  EXPECT_EQ(object_->Email_SignatureAndEncript(), HResult::Ok);
  EXPECT_EQ(object_->UnEncriptEmail(), HResult::Ok);
  ASSERT_EQ(ops_.mailSeen.size(), 2u);
  const MailSeen& out = ops_.mailSeen[0];
  EXPECT_EQ(out.op, "mailOut");
  EXPECT_FALSE(out.encrypt);
  EXPECT_TRUE(out.sign);
  ASSERT_EQ(out.attachments.size(), 2);
  EXPECT_EQ(out.attachments[1].path, QStringLiteral("/m/b.doc"));
  EXPECT_EQ(out.attachments[1].status, 1);
  ASSERT_EQ(out.recipients.size(), 2);
  EXPECT_EQ(out.recipients[0].email, QStringLiteral("one@example.org"));
  EXPECT_EQ(out.recipients[0].certificate, QStringLiteral("PEM"));
  const MailSeen& in = ops_.mailSeen[1];
  EXPECT_EQ(in.op, "mailIn");
  EXPECT_FALSE(in.sorting);
  EXPECT_TRUE(in.extract);
  for (const MailSeen& m : ops_.mailSeen) {
    EXPECT_FALSE(m.onCaller) << m.op;
    EXPECT_EQ(m.ui, objectUi_) << m.op;
    EXPECT_TRUE(m.mailMode) << m.op;
  }
  QString name = QStringLiteral("/m/a.doc");
  EXPECT_EQ(object_->get_AttachFile(&name), HResult::Ok);
  EXPECT_EQ(name, QStringLiteral("/m/a.doc.sgn"));

  // Flags set by the client win over the settings; a getter of an outgoing
  // flag makes what it read the flag.
  ASSERT_TRUE(key.SetDword("Signature", 0));
  ASSERT_TRUE(key.SetDword("Sorting", 1));
  object_->put_Email_Encript(1);
  object_->put_Email_Soting(0);
  object_->put_Email_Izvlechenie(0);
  std::int32_t sign = -77;
  object_->get_Email_Signature(&sign);
  EXPECT_EQ(sign, 0);
  ops_.mailBody = [](MailJob& job) { job.success = false; };
  EXPECT_EQ(object_->Email_SignatureAndEncript(), HResult::False);
  EXPECT_EQ(object_->UnEncriptEmail(), HResult::False);
  ASSERT_EQ(ops_.mailSeen.size(), 4u);
  EXPECT_TRUE(ops_.mailSeen[2].encrypt);
  EXPECT_FALSE(ops_.mailSeen[2].sign);
  EXPECT_FALSE(ops_.mailSeen[3].sorting);
  EXPECT_FALSE(ops_.mailSeen[3].extract);

  // The resets empty the lists the operations get.
  ops_.mailBody = nullptr;
  EXPECT_EQ(object_->ResetAttach(), HResult::Ok);
  EXPECT_EQ(object_->ResetResipients(), HResult::Ok);
  EXPECT_EQ(object_->Email_SignatureAndEncript(), HResult::Ok);
  ASSERT_EQ(ops_.mailSeen.size(), 5u);
  EXPECT_TRUE(ops_.mailSeen[4].attachments.isEmpty());
  EXPECT_TRUE(ops_.mailSeen[4].recipients.isEmpty());
  EXPECT_TRUE(ops_.seen.empty());
}

// The get of AttachFile compares exactly; AttachFiles by Unicode case
// folding (Cyrillic included, "Ё" too), and hands back an empty text when
// nothing matches.
TEST_F(DSUtilObjectTest, AttachmentsFoundExactlyOrIgnoringCase) {
  const QString stored[] = {QStringLiteral("/почта/Отчёт за Март.DOC"), QStringLiteral("/почта/ЁЛКА.txt"),
                            QStringLiteral("/mail/Plan.txt")};
  for (const QString& p : stored) ASSERT_EQ(object_->put_AttachFile(p), HResult::Ok);
  ops_.mailBody = [](MailJob& job) {
    for (AttachmentRecord& r : *job.attachments) r.processedName = r.path + QStringLiteral(".enc");
  };
  ASSERT_EQ(object_->Email_SignatureAndEncript(), HResult::Ok);
  struct Case {
    QString asked;
    HResult exact, folded;
    QString exactOut, foldedOut;  // what each hands back
  };
  const QString none = QStringLiteral("<unwritten>");
  const Case cases[] = {
      {stored[0], HResult::Ok, HResult::Ok, stored[0] + ".enc", stored[0] + ".enc"},
      {QStringLiteral("/ПОЧТА/отчЁт ЗА март.doc"), HResult::False, HResult::Ok, none, stored[0] + ".enc"},
      {QStringLiteral("/почта/ёлка.TXT"), HResult::False, HResult::Ok, none, stored[1] + ".enc"},
      {QStringLiteral("/MAIL/plan.TXT"), HResult::False, HResult::Ok, none, stored[2] + ".enc"},
      // Е is not Ё, and a shorter or longer name is another name.
      {QStringLiteral("/почта/елка.txt"), HResult::False, HResult::False, none, QString()},
      {QStringLiteral("/почта/ЁЛКА.txt.enc"), HResult::False, HResult::False, none, QString()},
      {QString(), HResult::False, HResult::False, none, QString()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.asked.toStdString());
    QString exact = c.asked;
    const HResult e = object_->get_AttachFile(&exact);
    EXPECT_EQ(e, c.exact);
    EXPECT_EQ(e == HResult::Ok ? exact : none, c.exactOut);
    if (e != HResult::Ok) {
      EXPECT_EQ(exact, c.asked) << "nothing written";
    }
    QString folded = c.asked;
    EXPECT_EQ(object_->AttachFiles(&folded), c.folded);
    EXPECT_EQ(folded, c.foldedOut);
  }
  EXPECT_EQ(object_->get_AttachFile(nullptr), HResult::False);
  EXPECT_EQ(object_->AttachFiles(nullptr), HResult::False);
}

// Every key of GetDataFromDll, and the protocol kept only by an unpack that
// succeeded: after a failed one it stays empty until the next good one.
TEST_F(DSUtilObjectTest, GetDataFromDllKeysAndTheLastProtocol) {
  const QString good = QStringLiteral("/in/good.enc"), bad = QStringLiteral("/in/bad.enc");
  object_->put_AttachFile(good);
  object_->put_AttachFile(bad);
  auto unpack = [&](std::int32_t error, const QString& protocol) {
    ops_.mailBody = [=](MailJob& job) {
      job.error = error;
      job.resultText = protocol;
      for (AttachmentRecord& r : *job.attachments) {
        // Both get an error text; only the second failed.
        r.errorText = QStringLiteral("Файл зашифрован не на исполнителя.");
        r.status = r.path == bad ? 0 : 1;
      }
    };
    return object_->UnEncriptEmail();
  };
  auto get = [&](const QString& key, const QString& arg, QString& out) {
    out = QStringLiteral("<unwritten>");
    return object_->get_GetDataFromDll(key, arg, &out);
  };
  QString out;
  // Before any unpack: no protocol.
  EXPECT_EQ(get(QStringLiteral("get_protocol"), QString(), out), HResult::Ok);
  EXPECT_EQ(out, QString());
  ASSERT_EQ(unpack(0, QStringLiteral("/tmp/DSM_Protocol1.txt")), HResult::Ok);

  struct Case {
    const char* key;
    QString arg;
    HResult result;
    QString out;
  };
  const Case cases[] = {
      {"get_protocol", QString(), HResult::Ok, QStringLiteral("/tmp/DSM_Protocol1.txt")},
      {"get_protocol", QStringLiteral("ignored"), HResult::Ok, QStringLiteral("/tmp/DSM_Protocol1.txt")},
      {"get_error_unpack", bad, HResult::Ok, QStringLiteral("Файл зашифрован не на исполнителя.")},
      {"get_error_unpack", good, HResult::Ok, QString()},
      {"get_error_unpack", QStringLiteral("/IN/BAD.ENC"), HResult::False, QStringLiteral("<unwritten>")},
      {"get_error_unpack", QStringLiteral("/in/other"), HResult::False, QStringLiteral("<unwritten>")},
      {"GET_PROTOCOL", QString(), HResult::Ok, QStringLiteral("<unwritten>")},
      {"unknown", bad, HResult::Ok, QStringLiteral("<unwritten>")},
      {"", QString(), HResult::Ok, QStringLiteral("<unwritten>")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " " + c.arg.toStdString());
    EXPECT_EQ(get(QString::fromUtf8(c.key), c.arg, out), c.result);
    EXPECT_EQ(out, c.out);
  }
  EXPECT_EQ(object_->get_GetDataFromDll(QStringLiteral("unknown"), QString(), nullptr), HResult::Ok);

  // A failed unpack (here the message carried a protocol of its own) keeps
  // no protocol, whatever the job named; other calls, an outgoing run and
  // repeated reads leave it empty until an unpack succeeds.
  ASSERT_EQ(unpack(1, QStringLiteral("/tmp/DSM_Protocol2.txt")), HResult::Ok);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(get(QStringLiteral("get_protocol"), QString(), out), HResult::Ok);
    EXPECT_EQ(out, QString());
  }
  ops_.mailBody = nullptr;
  EXPECT_EQ(object_->Email_SignatureAndEncript(), HResult::Ok);
  EXPECT_EQ(object_->put_AttachFile(QStringLiteral("/in/third")), HResult::Ok);
  EXPECT_EQ(get(QStringLiteral("get_protocol"), QString(), out), HResult::Ok);
  EXPECT_EQ(out, QString());
  ASSERT_EQ(unpack(0, QStringLiteral("/tmp/DSM_Protocol3.txt")), HResult::Ok);
  EXPECT_EQ(get(QStringLiteral("get_protocol"), QString(), out), HResult::Ok);
  EXPECT_EQ(out, QStringLiteral("/tmp/DSM_Protocol3.txt"));
}

// EncriptEmail and SignatureEmail answer Ok and change nothing an operation
// or a getter sees; AddContextEmail and AddContextSgnEmail name the result.
TEST_F(DSUtilObjectTest, EmailStubsChangeNothing) {
  object_->put_AttachFile(QStringLiteral("/m/a.doc"));
  object_->AddResipients(QStringLiteral("one@example.org"), QString());
  object_->put_Email_Encript(0);
  object_->put_Email_Signature(1);
  auto snapshot = [&] {
    ops_.mailSeen.clear();
    EXPECT_EQ(object_->Email_SignatureAndEncript(), HResult::Ok);
    EXPECT_EQ(ops_.mailSeen.size(), 1u);
    return ops_.mailSeen.empty() ? MailSeen{} : ops_.mailSeen[0];
  };
  const MailSeen before = snapshot();
  const bool modeBefore = object_->ui().mailMode();
  EXPECT_EQ(object_->EncriptEmail(QStringLiteral("two@example.org"), QStringLiteral("-----BEGIN CERTIFICATE-----")),
            HResult::Ok);
  EXPECT_EQ(object_->SignatureEmail(), HResult::Ok);
  EXPECT_EQ(object_->ui().mailMode(), modeBefore);
  const MailSeen after = snapshot();
  EXPECT_EQ(after.encrypt, before.encrypt);
  EXPECT_EQ(after.sign, before.sign);
  ASSERT_EQ(after.recipients.size(), 1);
  EXPECT_EQ(after.recipients[0].email, QStringLiteral("one@example.org"));
  ASSERT_EQ(after.attachments.size(), 1);
  EXPECT_EQ(after.attachments[0].path, QStringLiteral("/m/a.doc"));
  EXPECT_TRUE(ops_.seen.empty());

  QString enc = QStringLiteral("/m/Письмо.doc"), sga = QStringLiteral("/m/Письмо.doc");
  EXPECT_EQ(object_->AddContextEmail(&enc), HResult::Ok);
  EXPECT_EQ(object_->AddContextSgnEmail(&sga), HResult::Ok);
  EXPECT_EQ(enc, QStringLiteral("/m/Письмо.doc.enc"));
  EXPECT_EQ(sga, QStringLiteral("/m/Письмо.doc.sga"));
  EXPECT_EQ(object_->AddContextEmail(nullptr), HResult::False);
}

// While an operation of the object runs, every further member is refused
// with nothing written, whether the call comes from the GUI thread's local
// loop (the caller waiting there) or from another thread; afterwards the
// object answers again.
TEST_F(DSUtilObjectTest, ABusyObjectRefusesEveryFurtherCall) {
  object_->put_AttachFile(QStringLiteral("/m/a.doc"));
  struct Refused {
    std::vector<HResult> results;
    std::int32_t value = -77;
    QString text = QStringLiteral("/m/a.doc");
    bool busy = false;
  };
  auto try_all = [this](Refused& r) {
    r.busy = object_->busy();
    r.results = {object_->Email_SignatureAndEncript(),
                 object_->UnEncriptEmail(),
                 object_->put_AttachFile(QStringLiteral("/m/b.doc")),
                 object_->ResetAttach(),
                 object_->AddResipients(QStringLiteral("x@example.org"), QString()),
                 object_->get_Email_Encript(&r.value),
                 object_->get_SearchInPAB(&r.value),
                 object_->get_AttachFile(&r.text),
                 object_->get_GetDataFromDll(QStringLiteral("get_protocol"), QString(), &r.text),
                 object_->EncriptEmail(QString(), QString()),
                 object_->SignatureFile(QStringLiteral("/tmp/x")),
                 object_->CommanLineEx(QStringLiteral("-s"), QStringLiteral("--in=/nowhere"), &r.value),
                 object_->put_FileName_In(QStringLiteral("/tmp/y"))};
  };
  for (const bool fromGui : {true, false}) {
    SCOPED_TRACE(fromGui ? "caller on the GUI thread" : "caller on another thread");
    ops_.mailSeen.clear();
    ops_.seen.clear();
    Refused refused;
    std::atomic<bool> inside{false}, release{false};
    if (fromGui) {
      // The calls are queued on the GUI thread itself before the start and
      // run in the local loop the starter waits in, while the operation
      // waits for them. (Posted from the worker instead, the hand-over goes
      // through Qt's event-queue lock, which ThreadSanitizer cannot see.)
      std::atomic<bool> ran{false};
      ops_.mailBody = [&](MailJob&) {
        while (!ran.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      };
      QTimer::singleShot(0, qApp, [&] {
        try_all(refused);
        ran = true;
      });
      EXPECT_EQ(object_->Email_SignatureAndEncript(), HResult::Ok);
    } else {
      ops_.mailBody = [&](MailJob&) {
        inside = true;
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      };
      std::atomic<int> answered{-1};
      std::thread caller([&] { answered = static_cast<int>(object_->UnEncriptEmail()); });
      while (!inside.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      try_all(refused);
      // Another object is answered meanwhile, and its UI is not in mail mode.
      DSUtilObject other(OperationTable{}, std::make_unique<ScriptedUi>());
      EXPECT_FALSE(other.busy());
      EXPECT_EQ(other.put_AttachFile(QStringLiteral("/m/other.doc")), HResult::Ok);
      QString name = QStringLiteral("/M/OTHER.DOC");
      EXPECT_EQ(other.AttachFiles(&name), HResult::Ok);
      std::int32_t pab = -77;
      EXPECT_EQ(other.get_SearchInPAB(&pab), HResult::Ok);
      EXPECT_EQ(pab, 0);
      EXPECT_FALSE(other.ui().mailMode());
      EXPECT_TRUE(object_->ui().mailMode());
      release = true;
      caller.join();
      EXPECT_EQ(answered.load(), static_cast<int>(HResult::Ok));
    }
    EXPECT_TRUE(refused.busy);
    ASSERT_EQ(refused.results.size(), 13u);
    for (std::size_t i = 0; i < refused.results.size(); ++i) EXPECT_EQ(refused.results[i], HResult::False) << i;
    EXPECT_EQ(refused.value, -77);
    EXPECT_EQ(refused.text, QStringLiteral("/m/a.doc"));
    EXPECT_EQ(ops_.mailSeen.size(), 1u) << "only the first operation ran";
    EXPECT_TRUE(ops_.seen.empty());
    // Answered again, the list as it was.
    EXPECT_FALSE(object_->busy());
    ops_.mailBody = nullptr;
    ASSERT_EQ(object_->Email_SignatureAndEncript(), HResult::Ok);
    ASSERT_EQ(ops_.mailSeen.size(), 2u);
    ASSERT_EQ(ops_.mailSeen[1].attachments.size(), 1);
    EXPECT_TRUE(ops_.mailSeen[1].recipients.isEmpty());
  }
}

// No worker to be had: the box, False, nothing run; the object stays usable.
TEST_F(DSUtilObjectTest, AWorkerThatCannotStartShowsTheBox) {
  object_->setWorkerStarter([](std::function<void()>) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  });
  objectUi_->queueMessage(IDOK);
  objectUi_->queueMessage(IDOK);
  EXPECT_EQ(object_->Email_SignatureAndEncript(), HResult::False);
  EXPECT_EQ(object_->UnEncriptEmail(), HResult::False);
  ASSERT_EQ(objectUi_->messages().size(), 2u);
  for (const ScriptedUi::Message& m : objectUi_->messages()) {
    EXPECT_EQ(m.text, QStringLiteral("Error create semaphor"));
    EXPECT_EQ(m.flags, unsigned{MB_OK | MB_ICONSTOP});
  }
  EXPECT_EQ(object_->SignatureFile(QStringLiteral("/tmp/a")), HResult::False);
  EXPECT_TRUE(ops_.mailSeen.empty());
  EXPECT_TRUE(ops_.seen.empty());
  object_->setWorkerStarter(nullptr);
  EXPECT_EQ(object_->Email_SignatureAndEncript(), HResult::Ok);
  EXPECT_EQ(ops_.mailSeen.size(), 1u);
}

// The command-line members over real files, folders and a FIFO.
class CommandLines : public DSUtilObjectTest {
 protected:
  void SetUp() override {
    DSUtilObjectTest::SetUp();
    write_file("a.txt", "document");
    ASSERT_TRUE(QDir(dir_).mkpath("folder"));
    write_file("folder/1.txt", "1");
    write_file("folder/2.txt", "2");
    ASSERT_TRUE(QDir(dir_).mkpath("empty"));
    ASSERT_EQ(::mkfifo(path("fifo").toLocal8Bit().constData(), 0600), 0);
    saved_ = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir_));
  }
  void TearDown() override {
    QDir::setCurrent(saved_);
    DSUtilObjectTest::TearDown();
  }
  QString saved_;
};

constexpr std::int32_t kUnwritten = -77;

TEST_F(CommandLines, EachInputGivesItsCodeJobAndOperation) {
  struct Case {
    bool ex;  // CommanLineEx, else CommandLine
    const char* oper;
    const char* param;  // @ stands for the scratch folder
    HResult result;
    std::int32_t written;   // kUnwritten: not written
    const char* op;         // nullptr: nothing ran
    int files;              // in the job
    const char* inputPath;  // expected, @ for the scratch folder
    const char* outputPath;
  };
  const Case cases[] = {
      // CommanLineEx
      {true, "-s", "--in=@/a.txt", HResult::Ok, 5, "sign", 1, "@/a.txt", ""},
      {true, "-e", "--in=@/folder --out=@/folder", HResult::Ok, 5, "encrypt", 2, "@/folder", "@/folder"},
      {true, "-a", "--in=a.txt --out=new.sgn", HResult::Ok, 5, "signEncrypt", 1, "@/a.txt", "@/new.sgn"},
      {true, "-u", "--in=\"@/a.txt\"", HResult::Ok, 5, "unpackGroup", 1, "@/a.txt", ""},
      {true, "-s", "--in=@/empty", HResult::Ok, 5, "sign", 0, "@/empty", ""},
      {true, "-v", "--in=@/a.txt", HResult::Ok, 0, nullptr, 0, nullptr, nullptr},
      {true, "-s", "--in=@/missing.txt", HResult::False, kOpNoFiles, nullptr, 0, nullptr, nullptr},
      {true, "-s", "--in=", HResult::False, kOpNoFiles, nullptr, 0, nullptr, nullptr},
      {true, "-s", "", HResult::False, kOpNoFiles, nullptr, 0, nullptr, nullptr},
      {true, "-s", "--in=fifo", HResult::False, kOpNoFiles, nullptr, 0, nullptr, nullptr},
      {true, "-s", "--in=/dev/null", HResult::False, kOpNoFiles, nullptr, 0, nullptr, nullptr},
      {true, "-s", "--in=@/a.txt --out=@/nofolder/x.sgn", HResult::False, kOpNoFiles, nullptr, 0, nullptr, nullptr},
      {true, "-s", "--in=@/a.txt --out=", HResult::False, kOpNoFiles, nullptr, 0, nullptr, nullptr},
      {true, "-x", "--in=@/a.txt", HResult::False, kOpUnknownKey, nullptr, 0, nullptr, nullptr},
      {true, "-x", "--in=@/missing", HResult::False, kOpNoFiles, nullptr, 0, nullptr, nullptr},
      {true, "-S", "--in=@/a.txt", HResult::False, kOpUnknownKey, nullptr, 0, nullptr, nullptr},
      // CommandLine
      {false, "-s", "--in=@/a.txt --out=@/o.sgn", HResult::Ok, 5, "sign", 1, "@/a.txt", "@/o.sgn"},
      {false, "-e", "--in=@/folder", HResult::Ok, 5, "encrypt", 2, "@/folder", ""},
      {false, "-a", "--in=@/a.txt", HResult::Ok, 5, "signEncrypt", 1, "@/a.txt", ""},
      {false, "-u", "--in=@/a.txt", HResult::Ok, kUnwritten, nullptr, 0, nullptr, nullptr},
      {false, "-v", "--in=@/a.txt", HResult::Ok, kUnwritten, nullptr, 0, nullptr, nullptr},
      {false, "-s", "--in=@/missing.txt", HResult::False, kOpNoFiles, nullptr, 0, nullptr, nullptr},
      {false, "-s", "--in=fifo", HResult::False, kOpNoFiles, nullptr, 0, nullptr, nullptr},
      {false, "-q", "--in=@/a.txt", HResult::False, kOpUnknownKey, nullptr, 0, nullptr, nullptr},
  };
  ops_.result = 5;
  auto fill = [&](const char* s) { return QString::fromUtf8(s).replace(QLatin1Char('@'), dir_); };
  for (const Case& c : cases) {
    const std::string what = std::string(c.ex ? "Ex " : "") + c.oper + " " + c.param;
    ops_.seen.clear();
    std::int32_t out = kUnwritten;
    const HResult r = c.ex ? object_->CommanLineEx(QString::fromUtf8(c.oper), fill(c.param), &out)
                           : object_->CommandLine(QString::fromUtf8(c.oper), fill(c.param), &out);
    EXPECT_EQ(r, c.result) << what;
    EXPECT_EQ(out, c.written) << what;
    if (c.op == nullptr) {
      EXPECT_TRUE(ops_.seen.empty()) << what;
      continue;
    }
    ASSERT_EQ(ops_.seen.size(), 1u) << what;
    const OperationJob& job = ops_.seen[0].job;
    EXPECT_EQ(ops_.seen[0].op, c.op) << what;
    EXPECT_TRUE(job.automatic) << what;
    EXPECT_EQ(job.files.size(), c.files) << what;
    EXPECT_EQ(job.inputPath, fill(c.inputPath)) << what;
    EXPECT_EQ(job.outputPath, fill(c.outputPath)) << what;
    if (c.ex) {
      EXPECT_EQ(job.params.text, fill(c.inputPath)) << what;
      EXPECT_EQ(job.params.outputName, fill(c.outputPath)) << what;
    }
  }
  // Nothing touched: the inputs are as they were.
  EXPECT_EQ(read_file(path("a.txt")), "document");
  struct stat st {};
  ASSERT_EQ(::stat(path("fifo").toLocal8Bit().constData(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(CommandLines, AFailedOperationAnswersFalse) {
  ops_.answer = false;
  ops_.result = 10001;
  std::int32_t out = kUnwritten;
  EXPECT_EQ(object_->CommanLineEx(QStringLiteral("-s"), QStringLiteral("--in=a.txt"), &out), HResult::False);
  EXPECT_EQ(out, 10001);
  out = kUnwritten;
  EXPECT_EQ(object_->CommandLine(QStringLiteral("-s"), QStringLiteral("--in=a.txt"), &out), HResult::False);
  EXPECT_EQ(out, kUnwritten);
}

// With the window UI: a box the operation shows from its worker is answered
// while the GUI thread, the caller, waits in its local loop; a caller on
// another thread simply waits.
TEST(DSUtilObjectWindows, AnOperationsBoxReachesTheObjectsWindowsFromEitherCaller) {
  widgets::ScriptedPromptService prompts;
  prompts.queue(IDYES);
  prompts.queue(IDNO);
  OperationTable table;
  table.signGroup = [](OperationJob& job) {
    job.result = engine_helper().ShowMessage(QStringLiteral("Заменить?"), MB_YESNO | MB_ICONQUESTION);
    return job.result == IDYES;
  };
  DSUtilObject object(table, std::make_unique<widgets::WidgetUi>(prompts));
  EXPECT_EQ(object.SignatureFile(QStringLiteral("/tmp/a")), HResult::Ok);
  std::atomic<int> fromWorker{-1};
  std::thread other([&] { fromWorker = static_cast<int>(object.SignatureFile(QStringLiteral("/tmp/b"))); });
  // The worker's operation needs the GUI thread for its box.
  while (fromWorker.load() < 0) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  other.join();
  EXPECT_EQ(fromWorker.load(), static_cast<int>(HResult::False));
  ASSERT_EQ(prompts.seen().size(), 2u);
  EXPECT_EQ(prompts.seen()[0].text, QStringLiteral("Заменить?"));
  EXPECT_EQ(prompts.unexpected(), 0);
}

TEST(DSUtilObjectWindows, AnOperationMissingFromTheTableAnswersFalse) {
  widgets::ScriptedPromptService prompts;
  DSUtilObject object(OperationTable{}, std::make_unique<widgets::WidgetUi>(prompts));
  EXPECT_EQ(object.EncriptFile(QStringLiteral("/tmp/a")), HResult::False);
}

}  // namespace
}  // namespace dsutils
