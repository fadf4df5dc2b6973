/*
 * civiltime.cpp - civil-calendar arithmetic in 64 bits, the zone's UTC
 * offset at an instant, and the zone's own data (zone file or TZ rule
 * string) for instants time_t cannot hold.
 */
#include "civiltime.h"

#include "TandelCntrl.h"
#include "files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

/* Days from civil and its inverse after H. Hinnant, "chrono-Compatible
   Low-Level Date Algorithms" (days_from_civil, civil_from_days): years
   counted from March, so that the leap day ends the year, in 400-year
   eras of 146097 days. */
namespace {

const int64_t kDaysPer400Years = 365 * 400 + 97;
const int64_t kDaysPer100Years = 365 * 100 + 24;
const int64_t kDaysPer4Years = 365 * 4 + 1;
/* 0000-03-01, the first day of era 0, to 1970-01-01. */
const int64_t kEra0To1970 = 719468;
/* March to July, and August to December: 31 30 31 30 31 days. So
   (153 * m + 2) / 5 days come before month m counted from March (0). */
const int64_t kDaysPer5Months = 153;
const int kThursday = 4; /* 1970-01-01; 0 is Sunday */

/* Quotient and remainder rounded toward minus infinity, so that times
   before 1970 fall into the day (and week) they belong to. */
int64_t floorDiv(int64_t a, int64_t b) { return (a >= 0 ? a : a - (b - 1)) / b; }
int64_t floorMod(int64_t a, int64_t b) { return a - floorDiv(a, b) * b; }

/* Days since 1970 of seconds; *rest gets the seconds into that day. */
int64_t splitDays(int64_t seconds, int64_t *rest)
{
    *rest = floorMod(seconds, kSecondsPerDay);
    return floorDiv(seconds, kSecondsPerDay);
}

/* 0 Sunday. */
int weekday(int64_t days) { return static_cast<int>(floorMod(days + kThursday, 7)); }

} // namespace

bool isLeap(int64_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

int daysInMonth(int64_t y, int m)
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return kDays[m - 1] + (m == 2 && isLeap(y));
}

