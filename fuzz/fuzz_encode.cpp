/*
 * Fuzz target: encode then decode. The input is read as XML into a job
 * document; whatever the encoder accepts must decode again, failing only
 * where the decoder's own rules say (more samples than max_samples, a
 * process measurement without value), and the decoded document must
 * keep the samples and measurements in order and encode to a message of
 * the same length whose decoded tree is identical.
 */
#include "codec_common.h"

namespace {

unsigned long number(const char *text)
{
    unsigned long v = 0;
    return text && *text && sscanf(text, "%lu", &v) == 1 ? v : 0;
}

bool hasReal(const qrx_Element *m)
{
    float f;
    return m->value && *m->value && sscanf(m->value, "%f", &f) == 1;
}

/* The measurement kinds of the document, in order, per sample. A
   sensordata text that decodes to no byte travels as an empty field and
   comes back as an empty attribute, which the encoder then leaves out:
   such documents reach their fixed point one round later (lossy). */
std::string shape(const qrx_Element *job, bool *decoderRefuses, bool *lossy = nullptr)
{
    std::string s;
    unsigned samples = 0;
    for (const qrx_Element *sm = job->children; sm; sm = sm->next) {
        if (!sameText(sm->name, "sample"))
            continue;
        ++samples;
        s += 'S';
        const char *b64 = qrx_GetAttribute("sensordata", nullptr, sm, nullptr);
        if (lossy && b64 && *b64) {
            std::vector<uint8_t> bytes(strlen(b64));
            if (decode_base64(bytes.data(), b64, static_cast<int>(bytes.size())) == 0)
                *lossy = true;
        }
        for (const qrx_Element *m = sm->children; m; m = m->next) {
            if (sameText(m->name, "process_measurement")) {
                s += 'p';
                if (decoderRefuses && !hasReal(m))
                    *decoderRefuses = true;
            } else if (sameText(m->name, "lab_measurement")) {
                s += 'l';
            }
        }
    }
    if (decoderRefuses && samples > (number(qrx_GetAttribute("max_samples", nullptr, job, nullptr)) & 0xFFFF))
        *decoderRefuses = true;
    return s;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    codecSetup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qrx_Parser *doc = nullptr, *h = nullptr;
    FUZZ_CHECK(qrx_init(&doc, 4) == 0 && qrx_init(&h, 4) == 0);
    FILE *fp = openInput(data, size);
    FUZZ_CHECK(fp);
    qrx_BuildDOMTree(doc, fp); /* a partial tree is a document too */
    fclose(fp);
    int er = 0;
    const std::vector<uint8_t> m1 = encode(doc, &er);
    FUZZ_CHECK(er == 0 || er == -2 || er == -3 || er == -4 || er == -5 || er == -7 || er == -9 || er == -10);
    if (!m1.empty()) {
        bool refuses = false, lossy = false;
        const std::string before = shape(doc->root->children, &refuses, &lossy);
        const int r = sjob_Message2DOMTreeN(m1.data(), static_cast<uint32_t>(m1.size()), h);
        if (refuses) {
            FUZZ_CHECK(r == -6 || r == -3);
        } else {
            FUZZ_CHECK(r == 0);
            checkDecodedTree(h, r);
            FUZZ_CHECK(shape(h->root->children, nullptr) == before);
            std::vector<uint8_t> m2 = encode(h);
            FUZZ_CHECK(!m2.empty() && (lossy || m2.size() == m1.size()));
            qrx_Parser *again = nullptr;
            FUZZ_CHECK(qrx_init(&again, 4) == 0);
            FUZZ_CHECK(sjob_Message2DOMTreeN(m2.data(), static_cast<uint32_t>(m2.size()), again) == 0);
            if (lossy) { /* one more round to the fixed point */
                m2 = encode(again);
                FUZZ_CHECK(sjob_Message2DOMTreeN(m2.data(), static_cast<uint32_t>(m2.size()), h) == 0);
                FUZZ_CHECK(encode(h) == m2);
            } else {
                FUZZ_CHECK(sameElement(h->root, again->root));
            }
            qrx_deinit(&again);
        }
    }
    qrx_deinit(&doc);
    qrx_deinit(&h);
    return 0;
}
