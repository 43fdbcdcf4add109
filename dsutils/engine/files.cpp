// Helpers that look at or change the file system.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "crypto/cclib/regular_file.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/error_text.h"
#include "dsutils/engine/fd_io.h"
#include "platform/environment.h"

namespace dsutils {
namespace {

QByteArray fs(const QString& path) { return QFile::encodeName(path); }

#ifdef QCRYPTO_TEST_HOOKS
std::mutex g_sync_test_mutex;
std::vector<std::string> g_synced_folders;
bool g_fail_folder_sync = false;
#endif

// Existence as the product means it: the name itself, a dangling link included.
int lstat_path(const QString& path, struct stat& st) { return ::lstat(fs(path).constData(), &st); }

QString system_error_text(int err) { return QString::fromLocal8Bit(platform::errno_text(err).c_str()); }

// Copies into a fresh temporary name beside the target and renames it into
// place, so the target is either the old file or the whole new one. Returns
// 0 or an errno value.
int copy_through_temporary(const QString& source, const QString& target, bool failIfExists) {
  // A FIFO or device given as the source is refused without waiting on it.
  const int in = qcrypto::open_regular_file(fs(source).constData());
  if (in < 0) return errno;
  struct stat st {};
  if (::fstat(in, &st) != 0) {
    const int err = errno;
    ::close(in);
    return err;
  }

  QString folder = GetPathFromName(target);
  if (folder.isEmpty()) folder = QStringLiteral(".");
  QByteArray tmpl = fs(folder + QStringLiteral("/.dossar-copy-XXXXXX"));
  const int out = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (out < 0) {
    const int err = errno;
    ::close(in);
    return err;
  }
  int err = 0;
  std::vector<char> buf(1 << 16);
  for (;;) {
    const ssize_t r = ::read(in, buf.data(), buf.size());
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      err = errno;
      break;
    }
    if (r == 0) break;
    if (!write_all(out, buf.data(), static_cast<size_t>(r))) {
      err = errno ? errno : EIO;
      break;
    }
  }
  ::close(in);
  if (!err && ::fchmod(out, st.st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID)) != 0) err = errno;
  if (!err && ::fsync(out) != 0) err = errno;
  if (::close(out) != 0 && !err) err = errno;
  if (!err) {
    const QByteArray dst = fs(target);
    const int rc = failIfExists ? ::renameat2(AT_FDCWD, tmpl.constData(), AT_FDCWD, dst.constData(), RENAME_NOREPLACE)
                                : ::rename(tmpl.constData(), dst.constData());
    if (rc != 0) {
      err = errno;
    } else if (const int synced = sync_folder(fs(folder).constData()); synced != 0) {
      // The copy is in place but may not outlast a power loss: a caller
      // about to erase the source must not.
      return synced;
    }
  }
  if (err) ::unlink(tmpl.constData());
  return err;
}

}  // namespace

int sync_folder(const char* folder) {
#ifdef QCRYPTO_TEST_HOOKS
  {
    const std::lock_guard<std::mutex> guard(g_sync_test_mutex);
    g_synced_folders.emplace_back(folder);
    if (g_fail_folder_sync) return EIO;
  }
#endif
  const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int err = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return err;
}

#ifdef QCRYPTO_TEST_HOOKS
std::vector<std::string> sync_folder_test_calls() {
  const std::lock_guard<std::mutex> guard(g_sync_test_mutex);
  return std::exchange(g_synced_folders, {});
}

void sync_folder_test_fail(bool fail) {
  const std::lock_guard<std::mutex> guard(g_sync_test_mutex);
  g_fail_folder_sync = fail;
}
#endif

bool EngineHelper::FileExists(const QString& path) {
  struct stat st {};
  return !path.isEmpty() && lstat_path(path, st) == 0;
}

bool EngineHelper::CreatePath(const QString& path) {
  QString p = path;
  if (p.size() > 1 && p.endsWith(QLatin1Char('/'))) p.chop(1);
  // Only absolute paths: a relative one would depend on whatever the
  // current folder happens to be.
  if (!p.startsWith(QLatin1Char('/'))) return false;
  struct stat st {};
  if (lstat_path(p, st) == 0) return S_ISDIR(st.st_mode);
  // Level by level from the root; the loop ends at the last level, and the
  // root always exists.
  qsizetype pos = 0;
  for (;;) {
    const qsizetype next = p.indexOf(QLatin1Char('/'), pos + 1);
    const QString level = next < 0 ? p : p.left(next);
    if (!level.endsWith(QLatin1Char('/'))) {  // skips the empty level of a doubled "/"
      if (::mkdir(fs(level).constData(), 0777) != 0 && errno != EEXIST) return false;
    }
    if (next < 0) break;
    pos = next;
  }
  return lstat_path(p, st) == 0 && S_ISDIR(st.st_mode);
}

