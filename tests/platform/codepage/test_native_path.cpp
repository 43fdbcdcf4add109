#include <gtest/gtest.h>

#include "platform/codepage/codepage.h"
#include "platform/codepage/native_path.h"

namespace {

TEST(NativePath, BackslashesBecomeSlashesAndLettersUtf8) {
  struct Case {
    const char* in;
    std::optional<std::string> out;
  };
  const Case cases[] = {
      {"/home/u/keys\\mk.db3", "/home/u/keys/mk.db3"},
      {"\\tmp\\a", "/tmp/a"},
      {"rel\\x", "rel/x"},
      {"/tmp/\xCA\xEB\xFE\xF7", "/tmp/\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87"},  // "Ключ"
      {"", std::nullopt},
      {"C:\\Keys\\mk.db3", std::nullopt},
      {"a:/x", std::nullopt},
      {"/tmp/a\nb", std::nullopt},
      {"/tmp/\x98", std::nullopt},
      {"/tmp/x:y", "/tmp/x:y"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::native_path(c.in), c.out) << c.in;
  }
}

TEST(NativePath, FollowsTheLocalCodePage) {
  platform::set_local_codepage(platform::CodePage::Koi8R);
  const auto p = platform::native_path("/\xEB");  // KOI8-R "К"
  platform::set_local_codepage(platform::CodePage::Windows1251);
  EXPECT_EQ(p, std::optional<std::string>("/\xD0\x9A"));
}

}  // namespace
