/* Sensor job message: decoder, encoder, the job-edit setting and round trips. */
#include "test_codec_helpers.h"

#include <cstring>
#include <random>

#include <dlfcn.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

namespace {

const char kExample58[] =
    "60 38 01 02 00 05 02 04 25 9E 9D 80 03 02 00 01 06 02 00 01 07 02 00 02 40 1E 01 04 25 9F 15 08 "
    "03 02 00 01 20 10 00 02 00 00 0E 02 00 10 0F 04 40 E8 00 00 FF 00 FF 00 FF 00";
const char kExample30[] = "60 1C 00 02 00 01 01 02 00 07 02 04 00 00 00 0A 03 02 00 02 06 02 00 00 07 02 00 03 FF 00";
const char kExample62[] =
    "60 3C 01 02 00 01 02 04 00 00 00 00 03 02 00 01 06 02 00 01 07 02 00 01 40 22 01 04 00 00 00 00 "
    "03 02 00 01 21 14 00 02 00 00 01 02 00 01 0E 02 00 10 0F 04 3F C0 00 00 FF 00 FF 00 FF 00";

const char kJob58[] = "<job job_id=\"5\" date=\"2020-01-01T00:00:00\" job_type=\"1\" max_samples=\"2\">"
                      "<sample date=\"2020-01-01T08:30:00\">"
                      "<process_measurement index=\"0\" data_type=\"16\"> 7.25 </process_measurement>"
                      "</sample></job>";
const char kJob62[] = "<job job_id=\"1\" date=\"2000-01-01T00:00:00\" job_type=\"1\" max_samples=\"1\">"
                      "<sample date=\"2000-01-01T00:00:00\">"
                      "<lab_measurement index=\"0\" done=\"1\" data_type=\"16\">1.5</lab_measurement>"
                      "</sample></job>";

/* Message pieces with computed lengths. */
Bytes len(size_t n)
{
    uint8_t h[5];
    int size = 0;
    encode_length(static_cast<int32_t>(n), h, &size);
    return Bytes(h, h + size);
}
Bytes F(uint8_t tag, const Bytes &v)
{
    Bytes b{tag};
    Bytes l = len(v.size());
    b.insert(b.end(), l.begin(), l.end());
    b.insert(b.end(), v.begin(), v.end());
    return b;
}
Bytes C(uint8_t tag, std::initializer_list<Bytes> parts)
{
    Bytes v;
    for (const Bytes &p : parts)
        v.insert(v.end(), p.begin(), p.end());
    v.push_back(0xFF);
    v.push_back(0x00);
    return F(tag, v);
}
Bytes U16(uint8_t tag, uint16_t x) { return F(tag, {static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x)}); }
Bytes U32(uint8_t tag, uint32_t x)
{
    return F(tag, {static_cast<uint8_t>(x >> 24), static_cast<uint8_t>(x >> 16), static_cast<uint8_t>(x >> 8),
                   static_cast<uint8_t>(x)});
}
Bytes Txt(uint8_t tag, const std::string &s) { return F(tag, Bytes(s.begin(), s.end())); }
/* The usual job fields: job_id 1, date 0, job_type 1, max_samples m. */
Bytes jobHead(uint16_t maxSamples = 1)
{
    Bytes b;
    for (const Bytes &p : {U16(0x01, 1), U32(0x02, 0), U16(0x03, 1), U16(0x07, maxSamples)})
        b.insert(b.end(), p.begin(), p.end());
    return b;
}
Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes v;
    for (const Bytes &p : parts)
        v.insert(v.end(), p.begin(), p.end());
    return v;
}
/* A job container from its job fields and samples. */
Bytes job(const Bytes &head, std::initializer_list<Bytes> samples)
{
    Bytes v = head;
    for (const Bytes &s : samples)
        v.insert(v.end(), s.begin(), s.end());
    v.push_back(0xFF);
    v.push_back(0x00);
    return F(0x60, v);
}
Bytes pm(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    return C(0x20, {U16(0x00, 0), U16(0x0E, 16), U32(0x0F, bits)});
}

int decode(const Bytes &m, qrx_Parser *p) { return sjob_Message2DOMTreeN(m.data(), static_cast<uint32_t>(m.size()), p); }

class Codec : public JobEditTest {};

/* ---- worked examples ---- */

