/*
 * Concurrency: several threads run the whole library at once, each with
 * its own handles, directory and files, and must get exactly the results
 * a single thread gets. Meant for the ThreadSanitizer build too.
 */
#include <atomic>
#include <thread>
#include <vector>

#include "testkit.h"

namespace {

struct Outcome {
    std::string printed, sensorFile, jobAfterAdd, merged, formatted;
    std::vector<uint8_t> message;
    int requests = 0, listed = 0;
    int32_t date = 0;
};

std::string printTree(qrx_Parser *h)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    qrx_PrintDOMTree(h, fp);
    fclose(fp);
    std::string s(buf, len);
    free(buf);
    return s;
}

/* One pass over every family of the library in the directory dir. */
Outcome runAll(const std::string &dir, int pass)
{
    Outcome o;
    const std::string job = dir + "/job.xml", news = dir + "/news.xml", bin = dir + "/job.bin";
    const std::string text = sampleJob();
    writeFile(job, text);

    qrx_Parser *h = nullptr;
    qrx_init(&h, 4);
    FILE *fp = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    qrx_BuildDOMTree(h, fp);
    fclose(fp);
    o.printed = printTree(h);
    uint8_t buf[4096];
    uint32_t len = sizeof buf;
    uint8_t *msg = nullptr;
    if (sjob_DOMTree2Message(buf, &len, &msg, h) == 0)
        o.message.assign(msg, msg + len);
    sjob_DOMTree2SensorJobFile(bin.c_str(), h);
    qrx_deinit(&h);
    qrx_init(&h, 4);
    if (sjob_SensorJobFile2DOMTree(bin.c_str(), h) == 0)
        o.sensorFile = printTree(h);
    qrx_deinit(&h);

    JobDescrList *jobs = nullptr;
    o.listed = createJobDescrList(dir.c_str(), nullptr, &jobs);
    MeasurementRequestList *requests = nullptr;
    qrx_init(&h, 4);
    if (o.listed > 0)
        o.requests = createMeasurementRequestList(h, jobs, 0, &requests);
    qrx_deinit(&h);
    if (o.requests > 0) {
        MeasurementRequest rq = *requests->items[0];
        rq.labValue = 1.25f + static_cast<float>(pass % 2);
        rq.labTime = 1600000000u;
        addMeasurementResult(job.c_str(), &rq);
        o.jobAfterAdd = readFile(job);
        removeMeasurementResult(job.c_str(), &rq);
    }
    removeMeasurementRequestList(&requests);
    removeJobDescrList(&jobs);

    writeFile(news, replaced(text, "> -1.0 </lab_measurement>", "> 9.000000 </lab_measurement>"));
    mergeJobFile(job.c_str(), news.c_str());
    o.merged = readFile(job);

    char out[13];
    for (int f : {0x8000, 0x0400 | 2, (3 << 7) | 1, 5 << 7}) {
        formatMeasurementString(out, f, 1234.5678 / (pass + 1));
        o.formatted += std::string(out) + "|";
    }
    o.date = atotime2000("2020-01-01T08:30:00+0100");
    char when[32];
    struct tm tm {};
    tm.tm_year = 120;
    tm.tm_mday = 1;
    sprintf_tm(when, sizeof when, &tm);
    o.formatted += when;
    return o;
}

bool operator==(const Outcome &a, const Outcome &b)
{
    return a.printed == b.printed && a.sensorFile == b.sensorFile && a.jobAfterAdd == b.jobAfterAdd &&
           a.merged == b.merged && a.formatted == b.formatted && a.message == b.message &&
           a.requests == b.requests && a.listed == b.listed && a.date == b.date;
}

} // namespace

TEST(Concurrency, SeparateHandlesAndDirectoriesOnSeveralThreads)
{
    setTimeZone("UTC"); /* before any thread starts: tzset is not thread-safe */
    JobEditSetting unchanged;
    const int kThreads = 6, kPasses = 8;
    std::vector<TempDir> dirs(kThreads);
    TempDir refDir;
    std::vector<Outcome> expected;
    for (int p = 0; p < kPasses; ++p)
        expected.push_back(runAll(refDir.path(), p));
    ASSERT_EQ(expected[0].listed, 1);
    ASSERT_EQ(expected[0].requests, 3);
    ASSERT_FALSE(expected[0].message.empty());
    ASSERT_NE(expected[0].jobAfterAdd, expected[1].jobAfterAdd);

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int p = 0; p < kPasses; ++p)
                if (!(runAll(dirs[t].path(), p) == expected[p]))
                    ++mismatches;
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(Concurrency, ParsersOnSharedInputButOwnHandles)
{
    const std::string text = sampleJob();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                qrx_Parser *h = nullptr;
                qrx_init(&h, 4);
                FILE *fp = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
                if (qrx_BuildDOMTree(h, fp) != 0 || printTree(h) != text)
                    ++failures;
                fclose(fp);
                qrx_deinit(&h);
            }
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
}
