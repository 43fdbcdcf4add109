// The stock `openssl` command with the provider module loaded: it lists our
// algorithms and hashes files exactly as the direct call does.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "crypto/rus/gost3411.h"

extern char** environ;

namespace {

struct Outcome {
  int status = -1;
  std::string out;
};

// Runs the program with the given arguments (no shell) and collects stdout.
// In sanitizer builds the module needs the sanitizer runtime loaded first.
Outcome run_openssl(std::vector<std::string> args) {
  args.insert(args.begin(), DOSSAR_OPENSSL_PROGRAM);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> env_store;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0 && std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0) env_store.emplace_back(*e);
  }
  if (std::strlen(DOSSAR_SANITIZER_PRELOAD) > 0) {
    env_store.emplace_back(std::string("LD_PRELOAD=") + DOSSAR_SANITIZER_PRELOAD);
    // The command itself is not built with the sanitizer: only the module is checked.
    env_store.emplace_back("ASAN_OPTIONS=detect_leaks=0");
  }
  std::vector<char*> envp;
  for (auto& e : env_store) envp.push_back(e.data());
  envp.push_back(nullptr);

  int pipe_fd[2];
  Outcome r;
  if (pipe(pipe_fd) != 0) return r;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, pipe_fd[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&fa, pipe_fd[0]);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(pipe_fd[1]);
  if (rc == 0) {
    char buf[4096];
    ssize_t n;
    while ((n = read(pipe_fd[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  close(pipe_fd[0]);
  return r;
}

std::vector<std::string> provider_args() {
  return {"-provider-path", DOSSAR_PROVIDER_DIR, "-provider", "dossar", "-provider", "default"};
}

std::string hex(const unsigned char* p, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", p[i]);
    s += b;
  }
  return s;
}

class OpensslCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/dossar-cli-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    for (const auto& f : files_) std::remove(f.c_str());
    rmdir(dir_.c_str());
  }
  std::string write_file(const std::string& name, const std::vector<unsigned char>& data) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                static_cast<std::streamsize>(data.size()));
    files_.push_back(path);
    return path;
  }
  std::string dir_;
  std::vector<std::string> files_;
};

TEST_F(OpensslCommand, DgstWithTheModuleEqualsTheDirectHash) {
  std::mt19937 rng(std::random_device{}());
  struct Case {
    const char* option;
    size_t length;
  };
  // Both digests, under a short name and an alias; an empty file, a partial
  // block, whole blocks and a file larger than the command's read buffer.
  const Case cases[] = {{"-rus-hash", 0},  {"-r3411", 3},          {"-RUS-HASH", 64},
                        {"-rush", 20000},  {"-ECR3410-R3411", 33}, {"-ecr3410", 9000}};
  int i = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.option << " length " << c.length);
    std::vector<unsigned char> data(c.length);
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    const std::string path = write_file("f" + std::to_string(i++), data);
    auto args = provider_args();
    args.insert(args.begin(), "dgst");
    args.push_back(c.option);
    args.push_back("-r");
    args.push_back(path);
    const Outcome r = run_openssl(args);
    ASSERT_EQ(r.status, 0) << r.out;
    unsigned char direct[32];
    ASSERT_NE(qcrypto::GOSTH_digest(data.data(), static_cast<int>(data.size()), nullptr, nullptr, direct), nullptr);
    // "-r" prints "<hex> *<file>".
    EXPECT_EQ(r.out.substr(0, 64), hex(direct, 32));
  }
}

TEST_F(OpensslCommand, ListShowsOurAlgorithmsFromOurProvider) {
  for (const char* what : {"-digest-algorithms", "-cipher-algorithms"}) {
    auto args = provider_args();
    args.insert(args.begin(), {"list", what});
    const Outcome r = run_openssl(args);
    ASSERT_EQ(r.status, 0);
    if (std::strcmp(what, "-digest-algorithms") == 0) {
      for (const char* name : {"RUS-HASH", "r3411", "rush", "r3410WithR3411", "ECR3410-R3411", "ecr3410"})
        EXPECT_NE(r.out.find(name), std::string::npos) << name;
    } else {
      for (const char* name : {"RUS-CHANGE", "rus-ecb", "rus-simple", "RUS-GAMMA", "RUS-GAMMAR", "rus-gfb",
                               "rus-gamma-fb", "rus-gamma-r", "1.3.6.1.4.1.6173.1.1.3"})
        EXPECT_NE(r.out.find(name), std::string::npos) << name;
    }
    EXPECT_NE(r.out.find("@ dossar"), std::string::npos);
  }
  // Without the module the command does not know the names.
  const Outcome plain = run_openssl({"list", "-digest-algorithms"});
  ASSERT_EQ(plain.status, 0);
  EXPECT_EQ(plain.out.find("RUS-HASH"), std::string::npos);
}

}  // namespace
