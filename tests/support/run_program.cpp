#include "tests/support/run_program.h"

#include <fcntl.h>
#include <link.h>
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

// "NAME=" of an environment entry.
std::string variable_prefix(const std::string& entry) { return entry.substr(0, entry.find('=')) + "="; }

std::vector<std::string> child_environment(const ProgramOptions& options) {
  std::vector<std::string> replaced = {"LD_PRELOAD="};
  for (const auto& entry : options.environment) replaced.push_back(variable_prefix(entry));
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    bool keep = true;
    for (const auto& prefix : replaced) keep = keep && !starts_with(*e, prefix.c_str());
    if (keep) env.emplace_back(*e);
  }
  if (!options.preload.empty()) env.push_back("LD_PRELOAD=" + options.preload);
  env.insert(env.end(), options.environment.begin(), options.environment.end());
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  out.reserve(texts.size() + 1);
  for (auto& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

struct Drain {
  int fd;
  std::string* text;
};

// Feeds the input and drains every output together, so no side can block
// another on a full pipe.
void exchange(int in_fd, std::array<Drain, 2> drains, const std::string& input) {
  std::size_t sent = 0;
  if (input.empty() && in_fd >= 0) {
    close(in_fd);
    in_fd = -1;
  }
  std::array<char, 4096> buffer{};
  for (;;) {
    std::array<pollfd, 3> fds{{{drains[0].fd, POLLIN, 0}, {drains[1].fd, POLLIN, 0}, {in_fd, POLLOUT, 0}}};
    if (drains[0].fd < 0 && drains[1].fd < 0) break;
    // poll() skips entries with a negative descriptor.
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t n = write(in_fd, input.data() + sent, input.size() - sent);
      if (n > 0) sent += static_cast<std::size_t>(n);
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || sent == input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
    for (std::size_t i = 0; i < drains.size(); ++i) {
      Drain& d = drains[i];
      if (d.fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t n = read(d.fd, buffer.data(), buffer.size());
      if (n > 0) {
        d.text->append(buffer.data(), static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(d.fd);
        d.fd = -1;
      }
    }
  }
  for (const Drain& d : drains) {
    if (d.fd >= 0) close(d.fd);
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
  int err_pipe[2] = {-1, -1};
  int in_pipe[2] = {-1, -1};
  // Our end of the input pipe must not block, or a program that writes
  // before reading all of its input would deadlock with us.
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || (options.separate_errors && pipe2(err_pipe, O_CLOEXEC) != 0) ||
      pipe2(in_pipe, O_CLOEXEC) != 0 || fcntl(in_pipe[1], F_SETFL, O_NONBLOCK) != 0) {
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1], in_pipe[0], in_pipe[1]}) {
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
  posix_spawn_file_actions_adddup2(&actions, options.separate_errors ? err_pipe[1] : out_pipe[1], STDERR_FILENO);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, arg_ptrs[0], &actions, nullptr, arg_ptrs.data(), env_ptrs.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  if (err_pipe[1] >= 0) close(err_pipe[1]);
  close(in_pipe[0]);
  if (rc != 0) {
    close(out_pipe[0]);
    if (err_pipe[0] >= 0) close(err_pipe[0]);
    close(in_pipe[1]);
    sigaction(SIGPIPE, &previous, nullptr);
    result.output = std::string("cannot start ") + argv[0] + ": " + std::strerror(rc);
    return result;
  }
  exchange(in_pipe[1], {{{out_pipe[0], &result.output}, {err_pipe[0], &result.errors}}}, options.input);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  sigaction(SIGPIPE, &previous, nullptr);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string sanitizer_runtime() {
  std::string found;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        const char* name = info->dlpi_name;
        const char* slash = std::strrchr(name, '/');
        const char* base = slash != nullptr ? slash + 1 : name;
        if (!starts_with(base, "libasan.so") && !starts_with(base, "libtsan.so")) return 0;
        *static_cast<std::string*>(data) = name;
        return 1;
      },
      &found);
  return found;
}

ProgramResult run_openssl_with_module(const std::string& openssl, const std::string& module_dir,
                                      std::vector<std::string> args) {
  args.insert(args.begin() + (args.empty() ? 0 : 1),
              {"-provider-path", module_dir, "-provider", "dossar", "-provider", "default"});
  args.insert(args.begin(), openssl);
  ProgramOptions options;
  options.preload = sanitizer_runtime();
  if (!options.preload.empty()) options.environment.emplace_back("ASAN_OPTIONS=detect_leaks=0");
  return run_program(args, options);
}

}  // namespace test_support
