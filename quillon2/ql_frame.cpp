#include "quillon2/ql_frame.h"

#include <openssl/objects.h>

#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>

#include "crypto/bio/tm_bio.h"
#include "crypto/bio/vexil_bio.h"
#include "crypto/cadb/library.h"
#include "crypto/evp/objects.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/pse/pse_files.h"
#include "crypto/rand/mprand.h"
#include "quillon2/ql_keys.h"

namespace quillon2 {
namespace {

// Toolkit mutex: see the header. Recursive because a failed first start
// unwinds through the same steps as QL_cleanup.
std::recursive_mutex& toolkit_mutex() {
  static std::recursive_mutex m;
  return m;
}

// QL_init calls not yet balanced by QL_cleanup: the toolkit is started while
// this is above 0.
std::atomic<int> g_starts{0};
QL_SESSION* g_session = nullptr;  // under the toolkit mutex
QL_SETTINGS g_settings;

std::atomic<QL_PASSWORD_CALLBACK> g_password{nullptr};
std::atomic<QL_KEY_RETRY_CALLBACK> g_retry{nullptr};
std::atomic<QL_MEDIUM_MESSAGE_CALLBACK> g_medium_message{nullptr};
std::atomic<QL_TOKEN_PASSWORD_CALLBACK> g_token_password{nullptr};

struct ThreadProgress {
  QL_PROGRESS_CALLBACK callback = nullptr;
  void* user = nullptr;
};
thread_local ThreadProgress t_progress;

// Room for a key-medium path and its terminator.
constexpr std::size_t kKeyFileNameBytes = 261;
thread_local char t_key_file_name[kKeyFileNameBytes] = {};

// Methods kept for the life of the process, so a settings word can be
// replaced while another thread still uses the old value.
const EVP_CIPHER* kept_cipher(int number) {
  if (number == qcrypto::SYSOBJ_RUS_GAMMAR) return qcrypto::EVP_rus_gammar();
  static const EVP_CIPHER* const des3 = qcrypto::evp_cipher_fetch(SN_des_ede3_cbc);
  return number == NID_des_ede3_cbc ? des3 : nullptr;
}

const EVP_MD* kept_md5() {
  static const EVP_MD* const md5 = qcrypto::evp_md_fetch(SN_md5);
  return md5;
}

void reset_settings() {
  g_settings.cipher = nullptr;
  g_settings.digest = nullptr;
  g_settings.key_type = 0;
  g_settings.key_bits = 0;
  g_settings.include_certs = 0;
  g_settings.signing_time = 0;
  g_settings.input_format = 0;
  g_settings.output_format = 0;
  g_settings.name = nullptr;
  g_settings.check_options = 0;
  g_settings.recipient_format = 0;
  g_settings.references = 0;
}

void free_session(QL_SESSION* session) {
  mputil_free_keys(session);
  mputil_free_certificates(session);
  qcrypto::X509_STORE_free(session->store);
  qcrypto::PSE_free(session->container);
  delete session;  // NOLINT(cppcoreguidelines-owning-memory): made by session_take_locked
}

// Under the toolkit mutex.
QL_SESSION* session_take_locked() {
  if (g_session == nullptr) {
    g_session = new (std::nothrow) QL_SESSION();  // NOLINT(cppcoreguidelines-owning-memory)
    if (g_session == nullptr) return nullptr;
  }
  ++g_session->references;
  return g_session;
}

void session_release_locked(QL_SESSION* session) {
  if (session == nullptr || session->references <= 0) return;
  if (--session->references > 0) return;
  if (session == g_session) g_session = nullptr;
  free_session(session);
}

// Stops what a first start started; under the toolkit mutex.
void stop_locked() {
  // A session still referenced by an operation that outlived the last
  // QL_cleanup is freed by that operation's release; the next start makes a
  // fresh one.
  g_session = nullptr;
  reset_settings();
  qcrypto::mprand_mutex_close();
  qcrypto::cadb_library_cleanup();
  g_starts = 0;
}

// Opens and closes the container: 3.1 with its random state first, then the
// old format.
bool container_opens(const char* path) {
  qcrypto::UniquePtr<qcrypto::PSE> container(qcrypto::PSE_open(path, 1));
  if (!container) container.reset(qcrypto::PSE30_open(path, nullptr));
  return container != nullptr;
}

int first_start_locked(const char* path) {
  g_starts = 1;
  qcrypto::cadb_library_init();
  qcrypto::mprand_mutex_create();
  // A generator already in place (seeded from a board by the library start,
  // or installed by the host) is kept: the placeholder would throw its state
  // away and ask the user for keystrokes again.
  if (qcrypto::RAND_get_rand_method() == nullptr) qcrypto::RAND_set_rand_method(qcrypto::mprand_method());
  QL_SESSION* session = session_take_locked();
  if (session == nullptr) return QL_ERR_MEMORY;
  if (path != nullptr && !container_opens(path)) return QL_ERR_CONTAINER;
  session->store = qcrypto::X509_STORE_new();
  if (session->store == nullptr ||
      qcrypto::X509_STORE_add_lookup(session->store, qcrypto::X509_LOOKUP_trusted(), "trusted", 1) == nullptr)
    return QL_ERR_MEMORY;
  const EVP_CIPHER* cipher = kept_cipher(qcrypto::SYSOBJ_RUS_GAMMAR);
  const EVP_MD* digest = kept_md5();
  if (cipher == nullptr || digest == nullptr) return QL_ERR_MEMORY;
  g_settings.cipher = cipher;
  g_settings.digest = digest;
  g_settings.key_type = qcrypto::SYSOBJ_R3410;
  g_settings.key_bits = 1024;
  g_settings.references = 1;
  return QL_OK;
}

struct MemFunctions {
  void* (*allocate)(std::size_t);
  void* (*reallocate)(void*, std::size_t);
  void (*release)(void*);
};

// Every set of functions ever installed stays listed: blocks made through
// an earlier set point at it.
std::list<MemFunctions>& mem_sets() {
  static std::list<MemFunctions> sets{{std::malloc, std::realloc, std::free}};
  return sets;
}
std::mutex g_mem_mutex;
std::atomic<const MemFunctions*> g_mem{nullptr};

const MemFunctions* current_mem() {
  const MemFunctions* m = g_mem.load(std::memory_order_acquire);
  if (m != nullptr) return m;
  std::lock_guard<std::mutex> lock(g_mem_mutex);
  m = &mem_sets().front();
  const MemFunctions* expected = nullptr;
  g_mem.compare_exchange_strong(expected, m, std::memory_order_acq_rel);
  return g_mem.load(std::memory_order_acquire);
}

struct alignas(std::max_align_t) BlockHeader {
  const MemFunctions* functions;
};

}  // namespace

int QL_init(const char* container_path, int /*flag*/) {
  std::lock_guard<std::recursive_mutex> lock(toolkit_mutex());
  if (g_starts > 0) {
    if (session_take_locked() == nullptr) return QL_ERR_MEMORY;
    ++g_starts;
    return QL_OK;
  }
  const int code = first_start_locked(container_path);
  if (code != QL_OK) {
    session_release_locked(g_session);
    stop_locked();
  }
  return code;
}

int QL_cleanup() {
  std::lock_guard<std::recursive_mutex> lock(toolkit_mutex());
  if (g_starts <= 0) return QL_OK;
  session_release_locked(g_session);
  if (--g_starts > 0) return QL_OK;
  stop_locked();
  return QL_OK;
}

int QL_is_initialized() {
  QL_set_last_error(QL_OK);
  return g_starts > 0 ? 1 : 0;
}

int QL_set_cipher(const char* name) {
  if (g_starts <= 0) return QL_ERR_NOT_INITIALISED;
  if (name == nullptr) return QL_ERR_CIPHER;
  int nid = OBJ_sn2nid(name);
  if (nid == NID_undef) nid = OBJ_ln2nid(name);
  const int number = qcrypto::sysobj_number(nid);
  if (number != NID_des_ede3_cbc && number != qcrypto::SYSOBJ_RUS_GAMMAR) return QL_ERR_CIPHER;
  const EVP_CIPHER* cipher = kept_cipher(number);
  if (cipher == nullptr) return QL_ERR_CIPHER;
  // Checked again under the mutex: a stop may have reset the settings since.
  std::lock_guard<std::recursive_mutex> lock(toolkit_mutex());
  if (g_starts <= 0) return QL_ERR_NOT_INITIALISED;
  g_settings.cipher = cipher;
  return QL_OK;
}

namespace {
// The check and the write under the toolkit mutex, so that a value is never
// written into the settings of a stopped toolkit (where it would outlive the
// stop's reset and show up in the next start) nor into a first start that
// has yet to write its defaults.
int set_word(std::atomic<int>& word, int value) {
  std::lock_guard<std::recursive_mutex> lock(toolkit_mutex());
  if (g_starts <= 0) return QL_ERR_NOT_INITIALISED;
  word = value;
  return QL_OK;
}
}  // namespace

int QL_set_include_certs(int flag) { return set_word(g_settings.include_certs, flag); }
int QL_set_signing_time(int flag) { return set_word(g_settings.signing_time, flag); }
int QL_set_recipient_format(int bits) { return set_word(g_settings.recipient_format, bits); }

int QL_set_progress_callback(QL_PROGRESS_CALLBACK callback, void* user) {
  if (!QL_is_initialized()) return QL_ERR_NOT_INITIALISED;
  t_progress.callback = callback;
  t_progress.user = user;
  return QL_OK;
}

void QL_set_random_sensor_callback(QL_RANDOM_SENSOR_CALLBACK callback) {
  if (callback != nullptr) qcrypto::mprand_set_callback(callback);
}
void QL_set_password_callback(QL_PASSWORD_CALLBACK callback) {
  if (callback != nullptr) g_password = callback;
}
void QL_set_key_retry_callback(QL_KEY_RETRY_CALLBACK callback) {
  if (callback != nullptr) g_retry = callback;
}
// The media read the callbacks from their own slots: the Touch-Memory BIO
// asks the person whether to retry, the token BIOs ask for the PIN.
void QL_set_medium_message_callback(QL_MEDIUM_MESSAGE_CALLBACK callback) {
  if (callback == nullptr) return;
  g_medium_message = callback;
  qcrypto::tm_set_message_callback(callback);
}
void QL_set_token_password_callback(QL_TOKEN_PASSWORD_CALLBACK callback) {
  g_token_password = callback;
  qcrypto::vx_set_password_callback(callback);
}

QL_MEDIUM_MESSAGE_CALLBACK QL_medium_message_callback() { return g_medium_message; }
QL_TOKEN_PASSWORD_CALLBACK QL_token_password_callback() { return g_token_password; }
QL_PASSWORD_CALLBACK ql_password_callback() { return g_password; }
QL_KEY_RETRY_CALLBACK ql_key_retry_callback() { return g_retry; }
// No installer: nothing in the system reports unusable CRL files.
QL_CRL_ERROR_CALLBACK ql_crl_error_callback() { return nullptr; }

void* QL_malloc(std::size_t size) {
  QL_set_last_error(QL_OK);
  const MemFunctions* m = current_mem();
  void* raw = size <= SIZE_MAX - sizeof(BlockHeader) ? m->allocate(sizeof(BlockHeader) + size) : nullptr;
  if (raw == nullptr) {
    QL_set_last_error(QL_ERR_MEMORY);
    return nullptr;
  }
  auto* header = static_cast<BlockHeader*>(raw);
  header->functions = m;
  return header + 1;
}

void QL_free(void* block) {
  if (block == nullptr) return;
  BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
  header->functions->release(header);
}

char* QL_strdup(const char* text) {
  QL_set_last_error(QL_OK);
  if (text == nullptr) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return nullptr;
  }
  const std::size_t n = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(QL_malloc(n));
  if (copy != nullptr) std::memcpy(copy, text, n);
  return copy;
}

