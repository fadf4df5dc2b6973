/* Merging a new job (News) into the stored one (Base). */
#include <algorithm>

#include "mergeplan.h"
#include "testkit.h"

/* Between the merge's look at News and its removal: gNewer is renamed to
   gNews before the merge moves or deletes it, gThird before it puts a
   file back there (each when not empty). */
static std::string gNews, gNewer, gThird;

template <typename F> static F *steered(std::string *file, const char *at, const char *name)
{
    if (!file->empty() && at && gNews == at) {
        libcFunction<int(const char *, const char *)>("rename")(file->c_str(), at);
        file->clear();
    }
    return libcFunction<F>(name);
}
extern "C" int unlink(const char *p) { return steered<int(const char *)>(&gNewer, p, "unlink")(p); }
extern "C" int rename(const char *a, const char *b)
{
    return steered<int(const char *, const char *)>(&gNewer, a, "rename")(a, b);
}
extern "C" int renameat2(int fa, const char *a, int fb, const char *b, unsigned flags)
{
    return steered<int(int, const char *, int, const char *, unsigned)>(&gThird, b, "renameat2")(fa, a, fb, b,
                                                                                                 flags);
}

static int failureTraces()
{
    return static_cast<int>(std::count_if(traceCalls().begin(), traceCalls().end(),
                                          [](const TraceCall &c) { return c.level == 2; }));
}

struct MergeDir : TempDir {
    const std::string base = file("base.xml"), news = file("news.xml");
    int merge() { return mergeJobFile(base.c_str(), news.c_str()); }
};

static std::string withJob(const std::string &a) { return "<job " + a + "><sample number=\"0\"/></job>"; }

/* Samples 2 (no index 0) and 4 (after the gap) are dropped. */
TEST(JobMerge, NewsOverBase)
{
    MergeDir d;
    writeFile(d.base, testData("job_merge_base.xml"));
    writeFile(d.news, testData("job_merge_news.xml"));
    EXPECT_EQ(d.merge(), 6);
    EXPECT_EQ(readFile(d.base), testData("job_merge_merged.xml"));
    EXPECT_EQ(d.entries(), std::set<std::string>{"base.xml"});
    EXPECT_EQ(countTraces("mergeJobFile() - DO NOT delete file \"" + d.news + "\"\n", 6), 1);
    writeFile(d.base, withJob("a=\"1\""));
    writeFile(d.news, withJob("b=\"2\"")); /* nothing measured: merged all the same */
    EXPECT_EQ(d.merge(), 0);
    EXPECT_NE(readFile(d.base).find("a=\"1\" b=\"2\""), std::string::npos);
}