TEST_F(Codec, DecodesTheExampleMessage)
{
    Handle h;
    Bytes m = hex(kExample58);
    ASSERT_EQ(m.size(), 58u);
    EXPECT_EQ(decode(m, h.p), 0);
    EXPECT_EQ(dumpTree(h->root, true),
              "__ROOT__#0(job#1[job_id=5,date=2020-01-01T00:00:00+0000,job_type=1,contained_samples=1,max_samples=2]"
              "(sample#2[number=0,date=2020-01-01T08:30:00+0000]"
              "(process_measurement#3[index=0,data_type=16]{7.250000})))");
    EXPECT_TRUE(traceCalls().empty());

    /* The two-argument form, in a zone one hour east: same fields. */
    setTZ("CET-1");
    EXPECT_EQ(sjob_Message2DOMTree(m.data(), h.p), 0);
    EXPECT_EQ(qrx_GetAttribute("date", nullptr, h->root->children, nullptr), std::string("2020-01-01T00:00:00+0100"));
}

TEST_F(Codec, EncodesTheExamples)
{
    Bytes out;
    ASSERT_EQ(encodeXml(kJob58, out), 0);
    EXPECT_EQ(toHex(out), toHex(hex(kExample58)));
    ASSERT_EQ(encodeXml("<job version=\"1\" job_id=\"7\" date=\"2000-01-01T00:00:10\" job_type=\"2\" "
                        "max_samples=\"3\"/>",
                        out),
              0);
    EXPECT_EQ(toHex(out), toHex(hex(kExample30)));
    ASSERT_EQ(encodeXml(kJob62, out), 0);
    EXPECT_EQ(toHex(out), toHex(hex(kExample62)));
    EXPECT_TRUE(traceCalls().empty());
}

TEST_F(Codec, MessageEndsJustBeforeTheLastBufferByte)
{
    Handle h;
    ASSERT_EQ(buildFrom(h.p, kJob58), 0);
    const uint32_t c = 59; /* message of c - 1 bytes */
    Bytes buf(c, 0xAA);
    uint32_t n = c;
    uint8_t *msg = nullptr;
    ASSERT_EQ(sjob_DOMTree2Message(buf.data(), &n, &msg, h.p), 0);
    EXPECT_EQ(n, 58u);
    EXPECT_EQ(msg, buf.data());
    EXPECT_EQ(buf[c - 1], 0xAA);
    EXPECT_EQ(toHex(msg, n), toHex(hex(kExample58)));

    /* c bytes for a message of c: -7, naming c + 1 and c; nothing written
       outside buffer[0..c-2] (exact-size buffers for the sanitizer). */
    for (uint32_t cap : {58u, 20u, 1u, 0u}) {
        clearTraces();
        Bytes small(cap, 0xAA);
        uint32_t len = cap;
        EXPECT_EQ(sjob_DOMTree2Message(small.data(), &len, &msg, h.p), -7);
        EXPECT_EQ(countTraces("buffer too small (59/" + std::to_string(cap) + ")\n", 2), 1);
        if (cap) {
            EXPECT_EQ(small[cap - 1], 0xAA);
        }
    }
}

/* ---- job-edit setting ---- */

TEST_F(Codec, JobEditSettingAdjustsDone)
{
    Handle h;
    Bytes m = hex(kExample62);
    auto done = [&] {
        const qrx_Element *lm = h->root->children->children->children;
        return std::string(qrx_GetAttribute("done", nullptr, lm, nullptr));
    };
    setJobEdit("1\n");
    ASSERT_EQ(decode(m, h.p), 0);
    EXPECT_EQ(done(), "65");
    EXPECT_EQ(countTraces("jobedit = yes\n", 6), 1);
    EXPECT_EQ(dumpJob(h.p), "job[job_id=1,date=2000-01-01T00:00:00+0000,job_type=1,contained_samples=1,max_samples=1]"
                            "(sample[number=0,date=2000-01-01T00:00:00+0000]"
                            "(lab_measurement[index=0,done=65,data_type=16]{1.500000}))");

    setJobEdit("0");
    clearTraces();
    ASSERT_EQ(decode(m, h.p), 0);
    EXPECT_EQ(done(), "1");
    EXPECT_EQ(countTraces("jobedit = 0 (sensor default)\n", 6), 1);

    setJobEdit("nothing");
    clearTraces();
    ASSERT_EQ(decode(m, h.p), 0);
    EXPECT_EQ(done(), "1");
    EXPECT_EQ(countTraces("no jobedit\n", 2), 1);

    removeJobEdit();
    clearTraces();
    ASSERT_EQ(decode(m, h.p), 0);
    EXPECT_EQ(done(), "1");
    EXPECT_EQ(countTraces("no jobedit\n", 6), 1);
    EXPECT_EQ(traceCalls()[0].function, "sjob_Message2DOMTree");
    EXPECT_EQ(traceCalls()[0].file, "../sensor2xml/xmljob.cpp");

    /* done 0x41: kept by "sensor default", cleared when the file is missing. */
    Bytes m41 = m;
    m41[45] = 0x41;
    ASSERT_EQ(toHex(&m41[42], 4), "01 02 00 41");
    ASSERT_EQ(decode(m41, h.p), 0);
    EXPECT_EQ(done(), "1");
    setJobEdit("0");
    clearTraces();
    ASSERT_EQ(decode(m41, h.p), 0);
    EXPECT_EQ(done(), "65");
    EXPECT_EQ(countTraces("jobedit = 1 (sensor default)\n", 6), 1);
    setJobEdit("1");
    m41[45] = 0xC1; /* other flags are kept */
    ASSERT_EQ(decode(m41, h.p), 0);
    EXPECT_EQ(done(), "193");
}

