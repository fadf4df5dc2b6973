/*
 * jobtool: command-line access to every operation of libTandelCntrl.so,
 * for looking at and fixing sensor jobs on a controller without writing
 * a program. It links the shared library and the tracer like any other
 * controller program. Exit status: 0 done, 1 the operation failed (the
 * library's result and a reason on stderr), 2 bad usage.
 */
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "TandelCntrl.h"

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kMaxDepth = 4;
constexpr int64_t kEpoch2000 = 946684800;

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

/* A parser handle that is released on every path. */
struct Parser {
    qrx_Parser *p = nullptr;
    Parser() = default;
    Parser(const Parser &) = delete;
    Parser &operator=(const Parser &) = delete;
    ~Parser() { qrx_deinit(&p); }
};

struct JobList {
    JobDescrList *l = nullptr;
    JobList() = default;
    JobList(const JobList &) = delete;
    JobList &operator=(const JobList &) = delete;
    ~JobList() { removeJobDescrList(&l); }
};

struct RequestList {
    MeasurementRequestList *l = nullptr;
    RequestList() = default;
    RequestList(const RequestList &) = delete;
    RequestList &operator=(const RequestList &) = delete;
    ~RequestList() { removeMeasurementRequestList(&l); }
};

/* A usage error carries its message to main, which adds the hint. */
struct UsageError {
    std::string message;
};

int fail(const std::string &cmd, const std::string &reason, int code)
{
    std::fprintf(stderr, "jobtool %s: %s (result %d)\n", cmd.c_str(), reason.c_str(), code);
    return kFailed;
}

int failPlain(const std::string &cmd, const std::string &reason)
{
    std::fprintf(stderr, "jobtool %s: %s\n", cmd.c_str(), reason.c_str());
    return kFailed;
}

/* ------------------------------------------------------------------ */
/* Arguments                                                           */
/* ------------------------------------------------------------------ */

/* Arguments of one subcommand: options by name, the rest positional.
   "-5" and "-.5" are values, not options; "--" ends the options. */
struct Args {
    std::vector<std::string> pos;
    std::vector<std::pair<std::string, std::string>> opts;
    bool help = false;

    const std::string *get(const std::string &name) const
    {
        const std::string *found = nullptr;
        for (const auto &o : opts)
            if (o.first == name)
                found = &o.second;
        return found;
    }
    bool has(const std::string &name) const { return get(name) != nullptr; }
};

bool looksLikeOption(const std::string &a)
{
    return a.size() > 1 && a[0] == '-' && !(std::isdigit(static_cast<unsigned char>(a[1])) || a[1] == '.');
}

/* withValue: options that take a value; flags: those that do not. */
Args parseArgs(const std::vector<std::string> &argv, const std::vector<std::string> &withValue,
               const std::vector<std::string> &flags)
{
    Args a;
    bool optionsDone = false;
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string &s = argv[i];
        if (optionsDone || !looksLikeOption(s)) {
            a.pos.push_back(s);
            continue;
        }
        if (s == "--") {
            optionsDone = true;
        } else if (s == "--help" || s == "-h") {
            a.help = true;
        } else if (std::find(flags.begin(), flags.end(), s) != flags.end()) {
            a.opts.emplace_back(s, "");
        } else if (std::find(withValue.begin(), withValue.end(), s) != withValue.end()) {
            if (i + 1 >= argv.size())
                throw UsageError{"option " + s + " needs a value"};
            a.opts.emplace_back(s, argv[++i]);
        } else {
            throw UsageError{"unknown option " + s};
        }
    }
    return a;
}

void needPositional(const Args &a, size_t min, size_t max)
{
    if (a.pos.size() < min)
        throw UsageError{"missing argument"};
    if (a.pos.size() > max)
        throw UsageError{"too many arguments"};
}

long parseLong(const std::string &s, const char *what, long min, long max)
{
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(s.c_str(), &end, 0);
    if (s.empty() || *end != '\0' || errno == ERANGE || v < min || v > max)
        throw UsageError{std::string(what) + " must be an integer from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not '" + s + "'"};
    return v;
}

double parseDouble(const std::string &s, const char *what)
{
    char *end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0')
        throw UsageError{std::string(what) + " must be a number, not '" + s + "'"};
    return v;
}

/* "%Y-%m-%dT%H:%M:%S%z" as Unix seconds; false when it does not read. */
bool parseIsoTime(const std::string &s, int64_t *out)
{
    struct tm tm {};
    const char *end = strptime(s.c_str(), "%Y-%m-%dT%H:%M:%S%z", &tm);
    if (!end || *end != '\0')
        return false;
    long offset = tm.tm_gmtoff;
    tm.tm_isdst = 0;
    *out = static_cast<int64_t>(timegm(&tm)) - offset;
    return true;
}

