// Stand-in for the Touch-Memory driver library "ibfs32.dll" over a folder
// tree: root/port-<type>-<number>/ is a port with a reader attached, its
// sub-folder "button" the button on it. Folder names are the 4-character
// names without their blanks, files "<name>.<extension>". A program job
// collects deletions, folders and files and programs them all at once
// when it runs, or nothing when the button is full or pulled meanwhile.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "crypto/bio/media_drivers.h"
#include "stand-ins/media/media_control.h"

namespace fs = std::filesystem;

namespace {

constexpr short kFailed = -200;

struct OpenFile {
  fs::path path;
  std::vector<unsigned char> bytes;
  std::size_t pos = 0;
  bool writing = false;
};

struct Change {
  enum Kind { Delete, Put, Folder } kind;
  fs::path path;
  std::vector<unsigned char> bytes;
};

struct Session {
  fs::path port;
  std::vector<std::string> folder;  // current folder below the button
  bool job = false;
  std::vector<Change> staged;
  std::map<short, OpenFile> files;
  short next_file = 0;
  std::vector<TM_FILE_ENTRY> listing;
  std::size_t listed = 0;
};

std::mutex g_mutex;
std::map<long, Session> g_sessions;
long g_next_session = 1;

std::string trimmed(const unsigned char* name, std::size_t n) {
  std::string s(reinterpret_cast<const char*>(name), n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

fs::path button_of(const Session& s) { return s.port / "button"; }

bool button_present(const Session& s) {
  std::error_code ec;
  return standin::media_device_present() && fs::is_directory(button_of(s), ec);
}

fs::path folder_of(const Session& s) {
  fs::path p = button_of(s);
  for (const std::string& f : s.folder) p /= f;
  return p;
}

fs::path file_path(const Session& s, const TM_FILE_ENTRY* e) {
  return folder_of(s) / (trimmed(e->name, 4) + "." + std::to_string(e->extension));
}

long used_bytes(const fs::path& button) {
  long n = 0;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(button, ec)) {
    if (e.is_regular_file()) n += static_cast<long>(e.file_size());
  }
  return n;
}

// Programs a set of changes: all of them or, when the button is full or
// pulled, none.
short program(Session& s, std::vector<Change>& changes) {
  long size = used_bytes(button_of(s));
  long written = 0;
  std::error_code ec;
  for (const Change& c : changes) {
    if (c.kind == Change::Delete && fs::is_regular_file(c.path, ec))
      size -= static_cast<long>(fs::file_size(c.path, ec));
    if (c.kind == Change::Put) {
      size += static_cast<long>(c.bytes.size());
      written += static_cast<long>(c.bytes.size());
    }
  }
  if (size > standin::media_capacity()) return TM_OUT_OF_SPACE;
  if (standin::media_write_budget(written) != written) return TM_NO_DEVICE;
  for (const Change& c : changes) {
    if (c.kind == Change::Delete) fs::remove(c.path, ec);
    if (c.kind == Change::Folder) fs::create_directory(c.path, ec);
    if (c.kind == Change::Put) {
      std::ofstream out(c.path, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(c.bytes.data()), static_cast<std::streamsize>(c.bytes.size()));
    }
  }
  changes.clear();
  return 1;
}

short apply(Session& s, Change c) {
  if (s.job) {
    s.staged.push_back(std::move(c));
    return 1;
  }
  std::vector<Change> one{std::move(c)};
  return program(s, one);
}

// Looks up a live session with its button; `status` gets the failure.
Session* session(long handle, const char* name, short* status) {
  if (standin::media_call(name)) {
    *status = kFailed;
    return nullptr;
  }
  const auto it = g_sessions.find(handle);
  if (it == g_sessions.end()) {
    *status = kFailed;
    return nullptr;
  }
  if (!button_present(it->second)) {
    *status = TM_NO_DEVICE;
    return nullptr;
  }
  return &it->second;
}

}  // namespace

STANDIN_EXPORT long TMExtendedStartSession(short number, short type, void*) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  if (standin::media_call("TMExtendedStartSession")) return kFailed;
  if (type < 0 || number < 0 || number > 15) return kFailed;
  Session s;
  s.port = fs::path(standin::media_root()) / ("port-" + std::to_string(type) + "-" + std::to_string(number));
  const long h = g_next_session++;
  g_sessions[h] = std::move(s);
  return h;
}

