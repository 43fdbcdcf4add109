// The preview window and the settings dialog, offscreen: captions, the
// page-count button, printing from the preview, the owner window, a direct
// print without windows, and the settings model under the dialog.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QPrintPreviewWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <filesystem>

#include "print_test_util.h"
#include "printing/preview_window.h"
#include "printing/print_job.h"
#include "printing/settings_dialog.h"

namespace {

using vtpagina::PreviewWindow;

std::string lines(int n) {
  std::string s;
  for (int i = 1; i <= n; ++i) s += "Строка " + std::to_string(i) + "\n";
  return s;
}

// Runs the posted deletions, so a closed window is really gone.
void settle() {
  for (int i = 0; i < 3; ++i) {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
  }
}

class PaginaPreview : public testing::Test {
 protected:
  void SetUp() override {
    print_test::app();
    dir_ = print_test::scratch_dir();
    pdf_ = dir_ + "/preview.pdf";
    ::setenv("DOSSAR_PRINT_PDF", pdf_.c_str(), 1);
    vtpagina::indent_record() = PrintIndents{};
  }
  void TearDown() override {
    vtpagina::end_print();
    settle();
    ::unsetenv("DOSSAR_PRINT_PDF");
  }

  std::unique_ptr<PreviewWindow> window_for(const std::string& text, bool signature_list = false) {
    vtpagina::PrintSpec spec;
    spec.text = QString::fromStdString(text);
    spec.font = vtpagina::font_record();
    spec.signature_list = signature_list;
    auto w = std::make_unique<PreviewWindow>(spec, vtpagina::PrintTarget::current(),
                                             QStringLiteral("Предварительный просмотр"), nullptr, false);
    w->setAttribute(Qt::WA_DeleteOnClose, false);
    return w;
  }

