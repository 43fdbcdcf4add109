// Working folders: where an operation keeps its copies of one file.
//
// Layout below the per-user root <temp>/DOSSAR-<uid> (mode 0700):
//   ~temp~[n]/            the working folder ("~temp~" for the first)
//   ~temp~[n]/Src/<name>  the kept copy of the source
//   ~temp~[n]/<name>      the working copy
//   ~temp~[n].lock        the source's original path, flock'ed while in use
// The lock file lies beside the folder, not in it, so no member of an
// unpacked archive and no file name of the user can overwrite it. The lock
// is taken before the folder exists and dropped after it is gone, so an
// unlocked lock file always means its operation has ended.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/error_text.h"
#include "dsutils/engine/fd_io.h"
#include "dsutils/engine/session_seam.h"

namespace dsutils {
namespace {

QByteArray fs(const QString& path) { return QFile::encodeName(path); }

const QString kWorkStem = QStringLiteral("~temp~");
const QString kLockSuffix = QStringLiteral(".lock");
constexpr int kMaxWorkFolders = 10000;
constexpr int kMaxFolderDepth = 64;
constexpr qint64 kMaxRecordBytes = 64 * 1024;
// The mail client has read a protocol file long before this.
constexpr qint64 kMailProtocolAgeSecs = 24 * 60 * 60;

class FileSystemSession : public ICryptoSession {
 public:
  void EraseFile(const QString& path) override { erase_file_system_file(path); }
};

FileSystemSession g_file_system_session;
std::atomic<ICryptoSession*> g_session{nullptr};

// The locks of the working folders this process holds, by folder path.
std::mutex g_locks_mutex;
std::map<QString, int>& held_locks() {
  static auto* locks = new std::map<QString, int>();  // used until the process ends
  return *locks;
}

bool is_work_folder_name(const QString& name) {
  if (name == kWorkStem) return true;
  if (!name.startsWith(kWorkStem + QLatin1Char('[')) || !name.endsWith(QLatin1Char(']'))) return false;
  const QString digits = name.mid(kWorkStem.size() + 1, name.size() - kWorkStem.size() - 2);
  if (digits.isEmpty() || digits.size() > 5) return false;
  for (const QChar c : digits)
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
  return true;
}

QString work_folder_name(int n) { return n == 0 ? kWorkStem : kWorkStem + QStringLiteral("[%1]").arg(n); }

// Same inode under the path as behind the descriptor: a lock file that was
// removed while we waited for it is no lock any more.
bool lock_still_linked(int fd, const QByteArray& path) {
  struct stat byFd {
  }, byPath{};
  if (::fstat(fd, &byFd) != 0 || byFd.st_nlink == 0) return false;
  if (::lstat(path.constData(), &byPath) != 0) return false;
  return byFd.st_dev == byPath.st_dev && byFd.st_ino == byPath.st_ino;
}

QByteArray read_record(int fd) {
  QByteArray out;
  std::array<char, 4096> buf{};
  if (::lseek(fd, 0, SEEK_SET) != 0) return out;
  for (;;) {
    const ssize_t r = ::read(fd, buf.data(), buf.size());
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    out.append(buf.data(), r);
    if (out.size() > kMaxRecordBytes) return {};
  }
  return out;
}

// true when both are regular files with the same bytes.
bool same_content(const QString& a, const QString& b) {
  QFile fa(a), fb(b);
  if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size()) return false;
  while (!fa.atEnd()) {
    const QByteArray x = fa.read(1 << 16);
    if (x.isEmpty() || x != fb.read(x.size())) return false;
  }
  return true;
}

void release_lock(const QString& folder, bool unlinkFile) {
  int fd = -1;
  {
    const std::lock_guard<std::mutex> guard(g_locks_mutex);
    auto it = held_locks().find(folder);
    if (it == held_locks().end()) return;
    fd = it->second;
    held_locks().erase(it);
  }
  // Unlinked while still locked, so no one can take the name in between.
  if (unlinkFile) ::unlink(fs(folder + kLockSuffix).constData());
  ::close(fd);
}

// Removes the contents of the folder open as `dfd`; `path` names it for the
// session's erase and the debug lines.
bool empty_folder(int dfd, const QString& path, int depth, EngineHelper& helper) {
  DIR* dir = ::fdopendir(dfd);
  if (!dir) {
    ::close(dfd);
    return false;
  }
  std::vector<std::string> names;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): this DIR is local to the call
  while (const dirent* e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  }
  bool ok = true;
  for (const std::string& name : names) {
    QString full = path + QLatin1Char('/') + QFile::decodeName(QByteArray::fromStdString(name));
    NetStr(full);
    struct stat st {};
    if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISDIR(st.st_mode)) {
      ok = helper.EraseWorkFile(full) && ok;
      continue;
    }
    const int sub =
        depth < kMaxFolderDepth ? ::openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
    if (sub < 0 || !empty_folder(sub, full, depth + 1, helper)) {
      ok = false;
      continue;
    }
    if (::unlinkat(dfd, name.c_str(), AT_REMOVEDIR) == 0) {
      debug_log(QStringLiteral("[RemoveTmpPath - RemoveDirectory] удален каталог: %1").arg(full));
    } else {
      debug_log(QStringLiteral("[RemoveTmpPath - RemoveDirectory] не удален каталог: %1").arg(full));
      ok = false;
    }
  }
  ::closedir(dir);
  return ok;
}

}  // namespace

