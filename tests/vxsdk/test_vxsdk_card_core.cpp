// The card emulator's own commands, straight into the core: the answers the
// SDK's tests rely on must themselves be right.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/card_core.h"
#include "tests/vxsdk/fake_fixture.h"

namespace {

using test_support::CardCore;
using test_support::Persona;
using vxsdk_test::HexOf;

std::vector<uint8_t> Hex(const std::string& s) {
  std::vector<uint8_t> v;
  for (size_t i = 0; i + 1 < s.size(); i += 2) {
    v.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
  }
  return v;
}

std::string Send(CardCore& c, const std::string& apdu) {
  const auto a = Hex(apdu);
  std::vector<uint8_t> r;
  if (c.Process(a.data(), a.size(), &r) == CardCore::Outcome::Drop) {
    return "drop";
  }
  return HexOf(r);
}

struct Step {
  std::string apdu;
  std::string answer;
};

void RunSteps(CardCore& c, const std::vector<Step>& steps) {
  for (size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(Send(c, steps[i].apdu), steps[i].answer) << "step " << i << ": " << steps[i].apdu;
  }
}

TEST(VxsdkCardCore, OlderOsFileCommands) {
  CardCore c(Persona::K1);
  std::string why;
  ASSERT_TRUE(c.LoadFixture("pin 1234\nnolabel\n", &why)) << why;
  RunSteps(c, {
                  {"00E00000000006"
                   "0200"
                   "0000"
                   "07E0",
                   "6982"},  // create needs the PIN
                  {"002000000000050431323334", "9000"},
                  {"00E00000000006"
                   "0200"
                   "0000"
                   "07E0",
                   "9000"},
                  {"00E00000000006"
                   "0200"
                   "0000"
                   "07E0",
                   "6A89"},  // exists
                  {"00A40000000006"
                   "0002"
                   "003F"
                   "07E0",
                   "07E0020000000000"
                   "9000"},
                  {"00E00000000006"
                   "0101"
                   "0A00"
                   "0100",
                   "9000"},  // protected file of 10 bytes
                  {"00A40000000004"
                   "0101"
                   "0100",
                   "010001010A000000"
                   "9000"},
                  {"00D00000000007"
                   "0000"
                   "0300"
                   "414243",
                   "9000"},
                  {"00B00000000004"
                   "0100"
                   "0500",
                   "4243000000"
                   "9000"},
                  {"00B00000000004"
                   "0B00"
                   "0100",
                   "6B00"},  // past the end
                  {"00D00000000006"
                   "0900"
                   "0200"
                   "0000",
                   "6B00"},
                  {"00DC000000000100", "9000"},
                  {"00B00000000004"
                   "0000"
                   "0100",
                   "6982"},  // flag 1: read needs the PIN
                  {"00A40000000004"
                   "0101"
                   "0200",
                   "6A82"},
                  {"00A40000000004"
                   "0101"
                   "0100",
                   "010001010A000000"
                   "9000"},
                  {"00D20000000003"
                   "0000"
                   "01",
                   "0100"
                   "0100"
                   "9000"},  // files of 07E0
                  {"00D20000000003"
                   "0000"
                   "02",
                   "0000"
                   "9000"},
                  {"00E20000000001"
                   "01",
                   "6982"},  // delete needs the PIN
                  {"002000000000050431323335", "63CE"},
                  {"002000000000050431323334", "9000"},
                  {"00E20000000001"
                   "02",
                   "6985"},  // the selected object is a file
                  {"00E20000000001"
                   "01",
                   "9000"},
                  {"00A40000000004"
                   "0101"
                   "0100",
                   "6A82"},
                  {"00990000000000", "6D00"},
                  {"002000000000", "6700"},
                  {"00B00000000003"
                   "000001",
                   "6700"},
              });
  EXPECT_NE(c.DumpTree().find("3F00/E007 dir"), std::string::npos) << c.DumpTree();
}

TEST(VxsdkCardCore, NewerOsFileCommands) {
  CardCore c(Persona::K2Short);
  std::string why;
  ASSERT_TRUE(c.LoadFixture("pin 1234\n", &why)) << why;
  const std::string fileTpl =
      "6F37"
      "8102000A"
      "820301FF00"
      "830200E1"
      "8503010000"
      "8609010101FFFF01010101"
      "8B18" +
      std::string(48, 'F');
  RunSteps(c, {
                  {"00A4080C0266660"
                   "0",
                   "9000"},
                  {"00E0000039" + fileTpl + "00", "6982"},
                  {"00A4040C03515"
                   "24C00",
                   "9000"},
                  {"0082008108000000000000000000", "6985"},  // no challenge asked
                  {"00A4000C000"
                   "0",
                   "9000"},
                  {"00A4080C02666"
                   "600",
                   "9000"},
                  {"00A4000002999"
                   "964",
                   "6A82"},
                  {"00CA018400FD",
                   "0001"
                   "9000"},
                  {"00CA017700FD", "6A82"},
                  {"00DA016E0000", "6700"},
                  {"0024018100"
                   "00",
                   "6700"},
                  {"001200000000", "6D00"},
                  {"00B0000000"
                   "08",
                   "6985"},  // no file selected
                  {"00A4080C0466661000"
                   "00",
                   "9000"},
                  {"00A40200"
                   "00",
                   "6700"},
                  {"00A40700021000"
                   "00",
                   "6B00"},
              });
}

// The listing answers pages of at most 253 bytes; the last entry of a full
// page names where the next starts.
TEST(VxsdkCardCore, NewerOsListingPages) {
  CardCore c(Persona::K2Long);
  std::string fx;
  for (int i = 0; i < 60; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "file 3F00/6666/E007/%04X 4 0\n", i + 1);
    fx += line;
  }
  std::string why;
  ASSERT_TRUE(c.LoadFixture("dir 3F00/6666/E007\n" + fx, &why)) << why;
  Send(c, "00A4080C046666E00700");
  std::vector<uint16_t> ids;
  uint8_t next = 0;
  for (int page = 0; page < 10; ++page) {
    char cmd[32];
    std::snprintf(cmd, sizeof cmd, "801601%02XFD", next);
    // Le FD inside the command is six bytes with Lc 00.
    std::snprintf(cmd, sizeof cmd, "801601%02X00FD", next);
    const auto a = Hex(cmd);
    std::vector<uint8_t> r;
    c.Process(a.data(), a.size(), &r);
    ASSERT_GE(r.size(), 2u);
    ASSERT_EQ(r[r.size() - 2], 0x90);
    EXPECT_LE(r.size() - 2, 253u);
    bool more = false;
    for (size_t pos = 0; pos + 2 <= r.size() - 2;) {
      ASSERT_EQ(r[pos], 0x6F);
      const size_t len = r[pos + 1];
      const uint8_t* e = &r[pos + 2];
      EXPECT_EQ(e[2], 0x01);
      ids.push_back(static_cast<uint16_t>(e[5] << 8 | e[6]));
      if (len == 10) {
        EXPECT_EQ(e[7], 0x8A);
        next = e[9];
        more = true;
      }
      pos += 2 + len;
    }
    if (!more) {
      break;
    }
  }
  ASSERT_EQ(ids.size(), 60u);
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(ids[i], i + 1);
  }
}

