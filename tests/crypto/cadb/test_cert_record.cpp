// Certificate and CRL records from the test PKI builder: every field against
// what OpenSSL reads from the same object, names in the local code page, the
// readers' formats, and hostile objects that must fail the split cleanly.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/cadb/cadb_codes.h"
#include "crypto/cadb/cert_record.h"
#include "crypto/cadb/tm_utils.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/evp/objects.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "crypto/v3ext/cadb_v3ext.h"
#include "crypto/x509/name_print.h"
#include "crypto/x509/x509_owners.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"

namespace qcrypto {
namespace {

using Bytes = std::vector<unsigned char>;
using test_support::GostKeyType;

using test_support::kSystemRand;

std::string text_of(const BUFFER* b) {
  return b == nullptr ? std::string("<null>")
                      : std::string(reinterpret_cast<char*>(b->data), static_cast<std::size_t>(b->length));
}
Bytes bytes_of(const BUFFER* b) { return b == nullptr ? Bytes{} : Bytes(b->data, b->data + b->length); }

struct Entry {
  int object;
  std::string value;
  int type;
  bool operator==(const Entry&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Entry& e) {
  return os << "{" << e.object << ", \"" << e.value << "\", " << e.type << "}";
}
std::vector<Entry> entries_of(const ATTRIBUTE* a) {
  std::vector<Entry> out;
  for (; a != nullptr; a = a->next) {
    EXPECT_EQ(a->reserved, 0);
    out.push_back({a->object, a->value, a->string_type});
  }
  return out;
}

struct Civil {
  int year, month, day, hour, minute, second;
  bool operator==(const Civil&) const = default;
};
Civil civil(const struct tm& t) { return {t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec}; }
// OpenSSL's own reading of the same time, independent of the record's.
Civil openssl_civil(const ASN1_TIME* time) {
  struct tm t {};
  EXPECT_EQ(ASN1_TIME_to_tm(time, &t), 1);
  return civil(t);
}

Bytes integer_bytes(long value) {
  UniquePtr<ASN1_STRING> i(ASN1_INTEGER_new());
  ASN1_INTEGER_set(i.get(), value);
  return Bytes(ASN1_STRING_get0_data(i.get()), ASN1_STRING_get0_data(i.get()) + ASN1_STRING_length(i.get()));
}

class CertRecord : public test_support::ProviderFixture<::testing::TestWithParam<GostKeyType>> {
 protected:
  int key_number() const { return GetParam() == GostKeyType::kR3410 ? SYSOBJ_R3410 : SYSOBJ_ECR3410; }
  int signature_number() const { return GetParam() == GostKeyType::kR3410 ? SYSOBJ_R3410_R3411 : SYSOBJ_ECR3410_R3411; }
};

// "Тестовый УЦ" and "Пользователь" in UTF-8 and in Windows-1251.
const char kCaNameUtf8[] = "\xD0\xA2\xD0\xB5\xD1\x81\xD1\x82\xD0\xBE\xD0\xB2\xD1\x8B\xD0\xB9 \xD0\xA3\xD0\xA6";
const char kCaName1251[] = "\xD2\xE5\xF1\xF2\xEE\xE2\xFB\xE9 \xD3\xD6";
const char kUserNameUtf8[] =
    "\xD0\x9F\xD0\xBE\xD0\xBB\xD1\x8C\xD0\xB7\xD0\xBE\xD0\xB2\xD0\xB0\xD1\x82\xD0\xB5\xD0\xBB\xD1\x8C";
const char kUserName1251[] = "\xCF\xEE\xEB\xFC\xE7\xEE\xE2\xE0\xF2\xE5\xEB\xFC";

TEST_P(CertRecord, SplitFillsEveryFieldFromTheCertificate) {
  UniquePtr<EVP_PKEY> ca_key(test_support::gost_new_key(GetParam()));
  UniquePtr<EVP_PKEY> user_key(test_support::gost_new_key(GetParam()));
  ASSERT_TRUE(ca_key && user_key);
  UniquePtr<X509> ca(test_support::gost_make_cert(ca_key.get(), {kCaNameUtf8, 1, true, 365}, nullptr, ca_key.get()));
  UniquePtr<X509> user(
      test_support::gost_make_cert(user_key.get(), {kUserNameUtf8, 0x1234567, false, 30}, ca.get(), ca_key.get()));
  ASSERT_TRUE(ca && user);

  struct Case {
    X509* x509;
    EVP_PKEY* key;
    long serial;
    int self_issued;
    std::string subject_cn, issuer_cn;
  } const cases[] = {
      {ca.get(), ca_key.get(), 1, 1, kCaName1251, kCaName1251},
      {user.get(), user_key.get(), 0x1234567, -1, kUserName1251, kCaName1251},
  };
  for (const Case& c : cases) {
    UniquePtr<CERT> rec(CERT_split(c.x509));
    ASSERT_TRUE(rec) << ERR_error_string(ERR_peek_error());
    EXPECT_EQ(rec->version, 2);
    EXPECT_EQ(rec->key_algorithm, key_number());
    EXPECT_EQ(rec->key_bits, EVP_PKEY_get_bits(c.key));
    EXPECT_GT(rec->key_bits, 0);
    EXPECT_EQ(rec->signature_algorithm, signature_number());
    EXPECT_EQ(rec->self_issued, c.self_issued);
    EXPECT_EQ(rec->key_params_missing, 0);
    EXPECT_EQ(bytes_of(rec->serial), integer_bytes(c.serial));
    EXPECT_EQ(civil(rec->not_before), openssl_civil(X509_get0_notBefore(c.x509)));
    EXPECT_EQ(civil(rec->not_after), openssl_civil(X509_get0_notAfter(c.x509)));
    EXPECT_EQ(entries_of(rec->subject), (std::vector<Entry>{{NID_countryName, "RU", V_ASN1_PRINTABLESTRING},
                                                            {NID_commonName, c.subject_cn, V_ASN1_UTF8STRING}}));
    EXPECT_EQ(entries_of(rec->issuer), (std::vector<Entry>{{NID_countryName, "RU", V_ASN1_PRINTABLESTRING},
                                                           {NID_commonName, c.issuer_cn, V_ASN1_UTF8STRING}}));
    EXPECT_EQ(text_of(rec->subject_text), "C=RU, CN=" + c.subject_cn);
    EXPECT_EQ(text_of(rec->issuer_text), "C=RU, CN=" + c.issuer_cn);
    // One converted record per extension, in the certificate's order.
    ASSERT_NE(rec->extensions, nullptr);
    ASSERT_EQ(sk_CADB_V3EXT_num(rec->extensions), X509_get_ext_count(c.x509));
    for (int i = 0; i < X509_get_ext_count(c.x509); ++i) {
      const CADB_V3EXT* e = sk_CADB_V3EXT_value(rec->extensions, i);
      EXPECT_EQ(e->object, OBJ_obj2nid(X509_EXTENSION_get_object(X509_get_ext(c.x509, i))));
      EXPECT_EQ(e->parsed, 1);
    }
    EXPECT_EQ(rec->depth, 0);
    EXPECT_EQ(rec->valid, -1);
    EXPECT_EQ(rec->errors, nullptr);
    EXPECT_EQ(rec->issuer_record, nullptr);
    EXPECT_EQ(rec->crl, nullptr);
    EXPECT_EQ(rec->x509, c.x509);
    // The fingerprint through the key's own encoder, not the record's path.
    unsigned char want[EVP_MAX_MD_SIZE];
    unsigned int want_length = 0;
    ASSERT_EQ(PUBKEY_digest(c.key, EVP_rus_hash(), want, &want_length), 1);
    EXPECT_EQ(bytes_of(rec->fingerprint), Bytes(want, want + want_length));
    EXPECT_EQ(want_length, 32u);
  }
  // The record holds its own reference.
  UniquePtr<CERT> rec(CERT_split(user.get()));
  user.reset();
  ASSERT_TRUE(rec);
  EXPECT_EQ(text_of(rec->subject_text), std::string("C=RU, CN=") + kUserName1251);
  EXPECT_EQ(X509_check_issued(ca.get(), rec->x509), X509_V_OK);
}

TEST_P(CertRecord, ReadersByFormat) {
  UniquePtr<EVP_PKEY> key(test_support::gost_new_key(GetParam()));
  UniquePtr<X509> x509(test_support::gost_make_cert(key.get(), {"reader", 7, true, 10}, nullptr, key.get()));
  ASSERT_TRUE(x509);
  const Bytes der = test_support::to_der(x509.get());
  const std::string pem = test_support::to_pem(x509.get());
  const Bytes pem_bytes(pem.begin(), pem.end());
  const Bytes garbage = {0x30, 0x82, 0xFF, 0xFF, 0x01};
  struct Case {
    const char* what;
    int format;
    const Bytes* bytes;
    bool ok;
  } const cases[] = {
      {"DER as any", 0, &der, true},          {"PEM as any", 0, &pem_bytes, true},
      {"DER as DER", 1, &der, true},          {"PEM as DER", 1, &pem_bytes, false},
      {"PEM as PEM", 2, &pem_bytes, true},    {"DER as PEM", 2, &der, false},
      {"unknown format", 3, &der, false},     {"negative format", -1, &der, false},
      {"garbage as any", 0, &garbage, false},
  };
  for (const Case& c : cases) {
    ERR_clear_error();
    UniquePtr<CERT> rec(CERT_read_buffer(c.format, c.bytes->data(), static_cast<int>(c.bytes->size()), 0));
    EXPECT_EQ(rec != nullptr, c.ok) << c.what;
    if (rec) {
      EXPECT_EQ(X509_cmp(rec->x509, x509.get()), 0) << c.what;
      EXPECT_EQ(ERR_peek_error(), 0u) << c.what << ": no error left behind on success";
    } else {
      EXPECT_EQ(ERR_GET_LIB_CODE(ERR_peek_last_error()), ERRLIB_CADB) << c.what;
      EXPECT_EQ(ERR_GET_FUNC_CODE(ERR_peek_last_error()), CADB_F_CERT_READ_BUFFER) << c.what;
    }
  }
  // The DER attempt's complaints go; an error the caller had before stays.
  ERR_clear_error();
  QERR(ERRLIB_CADB, CADB_F_CERT_NEW, CADB_R_MEMORY);
  UniquePtr<CERT> rec(CERT_read_buffer_any(pem_bytes.data(), static_cast<int>(pem_bytes.size())));
  ASSERT_TRUE(rec);
  EXPECT_EQ(ERR_GET_FUNC_CODE(ERR_get_error()), CADB_F_CERT_NEW);
  EXPECT_EQ(ERR_get_error(), 0u);
  EXPECT_EQ(CERT_read_buffer_any(nullptr, 10), nullptr);
  EXPECT_EQ(CERT_read_buffer_any(der.data(), 0), nullptr);
  EXPECT_EQ(CERT_read_bio(1, nullptr), nullptr);
  ERR_clear_error();
}

TEST_P(CertRecord, CrlSplitAndReaders) {
  UniquePtr<EVP_PKEY> key(test_support::gost_new_key(GetParam()));
  UniquePtr<X509> ca(test_support::gost_make_cert(key.get(), {kCaNameUtf8, 1, true, 365}, nullptr, key.get()));
  ASSERT_TRUE(ca);
  for (const std::vector<long>& serials : {std::vector<long>{}, std::vector<long>{5, 0x7FFFFF, 300}}) {
    UniquePtr<X509_CRL> x509_crl(test_support::gost_make_crl(ca.get(), key.get(), serials, 4));
    ASSERT_TRUE(x509_crl);
    const Bytes der = test_support::to_der(x509_crl.get());
    const std::string pem = test_support::to_pem(x509_crl.get());
    for (int format : {0, 1, 2}) {
      const bool as_pem = format == 2 || (format == 0 && serials.empty());
      UniquePtr<CRL> crl(as_pem ? CRL_read_buffer(format, reinterpret_cast<const unsigned char*>(pem.data()),
                                                  static_cast<int>(pem.size()), 0)
                                : CRL_read_buffer(format, der.data(), static_cast<int>(der.size()), 0));
      ASSERT_TRUE(crl) << format;
      EXPECT_EQ(crl->version, 1);
      EXPECT_EQ(crl->signature_algorithm, signature_number());
      EXPECT_EQ(entries_of(crl->issuer), (std::vector<Entry>{{NID_countryName, "RU", V_ASN1_PRINTABLESTRING},
                                                             {NID_commonName, kCaName1251, V_ASN1_UTF8STRING}}));
      EXPECT_EQ(text_of(crl->issuer_text), std::string("C=RU, CN=") + kCaName1251);
      ASSERT_NE(crl->last_update, nullptr);
      ASSERT_NE(crl->next_update, nullptr);
      EXPECT_EQ(civil(*crl->last_update), openssl_civil(X509_CRL_get0_lastUpdate(x509_crl.get())));
      EXPECT_EQ(civil(*crl->next_update), openssl_civil(X509_CRL_get0_nextUpdate(x509_crl.get())));
      // The CRL number 4 given to the builder, as its magnitude bytes.
      ASSERT_NE(crl->extensions, nullptr);
      ASSERT_EQ(sk_CADB_V3EXT_num(crl->extensions), 1);
      const CADB_V3EXT* number = sk_CADB_V3EXT_value(crl->extensions, 0);
      EXPECT_EQ(number->object, NID_crl_number);
      ASSERT_EQ(number->parsed, 1);
      EXPECT_EQ(bytes_of(number->value.bytes), Bytes{0x04});
      EXPECT_EQ(crl->valid, -1);
      EXPECT_EQ(crl->errors, nullptr);
      EXPECT_EQ(crl->issuer_record, nullptr);
      EXPECT_EQ(X509_CRL_cmp(crl->x509_crl, x509_crl.get()), 0);
      ASSERT_EQ(sk_REVOKED_num(crl->revoked), static_cast<int>(serials.size()));
      // The builder sorts the entries by serial; the record keeps that order.
      STACK_OF(X509_REVOKED)* entries = X509_CRL_get_REVOKED(x509_crl.get());
      for (int i = 0; i < sk_REVOKED_num(crl->revoked); ++i) {
        const REVOKED* r = sk_REVOKED_value(crl->revoked, i);
        const X509_REVOKED* e = sk_X509_REVOKED_value(entries, i);
        const ASN1_INTEGER* serial = X509_REVOKED_get0_serialNumber(e);
        EXPECT_EQ(bytes_of(r->serial),
                  Bytes(ASN1_STRING_get0_data(serial), ASN1_STRING_get0_data(serial) + ASN1_STRING_length(serial)));
        EXPECT_EQ(civil(r->revocation_date), openssl_civil(X509_REVOKED_get0_revocationDate(e)));
        EXPECT_EQ(r->extensions, nullptr);
      }
    }
    EXPECT_EQ(CRL_read_buffer(1, reinterpret_cast<const unsigned char*>(pem.data()), static_cast<int>(pem.size()), 0),
              nullptr);
    EXPECT_EQ(CRL_read_buffer(5, der.data(), static_cast<int>(der.size()), 0), nullptr);
  }
  ERR_clear_error();
}

INSTANTIATE_TEST_SUITE_P(BothKeyTypes, CertRecord, ::testing::Values(GostKeyType::kR3410, GostKeyType::kEcr3410));

// Adds one entry of a given string type with raw bytes.
void add_raw(X509_NAME* name, int nid, int type, const std::string& bytes) {
  ASSERT_EQ(X509_NAME_add_entry_by_NID(name, nid, type, reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()), -1, 0),
            1);
}

TEST(NameSplit, ValuesInTheLocalCodePage) {
  UniquePtr<X509_NAME> name(X509_NAME_new());
  add_raw(name.get(), NID_commonName, V_ASN1_BMPSTRING, std::string("\x04\x10\x04\x11", 4));
  add_raw(name.get(), NID_organizationName, V_ASN1_UTF8STRING, "\xD0\x81\xD1\x91 \xE2\x84\x96");
  add_raw(name.get(), NID_localityName, V_ASN1_UNIVERSALSTRING, std::string("\0\0\0A\0\0\x04\x10", 8));
  add_raw(name.get(), NID_pkcs9_emailAddress, V_ASN1_IA5STRING, "a@b.ru");
  add_raw(name.get(), NID_title, V_ASN1_T61STRING, "\xC0\xC1");
  EXPECT_EQ(entries_of(UniquePtr<ATTRIBUTE>(X509_NAME_split(name.get())).get()),
            (std::vector<Entry>{{NID_commonName, "\xC0\xC1", V_ASN1_BMPSTRING},
                                {NID_organizationName, "\xA8\xB8 \xB9", V_ASN1_UTF8STRING},
                                {NID_localityName, "A\xC0", V_ASN1_UNIVERSALSTRING},
                                {NID_pkcs9_emailAddress, "a@b.ru", V_ASN1_IA5STRING},
                                {NID_title, "\xC0\xC1", V_ASN1_T61STRING}}));
}

TEST(NameSplit, EmptyValuesSkippedAndZeroBytesKeptVisible) {
  UniquePtr<X509_NAME> name(X509_NAME_new());
  add_raw(name.get(), NID_commonName, V_ASN1_UTF8STRING, std::string("good\0evil", 9));
  add_raw(name.get(), NID_organizationName, V_ASN1_UTF8STRING, "");
  add_raw(name.get(), NID_countryName, V_ASN1_PRINTABLESTRING, "RU");
  UniquePtr<ATTRIBUTE> split(X509_NAME_split(name.get()));
  EXPECT_EQ(entries_of(split.get()), (std::vector<Entry>{{NID_commonName, "good\\x00evil", V_ASN1_UTF8STRING},
                                                         {NID_countryName, "RU", V_ASN1_PRINTABLESTRING}}));
  UniquePtr<X509_NAME> empty(X509_NAME_new());
  ATTRIBUTE* out = reinterpret_cast<ATTRIBUTE*>(1);
  EXPECT_EQ(X509_NAME_split_into(empty.get(), &out), 1);
  EXPECT_EQ(out, nullptr);
  ERR_clear_error();
  EXPECT_EQ(X509_NAME_split_into(nullptr, &out), 0);
  EXPECT_EQ(ERR_GET_FUNC_CODE(ERR_peek_last_error()), CADB_F_X509_NAME_SPLIT);
  ERR_clear_error();
}

TEST(NameSplit, LongNamesSplitAndFreeWithoutRecursion) {
  UniquePtr<X509_NAME> name(X509_NAME_new());
  constexpr int kEntries = 20000;
  for (int i = 0; i < kEntries; ++i) add_raw(name.get(), NID_organizationalUnitName, V_ASN1_UTF8STRING, "u");
  UniquePtr<ATTRIBUTE> split(X509_NAME_split(name.get()));
  int count = 0;
  for (const ATTRIBUTE* a = split.get(); a != nullptr; a = a->next) ++count;
  EXPECT_EQ(count, kEntries);
}

TEST(Attribute, AddAppendsCopiesAtTheEnd) {
  UniquePtr<ATTRIBUTE> head(ATTRIBUTE_add(nullptr, 13, "first", -1, V_ASN1_UTF8STRING));
  ASSERT_TRUE(head);
  const char text[] = "second-and-more";
  EXPECT_EQ(ATTRIBUTE_add(head.get(), 14, text, 6, V_ASN1_PRINTABLESTRING), head.get());
  EXPECT_EQ(ATTRIBUTE_add(head.get(), 0, "", 0, 0), head.get());
  EXPECT_EQ(entries_of(head.get()),
            (std::vector<Entry>{{13, "first", V_ASN1_UTF8STRING}, {14, "second", V_ASN1_PRINTABLESTRING}, {0, "", 0}}));
  EXPECT_NE(head->next->value, text) << "a copy, not the caller's text";
  EXPECT_EQ(ATTRIBUTE_add(head.get(), 1, nullptr, 3, 0), nullptr);
  EXPECT_EQ(head->next->next->next, nullptr) << "a failed add leaves the chain";
  ERR_clear_error();
}

// A certificate put together without a signature: the split reads, never
// verifies, so a hostile field needs no key.
UniquePtr<X509> bare_cert(const char* not_before_text, int not_before_type) {
  UniquePtr<X509> x509(X509_new());
  UniquePtr<X509_NAME> name(X509_NAME_new());
  add_raw(name.get(), NID_commonName, V_ASN1_UTF8STRING, "bare");
  X509_set_subject_name(x509.get(), name.get());
  X509_set_issuer_name(x509.get(), name.get());
  ASN1_STRING_set(X509_getm_notBefore(x509.get()), not_before_text, -1);
  X509_getm_notBefore(x509.get())->type = not_before_type;
  X509_gmtime_adj(X509_getm_notAfter(x509.get()), 0);
  return x509;
}

TEST(CertSplitHostile, BadTimesAndMissingKeyFailCleanly) {
  ASSERT_EQ(evp_provider_start(), 1);
  struct Case {
    const char* text;
    int type;
  } const cases[] = {
      {"991399000000Z", V_ASN1_UTCTIME},  // month 13
      {"99", V_ASN1_UTCTIME},
      {"20240101000000Z", V_ASN1_OCTET_STRING},
      {"", V_ASN1_GENERALIZEDTIME},
  };
  for (const Case& c : cases) {
    UniquePtr<X509> x509(bare_cert(c.text, c.type));
    ERR_clear_error();
    EXPECT_EQ(CERT_split(x509.get()), nullptr) << c.text;
    EXPECT_EQ(ERR_GET_FUNC_CODE(ERR_peek_last_error()), CADB_F_CERT_SPLIT) << c.text;
    EXPECT_EQ(ERR_GET_REASON_CODE(ERR_peek_last_error()), CADB_R_CALLED_PART) << c.text;
  }
  // Valid times and a key no provider knows: still a record, with no
  // algorithm and no size.
  UniquePtr<X509> keyless(bare_cert("240101000000Z", V_ASN1_UTCTIME));
  UniquePtr<CERT> rec(CERT_split(keyless.get()));
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->key_algorithm, 0);
  EXPECT_EQ(rec->key_bits, 0);
  EXPECT_EQ(rec->signature_algorithm, 0);
  EXPECT_EQ(rec->self_issued, 1);
  EXPECT_EQ(civil(rec->not_before), (Civil{124, 0, 1, 0, 0, 0}));
  EXPECT_EQ(CERT_split(nullptr), nullptr);
  ERR_clear_error();
}

// A CRL put together without a signature, with one revoked entry whose
// revocation time is the given text.
UniquePtr<X509_CRL> bare_crl(const char* revoked_time, bool with_next_update) {
  UniquePtr<X509_CRL> crl(X509_CRL_new());
  UniquePtr<X509_NAME> name(X509_NAME_new());
  add_raw(name.get(), NID_commonName, V_ASN1_UTF8STRING, "issuer");
  X509_CRL_set_issuer_name(crl.get(), name.get());
  UniquePtr<ASN1_STRING> now(X509_gmtime_adj(nullptr, 0));
  X509_CRL_set1_lastUpdate(crl.get(), now.get());
  if (with_next_update) X509_CRL_set1_nextUpdate(crl.get(), now.get());
  X509_REVOKED* r = X509_REVOKED_new();
  UniquePtr<ASN1_STRING> serial(ASN1_INTEGER_new());
  ASN1_INTEGER_set(serial.get(), 42);
  X509_REVOKED_set_serialNumber(r, serial.get());
  UniquePtr<ASN1_STRING> when(ASN1_STRING_type_new(V_ASN1_UTCTIME));
  ASN1_STRING_set(when.get(), revoked_time, -1);
  X509_REVOKED_set_revocationDate(r, when.get());
  X509_CRL_add0_revoked(crl.get(), r);
  return crl;
}

TEST(CrlSplitHostile, BadRevocationTimeFailsAndNextUpdateIsOptional) {
  struct Case {
    const char* revoked_time;
    bool next_update;
    bool ok;
  } const cases[] = {
      {"240229120000Z", true, true},
      {"240229120000Z", false, true},
      {"241301000000Z", true, false},  // month 13
      {"2402", false, false},
  };
  for (const Case& c : cases) {
    UniquePtr<X509_CRL> x509_crl(bare_crl(c.revoked_time, c.next_update));
    ERR_clear_error();
    UniquePtr<CRL> crl(CRL_split(x509_crl.get()));
    EXPECT_EQ(crl != nullptr, c.ok) << c.revoked_time;
    if (!crl) {
      EXPECT_EQ(ERR_GET_FUNC_CODE(ERR_peek_last_error()), CADB_F_CRL_SPLIT);
      continue;
    }
    EXPECT_EQ(crl->next_update != nullptr, c.next_update);
    ASSERT_EQ(sk_REVOKED_num(crl->revoked), 1);
    const REVOKED* r = sk_REVOKED_value(crl->revoked, 0);
    EXPECT_EQ(bytes_of(r->serial), integer_bytes(42));
    EXPECT_EQ(civil(r->revocation_date), (Civil{124, 1, 29, 12, 0, 0}));
  }
  EXPECT_EQ(CRL_split(nullptr), nullptr);
  ERR_clear_error();
}

// The public key's algorithm set by hand: parameters absent, NULL, or present.
TEST(CertSplitKeyParameters, MissingParametersOfDsaAndGostKeysAreFlagged) {
  ASSERT_EQ(evp_provider_start(), 1);
  struct Case {
    int key_number;  // the system's object number of the key algorithm
    int ptype;
    int want_missing;
  } const cases[] = {
      {SYSOBJ_R3410, V_ASN1_UNDEF, 1},      {SYSOBJ_R3410, V_ASN1_NULL, 1}, {SYSOBJ_ECR3410, V_ASN1_UNDEF, 1},
      {SYSOBJ_R3410, V_ASN1_SEQUENCE, 0},   {NID_dsa, V_ASN1_UNDEF, 1},     {NID_rsaEncryption, V_ASN1_NULL, 0},
      {NID_rsaEncryption, V_ASN1_UNDEF, 0},
  };
  for (const Case& c : cases) {
    UniquePtr<X509> x509(bare_cert("240101000000Z", V_ASN1_UTCTIME));
    X509_PUBKEY* pub = const_cast<X509_PUBKEY*>(X509_get_X509_PUBKEY(x509.get()));
    ASN1_STRING* params = nullptr;
    if (c.ptype == V_ASN1_SEQUENCE) {
      params = ASN1_STRING_new();
      ASN1_STRING_set(params, "\x30\x00", 2);
    }
    const int nid = sysobj_nid(c.key_number);
    ASSERT_NE(nid, NID_undef);
    static const unsigned char kBits[3] = {0x04, 0x01, 0x02};
    auto* bits = static_cast<unsigned char*>(OPENSSL_memdup(kBits, sizeof kBits));
    ASSERT_EQ(X509_PUBKEY_set0_param(pub, OBJ_nid2obj(nid), c.ptype, params, bits, 3), 1);
    UniquePtr<CERT> rec(CERT_split(x509.get()));
    ASSERT_TRUE(rec) << c.key_number;
    EXPECT_EQ(rec->key_algorithm, c.key_number);
    EXPECT_EQ(rec->key_params_missing, c.want_missing) << c.key_number << " type " << c.ptype;
    EXPECT_EQ(rec->key_bits, 0) << "three bytes are no key of any kind";
    ASSERT_NE(rec->fingerprint, nullptr);
    unsigned char want[32];
    unsigned int want_length = 0;
    ASSERT_EQ(EVP_Digest(kBits, sizeof kBits, want, &want_length, EVP_rus_hash(), nullptr), 1);
    EXPECT_EQ(bytes_of(rec->fingerprint), Bytes(want, want + want_length));
  }
  ERR_clear_error();
}

TEST(CertRecordLifetime, ClearAndFreeTakeTheIssuerChain) {
  UniquePtr<CERT> leaf(CERT_new());
  ASSERT_TRUE(leaf);
  EXPECT_EQ(leaf->self_issued, -1);
  EXPECT_EQ(leaf->valid, -1);
  // A long chain of issuer records with every owned member set; the
  // sanitizer build reports anything left behind.
  CERT* at = leaf.get();
  for (int i = 0; i < 10000; ++i) {
    at->issuer_record = CERT_new();
    at = at->issuer_record;
    at->serial = BUFFER_new();
    ASSERT_EQ(BUFFER_fill(at->serial, "\x01\x02", 2), 1);
    at->subject = ATTRIBUTE_add(nullptr, 13, "x", -1, V_ASN1_UTF8STRING);
    at->errors = sk_X509_VERIFY_ERROR_new_null();
    X509_VERIFY_ERROR* e = X509_VERIFY_ERROR_new();
    e->error = 24;
    e->text = BUFFER_new();
    sk_X509_VERIFY_ERROR_push(at->errors, e);
    at->crl = X509_CRL_new();
  }
  CERT_clear(leaf.get());
  EXPECT_EQ(leaf->issuer_record, nullptr);
  EXPECT_EQ(leaf->valid, 0) << "cleared records are zeroed";
  CERT_free(nullptr);
  CRL_free(nullptr);
  REVOKED_free(nullptr);
}

}  // namespace
}  // namespace qcrypto
