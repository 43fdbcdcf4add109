// The library as a caller sees it: loaded by its Windows name, bound by
// export names, called without an application, from another thread, with no
// print target, and unloaded while or after a preview lives.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QMainWindow>
#include <QTest>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/dynlib.h"
#include "print_test_util.h"
#include "printing/vtpagina.h"
#include "tests/support/run_program.h"

namespace {

struct Exports {
  DllPaginaFn pagina = nullptr;
  DllGetPrintFontFn font = nullptr;
  DllGetPrintIndentsFn indents = nullptr;
  DllPrintSettingsFn settings = nullptr;
  DllEndPrintFn end = nullptr;
};

class PaginaExports : public testing::Test {
 protected:
  void SetUp() override {
    ::setenv("DOSSAR_LIB_PATH", VTPAGINA_DIR, 1);
    dir_ = print_test::scratch_dir();
    pdf_ = dir_ + "/exports.pdf";
    ::setenv("DOSSAR_PRINT_PDF", pdf_.c_str(), 1);
    ASSERT_TRUE(load());
  }
  void TearDown() override {
    ::unsetenv("DOSSAR_PRINT_PDF");
    ::unsetenv("DOSSAR_PRINT_NO_TARGET");
  }

  bool load() {
    if (!lib_.open("VTPagina.dll")) return false;
    const char* names[] = {"DllPagina", "DllGetPrintFont", "DllGetPrintIndents", "DllPrintSettings", "DllEndPrint"};
    void* addr[5] = {};
    if (!lib_.bind_all(names, addr, 5)) return false;
    x_.pagina = reinterpret_cast<DllPaginaFn>(addr[0]);
    x_.font = reinterpret_cast<DllGetPrintFontFn>(addr[1]);
    x_.indents = reinterpret_cast<DllGetPrintIndentsFn>(addr[2]);
    x_.settings = reinterpret_cast<DllPrintSettingsFn>(addr[3]);
    x_.end = reinterpret_cast<DllEndPrintFn>(addr[4]);
    return true;
  }

  static std::vector<QMainWindow*> visible_main_windows() {
    std::vector<QMainWindow*> out;
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (auto* m = qobject_cast<QMainWindow*>(w); m != nullptr && m->isVisible()) out.push_back(m);
    }
    return out;
  }

  platform::DynLib lib_;
  Exports x_;
  std::string dir_, pdf_;
};

