// Readers, the ATR table, the registry and the card channel over the fake.
#include <thread>

#include "tests/vxsdk/fake_fixture.h"
#include "vxsdk/card_channel.h"
#include "vxsdk/readers.h"

namespace {

using test_support::Persona;
using vxsdk::CReaderRegistry;
using vxsdk_test::CodeOf;
using vxsdk_test::FakeTest;

constexpr int32_t kNoCard = static_cast<int32_t>(0x8010000Cu);

class VxsdkReaders : public FakeTest {};

TEST_F(VxsdkReaders, NoReadersIsAnEmptyListAndARefusedBind) {
  EXPECT_TRUE(CReaderRegistry::Instance().ListReaders().empty());
  EXPECT_EQ(CodeOf([] { CReaderRegistry::Instance().BindReader("QRL ifdh T 00 00"); }), kNoCard);
  EXPECT_TRUE(CReaderRegistry::Instance().ListTokens().empty());
  // Every context is released, and no list was handed out to free.
  EXPECT_EQ(fake().calls.establish, fake().calls.release);
  EXPECT_EQ(fake().calls.free, 0);
}

TEST_F(VxsdkReaders, OtherListFailuresAreThrown) {
  fake().listResultOverride = static_cast<int32_t>(0x8010001Du);  // service stopped
  EXPECT_EQ(CodeOf([] { CReaderRegistry::Instance().ListReaders(); }), static_cast<int32_t>(0x8010001Du));
  fake().listResultOverride = 0;
  fake().establishResult = static_cast<int32_t>(0x80100011u);
  EXPECT_EQ(CodeOf([] { CReaderRegistry::Instance().ListReaders(); }), static_cast<int32_t>(0x80100011u));
}

TEST_F(VxsdkReaders, ListShowsEveryReaderAndWhetherACardIsIn) {
  AddCard("QRL ifdh T 00 00", Persona::K2Long);
  fake().AddReader("QRL ifdh T 00 01", nullptr);
  const auto list = CReaderRegistry::Instance().ListReaders();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].name, "QRL ifdh T 00 00");
  EXPECT_EQ(list[0].present, 1);
  EXPECT_EQ(list[1].name, "QRL ifdh T 00 01");
  EXPECT_EQ(list[1].present, 0);
  EXPECT_EQ(fake().calls.list, fake().calls.free);
}

TEST_F(VxsdkReaders, HostileReaderListsAreBounded) {
  struct Case {
    std::string raw;
    std::vector<std::string> names;
  } cases[] = {
      {std::string("A\0B\0\0", 5), {"A", "B"}},
      {std::string("A\0B", 3), {"A"}},  // no closing NUL: the cut name is dropped
      {std::string("\0", 1), {}},
      {std::string(), {}},
      {std::string("A\0Unknown\0\0", 11), {"A"}},  // a reader whose status fails is skipped
  };
  for (const auto& c : cases) {
    fake().Clear();
    fake().AddReader("A", nullptr);
    fake().AddReader("B", nullptr);
    fake().raw = true;
    fake().rawList = c.raw;
    std::vector<std::string> got;
    for (const auto& e : CReaderRegistry::Instance().ListReaders()) {
      got.push_back(e.name);
    }
    EXPECT_EQ(got, c.names) << "case of " << c.raw.size() << " bytes";
  }
}

