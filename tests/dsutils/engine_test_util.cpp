#include "tests/dsutils/engine_test_util.h"

#include <stdlib.h>

#include <QCoreApplication>
#include <QFile>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "dsutils/engine/error_text.h"

namespace dsutils::testing {
namespace {

// QProcess and the rest of QtCore expect an application object.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "test_dsutils_engine";
    static char* argv[] = {name, nullptr};
    app_ = new QCoreApplication(argc, argv);
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

}  // namespace dsutils::testing
