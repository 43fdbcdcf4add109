#include "tests/support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace test_support {
namespace {

bool starts_with(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

std::vector<std::string> child_environment(const ProgramOptions& options) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (!starts_with(*e, "LD_PRELOAD=")) env.emplace_back(*e);
  }
  if (!options.preload.empty()) env.push_back("LD_PRELOAD=" + options.preload);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  out.reserve(texts.size() + 1);
  for (auto& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

// Feeds the input and drains the output together, so neither side can block
// the other on a full pipe.
void exchange(int in_fd, int out_fd, const std::string& input, std::string* output) {
  std::size_t sent = 0;
  if (input.empty() && in_fd >= 0) {
    close(in_fd);
    in_fd = -1;
  }
  std::array<char, 4096> buffer{};
  while (out_fd >= 0) {
    std::array<pollfd, 2> fds{{{out_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}}};
    const nfds_t count = in_fd >= 0 ? 2 : 1;
    if (poll(fds.data(), count, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (in_fd >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t n = write(in_fd, input.data() + sent, input.size() - sent);
      if (n > 0) sent += static_cast<std::size_t>(n);
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || sent == input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = read(out_fd, buffer.data(), buffer.size());
      if (n > 0) {
        output->append(buffer.data(), static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(out_fd);
        out_fd = -1;
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
}

}  // namespace

ProgramResult run_program(const std::vector<std::string>& argv, const ProgramOptions& options) {
  ProgramResult result;
  if (argv.empty()) return result;
  std::vector<std::string> args = argv;
  std::vector<std::string> env = child_environment(options);
  std::vector<char*> arg_ptrs = pointers(args);
  std::vector<char*> env_ptrs = pointers(env);

  int out_pipe[2] = {-1, -1};
  int in_pipe[2] = {-1, -1};
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
  // Our end of the input pipe must not block, or a program that writes
  // before reading all of its input would deadlock with us.
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || fcntl(in_pipe[1], F_SETFL, O_NONBLOCK) != 0) {
    for (int fd : {out_pipe[0], out_pipe[1], in_pipe[0], in_pipe[1]}) {
      if (fd >= 0) close(fd);
    }
    return result;
  }
  // A reader that has gone away must not kill the test with SIGPIPE.
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDERR_FILENO);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, arg_ptrs[0], &actions, nullptr, arg_ptrs.data(), env_ptrs.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(in_pipe[0]);
  if (rc != 0) {
    close(out_pipe[0]);
    close(in_pipe[1]);
    sigaction(SIGPIPE, &previous, nullptr);
    result.output = std::string("cannot start ") + argv[0] + ": " + std::strerror(rc);
    return result;
  }
  exchange(in_pipe[1], out_pipe[0], options.input, &result.output);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  sigaction(SIGPIPE, &previous, nullptr);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace test_support
