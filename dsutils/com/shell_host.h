// dsutils-shell: what the file managers start on a selection. One command
// per run: the selection's names are made absolute, classified and checked
// against the menu that selection is offered; an allowed command runs its
// operation on a worker thread that reaches the host's EngineUi, a command
// the menu would not offer pops that menu instead. The operations come from
// a table of function objects (the engine's; fakes in tests).
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "dsutils/engine/records.h"
#include "dsutils/engine/ui.h"

namespace dsutils {

struct HostOperations {
  using JobOperation = std::function<bool(OperationJob&)>;
  using FileOperation = std::function<bool(const QString&)>;
  JobOperation signGroup, encryptGroup, signEncryptGroup, unpackFile, unpackGroup, addSignature, extractGroup;
  FileOperation extractArchive, showFileState;
  // One name as the menu sees it (ClassifySelectionItem).
  std::function<SelectionItem(const QString&)> classify;
  // Held while the selection is classified (may be empty): the engine's keeps
  // the toolkit started between the files, so each file's own start and stop
  // only count.
  std::function<std::shared_ptr<void>()> classifyScope;
  // The selection as an operation's file list (ExpandSelection).
  std::function<void(const QList<SelectionItem>&, QStringList&)> expand;
  // The Property\Log value "UnPackDoc".
  std::function<std::int32_t()> unpackDocument;
  // Shows the menu (offsets, 0 a separator) and answers the chosen offset,
  // 0 when none was chosen.
  std::function<int(const QList<int>&)> popMenu;
};

// The selection as an operation's file list: the engine's ExpandFolders (a
// selected file as it is, a folder's files one level deep), then regular
// files only: a selected FIFO, device or vanished name never reaches an
// operation that would open it.
void ExpandSelection(const QList<SelectionItem>& selection, QStringList& files);

// The engine's operations, the toolkit's classification and the menu at the
// cursor.
HostOperations engine_host_operations();

// A QMenu titled "Dossar" with the items' texts, popped at the cursor; the
// chosen offset or 0.
int PopShellMenuAtCursor(const QList<int>& items);

// Exit statuses of run().
inline constexpr int kHostOk = 0;
inline constexpr int kHostFailed = 1;  // the operation reported a failure
inline constexpr int kHostUsage = 2;   // unknown command, no paths

class ShellHost {
 public:
  // `ui` serves every operation; it must outlive the host.
  ShellHost(HostOperations operations, EngineUi& ui);

  // arguments: <command> [--] <path or file URI>..., or --menu <path>...,
  // or --register / --unregister (the program's own path is the host).
  // Relative names are taken from the current folder. Returns the exit
  // status once the operation has ended.
  int run(const QStringList& arguments);

 private:
  int runCommand(int command, const QList<SelectionItem>& selection);
  bool onWorker(const std::function<bool()>& work);

  HostOperations ops_;
  EngineUi& ui_;
};

}  // namespace dsutils
