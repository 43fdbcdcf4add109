// dsutils-service on a private session bus: each case runs under a
// dbus-run-session of its own, the service registered (dsutils-shell
// --register) into the scratch XDG_DATA_HOME so that the bus starts it on the
// first call; GLib's gdbus and a dbus-python client (tests/support) talk to
// it. The service's questions are answered by a script file, and its
// sanitizer reports go to the scratch folder, where none may appear.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <cstdlib>
#include <string>

#include "tests/dsutils/engine_test_util.h"
#include "tests/dsutils/operation_fixture.h"
#include "tests/dsutils_com/envelope_reader.h"
#include "tests/support/run_program.h"

namespace dsutils::testing {
namespace {

using test_support::ProgramOptions;
using test_support::ProgramResult;
using test_support::run_program;

struct BusCase {
  const char* name;
  const char* script;  // the service's dialog answers
  // False where the case's operations meet questions on purpose, each
  // cancelled as nobody answers it.
  bool everyQuestionScripted = true;
};

// Whether the programs a case runs are here and start.
std::string missing_programs() {
  for (const std::vector<std::string>& probe : {std::vector<std::string>{"dbus-run-session", "--version"},
                                                {"gdbus", "help"},
                                                {DOSSAR_PYTHON, "-c", "import dbus, dbus.lowlevel"}}) {
    const ProgramResult r = run_program(probe);
    if (r.status != 0) return probe[0] + " does not start: " + r.output;
  }
  return {};
}

#define REQUIRE_BUS_PROGRAMS()                                                       \
  do {                                                                               \
    const std::string missing = missing_programs();                                  \
    if (!missing.empty()) {                                                          \
      if (under_ci()) FAIL() << missing << " (scripts/install-deps.sh installs it)"; \
      GTEST_SKIP() << missing << " (scripts/install-deps.sh installs it)";           \
    }                                                                                \
  } while (0)

// Runs case `name` of dbus_service_check.py under a dbus-run-session of its
// own, the service registered into `data` (the test's XDG_DATA_HOME) and
// answering from `script`; the case's files go to `scratch`. The service's
// sanitizer reports, if any, fail the test.
ProgramResult run_bus_case(const QString& data, const QString& scratch, const char* name, const std::string& script,
                           bool everyQuestionScripted = true) {
  const QString reports = scratch + QStringLiteral("/sanitizer");
  EXPECT_TRUE(QDir().mkpath(data) && QDir().mkpath(reports));
  ProgramOptions register_options;
  register_options.environment = {"XDG_DATA_HOME=" + data.toStdString(), "ASAN_OPTIONS=detect_leaks=0"};
  const ProgramResult reg = run_program({DSUTILS_SHELL, "--register"}, register_options);
  EXPECT_EQ(reg.status, 0) << reg.output;
  EXPECT_TRUE(QFile::exists(data + QStringLiteral("/dbus-1/services/DSUtils.DSUtil.service")));
  QFile scriptFile(scratch + QStringLiteral("/script"));
  EXPECT_TRUE(scriptFile.open(QIODevice::WriteOnly) &&
              scriptFile.write(script.data(), static_cast<qint64>(script.size())) ==
                  static_cast<qint64>(script.size()));
  scriptFile.close();

  ProgramOptions options;
  options.environment = {
      "XDG_DATA_HOME=" + data.toStdString(),
      "QT_QPA_PLATFORM=offscreen",
      "DOSSAR_TEST_UI_SCRIPT=" + scriptFile.fileName().toStdString(),
      "DOSSAR_TEST_SERVICE_IDLE_MS=300",
      "ASAN_OPTIONS=log_path=" + (reports + QStringLiteral("/asan")).toStdString(),
      "UBSAN_OPTIONS=print_stacktrace=1:log_path=" + (reports + QStringLiteral("/ubsan")).toStdString()};
  const ProgramResult r = run_program(
      {"dbus-run-session", "--", DOSSAR_PYTHON, DBUS_CHECK_SCRIPT, name, DBUS_XML_DIR, scratch.toStdString()}, options);
  for (const QString& report : QDir(reports).entryList(QDir::Files)) {
    QFile f(reports + QLatin1Char('/') + report);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    ADD_FAILURE() << f.readAll().toStdString();
  }
  // An operation asked what the script does not answer.
  if (everyQuestionScripted) {
    EXPECT_EQ(r.output.find("unscripted question"), std::string::npos) << r.output;
  }
  return r;
}

class BusService : public EngineTest, public ::testing::WithParamInterface<BusCase> {};

TEST_P(BusService, Case) {
  REQUIRE_BUS_PROGRAMS();
  ASSERT_TRUE(QDir().mkpath(path("case")));
  const ProgramResult r =
      run_bus_case(path("data"), path("case"), GetParam().name, GetParam().script, GetParam().everyQuestionScripted);
  EXPECT_EQ(r.status, 0) << r.output;
}

INSTANTIATE_TEST_SUITE_P(Cases, BusService,
                         ::testing::Values(BusCase{"introspection", ""}, BusCase{"object_of_an_exited_gdbus", ""},
                                           BusCase{"other_clients_object_refused", ""}, BusCase{"bus_errors", ""},
                                           BusCase{"limit", ""}, BusCase{"every_member", "", false},
                                           BusCase{"busy_and_a_killed_client", "delay 1500\n", false}),
                         [](const ::testing::TestParamInfo<BusCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

// A mail client's round over the bus on the operation tests' world (GOST
// parties; the service reads the same scratch registry and directory): an
// outgoing message of two attachments to one recipient given with a
// certificate text and one found by e-mail, then its reception by the
// executor with a plain attachment beside it.
class BusMail : public OperationTest {
 protected:
  void prepare(const OperationPki& pki) {
    install_directory(pki);
    ASSERT_TRUE(engine_helper().SetUserEmail("62", QStringLiteral("two@example.org")));
    platform::reg::RegistryKey log;
    open_key(log, "\\Property\\Log");
    ASSERT_TRUE(log.SetDword("IsCert", 1) && log.SetDword("IsTime", 1) && log.SetDword("IsSgn", 0));
    ASSERT_TRUE(QDir().mkpath(path("out")) && QDir().mkpath(path("inbox")) && QDir().mkpath(path("case")));
  }
  static int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
};

TEST_F(BusMail, OutgoingAndIncomingThroughTheService) {
  REQUIRE_BUS_PROGRAMS();
  const OperationPki& pki = operation_pki(false);
  ASSERT_NO_FATAL_FAILURE(prepare(pki));
  const QStringList names{QStringLiteral("a.doc"), QStringLiteral("Отчёт за март.txt")};
  std::vector<std::string> originals;
  QJsonArray attach, inbox;
  for (const QString& name : names) {
    originals.push_back(doc_text(name, 48 * 1024));
    write_file("out/" + name, originals.back());
    attach.append(path("out/" + name));
    inbox.append(path("inbox/" + name + ".sgn.enc"));
  }
  write_file("inbox/plain.txt", "plain");
  const QJsonObject request{
      {QStringLiteral("attach"), attach},
      {QStringLiteral("inbox"), inbox},
      {QStringLiteral("plain"), path("inbox/plain.txt")},
      {QStringLiteral("recipients"),
       QJsonArray{QJsonArray{QStringLiteral("one@example.org"), QString::fromStdString(pki.user1.certPem)},
                  QJsonArray{QStringLiteral("two@example.org"), QString()}}}};
  write_file("case/request.json", QJsonDocument(request).toJson().toStdString());

  // The key's password once: the object remembers it for the reception.
  const std::string script = std::string("password ") + kKeyPassword + "\n";
  const ProgramResult r = run_bus_case(path("data"), path("case"), "mail_round", script);
  ASSERT_EQ(r.status, 0) << r.output;
  // Asked once: the object remembered it for the reception.
  EXPECT_EQ(count(r.output, "password prompt"), 1) << r.output;
  const QJsonObject answer =
      QJsonDocument::fromJson(QByteArray::fromStdString(read_file(path("case/answer.json")))).object();
  EXPECT_EQ(answer[QStringLiteral("send")].toInt(-1), 0);
  for (int i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i].toStdString());
    const QString processed = path("out/" + names[i] + ".sgn.enc");
    EXPECT_EQ(answer[QStringLiteral("sent")][i], (QJsonArray{0, processed}));
    EXPECT_EQ(answer[QStringLiteral("folded")][i], (QJsonArray{0, processed}));
    // Received under the inbox: the document extracted beside it, no error.
    EXPECT_EQ(answer[QStringLiteral("extracted")][i], (QJsonArray{0, path("inbox/" + names[i])}));
    EXPECT_EQ(read_file(path("inbox/" + names[i])), originals[static_cast<std::size_t>(i)]);
    EXPECT_EQ(answer[QStringLiteral("errors")][i], (QJsonArray{0, QString()}));
  }
  EXPECT_EQ(answer[QStringLiteral("unpack")].toInt(-1), 0);
  EXPECT_EQ(answer[QStringLiteral("errors")][2], (QJsonArray{0, QStringLiteral("Документ не защищен или испорчен.")}));
  const QJsonArray protocol = answer[QStringLiteral("protocol")].toArray();
  ASSERT_EQ(protocol.size(), 2);
  EXPECT_EQ(protocol[0].toInt(-1), 0);
  const std::string lines = read_file(protocol[1].toString());
  for (const char* expected :
       {"Протокол распаковки почтового сообщения\n", "Подписи подтверждены!\n", "Обрабатывается файл: a.doc.sgn.enc\n",
        "Извлеченнный файл: a.doc", "Извлеченнный файл: Отчёт за март.txt",
        "Документ не защищен или испорчен. \r\nФайл: plain.txt\n"})
    EXPECT_NE(lines.find(expected), std::string::npos) << expected << "\nin:\n" << lines;
}

// RSA parties: each recipient opens each attachment sent through the
// service with the stock openssl command, and the signed file inside
// verifies.
TEST_F(BusMail, EachRecipientOpensWhatWasSentThroughTheService) {
  REQUIRE_BUS_PROGRAMS();
  const OperationPki& pki = operation_pki(true);
  ASSERT_NO_FATAL_FAILURE(prepare(pki));
  const test_support::ProgramResult version = test_support::run_program({DOSSAR_OPENSSL_PROGRAM, "version"});
  if (version.status != 0) {
    if (under_ci()) FAIL() << "openssl does not start: " << version.output;
    GTEST_SKIP() << "openssl does not start: " << version.output;
  }
  const QStringList names{QStringLiteral("a.doc"), QStringLiteral("Отчёт за март.txt")};
  std::vector<std::string> originals;
  QJsonArray attach;
  for (const QString& name : names) {
    originals.push_back(doc_text(name, 32 * 1024));
    write_file("out/" + name, originals.back());
    attach.append(path("out/" + name));
  }
  write_file("case/request.json",
             QJsonDocument(QJsonObject{{QStringLiteral("attach"), attach},
                                       {QStringLiteral("recipients"),
                                        QJsonArray{QJsonArray{QStringLiteral("one@example.org"),
                                                              QString::fromStdString(pki.user1.certPem)},
                                                   QJsonArray{QStringLiteral("two@example.org"), QString()}}}})
                 .toJson()
                 .toStdString());
  const ProgramResult r =
      run_bus_case(path("data"), path("case"), "mail_send", std::string("password ") + kKeyPassword + "\n");
  ASSERT_EQ(r.status, 0) << r.output;
  const QJsonObject answer =
      QJsonDocument::fromJson(QByteArray::fromStdString(read_file(path("case/answer.json")))).object();
  ASSERT_EQ(answer[QStringLiteral("send")].toInt(-1), 0);
  struct Reader {
    const PkiParty* party;
    long serial;
  };
  for (int i = 0; i < names.size(); ++i) {
    const QString sent = path("out/" + names[i] + ".sgn.enc");
    ASSERT_EQ(answer[QStringLiteral("sent")][i], (QJsonArray{0, sent}));
    EXPECT_EQ(recipients_of(sent), 3);
    for (const Reader& reader : {Reader{&pki.user1, 0x61}, Reader{&pki.user2, 0x62}}) {
      SCOPED_TRACE(names[i].toStdString() + " for " + std::to_string(reader.serial));
      const QString key = pem_file(reader.party->keyPem, QStringLiteral("reader.key"));
      const std::string opened = open_as_recipient(read_file(sent), reader.serial, key.toStdString(), path("reader"));
      ASSERT_EQ(opened, "") << opened;
      QFile::remove(path("verified.bin"));
      const ProgramResult verified = test_support::run_openssl_with_module(
          DOSSAR_OPENSSL_PROGRAM, DOSSAR_PROVIDER_DIR,
          {"cms", "-verify", "-binary", "-inform", "DER", "-CAfile", pem_file(pki.ca.certPem, "ca.pem").toStdString(),
           "-certfile", pem_file(pki.executor.certPem, "exec.pem").toStdString(), "-in",
           path("reader/opened").toStdString(), "-out", path("verified.bin").toStdString()});
      EXPECT_EQ(verified.status, 0) << verified.output;
      EXPECT_EQ(read_file(path("verified.bin")), originals[static_cast<std::size_t>(i)]);
    }
  }
}

// Two clients send at once: separate objects and lists, operations one
// after the other (the engine's one-operation lock), each object asking
// the password for itself.
TEST_F(BusMail, TwoClientsAtOnce) {
  REQUIRE_BUS_PROGRAMS();
  const OperationPki& pki = operation_pki(false);
  ASSERT_NO_FATAL_FAILURE(prepare(pki));
  QJsonArray clients;
  for (const char* name : {"first.doc", "second.doc"}) {
    write_file(QStringLiteral("out/") + QLatin1String(name), doc_text(QLatin1String(name), 16 * 1024));
    clients.append(QJsonObject{{QStringLiteral("attach"), path(QStringLiteral("out/") + QLatin1String(name))},
                               {QStringLiteral("cert"), QString::fromStdString(pki.user1.certPem)}});
  }
  for (int i = 0; i < 2; ++i) {
    QJsonObject c = clients[i].toObject();
    c.insert(QStringLiteral("other"), clients[1 - i].toObject()[QStringLiteral("attach")]);
    clients[i] = c;
  }
  write_file("case/request.json",
             QJsonDocument(QJsonObject{{QStringLiteral("clients"), clients}}).toJson().toStdString());
  const std::string script = std::string("delay 1000\npassword ") + kKeyPassword + "\n";
  const ProgramResult r = run_bus_case(path("data"), path("case"), "two_clients", script);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(count(r.output, "password prompt"), 2) << r.output;
}

}  // namespace
}  // namespace dsutils::testing