TEST_F(VxsdkReaders, AtrTableComparesTheWholeAtr) {
  struct Case {
    Persona persona;
    bool token;
    vxsdk::TokenKind kind;
  } cases[] = {
      {Persona::K1, true, vxsdk::TokenKind::K1},       {Persona::K2Short, true, vxsdk::TokenKind::K2},
      {Persona::K2Long, true, vxsdk::TokenKind::K2},   {Persona::Foreign, false, vxsdk::TokenKind::K1},
      {Persona::LongAtr, false, vxsdk::TokenKind::K1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(test_support::PersonaName(c.persona));
    const auto atr = test_support::PersonaAtr(c.persona);
    const auto kind = vxsdk::KindFromAtr(atr.data(), static_cast<uint32_t>(atr.size()));
    ASSERT_EQ(kind.has_value(), c.token);
    if (c.token) {
      EXPECT_EQ(*kind, c.kind);
      // A truncated ATR is no token either.
      EXPECT_FALSE(vxsdk::KindFromAtr(atr.data(), static_cast<uint32_t>(atr.size() - 1)).has_value());
    }
    fake().Clear();
    CReaderRegistry::Instance().ClearForTest();
    AddCard("R", c.persona);
    if (c.token) {
      EXPECT_EQ(CReaderRegistry::Instance().BindReader("R")->Kind(), c.kind);
      EXPECT_EQ(CReaderRegistry::Instance().ListTokens().size(), 1u);
      EXPECT_EQ(CReaderRegistry::Instance().ListK1Tokens().size(), c.kind == vxsdk::TokenKind::K1 ? 1u : 0u);
      EXPECT_EQ(CReaderRegistry::Instance().ListK2Tokens().size(), c.kind == vxsdk::TokenKind::K2 ? 1u : 0u);
    } else {
      EXPECT_EQ(CodeOf([] { CReaderRegistry::Instance().BindReader("R"); }), kNoCard);
      EXPECT_TRUE(CReaderRegistry::Instance().ListTokens().empty());
      EXPECT_EQ(fake().calls.connect, 0);
    }
  }
}

TEST_F(VxsdkReaders, BindComparesWholeNamesInAnyCase) {
  struct Case {
    const char* reader;
    const char* asked;
    bool binds;
  } cases[] = {
      {"QRL ifdh T 00 00", "QRL ifdh T 00 00", true},
      {"QRL ifdh T 00 00", "qrl IFDH t 00 00", true},
      {"QRL ifdh T 00 00", "QRL ifdh T 00", false},
      {"QRL ifdh T 00", "QRL ifdh T 00 00", false},
      {"QRL ifdh T 00 00", "", false},
      {"QRL ifdh T 00 00", "QRL ifdh T 00 01", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.reader) + " / " + c.asked);
    fake().Clear();
    CReaderRegistry::Instance().ClearForTest();
    AddCard(c.reader, Persona::K2Short);
    const int32_t code = CodeOf([&] { CReaderRegistry::Instance().BindReader(c.asked); });
    EXPECT_EQ(code, c.binds ? 0 : kNoCard);
  }
}

TEST_F(VxsdkReaders, RepeatedBindKeepsTheObjectAndASwapMakesANewOne) {
  for (Persona p : {Persona::K1, Persona::K2Long}) {
    SCOPED_TRACE(test_support::PersonaName(p));
    fake().Clear();
    CReaderRegistry::Instance().ClearForTest();
    auto card = AddCard("R", p);
    auto first = CReaderRegistry::Instance().BindReader("R");
    auto second = CReaderRegistry::Instance().BindReader("r");
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(fake().calls.connect, p == Persona::K1 ? 2 : 1);  // T=0|T=1 refused, then raw
    // Another token of the same kind in the same reader.
    card->Swap({0xA1, 0xB2, 0xC3, 0xD4});
    auto third = CReaderRegistry::Instance().BindReader("R");
    EXPECT_NE(third.get(), first.get());
    EXPECT_EQ(third->Serial(), (std::vector<uint8_t>{0xA1, 0xB2, 0xC3, 0xD4}));
    EXPECT_EQ(CReaderRegistry::Instance().SizeForTest(), 1u);
    // Pulled and put back: the old connection is gone, a new object is made.
    fake().Pull(0);
    fake().Insert(0, card);
    auto fourth = CReaderRegistry::Instance().BindReader("R");
    EXPECT_NE(fourth.get(), third.get());
  }
}

