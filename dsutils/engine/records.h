// The records that starters (file-manager command, IDSUtil methods, command
// line) hand to the engine's operations, as plain types.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <semaphore>

namespace dsutils {

// Operation result codes beside the toolkit's own.
enum OperationResult : int {
  kOpOk = 0,
  kOpNoRecipients = 117,
  kOpCancelled = 184,
  kOpNoExecutorInDirectory = 288,
  kOpNoFiles = 10000,
  kOpKeyMediumCancelled = 10001,
  kOpNoSignature = 10002,
  kOpWorkFolderFailed = 10003,
  kOpArchiveFailed = 10004,
  kOpNoMemory = 10005,
  kOpNoExecutorEntry = 10006,
  kOpUnknownKey = 10007,  // a command line with an operation key nobody knows
  kOpFinishedWithErrors = 10008,
};

struct OperationParams {
  std::int32_t mode = 0;
  QString text;
  // Output name of the final file (automatic sign-and-encrypt; copied into
  // the encrypt page by automatic encrypt).
  QString outputName;
};

struct OperationJob {
  QStringList files;       // full paths, folders already expanded; the first is a one-file job's file
  bool automatic = false;  // no dialogs, no summary boxes
  OperationParams params;
  std::int32_t unpackDocument = 0;
  std::int32_t result = kOpOk;
  QString inputPath;   // "--in="
  QString outputPath;  // "--out="
};

struct SelectionItem {
  QString path;
  bool isFile = false;
  std::int32_t reserved = 0;
  bool isSga = false;
  std::int32_t kind = -1;  // -1 folder or error, else the message kind (1 signed, 2 enveloped, 3 both, 0 none)
};

struct AttachmentRecord {
  QString path;
  QString processedName;
  QString errorText;
  std::int32_t status = 1;  // 0 when unpacking the attachment failed
};

struct RecipientPair {
  QString email;
  QString certificate;  // may be empty
};

// The request of the mail methods. The starter owns the job and its lists
// and waits on `done`, which the operation releases once on every path.
struct MailJob {
  QList<AttachmentRecord>* attachments = nullptr;
  QList<RecipientPair>* recipients = nullptr;
  std::binary_semaphore done{0};
  bool success = false;
  bool encrypt = false;
  bool sign = false;
  bool sorting = false;
  bool extract = false;
  QString resultText;      // mail unpack: the protocol file
  std::int32_t error = 0;  // mail unpack: 1 when the message already carries a protocol
};

// The executor's entry of the local certificate directory.
struct OwnerRecord {
  QString name;
  QString profile;
  QString path;
  QString file;
  std::uint32_t sczi = 0;
  QByteArray serNum;  // DER certificate
};

}  // namespace dsutils
