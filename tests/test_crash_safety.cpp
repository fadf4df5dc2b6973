/*
 * Crash safety: a child process rewrites job files and a sensor job file
 * in a loop while the parent kills it with SIGKILL at random moments.
 * After every kill each file must parse and be one of the versions the
 * operations produce, and leftover temporary files must stay bounded;
 * writers clear the temporaries of dead writers and nothing else.
 * CRASH_KILLS overrides the number of kills (valgrind runs use few).
 */
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <random>
#include <thread>

#include "testkit.h"
#include "xmljobhandler/jobapi_internal.h"

namespace {

const char kTypeCopy[] = "job_type=\"33\"";

MeasurementRequest labRequest()
{
    MeasurementRequest rq{};
    rq.totalIndex = 1;
    rq.labValue = 6.5f;
    rq.labTime = 1600000000u; /* fixed, so the added version is always the same */
    return rq;
}

qrx_Parser *treeOf(const std::string &text)
{
    qrx_Parser *h = nullptr;
    if (qrx_init(&h, 4) != 0)
        return nullptr;
    FILE *fp = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    qrx_BuildDOMTree(h, fp);
    fclose(fp);
    return h;
}

struct Files {
    std::string job, news, copyBase, copyNews, sensor;
    explicit Files(const TempDir &d)
        : job(d.file("job.xml")), news(d.file("news.xml")), copyBase(d.file("copy.xml")),
          copyNews(d.file("copynews.xml")), sensor(d.file("job.bin"))
    {}
};

/* Step n of the child's endless round of writes; the parent runs the
   steps too, to learn the versions. Two versions of the copied job and of
   the sensor job file alternate. */
const int kSteps = 8;
void step(const Files &f, qrx_Parser *a, qrx_Parser *b, const std::string &copyA, const std::string &copyB,
          int n)
{
    const MeasurementRequest rq = labRequest();
    const bool odd = (n / kSteps) % 2;
    switch (n % kSteps) {
    case 0:
        addMeasurementResult(f.job.c_str(), &rq);
        break;
    case 1:
        removeMeasurementResult(f.job.c_str(), &rq);
        break;
    case 2:
        addMeasurementResult(f.job.c_str(), &rq);
        break;
    case 3:
        writeFile(f.news, sampleJob());
        break;
    case 4:
        mergeJobFile(f.job.c_str(), f.news.c_str());
        break;
    case 5:
        writeFile(f.copyNews, odd ? copyB : copyA);
        break;
    case 6:
        mergeJobFile(f.copyBase.c_str(), f.copyNews.c_str());
        break;
    default:
        sjob_DOMTree2SensorJobFile(f.sensor.c_str(), odd ? b : a);
        break;
    }
}

bool parses(const std::string &path)
{
    qrx_Parser *h = nullptr;
    qrx_init(&h, 4);
    FILE *fp = fopen(path.c_str(), "r");
    int r = fp ? qrx_BuildDOMTree(h, fp) : -100;
    if (fp)
        fclose(fp);
    qrx_deinit(&h);
    return r == 0;
}

pid_t deadPid()
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

} // namespace

