/*
 * merge: a newly received version of a job folded into the stored job
 * file, or a dry run that tells what the merge would do. Both go by the
 * library's merge plan (internal/mergeplan.h, compiled in), so the dry
 * run and the refusals describe the very merge the library performs.
 */
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "args.h"
#include "command.h"
#include "failure.h"
#include "io.h"
#include "jobs.h"
#include "mergeplan.h"
#include "requests.h"
#include "show.h"

namespace jobtool {

namespace {

using tandel::MergePlan;

struct MergeOptions {
    std::vector<std::string> pos;
    bool force = false, dryRun = false;
};

/* Reads a job file whole into a tree, refusing what is not a regular
   file rather than waiting on it. */
void readTree(const std::string &path, Parser &p)
{
    tandel::FilePtr f = openRegularInput(path);
    std::string bytes;
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0)
        bytes.append(buf, n);
    if (std::ferror(f.get()))
        failSys(path);
    if (bytes.empty())
        fail(path + ": not a job document (the file is empty)");
    tandel::FilePtr text(fmemopen(&bytes[0], bytes.size(), "r"));
    if (!text)
        failSys(path);
    int rc = qrx_BuildDOMTree(p.p, text.get());
    if (rc < 0)
        failResult(path + ": " + parseProblem(path, rc), rc);
    if (!p.top() || !str_equal(p.top()->name, "job"))
        fail(path + ": not a job document");
}

const char *attr(const qrx_Element *e, const char *name)
{
    return e ? qrx_GetAttribute(name, nullptr, e, nullptr) : nullptr;
}

/* Why the plan refuses, as jobtool says it. */
std::string refusal(const MergePlan &plan, const std::string &basePath, const std::string &newsPath)
{
    if (plan.refusal == MERGE_SAME_FILE)
        return basePath + " and " + newsPath + " are the same file: merging would delete it";
    if (plan.refusal == MERGE_OTHER_JOB)
        return basePath + " is job " + attr(plan.baseJob, "job_id") + ", " + newsPath + " is job " +
               attr(plan.newsJob, "job_id") + ": not merged";
    return basePath + " and " + newsPath + ": " + tandel_errstr(TANDEL_MERGE, plan.refusal);
}

/* "sample N index I: process from BASE with NEWS's value, lab from NEWS" */
std::string placeLine(const MergePlan::Sample &s, const MergePlan::Place &at)
{
    std::string what;
    if (at.process())
        what += std::string(" process from ") + (at.baseProcess ? "BASE" : "NEWS") +
                (at.processTextFromNews() ? " with NEWS's value" : "");
    if (at.lab())
        what += std::string(what.empty() ? " " : ", ") + "lab from " + (at.newsLab ? "NEWS" : "BASE") +
                (at.labReopened() ? " (done 4: reset to open)" : "");
    return "sample " + std::to_string(s.number) + " index " + std::to_string(at.index) + ":" + what;
}

/* What the plan would do, one line per merged place. */
void describePlan(const MergePlan &plan, const std::string &basePath, const std::string &newsPath)
{
    const char *base = basePath.c_str(), *news = newsPath.c_str();
    switch (plan.action) {
    case MergePlan::Action::Create:
        std::printf("%s does not exist: would copy %s to it and delete %s\n", base, news, news);
        break;
    case MergePlan::Action::Kill:
        std::printf("would delete %s: NEWS job_handling has bit 0x100 (kill); %s kept\n", base, news);
        break;
    case MergePlan::Action::Copy:
        std::printf("would replace %s with a copy of %s (NEWS job_type has bit 0x20) and delete %s\n", base,
                    news, news);
        break;
    case MergePlan::Action::Merge:
        for (const MergePlan::Sample &s : plan.samples)
            for (const MergePlan::Place &at : s.places)
                std::printf("%s\n", placeLine(s, at).c_str());
        std::printf("would write %s in %s to %s and delete %s\n",
                    plural(plan.measurements(), "measurement", "measurements").c_str(),
                    plural(static_cast<long>(plan.samples.size()), "sample", "samples").c_str(), base, news);
        break;
    case MergePlan::Action::Refuse:
        break;
    }
}

/* "sample N index I (VALUE UNIT, lab time T)" of an entered result. */
std::string resultName(const MergePlan::Replaced &r)
{
    const char *unit = attr(r.lab, "lab_unit");
    return "sample " + orDash(attr(r.sample, "number")) + " index " + orDash(attr(r.lab, "index")) + " (" +
           storedValue(r.lab->value ? std::strtof(r.lab->value, nullptr) : 0.0f) +
           (unit && *unit ? std::string(" ") + unit : "") + ", lab time " + labTime(r.lab, "%Y-%m-%d %H:%M") +
           ")";
}

/* The file a merge result speaks of. */
std::string mergeSubject(int rc, const std::string &basePath, const std::string &newsPath)
{
    if (rc == MERGE_NEWS_UNREADABLE)
        return newsPath;
    if (rc == MERGE_BASE_UNREADABLE || rc == MERGE_BASE_UNWRITABLE)
        return basePath;
    return basePath + " and " + newsPath;
}

/* What the merge did: the library's result is 0 for a merge with
   nothing measured and for each short-cut alike, the plan tells which. */
std::string mergeOutcome(const MergePlan &plan, int rc, const std::string &basePath,
                         const std::string &newsPath)
{
    switch (plan.action) {
    case MergePlan::Action::Kill:
        return basePath + ": deleted by the kill order of " + newsPath + " (job_handling bit 0x100); " +
               newsPath + " kept";
    case MergePlan::Action::Create:
        return basePath + ": created as a copy of " + newsPath;
    case MergePlan::Action::Copy:
        return basePath + ": replaced by a copy of " + newsPath + " (job_type bit 0x20)";
    default:
        return basePath + ": " + plural(rc, "measurement", "measurements");
    }
}

/* Whether path names a file, and which. */
bool fileAt(const std::string &path, struct stat *st) { return stat(path.c_str(), st) == 0; }

/* The library's plan for BASE and NEWS as they are now; refusals and
   files that do not read end jobtool here. */
MergePlan planFor(const std::string &basePath, bool baseExists, const std::string &newsPath, Parser &base,
                  Parser &news)
{
    if (tandel::sameFile(basePath.c_str(), newsPath.c_str()))
        return tandel::planMerge(true, nullptr, nullptr);
    readTree(newsPath, news);
    if (baseExists)
        readTree(basePath, base);
    return tandel::planMerge(false, baseExists ? base.p->root : nullptr, news.p->root);
}

/* jobtool's own caution beyond the library's rule, which merges a job
   without job_id into any and reads "042" as 42: --force merges them. */
void refuseUnlikeIds(const MergePlan &plan, const MergeOptions &o)
{
    const char *bid = attr(plan.baseJob, "job_id"), *nid = attr(plan.newsJob, "job_id");
    if (plan.baseJob && !str_equal(bid, nid) && !o.force)
        fail(o.pos[0] + " is job " + (bid ? bid : "(none)") + ", " + o.pos[1] + " is job " +
             (nid ? nid : "(none)") + ": not merged (--force merges them all the same)");
}

int runMerge(Tool &tool, const MergeOptions &o)
{
    const std::string &basePath = o.pos[0], &newsPath = o.pos[1];
    refuseStdin(basePath, "BASE is rewritten in place");
    refuseStdin(newsPath, "NEWS is deleted after the merge");
    struct stat newsSt {
    }, st{};
    if (!fileAt(newsPath, &newsSt))
        failSys(newsPath);
    const bool baseExists = fileAt(basePath, &st);
    if (!baseExists && errno != ENOENT)
        failSys(basePath);
    Parser base, news;
    const MergePlan plan = planFor(basePath, baseExists, newsPath, base, news);
    if (plan.action == MergePlan::Action::Refuse)
        fail(refusal(plan, basePath, newsPath));
    refuseUnlikeIds(plan, o);
    std::string list;
    for (const MergePlan::Replaced &r : plan.replaced)
        list += (list.empty() ? "" : ", ") + resultName(r);
    if (!plan.replaced.empty() && !o.force && !o.dryRun)
        fail(basePath + ": " + newsPath + " would replace the entered lab result" +
             (plan.replaced.size() > 1 ? "s " : " ") + "of " + list +
             ": not merged (--force merges all the same)");
    if (o.dryRun) {
        describePlan(plan, basePath, newsPath);
        for (const MergePlan::Replaced &r : plan.replaced)
            std::printf("would replace the entered lab result of %s\n", resultName(r).c_str());
        std::printf("dry run: no file changed\n");
        return kOk;
    }
    errno = 0;
    int rc = mergeJobFile(basePath.c_str(), newsPath.c_str());
    const int err = errno;
    if (rc < 0)
        failLib(mergeSubject(rc, basePath, newsPath), TANDEL_MERGE, rc,
                rc == MERGE_BASE_UNWRITABLE ? writeReason(basePath, err) : "");
    const std::string outcome = mergeOutcome(plan, rc, basePath, newsPath);
    tool.changed(outcome);
    std::printf("%s\n", outcome.c_str());
    if (fileAt(basePath, &st) && fileAt(newsPath, &st)) {
        const bool same = st.st_dev == newsSt.st_dev && st.st_ino == newsSt.st_ino;
        const std::string dir = tandel::directoryOf(newsPath.c_str());
        const std::string why = access(dir.c_str(), W_OK) != 0 ? dir + ": " + std::strerror(errno) : "";
        fail(newsPath + " was not deleted" +
             (same ? (why.empty() ? "" : ": " + why) : ": a newer file took its place and was kept") +
             "; merge it again or delete it");
    }
    return kOk;
}

Run defineMerge(CLI::App &sub)
{
    auto o = std::make_shared<MergeOptions>();
    positionals(sub, "BASE NEWS", o->pos, 2, 2);
    flag(sub, "--force", o->force);
    flag(sub, "--dry-run", o->dryRun);
    return [o](Tool &tool) { return runMerge(tool, *o); };
}

} // namespace

