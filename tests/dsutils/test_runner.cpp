#include "tests/dsutils/engine_test_util.h"

namespace dsutils {
namespace {

class Runner : public testing::EngineTest {};

TEST_F(Runner, ExitStatus) {
  struct Case {
    QStringList args;
    int code;
  };
  const Case cases[] = {{{"-c", "exit 0"}, 0}, {{"-c", "exit 7"}, 7}, {{"-c", "exit 255"}, 255}};
  EngineHelper h;
  for (const auto& c : cases) {
    const ProcessResult r = h.RunProcess("/bin/sh", c.args);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.crashed);
    EXPECT_EQ(r.exitCode, c.code);
  }
  const ProcessResult killed = h.RunProcess("/bin/sh", {"-c", "kill -9 $$"});
  EXPECT_TRUE(killed.started);
  EXPECT_TRUE(killed.crashed);
}

TEST_F(Runner, AMissingProgramIsReportedNotStarted) {
  EngineHelper h;
  const ProcessResult r = h.RunProcess(path("no-such-program"), {});
  EXPECT_FALSE(r.started);
  EXPECT_FALSE(r.errorText.isEmpty());
  write_file("not-executable", "#!/bin/sh\nexit 0\n");
  EXPECT_FALSE(h.RunProcess(path("not-executable"), {}).started);
}

TEST_F(Runner, ArgumentsReachTheChildUnchanged) {
  // printf prints each argument after its format as it came: "<" arg ">".
  const QStringList args = {"<%s>", "two words", "\"quoted\"", "it's",      "-rf",   "--in=/x y",  "$HOME",
                            "`id`", "a;b|c&d",   "",           "Тест файл", "*.txt", "line\nbreak"};
  EngineHelper h;
  const ProcessResult r = h.RunProcess("/usr/bin/printf", args);
  ASSERT_TRUE(r.started);
  EXPECT_EQ(r.exitCode, 0);
  QString expected;
  for (qsizetype i = 1; i < args.size(); ++i) expected += "<" + args[i] + ">";
  EXPECT_EQ(QString::fromUtf8(r.output), expected);
}

TEST_F(Runner, OutputIsBounded) {
  EngineHelper h;
  const ProcessResult r = h.RunProcess("/bin/sh", {"-c", "head -c 3000000 /dev/zero"});
  ASSERT_TRUE(r.started);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output.size(), kMaxProcessOutput);
}

}  // namespace
}  // namespace dsutils
