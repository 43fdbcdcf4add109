// Open and save dialogs. The filters are given in the form the product's
// texts use ("Описание (*.ext)|*.ext|...||") and shown in Qt's form. Tests
// put a scripted service in place of the windows.
#pragma once

#include <QString>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace dsutils::widgets {

struct FileDialogRequest {
  bool save = false;
  QString caption;
  QString initialPath;
  QString filter;         // "text|patterns|text|patterns||"
  QString defaultSuffix;  // without the dot; empty: none
};

// Qt's filter list for a filter in the product's form: one entry per pair,
// the text without its own parenthesised patterns, then the patterns in
// parentheses separated by blanks; "*.*" becomes "*", since on this system
// "all files" includes names without a dot.
QString qt_filter(const QString& filter);

class FileDialogService {
 public:
  virtual ~FileDialogService() = default;
  // On the GUI thread: shows the dialog without blocking and calls `done`
  // once with the chosen path, nothing on cancel.
  virtual void open(const FileDialogRequest& request, std::function<void(std::optional<QString>)> done) = 0;
};

class QtFileDialogService : public FileDialogService {
 public:
  void open(const FileDialogRequest& request, std::function<void(std::optional<QString>)> done) override;
};

class ScriptedFileDialogService : public FileDialogService {
 public:
  void queue(std::optional<QString> answer);
  void open(const FileDialogRequest& request, std::function<void(std::optional<QString>)> done) override;
  std::vector<FileDialogRequest> seen() const;
  int unexpected() const;

 private:
  mutable std::mutex mutex_;
  std::deque<std::optional<QString>> answers_;
  std::vector<FileDialogRequest> seen_;
  int unexpected_ = 0;
};

}  // namespace dsutils::widgets
