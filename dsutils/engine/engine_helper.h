// EngineHelper: the engine's settings readers, name and path helpers,
// process runner, working folders, sorting and signature archives. Its only
// state is process-wide (the locks of the working folders in use); one global
// instance (engine_helper()) serves all operations, and anyone may build another.
//
// Paths are Linux paths ("/" separators, absolute means a leading "/").
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>

#include "dsutils/engine/crypto_seam_directory.h"
#include "dsutils/engine/records.h"
#include "dsutils/engine/ui.h"

namespace dsutils {

// The product's settings key below the user's registry root.
inline constexpr const char* kProductKey = "SOFTWARE\\VELTRANA\\ORVANTA\\Dossar";

// A record nobody could read from the settings has the defaults of missing
// values: Source 1 gives the kept copy of a processed file back at its place.
struct SortSettings {
  std::uint32_t Result = 0, ResultExist = 0, Source = 1, SourceExist = 0, Error = 0, ErrorExist = 0;
  QString ResultPath, SourcePath, ErrorPath;
};

struct MailSettings {
  std::uint32_t Encript = 0, Signature = 0, LocalAdr = 0, GlobalAdr = 0, EnableClient = 0, EnableQuestion = 0,
                Result = 0, Min = 0, Password = 0, EncOwner = 0, Izvlech = 0, Auto = 0, Sorting = 0;
};

// What became of the saved recipient list "Users" in a read.
enum class SavedListState {
  Missing,     // no such value: an empty list
  Read,        // the list as stored
  Unreadable,  // damaged, too long or of another type: nothing is known of it
};

struct LogOptions {
  std::uint32_t IsCert = 0, IsTime = 0, IsSgn = 0, IsOldEnc = 0, UnPackDoc = 0;
};

// How a started program ended.
struct ProcessResult {
  bool started = false;  // false: the program could not be run (missing, not executable)
  bool crashed = false;  // ended by a signal
  int exitCode = -1;     // valid when started and not crashed
  QString errorText;     // why it did not start or end normally
  QByteArray output;     // standard output, at most kMaxProcessOutput bytes
};
inline constexpr qsizetype kMaxProcessOutput = 1 << 20;

// The process-wide debug word (IsDebug): the helpers write debug lines to
// the event log only while it is set.
extern std::atomic<std::uint32_t> g_debug_flag;
// A debug line of the event log, written only while g_debug_flag is set;
// the second form fills the "%1" and "%2" of a UTF-8 format.
void debug_log(const QString& text);
void debug_log(const char* format, const QString& a, const QString& b);

class EngineHelper {
 public:
  EngineHelper() = default;
  virtual ~EngineHelper() = default;

  // The process-wide interface through which the engine's boxes reach the
  // person; a thread's OperationUiScope comes first (operation_ui()). Neither
  // set: boxes are answered with their safe answer and printed to stderr.
  static void setUi(EngineUi* ui);
  static EngineUi* ui();

  // --- settings readers ---
  bool GetSortSettings(const QString& operation, SortSettings& s, OperationProgress* progress = nullptr);
  bool SetSortSettings(const QString& operation, const SortSettings& s);
  bool GetMailSettings(MailSettings& s);
  bool GetLdapSettings(std::uint32_t& start, QString& connect, QString& port, QString& search);
  bool GetLogOptions(LogOptions& o);
  // `state` (when given) tells an empty list from one that could not be
  // read, which a writer must then leave as it is.
  bool GetEncryptSettings(std::uint32_t& isAuto, QStringList& users, SavedListState* state = nullptr);
  // Writes the saved recipient list "Users" of Property\Encript; false
  // when the key cannot be opened or the list is too long to be read back.
  bool SetEncryptUsers(const QStringList& users);
  std::uint32_t GetDebugFlag();

  // --- the local certificate directory (cert_directory.cpp) ---
  bool GetOwnerRecord(OwnerRecord& record);
  bool CheckOwner(OperationProgress* progress = nullptr);
  QString GetOwnerProfile(const QString& entry);
  QString GetUserProfile(const QString& valueName);
  bool LoadDirectoryCertificate(const QString& valueName, QByteArray& certificate);
  bool EnumCaCertificate(std::uint32_t index, QByteArray& certificate);
  // The index-th value of Certificats\Users in the order the values were
  // made: its name (the certificate's serial text) and bytes. False past
  // the last one.
  bool EnumUserCertificate(std::uint32_t index, QString& valueName, QByteArray& certificate);
  // The name of the index-th personal entry (a subkey of Certificats\Owner, in
  // the store's order); false past the last one or without the key.
  bool EnumOwnerEntry(std::uint32_t index, QString& name);
  QString GetCrlSettings();
  bool FindCertificateByEmail(const QString& email, QByteArray& certificate);
  bool IsCertificateStored(const QString& valueName, const DistinguishedName& issuer, bool owner);
  // What an import does when another certificate is stored under the same
  // serial: ask the person, or keep the stored one with a log line (an
  // import nobody waits on, such as a mail client's recipient).
  enum class ImportClash { kAsk, kKeepStored };
  bool ImportCertificate(const QByteArray& certificate, const QString& email, OperationProgress* progress = nullptr,
                         ImportClash clash = ImportClash::kAsk);
  bool SetUserProfile(const QString& valueName, const QString& alias);
  bool SetUserEmail(const QString& valueName, const QString& email);
  static int CompareNames(const DistinguishedName& a, const DistinguishedName& b);
  int CompareCertificates(const QByteArray& a, const QByteArray& b, OperationProgress* progress = nullptr);
  // Hex serial text -> decimal text; empty when the text is no hex number.
  static QByteArray SerialHexToDecimal(const QByteArray& hex);

