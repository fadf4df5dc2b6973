/* Base64 and timestamp texts of the codec. */
#include "test_codec_helpers.h"

#include <cstring>
#include <random>
#include <tuple>

namespace {

std::string b64(const std::string &s)
{
    std::vector<char> out(4 * ((s.size() + 2) / 3) + 1, '#');
    int n = encode_base64(out.data(), reinterpret_cast<const uint8_t *>(s.data()), static_cast<int>(s.size()));
    EXPECT_EQ(static_cast<size_t>(n), strlen(out.data()));
    return out.data();
}

/* Decodes into an area exactly as long as the text (so a sanitizer sees
   any overrun) from a copy that ends at its NUL. */
std::string unb64(const std::string &text, int length = -1)
{
    std::vector<char> t(text.begin(), text.end());
    t.push_back('\0');
    Bytes out(text.size());
    uint32_t n = decode_base64(out.data(), t.data(), length < 0 ? static_cast<int>(text.size()) : length);
    EXPECT_LE(n, text.size());
    return std::string(out.begin(), out.begin() + n);
}

TEST(Base64, Encode)
{
    EXPECT_EQ(b64("abc"), "YWJj");
    EXPECT_EQ(b64("ab"), "YWI=");
    EXPECT_EQ(b64("a"), "YQ==");
    EXPECT_EQ(b64(""), "");
    char t[4] = "xyz";
    EXPECT_EQ(encode_base64(t, reinterpret_cast<const uint8_t *>("abc"), -3), 0);
    EXPECT_STREQ(t, "");
    EXPECT_EQ(b64(std::string("\xFB\xFF\xBF", 3)), "+/+/");
}

TEST(Base64, Decode)
{
    EXPECT_EQ(unb64("YWJj"), "abc");
    EXPECT_EQ(unb64("YWI="), "ab");
    EXPECT_EQ(unb64("YQ=="), "a");
    EXPECT_EQ(unb64("YW Jj"), "abc");
    EXPECT_EQ(unb64("YW\r\nJj"), "abc");
    EXPECT_EQ(unb64("Y-W_J\x80j"), "abc");
    EXPECT_EQ(unb64("YWI"), "");     /* unpadded rest dropped */
    EXPECT_EQ(unb64("YWJjZA"), "abc");
    EXPECT_EQ(unb64("YWJjZGVm", 4), "abc"); /* bounded by the length given */
    EXPECT_EQ(unb64(""), "");

    /* padding that does not fit the unfinished group */
    EXPECT_EQ(unb64("YWJj="), "abc");
    EXPECT_EQ(unb64("YWJj=="), "abc");
    EXPECT_EQ(unb64("Y="), "");
    EXPECT_EQ(unb64("="), "");
    EXPECT_EQ(unb64("YW="), "a");   /* one byte from two characters */
    EXPECT_EQ(unb64("YWI=="), "a"); /* a further '=' after three: one byte */
    EXPECT_EQ(unb64("YWI= x ="), "a");
    EXPECT_EQ(unb64("YWI=YWJj"), "ab"); /* nothing after the first '=' is data */
}

TEST(Base64, RoundTripAndBounds)
{
    std::mt19937 rng(3);
    for (int len = 0; len < 70; ++len) {
        std::string s(static_cast<size_t>(len), '\0');
        for (char &c : s)
            c = static_cast<char>(rng());
        EXPECT_EQ(unb64(b64(s)), s) << len;
    }
    const char alphabet[] = "AZaz09+/= \n";
    for (int i = 0; i < 2000; ++i) {
        std::string t(rng() % 12, 'A');
        for (char &c : t)
            c = alphabet[rng() % (sizeof alphabet - 1)];
        unb64(t); /* never more bytes than characters, never out of the area */
    }
}

TEST(TimeText, SprintfTm)
{
    time_t t = 946684810;
    struct tm tm;
    gmtime_r(&t, &tm);
    char buf[32];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(sprintf_tm(buf, 25, &tm), -1);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(sprintf_tm(buf, 26, &tm), 24);
    EXPECT_STREQ(buf, "2000-01-01T00:00:10+0000");
    EXPECT_EQ(sprintf_tm(nullptr, 26, &tm), -1);
}

TEST(TimeText, SprintfLocaltime)
{
    char buf[32];
    setTZ("UTC0");
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(sprintf_localtime(buf, 25, 946684810), -1);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(sprintf_localtime(buf, 26, 946684810), 24);
    EXPECT_STREQ(buf, "2000-01-01T00:00:10+0000");
    EXPECT_EQ(sprintf_localtime(buf, sizeof buf, 946684800LL + 0x7FFFFFFFLL), 24);
    EXPECT_STREQ(buf, "2068-01-19T03:14:07+0000");
    EXPECT_EQ(sprintf_localtime(buf, sizeof buf, 946684800LL - 0x80000000LL), 24);
    EXPECT_STREQ(buf, "1931-12-13T20:45:52+0000");

    setTZ("CET-1"); /* UTC+1, no daylight saving */
    EXPECT_EQ(sprintf_localtime(buf, sizeof buf, 946684810), 24);
    EXPECT_STREQ(buf, "2000-01-01T00:00:10+0100");
    setTZ("EST5");
    EXPECT_EQ(sprintf_localtime(buf, sizeof buf, 946684800LL + 0x7FFFFFFFLL), 24);
    EXPECT_STREQ(buf, "2068-01-19T03:14:07-0500");
    setTZ("UTC0");
}

/* The shifted breakdown that targets with a 32-bit time_t use after
   2038 gives the same local fields and offsets as the direct one, DST
   included. */
TEST(TimeText, ShiftedBreakdownMatches)
{
    setTZ("CET-1CEST,M3.5.0,M10.5.0/3");
    const int64_t from = 0x7FFFFFFFLL, to = 946684800LL + 0x7FFFFFFFLL;
    for (int64_t t = from; t < to; t += 86400LL * 13 + 3607) {
        struct tm a {}, b {};
        ASSERT_TRUE(localtime64(t, &a));
        ASSERT_TRUE(localtime64(t, &b, 2));
        EXPECT_EQ(std::make_tuple(a.tm_year, a.tm_mon, a.tm_mday, a.tm_hour, a.tm_min, a.tm_sec, a.tm_wday, a.tm_yday,
                                  a.tm_isdst, a.tm_gmtoff),
                  std::make_tuple(b.tm_year, b.tm_mon, b.tm_mday, b.tm_hour, b.tm_min, b.tm_sec, b.tm_wday, b.tm_yday,
                                  b.tm_isdst, b.tm_gmtoff))
            << t;
    }
    setTZ("UTC0");
}

TEST(TimeText, Timegm64MatchesTimegm)
{
    std::mt19937 rng(11);
    for (int i = 0; i < 5000; ++i) {
        struct tm tm {};
        tm.tm_year = static_cast<int>(rng() % 300) - 70; /* 1830 .. 2129 */
        tm.tm_mon = static_cast<int>(rng() % 12);
        tm.tm_mday = 1 + static_cast<int>(rng() % 31);
        tm.tm_hour = static_cast<int>(rng() % 24);
        tm.tm_min = static_cast<int>(rng() % 60);
        tm.tm_sec = static_cast<int>(rng() % 61);
        struct tm copy = tm;
        EXPECT_EQ(timegm64(&tm), static_cast<int64_t>(timegm(&copy)));
    }
}

} // namespace
