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
    EXPECT_EQ(count, 38);
    EXPECT_EQ(formatMeasurementString(nullptr, 0x8000, 1.0), 0);
}

/* Units in the last place between two positive doubles. */
static int64_t ulpsApart(double a, double b)
{
    int64_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x > y ? x - y : y - x;
}

/* The powers of ten are those of the controller's pow (glibc without FMA,
   one unit in the last place above the nearest double at three powers):
   compared with it where it runs (scripts/arm.sh), and everywhere exact
   where the double holds them, within a unit of the nearest double
   beyond, infinite past 1e308. */
TEST(DisplayFormat, PowersOfTenAsTheControllersPow)
{
    double exact = 1;
    for (int n = 0; n <= 22; ++n, exact *= 10)
        EXPECT_EQ(jobapi_tenTo(n), exact) << n;
    for (int n = 23; n <= 308; ++n) {
        const double nearest = std::strtod(("1e" + std::to_string(n)).c_str(), nullptr);
        EXPECT_LE(ulpsApart(jobapi_tenTo(n), nearest), 1) << n;
    }
    EXPECT_EQ(jobapi_tenTo(309), HUGE_VAL);
#ifdef __arm__
    for (int n = 0; n <= 330; ++n)
        EXPECT_EQ(jobapi_tenTo(n), std::pow(10.0, n)) << n;
#endif
}
