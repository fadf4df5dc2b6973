/*
 * xmljob.cpp - the sensor job codec.
 *
 * Turns the binary sensor job message into a job document tree and back,
 * stores messages in sensor job files (header, message, CRC-16 trailer)
 * and converts sensor data and times to and from their document texts.
 * Message times are signed 32-bit seconds since 2000; everything here
 * counts them in 64 bits so that 1932 to 2068 work on 32-bit targets too.
 */
#include <array>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sensor2xml/xmljob_internal.h"
#include "tree.h"
#include "clocale.h"
#include "files.h"
#include "jobfile.h"

static const char kTraceFile[] = "../sensor2xml/xmljob.cpp";
#include "trace.h"

#ifndef TANDEL_JOBEDIT_PATH
#define TANDEL_JOBEDIT_PATH "/mnt/fcc/set/jobedit"
#endif

namespace {

const char kDecoder[] = "sjob_Message2DOMTree";
const char kEncoder[] = "sjob_DOMTree2Message";
/* A failure trace (its text is the format) and the code to return. */
#define DECODER_FAIL(code, msg) (TRACE_AS(kDecoder, TRACE_FAIL, msg), (code))
#define ENCODER_FAIL(code, msg) (TRACE_AS(kEncoder, TRACE_FAIL, msg), (code))
using tandel::FilePtr;
using tandel::FreeDeleter;

} // namespace

/* ------------------------------------------------------------------ */
/* Base64 and time text                                                */
/* ------------------------------------------------------------------ */

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 128> makeInverse()
{
    std::array<int8_t, 128> t{};
    for (auto &v : t)
        v = -1;
    for (int i = 0; i < 64; ++i)
        t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    return t;
}
constexpr std::array<int8_t, 128> kInverse = makeInverse();

} // namespace

int encode_base64(char *text, const uint8_t *data, int length)
{
    if (!text)
        return 0;
    int n = 0;
    int i = 0;
    for (; length - i >= 3; i += 3) {
        text[n++] = kAlphabet[data[i] >> 2];
        text[n++] = kAlphabet[((data[i] & 0x03) << 4) | (data[i + 1] >> 4)];
        text[n++] = kAlphabet[((data[i + 1] & 0x0F) << 2) | (data[i + 2] >> 6)];
        text[n++] = kAlphabet[data[i + 2] & 0x3F];
    }
    if (length - i == 1) {
        text[n++] = kAlphabet[data[i] >> 2];
        text[n++] = kAlphabet[(data[i] & 0x03) << 4];
        text[n++] = '=';
        text[n++] = '=';
    } else if (length - i == 2) {
        text[n++] = kAlphabet[data[i] >> 2];
        text[n++] = kAlphabet[((data[i] & 0x03) << 4) | (data[i + 1] >> 4)];
        text[n++] = kAlphabet[(data[i + 1] & 0x0F) << 2];
        text[n++] = '=';
    }
    text[n] = '\0';
    return n;
}

uint32_t decode_base64(uint8_t *data, const char *text, int length)
{
    if (!data || !text)
        return 0;
    uint32_t out = 0;
    unsigned s[4] = {0, 0, 0, 0};
    int taken = 0;
    int i = 0;
    for (; i < length && text[i] && text[i] != '='; ++i) {
        const auto ch = static_cast<unsigned char>(text[i]);
        if (ch >= 128 || kInverse[ch] < 0)
            continue;
        s[taken++] = static_cast<unsigned>(kInverse[ch]);
        if (taken == 4) {
            data[out++] = static_cast<uint8_t>((s[0] << 2) + (s[1] >> 4));
            data[out++] = static_cast<uint8_t>((s[1] << 4) + (s[2] >> 2));
            data[out++] = static_cast<uint8_t>((s[2] << 6) + s[3]);
            taken = 0;
        }
    }
    if (i < length && text[i] == '=') {
        bool another = false;
        for (int j = i + 1; j < length && text[j]; ++j)
            if (text[j] == '=') {
                another = true;
                break;
            }
        /* Bytes only from characters actually taken in this group. */
        if (taken >= 2)
            data[out++] = static_cast<uint8_t>((s[0] << 2) + (s[1] >> 4));
        if (taken == 3 && !another)
            data[out++] = static_cast<uint8_t>((s[1] << 4) + (s[2] >> 2));
    }
    return out;
}

int sprintf_tm(char *text, size_t size, const struct tm *time)
{
    if (size <= 25 || !text || !time)
        return TEXT_UNREADABLE;
    return static_cast<int>(std::strftime(text, size, kTimeFormat, time));
}

/* ------------------------------------------------------------------ */
/* Message decoder                                                     */
/* ------------------------------------------------------------------ */

/* Each step of the decoder and the encoder opens with the part of the
   message it walks: a field is "tag name", its tag in hex followed by its
   length and value; [ ] optional, { } repeated, | either, FF the end
   marker FF 00 that closes a container. Fields stand in ascending tag
   order; fields of other tags below the one looked for are skipped.
     field -> tag len value */

/* len -> 00..7F | 80+k b1..bk   (k <= 4; the length big-endian) */
uint32_t decode_length(const uint8_t *p, uint32_t *count, uint32_t *value)
{
    const uint8_t first = p[0];
    if (first < 0x80) {
        *count = 1;
        *value = first;
        return 1;
    }
    const uint32_t k = first & 0x7Fu;
    *count = k + 1;
    *value = 0;
    if (k > 4)
        return *count;
    for (uint32_t i = 1; i <= k; ++i)
        *value = (*value << 8) | p[i];
    return *count;
}

