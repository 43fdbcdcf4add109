#include "crypto/bio/vexil_bio.h"

#include <openssl/err.h>
#include <strings.h>

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "crypto/bio/media.h"
#include "crypto/bio/media_buffer.h"
#include "crypto/bio/token_bio_ops.h"
#include "crypto/bio/token_codes.h"
#include "platform/dynlib.h"

namespace qcrypto {
namespace {

enum Fn : std::size_t {
  kInit,
  kClose,
  kLogin,
  kLogout,
  kChangePassword,
  kCreateDirectory,
  kCreateFile,
  kDelete,
  kWrite,
  kRead,
  kIsFileExist,
  kGetFileInfo,
  kGetConfig,
  kListFiles,
  kFnCount
};

constexpr std::array<const char*, kFnCount> kNames = {
    "VEXIL_init",        "VEXIL_close",           "VEXIL_login",
    "VEXIL_logout",      "VEXIL_change_password", "VEXIL_create_directory",
    "VEXIL_create_file", "VEXIL_delete",          "VEXIL_write",
    "VEXIL_read",        "VEXIL_is_file_exist",   "VEXIL_get_file_info",
    "VEXIL_get_config",  "VEXIL_list_files"};

constexpr std::string_view kKeyword = "vxR2";
constexpr const char* kReaderPrefix = "QRL ifdh ";

using Api = TokenDriver<kFnCount>;

Api& api() {
  static Api* a = new Api();
  return *a;
}

template <class F>
F call(Fn i) {
  return reinterpret_cast<F>(api().fn[i]);
}

struct Ctx {
  VEXIL_API_CTX sess{};
  VEXIL_API_FILE_INFO info{};
  MediaBuffer buffer;
  TOKEN_PASSWORD_CALLBACK bio_callback = nullptr;
  std::string path;
  int32_t protection = 0;
  uint32_t flags = 0;
  bool open = false;
  int open_flags = 0;
  // Written to since the open. A read-write open that only read must not
  // put back the unread rest of its buffer in place of the file.
  bool written = false;
  bool initialised = false;

