// ErrorTextLoader: toolkit result codes to texts through the outside library
// "VTError", and the writer of the event log and the debug lines.
#pragma once

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <functional>

#include "platform/dynlib.h"

namespace dsutils {

class OperationProgress;

// The log-file record of Property\Log.
struct EventLogSettings {
  QString Path;
  QString FileName;
  std::uint32_t On = 1;
  std::uint32_t AutoOpen = 1;
  std::uint32_t Evry = 1;
  std::uint32_t Limit = 10;  // megabytes

  // Missing values read as their defaults; `complete` (when given) tells
  // whether every value was there.
  static bool Read(EventLogSettings& s, bool* complete = nullptr);
  static bool Write(const EventLogSettings& s);
  bool operator==(const EventLogSettings&) const = default;
};

// "ds%.2d%.2d%d.log" with day, month and four-digit year.
QString daily_log_name(const QDate& date);
// The folder the log goes to when the settings name none: the user's data
// folder ($XDG_DATA_HOME or ~/.local/share) + "/dossar/Log".
QString default_log_folder();

class ErrorTextLoader {
 public:
  ErrorTextLoader();
  virtual ~ErrorTextLoader() = default;

  QString GetErrorText(int code) const;
  // " %s \n" around the library's text, or around "Ошибка номер %d" when the
  // library could not be loaded.
  QString ErrorMessage(int code) const;
  void ShowError(int code, OperationProgress* progress = nullptr) const;

  void LogOperation(const QString& text);
  void LogLine(const QString& text);
  void LogDebug(const QString& text);

  bool libraryLoaded() const { return lib_.loaded(); }
  // The clock of the log (tests give a fixed one).
  void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }

 private:
  void write(const QByteArray& bytes);

  platform::DynLib lib_;
  using GetErrorTextFn = const char* (*)(int);
  GetErrorTextFn get_text_ = nullptr;
  std::function<QDateTime()> clock_;
};

ErrorTextLoader& error_text_loader();

// While one is alive in a thread (an operation's run), that thread's log
// entries read the log settings at the first entry only and keep what they
// write back; the next run reads them afresh. Scopes nest.
class LogSettingsScope {
 public:
  LogSettingsScope();
  ~LogSettingsScope();
  LogSettingsScope(const LogSettingsScope&) = delete;
  LogSettingsScope& operator=(const LogSettingsScope&) = delete;
};

}  // namespace dsutils
