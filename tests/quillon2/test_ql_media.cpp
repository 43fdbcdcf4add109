// The toolkit's media functions over the driver stand-ins: a token answers
// or not, and the PIN prompt the toolkit installs is the one the token
// media ask when a file on the token is read.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "crypto/bio/vexil_bio.h"
#include "crypto/cadb/buffer.h"
#include "crypto/cadb/cadb_file.h"
#include "crypto/cadb/library.h"
#include "platform/dynlib.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_keys.h"

namespace quillon2 {
namespace {

namespace fs = std::filesystem;

int g_pin_calls = 0;
int answer_pin(char* buffer, int size, int /*flags*/, void* /*user*/) {
  ++g_pin_calls;
  const std::string pin = "1234";  // the stand-in's default PIN
  if (size <= static_cast<int>(pin.size())) return 0;
  pin.copy(buffer, pin.size());
  buffer[pin.size()] = '\0';
  return static_cast<int>(pin.size());
}

class ToolkitMedia : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("dossar-ql-media-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "QRL ifdh 0" / "token");
    ::setenv("DOSSAR_LIB_PATH", (std::string(DOSSAR_BINARY_DIR) + "/stand-ins/media").c_str(), 1);
    qcrypto::cadb_library_init();  // keeps the drivers bound between the calls
    ASSERT_TRUE(sdk_.open("vxsdk"));
    control("");
  }
  void TearDown() override {
    QL_set_token_password_callback(nullptr);
    sdk_ = platform::DynLib{};
    qcrypto::cadb_library_cleanup();
    fs::remove_all(root_);
  }
  void control(const std::string& extra) {
    using Control = void (*)(const char*);
    const std::string text = "root=" + root_.string() + (extra.empty() ? "" : "," + extra);
    reinterpret_cast<Control>(sdk_.symbol("StandinMediaControl"))(text.c_str());
  }

  fs::path root_;
  platform::DynLib sdk_;
};

TEST_F(ToolkitMedia, TokenPresenceFollowsTheReader) {
  EXPECT_EQ(QL_token_present("Vexil"), 1);
  control("nodevice");
  EXPECT_EQ(QL_token_present("Vexil"), 0);
  EXPECT_EQ(QL_token_present("C:\\keys"), 0);  // not a token path
  EXPECT_EQ(QL_token_present(nullptr), 0);
  EXPECT_EQ(QL_get_last_error(), 159);
}

TEST_F(ToolkitMedia, TheInstalledPinPromptIsAskedByTheToken) {
  QL_set_token_password_callback(answer_pin);
  g_pin_calls = 0;
  const unsigned char bytes[] = {1, 2, 3, 4, 5};
  ASSERT_EQ(qcrypto::CADB_write_file("Vexil:\\a001\\c001", bytes, sizeof bytes, nullptr), 5);
  EXPECT_GE(g_pin_calls, 1);
  qcrypto::UniquePtr<qcrypto::BUFFER> read(qcrypto::CADB_read_file("Vexil:\\a001\\c001", nullptr));
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->length, 5);

  // Without a prompt the token cannot be logged in to.
  QL_set_token_password_callback(nullptr);
  EXPECT_EQ(qcrypto::CADB_read_file("Vexil:\\a001\\c001", nullptr), nullptr);
}

}  // namespace
}  // namespace quillon2
