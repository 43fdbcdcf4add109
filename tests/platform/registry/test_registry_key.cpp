#include <gtest/gtest.h>

#include "platform/registry/registry_key.h"
#include "platform/registry/string_list.h"
#include "tests/platform/registry/registry_test_util.h"

namespace platform::reg {
namespace {

class RegistryKeyTest : public testing::ScratchRegistry {
 protected:
  void SetUp() override {
    ScratchRegistry::SetUp();
    ASSERT_TRUE(key_.CreateKey(HKEY_CURRENT_USER, "SOFTWARE\\VELTRANA\\ORVANTA\\Dossar\\Property\\Encript"));
  }
  RegistryKey key_;
};

std::vector<std::uint8_t> bytes(std::initializer_list<int> b) {
  std::vector<std::uint8_t> out;
  for (int x : b) out.push_back(static_cast<std::uint8_t>(x));
  return out;
}

TEST(SerialisedStringList, ByteLayout) {
  struct Case {
    std::vector<std::string> list;
    std::vector<std::uint8_t> head;  // the leading bytes expected
    std::size_t total;
  };
  const Case cases[] = {
      {{}, bytes({0, 0}), 2},
      {{"", "ab"}, bytes({2, 0, 0, 2, 'a', 'b'}), 6},
      {{std::string(0xFE, 'x')}, bytes({1, 0, 0xFE, 'x'}), 3 + 0xFE},
      {{std::string(0xFF, 'x')}, bytes({1, 0, 0xFF, 0xFF, 0x00, 'x'}), 5 + 0xFF},
      {{std::string(0xFFFD, 'x')}, bytes({1, 0, 0xFF, 0xFD, 0xFF, 'x'}), 5 + 0xFFFD},
      // 0xFFFE is the wide-string marker of the framework: the 32-bit form.
      {{std::string(0xFFFE, 'x')}, bytes({1, 0, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0, 0, 'x'}), 9 + 0xFFFE},
      {{std::string(0xFFFF, 'x')}, bytes({1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 'x'}), 9 + 0xFFFF},
      {std::vector<std::string>(0xFFFE), bytes({0xFE, 0xFF, 0, 0}), 2 + 0xFFFE},
      {std::vector<std::string>(0xFFFF), bytes({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0}), 6 + 0xFFFF},
  };
  for (const auto& c : cases) {
    const auto out = serialize_string_list(c.list);
    ASSERT_EQ(out.size(), c.total) << c.list.size();
    EXPECT_TRUE(std::equal(c.head.begin(), c.head.end(), out.begin())) << c.list.size();
    const auto back = parse_string_list(out);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, c.list);
  }
}

TEST(SerialisedStringList, HostileBytesAreRefused) {
  const std::vector<std::uint8_t> cases[] = {
      bytes({}),
      bytes({1}),
      bytes({1, 0}),                                            // one string announced, none there
      bytes({1, 0, 5, 'a', 'b'}),                               // length past the end
      bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0}),           // a huge count in 7 bytes
      bytes({1, 0, 0xFF, 0xFE, 0xFF, 'a'}),                     // the wide-string marker
      bytes({1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),  // 4 GiB string
      bytes({1, 0, 1, 'a', 'z'}),                               // bytes after the list
  };
  for (const auto& c : cases) EXPECT_FALSE(parse_string_list(c).has_value()) << c.size();
}

