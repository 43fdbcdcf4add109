// The hardware generators over the stand-in boards, and the device search.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "crypto/rand/rand_hw.h"
#include "tests/crypto/rand/rand_test_support.h"

namespace qcrypto {
namespace {

using testing_support::drain_errors;
using testing_support::ErrCode;
using testing_support::KeyScript;
using testing_support::RandTest;
using testing_support::set_env;
using testing_support::unset_env;
using Bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;

constexpr const char* kCrypton = "DOSSAR_STANDIN_CRYPTON";
constexpr const char* kAccord = "DOSSAR_STANDIN_ACCORD";
constexpr const char* kSable = "DOSSAR_STANDIN_SABLE";

// The stand-ins' byte stream (see stand-ins/rand_boards/board_control.cpp).
uint64_t splitmix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}
Bytes board_stream(uint64_t salt, uint64_t seed, std::size_t n) {
  Bytes out(n);
  for (uint64_t p = 0; p < n; ++p)
    out[p] = static_cast<unsigned char>(splitmix64(seed ^ salt ^ (p / 8)) >> (8 * (p % 8)));
  return out;
}
constexpr uint64_t kCryptonSalt = 0x43525950544f4eULL;
constexpr uint64_t kAccordSalt = 0x4143434f5244ULL;
constexpr uint64_t kSableSalt = 0x5341424c45ULL;

class DeviceTest : public RandTest {
 protected:
  void SetUp() override {
    RandTest::SetUp();
    log_path_ = ::testing::TempDir() + "standin-log-" + std::to_string(getpid()) + ".txt";
    std::remove(log_path_.c_str());
    set_env("DOSSAR_STANDIN_LOG", log_path_);
  }
  void TearDown() override {
    RandTest::TearDown();
    std::remove(log_path_.c_str());
  }
  Lines log() const {
    Lines out;
    std::ifstream in(log_path_);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  void clear_log() { std::remove(log_path_.c_str()); }
  static bool contains(const Lines& lines, const std::string& name) {
    for (const auto& l : lines)
      if (l == name) return true;
    return false;
  }
  std::string log_path_;
};

TEST_F(DeviceTest, NoBoardFailsQuietly) {
  for (const std::string& dir : {testing_support::standin_dir(), std::string("/nonexistent-folder")}) {
    set_env("DOSSAR_LIB_PATH", dir);
    unsigned char out[32];
    std::fill(out, out + 32, 0xEE);
    EXPECT_EQ(PSE_rand_open_device(nullptr, out, 32), 0) << dir;
    EXPECT_EQ(Bytes(out, out + 32), Bytes(32, 0));
    EXPECT_EQ(PSE_rand_seed_from_device(nullptr), 0);
    EXPECT_EQ(RAND_get_rand_method(), nullptr);
    EXPECT_EQ(PSE_rand_device_code(), 0);
    EXPECT_EQ(drain_errors(), std::vector<ErrCode>{}) << dir;
  }
}

// Each board alone: it answers the search with the first 32 bytes of its
// stream, and seeding leaves the software generator installed.
TEST_F(DeviceTest, EachBoardAnswersTheSearch) {
  struct Case {
    const char* variable;
    int code;
    uint64_t salt;
    const char* draw_call;
  };
  const Case cases[] = {
      {kCrypton, 1, kCryptonSalt, "crControlledRandom"},
      {kAccord, 3, kAccordSalt, "TmGetRandomBytes"},
      {kSable, 4, kSableSalt, "sbGetRand"},
  };
  for (const auto& c : cases) {
    testing_support::reset_boards();
    set_env("DOSSAR_STANDIN_LOG", log_path_);
    set_env(c.variable, "present,seed=99");
    unsigned char out[32] = {};
    ASSERT_EQ(PSE_rand_open_device(nullptr, out, 32), 1) << c.variable;
    EXPECT_EQ(Bytes(out, out + 32), board_stream(c.salt, 99, 32)) << c.variable;
    EXPECT_EQ(PSE_rand_device_code(), c.code);
    EXPECT_EQ(RAND_get_rand_method(), rand_device_table()[c.code == 1 ? 1 : c.code == 3 ? 2 : 3]);
    EXPECT_EQ(PSE_rand_ready(), 1);
    EXPECT_TRUE(contains(log(), c.draw_call));
    PSE_rand_cleanup();
    EXPECT_EQ(PSE_rand_device_code(), 0);

    ASSERT_EQ(PSE_rand_seed_from_device(nullptr), 1) << c.variable;
    EXPECT_EQ(RAND_get_rand_method(), GRAND_method());
    EXPECT_EQ(GRAND_is_keyed(), 1);
    EXPECT_EQ(PSE_rand_device_code(), c.code);
    unsigned char buf[16];
    EXPECT_EQ(RAND_bytes(buf, 16), 16);
    PSE_rand_cleanup();
    clear_log();
  }
}

// The first board in the list that answers wins; absent ones are tried in
// order; codes other than 1, 3 and 4 are skipped.
TEST_F(DeviceTest, SearchOrder) {
  struct Case {
    std::vector<unsigned char> list;  // zero-terminated
    std::vector<const char*> present;
    int expected_code;
    std::vector<std::string> tried;      // first call of each board tried, in order
    std::vector<std::string> untouched;  // calls that must not appear
  };
  const Case cases[] = {
      {{4, 1, 0}, {kCrypton, kSable}, 4, {"sbisCard"}, {"crInitCryptonLib"}},
      {{1, 3, 4, 0}, {kCrypton, kSable}, 1, {"crInitCryptonLib"}, {"sbisCard", "TmGetInfo"}},
      {{1, 3, 4, 0}, {kSable}, 4, {"crInitCryptonLib", "TmGetInfo", "sbisCard"}, {}},
      {{2, 0}, {kCrypton, kAccord, kSable}, 0, {}, {"crInitCryptonLib", "TmGetInfo", "sbisCard"}},
      {{7, 3, 0}, {kAccord}, 3, {"TmGetInfo"}, {}},
      {{0}, {kCrypton}, 0, {}, {"crInitCryptonLib"}},
  };
  for (const auto& c : cases) {
    testing_support::reset_boards();
    set_env("DOSSAR_STANDIN_LOG", log_path_);
    clear_log();
    for (const char* v : c.present) set_env(v, "present");
    unsigned char out[32];
    EXPECT_EQ(PSE_rand_open_device(c.list.data(), out, 32), c.expected_code != 0 ? 1 : 0);
    EXPECT_EQ(PSE_rand_device_code(), c.expected_code);
    const Lines calls = log();
    std::size_t at = 0;
    for (const auto& name : c.tried) {
      while (at < calls.size() && calls[at] != name) ++at;
      EXPECT_LT(at, calls.size()) << name << " not tried in order";
    }
    for (const auto& name : c.untouched) EXPECT_FALSE(contains(calls, name)) << name;
    EXPECT_EQ(drain_errors(), std::vector<ErrCode>{});
    PSE_rand_cleanup();
  }
}

// A board whose draw fails five times still delivers on the sixth try; six
// failures are an error of the board's bytes function.
TEST_F(DeviceTest, RetriesSixTimes) {
  struct Case {
    const char* variable;
    const RAND_METHOD* method;
    int bytes_function;
  };
  const Case cases[] = {
      {kCrypton, CRYPTON_rand_method(), 112},
      {kAccord, ACCORD_rand_method(), 115},
      {kSable, SABLE_rand_method(), 118},
  };
  for (const auto& c : cases) {
    for (int failures : {5, 6}) {
      testing_support::reset_boards();
      set_env(c.variable, "present,fail=" + std::to_string(failures));
      RAND_set_rand_method(c.method);
      CRYPTON_INIT_ARGS args{0, CRYPTON_SEARCH_FLAGS};
      ASSERT_EQ(RAND_init(nullptr, &args), 1) << c.variable;
      unsigned char out[32];
      std::fill(out, out + 32, 0);
      const int got = RAND_bytes(out, 32);
      if (failures == 5) {
        EXPECT_EQ(got, 32) << c.variable;
        EXPECT_EQ(drain_errors(), std::vector<ErrCode>{});
      } else {
        EXPECT_EQ(got, 0) << c.variable;
        EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{69, c.bytes_function, 12}}));
      }
      PSE_rand_cleanup();
    }
  }
}

