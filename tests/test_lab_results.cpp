/* Entering and taking back lab results: the job file rewritten byte for
   byte, the job_handling summary bits, and failures that leave it as it was. */
#include <cmath>

#include "testkit.h"
#include "xmljobhandler/jobapi_internal.h"

namespace {

MeasurementRequest request(int totalIndex, float value)
{
    MeasurementRequest rq{};
    rq.totalIndex = totalIndex;
    rq.labValue = value;
    rq.labTime = 1577865600; /* 2020-01-01T08:00:00Z */
    return rq;
}

TEST(LabResults, AddAndRemoveRewriteTheFileByteForByte)
{
    setTimeZone("CET-1CEST,M3.5.0,M10.5.0/3");
    TempDir d;
    const std::string path = d.file("job.xml");
    writeFile(path, sampleJob());
    MeasurementRequest rq = request(1, 7.5f);
    rq.done = 64;
    rq.labUnit = const_cast<char *>("mg/l");
    rq.usedMethod = const_cast<char *>("M9");
    clearTraces();
    ASSERT_EQ(addMeasurementResult(path.c_str(), &rq), 0);
    EXPECT_EQ(readFile(path), testData("job_lab_added.xml"));
    EXPECT_EQ(countTraces("  sample 0 : added labMeas (index=1, totalIndex=1) = 7.500000\n", 6), 1);
    EXPECT_EQ(traceCalls().back().function, "changeMeasurementResult");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    EXPECT_EQ(d.entries(), std::set<std::string>{"job.xml"});

    rq.labTime = 4102444800u; /* 2100-01-01T00:00:00Z: labTime is unsigned */
    ASSERT_EQ(addMeasurementResult(path.c_str(), &rq), 0);
    EXPECT_EQ(readFile(path), replaced(testData("job_lab_added.xml"), "2020-01-01T09:00:00+0100",
                                       "2100-01-01T01:00:00+0100"));
    char utc[32];
    EXPECT_EQ(jobapi_formatUtcTime(utc, sizeof utc, 4102444800u), 24); /* the 32-bit time_t fallback */
    EXPECT_STREQ(utc, "2100-01-01T00:00:00+0000");

    clearTraces();
    ASSERT_EQ(removeMeasurementResult(path.c_str(), &rq), 0);
    EXPECT_EQ(readFile(path), testData("job_lab_removed.xml"));
    EXPECT_EQ(countTraces("  sample 0 : remove labMeas (index=1, totalIndex=1) = 7.500000\n", 6), 1);

    rq.labTime = 0; /* now, with the zone's offset */
    ASSERT_EQ(addMeasurementResult(path.c_str(), &rq), 0);
    const std::string text = readFile(path), stamp = text.substr(text.find("lab_time=\"") + 10, 24);
    struct tm tm {};
    ASSERT_NE(strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%S%z", &tm), nullptr) << stamp;
    EXPECT_TRUE(stamp.substr(19) == "+0100" || stamp.substr(19) == "+0200") << stamp;
    const long offset = tm.tm_gmtoff; /* timegm clears it */
    EXPECT_NEAR(static_cast<double>(timegm(&tm) - offset), static_cast<double>(std::time(nullptr)), 5);
}

/* totalIndex and the open count follow the request list's walk, which
   ends sample 0 before its lab 2. */
TEST(LabResults, SummaryBits)
{
    const char *gap = "<sample number=\"0\"><lab_measurement index=\"0\" done=\"1\"/><process_measurement "
                      "index=\"1\"/><lab_measurement index=\"2\" done=\"0\"/></sample><sample number=\"1\">";
    const struct {
        const char *job, *samples;
        int totalIndex, add;
        const char *expected;
    } cases[] = {
        {"job_handling=\"32\"", "<sample number=\"0\">", 0, 1, "job_handling=\"64\""},
        {"job_handling=\"64\"", "<sample number=\"0\">", 0, 0, "job_handling=\"32\""},
        {"job_handling=\"353\" job_type=\"64\"", "<sample number=\"0\">", 0, 1,
         "job_handling=\"323\" job_type=\"64\""},
        {"job_handling=\"x\" job_type=\"64\"", "<sample number=\"0\">", 0, 1,
         "job_handling=\"x\" job_type=\"64\""},
        {"job_type=\"64\"", "<sample number=\"0\">", 0, 0, "job_type=\"64\""},
        {"job_handling=\"0\"", gap, 1, 1, "job_handling=\"64\""},
    };
    TempDir d;
    const std::string path = d.file("one.xml");
    for (const auto &c : cases) {
        writeFile(path, std::string("<job ") + c.job + ">" + c.samples +
                            "<lab_measurement index=\"0\" done=\"0\"/></sample></job>");
        MeasurementRequest rq = request(c.totalIndex, 1);
        ASSERT_EQ(changeMeasurementResult(path.c_str(), &rq, c.add), 0) << c.job;
        const std::string text = readFile(path);
        EXPECT_NE(text.find(std::string("<job ") + c.expected + ">"), std::string::npos) << text;
        EXPECT_EQ(text.find("done=\"0\" data_type"), std::string::npos) << text;
    }
    EXPECT_NE(readFile(path).find("\t\t<lab_measurement index=\"2\" done=\"0\"/>"), std::string::npos);
}

TEST(LabResults, FailuresLeaveTheFileAsItWas)
{
    TempDir d;
    const std::string path = d.file("job.xml"), bad = d.file("bad.xml");
    writeFile(path, sampleJob());
    writeFile(bad, "<job><sample number=\"0\"></job>");
    ASSERT_EQ(mkfifo(d.file("fifo.xml").c_str(), 0666), 0);
    ASSERT_EQ(mkdir(d.file("dir.xml").c_str(), 0777), 0);
    MeasurementRequest rq = request(3, 1);
    rq.sampleNumber = 5;
    clearTraces();
    EXPECT_EQ(addMeasurementResult(path.c_str(), &rq), -1);
    EXPECT_EQ(countTraces("no sample with number=5\n", 2), 1);
    clearTraces();
    EXPECT_EQ(removeMeasurementResult(d.file("gone.xml").c_str(), &rq), -1);
    EXPECT_EQ(countTraces("cannot read \"" + d.file("gone.xml") + "\"\n", 2), 1);
    EXPECT_EQ(addMeasurementResult(nullptr, &rq), -1);
    EXPECT_EQ(addMeasurementResult(path.c_str(), nullptr), -1);
    rq.totalIndex = 0;
    for (const char *odd : {"fifo.xml", "dir.xml"}) {
        EXPECT_EQ(addMeasurementResult(d.file(odd).c_str(), &rq), -1) << odd;
        EXPECT_EQ(removeMeasurementResult(d.file(odd).c_str(), &rq), -1) << odd;
    }
    EXPECT_EQ(addMeasurementResult(bad.c_str(), &rq), -9);
    for (float v : {NAN, INFINITY, -INFINITY}) {
        rq.labValue = v;
        EXPECT_EQ(addMeasurementResult(path.c_str(), &rq), -4) << v;
    }
    rq.labValue = 1;
    clearTraces();
    {
        NoRoom full;
        EXPECT_EQ(addMeasurementResult(path.c_str(), &rq), -6);
    }
    EXPECT_EQ(countTraces("cannot write \"" + path + "\"\n", 2), 1);
    EXPECT_EQ(readFile(path), sampleJob());
    EXPECT_EQ(readFile(bad), "<job><sample number=\"0\"></job>");
    EXPECT_EQ(d.entries(), (std::set<std::string>{"bad.xml", "dir.xml", "fifo.xml", "job.xml"}));
}

/* Runs fn in a child as an unprivileged user; its result (0..255). */
template <typename Fn> int asNobody(Fn fn)
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(setgid(65534) != 0 || setuid(65534) != 0 ? 255 : fn() & 0xFF);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/* Only the directory is writable: the rename would succeed, so the
   library itself must refuse a file the caller cannot write. */
TEST(LabResults, FileTheCallerCannotWriteStays)
{
    TempDir d;
    ASSERT_EQ(chmod(d.path().c_str(), 0777), 0);
    const std::string path = d.file("ro.xml"), news = d.file("news.xml");
    writeFile(path, sampleJob());
    writeFile(news, sampleJob());
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(chmod(news.c_str(), 0666), 0);
    const MeasurementRequest rq = request(0, 1);
    EXPECT_EQ(asNobody([&] { return -addMeasurementResult(path.c_str(), &rq); }), 6);
    EXPECT_EQ(asNobody([&] { return -removeMeasurementResult(path.c_str(), &rq); }), 6);
    EXPECT_EQ(asNobody([&] { return -mergeJobFile(path.c_str(), news.c_str()); }), 6);
    EXPECT_EQ(asNobody([&] {
                  JobDescrList *list = nullptr;
                  const int n = createJobDescrList(d.path().c_str(), nullptr, &list);
                  removeJobDescrList(&list);
                  return n;
              }),
              1); /* news.xml only */
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
    EXPECT_EQ(readFile(path), sampleJob());
    EXPECT_EQ(readFile(news), sampleJob());
}

} // namespace
