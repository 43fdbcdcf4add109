// Database files on the hardware key media, through the project's driver
// stand-ins: written, read, listed and erased on each medium, and every
// failure a driver can show ends in the medium's error without costing
// the file that was there.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crypto/bio/media.h"
#include "crypto/bio/media_codes.h"
#include "crypto/bio/tm_bio.h"
#include "crypto/bio/token_codes.h"
#include "crypto/bio/vexil_bio.h"
#include "crypto/bio/vxsdk_bio.h"
#include "crypto/cadb/cadb_codes.h"
#include "crypto/cadb/cadb_file.h"
#include "crypto/cadb/library.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"
#include "crypto/pkey/key_envelope.h"
#include "crypto/pse/pse_files.h"
#include "crypto/rand/rand.h"
#include "platform/dynlib.h"
#include "tests/crypto/pse/pse_test_util.h"
#include "tests/support/pse_fixture.h"

namespace fs = std::filesystem;
using namespace qcrypto;

namespace {

const std::string kMediaLibs = std::string(DOSSAR_BINARY_DIR) + "/stand-ins/media";
const std::string kNoLibs = std::string(DOSSAR_BINARY_DIR) + "/stand-ins/lib";

using Bytes = std::vector<unsigned char>;

Bytes pattern(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i * 131 + seed * 7 + 1) & 0xFF);
  return b;
}

struct Err {
  int lib;
  int reason;
};

std::vector<Err> drain() {
  std::vector<Err> out;
  for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
    out.push_back({ERR_GET_LIB_CODE(e), ERR_GET_REASON_CODE(e)});
  }
  return out;
}

bool has(const std::vector<Err>& errors, int lib, int reason) {
  for (const Err& e : errors) {
    if (e.lib == lib && e.reason == reason) return true;
  }
  return false;
}

// The token password callback: counts its calls and answers a scripted PIN
// (empty: the user cancelled).
struct PinScript {
  int calls = 0;
  std::vector<std::string> answers;
  std::string last_argument;  // the callback's argument as text
};
PinScript g_pin;

int pin_callback(char* buffer, int size, int /*flags*/, void* argument) {
  const std::size_t i = static_cast<std::size_t>(g_pin.calls++);
  g_pin.last_argument = argument != nullptr ? static_cast<const char*>(argument) : "";
  const std::string pin = g_pin.answers.empty() ? "1234" : g_pin.answers[std::min(i, g_pin.answers.size() - 1)];
  if (pin == "<256>") {
    // A callback that fills the whole buffer and claims all of it.
    std::memset(buffer, '7', static_cast<std::size_t>(size));
    return size;
  }
  std::snprintf(buffer, static_cast<std::size_t>(size), "%s", pin.c_str());
  return static_cast<int>(pin.size());
}

struct TmScript {
  int calls = 0;
  int retries = 0;  // how many times to answer "retry"
  int last_status = 0;
};
TmScript g_tm;

int tm_callback(int /*port*/, int /*word*/, int status) {
  ++g_tm.calls;
  g_tm.last_status = status;
  if (g_tm.retries > 0) {
    --g_tm.retries;
    return 1;
  }
  return 0;
}

enum class Medium { Vexil, VxR2, IButton };
const char* name_of(Medium m) {
  switch (m) {
    case Medium::Vexil:
      return "Vexil";
    case Medium::VxR2:
      return "vxR2";
    case Medium::IButton:
      return "iButton";
  }
  return "?";
}

