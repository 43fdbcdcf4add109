#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "crypto/cadb/cadb_codes.h"
#include "crypto/cadb/cadb_file.h"

namespace qcrypto {
namespace {

namespace fs = std::filesystem;

class CadbFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ERR_clear_error();
    std::string tmpl = (fs::temp_directory_path() / "cadb-file-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root_, ec);
#ifdef QCRYPTO_TEST_HOOKS
    CADB_test_set_write_limit(-1);
    CADB_test_fail_sync(false);
#endif
    ERR_clear_error();
  }
  std::string at(const std::string& rel) const { return (root_ / rel).string(); }

  static void put(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
  }
  static std::string get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  // The cadb function of the newest error on the queue, 0 when none.
  static int last_cadb_function() {
    const unsigned long e = ERR_peek_last_error();
    return ERR_GET_LIB_CODE(e) == ERRLIB_CADB ? ERR_GET_FUNC_CODE(e) : 0;
  }

  fs::path root_;
};

TEST(CadbBuffer, FillCopiesZeroesAndTerminates) {
  struct Case {
    const char* bytes;
    int length;
    int want_length;
    std::string want;
  } const cases[] = {
      {"abc", 3, 3, "abc"},
      {"abcdef", 2, 2, "ab"},
      {"text", -1, 4, "text"},
      {"", -1, 0, ""},
      {nullptr, 5, 5, std::string(5, '\0')},
      {nullptr, 0, 0, ""},
  };
  for (const Case& c : cases) {
    UniquePtr<BUFFER> b(BUFFER_new());
    ASSERT_TRUE(b);
    EXPECT_EQ(b->data, nullptr);
    EXPECT_EQ(b->length, 0);
    ASSERT_EQ(BUFFER_fill(b.get(), c.bytes, c.length), 1);
    ASSERT_EQ(b->length, c.want_length);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b->data), static_cast<std::size_t>(b->length)), c.want);
    EXPECT_EQ(b->data[b->length], 0) << "terminating zero";
    BUFFER_clear(b.get());
    EXPECT_EQ(b->data, nullptr);
    EXPECT_EQ(b->length, 0);
  }
}

TEST(CadbBuffer, RefusesWhatCannotBeFilledAndKeepsOldContents) {
  UniquePtr<BUFFER> b(BUFFER_new());
  ASSERT_EQ(BUFFER_fill(b.get(), "keep", -1), 1);
  ERR_clear_error();
  EXPECT_EQ(BUFFER_fill(b.get(), nullptr, -1), 0);
  EXPECT_EQ(ERR_GET_REASON_CODE(ERR_peek_last_error()), CADB_R_BAD_ARGUMENT);
  EXPECT_EQ(BUFFER_fill(nullptr, "x", 1), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(b->data), "keep");
  BUFFER_free(nullptr);
  BUFFER_clear(nullptr);
  ERR_clear_error();
}

TEST_F(CadbFileTest, ReadsWholeFilesOfEverySize) {
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{4096}, std::size_t{70000}}) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 7 + 3);
    const std::string path = at("f" + std::to_string(size));
    put(path, content);
    UniquePtr<BUFFER> b(BUFFER_read_file(path.c_str()));
    ASSERT_TRUE(b) << size;
    ASSERT_EQ(static_cast<std::size_t>(b->length), size);
    ASSERT_NE(b->data, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b->data), size), content);
    EXPECT_EQ(b->data[size], 0);
    EXPECT_EQ(media_file_size(path.c_str()), static_cast<long>(size));
  }
}

TEST_F(CadbFileTest, ReadRefusesMissingFoldersAndSpecialFilesWithoutBlocking) {
  fs::create_directory(at("dir"));
  ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
  for (const std::string& path :
       {at("missing"), at("dir"), at("fifo"), std::string(), std::string("D:\\key.bin"), at("ctl\x01name")}) {
    ERR_clear_error();
    EXPECT_EQ(BUFFER_read_file(path.c_str()), nullptr) << path;
    EXPECT_EQ(last_cadb_function(), CADB_F_CADB_READ_FILE) << path;
    EXPECT_EQ(media_file_size(path.c_str()), -1) << path;
  }
  EXPECT_EQ(BUFFER_read_file(nullptr), nullptr);
}

// Builds a path of exactly `length` characters below `root` out of folders
// of at most 200 characters.
std::string path_of_length(const fs::path& root, std::size_t length) {
  std::string path = root.string();
  while (length - path.size() > 201) path += "/" + std::string(200, 'd');
  path += "/" + std::string(length - path.size() - 1, 'f');
  return path;
}