  std::string dir_, pdf_;
};

TEST_F(PaginaPreview, ToolbarCaptionsAreExact) {
  auto w = window_for(lines(3));
  w->show();
  const std::vector<std::pair<QAction*, const char*>> expected = {
      {w->print_action(), "Печать..."},  {w->next_action(), "Вперед"},       {w->previous_action(), "Назад"},
      {w->pages_action(), "&Два листа"}, {w->zoom_in_action(), "Увеличить"}, {w->zoom_out_action(), "Уменьшить"},
      {w->close_action(), "Закрыть"}};
  auto* bar = w->findChild<QToolBar*>();
  ASSERT_NE(bar, nullptr);
  for (const auto& [action, text] : expected) {
    EXPECT_EQ(action->text().toStdString(), text);
    // What the button shows, not only what the action holds.
    auto* button = qobject_cast<QToolButton*>(bar->widgetForAction(action));
    ASSERT_NE(button, nullptr) << text;
    EXPECT_EQ(button->text().toStdString(), text);
  }
  EXPECT_EQ(w->windowTitle().toStdString(), "Предварительный просмотр");
  print_test::expect_no_clipped_text(w.get());
}

TEST_F(PaginaPreview, PageCountButtonFollowsThePages) {
  auto one = window_for(lines(3));
  one->show();
  EXPECT_EQ(one->state().page_count(), 1);
  EXPECT_FALSE(one->pages_action()->isEnabled());
  EXPECT_FALSE(one->next_action()->isEnabled());
  EXPECT_FALSE(one->previous_action()->isEnabled());

  auto many = window_for(lines(200));
  many->show();
  ASSERT_GE(many->state().page_count(), 3);
  EXPECT_EQ(many->preview()->pageCount(), many->state().page_count());
  QAction* pages = many->pages_action();
  EXPECT_TRUE(pages->isEnabled());
  pages->trigger();
  EXPECT_EQ(pages->text().toStdString(), "&Один лист");
  EXPECT_EQ(qobject_cast<QToolButton*>(many->findChild<QToolBar*>()->widgetForAction(pages))->text().toStdString(),
            "&Один лист");
  EXPECT_EQ(many->preview()->viewMode(), QPrintPreviewWidget::FacingPagesView);
  pages->trigger();
  EXPECT_EQ(pages->text().toStdString(), "&Два листа");
  EXPECT_EQ(many->preview()->viewMode(), QPrintPreviewWidget::SinglePageView);

  // Zoomed in, the button is off; paging walks the pages.
  many->zoom_in_action()->trigger();
  EXPECT_FALSE(pages->isEnabled());
  EXPECT_TRUE(many->zoom_out_action()->isEnabled());
  many->zoom_out_action()->trigger();
  EXPECT_TRUE(pages->isEnabled());
  many->next_action()->trigger();
  EXPECT_EQ(many->preview()->currentPage(), 2);
  EXPECT_TRUE(many->previous_action()->isEnabled());
  many->previous_action()->trigger();
  EXPECT_EQ(many->preview()->currentPage(), 1);
}

TEST_F(PaginaPreview, PreviewStateRules) {
  vtpagina::PreviewState s;
  s.set_page_count(5);
  s.toggle_pages();
  EXPECT_TRUE(s.two_pages());
  s.next();
  EXPECT_EQ(s.current_page(), 3);  // two pages a step
  s.next();
  EXPECT_EQ(s.current_page(), 5);
  EXPECT_FALSE(s.can_next());
  s.zoom_in();
  EXPECT_EQ(s.pages_caption().toStdString(), "&Один лист");  // the whole-page setting counts
  EXPECT_FALSE(s.can_toggle_pages());
  s.zoom_in();
  EXPECT_FALSE(s.can_zoom_in());
  s.zoom_in();
  EXPECT_EQ(s.zoom(), vtpagina::PreviewState::kMaxZoom);
  vtpagina::PreviewState empty;
  empty.set_page_count(0);
  EXPECT_FALSE(empty.can_next());
  EXPECT_FALSE(empty.can_toggle_pages());
  empty.toggle_pages();
  EXPECT_FALSE(empty.two_pages());
}

TEST_F(PaginaPreview, SignatureListPreviewShowsTheStamp) {
  const PrintSignatureList list{"акт.pdf", "\r\n1. Иванов И. И., подпись подтверждена", 1};
  const std::string tmpl = std::string(DOSSAR_SOURCE_DIR) + "/printing/templates/stamp.txt";
  PrintListItem path{tmpl.c_str(), PRINT_ITEM_TEMPLATE_PATH, nullptr};
  PrintListItem head{&list, PRINT_ITEM_SIGNATURE_LIST, &path};
  vtpagina::run_pagina(&head, "Штамп заключения о проверке ЭЦП", 1, 0);
  PreviewWindow* w = vtpagina::live_preview();
  ASSERT_NE(w, nullptr);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
  EXPECT_EQ(w->windowTitle().toStdString(), "Штамп заключения о проверке ЭЦП");
  EXPECT_EQ(w->state().page_count(), 1);
  print_test::expect_no_clipped_text(w);
  print_test::screenshot(w, "pagina_preview_signature_list");
}

TEST_F(PaginaPreview, PrintButtonWritesThePdfAndCloses) {
  print_test::BoxWatcher boxes;
  PrintListItem head{"Текст для печати", PRINT_ITEM_TEXT, nullptr};
  vtpagina::run_pagina(&head, nullptr, 1, 0);
  QPointer<PreviewWindow> w = vtpagina::live_preview();
  ASSERT_FALSE(w.isNull());
  EXPECT_TRUE(w->isVisible());
  EXPECT_EQ(w->windowTitle().toStdString(), "Предварительный просмотр");  // no title given
  EXPECT_FALSE(std::filesystem::exists(pdf_));                            // a preview prints nothing by itself
  w->print_action()->trigger();
  settle();
  EXPECT_TRUE(w.isNull());
  EXPECT_EQ(vtpagina::live_preview(), nullptr);
  EXPECT_TRUE(std::filesystem::exists(pdf_));
  EXPECT_GT(std::filesystem::file_size(pdf_), 0u);
  EXPECT_TRUE(boxes.seen().empty());
  // No temporary output left beside the file.
  int files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_)) ++files;
  EXPECT_EQ(files, 1);
}

TEST_F(PaginaPreview, OwnerIsDisabledDuringThePreview) {
  struct Case {
    int32_t close_owner;
    bool owner_visible_after;
  } cases[] = {{0, true}, {1, false}};
  for (const Case& c : cases) {
    QWidget owner;
    owner.setWindowTitle(QStringLiteral("Протокол проверки"));
    owner.resize(300, 200);
    owner.show();
    owner.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&owner));
    PrintListItem head{"Текст", PRINT_ITEM_TEXT, nullptr};
    vtpagina::run_pagina(&head, nullptr, 1, c.close_owner);
    ASSERT_NE(vtpagina::live_preview(), nullptr);
    EXPECT_FALSE(owner.isEnabled()) << "close flag " << c.close_owner;
    vtpagina::live_preview()->close_action()->trigger();
    settle();
    EXPECT_EQ(vtpagina::live_preview(), nullptr);
    EXPECT_TRUE(owner.isEnabled()) << "close flag " << c.close_owner;
    EXPECT_EQ(owner.isVisible(), c.owner_visible_after) << "close flag " << c.close_owner;
  }
}

