#include "dsutils/engine/crypto_session.h"

#include <QFile>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "crypto/bio/media.h"
#include "dsutils/engine/engine_helper.h"
#include "platform/codepage/codepage.h"
#include "platform/codepage/native_path.h"
#include "quillon2/ql_codes.h"
#include "quillon2/ql_keys.h"

namespace dsutils {
namespace {

namespace ql = quillon2;

// No setting the engine reads selects triple DES for a session (the main
// program's Property\Log Algoritm is not one of the log options), so every
// session encrypts with the GOST gamma.
constexpr const char* kBulkCipher = "RUS-GAMMAR";

thread_local int t_last_result = 0;

// A data file's path as the file system takes it.
QByteArray file_path(const QString& path) { return QFile::encodeName(path); }

// A key-medium path or name: 8-bit text in the local code page.
std::string medium_text(const QString& text) { return platform::utf8_to_ansi(text.toUtf8().toStdString()); }
const char* or_null(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

QString from_local(const char* text) {
  return text == nullptr ? QString() : QString::fromStdString(platform::ansi_to_utf8(text));
}
// Copies a toolkit text and hands it back to the toolkit's allocator.
QString take_text(char* text) {
  QString out = from_local(text);
  ql::QL_free(text);
  return out;
}
QByteArray take_bytes(const char* text) { return text == nullptr ? QByteArray() : QByteArray(text); }

// The mail settings as the prompts read them at each use.
MailSettings mail_settings() {
  MailSettings s;
  s.Min = 60;
  s.Password = 0;
  engine_helper().GetMailSettings(s);
  return s;
}

// A failed key load wipes what the calling operation's prompt remembered.
void key_load_failed() {
  if (EngineUi* ui = operation_ui()) ui->keyLoadFailed();
}

// The toolkit's include-certificates and signing-time words are shared by
// every thread. Signings with equal options run side by side; one with
// other options waits until those have ended, and sets the words itself.
struct SigningGate {
  std::mutex lock;
  std::condition_variable idle;
  int running = 0;
  SigningOptions current;
};
SigningGate& signing_gate() {
  static SigningGate* g = new SigningGate();  // used until the process ends
  return *g;
}

int set_signing_words(const SigningOptions& options) {
  const int code = ql::QL_set_include_certs(options.includeCertificate);
  if (code != ql::QL_OK) return code;
  return ql::QL_set_signing_time(options.includeSigningTime);
}

// Holds the gate for one signing: the toolkit's words are `options` until
// it is released.
class SigningTurn {
 public:
  explicit SigningTurn(const SigningOptions& options) : gate_(signing_gate()) {
    std::unique_lock<std::mutex> l(gate_.lock);
    gate_.idle.wait(l, [&] { return gate_.running == 0 || gate_.current == options; });
    if (gate_.running == 0) {
      code_ = set_signing_words(options);
      if (code_ != ql::QL_OK) return;
      gate_.current = options;
    }
    ++gate_.running;
    held_ = true;
  }
  ~SigningTurn() {
    if (!held_) return;
    {
      const std::lock_guard<std::mutex> g(gate_.lock);
      --gate_.running;
    }
    gate_.idle.notify_all();
  }
  SigningTurn(const SigningTurn&) = delete;
  SigningTurn& operator=(const SigningTurn&) = delete;
  int code() const { return code_; }

 private:
  SigningGate& gate_;
  int code_ = ql::QL_OK;
  bool held_ = false;
};

// A setter of one signing word outside a signing: the toolkit's word
// changes only while no signing runs (the next signing sets it anyway).
int set_word_unless_signing(int (*setter)(int), int flag) {
  SigningGate& gate = signing_gate();
  const std::lock_guard<std::mutex> g(gate.lock);
  if (gate.running == 0) return setter(flag);
  return ql::QL_is_initialized() != 0 ? ql::QL_OK : ql::QL_ERR_NOT_INITIALISED;
}

// The engine's progress function: the user word is the operation's
// progress, which shows the step and answers whether to go on.
int progress_function(int stage, long done, long total, void* user) {
  auto* progress = static_cast<OperationProgress*>(user);
  const auto count = [](long v) { return v < 0 ? std::uint64_t{0} : static_cast<std::uint64_t>(v); };
  return progress->step(stage, count(done), count(total)) ? 1 : 0;
}

// The operation's progress in the calling thread's slot for one toolkit call.
class ProgressInstalled {
 public:
  explicit ProgressInstalled(OperationProgress* progress) : on_(progress != nullptr) {
    if (on_) ql::QL_set_progress_callback(&progress_function, progress);
  }
  ~ProgressInstalled() {
    if (on_) ql::QL_set_progress_callback(nullptr, nullptr);
  }
  ProgressInstalled(const ProgressInstalled&) = delete;
  ProgressInstalled& operator=(const ProgressInstalled&) = delete;

 private:
  bool on_;
};

LogOptions log_options() {
  LogOptions options;
  options.IsOldEnc = 1;  // kept when the settings hold no value
  engine_helper().GetLogOptions(options);
  return options;
}

// A password answered into `answer` copied into the toolkit's buffer with
// its terminator: its length, or -1 when it does not fit.
int copy_answer(const PasswordBuffer& answer, int length, char* buffer, int size) {
  if (length < 0 || length >= size || static_cast<std::size_t>(length) >= answer.size()) return -1;
  std::memcpy(buffer, answer.data(), static_cast<std::size_t>(length));
  buffer[length] = '\0';
  return length;
}

// A certificate added to a set or list by a look-up mode: the bytes mode
// takes the length by address, every other mode no second argument.
template <typename Target>
int add_looked_up(int (*add)(Target*, int, const void*, const void*), Target* target, int mode, const void* key,
                  long keyLength) {
  if (mode != ql::QL_LOOKUP_BYTES) return add(target, mode, key, nullptr);
  if (keyLength < 0) return ql::QL_ERR_ARGUMENT;
  return add(target, mode, key, &keyLength);
}

}  // namespace

CryptoSession::CryptoSession() { registerCallbacks(); }

void CryptoSession::registerCallbacks() {
  ql::QL_set_random_sensor_callback(&CryptoSession::OnRandomSensor);
  ql::QL_set_password_callback(&CryptoSession::OnKeyPassword);
  SetMediumMessageCallback(&CryptoSession::OnTouchMemoryMessage);
  SetTokenPasswordCallback(&CryptoSession::OnTokenPassword);
}

int CryptoSession::open(const char* containerPath) {
  const int code = ql::QL_init(containerPath, 0);
  if (code == ql::QL_OK) openCount_.fetch_add(1);
  registerCallbacks();
  log_options();  // no log option selects the cipher; read as every start reads them
  SetCipher(QString::fromLatin1(kBulkCipher));
  return code;
}

int CryptoSession::Open() { return open(nullptr); }

int CryptoSession::OpenWithPath(const QString& containerPath) {
  const std::string path = medium_text(containerPath);
  return open(or_null(path));
}

int CryptoSession::Close() {
  // The toolkit counts its starts for the whole process: a stop this object
  // never started would end someone else's session under their feet.
  int count = openCount_.load();
  while (count > 0 && !openCount_.compare_exchange_weak(count, count - 1)) {
  }
  if (count > 0) ql::QL_cleanup();
  return 0;
}

int CryptoSession::LastResult() const { return t_last_result; }

void CryptoSession::keepResult(int code) {
  t_last_result = code;
  lastResult_.store(code);
}

int CryptoSession::GetFileType(const QString& path) {
  int kind = ql::QL_KIND_OTHER;
  const int code = ql::QL_get_file_type(file_path(path).constData(), &kind);
  keepResult(code);
  return code == ql::QL_OK ? kind : -1;
}

int CryptoSession::ReadMessageFileKind(const QString& path, QL_MESSAGE** message) {
  int kind = ql::QL_KIND_OTHER;
  const int code = ql::QL_read_message_file(file_path(path).constData(), &kind, message);
  keepResult(code);
  return code == ql::QL_OK ? kind : -1;
}

int CryptoSession::QueryFileType(const QString& path, int* kind) {
  return ql::QL_get_file_type(file_path(path).constData(), kind);
}

int CryptoSession::ReadMessageFile(const QString& path, int* kind, QL_MESSAGE** message) {
  return ql::QL_read_message_file(file_path(path).constData(), kind, message);
}

int CryptoSession::ReadMessageBuffer(const unsigned char* buffer, long length, int* kind, QL_MESSAGE** message) {
  return ql::QL_read_message_buffer(buffer, length, kind, message);
}

int CryptoSession::GetBufferType(const unsigned char* buffer, long length, int* kind) {
  return ql::QL_get_buffer_type(buffer, length, kind);
}

void CryptoSession::FreeMessage(QL_MESSAGE* message) { ql::QL_free_message(message); }

int CryptoSession::LoadKeyFile(const QString& keyFile, std::string_view password) {
  int code = ql::QL_ERR_ARGUMENT;
  if (password.size() < kPasswordBytes) {
    PasswordBuffer given;
    if (!password.empty()) std::memcpy(given.data(), password.data(), password.size());
    const std::string path = medium_text(keyFile);
    code = ql::QL_load_key_file(path.c_str(), password.empty() ? nullptr : reinterpret_cast<const char*>(given.data()));
  }
  keepResult(code);
  if (code != ql::QL_OK) key_load_failed();
  return code;
}

int CryptoSession::LoadKeyFromMedium(const QString& medium, const QString& keyFile) {
  const std::string path = medium_text(medium);
  const std::string name = medium_text(keyFile);
  ql::QL_clear_keys();
  const int code = ql::QL_load_key_by_name(path.c_str(), or_null(name));
  keepResult(code);
  if (code != ql::QL_OK) key_load_failed();
  return code;
}

int CryptoSession::LoadKeysFromMedium(const QString& medium, const QString& directory) {
  const std::string path = medium_text(medium);
  const std::string folder = medium_text(directory);
  ql::QL_clear_keys();
  return ql::QL_load_keys(path.c_str(), or_null(folder));
}

int CryptoSession::ClearKeys() { return ql::QL_clear_keys(); }

int CryptoSession::RememberedPasswordFor(const QString& keyName, PasswordBuffer& out) {
  out.wipe();
  EngineUi* ui = operation_ui();
  if (ui == nullptr || keyName.isEmpty()) return 0;
  const std::string name = medium_text(keyName);
  return ui->passwordMemory().recall(name, mail_settings().Min, out);
}

QL_SIGN_SET* CryptoSession::NewSignatureSet() { return ql::QL_SIGN_SET_new(); }

int CryptoSession::AddSignerCertificate(QL_SIGN_SET* set, int mode, const void* key, long keyLength) {
  return add_looked_up(&ql::QL_add_signer_certificate, set, mode, key, keyLength);
}

int CryptoSession::SetIncludeSigningTime(int flag) {
  includeSigningTime_.store(flag != 0 ? 1 : 0);
  return set_word_unless_signing(&ql::QL_set_signing_time, flag != 0 ? 1 : 0);
}

int CryptoSession::SetIncludeCertificate(int flag) {
  includeCertificate_.store(flag != 0 ? 1 : 0);
  return set_word_unless_signing(&ql::QL_set_include_certs, flag != 0 ? 1 : 0);
}

SigningOptions CryptoSession::signingOptions() const {
  return SigningOptions{includeCertificate_.load(), includeSigningTime_.load()};
}

int CryptoSession::SignFile(QL_SIGN_SET* set, const QString& input, const QString& output, int detached,
                            OperationProgress* progress) {
  return SignFile(set, input, output, detached, signingOptions(), progress);
}

int CryptoSession::SignFile(QL_SIGN_SET* set, const QString& input, const QString& output, int detached,
                            const SigningOptions& options, OperationProgress* progress) {
  const SigningOptions normalised{options.includeCertificate != 0 ? 1 : 0, options.includeSigningTime != 0 ? 1 : 0};
  const SigningTurn turn(normalised);
  if (turn.code() != ql::QL_OK) return turn.code();
  const QByteArray in = file_path(input);
  const QByteArray out = file_path(output);
  const ProgressInstalled installed(progress);
  return ql::QL_sign_file(set, in.constData(), out.constData(), detached);
}

void CryptoSession::FreeSignatureSet(QL_SIGN_SET* set) { ql::QL_SIGN_SET_free(set); }

QL_CERT_LIST* CryptoSession::NewRecipientList() { return ql::QL_CERT_LIST_new(); }

int CryptoSession::AddRecipientCertificate(QL_CERT_LIST* list, int mode, const void* key, long keyLength) {
  return add_looked_up(&ql::QL_add_recipient_certificate, list, mode, key, keyLength);
}

int CryptoSession::EncryptFile(QL_CERT_LIST* list, const QString& input, const QString& output,
                               OperationProgress* progress) {
  const LogOptions options = log_options();
  const QByteArray in = file_path(input);
  const QByteArray out = file_path(output);
  const ProgressInstalled installed(progress);
  if (options.IsOldEnc == 0) {
    const int code = SetRecipientFormat(1);
    if (code != ql::QL_OK) return code;
  }
  return ql::QL_encrypt_file(list, in.constData(), out.constData());
}

int CryptoSession::SetRecipientFormat(int format) { return ql::QL_set_recipient_format(format); }

void CryptoSession::FreeRecipientList(QL_CERT_LIST* list) { ql::QL_CERT_LIST_free(list); }

int CryptoSession::DecryptFile(const QString& input, const QString& output, OperationProgress* progress) {
  const QByteArray in = file_path(input);
  const QByteArray out = file_path(output);
  const ProgressInstalled installed(progress);
  return ql::QL_decrypt_file(in.constData(), out.constData());
}

int CryptoSession::VerifySignedData(QL_SIGN_SET* set, const unsigned char* message, long length,
                                    unsigned char** content, long* contentLength, int wantContent,
                                    OperationProgress* progress) {
  const ProgressInstalled installed(progress);
  return ql::QL_verify_data_short(set, message, length, content, contentLength, wantContent);
}

int CryptoSession::VerifySignedDataEx(QL_SIGN_SET* set, const unsigned char* message, long length,
                                      unsigned char** content, long* contentLength, int wantContent,
                                      const unsigned char* detached, long detachedLength, OperationProgress* progress) {
  const ProgressInstalled installed(progress);
  return ql::QL_verify_data(set, message, length, content, contentLength, wantContent, detached, detachedLength);
}

int CryptoSession::GetSignedContent(const unsigned char* buffer, long length, unsigned char** content,
                                    long* contentLength) {
  return ql::QL_get_signed_content(buffer, length, content, contentLength);
}

int CryptoSession::VerifySignedDataInPlace(QL_SIGN_SET* set, const unsigned char* message, long length,
                                           const unsigned char** content, long* contentLength, unsigned char** joined,
                                           OperationProgress* progress) {
  const ProgressInstalled installed(progress);
  return ql::QL_verify_data_in_place(set, message, length, content, contentLength, joined);
}

int CryptoSession::GetSignedContentInPlace(const unsigned char* buffer, long length, const unsigned char** content,
                                           long* contentLength, unsigned char** joined) {
  return ql::QL_get_signed_content_in_place(buffer, length, content, contentLength, joined);
}

int CryptoSession::GetRecipientCount(const QL_MESSAGE* message) { return ql::QL_recipient_count(message); }
QString CryptoSession::GetRecipientSerial(const QL_MESSAGE* message, int index) {
  return take_text(ql::QL_recipient_serial(message, index));
}
QString CryptoSession::GetRecipientIssuer(const QL_MESSAGE* message, int index, QL_DN* name) {
  return take_text(ql::QL_recipient_issuer(message, index, name));
}
int CryptoSession::GetSignerCount(const QL_MESSAGE* message) { return ql::QL_signer_count(message); }
QString CryptoSession::GetSignerSerial(const QL_MESSAGE* message, int index) {
  return take_text(ql::QL_signer_serial(message, index));
}
QString CryptoSession::GetSignerIssuer(const QL_MESSAGE* message, int index, QL_DN* name) {
  return take_text(ql::QL_signer_issuer(message, index, name));
}
QString CryptoSession::GetSignerSigningTime(const QL_MESSAGE* message, int index) {
  return take_text(ql::QL_signer_signing_time(message, index));
}
QString CryptoSession::GetSignerName(const QL_SIGN_SET* set, int index) {
  return take_text(ql::QL_SIGN_SET_signer_name(set, index));
}
int CryptoSession::GetSignerStatus(const QL_SIGN_SET* set, int index) {
  return ql::QL_SIGN_SET_signer_status(set, index);
}
int CryptoSession::GetSignerCertificateData(const QL_SIGN_SET* set, int index, unsigned char** data, long* length) {
  return ql::QL_SIGN_SET_signer_cert_data(set, index, data, length);
}
int CryptoSession::IsSignerCertificateEmbedded(const QL_SIGN_SET* set, int index) {
  return ql::QL_SIGN_SET_cert_is_embedded(set, index);
}

int CryptoSession::AddCertificate(const unsigned char* buffer, long length) {
  return ql::QL_add_certificate(buffer, length);
}
int CryptoSession::AddTrustedCertificate(const unsigned char* buffer, long length) {
  return ql::QL_add_trusted_certificate(buffer, length);
}
int CryptoSession::LoadCrlFolder(const QString& folder) {
  const std::string path = medium_text(folder);
  return ql::QL_load_crls(path.c_str());
}

int CryptoSession::GetCertificateInfo(const unsigned char* buffer, long length, QL_CERT_INFO* info) {
  return ql::QL_get_cert_info(buffer, length, info);
}
void CryptoSession::FreeCertificateInfo(QL_CERT_INFO* info) { ql::QL_CERT_INFO_clear(info); }

int CryptoSession::GetCertificateInfo(const QByteArray& certificate, CertificateInfo& info) {
  QL_CERT_INFO record{};
  const int code = ql::QL_get_cert_info(reinterpret_cast<const unsigned char*>(certificate.constData()),
                                        static_cast<long>(certificate.size()), &record);
  if (code == ql::QL_OK) {
    info.version = take_bytes(record.version);
    info.serial = take_bytes(record.serial);
    info.notBefore = take_bytes(record.not_before);
    info.notAfter = take_bytes(record.not_after);
    info.issuer = ToDistinguishedName(record.issuer);
    info.subject = ToDistinguishedName(record.subject);
  }
  ql::QL_CERT_INFO_clear(&record);
  return code;
}

void CryptoSession::FreeBuffer(void* block) { ql::QL_free(block); }

DistinguishedName ToDistinguishedName(const QL_DN& dn) {
  return DistinguishedName{take_bytes(dn.C),  take_bytes(dn.SP), take_bytes(dn.L),  take_bytes(dn.O),
                           take_bytes(dn.OU), take_bytes(dn.T),  take_bytes(dn.CN), take_bytes(dn.Email)};
}

void CryptoSession::EraseFile(const QString& path) {
  const std::string local = medium_text(path);
  if (qcrypto::media_kind(local.c_str()) != qcrypto::MediumKind::File) {
    ql::QL_erase_file(local.c_str());
    return;
  }
  // The toolkit reads a file path as a medium text ("\" a separator, the
  // local code page): only a path that reads back as itself goes there, so
  // another file is never zeroed in its place.
  const std::optional<std::string> back = platform::native_path(local);
  if (back && *back == file_path(path).toStdString()) {
    ql::QL_erase_file(local.c_str());
    return;
  }
  erase_file_system_file(path);
}

int CryptoSession::IsKeyMediumPresent(const QString& medium) {
  const std::string local = medium_text(medium);
  if (qcrypto::media_kind(local.c_str()) != qcrypto::MediumKind::File) return ql::QL_medium_present(local.c_str());
  // A drive letter ("C:" home, "A:" a removable medium) means a folder only
  // through the file-system boundary.
  if (medium.size() >= 2 && medium[1] == QLatin1Char(':')) {
    const std::optional<std::string> native = platform::native_path(local);
    return native && engine_helper().FileExists(QString::fromStdString(*native)) ? 1 : 0;
  }
  // The toolkit would read the local code-page text, where "\" is a
  // separator and a character the code page lacks is "?": another file.
  // A file-system path is tested as the file system names it.
  return engine_helper().FileExists(medium) ? 1 : 0;
}

int CryptoSession::IsTokenPresent(const QString& token) {
  const std::string name = medium_text(token);
  return ql::QL_token_present(name.c_str());
}

QString CryptoSession::GetKeyFileName() { return from_local(ql::QL_get_key_file_name()); }

void CryptoSession::SetMediumMessageCallback(QL_MEDIUM_MESSAGE_CALLBACK callback) {
  ql::QL_set_medium_message_callback(callback);
}

void CryptoSession::SetTokenPasswordCallback(QL_TOKEN_PASSWORD_CALLBACK callback) {
  ql::QL_set_token_password_callback(callback);
}

int CryptoSession::SetCipher(const QString& name) { return ql::QL_set_cipher(name.toLatin1().constData()); }

int CryptoSession::OnRandomSensor(int character, int ordinal, int total, void*) {
  EngineUi* ui = operation_ui();
  if (ui == nullptr) return -1;
  const QChar shown = character > 0 && character <= 0xFFFF ? QChar(static_cast<char16_t>(character)) : QChar();
  return ui->randomSensor(RandomSensorRequest{shown, ordinal, total});
}

int CryptoSession::OnKeyPassword(char* buffer, int size, int, void*) {
  EngineUi* ui = operation_ui();
  if (ui == nullptr || buffer == nullptr || size <= 0) return -1;
  const char* raw = ql::QL_get_key_file_name();
  const std::string_view name = raw != nullptr ? std::string_view(raw) : std::string_view();
  const MailSettings settings = mail_settings();
  PasswordBuffer answer;
  // In mail mode the prompt answers by itself with the password remembered
  // for this key; its entry time stays, so it lives Min minutes from the
  // typing however often it is reused.
  if (ui->mailMode() && settings.Password != 0) {
    const int reused = ui->passwordMemory().recall(name, settings.Min, answer);
    if (reused > 0) {
      const int length = copy_answer(answer, reused, buffer, size);
      if (length > 0) return length;
    }
  }
  const int answered = ui->askPassword({PasswordRequest::Kind::KeyContainer, from_local(raw)}, answer);
  const int length = copy_answer(answer, answered, buffer, size);
  if (length >= 0) ui->passwordMemory().remember(name, answer.data(), length, settings.Min);
  return length;
}

int CryptoSession::OnTouchMemoryMessage(int, int, int status) {
  EngineUi* ui = operation_ui();
  return ui != nullptr && ui->touchMemoryMessage(status) == 1 ? 1 : 0;
}

int CryptoSession::OnTokenPassword(char* buffer, int size, int, void*) {
  EngineUi* ui = operation_ui();
  if (ui == nullptr || buffer == nullptr || size <= 0) return 0;
  PasswordBuffer answer;
  const int answered = ui->askPassword({PasswordRequest::Kind::Token, QString()}, answer);
  const int length = copy_answer(answer, answered, buffer, size);
  return length > 0 ? length : 0;
}

SessionHold::SessionHold(CryptoSession& session) : session_(session) {}

SessionHold::~SessionHold() { Close(); }

int SessionHold::Open() {
  Close();
  const int code = session_.Open();
  counted_ = code == ql::QL_OK;
  return code;
}

int SessionHold::OpenWithPath(const QString& containerPath) {
  Close();
  int code = session_.OpenWithPath(containerPath);
  if (code != ql::QL_OK) code = session_.Open();
  counted_ = code == ql::QL_OK;
  return code;
}

void SessionHold::Close() {
  if (!counted_) return;
  counted_ = false;
  session_.Close();
}

CryptoSession& global_crypto_session() {
  static CryptoSession* session = new CryptoSession();  // used until the process ends
  return *session;
}

DirectoryCryptoFactory toolkit_directory_factory() {
  return [] { return std::unique_ptr<DirectoryCryptoSession>(std::make_unique<CryptoSession>()); };
}

}  // namespace dsutils
