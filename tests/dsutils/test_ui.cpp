#include <unistd.h>

#include <QDir>
#include <cstring>

#include "dsutils/engine/ui_console.h"
#include "tests/dsutils/engine_test_util.h"

namespace dsutils {
namespace {

class Seam : public testing::EngineTest {};

// A stand-in for an operation: reports `blocks` progress steps per file
// and stops at the first step the person cancelled.
int run_operation(OperationProgress& progress, const QStringList& files, int blocks, int& stepsDone) {
  progress.start();
  for (const QString& f : files) {
    progress.setFile(f);
    for (int b = 0; b < blocks; ++b) {
      if (!progress.step(7, std::uint64_t(b) * 4096, std::uint64_t(blocks) * 4096)) return kOpCancelled;
      ++stepsDone;
    }
  }
  progress.stop();
  return kOpOk;
}

TEST_F(Seam, CancelAtTheKthProgressStep) {
  struct Case {
    int cancelAt;
    int result;
    int steps;  // completed before the cancel
    int files;  // shown
  };
  const Case cases[] = {{0, kOpOk, 9, 3}, {1, kOpCancelled, 0, 1}, {5, kOpCancelled, 4, 2}, {9, kOpCancelled, 8, 3}};
  for (const auto& c : cases) {
    ScriptedUi ui;
    ui.cancelAtStep(c.cancelAt);
    OperationProgress progress(ui, "Выполняется операция: подписать");
    int steps = 0;
    EXPECT_EQ(run_operation(progress, {"/a", "/b", "/c"}, 3, steps), c.result) << c.cancelAt;
    EXPECT_EQ(steps, c.steps) << c.cancelAt;
    EXPECT_EQ(ui.progressFiles().size(), c.files) << c.cancelAt;
    EXPECT_EQ(progress.cancelled(), c.result == kOpCancelled);
  }
}

TEST_F(Seam, SaveFileAnswersComeFromTheQueueAndTheRequestIsKept) {
  ScriptedUi ui;
  ui.queueSaveFile(QStringLiteral("/out/chosen.doc"));
  ui.queueSaveFile(std::nullopt);
  const SaveFileRequest request{"/out/report.doc", "Все файлы (*.*)|*.*|"};
  EXPECT_EQ(ui.chooseSaveFile(request), std::optional<QString>("/out/chosen.doc"));
  EXPECT_FALSE(ui.chooseSaveFile(request).has_value());
  EXPECT_EQ(ui.unscripted(), 0);
  EXPECT_FALSE(ui.chooseSaveFile(request).has_value());  // nothing queued: cancelled and counted
  EXPECT_EQ(ui.unscripted(), 1);
  ASSERT_EQ(ui.saveFileRequests().size(), 3u);
  EXPECT_EQ(ui.saveFileRequests()[0].initialPath, request.initialPath);
  EXPECT_EQ(ui.saveFileRequests()[0].filter, request.filter);
  EXPECT_EQ(ui.calls(), (std::vector<std::string>{"saveFile", "saveFile", "saveFile"}));
}

TEST_F(Seam, EachOperationHasItsOwnCancelWord) {
  ScriptedUi ui;
  OperationProgress first(ui, "first"), second(ui, "second");
  first.cancel();
  EXPECT_FALSE(first.step(3, 0, 1));
  EXPECT_TRUE(second.step(3, 0, 1));
}

TEST_F(Seam, AnswersAreTakenInOrderAndUnexpectedQuestionsAreCounted) {
  ui_.queueMessage(IDYES);
  ui_.queueMessage(IDNO);
  SignAnswer sign;
  sign.accepted = true;
  sign.outputName = "/out/a.sgn";
  ui_.queueSign(sign);
  ui_.queuePassword(std::string("secret"));
  ui_.queuePassword(std::nullopt);
  EngineHelper h;
  EXPECT_EQ(h.ShowMessage("q1", MB_YESNO), IDYES);
  EXPECT_EQ(h.ShowMessage("q2", MB_YESNO), IDNO);
  EXPECT_EQ(ui_.askSign({}).outputName, "/out/a.sgn");
  PasswordBuffer pw;
  EXPECT_EQ(ui_.askPassword({}, pw), 6);
  EXPECT_STREQ(reinterpret_cast<const char*>(pw.data()), "secret");
  EXPECT_EQ(ui_.askPassword({}, pw), -1);
  EXPECT_EQ(pw.data()[0], 0);  // a cancelled prompt leaves nothing behind
  EXPECT_EQ(ui_.unscripted(), 0);
  EXPECT_EQ(h.ShowMessage("q3", MB_YESNO), IDNO);  // nothing queued: the safe answer
  EXPECT_FALSE(ui_.askEncrypt({}).accepted);
  EXPECT_EQ(ui_.unscripted(), 2);
  EXPECT_EQ(ui_.calls(),
            (std::vector<std::string>{"message", "message", "sign", "password", "password", "message", "encrypt"}));
}

TEST_F(Seam, MessageBoxesHideTheProgressOfTheirOperation) {
  OperationProgress progress(ui_, "t");
  progress.start();
  ui_.queueMessage(IDOK);
  engine_helper().ShowMessage("box", MB_OK, &progress);
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_FALSE(ui_.messages()[0].progressWasShown);
  EXPECT_TRUE(progress.shown());
  progress.stop();
  ui_.queueMessage(IDOK);
  engine_helper().ShowMessage("box", MB_OK, &progress);
  EXPECT_FALSE(progress.shown());  // not shown before: not shown after
}

// An operation's boxes and its sorting folder choice reach the interface of
// that operation's thread, not the process-wide one.
TEST_F(Seam, ShowMessageAndTheSortingFolderChoiceReachTheOperationsUi) {
  ScriptedUi operationUi;
  SortSettings s;
  s.Result = 1;  // into a folder, and none is set: the person chooses one
  ASSERT_TRUE(engine_helper().SetSortSettings("SGN", s));
  write_file("doc.txt.sgn", "result");
  QString result = path("doc.txt.sgn");
  {
    const OperationUiScope scope(&operationUi);
    operationUi.queueMessage(IDYES);
    EXPECT_EQ(engine_helper().ShowMessage("question", MB_YESNO | MB_ICONQUESTION), IDYES);
    operationUi.queueMessage(IDOK);
    operationUi.queueFolder(path("chosen"));
    ASSERT_TRUE(QDir().mkpath(path("chosen")));
    EXPECT_EQ(engine_helper().GroupSortFile(path("src/doc.txt"), result, "SGN", false), 1);
  }
  EXPECT_EQ(result, path("chosen/doc.txt.sgn"));
  EXPECT_EQ(operationUi.calls(), (std::vector<std::string>{"message", "message", "folder"}));
  EXPECT_EQ(operationUi.unscripted(), 0);
  EXPECT_TRUE(ui_.calls().empty());

  // Without a scope the process-wide interface answers.
  ui_.queueMessage(IDNO);
  EXPECT_EQ(engine_helper().ShowMessage("question", MB_YESNO), IDNO);
  EXPECT_EQ(ui_.calls(), std::vector<std::string>{"message"});
  EXPECT_EQ(operationUi.calls().size(), 3u);
}

class ConsoleSeam : public testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    out_ = tmpfile();
    ASSERT_NE(out_, nullptr);
  }
  void TearDown() override {
    fclose(out_);
    EngineTest::TearDown();
  }
  std::string printed() {
    fflush(out_);
    rewind(out_);
    std::string s;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, out_)) > 0) s.append(buf, n);
    return s;
  }
  std::FILE* out_ = nullptr;
};

