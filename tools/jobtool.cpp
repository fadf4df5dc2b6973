/*
 * jobtool: command-line access to every operation of libTandelCntrl.so,
 * for looking at and fixing sensor jobs on a controller without writing
 * a program. It links the shared library and the tracer like any other
 * controller program. Exit status: 0 done, 1 the operation failed (the
 * file, the system's reason or the library's result on stderr), 2 bad
 * usage. A request that would lose data is refused with its reason.
 */
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "TandelCntrl.h"
#include "civiltime.h"
#include "files.h"
#include "jobfile.h"

#ifndef JOBTOOL_VERSION
#define JOBTOOL_VERSION "unknown"
#endif
#ifndef TANDEL_LIB_VERSION
#define TANDEL_LIB_VERSION "unknown"
#endif
#ifndef TANDEL_LIB_SONAME
#define TANDEL_LIB_SONAME "libTandelCntrl.so"
#endif

namespace {

using Json = nlohmann::ordered_json;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kMaxDepth = 4;
constexpr mode_t kJobFileMode = 0666; /* what the library gives job files */
constexpr int kProcessBitKill = 0x100;
constexpr int kJobTypeSingleton = 0x20;

/* Thrown by the commands; main prefixes "jobtool COMMAND: ". */
struct Failure {
    std::string message;
};
struct UsageError {
    std::string message;
};

[[noreturn]] void fail(const std::string &message) { throw Failure{message}; }
[[noreturn]] void failResult(const std::string &message, int rc)
{
    throw Failure{message + " (result " + std::to_string(rc) + ")"};
}
/* A library failure: what it concerns, the library's text for the
   result, the system's reason when there is one, and the result. */
[[noreturn]] void failLib(const std::string &what, tandel_Family family, int rc,
                          const std::string &reason = "")
{
    failResult(what + ": " + tandel_errstr(family, rc) + (reason.empty() ? "" : ": " + reason), rc);
}
/* The file and the system's reason, from errno as the failed call left it. */
[[noreturn]] void failSys(const std::string &path) { throw Failure{path + ": " + std::strerror(errno)}; }

std::string displayName(const std::string &path) { return path == "-" ? "standard input" : path; }

/* A stream read whole: a file it owns, or standard input, left open. */
struct Input {
    tandel::FilePtr file;
    FILE *get() const { return file ? file.get() : stdin; }
};

struct Parser : tandel::Owned<qrx_Parser, qrx_deinit> {
    Parser()
    {
        if (const int rc = qrx_init(&p, kMaxDepth))
            failResult(tandel_errstr(TANDEL_XML_SETUP, rc), rc);
    }
    const qrx_Element *top() const { return p->root ? p->root->children : nullptr; }
};

struct JobList : tandel::Owned<JobDescrList, removeJobDescrList> {
    int count = 0;
};

using RequestList = tandel::Owned<MeasurementRequestList, removeMeasurementRequestList>;

/* Everything the command line can say; each command reads its part. */
struct Cli {
    bool verbose = false, quiet = false;
    std::vector<std::string> pos;
    std::string out, file, min, unit, method, time, httpMethod = "PUT", timeout;
    std::vector<std::string> headers;
    bool json = false, force = false, dryRun = false;
    CLI::Option *fileOpt = nullptr, *unitOpt = nullptr, *methodOpt = nullptr, *timeOpt = nullptr,
                *timeoutOpt = nullptr;
};

/* ------------------------------------------------------------------ */
/* Values                                                              */
/* ------------------------------------------------------------------ */

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

bool isLeap(long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(long y, int m)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

/* "YYYY-MM-DDTHH:MM:SS+hhmm" (or "Z") as Unix seconds. Every field is
   checked here, days per month with leap years: strptime and timegm
   would carry 2024-02-30 over into March. */
int64_t parseIsoTime(const std::string &s)
{
    const std::string shape = "dddd-dd-ddTdd:dd:dd";
    auto bad = [&](const std::string &why) -> UsageError { return UsageError{"--time '" + s + "': " + why}; };
    bool zulu = s.size() == shape.size() + 1 && s.back() == 'Z';
    if (s.size() != shape.size() + 5 && !zulu)
        throw bad("must look like 2024-05-13T10:00:00+0200");
    for (size_t i = 0; i < s.size(); ++i) {
        char want = i < shape.size() ? shape[i] : (i == shape.size() ? '+' : 'd');
        bool fits = want == 'd'   ? std::isdigit(static_cast<unsigned char>(s[i])) != 0
                    : want == '+' ? (s[i] == '+' || s[i] == '-' || zulu)
                                  : s[i] == want;
        if (!fits)
            throw bad("must look like 2024-05-13T10:00:00+0200");
    }
    auto num = [&](size_t at, size_t n) { return std::stoi(s.substr(at, n)); };
    long y = num(0, 4);
    int mo = num(5, 2), d = num(8, 2), h = num(11, 2), mi = num(14, 2), sec = num(17, 2);
    int offset = zulu ? 0 : (num(20, 2) * 60 + num(22, 2)) * (s[19] == '-' ? -1 : 1);
    if (mo < 1 || mo > 12)
        throw bad("there is no month " + std::to_string(mo));
    if (d < 1 || d > daysInMonth(y, mo))
        throw bad("month " + std::to_string(mo) + " of " + std::to_string(y) + " has " +
                  std::to_string(daysInMonth(y, mo)) + " days");
    if (h > 23 || mi > 59)
        throw bad("there is no time " + s.substr(11, 5));
    if (sec > 59)
        throw bad("seconds go to 59 (Unix time has no leap seconds)");
    if (!zulu && (num(20, 2) > 14 || num(22, 2) > 59))
        throw bad("the offset from UTC must be at most 14 hours");
    int64_t t = daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + sec - int64_t{offset} * 60;
    if (t <= 0 || t > UINT32_MAX)
        throw bad("must lie after 1970-01-01T00:00:00Z and up to 2106-02-07T06:28:15Z");
    return t;
}

/* Why a text cannot go into a job file, or "" when it can. The library
   writes attribute values unescaped, in double quotes, or in single
   quotes when the value holds '"' and no '\''. */
std::string textProblem(const std::string &s)
{
    char buf[96];
    const bool apostrophe = s.find('\'') != std::string::npos;
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const char *what = nullptr;
        if (c == '<' || c == '&')
            what = "the file would not read back as XML (written unescaped)";
        else if (c == '"' && apostrophe)
            what = "'\"' and '\\'' together cannot be quoted";
        else if (c < 0x20 && c != '\t')
            what = "a control character";
        if (what) {
            if (c >= 0x20)
                std::snprintf(buf, sizeof buf, "character '%c' (0x%02X) at byte %zu: ", c, c, i + 1);
            else
                std::snprintf(buf, sizeof buf, "character 0x%02X at byte %zu: ", c, i + 1);
            return buf + std::string(what);
        }
        int n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        uint32_t cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
        bool valid = n > 0 && i + n <= s.size();
        for (int k = 1; valid && k < n; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            valid = (cc & 0xC0) == 0x80;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!valid || cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            std::snprintf(buf, sizeof buf, "byte 0x%02X at byte %zu is not valid UTF-8", c, i + 1);
            return buf;
        }
        i += static_cast<size_t>(n);
    }
    return "";
}

std::string orDash(const char *s) { return s && *s ? s : "-"; }
Json orNull(const char *s) { return s ? Json(s) : Json(nullptr); }

/* A date of the library's records (seconds since 2000 UTC) in local
   time; "-" when absent, "?" when the document's text did not read. */
std::string localDate(int32_t date2000, const char *format)
{
    if (date2000 == 0)
        return "-";
    if (date2000 == -1)
        return "?";
    struct tm tm {};
    char buf[64];
    if (!localtime64(kEpoch2000 + static_cast<uint32_t>(date2000), &tm) ||
        std::strftime(buf, sizeof buf, format, &tm) == 0)
        return "?";
    return buf;
}

Json isoDate(int32_t date2000)
{
    std::string d = localDate(date2000, "%Y-%m-%dT%H:%M:%S%z");
    return d == "-" || d == "?" ? Json(nullptr) : Json(d);
}

std::string hex64(uint64_t v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(v));
    return buf;
}

