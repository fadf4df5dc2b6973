/* Dates after 2038-01-19 wherever the formats carry them: document times, job list order,
   request dates and lab times (up to 2106); the same with 32-bit time_t. Local time past 2037
   in every zone of the machine as a 64-bit time_t C library gives it, and the exported
   breakdown of the records' dates. */
#include "civiltime.h"
#include "testkit.h"

#include <gmock/gmock.h>

namespace {

std::string timeText(const struct tm &tm)
{
    char text[64];
    return std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &tm) ? text : "?";
}

std::string jobDated(const std::string &date)
{
    return replaced(sampleJob(), "date=\"2020-01-01T08:30:00+0100\"", "date=\"" + date + "\"");
}

TEST(Y2038, DocumentTimesBeyond2038)
{
    const std::pair<const char *, int32_t> cases[] = {{"2038-01-19T03:14:07+0000", 1200798847},
                                                      {"2038-01-19T03:14:08+0000", 1200798848},
                                                      {"2040-02-29T13:00:00+0100", 1267444800},
                                                      {"2068-01-19T03:14:07+0000", 2147483647}};
    for (auto [text, since2000] : cases)
        EXPECT_EQ(atotime2000(text), since2000) << text;
    /* the time text of instants a 32-bit time_t cannot hold; it needs 26 bytes */
    for (const char *want :
         {"2038-01-19T03:14:08+0000", "2106-02-07T06:28:15+0000", "2200-01-01T00:00:00+0000"}) {
        struct tm tm = {};
        ASSERT_TRUE(strptime(want, "%Y-%m-%dT%H:%M:%S%z", &tm));
        char text[26] = "#";
        EXPECT_EQ(sprintf_tm(text, 25, &tm), TEXT_UNREADABLE);
        EXPECT_EQ(sprintf_tm(nullptr, 26, &tm), TEXT_UNREADABLE);
        EXPECT_STREQ(text, "#");
        EXPECT_EQ(sprintf_tm(text, sizeof text, &tm), 24);
        EXPECT_STREQ(text, want);
    }
}

/* The records' dates broken down past 2038 and 2100 (no leap year) to the
   last lab time, and before 2000, on both builds: known changes of rule
   strings and zone files. */
TEST(Y2038, BreakdownsBeyondTimeT)
{
    const char *cet = "CET-1CEST,M3.5.0,M10.5.0/3";
    const std::tuple<const char *, int64_t, const char *, int, int, int> cases[] = {
        /* TZ ("": tandel_gmtime), seconds, text, tm_wday, tm_yday, tm_isdst */
        {"", INT32_MIN, "1901-12-13T20:45:52+0000", 5, 346, 0},
        {"", 951825600, "2000-02-29T12:00:00+0000", 2, 59, 0}, /* the last day of a 400-year cycle */
        {"Europe/Berlin", TANDEL_EPOCH_2000 + INT32_MIN, "1931-12-13T21:45:52+0100", 0, 346, 0},
        {"Europe/Berlin", TANDEL_EPOCH_2000 - 15854400, "1999-07-01T14:00:00+0200", 4, 181, 1},
        {"America/Sao_Paulo", 1516017600, "2018-01-15T10:00:00-0200", 1, 14, 1},
        {"America/Sao_Paulo", 2210241600, "2040-01-15T09:00:00-0300", 0, 14, 0},
        {cet, INT64_C(2147483648), "2038-01-19T04:14:08+0100", 2, 18, 0},
        {cet, 2153350799, "2038-03-28T01:59:59+0100", 0, 86, 0},
        {cet, 2153350800, "2038-03-28T03:00:00+0200", 0, 86, 1},
        {cet, 4107540600, "2100-03-01T00:30:00+0100", 1, 59, 0},
        {cet, 4128627599, "2100-10-31T02:59:59+0200", 0, 303, 1},
        {cet, 4128627600, "2100-10-31T02:00:00+0100", 0, 303, 0},
        {"Europe/Berlin", 2224713600, "2040-07-01T02:00:00+0200", 0, 182, 1},
        {"Europe/Berlin", UINT32_MAX, "2106-02-07T07:28:15+0100", 0, 37, 0},
        {"", UINT32_MAX, "2106-02-07T06:28:15+0000", 0, 37, 0}};
    for (auto [tz, seconds, text, wday, yday, isdst] : cases) {
        setTimeZone(*tz ? tz : "<+05>-5");
        struct tm tm;
        std::memset(&tm, 0x55, sizeof tm);
        ASSERT_EQ(*tz ? tandel_localtime(seconds, &tm) : tandel_gmtime(seconds, &tm), 0) << tz << seconds;
        EXPECT_EQ(timeText(tm), text) << seconds;
        EXPECT_EQ(tm.tm_wday, wday) << seconds;
        EXPECT_EQ(tm.tm_yday, yday) << seconds;
        EXPECT_EQ(tm.tm_isdst, isdst) << seconds;
        EXPECT_EQ(tm.tm_zone, nullptr) << seconds;
    }
}