// A board that stops answering part-way: the draw that needs a refill fails
// and hands back nothing of what it had.
TEST_F(DeviceTest, BoardFailsMidWay) {
  struct Case {
    const char* variable;
    const RAND_METHOD* method;
    int buffer;
    int bytes_function;
  };
  const Case cases[] = {
      {kCrypton, CRYPTON_rand_method(), 512, 112},
      {kAccord, ACCORD_rand_method(), 32, 115},
      {kSable, SABLE_rand_method(), 32, 118},
  };
  for (const auto& c : cases) {
    testing_support::reset_boards();
    set_env(c.variable, "present,die=1");
    RAND_set_rand_method(c.method);
    CRYPTON_INIT_ARGS args{0, CRYPTON_SEARCH_FLAGS};
    ASSERT_EQ(RAND_init(nullptr, &args), 1);
    Bytes first(static_cast<std::size_t>(c.buffer - 10));
    ASSERT_EQ(RAND_bytes(first.data(), c.buffer - 10), c.buffer - 10) << c.variable;
    Bytes second(20, 0);
    EXPECT_EQ(RAND_bytes(second.data(), 20), 0) << c.variable;
    EXPECT_EQ(second, Bytes(20, 0)) << "the 10 buffered bytes were handed out by a failed draw";
    EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{69, c.bytes_function, 12}}));
    PSE_rand_cleanup();
  }
  // In the search a board that dies on its first draw gives way to the next.
  testing_support::reset_boards();
  set_env(kCrypton, "present,die=0");
  set_env(kSable, "present");
  ASSERT_EQ(PSE_rand_seed_from_device(nullptr), 1);
  EXPECT_EQ(PSE_rand_device_code(), 4);
  EXPECT_EQ(drain_errors(), std::vector<ErrCode>{});
}

