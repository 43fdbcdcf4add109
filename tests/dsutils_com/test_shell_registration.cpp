// Registration with the file managers, into a scratch $XDG_DATA_HOME, checked
// by the desktop's own tools and parsers (desktop-file-validate, GLib's key
// files and shell parser, gio, update-mime-database, Qt's MIME database), and
// every command line run as its file manager runs it, the host installed
// under a folder with a blank and a recording host behind it.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QMimeDatabase>
#include <QUrl>
#include <chrono>
#include <thread>

#include "dsutils/com/registration.h"
#include "dsutils/com/shell_menu.h"
#include "tests/dsutils_com/com_test_util.h"
#include "tests/support/run_program.h"

namespace dsutils {
namespace {

using test_support::ProgramOptions;
using test_support::ProgramResult;
using test_support::run_program;

bool under_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

// A desktop tool the test needs: absent, it fails under CI and skips elsewhere.
#define REQUIRE_TOOL(name)                                                                 \
  do {                                                                                     \
    if (!tool_present(name)) {                                                             \
      if (under_ci()) FAIL() << (name) << " is not installed (scripts/install-deps.sh)";   \
      GTEST_SKIP() << (name) << " is not installed (scripts/install-deps.sh installs it)"; \
    }                                                                                      \
  } while (0)

bool tool_present(const char* name) {
  for (const QString& dir : QString::fromLocal8Bit(qgetenv("PATH")).split(QLatin1Char(':'))) {
    if (!dir.isEmpty() &&
        ::access(QFile::encodeName(dir + QLatin1Char('/') + QLatin1String(name)).constData(), X_OK) == 0)
      return true;
  }
  return false;
}

// One record of the recording host: the operation and its paths.
struct Call {
  std::string op;
  QStringList paths;
  bool operator==(const Call&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Call& c) {
  os << c.op << " [";
  for (const QString& p : c.paths) os << '"' << p.toStdString() << "\" ";
  return os << ']';
}

class Registration : public com_test::ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    data_ = path("data");
    setenv("XDG_CONFIG_HOME", path("config").toLocal8Bit().constData(), 1);
    setenv("XDG_DATA_DIRS", "/usr/share", 1);
    // The host installed under a folder with a blank in its name.
    ASSERT_TRUE(QDir().mkpath(path("host dir")));
    host_ = path("host dir/dsutils-shell");
    ASSERT_EQ(::symlink(SHELL_RECORDER, QFile::encodeName(host_).constData()), 0);
  }
  void TearDown() override {
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_DIRS");
    ScratchTest::TearDown();
  }

  // The environment every desktop tool and the host run with.
  ProgramOptions options() const {
    ProgramOptions o;
    o.environment = {"XDG_DATA_HOME=" + data_.toStdString(),
                     "XDG_CONFIG_HOME=" + path("config").toStdString(),
                     "XDG_DATA_DIRS=/usr/share",
                     "HOME=" + path("home").toStdString(),
                     "DOSSAR_SHELL_RECORD=" + path("record").toStdString(),
                     "ASAN_OPTIONS=detect_leaks=0"};
    return o;
  }

  QMap<QString, QByteArray> our_files() const {
    QMap<QString, QByteArray> files;
    for (const QString& name : RegistrationFileNames()) {
      QFile f(data_ + QLatin1Char('/') + name);
      if (f.open(QIODevice::ReadOnly)) files.insert(name, f.readAll());
    }
    return files;
  }