STANDIN_EXPORT short TMEndSession(long handle) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  standin::media_call("TMEndSession");
  return g_sessions.erase(handle) == 1 ? 1 : 0;
}

STANDIN_EXPORT short TMSetup(long handle) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  if (standin::media_call("TMSetup")) return 0;
  const auto it = g_sessions.find(handle);
  std::error_code ec;
  return it != g_sessions.end() && fs::is_directory(it->second.port, ec) ? 1 : 0;
}

STANDIN_EXPORT short TMFirst(long handle, void*) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  short status = 0;
  Session* s = session(handle, "TMFirst", &status);
  if (s == nullptr) return 0;
  s->folder.clear();
  return 1;
}

STANDIN_EXPORT short TMChangeDirectory(long handle, void*, short operation, TM_DIR_PATH* path) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  short status = 0;
  Session* s = session(handle, "TMChangeDirectory", &status);
  if (s == nullptr) return status;
  if (path == nullptr || operation != 0 || path->levels > 10) return kFailed;
  std::vector<std::string> folder = path->reference == '\\' ? std::vector<std::string>() : s->folder;
  for (int i = 0; i < path->levels; ++i) {
    folder.push_back(trimmed(reinterpret_cast<const unsigned char*>(path->names[i]), 4));
  }
  fs::path p = button_of(*s);
  for (const std::string& f : folder) p /= f;
  std::error_code ec;
  if (!fs::is_directory(p, ec)) return TM_NO_SUCH_FOLDER;
  s->folder = folder;
  return 1;
}

STANDIN_EXPORT short TMFirstFile(long handle, void*, TM_FILE_ENTRY* entry) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  short status = 0;
  Session* s = session(handle, "TMFirstFile", &status);
  if (s == nullptr) return status;
  s->listing.clear();
  s->listed = 0;
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder_of(*s), ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    TM_FILE_ENTRY fe{};
    std::memset(fe.name, ' ', 4);
    const bool folder = fs::is_directory(folder_of(*s) / n, ec);
    const std::size_t dot = n.find('.');
    const std::string base = folder ? n : n.substr(0, dot);
    std::memcpy(fe.name, base.data(), std::min<std::size_t>(4, base.size()));
    fe.extension = folder ? TM_FOLDER_EXTENSION
                          : static_cast<unsigned char>(dot == std::string::npos ? 0 : std::atoi(n.c_str() + dot + 1));
    s->listing.push_back(fe);
  }
  if (s->listing.empty() || entry == nullptr) return 0;
  *entry = s->listing[s->listed++];
  return 1;
}

STANDIN_EXPORT short TMNextFile(long handle, void*, TM_FILE_ENTRY* entry) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  short status = 0;
  Session* s = session(handle, "TMNextFile", &status);
  if (s == nullptr) return status;
  if (entry == nullptr || s->listed >= s->listing.size()) return 0;
  *entry = s->listing[s->listed++];
  return 1;
}

STANDIN_EXPORT short TMOpenFile(long handle, void*, TM_FILE_ENTRY* entry) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  short status = 0;
  Session* s = session(handle, "TMOpenFile", &status);
  if (s == nullptr) return status;
  if (entry == nullptr) return kFailed;
  const fs::path p = file_path(*s, entry);
  std::error_code ec;
  if (fs::is_directory(p, ec)) return TM_WRONG_TYPE;
  std::ifstream in(p, std::ios::binary);
  if (!in) return TM_FILE_NOT_FOUND;
  OpenFile f;
  f.path = p;
  f.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  const short h = s->next_file++;
  s->files[h] = std::move(f);
  return h;
}