ICryptoSession& crypto_session() {
  ICryptoSession* s = g_session.load();
  return s ? *s : g_file_system_session;
}

void set_crypto_session(ICryptoSession* session) { g_session.store(session); }

bool erase_file_system_file(const QString& path) {
  const QByteArray p = fs(path);
  // O_NONBLOCK: a FIFO put in place of the file must not hang the open.
  const int fd = ::open(p.constData(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return ::unlink(p.constData()) == 0 || errno == ENOENT;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && S_ISREG(st.st_mode) && st.st_nlink == 1) {
    // The name goes first: a folder that does not let the file go (read-only)
    // must not cost its content. The open descriptor keeps the data for the
    // overwrite, and it is overwritten only when the name was its last one.
    if (::unlink(p.constData()) != 0) {
      ::close(fd);
      return false;
    }
    ok = ::fstat(fd, &st) == 0 && st.st_nlink == 0;
    static const std::array<char, 4096> zeros{};
    for (off_t left = st.st_size; ok && left > 0; left -= static_cast<off_t>(zeros.size())) {
      const size_t n = left < static_cast<off_t>(zeros.size()) ? static_cast<size_t>(left) : zeros.size();
      ok = write_all(fd, zeros.data(), n);
    }
    ok = ok && ::fsync(fd) == 0;
    ::close(fd);
    return ok;
  }
  ::close(fd);
  return ::unlink(p.constData()) == 0 && ok;
}

bool EngineHelper::EraseWorkFile(const QString& path) {
  struct stat st {};
  const QByteArray p = fs(path);
  if (path.isEmpty()) return false;
  if (::lstat(p.constData(), &st) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) return false;
  if (S_ISREG(st.st_mode) && st.st_nlink == 1) {
    crypto_session().EraseFile(path);
    return ::lstat(p.constData(), &st) != 0 && errno == ENOENT;
  }
  // A link, a file with other names, a FIFO, a device: the name goes, what
  // it leads to is never opened.
  return ::unlink(p.constData()) == 0 || errno == ENOENT;
}

QString EngineHelper::TmpRoot() {
  QString root = user_temp_folder() + QStringLiteral("/DOSSAR-%1").arg(::geteuid());
  NetStr(root);
  const QByteArray p = fs(root);
  if (::mkdir(p.constData(), 0700) != 0 && errno != EEXIST) return {};
  struct stat st {};
  if (::lstat(p.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    error_text_loader().LogLine(QStringLiteral("Ошибка при работе с временным каталогом.\r\nФайл: %1").arg(root));
    return {};
  }
  return root;
}

QString EngineHelper::CreateTmp(const QString& sourceIn, bool eraseSource) {
  debug_log(QStringLiteral("[CreateTmp] исходный файл: %1").arg(sourceIn));
  // The record must name the source wherever the clean-up runs from.
  QString source = sourceIn.isEmpty() ? QString() : QFileInfo(sourceIn).absoluteFilePath();
  NetStr(source);
  const QString name = GetFileFromName(source);
  const QString root = TmpRoot();
  if (source.isEmpty() || name.isEmpty() || root.isEmpty()) {
    debug_log(QStringLiteral("[CreateTmp] новое имя: NULL"));
    return {};
  }

  QString work;
  int lockFd = -1;
  for (int n = 0; n < kMaxWorkFolders && lockFd < 0;) {
    const QString candidate = root + QLatin1Char('/') + work_folder_name(n);
    const QByteArray lockPath = fs(candidate + kLockSuffix);
    const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno != EEXIST) break;
      ++n;
      continue;
    }
    // A clean-up may have opened the new file before this lock: wait for it
    // and start again on the same number when it removed the file.
    if (::flock(fd, LOCK_EX) != 0 || !lock_still_linked(fd, lockPath)) {
      ::close(fd);
      continue;
    }
    if (::mkdir(fs(candidate).constData(), 0700) != 0) {
      const int err = errno;
      ::unlink(lockPath.constData());
      ::close(fd);
      if (err != EEXIST) break;
      ++n;  // a folder without a lock is left as it is: it may hold someone's file
      continue;
    }
    work = candidate;
    lockFd = fd;
  }
  if (lockFd < 0) {
    debug_log(QStringLiteral("[CreateTmp] новое имя: NULL"));
    return {};
  }
  {
    const std::lock_guard<std::mutex> guard(g_locks_mutex);
    held_locks()[work] = lockFd;
  }

  const QByteArray record = fs(source);
  const QString kept = work + QStringLiteral("/Src/") + name;
  QString copy = work + QLatin1Char('/') + name;
  NetStr(copy);
  // Each copy syncs its folder; the root holds the record and the working
  // folder's name. All of it must outlast a power loss before the source is
  // erased.
  const bool made = write_all(lockFd, record.constData(), static_cast<size_t>(record.size())) && ::fsync(lockFd) == 0 &&
                    ::mkdir(fs(work + QStringLiteral("/Src")).constData(), 0700) == 0 &&
                    DS_CopyFile(source, kept, true) && DS_CopyFile(source, copy, true) &&
                    sync_folder(fs(root).constData()) == 0;
  if (!made) {
    // The source was not touched: the half-made folder can go.
    RemoveTmpPath(work);
    const bool gone = ::rmdir(fs(work).constData()) == 0;
    release_lock(work, gone);
    debug_log(QStringLiteral("[CreateTmp] новое имя: NULL"));
    return {};
  }
  if (eraseSource) EraseWorkFile(source);
  debug_log(QStringLiteral("[CreateTmp] новое имя: %1").arg(copy));
  return copy;
}

