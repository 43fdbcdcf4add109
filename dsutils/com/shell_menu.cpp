#include "dsutils/com/shell_menu.h"

#include <sys/stat.h>

#include <QFile>

#include "dsutils/engine/crypto_session.h"

namespace dsutils {

namespace {

struct CommandRow {
  int command;
  const char* name;
  const char* text;
};

const CommandRow kRows[] = {
    {kCmdSign, "sign", "Подписать"},
    {kCmdEncrypt, "encrypt", "Зашифровать"},
    {kCmdSignEncrypt, "sign-encrypt", "Подписать и зашифровать"},
    {kCmdVerify, "verify", "Проверить подпись"},
    {kCmdUnpack, "unpack", "Распаковать"},
    {kCmdAddSignature, "add-signature", "Добавить подпись"},
    {kCmdExtract, "extract", "Извлечь документ"},
    {kCmdExtractAll, "extract-all", "Извлечь все"},
    {kCmdProperties, "properties", "Свойства"},
};

const CommandRow* row_of(int command) {
  for (const CommandRow& r : kRows)
    if (r.command == command) return &r;
  return nullptr;
}

}  // namespace

QList<int> BuildMenu(const QList<SelectionItem>& selection) {
  constexpr int sep = kCmdSeparator;
  if (selection.isEmpty()) return {};
  if (selection.size() == 1) {
    const SelectionItem& item = selection.front();
    if (item.kind == 0 && !item.isSga) return {kCmdSign, kCmdEncrypt, kCmdSignEncrypt};
    if (item.kind == 0)
      return {kCmdSign,    kCmdAddSignature, kCmdEncrypt, kCmdSignEncrypt, sep, kCmdVerify, sep,
              kCmdExtract, kCmdExtractAll,   sep,         kCmdProperties};
    if (item.kind == 1)
      return {kCmdSign, kCmdEncrypt, kCmdSignEncrypt, sep, kCmdVerify, sep, kCmdExtract, kCmdProperties};
    if (item.kind == 2 || item.kind == 3)
      return {kCmdSign, kCmdEncrypt, kCmdSignEncrypt, sep, kCmdUnpack, sep, kCmdProperties};
  }
  // A folder, a name the toolkit cannot tell, or several items.
  return {kCmdSign, kCmdEncrypt, kCmdSignEncrypt, sep, kCmdUnpack, sep, kCmdExtract};
}

QString ShellCommandText(int command) {
  const CommandRow* r = row_of(command);
  return r != nullptr ? QString::fromUtf8(r->text) : QString();
}

QString ShellCommandName(int command) {
  const CommandRow* r = row_of(command);
  return r != nullptr ? QString::fromLatin1(r->name) : QString();
}

std::optional<int> ShellCommandByName(const QString& name) {
  for (const CommandRow& r : kRows)
    if (name == QLatin1String(r.name)) return r.command;
  return std::nullopt;
}

QList<int> ShellCommands() {
  QList<int> all;
  for (const CommandRow& r : kRows) all.append(r.command);
  return all;
}

SelectionItem ClassifySelectionItem(const QString& path) {
  SelectionItem item;
  item.path = path;
  struct stat st {};
  // A name that cannot be examined counts as a folder.
  item.isFile = ::stat(QFile::encodeName(path).constData(), &st) == 0 && !S_ISDIR(st.st_mode);
  if (!item.isFile) return item;
  item.isSga = path.endsWith(QLatin1String(".sga"), Qt::CaseSensitive);
  CryptoSession& session = global_crypto_session();
  SessionHold hold(session);
  if (hold.Open() != 0) return item;
  const int kind = session.GetFileType(path);
  item.kind = kind >= 0 && kind <= 3 ? kind : -1;
  return item;
}

}  // namespace dsutils
