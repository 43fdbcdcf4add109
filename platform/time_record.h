// Clocks that feed random seeding: the calendar clock, the millisecond time
// record, processor time and the processor's time-stamp counter.
#pragma once

#include <array>
#include <cstdint>

namespace platform {

constexpr int kTimeRecordBytes = 10;

// The millisecond clock as its classic fixed record, packed little-endian
// field by field (no compiler padding):
//   bytes 0-3 seconds since 1970 (low 32 bits), 4-5 milliseconds 0..999,
//   6-7 minutes west of UTC (signed), 8-9 daylight-saving flag (0 or 1).
struct TimeRecord {
  uint32_t seconds;
  uint16_t milliseconds;
  int16_t timezone_minutes;
  int16_t dst_flag;
};

std::array<unsigned char, kTimeRecordBytes> pack_time_record(const TimeRecord& record);
// Now, from the real-time clock and the local time-zone rules.
TimeRecord current_time_record();

// Seconds since 1970, low 32 bits.
uint32_t calendar_seconds();
// Processor time used by the process, in clock() ticks, low 32 bits.
uint32_t processor_time();
// The time-stamp counter where the processor has one, else a monotonic
// nanosecond clock. Only ever used for its fast-changing low bits.
uint64_t timestamp_counter();

}  // namespace platform
