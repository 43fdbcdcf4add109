#include "dsutils/engine/error_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstdlib>

#include "dsutils/engine/engine_helper.h"
#include "platform/environment.h"
#include "platform/registry/registry_key.h"

namespace dsutils {
namespace {

std::string log_key() { return std::string(kProductKey) + "\\Property\\Log"; }

bool open_or_create(platform::reg::RegistryKey& key) {
  return key.OpenKey(platform::reg::HKEY_CURRENT_USER, log_key()) ||
         key.CreateKey(platform::reg::HKEY_CURRENT_USER, log_key());
}

QByteArray fs(const QString& path) { return QFile::encodeName(path); }

bool path_exists(const QString& path) {
  struct stat st {};
  return ::lstat(fs(path).constData(), &st) == 0;
}

// Appends all of `bytes` in one write to a file opened for appending, so
// lines of concurrent writers do not tear.
bool append_file(const QString& path, const QByteArray& bytes) {
  const int fd = ::open(fs(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  ::close(fd);
  return done == bytes.size();
}

// The log settings of the thread's running operation (LogSettingsScope).
struct ScopedLogSettings {
  int depth = 0;
  bool read = false;
  bool complete = false;
  EventLogSettings stored;
};
thread_local ScopedLogSettings t_scoped;

}  // namespace

LogSettingsScope::LogSettingsScope() { ++t_scoped.depth; }

LogSettingsScope::~LogSettingsScope() {
  if (--t_scoped.depth == 0) t_scoped = ScopedLogSettings{};
}

bool EventLogSettings::Read(EventLogSettings& s, bool* complete) {
  if (complete != nullptr) *complete = false;
  platform::reg::RegistryKey key;
  if (!open_or_create(key)) return false;
  bool all = true;
  const auto dword = [&](const char* name, std::uint32_t fallback) {
    std::uint32_t w = 0;
    if (key.QueryDword(name, w)) return w;
    all = false;
    return fallback;
  };
  const auto text = [&](const char* name) {
    std::string t;
    if (key.QueryString(name, t)) return QString::fromStdString(t);
    all = false;
    return QString();
  };
  s.AutoOpen = dword("AutoOpen", 1);
  s.Evry = dword("Evry", 1);
  s.Limit = dword("Limit", 10);
  s.FileName = text("FileName");
  s.Path = text("Path");
  s.On = dword("On", 1);
  if (complete != nullptr) *complete = all;
  return true;
}

bool EventLogSettings::Write(const EventLogSettings& s) {
  platform::reg::RegistryKey key;
  if (!open_or_create(key)) return false;
  return key.SetDword("AutoOpen", s.AutoOpen) && key.SetDword("Evry", s.Evry) && key.SetDword("Limit", s.Limit) &&
         key.SetString("FileName", s.FileName.toStdString()) && key.SetString("Path", s.Path.toStdString()) &&
         key.SetDword("On", s.On);
}

QString daily_log_name(const QDate& date) {
  return QString::asprintf("ds%.2d%.2d%d.log", date.day(), date.month(), date.year());
}

QString default_log_folder() {
  const std::optional<std::string> xdg = platform::env("XDG_DATA_HOME");
  QString base;
  if (xdg && xdg->starts_with('/')) {
    base = QFile::decodeName(xdg->c_str());
  } else {
    const std::optional<std::string> home = platform::env("HOME");
    base = QFile::decodeName(home && !home->empty() ? home->c_str() : "/tmp") + QStringLiteral("/.local/share");
  }
  return base + QStringLiteral("/dossar/Log");
}

ErrorTextLoader::ErrorTextLoader() : clock_([] { return QDateTime::currentDateTime(); }) {
  if (lib_.open("VTError.dll")) get_text_ = reinterpret_cast<GetErrorTextFn>(lib_.symbol("GetErrorText"));
}

QString ErrorTextLoader::GetErrorText(int code) const {
  if (!get_text_) return {};
  const char* text = get_text_(code);
  return text ? QString::fromUtf8(text) : QString();
}

QString ErrorTextLoader::ErrorMessage(int code) const {
  const QString text = lib_.loaded() ? GetErrorText(code) : QStringLiteral("Ошибка номер %1").arg(code);
  return QStringLiteral(" %1 \n").arg(text);
}

void ErrorTextLoader::ShowError(int code, OperationProgress* progress) const {
  engine_helper().ShowMessage(ErrorMessage(code), MB_OK | MB_ICONEXCLAMATION | MB_TASKMODAL | MB_SETFOREGROUND,
                              progress);
}

void ErrorTextLoader::write(const QByteArray& bytes) {
  EventLogSettings s;
  bool complete = false;
  const bool scoped = t_scoped.depth > 0;
  if (scoped && t_scoped.read) {
    s = t_scoped.stored;
    complete = t_scoped.complete;
  } else if (EventLogSettings::Read(s, &complete) && scoped) {
    t_scoped.read = true;
    t_scoped.stored = s;
    t_scoped.complete = complete;
  }
  const EventLogSettings stored = s;
  const QDate today = clock_().date();
  QString folder = s.Path;
  if (folder.isEmpty()) {
    // A log with no folder set goes to the one default folder, made on
    // first use, where the log viewer looks for it as well.
    folder = default_log_folder();
    if (!engine_helper().CreatePath(folder)) return;
    s.Path = folder;
  }
  if (s.FileName.isEmpty()) s.FileName = daily_log_name(today);
  if (s.AutoOpen != 0) {
    if (s.Evry == 0) {
      s.FileName = daily_log_name(today);
    } else {
      const QString current = folder + QLatin1Char('/') + s.FileName;
      struct stat st {};
      if (::lstat(fs(current).constData(), &st) != 0) {
        if (!append_file(current, {})) return;
      } else if (static_cast<std::uint64_t>(st.st_size) > (static_cast<std::uint64_t>(s.Limit) << 20)) {
        s.FileName = daily_log_name(today);
      }
    }
  }
  const QString file = folder + QLatin1Char('/') + s.FileName;
  if (!path_exists(folder) || !append_file(file, bytes)) return;
  // Written back only when something changed or a value was missing: every
  // line of every operation comes here, and a write is a transaction.
  if ((!complete || s != stored) && EventLogSettings::Write(s) && scoped) {
    t_scoped.stored = s;
    t_scoped.complete = true;
  }
}

void ErrorTextLoader::LogOperation(const QString& text) {
  const QByteArray separator = QByteArray(135, '-') + "\r\n";
  QByteArray entry = separator;
  entry += "   " + clock_().toString(QStringLiteral("dd-MM-yyyy HH:mm")).toUtf8() + "\r\n";
  entry += separator;
  entry += QStringLiteral("Операция: %1 \r\n").arg(text).toUtf8();
  write(entry);
}

void ErrorTextLoader::LogLine(const QString& text) { write(text.toUtf8() + " \r\n"); }

void ErrorTextLoader::LogDebug(const QString& text) { write("- debug info -: " + text.toUtf8() + " \r\n"); }

ErrorTextLoader& error_text_loader() {
  static ErrorTextLoader* loader = new ErrorTextLoader();  // used until the process ends
  return *loader;
}

}  // namespace dsutils
