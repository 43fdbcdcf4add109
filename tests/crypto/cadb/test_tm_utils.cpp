#include <gtest/gtest.h>
#include <time.h>

#include <cstring>
#include <random>
#include <string>

#include "crypto/cadb/tm_utils.h"

namespace qcrypto {
namespace {

struct Civil {
  int year, month, day, hour, minute, second;
};

Civil civil(const struct tm& t) { return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec}; }

bool operator==(const Civil& a, const Civil& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
         a.second == b.second;
}

std::ostream& operator<<(std::ostream& os, const Civil& c) {
  return os << c.year << "-" << c.month << "-" << c.day << " " << c.hour << ":" << c.minute << ":" << c.second;
}

struct tm make_tm(const Civil& c) {
  struct tm t;
  std::memset(&t, 0, sizeof t);
  t.tm_year = c.year - 1900;
  t.tm_mon = c.month - 1;
  t.tm_mday = c.day;
  t.tm_hour = c.hour;
  t.tm_min = c.minute;
  t.tm_sec = c.second;
  return t;
}

std::optional<Civil> parse(int type, const std::string& text) {
  struct tm t;
  std::memset(&t, 0x5A, sizeof t);  // every field must be written
  const auto* res = ASN1_TIME_text_to_tm(type, reinterpret_cast<const unsigned char*>(text.data()),
                                         static_cast<int>(text.size()), &t);
  if (res == nullptr) return std::nullopt;
  EXPECT_EQ(res, &t);
  EXPECT_EQ(t.tm_wday, 0);
  EXPECT_EQ(t.tm_yday, 0);
  EXPECT_EQ(t.tm_isdst, 0);
  return civil(t);
}

constexpr int U = V_ASN1_UTCTIME;
constexpr int G = V_ASN1_GENERALIZEDTIME;

TEST(Asn1TimeText, AcceptedTextsAndTheirUtcTime) {
  struct Case {
    int type;
    const char* text;
    Civil want;
  };
  const Case cases[] = {
      {U, "491231235959Z", {2049, 12, 31, 23, 59, 59}},
      {U, "500101000000Z", {1950, 1, 1, 0, 0, 0}},
      {U, "0501011200Z", {2005, 1, 1, 12, 0, 0}},
      {U, "0501011200+0300", {2005, 1, 1, 9, 0, 0}},
      {U, "0501010100-0200", {2005, 1, 1, 3, 0, 0}},
      // Offsets that cross midnight, month ends and the year end.
      {U, "0501010100+0200", {2004, 12, 31, 23, 0, 0}},
      {U, "050301003000+0100", {2005, 2, 28, 23, 30, 0}},
      {U, "040301003000+0100", {2004, 2, 29, 23, 30, 0}},
      {U, "041231230000-0130", {2005, 1, 1, 0, 30, 0}},
      {U, "050430230000-0100", {2005, 5, 1, 0, 0, 0}},
      {U, "050228233000-0045", {2005, 3, 1, 0, 15, 0}},
      {U, "040228233000-0045", {2004, 2, 29, 0, 15, 0}},
      {G, "20050229120000Z", {2005, 2, 29, 12, 0, 0}},  // the day is not range-checked
      {G, "18991231235959Z", {1899, 12, 31, 23, 59, 59}},
      {G, "21000228235959Z", {2100, 2, 28, 23, 59, 59}},
      {G, "38000101000000Z", {3800, 1, 1, 0, 0, 0}},
      {G, "00000101000000Z", {0, 1, 1, 0, 0, 0}},
      {G, "200501011200Z", {2005, 1, 1, 12, 0, 0}},
      {G, "20050101120000+0000", {2005, 1, 1, 12, 0, 0}},
      {G, "20050101120000+0000trailing", {2005, 1, 1, 12, 0, 0}},
  };
  for (const auto& c : cases) {
    const auto got = parse(c.type, c.text);
    ASSERT_TRUE(got.has_value()) << c.text;
    EXPECT_EQ(*got, c.want) << c.text;
  }
}

TEST(Asn1TimeText, RefusedTexts) {
  struct Case {
    int type;
    std::string text;
  };
  const Case cases[] = {
      {U, "0513011200Z"},      // month 13
      {U, "0500011200Z"},      // month 0
      {U, "05010112Z"},        // fewer than 10 characters
      {U, "05010112x0Z"},      // fewer than 10 digits
      {U, "0501011200"},       // no zone
      {U, "0501011200+030"},   // short offset
      {U, "0501011200+03x0"},  // offset not digits
      {U, "0501011200*0300"},  // no sign
      {U, "0501011200 Z"},     // zone not right after the minutes
      {G, "2005010112"},       // GeneralizedTime without minutes
      {G, "2005010112Z"},      // ... and with the zone at once
      {G, "20050101120Z"},     // one minute digit
      {G, "200501011200.5Z"},  // a fraction is not a zone
      {G, "2005010112005Z"},   // one seconds digit is neither seconds nor the zone
      {V_ASN1_OCTET_STRING, "0501011200Z"},
      {U, std::string("0501011200\0Z", 12)},
      {U, ""},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(parse(c.type, c.text).has_value()) << c.text;
  }
  EXPECT_EQ(ASN1_TIME_text_to_tm(U, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(ASN1_TIME_get_tm(nullptr, nullptr), nullptr);
}

TEST(Asn1TimeText, LeapDaysFollowTheGregorianRule) {
  // 29 February is read as it is; an offset of one minute makes the calendar
  // decide whether that day exists.
  struct Case {
    const char* text;
    Civil want;
  };
  const Case cases[] = {
      {"19000229000000-0001", {1900, 3, 1, 0, 1, 0}},    {"20000229000000-0001", {2000, 2, 29, 0, 1, 0}},
      {"20040229000000-0001", {2004, 2, 29, 0, 1, 0}},   {"21000229000000-0001", {2100, 3, 1, 0, 1, 0}},
      {"19000301000000+0001", {1900, 2, 28, 23, 59, 0}}, {"20000301000000+0001", {2000, 2, 29, 23, 59, 0}},
      {"20040301000000+0001", {2004, 2, 29, 23, 59, 0}}, {"21000301000000+0001", {2100, 2, 28, 23, 59, 0}},
  };
  for (const auto& c : cases) {
    const auto got = parse(G, c.text);
    ASSERT_TRUE(got.has_value()) << c.text;
    EXPECT_EQ(*got, c.want) << c.text;
  }
}

TEST(Asn1TimeText, AgreesWithOpenSslOnStrictTimes) {
  std::mt19937_64 rng(7);
  // 1950..2049 for UTCTime, 0001..9999 for GeneralizedTime.
  std::uniform_int_distribution<int64_t> utc(-631152000LL, 2524607999LL);
  std::uniform_int_distribution<int64_t> gen(-62135596800LL, 253402300799LL);
  for (int i = 0; i < 2000; ++i) {
    const bool use_utc = i % 2 == 0;
    const time_t when = static_cast<time_t>(use_utc ? utc(rng) : gen(rng));
    ASN1_TIME* t = use_utc ? ASN1_UTCTIME_set(nullptr, when) : ASN1_GENERALIZEDTIME_set(nullptr, when);
    ASSERT_NE(t, nullptr);
    struct tm ours;
    struct tm theirs;
    ASSERT_NE(ASN1_TIME_get_tm(t, &ours), nullptr);
    ASSERT_EQ(::ASN1_TIME_to_tm(t, &theirs), 1);
    EXPECT_EQ(civil(ours), civil(theirs)) << when;
    ASN1_STRING_free(t);
  }
}

TEST(TmAdjustMinutes, LeapDaysAroundCenturies) {
  struct Case {
    int year;
    bool leap;
  };
  const Case cases[] = {{1600, true}, {1700, false}, {1896, true},  {1900, false}, {2000, true},
                        {2004, true}, {2005, false}, {2100, false}, {2200, false}, {2400, true}};
  for (const auto& c : cases) {
    struct tm t = make_tm({c.year, 2, 28, 23, 59, 30});
    TM_adjust_minutes(&t, 1);
    const Civil want = c.leap ? Civil{c.year, 2, 29, 0, 0, 30} : Civil{c.year, 3, 1, 0, 0, 30};
    EXPECT_EQ(civil(t), want) << c.year;
    struct tm back = make_tm({c.year, 3, 1, 0, 0, 0});
    TM_adjust_minutes(&back, -1);
    EXPECT_EQ(civil(back), (Civil{c.year, 2, c.leap ? 29 : 28, 23, 59, 0})) << c.year;
  }
}

TEST(TmAdjustMinutes, ZeroLeavesTheRecordAlone) {
  struct tm t = make_tm({2005, 2, 31, 25, 61, 0});
  TM_adjust_minutes(&t, 0);
  EXPECT_EQ(civil(t), (Civil{2005, 2, 31, 25, 61, 0}));
  TM_adjust_minutes(nullptr, 5);  // no record: nothing to do, no crash
}

TEST(TmAdjustMinutes, MatchesTimegmOverRandomInstants) {
  std::mt19937_64 rng(20050229);
  std::uniform_int_distribution<int64_t> instant(-62135596800LL, 253402300799LL);  // years 1..9999
  std::uniform_int_distribution<long> small(-3 * 1440, 3 * 1440);
  std::uniform_int_distribution<long> large(-200L * 525960, 200L * 525960);  // ±200 years
  for (int i = 0; i < 20000; ++i) {
    const time_t start = static_cast<time_t>(instant(rng));
    const long minutes = (i % 2) ? small(rng) : large(rng);
    struct tm t;
    ASSERT_NE(gmtime_r(&start, &t), nullptr);
    const int wday = t.tm_wday;
    TM_adjust_minutes(&t, minutes);
    struct tm copy = t;
    const time_t back = timegm(&copy);
    EXPECT_EQ(back, start + minutes * 60) << start << " + " << minutes;
    // A normalised record stays as timegm leaves it.
    EXPECT_EQ(civil(copy), civil(t));
    EXPECT_EQ(t.tm_wday, wday);  // the further fields are kept
  }
}

TEST(TmAdjustMinutes, OutOfRangeShiftsLeaveTheRecord) {
  struct tm t = make_tm({2005, 1, 1, 0, 0, 0});
  TM_adjust_minutes(&t, LONG_MAX);
  EXPECT_EQ(civil(t), (Civil{2005, 1, 1, 0, 0, 0}));
  TM_adjust_minutes(&t, LONG_MIN);
  EXPECT_EQ(civil(t), (Civil{2005, 1, 1, 0, 0, 0}));
}

TEST(TmCmp, FirstDifferingFieldDecides) {
  const struct tm base = make_tm({2005, 6, 15, 12, 30, 30});
  struct Case {
    Civil other;
    int sign;
  };
  const Case cases[] = {
      {{2005, 6, 15, 12, 30, 30}, 0}, {{2006, 1, 1, 0, 0, 0}, -1},     {{2004, 12, 31, 23, 59, 59}, 1},
      {{2005, 7, 1, 0, 0, 0}, -1},    {{2005, 6, 14, 23, 59, 59}, 1},  {{2005, 6, 15, 13, 0, 0}, -1},
      {{2005, 6, 15, 12, 29, 59}, 1}, {{2005, 6, 15, 12, 30, 31}, -1}, {{1899, 6, 15, 12, 30, 30}, 1},
  };
  for (const auto& c : cases) {
    const struct tm other = make_tm(c.other);
    const int r = TM_cmp(&base, &other);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.other;
    const int rr = TM_cmp(&other, &base);
    EXPECT_EQ((rr > 0) - (rr < 0), -c.sign) << c.other;
  }
  EXPECT_EQ(TM_cmp(&base, &base), 0);
}

// Bounded by the clock TM_now_utc reads: time() may come from the coarse
// clock, which lags it by up to a tick and so straddles a second boundary.
time_t realtime_seconds() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec;
}

TEST(TmNowUtc, IsTheSystemClockInUtc) {
  const time_t before = realtime_seconds();
  struct tm now;
  ASSERT_EQ(TM_now_utc(&now), &now);
  const time_t after = realtime_seconds();
  struct tm copy = now;
  const time_t got = timegm(&copy);
  EXPECT_GE(got, before);
  EXPECT_LE(got, after);
  struct tm* shared = TM_now_utc(nullptr);
  ASSERT_NE(shared, nullptr);
  EXPECT_GE(TM_cmp(shared, &now), 0);
}

}  // namespace
}  // namespace qcrypto
