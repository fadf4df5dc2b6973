/* The figures of lab against sensor; the decisions are in compare.h. */
#include "compare.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <map>
#include <tuple>

namespace compare {

namespace {

constexpr double kLimitsFactor = 1.96; /* Bland and Altman's, as labs quote it */
constexpr int kMaxDecimals = 6;
/* Slopes grow with the square of the pairs: 2000 pairs are 2 million
   slopes, 16 MB, still fine on the controller. */
constexpr size_t kMaxPbPairs = 2000;

double mean(const std::vector<double> &v)
{
    double sum = 0;
    for (double x : v)
        sum += x;
    return sum / static_cast<double>(v.size());
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

/* Sum of squared deviations, or of their products, about the means. */
double centredProducts(const std::vector<double> &x, double mx, const std::vector<double> &y, double my)
{
    double sum = 0;
    for (size_t i = 0; i < x.size(); ++i)
        sum += (x[i] - mx) * (y[i] - my);
    return sum;
}

/* Continued fraction of the incomplete beta function (modified Lentz). */
double betaFraction(double a, double b, double x)
{
    const double tiny = 1e-300;
    auto guard = [tiny](double v) { return std::fabs(v) < tiny ? tiny : v; };
    double c = 1;
    double d = 1 / guard(1 - (a + b) * x / (a + 1));
    double h = d;
    for (int m = 1; m <= 100000; ++m) {
        const double m2 = 2.0 * m;
        double aa = m * (b - m) * x / ((a - 1 + m2) * (a + m2));
        d = 1 / guard(1 + aa * d);
        c = guard(1 + aa / c);
        h *= d * c;
        aa = -(a + m) * (a + b + m) * x / ((a + m2) * (a + 1 + m2));
        d = 1 / guard(1 + aa * d);
        c = guard(1 + aa / c);
        h *= d * c;
        if (std::fabs(d * c - 1) < 1e-16)
            break;
    }
    return h;
}

/* The regularized incomplete beta function I_x(a, b). */
double incompleteBeta(double a, double b, double x)
{
    if (x <= 0)
        return 0;
    if (x >= 1)
        return 1;
    const double front =
        std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) + b * std::log1p(-x));
    if (x < (a + 1) / (a + b + 2))
        return front * betaFraction(a, b, x) / a;
    return 1 - front * betaFraction(b, a, 1 - x) / b;
}

double tDistribution(double t, double df)
{
    const double tail = incompleteBeta(df / 2, 0.5, df / (df + t * t)) / 2;
    return t > 0 ? 1 - tail : tail;
}

double normalDistribution(double z) { return std::erfc(-z / std::sqrt(2.0)) / 2; }

/* The x of an increasing distribution function F with F(x) = p. */
template <class F> double invert(F cdf, double p)
{
    double lo = -1, hi = 1;
    while (cdf(lo) > p && lo > -1e300)
        lo *= 2;
    while (cdf(hi) < p && hi < 1e300)
        hi *= 2;
    for (int i = 0; i < 2000; ++i) {
        const double mid = lo + (hi - lo) / 2;
        if (mid <= lo || mid >= hi)
            break;
        (cdf(mid) < p ? lo : hi) = mid;
    }
    return lo + (hi - lo) / 2;
}

/* The slopes of all pairs of points but identical ones and those of
   exactly -1, sorted; `below` counts those under -1. */
std::vector<double> pairSlopes(const std::vector<double> &x, const std::vector<double> &y, size_t *below)
{
    std::vector<double> s;
    s.reserve(x.size() * (x.size() - (x.empty() ? 0 : 1)) / 2);
    *below = 0;
    for (size_t i = 0; i < x.size(); ++i)
        for (size_t j = i + 1; j < x.size(); ++j) {
            const double dx = x[j] - x[i], dy = y[j] - y[i];
            if ((dx == 0 && dy == 0) || dy == -dx)
                continue;
            const double slope = dx == 0 ? HUGE_VAL : dy / dx;
            *below += slope < -1;
            s.push_back(slope);
        }
    std::sort(s.begin(), s.end());
    return s;
}

double interceptFor(const std::vector<double> &x, const std::vector<double> &y, double b)
{
    std::vector<double> r(x.size());
    for (size_t i = 0; i < x.size(); ++i)
        r[i] = y[i] - b * x[i];
    return median(std::move(r));
}

void blandAltman(const std::vector<double> &d, Group *g)
{
    const double n = static_cast<double>(d.size());
    g->bias = mean(d);
    if (d.size() < 2)
        return;
    const double sd = std::sqrt(centredProducts(d, *g->bias, d, *g->bias) / (n - 1));
    const double half = tQuantile(0.975, n - 1) * sd / std::sqrt(n);
    g->sd = sd;
    g->biasCi = Interval{*g->bias - half, *g->bias + half};
    g->limits = Interval{*g->bias - kLimitsFactor * sd, *g->bias + kLimitsFactor * sd};
}

void relativeFigures(const std::vector<Pair> &pairs, Group *g)
{
    double sum = 0;
    for (size_t i : g->pairs)
        if (auto r = relativeDifference(pairs[i])) {
            sum += *r;
            ++g->relativeCount;
        }
    if (g->relativeCount)
        g->meanRelative = sum / static_cast<double>(g->relativeCount);
}

void figures(const std::vector<Pair> &pairs, Group *g)
{
    std::vector<double> x, y, d;
    for (size_t i : g->pairs) {
        const Pair &p = pairs[i];
        x.push_back(p.process);
        y.push_back(p.lab);
        d.push_back(difference(p));
        g->decimals = std::max({g->decimals, valueDecimals(p.process), valueDecimals(p.lab)});
    }
    blandAltman(d, g);
    relativeFigures(pairs, g);
    g->leastSquares = leastSquares(x, y);
    g->passingBablok = passingBablok(x, y);
}

} // namespace

