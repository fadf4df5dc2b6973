/* Several writers on one job file: processes and threads entering and
   taking back results, and a merge racing an entry, must end in the
   state of some serial order. */
#include <sys/file.h>
#include <sys/wait.h>

#include <thread>
#include <vector>

#include "testkit.h"

namespace {

const int kLabs = 6;

std::string jobWithLabs(const char *handling = "0")
{
    std::string s = std::string("<job job_id=\"9\" job_handling=\"") + handling + "\"><sample number=\"0\">";
    for (int i = 0; i < kLabs; ++i)
        s += "<lab_measurement index=\"" + std::to_string(i) + "\" done=\"0\"/>";
    return s + "</sample></job>";
}

MeasurementRequest entry(int totalIndex)
{
    MeasurementRequest rq{};
    rq.totalIndex = totalIndex;
    rq.labValue = static_cast<float>(totalIndex + 1);
    rq.labTime = 1577865600;
    return rq;
}

/* The lab values in request order. */
std::vector<float> labValues(const std::string &dir)
{
    std::vector<float> v;
    JobDescrList *list = nullptr;
    qrx_Parser *h = nullptr;
    MeasurementRequestList *rq = nullptr;
    if (createJobDescrList_Ex(dir.c_str(), nullptr, &list, 0) == 1 && qrx_init(&h, 4) == 0 &&
        createMeasurementRequestList(h, list, 0, &rq) > 0)
        for (int i = 0; i < rq->count; ++i)
            v.push_back(rq->items[i]->labValue);
    removeMeasurementRequestList(&rq);
    removeJobDescrList(&list);
    qrx_deinit(&h);
    return v;
}

/* Runs job(k) for k = 0 .. processes * threads - 1, each in its own
   thread of one of the processes, all released at once; the number of
   calls that did not return 0. */
template <typename Job> int atOnce(int processes, int threads, Job job)
{
    int gate[2];
    if (pipe(gate) != 0)
        return -1;
    std::vector<pid_t> pids;
    for (int p = 0; p < processes; ++p) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(gate[1]);
            char c;
            if (read(gate[0], &c, 1) != 0)
                _exit(100);
            int failed = 0;
            std::vector<std::thread> ts;
            for (int t = 0; t < threads; ++t)
                ts.emplace_back([&, t] {
                    if (job(p * threads + t) != 0)
                        __atomic_add_fetch(&failed, 1, __ATOMIC_RELAXED);
                });
            for (auto &t : ts)
                t.join();
            _exit(failed);
        }
        pids.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]); /* end of file releases every child */
    int failed = 0;
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        failed += WIFEXITED(status) ? WEXITSTATUS(status) : 100;
    }
    return failed;
}

} // namespace

TEST(Writers, ConcurrentEntriesAndRemovalsLoseNothing)
{
    TempDir d;
    const std::string path = d.file("job.xml");
    const std::vector<float> none(kLabs, -1.0f);
    std::vector<float> all;
    for (int i = 0; i < kLabs; ++i)
        all.push_back(static_cast<float>(i + 1));
    for (int round = 0; round < 8; ++round) {
        writeFile(path, jobWithLabs());
        ASSERT_EQ(atOnce(3, 2,
                         [&](int k) {
                             const MeasurementRequest rq = entry(k);
                             return addMeasurementResult(path.c_str(), &rq);
                         }),
                  0);
        ASSERT_EQ(labValues(d.path()), all) << "round " << round;
        ASSERT_EQ(atOnce(2, 3,
                         [&](int k) {
                             const MeasurementRequest rq = entry(k);
                             return removeMeasurementResult(path.c_str(), &rq);
                         }),
                  0);
        ASSERT_EQ(labValues(d.path()), none) << "round " << round;
        EXPECT_EQ(d.entries(), std::set<std::string>{"job.xml"});
    }
}

/* News replaces lab 0 and adds nothing else; entering lab 1 at the same
   moment must survive whichever comes first. */
TEST(Writers, MergeAndEntryAtOnceEndAsInSomeSerialOrder)
{
    const std::string news = jobWithLabs("32");
    auto run = [&](const std::string &dir, int order) {
        const std::string base = dir + "/job.xml", newsPath = dir + "/news.xml";
        writeFile(base, jobWithLabs());
        writeFile(newsPath, news);
        const MeasurementRequest rq = entry(1);
        auto merge = [&] { return mergeJobFile(base.c_str(), newsPath.c_str()) == kLabs * 1 ? 0 : 1; };
        auto add = [&] { return addMeasurementResult(base.c_str(), &rq); };
        if (order == 0)
            return (merge() | add()) == 0 ? readFile(base) : std::string();
        if (order == 1)
            return (add() | merge()) == 0 ? readFile(base) : std::string();
        return atOnce(2, 1, [&](int k) { return k == 0 ? merge() : add(); }) == 0 ? readFile(base)
                                                                                  : std::string();
    };
    TempDir serial;
    const std::string mergeFirst = run(serial.path(), 0), addFirst = run(serial.path(), 1);
    ASSERT_FALSE(mergeFirst.empty());
    ASSERT_NE(mergeFirst, addFirst);
    for (int round = 0; round < 10; ++round) {
        TempDir d;
        const std::string end = run(d.path(), 2);
        EXPECT_TRUE(end == mergeFirst || end == addFirst) << end;
        EXPECT_EQ(d.entries(), std::set<std::string>{"job.xml"});
    }
}

/* The kernel drops the lock of a writer that dies holding it. */
TEST(Writers, KilledLockHolderDoesNotBlockTheNext)
{
    TempDir d;
    const std::string path = d.file("job.xml");
    writeFile(path, jobWithLabs());
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
    const MeasurementRequest rq = entry(0);
    EXPECT_EQ(addMeasurementResult(path.c_str(), &rq), 0);
    alarm(0);
    close(ready[0]);
    close(ready[1]);
}
