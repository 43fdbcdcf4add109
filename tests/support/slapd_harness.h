// A private slapd for tests: its own folder, configuration, schema and
// database, on a free loopback port of at most 32000, readable without a
// bind. It is started as a child of the test process, dies with it
// (parent-death signal) and is stopped by its PID.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace test_support {

class SlapdServer {
 public:
  SlapdServer() = default;
  ~SlapdServer();
  SlapdServer(const SlapdServer&) = delete;
  SlapdServer& operator=(const SlapdServer&) = delete;

  // The installed server program, or empty when none is installed.
  static std::string program();

  // Starts the server; false with the reason in `why`.
  bool start(std::string* why);
  void stop();

  int port() const { return port_; }
  static const char* suffix() { return "dc=dossar,dc=test"; }

  struct Entry {
    std::string cn;
    std::vector<std::string> objectClasses;
    std::string serialDecimal;  // empty: no x509serialNumber
    std::vector<std::vector<unsigned char>> certificates;
  };
  // Adds an entry below suffix() as the directory's administrator; false
  // with the reason in `why`.
  bool add(const Entry& entry, std::string* why) const;

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// A loopback port of at most 32000 that nothing listens on right now.
int free_loopback_port();

}  // namespace test_support
