#include "crypto/err/err.h"

#include <openssl/err.h>

#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qcrypto {
namespace {

// As many entries as OpenSSL keeps; the oldest is dropped when a 17th arrives.
constexpr std::size_t kQueueDepth = 16;

struct ErrorEntry {
  unsigned long code;
  const char* file;
  int line;
};

struct ThreadErrorState {
  std::deque<ErrorEntry> queue;
  int last_result = 0;
};

thread_local ThreadErrorState t_state;

// Texts by packed code: library names are (lib, 0, 0), function names
// (lib, func, 0), reasons (lib, 0, reason) or (0, 0, reason) for common ones.
class TextTable {
 public:
  void put(unsigned long code, const char* text) {
    std::unique_lock lock(mutex_);
    texts_[code] = text;
  }
  const char* get(unsigned long code) const {
    std::shared_lock lock(mutex_);
    auto it = texts_.find(code);
    return it == texts_.end() ? nullptr : it->second;
  }
  void clear() {
    std::unique_lock lock(mutex_);
    texts_.clear();
  }

 private:
  mutable std::shared_mutex mutex_;
  std::unordered_map<unsigned long, const char*> texts_;
};

TextTable& texts() {
  static TextTable table;
  return table;
}

struct LibraryName {
  int lib;
  const char* name;
  const char* short_name;  // the text of the common reason equal to `lib`
};

constexpr LibraryName kLibraryNames[] = {
    {ERRLIB_SYS, "system library", "system lib"},
    {ERRLIB_BN, "bignum routines", "BN lib"},
    {ERRLIB_RSA, "rsa routines", "RSA lib"},
    {ERRLIB_DH, "Diffie-Hellman routines", "DH lib"},
    {ERRLIB_EVP, "digital envelope routines", "EVP lib"},
    {ERRLIB_BUF, "memory buffer routines", "BUF lib"},
    {ERRLIB_OBJ, "object identifier routines", "OBJ lib"},
    {ERRLIB_PEM, "PEM routines", "PEM lib"},
    {ERRLIB_DSA, "dsa routines", "DSA lib"},
    {ERRLIB_X509, "x509 certificate routines", "X509 lib"},
    {ERRLIB_ASN1, "asn1 encoding routines", "ASN1 lib"},
    {ERRLIB_CONF, "configuration file routines", "CONF lib"},
    {ERRLIB_CRYPTO, "common libcrypto routines", "CRYPTO lib"},
    {ERRLIB_BIO, "BIO routines", "BIO lib"},
    {ERRLIB_PKCS7, "PKCS7 routines", "PKCS7 lib"},
    {ERRLIB_X509V3, "X509 V3 routines", "X509V3 lib"},
    {ERRLIB_PKCS12, "PKCS12 routines", "PKCS12 lib"},
    {ERRLIB_STOCK_RAND, "random number generator", "RAND lib"},
    {ERRLIB_R3410, "R3410 routines", "R3410 lib"},
    {ERRLIB_CADB, "CADB routines", "CADB lib"},
    {ERRLIB_BRENNIC, "Brennic routines", nullptr},
    {ERRLIB_HALVERN, "Halvern routines", nullptr},
    {ERRLIB_RAND, "RAND routines", "RAND lib"},
    {ERRLIB_VEXIL, "VEXIL routines", "VEXIL lib"},
    {ERRLIB_FORM, "FORM routines", nullptr},
    {ERRLIB_GOSTE, "GOSTE routines", "GOSTE lib"},
    {ERRLIB_GOSTH, "GOSTH routines", "GOSTH lib"},
    {ERRLIB_PSE, "PSE routines", "PSE lib"},
    {ERRLIB_ECGOST, "ECGOST routines", "ECGOST lib"},
    {ERRLIB_SHAMIR, "SHAMIR routines", "SHAMIR lib"},
    {ERRLIB_CRMF, "CRMF routines", nullptr},
    {ERRLIB_GOSTS, "GOSTS routines", "GOSTS lib"},
    {ERRLIB_USER, "user defined routines", nullptr},
};

// Common reasons; loaded after the library short names so that, where a
// number is both (10, 11, 12), the common reason wins.
constexpr ERR_STRING_DATA kCommonReasons[] = {
    {ERR_PACK_CODE(0, 0, ERR_R_CHECK_RAM_FAILURE), "check RAM failure"},
    {ERR_PACK_CODE(0, 0, ERR_R_SELF_TESTING), "self-testing error"},
    {ERR_PACK_CODE(0, 0, ERR_R_INTERNAL), "internal error"},
    {ERR_PACK_CODE(0, 0, ERR_R_MEMORY_ALLOC), "memory alloc failure"},
    {ERR_PACK_CODE(0, 0, 34), "called a function you should not call"},
    {ERR_PACK_CODE(0, 0, ERR_R_PASSED_NULL), "passed a null parameter"},
    {ERR_PACK_CODE(0, 0, 58), "nested asn1 error"},
    {0, nullptr},
};

bool is_own_library(int lib) { return lib >= ERRLIB_R3410 && lib <= ERRLIB_GOSTS; }

// OpenSSL 3 renumbered the common reasons; everything else keeps its number.
int openssl_reason(int reason) {
  switch (reason) {
    case ERR_R_MEMORY_ALLOC: return ERR_R_MALLOC_FAILURE;
    case ERR_R_INTERNAL: return ERR_R_INTERNAL_ERROR;
    case ERR_R_PASSED_NULL: return ERR_R_PASSED_NULL_PARAMETER;
    default: return reason;
  }
}

// OpenSSL keeps pointers to the tables it is given and rewrites their codes,
// so each table gets a copy that lives as long as the process, made once: a
// stop and restart of the library reloads only the own texts.
void register_with_openssl(int lib, const ERR_STRING_DATA* table) {
  static std::mutex mutex;
  static std::vector<std::pair<const ERR_STRING_DATA*, std::unique_ptr<::ERR_STRING_DATA[]>>> kept;
  std::lock_guard lock(mutex);
  for (const auto& k : kept)
    if (k.first == table) return;
  std::size_t n = 0;
  while (table[n].string != nullptr) ++n;
  auto copy = std::make_unique<::ERR_STRING_DATA[]>(n + 1);
  std::size_t out = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const int reason = ERR_GET_REASON_CODE(table[i].error);
    if (ERR_GET_FUNC_CODE(table[i].error) != 0 || reason == 0) continue;  // OpenSSL 3 keeps no function texts
    copy[out].error = ERR_PACK(0, 0, openssl_reason(reason));
    copy[out].string = table[i].string;
    ++out;
  }
  copy[out] = {0, nullptr};
  if (out > 0) ::ERR_load_strings(lib, copy.get());
  kept.emplace_back(table, std::move(copy));
}

