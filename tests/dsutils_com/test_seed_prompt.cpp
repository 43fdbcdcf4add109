// The keyboard random-seed prompt under the crypto library's real keyboard
// seeding: CryptoSession::OnRandomSensor as the key callback, the pauses cut
// to nothing through the test hook, QTest typing into the one dialog.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "crypto/rand/grand.h"
#include "dsutils/engine/crypto_session.h"
#include "dsutils/widgets/progress_dialog.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/random_seed_prompt.h"
#include "dsutils/widgets/widget_ui.h"
#include "tests/dsutils_com/type_text.h"
#include "tests/support/gui_test.h"

namespace dsutils::widgets {
namespace {

using namespace std::chrono_literals;

// The character the prompt asks for: "Введите символ ' X ':".
QChar asked(const SeedPromptDialog* dlg) {
  const QString text = dlg->promptLabel()->text();
  const qsizetype at = text.indexOf(QStringLiteral("' "));
  return at < 0 || at + 2 >= text.size() ? QChar() : text[at + 2];
}

// What the person does at each question: the key to type, or nothing to
// press Cancel.
using Typist = std::function<std::optional<QString>(int question, QChar asked)>;

struct SeedRun {
  int result = -1;
  int questions = 0;
  int dialogsSeen = 0;
  std::vector<int> barValues;
};

class SeedPrompt : public ::testing::Test {
 protected:
  void SetUp() override { qcrypto::GRAND_set_keyboard_pause_limit(0); }
  void TearDown() override { qcrypto::GRAND_set_keyboard_pause_limit(500); }

  // One question answered on the GUI thread when the dialog waits.
  bool answer(SeedRun& run, const Typist& typist, QPointer<SeedPromptDialog>& first) {
    SeedPromptDialog* dlg = RandomSeedPrompt::dialog();
    if (dlg == nullptr || !dlg->waiting() || !dlg->isVisible()) return false;
    if (first != dlg) {
      first = dlg;
      ++run.dialogsSeen;
    }
    run.barValues.push_back(dlg->progressBar()->value());
    EXPECT_EQ(dlg->progressBar()->maximum(), 16);
    EXPECT_TRUE(dlg->keyEdit()->text().isEmpty());
    if (dlg->progressBar()->value() == 4 && !shot_) {
      shot_ = true;
      EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Датчик случайных чисел"));
      EXPECT_EQ(dlg->headingLabel()->text(), QStringLiteral("Инициализация датчика случайных чисел"));
      EXPECT_EQ(dlg->promptLabel()->text(), QStringLiteral("Введите символ ' %1 ':").arg(asked(dlg)));
      EXPECT_EQ(dlg->cancelButton()->text(), QStringLiteral("Отменить"));
      gui_test::screenshot(dlg, "random_seed_prompt_5_of_16");
      gui_test::expect_no_clipped_text(dlg);
    }
    const std::optional<QString> key = typist(run.questions++, asked(dlg));
    if (key)
      testing::type_text(dlg->keyEdit(), *key);
    else
      dlg->cancelButton()->click();
    return true;
  }

  // The seeding on a worker of `ui`, answered from here.
  SeedRun seedOnWorker(WidgetUi& ui, const Typist& typist) {
    SeedRun run;
    std::atomic<bool> done{false};
    std::thread worker([&] {
      const OperationUiScope scope(&ui);
      unsigned char out[32] = {};
      run.result = qcrypto::GRAND_keyboard_seed(out, &CryptoSession::OnRandomSensor, nullptr);
      done = true;
    });
    QPointer<SeedPromptDialog> first;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
          answer(run, typist, first);
          return done.load();
        },
        20000));
    worker.join();
    return run;
  }

  ScriptedPromptService prompts_;
  bool shot_ = false;
};

Typist right_keys() {
  return [](int, QChar c) { return std::optional<QString>(QString(c)); };
}

