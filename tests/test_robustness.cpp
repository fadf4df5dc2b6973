/* The writers killed at any moment, on a full device, on hostile names,
   through links and on several threads at once, and how often they sync.
   CRASH_KILLS overrides the number of kills (valgrind runs use few). */
#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <thread>

#include "testkit.h"

/* The library's fsync calls, on regular files and on directories. */
static std::atomic<int> gFileSyncs{0}, gDirectorySyncs{0};
extern "C" int fsync(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) == 0)
        ++(S_ISDIR(st.st_mode) ? gDirectorySyncs : gFileSyncs);
    return libcFunction<int(int)>("fsync")(fd);
}

namespace {

std::string version(const std::string &path) { return exists(path) ? readFile(path) : "absent"; }

std::string linkTarget(const std::string &path)
{
    char to[4096];
    const ssize_t n = readlink(path.c_str(), to, sizeof to);
    return n < 0 ? "no link" : std::string(to, static_cast<size_t>(n));
}

/* Job files (named after name, under a directory chain of over 1000
   characters, when name is given) and a round of writes on them. */
struct Jobs {
    struct Step {
        const std::string *news; /* written with text first */
        std::string text;
        std::function<int()> write;
        int ok, full; /* results on success and on a full device */
    };
    TempDir d;
    std::string dir = d.path(), job, news, copy, copyNews, bin;
    const std::string copyA = replaced(sampleJob(), "job_type=\"1\"", "job_type=\"33\"");
    const std::string copyB = replaced(copyA, "max_samples=\"5\"", "max_samples=\"6\"");
    const std::string killer = replaced(sampleJob(), "job_handling=\"32\"", "job_handling=\"288\"");
    Handle a, b;
    MeasurementRequest rq{};
    std::function<int()> mergeCopy = [&] { return mergeJobFile(copy.c_str(), copyNews.c_str()); };
    std::vector<Step> steps = {
        {nullptr, "", [&] { return addMeasurementResult(job.c_str(), &rq); }, 0, -6},
        {nullptr, "", [&] { return sjob_DOMTree2SensorJobFile(bin.c_str(), a.p); }, 0, -1},
        {&news, replaced(sampleJob(), "> -1.0 </lab_measurement>", "> 8.000000 </lab_measurement>"),
         [&] { return mergeJobFile(job.c_str(), news.c_str()); }, 5, -6},
        {nullptr, "", [&] { return removeMeasurementResult(job.c_str(), &rq); }, 0, -6},
        {nullptr, "", [&] { return sjob_DOMTree2SensorJobFile(bin.c_str(), b.p); }, 0, -1},
        {&copyNews, copyA, mergeCopy, 0, -2}, /* copy short-cut, kill, copy to an absent Base */
        {&copyNews, killer, mergeCopy, 0, 0},
        {&copyNews, copyB, mergeCopy, 0, -2},
    };
    explicit Jobs(const std::string &name = "")
    {
        if (!name.empty()) {
            mkdir((dir += "/" + name).c_str(), 0755);
            for (char c : {'a', 'b', 'c', 'd'})
                mkdir((dir += "/" + std::string(240, c) + " $(touch pwned)").c_str(), 0755);
        }
        const std::string stem = dir + "/" + name;
        job = stem + "job.xml", news = stem + "news", copy = stem + "copy", copyNews = stem + "copynews";
        bin = stem + "job.bin";
        rq.totalIndex = 1;
        rq.labValue = 6.5f;
        rq.labTime = 1600000000u;
        buildFrom(a.p, sampleJob());
        buildFrom(b.p, replaced(sampleJob(), "bottle_number=\"17\"", "bottle_number=\"18\""));
        writeFile(job, sampleJob());
        writeFile(copy, copyB);
        sjob_DOMTree2SensorJobFile(bin.c_str(), b.p);
    }
    int run(size_t i)
    {
        if (steps[i].news)
            writeFile(*steps[i].news, steps[i].text);
        return steps[i].write();
    }
    std::string snapshot() const
    {
        std::string s = std::to_string(entriesOf(dir).size());
        for (const std::string *f : {&job, &news, &copy, &copyNews, &bin})
            s += "|" + version(*f);
        return s;
    }
};

/* The job listed by directory and by name, its requests and the sensor
   job file read back: "113 0" when all is well. */
std::string readBack(const Jobs &j, const std::string &name, Handle &h)
{
    JobDescrList *all = nullptr, *one = nullptr;
    MeasurementRequestList *requests = nullptr;
    std::string s = std::to_string(createJobDescrList(j.dir.c_str(), nullptr, &all));
    s += std::to_string(createJobDescrList(j.dir.c_str(), (name + "job.xml").c_str(), &one));
    s += std::to_string(createMeasurementRequestList(h.p, one, 0, &requests));
    s += " " + std::to_string(sjob_SensorJobFile2DOMTree(j.bin.c_str(), h.p));
    EXPECT_EQ(all && all->count ? all->items[0]->filePath : "", j.job);
    removeMeasurementRequestList(&requests);
    removeJobDescrList(&all);
    removeJobDescrList(&one);
    return s;
}

/* One pass over every family of the library, its results as text. */
std::string runAll(int pass)
{
    Jobs j;
    j.rq.labValue += static_cast<float>(pass);
    uint8_t buf[4096], *msg = nullptr;
    uint32_t len = sizeof buf;
    EXPECT_EQ(sjob_DOMTree2Message(buf, &len, &msg, j.a.p), 0);
    std::string out = printed(j.a.p) + std::string(reinterpret_cast<char *>(msg), len);
    for (size_t i = 0; i < j.steps.size(); ++i)
        out += std::to_string(j.run(i)) + j.snapshot();
    Handle h;
    out += readBack(j, "", h) + printed(h.p);
    char text[16];
    for (int f : {0x8000, 0x0400 | 2, (3 << 7) | 1, 5 << 7}) {
        formatMeasurementString(text, f, 1234.5678 / (pass + 1));
        out += std::string(text) + "|";
    }
    return out + std::to_string(atotime2000("2020-01-01T08:30:00+0100"));
}

} // namespace

