/* Job descriptor list: time and number conversions, the directory scan,
   its file selection, acceptance rule, growth and newest-first order. */
#include "testkit.h"

namespace {

/* A job header with the given date; attributes beyond `counted` of the
   14 counted ones are left out. */
std::string header(const char *date, int counted = 14, const char *jobId = "1")
{
    const char *items[] = {"job_id=\"%s\"", "job_type=\"3\"", "job_handling=\"0\"", "requested_samples=\"2\"",
                           "contained_samples=\"1\""};
    std::string job = "<job";
    int n = 0;
    for (const char *it : items) {
        if (n++ >= counted - 8)
            break;
        char buf[64];
        std::snprintf(buf, sizeof buf, it, jobId);
        job += std::string(" ") + buf;
    }
    job += std::string(" date=\"") + date + "\" admit_autojob=\"1\">";
    std::string s = job +
                    "<sensor manufacturer_id=\"7\" device_id=\"3\" serial_number=\"1A2B\" name=\"S1\" "
                    "location=\"Tank\"/>"
                    "<controller manufacturer_id=\"8\" device_id=\"4\" serial_number=\"ff\" name=\"C1\" "
                    "location=\"Hall\" facility=\"Plant\" ip_address=\"10.0.0.2\"/>";
    if (counted >= 14)
        s += "<user name=\"Ann\"/>";
    return s;
}

const char *kTail = "<sample number=\"0\"><lab_measurement index=\"0\" done=\"65\" x=\"1\"/>"
                    "<lab_measurement index=\"1\" done=\"2\"/><deeper><lab_measurement done=\"1\"/></deeper>"
                    "</sample></job>";

TEST(JobList, TimeAndHexConversions)
{
    EXPECT_EQ(atotime2000("2000-01-01T00:00:00+0000"), 0);
    EXPECT_EQ(atotime2000("2000-01-01T01:00:00+0100"), 0);
    EXPECT_EQ(atotime2000("2020-01-01T08:30:00+0100"), 631179000);
    EXPECT_EQ(atotime2000("2040-01-01T00:00:00+0000"), 1262304000); /* past 2038 */
    EXPECT_EQ(atotime2000("2000-02-30T00:00:00+0000"), 60 * 86400); /* normalised like timegm */
    EXPECT_EQ(atotime2000("1999-12-31T23:59:59-0000"), -1);         /* a second before the epoch */
    clearTraces();
    EXPECT_EQ(atotime2000("2000-01-01T00:00:00"), -1);
    EXPECT_EQ(countTraces("cannot read time from \"2000-01-01T00:00:00\"\n", 2), 1);
    /* the ends of the message's signed 32-bit range, and one second past */
    EXPECT_EQ(atotime2000("2068-01-19T03:14:07+0000"), INT32_MAX);
    EXPECT_EQ(atotime2000("1931-12-13T20:45:52+0000"), INT32_MIN);
    clearTraces();
    EXPECT_EQ(atotime2000("2068-01-19T04:14:08+0100"), -1);
    EXPECT_EQ(atotime2000("1931-12-13T20:45:51+0000"), -1);
    EXPECT_EQ(countTraces("cannot read time from \"2068-01-19T04:14:08+0100\"\n", 2), 1);

    EXPECT_EQ(atolonglong("1A"), 26);
    EXPECT_EQ(atolonglong("FFFFFFFFFFFF"), 0xFFFFFFFFFFFFLL);
    clearTraces();
    EXPECT_EQ(atolonglong("xyz"), -1);
    EXPECT_EQ(countTraces("cannot read longlong  from \"xyz\"\n", 2), 1);
}

TEST(JobList, DescriptorFieldsAndNewestFirst)
{
    TempDir d;
    writeFile(d.file("a2015.xml"), header("2015-06-01T00:00:00+0000", 14, "15") + kTail);
    writeFile(d.file("b2016.xml"), header("2016-06-01T00:00:00+0000", 14, "16") + "</job>");
    writeFile(d.file("bad.xml"), header("yesterday", 14, "99") + "</job>");
    writeFile(d.file(".xml"), header("2017-06-01T00:00:00+0000") + "</job>");
    writeFile(d.file("job.XML"), header("2017-06-01T00:00:00+0000") + "</job>");
    writeFile(d.file("job.txt"), header("2017-06-01T00:00:00+0000") + "</job>");
    writeFile(d.file("few.xml"), header("2018-06-01T00:00:00+0000", 12, "12") + "</job>");
    writeFile(d.file("deep.xml"),
              header("2019-06-01T00:00:00+0000") + "<a><b><c><d><e/></d></c></b></a></job>");
    writeFile(d.file("broken.xml"), header("2019-06-01T00:00:00+0000") + "</job><");

    clearTraces();
    JobDescrList *list = nullptr;
    ASSERT_EQ(createJobDescrList(d.path().c_str(), nullptr, &list), 3);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->items[0]->jobId, 99); /* unreadable date (-1) first */
    EXPECT_EQ(list->items[0]->date, -1);
    EXPECT_EQ(list->items[1]->jobId, 16);
    EXPECT_EQ(list->items[2]->jobId, 15);
    EXPECT_EQ(countTraces("---- file = " + d.file("few.xml") + " ----\n", 6), 1);
    EXPECT_EQ(countTraces("---- file = " + d.file(".xml") + " ----\n"), 0);
    EXPECT_EQ(countTraces("---- file = " + d.file("job.XML") + " ----\n"), 0);

