// A scratch folder per test and a registry database inside it, selected
// through the environment the way a user's session would select it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace platform::reg::testing {

class ScratchRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "dossar-reg-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    db_ = dir_ + "/registry.db";
    setenv("DOSSAR_REGISTRY_DB", db_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("DOSSAR_REGISTRY_DB");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  static std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string dir_;
  std::string db_;
};

}  // namespace platform::reg::testing
