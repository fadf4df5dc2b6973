/* Every allocation request in turn fails (once, and from then on), then
   every descriptor beyond a limit: no crash, a documented code, no leak,
   and the old files or the complete new ones, with no temporary. */
#include <fcntl.h>

#include <map>

#include "testkit.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TANDEL_OWN_MALLOC 0
#else
#define TANDEL_OWN_MALLOC 1
#endif

/* Traces are dropped: recording them would allocate. */
extern "C" int logTracePrint(const char *, int, const char *, int, const char *, ...) { return 0; }

/* Requests until the failures start, blocks not freed; one fails, one did. */
static long gCountdown = -1, gLive, gOnce, gInjected;

#if TANDEL_OWN_MALLOC
extern "C" void *__libc_malloc(size_t), *__libc_calloc(size_t, size_t), *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);

static bool failNow()
{
    if (gCountdown < 0 || gCountdown-- > 0)
        return false;
    gInjected = true;
    errno = ENOMEM;
    gCountdown = gOnce ? -1 : 0;
    return true;
}
static void *counted(void *p) { return gLive += p != nullptr, p; }
extern "C" void *malloc(size_t n) { return failNow() ? nullptr : counted(__libc_malloc(n)); }
extern "C" void *calloc(size_t a, size_t b) { return failNow() ? nullptr : counted(__libc_calloc(a, b)); }
extern "C" void *realloc(void *old, size_t n)
{
    if (failNow())
        return nullptr;
    gLive -= old && n == 0;
    return old ? __libc_realloc(old, n) : counted(__libc_realloc(old, n));
}
extern "C" void free(void *p)
{
    gLive -= p != nullptr;
    __libc_free(p);
}
#endif

namespace {

struct Paths { /* named before the failures start */
    std::string dir, job, news, sjb;
};
using Files = std::map<std::string, std::string>;
struct Scenario {
    const char *name;
    Files files;
    int (*op)(const Paths &, int);
    int arg;
    std::set<int> codes; /* acceptable results besides success */
};
enum Failing { kAllocations, kOneAllocation, kDescriptors };

/* Runs op in a child failing at n. Bits: 1 success, 2 no failure met (the
   walk is over), 4 an unlisted code, 8 a leak; or 16 + the signal. */
int attempt(const Scenario &s, const Paths &p, Failing what, long n, int ok)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (what == kDescriptors) {
            const int fd = open("/dev/null", O_RDONLY);
            rlimit low{};
            getrlimit(RLIMIT_NOFILE, &low);
            low.rlim_cur = static_cast<rlim_t>(fd + n);
            close(fd);
            setrlimit(RLIMIT_NOFILE, &low);
        }
        const long before = gLive;
        gInjected = false, gOnce = what == kOneAllocation, gCountdown = what == kDescriptors ? -1 : n;
        const int code = s.op(p, s.arg);
        gCountdown = -1;
        const bool success = code == ok, done = what == kDescriptors ? success : !gInjected;
        _exit(success | done << 1 | (!success && !s.codes.count(code)) << 2 | (gLive != before) << 3);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 16 + WTERMSIG(status);
}

/* The files of dir, which are then replaced by `files`. */
Files reset(const std::string &dir, const Files &files)
{
    Files old;
    for (const std::string &name : entriesOf(dir)) {
        old[name] = readFile(dir + "/" + name);
        unlink((dir + "/" + name).c_str());
    }
    for (const auto &f : files)
        writeFile(dir + "/" + f.first, f.second);
    return old;
}

void walk(const Scenario &s, Failing what)
{
    TempDir d;
    const Paths p{d.path(), d.file("job.xml"), d.file("news.xml"), d.file("job.sjb")};
    reset(d.path(), s.files);
    const int ok = s.op(p, s.arg);
    const Files after = reset(d.path(), s.files);
    s.op(p, s.arg); /* a second run primes the C library's caches */
    for (long n = 0; n < 100000; ++n) {
        reset(d.path(), s.files);
        const int r = attempt(s, p, what, n, ok);
        ASSERT_LT(r, 4) << s.name << " at " << n;
        ASSERT_TRUE(reset(d.path(), {}) == (r & 1 ? after : s.files)) << s.name << " at " << n;
        if (r & 2)
            return;
    }
    FAIL() << s.name << " did not complete";
}

