#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "crypto/bio/media.h"
#include "crypto/bio/media_codes.h"

namespace qcrypto {
namespace {

namespace fs = std::filesystem;

TEST(MediaKeywords, PrefixTestIsCaseInsensitiveOverTheKeywordOnly) {
  struct Case {
    const char* path;
    MediumKind kind;
  };
  const Case cases[] = {
      {"Vexil:/3f00/e007", MediumKind::Vexil},
      {"vexil:/3f00", MediumKind::Vexil},
      {"VEXIL:/3f00", MediumKind::Vexil},
      {"vexil Reader:/3f00", MediumKind::Vexil},
      {"Vexilxyz:/3f00", MediumKind::Vexil},
      {"vxR2:/3f00", MediumKind::VxR2},
      {"VXR2 1:/3f00", MediumKind::VxR2},
      {"iButton:\\key .001", MediumKind::IButton},
      {"iBUTTON:\\key .001", MediumKind::IButton},
      {"Vexi", MediumKind::File},
      {"vxR", MediumKind::File},
      {"iButto:\\x.1", MediumKind::File},
      {" Vexil:/3f00", MediumKind::File},
      {"C:\\Keys\\mk.db3", MediumKind::File},
      {"", MediumKind::File},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(media_kind(c.path), c.kind) << c.path;
    EXPECT_EQ(media_is_vexil(c.path), c.kind == MediumKind::Vexil) << c.path;
    EXPECT_EQ(media_is_vxr2(c.path), c.kind == MediumKind::VxR2) << c.path;
    EXPECT_EQ(media_is_ibutton(c.path), c.kind == MediumKind::IButton) << c.path;
    EXPECT_EQ(media_is_token(c.path), c.kind == MediumKind::Vexil || c.kind == MediumKind::VxR2) << c.path;
  }
  EXPECT_EQ(media_is_vexil(nullptr), 0);
  EXPECT_EQ(media_is_vxr2(nullptr), 0);
  EXPECT_EQ(media_is_ibutton(nullptr), 0);
  EXPECT_EQ(media_is_token(nullptr), 0);
  EXPECT_EQ(media_exists(nullptr), 0);
}

TEST(MediaModes, ModeTextsToBioFlags) {
  struct Case {
    const char* mode;
    int flags;
  };
  const Case cases[] = {
      {"r", 3},   {"rb", 3},  {"w", 5},  {"wb", 5},  {"r+", 7}, {"rb+", 7},  {"r+b", 7}, {"wb+", 7},
      {"w+b", 7}, {"w+", -1}, {"a", -1}, {"ab", -1}, {"R", -1}, {"rb ", -1}, {"", -1},   {"rw", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(media_open_flags(c.mode), c.flags) << c.mode;
  EXPECT_EQ(media_open_flags(nullptr), -1);
}

std::string join(const char* dir, const char* name, const char* ext) {
  char out[MEDIA_PATH_MAX + 1] = "";
  return media_make_path(out, dir, name, ext);
}

TEST(MediaMakePath, JoinsWithOneSeparatorAndCutsAt260) {
  struct Case {
    const char* dir;
    const char* name;
    const char* ext;
    std::string out;
  };
  const std::string d259 = "D:\\" + std::string(256, 'd');
  const std::string d260 = d259 + "e";
  const std::string d261 = d260 + "f";
  const Case cases[] = {
      {"A:\\DB", "mk", "db3", "A:\\DB\\mk.db3"},
      {"A:/DB/", "SIGN", nullptr, "A:\\DB\\SIGN"},
      {"A:\\", nullptr, nullptr, "A:"},
      {"A:\\DB", "mk", ".db3", "A:\\DB\\mk.db3"},
      {"/home/u/keys", "mk", "db3", "\\home\\u\\keys\\mk.db3"},
      {"", "mk", "db3", "mk.db3"},
      {"", nullptr, nullptr, ""},
      {"dir", nullptr, "001", "dir\\.001"},
      // Only one trailing separator is dropped.
      {"//", nullptr, nullptr, "\\"},
      // 259 characters: the separator still fits, the name does not, and
      // the separator left at the end is removed.
      {d259.c_str(), "n", nullptr, d259},
      // 260: full, nothing more is added, not even the separator.
      {d260.c_str(), "n", "x", d260},
      // 261: cut to 260.
      {d261.c_str(), nullptr, nullptr, d260},
  };
  for (const auto& c : cases) {
    const std::string got = join(c.dir, c.name, c.ext);
    EXPECT_EQ(got, c.out) << (c.dir ? c.dir : "(null)");
    EXPECT_LE(got.size(), MEDIA_PATH_MAX);
  }
}

TEST(MediaMakePath, NullDirectoryNormalisesTheBufferInPlace) {
  char out[MEDIA_PATH_MAX + 1] = "A:/DB/sub/";
  EXPECT_STREQ(media_make_path(out, nullptr, nullptr, nullptr), "A:\\DB\\sub");
  char out2[MEDIA_PATH_MAX + 1] = "A:/DB/";
  EXPECT_STREQ(media_make_path(out2, nullptr, "mk", "db3"), "A:\\DB\\mk.db3");
}

TEST(MediaParsePath, EachMediumHasItsForm) {
  struct Case {
    const char* text;
    bool ok;
    MediumKind kind;
    std::string reader;
    int reader_number;
    std::vector<uint16_t> ids;
  };
  const Case cases[] = {
      {"Vexil:/3f00/e007", true, MediumKind::Vexil, "", -1, {0x3f00, 0xe007}},
      {"vexil:\\3F00\\E007\\", true, MediumKind::Vexil, "", -1, {0x3f00, 0xe007}},
      {"Vexil  My Reader :/3f00", true, MediumKind::Vexil, "My Reader", -1, {0x3f00}},
      {"Vexil:", true, MediumKind::Vexil, "", -1, {}},
      {"Vexil:3f00", true, MediumKind::Vexil, "", -1, {0x3f00}},
      {"Vexil:/3f0", false, MediumKind::Vexil, "", -1, {}},
      {"Vexil:/3f00e007", false, MediumKind::Vexil, "", -1, {}},
      {"Vexil:/3g00", false, MediumKind::Vexil, "", -1, {}},
      {"Vexil:/3f00//e007", false, MediumKind::Vexil, "", -1, {}},
      {"Vexil/3f00", false, MediumKind::Vexil, "", -1, {}},
      {"vxR2:/3f00", true, MediumKind::VxR2, "", -1, {0x3f00}},
      {"vxR2 2:/3f00", true, MediumKind::VxR2, "", 2, {0x3f00}},
      {"vxR2/ACS ACR 38U 00 00:/3f00", true, MediumKind::VxR2, "ACS ACR 38U 00 00", -1, {0x3f00}},
      {"vxR2 12:/3f00", false, MediumKind::VxR2, "", -1, {}},
      {"vxR2 :/3f00", false, MediumKind::VxR2, "", -1, {}},
      {"vxR2/:/3f00", false, MediumKind::VxR2, "", -1, {}},
  };
  for (const auto& c : cases) {
    const auto p = media_parse_path(c.text);
    ASSERT_EQ(p.has_value(), c.ok) << c.text;
    if (!p) continue;
    EXPECT_EQ(p->kind, c.kind) << c.text;
    EXPECT_EQ(p->reader, c.reader) << c.text;
    EXPECT_EQ(p->reader_number, c.reader_number) << c.text;
    EXPECT_EQ(p->file_ids, c.ids) << c.text;
  }
  EXPECT_EQ(media_pcsc_reader_name(*media_parse_path("Vexil My Reader:/3f00")), "QRL ifdh My Reader");
  EXPECT_EQ(media_pcsc_reader_name(*media_parse_path("vxR2 3:/3f00")), "QRL ifdh 3");
  EXPECT_EQ(media_pcsc_reader_name(*media_parse_path("vxR2\\Some Reader:/3f00")), "Some Reader");
  EXPECT_EQ(media_pcsc_reader_name(*media_parse_path("Vexil:/3f00")), "");
}

TEST(MediaParsePath, TouchMemoryNamesAreShortAndExtensionsDecimal) {
  struct Case {
    const char* text;
    bool ok;
    std::vector<std::string> folders;
    std::string name;
    int ext;
  };
  const Case cases[] = {
      {"iButton:\\key .001", true, {}, "key ", 1},
      {"iBUTTON:/a/bcd/f.12", true, {"a", "bcd"}, "f", 12},
      {"iButton:\\DB\\", true, {"DB"}, "", -1},
      {"iButton:\\", true, {}, "", -1},
      {"iButton:\\a\\b\\c\\d\\e\\f\\g\\h\\i\\j\\k.1", true, {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}, "k", 1},
      {"iButton:\\a\\b\\c\\d\\e\\f\\g\\h\\i\\j\\k\\l.1", false, {}, "", -1},
      {"iButton:\\keys5.1", false, {}, "", -1},
      {"iButton:\\abcde\\k.1", false, {}, "", -1},
      {"iButton:\\key", false, {}, "", -1},
      {"iButton:\\key.", false, {}, "", -1},
      {"iButton:\\key.x", false, {}, "", -1},
      {"iButton:\\key.127", false, {}, "", -1},
      {"iButton:\\key.126", true, {}, "key", 126},
      {"iButton:\\.1", false, {}, "", -1},
      {"iButton:\\a\\\\k.1", false, {}, "", -1},
      {"iButton:key.1", false, {}, "", -1},
  };
  for (const auto& c : cases) {
    const auto p = media_parse_path(c.text);
    ASSERT_EQ(p.has_value(), c.ok) << c.text;
    if (!p) continue;
    EXPECT_EQ(p->kind, MediumKind::IButton);
    EXPECT_EQ(p->folders, c.folders) << c.text;
    EXPECT_EQ(p->file_name, c.name) << c.text;
    EXPECT_EQ(p->extension, c.ext) << c.text;
  }
}

TEST(MediaParsePath, LengthLimitIs260) {
  const std::string p260 = "/" + std::string(259, 'x');
  ASSERT_EQ(p260.size(), 260u);
  EXPECT_TRUE(media_parse_path(p260).has_value());
  EXPECT_FALSE(media_parse_path(p260 + "y").has_value());
  EXPECT_FALSE(media_parse_path("").has_value());
  EXPECT_FALSE(media_parse_path(std::string("/a\0b", 4)).has_value());
  const auto file = media_parse_path("C:\\Keys\\mk.db3");
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(file->kind, MediumKind::File);
  EXPECT_EQ(file->file_path, "C:\\Keys\\mk.db3");
}

// The reason of the newest entry: a failed open also queues the system
// error that caused it, ahead of ours.
int last_reason() {
  const unsigned long e = ERR_peek_last_error();
  ERR_clear_error();
  return e ? ERR_GET_REASON_CODE(e) : 0;
}

class MediaFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/dossar-media-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ERR_clear_error();
  }
  void TearDown() override { fs::remove_all(dir_); }
  // The directory as a stored text with backslashes.
  std::string stored(const std::string& leaf) const {
    std::string s = dir_ + "/" + leaf;
    for (auto& c : s) {
      if (c == '/') c = '\\';
    }
    return s;
  }
  std::string dir_;
};

std::string read_all(BIO* b) {
  std::string out;
  char buf[64];
  int n;
  while ((n = BIO_read(b, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  return out;
}

TEST_F(MediaFiles, WriteThenReadThroughTheFileBio) {
  const std::string path = stored("mk.db3");
  BIO* w = media_fopen(path.c_str(), "wb");
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(BIO_write(w, "hello", 5), 5);
  BIO_free(w);
  EXPECT_EQ(media_exists(path.c_str()), 1);
  EXPECT_TRUE(fs::exists(dir_ + "/mk.db3"));

  BIO* r = media_bio_open(path.c_str(), "rb", MEDIUM_OPT_PASSWORD, "secret");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(read_all(r), "hello");
  // The options lived only for the open: the slot is empty afterwards.
  EXPECT_EQ(BIO_get_ex_data(r, 0), nullptr);
  // A read-only BIO refuses writes.
  EXPECT_LE(BIO_write(r, "x", 1), 0);
  BIO_free(r);

  BIO* rw = media_fopen(path.c_str(), "r+b");
  ASSERT_NE(rw, nullptr);
  ASSERT_EQ(BIO_write(rw, "J", 1), 1);
  BIO_free(rw);
  std::ifstream in(dir_ + "/mk.db3");
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "Jello");
}

TEST_F(MediaFiles, ReadWriteOpenNeedsAnExistingFile) {
  const std::string path = stored("absent");
  EXPECT_EQ(media_fopen(path.c_str(), "wb+"), nullptr);
  EXPECT_EQ(last_reason(), VEXIL_R_CANNOT_OPEN_FILE);
  EXPECT_EQ(media_exists(path.c_str()), 0);
}

TEST_F(MediaFiles, RefusedOpensSayWhy) {
  const std::string path = stored("mk.db3");
  struct Case {
    std::string path;
    const char* mode;
    int reason;
  };
  const std::string long_path = dir_ + "/" + std::string(MEDIA_PATH_MAX, 'x');
  const Case cases[] = {
      {path, "w+", VEXIL_R_UNKNOWN_OPEN_MODE},
      {path, "a", VEXIL_R_UNKNOWN_OPEN_MODE},
      {"vexil:/3f00", "rb", VEXIL_R_MEDIUM_NOT_AVAILABLE},
      {"vxR2:/3f00", "rb", VEXIL_R_MEDIUM_NOT_AVAILABLE},
      {"iBUTTON:\\key .001", "rb", VEXIL_R_MEDIUM_NOT_AVAILABLE},
      {"C:\\Keys\\mk.db3", "rb", VEXIL_R_PATH_NOT_USABLE},
      {long_path, "wb", VEXIL_R_PATH_TOO_LONG},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(media_fopen(c.path.c_str(), c.mode), nullptr) << c.path << " " << c.mode;
    EXPECT_EQ(last_reason(), c.reason) << c.path << " " << c.mode;
  }
  EXPECT_FALSE(fs::exists(dir_ + "/mk.db3"));  // the refused "w+" created nothing

  // The reason reads as text for whoever shows the error.
  ERR_load_crypto_strings();
  EXPECT_EQ(media_fopen("Vexil:/3f00", "rb"), nullptr);
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  EXPECT_EQ(ERR_error_string(e),
            "error:460960A0"
            ":VEXIL routines:media_bio_open:key medium not available in this build");
}

TEST_F(MediaFiles, PathOfExactly260CharactersOpens) {
  std::string name = dir_ + "/";
  name += std::string(MEDIA_PATH_MAX - name.size(), 'n');
  ASSERT_EQ(name.size(), MEDIA_PATH_MAX);
  BIO* w = media_fopen(name.c_str(), "wb");
  ASSERT_NE(w, nullptr);
  BIO_free(w);
  EXPECT_EQ(media_exists(name.c_str()), 1);
}

TEST_F(MediaFiles, LocalCodePageNamesBecomeUtf8OnDisk) {
  const std::string path = stored("\xCA\xEB\xFE\xF7.db3");  // "Ключ" in Windows-1251
  BIO* w = media_fopen(path.c_str(), "wb");
  ASSERT_NE(w, nullptr);
  BIO_free(w);
  EXPECT_TRUE(fs::exists(dir_ + "/\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87.db3"));
  EXPECT_EQ(media_exists(path.c_str()), 1);
}

TEST(MediaPresence, TokensAndButtonsWithoutDrivers) {
  EXPECT_EQ(media_exists("Vexil:/3f00"), 0);
  EXPECT_EQ(media_exists("vxR2:/3f00"), 0);
  EXPECT_EQ(media_stat_mode("iButton:\\DB\\"), MEDIA_KIND_DIRECTORY);
  EXPECT_EQ(media_stat_mode("iButton:/DB/"), MEDIA_KIND_DIRECTORY);
  EXPECT_EQ(media_exists("iButton:/DB/"), 1);
  EXPECT_EQ(media_stat_mode("iButton:\\key .001"), 0);
  EXPECT_EQ(media_stat_mode("/tmp/"), 0);
  EXPECT_EQ(media_stat_mode(nullptr), 0);
  const std::string long_dir = "iButton:\\" + std::string(300, 'a') + "\\";
  EXPECT_EQ(media_stat_mode(long_dir.c_str()), 0);  // cut at 261 characters: no separator at the end
}

}  // namespace
}  // namespace qcrypto
