/* Entering and taking back lab results, and the job_handling bits. */
#include <cmath>

#include "testkit.h"
#include "xmljobhandler/jobapi_internal.h"

static const ResultChange enter = ResultChange::Enter, takeBack = ResultChange::TakeBack;

static MeasurementRequest request(int totalIndex, float value)
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
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0666u);
    EXPECT_EQ(d.entries(), std::set<std::string>{"job.xml"});
    ASSERT_EQ(removeMeasurementResult(path.c_str(), &rq), 0);
    EXPECT_EQ(readFile(path), testData("job_lab_removed.xml"));
    EXPECT_EQ(countTraces("  sample 0 : remove labMeas (index=1, totalIndex=1) = 7.500000\n", 6), 1);
    char utc[32];
    EXPECT_EQ(jobapi_formatUtcTime(utc, sizeof utc, 4102444800u), 24); /* the 32-bit time_t fallback */
    EXPECT_STREQ(utc, "2100-01-01T00:00:00+0000");
}

/* totalIndex 1 is sample 1's lab 0: the walk ends sample 0 before lab 2. */
TEST(LabResults, JobHandlingBits)
{
    const struct {
        const char *job, *done0;
        ResultChange change;
        const char *expected;
    } cases[] = {{"job_handling=\"32\"", "1", enter, "job_handling=\"64\""},
                 {"job_handling=\"64\"", "0", takeBack, "job_handling=\"32\""},
                 {"job_handling=\"353\" job_type=\"64\"", "1", enter, "job_handling=\"323\" job_type=\"64\""},
                 {"job_handling=\"x\" job_type=\"64\"", "1", enter, "job_handling=\"x\" job_type=\"64\""},
                 {"job_type=\"64\"", "0", takeBack, "job_type=\"64\""}};
    TempDir d;
    const std::string path = d.file("job.xml");
    for (const auto &c : cases) {
        writeFile(path, replaced(replaced(testData("job_lab_walk.xml"), "job_handling=\"0\"", c.job),
                                 "done=\"D\"", std::string("done=\"") + c.done0 + "\""));
        MeasurementRequest rq = request(1, 1);
        ASSERT_EQ(changeMeasurementResult(path.c_str(), &rq, c.change), 0) << c.job;
        const std::string text = readFile(path);
        EXPECT_NE(text.find(std::string("<job ") + c.expected + ">"), std::string::npos) << text;
        EXPECT_NE(text.find("<lab_measurement index=\"2\" done=\"0\"/>"), std::string::npos) << text;
        EXPECT_NE(text.find(c.change == enter ? "done=\"1\" data_type=\"16\"" : "done=\"0\"> -1.0 <"),
                  std::string::npos);
    }
}

TEST(LabResults, FailuresLeaveTheFileAsItWas)
{
    TempDir d;
    const std::string path = d.file("job.xml"), bad = d.file("bad.xml");
    writeFile(path, sampleJob());
    writeFile(bad, "<job><sample number=\"0\"></job>");
    MeasurementRequest rq = request(3, 1);
    rq.sampleNumber = 5;
    errno = EIO;
    EXPECT_EQ(addMeasurementResult(path.c_str(), &rq), LABRES_UNREADABLE);
    EXPECT_EQ(errno, 0); /* no system reason */
    EXPECT_EQ(countTraces("no sample with number=5\n", 2), 1);
    EXPECT_EQ(removeMeasurementResult(d.file("gone.xml").c_str(), &rq), LABRES_UNREADABLE);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(countTraces("cannot read \"" + d.file("gone.xml") + "\"\n", 2), 1);
    EXPECT_EQ(addMeasurementResult(d.path().c_str(), &rq), LABRES_UNREADABLE);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(addMeasurementResult(nullptr, &rq), LABRES_UNREADABLE);
    EXPECT_EQ(errno, EINVAL);
    rq.totalIndex = 0;
    EXPECT_EQ(addMeasurementResult(bad.c_str(), &rq), QRX_UNCLOSED);
    EXPECT_EQ(errno, 0); /* the content's fault */
    for (float v : {NAN, INFINITY, -INFINITY}) {
        rq.labValue = v;
        EXPECT_EQ(addMeasurementResult(path.c_str(), &rq), LABRES_NOT_FINITE) << v;
    }
    rq.labValue = 1;
    {
        NoRoom full;
        EXPECT_EQ(addMeasurementResult(path.c_str(), &rq), LABRES_UNWRITABLE);
        EXPECT_EQ(errno, EFBIG); /* the file size limit's reason; a full device says ENOSPC */
    }
    EXPECT_EQ(countTraces("cannot write \"" + path + "\"\n", 2), 1);
    EXPECT_EQ(readFile(path), sampleJob());
    EXPECT_EQ(d.entries(), (std::set<std::string>{"bad.xml", "job.xml"}));
}

/* A request listed from job 43 never changes job 42's file; one without
   a jobId, or of the file's job, does. */
TEST(LabResults, RequestOfAnotherJobIsRefused)
{
    const struct {
        int jobId, result;
        ResultChange change;
    } cases[] = {{43, LABRES_OTHER_JOB, enter},
                 {43, LABRES_OTHER_JOB, takeBack},
                 {-42, LABRES_OTHER_JOB, enter},
                 {0, 0, enter},
                 {42, 0, enter},
                 {42, 0, takeBack}};
    TempDir d;
    const std::string path = d.file("job.xml");
    for (const auto &c : cases) {
        writeFile(path, replaced(sampleJob(), "done=\"1\"", "done=\"0\""));
        MeasurementRequest rq = request(2, 5);
        rq.jobId = c.jobId;
        clearTraces();
        errno = 0;
        EXPECT_EQ(changeMeasurementResult(path.c_str(), &rq, c.change), c.result) << c.jobId;
        const bool changed = readFile(path) != replaced(sampleJob(), "done=\"1\"", "done=\"0\"");
        EXPECT_EQ(changed, c.result == 0) << c.jobId;
        if (c.result == 0)
            continue;
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(traceCalls().back().message,
                  "request of job " + std::to_string(c.jobId) + ", \"" + path + "\" holds job 42\n");
    }
}