int labResult(const Paths &p, int k)
{
    MeasurementRequest rq{};
    rq.totalIndex = k;
    rq.labValue = 7.5f;
    rq.labTime = 1577865600;
    return k == 1 ? addMeasurementResult(p.job.c_str(), &rq) : removeMeasurementResult(p.job.c_str(), &rq);
}
int merge(const Paths &p, int) { return mergeJobFile(p.job.c_str(), p.news.c_str()); }

int jobLists(const Paths &p, int requests)
{
    JobDescrList *l = nullptr;
    qrx_Parser *h = nullptr;
    MeasurementRequestList *rq = nullptr;
    int r = createJobDescrList_Ex(p.dir.c_str(), nullptr, &l, 0);
    if (requests && r == 1)
        r = qrx_init(&h, 4) == 0 ? createMeasurementRequestList(h, l, 0, &rq) : -7;
    removeMeasurementRequestList(&rq);
    removeJobDescrList(&l);
    qrx_deinit(&h);
    return r;
}

/* The job's tree to a sensor job file, or encoded and decoded (with each job-edit flag on). */
int codec(const Paths &p, int toFile)
{
    qrx_Parser *h = nullptr;
    FILE *fp = qrx_init(&h, 4) == 0 ? fopen(p.job.c_str(), "r") : nullptr;
    int r = fp ? qrx_BuildDOMTree(h, fp) : -1;
    if (fp)
        fclose(fp);
    uint8_t buf[2048], *msg = nullptr;
    uint32_t len = sizeof buf;
    if (r == 0 && toFile)
        r = sjob_DOMTree2SensorJobFile(p.sjb.c_str(), h);
    else if (r == 0 && (r = sjob_DOMTree2Message(buf, &len, &msg, h)) == 0)
        r = sjob_Message2DOMTreeN(msg, len, h);
    for (const qrx_Element *s = r || toFile ? nullptr : h->root->children->children; s; s = s->next)
        for (const qrx_Element *m = s->children; m; m = m->next)
            if (str_equal(m->name, "lab_measurement") &&
                !(atoi(qrx_GetAttribute("done", nullptr, m, nullptr)) & 64))
                r = 99;
    qrx_deinit(&h);
    return r;
}

std::vector<Scenario> scenarios()
{
    const std::string job = sampleJob();
    const std::string news = replaced(job, "> -1.0 </lab_measurement>", "> 8.000000 </lab_measurement>");
    const std::string single = replaced(news, "job_type=\"1\"", "job_type=\"33\"");
    return {{"add", {{"job.xml", job}}, labResult, 1, {-7, -1, -6}},
            {"remove", {{"job.xml", job}}, labResult, 2, {-7, -1, -6}},
            {"merge", {{"job.xml", job}, {"news.xml", news}}, merge, 0, {-7, -1, -5, -6}},
            {"merge into no Base", {{"news.xml", news}}, merge, 0, {-7, -1, -2, -5}},
            {"merge singleton", {{"job.xml", job}, {"news.xml", single}}, merge, 0, {-7, -1, -2, -5, -6}},
            {"list", {{"a.xml", job}, {"b.xml", job}, {"c.xml", news}}, jobLists, 0, {-7, -3, -2}},
            {"requests", {{"job.xml", job}}, jobLists, 1, {-7, -6, -3, -2}},
            {"sensor job file", {{"job.xml", job}, {"job.sjb", "old"}}, codec, 1, {-1, -3}},
            {"decode with setting", {{"job.xml", job}}, codec, 0, {-1, -3, -8, -11, -12}}};
}

void walkScenario(int i, std::initializer_list<Failing> ways)
{
    setTimeZone("UTC");
    JobEditSetting on("1\n"); /* for every case */
    for (Failing way : ways)
        walk(scenarios()[static_cast<size_t>(i)], way);
}

using Resources = ::testing::TestWithParam<int>;

} // namespace

TEST_P(Resources, EveryAllocationFailureIsReported)
{
    if (!TANDEL_OWN_MALLOC)
        GTEST_SKIP() << "the sanitizer owns malloc";
    walkScenario(GetParam(), {kAllocations, kOneAllocation});
}

TEST_P(Resources, DescriptorExhaustionIsReported) { walkScenario(GetParam(), {kDescriptors}); }

INSTANTIATE_TEST_SUITE_P(Operations, Resources, ::testing::Range(0, 9));
