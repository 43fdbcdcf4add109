// Opening a file with the desktop's default application for its type, and
// the help pages of the dialogs.
#pragma once

#include <string>
#include <vector>

namespace dsutils::widgets {

// A program the desktop knows for a file type.
struct DesktopApplication {
  std::string id;    // the desktop entry's id ("editor.desktop")
  std::string name;  // its display name
};

class ShellService {
 public:
  virtual ~ShellService() = default;
  // Starts the default application for the file's type with the file as
  // its argument (an argument vector, never a shell line). False when the
  // file is missing, no application is known or it cannot start; `error`
  // then says why, and `noApplication` (when given) whether the desktop
  // simply has no default program for the type.
  virtual bool open(const std::string& path, std::string* error = nullptr, bool* noApplication = nullptr);
  // Prints the file with the print spooler: `lp <absolute path>` as an
  // argument vector (an absolute path never reads as an option). False
  // when lp is missing, fails or the path is not an absolute regular file;
  // `error` then holds lp's message.
  virtual bool print(const std::string& path, std::string* error = nullptr);
  // Every program the desktop lists for the file's type, in its order; for
  // a type no program declares, every program the desktop shows.
  virtual std::vector<DesktopApplication> applicationsFor(const std::string& path);
  // Starts the program `id` with the file as its one argument.
  virtual bool launch(const std::string& id, const std::string& path, std::string* error = nullptr);
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
