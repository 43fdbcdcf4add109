#include "platform/dynlib.h"

#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/environment.h"

namespace platform {
namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

struct NameMap {
  std::mutex lock;
  std::map<std::string, std::string> names;  // lower-cased Windows name -> file name
  // Services of the system itself, bound by soname from the system path
  // when no search folder holds a library of that name. The PC/SC service
  // is the one: the token SDK needs the machine's own, not a copy of ours.
  std::map<std::string, std::string> system{{"winscard.dll", "libpcsclite.so.1"}};
};

NameMap& name_map() {
  static NameMap* map = new NameMap();  // never destroyed: used from static destructors
  return *map;
}

bool ends_with_dll(std::string_view name) { return name.size() > 4 && lower(name.substr(name.size() - 4)) == ".dll"; }

std::string program_dir() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool is_regular_file(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string dynlib_map_name(std::string_view windows_name) {
  {
    NameMap& m = name_map();
    std::lock_guard<std::mutex> g(m.lock);
    auto it = m.names.find(lower(windows_name));
    if (it != m.names.end()) return it->second;
  }
  std::string_view stem = windows_name;
  if (ends_with_dll(stem)) stem.remove_suffix(4);
  return "lib" + std::string(stem) + ".so";
}

void dynlib_register_name(std::string_view windows_name, std::string_view so_name) {
  NameMap& m = name_map();
  std::lock_guard<std::mutex> g(m.lock);
  m.names[lower(windows_name)] = std::string(so_name);
}

void dynlib_register_system_name(std::string_view windows_name, std::string_view soname) {
  NameMap& m = name_map();
  std::lock_guard<std::mutex> g(m.lock);
  if (soname.empty()) {
    m.system.erase(lower(windows_name));
  } else {
    m.system[lower(windows_name)] = std::string(soname);
  }
}

std::string dynlib_system_name(std::string_view windows_name) {
  NameMap& m = name_map();
  std::lock_guard<std::mutex> g(m.lock);
  auto it = m.system.find(lower(windows_name));
  return it != m.system.end() ? it->second : std::string();
}

std::vector<std::string> dynlib_search_dirs() {
  std::vector<std::string> dirs;
  if (const std::optional<std::string> env = platform::env("DOSSAR_LIB_PATH")) {
    std::string_view rest(*env);
    while (!rest.empty()) {
      const auto colon = rest.find(':');
      std::string_view dir = rest.substr(0, colon);
      if (!dir.empty()) dirs.emplace_back(dir);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  const std::string prog = program_dir();
  if (!prog.empty()) {
    dirs.push_back(prog);
    dirs.push_back(prog + "/../lib");
    dirs.push_back(prog + "/../lib/dossar");
  }
  return dirs;
}

DynLib& DynLib::operator=(DynLib&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

bool DynLib::open(std::string_view windows_name) {
  close();
  // A name with a folder in it would escape the search folders.
  if (windows_name.empty() || windows_name.find('/') != std::string_view::npos ||
      windows_name.find('\\') != std::string_view::npos) {
    return false;
  }
  const std::string file = dynlib_map_name(windows_name);
  for (const std::string& dir : dynlib_search_dirs()) {
    const std::string path = dir + "/" + file;
    if (is_regular_file(path) && open_path(path)) return true;
  }
  const std::string soname = dynlib_system_name(windows_name);
  if (!soname.empty()) {
    handle_ = dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
    return handle_ != nullptr;
  }
  return false;
}

bool DynLib::open_path(const std::string& path) {
  close();
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  return handle_ != nullptr;
}

void DynLib::close() {
  if (handle_ != nullptr) {
    dlclose(handle_);
    handle_ = nullptr;
  }
}

void* DynLib::symbol(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return dlsym(handle_, name);
}

bool DynLib::bind_all(const char* const* names, void** out, std::size_t count) const {
  bool all = handle_ != nullptr;
  for (std::size_t i = 0; i < count && all; ++i) {
    out[i] = symbol(names[i]);
    all = out[i] != nullptr;
  }
  if (!all) std::fill(out, out + count, nullptr);
  return all;
}

}  // namespace platform