char *copy_to_string(const uint8_t *bytes, uint32_t n)
{
    if (n == UINT32_MAX)
        return nullptr;
    auto *s = static_cast<char *>(std::malloc(static_cast<size_t>(n) + 1));
    if (!s)
        return nullptr;
    if (n)
        std::memcpy(s, bytes, n);
    s[n] = '\0';
    return s;
}

namespace {

size_t avail(const tag_cursor *c) { return c->end ? static_cast<size_t>(c->end - c->tail) : SIZE_MAX; }

unsigned long offsetOf(const tag_cursor *c) { return static_cast<unsigned long>(c->tail - c->start); }

/* Needs n more bytes at tail. */
void need(const tag_cursor *c, size_t n)
{
    if (avail(c) < n)
        throw MessageFault{SJOB_TRUNCATED, offsetOf(c)};
}

uint8_t peek(const tag_cursor *c)
{
    need(c, 1);
    return *c->tail;
}

void advance(tag_cursor *c, size_t n)
{
    need(c, n);
    c->tail += n;
}

/* field -> tag len value: steps over the tag and the length header,
   tail is then at the value. */
void enterField(tag_cursor *c)
{
    advance(c, 1);
    const uint8_t first = peek(c);
    if (first >= 0x80 && (first & 0x7F) > 4)
        throw MessageFault{SJOB_BAD_LENGTH, offsetOf(c)};
    need(c, first < 0x80 ? 1 : 1 + (first & 0x7Fu));
    decode_length(c->tail, &c->lenCount, &c->len);
    c->tail += c->lenCount;
}

void skipField(tag_cursor *c)
{
    enterField(c);
    advance(c, c->len);
}

/* Skips the fields before `tag`. A tail before the last tag found is
   out of order: traced with `format`, status set, false. */
bool skipTo(uint8_t tag, tag_cursor *c, const char *fn, const char *format)
{
    if (peek(c) < c->lastTag) {
        TRACE_AS(fn, TRACE_FAIL, format, unsigned{tag}, unsigned{*c->tail});
        c->status = SJOB_OUT_OF_ORDER;
        return false;
    }
    while (tag > peek(c))
        skipField(c);
    return true;
}

} // namespace

void findTag(uint8_t tag, tag_cursor *c)
{
    if (tag < c->lastTag)
        c->lastTag = 0;
    if (skipTo(tag, c, "FIND_TAG", "FIND_TAG(%02X) - aborting *tail=%02X\n") && *c->tail == tag)
        c->lastTag = tag;
}

void skipTag(uint8_t tag, tag_cursor *c)
{
    if (!skipTo(tag, c, "SKIP_TAG", "SKIP_TAG(%02X) - aborting *tail=%02X\n"))
        return;
    if (*c->tail == tag)
        skipField(c);
    else
        TRACE_AS("SKIP_TAG", TRACE_FAIL, "SKIP_TAG(%02X) *tail=%02X\n", unsigned{tag}, unsigned{*c->tail});
}

namespace {

struct OutOfMemory {};

/* The job-edit setting as read once per decode. */
struct JobEdit {
    bool present = false; /* the file holds a number */
    bool absent = false;
    int value = 0;
    bool asWritten = false; /* not read: every done stays as the message has it */
};

/* SJOB_SETTING_ERROR when the file exists but cannot be read; absence
   and text that is no number are settings too. */
int readJobEdit(JobEdit *je)
{
    FilePtr fp(tandel::openRegularStream(TANDEL_JOBEDIT_PATH));
    if (!fp && errno == ENOMEM)
        throw OutOfMemory{};
    if (!fp && tandel::isAbsent(errno)) {
        je->absent = true;
        return 0;
    }
    if (fp)
        je->present = std::fscanf(fp.get(), "%d", &je->value) == 1;
    if (!fp || (!je->present && std::ferror(fp.get()))) {
        TRACE_AS(kDecoder, TRACE_FAIL, "cannot read setting \"%s\"\n", TANDEL_JOBEDIT_PATH);
        return SJOB_SETTING_ERROR;
    }
    return 0;
}

/* Job-edit flag of one lab measurement's done value. */
uint16_t applyJobEdit(const JobEdit &je, uint16_t done)
{
    if (je.asWritten)
        return done;
    if (!je.present) {
        TRACE_AS(kDecoder, je.absent ? TRACE_INFO : TRACE_FAIL, "no jobedit\n");
        return static_cast<uint16_t>(done & ~0x40u);
    }
    if (je.value == 1) {
        done = static_cast<uint16_t>(done | 0x40u);
        TRACE_AS(kDecoder, TRACE_INFO, "jobedit = yes\n");
    } else {
        TRACE_AS(kDecoder, TRACE_INFO, "jobedit = %d (sensor default)\n", (done & 0x40) ? 1 : 0);
    }
    return done;
}

class Decoder {
public:
    Decoder(const uint8_t *message, const uint8_t *end, bool asWritten = false)
        : c_{0, 0, 0, message, 0, message, end}
    {
        jobEdit_.asWritten = asWritten;
    }
    int run(qrx_Parser *parser);

private:
    tag_cursor c_;
    JobEdit jobEdit_;
    /* Room for every "%f" of a float and every time text. */
    char text_[64] = {};

