// dsutils-shell: the program the file managers start on a selection. All of
// its work is in libDSUtils.so (DSUtilsShellRun).
#include <QApplication>
#include <cstring>
#include <vector>

#include "dsutils/com/idsutil.h"

int main(int argc, char** argv) {
  // The selection's names reach the library untouched: QApplication is given
  // the program's name only, so a file called "-style" or "-platform" is
  // never taken for one of Qt's own options.
  const std::vector<const char*> arguments(argv + 1, argv + argc);
  const bool registration = arguments.size() == 1 && (std::strcmp(arguments[0], "--register") == 0 ||
                                                      std::strcmp(arguments[0], "--unregister") == 0);
  if (registration) return DSUtilsShellRun(static_cast<int>(arguments.size()), arguments.data());
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QApplication app(qtArgc, qtArgv);
  return DSUtilsShellRun(static_cast<int>(arguments.size()), arguments.data());
}
