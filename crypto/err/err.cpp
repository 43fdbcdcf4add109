#include "crypto/err/err.h"

#include <openssl/err.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qcrypto {
namespace {

// The queue itself is OpenSSL's (one store, so errors raised inside OpenSSL and
// our own come out in one order through either interface). What OpenSSL 3 no
// longer keeps, the function number, travels in the entry's function name:
// the function's text when a table gave one, else "func(<n>)".
struct ThreadErrorState {
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

// Function names handed to OpenSSL, and the way back from a name to the
// number. Both only grow: an entry may outlive a reload of the texts.
class FunctionNames {
 public:
  // The name to record for (lib, func): the loaded text, else "func(<n>)".
  // The pointer stays valid for the life of the process.
  const char* tag(int lib, int func, const char* text) {
    std::lock_guard lock(mutex_);
    if (text != nullptr) return text;
    auto& slot = numbered_[ERR_PACK_CODE(lib, func, 0)];
    if (slot.empty()) slot = "func(" + std::to_string(func) + ")";
    return slot.c_str();
  }
  void learn(int lib, int func, const char* text) {
    std::lock_guard lock(mutex_);
    by_name_[{lib, text}] = func;
  }
  // The function number an entry of `lib` recorded as `name`; 0 for names of
  // OpenSSL's own functions.
  int number(int lib, const char* name) const {
    if (name == nullptr || *name == '\0') return 0;
    unsigned n = 0;
    if (std::sscanf(name, "func(%u)", &n) == 1) return static_cast<int>(n & 0xfffU);
    std::lock_guard lock(mutex_);
    auto it = by_name_.find({lib, name});
    return it == by_name_.end() ? 0 : it->second;
  }

