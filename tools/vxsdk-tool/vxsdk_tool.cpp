// vxsdk-tool: the token SDK's exports from the command line. The PIN is read
// from a file descriptor (--pin-fd), never from the arguments, which other
// users of the machine can see.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vxsdk/api/vxsdk_api.h"

namespace {

constexpr int32_t kNoService = static_cast<int32_t>(0x8010001Du);

int Usage() {
  std::fprintf(stderr,
               "usage: vxsdk-tool [--pin-fd N] [--root SELECTOR] readers\n"
               "       vxsdk-tool [--pin-fd N] info READER\n"
               "       vxsdk-tool [--pin-fd N] [--root SELECTOR] ls READER [DIR/DIR...]\n"
               "       vxsdk-tool --pin-fd N [--root SELECTOR] put READER DIR/.../FILE LOCAL\n"
               "       vxsdk-tool [--pin-fd N] [--root SELECTOR] get READER DIR/.../FILE LOCAL|-\n"
               "ids are 4 hex digits; the root selector defaults to 0xF007\n");
  return 2;
}

int Fail(const char* what, int32_t rc) {
  if (rc == kNoService) {
    std::fprintf(stderr, "vxsdk-tool: %s: no PC/SC service runs (0x8010001D)\n", what);
  } else {
    std::fprintf(stderr, "vxsdk-tool: %s failed: 0x%08X\n", what, static_cast<unsigned>(rc));
  }
  return 1;
}

bool ParseIds(const std::string& text, std::vector<uint16_t>* ids) {
  ids->clear();
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('/', pos);
    if (end == std::string::npos) {
      end = text.size();
    }
    const std::string part = text.substr(pos, end - pos);
    if (part.size() != 4 || part.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      return false;
    }
    ids->push_back(static_cast<uint16_t>(std::strtoul(part.c_str(), nullptr, 16)));
    pos = end + 1;
  }
  return true;
}

// The PIN from a descriptor: one line, at most 255 bytes.
bool ReadPin(int fd, std::string* pin) {
  char buf[256];
  size_t n = 0;
  while (n < sizeof buf) {
    const ssize_t r = ::read(fd, buf + n, sizeof buf - n);
    if (r < 0 && errno == EINTR) {
      continue;
    }
    if (r <= 0) {
      break;
    }
    n += static_cast<size_t>(r);
  }
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r')) {
    --n;
  }
  const bool ok = n > 0 && n < sizeof buf;
  if (ok) {
    pin->assign(buf, n);
  }
  volatile char* v = buf;
  for (size_t i = 0; i < sizeof buf; ++i) {
    v[i] = 0;
  }
  return ok;
}

void WipeString(std::string* s) {
  volatile char* v = s->data();
  for (size_t i = 0; i < s->size(); ++i) {
    v[i] = 0;
  }
  s->clear();
}

// Closes whatever handles a command opened, in reverse order.
struct Handles {
  std::vector<std::pair<VXHandle, int32_t (*)(VXHandle)>> open;
  void Add(VXHandle h, int32_t (*close)(VXHandle)) { open.emplace_back(h, close); }
  ~Handles() {
    for (auto it = open.rbegin(); it != open.rend(); ++it) {
      it->second(it->first);
    }
  }
};

struct Session {
  int pinFd = -1;
  uint16_t root = 0xF007;
  Handles handles;
  VXHandle token = nullptr;
  bool loggedIn = false;

  ~Session() {
    if (loggedIn) {
      VXTokenLogout(token);
    }
  }
  int32_t Bind(const char* reader) {
    const int32_t rc = VXTokenBind(&token, reader);
    if (rc == 0) {
      handles.Add(token, VXTokenUnbind);
    }
    return rc;
  }
  int32_t Login() {
    if (pinFd < 0) {
      return 0;
    }
    std::string pin;
    if (!ReadPin(pinFd, &pin)) {
      std::fprintf(stderr, "vxsdk-tool: no PIN on descriptor %d\n", pinFd);
      return VX_E_INVALIDARG;
    }
    const int32_t rc = VXTokenLogin(token, pin.c_str());
    WipeString(&pin);
    loggedIn = rc == 0;
    return rc;
  }
  // Opens the root folder and the folders of `dirs` below it.
  int32_t OpenDir(const std::vector<uint16_t>& dirs, VXHandle* dir) {
    int32_t rc = VXRootDirOpen(dir, token, root);
    if (rc != 0) {
      return rc;
    }
    handles.Add(*dir, VXDirClose);
    for (uint16_t id : dirs) {
      VXHandle next = nullptr;
      rc = VXDirOpen(&next, id, *dir);
      if (rc != 0) {
        return rc;
      }
      handles.Add(next, VXDirClose);
      *dir = next;
    }
    return 0;
  }
};