TEST(CrashSafety, SigkillAtRandomMomentsLeavesOldOrNewVersion)
{
    setTimeZone("UTC");
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const Files f(dir);
    const std::string copyA = replaced(sampleJob(), "job_type=\"1\"", kTypeCopy);
    const std::string copyB = replaced(copyA, "job_id=\"42\"", "job_id=\"43\"");
    qrx_Parser *a = treeOf(sampleJob());
    qrx_Parser *b = treeOf(replaced(sampleJob(), "bottle_number=\"17\"", "bottle_number=\"18\""));
    ASSERT_TRUE(a && b);

    /* The versions each file goes through, from a few rounds in-process. */
    writeFile(f.job, sampleJob());
    writeFile(f.copyBase, copyA);
    ASSERT_EQ(sjob_DOMTree2SensorJobFile(f.sensor.c_str(), a), 0);
    std::set<std::string> jobVersions = {sampleJob()}, copyVersions = {copyA}, sensorVersions;
    size_t settled = 0;
    for (int n = 0; n < 4 * kSteps; ++n) {
        step(f, a, b, copyA, copyB, n);
        jobVersions.insert(readFile(f.job));
        copyVersions.insert(readFile(f.copyBase));
        sensorVersions.insert(readFile(f.sensor));
        if (n == 2 * kSteps - 1)
            settled = jobVersions.size();
    }
    EXPECT_EQ(settled, jobVersions.size()) << "the job file does not settle";
    ASSERT_EQ(copyVersions.size(), 2u);
    ASSERT_EQ(sensorVersions.size(), 2u);
    /* add, remove, merge: every step is a version of its own, but few of them. */
    ASSERT_GE(jobVersions.size(), 3u);
    ASSERT_LE(jobVersions.size(), 8u);
    const size_t largest = std::max(readFile(f.job).size(), sampleJob().size()) * 2;

    const char *env = std::getenv("CRASH_KILLS");
    const int kills = env ? std::atoi(env) : 400;
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> delayUs(0, 15000);
    const auto start = std::chrono::steady_clock::now();
    int round = 0, maxHandlerLeft = 0;
    for (int k = 0; k < kills; ++k) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int n = k;; ++n)
                step(f, a, b, copyA, copyB, n);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(rng)));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child ended by itself: " << status;

        ASSERT_TRUE(parses(f.job)) << "after kill " << k;
        ASSERT_TRUE(jobVersions.count(readFile(f.job))) << "unknown job version after kill " << k;
        ASSERT_TRUE(copyVersions.count(readFile(f.copyBase))) << "unknown copy version after kill " << k;
        ASSERT_TRUE(sensorVersions.count(readFile(f.sensor))) << "unknown sensor file after kill " << k;
        qrx_Parser *h = nullptr;
        qrx_init(&h, 4);
        ASSERT_EQ(sjob_SensorJobFile2DOMTree(f.sensor.c_str(), h), 0) << "after kill " << k;
        qrx_deinit(&h);

        /* Whatever else lies there is a temporary file of a killed write:
           the codec's "<path>.tmp<pid>-<n>" or the job handler's
           ".jobapi-XXXXXX". Each holds at most one version. */
        int codecLeft = 0, handlerLeft = 0;
        for (const std::string &name : dir.entries()) {
            if (name == "job.xml" || name == "news.xml" || name == "copy.xml" || name == "copynews.xml" ||
                name == "job.bin")
                continue;
            const bool codec = name.rfind("job.bin.tmp", 0) == 0, handler = name.rfind(".jobapi-", 0) == 0;
            ASSERT_TRUE(codec || handler) << name;
            ++(codec ? codecLeft : handlerLeft);
            struct stat st {};
            ASSERT_EQ(stat(dir.file(name).c_str(), &st), 0);
            EXPECT_LE(static_cast<size_t>(st.st_size), largest) << name << " grows";
        }
        /* The codec's writer clears the leftovers of dead writers before it
           writes, so at most the one of the last kill remains. */
        ASSERT_LE(codecLeft, 1) << "sensor job temporaries pile up after " << k + 1 << " kills";
        /* The job handler sweeps per directory: the last kill's temporary, and
           one of the kill before when the restarted child was cut before its
           first write. */
        ASSERT_LE(handlerLeft, 2) << "job handler temporaries pile up after " << k + 1 << " kills";
        maxHandlerLeft = std::max(maxHandlerLeft, handlerLeft);
        ++round;
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    RecordProperty("kills", round);
    RecordProperty("job_handler_leftovers", maxHandlerLeft);
    EXPECT_LT(secs, 60.0);
    qrx_deinit(&a);
    qrx_deinit(&b);
}

/* Both writers clear the temporaries of writers that died before their
   rename, and nothing else: not a live writer's, not a name that only
   starts like one, not a link. */
TEST(CrashSafety, WritersClearOnlyTemporariesOfDeadWriters)
{
    const std::string dead = ".jobapi-" + std::to_string(deadPid()) + "-";
    const std::string kept[] = {".jobapi-" + std::to_string(getpid()) + "-Ef34Gh", dead + "Ab12Cd-notes.txt",
                                dead + "Ab12C", "job.bin.tmp" + dead.substr(8) + "0", ".jobapi-X-Ab12Cd"};
    for (int writer = 0; writer < 2; ++writer) {
        TempDir dir;
        std::set<std::string> expected(std::begin(kept), std::end(kept));
        for (const std::string &name : kept)
            writeFile(dir.file(name), "partial");
        writeFile(dir.file(dead + "Zz99Yy"), "partial");
        writeFile(dir.file("target"), "<job/>");
        ASSERT_EQ(symlink("target", dir.file(dead + "Link00").c_str()), 0);
        expected.insert({dead + "Link00", "target", "job.bin"});
        if (writer == 0) {
            qrx_Parser *h = treeOf(sampleJob());
            ASSERT_EQ(sjob_DOMTree2SensorJobFile(dir.file("job.bin").c_str(), h), 0);
            qrx_deinit(&h);
        } else {
            ASSERT_EQ(jobapi_copyFileReplacing(dir.file("target").c_str(), dir.file("job.bin").c_str()), 0);
        }
        EXPECT_EQ(dir.entries(), expected) << "writer " << writer;
    }
}
