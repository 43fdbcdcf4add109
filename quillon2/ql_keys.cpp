#include "quillon2/ql_keys.h"

#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "crypto/bio/media.h"
#include "crypto/bio/vexil_bio.h"
#include "crypto/cadb/buffer.h"
#include "crypto/cadb/cadb_file.h"
#include "crypto/cadb/library.h"
#include "crypto/cclib/locks.h"
#include "crypto/cclib/secret.h"
#include "crypto/err/err.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/pse/pse_files.h"
#include "crypto/x509/name_print.h"
#include "platform/codepage/native_path.h"

namespace quillon2 {

using qcrypto::CryptoLockGuard;
using qcrypto::EVP_PKEY_ENVELOPE;
using qcrypto::PSE;
using qcrypto::UniquePtr;

namespace {

// The serial text stops after this many hexadecimal characters.
constexpr std::size_t kSerialChars = 126;

int given_password(char* buffer, int size, int /*flag*/, void* user) {
  const auto* password = static_cast<const char*>(user);
  const int n = static_cast<int>(std::min<std::size_t>(std::strlen(password), static_cast<std::size_t>(size)));
  std::memcpy(buffer, password, static_cast<std::size_t>(n));
  return n;
}

int prompted_password(char* buffer, int size, int flag, void* /*user*/) {
  return mputil_password_callback(buffer, size, flag);
}

// Once its number is open the key needs no container: it must not point at
// one that is closed when the load returns.
void detach_container(EVP_PKEY_ENVELOPE* key) {
  key->container = nullptr;
  if (qcrypto::R3410* r = qcrypto::EVP_PKEY_ENVELOPE_get0_r3410(key)) r->container = nullptr;
  if (qcrypto::ECGOST* e = qcrypto::EVP_PKEY_ENVELOPE_get0_ecgost(key)) e->container = nullptr;
}

bool same_issuer_serial(X509* a, X509* b) {
  return X509_NAME_cmp(X509_get_issuer_name(a), X509_get_issuer_name(b)) == 0 &&
         ASN1_INTEGER_cmp(X509_get0_serialNumber(a), X509_get0_serialNumber(b)) == 0;
}

// Entry by entry, never by the printed text: a value holding "/O=..." must
// not pass for a name with that organisation.
bool name_equals(const X509_NAME* name, const char* wanted) {
  return qcrypto::X509_NAME_oneline_matches(name, wanted) == 1;
}

bool matches(X509* cert, const char* subject, const char* issuer, const char* serial) {
  return (subject == nullptr || name_equals(X509_get_subject_name(cert), subject)) &&
         (issuer == nullptr || name_equals(X509_get_issuer_name(cert), issuer)) &&
         (serial == nullptr || mputil_serial_text(X509_get0_serialNumber(cert)) == serial);
}

struct FolderLoad {
  QL_SESSION* session;
  PSE* container;
  const char* password;
  bool old_format;
};

int load_one(const char* path, void* user) {
  const auto* load = static_cast<const FolderLoad*>(user);
  if (load->old_format)
    mputil_load_old_key_file(load->session, load->container, path);
  else
    mputil_load_key_file(load->session, load->container, path, load->password);
  return 1;
}

int load_folder(QL_SESSION* session, PSE* container, const char* directory, const char* password, bool old_format) {
  if (session == nullptr) return QL_ERR_ARGUMENT;
  if (directory != nullptr && directory[0] != '\0') {
    FolderLoad load{session, container, password, old_format};
    qcrypto::CADB_enum_files(directory, 0, load_one, &load);
  }
  qcrypto::ERR_clear_error();
  return QL_OK;
}

// The whole file when it is a readable file of at most `max` bytes.
UniquePtr<qcrypto::BUFFER> read_bounded(const char* path, long max) {
  const long size = qcrypto::media_file_size(path);
  if (size > max) return nullptr;
  return UniquePtr<qcrypto::BUFFER>(qcrypto::BUFFER_read_file(path));
}

}  // namespace

void mputil_set_password_callback(QL_PASSWORD_CALLBACK callback) { QL_set_password_callback(callback); }

int mputil_password_callback(char* buffer, int size, int flag) {
  QL_PASSWORD_CALLBACK callback = ql_password_callback();
  return callback != nullptr ? callback(buffer, size, flag, nullptr) : -1;
}

int mputil_retry_callback(const char* key_file_path, int code) {
  QL_KEY_RETRY_CALLBACK callback = ql_key_retry_callback();
  return callback != nullptr ? callback(code, key_file_path) : 0;
}

void mputil_error_callback(const char* file, int code) {
  if (QL_CRL_ERROR_CALLBACK callback = ql_crl_error_callback()) callback(file, code);
}

int mputil_add_key(QL_SESSION* session, UniquePtr<EVP_PKEY_ENVELOPE> key) {
  if (session == nullptr || key == nullptr || key->pkey == nullptr) return QL_ERR_ARGUMENT;
  CryptoLockGuard guard(qcrypto::CRYPTO_LOCK_EVP_PKEY);
  try {
    if (session->keys == nullptr) session->keys = new QL_SESSION_KEYS();  // NOLINT(cppcoreguidelines-owning-memory)
    for (const SessionKey& held : session->keys->list)
      if (qcrypto::EVP_PKEY_cmp_public(held->pkey, key->pkey) == 1) return QL_OK;
    session->keys->list.emplace_back(key.release(), qcrypto::EVP_PKEY_ENVELOPE_free);
  } catch (const std::bad_alloc&) {
    return QL_ERR_MEMORY;
  }
  return QL_OK;
}

void mputil_free_keys(QL_SESSION* session) {
  if (session == nullptr) return;
  QL_SESSION_KEYS* keys = nullptr;
  {
    CryptoLockGuard guard(qcrypto::CRYPTO_LOCK_EVP_PKEY);
    keys = session->keys;
    session->keys = nullptr;
  }
  delete keys;  // NOLINT(cppcoreguidelines-owning-memory): made by mputil_add_key
}

std::vector<SessionKey> mputil_keys(QL_SESSION* session) {
  if (session == nullptr) return {};
  CryptoLockGuard guard(qcrypto::CRYPTO_LOCK_EVP_PKEY);
  return session->keys != nullptr ? session->keys->list : std::vector<SessionKey>();
}

int mputil_read_key(QL_SESSION* session, PSE* container, const unsigned char* bytes, int length, const char* password) {
  if (session == nullptr || bytes == nullptr || length <= 0) return QL_ERR_ARGUMENT;
  const bool given = password != nullptr && password[0] != '\0';
  // Cast: the decoder hands the argument back to given_password untouched.
  void* argument = given ? const_cast<char*>(password) : nullptr;  // NOLINT(cppcoreguidelines-pro-type-const-cast)
  UniquePtr<EVP_PKEY_ENVELOPE> key(
      qcrypto::EVP_PKEY_decode_private(bytes, length, container, given ? given_password : prompted_password, argument));
  if (!key || key->decrypted == 0) return QL_ERR_KEY_FILE;
  detach_container(key.get());
  return mputil_add_key(session, std::move(key));
}

int mputil_load_key_file(QL_SESSION* session, PSE* container, const char* path, const char* password) {
  if (session == nullptr || path == nullptr) return QL_ERR_ARGUMENT;
  for (;;) {
    UniquePtr<qcrypto::BUFFER> file = read_bounded(path, QL_KEY_FILE_MAX_BYTES);
    int code = QL_ERR_KEY_FILE;
    if (file) {
      mputil_set_key_file_name(path);
      code = mputil_read_key(session, container, file->data, file->length, password);
      mputil_set_key_file_name(nullptr);
    }
    if (code == QL_OK) return QL_OK;
    if (mputil_retry_callback(path, code) == 0) return code;
  }
}

int mputil_load_keys_31(QL_SESSION* session, PSE* container, const char* directory, const char* password) {
  return load_folder(session, container, directory, password, false);
}

int mputil_load_keys_old(QL_SESSION* session, PSE* container, const char* directory) {
  return load_folder(session, container, directory, nullptr, true);
}

int mputil_add_old_key(QL_SESSION* session, PSE* container, const unsigned char* record) {
  if (session == nullptr || container == nullptr) return QL_ERR_ARGUMENT;
  qcrypto::SecretBuffer<QL_OLD_KEY_FILE_BYTES> own;
  if (record == nullptr) {
    if (qcrypto::PSE_read_sec_sgn_old(container->path, own.data()) != 1) return QL_ERR_KEY_PATH;
    record = own.data();
  }
  UniquePtr<qcrypto::R3410> r3410(qcrypto::R3410_load_old_pse_key(container, record, QL_OLD_KEY_FILE_BYTES));
  if (!r3410) return QL_ERR_KEY_PATH;
  r3410->container = nullptr;
  UniquePtr<EVP_PKEY> pkey(qcrypto::evp_pkey_from_r3410(r3410.get()));
  if (!pkey) return QL_ERR_KEY_PATH;
  UniquePtr<EVP_PKEY_ENVELOPE> key(qcrypto::EVP_PKEY_ENVELOPE_new(pkey.release(), nullptr));
  if (!key) return QL_ERR_KEY_PATH;
  key->decrypted = 1;
  return mputil_add_key(session, std::move(key));
}

int mputil_load_old_key_file(QL_SESSION* session, PSE* container, const char* path) {
  if (session == nullptr || container == nullptr) return QL_ERR_ARGUMENT;
  if (path == nullptr) return mputil_add_old_key(session, container, nullptr);
  // One byte more than a record tells a longer file from a whole record.
  qcrypto::SecretBuffer<QL_OLD_KEY_FILE_BYTES + 1> record;
  if (qcrypto::CADB_read_bytes(path, record.data(), QL_OLD_KEY_FILE_BYTES + 1) != QL_OLD_KEY_FILE_BYTES)
    return QL_ERR_KEY_FILE;
  return mputil_add_old_key(session, container, record.data());
}

int mputil_add_certificate(QL_SESSION* session, X509* cert) {
  if (session == nullptr || cert == nullptr) return QL_ERR_ARGUMENT;
  CryptoLockGuard guard(qcrypto::CRYPTO_LOCK_X509);
  try {
    if (session->certs == nullptr) session->certs = new QL_SESSION_CERTS();  // NOLINT(cppcoreguidelines-owning-memory)
    for (const UniquePtr<X509>& held : session->certs->list)
      if (same_issuer_serial(held.get(), cert)) return QL_OK;
    session->certs->list.reserve(session->certs->list.size() + 1);
  } catch (const std::bad_alloc&) {
    return QL_ERR_MEMORY;
  }
  if (X509_up_ref(cert) != 1) return QL_ERR_MEMORY;
  session->certs->list.emplace_back(cert);
  return QL_OK;
}

void mputil_free_certificates(QL_SESSION* session) {
  if (session == nullptr) return;
  QL_SESSION_CERTS* certs = nullptr;
  {
    CryptoLockGuard guard(qcrypto::CRYPTO_LOCK_X509);
    certs = session->certs;
    session->certs = nullptr;
  }
  delete certs;  // NOLINT(cppcoreguidelines-owning-memory): made by mputil_add_certificate
}

STACK_OF(X509) * mputil_certificates(QL_SESSION* session) {
  if (session == nullptr) return nullptr;
  CryptoLockGuard guard(qcrypto::CRYPTO_LOCK_X509);
  if (session->certs == nullptr || session->certs->list.empty()) return nullptr;
  STACK_OF(X509)* out = sk_X509_new_null();
  for (const UniquePtr<X509>& cert : session->certs->list) {
    if (out == nullptr || X509_up_ref(cert.get()) != 1) break;
    if (sk_X509_push(out, cert.get()) <= 0) {
      X509_free(cert.get());
      sk_X509_pop_free(out, X509_free);
      return nullptr;
    }
  }
  return out;
}

X509* mputil_decode_cert(const unsigned char* bytes, long length) {
  if (bytes == nullptr || length <= 0) return nullptr;
  const unsigned char* p = bytes;
  UniquePtr<X509> cert(d2i_X509(nullptr, &p, length));
  if (cert && p == bytes + length) return cert.release();
  if (length > INT_MAX) return nullptr;
  UniquePtr<BIO> bio(BIO_new_mem_buf(bytes, static_cast<int>(length)));
  return bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr;
}

X509_CRL* mputil_decode_crl(const unsigned char* bytes, long length) {
  if (bytes == nullptr || length <= 0) return nullptr;
  const unsigned char* p = bytes;
  UniquePtr<X509_CRL> crl(d2i_X509_CRL(nullptr, &p, length));
  if (crl && p == bytes + length) return crl.release();
  if (length > INT_MAX) return nullptr;
  UniquePtr<BIO> bio(BIO_new_mem_buf(bytes, static_cast<int>(length)));
  return bio ? PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr) : nullptr;
}

