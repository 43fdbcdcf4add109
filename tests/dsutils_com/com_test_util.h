// A scratch world per test of the object and its library: its own folder,
// registry database, data folder and home. Unlike the engine's fixture it
// makes no application object: the window tests' main makes the one
// QApplication.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QString>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/ui_scripted.h"
#include "platform/registry/registry_key.h"

namespace dsutils::com_test {

class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "dossar-com-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = QString::fromStdString(tmpl);
    const char* home = getenv("HOME");
    savedHome_ = home ? home : "";
    setenv("DOSSAR_REGISTRY_DB", (tmpl + "/registry.db").c_str(), 1);
    setenv("XDG_DATA_HOME", (tmpl + "/data").c_str(), 1);
    setenv("HOME", (tmpl + "/home").c_str(), 1);
    std::filesystem::create_directory(tmpl + "/home");
    EngineHelper::setUi(&ui_);
  }
  void TearDown() override {
    EngineHelper::setUi(nullptr);
    unsetenv("DOSSAR_REGISTRY_DB");
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", savedHome_.c_str(), 1);
    std::error_code ec;
    std::filesystem::remove_all(dir_.toStdString(), ec);
  }

  QString path(const QString& rel) const { return dir_ + QLatin1Char('/') + rel; }
  void write_file(const QString& rel, const std::string& bytes) const {
    std::ofstream(path(rel).toStdString(), std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string read_file(const QString& full) const {
    std::ifstream in(full.toStdString(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // A key below the product key, created.
  void open_key(platform::reg::RegistryKey& key, const std::string& tail) const {
    ASSERT_TRUE(key.CreateKey(platform::reg::HKEY_CURRENT_USER, std::string(kProductKey) + tail));
  }

  QString dir_;
  ScriptedUi ui_;
  std::string savedHome_;
};

}  // namespace dsutils::com_test