    uint8_t at() const { return peek(&c_); }
    /* Appends to parent, whose last child *last is (null: none yet). */
    static qrx_Element *child(const char *name, qrx_Element *parent, qrx_Element **last)
    {
        qrx_Element *el = tandel::newChild(name, nullptr, parent);
        if (!el)
            throw OutOfMemory{};
        *(*last ? &(*last)->next : &parent->children) = el;
        *last = el;
        return el;
    }
    static void attr(const char *name, const char *value, qrx_Element *el)
    {
        if (!qrx_AddAttribute(name, value, el))
            throw OutOfMemory{};
    }
    /* integer -> 2 bytes big-endian (of a longer value, its first two) */
    uint16_t readInt()
    {
        enterField(&c_);
        need(&c_, 2);
        const auto v = static_cast<uint16_t>((c_.tail[0] << 8) | c_.tail[1]);
        advance(&c_, c_.len);
        return v;
    }
    void intField(const char *name, qrx_Element *el) { attrNumber(name, readInt(), el); }
    void attrNumber(const char *name, int v, qrx_Element *el)
    {
        std::snprintf(text_, sizeof text_, "%d", v);
        attr(name, text_, el);
    }
    /* time -> 4 bytes big-endian: signed seconds since 2000 on the wall clock */
    void timeField(const char *name, qrx_Element *el)
    {
        enterField(&c_);
        need(&c_, 4);
        const uint32_t raw = (uint32_t{c_.tail[0]} << 24) | (uint32_t{c_.tail[1]} << 16) |
                             (uint32_t{c_.tail[2]} << 8) | c_.tail[3];
        advance(&c_, c_.len);
        const int64_t since2000 = raw >= 0x80000000u ? static_cast<int64_t>(raw) - 0x100000000LL : raw;
        const int64_t reading = since2000 + kEpoch2000;
        formatFields(text_, sizeof text_, reading, offsetOfReading(reading));
        attr(name, text_, el);
    }
    /* text -> the bytes, no NUL */
    void textField(const char *name, qrx_Element *el)
    {
        enterField(&c_);
        need(&c_, c_.len);
        /* A document text ends at its first NUL: refused, never cut. */
        if (c_.len && std::memchr(c_.tail, 0, c_.len))
            throw MessageFault{SJOB_NUL_TEXT, offsetOf(&c_), name};
        std::unique_ptr<char, FreeDeleter> s(copy_to_string(c_.tail, c_.len));
        if (!s)
            throw OutOfMemory{};
        advance(&c_, c_.len);
        attr(name, s.get(), el);
    }
    /* bytes -> the sensor data, Base64 in the document */
    void bytesField(const char *name, qrx_Element *el)
    {
        enterField(&c_);
        need(&c_, c_.len);
        const uint64_t size = 4 * ((uint64_t{c_.len} + 2) / 3) + 1;
        if (c_.len > INT_MAX || size > SIZE_MAX)
            throw OutOfMemory{};
        std::unique_ptr<char, FreeDeleter> s(static_cast<char *>(std::malloc(static_cast<size_t>(size))));
        if (!s)
            throw OutOfMemory{};
        encode_base64(s.get(), c_.tail, static_cast<int>(c_.len));
        advance(&c_, c_.len);
        attr(name, s.get(), el);
    }
    /* value -> 4 bytes: IEEE single, big-endian. Tail at its tag; false
       when the data type is not 16, the only one there is. */
    bool realValue(int dataType, qrx_Element *el)
    {
        enterField(&c_);
        if (dataType != 16)
            return false;
        need(&c_, 4);
        const uint32_t bits = (uint32_t{c_.tail[0]} << 24) | (uint32_t{c_.tail[1]} << 16) |
                              (uint32_t{c_.tail[2]} << 8) | c_.tail[3];
        advance(&c_, c_.len);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        std::snprintf(text_, sizeof text_, "%f", static_cast<double>(f));
        const char *v = qrx_SetElementValue(text_, el);
        if (!v || std::strcmp(v, text_) != 0)
            throw OutOfMemory{};
        return true;
    }
    /* The field `tag` into attribute `name` through `read`, when the
       message has it. */
    void optional(uint8_t tag, void (Decoder::*read)(const char *, qrx_Element *), const char *name,
                  qrx_Element *el)
    {
        findTag(tag, &c_);
        if (at() == tag)
            (this->*read)(name, el);
    }
    /* Moves to the field `tag`: true when the message has it. */
    bool found(uint8_t tag)
    {
        findTag(tag, &c_);
        return at() == tag;
    }
    int processMeasurement(qrx_Element *m);
    int labMeasurement(qrx_Element *m);
    int jobHeader(qrx_Element *job, int *maxSamples);
    int sample(qrx_Element *s, int number);
    int samples(qrx_Element *job, int maxSamples);
    int walk(qrx_Parser *parser);
};

/* process -> 00 index [02 comment] [03 parameter_number] [04 unit_number]
               [05 display_format] 0E data_type 0F value */
int Decoder::processMeasurement(qrx_Element *m)
{
    if (at() != 0x00)
        return DECODER_FAIL(SJOB_MISSING_FIELD, "no pm.index\n");
    intField("index", m);
    optional(0x02, &Decoder::textField, "comment", m);
    optional(0x03, &Decoder::intField, "parameter_number", m);
    optional(0x04, &Decoder::intField, "unit_number", m);
    optional(0x05, &Decoder::intField, "display_format", m);
    if (!found(0x0E))
        return DECODER_FAIL(SJOB_MISSING_FIELD, "no pm.dataType\n");
    const int dataType = readInt();
    attrNumber("data_type", dataType, m);
    if (!found(0x0F))
        return DECODER_FAIL(SJOB_MISSING_FIELD, "no pm.data\n");
    if (!realValue(dataType, m))
        return DECODER_FAIL(SJOB_BAD_DATA_TYPE, "not yet supported\n");
    return 0;
}

/* lab -> 00 index 01 done [05 default_method] [06 used_method] [0B scheduled_processing]
           [0C scheduled_return] [0D lab_time] [0E data_type] [0F value] */
int Decoder::labMeasurement(qrx_Element *m)
{
    if (at() != 0x00)
        return DECODER_FAIL(SJOB_MISSING_FIELD, "no lm.index\n");
    intField("index", m);
    if (!found(0x01))
        return DECODER_FAIL(SJOB_MISSING_FIELD, "no lm.done\n");
    attrNumber("done", applyJobEdit(jobEdit_, readInt()), m);
    optional(0x05, &Decoder::textField, "default_method", m);
    optional(0x06, &Decoder::textField, "used_method", m);
    optional(0x0B, &Decoder::timeField, "scheduled_processing", m);
    optional(0x0C, &Decoder::timeField, "scheduled_return", m);
    optional(0x0D, &Decoder::timeField, "lab_time", m);
    int dataType = -1;
    if (found(0x0E)) {
        dataType = readInt();
        attrNumber("data_type", dataType, m);
    }
    if (found(0x0F) && !realValue(dataType, m))
        return DECODER_FAIL(SJOB_BAD_DATA_TYPE, "not yet supported\n");
    return 0;
}

/* header -> [00 version] 01 job_id [02 date] 03 job_type [04 job_handling]
              [05 requested_samples] [06 contained_samples] 07 max_samples */
int Decoder::jobHeader(qrx_Element *job, int *maxSamples)
{
    if (at() == 0x00)
        intField("version", job);
    if (!found(0x01))
        return DECODER_FAIL(SJOB_NO_JOB_ID, "no jobId\n");
    intField("job_id", job);
    optional(0x02, &Decoder::timeField, "date", job);
    if (!found(0x03))
        return DECODER_FAIL(SJOB_MISSING_FIELD, "no jobType\n");
    intField("job_type", job);
    optional(0x04, &Decoder::intField, "job_handling", job);
    optional(0x05, &Decoder::intField, "requested_samples", job);
    optional(0x06, &Decoder::intField, "contained_samples", job);
    if (!found(0x07))
        return DECODER_FAIL(SJOB_MISSING_FIELD, "no maxSamples\n");
    *maxSamples = readInt();
    attrNumber("max_samples", *maxSamples, job);
    return 0;
}

/* sample -> [00 sample_id] 01 date [02 sensordata] 03 count [04 bottle_number]
              {20 len process FF | 21 len lab FF} FF
   Tail at its first field; count is the number of measurements. */
int Decoder::sample(qrx_Element *s, int number)
{
    attrNumber("number", number, s);
    if (at() == 0x00)
        textField("sample_id", s);
    if (!found(0x01))
        return DECODER_FAIL(SJOB_BAD_SAMPLE, "no date\n");
    timeField("date", s);
    optional(0x02, &Decoder::bytesField, "sensordata", s);
    if (!found(0x03))
        return DECODER_FAIL(SJOB_BAD_SAMPLE, "no cntMeasurements\n");
    const int cntMeasurements = readInt();
    optional(0x04, &Decoder::intField, "bottle_number", s);

    qrx_Element *last = nullptr;
    int seen = 0;
    findTag(0x20, &c_);
    while (at() == 0x20 || at() == 0x21) {
        const bool lab = at() == 0x21;
        enterField(&c_);
        qrx_Element *m = child(lab ? "lab_measurement" : "process_measurement", s, &last);
        ++seen;
        if (const int r = lab ? labMeasurement(m) : processMeasurement(m))
            return r;
        skipTag(0xFF, &c_);
    }
    skipTag(0xFF, &c_);
    if (cntMeasurements != seen)
        return DECODER_FAIL(SJOB_COUNT_MISMATCH, "cntMeasurements does not match\n");
    return 0;
}

/* samples -> {40 len sample}   (at most max_samples) */
int Decoder::samples(qrx_Element *job, int maxSamples)
{
    qrx_Element *last = nullptr;
    findTag(0x40, &c_);
    for (int number = 0; at() == 0x40; ++number) {
        enterField(&c_);
        if (number >= maxSamples) {
            TRACE_AS(kDecoder, TRACE_FAIL, "more than %d Samples\n", maxSamples);
            return SJOB_BAD_SAMPLE;
        }
        if (const int r = sample(child("sample", job, &last), number))
            return r;
    }
    return 0;
}

/* message -> 60 len job
   job -> header samples FF */
int Decoder::walk(qrx_Parser *parser)
{
    qrx_RemoveDOMTree(parser);
    parser->root = qrx_NewElement("__ROOT__", 0);
    if (!parser->root)
        throw OutOfMemory{};
    if (!jobEdit_.asWritten)
        if (const int r = readJobEdit(&jobEdit_))
            return r;
    if (!found(0x60))
        return DECODER_FAIL(SJOB_NO_JOB, "not a sensor job file\n");
    enterField(&c_);
    qrx_Element *onlyChild = nullptr;
    qrx_Element *job = child("job", parser->root, &onlyChild);
    int maxSamples = 0;
    if (const int r = jobHeader(job, &maxSamples))
        return r;
    if (const int r = samples(job, maxSamples))
        return r;
    skipTag(0xFF, &c_);
    return c_.status;
}

int Decoder::run(qrx_Parser *parser)
{
    if (!parser) {
        TRACE_AS(kDecoder, TRACE_FAIL, "no parser\n");
        return SJOB_NULL_PARSER;
    }
    tandel::CNumbers numbers;
    try {
        return walk(parser);
    } catch (const MessageFault &f) {
        if (f.code == SJOB_BAD_LENGTH)
            TRACE_AS(kDecoder, TRACE_FAIL, "length header %02X at byte %lu\n", unsigned{c_.start[f.offset]},
                     f.offset);
        else if (f.code == SJOB_NUL_TEXT)
            TRACE_AS(kDecoder, TRACE_FAIL, "NUL byte in %s at byte %lu\n", f.field, f.offset);
        else
            TRACE_AS(kDecoder, TRACE_FAIL, "message truncated at byte %lu of %lu\n", f.offset,
                     c_.end ? static_cast<unsigned long>(c_.end - c_.start) : 0UL);
        return f.code;
    } catch (const OutOfMemory &) {
    } catch (const std::bad_alloc &) {}
    TRACE_AS(kDecoder, TRACE_FAIL, "out of memory\n");
    return SJOB_NO_MEMORY;
}

} // namespace

