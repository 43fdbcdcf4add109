// Loading libraries by their Windows file names.
//
// Callers ask for a library the way the system always named it
// ("vtcrptn.dll"); the name map turns that into the shared object of this
// build ("libvtcrptn.so") and the search looks only in known folders: the
// folders listed in $DOSSAR_LIB_PATH (colon separated, for tests and
// relocated installs), then the folder of the running program and its
// ../lib and ../lib/dossar. The system search path is used only for the
// services of the system registered below (the PC/SC service), so a stray
// library of the same name elsewhere cannot answer in our place.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The shared-object name for a Windows library name: a registered mapping
// (compared case-insensitively, as the Windows loader does) or, by default,
// "lib" + the name without its ".dll" + ".so".
std::string dynlib_map_name(std::string_view windows_name);
// Adds or replaces a mapping.
void dynlib_register_name(std::string_view windows_name, std::string_view so_name);
// A service of the system that, when no search folder holds it, is bound by
// its soname from the system path ("WinSCard.dll" -> "libpcsclite.so.1" by
// default); an empty soname removes the entry.
void dynlib_register_system_name(std::string_view windows_name, std::string_view soname);
std::string dynlib_system_name(std::string_view windows_name);
// The folders searched, in order.
std::vector<std::string> dynlib_search_dirs();

// One loaded library; unloaded when the owner goes.
class DynLib {
 public:
  DynLib() = default;
  ~DynLib() { close(); }
  DynLib(DynLib&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  DynLib& operator=(DynLib&& other) noexcept;
  DynLib(const DynLib&) = delete;
  DynLib& operator=(const DynLib&) = delete;

  // Loads the library of a Windows name from the search folders. False when
  // no folder holds it or it does not load.
  bool open(std::string_view windows_name);
  // Loads exactly this file.
  bool open_path(const std::string& path);
  void close();
  bool loaded() const { return handle_ != nullptr; }

  // The address of an exported name, or null.
  void* symbol(const char* name) const;
  // Resolves every name into `out` (same order). All or none: when one is
  // missing, every slot is set to null and the result is false.
  bool bind_all(const char* const* names, void** out, std::size_t count) const;

 private:
  void* handle_ = nullptr;
};

}  // namespace platform
