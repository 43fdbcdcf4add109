// CryptoSession: the engine's object over the toolkit (quillon2). Each method
// calls one toolkit function (a few call two): texts become zero-terminated
// byte strings (file paths in the file system's encoding, key-medium paths
// and names in the local code page), optional empty texts become null, and
// the toolkit's allocated texts come back as strings and are freed.
//
// One global instance (global_crypto_session()) serves every operation of
// the process; dialogs and look-ups may build short-lived ones. Threads:
//  - the open count is an atomic; the toolkit itself counts its starts, so
//    nested opens share one toolkit session. Operations open it through a
//    SessionHold, which also keeps other operations out (OperationLock):
//    the container and keys of the session are the whole process's.
//  - the last result code of the four methods that keep one is the calling
//    thread's (LastResult()), as the toolkit keeps its own last result per
//    thread: a caller reads the code of its own call, never one that another
//    operation wrote in between. LastResultShared() is the object's atomic
//    copy, the last code written by any thread.
//  - progress: the five long methods install the engine's progress function
//    with the caller's OperationProgress in the toolkit's per-thread slot
//    right before the toolkit call and remove it right after, so two
//    operations on two threads never see each other's progress or cancel.
//  - signing options (include certificates, signing time) are toolkit-wide
//    settings. Every SignFile sets both explicitly, and signings with
//    different options never overlap: a signing waits until those running
//    with other options have ended, so nothing of an earlier operation or
//    another thread's choice reaches a signature.
//  - the toolkit's user callbacks (random sensor, key password, Touch-Memory
//    message, token password) run on the thread of the toolkit call that
//    needs them and reach that thread's current EngineUi: the one an
//    operation runner installs with OperationUiScope, else the process-wide
//    EngineHelper::ui(). With neither, every prompt is cancelled.
#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <cstddef>
#include <string_view>

#include "dsutils/engine/crypto_seam_directory.h"
#include "dsutils/engine/operation_lock.h"
#include "dsutils/engine/session_seam.h"
#include "dsutils/engine/ui.h"
#include "quillon2/ql_certinfo.h"
#include "quillon2/ql_crypt.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_sign.h"

namespace dsutils {

using quillon2::QL_CERT_INFO;
using quillon2::QL_CERT_LIST;
using quillon2::QL_DN;
using quillon2::QL_MEDIUM_MESSAGE_CALLBACK;
using quillon2::QL_MESSAGE;
using quillon2::QL_SIGN_SET;
using quillon2::QL_TOKEN_PASSWORD_CALLBACK;

// The two signing options, each 0 or 1.
struct SigningOptions {
  int includeCertificate = 0;
  int includeSigningTime = 0;
  bool operator==(const SigningOptions&) const = default;
};

class CryptoSession : public ICryptoSession, public DirectoryCryptoSession {
 public:
  // Registers the four user callbacks with the toolkit (random sensor, key
  // password, Touch-Memory message, token password). Neither closes the
  // session nor unregisters on destruction.
  CryptoSession();
  ~CryptoSession() override = default;
  CryptoSession(const CryptoSession&) = delete;
  CryptoSession& operator=(const CryptoSession&) = delete;

  // --- session ---
  // The toolkit's start code; the open count rises only when it is 0. The
  // callbacks are registered again and the bulk cipher set in any case.
  int Open() override;
  // As Open with a key container path (empty: none).
  int OpenWithPath(const QString& containerPath);
  // 0. Lowers the open count and stops the toolkit once, only when the count
  // is above 0: a Close without an Open of this object does nothing.
  int Close() override;
  int OpenCount() const { return openCount_.load(); }

  // The calling thread's code of its last GetFileType, ReadMessageFileKind,
  // LoadKeyFile or LoadKeyFromMedium (0 before any).
  int LastResult() const;
  int LastResultShared() const { return lastResult_.load(); }

  // --- message kinds ---
  // Kind 0-3, or -1 when the toolkit code is not 0 (the code is the last result).
  int GetFileType(const QString& path);
  int ReadMessageFileKind(const QString& path, QL_MESSAGE** message);
  // Toolkit codes.
  int QueryFileType(const QString& path, int* kind);
  int ReadMessageFile(const QString& path, int* kind, QL_MESSAGE** message);  // message may be null
  int ReadMessageBuffer(const unsigned char* buffer, long length, int* kind, QL_MESSAGE** message);
  int GetBufferType(const unsigned char* buffer, long length, int* kind);
  void FreeMessage(QL_MESSAGE* message);

