/* Writers on one job file at once, in processes and threads, end as some
   serial order of their calls would. */
#include <sys/file.h>

#include <atomic>
#include <thread>

#include "testkit.h"

namespace {

std::string jobWithLabs(const char *handling)
{
    std::string s = std::string("<job job_id=\"9\" job_handling=\"") + handling + "\"><sample number=\"0\">";
    for (int i = 0; i < 6; ++i)
        s += "<lab_measurement index=\"" + std::to_string(i) + "\" done=\"0\"/>";
    return s + "</sample></job>";
}

int change(const std::string &path, int k, bool add)
{
    MeasurementRequest rq{};
    rq.totalIndex = k;
    rq.labValue = static_cast<float>(k + 1);
    rq.labTime = 1577865600;
    return add ? addMeasurementResult(path.c_str(), &rq) : removeMeasurementResult(path.c_str(), &rq);
}

/* Runs job(k), k = 0 .. processes * threads - 1, each in a thread of one
   of the processes, all released at once; the number that did not give 0. */
template <typename Job> int atOnce(int processes, int threads, Job job)
{
    int gate[2];
    if (pipe(gate) != 0)
        return -1;
    std::vector<pid_t> pids;
    for (int p = 0; p < processes; ++p) {
        if ((pids.emplace_back(fork())) == 0) {
            close(gate[1]);
            char c;
            std::atomic<int> failed{read(gate[0], &c, 1) != 0 ? 100 : 0};
            std::vector<std::thread> ts;
            for (int t = 0; t < threads; ++t)
                ts.emplace_back([&, t] { failed += job(p * threads + t) != 0; });
            for (auto &t : ts)
                t.join();
            _exit(failed);
        }
    }
    close(gate[0]);
    close(gate[1]); /* end of file releases every child */
    int failed = 0, status = 0;
    for (pid_t pid : pids)
        failed += waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : 100;
    return failed;
}

} // namespace

TEST(ConcurrentWriters, EntriesAndRemovalsLoseNothing)
{
    TempDir d;
    const std::string path = d.file("job.xml");
    std::string serial[2];
    writeFile(path, jobWithLabs("0"));
    for (bool add : {true, false}) {
        for (int k = 0; k < 6; ++k)
            ASSERT_EQ(change(path, k, add), 0);
        serial[add] = readFile(path);
    }
    ASSERT_NE(serial[1].find("> 6.000000 <"), std::string::npos);
    for (int round = 0; round < 4; ++round) {
        writeFile(path, jobWithLabs("0"));
        ASSERT_EQ(atOnce(3, 2, [&](int k) { return change(path, k, true); }), 0);
        EXPECT_EQ(readFile(path), serial[1]) << round;
        ASSERT_EQ(atOnce(2, 3, [&](int k) { return change(path, k, false); }), 0);
        EXPECT_EQ(readFile(path), serial[0]) << round;
        EXPECT_EQ(d.entries(), std::set<std::string>{"job.xml"});
    }
}

/* News takes back lab 1 unless its entry comes after the merge. */
TEST(ConcurrentWriters, MergeAndEntryEndAsInSomeSerialOrder)
{
    auto run = [](const TempDir &d, int order) {
        const std::string base = d.file("job.xml"), news = d.file("news.xml");
        writeFile(base, jobWithLabs("0"));
        writeFile(news, jobWithLabs("32"));
        auto step = [&](int k) {
            return k ? change(base, 1, true) : mergeJobFile(base.c_str(), news.c_str()) - 6;
        };
        const int failed = order < 2 ? step(order) | step(1 - order) : atOnce(2, 1, step);
        return failed == 0 ? readFile(base) : std::string();
    };
    TempDir serial;
    const std::string mergeFirst = run(serial, 0), addFirst = run(serial, 1);
    ASSERT_FALSE(mergeFirst.empty());
    ASSERT_NE(mergeFirst, addFirst);
    for (int round = 0; round < 5; ++round) {
        TempDir d;
        const std::string end = run(d, 2);
        EXPECT_TRUE(end == mergeFirst || end == addFirst) << end;
        EXPECT_EQ(d.entries(), std::set<std::string>{"job.xml"});
    }
}

/* The kernel drops the lock of a writer that dies holding it. */
TEST(ConcurrentWriters, KilledLockHolderDoesNotBlockTheNext)
{
    TempDir d;
    const std::string path = d.file("job.xml");
    writeFile(path, jobWithLabs("0"));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        const int fd = open(path.c_str(), O_RDWR);
        if (fd >= 0 && flock(fd, LOCK_EX) == 0 && write(ready[1], "x", 1) == 1)
            pause();
        _exit(1);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    alarm(10);
    EXPECT_EQ(change(path, 0, true), 0);
    alarm(0);
    close(ready[0]);
    close(ready[1]);
}