int mputil_store_add_cert(qcrypto::X509_STORE* store, X509* cert) {
  if (store == nullptr || cert == nullptr) return QL_ERR_ARGUMENT;
  qcrypto::X509_LOOKUP* lookup = qcrypto::X509_STORE_get_lookup(store, "trusted");
  return lookup != nullptr && qcrypto::X509_LOOKUP_add_cert(lookup, cert) == 1 ? QL_OK : QL_ERR_STORE_ADD;
}

int mputil_store_add_crl(qcrypto::X509_STORE* store, X509_CRL* crl) {
  if (store == nullptr || crl == nullptr) return QL_ERR_ARGUMENT;
  qcrypto::X509_LOOKUP* lookup = qcrypto::X509_STORE_get_lookup(store, "trusted");
  return lookup != nullptr && qcrypto::X509_LOOKUP_add_crl(lookup, crl) == 1 ? QL_OK : QL_ERR_CRL_ADD;
}

int mputil_store_add_crl_file(qcrypto::X509_STORE* store, const char* path) {
  if (store == nullptr || path == nullptr) return QL_ERR_ARGUMENT;
  UniquePtr<qcrypto::BUFFER> file = read_bounded(path, QL_CRL_FILE_MAX_BYTES);
  if (!file) return QL_ERR_CRL_READ;
  UniquePtr<X509_CRL> crl(mputil_decode_crl(file->data, file->length));
  if (!crl) return QL_ERR_CRL_READ;
  return mputil_store_add_crl(store, crl.get());
}

