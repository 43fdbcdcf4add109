#include "platform/named_mutex.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "platform/environment.h"

namespace platform {

// One per name and process. `gate` keeps the threads of this process apart
// (flock alone would not: every thread shares the process's descriptor);
// the flock keeps processes apart.
struct NamedMutex::State {
  std::string path;
  int fd = -1;
  pthread_mutex_t gate = PTHREAD_MUTEX_INITIALIZER;
  std::atomic<std::thread::id> owner{};
  int depth = 0;  // touched only by the owner
};

namespace {

struct Registry {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  std::map<std::string, std::weak_ptr<NamedMutex::State>> states;
};

Registry& registry();

void atfork_prepare() { pthread_mutex_lock(&registry().lock); }
void atfork_parent() { pthread_mutex_unlock(&registry().lock); }
// The child has one thread. Whatever threads of the parent held is not held
// here; the inherited descriptor shares the parent's lock, so the child
// takes a description of its own (closing the copy leaves the parent's
// lock in place: flock locks go with the last descriptor).
void atfork_child() {
  Registry& r = registry();
  for (auto& [path, weak] : r.states) {
    if (auto s = weak.lock()) {
      pthread_mutex_init(&s->gate, nullptr);
      s->owner.store(std::thread::id{});
      s->depth = 0;
      if (s->fd >= 0) close(s->fd);
      s->fd = ::open(s->path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    }
  }
  // This thread took the registry lock in atfork_prepare, so it lets it go
  // (initialising a held mutex again is undefined).
  pthread_mutex_unlock(&r.lock);
}

Registry& registry() {
  static Registry* r = [] {
    auto* made = new Registry();  // never destroyed: handles may outlive statics
    pthread_atfork(atfork_prepare, atfork_parent, atfork_child);
    return made;
  }();
  return *r;
}
// Made while the program (or the module) loads, before any thread: a fork
// in the middle of the first use would leave the child waiting on the
// initialisation guard for ever.
[[maybe_unused]] const bool g_registry_made = (registry(), true);

// A folder we may keep lock files in: ours, a real folder, closed to others.
bool trusted_dir(const std::string& dir) {
  struct stat st {};
  if (dir.empty() || dir[0] != '/' || lstat(dir.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 077) == 0;
}

std::string encode_name(std::string_view name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    const bool plain =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

int open_lock_file(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int flock_retry(int fd, int op) {
  int rc;
  do {
    rc = flock(fd, op);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

}  // namespace

std::string user_runtime_dir() {
  if (const std::optional<std::string> xdg = platform::env("XDG_RUNTIME_DIR"); xdg && trusted_dir(*xdg)) return *xdg;
  const std::string fallback = "/tmp/dossar-" + std::to_string(getuid());
  if (mkdir(fallback.c_str(), 0700) != 0 && errno != EEXIST) return {};
  return trusted_dir(fallback) ? fallback : std::string();
}

std::optional<std::string> NamedMutex::path_for(std::string_view name) {
  if (name.empty()) return std::nullopt;
  const std::string dir = user_runtime_dir();
  if (dir.empty()) return std::nullopt;
  return dir + "/dossar-lock-" + encode_name(name) + ".lock";
}

void NamedMutex::install_fork_handlers() { registry(); }

std::unique_ptr<NamedMutex> NamedMutex::open(std::string_view name) {
  const auto path = path_for(name);
  if (!path) return nullptr;
  Registry& r = registry();
  pthread_mutex_lock(&r.lock);
  std::shared_ptr<State> state = r.states[*path].lock();
  if (!state) {
    const int fd = open_lock_file(*path);
    if (fd >= 0) {
      state = std::make_shared<State>();
      state->path = *path;
      state->fd = fd;
      r.states[*path] = state;
    } else {
      r.states.erase(*path);
    }
  }
  pthread_mutex_unlock(&r.lock);
  if (!state) return nullptr;
  return std::unique_ptr<NamedMutex>(new NamedMutex(std::move(state)));
}

NamedMutex::~NamedMutex() {
  Registry& r = registry();
  pthread_mutex_lock(&r.lock);
  const bool last = state_.use_count() == 1;
  if (last) {
    // The mutex goes with its last handle; a hold of the closing thread goes
    // with it, as it would when the thread ended.
    if (held_by_me() > 0) {
      state_->depth = 1;
      unlock();
    }
    if (state_->fd >= 0) close(state_->fd);
    state_->fd = -1;
    r.states.erase(state_->path);
  }
  state_.reset();
  pthread_mutex_unlock(&r.lock);
}

bool NamedMutex::lock() {
  State& s = *state_;
  if (s.owner.load() == std::this_thread::get_id()) {
    ++s.depth;
    return true;
  }
  pthread_mutex_lock(&s.gate);
  if (s.fd < 0 || flock_retry(s.fd, LOCK_EX) != 0) {
    pthread_mutex_unlock(&s.gate);
    return false;
  }
  s.owner.store(std::this_thread::get_id());
  s.depth = 1;
  return true;
}

bool NamedMutex::try_lock() {
  State& s = *state_;
  if (s.owner.load() == std::this_thread::get_id()) {
    ++s.depth;
    return true;
  }
  if (pthread_mutex_trylock(&s.gate) != 0) return false;
  if (s.fd < 0 || flock_retry(s.fd, LOCK_EX | LOCK_NB) != 0) {
    pthread_mutex_unlock(&s.gate);
    return false;
  }
  s.owner.store(std::this_thread::get_id());
  s.depth = 1;
  return true;
}

bool NamedMutex::unlock() {
  State& s = *state_;
  if (s.owner.load() != std::this_thread::get_id() || s.depth <= 0) return false;
  if (--s.depth > 0) return true;
  s.owner.store(std::thread::id{});
  flock_retry(s.fd, LOCK_UN);
  pthread_mutex_unlock(&s.gate);
  return true;
}

int NamedMutex::held_by_me() const {
  const State& s = *state_;
  return s.owner.load() == std::this_thread::get_id() ? s.depth : 0;
}

}  // namespace platform
