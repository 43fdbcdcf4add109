#include "platform/time_record.h"

#include <time.h>

#include <ctime>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace platform {

std::array<unsigned char, kTimeRecordBytes> pack_time_record(const TimeRecord& r) {
  std::array<unsigned char, kTimeRecordBytes> out{};
  auto put16 = [&out](int at, uint16_t v) {
    out[at] = static_cast<unsigned char>(v);
    out[at + 1] = static_cast<unsigned char>(v >> 8);
  };
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(r.seconds >> (8 * i));
  put16(4, r.milliseconds);
  put16(6, static_cast<uint16_t>(r.timezone_minutes));
  put16(8, static_cast<uint16_t>(r.dst_flag));
  return out;
}

TimeRecord current_time_record() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm local {};
  const time_t now = ts.tv_sec;
  localtime_r(&now, &local);
  TimeRecord r{};
  r.seconds = static_cast<uint32_t>(ts.tv_sec);
  r.milliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
  // tm_gmtoff is seconds east of UTC and already includes daylight saving;
  // the record keeps the standard offset west of UTC and the flag apart.
  const long east = local.tm_gmtoff - (local.tm_isdst > 0 ? 3600 : 0);
  r.timezone_minutes = static_cast<int16_t>(-east / 60);
  r.dst_flag = static_cast<int16_t>(local.tm_isdst > 0 ? 1 : 0);
  return r;
}

uint32_t calendar_seconds() { return static_cast<uint32_t>(std::time(nullptr)); }

uint32_t processor_time() { return static_cast<uint32_t>(std::clock()); }

uint64_t timestamp_counter() {
#if defined(__x86_64__) || defined(__i386__)
  return __rdtsc();
#else
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
#endif
}

}  // namespace platform