TEST_F(RegistryKeyTest, RecordsTypeSizeAndErrorOfTheLastCall) {
  EXPECT_EQ(key_.key_path(), "SOFTWARE\\VELTRANA\\ORVANTA\\Dossar\\Property\\Encript");
  EXPECT_EQ(key_.last_type(), 0u);
  ASSERT_TRUE(key_.SetString("Name", "abc"));
  EXPECT_EQ(key_.last_type(), REG_SZ);
  EXPECT_EQ(key_.last_size(), 4u);  // the terminator is stored
  ASSERT_TRUE(key_.SetDword("IsAuto", 0x01020304));
  EXPECT_EQ(key_.last_size(), 4u);
  std::uint32_t w = 0;
  ASSERT_TRUE(key_.QueryDword("isauto", w));
  EXPECT_EQ(w, 0x01020304u);
  EXPECT_FALSE(key_.QueryDword("none", w));
  EXPECT_EQ(key_.last_error(), ERROR_FILE_NOT_FOUND);

  RegistryKey other;
  EXPECT_FALSE(other.OpenKey(HKEY_CURRENT_USER, "SOFTWARE\\Nobody"));
  EXPECT_EQ(other.last_error(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(other.SetDword("x", 1));  // nothing open
  ASSERT_TRUE(other.OpenKey(HKEY_CURRENT_USER, "SOFTWARE\\VELTRANA"));
  ASSERT_TRUE(other.Open("ORVANTA\\Dossar\\Property\\Encript"));  // below the key held
  ASSERT_TRUE(other.QueryDword("IsAuto", w));
}

TEST_F(RegistryKeyTest, QueriesOfTheWrongTypeFailAndLeaveTheOutputAlone) {
  ASSERT_TRUE(key_.SetString("Text", "1"));
  ASSERT_TRUE(key_.SetDword("Word", 5));
  std::uint32_t w = 77;
  EXPECT_FALSE(key_.QueryDword("Text", w));
  EXPECT_EQ(key_.last_error(), ERROR_INVALID_DATATYPE);
  EXPECT_EQ(w, 77u);
  std::string s = "keep";
  EXPECT_FALSE(key_.QueryString("Word", s));
  EXPECT_EQ(s, "keep");
}

TEST_F(RegistryKeyTest, StringLimit) {
  struct Case {
    std::string text;
    bool readable;
  };
  std::string cyr;
  for (int i = 0; i < 100; ++i) cyr += "Ж";  // a sorting folder of 100 Cyrillic letters
  const Case cases[] = {
      {std::string(250, 'a'), true},
      {"/home/user/" + cyr, true},
      {std::string(kMaxStringBytes - 1, 'a'), true},
      {std::string(kMaxStringBytes, 'a'), false},  // with its terminator one byte too long
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(key_.SetString("Path", c.text));
    std::string out = "unchanged";
    EXPECT_EQ(key_.QueryString("Path", out), c.readable) << c.text.size();
    EXPECT_EQ(out, c.readable ? c.text : std::string("unchanged"));
  }
}

TEST_F(RegistryKeyTest, BinaryQueries) {
  std::vector<std::uint8_t> buf;
  EXPECT_FALSE(key_.QueryBinary("missing", buf));
  EXPECT_TRUE(buf.empty());  // nothing allocated
  const std::uint8_t der[] = {0x30, 0x03, 0x02, 0x01, 0x07};
  ASSERT_TRUE(key_.SetBinary("SerNum", der, sizeof(der)));
  ASSERT_TRUE(key_.QueryBinary("SerNum", buf));
  EXPECT_EQ(buf, std::vector<std::uint8_t>(der, der + sizeof(der)));
  std::vector<std::uint8_t> small(2, 0xEE);
  EXPECT_FALSE(key_.QueryBinary("SerNum", small));
  EXPECT_EQ(key_.last_error(), ERROR_MORE_DATA);
  EXPECT_EQ(small, std::vector<std::uint8_t>(2, 0xEE));
  ASSERT_TRUE(key_.SetBinary("Zero", nullptr, 0));
  std::vector<std::uint8_t> none;
  EXPECT_FALSE(key_.QueryBinary("Zero", none));
  EXPECT_TRUE(none.empty());
}

TEST_F(RegistryKeyTest, ObjectsRoundTripWithinTheirLimit) {
  const std::vector<std::string> users = {"0A1B", "Иванов", ""};
  ASSERT_TRUE(key_.SetObject("Users", users));
  std::vector<std::string> got = {"old"};
  ASSERT_TRUE(key_.QueryObject("Users", got));
  EXPECT_EQ(got, users);

  // A REG_SZ of that name: success, list untouched.
  ASSERT_TRUE(key_.SetString("Users", "text"));
  got = {"old"};
  EXPECT_TRUE(key_.QueryObject("Users", got));
  EXPECT_EQ(got, std::vector<std::string>{"old"});

  // Beyond the old 4,096 bytes: read back whole.
  const std::vector<std::string> many(20, std::string(250, 'u'));
  ASSERT_TRUE(key_.SetObject("Users", many));
  EXPECT_GT(key_.last_size(), 4096u);
  ASSERT_TRUE(key_.QueryObject("Users", got));
  EXPECT_EQ(got, many);

  // Longer than the limit: not written (the stored list stays), and a value
  // that long written otherwise is not read back.
  got = {"old"};
  const std::vector<std::string> huge(5, std::string(kMaxObjectBytes / 4, 'h'));
  EXPECT_FALSE(key_.SetObject("Users", huge));
  EXPECT_EQ(key_.last_error(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(key_.QueryObject("Users", got));
  EXPECT_EQ(got, many);
  const std::vector<std::uint8_t> big(kMaxObjectBytes + 1, 0);
  ASSERT_TRUE(key_.SetBinary("Users", big.data(), static_cast<std::uint32_t>(big.size())));
  got = {"old"};
  EXPECT_FALSE(key_.QueryObject("Users", got));
  EXPECT_EQ(got, std::vector<std::string>{"old"});

  // Damaged bytes: a failed read, not an empty list.
  const std::uint8_t bad[] = {3, 0, 1, 'a'};
  ASSERT_TRUE(key_.SetBinary("Users", bad, sizeof(bad)));
  EXPECT_FALSE(key_.QueryObject("Users", got));
  EXPECT_EQ(got, std::vector<std::string>{"old"});
}

}  // namespace
}  // namespace platform::reg
