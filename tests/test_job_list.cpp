/* The job list: which files of a directory are listed, what is read, order. */
#include "testkit.h"

static std::string job(const std::string &id, const std::string &date)
{
    return replaced(replaced(sampleJob(), "job_id=\"42\"", "job_id=\"" + id + "\""),
                    "2020-01-01T08:30:00+0100", date);
}

/* Every field but the path: job | sensor | controller | user | tallies. */
static std::string fields(const JobDescriptor *j)
{
    auto t = [](const char *s) { return s ? s : "-"; };
    char s[512];
    std::snprintf(
        s, sizeof s, "%d %d %d %d %d %d %d | %d %d %llx %s %s | %d %d %llx %s %s %s %s | %s | %d %d %d %d %u",
        j->jobId, j->date, j->jobType, j->jobHandling, j->requestedSamples, j->containedSamples,
        j->admitAutojob, j->sensorManufacturerId, j->sensorDeviceId,
        (unsigned long long)j->sensorSerialNumber, t(j->sensorName), t(j->sensorLocation),
        j->controllerManufacturerId, j->controllerDeviceId, (unsigned long long)j->controllerSerialNumber,
        t(j->controllerName), t(j->controllerLocation), t(j->controllerFacility), t(j->controllerIpAddress),
        t(j->userName), j->knownAttributeCount, j->labAttributeCount, j->labState1Count, j->labState2Count,
        j->flags);
    return s;
}

TEST(JobList, TimeAndHexTexts)
{
    EXPECT_EQ(atotime2000("2000-01-01T00:00:00+0000"), 0);
    EXPECT_EQ(atotime2000("2000-02-30T00:00:00+0000"), 60 * 86400); /* normalised like timegm */
    EXPECT_EQ(atotime2000("1999-12-31T23:59:59-0000"), -1); /* a second before 2000 */
    EXPECT_EQ(atotime2000("2000-01-01T00:00:00"), TEXT_UNREADABLE);
    EXPECT_EQ(atotime2000("1931-12-13T20:45:52+0000"), INT32_MIN); /* the message's range */
    EXPECT_EQ(atotime2000("2068-01-19T04:14:08+0100"), TEXT_UNREADABLE);
    EXPECT_EQ(atotime2000("1931-12-13T20:45:51+0000"), TEXT_UNREADABLE);
    EXPECT_EQ(countTraces("cannot read time from \"2000-01-01T00:00:00\"\n", 2), 1);
    EXPECT_EQ(countTraces("cannot read time from \"2068-01-19T04:14:08+0100\"\n", 2), 1);
    EXPECT_EQ(atolonglong("1A"), 26);
    EXPECT_EQ(atolonglong("FFFFFFFFFFFF"), 0xFFFFFFFFFFFFLL);
    EXPECT_EQ(atolonglong("xyz"), TEXT_UNREADABLE);
    EXPECT_EQ(countTraces("cannot read longlong  from \"xyz\"\n", 2), 1);
}

