/* Sensor job files: layout, CRC-16, reading and atomic writing. */
#include "test_codec_helpers.h"

#include <cstring>

namespace {

const char kJob30[] = "<job version=\"1\" job_id=\"7\" date=\"2000-01-01T00:00:10\" job_type=\"2\" max_samples=\"3\"/>";
const char kFile36[] = "0D 00 12 00 60 1C 00 02 00 01 01 02 00 07 02 04 00 00 00 0A 03 02 00 02 06 02 00 00 07 02 00 03 "
                       "FF 00 D9 9D";

uint16_t crc(const Bytes &b) { return calculateProbeDrvCRC(b.data(), static_cast<uint32_t>(b.size())); }

/* Puts a fresh CRC trailer on a file image whose last two bytes are the trailer. */
void fixCrc(Bytes &f)
{
    uint16_t c = calculateProbeDrvCRC(f.data(), static_cast<uint32_t>(f.size() - 2));
    f[f.size() - 2] = static_cast<uint8_t>(c);
    f[f.size() - 1] = static_cast<uint8_t>(c >> 8);
}

class SensorJobFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        setTZ("UTC0");
        clearTraces();
        ASSERT_FALSE(dir.path.empty());
    }
    int writeJob(const std::string &xml, const std::string &path)
    {
        Handle h;
        if (buildFrom(h.p, xml) != 0)
            return -1000;
        return sjob_DOMTree2SensorJobFile(path.c_str(), h.p);
    }
    TempDir dir;
};

TEST(Crc, CheckValueAndResidue)
{
    const char *check = "123456789";
    EXPECT_EQ(calculateProbeDrvCRC(reinterpret_cast<const uint8_t *>(check), 9), 0x6F91);
    EXPECT_EQ(calculateProbeDrvCRC(nullptr, 0), 0xFFFF);
    EXPECT_EQ(crc(hex(kFile36)), 0);
    EXPECT_EQ(calculateProbeDrvCRC(hex(kFile36).data(), 34), 0x9DD9);
}

TEST_F(SensorJobFile, WritesAndReadsTheExampleFile)
{
    std::string path = dir.file("job.sjf");
    ASSERT_EQ(writeJob(kJob30, path), 0);
    EXPECT_EQ(toHex(readFile(path)), toHex(hex(kFile36)));
    EXPECT_EQ(countTraces("write sensor job to file \"" + path + "\"\n", 6), 1);
    EXPECT_EQ(traceCalls().at(0).function, "sjob_DOMTree2SensorJobFile");
    EXPECT_EQ(listDir(dir.path).size(), 1u);

    clearTraces();
    Handle h;
    EXPECT_EQ(sjob_SensorJobFile2DOMTree(path.c_str(), h.p), 0);
    EXPECT_EQ(dumpJob(h.p), "job[version=1,job_id=7,date=2000-01-01T00:00:10+0000,job_type=2,contained_samples=0,"
                            "max_samples=3]");
    ASSERT_EQ(traceCalls().size(), 1u);
    EXPECT_EQ(traceCalls()[0].message, "read sensor job from file \"" + path + "\" (36 bytes)\n");
    EXPECT_EQ(traceCalls()[0].level, 6);
    EXPECT_EQ(traceCalls()[0].function, "sjob_SensorJobFile2DOMTree");
    EXPECT_EQ(traceCalls()[0].file, "../sensor2xml/xmljob.cpp");
}

TEST_F(SensorJobFile, OddMessageGetsAFillByte)
{
    std::string path = dir.file("odd");
    /* 30 + a sample of 17 bytes: 47, odd */
    ASSERT_EQ(writeJob("<job version=\"1\" job_id=\"7\" date=\"2000-01-01T00:00:10\" job_type=\"2\" max_samples=\"3\">"
                       "<sample sample_id=\"s\" date=\"2000-01-01T00:00:00\"/></job>",
                       path),
              0);
    Bytes f = readFile(path);
    ASSERT_EQ(f.size(), 54u);
    EXPECT_EQ(toHex(f.data(), 4), "0D 00 1B 00");
    EXPECT_EQ(f[4 + 47 - 2], 0xFF); /* the message's last end marker */
    EXPECT_EQ(f[4 + 47], 0x00);     /* fill */
    EXPECT_EQ(crc(f), 0);
    /* even: no fill */
    ASSERT_EQ(writeJob(kJob30, path), 0);
    EXPECT_EQ(readFile(path).size(), 36u);
}

TEST_F(SensorJobFile, CrcAndHeaderAreNotChecks)
{
    std::string path = dir.file("f");
    Bytes f = hex(kFile36);
    f[35] ^= 0x01;
    writeFile(path, f);
    Handle h;
    EXPECT_EQ(sjob_SensorJobFile2DOMTree(path.c_str(), h.p), 0);
    EXPECT_EQ(countTraces("calculateProbeDrvCRC() - crc error\n", 2), 1);
    ASSERT_NE(h->root->children, nullptr);

    /* other header values, CRC covering them: read like any other */
    clearTraces();
    f = hex(kFile36);
    f[0] = 1, f[1] = 2, f[2] = 0xFF, f[3] = 0xFF;
    fixCrc(f);
    writeFile(path, f);
    EXPECT_EQ(sjob_SensorJobFile2DOMTree(path.c_str(), h.p), 0);
    EXPECT_EQ(countTraces("calculateProbeDrvCRC() - crc error\n"), 0);

    /* null handle: still read, then the decoder's answer */
    clearTraces();
    EXPECT_EQ(sjob_SensorJobFile2DOMTree(path.c_str(), nullptr), -99);
    EXPECT_EQ(countTraces("no parser\n", 2), 1);
}

