// Opening a file with the desktop's default application (a stand-in
// registered for the test's own data folders) and the help pages.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "dsutils/widgets/shell_service.h"

namespace dsutils::widgets {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
  std::ifstream in(p);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class ShellServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Once, before GIO reads the folders of the process.
    std::string tmpl = (fs::temp_directory_path() / "dossar-shell-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    fs::create_directories(dir_ / "data/applications");
    fs::create_directories(dir_ / "config");
    std::ofstream(dir_ / "data/applications/dossar-fake-opener.desktop")
        << "[Desktop Entry]\nType=Application\nName=Fake opener\nExec=" << FAKE_OPENER
        << " %f\nMimeType=text/plain;application/octet-stream;\n";
    std::ofstream(dir_ / "config/mimeapps.list") << "[Default Applications]\n"
                                                    "text/plain=dossar-fake-opener.desktop\n"
                                                    "application/octet-stream=dossar-fake-opener.desktop\n";
    setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    setenv("FAKE_OPENER_OUT", (dir_ / "opened.txt").c_str(), 1);
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  static bool wait_for_output() {
    for (int i = 0; i < 500; ++i) {
      if (!slurp(dir_ / "opened.txt").empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  static fs::path dir_;
};
fs::path ShellServiceTest::dir_;

TEST_F(ShellServiceTest, OpensTheFileWithTheDefaultApplicationAsOneArgument) {
  // A name a shell would take apart: it must arrive as one argument.
  const fs::path file = dir_ / "a; touch pwned $(id) 'q'.txt";
  std::ofstream(file) << "plain text\n";
  std::string error;
  ASSERT_TRUE(shell_service().open(file.string(), &error)) << error;
  ASSERT_TRUE(wait_for_output());
  EXPECT_EQ(slurp(dir_ / "opened.txt"), file.string() + "\n");
  EXPECT_FALSE(fs::exists("pwned"));
  EXPECT_FALSE(fs::exists(dir_ / "pwned"));
}

TEST_F(ShellServiceTest, RefusesWhatIsNoFile) {
  for (const std::string& path :
       {std::string(), (dir_ / "missing.txt").string(), dir_.string(), std::string("/dev/null")}) {
    std::string error;
    EXPECT_FALSE(shell_service().open(path, &error)) << path;
    EXPECT_FALSE(error.empty()) << path;
  }
}

// The print spooler's command gets the path as its one argument: a stand-in
// "lp" first in PATH records what it was given; lp's failure comes back with
// its message.
TEST_F(ShellServiceTest, PrintHandsLpTheAbsolutePathAsOneArgument) {
  const fs::path bin = dir_ / "bin";
  fs::create_directories(bin);
  fs::copy_file(FAKE_OPENER, bin / "lp", fs::copy_options::overwrite_existing);
  const std::string savedPath = getenv("PATH") != nullptr ? getenv("PATH") : "";
  setenv("PATH", (bin.string() + ":" + savedPath).c_str(), 1);
  setenv("FAKE_OPENER_OUT", (dir_ / "printed.txt").c_str(), 1);
  const fs::path file = dir_ / "-n 5 'квартальный' \"отчёт\" $(id).txt";
  std::ofstream(file) << "to print\n";
  std::string error;
  EXPECT_TRUE(shell_service().print(file.string(), &error)) << error;
  EXPECT_EQ(slurp(dir_ / "printed.txt"), file.string() + "\n");
  // What is not an absolute path of a regular file never reaches lp.
  for (const std::string& path : {std::string("relative.txt"), dir_.string(), std::string()}) {
    EXPECT_FALSE(shell_service().print(path, &error)) << path;
  }
  EXPECT_EQ(slurp(dir_ / "printed.txt"), file.string() + "\n");
  // A spooler that fails: false, with what it said.
  std::ofstream(bin / "lp") << "#!/bin/sh\necho 'lp: Error - no default destination available.' >&2\nexit 1\n";
  fs::permissions(bin / "lp", fs::perms::owner_all);
  EXPECT_FALSE(shell_service().print(file.string(), &error));
  EXPECT_EQ(error, "lp: Error - no default destination available.");
  setenv("PATH", savedPath.c_str(), 1);
  setenv("FAKE_OPENER_OUT", (dir_ / "opened.txt").c_str(), 1);
}

class RecordingShell : public ShellService {
 public:
  bool open(const std::string& path, std::string*, bool*) override {
    opened.push_back(path);
    return true;
  }
  std::vector<std::string> opened;
};

TEST(HelpServiceTest, EveryDialogContextHasItsPage) {
  RecordingShell shell;
  HelpService help(shell, std::string(DOSSAR_SOURCE_DIR) + "/docs/help");
  for (int context : HelpService::contexts()) {
    const std::string expected =
        std::string(DOSSAR_SOURCE_DIR) + "/docs/help/topic-" + std::to_string(context) + ".html";
    EXPECT_EQ(help.page(context), expected);
    EXPECT_TRUE(help.show(context)) << context;
    ASSERT_FALSE(shell.opened.empty());
    EXPECT_EQ(shell.opened.back(), expected);
    EXPECT_NE(slurp(expected).find("<h1>"), std::string::npos) << expected;
  }
  const std::size_t before = shell.opened.size();
  EXPECT_EQ(help.page(999), "");
  EXPECT_FALSE(help.show(999));
  EXPECT_EQ(shell.opened.size(), before);
}

}  // namespace
}  // namespace dsutils::widgets
