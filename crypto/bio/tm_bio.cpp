#include "crypto/bio/tm_bio.h"

#include <strings.h>

#include <array>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crypto/bio/media_buffer.h"
#include "crypto/bio/token_codes.h"
#include "platform/dynlib.h"

namespace qcrypto {
namespace {

enum Fn : std::size_t {
  kStartSession,
  kEndSession,
  kFirstFile,
  kNextFile,
  kOpenFile,
  kCreateFile,
  kCloseFile,
  kReadFile,
  kWriteFile,
  kDeleteFile,
  kChangeDirectory,
  kDirectoryMR,
  kCreateProgramJob,
  kDoProgramJob,
  kFirst,
  kSetup,
  kFnCount
};

constexpr std::array<const char*, kFnCount> kNames = {"TMExtendedStartSession",
                                                      "TMEndSession",
                                                      "TMFirstFile",
                                                      "TMNextFile",
                                                      "TMOpenFile",
                                                      "TMCreateFile",
                                                      "TMCloseFile",
                                                      "TMReadFile",
                                                      "TMWriteFile",
                                                      "TMDeleteFile",
                                                      "TMChangeDirectory",
                                                      "TMDirectoryMR",
                                                      "TMCreateProgramJob",
                                                      "TMDoProgramJob",
                                                      "TMFirst",
                                                      "TMSetup"};

constexpr int kPortsMax = 10;
// TMEX numbers the ports of a type from 0 to 15.
constexpr int kPortNumberMax = 15;

struct Port {
  short number;
  short type;
};

struct Driver {
  platform::DynLib lib;
  std::array<void*, kFnCount> fn{};
  TM_MESSAGE_CALLBACK callback = nullptr;
  // The known ports. Their own lock rather than the library's lock 18: the
  // table is emptied while the library stops under its lock 25, which ranks
  // above 18.
  std::mutex ports_mutex;
  std::vector<Port> ports;
};

Driver& driver() {
  static Driver* d = new Driver();
  return *d;
}

// Each driver entry answers TM_DRIVER_NOT_BOUND while unbound.
template <class F, class... A>
long drv(Fn i, A... args) {
  void* p = driver().fn[i];
  if (p == nullptr) return TM_DRIVER_NOT_BOUND;
  return reinterpret_cast<F>(p)(args...);
}

// The per-driver state buffer the calls take; the driver keeps its own.
unsigned char g_state_unused[16];

struct Ctx {
  short port_number = -1;
  short port_type = -1;
  TM_DIR_PATH dir{};
  TM_FILE_ENTRY file{};
  MediaBuffer buffer;
  bool open = false;
  int open_flags = 0;
  // Written to since the open. A read-write open that only read must not
  // put back the unread rest of its buffer in place of the file.
  bool written = false;
  Ctx() {
    dir.reference = '\\';
    std::memset(file.name, ' ', 4);
  }
};

bool step_ok(long rc, bool one_only) { return one_only ? rc == 1 : rc >= 0; }

// Repeats a step while it fails and the user asks for another try.
template <class F>
long with_retry(int port, bool one_only, F&& f) {
  for (;;) {
    const long rc = f();
    if (step_ok(rc, one_only)) return rc;
    if (tm_message(port, 0, rc == 0 ? -1 : static_cast<int>(rc)) == 0) return rc;
  }
}

long open_session(short number, short type) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    const long h = drv<TMExtendedStartSession_fn>(kStartSession, number, type, static_cast<void*>(nullptr));
    if (h > 0) return h;
    // Only a busy port (0) is worth waiting for; a refused one will not
    // change its mind.
    if (h < 0 || std::chrono::steady_clock::now() >= until) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void end_session(long h) {
  if (h > 0) drv<TMEndSession_fn>(kEndSession, h);
}

bool known_port(short number, short type) {
  const std::lock_guard<std::mutex> guard(driver().ports_mutex);
  for (const Port& p : driver().ports) {
    if (p.number == number && p.type == type) return true;
  }
  return false;
}

bool usable_port(short number, short type) {
  if (known_port(number, type)) return true;
  const long h = open_session(number, type);
  if (h <= 0) return false;
  const long setup = drv<TMSetup_fn>(kSetup, h);
  end_session(h);
  if (setup != 1 && setup != 2) return false;
  const std::lock_guard<std::mutex> guard(driver().ports_mutex);
  if (static_cast<int>(driver().ports.size()) < kPortsMax) driver().ports.push_back({number, type});
  return true;
}

// Fills a port that the path left open. The system's registry default of
// the driver does not exist here: every port is tried in turn.
bool find_port(Ctx& c) {
  if (c.port_type >= 1 && c.port_number >= 1) return usable_port(c.port_number, c.port_type);
  const short first_type = c.port_type >= 1 ? c.port_type : short{1};
  const short last_type = c.port_type >= 1 ? c.port_type : short{2};
  for (short t = first_type; t <= last_type; ++t) {
    for (short n = 1; n <= 15; ++n) {
      if (usable_port(n, t)) {
        c.port_type = t;
        c.port_number = n;
        return true;
      }
    }
  }
  return false;
}

bool parse_into(const char* path, Ctx& c) {
  return tm_parse_path(path, &c.port_number, &c.port_type, &c.dir, &c.file) == 1 &&
         c.file.extension != TM_FOLDER_EXTENSION && find_port(c);
}

// Session, first button, folder. 0 on failure (session ended).
long enter(Ctx& c, bool probe, short* chdir_rc) {
  const long h = open_session(c.port_number, c.port_type);
  if (h <= 0) {
    tm_message(c.port_number, 0, -1);
    return 0;
  }
  const int port = probe ? (c.port_number | (c.port_type << 16)) : c.port_number;
  if (with_retry(port, true, [&] { return drv<TMFirst_fn>(kFirst, h, static_cast<void*>(g_state_unused)); }) != 1) {
    end_session(h);
    return 0;
  }
  long rc = 0;
  for (;;) {
    rc = drv<TMChangeDirectory_fn>(kChangeDirectory, h, static_cast<void*>(g_state_unused), short{0}, &c.dir);
    if (rc == 1 || (probe && rc == TM_NO_SUCH_FOLDER)) break;
    if (chdir_rc != nullptr) break;  // the write-back creates the folders
    if (tm_message(port, 0, rc == 0 ? -1 : static_cast<int>(rc)) == 0) break;
  }
  if (chdir_rc != nullptr) *chdir_rc = static_cast<short>(rc);
  if (rc != 1 && chdir_rc == nullptr) {
    end_session(h);
    return 0;
  }
  return h;
}

bool read_file(Ctx& c) {
  const long h = enter(c, false, nullptr);
  if (h == 0) return false;
  void* st = g_state_unused;
  const long fh = with_retry(c.port_number, false, [&] { return drv<TMOpenFile_fn>(kOpenFile, h, st, &c.file); });
  if (fh < 0) {
    end_session(h);
    return false;
  }
  // One byte more than a button file may hold tells a larger file, which
  // is refused rather than handed on cut short.
  std::vector<unsigned char, WipingAllocator<unsigned char>> bytes(TM_FILE_MAX + 1);
  const long got = with_retry(c.port_number, false, [&] {
    return drv<TMReadFile_fn>(kReadFile, h, st, static_cast<short>(fh), bytes.data(), static_cast<short>(bytes.size()));
  });
  drv<TMCloseFile_fn>(kCloseFile, h, st, static_cast<short>(fh));
  end_session(h);
  if (got < 0) return false;
  if (got > TM_FILE_MAX) {
    QERR(ERRLIB_TOUCH_MEMORY, TM_F_OPEN, TM_R_FILE_TOO_LARGE);
    return false;
  }
  c.buffer.assign(bytes.data(), static_cast<std::size_t>(got));
  return true;
}

// Creates the folders of the path that are missing, from the root down.
bool make_folders(long h, Ctx& c) {
  void* st = g_state_unused;
  for (int level = 0; level < c.dir.levels; ++level) {
    TM_DIR_PATH one{};
    one.levels = 1;
    one.reference = '.';
    std::memcpy(one.names[0], c.dir.names[level], 4);
    if (level == 0) {
      TM_DIR_PATH root{};
      root.reference = '\\';
      if (drv<TMChangeDirectory_fn>(kChangeDirectory, h, st, short{0}, &root) != 1) return false;
    }
    if (drv<TMChangeDirectory_fn>(kChangeDirectory, h, st, short{0}, &one) == 1) continue;
    TM_FILE_ENTRY folder{};
    std::memcpy(folder.name, c.dir.names[level], 4);
    const bool job =
        with_retry(c.port_number, true, [&] { return drv<TMCreateProgramJob_fn>(kCreateProgramJob, h, st); }) == 1;
    if (!job) return false;
    if (with_retry(c.port_number, false,
                   [&] { return drv<TMDirectoryMR_fn>(kDirectoryMR, h, st, short{0}, &folder); }) < 0 ||
        with_retry(c.port_number, true, [&] { return drv<TMDoProgramJob_fn>(kDoProgramJob, h, st); }) != 1 ||
        drv<TMChangeDirectory_fn>(kChangeDirectory, h, st, short{0}, &one) != 1) {
      return false;
    }
  }
  return true;
}

// Programs the buffer onto the button in one program job: the old file
// goes only together with the new one being written. Without a job the
// deletion would reach the button before the new content, so the
// write-back refuses to go on.
int write_back(Ctx& c) {
  if (!c.open || (c.open_flags & BIO_FP_WRITE) == 0) return 1;
  if ((c.open_flags & BIO_FP_READ) != 0 && !c.written) {
    c.open = false;
    return 1;
  }
  c.open = false;
  const std::size_t n = c.buffer.pending();
  if (n == 0) {
    QERR(ERRLIB_TOUCH_MEMORY, TM_F_WRITE_BACK, TM_R_NO_BUFFER);
    return 0;
  }
  if (n > static_cast<std::size_t>(TM_FILE_MAX)) {
    QERR(ERRLIB_TOUCH_MEMORY, TM_F_WRITE_BACK, TM_R_FILE_TOO_LARGE);
    return 0;
  }
  short chdir_rc = 0;
  const long h = enter(c, false, &chdir_rc);
  void* st = g_state_unused;
  bool ok = h != 0 && (chdir_rc == 1 || make_folders(h, c));
  ok = ok && with_retry(c.port_number, true, [&] { return drv<TMCreateProgramJob_fn>(kCreateProgramJob, h, st); }) == 1;
  ok = ok && with_retry(c.port_number, false, [&] {
               const long rc = drv<TMDeleteFile_fn>(kDeleteFile, h, st, &c.file);
               return rc == TM_FILE_NOT_FOUND ? 1 : rc;
             }) >= 0;
  long fh = -1;
  if (ok) {
    short max_write = 0;
    fh =
        with_retry(c.port_number, false, [&] { return drv<TMCreateFile_fn>(kCreateFile, h, st, &max_write, &c.file); });
    ok = fh >= 0;
  }
  if (ok) {
    const long put = with_retry(c.port_number, false, [&] {
      return drv<TMWriteFile_fn>(kWriteFile, h, st, static_cast<short>(fh), c.buffer.data(), static_cast<short>(n));
    });
    ok = put == static_cast<long>(n);
  }
  if (fh >= 0) ok = drv<TMCloseFile_fn>(kCloseFile, h, st, static_cast<short>(fh)) >= 0 && ok;
  ok = ok && with_retry(c.port_number, true, [&] { return drv<TMDoProgramJob_fn>(kDoProgramJob, h, st); }) == 1;
  end_session(h);
  c.buffer.clear();
  if (!ok) QERR(ERRLIB_TOUCH_MEMORY, TM_F_WRITE_BACK, TM_R_DRIVER_STEP);
  return ok ? 1 : 0;
}

int open_file(Ctx& c, const char* path, int flags) {
  if (c.open && write_back(c) == 0) return 0;
  c = Ctx();
  if ((flags & (BIO_FP_READ | BIO_FP_WRITE)) == 0 || !parse_into(path, c)) {
    QERR(ERRLIB_TOUCH_MEMORY, TM_F_OPEN, TM_R_DRIVER_STEP);
    return 0;
  }
  if ((flags & BIO_FP_READ) != 0 && !read_file(c)) {
    QERR(ERRLIB_TOUCH_MEMORY, TM_F_OPEN, TM_R_DRIVER_STEP);
    return 0;
  }
  c.open = true;
  c.open_flags = flags;
  return 1;
}

Ctx* ctx_of(BIO* bio) { return static_cast<Ctx*>(BIO_get_data(bio)); }

int bio_create(BIO* bio) {
  auto* c = new (std::nothrow) Ctx();
  if (c == nullptr) {
    QERR(ERRLIB_TOUCH_MEMORY, TM_F_CTX, TM_R_MEMORY);
    return 0;
  }
  BIO_set_data(bio, c);
  BIO_set_init(bio, 1);
  return 1;
}

int bio_destroy(BIO* bio) {
  Ctx* c = ctx_of(bio);
  if (c == nullptr) return 1;
  if (BIO_get_shutdown(bio) != 0) write_back(*c);
  delete c;
  BIO_set_data(bio, nullptr);
  return 1;
}

int bio_read(BIO* bio, char* out, int n) {
  Ctx* c = ctx_of(bio);
  return c != nullptr && c->open ? c->buffer.read(out, n) : 0;
}

int bio_write(BIO* bio, const char* in, int n) {
  Ctx* c = ctx_of(bio);
  if (c == nullptr || !c->open) return 0;
  c->written = true;
  return c->buffer.write(in, n);
}

int bio_puts(BIO* bio, const char* s) { return s == nullptr ? 0 : bio_write(bio, s, static_cast<int>(strlen(s))); }

int bio_gets(BIO* bio, char* out, int size) {
  Ctx* c = ctx_of(bio);
  return c != nullptr && c->open ? c->buffer.gets(out, size) : 0;
}

long bio_ctrl(BIO* bio, int cmd, long num, void* ptr) {
  Ctx* c = ctx_of(bio);
  if (c == nullptr) return 0;
  switch (cmd) {
    case BIO_CTRL_RESET:
      return 1;
    case BIO_CTRL_EOF:
      return c->buffer.pending() == 0 ? 1 : 0;
    case BIO_CTRL_FLUSH:
      // Programs the button now, so that its failure reaches the caller;
      // the free then has nothing left to write.
      return write_back(*c);
    case BIO_CTRL_GET_CLOSE:
      return BIO_get_shutdown(bio);
    case BIO_CTRL_SET_CLOSE:
      BIO_set_shutdown(bio, static_cast<int>(num));
      return 1;
    case BIO_CTRL_PENDING:
      return static_cast<long>(c->buffer.pending());
    case BIO_C_SET_FILENAME:
      BIO_set_shutdown(bio, static_cast<int>(num) & BIO_CLOSE);
      return open_file(*c, static_cast<const char*>(ptr), static_cast<int>(num));
    default:
      return 0;
  }
}

BIO_METHOD* make_method() {
  BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "Touch Memory");
  if (m == nullptr) return nullptr;
  BIO_meth_set_write(m, bio_write);
  BIO_meth_set_read(m, bio_read);
  BIO_meth_set_puts(m, bio_puts);
  BIO_meth_set_gets(m, bio_gets);
  BIO_meth_set_ctrl(m, bio_ctrl);
  BIO_meth_set_create(m, bio_create);
  BIO_meth_set_destroy(m, bio_destroy);
  return m;
}

// TMEX names are 4 characters padded with blanks, with no terminator.
void pad_name(char* out, const std::string& name) {
  for (std::size_t i = 0; i < 4; ++i) out[i] = i < name.size() ? name[i] : ' ';
}

// The decimal number a path text gives from `at` (0 when it starts with no
// digit), or -1 when it is signed or larger than `limit`: a number cut to
// the width of its field would name another file or port.
int path_number(const std::string& text, std::size_t at, int limit) {
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) return -1;
  int value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    value = value * 10 + (text[at] - '0');
    if (value > limit) return -1;
  }
  return value;
}

}  // namespace

