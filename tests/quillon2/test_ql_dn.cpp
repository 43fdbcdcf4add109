// The toolkit's name record: parsing one-line names into the eight fields and
// the matching rule of the certificate look-up by name.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "quillon2/ql_codes.h"
#include "quillon2/ql_dn.h"
#include "quillon2/ql_last_error.h"

namespace quillon2 {
namespace {

using Fields = std::array<const char*, QL_DN_FIELDS>;  // C, SP, L, O, OU, T, CN, Email; null = absent

std::string show(const char* text) { return text != nullptr ? "\"" + std::string(text) + "\"" : "null"; }

void expect_fields(const QL_DN& dn, const Fields& want, const std::string& context) {
  const char* const* have = QL_DN_fields(&dn);
  for (int i = 0; i < QL_DN_FIELDS; ++i) {
    EXPECT_EQ(show(have[i]), show(want[i])) << context << " field " << QL_DN_KEYS[i];
  }
}

struct ParseCase {
  const char* text;
  Fields want;
};

TEST(QlDn, ParseTable) {
  const ParseCase cases[] = {
      {"/C=RU/O=Org/CN=Name", {"RU", nullptr, nullptr, "Org", nullptr, nullptr, "Name", nullptr}},
      // A "/" that no key follows belongs to the value.
      {"/CN=A/B", {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "A/B", nullptr}},
      {"/CN=A/B/O=x/y", {nullptr, nullptr, nullptr, "x/y", nullptr, nullptr, "A/B", nullptr}},
      // Every key, in an order other than the record's.
      {"/Email=a@b.ru/CN=\xC8\xE2\xE0\xED\xEE\xE2/T=Boss/OU=Unit/O=Firm/L=City/SP=Region/C=RU",
       {"RU", "Region", "City", "Firm", "Unit", "Boss", "\xC8\xE2\xE0\xED\xEE\xE2", "a@b.ru"}},
      // No key markers at all.
      {"CN=Name, O=Org", {}},
      {"", {}},
      {"/", {}},
      // OpenSSL's own short names are not the system's.
      {"/ST=Region/title=Boss/emailAddress=a@b.ru/CN=N",
       {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "N", nullptr}},
      // Keys are case-sensitive; "OU" is not "O", "CN" is not "C".
      {"/cn=low/OU=Unit/CN=Up", {nullptr, nullptr, nullptr, nullptr, "Unit", nullptr, "Up", nullptr}},
      // Empty values stay null.
      {"/C=/O=Org/CN=", {nullptr, nullptr, nullptr, "Org", nullptr, nullptr, nullptr, nullptr}},
      // The first occurrence of a key wins; a repeated key ends the value before it.
      {"/OU=One/OU=Two/CN=N", {nullptr, nullptr, nullptr, nullptr, "One", nullptr, "N", nullptr}},
      // An "=" inside a value ends it there.
      {"/CN=a=b/O=x", {nullptr, nullptr, nullptr, "x", nullptr, nullptr, "a", nullptr}},
      // Escapes of bytes are kept as written.
      {"/CN=\\x01tab/O=x", {nullptr, nullptr, nullptr, "x", nullptr, nullptr, "\\x01tab", nullptr}},
      // Escaped separators are part of the value and come out unescaped.
      {"/CN=Ivan\\/O\\=Central Bank",
       {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "Ivan/O=Central Bank", nullptr}},
      {"/CN=Ivan/O=Central Bank", {nullptr, nullptr, nullptr, "Central Bank", nullptr, nullptr, "Ivan", nullptr}},
      {"/CN=a\\\\/O=b", {nullptr, nullptr, nullptr, "b", nullptr, nullptr, "a\\", nullptr}},
      {"/CN=a\\\\\\/O\\=b", {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "a\\/O=b", nullptr}},
      {"/CN=x\\=y/O=z", {nullptr, nullptr, nullptr, "z", nullptr, nullptr, "x=y", nullptr}},
      // A backslash that escapes nothing stays.
      {"/CN=C:\\dir", {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "C:\\dir", nullptr}},
  };
  for (const ParseCase& c : cases) {
    QL_DN dn{};
    ASSERT_EQ(QL_DN_parse(c.text, &dn), QL_OK) << c.text;
    expect_fields(dn, c.want, c.text);
    QL_DN_clear(&dn);
    expect_fields(dn, Fields{}, "cleared");
  }
}

TEST(QlDn, ParseRefusesNullArguments) {
  QL_DN dn{};
  EXPECT_EQ(QL_DN_parse(nullptr, &dn), QL_ERR_ARGUMENT);
  EXPECT_EQ(QL_DN_parse("/CN=x", nullptr), QL_ERR_ARGUMENT);
}

TEST(QlDn, FromText) {
  QL_set_last_error(77);
  qcrypto::UniquePtr<QL_DN> dn(QL_DN_from_text("/C=RU/CN=Name"));
  ASSERT_NE(dn, nullptr);
  EXPECT_EQ(QL_get_last_error(), QL_OK);
  expect_fields(*dn, {"RU", nullptr, nullptr, nullptr, nullptr, nullptr, "Name", nullptr}, "from text");
  EXPECT_EQ(QL_DN_from_text(nullptr), nullptr);
  EXPECT_EQ(QL_get_last_error(), QL_ERR_ARGUMENT);
  // A text without keys is a record with nothing in it, not a failure.
  qcrypto::UniquePtr<QL_DN> empty(QL_DN_from_text("no keys here"));
  ASSERT_NE(empty, nullptr);
  expect_fields(*empty, Fields{}, "no keys");
}

struct MatchCase {
  const char* wanted;
  const char* candidate;
  int want;
};

TEST(QlDn, MatchTable) {
  const MatchCase cases[] = {
      {"/CN=X", "/CN=X/O=Y", 1},
      {"/CN=X", "/CN=x", 0},
      {"/CN=X/O=Y", "/CN=X/O=Y", 1},
      {"/CN=X/O=Y", "/CN=X/O=Z", 0},
      // A field empty in either record does not count.
      {"/CN=X/O=Y", "/CN=X", 1},
      {"/CN=X/Email=a@b.ru", "/Email=a@b.ru", 1},
      {"/CN=X", "/O=Y", 1},
      // A wanted record without any field matches nothing.
      {"", "/CN=X", 0},
      {"/CN=", "/CN=X", 0},
      // Byte-wise: trailing blanks and the code page's letters count.
      {"/CN=X ", "/CN=X", 0},
      {"/CN=\xC8\xE2\xE0\xED", "/CN=\xC8\xE2\xE0\xED/C=RU", 1},
      {"/CN=\xC8\xE2\xE0\xED", "/CN=\xE8\xE2\xE0\xED", 0},
  };
  for (const MatchCase& c : cases) {
    qcrypto::UniquePtr<QL_DN> wanted(QL_DN_from_text(c.wanted));
    qcrypto::UniquePtr<QL_DN> candidate(QL_DN_from_text(c.candidate));
    ASSERT_TRUE(wanted && candidate);
    EXPECT_EQ(QL_DN_match(wanted.get(), candidate.get()), c.want) << c.wanted << " against " << c.candidate;
  }
  qcrypto::UniquePtr<QL_DN> some(QL_DN_from_text("/CN=X"));
  EXPECT_EQ(QL_DN_match(nullptr, some.get()), 0);
  EXPECT_EQ(QL_DN_match(some.get(), nullptr), 0);
}

}  // namespace
}  // namespace quillon2