  // --- keys ---
  // An empty password makes the toolkit ask through the key password
  // callback. On failure the calling thread's interface is told
  // (EngineUi::keyLoadFailed), which wipes the password its prompt
  // remembered. A password of kPasswordBytes bytes or more is refused (159).
  int LoadKeyFile(const QString& keyFile, std::string_view password);
  // Clears the session's keys, then loads the named key file of the medium
  // (empty name: the medium's own). Last result and wiping as LoadKeyFile.
  int LoadKeyFromMedium(const QString& medium, const QString& keyFile);
  // Clears the session's keys, then loads every key of the folder (empty: the medium's).
  int LoadKeysFromMedium(const QString& medium, const QString& directory);
  int ClearKeys();

  // The password that the calling thread's interface (operation_ui()) last
  // remembered from its key password prompt, handed over only for a
  // LoadKeyFile of the same key file it was typed for and only while the
  // whole minutes since it was typed are not above Min (Property\Email),
  // in every mode: its length in `out`, or 0 (and `out` wiped) otherwise,
  // so another key is never tried with it and its prompt asks. An expired
  // password is wiped here too (password_memory.h).
  static int RememberedPasswordFor(const QString& keyName, PasswordBuffer& out);

  // --- signing ---
  QL_SIGN_SET* NewSignatureSet();
  // Look-up modes of ql_certinfo.h. Mode 4 (bytes) reads `keyLength` bytes
  // of `key`; every other mode takes `key` as its one text and no second
  // criterion. A negative length with mode 4 gives 159.
  int AddSignerCertificate(QL_SIGN_SET* set, int mode, const void* key, long keyLength);
  // Recorded for this object's SignFile; the toolkit's own word is set too
  // unless a signing is running (each signing sets its own).
  int SetIncludeSigningTime(int flag);
  int SetIncludeCertificate(int flag);
  SigningOptions signingOptions() const;
  // Signs with this object's recorded options.
  int SignFile(QL_SIGN_SET* set, const QString& input, const QString& output, int detached,
               OperationProgress* progress);
  // Signs with the given options, whatever was set before.
  int SignFile(QL_SIGN_SET* set, const QString& input, const QString& output, int detached,
               const SigningOptions& options, OperationProgress* progress);
  void FreeSignatureSet(QL_SIGN_SET* set);

  // --- encryption ---
  QL_CERT_LIST* NewRecipientList();
  int AddRecipientCertificate(QL_CERT_LIST* list, int mode, const void* key, long keyLength);
  // Reads the Property\Log options first: IsOldEnc 0 switches the toolkit to
  // recipient format 1 (its failure is returned without encrypting).
  int EncryptFile(QL_CERT_LIST* list, const QString& input, const QString& output, OperationProgress* progress);
  int SetRecipientFormat(int format);
  void FreeRecipientList(QL_CERT_LIST* list);
  int DecryptFile(const QString& input, const QString& output, OperationProgress* progress);

  // --- verification ---
  int VerifySignedData(QL_SIGN_SET* set, const unsigned char* message, long length, unsigned char** content,
                       long* contentLength, int wantContent, OperationProgress* progress);
  int VerifySignedDataEx(QL_SIGN_SET* set, const unsigned char* message, long length, unsigned char** content,
                         long* contentLength, int wantContent, const unsigned char* detached, long detachedLength,
                         OperationProgress* progress);
  int GetSignedContent(const unsigned char* buffer, long length, unsigned char** content, long* contentLength);
  // The same two with the content left where it lies in the message: *joined
  // is a toolkit buffer to free only when the content had to be joined.
  int VerifySignedDataInPlace(QL_SIGN_SET* set, const unsigned char* message, long length,
                              const unsigned char** content, long* contentLength, unsigned char** joined,
                              OperationProgress* progress);
  int GetSignedContentInPlace(const unsigned char* buffer, long length, const unsigned char** content,
                              long* contentLength, unsigned char** joined);

