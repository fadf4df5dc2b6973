/* Job files at the edges: files that are not regular, files the caller
   may not write, one file given twice to the merge, values that are not
   numbers, and the caller's locale. */
#include <clocale>
#include <cmath>
#include <sys/wait.h>

#include "testkit.h"

namespace {

const std::string kJob = "<job job_id=\"1\" date=\"2020-01-01T00:00:00+0000\"><sample number=\"0\">"
                         "<process_measurement index=\"0\"> 7.25 </process_measurement>"
                         "<lab_measurement index=\"0\" done=\"0\"/></sample></job>";

MeasurementRequest request(float value)
{
    MeasurementRequest rq{};
    rq.labValue = value;
    rq.labTime = 1577865600;
    return rq;
}

/* Runs fn in a child as an unprivileged user; its result (0..255). */
template <typename Fn> int asNobody(Fn fn)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(255);
        _exit(fn() & 0xFF);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

/* A FIFO or directory named like a job never blocks a call: the list
   leaves it out, the others refuse it with their "cannot read" code. */
TEST(JobEdges, FilesThatAreNotRegularAreRefusedWithoutBlocking)
{
    alarm(20); /* a blocking open would hang here */
    TempDir d;
    writeFile(d.file("job.xml"), kJob);
    ASSERT_EQ(mkfifo(d.file("fifo.xml").c_str(), 0666), 0);
    ASSERT_EQ(mkdir(d.file("dir.xml").c_str(), 0777), 0);
    JobDescrList *list = nullptr;
    ASSERT_EQ(createJobDescrList_Ex(d.path().c_str(), nullptr, &list, 0), 1);
    EXPECT_EQ(list->items[0]->filePath, d.file("job.xml"));

    ASSERT_EQ(rename(d.file("fifo.xml").c_str(), d.file("job.xml").c_str()), 0);
    qrx_Parser *h = nullptr;
    ASSERT_EQ(qrx_init(&h, 4), 0);
    MeasurementRequestList *requests = nullptr;
    EXPECT_EQ(createMeasurementRequestList(h, list, 0, &requests), -6);
    qrx_deinit(&h);
    removeJobDescrList(&list);

    writeFile(d.file("news.xml"), kJob);
    const MeasurementRequest rq = request(1);
    for (const char *odd : {"job.xml", "dir.xml"}) {
        const std::string path = d.file(odd);
        EXPECT_EQ(addMeasurementResult(path.c_str(), &rq), -1) << odd;
        EXPECT_EQ(removeMeasurementResult(path.c_str(), &rq), -1) << odd;
        EXPECT_EQ(mergeJobFile(path.c_str(), d.file("news.xml").c_str()), -5) << odd;
        EXPECT_EQ(mergeJobFile(d.file("news.xml").c_str(), path.c_str()), -1) << odd;
    }
    EXPECT_EQ(readFile(d.file("news.xml")), kJob);
    alarm(0);
}

/* Only the directory is writable: the rename would succeed, so the
   library itself must refuse a Base the caller cannot write. */
TEST(JobEdges, FileTheCallerCannotWriteStays)
{
    TempDir d;
    ASSERT_EQ(chmod(d.path().c_str(), 0777), 0);
    const std::string path = d.file("ro.xml"), news = d.file("news.xml");
    writeFile(path, kJob);
    writeFile(news, kJob);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(chmod(news.c_str(), 0666), 0);
    const MeasurementRequest rq = request(1);
    EXPECT_EQ(asNobody([&] { return -addMeasurementResult(path.c_str(), &rq); }), 6);
    EXPECT_EQ(asNobody([&] { return -removeMeasurementResult(path.c_str(), &rq); }), 6);
    EXPECT_EQ(asNobody([&] { return -mergeJobFile(path.c_str(), news.c_str()); }), 6);
    EXPECT_EQ(asNobody([&] {
                  JobDescrList *list = nullptr;
                  const int n = createJobDescrList_Ex(d.path().c_str(), nullptr, &list, 0);
                  removeJobDescrList(&list);
                  return n;
              }),
              1); /* news.xml only */
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
    EXPECT_EQ(readFile(path), kJob);
    EXPECT_EQ(readFile(news), kJob);
}

/* However the two paths are spelled, one file is refused before anything
   is read, written or deleted. */
TEST(JobEdges, MergeRefusesOneFileGivenTwice)
{
    TempDir d;
    const std::string a = d.file("a.xml");
    writeFile(a, kJob);
    ASSERT_EQ(link(a.c_str(), d.file("hard.xml").c_str()), 0);
    ASSERT_EQ(symlink("a.xml", d.file("soft.xml").c_str()), 0);
    for (const std::string &other : {a, d.path() + "/./a.xml", d.file("hard.xml"), d.file("soft.xml")}) {
        clearTraces();
        EXPECT_EQ(mergeJobFile(a.c_str(), other.c_str()), -4) << other;
        EXPECT_EQ(countTraces("mergeJobFile() - Base and News are the same file\n", 2), 1);
        EXPECT_EQ(readFile(a), kJob);
        EXPECT_EQ(readFile(other), kJob);
    }
}

TEST(JobEdges, LabValueThatIsNotANumberIsRefused)
{
    TempDir d;
    const std::string path = d.file("job.xml");
    writeFile(path, kJob);
    for (float v : {NAN, INFINITY, -INFINITY}) {
        const MeasurementRequest rq = request(v);
        EXPECT_EQ(addMeasurementResult(path.c_str(), &rq), -4) << v;
        EXPECT_EQ(readFile(path), kJob);
    }
    EXPECT_EQ(d.entries(), std::set<std::string>{"job.xml"});
}

/* A German display sets LC_ALL=de_DE.UTF-8; files keep '.' all the same. */
TEST(JobEdges, NumbersIgnoreTheCallersLocale)
{
    TempDir d;
    if (!useGermanNumbers(d.path()))
        GTEST_SKIP() << "no de_DE locale and no localedef to make one";
    const std::string path = d.file("job.xml");
    writeFile(path, kJob);
    const MeasurementRequest rq = request(12.5f);
    EXPECT_EQ(addMeasurementResult(path.c_str(), &rq), 0);
    char text[16];
    formatMeasurementString(text, 0x0180 | 0x4, 1.23); /* 3 significant digits, 4 decimals */
    std::setlocale(LC_ALL, "C");
    EXPECT_NE(readFile(path).find("> 12.500000 <"), std::string::npos) << readFile(path);
    EXPECT_STREQ(text, "1.23");

    useGermanNumbers(d.path());
    JobDescrList *list = nullptr;
    ASSERT_EQ(createJobDescrList_Ex(d.path().c_str(), nullptr, &list, 0), 1);
    qrx_Parser *h = nullptr;
    ASSERT_EQ(qrx_init(&h, 4), 0);
    MeasurementRequestList *requests = nullptr;
    ASSERT_EQ(createMeasurementRequestList(h, list, 0, &requests), 1);
    std::setlocale(LC_ALL, "C");
    EXPECT_FLOAT_EQ(requests->items[0]->processValue, 7.25f);
    EXPECT_FLOAT_EQ(requests->items[0]->labValue, 12.5f);
    removeMeasurementRequestList(&requests);
    removeJobDescrList(&list);
    qrx_deinit(&h);
}
