// The LDAP look-up against a real slapd of the test's own, and against
// loopback servers that refuse, stall or misbehave; each case checks the
// result and the exact lines of the event log.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "dsutils/engine/error_text.h"
#include "dsutils/engine/ldap_lookup.h"
#include "tests/dsutils/cert_double.h"
#include "tests/dsutils/engine_test_util.h"
#include "tests/support/slapd_harness.h"

namespace dsutils {
namespace {

using platform::reg::RegistryKey;
using testing::kCaA;
using testing::kCaB;
using testing::kUser;
using testing::make_certificate;

std::string line(const QString& text) { return text.toStdString() + " \r\n"; }

DistinguishedName issuer_of(const QByteArray& cert) {
  CertificateInfo info;
  EXPECT_EQ(makeDirectoryCryptoSession()->GetCertificateInfo(cert, info), 0);
  return info.issuer;
}

std::vector<unsigned char> bytes(const QByteArray& b) { return {b.begin(), b.end()}; }

// A loopback socket bound to a port of at most 32000; listening or not.
class LoopbackSocket {
 public:
  explicit LoopbackSocket(bool listening) {
    for (int attempt = 0; attempt < 50 && fd_ < 0; ++attempt) {
      const int port = test_support::free_loopback_port();
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(static_cast<std::uint16_t>(port));
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
          (!listening || ::listen(fd, 4) == 0)) {
        fd_ = fd;
        port_ = port;
      } else if (fd >= 0) {
        ::close(fd);
      }
    }
  }
  ~LoopbackSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;
  int fd() const { return fd_; }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

class LdapLookup : public testing::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    EventLogSettings s;
    s.Path = path("logs");
    s.FileName = "ldap.log";
    s.Evry = 1;
    ASSERT_TRUE(QDir().mkpath(s.Path));
    ASSERT_TRUE(EventLogSettings::Write(s));
    crypto_ = std::make_unique<testing::ScopedOpenSslFactory>(std::set<QByteArray>{"BAD1"});
    ldap_set_timeouts_for_tests(std::chrono::milliseconds(2000), std::chrono::milliseconds(800));
  }
  void TearDown() override {
    ldap_set_timeouts_for_tests({}, {});
    crypto_.reset();
    EngineTest::TearDown();
  }
  void settings(std::uint32_t start, const std::string& connect, const std::string& port, const std::string& search) {
    RegistryKey key;
    open_key(key, "\\Ldap");
    key.SetDword("Start", start);
    key.SetString("Connect", connect);
    key.SetString("Port", port);
    key.SetString("Search", search);
  }
  std::string log() const { return read_file(path("logs/ldap.log")); }
  static std::string connecting(int port, const QString& base) {
    return line(QStringLiteral("Обращение к LDAP (127.0.0.1 : %1, %2)").arg(port).arg(base.isEmpty() ? "none" : base));
  }
  static std::string request(const char* hex) {
    return line(QStringLiteral("Запрос на сертификат к справочнику LDAP: %1").arg(hex));
  }
  static std::string notFound() { return line(QStringLiteral("Серитификат не найден в справочнике LDAP")); }
  static std::string searchError(unsigned code) {
    return line(QStringLiteral("Ошибка при запросе к справочнику LDAP\r\nКод ошибки: 0x%1").arg(code, 0, 16));
  }
  static std::string connectError(unsigned code) {
    return line(
        QStringLiteral("Не удалось установить соединение со справочником LDAP\r\nКод ошибки: 0x%1").arg(code, 0, 16));
  }

  std::unique_ptr<testing::ScopedOpenSslFactory> crypto_;
};

