// ASN.1 times as broken-down UTC times, the current UTC time, comparison and
// shifting by minutes, for the validity checks of certificates and CRLs.
//
// The calendar is the proleptic Gregorian one over the whole range of
// tm_year (years before 1900 are negative, 2100 and 2200 are not leap
// years). The ASN.1 reader is deliberately lenient where certificates in the
// field are: day, hour and minute are not range-checked (a day 29 in a
// February of a common year is read as the 1st of March once shifted), and
// any text after the zone is ignored. OpenSSL's own reader refuses these.
#pragma once

#include <openssl/asn1.h>

#include <ctime>

namespace qcrypto {

// The time as UTC in `result`, or null when the text is not acceptable: fewer
// than 10 leading digits, a month outside 1-12, a GeneralizedTime without two
// minute digits, no "Z" or "+hhmm"/"-hhmm" after the minutes (or seconds),
// a type other than UTCTime (23) or GeneralizedTime (24). UTCTime years below
// 50 are 20YY. Without `result` a per-thread record is used, overwritten by
// the thread's next call.
struct tm* ASN1_TIME_get_tm(const ASN1_TIME* time, struct tm* result);
// The same on the raw type and text (the fuzz target's entry).
struct tm* ASN1_TIME_text_to_tm(int type, const unsigned char* text, int length, struct tm* result);

// The current UTC time; null when the system clock cannot be read. Without
// `result` a per-thread record is used.
struct tm* TM_now_utc(struct tm* result);

// The difference of the first field that differs (year, month, day, hour,
// minute, second); negative when `a` is earlier, 0 when equal.
int TM_cmp(const struct tm* a, const struct tm* b);

// Shifts the record by `minutes` (negative: back) across hours, days, months
// and years. 0 leaves the record untouched; a shift that would leave the
// range of tm_year also leaves it untouched. Seconds and the three further
// fields are kept.
void TM_adjust_minutes(struct tm* t, long minutes);

}  // namespace qcrypto
