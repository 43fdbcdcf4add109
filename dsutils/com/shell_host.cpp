#include "dsutils/com/shell_host.h"

#include <sys/stat.h>

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QMenu>
#include <QThread>
#include <QUrl>
#include <cstdio>
#include <thread>

#include "dsutils/com/registration.h"
#include "dsutils/com/shell_menu.h"
#include "dsutils/engine/crypto_session.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/extract.h"
#include "dsutils/engine/file_state.h"
#include "dsutils/engine/operation_kit.h"
#include "dsutils/engine/selection.h"
#include "dsutils/engine/unpack_file.h"
#include "dsutils/widgets/ui_bridge.h"

namespace dsutils {

namespace {

void complain(const QString& text) { std::fprintf(stderr, "dsutils-shell: %s\n", text.toLocal8Bit().constData()); }

// A file URI decoded to its path, a relative name taken from the current
// folder; empty for a URI of another scheme (not a local file).
QString local_path(const QString& argument) {
  QString path = argument;
  if (argument.startsWith(QLatin1String("file:"))) {
    const QUrl url(argument, QUrl::StrictMode);
    // A file on another host is no local file.
    const bool localHost = url.host().isEmpty() || url.host() == QLatin1String("localhost");
    if (!url.isValid() || !url.isLocalFile() || !localHost) return QString();
    path = url.path(QUrl::FullyDecoded);
  } else if (argument.contains(QLatin1String("://"))) {
    return QString();
  }
  if (path.isEmpty()) return QString();
  if (!path.startsWith(QLatin1Char('/'))) path = QDir::currentPath() + QLatin1Char('/') + path;
  return path;
}

}  // namespace

void ExpandSelection(const QList<SelectionItem>& selection, QStringList& files) {
  QStringList expanded;
  ExpandFolders(selection, expanded);
  for (const QString& file : expanded) {
    struct stat st {};
    if (::stat(QFile::encodeName(file).constData(), &st) == 0 && S_ISREG(st.st_mode)) files.append(file);
  }
}

int PopShellMenuAtCursor(const QList<int>& items) {
  QMenu menu;
  menu.setTitle(QStringLiteral("Dossar"));
  for (const int item : items) {
    if (item == kCmdSeparator) {
      menu.addSeparator();
    } else {
      menu.addAction(ShellCommandText(item))->setData(item);
    }
  }
  int chosen = 0;
  QEventLoop loop;
  QObject::connect(&menu, &QMenu::triggered, [&chosen](QAction* action) { chosen = action->data().toInt(); });
  // Hidden after a choice and when dismissed alike; queued, so the choice is
  // taken first.
  QObject::connect(&menu, &QMenu::aboutToHide, &loop, &QEventLoop::quit, Qt::QueuedConnection);
  menu.popup(QCursor::pos());
  loop.exec();
  return chosen;
}

HostOperations engine_host_operations() {
  HostOperations ops;
  ops.signGroup = [](OperationJob& job) { return SignGroup(&job) != 0; };
  ops.encryptGroup = [](OperationJob& job) { return EncryptGroup(&job) != 0; };
  ops.signEncryptGroup = [](OperationJob& job) { return SignEncryptGroup(&job) != 0; };
  ops.unpackFile = [](OperationJob& job) { return UnpackFile(&job) != 0; };
  ops.unpackGroup = [](OperationJob& job) { return UnpackGroup(&job) != 0; };
  ops.addSignature = [](OperationJob& job) { return AddSignature(&job) != 0; };
  ops.extractGroup = [](OperationJob& job) { return ExtractGroup(&job) != 0; };
  ops.extractArchive = [](const QString& path) { return ExtractArchive(path) != 0; };
  ops.showFileState = [](const QString& path) { return ShowFileState(path) == 0; };
  ops.classify = ClassifySelectionItem;
  ops.classifyScope = [] {
    auto hold = std::make_shared<SessionHold>(global_crypto_session());
    hold->Open();
    return std::shared_ptr<void>(std::move(hold));
  };
  ops.expand = ExpandSelection;
  ops.unpackDocument = [] {
    LogOptions options;
    options.IsOldEnc = 1;
    engine_helper().GetLogOptions(options);
    return static_cast<std::int32_t>(options.UnPackDoc);
  };
  ops.popMenu = PopShellMenuAtCursor;
  return ops;
}

ShellHost::ShellHost(HostOperations operations, EngineUi& ui) : ops_(std::move(operations)), ui_(ui) {}

bool ShellHost::onWorker(const std::function<bool()>& work) {
  bool ok = false;
  QCoreApplication* app = QCoreApplication::instance();
  if (app != nullptr && QThread::currentThread() == app->thread()) {
    // The windows of the operation are served while it runs.
    QEventLoop loop;
    std::thread worker([&] {
      {
        const OperationUiScope scope(&ui_);
        ok = work();
      }
      widgets::UiBridge::post([&loop] { loop.quit(); });
    });
    loop.exec();
    worker.join();
  } else {
    std::thread worker([&] {
      const OperationUiScope scope(&ui_);
      ok = work();
    });
    worker.join();
  }
  return ok;
}

int ShellHost::run(const QStringList& arguments) {
  if (arguments.size() == 1 && arguments.front() == QLatin1String("--register")) {
    const RegistrationResult r = RegisterFileManagers(QCoreApplication::applicationFilePath(), DefaultDataHome());
    if (!r.ok) complain(r.error);
    return r.ok ? kHostOk : kHostFailed;
  }
  if (arguments.size() == 1 && arguments.front() == QLatin1String("--unregister")) {
    const RegistrationResult r = UnregisterFileManagers(DefaultDataHome());
    if (!r.ok) complain(r.error);
    return r.ok ? kHostOk : kHostFailed;
  }
  if (arguments.isEmpty()) {
    complain(QStringLiteral("usage: dsutils-shell <command> [--] <path or file URI>..."));
    return kHostUsage;
  }
  const QString& verb = arguments.front();
  const bool menuOnly = verb == QLatin1String("--menu");
  const bool open = verb == QLatin1String("open");
  const std::optional<int> command = ShellCommandByName(verb);
  if (!menuOnly && !open && !command) {
    complain(QStringLiteral("unknown command: %1").arg(verb));
    return kHostUsage;
  }
  qsizetype first = 1;
  if (first < arguments.size() && arguments[first] == QLatin1String("--")) ++first;
  QList<SelectionItem> selection;
  std::shared_ptr<void> classifying = ops_.classifyScope ? ops_.classifyScope() : nullptr;
  for (qsizetype i = first; i < arguments.size(); ++i) {
    const QString path = local_path(arguments[i]);
    if (path.isEmpty()) {
      complain(QStringLiteral("not a local file: %1").arg(arguments[i]));
      continue;
    }
    selection.append(ops_.classify(path));
  }
  // The operation starts the toolkit on its own.
  classifying.reset();
  if (selection.isEmpty()) {
    complain(QStringLiteral("no paths given"));
    return kHostUsage;
  }

  if (open) {
    // The desktop's own "open": protected files are unpacked or verified by
    // the one-file unpack, which decides by the file's content.
    return runCommand(kCmdUnpack, selection);
  }
  const QList<int> menu = BuildMenu(selection);
  int chosen = menuOnly ? kCmdSeparator : *command;
  if (chosen == kCmdSeparator || !menu.contains(chosen)) {
    // The static menus of the file managers cannot see every file's kind:
    // the selection's own menu decides.
    chosen = ops_.popMenu ? ops_.popMenu(menu) : 0;
    if (chosen == 0 || chosen == kCmdSeparator || !menu.contains(chosen)) return kHostOk;
  }
  return runCommand(chosen, selection);
}

int ShellHost::runCommand(int command, const QList<SelectionItem>& selection) {
  // The two single-item commands act on the one selected name only.
  if (command == kCmdExtractAll || command == kCmdProperties) {
    if (selection.size() != 1) return kHostFailed;
    const HostOperations::FileOperation& op = command == kCmdExtractAll ? ops_.extractArchive : ops_.showFileState;
    if (!op) return kHostFailed;
    const QString path = selection.front().path;
    return onWorker([&] { return op(path); }) ? kHostOk : kHostFailed;
  }
  OperationJob job;
  ops_.expand(selection, job.files);
  job.automatic = false;
  const HostOperations::JobOperation* op = nullptr;
  switch (command) {
    case kCmdSign:
      op = &ops_.signGroup;
      break;
    case kCmdEncrypt:
      op = &ops_.encryptGroup;
      break;
    case kCmdSignEncrypt:
      op = &ops_.signEncryptGroup;
      break;
    case kCmdVerify:
      op = &ops_.unpackFile;
      break;
    case kCmdUnpack:
      op = job.files.size() == 1 ? &ops_.unpackFile : &ops_.unpackGroup;
      job.unpackDocument = ops_.unpackDocument ? ops_.unpackDocument() : 0;
      break;
    case kCmdAddSignature:
      // Only a selection that comes to exactly one file.
      if (job.files.size() != 1) return kHostFailed;
      op = &ops_.addSignature;
      break;
    case kCmdExtract:
      op = &ops_.extractGroup;
      break;
    default:
      return kHostUsage;
  }
  if (!*op) {
    complain(QStringLiteral("%1 is not available in this build").arg(ShellCommandName(command)));
    return kHostFailed;
  }
  return onWorker([&] { return (*op)(job); }) ? kHostOk : kHostFailed;
}

}  // namespace dsutils
