/* Dates after 2038-01-19 wherever the formats carry them: document times, job list order,
   request dates and lab times (up to 2106); the same with 32-bit time_t. Local time past 2037
   in every zone of the machine as a 64-bit time_t C library gives it, and the exported
   breakdown of the records' dates. */
#include "civiltime.h"
#include "testkit.h"

#include <gmock/gmock.h>

#include <algorithm>

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
        EXPECT_EQ(sprintf_tm(text, 25, &tm) + sprintf_tm(nullptr, 26, &tm), -2);
        EXPECT_STREQ(text, "#");
        EXPECT_EQ(sprintf_tm(text, sizeof text, &tm), 24);
        EXPECT_STREQ(text, want);
    }
}

/* Local time past 2038 and 2100 (no leap year) to the last lab time, DST
   included, on both builds: a rule string's changes are known dates. */
TEST(Y2038, BreakdownsBeyondTimeT)
{
    setTimeZone("CET-1CEST,M3.5.0,M10.5.0/3");
    const std::tuple<int64_t, const char *, int, int, int> cases[] = {
        /* seconds, text, tm_wday, tm_yday, tm_isdst */
        {2147483648, "2038-01-19T04:14:08+0100", 2, 18, 0},
        {2153350799, "2038-03-28T01:59:59+0100", 0, 86, 0},
        {2153350800, "2038-03-28T03:00:00+0200", 0, 86, 1},
        {4107540600, "2100-03-01T00:30:00+0100", 1, 59, 0},
        {4128627599, "2100-10-31T02:59:59+0200", 0, 303, 1},
        {4128627600, "2100-10-31T02:00:00+0100", 0, 303, 0},
        {4294967295, "2106-02-07T07:28:15+0100", 0, 37, 0}};
    for (auto [seconds, text, wday, yday, isdst] : cases) {
        struct tm tm = {};
        ASSERT_TRUE(localtime64(seconds, &tm)) << seconds;
        EXPECT_EQ(timeText(tm), text) << seconds;
        EXPECT_EQ(tm.tm_wday, wday) << seconds;
        EXPECT_EQ(tm.tm_yday, yday) << seconds;
        EXPECT_EQ(tm.tm_isdst, isdst) << seconds;
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

const int64_t k2038 = 2145916800; /* 2038-01-01T00:00:00Z */
const char kZoneInfo[] = "/usr/share/zoneinfo";

/* Every zone file of the machine (links once, as their targets), then
   the rule strings of tests/data/tz_rules.txt. */
std::vector<std::string> zonesToCompare()
{
    namespace fs = std::filesystem;
    std::vector<std::string> zones;
    for (const auto &e : fs::recursive_directory_iterator(kZoneInfo)) {
        if (e.is_symlink() || !e.is_regular_file() || readFile(e.path().string()).compare(0, 4, "TZif") != 0)
            continue;
        zones.push_back(fs::relative(e.path(), kZoneInfo).string());
    }
    std::sort(zones.begin(), zones.end());
    std::istringstream rules(testData("tz_rules.txt"));
    for (std::string line; std::getline(rules, line);)
        if (!line.empty() && line[0] != '#')
            zones.push_back(line);
    return zones;
}

/* What the library writes of a local time, and what else it fills. */
std::string fieldsOf(const struct tm &tm)
{
    return timeText(tm) + " isdst=" + std::to_string(tm.tm_isdst) + " wday=" + std::to_string(tm.tm_wday) +
           " yday=" + std::to_string(tm.tm_yday);
}

std::string cLibraryFields(int64_t seconds)
{
    const auto t = static_cast<time_t>(seconds);
    struct tm tm = {};
    return localtime_r(&t, &tm) ? fieldsOf(tm) : "fails";
}

std::string ownFields(int64_t seconds)
{
    struct tm tm = {};
    return localtime64(seconds, &tm, true) ? fieldsOf(tm) : "fails";
}

/* The instants compared in the zone in force: the second before and the
   second of every change of offset or DST flag the C library makes from
   2038 to the last lab time, and a point every 960 days. Changes are
   found by halving between scan points: every 6 days and 02:00Z each
   January 1 (the C library takes a rule's changes in the UTC year), in
   zones that change at all every 60 days. tests/zone_table.py chooses
   the same. */
std::vector<int64_t> instantsToCompare()
{
    auto answer = [](int64_t seconds) {
        const auto t = static_cast<time_t>(seconds);
        struct tm tm = {};
        localtime_r(&t, &tm);
        return std::make_pair(tm.tm_gmtoff, tm.tm_isdst);
    };
    std::vector<int64_t> out, scan;
    bool changes = false;
    for (int64_t t = k2038; t < UINT32_MAX; t += 60 * 86400) {
        changes = changes || answer(t) != answer(k2038);
        if ((t - k2038) % (960 * 86400) == 0)
            out.push_back(t);
    }
    out.push_back(UINT32_MAX);
    if (!changes)
        return out;
    for (int64_t t = k2038; t < UINT32_MAX; t += 6 * 86400)
        scan.push_back(t);
    for (int y = 2038; y <= 2106; ++y)
        scan.push_back(daysFromCivil(y, 1, 1) * 86400 + 7200);
    scan.push_back(UINT32_MAX);
    std::sort(scan.begin(), scan.end());
    for (size_t i = 1; i < scan.size(); ++i) {
        int64_t lo = scan[i - 1], hi = scan[i];
        if (answer(lo) == answer(hi))
            continue;
        while (hi - lo > 1) {
            const int64_t mid = lo + (hi - lo) / 2;
            (answer(mid) == answer(lo) ? lo : hi) = mid;
        }
        out.push_back(hi - 1);
        out.push_back(hi);
    }
    return out;
}

/* Sao Paulo, Tehran, Apia, Santiago, Gaza and Casablanca changed their
   rules after 2010 or list changes past 2037: no year before 2038 holds
   their future. */
TEST(Y2038, ZonesPast2037AsTheCLibrary)
{
    if (sizeof(time_t) < 8)
        GTEST_SKIP() << "time_t has 32 bits: ZonesPast2037AsTheNativeTable compares";
    std::vector<std::string> differing;
    size_t changes = 0;
    const auto zones = zonesToCompare();
    for (const std::string &zone : zones) {
        setTimeZone(zone.c_str());
        const auto instants = instantsToCompare();
        changes += instants.size();
        for (int64_t t : instants) {
            if (ownFields(t) != cLibraryFields(t)) {
                differing.push_back(zone + " at " + std::to_string(t) + ": " + ownFields(t) + ", C library " +
                                    cLibraryFields(t));
                break;
            }
        }
    }
    EXPECT_THAT(differing, testing::IsEmpty());
    EXPECT_GT(zones.size(), 400u); /* tzdata is installed (scripts/deps.sh) */
    EXPECT_GT(changes, 40000u);
}

/* Where time_t has 32 bits the reference is the build machine's C library
   (64-bit time_t), written by tests/zone_table.py before this test. */
TEST(Y2038, ZonesPast2037AsTheNativeTable)
{
    const char *table = std::getenv("TANDEL_ZONE_TABLE");
    if (!table)
        GTEST_SKIP() << "no TANDEL_ZONE_TABLE (ctest runs tests/zone_table.py first)";
    std::ifstream in(table);
    ASSERT_TRUE(in) << table;
    std::vector<std::string> differing;
    std::set<std::string> zones;
    std::string zone, seconds, isdst, text, line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        ASSERT_TRUE(std::getline(fields, zone, '\t') && std::getline(fields, seconds, '\t') &&
                    std::getline(fields, isdst, '\t') && std::getline(fields, text))
            << line;
        if (zones.insert(zone).second)
            setTimeZone(zone.c_str());
        struct tm tm = {};
        const int64_t t = std::stoll(seconds);
        const std::string want = text + " isdst=" + isdst;
        const std::string got = localtime64(t, &tm, true) ? timeText(tm) + " isdst=" + std::to_string(tm.tm_isdst)
                                                          : "fails";
        if (got != want && (differing.empty() || differing.back().compare(0, zone.size() + 1, zone + " ") != 0))
            differing.push_back(zone + " at " + seconds + ": " + got + ", table " + want);
    }
    EXPECT_THAT(differing, testing::IsEmpty());
    EXPECT_GT(zones.size(), 400u);
}

/* A zone file (TZif version 2 or 3: an empty 32-bit block, then the
   64-bit one; version 0: the 32-bit block only, without footer). */
struct ZoneFile {
    std::vector<std::pair<int64_t, uint8_t>> changes;   /* instant, type */
    std::vector<std::pair<int32_t, uint8_t>> types;     /* offset, isdst */
    std::vector<std::pair<int64_t, int32_t>> leaps;     /* instant, correction */
    std::string footer;                                 /* the rule line */
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
const ZoneFile kEndedSummerTime = {
    {{1318734000, 1}, {1330221600, 2}, {1350788400, 1}, {1361066400, 2}}, {{-11188, 0}, {-7200, 1}, {-10800, 0}}, {},
    "<-03>3"};

/* What the zone's data says, where a year of the C library's range with
   the same calendar would say otherwise. */
TEST(Y2038, ZoneFileReadAsTheCLibraryReadsIt)
{
    const int64_t jan2040 = 2210241600, jun2050 = 2537654400, oct2045 = 2391638400, dec2045 = 2395699200;
    const ZoneFile listedPast2037 = {
        {{2051222400, 1}, {2390436000, 2}, {2392941600, 1}}, {{0, 0}, {3600, 0}, {0, 1}}, {}, "<+01>-1"};
    const ZoneFile noRule = {{{2066601600, 1}}, {{3600, 0}, {7200, 1}}, {}, ""};
    const ZoneFile version1 = {{{946684800, 1}, {2051222400, 2}}, {{0, 0}, {19800, 0}, {20700, 0}}, {}, "", '\0'};
    const ZoneFile leapSeconds = {{}, {{3600, 0}}, {{78796800, 1}, {1483228826, 27}}, ""};
    const std::tuple<const char *, ZoneFile, int64_t, const char *, int> cases[] = {
        {"the rule after the last change", kEndedSummerTime, jan2040, "2040-01-15T09:00:00-0300", 0},
        {"changes listed past 2037", listedPast2037, oct2045, "2045-10-15T00:00:00+0000", 1},
        {"the rule after changes past 2037", listedPast2037, dec2045, "2045-12-01T01:00:00+0100", 0},
        {"no rule: the last change", noRule, jun2050, "2050-06-01T02:00:00+0200", 1},
        {"32-bit data only", version1, jun2050, "2050-06-01T05:45:00+0545", 0},
        {"leap seconds", leapSeconds, jun2050, "2050-06-01T00:59:33+0100", 0},
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
        if (sizeof(time_t) == 8) { /* the C library agrees */
            EXPECT_EQ(cLibraryFields(seconds), fieldsOf(tm)) << what;
        }
    }
}

/* Zone files the library does not read itself: it asks the C library
   about a year with the same calendar, as before (2012 for 2040: summer
   time), or gets UTC where the C library cannot read the file either. */
TEST(Y2038, ZoneFilesNotReadFallBack)
{
    const int64_t jan2040 = 2210241600;
    const std::string good = tzif(kEndedSummerTime);
    const size_t v2 = 44 + 7, typesAt = v2 + 44 + 4 * 8 + 4;
    auto patched = [&](size_t at, const std::string &bytes) { return std::string(good).replace(at, bytes.size(), bytes); };
    const std::tuple<const char *, std::string, long> cases[] = {
        /* 0x1C71C71D changes of 9 bytes wrap to 5 bytes in 32 bits */
        {"counts that wrap", patched(v2 + 32, bigEndian(0x1C71C71D, 4)), 0},
        {"a type index past the types", patched(v2 + 44 + 4 * 8, std::string(1, '\x03')), 0},
        {"a DST flag of 2", patched(typesAt + 4, std::string(1, '\x02')), 0},
        {"over 1 MiB", good + std::string(kMaxZoneFile, '\0'), -7200}};
    TempDir d;
    int n = 0;
    for (const auto &[what, bytes, offset] : cases) {
        const std::string path = d.file("zone" + std::to_string(++n));
        writeFile(path, bytes);
        setTimeZone(path.c_str());
        struct tm tm = {};
        ASSERT_TRUE(localtime64(jan2040, &tm, true)) << what;
        EXPECT_EQ(tm.tm_gmtoff, offset) << what;
    }
    /* every cut of the file: the file's offsets, or UTC */
    for (size_t size = 0; size < good.size(); ++size) {
        const std::string path = d.file("cut" + std::to_string(size));
        writeFile(path, good.substr(0, size));
        setTimeZone(path.c_str());
        struct tm tm = {};
        ASSERT_TRUE(localtime64(jan2040, &tm, true)) << size;
        EXPECT_THAT(tm.tm_gmtoff, testing::AnyOf(0, -7200, -10800)) << size;
    }
}

/* TZ naming a FIFO or a directory: the library neither waits nor reads
   (TZ is set without tzset, which would wait on the FIFO itself). */
TEST(Y2038, ZoneThatIsNoFile)
{
    TempDir d;
    ASSERT_EQ(mkfifo(d.file("fifo").c_str(), 0600), 0);
    setTimeZone("UTC0");
    for (const std::string &tz : {d.file("fifo"), d.path(), std::string("/dev/zero")}) {
        setenv("TZ", tz.c_str(), 1);
        struct tm tm = {};
        ASSERT_TRUE(localtime64(2210241600, &tm, true)) << tz;
        EXPECT_EQ(timeText(tm), "2040-01-15T12:00:00+0000") << tz;
    }
    setTimeZone("UTC0");
}

/* ------------------------------------------------------------------ */
/* tandel_gmtime, tandel_localtime                                     */
/* ------------------------------------------------------------------ */

TEST(Y2038, RecordDatesBrokenDown)
{
    const std::tuple<const char *, int64_t, const char *, int, int, int> cases[] = {
        /* TZ ("" UTC: tandel_gmtime), seconds, text, tm_wday, tm_yday, tm_isdst */
        {"", INT32_MIN, "1901-12-13T20:45:52+0000", 5, 346, 0},
        {"Europe/Berlin", TANDEL_EPOCH_2000 + INT32_MIN, "1931-12-13T21:45:52+0100", 0, 346, 0},
        {"Europe/Berlin", TANDEL_EPOCH_2000 - 15854400, "1999-07-01T14:00:00+0200", 4, 181, 1},
        {"America/Sao_Paulo", 1516017600, "2018-01-15T10:00:00-0200", 1, 14, 1},
        {"America/Sao_Paulo", 2210241600, "2040-01-15T09:00:00-0300", 0, 14, 0},
        {"Europe/Berlin", INT64_C(2147483648), "2038-01-19T04:14:08+0100", 2, 18, 0},
        {"Europe/Berlin", 2224713600, "2040-07-01T02:00:00+0200", 0, 182, 1},
        {"Europe/Berlin", UINT32_MAX, "2106-02-07T07:28:15+0100", 0, 37, 0},
        {"", UINT32_MAX, "2106-02-07T06:28:15+0000", 0, 37, 0}};
    for (auto [tz, seconds, text, wday, yday, isdst] : cases) {
        setTimeZone(*tz ? tz : "<+05>-5");
        struct tm tm;
        std::memset(&tm, 0x55, sizeof tm);
        ASSERT_EQ(*tz ? tandel_localtime(seconds, &tm) : tandel_gmtime(seconds, &tm), 0) << seconds;
        EXPECT_EQ(timeText(tm), text) << seconds;
        EXPECT_EQ(tm.tm_wday, wday) << seconds;
        EXPECT_EQ(tm.tm_yday, yday) << seconds;
        EXPECT_EQ(tm.tm_isdst, isdst) << seconds;
        EXPECT_EQ(tm.tm_zone, nullptr) << seconds;
    }
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

