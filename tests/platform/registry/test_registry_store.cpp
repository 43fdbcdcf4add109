#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "platform/registry/name_fold.h"
#include "platform/registry/registry_store.h"
#include "tests/platform/registry/registry_test_util.h"

namespace platform::reg {
namespace {

using Store_ = testing::ScratchRegistry;
class RegistryStore : public Store_ {
 protected:
  std::shared_ptr<Store> open() {
    std::shared_ptr<Store> s;
    std::string msg;
    EXPECT_EQ(Store::open(db_, s, &msg), ERROR_SUCCESS) << msg;
    return s;
  }
  static std::vector<std::string> value_names(Store& s, KeyId k) {
    std::vector<std::string> names;
    std::string n;
    for (std::uint32_t i = 0; s.enum_value(k, i, n, nullptr, nullptr) == ERROR_SUCCESS; ++i) names.push_back(n);
    return names;
  }
  static std::vector<std::string> key_names(Store& s, KeyId k) {
    std::vector<std::string> names;
    std::string n;
    for (std::uint32_t i = 0; s.enum_key(k, i, n) == ERROR_SUCCESS; ++i) names.push_back(n);
    return names;
  }
};

TEST(RegistryNameFold, FoldsAsciiAndCyrillic) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"Property\\Log", "property\\log"},
      {"КЛЮЧ Ёлка", "ключ ёлка"},
      {"ЀЏ", "ѐџ"},        // the first row of the block
      {"ключ", "ключ"},    // already folded
      {"Äpfel", "Äpfel"},  // outside the folded blocks: exact
      {"\xD0", "\xD0"},    // a cut sequence stays as it is
  };
  for (const auto& c : cases) EXPECT_EQ(fold_name(c.in), c.out) << c.in;
}

TEST_F(RegistryStore, TypedValuesSurviveARoundTripAcrossConnections) {
  struct Case {
    const char* name;
    std::uint32_t type;
    std::string bytes;
  };
  const Case cases[] = {
      {"Path", REG_SZ, std::string("/home/user/Входящие\0", 28)},
      {"Limit", REG_DWORD, std::string("\x0a\x00\x00\x00", 4)},
      {"Users", REG_BINARY, std::string("\x01\x00\x03\xff\x00z", 6)},
      {"Empty", REG_BINARY, std::string()},
      {"", REG_SZ, std::string("default\0", 8)},  // the key's unnamed value
  };
  {
    auto s = open();
    KeyId k = 0;
    ASSERT_EQ(s->create_key(Store::kRoot, "SOFTWARE\\VELTRANA\\ORVANTA\\Dossar\\Property\\Log", k), ERROR_SUCCESS);
    for (const auto& c : cases)
      ASSERT_EQ(s->set_value(k, c.name, c.type, c.bytes.data(), static_cast<std::uint32_t>(c.bytes.size())),
                ERROR_SUCCESS);
  }
  auto s = open();
  KeyId k = 0;
  ASSERT_EQ(s->open_key(Store::kRoot, "SOFTWARE\\VELTRANA\\ORVANTA\\Dossar\\Property\\Log", k), ERROR_SUCCESS);
  for (const auto& c : cases) {
    std::uint32_t type = 99, size = 0;
    ASSERT_EQ(s->query_value(k, c.name, &type, nullptr, &size), ERROR_SUCCESS) << c.name;
    EXPECT_EQ(type, c.type);
    ASSERT_EQ(size, c.bytes.size());
    std::string got(size + 3, '#');
    std::uint32_t room = static_cast<std::uint32_t>(got.size());
    ASSERT_EQ(s->query_value(k, c.name, &type, got.data(), &room), ERROR_SUCCESS);
    EXPECT_EQ(got.substr(0, room), c.bytes) << c.name;
    if (size > 0) {
      std::uint32_t small = size - 1;
      EXPECT_EQ(s->query_value(k, c.name, &type, got.data(), &small), ERROR_MORE_DATA);
      EXPECT_EQ(small, size);  // the needed size comes back
    }
  }
}

