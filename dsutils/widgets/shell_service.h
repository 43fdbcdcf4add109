// Opening a file with the desktop's default application for its type, and
// the help pages of the dialogs.
#pragma once

#include <string>
#include <vector>

namespace dsutils::widgets {

class ShellService {
 public:
  virtual ~ShellService() = default;
  // Starts the default application for the file's type with the file as
  // its argument (an argument vector, never a shell line). False when the
  // file is missing, no application is known or it cannot start; `error`
  // then says why.
  virtual bool open(const std::string& path, std::string* error = nullptr);
};

// The desktop's own service (GIO).
ShellService& shell_service();

// Help pages: docs/help/topic-<context>.html of the installed (or source)
// help folder, opened with the shell service.
class HelpService {
 public:
  // `folder` empty: $DOSSAR_HELP_DIR, else the help folder of the source tree
  // this build came from.
  explicit HelpService(ShellService& shell, std::string folder = {});
  // The page of a context, empty when there is none.
  std::string page(int context) const;
  bool show(int context);
  // The contexts the dialogs use.
  static const std::vector<int>& contexts();

 private:
  ShellService& shell_;
  std::string folder_;
};

}  // namespace dsutils::widgets