int sjob_Message2DOMTreeN(const uint8_t *message, uint32_t length, qrx_Parser *parser)
{
    static const uint8_t kEmpty[1] = {0};
    if (!message) {
        message = kEmpty;
        length = 0;
    }
    return Decoder(message, message + length).run(parser);
}

int tandel::decodeAsWritten(const uint8_t *message, uint32_t length, qrx_Parser *parser)
{
    return Decoder(message, message + length, true).run(parser);
}

int sjob_Message2DOMTree(const uint8_t *message, qrx_Parser *parser)
{
    if (!message)
        return sjob_Message2DOMTreeN(nullptr, 0, parser);
    return Decoder(message, nullptr).run(parser);
}

/* ------------------------------------------------------------------ */
/* Message encoder                                                     */
/* ------------------------------------------------------------------ */

/* len -> 00..7E | 80+k b1..bk   (the fewest k that hold the length) */
int encode_length(int32_t n, uint8_t *out, int *size)
{
    if (n <= 126) {
        out[0] = static_cast<uint8_t>(n);
        *size = 1;
        return 0;
    }
    const auto u = static_cast<uint32_t>(n);
    const int k = u <= 0xFF ? 1 : u < 0x10000 ? 2 : u < 0x1000000 ? 3 : 4;
    out[0] = static_cast<uint8_t>(0x80 | k);
    for (int i = 0; i < k; ++i)
        out[1 + i] = static_cast<uint8_t>(u >> (8 * (k - 1 - i)));
    *size = k + 1;
    return 0;
}