// What the Crypton driver is asked, in which order, for each mode.
TEST_F(DeviceTest, CryptonCallingProtocol) {
  struct Case {
    uint32_t flags;
    std::string service;
    std::string draw;
  };
  const Case cases[] = {
      {9, "crInitHardwareService", "crControlledRandom"},
      {1, "crInitHardwareService", "crRandom"},
      {2 | 1, "crInitLightService", "crRandom"},
      {4 | 2 | 8, "crInitService", "crControlledRandom"},
  };
  for (const auto& c : cases) {
    clear_log();
    set_env(kCrypton, "present");
    RAND_set_rand_method(CRYPTON_rand_method());
    CRYPTON_INIT_ARGS args{0, c.flags};
    ASSERT_EQ(RAND_init(nullptr, &args), 1);
    unsigned char out[600];
    ASSERT_EQ(RAND_bytes(out, 600), 600);  // two refills
    EXPECT_EQ(Bytes(out, out + 600), board_stream(kCryptonSalt, 0, 600));
    ASSERT_EQ(RAND_cleanup(), 1);
    const Lines expected = {"crInitCryptonLib", c.service,         "crGetDriverType", c.draw, c.draw,
                            "crDoneService",    "crDoneCryptonLib"};
    EXPECT_EQ(log(), expected) << c.flags;
  }
}

TEST_F(DeviceTest, CryptonInitFailures) {
  struct Case {
    const char* control;
    bool with_args;
    uint32_t flags;
  };
  const Case cases[] = {
      {"present", true, 0},  // no service chosen
      {"present,noservice", true, 9},
      {"present", false, 9},  // the argument is required
      {"", true, 9},          // no board
  };
  for (const auto& c : cases) {
    set_env(kCrypton, c.control);
    RAND_set_rand_method(CRYPTON_rand_method());
    CRYPTON_INIT_ARGS args{0, c.flags};
    EXPECT_EQ(RAND_init(nullptr, c.with_args ? &args : nullptr), 0) << c.control << " " << c.flags;
    EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{69, 113, 12}}));
    unsigned char out[4];
    EXPECT_EQ(RAND_bytes(out, 4), 0);  // closed again
    PSE_rand_cleanup();
  }
}

