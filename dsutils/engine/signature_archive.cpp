// The .sga archive, written and read with libarchive in-process: no outside
// program, no shell, no member name ever used as a path outside its folder.
#include "dsutils/engine/signature_archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
#include <set>
#include <vector>

#include "dsutils/engine/archive_owners.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/error_text.h"
#include "dsutils/engine/fd_io.h"
#include "dsutils/engine/list_file.h"

namespace dsutils {
namespace sga {
namespace {

constexpr std::size_t kBlock = 1 << 16;

QByteArray fs(const QString& path) { return QFile::encodeName(path); }
std::string bytes_of(const QString& name) { return QFile::encodeName(name).toStdString(); }
QString name_of(const std::string& bytes) { return QFile::decodeName(QByteArray::fromStdString(bytes)); }

bool fail(std::string* why, const std::string& text) {
  if (why) *why = text;
  return false;
}

qcrypto::UniquePtr<archive> new_reader() {
  qcrypto::UniquePtr<archive> a(archive_read_new());
  // Tar dialects only (ustar, GNU, pax), no compression filters.
  if (a && archive_read_support_format_tar(a.get()) != ARCHIVE_OK) a.reset();
  return a;
}

// One member header as the rules allow it; its name on success.
bool check_entry(archive_entry* e, std::int64_t limit, const std::set<std::string>& reserved, std::string& name,
                 std::string* why) {
  const char* path = archive_entry_pathname(e);
  if (!path) return fail(why, "member without a readable name");
  name = path;
  if (!plain_member_name(name)) return fail(why, "member name is not a plain file name: " + name);
  if (reserved.count(name)) return fail(why, "reserved member name: " + name);
  if (archive_entry_hardlink(e)) return fail(why, "hard link member: " + name);
  if (archive_entry_symlink(e)) return fail(why, "symbolic link member: " + name);
  if (archive_entry_filetype(e) != AE_IFREG) return fail(why, "member is not a regular file: " + name);
  if (archive_entry_sparse_count(e) != 0) return fail(why, "sparse member: " + name);
  const std::int64_t size = archive_entry_size(e);
  if (!archive_entry_size_is_set(e) || size < 0 || size > limit) return fail(why, "member size out of bounds: " + name);
  return true;
}

// Reads the members' headers (and the list file's bytes) without writing
// anything.
bool scan(archive* a, std::int64_t limit, const std::vector<std::string>& reserved, Contents& out, std::string* why) {
  const std::set<std::string> reservedSet(reserved.begin(), reserved.end());
  std::set<std::string> seen;
  std::string listBytes;
  bool haveList = false;
  out = Contents{};
  for (;;) {
    archive_entry* e = nullptr;
    const int r = archive_read_next_header(a, &e);
    if (r == ARCHIVE_EOF) break;
    if (r != ARCHIVE_OK) {
      const char* text = archive_error_string(a);
      return fail(why, std::string("damaged archive: ") + (text ? text : "?"));
    }
    if (out.members.size() >= kMaxMembers) return fail(why, "too many members");
    std::string name;
    if (!check_entry(e, limit, reservedSet, name, why)) return false;
    if (!seen.insert(name).second) return fail(why, "duplicate member: " + name);
    out.members.push_back(name);
    if (name == kListName) {
      const std::int64_t size = archive_entry_size(e);
      if (size > static_cast<std::int64_t>(SignatureListFile::kMaxBytes)) return fail(why, "list file too large");
      listBytes.resize(static_cast<std::size_t>(size));
      if (size > 0 && archive_read_data(a, listBytes.data(), listBytes.size()) != size)
        return fail(why, "list file cut short");
      haveList = true;
    } else if (archive_read_data_skip(a) != ARCHIVE_OK) {
      return fail(why, "damaged member data: " + name);
    }
  }
  if (!haveList) return fail(why, "no list file");
  SignatureListFile list;
  list.ReadBytes(listBytes);  // values read before a bad line count
  if (list.GetIntValue("Header", "Version", 0) != 1) return fail(why, "list version is not 1");
  out.document = list.GetValue("Context", "Document", "");
  if (out.document.empty()) return fail(why, "list names no document");
  for (int n = 1; n <= static_cast<int>(kMaxMembers); ++n) {
    std::string v = list.GetValue("Context", "Signature_" + std::to_string(n), "");
    if (v.empty()) break;
    out.signatures.push_back(std::move(v));
  }
  auto member = [&](const std::string& n) { return n != kListName && seen.count(n) != 0; };
  if (!member(out.document)) return fail(why, "list names a document that is not a member");
  for (const std::string& s : out.signatures)
    if (!member(s) || s == out.document) return fail(why, "list names a signature that is not a member: " + s);
  return true;
}

struct OpenedArchive {
  int fd = -1;
  std::int64_t size = 0;
  ~OpenedArchive() {
    if (fd >= 0) ::close(fd);
  }
};

bool open_archive(const QString& path, OpenedArchive& out) {
  out.fd = ::open(fs(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st {};
  if (out.fd < 0 || ::fstat(out.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  out.size = st.st_size;
  return true;
}

qcrypto::UniquePtr<archive> reader_at_start(const OpenedArchive& f) {
  if (::lseek(f.fd, 0, SEEK_SET) != 0) return {};
  qcrypto::UniquePtr<archive> a = new_reader();
  if (!a || archive_read_open_fd(a.get(), f.fd, kBlock) != ARCHIVE_OK) return {};
  return a;
}

void remove_staging(const QString& staging, const std::vector<std::string>& names) {
  for (const std::string& n : names) ::unlink(fs(staging + QLatin1Char('/') + name_of(n)).constData());
  ::rmdir(fs(staging).constData());
}

// Unpacks the checked archive into a fresh folder beside it, then renames
// every member into place: a damaged or changed archive leaves nothing.
bool extract(const OpenedArchive& f, const QString& folder, const std::vector<std::string>& reserved,
             const Contents& expected, std::string* why) {
  QByteArray tmpl = fs(folder + QStringLiteral("/.sga-unpack-XXXXXX"));
  if (!::mkdtemp(tmpl.data())) return fail(why, "cannot make the unpack folder");
  const QString staging = QFile::decodeName(tmpl);
  std::vector<std::string> written;
  auto abandon = [&](const std::string& text) {
    remove_staging(staging, written);
    return fail(why, text);
  };
  qcrypto::UniquePtr<archive> a = reader_at_start(f);
  if (!a) return abandon("cannot read the archive");
  const std::set<std::string> reservedSet(reserved.begin(), reserved.end());
  std::vector<char> buf(kBlock);
  for (std::size_t i = 0;; ++i) {
    archive_entry* e = nullptr;
    const int r = archive_read_next_header(a.get(), &e);
    if (r == ARCHIVE_EOF) {
      if (i != expected.members.size()) return abandon("archive changed while read");
      break;
    }
    std::string name;
    if (r != ARCHIVE_OK || i >= expected.members.size() || !check_entry(e, f.size, reservedSet, name, why) ||
        name != expected.members[i])
      return abandon("archive changed while read");
    const QString target = staging + QLatin1Char('/') + name_of(name);
    const int out = ::open(fs(target).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (out < 0) return abandon("cannot create member " + name);
    written.push_back(name);
    std::int64_t left = archive_entry_size(e);
    bool ok = true;
    while (ok && left > 0) {
      const la_ssize_t n = archive_read_data(a.get(), buf.data(), buf.size());
      ok = n > 0 && n <= left && write_all(out, buf.data(), static_cast<std::size_t>(n));
      if (ok) left -= n;
    }
    ok = ::close(out) == 0 && ok;
    if (!ok) return abandon("member data cut short: " + name);
  }
  // A folder in the way of a member would make the renames stop half-way.
  for (const std::string& n : written) {
    struct stat st {};
    if (::lstat(fs(folder + QLatin1Char('/') + name_of(n)).constData(), &st) == 0 && S_ISDIR(st.st_mode))
      return abandon("a folder is in the way of member " + n);
  }
  for (const std::string& n : written) {
    if (::rename(fs(staging + QLatin1Char('/') + name_of(n)).constData(),
                 fs(folder + QLatin1Char('/') + name_of(n)).constData()) != 0)
      return abandon("cannot place member " + n);
  }
  written.clear();
  ::rmdir(fs(staging).constData());
  return true;
}

// --- writing ---

bool add_header(archive* w, const std::string& name, std::int64_t size, mode_t perm, time_t mtime) {
  qcrypto::UniquePtr<archive_entry> e(archive_entry_new());
  if (!e) return false;
  archive_entry_set_pathname(e.get(), name.c_str());
  archive_entry_set_filetype(e.get(), AE_IFREG);
  archive_entry_set_perm(e.get(), perm & 0777);
  archive_entry_set_size(e.get(), size);
  archive_entry_set_mtime(e.get(), mtime, 0);
  archive_entry_set_uid(e.get(), ::geteuid());
  archive_entry_set_gid(e.get(), ::getegid());
  return archive_write_header(w, e.get()) == ARCHIVE_OK;
}

bool add_bytes(archive* w, const std::string& name, const std::string& bytes) {
  if (!add_header(w, name, static_cast<std::int64_t>(bytes.size()), 0644, ::time(nullptr))) return false;
  return bytes.empty() || archive_write_data(w, bytes.data(), bytes.size()) == static_cast<la_ssize_t>(bytes.size());
}

// A member from a regular file of the folder, never through a link.
bool add_file(archive* w, const QString& folder, const std::string& name) {
  const int fd =
      ::open(fs(folder + QLatin1Char('/') + name_of(name)).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && add_header(w, name, st.st_size, st.st_mode, st.st_mtime);
  std::vector<char> buf(kBlock);
  std::int64_t left = st.st_size;
  while (ok && left > 0) {
    const ssize_t r = ::read(fd, buf.data(), buf.size());
    if (r < 0 && errno == EINTR) continue;
    ok = r > 0 && r <= left && archive_write_data(w, buf.data(), static_cast<std::size_t>(r)) == r;
    if (ok) left -= r;
  }
  ::close(fd);
  return ok;
}

// Every member of a checked archive but `skip`, data and all, in order.
bool copy_members(archive* w, const OpenedArchive& f, const std::string& skip) {
  qcrypto::UniquePtr<archive> a = reader_at_start(f);
  if (!a) return false;
  std::vector<char> buf(kBlock);
  for (;;) {
    archive_entry* e = nullptr;
    const int r = archive_read_next_header(a.get(), &e);
    if (r == ARCHIVE_EOF) return true;
    if (r != ARCHIVE_OK) return false;
    const std::string name = archive_entry_pathname(e) ? archive_entry_pathname(e) : "";
    if (name == skip) continue;
    const std::int64_t size = archive_entry_size(e);
    if (!add_header(w, name, size, archive_entry_perm(e), archive_entry_mtime(e))) return false;
    std::int64_t left = size;
    while (left > 0) {
      const la_ssize_t n = archive_read_data(a.get(), buf.data(), buf.size());
      if (n <= 0 || n > left || archive_write_data(w, buf.data(), static_cast<std::size_t>(n)) != n) return false;
      left -= n;
    }
  }
}

// Builds an archive under a temporary name in `folder`; the name on success.
QString build_archive(const QString& folder, const std::function<bool(archive*)>& fill) {
  QByteArray tmpl = fs(folder + QStringLiteral("/.sga-new-XXXXXX"));
  const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return {};
  bool ok = false;
  {
    qcrypto::UniquePtr<archive> w(archive_write_new());
    ok = w && archive_write_set_format_gnutar(w.get()) == ARCHIVE_OK &&
         archive_write_open_fd(w.get(), fd) == ARCHIVE_OK && fill(w.get());
    ok = w && archive_write_close(w.get()) == ARCHIVE_OK && ok;
  }
  ok = ok && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok) {
    ::unlink(tmpl.constData());
    return {};
  }
  return QFile::decodeName(tmpl);
}

// Puts the new archive in place of the old one in one rename; the old bytes
// are erased afterwards under a second name they kept until then.
bool replace_archive(EngineHelper& helper, const QString& built, const QString& target) {
  QByteArray old = fs(GetPathFromName(target) + QStringLiteral("/.sga-old-XXXXXX"));
  const int fd = ::mkostemp(old.data(), O_CLOEXEC);
  bool haveOld = false;
  if (fd >= 0) {
    ::close(fd);
    ::unlink(old.constData());
    haveOld = ::link(fs(target).constData(), old.constData()) == 0;
  }
  if (::rename(fs(built).constData(), fs(target).constData()) != 0) {
    if (haveOld) ::unlink(old.constData());
    ::unlink(fs(built).constData());
    return false;
  }
  if (haveOld) helper.EraseWorkFile(QFile::decodeName(old));
  return true;
}

std::vector<std::string> reserved_for(const QString& archivePath) {
  return {"Src", bytes_of(GetFileFromName(archivePath))};
}

}  // namespace

bool plain_member_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

bool check_archive_bytes(std::string_view bytes, const std::vector<std::string>& reserved, Contents& out,
                         std::string* why) {
  qcrypto::UniquePtr<archive> a = new_reader();
  if (!a || archive_read_open_memory(a.get(), bytes.data(), bytes.size()) != ARCHIVE_OK)
    return fail(why, "not an archive");
  return scan(a.get(), static_cast<std::int64_t>(bytes.size()), reserved, out, why);
}

bool check_archive_file(const QString& path, Contents& out, std::string* why) {
  OpenedArchive f;
  if (!open_archive(path, f)) return fail(why, "not a readable regular file");
  qcrypto::UniquePtr<archive> a = reader_at_start(f);
  if (!a) return fail(why, "not an archive");
  return scan(a.get(), f.size, reserved_for(path), out, why);
}

}  // namespace sga

int EngineHelper::WriteSignatureList(const QString& documentPath, const QString& archivePath) {
  const QString folder = GetPathFromName(documentPath);
  const QString document = GetFileFromName(documentPath);
  if (folder.isEmpty() || archivePath.isEmpty()) return 0;
  const std::string doc = sga::bytes_of(document);
  const std::string sig = doc + ".1";
  // A name that could not stand as a member would not read back either.
  if (!sga::plain_member_name(doc) || doc == sga::kListName || doc == "Src") return 0;

  SignatureListFile list(sga::bytes_of(folder + QLatin1Char('/') + QLatin1String(sga::kListName)));
  list.Clear();
  list.AddHeaderComment(" =========================== ");
  list.AddHeaderComment(" === Signature list file === ");
  list.AddHeaderComment(" =========================== ");
  list.SetValue("Header", "Company", sga::kCompany, true);
  list.SetIntValue("Header", "Version", 1, true);
  list.SetValue("Context", "Document", doc, true);
  list.SetValue("Context", "Signature_1", sig, true);
  if (!list.Write()) return 0;

  const QString built = sga::build_archive(GetPathFromName(archivePath), [&](archive* w) {
    return sga::add_file(w, folder, doc) && sga::add_file(w, folder, sig) && sga::add_file(w, folder, sga::kListName);
  });
  if (built.isEmpty()) return 0;
  if (::rename(sga::fs(built).constData(), sga::fs(archivePath).constData()) != 0) {
    ::unlink(sga::fs(built).constData());
    return 0;
  }
  return 1;
}

int EngineHelper::ReadSignatureList(const QString& archivePath, QString& document, QStringList& signatures) {
  const QString folder = GetPathFromName(archivePath);
  sga::OpenedArchive f;
  if (folder.isEmpty() || !sga::open_archive(archivePath, f)) return 0;
  const std::vector<std::string> reserved = sga::reserved_for(archivePath);
  sga::Contents contents;
  std::string why;
  qcrypto::UniquePtr<archive> a = sga::reader_at_start(f);
  if (!a || !sga::scan(a.get(), f.size, reserved, contents, &why) ||
      !sga::extract(f, folder, reserved, contents, &why)) {
    error_text_loader().LogLine(
        QStringLiteral("Архив подписей отклонен: %1\r\n%2").arg(archivePath, QString::fromStdString(why)));
    return 0;
  }
  document = sga::name_of(contents.document);
  signatures.clear();
  for (const std::string& s : contents.signatures) signatures.append(sga::name_of(s));
  return 1;
}

int EngineHelper::AppendArchiveSignature(const QString& archivePath, const QString& signature, bool replace) {
  const QString folder = GetPathFromName(archivePath);
  const std::string sig = sga::bytes_of(GetFileFromName(signature));
  // The signature lies beside the archive: a bare name, or a path there.
  const bool beside = !signature.contains(QLatin1Char('/')) || GetPathFromName(signature) == folder;
  if (folder.isEmpty() || !beside || !sga::plain_member_name(sig) || sig == sga::kListName) return 0;
  sga::OpenedArchive f;
  if (!sga::open_archive(archivePath, f)) return 0;
  const std::vector<std::string> reserved = sga::reserved_for(archivePath);
  sga::Contents contents;
  qcrypto::UniquePtr<archive> a = sga::reader_at_start(f);
  if (!a || !sga::scan(a.get(), f.size, reserved, contents, nullptr)) return 0;

  QString built;
  if (replace) {
    // The signature moves to the end; the list and every other member stay.
    built = sga::build_archive(
        folder, [&](archive* w) { return sga::copy_members(w, f, sig) && sga::add_file(w, folder, sig); });
    return !built.isEmpty() && sga::replace_archive(*this, built, archivePath) ? 1 : 0;
  }

  SignatureListFile list(sga::bytes_of(folder + QLatin1Char('/') + QLatin1String(sga::kListName)));
  if (!list.Read()) return 0;
  const std::string document = list.GetValue("Context", "Document", "");
  if (document.empty() || document == sig) return 0;
  int n = 1;
  while (n <= static_cast<int>(sga::kMaxMembers) &&
         !list.GetValue("Context", "Signature_" + std::to_string(n), "").empty())
    ++n;
  if (n > static_cast<int>(sga::kMaxMembers) - 2) return 0;
  list.SetValue("Context", "Signature_" + std::to_string(n), sig, true);
  // The members follow the list: entries after a gap that the new one
  // closes come along, so every name the list gives is in the archive.
  std::vector<std::string> signatures;
  for (int m = 1;; ++m) {
    std::string v = list.GetValue("Context", "Signature_" + std::to_string(m), "");
    if (v.empty()) break;
    // A name twice would make two members of one name.
    if (std::find(signatures.begin(), signatures.end(), v) != signatures.end()) return 0;
    signatures.push_back(std::move(v));
  }
  const std::string listBytes = list.Render();
  if (listBytes.empty()) return 0;
  built = sga::build_archive(folder, [&](archive* w) {
    if (!sga::add_bytes(w, sga::kListName, listBytes) || !sga::add_file(w, folder, document)) return false;
    for (auto it = signatures.rbegin(); it != signatures.rend(); ++it)
      if (!sga::add_file(w, folder, *it)) return false;
    return true;
  });
  if (built.isEmpty()) return 0;
  if (!list.Write() || !sga::replace_archive(*this, built, archivePath)) {
    ::unlink(sga::fs(built).constData());
    return 0;
  }
  return 1;
}

}  // namespace dsutils
