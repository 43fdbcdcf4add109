#include "dsutils/com/registration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cerrno>

#include "dsutils/com/shell_menu.h"
#include "dsutils/engine/engine_helper.h"

namespace dsutils {

namespace {

constexpr const char* kSigned = "application/x-dossar-signed";
constexpr const char* kArchive = "application/x-dossar-archive";
constexpr const char* kEncrypted = "application/x-dossar-encrypted";

// The static menus follow MIME types only: Dolphin gathers these files into
// one "Dossar" submenu, one file per set of types. Which selection really
// gets which item is decided again by the host (BuildMenu).
struct ServiceMenu {
  const char* file;
  QStringList mimeTypes;
  QList<int> commands;
};

QList<ServiceMenu> service_menus() {
  const QString s = QLatin1String(kSigned), a = QLatin1String(kArchive), e = QLatin1String(kEncrypted);
  return {
      {"kio/servicemenus/dossar-files.desktop",
       {QStringLiteral("all/all")},
       {kCmdSign, kCmdEncrypt, kCmdSignEncrypt, kCmdUnpack, kCmdExtract}},
      {"kio/servicemenus/dossar-signed.desktop", {s, a}, {kCmdVerify}},
      {"kio/servicemenus/dossar-archive.desktop", {a}, {kCmdAddSignature, kCmdExtractAll}},
      {"kio/servicemenus/dossar-protected.desktop", {s, a, e}, {kCmdProperties}},
  };
}

// Nemo's own filter of each action: the selection count and the types.
struct NemoFilter {
  const char* selection;
  QStringList mimeTypes;  // empty: every name (Extensions=any)
};

NemoFilter nemo_filter(int command) {
  const QString s = QLatin1String(kSigned), a = QLatin1String(kArchive), e = QLatin1String(kEncrypted);
  switch (command) {
    case kCmdVerify:
      return {"s", {s, a}};
    case kCmdAddSignature:
    case kCmdExtractAll:
      return {"s", {a}};
    case kCmdProperties:
      return {"s", {s, a, e}};
    default:
      return {"notnone", {}};
  }
}

const char* nemo_icon(int command) { return command == kCmdProperties ? "document-properties" : "security-high"; }

QString exec_line(const QString& host, int command, const char* field) {
  return DesktopExecArgument(host) + QLatin1Char(' ') + ShellCommandName(command) + QLatin1Char(' ') +
         QLatin1String(field);
}

QByteArray service_menu(const QString& host, const ServiceMenu& menu) {
  QStringList ids;
  for (const int c : menu.commands) ids << ShellCommandName(c);
  QString text = QStringLiteral(
                     "[Desktop Entry]\nType=Service\nServiceTypes=KonqPopupMenu/Plugin\nMimeType=%1;\nActions=%2;\n"
                     "X-KDE-Submenu=Dossar\n")
                     .arg(menu.mimeTypes.join(QLatin1Char(';')), ids.join(QLatin1Char(';')));
  for (const int c : menu.commands) {
    text += QStringLiteral("\n[Desktop Action %1]\nName=%2\nExec=%3\n")
                .arg(ShellCommandName(c), ShellCommandText(c), exec_line(host, c, "%F"));
  }
  return text.toUtf8();
}

// Nemo pastes the selection's URIs into the Exec line and splits it with
// GLib's shell parser. A file URI keeps "'" (and "$", "&", "(") as they are,
// so each URI goes in double quotes (Quote=double), where none of them is
// special and a URI never holds a '"', a '\\' or a '`'.
QByteArray nemo_action(const QString& host, int command) {
  const NemoFilter filter = nemo_filter(command);
  QString text = QStringLiteral(
                     "[Nemo Action]\nActive=true\nName=%1\nComment=Dossar: %1\nExec=%2\nIcon-Name=%3\n"
                     "Selection=%4\nQuote=double\n")
                     .arg(ShellCommandText(command), exec_line(host, command, "%U"), QLatin1String(nemo_icon(command)),
                          QLatin1String(filter.selection));
  if (filter.mimeTypes.isEmpty()) {
    text += QStringLiteral("Extensions=any;\n");
  } else {
    text += QStringLiteral("Mimetypes=%1;\n").arg(filter.mimeTypes.join(QLatin1Char(';')));
  }
  return text.toUtf8();
}

QByteArray nautilus_script(const QString& host, int command) {
  // Nautilus runs the script in the selection's folder with the selected
  // names as its arguments; they go on to the host as they are.
  return QStringLiteral("#!/bin/sh\nexec %1 %2 -- \"$@\"\n")
      .arg(ShellSingleQuoted(host), ShellCommandName(command))
      .toUtf8();
}

// A DER or BER SignedData / EnvelopedData / SignedAndEnvelopedData: a
// SEQUENCE, then its content type's OID right after the length octets (one to
// five of them, so the OID starts between offsets 2 and 5).
QString magic(const char* lastOctets) {
  return QStringLiteral(
             "    <magic priority=\"50\">\n"
             "      <match type=\"byte\" value=\"0x30\" offset=\"0\">\n"
             "        <match type=\"string\" value=\"\\x06\\x09\\x2a\\x86\\x48\\x86\\xf7\\x0d\\x01%1\" "
             "offset=\"2:5\"/>\n"
             "      </match>\n"
             "    </magic>\n")
      .arg(QLatin1String(lastOctets));
}

QByteArray mime_package() {
  QString text = QStringLiteral(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n");
  text += QStringLiteral(
              "  <mime-type type=\"%1\">\n"
              "    <comment>Signed document</comment>\n"
              "    <comment xml:lang=\"ru\">Подписанный документ</comment>\n"
              "    <glob pattern=\"*.sgn\"/>\n"
              "%2"
              "  </mime-type>\n")
              .arg(QLatin1String(kSigned), magic("\\x07\\x02"));
  text += QStringLiteral(
              "  <mime-type type=\"%1\">\n"
              "    <comment>Signature archive</comment>\n"
              "    <comment xml:lang=\"ru\">Архив подписи</comment>\n"
              "    <glob pattern=\"*.sga\"/>\n"
              "  </mime-type>\n")
              .arg(QLatin1String(kArchive));
  text += QStringLiteral(
              "  <mime-type type=\"%1\">\n"
              "    <comment>Encrypted document</comment>\n"
              "    <comment xml:lang=\"ru\">Зашифрованный документ</comment>\n"
              "    <glob pattern=\"*.enc\"/>\n"
              "%2%3"
              "  </mime-type>\n")
              .arg(QLatin1String(kEncrypted), magic("\\x07\\x03"), magic("\\x07\\x04"));
  text += QStringLiteral("</mime-info>\n");
  return text.toUtf8();
}

QByteArray open_entry(const QString& host) {
  return QStringLiteral(
             "[Desktop Entry]\nType=Application\nName=Dossar\nComment=Verify or unpack a protected document\n"
             "NoDisplay=true\nMimeType=%1;%2;%3;\nExec=%4 open %F\n")
      .arg(QLatin1String(kSigned), QLatin1String(kArchive), QLatin1String(kEncrypted), DesktopExecArgument(host))
      .toUtf8();
}

const char* const kMimeFile = "mime/packages/dossar.xml";
const char* const kOpenFile = "applications/dossar-open.desktop";
const char* const kScriptsFolder = "nautilus/scripts/Dossar";

QString errno_text(int err) { return qt_error_string(err); }

// Written beside its final name and renamed over it, so a reader sees the
// old file or the whole new one.
bool write_atomically(const QString& full, const QByteArray& content, bool executable, QString& error) {
  const QString dir = full.section(QLatin1Char('/'), 0, -2);
  if (!QDir().mkpath(dir)) {
    error = QStringLiteral("%1: cannot make the folder").arg(full);
    return false;
  }
  QByteArray tmpl = QFile::encodeName(dir + QStringLiteral("/.dossar-XXXXXX"));
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) {
    error = QStringLiteral("%1: %2").arg(full, errno_text(errno));
    return false;
  }
  bool ok = ::fchmod(fd, executable ? 0755 : 0644) == 0;
  for (qsizetype done = 0; ok && done < content.size();) {
    const ssize_t n = ::write(fd, content.constData() + done, static_cast<std::size_t>(content.size() - done));
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += n;
  }
  int err = ok ? 0 : errno;
  if (ok && ::fsync(fd) != 0) {
    ok = false;
    err = errno;
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(tmpl.constData(), QFile::encodeName(full).constData()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(tmpl.constData());
    error = QStringLiteral("%1: %2").arg(full, errno_text(err));
  }
  return ok;
}

bool run_tool(const QString& program, const QString& folder, QString& error) {
  const ProcessResult r = engine_helper().RunProcess(program, {folder});
  if (!r.started || r.crashed || r.exitCode != 0) {
    error = QStringLiteral("%1 %2: %3")
                .arg(program, folder, r.errorText.isEmpty() ? QStringLiteral("failed") : r.errorText);
    return false;
  }
  return true;
}

RegistrationResult update_caches(const QString& dataHome) {
  RegistrationResult result;
  const QString mime = dataHome + QStringLiteral("/mime");
  if (QDir(mime + QStringLiteral("/packages")).exists() &&
      !run_tool(QStringLiteral("update-mime-database"), mime, result.error)) {
    result.ok = false;
    return result;
  }
  const QString apps = dataHome + QStringLiteral("/applications");
  if (QDir(apps).exists() && !run_tool(QStringLiteral("update-desktop-database"), apps, result.error))
    result.ok = false;
  return result;
}

}  // namespace

QString DefaultDataHome() {
  const QString xdg = QFile::decodeName(qgetenv("XDG_DATA_HOME"));
  if (xdg.startsWith(QLatin1Char('/'))) return xdg;
  return QDir::homePath() + QStringLiteral("/.local/share");
}

QString DesktopExecArgument(const QString& path) {
  // The quoting rule first (a backslash before " ` $ \ inside the quotes,
  // %% for a percent sign), then the key file's own escape of the backslash.
  QString quoted;
  for (const QChar c : path) {
    if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
      quoted += QLatin1Char('\\');
    if (c == QLatin1Char('%')) quoted += QLatin1Char('%');
    quoted += c;
  }
  quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
  return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString ShellSingleQuoted(const QString& path) {
  QString q = path;
  q.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
  return QLatin1Char('\'') + q + QLatin1Char('\'');
}

QList<RegistrationFile> RegistrationFiles(const QString& host, const QString& service) {
  QList<RegistrationFile> files;
  // KIO takes a user's service menu only when it is executable.
  for (const ServiceMenu& m : service_menus()) files.append({QLatin1String(m.file), service_menu(host, m), true});
  for (const int c : ShellCommands())
    files.append(
        {QLatin1String(kScriptsFolder) + QLatin1Char('/') + ShellCommandText(c), nautilus_script(host, c), true});
  for (const int c : ShellCommands())
    files.append(
        {QStringLiteral("nemo/actions/dossar-%1.nemo_action").arg(ShellCommandName(c)), nemo_action(host, c), false});
  files.append({QLatin1String(kMimeFile), mime_package(), false});
  files.append({QLatin1String(kOpenFile), open_entry(host), false});
  if (!service.isEmpty()) {
    // The bus splits Exec as sh would.
    const QByteArray entry = "[D-BUS Service]\nName=DSUtils.DSUtil\nExec=" + ShellSingleQuoted(service).toUtf8() + "\n";
    files.append({QLatin1String(kBusServiceFile), entry, false});
  }
  return files;
}

QStringList RegistrationFileNames() {
  QStringList names;
  for (const RegistrationFile& f : RegistrationFiles(QStringLiteral("/"), QStringLiteral("/"))) names << f.path;
  return names;
}

RegistrationResult RegisterFileManagers(const QString& host, const QString& dataHome, const QString& service) {
  RegistrationResult result;
  // A name that a key file or a script cannot carry on one line.
  for (const QChar c : host) {
    if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
      result.ok = false;
      result.error = QStringLiteral("the host's path holds a control character");
      return result;
    }
  }
  if (!host.startsWith(QLatin1Char('/'))) {
    result.ok = false;
    result.error = QStringLiteral("the host's path is not absolute: %1").arg(host);
    return result;
  }
  // The bus entry's Exec is one line with an absolute program.
  if (!service.isEmpty() && (!service.startsWith(QLatin1Char('/')) || service.contains(QLatin1Char('\n')) ||
                             service.contains(QLatin1Char('\r')))) {
    result.ok = false;
    result.error = QStringLiteral("the service's path is not one absolute path: %1").arg(service);
    return result;
  }
  for (const RegistrationFile& f : RegistrationFiles(host, service)) {
    if (!write_atomically(dataHome + QLatin1Char('/') + f.path, f.content, f.executable, result.error)) {
      result.ok = false;
      return result;
    }
  }
  return update_caches(dataHome);
}

RegistrationResult UnregisterFileManagers(const QString& dataHome) {
  RegistrationResult result;
  for (const QString& name : RegistrationFileNames()) {
    const QString full = dataHome + QLatin1Char('/') + name;
    if (::unlink(QFile::encodeName(full).constData()) != 0 && errno != ENOENT) {
      result.ok = false;
      result.error = QStringLiteral("%1: %2").arg(full, errno_text(errno));
      return result;
    }
  }
  // The scripts' folder goes when nothing of anybody else is left in it.
  ::rmdir(QFile::encodeName(dataHome + QLatin1Char('/') + QLatin1String(kScriptsFolder)).constData());
  return update_caches(dataHome);
}

}  // namespace dsutils