std::string baseName(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string plural(long n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

/* Rows as columns two blanks apart; the last column is not padded. */
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

std::string formatValue(int word, double value)
{
    char out[64] = "";
    formatMeasurementString(out, word, value);
    const char *text = out;
    while (*text == ' ') /* "%5.2f" pads short values */
        ++text;
    return text;
}

/* ------------------------------------------------------------------ */
/* Files                                                               */
/* ------------------------------------------------------------------ */

/* Opens a file to read ("-": standard input); a directory is told as one. */
Input openInput(const std::string &path, const char *mode = "rb")
{
    if (path == "-")
        return {};
    tandel::FilePtr f(std::fopen(path.c_str(), mode));
    if (!f)
        failSys(path);
    struct stat st {};
    if (fstat(fileno(f.get()), &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        failSys(path);
    }
    return {std::move(f)};
}

std::string readAll(const std::string &path)
{
    Input f = openInput(path);
    std::string data;
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0)
        data.append(buf, n);
    if (std::ferror(f.get()))
        failSys(displayName(path));
    return data;
}

bool writeAll(int fd, const std::string &data)
{
    for (size_t done = 0; done < data.size();) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

/* Replaces a regular file whole: a temporary file beside it, synced and
   renamed over it, so a failure leaves the old file (or none) and no
   temporary. It gets the old file's mode, or newMode for a new file.
   Devices and FIFOs (/dev/null) are written in place. */
void writeFileAtomic(const std::string &path, const std::string &data, mode_t newMode)
{
    std::string target = path;
    mode_t mode = newMode;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            failSys(path);
        }
        if (!S_ISREG(st.st_mode)) {
            int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0)
                failSys(path);
            bool ok = writeAll(fd, data);
            int saved = errno;
            if (close(fd) != 0 && ok)
                failSys(path);
            errno = saved;
            if (!ok)
                failSys(path);
            return;
        }
        if (access(path.c_str(), W_OK) != 0)
            failSys(path);                                  /* a read-only file stays as it is */
        if (char *real = realpath(path.c_str(), nullptr)) { /* a link keeps pointing at the file */
            target = real;
            std::free(real);
        }
        mode = st.st_mode & 07777;
    } else if (errno != ENOENT) {
        failSys(path);
    }
    std::string tmp = tandel::directoryOf(target.c_str()) + "/." + baseName(target) + ".XXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd < 0)
        failSys(path);
    bool ok = writeAll(fd, data) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    int saved = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp.c_str(), target.c_str()) == 0)
        return;
    saved = ok ? errno : saved;
    unlink(tmp.c_str());
    errno = saved;
    failSys(path);
}

/* Standard output is written through stdio; main checks the final flush. */
void writeOutput(const std::string &path, const std::string &data, mode_t newMode)
{
    if (path.empty() || path == "-") {
        std::fwrite(data.data(), 1, data.size(), stdout);
        return;
    }
    writeFileAtomic(path, data, newMode);
}

/* The tree as XML text, made in memory so that a failed print leaves
   no partial output behind. */
std::string printTree(const Parser &p, const std::string &what)
{
    char *buf = nullptr;
    size_t size = 0;
    FILE *ms = open_memstream(&buf, &size);
    if (!ms)
        fail("out of memory");
    int rc = qrx_WriteDOMTree(p.p, ms);
    bool closed = std::fclose(ms) == 0;
    std::string text = buf ? std::string(buf, size) : std::string();
    std::free(buf);
    if (rc >= 0 && !closed)
        rc = QRX_STREAM_ERROR;
    if (rc < 0)
        failLib(what, TANDEL_XML_PRINT, rc);
    return text;
}

/* The system's reason why the library could not replace path; "" when
   none shows. */
std::string writeReason(const std::string &path)
{
    if (access(path.c_str(), W_OK) != 0 && errno != ENOENT)
        return std::strerror(errno);
    std::string dir = tandel::directoryOf(path.c_str());
    if (access(dir.c_str(), W_OK) != 0)
        return dir + ": " + std::strerror(errno) + " (a temporary file goes there)";
    return "";
}

/* ------------------------------------------------------------------ */
/* Sensor job files                                                    */
/* ------------------------------------------------------------------ */

const uint8_t *bytesOf(const std::string &b) { return reinterpret_cast<const uint8_t *>(b.data()); }