TEST_F(SensorJobFile, ReadFailures)
{
    Handle h;
    std::string missing = dir.file("missing");
    EXPECT_EQ(sjob_SensorJobFile2DOMTree(missing.c_str(), h.p), SJOB_FILE_ERROR);
    EXPECT_EQ(countTraces("cannot read file \"" + missing + "\"\n", 2), 1);
    clearTraces();
    EXPECT_EQ(sjob_SensorJobFile2DOMTree(dir.path.c_str(), h.p), SJOB_FILE_ERROR);
    EXPECT_EQ(countTraces("cannot read file \"" + dir.path + "\"\n", 2), 1);
    EXPECT_EQ(sjob_SensorJobFile2DOMTree(nullptr, h.p), SJOB_FILE_ERROR);

    std::string path = dir.file("short");
    const Bytes whole = hex(kFile36);
    for (size_t n : {0u, 3u, 5u}) {
        clearTraces();
        writeFile(path, Bytes(whole.begin(), whole.begin() + static_cast<long>(n)));
        EXPECT_EQ(sjob_SensorJobFile2DOMTree(path.c_str(), h.p), SJOB_SHORT_FILE) << n;
        EXPECT_EQ(countTraces("sensor job file \"" + path + "\" too short (" + std::to_string(n) + " bytes)\n", 2), 1);
    }

    /* a message that ends before its last end marker: the CRC trailer is
       not taken for message bytes */
    Bytes f = hex(kFile36);
    f.erase(f.begin() + 32, f.begin() + 34); /* drop the job's FF 00 */
    f[2] = static_cast<uint8_t>(f.size() / 2);
    fixCrc(f);
    writeFile(path, f);
    clearTraces();
    EXPECT_EQ(sjob_SensorJobFile2DOMTree(path.c_str(), h.p), SJOB_TRUNCATED);
    EXPECT_EQ(countTraces("message truncated at byte 28 of 28\n", 2), 1);
    /* header and trailer only */
    f = hex("0D 00 03 00 00 00");
    fixCrc(f);
    writeFile(path, f);
    EXPECT_EQ(sjob_SensorJobFile2DOMTree(path.c_str(), h.p), SJOB_TRUNCATED);
}

TEST_F(SensorJobFile, LargestMessage)
{
    /* one sample with a sample_id of L characters gives L + 48 bytes */
    auto xml = [](size_t idLen) {
        return "<job job_id=\"1\" date=\"2000-01-01T00:00:00\" job_type=\"1\" max_samples=\"1\"><sample sample_id=\"" +
               std::string(idLen, 'i') + "\" date=\"2000-01-01T00:00:00\"/></job>";
    };
    std::string path = dir.file("big");
    ASSERT_EQ(writeJob(xml(1992), path), 0);
    Bytes f = readFile(path);
    EXPECT_EQ(f.size(), 2046u);
    EXPECT_EQ(toHex(f.data(), 4), "0D 00 FF 03");
    EXPECT_EQ(crc(f), 0);

    clearTraces();
    EXPECT_EQ(writeJob(xml(1993), path), -1);
    EXPECT_EQ(countTraces("buffer too small (2042/2041)\n", 2), 1);
    EXPECT_EQ(traceCalls().size(), 1u);
    EXPECT_EQ(readFile(path), f);
    EXPECT_EQ(listDir(dir.path).size(), 1u);
}

TEST_F(SensorJobFile, WriteFailuresLeaveTheOldFile)
{
    EXPECT_EQ(sjob_DOMTree2SensorJobFile(dir.file("x").c_str(), nullptr), -1);
    EXPECT_EQ(countTraces("no parser\n", 2), 1);

    std::string path = dir.file("job");
    writeFile(path, hex("01 02 03"));
    clearTraces();
    EXPECT_EQ(writeJob("<job job_id=\"1\"/>", path), -1); /* encoder fails */
    EXPECT_EQ(countTraces("missing max_samples\n", 2), 1);
    EXPECT_EQ(toHex(readFile(path)), "01 02 03");

    std::string nowhere = dir.file("no/such/dir");
    clearTraces();
    EXPECT_EQ(writeJob(kJob30, nowhere), -1);
    EXPECT_EQ(countTraces("cannot write file \"" + nowhere + "\"\n", 2), 1);

    /* renaming over a directory fails after the temporary file is written */
    std::string sub = dir.file("sub");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    clearTraces();
    EXPECT_EQ(writeJob(kJob30, sub), -1);
    EXPECT_EQ(countTraces("cannot write file \"" + sub + "\"\n", 2), 1);
    struct stat st;
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(listDir(dir.path).size(), 2u); /* job and sub, no temporary */
    EXPECT_EQ(toHex(readFile(path)), "01 02 03");
}

TEST_F(SensorJobFile, ReplacesAtomicallyKeepingTheMode)
{
    std::string path = dir.file("job");
    writeFile(path, Bytes(100, 0xEE));
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(writeJob(kJob30, path), 0);
    EXPECT_EQ(toHex(readFile(path)), toHex(hex(kFile36)));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"job"});

    /* a new file gets 0666 less the umask, as a plain open would give */
    mode_t old = umask(027);
    std::string fresh = dir.file("fresh");
    EXPECT_EQ(writeJob(kJob30, fresh), 0);
    umask(old);
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

} // namespace
