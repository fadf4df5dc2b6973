/* Dates after 2038-01-19 wherever the formats carry them: document
   times, job list order, request dates and lab times (32-bit unsigned
   seconds since 1970, so up to 2106). The same results in the build
   with 32-bit time_t. */
#include <ctime>

#include "testkit.h"

namespace {

const char kJobDate[] = "date=\"2020-01-01T08:30:00+0100\"";

std::string jobDated(const std::string &date)
{
    return replaced(sampleJob(), kJobDate, "date=\"" + date + "\"");
}

TEST(Y2038, DocumentTimesBeyond2038)
{
    const struct {
        const char *text;
        int32_t since2000;
    } cases[] = {
        {"2038-01-19T03:14:07+0000", 1200798847},
        {"2038-01-19T03:14:08+0000", 1200798848},
        {"2040-02-29T13:00:00+0100", 1267444800},
        {"2068-01-19T03:14:07+0000", 2147483647},
    };
    for (const auto &c : cases)
        EXPECT_EQ(atotime2000(c.text), c.since2000) << c.text;

    /* the document's time text of instants a 32-bit time_t cannot hold */
    const struct {
        int year, mon, mday, hour, min, sec;
        const char *text;
    } times[] = {{138, 0, 19, 3, 14, 8, "2038-01-19T03:14:08+0000"},
                 {206, 1, 7, 6, 28, 15, "2106-02-07T06:28:15+0000"},
                 {300, 0, 1, 0, 0, 0, "2200-01-01T00:00:00+0000"}};
    for (const auto &c : times) {
        struct tm tm = {};
        tm.tm_year = c.year, tm.tm_mon = c.mon, tm.tm_mday = c.mday;
        tm.tm_hour = c.hour, tm.tm_min = c.min, tm.tm_sec = c.sec;
        char text[32];
        EXPECT_EQ(sprintf_tm(text, sizeof text, &tm), 24);
        EXPECT_STREQ(text, c.text);
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
    std::string job = replaced(jobDated("2060-06-01T00:00:00+0000"), "date=\"2020-01-01T08:00:00+0100\"",
                               "date=\"2068-01-19T03:14:07+0000\"");
    writeFile(list->items[0]->filePath, job);
    ASSERT_EQ(createMeasurementRequestList(h.p, list, 0, &requests), 3);
    EXPECT_EQ(requests->items[0]->jobDate, 1906588800);
    EXPECT_EQ(requests->items[0]->sampleDate, 2147483647);
    removeMeasurementRequestList(&requests);
    removeJobDescrList(&list);
}

TEST(Y2038, LabTimeUpTo2106)
{
    const struct {
        const char *tz;
        uint32_t labTime;
        const char *text;
    } cases[] = {
        {"UTC0", 2147483648u, "lab_time=\"2038-01-19T03:14:08+0000\""},
        {"<+01>-1", 2147483648u, "lab_time=\"2038-01-19T04:14:08+0100\""},
        {"UTC0", 4102444800u, "lab_time=\"2100-01-01T00:00:00+0000\""},
        {"<-05>5", 4294967295u, "lab_time=\"2106-02-07T01:28:15-0500\""},
    };
    const char *oldTz = std::getenv("TZ");
    const std::string savedTz = oldTz ? oldTz : "";
    for (const auto &c : cases) {
        setTimeZone(c.tz);
        TempDir d;
        const std::string path = d.file("job.xml");
        writeFile(path, sampleJob());
        MeasurementRequest rq = {};
        rq.totalIndex = 1;
        rq.labValue = 2.5f;
        rq.labTime = c.labTime;
        ASSERT_EQ(addMeasurementResult(path.c_str(), &rq), 0) << c.tz;
        EXPECT_NE(readFile(path).find(c.text), std::string::npos) << c.tz << "\n" << readFile(path);
    }
    if (oldTz)
        setTimeZone(savedTz.c_str());
    else {
        unsetenv("TZ");
        tzset();
    }
}

} // namespace