  // --- message details (texts: empty when the toolkit gives none) ---
  int GetRecipientCount(const QL_MESSAGE* message);
  QString GetRecipientSerial(const QL_MESSAGE* message, int index);
  QString GetRecipientIssuer(const QL_MESSAGE* message, int index, QL_DN* name);
  int GetSignerCount(const QL_MESSAGE* message);
  QString GetSignerSerial(const QL_MESSAGE* message, int index);
  QString GetSignerIssuer(const QL_MESSAGE* message, int index, QL_DN* name);
  QString GetSignerSigningTime(const QL_MESSAGE* message, int index);
  QString GetSignerName(const QL_SIGN_SET* set, int index);
  int GetSignerStatus(const QL_SIGN_SET* set, int index);
  int GetSignerCertificateData(const QL_SIGN_SET* set, int index, unsigned char** data, long* length);
  int IsSignerCertificateEmbedded(const QL_SIGN_SET* set, int index);

  // --- certificates ---
  int AddCertificate(const unsigned char* buffer, long length);
  int AddTrustedCertificate(const unsigned char* buffer, long length);
  int LoadCrlFolder(const QString& folder);
  int GetCertificateInfo(const unsigned char* buffer, long length, QL_CERT_INFO* info);
  void FreeCertificateInfo(QL_CERT_INFO* info);
  // The directory look-ups' form: the record's texts as the look-ups read
  // them, filled only when the code is 0.
  int GetCertificateInfo(const QByteArray& certificate, CertificateInfo& info) override;
  void FreeBuffer(void* block);

  // --- key media ---
  // A path the toolkit would read as another file (a "\" in a name, a
  // character the local code page lacks, a medium keyword) is erased by the
  // engine's own file-system eraser instead.
  void EraseFile(const QString& path) override;
  // 1 when the medium is there. A token or Touch-Memory medium is asked
  // through the toolkit; a file-system path (a medium folder, a key file,
  // any data file) is looked up as it is named, "\" and all, like
  // EngineHelper::FileExists.
  int IsKeyMediumPresent(const QString& medium);
  int IsTokenPresent(const QString& token);
  // The key file the calling thread is opening, for the password prompt.
  QString GetKeyFileName();
  void SetMediumMessageCallback(QL_MEDIUM_MESSAGE_CALLBACK callback);
  void SetTokenPasswordCallback(QL_TOKEN_PASSWORD_CALLBACK callback);
  int SetCipher(const QString& name);

  // The toolkit callbacks, forwarding to operation_ui(). The key password
  // callback remembers every answer in the interface's PasswordMemory and,
  // in its mail mode with Property\Email Password on, answers by itself
  // for the same key while the password has not expired.
  static int OnRandomSensor(int character, int ordinal, int total, void* user);
  static int OnKeyPassword(char* buffer, int size, int flag, void* user);
  static int OnTouchMemoryMessage(int port1, int port2, int status);
  static int OnTokenPassword(char* buffer, int size, int flag, void* user);

 private:
  void registerCallbacks();
  int open(const char* containerPath);
  void keepResult(int code);

  std::atomic<int> lastResult_{0};
  std::atomic<int> openCount_{0};
  std::atomic<int> includeCertificate_{0};
  std::atomic<int> includeSigningTime_{0};
};

// The process's session: built by StartEngine (or on first use), which
// registers the callbacks, and kept until the process ends.
CryptoSession& global_crypto_session();

// One operation's share of the toolkit session, as a scope guard: it closes
// only what its own open counted, once, however often Close is called, and
// on destruction. Opening again first closes its own earlier open, so a
// reopen with the author's container really restarts the toolkit when no
// one else holds it (OperationLock sees to that). It holds the operation
// lock for its life.
class SessionHold {
 public:
  explicit SessionHold(CryptoSession& session = global_crypto_session());
  ~SessionHold();
  SessionHold(const SessionHold&) = delete;
  SessionHold& operator=(const SessionHold&) = delete;

  // The toolkit's start code; counted when it is 0.
  int Open();
  // With the key container (OpenWithPath); when that start fails, without
  // one (Open). The code of the start that was kept.
  int OpenWithPath(const QString& containerPath);
  void Close();
  bool isOpen() const { return counted_; }

 private:
  OperationLock lock_;
  CryptoSession& session_;
  bool counted_ = false;
};

// The toolkit's name record as the directory look-ups compare names (the
// record keeps its texts).
DistinguishedName ToDistinguishedName(const QL_DN& dn);

// A factory of short-lived toolkit sessions for the certificate-directory
// look-ups (setDirectoryCryptoFactory).
DirectoryCryptoFactory toolkit_directory_factory();

}  // namespace dsutils
