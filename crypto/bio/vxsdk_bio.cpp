#include "crypto/bio/vxsdk_bio.h"

#include <openssl/err.h>
#include <strings.h>

#include <array>
#include <cstring>
#include <memory>

#include "crypto/bio/media.h"
#include "crypto/bio/media_buffer.h"
#include "crypto/bio/token_bio_ops.h"
#include "crypto/bio/token_codes.h"
#include "crypto/cclib/locks.h"
#include "crypto/cclib/secret.h"
#include "platform/dynlib.h"

namespace qcrypto {
namespace {

enum Fn : std::size_t {
  kReadersEnumOpen,
  kReadersEnumNext,
  kReadersEnumClose,
  kTokenBind,
  kTokenUnbind,
  kTokenLogin,
  kTokenLogout,
  kTokenPinChange,
  kTokenMaxPinGet,
  kTokenMinPinGet,
  kTokenLabelGet,
  kTokenIDGet,
  kRootDirOpen,
  kDirCreate,
  kDirOpen,
  kDirGetInfo,
  kDirDelete,
  kDirClose,
  kDirEnumOpen,
  kDirEnumNext,
  kDirEnumClose,
  kFilesEnumOpen,
  kFilesEnumNext,
  kFilesEnumClose,
  kFileOpen,
  kFileCreate,
  kFileRead,
  kFileWrite,
  kFileDelete,
  kFileGetInfo,
  kFileClose,
  kFnCount
};

constexpr std::array<const char*, kFnCount> kNames = {
    "VXReadersEnumOpen", "VXReadersEnumNext", "VXReadersEnumClose", "VXTokenBind",      "VXTokenUnbind",
    "VXTokenLogin",      "VXTokenLogout",     "VXTokenPinChange",   "VXTokenMaxPinGet", "VXTokenMinPinGet",
    "VXTokenLabelGet",   "VXTokenIDGet",      "VXRootDirOpen",      "VXDirCreate",      "VXDirOpen",
    "VXDirGetInfo",      "VXDirDelete",       "VXDirClose",         "VXDirEnumOpen",    "VXDirEnumNext",
    "VXDirEnumClose",    "VXFilesEnumOpen",   "VXFilesEnumNext",    "VXFilesEnumClose", "VXFileOpen",
    "VXFileCreate",      "VXFileRead",        "VXFileWrite",        "VXFileDelete",     "VXFileGetInfo",
    "VXFileClose"};

constexpr std::string_view kKeyword = "Vexil";
constexpr std::string_view kReaderPrefix = "QRL ifdh ";

// Bound once at library start, under the start lock; read without a lock
// afterwards, as the library's start and stop bracket every use.
using Sdk = TokenDriver<kFnCount>;

Sdk& sdk() {
  static Sdk* s = new Sdk();
  return *s;
}

template <class F>
F call(Fn i) {
  return reinterpret_cast<F>(sdk().fn[i]);
}

struct Ctx {
  VXHANDLE token = 0;
  VXHANDLE directory = 0;
  VXHANDLE file = 0;
  int32_t protection = 0;
  bool logged_in = false;
  uint16_t file_id = 0;
  bool is_directory = false;
  MediaBuffer buffer;
  SecretBuffer<TOKEN_PASSWORD_MAX + 1> password{};
  TOKEN_PASSWORD_CALLBACK callback = nullptr;
  std::string path;
  std::string medium;
  void* callback_argument = nullptr;
  uint32_t flags = 0;
  bool open = false;
  int open_flags = 0;
  // Written to since the open. A read-write open that only read must not
  // put back the unread rest of its buffer in place of the file.
  bool written = false;

