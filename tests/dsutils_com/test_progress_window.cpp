// The progress window of the engine's operations, driven the way the engine
// drives it: an operation on a worker thread with its OperationProgress,
// the GUI thread pumping events meanwhile.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <atomic>
#include <latch>
#include <memory>
#include <semaphore>
#include <thread>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/widgets/file_dialog_service.h"
#include "dsutils/widgets/progress_dialog.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/widget_ui.h"
#include "tests/support/gui_test.h"

namespace dsutils::widgets {
namespace {

using namespace std::chrono_literals;

const QString kTitle = QStringLiteral("Выполняется операция: подписать");

// An operation on a worker: start, then each step the test releases.
class FakeOperation {
 public:
  FakeOperation(EngineUi& ui, QString title = kTitle) : progress_(std::make_unique<OperationProgress>(ui, title)) {}
  ~FakeOperation() { join(); }

  // Runs `body` on the worker with the progress, started first.
  void run(std::function<void(OperationProgress&)> body) {
    thread_ = std::thread([this, body = std::move(body)] {
      progress_->start();
      body(*progress_);
      progress_->stop();
      done_.store(true);
    });
  }
  // Pumps the GUI thread until the worker is done.
  void join() {
    if (!thread_.joinable()) return;
    EXPECT_TRUE(QTest::qWaitFor([this] { return done_.load(); }, 5000));
    thread_.join();
  }
  OperationProgress& progress() { return *progress_; }
  bool done() const { return done_.load(); }

 private:
  std::unique_ptr<OperationProgress> progress_;
  std::thread thread_;
  std::atomic<bool> done_{false};
};

class ProgressWindow : public ::testing::Test {
 protected:
  ScriptedPromptService prompts_;
};

TEST_F(ProgressWindow, AnOperationShorterThanTheDelayNeverShowsIt) {
  WidgetUi ui(prompts_, {200ms, 100ms});
  FakeOperation op(ui);
  op.run([](OperationProgress& p) { p.setFile(QStringLiteral("/tmp/short.txt")); });
  op.join();
  QTest::qWait(300);  // past the delay: nothing may show now
  EXPECT_EQ(ui.shownCount(), 0);
  EXPECT_EQ(ui.openDialogs(), 0);
  for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(dynamic_cast<CProgressDlg*>(w) && w->isVisible());
}

TEST_F(ProgressWindow, ShowsItsTextsAndTheFileNamesAfterTheDelay) {
  WidgetUi ui(prompts_, {50ms, 100ms});
  std::binary_semaphore next{0}, finish{0};
  FakeOperation op(ui);
  op.run([&](OperationProgress& p) {
    p.setFile(QStringLiteral("/home/user/Документы/договор.doc"));
    next.acquire();
    // A name every 5 ms for a quarter of a second: the window takes at most
    // ten a second, the last one at the end.
    for (int i = 0; i < 50; ++i) {
      p.setFile(QStringLiteral("/data/file%1.bin").arg(i));
      std::this_thread::sleep_for(5ms);
    }
    finish.acquire();
  });
  CProgressDlg* dlg = nullptr;
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return (dlg = ui.dialogFor(op.progress())) != nullptr && dlg->isVisible(); }, 3000));
  EXPECT_EQ(ui.shownCount(), 1);
  EXPECT_EQ(dlg->windowTitle(), kTitle);
  EXPECT_EQ(dlg->frameBox()->title(), QStringLiteral(" Имя текущего обрабатываемого файла  "));
  EXPECT_EQ(dlg->cancelButton()->text(), QStringLiteral("Отмена"));
  EXPECT_TRUE(dlg->fileEdit()->isReadOnly());
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return dlg->fileName() == QStringLiteral("/home/user/Документы/договор.doc"); }, 2000));
  // The animation loops.
  const int frame = dlg->animation()->frame();
  EXPECT_TRUE(QTest::qWaitFor([&] { return dlg->animation()->frame() != frame; }, 1000));
  gui_test::screenshot(dlg, "progress_dialog");
  gui_test::expect_no_clipped_text(dlg);
  EXPECT_GE(dlg->frameBox()->width(), dlg->frameBox()->minimumSizeHint().width()) << "clipped frame title";

  int updates = 0;
  QObject::connect(dlg->fileEdit(), &QLineEdit::textChanged, [&] { ++updates; });
  next.release();
  ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->fileName() == QStringLiteral("/data/file49.bin"); }, 2000));
  QTest::qWait(150);
  EXPECT_LE(updates, 5) << "the window took more than ten names a second";
  EXPECT_GE(updates, 2);
  finish.release();
  op.join();
  EXPECT_EQ(ui.openDialogs(), 0);
}