TEST_F(VxsdkReaders, OlderTokenFallsBackToRaw) {
  AddCard("R", Persona::K1);
  auto t = CReaderRegistry::Instance().BindReader("R");
  ASSERT_EQ(fake().connectProtocols.size(), 2u);
  EXPECT_EQ(fake().connectProtocols[0], vxsdk::kPcscProtocolT0 | vxsdk::kPcscProtocolT1);
  EXPECT_EQ(fake().connectProtocols[1], vxsdk::kPcscProtocolRaw);
  EXPECT_EQ(t->Channel().ActiveProtocol(), vxsdk::kPcscProtocolRaw);
}

TEST_F(VxsdkReaders, ConnectFailureIsThrownAndReleasesTheContext) {
  fake().AddReader("R", nullptr);
  EXPECT_EQ(CodeOf([] { vxsdk::CCardChannel::Open("R", vxsdk::kPcscShareShared); }), kNoCard);
  EXPECT_EQ(fake().calls.establish, fake().calls.release);
  EXPECT_EQ(fake().calls.disconnect, 0);
}

TEST_F(VxsdkReaders, NestedTransactionsReachPcscOnce) {
  AddCard("R", Persona::K2Short);
  auto ch = vxsdk::CCardChannel::Open("R", vxsdk::kPcscShareShared);
  EXPECT_EQ(ch->BeginTransaction(), 0);
  EXPECT_EQ(ch->BeginTransaction(), 0);
  EXPECT_EQ(ch->EndTransaction(vxsdk::kPcscLeaveCard), 0);
  EXPECT_EQ(fake().calls.end, 0);
  EXPECT_EQ(ch->EndTransaction(vxsdk::kPcscLeaveCard), 0);
  EXPECT_EQ(fake().calls.begin, 1);
  EXPECT_EQ(fake().calls.end, 1);
  // An unmatched end reaches nothing; a failed begin leaves the count alone.
  EXPECT_EQ(ch->EndTransaction(vxsdk::kPcscLeaveCard), 0);
  EXPECT_EQ(fake().calls.end, 1);
  fake().beginResult = static_cast<int32_t>(0x8010000Bu);
  EXPECT_EQ(ch->BeginTransaction(), static_cast<int32_t>(0x8010000Bu));
  EXPECT_EQ(ch->TransactionDepth(), 0);
  fake().beginResult = 0;
  EXPECT_EQ(ch->BeginTransaction(), 0);
  EXPECT_EQ(ch->TransactionDepth(), 1);
  EXPECT_EQ(ch->EndTransaction(vxsdk::kPcscLeaveCard), 0);
  ch.reset();
  EXPECT_EQ(fake().calls.disconnect, 1);
  EXPECT_EQ(fake().calls.release, fake().calls.establish);
}

TEST_F(VxsdkReaders, ChannelLockKeepsAnOperationTogether) {
  AddCard("R", Persona::K2Short);
  auto ch = vxsdk::CCardChannel::Open("R", vxsdk::kPcscShareShared);
  const uint8_t mark[] = {0x00, 0xA4, 0x00, 0x0C, 0x00, 0x00};
  const uint8_t other[] = {0x00, 0xCA, 0x01, 0x84, 0x00, 0xFD};
  uint8_t resp[300];
  ch->Lock();
  ch->Lock();  // the owner takes it again
  std::thread t([&] {
    uint32_t n = sizeof resp;
    uint8_t r2[300];
    ch->Transmit(other, sizeof other, r2, &n);
  });
  for (int i = 0; i < 3; ++i) {
    uint32_t n = sizeof resp;
    ASSERT_EQ(ch->Transmit(mark, sizeof mark, resp, &n), 0);
  }
  ch->Unlock();
  ch->Unlock();
  t.join();
  const auto trace = TraceHex();
  ASSERT_EQ(trace.size(), 4u);
  EXPECT_EQ(trace.back(), "00CA018400FD");
}

}  // namespace