int sscanf_nonempty(const char *text, const char *format, ...)
{
    if (!text || !*text)
        return 0;
    va_list ap;
    va_start(ap, format);
    const int r = std::vsscanf(text, format, ap);
    va_end(ap);
    return r;
}

namespace {

/* Places bytes from the end of the buffer toward its start: a container
   is written end marker first, its fields in descending tag order, then
   its length and tag once its size is known. Bytes that would land before
   buffer[0] are counted, not stored. */
class BackWriter {
public:
    BackWriter(uint8_t *buffer, uint32_t capacity) : buf_(buffer), pos_(int64_t{capacity} - 1) {}
    int64_t pos() const { return pos_; }
    void bytes(const uint8_t *p, size_t n)
    {
        pos_ -= static_cast<int64_t>(n);
        if (pos_ >= 0 && n)
            std::memcpy(buf_ + pos_, p, n);
    }
    void length(int64_t n)
    {
        uint8_t h[5];
        int size = 0;
        encode_length(static_cast<int32_t>(n), h, &size);
        bytes(h, static_cast<size_t>(size));
    }
    void endMarker()
    {
        static const uint8_t kEnd[2] = {0xFF, 0x00};
        bytes(kEnd, 2);
    }
    void field(uint8_t tag, const uint8_t *value, size_t n)
    {
        bytes(value, n);
        length(static_cast<int64_t>(n));
        bytes(&tag, 1);
    }
    void u16(uint8_t tag, uint16_t v)
    {
        const uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
        field(tag, b, 2);
    }
    void u32(uint8_t tag, uint32_t v)
    {
        const uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                              static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
        field(tag, b, 4);
    }
    void close(uint8_t tag, int64_t contentEnd)
    {
        length(contentEnd - pos_);
        bytes(&tag, 1);
    }

private:
    uint8_t *buf_;
    int64_t pos_;
};

const char *attrText(const qrx_Element *el, const char *name)
{
    return qrx_GetAttribute(name, nullptr, el, nullptr);
}

/* Non-empty text of an attribute, or null. */
const char *nonEmpty(const qrx_Element *el, const char *name)
{
    const char *s = attrText(el, name);
    return s && *s ? s : nullptr;
}

/* The leading decimal number of the text ("12abc" reads 12): 1 stored,
   0 absent or no number, SJOB_ENC_NUMBER_RANGE (traced) when it does not
   fit the message's 16 bits, negative ones too. */
int parseNumber(const qrx_Element *el, const char *name, uint16_t *v)
{
    const char *s = attrText(el, name);
    unsigned long ul = 0;
    if (sscanf_nonempty(s, "%lu", &ul) != 1)
        return 0;
    /* "%lu" wraps a minus sign, into a small number too where long has 32 bits. */
    const bool negative = s[std::strspn(s, " \t\n\v\f\r")] == '-' && ul != 0;
    if (ul > 0xFFFFu || negative) {
        TRACE_AS(kEncoder, TRACE_FAIL, "number out of range in %s=\"%s\"\n", name, s);
        return SJOB_ENC_NUMBER_RANGE;
    }
    *v = static_cast<uint16_t>(ul);
    return 1;
}

/* A required number: 0 stored, SJOB_ENC_NOT_A_JOB traced with `missing`,
   or SJOB_ENC_NUMBER_RANGE. */
int requiredNumber(const qrx_Element *el, const char *name, const char *missing, uint16_t *v)
{
    const int r = parseNumber(el, name, v);
    return r > 0 ? 0 : r < 0 ? r : ENCODER_FAIL(SJOB_ENC_NOT_A_JOB, missing);
}

/* A count the message carries in 16 bits. */
int count(size_t n, const char *what, uint16_t *v)
{
    if (n > 0xFFFFu) {
        TRACE_AS(kEncoder, TRACE_FAIL, "count out of range in %s (%lu)\n", what,
                 static_cast<unsigned long>(n));
        return SJOB_ENC_NUMBER_RANGE;
    }
    *v = static_cast<uint16_t>(n);
    return 0;
}

/* Wall-clock fields of the text counted as UTC, seconds since 2000 as
   the message's 32 bits. An offset in the text is accepted, not applied.
   1 stored, 0 absent or no time, SJOB_ENC_TIME_RANGE outside what 32
   bits hold (traced). */
int parseTime(const qrx_Element *el, const char *name, uint32_t *v)
{
    const char *s = attrText(el, name);
    if (!s)
        return 0;
    struct tm tm {};
    if (!strptime(s, "%Y-%m-%dT%H:%M:%S%z", &tm)) {
        tm = {};
        if (!strptime(s, "%Y-%m-%dT%H:%M:%S", &tm))
            return 0;
    }
    const int64_t t = timegm64(&tm);
    if (t < kMessageFirst || t > kMessageLast) {
        TRACE_AS(kEncoder, TRACE_FAIL, "time out of range in %s=\"%s\"\n", name, s);
        return SJOB_ENC_TIME_RANGE;
    }
    *v = static_cast<uint32_t>(static_cast<uint64_t>(t - kEpoch2000));
    return 1;
}

int optionalNumber(BackWriter &w, const qrx_Element *el, uint8_t tag, const char *name)
{
    uint16_t v;
    const int r = parseNumber(el, name, &v);
    if (r > 0)
        w.u16(tag, v);
    return r < 0 ? r : 0;
}

void optionalText(BackWriter &w, const qrx_Element *el, uint8_t tag, const char *name)
{
    if (const char *s = nonEmpty(el, name))
        w.field(tag, reinterpret_cast<const uint8_t *>(s), std::strlen(s));
}

int optionalTime(BackWriter &w, const qrx_Element *el, uint8_t tag, const char *name)
{
    uint32_t v;
    const int r = parseTime(el, name, &v);
    if (r > 0)
        w.u32(tag, v);
    return r < 0 ? r : 0;
}

/* An attribute and the tag of its field. */
struct Tagged {
    uint8_t tag;
    const char *name;
};

std::vector<const qrx_Element *> childrenNamed(const qrx_Element *parent, const char *a,
                                               const char *b = nullptr)
{
    std::vector<const qrx_Element *> v;
    for (const qrx_Element *c = parent->children; c; c = c->next)
        if (str_equal(c->name, a) || (b && str_equal(c->name, b)))
            v.push_back(c);
    return v;
}

/* process -> 20 len 00 index [02 comment] [03 parameter_number] [04 unit_number]
                      [05 display_format] 0E data_type [0F value] FF
   lab -> 21 len 00 index 01 done [05 default_method] [06 used_method] [0B scheduled_processing]
                 [0C scheduled_return] [0D lab_time] [0E data_type [0F value]] FF */
int encodeMeasurement(BackWriter &w, const qrx_Element *m)
{
    const bool lab = str_equal(m->name, "lab_measurement");
    const int64_t end = w.pos();
    w.endMarker();
    uint16_t dataType;
    const int typed = parseNumber(m, "data_type", &dataType);
    if (typed < 0)
        return typed;
    if (typed) {
        if (dataType != 16) {
            TRACE_AS(kEncoder, TRACE_FAIL, "dataType %d not implemented\n", int{dataType});
            return SJOB_ENC_BAD_DATA_TYPE;
        }
        float f;
        if (sscanf_nonempty(m->value, "%f", &f) == 1) {
            uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            w.u32(0x0F, bits);
        }
        w.u16(0x0E, 16);
    } else if (!lab) {
        return ENCODER_FAIL(SJOB_ENC_NO_DATA_TYPE, "missing dataType\n");
    }
    uint16_t v;
    if (!lab) {
        for (const auto &f :
             {Tagged{0x05, "display_format"}, Tagged{0x04, "unit_number"}, Tagged{0x03, "parameter_number"}})
            if (const int r = optionalNumber(w, m, f.tag, f.name))
                return r;
        optionalText(w, m, 0x02, "comment");
    } else {
        for (const auto &t : {Tagged{0x0D, "lab_time"}, Tagged{0x0C, "scheduled_return"},
                              Tagged{0x0B, "scheduled_processing"}})
            if (const int r = optionalTime(w, m, t.tag, t.name))
                return r;
        optionalText(w, m, 0x06, "used_method");
        optionalText(w, m, 0x05, "default_method");
        if (const int r = requiredNumber(m, "done", "missing done\n", &v))
            return r;
        w.u16(0x01, v);
    }
    if (const int r = requiredNumber(m, "index", "missing index\n", &v))
        return r;
    w.u16(0x00, v);
    w.close(lab ? 0x21 : 0x20, end);
    return 0;
}

/* sample -> 40 len [00 sample_id] 01 date [02 sensordata] 03 count [04 bottle_number]
                    {process | lab} FF */
int encodeSample(BackWriter &w, const qrx_Element *s)
{
    const int64_t end = w.pos();
    w.endMarker();
    const auto ms = childrenNamed(s, "process_measurement", "lab_measurement");
    for (auto it = ms.rbegin(); it != ms.rend(); ++it) {
        const int r = encodeMeasurement(w, *it);
        if (r != 0)
            return r;
    }
    uint16_t n;
    if (const int r = optionalNumber(w, s, 0x04, "bottle_number"))
        return r;
    if (const int r = count(ms.size(), "cntMeasurements", &n))
        return r;
    w.u16(0x03, n);
    if (const char *b64 = nonEmpty(s, "sensordata")) {
        const size_t n = std::strlen(b64);
        std::vector<uint8_t> scratch(n);
        const uint32_t got = decode_base64(scratch.data(), b64, n > INT_MAX ? INT_MAX : static_cast<int>(n));
        w.field(0x02, scratch.data(), got);
    }
    uint32_t date;
    const int dated = parseTime(s, "date", &date);
    if (dated <= 0)
        return dated < 0 ? dated : ENCODER_FAIL(SJOB_ENC_NOT_A_JOB, "no date\n");
    w.u32(0x01, date);
    optionalText(w, s, 0x00, "sample_id");
    w.close(0x40, end);
    return 0;
}

/* job -> 60 len [00 version] 01 job_id 02 date 03 job_type [04 job_handling]
                 [05 requested_samples] 06 contained_samples 07 max_samples {sample} FF */
int encodeJob(uint8_t *buffer, uint32_t *length, uint8_t **message, const qrx_Element *job)
{
    const uint32_t capacity = *length;
    BackWriter w(buffer, capacity);
    const int64_t end = w.pos();
    w.endMarker();
    const auto samples = childrenNamed(job, "sample");
    for (auto it = samples.rbegin(); it != samples.rend(); ++it) {
        const int r = encodeSample(w, *it);
        if (r != 0)
            return r;
    }
    uint16_t v;
    if (const int r = requiredNumber(job, "max_samples", "missing max_samples\n", &v))
        return r;
    w.u16(0x07, v);
    if (const int r = count(samples.size(), "contained_samples", &v))
        return r;
    w.u16(0x06, v);
    for (const auto &f : {Tagged{0x05, "requested_samples"}, Tagged{0x04, "job_handling"}})
        if (const int r = optionalNumber(w, job, f.tag, f.name))
            return r;
    if (const int r = requiredNumber(job, "job_type", "missing job_type\n", &v))
        return r;
    w.u16(0x03, v);
    uint32_t date;
    const int dated = parseTime(job, "date", &date);
    if (dated <= 0)
        return dated < 0 ? dated : ENCODER_FAIL(SJOB_ENC_NOT_A_JOB, "missing date\n");
    w.u32(0x02, date);
    if (const int r = requiredNumber(job, "job_id", "missing job_id\n", &v))
        return r;
    w.u16(0x01, v);
    if (const int r = optionalNumber(w, job, 0x00, "version"))
        return r;
    w.close(0x60, end);

    const int64_t messageLength = end - w.pos();
    if (w.pos() < 0) {
        TRACE_AS(kEncoder, TRACE_FAIL, "buffer too small (%lu/%lu)\n",
                 static_cast<unsigned long>(messageLength + 1), static_cast<unsigned long>(capacity));
        return SJOB_ENC_TOO_SMALL;
    }
    *message = buffer + w.pos();
    *length = static_cast<uint32_t>(messageLength);
    return 0;
}

} // namespace

