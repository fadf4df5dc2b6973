/*
 * add-result and remove-result: a lab result into a job file and out
 * of it again.
 */
#include <cerrno>
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
    bool force = false;
    CLI::Option *unitOpt = nullptr, *methodOpt = nullptr, *timeOpt = nullptr;
};

/* Replaces an owned text of a request (the list frees it with free). */
void setText(char **field, const CLI::Option *opt, const std::string &value)
{
    if (!given(opt))
        return;
    char *copy = strdup(value.c_str());
    if (!copy)
        fail("out of memory");
    std::free(*field);
    *field = copy;
}

/* "request N (LABEL, PARAMETER)" of job J. */
std::string requestName(const MeasurementRequest *r, int total)
{
    return "job " + std::to_string(r->jobId) + ", request " + std::to_string(total) + " (" + orDash(r->label) +
           ", " + orDash(r->parameter) + ")";
}

/* The lab result as the file holds it now. */
std::string storedResult(const std::string &path, int total)
{
    Parser p;
    JobList jobs;
    RequestList reqs;
    loadRequests({path}, "", p, &jobs, &reqs);
    if (total >= reqs.p->count)
        fail(path + ": request " + std::to_string(total) + " is gone after the change");
    const MeasurementRequest *r = reqs.p->items[total];
    return labText(r) + ", lab time " + labTime(labElement(p.p, reqs.p, total), "%Y-%m-%d %H:%M");
}

int changeResult(Tool &tool, const ResultOptions &o, bool add)
{
    refuseStdin(o.pos[0], "the job file is rewritten in place");
    int total = static_cast<int>(parseLong(o.pos[1], "TOTALINDEX", 0, INT_MAX));
    float value = 0;
    int64_t when = 0;
    if (add) {
        value = parseLabValue(o.pos[2]);
        std::string problem = textProblem(o.unit);
        if (!problem.empty())
            throw UsageError{"--unit: " + problem};
        if (!(problem = textProblem(o.method)).empty())
            throw UsageError{"--method: " + problem};
        if (given(o.timeOpt))
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
    const std::string entered = labText(r) + " entered " + labTime(labElement(p.p, reqs.p, total), "%Y-%m-%d %H:%M");
    if (add && hasLab(r) && !o.force)
        fail(path + ": " + requestName(r, total) + " has the lab result " + entered +
             ": not replaced (--force replaces it)");
    if (!add && !hasLab(r))
        fail(path + ": " + requestName(r, total) + " has no lab result: nothing to remove");
    int rc;
    errno = 0;
    if (add) {
        r->labValue = value;
        r->labTime = static_cast<uint32_t>(when);
        setText(&r->labUnit, o.unitOpt, o.unit);
        setText(&r->usedMethod, o.methodOpt, o.method);
        rc = addMeasurementResult(path.c_str(), r);
    } else {
        rc = removeMeasurementResult(path.c_str(), r);
    }
    const int err = errno;
    if (rc != 0)
        failLib(path, TANDEL_LAB_RESULT, rc, rc == LABRES_UNWRITABLE ? writeReason(path, err) : "");
    tool.changed(add ? "lab result of request " + std::to_string(total) + " entered in " + path
                     : "lab result of request " + std::to_string(total) + " removed from " + path);
    if (add)
        std::printf("%s: lab result %s entered\n", requestName(r, total).c_str(), storedResult(path, total).c_str());
    else
        std::printf("%s: lab result %s removed\n", requestName(r, total).c_str(), entered.c_str());
    return kOk;
}

Run defineAdd(CLI::App &sub)
{
    auto o = std::make_shared<ResultOptions>();
    positionals(sub, "FILE TOTALINDEX VALUE", o->pos, 3, 3);
    o->unitOpt = option(sub, "--unit", o->unit);
    o->methodOpt = option(sub, "--method", o->method);
    o->timeOpt = option(sub, "--time", o->time);
    flag(sub, "--force", o->force);
    return [o](Tool &tool) { return changeResult(tool, *o, true); };
}

Run defineRemove(CLI::App &sub)
{
    auto o = std::make_shared<ResultOptions>();
    positionals(sub, "FILE TOTALINDEX", o->pos, 2, 2);
    return [o](Tool &tool) { return changeResult(tool, *o, false); };
}

} // namespace

extern const Command kAddResult = {
    "add-result", "FILE.xml TOTALINDEX VALUE [--unit U] [--method M] [--time ISO] [--force]", nullptr,
    "enter a lab result",
    "Enters the lab result of request TOTALINDEX (see 'jobtool requests')\n"
    "into the job file, which is rewritten in place (so not '-'; a FIFO or\n"
    "other file that is not regular is refused), and prints the result and\n"
    "lab time as the file holds them. A request whose result is entered\n"
    "already is refused (the value and time entered are named) unless\n"
    "--force replaces it; --unit and --method given before stay unless\n"
    "given again. VALUE is a decimal number (7.25, -0.5, 1.5e3) that the\n"
    "file, which keeps a float with six decimals, holds as the same number:\n"
    "1e-50, 0.1234567 and 16777217 are refused, and so is -9999.99, the\n"
    "file's mark for no value. --time takes 2024-05-13T10:00:00+0200 or\n"
    "...Z (default: now), a date that exists. --unit and --method are\n"
    "written as they are: '<', '&', control characters, invalid UTF-8, and\n"
    "'\"' together with '\\'' are refused, as no XML reader would read them\n"
    "back.\n",
    defineAdd};

extern const Command kRemoveResult = {"remove-result", "FILE.xml TOTALINDEX", nullptr, "take a lab result out again",
                                      "Takes the lab result of request TOTALINDEX out of the job file again.\n"
                                      "A request without a lab result is refused: nothing to remove.\n",
                                      defineRemove};

} // namespace jobtool