// Counts windows that are shown while it lives.
class ShowSpy : public QObject {
 public:
  ShowSpy() { qApp->installEventFilter(this); }
  ~ShowSpy() override { qApp->removeEventFilter(this); }
  int shown = 0;

 protected:
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Show && o->isWidgetType() && static_cast<QWidget*>(o)->isWindow()) ++shown;
    return false;
  }
};

TEST_F(PaginaPreview, DirectPrintShowsNoWindow) {
  ShowSpy spy;
  const std::string text = lines(100);
  PrintListItem head{text.c_str(), PRINT_ITEM_TEXT, nullptr};
  vtpagina::run_pagina(&head, nullptr, 0, 0);
  settle();
  EXPECT_EQ(spy.shown, 0);
  EXPECT_EQ(vtpagina::live_preview(), nullptr);
  EXPECT_TRUE(std::filesystem::exists(pdf_));
}

// A new job ends the preview of the one before.
TEST_F(PaginaPreview, NewJobReplacesThePreview) {
  PrintListItem head{"Первый", PRINT_ITEM_TEXT, nullptr};
  vtpagina::run_pagina(&head, "Первый", 1, 0);
  QPointer<PreviewWindow> first = vtpagina::live_preview();
  ASSERT_FALSE(first.isNull());
  // The earlier preview is the active window when the next job comes: it is
  // not taken as the owner of the new one, since it goes first.
  first->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(first.data()));
  ASSERT_EQ(QApplication::activeWindow(), first.data());
  vtpagina::run_pagina(&head, "Второй", 1, 0);
  EXPECT_TRUE(first.isNull());
  ASSERT_NE(vtpagina::live_preview(), nullptr);
  EXPECT_EQ(vtpagina::live_preview()->windowTitle().toStdString(), "Второй");
  EXPECT_EQ(vtpagina::end_print(), 1);
  EXPECT_EQ(vtpagina::end_print(), 0);
}

TEST(PaginaSettings, ModelShowsTenthsAndStoresTimesTen) {
  PrintIndents stored{200, 200, 200, 200};
  PrintFontRecord font = vtpagina::font_record();
  vtpagina::PrintSettingsModel model(font, stored);
  for (auto side : {vtpagina::Side::Left, vtpagina::Side::Top, vtpagina::Side::Right, vtpagina::Side::Bottom})
    EXPECT_EQ(model.indent(side), 20);
  EXPECT_EQ(model.font_text().toStdString(), "Courier New (12)");
  model.set_indent(vtpagina::Side::Top, 35);
  model.set_indent(vtpagina::Side::Right, 5000);  // out of the dialog's range
  model.commit(font, stored);
  EXPECT_EQ(stored.left, 200);
  EXPECT_EQ(stored.top, 350);
  EXPECT_EQ(stored.right, 9990);
  EXPECT_EQ(stored.bottom, 200);

  struct Case {
    const char* text;
    int value;  // -1: refused
  } cases[] = {{"0", 0}, {"999", 999}, {"35", 35}, {"1000", -1}, {"-1", -1}, {"1a", -1}, {"", -1}, {"٣", -1}};
  for (const Case& c : cases) {
    const auto v = vtpagina::PrintSettingsModel::parse_indent(QString::fromUtf8(c.text));
    EXPECT_EQ(v.value_or(-1), c.value) << c.text;
  }

  // A chosen font: face and size in tenths; a long face name is cut whole.
  QFont chosen(QStringLiteral("Liberation Mono"));
  chosen.setPointSize(14);
  model.set_font(chosen);
  EXPECT_EQ(model.font_copy().lfHeight, 140);
  EXPECT_EQ(model.font_text().toStdString(), "Liberation Mono (14)");
  EXPECT_EQ(model.font_copy().lfCharSet, 204);
  QFont cyrillic(QStringLiteral("Шрифт с очень длинным именем семейства"));
  model.set_font(cyrillic);
  const std::string face(model.font_copy().lfFaceName);
  EXPECT_LE(face.size(), 31u);
  EXPECT_TRUE(QString::fromStdString(face).toUtf8().toStdString() == face);
  EXPECT_EQ(QString::fromUtf8(face.c_str()).contains(QChar(0xFFFD)), false);
}