TEST_F(ProgressWindow, CancelSetsTheOperationsWordAndClosesAtOnce) {
  WidgetUi ui(prompts_, {0ms, 100ms});
  std::atomic<bool> sawCancel{false};
  FakeOperation op(ui);
  op.run([&](OperationProgress& p) {
    while (!p.step(1, 0, 100)) {
    }
    // The operation polls its word, as the toolkit's callback does.
    while (p.step(1, 1, 100)) std::this_thread::sleep_for(1ms);
    sawCancel = true;
  });
  CProgressDlg* dlg = nullptr;
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return (dlg = ui.dialogFor(op.progress())) != nullptr && dlg->isVisible(); }, 3000));
  QPointer<CProgressDlg> watched = dlg;
  dlg->cancelButton()->click();
  EXPECT_TRUE(op.progress().cancelled());
  EXPECT_EQ(ui.dialogFor(op.progress()), nullptr);
  EXPECT_TRUE(watched.isNull() || !watched->isVisible());
  op.join();
  EXPECT_TRUE(sawCancel);
}

TEST_F(ProgressWindow, TwoOperationsHaveTwoWindowsAndCancelReachesItsOwn) {
  WidgetUi ui(prompts_, {0ms, 100ms});
  std::binary_semaphore end1{0}, end2{0};
  FakeOperation op1(ui, QStringLiteral("Выполняется операция: зашифровать"));
  FakeOperation op2(ui, QStringLiteral("Выполняется операция: подписать"));
  op1.run([&](OperationProgress&) { end1.acquire(); });
  op2.run([&](OperationProgress&) { end2.acquire(); });
  ASSERT_TRUE(QTest::qWaitFor([&] { return ui.openDialogs() == 2; }, 3000));
  CProgressDlg* d1 = ui.dialogFor(op1.progress());
  CProgressDlg* d2 = ui.dialogFor(op2.progress());
  ASSERT_TRUE(d1 != nullptr && d2 != nullptr);
  EXPECT_NE(d1, d2);
  EXPECT_EQ(d1->windowTitle(), op1.progress().title());
  EXPECT_EQ(d2->windowTitle(), op2.progress().title());
  d2->cancelButton()->click();
  EXPECT_TRUE(op2.progress().cancelled());
  EXPECT_FALSE(op1.progress().cancelled());
  EXPECT_EQ(ui.dialogFor(op1.progress()), d1);
  EXPECT_EQ(ui.openDialogs(), 1);
  end2.release();
  op2.join();
  end1.release();
  op1.join();
  EXPECT_FALSE(op1.progress().cancelled());
  EXPECT_EQ(ui.openDialogs(), 0);
}

// Notes, when each box opens, whether the operation's window was up.
class WatchingPrompts : public PromptService {
 public:
  WidgetUi* ui = nullptr;
  const OperationProgress* progress = nullptr;
  bool windowWhileBox = true;
  QString text;
  void open(const QString& t, unsigned, std::function<void(int)> done) override {
    text = t;
    windowWhileBox = ui->dialogFor(*progress) != nullptr;
    done(IDYES);
  }
};

TEST_F(ProgressWindow, ABoxHidesTheWindowAndBringsItBack) {
  WatchingPrompts prompts;
  WidgetUi ui(prompts, {0ms, 100ms});
  std::binary_semaphore end{0};
  std::atomic<int> answer{0};
  FakeOperation op(ui);
  prompts.ui = &ui;
  prompts.progress = &op.progress();
  std::binary_semaphore asked{0};
  op.run([&](OperationProgress& p) {
    const OperationUiScope scope(&ui);
    asked.acquire();
    answer = engine_helper().ShowMessage(QStringLiteral("Заменить?"), MB_YESNO | MB_ICONQUESTION, &p);
    end.acquire();
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return ui.dialogFor(op.progress()) != nullptr; }, 3000));
  asked.release();
  ASSERT_TRUE(QTest::qWaitFor([&] { return answer.load() != 0; }, 3000));
  EXPECT_EQ(prompts.text, QStringLiteral("Заменить?"));
  EXPECT_FALSE(prompts.windowWhileBox);
  EXPECT_EQ(answer.load(), IDYES);
  ASSERT_TRUE(QTest::qWaitFor([&] { return ui.dialogFor(op.progress()) != nullptr; }, 3000));
  end.release();
  op.join();
}

TEST_F(ProgressWindow, StopWithoutStartAndTheHostWindow) {
  QWidget host;
  host.show();
  HostWindow::set(&host);
  {
    WidgetUi ui(prompts_, {0ms, 100ms});
    OperationProgress never(ui, kTitle);
    ui.progressStopped(never);  // never started: nothing to close
    EXPECT_TRUE(host.isEnabled());
    EXPECT_EQ(ui.openDialogs(), 0);

    std::binary_semaphore end1{0}, end2{0};
    FakeOperation op1(ui), op2(ui);
    op1.run([&](OperationProgress&) { end1.acquire(); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui.openDialogs() == 1; }, 3000));
    EXPECT_FALSE(host.isEnabled());
    op2.run([&](OperationProgress&) { end2.acquire(); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return ui.openDialogs() == 2; }, 3000));
    end1.release();
    op1.join();
    EXPECT_FALSE(host.isEnabled()) << "enabled while a window is still up";
    end2.release();
    op2.join();
    EXPECT_TRUE(host.isEnabled());
  }
  HostWindow::set(nullptr);
}