  // The records so far, waiting up to ten seconds for `count` of them (a
  // program started by gio runs on its own).
  std::vector<Call> records(std::size_t count) const {
    std::vector<Call> calls;
    for (int i = 0; i < 1000; ++i) {
      calls.clear();
      const std::string bytes = read_file(path("record"));
      std::size_t at = 0;
      while (at < bytes.size()) {
        Call c;
        std::size_t end = bytes.find('\0', at);
        if (end == std::string::npos) break;
        c.op = bytes.substr(at, end - at);
        at = end + 1;
        while (at < bytes.size() && bytes[at] != '\0') {
          end = bytes.find('\0', at);
          c.paths << QFile::decodeName(QByteArray::fromStdString(bytes.substr(at, end - at)));
          at = end + 1;
        }
        ++at;
        calls.push_back(c);
      }
      if (calls.size() >= count) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return calls;
  }

  // The selection: names with blanks, quotes, a leading "-", Cyrillic
  // letters and a newline, in one folder.
  QStringList make_selection() {
    const QStringList names = {QStringLiteral("a b.txt"), QStringLiteral("q'uo\"te.txt"), QStringLiteral("-lead.txt"),
                               QStringLiteral("Документ.txt"), QStringLiteral("new\nline.txt")};
    EXPECT_TRUE(QDir().mkpath(path("sel")));
    QStringList full;
    for (const QString& n : names) {
      write_file(QStringLiteral("sel/") + n, "x");
      full << path(QStringLiteral("sel/") + n);
    }
    return full;
  }
  // One archive for the single-item commands.
  QString make_archive() {
    EXPECT_TRUE(QDir().mkpath(path("one")));
    const QString name = QStringLiteral("-s 'q\" Архив\nx.sga");
    write_file(QStringLiteral("one/") + name, "x");
    return path(QStringLiteral("one/") + name);
  }

  // The op the recording host names for a command.
  static std::string recorded_op(int command, int selected) {
    switch (command) {
      case kCmdVerify:
        return "unpack-file";
      case kCmdUnpack:
        return selected == 1 ? "unpack-file" : "unpack-group";
      default:
        return ShellCommandName(command).toStdString();
    }
  }
  static bool single(int command) {
    return command == kCmdVerify || command == kCmdAddSignature || command == kCmdExtractAll ||
           command == kCmdProperties;
  }

  QString data_, host_;
};

TEST_F(Registration, TwiceIsByteIdenticalAndUnregisterRemovesOnlyOurs) {
  REQUIRE_TOOL("update-mime-database");
  REQUIRE_TOOL("update-desktop-database");
  const QString service = path("bin/dsutils service");
  const RegistrationResult first = RegisterFileManagers(host_, data_, service);
  ASSERT_TRUE(first.ok) << first.error.toStdString();
  const QMap<QString, QByteArray> once = our_files();
  EXPECT_EQ(once.size(), RegistrationFileNames().size());
  EXPECT_EQ(RegistrationFileNames().size(), 4 + 9 + 9 + 2 + 1);
  // The bus splits Exec as sh does: the blank stays inside the program's name.
  EXPECT_EQ(once.value(QLatin1String(kBusServiceFile)),
            "[D-BUS Service]\nName=DSUtils.DSUtil\nExec='" + service.toUtf8() + "'\n");
  ASSERT_TRUE(RegisterFileManagers(host_, data_, service).ok);
  EXPECT_EQ(our_files(), once);
  // Service menus and scripts are executable, the rest is not; no temporary
  // file is left anywhere.
  for (const QString& name : RegistrationFileNames()) {
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(data_ + QLatin1Char('/') + name).constData(), &st), 0) << name.toStdString();
    const bool exec = name.startsWith(QLatin1String("kio/")) || name.startsWith(QLatin1String("nautilus/"));
    EXPECT_EQ(st.st_mode & 0777, exec ? 0755u : 0644u) << name.toStdString();
  }
  QDirIterator all(data_, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (all.hasNext()) EXPECT_FALSE(all.next().contains(QLatin1String("/.dossar-")));
  // The caches were made.
  EXPECT_TRUE(QFile::exists(data_ + QStringLiteral("/mime/mime.cache")));
  EXPECT_TRUE(QFile::exists(data_ + QStringLiteral("/applications/mimeinfo.cache")));

  // Somebody else's files beside ours.
  const QStringList foreign = {
      QStringLiteral("kio/servicemenus/other.desktop"), QStringLiteral("nautilus/scripts/Dossar/mine"),
      QStringLiteral("nemo/actions/other.nemo_action"), QStringLiteral("mime/packages/other.xml"),
      QStringLiteral("applications/other.desktop"),     QStringLiteral("dbus-1/services/other.service")};
  for (const QString& f : foreign) write_file(QStringLiteral("data/") + f, "not ours\n");
  for (int round = 0; round < 2; ++round) {
    const RegistrationResult r = UnregisterFileManagers(data_);
    EXPECT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_TRUE(our_files().isEmpty());
    for (const QString& f : foreign)
      EXPECT_EQ(read_file(data_ + QLatin1Char('/') + f), "not ours\n") << f.toStdString();
  }
  // Without the foreign script the scripts' folder goes as well.
  ASSERT_TRUE(QFile::remove(data_ + QStringLiteral("/nautilus/scripts/Dossar/mine")));
  ASSERT_TRUE(RegisterFileManagers(host_, data_).ok);
  ASSERT_TRUE(UnregisterFileManagers(data_).ok);
  EXPECT_FALSE(QDir(data_ + QStringLiteral("/nautilus/scripts/Dossar")).exists());
}

TEST_F(Registration, AFailureNamesTheFileAndLeavesNoHalfWrittenFile) {
  // A data folder below a file, and a service menu's name taken by a folder.
  write_file("plain", "x");
  RegistrationResult r = RegisterFileManagers(host_, path("plain/data"));
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.error.contains(path("plain/data/kio/servicemenus/dossar-files.desktop"))) << r.error.toStdString();

