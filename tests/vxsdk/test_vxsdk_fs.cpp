// Directories and files of both generations over the fake: command bytes,
// root selectors, chunked reads and writes, listings, and cards that loop
// or lie about sizes.
#include <numeric>

#include "tests/vxsdk/fake_fixture.h"
#include "vxsdk/token.h"
#include "vxsdk/token_fs.h"

namespace {

using test_support::Persona;
using vxsdk::CardBracket;
using vxsdk::CCardDir;
using vxsdk::CCardFile;
using vxsdk::CReaderRegistry;
using vxsdk::CVexilToken;
using vxsdk_test::CodeOf;
using vxsdk_test::FakeTest;

constexpr int32_t kInvalidArg = static_cast<int32_t>(0x80070057u);
constexpr int32_t kNotFound = static_cast<int32_t>(0x86E06A82u);
constexpr int32_t kDeviceError = static_cast<int32_t>(0x86E06F00u);
constexpr int32_t kCommError = static_cast<int32_t>(0x80100013u);

const Persona kBoth[] = {Persona::K1, Persona::K2Short};

class VxsdkFs : public FakeTest {
 protected:
  std::shared_ptr<CVexilToken> Bind(Persona p, const std::string& fixture = "") {
    InsertCard(p, fixture);
    auto t = CReaderRegistry::Instance().BindReader("R");
    {
      CardBracket b(*t);
      t->Login(reinterpret_cast<const uint8_t*>("1234"), 4);
    }
    fake().trace.clear();
    return t;
  }
  // The fixture's root of application folders: 3F00 or 3F00/6666.
  static std::string Root(Persona p) { return p == Persona::K1 ? "3F00" : "3F00/6666"; }
  static std::vector<uint16_t> RootPath(Persona p) {
    return p == Persona::K1 ? std::vector<uint16_t>{0x3F00} : std::vector<uint16_t>{0x3F00, 0x6666};
  }
  std::vector<uint16_t> At(Persona p, std::initializer_list<uint16_t> rest) {
    std::vector<uint16_t> v = RootPath(p);
    v.insert(v.end(), rest);
    return v;
  }
};

TEST_F(VxsdkFs, RootSelectorTable) {
  struct Case {
    uint16_t selector;
    std::vector<uint16_t> ids;
  } cases[] = {
      {0x0001, {0xE00E}},
      {0xF001, {0xE001}},
      {0xF007, {0xE007}},
      {0xF00B, {0xE00B}},
      {0xF00C, {0xE015, 0x0002}},
      {0xF011, {0xE015, 0x0007}},
      {0xFFFF, {0xE015, 0x0001}},
      {0x0002, {}},
      {0xF000, {}},
      {0xF012, {}},
      {0x0000, {}},
      {0xFFFE, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(vxsdk::RootSelectorPath(c.selector), c.ids) << std::hex << c.selector;
  }
}

TEST_F(VxsdkFs, RootFolderIsCreatedOnceThenOpened) {
  struct Case {
    uint16_t selector;
    std::initializer_list<uint16_t> made;
  } cases[] = {{0xF007, {0xE007}}, {0xF00C, {0xE015, 0x0002}}, {0xFFFF, {0xE015, 0x0001}}};
  for (Persona p : kBoth) {
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << test_support::PersonaName(p) << " " << std::hex << c.selector);
      fake().Clear();
      CReaderRegistry::Instance().ClearForTest();
      auto t = Bind(p);
      ASSERT_EQ(card_->Find(At(p, c.made)), nullptr);
      std::shared_ptr<CCardDir> d;
      {
        CardBracket b(*t);
        d = vxsdk::SelectRootFolder(t, c.selector);
      }
      EXPECT_EQ(d->Path(), At(p, c.made));
      const test_support::CardNode* node = card_->Find(At(p, c.made));
      ASSERT_NE(node, nullptr);
      EXPECT_TRUE(node->dir);
      // The second call finds the folders and creates nothing.
      const uint32_t before = card_->commands();
      fake().trace.clear();
      {
        CardBracket b(*t);
        d = vxsdk::SelectRootFolder(t, c.selector);
      }
      EXPECT_EQ(d->Path(), At(p, c.made));
      for (const auto& e : fake().trace) {
        EXPECT_NE(e.cmd[1], 0xE0) << "created again";
      }
      EXPECT_GT(card_->commands(), before);
    }
  }
}

TEST_F(VxsdkFs, RootSelectorOutsideTheTableSendsNothing) {
  auto t = Bind(Persona::K2Short);
  CardBracket b(*t);
  EXPECT_EQ(CodeOf([&] { vxsdk::SelectRootFolder(t, 0x0002); }), kInvalidArg);
  EXPECT_TRUE(fake().trace.empty());
}

