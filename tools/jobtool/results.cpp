/*
 * add-result and remove-result: a lab result into a job file and out
 * of it again.
 */
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <memory>

#include "args.h"
#include "command.h"
#include "failure.h"
#include "jobs.h"
#include "requests.h"
#include "show.h"

namespace jobtool {

namespace {

struct ResultOptions {
    std::vector<std::string> pos;
    std::string unit, method, time;
    CLI::Option *unitOpt = nullptr, *methodOpt = nullptr, *timeOpt = nullptr;
};

/* Replaces an owned text of a request (the list frees it with free). */
void setText(char **field, const CLI::Option *opt, const std::string &value)
{
    if (!opt->count())
        return;
    char *copy = strdup(value.c_str());
    if (!copy)
        fail("out of memory");
    std::free(*field);
    *field = copy;
}

int changeResult(const ResultOptions &o, bool add)
{
    refuseStdin(o.pos[0], "the job file is rewritten in place");
    int total = static_cast<int>(parseLong(o.pos[1], "TOTALINDEX", 0, INT_MAX));
    double value = 0;
    int64_t when = 0;
    if (add) {
        value = parseDouble(o.pos[2], "VALUE");
        if (!std::isfinite(value) || !std::isfinite(static_cast<float>(value)))
            throw UsageError{"VALUE must be a finite number that fits a float, not '" + o.pos[2] + "'"};
        std::string problem = textProblem(o.unit);
        if (!problem.empty())
            throw UsageError{"--unit: " + problem};
        if (!(problem = textProblem(o.method)).empty())
            throw UsageError{"--method: " + problem};
        if (o.timeOpt->count())
            when = parseIsoTime(o.time);
    }
    Parser p;
    JobList jobs;
    RequestList reqs;
    const std::string path = loadRequests({o.pos[0]}, "", p, &jobs, &reqs);
    if (total >= reqs.p->count)
        fail(path + ": no request " + std::to_string(total) + " (the job has " +
             std::to_string(reqs.p->count) + ")");
    MeasurementRequest *r = reqs.p->items[total];
    int rc;
    if (add) {
        r->labValue = static_cast<float>(value);
        r->labTime = static_cast<uint32_t>(when);
        setText(&r->labUnit, o.unitOpt, o.unit);
        setText(&r->usedMethod, o.methodOpt, o.method);
        rc = addMeasurementResult(path.c_str(), r);
    } else {
        rc = removeMeasurementResult(path.c_str(), r);
    }
    if (rc != 0)
        failLib(path, TANDEL_LAB_RESULT, rc, rc == LABRES_UNWRITABLE ? writeReason(path) : "");
    std::printf("job %d, request %d (%s, %s): %s\n", r->jobId, total, orDash(r->label).c_str(),
                orDash(r->parameter).c_str(),
                add ? ("lab result " + formatValue(labWord(r), r->labValue) + " entered").c_str()
                    : "lab result removed");
    return kOk;
}

Run defineAdd(CLI::App &sub)
{
    auto o = std::make_shared<ResultOptions>();
    positionals(sub, "FILE TOTALINDEX VALUE", o->pos, 3, 3);
    o->unitOpt = value(sub.add_option("--unit", o->unit));
    o->methodOpt = value(sub.add_option("--method", o->method));
    o->timeOpt = value(sub.add_option("--time", o->time));
    return [o](Tool &) { return changeResult(*o, true); };
}

Run defineRemove(CLI::App &sub)
{
    auto o = std::make_shared<ResultOptions>();
    positionals(sub, "FILE TOTALINDEX", o->pos, 2, 2);
    return [o](Tool &) { return changeResult(*o, false); };
}

} // namespace

extern const Command kAddResult = {
    "add-result", "FILE.xml TOTALINDEX VALUE [--unit U] [--method M] [--time ISO]", nullptr, "",
    "Enters the lab result of request TOTALINDEX (see 'jobtool requests')\n"
    "into the job file, which is rewritten in place (so not '-'). VALUE is\n"
    "a finite number. --time takes 2024-05-13T10:00:00+0200 or ...Z\n"
    "(default: now), a date that exists. --unit and --method are written\n"
    "as they are: '<', '&', control characters, invalid UTF-8, and '\"'\n"
    "together with '\\'' are refused, as no XML reader would read them back.\n",
    defineAdd};

extern const Command kRemoveResult = {"remove-result", "FILE.xml TOTALINDEX", nullptr, "",
                                      "Takes the lab result of request TOTALINDEX out of the job file again.\n",
                                      defineRemove};

} // namespace jobtool