  const QString blocked = data_ + QStringLiteral("/nemo/actions/dossar-sign.nemo_action");
  ASSERT_TRUE(QDir().mkpath(blocked + QStringLiteral("/inside")));
  r = RegisterFileManagers(host_, data_);
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.error.contains(blocked)) << r.error.toStdString();
  EXPECT_TRUE(QDir(blocked + QStringLiteral("/inside")).exists());
  EXPECT_TRUE(QDir(data_ + QStringLiteral("/nemo/actions")).entryList(QDir::Files | QDir::Hidden).isEmpty());
  if (::geteuid() != 0) {
    // An unwritable folder (root writes anyway).
    ASSERT_EQ(::chmod(QFile::encodeName(data_ + QStringLiteral("/nemo/actions")).constData(), 0500), 0);
    QDir(blocked).removeRecursively();
    r = RegisterFileManagers(host_, data_);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.error.contains(blocked)) << r.error.toStdString();
    ::chmod(QFile::encodeName(data_ + QStringLiteral("/nemo/actions")).constData(), 0700);
  }
  // A host path no key file line can hold.
  EXPECT_FALSE(RegisterFileManagers(path("bad\nhost"), path("data2")).ok);
  EXPECT_FALSE(QDir(path("data2")).exists());
}

// The quoting of the host's path in each file, exactly.
TEST(RegistrationQuoting, ExecArgumentAndShellWord) {
  EXPECT_EQ(DesktopExecArgument(QStringLiteral("/opt/a b/host")), QStringLiteral("\"/opt/a b/host\""));
  EXPECT_EQ(DesktopExecArgument(QStringLiteral("/x/\"$`\\%y")), QStringLiteral("\"/x/\\\\\"\\\\$\\\\`\\\\\\\\%%y\""));
  EXPECT_EQ(ShellSingleQuoted(QStringLiteral("/a b/it's")), QStringLiteral("'/a b/it'\\''s'"));
}

GKeyFile* load_key_file(const QString& file) {
  GKeyFile* kf = g_key_file_new();
  GError* error = nullptr;
  if (!g_key_file_load_from_file(kf, QFile::encodeName(file).constData(), G_KEY_FILE_NONE, &error)) {
    ADD_FAILURE() << file.toStdString() << ": " << (error ? error->message : "?");
    g_clear_error(&error);
  }
  return kf;
}

QString key(GKeyFile* kf, const char* group, const char* name) {
  gchar* v = g_key_file_get_string(kf, group, name, nullptr);
  const QString s = v != nullptr ? QString::fromUtf8(v) : QString();
  g_free(v);
  return s;
}