bool EngineHelper::ListFiles(const QString& path, QStringList* list) {
  if (!list) return false;
  list->clear();
  struct stat st {};
  if (path.isEmpty() || ::stat(fs(path).constData(), &st) != 0) return false;
  if (S_ISREG(st.st_mode)) {
    list->append(path);
    return true;
  }
  if (!S_ISDIR(st.st_mode)) return false;  // a device, FIFO or socket is no input file
  DIR* dir = ::opendir(fs(path).constData());
  if (!dir) return false;
  const int dfd = ::dirfd(dir);
  std::vector<std::string> names;
  // readdir_r is the deprecated form; readdir is safe on a stream that no other thread uses.
  // NOLINTNEXTLINE(concurrency-mt-unsafe): this DIR is local to the call
  while (const dirent* e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    // Looked at without opening: a FIFO is skipped, never read.
    struct stat est {};
    if (::fstatat(dfd, e->d_name, &est, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISLNK(est.st_mode) && ::fstatat(dfd, e->d_name, &est, 0) != 0) continue;  // dangling link
    if (S_ISREG(est.st_mode)) names.emplace_back(e->d_name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const auto& n : names) {
    QString full = path + QLatin1Char('/') + QFile::decodeName(QByteArray::fromStdString(n));
    NetStr(full);
    list->append(full);
  }
  return true;
}

bool EngineHelper::ResolveShellPath(const QString& path, QString& out) {
  out.clear();
  if (path.isEmpty()) return false;
  char* real = ::realpath(fs(path).constData(), nullptr);
  if (!real) return false;
  out = QFile::decodeName(real);
  std::free(real);
  return true;
}

QString GetUnicalName(const QString& wanted) {
  struct stat st {};
  if (lstat_path(wanted, st) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) return {};  // cannot tell: no name is safe
    debug_log("[GetUnicalName] файл не существует %1%2", wanted, QString());
    return wanted;
  }
  if (S_ISDIR(st.st_mode) && ::rmdir(fs(wanted).constData()) == 0) return wanted;  // an empty folder gives way

  EngineHelper& helper = engine_helper();
  QString stem = helper.StripExtensions(wanted);
  const bool hasExt = stem != wanted;
  // Removes a counter group "[...]" at the end of the file name; a "]"
  // with no "[" after the name's first character ends the trimming.
  const qsizetype nameStart = stem.lastIndexOf(QLatin1Char('/')) + 1;
  while (stem.endsWith(QLatin1Char(']'))) {
    const qsizetype open = stem.lastIndexOf(QLatin1Char('['));
    if (open < nameStart + 1) break;
    stem.truncate(open);
  }
  const QString ext = hasExt ? QLatin1Char('.') + GetRExtFromName(wanted) : QString();
  // The counter is bounded so a folder that somehow answers "exists" for
  // every name cannot hold the operation forever.
  for (int n = 1; n < 1000000; ++n) {
    const QString candidate = stem + QStringLiteral("[%1]").arg(n) + ext;
    if (!helper.FileExists(candidate)) {
      debug_log("[GetUnicalName] файл уже существует %1, новое имя: %2", wanted, candidate);
      return candidate;
    }
  }
  return {};
}

bool DS_CopyFile(const QString& sourceIn, const QString& targetIn, bool failIfExists) {
  QString source = sourceIn, target = targetIn;
  NetStr(source);
  NetStr(target);
  if (source == target) return true;
  if (!engine_helper().FileExists(source)) {
    error_text_loader().LogLine(
        QStringLiteral("Ошибка при копировании файла!\r\nИсходный файл: %1\r\nне существует!").arg(source));
    return false;
  }
  if (const int err = copy_through_temporary(source, target, failIfExists); err != 0) {
    error_text_loader().LogLine(
        QStringLiteral("Ошибка при копировании файла!\r\n%1\r\nИсходный файл: %2\r\nКонечный файл: %3")
            .arg(system_error_text(err), source, target));
    return false;
  }
  debug_log("[DS_CopyFile] исходный файл: %1, конечный файл: %2", source, target);
  return true;
}

}  // namespace dsutils
