/*
 * decode, encode and check: sensor job files to job documents and back,
 * and a look at a sensor job file's frame.
 */
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "args.h"
#include "command.h"
#include "failure.h"
#include "io.h"
#include "jobfile.h"
#include "show.h"

namespace jobtool {

namespace {

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

struct CodecOptions {
    std::vector<std::string> pos;
    std::string out;
    bool json = false;
    CLI::Option *outOpt = nullptr;
};

/* -o '' would be standard output by accident. */
void checkOutput(const CodecOptions &o)
{
    if (given(o.outOpt) && o.out.empty())
        throw UsageError{"-o needs a file name ('-' for standard output)"};
}

int runDecode(Tool &tool, const CodecOptions &o)
{
    checkOutput(o);
    const std::string &in = o.pos[0];
    std::string bytes = readAll(in);
    Parser p;
    int rc = decodeFile(in, bytes, p);
    if (rc == SJOB_SHORT_FILE) /* said before any CRC warning: a short file has no CRC */
        failLib(displayName(in), TANDEL_SJOB_DECODE, rc,
                "it has " + plural(long(bytes.size()), "byte", "bytes"));
    if (!crcIntact(bytes))
        tool.warn(displayName(in) + ": CRC error");
    if (rc != 0)
        failLib(displayName(in), TANDEL_SJOB_DECODE, rc);
    writeOutput(o.out, printTree(p, displayName(in)));
    return kOk;
}

/* The k-th child of parent named name (k from 0). */
const qrx_Element *nthChild(const qrx_Element *parent, const char *name, int k)
{
    for (const qrx_Element *c = parent->children; c; c = c->next)
        if (str_equal(c->name, name) && k-- == 0)
            return c;
    return nullptr;
}

/* Adds "what" to the list of things left out, once. */
void note(std::vector<std::string> &left, const std::string &what)
{
    if (std::find(left.begin(), left.end(), what) == left.end())
        left.push_back(what);
}

/* What of the document below doc has no counterpart below back, the
   same document after a trip through a sensor job file: elements are
   matched by name and place among their namesakes, attributes by name. */
void leftBehind(const qrx_Element *doc, const qrx_Element *back, std::vector<std::string> &left)
{
    for (const qrx_Element *c = doc->children; c; c = c->next) {
        int k = 0;
        for (const qrx_Element *e = doc->children; e != c; e = e->next)
            k += str_equal(e->name, c->name);
        const qrx_Element *twin = nthChild(back, c->name, k);
        if (!twin) {
            note(left, std::string("element ") + c->name);
            continue;
        }
        for (const qrx_Attribute *a = c->attributes; a; a = a->next)
            if (!qrx_GetAttribute(a->name, nullptr, twin, nullptr))
                note(left, std::string(c->name) + " attribute " + a->name);
        if (c->value && *c->value && !(twin->value && *twin->value))
            note(left, std::string(c->name) + " text");
        leftBehind(c, twin, left);
    }
}

int runEncode(Tool &tool, const CodecOptions &o)
{
    const std::string &in = o.pos[0];
    checkOutput(o);
    Input f = openInput(in, "r");
    Parser p;
    int rc = qrx_BuildDOMTree(p.p, f.get());
    if (rc < 0)
        failResult(displayName(in) + ": " + parseProblem(in, rc), rc);
    const std::string file = encodeFile(p, displayName(in));
    Parser back;
    std::vector<std::string> left;
    if (tandel::decodeJobFile(bytesOf(file), static_cast<uint32_t>(file.size()), back.p) == 0)
        leftBehind(p.p->root, back.p->root, left);
    writeOutput(o.out, file);
    if (!left.empty()) {
        std::string list;
        for (const std::string &l : left)
            list += (list.empty() ? "" : ", ") + l;
        tool.notice(displayName(in) + ": a sensor job file does not carry " + list);
    }
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

int runCheck(Tool &tool, const CodecOptions &o)
{
    Json all = Json::array();
    int status = kOk;
    bool first = true;
    for (const std::string &in : o.pos) {
        std::vector<std::vector<std::string>> rows;
        Json j;
        std::string problem;
        try {
            problem = checkOne(in, &rows, &j);
        } catch (const Failure &f) {
            problem = f.message;
            j = {{"file", displayName(in)}, {"ok", false}, {"error", f.message}};
        }
        if (!o.json && !rows.empty()) {
            if (!first)
                std::printf("\n");
            printTable(rows);
            first = false;
        }
        if (!problem.empty()) {
            tool.error(problem);
            status = kFailed;
        }
        all.push_back(j);
    }
    if (o.json)
        printJson(all);
    return status;
}

/* decode and encode: one input and -o. */
Run defineConversion(CLI::App &sub, bool outRequired, int (*run)(Tool &, const CodecOptions &))
{
    auto o = std::make_shared<CodecOptions>();
    positionals(sub, "FILE", o->pos, 1, 1);
    o->outOpt = option(sub, "-o", o->out, outRequired);
    return [o, run](Tool &tool) { return run(tool, *o); };
}

Run defineDecode(CLI::App &sub) { return defineConversion(sub, false, runDecode); }
Run defineEncode(CLI::App &sub) { return defineConversion(sub, true, runEncode); }

Run defineCheck(CLI::App &sub)
{
    auto o = std::make_shared<CodecOptions>();
    positionals(sub, "FILE", o->pos, 1, -1);
    flag(sub, "--json", o->json);
    return [o](Tool &tool) { return runCheck(tool, *o); };
}

} // namespace

extern const Command kDecode = {
    "decode", "FILE.sjb [-o FILE.xml]", nullptr, "sensor job file to job document",
    "Decodes a sensor job file into a job document, written to FILE.xml\n"
    "or standard output ('-' reads standard input, a pipe is read like it,\n"
    "'-o -' writes standard output). A CRC error is reported as a warning;\n"
    "the message is decoded all the same.\n" JOBTOOL_WRITTEN_FILES,
    defineDecode};

extern const Command kEncode = {"encode", "FILE.xml -o FILE.sjb", nullptr, "job document to sensor job file",
                                "Encodes a job document as a sensor job file (header, message, CRC).\n"
                                "'-' reads standard input, '-o -' writes standard output. A sensor job\n"
                                "file does not carry all of a document (admit_autojob; the user,\n"
                                "sensor, controller and instrument elements; parameter and unit of\n"
                                "process measurements; lab_unit): the file is decoded again and what\n"
                                "did not come back is named on standard error (-q silences it).\n"
                                JOBTOOL_WRITTEN_FILES,
                                defineEncode};

extern const Command kCheck = {"check", "FILE.sjb... [--json]", nullptr, "header, word count, CRC, decode result",
                               "Reports header, word count, CRC and decode result of each sensor job\n"
                               "file ('-': standard input; a pipe is read like it); --json gives the\n"
                               "raw values as JSON.\n"
                               "Exit status 1 when any of them is wrong in any file.\n",
                               defineCheck};

} // namespace jobtool