// desktop-file-validate on the opening entry and on each service-menu
// action written out as an application entry; the service menus and the
// Nemo actions read with GLib's key-file parser for the keys their file
// managers read.
TEST_F(Registration, EntriesPassTheDesktopParsers) {
  REQUIRE_TOOL("desktop-file-validate");
  REQUIRE_TOOL("update-mime-database");
  ASSERT_TRUE(RegisterFileManagers(host_, data_).ok);
  ProgramResult v = run_program(
      {"desktop-file-validate", (data_ + QStringLiteral("/applications/dossar-open.desktop")).toStdString()});
  EXPECT_EQ(v.status, 0) << v.output;
  EXPECT_EQ(v.output, "");

  QSet<QString> offered;
  const QStringList menus =
      QDir(data_ + QStringLiteral("/kio/servicemenus")).entryList({"dossar-*.desktop"}, QDir::Files);
  EXPECT_EQ(menus.size(), 4);
  int written = 0;
  for (const QString& m : menus) {
    SCOPED_TRACE(m.toStdString());
    GKeyFile* kf = load_key_file(data_ + QStringLiteral("/kio/servicemenus/") + m);
    EXPECT_EQ(key(kf, "Desktop Entry", "Type"), QStringLiteral("Service"));
    EXPECT_EQ(key(kf, "Desktop Entry", "X-KDE-Submenu"), QStringLiteral("Dossar"));
    EXPECT_EQ(key(kf, "Desktop Entry", "ServiceTypes"), QStringLiteral("KonqPopupMenu/Plugin"));
    EXPECT_FALSE(key(kf, "Desktop Entry", "MimeType").isEmpty());
    gsize n = 0;
    gchar** actions = g_key_file_get_string_list(kf, "Desktop Entry", "Actions", &n, nullptr);
    EXPECT_GT(n, 0u);
    for (gsize i = 0; i < n; ++i) {
      const std::string group = std::string("Desktop Action ") + actions[i];
      const std::optional<int> command = ShellCommandByName(QString::fromUtf8(actions[i]));
      ASSERT_TRUE(command.has_value()) << actions[i];
      offered.insert(QString::fromUtf8(actions[i]));
      EXPECT_EQ(key(kf, group.c_str(), "Name"), ShellCommandText(*command));
      const QString exec = key(kf, group.c_str(), "Exec");
      EXPECT_TRUE(exec.endsWith(QStringLiteral(" %F"))) << exec.toStdString();
      // The action as an application entry, Exec byte for byte as stored.
      gchar* raw = g_key_file_get_value(kf, group.c_str(), "Exec", nullptr);
      const QString entry = path(QStringLiteral("actions/dossar-%1.desktop").arg(QString::fromUtf8(actions[i])));
      QDir().mkpath(path("actions"));
      write_file(QStringLiteral("actions/dossar-%1.desktop").arg(QString::fromUtf8(actions[i])),
                 "[Desktop Entry]\nType=Application\nName=" + ShellCommandText(*command).toStdString() +
                     "\nExec=" + std::string(raw) + "\n");
      g_free(raw);
      v = run_program({"desktop-file-validate", entry.toStdString()});
      EXPECT_EQ(v.status, 0) << v.output;
      EXPECT_EQ(v.output, "");
      ++written;
    }
    g_strfreev(actions);
    g_key_file_free(kf);
  }
  EXPECT_EQ(written, 9);
  EXPECT_EQ(offered.size(), 9);

  const QStringList nemo =
      QDir(data_ + QStringLiteral("/nemo/actions")).entryList({"dossar-*.nemo_action"}, QDir::Files);
  EXPECT_EQ(nemo.size(), 9);
  for (const QString& a : nemo) {
    SCOPED_TRACE(a.toStdString());
    GKeyFile* kf = load_key_file(data_ + QStringLiteral("/nemo/actions/") + a);
    const QString command = a.mid(7).chopped(12);  // dossar-<command>.nemo_action
    ASSERT_TRUE(ShellCommandByName(command).has_value());
    EXPECT_EQ(key(kf, "Nemo Action", "Name"), ShellCommandText(*ShellCommandByName(command)));
    EXPECT_EQ(key(kf, "Nemo Action", "Active"), QStringLiteral("true"));
    EXPECT_TRUE(key(kf, "Nemo Action", "Exec").endsWith(QStringLiteral(" %U")));
    const QString selection = key(kf, "Nemo Action", "Selection");
    EXPECT_EQ(selection, single(*ShellCommandByName(command)) ? QStringLiteral("s") : QStringLiteral("notnone"));
    EXPECT_NE(key(kf, "Nemo Action", "Extensions").isEmpty(), key(kf, "Nemo Action", "Mimetypes").isEmpty());
    EXPECT_FALSE(key(kf, "Nemo Action", "Icon-Name").isEmpty());
    g_key_file_free(kf);
  }
}