/* ---- lengths ---- */

TEST(CodecLength, EncodeAndDecode)
{
    const struct {
        int32_t n;
        const char *hex;
    } cases[] = {{0, "00"},          {126, "7E"},          {127, "81 7F"},          {255, "81 FF"},
                 {256, "82 01 00"},  {300, "82 01 2C"},    {65535, "82 FF FF"},     {65536, "83 01 00 00"},
                 {70000, "83 01 11 70"}, {16777216, "84 01 00 00 00"}};
    for (const auto &c : cases) {
        uint8_t out[5];
        int size = 0;
        EXPECT_EQ(encode_length(c.n, out, &size), 0);
        EXPECT_EQ(toHex(out, static_cast<size_t>(size)), c.hex) << c.n;
        uint32_t count = 0, value = 0;
        EXPECT_EQ(decode_length(out, &count, &value), static_cast<uint32_t>(size));
        EXPECT_EQ(value, static_cast<uint32_t>(c.n));
    }
    uint32_t count = 9, value = 9;
    EXPECT_EQ(decode_length(hex("7F").data(), &count, &value), 1u);
    EXPECT_EQ(value, 127u);
    EXPECT_EQ(decode_length(hex("80").data(), &count, &value), 1u);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(decode_length(hex("85").data(), &count, &value), 6u); /* rejected by callers */
    EXPECT_EQ(value, 0u);
}

TEST_F(Codec, ContainerLengthBoundaries)
{
    /* Sample content = sample_id field + date (6) + count (4) + end (2). */
    const struct {
        size_t idLen;
        const char *header;
    } cases[] = {{112, "40 7E"}, {113, "40 81 7F"}, {241, "40 82 01 00"}};
    for (const auto &c : cases) {
        Bytes out;
        std::string xml = "<job job_id=\"1\" date=\"2000-01-01T00:00:00\" job_type=\"1\" max_samples=\"1\">"
                          "<sample sample_id=\"" +
                          std::string(c.idLen, 'x') + "\" date=\"2000-01-01T00:00:00\"/></job>";
        ASSERT_EQ(encodeXml(xml, out), 0);
        size_t at = 1 + (out[1] < 0x80 ? 1 : 1 + (out[1] & 0x7F)) + 22;
        std::string want = c.header;
        EXPECT_EQ(toHex(&out[at], want.size() / 3 + 1), want);
        Handle h;
        ASSERT_EQ(decode(out, h.p), 0);
        EXPECT_EQ(strlen(qrx_GetAttribute("sample_id", nullptr, h->root->children->children, nullptr)), c.idLen);
    }
}

/* ---- encoder field rules ---- */

std::string encodedHex(const std::string &xml)
{
    Bytes out;
    int r = encodeXml(xml, out);
    return r == 0 ? toHex(out) : "error " + std::to_string(r);
}

TEST_F(Codec, EncodesTimesAsWallClock)
{
    const std::string tail = "\" job_type=\"1\" max_samples=\"1\"/>";
    EXPECT_EQ(encodedHex("<job job_id=\"1\" date=\"2000-01-01T00:00:10+0200" + tail),
              encodedHex("<job job_id=\"1\" date=\"2000-01-01T00:00:10" + tail));
    EXPECT_NE(encodedHex("<job job_id=\"1\" date=\"1999-12-31T23:59:59" + tail).find("02 04 FF FF FF FF"),
              std::string::npos);
    /* Beyond 2038 and before 1970: 64-bit arithmetic, 32-bit field. */
    EXPECT_NE(encodedHex("<job job_id=\"1\" date=\"2068-01-19T03:14:07" + tail).find("02 04 7F FF FF FF"),
              std::string::npos);
    EXPECT_NE(encodedHex("<job job_id=\"1\" date=\"1931-12-13T20:45:52" + tail).find("02 04 80 00 00 00"),
              std::string::npos);
    EXPECT_EQ(encodedHex("<job job_id=\"1\" date=\"2000-01-01\" job_type=\"1\" max_samples=\"1\"/>"), "error -3");
    EXPECT_EQ(countTraces("missing date\n", 2), 1);
}

