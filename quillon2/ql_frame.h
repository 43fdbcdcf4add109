// The toolkit's frame: start and stop, the one settings record, the one key
// session, the callback slots through which the toolkit reaches the user,
// the toolkit's allocator and the progress protocol of the streaming
// operations.
//
// Threads. The engine runs one worker thread per operation, all on one
// toolkit, so everything here is safe to call from any thread:
//  - one toolkit mutex serialises QL_init, QL_cleanup, the creation and the
//    reference counts of the session and the settings' lifetime. It is the
//    outermost lock: it is never taken while a numbered crypto lock is held,
//    and nothing waits for a person while holding it except the first
//    QL_init's test of a key container (which may ask for keystrokes to seed
//    the generator; every other caller would have to wait for that start
//    anyway).
//  - the settings' words are atomics, so an operation reads them while
//    another thread calls a setter. The setters check that the toolkit is
//    started and write under the toolkit mutex, so a value never lands in
//    the settings of a stopped toolkit and never outlives the stop. The
//    cipher and digest words point to methods kept for the life of the
//    process, never freed under a reader.
//  - the progress callback and its user word belong to the calling thread:
//    the engine installs them around each operation on the thread that runs
//    it, and two operations never see each other's callback.
//  - the session's keys are guarded by crypto lock 10, its certificate list
//    by lock 3 (see ql_keys.h); the session record itself lives until its
//    last reference goes.
#pragma once

#include <openssl/evp.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "crypto/pkey/key_envelope.h"
#include "crypto/x509store/store.h"
#include "quillon2/ql_codes.h"
#include "quillon2/ql_last_error.h"

