// Sorting processed files into the folders of the Sorting settings. Every
// step copies; nothing here deletes: the working folder's own clean-up does.
#include <sys/stat.h>

#include <QFile>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/error_text.h"

namespace dsutils {
namespace {

bool is_folder(const QString& path) {
  struct stat st {};
  return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

QString join(const QString& folder, const QString& name) {
  QString out = folder + QLatin1Char('/') + name;
  NetStr(out);
  return out;
}

// A configured folder that is missing and not created is replaced by one the
// person chooses (the home folder on cancel) and written back, so the
// question is not asked again.
void settle_folder(EngineHelper& helper, const QString& operation, SortSettings& s, QString SortSettings::*field,
                   OperationProgress* progress) {
  QString& folder = s.*field;
  if (!folder.isEmpty() && helper.EnsureSortFolder(folder, progress)) return;
  helper.ShowMessage(QStringLiteral("Каталог %1 не существует. Укажите другой!").arg(folder), MB_OK | MB_ICONSTOP,
                     progress);
  EngineUi* ui = operation_ui();
  std::optional<QString> chosen = ui ? ui->chooseFolder(folder) : std::nullopt;
  folder = chosen && !chosen->isEmpty() ? *chosen : default_folder();
  helper.SetSortSettings(operation, s);
}

QString unique_if(bool wanted, const QString& target) { return wanted ? GetUnicalName(target) : target; }

}  // namespace

bool EngineHelper::EnsureSortFolder(const QString& folder, OperationProgress* progress) {
  if (is_folder(folder)) return true;
  if (ShowMessage(QStringLiteral("Каталога\n%1\n сортировки не существует.\n\n Создать ?").arg(folder),
                  MB_YESNO | MB_ICONQUESTION, progress) != IDYES)
    return false;
  if (!CreatePath(folder)) {
    ShowMessage(QStringLiteral("Не удалось создать каталог сортировки."), MB_OK | MB_ICONSTOP, progress);
    return false;
  }
  return true;
}

int EngineHelper::GroupSortFile(const QString& source, QString& result, const QString& operation, bool error,
                                OperationProgress* progress) {
  SortSettings s;
  GetSortSettings(operation, s, progress);
  // A mode word other than 1 places the file next to the source: the file
  // may be the only product of the operation, and its working folder goes
  // right after the sorting.
  const bool intoFolder = (error ? s.Error : s.Result) == 1;
  const bool unique = (error ? s.ErrorExist : s.ResultExist) == 1;
  if (!FileExists(result)) return 1;

  QString folder;
  if (intoFolder) {
    settle_folder(*this, operation, s, error ? &SortSettings::ErrorPath : &SortSettings::ResultPath, progress);
    folder = error ? s.ErrorPath : s.ResultPath;
  } else {
    folder = GetPathFromName(source);
  }
  if (folder.isEmpty()) return 0;
  QString target = join(folder, GetFileFromName(result));
  if (target == result) return 1;
  target = unique_if(unique, target);
  if (target.isEmpty() || !DS_CopyFile(result, target, false)) return 0;
  result = target;
  debug_log(QStringLiteral("[GroupSortFile] файл перемещен %1: %2").arg(intoFolder ? 1 : 0).arg(target));
  return 1;
}

int EngineHelper::GroupSortFileEx(const QString& source, const QString& work, const QString& result,
                                  const QString& operation, OperationProgress* progress) {
  if (work.isEmpty()) return 0;
  const QString kept = join(GetPathFromName(work) + QStringLiteral("/Src"), GetFileFromName(work));
  if (!FileExists(kept)) return 1;
  SortSettings s;
  GetSortSettings(operation, s, progress);
  switch (s.Source) {
    case 0:
      return 1;
    case 1: {
      if (source == result) {
        debug_log(QStringLiteral("[GroupSortFileEx] файл не перемещен 1: %1, %2").arg(kept, result));
        return 1;
      }
      const QString target = unique_if(s.SourceExist == 1, source);
      if (target.isEmpty() || !DS_CopyFile(kept, target, false)) return 0;
      debug_log(QStringLiteral("[GroupSortFileEx] файл перемещен 1: %1").arg(target));
      return 1;
    }
    case 2: {
      settle_folder(*this, operation, s, &SortSettings::SourcePath, progress);
      QString target = join(s.SourcePath, GetFileFromName(kept));
      if (target == result || target == kept) return 1;
      target = unique_if(s.SourceExist == 1, target);
      if (target.isEmpty() || !DS_CopyFile(kept, target, false)) return 0;
      debug_log(QStringLiteral("[GroupSortFileEx] файл перемещен 2: %1").arg(target));
      return 1;
    }
    default:
      return 0;
  }
}

int EngineHelper::GroupSortEmail(const QString& file, const QString& operation, bool error,
                                 OperationProgress* progress) {
  SortSettings s;
  GetSortSettings(operation, s, progress);
  if ((error ? s.Error : s.Result) != 1) return 1;
  if (!FileExists(file)) return 1;
  const QString folder = error ? s.ErrorPath : s.ResultPath;
  if (!EnsureSortFolder(folder, progress)) return 0;
  QString target = join(folder, GetFileFromName(file));
  if (target == file) return 1;
  target = unique_if((error ? s.ErrorExist : s.ResultExist) == 1, target);
  if (target.isEmpty() || !DS_CopyFile(file, target, false)) return 0;
  debug_log(QStringLiteral("[GroupSortEmail] файл перемещен 1: %1").arg(target));
  return 1;
}

}  // namespace dsutils
