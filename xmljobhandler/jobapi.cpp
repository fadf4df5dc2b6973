/*
 * jobapi.cpp - operations on the job files of a job directory.
 *
 * Tree lookups by element path and the copying of attributes and
 * elements between documents; the job descriptor list of a directory;
 * the measurement requests of one job; entering and taking back lab
 * results; merging a newly received job into the stored one; and the
 * display formatting of measured values.
 *
 * Job files are never rewritten in place: every new version goes to a
 * temporary file beside the old one and is renamed over it once it is
 * on storage, so a full device or a crash leaves the old job intact.
 *
 * Map. One division per banner, in this order; each opens with one
 * anonymous namespace of its helpers, followed by its public functions:
 *   1. Element paths and attribute readers
 *                          jobref_*
 *   2. Shared plumbing: numbered lookups (internal/numbered.h) and the
 *      sample-to-lab walk; errno to result code, every mapping of the
 *      file; locking and replacement; text and time conversion
 *                          jobapi_writeTreeReplacing, atotime2000,
 *                          atolonglong, jobapi_formatUtcTime,
 *                          jobapi_formatLabTime
 *   3. Tree queries        findElement, findAttribute, clearAttributes,
 *                          copyAttributes, copyElement
 *   4. Job list            listJobs_sax_callback, createJobDescrList(_Ex),
 *                          compareJobDescriptors, sortJobDescrList,
 *                          removeJobDescriptor, removeJobDescrList
 *   5. Requests            createMeasurementRequestList,
 *                          assureStringsMeasurementRequest,
 *                          freeMeasurementRequest,
 *                          removeMeasurementRequestList
 *   6. Lab results         changeMeasurementResult, addMeasurementResult,
 *                          removeMeasurementResult
 *   7. Merge               mergeJobFile (decided by internal/mergeplan.*)
 *   8. Display format      jobapi_tenTo, formatMeasurementString
 * New code goes into the division of the public function it serves; a
 * helper that two divisions need goes into the shared plumbing. Trace
 * texts stay as they are (see internal/trace.h).
 */
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "jobapi_internal.h"
#include "tree.h"
#include "civiltime.h"
#include "clocale.h"
#include "files.h"
#include "jobname.h"
#include "mergeplan.h"
#include "numbered.h"
#include "trace.h"

static const char kTraceFile[] = "../xmljobhandler/jobapi.cpp";

/* ================================================================== */
/* 1. Element paths and attribute readers                              */
/*    jobref_*                                                         */
/* ================================================================== */

namespace {

const char *attrValue(const qrx_Element *el, const char *name)
{
    const qrx_Attribute *at = findAttribute(el, name);
    return at ? at->value : nullptr;
}

int attrInt(const qrx_Element *el, const char *name, int absent)
{
    const char *v = attrValue(el, name);
    return v ? std::atoi(v) : absent;
}

/* sscanf "%d" of an attribute; false when absent or not a number. */
bool attrScan(const qrx_Element *el, const char *name, int *out)
{
    const char *v = attrValue(el, name);
    return v && std::sscanf(v, "%d", out) == 1;
}

/* Sets an element's text; false when out of memory (qrx_SetElementValue
   hands back the old value then). */
bool setValue(qrx_Element *el, const char *value)
{
    qrx_SetElementValue(value, el);
    return el->value && std::strcmp(el->value, value) == 0;
}

} // namespace

extern "C" {
const char *const jobref_job[] = {"job", nullptr};
const char *const jobref_sensor[] = {"job", "sensor", nullptr};
const char *const jobref_contr[] = {"job", "controller", nullptr};
const char *const jobref_sample[] = {"job", "sample", nullptr};
const char *const jobref_prcMeas[] = {"process_measurement", nullptr};
const char *const jobref_labMeas[] = {"lab_measurement", nullptr};
}

/* ================================================================== */
/* 2. Shared plumbing                                                  */
/*    atotime2000, atolonglong, jobapi_writeTreeReplacing,             */
/*    jobapi_formatLabTime, jobapi_formatUtcTime                       */
/* ================================================================== */

namespace {

using tandel::FilePtr;
using tandel::NumberedIndex;

/* The depth the job files are read with: job, sample, measurement. */
const int kMaxDepth = 4;

/* A parser handle released at the end of the scope. */
using Handle = tandel::Owned<qrx_Parser, qrx_deinit>;

/* --- numbered lookups and the sample-to-lab walk --- */

struct LabPlace {
    qrx_Element *sample;
    int number;
    qrx_Element *lab;
    qrx_Element *prc; /* same index, or null */
    int index;
};

/* The lab measurements in request order: samples numbered 0, 1, ... and
   per sample lab indexes 0, 1, ..., each walk ending at the first number
   missing. The one walk of the request list, the result update and
   the job_handling count: totalIndex is the position in it. */
std::vector<LabPlace> labPlaces(qrx_Element *root)
{
    std::vector<LabPlace> places;
    NumberedIndex samples(root, jobref_sample, "number");
    for (int n = 0;; ++n) {
        qrx_Element *sample = samples.find(n);
        if (!sample)
            break;
        NumberedIndex labs(sample, jobref_labMeas, "index");
        NumberedIndex prcs(sample, jobref_prcMeas, "index");
        for (int i = 0;; ++i) {
            qrx_Element *lab = labs.find(i);
            if (!lab)
                break;
            places.push_back({sample, n, lab, prcs.find(i), i});
        }
    }
    return places;
}

/* --- errno to result code: every mapping of the file --- */

/* The codes of one operation for its files. */
struct FileCodes {
    int unreadable;
    int unwritable;
    int noMemory;
};

const FileCodes kDirectoryCodes = {JOBLIST_NO_DIRECTORY, JOBLIST_NO_DIRECTORY, JOBLIST_NO_MEMORY};
const FileCodes kRequestCodes = {REQLIST_UNREADABLE, REQLIST_UNREADABLE, REQLIST_NO_MEMORY};
const FileCodes kLabCodes = {LABRES_UNREADABLE, LABRES_UNWRITABLE, LABRES_NO_MEMORY};
const FileCodes kBaseCodes = {MERGE_BASE_UNREADABLE, MERGE_BASE_UNWRITABLE, MERGE_NO_MEMORY};
const FileCodes kNewsCodes = {MERGE_NEWS_UNREADABLE, MERGE_NEWS_UNREADABLE, MERGE_NO_MEMORY};
/* A copy of News that fails, as a first delivery or a job_type 0x20 copy. */
const FileCodes kCopyCodes = {MERGE_COPY_FAILED, MERGE_COPY_FAILED, MERGE_NO_MEMORY};

/* A failure's code, with errno left at err for the caller. */
int failedWith(int err, int code)
{
    errno = err;
    return code;
}

/* errno after a read error: what the failed read said. */
int readError() { return errno ? errno : EIO; }

/* A file (or directory) that cannot be opened or read. */
int openFailure(int err, const FileCodes &codes)
{
    return failedWith(err, err == ENOMEM ? codes.noMemory : codes.unreadable);
}

/* A file that cannot be written or replaced. */
int writeFailure(int err, const FileCodes &codes)
{
    return failedWith(err, err == ENOMEM ? codes.noMemory : codes.unwritable);
}

/* The errors of opening a file read-write that may still let it be read:
   the process may not write it. */
bool maybeReadable(int err) { return err == EACCES || err == EPERM || err == EROFS || err == ETXTBSY; }

/* A job file that cannot be opened read-write for a change: unwritable
   when it can be read all the same, else unreadable. */
int openForChangeFailure(int err, bool readable, const FileCodes &codes)
{
    return readable ? writeFailure(err, codes) : openFailure(err, codes);
}

/* What became of a job file the list looked at: read (listed or not, by
   its content); skipped quietly (absent, or not readable and writable by
   this process: never listed); or a failure that makes the whole list
   wrong. */
enum class Outcome { Read, Skipped, NoMemory, Failure };

/* The list's outcome for a job file that cannot be opened. */
Outcome listingOutcome(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR:
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
    case EISDIR:
    case EINVAL:
    case ENXIO:
    case ELOOP:
    case ENAMETOOLONG:
        return Outcome::Skipped;
    case ENOMEM:
        return Outcome::NoMemory;
    default:
        return Outcome::Failure;
    }
}