TEST_F(ConsoleSeam, PasswordsComeFromADescriptorOneLineEach) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const char input[] = "first pass\nвторой\r\n";
  ASSERT_EQ(write(fds[1], input, sizeof(input) - 1), ssize_t(sizeof(input) - 1));
  close(fds[1]);
  ConsoleUiOptions options;
  options.passwordFd = fds[0];
  ConsoleUi ui(options, out_);
  PasswordBuffer pw;
  ASSERT_EQ(ui.askPassword({}, pw), 10);
  EXPECT_STREQ(reinterpret_cast<const char*>(pw.data()), "first pass");
  ASSERT_EQ(ui.askPassword({}, pw), int(std::strlen("второй")));
  EXPECT_STREQ(reinterpret_cast<const char*>(pw.data()), "второй");
  EXPECT_EQ(ui.askPassword({}, pw), -1);  // the descriptor is at its end
  close(fds[0]);

  ConsoleUi none(ConsoleUiOptions{}, out_);
  EXPECT_EQ(none.askPassword({}, pw), -1);

  // Longer than the buffer: refused and wiped, not cut.
  ASSERT_EQ(pipe(fds), 0);
  const std::string longpw(kPasswordBytes + 10, 'p');
  ASSERT_EQ(write(fds[1], longpw.data(), longpw.size()), ssize_t(longpw.size()));
  close(fds[1]);
  ConsoleUiOptions o2;
  o2.passwordFd = fds[0];
  ConsoleUi ui2(o2, out_);
  EXPECT_EQ(ui2.askPassword({}, pw), -1);
  EXPECT_EQ(pw.data()[0], 0);
  close(fds[0]);
}

TEST_F(ConsoleSeam, BoxesGoToTheStreamAndQuestionsTakeTheGivenAnswer) {
  struct Case {
    int option;
    unsigned flags;
    int answer;
  };
  const Case cases[] = {
      {IDYES, MB_YESNO | MB_ICONQUESTION, IDYES}, {IDNO, MB_YESNO, IDNO},           {IDYES, MB_OK, IDOK},
      {IDYES, MB_RETRYCANCEL, IDCANCEL},          {IDNO, MB_YESNOCANCEL, IDCANCEL},
  };
  for (const auto& c : cases) {
    ConsoleUiOptions o;
    o.questionAnswer = c.option;
    ConsoleUi ui(o, out_);
    EXPECT_EQ(ui.showMessage({"Заменить?", c.flags, nullptr}), c.answer);
  }
  EXPECT_NE(printed().find("Dossar: Заменить?\n"), std::string::npos);

  ConsoleUi ui(ConsoleUiOptions{}, out_);
  EXPECT_FALSE(ui.askSign({}).accepted);  // not answered by the options: cancelled, and said
  EXPECT_NE(printed().find("\"sign\""), std::string::npos);
}

