// The code-page tables are held to glibc's iconv, an independent converter
// that the product itself never uses.
#include <gtest/gtest.h>
#include <iconv.h>

#include <random>
#include <string>

#include "platform/codepage/codepage.h"

namespace {

using platform::CodePage;

// Converts with iconv; nullopt when iconv refuses the input.
std::optional<std::string> iconv_convert(const char* to, const char* from, const std::string& in) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  const size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1)) return std::nullopt;
  out.resize(out.size() - dst_left);
  return out;
}

struct CodePageCase {
  CodePage cp;
  const char* iconv_name;
};

const CodePageCase kCodePages[] = {
    {CodePage::Windows1251, "CP1251"},
    {CodePage::Koi8R, "KOI8-R"},
    {CodePage::Cp866, "CP866"},
};

class LocalCodePage : public ::testing::Test {
 protected:
  void TearDown() override { platform::set_local_codepage(CodePage::Windows1251); }
};

TEST(CodePageTables, EveryByteMatchesIconv) {
  for (const auto& c : kCodePages) {
    for (int b = 0; b < 256; ++b) {
      const std::string byte(1, static_cast<char>(b));
      const auto ref = iconv_convert("UTF-8", c.iconv_name, byte);
      if (c.cp == CodePage::Windows1251 && b == 0x98) {
        // Unassigned in Windows-1251; iconv refuses it, the system converter
        // gives U+0098, which the round trip below relies on.
        EXPECT_FALSE(ref.has_value());
        EXPECT_EQ(platform::codepage_to_unicode(c.cp, 0x98), u'\u0098');
        continue;
      }
      ASSERT_TRUE(ref.has_value()) << c.iconv_name << " byte " << b;
      EXPECT_EQ(platform::utf16_to_utf8(platform::decode_codepage(c.cp, byte)), *ref)
          << c.iconv_name << " byte 0x" << std::hex << b;
    }
  }
}

TEST_F(LocalCodePage, AllBytesRoundTripThroughUtf8) {
  for (const auto& c : kCodePages) {
    platform::set_local_codepage(c.cp);
    std::string all;
    for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
    const std::string utf8 = platform::ansi_to_utf8(all);
    EXPECT_GT(utf8.size(), all.size());  // the upper half takes two or three bytes
    EXPECT_EQ(platform::utf8_to_ansi(utf8), all) << c.iconv_name;
    for (int b = 0; b < 256; ++b) {
      const std::string one(1, static_cast<char>(b));
      EXPECT_EQ(platform::utf8_to_ansi(platform::ansi_to_utf8(one)), one) << c.iconv_name << " byte " << b;
    }
  }
}

TEST_F(LocalCodePage, SettingChoosesTheTable) {
  const std::string utf8_yo = "\xD0\x81";  // Ё
  EXPECT_EQ(platform::local_codepage(), CodePage::Windows1251);
  EXPECT_EQ(platform::utf8_to_ansi(utf8_yo), "\xA8");
  platform::set_local_codepage(CodePage::Koi8R);
  EXPECT_EQ(platform::utf8_to_ansi(utf8_yo), "\xB3");
  platform::set_local_codepage(CodePage::Cp866);
  EXPECT_EQ(platform::utf8_to_ansi(utf8_yo), "\xF0");
  platform::set_local_codepage(static_cast<CodePage>(65001));  // not a table: ignored
  EXPECT_EQ(platform::local_codepage(), CodePage::Cp866);
}

TEST(CodePageTables, CharactersOutsideTheCodePageBecomeQuestionMarks) {
  // Greek alpha, CJK, an emoji (surrogate pair), then a Cyrillic letter.
  const std::u16string text = u"\u03B1\u4E2D\U0001F600\u0416";
  EXPECT_EQ(platform::encode_codepage(CodePage::Windows1251, text), "???\xC6");
}

struct Utf8Case {
  const char* name;
  std::string in;
  std::u16string out;
};

