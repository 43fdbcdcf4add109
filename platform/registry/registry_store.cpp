#include "platform/registry/registry_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/environment.h"
#include "platform/registry/name_fold.h"

namespace platform::reg {
namespace {

// "DsRg": marks a database as ours, so a foreign SQLite file is never
// taken over and changed.
constexpr int kApplicationId = 0x44735267;
constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 30000;

#ifdef QCRYPTO_TEST_HOOKS
void (*g_before_commit)() = nullptr;
#endif

// One prepared statement, finalised on every path; or, taken from a
// connection's cache of idle statements, reset and handed back to it.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &st_, nullptr); }
  Stmt(sqlite3* db, const char* sql, IdleStatements& cache) : cache_(&cache), sql_(sql) {
    for (auto it = cache.begin(); it != cache.end(); ++it) {
      if (it->first != sql) continue;
      st_ = it->second;
      cache.erase(it);
      rc_ = SQLITE_OK;
      return;
    }
    rc_ = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &st_, nullptr);
  }
  ~Stmt() {
    if (cache_ == nullptr || st_ == nullptr) {
      sqlite3_finalize(st_);
      return;
    }
    // Reset, so no read transaction stays open on an idle statement.
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
    try {
      cache_->emplace_back(sql_, st_);
    } catch (const std::bad_alloc&) {
      sqlite3_finalize(st_);
    }
  }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  bool ok() const { return rc_ == SQLITE_OK; }
  int prepare_rc() const { return rc_; }
  Stmt& bind(int i, std::int64_t v) {
    sqlite3_bind_int64(st_, i, v);
    return *this;
  }
  Stmt& bind(int i, std::string_view s) {
    sqlite3_bind_text(st_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Stmt& bind_blob(int i, const void* p, std::uint32_t n) {
    // A zero-length blob still has to be a blob, not NULL.
    static const char empty = 0;
    sqlite3_bind_blob(st_, i, n ? p : &empty, static_cast<int>(n), SQLITE_TRANSIENT);
    return *this;
  }
  int step() { return sqlite3_step(st_); }
  std::int64_t i64(int c) const { return sqlite3_column_int64(st_, c); }
  std::string text(int c) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st_, c));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(st_, c))) : std::string();
  }
  const void* blob(int c) const { return sqlite3_column_blob(st_, c); }
  std::uint32_t bytes(int c) const { return static_cast<std::uint32_t>(sqlite3_column_bytes(st_, c)); }

 private:
  sqlite3_stmt* st_ = nullptr;
  int rc_ = SQLITE_ERROR;
  IdleStatements* cache_ = nullptr;
  const char* sql_ = nullptr;
};

LSTATUS map_read_error(int rc) {
  if (rc == SQLITE_NOMEM) return ERROR_NOT_ENOUGH_MEMORY;
  if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) return ERROR_BADDB;
  return ERROR_CANTREAD;
}

LSTATUS map_write_error(int rc) {
  if (rc == SQLITE_NOMEM) return ERROR_NOT_ENOUGH_MEMORY;
  if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) return ERROR_BADDB;
  if (rc == SQLITE_READONLY || rc == SQLITE_PERM) return ERROR_ACCESS_DENIED;
  return ERROR_CANTWRITE;
}

