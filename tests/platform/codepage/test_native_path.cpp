#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <set>

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
      {"D:\\Keys\\mk.db3", std::nullopt},
      {"z:/x", std::nullopt},
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

// Mountinfo lines as the kernel writes them, the removable-media folder
// /media/u. The root's own line, another user's medium and a mount point
// that only begins like the folder are not media.
std::string mount_line(int id, const std::string& point) {
  return std::to_string(id) + " 1 8:1 / " + point + " rw,nosuid,nodev shared:1 - vfat /dev/sdb1 rw\n";
}
const std::string kBase = mount_line(20, "/") + mount_line(21, "/media/u") + mount_line(22, "/media/other/STICK") +
                          mount_line(23, "/media/uu/X") + "garbage line\n" + "24 1 8:1 /\n";

std::set<std::string> g_present;
bool fixture_exists(const std::string& path) { return g_present.count(path) != 0; }

TEST(NativePath, DriveLettersOverMountinfoFixtures) {
  struct Case {
    const char* what;
    std::string mountinfo;
    const char* in;
    std::optional<std::string> out;
  };
  const std::string one = kBase + mount_line(30, "/media/u/STICK");
  // Listed out of order and twice: sorted by name, each once.
  const std::string several =
      kBase + mount_line(31, "/media/u/ZED") + mount_line(32, "/media/u/ALPHA") + mount_line(33, "/media/u/ZED");
  const std::string blank = kBase + mount_line(34, "/media/u/MY\\040DISK");
  g_present = {"/media/u/ZED/keys/mk.db3"};
  const Case cases[] = {
      {"no medium", kBase, "A:\\", std::nullopt},
      {"no medium, a folder", kBase, "a:\\keys", std::nullopt},
      {"one medium", one, "A:\\", "/media/u/STICK"},
      {"one medium, lower case", one, "a:\\keys\\mk.db3", "/media/u/STICK/keys/mk.db3"},
      {"several, the one holding the rest", several, "A:\\keys\\mk.db3", "/media/u/ZED/keys/mk.db3"},
      {"several, none holds it: the first", several, "A:\\other", "/media/u/ALPHA/other"},
      {"several, the medium itself", several, "A:", "/media/u/ALPHA"},
      {"escaped blank", blank, "A:\\keys", "/media/u/MY DISK/keys"},
      {"home", kBase, "C:\\keys", "/home/u/keys"},
      {"home, lower case, slashes", kBase, "c:/keys/", "/home/u/keys/"},
      {"home itself", kBase, "C:\\", "/home/u"},
      {"home, Cyrillic", kBase, "C:\\\xCA\xEB\xFE\xF7", "/home/u/\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87"},
      {"other drive", one, "D:\\x", std::nullopt},
      {"other drive, lower case", one, "b:\\x", std::nullopt},
      {"control character after the drive", one, "A:\\a\x01", std::nullopt},
      {"control character at home", kBase, "C:\\a\nb", std::nullopt},
  };
  for (const auto& c : cases) {
    platform::DriveContext context{"/home/u", "/media/u", c.mountinfo, fixture_exists};
    EXPECT_EQ(platform::native_path(c.in, context), c.out) << c.what;
  }
}

TEST(NativePath, MountinfoFieldsAndEscapes) {
  const std::string text = mount_line(1, "/") + mount_line(2, "/a\\040b\\011c\\134d") + "3 1 8:1 / \n" + "short\n";
  const std::vector<std::string> points = platform::mountinfo_mount_points(text);
  EXPECT_EQ(points, (std::vector<std::string>{"/", "/a b\tc\\d"}));
  EXPECT_TRUE(platform::removable_mounts(text, "relative").empty());
}

TEST(NativePath, TheMachinesMountinfoParses) {
  std::ifstream in("/proc/self/mountinfo");
  ASSERT_TRUE(in) << "no /proc/self/mountinfo";
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  const std::vector<std::string> points = platform::mountinfo_mount_points(text);
  ASSERT_FALSE(points.empty());
  EXPECT_NE(std::find(points.begin(), points.end(), "/"), points.end());
  for (const std::string& p : points) EXPECT_EQ(p.front(), '/') << p;
}

// The process's own context: the home folder from $HOME, the media below
// $DOSSAR_REMOVABLE_ROOT; nothing is mounted below a fresh folder.
TEST(NativePath, TheProcessContext) {
  const char* home = getenv("HOME");
  const std::string saved = home != nullptr ? home : "";
  setenv("HOME", "/home/tester", 1);
  setenv("DOSSAR_REMOVABLE_ROOT", "/nonexistent/dossar-media", 1);
  EXPECT_EQ(platform::native_path("C:\\keys"), std::optional<std::string>("/home/tester/keys"));
  EXPECT_EQ(platform::native_path("A:\\keys"), std::nullopt);
  EXPECT_EQ(platform::removable_media_root(), "/nonexistent/dossar-media");
  setenv("HOME", "relative", 1);
  EXPECT_EQ(platform::native_path("C:\\keys"), std::optional<std::string>("/keys"));
  unsetenv("DOSSAR_REMOVABLE_ROOT");
  if (home != nullptr) setenv("HOME", saved.c_str(), 1);
}

}  // namespace