TEST(CrashSafety, KilledWritersLeaveOldOrNewVersion)
{
    Jobs j;
    const size_t kSteps = j.steps.size();
    const std::string *files[] = {&j.job, &j.copy, &j.bin};
    std::set<std::string> seen[3];
    size_t settled = 0;
    for (size_t n = 0; n < 3 * kSteps; ++n) {
        settled = n == 2 * kSteps ? seen[0].size() : settled;
        EXPECT_EQ(j.run(n % kSteps), j.steps[n % kSteps].ok) << n;
        for (int i = 0; i < 3; ++i)
            seen[i].insert(version(*files[i]));
    }
    EXPECT_EQ(seen[0].size(), settled) << "the job file does not settle";
    EXPECT_EQ(seen[1], (std::set<std::string>{j.copyA, j.copyB, "absent"}));
    EXPECT_EQ(seen[2].size(), 2u);
    seen[1].insert(j.killer); /* a kill without Base is a first delivery */

    const char *env = std::getenv("CRASH_KILLS");
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> delayUs(0, 12000);
    for (int k = 0; k < (env ? std::atoi(env) : 200); ++k) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            for (size_t n = k;; ++n)
                j.run(n % kSteps);
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(rng)));
        kill(pid, SIGKILL);
        ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(seen[i].count(version(*files[i]))) << *files[i] << " after kill " << k;
        /* Five files, the last kill's temporary, and the one before when
           the new child died before its first write. */
        ASSERT_LE(entriesOf(j.dir).size(), 7u) << "temporaries pile up after kill " << k;
    }
}

/* Not a live writer's (one that holds it locked), not a name that only
   looks like one, not a link. A pid tells nothing after a power cut: the
   next boot's writer may get the dead one's. */