TEST_F(ProgressWindow, ACancelAfterTheEndGoesNowhere) {
  WidgetUi ui(prompts_, {0ms, 100ms});
  auto progress = std::make_unique<OperationProgress>(ui, kTitle);
  progress->start();  // on the GUI thread: straight through
  QPointer<CProgressDlg> dlg = ui.dialogFor(*progress);
  ASSERT_FALSE(dlg.isNull());
  progress->stop();
  EXPECT_EQ(ui.dialogFor(*progress), nullptr);
  progress.reset();  // the operation's object is gone
  // A click still queued for the closed window must not reach it.
  if (dlg) dlg->cancelButton()->click();
  QTest::qWait(10);
  EXPECT_TRUE(dlg.isNull());
}

TEST_F(ProgressWindow, StepsNeverWaitForTheGuiThread) {
  WidgetUi ui(prompts_, {0ms, 100ms});
  OperationProgress p(ui, kTitle);
  // The GUI thread does not pump while the worker steps: a step that went to
  // a widget would hang here.
  std::thread worker([&] {
    for (int i = 0; i < 100000; ++i) ASSERT_TRUE(p.step(1, static_cast<std::uint64_t>(i), 100000));
  });
  worker.join();
}

// Every box of the library: caption, buttons, icon and the engine's answers.
TEST(PromptBoxes, FlagsMapToButtonsIconsAndAnswers) {
  struct Case {
    unsigned flags;
    QMessageBox::StandardButtons buttons;
    QMessageBox::Icon icon;
    const char* shot;
  };
  const Case cases[] = {
      {MB_OK | MB_ICONSTOP, QMessageBox::Ok, QMessageBox::Critical, "box_ok_stop"},
      {MB_YESNO | MB_ICONQUESTION, QMessageBox::Yes | QMessageBox::No, QMessageBox::Question, "box_yesno_question"},
      {MB_RETRYCANCEL | MB_ICONEXCLAMATION, QMessageBox::Retry | QMessageBox::Cancel, QMessageBox::Warning,
       "box_retry"},
      {MB_OKCANCEL | MB_ICONINFORMATION, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Information,
       "box_okcancel"},
      {MB_YESNOCANCEL, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::NoIcon, "box_ync"},
  };
  for (const Case& c : cases) {
    std::unique_ptr<QMessageBox> box(
        BoxPromptService::makeBox(QStringLiteral("Установите ключевой носитель!"), c.flags));
    EXPECT_EQ(box->windowTitle(), QStringLiteral("Dossar"));
    EXPECT_EQ(box->standardButtons(), c.buttons) << c.shot;
    EXPECT_EQ(box->icon(), c.icon) << c.shot;
    EXPECT_TRUE(box->windowFlags() & Qt::WindowStaysOnTopHint);
    box->show();
    QTest::qWait(1);
    gui_test::screenshot(box.get(), c.shot);
    gui_test::expect_no_clipped_text(box.get());
  }
  EXPECT_EQ(BoxPromptService::answerOf(QMessageBox::Yes), IDYES);
  EXPECT_EQ(BoxPromptService::answerOf(QMessageBox::No), IDNO);
  EXPECT_EQ(BoxPromptService::answerOf(QMessageBox::Ok), IDOK);
  EXPECT_EQ(BoxPromptService::answerOf(QMessageBox::Retry), IDRETRY);
  EXPECT_EQ(BoxPromptService::answerOf(QMessageBox::Cancel), IDCANCEL);
}

// A real box asked from a worker: the worker waits for the click, the GUI
// thread stays free to serve it.
TEST(PromptBoxes, AWorkersBoxIsAnsweredOnTheGuiThread) {
  BoxPromptService prompts;
  WidgetUi ui(prompts, {0ms, 100ms});
  std::atomic<int> answer{0};
  std::thread worker([&] {
    answer = ui.showMessage(
        {QStringLiteral("Файл уже существует: \n /tmp/a\n\nЗаменить?"), MB_YESNO | MB_ICONQUESTION, nullptr});
  });
  QMessageBox* box = nullptr;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
          if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible()) box = b;
        return box != nullptr;
      },
      3000));
  EXPECT_EQ(box->windowTitle(), QStringLiteral("Dossar"));
  box->button(QMessageBox::No)->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return answer.load() != 0; }, 3000));
  worker.join();
  EXPECT_EQ(answer.load(), IDNO);
}

}  // namespace
}  // namespace dsutils::widgets