class HardwareMedia : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("dossar-media-hw-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "vxsdk" / "QRL ifdh 0" / "token");
    fs::create_directories(root_ / "vxsdk" / "QRL ifdh Second" / "token");
    fs::create_directories(root_ / "vxapi" / "QRL ifdh 0" / "token" / "3f00" / "e007");
    fs::create_directories(root_ / "ibfs" / "port-1-1" / "button");
    ::setenv("DOSSAR_LIB_PATH", kMediaLibs.c_str(), 1);
    ::unsetenv("DOSSAR_STANDIN_LOG");
    cadb_library_init();
    ASSERT_TRUE(control_.vxsdk.open("vxsdk"));
    ASSERT_TRUE(control_.vxapi.open("vxapi.dll"));
    ASSERT_TRUE(control_.ibfs.open("ibfs32.dll"));
    set_control(Medium::Vexil, "");
    set_control(Medium::VxR2, "");
    set_control(Medium::IButton, "");
    g_pin = PinScript{};
    g_tm = TmScript{};
    vx_set_password_callback(pin_callback);
    tm_set_message_callback(nullptr);
    ERR_clear_error();
  }
  void TearDown() override {
    vx_set_password_callback(nullptr);
    tm_set_message_callback(nullptr);
    control_ = Controls{};
    cadb_library_cleanup();
    ERR_clear_error();
    fs::remove_all(root_);
  }

  void set_control(Medium m, const std::string& extra) {
    using Control = void (*)(const char*);
    platform::DynLib* lib = m == Medium::Vexil ? &control_.vxsdk : m == Medium::VxR2 ? &control_.vxapi : &control_.ibfs;
    const char* folder = m == Medium::Vexil ? "vxsdk" : m == Medium::VxR2 ? "vxapi" : "ibfs";
    const std::string text = "root=" + (root_ / folder).string() + (extra.empty() ? "" : "," + extra);
    reinterpret_cast<Control>(lib->symbol("StandinMediaControl"))(text.c_str());
  }

  // A database file's path on the medium, and where its bytes live in the
  // stand-in's tree.
  static std::string path_on(Medium m) {
    switch (m) {
      case Medium::Vexil:
        return "Vexil:\\a001\\c001";
      case Medium::VxR2:
        return "vxR2:\\a001\\c001";
      case Medium::IButton:
        return "iButton:\\DB\\mk.1";
    }
    return {};
  }
  fs::path backing(Medium m) const {
    switch (m) {
      case Medium::Vexil:
        return root_ / "vxsdk" / "QRL ifdh 0" / "token" / "3f00" / "e007" / "a001" / "c001";
      case Medium::VxR2:
        return root_ / "vxapi" / "QRL ifdh 0" / "token" / "3f00" / "e007" / "a001" / "c001";
      case Medium::IButton:
        return root_ / "ibfs" / "port-1-1" / "button" / "DB" / "mk.1";
    }
    return {};
  }
  Bytes stored(Medium m) const {
    std::ifstream in(backing(m), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  static int write(Medium m, const Bytes& b) {
    return CADB_write_file(path_on(m).c_str(), b.data(), static_cast<int>(b.size()), nullptr);
  }
  static Bytes read(Medium m) {
    UniquePtr<BUFFER> buf(CADB_read_file(path_on(m).c_str(), nullptr));
    if (!buf) return {};
    return Bytes(buf->data, buf->data + buf->length);
  }

  struct Controls {
    platform::DynLib vxsdk, vxapi, ibfs;
  } control_;
  fs::path root_;
};

const Medium kMedia[] = {Medium::Vexil, Medium::VxR2, Medium::IButton};

// Written, read back, listed, overwritten with another size, erased: on
// every medium, with the bytes where the driver keeps them.
TEST_F(HardwareMedia, FilesRoundTripOnEveryMedium) {
  for (Medium m : kMedia) {
    SCOPED_TRACE(name_of(m));
    for (std::size_t n : {std::size_t{1}, std::size_t{700}, std::size_t{4096}, std::size_t{8192}}) {
      SCOPED_TRACE(n);
      const Bytes data = pattern(n, static_cast<unsigned>(n));
      ASSERT_EQ(write(m, data), static_cast<int>(n)) << drain().size();
      EXPECT_EQ(stored(m), data);
      EXPECT_EQ(read(m), data);
      EXPECT_EQ(media_exists(path_on(m).c_str()), 1);
    }
    std::vector<std::string> seen;
    const std::string folder = path_on(m).substr(0, path_on(m).rfind('\\'));
    ASSERT_EQ(CADB_enum_files(
                  folder.c_str(), 0,
                  [](const char* p, void* user) {
                    static_cast<std::vector<std::string>*>(user)->push_back(p);
                    return 1;
                  },
                  &seen),
              1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(CADB_erase_file(path_on(m).c_str(), nullptr), 1);
    EXPECT_FALSE(fs::exists(backing(m)));
    EXPECT_EQ(media_exists(path_on(m).c_str()), 0);
    // Erasing what is not there is no failure; reading it is.
    EXPECT_EQ(CADB_erase_file(path_on(m).c_str(), nullptr), 1);
    EXPECT_TRUE(read(m).empty());
    ERR_clear_error();
  }
}

// Every failure a driver can show: the write reports it with the medium's
// reason, and the old file is still there, unless the medium had to delete
// it first, which then says so.
TEST_F(HardwareMedia, FailuresReportTheMediumsErrorAndKeepTheOldFile) {
  enum class Old { Kept, LossReported };
  struct Case {
    Medium medium;
    const char* control;
    std::size_t new_size;  // the old file has 300 bytes
    std::vector<std::string> pins;
    int lib;
    int reason;
    Old old;
  };
  const std::vector<Case> cases = {
      {Medium::Vexil, "nodevice", 300, {}, ERRLIB_BIO, VXBIO_R_NO_READER, Old::Kept},
      {Medium::Vexil, "", 300, {"0000"}, ERRLIB_BIO, VXBIO_R_LOGIN, Old::Kept},
      {Medium::Vexil, "", 300, {""}, ERRLIB_BIO, VXBIO_R_LOGIN, Old::Kept},
      {Medium::Vexil, "locked", 300, {}, ERRLIB_BIO, VXBIO_R_LOGIN, Old::Kept},
      {Medium::Vexil, "fail=VXFileOpen@1", 300, {}, ERRLIB_BIO, VXBIO_R_PASSED_UP, Old::Kept},
      {Medium::Vexil, "fail=VXRootDirOpen", 300, {}, ERRLIB_BIO, VXBIO_R_SDK_CALL, Old::Kept},
      {Medium::Vexil, "fail=VXFileGetInfo", 300, {}, ERRLIB_BIO, VXBIO_R_SDK_CALL, Old::Kept},
      {Medium::Vexil, "pull=100", 300, {}, ERRLIB_BIO, VXBIO_R_OLD_FILE_LOST, Old::LossReported},
      {Medium::Vexil, "fail=VXFileCreate", 200, {}, ERRLIB_BIO, VXBIO_R_OLD_FILE_LOST, Old::LossReported},
      {Medium::Vexil, "", 70000, {}, ERRLIB_BIO, VXBIO_R_FILE_TOO_LARGE, Old::Kept},
      {Medium::VxR2, "nodevice", 300, {}, ERRLIB_VEXIL, VXAPI_R_NO_TOKEN, Old::Kept},
      {Medium::VxR2, "", 300, {"0000"}, ERRLIB_VEXIL, VXAPI_R_LOGIN_FAILED, Old::Kept},
      {Medium::VxR2, "locked", 300, {}, ERRLIB_VEXIL, VXAPI_R_PIN_LOCKED, Old::Kept},
      {Medium::VxR2, "fail=VEXIL_get_config", 300, {}, ERRLIB_VEXIL, VXAPI_R_DEVICE, Old::Kept},
      {Medium::VxR2, "fail=VEXIL_get_file_info", 300, {}, ERRLIB_VEXIL, VXAPI_R_DEVICE, Old::Kept},
      {Medium::VxR2, "pull=100", 300, {}, ERRLIB_BIO, VXBIO_R_OLD_FILE_LOST, Old::LossReported},
      {Medium::VxR2, "fail=VEXIL_create_file", 200, {}, ERRLIB_BIO, VXBIO_R_OLD_FILE_LOST, Old::LossReported},
      {Medium::IButton, "nodevice", 300, {}, ERRLIB_TOUCH_MEMORY, TM_R_DRIVER_STEP, Old::Kept},
      {Medium::IButton, "fail=TMCreateProgramJob", 300, {}, ERRLIB_TOUCH_MEMORY, TM_R_DRIVER_STEP, Old::Kept},
      {Medium::IButton, "fail=TMDoProgramJob", 200, {}, ERRLIB_TOUCH_MEMORY, TM_R_DRIVER_STEP, Old::Kept},
      {Medium::IButton, "fail=TMWriteFile", 200, {}, ERRLIB_TOUCH_MEMORY, TM_R_DRIVER_STEP, Old::Kept},
      {Medium::IButton, "pull=100", 200, {}, ERRLIB_TOUCH_MEMORY, TM_R_DRIVER_STEP, Old::Kept},
      {Medium::IButton, "capacity=400", 500, {}, ERRLIB_TOUCH_MEMORY, TM_R_DRIVER_STEP, Old::Kept},
      {Medium::IButton, "", 9000, {}, ERRLIB_TOUCH_MEMORY, TM_R_FILE_TOO_LARGE, Old::Kept},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(name_of(c.medium)) + " " + c.control + " " + std::to_string(c.new_size));
    const Bytes old = pattern(300, 1);
    set_control(c.medium, "");
    g_pin = PinScript{};
    ASSERT_EQ(write(c.medium, old), 300);
    set_control(c.medium, c.control);
    g_pin = PinScript{};
    g_pin.answers = c.pins;
    ERR_clear_error();
    EXPECT_EQ(write(c.medium, pattern(c.new_size, 2)), 0);
    const std::vector<Err> errors = drain();
    EXPECT_TRUE(has(errors, c.lib, c.reason)) << errors.size();
    EXPECT_TRUE(has(errors, ERRLIB_CADB, CADB_R_CALLED_PART));
    set_control(c.medium, "");
    g_pin = PinScript{};
    if (c.old == Old::Kept) {
      EXPECT_EQ(read(c.medium), old);
    } else {
      EXPECT_NE(read(c.medium), old);
    }
    ERR_clear_error();
  }
}

// Reads fail the same way, and a failed read never hands back part of a
// file.
TEST_F(HardwareMedia, ReadFailuresGiveNothing) {
  struct Case {
    Medium medium;
    const char* control;
    std::vector<std::string> pins;
  };
  const Case cases[] = {
      {Medium::Vexil, "nodevice", {}},
      {Medium::Vexil, "", {"9999"}},
      {Medium::Vexil, "fail=VXFileRead", {}},
      {Medium::Vexil, "locked", {}},
      {Medium::VxR2, "nodevice", {}},
      {Medium::VxR2, "fail=VEXIL_read", {}},
      {Medium::VxR2, "", {""}},
      {Medium::IButton, "nodevice", {}},
      {Medium::IButton, "fail=TMReadFile", {}},
      {Medium::IButton, "fail=TMOpenFile", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(name_of(c.medium)) + " " + c.control);
    set_control(c.medium, "");
    g_pin = PinScript{};
    ASSERT_EQ(write(c.medium, pattern(500, 3)), 500);
    set_control(c.medium, c.control);
    g_pin = PinScript{};
    g_pin.answers = c.pins;
    EXPECT_EQ(CADB_read_file(path_on(c.medium).c_str(), nullptr), nullptr);
    EXPECT_FALSE(drain().empty());
  }
}

// Without the driver library the medium opens nothing and says why; the
// start of the library itself does not fail.
TEST_F(HardwareMedia, AbsentDriversLeaveTheirMediumUnavailable) {
  cadb_library_cleanup();
  ::setenv("DOSSAR_LIB_PATH", kNoLibs.c_str(), 1);
  cadb_library_init();
  for (Medium m : kMedia) {
    SCOPED_TRACE(name_of(m));
    EXPECT_EQ(media_fopen(path_on(m).c_str(), "rb"), nullptr);
    EXPECT_TRUE(has(drain(), ERRLIB_VEXIL, VEXIL_R_MEDIUM_NOT_AVAILABLE));
    EXPECT_EQ(write(m, pattern(10, 1)), 0);
    EXPECT_EQ(CADB_erase_file(path_on(m).c_str(), nullptr), 0);
    EXPECT_EQ(media_exists(path_on(m).c_str()), 0);
    ERR_clear_error();
  }
  EXPECT_EQ(vx_token_present(nullptr), 0);
  cadb_library_cleanup();
  ::setenv("DOSSAR_LIB_PATH", kMediaLibs.c_str(), 1);
  cadb_library_init();
}

// Flushing writes the file now and reports a failure; the free that
// follows writes nothing again.
TEST_F(HardwareMedia, FlushWritesNowAndReportsFailure) {
  for (Medium m : kMedia) {
    SCOPED_TRACE(name_of(m));
    const std::string log = (root_ / (std::string(name_of(m)) + ".log")).string();
    BIO* bio = media_fopen(path_on(m).c_str(), "wb");
    ASSERT_NE(bio, nullptr);
    const Bytes data = pattern(64, 9);
    ASSERT_EQ(BIO_write(bio, data.data(), 64), 64);
    EXPECT_FALSE(fs::exists(backing(m)));  // nothing before the flush
    EXPECT_EQ(BIO_flush(bio), 1);
    EXPECT_EQ(stored(m), data);
    ::setenv("DOSSAR_STANDIN_LOG", log.c_str(), 1);
    BIO_free(bio);
    ::unsetenv("DOSSAR_STANDIN_LOG");
    std::ifstream calls(log);
    std::string line;
    while (std::getline(calls, line)) {
      EXPECT_TRUE(line.find("Write") == std::string::npos && line.find("write") == std::string::npos) << line;
    }

    bio = media_fopen(path_on(m).c_str(), "wb");
    ASSERT_NE(bio, nullptr);
    ASSERT_EQ(BIO_write(bio, data.data(), 32), 32);
    set_control(m, "nodevice");
    EXPECT_LE(BIO_flush(bio), 0);
    BIO_free(bio);
    set_control(m, "");
    EXPECT_EQ(stored(m), data);
    ERR_clear_error();
  }
}

// A read-write open that only reads leaves the file as it was when the BIO
// goes; one that writes replaces it.
TEST_F(HardwareMedia, ReadWriteOpenWritesBackOnlyWhatWasWritten) {
  for (Medium m : kMedia) {
    SCOPED_TRACE(name_of(m));
    const Bytes data = pattern(300, 7);
    ASSERT_EQ(write(m, data), 300);
    BIO* bio = media_fopen(path_on(m).c_str(), "r+b");
    ASSERT_NE(bio, nullptr);
    Bytes got(400);
    EXPECT_EQ(BIO_read(bio, got.data(), 400), 300);
    BIO_free(bio);
    EXPECT_EQ(stored(m), data);

    bio = media_fopen(path_on(m).c_str(), "r+b");
    ASSERT_NE(bio, nullptr);
    EXPECT_EQ(BIO_read(bio, got.data(), 400), 300);
    const Bytes next = pattern(120, 8);
    EXPECT_EQ(BIO_write(bio, next.data(), 120), 120);
    BIO_free(bio);
    EXPECT_EQ(stored(m), next);
  }
}

// The password prompt: asked once per open, again after a wrong PIN, a
// cancel fails the login, an over-long answer is refused, a locked PIN
// stays locked, and with the log-out option every call that needs the
// PIN logs in anew.
TEST_F(HardwareMedia, TokenPasswordPrompts) {
  const std::string path = path_on(Medium::Vexil);
  ASSERT_EQ(write(Medium::Vexil, pattern(100, 4)), 100);
  EXPECT_EQ(g_pin.calls, 1);
  EXPECT_EQ(g_pin.last_argument, "Vexil:\\3f00\\e007\\a001\\c001");

  struct Case {
    std::vector<std::string> answers;
    bool opens;
    int calls;
  };
  // The token's PIN is 255 sevens for the last row: a 256-character answer
  // cut to fit would open it, so it has to be refused whole.
  const std::string sevens = "pin=" + std::string(255, '7');
  struct Row {
    Case c;
    std::string control;
  };
  const Row rows[] = {
      {{{"1234"}, true, 1}, ""},       {{{"0000"}, false, 1}, ""},
      {{{""}, false, 1}, ""},          {{{std::string(255, '7')}, true, 1}, sevens},
      {{{"<256>"}, false, 1}, sevens},
  };
  for (const Row& row : rows) {
    const Case& c = row.c;
    SCOPED_TRACE(c.answers.front().substr(0, 8));
    set_control(Medium::Vexil, row.control);
    g_pin = PinScript{};
    g_pin.answers = c.answers;
    UniquePtr<BUFFER> buf(CADB_read_file(path.c_str(), nullptr));
    EXPECT_EQ(buf != nullptr, c.opens);
    EXPECT_EQ(g_pin.calls, c.calls);
    ERR_clear_error();
  }
  set_control(Medium::Vexil, "");
  // A wrong PIN is asked again on the next open, and the right one opens.
  g_pin = PinScript{};
  g_pin.answers = {"0000", "1234"};
  EXPECT_EQ(CADB_read_file(path.c_str(), nullptr), nullptr);
  UniquePtr<BUFFER> again(CADB_read_file(path.c_str(), nullptr));
  EXPECT_NE(again, nullptr);
  EXPECT_EQ(g_pin.calls, 2);

  // The password of the open options is used without asking; a wrong one
  // is not asked about either.
  g_pin = PinScript{};
  MEDIUM_OPEN_OPTIONS with_pin{MEDIUM_OPT_PASSWORD, "1234"};
  UniquePtr<BUFFER> by_option(CADB_read_file(path.c_str(), &with_pin));
  EXPECT_NE(by_option, nullptr);
  EXPECT_EQ(g_pin.calls, 0);

  // Log out after each call: every call that needs the PIN logs in anew
  // (with the PIN the prompt gave once), and the token sees the log-outs.
  auto logins = [&](const MEDIUM_OPEN_OPTIONS* options, int* prompts) {
    const std::string log = (root_ / "logins.log").string();
    fs::remove(log);
    g_pin = PinScript{};
    ::setenv("DOSSAR_STANDIN_LOG", log.c_str(), 1);
    const Bytes next = pattern(100, 5);
    EXPECT_EQ(CADB_write_file(path.c_str(), next.data(), 100, options), 100);
    ::unsetenv("DOSSAR_STANDIN_LOG");
    *prompts = g_pin.calls;
    std::ifstream in(log);
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line == "VXTokenLogin" || line == "VXTokenLogout" ? 1 : 0;
    return n;
  };
  MEDIUM_OPEN_OPTIONS logout{MEDIUM_OPT_LOGIN_1, nullptr};
  int prompts_with = 0, prompts_without = 0;
  const int with_logout = logins(&logout, &prompts_with);
  const int without = logins(nullptr, &prompts_without);
  EXPECT_EQ(without, 1);
  EXPECT_GE(with_logout, 4);
  EXPECT_EQ(prompts_with, 1);
  EXPECT_EQ(prompts_without, 1);
  const Bytes next = pattern(100, 5);

  // Three wrong PINs lock it; the right one then no longer opens.
  for (int i = 0; i < 3; ++i) {
    g_pin = PinScript{};
    g_pin.answers = {"0000"};
    EXPECT_EQ(CADB_read_file(path.c_str(), nullptr), nullptr);
  }
  g_pin = PinScript{};
  EXPECT_EQ(CADB_read_file(path.c_str(), nullptr), nullptr);
  EXPECT_EQ(stored(Medium::Vexil), next);
  ERR_clear_error();
}

// A failing Touch-Memory step is shown through the message callback; Retry
// repeats it, and without a callback it gives up at once.
TEST_F(HardwareMedia, TouchMemoryRetriesThroughTheMessageCallback) {
  const Bytes data = pattern(200, 6);
  ASSERT_EQ(write(Medium::IButton, data), 200);
  struct Case {
    bool callback;
    int retries;
    bool reads;
    int calls;
  };
  const Case cases[] = {
      {false, 0, false, 0},
      {true, 0, false, 1},
      {true, 1, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.retries);
    set_control(Medium::IButton, "fail=TMReadFile@1");
    tm_set_message_callback(c.callback ? tm_callback : nullptr);
    g_tm = TmScript{};
    g_tm.retries = c.retries;
    UniquePtr<BUFFER> buf(CADB_read_file(path_on(Medium::IButton).c_str(), nullptr));
    EXPECT_EQ(buf != nullptr, c.reads);
    EXPECT_EQ(g_tm.calls, c.calls);
    if (c.calls > 0) {
      EXPECT_LT(g_tm.last_status, 0);
    }
    if (buf) {
      EXPECT_EQ(Bytes(buf->data, buf->data + buf->length), data);
    }
    ERR_clear_error();
  }
}

// A button file larger than a button file can be is refused whole rather
// than read cut short.
TEST_F(HardwareMedia, TouchMemoryRefusesOversizedFiles) {
  fs::create_directories(backing(Medium::IButton).parent_path());
  for (std::size_t n : {std::size_t{8192}, std::size_t{8193}, std::size_t{12000}}) {
    SCOPED_TRACE(n);
    std::ofstream(backing(Medium::IButton), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(pattern(n, 8).data()), static_cast<std::streamsize>(n));
    const Bytes got = read(Medium::IButton);
    if (n <= 8192) {
      EXPECT_EQ(got, pattern(n, 8));
    } else {
      EXPECT_TRUE(got.empty());
      EXPECT_TRUE(has(drain(), ERRLIB_TOUCH_MEMORY, TM_R_FILE_TOO_LARGE));
    }
    ERR_clear_error();
  }
}

// Reader choice and presence on both token media.
TEST_F(HardwareMedia, ReadersAndPresence) {
  ASSERT_EQ(write(Medium::Vexil, pattern(10, 1)), 10);
  ASSERT_EQ(write(Medium::VxR2, pattern(10, 1)), 10);
  struct Case {
    const char* path;
    int present;
  };
  const Case cases[] = {
      {"Vexil:\\a001\\c001", MEDIA_KIND_FILE},
      {"Vexil:/3f00/e007/a001/c001", MEDIA_KIND_FILE},
      {"Vexil:\\3f006666e007\\a001\\c001", MEDIA_KIND_FILE},
      {"Vexil:\\a001", MEDIA_KIND_DIRECTORY},
      {"Vexil 0:\\a001\\c001", MEDIA_KIND_FILE},
      {"Vexil Second:\\a001\\c001", 0},  // that reader's token holds nothing
      {"Vexil Third:\\a001", 0},         // no such reader
      {"Vexil:a001", 0},                 // no separator: not put under the root
      {"Vexil:\\a001\\c00", 0},
      {"vxR2:\\a001\\c001", MEDIA_KIND_FILE},
      {"vxR2 0:/3f00/e007/a001/c001", MEDIA_KIND_FILE},
      {"vxR2 3:/3f00/e007/a001/c001", 0},
      {"vxR2/QRL ifdh 0:/3f00/e007/a001", MEDIA_KIND_DIRECTORY},
      {"vxR2:\\a001\\ffff", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(vx_present(c.path), c.present);
    EXPECT_EQ(media_exists(c.path), c.present != 0 ? 1 : 0);
  }
  EXPECT_EQ(vx_token_present(nullptr), 1);
  EXPECT_EQ(vx_token_present("Vexil"), 1);
  set_control(Medium::Vexil, "nodevice");
  EXPECT_EQ(vx_token_present("Vexil:\\"), 0);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

// The Touch-Memory folder test and the parse of button paths.
TEST_F(HardwareMedia, TouchMemoryPathsAndFolders) {
  ASSERT_EQ(write(Medium::IButton, pattern(10, 1)), 10);
  EXPECT_EQ(media_stat_mode("iButton:\\DB\\mk.1"), MEDIA_KIND_FILE);
  EXPECT_EQ(media_stat_mode("iButton:\\DB"), MEDIA_KIND_DIRECTORY);
  EXPECT_EQ(media_stat_mode("iButton:/db"), MEDIA_KIND_DIRECTORY);
  EXPECT_EQ(media_stat_mode("iButton:\\XX"), 0);
  EXPECT_EQ(media_stat_mode("iButton:\\DB\\mk.2"), 0);

  short number = -1, type = -1;
  TM_DIR_PATH dir{};
  TM_FILE_ENTRY file{};
  ASSERT_EQ(tm_parse_path("iButton:\\key .001", &number, &type, &dir, &file), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(file.name), 4), "key ");
  EXPECT_EQ(file.extension, 1);
  EXPECT_EQ(dir.levels, 0);
  ASSERT_EQ(tm_parse_path("iButton:\\DB\\mk.db3", &number, &type, &dir, &file), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(file.name), 4), "mk  ");
  EXPECT_EQ(file.extension, 0);
  EXPECT_EQ(dir.levels, 1);
  EXPECT_EQ(std::string(dir.names[0], 4), "DB  ");
  ASSERT_EQ(tm_parse_path("COM3:\\FIVES\\a.1", &number, &type, &dir, &file), 1);
  EXPECT_EQ(number, 3);
  EXPECT_EQ(type, 1);
  EXPECT_EQ(file.extension, TM_FOLDER_EXTENSION);  // a folder name of 5 characters
  EXPECT_EQ(tm_parse_path("USB1:\\a.1", &number, &type, &dir, &file), 0);
  EXPECT_EQ(tm_parse_path("iButton\\a.1", &number, &type, &dir, &file), 0);
}

// A key container of format 3.1 and its key files on each medium: the
// container opens from the medium, its keys load from there and sign, and
// the signatures verify under the keys as made.
TEST_F(HardwareMedia, KeyContainersOpenAndSignFromEveryMedium) {
  RAND_set_rand_method(&pse_test::kSystemRand);
  auto f =
      testing_support::make_pse_fixture((root_ / "fs" / "pse").string(), testing_support::PseFormat::V31, false, 3);
  ASSERT_NE(f, nullptr);
  const std::pair<Medium, const char*> media[] = {
      {Medium::Vexil, "Vexil:\\b000"}, {Medium::VxR2, "vxR2:\\b000"}, {Medium::IButton, "iButton:\\PSE"}};
  for (const auto& [m, medium] : media) {
    SCOPED_TRACE(medium);
    char from[PSE_PATH_BUFFER];
    char to[PSE_PATH_BUFFER];
    for (int kind : {PSE31_MKEY, PSE31_MASKS, PSE31_KEK}) {
      const Bytes bytes = testing_support::read_whole(PSE_file_path(from, f->medium.c_str(), kind));
      ASSERT_FALSE(bytes.empty());
      ASSERT_NE(PSE_file_path(to, medium, kind), nullptr);
      ASSERT_EQ(CADB_write_file(to, bytes.data(), static_cast<int>(bytes.size()), nullptr),
                static_cast<int>(bytes.size()))
          << to;
    }
    const auto& key = f->keys.front();
    const Bytes der = testing_support::read_whole(key.path);
    ASSERT_NE(PSE_key_file_path(to, medium, key.number), nullptr);
    ASSERT_EQ(CADB_write_file(to, der.data(), static_cast<int>(der.size()), nullptr), static_cast<int>(der.size()));

    UniquePtr<PSE> container(PSE_open(medium, 0));
    ASSERT_NE(container, nullptr);
    UniquePtr<BUFFER> stored_key(CADB_read_file(to, nullptr));
    ASSERT_NE(stored_key, nullptr);
    UniquePtr<EVP_PKEY_ENVELOPE> loaded(
        EVP_PKEY_decode_private(stored_key->data, stored_key->length, container.get(), nullptr, nullptr));
    ASSERT_NE(loaded, nullptr);
    const Bytes msg = {'d', 'o', 'c'};
    const Bytes sig = pse_test::sign(loaded->pkey, msg);
    ASSERT_FALSE(sig.empty());
    EXPECT_EQ(pse_test::verify(key.key_pair.get(), msg, sig), 1);

    // A medium that has gone away opens no container.
    container.reset();
    set_control(m, "nodevice");
    EXPECT_EQ(PSE_open(medium, 0), nullptr);
    set_control(m, "");
    ERR_clear_error();
  }
  RAND_set_rand_method(nullptr);
}

}  // namespace