TEST_F(DeviceTest, CryptonInfo) {
  set_env(kCrypton, "present");
  RAND_set_rand_method(CRYPTON_rand_method());
  CRYPTON_INFO info{};
  info.flags = CRYPTON_HARDWARE_SERVICE;
  EXPECT_EQ(RAND_info(&info), 0);  // library not loaded by an init
  EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{69, 114, 12}}));
  CRYPTON_INIT_ARGS args{0, 9};
  ASSERT_EQ(RAND_init(nullptr, &args), 1);
  clear_log();
  ASSERT_EQ(RAND_info(&info), 1);
  EXPECT_EQ(info.driver_type, 7);
  EXPECT_EQ(info.version[0], 2);
  EXPECT_EQ(info.version[1], 31);
  EXPECT_EQ(log(), (Lines{"crInitCryptonLib", "crInitHardwareService", "crGetDriverType", "crGetDriverVersion",
                          "crDoneService", "crDoneCryptonLib"}));
  info.flags = 8;  // no service chosen
  clear_log();
  EXPECT_EQ(RAND_info(&info), 0);
  EXPECT_EQ(log(), (Lines{"crInitCryptonLib", "crDoneCryptonLib"}));
  EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{69, 114, 12}}));
}

TEST_F(DeviceTest, AccordInitAndInfo) {
  // No random source fitted: the board answers but cannot serve.
  set_env(kAccord, "present,norandom");
  RAND_set_rand_method(ACCORD_rand_method());
  EXPECT_EQ(RAND_init(nullptr, nullptr), 0);
  EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{69, 116, 12}}));
  // Info loads the library for the call when the board is not open.
  unsigned char record[ACCORD_INFO_BYTES] = {};
  EXPECT_EQ(RAND_info(record), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record), 6), "ACCORD");
  set_env(kAccord, "");
  EXPECT_EQ(RAND_info(record), 0);
  EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{69, 117, 12}}));
  // Init twice is one init.
  set_env(kAccord, "present");
  ASSERT_EQ(RAND_init(nullptr, nullptr), 1);
  clear_log();
  ASSERT_EQ(RAND_init(nullptr, nullptr), 1);
  EXPECT_TRUE(log().empty());
  EXPECT_EQ(RAND_info(record), 1);
}

TEST_F(DeviceTest, SableNeedsACard) {
  set_env(kSable, "");
  RAND_set_rand_method(SABLE_rand_method());
  EXPECT_EQ(RAND_init(nullptr, nullptr), 0);
  EXPECT_EQ(drain_errors(), (std::vector<ErrCode>{{69, 119, 12}}));
  EXPECT_EQ(RAND_info(nullptr), 0);  // no info slot
}

// A driver that lacks one export is not bound at all, and the search goes on.
TEST_F(DeviceTest, MissingExportBindsNothing) {
  set_env("DOSSAR_LIB_PATH", testing_support::broken_standin_dir() + ":" + testing_support::standin_dir());
  set_env(kAccord, "present");
  EXPECT_EQ(accord_load(), 0);
  EXPECT_EQ(sable_load(), 1);  // found in the second folder
  sable_unload();
  set_env(kSable, "present");
  const unsigned char list[] = {3, 4, 0};
  unsigned char out[32];
  ASSERT_EQ(PSE_rand_open_device(list, out, 32), 1);
  EXPECT_EQ(PSE_rand_device_code(), 4);
  EXPECT_FALSE(contains(log(), "TmGetInfo"));
  EXPECT_EQ(drain_errors(), std::vector<ErrCode>{});
}

// Whether the process still has a stand-in driver mapped.
bool driver_loaded(const char* file) {
  const std::string path = testing_support::standin_dir() + "/" + file;
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h != nullptr) dlclose(h);
  return h != nullptr;
}

