// The token SDK's core over a real pcscd with vpcd and the card emulator
// (started by pcscd_harness.sh as a ctest fixture; see its state file).
#include <PCSC/winscard.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/bio/media.h"
#include "crypto/bio/vxsdk_bio.h"
#include "tests/support/run_program.h"
#include "tests/vxsdk/e2e_fixture.h"
#include "vxsdk/apdu.h"
#include "vxsdk/api/vxsdk_api.h"
#include "vxsdk/ca_exception.h"
#include "vxsdk/registry.h"

namespace {

using vxsdk::CardBracket;
using vxsdk::CReaderRegistry;
using vxsdk_e2e::CodeOf;
using vxsdk_e2e::Hex;
using vxsdk_e2e::TokenE2e;

TEST_F(TokenE2e, PcscScanShowsBothReadersAndTheAtr) {
  Present("K2-13");
  const auto r = test_support::run_program({"pcsc_scan", "-c", "-n", "-t", "5"});
  EXPECT_NE(r.output.find("QRL ifdh T 00 00"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("QRL ifdh T 00 01"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("3B F2 98 00 FF C1 10 31 FE 55 C8 03 15"), std::string::npos) << r.output;
}

TEST_F(TokenE2e, PcscEnumerationListsTheTokenAndTheEmptyReader) {
  Present("K2-12");
  const auto list = CReaderRegistry::Instance().ListReaders();
  // The fixture's tree, as the emulator holds it.
  const std::string tree = Control("dump");
  EXPECT_NE(tree.find("3F00/A000/1000/0001 file size=7"), std::string::npos) << tree;
  std::map<std::string, int32_t> seen;
  for (const auto& e : list) {
    seen[e.name] = e.present;
  }
  ASSERT_EQ(seen.count(reader_), 1u);
  ASSERT_EQ(seen.count(state_["empty"]), 1u);
  EXPECT_EQ(seen[reader_], 1);
  EXPECT_EQ(seen[state_["empty"]], 0);
  EXPECT_EQ(CodeOf([&] { CReaderRegistry::Instance().BindReader(state_["empty"]); }),
            static_cast<int32_t>(0x8010000Cu));
  EXPECT_EQ(CReaderRegistry::Instance().ListK2Tokens().size(), 1u);
}

TEST_F(TokenE2e, TokenNewerOsLoginAndPinChangeByBothPaths) {
  Present("K2-13");
  auto t = Bind();
  EXPECT_EQ(Hex(t->Serial()), state_["serial"]);
  EXPECT_EQ(CodeOf([&] { Login(*t, "9999"); }), static_cast<int32_t>(0x86E063CEu));
  EXPECT_EQ(CodeOf([&] { Login(*t, ""); }), static_cast<int32_t>(0x86E06416u));
  ASSERT_EQ(CodeOf([&] { Login(*t, "1234"); }), 0);
  {
    CardBracket b(*t);
    t->ChangePin(reinterpret_cast<const uint8_t*>("24682468"), 8);
  }
  ASSERT_EQ(Control("fault putdata"), "ok\n");
  {
    CardBracket b(*t);
    t->ChangePin(reinterpret_cast<const uint8_t*>("1357"), 4);
  }
  ASSERT_EQ(Control("fault none"), "ok\n");
  {
    CardBracket b(*t);
    t->Logout();
  }
  EXPECT_EQ(CodeOf([&] { Login(*t, "24682468"); }), static_cast<int32_t>(0x86E063CEu));
  EXPECT_EQ(CodeOf([&] { Login(*t, "1357"); }), 0);
  std::string label;
  {
    CardBracket b(*t);
    label = t->Label();
  }
  EXPECT_EQ(label, "Vexil e2e token");
}

TEST_F(TokenE2e, TokenOlderOsThroughRaw) {
  Present("K1");
  // pcscd refuses T=0|T=1 for this ATR.
  SCARDHANDLE h = 0;
  DWORD proto = 0;
  const LONG rv =
      SCardConnect(ctx_, reader_.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &h, &proto);
  EXPECT_EQ(static_cast<uint32_t>(rv), 0x8010000Fu);
  if (rv == SCARD_S_SUCCESS) {
    SCardDisconnect(h, SCARD_LEAVE_CARD);
  }
  auto t = Bind();
  EXPECT_EQ(t->Kind(), vxsdk::TokenKind::K1);
  EXPECT_EQ(t->Channel().ActiveProtocol(), vxsdk::kPcscProtocolRaw);
  EXPECT_EQ(Hex(t->Serial()), state_["serial"]);
  EXPECT_EQ(CodeOf([&] { Login(*t, "1111"); }), static_cast<int32_t>(0x86E063CEu));
  EXPECT_EQ(CodeOf([&] { Login(*t, "1234"); }), 0);
  CardBracket b(*t);
  EXPECT_EQ(t->Label(), "Vexil e2e token");
}

// A floor far below what loopback gives (thousands a second), high enough to
// catch a 40 ms stall per message (Nagle against a delayed ACK gave 19/s).
TEST_F(TokenE2e, TokenCommandsFlowAtFourHundredASecond) {
  Present("K2-13");
  auto t = Bind();
  CardBracket b(*t);
  vxsdk::ChannelLock lock(t->Channel());
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 200; ++i) {
    vxsdk::K2Command(0x00, 0xA4, 0x00, 0x0C, {}, 0x00).SendChecked(t->Channel());
  }
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::milliseconds(500));
  std::printf("200 APDUs over pcscd in %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

TEST_F(TokenE2e, TokenSwapIsSeenAtTheNextBind) {
  Present("K2-12");
  auto first = Bind();
  EXPECT_EQ(Bind().get(), first.get());
  ASSERT_EQ(Control("remove"), "ok\n");
  ASSERT_TRUE(WaitPresence(false, 10000));
  ASSERT_EQ(Control("swap 0badcafe"), "ok\n");
  ASSERT_TRUE(WaitPresence(true, 10000));
  auto second = Bind();
  EXPECT_NE(second.get(), first.get());
  EXPECT_EQ(Hex(second->Serial()), "0badcafe");
  ASSERT_EQ(Control("remove"), "ok\n");
  ASSERT_TRUE(WaitPresence(false, 10000));
  ASSERT_EQ(Control("swap " + state_["serial"]), "ok\n");
  ASSERT_TRUE(WaitPresence(true, 10000));
}

TEST_F(TokenE2e, TokenPulledMidCommandGivesAPcscCode) {
  Present("K2-13");
  auto t = Bind();
  ASSERT_EQ(Control("fault drop 2"), "ok\n");
  const auto start = std::chrono::steady_clock::now();
  const int32_t code = CodeOf([&] {
    CardBracket b(*t);
    t->Label();
  });
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(static_cast<uint32_t>(code) & 0xFFFF0000u, 0x80100000u) << std::hex << code;
  std::printf("pulled mid-command: 0x%08X\n", static_cast<unsigned>(code));
  EXPECT_LT(took, std::chrono::seconds(15));
  ASSERT_EQ(Control("fault none"), "ok\n");
  ASSERT_TRUE(WaitPresence(false, 10000));
  // Once pcscd has seen the card go, the old connection says so.
  EXPECT_EQ(CodeOf([&] {
              CardBracket b(*t);
              t->Label();
            }),
            static_cast<int32_t>(0x80100069u));
  ASSERT_EQ(Control("insert"), "ok\n");
  ASSERT_TRUE(WaitPresence(true, 10000));
  EXPECT_EQ(CodeOf([&] { Bind(); }), 0);
}

// The exports, bind to unbind, over pcscd on both generations; the folder
// E007 does not exist on the fresh card and is made by the root open.
TEST_F(TokenE2e, ExportsRoundTripOnBothGenerations) {
  for (const char* persona : {"K1", "K2-13"}) {
    SCOPED_TRACE(persona);
    Present(persona);
    CReaderRegistry::Instance().ClearForTest();
    VXHandle tok = nullptr, root = nullptr, sub = nullptr, file = nullptr, files = nullptr;
    ASSERT_EQ(VXTokenBind(&tok, reader_.c_str()), 0);
    ASSERT_EQ(VXTokenLogin(tok, "1234"), 0);
    ASSERT_EQ(VXRootDirOpen(&root, tok, 0xF007), 0);
    VXObjectInfo info{};
    ASSERT_EQ(VXDirGetInfo(root, &info), 0);
    EXPECT_EQ(info.id, 0xE007);
    ASSERT_EQ(VXDirCreate(&sub, 0x0101, root, 0), 0);
    ASSERT_EQ(VXFileCreate(&file, sub, 0x0001, 300, 1), 0);
    std::vector<uint8_t> data(300);
    std::iota(data.begin(), data.end(), uint8_t{7});
    ASSERT_EQ(VXFileWrite(file, 0, data.data(), 300), 0);
    std::vector<uint8_t> back(300);
    ASSERT_EQ(VXFileRead(file, 0, 0xFFFF, back.data(), 300), 0);
    EXPECT_EQ(back, data);
    ASSERT_EQ(VXFilesEnumOpen(&files, sub), 0);
    ASSERT_EQ(VXFilesEnumNext(files, &info), 0);
    EXPECT_EQ(info.id, 0x0001);
    EXPECT_EQ(info.size, 300);
    EXPECT_EQ(int32_t{info.flags}, 1);
    EXPECT_EQ(VXFilesEnumNext(files, &info), VX_E_NO_MORE_ITEMS);
    EXPECT_EQ(VXFilesEnumClose(files), 0);
    EXPECT_EQ(VXFileDelete(file), 0);
    EXPECT_EQ(VXFileClose(file), 0);
    EXPECT_EQ(VXDirDelete(sub), 0);
    EXPECT_EQ(VXDirClose(sub), 0);
    EXPECT_EQ(VXDirClose(root), 0);
    EXPECT_EQ(VXTokenLogout(tok), 0);
    EXPECT_EQ(VXTokenUnbind(tok), 0);
    EXPECT_EQ(Control("dump").find("/E007/0101"), std::string::npos) << "the folder is gone";
  }
}

int g_prompts = 0;
int CountAndAnswerPin(char* buffer, int size, int /*flags*/, void* /*argument*/) {
  ++g_prompts;
  std::snprintf(buffer, static_cast<size_t>(size), "1234");
  return 4;
}

// The token medium over the real libvxsdk.so (loaded by name from its build
// folder) and the system's PC/SC service.
class TokenMediumE2e : public TokenE2e {
 protected:
  void SetUp() override {
    TokenE2e::SetUp();
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
    ::setenv("DOSSAR_LIB_PATH", VXSDK_LIBRARY_DIR, 1);
    ASSERT_EQ(qcrypto::load_token_sdk(), 1);
    qcrypto::vxdk_set_password_callback(CountAndAnswerPin);
    g_prompts = 0;
  }
  void TearDown() override {
    qcrypto::vxdk_set_password_callback(nullptr);
    qcrypto::unload_token_sdk();
    ::unsetenv("DOSSAR_LIB_PATH");
    TokenE2e::TearDown();
  }
  static bool WriteFile(const char* path, const std::vector<uint8_t>& data) {
    BIO* bio = qcrypto::media_fopen(path, "wb");
    if (bio == nullptr) {
      return false;
    }
    const bool ok = BIO_write(bio, data.data(), static_cast<int>(data.size())) == static_cast<int>(data.size()) &&
                    BIO_flush(bio) == 1;
    BIO_free(bio);
    return ok;
  }
  static bool ReadFile(const char* path, std::vector<uint8_t>* out) {
    out->clear();
    BIO* bio = qcrypto::media_fopen(path, "rb");
    if (bio == nullptr) {
      return false;
    }
    unsigned char buf[128];
    for (int n; (n = BIO_read(bio, buf, sizeof buf)) > 0;) {
      out->insert(out->end(), buf, buf + n);
    }
    BIO_free(bio);
    return true;
  }
};

TEST_F(TokenMediumE2e, StoresAndReadsBackThroughTheReaderPath) {
  for (const char* persona : {"K1", "K2-13"}) {
    SCOPED_TRACE(persona);
    Present(persona);
    g_prompts = 0;
    const char* path = "Vexil T 00 00:\\3f00\\e007\\a001";
    std::vector<uint8_t> data(700);
    std::iota(data.begin(), data.end(), uint8_t{3});
    ASSERT_TRUE(WriteFile(path, data));
    std::vector<uint8_t> back;
    ASSERT_TRUE(ReadFile(path, &back));
    EXPECT_EQ(back, data);
    EXPECT_NE(Control("dump").find("/E007/A001 file size=700"), std::string::npos);
    EXPECT_GE(g_prompts, 1) << "creating needs the PIN";
  }
}

// The fixture's key file is protected: the read is refused with 6982, the
// medium asks the PIN once, logs in and reads.
TEST_F(TokenMediumE2e, AProtectedFileAsksThePinOnce) {
  Present("K2-13");
  CReaderRegistry::Instance().ClearForTest();
  VXHandle tok = nullptr, root = nullptr, file = nullptr;
  ASSERT_EQ(VXTokenBind(&tok, reader_.c_str()), 0);
  ASSERT_EQ(VXTokenLogin(tok, "1234"), 0);
  ASSERT_EQ(VXRootDirOpen(&root, tok, 0xF007), 0);
  ASSERT_EQ(VXFileCreate(&file, root, 0xB001, 16, 1), 0);
  const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  ASSERT_EQ(VXFileWrite(file, 0, data.data(), 16), 0);
  VXFileClose(file);
  VXDirClose(root);
  VXTokenLogout(tok);
  VXTokenUnbind(tok);
  CReaderRegistry::Instance().ClearForTest();
  // A fresh connection to the card: nobody is logged in.
  ASSERT_EQ(Control("remove"), "ok\n");
  ASSERT_TRUE(WaitPresence(false, 10000));
  ASSERT_EQ(Control("insert"), "ok\n");
  ASSERT_TRUE(WaitPresence(true, 10000));
  std::vector<uint8_t> back;
  ASSERT_TRUE(ReadFile("Vexil T 00 00:\\3f00\\e007\\b001", &back));
  EXPECT_EQ(back, data);
  EXPECT_EQ(g_prompts, 1);
}

TEST_F(TokenMediumE2e, APullMidWriteIsReportedAsAFailure) {
  Present("K2-13");
  const char* path = "Vexil T 00 00:\\3f00\\e007\\a002";
  std::vector<uint8_t> data(400, 0x5C);
  ASSERT_TRUE(WriteFile(path, data));
  // The card goes in the middle of the write-back.
  ASSERT_EQ(Control("fault drop 8"), "ok\n");
  std::vector<uint8_t> other(400, 0xA3);
  EXPECT_FALSE(WriteFile(path, other));
  ASSERT_EQ(Control("fault none"), "ok\n");
  ASSERT_TRUE(WaitPresence(false, 10000));
  ASSERT_EQ(Control("insert"), "ok\n");
  ASSERT_TRUE(WaitPresence(true, 10000));
}

// The command-line tool over pcscd: the PIN comes through a descriptor.
TEST_F(TokenE2e, ToolListsPutsAndGets) {
  Present("K2-13");
  const std::string tool = VXSDK_TOOL;
  auto r = test_support::run_program({tool, "readers"});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find(reader_ + "\tcard"), std::string::npos) << r.output;
  r = test_support::run_program({tool, "info", reader_});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("serial " + state_["serial"]), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("label Vexil e2e token"), std::string::npos) << r.output;
  const std::string dir = ::testing::TempDir() + "vxsdk-tool-" + std::to_string(::getpid());
  std::remove((dir + ".in").c_str());
  std::remove((dir + ".out").c_str());
  {
    std::ofstream in(dir + ".in", std::ios::binary);
    for (int i = 0; i < 500; ++i) {
      in.put(static_cast<char>(i * 7));
    }
  }
  test_support::ProgramOptions pin;
  pin.input = "1234\n";
  r = test_support::run_program({tool, "--pin-fd", "0", "put", reader_, "c001", dir + ".in"}, pin);
  EXPECT_EQ(r.status, 0) << r.output;
  r = test_support::run_program({tool, "--pin-fd", "0", "get", reader_, "c001", dir + ".out"}, pin);
  EXPECT_EQ(r.status, 0) << r.output;
  std::ifstream a(dir + ".in", std::ios::binary), b(dir + ".out", std::ios::binary);
  const std::string in((std::istreambuf_iterator<char>(a)), {}), out((std::istreambuf_iterator<char>(b)), {});
  EXPECT_EQ(out.size(), 500u);
  EXPECT_EQ(in, out);
  r = test_support::run_program({tool, "--pin-fd", "0", "ls", reader_}, pin);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("file c001 size=500 protected=0"), std::string::npos) << r.output;
  // A card just put in, and no PIN: the card refuses the write.
  ASSERT_EQ(Control("remove"), "ok\n");
  ASSERT_TRUE(WaitPresence(false, 10000));
  ASSERT_EQ(Control("insert"), "ok\n");
  ASSERT_TRUE(WaitPresence(true, 10000));
  r = test_support::run_program({tool, "put", reader_, "c002", dir + ".in"});
  EXPECT_NE(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("0x86E06982"), std::string::npos) << r.output;
  std::remove((dir + ".in").c_str());
  std::remove((dir + ".out").c_str());
}

// The main job's round trip with its key container on the emulated token.
TEST_F(TokenE2e, RoundTripWithTheContainerOnTheToken) {
  Present("K2-13");
  test_support::ProgramOptions o;
  o.input = "1234\n";
  o.environment = {std::string("DOSSAR_LIB_PATH=") + VXSDK_LIBRARY_DIR};
  const auto r = test_support::run_program({DOSSAR_ROUNDTRIP, "--size", "1", "--medium=token", "--pin-fd", "0"}, o);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("key container: Vexil T 00 00:\\b000"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("chain: verified"), std::string::npos) << r.output;
  EXPECT_NE(Control("dump").find("/E007/B000"), std::string::npos);
  // Without a PIN descriptor the token is not used.
  const auto refused = test_support::run_program({DOSSAR_ROUNDTRIP, "--size", "1", "--medium=token"}, o);
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.output.find("needs --pin-fd"), std::string::npos) << refused.output;
}

}  // namespace
