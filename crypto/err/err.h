// The crypto library's own error queue.
//
// Every failure of the own code is recorded with its library, function and
// reason numbers, the source file and line. OpenSSL 3 no longer keeps function
// codes, so the queue lives here and is mirrored into OpenSSL's queue (same
// order, same reasons) so that code reading either sees the same failures.
// Each thread also keeps the toolkit's last result code beside its queue.
#pragma once

#include <cstdio>
#include <string>

namespace qcrypto {

// Library numbers of the own modules; stock OpenSSL libraries keep their
// classic numbers (ERR_LIB_*) below 65.
enum ErrLib : int {
  ERRLIB_SYS = 2,
  ERRLIB_BN = 3,
  ERRLIB_RSA = 4,
  ERRLIB_DH = 5,
  ERRLIB_EVP = 6,
  ERRLIB_BUF = 7,
  ERRLIB_OBJ = 8,
  ERRLIB_PEM = 9,
  ERRLIB_DSA = 10,
  ERRLIB_X509 = 11,
  ERRLIB_ASN1 = 13,
  ERRLIB_CONF = 14,
  ERRLIB_CRYPTO = 15,
  ERRLIB_BIO = 32,
  ERRLIB_PKCS7 = 33,
  ERRLIB_X509V3 = 34,
  ERRLIB_PKCS12 = 35,
  ERRLIB_STOCK_RAND = 36,
  ERRLIB_R3410 = 65,
  ERRLIB_CADB = 66,
  ERRLIB_BRENNIC = 67,
  ERRLIB_HALVERN = 68,
  ERRLIB_RAND = 69,
  ERRLIB_VEXIL = 70,
  ERRLIB_FORM = 71,
  ERRLIB_GOSTE = 72,
  ERRLIB_GOSTH = 73,
  ERRLIB_PSE = 74,
  ERRLIB_ECGOST = 75,
  ERRLIB_SHAMIR = 76,
  ERRLIB_CRMF = 77,
  ERRLIB_GOSTS = 78,
  ERRLIB_USER = 128,
};

// Reasons common to every library (below 100).
enum ErrCommonReason : int {
  ERR_R_CHECK_RAM_FAILURE = 10,
  ERR_R_SELF_TESTING = 11,
  ERR_R_INTERNAL = 12,
  ERR_R_MEMORY_ALLOC = 33,
  ERR_R_PASSED_NULL = 35,
};

// The classic packing: library in the top 8 bits, function in the next 12,
// reason in the low 12.
constexpr unsigned long ERR_PACK_CODE(int lib, int func, int reason) {
  return ((static_cast<unsigned long>(lib) & 0xffUL) << 24) | ((static_cast<unsigned long>(func) & 0xfffUL) << 12) |
         (static_cast<unsigned long>(reason) & 0xfffUL);
}
constexpr int ERR_GET_LIB_CODE(unsigned long e) { return static_cast<int>((e >> 24) & 0xffUL); }
constexpr int ERR_GET_FUNC_CODE(unsigned long e) { return static_cast<int>((e >> 12) & 0xfffUL); }
constexpr int ERR_GET_REASON_CODE(unsigned long e) { return static_cast<int>(e & 0xfffUL); }

// Records one failure on the calling thread's queue and on OpenSSL's.
void ERR_push_error(int lib, int func, int reason, const char* file, int line);

// Oldest entry: removed (get) or left (peek); 0 when the queue is empty.
unsigned long ERR_get_error();
unsigned long ERR_peek_error();
unsigned long ERR_get_error_line(const char** file, int* line);
unsigned long ERR_peek_last_error();

// Empties the thread's queue, its last result code and OpenSSL's queue.
void ERR_clear_error();
// Forgets the calling thread's error state entirely (thread exit, library stop).
void ERR_remove_state();

// Texts of a packed code; null when no table knows the number.
const char* ERR_lib_error_string(unsigned long e);
const char* ERR_func_error_string(unsigned long e);
const char* ERR_reason_error_string(unsigned long e);

// "error:%08lX:<library>:<function>:<reason>", with numbers in place of texts
// that are unknown ("lib(%d)", "func(%d)", "reason(%d)").
std::string ERR_error_string(unsigned long e);

// One line per queued entry, oldest first, emptying the queue:
// "<thread id>:<error string>:<file>:<line>:\n".
void ERR_print_errors_fp(std::FILE* fp);

// The toolkit's last result code of the calling thread.
void ERR_set_last_result(int code);
int ERR_get_last_result();

// A table entry; a table ends with {0, nullptr}. Function entries carry the
// function number in the function field, reason entries the reason number.
struct ERR_STRING_DATA {
  unsigned long error;
  const char* string;
};

// Adds the entries to the text tables under library `lib` (later entries
// replace earlier ones with the same code). Also registers the library and
// reason texts with OpenSSL, idempotently.
void ERR_load_strings(int lib, const ERR_STRING_DATA* table);

// Loads the names of every library and the common reasons, then the tables of
// the own libraries, once per process.
void ERR_load_crypto_strings();
// Drops every loaded text (library stop); the next load starts afresh.
void ERR_free_strings();

// Loaders of the own libraries' tables (each loads its function table, then
// its reason table).
void ERR_load_R3410_strings();
void ERR_load_GOSTS_strings();
void ERR_load_ECGOST_strings();
void ERR_load_GOSTE_strings();
void ERR_load_CADB_strings();
void ERR_load_PSE_strings();
void ERR_load_RAND_strings();
void ERR_load_SHAMIR_strings();
void ERR_load_VEXIL_strings();
// Function and reason texts of the big-number additions (library 3).
void ERR_load_BN_additions_strings();
// Function and reason texts of the private-key functions (library 6).
void ERR_load_EVP_key_strings();
void ERR_load_PKCS7_wrap_strings();

}  // namespace qcrypto

// Raises an error of library `lib` from function `func` with reason `reason`.
#define QERR(lib, func, reason) ::qcrypto::ERR_push_error((lib), (func), (reason), __FILE__, __LINE__)
