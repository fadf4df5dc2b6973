/*
 * Fuzz target: the length-bounded message decoder. Every result is one
 * of the documented codes, the tree is sane and printable, and a decoded
 * job that the encoder takes comes back to a fixed point: encoding the
 * re-decoded tree gives the same message bytes, in UTC and in a zone
 * with summer time.
 */
#include "codec_common.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    codecSetup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* An exact-size copy so that any read past the length is caught. */
    std::vector<uint8_t> msg(data, data + size);
    /* The second zone has summer time: a reading in its gap or its
       repeated hour must come back to a fixed point too. */
    for (const char *tz : {"UTC", "Europe/Berlin"}) {
        setenv("TZ", tz, 1);
        tzset();
        qrx_Parser *h = nullptr;
        FUZZ_CHECK(qrx_init(&h, 4) == 0);
        const int r =
            sjob_Message2DOMTreeN(msg.empty() ? nullptr : msg.data(), static_cast<uint32_t>(size), h);
        FUZZ_CHECK(knownDecodeResult(r) && r != -99);
        checkDecodedTree(h, r);
        FUZZ_CHECK(printTree(h).size() >= 40);
        if (r == 0) {
            const std::vector<uint8_t> m2 = encode(h);
            if (!m2.empty()) {
                const int r2 = sjob_Message2DOMTreeN(m2.data(), static_cast<uint32_t>(m2.size()), h);
                FUZZ_CHECK(r2 == 0);
                const std::vector<uint8_t> m3 = encode(h);
                FUZZ_CHECK(m3 == m2);
            }
        }
        qrx_deinit(&h);
    }
    return 0;
}
