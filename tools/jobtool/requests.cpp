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

const qrx_Element *labElement(const qrx_Parser *p, const MeasurementRequestList *list, int total)
{
    const int number = list->items[total]->sampleNumber;
    int index = 0;
    for (int i = total - 1; i >= 0 && list->items[i]->sampleNumber == number; --i)
        ++index;
    qrx_Element *sample = findElement(p->root, jobref_sample, "number", std::to_string(number).c_str());
    return findElement(sample, jobref_labMeas, "index", std::to_string(index).c_str());
}

std::string labText(const MeasurementRequest *r)
{
    if (!hasLab(r))
        return "-";
    return storedValue(r->labValue) + (r->labUnit && *r->labUnit ? std::string(" ") + r->labUnit : "");
}

namespace {

const char *labTimeAttribute(const qrx_Element *lab)
{
    return lab ? qrx_GetAttribute("lab_time", nullptr, lab, nullptr) : nullptr;
}

/* Seconds since 2000 of a lab time, or false when it does not read
   (quietly: the text is shown instead). */
bool labTime2000(const char *text, int32_t *t)
{
    const QuietTraces quiet;
    *t = atotime2000(text);
    return *t != TEXT_UNREADABLE;
}

} // namespace

std::string labTime(const qrx_Element *lab, const char *format)
{
    const char *text = labTimeAttribute(lab);
    int32_t t = 0;
    if (!text)
        return "-";
    return labTime2000(text, &t) ? localDate(t, format) : text;
}

Json labTimeJson(const qrx_Element *lab)
{
    const char *text = labTimeAttribute(lab);
    int32_t t = 0;
    if (!text)
        return nullptr;
    return labTime2000(text, &t) ? isoDate(t) : Json(text);
}

namespace {

struct RequestsOptions {
    std::vector<std::string> pos;
    std::string min;
    bool json = false;
};

/* One request with raw values beside the texts. */
Json requestJson(const MeasurementRequest *r, const qrx_Element *lab)
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
            {"lab_text", hasLab(r) ? Json(storedValue(r->labValue)) : Json(nullptr)},
            {"lab_unit", orNull(r->labUnit)},
            {"lab_time", labTimeJson(lab)},
            {"default_method", orNull(r->defaultMethod)},
            {"used_method", orNull(r->usedMethod)}};
}

std::vector<std::string> requestRow(const MeasurementRequest *r, const qrx_Element *lab)
{
    std::string unit = r->unit && *r->unit ? std::string(" ") + r->unit : "";
    std::string process = r->displayFormat ? formatValue(r->displayFormat, r->processValue) + unit : "-";
    std::string method = orDash(r->usedMethod && *r->usedMethod ? r->usedMethod : r->defaultMethod);
    return {std::to_string(r->totalIndex),
            orDash(r->label),
            localDate(r->sampleDate, "%Y-%m-%d %H:%M"),
            orDash(r->parameter),
            process,
            labText(r),
            labTime(lab, "%Y-%m-%d %H:%M"),
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
            list.push_back(requestJson(reqs.p->items[i], labElement(p.p, reqs.p, i)));
        printJson({{"file", path}, {"requests", list}});
        return kOk;
    }
    const char *id = qrx_GetAttribute("job_id", nullptr, p.top(), nullptr);
    std::printf("job %s, %s: %s\n", id ? id : "?", path.c_str(), plural(n, "request", "requests").c_str());
    if (!n)
        return kOk;
    std::vector<std::vector<std::string>> rows{
        {"#", "SAMPLE", "DATE", "PARAMETER", "PROCESS", "LAB", "LAB TIME", "STATE", "METHOD"}};
    for (int i = 0; i < n; ++i)
        rows.push_back(requestRow(reqs.p->items[i], labElement(p.p, reqs.p, i)));
    printTable(rows);
    return kOk;
}

Run defineRequests(CLI::App &sub)
{
    auto o = std::make_shared<RequestsOptions>();
    positionals(sub, "DIR INDEX | FILE", o->pos, 1, 2);
    option(sub, "--min", o->min);
    flag(sub, "--json", o->json);
    return [o](Tool &tool) { return runRequests(tool, *o); };
}

} // namespace

extern const Command kRequests = {"requests", "DIR INDEX [--min N] [--json]\n       jobtool requests FILE.xml [--json]",
                                  "DIR INDEX [--min N] | FILE.xml [--json]", "measurement requests of one job",
                                  "Shows the measurement requests (one per lab measurement) of one job:\n"
                                  "the job numbered INDEX by 'jobtool list DIR' with the same --min, or\n"
                                  "the job file itself. Process values are shown as the display format\n"
                                  "word asks, lab values as the job file stores them, with the lab unit\n"
                                  "and the lab time (local time); --json gives raw values beside the\n"
                                  "texts. The job is read through the job directory functions: a FIFO\n"
                                  "or other file that is not regular is refused.\n",
                                  defineRequests};

} // namespace jobtool