// 200 bytes go as 80, 80 and 40, after one select.
TEST_F(VxsdkFs, ReadsAndWritesInChunksOfEighty) {
  struct Case {
    Persona p;
    std::vector<std::string> read;
    std::vector<std::string> write;
  } cases[] = {
      {Persona::K1,
       {"00A400000000080003003F07E00100", "00B0000000000400005000", "00B0000000000450005000", "00B00000000004A0002800"},
       {"00A400000000080003003F07E00100", "00D0000000005400005000", "00D0000000005450005000",
        "00D000000000"
        "2C"
        "A0002800"}},
      {Persona::K2Short,
       {"00A4080C06666"
        "6E007000100",
        "00B000000050", "00B000500050", "00B000A00028"},
       {"00A4080C06666"
        "6E007000100",
        "00D6000050", "00D6005050", "00D600A028"}},
  };
  std::vector<uint8_t> data(200);
  std::iota(data.begin(), data.end(), uint8_t{1});
  for (const auto& c : cases) {
    SCOPED_TRACE(test_support::PersonaName(c.p));
    fake().Clear();
    CReaderRegistry::Instance().ClearForTest();
    auto t = Bind(c.p, "dir " + Root(c.p) + "/E007\nfile " + Root(c.p) + "/E007/0001 300 0\n");
    std::shared_ptr<CCardFile> f;
    {
      CardBracket b(*t);
      f = vxsdk::CardRootDir(t)->OpenDir(0xE007)->OpenFile(0x0001);
    }
    ASSERT_EQ(f->Size(), 300);
    fake().trace.clear();
    {
      CardBracket b(*t);
      f->Write(data, 0);
    }
    ASSERT_EQ(fake().trace.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
      // Only the head of each write: the data bytes follow.
      EXPECT_EQ(vxsdk_test::HexOf(fake().trace[i].cmd).substr(0, c.write[i].size()), c.write[i]) << i;
    }
    fake().trace.clear();
    std::vector<uint8_t> got;
    {
      CardBracket b(*t);
      got = f->Read(0, 200);
    }
    EXPECT_EQ(TraceHex(), c.read);
    EXPECT_EQ(got, data);
    // At the end of the file nothing is read, and the count is clipped.
    CardBracket b(*t);
    EXPECT_TRUE(f->Read(300, 5).empty());
    EXPECT_EQ(f->Read(290, 0xFFFF).size(), 10u);
  }
}

TEST_F(VxsdkFs, NewerOsCreateSendsTheFileControlTemplate) {
  const std::string tail =
      "86090101"
      "01FFFF01010101"
      "8B18" +
      std::string(48, 'F');
  struct Case {
    bool dir;
    int32_t flag;
    std::string tpl;
  } cases[] = {
      {false, 0,
       "6F3781020064820301FF00830200"
       "0585030100008609000101FFFF010101018B18" +
           std::string(48, 'F')},
      {false, 1, "6F3781020064820301FF00830200058503010000" + tail},
      {true, 1,
       "6F378102FFFF820338FF0083020005850301000086"
       "09FF0101FFFF010101FF8B18" +
           std::string(48, 'F')},
  };
  for (const auto& c : cases) {
    fake().Clear();
    CReaderRegistry::Instance().ClearForTest();
    auto t = Bind(Persona::K2Short);
    CardBracket b(*t);
    auto root = vxsdk::CardRootDir(t);
    if (c.dir) {
      auto d = root->CreateDir(0x0005, c.flag);
      EXPECT_EQ(d->Flag(), 0) << "a directory reports no protection";
    } else {
      EXPECT_EQ(root->CreateFile(0x0005, 100, c.flag)->Flag(), c.flag);
      // Opened afresh, the flag comes from the access conditions.
      EXPECT_EQ(root->OpenFile(0x0005)->Flag(), c.flag);
    }
    ASSERT_GE(fake().trace.size(), 2u);
    EXPECT_EQ(vxsdk_test::HexOf(fake().trace[1].cmd), "00E0000039" + c.tpl + "00");
    EXPECT_EQ(fake().trace[1].cmd.size(), 5u + 57u + 1u);
  }
}

