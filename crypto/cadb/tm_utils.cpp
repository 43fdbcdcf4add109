#include "crypto/cadb/tm_utils.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace qcrypto {
namespace {

constexpr int kUtcTime = 23;
constexpr int kGeneralizedTime = 24;
constexpr int64_t kMinutesPerDay = 24 * 60;

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

int two_digits(const unsigned char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Days since 1970-01-01 of a proleptic Gregorian date; the day may lie
// outside its month and counts on linearly from the month's first day.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = floor_div(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int64_t& y, int& m, int& d) {
  z += 719468;
  const int64_t era = floor_div(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = yoe + era * 400;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y += m <= 2;
}

struct tm* thread_record() {
  static thread_local struct tm record;
  return &record;
}

}  // namespace

struct tm* ASN1_TIME_text_to_tm(int type, const unsigned char* s, int length, struct tm* result) {
  if (s == nullptr || length < 10) return nullptr;
  for (int i = 0; i < 10; ++i) {
    if (!is_digit(s[i])) return nullptr;
  }
  int year;
  int pos;
  if (type == kUtcTime) {
    const int yy = two_digits(s);
    year = yy < 50 ? 2000 + yy : 1900 + yy;
    pos = 2;
  } else if (type == kGeneralizedTime) {
    year = two_digits(s) * 100 + two_digits(s + 2);
    pos = 4;
  } else {
    return nullptr;
  }
  const int month = two_digits(s + pos);
  if (month < 1 || month > 12) return nullptr;
  const int day = two_digits(s + pos + 2);
  const int hour = two_digits(s + pos + 4);
  // The minutes lie inside the ten checked digits only for UTCTime.
  if (pos + 8 > length || !is_digit(s[pos + 6]) || !is_digit(s[pos + 7])) return nullptr;
  const int minute = two_digits(s + pos + 6);
  int p = pos + 8;
  int second = 0;
  if (p + 2 <= length && is_digit(s[p]) && is_digit(s[p + 1])) {
    second = two_digits(s + p);
    p += 2;
  }
  long shift = 0;
  if (s[length - 1] == 'Z') {
    if (p >= length || s[p] != 'Z') return nullptr;
  } else {
    if (p + 5 > length || (s[p] != '+' && s[p] != '-')) return nullptr;
    for (int i = 1; i <= 4; ++i) {
      if (!is_digit(s[p + i])) return nullptr;
    }
    const long offset = two_digits(s + p + 1) * 60L + two_digits(s + p + 3);
    shift = s[p] == '+' ? -offset : offset;
  }
  if (result == nullptr) result = thread_record();
  std::memset(result, 0, sizeof *result);
  result->tm_year = year - 1900;
  result->tm_mon = month - 1;
  result->tm_mday = day;
  result->tm_hour = hour;
  result->tm_min = minute;
  result->tm_sec = second;
  TM_adjust_minutes(result, shift);
  return result;
}

struct tm* ASN1_TIME_get_tm(const ASN1_TIME* time, struct tm* result) {
  if (time == nullptr) return nullptr;
  return ASN1_TIME_text_to_tm(ASN1_STRING_type(time), ASN1_STRING_get0_data(time), ASN1_STRING_length(time), result);
}

struct tm* TM_now_utc(struct tm* result) {
  struct timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return nullptr;
  if (result == nullptr) result = thread_record();
  const time_t now = ts.tv_sec;
  return gmtime_r(&now, result);
}

int TM_cmp(const struct tm* a, const struct tm* b) {
  if (a->tm_year != b->tm_year) return a->tm_year - b->tm_year;
  if (a->tm_mon != b->tm_mon) return a->tm_mon - b->tm_mon;
  if (a->tm_mday != b->tm_mday) return a->tm_mday - b->tm_mday;
  if (a->tm_hour != b->tm_hour) return a->tm_hour - b->tm_hour;
  if (a->tm_min != b->tm_min) return a->tm_min - b->tm_min;
  return a->tm_sec - b->tm_sec;
}

void TM_adjust_minutes(struct tm* t, long minutes) {
  if (t == nullptr || minutes == 0) return;
  // Every field is brought into one minute count from 1970 (in 64 bits, the
  // record's own fields may be far out of range), shifted, and taken apart.
  const int64_t year = int64_t{t->tm_year} + 1900 + floor_div(t->tm_mon, 12);
  const int64_t month = t->tm_mon - floor_div(t->tm_mon, 12) * 12 + 1;
  const int64_t days = days_from_civil(year, month, t->tm_mday);
  int64_t total = days * kMinutesPerDay + int64_t{t->tm_hour} * 60 + t->tm_min;
  if (__builtin_add_overflow(total, int64_t{minutes}, &total)) return;
  const int64_t new_days = floor_div(total, kMinutesPerDay);
  const int64_t minute_of_day = total - new_days * kMinutesPerDay;
  // Far beyond any year tm_year can hold; civil_from_days stays exact below.
  if (new_days > (int64_t{1} << 40) || new_days < -(int64_t{1} << 40)) return;
  int64_t y;
  int m;
  int d;
  civil_from_days(new_days, y, m, d);
  if (y - 1900 > INT_MAX || y - 1900 < INT_MIN) return;
  t->tm_year = static_cast<int>(y - 1900);
  t->tm_mon = m - 1;
  t->tm_mday = d;
  t->tm_hour = static_cast<int>(minute_of_day / 60);
  t->tm_min = static_cast<int>(minute_of_day % 60);
}

}  // namespace qcrypto
