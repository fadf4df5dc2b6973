/* Measurement requests: one per lab measurement, with the process
   measurement of its index; failures; numbers and the caller's locale. */
#include "testkit.h"

namespace {

/* The requests of the job file at path, through a one-entry job list. */
int requests(qrx_Parser *p, const std::string &path, MeasurementRequestList **out, int index = 0)
{
    auto *jobs = static_cast<JobDescrList *>(std::calloc(1, sizeof(JobDescrList) + sizeof(JobDescriptor *)));
    jobs->items[0] = static_cast<JobDescriptor *>(std::calloc(1, sizeof(JobDescriptor)));
    jobs->items[0]->filePath = strdup(path.c_str());
    jobs->count = 1;
    const int r = createMeasurementRequestList(p, jobs, index, out);
    removeJobDescrList(&jobs);
    return r;
}

/* Every field in declaration order, "-" for null texts. */
std::string fields(const MeasurementRequest *r)
{
    auto t = [](const char *s) { return s ? s : "-"; };
    char s[512];
    std::snprintf(s, sizeof s, "%d %d %d %d %lld %d %s %s %d %d %s %s %d %u %g %g %d %u %s %s %s %s %.3s",
                  r->jobId, r->jobDate, r->sensorManufacturerId, r->sensorDeviceId,
                  (long long)r->sensorSerialNumber, r->sampleNumber, t(r->sampleId), t(r->label),
                  r->sampleDate, r->totalIndex, t(r->parameter), t(r->unit), r->dataType, r->done,
                  r->processValue, r->labValue, r->displayFormat, r->labTime, t(r->spareText),
                  t(r->defaultMethod), t(r->usedMethod), t(r->labUnit),
                  r->sensorData ? reinterpret_cast<const char *>(r->sensorData) : "-");
    return s;
}

struct Requests : TempDir {
    Handle h;
    MeasurementRequestList *list = nullptr;
    ~Requests() { removeMeasurementRequestList(&list); }
    int of(const std::string &name, int index = 0)
    {
        removeMeasurementRequestList(&list);
        return requests(h.p, file(name), &list, index);
    }
    std::string operator[](int i) const { return fields(list->items[i]); }
};

TEST(MeasurementRequests, FieldsOfEachRequest)
{
    Requests r;
    writeFile(r.file("job.xml"), sampleJob());
    ASSERT_EQ(r.of("job.xml"), 3);
    ASSERT_EQ(r.list->count, 3);
    EXPECT_EQ(r[0], "42 631179000 7 3 6699 0 - 42-17 631177200 0 pH - 16 64 7.25 -1 386 0 - - - - abc");
    EXPECT_EQ(r[1], "42 631179000 7 3 6699 0 - 42-17 631177200 1 T C 16 0 21 -1 65535 0 - M1 - - abc");
    EXPECT_EQ(r[2], "42 631179000 7 3 6699 1 B 42-(1) 631263600 2 - - 16 1 -9999.99 3.5 0 0 - - M2 mg -");
    EXPECT_STREQ(r.h->root->children->name, "job"); /* the tree stays in the handle */
    assureStringsMeasurementRequest(r.list->items[2]);
    EXPECT_EQ(r[2], "42 631179000 7 3 6699 1 B 42-(1) 631263600 2   16 1 -9999.99 3.5 0 0   M2 mg -");
    assureStringsMeasurementRequest(nullptr);
    freeMeasurementRequest(nullptr);
}

/* Absent attributes read as 0 and the label is cut to 31 characters. */
TEST(MeasurementRequests, WalksStopAtTheFirstGap)
{
    Requests r;
    writeFile(r.file("gaps.xml"), testData("job_requests_gaps.xml"));
    std::string many = "<job job_id=\"7\">";
    for (int i = 0; i < 1200; ++i)
        many += "<sample number=\"" + std::to_string(i) + "\"><lab_measurement index=\"0\" done=\"" +
                std::to_string(i % 60) + "\"/></sample>";
    writeFile(r.file("many.xml"), many + "</job>");
    writeFile(r.file("none.xml"),
              "<job><sample number=\"0\"><process_measurement index=\"0\"/></sample></job>");
    clearTraces();
    ASSERT_EQ(r.of("gaps.xml"), 1);
    EXPECT_EQ(r[0],
              "0 0 0 0 0 0 - 0-12345678901234567890123456789 0 0 - - 16 0 -9999.99 -9999.99 0 0 - - - - -");
    EXPECT_TRUE(traceCalls().empty());
    ASSERT_EQ(r.of("many.xml"), 1200);
    EXPECT_EQ(r[1199], "7 0 0 0 0 1199 - 7-(1199) 0 1199 - - 16 59 -9999.99 -9999.99 0 0 - - - - -");
    ASSERT_EQ(r.of("none.xml"), 0);
    EXPECT_EQ(r.list->count, 0);
}

TEST(MeasurementRequests, FailureCodes)
{
    alarm(20); /* a FIFO opened for reading would block */
    Requests r;
    writeFile(r.file("job.xml"), sampleJob());
    writeFile(r.file("bad.xml"), "<job><sample>");
    ASSERT_EQ(mkfifo(r.file("fifo.xml").c_str(), 0666), 0);
    JobDescrList jobs{};
    MeasurementRequestList *none = nullptr;
    EXPECT_EQ(createMeasurementRequestList(nullptr, &jobs, 0, &none), -1);
    EXPECT_EQ(createMeasurementRequestList(r.h.p, &jobs, 0, nullptr), -2);
    EXPECT_EQ(createMeasurementRequestList(r.h.p, nullptr, 0, &none), -4);
    EXPECT_EQ(r.of("job.xml", 1), -5);
    EXPECT_EQ(r.of("job.xml", -1), -5);
    EXPECT_EQ(r.list, nullptr);
    ASSERT_EQ(r.of("job.xml"), 3);
    clearTraces();
    EXPECT_EQ(requests(r.h.p, r.file("job.xml"), &r.list), -3);
    EXPECT_EQ(countTraces("*ppJML is already initialized\n", 2), 1);
    EXPECT_EQ(r.list->count, 3);
    for (const char *name : {"gone.xml", "fifo.xml"}) {
        clearTraces();
        EXPECT_EQ(r.of(name), -6) << name;
        EXPECT_EQ(countTraces("cannot read \"" + r.file(name) + "\"\n", 2), 1) << name;
    }
    EXPECT_EQ(r.of("bad.xml"), -13);
    EXPECT_EQ(countTraces("qrx_BuildDOMTree() failed with -13 for \"" + r.file("bad.xml") + "\"\n", 2), 1);
    EXPECT_EQ(r.list, nullptr);
    alarm(0);
}

/* A German display sets LC_ALL=de_DE.UTF-8; files keep '.' all the same. */
TEST(JobNumbers, IgnoreTheCallersLocale)
{
    Requests r;
    if (!useGermanNumbers(r.path()))
        GTEST_SKIP() << "no de_DE locale and no localedef to make one";
    writeFile(r.file("job.xml"), sampleJob());
    MeasurementRequest rq{};
    rq.totalIndex = 1;
    rq.labValue = 12.5f;
    EXPECT_EQ(addMeasurementResult(r.file("job.xml").c_str(), &rq), 0);
    char text[16];
    formatMeasurementString(text, 0x0184, 1.23); /* 3 significant digits, 4 decimals */
    ASSERT_EQ(r.of("job.xml"), 3);
    std::setlocale(LC_ALL, "C");
    EXPECT_NE(readFile(r.file("job.xml")).find("> 12.500000 <"), std::string::npos);
    EXPECT_STREQ(text, "1.23");
    EXPECT_FLOAT_EQ(r.list->items[0]->processValue, 7.25f);
    EXPECT_FLOAT_EQ(r.list->items[1]->labValue, 12.5f);
}

} // namespace
