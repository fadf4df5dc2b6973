/*
 * Resource failures: every allocation request in turn fails (once and
 * from then on), the C library's own as well as the library's, and then
 * every descriptor beyond a limit. Each attempt runs in a child process;
 * it must not crash, must give a documented code, leak nothing, and
 * leave the old files or the complete new ones, with no temporary.
 */
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <functional>
#include <map>

#include "testkit.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TANDEL_OWN_MALLOC 0
#else
#define TANDEL_OWN_MALLOC 1
#endif

/* Traces are dropped: recording them would allocate. */
extern "C" int logTracePrint(const char *, int, const char *, int, const char *, ...) { return 0; }

#if TANDEL_OWN_MALLOC
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

namespace {
/* The hook's state: the only globals, and only in this test. */
long gCountdown = -1; /* allocation requests until the failures start */
bool gOnce = false;   /* only that request fails, not the ones after it */
bool gInjected = false;
long gLive = 0; /* blocks handed out and not freed */

bool failNow()
{
    if (gCountdown < 0)
        return false;
    if (gCountdown == 0) {
        gInjected = true;
        errno = ENOMEM;
        gCountdown = gOnce ? -1 : 0;
        return true;
    }
    --gCountdown;
    return false;
}
} // namespace

extern "C" void *malloc(size_t n)
{
    if (failNow())
        return nullptr;
    void *p = __libc_malloc(n);
    gLive += p != nullptr;
    return p;
}
extern "C" void *calloc(size_t a, size_t b)
{
    if (failNow())
        return nullptr;
    void *p = __libc_calloc(a, b);
    gLive += p != nullptr;
    return p;
}
extern "C" void *realloc(void *old, size_t n)
{
    if (failNow())
        return nullptr;
    void *p = __libc_realloc(old, n);
    gLive += old == nullptr && p != nullptr;
    gLive -= old != nullptr && n == 0;
    return p;
}
extern "C" void free(void *p)
{
    gLive -= p != nullptr;
    __libc_free(p);
}
#endif

namespace {

const char kNewsLab[] = "> 8.000000 </lab_measurement>";

struct Outcome {
    int code;
    long leaked;
    bool injected;
};

/* An operation on the files job.xml and news.xml of a directory (the
   paths are made before the failures start); its result code. */
struct Paths {
    std::string dir, job, news, sjb;
};
using Operation = std::function<int(const Paths &)>;

/* Runs op in a child with the failure armed by arm(); the outcome, or
   code 1000 + signal when the child died. */
Outcome inChild(const Paths &dir, const Operation &op, const std::function<void()> &arm,
                const std::function<void()> &disarm)
{
    int out[2];
    if (pipe(out) != 0)
        return {2000, 0, false};
    const pid_t pid = fork();
    if (pid == 0) {
        close(out[0]);
        Outcome o{};
#if TANDEL_OWN_MALLOC
        const long before = gLive;
#endif
        arm();
        o.code = op(dir);
        disarm();
#if TANDEL_OWN_MALLOC
        o.injected = gInjected;
        o.leaked = gLive - before;
#endif
        _exit(write(out[1], &o, sizeof o) == sizeof o ? 0 : 3);
    }
    close(out[1]);
    Outcome o{};
    const bool got = read(out[0], &o, sizeof o) == sizeof o;
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!got)
        o.code = WIFSIGNALED(status) ? 1000 + WTERMSIG(status) : 2000;
    return o;
}

/* A scenario: files to lay out, the operation, its codes. */
struct Scenario {
    const char *name;
    std::map<std::string, std::string> files;
    Operation op;
    std::set<int> codes; /* acceptable results besides success */
};

std::map<std::string, std::string> filesOf(const std::string &dir)
{
    std::map<std::string, std::string> m;
    for (const std::string &name : entriesOf(dir))
        m[name] = readFile(dir + "/" + name);
    return m;
}