int EngineHelper::RemoveTmp(const QString& source, const QString& work, bool restore) {
  debug_log(QStringLiteral("[RemoveTmp] старое имя: %1, временное: %2").arg(source, work));
  if (source.isEmpty() || work.isEmpty()) return 0;
  const QString folder = GetPathFromName(work);
  // Only a working folder of ours is ever removed, whatever path comes in.
  const QString root = TmpRoot();
  if (root.isEmpty() || GetPathFromName(folder) != root || !is_work_folder_name(GetFileFromName(folder))) return 0;
  if (restore && !DS_CopyFile(work, source, false)) return 0;
  RemoveTmpPath(folder);
  if (::rmdir(fs(folder).constData()) != 0) {
    debug_log(QStringLiteral("[RemoveTmp] не удален каталог: %1").arg(folder));
    release_lock(folder, false);  // the record stays for the clean-up
    return 0;
  }
  release_lock(folder, true);
  return 1;
}

int EngineHelper::RemoveTmpPath(const QString& folder) {
  if (folder.isEmpty()) return 0;
  const int dfd = ::open(fs(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dfd < 0) return errno == ENOENT ? 1 : 0;
  return empty_folder(dfd, folder, 0, *this) ? 1 : 0;
}

int EngineHelper::RemoveOldMailProtocols(const QDateTime& now) {
  const QString root = TmpRoot();
  if (root.isEmpty()) return 0;
  const int dfd = ::open(fs(root).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dfd < 0) return 0;
  DIR* dir = ::fdopendir(dfd);
  if (dir == nullptr) {
    ::close(dfd);
    return 0;
  }
  const qint64 deadline = now.toSecsSinceEpoch() - kMailProtocolAgeSecs;
  int removed = 0;
  std::vector<std::string> old;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): this DIR is local to the call
  while (const dirent* e = ::readdir(dir)) {
    const QString name = QFile::decodeName(e->d_name);
    if (!name.startsWith(QLatin1String("DSM_Protocol")) || !name.endsWith(QLatin1String(".txt"))) continue;
    struct stat st {};
    if (::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        st.st_mtime >= deadline)
      continue;
    old.emplace_back(e->d_name);
  }
  for (const std::string& name : old) {
    if (::unlinkat(dfd, name.c_str(), 0) == 0) ++removed;
  }
  ::closedir(dir);
  return removed;
}

