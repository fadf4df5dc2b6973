/*
 * mkexamples: writes the bundled example data with the library itself,
 * so that the files under examples/ are always what the code makes.
 *   mkexamples OUTDIR     writes sensor job files to OUTDIR/sensorjobs/ and
 *                         their job documents to OUTDIR/jobs/
 * The sensor job files are encoded from trees built here; the job
 * directory holds their decoded documents with the header elements a
 * controller adds, some lab results entered through the job handler.
 * Times are fixed and shown at UTC+1 without daylight saving time: the
 * decoder prints times with the offset in force at the moment it runs,
 * so only a zone without DST writes the same bytes on every day.
 */
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "TandelCntrl.h"
#include "civiltime.h"

namespace {

struct Meas {
    const char *parameter;
    const char *unit;
    int displayFormat;
    const char *method; /* default method of the lab measurement */
};

struct Sample {
    const char *sampleId;
    const char *date;
    int bottle;
    const char *sensordata; /* Base64, or null */
    std::vector<Meas> meas;
    std::vector<const char *> values; /* process value of each measurement */
};

struct Result {
    int totalIndex;
    float value;
    const char *unit;
    const char *method;
    const char *time;
};

struct Job {
    int id;
    const char *date;
    int type;
    int handling;
    int requested;
    int maxSamples;
    std::vector<Sample> samples;
    size_t storedSamples; /* samples in the stored job file (the rest come later) */
    std::vector<Result> results;
};

const Meas kNitrate{"NO3-N", "mg/l", 0x0400 | 2, "DIN EN ISO 10304-1"};
const Meas kAmmonium{"NH4-N", "mg/l", (3 << 7) | 2, "DIN 38406-5"};
const Meas kCod{"COD", "mg/l", 0x0400 | 0, "ISO 15705"};
const Meas kTss{"TSS", "g/l", (3 << 7) | 2, "DIN EN 872"};

/* The example jobs: a finished nitrate check, a half-done COD series and
   a sludge job of which the controller holds the first version only. */
const std::vector<Job> &jobs()
{
    static const std::vector<Job> kJobs = {
        {1001,
         "2024-03-04T08:15:00+0100",
         1,
         0,
         2,
         4,
         {{"ZU-0412",
           "2024-03-04T08:30:00+0100",
           3,
           "AQIDBAUGBwg=",
           {kNitrate, kAmmonium},
           {"7.85", "0.418"}},
          {"ZU-0413", "2024-03-04T09:30:00+0100", 4, nullptr, {kNitrate, kAmmonium}, {"8.10", "0.351"}}},
         2,
         {{0, 7.91f, "mg/l", "DIN EN ISO 10304-1", "2024-03-05T10:12:00+0100"},
          {1, 0.45f, "mg/l", "DIN 38406-5", "2024-03-05T10:20:00+0100"},
          {2, 8.02f, "mg/l", "DIN EN ISO 10304-1", "2024-03-05T10:31:00+0100"},
          {3, 0.39f, "mg/l", "DIN 38406-5", "2024-03-05T10:40:00+0100"}}},
        {1002,
         "2024-04-15T06:00:00+0100",
         65,
         0,
         3,
         3,
         {{"AB-2201", "2024-04-15T06:10:00+0100", 1, nullptr, {kCod}, {"312.6"}},
          {"AB-2202", "2024-04-15T12:10:00+0100", 2, "EjRWeA==", {kCod}, {"287.2"}},
          {"AB-2203", "2024-04-15T18:10:00+0100", 3, nullptr, {kCod}, {"301.9"}}},
         3,
         {{0, 298.0f, "mg/l", "LCK 514", "2024-04-16T09:05:00+0100"}}},
        {1003,
         "2024-05-21T07:45:00+0100",
         1,
         0,
         3,
         3,
         {{"BB-0031", "2024-05-21T08:00:00+0100", 7, nullptr, {kTss}, {"3.415"}},
          {"BB-0032", "2024-05-21T14:00:00+0100", 8, nullptr, {kTss}, {"3.552"}},
          {"BB-0033", "2024-05-21T20:00:00+0100", 9, nullptr, {kTss}, {"3.286"}}},
         1,
         {}},
    };
    return kJobs;
}

bool fail(const std::string &what)
{
    std::fprintf(stderr, "mkexamples: %s\n", what.c_str());
    return false;
}

void attr(qrx_Element *el, const char *name, const std::string &value)
{
    qrx_AddAttribute(name, value.c_str(), el);
}

/* The job as the sensor sends it, with the first `samples` samples. */
bool buildMessageTree(qrx_Parser *p, const Job &j, size_t samples)
{
    p->root = qrx_NewElement("__ROOT__", -1);
    qrx_Element *job = p->root ? qrx_AddElement("job", nullptr, p->root) : nullptr;
    if (!job)
        return false;
    attr(job, "version", "1");
    attr(job, "job_id", std::to_string(j.id));
    attr(job, "date", j.date);
    attr(job, "job_type", std::to_string(j.type));
    attr(job, "job_handling", std::to_string(j.handling));
    attr(job, "requested_samples", std::to_string(j.requested));
    attr(job, "max_samples", std::to_string(j.maxSamples));
    for (size_t s = 0; s < samples; ++s) {
        const Sample &sp = j.samples[s];
        qrx_Element *sample = qrx_AddElement("sample", nullptr, job);
        if (!sample)
            return false;
        attr(sample, "sample_id", sp.sampleId);
        attr(sample, "date", sp.date);
        if (sp.sensordata)
            attr(sample, "sensordata", sp.sensordata);
        attr(sample, "bottle_number", std::to_string(sp.bottle));
        for (size_t m = 0; m < sp.meas.size(); ++m) {
            const Meas &ms = sp.meas[m];
            qrx_Element *prc = qrx_AddElement("process_measurement", sp.values[m], sample);
            qrx_Element *lab = qrx_AddElement("lab_measurement", "-1.0", sample);
            if (!prc || !lab)
                return false;
            attr(prc, "index", std::to_string(m));
            attr(prc, "parameter_number", std::to_string(m + 1));
            attr(prc, "unit_number", "1");
            attr(prc, "display_format", std::to_string(ms.displayFormat));
            attr(prc, "data_type", "16");
            attr(lab, "index", std::to_string(m));
            attr(lab, "done", "0");
            attr(lab, "default_method", ms.method);
        }
    }
    return true;
}

bool writeSensorJob(const std::string &path, const Job &j, size_t samples)
{
    qrx_Parser *p = nullptr;
    if (qrx_init(&p, 4) != 0)
        return fail("out of memory");
    bool ok = buildMessageTree(p, j, samples) && sjob_DOMTree2SensorJobFile(path.c_str(), p) == 0;
    qrx_deinit(&p);
    return ok || fail("cannot write " + path);
}

/* Adds the elements that the controller keeps with a job. */
bool addHeader(qrx_Parser *p, const Job &j)
{
    qrx_Element *job = findElement(p->root, jobref_job, nullptr, nullptr);
    qrx_Element *first = job ? job->children : nullptr;
    qrx_Element *user = job ? qrx_AddElementBefore("user", nullptr, job, first) : nullptr;
    qrx_Element *sensor = user ? qrx_AddElementBefore("sensor", nullptr, job, first) : nullptr;
    qrx_Element *contr = sensor ? qrx_AddElementBefore("controller", nullptr, job, first) : nullptr;
    qrx_Element *instr = contr ? qrx_AddElementBefore("instrument", nullptr, job, first) : nullptr;
    if (!instr)
        return false;
    attr(job, "admit_autojob", "0");
    attr(user, "name", j.id == 1002 ? "R. Yilmaz" : "M. Keller");
    attr(sensor, "manufacturer_id", "17");
    attr(sensor, "device_id", j.id == 1003 ? "9" : "4");
    attr(sensor, "serial_number", j.id == 1003 ? "2B0C0417" : "1F4A0021");
    attr(sensor, "name", j.id == 1003 ? "TSS probe 1" : "Nutrient probe 2");
    attr(sensor, "location", j.id == 1003 ? "Return sludge" : "Aeration tank 2");
    attr(contr, "manufacturer_id", "17");
    attr(contr, "device_id", "1");
    attr(contr, "serial_number", "A0003C17");
    attr(contr, "name", "Controller east");
    attr(contr, "location", "Blower house");
    attr(contr, "facility", "Elsdorf treatment works");
    attr(contr, "ip_address", "192.0.2.21");
    attr(instr, "name", "Lab photometer");
    attr(instr, "serial_number", "PH-88213");
    for (int s = 0;; ++s) {
        qrx_Element *sample = findElement(p->root, jobref_sample, "number", std::to_string(s).c_str());
        if (!sample)
            break;
        const Sample &sp = j.samples[static_cast<size_t>(s)];
        for (size_t m = 0; m < sp.meas.size(); ++m) {
            qrx_Element *prc = findElement(sample, jobref_prcMeas, "index", std::to_string(m).c_str());
            if (!prc)
                return false;
            attr(prc, "parameter", sp.meas[m].parameter);
            attr(prc, "unit", sp.meas[m].unit);
        }
    }
    return true;
}

/* The stored job file: decoded from the sensor job file, completed with
   the controller's header, then the lab results entered one by one. */
bool writeJobFile(const std::string &dir, const std::string &sjb, const Job &j)
{
    const std::string name = "job-" + std::to_string(j.id) + ".xml";
    const std::string path = dir + "/" + name;
    qrx_Parser *p = nullptr;
    if (qrx_init(&p, 4) != 0)
        return fail("out of memory");
    bool ok = sjob_SensorJobFile2DOMTree(sjb.c_str(), p) == 0 && addHeader(p, j);
    FILE *out = ok ? std::fopen(path.c_str(), "w") : nullptr;
    ok = out && qrx_PrintDOMTree(p, out) > 0;
    if (out)
        ok = std::fclose(out) == 0 && ok;
    qrx_deinit(&p);
    if (!ok)
        return fail("cannot write " + path);

    for (const Result &r : j.results) {
        JobDescrList *list = nullptr;
        MeasurementRequestList *reqs = nullptr;
        qrx_Parser *h = nullptr;
        ok = createJobDescrList(dir.c_str(), name.c_str(), &list) == 1 && qrx_init(&h, 4) == 0 &&
             createMeasurementRequestList(h, list, 0, &reqs) > r.totalIndex;
        if (ok) {
            MeasurementRequest *rq = reqs->items[r.totalIndex];
            rq->labValue = r.value;
            rq->labTime = static_cast<uint32_t>(atotime2000(r.time) + kEpoch2000);
            free(rq->labUnit);
            free(rq->usedMethod);
            rq->labUnit = strdup(r.unit);
            rq->usedMethod = strdup(r.method);
            ok = rq->labUnit && rq->usedMethod && addMeasurementResult(path.c_str(), rq) == 0;
        }
        removeMeasurementRequestList(&reqs);
        qrx_deinit(&h);
        removeJobDescrList(&list);
        if (!ok)
            return fail("cannot enter result " + std::to_string(r.totalIndex) + " into " + path);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: mkexamples OUTDIR\n");
        return 2;
    }
    setenv("TZ", "CET-1", 1);
    tzset();
    if (!std::getenv("LOGTRACE_LEVEL"))
        setenv("LOGTRACE_LEVEL", "2", 1);
    const std::string out = argv[1];
    const std::string sjbDir = out + "/sensorjobs";
    const std::string jobDir = out + "/jobs";
    for (const std::string &d : {out, sjbDir, jobDir})
        if (mkdir(d.c_str(), 0777) != 0 && errno != EEXIST)
            return fail("cannot make " + d), 1;
    for (const Job &j : jobs()) {
        const std::string sjb = sjbDir + "/job-" + std::to_string(j.id) + ".sjb";
        /* The stored file is decoded from the version the controller got
           first; the sensor job file left in sensorjobs/ is the latest. */
        if (!writeSensorJob(sjb, j, j.storedSamples) || !writeJobFile(jobDir, sjb, j) ||
            !writeSensorJob(sjb, j, j.samples.size()))
            return 1;
    }
    return 0;
}