TEST(CrashSafety, WritersClearOnlyTemporariesOfDeadWriters)
{
    Jobs j;
    const pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    waitpid(dead, nullptr, 0);
    const std::string t = j.d.file(".jobapi-"), pid = std::to_string(dead), stale = t + pid + "-Zz99Yy";
    const std::string reborn = t + std::to_string(getpid()) + "-Qq77Rr";
    const std::string kept[] = {t + std::to_string(getpid()) + "-Ef34Gh",
                                t + pid + "-Ab12Cd-notes.txt",
                                t + pid + "-Ab_2Cd",
                                t + "0" + pid + "-Ab12Cd",
                                t + std::to_string(dead + 4294967296LL) + "-Ab12Cd",
                                t + pid + "-Link00"};
    for (size_t i = 0; i + 1 < std::size(kept); ++i)
        writeFile(kept[i], "partial");
    ASSERT_EQ(symlink("job.xml", kept[5].c_str()), 0);
    const int live = open(kept[0].c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(live, LOCK_EX), 0);
    for (size_t i = 0; i < j.steps.size(); ++i) {
        writeFile(stale, "partial");
        writeFile(reborn, "partial");
        EXPECT_EQ(j.run(i), j.steps[i].ok) << i;
        EXPECT_EQ(exists(stale), j.steps[i].full == 0)
            << "only a step that needs no room writes nothing; " << i;
        EXPECT_EQ(exists(reborn), j.steps[i].full == 0) << i;
    }
    close(live);
    for (const std::string &name : kept)
        EXPECT_TRUE(exists(name)) << name;
    EXPECT_EQ(j.d.entries().size(), std::size(kept) + 3); /* job.xml, copy, job.bin */
}

TEST(DiskFull, WritersFailAndLeaveEveryFileAsItWas)
{
    Jobs j;
    for (const Jobs::Step &s : j.steps) {
        if (s.news)
            writeFile(*s.news, s.text);
        const std::string before = j.snapshot();
        {
            NoRoom full;
            EXPECT_EQ(s.write(), s.full) << s.text;
            if (s.full == LABRES_UNWRITABLE || s.full == MERGE_BASE_UNWRITABLE) {
                EXPECT_EQ(errno, EFBIG) << s.text; /* the system's reason */
            }
        }
        EXPECT_EQ(s.full ? j.snapshot() : before, before) << s.text; /* a kill needs no room */
    }
}

/* Names that a shell would split, expand or run, or take for an option. */
TEST(HostilePaths, EveryPathOperationTakesTheNameAsItStands)
{
    Jobs plain;
    std::vector<std::string> expected;
    for (size_t i = 0; i < plain.steps.size(); ++i)
        expected.push_back(std::to_string(plain.run(i)) + plain.snapshot());
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    const std::string names[] = {"-rf --no-preserve-root", " blank  tab\tnew\nline ",
                                 "'quote\"$(touch pwned)", "`touch pwned`;touch pwned|x&&y>z<w",
                                 "*?[!]{a,b}~#%^\\",       std::string(200, 'L')};
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        Jobs j(name);
        ASSERT_EQ(chdir(j.d.path().c_str()), 0); /* where a shell would leave "pwned" */
        Handle h;
        EXPECT_EQ(readBack(j, name, h), "113 0");
        for (size_t i = 0; i < j.steps.size(); ++i)
            EXPECT_EQ(std::to_string(j.run(i)) + j.snapshot(), expected[i]) << i;
        EXPECT_EQ(j.d.entries(), std::set<std::string>{name});
        ASSERT_EQ(chdir(cwd), 0);
    }
}

TEST(Concurrency, ThreadsGetTheResultsOfOneThread)
{
    setTimeZone("UTC"); /* before any thread starts: tzset is not thread-safe */
    JobEditSetting unchanged;
    const int kThreads = 4, kPasses = 3;
    std::vector<std::string> expected;
    for (int p = 0; p < kPasses; ++p)
        expected.push_back(runAll(p));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int p = 0; p < kPasses; ++p)
                EXPECT_EQ(runAll(p), expected[p]) << "thread " << t << ", pass " << p;
        });
    for (auto &th : threads)
        th.join();
}

/* Every job file or sensor job file written is synced once, and its
   directory once after the rename; a kill writes nothing, and syncs the
   directory of the job it deleted. */