TEST(PaginaSettings, DialogOverTheModel) {
  print_test::app();
  struct Case {
    bool ok;
  } cases[] = {{true}, {false}};
  for (const Case& c : cases) {
    PrintFontRecord font = vtpagina::font_record();
    PrintIndents stored{200, 100, 0, 50};
    const PrintFontRecord font_before = font;
    vtpagina::PrintSettingsModel model(font, stored);
    int asked = 0;
    vtpagina::PrintSettingsDialog dialog(model, [&](const QFont& initial, QWidget*) -> std::optional<QFont> {
      ++asked;
      EXPECT_EQ(initial.family().toStdString(), "Courier New");
      EXPECT_EQ(initial.pointSize(), 12);
      QFont f(QStringLiteral("Liberation Mono"));
      f.setPointSize(10);
      return f;
    });
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    EXPECT_EQ(dialog.windowTitle().toStdString(), "Настройка параметров печати");
    EXPECT_EQ(dialog.indent_box(vtpagina::Side::Left)->value(), 20);
    EXPECT_EQ(dialog.indent_box(vtpagina::Side::Top)->value(), 10);
    EXPECT_EQ(dialog.indent_box(vtpagina::Side::Bottom)->value(), 5);
    EXPECT_EQ(dialog.indent_box(vtpagina::Side::Left)->maximum(), 999);
    EXPECT_EQ(dialog.font_field()->text().toStdString(), "Courier New (12)");
    EXPECT_TRUE(dialog.font_field()->isReadOnly());
    EXPECT_EQ(dialog.change_button()->text().toStdString(), "Сменить...");
    EXPECT_EQ(dialog.cancel_button()->text().toStdString(), "Отмена");
    print_test::expect_no_clipped_text(&dialog);
    if (c.ok) print_test::screenshot(&dialog, "pagina_print_settings");

    // Typing: digits only.
    QSpinBox* top = dialog.indent_box(vtpagina::Side::Top);
    top->selectAll();
    QTest::keyClicks(top, "3x5");
    EXPECT_EQ(top->text().toStdString(), "35");
    QTest::mouseClick(dialog.change_button(), Qt::LeftButton);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(dialog.font_field()->text().toStdString(), "Liberation Mono (10)");

    QTest::mouseClick(c.ok ? dialog.ok_button() : dialog.cancel_button(), Qt::LeftButton);
    EXPECT_EQ(dialog.result(), c.ok ? QDialog::Accepted : QDialog::Rejected);
    if (dialog.result() == QDialog::Accepted) model.commit(font, stored);
    if (c.ok) {
      EXPECT_EQ(stored.top, 350);
      EXPECT_EQ(stored.left, 200);
      EXPECT_EQ(font.lfHeight, 100);
    } else {
      EXPECT_EQ(stored.top, 100);
      EXPECT_EQ(font.lfHeight, font_before.lfHeight);
      EXPECT_STREQ(font.lfFaceName, font_before.lfFaceName);
    }
  }
}

// Through the library's own entry: the records change on OK only.
TEST(PaginaSettings, PrintSettingsStoresOnOkOnly) {
  print_test::app();
  ::setenv("DOSSAR_PRINT_PDF", "/nonexistent/never-written.pdf", 1);
  vtpagina::indent_record() = PrintIndents{200, 200, 200, 200};
  struct Case {
    bool ok;
    int32_t left_after;
  } cases[] = {{false, 200}, {true, 470}};
  for (const Case& c : cases) {
    QTimer::singleShot(0, [&] {
      auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(d, nullptr);
      auto* dialog = static_cast<vtpagina::PrintSettingsDialog*>(d);
      EXPECT_EQ(dialog->indent_box(vtpagina::Side::Left)->value(), 20);
      dialog->indent_box(vtpagina::Side::Left)->setValue(47);
      (c.ok ? dialog->ok_button() : dialog->cancel_button())->click();
    });
    vtpagina::run_print_settings();
    EXPECT_EQ(vtpagina::indent_record().left, c.left_after);
    EXPECT_EQ(vtpagina::indent_record().top, 200);
  }
  ::unsetenv("DOSSAR_PRINT_PDF");
}

}  // namespace