  Ctx() = default;
  Ctx(const Ctx&) = delete;
  Ctx& operator=(const Ctx&) = delete;
  ~Ctx() {
    release();
    password.wipe();
  }
  // Gives back every SDK handle and the bytes; the settings stay.
  void release() {
    if (sdk().bound) {
      if (file != 0) call<VXFileClose_fn>(kFileClose)(file);
      if (directory != 0) call<VXDirClose_fn>(kDirClose)(directory);
      if (token != 0) call<VXTokenUnbind_fn>(kTokenUnbind)(token);
    }
    file = directory = token = 0;
    logged_in = false;
    buffer.clear();
    OPENSSL_cleanse(path.data(), path.size());
    path.clear();
    open = false;
    written = false;
  }
  char* pin() { return reinterpret_cast<char*>(password.data()); }
};

void set_password(Ctx& c, const char* text) {
  c.password.wipe();
  if (text == nullptr) return;
  const std::size_t n = strnlen(text, TOKEN_PASSWORD_MAX);
  std::memcpy(c.pin(), text, n);
  c.pin()[n] = '\0';
}

bool login(Ctx& c) {
  if (c.pin()[0] == '\0' && c.callback != nullptr) {
    void* arg = c.callback_argument != nullptr ? c.callback_argument : static_cast<void*>(c.medium.data());
    const int n = c.callback(c.pin(), static_cast<int>(TOKEN_PASSWORD_MAX + 1), 0, arg);
    // A length of 256 would leave no room for the terminator: 1-255 only.
    if (n < 1 || n > static_cast<int>(TOKEN_PASSWORD_MAX)) {
      c.password.wipe();
      return false;
    }
    c.pin()[n] = '\0';
  }
  if (c.pin()[0] == '\0') return false;
  if (call<VXTokenLogin_fn>(kTokenLogin)(c.token, c.pin()) < 0) {
    QERR(ERRLIB_BIO, VXBIO_F_LOGIN, VXBIO_R_SDK_CALL);
    // A wrong PIN is not tried twice: the next login asks again.
    c.password.wipe();
    return false;
  }
  c.logged_in = true;
  return true;
}

void logout_if_asked(Ctx& c) {
  if ((c.flags & VXSDK_FLAG_LOGOUT_EACH) != 0 && c.logged_in) {
    call<VXTokenLogout_fn>(kTokenLogout)(c.token);
    c.logged_in = false;
  }
}

bool needs_login(int32_t rc) { return rc < 0 && (static_cast<uint32_t>(rc) & 0xFFFFu) == 0x6982u; }

// One SDK call for a context: a call refused for want of a login logs in
// and is repeated once. `quiet` leaves a plain failure off the error queue
// (a probe whose failure is an answer).
template <class F>
int32_t sdk_call(Ctx& c, int function, bool quiet, F&& f) {
  int32_t rc = f();
  if (needs_login(rc)) {
    if (!login(c)) {
      logout_if_asked(c);
      QERR(ERRLIB_BIO, function, VXBIO_R_LOGIN);
      return rc;
    }
    rc = f();
  }
  logout_if_asked(c);
  if (rc < 0 && !quiet) QERR(ERRLIB_BIO, function, VXBIO_R_SDK_CALL);
  return rc;
}

bool starts_with_keyword(const std::string& s) {
  return s.size() >= kKeyword.size() && strncasecmp(s.c_str(), kKeyword.data(), kKeyword.size()) == 0;
}

// Opens the folders of the path; the last id is the file (or folder) the
// path names. `absent` tells a path that does not exist from a failure.
bool walk(Ctx& c, bool create, bool* absent) {
  std::string& p = c.path;
  if (p.size() % 4 != 0) return false;
  auto id_at = [&](std::size_t i, uint16_t* id) {
    unsigned v = 0;
    for (std::size_t k = i; k < i + 4; ++k) {
      const char ch = p[k];
      v <<= 4;
      if (ch >= '0' && ch <= '9')
        v |= static_cast<unsigned>(ch - '0');
      else if (ch >= 'a' && ch <= 'f')
        v |= static_cast<unsigned>(ch - 'a' + 10);
      else if (ch >= 'A' && ch <= 'F')
        v |= static_cast<unsigned>(ch - 'A' + 10);
      else
        return false;
    }
    *id = static_cast<uint16_t>(v);
    return true;
  };
  if (sdk_call(c, VXBIO_F_ROOT_OPEN, false,
               [&] { return call<VXRootDirOpen_fn>(kRootDirOpen)(&c.directory, c.token, VX_ROOT_SELECTOR); }) < 0) {
    return false;
  }
  if (p.empty()) {
    c.is_directory = true;
    return true;
  }
  const std::size_t groups = p.size() / 4;
  for (std::size_t g = 0; g + 1 < groups; ++g) {
    uint16_t id = 0;
    if (!id_at(g * 4, &id)) return false;
    VXHANDLE next = 0;
    int32_t rc =
        sdk_call(c, VXBIO_F_FOLDER_OPEN, create, [&] { return call<VXDirOpen_fn>(kDirOpen)(&next, id, c.directory); });
    if (rc < 0 && create) {
      rc = sdk_call(c, VXBIO_F_FOLDER_CREATE, false,
                    [&] { return call<VXDirCreate_fn>(kDirCreate)(&next, id, c.directory, 0); });
    }
    if (rc < 0) {
      *absent = rc == VX_FILE_NOT_FOUND;
      return false;
    }
    call<VXDirClose_fn>(kDirClose)(c.directory);
    c.directory = next;
  }
  uint16_t id = 0;
  if (!id_at(p.size() - 4, &id)) return false;
  c.file_id = id;
  if (create) return true;
  VXHANDLE folder = 0;
  if (sdk_call(c, VXBIO_F_FOLDER_OPEN, true, [&] { return call<VXDirOpen_fn>(kDirOpen)(&folder, id, c.directory); }) >=
      0) {
    call<VXDirClose_fn>(kDirClose)(c.directory);
    c.directory = folder;
    c.is_directory = true;
    VXObjectInfo info{};
    return sdk_call(c, VXBIO_F_FOLDER_INFO, false,
                    [&] { return call<VXDirGetInfo_fn>(kDirGetInfo)(c.directory, &info); }) >= 0;
  }
  const int32_t rc =
      sdk_call(c, VXBIO_F_FILE_OPEN, true, [&] { return call<VXFileOpen_fn>(kFileOpen)(&c.file, c.directory, id); });
  if (rc < 0) {
    if (rc == VX_FILE_NOT_FOUND) {
      *absent = true;
    } else if (!needs_login(rc)) {
      QERR(ERRLIB_BIO, VXBIO_F_FILE_OPEN, VXBIO_R_SDK_CALL);
    }
    return false;
  }
  VXObjectInfo info{};
  return sdk_call(c, VXBIO_F_FILE_INFO, false, [&] { return call<VXFileGetInfo_fn>(kFileGetInfo)(c.file, &info); }) >=
         0;
}

// Opens a token path into `c`: reader, options, folders.
bool touch(Ctx& c, const char* text, bool create, const MEDIUM_OPEN_OPTIONS* options, bool* absent) {
  *absent = false;
  if (!sdk().bound || text == nullptr) return false;
  const std::string medium = vxdk_normalise(text, kKeyword.size());
  if (!starts_with_keyword(medium)) return false;
  std::size_t i = kKeyword.size();
  while (i < medium.size() && medium[i] == ' ') ++i;
  std::string wanted;
  if (i < medium.size() && medium[i] != ':') {
    const std::size_t colon = medium.find(':', i);
    wanted = std::string(kReaderPrefix) + medium.substr(i, colon == std::string::npos ? std::string::npos : colon - i);
  }
  VXHANDLE e = 0;
  if (call<VXReadersEnumOpen_fn>(kReadersEnumOpen)(&e) < 0) {
    QERR(ERRLIB_BIO, VXBIO_F_TOUCH, VXBIO_R_SDK_CALL);
    return false;
  }
  VXReaderInfo reader{};
  while (c.token == 0 && call<VXReadersEnumNext_fn>(kReadersEnumNext)(e, &reader) >= 0) {
    const std::string name = vxdk_reader_name(reader);
    if (reader.token_present == 0) continue;
    if (!wanted.empty() && strcasecmp(wanted.c_str(), name.c_str()) != 0) continue;
    if (call<VXTokenBind_fn>(kTokenBind)(&c.token, name.c_str()) != 0) {
      c.token = 0;
      QERR(ERRLIB_VEXIL, VXBIO_F_BIND, VXBIO_R_PASSED_UP);
    }
  }
  call<VXReadersEnumClose_fn>(kReadersEnumClose)(e);
  if (c.token == 0) {
    QERR(ERRLIB_BIO, VXBIO_F_TOUCH, VXBIO_R_NO_READER);
    return false;
  }
  if (options != nullptr) {
    if ((options->flags & MEDIUM_OPT_LOGIN_1) != 0) c.flags = VXSDK_FLAG_LOGOUT_EACH;
    if ((options->flags & MEDIUM_OPT_LOGIN_2) != 0) c.protection = 1;
    if ((options->flags & MEDIUM_OPT_PASSWORD) != 0) set_password(c, options->password);
  }
  c.medium = medium;
  const std::size_t colon = medium.find(':');
  for (char ch : colon == std::string::npos ? medium : medium.substr(colon + 1)) {
    if (ch != '\\' && ch != '/') c.path.push_back(ch);
  }
  if (strncasecmp(c.path.c_str(), "3f00e007", 8) == 0) {
    c.path.erase(0, 8);
  } else if (strncasecmp(c.path.c_str(), "3f006666e007", 12) == 0) {
    c.path.erase(0, 12);
  } else {
    QERR(ERRLIB_BIO, VXBIO_F_CHDIR, VXBIO_R_PASSED_UP);
    return false;
  }
  if (!walk(c, create, absent)) {
    if (!*absent) QERR(ERRLIB_BIO, VXBIO_F_CHDIR, VXBIO_R_PASSED_UP);
    return false;
  }
  return true;
}

bool read_whole_file(Ctx& c) {
  VXObjectInfo info{};
  if (c.file == 0 ||
      sdk_call(c, VXBIO_F_FILE_INFO, false, [&] { return call<VXFileGetInfo_fn>(kFileGetInfo)(c.file, &info); }) < 0) {
    return false;
  }
  if (info.size == 0) return true;
  std::vector<unsigned char, WipingAllocator<unsigned char>> bytes(info.size);
  const int32_t got = sdk_call(c, VXBIO_F_FILE_READ, false, [&] {
    CryptoLockGuard guard(CRYPTO_LOCK_VEXIL);
    return call<VXFileRead_fn>(kFileRead)(c.file, 0, VX_READ_TO_END, bytes.data(), static_cast<uint32_t>(bytes.size()));
  });
  // Success is 0; the bytes read are min(count, size), the whole file.
  if (got < 0) return false;
  c.buffer.assign(bytes.data(), bytes.size());
  return true;
}

int32_t write_at_zero(Ctx& c, VXHANDLE file, const unsigned char* data, std::size_t n) {
  return sdk_call(c, VXBIO_F_FILE_WRITE, false, [&] {
    CryptoLockGuard guard(CRYPTO_LOCK_VEXIL);
    return call<VXFileWrite_fn>(kFileWrite)(file, 0, data, static_cast<uint16_t>(n));
  });
}

// Zeroes and deletes an open file; the handle is closed either way.
bool wipe_and_delete(Ctx& c, VXHANDLE& file, std::size_t size) {
  const std::vector<unsigned char> zeros(size, 0);
  const bool ok =
      (size == 0 || write_at_zero(c, file, zeros.data(), size) >= 0) &&
      sdk_call(c, VXBIO_F_FILE_DELETE, false, [&] { return call<VXFileDelete_fn>(kFileDelete)(file); }) >= 0;
  call<VXFileClose_fn>(kFileClose)(file);
  file = 0;
  return ok;
}

// Puts the buffer on the token. A file of the same size is overwritten in
// place; one of another size has to be deleted first (the SDK's files have
// a fixed size), and a failure after that point says that the old content
// is gone.
int write_back(Ctx& c) {
  if (!c.open || (c.open_flags & BIO_FP_WRITE) == 0 || (c.flags & VXSDK_FLAG_DELETED) != 0) return 1;
  if ((c.open_flags & BIO_FP_READ) != 0 && !c.written) return 1;
  const std::size_t n = c.buffer.pending();
  if (n > 0xFFFF) {
    QERR(ERRLIB_BIO, VXBIO_F_WRITE_BACK, VXBIO_R_FILE_TOO_LARGE);
    return 0;
  }
  VXHANDLE old = c.file;
  c.file = 0;
  if (old == 0) {
    const int32_t rc = sdk_call(c, VXBIO_F_FILE_OPEN, true,
                                [&] { return call<VXFileOpen_fn>(kFileOpen)(&old, c.directory, c.file_id); });
    if (rc < 0 && rc != VX_FILE_NOT_FOUND) {
      QERR(ERRLIB_BIO, VXBIO_F_WRITE_BACK, VXBIO_R_PASSED_UP);
      return 0;
    }
    if (rc < 0) old = 0;
  }
  const bool replaced = old != 0;
  if (old != 0) {
    VXObjectInfo info{};
    if (sdk_call(c, VXBIO_F_FILE_INFO, false, [&] { return call<VXFileGetInfo_fn>(kFileGetInfo)(old, &info); }) < 0) {
      call<VXFileClose_fn>(kFileClose)(old);
      QERR(ERRLIB_BIO, VXBIO_F_WRITE_BACK, VXBIO_R_PASSED_UP);
      return 0;
    }
    if (info.size == n) {
      const bool ok = n == 0 || write_at_zero(c, old, c.buffer.data(), n) >= 0;
      call<VXFileClose_fn>(kFileClose)(old);
      if (!ok) QERR(ERRLIB_BIO, VXBIO_F_WRITE_BACK, VXBIO_R_OLD_FILE_LOST);
      return ok ? 1 : 0;
    }
    if (!wipe_and_delete(c, old, info.size)) {
      QERR(ERRLIB_BIO, VXBIO_F_WRITE_BACK, VXBIO_R_OLD_FILE_LOST);
      return 0;
    }
  }
  VXHANDLE fresh = 0;
  if (sdk_call(c, VXBIO_F_FILE_CREATE, false, [&] {
        return call<VXFileCreate_fn>(kFileCreate)(&fresh, c.directory, c.file_id, static_cast<uint16_t>(n),
                                                  c.protection);
      }) < 0) {
    QERR(ERRLIB_BIO, VXBIO_F_WRITE_BACK, replaced ? VXBIO_R_OLD_FILE_LOST : VXBIO_R_PASSED_UP);
    return 0;
  }
  if (n > 0 && write_at_zero(c, fresh, c.buffer.data(), n) < 0) {
    // A file that holds zeros instead of the content must not stay behind.
    call<VXFileDelete_fn>(kFileDelete)(fresh);
    call<VXFileClose_fn>(kFileClose)(fresh);
    QERR(ERRLIB_BIO, VXBIO_F_WRITE_BACK, replaced ? VXBIO_R_OLD_FILE_LOST : VXBIO_R_PASSED_UP);
    return 0;
  }
  call<VXFileClose_fn>(kFileClose)(fresh);
  return 1;
}

int open_file(BIO* bio, Ctx& c, const char* path, int flags) {
  if (c.open) {
    const int ok = write_back(c);
    c.release();
    if (ok == 0) {
      QERR(ERRLIB_BIO, VXBIO_F_SET_FILE_NAME, VXBIO_R_WRITE_BACK_BEFORE_REOPEN);
      return 0;
    }
  }
  if ((flags & (BIO_FP_READ | BIO_FP_WRITE)) == 0) {
    QERR(ERRLIB_BIO, VXBIO_F_SET_FILE_NAME, VXBIO_R_NO_READ_OR_WRITE);
    return 0;
  }
  const auto* options = static_cast<const MEDIUM_OPEN_OPTIONS*>(BIO_get_ex_data(bio, 0));
  const bool read = (flags & BIO_FP_READ) != 0;
  bool absent = false;
  if (!touch(c, path, !read, options, &absent) || (read && (c.is_directory || !read_whole_file(c)))) {
    c.release();
    QERR(ERRLIB_BIO, VXBIO_F_SET_FILE_NAME, VXBIO_R_PASSED_UP);
    return 0;
  }
  c.open = true;
  c.open_flags = flags;
  return 1;
}

Ctx* ctx_of(BIO* bio) { return static_cast<Ctx*>(BIO_get_data(bio)); }

int bio_create(BIO* bio) {
  if (!sdk().bound) return 0;
  auto* c = new (std::nothrow) Ctx();
  if (c == nullptr) return 0;
  c->callback = sdk().callback;
  BIO_set_data(bio, c);
  BIO_set_init(bio, 1);
  return 1;
}

using Ops = TokenBioOps<Ctx, write_back>;

long bio_ctrl(BIO* bio, int cmd, long num, void* ptr) {
  Ctx* c = ctx_of(bio);
  if (c == nullptr || !sdk().bound) return 0;
  switch (cmd) {
    case BIO_CTRL_RESET:
    case BIO_CTRL_FLUSH: {
      const int ok = write_back(*c);
      c->release();
      return ok;
    }
    case BIO_C_SET_FILENAME:
      return open_file(bio, *c, static_cast<const char*>(ptr), static_cast<int>(num));
    case VXBIO_CTRL_SET_PASSWORD_CALLBACK:
      c->callback = reinterpret_cast<TOKEN_PASSWORD_CALLBACK>(ptr);
      return 1;
    case VXBIO_CTRL_SET_PROTECTION:
      c->protection = static_cast<int32_t>(num);
      return 1;
    case VXBIO_CTRL_SET_PASSWORD:
      set_password(*c, static_cast<const char*>(ptr));
      return 1;
    case VXBIO_CTRL_SET_CALLBACK_ARG:
      c->callback_argument = ptr;
      return 1;
    case VXBIO_CTRL_GET_FLAGS:
      return static_cast<long>(c->flags);
    case VXBIO_CTRL_SET_FLAGS:
      c->flags = static_cast<uint32_t>(num);
      return 1;
    default:
      return 0;
  }
}

BIO_METHOD* make_method() {
  BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "Vexil");
  if (m == nullptr) return nullptr;
  BIO_meth_set_write(m, Ops::write);
  BIO_meth_set_read(m, Ops::read);
  BIO_meth_set_puts(m, Ops::puts);
  BIO_meth_set_gets(m, Ops::gets);
  BIO_meth_set_ctrl(m, bio_ctrl);
  BIO_meth_set_create(m, bio_create);
  BIO_meth_set_destroy(m, Ops::destroy);
  return m;
}

// Opens a path for the helpers below; null when it does not open.
std::unique_ptr<Ctx> open_ctx(const char* path, const MEDIUM_OPEN_OPTIONS* options, bool* absent) {
  bool dummy = false;
  if (absent == nullptr) absent = &dummy;
  if (!sdk().bound) return nullptr;
  auto c = std::make_unique<Ctx>();
  c->callback = sdk().callback;
  if (!touch(*c, path, false, options, absent)) return nullptr;
  return c;
}

}  // namespace