/* --- locking and replacement --- */

/* Reads a job file's tree from fp into the handle, which holds none:
   0; codes.unreadable after a read error, also one that cut the parse
   short (errno the read's, traced for fn); codes.noMemory (ENOMEM); or
   the parse result, with errno 0: the file's content is at fault
   (traced for fn as the builder's failure when traceParse). */
int readJobTree(qrx_Parser *handle, FILE *fp, const char *path, const FileCodes &codes, const char *fn,
                bool traceParse)
{
    errno = 0;
    const int r = qrx_BuildDOMTree(handle, fp);
    const int err = readError();
    if (std::ferror(fp)) {
        TRACE_AS(fn, TRACE_FAIL, "cannot read \"%s\"\n", path);
        return openFailure(err, codes);
    }
    if (r == QRX_NO_MEMORY)
        return failedWith(ENOMEM, codes.noMemory);
    if (r >= 0)
        return 0;
    if (traceParse)
        TRACE_AS(fn, TRACE_FAIL, "qrx_BuildDOMTree() failed with %d for \"%s\"\n", r, path);
    return failedWith(0, r);
}

/* A job file opened for a read-change-replace cycle: the file at the end
   of the path's links, locked (see PathLock) and checked to be one this
   process may write. */
struct LockedJob {
    std::string file;
    tandel::PathLock lock;
    FilePtr stream;
};

/* Whether a job file that cannot be opened read-write can be read. */
bool readableOnly(int err, const char *file)
{
    return maybeReadable(err) && tandel::Fd(tandel::openRegular(file, O_RDONLY)).get() >= 0;
}

/* 0, or one of the operation's codes with errno the system's reason:
   unreadable when the file cannot be opened (also a dangling link),
   unwritable when it can be read but not written. With absent given, a
   path that names nothing (no link either) is no failure: *absent, the
   unreadable code, no trace. */
int openLocked(const char *path, LockedJob *job, const FileCodes &codes, const char *fn,
               bool *absent = nullptr)
{
    int err = tandel::followLinks(path, &job->file);
    bool locked = true;
    if (!err && job->lock.open(job->file.c_str(), O_RDWR, &locked) < 0)
        err = errno;
    if (err) {
        if (absent && tandel::isAbsent(err) && job->file == path) {
            *absent = true;
            return codes.unreadable;
        }
        const bool readable = err != ENOMEM && readableOnly(err, job->file.c_str());
        if (err != ENOMEM)
            TRACE_AS(fn, TRACE_FAIL, readable ? "cannot write \"%s\"\n" : "cannot read \"%s\"\n", path);
        return openForChangeFailure(err, readable, codes);
    }
    if (!locked)
        TRACE_AS(fn, TRACE_FAIL, "cannot lock \"%s\"\n", path);
    const int dupFd = fcntl(job->lock.fd(), F_DUPFD_CLOEXEC, 0);
    job->stream.reset(dupFd < 0 ? nullptr : tandel::streamOf(dupFd));
    if (!job->stream) {
        err = errno;
        TRACE_AS(fn, TRACE_FAIL, "cannot read \"%s\"\n", path);
        return openFailure(err, codes);
    }
    return 0;
}

/* The operation's code for a failed replacement of path, traced; errno
   is err. */
int replaceFailure(int err, const char *path, const char *fn, const FileCodes &codes)
{
    TRACE_AS(fn, TRACE_FAIL, "cannot write \"%s\"\n", path);
    return writeFailure(err, codes);
}

/* Replaces target (the end of its links) by the bytes of in from its
   start. 0 or errno. */
int copyStreamReplacing(FILE *in, const char *target)
try {
    std::rewind(in);
    return tandel::replaceWith(target, tandel::FileKind::JobFile, [in](FILE *out) {
        char buf[8192];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, in)) > 0)
            if (std::fwrite(buf, 1, n, out) != n)
                return false;
        return !std::ferror(in);
    });
} catch (...) {
    return ENOMEM;
}

/* --- text and time conversion; record lists --- */

std::string decimal(long long n) { return std::to_string(n); }

/* *field becomes a copy of text (null stays null); false when out of memory. */
bool dupInto(char **field, const char *text)
{
    if (!text)
        return true;
    *field = strdup(text);
    return *field != nullptr;
}

/* Frees a list (a count, then record pointers), its records and their
   texts through freeTexts; nulls *list. */
template <typename List, typename Record> void freeList(List **list, void (*freeTexts)(Record *))
{
    if (!list || !*list)
        return;
    for (int32_t i = 0; i < (*list)->count; ++i) {
        if (Record *record = (*list)->items[i]) {
            freeTexts(record);
            std::free(record);
        }
    }
    std::free(*list);
    *list = nullptr;
}

} // namespace

/* The writer without storage policy: the replacement syncs once and sets
   the mode once. */
int jobapi_writeTreeReplacing(const char *path, qrx_Parser *handle)
try {
    if (!path || !handle || !handle->root)
        return EINVAL;
    return tandel::replaceWith(path, tandel::FileKind::JobFile,
                               [handle](FILE *fp) { return qrx_WriteDOMTree(handle, fp) >= 0; });
} catch (...) {
    return ENOMEM;
}

int32_t atotime2000(const char *text)
{
    struct tm tm;
    std::memset(&tm, 0, sizeof tm);
    if (!text || !strptime(text, kTimeFormat, &tm)) {
        TRACE(TRACE_FAIL, "cannot read time from \"%s\"\n", text ? text : "(null)");
        return TEXT_UNREADABLE;
    }
    const int64_t secs = timegm64(&tm) - tm.tm_gmtoff;
    if (secs < kMessageFirst || secs > kMessageLast) {
        TRACE(TRACE_FAIL, "cannot read time from \"%s\"\n", text);
        return TEXT_UNREADABLE;
    }
    return static_cast<int32_t>(secs - kEpoch2000);
}

int64_t atolonglong(const char *text)
{
    unsigned long long v = 0;
    if (!text || std::sscanf(text, "%llX", &v) != 1) {
        /* Two blanks after "longlong": the text field logs know. */
        TRACE(TRACE_FAIL, "cannot read longlong  from \"%s\"\n", text ? text : "(null)");
        return TEXT_UNREADABLE;
    }
    return static_cast<int64_t>(v);
}

int jobapi_formatUtcTime(char *text, size_t size, int64_t seconds)
{
    return formatFields(text, size, seconds, 0);
}

int jobapi_formatLabTime(char *text, size_t size, uint32_t seconds)
{
    struct tm tm;
    if (localtime64(seconds, &tm))
        return static_cast<int>(std::strftime(text, size, kTimeFormat, &tm));
    return jobapi_formatUtcTime(text, size, seconds);
}

/* ================================================================== */
/* 3. Tree queries                                                     */
/*    findElement, findAttribute, clearAttributes, copyAttributes,     */
/*    copyElement                                                      */
/* ================================================================== */

namespace {

qrx_Element *searchFrom(qrx_Element *el, const char *const *path, const char *attrName, const char *attrVal)
{
    if (!*path) {
        if (!attrName)
            return el;
        for (const qrx_Attribute *at = el->attributes; at; at = at->next)
            if (str_equal(at->name, attrName) && (!attrVal || str_equal(at->value, attrVal)))
                return el;
        return nullptr;
    }
    for (qrx_Element *child = el->children; child; child = child->next) {
        if (!str_equal(child->name, *path))
            continue;
        if (qrx_Element *found = searchFrom(child, path + 1, attrName, attrVal))
            return found;
    }
    return nullptr;
}

qrx_Element *firstChildNamed(qrx_Element *parent, const char *name)
{
    for (qrx_Element *child = parent->children; child; child = child->next)
        if (str_equal(child->name, name))
            return child;
    return nullptr;
}

/* The results of copyElementInto. */
enum CopyResult { kCopied = 0, kNoSource = 1, kCopyNoMemory = -1 };

/* copyElement with the two ways of returning null told apart. */
CopyResult copyElementInto(const char *name, qrx_Element *sourceParent, qrx_Element *targetParent, int front,
                           qrx_Element **out)
{
    *out = nullptr;
    qrx_Element *src = firstChildNamed(sourceParent, name);
    if (!src) {
        TRACE_AS("copyElement", TRACE_INFO, "NO ELEMENT \"%s\"\n", name);
        return kNoSource;
    }
    qrx_Element *dst = firstChildNamed(targetParent, name);
    if (dst && front && targetParent->children != dst) {
        qrx_Element **link = &targetParent->children;
        while (*link != dst)
            link = &(*link)->next;
        *link = dst->next;
        dst->next = targetParent->children;
        targetParent->children = dst;
    } else if (!dst) {
        dst = qrx_NewElement(name, targetParent->index + 1);
        if (!dst)
            return kCopyNoMemory;
        dst->parent = targetParent;
        qrx_Element **link = &targetParent->children;
        if (!front)
            while (*link)
                link = &(*link)->next;
        dst->next = *link;
        *link = dst;
    }
    *out = dst;
    return copyAttributes(src, dst) == 0 ? kCopied : kCopyNoMemory;
}

} // namespace