  Ctx() = default;
  Ctx(const Ctx&) = delete;
  Ctx& operator=(const Ctx&) = delete;
  ~Ctx() { release(); }
  void release() {
    if (initialised && api().bound) call<VEXIL_close_fn>(kClose)(&sess);
    initialised = false;
    buffer.clear();
    path.clear();
    open = false;
    written = false;
  }
};

void raise_pending(const Ctx& c, int function, int reason) {
  if (c.sess.err_function != 0) {
    ERR_push_error(ERRLIB_VEXIL, c.sess.err_function, c.sess.err_reason,
                   c.sess.err_file != nullptr ? c.sess.err_file : "vxapi", c.sess.err_line);
  }
  QERR(ERRLIB_BIO, function, reason);
}

std::string ids_of(const std::string& medium) {
  const std::size_t colon = medium.find(':');
  std::string out;
  for (char ch : colon == std::string::npos ? medium : medium.substr(colon + 1)) {
    if (ch != '\\' && ch != '/') out.push_back(ch);
  }
  return out;
}

// The readers a path allows: one named by a digit or a name, else 0 to 9.
std::vector<std::string> readers_of(const std::string& medium) {
  std::size_t i = kKeyword.size();
  if (i < medium.size() && (medium[i] == '/' || medium[i] == '\\')) {
    std::size_t end = medium.find(":/", i);
    const std::size_t alt = medium.find(":\\", i);
    if (end == std::string::npos || (alt != std::string::npos && alt < end)) end = alt;
    std::string name = medium.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
    if (name.size() > 255) name.resize(255);
    return {name};
  }
  while (i < medium.size() && medium[i] == ' ') ++i;
  if (i < medium.size() && medium[i] >= '0' && medium[i] <= '9') return {std::string(kReaderPrefix) + medium[i]};
  std::vector<std::string> all;
  for (int n = 0; n <= 9; ++n) all.push_back(std::string(kReaderPrefix) + std::to_string(n));
  return all;
}

bool init_for(Ctx& c, const std::string& reader) {
  c.release();
  c.sess = VEXIL_API_CTX{};
  c.sess.password_callback = c.bio_callback != nullptr ? c.bio_callback : api().callback;
  if (call<VEXIL_init_fn>(kInit)(&c.sess, reader.c_str()) == 0) {
    raise_pending(c, VXBIO_F_SET_FILE_NAME, VXBIO_R_WRITE_BACK_BEFORE_REOPEN);
    return false;
  }
  c.initialised = true;
  return true;
}

// The first reader that holds the path (the presence walk; a reader that
// cannot be initialised ends it). `absent` is set only when a token
// answered that the path is not there and no reader failed otherwise: a
// token that could not be asked proves nothing, and an erase must not take
// it for a file already gone.
std::unique_ptr<Ctx> open_existing(const char* text, bool* absent = nullptr) {
  bool not_found = false;
  bool failed = false;
  if (absent != nullptr) *absent = false;
  if (!api().bound || text == nullptr) return nullptr;
  const std::string medium = vxdk_normalise(text, kKeyword.size());
  auto c = std::make_unique<Ctx>();
  const std::string ids = ids_of(medium);
  for (const std::string& reader : readers_of(medium)) {
    if (!init_for(*c, reader)) break;
    if (call<VEXIL_is_file_exist_fn>(kIsFileExist)(&c->sess, ids.c_str()) != 0) {
      if (call<VEXIL_get_file_info_fn>(kGetFileInfo)(&c->sess, ids.c_str(), &c->info) == 0) {
        raise_pending(*c, VXBIO_F_VXAPI_GET_INFO, VXBIO_R_WRITE_BACK_BEFORE_REOPEN);
        return nullptr;
      }
      c->path = ids;
      return c;
    }
    if (c->sess.err_reason == VXAPI_R_NOT_FOUND) {
      not_found = true;
    } else if (c->sess.err_reason != VXAPI_R_NO_TOKEN) {
      failed = true;
      raise_pending(*c, VXBIO_F_VXAPI_GET_INFO, VXBIO_R_WRITE_BACK_BEFORE_REOPEN);
    }
  }
  // No token in any reader: the API's word for that goes to the caller.
  if (!not_found && !failed && c->initialised)
    raise_pending(*c, VXBIO_F_VXAPI_GET_INFO, VXBIO_R_WRITE_BACK_BEFORE_REOPEN);
  if (absent != nullptr) *absent = not_found && !failed;
  return nullptr;
}

// A write the API refused at its log-in never reached the token.
bool refused_at_login(const Ctx& c) {
  return c.sess.err_reason == VXAPI_R_LOGIN_FAILED || c.sess.err_reason == VXAPI_R_PIN_LOCKED;
}

// Writes the buffer back: in place when the file keeps its size; otherwise
// the old file has to go first (fixed-size token files), and a failure
// after that says the old content is lost.
int write_back(Ctx& c) {
  if (!c.open || (c.open_flags & BIO_FP_WRITE) == 0 || (c.flags & VXSDK_FLAG_DELETED) != 0) return 1;
  if ((c.open_flags & BIO_FP_READ) != 0 && !c.written) return 1;
  const std::size_t n = c.buffer.pending();
  if (n > 0xFFFF) {
    QERR(ERRLIB_BIO, VXBIO_F_VXAPI_GET_INFO, VXBIO_R_FILE_TOO_LARGE);
    return 0;
  }
  const char* p = c.path.c_str();
  const int len = static_cast<int>(n);
  bool replaced = false;
  // Only an answer of "not there" lets the file be created: a look-up that
  // failed says nothing about the file the creation would run into.
  c.sess.err_function = 0;
  c.sess.err_reason = 0;
  const bool exists = call<VEXIL_is_file_exist_fn>(kIsFileExist)(&c.sess, p) != 0;
  if (!exists && c.sess.err_reason != VXAPI_R_NOT_FOUND) {
    raise_pending(c, VXBIO_F_VXAPI_GET_INFO, VXBIO_R_WRITE_BACK_BEFORE_REOPEN);
    return 0;
  }
  if (exists) {
    VEXIL_API_FILE_INFO info{};
    if (call<VEXIL_get_file_info_fn>(kGetFileInfo)(&c.sess, p, &info) == 0 || info.is_directory != 0) {
      raise_pending(c, VXBIO_F_VXAPI_GET_INFO, VXBIO_R_WRITE_BACK_BEFORE_REOPEN);
      return 0;
    }
    if (vx_file_size(info) < 0) {
      QERR(ERRLIB_BIO, VXBIO_F_VXAPI_GET_INFO, VXBIO_R_FILE_TOO_LARGE);
      return 0;
    }
    if (static_cast<std::size_t>(info.size) == n) {
      if (n > 0 && call<VEXIL_write_fn>(kWrite)(&c.sess, p, c.buffer.data(), 0, len) == 0) {
        raise_pending(c, VXBIO_F_VXAPI_GET_INFO,
                      refused_at_login(c) ? VXBIO_R_WRITE_BACK_BEFORE_REOPEN : VXBIO_R_OLD_FILE_LOST);
        return 0;
      }
      return 1;
    }
    replaced = true;
    const std::vector<unsigned char> zeros(static_cast<std::size_t>(info.size), 0);
    if (info.size > 0 && call<VEXIL_write_fn>(kWrite)(&c.sess, p, zeros.data(), 0, info.size) == 0) {
      raise_pending(c, VXBIO_F_VXAPI_GET_INFO,
                    refused_at_login(c) ? VXBIO_R_WRITE_BACK_BEFORE_REOPEN : VXBIO_R_OLD_FILE_LOST);
      return 0;
    }
    if (call<VEXIL_delete_fn>(kDelete)(&c.sess, p) == 0) {
      // Past the wipe the old content is gone even when the deletion fails.
      raise_pending(c, VXBIO_F_VXAPI_GET_INFO,
                    info.size == 0 && refused_at_login(c) ? VXBIO_R_WRITE_BACK_BEFORE_REOPEN : VXBIO_R_OLD_FILE_LOST);
      return 0;
    }
  } else {
    for (std::size_t k = 4; k < c.path.size(); k += 4) {
      if (call<VEXIL_create_directory_fn>(kCreateDirectory)(&c.sess, c.path.substr(0, k).c_str(), 0) == 0) {
        raise_pending(c, VXBIO_F_VXAPI_GET_INFO, VXBIO_R_WRITE_BACK_BEFORE_REOPEN);
        return 0;
      }
    }
  }
  const int lost_or_failed = replaced ? VXBIO_R_OLD_FILE_LOST : VXBIO_R_WRITE_BACK_BEFORE_REOPEN;
  if (call<VEXIL_create_file_fn>(kCreateFile)(&c.sess, p, len, c.protection) == 0) {
    raise_pending(c, VXBIO_F_VXAPI_GET_INFO, lost_or_failed);
    return 0;
  }
  if (n > 0 && call<VEXIL_write_fn>(kWrite)(&c.sess, p, c.buffer.data(), 0, len) == 0) {
    // Zeros in place of the content must not stay behind as the file.
    call<VEXIL_delete_fn>(kDelete)(&c.sess, p);
    raise_pending(c, VXBIO_F_VXAPI_GET_INFO, lost_or_failed);
    return 0;
  }
  return 1;
}

int open_file(Ctx& c, const char* text, int flags) {
  if (c.open) {
    const int ok = write_back(c);
    c.release();
    if (ok == 0) return 0;
  }
  if ((flags & (BIO_FP_READ | BIO_FP_WRITE)) == 0) {
    QERR(ERRLIB_BIO, VXBIO_F_SET_FILE_NAME, VXBIO_R_NO_READ_OR_WRITE);
    return 0;
  }
  if (text == nullptr) return 0;
  const std::string medium = vxdk_normalise(text, kKeyword.size());
  bool found = false;
  for (const std::string& reader : readers_of(medium)) {
    if (!init_for(c, reader)) return 0;
    if (call<VEXIL_get_config_fn>(kGetConfig)(&c.sess) != 0) {
      found = true;
      break;
    }
  }
  if (!found) {
    raise_pending(c, VXBIO_F_SET_FILE_NAME, VXBIO_R_WRITE_BACK_BEFORE_REOPEN);
    c.release();
    return 0;
  }
  c.path = ids_of(medium);
  if ((flags & BIO_FP_READ) != 0) {
    if (call<VEXIL_get_file_info_fn>(kGetFileInfo)(&c.sess, c.path.c_str(), &c.info) == 0 || c.info.is_directory != 0) {
      raise_pending(c, VXBIO_F_SET_FILE_NAME, VXBIO_R_WRITE_BACK_BEFORE_REOPEN);
      c.release();
      return 0;
    }
    // The size sizes the buffer: an answer no token file can give is
    // refused rather than allocated.
    if (vx_file_size(c.info) < 0) {
      QERR(ERRLIB_BIO, VXBIO_F_SET_FILE_NAME, VXBIO_R_FILE_TOO_LARGE);
      c.release();
      return 0;
    }
    std::vector<unsigned char, WipingAllocator<unsigned char>> bytes(static_cast<std::size_t>(c.info.size));
    if (!bytes.empty() && call<VEXIL_read_fn>(kRead)(&c.sess, c.path.c_str(), bytes.data(), 0, c.info.size) == 0) {
      raise_pending(c, VXBIO_F_SET_FILE_NAME, VXBIO_R_WRITE_BACK_BEFORE_REOPEN);
      c.release();
      return 0;
    }
    c.buffer.assign(bytes.data(), bytes.size());
  }
  c.open = true;
  c.open_flags = flags;
  return 1;
}

Ctx* ctx_of(BIO* bio) { return static_cast<Ctx*>(BIO_get_data(bio)); }

int bio_create(BIO* bio) {
  if (!api().bound) return 0;
  auto* c = new (std::nothrow) Ctx();
  if (c == nullptr) {
    QERR(ERRLIB_VEXIL, VEXIL_F_CTX_NEW, VXBIO_R_MEMORY);
    return 0;
  }
  BIO_set_data(bio, c);
  BIO_set_init(bio, 1);
  return 1;
}

using Ops = TokenBioOps<Ctx, write_back>;

long bio_ctrl(BIO* bio, int cmd, long num, void* ptr) {
  Ctx* c = ctx_of(bio);
  if (c == nullptr || !api().bound) return 0;
  switch (cmd) {
    case BIO_CTRL_RESET:
    case BIO_CTRL_FLUSH: {
      const int ok = write_back(*c);
      c->release();
      return ok;
    }
    case BIO_C_SET_FILENAME:
      return open_file(*c, static_cast<const char*>(ptr), static_cast<int>(num));
    case VXBIO_CTRL_SET_PASSWORD_CALLBACK:
      c->bio_callback = reinterpret_cast<TOKEN_PASSWORD_CALLBACK>(ptr);
      return 1;
    case VXBIO_CTRL_SET_PROTECTION:
      c->protection = static_cast<int32_t>(num);
      return 1;
    default:
      return 0;
  }
}

BIO_METHOD* make_method() {
  BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "Vexil R2");
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

}  // namespace

int vx_file_size(const VEXIL_API_FILE_INFO& info) {
  return info.is_directory == 0 && info.size >= 0 && info.size <= 0xFFFF ? info.size : -1;
}

int vx_list_append(void* list, const char* name, int is_directory, int size) {
  auto* out = static_cast<std::vector<VEXIL_FILE_INFO*>*>(list);
  if (out == nullptr) return 0;
  VEXIL_FILE_INFO* e = VEXIL_FILE_INFO_new();
  if (e == nullptr) return 0;
  std::snprintf(e->name, sizeof e->name, "%.4s", name != nullptr ? name : "");
  e->is_directory = is_directory != 0 ? 1 : 0;
  e->is_file = is_directory != 0 ? 0 : 1;
  e->size = is_directory != 0 ? 0 : size;
  try {
    out->push_back(e);
  } catch (const std::bad_alloc&) {
    vxdk_file_info_free(e);
    QERR(ERRLIB_VEXIL, VEXIL_F_FILE_INFO_NEW, VXBIO_R_MEMORY);
    return 0;
  }
  return 1;
}

int VEXIL_load() { return api().load("vxapi.dll", kNames); }

void VEXIL_unload() { api().unload(); }

int VEXIL_bound() { return api().bound ? 1 : 0; }

void vx_set_password_callback(TOKEN_PASSWORD_CALLBACK callback) {
  api().callback = callback;
  vxdk_set_password_callback(callback);
}

const BIO_METHOD* BIO_s_vexil() {
  static BIO_METHOD* method = make_method();
  return method;
}

int vx_present(const char* path) {
  if (media_is_vexil(path) != 0) {
    if (vxdk_present(path) == 0) return 0;
    return vxdk_is_directory(path) != 0 ? MEDIA_KIND_DIRECTORY : MEDIA_KIND_FILE;
  }
  const std::unique_ptr<Ctx> c = open_existing(path);
  ERR_clear_error();
  if (c == nullptr) return 0;
  return c->info.is_directory != 0 ? MEDIA_KIND_DIRECTORY : MEDIA_KIND_FILE;
}

int vx_token_present(const char* medium) {
  std::string m = medium != nullptr ? medium : "vxR2";
  const std::size_t colon = m.find(':');
  if (colon != std::string::npos) m.resize(colon);
  if (media_is_vexil(m.c_str()) != 0) return vxdk_present((m + ":/3f00e007").c_str());
  return vx_present((m + ":/3f00").c_str()) > 0 ? 1 : 0;
}

int vx_list_files(const char* path, std::vector<VEXIL_FILE_INFO*>* out) {
  const std::unique_ptr<Ctx> c = open_existing(path);
  if (c == nullptr || out == nullptr) return 0;
  return call<VEXIL_list_files_fn>(kListFiles)(&c->sess, c->path.c_str(), out, vx_list_append);
}

int vx_erase(const char* path) {
  bool absent = false;
  const std::unique_ptr<Ctx> c = open_existing(path, &absent);
  if (c == nullptr) {
    // Nothing to erase only when a token said so; a failed look-up, or no
    // token at all, is no erase.
    if (absent) ERR_clear_error();
    return absent ? 1 : 0;
  }
  if (vx_file_size(c->info) < 0) {
    if (c->info.is_directory == 0) QERR(ERRLIB_BIO, VXBIO_F_VXAPI_GET_INFO, VXBIO_R_FILE_TOO_LARGE);
    return 0;
  }
  const std::vector<unsigned char> zeros(static_cast<std::size_t>(c->info.size), 0);
  const char* p = c->path.c_str();
  if ((c->info.size > 0 && call<VEXIL_write_fn>(kWrite)(&c->sess, p, zeros.data(), 0, c->info.size) == 0) ||
      call<VEXIL_delete_fn>(kDelete)(&c->sess, p) == 0) {
    raise_pending(*c, VXBIO_F_VXAPI_GET_INFO, VXBIO_R_WRITE_BACK_BEFORE_REOPEN);
    return 0;
  }
  return 1;
}

}  // namespace qcrypto
