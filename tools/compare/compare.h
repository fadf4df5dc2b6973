/*
 * Lab against sensor: the figures a laboratory uses to judge a sensor
 * from pairs of results of the same samples (jobtool compare), and their
 * outputs for people (table), programs (JSON, CSV) and the eye (SVG).
 * Pure C++: no library calls, nothing read or written here.
 *
 * Decisions the figures rest on:
 * - Groups: pairs are grouped by parameter, process unit and lab unit
 *   (an empty lab unit counts as the process unit), so units are never
 *   mixed; a group whose lab unit differs says so (`unitsDiffer`).
 *   Groups come in byte order of these three texts, pairs in input order.
 * - A pair with a value that is not finite or beyond a 32-bit float's
 *   range is left out of every group and listed in `unusable`.
 * - Difference: lab - process. Relative difference: (lab - process) /
 *   |process| in percent, so that its sign is the difference's; a pair
 *   with process value 0 has none and is left out of the mean relative
 *   difference (`relativeCount` tells how many went in).
 * - Bias and limits of agreement (Bland and Altman): bias = mean
 *   difference; its 95 % interval uses Student's t with n - 1 degrees of
 *   freedom; SD with n - 1; limits bias -/+ 1.96 SD. Bias needs one
 *   pair, the rest two.
 * - Least squares lab = a + b * process with Pearson's r: needs two
 *   different process values; r also needs two different lab values.
 * - Passing-Bablok (1983): slopes of all pairs of points; identical
 *   points and slopes of exactly -1 give none; K = slopes below -1
 *   shifts the median and the ranks of the 95 % interval of b,
 *   M1 = round((N - z * sqrt(n(n-1)(2n+5)/18)) / 2), M2 = N - M1 + 1;
 *   a = median(lab - b * process), its interval from the bounds of b.
 *   Two points with the same process value (and different lab values)
 *   give a slope of +infinity whatever their order (the paper's sign
 *   hangs on the order of the points). "Not enough pairs" when M1 < 1,
 *   that is below 5 pairs with different points: the method's own
 *   interval does not exist there, and a line without one is no
 *   judgement. Above 2000 pairs (2 million slopes) it is not worked out.
 * - Digits: the data's decimals are the fewest (up to 6) that give each
 *   process and lab value back as a 32-bit float (the job's precision);
 *   values and differences are printed with them, figures in the unit
 *   (bias, SD, limits, intercepts) with one more, slopes with 3 decimals
 *   (3 significant digits below 0.1), r with 4, percentages with 1.
 */
#ifndef TANDEL_TOOLS_COMPARE_H
#define TANDEL_TOOLS_COMPARE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace compare {

/* One sample measured by the sensor (process) and by the lab. Texts are
   bytes as the job has them. */
struct Pair {
    int64_t jobId = 0;
    std::string label;
    std::string sampleId;
    std::optional<int64_t> sampleDate; /* seconds since 1970 UTC */
    std::string parameter;
    std::string unit;    /* the process value's */
    std::string labUnit; /* "" when the lab entered none */
    double process = 0;
    double lab = 0;
};

struct Interval {
    double low = 0;
    double high = 0;
};

struct Line {
    double a = 0; /* intercept */
    double b = 0; /* slope */
};

struct LeastSquares {
    Line line;
    std::optional<double> r;
};

enum class PbStatus {
    Ok,
    TooFewPairs, /* the rank interval of b does not exist */
    TooManyPairs, /* above 2000: the slopes would not fit a controller */
    Falling,     /* slopes below -1 push the ranks past the last slope */
    Vertical,    /* the median or a bound is a vertical slope */
};

struct PassingBablok {
    PbStatus status = PbStatus::TooFewPairs;
    Line line;
    Interval a; /* 95 % */
    Interval b;
    size_t slopes = 0; /* N, the slopes used */
    size_t below = 0;  /* K, those below -1 */
};

struct Group {
    std::string parameter;
    std::string unit;
    std::string labUnit; /* "" when it is the process unit */
    bool unitsDiffer = false;
    std::vector<size_t> pairs; /* indexes into Comparison::pairs */
    int decimals = 0;          /* of the data */
    std::optional<double> bias;
    std::optional<Interval> biasCi;
    std::optional<double> sd;
    std::optional<Interval> limits;
    std::optional<double> meanRelative; /* percent */
    size_t relativeCount = 0;
    std::optional<LeastSquares> leastSquares;
    PassingBablok passingBablok;
};

struct Comparison {
    std::vector<Pair> pairs;
    std::vector<Group> groups;
    std::vector<size_t> unusable; /* indexes of pairs left out */
};

/* Groups the pairs and works out every figure. */
Comparison compare(std::vector<Pair> pairs);

/* The pieces, for the outputs and for tests. */
double difference(const Pair &p);
std::optional<double> relativeDifference(const Pair &p); /* percent */
bool usableValue(double v);
bool usable(const Pair &p);
int valueDecimals(double v);
std::optional<LeastSquares> leastSquares(const std::vector<double> &x, const std::vector<double> &y);
PassingBablok passingBablok(const std::vector<double> &x, const std::vector<double> &y);
const char *pbStatusText(PbStatus s);
/* Quantiles: p in (0, 1); df > 0. */
double normalQuantile(double p);
double tQuantile(double p, double df);

} // namespace compare

#endif