TEST_F(Codec, DecodesTimesFrom1932To2068)
{
    Handle h;
    const struct {
        uint32_t raw;
        const char *text;
    } cases[] = {{0, "2000-01-01T00:00:00+0000"},
                 {0x7FFFFFFF, "2068-01-19T03:14:07+0000"},
                 {0x80000000, "1931-12-13T20:45:52+0000"},
                 {0xFFFFFFFF, "1999-12-31T23:59:59+0000"},
                 {1500000000, "2047-07-14T02:40:00+0000"}};
    for (const auto &c : cases) {
        Bytes m = job(cat({U16(0x01, 1), U32(0x02, c.raw), U16(0x03, 1), U16(0x06, 0), U16(0x07, 0)}), {});
        ASSERT_EQ(decode(m, h.p), 0);
        EXPECT_EQ(qrx_GetAttribute("date", nullptr, h->root->children, nullptr), std::string(c.text));
        /* and back to the same four bytes */
        Bytes again;
        ASSERT_EQ(encode(h.p, again), 0);
        EXPECT_EQ(toHex(again), toHex(m));
    }
}

TEST_F(Codec, IntegerAttributes)
{
    const std::string head = "<job job_id=\"1\" date=\"2000-01-01T00:00:00\" job_type=\"1\" max_samples=\"1\" ";
    EXPECT_EQ(encodedHex(head + "version=\"70000\"/>").substr(6, 11), "00 02 11 70");
    EXPECT_EQ(encodedHex(head + "version=\"12abc\"/>").substr(6, 11), "00 02 00 0C");
    EXPECT_EQ(encodedHex(head + "version=\"-1\"/>").substr(6, 11), "00 02 FF FF");
    EXPECT_EQ(encodedHex(head + "version=\"\"/>").substr(6, 5), "01 02");
    EXPECT_EQ(encodedHex(head + "version=\"x\"/>").substr(6, 5), "01 02");
    /* contained_samples is counted, not read */
    EXPECT_EQ(encodedHex(head + "contained_samples=\"9\"/>"), encodedHex(head + "/>"));
}

TEST_F(Codec, DataTypeRules)
{
    const std::string head =
        "<job job_id=\"1\" date=\"2000-01-01T00:00:00\" job_type=\"1\" max_samples=\"1\"><sample date=\"2000-01-01T00:00:00\">";
    const std::string end = "</sample></job>";
    /* lab without data_type: neither 0E nor 0F */
    EXPECT_NE(encodedHex(head + "<lab_measurement index=\"0\" done=\"0\">2</lab_measurement>" + end)
                  .find("21 0A 00 02 00 00 01 02 00 00 FF 00"),
              std::string::npos);
    /* process with a text that is no number: 0E, no 0F */
    EXPECT_NE(encodedHex(head + "<process_measurement index=\"0\" data_type=\"16\">abc</process_measurement>" + end)
                  .find("20 0A 00 02 00 00 0E 02 00 10 FF 00"),
              std::string::npos);
    for (const char *kind : {"process_measurement", "lab_measurement"}) {
        clearTraces();
        EXPECT_EQ(encodedHex(head + "<" + kind + " index=\"0\" done=\"0\" data_type=\"17\"/>" + end), "error -4");
        EXPECT_EQ(countTraces("dataType 17 not implemented\n", 2), 1);
        EXPECT_EQ(traceCalls().at(0).function, "sjob_DOMTree2Message");
    }
    clearTraces();
    EXPECT_EQ(encodedHex(head + "<process_measurement index=\"0\"/>" + end), "error -5");
    EXPECT_EQ(countTraces("missing dataType\n", 2), 1);
}

TEST_F(Codec, SensorDataAndCounts)
{
    const std::string head = "<job job_id=\"1\" date=\"2000-01-01T00:00:00\" job_type=\"1\" max_samples=\"1\">";
    EXPECT_NE(encodedHex(head + "<sample date=\"2000-01-01T00:00:00\" sensordata=\"!!!\"/></job>")
                  .find("40 0E 01 04 00 00 00 00 02 00 03 02 00 00 FF 00"),
              std::string::npos);
    EXPECT_NE(encodedHex(head + "<sample date=\"2000-01-01T00:00:00\" sensordata=\"AQID\" bottle_number=\"4\"/></job>")
                  .find("02 03 01 02 03 03 02 00 00 04 02 00 04"),
              std::string::npos);
    EXPECT_NE(encodedHex(head + "</job>").find("06 02 00 00"), std::string::npos);
}