/* The CRC of the first n bytes. */
uint16_t crc16(const std::string &b, size_t n)
{
    return calculateProbeDrvCRC(bytesOf(b), static_cast<uint32_t>(n));
}

/* The CRC over a whole intact file, trailer included, is 0. */
bool crcIntact(const std::string &b) { return b.size() >= 2 && crc16(b, b.size()) == 0; }

/* Decodes a sensor job file already read into bytes. Standard input has
   no path for the library's file reader, so its message is decoded from
   the bytes between header and trailer, as that reader does. */
int decodeFile(const std::string &path, const std::string &bytes, Parser &p)
{
    if (bytes.size() < tandel::kJobFileMin)
        return SJOB_SHORT_FILE;
    if (path != "-")
        return sjob_SensorJobFile2DOMTree(path.c_str(), p.p);
    return tandel::decodeJobFile(bytesOf(bytes), static_cast<uint32_t>(bytes.size()), p.p);
}

/* The sensor job file of the handle's document, as the library writes it. */
std::string encodeFile(Parser &p, const std::string &what)
{
    uint8_t buf[tandel::kJobFileMax] = {};
    uint8_t *file = nullptr;
    uint32_t size = 0;
    if (const int rc = tandel::encodeJobFile(p.p, buf, &file, &size))
        failLib(what, TANDEL_SJOB_ENCODE, rc);
    return std::string(reinterpret_cast<char *>(file), size);
}

struct TreeCounts {
    int jobId = -1, samples = 0, process = 0, lab = 0;
};

TreeCounts countTree(const Parser &p)
{
    TreeCounts c;
    const qrx_Element *job = p.top();
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

int cmdDecode(const Cli &cli)
{
    const std::string &in = cli.pos[0];
    std::string bytes = readAll(in);
    Parser p;
    int rc = decodeFile(in, bytes, p);
    if (rc == SJOB_SHORT_FILE) /* said before any CRC warning: a short file has no CRC */
        failLib(displayName(in), TANDEL_SJOB_DECODE, rc,
                "it has " + plural(long(bytes.size()), "byte", "bytes"));
    if (!crcIntact(bytes))
        std::fprintf(stderr, "jobtool decode: warning: %s: CRC error\n", displayName(in).c_str());
    if (rc != 0)
        failLib(displayName(in), TANDEL_SJOB_DECODE, rc);
    writeOutput(cli.out, printTree(p, displayName(in)), kJobFileMode);
    return kOk;
}

int cmdEncode(const Cli &cli)
{
    const std::string &in = cli.pos[0];
    Input f = openInput(in, "r");
    Parser p;
    int rc = qrx_BuildDOMTree(p.p, f.get());
    if (rc < 0)
        failLib(displayName(in), TANDEL_XML_PARSE, rc);
    writeOutput(cli.out, encodeFile(p, displayName(in)), kJobFileMode);
    return kOk;
}

/* Checks one sensor job file into a table and a JSON record; "" when
   it is sound, else the first problem. */
std::string checkOne(const std::string &in, std::vector<std::vector<std::string>> *rows, Json *j)
{
    std::string b = readAll(in);
    const std::string name = displayName(in);
    std::string problem;
    auto row = [&](const char *what, const std::string &value, bool ok) {
        rows->push_back({what, value, ok ? "ok" : "BAD"});
        if (!ok && problem.empty())
            problem = name + ": " + what + " is wrong";
    };
    const auto byte = [&](size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(b[i])); };
    (*j)["file"] = name;
    (*j)["bytes"] = b.size();
    row("file", name + " (" + plural(long(b.size()), "byte", "bytes") + ")",
        b.size() >= 6 && b.size() % 2 == 0);
    if (b.size() >= 4) {
        char hdr[16];
        std::snprintf(hdr, sizeof hdr, "%02X %02X", byte(0), byte(1));
        row("header", hdr, byte(0) == 13 && byte(1) == 0);
        unsigned words = byte(2) | (byte(3) << 8);
        row("word count", std::to_string(words) + " (file has " + std::to_string(b.size() / 2) + ")",
            words * 2 == b.size());
        (*j)["header"] = {byte(0), byte(1)};
        (*j)["word_count"] = words;
    }
    if (b.size() >= 2) {
        char crc[32];
        unsigned stored = byte(b.size() - 2) | (byte(b.size() - 1) << 8);
        std::snprintf(crc, sizeof crc, "%04X (computed %04X)", stored, crc16(b, b.size() - 2));
        row("crc", crc, crcIntact(b));
        (*j)["crc"] = stored;
        (*j)["crc_computed"] = crc16(b, b.size() - 2);
    }
    Parser p;
    int rc = decodeFile(in, b, p);
    (*j)["decode_result"] = rc;
    if (rc == 0) {
        TreeCounts c = countTree(p);
        row("decode",
            "job " + std::to_string(c.jobId) + ", " + plural(c.samples, "sample", "samples") + ", " +
                std::to_string(c.process) + " process and " + std::to_string(c.lab) + " lab measurements",
            true);
        (*j)["job_id"] = c.jobId;
        (*j)["samples"] = c.samples;
        (*j)["process_measurements"] = c.process;
        (*j)["lab_measurements"] = c.lab;
    } else {
        const std::string reason =
            tandel_errstr(TANDEL_SJOB_DECODE, rc) + (" (result " + std::to_string(rc) + ")");
        row("decode", reason, false);
        problem = name + ": " + reason;
    }
    (*j)["ok"] = problem.empty();
    return problem;
}

int cmdCheck(const Cli &cli)
{
    Json all = Json::array();
    int status = kOk;
    bool first = true;
    for (const std::string &in : cli.pos) {
        std::vector<std::vector<std::string>> rows;
        Json j;
        std::string problem;
        try {
            problem = checkOne(in, &rows, &j);
        } catch (const Failure &f) {
            problem = f.message;
            j = {{"file", displayName(in)}, {"ok", false}, {"error", f.message}};
        }
        if (!cli.json && !rows.empty()) {
            if (!first)
                std::printf("\n");
            printTable(rows);
            first = false;
        }
        if (!problem.empty()) {
            std::fprintf(stderr, "jobtool check: %s\n", problem.c_str());
            status = kFailed;
        }
        all.push_back(j);
    }
    if (cli.json)
        std::printf("%s\n", all.dump(2).c_str());
    return status;
}

