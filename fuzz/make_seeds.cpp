/*
 * Writes the seed corpora of the fuzz targets: the example job files,
 * a job document using the whole vocabulary, the worked message of the
 * message format and the files and messages made from them.
 * Usage: fuzz_seeds <corpus-dir> <examples-dir>
 * (the examples folder: *.xml job files there and in jobs/, sensor job
 * files *.sjb in sensorjobs/)
 */
#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "codec_common.h"

namespace {

const char kFullJob[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
    "<job version=\"2\" job_id=\"5\" date=\"2020-01-01T00:00:00+0000\" job_type=\"1\" job_handling=\"32\""
    " requested_samples=\"2\" contained_samples=\"2\" max_samples=\"4\" admit_autojob=\"1\">\r\n"
    "\t<user name=\"lab\"/>\r\n"
    "\t<sensor manufacturer_id=\"7\" device_id=\"3\" serial_number=\"1A2B\" name=\"s1\" "
    "location=\"tank\"/>\r\n"
    "\t<controller manufacturer_id=\"1\" device_id=\"2\" serial_number=\"FF\" name=\"c\" facility=\"f\""
    " ip_address=\"10.0.0.1\"/>\r\n"
    "\t<!-- samples follow -->\r\n"
    "\t<sample number=\"0\" sample_id=\"S-0001\" date=\"2020-01-01T08:30:00+0100\" sensordata=\"AAECAwQF\""
    " bottle_number=\"3\">\r\n"
    "\t\t<process_measurement index=\"0\" comment=\"ok\" parameter_number=\"4\" unit_number=\"5\""
    " display_format=\"33314\" data_type=\"16\"> 7.250000 </process_measurement>\r\n"
    "\t\t<lab_measurement index=\"0\" done=\"65\" default_method=\"m1\" used_method=\"m2\""
    " scheduled_processing=\"2020-01-02T00:00:00\" scheduled_return=\"2020-01-03T00:00:00+0000\""
    " lab_time=\"2020-01-04T12:00:00+0000\" data_type=\"16\" lab_unit=\"mg/l\"> 7.100000 "
    "</lab_measurement>\r\n"
    "\t</sample>\r\n"
    "\t<sample number=\"1\" date=\"2020-01-01T09:00:00\">\r\n"
    "\t\t<lab_measurement index=\"0\" done=\"0\"> -1.0 </lab_measurement>\r\n"
    "\t\t<process_measurement index=\"0\" data_type=\"16\"> -0.5 </process_measurement>\r\n"
    "\t</sample>\r\n"
    "</job>\r\n";

/* The worked example of the message format: one sample, one process value. */
const uint8_t kWorked[] = {0x60, 0x38, 0x01, 0x02, 0x00, 0x05, 0x02, 0x04, 0x25, 0x9E, 0x9D, 0x80,
                           0x03, 0x02, 0x00, 0x01, 0x06, 0x02, 0x00, 0x01, 0x07, 0x02, 0x00, 0x02,
                           0x40, 0x1E, 0x01, 0x04, 0x25, 0x9F, 0x15, 0x08, 0x03, 0x02, 0x00, 0x01,
                           0x20, 0x10, 0x00, 0x02, 0x00, 0x00, 0x0E, 0x02, 0x00, 0x10, 0x0F, 0x04,
                           0x40, 0xE8, 0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00};

const char *const kSmallXml[] = {
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<job/>\r\n",
    "<!-- - - -->text<a b='x\"y' c = \"1\">t<b/> <!---->u</a >",
    "<?pi ?><a><b><c><d><e/></d></c></b></a>",
    "<a x=unquoted y=\"2\">\n  one two  \n</a>",
};

void put(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: fuzz_seeds <corpus-dir> <examples-dir>\n");
        return 2;
    }
    codecSetup();
    const std::string out = argv[1];
    for (const char *t : {"parser", "roundtrip", "decoder", "jobfile", "encode", "text"})
        mkdir((out + "/" + t).c_str(), 0777);

    std::vector<std::string> xml = {kFullJob};
    for (const char *s : kSmallXml)
        xml.push_back(s);
    /* Job files from the examples folder and its jobs/ subfolder. */
    std::vector<std::string> sensorFiles;
    for (const std::string &sub : {std::string(""), std::string("/jobs"), std::string("/sensorjobs")}) {
        const std::string from = argv[2] + sub;
        DIR *d = opendir(from.c_str());
        if (!d)
            continue;
        while (dirent *e = readdir(d)) {
            const std::string n = e->d_name;
            if (n.size() > 4 && n.compare(n.size() - 4, 4, ".xml") == 0)
                xml.push_back(slurp(from + "/" + n));
            else if (n.size() > 4 && n.compare(n.size() - 4, 4, ".sjb") == 0)
                sensorFiles.push_back(slurp(from + "/" + n));
        }
        closedir(d);
    }
    std::vector<std::string> messages = {
        std::string(reinterpret_cast<const char *>(kWorked), sizeof kWorked)};
    for (const std::string &f : sensorFiles) { /* the file as it is, and the message inside */
        put(out + "/jobfile/example" + std::to_string(&f - sensorFiles.data()), f);
        if (f.size() > 6)
            messages.push_back(f.substr(4, f.size() - 6));
    }
    int k = 0;
    for (const std::string &x : xml) {
        const std::string n = std::to_string(k++);
        put(out + "/parser/xml" + n, std::string("\x03\x00", 2) + x);
        put(out + "/roundtrip/xml" + n, "\x03" + x);
        put(out + "/encode/xml" + n, x);
        qrx_Parser *h = nullptr;
        qrx_init(&h, 4);
        FILE *fp = fmemopen(const_cast<char *>(x.data()), x.size(), "r");
        qrx_BuildDOMTree(h, fp);
        fclose(fp);
        const std::vector<uint8_t> m = encode(h);
        if (!m.empty())
            messages.emplace_back(m.begin(), m.end());
        qrx_deinit(&h);
    }
    k = 0;
    for (const std::string &m : messages) {
        const std::string n = std::to_string(k++);
        put(out + "/decoder/msg" + n, m);
        qrx_Parser *h = nullptr;
        qrx_init(&h, 4);
        if (sjob_Message2DOMTreeN(reinterpret_cast<const uint8_t *>(m.data()), m.size(), h) == 0)
            sjob_DOMTree2SensorJobFile((out + "/jobfile/file" + n).c_str(), h);
        qrx_deinit(&h);
    }
    const char *const texts[] = {"\x00YWJj",
                                 "\x00YWI=",
                                 "\x00YQ==",
                                 "\x00YW Jj",
                                 "\x00=",
                                 "\x01"
                                 "abc",
                                 "\x03"
                                 "2020-01-01T08:30:00+0100",
                                 "\x03"
                                 "1A2B3C",
                                 "\x04"
                                 "abcdefgh"};
    k = 0;
    for (const char *t : texts)
        put(out + "/text/t" + std::to_string(k++), std::string(t, 1 + strlen(t + 1)));
    const struct {
        int32_t format;
        double value;
    } formats[] = {{0x8000, 7.25}, {0x0400 | 2, 3.14159}, {(3 << 7) | 1, 123.456}, {(5 << 7), -0.000123}};
    for (const auto &f : formats) {
        std::string b("\x02", 1);
        b.append(reinterpret_cast<const char *>(&f.format), 4);
        b.append(reinterpret_cast<const char *>(&f.value), 8);
        put(out + "/text/t" + std::to_string(k++), b);
    }
    printf("%zu xml, %zu messages\n", xml.size(), messages.size());
    return 0;
}
