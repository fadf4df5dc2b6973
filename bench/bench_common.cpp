/*
 * Input generators and small helpers for the benchmark programs.
 */
#include "bench_common.h"

#include <dirent.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

void line(std::string &out, int tabs, const std::string &text)
{
    out.append(static_cast<size_t>(tabs), '\t');
    out += text;
    out += "\r\n";
}

std::string sampleDate(int n)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "2020-%02d-%02dT%02d:%02d:00+0100", 1 + n / 672 % 12, 1 + n / 24 % 28,
                  n % 24, n * 7 % 60);
    return buf;
}

void appendSample(std::string &out, int n)
{
    std::string num = std::to_string(n);
    line(out, 1,
         "<sample number=\"" + num + "\" sample_id=\"S-" + num + "\" date=\"" + sampleDate(n) +
             "\" sensordata=\"AAECAwQFBgcICQoLDA0ODxAREhMUFRYX\" bottle_number=\"" + std::to_string(n % 40) +
             "\">");
    static const char *const params[] = {"pH", "Temperature"};
    static const char *const units[] = {"-", "C"};
    for (int i = 0; i < 2; ++i) {
        std::string idx = std::to_string(i);
        char value[32];
        std::snprintf(value, sizeof value, "%f", 7.0 + (n % 100) * 0.01 + i * 13.5);
        line(out, 2,
             "<process_measurement index=\"" + idx + "\" comment=\"inline probe\" parameter_number=\"" +
                 std::to_string(10 + i) + "\" unit_number=\"" + std::to_string(3 + i) +
                 "\" display_format=\"386\" data_type=\"16\" parameter=\"" + params[i] + "\" unit=\"" +
                 units[i] + "\"> " + value + " </process_measurement>");
        int done = (n + i) % 3 == 0 ? 1 : 64;
        std::string result = done == 1 ? std::string(value) : std::string("-1.0");
        line(out, 2,
             "<lab_measurement index=\"" + idx + "\" done=\"" + std::to_string(done) +
                 "\" default_method=\"DIN 38404\" scheduled_processing=\"" + sampleDate(n + 1) + "\"> " +
                 result + " </lab_measurement>");
    }
    line(out, 1, "</sample>");
}

} // namespace

std::string jobDocument(int samples, int jobId)
{
    std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";
    line(out, 0,
         "<job version=\"1\" job_id=\"" + std::to_string(jobId) + "\" date=\"" + sampleDate(jobId) +
             "\" job_type=\"1\" job_handling=\"32\" requested_samples=\"" + std::to_string(samples) +
             "\" contained_samples=\"" + std::to_string(samples) + "\" max_samples=\"" +
             std::to_string(samples + 1) + "\" admit_autojob=\"0\">");
    line(out, 1, "<user name=\"Operator\"/>");
    line(out, 1,
         "<sensor manufacturer_id=\"7\" device_id=\"3\" serial_number=\"1A2B3C4D\" name=\"Probe 1\" "
         "location=\"Basin 2\"/>");
    line(out, 1,
         "<controller manufacturer_id=\"8\" device_id=\"4\" serial_number=\"FF00EE11\" name=\"Ctrl\" "
         "location=\"Hall\" facility=\"Plant\" ip_address=\"10.0.0.2\"/>");
    line(out, 1, "<instrument name=\"Photometer\" type=\"LP\"/>");
    for (int n = 0; n < samples; ++n)
        appendSample(out, n);
    line(out, 0, "</job>");
    return out;
}

int samplesForSize(size_t bytes)
{
    size_t perSample = jobDocument(101).size() - jobDocument(100).size();
    return static_cast<int>(bytes / perSample);
}

namespace {

/* The encoded length of the handle's tree, or 0 when it does not encode. */
uint32_t encodedLength(qrx_Parser *h, std::vector<uint8_t> *out)
{
    std::vector<uint8_t> buf(1 << 16);
    uint32_t len = static_cast<uint32_t>(buf.size());
    uint8_t *msg = nullptr;
    if (sjob_DOMTree2Message(buf.data(), &len, &msg, h) != 0)
        return 0;
    if (out)
        out->assign(msg, msg + len);
    return len;
}

} // namespace

std::vector<uint8_t> largestMessage()
{
    const uint32_t kMax = 2040;
    int samples = 1;
    while (true) {
        qrx_Parser *h = buildTree(jobDocument(samples + 1));
        uint32_t len = h ? encodedLength(h, nullptr) : 0;
        qrx_deinit(&h);
        if (len == 0 || len > kMax)
            break;
        ++samples;
    }
    /* Pad with the first sample's id until the message is exactly full. */
    std::vector<uint8_t> msg;
    for (size_t pad = 0; pad < kMax; ++pad) {
        qrx_Parser *h = buildTree(jobDocument(samples));
        qrx_Element *sample = h->root->children->children;
        while (sample && std::strcmp(sample->name, "sample") != 0)
            sample = sample->next;
        qrx_AddAttribute("sample_id", ("S-0" + std::string(pad, 'x')).c_str(), sample);
        std::vector<uint8_t> m;
        uint32_t len = encodedLength(h, &m);
        qrx_deinit(&h);
        if (len > kMax)
            break;
        msg = m;
        if (len == kMax)
            break;
    }
    return msg;
}

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tandel-bench-XXXXXX";
    if (mkdtemp(&tmpl[0]))
        path_ = tmpl;
}

TempDir::~TempDir()
{
    if (path_.empty())
        return;
    if (DIR *d = opendir(path_.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                unlink(file(e->d_name).c_str());
        closedir(d);
    }
    rmdir(path_.c_str());
}

void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

FILE *memoryStream(const std::string &text)
{
    return fmemopen(const_cast<char *>(text.data()), text.size(), "r");
}

qrx_Parser *buildTree(const std::string &text)
{
    qrx_Parser *h = nullptr;
    if (qrx_init(&h, 4) != 0)
        return nullptr;
    FILE *fp = memoryStream(text);
    int r = qrx_BuildDOMTree(h, fp);
    std::fclose(fp);
    if (r != 0)
        qrx_deinit(&h);
    return h;
}

size_t heapInUse()
{
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
}

} // namespace bench
