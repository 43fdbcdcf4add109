// Stand-in for the token SDK library "vxsdk": the 31 exports of its calling
// contract over the folder tree of token_tree.h. Reading and writing files
// and creating or deleting them need a login; folders do not.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "crypto/bio/media_drivers.h"
#include "stand-ins/media/media_control.h"
#include "stand-ins/media/token_tree.h"

namespace fs = std::filesystem;

namespace {

enum class Kind { Readers, Token, Dir, File, Enum };

struct Obj {
  // A handle is the address of this word, as in the SDK.
  int32_t type_word = 0;
  Kind kind = Kind::Readers;
  std::string reader;
  VXHANDLE token = 0;
  fs::path path;
  uint16_t id = 0;
  bool logged_in = false;
  std::vector<VXReaderInfo> readers;
  std::vector<VXObjectInfo> entries;
  std::size_t next = 0;
};

std::mutex g_mutex;
std::map<VXHANDLE, std::unique_ptr<Obj>> g_objects;

VXHANDLE add(Obj o) {
  auto owned = std::make_unique<Obj>(std::move(o));
  owned->type_word = static_cast<int32_t>(owned->kind) + 1;
  const VXHANDLE h = &owned->type_word;
  g_objects[h] = std::move(owned);
  return h;
}

Obj* find(VXHANDLE h, Kind kind) {
  const auto it = g_objects.find(h);
  return it != g_objects.end() && it->second->kind == kind ? it->second.get() : nullptr;
}

// The token behind a handle, still in its reader.
Obj* live_token(VXHANDLE token) {
  Obj* t = find(token, Kind::Token);
  if (t == nullptr || standin::token_folder(t->reader).empty()) return nullptr;
  return t;
}

// A scripted failure, a missing device or a missing login, in that order.
int32_t gate(const char* name, VXHANDLE token, bool needs_login) {
  if (standin::media_call(name)) return VX_DEVICE_ERROR;
  if (!standin::media_device_present()) return VX_REMOVED_CARD;
  if (token != 0) {
    const Obj* t = live_token(token);
    if (t == nullptr) return VX_REMOVED_CARD;
    if (needs_login && !t->logged_in) return VX_SECURITY_NOT_SATISFIED;
  }
  return 0;
}

VXObjectInfo info_of(const fs::path& p, uint16_t id) {
  VXObjectInfo info{};
  info.id = id;
  std::error_code ec;
  // The protection flag: folders have none, files are reported unprotected
  // (the stand-in keeps its protection beside the file).
  info.flags = 0;
  if (!fs::is_directory(p, ec)) {
    info.size = static_cast<uint16_t>(fs::file_size(p, ec));
  }
  return info;
}

int32_t list(VXHANDLE* e, VXHANDLE dir, bool folders) {
  Obj* d = find(dir, Kind::Dir);
  if (d == nullptr || e == nullptr) return VX_DEVICE_ERROR;
  Obj en;
  en.kind = Kind::Enum;
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto& it : fs::directory_iterator(d->path, ec)) names.push_back(it.path().filename().string());
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    uint16_t id = 0;
    if (!standin::parse_id(n, &id)) continue;
    const fs::path p = d->path / n;
    if (fs::is_directory(p, ec) == folders) en.entries.push_back(info_of(p, id));
  }
  *e = add(std::move(en));
  return 0;
}

int32_t enum_next(VXHANDLE e, VXObjectInfo* info) {
  Obj* en = find(e, Kind::Enum);
  if (en == nullptr || info == nullptr) return VX_DEVICE_ERROR;
  if (en->next >= en->entries.size()) return VX_END_OF_LIST;
  *info = en->entries[en->next++];
  return 0;
}

int32_t close_handle(VXHANDLE h) { return g_objects.erase(h) == 1 ? 0 : VX_DEVICE_ERROR; }

}  // namespace

STANDIN_EXPORT int32_t VXReadersEnumOpen(VXHANDLE* e) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  if (standin::media_call("VXReadersEnumOpen") || e == nullptr) return VX_DEVICE_ERROR;
  Obj o;
  o.kind = Kind::Readers;
  for (const std::string& r : standin::token_readers()) {
    VXReaderInfo info{};
    std::snprintf(info.name, sizeof info.name, "%s", r.c_str());
    info.token_present = standin::token_folder(r).empty() ? 0 : 1;
    o.readers.push_back(info);
  }
  *e = add(std::move(o));
  return 0;
}