TEST(VxsdkCardCore, FaultsAndPower) {
  CardCore c(Persona::K2Long);
  test_support::CardFaults f;
  f.swOnNth = 2;
  f.sw = 0x6A81;
  c.ArmFaults(f);
  EXPECT_EQ(Send(c, "00A4000C0000"), "9000");
  EXPECT_EQ(Send(c, "00A4000C0000"), "6A81");
  EXPECT_EQ(Send(c, "00A4000C0000"), "9000");
  f = {};
  f.dropOnNth = 1;
  c.ArmFaults(f);
  EXPECT_EQ(Send(c, "00A4000C0000"), "drop");
  f = {};
  f.notFoundAs6407 = true;
  c.ArmFaults(f);
  EXPECT_EQ(Send(c,
                 "00A4000C022222"
                 "00"),
            "6407");
  f = {};
  f.k2RepeatContinuation = true;
  c.ArmFaults(f);
  Send(c,
       "00A4080C026666"
       "00");
  EXPECT_EQ(Send(c, "8016000000FD"),
            "6F0A8201388602"
            "1000"
            "8A0100"
            "9000");
  // Power off and reset drop the login.
  c.SetPin("1234");
  CardCore k1(Persona::K1);
  EXPECT_EQ(Send(k1, "002000000000050431323334"), "9000");
  EXPECT_TRUE(k1.loggedIn());
  k1.Reset();
  EXPECT_FALSE(k1.loggedIn());
  f = {};
  f.k1OversizedListCount = true;
  k1.ArmFaults(f);
  EXPECT_EQ(Send(k1,
                 "00D20000000003"
                 "0000"
                 "02"),
            "5902"
            "0080"
            "9000");
}

TEST(VxsdkCardCore, FixtureErrorsAreNamed) {
  for (const char* bad : {"persona K9\n", "serial 12\n", "dir 3F00/ZZZZ\n", "file 3F00/0001\n", "dir 3F00/1111/2222\n",
                          "bogus\n", "file 3F00/0001 2 0 AABBCC\n"}) {
    CardCore c(Persona::K1);
    std::string why;
    EXPECT_FALSE(c.LoadFixture(bad, &why)) << bad;
    EXPECT_FALSE(why.empty());
  }
}

}  // namespace
