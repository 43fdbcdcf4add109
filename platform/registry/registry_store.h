// The per-user registry store: the settings tree that the Windows build kept
// under HKEY_CURRENT_USER.
//
// One SQLite database per user (default_path()), opened in WAL mode with a
// busy timeout, so the main program and the engine library in other
// processes read and write it at once; every write is one transaction. Keys
// may be empty; key and value names compare without case (name_fold.h);
// values enumerate in the order they were created (rewriting a value keeps
// its place), subkeys in the order of their folded names. Calls answer with
// the Win32 result codes the callers already test for.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace platform::reg {

using LSTATUS = std::int32_t;
inline constexpr LSTATUS ERROR_SUCCESS = 0;
inline constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;
inline constexpr LSTATUS ERROR_ACCESS_DENIED = 5;
inline constexpr LSTATUS ERROR_INVALID_HANDLE = 6;
inline constexpr LSTATUS ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
inline constexpr LSTATUS ERROR_MORE_DATA = 234;
inline constexpr LSTATUS ERROR_NO_MORE_ITEMS = 259;
inline constexpr LSTATUS ERROR_INVALID_DATATYPE = 1804;
inline constexpr LSTATUS ERROR_BADDB = 1009;
inline constexpr LSTATUS ERROR_CANTOPEN = 1011;
inline constexpr LSTATUS ERROR_CANTREAD = 1012;
inline constexpr LSTATUS ERROR_CANTWRITE = 1013;
inline constexpr LSTATUS ERROR_KEY_DELETED = 1018;

inline constexpr std::uint32_t REG_NONE = 0;
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_BINARY = 3;
inline constexpr std::uint32_t REG_DWORD = 4;

// Windows' own limits on names; data is bounded so a damaged caller cannot
// fill the disk through one value.
inline constexpr std::size_t kMaxKeyNameBytes = 255 * 4;
inline constexpr std::size_t kMaxValueNameBytes = 16383;
inline constexpr std::size_t kMaxValueBytes = 16u << 20;

using KeyId = std::int64_t;

// A connection's prepared statements not in use, by their SQL text.
using IdleStatements = std::vector<std::pair<const char*, sqlite3_stmt*>>;

class Store {
 public:
  static constexpr KeyId kRoot = 1;

  // $DOSSAR_REGISTRY_DB when set, else $XDG_CONFIG_HOME/dossar/registry.db
  // (~/.config when XDG_CONFIG_HOME is unset or relative).
  static std::string default_path();

  // Opens the database at `path`, creating it (and its folder, mode 0700)
  // when missing. A file that is not a registry database, or a damaged one,
  // gives ERROR_BADDB with an explanation in `message`; such a file is never
  // written to.
  static LSTATUS open(const std::string& path, std::shared_ptr<Store>& out, std::string* message = nullptr);

  // The store of default_path() for this process, opened on first use and
  // again when the path changes or after a fork (a connection never crosses
  // a fork).
  static std::shared_ptr<Store> current_user(LSTATUS* status = nullptr, std::string* message = nullptr);

  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::string& path() const { return path_; }

  // Keys. Paths are "\"-separated and relative to `parent`; empty
  // components are skipped, an empty path names `parent` itself.
  LSTATUS open_key(KeyId parent, std::string_view path, KeyId& out);
  LSTATUS create_key(KeyId parent, std::string_view path, KeyId& out, bool* created = nullptr);
  // Deletes a key that has no subkeys (ERROR_ACCESS_DENIED otherwise).
  LSTATUS delete_key(KeyId parent, std::string_view path);
  // Deletes `path` below `parent` with all its subkeys and values; an empty
  // path empties `parent` but keeps it.
  LSTATUS delete_tree(KeyId parent, std::string_view path);
  LSTATUS enum_key(KeyId key, std::uint32_t index, std::string& name);

  // Values.
  LSTATUS set_value(KeyId key, std::string_view name, std::uint32_t type, const void* data, std::uint32_t size);
  // RegQueryValueEx: `data` may be null to ask for the size; a `*size` too
  // small gives ERROR_MORE_DATA with the needed size stored.
  LSTATUS query_value(KeyId key, std::string_view name, std::uint32_t* type, void* data, std::uint32_t* size);
  LSTATUS delete_value(KeyId key, std::string_view name);
  LSTATUS enum_value(KeyId key, std::uint32_t index, std::string& name, std::uint32_t* type,
                     std::vector<std::uint8_t>* data);

#ifdef QCRYPTO_TEST_HOOKS
  // Called inside every write transaction just before it commits.
  static void set_before_commit_hook(void (*hook)());
#endif

 private:
  explicit Store(std::string path) : path_(std::move(path)) {}
  LSTATUS init(std::string* message);
  LSTATUS key_alive(KeyId key);
  LSTATUS find_child(KeyId parent, std::string_view fold, KeyId& out);
  LSTATUS walk(KeyId parent, std::string_view path, KeyId& out, bool create, bool* created);
  LSTATUS begin_write();
  LSTATUS commit();
  void rollback();

  std::string path_;
  sqlite3* db_ = nullptr;
  std::mutex lock_;
  // Each query is prepared once per connection and kept (under lock_):
  // parsing the SQL cost more than running it.
  IdleStatements idle_;
};

// A handle on one key of a store, in the manner of HKEY.
class Key {
 public:
  Key() = default;
  Key(std::shared_ptr<Store> store, KeyId id) : store_(std::move(store)), id_(id) {}
  static Key root(std::shared_ptr<Store> store) { return Key(std::move(store), Store::kRoot); }

  bool valid() const { return store_ != nullptr; }
  Store* store() const { return store_.get(); }
  KeyId id() const { return id_; }
  void close() { store_.reset(); }

  LSTATUS open(std::string_view path, Key& out) const;
  LSTATUS create(std::string_view path, Key& out, bool* created = nullptr) const;

 private:
  std::shared_ptr<Store> store_;
  KeyId id_ = 0;
};

}  // namespace platform::reg
