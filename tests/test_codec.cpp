/* Sensor job codec: messages, the job-edit setting, job files and Base64.
   Messages are byte strings, written as hex "60 38 01". */
#include <cmath>
#include <optional>
#include <random>

#include "sensor2xml/xmljob_internal.h"
#include "jobfile.h"
#include "testkit.h"

namespace {

std::string hex(const std::string &s)
{
    std::string b;
    std::istringstream in(s);
    for (unsigned x; in >> std::hex >> x;)
        b += char(x);
    return b;
}
std::string toHex(const std::string &b)
{
    std::string s;
    for (unsigned char c : b)
        s += (s.empty() ? "" : " ") + std::string{"0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]};
    return s;
}
const uint8_t *u8(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }
std::string data(const std::string &name) { return testData("codec_" + name); }
/* tests/data/codec_<name> as a table: cells split at " | ", "\n" for a line end, # for comments. */
std::vector<std::vector<std::string>> rows(const std::string &name, size_t cells)
{
    std::vector<std::vector<std::string>> t;
    std::istringstream in(testData("codec_" + name));
    for (std::string line; std::getline(in, line);) {
        for (size_t at; (at = line.find("\\n")) != std::string::npos;)
            line.replace(at, 2, "\n");
        if (line[0] == '#')
            continue;
        t.emplace_back();
        for (size_t from = 0, at = 0; at != std::string::npos; from = at + 3)
            t.back().push_back(line.substr(from, (at = line.find(" | ", from)) - from));
        EXPECT_EQ(t.back().size(), cells) << line;
    }
    return t;
}

/* Results by the header's names, as the data tables write them. */
const std::pair<int, const char *> kDecoded[] = {
    {0, "0"},
    NAMED(SJOB_NO_JOB),        NAMED(SJOB_NO_JOB_ID),     NAMED(SJOB_MISSING_FIELD), NAMED(SJOB_BAD_DATA_TYPE),
    NAMED(SJOB_COUNT_MISMATCH), NAMED(SJOB_BAD_SAMPLE),    NAMED(SJOB_OUT_OF_ORDER),  NAMED(SJOB_TRUNCATED),
    NAMED(SJOB_BAD_LENGTH),    NAMED(SJOB_SHORT_FILE),    NAMED(SJOB_FILE_ERROR),    NAMED(SJOB_SETTING_ERROR),
    NAMED(SJOB_NUL_TEXT)};
const std::pair<int, const char *> kEncoded[] = {
    NAMED(SJOB_ENC_NOT_A_JOB), NAMED(SJOB_ENC_BAD_DATA_TYPE), NAMED(SJOB_ENC_NO_DATA_TYPE),
    NAMED(SJOB_ENC_TIME_RANGE), NAMED(SJOB_ENC_NUMBER_RANGE)};
std::string job(qrx_Parser *p) { return p->root && p->root->children ? dump(p->root->children) : ""; }
const char *attr(const qrx_Element *e, const char *n) { return qrx_GetAttribute(n, nullptr, e, nullptr); }
/* The traces recorded, one "level function: message" each. */
std::string traces()
{
    std::string s;
    for (const TraceCall &t : traceCalls())
        s += std::to_string(t.level) + " " + t.function + ": " + t.message;
    return s;
}

int encode(qrx_Parser *p, std::string &out, uint32_t capacity = 4096)
{
    std::vector<uint8_t> buf(capacity);
    uint8_t *msg = nullptr;
    const int r = sjob_DOMTree2Message(buf.data(), &capacity, &msg, p);
    out = r ? "" : std::string(reinterpret_cast<char *>(msg), capacity);
    return r;
}
/* From a heap block of the message's size, so that a sanitizer sees overruns. */
int decode(const std::string &m, qrx_Parser *p)
{
    const std::vector<uint8_t> exact(m.begin(), m.end());
    return sjob_Message2DOMTreeN(exact.data(), uint32_t(exact.size()), p);
}
int writeJob(const std::string &xml, const std::string &path)
{
    Handle h;
    EXPECT_EQ(buildFrom(h.p, xml), 0) << xml;
    return sjob_DOMTree2SensorJobFile(path.c_str(), h.p);
}
const std::string kHead = R"(<job job_id="1" date="2000-01-01T00:00:00" job_type="1" max_samples="1")",
                  kSample = R"(<sample date="2000-01-01T00:00:00")";
std::string withSampleId(size_t n)
{
    return kHead + ">" + kSample + " sample_id=\"" + std::string(n, 'i') + "\"/></job>";
}

/* The job-edit setting's lock (cases run in parallel), no setting; a directory; UTC. */
struct Codec : ::testing::Test {
    JobEditSetting setting;
    TempDir dir;
    Codec() { remove(TANDEL_TEST_JOBEDIT), setTimeZone("UTC0"), clearTraces(); }
    ~Codec() override { remove(TANDEL_TEST_JOBEDIT); }
};

TEST_F(Codec, WorkedExamples)
{
    Handle h;
    setTimeZone("CET-1"); /* the two-argument form, one hour east */
    EXPECT_EQ(sjob_Message2DOMTree(u8(hex(data("ex58.hex"))), h.p), 0);
    EXPECT_STREQ(attr(h->root->children, "date"), "2020-01-01T00:00:00+0100");
    EXPECT_EQ(h->root->children->children->children->index, 3);
    /* the message ends before the buffer's last byte; one byte less: -7
       naming what it needs, nothing written outside buffer[0..capacity-2] */
    qrx_RemoveDOMTree(h.p);
    ASSERT_EQ(buildFrom(h.p, data("ex62.xml")), 0);
    for (uint32_t cap : {63u, 62u, 20u, 1u, 0u}) {
        clearTraces();
        std::vector<uint8_t> buf(cap, 0xAA);
        uint32_t len = cap;
        uint8_t *msg = nullptr;
        const int r = sjob_DOMTree2Message(buf.data(), &len, &msg, h.p);
        if (cap == 63) {
            EXPECT_EQ(r, 0);
            EXPECT_EQ(toHex(std::string(reinterpret_cast<char *>(msg), len)), data("ex62.hex"));
            EXPECT_EQ(msg, buf.data());
        } else {
            EXPECT_EQ(r, SJOB_ENC_TOO_SMALL);
            EXPECT_EQ(traces(), "2 sjob_DOMTree2Message: buffer too small (63/" + std::to_string(cap) + ")\n");
        }
        if (cap > 0) {
            EXPECT_EQ(buf[cap - 1], 0xAA);
        }
    }
}

TEST_F(Codec, JobEditSetting)
{
    for (const auto &c : rows("jobedit.txt", 5)) {
        remove(TANDEL_TEST_JOBEDIT);
        if (c[0] == "(dir)" || c[0] == "(fifo)")
            ASSERT_EQ(c[0] == "(dir)" ? mkdir(TANDEL_TEST_JOBEDIT, 0700) : mkfifo(TANDEL_TEST_JOBEDIT, 0600),
                      0);
        else if (c[0] != "-")
            writeFile(TANDEL_TEST_JOBEDIT, c[0]);
        clearTraces();
        std::string m = hex(data("ex62.hex"));
        m[45] = char(std::stoi(c[1]));
        Handle h;
        EXPECT_EQ(nameOf(decode(m, h.p), kDecoded), c[2]) << c[0];
        EXPECT_EQ(job(h.p).empty() ? "-" : attr(h->root->children->children->children, "done"), c[3]) << c[0];
        EXPECT_EQ(traces(), c[0][0] == '(' ? replaced(c[4], "$S", TANDEL_TEST_JOBEDIT) : c[4]);
    }
    /* the shipped library reads the controller's setting */
    const std::string so = readFile(TANDEL_BINARY_DIR "/libTandelCntrl.so");
    EXPECT_NE(so.find(std::string("/mnt/fcc/set/jobedit", 21)), std::string::npos);
    EXPECT_EQ(so.find(TANDEL_TEST_JOBEDIT), std::string::npos);
}

/* A date is the wall clock's reading (seconds since 2000 as if UTC); it
   comes back with the zone's offset at that reading. */
TEST_F(Codec, DatesAreReadingsWithTheirOffset)
{
    for (const auto &c : rows("dates.txt", 4)) {
        setTimeZone(c[0].c_str());
        Handle h;
        std::string m, again;
        const std::string xml = R"(<job job_id="1" date=")" + c[1] + R"(" job_type="1" max_samples="0"/>)";
        ASSERT_EQ(buildFrom(h.p, xml), 0) << c[1];
        ASSERT_EQ(encode(h.p, m), 0) << c[1];
        ASSERT_EQ(decode(m, h.p), 0) << c[1];
        ASSERT_EQ(encode(h.p, again), 0) << c[1];
        EXPECT_EQ(toHex(m.substr(8, 4)), c[2]) << c[1];
        EXPECT_STREQ(attr(h->root->children, "date"), c[3].c_str()) << c[0];
        EXPECT_EQ(toHex(again), toHex(m)) << c[0]; /* stable round trips */
    }
}

/* A caller's de_DE locale wrote "7,250000" and read "7.25" as 7. */
TEST_F(Codec, NumbersIgnoreTheCallersLocale)
{
    if (!useGermanNumbers(dir.path()))
        GTEST_SKIP() << "cannot make the de_DE.UTF-8 locale";
    Handle h;
    std::string again;
    ASSERT_EQ(decode(hex(data("ex58.hex")), h.p), 0);
    ASSERT_EQ(encode(h.p, again), 0);
    EXPECT_STREQ(h->root->children->children->children->value, "7.250000");
    char caller[8];
    snprintf(caller, sizeof caller, "%.1f", 1.5);
    setlocale(LC_ALL, "C");
    EXPECT_EQ(toHex(again), data("ex58.hex"));
    EXPECT_STREQ(caller, "1,5"); /* the caller's locale is back */
}

TEST(CodecLength, EncodeAndDecode)
{
    auto decoded = [](const uint8_t *p) {
        uint32_t count, value = 9;
        const uint32_t n = decode_length(p, &count, &value);
        return std::to_string(n) + " " + std::to_string(value);
    };
    for (const auto &c : rows("length.txt", 2)) {
        uint8_t out[5];
        int size = 0;
        EXPECT_EQ(encode_length(std::stoi(c[0]), out, &size), 0);
        EXPECT_EQ(toHex(std::string(reinterpret_cast<char *>(out), size_t(size))), c[1]);
        EXPECT_EQ(decoded(out), std::to_string(size) + " " + c[0]);
    }
    EXPECT_EQ(decoded(u8(hex("80"))), "1 0");
    EXPECT_EQ(decoded(u8(hex("85"))), "6 0"); /* rejected by callers */
}

TEST_F(Codec, EncoderFieldsAndFailures)
{
    for (const auto &c : rows("encode.txt", 3)) {
        Handle h;
        std::string m;
        clearTraces();
        ASSERT_EQ(buildFrom(h.p, c[2]), 0) << c[2];
        const int r = encode(h.p, m);
        EXPECT_NE((r ? "error " + nameOf(r, kEncoded) : toHex(m)).find(c[0]), std::string::npos) << c[2];
        EXPECT_EQ(traces(), c[1]) << c[2];
    }
    Handle h;
    std::string out;
    uint8_t *msg;
    uint32_t one = 1;
    EXPECT_EQ(encode(nullptr, out), SJOB_ENC_BAD_ARGUMENT);
    EXPECT_EQ(encode(h.p, out), SJOB_ENC_BAD_ARGUMENT); /* no tree */
    EXPECT_EQ(sjob_DOMTree2Message(nullptr, nullptr, &msg, h.p), SJOB_ENC_BAD_ARGUMENT);
    ASSERT_EQ(qrx_BuildDOMTree(h.p, nullptr), 0);
    EXPECT_EQ(sjob_DOMTree2Message(nullptr, &one, &msg, h.p), SJOB_ENC_BAD_ARGUMENT);
    EXPECT_EQ(encode(h.p, out), SJOB_ENC_EMPTY);
    std::string many = kHead + ">" + kSample + ">"; /* the measurement count has 16 bits too */
    for (int i = 0; i < 65536; ++i)
        many += "<lab_measurement index='0' done='0'/>";
    Handle big;
    ASSERT_EQ(buildFrom(big.p, many + "</sample></job>"), 0);
    clearTraces();
    EXPECT_EQ(encode(big.p, out, 1 << 20), SJOB_ENC_NUMBER_RANGE);
    EXPECT_EQ(traces(), "2 sjob_DOMTree2Message: count out of range in cntMeasurements (65536)\n");
}

TEST_F(Codec, DecoderResultsTracesAndTrees)
{
    for (const auto &c : rows("decode.txt", 4)) {
        Handle h;
        clearTraces();
        EXPECT_EQ(nameOf(decode(hex(c[3]), h.p), kDecoded), c[0]) << c[3];
        EXPECT_EQ(traces(), c[1]) << c[3];
        EXPECT_EQ(job(h.p), c[2]) << c[3];
    }
    clearTraces();
    EXPECT_EQ(decode(hex(data("ex58.hex")), nullptr), SJOB_NULL_PARSER);
    EXPECT_EQ(traces(), "2 sjob_Message2DOMTree: no parser\n");
}

TEST_F(Codec, TruncatedAndGarbageInput)
{
    Handle h;
    const std::string ex58 = hex(data("ex58.hex")), ex62 = hex(data("ex62.hex"));
    for (const std::string &m : {ex58, ex62}) /* no proper prefix is read past its end */
        for (size_t n = 0; n < m.size(); ++n) {
            clearTraces();
            EXPECT_EQ(decode(m.substr(0, n), h.p), SJOB_TRUNCATED) << n;
            EXPECT_NE(traces().find("2 sjob_Message2DOMTree: message truncated at byte "), std::string::npos);
        }
    clearTraces();
    EXPECT_EQ(sjob_Message2DOMTreeN(nullptr, 10, h.p), SJOB_TRUNCATED);
    EXPECT_EQ(sjob_Message2DOMTree(u8(hex("60 85 00 00 00 00 01")), h.p), SJOB_BAD_LENGTH);
    EXPECT_EQ(traces(), "2 sjob_Message2DOMTree: message truncated at byte 0 of 0\n"
                        "2 sjob_Message2DOMTree: length header 85 at byte 1\n");
    std::mt19937 rng(7); /* any result, never out of bounds (the sanitizer build shows it) */
    for (int i = 0; i < 3000; ++i) {
        std::string noise(rng() % 80, '\0'), g = ex62;
        for (char &b : noise)
            b = char(rng());
        const int r = decode(i % 2 ? "\x60" + noise : noise, h.p);
        if (r != SJOB_NULL_PARSER) {
            EXPECT_LE(r, 0);
            EXPECT_GE(r, SJOB_NUL_TEXT);
        }
        g[rng() % g.size()] = char(rng());
        g.resize(rng() % (g.size() + 1));
        EXPECT_LE(decode(g, h.p), 0);
    }
}

/* The vocabulary in the decoder's order: name:kind, upper case when
   optional. i integer, t time, s text, b sensor data, d data_type 16,
   n the sample's number, c contained_samples, m max_samples. */
const char *const kVocabulary[] = {
    "version:I job_id:i date:t job_type:i job_handling:I requested_samples:I contained_samples:c "
    "max_samples:m",
    "number:n sample_id:S date:t sensordata:B bottle_number:I",
    "index:i comment:S parameter_number:I unit_number:I display_format:I data_type:d",
    "index:i done:i default_method:S used_method:S scheduled_processing:T scheduled_return:T lab_time:T "
    "data_type:D"};

/* A value of a kind of kVocabulary as the decoder writes it: "%d",
   times with +0000, Base64 of 1 to 12 bytes. */
std::string randomValue(char kind, unsigned number, std::mt19937 &rng)
{
    char text[32];
    uint8_t bytes[12];
    std::string s(1 + rng() % 40, ' ');
    switch (kind) {
    case 'i':
        return std::to_string(rng() % 65536);
    case 't':
        return formatFields(text, sizeof text, kEpoch2000 + int32_t(rng()), 0) ? text : "";
    case 's':
        for (char &c : s)
            c = "ab Z9-.:'<&"[rng() % 11];
        return s;
    case 'b':
        for (uint8_t &b : bytes)
            b = uint8_t(rng());
        return encode_base64(text, bytes, int(1 + rng() % 12)) ? text : "";
    case 'd':
        return "16";
    }
    return std::to_string(number); /* the sample's number, the sample counts */
}

/* A random job (fixed seed) in the decoder's form: attributes in its
   order, values as "%f". */
void randomJob(qrx_Element *root, std::mt19937 &rng)
{
    const unsigned samples = rng() % 4;
    auto fill = [&](qrx_Element *el, int level, unsigned number) {
        std::istringstream fields(kVocabulary[level]);
        for (std::string field; fields >> field;) {
            const char kind = field.back();
            field.resize(field.size() - 2);
            if (isupper(kind) && rng() % 2)
                continue;
            const unsigned n = kind == 'm' ? samples + rng() % 3 : number;
            qrx_AddAttribute(field.c_str(), randomValue(char(tolower(kind)), n, rng).c_str(), el);
            if (field == "data_type") {
                char text[64];
                const int mantissa = int(rng() % 2000001) - 1000000;
                snprintf(text, sizeof text, "%f", double(std::ldexp(float(mantissa), int(rng() % 148) - 40)));
                qrx_SetElementValue(text, el);
            }
        }
    };
    qrx_Element *job = qrx_AddElement("job", nullptr, root);
    fill(job, 0, samples);
    for (unsigned n = 0; n < samples; ++n) {
        qrx_Element *sample = qrx_AddElement("sample", nullptr, job);
        fill(sample, 1, n);
        for (unsigned m = rng() % 4; m > 0; --m) {
            const bool lab = rng() % 2;
            fill(qrx_AddElement(lab ? "lab_measurement" : "process_measurement", nullptr, sample), 2 + lab,
                 0);
        }
    }
}

/* What a round trip does not keep: other elements and attributes, empty
   texts, a number and a sample count that the decoder makes anew. */
void addWhatIsNotKept(qrx_Element *job)
{
    qrx_AddAttribute("admit_autojob", "1", job);
    qrx_AddAttribute("contained_samples", "99", job);
    for (const char *other : {"instrument", "controller", "sensor", "user"})
        qrx_AddAttribute("name", other, qrx_AddElementBefore(other, nullptr, job, nullptr));
    for (qrx_Element *s = job->children; s; s = s->next) {
        if (!str_equal(s->name, "sample"))
            continue;
        qrx_AddAttribute("number", "7", s);
        if (!qrx_GetAttribute("sample_id", nullptr, s, nullptr))
            qrx_AddAttribute("sample_id", "", s);
        for (qrx_Element *m = s->children; m; m = m->next) {
            qrx_AddAttribute(str_equal(m->name, "lab_measurement") ? "lab_unit" : "unit", "mg/l", m);
            if (!m->value)
                qrx_SetElementValue("-1.0", m); /* travels only with a data_type */
        }
    }
}

/* document -> sensor job file -> document keeps what the message
   carries; message -> document -> message gives the same bytes. */
TEST_F(Codec, RandomJobsRoundTrip)
{
    writeFile(TANDEL_TEST_JOBEDIT, "2"); /* done travels as it is */
    const std::string file = dir.file("job");
    for (unsigned seed = 0; seed < 200; ++seed) {
        std::mt19937 rng(seed);
        Handle doc, back;
        std::string m1, m2;
        qrx_BuildDOMTree(doc.p, nullptr);
        randomJob(doc->root, rng);
        const std::string kept = job(doc.p);
        addWhatIsNotKept(doc->root->children);
        ASSERT_EQ(encode(doc.p, m1), 0) << kept;
        ASSERT_EQ(sjob_DOMTree2SensorJobFile(file.c_str(), doc.p), 0) << kept;
        ASSERT_EQ(sjob_SensorJobFile2DOMTree(file.c_str(), back.p), 0) << kept;
        EXPECT_EQ(job(back.p), kept);
        ASSERT_EQ(encode(back.p, m2), 0);
        EXPECT_EQ(toHex(m2), toHex(m1)) << kept;
    }
}

TEST_F(Codec, SensorJobFileWrite)
{
    EXPECT_EQ(sjob_DOMTree2SensorJobFile(dir.file("x").c_str(), nullptr), SJOB_WRITE_FAILED);
    EXPECT_EQ(traces(), "2 sjob_DOMTree2SensorJobFile: no parser\n");
    clearTraces();
    const std::string path = dir.file("job.sjf"), ex30 = data("ex30.xml");
    ASSERT_EQ(writeJob(ex30, path), 0);
    EXPECT_EQ(toHex(readFile(path)), data("file36.hex"));
    EXPECT_EQ(traces(), "6 sjob_DOMTree2SensorJobFile: write sensor job to file \"" + path + "\"\n");
    /* an odd message gets a fill byte; the largest: a sample_id of L characters gives L + 48 bytes */
    ASSERT_EQ(writeJob(replaced(ex30, "/>", ">" + kSample + R"( sample_id="s"/></job>)"), path), 0);
    EXPECT_EQ(toHex(readFile(path)), data("file54.hex"));
    ASSERT_EQ(writeJob(withSampleId(1992), path), 0);
    const std::string f = readFile(path);
    EXPECT_EQ(f.size(), 2046u);
    EXPECT_EQ(toHex(f.substr(0, 4)), "0D 00 FF 03"); /* 1023 words */
    EXPECT_EQ(calculateProbeDrvCRC(u8(f), uint32_t(f.size())), 0);
    clearTraces();
    EXPECT_EQ(writeJob(withSampleId(1993), path), SJOB_WRITE_FAILED);
    EXPECT_EQ(countTraces("buffer too small (2042/2041)\n", 2), 1);
    EXPECT_EQ(readFile(path), f); /* the old file is intact, no temporary left */
    EXPECT_EQ(dir.entries().size(), 1u);
    ASSERT_EQ(writeJob(ex30, dir.file(std::string(250, 'n'))), 0);
    EXPECT_EQ(toHex(readFile(dir.file(std::string(250, 'n')))), data("file36.hex"));
}

TEST_F(Codec, SensorJobFileRead)
{
    const std::string path = dir.file("f"), fifo = dir.file("fifo");
    for (const auto &c : rows("files.txt", 4)) {
        Handle h;
        writeFile(path, hex(c[3]));
        clearTraces();
        EXPECT_EQ(nameOf(sjob_SensorJobFile2DOMTree(path.c_str(), h.p), kDecoded), c[0]) << c[3];
        EXPECT_EQ(traces(), replaced(c[1], "$F", path)) << c[3];
        EXPECT_EQ(job(h.p), c[2]) << c[3];
    }
    Handle h;
    EXPECT_EQ(sjob_SensorJobFile2DOMTree(path.c_str(), nullptr), SJOB_NULL_PARSER);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, int> unreadable[] = {
        {dir.file("missing"), ENOENT}, {dir.path(), EISDIR}, {fifo, EINVAL}};
    for (const auto &[p, err] : unreadable) {
        clearTraces();
        EXPECT_EQ(sjob_SensorJobFile2DOMTree(p.c_str(), h.p), SJOB_FILE_ERROR);
        EXPECT_EQ(errno, err) << p;
        EXPECT_EQ(traces(), "2 sjob_SensorJobFile2DOMTree: cannot read file \"" + p + "\"\n");
    }
    EXPECT_EQ(sjob_SensorJobFile2DOMTree(nullptr, h.p), SJOB_FILE_ERROR);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(Codec, SensorJobFileReplacedAtomically)
{
    const std::string path = dir.file("job"), sub = dir.file("sub"), ex30 = data("ex30.xml");
    writeFile(path, hex("01 02 03"));
    ASSERT_EQ(mkdir(TANDEL_TEST_JOBEDIT, 0700), 0); /* a setting the reader refuses plays no part */
    for (const auto &c : rows("unwritten.txt", 2)) {
        clearTraces();
        EXPECT_EQ(writeJob(c[1], path), SJOB_WRITE_FAILED);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(traces(), c[0]) << c[1];
    }
    /* renaming over a directory fails after the temporary is written; errno
       is the system's reason (a full device: ENOSPC, as EFBIG here) */
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    const std::pair<std::string, int> unwritable[] = {
        {dir.file("no/such/dir"), ENOENT}, {sub, EISDIR}, {path, EFBIG}};
    Handle h;
    ASSERT_EQ(buildFrom(h.p, ex30), 0);
    for (const auto &[p, err] : unwritable) {
        clearTraces();
        std::optional<NoRoom> full;
        if (err == EFBIG)
            full.emplace();
        EXPECT_EQ(sjob_DOMTree2SensorJobFile(p.c_str(), h.p), SJOB_WRITE_FAILED);
        EXPECT_EQ(errno, err) << p;
        full.reset();
        EXPECT_EQ(traces(), "2 sjob_DOMTree2SensorJobFile: cannot write file \"" + p + "\"\n");
    }
    EXPECT_EQ(toHex(readFile(path)), "01 02 03");
    EXPECT_EQ(dir.entries(), (std::set<std::string>{"job", "sub"}));

    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(writeJob(ex30, path), 0);
    EXPECT_EQ(toHex(readFile(path)), data("file36.hex"));
    const mode_t old = umask(027);
    EXPECT_EQ(writeJob(ex30, dir.file("fresh")), 0);
    umask(old);
    struct stat kept, fresh;
    ASSERT_EQ(stat(path.c_str(), &kept), 0);
    ASSERT_EQ(stat(dir.file("fresh").c_str(), &fresh), 0);
    EXPECT_EQ(kept.st_mode & 07777, 0640u);  /* the mode is kept */
    EXPECT_EQ(fresh.st_mode & 07777, 0640u); /* a new file: 0666 less the umask */
}

/* Decodes into an area as long as the text, so a sanitizer sees any overrun. */
std::string unb64(const std::string &text, int length = -1)
{
    std::vector<uint8_t> out(text.size());
    const uint32_t n = decode_base64(out.data(), text.c_str(), length < 0 ? int(text.size()) : length);
    EXPECT_LE(n, text.size());
    return std::string(out.begin(), out.begin() + n);
}

TEST(Base64, EncodeAndDecode)
{
    for (const auto &c : rows("base64.txt", 3)) {
        const std::string bytes = hex(c[1]);
        EXPECT_EQ(toHex(unb64(c[0])), c[1]) << c[0];
        char out[8] = "#######";
        const int n = encode_base64(out, u8(bytes), int(bytes.size()));
        if (c[2] == "no")
            continue; /* read, but never written so */
        EXPECT_EQ(n, int(c[0].size()));
        EXPECT_EQ(out, c[0]);
    }
    char t[4] = "xyz";
    EXPECT_EQ(encode_base64(t, u8("abc"), -3), 0);
    EXPECT_STREQ(t, "");
    EXPECT_EQ(unb64("YWJjZGVm", 4), "abc"); /* the length bound */
    std::mt19937 rng(3);
    for (int i = 0; i < 2000; ++i) {
        std::string t(rng() % 12, 'A');
        for (char &c : t)
            c = "AZaz09+/= \n"[rng() % 11];
        unb64(t);
    }
}

} // namespace
