// dsengine: runs one engine operation over files from the command line.
// Questions are answered from the options, boxes go to standard error, and
// the operation's result code is printed as "result=<code>"; the exit status
// is 0 only for result 0. Passwords come one per line from a descriptor
// (--password-fd), never from the arguments.
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/engine_start.h"
#include "dsutils/engine/extract.h"
#include "dsutils/engine/file_state.h"
#include "dsutils/engine/mail.h"
#include "dsutils/engine/operation_kit.h"
#include "dsutils/engine/ui_console.h"
#include "dsutils/engine/unpack_file.h"

namespace {

using namespace dsutils;

void usage(std::FILE* out) {
  std::fprintf(out,
               "usage: dsengine sign|add-signature|encrypt|sign-encrypt|unpack|unpack-group|verify|file-state|\n"
               "                extract-document|extract-all|extract|mail-sign-encrypt|mail-unpack\n"
               "                [options] FILE...\n"
               "  sign            sign each file into FILE.sgn, or FILE.sga with --detached\n"
               "  add-signature   add the author's signature to the .sga archive FILE\n"
               "  encrypt         encrypt each file for the recipients into FILE.enc\n"
               "  sign-encrypt    sign each file and encrypt the result into FILE.sgn.enc\n"
               "                  (FILE.sga.enc with --detached)\n"
               "  unpack          decrypt, verify and (with --extract) extract the one FILE\n"
               "  unpack-group    decrypt with the executor's key, verify and (by the settings'\n"
               "                  UnPackDoc) extract every FILE; a summary at the end\n"
               "  verify          verify the signed FILE (.sgn or .sga) and write nothing;\n"
               "                  result 0 only when every signature is confirmed\n"
               "                  (both print the verification protocol to standard error)\n"
               "  file-state      tell whether the one FILE is signed, encrypted, both or neither;\n"
               "                  the file is only read (result -1: its kind cannot be read)\n"
               "  extract-document  write the document of the signed FILE (.sgn or .sga) beside\n"
               "                  it under a free name and print \"document=PATH\"; result 1 when\n"
               "                  written, 0 otherwise\n"
               "  mail-sign-encrypt --attach=P... --recipient=EMAIL[:PEMFILE]... [--sign] [--encrypt]\n"
               "                  protect the attachments of an outgoing message beside themselves\n"
               "  mail-unpack --attach=P... [--sort] [--extract]\n"
               "                  open the attachments of a received message and write its protocol\n"
               "                  (both print each attachment's processed name, status and error\n"
               "                  text, the protocol path and the success word)\n"
               "  extract-all     take the .sga archive FILE apart: its document and every\n"
               "                  signature file beside it (or in the DOC result folder);\n"
               "                  result 1 when written (or a save dialog cancelled), 0 otherwise\n"
               "  extract         write the document of each signed FILE (.sgn or .sga); one\n"
               "                  FILE asks before replacing, more are placed by the DOC sorting\n"
               "options:\n"
               "  --auto             no dialogs: the executor signs with the settings' defaults,\n"
               "                     encryption goes to the saved recipients\n"
               "  --out=PATH         the output file of a one-file job (unpack: the decrypted file)\n"
               "  --extract          unpack: extract the signed document after verification\n"
               "  --detached         sign into a .sga archive\n"
               "  --author=ENTRY     the executor entry that signs (default: the executor)\n"
               "  --recipient=NAME   a recipient of the local directory (repeatable); for\n"
               "                     mail-sign-encrypt an e-mail address, with :PEMFILE its certificate\n"
               "  --attach=PATH      a mail attachment (repeatable)\n"
               "  --sign --encrypt   mail-sign-encrypt: what is done to each attachment\n"
               "  --sort             mail-unpack: sort into the mail sorting folders\n"
               "  --choose-recipient=NAME  the answer of the recipients sheet (repeatable)\n"
               "  --yes | --no       the answer to every question (default: --no)\n"
               "  --password-fd=N    read key passwords, one per line, from descriptor N\n"
               "  --save-as=PATH     the answer of a save-file dialog (default: cancel it)\n"
               "Ctrl-C cancels the running operation; a second Ctrl-C ends the program.\n");
}

struct Options {
  QString command;
  QStringList files;
  bool automatic = false;
  QString out;
  bool detached = false;
  bool extract = false;
  QString author;
  QStringList recipients;
  int answer = IDNO;
  int passwordFd = -1;
  QStringList attachments;
  QStringList chosen;
  bool mailSign = false;
  bool mailEncrypt = false;
  bool mailSort = false;
  std::optional<QString> saveAs;
};

bool value_of(std::string_view arg, std::string_view name, QString& out) {
  if (!arg.starts_with(name)) return false;
  out = QString::fromLocal8Bit(arg.substr(name.size()));
  return true;
}

// 0 to run; else the exit status.
int parse(int argc, char** argv, Options& o) {
  if (argc < 2) {
    usage(stderr);
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    QString v;
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return -1;
    } else if (arg == "--auto") {
      o.automatic = true;
    } else if (arg == "--detached") {
      o.detached = true;
    } else if (arg == "--extract") {
      o.extract = true;
    } else if (arg == "--sign") {
      o.mailSign = true;
    } else if (arg == "--encrypt") {
      o.mailEncrypt = true;
    } else if (arg == "--sort") {
      o.mailSort = true;
    } else if (value_of(arg, "--attach=", v)) {
      o.attachments << QFileInfo(v).absoluteFilePath();
    } else if (value_of(arg, "--choose-recipient=", v)) {
      o.chosen << v;
    } else if (arg == "--yes") {
      o.answer = IDYES;
    } else if (arg == "--no") {
      o.answer = IDNO;
    } else if (value_of(arg, "--out=", v)) {
      o.out = QFileInfo(v).absoluteFilePath();
    } else if (value_of(arg, "--save-as=", v)) {
      o.saveAs = QFileInfo(v).absoluteFilePath();
    } else if (value_of(arg, "--author=", v)) {
      o.author = v;
    } else if (value_of(arg, "--recipient=", v)) {
      o.recipients << v;
    } else if (value_of(arg, "--password-fd=", v)) {
      bool ok = false;
      o.passwordFd = v.toInt(&ok);
      if (!ok || o.passwordFd < 0) {
        std::fprintf(stderr, "dsengine: --password-fd takes a descriptor number\n");
        return 2;
      }
    } else if (arg.starts_with("--")) {
      std::fprintf(stderr, "dsengine: unknown option %s\n", argv[i]);
      return 2;
    } else if (o.command.isEmpty()) {
      o.command = QString::fromLocal8Bit(argv[i]);
    } else {
      // "." and ".." stay as given: the operations pass over them.
      const QString file = QString::fromLocal8Bit(argv[i]);
      o.files << (file == "." || file == ".." ? file : QFileInfo(file).absoluteFilePath());
    }
  }
  if (o.command != "sign" && o.command != "add-signature" && o.command != "encrypt" && o.command != "sign-encrypt" &&
      o.command != "unpack" && o.command != "unpack-group" && o.command != "verify" && o.command != "file-state" &&
      o.command != "extract-document" && o.command != "extract-all" && o.command != "extract" &&
      o.command != "mail-sign-encrypt" && o.command != "mail-unpack") {
    std::fprintf(stderr,
                 "dsengine: the command is sign, add-signature, encrypt, sign-encrypt, unpack, unpack-group, verify, "
                 "file-state, extract-document, extract-all, extract, mail-sign-encrypt or mail-unpack\n");
    usage(stderr);
    return 2;
  }
  if ((o.command == "unpack" || o.command == "verify" || o.command == "file-state" || o.command == "extract-document" ||
       o.command == "extract-all") &&
      o.files.size() != 1) {
    std::fprintf(stderr, "dsengine: %s takes one file\n", o.command.toLocal8Bit().constData());
    return 2;
  }
  return 0;
}

