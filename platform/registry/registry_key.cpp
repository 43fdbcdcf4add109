#include "platform/registry/registry_key.h"

#include <algorithm>
#include <cstdint>

#include "platform/registry/string_list.h"

namespace platform::reg {

RegistryKey::RegistryKey(Root root) : root_(root) {}

bool RegistryKey::record(LSTATUS rc, std::uint32_t type, std::uint32_t size) {
  last_error_ = rc;
  last_type_ = type;
  last_size_ = size;
  return rc == ERROR_SUCCESS;
}

bool RegistryKey::open_below(const Key& base, std::string_view path) {
  Key out;
  const LSTATUS rc = base.open(path, out);
  if (rc == ERROR_SUCCESS) {
    key_ = std::move(out);
    opened_ = true;
  }
  return record(rc, 0, 0);
}

bool RegistryKey::Open(std::string_view path) {
  if (key_.valid() && opened_) return open_below(key_, path);
  LSTATUS rc = ERROR_SUCCESS;
  auto store = Store::current_user(&rc);
  if (!store) return record(rc, 0, 0);
  return open_below(Key::root(store), path);
}

bool RegistryKey::OpenKey(Root root, std::string_view path) {
  root_ = root;
  key_path_ = std::string(path);
  LSTATUS rc = ERROR_SUCCESS;
  auto store = Store::current_user(&rc);
  if (!store) return record(rc, 0, 0);
  return open_below(Key::root(store), path);
}

bool RegistryKey::CreateKey(Root root, std::string_view path) {
  LSTATUS rc = ERROR_SUCCESS;
  auto store = Store::current_user(&rc);
  if (!store) return record(rc, 0, 0);
  Key created;
  rc = Key::root(store).create(path, created);
  if (rc != ERROR_SUCCESS) return record(rc, 0, 0);
  return OpenKey(root, path);
}

void RegistryKey::Close() {
  key_.close();
  opened_ = false;
}

bool RegistryKey::set(std::string_view name, std::uint32_t type, const void* data, std::uint32_t size) {
  if (!is_open()) return record(ERROR_INVALID_HANDLE, type, size);
  return record(key_.store()->set_value(key_.id(), name, type, data, size), type, size);
}

bool RegistryKey::SetDword(std::string_view name, std::uint32_t value) {
  const unsigned char le[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                               static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  return set(name, REG_DWORD, le, 4);
}

bool RegistryKey::SetString(std::string_view name, std::string_view text) {
  std::string z(text);
  z.push_back('\0');
  return set(name, REG_SZ, z.data(), static_cast<std::uint32_t>(z.size()));
}

bool RegistryKey::SetBinary(std::string_view name, const void* bytes, std::uint32_t length) {
  return set(name, REG_BINARY, bytes, length);
}

bool RegistryKey::SetObject(std::string_view name, const std::vector<std::string>& list) {
  const auto bytes = serialize_string_list(list);
  if (bytes.size() > kMaxObjectBytes) {
    return record(ERROR_INVALID_PARAMETER, REG_BINARY,
                  static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size(), UINT32_MAX)));
  }
  return set(name, REG_BINARY, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

bool RegistryKey::QueryDword(std::string_view name, std::uint32_t& out) {
  if (!is_open()) return record(ERROR_INVALID_HANDLE, 0, 0);
  unsigned char le[4] = {};
  std::uint32_t type = 0, size = sizeof(le);
  const LSTATUS rc = key_.store()->query_value(key_.id(), name, &type, le, &size);
  if (rc != ERROR_SUCCESS) return record(rc, type, size);
  if (type != REG_DWORD || size != 4) return record(ERROR_INVALID_DATATYPE, type, size);
  out = le[0] | (le[1] << 8) | (le[2] << 16) | (static_cast<std::uint32_t>(le[3]) << 24);
  return record(rc, type, size);
}

bool RegistryKey::QueryString(std::string_view name, std::string& out) {
  if (!is_open()) return record(ERROR_INVALID_HANDLE, 0, 0);
  std::string buf(kMaxStringBytes, '\0');
  std::uint32_t type = 0, size = kMaxStringBytes;
  const LSTATUS rc = key_.store()->query_value(key_.id(), name, &type, buf.data(), &size);
  if (rc != ERROR_SUCCESS) return record(rc, type, size);
  if (type != REG_SZ) return record(ERROR_INVALID_DATATYPE, type, size);
  buf.resize(size);
  // Stored with its terminator; a value written without one is read whole.
  if (const auto z = buf.find('\0'); z != std::string::npos) buf.resize(z);
  out = std::move(buf);
  return record(rc, type, size);
}

bool RegistryKey::QueryBinary(std::string_view name, std::vector<std::uint8_t>& buffer) {
  if (!is_open()) return record(ERROR_INVALID_HANDLE, 0, 0);
  std::uint32_t type = 0, size = 0;
  if (buffer.empty()) {
    const LSTATUS rc = key_.store()->query_value(key_.id(), name, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return record(rc, type, size);
    if (size == 0) return record(ERROR_FILE_NOT_FOUND, type, size);
    buffer.resize(size);
  }
  std::vector<std::uint8_t> tmp(buffer.size());
  size = static_cast<std::uint32_t>(tmp.size());
  const LSTATUS rc = key_.store()->query_value(key_.id(), name, &type, tmp.data(), &size);
  if (rc == ERROR_SUCCESS) std::copy(tmp.begin(), tmp.begin() + size, buffer.begin());
  return record(rc, type, size);
}

bool RegistryKey::QueryObject(std::string_view name, std::vector<std::string>& list) {
  if (!is_open()) return record(ERROR_INVALID_HANDLE, 0, 0);
  // Sized first: the buffer is as long as the value, never the limit.
  std::uint32_t type = 0, size = 0;
  LSTATUS rc = key_.store()->query_value(key_.id(), name, &type, nullptr, &size);
  if (rc != ERROR_SUCCESS) return record(rc, type, size);
  if (size > kMaxObjectBytes) return record(ERROR_MORE_DATA, type, size);
  std::vector<std::uint8_t> buf(size);
  rc = key_.store()->query_value(key_.id(), name, &type, buf.data(), &size);
  if (rc != ERROR_SUCCESS) return record(rc, type, size);
  if (type == REG_BINARY) {
    auto parsed = parse_string_list(std::span<const std::uint8_t>(buf.data(), size));
    // Damaged bytes are a failed read, not an empty list.
    if (!parsed) return record(ERROR_INVALID_DATATYPE, type, size);
    list = std::move(*parsed);
  }
  return record(rc, type, size);
}

}  // namespace platform::reg
