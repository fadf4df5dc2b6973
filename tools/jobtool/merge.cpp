/*
 * merge: a newly received version of a job folded into the stored job
 * file, or a dry run that tells what the merge would do.
 */
#include <dirent.h>
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
#include "requests.h"
#include "show.h"

namespace jobtool {

namespace {

constexpr int kProcessBitKill = 0x100;
constexpr int kJobTypeSingleton = 0x20;

struct MergeOptions {
    std::vector<std::string> pos;
    bool force = false, dryRun = false;
};

/* Reads a job file whole into bytes and a tree, refusing what is not a
   regular file rather than waiting on it. */
std::string readTree(const std::string &path, Parser &p)
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
    return bytes;
}

const qrx_Element *childWith(const qrx_Element *parent, const char *name, const char *attr, int number)
{
    const std::string want = std::to_string(number);
    for (const qrx_Element *c = parent ? parent->children : nullptr; c; c = c->next)
        if (str_equal(c->name, name) && str_equal(qrx_GetAttribute(attr, nullptr, c, nullptr), want.c_str()))
            return c;
    return nullptr;
}

int attrInt(const qrx_Element *e, const char *name)
{
    const char *v = e ? qrx_GetAttribute(name, nullptr, e, nullptr) : nullptr;
    int n = 0;
    return v && std::sscanf(v, "%d", &n) == 1 ? n : 0;
}

/* What mergeJobFile would do with these two trees, in its own order. */
void describeMerge(const std::string &basePath, const Parser &base, const std::string &newsPath,
                   const Parser &news)
{
    if (attrInt(news.top(), "job_handling") & kProcessBitKill) {
        std::printf("would delete %s: NEWS job_handling has bit 0x100 (kill); %s kept\n", basePath.c_str(),
                    newsPath.c_str());
        return;
    }
    if (attrInt(news.top(), "job_type") & kJobTypeSingleton) {
        std::printf("would replace %s with a copy of %s (NEWS job_type has bit 0x20) and delete %s\n",
                    basePath.c_str(), newsPath.c_str(), newsPath.c_str());
        return;
    }
    int samples = 0, measurements = 0;
    for (int number = 0;; ++number) {
        const qrx_Element *bs = childWith(base.top(), "sample", "number", number);
        const qrx_Element *ns = childWith(news.top(), "sample", "number", number);
        if (!bs && !ns)
            break;
        bool counted = false;
        for (int index = 0;; ++index) {
            const qrx_Element *bp = childWith(bs, "process_measurement", "index", index);
            const qrx_Element *np = childWith(ns, "process_measurement", "index", index);
            const qrx_Element *bl = childWith(bs, "lab_measurement", "index", index);
            const qrx_Element *nl = childWith(ns, "lab_measurement", "index", index);
            if (!bp && !np && !bl && !nl)
                break;
            samples += !counted;
            counted = true;
            std::string line = "sample " + std::to_string(number) + " index " + std::to_string(index) + ":";
            if (bp || np)
                line += std::string(" process from ") + (bp ? "BASE" : "NEWS") +
                        (bp && np && np->value ? " with NEWS's value" : "");
            const qrx_Element *lab = nl ? nl : bl;
            if (lab)
                line += std::string(", lab from ") + (nl ? "NEWS" : "BASE") +
                        (str_equal(qrx_GetAttribute("done", nullptr, lab, nullptr), "4")
                             ? " (done 4: reset to open)"
                             : "");
            measurements += (bp || np) + (lab != nullptr);
            std::printf("%s\n", line.c_str());
        }
    }
    std::printf("would write %s in %s to %s and delete %s\n",
                plural(measurements, "measurement", "measurements").c_str(),
                plural(samples, "sample", "samples").c_str(), basePath.c_str(), newsPath.c_str());
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

/* A private directory for a trial merge, removed with what is in it. */
class ScratchDir {
public:
    ScratchDir()
    {
        const char *tmp = std::getenv("TMPDIR");
        std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/jobtool-merge.XXXXXX";
        if (mkdtemp(&name[0]))
            path_ = name;
    }
    ~ScratchDir()
    {
        if (path_.empty())
            return;
        if (DIR *d = opendir(path_.c_str())) {
            while (const dirent *e = readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    unlinkat(dirfd(d), e->d_name, 0);
            closedir(d);
        }
        rmdir(path_.c_str());
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

/* Copies bytes to a new file; false with errno. */
bool writeCopy(const std::string &path, const std::string &bytes)
{
    tandel::FilePtr f(std::fopen(path.c_str(), "wbx"));
    return f && std::fwrite(bytes.data(), 1, bytes.size(), f.get()) == bytes.size() && std::fflush(f.get()) == 0;
}

bool entered(const qrx_Element *lab)
{
    const char *done = qrx_GetAttribute("done", nullptr, lab, nullptr);
    return done && (std::atoi(done) & 0x3F) == 1;
}

/* Whether the merged document keeps the entered result lab of the
   sample numbered number as it is. */
bool kept(const qrx_Element *mergedJob, const char *number, const qrx_Element *lab)
{
    const char *index = qrx_GetAttribute("index", nullptr, lab, nullptr);
    const qrx_Element *sample = nullptr;
    for (const qrx_Element *c = mergedJob ? mergedJob->children : nullptr; c && !sample; c = c->next)
        if (str_equal(c->name, "sample") && str_equal(qrx_GetAttribute("number", nullptr, c, nullptr), number))
            sample = c;
    for (const qrx_Element *m = sample ? sample->children : nullptr; m; m = m->next)
        if (str_equal(m->name, "lab_measurement") && str_equal(qrx_GetAttribute("index", nullptr, m, nullptr), index))
            return str_equal(m->value, lab->value) && entered(m) &&
                   str_equal(qrx_GetAttribute("lab_time", nullptr, m, nullptr),
                             qrx_GetAttribute("lab_time", nullptr, lab, nullptr));
    return false;
}

bool anyEntered(const Parser &base)
{
    for (const qrx_Element *s = base.top()->children; s; s = s->next)
        for (const qrx_Element *m = str_equal(s->name, "sample") ? s->children : nullptr; m; m = m->next)
            if (str_equal(m->name, "lab_measurement") && entered(m))
                return true;
    return false;
}

/* "sample N index I (VALUE UNIT, lab time T)" of an entered result. */
std::string resultName(const char *number, const qrx_Element *lab)
{
    const char *unit = qrx_GetAttribute("lab_unit", nullptr, lab, nullptr);
    return std::string("sample ") + number + " index " + orDash(qrx_GetAttribute("index", nullptr, lab, nullptr)) +
           " (" + storedValue(lab->value ? std::strtof(lab->value, nullptr) : 0.0f) +
           (unit && *unit ? std::string(" ") + unit : "") + ", lab time " + labTime(lab, "%Y-%m-%d %H:%M") + ")";
}

/* The results entered in BASE that the merge would not keep as they
   are. The library itself merges copies of both files in a directory of
   jobtool's own, so this is always the library's rule; a kill order,
   which deletes the job as NEWS asks, replaces nothing. */
std::vector<std::string> replacedResults(const Parser &base, const std::string &newsBytes,
                                         const std::string &baseBytes)
{
    std::vector<std::string> replaced;
    if (!anyEntered(base))
        return replaced;
    ScratchDir dir;
    const std::string b = dir.path() + "/base.xml", n = dir.path() + "/news.xml";
    if (dir.path().empty() || !writeCopy(b, baseBytes) || !writeCopy(n, newsBytes))
        fail(std::string("cannot try the merge on copies to see which entered results it would keep: ") +
             std::strerror(errno) + " (--force merges without asking)");
    int rc;
    {
        const QuietTraces quiet; /* the real merge traces for itself */
        rc = mergeJobFile(b.c_str(), n.c_str());
    }
    struct stat st {};
    if (rc < 0 || stat(b.c_str(), &st) != 0)
        return replaced; /* the real merge tells its failure; a kill deletes the job */
    Parser merged;
    tandel::FilePtr f(tandel::openRegularStream(b.c_str()));
    if (!f || qrx_BuildDOMTree(merged.p, f.get()) < 0)
        return replaced;
    for (const qrx_Element *s = base.top()->children; s; s = s->next) {
        const char *number = qrx_GetAttribute("number", nullptr, s, nullptr);
        for (const qrx_Element *m = str_equal(s->name, "sample") && number ? s->children : nullptr; m; m = m->next)
            if (str_equal(m->name, "lab_measurement") && entered(m) && !kept(merged.top(), number, m))
                replaced.push_back(resultName(number, m));
    }
    return replaced;
}

/* Whether path names a file, and which. */
bool fileAt(const std::string &path, struct stat *st) { return stat(path.c_str(), st) == 0; }

/* What the merge did, seen from the files it left: the library's result
   is 0 for a merge with nothing measured and for each short-cut alike. */
std::string mergeOutcome(int rc, const std::string &basePath, bool baseExisted, const std::string &newsPath,
                         const std::string &newsBytes)
{
    struct stat st {};
    if (!fileAt(basePath, &st))
        return basePath + ": deleted by the kill order of " + newsPath + " (job_handling bit 0x100); " +
               newsPath + " kept";
    if (!baseExisted)
        return basePath + ": created as a copy of " + newsPath;
    if (rc == 0 && readAll(basePath) == newsBytes)
        return basePath + ": replaced by a copy of " + newsPath + " (job_type bit 0x20)";
    return basePath + ": " + plural(rc, "measurement", "measurements");
}

int runMerge(Tool &tool, const MergeOptions &o)
{
    const std::string &basePath = o.pos[0], &newsPath = o.pos[1];
    refuseStdin(basePath, "BASE is rewritten in place");
    refuseStdin(newsPath, "NEWS is deleted after the merge");
    struct stat newsSt {}, st{};
    if (!fileAt(newsPath, &newsSt))
        failSys(newsPath);
    const bool baseExists = fileAt(basePath, &st);
    if (!baseExists && errno != ENOENT)
        failSys(basePath);
    if (tandel::sameFile(basePath.c_str(), newsPath.c_str()))
        fail(basePath + " and " + newsPath + " are the same file: merging would delete it");
    Parser base, news;
    const std::string newsBytes = readTree(newsPath, news);
    std::vector<std::string> replaced;
    if (baseExists) {
        const std::string baseBytes = readTree(basePath, base);
        const char *bid = qrx_GetAttribute("job_id", nullptr, base.top(), nullptr);
        const char *nid = qrx_GetAttribute("job_id", nullptr, news.top(), nullptr);
        if (!str_equal(bid, nid) && !o.force)
            fail(basePath + " is job " + (bid ? bid : "(none)") + ", " + newsPath + " is job " +
                 (nid ? nid : "(none)") + ": not merged (--force merges them all the same)");
        replaced = replacedResults(base, newsBytes, baseBytes);
    }
    std::string list;
    for (const std::string &r : replaced)
        list += (list.empty() ? "" : ", ") + r;
    if (!replaced.empty() && !o.force && !o.dryRun)
        fail(basePath + ": " + newsPath + " would replace the entered lab result" + (replaced.size() > 1 ? "s " : " ") +
             "of " + list + ": not merged (--force merges all the same)");
    if (o.dryRun) {
        if (!baseExists)
            std::printf("%s does not exist: would copy %s to it and delete %s\n", basePath.c_str(),
                        newsPath.c_str(), newsPath.c_str());
        else
            describeMerge(basePath, base, newsPath, news);
        for (const std::string &r : replaced)
            std::printf("would replace the entered lab result of %s\n", r.c_str());
        std::printf("dry run: no file changed\n");
        return kOk;
    }
    errno = 0;
    int rc = mergeJobFile(basePath.c_str(), newsPath.c_str());
    const int err = errno;
    if (rc < 0)
        failLib(mergeSubject(rc, basePath, newsPath), TANDEL_MERGE, rc,
                rc == MERGE_BASE_UNWRITABLE ? writeReason(basePath, err) : "");
    const std::string outcome = mergeOutcome(rc, basePath, baseExists, newsPath, newsBytes);
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

extern const Command kMerge = {"merge", "BASE.xml NEWS [--dry-run] [--force]", nullptr,
                               "fold a new job version into the stored one",
                               "Folds a newly received version of a job (NEWS) into the stored job\n"
                               "file (BASE) and deletes NEWS. Lab results entered in BASE survive\n"
                               "unless NEWS carries its own lab measurement (even an open one), or\n"
                               "NEWS replaces BASE whole (job_type bit 0x20). Refused: BASE and NEWS\n"
                               "the same file, a FIFO or other file that is not regular, and unless\n"
                               "--force two different job_ids and a merge that would replace results\n"
                               "entered in BASE (each is named: sample, index, value, lab time; the\n"
                               "library merges copies in $TMPDIR or /tmp to find them). --dry-run\n"
                               "tells which measurements would be merged from where, or which\n"
                               "short-cut applies (kill, copy), names the entered results it would\n"
                               "replace, and changes no file. The outcome is printed: the\n"
                               "measurements merged, BASE created or replaced by a copy of NEWS, or\n"
                               "BASE deleted by NEWS's kill order (NEWS kept). Exit status 1 when\n"
                               "NEWS should have been deleted and was not.\n",
                               defineMerge};

} // namespace jobtool
