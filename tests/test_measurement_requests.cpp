/* Measurement requests: one per lab measurement, with its process measurement. */
#include "testkit.h"

/* Every field by name, one a line in declaration order: texts quoted,
   null where there is none; none for TANDEL_NO_VALUE; of the sensor data
   its first three bytes. */
template <class Int> static std::string shown(Int v) { return std::to_string(v); }
static std::string shown(char *t) { return t ? "'" + std::string(t) + "'" : "null"; }
static std::string shown(uint8_t *data)
{
    return data ? "'" + std::string(reinterpret_cast<char *>(data), 3) + "'" : "null";
}
static std::string shown(float v)
{
    char s[32];
    std::snprintf(s, sizeof s, "%g", static_cast<double>(v));
    return v == TANDEL_NO_VALUE ? "none" : s;
}
#define FIELD(f) #f " " + shown(r->f) + "\n"
static std::string fields(const MeasurementRequest *r)
{
    return FIELD(jobId) + FIELD(jobDate) + FIELD(sensorManufacturerId) + FIELD(sensorDeviceId) +
           FIELD(sensorSerialNumber) + FIELD(sampleNumber) + FIELD(sampleId) + FIELD(label) + FIELD(sampleDate) +
           FIELD(totalIndex) + FIELD(parameter) + FIELD(unit) + FIELD(dataType) + FIELD(done) +
           FIELD(processValue) + FIELD(labValue) + FIELD(displayFormat) + FIELD(labTime) + FIELD(spareText) +
           FIELD(defaultMethod) + FIELD(usedMethod) + FIELD(labUnit) + FIELD(sensorData);
}

/* The lines after "== title" in tests/data/job_requests_fields.txt. */
static std::string expected(const std::string &title)
{
    std::istringstream in(testData("job_requests_fields.txt"));
    std::string block, line;
    while (std::getline(in, line) && line != "== " + title) {}
    while (std::getline(in, line) && line.compare(0, 2, "==") != 0)
        block += line[0] == '#' ? "" : line + "\n";
    EXPECT_NE(block, "") << title;
    return block;
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
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(r[i], expected("request " + std::to_string(i)));
    EXPECT_STREQ(r.h->root->children->name, "job"); /* the tree stays in the handle */
    assureStringsMeasurementRequest(r.list->items[2]);
    EXPECT_EQ(r[2], expected("request 2 after assureStringsMeasurementRequest"));
    freeMeasurementRequest(r.list->items[0]); /* the list's removal frees nothing twice */
    EXPECT_EQ(r[0], expected("request 0 after freeMeasurementRequest"));
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
    EXPECT_EQ(r[0], expected("the one request of job_requests_gaps.xml"));
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
