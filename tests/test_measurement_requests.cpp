/* Measurement requests: one per lab measurement, with its process measurement. */
#include "testkit.h"

/* A value, or "none" for the marker. */
static std::string value(float v) { return v == TANDEL_NO_VALUE ? "none" : std::to_string(v); }

/* Every field in declaration order, "-" for null texts. */
static std::string fields(const MeasurementRequest *r)
{
    auto t = [](const char *s) { return s ? s : "-"; };
    char s[512];
    std::snprintf(s, sizeof s, "%d %d %d %d %lld %d %s %s %d %d %s %s %d %u %s %s %d %u %s %s %s %s %.3s",
                  r->jobId, r->jobDate, r->sensorManufacturerId, r->sensorDeviceId,
                  (long long)r->sensorSerialNumber, r->sampleNumber, t(r->sampleId), t(r->label),
                  r->sampleDate, r->totalIndex, t(r->parameter), t(r->unit), r->dataType, r->done,
                  value(r->processValue).c_str(), value(r->labValue).c_str(), r->displayFormat, r->labTime,
                  t(r->spareText), t(r->defaultMethod), t(r->usedMethod), t(r->labUnit),
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
    EXPECT_EQ(r[0],
              "42 631179000 7 3 6699 0 - 42-17 631177200 0 pH - 16 64 7.250000 -1.000000 386 0 - - - - abc");
    EXPECT_EQ(
        r[1],
        "42 631179000 7 3 6699 0 - 42-17 631177200 1 T C 16 0 21.000000 -1.000000 65535 0 - M1 - - abc");
    EXPECT_EQ(r[2], "42 631179000 7 3 6699 1 B 42-(1) 631263600 2 - - 16 1 none 3.500000 0 0 - - M2 mg -");
    EXPECT_STREQ(r.h->root->children->name, "job"); /* the tree stays in the handle */
    assureStringsMeasurementRequest(r.list->items[2]);
    EXPECT_EQ(r[2], "42 631179000 7 3 6699 1 B 42-(1) 631263600 2   16 1 none 3.500000 0 0   M2 mg -");
    freeMeasurementRequest(r.list->items[0]); /* the list's removal frees nothing twice */
    EXPECT_EQ(r[0], "42 631179000 7 3 6699 0 - - 631177200 0 - - 16 64 7.250000 -1.000000 386 0 - - - - -");
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
    EXPECT_EQ(r[0], "0 0 0 0 0 0 - 0-12345678901234567890123456789 0 0 - - 16 0 none none 0 0 - - - - -");
    EXPECT_TRUE(traceCalls().empty());
    removeMeasurementRequestList(&r.list);
    ASSERT_EQ(r.of("none.xml"), 0);
    EXPECT_EQ(r.list->count, 0);
}

TEST(MeasurementRequests, FailureCodes)
{
    Requests r;
    writeFile(r.file("job.xml"), sampleJob());
    writeFile(r.file("bad.xml"), "<job><a><b><c><d><e/></d></c></b></a></job>");
    JobDescrList jobs{};
    const struct {
        int result, jobIndex;
        qrx_Parser *handle;
        JobDescrList *jobs;
        MeasurementRequestList **list;
    } refused[] = {{REQLIST_NULL_HANDLE, 0, nullptr, &jobs, &r.list},
                   {REQLIST_NULL_LIST, 0, r.h.p, &jobs, nullptr},
                   {REQLIST_NULL_JOBS, 0, r.h.p, nullptr, &r.list},
                   {REQLIST_BAD_INDEX, 0, r.h.p, &jobs, &r.list},
                   {REQLIST_BAD_INDEX, -1, r.h.p, &jobs, &r.list}};
    for (const auto &c : refused) {
        errno = 0;
        EXPECT_EQ(createMeasurementRequestList(c.handle, c.jobs, c.jobIndex, c.list), c.result);
        EXPECT_EQ(errno, EINVAL) << c.result;
    }
    EXPECT_EQ(r.of("gone.xml"), REQLIST_UNREADABLE);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(countTraces("cannot read \"" + r.file("gone.xml") + "\"\n", 2), 1);
    EXPECT_EQ(r.of("bad.xml"), QRX_TOO_DEEP);
    EXPECT_EQ(errno, 0); /* the content's fault */
    EXPECT_EQ(countTraces("qrx_BuildDOMTree() failed with -8 for \"" + r.file("bad.xml") + "\"\n", 2), 1);
    EXPECT_EQ(r.list, nullptr);
    ASSERT_EQ(r.of("job.xml"), 3);
    EXPECT_EQ(r.of("job.xml"), REQLIST_LIST_HELD);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(countTraces("*ppJML is already initialized\n", 2), 1);
    EXPECT_EQ(r.list->count, 3);
}

/* A regular file whose reads fail (EIO at offset 0) is unreadable, not
   an empty document. */
TEST(MeasurementRequests, AReadErrorIsNoSyntaxError)
{
    Requests r;
    ASSERT_EQ(symlink("/proc/self/mem", r.file("mem.xml").c_str()), 0);
    EXPECT_EQ(r.of("mem.xml"), REQLIST_UNREADABLE);
    EXPECT_EQ(errno, EIO);
}