int TM_bind_driver() {
  Driver& d = driver();
  if (!d.lib.loaded() && !d.lib.open("ibfs32.dll")) return 0;
  if (!d.lib.bind_all(kNames.data(), d.fn.data(), kFnCount)) {
    d.lib.close();
    return 0;
  }
  return 1;
}

int TM_load() {
  TM_bind_driver();
  return 1;
}

void TM_unload() {
  Driver& d = driver();
  d.fn.fill(nullptr);
  d.lib.close();
  const std::lock_guard<std::mutex> guard(driver().ports_mutex);
  d.ports.clear();
}

int TM_bound() { return driver().fn[kFirst] != nullptr ? 1 : 0; }

void tm_set_message_callback(TM_MESSAGE_CALLBACK callback) { driver().callback = callback; }

int tm_message(int port, int word, int status) {
  const TM_MESSAGE_CALLBACK cb = driver().callback;
  return cb != nullptr && cb(port, word, status) != 0 ? 1 : 0;
}

int tm_parse_path(const char* path, short* port_number, short* port_type, TM_DIR_PATH* dir, TM_FILE_ENTRY* file) {
  if (path == nullptr) return 0;
  std::string p(path);
  const std::size_t colon = p.find(':');
  if (colon == std::string::npos) return 0;
  for (char& ch : p) {
    if (ch == '/') ch = '\\';
  }
  const std::string port = p.substr(0, colon);
  short type = 0;
  short number = 0;
  if (strncasecmp(port.c_str(), "COM", 3) == 0 || strncasecmp(port.c_str(), "LPT", 3) == 0) {
    type = strncasecmp(port.c_str(), "COM", 3) == 0 ? 1 : 2;
    const int n = path_number(port, 3, kPortNumberMax);
    if (n < 0) return 0;
    number = static_cast<short>(n);
  } else if (strncasecmp(port.c_str(), "iButton", 7) != 0) {
    return 0;
  }
  if (port_number != nullptr) *port_number = number;
  if (port_type != nullptr) *port_type = type;
  if (dir == nullptr || file == nullptr) return 1;
  *dir = TM_DIR_PATH{};
  dir->reference = '\\';
  *file = TM_FILE_ENTRY{};
  std::memset(file->name, ' ', 4);
  std::string rest = p.substr(colon + 1);
  const std::size_t last = rest.rfind('\\');
  bool invalid = last == std::string::npos || (!rest.empty() && rest[0] != '\\');
  const std::string name_part = last == std::string::npos ? rest : rest.substr(last + 1);
  const std::size_t dot = name_part.find('.');
  const std::string name = name_part.substr(0, dot);
  if (name.size() > 4) invalid = true;
  pad_name(reinterpret_cast<char*>(file->name), name);
  if (dot != std::string::npos) {
    const int extension = path_number(name_part, dot + 1, TM_FOLDER_EXTENSION);
    if (extension < 0 || extension == TM_FOLDER_EXTENSION) {
      invalid = true;
    } else {
      file->extension = static_cast<unsigned char>(extension);
    }
  }
  if (last != std::string::npos && last > 0) {
    std::size_t start = rest[0] == '\\' ? 1 : 0;
    while (start < last) {
      std::size_t end = rest.find('\\', start);
      if (end == std::string::npos || end > last) end = last;
      const std::string folder = rest.substr(start, end - start);
      if (folder.size() > 4) invalid = true;
      if (!folder.empty()) {
        // The driver's path holds 10 levels: a deeper path cut there would
        // name a file of another folder.
        if (dir->levels == 10) {
          invalid = true;
        } else {
          pad_name(dir->names[dir->levels++], folder);
        }
      }
      start = end + 1;
    }
  }
  if (invalid) file->extension = TM_FOLDER_EXTENSION;
  return 1;
}

