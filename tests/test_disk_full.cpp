/*
 * Disk full: every writer on a full file system reports its failure code
 * and leaves the old file as it was, with no temporary file behind. Uses
 * a small tmpfs mounted for the test (root only; skipped otherwise).
 */
#include <fcntl.h>
#include <sys/mount.h>

#include "testkit.h"

namespace {

class DiskFull : public ::testing::Test {
protected:
    void SetUp() override
    {
        setTimeZone("UTC");
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to mount a small file system";
        mnt_ = dir_.file("mnt");
        ASSERT_EQ(mkdir(mnt_.c_str(), 0755), 0);
        if (mount("tandel-full", mnt_.c_str(), "tmpfs", 0, "size=128k,mode=0755") != 0)
            GTEST_SKIP() << "cannot mount tmpfs: " << std::strerror(errno);
        mounted_ = true;
    }
    void TearDown() override
    {
        if (mounted_)
            umount2(mnt_.c_str(), MNT_DETACH);
    }
    /* Takes every free block; what was written before stays readable. */
    void fill()
    {
        int fd = open((mnt_ + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        char block[4096] = {};
        while (write(fd, block, sizeof block) > 0) {}
        while (write(fd, block, 1) > 0) {}
        close(fd);
    }
    std::set<std::string> entries() const { return entriesOf(mnt_); }
    TempDir dir_;
    std::string mnt_;
    bool mounted_ = false;
};

} // namespace

TEST_F(DiskFull, WritersFailAndKeepTheOldFile)
{
    const std::string job = mnt_ + "/job.xml", news = mnt_ + "/news.xml", bin = mnt_ + "/job.bin";
    writeFile(job, sampleJob());
    writeFile(news, replaced(sampleJob(), "> -1.0 </lab_measurement>", "> 8.000000 </lab_measurement>"));
    qrx_Parser *h = nullptr;
    ASSERT_EQ(qrx_init(&h, 4), 0);
    FILE *fp = fopen(job.c_str(), "r");
    ASSERT_EQ(qrx_BuildDOMTree(h, fp), 0);
    fclose(fp);
    ASSERT_EQ(sjob_DOMTree2SensorJobFile(bin.c_str(), h), 0);
    const std::string oldBin = readFile(bin);
    fill();
    const std::set<std::string> before = entries();

    /* A different job, so that a write would change the file. */
    qrx_AddAttribute("job_id", "77", h->root->children);
    EXPECT_EQ(sjob_DOMTree2SensorJobFile(bin.c_str(), h), -1);
    EXPECT_EQ(readFile(bin), oldBin);

    MeasurementRequest rq{};
    rq.totalIndex = 1;
    rq.labValue = 2.5f;
    rq.labTime = 1600000000u;
    EXPECT_EQ(addMeasurementResult(job.c_str(), &rq), -6);
    EXPECT_EQ(readFile(job), sampleJob());
    rq.totalIndex = 2;
    EXPECT_EQ(removeMeasurementResult(job.c_str(), &rq), -6);
    EXPECT_EQ(readFile(job), sampleJob());

    EXPECT_EQ(mergeJobFile(job.c_str(), news.c_str()), -6);
    EXPECT_EQ(readFile(job), sampleJob());
    EXPECT_TRUE(exists(news)) << "News must stay when Base cannot be written";

    EXPECT_EQ(entries(), before) << "a temporary file was left";

    /* Listing needs no room. */
    JobDescrList *list = nullptr;
    EXPECT_EQ(createJobDescrList_Ex(mnt_.c_str(), nullptr, &list, 1), 2);
    removeJobDescrList(&list);
    qrx_deinit(&h);
}

TEST_F(DiskFull, CopyShortCutFailsAndKeepsBase)
{
    const std::string job = mnt_ + "/job.xml", news = mnt_ + "/news.xml";
    writeFile(job, sampleJob());
    const std::string single = replaced(sampleJob(), "job_type=\"1\"", "job_type=\"33\"");
    writeFile(news, single + std::string(8192, ' ')); /* larger than any free block */
    fill();
    const std::set<std::string> before = entries();
    EXPECT_EQ(mergeJobFile(job.c_str(), news.c_str()), -2);
    EXPECT_EQ(readFile(job), sampleJob());
    EXPECT_TRUE(exists(news));
    EXPECT_EQ(entries(), before);
}