std::string mputil_serial_text(const ASN1_INTEGER* serial) {
  if (serial == nullptr) return {};
  // Written into a fixed buffer: g++ 12 at -O3 sees impossible sizes in
  // string appends here (its known false restrict warning).
  static constexpr char kHex[] = "0123456789ABCDEF";
  char text[kSerialChars + 2];
  std::size_t n = 0;
  if (ASN1_STRING_type(serial) == V_ASN1_NEG_INTEGER) text[n++] = '-';
  const unsigned char* bytes = ASN1_STRING_get0_data(serial);
  const auto count = static_cast<std::size_t>(std::max(ASN1_STRING_length(serial), 0));
  for (std::size_t i = 0; i < count && (i + 1) * 2 <= kSerialChars; ++i) {
    text[n++] = kHex[bytes[i] >> 4];
    text[n++] = kHex[bytes[i] & 0x0F];
  }
  return std::string(text, n);
}

X509* mputil_find_cert_in(STACK_OF(X509) * list, const char* subject, const char* issuer, const char* serial) {
  if (list == nullptr || (subject == nullptr && issuer == nullptr && serial == nullptr)) return nullptr;
  for (int i = 0; i < sk_X509_num(list); ++i) {
    X509* cert = sk_X509_value(list, i);
    if (matches(cert, subject, issuer, serial)) return X509_up_ref(cert) == 1 ? cert : nullptr;
  }
  return nullptr;
}

