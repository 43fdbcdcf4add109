// dsutils-service on a private session bus: each case runs under a
// dbus-run-session of its own, the service registered (dsutils-shell
// --register) into the scratch XDG_DATA_HOME so that the bus starts it on the
// first call; GLib's gdbus and a dbus-python client (tests/support) talk to
// it. The service's questions are answered by a script file, and its
// sanitizer reports go to the scratch folder, where none may appear.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStringList>
#include <cstdlib>
#include <string>

#include "tests/dsutils/engine_test_util.h"
#include "tests/support/run_program.h"

namespace dsutils::testing {
namespace {

using test_support::ProgramOptions;
using test_support::ProgramResult;
using test_support::run_program;

bool under_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

struct BusCase {
  const char* name;
  const char* script;  // the service's dialog answers
};

class BusService : public EngineTest, public ::testing::WithParamInterface<BusCase> {
 protected:
  // Whether the programs a case runs are here and start.
  static std::string missing_programs() {
    for (const std::vector<std::string>& probe : {std::vector<std::string>{"dbus-run-session", "--version"},
                                                  {"gdbus", "help"},
                                                  {DOSSAR_PYTHON, "-c", "import dbus, dbus.lowlevel"}}) {
      const ProgramResult r = run_program(probe);
      // gdbus help exits 0; dbus-run-session --version 0.
      if (r.status != 0) return probe[0] + " does not start: " + r.output;
    }
    return {};
  }
};

TEST_P(BusService, Case) {
  const BusCase& c = GetParam();
  const std::string missing = missing_programs();
  if (!missing.empty()) {
    if (under_ci()) FAIL() << missing << " (scripts/install-deps.sh installs it)";
    GTEST_SKIP() << missing << " (scripts/install-deps.sh installs it)";
  }
  const QString data = path("data");
  ASSERT_TRUE(QDir().mkpath(data) && QDir().mkpath(path("asan")) && QDir().mkpath(path("case")));
  ProgramOptions register_options;
  register_options.environment = {"XDG_DATA_HOME=" + data.toStdString(), "ASAN_OPTIONS=detect_leaks=0"};
  const ProgramResult reg = run_program({DSUTILS_SHELL, "--register"}, register_options);
  ASSERT_EQ(reg.status, 0) << reg.output;
  ASSERT_TRUE(QFile::exists(data + QStringLiteral("/dbus-1/services/DSUtils.DSUtil.service")));
  write_file("script", c.script);

  ProgramOptions options;
  options.environment = {"XDG_DATA_HOME=" + data.toStdString(),
                         "QT_QPA_PLATFORM=offscreen",
                         "DOSSAR_TEST_UI_SCRIPT=" + path("script").toStdString(),
                         "DOSSAR_TEST_SERVICE_IDLE_MS=300",
                         "ASAN_OPTIONS=log_path=" + path("asan/report").toStdString(),
                         "UBSAN_OPTIONS=print_stacktrace=1:log_path=" + path("asan/ubsan").toStdString()};
  const ProgramResult r = run_program(
      {"dbus-run-session", "--", DOSSAR_PYTHON, DBUS_CHECK_SCRIPT, c.name, DBUS_XML_DIR, path("case").toStdString()},
      options);
  EXPECT_EQ(r.status, 0) << r.output;
  const QStringList reports = QDir(path("asan")).entryList(QDir::Files);
  for (const QString& report : reports) ADD_FAILURE() << read_file(path("asan/" + report));
}

INSTANTIATE_TEST_SUITE_P(Cases, BusService,
                         ::testing::Values(BusCase{"introspection", ""}, BusCase{"object_of_an_exited_gdbus", ""},
                                           BusCase{"other_clients_object_refused", ""}, BusCase{"bus_errors", ""},
                                           BusCase{"limit", ""}, BusCase{"every_member", ""},
                                           BusCase{"busy_and_a_killed_client", "delay 1500\n"}),
                         [](const ::testing::TestParamInfo<BusCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

}  // namespace
}  // namespace dsutils::testing