TEST_F(CadbFileTest, PathLengthLimitOfReadsAndWrites) {
  struct Case {
    std::size_t length;
    bool accepted;
  } const cases[] = {{258, true}, {259, true}, {260, false}, {261, false}, {400, false}};
  for (const Case& c : cases) {
    const std::string path = path_of_length(root_, c.length);
    ASSERT_EQ(path.size(), c.length);
    ERR_clear_error();
    EXPECT_EQ(CADB_write_buffer(path.c_str(), "x", 1), c.accepted ? 1 : 0) << c.length;
    UniquePtr<BUFFER> b(BUFFER_read_file(path.c_str()));
    EXPECT_EQ(b != nullptr, c.accepted) << c.length;
    if (!c.accepted) {
      EXPECT_EQ(ERR_GET_REASON_CODE(ERR_peek_last_error()), CADB_R_BAD_ARGUMENT);
      EXPECT_FALSE(fs::exists(path));
    }
  }
}

TEST_F(CadbFileTest, WriteCreatesFoldersReplacesAndKeepsPermissions) {
  const std::string path = at("a/b\\c/key.bin");
  EXPECT_EQ(CADB_write_buffer(path.c_str(), "first", 5), 5);
  EXPECT_EQ(get(at("a/b/c/key.bin")), "first");
  EXPECT_EQ(fs::status(at("a/b/c/key.bin")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  fs::permissions(at("a/b/c/key.bin"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(CADB_write_buffer(path.c_str(), "second!", 7), 7);
  EXPECT_EQ(get(at("a/b/c/key.bin")), "second!");
  EXPECT_EQ(fs::status(at("a/b/c/key.bin")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(CADB_write_buffer(path.c_str(), nullptr, 0), 0) << "nothing to report as written";
  EXPECT_EQ(fs::file_size(at("a/b/c/key.bin")), 0u);
  // Only the file itself is left in its folder: no temporary names.
  EXPECT_EQ(std::distance(fs::directory_iterator(at("a/b/c")), fs::directory_iterator()), 1);
}

TEST_F(CadbFileTest, WriteReplacesALinkItselfNotItsTarget) {
  put(at("target"), "target");
  fs::create_symlink(at("target"), at("link"));
  EXPECT_EQ(CADB_write_buffer(at("link").c_str(), "new", 3), 3);
  EXPECT_EQ(get(at("target")), "target");
  EXPECT_FALSE(fs::is_symlink(at("link")));
  EXPECT_EQ(get(at("link")), "new");
}

TEST_F(CadbFileTest, WriteRefusesBadArgumentsAndFolders) {
  fs::create_directory(at("dir"));
  put(at("file"), "x");
  struct Case {
    std::string path;
    const void* bytes;
    int count;
  } const cases[] = {
      {at("dir"), "x", 1}, {at("dir") + "/", "x", 1},  {at("n"), nullptr, 1},
      {at("n"), "x", -1},  {at("file/below"), "x", 1},
  };
  for (const Case& c : cases) {
    ERR_clear_error();
    EXPECT_EQ(CADB_write_file(c.path.c_str(), c.bytes, c.count, nullptr), 0) << c.path;
    EXPECT_EQ(last_cadb_function(), CADB_F_CADB_WRITE_FILE) << c.path;
  }
  EXPECT_FALSE(fs::exists(at("n")));
  EXPECT_EQ(get(at("file")), "x");
}

#ifdef QCRYPTO_TEST_HOOKS
TEST_F(CadbFileTest, WriteThatFailsHalfWayKeepsTheOldFile) {
  struct Case {
    const char* what;
    long limit;
    bool fail_sync;
  } const cases[] = {
      {"disk full at the start", 0, false},
      {"disk full half-way", 5000, false},
      {"disk full one byte short", 9999, false},
      {"flush to disk fails", -1, true},
  };
  const std::string path = at("keys/key.bin");
  ASSERT_EQ(CADB_write_buffer(path.c_str(), "old content", 11), 11);
  const std::string big(10000, 'N');
  for (const Case& c : cases) {
    CADB_test_set_write_limit(c.limit);
    CADB_test_fail_sync(c.fail_sync);
    ERR_clear_error();
    EXPECT_EQ(CADB_write_buffer(path.c_str(), big.data(), static_cast<int>(big.size())), 0) << c.what;
    EXPECT_EQ(last_cadb_function(), CADB_F_CADB_WRITE_FILE) << c.what;
    EXPECT_EQ(get(path), "old content") << c.what;
    EXPECT_EQ(std::distance(fs::directory_iterator(at("keys")), fs::directory_iterator()), 1) << c.what;
  }
  // An erase whose overwrite fails keeps the file under its name.
  CADB_test_set_write_limit(5);
  CADB_test_fail_sync(false);
  EXPECT_EQ(CADB_erase(path.c_str()), 0);
  EXPECT_TRUE(fs::exists(path));
  CADB_test_set_write_limit(10000);
  EXPECT_EQ(CADB_write_buffer(path.c_str(), big.data(), static_cast<int>(big.size())), 10000) << "exactly enough room";
  EXPECT_EQ(get(path), big);
}
#endif

// Runs `fn` on a thread whose effective capabilities are dropped, so that a
// test run as root meets file permissions as any user does. Capabilities
// belong to the thread, so the rest of the process keeps its own.
template <class Fn>
void without_privileges(Fn fn) {
  std::thread([&] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
    data[0].effective = 0;
    data[1].effective = 0;
    ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
    fn();
  }).join();
}

TEST_F(CadbFileTest, WriteIntoReadOnlyFolderFailsAndKeepsTheOldFile) {
  const std::string path = at("ro/key.bin");
  ASSERT_EQ(CADB_write_buffer(path.c_str(), "old", 3), 3);
  fs::permissions(at("ro"), fs::perms::owner_read | fs::perms::owner_exec);
  without_privileges([&] {
    ERR_clear_error();
    EXPECT_EQ(CADB_write_buffer(path.c_str(), "new content", 11), 0);
    EXPECT_EQ(last_cadb_function(), CADB_F_CADB_WRITE_FILE);
    EXPECT_EQ(CADB_write_buffer(at("ro/sub/other").c_str(), "x", 1), 0);
    EXPECT_EQ(CADB_erase(path.c_str()), 0) << "the name cannot be removed";
  });
  EXPECT_EQ(get(path), "old");
  EXPECT_FALSE(fs::exists(at("ro/sub")));
}

TEST_F(CadbFileTest, EraseZeroesTheContentBeforeRemoving) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4096}, std::size_t{10000}}) {
    const std::string path = at("secret");
    put(path, std::string(size, 'S'));
    // A second name for the same file shows what the erase left in it.
    ASSERT_EQ(::link(path.c_str(), at("witness").c_str()), 0);
    EXPECT_EQ(CADB_erase(path.c_str()), 1) << size;
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(get(at("witness")), std::string(size, '\0')) << size;
    fs::remove(at("witness"));
  }
  EXPECT_EQ(CADB_erase(at("never-there").c_str()), 1);
  EXPECT_EQ(CADB_erase(at("no/folder/either").c_str()), 1);
}

TEST_F(CadbFileTest, EraseRefusesLinksFoldersAndSpecialFiles) {
  put(at("target"), "precious");
  fs::create_symlink(at("target"), at("link"));
  fs::create_symlink(at("nowhere"), at("dangling"));
  fs::create_directory(at("dir"));
  ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
  for (const char* name : {"link", "dangling", "dir", "fifo"}) {
    ERR_clear_error();
    EXPECT_EQ(CADB_erase(at(name).c_str()), 0) << name;
    EXPECT_EQ(last_cadb_function(), CADB_F_CADB_ERASE_FILE) << name;
    EXPECT_TRUE(fs::exists(fs::symlink_status(at(name)))) << name;
  }
  EXPECT_EQ(get(at("target")), "precious");
}

TEST_F(CadbFileTest, ReadBytesGivesAtMostTheCount) {
  put(at("f"), "0123456789");
  char out[32] = {};
  EXPECT_EQ(CADB_read_bytes(at("f").c_str(), out, 4), 4);
  EXPECT_EQ(std::string(out, 4), "0123");
  EXPECT_EQ(CADB_read_bytes(at("f").c_str(), out, 32), 10);
  EXPECT_EQ(std::string(out, 10), "0123456789");
  EXPECT_EQ(CADB_read_bytes(at("f").c_str(), out, 0), 0);
  EXPECT_EQ(CADB_read_bytes(at("missing").c_str(), out, 4), -1);
  // A FIFO would block a plain open until someone writes to it.
  ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
  EXPECT_EQ(CADB_read_bytes(at("fifo").c_str(), out, 4), -1);
  fs::create_directory(at("dir"));
  EXPECT_EQ(CADB_read_bytes(at("dir").c_str(), out, 4), -1);
  EXPECT_EQ(CADB_read_bytes(at("f").c_str(), nullptr, 4), -1);
  ERR_clear_error();
}

TEST_F(CadbFileTest, TokenAndTouchMemoryPathsFailCleanly) {
  char out[4];
  for (const char* path : {"Vexil:\\A001\\B002", "vxR2:\\A001", "iButton:\\KEY.001", "vexil:A001"}) {
    ERR_clear_error();
    EXPECT_EQ(BUFFER_read_file(path), nullptr) << path;
    EXPECT_EQ(CADB_write_buffer(path, "x", 1), 0) << path;
    EXPECT_EQ(CADB_erase(path), 0) << path;
    EXPECT_EQ(CADB_read_bytes(path, out, 4), -1) << path;
    EXPECT_EQ(media_file_size(path), -1) << path;
    EXPECT_EQ(CADB_enum_files(
                  path, 0, [](const char*, void*) { return 1; }, nullptr),
              0)
        << path;
    EXPECT_NE(ERR_peek_error(), 0u) << path;
  }
  ERR_clear_error();
}

struct Seen {
  std::vector<std::string> paths;
  std::size_t stop_after = 0;  // 0: never stop
};

int collect(const char* path, void* user) {
  auto* seen = static_cast<Seen*>(user);
  seen->paths.emplace_back(path);
  return seen->stop_after != 0 && seen->paths.size() >= seen->stop_after ? 0 : 1;
}

TEST_F(CadbFileTest, FolderWalk) {
  // "\xE4\xB8\xAD.key" (a Chinese letter) and "back\\slash.key" have no path
  // text that names them and are left out; Cyrillic names are kept.
  for (const char* f : {"a.key", "B.KEY", "c.txt", "noext", "sub/d.key", "sub/deep/e.key", "[x].key",
                        "\xE4\xB8\xAD.key", "back\\slash.key", "sub/\xD0\x9A.key"}) {
    fs::create_directories(fs::path(at(f)).parent_path());
    put(at(f), "x");
  }
  fs::create_directory(at("outside"));
  put(at("outside/f.key"), "x");
  fs::create_directory_symlink(at("outside"), at("sub/linked"));
  const std::string r = root_.string();
  struct Case {
    std::string path;
    int options;
    std::vector<std::string> want;
  } const cases[] = {
      {r, 0, {r + "\\B.KEY", r + "\\[x].key", r + "\\a.key", r + "\\c.txt", r + "\\noext"}},
      {r + "\\", 0, {r + "\\B.KEY", r + "\\[x].key", r + "\\a.key", r + "\\c.txt", r + "\\noext"}},
      {r + "\\*.*", 0, {r + "\\B.KEY", r + "\\[x].key", r + "\\a.key", r + "\\c.txt", r + "\\noext"}},
      {r + "\\*.key", 0, {r + "\\B.KEY", r + "\\[x].key", r + "\\a.key"}},
      {r + "\\sub\\*.key", 0, {r + "\\sub\\d.key", r + "\\sub\\\xCA.key"}},
      {r + "/?.key", 0, {r + "\\B.KEY", r + "\\a.key"}},
      {r + "\\[x].key", 0, {r + "\\[x].key"}},
      {r + "\\*.none", 0, {}},
      {r + "\\missing", 0, {}},
      {r + "\\s*", CADB_ENUM_DIRECTORIES, {r + "\\sub"}},
      {r + "\\*.key",
       CADB_ENUM_RECURSIVE,
       {r + "\\B.KEY", r + "\\[x].key", r + "\\a.key", r + "\\outside\\f.key", r + "\\sub\\d.key",
        r + "\\sub\\deep\\e.key", r + "\\sub\\\xCA.key"}},
      {r + "\\sub",
       CADB_ENUM_RECURSIVE | CADB_ENUM_DIRECTORIES,
       {r + "\\sub\\d.key", r + "\\sub\\deep", r + "\\sub\\deep\\e.key", r + "\\sub\\linked", r + "\\sub\\\xCA.key"}},
  };
  for (const Case& c : cases) {
    Seen seen;
    EXPECT_EQ(CADB_enum_files(c.path.c_str(), c.options, collect, &seen), 1) << c.path;
    EXPECT_EQ(seen.paths, c.want) << c.path << " options " << c.options;
  }
  Seen stopped{{}, 2};
  EXPECT_EQ(CADB_enum_files(r.c_str(), CADB_ENUM_RECURSIVE, collect, &stopped), 0);
  EXPECT_EQ(stopped.paths.size(), 2u);
  Seen none;
  for (const std::string& bad : {at("missing\\*.key"), at("missing\\"), std::string()}) {
    EXPECT_EQ(CADB_enum_files(bad.c_str(), 0, collect, &none), 0) << bad;
  }
  EXPECT_EQ(CADB_enum_files(r.c_str(), 0, nullptr, nullptr), 0);
  EXPECT_TRUE(none.paths.empty());
  ERR_clear_error();
}

}  // namespace
}  // namespace qcrypto