STANDIN_EXPORT short TMCreateFile(long handle, void*, short* max_write, TM_FILE_ENTRY* entry) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  short status = 0;
  Session* s = session(handle, "TMCreateFile", &status);
  if (s == nullptr) return status;
  if (entry == nullptr) return kFailed;
  OpenFile f;
  f.path = file_path(*s, entry);
  f.writing = true;
  if (max_write != nullptr) *max_write = static_cast<short>(std::min<long>(standin::media_capacity(), 32767));
  const short h = s->next_file++;
  s->files[h] = std::move(f);
  return h;
}

STANDIN_EXPORT short TMReadFile(long handle, void*, short file, unsigned char* buffer, short max_read) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  short status = 0;
  Session* s = session(handle, "TMReadFile", &status);
  if (s == nullptr) return status;
  const auto it = s->files.find(file);
  if (it == s->files.end() || buffer == nullptr || max_read < 0) return kFailed;
  OpenFile& f = it->second;
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(max_read), f.bytes.size() - f.pos);
  if (standin::media_read_budget(static_cast<long>(n)) != static_cast<long>(n)) return TM_NO_DEVICE;
  std::memcpy(buffer, f.bytes.data() + f.pos, n);
  f.pos += n;
  return static_cast<short>(n);
}

STANDIN_EXPORT short TMWriteFile(long handle, void*, short file, const unsigned char* data, short length) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  short status = 0;
  Session* s = session(handle, "TMWriteFile", &status);
  if (s == nullptr) return status;
  const auto it = s->files.find(file);
  if (it == s->files.end() || !it->second.writing || data == nullptr || length < 0) return kFailed;
  if (static_cast<long>(it->second.bytes.size()) + length > standin::media_capacity()) return TM_FILE_TOO_BIG;
  it->second.bytes.insert(it->second.bytes.end(), data, data + length);
  return length;
}

STANDIN_EXPORT short TMCloseFile(long handle, void*, short file) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  short status = 0;
  Session* s = session(handle, "TMCloseFile", &status);
  if (s == nullptr) return status;
  const auto it = s->files.find(file);
  if (it == s->files.end()) return kFailed;
  OpenFile f = std::move(it->second);
  s->files.erase(it);
  if (!f.writing) return 1;
  return apply(*s, Change{Change::Put, f.path, std::move(f.bytes)});
}

STANDIN_EXPORT short TMDeleteFile(long handle, void*, TM_FILE_ENTRY* entry) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  short status = 0;
  Session* s = session(handle, "TMDeleteFile", &status);
  if (s == nullptr) return status;
  if (entry == nullptr) return kFailed;
  const fs::path p = file_path(*s, entry);
  std::error_code ec;
  if (!fs::is_regular_file(p, ec)) return TM_FILE_NOT_FOUND;
  return apply(*s, Change{Change::Delete, p, {}});
}

STANDIN_EXPORT short TMDirectoryMR(long handle, void*, short operation, TM_FILE_ENTRY* entry) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  short status = 0;
  Session* s = session(handle, "TMDirectoryMR", &status);
  if (s == nullptr) return status;
  if (entry == nullptr || operation != 0) return kFailed;
  return apply(*s, Change{Change::Folder, folder_of(*s) / trimmed(entry->name, 4), {}});
}

STANDIN_EXPORT short TMCreateProgramJob(long handle, void*) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  short status = 0;
  Session* s = session(handle, "TMCreateProgramJob", &status);
  if (s == nullptr) return status;
  s->job = true;
  s->staged.clear();
  return 1;
}

STANDIN_EXPORT short TMDoProgramJob(long handle, void*) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  short status = 0;
  Session* s = session(handle, "TMDoProgramJob", &status);
  if (s == nullptr) return status;
  if (!s->job) return kFailed;
  s->job = false;
  const short rc = program(*s, s->staged);
  s->staged.clear();
  return rc;
}
