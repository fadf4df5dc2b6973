/*
 * Helpers of the codec fuzz targets: a fixed environment (UTC, a job-edit
 * setting that keeps `done` as it travels) and encode/decode wrappers.
 */
#ifndef TANDEL_FUZZ_CODEC_COMMON_H
#define TANDEL_FUZZ_CODEC_COMMON_H

#include <time.h>
#include <unistd.h>

#include <vector>

#include "fuzz_common.h"

/* The build points the job-edit setting here. */
#ifndef FUZZ_JOBEDIT_PATH
#error FUZZ_JOBEDIT_PATH must be defined
#endif

inline void codecSetup()
{
    setenv("TZ", "UTC", 1);
    tzset();
    /* Any number but 0 and 1 leaves the flag as the message has it. */
    if (FILE *fp = fopen(FUZZ_JOBEDIT_PATH, "w")) {
        fputs("2\n", fp);
        fclose(fp);
    }
}

/* The handle's document encoded; empty when the encoder refuses it. */
inline std::vector<uint8_t> encode(qrx_Parser *h, int *result = nullptr)
{
    std::vector<uint8_t> buf(16384);
    uint32_t len = static_cast<uint32_t>(buf.size());
    uint8_t *msg = nullptr;
    int r = sjob_DOMTree2Message(buf.data(), &len, &msg, h);
    if (r == -7) { /* rare: try once with room for any fuzz input */
        buf.resize(1 << 20);
        len = static_cast<uint32_t>(buf.size());
        r = sjob_DOMTree2Message(buf.data(), &len, &msg, h);
    }
    if (result)
        *result = r;
    if (r != 0)
        return {};
    FUZZ_CHECK(msg >= buf.data() && msg + len == buf.data() + buf.size() - 1 && len >= 4 && msg[0] == 0x60);
    return std::vector<uint8_t>(msg, msg + len);
}

inline bool knownDecodeResult(int r) { return r <= 0 && (r >= SJOB_NUL_TEXT || r == -99); }

/* Decoded tree must be a root holding a job whose samples are numbered. */
inline void checkDecodedTree(qrx_Parser *h, int r)
{
    FUZZ_CHECK(h->root && sameText(h->root->name, "__ROOT__") && h->root->index == 0);
    if (r != 0)
        return;
    const qrx_Element *job = h->root->children;
    FUZZ_CHECK(job && !job->next && sameText(job->name, "job"));
    int n = 0;
    for (const qrx_Element *s = job->children; s; s = s->next, ++n) {
        FUZZ_CHECK(sameText(s->name, "sample"));
        FUZZ_CHECK(sameText(qrx_GetAttribute("number", nullptr, s, nullptr), std::to_string(n).c_str()));
    }
}

#endif