 private:
  mutable std::mutex mutex_;
  std::unordered_map<unsigned long, std::string> numbered_;  // node-stable strings
  std::map<std::pair<int, std::string>, int> by_name_;
};

FunctionNames& function_names() {
  static FunctionNames* names = new FunctionNames();  // entries may be read at exit
  return *names;
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
constexpr struct {
  int classic;
  int openssl;
} kRenumbered[] = {
    {ERR_R_MEMORY_ALLOC, ERR_R_MALLOC_FAILURE},
    {ERR_R_INTERNAL, ERR_R_INTERNAL_ERROR},
    {ERR_R_PASSED_NULL, ERR_R_PASSED_NULL_PARAMETER},
    {34, ERR_R_SHOULD_NOT_HAVE_BEEN_CALLED},
    {58, ERR_R_NESTED_ASN1_ERROR},
};

int openssl_reason(int reason) {
  for (const auto& r : kRenumbered)
    if (r.classic == reason) return r.openssl;
  return reason;
}

// The other way, for every entry read back: a renumbered reason gets its
// classic number, the flags OpenSSL 3 adds to common reasons are dropped
// ("BN lib" is 3 again), a system error keeps its errno.
unsigned long own_code(unsigned long e, const char* func) {
  if (ERR_SYSTEM_ERROR(e)) return ERR_PACK_CODE(ERRLIB_SYS, 0, static_cast<int>(ERR_GET_REASON(e) & 0xfffUL));
  const int lib = ERR_GET_LIB(e);
  const int reason = ERR_GET_REASON(e);
  int classic = reason & ((1 << ERR_RFLAGS_OFFSET) - 1);
  for (const auto& r : kRenumbered)
    if (r.openssl == reason) classic = r.classic;
  return ERR_PACK_CODE(lib, function_names().number(lib, func), classic);
}

// One queue entry as read from OpenSSL's queue.
struct Entry {
  unsigned long code = 0;
  const char* file = nullptr;
  int line = 0;
  const char* func = nullptr;
  const char* data = nullptr;
};

enum class Read { kGet, kPeekFirst, kPeekLast };

Entry read_entry(Read how) {
  Entry out;
  const char* data = nullptr;
  int flags = 0;
  unsigned long e = 0;
  switch (how) {
    case Read::kGet:
      e = ::ERR_get_error_all(&out.file, &out.line, &out.func, &data, &flags);
      break;
    case Read::kPeekFirst:
      e = ::ERR_peek_error_all(&out.file, &out.line, &out.func, &data, &flags);
      break;
    case Read::kPeekLast:
      e = ::ERR_peek_last_error_all(&out.file, &out.line, &out.func, &data, &flags);
      break;
  }
  if (e == 0) return Entry{};
  out.code = own_code(e, out.func);
  out.data = (flags & ERR_TXT_STRING) != 0 ? data : nullptr;
  return out;
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
  const char* name = func != 0 ? function_names().tag(lib, func, texts().get(ERR_PACK_CODE(lib, func, 0))) : nullptr;
  ::ERR_new();
  ::ERR_set_debug(file, line, name);
  ::ERR_set_error(lib, openssl_reason(reason), nullptr);
}

unsigned long ERR_get_error() { return read_entry(Read::kGet).code; }

unsigned long ERR_get_error_line(const char** file, int* line) {
  const Entry e = read_entry(Read::kGet);
  if (file != nullptr) *file = e.file;
  if (line != nullptr) *line = e.line;
  return e.code;
}

unsigned long ERR_peek_error() { return read_entry(Read::kPeekFirst).code; }

unsigned long ERR_peek_last_error() { return read_entry(Read::kPeekLast).code; }

void ERR_clear_error() {
  t_state.last_result = 0;
  ::ERR_clear_error();
}

void ERR_remove_state() {
  t_state.last_result = 0;
  ::ERR_clear_error();
}

const char* ERR_lib_error_string(unsigned long e) {
  const int lib = ERR_GET_LIB_CODE(e);
  if (const char* own = texts().get(ERR_PACK_CODE(lib, 0, 0))) return own;
  return is_own_library(lib) ? nullptr : ::ERR_lib_error_string(ERR_PACK(lib, 0, 0));
}

const char* ERR_func_error_string(unsigned long e) {
  if (ERR_GET_FUNC_CODE(e) == 0) return nullptr;  // (lib, 0, 0) is the library's name
  return texts().get(ERR_PACK_CODE(ERR_GET_LIB_CODE(e), ERR_GET_FUNC_CODE(e), 0));
}

const char* ERR_reason_error_string(unsigned long e) {
  const int reason = ERR_GET_REASON_CODE(e);
  const int lib = ERR_GET_LIB_CODE(e);
  if (const char* own = texts().get(ERR_PACK_CODE(lib, 0, reason))) return own;
  if (const char* common = texts().get(ERR_PACK_CODE(0, 0, reason))) return common;
  if (is_own_library(lib) || reason == 0) return nullptr;
  // A reason of OpenSSL's own, with or without the flags it gives common ones.
  if (lib == ERRLIB_SYS) return nullptr;
  for (const int flags : {0, ERR_R_FATAL, ERR_RFLAG_COMMON})
    if (const char* t = ::ERR_reason_error_string(ERR_PACK(lib, 0, reason | flags))) return t;
  return nullptr;
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
  for (Entry e = read_entry(Read::kGet); e.code != 0; e = read_entry(Read::kGet)) {
    std::string text = ERR_error_string(e.code);
    // OpenSSL's own functions have no number: show the name it recorded.
    if (ERR_GET_FUNC_CODE(e.code) == 0 && e.func != nullptr && *e.func != '\0') {
      const std::string numbered = ":func(0):";
      if (const auto at = text.find(numbered); at != std::string::npos)
        text.replace(at, numbered.size(), std::string(":") + e.func + ":");
    }
    std::fprintf(fp, "%zu:%s:%s:%d:%s\n", tid, text.c_str(), e.file ? e.file : "", e.line, e.data ? e.data : "");
  }
}

void ERR_set_last_result(int code) { t_state.last_result = code; }
int ERR_get_last_result() { return t_state.last_result; }

void ERR_load_strings(int lib, const ERR_STRING_DATA* table) {
  if (table == nullptr) return;
  for (const ERR_STRING_DATA* e = table; e->string != nullptr; ++e) {
    texts().put(e->error | ERR_PACK_CODE(lib, 0, 0), e->string);
    if (ERR_GET_FUNC_CODE(e->error) != 0 && ERR_GET_REASON_CODE(e->error) == 0)
      function_names().learn(lib, ERR_GET_FUNC_CODE(e->error), e->string);
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
  ERR_load_EVP_key_strings();
  ERR_load_PKCS7_wrap_strings();
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
