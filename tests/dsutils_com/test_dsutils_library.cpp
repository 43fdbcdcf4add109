// libDSUtils.so as its host uses it: loaded by name, the object made and
// released through the C entry points, nothing else exported.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QWidget>
#include <set>
#include <sstream>

#include "dsutils/com/idsutil.h"
#include "platform/dynlib.h"
#include "tests/dsutils_com/com_test_util.h"
#include "tests/support/gui_test.h"
#include "tests/support/run_program.h"

namespace dsutils {
namespace {

struct Entry {
  IDSUtil* (*create)() = nullptr;
  void (*release)(IDSUtil*) = nullptr;
  void (*setMainWindow)(QWidget*) = nullptr;
};

class DSUtilsLibrary : public com_test::ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    setenv("DOSSAR_LIB_PATH", DSUTILS_DIR, 1);
    ASSERT_TRUE(lib_.open("DSUtils.dll")) << "libDSUtils.so not found in " << DSUTILS_DIR;
    static const char* const names[] = {"DSUtilCreate", "DSUtilRelease", "DSUtilSetMainWindow"};
    void* found[3] = {};
    ASSERT_TRUE(lib_.bind_all(names, found, 3));
    x_.create = reinterpret_cast<IDSUtil* (*)()>(found[0]);
    x_.release = reinterpret_cast<void (*)(IDSUtil*)>(found[1]);
    x_.setMainWindow = reinterpret_cast<void (*)(QWidget*)>(found[2]);
  }
  void TearDown() override {
    unsetenv("DOSSAR_LIB_PATH");
    ScratchTest::TearDown();
  }
  platform::DynLib lib_;
  Entry x_;
};

// The first test sees the process before any QApplication: the object is
// then served on the terminal and still answers.
TEST_F(DSUtilsLibrary, WorksWithoutWindowsAndThenWithThem) {
  ASSERT_EQ(QCoreApplication::instance(), nullptr);
  IDSUtil* console = x_.create();
  ASSERT_NE(console, nullptr);
  std::int32_t code = -77;
  EXPECT_EQ(console->CommanLineEx(QStringLiteral("-x"), QStringLiteral("--in=") + dir_, &code), HResult::False);
  EXPECT_EQ(code, 10007);
  x_.release(console);

  gui_test::app();
  QWidget host;
  x_.setMainWindow(&host);
  IDSUtil* object = x_.create();
  ASSERT_NE(object, nullptr);
  write_file("a.txt", "x");
  code = -77;
  EXPECT_EQ(object->CommanLineEx(QStringLiteral("-v"), QStringLiteral("--in=") + path("a.txt"), &code), HResult::Ok);
  EXPECT_EQ(code, 0);
  code = -77;
  EXPECT_EQ(object->CommanLineEx(QStringLiteral("-s"), QStringLiteral("--in=") + path("missing"), &code),
            HResult::False);
  EXPECT_EQ(code, 10000);
  QString in = QStringLiteral("preset");
  object->put_FileName_In(QStringLiteral("/x/y"));
  EXPECT_EQ(object->get_FileName_In(&in), HResult::Ok);
  EXPECT_EQ(in, QStringLiteral("/x/y"));
  EXPECT_TRUE(host.isEnabled());
  x_.release(object);
  x_.setMainWindow(nullptr);
}

TEST_F(DSUtilsLibrary, ExportsOnlyItsEntryPoints) {
  test_support::ProgramOptions options;
  options.separate_errors = true;
  const test_support::ProgramResult r =
      test_support::run_program({"nm", "-D", "--defined-only", std::string(DSUTILS_DIR) + "/libDSUtils.so"}, options);
  ASSERT_EQ(r.status, 0) << r.errors;
  const std::set<std::string> linkerOwn = {"_edata", "_end", "__bss_start", "_init", "_fini"};
  std::set<std::string> ours;
  std::istringstream lines(r.output);
  std::string address, kind, name;
  while (lines >> address >> kind >> name) {
    if (!linkerOwn.contains(name)) ours.insert(name);
  }
  std::set<std::string> expected = {"DSUtilCreate",    "DSUtilRelease",     "DSUtilSetMainWindow",
                                    "DSUtilsRegister", "DSUtilsUnregister", "DSUtilsShellRun"};
#ifdef QCRYPTO_TEST_HOOKS
  // A build with test hooks adds its one test entry point; a shipped build has none.
  expected.insert("DSUtilTestCreateWithUi");
#endif
  EXPECT_EQ(ours, expected);
}

}  // namespace
}  // namespace dsutils