extern const Command kMerge = {"merge",
                               "BASE.xml NEWS [--dry-run] [--force]",
                               nullptr,
                               "fold a new job version into the stored one",
                               "Folds a newly received version of a job (NEWS) into the stored job\n"
                               "file (BASE) and deletes NEWS. Lab results entered in BASE survive\n"
                               "unless NEWS carries its own lab measurement (even an open one), or\n"
                               "NEWS replaces BASE whole (job_type bit 0x20). Refused: BASE and NEWS\n"
                               "the same file, two different job_ids, a FIFO or other file that is\n"
                               "not regular, and unless --force a job_id that only one has or that\n"
                               "is written otherwise (042 and 42) and a merge that would replace\n"
                               "results entered in BASE (each is named: sample, index, value, lab\n"
                               "time). --dry-run prints the library's plan: which measurements\n"
                               "would be merged from where, or which short-cut applies (kill,\n"
                               "copy), the entered results it would replace; it changes no file.\n"
                               "The outcome is printed: the measurements merged, BASE created or\n"
                               "replaced by a copy of NEWS, or BASE deleted by NEWS's kill order\n"
                               "(NEWS kept). Exit status 1 when NEWS should have been deleted and\n"
                               "was not.\n",
                               defineMerge};

} // namespace jobtool