// Reads a recipient's PEM file (bounded: a certificate is a few KiB).
bool read_pem(const QString& path, QString& text) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly) || f.size() > 64 * 1024) return false;
  text = QString::fromLatin1(f.readAll());
  return true;
}

int run_mail(const Options& o, ConsoleUi& console) {
  QList<AttachmentRecord> attachments;
  for (const QString& a : o.attachments) attachments.append(AttachmentRecord{a, {}, {}, 1});
  QList<RecipientPair> recipients;
  for (const QString& r : o.recipients) {
    RecipientPair pair;
    const qsizetype colon = r.indexOf(QLatin1Char(':'));
    pair.email = colon < 0 ? r : r.left(colon);
    if (colon >= 0 && !read_pem(r.mid(colon + 1), pair.certificate)) {
      std::fprintf(stderr, "dsengine: cannot read the certificate file %s\n",
                   r.mid(colon + 1).toLocal8Bit().constData());
      return 2;
    }
    recipients.append(pair);
  }
  MailJob job;
  job.attachments = &attachments;
  job.recipients = &recipients;
  job.sign = o.mailSign;
  job.encrypt = o.mailEncrypt;
  job.sorting = o.mailSort;
  job.extract = o.extract;
  {
    const OperationUiScope scope(&console);
    EngineHelper::setUi(&console);
    if (o.command == "mail-unpack")
      MailUnpack(&job);
    else
      MailSignEncrypt(&job);
    EngineHelper::setUi(nullptr);
  }
  // The routine released the job before it returned.
  job.done.acquire();
  for (const AttachmentRecord& a : attachments) {
    std::printf("attachment=%s\nprocessed=%s\nstatus=%d\nerror=%s\n", QFile::encodeName(a.path).constData(),
                QFile::encodeName(a.processedName).constData(), a.status, a.errorText.toUtf8().constData());
  }
  if (o.command == "mail-unpack") {
    std::printf("protocol=%s\nprotocol-error=%d\n", QFile::encodeName(job.resultText).constData(), job.error);
  }
  std::printf("success=%d\n", job.success ? 1 : 0);
  std::fflush(stdout);
  return job.success ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  Options o;
  if (const int status = parse(argc, argv, o); status != 0) return status < 0 ? 0 : status;

  StartEngine();
  ConsoleUi::catchInterrupt();
  EngineHelper& helper = engine_helper();

  ConsoleUiOptions ui;
  ui.questionAnswer = o.answer;
  ui.passwordFd = o.passwordFd;
  ui.saveAs = o.saveAs;
  const QString first = o.files.isEmpty() ? QString() : o.files.first();
  LogOptions log;
  helper.GetLogOptions(log);
  SignAnswer sign;
  sign.accepted = true;
  sign.documentName = first;
  sign.detached = o.detached;
  sign.includeCertificate = log.IsCert != 0;
  sign.includeSigningTime = log.IsTime != 0;
  sign.outputName = !o.out.isEmpty() ? o.out : first + (o.detached ? ".sga" : ".sgn");
  if (!o.author.isEmpty()) {
    OwnerRecord author;
    author.name = o.author;
    if (!helper.GetOwnerRecord(author)) {
      std::fprintf(stderr, "dsengine: no executor entry \"%s\"\n", o.author.toLocal8Bit().constData());
      std::printf("result=%d\n", kOpNoExecutorEntry);
      return 1;
    }
    sign.author = author;
  }
  ui.sign = sign;
  EncryptAnswer encrypt;
  encrypt.accepted = true;
  encrypt.outputName = !o.out.isEmpty() ? o.out : first + ".enc";
  encrypt.recipients = o.recipients;
  ui.encrypt = encrypt;
  SignEncryptAnswer signEncrypt;
  signEncrypt.accepted = true;
  signEncrypt.outputName = o.out;
  signEncrypt.author = sign.author;
  if (!signEncrypt.author) {
    OwnerRecord executor;
    if (helper.GetOwnerRecord(executor)) signEncrypt.author = executor;
  }
  signEncrypt.detached = o.detached;
  signEncrypt.includeCertificate = sign.includeCertificate;
  signEncrypt.includeSigningTime = sign.includeSigningTime;
  signEncrypt.recipients = o.recipients;
  ui.signEncrypt = signEncrypt;
  // Unpack: the executor's key (or --author's) opens the message; the
  // decrypted file is --out, else the file without ".enc".
  DecryptAnswer decrypt;
  decrypt.accepted = true;
  decrypt.key.name = o.author;
  helper.GetOwnerRecord(decrypt.key);
  decrypt.outputPath = !o.out.isEmpty()         ? o.out
                       : first.endsWith(".enc") ? first.chopped(4)
                                                : first + QStringLiteral(".out");
  ui.decrypt = decrypt;
  ui.extractDocument = o.extract;
  ui.chosenRecipients = o.chosen;
  ConsoleUi console(ui);

  if (o.command == "mail-sign-encrypt" || o.command == "mail-unpack") return run_mail(o, console);

  if (o.command == "verify") {
    const OperationUiScope scope(&console);
    QString protocol;
    const int result = VerifyFile(first, protocol);
    std::fprintf(stderr, "%s\n", protocol.toUtf8().constData());
    std::printf("result=%d\n", result);
    std::fflush(stdout);
    return result == kOpOk ? 0 : 1;
  }

  if (o.command == "file-state") {
    const OperationUiScope scope(&console);
    const int value = ShowFileState(first);
    std::printf("result=%d\n", value);
    std::fflush(stdout);
    return value == 0 ? 0 : 1;
  }

  if (o.command == "extract-document") {
    const OperationUiScope scope(&console);
    EngineHelper::setUi(&console);
    QString document;
    const int value = helper.ExtractSignedDocument(first, document);
    EngineHelper::setUi(nullptr);
    if (value == 1) std::printf("document=%s\n", QFile::encodeName(document).constData());
    std::printf("result=%d\n", value);
    std::fflush(stdout);
    return value == 1 ? 0 : 1;
  }

  if (o.command == "extract-all") {
    const OperationUiScope scope(&console);
    EngineHelper::setUi(&console);
    const int value = ExtractArchive(first);
    EngineHelper::setUi(nullptr);
    std::printf("result=%d\n", value);
    std::fflush(stdout);
    return value == 1 ? 0 : 1;
  }

  OperationJob job;
  job.files = o.files;
  job.automatic = o.automatic;
  job.outputPath = o.out;
  job.params.outputName = o.out;
  int finished = 0;
  {
    const OperationUiScope scope(&console);
    EngineHelper::setUi(&console);
    if (o.command == "sign") {
      finished = SignGroup(&job);
    } else if (o.command == "add-signature") {
      finished = AddSignature(&job);
    } else if (o.command == "unpack") {
      finished = UnpackFile(&job);
    } else if (o.command == "sign-encrypt") {
      finished = SignEncryptGroup(&job);
    } else if (o.command == "unpack-group") {
      finished = UnpackGroup(&job);
    } else if (o.command == "extract") {
      finished = ExtractGroup(&job);
    } else {
      finished = EncryptGroup(&job);
    }
    EngineHelper::setUi(nullptr);
  }
  std::printf("result=%d\n", job.result);
  std::fflush(stdout);
  return job.result == kOpOk && finished == 1 ? 0 : 1;
}