qrx_Element *findElement(qrx_Element *start, const char *const *path, const char *attrName,
                         const char *attrVal)
{
    static const char *const kEmpty[] = {nullptr};
    if (!start)
        return nullptr;
    return searchFrom(start, path ? path : kEmpty, attrName, attrVal);
}

qrx_Attribute *findAttribute(const qrx_Element *element, const char *name)
{
    if (!element)
        return nullptr;
    for (qrx_Attribute *at = element->attributes; at; at = at->next)
        if (str_equal(at->name, name))
            return at;
    return nullptr;
}

int clearAttributes(qrx_Element *element)
{
    if (!element)
        return TREE_NULL_ARGUMENT;
    while (qrx_Attribute *at = element->attributes) {
        element->attributes = at->next;
        std::free(at->name);
        std::free(at->value);
        std::free(at);
    }
    return 0;
}

int copyAttributes(const qrx_Element *source, qrx_Element *target)
{
    if (!source)
        return TREE_NULL_ARGUMENT;
    if (!target)
        return TREE_NULL_TARGET;
    for (const qrx_Attribute *at = source->attributes; at; at = at->next)
        if (!qrx_AddAttribute(at->name, at->value, target))
            return TREE_NO_MEMORY;
    return 0;
}

qrx_Element *copyElement(const char *name, qrx_Element *sourceParent, qrx_Element *targetParent, int front)
{
    if (!name || !sourceParent || !targetParent)
        return nullptr;
    qrx_Element *el = nullptr;
    return copyElementInto(name, sourceParent, targetParent, front, &el) == kCopied ? el : nullptr;
}

/* ================================================================== */
/* 4. Job list                                                         */
/*    listJobs_sax_callback, createJobDescrList(_Ex),                  */
/*    compareJobDescriptors, sortJobDescrList, removeJobDescriptor,    */
/*    removeJobDescrList                                               */
/* ================================================================== */

namespace {

const char kList[] = "createJobDescrList_Ex";

/* How a listed attribute is read into its descriptor field. */
enum class Read { Number, Date, Hex, Text };

/* One recognised attribute: the field it sets (one of the three
   members, by kind) and whether it counts towards knownAttributeCount. */
struct Field {
    const char *attr;
    Read read;
    int32_t JobDescriptor::*number;
    uint64_t JobDescriptor::*hex;
    char *JobDescriptor::*text;
    bool counted;
};

constexpr Field number(const char *attr, int32_t JobDescriptor::*f, bool counted = true)
{
    return {attr, Read::Number, f, nullptr, nullptr, counted};
}
constexpr Field date(const char *attr, int32_t JobDescriptor::*f)
{
    return {attr, Read::Date, f, nullptr, nullptr, false};
}
constexpr Field hex(const char *attr, uint64_t JobDescriptor::*f)
{
    return {attr, Read::Hex, nullptr, f, nullptr, true};
}
constexpr Field text(const char *attr, char *JobDescriptor::*f, bool counted)
{
    return {attr, Read::Text, nullptr, nullptr, f, counted};
}

using JD = JobDescriptor;
const Field kJobFields[] = {
    number("job_id", &JD::jobId),
    number("job_type", &JD::jobType),
    number("job_handling", &JD::jobHandling),
    number("requested_samples", &JD::requestedSamples),
    number("contained_samples", &JD::containedSamples),
    date("date", &JD::date),
    number("admit_autojob", &JD::admitAutojob, false),
};
const Field kSensorFields[] = {
    number("manufacturer_id", &JD::sensorManufacturerId), number("device_id", &JD::sensorDeviceId),
    hex("serial_number", &JD::sensorSerialNumber),        text("name", &JD::sensorName, true),
    text("location", &JD::sensorLocation, true),
};
const Field kControllerFields[] = {
    number("manufacturer_id", &JD::controllerManufacturerId),
    number("device_id", &JD::controllerDeviceId),
    hex("serial_number", &JD::controllerSerialNumber),
    text("facility", &JD::controllerFacility, false),
    text("name", &JD::controllerName, false),
    text("location", &JD::controllerLocation, false),
    text("ip_address", &JD::controllerIpAddress, false),
};
const Field kUserFields[] = {text("name", &JD::userName, true)};

/* The elements whose attributes the listing reads, at their depth. */
struct ListedElement {
    int depth;
    const char *name;
    const Field *fields;
    size_t count;
};
template <size_t N> constexpr ListedElement listed(int depth, const char *name, const Field (&fields)[N])
{
    return {depth, name, fields, N};
}
const ListedElement kListedElements[] = {
    listed(0, "job", kJobFields),
    listed(1, "sensor", kSensorFields),
    listed(1, "controller", kControllerFields),
    listed(1, "user", kUserFields),
};

const Field *listedField(int depth, const char *elName, const char *attrName)
{
    for (const ListedElement &el : kListedElements) {
        if (el.depth != depth || !str_equal(elName, el.name))
            continue;
        for (size_t i = 0; i < el.count; ++i)
            if (str_equal(attrName, el.fields[i].attr))
                return &el.fields[i];
        return nullptr;
    }
    return nullptr;
}

/* Sets the field from value; false when a text cannot be copied (the
   field is null then). */
bool readField(JobDescriptor *jd, const Field &f, const char *value)
{
    bool ok = true;
    switch (f.read) {
    case Read::Number:
        jd->*f.number = std::atoi(value);
        break;
    case Read::Date:
        jd->*f.number = atotime2000(value);
        break;
    case Read::Hex: {
        unsigned long long v;
        if (std::sscanf(value, "%llX", &v) == 1)
            jd->*f.hex = v;
        break;
    }
    case Read::Text: {
        char *copy = strdup(value);
        ok = copy != nullptr;
        std::free(jd->*f.text);
        jd->*f.text = copy;
        break;
    }
    }
    jd->knownAttributeCount += f.counted;
    return ok;
}

/* A lab measurement attribute: counted, and its "done" state tallied. */
void countLabAttribute(JobDescriptor *jd, const char *attrName, const char *value)
{
    ++jd->labAttributeCount;
    if (str_equal(attrName, "done")) {
        const int state = std::atoi(value) & 63;
        jd->labState1Count += state == 1;
        jd->labState2Count += state == 2;
    }
}

JobDescrList *newJobList(int32_t capacity)
{
    return static_cast<JobDescrList *>(
        std::calloc(1, sizeof(JobDescrList) + static_cast<size_t>(capacity) * sizeof(JobDescriptor *)));
}

/* Opens a job file for listing: read-write with O_SYNC and flushed to
   storage first, as the controller's other programs expect. */
FILE *openForListing(const std::string &path)
{
    const int fd = tandel::openRegular(path.c_str(), O_RDWR | O_SYNC);
    if (fd < 0)
        return nullptr;
    fsync(fd);
    sync();
    return tandel::streamOf(fd);
}

/* Parses one job file into a descriptor; *accept when it is to be listed.
   After a read error, *err is its reason. */
Outcome readJobHeader(FILE *fp, int minKnown, JobDescriptor *jd, bool *accept, int *err)
{
    Handle hp;
    if (qrx_init(&hp.p, kMaxDepth) != 0)
        return Outcome::NoMemory;
    errno = 0;
    const int r = qrx_parse(hp.p, fp, listJobs_sax_callback, jd);
    *err = readError();
    if (std::ferror(fp))
        return Outcome::Failure;
    if (r == JOBLIST_NO_MEMORY || r == QRX_NO_MEMORY)
        return Outcome::NoMemory;
    *accept = r == 0 && jd->knownAttributeCount >= minKnown;
    return Outcome::Read;
}

/* Appends a copy of jd (taking its texts); false when out of memory. */
bool appendJob(JobDescrList **jl, const JobDescriptor &jd, const std::string &path)
{
    JobDescrList *list = *jl;
    if (list->count > 0 && list->count % 16 == 0) {
        TRACE_AS(kList, TRACE_INFO, "extending list %d --> %d\n", list->count, list->count + 16);
        size_t size = sizeof(JobDescrList) + static_cast<size_t>(list->count + 16) * sizeof(JobDescriptor *);
        auto *grown = static_cast<JobDescrList *>(std::realloc(list, size));
        if (!grown)
            return false;
        *jl = list = grown;
    }
    auto *copy = static_cast<JobDescriptor *>(std::malloc(sizeof(JobDescriptor)));
    if (!copy)
        return false;
    *copy = jd;
    copy->filePath = strdup(path.c_str());
    if (!copy->filePath) {
        std::free(copy);
        return false;
    }
    if (copy->labState1Count > 0)
        copy->flags |= 1u;
    list->items[list->count++] = copy;
    return true;
}

/* Lists one directory entry; Outcome::Read or Skipped when the list may
   go on. After Outcome::Failure, *err is the system's reason. */
Outcome listEntry(const char *dirPath, const char *name, int minKnown, JobDescrList **jl, int *err)
{
    const std::string path = std::string(dirPath) + "/" + name;
    FilePtr fp(openForListing(path));
    if (!fp) {
        *err = errno;
        const Outcome why = listingOutcome(*err);
        if (why != Outcome::Skipped)
            TRACE_AS(kList, TRACE_FAIL, "cannot read \"%s\"\n", path.c_str());
        return why;
    }
    /* The dashes frame each file's traces in the log. */
    TRACE_AS(kList, TRACE_INFO, "---- file = %s ----\n", path.c_str());
    JobDescriptor jd;
    std::memset(&jd, 0, sizeof jd);
    bool accept = false;
    Outcome why = readJobHeader(fp.get(), minKnown, &jd, &accept, err);
    const bool taken = why == Outcome::Read && accept && appendJob(jl, jd, path);
    if (!taken)
        removeJobDescriptor(&jd);
    if (why == Outcome::Read && accept && !taken)
        why = Outcome::NoMemory;
    if (why == Outcome::Failure)
        TRACE_AS(kList, TRACE_FAIL, "cannot read \"%s\"\n", path.c_str());
    return why;
}

/* Lists the job files of an open directory into *jl (only fileName when
   not null); Outcome::Read or Skipped when the whole directory was read.
   After Outcome::Failure, *err is the system's reason. */
Outcome listDirectory(DIR *dir, const char *dirPath, const char *fileName, int minKnown, JobDescrList **jl,
                      int *err)
try {
    Outcome why = Outcome::Read;
    for (;;) {
        errno = 0;
        const struct dirent *de = readdir(dir);
        if (!de) {
            *err = errno;
            return errno != 0 ? Outcome::Failure : why;
        }
        if (!tandel::isJobFileName(de->d_name) || (fileName && std::strcmp(de->d_name, fileName) != 0))
            continue;
        why = listEntry(dirPath, de->d_name, minKnown, jl, err);
        if (why == Outcome::NoMemory || why == Outcome::Failure || fileName)
            return why;
    }
} catch (...) {
    return Outcome::NoMemory;
}

} // namespace