// After registration Qt and GIO name the three types, by name and, for a
// file without an extension, by its content in every length form.
TEST_F(Registration, TheTypesAreKnownByNameAndContent) {
  REQUIRE_TOOL("update-mime-database");
  REQUIRE_TOOL("gio");
  ASSERT_TRUE(RegisterFileManagers(host_, data_).ok);
  const std::string oidHead = "\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07";
  struct Row {
    const char* name;
    std::string bytes;
    const char* type;
  };
  const std::string body(64, 'z');
  const Row rows[] = {
      {"doc.sgn", "plain text\n", "application/x-dossar-signed"},
      {"doc.sga", "plain text\n", "application/x-dossar-archive"},
      {"doc.enc", "plain text\n", "application/x-dossar-encrypted"},
      {"signed-short", std::string("\x30\x40", 2) + oidHead + "\x02" + body, "application/x-dossar-signed"},
      {"signed-indefinite", std::string("\x30\x80", 2) + oidHead + "\x02" + body, "application/x-dossar-signed"},
      {"signed-81", std::string("\x30\x81\x90", 3) + oidHead + "\x02" + body, "application/x-dossar-signed"},
      {"signed-82", std::string("\x30\x82\x01\x00", 4) + oidHead + "\x02" + body, "application/x-dossar-signed"},
      {"signed-83", std::string("\x30\x83\x01\x00\x00", 5) + oidHead + "\x02" + body, "application/x-dossar-signed"},
      {"enveloped", std::string("\x30\x82\x01\x00", 4) + oidHead + "\x03" + body, "application/x-dossar-encrypted"},
      {"signed-enveloped", std::string("\x30\x82\x01\x00", 4) + oidHead + "\x04" + body,
       "application/x-dossar-encrypted"},
  };
  QMimeDatabase db;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    write_file(QString::fromLatin1(r.name), r.bytes);
    EXPECT_EQ(db.mimeTypeForFile(path(QString::fromLatin1(r.name))).name().toStdString(), r.type);
    const ProgramResult g = run_program(
        {"gio", "info", "-a", "standard::content-type", path(QString::fromLatin1(r.name)).toStdString()}, options());
    EXPECT_EQ(g.status, 0) << g.output;
    EXPECT_NE(g.output.find(std::string("standard::content-type: ") + r.type), std::string::npos) << g.output;
  }
  // A signed data's OID further in is no match.
  write_file("late", std::string("\x30\x82\x01\x00\x00\x00", 6) + oidHead + "\x02" + body);
  EXPECT_NE(db.mimeTypeForFile(path("late")).name(), QStringLiteral("application/x-dossar-signed"));
}