bool make_dirs(const std::string& dir) {
  if (dir.empty()) return true;
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const auto slash = dir.rfind('/');
  if (slash != std::string::npos && slash > 0 && !make_dirs(dir.substr(0, slash))) return false;
  return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// Splits a "\"-separated key path into its non-empty components.
std::vector<std::string_view> split_path(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const auto end = path.find('\\', start);
    const auto stop = end == std::string_view::npos ? path.size() : end;
    if (stop > start) parts.push_back(path.substr(start, stop - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

}  // namespace

#ifdef QCRYPTO_TEST_HOOKS
void Store::set_before_commit_hook(void (*hook)()) { g_before_commit = hook; }
#endif

std::string Store::default_path() {
  if (const std::optional<std::string> db = platform::env("DOSSAR_REGISTRY_DB"); db && !db->empty()) return *db;
  std::string base;
  if (const std::optional<std::string> xdg = platform::env("XDG_CONFIG_HOME"); xdg && xdg->starts_with('/')) {
    base = *xdg;
  } else {
    const std::optional<std::string> home = platform::env("HOME");
    base = (home && !home->empty() ? *home : std::string("/tmp")) + "/.config";
  }
  return base + "/dossar/registry.db";
}

LSTATUS Store::open(const std::string& path, std::shared_ptr<Store>& out, std::string* message) {
  out.reset();
  if (path.empty()) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<Store> store(new Store(path));
  const LSTATUS rc = store->init(message);
  if (rc == ERROR_SUCCESS) out = std::move(store);
  return rc;
}

std::shared_ptr<Store> Store::current_user(LSTATUS* status, std::string* message) {
  static std::mutex lock;
  static std::shared_ptr<Store>* cached = new std::shared_ptr<Store>();  // outlives static destructors
  static pid_t owner = 0;
  std::lock_guard<std::mutex> g(lock);
  const std::string path = default_path();
  if (*cached && owner != getpid()) {
    // Inherited over fork: closing it here could disturb the parent's locks,
    // so the copy is dropped without being closed.
    new std::shared_ptr<Store>(std::move(*cached));
    cached->reset();
  }
  if (!*cached || (*cached)->path() != path) {
    std::shared_ptr<Store> fresh;
    const LSTATUS rc = open(path, fresh, message);
    if (status) *status = rc;
    if (rc != ERROR_SUCCESS) return nullptr;
    *cached = std::move(fresh);
    owner = getpid();
  } else if (status) {
    *status = ERROR_SUCCESS;
  }
  return *cached;
}

Store::~Store() {
  for (const auto& [sql, statement] : idle_) sqlite3_finalize(statement);
  if (db_) sqlite3_close_v2(db_);
}

LSTATUS Store::init(std::string* message) {
  auto fail = [&](LSTATUS rc, const std::string& why) {
    if (message) *message = "registry database " + path_ + ": " + why;
    return rc;
  };
  const auto slash = path_.rfind('/');
  if (slash != std::string::npos && slash > 0 && !make_dirs(path_.substr(0, slash)))
    return fail(ERROR_CANTOPEN, "cannot create its folder: " + platform::errno_text(errno));

  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW;
  int rc = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK)
    return fail(rc == SQLITE_CANTOPEN ? ERROR_CANTOPEN : map_read_error(rc),
                std::string("cannot be opened: ") + (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc)));
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db_, 0);

  const std::string damaged = " The file was left as it is; move it away to start again with empty settings.";
  // Only reads until the file is known to be ours: a foreign or damaged file
  // must not be changed.
  int app_id = 0, tables = 0;
  {
    // One statement, so both come from the same snapshot: another process
    // may be creating the schema right now.
    Stmt q(db_, "SELECT (SELECT count(*) FROM sqlite_master), application_id FROM pragma_application_id");
    if (!q.ok())
      return fail(map_read_error(q.prepare_rc()),
                  std::string("is not a database (") + sqlite3_errmsg(db_) + ")." + damaged);
    rc = q.step();
    if (rc != SQLITE_ROW)
      return fail(map_read_error(rc), std::string("is not a database (") + sqlite3_errmsg(db_) + ")." + damaged);
    tables = static_cast<int>(q.i64(0));
    app_id = static_cast<int>(q.i64(1));
  }
  if (tables > 0 && app_id != kApplicationId)
    return fail(ERROR_BADDB, "is an SQLite database of another program." + damaged);
  if (tables > 0) {
    Stmt q(db_, "PRAGMA quick_check");
    if (!q.ok() || q.step() != SQLITE_ROW || q.text(0) != "ok")
      return fail(ERROR_BADDB,
                  std::string("is damaged (") + (q.ok() ? q.text(0) : sqlite3_errmsg(db_)) + ")." + damaged);
    Stmt v(db_, "PRAGMA user_version");
    if (!v.ok() || v.step() != SQLITE_ROW || v.i64(0) > kSchemaVersion)
      return fail(ERROR_BADDB, "was written by a newer version of the program." + damaged);
  }

  // Switching the journal mode does not wait on the busy handler, and a
  // process opening the file at the same moment holds a lock for a while.
  for (int waited = 0;; waited += 10) {
    Stmt q(db_, "PRAGMA journal_mode=WAL");
    rc = q.ok() ? q.step() : q.prepare_rc();
    if (rc == SQLITE_ROW && q.text(0) == "wal") break;
    const bool busy = rc == SQLITE_BUSY || rc == SQLITE_LOCKED || rc == SQLITE_ROW;
    if (!busy || waited >= kBusyTimeoutMs)
      return fail(ERROR_CANTOPEN, std::string("cannot use WAL: ") + sqlite3_errmsg(db_));
    usleep(10000);
  }
  sqlite3_exec(db_, "PRAGMA foreign_keys=ON; PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  if (tables > 0) return ERROR_SUCCESS;

  // A new file: another process may be creating the same schema right now,
  // so the creation is one transaction that tolerates the other's win.
  if (LSTATUS w = begin_write(); w != ERROR_SUCCESS)
    return fail(w, std::string("cannot be initialised: ") + sqlite3_errmsg(db_));
  static const char* kSchema =
      "CREATE TABLE IF NOT EXISTS keys("
      "  id INTEGER PRIMARY KEY,"
      "  parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
      "  name TEXT NOT NULL, fold TEXT NOT NULL,"
      "  UNIQUE(parent, fold));"
      "CREATE TABLE IF NOT EXISTS vals("
      "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
      "  key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
      "  name TEXT NOT NULL, fold TEXT NOT NULL,"
      "  type INTEGER NOT NULL, data BLOB NOT NULL,"
      "  UNIQUE(key, fold));"
      "CREATE INDEX IF NOT EXISTS keys_by_parent ON keys(parent, fold);"
      // Enumeration by position walks this index, never the values' data.
      "CREATE INDEX IF NOT EXISTS vals_by_key ON vals(key, id);"
      "INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES(1, NULL, '', '');";
  rc = sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) {
    const std::string pragmas = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                                "; PRAGMA user_version=" + std::to_string(kSchemaVersion);
    rc = sqlite3_exec(db_, pragmas.c_str(), nullptr, nullptr, nullptr);
  }
  if (rc != SQLITE_OK) {
    const std::string why = sqlite3_errmsg(db_);
    rollback();
    return fail(map_write_error(rc), "cannot be initialised: " + why);
  }
  if (LSTATUS c = commit(); c != ERROR_SUCCESS)
    return fail(c, std::string("cannot be initialised: ") + sqlite3_errmsg(db_));
  return ERROR_SUCCESS;
}

