// The directory look-ups' toolkit session answered from real certificates
// parsed with OpenSSL, and a maker of such certificates.
#pragma once

#include <QByteArray>
#include <atomic>
#include <set>
#include <string>

#include "dsutils/engine/crypto_seam_directory.h"

namespace dsutils::testing {

// Counts over every session the factory made.
struct SessionCounters {
  std::atomic<int> made{0}, opened{0}, closed{0}, decoded{0};
};

class OpenSslSession final : public DirectoryCryptoSession {
 public:
  OpenSslSession(SessionCounters& counters, std::set<QByteArray> refused)
      : counters_(counters), refused_(std::move(refused)) {}
  int Open() override;
  int Close() override;
  // DER, then PEM; a certificate whose serial text is in `refused` decodes
  // as damaged (186), as one the toolkit could not read would.
  int GetCertificateInfo(const QByteArray& certificate, CertificateInfo& info) override;

 private:
  SessionCounters& counters_;
  std::set<QByteArray> refused_;
};

// Installs a factory of OpenSslSession for the scope of a test.
class ScopedOpenSslFactory {
 public:
  explicit ScopedOpenSslFactory(std::set<QByteArray> refused = {});
  ~ScopedOpenSslFactory();
  ScopedOpenSslFactory(const ScopedOpenSslFactory&) = delete;
  ScopedOpenSslFactory& operator=(const ScopedOpenSslFactory&) = delete;
  SessionCounters& counters() { return counters_; }

 private:
  SessionCounters counters_;
};

struct NameSpec {
  std::string cn, o, c, email;
};

// A DER certificate with the given serial (hex, "-" for negative), subject
// and issuer, signed with one P-256 key shared by the process (nothing here
// checks signatures).
QByteArray make_certificate(const std::string& serialHex, const NameSpec& subject, const NameSpec& issuer);

// Two CAs and one user that both directory tests issue certificates for; the
// user gets the same serial from each CA to test telling them apart.
inline const NameSpec kCaA{"УЦ Альфа", "Альфа", "RU", ""};
inline const NameSpec kCaB{"УЦ Бета", "Бета", "RU", ""};
inline const NameSpec kUser{"Иванов", "Орг", "RU", "ivanov@example.ru"};

}  // namespace dsutils::testing