int listJobs_sax_callback(qrx_Parser *handle, int mode, const char *elName, const char *attrName,
                          const char *value, void *userData)
{
    auto *jd = static_cast<JobDescriptor *>(userData);
    if (mode != QRX_ATTRIBUTE || !handle || !jd || !attrName || !value)
        return 0;
    if (handle->depth == 2 && str_equal(elName, "lab_measurement")) {
        countLabAttribute(jd, attrName, value);
        return 0;
    }
    const Field *f = listedField(handle->depth, elName, attrName);
    return f && !readField(jd, *f, value) ? JOBLIST_NO_MEMORY : 0;
}

int createJobDescrList_Ex(const char *dirPath, const char *fileName, JobDescrList **list, int minKnown)
{
    if (!list || *list) {
        if (list)
            TRACE(TRACE_FAIL, "*list already holds a list\n");
        errno = EINVAL;
        return list ? JOBLIST_LIST_HELD : JOBLIST_NULL_LIST;
    }
    std::unique_ptr<DIR, int (*)(DIR *)> dir(dirPath ? opendir(dirPath) : nullptr, closedir);
    if (!dir) {
        const int err = dirPath ? errno : EINVAL;
        /* "can not", in two words: the text field logs know. */
        TRACE(TRACE_FAIL, "can not open dir \"%s\"\n", dirPath ? dirPath : "(null)");
        return openFailure(err, kDirectoryCodes);
    }
    JobDescrList *jl = newJobList(16);
    if (!jl)
        return failedWith(ENOMEM, JOBLIST_NO_MEMORY);
    int err = 0;
    const Outcome why = listDirectory(dir.get(), dirPath, fileName, minKnown, &jl, &err);
    if (why == Outcome::NoMemory || why == Outcome::Failure) {
        removeJobDescrList(&jl);
        return why == Outcome::NoMemory ? failedWith(ENOMEM, JOBLIST_NO_MEMORY)
                                        : failedWith(err, JOBLIST_READ_ERROR);
    }
    sortJobDescrList(jl);
    *list = jl;
    return jl->count;
}

int createJobDescrList(const char *dirPath, const char *fileName, JobDescrList **list)
{
    const int kDefaultMinKnown = 13;
    return createJobDescrList_Ex(dirPath, fileName, list, kDefaultMinKnown);
}

int compareJobDescriptors(const void *a, const void *b)
{
    const JobDescriptor *ja = a ? *static_cast<const JobDescriptor *const *>(a) : nullptr;
    const JobDescriptor *jb = b ? *static_cast<const JobDescriptor *const *>(b) : nullptr;
    if (!ja)
        return jb ? -1 : 0;
    if (!jb)
        return 1;
    uint32_t da = static_cast<uint32_t>(ja->date), db = static_cast<uint32_t>(jb->date);
    return da > db ? -1 : da < db ? 1 : 0;
}

int sortJobDescrList(JobDescrList *list)
{
    if (!list || list->count <= 0)
        return failedWith(EINVAL, JOBLIST_NULL_LIST);
    std::qsort(list->items, static_cast<size_t>(list->count), sizeof(JobDescriptor *), compareJobDescriptors);
    return list->count;
}

/* The texts are nulled, so that the list's removal after it frees them
   once only. */
void removeJobDescriptor(JobDescriptor *jd)
{
    if (!jd)
        return;
    for (char **text :
         {&jd->sensorName, &jd->sensorLocation, &jd->controllerIpAddress, &jd->filePath, &jd->userName,
          &jd->controllerFacility, &jd->controllerName, &jd->controllerLocation}) {
        std::free(*text);
        *text = nullptr;
    }
}

void removeJobDescrList(JobDescrList **list) { freeList(list, removeJobDescriptor); }

/* ================================================================== */
/* 5. Requests                                                         */
/*    createMeasurementRequestList, assureStringsMeasurementRequest,   */
/*    freeMeasurementRequest, removeMeasurementRequestList             */
/* ================================================================== */