    const JobDescriptor *j = list->items[2];
    EXPECT_EQ(j->filePath, d.file("a2015.xml"));
    EXPECT_EQ(j->date, atotime2000("2015-06-01T00:00:00+0000"));
    EXPECT_EQ(j->jobType, 3);
    EXPECT_EQ(j->jobHandling, 0);
    EXPECT_EQ(j->requestedSamples, 2);
    EXPECT_EQ(j->containedSamples, 1);
    EXPECT_EQ(j->admitAutojob, 1);
    EXPECT_EQ(j->sensorManufacturerId, 7);
    EXPECT_EQ(j->sensorDeviceId, 3);
    EXPECT_EQ(j->sensorSerialNumber, 0x1A2Bu);
    EXPECT_STREQ(j->sensorName, "S1");
    EXPECT_STREQ(j->sensorLocation, "Tank");
    EXPECT_EQ(j->controllerManufacturerId, 8);
    EXPECT_EQ(j->controllerDeviceId, 4);
    EXPECT_EQ(j->controllerSerialNumber, 0xFFu);
    EXPECT_STREQ(j->controllerName, "C1");
    EXPECT_STREQ(j->controllerLocation, "Hall");
    EXPECT_STREQ(j->controllerFacility, "Plant");
    EXPECT_STREQ(j->controllerIpAddress, "10.0.0.2");
    EXPECT_STREQ(j->userName, "Ann");
    EXPECT_EQ(j->knownAttributeCount, 14);
    EXPECT_EQ(j->labAttributeCount, 5); /* attributes at depth 2, not the deeper one */
    EXPECT_EQ(j->labState1Count, 1);    /* 65 & 63 */
    EXPECT_EQ(j->labState2Count, 1);
    EXPECT_EQ(j->flags, 1u);
    EXPECT_EQ(j->reserved0, 0);
    EXPECT_EQ(list->items[1]->flags, 0u);
    EXPECT_EQ(list->items[1]->labAttributeCount, 0);
    removeJobDescrList(&list);
    EXPECT_EQ(list, nullptr);

    /* 12 counted attributes suffice for a minimum of 12 */
    ASSERT_EQ(createJobDescrList_Ex(d.path().c_str(), nullptr, &list, 12), 4);
    removeJobDescrList(&list);
    ASSERT_EQ(createJobDescrList_Ex(d.path().c_str(), "few.xml", &list, 12), 1);
    EXPECT_EQ(list->items[0]->jobId, 12);
    EXPECT_EQ(list->items[0]->knownAttributeCount, 12);
    removeJobDescrList(&list);
    ASSERT_EQ(createJobDescrList(d.path().c_str(), "few.xml", &list), 0);
    EXPECT_EQ(list->count, 0);
    removeJobDescrList(&list);
}

TEST(JobList, RepeatedAttributesAndLongPaths)
{
    TempDir d;
    std::string sub = d.path();
    for (int i = 0; i < 3; ++i) { /* a path well beyond 288 characters */
        sub += "/" + std::string(120, 'p');
        ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    }
    writeFile(sub + "/job.xml", header("2016-01-01T00:00:00+0000") + "<user name=\"Bob\"/></job>");
    JobDescrList *list = nullptr;
    ASSERT_EQ(createJobDescrList(sub.c_str(), nullptr, &list), 1);
    EXPECT_EQ(list->items[0]->filePath, sub + "/job.xml");
    EXPECT_STREQ(list->items[0]->userName, "Bob"); /* the last occurrence wins */
    EXPECT_EQ(list->items[0]->knownAttributeCount, 15);
    removeJobDescrList(&list);
}

TEST(JobList, GrowsBySixteen)
{
    TempDir d;
    for (int i = 0; i < 17; ++i) {
        char name[32], date[40];
        std::snprintf(name, sizeof name, "job%02d.xml", i);
        std::snprintf(date, sizeof date, "2001-01-%02dT00:00:00+0000", i + 1);
        writeFile(d.file(name), header(date, 14, std::to_string(i).c_str()) + "</job>");
    }
    clearTraces();
    JobDescrList *list = nullptr;
    ASSERT_EQ(createJobDescrList(d.path().c_str(), nullptr, &list), 17);
    EXPECT_EQ(countTraces("extending list 16 --> 32\n", 6), 1);
    for (int i = 0; i < 17; ++i)
        EXPECT_EQ(list->items[i]->jobId, 16 - i);
    removeJobDescrList(&list);
}

TEST(JobList, FailuresAndEmptyDirectory)
{
    JobDescrList *list = nullptr;
    EXPECT_EQ(createJobDescrList("/tmp", nullptr, nullptr), -1);
    clearTraces();
    EXPECT_EQ(createJobDescrList("/nonexistent/jobs", nullptr, &list), -2);
    EXPECT_EQ(countTraces("can not open dir \"/nonexistent/jobs\"\n", 2), 1);
    EXPECT_EQ(list, nullptr);

    TempDir d;
    ASSERT_EQ(createJobDescrList(d.path().c_str(), nullptr, &list), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->count, 0);
    EXPECT_EQ(sortJobDescrList(list), -1);
    removeJobDescrList(&list);
    removeJobDescrList(&list); /* null: nothing to do */
    removeJobDescrList(nullptr);
    EXPECT_EQ(sortJobDescrList(nullptr), -1);
}

TEST(JobList, CompareTreatsDatesAsUnsigned)
{
    JobDescriptor a{}, b{};
    a.date = -1;
    b.date = 5;
    JobDescriptor *pa = &a, *pb = &b, *none = nullptr;
    EXPECT_EQ(compareJobDescriptors(&pa, &pb), -1);
    EXPECT_EQ(compareJobDescriptors(&pb, &pa), 1);
    EXPECT_EQ(compareJobDescriptors(&pa, &pa), 0);
    EXPECT_EQ(compareJobDescriptors(&none, &pa), -1);
    EXPECT_EQ(compareJobDescriptors(&pa, &none), 1);
    EXPECT_EQ(compareJobDescriptors(&none, &none), 0);
}

} // namespace
