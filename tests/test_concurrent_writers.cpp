/* Writers on one job file at once, in processes and threads, by its name
   and through a link to it, lose nothing. */
#include <atomic>
#include <thread>

#include "testkit.h"

static int change(const std::string &path, int k, bool add)
{
    MeasurementRequest rq{};
    rq.totalIndex = k;
    rq.labValue = static_cast<float>(k + 1);
    rq.labTime = 1577865600;
    return add ? addMeasurementResult(path.c_str(), &rq) : removeMeasurementResult(path.c_str(), &rq);
}

/* Runs job(k), k = 0 .. 5, on two threads in each of three processes, all
   released at once; the number of calls that did not give 0. */
template <typename Job> static int atOnce(Job job)
{
    int gate[2], failed = 0, status = 0;
    std::vector<pid_t> pids;
    if (pipe(gate) != 0)
        return -1;
    for (int p = 0; p < 3; ++p) {
        if ((pids.emplace_back(fork())) == 0) {
            char c;
            close(gate[1]);
            std::atomic<int> failures{read(gate[0], &c, 1) != 0};
            std::thread other([&] { failures += job(2 * p + 1) != 0; });
            failures += job(2 * p) != 0;
            other.join();
            _exit(failures);
        }
    }
    close(gate[0]);
    close(gate[1]); /* end of file releases every child */
    for (pid_t pid : pids)
        failed += waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    return failed;
}

TEST(ConcurrentWriters, EntriesAndRemovalsLoseNothing)
{
    TempDir d;
    const std::string path = d.file("job.xml"), link = d.file("link.xml");
    const std::string job = testData("job_six_labs.xml");
    std::string serial[2];
    writeFile(path, job);
    ASSERT_EQ(symlink("job.xml", link.c_str()), 0);
    for (bool add : {true, false}) {
        for (int k = 0; k < 6; ++k)
            ASSERT_EQ(change(path, k, add), 0);
        serial[add] = readFile(path);
    }
    ASSERT_NE(serial[1].find("> 6.000000 <"), std::string::npos);
    for (int round = 0; round < 4; ++round) {
        writeFile(path, job);
        ASSERT_EQ(atOnce([&](int k) { return change(k % 2 ? link : path, k, true); }), 0);
        EXPECT_EQ(readFile(path), serial[1]) << round;
        ASSERT_EQ(atOnce([&](int k) { return change(k % 2 ? link : path, k, false); }), 0);
        EXPECT_EQ(readFile(path), serial[0]) << round;
        EXPECT_EQ(d.entries(), (std::set<std::string>{"job.xml", "link.xml"}));
    }
}