TEST_F(ConsoleSeam, TheRecipientsSheetTakesTheChosenNamesElseItIsCancelled) {
  ConsoleUiOptions o;
  o.chosenRecipients = {"Иванов", "b@example.org"};
  ConsoleUi chosen(o, out_);
  const RecipientsAnswer a = chosen.askRecipients({"Задайте получателя"});
  EXPECT_TRUE(a.accepted);
  EXPECT_EQ(a.names, o.chosenRecipients);

  ConsoleUi none(ConsoleUiOptions{}, out_);
  const RecipientsAnswer b = none.askRecipients({"Задайте получателя"});
  EXPECT_FALSE(b.accepted);
  EXPECT_TRUE(b.names.isEmpty());
  EXPECT_NE(printed().find("\"recipients\""), std::string::npos);
}

TEST_F(Seam, TheRecipientsSheetAnswersFromItsQueue) {
  ui_.queueRecipients({true, {"first", "second"}});
  const RecipientsAnswer a = ui_.askRecipients({"Задайте получателя"});
  EXPECT_TRUE(a.accepted);
  EXPECT_EQ(a.names, (QStringList{"first", "second"}));
  EXPECT_FALSE(ui_.askRecipients({"again"}).accepted);  // nothing queued: cancelled and counted
  EXPECT_EQ(ui_.unscripted(), 1);
  EXPECT_EQ(ui_.recipientCaptions(), (QStringList{"Задайте получателя", "again"}));
}

// The save-file dialog: --save-as= answers every one; without it each is
// cancelled with a line naming the offered file.
TEST_F(ConsoleSeam, SaveFileTakesTheGivenPathElseCancelsWithALine) {
  const SaveFileRequest request{"/home/u/report.doc", "Все файлы (.*)|*.*|"};
  ConsoleUiOptions given;
  given.saveAs = QStringLiteral("/home/u/copy.doc");
  ConsoleUi answering(given, out_);
  EXPECT_EQ(answering.chooseSaveFile(request), std::optional<QString>("/home/u/copy.doc"));
  EXPECT_EQ(printed(), "");
  ConsoleUi none(ConsoleUiOptions{}, out_);
  EXPECT_FALSE(none.chooseSaveFile(request).has_value());
  const std::string text = printed();
  EXPECT_NE(text.find("\"save file\""), std::string::npos) << text;
  EXPECT_NE(text.find("/home/u/report.doc"), std::string::npos) << text;
}

// The key-medium question: the scripted UI keeps each request (with the
// owner's certificate); the console's answer without a medium keeps the
// entry's medium, key file and key format.
TEST_F(ConsoleSeam, KeyMediumRequestsAndAnswersCarryTheKeyFormat) {
  const KeyMediumRequest request{"Исполнитель", "/keys/exec", "exec.key", true, QByteArray("\x30\x00", 2)};
  ScriptedUi scripted;
  scripted.queueKeyMedium(KeyMediumAnswer{true, "/keys/moved", "other.key", false});
  const KeyMediumAnswer moved = scripted.askKeyMedium(request);
  EXPECT_EQ(moved.mediumPath, "/keys/moved");
  EXPECT_FALSE(moved.keyFormat31);
  ASSERT_EQ(scripted.keyMediumRequests().size(), 1u);
  EXPECT_EQ(scripted.keyMediumRequests()[0].certificate, QByteArray("\x30\x00", 2));

  ConsoleUiOptions keep;
  keep.keyMedium = KeyMediumAnswer{true, {}, {}, false};
  const KeyMediumAnswer kept = ConsoleUi(keep, out_).askKeyMedium(request);
  EXPECT_TRUE(kept.accepted);
  EXPECT_EQ(kept.mediumPath, "/keys/exec");
  EXPECT_EQ(kept.keyFile, "exec.key");
  EXPECT_TRUE(kept.keyFormat31);
  ConsoleUiOptions other;
  other.keyMedium = KeyMediumAnswer{true, "/media/usb", "k.key", false};
  const KeyMediumAnswer given = ConsoleUi(other, out_).askKeyMedium(request);
  EXPECT_EQ(given.mediumPath, "/media/usb");
  EXPECT_FALSE(given.keyFormat31);
  EXPECT_FALSE(ConsoleUi(ConsoleUiOptions{}, out_).askKeyMedium(request).accepted);
}

}  // namespace
}  // namespace dsutils