void layOut(const std::string &dir, const std::map<std::string, std::string> &files)
{
    for (const std::string &name : entriesOf(dir))
        unlink((dir + "/" + name).c_str());
    for (const auto &f : files)
        writeFile(dir + "/" + f.first, f.second);
}

enum class Failing { Allocations, OneAllocation, Descriptors };

/* Walks the failure point over every request of the operation. */
void walk(const Scenario &s, Failing what)
{
    TempDir d;
    const Paths p{d.path(), d.file("job.xml"), d.file("news.xml"), d.file("job.sjb")};
    layOut(d.path(), s.files);
    const int ok = s.op(p);
    const auto after = filesOf(d.path());
    layOut(d.path(), s.files);
    (void)s.op(p); /* a second run primes the C library's caches */
    int limit = 0;
    for (long n = 0; n < 100000; ++n) {
        layOut(d.path(), s.files);
        Outcome o;
        if (what == Failing::Descriptors) {
            limit = static_cast<int>(n) + 3;
            rlimit old{};
            getrlimit(RLIMIT_NOFILE, &old);
            o = inChild(
                p, s.op,
                [&] {
                    int fd = open("/dev/null", O_RDONLY);
                    rlimit low = old;
                    low.rlim_cur = static_cast<rlim_t>(fd + static_cast<int>(n));
                    close(fd);
                    setrlimit(RLIMIT_NOFILE, &low);
                },
                [&] { setrlimit(RLIMIT_NOFILE, &old); });
            o.injected = o.code != ok;
        } else {
#if TANDEL_OWN_MALLOC
            o = inChild(
                p, s.op, [&] { gInjected = false, gCountdown = n, gOnce = what == Failing::OneAllocation; },
                [] { gCountdown = -1; });
#endif
        }
        const auto now = filesOf(d.path());
        const bool success = o.code == ok;
        ASSERT_TRUE(success || s.codes.count(o.code)) << s.name << " at " << n << ": " << o.code;
        ASSERT_EQ(o.leaked, 0) << s.name << " at " << n;
        ASSERT_TRUE(now == (success ? after : s.files)) << s.name << " at " << n << ": files changed";
        if (!o.injected || (what == Failing::Descriptors && success && limit > 40))
            return;
    }
    FAIL() << s.name << " did not complete";
}

qrx_Parser *parsed(const std::string &path)
{
    qrx_Parser *h = nullptr;
    if (qrx_init(&h, 4) != 0)
        return nullptr;
    FILE *fp = fopen(path.c_str(), "r");
    const int r = fp ? qrx_BuildDOMTree(h, fp) : -1;
    if (fp)
        fclose(fp);
    if (r != 0)
        qrx_deinit(&h);
    return h;
}