int QL_set_mem_functions(void* (*allocate)(std::size_t), void* (*reallocate)(void*, std::size_t),
                         void (*release)(void*)) {
  if (allocate == nullptr || reallocate == nullptr || release == nullptr) return 0;
  current_mem();
  std::lock_guard<std::mutex> lock(g_mem_mutex);
  mem_sets().push_back({allocate, reallocate, release});
  g_mem.store(&mem_sets().back(), std::memory_order_release);
  return 1;
}

const char* QL_get_key_file_name() {
  QL_set_last_error(QL_OK);
  return t_key_file_name;
}

void mputil_set_key_file_name(const char* name) {
  if (name == nullptr) name = "";
  std::strncpy(t_key_file_name, name, kKeyFileNameBytes - 1);
  t_key_file_name[kKeyFileNameBytes - 1] = '\0';
}

unsigned long QL_verify_flags(unsigned check_options) {
  unsigned long flags = 0;
  if ((check_options & 0x1U) != 0) flags |= 0x200UL;
  if ((check_options & 0x2U) != 0) flags |= 0x400UL;
  if ((check_options & 0x4U) != 0) flags |= 0x800000UL;
  if ((check_options & 0x8U) != 0) flags |= 0x300004UL;
  if ((check_options & 0x10U) != 0) flags |= 0x1040000UL;
  if ((check_options & 0x20U) == 0) flags |= 0x8UL;
  if ((check_options & 0x100U) != 0 || (check_options & 0x40U) == 0) flags |= 0x800UL;
  if ((check_options & 0x200U) != 0 || (check_options & 0x80U) == 0) flags |= 0x1000UL;
  return flags;
}

QL_SETTINGS* QL_settings_get() { return g_starts > 0 ? &g_settings : nullptr; }

QL_SESSION* QL_session_get() {
  std::lock_guard<std::recursive_mutex> lock(toolkit_mutex());
  return g_starts > 0 ? session_take_locked() : nullptr;
}

void QL_session_release(QL_SESSION* session) {
  std::lock_guard<std::recursive_mutex> lock(toolkit_mutex());
  session_release_locked(session);
}

ProgressReport::ProgressReport(int stage, long total)
    : callback_(t_progress.callback), user_(t_progress.user), stage_(stage), total_(total) {}

int ProgressReport::report(long done) {
  last_reported_ = done;
  if (callback_ == nullptr) return QL_OK;
  return callback_(stage_, done, total_, user_) == 0 ? QL_ERR_CANCELLED : QL_OK;
}

int ProgressReport::begin() { return report(0); }

int ProgressReport::advance(std::size_t bytes) {
  done_ += static_cast<long>(bytes);
  return report(done_);
}

int ProgressReport::end() {
  if (last_reported_ == total_) return QL_OK;
  return report(total_);
}

}  // namespace quillon2
