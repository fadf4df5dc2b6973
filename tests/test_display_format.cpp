/* Display texts of measured values by the 16-bit format word. */
#include <cmath>

#include "testkit.h"
#include "xmljobhandler/jobapi_internal.h"

TEST(DisplayFormat, TextsOfTheCases)
{
    std::istringstream cases(testData("display_format_cases.txt"));
    int count = 0, rc = 0;
    unsigned word = 0;
    double v = 0;
    char text[32], out[32];
    for (std::string line; std::getline(cases, line);) {
        if (line[0] == '#')
            continue;
        ASSERT_EQ(std::sscanf(line.c_str(), "%x %lf \"%31[^\"]\" %d", &word, &v, text, &rc), 4) << line;
        std::memset(out, 'X', sizeof out);
        EXPECT_EQ(formatMeasurementString(out, static_cast<int>(word), v), rc) << line;
        EXPECT_STREQ(out, text) << line;
        ++count;
    }
    EXPECT_EQ(count, 37);
    EXPECT_EQ(formatMeasurementString(nullptr, 0x8000, 1.0), 0);
}

/* The controller's pow, bit for bit; x86-64 glibc with FMA differs at
   1e126, and up to 1e22 every pow is exact. */
TEST(DisplayFormat, PowersOfTen)
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