std::vector<Scenario> scenarios()
{
    const std::string job = sampleJob();
    const std::string news = replaced(job, "> -1.0 </lab_measurement>", kNewsLab);
    auto request = [](int k) {
        MeasurementRequest rq{};
        rq.totalIndex = k;
        rq.labValue = 7.5f;
        rq.labTime = 1577865600;
        return rq;
    };
    auto list = [](const Paths &p) {
        JobDescrList *l = nullptr;
        const int n = createJobDescrList_Ex(p.dir.c_str(), nullptr, &l, 0);
        removeJobDescrList(&l);
        return n;
    };
    return {
        {"add",
         {{"job.xml", job}},
         [rq = request(1)](const Paths &p) { return addMeasurementResult(p.job.c_str(), &rq); },
         {-7, -1, -6}},
        {"remove",
         {{"job.xml", job}},
         [rq = request(2)](const Paths &p) { return removeMeasurementResult(p.job.c_str(), &rq); },
         {-7, -1, -6}},
        {"merge",
         {{"job.xml", job}, {"news.xml", news}},
         [](const Paths &p) { return mergeJobFile(p.job.c_str(), p.news.c_str()); },
         {-7, -1, -5, -6}},
        {"merge into no Base",
         {{"news.xml", news}},
         [](const Paths &p) { return mergeJobFile(p.job.c_str(), p.news.c_str()); },
         {-7, -1, -2, -5}},
        {"merge singleton",
         {{"job.xml", job}, {"news.xml", replaced(news, "job_type=\"1\"", "job_type=\"33\"")}},
         [](const Paths &p) { return mergeJobFile(p.job.c_str(), p.news.c_str()); },
         {-7, -1, -2, -5, -6}},
        {"list", {{"a.xml", job}, {"b.xml", job}, {"c.xml", news}}, list, {-7, -3, -2}},
        {"requests",
         {{"job.xml", job}},
         [](const Paths &p) {
             JobDescrList *l = nullptr;
             qrx_Parser *h = nullptr;
             MeasurementRequestList *rq = nullptr;
             int r = createJobDescrList_Ex(p.dir.c_str(), nullptr, &l, 0);
             if (r == 1)
                 r = qrx_init(&h, 4) == 0 ? createMeasurementRequestList(h, l, 0, &rq) : -7;
             removeMeasurementRequestList(&rq);
             removeJobDescrList(&l);
             qrx_deinit(&h);
             return r;
         },
         {-7, -6, -3, -2}},
        {"sensor job file",
         {{"job.xml", job}, {"job.sjb", "old"}},
         [](const Paths &p) {
             qrx_Parser *h = parsed(p.job);
             const int r = h ? sjob_DOMTree2SensorJobFile(p.sjb.c_str(), h) : -1;
             qrx_deinit(&h);
             return r;
         },
         {-1}},
        {"decode with setting",
         {{"job.xml", job}},
         [](const Paths &p) {
             qrx_Parser *h = parsed(p.job);
             uint8_t buf[2048];
             uint32_t len = sizeof buf;
             uint8_t *msg = nullptr;
             int r = h ? sjob_DOMTree2Message(buf, &len, &msg, h) : SJOB_NO_MEMORY;
             if (r == 0)
                 r = sjob_Message2DOMTreeN(msg, len, h);
             if (r == 0) /* the setting turns the job-edit flag on */
                 for (const qrx_Element *s = h->root->children->children; s; s = s->next)
                     for (const qrx_Element *m = s->children; m; m = m->next)
                         if (str_equal(m->name, "lab_measurement") &&
                             !str_equal(qrx_GetAttribute("done", nullptr, m, nullptr), "64") &&
                             !str_equal(qrx_GetAttribute("done", nullptr, m, nullptr), "65"))
                             r = 99;
             qrx_deinit(&h);
             return r;
         },
         {SJOB_NO_MEMORY, -8, -13, SJOB_FILE_ERROR}},
        {"tree build and print",
         {{"job.xml", job}},
         [](const Paths &p) {
             qrx_Parser *h = parsed(p.job);
             if (!h)
                 return -3;
             FILE *fp = fopen("/dev/null", "w");
             const int r = fp ? qrx_PrintDOMTree(h, fp) : -3;
             if (fp)
                 fclose(fp);
             qrx_deinit(&h);
             return r > 0 ? 0 : r;
         },
         {-3}},
    };
}

/* The job-edit setting is "on" for every case. */
class Resources : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { setTimeZone("UTC"); }
    JobEditSetting setting_{"1\n"};
};

} // namespace

TEST_P(Resources, EveryAllocationFailureIsReported)
{
#if !TANDEL_OWN_MALLOC
    GTEST_SKIP() << "the sanitizer owns malloc";
#endif
    walk(scenarios()[static_cast<size_t>(GetParam())], Failing::Allocations);
    walk(scenarios()[static_cast<size_t>(GetParam())], Failing::OneAllocation);
}

TEST_P(Resources, DescriptorExhaustionIsReported)
{
    walk(scenarios()[static_cast<size_t>(GetParam())], Failing::Descriptors);
}

INSTANTIATE_TEST_SUITE_P(Operations, Resources, ::testing::Range(0, 10));