TEST_F(Codec, EncoderFailuresInBuildOrder)
{
    const std::string head = "<job job_id=\"1\" date=\"2000-01-01T00:00:00\" job_type=\"1\" max_samples=\"1\">";
    /* Built from the end: the last sample's missing date is met first. */
    EXPECT_EQ(encodedHex(head + "<sample date=\"2000-01-01T00:00:00\"><process_measurement data_type=\"16\"/></sample>"
                                "<sample/></job>"),
              "error -3");
    EXPECT_EQ(countTraces("no date\n", 2), 1);
    EXPECT_EQ(traceCalls().size(), 1u);
    clearTraces();
    EXPECT_EQ(encodedHex(head + "<sample date=\"2000-01-01T00:00:00\"><lab_measurement/></sample></job>"), "error -3");
    EXPECT_EQ(countTraces("missing done\n", 2), 1);
    clearTraces();
    EXPECT_EQ(encodedHex(head + "<sample date=\"2000-01-01T00:00:00\"><lab_measurement done=\"1\"/></sample></job>"),
              "error -3");
    EXPECT_EQ(countTraces("missing index\n", 2), 1);

    const struct {
        const char *xml;
        const char *trace;
    } jobs[] = {{"<job job_id=\"1\" date=\"2000-01-01T00:00:00\" job_type=\"1\"/>", "missing max_samples\n"},
                {"<job job_id=\"1\" date=\"2000-01-01T00:00:00\" max_samples=\"1\"/>", "missing job_type\n"},
                {"<job job_id=\"1\" job_type=\"1\" max_samples=\"1\"/>", "missing date\n"},
                {"<job date=\"2000-01-01T00:00:00\" job_type=\"1\" max_samples=\"1\"/>", "missing job_id\n"},
                {"<jobs/>", "job expected\n"}};
    for (const auto &j : jobs) {
        clearTraces();
        EXPECT_EQ(encodedHex(j.xml), "error -3") << j.xml;
        EXPECT_EQ(countTraces(j.trace, 2), 1) << j.xml;
    }
    Handle h;
    Bytes out;
    EXPECT_EQ(encode(nullptr, out), -1);
    EXPECT_EQ(encode(h.p, out), -1); /* no tree */
    ASSERT_EQ(qrx_BuildDOMTree(h.p, nullptr), 0);
    EXPECT_EQ(encode(h.p, out), -2);
    uint8_t *msg;
    EXPECT_EQ(sjob_DOMTree2Message(nullptr, nullptr, &msg, h.p), -1);
}

/* ---- decoder rules and failures ---- */

TEST_F(Codec, DecoderReaderRules)
{
    Handle h;
    /* unknown tag 0x08 after max_samples; integer of length 3; 7F short form;
       lone 0x80 length; empty text */
    Bytes m = job(cat({jobHead(2), F(0x08, {1, 2, 3})}),
                  {C(0x40, {F(0x00, {}), U32(0x01, 0), F(0x03, {0x00, 0x01, 0x99}), pm(2.5f)}),
                   cat({{0x40, 0x7F}, cat({U32(0x01, 10), U16(0x03, 0), F(0x09, Bytes(113, 0)), {0xFF, 0x00}})})});
    ASSERT_EQ(m[m.size() - 130], 0x7F);
    EXPECT_EQ(decode(m, h.p), 0) << toHex(m);
    EXPECT_EQ(dumpJob(h.p), "job[job_id=1,date=2000-01-01T00:00:00+0000,job_type=1,max_samples=2]"
                            "(sample[number=0,sample_id=,date=2000-01-01T00:00:00+0000]"
                            "(process_measurement[index=0,data_type=16]{2.500000}),"
                            "sample[number=1,date=2000-01-01T00:00:10+0000])");
    Bytes lone = job(jobHead(0), {});
    lone.insert(lone.begin() + 2 + 18, {0x08, 0x80}); /* unknown field of length 0 */
    lone[1] = static_cast<uint8_t>(lone[1] + 2);
    EXPECT_EQ(decode(lone, h.p), 0) << toHex(lone);
}

TEST_F(Codec, MixedMeasurementsAndLongTexts)
{
    Handle h;
    ASSERT_EQ(buildFrom(h.p, "<job job_id=\"9\" date=\"2024-02-29T12:00:00\" job_type=\"3\" max_samples=\"2\">"
                             "<sample sample_id=\"" + std::string(40, 'S') +
                                 "\" date=\"2024-02-29T12:00:01\" sensordata=\"AAEC/w==\" bottle_number=\"7\">"
                                 "<lab_measurement index=\"0\" done=\"2\"/>"
                                 "<process_measurement index=\"0\" comment=\"c\" data_type=\"16\">1e30</process_measurement>"
                                 "<lab_measurement index=\"1\" done=\"0\" data_type=\"16\">-3</lab_measurement>"
                                 "</sample></job>"),
              0);
    Bytes out;
    ASSERT_EQ(encode(h.p, out), 0);
    setJobEdit("0");
    Handle d;
    ASSERT_EQ(decode(out, d.p), 0);
    EXPECT_EQ(dumpJob(d.p),
              "job[job_id=9,date=2024-02-29T12:00:00+0000,job_type=3,contained_samples=1,max_samples=2]"
              "(sample[number=0,sample_id=" + std::string(40, 'S') +
                  ",date=2024-02-29T12:00:01+0000,sensordata=AAEC/w==,bottle_number=7]"
                  "(lab_measurement[index=0,done=2],"
                  "process_measurement[index=0,comment=c,data_type=16]{1000000015047466219876688855040.000000},"
                  "lab_measurement[index=1,done=0,data_type=16]{-3.000000}))");
}

