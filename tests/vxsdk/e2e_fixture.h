// The pcscd harness seen from a test: its state file, its control socket,
// and a fixture that skips (or, with CI=true, fails) when it did not run.
#pragma once

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
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/vxsdk/vx_test_util.h"
#include "vxsdk/ca_exception.h"
#include "vxsdk/registry.h"
#include "vxsdk/token.h"

namespace vxsdk_e2e {

using vxsdk::CardBracket;
using vxsdk::CReaderRegistry;

inline std::map<std::string, std::string> LoadState() {
  std::map<std::string, std::string> s;
  std::ifstream f(VXSDK_HARNESS_DIR "/state");
  std::string line;
  while (std::getline(f, line)) {
    const auto sp = line.find(' ');
    s[line.substr(0, sp)] = sp == std::string::npos ? "" : line.substr(sp + 1);
  }
  return s;
}

using vxsdk_test::CodeOf;

inline std::string Hex(const std::vector<uint8_t>& v) { return vxsdk_test::HexOf(v, true); }

class TokenE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    state_ = LoadState();
    if (state_.count("reader") == 0) {
      std::string why = state_.count("skip") != 0   ? state_["skip"]
                        : state_.count("fail") != 0 ? state_["fail"]
                                                    : "the pcscd harness did not run";
      const char* ci = std::getenv("CI");
      if (ci != nullptr && std::string(ci) == "true") {
        FAIL() << "e2e harness missing: " << why;
      }
      GTEST_SKIP() << why;
    }
    reader_ = state_["reader"];
    CReaderRegistry::Instance().ClearForTest();
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx_), SCARD_S_SUCCESS);
  }
  void TearDown() override {
    CReaderRegistry::Instance().ClearForTest();
    if (ctx_ != 0) {
      SCardReleaseContext(ctx_);
    }
  }

  std::string Control(const std::string& line) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, state_["control"].c_str(), sizeof a.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      return "error connect";
    }
    const std::string l = line + "\n";
    (void)!::write(fd, l.data(), l.size());
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
      out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
  }

  // Waits (on PC/SC's status change, at most `ms`) until the reader's card
  // presence is `present`; true when it is.
  bool WaitPresence(bool present, int ms) {
    SCARD_READERSTATE st{};
    st.szReader = reader_.c_str();
    st.dwCurrentState = SCARD_STATE_UNAWARE;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0) {
        return false;
      }
      const LONG rv = SCardGetStatusChange(ctx_, static_cast<DWORD>(left), &st, 1);
      if (rv != SCARD_S_SUCCESS && rv != static_cast<LONG>(SCARD_E_TIMEOUT)) {
        return false;
      }
      if (((st.dwEventState & SCARD_STATE_PRESENT) != 0) == present && (st.dwEventState & SCARD_STATE_MUTE) == 0) {
        return true;
      }
      st.dwCurrentState = st.dwEventState & ~SCARD_STATE_CHANGED;
    }
  }

  // Takes the card out, sets the persona (the PIN back to 1234) and puts it
  // back, waiting for pcscd to see both.
  void Present(const std::string& persona) {
    ASSERT_EQ(Control("remove"), "ok\n");
    ASSERT_TRUE(WaitPresence(false, 10000)) << "pcscd did not see the card go";
    ASSERT_EQ(Control("persona " + persona), "ok\n");
    ASSERT_TRUE(WaitPresence(true, 10000)) << "pcscd did not see the card come";
  }

  std::shared_ptr<vxsdk::CVexilToken> Bind() { return CReaderRegistry::Instance().BindReader(reader_); }

  void Login(vxsdk::CVexilToken& t, const std::string& pin) {
    CardBracket b(t);
    t.Login(reinterpret_cast<const uint8_t*>(pin.data()), pin.size());
  }

  std::map<std::string, std::string> state_;
  std::string reader_;
  SCARDCONTEXT ctx_ = 0;
};

}  // namespace vxsdk_e2e