TEST(Y2038, JobListAndRequestsPast2038)
{
    TempDir d;
    writeFile(d.file("a.xml"), jobDated("2010-05-01T00:00:00+0000"));
    writeFile(d.file("b.xml"), jobDated("2067-12-31T23:59:59+0100"));
    writeFile(d.file("c.xml"), jobDated("2040-02-29T12:00:00+0000"));
    JobDescrList *list = nullptr;
    ASSERT_EQ(createJobDescrList(d.path().c_str(), nullptr, &list), 3);
    EXPECT_EQ(list->items[0]->date, 2145913199);
    EXPECT_EQ(list->items[1]->date, 1267444800);
    EXPECT_EQ(list->items[2]->date, 325987200);
    EXPECT_EQ(std::string(list->items[0]->filePath), d.file("b.xml"));

    Handle h;
    MeasurementRequestList *requests = nullptr;
    writeFile(list->items[0]->filePath,
              replaced(jobDated("2060-06-01T00:00:00+0000"), "date=\"2020-01-01T08:00:00+0100\"",
                       "date=\"2068-01-19T03:14:07+0000\""));
    ASSERT_EQ(createMeasurementRequestList(h.p, list, 0, &requests), 3);
    EXPECT_EQ(requests->items[0]->jobDate, 1906588800);
    EXPECT_EQ(requests->items[0]->sampleDate, 2147483647);
    removeMeasurementRequestList(&requests);
    removeJobDescrList(&list);
}

TEST(Y2038, LabTimeUpTo2106)
{
    const std::tuple<const char *, uint32_t, const char *> cases[] = {
        {"UTC0", 2147483648u, "lab_time=\"2038-01-19T03:14:08+0000\""},
        {"<+01>-1", 2147483648u, "lab_time=\"2038-01-19T04:14:08+0100\""},
        {"UTC0", 4102444800u, "lab_time=\"2100-01-01T00:00:00+0000\""},
        {"<-05>5", 4294967295u, "lab_time=\"2106-02-07T01:28:15-0500\""}};
    for (auto [tz, labTime, text] : cases) {
        setTimeZone(tz);
        TempDir d;
        const std::string path = d.file("job.xml");
        writeFile(path, sampleJob());
        MeasurementRequest rq = {};
        rq.totalIndex = 1, rq.labValue = 2.5f, rq.labTime = labTime;
        ASSERT_EQ(addMeasurementResult(path.c_str(), &rq), 0) << tz;
        EXPECT_NE(readFile(path).find(text), std::string::npos) << tz << "\n" << readFile(path);
    }
}

/* ------------------------------------------------------------------ */
/* Zones past 2037                                                     */
/* ------------------------------------------------------------------ */

/* What the library writes of a local time, and what else it fills. */
std::string fieldsOf(const struct tm &tm)
{
    return timeText(tm) + " isdst=" + std::to_string(tm.tm_isdst) + " wday=" + std::to_string(tm.tm_wday) +
           " yday=" + std::to_string(tm.tm_yday);
}

/* Every zone file of the machine and the rule strings of
   tests/data/tz_rules.txt, around each change from 2038 to 2106: the
   build machine's C library (64-bit time_t) writes what it gives into a
   table first (tests/zone_table.py, run at build time), so that a build
   with 32-bit time_t compares too. Sao Paulo, Tehran, Apia, Santiago,
   Gaza and Casablanca changed their rules after 2010 or list changes
   past 2037: no year before 2038 holds their future. */