int Readers() {
  VXHandle e = nullptr;
  const int32_t rc = VXReadersEnumOpen(&e);
  if (rc != 0) {
    return Fail("reader list", rc);
  }
  VXReaderInfo info{};
  int count = 0;
  while (VXReadersEnumNext(e, &info) == 0) {
    std::printf("%s\t%s\n", info.name, info.token_present != 0 ? "card" : "empty");
    ++count;
  }
  VXReadersEnumClose(e);
  if (count == 0) {
    std::printf("no readers\n");
  }
  return 0;
}

int Info(Session& s, const char* reader) {
  if (int32_t rc = s.Bind(reader); rc != 0) {
    return Fail("bind", rc);
  }
  char id[64] = "";
  uint32_t idSize = sizeof id;
  char label[256] = "";
  uint32_t labelSize = sizeof label;
  int32_t minPin = 0, maxPin = 0;
  int32_t rc = VXTokenIDGet(s.token, id, &idSize);
  if (rc == 0) {
    rc = VXTokenLabelGet(s.token, label, &labelSize);
  }
  if (rc == 0) {
    rc = VXTokenMinPinGet(s.token, &minPin);
  }
  if (rc == 0) {
    rc = VXTokenMaxPinGet(s.token, &maxPin);
  }
  if (rc != 0) {
    return Fail("token information", rc);
  }
  std::printf("serial %s\nlabel %s\npin %d-%d\n", id, label, minPin, maxPin);
  return 0;
}

// Binds the reader, logs in and opens the folder `dirs`: 0, or the exit code
// after the failing step was reported.
int OpenFolder(Session& s, const char* reader, const std::vector<uint16_t>& dirs, VXHandle* dir) {
  if (int32_t rc = s.Bind(reader); rc != 0) {
    return Fail("bind", rc);
  }
  if (int32_t rc = s.Login(); rc != 0) {
    return Fail("login", rc);
  }
  if (int32_t rc = s.OpenDir(dirs, dir); rc != 0) {
    return Fail("folder open", rc);
  }
  return 0;
}

int List(Session& s, const char* reader, const std::vector<uint16_t>& dirs) {
  VXHandle dir = nullptr;
  if (const int code = OpenFolder(s, reader, dirs, &dir); code != 0) {
    return code;
  }
  struct Kind {
    const char* name;
    int32_t (*open)(VXHandle*, VXHandle);
    int32_t (*next)(VXHandle, VXObjectInfo*);
    int32_t (*close)(VXHandle);
  } kinds[] = {{"dir", VXDirEnumOpen, VXDirEnumNext, VXDirEnumClose},
               {"file", VXFilesEnumOpen, VXFilesEnumNext, VXFilesEnumClose}};
  for (const Kind& k : kinds) {
    VXHandle e = nullptr;
    if (int32_t rc = k.open(&e, dir); rc != 0) {
      return Fail("listing", rc);
    }
    VXObjectInfo info{};
    int32_t rc = 0;
    while ((rc = k.next(e, &info)) == 0) {
      const unsigned id = info.id, size = info.size;
      const int flag = info.flags;
      std::printf("%s %04x size=%u protected=%d\n", k.name, id, size, flag);
    }
    k.close(e);
    if (rc != VX_E_NO_MORE_ITEMS) {
      return Fail("listing", rc);
    }
  }
  return 0;
}