/* ------------------------------------------------------------------ */
/* Text helpers                                                        */
/* ------------------------------------------------------------------ */

std::string jsonString(const char *s)
{
    if (!s)
        return "null";
    std::string out = "\"";
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p) {
        switch (*p) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (*p < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", *p);
                out += buf;
            } else {
                out += static_cast<char>(*p);
            }
        }
    }
    return out + "\"";
}

std::string orDash(const char *s) { return s && *s ? s : "-"; }

/* A date of the job handler's records (seconds since 2000 UTC) in
   local time; "-" when absent, "?" when the document's text did not read. */
std::string localDate(int32_t date2000, const char *format)
{
    if (date2000 == 0)
        return "-";
    if (date2000 == -1)
        return "?";
    time_t t = static_cast<time_t>(kEpoch2000 + static_cast<uint32_t>(date2000));
    struct tm tm {};
    char buf[64];
    if (!localtime_r(&t, &tm) || std::strftime(buf, sizeof buf, format, &tm) == 0)
        return "?";
    return buf;
}

std::string hex64(uint64_t v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(v));
    return buf;
}

std::string baseName(const char *path)
{
    const char *slash = path ? std::strrchr(path, '/') : nullptr;
    return slash ? slash + 1 : (path ? path : "");
}

/* Prints rows as columns two blanks apart; the last column is not padded. */
void printTable(const std::vector<std::vector<std::string>> &rows)
{
    std::vector<size_t> width;
    for (const auto &r : rows)
        for (size_t i = 0; i < r.size(); ++i) {
            if (width.size() <= i)
                width.push_back(0);
            width[i] = std::max(width[i], r[i].size());
        }
    for (const auto &r : rows) {
        std::string line;
        for (size_t i = 0; i < r.size(); ++i) {
            line += r[i];
            if (i + 1 < r.size())
                line += std::string(width[i] - r[i].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

/* ------------------------------------------------------------------ */
/* Sensor job files                                                    */
/* ------------------------------------------------------------------ */

const char *codecReason(int rc)
{
    switch (rc) {
    case -1: return "no job container in the message";
    case -2: return "the job has no job_id";
    case -3: return "a required field is missing";
    case -4: return "a measured value of a data type other than 16";
    case -5: return "the measurement count does not match";
    case -6: return "too many samples, or a sample without date or measurement count";
    case -7: return "a field out of order";
    case SJOB_TRUNCATED: return "the message ends before its end markers";
    case SJOB_BAD_LENGTH: return "a length header with more than 4 length bytes";
    case SJOB_SHORT_FILE: return "the file is shorter than a sensor job file can be";
    case SJOB_FILE_ERROR: return "the file cannot be opened or read";
    case SJOB_NO_MEMORY: return "out of memory";
    default: return "the message does not decode";
    }
}

const char *buildReason(int rc)
{
    switch (rc) {
    case -2: return "XML syntax error";
    case -8: return "elements nested too deep";
    case -9: return "elements left open";
    case -3: return "out of memory";
    case -10:
    case -11:
    case -12:
    case -13: return "the document ends inside a name, value or text, or one is too long";
    case -14: return "the document ends inside a comment or processing instruction";
    default: return "the document does not parse";
    }
}

/* CRC-16 of the sensor job file trailer (reflected 0x1021, start 0xFFFF). */
uint16_t crc16(const std::vector<uint8_t> &data, size_t length)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

bool readWhole(const std::string &path, std::vector<uint8_t> *out)
{
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f)
        return false;
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0)
        out->insert(out->end(), buf, buf + n);
    return !std::ferror(f.get());
}

/* The CRC over a whole intact file, trailer included, is 0. */
bool crcIntact(const std::vector<uint8_t> &bytes) { return bytes.size() >= 2 && crc16(bytes, bytes.size()) == 0; }

struct TreeCounts {
    int jobId = -1;
    int samples = 0;
    int process = 0;
    int lab = 0;
};

TreeCounts countTree(const qrx_Parser *p)
{
    TreeCounts c;
    const qrx_Element *job = p && p->root ? p->root->children : nullptr;
    if (!job || !str_equal(job->name, "job"))
        return c;
    const char *id = qrx_GetAttribute("job_id", nullptr, job, nullptr);
    c.jobId = id ? std::atoi(id) : -1;
    for (const qrx_Element *s = job->children; s; s = s->next) {
        if (!str_equal(s->name, "sample"))
            continue;
        ++c.samples;
        for (const qrx_Element *m = s->children; m; m = m->next) {
            c.process += str_equal(m->name, "process_measurement");
            c.lab += str_equal(m->name, "lab_measurement");
        }
    }
    return c;
}

const char kDecodeHelp[] =
    "usage: jobtool decode FILE.sjb [-o FILE.xml]\n"
    "Decodes a sensor job file into a job document, written to FILE.xml\n"
    "or standard output. A CRC error is reported as a warning; the message\n"
    "is decoded all the same.\n";

int cmdDecode(const std::vector<std::string> &argv)
{
    Args a = parseArgs(argv, {"-o"}, {});
    if (a.help)
        return std::fputs(kDecodeHelp, stdout), kOk;
    needPositional(a, 1, 1);
    const std::string &in = a.pos[0];
    std::vector<uint8_t> bytes;
    if (!readWhole(in, &bytes))
        return failPlain("decode", in + ": " + std::strerror(errno));
    if (!crcIntact(bytes))
        std::fprintf(stderr, "jobtool decode: warning: %s: CRC error\n", in.c_str());
    Parser p;
    if (qrx_init(&p.p, kMaxDepth) != 0)
        return failPlain("decode", "out of memory");
    int rc = sjob_SensorJobFile2DOMTree(in.c_str(), p.p);
    if (rc != 0)
        return fail("decode", in + ": " + codecReason(rc), rc);
    const std::string *outPath = a.get("-o");
    FilePtr out;
    if (outPath) {
        out.reset(std::fopen(outPath->c_str(), "w"));
        if (!out)
            return failPlain("decode", *outPath + ": " + std::strerror(errno));
    }
    int n = qrx_PrintDOMTree(p.p, out ? out.get() : stdout);
    if (n < 0)
        return fail("decode", "cannot write the document", n);
    if (out && std::fclose(out.release()) != 0)
        return failPlain("decode", *outPath + ": " + std::strerror(errno));
    return kOk;
}

const char kEncodeHelp[] =
    "usage: jobtool encode FILE.xml -o FILE.sjb\n"
    "Encodes a job document as a sensor job file (header, message, CRC).\n"
    "An existing FILE.sjb is replaced only when the new one is complete.\n";

int cmdEncode(const std::vector<std::string> &argv)
{
    Args a = parseArgs(argv, {"-o"}, {});
    if (a.help)
        return std::fputs(kEncodeHelp, stdout), kOk;
    needPositional(a, 1, 1);
    const std::string *outPath = a.get("-o");
    if (!outPath)
        throw UsageError{"encode needs -o FILE.sjb"};
    const std::string &in = a.pos[0];
    FilePtr f(std::fopen(in.c_str(), "r"));
    if (!f)
        return failPlain("encode", in + ": " + std::strerror(errno));
    Parser p;
    if (qrx_init(&p.p, kMaxDepth) != 0)
        return failPlain("encode", "out of memory");
    int rc = qrx_BuildDOMTree(p.p, f.get());
    if (rc < 0)
        return fail("encode", in + ": " + buildReason(rc), rc);
    rc = sjob_DOMTree2SensorJobFile(outPath->c_str(), p.p);
    if (rc != 0)
        return fail("encode",
                    in + ": not a complete job, over 2040 bytes as a message, or " + *outPath + " cannot be written",
                    rc);
    return kOk;
}

const char kCheckHelp[] =
    "usage: jobtool check FILE.sjb\n"
    "Reports header, word count, CRC and decode result of a sensor job file.\n"
    "Exit status 1 when any of them is wrong.\n";

int cmdCheck(const std::vector<std::string> &argv)
{
    Args a = parseArgs(argv, {}, {});
    if (a.help)
        return std::fputs(kCheckHelp, stdout), kOk;
    needPositional(a, 1, 1);
    const std::string &in = a.pos[0];
    std::vector<uint8_t> b;
    if (!readWhole(in, &b))
        return failPlain("check", in + ": " + std::strerror(errno));
    std::vector<std::vector<std::string>> rows;
    std::string firstProblem;
    auto row = [&](const std::string &what, const std::string &value, bool ok) {
        rows.push_back({what, value, ok ? "ok" : "BAD"});
        if (!ok && firstProblem.empty())
            firstProblem = what;
    };
    row("file", in + " (" + std::to_string(b.size()) + " bytes)", b.size() >= 6 && b.size() % 2 == 0);
    if (b.size() >= 4) {
        char hdr[16];
        std::snprintf(hdr, sizeof hdr, "%02X %02X", b[0], b[1]);
        row("header", hdr, b[0] == 13 && b[1] == 0);
        unsigned words = b[2] | (b[3] << 8);
        row("word count", std::to_string(words) + " (file has " + std::to_string(b.size() / 2) + ")",
            words * 2 == b.size());
    }
    if (b.size() >= 2) {
        char crc[32];
        unsigned stored = b[b.size() - 2] | (b[b.size() - 1] << 8);
        std::snprintf(crc, sizeof crc, "%04X (computed %04X)", stored, crc16(b, b.size() - 2));
        row("crc", crc, crcIntact(b));
    }
    Parser p;
    if (qrx_init(&p.p, kMaxDepth) != 0)
        return failPlain("check", "out of memory");
    int rc = sjob_SensorJobFile2DOMTree(in.c_str(), p.p);
    if (rc == 0) {
        TreeCounts c = countTree(p.p);
        row("decode",
            "job " + std::to_string(c.jobId) + ", " + std::to_string(c.samples) + " samples, " +
                std::to_string(c.process) + " process and " + std::to_string(c.lab) + " lab measurements",
            true);
    } else {
        row("decode", std::string(codecReason(rc)) + " (result " + std::to_string(rc) + ")", false);
    }
    printTable(rows);
    if (rc != 0)
        return fail("check", in + ": " + codecReason(rc), rc);
    if (!firstProblem.empty())
        return failPlain("check", in + ": " + firstProblem + " is wrong");
    return kOk;
}

/* ------------------------------------------------------------------ */
/* Job directory                                                       */
/* ------------------------------------------------------------------ */

/* Lab measurements of one listed job (the descriptor counts attributes,
   not elements); -1 when the job file cannot be read. */
int labTotal(JobDescrList *jobs, int index)
{
    Parser p;
    RequestList r;
    if (qrx_init(&p.p, kMaxDepth) != 0)
        return -1;
    int n = createMeasurementRequestList(p.p, jobs, index, &r.l);
    return n;
}

const char kListHelp[] =
    "usage: jobtool list DIR [--file NAME] [--min N] [--json]\n"
    "Lists the job files (*.xml) of a job directory, newest first: job id,\n"
    "date (local time), type, samples contained/requested, lab results\n"
    "entered/total, sensor and file. A file is listed when it parses and\n"
    "has at least N (default 13) of the 14 recognised header attributes.\n";

int cmdList(const std::vector<std::string> &argv)
{
    Args a = parseArgs(argv, {"--file", "--min"}, {"--json"});
    if (a.help)
        return std::fputs(kListHelp, stdout), kOk;
    needPositional(a, 1, 1);
    int minKnown = a.has("--min") ? static_cast<int>(parseLong(*a.get("--min"), "--min", 0, 14)) : 13;
    const std::string *name = a.get("--file");
    JobList jobs;
    int n = createJobDescrList_Ex(a.pos[0].c_str(), name ? name->c_str() : nullptr, &jobs.l, minKnown);
    if (n == -7)
        return fail("list", "out of memory", n);
    if (n < 0)
        return fail("list", a.pos[0] + ": cannot open the directory", n);
    if (a.has("--json")) {
        std::printf("[");
        for (int i = 0; i < n; ++i) {
            const JobDescriptor *d = jobs.l->items[i];
            std::string date = d->date == 0 || d->date == -1 ? "null"
                                                             : jsonString(localDate(d->date, "%Y-%m-%dT%H:%M:%S%z").c_str());
            std::printf("%s\n  {\"job_id\": %d, \"date\": %s, \"job_type\": %d, \"job_handling\": %d, "
                        "\"contained_samples\": %d, \"requested_samples\": %d, \"lab_entered\": %d, "
                        "\"lab_total\": %d, \"sensor\": {\"name\": %s, \"location\": %s, \"serial_number\": \"%s\", "
                        "\"manufacturer_id\": %d, \"device_id\": %d}, \"controller\": {\"name\": %s, "
                        "\"location\": %s, \"facility\": %s, \"ip_address\": %s, \"serial_number\": \"%s\"}, "
                        "\"user\": %s, \"file\": %s}",
                        i ? "," : "", d->jobId, date.c_str(), d->jobType, d->jobHandling, d->containedSamples,
                        d->requestedSamples, d->labState1Count, labTotal(jobs.l, i),
                        jsonString(d->sensorName).c_str(), jsonString(d->sensorLocation).c_str(),
                        hex64(d->sensorSerialNumber).c_str(), d->sensorManufacturerId, d->sensorDeviceId,
                        jsonString(d->controllerName).c_str(), jsonString(d->controllerLocation).c_str(),
                        jsonString(d->controllerFacility).c_str(), jsonString(d->controllerIpAddress).c_str(),
                        hex64(d->controllerSerialNumber).c_str(), jsonString(d->userName).c_str(),
                        jsonString(d->filePath).c_str());
        }
        std::printf("%s]\n", n ? "\n" : "");
        return kOk;
    }
    if (n == 0) {
        std::printf("no jobs in %s\n", a.pos[0].c_str());
        return kOk;
    }
    std::vector<std::vector<std::string>> rows{{"#", "JOB", "DATE", "TYPE", "SAMPLES", "LAB", "SENSOR", "FILE"}};
    for (int i = 0; i < n; ++i) {
        const JobDescriptor *d = jobs.l->items[i];
        int total = labTotal(jobs.l, i);
        std::string sensor = d->sensorName ? d->sensorName : hex64(d->sensorSerialNumber);
        rows.push_back({std::to_string(i), std::to_string(d->jobId), localDate(d->date, "%Y-%m-%d %H:%M"),
                        std::to_string(d->jobType),
                        std::to_string(d->containedSamples) + "/" + std::to_string(d->requestedSamples),
                        std::to_string(d->labState1Count) + "/" + (total < 0 ? "?" : std::to_string(total)), sensor,
                        baseName(d->filePath)});
    }
    printTable(rows);
    return kOk;
}

/* Splits FILE into its directory and name. */
void splitPath(const std::string &path, std::string *dir, std::string *name)
{
    size_t slash = path.rfind('/');
    *dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

/* Loads the requests of one job: either DIR and a list index, or FILE. */
int loadRequests(const std::string &cmd, const std::vector<std::string> &pos, Parser *p, JobList *jobs,
                 RequestList *reqs, std::string *filePath)
{
    int index = 0;
    int n;
    if (pos.size() == 2) {
        index = static_cast<int>(parseLong(pos[1], "INDEX", 0, INT_MAX));
        n = createJobDescrList_Ex(pos[0].c_str(), nullptr, &jobs->l, 0);
        if (n < 0)
            return fail(cmd, pos[0] + (n == -7 ? ": out of memory" : ": cannot open the directory"), n);
        if (index >= n)
            return failPlain(cmd, pos[0] + ": no job " + std::to_string(index) + " (the directory lists " +
                                      std::to_string(n) + ")");
    } else {
        struct stat st {};
        if (stat(pos[0].c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            throw UsageError{pos[0] + " is a directory: give the INDEX of a job ('jobtool list " + pos[0] + "')"};
        std::string dir, name;
        splitPath(pos[0], &dir, &name);
        if (FILE *f = std::fopen(pos[0].c_str(), "r"))
            std::fclose(f);
        else
            return failPlain(cmd, pos[0] + ": " + std::strerror(errno));
        n = createJobDescrList_Ex(dir.c_str(), name.c_str(), &jobs->l, 0);
        if (n < 0)
            return fail(cmd, dir + (n == -7 ? ": out of memory" : ": cannot open the directory"), n);
        if (n == 0)
            return failPlain(cmd, pos[0] + ": not a job file (not *.xml, not writable, or does not parse)");
    }
    *filePath = jobs->l->items[index]->filePath;
    if (qrx_init(&p->p, kMaxDepth) != 0)
        return failPlain(cmd, "out of memory");
    n = createMeasurementRequestList(p->p, jobs->l, index, &reqs->l);
    if (n < 0)
        return fail(cmd, *filePath + ": " + (n == -6 ? "cannot read the job file" : "the job file does not parse"),
                    n);
    return kOk;
}

std::string formatValue(int word, double value)
{
    char out[64] = "";
    formatMeasurementString(out, word, value);
    const char *text = out;
    while (*text == ' ') /* "%5.2f" pads short values */
        ++text;
    return text;
}

const char kRequestsHelp[] =
    "usage: jobtool requests DIR INDEX [--json]\n"
    "       jobtool requests FILE.xml [--json]\n"
    "Shows the measurement requests (one per lab measurement) of one job:\n"
    "the job at INDEX of 'jobtool list DIR --min 0' (newest first), or the\n"
    "job file itself. Values are shown as the display format word asks.\n";

int cmdRequests(const std::vector<std::string> &argv)
{
    Args a = parseArgs(argv, {}, {"--json"});
    if (a.help)
        return std::fputs(kRequestsHelp, stdout), kOk;
    needPositional(a, 1, 2);
    Parser p;
    JobList jobs;
    RequestList reqs;
    std::string path;
    if (int rc = loadRequests("requests", a.pos, &p, &jobs, &reqs, &path))
        return rc;
    const int n = reqs.l->count;
    if (a.has("--json")) {
        std::printf("{\"file\": %s, \"requests\": [", jsonString(path.c_str()).c_str());
        for (int i = 0; i < n; ++i) {
            const MeasurementRequest *r = reqs.l->items[i];
            bool hasProcess = r->displayFormat != 0;
            bool hasLab = (r->done & 0x3F) == 1;
            std::string pv = hasProcess ? jsonString(formatValue(r->displayFormat, r->processValue).c_str()) : "null";
            std::string lv = hasLab ? jsonString(formatValue(hasProcess ? r->displayFormat : 0x8000, r->labValue).c_str())
                                    : "null";
            std::printf("%s\n  {\"total_index\": %d, \"job_id\": %d, \"sample_number\": %d, \"sample_id\": %s, "
                        "\"label\": %s, \"sample_date\": %s, \"parameter\": %s, \"unit\": %s, "
                        "\"display_format\": %d, \"process_value\": %s, \"done\": %u, \"lab_value\": %s, "
                        "\"lab_unit\": %s, \"default_method\": %s, \"used_method\": %s}",
                        i ? "," : "", r->totalIndex, r->jobId, r->sampleNumber, jsonString(r->sampleId).c_str(),
                        jsonString(r->label).c_str(),
                        jsonString(localDate(r->sampleDate, "%Y-%m-%dT%H:%M:%S%z").c_str()).c_str(),
                        jsonString(r->parameter).c_str(), jsonString(r->unit).c_str(), r->displayFormat, pv.c_str(),
                        static_cast<unsigned>(r->done), lv.c_str(), jsonString(r->labUnit).c_str(),
                        jsonString(r->defaultMethod).c_str(), jsonString(r->usedMethod).c_str());
        }
        std::printf("%s]}\n", n ? "\n" : "");
        return kOk;
    }
    const MeasurementRequest *first = n ? reqs.l->items[0] : nullptr;
    std::printf("job %d, %s: %d requests\n", first ? first->jobId : 0, path.c_str(), n);
    if (!n)
        return kOk;
    std::vector<std::vector<std::string>> rows{
        {"#", "SAMPLE", "DATE", "PARAMETER", "PROCESS", "LAB", "STATE", "METHOD"}};
    for (int i = 0; i < n; ++i) {
        const MeasurementRequest *r = reqs.l->items[i];
        bool hasProcess = r->displayFormat != 0;
        bool entered = (r->done & 0x3F) == 1;
        std::string unit = r->unit && *r->unit ? std::string(" ") + r->unit : "";
        std::string labUnit = r->labUnit && *r->labUnit ? std::string(" ") + r->labUnit : unit;
        std::string process = hasProcess ? formatValue(r->displayFormat, r->processValue) + unit : "-";
        std::string lab = entered ? formatValue(hasProcess ? r->displayFormat : 0x8000, r->labValue) + labUnit : "-";
        std::string method = orDash(r->usedMethod && *r->usedMethod ? r->usedMethod : r->defaultMethod);
        rows.push_back({std::to_string(r->totalIndex), orDash(r->label), localDate(r->sampleDate, "%Y-%m-%d %H:%M"),
                        orDash(r->parameter), process, lab, entered ? "entered" : "open", method});
    }
    printTable(rows);
    return kOk;
}

/* Replaces an owned text of a request (the list frees it with free). */
bool setText(char **field, const std::string *value)
{
    if (!value)
        return true;
    char *copy = strdup(value->c_str());
    if (!copy)
        return false;
    std::free(*field);
    *field = copy;
    return true;
}

const char kAddHelp[] =
    "usage: jobtool add-result FILE.xml TOTALINDEX VALUE [--unit U] [--method M] [--time ISO]\n"
    "Enters the lab result of request TOTALINDEX (see 'jobtool requests')\n"
    "into the job file. --time takes 2024-05-13T10:00:00+0200 (default: now).\n";
const char kRemoveHelp[] =
    "usage: jobtool remove-result FILE.xml TOTALINDEX\n"
    "Takes the lab result of request TOTALINDEX out of the job file again.\n";

int cmdChangeResult(const std::vector<std::string> &argv, bool add)
{
    const char *cmd = add ? "add-result" : "remove-result";
    Args a = add ? parseArgs(argv, {"--unit", "--method", "--time"}, {}) : parseArgs(argv, {}, {});
    if (a.help)
        return std::fputs(add ? kAddHelp : kRemoveHelp, stdout), kOk;
    needPositional(a, add ? 3 : 2, add ? 3 : 2);
    int total = static_cast<int>(parseLong(a.pos[1], "TOTALINDEX", 0, INT_MAX));
    double value = add ? parseDouble(a.pos[2], "VALUE") : 0.0;
    int64_t when = 0;
    if (add && a.has("--time")) {
        if (!parseIsoTime(*a.get("--time"), &when) || when <= 0 || when > UINT32_MAX)
            throw UsageError{"--time must look like 2024-05-13T10:00:00+0200, not '" + *a.get("--time") + "'"};
    }
    Parser p;
    JobList jobs;
    RequestList reqs;
    std::string path;
    if (int rc = loadRequests(cmd, {a.pos[0]}, &p, &jobs, &reqs, &path))
        return rc;
    if (total >= reqs.l->count)
        return failPlain(cmd, path + ": no request " + std::to_string(total) + " (the job has " +
                                  std::to_string(reqs.l->count) + ")");
    MeasurementRequest *r = reqs.l->items[total];
    int rc;
    if (add) {
        r->labValue = static_cast<float>(value);
        r->labTime = static_cast<uint32_t>(when);
        if (!setText(&r->labUnit, a.get("--unit")) || !setText(&r->usedMethod, a.get("--method")))
            return failPlain(cmd, "out of memory");
        rc = addMeasurementResult(path.c_str(), r);
    } else {
        rc = removeMeasurementResult(path.c_str(), r);
    }
    if (rc != 0)
        return fail(cmd,
                    path + ": " +
                        (rc == -6 ? "cannot write the job file"
                                  : rc == -7 ? "out of memory" : "the job file cannot be read or has changed"),
                    rc);
    std::printf("job %d, request %d (%s, %s): %s\n", r->jobId, total, orDash(r->label).c_str(),
                orDash(r->parameter).c_str(), add ? ("lab result " + formatValue(r->displayFormat ? r->displayFormat : 0x8000, r->labValue) + " entered").c_str()
                                                  : "lab result removed");
    return kOk;
}

const char kMergeHelp[] =
    "usage: jobtool merge BASE.xml NEWS.xml\n"
    "Folds a newly received version of a job (NEWS) into the stored job\n"
    "file (BASE) and deletes NEWS. Lab results entered in BASE survive\n"
    "unless NEWS carries its own.\n";

int cmdMerge(const std::vector<std::string> &argv)
{
    Args a = parseArgs(argv, {}, {});
    if (a.help)
        return std::fputs(kMergeHelp, stdout), kOk;
    needPositional(a, 2, 2);
    int rc = mergeJobFile(a.pos[0].c_str(), a.pos[1].c_str());
    if (rc < 0) {
        const char *why = rc == -1   ? "NEWS cannot be read"
                          : rc == -2 ? "a copy failed or a document has no job element"
                          : rc == -6 ? "BASE cannot be written"
                          : rc == -7 ? "out of memory"
                                     : "BASE or NEWS does not parse";
        return fail("merge", why, rc);
    }
    std::printf("%s: %d measurements\n", a.pos[0].c_str(), rc);
    return kOk;
}

const char kFormatHelp[] =
    "usage: jobtool format WORD VALUE\n"
    "Prints the display text of VALUE for the display format word WORD\n"
    "(decimal or 0x hexadecimal; 0x8000 plain, 0x0400 fixed decimals,\n"
    "bits 7-9 significant digits, bits 0-2 decimals). Exit status 1 when\n"
    "the text is \"Error\".\n";

int cmdFormat(const std::vector<std::string> &argv)
{
    Args a = parseArgs(argv, {}, {});
    if (a.help)
        return std::fputs(kFormatHelp, stdout), kOk;
    needPositional(a, 2, 2);
    int word = static_cast<int>(parseLong(a.pos[0], "WORD", INT_MIN, INT_MAX));
    double value = parseDouble(a.pos[1], "VALUE");
    char out[64] = "";
    int rc = formatMeasurementString(out, word, value);
    std::printf("%s\n", out);
    if (rc == 0)
        return fail("format", "no significant digits in the word, or not a number", rc);
    return kOk;
}

/* ------------------------------------------------------------------ */
/* HTTP                                                                */
/* ------------------------------------------------------------------ */

const char kUploadHelp[] =
    "usage: jobtool upload HOST PORT PATH FILE [--method PUT|POST] [--header 'Name: value']... [--timeout S]\n"
    "Sends FILE as the body of one HTTP/1.1 request (default PUT) and prints\n"
    "the status code of the answer. Exit status 0 for a 2xx status.\n"
    "--timeout is the wait for the first answer byte (default 100 s).\n";

const char *httpReason(int rc)
{
    switch (rc) {
    case 1: return "the answer is too short to carry a status";
    case 2: return "the answer carries no status code";
    case -1: return "socket failed";
    case -2: return "host does not resolve";
    case -3: return "connect failed";
    case -4: return "the body could not be sent";
    case -5: return "no answer within the time limit";
    case -6: return "waiting for the answer failed";
    case -7: return "receiving the answer failed";
    case -8: return "the server closed without an answer";
    case -9: return "the request head is too long";
    default: return "the request failed";
    }
}

int cmdUpload(const std::vector<std::string> &argv)
{
    Args a = parseArgs(argv, {"--method", "--header", "--timeout"}, {});
    if (a.help)
        return std::fputs(kUploadHelp, stdout), kOk;
    needPositional(a, 4, 4);
    int port = static_cast<int>(parseLong(a.pos[1], "PORT", 1, 65535));
    std::string method = a.has("--method") ? *a.get("--method") : "PUT";
    if (method != "PUT" && method != "POST")
        throw UsageError{"--method must be PUT or POST"};
    int timeout = a.has("--timeout") ? static_cast<int>(parseLong(*a.get("--timeout"), "--timeout", 0, 86400)) : -1;
    std::string headers;
    for (const auto &o : a.opts)
        if (o.first == "--header") {
            if (o.second.find_first_of("\r\n") != std::string::npos || o.second.find(':') == std::string::npos)
                throw UsageError{"--header must be one 'Name: value' line"};
            headers += o.second + "\r\n";
        }
    FilePtr body(std::fopen(a.pos[3].c_str(), "rb"));
    if (!body)
        return failPlain("upload", a.pos[3] + ": " + std::strerror(errno));
    std::vector<char> response(8192);
    int rc = makeHttpRequest(a.pos[0].c_str(), port, timeout, method.c_str(), a.pos[2].c_str(),
                             headers.empty() ? nullptr : headers.c_str(), body.get(), response.data(),
                             static_cast<int>(response.size()));
    if (rc >= 100) {
        std::printf("%d\n", rc);
        return rc < 300 && rc >= 200 ? kOk : failPlain("upload", "the server answered " + std::to_string(rc));
    }
    return fail("upload", httpReason(rc), rc);
}

/* ------------------------------------------------------------------ */

const char kMainHelp[] =
    "usage: jobtool [-v|-q] COMMAND [ARGS...]\n"
    "Looks at and fixes sensor jobs with libTandelCntrl.so.\n"
    "\n"
    "  decode FILE.sjb [-o FILE.xml]     sensor job file to job document\n"
    "  encode FILE.xml -o FILE.sjb       job document to sensor job file\n"
    "  check FILE.sjb                    header, word count, CRC, decode result\n"
    "  list DIR [--file NAME] [--min N] [--json]\n"
    "                                    the job directory, newest first\n"
    "  requests DIR INDEX | FILE.xml [--json]\n"
    "                                    measurement requests of one job\n"
    "  add-result FILE.xml TOTALINDEX VALUE [--unit U] [--method M] [--time ISO]\n"
    "  remove-result FILE.xml TOTALINDEX\n"
    "  merge BASE.xml NEWS.xml           fold a new job version into the stored one\n"
    "  format WORD VALUE                 display text of a value\n"
    "  upload HOST PORT PATH FILE [--method PUT|POST] [--header H]... [--timeout S]\n"
    "\n"
    "The library's traces go to standard error: failures by default, also\n"
    "progress with -v, none with -q (LOGTRACE_LEVEL, when set, replaces the\n"
    "default). 'jobtool COMMAND --help' tells more. Exit status: 0 done,\n"
    "1 the operation failed, 2 bad usage.\n";

struct Command {
    const char *name;
    int (*run)(const std::vector<std::string> &);
};

int cmdAdd(const std::vector<std::string> &argv) { return cmdChangeResult(argv, true); }
int cmdRemove(const std::vector<std::string> &argv) { return cmdChangeResult(argv, false); }

const Command kCommands[] = {
    {"decode", cmdDecode}, {"encode", cmdEncode},         {"check", cmdCheck}, {"list", cmdList},
    {"requests", cmdRequests}, {"add-result", cmdAdd}, {"remove-result", cmdRemove}, {"merge", cmdMerge},
    {"format", cmdFormat},     {"upload", cmdUpload},
};

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    /* -v and -q count anywhere before "--"; the tracer reads the level
       at every message, so setting it before the first call is enough. */
    const char *level = std::getenv("LOGTRACE_LEVEL") ? nullptr : "2";
    for (size_t i = 0; i < args.size() && args[i] != "--";) {
        if (args[i] == "-v" || args[i] == "-q") {
            level = args[i] == "-v" ? "6" : "0";
            args.erase(args.begin() + static_cast<long>(i));
        } else {
            ++i;
        }
    }
    if (level)
        setenv("LOGTRACE_LEVEL", level, 1);
    if (args.empty()) {
        std::fputs(kMainHelp, stderr);
        return kUsage;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kMainHelp, stdout);
        return kOk;
    }
    const std::string name = args[0];
    args.erase(args.begin());
    for (const Command &c : kCommands) {
        if (name != c.name)
            continue;
        try {
            return c.run(args);
        } catch (const UsageError &e) {
            std::fprintf(stderr, "jobtool %s: %s\nTry 'jobtool %s --help'.\n", name.c_str(), e.message.c_str(),
                         name.c_str());
            return kUsage;
        } catch (const std::bad_alloc &) {
            return failPlain(name, "out of memory");
        }
    }
    std::fprintf(stderr, "jobtool: unknown command '%s'\nTry 'jobtool --help'.\n", name.c_str());
    return kUsage;
}