// A driver stays loaded only while its device is open: every way out of a
// device (search that answers, failed init, failed draw, info for one call)
// leaves no library behind.
TEST_F(DeviceTest, DriversAreUnloadedWhenTheDeviceCloses) {
  struct Case {
    const char* what;
    const char* variable;
    const char* control;
    const char* file;
    std::function<void()> act;
  };
  const unsigned char crypton_only[] = {1, 0};
  const unsigned char accord_only[] = {3, 0};
  const unsigned char sable_only[] = {4, 0};
  const Case cases[] = {
      {"crypton seeds", kCrypton, "present", "libvtcrptn.so",
       [&] { EXPECT_EQ(PSE_rand_seed_from_device(crypton_only), 1); }},
      {"accord seeds", kAccord, "present", "libtmdrv32.so",
       [&] { EXPECT_EQ(PSE_rand_seed_from_device(accord_only), 1); }},
      {"sable seeds", kSable, "present", "libSnElLock.so",
       [&] { EXPECT_EQ(PSE_rand_seed_from_device(sable_only), 1); }},
      {"crypton absent", kCrypton, "", "libvtcrptn.so", [&] { EXPECT_EQ(PSE_rand_seed_from_device(crypton_only), 0); }},
      {"accord absent", kAccord, "", "libtmdrv32.so", [&] { EXPECT_EQ(PSE_rand_seed_from_device(accord_only), 0); }},
      {"sable absent", kSable, "", "libSnElLock.so", [&] { EXPECT_EQ(PSE_rand_seed_from_device(sable_only), 0); }},
      {"crypton draw fails", kCrypton, "present,fail=100", "libvtcrptn.so",
       [&] { EXPECT_EQ(PSE_rand_seed_from_device(crypton_only), 0); }},
      {"accord draw fails", kAccord, "present,fail=100", "libtmdrv32.so",
       [&] { EXPECT_EQ(PSE_rand_seed_from_device(accord_only), 0); }},
      {"accord info", kAccord, "present", "libtmdrv32.so",
       [&] {
         RAND_set_rand_method(ACCORD_rand_method());
         unsigned char record[ACCORD_INFO_BYTES];
         EXPECT_EQ(RAND_info(record), 1);
       }},
  };
  for (const auto& c : cases) {
    testing_support::reset_boards();
    set_env(c.variable, c.control);
    ASSERT_FALSE(driver_loaded(c.file)) << c.what;
    c.act();
    if (RAND_get_rand_method() == GRAND_method()) {
      EXPECT_FALSE(driver_loaded(c.file)) << c.what << ": the seeded generator keeps no driver";
    }
    PSE_rand_cleanup();
    EXPECT_FALSE(driver_loaded(c.file)) << c.what;
    ERR_clear_error();
  }
}

TEST_F(DeviceTest, LoadIsIdempotentAndUnloadForgets) {
  EXPECT_EQ(crypton_load(), 1);
  EXPECT_EQ(crypton_load(), 1);
  crypton_unload();
  set_env("DOSSAR_LIB_PATH", "/nonexistent-folder");
  EXPECT_EQ(crypton_load(), 0);
}

// Already ready: the boards are not asked.
TEST_F(DeviceTest, ReadyGeneratorSkipsTheSearch) {
  set_env(kCrypton, "present");
  RAND_set_rand_method(GRAND_method());
  unsigned char out[32] = {};
  EXPECT_EQ(PSE_rand_open_device(nullptr, out, 32), 1);
  EXPECT_EQ(PSE_rand_seed_from_device(nullptr), 1);
  EXPECT_TRUE(log().empty());
  EXPECT_EQ(RAND_get_rand_method(), GRAND_method());
}

// With a board fitted, the placeholder's first request never prompts.
TEST_F(DeviceTest, PlaceholderSeedsFromABoard) {
  set_env(kAccord, "present");
  KeyScript script;
  KeyScript::current = &script;
  mprand_set_callback(KeyScript::callback);
  RAND_set_rand_method(mprand_method());
  unsigned char buf[64];
  ASSERT_EQ(RAND_bytes(buf, 64), 64);
  EXPECT_TRUE(script.calls.empty());
  EXPECT_EQ(RAND_get_rand_method(), GRAND_method());
  EXPECT_EQ(PSE_rand_device_code(), 3);
  // A board that fails the search falls back to the keyboard.
  PSE_rand_cleanup();
  set_env(kAccord, "present,fail=100");
  RAND_set_rand_method(mprand_method());
  ASSERT_EQ(RAND_bytes(buf, 64), 64);
  EXPECT_GE(script.calls.size(), 16u);
  EXPECT_EQ(PSE_rand_device_code(), 0);
}

}  // namespace
}  // namespace qcrypto