TEST(JobList, ListsReadableJobsNewestFirst)
{
    alarm(20); /* a FIFO opened for reading would block */
    TempDir d;
    writeFile(d.file("a2015.xml"), testData("job_list_tallies.xml"));
    writeFile(d.file("b2016.xml"),
              replaced(replaced(job("16", "2016-06-01T00:00:00+0000"), "done=\"1\"", "done=\"2\""), "<user",
                       "<user name=\"Bob\"/><user"));
    writeFile(d.file("bad.xml"), job("99", "yesterday"));
    writeFile(d.file("few.xml"),
              replaced(job("13", "2018-06-01T00:00:00+0000"), "\t<user name=\"Ann\"/>", ""));
    for (const char *name : {".xml", "job.XML", "job.txt"})
        writeFile(d.file(name), sampleJob());
    writeFile(d.file("deep.xml"), replaced(sampleJob(), "<user", "<a><b><c><d><e/></d></c></b></a><user"));
    ASSERT_EQ(mkfifo(d.file("fifo.xml").c_str(), 0666), 0);
    ASSERT_EQ(mkdir(d.file("dir.xml").c_str(), 0777), 0);
    for (int i = 0; i < 13; ++i) /* 17 in all: the list grows by 16 */
        writeFile(d.file(std::to_string(i) + ".xml"),
                  job(std::to_string(100 + i), "2001-01-" + std::to_string(10 + i) + "T00:00:00+0000"));
    JobDescrList *list = nullptr;
    ASSERT_EQ(createJobDescrList(d.path().c_str(), nullptr, &list), 17);
    EXPECT_EQ(countTraces("extending list 16 --> 32\n", 6), 1);
    EXPECT_EQ(list->items[0]->jobId, 99); /* an unreadable date is -1, the greatest unsigned */
    EXPECT_EQ(list->items[0]->date, -1);
    const std::string header = " | 7 3 1a2b S1 Tank | 8 4 ff C1 Hall Plant 10.0.0.2 | ";
    EXPECT_EQ(fields(list->items[1]), "13 581126400 1 32 2 2 0" + header + "- | 13 9 1 0 1");
    EXPECT_EQ(fields(list->items[2]), "16 518054400 1 32 2 2 0" + header + "Ann | 15 9 0 1 0");
    EXPECT_EQ(fields(list->items[3]), "15 486432000 3 0 2 1 1" + header + "Ann | 14 5 1 1 1");
    EXPECT_EQ(list->items[3]->filePath, d.file("a2015.xml"));
    for (int i = 4; i < 17; ++i)
        EXPECT_EQ(list->items[i]->jobId, 116 - i);
    removeJobDescrList(&list);
    ASSERT_EQ(createJobDescrList_Ex(d.path().c_str(), nullptr, &list, 14), 16);
    removeJobDescrList(&list);
}

/* A list is never replaced by another (it would leak), and a descriptor
   whose texts were freed leaves the list's removal nothing to free twice. */
TEST(JobList, HeldListsAndFreedDescriptors)
{
    TempDir d;
    writeFile(d.file("a.xml"), sampleJob());
    JobDescrList *list = nullptr;
    ASSERT_EQ(createJobDescrList(d.path().c_str(), nullptr, &list), 1);
    JobDescrList *held = list;
    clearTraces();
    EXPECT_EQ(createJobDescrList(d.path().c_str(), nullptr, &list), JOBLIST_LIST_HELD);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(countTraces("*list already holds a list\n", 2), 1);
    EXPECT_EQ(list, held);
    EXPECT_EQ(list->count, 1);
    JobDescriptor *jd = list->items[0];
    removeJobDescriptor(jd);
    for (char *text : {jd->sensorName, jd->sensorLocation, jd->controllerIpAddress, jd->filePath,
                       jd->userName, jd->controllerFacility, jd->controllerName, jd->controllerLocation})
        EXPECT_EQ(text, nullptr);
    EXPECT_EQ(jd->jobId, 42); /* the record stays */
    removeJobDescrList(&list);
    removeJobDescriptor(nullptr);
}

TEST(JobList, FailuresAndComparisons)
{
    JobDescrList *list = nullptr;
    EXPECT_EQ(createJobDescrList("/tmp", nullptr, nullptr), JOBLIST_NULL_LIST);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(createJobDescrList("/nonexistent/jobs", nullptr, &list), JOBLIST_NO_DIRECTORY);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(countTraces("can not open dir \"/nonexistent/jobs\"\n", 2), 1);
    EXPECT_EQ(list, nullptr);
    TempDir d;
    ASSERT_EQ(createJobDescrList(d.path().c_str(), nullptr, &list), 0);
    EXPECT_EQ(sortJobDescrList(list), JOBLIST_NULL_LIST); /* empty */
    removeJobDescrList(&list);
    removeJobDescrList(&list);
    EXPECT_EQ(sortJobDescrList(nullptr), JOBLIST_NULL_LIST);

    JobDescriptor a{}, b{}, *pa = &a, *pb = &b, *no = nullptr;
    a.date = -1;
    b.date = 5;
    const int got[] = {compareJobDescriptors(&pa, &pb), compareJobDescriptors(&pb, &pa),
                       compareJobDescriptors(&pa, &pa), compareJobDescriptors(&no, &pa),
                       compareJobDescriptors(&pa, &no), compareJobDescriptors(&no, &no)};
    EXPECT_EQ(std::vector<int>(got, got + 6), (std::vector<int>{-1, 1, 0, -1, 1, 0}));
}
