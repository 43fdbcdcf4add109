// A scratch world per test: its own folder, registry database, data folder
// and home, and a scripted person behind the engine's boxes.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <QString>
#include <initializer_list>
#include <string>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/ui_scripted.h"
#include "platform/registry/registry_key.h"

namespace dsutils::testing {

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  QString path(const QString& rel) const { return dir_ + QLatin1Char('/') + rel; }
  void write_file(const QString& rel, const std::string& bytes) const;
  std::string read_file(const QString& full) const;
  // A key below the product key, created.
  void open_key(platform::reg::RegistryKey& key, const std::string& tail) const;
  // The event log set to events.log of the scratch folder and not opened on
  // its own, so a test can read what the engine logged.
  bool log_to_scratch() const;
  // The folder tmp of the scratch folder as TMPDIR (unset again by TearDown),
  // the folders `more` beside it, and the event log as log_to_scratch: false
  // when any of it could not be made.
  bool use_scratch_tmp(std::initializer_list<const char*> more = {});

  QString dir_;
  ScriptedUi ui_;
  std::string saved_home_;
  bool tmpdir_set_ = false;
};

// Whether this is a CI run (CI=true in the environment): there a test
// service that cannot be had (slapd) fails the test, elsewhere the test is
// skipped with the reason.
bool under_ci();

// An operation that dies midway: `program` (working_folder_child) takes
// `source` into a working folder, erasing it, prints the working copy and
// waits to be killed. pid -1 when it could not be started.
struct Child {
  pid_t pid = -1;
  QString copy;
};
Child start_child(const char* program, const QString& source);

}  // namespace dsutils::testing
