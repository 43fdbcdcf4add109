#include "dsutils/engine/ldap_lookup.h"

#include <sys/time.h>

#include <atomic>
#include <string>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/error_text.h"
#include "dsutils/engine/ldap_owners.h"

namespace dsutils {
namespace {

using LdapPtr = qcrypto::UniquePtr<LDAP>;
using MessagePtr = qcrypto::UniquePtr<LDAPMessage>;
using ValuesPtr = qcrypto::UniquePtr<berval*>;
using Clock = std::chrono::steady_clock;

std::atomic<std::int64_t> g_connect_ms{kLdapConnectTimeout.count()};
std::atomic<std::int64_t> g_search_ms{kLdapSearchTimeout.count()};

timeval to_timeval(std::chrono::microseconds d) {
  if (d.count() < 0) d = std::chrono::microseconds(0);
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(d.count() / 1'000'000);
  tv.tv_usec = static_cast<suseconds_t>(d.count() % 1'000'000);
  return tv;
}

QString log_code_text(int code) { return QString::number(ldap_log_code(code), 16); }

bool host_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
         c == '_' || c == ':' || c == '%';
}

// The address of the directory as a URL. The host comes from the settings
// and goes into a URL, so only the characters of a host name or an address
// pass.
bool directory_url(const QString& connect, int port, std::string& url) {
  const std::string host = connect.toStdString();
  constexpr std::size_t kMaxHost = 253;
  if (host.empty() || host.size() > kMaxHost) return false;
  for (const char c : host)
    if (!host_char(c)) return false;
  const bool ipv6 = host.find(':') != std::string::npos;
  url = "ldap://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
  return true;
}

int connect_directory(const QString& connect, int port, LdapPtr& out) {
  std::string url;
  if (!directory_url(connect, port, url)) return LDAP_PARAM_ERROR;
  LDAP* raw = nullptr;
  int rc = ldap_initialize(&raw, url.c_str());
  LdapPtr ld(raw);
  if (rc != LDAP_SUCCESS) return rc;
  const int version = LDAP_VERSION3;
  const timeval network = to_timeval(std::chrono::milliseconds(g_connect_ms.load()));
  const timeval search = to_timeval(std::chrono::milliseconds(g_search_ms.load()));
  // Referrals would send the search to servers nobody configured.
  if (ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld.get(), LDAP_OPT_NETWORK_TIMEOUT, &network) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld.get(), LDAP_OPT_TIMEOUT, &search) != LDAP_OPT_SUCCESS)
    return LDAP_LOCAL_ERROR;
  rc = ldap_connect(ld.get());
  if (rc != LDAP_SUCCESS) return rc;
  Sockbuf* sb = nullptr;
  ber_len_t limit = kLdapMaxMessageBytes;
  if (ldap_get_option(ld.get(), LDAP_OPT_SOCKBUF, &sb) != LDAP_OPT_SUCCESS || sb == nullptr ||
      ber_sockbuf_ctrl(sb, LBER_SB_OPT_SET_MAX_INCOMING, &limit) != 1)
    return LDAP_LOCAL_ERROR;
  out = std::move(ld);
  return LDAP_SUCCESS;
}

// The first entry the search gives (none when it gives none), within the
// search limit. Once the first entry is in, the rest of the search is
// abandoned: only that entry is read.
int search_first_entry(LDAP* ld, const QString& base, const QByteArray& filter, MessagePtr& entry) {
  const auto limit = std::chrono::milliseconds(g_search_ms.load());
  timeval serverLimit = to_timeval(limit);
  int msgid = 0;
  const QByteArray baseText = base.toUtf8();
  int rc = ldap_search_ext(ld, baseText.constData(), LDAP_SCOPE_SUBTREE, filter.constData(), nullptr, 0, nullptr,
                           nullptr, &serverLimit, 0, &msgid);
  if (rc != LDAP_SUCCESS) return rc;
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    timeval wait = to_timeval(left);
    LDAPMessage* raw = nullptr;
    const int type = left.count() > 0 ? ldap_result(ld, msgid, LDAP_MSG_ONE, &wait, &raw) : 0;
    MessagePtr message(raw);
    if (type == -1) {
      rc = LDAP_OTHER;
      ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &rc);
      return rc;
    }
    if (type == 0) {
      ldap_abandon_ext(ld, msgid, nullptr, nullptr);
      return LDAP_TIMEOUT;
    }
    if (type == LDAP_RES_SEARCH_ENTRY) {
      entry = std::move(message);
      ldap_abandon_ext(ld, msgid, nullptr, nullptr);
      return LDAP_SUCCESS;
    }
    if (type == LDAP_RES_SEARCH_RESULT) return LDAP_SUCCESS;
    // References and anything else: not what is looked for.
  }
}

}  // namespace

