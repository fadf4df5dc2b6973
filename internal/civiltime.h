/*
 * Date arithmetic shared by the codec and the job handler. Dates are
 * counted in 64 bits with the library's own civil-calendar arithmetic,
 * so 1932 to 2106 work wherever time_t has 32 bits; the C library is
 * asked only for the zone's UTC offset at an instant. Where time_t
 * cannot hold the instant, the zone's own data answers instead: its
 * zone file, or TZ as a rule string.
 */
#ifndef TANDEL_INTERNAL_CIVILTIME_H
#define TANDEL_INTERNAL_CIVILTIME_H

#include <cstddef>
#include <cstdint>
#include <ctime>

const char kTimeFormat[] = "%Y-%m-%dT%H:%M:%S%z";
const int64_t kSecondsPerDay = 86400;
const int64_t kEpoch2000 = 946684800; /* 2000-01-01T00:00:00Z in seconds since 1970 */
/* The message's signed 32-bit seconds since 2000, as seconds since 1970. */
const int64_t kMessageFirst = kEpoch2000 + INT32_MIN;
const int64_t kMessageLast = kEpoch2000 + INT32_MAX;

/* Days since 1970-01-01 of a proleptic Gregorian date; linear in the day,
   so out-of-range days normalise as timegm would. */
int64_t daysFromCivil(int64_t y, int m, int d);
/* Gregorian leap year; days in month m (1 to 12) of year y. */
bool isLeap(int64_t y);
int daysInMonth(int64_t y, int m);
/* The date of a day count (inverse of daysFromCivil). */
void civilFromDays(int64_t days, int64_t *y, int *m, int *d);
/* Seconds since 1970 of broken-down fields counted as UTC (timegm
   without time_t; month normalised). */
int64_t timegm64(const struct tm *tm);
/* localtime_r for 64-bit seconds. Where time_t cannot hold them (or
   `own` asks so, as tests do), the zone's data is read as the C library
   reads it with 64-bit time_t: the zone file named by TZ (the file's
   transitions, then the rule in its footer), or TZ as a rule string.
   When that cannot be read, the C library is asked about the same day of
   a year with the same calendar within 1902 to 2037. tm_zone is null
   where the library answers itself. */
bool localtime64(int64_t seconds, struct tm *out, bool own = false);
/* The zone's UTC offset in seconds at an instant; false when unknown. */
bool utcOffsetAt(int64_t seconds, long *offset);
/* The offset in force when the local clock shows `fields` (a reading
   counted as UTC). A reading shown twice (summer time ending) takes the
   first showing, one never shown (summer time starting) the offset
   before the gap; 0 when the zone cannot tell. */
long offsetOfReading(int64_t fields);
/* "YYYY-MM-DDThh:mm:ss" of fields (seconds counted as UTC) followed by
   the offset as strftime's %z gives it. The length, 0 when it does not
   fit. */
int formatFields(char *text, size_t size, int64_t fields, long offset);
/* Zone files larger than this are not read (a hostile TZ). */
const long kMaxZoneFile = 1L << 20;

#endif