int Put(Session& s, const char* reader, const std::vector<uint16_t>& path, const char* local) {
  std::vector<uint8_t> data;
  {
    FILE* f = std::fopen(local, "rb");
    if (f == nullptr) {
      std::fprintf(stderr, "vxsdk-tool: cannot read %s\n", local);
      return 1;
    }
    uint8_t buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) {
      data.insert(data.end(), buf, buf + n);
      if (data.size() > 0xFFFF) {
        break;
      }
    }
    std::fclose(f);
  }
  if (data.size() > 0xFFFF) {
    std::fprintf(stderr, "vxsdk-tool: %s is over 65535 bytes\n", local);
    return 1;
  }
  VXHandle dir = nullptr;
  if (const int code = OpenFolder(s, reader, {path.begin(), path.end() - 1}, &dir); code != 0) {
    return code;
  }
  const auto size = static_cast<uint16_t>(data.size());
  VXHandle file = nullptr;
  int32_t rc = VXFileOpen(&file, dir, path.back());
  if (rc == 0) {
    s.handles.Add(file, VXFileClose);
    VXObjectInfo info{};
    rc = VXFileGetInfo(file, &info);
    if (rc == 0 && info.size != size) {
      // Token files have a fixed size: another size is a new file.
      rc = VXFileDelete(file);
      file = nullptr;
    } else if (rc != 0) {
      return Fail("file information", rc);
    }
  } else if (rc != static_cast<int32_t>(0x86E06A82u)) {
    return Fail("file open", rc);
  } else {
    rc = 0;
  }
  if (rc != 0) {
    return Fail("file delete", rc);
  }
  if (file == nullptr) {
    rc = VXFileCreate(&file, dir, path.back(), size, 0);
    if (rc != 0) {
      return Fail("file create", rc);
    }
    s.handles.Add(file, VXFileClose);
  }
  rc = VXFileWrite(file, 0, data.data(), size);
  if (rc != 0) {
    return Fail("file write", rc);
  }
  return 0;
}

int Get(Session& s, const char* reader, const std::vector<uint16_t>& path, const char* local) {
  VXHandle dir = nullptr;
  if (const int code = OpenFolder(s, reader, {path.begin(), path.end() - 1}, &dir); code != 0) {
    return code;
  }
  VXHandle file = nullptr;
  if (int32_t rc = VXFileOpen(&file, dir, path.back()); rc != 0) {
    return Fail("file open", rc);
  }
  s.handles.Add(file, VXFileClose);
  VXObjectInfo info{};
  if (int32_t rc = VXFileGetInfo(file, &info); rc != 0) {
    return Fail("file information", rc);
  }
  std::vector<uint8_t> data(info.size);
  if (int32_t rc = VXFileRead(file, 0, 0xFFFF, data.data(), static_cast<uint32_t>(data.size())); rc != 0) {
    return Fail("file read", rc);
  }
  if (std::strcmp(local, "-") == 0) {
    return std::fwrite(data.data(), 1, data.size(), stdout) == data.size() ? 0 : 1;
  }
  // Written whole under a temporary name, then put in place.
  const std::string tmp = std::string(local) + ".part";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::fprintf(stderr, "vxsdk-tool: cannot create %s\n", tmp.c_str());
    return 1;
  }
  bool ok = true;
  for (size_t done = 0; ok && done < data.size();) {
    const ssize_t w = ::write(fd, data.data() + done, data.size() - done);
    ok = w > 0;
    done += ok ? static_cast<size_t>(w) : 0;
  }
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (!ok || std::rename(tmp.c_str(), local) != 0) {
    ::unlink(tmp.c_str());
    std::fprintf(stderr, "vxsdk-tool: cannot write %s\n", local);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Session s;
  int i = 1;
  for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(argv[i + 1], &end, 0);
    if (end == argv[i + 1] || *end != '\0') {
      return Usage();
    }
    if (std::strcmp(argv[i], "--pin-fd") == 0 && v <= 1024) {
      s.pinFd = static_cast<int>(v);
    } else if (std::strcmp(argv[i], "--root") == 0 && v <= 0xFFFF) {
      s.root = static_cast<uint16_t>(v);
    } else {
      return Usage();
    }
  }
  if (i >= argc) {
    return Usage();
  }
  const std::string cmd = argv[i];
  const int rest = argc - i - 1;
  char** a = argv + i + 1;
  std::vector<uint16_t> ids;
  if (cmd == "readers" && rest == 0) {
    return Readers();
  }
  if (cmd == "info" && rest == 1) {
    return Info(s, a[0]);
  }
  if (cmd == "ls" && (rest == 1 || rest == 2) && (rest == 1 || ParseIds(a[1], &ids))) {
    return List(s, a[0], ids);
  }
  if ((cmd == "put" || cmd == "get") && rest == 3 && ParseIds(a[1], &ids) && !ids.empty()) {
    return cmd == "put" ? Put(s, a[0], ids, a[2]) : Get(s, a[0], ids, a[2]);
  }
  return Usage();
}
