/*
 * Hostile paths: blanks, quotes, "$(...)", backquotes, shell operators and
 * very long names are plain names to every operation that takes a path.
 * A command that a shell would run creates a marker file; none may appear.
 */
#include "testkit.h"

namespace {

/* Each name, if handed to a shell, would create "pwned" in the cwd or in
   the test directory. */
const std::vector<std::string> &hostileNames()
{
    static const std::vector<std::string> names = {
        "with blanks  and\ttab", "quote'single",        "quote\"double",        "$(touch pwned)",
        "`touch pwned`",         "a;touch pwned;b",     "x|touch pwned&&y>z<w", "-rf --no-preserve-root",
        "*?[!]{a,b}~#%^\\",      std::string(200, 'L'),
    };
    return names;
}

class HostilePaths : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        setTimeZone("UTC");
        ASSERT_FALSE(root_.path().empty());
        char cwd[4096];
        ASSERT_TRUE(getcwd(cwd, sizeof cwd));
        cwd_ = cwd;
        ASSERT_EQ(chdir(root_.path().c_str()), 0); /* "pwned" would land here */
        /* A long directory chain on top of the name: more than 1000 characters. */
        dir_ = root_.path() + "/" + GetParam();
        ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0) << dir_;
        for (int i = 0; i < 4; ++i) {
            dir_ += "/" + std::string(240, static_cast<char>('a' + i)) + " $(touch pwned)";
            ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
        }
        ASSERT_GT(dir_.size(), 1000u);
    }
    void TearDown() override
    {
        EXPECT_FALSE(exists(root_.file("pwned")));
        EXPECT_FALSE(exists(dir_ + "/pwned"));
        EXPECT_EQ(chdir(cwd_.c_str()), 0);
    }
    std::string file(const std::string &suffix) const { return dir_ + "/" + GetParam() + suffix; }
    TempDir root_;
    std::string cwd_, dir_;
};

} // namespace

TEST_P(HostilePaths, EveryPathOperationTakesTheNameAsItStands)
{
    const std::string job = file(".xml"), news = file(" news.xml"), bin = file(".bin");
    writeFile(job, sampleJob());

    /* Sensor job file: write and read back. */
    qrx_Parser *h = nullptr;
    ASSERT_EQ(qrx_init(&h, 4), 0);
    FILE *fp = fopen(job.c_str(), "r");
    ASSERT_TRUE(fp);
    ASSERT_EQ(qrx_BuildDOMTree(h, fp), 0);
    fclose(fp);
    EXPECT_EQ(sjob_DOMTree2SensorJobFile(bin.c_str(), h), 0);
    EXPECT_EQ(sjob_SensorJobFile2DOMTree(bin.c_str(), h), 0);
    qrx_deinit(&h);

    /* Listing, by directory and by file name. */
    JobDescrList *jobs = nullptr;
    ASSERT_EQ(createJobDescrList(dir_.c_str(), nullptr, &jobs), 1);
    EXPECT_EQ(std::string(jobs->items[0]->filePath), job);
    removeJobDescrList(&jobs);
    ASSERT_EQ(createJobDescrList(dir_.c_str(), (GetParam() + ".xml").c_str(), &jobs), 1);

    /* Requests, then a result in and out again. */
    MeasurementRequestList *requests = nullptr;
    ASSERT_EQ(qrx_init(&h, 4), 0);
    ASSERT_EQ(createMeasurementRequestList(h, jobs, 0, &requests), 3);
    qrx_deinit(&h);
    MeasurementRequest rq = *requests->items[1];
    rq.labValue = 4.5f;
    rq.labTime = 1600000000u;
    EXPECT_EQ(addMeasurementResult(job.c_str(), &rq), 0);
    EXPECT_NE(readFile(job).find("4.500000"), std::string::npos);
    EXPECT_EQ(removeMeasurementResult(job.c_str(), &rq), 0);
    removeMeasurementRequestList(&requests);
    removeJobDescrList(&jobs);

    /* Merge, the copy short-cut, the kill short-cut and a missing Base. */
    writeFile(news, sampleJob());
    EXPECT_GT(mergeJobFile(job.c_str(), news.c_str()), 0);
    EXPECT_FALSE(exists(news));
    const std::string single = replaced(sampleJob(), "job_type=\"1\"", "job_type=\"33\"");
    writeFile(news, single);
    EXPECT_EQ(mergeJobFile(job.c_str(), news.c_str()), 0);
    EXPECT_EQ(readFile(job), single);
    writeFile(news, replaced(sampleJob(), "job_handling=\"32\"", "job_handling=\"288\""));
    EXPECT_EQ(mergeJobFile(job.c_str(), news.c_str()), 0);
    EXPECT_FALSE(exists(job));
    writeFile(news, sampleJob());
    EXPECT_EQ(mergeJobFile(job.c_str(), news.c_str()), 0);
    EXPECT_EQ(readFile(job), sampleJob());
    EXPECT_FALSE(exists(news));

    /* Only the files the operations made are there. */
    EXPECT_EQ(entriesOf(dir_), (std::set<std::string>{GetParam() + ".xml", GetParam() + ".bin"}));
}

INSTANTIATE_TEST_SUITE_P(Names, HostilePaths, ::testing::ValuesIn(hostileNames()));