std::string tm_entry_name(const TM_FILE_ENTRY& entry) {
  std::size_t n = 0;
  while (n < sizeof entry.name && entry.name[n] != ' ' && entry.name[n] != '\0') ++n;
  return std::string(reinterpret_cast<const char*>(entry.name), n);
}

int tm_probe_file(const char* path) {
  Ctx c;
  if (!parse_into(path, c)) return 0;
  const long h = enter(c, true, nullptr);
  if (h == 0) return 0;
  void* st = g_state_unused;
  long fh = 0;
  for (;;) {
    fh = drv<TMOpenFile_fn>(kOpenFile, h, st, &c.file);
    if (fh >= 0 || fh == TM_FILE_NOT_FOUND || fh == TM_WRONG_TYPE) break;
    if (tm_message(c.port_number | (c.port_type << 16), 0, fh == 0 ? -1 : static_cast<int>(fh)) == 0) break;
  }
  if (fh >= 0) drv<TMCloseFile_fn>(kCloseFile, h, st, static_cast<short>(fh));
  end_session(h);
  return fh >= 0 ? 1 : 0;
}

int tm_erase(const char* path) {
  Ctx c;
  if (!parse_into(path, c)) return 0;
  short chdir_rc = 0;
  const long h = enter(c, false, &chdir_rc);
  if (h == 0) return 0;
  void* st = g_state_unused;
  bool ok = true;
  if (chdir_rc == 1) {
    ok = with_retry(c.port_number, true, [&] { return drv<TMCreateProgramJob_fn>(kCreateProgramJob, h, st); }) == 1;
    ok = ok && with_retry(c.port_number, false, [&] {
                 const long r = drv<TMDeleteFile_fn>(kDeleteFile, h, st, &c.file);
                 return r == TM_FILE_NOT_FOUND ? 1 : r;
               }) >= 0;
    ok = ok && with_retry(c.port_number, true, [&] { return drv<TMDoProgramJob_fn>(kDoProgramJob, h, st); }) == 1;
  } else {
    ok = chdir_rc == TM_NO_SUCH_FOLDER;
  }
  end_session(h);
  return ok ? 1 : 0;
}

int tm_dir_first(const char* path, TM_WALK* walk) {
  if (walk == nullptr) return 0;
  *walk = TM_WALK{};
  Ctx c;
  if (!parse_into(path, c)) return 0;
  // The folder that holds the last component: its name is no folder level.
  const long h = enter(c, true, nullptr);
  if (h == 0) return 0;
  walk->session = h;
  walk->has_entry = drv<TMFirstFile_fn>(kFirstFile, h, static_cast<void*>(g_state_unused), &walk->entry) == 1;
  return walk->has_entry ? 1 : 0;
}

int tm_dir_next(TM_WALK* walk) {
  if (walk == nullptr || walk->session == 0) return 0;
  walk->has_entry = drv<TMNextFile_fn>(kNextFile, walk->session, static_cast<void*>(g_state_unused), &walk->entry) == 1;
  return walk->has_entry ? 1 : 0;
}

void tm_dir_close(TM_WALK* walk) {
  if (walk == nullptr) return;
  end_session(walk->session);
  walk->session = 0;
}

const BIO_METHOD* BIO_s_tm() {
  static BIO_METHOD* method = make_method();
  return method;
}

}  // namespace qcrypto