int64_t daysFromCivil(int64_t y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = floorDiv(y, 400);
    const int64_t yoe = y - era * 400;
    const int64_t doy = (kDaysPer5Months * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * kDaysPer400Years + doe - kEra0To1970;
}

void civilFromDays(int64_t days, int64_t *y, int *m, int *d)
{
    const int64_t z = days + kEra0To1970;
    const int64_t era = floorDiv(z, kDaysPer400Years);
    const int64_t doe = z - era * kDaysPer400Years;
    /* The leap days before doe within its era, taken out, leave 365 per year. */
    const int64_t yoe =
        (doe - doe / (kDaysPer4Years - 1) + doe / kDaysPer100Years - doe / (kDaysPer400Years - 1)) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / kDaysPer5Months;
    *d = static_cast<int>(doy - (kDaysPer5Months * mp + 2) / 5 + 1);
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
    return daysFromCivil(y, m + 1, tm->tm_mday) * kSecondsPerDay + static_cast<int64_t>(tm->tm_hour) * 3600 +
           static_cast<int64_t>(tm->tm_min) * 60 + tm->tm_sec;
}

/* The calendar fields of seconds counted as UTC. */
static void breakDown(int64_t fields, struct tm *out)
{
    int64_t rest;
    const int64_t days = splitDays(fields, &rest);
    int64_t y;
    int m, d;
    civilFromDays(days, &y, &m, &d);
    out->tm_year = static_cast<int>(y - 1900);
    out->tm_mon = m - 1;
    out->tm_mday = d;
    out->tm_hour = static_cast<int>(rest / 3600);
    out->tm_min = static_cast<int>(rest / 60 % 60);
    out->tm_sec = static_cast<int>(rest % 60);
    out->tm_wday = weekday(days);
    out->tm_yday = static_cast<int>(days - daysFromCivil(y, 1, 1));
}

/* ------------------------------------------------------------------ */
/* The zone's own data                                                 */
/* ------------------------------------------------------------------ */

namespace {

/* What the zone says at an instant. Zones counting leap seconds
   ("right/") shift the fields by the seconds inserted so far. */
struct ZoneAnswer {
    long offset = 0; /* seconds east of UTC */
    int isdst = 0;
    long leapCorrection = 0;
    int leapHit = 0;
};

/* A change date of a rule string ("Mm.w.d", "Jn" or "n") and the local
   time of day of the change. */
struct RuleDate {
    char kind = 'M'; /* 'M', 'J' (1..365, no February 29) or 'D' (0..365) */
    long month = 0, week = 0, day = 0;
    long seconds = 2 * 3600;
};

struct RuleString {
    long stdOffset = 0, dstOffset = 0; /* east of UTC */
    bool hasDst = false;
    RuleDate start, end;
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

/* An abbreviation: three letters at least, or "<...>" of three letters,
   digits, '+' or '-' at least. */
bool readName(const char *&p)
{
    const char *q = p;
    if (*q == '<') {
        ++q;
        while (isAlpha(*q) || isDigit(*q) || *q == '+' || *q == '-')
            ++q;
        if (*q != '>' || q - p - 1 < 3)
            return false;
        p = q + 1;
        return true;
    }
    while (isAlpha(*q))
        ++q;
    if (q - p < 3)
        return false;
    p = q;
    return true;
}

/* 1 to 3 digits. */
bool readNumber(const char *&p, long *v)
{
    if (!isDigit(*p))
        return false;
    *v = 0;
    for (int n = 0; isDigit(*p); ++n, ++p) {
        if (n == 3)
            return false;
        *v = *v * 10 + (*p - '0');
    }
    return true;
}

/* [+-]hh[:mm[:ss]] in seconds, signed. Hours past maxHours and minutes
   or seconds past 59 are refused, or taken as that much (clamp) as the C
   library takes a zone's offset. */
bool readTime(const char *&p, long maxHours, bool clamp, long *seconds)
{
    const long sign = *p == '-' ? -1 : 1;
    p += *p == '-' || *p == '+';
    long h, m = 0, s = 0;
    if (!readNumber(p, &h))
        return false;
    if (*p == ':' && (!readNumber(++p, &m) || (*p == ':' && !readNumber(++p, &s))))
        return false;
    if (!clamp && (h > maxHours || m > 59 || s > 59))
        return false;
    *seconds = sign * ((h < maxHours ? h : maxHours) * 3600 + (m < 59 ? m : 59) * 60 + (s < 59 ? s : 59));
    return true;
}

bool readRuleDate(const char *&p, RuleDate *r)
{
    long a, b, c;
    if (*p == 'M') {
        if (!readNumber(++p, &a) || *p != '.' || !readNumber(++p, &b) || *p != '.' || !readNumber(++p, &c) ||
            a < 1 || a > 12 || b < 1 || b > 5 || c > 6)
            return false;
        r->kind = 'M';
        r->month = a, r->week = b, r->day = c;
    } else {
        r->kind = *p == 'J' ? 'J' : 'D';
        p += *p == 'J';
        if (!readNumber(p, &a) || a > 365 || (r->kind == 'J' && a == 0))
            return false;
        r->day = a;
    }
    /* Times of day run from -167 to 167 hours, as zone files write them. */
    return *p != '/' || readTime(++p, 167, false, &r->seconds);
}

/* A rule string as the C library reads it: "std offset [dst [offset]
   ,start[/time],end[/time]]". Without change dates the C library takes
   them from another zone file ("posixrules"): not read here. */
bool readRuleString(const char *p, RuleString *r)
{
    long west;
    if (!readName(p) || !(isDigit(*p) || *p == '+' || *p == '-') || !readTime(p, 24, true, &west))
        return false;
    r->stdOffset = r->dstOffset = -west;
    if (*p == '\0')
        return true;
    if (!readName(p))
        return false;
    r->hasDst = true;
    r->dstOffset = r->stdOffset + 3600;
    if (isDigit(*p) || *p == '+' || *p == '-') {
        if (!readTime(p, 24, true, &west))
            return false;
        r->dstOffset = -west;
    }
    return *p == ',' && readRuleDate(++p, &r->start) && *p == ',' && readRuleDate(++p, &r->end) && *p == '\0';
}

/* The instant (UTC) of a change in year y, counted from the local time
   in force before it. */
int64_t changeAt(const RuleDate &r, int64_t y, long offsetBefore)
{
    int64_t day = daysFromCivil(y, 1, 1);
    if (r.kind == 'J') {
        day += r.day - 1 + (r.day >= 60 && isLeap(y));
    } else if (r.kind == 'D') {
        day += r.day;
    } else {
        const int64_t first = daysFromCivil(y, r.month, 1);
        long d = (r.day - weekday(first) + 7) % 7;
        for (long w = 1; w < r.week && d + 7 < daysInMonth(y, static_cast<int>(r.month)); ++w)
            d += 7;
        day = first + d;
    }
    return day * kSecondsPerDay + r.seconds - offsetBefore;
}

/* The C library evaluates both changes in the instant's UTC year; a
   start after the end (southern hemisphere) wraps over New Year. */
void evaluateRule(const RuleString &r, int64_t t, ZoneAnswer *a)
{
    a->isdst = 0;
    if (r.hasDst) {
        int64_t rest, y;
        int m, d;
        civilFromDays(splitDays(t, &rest), &y, &m, &d);
        const int64_t start = changeAt(r.start, y, r.stdOffset);
        const int64_t end = changeAt(r.end, y, r.dstOffset);
        a->isdst = start > end ? t < end || t >= start : t >= start && t < end;
    }
    a->offset = a->isdst ? r.dstOffset : r.stdOffset;
}

uint32_t be32(const uint8_t *p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

int64_t beTime(const uint8_t *p, int width)
{
    if (width == 4)
        return static_cast<int32_t>(be32(p));
    return static_cast<int64_t>((uint64_t{be32(p)} << 32) | be32(p + 4));
}

/* The parts of a zone file (TZif, RFC 8536) that local time needs: the
   64-bit data block when there is one, as the C library reads it with
   64-bit time_t. Every count is checked against the bytes there are. */
class ZoneFile {
public:
    bool parse(const std::vector<uint8_t> &bytes)
    {
        const uint8_t *p = bytes.data(), *end = p + bytes.size();
        if (!header(p, end))
            return false;
        if (version_ != 0) {
            p += 44 + blockSize();
            width_ = 8;
            if (!header(p, end))
                return false;
        }
        times_ = p + 44;
        typeOf_ = times_ + uint64_t{timeCount_} * width_;
        types_ = typeOf_ + timeCount_;
        leaps_ = types_ + uint64_t{typeCount_} * 6 + charCount_;
        if (typeCount_ == 0)
            return false;
        for (uint32_t i = 0; i < timeCount_; ++i)
            if (typeOf_[i] >= typeCount_)
                return false;
        for (uint32_t i = 0; i < typeCount_; ++i)
            if (types_[6 * i + 4] > 1 || be32(types_ + 6 * i) == 0x80000000u)
                return false;
        return version_ == 0 || footer(p + 44 + blockSize(), end);
    }

    /* The answer at t; false when the footer's rule cannot be read. */
    bool at(int64_t t, ZoneAnswer *a) const
    {
        if (timeCount_ == 0 || t < timeAt(0)) {
            /* before the first change: the first standard time */
            uint32_t i = 0;
            while (i < typeCount_ && types_[6 * i + 4])
                ++i;
            type(i == typeCount_ ? 0 : i, a);
        } else if (t >= timeAt(timeCount_ - 1) && hasRule_) {
            RuleString r;
            if (!readRuleString(rule_.c_str(), &r))
                return false;
            evaluateRule(r, t, a);
        } else {
            uint32_t lo = 0, hi = timeCount_; /* timeAt(lo) <= t < timeAt(hi) */
            while (hi - lo > 1) {
                const uint32_t mid = lo + (hi - lo) / 2;
                (t < timeAt(mid) ? hi : lo) = mid;
            }
            type(typeOf_[lo], a);
        }
        leap(t, a);
        return true;
    }

private:
    bool header(const uint8_t *p, const uint8_t *end)
    {
        if (end - p < 44 || std::memcmp(p, "TZif", 4) != 0)
            return false;
        version_ = p[4];
        utCount_ = be32(p + 20), stdCount_ = be32(p + 24), leapCount_ = be32(p + 28);
        timeCount_ = be32(p + 32), typeCount_ = be32(p + 36), charCount_ = be32(p + 40);
        /* Each count below 2^31 keeps blockSize() far from wrapping. */
        return ((utCount_ | stdCount_ | leapCount_ | timeCount_ | typeCount_ | charCount_) >> 31) == 0 &&
               static_cast<uint64_t>(end - p - 44) >= blockSize();
    }

    uint64_t blockSize() const
    {
        return uint64_t{timeCount_} * (width_ + 1) + uint64_t{typeCount_} * 6 + charCount_ +
               uint64_t{leapCount_} * (width_ + 4) + stdCount_ + utCount_;
    }

    /* "\n" rule "\n" after the data; an empty rule is none. */
    bool footer(const uint8_t *p, const uint8_t *end)
    {
        if (end - p < 2 || *p != '\n' || end[-1] != '\n')
            return false;
        rule_.assign(reinterpret_cast<const char *>(p + 1), end - p - 2);
        hasRule_ = !rule_.empty();
        return rule_.find_first_of(std::string("\n\0", 2)) == std::string::npos;
    }

    int64_t timeAt(uint32_t i) const { return beTime(times_ + uint64_t{i} * width_, width_); }

    void type(uint32_t i, ZoneAnswer *a) const
    {
        a->offset = static_cast<int32_t>(be32(types_ + 6 * i));
        a->isdst = types_[6 * i + 4];
    }

    /* The correction of the last leap second at or before t; at the very
       second of an insertion the fields show 60 (and 61 for two). */
    void leap(int64_t t, ZoneAnswer *a) const
    {
        const uint32_t w = width_ + 4;
        uint32_t i = leapCount_;
        while (i > 0 && t < beTime(leaps_ + uint64_t{i - 1} * w, width_))
            --i;
        if (i-- == 0)
            return;
        /* unsigned, so that no file makes the differences overflow */
        auto when = [&](uint32_t k) {
            return static_cast<uint64_t>(beTime(leaps_ + uint64_t{k} * w, width_));
        };
        auto change = [&](uint32_t k) {
            return int64_t{static_cast<int32_t>(be32(leaps_ + uint64_t{k} * w + width_))};
        };
        a->leapCorrection = static_cast<long>(change(i));
        if (static_cast<uint64_t>(t) == when(i) && change(i) > (i == 0 ? 0 : change(i - 1))) {
            a->leapHit = 1;
            while (i > 0 && when(i) - when(i - 1) == 1 && change(i) - change(i - 1) == 1) {
                ++a->leapHit;
                --i;
            }
        }
    }

    int width_ = 4;
    uint8_t version_ = 0;
    uint32_t utCount_ = 0, stdCount_ = 0, leapCount_ = 0, timeCount_ = 0, typeCount_ = 0, charCount_ = 0;
    const uint8_t *times_ = nullptr, *typeOf_ = nullptr, *types_ = nullptr, *leaps_ = nullptr;
    std::string rule_;
    bool hasRule_ = false;
};

/* The file's bytes; *absent when it cannot be opened at all, in which
   case the C library reads TZ as a rule string. Only regular files up to
   kMaxZoneFile bytes are read, without waiting on a FIFO. */
bool readZoneFile(const std::string &path, std::vector<uint8_t> *bytes, bool *absent)
{
    tandel::Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    *absent = fd.get() < 0;
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxZoneFile)
        return false;
    bytes->resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < bytes->size()) {
        const ssize_t n = read(fd.get(), bytes->data() + got, bytes->size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

/* The zone as the C library finds it: TZ unset is /etc/localtime, empty
   is UTC; a leading ':' is dropped; a file name is tried first (relative
   to TZDIR or /usr/share/zoneinfo), then TZ as a rule string. False when
   neither can be read here. */
bool zoneAnswer(int64_t t, ZoneAnswer *a)
{
    const char *tz = std::getenv("TZ");
    if (tz && *tz == '\0')
        tz = "Universal";
    if (tz && *tz == ':')
        ++tz;
    const bool unset = !tz;
    if (unset)
        tz = "/etc/localtime";
    if (*tz == '\0') {
        *a = ZoneAnswer{};
        return true;
    }
    std::string path = tz;
    if (*tz != '/') {
        const char *dir = std::getenv("TZDIR");
        path = std::string(dir && *dir ? dir : "/usr/share/zoneinfo") + "/" + tz;
    }
    std::vector<uint8_t> bytes;
    bool absent = false;
    if (readZoneFile(path, &bytes, &absent)) {
        ZoneFile file;
        return file.parse(bytes) && file.at(t, a);
    }
    if (!absent)
        return false;
    if (unset) {
        *a = ZoneAnswer{};
        return true;
    }
    RuleString r;
    if (!readRuleString(tz, &r))
        return false;
    evaluateRule(r, t, a);
    return true;
}

/* A year of 1902 to 2037, which every time_t holds whole, with the
   calendar of y: as long, January 1 on the same weekday. The latest
   such year for years from 2000 on, else the earliest. */
int64_t sameCalendar(int64_t y)
{
    auto kind = [](int64_t year) {
        const int64_t jan1 = daysFromCivil(year, 1, 1);
        return weekday(jan1) + 7 * (daysFromCivil(year + 1, 1, 1) - jan1 - 365);
    };
    const int step = y >= 2000 ? -1 : 1;
    int64_t c = y >= 2000 ? 2037 : 1902;
    while (kind(c) != kind(y))
        c += step;
    return c;
}

/* What the library did before it read zones itself: the C library's
   answer for the same day of a year with the same calendar. Right for
   rule strings; zones whose rules changed after that year differ. */
bool borrowedYear(int64_t seconds, struct tm *out)
{
    breakDown(seconds, out);
    const int64_t y = out->tm_year + 1900LL;
    const int64_t t =
        seconds + (daysFromCivil(sameCalendar(y), 1, 1) - daysFromCivil(y, 1, 1)) * kSecondsPerDay;
    const auto tt = static_cast<time_t>(t);
    if (static_cast<int64_t>(tt) != t || !localtime_r(&tt, out))
        return false;
    breakDown(seconds + out->tm_gmtoff, out);
    return true;
}

} // namespace

bool localtime64(int64_t seconds, struct tm *out, bool own)
{
    const auto tt = static_cast<time_t>(seconds);
    if (!own && static_cast<int64_t>(tt) == seconds)
        return localtime_r(&tt, out) != nullptr;
    ZoneAnswer a;
    if (!zoneAnswer(seconds, &a))
        return borrowedYear(seconds, out);
    breakDown(seconds + a.offset - a.leapCorrection, out);
    out->tm_sec += a.leapHit;
    out->tm_isdst = a.isdst;
    out->tm_gmtoff = a.offset;
    out->tm_zone = nullptr;
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
    utcOffsetAt(fields - kSecondsPerDay, &before);
    const bool haveAfter = utcOffsetAt(fields + kSecondsPerDay, &after);
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
    int64_t rest;
    int64_t y;
    int m, d;
    civilFromDays(splitDays(fields, &rest), &y, &m, &d);
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    const int n =
        std::snprintf(text, size, "%04lld-%02d-%02dT%02d:%02d:%02d%c%02ld%02ld", static_cast<long long>(y), m,
                      d, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                      static_cast<int>(rest % 60), offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return n > 0 && static_cast<size_t>(n) < size ? n : 0;
}

/* ------------------------------------------------------------------ */
/* Exported breakdown of the records' dates                            */
/* ------------------------------------------------------------------ */

static int breakDownRecordTime(int64_t seconds, struct tm *tm, bool local)
{
    if (!tm)
        return TEXT_UNREADABLE;
    if (seconds < INT32_MIN || seconds > int64_t{UINT32_MAX})
        return TEXT_TIME_RANGE;
    struct tm out {};
    if (local && !localtime64(seconds, &out))
        return TEXT_TIME_RANGE;
    if (!local)
        breakDown(seconds, &out);
    out.tm_zone = nullptr;
    *tm = out;
    return 0;
}

int tandel_gmtime(int64_t seconds, struct tm *tm) { return breakDownRecordTime(seconds, tm, false); }

int tandel_localtime(int64_t seconds, struct tm *tm) { return breakDownRecordTime(seconds, tm, true); }