STANDIN_EXPORT int32_t VXReadersEnumNext(VXHANDLE e, VXReaderInfo* info) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  if (standin::media_call("VXReadersEnumNext")) return VX_DEVICE_ERROR;
  Obj* o = find(e, Kind::Readers);
  if (o == nullptr || info == nullptr) return VX_DEVICE_ERROR;
  if (o->next >= o->readers.size()) return VX_END_OF_LIST;
  *info = o->readers[o->next++];
  return 0;
}

STANDIN_EXPORT int32_t VXReadersEnumClose(VXHANDLE e) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  standin::media_call("VXReadersEnumClose");
  return close_handle(e);
}

STANDIN_EXPORT int32_t VXTokenBind(VXHANDLE* token, const char* reader) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  if (const int32_t rc = gate("VXTokenBind", 0, false); rc < 0) return rc;
  if (token == nullptr || reader == nullptr) return VX_DEVICE_ERROR;
  if (standin::token_folder(reader).empty()) return VX_NO_SMARTCARD;
  Obj o;
  o.kind = Kind::Token;
  o.reader = reader;
  *token = add(std::move(o));
  return 0;
}

STANDIN_EXPORT int32_t VXTokenUnbind(VXHANDLE token) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  standin::media_call("VXTokenUnbind");
  return close_handle(token);
}

STANDIN_EXPORT int32_t VXTokenLogin(VXHANDLE token, const char* pin) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  if (const int32_t rc = gate("VXTokenLogin", token, false); rc < 0) return rc;
  switch (standin::media_check_pin(pin)) {
    case 0:
      find(token, Kind::Token)->logged_in = true;
      return 0;
    case 1:
      return VX_WRONG_PIN | standin::media_tries_left();
    default:
      return VX_PIN_BLOCKED;
  }
}

STANDIN_EXPORT int32_t VXTokenLogout(VXHANDLE token) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  standin::media_call("VXTokenLogout");
  Obj* t = find(token, Kind::Token);
  if (t == nullptr || !t->logged_in) return VX_SECURITY_NOT_SATISFIED;
  t->logged_in = false;
  return 0;
}

STANDIN_EXPORT int32_t VXTokenPinChange(VXHANDLE, const char*) {
  standin::media_call("VXTokenPinChange");
  return VX_DEVICE_ERROR;
}
STANDIN_EXPORT int32_t VXTokenMaxPinGet(VXHANDLE, int32_t* n) {
  standin::media_call("VXTokenMaxPinGet");
  if (n != nullptr) *n = 255;
  return 0;
}
STANDIN_EXPORT int32_t VXTokenMinPinGet(VXHANDLE, int32_t* n) {
  standin::media_call("VXTokenMinPinGet");
  if (n != nullptr) *n = 1;
  return 0;
}
// A null buffer asks for the size; a short one gets a cut text ending in a
// NUL inside it.
int32_t copy_text(const char* text, char* out, uint32_t* size) {
  if (size == nullptr) return VX_E_POINTER;
  if (out == nullptr) {
    *size = static_cast<uint32_t>(std::strlen(text) + 1);
  } else if (*size > 0) {
    std::snprintf(out, *size, "%s", text);
  }
  return 0;
}
STANDIN_EXPORT int32_t VXTokenLabelGet(VXHANDLE, char* out, uint32_t* size) {
  standin::media_call("VXTokenLabelGet");
  return copy_text("stand-in", out, size);
}
STANDIN_EXPORT int32_t VXTokenIDGet(VXHANDLE, char* out, uint32_t* size) {
  standin::media_call("VXTokenIDGet");
  return copy_text("0001", out, size);
}

STANDIN_EXPORT int32_t VXRootDirOpen(VXHANDLE* dir, VXHANDLE token, uint16_t selector) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  if (const int32_t rc = gate("VXRootDirOpen", token, false); rc < 0) return rc;
  if (dir == nullptr || selector != VX_ROOT_SELECTOR) return VX_FILE_NOT_FOUND;
  const fs::path p = fs::path(standin::token_folder(find(token, Kind::Token)->reader)) / "3f00" / "e007";
  std::error_code ec;
  fs::create_directories(p, ec);
  Obj o;
  o.kind = Kind::Dir;
  o.token = token;
  o.path = p;
  o.id = 0xe007;
  *dir = add(std::move(o));
  return 0;
}

