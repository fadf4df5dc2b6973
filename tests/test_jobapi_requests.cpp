/* Measurement request list: one request per lab measurement, paired
   with its process measurement, and the failure codes. */
#include "testkit.h"

namespace {

/* A one-entry job list naming path. */
struct OneJob {
    JobDescrList *list = nullptr;
    explicit OneJob(const std::string &path)
    {
        list =
            static_cast<JobDescrList *>(std::calloc(1, sizeof(JobDescrList) + 16 * sizeof(JobDescriptor *)));
        list->items[0] = static_cast<JobDescriptor *>(std::calloc(1, sizeof(JobDescriptor)));
        list->items[0]->filePath = strdup(path.c_str());
        list->count = 1;
    }
    ~OneJob() { removeJobDescrList(&list); }
};

struct Requests {
    Handle h;
    MeasurementRequestList *list = nullptr;
    int result = 0;
    explicit Requests(const std::string &path)
    {
        OneJob job(path);
        result = createMeasurementRequestList(h.p, job.list, 0, &list);
    }
    ~Requests() { removeMeasurementRequestList(&list); }
    const MeasurementRequest &operator[](int i) const { return *list->items[i]; }
};

TEST(JobRequests, FieldsOfEachRequest)
{
    TempDir d;
    writeFile(d.file("job.xml"), sampleJob());
    Requests r(d.file("job.xml"));
    ASSERT_EQ(r.result, 3);
    ASSERT_EQ(r.list->count, 3);

    const MeasurementRequest &a = r[0];
    EXPECT_EQ(a.jobId, 42);
    EXPECT_EQ(a.jobDate, 631179000);
    EXPECT_EQ(a.sensorManufacturerId, 7);
    EXPECT_EQ(a.sensorDeviceId, 3);
    EXPECT_EQ(a.sensorSerialNumber, 0x1A2B);
    EXPECT_EQ(a.sampleNumber, 0);
    EXPECT_EQ(a.sampleId, nullptr);
    EXPECT_STREQ(a.label, "42-17");
    EXPECT_EQ(a.sampleDate, 631177200);
    EXPECT_EQ(a.totalIndex, 0);
    EXPECT_STREQ(a.parameter, "pH");
    EXPECT_STREQ(a.unit, "-");
    EXPECT_EQ(a.dataType, 16);
    EXPECT_EQ(a.done, 64);
    EXPECT_FLOAT_EQ(a.processValue, 7.25f);
    EXPECT_FLOAT_EQ(a.labValue, -1.0f);
    EXPECT_EQ(a.displayFormat, 386);
    EXPECT_EQ(a.labTime, 0u);
    EXPECT_EQ(a.spareText, nullptr);
    ASSERT_NE(a.sensorData, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(a.sensorData), 3), "abc");

    const MeasurementRequest &b = r[1];
    EXPECT_EQ(b.totalIndex, 1);
    EXPECT_STREQ(b.parameter, "T");
    EXPECT_EQ(b.displayFormat, 65535); /* no display_format */
    EXPECT_STREQ(b.defaultMethod, "M1");
    EXPECT_FLOAT_EQ(b.processValue, 21.0f);

    const MeasurementRequest &c = r[2];
    EXPECT_EQ(c.sampleNumber, 1);
    EXPECT_EQ(c.totalIndex, 2);
    EXPECT_STREQ(c.sampleId, "B");
    EXPECT_STREQ(c.label, "42-(1)");
    EXPECT_EQ(c.parameter, nullptr); /* no process measurement of index 0 */
    EXPECT_FLOAT_EQ(c.processValue, -9999.99f);
    EXPECT_EQ(c.displayFormat, 0);
    EXPECT_FLOAT_EQ(c.labValue, 3.5f);
    EXPECT_EQ(c.done, 1);
    EXPECT_STREQ(c.labUnit, "mg");
    EXPECT_STREQ(c.usedMethod, "M2");
    EXPECT_EQ(c.sensorData, nullptr);

    /* the tree stays in the handle */
    ASSERT_NE(r.h->root, nullptr);
    EXPECT_STREQ(r.h->root->children->name, "job");

    MeasurementRequest copy = c;
    assureStringsMeasurementRequest(&copy);
    EXPECT_STREQ(copy.parameter, "");
    EXPECT_STREQ(copy.spareText, "");
    EXPECT_STREQ(copy.labUnit, "mg");
    EXPECT_EQ(copy.sensorData, nullptr);
    MeasurementRequest *record = r.list->items[2];
    r.list->items[2] = nullptr; /* the copy now owns the texts */
    freeMeasurementRequest(&copy);
    std::free(record);
    assureStringsMeasurementRequest(nullptr);
    freeMeasurementRequest(nullptr);
}

