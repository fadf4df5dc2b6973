/*
 * Peak memory of the library's operations on the controller, for the
 * table in BENCHMARKS.md (scripts/arm-system.sh --memory runs it in the
 * emulated controller). Each case runs in a fresh process and reports
 * the process's peak resident size (VmHWM) before and after the
 * operation, so the difference is what the operation itself took.
 * Usage: memdriver make DIR     writes the inputs
 *        memdriver CASE DIR     list-small, list-large, requests, merge,
 *                               decode, print
 * Prints "memdriver: CASE GROWTH_KB PEAK_KB BOUND_KB met|missed (bound)".
 */
#include "bench_common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const int kJobs = 1000;
const int kSmallSamples = 2, kLargeSamples = 20; /* 1.9 and 17 KB a file */
const int kLabSamples = 500;                     /* two lab measurements each */
const int kDepth = 5000;

long vmHWM()
{
    FILE *fp = std::fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    while (fp && std::fgets(line, sizeof line, fp))
        if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1)
            break;
    if (fp)
        std::fclose(fp);
    return kb;
}

long fileKB(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size / 1024) : 0;
}

/* A copy through a small buffer, so that it adds nothing to the peak. */
bool copyFile(const std::string &from, const std::string &to)
{
    FILE *in = std::fopen(from.c_str(), "rb"), *out = std::fopen(to.c_str(), "wb");
    char buf[4096];
    size_t n;
    bool ok = in && out;
    while (ok && (n = std::fread(buf, 1, sizeof buf, in)) > 0)
        ok = std::fwrite(buf, 1, n, out) == n;
    if (in)
        std::fclose(in);
    if (out && std::fclose(out) != 0)
        ok = false;
    return ok;
}

void make(const std::string &dir)
{
    for (const char *sub : {"small", "large"})
        mkdir((dir + "/" + sub).c_str(), 0777);
    const std::string small = bench::jobDocument(kSmallSamples), large = bench::jobDocument(kLargeSamples);
    for (int i = 0; i < kJobs; ++i) {
        bench::writeFile(dir + "/small/job-" + std::to_string(i) + ".xml", small);
        bench::writeFile(dir + "/large/job-" + std::to_string(i) + ".xml", large);
    }
    bench::writeFile(dir + "/labs.xml", bench::jobDocument(kLabSamples));
    const std::vector<uint8_t> m = bench::largestMessage();
    bench::writeFile(dir + "/largest.msg", std::string(m.begin(), m.end()));
}

int listJobs(const std::string &dir)
{
    JobDescrList *list = nullptr;
    const int n = createJobDescrList(dir.c_str(), nullptr, &list);
    removeJobDescrList(&list);
    return n == kJobs ? 0 : 1;
}

int requests(const std::string &dir)
{
    JobDescrList *list = nullptr;
    qrx_Parser *h = nullptr;
    MeasurementRequestList *rl = nullptr;
    const bool ok = createJobDescrList_Ex(dir.c_str(), "labs.xml", &list, 0) == 1 && qrx_init(&h, 4) == 0 &&
                    createMeasurementRequestList(h, list, 0, &rl) == 2 * kLabSamples;
    removeMeasurementRequestList(&rl);
    qrx_deinit(&h);
    removeJobDescrList(&list);
    return ok ? 0 : 1;
}

int decode(const std::string &dir)
{
    uint8_t msg[2048];
    FILE *fp = std::fopen((dir + "/largest.msg").c_str(), "rb");
    const size_t n = fp ? std::fread(msg, 1, sizeof msg, fp) : 0;
    if (fp)
        std::fclose(fp);
    qrx_Parser *h = nullptr;
    const bool ok = n == 2040 && qrx_init(&h, 4) == 0 && sjob_Message2DOMTreeN(msg, static_cast<uint32_t>(n), h) == 0;
    qrx_deinit(&h);
    return ok ? 0 : 1;
}

/* A chain of kDepth elements written to /dev/null: about 25 MB of text
   (one tab more per level) that the writer never holds. */
int printDeep()
{
    qrx_Parser *h = nullptr;
    if (qrx_init(&h, kDepth) != 0)
        return 1;
    h->root = qrx_NewElement("__ROOT__", -1);
    qrx_Element *el = h->root;
    for (int i = 0; el && i < kDepth; ++i)
        el = qrx_AddElement("e", nullptr, el);
    FILE *out = std::fopen("/dev/null", "w");
    const bool ok = el && out && qrx_WriteDOMTree(h, out) > 25000000;
    if (out)
        std::fclose(out);
    qrx_deinit(&h);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: memdriver make|list-small|list-large|requests|merge|decode|print DIR\n");
        return 2;
    }
    setenv("LOGTRACE_LEVEL", "0", 1);
    const std::string what = argv[1], dir = argv[2];
    if (what == "make")
        return make(dir), 0;
    if (what == "merge" && !(copyFile(dir + "/labs.xml", dir + "/base.xml") && copyFile(dir + "/labs.xml", dir + "/news.xml")))
        return 1;
    const long before = vmHWM();
    /* Bounds: the list holds descriptors, not files (1000 of them in
       2 MB, whatever the files' sizes); a job's requests and merge hold
       its trees (under 6 heap bytes per file byte each: one tree, and
       Base, News and the merged tree); the decode and the deep print
       hold one small tree and a write block. */
    long bound = 0;
    int r = 1;
    const long labsKB = fileKB(dir + "/labs.xml");
    if (what == "list-small" || what == "list-large")
        r = listJobs(dir + "/" + what.substr(5)), bound = 2048;
    else if (what == "requests")
        r = requests(dir), bound = 6 * labsKB + 512;
    else if (what == "merge")
        r = mergeJobFile((dir + "/base.xml").c_str(), (dir + "/news.xml").c_str()) > 0 ? 0 : 1, bound = 18 * labsKB + 512;
    else if (what == "decode")
        r = decode(dir), bound = 256;
    else if (what == "print")
        r = printDeep(), bound = 2048;
    const long peak = vmHWM(), growth = peak - before;
    std::printf("memdriver: %s %ld %ld %ld %s%s\n", what.c_str(), growth, peak, bound,
                growth <= bound ? "met" : "missed", r ? " (the operation failed)" : "");
    return r || growth > bound;
}
