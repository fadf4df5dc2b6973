/* Merging a newly received job (News) into the stored one (Base): the
   merged document byte for byte, the short-cuts, the failure codes and
   paths that a shell would have misread. */
#include "testkit.h"

namespace {

const std::string kBase = doc({
    "<job job_id=\"5\" job_type=\"1\" job_handling=\"0\" date=\"2020-01-01T00:00:00+0000\" "
    "contained_samples=\"3\">",
    "\t<instrument i=\"b\"/>",
    "\t<controller c=\"b\"/>",
    "\t<sensor s=\"b\" name=\"base\"> text </sensor>",
    "\t<user name=\"Ann\"/>",
    "\t<comment/>",
    "\t<sample number=\"0\" x=\"base\">",
    "\t\t<process_measurement index=\"0\" parameter=\"pH\" display_format=\"386\"> 7.000000 "
    "</process_measurement>",
    "\t\t<lab_measurement index=\"0\" done=\"1\" lab_unit=\"mg\"> 7.100000 </lab_measurement>",
    "\t\t<process_measurement index=\"1\" parameter=\"T\"> 20.000000 </process_measurement>",
    "\t\t<lab_measurement index=\"1\" done=\"4\"> 3.000000 </lab_measurement>",
    "\t</sample>",
    "\t<sample number=\"1\" x=\"base1\">",
    "\t\t<process_measurement index=\"0\" parameter=\"O2\"> 8.000000 </process_measurement>",
    "\t\t<lab_measurement index=\"0\" done=\"68\"> 2.000000 </lab_measurement>",
    "\t</sample>",
    "\t<sample number=\"2\">",
    "\t\t<process_measurement index=\"1\"/>",
    "\t</sample>",
    "\t<sample number=\"4\">",
    "\t\t<process_measurement index=\"0\"/>",
    "\t</sample>",
    "</job>",
});

const std::string kNews = doc({
    "<job job_id=\"5\" job_type=\"1\" job_handling=\"0\" date=\"2020-02-01T00:00:00+0000\" "
    "requested_samples=\"3\">",
    "\t<controller c=\"n\" extra=\"1\"/>",
    "\t<sensor s=\"n\"/>",
    "\t<sample number=\"0\" x=\"news\">",
    "\t\t<process_measurement index=\"0\" parameter=\"pH2\"> 7.500000 </process_measurement>",
    "\t\t<lab_measurement index=\"0\" done=\"0\"> -1.0 </lab_measurement>",
    "\t</sample>",
    "</job>",
});

/* News over Base; samples 2 (no index 0) and 4 (after the gap) dropped. */
const std::string kMerged = doc({
    "<job job_id=\"5\" job_type=\"1\" job_handling=\"0\" date=\"2020-02-01T00:00:00+0000\" "
    "contained_samples=\"2\" "
    "requested_samples=\"3\">",
    "\t<sensor s=\"n\" name=\"base\"/>",
    "\t<controller c=\"n\" extra=\"1\"/>",
    "\t<user name=\"Ann\"/>",
    "\t<instrument i=\"b\"/>",
    "\t<sample number=\"0\" x=\"news\">",
    "\t\t<process_measurement index=\"0\" parameter=\"pH\" display_format=\"386\"> 7.500000 "
    "</process_measurement>",
    "\t\t<lab_measurement index=\"0\" done=\"0\"> -1.0 </lab_measurement>",
    "\t\t<process_measurement index=\"1\" parameter=\"T\"> 20.000000 </process_measurement>",
    "\t\t<lab_measurement index=\"1\" done=\"0\"> -1.0 </lab_measurement>",
    "\t</sample>",
    "\t<sample number=\"1\" x=\"base1\">",
    "\t\t<process_measurement index=\"0\" parameter=\"O2\"> 8.000000 </process_measurement>",
    "\t\t<lab_measurement index=\"0\" done=\"68\"> 2.000000 </lab_measurement>",
    "\t</sample>",
    "</job>",
});

std::string withJob(const std::string &attrs) { return "<job " + attrs + "><sample number=\"0\"/></job>"; }

TEST(JobMerge, SideBySideDocuments)
{
    TempDir d;
    const std::string base = d.file("base.xml"), news = d.file("news.xml");
    writeFile(base, kBase);
    writeFile(news, kNews);
    clearTraces();
    EXPECT_EQ(mergeJobFile(base.c_str(), news.c_str()), 6);
    EXPECT_EQ(readFile(base), kMerged);
    EXPECT_FALSE(exists(news));
    EXPECT_EQ(d.entries(), std::set<std::string>{"base.xml"});
    EXPECT_EQ(countTraces("mergeJobFile() - Base = \"" + base + "\", News = \"" + news + "\"\n", 6), 1);
    EXPECT_EQ(countTraces("NO ELEMENT \"instrument\"\n", 6), 1);
    EXPECT_EQ(countTraces("NO ELEMENT \"user\"\n", 6), 1);
    EXPECT_EQ(countTraces("mergeJobFile() - DO NOT delete file \"" + news + "\"\n", 6), 1);
}

TEST(JobMerge, ShortCuts)
{
    TempDir d;
    const std::string base = d.file("base.xml"), news = d.file("news.xml");

    /* no Base: News becomes Base */
    writeFile(news, kNews);
    clearTraces();
    EXPECT_EQ(mergeJobFile(base.c_str(), news.c_str()), 0);
    EXPECT_EQ(readFile(base), kNews);
    EXPECT_FALSE(exists(news));
    EXPECT_EQ(countTraces("mergeJobFile() - no Base job\"" + base + "\"\n", 6), 1);

    /* kill wins over singleton; News stays */
    writeFile(news, withJob("job_handling=\"256\" job_type=\"32\""));
    clearTraces();
    EXPECT_EQ(mergeJobFile(base.c_str(), news.c_str()), 0);
    EXPECT_FALSE(exists(base));
    EXPECT_TRUE(exists(news));
    EXPECT_EQ(countTraces("mergeJobFile() - kill job (" + base + ")\n", 6), 1);

    /* singleton: Base becomes a copy of News */
    writeFile(base, kBase);
    const std::string single = withJob("job_type=\"33\"");
    writeFile(news, single);
    clearTraces();
    EXPECT_EQ(mergeJobFile(base.c_str(), news.c_str()), 0);
    EXPECT_EQ(readFile(base), single);
    EXPECT_FALSE(exists(news));
    EXPECT_EQ(countTraces("mergeJobFile() - JOBTYPE_PROP_SINGLETON (cp -f \"" + news + "\" \"" + base +
                              "\") returned 0\n",
                          6),
              1);
    struct stat st;
    ASSERT_EQ(stat(base.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    EXPECT_EQ(d.entries(), std::set<std::string>{"base.xml"});
}

TEST(JobMerge, FailuresKeepBaseAndNews)
{
    TempDir d;
    const std::string base = d.file("base.xml"), news = d.file("news.xml");
    clearTraces();
    EXPECT_EQ(mergeJobFile(base.c_str(), news.c_str()), -1);
    EXPECT_EQ(countTraces("mergeJobFile() - cannot read News \"" + news + "\"\n", 2), 1);
    EXPECT_EQ(mergeJobFile(nullptr, news.c_str()), -1);

    /* a Base that cannot be made */
    writeFile(news, kNews);
    const std::string nowhere = d.file("none/base.xml");
    clearTraces();
    EXPECT_EQ(mergeJobFile(nowhere.c_str(), news.c_str()), -2);
    EXPECT_EQ(countTraces("mergeJobFile() - failed cp \"" + news + "\" \"" + nowhere + "\"\n", 2), 1);
    EXPECT_EQ(readFile(news), kNews);

    struct Case {
        std::string base, news;
        int result; /* 0: the build result of the side that does not parse */
    } cases[] = {
        {kBase, "<job><sample>", 0},
        {"<job><sample number=\"0\">", kNews, 0},
        {"<other/>", kNews, -2},      /* no job element */
        {kBase, "<x><job/></x>", -2}, /* job not at the top */
    };
    for (const Case &c : cases) {
        Handle hb, hn;
        const int rb = buildFrom(hb.p, c.base), rn = buildFrom(hn.p, c.news);
        ASSERT_EQ(c.result == 0, rb < 0 || rn < 0);
        writeFile(base, c.base);
        writeFile(news, c.news);
        clearTraces();
        EXPECT_EQ(mergeJobFile(base.c_str(), news.c_str()), rb < 0 ? rb : rn < 0 ? rn : c.result) << c.news;
        EXPECT_EQ(readFile(base), c.base);
        EXPECT_EQ(readFile(news), c.news);
    }
    EXPECT_EQ(traceCalls().back().format, "mergeJobFile() Base=%p News=%p Mer=%p\n");

    /* no room for the merged document or the copy */
    writeFile(base, kBase);
    writeFile(news, kNews);
    clearTraces();
    {
        NoRoom full;
        EXPECT_EQ(mergeJobFile(base.c_str(), news.c_str()), -6);
    }
    EXPECT_EQ(countTraces("cannot write \"" + base + "\"\n", 2), 1);
    writeFile(news, withJob("job_type=\"32\""));
    clearTraces();
    {
        NoRoom full;
        EXPECT_EQ(mergeJobFile(base.c_str(), news.c_str()), -2);
    }
    ASSERT_EQ(traceCalls().size(), 2u);
    EXPECT_NE(traceCalls()[1].message.find("\") returned "), std::string::npos);
    EXPECT_EQ(traceCalls()[1].message.find("returned 0"), std::string::npos);
    EXPECT_EQ(readFile(base), kBase);
    EXPECT_TRUE(exists(news));
    EXPECT_EQ(d.entries(), (std::set<std::string>{"base.xml", "news.xml"}));
}

TEST(JobMerge, HostilePathsRunNothing)
{
    TempDir d;
    const std::string dir = d.file("a b \"q\" $(touch x) `touch y` 'z'; touch w");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const std::string base = dir + "/base $HOME.xml", news = dir + "/news \"`id`\".xml";
    writeFile(news, kNews);
    EXPECT_EQ(mergeJobFile(base.c_str(), news.c_str()), 0);
    EXPECT_EQ(readFile(base), kNews);
    writeFile(news, kNews);
    EXPECT_EQ(mergeJobFile(base.c_str(), news.c_str()), 2);
    writeFile(news, withJob("job_type=\"32\""));
    EXPECT_EQ(mergeJobFile(base.c_str(), news.c_str()), 0);
    EXPECT_EQ(readFile(base), withJob("job_type=\"32\""));
    EXPECT_EQ(d.entries(), std::set<std::string>{"a b \"q\" $(touch x) `touch y` 'z'; touch w"});
    for (const char *f : {"x", "y", "w"})
        EXPECT_FALSE(exists(f)) << f;
}

} // namespace