TEST(JobMerge, ShortCuts)
{
    MergeDir d;
    writeFile(d.news, testData("job_merge_news.xml"));
    clearTraces();
    EXPECT_EQ(d.merge(), 0); /* no Base: News becomes Base, a first delivery */
    EXPECT_EQ(failureTraces(), 0);
    EXPECT_EQ(readFile(d.base), testData("job_merge_news.xml"));
    writeFile(d.news, withJob("job_handling=\"256\" job_type=\"32\""));
    EXPECT_EQ(d.merge(), 0); /* kill wins over singleton; News stays */
    EXPECT_EQ(d.entries(), std::set<std::string>{"news.xml"});
    EXPECT_EQ(traceCalls().back().message, "mergeJobFile() - kill job (" + d.base + ")\n");
    writeFile(d.base, testData("job_merge_base.xml"));
    writeFile(d.news, withJob("job_type=\"33\""));
    EXPECT_EQ(d.merge(), 0); /* singleton: Base becomes a copy of News */
    EXPECT_EQ(readFile(d.base), withJob("job_type=\"33\""));
    EXPECT_EQ(traceCalls().back().message, "mergeJobFile() - JOBTYPE_PROP_SINGLETON (cp -f \"" + d.news +
                                               "\" \"" + d.base + "\") returned 0\n");
    struct stat st {};
    EXPECT_EQ(stat(d.base.c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0666u);
    EXPECT_EQ(d.entries(), std::set<std::string>{"base.xml"});
}

TEST(JobMerge, FailuresKeepBaseAndNews)
{
    alarm(20); /* a FIFO opened for reading would block */
    MergeDir d;
    EXPECT_EQ(d.merge(), MERGE_NEWS_UNREADABLE);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(countTraces("mergeJobFile() - cannot read News \"" + d.news + "\"\n", 2), 1);
    EXPECT_EQ(mergeJobFile(nullptr, d.news.c_str()), MERGE_NEWS_UNREADABLE);
    EXPECT_EQ(mergeJobFile(d.base.c_str(), nullptr), MERGE_NEWS_UNREADABLE);
    const std::string base = testData("job_merge_base.xml"), news = testData("job_merge_news.xml");
    writeFile(d.news, news);
    const std::string nowhere = d.file("none/base.xml");
    clearTraces();
    EXPECT_EQ(mergeJobFile(nowhere.c_str(), d.news.c_str()), MERGE_COPY_FAILED);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(traceCalls().back().message,
              "mergeJobFile() - failed cp \"" + d.news + "\" \"" + nowhere + "\"\n");
    EXPECT_EQ(failureTraces(), 1); /* a missing directory is no lock failure */
    ASSERT_EQ(mkfifo(d.file("fifo.xml").c_str(), 0666), 0);
    ASSERT_EQ(mkdir(d.file("dir.xml").c_str(), 0777), 0);
    for (const char *odd : {"fifo.xml", "dir.xml"}) {
        EXPECT_EQ(mergeJobFile(d.file(odd).c_str(), d.news.c_str()), MERGE_BASE_UNREADABLE) << odd;
        EXPECT_EQ(mergeJobFile(d.news.c_str(), d.file(odd).c_str()), MERGE_NEWS_UNREADABLE) << odd;
    }
    for (const auto &[b, n] :
         {std::pair{base, std::string("<job><sample>")}, {"<job><sample number=\"0\">", news}}) {
        writeFile(d.base, b);
        writeFile(d.news, n);
        EXPECT_EQ(d.merge(), QRX_UNCLOSED) << n;
        EXPECT_EQ(errno, 0); /* the content's fault */
        EXPECT_EQ(readFile(d.base), b);
        EXPECT_EQ(readFile(d.news), n);
    }
    EXPECT_EQ(d.entries(), (std::set<std::string>{"base.xml", "dir.xml", "fifo.xml", "news.xml"}));
}

/* However the paths are spelled, nothing is read, written or deleted. */
TEST(JobMerge, RefusesOneFileGivenTwice)
{
    MergeDir d;
    writeFile(d.base, sampleJob());
    ASSERT_EQ(link(d.base.c_str(), d.file("hard.xml").c_str()), 0);
    ASSERT_EQ(symlink("base.xml", d.news.c_str()), 0);
    for (const std::string &other : {d.base, d.path() + "/./base.xml", d.file("hard.xml"), d.news}) {
        EXPECT_EQ(mergeJobFile(d.base.c_str(), other.c_str()), MERGE_SAME_FILE) << other;
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(countTraces("mergeJobFile() - Base and News are the same file\n", 2), 4);
    EXPECT_EQ(readFile(d.base), sampleJob());
}

/* A newer News put in place at the moment of removal survives; one whose
   place is taken again stays where the level-2 trace says. */
TEST(JobMerge, ANewerNewsIsNeverDeleted)
{
    const std::string news = replaced(sampleJob(), "max_samples=\"5\"", "max_samples=\"6\"");
    const std::string newer = replaced(sampleJob(), "max_samples=\"5\"", "max_samples=\"7\"");
    const std::string third = replaced(sampleJob(), "max_samples=\"5\"", "max_samples=\"8\"");
    for (bool again : {false, true}) {
        MergeDir d;
        writeFile(d.base, sampleJob());
        writeFile(d.news, news);
        writeFile(gNewer = d.file("newer.xml"), newer);
        writeFile(gThird = again ? d.file("third.xml") : "", third);
        gNews = d.news;
        clearTraces();
        EXPECT_EQ(d.merge(), 5) << again;
        gNews.clear();
        EXPECT_EQ(readFile(d.news), again ? third : newer);
        EXPECT_EQ(d.entries().size(), again ? 3u : 2u);
        EXPECT_NE(readFile(d.base).find("max_samples=\"6\""), std::string::npos); /* the News read */
        if (!again) {
            EXPECT_EQ(countTraces("mergeJobFile() - \"" + d.news + "\" changed meanwhile, kept\n", 6), 1);
            continue;
        }
        const std::string trace = traceCalls().back().message, mark = "kept as \"";
        ASSERT_EQ(traceCalls().back().level, 2);
        const size_t at = trace.find(mark) + mark.size();
        EXPECT_EQ(readFile(trace.substr(at, trace.size() - at - 2)), newer) << trace;
    }
}

using tandel::MergePlan;

/* What the plan tells: "number/index P.. L..;" per merged place, each
   measurement from B (Base) or N (News), B+N: Base's with News' text,
   open: reset; then "-number/index" per entered result not kept. */
static std::string told(const MergePlan &plan)
{
    std::string s;
    for (const MergePlan::Sample &sample : plan.samples)
        for (const MergePlan::Place &at : sample.places) {
            s += std::to_string(sample.number) + "/" + std::to_string(at.index);
            if (at.process())
                s += " P" + std::string(at.baseProcess ? "B" : "N") + (at.processTextFromNews() ? "+N" : "");
            if (at.lab())
                s += " L" + std::string(at.newsLab ? "N" : "B") + (at.labReopened() ? " open" : "");
            s += ";";
        }
    for (const MergePlan::Replaced &r : plan.replaced)
        s += std::string("-") + findAttribute(r.sample, "number")->value + "/" +
             findAttribute(r.lab, "index")->value;
    return s;
}

/* The plan of each pair is what mergeJobFile then does: its action and
   result, where each measurement comes from (the merge of the first pair
   is JobMerge.NewsOverBase's file), and the entered results of Base that
   it does not keep. Two jobs are never merged,
   killed or copied into each other (job_ids read as numbers); a refusal
   changes no file. */
TEST(MergePlan, IsTheMergePerformed)
{
    using Action = MergePlan::Action;
    const std::string base = testData("job_merge_base.xml"), news = testData("job_merge_news.xml");
    const std::string job = sampleJob(), reopened = replaced(job, "done=\"1\"", "done=\"0\"");
    const std::string gap = replaced(job, "number=\"1\"", "number=\"3\""), j42 = withJob("job_id=\"42\"");
    const std::string copy = replaced(job, "job_type=\"1\"", "job_type=\"33\"");
    const std::string copyReopened = replaced(copy, "done=\"1\"", "done=\"0\"");
    const struct {
        std::string base, news;
        Action action;
        int result;
        const char *told;
    } cases[] = {
        {base, news, Action::Merge, 6, "0/0 PB+N LN;0/1 PB LB open;1/0 PB LB;-0/0"}, /* lab brought open */
        {news, base, Action::Merge, 6, "0/0 PB+N LN;0/1 PN LN open;1/0 PN LN;"},
        {job, job, Action::Merge, 5, "0/0 PB+N LN;0/1 PB+N LN;1/0 LN;"}, /* the same result: kept */
        {job, reopened, Action::Merge, 5, "0/0 PB+N LN;0/1 PB+N LN;1/0 LN;-1/0"},
        {gap, gap, Action::Merge, 4, "0/0 PB+N LN;0/1 PB+N LN;-3/0"}, /* after a gap: dropped */
        {job, copy, Action::Copy, 0, ""},
        {job, copyReopened, Action::Copy, 0, "-1/0"},
        {job, replaced(copyReopened, "job_handling=\"32\"", "job_handling=\"288\""), Action::Kill, 0, ""},
        {j42, withJob("job_id=\"43\""), Action::Refuse, MERGE_OTHER_JOB, ""},
        {j42, withJob("job_id=\"43\" job_handling=\"256\""), Action::Refuse, MERGE_OTHER_JOB, ""},
        {j42, withJob("job_id=\"43\" job_type=\"32\""), Action::Refuse, MERGE_OTHER_JOB, ""},
        {j42, withJob("job_id=\"042\""), Action::Merge, 0, ""},
        {withJob("a=\"1\""), withJob("job_id=\"43\""), Action::Merge, 0, ""},
        {j42, withJob("b=\"2\""), Action::Merge, 0, ""},
        {"<other/>", job, Action::Refuse, MERGE_COPY_FAILED, ""},
        {base, "<x><job/></x>", Action::Refuse, MERGE_COPY_FAILED, ""}, /* job not at the top */
    };
    for (const auto &c : cases) {
        Handle hb, hn;
        ASSERT_EQ(buildFrom(hb.p, c.base), 0);
        ASSERT_EQ(buildFrom(hn.p, c.news), 0);
        const MergePlan plan = tandel::planMerge(false, hb->root, hn->root);
        EXPECT_EQ(plan.action, c.action) << c.news;
        EXPECT_EQ(told(plan), c.told) << c.news;
        EXPECT_EQ(plan.measurements(), c.action == Action::Merge ? c.result : 0) << c.news;
        MergeDir d;
        writeFile(d.base, c.base);
        writeFile(d.news, c.news);
        clearTraces();
        EXPECT_EQ(d.merge(), c.result) << c.news;
        if (c.action == Action::Refuse) {
            EXPECT_EQ(errno, c.result == MERGE_OTHER_JOB ? EINVAL : 0) << c.news;
            EXPECT_EQ(readFile(d.base), c.base);
            EXPECT_EQ(readFile(d.news), c.news);
            EXPECT_EQ(countTraces("mergeJobFile() - Base is job 42, News job 43: not merged\n", 2),
                      c.result == MERGE_OTHER_JOB ? 1 : 0);
        }
    }
}