TEST(Storage, EachWrittenFileIsSyncedOnce)
{
    Jobs j;
    const int written[] = {1, 1, 1, 1, 1, 1, 0, 1}; /* per step */
    /* the rename's, and a merge's removal of News once more; the kill's */
    const int renamed[] = {1, 1, 2, 1, 1, 2, 1, 2};
    ASSERT_EQ(std::size(written), j.steps.size());
    for (size_t i = 0; i < j.steps.size(); ++i) {
        const int files = gFileSyncs, directories = gDirectorySyncs;
        EXPECT_EQ(j.run(i), j.steps[i].ok) << i;
        EXPECT_EQ(gFileSyncs - files, written[i]) << i;
        EXPECT_EQ(gDirectorySyncs - directories, renamed[i]) << i;
    }
}

/* Links (job.xml -> real/hop -> real/job.xml, copy absolute): the same
   results and files as without, the links kept; a killed Base is then a
   dangling link, refused, not created. */
TEST(Links, WritersWorkOnTheFileAtTheEndAndKeepTheLink)
{
    alarm(30); /* a dangling Base once made the merge start over for ever */
    Jobs plain, linked;
    const std::string real = linked.d.file("real/");
    ASSERT_EQ(mkdir(real.c_str(), 0755), 0);
    ASSERT_EQ(symlink("job.xml", (real + "hop").c_str()), 0);
    const std::pair<const std::string *, std::string> links[] = {
        {&linked.job, "real/hop"},           {&linked.news, "real/news"}, {&linked.copy, real + "copy"},
        {&linked.copyNews, "real/copynews"}, {&linked.bin, "real/job.bin"}};
    for (const auto &[path, target] : links) {
        rename(path->c_str(), (real + path->substr(path->rfind('/') + 1)).c_str()); /* News: none yet */
        ASSERT_EQ(symlink(target.c_str(), path->c_str()), 0);
    }
    const auto contents = [](const Jobs &j) { return j.snapshot().substr(j.snapshot().find('|')); };
    for (size_t i = 0; i + 1 < plain.steps.size(); ++i) {
        EXPECT_EQ(linked.run(i), plain.run(i)) << i;
        EXPECT_EQ(contents(linked), contents(plain)) << i;
    }
    EXPECT_EQ(linked.run(plain.steps.size() - 1), MERGE_BASE_UNREADABLE);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(countTraces("cannot read \"" + linked.copy + "\"\n", 2), 1);
    for (const auto &[path, target] : links)
        EXPECT_EQ(linkTarget(*path), target);
    EXPECT_EQ(entriesOf(real), (std::set<std::string>{"hop", "job.xml", "copynews", "job.bin"}));
}

/* A link to nothing, in a loop, to a directory or to a FIFO: each writer
   refuses it with its "cannot read" code and leaves it as it is. */
TEST(Links, WritersRefuseLinksToNothingAndToOddFiles)
{
    alarm(30); /* a FIFO opened for reading would block */
    Jobs j;
    ASSERT_EQ(mkdir(j.d.file("dir").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(j.d.file("fifo").c_str(), 0666), 0);
    ASSERT_EQ(symlink("loop2", j.d.file("loop1").c_str()), 0);
    ASSERT_EQ(symlink("loop1", j.d.file("loop2").c_str()), 0);
    const struct {
        std::string *path;
        size_t step;
        int result;
    } writers[] = {{&j.job, 0, LABRES_UNREADABLE},
                   {&j.bin, 1, SJOB_WRITE_FAILED},
                   {&j.job, 2, MERGE_BASE_UNREADABLE},
                   {&j.job, 3, LABRES_UNREADABLE}};
    writeFile(j.news, sampleJob());
    for (const char *end : {"nowhere", "loop1", "dir", "fifo"}) {
        for (const auto &w : writers) {
            ASSERT_EQ(unlink(w.path->c_str()), 0);
            ASSERT_EQ(symlink(end, w.path->c_str()), 0);
            const std::set<std::string> before = j.d.entries();
            EXPECT_EQ(j.run(w.step), w.result) << end << " " << w.step;
            EXPECT_EQ(j.d.entries(), before) << end << " " << w.step;
            EXPECT_EQ(linkTarget(*w.path), end);
        }
    }
}
