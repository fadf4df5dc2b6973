/*
 * list: the job directory as the library lists it, newest first, and
 * the *.xml files it left out with the reason.
 */
#include <sys/stat.h>

#include <cstdio>
#include <memory>

#include "args.h"
#include "command.h"
#include "failure.h"
#include "jobs.h"
#include "show.h"

namespace jobtool {

namespace {

struct ListOptions {
    std::vector<std::string> pos;
    std::string file, min;
    bool json = false;
    CLI::Option *fileOpt = nullptr;
};

/* One listed job with raw numbers beside the texts. */
Json jobJson(const JobList &jobs, int i)
{
    const JobDescriptor *d = jobs.p->items[i];
    return {{"index", i},
            {"file", d->filePath},
            {"job_id", d->jobId},
            {"date", isoDate(d->date)},
            {"date_2000", d->date},
            {"job_type", d->jobType},
            {"job_handling", d->jobHandling},
            {"contained_samples", d->containedSamples},
            {"requested_samples", d->requestedSamples},
            {"lab_entered", d->labState1Count},
            {"lab_total", labTotal(jobs.p, i)},
            {"sensor",
             {{"name", orNull(d->sensorName)},
              {"location", orNull(d->sensorLocation)},
              {"serial_number", hex64(d->sensorSerialNumber)},
              {"manufacturer_id", d->sensorManufacturerId},
              {"device_id", d->sensorDeviceId}}},
            {"controller",
             {{"name", orNull(d->controllerName)},
              {"location", orNull(d->controllerLocation)},
              {"facility", orNull(d->controllerFacility)},
              {"ip_address", orNull(d->controllerIpAddress)},
              {"serial_number", hex64(d->controllerSerialNumber)}}},
            {"user", orNull(d->userName)}};
}

void printJobsJson(const std::string &dir, const JobList &jobs, const std::vector<LeftOut> &left)
{
    Json list = Json::array();
    for (int i = 0; i < jobs.count; ++i)
        list.push_back(jobJson(jobs, i));
    Json skipped = Json::array();
    for (const LeftOut &l : left)
        skipped.push_back({{"file", l.name}, {"reason", l.reason}});
    printJson({{"directory", dir}, {"jobs", list}, {"left_out", skipped}});
}

/* The sensor's name, else its serial number, else "-". */
std::string sensorOf(const JobDescriptor *d)
{
    if (d->sensorName && *d->sensorName)
        return d->sensorName;
    return d->sensorSerialNumber ? "serial " + hex64(d->sensorSerialNumber) : "-";
}

void printJobs(const std::string &dir, const JobList &jobs, const std::vector<LeftOut> &left)
{
    if (jobs.count == 0) {
        std::printf("no jobs in %s\n", dir.c_str());
    } else {
        std::vector<std::vector<std::string>> rows{
            {"#", "JOB", "DATE", "TYPE", "SAMPLES", "LAB", "SENSOR", "FILE"}};
        for (int i = 0; i < jobs.count; ++i) {
            const JobDescriptor *d = jobs.p->items[i];
            int total = labTotal(jobs.p, i);
            rows.push_back(
                {std::to_string(i), std::to_string(d->jobId), localDate(d->date, "%Y-%m-%d %H:%M"),
                 std::to_string(d->jobType),
                 std::to_string(d->containedSamples) + "/" + std::to_string(d->requestedSamples),
                 std::to_string(d->labState1Count) + "/" + (total < 0 ? "?" : std::to_string(total)),
                 sensorOf(d), baseName(d->filePath)});
        }
        printTable(rows);
    }
    if (!left.empty()) {
        std::printf("%s left out:\n", plural(long(left.size()), "file", "files").c_str());
        for (const LeftOut &l : left)
            std::printf("  %s: %s\n", l.name.c_str(), l.reason.c_str());
    }
}

int runList(Tool &, const ListOptions &o)
{
    refuseStdin(o.pos[0], "a job directory is listed");
    const std::string dir = jobDirectory(o.pos[0]);
    const int minKnown = minKnownOf(o.min, 13);
    const char *only = given(o.fileOpt) ? o.file.c_str() : nullptr;
    struct stat st {};
    if (only && lstat((dir + "/" + only).c_str(), &st) != 0)
        failSys(dir + "/" + only);
    JobList jobs;
    loadJobs(dir, only, minKnown, &jobs);
    std::vector<LeftOut> left = leftOutFiles(dir, only, minKnown, jobs);
    if (o.json)
        printJobsJson(dir, jobs, left);
    else
        printJobs(dir, jobs, left);
    return kOk;
}

Run defineList(CLI::App &sub)
{
    auto o = std::make_shared<ListOptions>();
    positionals(sub, "DIR", o->pos, 1, 1);
    o->fileOpt = option(sub, "--file", o->file);
    option(sub, "--min", o->min);
    flag(sub, "--json", o->json);
    return [o](Tool &tool) { return runList(tool, *o); };
}

} // namespace

extern const Command kList = {
    "list", "DIR [--file NAME] [--min N] [--json]", nullptr, "the job directory, newest first",
    "Lists the job files (*.xml) of a job directory, newest first (equal\n"
    "dates by file name): list number (#, the INDEX of 'jobtool requests'),\n"
    "job id, date (local time), type, samples contained/requested, lab\n"
    "results entered/total, sensor and file. A file is listed when you can\n"
    "write it, it parses and has at least N (default 13) of the 14 job\n"
    "header attributes; the files left out are named with the reason.\n"
    "--file NAME lists only that file of DIR; a NAME that is not there is\n"
    "an error. SENSOR is the sensor's name, else its serial number.\n",
    defineList};

} // namespace jobtool
