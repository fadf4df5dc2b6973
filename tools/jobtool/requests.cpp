/*
 * requests: the measurement requests of one job, one per lab
 * measurement, with the process value beside the lab result.
 */
#include <cstdio>
#include <memory>

#include "args.h"
#include "command.h"
#include "jobs.h"
#include "requests.h"
#include "show.h"

namespace jobtool {

bool hasLab(const MeasurementRequest *r) { return (r->done & 0x3F) == 1; }
int labWord(const MeasurementRequest *r) { return r->displayFormat ? r->displayFormat : 0x8000; }

namespace {

struct RequestsOptions {
    std::vector<std::string> pos;
    std::string min;
    bool json = false;
};

/* One request with raw values beside the texts. */
Json requestJson(const MeasurementRequest *r)
{
    const bool process = r->displayFormat != 0;
    return {{"total_index", r->totalIndex},
            {"job_id", r->jobId},
            {"sample_number", r->sampleNumber},
            {"sample_id", orNull(r->sampleId)},
            {"label", orNull(r->label)},
            {"sample_date", isoDate(r->sampleDate)},
            {"sample_date_2000", r->sampleDate},
            {"parameter", orNull(r->parameter)},
            {"unit", orNull(r->unit)},
            {"display_format", r->displayFormat},
            {"process_value", process ? Json(r->processValue) : Json(nullptr)},
            {"process_text", process ? Json(formatValue(r->displayFormat, r->processValue)) : Json(nullptr)},
            {"done", r->done},
            {"lab_value", hasLab(r) ? Json(r->labValue) : Json(nullptr)},
            {"lab_text", hasLab(r) ? Json(formatValue(labWord(r), r->labValue)) : Json(nullptr)},
            {"lab_unit", orNull(r->labUnit)},
            {"default_method", orNull(r->defaultMethod)},
            {"used_method", orNull(r->usedMethod)}};
}

std::vector<std::string> requestRow(const MeasurementRequest *r)
{
    std::string unit = r->unit && *r->unit ? std::string(" ") + r->unit : "";
    std::string labUnit = r->labUnit && *r->labUnit ? std::string(" ") + r->labUnit : unit;
    std::string process = r->displayFormat ? formatValue(r->displayFormat, r->processValue) + unit : "-";
    std::string lab = hasLab(r) ? formatValue(labWord(r), r->labValue) + labUnit : "-";
    std::string method = orDash(r->usedMethod && *r->usedMethod ? r->usedMethod : r->defaultMethod);
    return {std::to_string(r->totalIndex),
            orDash(r->label),
            localDate(r->sampleDate, "%Y-%m-%d %H:%M"),
            orDash(r->parameter),
            process,
            lab,
            hasLab(r) ? "entered" : "open",
            method};
}

int runRequests(Tool &, const RequestsOptions &o)
{
    Parser p;
    JobList jobs;
    RequestList reqs;
    const std::string path = loadRequests(o.pos, o.min, p, &jobs, &reqs);
    const int n = reqs.p->count;
    if (o.json) {
        Json list = Json::array();
        for (int i = 0; i < n; ++i)
            list.push_back(requestJson(reqs.p->items[i]));
        printJson({{"file", path}, {"requests", list}});
        return kOk;
    }
    const char *id = qrx_GetAttribute("job_id", nullptr, p.top(), nullptr);
    std::printf("job %s, %s: %s\n", id ? id : "?", path.c_str(), plural(n, "request", "requests").c_str());
    if (!n)
        return kOk;
    std::vector<std::vector<std::string>> rows{
        {"#", "SAMPLE", "DATE", "PARAMETER", "PROCESS", "LAB", "STATE", "METHOD"}};
    for (int i = 0; i < n; ++i)
        rows.push_back(requestRow(reqs.p->items[i]));
    printTable(rows);
    return kOk;
}

Run defineRequests(CLI::App &sub)
{
    auto o = std::make_shared<RequestsOptions>();
    positionals(sub, "DIR INDEX | FILE", o->pos, 1, 2);
    value(sub.add_option("--min", o->min));
    sub.add_flag("--json", o->json);
    return [o](Tool &tool) { return runRequests(tool, *o); };
}

} // namespace

extern const Command kRequests = {"requests", "DIR INDEX [--min N] [--json]\n       jobtool requests FILE.xml [--json]",
                                  "DIR INDEX [--min N] | FILE.xml [--json]", "measurement requests of one job",
                                  "Shows the measurement requests (one per lab measurement) of one job:\n"
                                  "the job numbered INDEX by 'jobtool list DIR' with the same --min, or\n"
                                  "the job file itself. Values are shown as the display format word asks;\n"
                                  "--json gives raw values beside the texts.\n",
                                  defineRequests};

} // namespace jobtool
