#include "tests/support/slapd_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ldap.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace test_support {
namespace {

constexpr const char* kAdmin = "cn=admin,dc=dossar,dc=test";
constexpr const char* kAdminPassword = "dossar-test";

// The serial-number attribute of RFC 4523 and a class to carry it; the stock
// schema files have neither.
constexpr const char* kSchema =
    "attributetype ( 1.3.6.1.1.15.1 NAME 'x509serialNumber'\n"
    "  EQUALITY integerMatch ORDERING integerOrderingMatch\n"
    "  SYNTAX 1.3.6.1.4.1.1466.115.121.1.27 SINGLE-VALUE )\n"
    "objectclass ( 1.3.6.1.4.1.4203.666.11.77.1 NAME 'dossarSerialHolder'\n"
    "  SUP top AUXILIARY MAY x509serialNumber )\n";

bool can_bind(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

bool accepts_connections(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

int free_loopback_port() {
  for (int attempt = 0; attempt < 200; ++attempt) {
    unsigned value = 0;
    if (getrandom(&value, sizeof(value), 0) != sizeof(value)) continue;
    const int port = 20000 + static_cast<int>(value % 12000);  // 20000..31999
    if (can_bind(port)) return port;
  }
  return 0;
}

SlapdServer::~SlapdServer() {
  stop();
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

std::string SlapdServer::program() {
  for (const char* p : {"/usr/sbin/slapd", "/usr/local/sbin/slapd", "/usr/libexec/slapd"})
    if (::access(p, X_OK) == 0) return p;
  return {};
}

bool SlapdServer::start(std::string* why) {
  const std::string slapd = program();
  if (slapd.empty()) {
    *why = "slapd is not installed";
    return false;
  }
  std::string tmpl = (std::filesystem::temp_directory_path() / "dossar-slapd-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) {
    *why = "no private folder";
    return false;
  }
  dir_ = tmpl;
  std::filesystem::create_directory(dir_ + "/db");
  std::ofstream(dir_ + "/dossar-test.schema") << kSchema;
  {
    std::ofstream conf(dir_ + "/slapd.conf");
    conf << "include /etc/ldap/schema/core.schema\n"
         << "include " << dir_ << "/dossar-test.schema\n"
         << "pidfile " << dir_ << "/slapd.pid\n"
         << "argsfile " << dir_ << "/slapd.args\n"
         << "modulepath /usr/lib/ldap\n"
         << "moduleload back_mdb\n"
         << "database mdb\n"
         << "maxsize 16777216\n"
         << "suffix \"" << suffix() << "\"\n"
         << "rootdn \"" << kAdmin << "\"\n"
         << "rootpw " << kAdminPassword << "\n"
         << "directory " << dir_ << "/db\n"
         << "access to * by * read\n";
  }

  // The port is only free when it was looked at; another process may take it
  // first, so a server that does not come up is tried on another port.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = free_loopback_port();
    if (port_ == 0) break;
    const std::string url = "ldap://127.0.0.1:" + std::to_string(port_) + "/";
    const std::string conf = dir_ + "/slapd.conf";
    const std::string log = dir_ + "/slapd.log";
    std::vector<std::string> args = {slapd, "-d", "0", "-f", conf, "-h", url};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
      *why = "fork failed";
      return false;
    }
    if (pid == 0) {
      // Only async-signal-safe calls until exec.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      if (out >= 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
      }
      const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (in >= 0) ::dup2(in, 0);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    pid_ = pid;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      if (accepts_connections(port_)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
  }
  std::ifstream in(dir_ + "/slapd.log");
  *why = "slapd did not start: " + std::string(std::istreambuf_iterator<char>(in), {});
  return false;
}

void SlapdServer::stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
  }
}

bool SlapdServer::add(const Entry& entry, std::string* why) const {
  LDAP* ld = nullptr;
  const std::string url = "ldap://127.0.0.1:" + std::to_string(port_) + "/";
  int rc = ldap_initialize(&ld, url.c_str());
  if (rc != LDAP_SUCCESS) {
    *why = ldap_err2string(rc);
    return false;
  }
  const int version = LDAP_VERSION3;
  ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  berval password{};
  std::string pw = kAdminPassword;
  password.bv_val = pw.data();
  password.bv_len = pw.size();
  rc = ldap_sasl_bind_s(ld, kAdmin, LDAP_SASL_SIMPLE, &password, nullptr, nullptr, nullptr);
  auto fail = [&](int code) {
    *why = ldap_err2string(code);
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return false;
  };
  if (rc != LDAP_SUCCESS) return fail(rc);

  // The suffix entry first, once.
  static const char* kTop[] = {"dcObject", "organization", nullptr};
  static const char* kDc[] = {"dossar", nullptr};
  static const char* kO[] = {"Dossar tests", nullptr};
  LDAPMod topClass{LDAP_MOD_ADD, const_cast<char*>("objectClass"), {const_cast<char**>(kTop)}};
  LDAPMod topDc{LDAP_MOD_ADD, const_cast<char*>("dc"), {const_cast<char**>(kDc)}};
  LDAPMod topO{LDAP_MOD_ADD, const_cast<char*>("o"), {const_cast<char**>(kO)}};
  LDAPMod* topMods[] = {&topClass, &topDc, &topO, nullptr};
  rc = ldap_add_ext_s(ld, suffix(), topMods, nullptr, nullptr);
  if (rc != LDAP_SUCCESS && rc != LDAP_ALREADY_EXISTS) return fail(rc);

  std::vector<std::string> classes = entry.objectClasses;
  std::vector<char*> classPtrs;
  for (auto& c : classes) classPtrs.push_back(c.data());
  classPtrs.push_back(nullptr);
  std::string cn = entry.cn;
  char* cnValues[] = {cn.data(), nullptr};
  std::string serial = entry.serialDecimal;
  char* serialValues[] = {serial.data(), nullptr};
  std::vector<berval> certs(entry.certificates.size());
  std::vector<berval*> certPtrs;
  for (std::size_t i = 0; i < certs.size(); ++i) {
    certs[i].bv_val = reinterpret_cast<char*>(const_cast<unsigned char*>(entry.certificates[i].data()));
    certs[i].bv_len = entry.certificates[i].size();
    certPtrs.push_back(&certs[i]);
  }
  certPtrs.push_back(nullptr);

  LDAPMod modClass{LDAP_MOD_ADD, const_cast<char*>("objectClass"), {classPtrs.data()}};
  LDAPMod modCn{LDAP_MOD_ADD, const_cast<char*>("cn"), {cnValues}};
  LDAPMod modSerial{LDAP_MOD_ADD, const_cast<char*>("x509serialNumber"), {serialValues}};
  LDAPMod modCerts{LDAP_MOD_ADD | LDAP_MOD_BVALUES, const_cast<char*>("userCertificate;binary"), {nullptr}};
  modCerts.mod_bvalues = certPtrs.data();
  std::vector<LDAPMod*> mods = {&modClass, &modCn};
  if (!serial.empty()) mods.push_back(&modSerial);
  if (!certs.empty()) mods.push_back(&modCerts);
  mods.push_back(nullptr);
  const std::string dn = "cn=" + entry.cn + "," + suffix();
  rc = ldap_add_ext_s(ld, dn.c_str(), mods.data(), nullptr, nullptr);
  if (rc != LDAP_SUCCESS) return fail(rc);
  ldap_unbind_ext_s(ld, nullptr, nullptr);
  return true;
}

}  // namespace test_support
