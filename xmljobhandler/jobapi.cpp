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
 */
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
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
#include "trace.h"

static const char kTraceFile[] = "../xmljobhandler/jobapi.cpp";

extern "C" {
const char *const jobref_job[] = {"job", nullptr};
const char *const jobref_sensor[] = {"job", "sensor", nullptr};
const char *const jobref_contr[] = {"job", "controller", nullptr};
const char *const jobref_sample[] = {"job", "sample", nullptr};
const char *const jobref_prcMeas[] = {"process_measurement", nullptr};
const char *const jobref_labMeas[] = {"lab_measurement", nullptr};
}

namespace {

const int kMaxDepth = 4;

using tandel::FilePtr;

/* A parser handle released at the end of the scope. */
using Handle = tandel::Owned<qrx_Parser, qrx_deinit>;

std::string decimal(long long n) { return std::to_string(n); }

/* The answers findElement(start, path, attr, text) would give, for every
   text at once: one pass in the search's own order, first entry wins.
   The numbered walks use it so that a job is read in linear time. */
class NumberedIndex {
public:
    NumberedIndex() = default;
    NumberedIndex(qrx_Element *start, const char *const *path, const char *attr)
    {
        if (start)
            add(start, path, attr);
    }
    qrx_Element *find(int n) const
    {
        auto it = map_.find(decimal(n));
        return it == map_.end() ? nullptr : it->second;
    }

private:
    void add(qrx_Element *el, const char *const *path, const char *attr)
    {
        if (!*path) {
            for (const qrx_Attribute *at = el->attributes; at; at = at->next)
                if (at->value && str_equal(at->name, attr))
                    map_.emplace(at->value, el);
            return;
        }
        for (qrx_Element *child = el->children; child; child = child->next)
            if (str_equal(child->name, *path))
                add(child, path + 1, attr);
    }
    std::unordered_map<std::string, qrx_Element *> map_;
};

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

/* A failure's code, with errno left at err for the caller. */
int failedWith(int err, int code)
{
    errno = err;
    return code;
}

/* The code for a job file that cannot be opened: the operation's own
   out of memory or "cannot read" code, with errno left at err. */
int openFailure(int err, int unreadable, int noMemory)
{
    return failedWith(err, err == ENOMEM ? noMemory : unreadable);
}

/* errno after a read error: what the failed read said. */
int readError() { return errno ? errno : EIO; }

/* The codes of one operation for its job file. */
struct FileCodes {
    int unreadable;
    int unwritable;
    int noMemory;
};

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
        return openFailure(err, codes.unreadable, codes.noMemory);
    }
    if (r == QRX_NO_MEMORY)
        return failedWith(ENOMEM, codes.noMemory);
    if (r >= 0)
        return 0;
    if (traceParse)
        TRACE_AS(fn, TRACE_FAIL, "qrx_BuildDOMTree() failed with %d for \"%s\"\n", r, path);
    return failedWith(0, r);
}

/* *field becomes a copy of text (null stays null); false when out of memory. */
bool dupInto(char **field, const char *text)
{
    if (!text)
        return true;
    *field = strdup(text);
    return *field != nullptr;
}

} // namespace

/* ------------------------------------------------------------------ */
/* Tree queries and copying                                            */
/* ------------------------------------------------------------------ */

static qrx_Element *searchFrom(qrx_Element *el, const char *const *path, const char *attrName,
                               const char *attrVal)
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

static qrx_Element *firstChildNamed(qrx_Element *parent, const char *name)
{
    for (qrx_Element *child = parent->children; child; child = child->next)
        if (str_equal(child->name, name))
            return child;
    return nullptr;
}

/* The results of copyElementInto. */
enum CopyResult { kCopied = 0, kNoSource = 1, kCopyNoMemory = -1 };

/* copyElement with the two ways of returning null told apart. */
static CopyResult copyElementInto(const char *name, qrx_Element *sourceParent, qrx_Element *targetParent,
                                  int front, qrx_Element **out)
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

qrx_Element *copyElement(const char *name, qrx_Element *sourceParent, qrx_Element *targetParent, int front)
{
    if (!name || !sourceParent || !targetParent)
        return nullptr;
    qrx_Element *el = nullptr;
    return copyElementInto(name, sourceParent, targetParent, front, &el) == kCopied ? el : nullptr;
}