int ldap_port_from_text(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  qsizetype i = 0;
  while (i < bytes.size() && (bytes[i] == ' ' || (bytes[i] >= '\t' && bytes[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < bytes.size() && (bytes[i] == '+' || bytes[i] == '-')) negative = bytes[i++] == '-';
  if (i >= bytes.size() || bytes[i] < '0' || bytes[i] > '9') return kDefaultLdapPort;
  long long value = 0;
  for (; i < bytes.size() && bytes[i] >= '0' && bytes[i] <= '9'; ++i) {
    value = value * 10 + (bytes[i] - '0');
    if (value > kMaxLdapPort) {
      value = kMaxLdapPort + 1;  // any larger number is refused alike
      break;
    }
  }
  return static_cast<int>(negative ? -value : value);
}

unsigned ldap_log_code(int code) {
  // The library numbers its client-side codes from -1 (server down) to -17
  // (referral limit); the classic interface had them as 0x51 to 0x61.
  if (code <= -1 && code >= -17) return static_cast<unsigned>(0x50 - code);
  return static_cast<unsigned>(code);
}

int LookupLdapCertificate(const QByteArray& serialHex, const DistinguishedName& issuer, QByteArray& certificate) {
  EngineHelper helper;
  ErrorTextLoader& log = error_text_loader();
  std::uint32_t start = 0;
  QString connect, portText, search;
  if (!helper.GetLdapSettings(start, connect, portText, search) || start == 0) return 0;
  if (connect.isEmpty()) {
    log.LogLine(QStringLiteral("Не заданы настройки справочника LDAP"));
    return 0;
  }
  const int port = ldap_port_from_text(portText);
  if (port < 0 || port > kMaxLdapPort) return 0;
  if (search.isEmpty())
    log.LogLine(QStringLiteral("Обращение к LDAP (%1 : %2, none)").arg(connect).arg(port));
  else
    log.LogLine(QStringLiteral("Обращение к LDAP (%1 : %2, %3)").arg(connect).arg(port).arg(search));

  LdapPtr ld;
  if (const int rc = connect_directory(connect, port, ld); rc != LDAP_SUCCESS) {
    log.LogLine(QStringLiteral("Не удалось установить соединение со справочником LDAP\r\nКод ошибки: 0x%1")
                    .arg(log_code_text(rc)));
    return 0;
  }
  const QByteArray decimal = EngineHelper::SerialHexToDecimal(serialHex);
  if (decimal.isEmpty()) return 0;
  const QByteArray filter = "(&(|(objectClass=pkiUser)(objectClass=pkiCA))(x509serialNumber=" + decimal + "))";
  log.LogLine(QStringLiteral("Запрос на сертификат к справочнику LDAP: %1").arg(QString::fromLatin1(serialHex)));

  MessagePtr entry;
  if (const int rc = search_first_entry(ld.get(), search, filter, entry); rc != LDAP_SUCCESS) {
    log.LogLine(QStringLiteral("Ошибка при запросе к справочнику LDAP\r\nКод ошибки: 0x%1").arg(log_code_text(rc)));
    return 0;
  }
  const QString notFound = QStringLiteral("Серитификат не найден в справочнике LDAP");
  LDAPMessage* first = entry ? ldap_first_entry(ld.get(), entry.get()) : nullptr;
  const ValuesPtr values(first ? ldap_get_values_len(ld.get(), first, "userCertificate;binary") : nullptr);
  if (!values) {
    log.LogLine(notFound);
    return 0;
  }
  const auto session = makeDirectoryCryptoSession();
  for (berval** value = values.get(); *value != nullptr; ++value) {
    if ((*value)->bv_len == 0) continue;
    QByteArray candidate((*value)->bv_val, static_cast<qsizetype>((*value)->bv_len));
    CertificateInfo info;
    if (session->GetCertificateInfo(candidate, info) != kToolkitOk) continue;
    if (EngineHelper::CompareNames(info.issuer, issuer) != 1) continue;
    certificate = std::move(candidate);
    log.LogLine(QStringLiteral("Серитификат получен из справочника LDAP"));
    return 1;
  }
  log.LogLine(notFound);
  return 0;
}

#ifdef QCRYPTO_TEST_HOOKS
void ldap_set_timeouts_for_tests(std::chrono::milliseconds connect, std::chrono::milliseconds search) {
  g_connect_ms = connect.count() > 0 ? connect.count() : kLdapConnectTimeout.count();
  g_search_ms = search.count() > 0 ? search.count() : kLdapSearchTimeout.count();
}
#endif

}  // namespace dsutils