namespace dsutils::widgets {
namespace {

TEST(FileDialogs, FiltersInQtsForm) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"Зашифрованные файлы(*.enc)|*.enc||", "Зашифрованные файлы (*.enc)"},
      {"Архив (*.sga)|*.sga||", "Архив (*.sga)"},
      {"Все файлы (*.*)|*.*||", "Все файлы (*)"},
      {"Подписанные файлы (.sgn;.sga)|*.sgn;*.sga|", "Подписанные файлы (*.sgn *.sga)"},
      {"Сертификаты (*.pem;*.der)|*.pem;*.der|Все файлы (*.*)|*.*|", "Сертификаты (*.pem *.der);;Все файлы (*)"},
      {"Файлы конфигурации (*.cfg)|*.cfg| Все файлы (*.*)|*.*|", "Файлы конфигурации (*.cfg);;Все файлы (*)"},
  };
  for (const auto& c : cases) EXPECT_EQ(qt_filter(QString::fromUtf8(c.in)), QString::fromUtf8(c.out)) << c.in;
}

TEST(FileDialogs, TheDialogOpensWithoutBlockingAndAnswersOnce) {
  QtFileDialogService files;
  int calls = 0;
  std::optional<QString> answer = QStringLiteral("unset");
  files.open({true, QStringLiteral("Сохранить"), QStringLiteral("/tmp/out.enc"),
              QStringLiteral("Зашифрованные файлы(*.enc)|*.enc||"), QStringLiteral("enc")},
             [&](std::optional<QString> a) {
               ++calls;
               answer = std::move(a);
             });
  QFileDialog* dialog = nullptr;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
          if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible()) dialog = d;
        return dialog != nullptr;
      },
      3000));
  EXPECT_EQ(dialog->nameFilters(), QStringList{QStringLiteral("Зашифрованные файлы (*.enc)")});
  EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
  EXPECT_EQ(dialog->defaultSuffix(), QStringLiteral("enc"));
  gui_test::screenshot(dialog, "file_dialog_save");
  dialog->reject();
  ASSERT_TRUE(QTest::qWaitFor([&] { return calls == 1; }, 2000));
  EXPECT_FALSE(answer.has_value());
}

// The engine's save-file question from an operation's worker: the path
// chosen, nothing on cancel, the filter handed on as the engine wrote it.
TEST(FileDialogs, TheEnginesSaveQuestionAnswersThePathOrNothing) {
  ScriptedPromptService prompts;
  ScriptedFileDialogService scripted;
  WidgetUiOptions options;
  options.files = &scripted;
  WidgetUi ui(prompts, options);
  scripted.queue(QStringLiteral("/home/u/other.doc"));
  scripted.queue(std::nullopt);
  const SaveFileRequest request{QStringLiteral("/home/u/report.doc"), QStringLiteral("Все файлы (.*)|*.*|")};
  std::optional<QString> first, second;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    first = ui.chooseSaveFile(request);
    second = ui.chooseSaveFile(request);
    done.store(true);
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 5000));
  worker.join();
  EXPECT_EQ(first, std::optional<QString>(QStringLiteral("/home/u/other.doc")));
  EXPECT_FALSE(second.has_value());
  const auto seen = scripted.seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(seen[0].save);
  EXPECT_EQ(seen[0].initialPath, request.initialPath);
  EXPECT_EQ(seen[0].filter, request.filter);
  EXPECT_TRUE(seen[0].defaultSuffix.isEmpty());
  EXPECT_EQ(scripted.unexpected(), 0);

  // The platform's dialog: a save dialog offering the name, OK answers it.
  const QTemporaryDir scratch;
  ASSERT_TRUE(scratch.isValid());
  const QString dir = scratch.path();
  WidgetUi platform(prompts);
  std::optional<QString> chosen;
  done.store(false);
  std::thread second_worker([&] {
    chosen = platform.chooseSaveFile({dir + QStringLiteral("/report.doc"), QStringLiteral("Все файлы (*.*)|*.*|")});
    done.store(true);
  });
  QFileDialog* dialog = nullptr;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
          if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible()) dialog = d;
        return dialog != nullptr;
      },
      3000));
  EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
  EXPECT_EQ(dialog->nameFilters(), QStringList{QStringLiteral("Все файлы (*)")});
  gui_test::screenshot(dialog, "file_dialog_engine_save");
  // The offered name, then another typed over it.
  auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->text(), QStringLiteral("report.doc"));
  name->setText(QStringLiteral("report-copy.doc"));
  static_cast<QDialog*>(dialog)->accept();
  EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 5000));
  second_worker.join();
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(QFileInfo(*chosen).fileName(), QStringLiteral("report-copy.doc"));
}

}  // namespace
}  // namespace dsutils::widgets