TEST_F(Codec, DecoderFailureCodes)
{
    Handle h;
    const Bytes ts = U32(0x01, 0);
    const struct {
        Bytes m;
        int code;
        const char *trace;
    } cases[] = {
        {hex("40 02 FF 00 61 00"), -1, "not a sensor job file\n"},
        {job(cat({U32(0x02, 0), U16(0x03, 1), U16(0x07, 1)}), {}), -2, "no jobId\n"},
        {job(cat({U16(0x01, 1), U16(0x07, 1)}), {}), -3, "no jobType\n"},
        {job(cat({U16(0x01, 1), U16(0x03, 1)}), {}), -3, "no maxSamples\n"},
        {job(jobHead(), {C(0x40, {ts, U16(0x03, 1), C(0x20, {U16(0x0E, 16)})})}), -3, "no pm.index\n"},
        {job(jobHead(), {C(0x40, {ts, U16(0x03, 1), C(0x20, {U16(0x00, 0), U32(0x0F, 0)})})}), -3, "no pm.dataType\n"},
        {job(jobHead(), {C(0x40, {ts, U16(0x03, 1), C(0x20, {U16(0x00, 0), U16(0x0E, 16)})})}), -3, "no pm.data\n"},
        {job(jobHead(), {C(0x40, {ts, U16(0x03, 1), C(0x20, {U16(0x00, 0), U16(0x0E, 1), U32(0x0F, 0)})})}), -4,
         "not yet supported\n"},
        {job(jobHead(), {C(0x40, {ts, U16(0x03, 2), pm(1)})}), -5, "cntMeasurements does not match\n"},
        {job(jobHead(1), {C(0x40, {ts, U16(0x03, 0)}), C(0x40, {ts, U16(0x03, 0)})}), -6, "more than 1 Samples\n"},
        {job(jobHead(0), {C(0x40, {ts, U16(0x03, 0)})}), -6, "more than 0 Samples\n"},
        {job(jobHead(), {C(0x40, {U16(0x03, 0)})}), -6, "no date\n"},
        {job(jobHead(), {C(0x40, {ts})}), -6, "no cntMeasurements\n"},
    };
    for (const auto &c : cases) {
        clearTraces();
        EXPECT_EQ(decode(c.m, h.p), c.code) << toHex(c.m);
        EXPECT_EQ(countTraces(c.trace, 2), 1) << c.trace;
        ASSERT_EQ(traceCalls().size(), 1u) << c.trace;
        EXPECT_EQ(traceCalls()[0].function, "sjob_Message2DOMTree");
    }
    /* the samples before the failing one stay in the tree */
    EXPECT_EQ(decode(cases[9].m, h.p), -6);
    EXPECT_EQ(dumpJob(h.p), "job[job_id=1,date=2000-01-01T00:00:00+0000,job_type=1,max_samples=1]"
                            "(sample[number=0,date=2000-01-01T00:00:00+0000])");
    clearTraces();
    EXPECT_EQ(decode(hex(kExample58), nullptr), -99);
    EXPECT_EQ(countTraces("no parser\n", 2), 1);
    /* lab measurement: value without data_type fails, neither decodes */
    EXPECT_EQ(decode(job(jobHead(), {C(0x40, {ts, U16(0x03, 1), C(0x21, {U16(0x00, 0), U16(0x01, 0), U32(0x0F, 0)})})}),
                     h.p),
              -4);
    EXPECT_EQ(decode(job(jobHead(), {C(0x40, {ts, U16(0x03, 1), C(0x21, {U16(0x00, 0), U16(0x01, 0)})})}), h.p), 0);
    EXPECT_EQ(h->root->children->children->children->value, nullptr);
}

