/*
 * powercut - writer and checker of the power-cut runs on the emulated
 * controller (scripts/powercut.sh). A seeded sequence of operations on a
 * job directory: lab results entered and taken back, new versions
 * delivered as News files and merged. The state after any number of
 * operations follows from the seed alone, so after a cut the files can
 * be judged without trusting the disk.
 *
 * Usage: powercut SEED DIR DONE NEWS [check]
 *   DONE: operations reported complete before the cut ("done K" lines
 *   seen); NEWS 1: the News of operation DONE was reported written.
 *   Checks DIR/jobs and DIR/news, prints one "powercut: PROBLEM ..." line
 *   per fault (LOST, TORN, NEWS, TEMP), finishes the operation in flight
 *   as a controller would (a News still there is merged), then writes on
 *   until killed, printing "powercut: news K" and "powercut: done K" as
 *   each step completes. With "check" it stops after the check.
 */
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TandelCntrl.h"

namespace {

const int kJobs = 3;
const int kSamples = 12;
const int kLabs = 2 * kSamples;
const uint32_t kLabTime = 1700000000;

/* A job as the operations leave it: its version (the first process
   value) and, per lab measurement, 0 or 1 + the operation that entered it. */
struct Job {
    int version = 1;
    int lab[kLabs] = {};
    bool operator==(const Job &o) const { return version == o.version && !memcmp(lab, o.lab, sizeof lab); }
};
struct State {
    Job job[kJobs];
};
enum Kind { kAdd, kRemove, kMerge };
struct Op {
    Kind kind;
    int job;
    int index;
};

uint64_t mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

/* Operation k in state s: half entries, a quarter removals (of an
   entered result; an entry where none is), a quarter merges. */
Op opAt(uint64_t seed, int k, const State &s)
{
    const uint64_t r = mix(seed * 1000003u + static_cast<uint64_t>(k));
    Op op{kAdd, static_cast<int>(r % kJobs), static_cast<int>((r >> 8) % kLabs)};
    const int kind = static_cast<int>((r >> 20) % 4);
    if (kind == 3)
        op.kind = kMerge;
    if (kind == 2) {
        for (int i = 0; i < kLabs; ++i) {
            const int at = (op.index + i) % kLabs;
            if (s.job[op.job].lab[at]) {
                op.kind = kRemove;
                op.index = at;
                break;
            }
        }
    }
    return op;
}

void apply(State &s, int k, const Op &op)
{
    Job &j = s.job[op.job];
    if (op.kind == kAdd)
        j.lab[op.index] = k + 1;
    else if (op.kind == kRemove)
        j.lab[op.index] = 0;
    else
        ++j.version;
}

float valueOf(int k) { return static_cast<float>(k) + 0.25f; }

void say(const char *format, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    dprintf(1, "powercut: %s\n", line);
}

std::string jobName(int j) { return "job-" + std::to_string(j) + ".xml"; }

/* The document of job j at version v, with no results (News carry none:
   the results stay Base's). */
std::string document(int j, int version, bool withLabs)
{
    std::string d = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<job job_id=\"" + std::to_string(100 + j) +
                    "\" date=\"2024-03-04T08:15:00+0100\" job_type=\"1\" job_handling=\"32\" requested_samples=\"" +
                    std::to_string(kSamples) + "\" contained_samples=\"" + std::to_string(kSamples) + "\">\n";
    for (int n = 0; n < kSamples; ++n) {
        d += "\t<sample number=\"" + std::to_string(n) + "\" date=\"2024-03-04T09:00:00+0100\">\n";
        for (int i = 0; i < 2; ++i) {
            d += "\t\t<process_measurement index=\"" + std::to_string(i) + "\" data_type=\"16\"> " +
                 std::to_string(version) + ".000000 </process_measurement>\n";
            if (withLabs)
                d += "\t\t<lab_measurement index=\"" + std::to_string(i) + "\" done=\"0\"> -1.0 </lab_measurement>\n";
        }
        d += "\t</sample>\n";
    }
    return d + "</job>\n";
}

void syncDir(const std::string &dir)
{
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    fsync(fd);
    close(fd);
}

/* The harness's own deliveries: temporary, fsync, rename, directory fsync. */
bool deliver(const std::string &dir, const std::string &name, const std::string &text)
{
    const std::string tmp = dir + "/.delivery", path = dir + "/" + name;
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                    fsync(fd) == 0 && close(fd) == 0 && rename(tmp.c_str(), path.c_str()) == 0;
    syncDir(dir);
    return ok;
}

/* Reads a job file through the library's listing and requests. */
bool readJob(const std::string &dir, int j, Job *out)
{
    JobDescrList *list = nullptr;
    bool ok = createJobDescrList_Ex(dir.c_str(), jobName(j).c_str(), &list, 0) == 1;
    qrx_Parser *h = nullptr;
    MeasurementRequestList *rl = nullptr;
    ok = ok && qrx_init(&h, 4) == 0 && createMeasurementRequestList(h, list, 0, &rl) == kLabs;
    for (int i = 0; ok && i < kLabs; ++i) {
        const MeasurementRequest *rq = rl->items[i];
        out->lab[i] = (rq->done & 63) == 1 ? static_cast<int>(rq->labValue - 0.25f) + 1 : 0;
        if (i == 0)
            out->version = static_cast<int>(rq->processValue);
    }
    removeMeasurementRequestList(&rl);
    qrx_deinit(&h);
    removeJobDescrList(&list);
    return ok;
}

/* Version of a News file (its first process value); 0 when absent. */
int newsVersion(const std::string &path)
{
    FILE *fp = fopen(path.c_str(), "r");
    if (!fp)
        return 0;
    char text[4096];
    text[fread(text, 1, sizeof text - 1, fp)] = '\0';
    fclose(fp);
    const char *p = strstr(text, "<process_measurement");
    p = p ? strchr(p, '>') : nullptr;
    return p ? atoi(p + 1) : -1;
}

std::vector<std::string> strays(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) {
            const std::string n = e->d_name;
            bool job = false;
            for (int j = 0; j < kJobs; ++j)
                job = job || n == jobName(j);
            if (n != "." && n != ".." && !job)
                names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

struct Run {
    uint64_t seed;
    std::string jobs, news;
    std::vector<State> after; /* after[k]: the state after k operations */

    State stateAfter(int k) /* a copy: later states may move the vector */
    {
        while (static_cast<int>(after.size()) <= k) {
            State s = after.back();
            const int n = static_cast<int>(after.size()) - 1;
            apply(s, n, opAt(seed, n, s));
            after.push_back(s);
        }
        return after[static_cast<size_t>(k)];
    }
    Op op(int k) { return opAt(seed, k, stateAfter(k)); }
    std::string newsPath(int j) const { return news + "/" + jobName(j); }

    /* Carries out operation k; false (and says why) when the library fails. */
    bool perform(int k)
    {
        const Op o = op(k);
        const std::string path = jobs + "/" + jobName(o.job);
        int r;
        if (o.kind == kMerge) {
            if (!deliver(news, jobName(o.job), document(o.job, stateAfter(k).job[o.job].version + 1, false))) {
                say("FAIL News of operation %d not written", k);
                return false;
            }
            say("news %d", k);
            r = mergeJobFile(path.c_str(), newsPath(o.job).c_str());
        } else {
            MeasurementRequest rq{};
            rq.totalIndex = o.index;
            rq.labValue = valueOf(k);
            rq.labTime = kLabTime;
            r = o.kind == kAdd ? addMeasurementResult(path.c_str(), &rq) : removeMeasurementResult(path.c_str(), &rq);
        }
        if (r < 0) {
            say("FAIL operation %d (kind %d, %s) gave %d", k, o.kind, path.c_str(), r);
            return false;
        }
        say("done %d", k);
        return true;
    }

    /* Judges the files after done reported operations; the number of
       operations the disk holds (done or done + 1), -1 when it holds no
       state the operations make. */
    int check(int done, bool newsReported, int *problems)
    {
        const Op flying = op(done);
        int holds = done;
        for (int j = 0; j < kJobs; ++j) {
            Job got;
            const Job before = stateAfter(done).job[j], later = stateAfter(done + 1).job[j];
            if (!readJob(jobs, j, &got)) {
                say("TORN %s does not read as a job", jobName(j).c_str());
                ++*problems;
                holds = -1;
                continue;
            }
            if (got == before)
                continue;
            if (flying.job == j && got == later) {
                holds = holds < 0 ? holds : done + 1;
                continue;
            }
            int older = done - 1;
            while (older >= 0 && !(stateAfter(older).job[j] == got))
                --older;
            say(older >= 0 ? "LOST %s holds the state after %d operations, %d were reported"
                           : "TORN %s holds no state the operations make (%d reported)",
                jobName(j).c_str(), older >= 0 ? older : done, done);
            ++*problems;
            holds = -1;
        }
        for (int j = 0; j < kJobs; ++j) {
            const int v = newsVersion(newsPath(j));
            const bool mine = flying.kind == kMerge && flying.job == j;
            const int expected = stateAfter(done).job[j].version + 1;
            if (v != 0 && !(mine && v == expected)) {
                say("NEWS %s of version %d is there, its merge was reported", newsPath(j).c_str(), v);
                ++*problems;
            }
            if (v == 0 && mine && newsReported && holds == done) {
                say("LOST the News of operation %d: reported written, neither there nor merged", done);
                ++*problems;
            }
        }
        return holds;
    }
};

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: powercut SEED DIR DONE NEWS [check]\n");
        return 2;
    }
    setenv("LOGTRACE_LEVEL", "2", 0);
    Run run{strtoull(argv[1], nullptr, 10), std::string(argv[2]) + "/jobs", std::string(argv[2]) + "/news", {State{}}};
    const int done = atoi(argv[3]);
    const bool checkOnly = argc > 5 && !strcmp(argv[5], "check");
    int problems = 0, next = done;
    if (done == 0 && access(run.jobs.c_str(), F_OK) != 0) {
        mkdir(run.jobs.c_str(), 0777);
        mkdir(run.news.c_str(), 0777);
        syncDir(argv[2]);
        for (int j = 0; j < kJobs; ++j)
            deliver(run.jobs, jobName(j), document(j, 1, true));
        say("started %s", run.jobs.c_str());
    } else {
        const std::vector<std::string> left = strays(run.jobs);
        next = run.check(done, atoi(argv[4]) != 0, &problems);
        say("checked: %d reported, the disk holds %d, %d problems, %zu other files", done, next, problems,
            left.size());
        if (next < 0)
            return 1;
        /* The operation in flight ends as on a controller: a News that
           is still there is merged (again). */
        const Op flying = run.op(done);
        if (flying.kind == kMerge && newsVersion(run.newsPath(flying.job)) != 0 && !checkOnly) {
            const std::string base = run.jobs + "/" + jobName(flying.job);
            if (mergeJobFile(base.c_str(), run.newsPath(flying.job).c_str()) < 0)
                return say("FAIL merge of the News left in flight"), 1;
            next = done + 1;
        }
        if (next > done && !checkOnly)
            say("done %d", done);
    }
    if (checkOnly)
        return problems ? 1 : 0;
    say("writing from operation %d (pid %d)", next, static_cast<int>(getpid()));
    for (int k = next;; ++k) {
        if (!run.perform(k))
            return 1;
        /* The first write after a cut sweeps what a killed writer left. */
        if (k == next)
            for (const std::string &name : strays(run.jobs))
                say("TEMP %s/%s is still there after a write", run.jobs.c_str(), name.c_str());
    }
}