/* ------------------------------------------------------------------ */
/* Job directory                                                       */
/* ------------------------------------------------------------------ */

/* The job list that both `list` and `requests DIR INDEX` number: the
   library's newest-first order, equal dates by file name, so the same
   directory gives the same numbers whatever order readdir returns. */
void loadJobs(const std::string &dir, const char *name, int minKnown, JobList *jobs)
{
    if (DIR *d = opendir(dir.c_str()))
        closedir(d);
    else
        failSys(dir);
    int n = createJobDescrList_Ex(dir.c_str(), name, &jobs->p, minKnown);
    if (n < 0)
        failLib(dir, TANDEL_JOB_LIST, n);
    std::stable_sort(jobs->p->items, jobs->p->items + n, [](const JobDescriptor *a, const JobDescriptor *b) {
        auto da = static_cast<uint32_t>(a->date), db = static_cast<uint32_t>(b->date);
        return da != db ? da > db : std::strcmp(a->filePath, b->filePath) < 0;
    });
    jobs->count = n;
}

/* Why a *.xml file of the directory is not in the list. */
std::string leftOutReason(const std::string &path, int minKnown)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return std::strerror(errno);
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    if (access(path.c_str(), W_OK) != 0)
        return std::string("not writable by you (") + std::strerror(errno) + ")";
    tandel::FilePtr f(std::fopen(path.c_str(), "r"));
    if (!f)
        return std::strerror(errno);
    Parser p;
    int rc = qrx_BuildDOMTree(p.p, f.get());
    f.reset();
    if (rc < 0)
        return std::string("does not parse: ") + tandel_errstr(TANDEL_XML_PARSE, rc) + " (result " +
               std::to_string(rc) + ")";
    if (!p.top() || !str_equal(p.top()->name, "job"))
        return "not a job document";
    return "fewer than " + std::to_string(minKnown) + " of the 14 job header attributes (--min lowers it)";
}

struct LeftOut {
    std::string name, reason;
};

std::vector<LeftOut> leftOutFiles(const std::string &dir, const char *only, int minKnown, const JobList &jobs)
{
    std::set<std::string> listed;
    for (int i = 0; i < jobs.count; ++i)
        listed.insert(baseName(jobs.p->items[i]->filePath));
    std::vector<LeftOut> out;
    DIR *d = opendir(dir.c_str());
    if (!d)
        failSys(dir);
    while (const dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".xml") != 0 || listed.count(name) ||
            (only && name != only))
            continue;
        out.push_back({name, ""});
    }
    closedir(d);
    std::sort(out.begin(), out.end(), [](const LeftOut &a, const LeftOut &b) { return a.name < b.name; });
    for (LeftOut &l : out)
        l.reason = leftOutReason(dir + "/" + l.name, minKnown);
    return out;
}

/* Lab measurements of one listed job (the descriptor counts attributes,
   not elements); negative when the job file cannot be read. */
int labTotal(JobDescrList *jobs, int index)
{
    Parser p;
    RequestList r;
    return createMeasurementRequestList(p.p, jobs, index, &r.p);
}

int minKnownOf(const Cli &cli, int fallback)
{
    return !cli.min.empty() ? static_cast<int>(parseLong(cli.min, "--min", 0, 14)) : fallback;
}

void refuseStdin(const std::string &path, const char *why)
{
    if (path == "-")
        throw UsageError{std::string("'-' (standard input) cannot be used here: ") + why};
}

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
    Json j = {{"directory", dir}, {"jobs", list}, {"left_out", skipped}};
    std::printf("%s\n", j.dump(2).c_str());
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
                 d->sensorName ? d->sensorName : hex64(d->sensorSerialNumber), baseName(d->filePath)});
        }
        printTable(rows);
    }
    if (!left.empty()) {
        std::printf("%s left out:\n", plural(long(left.size()), "file", "files").c_str());
        for (const LeftOut &l : left)
            std::printf("  %s: %s\n", l.name.c_str(), l.reason.c_str());
    }
}

int cmdList(const Cli &cli)
{
    const std::string &dir = cli.pos[0];
    refuseStdin(dir, "a job directory is listed");
    const int minKnown = minKnownOf(cli, 13);
    const char *only = cli.fileOpt->count() ? cli.file.c_str() : nullptr;
    JobList jobs;
    loadJobs(dir, only, minKnown, &jobs);
    std::vector<LeftOut> left = leftOutFiles(dir, only, minKnown, jobs);
    if (cli.json)
        printJobsJson(dir, jobs, left);
    else
        printJobs(dir, jobs, left);
    return kOk;
}

/* The requests of one job: DIR and the INDEX that `list DIR` shows, or
   a job file. Leaves the job's tree in p. */
