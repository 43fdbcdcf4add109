// The DSUtil object over fake operations: which operation runs, on which
// thread and with which job, what each member answers and writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QThread>
#include <atomic>
#include <optional>
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

// The operations record their job and answer as told.
struct FakeOps {
  std::vector<Seen> seen;
  bool answer = true;
  std::int32_t result = 0;
  Qt::HANDLE caller = nullptr;

  OperationTable::Operation make(const char* name) {
    return [this, name](OperationJob& job) {
      seen.push_back({name, job, QThread::currentThreadId() == caller, operation_ui()});
      job.result = result;
      return answer;
    };
  }
  OperationTable table() {
    return {make("sign"), make("encrypt"), make("signEncrypt"), make("unpackGroup"), make("unpackFile")};
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

TEST_F(DSUtilObjectTest, StoredPropertiesAndMailMembers) {
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
  // Mail: refused, nothing written.
  std::int32_t value = -77;
  for (auto get : {&DSUtilObject::get_Email_Encript, &DSUtilObject::get_Email_Result, &DSUtilObject::get_SearchInPAB,
                   &DSUtilObject::get_EnableClient, &DSUtilObject::get_Email_Auto})
    EXPECT_EQ((object_.get()->*get)(&value), HResult::False);
  EXPECT_EQ(value, -77);
  QString name = QStringLiteral("a.doc");
  EXPECT_EQ(object_->AddContextEmail(&name), HResult::False);
  EXPECT_EQ(name, QStringLiteral("a.doc"));
  EXPECT_TRUE(ops_.seen.empty());
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
