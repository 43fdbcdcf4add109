#include <gtest/gtest.h>
#include <openssl/err.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/v3ext/crmf_certid.h"

namespace qcrypto {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes encode(const CRMF_CERTID* id) {
  const int n = i2d_CRMF_CERTID(id, nullptr);
  Bytes out(static_cast<std::size_t>(n > 0 ? n : 0));
  unsigned char* p = out.data();
  EXPECT_EQ(i2d_CRMF_CERTID(id, &p), n);
  EXPECT_EQ(p, out.data() + out.size());
  return out;
}

UniquePtr<CRMF_CERTID> make(int type, const char* text, long serial) {
  UniquePtr<CRMF_CERTID> id(CRMF_CERTID_new());
  EXPECT_NE(id, nullptr);
  ASN1_IA5STRING* s = ASN1_IA5STRING_new();
  ASN1_STRING_set(s, text, -1);
  GENERAL_NAME_set0_value(id->issuer, type, s);
  ASN1_INTEGER_set(id->serialNumber, serial);
  return id;
}

TEST(CrmfCertId, RoundTrips) {
  struct Case {
    int type;
    const char* issuer;
    long serial;
    const char* der;  // hex
  };
  const Case cases[] = {
      {GEN_EMAIL, "ca@example.ru", 1, "301281 0D6361406578616D706C652E7275020101"},
      {GEN_DNS, "ca", 0x1234, "30088202636102021234"},
      {GEN_URI, "u", -1, "30068601750201FF"},
  };
  for (const auto& c : cases) {
    auto id = make(c.type, c.issuer, c.serial);
    const Bytes der = encode(id.get());
    std::string hex;
    for (const unsigned char b : der) {
      char h[3];
      std::snprintf(h, sizeof h, "%02X", b);
      hex += h;
    }
    std::string want = c.der;
    std::erase(want, ' ');
    EXPECT_EQ(hex, want) << c.issuer;

    const unsigned char* p = der.data();
    UniquePtr<CRMF_CERTID> back(d2i_CRMF_CERTID(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(p, der.data() + der.size());
    EXPECT_EQ(GENERAL_NAME_cmp(back->issuer, id->issuer), 0);
    EXPECT_EQ(ASN1_INTEGER_cmp(back->serialNumber, id->serialNumber), 0);
    EXPECT_EQ(ASN1_INTEGER_get(back->serialNumber), c.serial);
  }
  EXPECT_EQ(CRMF_CERTID_method()->i2d, &i2d_CRMF_CERTID);
  EXPECT_EQ(CRMF_CERTID_method()->d2i, &d2i_CRMF_CERTID);
}

TEST(CrmfCertId, HostileInputRefusedAndCallerRecordKept) {
  auto id = make(GEN_EMAIL, "a@b", 1);
  const Bytes good = encode(id.get());
  std::vector<std::pair<std::string, Bytes>> bad;
  // Every truncation.
  for (std::ptrdiff_t n = 1; n < std::ssize(good); ++n)
    bad.emplace_back("truncated", Bytes(good.begin(), good.begin() + n));
  // A third element inside the SEQUENCE.
  Bytes third = good;
  third[1] = static_cast<unsigned char>(third[1] + 2);
  third.insert(third.end(), {0x05, 0x00});
  bad.emplace_back("third element", third);
  // Wrong outer tag, indefinite length, length beyond the input, swapped order.
  Bytes set = good;
  set[0] = 0x31;
  bad.emplace_back("SET tag", set);
  Bytes indefinite = good;
  indefinite[1] = 0x80;
  indefinite.insert(indefinite.end(), {0x00, 0x00});
  bad.emplace_back("indefinite length", indefinite);
  Bytes longer = good;
  longer[1] = static_cast<unsigned char>(longer[1] + 1);
  bad.emplace_back("length past the end", longer);
  bad.emplace_back("serial first", Bytes{0x30, 0x08, 0x02, 0x01, 0x01, 0x81, 0x03, 'a', '@', 'b'});
  bad.emplace_back("empty", Bytes{});
  bad.emplace_back("huge length", Bytes{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF});

  for (const auto& [what, der] : bad) {
    CRMF_CERTID* keep = id.get();
    CRMF_CERTID* slot = keep;
    const unsigned char* p = der.data();
    ERR_clear_error();
    EXPECT_EQ(d2i_CRMF_CERTID(&slot, &p, static_cast<long>(der.size())), nullptr) << what;
    EXPECT_EQ(slot, keep) << what;
    EXPECT_EQ(p, der.data()) << what;
    EXPECT_NE(ERR_peek_error(), 0UL) << what;
  }
  // The caller's record was left whole.
  EXPECT_EQ(encode(id.get()), good);
}

TEST(CrmfCertId, DecodeIntoCallerSlotReplacesIt) {
  auto id = make(GEN_DNS, "x", 9);
  const Bytes der = encode(id.get());
  CRMF_CERTID* slot = CRMF_CERTID_new();
  const unsigned char* p = der.data();
  CRMF_CERTID* got = d2i_CRMF_CERTID(&slot, &p, static_cast<long>(der.size()));
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got, slot);
  EXPECT_EQ(ASN1_INTEGER_get(slot->serialNumber), 9);
  CRMF_CERTID_free(slot);
  CRMF_CERTID_free(nullptr);
}

}  // namespace
}  // namespace qcrypto