X509* mputil_find_cert(QL_SESSION* session, const char* subject, const char* issuer, const char* serial) {
  if (session == nullptr || (subject == nullptr && issuer == nullptr && serial == nullptr)) return nullptr;
  CryptoLockGuard guard(qcrypto::CRYPTO_LOCK_X509);
  if (session->certs == nullptr) return nullptr;
  for (const UniquePtr<X509>& cert : session->certs->list)
    if (matches(cert.get(), subject, issuer, serial)) return X509_up_ref(cert.get()) == 1 ? cert.get() : nullptr;
  return nullptr;
}

X509* mputil_find_signer_cert(PKCS7* message, PKCS7_SIGNER_INFO* signer) {
  if (message == nullptr || signer == nullptr || signer->issuer_and_serial == nullptr ||
      PKCS7_type_is_signed(message) == 0 || message->d.sign == nullptr)
    return nullptr;
  return X509_find_by_issuer_and_serial(message->d.sign->cert, signer->issuer_and_serial->issuer,
                                        signer->issuer_and_serial->serial);
}

int mputil_check_signers(PKCS7* message, STACK_OF(X509) * certificates) {
  if (certificates == nullptr) return QL_OK;
  STACK_OF(PKCS7_SIGNER_INFO)* signers =
      message != nullptr && PKCS7_type_is_signed(message) != 0 ? PKCS7_get_signer_info(message) : nullptr;
  if (signers == nullptr) return QL_ERR_NO_SIGNERS;
  for (int i = 0; i < sk_X509_num(certificates); ++i) {
    X509* wanted = sk_X509_value(certificates, i);
    bool signed_it = false;
    for (int s = 0; s < sk_PKCS7_SIGNER_INFO_num(signers) && !signed_it; ++s) {
      const PKCS7_ISSUER_AND_SERIAL* id = sk_PKCS7_SIGNER_INFO_value(signers, s)->issuer_and_serial;
      signed_it = id != nullptr && X509_NAME_cmp(id->issuer, X509_get_issuer_name(wanted)) == 0 &&
                  ASN1_INTEGER_cmp(id->serial, X509_get0_serialNumber(wanted)) == 0;
    }
    if (!signed_it) return QL_ERR_REQUIRED_SIGNER;
  }
  return QL_OK;
}