namespace {

const char kRequests[] = "createMeasurementRequestList";

struct JobHeader {
    int32_t jobId = 0;
    int32_t jobDate = 0;
    int32_t manufacturerId = 0;
    int32_t deviceId = 0;
    int64_t serialNumber = 0;
};

/* Fills a zero-filled request; false when a copy cannot be allocated. */
bool fillRequest(MeasurementRequest *rq, const JobHeader &h, const LabPlace &at, int totalIndex)
{
    rq->jobId = h.jobId;
    rq->jobDate = h.jobDate;
    rq->sensorManufacturerId = h.manufacturerId;
    rq->sensorDeviceId = h.deviceId;
    rq->sensorSerialNumber = h.serialNumber;
    rq->sampleNumber = at.number;
    rq->totalIndex = totalIndex;

    const char *bottle = attrValue(at.sample, "bottle_number");
    char label[32];
    if (bottle)
        std::snprintf(label, sizeof label, "%d-%s", h.jobId, bottle);
    else
        std::snprintf(label, sizeof label, "%d-(%d)", h.jobId, at.number);
    const char *date = attrValue(at.sample, "date");
    rq->sampleDate = date ? atotime2000(date) : 0;

    rq->dataType = attrInt(at.lab, "data_type", 16);
    rq->done = static_cast<uint16_t>(attrInt(at.lab, "done", 0));
    rq->labValue = at.lab->value ? static_cast<float>(std::atof(at.lab->value)) : TANDEL_NO_VALUE;
    rq->processValue =
        at.prc && at.prc->value ? static_cast<float>(std::atof(at.prc->value)) : TANDEL_NO_VALUE;
    rq->displayFormat = at.prc ? attrInt(at.prc, "display_format", 65535) : 0;

    bool ok = dupInto(&rq->label, label) && dupInto(&rq->sampleId, attrValue(at.sample, "sample_id")) &&
              dupInto(&rq->defaultMethod, attrValue(at.lab, "default_method")) &&
              dupInto(&rq->usedMethod, attrValue(at.lab, "used_method")) &&
              dupInto(&rq->labUnit, attrValue(at.lab, "lab_unit"));
    if (ok && at.prc)
        ok = dupInto(&rq->parameter, attrValue(at.prc, "parameter")) &&
             dupInto(&rq->unit, attrValue(at.prc, "unit"));
    if (const char *b64 = ok ? attrValue(at.sample, "sensordata") : nullptr) {
        size_t len = std::strlen(b64);
        rq->sensorData = static_cast<uint8_t *>(std::malloc(len ? len : 1));
        if (!rq->sensorData)
            return false;
        decode_base64(rq->sensorData, b64, static_cast<int>(len));
    }
    return ok;
}

JobHeader jobHeader(qrx_Element *root)
{
    JobHeader h;
    const qrx_Element *job = findElement(root, jobref_job, nullptr, nullptr);
    const qrx_Element *sensor = findElement(root, jobref_sensor, nullptr, nullptr);
    h.jobId = attrInt(job, "job_id", 0);
    const char *date = attrValue(job, "date");
    h.jobDate = date ? atotime2000(date) : 0;
    h.manufacturerId = attrInt(sensor, "manufacturer_id", 0);
    h.deviceId = attrInt(sensor, "device_id", 0);
    const char *serial = attrValue(sensor, "serial_number");
    h.serialNumber = serial ? atolonglong(serial) : 0;
    return h;
}

MeasurementRequestList *makeRequests(qrx_Element *root)
{
    MeasurementRequestList *ml = nullptr;
    try {
        const std::vector<LabPlace> places = labPlaces(root);
        const JobHeader h = jobHeader(root);
        ml = static_cast<MeasurementRequestList *>(
            std::calloc(1, sizeof(MeasurementRequestList) + places.size() * sizeof(MeasurementRequest *)));
        if (!ml)
            return nullptr;
        for (size_t k = 0; k < places.size(); ++k) {
            auto *rq = static_cast<MeasurementRequest *>(std::calloc(1, sizeof(MeasurementRequest)));
            if (!rq)
                throw std::bad_alloc();
            ml->items[ml->count++] = rq;
            if (!fillRequest(rq, h, places[k], static_cast<int>(k)))
                throw std::bad_alloc();
        }
    } catch (...) {
        removeMeasurementRequestList(&ml);
    }
    return ml;
}

/* The first argument the request list refuses (errno EINVAL), or 0. */
int checkRequestArguments(const qrx_Parser *handle, const JobDescrList *jobs, int jobIndex,
                          MeasurementRequestList *const *list)
{
    int r = 0;
    if (!handle)
        r = REQLIST_NULL_HANDLE;
    else if (!list)
        r = REQLIST_NULL_LIST;
    else if (*list) {
        /* Named after the list variable of the first controller program:
           the text field logs know. */
        TRACE_AS(kRequests, TRACE_FAIL, "*ppJML is already initialized\n");
        r = REQLIST_LIST_HELD;
    } else if (!jobs)
        r = REQLIST_NULL_JOBS;
    else if (jobIndex < 0 || jobIndex >= jobs->count)
        r = REQLIST_BAD_INDEX;
    return r ? failedWith(EINVAL, r) : 0;
}

} // namespace

int createMeasurementRequestList(qrx_Parser *handle, JobDescrList *jobs, int jobIndex,
                                 MeasurementRequestList **list)
{
    if (const int r = checkRequestArguments(handle, jobs, jobIndex, list))
        return r;
    const JobDescriptor *jd = jobs->items[jobIndex];
    const char *path = jd ? jd->filePath : nullptr;
    FilePtr fp(path ? tandel::openRegularStream(path) : nullptr);
    if (!fp) {
        const int err = path ? errno : EINVAL;
        TRACE(TRACE_FAIL, "cannot read \"%s\"\n", path ? path : "(null)");
        return openFailure(err, kRequestCodes);
    }
    tandel::CNumbers numbers;
    qrx_RemoveDOMTree(handle);
    if (const int r = readJobTree(handle, fp.get(), path, kRequestCodes, kRequests, true))
        return r;
    MeasurementRequestList *ml = makeRequests(handle->root);
    if (!ml)
        return failedWith(ENOMEM, REQLIST_NO_MEMORY);
    *list = ml;
    return ml->count;
}

void assureStringsMeasurementRequest(MeasurementRequest *rq)
{
    if (!rq)
        return;
    for (char **field : {&rq->sampleId, &rq->label, &rq->parameter, &rq->unit, &rq->spareText,
                         &rq->defaultMethod, &rq->usedMethod, &rq->labUnit})
        if (!*field)
            *field = strdup("");
}

/* Nulls what it frees, as removeJobDescriptor does. */
void freeMeasurementRequest(MeasurementRequest *rq)
{
    if (!rq)
        return;
    for (char **text : {&rq->sampleId, &rq->label, &rq->parameter, &rq->unit, &rq->spareText,
                        &rq->defaultMethod, &rq->usedMethod, &rq->labUnit}) {
        std::free(*text);
        *text = nullptr;
    }
    std::free(rq->sensorData);
    rq->sensorData = nullptr;
}

void removeMeasurementRequestList(MeasurementRequestList **list) { freeList(list, freeMeasurementRequest); }

/* ================================================================== */
/* 6. Lab results                                                      */
/*    changeMeasurementResult, addMeasurementResult,                   */
/*    removeMeasurementResult                                          */
/* ================================================================== */

