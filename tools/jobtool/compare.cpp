/*
 * compare: the lab's results beside the sensor's own values of the same
 * samples, across the jobs given, with the figures and the plot of
 * tools/compare. It only reads job files.
 */
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>

#include "args.h"
#include "command.h"
#include "compare_output.h"
#include "failure.h"
#include "jobname.h"
#include "jobs.h"
#include "requests.h"
#include "show.h"

namespace jobtool {

namespace {

struct CompareOptions {
    std::vector<std::string> pos, parameters, sensors;
    std::string since, until, min, svg;
    bool json = false, csv = false;
    CLI::Option *sinceOpt = nullptr, *untilOpt = nullptr, *svgOpt = nullptr;
};

struct Filters {
    std::set<std::string> parameters;
    std::set<uint64_t> sensors;
    std::optional<int64_t> since, until;
};

/* Why a request gave no pair; the first that applies counts. */
enum Reason { kOpen, kNoLabValue, kNoProcessValue, kOtherSensor, kOtherParameter, kOutsideDates, kReasons };
const char *const kReasonText[kReasons] = {"without a lab result",
                                           "with a lab result but no value",
                                           "without a process value",
                                           "of another sensor (--sensor)",
                                           "of another parameter (--parameter)",
                                           "dated outside --since/--until or undated"};

struct Harvest {
    std::vector<compare::Pair> pairs;
    size_t jobs = 0, requests = 0;
    size_t leftOut[kReasons] = {};
    std::vector<LeftOut> files; /* names are paths here */
};

/* The serial number as the job file writes it ("%llX"), "0x" allowed. */
uint64_t parseSerial(const std::string &s)
{
    const size_t prefix = s.compare(0, 2, "0x") == 0 || s.compare(0, 2, "0X") == 0 ? 2 : 0;
    const size_t digits = s.find_first_not_of('0', prefix);
    if (s.size() == prefix || s.find_first_not_of("0123456789abcdefABCDEF", prefix) != std::string::npos ||
        (digits != std::string::npos && s.size() - digits > 16))
        throw UsageError{"--sensor must be a serial number in hexadecimal as the job file has it (such as "
                         "1F4A0021), not '" +
                         s + "'"};
    return digits == std::string::npos ? 0 : std::stoull(s.substr(digits), nullptr, 16);
}

std::optional<int64_t> timeOption(const CLI::Option *opt, const std::string &text, const char *name)
{
    if (!given(opt))
        return std::nullopt;
    try {
        return parseIsoTime(text);
    } catch (UsageError &e) { /* its messages name add-result's option */
        if (e.message.compare(0, 6, "--time") == 0)
            e.message.replace(0, 6, name);
        throw;
    }
}

Filters filtersOf(const CompareOptions &o)
{
    Filters f;
    f.parameters.insert(o.parameters.begin(), o.parameters.end());
    for (const std::string &s : o.sensors)
        f.sensors.insert(parseSerial(s));
    f.since = timeOption(o.sinceOpt, o.since, "--since");
    f.until = timeOption(o.untilOpt, o.until, "--until");
    if (f.since && f.until && *f.since > *f.until)
        throw UsageError{"--since " + o.since + " lies after --until " + o.until};
    return f;
}

/* Seconds since 1970 of a request's sample date: none when absent (0)
   or unreadable, as `requests` shows them. */
std::optional<int64_t> sampleDate(const MeasurementRequest *r)
{
    if (r->sampleDate == 0 || r->sampleDate == TEXT_UNREADABLE)
        return std::nullopt;
    return TANDEL_EPOCH_2000 + r->sampleDate;
}

std::optional<Reason> leftOutBy(const MeasurementRequest *r, const Filters &f)
{
    if (!hasLab(r))
        return kOpen;
    if (r->labValue == TANDEL_NO_VALUE)
        return kNoLabValue;
    if (r->processValue == TANDEL_NO_VALUE)
        return kNoProcessValue;
    if (!f.sensors.empty() && !f.sensors.count(static_cast<uint64_t>(r->sensorSerialNumber)))
        return kOtherSensor;
    if (!f.parameters.empty() && !f.parameters.count(r->parameter ? r->parameter : ""))
        return kOtherParameter;
    const std::optional<int64_t> date = sampleDate(r);
    if ((f.since || f.until) && (!date || (f.since && *date < *f.since) || (f.until && *date > *f.until)))
        return kOutsideDates;
    return std::nullopt;
}

std::string text(const char *s) { return s ? s : ""; }

compare::Pair pairOf(const MeasurementRequest *r)
{
    return {r->jobId,      text(r->label),   text(r->sampleId), sampleDate(r), text(r->parameter),
            text(r->unit), text(r->labUnit), r->processValue,   r->labValue};
}

/* The jobs of one argument: a directory as `list` selects them, a file
   as `requests` does; what is not a job is told in h.files. */
void selectJobs(const std::string &arg, const std::string &min, JobList *jobs, Harvest &h)
{
    refuseStdin(arg, "jobs are read through the job directory functions, which need files");
    struct stat st {};
    if (stat(arg.c_str(), &st) != 0)
        failSys(arg);
    if (S_ISDIR(st.st_mode)) {
        const std::string dir = jobDirectory(arg);
        const int minKnown = minKnownOf(min, 13);
        loadJobs(dir, nullptr, minKnown, jobs);
        for (LeftOut &l : leftOutFiles(dir, nullptr, minKnown, *jobs))
            h.files.push_back({dir + "/" + l.name, l.reason});
        return;
    }
    openRegularInput(arg); /* absent, unreadable or no regular file: said as such */
    const std::string name = baseName(arg);
    if (!tandel::isJobFileName(name.c_str()))
        return h.files.push_back({arg, "the name does not end in .xml"});
    loadJobs(tandel::directoryOf(arg.c_str()), name.c_str(), minKnownOf(min, 0), jobs);
    if (jobs->count == 0)
        h.files.push_back({arg, leftOutReason(arg, minKnownOf(min, 0))});
}

/* The pairs of every job given. A job file reached twice (a directory
   and a file in it, a link) is read once; a job id in two files is
   worth a warning, as its samples then count twice. */
Harvest harvest(Tool &tool, const CompareOptions &o, const Filters &f)
{
    Harvest h;
    std::set<std::pair<dev_t, ino_t>> seen;
    std::map<int32_t, std::string> fileOfJob;
    for (const std::string &arg : o.pos) {
        JobList jobs;
        selectJobs(arg, o.min, &jobs, h);
        for (int i = 0; i < jobs.count; ++i) {
            const std::string path = jobs.p->items[i]->filePath;
            struct stat st {};
            if (stat(path.c_str(), &st) == 0 && !seen.insert({st.st_dev, st.st_ino}).second)
                continue;
            Parser p;
            RequestList reqs;
            const int n = createMeasurementRequestList(p.p, jobs.p, i, &reqs.p);
            if (n < 0) {
                h.files.push_back({path, std::string(tandel_errstr(TANDEL_JOB_REQUESTS, n)) + " (result " +
                                             std::to_string(n) + ")"});
                continue;
            }
            const int32_t id = jobs.p->items[i]->jobId;
            if (!fileOfJob.emplace(id, path).second)
                tool.warn("job " + std::to_string(id) + " is in " + fileOfJob[id] + " and in " + path +
                          ": its samples count twice");
            tool.progress(path + ": job " + std::to_string(id) + ", " + plural(n, "request", "requests"));
            ++h.jobs;
            h.requests += static_cast<size_t>(n);
            for (int k = 0; k < n; ++k) {
                const MeasurementRequest *r = reqs.p->items[k];
                if (const std::optional<Reason> why = leftOutBy(r, f))
                    ++h.leftOut[*why];
                else
                    h.pairs.push_back(pairOf(r));
            }
        }
    }
    /* Oldest sample first, undated ones last, whatever the order of the
       arguments and of the listing. */
    std::stable_sort(h.pairs.begin(), h.pairs.end(), [](const compare::Pair &a, const compare::Pair &b) {
        if (a.sampleDate.has_value() != b.sampleDate.has_value())
            return a.sampleDate.has_value();
        return a.sampleDate != b.sampleDate ? *a.sampleDate < *b.sampleDate : a.jobId < b.jobId;
    });
    return h;
}

/* "2 requests without a lab result, 1 without a process value", or "". */
std::string requestsLeftOut(const Harvest &h)
{
    std::string out;
    for (int k = 0; k < kReasons; ++k)
        if (h.leftOut[k])
            out += (out.empty() ? plural(long(h.leftOut[k]), "request ", "requests ")
                                : ", " + std::to_string(h.leftOut[k]) + " ") +
                   kReasonText[k];
    return out;
}

Json leftOutJson(const Harvest &h)
{
    static const char *const keys[kReasons] = {"without_lab_result",    "lab_result_without_value",
                                               "without_process_value", "other_sensor",
                                               "other_parameter",       "outside_dates"};
    Json requests;
    for (int k = 0; k < kReasons; ++k)
        requests[keys[k]] = h.leftOut[k];
    Json files = Json::array();
    for (const LeftOut &l : h.files)
        files.push_back({{"file", l.name}, {"reason", l.reason}});
    return {{"jobs", h.jobs},
            {"requests", h.requests},
            {"left_out_requests", requests},
            {"left_out_files", files}};
}

void checkOutputs(const CompareOptions &o)
{
    if (o.json && o.csv)
        throw UsageError{"--json and --csv exclude each other"};
    if (given(o.svgOpt) && o.svg.empty())
        throw UsageError{"--svg needs a file name ('-' for standard output)"};
    if (o.svg == "-" && (o.json || o.csv))
        throw UsageError{"--svg - takes standard output: give it a file name beside --json or --csv"};
}

int runCompare(Tool &tool, const CompareOptions &o)
{
    checkOutputs(o);
    const Filters filters = filtersOf(o);
    Harvest h = harvest(tool, o, filters);
    for (const LeftOut &l : h.files)
        tool.notice("left out " + l.name + ": " + l.reason);
    const std::string requests = requestsLeftOut(h);
    const compare::Comparison c = compare::compare(std::move(h.pairs));
    if (c.groups.empty()) {
        std::string why =
            plural(long(h.jobs), "job", "jobs") + ", " + plural(long(h.requests), "request", "requests");
        if (!requests.empty())
            why += "; left out: " + requests;
        if (!c.unusable.empty())
            why +=
                "; " + std::to_string(c.unusable.size()) + " with a value that is not a finite 32-bit number";
        if (!h.files.empty())
            why += "; " + plural(long(h.files.size()), "file", "files") + " left out";
        fail("no pairs of a process value and a lab result: " + why);
    }
    if (!requests.empty())
        tool.notice(plural(long(c.pairs.size() - c.unusable.size()), "pair", "pairs") + " from " +
                    plural(long(h.jobs), "job", "jobs") + "; left out: " + requests);
    if (given(o.svgOpt)) {
        writeOutput(o.svg, compare::svgText(c));
        if (o.svg != "-")
            tool.changed("plot written to " + o.svg);
    }
    if (o.svg == "-")
        return kOk;
    if (o.json) {
        Json j = compare::toJson(c);
        j.update(leftOutJson(h));
        printJson(j);
    } else {
        const std::string out = o.csv ? compare::csvText(c) : compare::tableText(c);
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    return kOk;
}

Run defineCompare(CLI::App &sub)
{
    auto o = std::make_shared<CompareOptions>();
    positionals(sub, "DIR|FILE", o->pos, 1, -1);
    option(sub, "--parameter", o->parameters);
    option(sub, "--sensor", o->sensors);
    o->sinceOpt = option(sub, "--since", o->since);
    o->untilOpt = option(sub, "--until", o->until);
    option(sub, "--min", o->min);
    flag(sub, "--json", o->json);
    flag(sub, "--csv", o->csv);
    o->svgOpt = option(sub, "--svg", o->svg);
    return [o](Tool &tool) { return runCompare(tool, *o); };
}

} // namespace

extern const Command kCompare = {
    "compare",
    "DIR|FILE.xml... [--parameter P]... [--sensor SERIAL]... [--since ISO] [--until ISO]\n"
    "       [--min N] [--json | --csv] [--svg FILE]",
    "DIR|FILE.xml... [--json|--csv] [--svg FILE]",
    "lab results against the sensor's values",
    "Sets each entered lab result beside the sensor's process value of the\n"
    "same sample, across the jobs of the directories (as 'jobtool list'\n"
    "selects them, with the same --min) and job files given, and works out\n"
    "per parameter and unit: bias (mean of lab - process) with its 95 %\n"
    "interval, SD of the differences, limits of agreement (bias -/+ 1.96\n"
    "SD), mean relative difference, the least-squares line lab = a + b *\n"
    "process with r, and the Passing-Bablok line with 95 % intervals for a\n"
    "and b (from 5 pairs on). A lab unit other than the process unit makes\n"
    "a group of its own and is named. Pairs come oldest sample first.\n"
    "Only requests pass whose sensor serial number (hexadecimal as the job\n"
    "file has it, such as 1F4A0021) is one of --sensor, whose parameter is\n"
    "one of --parameter (as the job writes it), and whose sample date lies\n"
    "from --since to --until (2024-05-13T10:00:00+0200 or ...Z; both ends\n"
    "included, undated samples then left out). Files and requests left out\n"
    "are named on standard error; a job file reached twice is read once.\n"
    "Output: a table (dates in local time); --json raw numbers of every\n"
    "pair and figure, and what was left out; --csv one row per pair\n"
    "(RFC 4180, header row). --svg FILE also writes the plot (per parameter\n"
    "lab against process with the identity and both lines, and difference\n"
    "against mean with bias and limits): replaced whole like -o of decode;\n"
    "'-' writes it alone to standard output. Nothing is written into job\n"
    "files. No pair at all fails (exit 1) with the reason.\n",
    defineCompare};

} // namespace jobtool
