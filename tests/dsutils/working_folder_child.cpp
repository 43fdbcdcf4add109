// Takes the file named by argv[1] into a working folder (erasing it), prints
// the working copy and waits to be killed: an operation that dies midway.
#include <unistd.h>

#include <QFile>
#include <cstdio>

#include "dsutils/engine/engine_helper.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const QString copy = dsutils::engine_helper().CreateTmp(QFile::decodeName(argv[1]), true);
  std::printf("%s\n", QFile::encodeName(copy).constData());
  std::fflush(stdout);
  for (;;) ::pause();
}
