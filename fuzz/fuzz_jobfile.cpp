/*
 * Fuzz target: the sensor job file reader on fuzzed file contents. The
 * reader must stay inside the bytes of the file and give a documented
 * result; a file it writes from a decoded job reads back the same.
 */
#include "codec_common.h"

namespace {
std::string gDir, gPath, gOut;

void removeWorkDir()
{
    unlink(gPath.c_str());
    unlink(gOut.c_str());
    rmdir(gDir.c_str());
}
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    codecSetup();
    /* Every input is a file and some are synced: a tmpfs keeps that cheap. */
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_jobfile.XXXXXX";
    if (!mkdtemp(&dir[0]))
        abort();
    gDir = dir;
    gPath = dir + "/in.bin";
    gOut = dir + "/out.bin";
    atexit(removeWorkDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *fp = fopen(gPath.c_str(), "wb");
    FUZZ_CHECK(fp);
    FUZZ_CHECK(size == 0 || fwrite(data, 1, size, fp) == size);
    fclose(fp);
    qrx_Parser *h = nullptr;
    FUZZ_CHECK(qrx_init(&h, 4) == 0);
    const int r = sjob_SensorJobFile2DOMTree(gPath.c_str(), h);
    FUZZ_CHECK(knownDecodeResult(r) && r != -99 && r != SJOB_FILE_ERROR);
    FUZZ_CHECK((size < 6) == (r == SJOB_SHORT_FILE));
    if (r != SJOB_SHORT_FILE)
        checkDecodedTree(h, r);
    /* The write-back syncs to disk: done for one input in eight only. */
    if (r == 0 && (data[size - 1] & 7) == 0 && sjob_DOMTree2SensorJobFile(gOut.c_str(), h) == 0) {
        const std::vector<uint8_t> m1 = encode(h);
        FUZZ_CHECK(!m1.empty());
        FUZZ_CHECK(sjob_SensorJobFile2DOMTree(gOut.c_str(), h) == 0);
        FUZZ_CHECK(encode(h) == m1);
        unlink(gOut.c_str());
    }
    qrx_deinit(&h);
    return 0;
}
