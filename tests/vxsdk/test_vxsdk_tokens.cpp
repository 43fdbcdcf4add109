// Both card operating systems over the fake: the APDU bytes of every
// command, logins, PIN changes, labels, serials, and hostile answers.
#include "tests/vxsdk/fake_fixture.h"
#include "vxsdk/pin_key.h"
#include "vxsdk/token.h"

namespace {

using test_support::CardCore;
using test_support::Persona;
using vxsdk::CardBracket;
using vxsdk::CReaderRegistry;
using vxsdk::CVexilToken;
using vxsdk_test::CodeOf;
using vxsdk_test::FakeTest;
using vxsdk_test::HexOf;

class VxsdkTokens : public FakeTest {
 protected:
  std::shared_ptr<CVexilToken> Bind(Persona p, const std::string& fixture = "") {
    InsertCard(p, fixture);
    auto t = CReaderRegistry::Instance().BindReader("R");
    fake().trace.clear();
    return t;
  }
  void Login(CVexilToken& t, const std::string& pin) {
    CardBracket b(t);
    t.Login(reinterpret_cast<const uint8_t*>(pin.data()), pin.size());
  }
};

// The command bytes of each operation, byte for byte.
TEST_F(VxsdkTokens, OlderOsCommandBytes) {
  struct Case {
    const char* what;
    std::function<void(CVexilToken&)> op;
    std::vector<std::string> cmds;
  } cases[] = {
      {"login",
       [](CVexilToken& t) { t.Login(reinterpret_cast<const uint8_t*>("1234"), 4); },
       {"00200000000005043132333"
        "4"}},
      {"logout",
       [](CVexilToken& t) { t.Logout(); },
       {"00DC0000000001"
        "00"}},
      {"change PIN",
       [](CVexilToken& t) {
         t.Login(reinterpret_cast<const uint8_t*>("1234"), 4);
         t.ChangePin(reinterpret_cast<const uint8_t*>("98765"), 5);
       },
       {"002000000000050431323334",
        "00D400000000060539383736"
        "35"}},
      {"label",
       [](CVexilToken& t) { EXPECT_EQ(t.Label(), "QRL TEST"); },
       {"00A40000000008"
        "0003"
        "003F"
        "0080"
        "AAAA",
        "00B00000000004"
        "0000"
        "0800"}},
      {"fresh query", [](CVexilToken& t) { EXPECT_TRUE(t.BoolQuery()); }, {"00DA000000000100"}},
      {"cached queries",
       [](CVexilToken& t) {
         EXPECT_EQ(t.Query16A(), 0x0010);
         EXPECT_EQ(t.Query8(), 0x07);
         EXPECT_EQ(t.Query16B(), 0x0020);
         EXPECT_EQ(t.ConstQuery(), 0);
         EXPECT_EQ(t.Name(), "VexilK1");
       },
       {}},
      {"read of 200 bytes in three commands",
       [](CVexilToken& t) {
         auto& k1 = dynamic_cast<vxsdk::CVexilK1Token&>(t);
         k1.SelectPath({0x3F00, 0xE007, 0x0001});
         EXPECT_EQ(k1.ReadSelected(0, 200).size(), 200u);
       },
       {"00A40000000008"
        "0003"
        "003F"
        "07E0"
        "0100",
        "00B00000000004"
        "0000"
        "5000",
        "00B00000000004"
        "5000"
        "5000",
        "00B00000000004"
        "A000"
        "2800"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake().Clear();
    CReaderRegistry::Instance().ClearForTest();
    auto t = Bind(Persona::K1, "dir 3F00/E007\nfile 3F00/E007/0001 300 0\n");
    {
      CardBracket b(*t);
      c.op(*t);
    }
    EXPECT_EQ(TraceHex(), c.cmds);
  }
}

TEST_F(VxsdkTokens, OlderOsBindReadsTheIdentificationOnce) {
  card_ = std::make_shared<CardCore>(Persona::K1);
  card_->SetSerial({0xDE, 0xAD, 0xBE, 0xEF});
  fake().AddReader("R", card_);
  auto t = CReaderRegistry::Instance().BindReader("R");
  EXPECT_EQ(TraceHex(), std::vector<std::string>{"00DA000000000100"});
  EXPECT_EQ(t->Serial(), (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));
  EXPECT_EQ(fake().calls.begin, 1);
  EXPECT_EQ(fake().calls.end, 1);
}

TEST_F(VxsdkTokens, NewerOsCommandBytes) {
  const std::string qrl =
      "00A4040C03515"
      "24C00";
  struct Case {
    const char* what;
    std::function<void(CVexilToken&)> op;
    std::vector<std::string> cmds;
  } cases[] = {
      {"logout", [](CVexilToken& t) { t.Logout(); }, {"00A4000C0000"}},
      {"label",
       [](CVexilToken& t) { EXPECT_EQ(t.Label(), "QRL TEST"); },
       {qrl, "00A4090C041000000200",
        "00B0000000"
        "20"}},
      {"query 84", [](CVexilToken& t) { EXPECT_TRUE(t.BoolQuery()); }, {"00CA018400FD"}},
      {"query 89", [](CVexilToken& t) { EXPECT_EQ(t.Query16B(), 0x1234); }, {"00CA018900FD"}},
      {"query 8A", [](CVexilToken& t) { EXPECT_EQ(t.Query16C(), 0x0800); }, {"00CA018A00FD"}},
      {"query 83 and the proprietary command",
       [](CVexilToken& t) { dynamic_cast<vxsdk::CVexilK2Token&>(t).ProprietaryReset(); },
       {"00CA018300FD"}},
      {"root record flag",
       [](CVexilToken& t) { EXPECT_FALSE(dynamic_cast<vxsdk::CVexilK2Token&>(t).RootRecordFlag()); },
       {"00A4080C06666610000001"
        "00",
        "00B0000000"
        "08"}},
      {"cached queries",
       [](CVexilToken& t) {
         EXPECT_EQ(t.Query16A(), 0x0100);
         EXPECT_EQ(t.Query8(), 0x02);
         EXPECT_EQ(t.ConstQuery(), 1);
         EXPECT_EQ(t.Name(), "VexilK2");
         EXPECT_EQ(t.MinPinLength(), 4);
         EXPECT_EQ(t.MaxPinLength(), 16);
       },
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake().Clear();
    CReaderRegistry::Instance().ClearForTest();
    auto t = Bind(Persona::K2Long);
    {
      CardBracket b(*t);
      c.op(*t);
    }
    EXPECT_EQ(TraceHex(), c.cmds);
  }
}

TEST_F(VxsdkTokens, NewerOsBindReadsTheTokenRecord) {
  card_ = std::make_shared<CardCore>(Persona::K2Short);
  // The record's bytes 1-4 as the card stores them.
  auto* rec = card_->Find({0x3F00, 0xA000, 0x1000, 0x0001});
  ASSERT_NE(rec, nullptr);
  rec->data[1] = 0x11;
  rec->data[2] = 0x22;
  rec->data[3] = 0x33;
  rec->data[4] = 0x44;
  fake().AddReader("R", card_);
  auto t = CReaderRegistry::Instance().BindReader("R");
  EXPECT_EQ(TraceHex(), (std::vector<std::string>{"00A4040C03515"
                                                  "24C00",
                                                  "00A4090C041000000100",
                                                  "00B00000000"
                                                  "7"}));
  EXPECT_EQ(t->Serial(), (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));
}

TEST_F(VxsdkTokens, NewerOsLoginAnswersTheChallengeWithEde) {
  auto t = Bind(Persona::K2Long, "pin 2468\n");
  Login(*t, "2468");
  EXPECT_TRUE(card_->loggedIn());
  const auto& tr = fake().trace;
  ASSERT_EQ(tr.size(), 3u);
  EXPECT_EQ(HexOf(tr[0].cmd),
            "00A4040C03515"
            "24C00");
  EXPECT_EQ(HexOf(tr[1].cmd),
            "0084000000"
            "08");
  ASSERT_EQ(tr[1].resp.size(), 10u);
  vxsdk::PinKey key;
  vxsdk::DerivePinKey(reinterpret_cast<const uint8_t*>("2468"), 4, &key);
  std::array<uint8_t, 24> k{};
  std::copy_n(key.data(), 24, k.begin());
  const auto crypt = test_support::EmulatorEde3(k, tr[1].resp.data());
  EXPECT_EQ(HexOf(tr[2].cmd), "0082008108" + HexOf({crypt.begin(), crypt.end()}) + "00");
}

TEST_F(VxsdkTokens, WrongPinGivesTheCardStatus) {
  for (Persona p : {Persona::K1, Persona::K2Short}) {
    SCOPED_TRACE(test_support::PersonaName(p));
    fake().Clear();
    CReaderRegistry::Instance().ClearForTest();
    auto t = Bind(p, "pin 1111\n");
    EXPECT_EQ(CodeOf([&] { Login(*t, "2222"); }), static_cast<int32_t>(0x86E063CEu));
    EXPECT_EQ(CodeOf([&] { Login(*t, "2223"); }), static_cast<int32_t>(0x86E063CDu));
    EXPECT_FALSE(card_->loggedIn());
    EXPECT_EQ(CodeOf([&] { Login(*t, "1111"); }), 0);
  }
}

// An empty PIN used to send nothing and report success, so a caller counted
// a login that never happened.
TEST_F(VxsdkTokens, NewerOsEmptyPinIsRefusedWithoutACommand) {
  auto t = Bind(Persona::K2Long);
  EXPECT_EQ(CodeOf([&] { Login(*t, ""); }), static_cast<int32_t>(0x86E06416u));
  EXPECT_EQ(CodeOf([&] {
              CardBracket b(*t);
              t->Login(nullptr, 0);
            }),
            static_cast<int32_t>(0x86E06416u));
  EXPECT_EQ(CodeOf([&] {
              CardBracket b(*t);
              t->ChangePin(nullptr, 0);
            }),
            static_cast<int32_t>(0x86E06416u));
  EXPECT_TRUE(fake().trace.empty());
}

TEST_F(VxsdkTokens, NewerOsPinChangeByEitherPath) {
  for (bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "PUT DATA refused" : "PUT DATA");
    fake().Clear();
    CReaderRegistry::Instance().ClearForTest();
    auto t = Bind(Persona::K2Short, "pin 1234\n");
    Login(*t, "1234");
    test_support::CardFaults f;
    f.putDataRefused = refused;
    card_->ArmFaults(f);
    fake().trace.clear();
    {
      CardBracket b(*t);
      t->ChangePin(reinterpret_cast<const uint8_t*>("87654321"), 8);
    }
    vxsdk::PinKey key;
    vxsdk::DerivePinKey(reinterpret_cast<const uint8_t*>("87654321"), 8, &key);
    const std::string keyHex = HexOf({key.data(), key.data() + 24});
    const std::string putData =
        "00DA016E43"
        "83020001"
        "8508030F820FFFFF0000"
        "86070001FF00000001"
        "8B10" +
        std::string(32, 'F') + "8F18" + keyHex + "00";
    const auto trace = TraceHex();
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace[0],
              "00A4040C03515"
              "24C00");
    EXPECT_EQ(trace[1], putData);
    size_t next = 2;
    if (refused) {
      ASSERT_GE(trace.size(), 3u);
      EXPECT_EQ(trace[2], "0024018118" + keyHex + "00");
      next = 3;
    }
    // Then a login with the new PIN: select, challenge, authenticate.
    ASSERT_EQ(trace.size(), next + 3);
    EXPECT_EQ(trace[next + 1],
              "0084000000"
              "08");
    card_->Reset();
    EXPECT_EQ(CodeOf([&] { Login(*t, "1234"); }), static_cast<int32_t>(0x86E063CEu));
    EXPECT_EQ(CodeOf([&] { Login(*t, "87654321"); }), 0);
  }
}

TEST_F(VxsdkTokens, PinChangeFailsWhenBothPathsFail) {
  auto t = Bind(Persona::K2Short);
  test_support::CardFaults f;
  f.putDataRefused = true;
  card_->ArmFaults(f);
  // Not logged in: CHANGE REFERENCE DATA answers 6982 and ends the change.
  EXPECT_EQ(CodeOf([&] {
              CardBracket b(*t);
              t->ChangePin(reinterpret_cast<const uint8_t*>("5555"), 4);
            }),
            static_cast<int32_t>(0x86E06982u));
  EXPECT_EQ(TraceHex().size(), 3u);
}

TEST_F(VxsdkTokens, LabelsOfBothGenerations) {
  struct Case {
    Persona persona;
    std::string fixture;
    test_support::CardFaults faults;
    std::string label;
    int32_t code;
  } cases[] = {
      {Persona::K1, "label Token one\n", {}, "Token one", 0},
      {Persona::K1, "nolabel\n", {}, "", 0},
      {Persona::K1, "labelhex 0020002020\n", {}, "", 0},
      {Persona::K1, "labelhex 41422000\n", {}, "AB", 0},
      {Persona::K1, "labelhex \n", {}, "", 0},  // a label file of size 0
      {Persona::K1, "nolabel\n", {.notFoundAs6407 = true}, "", 0},
      {Persona::K1, "label x\n", {.swOnNth = 1, .sw = 0x6982}, "", static_cast<int32_t>(0x86E06982u)},
      {Persona::K1, "label Read ends\n", {.k1ReadNoData = true}, "", 0},
      {Persona::K2Long, "label Token two\n", {}, "Token two", 0},
      {Persona::K2Long, "labelhex 00000000\n", {}, "", 0},
      {Persona::K2Long, "labelhex 2020202000\n", {}, "", 0},
      {Persona::K2Long, "labelhex 5820205900\n", {}, "X  Y", 0},
      {Persona::K2Long, "nolabel\n", {}, "", static_cast<int32_t>(0x86E06A82u)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(test_support::PersonaName(c.persona)) + ": " + c.fixture);
    fake().Clear();
    CReaderRegistry::Instance().ClearForTest();
    auto t = Bind(c.persona, c.fixture);
    card_->ArmFaults(c.faults);
    std::string label = "unset";
    const int32_t code = CodeOf([&] {
      CardBracket b(*t);
      label = t->Label();
    });
    EXPECT_EQ(code, c.code);
    if (c.code == 0) {
      EXPECT_EQ(label, c.label);
    }
  }
}

TEST_F(VxsdkTokens, OlderOsReadWithoutDataEnds) {
  auto t = Bind(Persona::K1, "dir 3F00/E007\nfile 3F00/E007/0001 300 0\n");
  test_support::CardFaults f;
  f.k1ReadNoData = true;
  card_->ArmFaults(f);
  auto& k1 = dynamic_cast<vxsdk::CVexilK1Token&>(*t);
  CardBracket b(*t);
  k1.SelectPath({0x3F00, 0xE007, 0x0001});
  EXPECT_TRUE(k1.ReadSelected(0, 300).empty());
  EXPECT_EQ(fake().trace.size(), 2u);
}

// Answers no card of ours gives: each ends with a code, never a hang or an
// overrun.
TEST_F(VxsdkTokens, HostileAnswersEndWithACode) {
  struct Case {
    const char* what;
    Persona persona;
    std::vector<uint8_t> answer;  // to the record reads; selects get 90 00
    int32_t code;
  } cases[] = {
      {"one byte", Persona::K1, {0x90}, static_cast<int32_t>(0x80100013u)},
      {"nothing", Persona::K2Short, {}, static_cast<int32_t>(0x80100013u)},
      {"9000 without the record", Persona::K1, {0x90, 0x00}, static_cast<int32_t>(0x80100013u)},
      {"9000 without the record", Persona::K2Long, {0x90, 0x00}, static_cast<int32_t>(0x80100013u)},
      {"short record", Persona::K2Long, {1, 2, 3, 0x90, 0x00}, static_cast<int32_t>(0x80100013u)},
      {"longer than the buffer", Persona::K2Long, std::vector<uint8_t>(400, 0x90), static_cast<int32_t>(0x80100008u)},
      {"an error status", Persona::K1, {0x6D, 0x00}, static_cast<int32_t>(0x86E06D00u)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake().Clear();
    CReaderRegistry::Instance().ClearForTest();
    auto& r = fake().AddReader("R", nullptr);
    r.atr = test_support::PersonaAtr(c.persona);
    const auto answer = c.answer;
    r.responder = [answer](const std::vector<uint8_t>& cmd, std::vector<uint8_t>* resp) {
      const bool read = cmd.size() > 1 && (cmd[1] == 0xB0 || cmd[1] == 0xDA);
      *resp = read ? answer : std::vector<uint8_t>{0x90, 0x00};
      return true;
    };
    // A bind skips the reader; the card-OS object itself reports the code.
    EXPECT_EQ(CodeOf([] { CReaderRegistry::Instance().BindReader("R"); }), static_cast<int32_t>(0x8010000Cu));
    auto ch = vxsdk::CCardChannel::Open("R", vxsdk::kPcscShareShared);
    const int32_t code = CodeOf([&] {
      if (c.persona == Persona::K1) {
        vxsdk::CVexilK1Token t(ch);
      } else {
        vxsdk::CVexilK2Token t(ch);
      }
    });
    EXPECT_EQ(code, c.code);
  }
}

TEST_F(VxsdkTokens, CardPulledMidCommand) {
  for (Persona p : {Persona::K1, Persona::K2Long}) {
    SCOPED_TRACE(test_support::PersonaName(p));
    fake().Clear();
    CReaderRegistry::Instance().ClearForTest();
    auto t = Bind(p);
    test_support::CardFaults f;
    f.dropOnNth = 2;
    card_->ArmFaults(f);
    EXPECT_EQ(CodeOf([&] {
                CardBracket b(*t);
                t->Label();
              }),
              static_cast<int32_t>(0x80100069u));
    EXPECT_EQ(CodeOf([] { CReaderRegistry::Instance().BindReader("R"); }), static_cast<int32_t>(0x8010000Cu));
  }
}

TEST_F(VxsdkTokens, SameCardCheckAfterAFailedAnswer) {
  auto t = Bind(Persona::K2Short);
  test_support::CardFaults f;
  f.swOnNth = 1;
  f.sw = 0x6F00;
  card_->ArmFaults(f);
  // Any failure of the fresh read means another card: a new object.
  auto again = CReaderRegistry::Instance().BindReader("R");
  EXPECT_NE(again.get(), t.get());
  EXPECT_EQ(again->Serial(), t->Serial());
}

}  // namespace
