#include "stand-ins/media/media_control.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#ifndef STANDIN_MEDIA_ENV
#error "STANDIN_MEDIA_ENV names the driver's environment variable"
#endif

namespace standin {
namespace {

struct State {
  bool initialised = false;
  std::string root;
  bool no_device = false;
  bool pulled = false;
  long pull_after = -1;
  long pull_read_after = -1;
  std::string pin = "1234";
  int tries = 3;
  bool locked = false;
  long capacity = 8192;
  std::map<std::string, long> fail_at;  // 0: every call
  std::map<std::string, long> calls;
};

std::mutex g_mutex;
State g_state;

void parse(const char* text) {
  g_state = State{};
  g_state.initialised = true;
  const std::string rest = text != nullptr ? text : "";
  std::size_t start = 0;
  while (start <= rest.size()) {
    const std::size_t comma = rest.find(',', start);
    const std::string t = rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (t.rfind("root=", 0) == 0) g_state.root = t.substr(5);
    if (t == "nodevice") g_state.no_device = true;
    if (t == "locked") g_state.locked = true;
    if (t.rfind("pin=", 0) == 0) g_state.pin = t.substr(4);
    if (t.rfind("tries=", 0) == 0) g_state.tries = static_cast<int>(std::strtol(t.c_str() + 6, nullptr, 10));
    if (t.rfind("pull=", 0) == 0) g_state.pull_after = std::strtol(t.c_str() + 5, nullptr, 10);
    if (t.rfind("pullread=", 0) == 0) g_state.pull_read_after = std::strtol(t.c_str() + 9, nullptr, 10);
    if (t.rfind("capacity=", 0) == 0) g_state.capacity = std::strtol(t.c_str() + 9, nullptr, 10);
    if (t.rfind("fail=", 0) == 0) {
      const std::string spec = t.substr(5);
      const std::size_t at = spec.find('@');
      g_state.fail_at[spec.substr(0, at)] =
          at == std::string::npos ? 0 : std::strtol(spec.c_str() + at + 1, nullptr, 10);
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
}

void ensure_initialised() {
  if (g_state.initialised) return;
  // A stand-in links no product library; its controls are set before any
  // thread starts and nothing writes the environment afterwards.
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is fixed while threads run
  parse(std::getenv(STANDIN_MEDIA_ENV));
}

}  // namespace

bool media_call(const char* name) {
  {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is fixed while threads run
    const char* log = std::getenv("DOSSAR_STANDIN_LOG");
    if (log != nullptr) {
      if (FILE* f = std::fopen(log, "a"); f != nullptr) {
        std::fprintf(f, "%s\n", name);
        std::fclose(f);
      }
    }
  }
  const std::lock_guard<std::mutex> lock(g_mutex);
  ensure_initialised();
  const long n = ++g_state.calls[name];
  const auto it = g_state.fail_at.find(name);
  return it != g_state.fail_at.end() && (it->second == 0 || it->second == n);
}

bool media_device_present() {
  const std::lock_guard<std::mutex> lock(g_mutex);
  ensure_initialised();
  return !g_state.no_device && !g_state.pulled;
}

namespace {

// Spends up to `want` bytes of a budget (negative: unlimited); the device is
// pulled once a transfer runs past it.
long spend(long* budget, long want) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  ensure_initialised();
  if (g_state.pulled) return 0;
  if (*budget < 0) return want;
  const long take = want < *budget ? want : *budget;
  *budget -= take;
  if (take < want) g_state.pulled = true;
  return take;
}

}  // namespace

long media_write_budget(long want) { return spend(&g_state.pull_after, want); }
long media_read_budget(long want) { return spend(&g_state.pull_read_after, want); }

int media_check_pin(const char* pin) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  ensure_initialised();
  if (g_state.locked) return 2;
  if (pin != nullptr && g_state.pin == pin) {
    g_state.tries = 3;
    return 0;
  }
  if (--g_state.tries <= 0) g_state.locked = true;
  return 1;
}

int media_tries_left() {
  const std::lock_guard<std::mutex> lock(g_mutex);
  ensure_initialised();
  return g_state.locked ? 0 : g_state.tries;
}

std::string media_root() {
  const std::lock_guard<std::mutex> lock(g_mutex);
  ensure_initialised();
  return g_state.root;
}

long media_capacity() {
  const std::lock_guard<std::mutex> lock(g_mutex);
  ensure_initialised();
  return g_state.capacity;
}

void media_control(const char* text) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  parse(text);
}

}  // namespace standin

STANDIN_EXPORT void StandinMediaControl(const char* text) { standin::media_control(text); }