STANDIN_EXPORT int32_t VXDirCreate(VXHANDLE* dir, uint16_t id, VXHANDLE parent, int32_t) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  Obj* p = find(parent, Kind::Dir);
  if (p == nullptr || dir == nullptr) return VX_DEVICE_ERROR;
  if (const int32_t rc = gate("VXDirCreate", p->token, false); rc < 0) return rc;
  const fs::path path = p->path / standin::id_name(id);
  std::error_code ec;
  if (fs::exists(path, ec) || !fs::create_directory(path, ec)) return VX_DEVICE_ERROR;
  Obj o;
  o.kind = Kind::Dir;
  o.token = p->token;
  o.path = path;
  o.id = id;
  *dir = add(std::move(o));
  return 0;
}

STANDIN_EXPORT int32_t VXDirOpen(VXHANDLE* dir, uint16_t id, VXHANDLE parent) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  Obj* p = find(parent, Kind::Dir);
  if (p == nullptr || dir == nullptr) return VX_DEVICE_ERROR;
  if (const int32_t rc = gate("VXDirOpen", p->token, false); rc < 0) return rc;
  const fs::path path = p->path / standin::id_name(id);
  std::error_code ec;
  if (!fs::is_directory(path, ec)) return VX_FILE_NOT_FOUND;
  Obj o;
  o.kind = Kind::Dir;
  o.token = p->token;
  o.path = path;
  o.id = id;
  *dir = add(std::move(o));
  return 0;
}

STANDIN_EXPORT int32_t VXDirGetInfo(VXHANDLE dir, VXObjectInfo* info) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  Obj* d = find(dir, Kind::Dir);
  if (d == nullptr || info == nullptr) return VX_DEVICE_ERROR;
  if (const int32_t rc = gate("VXDirGetInfo", d->token, false); rc < 0) return rc;
  *info = info_of(d->path, d->id);
  return 0;
}

STANDIN_EXPORT int32_t VXDirDelete(VXHANDLE) {
  standin::media_call("VXDirDelete");
  return VX_DEVICE_ERROR;
}

STANDIN_EXPORT int32_t VXDirClose(VXHANDLE dir) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  standin::media_call("VXDirClose");
  return close_handle(dir);
}

STANDIN_EXPORT int32_t VXDirEnumOpen(VXHANDLE* e, VXHANDLE dir) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  const Obj* d = find(dir, Kind::Dir);
  if (const int32_t rc = gate("VXDirEnumOpen", d != nullptr ? d->token : 0, false); rc < 0) return rc;
  return list(e, dir, true);
}
STANDIN_EXPORT int32_t VXDirEnumNext(VXHANDLE e, VXObjectInfo* info) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  if (standin::media_call("VXDirEnumNext")) return VX_DEVICE_ERROR;
  return enum_next(e, info);
}
STANDIN_EXPORT int32_t VXDirEnumClose(VXHANDLE e) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  standin::media_call("VXDirEnumClose");
  return close_handle(e);
}
STANDIN_EXPORT int32_t VXFilesEnumOpen(VXHANDLE* e, VXHANDLE dir) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  const Obj* d = find(dir, Kind::Dir);
  if (const int32_t rc = gate("VXFilesEnumOpen", d != nullptr ? d->token : 0, false); rc < 0) return rc;
  return list(e, dir, false);
}
STANDIN_EXPORT int32_t VXFilesEnumNext(VXHANDLE e, VXObjectInfo* info) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  if (standin::media_call("VXFilesEnumNext")) return VX_DEVICE_ERROR;
  return enum_next(e, info);
}
STANDIN_EXPORT int32_t VXFilesEnumClose(VXHANDLE e) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  standin::media_call("VXFilesEnumClose");
  return close_handle(e);
}