TEST_F(RegistryStore, NamesCompareWithoutCaseAndKeepTheirSpelling) {
  auto s = open();
  KeyId a = 0, b = 0;
  bool created = false;
  ASSERT_EQ(s->create_key(Store::kRoot, "Software\\Сортировка", a, &created), ERROR_SUCCESS);
  EXPECT_TRUE(created);
  ASSERT_EQ(s->create_key(Store::kRoot, "SOFTWARE\\сортировка", b, &created), ERROR_SUCCESS);
  EXPECT_FALSE(created);
  EXPECT_EQ(a, b);
  ASSERT_EQ(s->open_key(Store::kRoot, "software\\СОРТИРОВКА", b), ERROR_SUCCESS);
  EXPECT_EQ(a, b);

  const std::uint32_t one = 1, two = 2;
  ASSERT_EQ(s->set_value(a, "IsDebug", REG_DWORD, &one, 4), ERROR_SUCCESS);
  ASSERT_EQ(s->set_value(a, "ISDEBUG", REG_DWORD, &two, 4), ERROR_SUCCESS);  // the same value
  EXPECT_EQ(value_names(*s, a), std::vector<std::string>{"IsDebug"});
  std::uint32_t got = 0, size = 4;
  ASSERT_EQ(s->query_value(a, "isdebug", nullptr, &got, &size), ERROR_SUCCESS);
  EXPECT_EQ(got, 2u);

  KeyId root = 0;
  ASSERT_EQ(s->open_key(Store::kRoot, "Software", root), ERROR_SUCCESS);
  EXPECT_EQ(key_names(*s, root), std::vector<std::string>{"Сортировка"});
}

TEST_F(RegistryStore, ValuesKeepCreationOrderAndSubkeysNameOrder) {
  auto s = open();
  KeyId k = 0;
  ASSERT_EQ(s->create_key(Store::kRoot, "Order", k), ERROR_SUCCESS);
  const std::uint32_t v = 7;
  for (const char* n : {"zeta", "Alpha", "mid", "beta"}) ASSERT_EQ(s->set_value(k, n, REG_DWORD, &v, 4), ERROR_SUCCESS);
  ASSERT_EQ(s->set_value(k, "ALPHA", REG_SZ, "x", 2), ERROR_SUCCESS);  // rewritten in place
  ASSERT_EQ(s->delete_value(k, "MID"), ERROR_SUCCESS);
  ASSERT_EQ(s->set_value(k, "mid", REG_DWORD, &v, 4), ERROR_SUCCESS);  // re-created: goes last
  EXPECT_EQ(value_names(*s, k), (std::vector<std::string>{"zeta", "Alpha", "beta", "mid"}));

  for (const char* n : {"b", "C", "a", "B2"}) {
    KeyId sub = 0;
    ASSERT_EQ(s->create_key(k, n, sub), ERROR_SUCCESS);
  }
  EXPECT_EQ(key_names(*s, k), (std::vector<std::string>{"a", "b", "B2", "C"}));
}

