// RegistryKey: the settings key class every settings reader goes through.
// One open key at a time; each call records the result code, the type and
// the size of the last value it touched.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry_store.h"

namespace platform::reg {

// The roots a key may be opened below. Only the user's own tree exists here.
enum class Root { CurrentUser };
inline constexpr Root HKEY_CURRENT_USER = Root::CurrentUser;

// Texts longer than this (terminator included) count as missing. Large
// enough for a folder path of 1,000 Cyrillic characters in UTF-8.
inline constexpr std::uint32_t kMaxStringBytes = 4096;
// Serialised lists longer than this are neither written nor read back
// (some ten thousand recipients' names).
inline constexpr std::uint32_t kMaxObjectBytes = 1u << 20;

class RegistryKey {
 public:
  explicit RegistryKey(Root root = HKEY_CURRENT_USER);
  ~RegistryKey() { Close(); }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  bool Open(std::string_view path);
  bool OpenKey(Root root, std::string_view path);
  bool CreateKey(Root root, std::string_view path);
  void Close();

  bool SetDword(std::string_view name, std::uint32_t value);
  bool SetString(std::string_view name, std::string_view text);
  bool SetBinary(std::string_view name, const void* bytes, std::uint32_t length);
  // Refused (ERROR_INVALID_PARAMETER, nothing written) when the serialised
  // list is longer than kMaxObjectBytes, so no list is stored that its
  // reader would refuse.
  bool SetObject(std::string_view name, const std::vector<std::string>& list);

  // Each query leaves `out` as it was when it fails. A value of another
  // type than the query asks for fails with ERROR_INVALID_DATATYPE (the
  // bytes of a text are no number, nor a number's bytes a text), except in
  // QueryObject, which succeeds on a non-binary value and leaves the list
  // as it was.
  bool QueryDword(std::string_view name, std::uint32_t& out);
  bool QueryString(std::string_view name, std::string& out);
  // An empty `buffer` is first sized to the value (failing, with nothing
  // allocated, when the value is missing or empty); then the value is read
  // with the buffer's size as the limit.
  bool QueryBinary(std::string_view name, std::vector<std::uint8_t>& buffer);
  bool QueryObject(std::string_view name, std::vector<std::string>& list);

  LSTATUS last_error() const { return last_error_; }
  std::uint32_t last_type() const { return last_type_; }
  std::uint32_t last_size() const { return last_size_; }
  const std::string& key_path() const { return key_path_; }
  bool is_open() const { return key_.valid() && opened_; }

 private:
  bool open_below(const Key& base, std::string_view path);
  bool record(LSTATUS rc, std::uint32_t type, std::uint32_t size);
  bool set(std::string_view name, std::uint32_t type, const void* data, std::uint32_t size);

  Root root_;
  Key key_;
  bool opened_ = false;
  std::string key_path_;
  LSTATUS last_error_ = ERROR_SUCCESS;
  std::uint32_t last_type_ = 0;
  std::uint32_t last_size_ = 0;
};

}  // namespace platform::reg
