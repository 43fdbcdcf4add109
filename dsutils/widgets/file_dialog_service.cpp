#include "dsutils/widgets/file_dialog_service.h"

#include <QFileDialog>
#include <QStringList>

namespace dsutils::widgets {

QString qt_filter(const QString& filter) {
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString text = parts[i].trimmed();
    const QString patterns = parts[i + 1].trimmed();
    if (text.isEmpty() && patterns.isEmpty()) break;  // the closing "||"
    // The text's own "(...)" repeats the patterns (not always correctly):
    // the patterns themselves are what Qt must see.
    if (text.endsWith(QLatin1Char(')'))) {
      const qsizetype open = text.lastIndexOf(QLatin1Char('('));
      if (open >= 0) text = text.left(open).trimmed();
    }
    QStringList list;
    for (const QString& p : patterns.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      const QString pattern = p.trimmed();
      list.append(pattern == QLatin1String("*.*") ? QStringLiteral("*") : pattern);
    }
    if (list.isEmpty()) list.append(QStringLiteral("*"));
    out.append(QStringLiteral("%1 (%2)").arg(text, list.join(QLatin1Char(' '))));
  }
  return out.join(QStringLiteral(";;"));
}

void QtFileDialogService::open(const FileDialogRequest& request, std::function<void(std::optional<QString>)> done) {
  auto* dialog = new QFileDialog(nullptr, request.caption, request.initialPath, qt_filter(request.filter));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setAcceptMode(request.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog->setFileMode(request.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  if (!request.defaultSuffix.isEmpty()) dialog->setDefaultSuffix(request.defaultSuffix);
  QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, done = std::move(done)](int result) {
    const QStringList chosen = dialog->selectedFiles();
    if (result == QDialog::Accepted && !chosen.isEmpty())
      done(chosen.first());
    else
      done(std::nullopt);
  });
  dialog->open();
}

void ScriptedFileDialogService::queue(std::optional<QString> answer) {
  std::lock_guard lock(mutex_);
  answers_.push_back(std::move(answer));
}

void ScriptedFileDialogService::open(const FileDialogRequest& request,
                                     std::function<void(std::optional<QString>)> done) {
  std::optional<QString> answer;
  {
    std::lock_guard lock(mutex_);
    seen_.push_back(request);
    if (answers_.empty()) {
      ++unexpected_;
    } else {
      answer = std::move(answers_.front());
      answers_.pop_front();
    }
  }
  done(std::move(answer));
}

std::vector<FileDialogRequest> ScriptedFileDialogService::seen() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

int ScriptedFileDialogService::unexpected() const {
  std::lock_guard lock(mutex_);
  return unexpected_;
}

}  // namespace dsutils::widgets
