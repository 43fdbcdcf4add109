// The host program as the file-manager tests install it: ShellHost::run
// over operations that only record what reached them. Each record is the
// operation's name and the paths it was given, NUL-terminated, ended by an
// empty field, appended in one write to $DOSSAR_SHELL_RECORD. A popped menu
// is recorded as "menu" (nothing is chosen).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <cstdlib>

#include "dsutils/com/shell_host.h"
#include "dsutils/engine/ui_scripted.h"

namespace {

void record(const char* op, const QStringList& paths) {
  const char* file = std::getenv("DOSSAR_SHELL_RECORD");
  if (file == nullptr) return;
  QByteArray bytes(op);
  bytes.append('\0');
  for (const QString& p : paths) bytes.append(QFile::encodeName(p)).append('\0');
  bytes.append('\0');
  const int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const ssize_t n = ::write(fd, bytes.constData(), static_cast<std::size_t>(bytes.size()));
  ::close(fd);
  if (n != bytes.size()) std::abort();
}

}  // namespace

int main(int argc, char** argv) {
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QCoreApplication app(qtArgc, qtArgv);
  QStringList arguments;
  for (int i = 1; i < argc; ++i) arguments << QFile::decodeName(argv[i]);

  using dsutils::OperationJob;
  dsutils::HostOperations ops;
  auto job = [](const char* name) {
    return [name](OperationJob& j) {
      record(name, j.files);
      return true;
    };
  };
  auto file = [](const char* name) {
    return [name](const QString& p) {
      record(name, {p});
      return true;
    };
  };
  ops.signGroup = job("sign");
  ops.encryptGroup = job("encrypt");
  ops.signEncryptGroup = job("sign-encrypt");
  ops.unpackFile = job("unpack-file");
  ops.unpackGroup = job("unpack-group");
  ops.addSignature = job("add-signature");
  ops.extractGroup = job("extract");
  ops.extractArchive = file("extract-all");
  ops.showFileState = file("properties");
  // Every file reads as plain: the suffix alone decides the archive's menu.
  ops.classify = [](const QString& p) {
    dsutils::SelectionItem i;
    i.path = p;
    struct stat st {};
    i.isFile = ::stat(QFile::encodeName(p).constData(), &st) == 0 && !S_ISDIR(st.st_mode);
    i.isSga = i.isFile && p.endsWith(QLatin1String(".sga"));
    i.kind = i.isFile ? 0 : -1;
    return i;
  };
  ops.expand = dsutils::ExpandSelection;
  ops.unpackDocument = [] { return 0; };
  ops.popMenu = [](const QList<int>&) {
    record("menu", {});
    return 0;
  };
  dsutils::ScriptedUi ui;
  return dsutils::ShellHost(ops, ui).run(arguments);
}