/* Runs fn in a child as an unprivileged user (root as nobody); its result
   (-128 .. 126), or 127 when the child could not drop root. */
template <typename Fn> static int asNobody(Fn fn)
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0) ? 127 : fn() & 0xFF);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? static_cast<signed char>(WEXITSTATUS(status)) : 127;
}

/* The directory is writable: the library itself refuses the file. */
TEST(LabResults, FileTheCallerCannotWriteStays)
{
    TempDir d;
    const std::string path = d.file("ro.xml"), news = d.file("news.xml");
    writeFile(path, sampleJob());
    writeFile(news, sampleJob());
    ASSERT_EQ(chmod(d.path().c_str(), 0777), 0);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(chmod(news.c_str(), 0666), 0);
    const MeasurementRequest rq = request(0, 1);
    EXPECT_EQ(asNobody([&] { return addMeasurementResult(path.c_str(), &rq); }), LABRES_UNWRITABLE);
    EXPECT_EQ(asNobody([&] { return mergeJobFile(path.c_str(), news.c_str()); }), MERGE_BASE_UNWRITABLE);
    JobDescrList *list = nullptr; /* news.xml only */
    EXPECT_EQ(asNobody([&] { return createJobDescrList(d.path().c_str(), nullptr, &list); }), 1);
    EXPECT_EQ(readFile(path), sampleJob());
    EXPECT_EQ(readFile(news), sampleJob());
}

/* Texts at the parser's limit or with one kind of quote are written and
   read back; longer ones or with both quotes are refused, the file kept. */
TEST(LabResults, TextsThatWouldNotReadBackAreRefused)
{
    const std::string limit(8189, 'u');
    const struct {
        std::string unit, method;
        int result;
        const char *trace;
    } cases[] = {{limit, "M", 0, nullptr},
                 {"say \"hi\"", "it's", 0, nullptr},
                 {limit + "u", "M", LABRES_BAD_TEXT, "lab_unit would not read back\n"},
                 {"mg/l", std::string(9000, 'm'), LABRES_BAD_TEXT, "used_method would not read back\n"},
                 {"a\"b'c", "M", LABRES_BAD_TEXT, "lab_unit would not read back\n"}};
    TempDir d;
    const std::string path = d.file("job.xml");
    for (const auto &c : cases) {
        writeFile(path, sampleJob());
        MeasurementRequest rq = request(1, 2);
        rq.labUnit = const_cast<char *>(c.unit.c_str());
        rq.usedMethod = const_cast<char *>(c.method.c_str());
        clearTraces();
        ASSERT_EQ(addMeasurementResult(path.c_str(), &rq), c.result) << c.unit.size();
        if (c.result) {
            EXPECT_EQ(errno, EINVAL);
            EXPECT_EQ(countTraces(c.trace, 2), 1);
            EXPECT_EQ(readFile(path), sampleJob());
            continue;
        }
        JobDescrList *list = nullptr;
        MeasurementRequestList *requests = nullptr;
        Handle h;
        ASSERT_EQ(createJobDescrList_Ex(d.path().c_str(), nullptr, &list, 0), 1);
        ASSERT_EQ(createMeasurementRequestList(h.p, list, 0, &requests), 3);
        EXPECT_EQ(requests->items[1]->labUnit, c.unit);
        EXPECT_EQ(requests->items[1]->usedMethod, c.method);
        removeMeasurementRequestList(&requests);
        removeJobDescrList(&list);
    }
}

/* labTime 0 is now, in the zone; numbers keep their '.' in the caller's de_DE. */
TEST(LabResults, CurrentTimeAndTheCallersLocale)
{
    setTimeZone("CET-1CEST,M3.5.0,M10.5.0/3");
    TempDir d;
    if (!useGermanNumbers(d.path()))
        GTEST_SKIP() << "no de_DE locale and no localedef to make one";
    const std::string path = d.file("job.xml");
    writeFile(path, sampleJob());
    MeasurementRequest rq = request(0, 12.5f);
    rq.labTime = 0;
    ASSERT_EQ(addMeasurementResult(path.c_str(), &rq), 0);
    JobDescrList *list = nullptr;
    MeasurementRequestList *requests = nullptr;
    Handle h;
    ASSERT_EQ(createJobDescrList_Ex(d.path().c_str(), nullptr, &list, 0), 1);
    ASSERT_EQ(createMeasurementRequestList(h.p, list, 0, &requests), 3);
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(requests->items[0]->processValue, 7.25f);
    EXPECT_EQ(requests->items[0]->labValue, 12.5f);
    removeMeasurementRequestList(&requests);
    removeJobDescrList(&list);
    const std::string text = readFile(path);
    EXPECT_NE(text.find("> 12.500000 <"), std::string::npos);
    const size_t at = text.find("lab_time=\"");
    struct tm tm {};
    ASSERT_NE(at, std::string::npos);
    ASSERT_NE(strptime(text.c_str() + at + 10, "%Y-%m-%dT%H:%M:%S%z", &tm), nullptr);
    const long offset = tm.tm_gmtoff; /* timegm clears it */
    EXPECT_TRUE(offset == 3600 || offset == 7200) << offset;
    EXPECT_NEAR(static_cast<double>(timegm(&tm) - offset), static_cast<double>(std::time(nullptr)), 5);
}