int EngineHelper::ClearTmpRoot() {
  const QString root = TmpRoot();
  if (root.isEmpty()) return 0;
  RemoveOldMailProtocols(QDateTime::currentDateTime());
  int restored = 0;
  const QStringList locks = QDir(root).entryList({QStringLiteral("*") + kLockSuffix}, QDir::Files | QDir::Hidden);
  for (const QString& lockName : locks) {
    const QString folderName = lockName.left(lockName.size() - kLockSuffix.size());
    if (!is_work_folder_name(folderName)) continue;
    const QString folder = root + QLatin1Char('/') + folderName;
    const QByteArray lockPath = fs(root + QLatin1Char('/') + lockName);
    const int fd = ::open(lockPath.constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    // Held by a running operation (of this process or another): not ours.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !lock_still_linked(fd, lockPath)) {
      ::close(fd);
      continue;
    }
    const QString source = QFile::decodeName(read_record(fd));
    struct stat st {};
    bool keep = false;
    if (::lstat(fs(folder).constData(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        keep = true;  // not what this code makes: left alone
      } else if (!source.isEmpty()) {
        const QString kept = folder + QStringLiteral("/Src/") + GetFileFromName(source);
        struct stat kst {};
        if (::lstat(fs(kept).constData(), &kst) == 0 && S_ISREG(kst.st_mode)) {
          QString target;
          if (!FileExists(source))
            target = source;
          else if (!same_content(kept, source))
            target = GetUnicalName(source);  // a newer file took the name: both are kept
          if (!target.isEmpty()) {
            if (DS_CopyFile(kept, target, true)) {
              ++restored;
              error_text_loader().LogLine(QStringLiteral("Исходный файл восстановлен после сбоя: %1").arg(target));
            } else {
              keep = true;  // the kept copy may be the only one: the folder stays
            }
          }
        }
      }
      if (!keep) {
        RemoveTmpPath(folder);
        keep = ::rmdir(fs(folder).constData()) != 0;
      }
    }
    if (!keep) ::unlink(lockPath.constData());
    ::close(fd);
  }
  return restored;
}

}  // namespace dsutils