TEST(Y2038, ZonesPast2037AsTheCLibrary)
{
#ifndef TANDEL_ZONE_TABLE
    GTEST_SKIP() << "no zone table: the build had no python3";
#else
    const char *table = TANDEL_ZONE_TABLE;
    std::ifstream in(table);
    ASSERT_TRUE(in) << table;
    std::vector<std::string> differing;
    std::set<std::string> zones;
    size_t instants = 0;
    for (std::string zone, seconds, want;
         std::getline(in, zone, '\t') && std::getline(in, seconds, '\t') && std::getline(in, want);
         ++instants) {
        if (zones.insert(zone).second)
            setTimeZone(zone.c_str());
        struct tm tm = {};
        const std::string got = localtime64(std::stoll(seconds), &tm, true) ? fieldsOf(tm) : "fails";
        if (got != want &&
            (differing.empty() || differing.back().compare(0, zone.size() + 1, zone + " ") != 0))
            differing.push_back(zone + " at " + seconds + ": " + got + ", C library " + want);
    }
    EXPECT_THAT(differing, testing::IsEmpty());
    EXPECT_GT(zones.size(), 400u); /* tzdata is installed (scripts/deps.sh) */
    EXPECT_GT(instants, 40000u);
#endif
}

/* A zone file (TZif version 2 or 3: an empty 32-bit block, then the
   64-bit one; version 0: the 32-bit block only, without footer). */
struct ZoneFile {
    std::vector<std::pair<int64_t, uint8_t>> changes; /* instant, type */
    std::vector<std::pair<int32_t, uint8_t>> types;   /* offset, isdst */
    std::vector<std::pair<int64_t, int32_t>> leaps;   /* instant, correction */
    std::string footer;                               /* the rule line */
    char version = '2';
};

std::string bigEndian(int64_t v, int bytes)
{
    std::string s;
    for (int i = bytes - 1; i >= 0; --i)
        s += static_cast<char>(static_cast<uint64_t>(v) >> (8 * i) & 0xFF);
    return s;
}

std::string tzifHeader(char version, size_t leaps, size_t changes, size_t types, size_t chars)
{
    std::string h = std::string("TZif") + version + std::string(15, '\0');
    for (size_t n : {size_t{0}, size_t{0}, leaps, changes, types, chars})
        h += bigEndian(static_cast<int64_t>(n), 4);
    return h;
}

std::string tzif(const ZoneFile &z)
{
    const int width = z.version == '\0' ? 4 : 8;
    std::string s = tzifHeader(z.version, z.leaps.size(), z.changes.size(), z.types.size(), 4);
    for (auto [t, type] : z.changes)
        s += bigEndian(t, width);
    for (auto [t, type] : z.changes)
        s += static_cast<char>(type);
    for (auto [offset, isdst] : z.types)
        s += bigEndian(offset, 4) + static_cast<char>(isdst) + '\0';
    s += std::string("ZZZ", 4);
    for (auto [t, correction] : z.leaps)
        s += bigEndian(t, width) + bigEndian(correction, 4);
    if (width == 4)
        return s;
    return tzifHeader(z.version, 0, 0, 1, 1) + std::string(7, '\0') + s + "\n" + z.footer + "\n";
}

/* Sao Paulo's shape: summer time until 2013, then none. */
const ZoneFile kEndedSummerTime = {{{1318734000, 1}, {1330221600, 2}, {1350788400, 1}, {1361066400, 2}},
                                   {{-11188, 0}, {-7200, 1}, {-10800, 0}},
                                   {},
                                   "<-03>3"};

/* What the zone's data says, where a year of the C library's range with
   the same calendar would say otherwise. */
TEST(Y2038, ZoneFileReadAsTheCLibraryReadsIt)
{
    const int64_t jan2040 = 2210241600, jun2050 = 2537654400, oct2045 = 2391638400, dec2045 = 2395699200;
    const ZoneFile listedPast2037 = {
        {{2051222400, 1}, {2390436000, 2}, {2392941600, 1}}, {{0, 0}, {3600, 0}, {0, 1}}, {}, "<+01>-1"};
    /* a change to standard time first: glibc 2.31 aborts on a file without one */
    const ZoneFile noRule = {{{946684800, 0}, {2066601600, 1}}, {{3600, 0}, {7200, 1}}, {}, ""};
    const ZoneFile version1 = {
        {{946684800, 1}, {2051222400, 2}}, {{0, 0}, {19800, 0}, {20700, 0}}, {}, "", '\0'};
    const ZoneFile leapSeconds = {{}, {{3600, 0}}, {{78796800, 1}, {1483228826, 27}}, ""};
    const std::tuple<const char *, ZoneFile, int64_t, const char *, int> cases[] = {
        {"before the first change: the first standard time", kEndedSummerTime, 0, "1969-12-31T20:53:32-0306",
         0},
        {"the rule after the last change", kEndedSummerTime, jan2040, "2040-01-15T09:00:00-0300", 0},
        {"changes listed past 2037", listedPast2037, oct2045, "2045-10-15T00:00:00+0000", 1},
        {"the rule after changes past 2037", listedPast2037, dec2045, "2045-12-01T01:00:00+0100", 0},
        {"no rule: the last change", noRule, jun2050, "2050-06-01T02:00:00+0200", 1},
        {"32-bit data only", version1, jun2050, "2050-06-01T05:45:00+0545", 0},
        {"leap seconds", leapSeconds, jun2050, "2050-06-01T00:59:33+0100", 0},
        {"before the first leap second", leapSeconds, 0, "1970-01-01T01:00:00+0100", 0},
        {"at the first leap second", leapSeconds, 78796800, "1972-07-01T00:59:60+0100", 0},
        {"at an inserted leap second", leapSeconds, 1483228826, "2017-01-01T00:59:60+0100", 0}};
    TempDir d;
    int n = 0;
    for (const auto &[what, zone, seconds, text, isdst] : cases) {
        const std::string path = d.file("zone" + std::to_string(++n));
        writeFile(path, tzif(zone));
        setTimeZone(path.c_str());
        struct tm tm = {};
        ASSERT_TRUE(localtime64(seconds, &tm, true)) << what;
        EXPECT_EQ(timeText(tm), text) << what;
        EXPECT_EQ(tm.tm_isdst, isdst) << what;
        const auto t = static_cast<time_t>(seconds);
        struct tm c = {};
        if (sizeof(time_t) == 8 && localtime_r(&t, &c)) { /* the C library agrees */
            EXPECT_EQ(fieldsOf(c), fieldsOf(tm)) << what;
        }
    }
}