TEST_F(VxsdkFs, OlderOsCreateAndFlags) {
  auto t = Bind(Persona::K1);
  CardBracket b(*t);
  auto root = vxsdk::CardRootDir(t);
  auto d = root->CreateDir(0x1234, 7);
  EXPECT_EQ(d->Flag(), 1);
  EXPECT_EQ(vxsdk_test::HexOf(fake().trace[1].cmd), "00E00000000006020100003412");
  auto f = d->CreateFile(0x0001, 0x0102, 1);
  EXPECT_EQ(vxsdk_test::HexOf(fake().trace.back().cmd), "00E00000000006010102010100");
  EXPECT_EQ(f->Flag(), 1);
  EXPECT_EQ(f->Size(), 0x0102);
  // A listed directory learns its flag by selecting itself.
  auto listed = root->ListDirs();
  ASSERT_EQ(listed.size(), 2u);  // 8000 (the label's) and 1234
  EXPECT_EQ(listed[1]->Id(), 0x1234);
  fake().trace.clear();
  EXPECT_EQ(listed[1]->Flag(), 0);  // the emulator reports directories unprotected
  EXPECT_EQ(TraceHex(), std::vector<std::string>{"00A400000000060002003F3412"});
}

TEST_F(VxsdkFs, OpeningTheWrongKindIsNotFound) {
  for (Persona p : kBoth) {
    SCOPED_TRACE(test_support::PersonaName(p));
    fake().Clear();
    CReaderRegistry::Instance().ClearForTest();
    auto t = Bind(p, "dir " + Root(p) + "/E007\nfile " + Root(p) + "/0001 10 0\n");
    CardBracket b(*t);
    auto root = vxsdk::CardRootDir(t);
    EXPECT_EQ(CodeOf([&] { root->OpenFile(0xE007); }), kNotFound);
    EXPECT_EQ(CodeOf([&] { root->OpenDir(0x0001); }), kNotFound);
    EXPECT_EQ(CodeOf([&] { root->OpenFile(0x7777); }), kNotFound);
    EXPECT_TRUE(root->Exists(0xE007));
    EXPECT_FALSE(root->Exists(0x7777));
  }
}

TEST_F(VxsdkFs, ListingsAndASnapshotAfterADelete) {
  for (Persona p : kBoth) {
    SCOPED_TRACE(test_support::PersonaName(p));
    fake().Clear();
    CReaderRegistry::Instance().ClearForTest();
    std::string fx = "dir " + Root(p) + "/E007\ndir " + Root(p) + "/E007/00AA\n";
    // Enough files for the newer OS to page its listing.
    for (int i = 1; i <= 40; ++i) {
      char line[64];
      std::snprintf(line, sizeof line, "file %s/E007/%04X 4 %d\n", Root(p).c_str(), i, i % 2);
      fx += line;
    }
    auto t = Bind(p, fx);
    CardBracket b(*t);
    auto d = vxsdk::CardRootDir(t)->OpenDir(0xE007);
    auto files = d->ListFiles();
    ASSERT_EQ(files.size(), 40u);
    for (size_t i = 0; i < files.size(); ++i) {
      EXPECT_EQ(files[i]->Id(), i + 1);
    }
    auto dirs = d->ListDirs();
    ASSERT_EQ(dirs.size(), 1u);
    EXPECT_EQ(dirs[0]->Id(), 0x00AA);
    if (p != Persona::K1) {
      EXPECT_GT(std::count_if(fake().trace.begin(), fake().trace.end(),
                              [](const auto& e) { return e.cmd[0] == 0x80 && e.cmd[1] == 0x16; }),
                2);
    }
    // Deleted after the listing: still listed, its first attribute read
    // fails with the card's code.
    d->OpenFile(0x0003)->Delete();
    EXPECT_EQ(card_->Find(At(p, {0xE007, 0x0003})), nullptr);
    EXPECT_EQ(CodeOf([&] { files[2]->Size(); }), kNotFound);
    EXPECT_EQ(files[3]->Flag(), 0);
    EXPECT_EQ(files[3]->Size(), 4);
    EXPECT_EQ(files[4]->Flag(), 1);
    dirs[0]->Delete();
    EXPECT_EQ(card_->Find(At(p, {0xE007, 0x00AA})), nullptr);
  }
}

