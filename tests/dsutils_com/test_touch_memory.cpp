// The Touch-Memory messages: every code of the table with its text (kept
// here as written for the product, apart from the table in the library) and
// its buttons, codes outside it showing nothing, and a real box answered.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <thread>

#include "dsutils/engine/touch_memory_messages.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/widget_ui.h"
#include "tests/support/gui_test.h"

namespace dsutils::widgets {
namespace {

struct Expected {
  int code;
  const char* text;
  bool retry;
};

const char* const kNoMedium =
    "В адаптере Touch-Memory отсутствует носитель.\nВставьте носитель Touch-Memory в адаптер.";

const Expected kExpected[] = {
    {-1, kNoMedium, true},
    {-2, "Тип TM устройства не соответствует данной операции.", true},
    {-3, "Ошибка чтения файла/каталога на TM.\nВозможно, плохой контакт устройства с адаптером.", true},
    {-4, "Буфер для чтения меньше размера файла на TM.", false},
    {-5, "Слишком много открытых файлов на TM.", false},
    {-6, "Заданный файл на TM не найден.", true},
    {-7, "Файл с заданным именем на TM уже существует.", true},
    {-8, "Неверный идентификатор файла на TM.", false},
    {-9, "Попытка читать с TM из файла,\nпредназначенного только для записи.", false},
    {-10, "Не хватает памяти на TM.", false},
    {-11, "Ошибка записи на TM.", true},
    {-12, "Попытка писать на TM в файл,\nпредназначенный только для чтения.", false},
    {-13, "Данная функция TM не поддерживается.", false},
    {-14, "Недопустимое имя файла/каталога на TM.", false},
    {-15, "Попытка удалить на TM файл,\nпредназначенный для чтения.", false},
    {-16, "Идентификатор файла на TM не существует.", false},
    {-17, kNoMedium, true},
    {-18, "Неверно задан каталог TM.", false},
    {-19, "Удаляемый каталог на TM не пустой.", false},
    {-20, "Максимальное число подкаталогов на TM равно 10.", false},
    {-21, "Программирование TM не стартовало.", false},
    {-22, "Данные на TM защищены от записи.", false},
    {-23, "Данное TM устройство не EPROM-типа и не программируется.", false},
    {-24, "Функция AddFile завершена, поэтому данные\nне могут быть добавлены.", false},
    {-25, "Время ожидания устройства TM истекло.", false},
    {-26, "Неверно заданы параметры.", false},
    {-27, "Ошибка ACK.", false},
    {-200, "Неверный TM сеанс (не реализован в MSDOS).", false},
    {-201, "Требуемый драйвер для TM адаптера не найден.", false},
};

TEST(TouchMemoryMessages, TheTableHoldsTheProductsTexts) {
  const auto table = touch_memory_messages();
  ASSERT_EQ(table.size(), std::size(kExpected));
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].code, kExpected[i].code);
    EXPECT_STREQ(table[i].text, kExpected[i].text) << kExpected[i].code;
    EXPECT_EQ(table[i].retry, kExpected[i].retry) << kExpected[i].code;
  }
}

// Retry boxes (question icon, Retry/Cancel) answer 1 for Retry only; OK
// boxes (stop icon) answer 0; the boxes demand attention.
TEST(TouchMemoryMessages, EveryCodeGivesItsTextAndButtons) {
  for (const Expected& e : kExpected) {
    for (const int pressed : {int(IDRETRY), int(IDCANCEL), int(IDOK)}) {
      ScriptedPromptService prompts;
      WidgetUi ui(prompts);
      prompts.queue(pressed);
      const int answer = ui.touchMemoryMessage(e.code);
      const auto seen = prompts.seen();
      ASSERT_EQ(seen.size(), 1u) << e.code;
      EXPECT_EQ(seen[0].text, QString::fromUtf8(e.text)) << e.code;
      const unsigned expectedFlags = e.retry ? (MB_RETRYCANCEL | MB_ICONQUESTION) : (MB_OK | MB_ICONSTOP);
      EXPECT_EQ(seen[0].flags & (MB_TYPEMASK | MB_ICONMASK), expectedFlags) << e.code;
      EXPECT_EQ(seen[0].flags & (MB_TASKMODAL | MB_SETFOREGROUND), unsigned(MB_TASKMODAL | MB_SETFOREGROUND));
      EXPECT_EQ(answer, e.retry && pressed == IDRETRY ? 1 : 0) << e.code << " pressed " << pressed;
    }
  }
}

TEST(TouchMemoryMessages, CodesOutsideTheTableShowNothing) {
  ScriptedPromptService prompts;
  WidgetUi ui(prompts);
  for (const int code : {-28, 0, 1, 5, -100, -199, -202, 32767, -32768}) {
    EXPECT_EQ(ui.touchMemoryMessage(code), 0) << code;
    EXPECT_EQ(find_touch_memory_message(code), nullptr) << code;
  }
  EXPECT_TRUE(prompts.seen().empty());
}

// -17 in a real box from an operation's thread: Retry/Cancel with the
// question icon, Retry answers 1.
TEST(TouchMemoryMessages, ARealBoxOffersRetry) {
  BoxPromptService prompts;
  WidgetUi ui(prompts);
  std::atomic<int> answer{-1};
  std::thread worker([&] { answer = ui.touchMemoryMessage(-17); });
  QMessageBox* box = nullptr;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
          if (auto* b = qobject_cast<QMessageBox*>(w); b != nullptr && b->isVisible()) box = b;
        return box != nullptr;
      },
      3000));
  EXPECT_EQ(box->text(), QString::fromUtf8(kNoMedium));
  EXPECT_EQ(box->windowTitle(), QStringLiteral("Dossar"));
  EXPECT_EQ(box->icon(), QMessageBox::Question);
  EXPECT_EQ(box->standardButtons(), QMessageBox::Retry | QMessageBox::Cancel);
  gui_test::screenshot(box, "touch_memory_message_17");
  box->button(QMessageBox::Retry)->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return answer.load() != -1; }, 3000));
  worker.join();
  EXPECT_EQ(answer.load(), 1);
}

}  // namespace
}  // namespace dsutils::widgets
