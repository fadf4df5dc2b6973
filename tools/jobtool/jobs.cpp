/*
 * Job directory access shared by list, requests and the lab result
 * commands.
 */
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <set>

#include "args.h"
#include "failure.h"
#include "jobname.h"
#include "jobs.h"

namespace jobtool {

/* The library's newest-first order, equal dates by file name, so the
   same directory gives the same numbers whatever order readdir returns. */
std::string jobDirectory(const std::string &dir)
{
    const size_t end = dir.find_last_not_of('/');
    return end == std::string::npos ? dir.substr(0, 1) : dir.substr(0, end + 1);
}

void loadJobs(const std::string &dir, const char *name, int minKnown, JobList *jobs)
{
    if (DIR *d = opendir(dir.c_str()))
        closedir(d);
    else
        failSys(dir);
    int n = createJobDescrList_Ex(dir.c_str(), name, &jobs->p, minKnown);
    if (n < 0)
        failLib(dir, TANDEL_JOB_LIST, n);
    std::stable_sort(jobs->p->items, jobs->p->items + n, [](const JobDescriptor *a, const JobDescriptor *b) {
        auto da = static_cast<uint32_t>(a->date), db = static_cast<uint32_t>(b->date);
        return da != db ? da > db : std::strcmp(a->filePath, b->filePath) < 0;
    });
    jobs->count = n;
}

std::string leftOutReason(const std::string &path, int minKnown)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return std::strerror(errno);
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    if (access(path.c_str(), W_OK) != 0)
        return std::string("read-only for you (") + std::strerror(errno) +
               "), and the job list opens job files for writing";
    tandel::FilePtr f(tandel::openRegularStream(path.c_str()));
    if (!f)
        return std::strerror(errno);
    const QuietTraces quiet; /* the listing traced this file's failure already */
    Parser p;
    int rc = qrx_BuildDOMTree(p.p, f.get());
    f.reset();
    if (rc < 0)
        return "does not parse: " + parseProblem(path, rc) + " (result " + std::to_string(rc) + ")";
    if (!p.top() || !str_equal(p.top()->name, "job"))
        return "not a job document";
    return "fewer than " + std::to_string(minKnown) + " of the 14 job header attributes (--min lowers it)";
}

std::vector<LeftOut> leftOutFiles(const std::string &dir, const char *only, int minKnown, const JobList &jobs)
{
    std::set<std::string> listed;
    for (int i = 0; i < jobs.count; ++i)
        listed.insert(baseName(jobs.p->items[i]->filePath));
    std::vector<LeftOut> out;
    DIR *d = opendir(dir.c_str());
    if (!d)
        failSys(dir);
    while (const dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (!tandel::isJobFileName(e->d_name) || listed.count(name) || (only && name != only))
            continue;
        out.push_back({name, ""});
    }
    closedir(d);
    std::sort(out.begin(), out.end(), [](const LeftOut &a, const LeftOut &b) { return a.name < b.name; });
    for (LeftOut &l : out)
        l.reason = leftOutReason(dir + "/" + l.name, minKnown);
    return out;
}

/* The descriptor counts attributes, not elements. */
int labTotal(JobDescrList *jobs, int index)
{
    Parser p;
    RequestList r;
    return createMeasurementRequestList(p.p, jobs, index, &r.p);
}

int minKnownOf(const std::string &min, int fallback)
{
    return !min.empty() ? static_cast<int>(parseLong(min, "--min", 0, 14)) : fallback;
}

void refuseStdin(const std::string &path, const char *why)
{
    if (path == "-")
        throw UsageError{std::string("'-' (standard input) cannot be used here: ") + why};
}

std::string loadRequests(const std::vector<std::string> &pos, const std::string &min, Parser &p, JobList *jobs,
                         RequestList *reqs)
{
    refuseStdin(pos[0], "the job is read through the job directory functions, which need a file");
    int index = 0;
    if (pos.size() == 2) {
        index = static_cast<int>(parseLong(pos[1], "INDEX", 0, INT_MAX));
        loadJobs(jobDirectory(pos[0]), nullptr, minKnownOf(min, 13), jobs);
        if (index >= jobs->count)
            fail(pos[0] + ": no job " + std::to_string(index) + " (the directory lists " +
                 std::to_string(jobs->count) + ")");
    } else {
        struct stat st {};
        if (stat(pos[0].c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            throw UsageError{pos[0] + " is a directory: give the INDEX of a job ('jobtool list " + pos[0] +
                             "')"};
        openRegularInput(pos[0]); /* absent, unreadable or no regular file: said as such */
        const std::string dir = tandel::directoryOf(pos[0].c_str()), name = baseName(pos[0]);
        loadJobs(dir, name.c_str(), minKnownOf(min, 0), jobs);
        if (jobs->count == 0)
            fail(pos[0] + ": not a job file: " +
                 (!tandel::isJobFileName(name.c_str())
                      ? std::string("the name does not end in .xml")
                      : leftOutReason(pos[0], minKnownOf(min, 0))));
    }
    std::string path = jobs->p->items[index]->filePath;
    int n = createMeasurementRequestList(p.p, jobs->p, index, &reqs->p);
    if (n < 0)
        failLib(path, TANDEL_JOB_REQUESTS, n);
    if (!p.top() || !str_equal(p.top()->name, "job"))
        fail(path + ": not a job document (its top element is '" + (p.top() ? p.top()->name : "") + "')");
    return path;
}

} // namespace jobtool
