/*
 * Fuzz target: the text conversions. decode_base64 never writes more
 * bytes than the text has characters and inverts encode_base64;
 * formatMeasurementString stays within 12 characters; atotime2000,
 * atolonglong and sprintf_tm take any text or time without harm.
 */
#include <cmath>
#include <ctime>
#include <vector>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("TZ", "UTC", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t which = data[0] % 5;
    ++data;
    --size;
    const std::string text(reinterpret_cast<const char *>(data), size);
    switch (which) {
    case 0: { /* decode into an area exactly as long as the text */
        const size_t chars = strlen(text.c_str());
        uint8_t *out = static_cast<uint8_t *>(malloc(chars)); /* a write past it is caught */
        int limit = size ? static_cast<int>(data[0]) * 64 : 0;
        if (limit == 0)
            limit = static_cast<int>(size);
        const uint32_t n = decode_base64(out, text.c_str(), limit);
        FUZZ_CHECK(n <= chars && n <= static_cast<uint32_t>(limit));
        free(out);
        break;
    }
    case 1: { /* encode, then decode back */
        std::vector<char> b64(4 * ((size + 2) / 3) + 1);
        const int n = encode_base64(b64.data(), data, static_cast<int>(size));
        FUZZ_CHECK(n == static_cast<int>(b64.size()) - 1 && strlen(b64.data()) == static_cast<size_t>(n));
        std::vector<uint8_t> back(static_cast<size_t>(n) + 1);
        FUZZ_CHECK(decode_base64(back.data(), b64.data(), n) == size);
        FUZZ_CHECK(std::equal(data, data + size, back.begin()));
        break;
    }
    case 2: { /* format word and value from the bytes */
        if (size < 12)
            return 0;
        int32_t format;
        double value;
        memcpy(&format, data, 4);
        memcpy(&value, data + 4, 8);
        char *out = static_cast<char *>(malloc(13));
        const int r = formatMeasurementString(out, format, value);
        FUZZ_CHECK(r == 0 || r == 1);
        FUZZ_CHECK(strlen(out) <= 12);
        if (r == 0)
            FUZZ_CHECK(strcmp(out, "Error") == 0);
        if (std::isnan(value))
            FUZZ_CHECK(r == 0);
        free(out);
        break;
    }
    case 3: {
        const int32_t t = atotime2000(text.c_str());
        (void)t;
        (void)atolonglong(text.c_str());
        break;
    }
    case 4: { /* sprintf_tm on broken-down times of any plausible field values */
        if (size < 8)
            return 0;
        struct tm tm {};
        tm.tm_sec = data[0] % 61;
        tm.tm_min = data[1] % 60;
        tm.tm_hour = data[2] % 24;
        tm.tm_mday = 1 + data[3] % 31;
        tm.tm_mon = data[4] % 12;
        tm.tm_year = static_cast<int8_t>(data[5]) * 40;
        tm.tm_gmtoff = static_cast<int16_t>(data[6] | data[7] << 8) * 60L % 86400;
        const size_t cap = 20 + data[6] % 20;
        std::vector<char> buf(cap);
        const int r = sprintf_tm(buf.data(), cap, &tm);
        FUZZ_CHECK(cap <= 25 ? r == -1 : (r >= 0 && static_cast<size_t>(r) < cap));
        break;
    }
    }
    return 0;
}
