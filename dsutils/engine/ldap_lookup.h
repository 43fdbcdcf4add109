// Look-up of a certificate by serial number in the LDAP directory of the
// Ldap settings, for a signer or recipient the local directory lacks.
#pragma once

#include <QByteArray>
#include <chrono>

#include "dsutils/engine/crypto_seam_directory.h"

namespace dsutils {

// Ports above this are refused without a word.
inline constexpr int kMaxLdapPort = 32000;
inline constexpr int kDefaultLdapPort = 389;

// A directory that does not answer must not freeze the operation: connecting
// and the whole search each have a limit.
inline constexpr std::chrono::milliseconds kLdapConnectTimeout{10'000};
inline constexpr std::chrono::milliseconds kLdapSearchTimeout{30'000};
// One answer message of the directory may not be larger than this.
inline constexpr int kLdapMaxMessageBytes = 4 << 20;

// The Port text as the look-up reads it: a decimal number after optional
// blanks and sign (digits after it are ignored), kDefaultLdapPort when there
// is none; numbers too large for a port come out above kMaxLdapPort.
int ldap_port_from_text(const QString& text);

// The LDAP library's result code as the log shows it: the library's own
// negative API codes as their classic numbers 0x51-0x61.
unsigned ldap_log_code(int code);

// 1 with the first certificate of the first matching entry whose issuer is
// `issuer`; 0 otherwise. Steps and failures go to the event log.
int LookupLdapCertificate(const QByteArray& serialHex, const DistinguishedName& issuer, QByteArray& certificate);

#ifdef QCRYPTO_TEST_HOOKS
// Shorter limits for tests; zero restores the defaults.
void ldap_set_timeouts_for_tests(std::chrono::milliseconds connect, std::chrono::milliseconds search);
#endif

}  // namespace dsutils