LSTATUS Store::begin_write() {
  const int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? ERROR_SUCCESS : map_write_error(rc);
}

LSTATUS Store::commit() {
#ifdef QCRYPTO_TEST_HOOKS
  if (g_before_commit) g_before_commit();
#endif
  const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    rollback();
    return map_write_error(rc);
  }
  return ERROR_SUCCESS;
}

void Store::rollback() { sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr); }

LSTATUS Store::key_alive(KeyId key) {
  Stmt q(db_, "SELECT 1 FROM keys WHERE id=?1", idle_);
  if (!q.ok()) return map_read_error(q.prepare_rc());
  const int rc = q.bind(1, key).step();
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  return rc == SQLITE_DONE ? ERROR_KEY_DELETED : map_read_error(rc);
}

LSTATUS Store::find_child(KeyId parent, std::string_view fold, KeyId& out) {
  Stmt q(db_, "SELECT id FROM keys WHERE parent=?1 AND fold=?2", idle_);
  if (!q.ok()) return map_read_error(q.prepare_rc());
  const int rc = q.bind(1, parent).bind(2, fold).step();
  if (rc == SQLITE_ROW) {
    out = q.i64(0);
    return ERROR_SUCCESS;
  }
  return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : map_read_error(rc);
}

LSTATUS Store::walk(KeyId parent, std::string_view path, KeyId& out, bool create, bool* created) {
  if (created) *created = false;
  if (LSTATUS rc = key_alive(parent); rc != ERROR_SUCCESS) return rc;
  KeyId cur = parent;
  for (std::string_view part : split_path(path)) {
    if (part.size() > kMaxKeyNameBytes) return ERROR_INVALID_PARAMETER;
    const std::string fold = fold_name(part);
    KeyId next = 0;
    LSTATUS rc = find_child(cur, fold, next);
    if (rc == ERROR_FILE_NOT_FOUND && create) {
      Stmt ins(db_, "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)", idle_);
      if (!ins.ok()) return map_write_error(ins.prepare_rc());
      const int src = ins.bind(1, cur).bind(2, part).bind(3, fold).step();
      if (src != SQLITE_DONE) return map_write_error(src);
      next = sqlite3_last_insert_rowid(db_);
      if (created) *created = true;
      rc = ERROR_SUCCESS;
    }
    if (rc != ERROR_SUCCESS) return rc;
    cur = next;
  }
  out = cur;
  return ERROR_SUCCESS;
}

