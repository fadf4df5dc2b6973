/* Measurement requests: one per lab measurement, with its process measurement. */
#include "testkit.h"

/* Every field in declaration order, "-" for null texts. */
static std::string fields(const MeasurementRequest *r)
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

/* The requests of a file of the directory, through a one-entry job list. */
struct Requests : TempDir {
    Handle h;
    MeasurementRequestList *list = nullptr;
    ~Requests() { removeMeasurementRequestList(&list); }
    int of(const std::string &name, int index = 0)
    {
        auto *jobs =
            static_cast<JobDescrList *>(std::calloc(1, sizeof(JobDescrList) + sizeof(JobDescriptor *)));
        jobs->count = 1;
        jobs->items[0] = static_cast<JobDescriptor *>(std::calloc(1, sizeof(JobDescriptor)));
        jobs->items[0]->filePath = strdup(file(name).c_str());
        const int r = createMeasurementRequestList(h.p, jobs, index, &list);
        removeJobDescrList(&jobs);
        return r;
    }
    std::string operator[](int i) const { return fields(list->items[i]); }
};

TEST(MeasurementRequests, FieldsOfEachRequest)
{
    Requests r;
    writeFile(r.file("job.xml"), sampleJob());
    ASSERT_EQ(r.of("job.xml"), 3);
    EXPECT_EQ(r[0], "42 631179000 7 3 6699 0 - 42-17 631177200 0 pH - 16 64 7.25 -1 386 0 - - - - abc");
    EXPECT_EQ(r[1], "42 631179000 7 3 6699 0 - 42-17 631177200 1 T C 16 0 21 -1 65535 0 - M1 - - abc");
    EXPECT_EQ(r[2], "42 631179000 7 3 6699 1 B 42-(1) 631263600 2 - - 16 1 -9999.99 3.5 0 0 - - M2 mg -");
    EXPECT_STREQ(r.h->root->children->name, "job"); /* the tree stays in the handle */
    assureStringsMeasurementRequest(r.list->items[2]);
    EXPECT_EQ(r[2], "42 631179000 7 3 6699 1 B 42-(1) 631263600 2   16 1 -9999.99 3.5 0 0   M2 mg -");
    assureStringsMeasurementRequest(nullptr);
    freeMeasurementRequest(nullptr);
}

/* Samples and lab indexes each end at the first gap; absent attributes
   read as 0 and the label is cut to 31 characters. */
TEST(MeasurementRequests, WalksStopAtTheFirstGap)
{
    Requests r;
    writeFile(r.file("gaps.xml"), testData("job_requests_gaps.xml"));
    writeFile(r.file("none.xml"),
              "<job><sample number=\"0\"><process_measurement index=\"0\"/></sample></job>");
    clearTraces();
    ASSERT_EQ(r.of("gaps.xml"), 1);
    EXPECT_EQ(r[0],
              "0 0 0 0 0 0 - 0-12345678901234567890123456789 0 0 - - 16 0 -9999.99 -9999.99 0 0 - - - - -");
    EXPECT_TRUE(traceCalls().empty());
    removeMeasurementRequestList(&r.list);
    ASSERT_EQ(r.of("none.xml"), 0);
    EXPECT_EQ(r.list->count, 0);
}

TEST(MeasurementRequests, FailureCodes)
{
    Requests r;
    writeFile(r.file("job.xml"), sampleJob());
    writeFile(r.file("bad.xml"), "<job><sample>");
    JobDescrList jobs{};
    EXPECT_EQ(createMeasurementRequestList(nullptr, &jobs, 0, &r.list), -1);
    EXPECT_EQ(createMeasurementRequestList(r.h.p, &jobs, 0, nullptr), -2);
    EXPECT_EQ(createMeasurementRequestList(r.h.p, nullptr, 0, &r.list), -4);
    EXPECT_EQ(r.of("job.xml", 1), -5);
    EXPECT_EQ(r.of("job.xml", -1), -5);
    EXPECT_EQ(r.of("gone.xml"), REQLIST_UNREADABLE);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(countTraces("cannot read \"" + r.file("gone.xml") + "\"\n", 2), 1);
    EXPECT_EQ(r.of("bad.xml"), QRX_UNCLOSED);
    EXPECT_EQ(countTraces("qrx_BuildDOMTree() failed with -9 for \"" + r.file("bad.xml") + "\"\n", 2), 1);
    EXPECT_EQ(r.list, nullptr);
    ASSERT_EQ(r.of("job.xml"), 3);
    EXPECT_EQ(r.of("job.xml"), -3);
    EXPECT_EQ(countTraces("*ppJML is already initialized\n", 2), 1);
    EXPECT_EQ(r.list->count, 3);
}