double difference(const Pair &p) { return p.lab - p.process; }

std::optional<double> relativeDifference(const Pair &p)
{
    if (p.process == 0)
        return std::nullopt;
    return difference(p) / std::fabs(p.process) * 100;
}

bool usableValue(double v) { return std::isfinite(v) && std::fabs(v) <= FLT_MAX; }

bool usable(const Pair &p) { return usableValue(p.process) && usableValue(p.lab); }

int valueDecimals(double v)
{
    const float target = static_cast<float>(v);
    double scale = 1;
    for (int d = 0; d < kMaxDecimals; ++d, scale *= 10)
        if (static_cast<float>(std::round(v * scale) / scale) == target)
            return d;
    return kMaxDecimals;
}

std::optional<LeastSquares> leastSquares(const std::vector<double> &x, const std::vector<double> &y)
{
    if (x.size() < 2)
        return std::nullopt;
    const double mx = mean(x), my = mean(y);
    const double sxx = centredProducts(x, mx, x, mx);
    const double syy = centredProducts(y, my, y, my);
    const double sxy = centredProducts(x, mx, y, my);
    if (sxx == 0)
        return std::nullopt;
    LeastSquares ls;
    ls.line.b = sxy / sxx;
    ls.line.a = my - ls.line.b * mx;
    if (syy > 0)
        ls.r = std::clamp(sxy / std::sqrt(sxx * syy), -1.0, 1.0);
    return ls;
}

PassingBablok passingBablok(const std::vector<double> &x, const std::vector<double> &y)
{
    PassingBablok pb;
    const size_t n = x.size();
    if (n > kMaxPbPairs) {
        pb.status = PbStatus::TooManyPairs;
        return pb;
    }
    const std::vector<double> s = pairSlopes(x, y, &pb.below);
    const size_t big = s.size(), k = pb.below;
    pb.slopes = big;
    const double nn = static_cast<double>(n);
    const double c = normalQuantile(0.975) * std::sqrt(nn * (nn - 1) * (2 * nn + 5) / 18);
    const double m1 = std::round((static_cast<double>(big) - c) / 2);
    if (m1 < 1) {
        pb.status = PbStatus::TooFewPairs;
        return pb;
    }
    const size_t low = static_cast<size_t>(m1), high = big - low + 1;
    if (high + k > big) {
        pb.status = PbStatus::Falling;
        return pb;
    }
    auto rank = [&s, k](size_t r) { return s[r + k - 1]; };
    pb.line.b = big % 2 ? rank((big + 1) / 2) : (rank(big / 2) + rank(big / 2 + 1)) / 2;
    pb.b = Interval{rank(low), rank(high)};
    if (!std::isfinite(pb.line.b) || !std::isfinite(pb.b.low) || !std::isfinite(pb.b.high)) {
        pb.status = PbStatus::Vertical;
        return pb;
    }
    pb.line.a = interceptFor(x, y, pb.line.b);
    pb.a = Interval{interceptFor(x, y, pb.b.high), interceptFor(x, y, pb.b.low)};
    pb.status = PbStatus::Ok;
    return pb;
}

const char *pbStatusText(PbStatus s)
{
    switch (s) {
    case PbStatus::Ok:
        return "";
    case PbStatus::TooFewPairs:
        return "not enough pairs";
    case PbStatus::TooManyPairs:
        return "too many pairs (more than 2000)";
    case PbStatus::Falling:
        return "no line: too many slopes below -1";
    case PbStatus::Vertical:
        return "no line: too many pairs share a process value";
    }
    return "";
}

double normalQuantile(double p) { return invert(normalDistribution, p); }

double tQuantile(double p, double df)
{
    return invert([df](double t) { return tDistribution(t, df); }, p);
}

Comparison compare(std::vector<Pair> pairs)
{
    Comparison c;
    c.pairs = std::move(pairs);
    std::map<std::tuple<std::string, std::string, std::string>, std::vector<size_t>> groups;
    for (size_t i = 0; i < c.pairs.size(); ++i) {
        const Pair &p = c.pairs[i];
        if (!usable(p)) {
            c.unusable.push_back(i);
            continue;
        }
        const std::string lab = p.labUnit == p.unit ? "" : p.labUnit;
        groups[{p.parameter, p.unit, lab}].push_back(i);
    }
    for (auto &[key, members] : groups) {
        Group g;
        std::tie(g.parameter, g.unit, g.labUnit) = key;
        g.unitsDiffer = !g.labUnit.empty();
        g.pairs = std::move(members);
        figures(c.pairs, &g);
        c.groups.push_back(std::move(g));
    }
    return c;
}

} // namespace compare