/* ------------------------------------------------------------------ */
/* Job descriptor list                                                 */
/* ------------------------------------------------------------------ */

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
        TRACE(TRACE_FAIL, "cannot read longlong  from \"%s\"\n", text ? text : "(null)");
        return TEXT_UNREADABLE;
    }
    return static_cast<int64_t>(v);
}

namespace {
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

static JobDescrList *newJobList(int32_t capacity)
{
    return static_cast<JobDescrList *>(
        std::calloc(1, sizeof(JobDescrList) + static_cast<size_t>(capacity) * sizeof(JobDescriptor *)));
}

namespace {
const char kList[] = "createJobDescrList_Ex";

/* Why a job file was not read: absent, or not readable and writable by
   this process (not listed, as before), or a failure that makes the
   whole list wrong. */
enum class Skip { None, Quietly, NoMemory, Failure };

Skip classifyOpenError(int err)
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
        return Skip::Quietly;
    case ENOMEM:
        return Skip::NoMemory;
    default:
        return Skip::Failure;
    }
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
Skip readJobHeader(FILE *fp, int minKnown, JobDescriptor *jd, bool *accept, int *err)
{
    Handle hp;
    if (qrx_init(&hp.p, kMaxDepth) != 0)
        return Skip::NoMemory;
    errno = 0;
    const int r = qrx_parse(hp.p, fp, listJobs_sax_callback, jd);
    *err = readError();
    if (std::ferror(fp))
        return Skip::Failure;
    if (r == JOBLIST_NO_MEMORY || r == QRX_NO_MEMORY)
        return Skip::NoMemory;
    *accept = r == 0 && jd->knownAttributeCount >= minKnown;
    return Skip::None;
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

/* Lists one directory entry; Skip::None or Quietly when the list may go
   on. After Skip::Failure, *err is the system's reason. */
Skip listEntry(const char *dirPath, const char *name, int minKnown, JobDescrList **jl, int *err)
{
    const std::string path = std::string(dirPath) + "/" + name;
    FilePtr fp(openForListing(path));
    if (!fp) {
        *err = errno;
        const Skip why = classifyOpenError(*err);
        if (why != Skip::Quietly)
            TRACE_AS(kList, TRACE_FAIL, "cannot read \"%s\"\n", path.c_str());
        return why;
    }
    TRACE_AS(kList, TRACE_INFO, "---- file = %s ----\n", path.c_str());
    JobDescriptor jd;
    std::memset(&jd, 0, sizeof jd);
    bool accept = false;
    Skip why = readJobHeader(fp.get(), minKnown, &jd, &accept, err);
    const bool taken = why == Skip::None && accept && appendJob(jl, jd, path);
    if (!taken)
        removeJobDescriptor(&jd);
    if (why == Skip::None && accept && !taken)
        why = Skip::NoMemory;
    if (why == Skip::Failure)
        TRACE_AS(kList, TRACE_FAIL, "cannot read \"%s\"\n", path.c_str());
    return why;
}

bool isJobFileName(const char *name, const char *only)
{
    const size_t len = std::strlen(name);
    return len > 4 && std::strcmp(name + len - 4, ".xml") == 0 && (!only || std::strcmp(name, only) == 0);
}

/* Lists the job files of an open directory into *jl (only fileName when
   not null); Skip::None or Quietly when the whole directory was read.
   After Skip::Failure, *err is the system's reason. */
Skip listDirectory(DIR *dir, const char *dirPath, const char *fileName, int minKnown, JobDescrList **jl,
                   int *err)
try {
    Skip why = Skip::None;
    for (;;) {
        errno = 0;
        const struct dirent *de = readdir(dir);
        if (!de) {
            *err = errno;
            return errno != 0 ? Skip::Failure : why;
        }
        if (!isJobFileName(de->d_name, fileName))
            continue;
        why = listEntry(dirPath, de->d_name, minKnown, jl, err);
        if (why == Skip::NoMemory || why == Skip::Failure || fileName)
            return why;
    }
} catch (...) {
    return Skip::NoMemory;
}
} // namespace

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
        TRACE(TRACE_FAIL, "can not open dir \"%s\"\n", dirPath ? dirPath : "(null)");
        return failedWith(err, err == ENOMEM ? JOBLIST_NO_MEMORY : JOBLIST_NO_DIRECTORY);
    }
    JobDescrList *jl = newJobList(16);
    if (!jl)
        return failedWith(ENOMEM, JOBLIST_NO_MEMORY);
    int err = 0;
    const Skip why = listDirectory(dir.get(), dirPath, fileName, minKnown, &jl, &err);
    if (why == Skip::NoMemory || why == Skip::Failure) {
        removeJobDescrList(&jl);
        return why == Skip::NoMemory ? failedWith(ENOMEM, JOBLIST_NO_MEMORY)
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

/* ------------------------------------------------------------------ */
/* Measurement request list                                            */
/* ------------------------------------------------------------------ */

namespace {
struct LabPlace {
    qrx_Element *sample;
    int number;
    qrx_Element *lab;
    qrx_Element *prc; /* same index, or null */
    int index;
};

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
} // namespace

namespace {
const char kRequests[] = "createMeasurementRequestList";

const FileCodes kRequestCodes = {REQLIST_UNREADABLE, REQLIST_UNREADABLE, REQLIST_NO_MEMORY};

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
        return openFailure(err, REQLIST_UNREADABLE, REQLIST_NO_MEMORY);
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

/* ------------------------------------------------------------------ */
/* Measurement result update                                           */
/* ------------------------------------------------------------------ */

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

static const char kChange[] = "changeMeasurementResult";

/* qrx_SetElementValue hands back the old value when its copy fails. */
static bool setValue(qrx_Element *el, const char *value)
{
    qrx_SetElementValue(value, el);
    return el->value && std::strcmp(el->value, value) == 0;
}

/* Enters the request's result into lab; false when out of memory. */
static bool addResult(const LabPlace &at, const MeasurementRequest *rq, int counter)
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
    if (ok)
        TRACE_AS(kChange, TRACE_INFO, "  sample %d : added labMeas (index=%d, totalIndex=%d) = %s\n",
                 at.number, at.index, counter, lab->value);
    return ok;
}

static bool removeResult(const LabPlace &at, const MeasurementRequest *rq, int counter)
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
static bool updateJobHandling(qrx_Element *root, const std::vector<LabPlace> &places)
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

namespace {
/* A job file opened for a read-change-replace cycle: the file at the end
   of the path's links, locked (see PathLock) and checked to be one this
   process may write. */
struct LockedJob {
    std::string file;
    tandel::PathLock lock;
    FilePtr stream;
};

const FileCodes kLabCodes = {LABRES_UNREADABLE, LABRES_UNWRITABLE, LABRES_NO_MEMORY};
const FileCodes kBaseCodes = {MERGE_BASE_UNREADABLE, MERGE_BASE_UNWRITABLE, MERGE_NO_MEMORY};

/* Whether a job file that cannot be opened read-write can be read. */
bool readableOnly(int err, const char *file)
{
    return (err == EACCES || err == EPERM || err == EROFS || err == ETXTBSY) &&
           tandel::Fd(tandel::openRegular(file, O_RDONLY)).get() >= 0;
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
        errno = err;
        return err == ENOMEM ? codes.noMemory : readable ? codes.unwritable : codes.unreadable;
    }
    if (!locked)
        TRACE_AS(fn, TRACE_FAIL, "cannot lock \"%s\"\n", path);
    const int dupFd = fcntl(job->lock.fd(), F_DUPFD_CLOEXEC, 0);
    job->stream.reset(dupFd < 0 ? nullptr : tandel::streamOf(dupFd));
    if (!job->stream) {
        err = errno;
        TRACE_AS(fn, TRACE_FAIL, "cannot read \"%s\"\n", path);
        return openFailure(err, codes.unreadable, codes.noMemory);
    }
    return 0;
}

/* The operation's code for a failed replacement of path; errno is err. */
int writeFailure(int err, const char *path, const char *fn, const FileCodes &codes)
{
    TRACE_AS(fn, TRACE_FAIL, "cannot write \"%s\"\n", path);
    errno = err;
    return err == ENOMEM ? codes.noMemory : codes.unwritable;
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
int applyChange(qrx_Element *root, const MeasurementRequest *request, int add)
try {
    const std::vector<LabPlace> places = labPlaces(root);
    const int k = request->totalIndex;
    const bool matched = k >= 0 && static_cast<size_t>(k) < places.size();
    if (matched && !(add ? addResult(places[k], request, k) : removeResult(places[k], request, k)))
        return LABRES_NO_MEMORY;
    if (!updateJobHandling(root, places))
        return LABRES_NO_MEMORY;
    if (!matched) {
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

int changeMeasurementResult(const char *path, const MeasurementRequest *request, int add)
{
    if (!path || !request)
        return failedWith(EINVAL, LABRES_UNREADABLE);
    if (const int r = add ? refusedRequest(request) : 0)
        return r;
    LockedJob file;
    Handle hp;
    tandel::CNumbers numbers;
    if (const int r = readLockedTree(path, &file, &hp))
        return r;
    if (const int r = otherJob(hp.p->root, request, path))
        return r;
    if (const int r = applyChange(hp.p->root, request, add))
        return r == LABRES_NO_MEMORY ? failedWith(ENOMEM, r) : r;
    if (const int err = jobapi_writeTreeReplacing(file.file.c_str(), hp.p))
        return writeFailure(err, path, __func__, kLabCodes);
    return 0;
}

int addMeasurementResult(const char *path, const MeasurementRequest *request)
{
    return changeMeasurementResult(path, request, 1);
}

int removeMeasurementResult(const char *path, const MeasurementRequest *request)
{
    return changeMeasurementResult(path, request, 0);
}

/* The writer without storage policy: the replacement syncs once and sets
   the mode once. */
int jobapi_writeTreeReplacing(const char *path, qrx_Parser *handle)
try {
    if (!path || !handle || !handle->root)
        return EINVAL;
    return tandel::replaceWith(path, 0666, [handle](FILE *fp) { return qrx_WriteDOMTree(handle, fp) >= 0; });
} catch (...) {
    return ENOMEM;
}

/* Replaces target by the bytes of in from its start. 0 or errno. */
static int copyStreamReplacing(FILE *in, const char *target)
try {
    std::rewind(in);
    return tandel::replaceWith(target, 0666, [in](FILE *out) {
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

/* ------------------------------------------------------------------ */
/* Job file merge                                                      */
/* ------------------------------------------------------------------ */

namespace {
const char *const kHeaderElements[] = {"instrument", "controller", "sensor", "user"};

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

/* Appends a copy of Base's or News' process measurement; News' text
   wins when News has one. False when out of memory. */
bool appendProcess(ChildAppender &to, const qrx_Element *prc, const qrx_Element *newsPrc)
{
    qrx_Element *el = to.appendCopy("process_measurement", prc);
    return el && (!newsPrc || !newsPrc->value || setValue(el, newsPrc->value));
}

/* Appends a copy of a lab measurement; one whose done is exactly "4"
   comes out open again (-1.0, done 0). False when out of memory. */
bool appendLab(ChildAppender &to, const qrx_Element *lab)
{
    qrx_Element *el = to.appendCopy("lab_measurement", lab);
    return el && (!str_equal(attrValue(el, "done"), "4") ||
                  (setValue(el, "-1.0") && qrx_AddAttribute("done", "0", el)));
}

struct MergeCount {
    int samples = 0;
    int measurements = 0;
};

/* Merges the sample of one number (Base's bs, News' ns, either may be
   null) into a new sample of samples' parent, index by index up to the
   first index neither side has; no sample when that is index 0. The
   new sample takes News' attributes, or Base's without News. False when
   out of memory. */
bool mergeSample(qrx_Element *bs, qrx_Element *ns, ChildAppender &samples, MergeCount *count)
{
    NumberedIndex bPrc(bs, jobref_prcMeas, "index"), bLab(bs, jobref_labMeas, "index");
    NumberedIndex nPrc(ns, jobref_prcMeas, "index"), nLab(ns, jobref_labMeas, "index");
    std::optional<ChildAppender> measurements;
    for (int i = 0;; ++i) {
        qrx_Element *bp = bPrc.find(i), *np = nPrc.find(i);
        qrx_Element *prc = bp ? bp : np;
        qrx_Element *lab = nLab.find(i);
        if (!lab)
            lab = bLab.find(i);
        if (!prc && !lab)
            return true;
        if (!measurements) {
            qrx_Element *sample = samples.append("sample", nullptr);
            if (!sample || copyAttributes(ns ? ns : bs, sample) != 0)
                return false;
            measurements.emplace(sample);
            ++count->samples;
        }
        if (prc && !appendProcess(*measurements, prc, np))
            return false;
        count->measurements += prc != nullptr;
        if (lab && !appendLab(*measurements, lab))
            return false;
        count->measurements += lab != nullptr;
    }
}

/* Builds merged's samples from Base and News, numbers 0, 1, ... up to
   the first number neither side has, and sets contained_samples. The
   measurement count, or MERGE_NO_MEMORY. */
int mergeSamples(qrx_Element *baseRoot, qrx_Element *newsRoot, qrx_Element *merged)
{
    MergeCount count;
    NumberedIndex baseSamples(baseRoot, jobref_sample, "number");
    NumberedIndex newsSamples(newsRoot, jobref_sample, "number");
    ChildAppender samples(merged);
    for (int n = 0;; ++n) {
        qrx_Element *bs = baseSamples.find(n);
        qrx_Element *ns = newsSamples.find(n);
        if (!bs && !ns)
            break;
        if (!mergeSample(bs, ns, samples, &count))
            return MERGE_NO_MEMORY;
    }
    if (!qrx_AddAttribute("contained_samples", decimal(count.samples).c_str(), merged))
        return MERGE_NO_MEMORY;
    return count.measurements;
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
} // namespace

namespace {
const char kMerge[] = "mergeJobFile";

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

/* Base does not exist: it becomes a copy of News, under the directory's
   lock so that two first deliveries do not overwrite each other. 0, a
   MERGE code, or kBaseAppeared. A missing directory is no lock failure:
   the copy fails and says so. */
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
    TRACE_AS(kMerge, TRACE_INFO, "mergeJobFile() - no Base job\"%s\"\n", basePath);
    if (const int err = copyStreamReplacing(news.stream, basePath)) {
        TRACE_AS(kMerge, TRACE_FAIL, "mergeJobFile() - failed cp \"%s\" \"%s\"\n", news.path, basePath);
        return openFailure(err, MERGE_COPY_FAILED, MERGE_NO_MEMORY);
    }
    deleteNewsRead(news);
    return 0;
}

/* Builds a tree of stream: 0, the parse result, MERGE_NO_MEMORY, or
   unreadable (errno the read's) after a read error. */
int buildFrom(Handle *h, FILE *stream, const char *path, int unreadable)
{
    if (qrx_init(&h->p, kMaxDepth) != 0)
        return failedWith(ENOMEM, MERGE_NO_MEMORY);
    return readJobTree(h->p, stream, path, {unreadable, unreadable, MERGE_NO_MEMORY}, kMerge, true);
}

/* News' job_handling bit 0x100: Base (the end of its links) is deleted,
   News kept. */
int killJob(const char *basePath, const LockedJob &base)
{
    TRACE_AS(kMerge, TRACE_INFO, "mergeJobFile() - kill job (%s)\n", basePath);
    if (unlink(base.file.c_str()) != 0)
        return writeFailure(errno, basePath, kMerge, kBaseCodes);
    return 0;
}

/* News' job_type bit 0x20: Base becomes a copy of News. */
int copySingleton(const char *basePath, const LockedJob &base, News &news)
{
    const int rc = copyStreamReplacing(news.stream, base.file.c_str());
    TRACE_AS(kMerge, TRACE_INFO,
             "mergeJobFile() - JOBTYPE_PROP_SINGLETON (cp -f \"%s\" \"%s\") returned %d\n", news.path,
             basePath, rc);
    if (rc != 0)
        return openFailure(rc, MERGE_COPY_FAILED, MERGE_NO_MEMORY);
    deleteNewsRead(news);
    return 0;
}

/* A tree of one empty "job" element, as "<job/>" would parse. */
bool newJobTree(Handle *h)
{
    return qrx_init(&h->p, kMaxDepth) == 0 && (h->p->root = qrx_NewElement("__ROOT__", -1)) &&
           qrx_AddElement("job", nullptr, h->p->root);
}

/* Base and News both naming a job_id, and different ones (read as the
   lists read them): MERGE_OTHER_JOB with errno EINVAL, else 0. A merge
   would put one job's results into the other's file and delete it. */
int otherJobs(const qrx_Element *baseJob, const qrx_Element *newsJob)
{
    const char *base = attrValue(baseJob, "job_id");
    const char *news = attrValue(newsJob, "job_id");
    if (!base || !news || std::atoi(base) == std::atoi(news))
        return 0;
    TRACE_AS(kMerge, TRACE_FAIL, "mergeJobFile() - Base is job %s, News job %s: not merged\n", base, news);
    return failedWith(EINVAL, MERGE_OTHER_JOB);
}

/* The merge proper, with Base locked and both files read. */
int mergeTrees(const char *basePath, const LockedJob &base, News &news, Handle &hb, Handle &hn)
{
    Handle hm;
    if (!newJobTree(&hm))
        return MERGE_NO_MEMORY;
    qrx_Element *baseJob = findElement(hb.p->root, jobref_job, nullptr, nullptr);
    qrx_Element *newsJob = findElement(hn.p->root, jobref_job, nullptr, nullptr);
    qrx_Element *merJob = hm.p->root->children;
    if (!baseJob || !newsJob) {
        TRACE_AS(kMerge, TRACE_FAIL, "mergeJobFile() Base=%p News=%p Mer=%p\n", static_cast<void *>(baseJob),
                 static_cast<void *>(newsJob), static_cast<void *>(merJob));
        return failedWith(0, MERGE_COPY_FAILED);
    }
    if (const int r = otherJobs(baseJob, newsJob))
        return r;
    int bits = 0;
    if (attrScan(newsJob, "job_handling", &bits) && (bits & 0x100))
        return killJob(basePath, base);
    if (attrScan(newsJob, "job_type", &bits) && (bits & 0x20))
        return copySingleton(basePath, base, news);
    if (!mergeHeader(baseJob, newsJob, merJob))
        return MERGE_NO_MEMORY;
    const int count = mergeSamples(hb.p->root, hn.p->root, merJob);
    if (count < 0)
        return count;
    if (const int err = jobapi_writeTreeReplacing(base.file.c_str(), hm.p))
        return writeFailure(err, basePath, kMerge, kBaseCodes);
    TRACE_AS(kMerge, TRACE_INFO, "mergeJobFile() - DO NOT delete file \"%s\"\n", news.path);
    deleteNewsRead(news);
    return count;
}

/* Whether two open descriptors are one file (same device and inode). */
bool sameOpenFile(int a, int b)
{
    struct stat sa {
    }, sb{};
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

/* Reads the locked Base and News into trees and merges them. */
int mergeOpen(const char *basePath, LockedJob &base, News &news)
{
    if (sameOpenFile(base.lock.fd(), fileno(news.stream))) {
        TRACE_AS(kMerge, TRACE_FAIL, "mergeJobFile() - Base and News are the same file\n");
        return failedWith(EINVAL, MERGE_SAME_FILE);
    }
    Handle hb, hn;
    if (const int rb = buildFrom(&hb, base.stream.get(), basePath, MERGE_BASE_UNREADABLE); rb < 0)
        return rb;
    if (const int rn = buildFrom(&hn, news.stream, news.path, MERGE_NEWS_UNREADABLE); rn < 0)
        return rn;
    return mergeTrees(basePath, base, news, hb, hn);
}

int mergeLocked(const char *basePath, const char *newsPath)
{
    FilePtr stream(tandel::openRegularStream(newsPath));
    if (!stream) {
        const int err = errno;
        TRACE_AS(kMerge, TRACE_FAIL, "mergeJobFile() - cannot read News \"%s\"\n", newsPath);
        return openFailure(err, MERGE_NEWS_UNREADABLE, MERGE_NO_MEMORY);
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
    return openFailure(EBUSY, MERGE_BASE_UNREADABLE, MERGE_NO_MEMORY);
}
} // namespace

int mergeJobFile(const char *basePath, const char *newsPath)
try {
    if (!basePath || !newsPath)
        return failedWith(EINVAL, MERGE_NEWS_UNREADABLE);
    TRACE(TRACE_INFO, "mergeJobFile() - Base = \"%s\", News = \"%s\"\n", basePath, newsPath);
    if (tandel::sameFile(basePath, newsPath)) {
        TRACE(TRACE_FAIL, "mergeJobFile() - Base and News are the same file\n");
        return failedWith(EINVAL, MERGE_SAME_FILE);
    }
    tandel::CNumbers numbers;
    const int r = mergeLocked(basePath, newsPath);
    return r == MERGE_NO_MEMORY ? failedWith(ENOMEM, r) : r;
} catch (...) {
    return failedWith(ENOMEM, MERGE_NO_MEMORY);
}

/* ------------------------------------------------------------------ */
/* Measurement value formatting                                        */
/* ------------------------------------------------------------------ */

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

/* Rounds v > 0 to s significant digits, halves upwards; *e becomes the
   count of integer digits (v >= 1) or the place of the first non-zero
   decimal (v < 1). HUGE_VAL when the powers of ten overflow (v >= 1e308). */
static double roundSignificant(double v, int s, int *e)
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
static void cutToDigits(char *text, double r, int digits, int n, int e)
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