std::string loadRequests(const Cli &cli, Parser &p, JobList *jobs, RequestList *reqs)
{
    const std::vector<std::string> &pos = cli.pos;
    refuseStdin(pos[0], "the job is read through the job directory functions, which need a file");
    int index = 0;
    if (pos.size() == 2) {
        index = static_cast<int>(parseLong(pos[1], "INDEX", 0, INT_MAX));
        loadJobs(pos[0], nullptr, minKnownOf(cli, 13), jobs);
        if (index >= jobs->count)
            fail(pos[0] + ": no job " + std::to_string(index) + " (the directory lists " +
                 std::to_string(jobs->count) + ")");
    } else {
        struct stat st {};
        if (stat(pos[0].c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            throw UsageError{pos[0] + " is a directory: give the INDEX of a job ('jobtool list " + pos[0] +
                             "')"};
        openInput(pos[0], "r");
        const std::string dir = tandel::directoryOf(pos[0].c_str()), name = baseName(pos[0]);
        loadJobs(dir, name.c_str(), minKnownOf(cli, 0), jobs);
        if (jobs->count == 0)
            fail(pos[0] + ": not a job file: " +
                 (name.size() <= 4 || name.compare(name.size() - 4, 4, ".xml") != 0
                      ? std::string("the name does not end in .xml")
                      : leftOutReason(pos[0], minKnownOf(cli, 0))));
    }
    std::string path = jobs->p->items[index]->filePath;
    int n = createMeasurementRequestList(p.p, jobs->p, index, &reqs->p);
    if (n < 0)
        failLib(path, TANDEL_JOB_REQUESTS, n);
    if (!p.top() || !str_equal(p.top()->name, "job"))
        fail(path + ": not a job document (its top element is '" + (p.top() ? p.top()->name : "") + "')");
    return path;
}

bool hasLab(const MeasurementRequest *r) { return (r->done & 0x3F) == 1; }
int labWord(const MeasurementRequest *r) { return r->displayFormat ? r->displayFormat : 0x8000; }

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

int cmdRequests(const Cli &cli)
{
    Parser p;
    JobList jobs;
    RequestList reqs;
    const std::string path = loadRequests(cli, p, &jobs, &reqs);
    const int n = reqs.p->count;
    if (cli.json) {
        Json list = Json::array();
        for (int i = 0; i < n; ++i)
            list.push_back(requestJson(reqs.p->items[i]));
        Json j = {{"file", path}, {"requests", list}};
        std::printf("%s\n", j.dump(2).c_str());
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

int changeResult(const Cli &cli, bool add)
{
    refuseStdin(cli.pos[0], "the job file is rewritten in place");
    int total = static_cast<int>(parseLong(cli.pos[1], "TOTALINDEX", 0, INT_MAX));
    double value = 0;
    int64_t when = 0;
    if (add) {
        value = parseDouble(cli.pos[2], "VALUE");
        if (!std::isfinite(value) || !std::isfinite(static_cast<float>(value)))
            throw UsageError{"VALUE must be a finite number that fits a float, not '" + cli.pos[2] + "'"};
        std::string problem = textProblem(cli.unit);
        if (!problem.empty())
            throw UsageError{"--unit: " + problem};
        if (!(problem = textProblem(cli.method)).empty())
            throw UsageError{"--method: " + problem};
        if (cli.timeOpt->count())
            when = parseIsoTime(cli.time);
    }
    Parser p;
    JobList jobs;
    RequestList reqs;
    Cli one = cli;
    one.pos.resize(1);
    const std::string path = loadRequests(one, p, &jobs, &reqs);
    if (total >= reqs.p->count)
        fail(path + ": no request " + std::to_string(total) + " (the job has " +
             std::to_string(reqs.p->count) + ")");
    MeasurementRequest *r = reqs.p->items[total];
    int rc;
    if (add) {
        r->labValue = static_cast<float>(value);
        r->labTime = static_cast<uint32_t>(when);
        setText(&r->labUnit, cli.unitOpt, cli.unit);
        setText(&r->usedMethod, cli.methodOpt, cli.method);
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

int cmdAdd(const Cli &cli) { return changeResult(cli, true); }
int cmdRemove(const Cli &cli) { return changeResult(cli, false); }

/* ------------------------------------------------------------------ */
/* Merge                                                               */
/* ------------------------------------------------------------------ */

void readTree(const std::string &path, Parser &p)
{
    Input f = openInput(path, "r");
    int rc = qrx_BuildDOMTree(p.p, f.get());
    if (rc < 0)
        failLib(path, TANDEL_XML_PARSE, rc);
    if (!p.top() || !str_equal(p.top()->name, "job"))
        fail(path + ": not a job document");
}

const qrx_Element *childWith(const qrx_Element *parent, const char *name, const char *attr, int number)
{
    const std::string want = std::to_string(number);
    for (const qrx_Element *c = parent ? parent->children : nullptr; c; c = c->next)
        if (str_equal(c->name, name) && str_equal(qrx_GetAttribute(attr, nullptr, c, nullptr), want.c_str()))
            return c;
    return nullptr;
}

int attrInt(const qrx_Element *e, const char *name)
{
    const char *v = e ? qrx_GetAttribute(name, nullptr, e, nullptr) : nullptr;
    int n = 0;
    return v && std::sscanf(v, "%d", &n) == 1 ? n : 0;
}

/* What mergeJobFile would do with these two trees, in its own order. */
void describeMerge(const std::string &basePath, const Parser &base, const std::string &newsPath,
                   const Parser &news)
{
    if (attrInt(news.top(), "job_handling") & kProcessBitKill) {
        std::printf("would delete %s: NEWS job_handling has bit 0x100 (kill); %s kept\n", basePath.c_str(),
                    newsPath.c_str());
        return;
    }
    if (attrInt(news.top(), "job_type") & kJobTypeSingleton) {
        std::printf("would replace %s with a copy of %s (NEWS job_type has bit 0x20) and delete %s\n",
                    basePath.c_str(), newsPath.c_str(), newsPath.c_str());
        return;
    }
    int samples = 0, measurements = 0;
    for (int number = 0;; ++number) {
        const qrx_Element *bs = childWith(base.top(), "sample", "number", number);
        const qrx_Element *ns = childWith(news.top(), "sample", "number", number);
        if (!bs && !ns)
            break;
        bool counted = false;
        for (int index = 0;; ++index) {
            const qrx_Element *bp = childWith(bs, "process_measurement", "index", index);
            const qrx_Element *np = childWith(ns, "process_measurement", "index", index);
            const qrx_Element *bl = childWith(bs, "lab_measurement", "index", index);
            const qrx_Element *nl = childWith(ns, "lab_measurement", "index", index);
            if (!bp && !np && !bl && !nl)
                break;
            samples += !counted;
            counted = true;
            std::string line = "sample " + std::to_string(number) + " index " + std::to_string(index) + ":";
            if (bp || np)
                line += std::string(" process from ") + (bp ? "BASE" : "NEWS") +
                        (bp && np && np->value ? " with NEWS's value" : "");
            const qrx_Element *lab = nl ? nl : bl;
            if (lab)
                line += std::string(", lab from ") + (nl ? "NEWS" : "BASE") +
                        (str_equal(qrx_GetAttribute("done", nullptr, lab, nullptr), "4")
                             ? " (done 4: reset to open)"
                             : "");
            measurements += (bp || np) + (lab != nullptr);
            std::printf("%s\n", line.c_str());
        }
    }
    std::printf("would write %s in %s to %s and delete %s\n",
                plural(measurements, "measurement", "measurements").c_str(),
                plural(samples, "sample", "samples").c_str(), basePath.c_str(), newsPath.c_str());
}

/* The file a merge result speaks of. */
std::string mergeSubject(int rc, const std::string &basePath, const std::string &newsPath)
{
    if (rc == MERGE_NEWS_UNREADABLE)
        return newsPath;
    if (rc == MERGE_BASE_UNREADABLE || rc == MERGE_BASE_UNWRITABLE)
        return basePath;
    return basePath + " and " + newsPath;
}

int cmdMerge(const Cli &cli)
{
    const std::string &basePath = cli.pos[0], &newsPath = cli.pos[1];
    refuseStdin(basePath, "BASE is rewritten in place");
    refuseStdin(newsPath, "NEWS is deleted after the merge");
    struct stat ns {
    }, bs{};
    if (stat(newsPath.c_str(), &ns) != 0)
        failSys(newsPath);
    const bool baseExists = stat(basePath.c_str(), &bs) == 0;
    if (!baseExists && errno != ENOENT)
        failSys(basePath);
    if (baseExists && bs.st_dev == ns.st_dev && bs.st_ino == ns.st_ino)
        fail(basePath + " and " + newsPath + " are the same file: merging would delete it");
    Parser base, news;
    readTree(newsPath, news);
    if (baseExists) {
        readTree(basePath, base);
        const char *bid = qrx_GetAttribute("job_id", nullptr, base.top(), nullptr);
        const char *nid = qrx_GetAttribute("job_id", nullptr, news.top(), nullptr);
        if (!str_equal(bid, nid) && !cli.force)
            fail(basePath + " is job " + (bid ? bid : "(none)") + ", " + newsPath + " is job " +
                 (nid ? nid : "(none)") + ": not merged (--force merges them all the same)");
    }
    if (cli.dryRun) {
        if (!baseExists)
            std::printf("%s does not exist: would copy %s to it and delete %s\n", basePath.c_str(),
                        newsPath.c_str(), newsPath.c_str());
        else
            describeMerge(basePath, base, newsPath, news);
        std::printf("dry run: no file changed\n");
        return kOk;
    }
    int rc = mergeJobFile(basePath.c_str(), newsPath.c_str());
    if (rc < 0)
        failLib(mergeSubject(rc, basePath, newsPath), TANDEL_MERGE, rc,
                rc == MERGE_BASE_UNWRITABLE ? writeReason(basePath) : "");
    std::printf("%s: %s\n", basePath.c_str(), plural(rc, "measurement", "measurements").c_str());
    return kOk;
}

int cmdFormat(const Cli &cli)
{
    int word = static_cast<int>(parseLong(cli.pos[0], "WORD", INT_MIN, INT_MAX));
    double value = parseDouble(cli.pos[1], "VALUE");
    char out[64] = "";
    int rc = formatMeasurementString(out, word, value);
    std::printf("%s\n", out);
    if (rc == 0)
        failResult("no significant digits in the word, or not a number", rc);
    return kOk;
}

/* ------------------------------------------------------------------ */
/* HTTP                                                                */
/* ------------------------------------------------------------------ */

bool hasHeader(const std::vector<std::string> &headers, const char *name)
{
    const size_t n = std::strlen(name);
    for (const std::string &h : headers)
        if (h.size() > n && h[n] == ':' && strncasecmp(h.c_str(), name, n) == 0)
            return true;
    return false;
}

/* A seekable stream of the body: the library measures it before sending. */
Input openBody(const std::string &path)
{
    if (path != "-")
        return openInput(path);
    tandel::FilePtr tmp(std::tmpfile());
    if (!tmp)
        failSys("temporary file for standard input");
    std::string data = readAll(path);
    if (std::fwrite(data.data(), 1, data.size(), tmp.get()) != data.size() || std::fflush(tmp.get()) != 0)
        failSys("temporary file for standard input");
    std::rewind(tmp.get());
    return {std::move(tmp)};
}

int cmdUpload(const Cli &cli)
{
    const std::string &host = cli.pos[0], &path = cli.pos[2], &file = cli.pos[3];
    int port = static_cast<int>(parseLong(cli.pos[1], "PORT", 1, 65535));
    if (cli.httpMethod != "PUT" && cli.httpMethod != "POST")
        throw UsageError{"--method must be PUT or POST"};
    int timeout =
        cli.timeoutOpt->count() ? static_cast<int>(parseLong(cli.timeout, "--timeout", 0, 86400)) : -1;
    std::string head;
    if (!hasHeader(cli.headers, "Host"))
        head += "Host: " + host + (port == 80 ? "" : ":" + std::to_string(port)) + "\r\n";
    if (!hasHeader(cli.headers, "Connection"))
        head += "Connection: close\r\n";
    for (const std::string &h : cli.headers) {
        if (h.find_first_of("\r\n") != std::string::npos || h.find(':') == std::string::npos)
            throw UsageError{"--header must be one 'Name: value' line, not '" + h + "'"};
        head += h + "\r\n";
    }
    Input body = openBody(file);
    struct stat st {};
    long long size = fstat(fileno(body.get()), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    if (cli.verbose)
        std::fprintf(stderr,
                     "jobtool upload: sending %s (%lld bytes) to %s:%d as %s %s; no progress is shown "
                     "until the answer arrives\n",
                     displayName(file).c_str(), size, host.c_str(), port, cli.httpMethod.c_str(),
                     path.c_str());
    std::vector<char> response(8192);
    errno = 0;
    int rc = makeHttpRequest(host.c_str(), port, timeout, cli.httpMethod.c_str(), path.c_str(), head.c_str(),
                             body.get(), response.data(), static_cast<int>(response.size()));
    const int err = errno;
    if (rc >= 100) {
        if (cli.verbose)
            std::fprintf(stderr, "jobtool upload: sent %lld bytes, the server answered %d\n", size, rc);
        std::printf("%d\n", rc);
        if (rc >= 300)
            fail(host + ":" + std::to_string(port) + " answered " + std::to_string(rc));
        return kOk;
    }
    /* errno says nothing after these two. */
    const bool told = err && rc != HTTP_HEAD_TOO_LONG && rc != HTTP_NO_HOST;
    failLib(host + ":" + std::to_string(port), TANDEL_HTTP, rc, told ? std::strerror(err) : "");
}

/* ------------------------------------------------------------------ */
/* Command line                                                        */
/* ------------------------------------------------------------------ */

const char kMainHelp[] = "usage: jobtool [-v|-q] COMMAND [ARGS...]\n"
                         "       jobtool --version\n"
                         "Looks at and fixes sensor jobs with libTandelCntrl.so.\n"
                         "\n"
                         "  decode FILE.sjb [-o FILE.xml]     sensor job file to job document\n"
                         "  encode FILE.xml -o FILE.sjb       job document to sensor job file\n"
                         "  check FILE.sjb... [--json]        header, word count, CRC, decode result\n"
                         "  list DIR [--file NAME] [--min N] [--json]\n"
                         "                                    the job directory, newest first\n"
                         "  requests DIR INDEX [--min N] | FILE.xml [--json]\n"
                         "                                    measurement requests of one job\n"
                         "  add-result FILE.xml TOTALINDEX VALUE [--unit U] [--method M] [--time ISO]\n"
                         "  remove-result FILE.xml TOTALINDEX\n"
                         "  merge BASE.xml NEWS.xml [--dry-run] [--force]\n"
                         "                                    fold a new job version into the stored one\n"
                         "  format WORD VALUE                 display text of a value\n"
                         "  upload HOST PORT PATH FILE [--method PUT|POST] [--header H]... [--timeout S]\n"
                         "\n"
                         "'-' is standard input or output where a file is read or written whole\n"
                         "(decode, encode, check, upload). Numbers may be negative: -12.5 and\n"
                         "-inf are values, not options. The library's traces go to standard\n"
                         "error: failures by default, also progress with -v, none with -q\n"
                         "(LOGTRACE_LEVEL, when set, replaces the default). 'jobtool COMMAND\n"
                         "--help' tells more. Exit status: 0 done, 1 the operation failed or was\n"
                         "refused (the reason on standard error), 2 bad usage.\n";

const char kWrittenFiles[] = "-o FILE is replaced whole (a temporary file beside it, synced, renamed):\n"
                             "after a failure it is as it was. A replaced file keeps its mode, a new\n"
                             "one gets mode 0666 as the library gives job files; a read-only FILE is\n"
                             "refused. A device such as /dev/null is written in place.\n";

struct Command {
    const char *name;
    const char *usage;
    const char *help;
    int (*run)(const Cli &);
};

const Command kCommands[] = {
    {"decode", "decode FILE.sjb [-o FILE.xml]",
     "Decodes a sensor job file into a job document, written to FILE.xml\n"
     "or standard output ('-' reads standard input, '-o -' writes standard\n"
     "output). A CRC error is reported as a warning; the message is decoded\n"
     "all the same.\n",
     cmdDecode},
    {"encode", "encode FILE.xml -o FILE.sjb",
     "Encodes a job document as a sensor job file (header, message, CRC).\n"
     "'-' reads standard input, '-o -' writes standard output.\n",
     cmdEncode},
    {"check", "check FILE.sjb... [--json]",
     "Reports header, word count, CRC and decode result of each sensor job\n"
     "file ('-': standard input); --json gives the raw values as JSON.\n"
     "Exit status 1 when any of them is wrong in any file.\n",
     cmdCheck},
    {"list", "list DIR [--file NAME] [--min N] [--json]",
     "Lists the job files (*.xml) of a job directory, newest first (equal\n"
     "dates by file name): list number (#, the INDEX of 'jobtool requests'),\n"
     "job id, date (local time), type, samples contained/requested, lab\n"
     "results entered/total, sensor and file. A file is listed when you can\n"
     "write it, it parses and has at least N (default 13) of the 14 job\n"
     "header attributes; the files left out are named with the reason.\n",
     cmdList},
    {"requests", "requests DIR INDEX [--min N] [--json]\n       jobtool requests FILE.xml [--json]",
     "Shows the measurement requests (one per lab measurement) of one job:\n"
     "the job numbered INDEX by 'jobtool list DIR' with the same --min, or\n"
     "the job file itself. Values are shown as the display format word asks;\n"
     "--json gives raw values beside the texts.\n",
     cmdRequests},
    {"add-result", "add-result FILE.xml TOTALINDEX VALUE [--unit U] [--method M] [--time ISO]",
     "Enters the lab result of request TOTALINDEX (see 'jobtool requests')\n"
     "into the job file, which is rewritten in place (so not '-'). VALUE is\n"
     "a finite number. --time takes 2024-05-13T10:00:00+0200 or ...Z\n"
     "(default: now), a date that exists. --unit and --method are written\n"
     "as they are: '<', '&', control characters, invalid UTF-8, and '\"'\n"
     "together with '\\'' are refused, as no XML reader would read them back.\n",
     cmdAdd},
    {"remove-result", "remove-result FILE.xml TOTALINDEX",
     "Takes the lab result of request TOTALINDEX out of the job file again.\n", cmdRemove},
    {"merge", "merge BASE.xml NEWS.xml [--dry-run] [--force]",
     "Folds a newly received version of a job (NEWS) into the stored job\n"
     "file (BASE) and deletes NEWS. Lab results entered in BASE survive\n"
     "unless NEWS carries its own. Refused: BASE and NEWS the same file, and\n"
     "two different job_ids unless --force. --dry-run tells which\n"
     "measurements would be merged from where, or which short-cut applies\n"
     "(kill, copy), and changes no file.\n",
     cmdMerge},
    {"format", "format WORD VALUE",
     "Prints the display text of VALUE for the display format word WORD\n"
     "(decimal or 0x hexadecimal; 0x8000 plain, 0x0400 fixed decimals,\n"
     "bits 7-9 significant digits, bits 0-2 decimals). Exit status 1 when\n"
     "the text is \"Error\".\n",
     cmdFormat},
    {"upload", "upload HOST PORT PATH FILE [--method PUT|POST] [--header 'Name: value']... [--timeout S]",
     "Sends FILE ('-': standard input) as the body of one HTTP/1.1 request\n"
     "(default PUT) and prints the status code of the answer. Exit status 0\n"
     "for a 2xx status. --timeout is the wait for the first answer byte\n"
     "(default 100 s). What goes on the wire, in this order:\n"
     "  METHOD PATH HTTP/1.1 CR LF\n"
     "  Host: HOST[:PORT] CR LF   HTTP/1.1 requires it; not sent when a\n"
     "                            --header gives Host (any case)\n"
     "  Connection: close CR LF   the answer is read until the server closes;\n"
     "                            not sent when a --header gives Connection\n"
     "  each --header, CR LF\n"
     "  Content-length: N CR LF CR LF   N is FILE's size plus 4\n"
     "  the bytes of FILE\n"
     "  CR LF CR LF               the library ends every body so, and counts\n"
     "                            it in N\n"
     "-v tells the body size before sending and the result after it.\n",
     cmdUpload},
};

constexpr char kNumberMark = '\x1f';

/* CLI11 reads "-inf" or "-.5" as options; such numbers are marked so they
   are values, and every value drops the mark again. */
std::vector<std::string> markNumbers(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::string &a : args) {
        if (a == "--")
            break;
        char *end = nullptr;
        if (a.size() > 1 && a[0] == '-' && a[1] != '-' && (std::strtod(a.c_str(), &end), *end == '\0'))
            a.insert(a.begin(), kNumberMark);
    }
    std::reverse(args.begin(), args.end()); /* CLI11 takes them last first */
    return args;
}

std::string unmark(std::string s)
{
    if (!s.empty() && s[0] == kNumberMark)
        s.erase(0, 1);
    return s;
}

CLI::Option *value(CLI::Option *o) { return o->transform(unmark); }

void addCommand(CLI::App &app, const Command &c, Cli &cli)
{
    CLI::App *sub = app.add_subcommand(c.name, std::string("usage: jobtool ") + c.usage + "\n" + c.help);
    const std::string name = c.name;
    auto positional = [&](const char *what, int min, int max) {
        value(sub->add_option(what, cli.pos)->required()->expected(min, max));
    };
    if (name == "decode" || name == "encode") {
        positional("FILE", 1, 1);
        value(sub->add_option("-o", cli.out, "output file"))->required(name == "encode");
    } else if (name == "check") {
        positional("FILE", 1, -1);
    } else if (name == "list") {
        positional("DIR", 1, 1);
        cli.fileOpt = value(sub->add_option("--file", cli.file));
    } else if (name == "requests") {
        positional("DIR INDEX | FILE", 1, 2);
    } else if (name == "add-result") {
        positional("FILE TOTALINDEX VALUE", 3, 3);
        cli.unitOpt = value(sub->add_option("--unit", cli.unit));
        cli.methodOpt = value(sub->add_option("--method", cli.method));
        cli.timeOpt = value(sub->add_option("--time", cli.time));
    } else if (name == "remove-result") {
        positional("FILE TOTALINDEX", 2, 2);
    } else if (name == "merge") {
        positional("BASE NEWS", 2, 2);
        sub->add_flag("--force", cli.force);
        sub->add_flag("--dry-run", cli.dryRun);
    } else if (name == "format") {
        positional("WORD VALUE", 2, 2);
    } else if (name == "upload") {
        positional("HOST PORT PATH FILE", 4, 4);
        value(sub->add_option("--method", cli.httpMethod));
        value(sub->add_option("--header", cli.headers))->allow_extra_args(false);
        cli.timeoutOpt = value(sub->add_option("--timeout", cli.timeout));
    }
    if (name == "list" || name == "requests")
        value(sub->add_option("--min", cli.min));
    if (name == "check" || name == "list" || name == "requests")
        sub->add_flag("--json", cli.json);
}

const Command *findCommand(const std::string &name)
{
    for (const Command &c : kCommands)
        if (name == c.name)
            return &c;
    return nullptr;
}

int runCommand(const Command &c, const Cli &cli)
{
    try {
        int rc = c.run(cli);
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fprintf(stderr, "jobtool %s: standard output: %s\n", c.name, std::strerror(errno));
            return kFailed;
        }
        return rc;
    } catch (const UsageError &e) {
        std::fprintf(stderr, "jobtool %s: %s\nTry 'jobtool %s --help'.\n", c.name, e.message.c_str(), c.name);
        return kUsage;
    } catch (const Failure &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "jobtool %s: %s\n", c.name, e.message.c_str());
        return kFailed;
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "jobtool %s: out of memory\n", c.name);
        return kFailed;
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fputs(kMainHelp, stderr);
        return kUsage;
    }
    if (std::string(argv[1]) == "help") {
        std::fputs(kMainHelp, stdout);
        return kOk;
    }
    Cli cli;
    CLI::App app("jobtool");
    app.require_subcommand(1);
    app.fallthrough();
    app.set_help_flag("-h,--help");
    app.set_version_flag("--version", "jobtool " JOBTOOL_VERSION "\nlibTandelCntrl " TANDEL_LIB_VERSION
                                      " (soname " TANDEL_LIB_SONAME ")");
    app.add_flag("-v", cli.verbose);
    app.add_flag("-q", cli.quiet)->excludes(app.get_option("-v"));
    for (const Command &c : kCommands)
        addCommand(app, c, cli);
    const Command *cmd = nullptr;
    try {
        app.parse(markNumbers(argc, argv));
        cmd = findCommand(app.get_subcommands().at(0)->get_name());
    } catch (const CLI::CallForHelp &) {
        std::vector<CLI::App *> subs = app.get_subcommands();
        std::fputs(subs.empty() ? kMainHelp : subs[0]->get_description().c_str(), stdout);
        if (!subs.empty() && (subs[0]->get_name() == "decode" || subs[0]->get_name() == "encode"))
            std::fputs(kWrittenFiles, stdout);
        return kOk;
    } catch (const CLI::CallForVersion &e) {
        std::printf("%s\n", e.what());
        return kOk;
    } catch (const CLI::ParseError &e) {
        std::vector<CLI::App *> subs = app.get_subcommands();
        std::string name = subs.empty() ? "" : " " + subs[0]->get_name();
        for (int i = 1; subs.empty() && i < argc; ++i)
            if (argv[i][0] != '-' && !findCommand(argv[i])) {
                std::fprintf(stderr, "jobtool: unknown command '%s'\nTry 'jobtool --help'.\n", argv[i]);
                return kUsage;
            }
        std::fprintf(stderr, "jobtool%s: %s\nTry 'jobtool%s --help'.\n", name.c_str(), e.what(),
                     name.c_str());
        return kUsage;
    }
    /* The tracer reads the level at every message, so setting it before
       the first call is enough. */
    if (cli.verbose || cli.quiet || !std::getenv("LOGTRACE_LEVEL"))
        setenv("LOGTRACE_LEVEL", cli.verbose ? "6" : cli.quiet ? "0" : "2", 1);
    return runCommand(*cmd, cli);
}