int sjob_DOMTree2Message(uint8_t *buffer, uint32_t *length, uint8_t **message, qrx_Parser *parser)
{
    if (!parser || !parser->root || !length || !message || (!buffer && *length > 0))
        return SJOB_ENC_BAD_ARGUMENT;
    const qrx_Element *job = parser->root->children;
    if (!job)
        return SJOB_ENC_EMPTY;
    if (!str_equal(job->name, "job"))
        return ENCODER_FAIL(SJOB_ENC_NOT_A_JOB, "job expected\n");
    tandel::CNumbers numbers;
    try {
        return encodeJob(buffer, length, message, job);
    } catch (const std::bad_alloc &) {
        TRACE_AS(kEncoder, TRACE_FAIL, "out of memory\n");
        return SJOB_ENC_NO_MEMORY;
    }
}

/* ------------------------------------------------------------------ */
/* Sensor job file                                                     */
/* ------------------------------------------------------------------ */

namespace {

/* The whole regular file at path: 0, or the errno of the step that
   failed (taken before the stream is closed). */
int readWhole(const char *path, std::vector<uint8_t> &data)
{
    FilePtr fp(tandel::openRegularStream(path));
    if (!fp || std::fseek(fp.get(), 0, SEEK_END) != 0)
        return errno;
    const long size = std::ftell(fp.get());
    if (size < 0 || std::fseek(fp.get(), 0, SEEK_SET) != 0)
        return errno;
    if ((static_cast<uint64_t>(size) >> 32) != 0)
        return EFBIG;
    data.resize(static_cast<size_t>(size));
    if (size != 0 && std::fread(data.data(), 1, data.size(), fp.get()) != data.size())
        return std::ferror(fp.get()) ? errno : EIO; /* EIO: the file shrank */
    return 0;
}

/* Writes the bytes to a new file beside path and renames it over path,
   with the mode of sensor job files: 0, or the errno of the step that
   failed. */
int replaceFile(const char *path, const uint8_t *data, size_t n)
{
    struct stat st {};
    /* Like opening for writing: a file the caller may not write stays. */
    if (::stat(path, &st) == 0 && ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0)
        return errno;
    tandel::Replacement out;
    if (const int err = out.open(path))
        return err;
    errno = 0;
    if (n && std::fwrite(data, 1, n, out.stream()) != n)
        return errno ? errno : EIO;
    return out.commit(tandel::FileKind::SensorJobFile);
}

/* The decoder's result for the file's message, the job-edit setting left
   out: what the reader would make of the bytes. Traced when it fails. */
int readsBack(const uint8_t *file, uint32_t size)
{
    tandel::Owned<qrx_Parser, qrx_deinit> h;
    int r = qrx_init(&h.p, 4) == 0 ? 0 : SJOB_NO_MEMORY;
    if (r == 0)
        r = tandel::decodeAsWritten(file + tandel::kJobFileHeader, size - tandel::kJobFileMin, h.p);
    if (r != 0)
        TRACE_AS("sjob_DOMTree2SensorJobFile", TRACE_FAIL, "sensor job would not read back: %s\n",
                 tandel_errstr(TANDEL_SJOB_DECODE, r));
    return r;
}

} // namespace