STANDIN_EXPORT int32_t VXFileOpen(VXHANDLE* file, VXHANDLE dir, uint16_t id) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  Obj* d = find(dir, Kind::Dir);
  if (d == nullptr || file == nullptr) return VX_DEVICE_ERROR;
  if (const int32_t rc = gate("VXFileOpen", d->token, true); rc < 0) return rc;
  const fs::path path = d->path / standin::id_name(id);
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return VX_FILE_NOT_FOUND;
  Obj o;
  o.kind = Kind::File;
  o.token = d->token;
  o.path = path;
  o.id = id;
  *file = add(std::move(o));
  return 0;
}

STANDIN_EXPORT int32_t VXFileCreate(VXHANDLE* file, VXHANDLE dir, uint16_t id, uint16_t size, int32_t protect) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  Obj* d = find(dir, Kind::Dir);
  if (d == nullptr || file == nullptr) return VX_DEVICE_ERROR;
  if (const int32_t rc = gate("VXFileCreate", d->token, true); rc < 0) return rc;
  const fs::path path = d->path / standin::id_name(id);
  std::error_code ec;
  if (fs::exists(path, ec)) return VX_DEVICE_ERROR;
  {
    std::ofstream out(path, std::ios::binary);
    const std::vector<char> zeros(size, 0);
    out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    if (!out) return VX_NO_SPACE;
  }
  standin::token_mark_protected(path.string(), protect != 0);
  Obj o;
  o.kind = Kind::File;
  o.token = d->token;
  o.path = path;
  o.id = id;
  *file = add(std::move(o));
  return 0;
}

STANDIN_EXPORT int32_t VXFileRead(VXHANDLE file, uint16_t offset, uint16_t count, unsigned char* buffer,
                                  uint32_t buffer_size) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  Obj* f = find(file, Kind::File);
  if (f == nullptr) return VX_DEVICE_ERROR;
  if (const int32_t rc = gate("VXFileRead", f->token, true); rc < 0) return rc;
  std::error_code ec;
  const auto size = static_cast<long>(fs::file_size(f->path, ec));
  if (ec || offset > size) return VX_WRONG_OFFSET;
  long n = size - offset;
  if (count != VX_READ_TO_END && count < n) n = count;
  if (n > static_cast<long>(buffer_size)) return VX_WRONG_OFFSET;
  if (buffer == nullptr) return 0;
  if (standin::media_read_budget(n) != n) return VX_REMOVED_CARD;
  std::ifstream in(f->path, std::ios::binary);
  in.seekg(offset);
  in.read(reinterpret_cast<char*>(buffer), n);
  return in ? 0 : VX_DEVICE_ERROR;
}

STANDIN_EXPORT int32_t VXFileWrite(VXHANDLE file, uint16_t offset, const unsigned char* data, uint16_t length) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  Obj* f = find(file, Kind::File);
  if (f == nullptr || (data == nullptr && length > 0)) return VX_DEVICE_ERROR;
  if (const int32_t rc = gate("VXFileWrite", f->token, true); rc < 0) return rc;
  std::error_code ec;
  const auto size = static_cast<long>(fs::file_size(f->path, ec));
  if (ec || static_cast<long>(offset) + length > size) return VX_WRONG_OFFSET;
  const long take = standin::media_write_budget(length);
  std::fstream io(f->path, std::ios::binary | std::ios::in | std::ios::out);
  io.seekp(offset);
  io.write(reinterpret_cast<const char*>(data), take);
  io.close();
  return take == length ? 0 : VX_REMOVED_CARD;
}

STANDIN_EXPORT int32_t VXFileDelete(VXHANDLE file) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  Obj* f = find(file, Kind::File);
  if (f == nullptr) return VX_DEVICE_ERROR;
  if (const int32_t rc = gate("VXFileDelete", f->token, true); rc < 0) return rc;
  std::error_code ec;
  if (!fs::remove(f->path, ec)) return VX_FILE_NOT_FOUND;
  standin::token_mark_protected(f->path.string(), false);
  return 0;
}

STANDIN_EXPORT int32_t VXFileGetInfo(VXHANDLE file, VXObjectInfo* info) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  Obj* f = find(file, Kind::File);
  if (f == nullptr || info == nullptr) return VX_DEVICE_ERROR;
  if (const int32_t rc = gate("VXFileGetInfo", f->token, false); rc < 0) return rc;
  *info = info_of(f->path, f->id);
  return 0;
}

STANDIN_EXPORT int32_t VXFileClose(VXHANDLE file) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  standin::media_call("VXFileClose");
  return close_handle(file);
}