namespace {

// The session for one toolkit call, handed back when the call returns.
class SessionHold {
 public:
  SessionHold() : session_(QL_session_get()) {}
  ~SessionHold() { QL_session_release(session_); }
  SessionHold(const SessionHold&) = delete;
  SessionHold& operator=(const SessionHold&) = delete;
  QL_SESSION* get() const { return session_; }

 private:
  QL_SESSION* session_;
};

// The container on the medium: format 3.1 with its random state, else the
// old format.
UniquePtr<PSE> open_container(const char* medium, bool& old_format) {
  UniquePtr<PSE> container(qcrypto::PSE_open(medium, 1));
  old_format = !container;
  if (!container) container.reset(qcrypto::PSE30_open(medium, nullptr));
  return container;
}

}  // namespace

int QL_load_key_file(const char* path, const char* password) {
  if (path == nullptr || path[0] == '\0') return QL_ERR_ARGUMENT;
  SessionHold session;
  if (session.get() == nullptr) return QL_ERR_NOT_INITIALISED;
  return mputil_load_key_file(session.get(), nullptr, path, password);
}

int QL_clear_keys() {
  SessionHold session;
  if (session.get() == nullptr) return QL_ERR_NOT_INITIALISED;
  mputil_free_keys(session.get());
  return QL_OK;
}

int QL_load_key(const char* medium, int /*unused*/, const char* key_file, const char* password) {
  if (medium == nullptr) return QL_ERR_ARGUMENT;
  SessionHold session;
  if (session.get() == nullptr) return QL_ERR_NOT_INITIALISED;
  bool old_format = false;
  UniquePtr<PSE> container = open_container(medium, old_format);
  if (!container) return QL_ERR_CONTAINER;
  const bool named = key_file != nullptr && key_file[0] != '\0';
  if (old_format) return mputil_load_old_key_file(session.get(), container.get(), named ? key_file : nullptr);
  char first[qcrypto::PSE_PATH_BUFFER];
  if (!named && qcrypto::PSE_first_key_path(first, medium) == nullptr) return QL_ERR_KEY_PATH;
  return mputil_load_key_file(session.get(), container.get(), named ? key_file : first, password);
}

int QL_load_key_by_name(const char* medium, const char* key_file) { return QL_load_key(medium, 0, key_file, nullptr); }

int QL_load_keys(const char* medium, const char* directory) {
  if (medium == nullptr) return QL_ERR_ARGUMENT;
  SessionHold session;
  if (session.get() == nullptr) return QL_ERR_NOT_INITIALISED;
  bool old_format = false;
  UniquePtr<PSE> container = open_container(medium, old_format);
  if (!container) return QL_ERR_CONTAINER;
  char own[qcrypto::PSE_PATH_BUFFER];
  if (old_format) {
    if (mputil_load_keys_old(session.get(), container.get(), directory) == QL_OK &&
        qcrypto::PSE_sign_dir_path(medium, own) != nullptr)
      mputil_load_keys_old(session.get(), container.get(), own);
  } else if (mputil_load_keys_31(session.get(), container.get(), directory, nullptr) == QL_OK &&
             qcrypto::PSE_keys_dir_path(own, medium) != nullptr) {
    mputil_load_keys_31(session.get(), container.get(), own, nullptr);
  }
  return QL_OK;
}

