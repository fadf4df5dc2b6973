/*
 * Regression tests for what the fuzzers and the crash-safety runs found:
 * leftovers of killed sensor job and job file writers, and the corner cases of
 * the round trips that the fuzz targets had to learn.
 */
#include <sys/wait.h>

#include "test_jobapi_util.h"
#include "xmljobhandler/jobapi_internal.h"

namespace {

qrx_Parser *treeOf(const std::string &text, int *result = nullptr)
{
    qrx_Parser *h = nullptr;
    qrx_init(&h, 4);
    FILE *fp = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    const int r = qrx_BuildDOMTree(h, fp);
    fclose(fp);
    if (result)
        *result = r;
    return h;
}

std::vector<uint8_t> encoded(qrx_Parser *h)
{
    uint8_t buf[2048];
    uint32_t len = sizeof buf;
    uint8_t *msg = nullptr;
    EXPECT_EQ(sjob_DOMTree2Message(buf, &len, &msg, h), 0);
    return msg ? std::vector<uint8_t>(msg, msg + len) : std::vector<uint8_t>();
}

pid_t deadPid()
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

} // namespace

/* Both writers clear the temporaries of writers that died before their
   rename, and nothing else: not a live writer's, not a name that only
   starts like one, not a link. */
TEST(Regress, WritersClearOnlyTemporariesOfDeadWriters)
{
    const std::string dead = ".jobapi-" + std::to_string(deadPid()) + "-";
    const std::string kept[] = {".jobapi-" + std::to_string(getpid()) + "-Ef34Gh", dead + "Ab12Cd-notes.txt",
                                dead + "Ab12C", "job.bin.tmp" + dead.substr(8) + "0", ".jobapi-X-Ab12Cd"};
    for (int writer = 0; writer < 2; ++writer) {
        TempDir dir;
        std::set<std::string> expected(std::begin(kept), std::end(kept));
        for (const std::string &name : kept)
            writeFile(dir.file(name), "partial");
        writeFile(dir.file(dead + "Zz99Yy"), "partial");
        writeFile(dir.file("target"), "<job/>");
        ASSERT_EQ(symlink("target", dir.file(dead + "Link00").c_str()), 0);
        expected.insert({dead + "Link00", "target", "job.bin"});
        if (writer == 0) {
            qrx_Parser *h = treeOf(sampleJob());
            ASSERT_EQ(sjob_DOMTree2SensorJobFile(dir.file("job.bin").c_str(), h), 0);
            qrx_deinit(&h);
        } else {
            ASSERT_EQ(jobapi_copyFileReplacing(dir.file("target").c_str(), dir.file("job.bin").c_str()), 0);
        }
        EXPECT_EQ(dir.entries(), expected) << "writer " << writer;
    }
}

/* Sensor data whose text decodes to no byte travels as an empty field,
   comes back as an empty attribute and is then left out: the round trip
   reaches its fixed point one step later. */
TEST(Regress, SensorDataWithoutBytesTravelsAsEmptyField)
{
    setTimeZone("UTC");
    qrx_Parser *h = treeOf("<job job_id=\"5\" date=\"2020-01-01T00:00:00\" job_type=\"1\" max_samples=\"2\">"
                           "<sample date=\"2020-01-01T08:30:00\" sensordata=\"!\"/></job>");
    const std::vector<uint8_t> m1 = encoded(h);
    const std::vector<uint8_t> sample = {0x40, 0x0E, 0x01, 0x04, 0x25, 0x9F, 0x15, 0x08, 0x02,
                                         0x00, 0x03, 0x02, 0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00};
    ASSERT_GE(m1.size(), sample.size());
    EXPECT_TRUE(std::equal(sample.begin(), sample.end(), m1.end() - sample.size()));
    ASSERT_EQ(sjob_Message2DOMTreeN(m1.data(), static_cast<uint32_t>(m1.size()), h), 0);
    EXPECT_STREQ(qrx_GetAttribute("sensordata", nullptr, h->root->children->children, nullptr), "");
    const std::vector<uint8_t> m2 = encoded(h);
    EXPECT_EQ(m2.size(), m1.size() - 2);
    ASSERT_EQ(sjob_Message2DOMTreeN(m2.data(), static_cast<uint32_t>(m2.size()), h), 0);
    EXPECT_EQ(encoded(h), m2);
    qrx_deinit(&h);
}

/* Cases the read-print-read fuzzer met at the edge of the writer's limits. */
TEST(Regress, WriterOutputsThatDoNotReadBack)
{
    struct Case {
        const char *input;
        int reread;
    } cases[] = {
        /* no element (an unfinished end tag at the end is let pass): the
           declaration alone reads as an unended text */
        {"<?pi ?>text</x\n", -13},
        /* "<??" makes an element named "?p", which prints as an instruction */
        {"<??p i><b/></?p>", -14},
    };
    for (const Case &c : cases) {
        int r = 1;
        qrx_Parser *h = treeOf(c.input, &r);
        ASSERT_EQ(r, 0) << c.input;
        char *buf = nullptr;
        size_t len = 0;
        FILE *fp = open_memstream(&buf, &len);
        qrx_PrintDOMTree(h, fp);
        fclose(fp);
        qrx_deinit(&h);
        h = treeOf(std::string(buf, len), &r);
        EXPECT_EQ(r, c.reread) << c.input;
        qrx_deinit(&h);
        free(buf);
    }
}
