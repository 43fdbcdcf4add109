// Runs an outside program as a program path and an argument list: nothing
// goes through a shell, so no argument is ever split, expanded or taken for
// an option of something else.
#include <QProcess>

#include "dsutils/engine/engine_helper.h"

namespace dsutils {

ProcessResult EngineHelper::RunProcess(const QString& program, const QStringList& arguments, bool withErrors) {
  ProcessResult result;
  QProcess process;
  process.setProgram(program);
  process.setArguments(arguments);
  process.setStandardInputFile(QProcess::nullDevice());
  process.setProcessChannelMode(withErrors ? QProcess::MergedChannels : QProcess::SeparateChannels);
  process.start(QIODevice::ReadOnly);
  if (!process.waitForStarted(-1)) {
    result.errorText = process.errorString();
    return result;
  }
  result.started = true;
  // Read as it comes, so a talkative child never blocks on a full pipe; past
  // the bound the rest is read and dropped.
  while (process.state() != QProcess::NotRunning) {
    process.waitForReadyRead(100);
    const QByteArray chunk = process.readAllStandardOutput();
    if (result.output.size() < kMaxProcessOutput) result.output += chunk.left(kMaxProcessOutput - result.output.size());
    process.readAllStandardError();
  }
  process.waitForFinished(-1);
  const QByteArray rest = process.readAllStandardOutput();
  if (result.output.size() < kMaxProcessOutput) result.output += rest.left(kMaxProcessOutput - result.output.size());
  result.crashed = process.exitStatus() == QProcess::CrashExit;
  result.exitCode = result.crashed ? -1 : process.exitCode();
  if (result.crashed) result.errorText = process.errorString();
  return result;
}

}  // namespace dsutils
