// Name helpers: pure string functions on Linux paths.
#include <QStringList>
#include <climits>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/error_text.h"

namespace dsutils {
namespace {

// The first dot of a file name that is not its first character: a leading
// dot makes a hidden file, not an extension.
qsizetype first_ext_dot(const QString& name) { return name.indexOf(QLatin1Char('.'), 1); }

}  // namespace

QString GetPathFromName(const QString& full) {
  const qsizetype slash = full.lastIndexOf(QLatin1Char('/'));
  QString out;
  if (slash == 0)
    out = QStringLiteral("/");  // a file in the root folder
  else if (slash > 0)
    out = full.left(slash);
  debug_log("[GetPathFromName] полное имя: %1, Каталог: %2", full, out);
  return out;
}

QString GetFileFromName(const QString& full) {
  const qsizetype slash = full.lastIndexOf(QLatin1Char('/'));
  const QString out = slash < 0 ? full : full.mid(slash + 1);
  debug_log("[GetFileFromName] полное имя: %1, Файл: %2", full, out);
  return out;
}

QString GetExtFromName(const QString& full) {
  // Only the file name is searched: a dotted folder holds no extension.
  const qsizetype slash = full.lastIndexOf(QLatin1Char('/'));
  const QString name = full.mid(slash + 1);
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  const QString out = dot >= 1 ? name.mid(dot + 1).toLower() : QString();
  debug_log("[GetExtFromName] полное имя: %1, расширение: %2", full, out);
  return out;
}

QString EngineHelper::StripExtensions(const QString& full) {
  const QString name = GetFileFromName(full);
  const qsizetype dot = first_ext_dot(name);
  QString out = full;
  if (dot >= 1) {
    const QString folder = GetPathFromName(full);
    if (folder.isEmpty())
      out = name.left(dot);
    else if (folder.endsWith(QLatin1Char('/')))
      out = folder + name.left(dot);  // the root folder
    else
      out = folder + QLatin1Char('/') + name.left(dot);
    NetStr(out);
  }
  debug_log("[GetExtFromName] полное имя: %1, имя: %2", full, out);
  return out;
}

QString GetRExtFromName(const QString& full) {
  const QString name = GetFileFromName(full);
  const qsizetype dot = first_ext_dot(name);
  const QString out = dot >= 1 ? name.mid(dot + 1) : name;
  debug_log("[GetRExtFromName] полное имя: %1, имя: %2", full, out);
  return out;
}

void NetStr(QString& path) {
  const QString input = path;
  const bool leading = path.startsWith(QLatin1String("//"));
  if (leading) path.remove(0, 2);
  QString out;
  out.reserve(path.size());
  for (qsizetype i = 0; i < path.size(); ++i) {
    out.append(path[i]);
    if (path[i] == QLatin1Char('/') && i + 1 < path.size() && path[i + 1] == QLatin1Char('/')) ++i;
  }
  path = leading ? QStringLiteral("//") + out : out;
  debug_log("[NetStr] исходный файл: %1, конечный файл: %2", input, path);
}

int MaxNumericSuffix(const QStringList& list) {
  int best = 0;
  for (const QString& s : list) {
    const qsizetype dot = s.lastIndexOf(QLatin1Char('.'));
    if (dot < 1) continue;
    long long v = 0;
    for (qsizetype i = dot + 1; i < s.size() && s[i].isDigit() && s[i].unicode() < 128; ++i) {
      v = v * 10 + (s[i].unicode() - '0');
      if (v > INT_MAX) {
        v = INT_MAX;  // a run of digits too long for a counter saturates
        break;
      }
    }
    if (v > best) best = static_cast<int>(v);
  }
  return best;
}

QString EngineHelper::ExtractArgument(const QString& line, qsizetype start) {
  if (start < 0 || start >= line.size()) return {};
  qsizetype end = line.size();
  if (line[start] == QLatin1Char('"')) {
    const qsizetype q = line.indexOf(QLatin1Char('"'), start + 1);
    if (q >= 0) end = q + 1;
  } else {
    const qsizetype b = line.indexOf(QLatin1Char(' '), start + 1);
    if (b >= 0) end = b;
  }
  QString arg = line.mid(start, end - start);
  arg.remove(QLatin1Char('"'));
  return arg;
}

}  // namespace dsutils