namespace {

const char kChange[] = "changeMeasurementResult";

/* Enters the request's result into lab; false when out of memory. */
bool addResult(const LabPlace &at, const MeasurementRequest *rq, int counter)
{
    qrx_Element *lab = at.lab;
    char value[64];
    std::snprintf(value, sizeof value, "%f", static_cast<double>(rq->labValue));
    if (!setValue(lab, value))
        return false;
    const std::string done = decimal((rq->done & 0xFFC0) | 1);
    char when[40];
    uint32_t t = rq->labTime ? rq->labTime : static_cast<uint32_t>(std::time(nullptr));
    if (jobapi_formatLabTime(when, sizeof when, t) <= 0)
        when[0] = '\0';
    bool ok = qrx_AddAttribute("done", done.c_str(), lab) && qrx_AddAttribute("data_type", "16", lab) &&
              qrx_AddAttribute("lab_time", when, lab) &&
              (!rq->labUnit || qrx_AddAttribute("lab_unit", rq->labUnit, lab)) &&
              (!rq->usedMethod || qrx_AddAttribute("used_method", rq->usedMethod, lab));
    /* Indented and spaced as the log has always shown these lines. */
    if (ok)
        TRACE_AS(kChange, TRACE_INFO, "  sample %d : added labMeas (index=%d, totalIndex=%d) = %s\n",
                 at.number, at.index, counter, lab->value);
    return ok;
}

bool removeResult(const LabPlace &at, const MeasurementRequest *rq, int counter)
{
    qrx_Element *lab = at.lab;
    TRACE_AS(kChange, TRACE_INFO, "  sample %d : remove labMeas (index=%d, totalIndex=%d) = %s\n", at.number,
             at.index, counter, lab->value ? lab->value : "(null)");
    const std::string done = decimal(rq->done & 0xFFC0);
    if (!qrx_AddAttribute("done", done.c_str(), lab) || !setValue(lab, "-1.0"))
        return false;
    for (const char *name : {"data_type", "lab_time", "lab_unit", "used_method"})
        qrx_RemoveAttribute(name, lab);
    return true;
}

/* job_handling bits 0x20 (open lab measurements), 0x40 (entered ones)
   and 0x02 (job type 0x40) after a change; false when out of memory. */
bool updateJobHandling(qrx_Element *root, const std::vector<LabPlace> &places)
{
    int state1 = 0;
    for (const LabPlace &at : places)
        state1 += (attrInt(at.lab, "done", 0) & 63) == 1;
    qrx_Element *job = findElement(root, jobref_job, nullptr, nullptr);
    int handling = 0;
    if (!attrScan(job, "job_handling", &handling))
        return true;
    handling &= ~0x60;
    if (state1 > 0)
        handling |= 0x40;
    if (static_cast<size_t>(state1) < places.size())
        handling |= 0x20;
    int type = 0;
    if (attrScan(job, "job_type", &type) && (type & 0x40))
        handling |= 0x02;
    return qrx_AddAttribute("job_handling", decimal(handling).c_str(), job) != nullptr;
}

/* Opens and reads the job file into the handle's tree: 0, a LABRES code
   or the parse result. */
int readLockedTree(const char *path, LockedJob *file, Handle *hp)
{
    if (const int r = openLocked(path, file, kLabCodes, kChange))
        return r;
    if (qrx_init(&hp->p, kMaxDepth) != 0)
        return failedWith(ENOMEM, LABRES_NO_MEMORY);
    return readJobTree(hp->p, file->stream.get(), path, kLabCodes, kChange, false);
}

/* Enters or takes back the result at the request's totalIndex and
   updates job_handling: 0 or a LABRES code. */
int applyChange(qrx_Element *root, const MeasurementRequest *request, ResultChange change)
try {
    const std::vector<LabPlace> places = labPlaces(root);
    const int k = request->totalIndex;
    const bool matched = k >= 0 && static_cast<size_t>(k) < places.size();
    const bool enter = change == ResultChange::Enter;
    if (matched && !(enter ? addResult(places[k], request, k) : removeResult(places[k], request, k)))
        return LABRES_NO_MEMORY;
    if (!updateJobHandling(root, places))
        return LABRES_NO_MEMORY;
    if (!matched) {
        /* Names the request's sample number, though the lookup goes by
           totalIndex: the text field logs know. */
        TRACE_AS(kChange, TRACE_FAIL, "no sample with number=%d\n", request->sampleNumber);
        errno = 0; /* no system reason */
        return LABRES_UNREADABLE;
    }
    return 0;
} catch (...) {
    return LABRES_NO_MEMORY;
}

/* The request's texts that an add would write and that would not read
   back (too long, or quoted beyond what the writer can quote): the
   attribute name of the first, or null. */
const char *unwritableText(const MeasurementRequest *request)
{
    if (request->labUnit && !tandel::attributeReadsBack(request->labUnit))
        return "lab_unit";
    if (request->usedMethod && !tandel::attributeReadsBack(request->usedMethod))
        return "used_method";
    return nullptr;
}

/* A request listed for another job than the file holds (a jobId that
   is not 0 and differs from the job_id, read as the lists read it):
   LABRES_OTHER_JOB with errno EINVAL, or 0. */
int otherJob(qrx_Element *root, const MeasurementRequest *request, const char *path)
{
    const int fileJob = attrInt(findElement(root, jobref_job, nullptr, nullptr), "job_id", 0);
    if (request->jobId == 0 || request->jobId == fileJob)
        return 0;
    TRACE_AS(kChange, TRACE_FAIL, "request of job %d, \"%s\" holds job %d\n", request->jobId, path, fileJob);
    return failedWith(EINVAL, LABRES_OTHER_JOB);
}

/* The request that an add cannot write: its code (errno EINVAL), or 0. */
int refusedRequest(const MeasurementRequest *request)
{
    int r = 0;
    if (!std::isfinite(request->labValue)) {
        TRACE_AS(kChange, TRACE_FAIL, "lab value is not a number\n");
        r = LABRES_NOT_FINITE;
    } else if (const char *name = unwritableText(request)) {
        TRACE_AS(kChange, TRACE_FAIL, "%s would not read back\n", name);
        r = LABRES_BAD_TEXT;
    }
    errno = EINVAL;
    return r;
}

} // namespace

int changeMeasurementResult(const char *path, const MeasurementRequest *request, ResultChange change)
{
    if (!path || !request)
        return failedWith(EINVAL, LABRES_UNREADABLE);
    if (const int r = change == ResultChange::Enter ? refusedRequest(request) : 0)
        return r;
    LockedJob file;
    Handle hp;
    tandel::CNumbers numbers;
    if (const int r = readLockedTree(path, &file, &hp))
        return r;
    if (const int r = otherJob(hp.p->root, request, path))
        return r;
    if (const int r = applyChange(hp.p->root, request, change))
        return r == LABRES_NO_MEMORY ? failedWith(ENOMEM, r) : r;
    if (const int err = jobapi_writeTreeReplacing(file.file.c_str(), hp.p))
        return replaceFailure(err, path, __func__, kLabCodes);
    return 0;
}

int addMeasurementResult(const char *path, const MeasurementRequest *request)
{
    return changeMeasurementResult(path, request, ResultChange::Enter);
}

int removeMeasurementResult(const char *path, const MeasurementRequest *request)
{
    return changeMeasurementResult(path, request, ResultChange::TakeBack);
}

/* ================================================================== */
/* 7. Merge                                                            */
/*    mergeJobFile                                                     */
/* The plan (internal/mergeplan.*) decides; the code here performs it. */
/* ================================================================== */

