#include <gtest/gtest.h>

#include <ctime>
#include <vector>

#include "platform/time_record.h"

namespace platform {
namespace {

TEST(TimeRecord, PacksFieldByFieldLittleEndian) {
  struct Case {
    TimeRecord record;
    std::vector<unsigned char> bytes;
  };
  const Case cases[] = {
      {{0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {{0x12345678, 999, -180, 1}, {0x78, 0x56, 0x34, 0x12, 0xE7, 0x03, 0x4C, 0xFF, 0x01, 0x00}},
      {{0xFFFFFFFF, 1, 300, 0}, {0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x2C, 0x01, 0x00, 0x00}},
  };
  for (const auto& c : cases) {
    const auto packed = pack_time_record(c.record);
    EXPECT_EQ(std::vector<unsigned char>(packed.begin(), packed.end()), c.bytes);
  }
}

TEST(TimeRecord, CurrentRecordIsSane) {
  const auto before = static_cast<uint32_t>(std::time(nullptr));
  const TimeRecord r = current_time_record();
  EXPECT_GE(r.seconds, before);
  EXPECT_LE(r.seconds, before + 2);
  EXPECT_LT(r.milliseconds, 1000);
  EXPECT_TRUE(r.dst_flag == 0 || r.dst_flag == 1);
  EXPECT_LE(r.timezone_minutes, 14 * 60);
  EXPECT_GE(r.timezone_minutes, -14 * 60);
}

TEST(TimeRecord, TimezoneFollowsTheZoneRules) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  struct Case {
    const char* tz;
    int west_minutes;
  };
  for (const Case c : {Case{"UTC0", 0}, Case{"MSK-3", -180}, Case{"EST5", 300}}) {
    setenv("TZ", c.tz, 1);
    tzset();
    EXPECT_EQ(current_time_record().timezone_minutes, c.west_minutes) << c.tz;
    EXPECT_EQ(current_time_record().dst_flag, 0);
  }
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(Clocks, CountersAdvance) {
  const uint64_t t0 = timestamp_counter();
  uint64_t t1 = t0;
  for (int i = 0; i < 1000000 && t1 == t0; ++i) t1 = timestamp_counter();
  EXPECT_NE(t1, t0);
  const uint32_t p0 = processor_time();
  uint32_t p1 = p0;
  volatile uint64_t sink = 0;
  for (long i = 0; i < 200000000 && p1 == p0; ++i) {
    sink = sink + static_cast<uint64_t>(i);
    if ((i & 0xFFFF) == 0) p1 = processor_time();
  }
  EXPECT_NE(p1, p0);
  EXPECT_LE(calendar_seconds() - static_cast<uint32_t>(std::time(nullptr)), 1u);
}

}  // namespace
}  // namespace platform