VEXIL_FILE_INFO* VEXIL_FILE_INFO_new() {
  auto* e = new (std::nothrow) VEXIL_FILE_INFO{};
  if (e == nullptr) QERR(ERRLIB_VEXIL, VEXIL_F_FILE_INFO_NEW, VXBIO_R_MEMORY);
  return e;
}

void vxdk_file_info_free(VEXIL_FILE_INFO* entry) { delete entry; }

std::string vxdk_reader_name(const VXReaderInfo& info) {
  return std::string(info.name, strnlen(info.name, sizeof info.name - 1));
}

void vxdk_fill_entry(VEXIL_FILE_INFO* entry, const VXObjectInfo& info, bool folder) {
  if (entry == nullptr) return;
  std::snprintf(entry->name, sizeof entry->name, "%04x", static_cast<unsigned>(info.id));
  entry->is_directory = folder ? 1 : 0;
  entry->is_file = folder ? 0 : 1;
  entry->sdk_flags = info.flags;
  entry->reserved = 0;
  entry->size = folder ? 0 : info.size;
}

int load_token_sdk() { return sdk().load("vxsdk", kNames); }

void unload_token_sdk() { sdk().unload(); }

int vxdk_bound() { return sdk().bound ? 1 : 0; }

void vxdk_set_password_callback(TOKEN_PASSWORD_CALLBACK callback) { sdk().callback = callback; }