LSTATUS Store::open_key(KeyId parent, std::string_view path, KeyId& out) {
  std::lock_guard<std::mutex> g(lock_);
  return walk(parent, path, out, false, nullptr);
}

LSTATUS Store::create_key(KeyId parent, std::string_view path, KeyId& out, bool* created) {
  std::lock_guard<std::mutex> g(lock_);
  if (LSTATUS rc = begin_write(); rc != ERROR_SUCCESS) return rc;
  const LSTATUS rc = walk(parent, path, out, true, created);
  if (rc != ERROR_SUCCESS) {
    rollback();
    return rc;
  }
  return commit();
}

LSTATUS Store::delete_key(KeyId parent, std::string_view path) {
  std::lock_guard<std::mutex> g(lock_);
  if (split_path(path).empty()) return ERROR_INVALID_PARAMETER;
  if (LSTATUS rc = begin_write(); rc != ERROR_SUCCESS) return rc;
  KeyId key = 0;
  LSTATUS rc = walk(parent, path, key, false, nullptr);
  if (rc == ERROR_SUCCESS) {
    Stmt sub(db_, "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1", idle_);
    const int src = sub.bind(1, key).step();
    if (src == SQLITE_ROW)
      rc = ERROR_ACCESS_DENIED;
    else if (src != SQLITE_DONE)
      rc = map_read_error(src);
  }
  if (rc == ERROR_SUCCESS) {
    Stmt del(db_, "DELETE FROM keys WHERE id=?1", idle_);
    const int src = del.bind(1, key).step();
    if (src != SQLITE_DONE) rc = map_write_error(src);
  }
  if (rc != ERROR_SUCCESS) {
    rollback();
    return rc;
  }
  return commit();
}

LSTATUS Store::delete_tree(KeyId parent, std::string_view path) {
  std::lock_guard<std::mutex> g(lock_);
  if (LSTATUS rc = begin_write(); rc != ERROR_SUCCESS) return rc;
  KeyId key = 0;
  LSTATUS rc = walk(parent, path, key, false, nullptr);
  if (rc == ERROR_SUCCESS) {
    // Subkeys and values go with their key through the cascades.
    const bool whole = !split_path(path).empty() && key != kRoot;
    Stmt del(db_, whole ? "DELETE FROM keys WHERE id=?1" : "DELETE FROM keys WHERE parent=?1", idle_);
    int src = del.bind(1, key).step();
    if (src == SQLITE_DONE && !whole) {
      Stmt vals(db_, "DELETE FROM vals WHERE key=?1", idle_);
      src = vals.bind(1, key).step();
    }
    if (src != SQLITE_DONE) rc = map_write_error(src);
  }
  if (rc != ERROR_SUCCESS) {
    rollback();
    return rc;
  }
  return commit();
}

LSTATUS Store::enum_key(KeyId key, std::uint32_t index, std::string& name) {
  std::lock_guard<std::mutex> g(lock_);
  if (LSTATUS rc = key_alive(key); rc != ERROR_SUCCESS) return rc;
  Stmt q(db_, "SELECT name FROM keys WHERE parent=?1 ORDER BY fold LIMIT 1 OFFSET ?2", idle_);
  if (!q.ok()) return map_read_error(q.prepare_rc());
  const int rc = q.bind(1, key).bind(2, static_cast<std::int64_t>(index)).step();
  if (rc == SQLITE_ROW) {
    name = q.text(0);
    return ERROR_SUCCESS;
  }
  return rc == SQLITE_DONE ? ERROR_NO_MORE_ITEMS : map_read_error(rc);
}

