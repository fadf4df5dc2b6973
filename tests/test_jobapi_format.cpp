/* Display formatting of measured values by the 16-bit format word. */
#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "TandelCntrl.h"
#include "xmljobhandler/jobapi_internal.h"

namespace {

int sig(int digits, int decimals) { return digits << 7 | decimals; }
int fixedDecimals(int decimals) { return 0x400 | decimals; }

TEST(JobFormat, WholeTable)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        int word;
        double value;
        const char *text;
        int result;
    } cases[] = {
        {sig(3, 2), 123.456, "123", 1},
        {sig(3, 2), 12.345, "12.3", 1},
        {sig(3, 2), -12.345, "-12.3", 1},
        {sig(3, 2), 0.5, "0.50", 1},
        {sig(3, 2), -0.5, "-0.50", 1},
        {sig(3, 3), 1.2345, "1.23", 1},
        {sig(5, 2), 123.456, "123.46", 1},
        {sig(2, 4), 0.0012345, "0.0012", 1},
        {sig(7, 7), 0.001234567, "0.0012346", 1},
        {sig(2, 1), 0.0456, "0.0", 1},
        {sig(4, 2), 99.996, "100.0", 1},
        {sig(3, 2), 99999, "100000", 1},
        {sig(2, 2), 1.0, "1.00", 1},
        {sig(3, 2), 0, "0.00", 1},
        {sig(1, 2), 0, "0.", 1},
        {0, 7.0, "Error", 0},
        {sig(0, 3), 7.0, "Error", 0},
        {fixedDecimals(2), 1.5, "1.50", 1},
        {fixedDecimals(2), 1234567.891, "1234567.89", 1},
        {fixedDecimals(2), 12345678901.0, "##.##", 1},
        {fixedDecimals(3), -12.3456, "-12.346", 1},
        {fixedDecimals(0), -1234567890.0, "-1234567890", 1}, /* sign allowed on top of 10 */
        {65535, 3.14159, " 3.14", 1},
        /* beyond the table */
        {0x10000 | sig(3, 2), 123.456, "123", 1}, /* only the low 16 bits count */
        {sig(7, 0), 1234567890.0, "1234568000", 1},
        {sig(7, 0), 123456789012.0, "##.##", 1},
        {sig(3, 2), 1e300, "##.##", 1},
        {sig(3, 2), 1.5e308, "##.##", 1},
        {sig(3, 7), 5e-324, "0.0000000", 1},
        {0x8000, 123456789.5, "123456789.50", 1},
        {0x8000, -123456789.5, "##.##", 1}, /* 13 characters */
        {0x8000, nan, "Error", 0},
        {sig(3, 2), nan, "Error", 0},
        {0x8000, inf, "##.##", 1},
        {sig(3, 2), -inf, "##.##", 1},
        {fixedDecimals(2), inf, "##.##", 1},
        {0, inf, "##.##", 1},
    };
    for (const Case &c : cases) {
        char out[32];
        std::memset(out, 'X', sizeof out);
        EXPECT_EQ(formatMeasurementString(out, c.word, c.value), c.result) << c.word << " " << c.value;
        EXPECT_STREQ(out, c.text) << c.word << " " << c.value;
        EXPECT_LE(std::strlen(out), 12u);
    }
    EXPECT_EQ(formatMeasurementString(nullptr, 0x8000, 1.0), 0);
}

/* The rounding's powers of ten are the controller's pow, bit for bit.
   x86-64 glibc takes another pow on processors with FMA, one that
   differs at 1e126; up to 1e22 every pow is exact. */
TEST(JobFormat, PowersOfTen)
{
#ifdef __arm__
    const int checked = 330;
#else
    const int checked = 22;
#endif
    for (int n = 0; n <= checked; ++n)
        EXPECT_EQ(jobapi_tenTo(n), std::pow(10.0, n)) << n;
    EXPECT_EQ(jobapi_tenTo(23), std::nextafter(1e23, HUGE_VAL));
    EXPECT_EQ(jobapi_tenTo(309), HUGE_VAL);
}

} // namespace