const BIO_METHOD* BIO_s_vxdk() {
  static BIO_METHOD* method = make_method();
  return method;
}

int vxdk_present(const char* path) {
  const bool ok = open_ctx(path, nullptr, nullptr) != nullptr;
  ERR_clear_error();
  return ok ? 1 : 0;
}

int vxdk_is_directory(const char* path) {
  const std::unique_ptr<Ctx> c = open_ctx(path, nullptr, nullptr);
  ERR_clear_error();
  return c != nullptr && c->is_directory ? 1 : 0;
}

int vxdk_list_directory(const char* path, std::vector<VEXIL_FILE_INFO*>* out) {
  const std::unique_ptr<Ctx> c = open_ctx(path, nullptr, nullptr);
  if (c == nullptr || !c->is_directory || out == nullptr) return 0;
  auto walk_list = [&](Fn open, Fn next, Fn close, bool folders) {
    VXHANDLE e = 0;
    if (sdk_call(*c, VXBIO_F_FOLDER_INFO, false, [&] { return call<VXDirEnumOpen_fn>(open)(&e, c->directory); }) < 0) {
      return false;
    }
    bool ok = true;
    for (;;) {
      VXObjectInfo info{};
      const int32_t rc = call<VXDirEnumNext_fn>(next)(e, &info);
      if (rc == VX_END_OF_LIST) break;
      if (rc < 0) {
        ok = false;
        break;
      }
      VEXIL_FILE_INFO* entry = VEXIL_FILE_INFO_new();
      if (entry == nullptr) {
        ok = false;
        break;
      }
      vxdk_fill_entry(entry, info, folders);
      out->push_back(entry);
    }
    call<VXDirEnumClose_fn>(close)(e);
    return ok;
  };
  return walk_list(kDirEnumOpen, kDirEnumNext, kDirEnumClose, true) &&
                 walk_list(kFilesEnumOpen, kFilesEnumNext, kFilesEnumClose, false)
             ? 1
             : 0;
}