// A write's end is computed in 32 bits: 0xFFF0 + 0x20 does not wrap to 0x10.
TEST_F(VxsdkFs, WriteBeyondTheEndIsRefusedBeforeSending) {
  for (Persona p : kBoth) {
    SCOPED_TRACE(test_support::PersonaName(p));
    fake().Clear();
    CReaderRegistry::Instance().ClearForTest();
    auto t = Bind(p, "file " + Root(p) + "/0001 65535 0\nfile " + Root(p) + "/0002 100 0\n");
    CardBracket b(*t);
    auto root = vxsdk::CardRootDir(t);
    auto big = root->OpenFile(0x0001);
    auto small = root->OpenFile(0x0002);
    const std::vector<uint8_t> d32(0x20, 0xAB), d10(10, 0xCD);
    fake().trace.clear();
    EXPECT_EQ(CodeOf([&] { big->Write(d32, 0xFFF0); }), kInvalidArg);
    EXPECT_EQ(CodeOf([&] { small->Write(d10, 95); }), kInvalidArg);
    for (const auto& e : fake().trace) {
      EXPECT_NE(e.cmd[1], p == Persona::K1 ? 0xD0 : 0xD6) << "an update was sent";
    }
    EXPECT_EQ(CodeOf([&] { small->Write(d10, 90); }), 0);
    EXPECT_EQ(CodeOf([&] { big->Write(d32, 0xFFDF); }), 0);
    const auto* node = card_->Find(At(p, {0x0002}));
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(node->data.begin() + 90, node->data.end()), d10);
  }
}

TEST_F(VxsdkFs, CardsThatLoopOrLieGetACode) {
  struct Case {
    const char* what;
    Persona p;
    test_support::CardFaults faults;
    std::function<void(CCardDir&)> op;
    int32_t code;
  } cases[] = {
      {"older read without data",
       Persona::K1,
       {.k1ReadNoData = true},
       [](CCardDir& d) { d.OpenFile(0x0001)->Read(0, 100); },
       kDeviceError},
      {"newer listing that repeats its continuation",
       Persona::K2Short,
       {.k2RepeatContinuation = true},
       [](CCardDir& d) { d.ListFiles(); },
       kDeviceError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake().Clear();
    CReaderRegistry::Instance().ClearForTest();
    auto t = Bind(c.p, "file " + Root(c.p) + "/0001 100 0\n");
    card_->ArmFaults(c.faults);
    CardBracket b(*t);
    auto root = vxsdk::CardRootDir(t);
    EXPECT_EQ(CodeOf([&] { c.op(*root); }), c.code);
  }
}

TEST_F(VxsdkFs, OlderListCountIsBoundedByTheAnswer) {
  auto t = Bind(Persona::K1, "file 3F00/0001 1 0\nfile 3F00/0002 1 0\n");
  card_->ArmFaults({.k1OversizedListCount = true});
  CardBracket b(*t);
  const auto files = vxsdk::CardRootDir(t)->ListFiles();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[1]->Id(), 0x0002);
}

// The answer parsers on their own: short, lying and garbage answers.
TEST(VxsdkFsParsers, HostileAnswers) {
  using V = std::vector<uint8_t>;
  EXPECT_EQ(CodeOf([] { vxsdk::ParseK1Select(V{1, 2, 3}); }), kCommError);
  const auto s = vxsdk::ParseK1Select(V{0x01, 0x00, 0x01, 0x01, 0x34, 0x12, 0, 0});
  EXPECT_EQ(s.type, 1);
  EXPECT_EQ(s.flag, 1);
  EXPECT_EQ(s.size, 0x1234);
  EXPECT_EQ(CodeOf([] { vxsdk::ParseK1List(V{5}); }), kCommError);
  EXPECT_EQ(vxsdk::ParseK1List(V{0xFF, 0xFF, 0x01, 0x00, 0x02}), std::vector<uint16_t>{1});
  EXPECT_EQ(CodeOf([] { vxsdk::ParseK2Fci(V{0x6F, 0x02, 0x82, 0x00}); }), kCommError);
  EXPECT_EQ(CodeOf([] {
              vxsdk::ParseK2Fci(V{0x6F, 0x09, 0x82, 0x01, 0x01, 0x83, 0x02, 0x00, 0x01, 0x81, 0x05});
            }),
            kCommError);
  EXPECT_EQ(CodeOf([] { vxsdk::ParseK2ListPage(V{0x6F, 0x10, 0x82}, 0x01); }), kCommError);
  EXPECT_EQ(CodeOf([] { vxsdk::ParseK2ListPage(V{0x70, 0x00}, 0x01); }), kCommError);
  const auto page = vxsdk::ParseK2ListPage(V{0x6F, 0x07, 0x82, 0x01, 0x38, 0x86, 0x02, 0xE0, 0x07, 0x6F, 0x0A,
                                             0x82, 0x01, 0x01, 0x86, 0x02, 0x00, 0x05, 0x8A, 0x01, 0x09},
                                           0x01);
  EXPECT_EQ(page.ids, std::vector<uint16_t>{5});
  ASSERT_TRUE(page.next.has_value());
  EXPECT_EQ(*page.next, 9);
}

}  // namespace