int sjob_SensorJobFile2DOMTree(const char *path, qrx_Parser *parser)
{
    try {
        std::vector<uint8_t> data;
        const int err = path ? readWhole(path, data) : EINVAL;
        if (err == ENOMEM)
            throw std::bad_alloc();
        if (err != 0) {
            TRACE(TRACE_FAIL, "cannot read file \"%s\"\n", path ? path : "(null)");
            errno = err;
            return SJOB_FILE_ERROR;
        }
        const auto size = static_cast<uint32_t>(data.size());
        if (size < tandel::kJobFileMin) {
            TRACE(TRACE_FAIL, "sensor job file \"%s\" too short (%d bytes)\n", path, static_cast<int>(size));
            return SJOB_SHORT_FILE;
        }
        if (calculateProbeDrvCRC(data.data(), size) != 0)
            TRACE(TRACE_FAIL, "calculateProbeDrvCRC() - crc error\n");
        TRACE(TRACE_INFO, "read sensor job from file \"%s\" (%d bytes)\n", path, static_cast<int>(size));
        return tandel::decodeJobFile(data.data(), size, parser);
    } catch (const std::bad_alloc &) {
        TRACE(TRACE_FAIL, "out of memory\n");
        errno = ENOMEM;
        return SJOB_NO_MEMORY;
    }
}

int sjob_DOMTree2SensorJobFile(const char *path, qrx_Parser *parser)
{
    if (!parser) {
        TRACE(TRACE_FAIL, "no parser\n");
        errno = EINVAL;
        return SJOB_WRITE_FAILED;
    }
    uint8_t buf[tandel::kJobFileMax] = {};
    uint8_t *file = nullptr;
    uint32_t size = 0;
    const int encoded = tandel::encodeJobFile(parser, buf, &file, &size);
    const int decoded = encoded == 0 ? readsBack(file, size) : 0;
    if (encoded != 0 || decoded != 0) {
        errno = encoded == SJOB_ENC_NO_MEMORY || decoded == SJOB_NO_MEMORY ? ENOMEM : EINVAL;
        return SJOB_WRITE_FAILED;
    }
    int err = EINVAL;
    try {
        if (path)
            err = replaceFile(path, file, size);
    } catch (const std::bad_alloc &) {
        err = ENOMEM;
    }
    if (err != 0) {
        TRACE(TRACE_FAIL, "cannot write file \"%s\"\n", path ? path : "(null)");
        errno = err;
        return SJOB_WRITE_FAILED;
    }
    TRACE(TRACE_INFO, "write sensor job to file \"%s\"\n", path);
    return 0;
}