int VXSDK_delete(BIO* bio) {
  Ctx* c = bio != nullptr ? ctx_of(bio) : nullptr;
  if (c == nullptr || !c->open || c->is_directory) return 0;
  if (c->file == 0 && sdk_call(*c, VXBIO_F_FILE_OPEN, false, [&] {
                        return call<VXFileOpen_fn>(kFileOpen)(&c->file, c->directory, c->file_id);
                      }) < 0) {
    return 0;
  }
  VXObjectInfo info{};
  if (sdk_call(*c, VXBIO_F_FILE_INFO, false, [&] { return call<VXFileGetInfo_fn>(kFileGetInfo)(c->file, &info); }) <
      0) {
    return 0;
  }
  c->flags |= VXSDK_FLAG_DELETED;
  return wipe_and_delete(*c, c->file, info.size) ? 1 : 0;
}

int vxdk_erase(const char* path, uint32_t opt_flags, const char* opt_password) {
  MEDIUM_OPEN_OPTIONS options{opt_flags, opt_password};
  bool absent = false;
  const std::unique_ptr<Ctx> c = open_ctx(path, &options, &absent);
  if (c == nullptr) {
    if (absent) ERR_clear_error();
    return absent ? 1 : 0;
  }
  if (c->is_directory) return 0;
  VXObjectInfo info{};
  if (sdk_call(*c, VXBIO_F_FILE_INFO, false, [&] { return call<VXFileGetInfo_fn>(kFileGetInfo)(c->file, &info); }) <
      0) {
    return 0;
  }
  return wipe_and_delete(*c, c->file, info.size) ? 1 : 0;
}

std::string vxdk_normalise(const char* text, std::size_t keyword_length) {
  std::string s = text != nullptr ? text : "";
  if (s.size() < keyword_length) return s;
  std::size_t sep = s.find(":\\");
  const std::size_t alt = s.find(":/");
  if (sep == std::string::npos || (alt != std::string::npos && alt < sep)) sep = alt;
  if (sep == std::string::npos) return s;
  const std::string rest = s.substr(sep + 2);
  if (strncasecmp(rest.c_str(), "3f00", 4) == 0) return s;
  std::string out = s.substr(0, sep + 2) + "3f00\\e007";
  if (!rest.empty()) out += "\\" + rest;
  return out;
}

}  // namespace qcrypto
