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
#include "../xmlparser/qrxparser_internal.h"
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

const float kNoValue = -9999.99f;
const int kMaxDepth = 4;

using tandel::FilePtr;

/* A parser handle released at the end of the scope. */
struct Handle {
    qrx_Parser *p = nullptr;
    Handle() = default;
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle() { qrx_deinit(&p); }
};

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

/* *field becomes a copy of text (null stays null); false when out of memory. */
bool dupInto(char **field, const char *text)
{
    if (!text)
        return true;
    *field = strdup(text);
    return *field != nullptr;
}

/* Writes the new content of path into a temporary file of the same
   directory with fill(stream), pushes it to storage and renames it over
   path with mode 0666. 0, or the errno of the failing step (temporary
   file removed). */
template <typename Fill> int replaceFile(const char *path, Fill fill)
{
    tandel::Replacement out;
    if (const int err = out.open(path))
        return err;
    errno = 0;
    if (!fill(out.stream()))
        return errno ? errno : EIO;
    return out.commit(0666);
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
        return -1;
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
        return -1;
    if (!target)
        return -2;
    for (const qrx_Attribute *at = source->attributes; at; at = at->next)
        if (!qrx_AddAttribute(at->name, at->value, target))
            return -3;
    return 0;
}

static qrx_Element *firstChildNamed(qrx_Element *parent, const char *name)
{
    for (qrx_Element *child = parent->children; child; child = child->next)
        if (str_equal(child->name, name))
            return child;
    return nullptr;
}

/* copyElement with the two ways of returning null told apart:
   1 the source lacks the element (traced), -1 out of memory. */
static int copyElementInto(const char *name, qrx_Element *sourceParent, qrx_Element *targetParent, int front,
                           qrx_Element **out)
{
    *out = nullptr;
    qrx_Element *src = firstChildNamed(sourceParent, name);
    if (!src) {
        TRACE_AS("copyElement", TRACE_INFO, "NO ELEMENT \"%s\"\n", name);
        return 1;
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
            return -1;
        dst->parent = targetParent;
        qrx_Element **link = &targetParent->children;
        if (!front)
            while (*link)
                link = &(*link)->next;
        dst->next = *link;
        *link = dst;
    }
    *out = dst;
    return copyAttributes(src, dst) == 0 ? 0 : -1;
}

qrx_Element *copyElement(const char *name, qrx_Element *sourceParent, qrx_Element *targetParent, int front)
{
    if (!name || !sourceParent || !targetParent)
        return nullptr;
    qrx_Element *el = nullptr;
    return copyElementInto(name, sourceParent, targetParent, front, &el) == 0 ? el : nullptr;
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
        return -1;
    }
    const int64_t secs = daysFromCivil(tm.tm_year + 1900LL, tm.tm_mon + 1, tm.tm_mday) * 86400 +
                         tm.tm_hour * 3600LL + tm.tm_min * 60LL + tm.tm_sec - tm.tm_gmtoff;
    if (secs < kMessageFirst || secs > kMessageLast) {
        TRACE(TRACE_FAIL, "cannot read time from \"%s\"\n", text);
        return -1;
    }
    return static_cast<int32_t>(secs - kEpoch2000);
}

int64_t atolonglong(const char *text)
{
    unsigned long long v = 0;
    if (!text || std::sscanf(text, "%llX", &v) != 1) {
        TRACE(TRACE_FAIL, "cannot read longlong  from \"%s\"\n", text ? text : "(null)");
        return -1;
    }
    return static_cast<int64_t>(v);
}

