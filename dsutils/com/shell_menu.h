// The file managers' "Dossar" menu: the items a selection is offered, each
// file classified by the kind of its content.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

#include "dsutils/engine/records.h"

namespace dsutils {

// A menu row's command, by its published offset; 0 stands for a separator
// in a built menu.
enum ShellCommand : int {
  kCmdSeparator = 0,
  kCmdSign = 1,
  kCmdEncrypt = 2,
  kCmdSignEncrypt = 3,
  kCmdVerify = 4,
  kCmdUnpack = 6,
  kCmdAddSignature = 7,
  kCmdExtract = 8,
  kCmdExtractAll = 9,
  kCmdProperties = 10,
};

// The items of the submenu, in order, for the selection (empty for none).
QList<int> BuildMenu(const QList<SelectionItem>& selection);

// The item's text as the menu shows it ("Подписать", ...); empty for a
// separator or an offset that is no item.
QString ShellCommandText(int command);
// The host's command name ("sign", "encrypt", "sign-encrypt", "verify",
// "unpack", "add-signature", "extract", "extract-all", "properties").
QString ShellCommandName(int command);
// The offset of a command name; nullopt for a name outside that list (a text
// is never taken by a part of it).
std::optional<int> ShellCommandByName(const QString& name);
// Every item, in offset order.
QList<int> ShellCommands();

// One selected name as the menu sees it: isFile 0 for a folder or a name that
// cannot be examined, isSga by the exact suffix ".sga" (letter case counts),
// kind from the global toolkit session (opened and closed for this file),
// -1 for a folder or when the toolkit cannot tell.
SelectionItem ClassifySelectionItem(const QString& path);

}  // namespace dsutils