namespace quillon2 {

struct QL_DN;

// Callback types. The user words are the caller's, handed back unchanged.
// (character to type, its ordinal 1..16, total 16, user) -> character typed; < 1 cancels
using QL_RANDOM_SENSOR_CALLBACK = int (*)(int character, int ordinal, int total, void* user);
// (buffer, its size, read/write flag 0, user 0) -> password length in the buffer; < 0 cancels
using QL_PASSWORD_CALLBACK = int (*)(char* buffer, int size, int flag, void* user);
// (toolkit result code, key file name) -> nonzero: read the key file again
using QL_KEY_RETRY_CALLBACK = int (*)(int code, const char* key_file_name);
// (port value 1, port value 2, status code) -> 1 retry, anything else give up
using QL_MEDIUM_MESSAGE_CALLBACK = int (*)(int port1, int port2, int status);
// (PIN buffer of 256 bytes, 256, flag 0, user) -> PIN length, 0 on cancel
using QL_TOKEN_PASSWORD_CALLBACK = int (*)(char* buffer, int size, int flag, void* user);
// (stage, bytes done, bytes total, user) -> nonzero go on, 0 cancel (184)
using QL_PROGRESS_CALLBACK = int (*)(int stage, long done, long total, void* user);
// (file name, result code) of a CRL file that could not be used
using QL_CRL_ERROR_CALLBACK = void (*)(const char* file, int code);

// Progress stages.
enum QlStage : int {
  QL_STAGE_ENCRYPT = 3,
  QL_STAGE_DECRYPT = 4,
  QL_STAGE_VERIFY = 6,
  QL_STAGE_SIGN = 7,
};
// Streams move in blocks of this many bytes; progress is reported after each.
constexpr std::size_t QL_BLOCK_BYTES = 4096;

// Message formats of the settings' input and output words.
constexpr int QL_FORMAT_PEM = 3;

// The settings record, in the order of its words. Words without a setter
// keep their defaults: messages are read DER first and written DER, the
// name record of certificate look-up mode 3 stays empty and chain
// verification runs with check options 0.
struct QL_SETTINGS {
  std::atomic<const EVP_CIPHER*> cipher{nullptr};  // bulk cipher of enveloped output
  std::atomic<const EVP_MD*> digest{nullptr};      // digest of each new signer
  std::atomic<int> key_type{0};                    // key type of new keys (read by nothing)
  std::atomic<int> key_bits{0};                    // key length of new keys (read by nothing)
  std::atomic<int> include_certs{0};               // nonzero: signers' certificates go into a signature
  std::atomic<int> signing_time{0};                // nonzero: each signer gets signingTime
  std::atomic<int> input_format{0};                // QL_FORMAT_PEM: PEM first, else DER first
  std::atomic<int> output_format{0};               // QL_FORMAT_PEM: PEM, else DER
  // Words 11 and 12 (progress callback and user word) live with the calling
  // thread instead: see QL_set_progress_callback.
  QL_DN* name{nullptr};                    // name record of look-up mode 3; nothing sets it
  std::atomic<unsigned> check_options{0};  // chain verification options, see QL_verify_flags
  std::atomic<int> recipient_format{0};    // recipient format bits of encryption
  std::atomic<int> references{0};          // 1 while the toolkit is started
};

struct QL_SESSION_KEYS;
struct QL_SESSION_CERTS;

// The key session.
struct QL_SESSION {
  qcrypto::X509_STORE* store = nullptr;  // with the "trusted" look-up
  void* reserved = nullptr;              // the single-key argument of message decryption: always empty
  QL_SESSION_KEYS* keys = nullptr;       // private keys (lock 10), see ql_keys.h
  QL_SESSION_CERTS* certs = nullptr;     // certificate list (lock 3), see ql_keys.h
  qcrypto::PSE* container = nullptr;     // key container, closed with the session
  int references = 0;                    // under the toolkit mutex
};

// Start and stop. Each successful QL_init is balanced by one QL_cleanup; the
// toolkit stops at the cleanup that balances the first QL_init. A failed
// first QL_init leaves the toolkit stopped, as if it had not been called.
int QL_init(const char* container_path, int flag);
int QL_cleanup();
int QL_is_initialized();

// Setters: 161 when the toolkit is not started, else 0 unless said.
// 109 unless the name (short or long, exact case) is DES-EDE3-CBC or RUS-GAMMAR.
int QL_set_cipher(const char* name);
int QL_set_include_certs(int flag);
int QL_set_signing_time(int flag);
int QL_set_recipient_format(int bits);
// For the calling thread's operations; (null, null) removes it.
int QL_set_progress_callback(QL_PROGRESS_CALLBACK callback, void* user);

// Callback installers; any thread, started or not. The random-sensor,
// password, retry and Touch-Memory installers ignore null; the token
// installer stores what it is given.
void QL_set_random_sensor_callback(QL_RANDOM_SENSOR_CALLBACK callback);
void QL_set_password_callback(QL_PASSWORD_CALLBACK callback);
void QL_set_key_retry_callback(QL_KEY_RETRY_CALLBACK callback);
void QL_set_medium_message_callback(QL_MEDIUM_MESSAGE_CALLBACK callback);
void QL_set_token_password_callback(QL_TOKEN_PASSWORD_CALLBACK callback);
// The installed callbacks (null when none), for the media and key code.
QL_MEDIUM_MESSAGE_CALLBACK QL_medium_message_callback();
QL_TOKEN_PASSWORD_CALLBACK QL_token_password_callback();

// The toolkit's allocator: every buffer a toolkit function hands to its
// caller comes from QL_malloc and goes back through QL_free. A block
// remembers the free function it was allocated with, so blocks made before
// QL_set_mem_functions are still freed by their own allocator.
void* QL_malloc(std::size_t size);  // null and last result 103 on failure
void QL_free(void* block);          // null ignored
// A QL_malloc copy of the text, or null (103).
char* QL_strdup(const char* text);
// All three non-null: 1 and the toolkit allocates through them from now on;
// else 0 and nothing changes. OpenSSL's own allocator is not replaced: OpenSSL
// 3 accepts that only before its first allocation, long past when a process
// starts the toolkit.
int QL_set_mem_functions(void* (*allocate)(std::size_t), void* (*reallocate)(void*, std::size_t),
                         void (*release)(void*));

// The name of the key file being opened by the calling thread (for the
// password prompt), "" when none.
const char* QL_get_key_file_name();

// Chain verification flags of the settings' check options.
unsigned long QL_verify_flags(unsigned check_options);

// The settings while started, else null. The record stays valid until the
// toolkit stops.
QL_SETTINGS* QL_settings_get();
// The session with one more reference while started, else null. Every
// caller hands it back with QL_session_release, which frees it with its
// last reference (keys under lock 10, certificates under lock 3, store,
// container).
QL_SESSION* QL_session_get();
void QL_session_release(QL_SESSION* session);

// The progress protocol of one streaming operation: (stage, 0, total) first,
// then (stage, done, total) after every block; decryption and verification
// end with (stage, total, total) unless the last block reached the total.
// The callback and user word are the calling thread's at construction. Each
// call gives 0, or 184 when the callback answered 0 (the operation must stop
// and return that code).
class ProgressReport {
 public:
  ProgressReport(int stage, long total);
  int begin();
  // After a block of `bytes` bytes.
  int advance(std::size_t bytes);
  int end();
  long done() const { return done_; }

 private:
  int report(long done);
  QL_PROGRESS_CALLBACK callback_;
  void* user_;
  int stage_;
  long total_;
  long done_ = 0;
  long last_reported_ = -1;
};

// Internal to the toolkit: the installed password and retry callbacks, and
// the calling thread's key-file name buffer.
QL_PASSWORD_CALLBACK ql_password_callback();
QL_KEY_RETRY_CALLBACK ql_key_retry_callback();
QL_CRL_ERROR_CALLBACK ql_crl_error_callback();
void mputil_set_key_file_name(const char* name);

}  // namespace quillon2