void register_library_names_with_openssl() {
  static std::once_flag once;
  std::call_once(once, [] {
    static ::ERR_STRING_DATA names[std::size(kLibraryNames) + 1];
    std::size_t n = 0;
    for (const auto& l : kLibraryNames) {
      if (!is_own_library(l.lib)) continue;
      names[n].error = ERR_PACK(l.lib, 0, 0);
      names[n].string = l.name;
      ++n;
    }
    names[n] = {0, nullptr};
    ::ERR_load_strings_const(names);
  });
}

bool g_strings_loaded = false;
std::mutex g_load_mutex;

void load_library_names() {
  for (const auto& l : kLibraryNames) {
    texts().put(ERR_PACK_CODE(l.lib, 0, 0), l.name);
    if (l.short_name != nullptr) texts().put(ERR_PACK_CODE(0, 0, l.lib), l.short_name);
  }
}

}  // namespace

void ERR_push_error(int lib, int func, int reason, const char* file, int line) {
  auto& q = t_state.queue;
  if (q.size() == kQueueDepth) q.pop_front();
  q.push_back({ERR_PACK_CODE(lib, func, reason), file, line});

  ::ERR_new();
  ::ERR_set_debug(file, line, nullptr);
  const unsigned long packed = ERR_PACK_CODE(lib, func, 0);
  const char* func_name = texts().get(packed);
  if (func_name != nullptr) {
    ::ERR_set_error(lib, openssl_reason(reason), "%s", func_name);
  } else {
    ::ERR_set_error(lib, openssl_reason(reason), nullptr);
  }
}

unsigned long ERR_get_error() { return ERR_get_error_line(nullptr, nullptr); }

unsigned long ERR_get_error_line(const char** file, int* line) {
  auto& q = t_state.queue;
  if (q.empty()) return 0;
  const ErrorEntry e = q.front();
  q.pop_front();
  if (file != nullptr) *file = e.file;
  if (line != nullptr) *line = e.line;
  return e.code;
}