TEST(Utf8Codec, InvalidSequencesBecomeOneReplacementEach) {
  const Utf8Case cases[] = {
      {"ascii", "abc", u"abc"},
      {"two-byte", "\xD0\x96", u"\u0416"},
      {"four-byte", "\xF0\x9F\x98\x80", u"\U0001F600"},
      {"stray continuation", "a\x80z", u"a\uFFFDz"},
      {"truncated at end", "a\xE2\x82", u"a\uFFFD"},
      {"truncated before ascii", "\xE2\x82z", u"\uFFFDz"},
      {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
      {"overlong three-byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
      {"surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"FF byte", "\xFF", u"\uFFFD"},
      {"lead then lead", "\xD0\xD0\x96", u"\uFFFD\u0416"},
      {"embedded NUL", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::utf8_to_utf16(c.in), c.out) << c.name;
  }
}

TEST(Utf8Codec, UnpairedSurrogatesEncodeAsReplacement) {
  const std::u16string text{u'a', char16_t(0xD800), u'b', char16_t(0xDC00)};
  EXPECT_EQ(platform::utf16_to_utf8(text),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
}

TEST(Utf8Codec, RandomTextMatchesIconvBothWays) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<uint32_t> pick(0, 0x10FFFF);
  for (int round = 0; round < 200; ++round) {
    std::u16string text;
    for (int i = 0; i < 40; ++i) {
      uint32_t cp = pick(rng);
      if (round % 2) cp &= 0x7FF;  // half the rounds stay in the two-byte range
      if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0x20;
      if (cp == 0) cp = 1;
      if (cp < 0x10000) {
        text.push_back(static_cast<char16_t>(cp));
      } else {
        text.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
        text.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
      }
    }
    std::string le;
    for (char16_t u : text) {
      le.push_back(static_cast<char>(u & 0xFF));
      le.push_back(static_cast<char>(u >> 8));
    }
    const auto ref = iconv_convert("UTF-8", "UTF-16LE", le);
    ASSERT_TRUE(ref.has_value());
    EXPECT_EQ(platform::utf16_to_utf8(text), *ref);
    EXPECT_EQ(platform::utf8_to_utf16(*ref), text);
  }
}

TEST(BmpString, BigEndianUnitsToLocalText) {
  EXPECT_EQ(
      platform::encode_codepage(CodePage::Windows1251, platform::utf16be_to_utf16(std::string("\x04\x10\x04\x11", 4))),
      "\xC0\xC1");
  // An odd trailing byte is not half a character.
  EXPECT_EQ(platform::utf16be_to_utf16(std::string("\x00\x41\x04", 3)), u"A");
}

TEST(CyrillicInPlace, LettersMoveAsInTheTargetTableOtherBytesStay) {
  struct Target {
    const char* iconv_name;
    void (*convert)(char*, std::size_t);
    unsigned char numero;
  };
  const Target targets[] = {
      {"KOI8-R", platform::cp1251_to_koi8r_inplace, 0xBF},
      {"CP866", platform::cp1251_to_cp866_inplace, 0xFC},
  };
  for (const auto& t : targets) {
    for (int b = 0; b < 256; ++b) {
      std::string s(1, static_cast<char>(b));
      t.convert(s.data(), s.size());
      const auto got = static_cast<unsigned char>(s[0]);
      if (b == 0xB9) {
        EXPECT_EQ(got, t.numero) << t.iconv_name;
      } else if (b == 0xA8 || b == 0xB8 || b >= 0xC0) {
        const auto utf8 = iconv_convert("UTF-8", "CP1251", std::string(1, static_cast<char>(b)));
        ASSERT_TRUE(utf8.has_value());
        const auto ref = iconv_convert(t.iconv_name, "UTF-8", *utf8);
        ASSERT_TRUE(ref.has_value());
        EXPECT_EQ(got, static_cast<unsigned char>((*ref)[0])) << t.iconv_name << " byte 0x" << std::hex << b;
      } else {
        EXPECT_EQ(got, b) << t.iconv_name;
      }
    }
  }
  // A length covers exactly that many bytes.
  std::string s = "\xC0\xC0";
  platform::cp1251_to_cp866_inplace(s.data(), 1);
  EXPECT_EQ(s, "\x80\xC0");
}

TEST(NameBytes, Windows1251PassesPrintableAsciiLettersAndThreeSigns) {
  for (int b = 0; b < 256; ++b) {
    const bool expected = (b >= 0x20 && b <= 0x7E) || b >= 0xC0 || b == 0xA8 || b == 0xB8 || b == 0xB9;
    EXPECT_EQ(platform::is_plain_name_byte(CodePage::Windows1251, static_cast<unsigned char>(b)), expected) << b;
  }
  // The same rule names the letters of the other pages: 866 keeps its
  // letters at 0x80-0xAF and 0xE0-0xEF, and its pseudographics are escaped.
  EXPECT_TRUE(platform::is_plain_name_byte(CodePage::Cp866, 0x80));
  EXPECT_FALSE(platform::is_plain_name_byte(CodePage::Cp866, 0xB0));
  EXPECT_TRUE(platform::is_plain_name_byte(CodePage::Koi8R, 0xA3));
  EXPECT_FALSE(platform::is_plain_name_byte(CodePage::Koi8R, 0xBF));
}

}  // namespace