TEST_F(RegistryStore, Win32ResultCodes) {
  auto s = open();
  KeyId k = 0, sub = 0, x = 0;
  ASSERT_EQ(s->create_key(Store::kRoot, "A\\B\\C", sub), ERROR_SUCCESS);
  ASSERT_EQ(s->open_key(Store::kRoot, "A", k), ERROR_SUCCESS);
  std::string name;
  std::uint32_t size = 0;
  EXPECT_EQ(s->open_key(Store::kRoot, "A\\missing", x), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(s->query_value(k, "none", nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(s->delete_value(k, "none"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(s->enum_value(sub, 0, name, nullptr, nullptr), ERROR_NO_MORE_ITEMS);  // an empty key exists
  EXPECT_EQ(s->enum_key(sub, 0, name), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(s->enum_key(k, 1, name), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(s->delete_key(Store::kRoot, "A"), ERROR_ACCESS_DENIED);  // has subkeys
  EXPECT_EQ(s->set_value(k, std::string(kMaxValueNameBytes + 1, 'n'), REG_DWORD, &size, 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(s->create_key(k, std::string(kMaxKeyNameBytes + 1, 'k'), x), ERROR_INVALID_PARAMETER);

  ASSERT_EQ(s->delete_tree(Store::kRoot, "a\\b"), ERROR_SUCCESS);
  EXPECT_EQ(s->open_key(k, "B", x), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(s->enum_key(sub, 0, name), ERROR_KEY_DELETED);  // a handle on a deleted key
  EXPECT_EQ(s->set_value(sub, "v", REG_DWORD, &size, 4), ERROR_KEY_DELETED);
  ASSERT_EQ(s->delete_key(Store::kRoot, "A"), ERROR_SUCCESS);
  EXPECT_EQ(s->open_key(Store::kRoot, "A", x), ERROR_FILE_NOT_FOUND);
}

// Each connection keeps its queries prepared between calls. A kept query
// must not keep its snapshot: what another connection (another process)
// writes in between is what the next call reads, for every kind of read.
TEST_F(RegistryStore, KeptQueriesSeeWhatAnotherConnectionWroteSince) {
  auto reader = open();
  auto writer = open();
  KeyId k = 0, w = 0;
  ASSERT_EQ(writer->create_key(Store::kRoot, "Shared\\Sub", w), ERROR_SUCCESS);
  ASSERT_EQ(writer->open_key(Store::kRoot, "Shared", w), ERROR_SUCCESS);
  const std::uint32_t one = 1, two = 2;
  ASSERT_EQ(writer->set_value(w, "v", REG_DWORD, &one, 4), ERROR_SUCCESS);
  ASSERT_EQ(reader->open_key(Store::kRoot, "Shared", k), ERROR_SUCCESS);
  ASSERT_EQ(k, w);

  const auto dword = [&](std::uint32_t& out) {
    std::uint32_t type = 0, size = 4;
    return reader->query_value(k, "v", &type, &out, &size);
  };
  struct Step {
    const char* what;
    std::function<void()> change;  // by the writer, between two reads
    LSTATUS valueRc;
    std::uint32_t value;
    std::vector<std::string> values, subkeys;
  };
  const Step steps[] = {
      {"as written", [] {}, ERROR_SUCCESS, 1, {"v"}, {"Sub"}},
      {"value rewritten",
       [&] { ASSERT_EQ(writer->set_value(w, "V", REG_DWORD, &two, 4), ERROR_SUCCESS); },
       ERROR_SUCCESS,
       2,
       {"v"},
       {"Sub"}},
      {"value and subkey added",
       [&] {
         KeyId more = 0;
         ASSERT_EQ(writer->set_value(w, "u", REG_SZ, "x", 2), ERROR_SUCCESS);
         ASSERT_EQ(writer->create_key(w, "Another", more), ERROR_SUCCESS);
       },
       ERROR_SUCCESS,
       2,
       {"v", "u"},
       {"Another", "Sub"}},
      {"value deleted",
       [&] { ASSERT_EQ(writer->delete_value(w, "v"), ERROR_SUCCESS); },
       ERROR_FILE_NOT_FOUND,
       0,
       {"u"},
       {"Another", "Sub"}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    // Twice each: the second read runs on the queries the first one kept.
    for (int round = 0; round < 2; ++round) {
      std::uint32_t got = 0;
      EXPECT_EQ(dword(got), step.valueRc);
      if (step.valueRc == ERROR_SUCCESS) {
        EXPECT_EQ(got, step.value);
      }
      EXPECT_EQ(value_names(*reader, k), step.values);
      EXPECT_EQ(key_names(*reader, k), step.subkeys);
    }
  }
  ASSERT_EQ(writer->delete_tree(Store::kRoot, "Shared"), ERROR_SUCCESS);
  std::uint32_t got = 0;
  EXPECT_EQ(dword(got), ERROR_KEY_DELETED);
  KeyId again = 0;
  EXPECT_EQ(reader->open_key(Store::kRoot, "Shared", again), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryStore, DeleteTreeWithoutPathEmptiesTheKeyButKeepsIt) {
  auto s = open();
  KeyId k = 0, sub = 0;
  ASSERT_EQ(s->create_key(Store::kRoot, "K\\S1\\S2", sub), ERROR_SUCCESS);
  ASSERT_EQ(s->open_key(Store::kRoot, "K", k), ERROR_SUCCESS);
  ASSERT_EQ(s->set_value(k, "v", REG_SZ, "a", 2), ERROR_SUCCESS);
  ASSERT_EQ(s->delete_tree(k, ""), ERROR_SUCCESS);
  EXPECT_TRUE(key_names(*s, k).empty());
  EXPECT_TRUE(value_names(*s, k).empty());
  KeyId again = 0;
  EXPECT_EQ(s->open_key(Store::kRoot, "K", again), ERROR_SUCCESS);
  EXPECT_EQ(again, k);
}

TEST_F(RegistryStore, ADamagedOrForeignFileIsReportedAndLeftAsItIs) {
  // Garbage, a foreign SQLite database, and a registry with a smashed page.
  {
    std::ofstream(db_, std::ios::binary) << std::string(8192, 'Z');
    const std::string before = slurp(db_);
    std::shared_ptr<Store> s;
    std::string msg;
    EXPECT_EQ(Store::open(db_, s, &msg), ERROR_BADDB);
    EXPECT_EQ(s, nullptr);
    EXPECT_NE(msg.find(db_), std::string::npos) << msg;
    EXPECT_NE(msg.find("left as it is"), std::string::npos) << msg;
    EXPECT_EQ(slurp(db_), before);
    EXPECT_FALSE(std::filesystem::exists(db_ + "-wal"));
    LSTATUS rc = ERROR_SUCCESS;
    EXPECT_EQ(Store::current_user(&rc), nullptr);
    EXPECT_EQ(rc, ERROR_BADDB);
    std::filesystem::remove(db_);
  }
  {
    const std::string cmd = "sqlite3 '" + db_ + "' 'CREATE TABLE t(x); INSERT INTO t VALUES(1);'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const std::string before = slurp(db_);
    std::shared_ptr<Store> s;
    std::string msg;
    EXPECT_EQ(Store::open(db_, s, &msg), ERROR_BADDB);
    EXPECT_NE(msg.find("another program"), std::string::npos) << msg;
    EXPECT_EQ(slurp(db_), before);
    std::filesystem::remove(db_);
  }
  {
    {
      auto s = open();
      KeyId k = 0;
      ASSERT_EQ(s->create_key(Store::kRoot, "Fill", k), ERROR_SUCCESS);
      const std::string blob(3000, 'b');
      for (int i = 0; i < 40; ++i)
        ASSERT_EQ(s->set_value(k, "v" + std::to_string(i), REG_BINARY, blob.data(), 3000), ERROR_SUCCESS);
    }  // the last close checkpoints the log into the file
    ASSERT_FALSE(std::filesystem::exists(db_ + "-wal"));
    std::string bytes = slurp(db_);
    ASSERT_GT(bytes.size(), 8u * 4096);
    // Page 3 onward: the b-tree pages of the tables.
    for (std::size_t i = 2 * 4096; i < 6 * 4096; ++i) bytes[i] = static_cast<char>(0xA5 ^ i);
    std::ofstream(db_, std::ios::binary | std::ios::trunc) << bytes;
    std::shared_ptr<Store> s;
    std::string msg;
    EXPECT_EQ(Store::open(db_, s, &msg), ERROR_BADDB) << msg;
    EXPECT_EQ(slurp(db_), bytes);
  }
}

TEST_F(RegistryStore, CreatesItsFolderAndDefaultPathFollowsTheEnvironment) {
  const std::string nested = dir_ + "/a/b/registry.db";
  std::shared_ptr<Store> s;
  ASSERT_EQ(Store::open(nested, s), ERROR_SUCCESS);
  EXPECT_TRUE(std::filesystem::exists(nested));
  EXPECT_EQ(std::filesystem::status(dir_ + "/a/b").permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);

  EXPECT_EQ(Store::default_path(), db_);
  setenv("DOSSAR_REGISTRY_DB", "", 1);  // empty: as if unset
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(Store::default_path(), "/cfg/dossar/registry.db");
  unsetenv("DOSSAR_REGISTRY_DB");
  EXPECT_EQ(Store::default_path(), "/cfg/dossar/registry.db");
  setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored, as the XDG rules say
  const char* home = std::getenv("HOME");
  const std::string saved = home ? home : "";
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(Store::default_path(), "/home/u/.config/dossar/registry.db");
  setenv("HOME", "", 1);
  EXPECT_EQ(Store::default_path(), "/tmp/.config/dossar/registry.db");
  setenv("HOME", saved.c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace platform::reg