TEST_F(Codec, OutOfOrderFields)
{
    Handle h;
    /* date after job_type */
    Bytes m = job(cat({U16(0x01, 1), U16(0x03, 1), U32(0x02, 0), U16(0x07, 1)}), {});
    EXPECT_EQ(decode(m, h.p), -3);
    for (const char *t : {"04", "05", "06", "07"})
        EXPECT_EQ(countTraces(std::string("FIND_TAG(") + t + ") - aborting *tail=02\n", 2), 1) << t;
    EXPECT_EQ(countTraces("no maxSamples\n", 2), 1);
    EXPECT_EQ(traceCalls()[0].function, "FIND_TAG");
    EXPECT_EQ(dumpJob(h.p), "job[job_id=1,job_type=1]");

    /* default_method after lab_time in the last sample's lab measurement */
    clearTraces();
    const Bytes ts = U32(0x01, 0);
    m = job(jobHead(2), {C(0x40, {ts, U16(0x03, 1), pm(1)}),
                         C(0x40, {ts, U16(0x03, 1), C(0x21, {U16(0x00, 0), U16(0x01, 0), U32(0x0D, 5), Txt(0x05, "m")})})});
    EXPECT_EQ(decode(m, h.p), -7);
    EXPECT_EQ(countTraces("FIND_TAG(0E) - aborting *tail=05\n", 2), 1);
    EXPECT_EQ(countTraces("FIND_TAG(0F) - aborting *tail=05\n", 2), 1);
    EXPECT_EQ(countTraces("SKIP_TAG(FF) - aborting *tail=05\n", 2), 3);
    EXPECT_EQ(traceCalls().back().function, "SKIP_TAG");
    EXPECT_EQ(dumpJob(h.p), "job[job_id=1,date=2000-01-01T00:00:00+0000,job_type=1,max_samples=2]"
                            "(sample[number=0,date=2000-01-01T00:00:00+0000]"
                            "(process_measurement[index=0,data_type=16]{1.000000}),"
                            "sample[number=1,date=2000-01-01T00:00:00+0000]"
                            "(lab_measurement[index=0,done=0,lab_time=2000-01-01T00:00:05+0000]))");
}

TEST_F(Codec, TruncatedAndMalformedMessages)
{
    Handle h;
    /* every proper prefix of a message is refused without reading past it */
    for (const char *ex : {kExample58, kExample62}) {
        Bytes m = hex(ex);
        for (size_t n = 0; n < m.size(); ++n) {
            clearTraces();
            Bytes prefix(m.begin(), m.begin() + static_cast<long>(n));
            EXPECT_EQ(sjob_Message2DOMTreeN(prefix.data(), static_cast<uint32_t>(n), h.p), SJOB_TRUNCATED) << n;
            ASSERT_FALSE(traceCalls().empty());
            EXPECT_EQ(traceCalls().back().level, 2);
            EXPECT_EQ(traceCalls().back().message.rfind("message truncated at byte ", 0), 0u);
        }
    }
    clearTraces();
    EXPECT_EQ(sjob_Message2DOMTreeN(nullptr, 10, h.p), SJOB_TRUNCATED);
    EXPECT_EQ(countTraces("message truncated at byte 0 of 0\n", 2), 1);
    /* a nested container that claims more bytes than there are */
    Bytes m = hex(kExample58);
    m[47] = 0x7E; /* the measured value claims 126 bytes */
    EXPECT_EQ(decode(m, h.p), SJOB_TRUNCATED);
    /* more than four length bytes */
    clearTraces();
    EXPECT_EQ(sjob_Message2DOMTree(hex("60 85 00 00 00 00 01").data(), h.p), SJOB_BAD_LENGTH);
    EXPECT_EQ(countTraces("length header 85 at byte 1\n", 2), 1);
    EXPECT_EQ(decode(hex("60 0C 01 02 00 01 03 02 00 01 07 C0"), h.p), SJOB_BAD_LENGTH);

    /* garbage of any length: some result, never out of bounds */
    std::mt19937 rng(7);
    for (int i = 0; i < 3000; ++i) {
        Bytes g(rng() % 80);
        for (auto &b : g)
            b = static_cast<uint8_t>(rng());
        if (!g.empty() && i % 2)
            g[0] = 0x60;
        int r = decode(g, h.p);
        EXPECT_TRUE((r <= 0 && r >= -12) || r == -99) << r;
    }
    /* the same with random cuts and byte flips of a valid message */
    Bytes base = hex(kExample62);
    for (int i = 0; i < 2000; ++i) {
        Bytes g = base;
        g[rng() % g.size()] = static_cast<uint8_t>(rng());
        g.resize(rng() % (g.size() + 1));
        int r = decode(g, h.p);
        EXPECT_LE(r, 0);
    }
}

/* ---- round trips ---- */

