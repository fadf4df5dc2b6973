/* Dates after 2038-01-19 wherever the formats carry them: document times, job list order,
   request dates and lab times (up to 2106); the same with 32-bit time_t. */
#include "civiltime.h"
#include "testkit.h"

namespace {

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

/* The shifted breakdown of 32-bit time_t targets matches from 2038 to the
   last lab time (2106, past 2100, no leap year), DST included. */
TEST(Y2038, BreakdownsBeyondTimeT)
{
    setTimeZone("CET-1CEST,M3.5.0,M10.5.0/3");
    auto fields = [](const struct tm &x) {
        return std::vector<long>{x.tm_year, x.tm_mon,  x.tm_mday, x.tm_hour,  x.tm_min,
                                 x.tm_sec,  x.tm_wday, x.tm_yday, x.tm_isdst, x.tm_gmtoff};
    };
    for (int64_t s = 0x7FFFFFFFLL; s <= 0xFFFFFFFFLL; s += 86400LL * 13 + 3607) {
        struct tm a = {}, b = {};
        ASSERT_TRUE(localtime64(s, &a) && localtime64(s, &b, true));
        EXPECT_EQ(fields(a), fields(b)) << s;
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

} // namespace