/* Zone files the library does not read itself, and TZ naming a FIFO, a
   directory or a device: it neither waits nor reads, and asks the C
   library, whose zone stays UTC here (TZ is set without tzset, which
   would wait on the FIFO itself). */
TEST(Y2038, ZoneFilesNotReadFallBack)
{
    TempDir d;
    const std::string good = tzif(kEndedSummerTime);
    const size_t v2 = 44 + 7, typesAt = v2 + 44 + 4 * 8 + 4;
    auto patched = [&](size_t at, const std::string &bytes) {
        return std::string(good).replace(at, bytes.size(), bytes);
    };
    std::vector<std::pair<std::string, std::string>> files = {
        {"read", good},
        /* 0x1C71C71D changes of 9 bytes wrap to 5 bytes in 32 bits */
        {"counts that wrap", patched(v2 + 32, bigEndian(0x1C71C71D, 4))},
        {"a type index past the types", patched(v2 + 44 + 4 * 8, std::string(1, '\x03'))},
        {"a DST flag of 2", patched(typesAt + 4, std::string(1, '\x02'))},
        {"over 1 MiB", good + std::string(kMaxZoneFile, '\0')}};
    for (size_t size = 0; size < good.size(); ++size)
        files.emplace_back("cut at " + std::to_string(size), good.substr(0, size));
    std::vector<std::string> paths = {d.file("fifo"), d.path(), "/dev/zero"};
    ASSERT_EQ(mkfifo(paths[0].c_str(), 0600), 0);
    for (const auto &[name, bytes] : files) {
        writeFile(d.file(name), bytes);
        paths.push_back(d.file(name));
    }
    setTimeZone("UTC0");
    for (const std::string &path : paths) {
        setenv("TZ", path.c_str(), 1);
        struct tm tm = {};
        ASSERT_TRUE(localtime64(2210241600, &tm, true)) << path;
        EXPECT_EQ(tm.tm_gmtoff, path == d.file("read") ? -10800 : 0) << path;
    }
    setTimeZone("UTC0");
}

TEST(Y2038, RecordDatesOutOfRange)
{
    setTimeZone("Europe/Berlin");
    for (int64_t seconds : {int64_t{INT32_MIN} - 1, int64_t{UINT32_MAX} + 1, INT64_MIN, INT64_MAX}) {
        struct tm tm = {};
        tm.tm_year = 77;
        EXPECT_EQ(tandel_gmtime(seconds, &tm), TEXT_TIME_RANGE) << seconds;
        EXPECT_EQ(tandel_localtime(seconds, &tm), TEXT_TIME_RANGE) << seconds;
        EXPECT_EQ(tm.tm_year, 77) << seconds;
    }
    EXPECT_EQ(tandel_gmtime(0, nullptr), TEXT_UNREADABLE);
    EXPECT_EQ(tandel_localtime(0, nullptr), TEXT_UNREADABLE);
    EXPECT_STREQ(tandel_errstr(TANDEL_TEXT, TEXT_TIME_RANGE), "time outside 1901-12-13 .. 2106-02-07");
}

} // namespace
