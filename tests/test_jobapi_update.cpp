/* Entering and taking back lab results: the job file written back byte
   for byte, the job_handling summary bits, and failures that must leave
   the old file in place. */
#include "testkit.h"
#include "xmljobhandler/jobapi_internal.h"

namespace {

const char kLab1[] = "<lab_measurement index=\"1\" done=\"0\" default_method=\"M1\"> -1.0 </lab_measurement>";

MeasurementRequest request(int totalIndex, uint16_t done, float value = 0)
{
    MeasurementRequest rq{};
    rq.totalIndex = totalIndex;
    rq.done = done;
    rq.labValue = value;
    return rq;
}

TEST(JobUpdate, AddAndRemoveRewriteTheFileByteForByte)
{
    setTimeZone("CET-1CEST,M3.5.0,M10.5.0/3");
    TempDir d;
    const std::string path = d.file("job.xml");
    writeFile(path, sampleJob());

    MeasurementRequest rq = request(1, 64, 7.5f);
    rq.labTime = 1577865600; /* 2020-01-01T08:00:00Z */
    rq.labUnit = const_cast<char *>("mg/l");
    rq.usedMethod = const_cast<char *>("M9");
    clearTraces();
    ASSERT_EQ(addMeasurementResult(path.c_str(), &rq), 0);
    std::string added =
        replaced(sampleJob(), kLab1,
                 "<lab_measurement index=\"1\" done=\"65\" default_method=\"M1\" data_type=\"16\" "
                 "lab_time=\"2020-01-01T09:00:00+0100\" lab_unit=\"mg/l\" used_method=\"M9\"> "
                 "7.500000 </lab_measurement>");
    added = replaced(added, "job_handling=\"32\"", "job_handling=\"96\"");
    EXPECT_EQ(readFile(path), added);
    EXPECT_EQ(countTraces("  sample 0 : added labMeas (index=1, totalIndex=1) = 7.500000\n", 6), 1);
    EXPECT_EQ(traceCalls().back().function, "changeMeasurementResult");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    EXPECT_EQ(d.entries(), std::set<std::string>{"job.xml"});

    /* past 2038: labTime is unsigned */
    rq.labTime = 4102444800u; /* 2100-01-01T00:00:00Z */
    ASSERT_EQ(addMeasurementResult(path.c_str(), &rq), 0);
    EXPECT_EQ(readFile(path), replaced(added, "2020-01-01T09:00:00+0100", "2100-01-01T01:00:00+0100"));

    char utc[32];
    EXPECT_EQ(jobapi_formatUtcTime(utc, sizeof utc, 4102444800u), 24); /* the 32-bit time_t fallback */
    EXPECT_STREQ(utc, "2100-01-01T00:00:00+0000");

    clearTraces();
    ASSERT_EQ(removeMeasurementResult(path.c_str(), &rq), 0);
    EXPECT_EQ(readFile(path),
              replaced(replaced(sampleJob(), kLab1,
                                "<lab_measurement index=\"1\" done=\"64\" default_method=\"M1\"> "
                                "-1.0 </lab_measurement>"),
                       "job_handling=\"32\"", "job_handling=\"96\""));
    EXPECT_EQ(countTraces("  sample 0 : remove labMeas (index=1, totalIndex=1) = 7.500000\n", 6), 1);

    /* the current time with its zone offset when labTime is 0 */
    rq.labTime = 0;
    ASSERT_EQ(addMeasurementResult(path.c_str(), &rq), 0);
    const std::string text = readFile(path);
    size_t at = text.find("lab_time=\"");
    ASSERT_NE(at, std::string::npos);
    const std::string stamp = text.substr(at + 10, 24);
    struct tm tm {};
    ASSERT_NE(strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%S%z", &tm), nullptr) << stamp;
    EXPECT_TRUE(stamp.substr(19) == "+0100" || stamp.substr(19) == "+0200") << stamp; /* winter or summer */
    const long offset = tm.tm_gmtoff;                                                 /* timegm clears it */
    EXPECT_NEAR(static_cast<double>(timegm(&tm) - offset), static_cast<double>(std::time(nullptr)), 5);
}

TEST(JobUpdate, SummaryBits)
{
    struct Case {
        const char *job;      /* job attributes */
        int add;              /* add or remove the only lab measurement */
        const char *expected; /* job attributes afterwards */
    } cases[] = {
        {"job_handling=\"32\"", 1, "job_handling=\"64\""},
        {"job_handling=\"64\"", 0, "job_handling=\"32\""},
        {"job_handling=\"353\" job_type=\"64\"", 1, "job_handling=\"323\" job_type=\"64\""},
        {"job_handling=\"x\" job_type=\"64\"", 1, "job_handling=\"x\" job_type=\"64\""},
        {"job_type=\"64\"", 0, "job_type=\"64\""},
    };
    TempDir d;
    const std::string path = d.file("one.xml");
    for (const Case &c : cases) {
        const std::string tail = "<sample number=\"0\"><process_measurement index=\"0\"/>"
                                 "<lab_measurement index=\"0\" done=\"0\"/></sample></job>";
        writeFile(path, std::string("<job ") + c.job + ">" + tail);
        MeasurementRequest rq = request(0, 0, 1);
        ASSERT_EQ(changeMeasurementResult(path.c_str(), &rq, c.add), 0) << c.job;
        const std::string text = readFile(path);
        EXPECT_NE(text.find(std::string("<job ") + c.expected + ">"), std::string::npos) << c.job << "\n"
                                                                                         << text;
    }
}

/* totalIndex counts the request list's walk, which ends a sample at its
   first index without a lab measurement: lab 2 of sample 0 is not a
   request, and its open state does not count either. */
TEST(JobUpdate, TotalIndexFollowsTheRequestListsWalk)
{
    TempDir d;
    const std::string path = d.file("walk.xml");
    const std::string lab2 = "<lab_measurement index=\"2\" done=\"0\"/>";
    writeFile(path, "<job job_handling=\"0\"><sample number=\"0\"><lab_measurement index=\"0\" done=\"1\"/>"
                    "<process_measurement index=\"1\"/>" +
                        lab2 +
                        "</sample><sample number=\"1\">"
                        "<lab_measurement index=\"0\" done=\"0\"/></sample></job>");
    MeasurementRequest rq = request(1, 0, 7.5f);
    ASSERT_EQ(addMeasurementResult(path.c_str(), &rq), 0);
    const std::string text = readFile(path);
    EXPECT_NE(text.find("job_handling=\"64\""), std::string::npos) << text;
    EXPECT_NE(text.find("\t\t" + lab2), std::string::npos) << text;
    EXPECT_NE(text.find("done=\"1\" data_type=\"16\""), std::string::npos) << text;
}

TEST(JobUpdate, FailuresLeaveTheFileAsItWas)
{
    TempDir d;
    const std::string path = d.file("job.xml");
    writeFile(path, sampleJob());
    MeasurementRequest rq = request(3, 0, 1);
    rq.sampleNumber = 5;

    clearTraces();
    EXPECT_EQ(addMeasurementResult(path.c_str(), &rq), -1);
    EXPECT_EQ(countTraces("no sample with number=5\n", 2), 1);
    EXPECT_EQ(readFile(path), sampleJob());

    clearTraces();
    EXPECT_EQ(removeMeasurementResult(d.file("gone.xml").c_str(), &rq), -1);
    EXPECT_EQ(countTraces("cannot read \"" + d.file("gone.xml") + "\"\n", 2), 1);
    EXPECT_EQ(addMeasurementResult(nullptr, &rq), -1);
    EXPECT_EQ(addMeasurementResult(path.c_str(), nullptr), -1);

    writeFile(d.file("bad.xml"), "<job><sample number=\"0\"></job>");
    rq.totalIndex = 0;
    EXPECT_LT(addMeasurementResult(d.file("bad.xml").c_str(), &rq), 0);
    EXPECT_EQ(readFile(d.file("bad.xml")), "<job><sample number=\"0\"></job>");

    /* no room on the device: the old file stays, no temporary file */
    clearTraces();
    {
        NoRoom full;
        EXPECT_EQ(addMeasurementResult(path.c_str(), &rq), -6);
    }
    EXPECT_EQ(countTraces("cannot write \"" + path + "\"\n", 2), 1);
    EXPECT_EQ(readFile(path), sampleJob());
    EXPECT_EQ(d.entries(), (std::set<std::string>{"bad.xml", "job.xml"}));

    if (geteuid() != 0) { /* root writes anywhere */
        ASSERT_EQ(chmod(d.path().c_str(), 0555), 0);
        EXPECT_EQ(addMeasurementResult(path.c_str(), &rq), -6);
        chmod(d.path().c_str(), 0700);
        EXPECT_EQ(readFile(path), sampleJob());
    }
}

} // namespace
