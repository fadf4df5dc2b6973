/*
 * civiltime.cpp - civil-calendar arithmetic in 64 bits and the zone's
 * UTC offset at an instant.
 */
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "civiltime.h"

#include <cstdio>

int64_t daysFromCivil(int64_t y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(int64_t days, int64_t *y, int *m, int *d)
{
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *y = yoe + era * 400 + (*m <= 2);
}

int64_t timegm64(const struct tm *tm)
{
    int64_t y = static_cast<int64_t>(tm->tm_year) + 1900 + tm->tm_mon / 12;
    int m = tm->tm_mon % 12;
    if (m < 0) {
        m += 12;
        --y;
    }
    return daysFromCivil(y, m + 1, tm->tm_mday) * 86400 + static_cast<int64_t>(tm->tm_hour) * 3600 +
           static_cast<int64_t>(tm->tm_min) * 60 + tm->tm_sec;
}

/* The calendar fields of seconds counted as UTC. */
static void breakDown(int64_t fields, struct tm *out)
{
    const int64_t days = fields >= 0 ? fields / 86400 : (fields - 86399) / 86400;
    const int64_t rest = fields - days * 86400;
    int64_t y;
    int m, d;
    civilFromDays(days, &y, &m, &d);
    out->tm_year = static_cast<int>(y - 1900);
    out->tm_mon = m - 1;
    out->tm_mday = d;
    out->tm_hour = static_cast<int>(rest / 3600);
    out->tm_min = static_cast<int>(rest / 60 % 60);
    out->tm_sec = static_cast<int>(rest % 60);
    out->tm_wday = static_cast<int>((days % 7 + 11) % 7); /* 1970-01-01 was a Thursday */
    out->tm_yday = static_cast<int>(days - daysFromCivil(y, 1, 1));
}

/* A year of 1902 to 2037, which every time_t holds whole, with the
   calendar of y: as long, January 1 on the same weekday. The latest
   such year for years from 2000 on, else the earliest. */
static int64_t sameCalendar(int64_t y)
{
    auto kind = [](int64_t year) {
        const int64_t jan1 = daysFromCivil(year, 1, 1);
        return (jan1 % 7 + 11) % 7 + 7 * (daysFromCivil(year + 1, 1, 1) - jan1 - 365);
    };
    const int step = y >= 2000 ? -1 : 1;
    int64_t c = y >= 2000 ? 2037 : 1902;
    while (kind(c) != kind(y))
        c += step;
    return c;
}

bool localtime64(int64_t seconds, struct tm *out, bool shift)
{
    int64_t t = seconds;
    shift = shift || static_cast<int64_t>(static_cast<time_t>(t)) != t;
    if (shift) {
        /* The zone's rules give a year the offsets of a year with its
           calendar; the fields are then counted here. */
        breakDown(seconds, out);
        const int64_t y = out->tm_year + 1900LL;
        t += (daysFromCivil(sameCalendar(y), 1, 1) - daysFromCivil(y, 1, 1)) * 86400;
    }
    const auto tt = static_cast<time_t>(t);
    if (static_cast<int64_t>(tt) != t || !localtime_r(&tt, out))
        return false;
    if (shift)
        breakDown(seconds + out->tm_gmtoff, out);
    return true;
}

bool utcOffsetAt(int64_t seconds, long *offset)
{
    struct tm tm {};
    if (!localtime64(seconds, &tm))
        return false;
    *offset = tm.tm_gmtoff;
    return true;
}

long offsetOfReading(int64_t fields)
{
    /* No zone changes its offset twice within two days: the offsets a
       day before and after are the only candidates. */
    long before = 0, after = 0;
    utcOffsetAt(fields - 86400, &before);
    const bool haveAfter = utcOffsetAt(fields + 86400, &after);
    auto shows = [fields](long o) {
        long at;
        return utcOffsetAt(fields - o, &at) && at == o;
    };
    if (haveAfter && shows(after) && (!shows(before) || after > before))
        return after;
    return before;
}

int formatFields(char *text, size_t size, int64_t fields, long offset)
{
    const int64_t days = fields >= 0 ? fields / 86400 : (fields - 86399) / 86400;
    const int64_t rest = fields - days * 86400;
    int64_t y;
    int m, d;
    civilFromDays(days, &y, &m, &d);
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    const int n =
        std::snprintf(text, size, "%04lld-%02d-%02dT%02d:%02d:%02d%c%02ld%02ld", static_cast<long long>(y), m,
                      d, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                      static_cast<int>(rest % 60), offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return n > 0 && static_cast<size_t>(n) < size ? n : 0;
}