TEST_F(PaginaExports, WithoutApplicationEveryExportFails) {
  ASSERT_EQ(QCoreApplication::instance(), nullptr);
  testing::internal::CaptureStderr();
  PrintListItem head{"x", PRINT_ITEM_TEXT, nullptr};
  x_.pagina(&head, nullptr, 0, 0);
  EXPECT_EQ(x_.font(), nullptr);
  EXPECT_EQ(x_.indents(), nullptr);
  x_.settings();
  EXPECT_EQ(x_.end(), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  for (const char* name : {"DllPagina", "DllGetPrintFont", "DllGetPrintIndents", "DllPrintSettings", "DllEndPrint"})
    EXPECT_NE(err.find(std::string(name) + " needs the host's QApplication"), std::string::npos) << err;
  EXPECT_FALSE(std::filesystem::exists(pdf_));
}

TEST_F(PaginaExports, RecordsStartAtTheirDefaultsAndKeepWrites) {
  print_test::app();
  PrintFontRecord* font = x_.font();
  ASSERT_NE(font, nullptr);
  PrintFontRecord expected{};
  expected.lfHeight = 120;
  expected.lfCharSet = 204;
  std::strcpy(expected.lfFaceName, "Courier New");
  EXPECT_EQ(std::memcmp(font, &expected, sizeof expected), 0);
  PrintIndents* indents = x_.indents();
  ASSERT_NE(indents, nullptr);
  EXPECT_EQ(indents->left | indents->top | indents->right | indents->bottom, 0);
  *indents = PrintIndents{200, 200, 200, 200};
  EXPECT_EQ(x_.indents(), indents);
  EXPECT_EQ(x_.indents()->bottom, 200);
}

TEST_F(PaginaExports, NoTargetShowsTheMessageAndGettersAreNull) {
  print_test::app();
  ::setenv("DOSSAR_PRINT_NO_TARGET", "1", 1);
  print_test::BoxWatcher boxes;
  EXPECT_EQ(x_.font(), nullptr);
  EXPECT_EQ(x_.indents(), nullptr);
  PrintListItem head{"x", PRINT_ITEM_TEXT, nullptr};
  x_.pagina(&head, nullptr, 1, 0);
  x_.settings();
  EXPECT_EQ(x_.end(), 0);  // asks nothing of the target
  EXPECT_TRUE(visible_main_windows().empty());
  EXPECT_FALSE(std::filesystem::exists(pdf_));
  ASSERT_EQ(boxes.seen().size(), 4u);
  for (const auto& seen : boxes.seen()) {
    EXPECT_EQ(seen.caption.toStdString(), "Ostrel Печать");
    EXPECT_EQ(seen.text.toStdString(),
              "Перед тем как производить печать, требуется установить принтер.\n"
              "Для этого используйте команды 'Настройка', 'Принтеры' в меню 'Пуск'");
    EXPECT_EQ(seen.icon, QMessageBox::Warning);
  }
}

TEST_F(PaginaExports, EndPrintClosesThePreviewThenReloadAndPrint) {
  print_test::app();
  PrintListItem head{"Штамп", PRINT_ITEM_TEXT, nullptr};
  x_.pagina(&head, "Окно штампа", 1, 0);
  auto windows = visible_main_windows();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(windows[0]->windowTitle().toStdString(), "Окно штампа");
  QPointer<QMainWindow> live = windows[0];
  EXPECT_EQ(x_.end(), 1);
  EXPECT_TRUE(live.isNull());  // gone synchronously, not at the next event loop
  EXPECT_EQ(x_.end(), 0);

  lib_.close();
  ASSERT_TRUE(load());
  x_.pagina(&head, nullptr, 0, 0);
  EXPECT_TRUE(std::filesystem::exists(pdf_));
  EXPECT_TRUE(visible_main_windows().empty());
}

// The host may unload the library while its preview is still open; the
// window's code must stay mapped until the window goes.
TEST_F(PaginaExports, PreviewOutlivesUnload) {
  print_test::app();
  PrintListItem head{"Текст", PRINT_ITEM_TEXT, nullptr};
  x_.pagina(&head, nullptr, 1, 0);
  ASSERT_EQ(visible_main_windows().size(), 1u);
  QPointer<QMainWindow> live = visible_main_windows()[0];
  const std::string path = std::string(VTPAGINA_DIR) + "/libVTPagina.so";
  lib_.close();
  // Still mapped after the last dlclose.
  void* again = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(again, nullptr);
  if (again != nullptr) ::dlclose(again);
  live->resize(700, 800);
  QTest::qWait(20);
  live->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(live.isNull());
}

TEST_F(PaginaExports, CallsFromAnotherThreadRunOnTheGuiThread) {
  print_test::app();
  PrintIndents* direct = x_.indents();
  ASSERT_NE(direct, nullptr);
  std::atomic<bool> done{false};
  std::atomic<bool> seen{false};
  PrintIndents* from_thread = nullptr;
  int32_t ended = -1;
  PrintListItem head{"Из другого потока", PRINT_ITEM_TEXT, nullptr};
  std::thread worker([&] {
    from_thread = x_.indents();
    x_.pagina(&head, nullptr, 0, 0);  // a direct print
    x_.pagina(&head, nullptr, 1, 0);  // a preview, made on the GUI thread
    // The GUI thread looks at the preview before it is ended.
    for (int i = 0; i < 500 && !seen; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ended = x_.end();
    done = true;
  });
  QThread* gui = QThread::currentThread();
  bool preview_on_gui_thread = false;
  while (!done) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    for (QMainWindow* w : visible_main_windows()) {
      preview_on_gui_thread = w->thread() == gui;
      seen = true;
    }
  }
  worker.join();
  EXPECT_EQ(from_thread, direct);
  EXPECT_TRUE(std::filesystem::exists(pdf_));
  EXPECT_TRUE(preview_on_gui_thread);
  EXPECT_EQ(ended, 1);
  EXPECT_TRUE(visible_main_windows().empty());
}

TEST_F(PaginaExports, DemoToolPrintsTheStamp) {
  REQUIRE_POPPLER();
  const std::string signatures = dir_ + "/signatures.txt";
  std::FILE* f = std::fopen(signatures.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("\n1. Сидоров С. С., подпись подтверждена\n2. Орлова О. О., подпись подтверждена\n", f);
  std::fclose(f);
  const std::string tmpl = std::string(DOSSAR_SOURCE_DIR) + "/printing/templates/stamp.txt";
  test_support::ProgramOptions options;
  options.separate_errors = true;
  // Leak checking of a whole Qt program answers fontconfig's caches, not ours.
  options.environment = {"QT_QPA_PLATFORM=offscreen", "ASAN_OPTIONS=detect_leaks=0"};
  const auto r = test_support::run_program({VTPAGINA_PRINT_TOOL, "--template", tmpl, "--signature-list", "отчёт.odt",
                                            "--signatures", signatures, "--pdf", pdf_},
                                           options);
  ASSERT_EQ(r.status, 0) << r.output << r.errors;
  EXPECT_EQ(print_test::pdf_pages(pdf_), 1);
  EXPECT_EQ(print_test::pdf_images(pdf_), 1);
  const std::string text = print_test::pdf_text(pdf_);
  EXPECT_NE(text.find("Документ: отчёт.odt"), std::string::npos) << text;
  EXPECT_NE(text.find("Число подписей: 2"), std::string::npos) << text;
  EXPECT_NE(text.find("2. Орлова О. О., подпись подтверждена"), std::string::npos) << text;

  struct Refusal {
    std::vector<std::string> argv;
    int status;
  } refusals[] = {
      {{VTPAGINA_PRINT_TOOL, "--template", tmpl}, 2},
      {{VTPAGINA_PRINT_TOOL, "--template", dir_ + "/none.txt", "--signature-list", "x", "--signatures", signatures,
        "--pdf", pdf_},
       1},
      {{VTPAGINA_PRINT_TOOL, "--bogus"}, 2},
  };
  for (const Refusal& c : refusals) {
    EXPECT_EQ(test_support::run_program(c.argv, options).status, c.status) << c.argv.back();
  }
}

}  // namespace