  // --- names ---
  QString StripExtensions(const QString& full);
  bool FileExists(const QString& path);
  bool CreatePath(const QString& path);
  bool ListFiles(const QString& path, QStringList* list);
  QString ExtractArgument(const QString& line, qsizetype start);
  bool ResolveShellPath(const QString& path, QString& out);

  // A message box captioned "Dossar", shown through operation_ui(); the
  // operation's progress display, when shown, is hidden while the box is up.
  int ShowMessage(const QString& text, unsigned flags, OperationProgress* progress = nullptr);

  // Runs `program` with `arguments` as they are (no shell, nothing joined
  // into a command line) and waits for it to end. With `withErrors` its
  // standard error goes into `output` too (a tool that explains a failure
  // there, such as lp).
  ProcessResult RunProcess(const QString& program, const QStringList& arguments, bool withErrors = false);

  // --- working folders ---
  // A private working folder below TmpRoot() holding a working copy of
  // `source` and, in "Src", the kept copy; the source's path is recorded and
  // the folder locked until RemoveTmp, so ClearTmpRoot can give a crashed
  // operation's source back. Returns the working copy, empty on failure.
  QString CreateTmp(const QString& source, bool eraseSource);
  // 1 when the folder of `work` is gone (after copying `work` back over
  // `source` when `restore` is set); 0 on an empty or foreign path, a failed
  // restore (the folder, the only copy, then stays) or a folder left behind.
  int RemoveTmp(const QString& source, const QString& work, bool restore);
  // Removes everything inside `folder`, never following a link: 1, or 0
  // when something stayed.
  int RemoveTmpPath(const QString& folder);
  // Erases one entry by what it is itself (lstat): a regular file with one
  // link through the session's erase, any other non-folder entry (a link,
  // a file with other names) only unlinked. true when it is gone.
  bool EraseWorkFile(const QString& path);
  // The per-user root of the working folders (made with mode 0700; refused,
  // empty, when it is a link or not ours or open to others).
  QString TmpRoot();
  // The start-up clean-up: every working folder whose operation has ended
  // without removing it gets its source back (when it is missing or changed
  // at its path) and is removed. Returns the number of sources put back.
  int ClearTmpRoot();
  // The mail protocol files (DSM_Protocol*.txt) of TmpRoot() last written
  // more than 24 hours before `now`: regular files of this user only, never
  // through a link. The number removed.
  int RemoveOldMailProtocols(const QDateTime& now);

  // --- sorting into folders ---
  bool EnsureSortFolder(const QString& folder, OperationProgress* progress = nullptr);
  int GroupSortFile(const QString& source, QString& result, const QString& operation, bool error,
                    OperationProgress* progress = nullptr);
  int GroupSortFileEx(const QString& source, const QString& work, const QString& result, const QString& operation,
                      OperationProgress* progress = nullptr);
  int GroupSortEmail(const QString& file, const QString& operation, bool error, OperationProgress* progress = nullptr);

  // --- signature archive (.sga) ---
  int WriteSignatureList(const QString& document, const QString& archive);
  int ReadSignatureList(const QString& archive, QString& document, QStringList& signatures);
  // The document of a signed file (.sgn, or a .sga in any case) written
  // beside it under a free name: 1 with `documentPath` set, 0 otherwise
  // (a missing file silently; every other failure logged and shown). The
  // signed file is only read.
  int ExtractSignedDocument(const QString& file, QString& documentPath);
  int AppendArchiveSignature(const QString& archive, const QString& signature, bool replace);
};

EngineHelper& engine_helper();

// Free name helpers.
QString GetPathFromName(const QString& full);
QString GetFileFromName(const QString& full);
QString GetExtFromName(const QString& full);
QString GetRExtFromName(const QString& full);
QString GetUnicalName(const QString& wanted);
void NetStr(QString& path);
bool DS_CopyFile(const QString& source, const QString& target, bool failIfExists);
int MaxNumericSuffix(const QStringList& list);

// The Linux meaning of the system's default folder "C:\": the home folder.
QString default_folder();
// The user's temporary folder: $TMPDIR when it is an absolute path, else /tmp.
QString user_temp_folder();

}  // namespace dsutils