int QL_add_certificate(const unsigned char* bytes, long length) {
  if (bytes == nullptr || length <= 0) return QL_ERR_ARGUMENT;
  SessionHold session;
  if (session.get() == nullptr) return QL_ERR_NOT_INITIALISED;
  UniquePtr<X509> cert(mputil_decode_cert(bytes, length));
  if (!cert) return QL_ERR_CERT_DECODE;
  return mputil_add_certificate(session.get(), cert.get());
}

int QL_add_trusted_certificate(const unsigned char* bytes, long length) {
  if (bytes == nullptr || length <= 0) return QL_ERR_ARGUMENT;
  SessionHold session;
  if (session.get() == nullptr) return QL_ERR_NOT_INITIALISED;
  UniquePtr<X509> cert(mputil_decode_cert(bytes, length));
  if (!cert) return QL_ERR_TRUSTED_DECODE;
  return mputil_store_add_cert(session.get()->store, cert.get());
}

namespace {

struct CrlLoad {
  qcrypto::X509_STORE* store;
  int loaded = 0;
  int first_failure = QL_OK;
};

int load_crl(const char* path, void* user) {
  auto* load = static_cast<CrlLoad*>(user);
  const int code = mputil_store_add_crl_file(load->store, path);
  if (code == QL_OK) {
    ++load->loaded;
  } else {
    if (load->first_failure == QL_OK) load->first_failure = code;
    mputil_error_callback(path, code);
  }
  return 1;
}

}  // namespace

int QL_load_crls(const char* directory) {
  if (directory == nullptr || directory[0] == '\0') return QL_ERR_ARGUMENT;
  SessionHold session;
  if (session.get() == nullptr) return QL_ERR_NOT_INITIALISED;
  CrlLoad load{session.get()->store};
  qcrypto::CADB_enum_files(directory, 0, load_crl, &load);
  qcrypto::ERR_clear_error();
  return load.loaded == 0 ? load.first_failure : QL_OK;
}

int QL_medium_present(const char* path) {
  QL_set_last_error(QL_OK);
  if (path == nullptr) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return 0;
  }
  qcrypto::cadb_library_init();
  const int present = qcrypto::media_exists(path);
  qcrypto::cadb_library_cleanup();
  return present;
}

int QL_token_present(const char* medium) {
  QL_set_last_error(QL_OK);
  if (medium == nullptr) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return 0;
  }
  if (qcrypto::media_is_token(medium) == 0) return 0;
  qcrypto::cadb_library_init();  // binds the token drivers
  const int present = qcrypto::vx_token_present(medium) == 1 ? 1 : 0;
  qcrypto::cadb_library_cleanup();
  return present;
}

namespace {

// A folder of the file system itself, never one reached through a link.
bool is_folder(const char* path) {
  const std::optional<std::string> native = platform::native_path(path);
  struct stat st {};
  return native && ::lstat(native->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool remove_folder(const char* path) {
  const std::optional<std::string> native = platform::native_path(path);
  return native && ::rmdir(native->c_str()) == 0;
}

int collect_path(const char* path, void* user) {
  static_cast<std::vector<std::string>*>(user)->emplace_back(path);
  return 1;
}

}  // namespace

int QL_erase_file(const char* path) {
  if (path == nullptr || path[0] == '\0') return QL_ERR_ARGUMENT;
  if (qcrypto::media_kind(path) != qcrypto::MediumKind::File || !is_folder(path))
    return qcrypto::CADB_erase(path) == 1 ? QL_OK : QL_ERR_OUTPUT;
  // A folder: everything below it, deepest first. The walk never descends
  // through a symbolic link, and the erase of a file refuses one.
  std::vector<std::string> entries;
  try {
    if (qcrypto::CADB_enum_files(path, qcrypto::CADB_ENUM_RECURSIVE | qcrypto::CADB_ENUM_DIRECTORIES, collect_path,
                                 &entries) != 1)
      return QL_ERR_OUTPUT;
  } catch (const std::bad_alloc&) {
    return QL_ERR_MEMORY;
  }
  std::sort(entries.begin(), entries.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  entries.emplace_back(path);
  bool ok = true;
  for (const std::string& entry : entries) {
    if (is_folder(entry.c_str()))
      ok = remove_folder(entry.c_str()) && ok;
    else
      ok = qcrypto::CADB_erase(entry.c_str()) == 1 && ok;
  }
  return ok ? QL_OK : QL_ERR_OUTPUT;
}

}  // namespace quillon2