unsigned long ERR_peek_error() {
  const auto& q = t_state.queue;
  return q.empty() ? 0 : q.front().code;
}

unsigned long ERR_peek_last_error() {
  const auto& q = t_state.queue;
  return q.empty() ? 0 : q.back().code;
}

void ERR_clear_error() {
  t_state.queue.clear();
  t_state.last_result = 0;
  ::ERR_clear_error();
}

void ERR_remove_state() {
  t_state.queue.clear();
  t_state.queue.shrink_to_fit();
  t_state.last_result = 0;
  ::ERR_clear_error();
}

const char* ERR_lib_error_string(unsigned long e) { return texts().get(ERR_PACK_CODE(ERR_GET_LIB_CODE(e), 0, 0)); }

const char* ERR_func_error_string(unsigned long e) {
  return texts().get(ERR_PACK_CODE(ERR_GET_LIB_CODE(e), ERR_GET_FUNC_CODE(e), 0));
}

const char* ERR_reason_error_string(unsigned long e) {
  const int reason = ERR_GET_REASON_CODE(e);
  if (const char* own = texts().get(ERR_PACK_CODE(ERR_GET_LIB_CODE(e), 0, reason))) return own;
  return texts().get(ERR_PACK_CODE(0, 0, reason));
}

std::string ERR_error_string(unsigned long e) {
  char lib_buf[32], func_buf[32], reason_buf[32];
  const char* lib = ERR_lib_error_string(e);
  const char* func = ERR_func_error_string(e);
  const char* reason = ERR_reason_error_string(e);
  if (lib == nullptr) {
    std::snprintf(lib_buf, sizeof lib_buf, "lib(%d)", ERR_GET_LIB_CODE(e));
    lib = lib_buf;
  }
  if (func == nullptr) {
    std::snprintf(func_buf, sizeof func_buf, "func(%d)", ERR_GET_FUNC_CODE(e));
    func = func_buf;
  }
  if (reason == nullptr) {
    std::snprintf(reason_buf, sizeof reason_buf, "reason(%d)", ERR_GET_REASON_CODE(e));
    reason = reason_buf;
  }
  char head[32];
  std::snprintf(head, sizeof head, "error:%08lX:", e);
  return std::string(head) + lib + ":" + func + ":" + reason;
}

void ERR_print_errors_fp(std::FILE* fp) {
  const auto tid = std::hash<std::thread::id>{}(std::this_thread::get_id());
  const char* file = nullptr;
  int line = 0;
  while (unsigned long e = ERR_get_error_line(&file, &line)) {
    std::fprintf(fp, "%zu:%s:%s:%d:\n", tid, ERR_error_string(e).c_str(), file ? file : "", line);
  }
}

void ERR_set_last_result(int code) { t_state.last_result = code; }
int ERR_get_last_result() { return t_state.last_result; }

void ERR_load_strings(int lib, const ERR_STRING_DATA* table) {
  if (table == nullptr) return;
  for (const ERR_STRING_DATA* e = table; e->string != nullptr; ++e) {
    texts().put(e->error | ERR_PACK_CODE(lib, 0, 0), e->string);
  }
  if (is_own_library(lib)) register_with_openssl(lib, table);
}

void ERR_load_crypto_strings() {
  std::lock_guard lock(g_load_mutex);
  if (g_strings_loaded) return;
  load_library_names();
  register_library_names_with_openssl();
  ERR_load_R3410_strings();
  ERR_load_GOSTS_strings();
  ERR_load_ECGOST_strings();
  ERR_load_GOSTE_strings();
  ERR_load_CADB_strings();
  ERR_load_PSE_strings();
  ERR_load_RAND_strings();
  ERR_load_SHAMIR_strings();
  ERR_load_VEXIL_strings();
  ERR_load_BN_additions_strings();
  // A reason equal to a library number prints that library's short name, but
  // the common reasons keep the numbers they share with a library.
  for (const ERR_STRING_DATA* e = kCommonReasons; e->string != nullptr; ++e) texts().put(e->error, e->string);
  g_strings_loaded = true;
}

void ERR_free_strings() {
  std::lock_guard lock(g_load_mutex);
  texts().clear();
  g_strings_loaded = false;
}

}  // namespace qcrypto