// Each command line as its file manager runs it reaches the operation with
// every selected name as one unchanged absolute path.
TEST_F(Registration, CommandLinesAsEachFileManagerRunsThem) {
  REQUIRE_TOOL("gio");
  REQUIRE_TOOL("update-mime-database");
  REQUIRE_TOOL("update-desktop-database");
  ASSERT_TRUE(RegisterFileManagers(host_, data_).ok);
  const QStringList selection = make_selection();
  const QString archive = make_archive();
  std::size_t expected = 0;

  // Dolphin: each action as an application entry, launched by GLib's
  // Desktop Entry expansion of %F (the rule KIO follows too).
  for (const QString& m :
       QDir(data_ + QStringLiteral("/kio/servicemenus")).entryList({"dossar-*.desktop"}, QDir::Files)) {
    GKeyFile* kf = load_key_file(data_ + QStringLiteral("/kio/servicemenus/") + m);
    gsize n = 0;
    gchar** actions = g_key_file_get_string_list(kf, "Desktop Entry", "Actions", &n, nullptr);
    for (gsize i = 0; i < n; ++i) {
      const int command = *ShellCommandByName(QString::fromUtf8(actions[i]));
      SCOPED_TRACE(std::string("dolphin ") + actions[i]);
      const std::string group = std::string("Desktop Action ") + actions[i];
      gchar* raw = g_key_file_get_value(kf, group.c_str(), "Exec", nullptr);
      const QString entry = path(QStringLiteral("launch-%1.desktop").arg(QString::fromUtf8(actions[i])));
      write_file(QStringLiteral("launch-%1.desktop").arg(QString::fromUtf8(actions[i])),
                 std::string("[Desktop Entry]\nType=Application\nName=x\nExec=") + raw + "\n");
      g_free(raw);
      const QStringList files = single(command) ? QStringList{archive} : selection;
      std::vector<std::string> argv = {"gio", "launch", entry.toStdString()};
      for (const QString& f : files) argv.push_back(f.toStdString());
      const ProgramResult r = run_program(argv, options());
      EXPECT_EQ(r.status, 0) << r.output;
      const std::vector<Call> calls = records(++expected);
      ASSERT_EQ(calls.size(), expected);
      EXPECT_EQ(calls.back(), (Call{recorded_op(command, static_cast<int>(files.size())), files}));
    }
    g_strfreev(actions);
    g_key_file_free(kf);
  }

  // The opening entry, found by gio open from the MIME package.
  write_file(QStringLiteral("one/Подписанный документ.sgn"), "x");
  const QString sgn = path(QStringLiteral("one/Подписанный документ.sgn"));
  {
    const ProgramResult r = run_program({"gio", "open", sgn.toStdString()}, options());
    EXPECT_EQ(r.status, 0) << r.output;
    const std::vector<Call> calls = records(++expected);
    ASSERT_EQ(calls.size(), expected);
    EXPECT_EQ(calls.back(), (Call{"unpack-file", {sgn}}));
  }

  // Nautilus: each script run in the selection's folder with the names as
  // its arguments, relative to that folder.
  const QString saved = QDir::currentPath();
  for (const int command : ShellCommands()) {
    SCOPED_TRACE("nautilus " + ShellCommandName(command).toStdString());
    const QString script = data_ + QStringLiteral("/nautilus/scripts/Dossar/") + ShellCommandText(command);
    const QStringList files = single(command) ? QStringList{archive} : selection;
    std::vector<std::string> argv = {script.toStdString()};
    ASSERT_TRUE(QDir::setCurrent(single(command) ? path("one") : path("sel")));
    for (const QString& f : files) argv.push_back(GetFileFromName(f).toStdString());
    const ProgramResult r = run_program(argv, options());
    QDir::setCurrent(saved);
    EXPECT_EQ(r.status, 0) << r.output;
    const std::vector<Call> calls = records(++expected);
    ASSERT_EQ(calls.size(), expected);
    EXPECT_EQ(calls.back(), (Call{recorded_op(command, static_cast<int>(files.size())), files}));
  }

  // Nemo: %U replaced by the URIs (each in double quotes, Quote=double)
  // joined by blanks, the line split by GLib's shell parser.
  for (const int command : ShellCommands()) {
    SCOPED_TRACE("nemo " + ShellCommandName(command).toStdString());
    GKeyFile* kf =
        load_key_file(data_ + QStringLiteral("/nemo/actions/dossar-%1.nemo_action").arg(ShellCommandName(command)));
    QString exec = key(kf, "Nemo Action", "Exec");
    EXPECT_EQ(key(kf, "Nemo Action", "Quote"), QStringLiteral("double"));
    g_key_file_free(kf);
    const QStringList files = single(command) ? QStringList{archive} : selection;
    // GLib's own URIs, each in the quotes the action asks for.
    QStringList uris;
    for (const QString& f : files) {
      gchar* uri = g_filename_to_uri(QFile::encodeName(f).constData(), nullptr, nullptr);
      ASSERT_NE(uri, nullptr);
      uris << QLatin1Char('"') + QString::fromUtf8(uri) + QLatin1Char('"');
      g_free(uri);
    }
    exec.replace(QStringLiteral("%U"), uris.join(QLatin1Char(' ')));
    gint argc = 0;
    gchar** parsed = nullptr;
    ASSERT_TRUE(g_shell_parse_argv(exec.toUtf8().constData(), &argc, &parsed, nullptr)) << exec.toStdString();
    std::vector<std::string> argv(parsed, parsed + argc);
    g_strfreev(parsed);
    EXPECT_EQ(argv.front(), host_.toStdString());
    const ProgramResult r = run_program(argv, options());
    EXPECT_EQ(r.status, 0) << r.output;
    const std::vector<Call> calls = records(++expected);
    ASSERT_EQ(calls.size(), expected);
    EXPECT_EQ(calls.back(), (Call{recorded_op(command, static_cast<int>(files.size())), files}));
  }
  // No command of the Part's menus was refused on the way.
  for (const Call& c : records(expected)) EXPECT_NE(c.op, "menu");
}

}  // namespace
}  // namespace dsutils
