#include <QDir>
#include <functional>
#include <vector>

#include "tests/dsutils/engine_test_util.h"

namespace dsutils {
namespace {

using platform::reg::RegistryKey;
using KeySetup = std::function<void(RegistryKey&)>;

class SettingsReaders : public testing::EngineTest {
 protected:
  // Runs `setup` on the reader's key, unless it is null: then the key is
  // left missing, for the reader to create.
  void prepare(const std::string& tail, const KeySetup& setup) {
    if (!setup) return;
    RegistryKey key;
    open_key(key, tail);
    setup(key);
  }
  bool key_exists(const std::string& tail) {
    RegistryKey key;
    return key.OpenKey(platform::reg::HKEY_CURRENT_USER, std::string(kProductKey) + tail);
  }
};

std::vector<std::uint32_t> words(const MailSettings& m) {
  return {m.LocalAdr, m.GlobalAdr, m.EnableClient, m.EnableQuestion, m.Encript, m.Signature, m.Result,
          m.Password, m.Min,       m.EncOwner,     m.Auto,           m.Sorting, m.Izvlech};
}

TEST_F(SettingsReaders, MailSettings) {
  // Field order of words(): LocalAdr GlobalAdr EnableClient EnableQuestion
  // Encript Signature Result Password Min EncOwner Auto Sorting Izvlech.
  const std::vector<std::uint32_t> defaults = {0, 0, 1, 1, 0, 0, 0, 0, 60, 1, 1, 1, 1};
  struct Case {
    const char* name;
    KeySetup setup;
    std::vector<std::uint32_t> expected;
  };
  const Case cases[] = {
      {"missing key: created, all defaults", nullptr, defaults},
      {"empty key: all defaults", [](RegistryKey&) {}, defaults},
      {"values present",
       [](RegistryKey& k) {
         const char* names[] = {"LocalAdr", "GlobalAdr", "EnableClient", "EnableQuestion", "Encript", "Signature",
                                "Result",   "Password",  "Min",          "EncOwner",       "Auto",    "Sorting",
                                "Izvlech"};
         std::uint32_t v = 100;
         for (const char* n : names) k.SetDword(n, v++);
       },
       {100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112}},
      {"without Auto, Sorting, Izvlech: 1 each, EncOwner as read",
       [](RegistryKey& k) {
         k.SetDword("EncOwner", 0);
         k.SetDword("Min", 5);
       },
       {0, 0, 1, 1, 0, 0, 0, 0, 5, 0, 1, 1, 1}},
      {"values of another type: defaults",
       [](RegistryKey& k) {
         k.SetString("Min", "30");
         k.SetBinary("Auto", "\0\0\0\0", 4);
       },
       defaults},
  };
  for (const auto& c : cases) {
    platform::reg::Store::current_user()->delete_tree(platform::reg::Store::kRoot, kProductKey);
    prepare("\\Property\\Email", c.setup);
    MailSettings m;
    m.Min = 999;  // every field is set by the reader
    ASSERT_TRUE(engine_helper().GetMailSettings(m)) << c.name;
    EXPECT_EQ(words(m), c.expected) << c.name;
    EXPECT_TRUE(key_exists("\\Property\\Email")) << c.name;
  }
}

TEST_F(SettingsReaders, LogOptions) {
  struct Case {
    const char* name;
    KeySetup setup;
    std::vector<std::uint32_t> expected;  // IsCert IsTime IsSgn IsOldEnc UnPackDoc
  };
  const Case cases[] = {
      {"missing key: created, time and archive on, the rest as the caller set", nullptr, {0, 1, 1, 7, 7}},
      {"empty key", [](RegistryKey&) {}, {0, 0, 0, 1, 0}},
      {"values present",
       [](RegistryKey& k) {
         k.SetDword("IsCert", 1);
         k.SetDword("IsTime", 1);
         k.SetDword("IsSgn", 0);
         k.SetDword("IsOldEnc", 0);
         k.SetDword("UnPackDoc", 1);
       },
       {1, 1, 0, 0, 1}},
      {"values of another type",
       [](RegistryKey& k) {
         k.SetString("IsOldEnc", "0");
         k.SetString("IsTime", "1");
       },
       {0, 0, 0, 1, 0}},
  };
  for (const auto& c : cases) {
    platform::reg::Store::current_user()->delete_tree(platform::reg::Store::kRoot, kProductKey);
    prepare("\\Property\\Log", c.setup);
    LogOptions o{7, 7, 7, 7, 7};
    ASSERT_TRUE(engine_helper().GetLogOptions(o)) << c.name;
    EXPECT_EQ((std::vector<std::uint32_t>{o.IsCert, o.IsTime, o.IsSgn, o.IsOldEnc, o.UnPackDoc}), c.expected) << c.name;
  }
}

TEST_F(SettingsReaders, LdapSettings) {
  struct Case {
    const char* name;
    KeySetup setup;
    bool result;
    std::uint32_t start;
    const char* connect;
    const char* port;
    const char* search;
  };
  const Case cases[] = {
      {"missing key: nothing read", nullptr, false, 77, "c0", "p0", "s0"},
      {"all four",
       [](RegistryKey& k) {
         k.SetString("Connect", "ldap.local");
         k.SetString("Port", "389");
         k.SetString("Search", "o=Org");
         k.SetDword("Start", 1);
       },
       true, 1, "ldap.local", "389", "o=Org"},
      {"no Search: the values before it stay read",
       [](RegistryKey& k) {
         k.SetString("Connect", "h");
         k.SetString("Port", "10389");
         k.SetDword("Start", 1);
       },
       false, 77, "h", "10389", "s0"},
      {"Start of another type",
       [](RegistryKey& k) {
         k.SetString("Connect", "h");
         k.SetString("Port", "1");
         k.SetString("Search", "s");
         k.SetString("Start", "1");
       },
       false, 77, "h", "1", "s"},
      {"Port as a number is missing text",
       [](RegistryKey& k) {
         k.SetString("Connect", "h");
         k.SetDword("Port", 389);
       },
       false, 77, "h", "p0", "s0"},
  };
  for (const auto& c : cases) {
    platform::reg::Store::current_user()->delete_tree(platform::reg::Store::kRoot, kProductKey);
    prepare("\\Ldap", c.setup);
    std::uint32_t start = 77;
    QString connect = "c0", port = "p0", search = "s0";
    EXPECT_EQ(engine_helper().GetLdapSettings(start, connect, port, search), c.result) << c.name;
    EXPECT_EQ(start, c.start) << c.name;
    EXPECT_EQ(connect, QString::fromUtf8(c.connect)) << c.name;
    EXPECT_EQ(port, QString::fromUtf8(c.port)) << c.name;
    EXPECT_EQ(search, QString::fromUtf8(c.search)) << c.name;
  }
}

TEST_F(SettingsReaders, EncryptSettings) {
  using S = SavedListState;
  struct Case {
    const char* name;
    KeySetup setup;
    std::uint32_t isAuto;
    QStringList users;
    SavedListState state;
  };
  const Case cases[] = {
      {"missing key: created, defaults", nullptr, 0, {}, S::Missing},
      {"list present",
       [](RegistryKey& k) {
         k.SetDword("IsAuto", 1);
         k.SetObject("Users", {"0A", "Пётр"});
       },
       1,
       {"0A", "Пётр"},
       S::Read},
      {"Users as text: the caller's list stands",
       [](RegistryKey& k) { k.SetString("Users", "0A"); },
       0,
       {"caller"},
       S::Unreadable},
      {"Users of 6,000 bytes: read",
       [](RegistryKey& k) { k.SetObject("Users", std::vector<std::string>(30, std::string(200, 'u'))); }, 0,
       QStringList(30, QString(200, QLatin1Char('u'))), S::Read},
      {"Users longer than 1 MiB: emptied, unreadable",
       [](RegistryKey& k) {
         const std::vector<std::uint8_t> big(platform::reg::kMaxObjectBytes + 1, 0);
         k.SetBinary("Users", big.data(), static_cast<std::uint32_t>(big.size()));
       },
       0,
       {},
       S::Unreadable},
      {"Users damaged: emptied, unreadable",
       [](RegistryKey& k) {
         const std::uint8_t bad[] = {3, 0, 1, 'a'};
         k.SetBinary("Users", bad, sizeof(bad));
       },
       0,
       {},
       S::Unreadable},
      {"IsAuto of another type", [](RegistryKey& k) { k.SetString("IsAuto", "1"); }, 0, {}, S::Missing},
  };
  for (const auto& c : cases) {
    platform::reg::Store::current_user()->delete_tree(platform::reg::Store::kRoot, kProductKey);
    prepare("\\Property\\Encript", c.setup);
    std::uint32_t isAuto = 5;
    QStringList users = {"caller"};
    SavedListState state = S::Read;
    ASSERT_TRUE(engine_helper().GetEncryptSettings(isAuto, users, &state)) << c.name;
    EXPECT_EQ(isAuto, c.isAuto) << c.name;
    EXPECT_EQ(users, c.users) << c.name;
    EXPECT_EQ(state, c.state) << c.name;
  }
}

TEST_F(SettingsReaders, EncryptUsersWrittenAsTheReaderReadsThem) {
  QStringList names;
  for (int i = 0; i < 500; ++i) names << QStringLiteral("%1").arg(i, 40, 16, QLatin1Char('0'));
  ASSERT_TRUE(engine_helper().SetEncryptUsers(names));
  std::uint32_t isAuto = 0;
  QStringList back;
  SavedListState state = SavedListState::Missing;
  ASSERT_TRUE(engine_helper().GetEncryptSettings(isAuto, back, &state));
  EXPECT_EQ(state, SavedListState::Read);
  EXPECT_EQ(back, names);
  // A list its reader would refuse is not written: the stored one stays.
  EXPECT_FALSE(engine_helper().SetEncryptUsers(QStringList(5, QString(300000, QLatin1Char('x')))));
  ASSERT_TRUE(engine_helper().GetEncryptSettings(isAuto, back, &state));
  EXPECT_EQ(back, names);
}

TEST_F(SettingsReaders, DebugFlag) {
  struct Case {
    const char* name;
    KeySetup setup;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"missing key", nullptr, 0},
      {"set", [](RegistryKey& k) { k.SetDword("isdebug", 1); }, 1},
      {"text", [](RegistryKey& k) { k.SetString("IsDebug", "1"); }, 0},
  };
  for (const auto& c : cases) {
    platform::reg::Store::current_user()->delete_tree(platform::reg::Store::kRoot, kProductKey);
    prepare("", c.setup);
    EXPECT_EQ(engine_helper().GetDebugFlag(), c.expected) << c.name;
  }
}

TEST_F(SettingsReaders, SortSettings) {
  struct Case {
    const char* name;
    KeySetup setup;
    std::vector<std::uint32_t> words;  // Result ResultExist Source SourceExist Error ErrorExist
    const char* resultPath;
  };
  const Case cases[] = {
      {"missing key: created, read as an empty key", nullptr, {0, 0, 1, 0, 0, 0}, ""},
      {"empty key: defaults, the caller's paths stand", [](RegistryKey&) {}, {0, 0, 1, 0, 0, 0}, ""},
      {"values present",
       [](RegistryKey& k) {
         k.SetDword("Result", 1);
         k.SetDword("ResultExist", 1);
         k.SetDword("Source", 0);
         k.SetDword("SourceExist", 1);
         k.SetDword("Error", 1);
         k.SetDword("ErrorExist", 1);
         k.SetString("ResultPath", "/srv/Подписанные");
       },
       {1, 1, 0, 1, 1, 1},
       "/srv/Подписанные"},
      {"values of another type",
       [](RegistryKey& k) {
         k.SetString("Source", "0");
         k.SetDword("ResultPath", 1);
       },
       {0, 0, 1, 0, 0, 0},
       ""},
  };
  for (const auto& c : cases) {
    platform::reg::Store::current_user()->delete_tree(platform::reg::Store::kRoot, kProductKey);
    prepare("\\Sorting\\SGN", c.setup);
    SortSettings s{9, 9, 9, 9, 9, 9, QString(), QString(), QString()};
    ASSERT_TRUE(engine_helper().GetSortSettings("SGN", s)) << c.name;
    EXPECT_EQ((std::vector<std::uint32_t>{s.Result, s.ResultExist, s.Source, s.SourceExist, s.Error, s.ErrorExist}),
              c.words)
        << c.name;
    EXPECT_EQ(s.ResultPath, QString::fromUtf8(c.resultPath)) << c.name;
    EXPECT_TRUE(key_exists("\\Sorting\\SGN")) << c.name;
  }
  EXPECT_TRUE(ui_.messages().empty());
}

TEST_F(SettingsReaders, AMissingSortingFolderIsOfferedForCreation) {
  prepare("\\Sorting\\ENC", [](RegistryKey&) {});
  // Yes: made level by level, the path kept.
  ui_.queueMessage(IDYES);
  SortSettings s;
  s.ResultPath = path("sorted/Зашифрованные");
  ASSERT_TRUE(engine_helper().GetSortSettings("ENC", s));
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_EQ(ui_.messages()[0].text,
            QStringLiteral("Каталог: %1 \nдля сортировки не существует! Создать?").arg(s.ResultPath));
  EXPECT_EQ(ui_.messages()[0].flags, unsigned(MB_YESNO | MB_ICONQUESTION));
  EXPECT_TRUE(QDir(s.ResultPath).exists());

  // No: the default folder, and a note saying so.
  ui_.queueMessage(IDNO);
  ui_.queueMessage(IDOK);
  SortSettings t;
  t.ErrorPath = path("nowhere");
  ASSERT_TRUE(engine_helper().GetSortSettings("ENC", t));
  ASSERT_EQ(ui_.messages().size(), 3u);
  EXPECT_EQ(t.ErrorPath, default_folder());
  EXPECT_EQ(ui_.messages()[2].text, QStringLiteral("Установлен каталог по умолчанию %1").arg(default_folder()));
  EXPECT_FALSE(QDir(path("nowhere")).exists());
  EXPECT_EQ(ui_.unscripted(), 0);
}

TEST_F(SettingsReaders, SetSortSettingsWritesWhatGetReads) {
  SortSettings s{1, 0, 0, 1, 1, 1, "/a/result", "/a/source", "/a/error"};
  ASSERT_TRUE(engine_helper().SetSortSettings("E_DOC", s));
  SortSettings r;
  // The paths do not exist, but they were read from the key: no question.
  ASSERT_TRUE(engine_helper().GetSortSettings("e_doc", r));
  EXPECT_EQ((std::vector<std::uint32_t>{r.Result, r.ResultExist, r.Source, r.SourceExist, r.Error, r.ErrorExist}),
            (std::vector<std::uint32_t>{1, 0, 0, 1, 1, 1}));
  EXPECT_EQ(r.ResultPath, "/a/result");
  EXPECT_EQ(r.SourcePath, "/a/source");
  EXPECT_EQ(r.ErrorPath, "/a/error");
  EXPECT_TRUE(ui_.messages().empty());
}

}  // namespace
}  // namespace dsutils
