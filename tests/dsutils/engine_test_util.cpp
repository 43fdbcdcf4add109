#include "tests/dsutils/engine_test_util.h"

#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "dsutils/engine/error_text.h"

extern char** environ;

namespace dsutils::testing {
namespace {

// QProcess and the rest of QtCore expect an application object; a window
// test's main has made its QApplication already.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (QCoreApplication::instance() != nullptr) return;
    static int argc = 1;
    static char name[] = "test_dsutils_engine";
    static char* argv[] = {name, nullptr};
    // A window test's main has made its QApplication already.
    if (QCoreApplication::instance() == nullptr) app_ = new QCoreApplication(argc, argv);
  }
  void TearDown() override { delete app_; }

 private:
  QCoreApplication* app_ = nullptr;
};

[[maybe_unused]] ::testing::Environment* const g_qt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

void EngineTest::SetUp() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "dossar-engine-XXXXXX").string();
  ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
  dir_ = QString::fromStdString(tmpl);
  const char* home = getenv("HOME");
  saved_home_ = home ? home : "";
  setenv("DOSSAR_REGISTRY_DB", (tmpl + "/registry.db").c_str(), 1);
  setenv("XDG_DATA_HOME", (tmpl + "/data").c_str(), 1);
  setenv("HOME", (tmpl + "/home").c_str(), 1);
  std::filesystem::create_directory(tmpl + "/home");
  EngineHelper::setUi(&ui_);
  g_debug_flag = 0;
}

void EngineTest::TearDown() {
  if (tmpdir_set_) unsetenv("TMPDIR");
  tmpdir_set_ = false;
  EngineHelper::setUi(nullptr);
  g_debug_flag = 0;
  unsetenv("DOSSAR_REGISTRY_DB");
  unsetenv("XDG_DATA_HOME");
  setenv("HOME", saved_home_.c_str(), 1);
  std::error_code ec;
  std::filesystem::remove_all(dir_.toStdString(), ec);
}

void EngineTest::write_file(const QString& rel, const std::string& bytes) const {
  std::ofstream(path(rel).toStdString(), std::ios::binary | std::ios::trunc) << bytes;
}

std::string EngineTest::read_file(const QString& full) const {
  std::ifstream in(full.toStdString(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void EngineTest::open_key(platform::reg::RegistryKey& key, const std::string& tail) const {
  ASSERT_TRUE(key.CreateKey(platform::reg::HKEY_CURRENT_USER, std::string(kProductKey) + tail));
}

bool EngineTest::log_to_scratch() const {
  EventLogSettings s;
  s.Path = dir_;
  s.FileName = "events.log";
  s.AutoOpen = 0;
  return EventLogSettings::Write(s);
}

bool EngineTest::use_scratch_tmp(std::initializer_list<const char*> more) {
  if (!QDir().mkpath(path(QStringLiteral("tmp")))) return false;
  for (const char* folder : more) {
    if (!QDir().mkpath(path(QString::fromLatin1(folder)))) return false;
  }
  setenv("TMPDIR", path(QStringLiteral("tmp")).toUtf8().constData(), 1);
  tmpdir_set_ = true;
  return log_to_scratch();
}

bool under_ci() {
  const char* ci = getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

Child start_child(const char* program, const QString& source) {
  int fds[2];
  Child c;
  if (::pipe(fds) != 0) return c;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_addclose(&fa, fds[0]);
  const QByteArray src = QFile::encodeName(source);
  char* argv[] = {const_cast<char*>(program), const_cast<char*>(src.constData()), nullptr};
  if (posix_spawn(&c.pid, program, &fa, nullptr, argv, environ) != 0) c.pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  ::close(fds[1]);
  std::string line;
  pollfd p{fds[0], POLLIN, 0};
  char ch = 0;
  while (c.pid > 0 && ::poll(&p, 1, 20000) == 1 && ::read(fds[0], &ch, 1) == 1 && ch != '\n') line.push_back(ch);
  ::close(fds[0]);
  c.copy = QFile::decodeName(QByteArray::fromStdString(line));
  return c;
}

}  // namespace dsutils::testing