// 16 right keys seed with one dialog open throughout; the progress window of
// the operation is hidden while the prompt is up and comes back afterwards.
TEST_F(SeedPrompt, SixteenRightKeysSeedWithOneDialog) {
  WidgetUi ui(prompts_, {0ms, 100ms});
  SeedRun run;
  std::atomic<bool> done{false};
  std::atomic<bool> progressUp{false};
  std::atomic<int> seeded{-1};
  std::atomic<OperationProgress*> progress{nullptr};
  std::thread worker([&] {
    const OperationUiScope scope(&ui);
    OperationProgress p(ui, QStringLiteral("Выполняется операция: подписать"));
    progress = &p;
    p.start();
    while (!progressUp.load()) std::this_thread::sleep_for(1ms);
    unsigned char out[32] = {};
    seeded = qcrypto::GRAND_keyboard_seed(out, &CryptoSession::OnRandomSensor, nullptr);
    while (!done.load()) std::this_thread::sleep_for(1ms);
    p.stop();
  });
  CProgressDlg* window = nullptr;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return progress != nullptr && (window = ui.dialogFor(*progress.load())) != nullptr && window->isVisible();
      },
      3000));
  progressUp = true;
  QPointer<SeedPromptDialog> first;
  bool hiddenWhilePrompting = true;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        if (answer(run, right_keys(), first) && window->isVisible()) hiddenWhilePrompting = false;
        return seeded.load() != -1;
      },
      20000));
  EXPECT_EQ(seeded.load(), 1);
  EXPECT_EQ(run.questions, 16);
  EXPECT_EQ(run.dialogsSeen, 1);
  std::vector<int> expected;
  for (int i = 0; i < 16; ++i) expected.push_back(i);
  EXPECT_EQ(run.barValues, expected);
  EXPECT_TRUE(hiddenWhilePrompting);
  EXPECT_TRUE(QTest::qWaitFor([&] { return RandomSeedPrompt::dialog() == nullptr; }, 2000));
  EXPECT_TRUE(QTest::qWaitFor([&] { return window->isVisible(); }, 2000)) << "the progress window did not come back";
  done = true;
  EXPECT_TRUE(QTest::qWaitFor([&] { return ui.openDialogs() == 0; }, 3000));
  worker.join();
}

// A wrong key and a Cyrillic key (its Unicode code, above one byte) each
// take a step back; the seeding still succeeds.
TEST_F(SeedPrompt, WrongAndCyrillicKeysStepBack) {
  WidgetUi ui(prompts_);
  const SeedRun run = seedOnWorker(ui, [](int question, QChar c) {
    if (question == 3) return std::optional<QString>(c == QLatin1Char('0') ? QStringLiteral("1") : QStringLiteral("0"));
    if (question == 7) return std::optional<QString>(QStringLiteral("й"));
    return std::optional<QString>(QString(c));
  });
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.questions, 20);  // two wrong keys cost two questions each
  EXPECT_EQ(run.dialogsSeen, 1);
  ASSERT_GE(run.barValues.size(), 9u);
  EXPECT_EQ(run.barValues[3], 3);
  EXPECT_EQ(run.barValues[4], 2);  // stepped back
  EXPECT_EQ(run.barValues[7], 5);
  EXPECT_EQ(run.barValues[8], 4);
  EXPECT_TRUE(QTest::qWaitFor([] { return RandomSeedPrompt::dialog() == nullptr; }, 2000));
}

TEST_F(SeedPrompt, CancelFailsTheSeeding) {
  WidgetUi ui(prompts_);
  const SeedRun run = seedOnWorker(
      ui, [](int question, QChar c) { return question == 4 ? std::nullopt : std::optional<QString>(QString(c)); });
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.questions, 5);
  EXPECT_TRUE(QTest::qWaitFor([] { return RandomSeedPrompt::dialog() == nullptr; }, 2000));
}

// The seeding called from the GUI thread itself: the prompt is served by the
// local event loop of each question.
TEST_F(SeedPrompt, FromTheGuiThreadItself) {
  WidgetUi ui(prompts_);
  SeedRun run;
  QPointer<SeedPromptDialog> first;
  QTimer typist;
  typist.setInterval(1);
  QObject::connect(&typist, &QTimer::timeout, [&] {
    answer(
        run,
        [](int question, QChar c) { return std::optional<QString>(question == 2 ? QStringLiteral("Ж") : QString(c)); },
        first);
  });
  typist.start();
  const OperationUiScope scope(&ui);
  unsigned char out[32] = {};
  run.result = qcrypto::GRAND_keyboard_seed(out, &CryptoSession::OnRandomSensor, nullptr);
  typist.stop();
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.questions, 18);
  EXPECT_EQ(run.dialogsSeen, 1);
  EXPECT_EQ(RandomSeedPrompt::dialog(), nullptr);
}

// Two seedings at once: the second waits until the first prompt has closed,
// so one dialog serves one caller at a time.
TEST_F(SeedPrompt, ASecondCallerWaitsForTheFirst) {
  WidgetUi ui(prompts_);
  std::atomic<int> finished{0};
  std::atomic<int> results{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < 2; ++i) {
    workers.emplace_back([&] {
      const OperationUiScope scope(&ui);
      unsigned char out[32] = {};
      results += qcrypto::GRAND_keyboard_seed(out, &CryptoSession::OnRandomSensor, nullptr);
      ++finished;
    });
  }
  SeedRun run;
  QPointer<SeedPromptDialog> first;
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        answer(run, right_keys(), first);
        return finished.load() == 2;
      },
      20000));
  for (std::thread& t : workers) t.join();
  EXPECT_EQ(results.load(), 2);
  EXPECT_EQ(run.questions, 32);
  EXPECT_EQ(run.dialogsSeen, 2);
  // Each caller's progress ran from 0 to 15 without the other's in between.
  ASSERT_EQ(run.barValues.size(), 32u);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(run.barValues[i], i % 16) << i;
}

}  // namespace
}  // namespace dsutils::widgets