TEST(JobRequests, WalksStopAtTheFirstGapAndAbsentAttributesReadAsZero)
{
    TempDir d;
    writeFile(d.file("gaps.xml"),
              "<job><sample number=\"0\" bottle_number=\"123456789012345678901234567890123\">"
              "<lab_measurement index=\"0\"/><lab_measurement index=\"2\"/><process_measurement index=\"1\"/>"
              "<lab_measurement index=\"0\" done=\"9\"/></sample>"
              "<sample number=\"1\"/><sample number=\"3\"><lab_measurement index=\"0\"/></sample>"
              "<sample number=\"01\"><lab_measurement index=\"0\"/></sample></job>");
    clearTraces();
    Requests r(d.file("gaps.xml"));
    ASSERT_EQ(r.result, 1);
    const MeasurementRequest &a = r[0];
    EXPECT_EQ(a.jobId, 0);
    EXPECT_EQ(a.jobDate, 0);
    EXPECT_EQ(a.sensorSerialNumber, 0);
    EXPECT_EQ(a.sampleDate, 0);
    EXPECT_EQ(a.done, 0); /* the first lab measurement of index 0 */
    EXPECT_EQ(a.dataType, 16);
    EXPECT_FLOAT_EQ(a.labValue, -9999.99f);
    EXPECT_STREQ(a.label, "0-12345678901234567890123456789"); /* cut to 31 characters */
    EXPECT_EQ(std::strlen(a.label), 31u);
    EXPECT_TRUE(traceCalls().empty());

    writeFile(d.file("none.xml"), "<job job_id=\"1\"><sample number=\"0\"><process_measurement index=\"0\"/>"
                                  "</sample></job>");
    Requests n(d.file("none.xml"));
    EXPECT_EQ(n.result, 0);
    ASSERT_NE(n.list, nullptr);
    EXPECT_EQ(n.list->count, 0);
}

TEST(JobRequests, ManySamplesBeyondThreeDigits)
{
    TempDir d;
    std::string xml = "<job job_id=\"7\">";
    for (int i = 0; i < 1200; ++i)
        xml += "<sample number=\"" + std::to_string(i) + "\"><lab_measurement index=\"0\" done=\"" +
               std::to_string(i % 60) + "\"/></sample>";
    writeFile(d.file("big.xml"), xml + "</job>");
    Requests r(d.file("big.xml"));
    ASSERT_EQ(r.result, 1200);
    EXPECT_EQ(r[1199].sampleNumber, 1199);
    EXPECT_EQ(r[1199].totalIndex, 1199);
    EXPECT_STREQ(r[1199].label, "7-(1199)");
    EXPECT_EQ(r[1199].done, 1199 % 60);
}

TEST(JobRequests, FailureCodes)
{
    TempDir d;
    writeFile(d.file("job.xml"), sampleJob());
    writeFile(d.file("bad.xml"), "<job><sample>");
    OneJob job(d.file("job.xml"));
    Handle h;
    MeasurementRequestList *list = nullptr;
    EXPECT_EQ(createMeasurementRequestList(nullptr, job.list, 0, &list), -1);
    EXPECT_EQ(createMeasurementRequestList(h.p, job.list, 0, nullptr), -2);
    EXPECT_EQ(createMeasurementRequestList(h.p, nullptr, 0, &list), -4);
    EXPECT_EQ(createMeasurementRequestList(h.p, job.list, 1, &list), -5);
    EXPECT_EQ(createMeasurementRequestList(h.p, job.list, -1, &list), -5);
    EXPECT_EQ(list, nullptr);

    ASSERT_EQ(createMeasurementRequestList(h.p, job.list, 0, &list), 3);
    MeasurementRequestList *held = list;
    clearTraces();
    EXPECT_EQ(createMeasurementRequestList(h.p, job.list, 0, &list), -3);
    EXPECT_EQ(countTraces("*ppJML is already initialized\n", 2), 1);
    EXPECT_EQ(list, held);
    EXPECT_EQ(list->count, 3);
    removeMeasurementRequestList(&list);
    EXPECT_EQ(list, nullptr);

    OneJob missing(d.file("gone.xml"));
    clearTraces();
    EXPECT_EQ(createMeasurementRequestList(h.p, missing.list, 0, &list), -6);
    EXPECT_EQ(countTraces("cannot read \"" + d.file("gone.xml") + "\"\n", 2), 1);

    OneJob bad(d.file("bad.xml"));
    Handle probe;
    const int built = buildFrom(probe.p, readFile(d.file("bad.xml")));
    ASSERT_LT(built, 0);
    clearTraces();
    EXPECT_EQ(createMeasurementRequestList(h.p, bad.list, 0, &list), built);
    EXPECT_EQ(countTraces("qrx_BuildDOMTree() failed with " + std::to_string(built) + " for \"" +
                              d.file("bad.xml") + "\"\n",
                          2),
              1);
    EXPECT_EQ(list, nullptr);
    removeMeasurementRequestList(nullptr);
}

} // namespace