LSTATUS Store::set_value(KeyId key, std::string_view name, std::uint32_t type, const void* data, std::uint32_t size) {
  if (name.size() > kMaxValueNameBytes || size > kMaxValueBytes || (size && !data)) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> g(lock_);
  if (LSTATUS rc = begin_write(); rc != ERROR_SUCCESS) return rc;
  LSTATUS rc = key_alive(key);
  if (rc == ERROR_SUCCESS) {
    // An upsert keeps the row, and so the value's place in the enumeration.
    Stmt up(db_,
            "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
            "ON CONFLICT(key, fold) DO UPDATE SET type=excluded.type, data=excluded.data",
            idle_);
    if (!up.ok()) {
      rc = map_write_error(up.prepare_rc());
    } else {
      const int src = up.bind(1, key)
                          .bind(2, name)
                          .bind(3, fold_name(name))
                          .bind(4, static_cast<std::int64_t>(type))
                          .bind_blob(5, data, size)
                          .step();
      if (src != SQLITE_DONE) rc = map_write_error(src);
    }
  }
  if (rc != ERROR_SUCCESS) {
    rollback();
    return rc;
  }
  return commit();
}

LSTATUS Store::query_value(KeyId key, std::string_view name, std::uint32_t* type, void* data, std::uint32_t* size) {
  if (data && !size) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> g(lock_);
  if (LSTATUS rc = key_alive(key); rc != ERROR_SUCCESS) return rc;
  Stmt q(db_, "SELECT type, data FROM vals WHERE key=?1 AND fold=?2", idle_);
  if (!q.ok()) return map_read_error(q.prepare_rc());
  const int rc = q.bind(1, key).bind(2, fold_name(name)).step();
  if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  if (rc != SQLITE_ROW) return map_read_error(rc);
  if (type) *type = static_cast<std::uint32_t>(q.i64(0));
  const void* blob = q.blob(1);
  const std::uint32_t n = q.bytes(1);
  if (!data) {
    if (size) *size = n;
    return ERROR_SUCCESS;
  }
  if (*size < n) {
    *size = n;
    return ERROR_MORE_DATA;
  }
  if (n) std::memcpy(data, blob, n);
  *size = n;
  return ERROR_SUCCESS;
}

LSTATUS Store::delete_value(KeyId key, std::string_view name) {
  std::lock_guard<std::mutex> g(lock_);
  if (LSTATUS rc = begin_write(); rc != ERROR_SUCCESS) return rc;
  LSTATUS rc = key_alive(key);
  if (rc == ERROR_SUCCESS) {
    Stmt del(db_, "DELETE FROM vals WHERE key=?1 AND fold=?2", idle_);
    const int src = del.bind(1, key).bind(2, fold_name(name)).step();
    if (src != SQLITE_DONE)
      rc = map_write_error(src);
    else if (sqlite3_changes(db_) == 0)
      rc = ERROR_FILE_NOT_FOUND;
  }
  if (rc != ERROR_SUCCESS) {
    rollback();
    return rc;
  }
  return commit();
}

LSTATUS Store::enum_value(KeyId key, std::uint32_t index, std::string& name, std::uint32_t* type,
                          std::vector<std::uint8_t>* data) {
  std::lock_guard<std::mutex> g(lock_);
  if (LSTATUS rc = key_alive(key); rc != ERROR_SUCCESS) return rc;
  // The position is found in the index alone; only the one row's data is read.
  Stmt q(db_,
         "SELECT name, type, data FROM vals WHERE id=("
         "SELECT id FROM vals WHERE key=?1 ORDER BY id LIMIT 1 OFFSET ?2)",
         idle_);
  if (!q.ok()) return map_read_error(q.prepare_rc());
  const int rc = q.bind(1, key).bind(2, static_cast<std::int64_t>(index)).step();
  if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (rc != SQLITE_ROW) return map_read_error(rc);
  name = q.text(0);
  if (type) *type = static_cast<std::uint32_t>(q.i64(1));
  if (data) {
    const auto* p = static_cast<const std::uint8_t*>(q.blob(2));
    data->assign(p, p + q.bytes(2));
  }
  return ERROR_SUCCESS;
}

LSTATUS Key::open(std::string_view path, Key& out) const {
  if (!store_) return ERROR_INVALID_HANDLE;
  KeyId id = 0;
  const LSTATUS rc = store_->open_key(id_, path, id);
  if (rc == ERROR_SUCCESS) out = Key(store_, id);
  return rc;
}

LSTATUS Key::create(std::string_view path, Key& out, bool* created) const {
  if (!store_) return ERROR_INVALID_HANDLE;
  KeyId id = 0;
  const LSTATUS rc = store_->create_key(id_, path, id, created);
  if (rc == ERROR_SUCCESS) out = Key(store_, id);
  return rc;
}

}  // namespace platform::reg