int listJobs_sax_callback(qrx_Parser *handle, int mode, const char *elName, const char *attrName,
                          const char *value, void *userData)
{
    auto *jd = static_cast<JobDescriptor *>(userData);
    if (mode != QRX_ATTRIBUTE || !handle || !jd || !attrName || !value)
        return 0;
    const int depth = handle->depth;
    bool ok = true;
    auto number = [&](int32_t *field, bool counted) {
        *field = std::atoi(value);
        jd->knownAttributeCount += counted;
    };
    auto hex = [&](uint64_t *field) {
        unsigned long long v;
        if (std::sscanf(value, "%llX", &v) == 1)
            *field = v;
        ++jd->knownAttributeCount;
    };
    auto text = [&](char **field, bool counted) {
        char *copy = strdup(value);
        ok = copy != nullptr;
        std::free(*field);
        *field = copy;
        jd->knownAttributeCount += counted;
    };
    auto is = [&](const char *name) { return str_equal(attrName, name); };

    if (depth == 0 && str_equal(elName, "job")) {
        if (is("job_id"))
            number(&jd->jobId, true);
        else if (is("job_type"))
            number(&jd->jobType, true);
        else if (is("job_handling"))
            number(&jd->jobHandling, true);
        else if (is("requested_samples"))
            number(&jd->requestedSamples, true);
        else if (is("contained_samples"))
            number(&jd->containedSamples, true);
        else if (is("date"))
            jd->date = atotime2000(value);
        else if (is("admit_autojob"))
            number(&jd->admitAutojob, false);
    } else if (depth == 1 && str_equal(elName, "sensor")) {
        if (is("manufacturer_id"))
            number(&jd->sensorManufacturerId, true);
        else if (is("device_id"))
            number(&jd->sensorDeviceId, true);
        else if (is("serial_number"))
            hex(&jd->sensorSerialNumber);
        else if (is("name"))
            text(&jd->sensorName, true);
        else if (is("location"))
            text(&jd->sensorLocation, true);
    } else if (depth == 1 && str_equal(elName, "controller")) {
        if (is("manufacturer_id"))
            number(&jd->controllerManufacturerId, true);
        else if (is("device_id"))
            number(&jd->controllerDeviceId, true);
        else if (is("serial_number"))
            hex(&jd->controllerSerialNumber);
        else if (is("facility"))
            text(&jd->controllerFacility, false);
        else if (is("name"))
            text(&jd->controllerName, false);
        else if (is("location"))
            text(&jd->controllerLocation, false);
        else if (is("ip_address"))
            text(&jd->controllerIpAddress, false);
    } else if (depth == 1 && str_equal(elName, "user")) {
        if (is("name"))
            text(&jd->userName, true);
    } else if (depth == 2 && str_equal(elName, "lab_measurement")) {
        ++jd->labAttributeCount;
        if (is("done")) {
            int state = std::atoi(value) & 63;
            jd->labState1Count += state == 1;
            jd->labState2Count += state == 2;
        }
    }
    return ok ? 0 : JOBAPI_NO_MEMORY;
}

static JobDescrList *newJobList(int32_t capacity)
{
    return static_cast<JobDescrList *>(
        std::calloc(1, sizeof(JobDescrList) + static_cast<size_t>(capacity) * sizeof(JobDescriptor *)));
}