namespace {

using tandel::MergePlan;

const char kMerge[] = "mergeJobFile";
const char *const kHeaderElements[] = {"instrument", "controller", "sensor", "user"};

/* copyToAbsentBase: Base exists by now, merge it instead. */
const int kBaseAppeared = 1;
/* Rounds of a Base that appears while it is found absent and then is
   gone again when opened: beyond them it is reported busy. */
const int kAbsentRounds = 100;

/* News as read: the path as given, the open stream, and its removal
   prepared before Base is replaced. */
struct News {
    const char *path;
    FILE *stream;
    tandel::ReadFileRemoval removal;
};

/* Appends children to one parent, remembering the last one, so that a
   job of many samples is built in linear time (qrx_AddElement walks the
   whole child list for every append). */
class ChildAppender {
public:
    explicit ChildAppender(qrx_Element *parent) : parent_(parent), link_(&parent->children)
    {
        while (*link_)
            link_ = &(*link_)->next;
    }
    /* A new child with a copy of value (may be null); null when out of memory. */
    qrx_Element *append(const char *name, const char *value)
    {
        qrx_Element *el = tandel::newChild(name, value, parent_);
        if (!el)
            return nullptr;
        *link_ = el;
        link_ = &el->next;
        return el;
    }
    /* Appends a copy of src (text and attributes). */
    qrx_Element *appendCopy(const char *name, const qrx_Element *src)
    {
        qrx_Element *el = append(name, src->value);
        if (el && copyAttributes(src, el) != 0)
            return nullptr;
        return el;
    }

private:
    qrx_Element *parent_;
    qrx_Element **link_;
};

/* The place's process measurement as the plan says, if any. False when
   out of memory. */
bool appendProcess(ChildAppender &to, const MergePlan::Place &at)
{
    if (!at.process())
        return true;
    qrx_Element *el = to.appendCopy("process_measurement", at.process());
    return el && (!at.processTextFromNews() || setValue(el, at.newsProcess->value));
}

/* The place's lab measurement as the plan says, if any. False when out
   of memory. */
bool appendLab(ChildAppender &to, const MergePlan::Place &at)
{
    if (!at.lab())
        return true;
    qrx_Element *el = to.appendCopy("lab_measurement", at.lab());
    return el && (!at.labReopened() || (setValue(el, "-1.0") && qrx_AddAttribute("done", "0", el)));
}

/* A merged sample: News' attributes, else Base's, and its places. False
   when out of memory. */
bool appendSample(ChildAppender &samples, const MergePlan::Sample &planned)
{
    qrx_Element *sample = samples.append("sample", nullptr);
    if (!sample || copyAttributes(planned.news ? planned.news : planned.base, sample) != 0)
        return false;
    ChildAppender measurements(sample);
    for (const MergePlan::Place &at : planned.places)
        if (!appendProcess(measurements, at) || !appendLab(measurements, at))
            return false;
    return true;
}

/* Header part: job attributes and the four header elements, News over Base. */
bool mergeHeader(qrx_Element *baseJob, qrx_Element *newsJob, qrx_Element *merged)
{
    for (qrx_Element *side : {baseJob, newsJob}) {
        if (copyAttributes(side, merged) != 0)
            return false;
        for (const char *name : kHeaderElements) {
            qrx_Element *el;
            if (copyElementInto(name, side, merged, 1, &el) == kCopyNoMemory)
                return false;
        }
    }
    return true;
}

/* A tree of one empty "job" element, as "<job/>" would parse. */
bool newJobTree(Handle *h)
{
    return qrx_init(&h->p, kMaxDepth) == 0 && (h->p->root = qrx_NewElement("__ROOT__", -1)) &&
           qrx_AddElement("job", nullptr, h->p->root);
}

/* The merged job of the plan: header, samples and contained_samples.
   False when out of memory. */
bool buildMerged(const MergePlan &plan, qrx_Element *merged)
{
    if (!mergeHeader(plan.baseJob, plan.newsJob, merged))
        return false;
    ChildAppender samples(merged);
    for (const MergePlan::Sample &planned : plan.samples)
        if (!appendSample(samples, planned))
            return false;
    return qrx_AddAttribute("contained_samples", decimal(static_cast<long long>(plan.samples.size())).c_str(),
                            merged) != nullptr;
}

/* Deletes News (the end of its links) once Base holds what was read from
   it, unless the path names another file by then (a newer News that is
   not merged yet): only the file read can be removed. */
void deleteNewsRead(News &news)
{
    switch (news.removal.remove(fileno(news.stream))) {
    case tandel::Removal::Removed:
        break;
    case tandel::Removal::Kept:
        TRACE_AS(kMerge, TRACE_INFO, "mergeJobFile() - \"%s\" changed meanwhile, kept\n", news.path);
        break;
    case tandel::Removal::Aside:
        TRACE_AS(kMerge, TRACE_FAIL, "mergeJobFile() - \"%s\" changed meanwhile, kept as \"%s\"\n", news.path,
                 news.removal.aside().c_str());
        break;
    case tandel::Removal::Failed:
        TRACE_AS(kMerge, TRACE_FAIL, "mergeJobFile() - cannot delete \"%s\"\n", news.path);
        break;
    }
}

/* The plan's refusal, traced: its code, with errno EINVAL for two files
   or jobs that must not be merged, 0 for a tree without job element. */
int refuse(const MergePlan &plan)
{
    switch (plan.refusal) {
    case MERGE_SAME_FILE:
        TRACE_AS(kMerge, TRACE_FAIL, "mergeJobFile() - Base and News are the same file\n");
        return failedWith(EINVAL, MERGE_SAME_FILE);
    case MERGE_OTHER_JOB:
        TRACE_AS(kMerge, TRACE_FAIL, "mergeJobFile() - Base is job %s, News job %s: not merged\n",
                 attrValue(plan.baseJob, "job_id"), attrValue(plan.newsJob, "job_id"));
        return failedWith(EINVAL, MERGE_OTHER_JOB);
    default:
        /* Mer, the merged job, is null now that the plan comes first; the
           text stays as field logs know it. */
        TRACE_AS(kMerge, TRACE_FAIL, "mergeJobFile() Base=%p News=%p Mer=%p\n",
                 static_cast<const void *>(plan.baseJob), static_cast<const void *>(plan.newsJob),
                 static_cast<void *>(nullptr));
        return failedWith(0, MERGE_COPY_FAILED);
    }
}

/* Base does not exist: it becomes a copy of News, under the directory's
   lock so that two first deliveries do not overwrite each other (the
   plan's Create, which reads no tree). 0, a MERGE code, or
   kBaseAppeared. A missing directory is no lock failure: the copy fails
   and says so. */
int copyToAbsentBase(const char *basePath, News &news)
{
    tandel::PathLock dirLock;
    bool locked = true;
    const bool opened = dirLock.openDirectory(tandel::directoryOf(basePath), &locked) >= 0;
    if (opened ? !locked : !tandel::isAbsent(errno))
        TRACE_AS(kMerge, TRACE_FAIL, "cannot lock \"%s\"\n", basePath);
    struct stat st {};
    if (lstat(basePath, &st) == 0)
        return kBaseAppeared;
    /* No blank before the quote: the text field logs know. */
    TRACE_AS(kMerge, TRACE_INFO, "mergeJobFile() - no Base job\"%s\"\n", basePath);
    if (const int err = copyStreamReplacing(news.stream, basePath)) {
        /* "cp", though no cp runs (the library copies): the text field logs know. */
        TRACE_AS(kMerge, TRACE_FAIL, "mergeJobFile() - failed cp \"%s\" \"%s\"\n", news.path, basePath);
        return writeFailure(err, kCopyCodes);
    }
    deleteNewsRead(news);
    return 0;
}

/* Builds a tree of stream: 0, the parse result, MERGE_NO_MEMORY, or
   codes.unreadable (errno the read's) after a read error. */
int buildFrom(Handle *h, FILE *stream, const char *path, const FileCodes &codes)
{
    if (qrx_init(&h->p, kMaxDepth) != 0)
        return failedWith(ENOMEM, MERGE_NO_MEMORY);
    return readJobTree(h->p, stream, path, codes, kMerge, true);
}

/* Kill: Base (the end of its links) is deleted, News kept. The directory
   is synced, so that a deletion reported stays one after a power cut. */
int killJob(const char *basePath, const LockedJob &base)
{
    TRACE_AS(kMerge, TRACE_INFO, "mergeJobFile() - kill job (%s)\n", basePath);
    if (unlink(base.file.c_str()) != 0)
        return replaceFailure(errno, basePath, kMerge, kBaseCodes);
    tandel::syncDirectory(tandel::directoryOf(base.file.c_str()));
    return 0;
}

/* Copy: Base becomes a copy of News. */
int copySingleton(const char *basePath, const LockedJob &base, News &news)
{
    const int rc = copyStreamReplacing(news.stream, base.file.c_str());
    /* "cp -f", though no cp runs (the library copies): the text field
       logs know. */
    TRACE_AS(kMerge, TRACE_INFO,
             "mergeJobFile() - JOBTYPE_PROP_SINGLETON (cp -f \"%s\" \"%s\") returned %d\n", news.path,
             basePath, rc);
    if (rc != 0)
        return writeFailure(rc, kCopyCodes);
    deleteNewsRead(news);
    return 0;
}

/* Merge: Base becomes the merged job of the plan. */
int writeMerged(const MergePlan &plan, const char *basePath, const LockedJob &base, News &news)
{
    Handle hm;
    if (!newJobTree(&hm) || !buildMerged(plan, hm.p->root->children))
        return MERGE_NO_MEMORY;
    if (const int err = jobapi_writeTreeReplacing(base.file.c_str(), hm.p))
        return replaceFailure(err, basePath, kMerge, kBaseCodes);
    /* News is deleted right after this line; "DO NOT delete" is the text
       field logs know. */
    TRACE_AS(kMerge, TRACE_INFO, "mergeJobFile() - DO NOT delete file \"%s\"\n", news.path);
    deleteNewsRead(news);
    return plan.measurements();
}

/* Performs the plan for a Base that exists, locked. */
int perform(const MergePlan &plan, const char *basePath, const LockedJob &base, News &news)
{
    switch (plan.action) {
    case MergePlan::Action::Kill:
        return killJob(basePath, base);
    case MergePlan::Action::Copy:
        return copySingleton(basePath, base, news);
    case MergePlan::Action::Merge:
        return writeMerged(plan, basePath, base, news);
    case MergePlan::Action::Create: /* never planned for a Base that exists */
    case MergePlan::Action::Refuse:
        break;
    }
    return refuse(plan);
}

/* Whether two open descriptors are one file (same device and inode). */
bool sameOpenFile(int a, int b)
{
    struct stat sa {
    }, sb{};
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

/* Reads the locked Base and News into trees, plans the merge and
   performs it. */
int mergeOpen(const char *basePath, LockedJob &base, News &news)
{
    if (sameOpenFile(base.lock.fd(), fileno(news.stream)))
        return refuse(tandel::planMerge(true, nullptr, nullptr));
    Handle hb, hn;
    if (const int rb = buildFrom(&hb, base.stream.get(), basePath, kBaseCodes); rb < 0)
        return rb;
    if (const int rn = buildFrom(&hn, news.stream, news.path, kNewsCodes); rn < 0)
        return rn;
    return perform(tandel::planMerge(false, hb.p->root, hn.p->root), basePath, base, news);
}

int mergeLocked(const char *basePath, const char *newsPath)
{
    FilePtr stream(tandel::openRegularStream(newsPath));
    if (!stream) {
        const int err = errno;
        TRACE_AS(kMerge, TRACE_FAIL, "mergeJobFile() - cannot read News \"%s\"\n", newsPath);
        return openFailure(err, kNewsCodes);
    }
    News news{newsPath, stream.get(), {}};
    if (news.removal.prepare(newsPath) != 0)
        return MERGE_NO_MEMORY;
    for (int round = 0; round < kAbsentRounds; ++round) {
        LockedJob base;
        bool absent = false;
        const int r = openLocked(basePath, &base, kBaseCodes, kMerge, &absent);
        if (absent) {
            const int c = copyToAbsentBase(basePath, news);
            if (c == kBaseAppeared)
                continue;
            return c;
        }
        if (r != 0)
            return r;
        return mergeOpen(basePath, base, news);
    }
    TRACE_AS(kMerge, TRACE_FAIL, "cannot read \"%s\"\n", basePath);
    return openFailure(EBUSY, kBaseCodes);
}

} // namespace

int mergeJobFile(const char *basePath, const char *newsPath)
try {
    if (!basePath || !newsPath)
        return failedWith(EINVAL, MERGE_NEWS_UNREADABLE);
    TRACE(TRACE_INFO, "mergeJobFile() - Base = \"%s\", News = \"%s\"\n", basePath, newsPath);
    if (tandel::sameFile(basePath, newsPath))
        return refuse(tandel::planMerge(true, nullptr, nullptr));
    tandel::CNumbers numbers;
    const int r = mergeLocked(basePath, newsPath);
    return r == MERGE_NO_MEMORY ? failedWith(ENOMEM, r) : r;
} catch (...) {
    return failedWith(ENOMEM, MERGE_NO_MEMORY);
}

/* ================================================================== */
/* 8. Display format                                                   */
/*    jobapi_tenTo, formatMeasurementString                            */
/* ================================================================== */

namespace {

/* Rounds v > 0 to s significant digits, halves upwards; *e becomes the
   count of integer digits (v >= 1) or the place of the first non-zero
   decimal (v < 1). HUGE_VAL when the powers of ten overflow (v >= 1e308). */
double roundSignificant(double v, int s, int *e)
{
    double ip;
    if (v >= 1) {
        for (*e = 1; std::modf(v / jobapi_tenTo(*e), &ip), ip != 0; ++*e) {}
        if (!std::isfinite(jobapi_tenTo(*e)))
            return HUGE_VAL;
        double t = v / jobapi_tenTo(*e) * jobapi_tenTo(s);
        double frac = std::modf(t, &ip);
        double k = ip + (frac >= 0.5 ? 1 : 0);
        return s > *e ? k / jobapi_tenTo(s - *e) : k * jobapi_tenTo(*e - s);
    }
    for (*e = 1; std::modf(v * jobapi_tenTo(*e), &ip), ip == 0; ++*e) {}
    double t = v * jobapi_tenTo(*e) * jobapi_tenTo(s - 1);
    double frac = std::modf(t, &ip);
    double r = (ip + (frac >= 0.5 ? 1 : 0)) / jobapi_tenTo(s + *e - 1);
    /* subnormal magnitudes overflow the scaling; they print as zero */
    return std::isfinite(r) ? r : 0.0;
}

/* Cuts the text of a significant-digit value r to what the digits can
   tell: n is the sign (0 or 1), e as roundSignificant leaves it. */
void cutToDigits(char *text, double r, int digits, int n, int e)
{
    const char *dot = std::strchr(text, '.');
    if (!dot)
        return;
    const size_t before = static_cast<size_t>(dot - text);
    size_t cut;
    if (r > 1 || r < -1)
        cut = before >= static_cast<size_t>(digits + n) ? before : static_cast<size_t>(n + digits + 1);
    else
        cut = static_cast<size_t>(n + digits + e + 1);
    if (std::strlen(text) > cut)
        text[cut] = '\0';
}

} // namespace

#define TENS(d) \
    1e##d##0, 1e##d##1, 1e##d##2, 1e##d##3, 1e##d##4, 1e##d##5, 1e##d##6, 1e##d##7, 1e##d##8, 1e##d##9

/* What pow(10, n) gives, without pow, which would tie the library to
   glibc 2.29. */
double jobapi_tenTo(int n)
{
    /* glibc's pow (without FMA, as on the controller) is one unit in
       the last place above the nearest double at these three. */
    switch (n) {
    case 23:
        return 0x1.52d02c7e14af7p+76;
    case 126:
        return 0x1.7a2ecc414a04p+418;
    case 210:
        return 0x1.8557f31326bbcp+697;
    }
    static const double kTens[] = {
        TENS(0),  TENS(1),  TENS(2),  TENS(3),  TENS(4),  TENS(5),  TENS(6),  TENS(7),  TENS(8),  TENS(9),
        TENS(10), TENS(11), TENS(12), TENS(13), TENS(14), TENS(15), TENS(16), TENS(17), TENS(18), TENS(19),
        TENS(20), TENS(21), TENS(22), TENS(23), TENS(24), TENS(25), TENS(26), TENS(27), TENS(28), TENS(29),
        1e300,    1e301,    1e302,    1e303,    1e304,    1e305,    1e306,    1e307,    1e308};
    return static_cast<size_t>(n) < sizeof kTens / sizeof kTens[0] ? kTens[n] : HUGE_VAL;
}
#undef TENS

int formatMeasurementString(char *out, int format, double value)
{
    if (!out)
        return 0;
    tandel::CNumbers numbers;
    const unsigned word = static_cast<unsigned>(format) & 0xFFFFu;
    if (std::isnan(value)) {
        std::strcpy(out, "Error");
        return 0;
    }
    /* also keeps the digit counting below from running forever */
    if (std::isinf(value)) {
        std::strcpy(out, "##.##");
        return 1;
    }
    char text[400]; /* "%.7f" of the largest double */
    if (word & 0x8000u) {
        std::snprintf(text, sizeof text, "%5.2f", value);
        std::strcpy(out, std::strlen(text) > 12 ? "##.##" : text);
        return 1;
    }
    const int decimals = static_cast<int>(word & 7u);
    const int digits = static_cast<int>((word >> 7) & 7u);
    const bool fixed = (word & 0x400u) != 0;
    const int n = value < 0 ? 1 : 0;
    double r = value;
    int e = 0;
    if (!fixed) {
        if (digits == 0) {
            std::strcpy(out, "Error");
            return 0;
        }
        double v = std::fabs(value);
        r = v == 0 ? 0.0 : roundSignificant(v, digits, &e);
        if (n)
            r = -r;
    }
    if (std::isinf(r)) {
        std::strcpy(out, "##.##");
        return 1;
    }
    std::snprintf(text, sizeof text, "%.*f", decimals, r);
    if (!fixed)
        cutToDigits(text, r, digits, n, e);
    const size_t len = std::strlen(text);
    const size_t allowed = 10 + n + (std::strchr(text, '.') ? 1 : 0);
    std::strcpy(out, len > allowed ? "##.##" : text);
    return 1;
}
