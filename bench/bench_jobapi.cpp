/*
 * Job handler benchmarks on real files in a temporary directory: listing
 * a directory of 1000 jobs (with the share of the mandated fsync/sync
 * shown apart), the measurement request list, entering a lab result and
 * merging a newer job version, at growing job sizes.
 */
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "bench_common.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

/* The mandated part of listing: every file opened with synchronous
   writes, fsync'ed, closed, then sync(). */
void syncFiles(const bench::TempDir &dir, int files)
{
    for (int i = 0; i < files; ++i) {
        int fd = open(dir.file("job" + std::to_string(i) + ".xml").c_str(), O_RDWR | O_SYNC);
        if (fd >= 0) {
            fsync(fd);
            close(fd);
        }
        sync();
    }
}

void BM_CreateJobDescrList(benchmark::State &state)
{
    const int files = static_cast<int>(state.range(0));
    bench::TempDir dir;
    for (int i = 0; i < files; ++i)
        bench::writeFile(dir.file("job" + std::to_string(i) + ".xml"), bench::jobDocument(100, i));
    double total = 0, synced = 0;
    for (auto _ : state) {
        JobDescrList *list = nullptr;
        auto t0 = Clock::now();
        int n = createJobDescrList(dir.path().c_str(), nullptr, &list);
        auto t1 = Clock::now();
        removeJobDescrList(&list);
        if (n != files)
            state.SkipWithError("not every job was listed");
        syncFiles(dir, files);
        auto t2 = Clock::now();
        total += seconds(t0, t1);
        synced += seconds(t1, t2);
        state.SetIterationTime(seconds(t0, t1));
    }
    /* The sync steps alone, run as their own loop over the same files:
       what the listing cannot go below however fast it parses. */
    state.counters["sync_alone_ms"] = synced * 1e3 / static_cast<double>(state.iterations());
}

/* One job file of range(0) samples and its descriptor list. */
struct OneJob {
    bench::TempDir dir;
    std::string path = dir.file("job.xml");
    std::string text;
    JobDescrList *jobs = nullptr;
    explicit OneJob(int samples) : text(bench::jobDocument(samples))
    {
        bench::writeFile(path, text);
        createJobDescrList(dir.path().c_str(), "job.xml", &jobs);
    }
    ~OneJob() { removeJobDescrList(&jobs); }
};

void finish(benchmark::State &state, const OneJob &job)
{
    state.counters["doc_bytes"] = static_cast<double>(job.text.size());
    state.SetComplexityN(state.range(0));
}

void BM_ListOneJob(benchmark::State &state)
{
    OneJob job(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        JobDescrList *list = nullptr;
        if (createJobDescrList(job.dir.path().c_str(), "job.xml", &list) != 1)
            state.SkipWithError("not listed");
        removeJobDescrList(&list);
    }
    finish(state, job);
}

void BM_CreateMeasurementRequestList(benchmark::State &state)
{
    OneJob job(static_cast<int>(state.range(0)));
    qrx_Parser *h = nullptr;
    qrx_init(&h, 4);
    int n = 0;
    for (auto _ : state) {
        MeasurementRequestList *list = nullptr;
        n = createMeasurementRequestList(h, job.jobs, 0, &list);
        removeMeasurementRequestList(&list);
    }
    if (n != 2 * state.range(0))
        state.SkipWithError("wrong request count");
    qrx_deinit(&h);
    finish(state, job);
}

/* Enters the result of the job's last lab measurement, the one that
   takes the longest walk. */
void BM_AddMeasurementResult(benchmark::State &state)
{
    OneJob job(static_cast<int>(state.range(0)));
    qrx_Parser *h = nullptr;
    qrx_init(&h, 4);
    MeasurementRequestList *list = nullptr;
    createMeasurementRequestList(h, job.jobs, 0, &list);
    MeasurementRequest *rq = list->items[list->count - 1];
    rq->labValue = 5.5f;
    rq->labTime = 1600000000u;
    for (auto _ : state)
        if (addMeasurementResult(job.path.c_str(), rq) != 0)
            state.SkipWithError("add failed");
    removeMeasurementRequestList(&list);
    qrx_deinit(&h);
    finish(state, job);
}

/* News is the same job with every lab result entered; it is written
   anew (untimed) before each merge, which deletes it. */
void BM_MergeJobFile(benchmark::State &state)
{
    OneJob job(static_cast<int>(state.range(0)));
    std::string news = job.text;
    for (size_t at = 0; (at = news.find("done=\"64\"", at)) != std::string::npos;)
        news.replace(at, 9, "done=\"1\" ");
    std::string newsPath = job.dir.file("news.tmp");
    for (auto _ : state) {
        bench::writeFile(newsPath, news);
        auto t0 = Clock::now();
        int r = mergeJobFile(job.path.c_str(), newsPath.c_str());
        auto t1 = Clock::now();
        if (r != 4 * state.range(0))
            state.SkipWithError("merge failed");
        state.SetIterationTime(seconds(t0, t1));
    }
    finish(state, job);
}

void scaled(benchmark::internal::Benchmark *b)
{
    b->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Arg(bench::kLargeSamples)->Unit(benchmark::kMillisecond);
    b->Complexity(benchmark::oN);
}

} // namespace

BENCHMARK(BM_CreateJobDescrList)->Arg(1000)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListOneJob)->Apply(scaled);
BENCHMARK(BM_CreateMeasurementRequestList)->Apply(scaled);
BENCHMARK(BM_AddMeasurementResult)->Apply(scaled);
BENCHMARK(BM_MergeJobFile)->Apply(scaled)->UseManualTime();
