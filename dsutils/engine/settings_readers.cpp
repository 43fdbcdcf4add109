// The readers of the settings tree (and the one writer). Each opens its key,
// creating it when missing, and falls back to the defaults below for every
// value that is missing or of another type.
#include "dsutils/engine/engine_helper.h"
#include "platform/registry/registry_key.h"

namespace dsutils {
namespace {

using platform::reg::HKEY_CURRENT_USER;
using platform::reg::RegistryKey;

enum class Opened { Failed, Existing, Created };

Opened open_or_create(RegistryKey& key, const std::string& path) {
  if (key.OpenKey(HKEY_CURRENT_USER, path)) return Opened::Existing;
  return key.CreateKey(HKEY_CURRENT_USER, path) ? Opened::Created : Opened::Failed;
}

std::string subkey(const char* tail) { return std::string(kProductKey) + tail; }

std::uint32_t dword_or(RegistryKey& key, const char* name, std::uint32_t fallback) {
  std::uint32_t v = 0;
  return key.QueryDword(name, v) ? v : fallback;
}

bool read_string(RegistryKey& key, const char* name, QString& out) {
  std::string s;
  if (!key.QueryString(name, s)) return false;
  out = QString::fromStdString(s);
  return true;
}

}  // namespace

bool EngineHelper::GetSortSettings(const QString& operation, SortSettings& s, OperationProgress* progress) {
  RegistryKey key;
  // A key made just now reads as an empty one: every word gets its default.
  // Source 1 above all, since the sorting gives a processed file's kept copy
  // back only with it, and the working folder is removed right after.
  if (open_or_create(key, subkey("\\Sorting\\") + operation.toStdString()) == Opened::Failed) return false;
  s.Error = dword_or(key, "Error", 0);
  s.ErrorExist = dword_or(key, "ErrorExist", 0);
  s.Source = dword_or(key, "Source", 1);
  s.SourceExist = dword_or(key, "SourceExist", 0);
  s.Result = dword_or(key, "Result", 0);
  s.ResultExist = dword_or(key, "ResultExist", 0);
  const bool readResult = read_string(key, "ResultPath", s.ResultPath);
  const bool readSource = read_string(key, "SourcePath", s.SourcePath);
  const bool readError = read_string(key, "ErrorPath", s.ErrorPath);
  key.Close();

  // Folders the caller put into the record (a value that was not read) are
  // offered for creation; the sorting checks its folders again before it
  // moves files.
  auto check = [&](bool wasRead, QString& folder) {
    if (wasRead || folder.isEmpty() || FileExists(folder)) return;
    const int answer = ShowMessage(QStringLiteral("Каталог: %1 \nдля сортировки не существует! Создать?").arg(folder),
                                   MB_YESNO | MB_ICONQUESTION, progress);
    if (answer == IDYES) {
      CreatePath(folder);
      return;
    }
    folder = default_folder();
    ShowMessage(QStringLiteral("Установлен каталог по умолчанию %1").arg(folder), MB_OK | MB_ICONINFORMATION, progress);
  };
  check(readResult, s.ResultPath);
  check(readSource, s.SourcePath);
  check(readError, s.ErrorPath);
  return true;
}

bool EngineHelper::SetSortSettings(const QString& operation, const SortSettings& s) {
  RegistryKey key;
  if (open_or_create(key, subkey("\\Sorting\\") + operation.toStdString()) == Opened::Failed) return false;
  return key.SetDword("Error", s.Error) && key.SetDword("ErrorExist", s.ErrorExist) &&
         key.SetDword("Source", s.Source) && key.SetDword("SourceExist", s.SourceExist) &&
         key.SetDword("Result", s.Result) && key.SetDword("ResultExist", s.ResultExist) &&
         key.SetString("ResultPath", s.ResultPath.toStdString()) &&
         key.SetString("SourcePath", s.SourcePath.toStdString()) &&
         key.SetString("ErrorPath", s.ErrorPath.toStdString());
}

bool EngineHelper::GetMailSettings(MailSettings& s) {
  RegistryKey key;
  if (open_or_create(key, subkey("\\Property\\Email")) == Opened::Failed) return false;
  s.LocalAdr = dword_or(key, "LocalAdr", 0);
  s.GlobalAdr = dword_or(key, "GlobalAdr", 0);
  s.EnableClient = dword_or(key, "EnableClient", 1);
  s.EnableQuestion = dword_or(key, "EnableQuestion", 1);
  s.Encript = dword_or(key, "Encript", 0);
  s.Signature = dword_or(key, "Signature", 0);
  s.Result = dword_or(key, "Result", 0);
  s.Password = dword_or(key, "Password", 0);
  s.Min = dword_or(key, "Min", 60);
  s.EncOwner = dword_or(key, "EncOwner", 1);
  s.Auto = dword_or(key, "Auto", 1);
  s.Sorting = dword_or(key, "Sorting", 1);
  s.Izvlech = dword_or(key, "Izvlech", 1);
  return true;
}

bool EngineHelper::GetLdapSettings(std::uint32_t& start, QString& connect, QString& port, QString& search) {
  RegistryKey key;
  if (open_or_create(key, subkey("\\Ldap")) != Opened::Existing) return false;
  if (!read_string(key, "Connect", connect) || !read_string(key, "Port", port) || !read_string(key, "Search", search))
    return false;
  std::uint32_t v = 0;
  if (!key.QueryDword("Start", v)) return false;
  start = v;
  return true;
}

bool EngineHelper::GetLogOptions(LogOptions& o) {
  RegistryKey key;
  const Opened opened = open_or_create(key, subkey("\\Property\\Log"));
  if (opened == Opened::Failed) return false;
  if (opened == Opened::Created) {
    o.IsCert = 0;
    o.IsTime = 1;
    o.IsSgn = 1;
    return true;
  }
  o.IsCert = dword_or(key, "IsCert", 0);
  o.IsTime = dword_or(key, "IsTime", 0);
  o.IsSgn = dword_or(key, "IsSgn", 0);
  o.IsOldEnc = dword_or(key, "IsOldEnc", 1);
  o.UnPackDoc = dword_or(key, "UnPackDoc", 0);
  return true;
}

bool EngineHelper::GetEncryptSettings(std::uint32_t& isAuto, QStringList& users, SavedListState* state) {
  if (state != nullptr) *state = SavedListState::Unreadable;
  RegistryKey key;
  if (open_or_create(key, subkey("\\Property\\Encript")) == Opened::Failed) return false;
  isAuto = dword_or(key, "IsAuto", 0);
  std::vector<std::string> list;
  if (!key.QueryObject("Users", list)) {
    const bool missing = key.last_error() == platform::reg::ERROR_FILE_NOT_FOUND;
    if (state != nullptr) *state = missing ? SavedListState::Missing : SavedListState::Unreadable;
    users.clear();  // missing, too long or damaged
    return true;
  }
  if (key.last_type() != platform::reg::REG_BINARY) return true;  // another type: the caller's list stands
  if (state != nullptr) *state = SavedListState::Read;
  users.clear();
  for (const auto& u : list) users.append(QString::fromStdString(u));
  return true;
}

bool EngineHelper::SetEncryptUsers(const QStringList& users) {
  RegistryKey key;
  if (open_or_create(key, subkey("\\Property\\Encript")) == Opened::Failed) return false;
  std::vector<std::string> list;
  list.reserve(static_cast<std::size_t>(users.size()));
  for (const QString& u : users) list.push_back(u.toStdString());
  return key.SetObject("Users", list);
}

std::uint32_t EngineHelper::GetDebugFlag() {
  RegistryKey key;
  if (open_or_create(key, kProductKey) == Opened::Failed) return 0;
  return dword_or(key, "IsDebug", 0);
}

}  // namespace dsutils