TEST_F(Codec, RoundTripsThroughMessageAndFile)
{
    setJobEdit("0");
    TempDir dir;
    const std::string docs[] = {
        "<job job_id=\"65535\" date=\"2038-01-19T03:14:08\" job_type=\"0\" max_samples=\"0\"/>",
        "<job version=\"3\" job_id=\"12\" date=\"1999-06-30T23:00:00\" job_type=\"64\" job_handling=\"258\" "
        "requested_samples=\"4\" max_samples=\"4\">"
        "<sample number=\"0\" sample_id=\"A-1\" date=\"2050-12-31T23:59:59\"/>"
        "<sample number=\"1\" date=\"2001-01-01T00:00:00\" sensordata=\"3q2+7w==\">"
        "<process_measurement index=\"0\" comment=\"pH\" parameter_number=\"2\" unit_number=\"3\" "
        "display_format=\"4\" data_type=\"16\">7.125000</process_measurement>"
        "<lab_measurement index=\"0\" done=\"65\" default_method=\"DIN\" used_method=\"ISO 1\" "
        "scheduled_processing=\"2020-05-05T05:05:05\" scheduled_return=\"2020-05-06T06:06:06\" "
        "lab_time=\"2060-02-29T10:00:00\" data_type=\"16\">-0.500000</lab_measurement>"
        "<lab_measurement index=\"1\" done=\"4\"/>"
        "<process_measurement index=\"1\" data_type=\"16\">0.000000</process_measurement>"
        "</sample>"
        "<sample number=\"2\" date=\"2001-01-01T00:00:00\" bottle_number=\"99\"/>"
        "</job>"};
    for (const std::string &xml : docs) {
        Handle src;
        ASSERT_EQ(buildFrom(src.p, xml), 0);
        Bytes msg;
        ASSERT_EQ(encode(src.p, msg), 0);
        Handle viaMessage, viaFile;
        ASSERT_EQ(decode(msg, viaMessage.p), 0);
        std::string path = dir.file("job.bin");
        ASSERT_EQ(sjob_DOMTree2SensorJobFile(path.c_str(), viaMessage.p), 0);
        ASSERT_EQ(sjob_SensorJobFile2DOMTree(path.c_str(), viaFile.p), 0);
        EXPECT_EQ(dumpJob(viaFile.p), dumpJob(viaMessage.p));
        /* the decoded document re-encodes to the same message */
        Bytes again;
        ASSERT_EQ(encode(viaFile.p, again), 0);
        EXPECT_EQ(toHex(again), toHex(msg));
        /* and matches the source apart from the added offset and count */
        std::string want = dumpJob(src.p);
        std::string got = dumpJob(viaFile.p);
        for (std::string *s : {&want, &got}) {
            for (size_t at; (at = s->find("+0000")) != std::string::npos;)
                s->erase(at, 5);
            for (size_t at; (at = s->find("contained_samples=")) != std::string::npos;)
                s->erase(at, s->find_first_of(",]", at) - at + 1);
        }
        EXPECT_EQ(got, want);
    }
}

/* ---- the shipped library reads the controller's own setting file ---- */

/* Runs in a forked child with a private mount namespace and a tmpfs on
   /mnt, so the machine's /mnt is never touched. 0 passed, 77 skipped. */
int shippedPathChild(const std::string &lib)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/mnt", "tmpfs", 0, "size=64k") != 0)
        return 77;
    if (mkdir("/mnt/fcc", 0755) != 0 || mkdir("/mnt/fcc/set", 0755) != 0)
        return 2;
    void *so = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!so)
        return 3;
    auto init = reinterpret_cast<int (*)(qrx_Parser **, int)>(dlsym(so, "qrx_init"));
    auto deinit = reinterpret_cast<int (*)(qrx_Parser **)>(dlsym(so, "qrx_deinit"));
    auto decodeN = reinterpret_cast<int (*)(const uint8_t *, uint32_t, qrx_Parser *)>(dlsym(so, "sjob_Message2DOMTreeN"));
    if (!init || !deinit || !decodeN)
        return 4;
    Bytes m = hex(kExample62);
    auto done = [&](const char *setting) -> std::string {
        if (setting) {
            FILE *f = fopen("/mnt/fcc/set/jobedit", "w");
            if (!f)
                return "";
            fputs(setting, f);
            fclose(f);
        } else {
            unlink("/mnt/fcc/set/jobedit");
        }
        qrx_Parser *p = nullptr;
        std::string d;
        if (init(&p, 4) == 0 && decodeN(m.data(), static_cast<uint32_t>(m.size()), p) == 0)
            for (const qrx_Attribute *a = p->root->children->children->children->attributes; a; a = a->next)
                if (std::string(a->name) == "done")
                    d = a->value;
        deinit(&p);
        return d;
    };
    if (done("1") != "65" || done("0") != "1" || done(nullptr) != "1")
        return 5;
    return 0;
}

TEST(CodecShippedPath, ReadsTheControllersSettingFile)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace";
    const std::string lib = std::string(TANDEL_BINARY_DIR) + "/libTandelCntrl.so";
    struct stat st;
    if (stat(lib.c_str(), &st) != 0 || stat("/mnt", &st) != 0 || !S_ISDIR(st.st_mode))
        GTEST_SKIP() << "no shared library or no /mnt";
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        _exit(shippedPathChild(lib));
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "mount namespace not available";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