TEST(LdapPortText, ReadAsADecimalNumber) {
  struct Case {
    const char* text;
    int port;
  };
  const Case cases[] = {
      {"636", 636},
      {"389", 389},
      {"", 389},
      {"ldap", 389},
      {" 42x", 42},
      {"+7", 7},
      {"-5", -5},
      {"32000", 32000},
      {"32001", 32001},
      {"40000", 32001},
      {"99999999999999999999", 32001},
      {"-", 389},
      {"0", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(ldap_port_from_text(c.text), c.port) << '"' << c.text << '"';
}

TEST(LdapPortText, LogCodesOfTheClientLibrary) {
  EXPECT_EQ(ldap_log_code(-1), 0x51u);    // server down
  EXPECT_EQ(ldap_log_code(-5), 0x55u);    // time-out
  EXPECT_EQ(ldap_log_code(-9), 0x59u);    // bad parameter
  EXPECT_EQ(ldap_log_code(-17), 0x61u);   // referral limit
  EXPECT_EQ(ldap_log_code(0x20), 0x20u);  // a server's result code as it is
  EXPECT_EQ(ldap_log_code(-18), 0xffffffeeu);
}

TEST_F(LdapLookup, SettingsThatEndTheLookUpEarly) {
  const QByteArray cert = make_certificate("1A2B", kUser, kCaA);
  struct Case {
    const char* name;
    bool write;
    std::uint32_t start;
    const char* connect;
    const char* port;
    std::string expectedLog;
  };
  const Case cases[] = {
      {"no Ldap key", false, 1, "", "", ""},
      {"Start 0", true, 0, "127.0.0.1", "389", ""},
      {"no Connect", true, 1, "", "389", line(QStringLiteral("Не заданы настройки справочника LDAP"))},
      {"port above 32000", true, 1, "127.0.0.1", "40000", ""},
      {"negative port", true, 1, "127.0.0.1", "-1", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.write) settings(c.start, c.connect, c.port, "dc=x");
    QByteArray out = "untouched";
    EXPECT_EQ(LookupLdapCertificate("1A2B", issuer_of(cert), out), 0);
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(log(), c.expectedLog);
    QFile::remove(path("logs/ldap.log"));
  }
  // A key that lacks one of the four values counts as no settings.
  RegistryKey key;
  open_key(key, "\\Ldap");
  ASSERT_TRUE(platform::reg::Store::current_user()->delete_tree(
                  platform::reg::Store::kRoot, std::string(kProductKey) + "\\Ldap") == platform::reg::ERROR_SUCCESS);
  open_key(key, "\\Ldap");
  key.SetString("Connect", "127.0.0.1");
  key.SetString("Port", "389");
  key.SetDword("Start", 1);
  QByteArray out;
  EXPECT_EQ(LookupLdapCertificate("1A2B", issuer_of(cert), out), 0);
  EXPECT_EQ(log(), "");
}

TEST_F(LdapLookup, ConnectionRefused) {
  const LoopbackSocket closed(false);  // bound, not listening: connections are refused
  ASSERT_GT(closed.port(), 0);
  settings(1, "127.0.0.1", std::to_string(closed.port()), "");
  QByteArray out;
  EXPECT_EQ(LookupLdapCertificate("1A2B", {}, out), 0);
  EXPECT_EQ(log(), connecting(closed.port(), "") + connectError(0x51));
}

TEST_F(LdapLookup, HostTextThatIsNoHostName) {
  for (const char* host : {"bad host", "h/x?y", "ldap://127.0.0.1"}) {
    SCOPED_TRACE(host);
    settings(1, host, "389", "");
    QByteArray out;
    EXPECT_EQ(LookupLdapCertificate("1A2B", {}, out), 0);
    EXPECT_EQ(log(), line(QStringLiteral("Обращение к LDAP (%1 : 389, none)").arg(host)) + connectError(0x59));
    QFile::remove(path("logs/ldap.log"));
  }
}

TEST_F(LdapLookup, AServerThatNeverAnswersTimesOut) {
  // The kernel completes the connection on the listening socket; nobody ever
  // reads the request or answers.
  const LoopbackSocket silent(true);
  ASSERT_GT(silent.port(), 0);
  settings(1, "127.0.0.1", std::to_string(silent.port()), "dc=dossar,dc=test");
  QByteArray out;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(LookupLdapCertificate("1A2B", {}, out), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20)) << "the look-up must not hang";
  EXPECT_EQ(log(), connecting(silent.port(), "dc=dossar,dc=test") + request("1A2B") + searchError(0x55));
}

// A server that accepts, reads the request, answers with `reply` and keeps
// the connection open for `hold` (closes at once when the reply is empty).
void serve_once(int listener, std::string reply, std::chrono::milliseconds hold) {
  const int fd = ::accept(listener, nullptr, nullptr);
  if (fd < 0) return;
  char buffer[4096];
  if (!reply.empty()) {
    // The fake server only needs the request gone and the reply sent; a
    // short read or write shows as the client's failure.
    if (::read(fd, buffer, sizeof(buffer)) < 0 || ::write(fd, reply.data(), reply.size()) < 0) {
      ::close(fd);
      return;
    }
    std::this_thread::sleep_for(hold);
  }
  ::close(fd);
}

TEST_F(LdapLookup, MisbehavingServers) {
  struct Case {
    const char* name;
    std::string reply;
    unsigned code;
  };
  const Case cases[] = {
      // A message announcing 256 MiB is refused by its header at once, never
      // waited for or allocated; the server keeps the connection open past
      // the search limit, so waiting for the body would end in a time-out.
      {"oversize message", std::string("\x30\x84\x10\x00\x00\x00", 6) + std::string(64, '\0'), 0x51},
      // Read as the start of a message whose announced length never arrives.
      {"not LDAP at all", "HTTP/1.0 400 Bad Request\r\n\r\n", 0x55},
      {"closes at once", "", 0x51},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const LoopbackSocket listener(true);
    ASSERT_GT(listener.port(), 0);
    std::thread server(serve_once, listener.fd(), c.reply, std::chrono::milliseconds(1500));
    settings(1, "127.0.0.1", std::to_string(listener.port()), "dc=dossar,dc=test");
    QByteArray out;
    EXPECT_EQ(LookupLdapCertificate("1A2B", {}, out), 0);
    server.join();
    EXPECT_EQ(log(), connecting(listener.port(), "dc=dossar,dc=test") + request("1A2B") + searchError(c.code));
    QFile::remove(path("logs/ldap.log"));
  }
}

// One slapd for the suite: started before the first test, stopped after the
// last, by its PID.
class LdapDirectory : public LdapLookup {
 protected:
  static void SetUpTestSuite() {
    if (test_support::SlapdServer::program().empty()) {
      unavailable_ = "slapd is not installed (scripts/install-deps.sh installs it)";
      return;
    }
    server_ = new test_support::SlapdServer();
    std::string why;
    if (!server_->start(&why)) {
      unavailable_ = "slapd did not start: " + why;
      return;
    }
    // The suite's entries; certificates are made with the double's maker.
    certA_ = new QByteArray(make_certificate("1A2B", kUser, kCaA));
    certB77_ = new QByteArray(make_certificate("77", kUser, kCaB));
    certA77_ = new QByteArray(make_certificate("77", kUser, kCaA));
    const QByteArray bad = make_certificate("BAD1", kUser, kCaA);  // the double refuses to decode it
    const std::vector<std::string> classes = {"device", "pkiUser", "dossarSerialHolder"};
    const test_support::SlapdServer::Entry entries[] = {
        {"ivanov", classes, "6699", {bytes(*certA_)}},
        {"several", classes, "119", {bytes(bad), bytes(*certB77_), bytes(*certA77_)}},
        {"nocert", classes, "136", {}},
        {"other-class", {"device", "dossarSerialHolder"}, "153", {}},
    };
    for (const auto& e : entries) {
      if (!server_->add(e, &why)) {
        failure_ = "adding " + e.cn + ": " + why;
        return;
      }
    }
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
    delete certA_;
    delete certB77_;
    delete certA77_;
  }
  void SetUp() override {
    LdapLookup::SetUp();
    // A real directory answers at once; generous limits keep a loaded
    // machine from turning an answer into a time-out.
    ldap_set_timeouts_for_tests(std::chrono::seconds(10), std::chrono::seconds(20));
    // Without a directory nothing here can be checked: a CI run must have
    // one, elsewhere the test says why it did not run.
    if (!unavailable_.empty()) {
      if (testing::under_ci()) FAIL() << unavailable_;
      GTEST_SKIP() << unavailable_;
    }
    ASSERT_TRUE(failure_.empty()) << failure_;
  }
  int port() const { return server_->port(); }

  static inline test_support::SlapdServer* server_ = nullptr;
  static inline std::string unavailable_, failure_;
  static inline QByteArray *certA_ = nullptr, *certB77_ = nullptr, *certA77_ = nullptr;
};

TEST_F(LdapDirectory, Found) {
  settings(1, "127.0.0.1", std::to_string(port()), test_support::SlapdServer::suffix());
  QByteArray out;
  ASSERT_EQ(LookupLdapCertificate("1A2B", issuer_of(*certA_), out), 1);
  EXPECT_EQ(out, *certA_);
  EXPECT_EQ(log(), connecting(port(), "dc=dossar,dc=test") + request("1A2B") +
                       line(QStringLiteral("Серитификат получен из справочника LDAP")));
}

TEST_F(LdapDirectory, FirstCertificateOfTheIssuerAmongSeveral) {
  // The entry holds one certificate that does not decode, one of another
  // CA and then the one wanted.
  settings(1, "127.0.0.1", std::to_string(port()), test_support::SlapdServer::suffix());
  QByteArray out;
  ASSERT_EQ(LookupLdapCertificate("77", issuer_of(*certA77_), out), 1);
  EXPECT_EQ(out, *certA77_);
  ASSERT_EQ(LookupLdapCertificate("77", issuer_of(*certB77_), out), 1);
  EXPECT_EQ(out, *certB77_);
}

TEST_F(LdapDirectory, NotFound) {
  const DistinguishedName issuerA = issuer_of(*certA_);
  const DistinguishedName issuerB = issuer_of(*certB77_);
  struct Case {
    const char* name;
    const char* serial;
    DistinguishedName issuer;
    const char* base;
  };
  const Case cases[] = {
      {"no such serial", "FFFF01", issuerA, "dc=dossar,dc=test"},
      {"issuer mismatch", "1A2B", issuerB, "dc=dossar,dc=test"},
      {"entry without certificates", "88", issuerA, "dc=dossar,dc=test"},
      {"entry of another class", "99", issuerA, "dc=dossar,dc=test"},
      {"base that does not exist", "1A2B", issuerA, "ou=none,dc=dossar,dc=test"},
      {"no base", "1A2B", issuerA, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    settings(1, "127.0.0.1", std::to_string(port()), c.base);
    QByteArray out = "untouched";
    EXPECT_EQ(LookupLdapCertificate(c.serial, c.issuer, out), 0);
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(log(), connecting(port(), c.base) + request(c.serial) + notFound());
    QFile::remove(path("logs/ldap.log"));
  }
}

TEST_F(LdapDirectory, PortTexts) {
  // The port as the settings write it: padded, signed, followed by text; a
  // text without a number goes to 389, where no directory listens here.
  const std::string p = std::to_string(port());
  for (const std::string& text : {" " + p, "+" + p, p + "abc"}) {
    SCOPED_TRACE(text);
    settings(1, "127.0.0.1", text, test_support::SlapdServer::suffix());
    QByteArray out;
    EXPECT_EQ(LookupLdapCertificate("1A2B", issuer_of(*certA_), out), 1);
    EXPECT_EQ(out, *certA_);
    QFile::remove(path("logs/ldap.log"));
  }
}

TEST_F(LdapDirectory, ConcurrentLookUpsOfOperationThreads) {
  // Operations run on threads of their own and share no LDAP state.
  settings(1, "127.0.0.1", std::to_string(port()), test_support::SlapdServer::suffix());
  const DistinguishedName issuerA = issuer_of(*certA_);
  const DistinguishedName issuerB = issuer_of(*certB77_);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        QByteArray out;
        const bool even = (t + i) % 2 == 0;
        const int found = LookupLdapCertificate(even ? "1A2B" : "77", even ? issuerA : issuerB, out);
        if (found != 1 || out != (even ? *certA_ : *certB77_)) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(LdapDirectory, SerialThatIsNoHexNumberEndsAfterConnecting) {
  settings(1, "127.0.0.1", std::to_string(port()), test_support::SlapdServer::suffix());
  QByteArray out;
  EXPECT_EQ(LookupLdapCertificate("1A2B)(cn=*", issuer_of(*certA_), out), 0);
  EXPECT_EQ(log(), connecting(port(), "dc=dossar,dc=test"));
}

}  // namespace
}  // namespace dsutils