namespace {
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

/* Parses one job file into a descriptor; *accept when it is to be listed. */
Skip readJobHeader(FILE *fp, int minKnown, JobDescriptor *jd, bool *accept)
{
    Handle hp;
    if (qrx_init(&hp.p, kMaxDepth) != 0)
        return Skip::NoMemory;
    const int r = qrx_parse(hp.p, fp, listJobs_sax_callback, jd);
    if (r == JOBAPI_NO_MEMORY || r == -3)
        return Skip::NoMemory;
    if (std::ferror(fp))
        return Skip::Failure;
    *accept = r == 0 && jd->knownAttributeCount >= minKnown;
    return Skip::None;
}

/* Appends a copy of jd (taking its texts); false when out of memory. */
bool appendJob(JobDescrList **jl, const JobDescriptor &jd, const std::string &path)
{
    JobDescrList *list = *jl;
    if (list->count > 0 && list->count % 16 == 0) {
        TRACE_AS("createJobDescrList_Ex", TRACE_INFO, "extending list %d --> %d\n", list->count,
                 list->count + 16);
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

/* Lists one directory entry; Skip::None or Quietly when the list may go on. */
Skip listEntry(const char *dirPath, const char *name, int minKnown, JobDescrList **jl)
{
    const std::string path = std::string(dirPath) + "/" + name;
    FilePtr fp(openForListing(path));
    if (!fp) {
        const Skip why = classifyOpenError(errno);
        if (why != Skip::Quietly)
            TRACE_AS("createJobDescrList_Ex", TRACE_FAIL, "cannot read \"%s\"\n", path.c_str());
        return why;
    }
    TRACE_AS("createJobDescrList_Ex", TRACE_INFO, "---- file = %s ----\n", path.c_str());
    JobDescriptor jd;
    std::memset(&jd, 0, sizeof jd);
    bool accept = false;
    Skip why = readJobHeader(fp.get(), minKnown, &jd, &accept);
    const bool taken = why == Skip::None && accept && appendJob(jl, jd, path);
    if (!taken)
        removeJobDescriptor(&jd);
    if (why == Skip::None && accept && !taken)
        why = Skip::NoMemory;
    if (why == Skip::Failure)
        TRACE_AS("createJobDescrList_Ex", TRACE_FAIL, "cannot read \"%s\"\n", path.c_str());
    return why;
}

bool isJobFileName(const char *name, const char *only)
{
    const size_t len = std::strlen(name);
    return len > 4 && std::strcmp(name + len - 4, ".xml") == 0 && (!only || std::strcmp(name, only) == 0);
}
} // namespace

int createJobDescrList_Ex(const char *dirPath, const char *fileName, JobDescrList **list, int minKnown)
{
    if (!list)
        return -1;
    std::unique_ptr<DIR, int (*)(DIR *)> dir(dirPath ? opendir(dirPath) : nullptr, closedir);
    if (!dir) {
        TRACE(TRACE_FAIL, "can not open dir \"%s\"\n", dirPath ? dirPath : "(null)");
        return errno == ENOMEM ? JOBAPI_NO_MEMORY : -2;
    }
    JobDescrList *jl = newJobList(16);
    if (!jl)
        return JOBAPI_NO_MEMORY;
    Skip why = Skip::None;
    try {
        for (;;) {
            errno = 0;
            const struct dirent *de = readdir(dir.get());
            if (!de) {
                if (errno != 0)
                    why = Skip::Failure;
                break;
            }
            if (!isJobFileName(de->d_name, fileName))
                continue;
            why = listEntry(dirPath, de->d_name, minKnown, &jl);
            if (why == Skip::NoMemory || why == Skip::Failure || fileName)
                break;
        }
    } catch (...) {
        why = Skip::NoMemory;
    }
    if (why == Skip::NoMemory || why == Skip::Failure) {
        removeJobDescrList(&jl);
        return why == Skip::NoMemory ? JOBAPI_NO_MEMORY : -3;
    }
    sortJobDescrList(jl);
    *list = jl;
    return jl->count;
}

int createJobDescrList(const char *dirPath, const char *fileName, JobDescrList **list)
{
    return createJobDescrList_Ex(dirPath, fileName, list, 13);
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
        return -1;
    std::qsort(list->items, static_cast<size_t>(list->count), sizeof(JobDescriptor *), compareJobDescriptors);
    return list->count;
}

void removeJobDescriptor(JobDescriptor *jd)
{
    if (!jd)
        return;
    for (char *text : {jd->sensorName, jd->sensorLocation, jd->controllerIpAddress, jd->filePath,
                       jd->userName, jd->controllerFacility, jd->controllerName, jd->controllerLocation})
        std::free(text);
}

void removeJobDescrList(JobDescrList **list)
{
    if (!list || !*list)
        return;
    JobDescrList *jl = *list;
    for (int32_t i = 0; i < jl->count; ++i) {
        if (jl->items[i]) {
            removeJobDescriptor(jl->items[i]);
            std::free(jl->items[i]);
            jl->items[i] = nullptr;
        }
    }
    std::free(jl);
    *list = nullptr;
}

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
    rq->labValue = at.lab->value ? static_cast<float>(std::atof(at.lab->value)) : kNoValue;
    rq->processValue = at.prc && at.prc->value ? static_cast<float>(std::atof(at.prc->value)) : kNoValue;
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
   missing. totalIndex is the position in this walk, for the request
   list and for the result update alike. */
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

/* The code for a job file that cannot be opened: out of memory, or the
   operation's own "cannot read" code. */
int openFailure(int err, int cannotRead) { return err == ENOMEM ? JOBAPI_NO_MEMORY : cannotRead; }

/* The builder's out of memory (-3) as the handler's; other parse results
   as they stand. */
int buildResult(int r) { return r == -3 ? JOBAPI_NO_MEMORY : r; }

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

int createMeasurementRequestList(qrx_Parser *handle, JobDescrList *jobs, int jobIndex,
                                 MeasurementRequestList **list)
{
    if (!handle)
        return -1;
    if (!list)
        return -2;
    if (*list) {
        TRACE(TRACE_FAIL, "*ppJML is already initialized\n");
        return -3;
    }
    if (!jobs)
        return -4;
    if (jobIndex < 0 || jobIndex >= jobs->count)
        return -5;
    const JobDescriptor *jd = jobs->items[jobIndex];
    const char *path = jd ? jd->filePath : nullptr;
    FilePtr fp(path ? tandel::openRegularStream(path) : nullptr);
    if (!fp) {
        TRACE(TRACE_FAIL, "cannot read \"%s\"\n", path ? path : "(null)");
        return path ? openFailure(errno, -6) : -6;
    }
    tandel::CNumbers numbers;
    qrx_RemoveDOMTree(handle);
    const int r = buildResult(qrx_BuildDOMTree(handle, fp.get()));
    if (r < 0) {
        TRACE(TRACE_FAIL, "qrx_BuildDOMTree() failed with %d for \"%s\"\n", r, path);
        return r;
    }
    if (std::ferror(fp.get())) {
        TRACE(TRACE_FAIL, "cannot read \"%s\"\n", path);
        return -6;
    }
    MeasurementRequestList *ml = makeRequests(handle->root);
    if (!ml)
        return JOBAPI_NO_MEMORY;
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

void freeMeasurementRequest(MeasurementRequest *rq)
{
    if (!rq)
        return;
    for (char *text : {rq->sampleId, rq->label, rq->parameter, rq->unit, rq->spareText, rq->defaultMethod,
                       rq->usedMethod, rq->labUnit})
        std::free(text);
    std::free(rq->sensorData);
}

void removeMeasurementRequestList(MeasurementRequestList **list)
{
    if (!list || !*list)
        return;
    MeasurementRequestList *ml = *list;
    for (int32_t i = 0; i < ml->count; ++i) {
        if (ml->items[i]) {
            freeMeasurementRequest(ml->items[i]);
            std::free(ml->items[i]);
            ml->items[i] = nullptr;
        }
    }
    std::free(ml);
    *list = nullptr;
}

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
/* A job file opened for a read-change-replace cycle: locked (see
   PathLock) and checked to be one this process may write. */
struct LockedJob {
    tandel::PathLock lock;
    FilePtr stream;
};

/* 0, or the caller's code: cannotRead when the file cannot be opened,
   -6 when it can be read but not written, -7 out of memory. *absent
   when it does not exist. */
int openLocked(const char *path, LockedJob *job, int cannotRead, const char *fn, bool *absent = nullptr)
{
    bool locked = true;
    const int fd = job->lock.open(path, O_RDWR, &locked);
    if (fd < 0) {
        const int err = errno;
        if (absent)
            *absent = tandel::isAbsent(err);
        if (err == ENOMEM)
            return JOBAPI_NO_MEMORY;
        const bool readable = (err == EACCES || err == EPERM || err == EROFS || err == ETXTBSY) &&
                              tandel::Fd(tandel::openRegular(path, O_RDONLY)).get() >= 0;
        TRACE_AS(fn, TRACE_FAIL, readable ? "cannot write \"%s\"\n" : "cannot read \"%s\"\n", path);
        return readable ? -6 : cannotRead;
    }
    if (!locked)
        TRACE_AS(fn, TRACE_FAIL, "cannot lock \"%s\"\n", path);
    const int dupFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    job->stream.reset(dupFd < 0 ? nullptr : tandel::streamOf(dupFd));
    if (!job->stream) {
        TRACE_AS(fn, TRACE_FAIL, "cannot read \"%s\"\n", path);
        return openFailure(errno, cannotRead);
    }
    return 0;
}

/* The code for a failed replacement of path. */
int writeFailure(int err, const char *path, const char *fn)
{
    TRACE_AS(fn, TRACE_FAIL, "cannot write \"%s\"\n", path);
    return err == ENOMEM ? JOBAPI_NO_MEMORY : -6;
}
} // namespace

int changeMeasurementResult(const char *path, const MeasurementRequest *request, int add)
{
    if (!path || !request)
        return -1;
    if (add && !std::isfinite(request->labValue)) {
        TRACE(TRACE_FAIL, "lab value is not a number\n");
        return -4;
    }
    LockedJob file;
    if (const int r = openLocked(path, &file, -1, __func__))
        return r;
    Handle hp;
    if (qrx_init(&hp.p, kMaxDepth) != 0)
        return JOBAPI_NO_MEMORY;
    tandel::CNumbers numbers;
    const int r = buildResult(qrx_BuildDOMTree(hp.p, file.stream.get()));
    if (r < 0)
        return r;
    if (std::ferror(file.stream.get())) {
        TRACE(TRACE_FAIL, "cannot read \"%s\"\n", path);
        return -1;
    }
    try {
        const std::vector<LabPlace> places = labPlaces(hp.p->root);
        const int k = request->totalIndex;
        const bool matched = k >= 0 && static_cast<size_t>(k) < places.size();
        if (matched && !(add ? addResult(places[k], request, k) : removeResult(places[k], request, k)))
            return JOBAPI_NO_MEMORY;
        if (!updateJobHandling(hp.p->root, places))
            return JOBAPI_NO_MEMORY;
        if (!matched) {
            TRACE(TRACE_FAIL, "no sample with number=%d\n", request->sampleNumber);
            return -1;
        }
    } catch (...) {
        return JOBAPI_NO_MEMORY;
    }
    if (const int err = jobapi_writeTreeReplacing(path, hp.p))
        return writeFailure(err, path, __func__);
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

int jobapi_writeTreeReplacing(const char *path, qrx_Parser *handle)
try {
    if (!path || !handle || !handle->root)
        return EINVAL;
    return replaceFile(path, [handle](FILE *fp) { return qrx_PrintDOMTree(handle, fp) >= 0; });
} catch (...) {
    return ENOMEM;
}

/* Replaces target by the bytes of in from its start. 0 or errno. */
static int copyStreamReplacing(FILE *in, const char *target)
try {
    std::rewind(in);
    return replaceFile(target, [in](FILE *out) {
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

int jobapi_copyFileReplacing(const char *source, const char *target)
{
    if (!source || !target)
        return EINVAL;
    FilePtr in(tandel::openRegularStream(source));
    if (!in)
        return errno ? errno : EIO;
    return copyStreamReplacing(in.get(), target);
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
        qrx_Element *el = qrx_newChild(name, value, parent_);
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

/* Builds merged's samples from Base and News; the measurement count,
   or -1 when out of memory. */
int mergeSamples(qrx_Element *baseRoot, qrx_Element *newsRoot, qrx_Element *merged)
{
    int sampleCount = 0, measCount = 0;
    NumberedIndex baseSamples(baseRoot, jobref_sample, "number");
    NumberedIndex newsSamples(newsRoot, jobref_sample, "number");
    ChildAppender samples(merged);
    for (int n = 0;; ++n) {
        qrx_Element *bs = baseSamples.find(n);
        qrx_Element *ns = newsSamples.find(n);
        if (!bs && !ns)
            break;
        NumberedIndex bPrc(bs, jobref_prcMeas, "index"), bLab(bs, jobref_labMeas, "index");
        NumberedIndex nPrc(ns, jobref_prcMeas, "index"), nLab(ns, jobref_labMeas, "index");
        qrx_Element *sample = nullptr;
        std::optional<ChildAppender> measurements;
        for (int i = 0;; ++i) {
            qrx_Element *bp = bPrc.find(i), *np = nPrc.find(i);
            qrx_Element *prc = bp ? bp : np;
            qrx_Element *lab = nLab.find(i);
            if (!lab)
                lab = bLab.find(i);
            if (!prc && !lab)
                break;
            if (!sample) {
                sample = samples.append("sample", nullptr);
                if (!sample || copyAttributes(ns ? ns : bs, sample) != 0)
                    return -1;
                measurements.emplace(sample);
                ++sampleCount;
            }
            if (prc) {
                qrx_Element *el = measurements->appendCopy("process_measurement", prc);
                if (!el)
                    return -1;
                if (np && np->value && !setValue(el, np->value))
                    return -1;
                ++measCount;
            }
            if (lab) {
                qrx_Element *el = measurements->appendCopy("lab_measurement", lab);
                if (!el)
                    return -1;
                if (str_equal(attrValue(el, "done"), "4") &&
                    (!setValue(el, "-1.0") || !qrx_AddAttribute("done", "0", el)))
                    return -1;
                ++measCount;
            }
        }
    }
    if (!qrx_AddAttribute("contained_samples", decimal(sampleCount).c_str(), merged))
        return -1;
    return measCount;
}

/* Header part: job attributes and the four header elements, News over Base. */
bool mergeHeader(qrx_Element *baseJob, qrx_Element *newsJob, qrx_Element *merged)
{
    for (qrx_Element *side : {baseJob, newsJob}) {
        if (copyAttributes(side, merged) != 0)
            return false;
        for (const char *name : kHeaderElements) {
            qrx_Element *el;
            if (copyElementInto(name, side, merged, 1, &el) < 0)
                return false;
        }
    }
    return true;
}
} // namespace

namespace {
const char kMerge[] = "mergeJobFile";

/* Deletes News once Base holds what was read from it, unless the path
   names another file by now (a newer News that is not merged yet). */
void deleteNewsRead(const char *newsPath, FILE *news)
{
    if (!tandel::namesFile(newsPath, fileno(news))) {
        TRACE_AS(kMerge, TRACE_INFO, "mergeJobFile() - \"%s\" changed meanwhile, kept\n", newsPath);
        return;
    }
    if (unlink(newsPath) != 0)
        TRACE_AS(kMerge, TRACE_FAIL, "mergeJobFile() - cannot delete \"%s\"\n", newsPath);
}

/* Base does not exist: it becomes a copy of News, under the directory's
   lock so that two first deliveries do not overwrite each other. 1 when
   Base appeared meanwhile (merge it instead). */
int copyToAbsentBase(const char *basePath, const char *newsPath, FILE *news)
{
    tandel::PathLock dirLock;
    bool locked = true;
    if (dirLock.openDirectory(tandel::directoryOf(basePath), &locked) < 0 || !locked)
        TRACE_AS(kMerge, TRACE_FAIL, "cannot lock \"%s\"\n", basePath);
    struct stat st {};
    if (lstat(basePath, &st) == 0)
        return 1;
    TRACE_AS(kMerge, TRACE_INFO, "mergeJobFile() - no Base job\"%s\"\n", basePath);
    if (const int err = copyStreamReplacing(news, basePath)) {
        TRACE_AS(kMerge, TRACE_FAIL, "mergeJobFile() - failed cp \"%s\" \"%s\"\n", newsPath, basePath);
        return err == ENOMEM ? JOBAPI_NO_MEMORY : -2;
    }
    deleteNewsRead(newsPath, news);
    return 0;
}

/* Builds a tree of stream; the parse result with out of memory as -7. */
int buildFrom(Handle *h, FILE *stream, const char *path)
{
    if (qrx_init(&h->p, kMaxDepth) != 0)
        return JOBAPI_NO_MEMORY;
    const int r = buildResult(qrx_BuildDOMTree(h->p, stream));
    if (r < 0)
        TRACE_AS(kMerge, TRACE_FAIL, "qrx_BuildDOMTree() failed with %d for \"%s\"\n", r, path);
    return r;
}

/* The merge proper, with Base locked and both files read. */
int mergeTrees(const char *basePath, const char *newsPath, Handle &hb, Handle &hn, FILE *news)
{
    Handle hm;
    if (qrx_init(&hm.p, kMaxDepth) != 0 || !(hm.p->root = qrx_NewElement("__ROOT__", -1)) ||
        !qrx_AddElement("job", nullptr, hm.p->root))
        return JOBAPI_NO_MEMORY;
    qrx_Element *baseJob = findElement(hb.p->root, jobref_job, nullptr, nullptr);
    qrx_Element *newsJob = findElement(hn.p->root, jobref_job, nullptr, nullptr);
    qrx_Element *merJob = hm.p->root->children;
    if (!baseJob || !newsJob) {
        TRACE_AS(kMerge, TRACE_FAIL, "mergeJobFile() Base=%p News=%p Mer=%p\n", static_cast<void *>(baseJob),
                 static_cast<void *>(newsJob), static_cast<void *>(merJob));
        return -2;
    }
    int bits = 0;
    if (attrScan(newsJob, "job_handling", &bits) && (bits & 0x100)) {
        TRACE_AS(kMerge, TRACE_INFO, "mergeJobFile() - kill job (%s)\n", basePath);
        if (unlink(basePath) != 0)
            return writeFailure(errno, basePath, kMerge);
        return 0;
    }
    if (attrScan(newsJob, "job_type", &bits) && (bits & 0x20)) {
        const int rc = copyStreamReplacing(news, basePath);
        TRACE_AS(kMerge, TRACE_INFO,
                 "mergeJobFile() - JOBTYPE_PROP_SINGLETON (cp -f \"%s\" \"%s\") returned %d\n", newsPath,
                 basePath, rc);
        if (rc != 0)
            return rc == ENOMEM ? JOBAPI_NO_MEMORY : -2;
        deleteNewsRead(newsPath, news);
        return 0;
    }
    const int count =
        mergeHeader(baseJob, newsJob, merJob) ? mergeSamples(hb.p->root, hn.p->root, merJob) : -1;
    if (count < 0)
        return JOBAPI_NO_MEMORY;
    if (const int err = jobapi_writeTreeReplacing(basePath, hm.p))
        return writeFailure(err, basePath, kMerge);
    TRACE_AS(kMerge, TRACE_INFO, "mergeJobFile() - DO NOT delete file \"%s\"\n", newsPath);
    deleteNewsRead(newsPath, news);
    return count;
}

int mergeLocked(const char *basePath, const char *newsPath)
{
    FilePtr news(tandel::openRegularStream(newsPath));
    if (!news) {
        TRACE_AS(kMerge, TRACE_FAIL, "mergeJobFile() - cannot read News \"%s\"\n", newsPath);
        return openFailure(errno, -1);
    }
    for (;;) {
        LockedJob base;
        bool absent = false;
        const int r = openLocked(basePath, &base, -5, kMerge, &absent);
        if (absent) {
            const int c = copyToAbsentBase(basePath, newsPath, news.get());
            if (c == 1)
                continue;
            return c;
        }
        if (r != 0)
            return r;
        struct stat sb {
        }, sn{};
        if (fstat(base.lock.fd(), &sb) == 0 && fstat(fileno(news.get()), &sn) == 0 &&
            sb.st_dev == sn.st_dev && sb.st_ino == sn.st_ino) {
            TRACE_AS(kMerge, TRACE_FAIL, "mergeJobFile() - Base and News are the same file\n");
            return -4;
        }
        Handle hb, hn;
        int rb = buildFrom(&hb, base.stream.get(), basePath);
        if (rb >= 0 && std::ferror(base.stream.get()))
            rb = -5;
        if (rb < 0)
            return rb;
        const int rn = buildFrom(&hn, news.get(), newsPath);
        if (rn < 0)
            return rn;
        if (std::ferror(news.get()))
            return -1;
        return mergeTrees(basePath, newsPath, hb, hn, news.get());
    }
}
} // namespace

int mergeJobFile(const char *basePath, const char *newsPath)
try {
    if (!basePath || !newsPath)
        return -1;
    TRACE(TRACE_INFO, "mergeJobFile() - Base = \"%s\", News = \"%s\"\n", basePath, newsPath);
    if (tandel::sameFile(basePath, newsPath)) {
        TRACE(TRACE_FAIL, "mergeJobFile() - Base and News are the same file\n");
        return -4;
    }
    tandel::CNumbers numbers;
    return mergeLocked(basePath, newsPath);
} catch (...) {
    return JOBAPI_NO_MEMORY;
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
    size_t len = std::strlen(text);
    const char *dot = std::strchr(text, '.');
    if (!fixed && dot) {
        size_t before = static_cast<size_t>(dot - text);
        size_t cut;
        if (r > 1 || r < -1)
            cut = before >= static_cast<size_t>(digits + n) ? before : static_cast<size_t>(n + digits + 1);
        else
            cut = static_cast<size_t>(n + digits + e + 1);
        if (len > cut) {
            text[cut] = '\0';
            len = cut;
        }
    }
    const size_t allowed = 10 + n + (std::strchr(text, '.') ? 1 : 0);
    std::strcpy(out, len > allowed ? "##.##" : text);
    return 1;
}
