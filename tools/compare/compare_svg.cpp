/*
 * The plot of a comparison as SVG 1.1: one row per group, a scatter of
 * lab against process on the left and the difference plot on the right.
 * Only elements and attributes every renderer draws alike: no CSS, no
 * dominant-baseline (text is placed by its baseline), no clipping (lines
 * are cut to the plot area here). Classes name what an element shows.
 */
#include <algorithm>
#include <cmath>

#include "compare_output.h"

namespace compare {

namespace {

constexpr double kWidth = 1020;
constexpr double kRowHeight = 520;
constexpr double kSide = 340; /* plot areas are squares */
constexpr double kTop = 64;   /* of a plot area, within its row */
constexpr double kScatterLeft = 90;
constexpr double kDifferenceLeft = 550;
constexpr double kMinLabelGap = 14; /* between labels at the right of lines */

const char kFont[] = "DejaVu Sans, Arial, Helvetica, sans-serif";
const char kInk[] = "#000000";
const char kGrid[] = "#e0e0e0";
const char kIdentity[] = "#808080";
const char kLeastSquares[] = "#0072b2"; /* blue and vermilion: told apart by colour-blind eyes too */
const char kPassingBablok[] = "#d55e00";

struct Axis {
    double lo = 0;
    double hi = 1;
    double step = 1;
    int decimals = 0;
};

struct Box {
    double left;
    double top;
    Axis x;
    Axis y;
    double px(double v) const { return left + (v - x.lo) / (x.hi - x.lo) * kSide; }
    double py(double v) const { return top + kSide - (v - y.lo) / (y.hi - y.lo) * kSide; }
};

std::string num(double v) { return fixed(v, 2); }

/* Ticks at 1, 2 or 5 times a power of ten, about five of them, the
   ends on ticks and the data a little inside. */
Axis niceAxis(double lo, double hi)
{
    /* Values (nearly) alike: a range around them, never a step of 0. */
    if (!(hi - lo > 1e-12 * std::max({std::fabs(lo), std::fabs(hi), 1e-290}))) {
        const double pad = lo == 0 ? 1 : std::fabs(lo) / 10;
        lo -= pad;
        hi += pad;
    }
    const double margin = (hi - lo) * 0.04;
    lo -= margin;
    hi += margin;
    const double raw = (hi - lo) / 5;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    const double f = raw / power;
    Axis a;
    a.step = (f < 1.5 ? 1 : f < 3 ? 2 : f < 7 ? 5 : 10) * power;
    a.lo = std::floor(lo / a.step) * a.step;
    a.hi = std::ceil(hi / a.step) * a.step;
    a.decimals = std::max(0, -static_cast<int>(std::floor(std::log10(a.step) + 1e-9)));
    return a;
}

struct Segment {
    double x0, y0, x1, y1;
};

/* The part of y = a + b x inside the box, if any. */
std::optional<Segment> clip(const Line &l, const Box &box)
{
    double x0 = box.x.lo, x1 = box.x.hi;
    if (l.b != 0) {
        double xa = (box.y.lo - l.a) / l.b, xb = (box.y.hi - l.a) / l.b;
        if (xa > xb)
            std::swap(xa, xb);
        x0 = std::max(x0, xa);
        x1 = std::min(x1, xb);
    } else if (l.a < box.y.lo || l.a > box.y.hi) {
        return std::nullopt;
    }
    if (!(x0 < x1))
        return std::nullopt;
    return Segment{x0, l.a + l.b * x0, x1, l.a + l.b * x1};
}

class Svg {
  public:
    std::string out;

    void line(const char *cls, double x0, double y0, double x1, double y1, const char *colour, double width,
              const char *dash = nullptr)
    {
        out += std::string("<line class=\"") + cls + "\" x1=\"" + num(x0) + "\" y1=\"" + num(y0) + "\" x2=\"" +
               num(x1) + "\" y2=\"" + num(y1) + "\" stroke=\"" + colour + "\" stroke-width=\"" + num(width) + '"' +
               (dash ? std::string(" stroke-dasharray=\"") + dash + '"' : "") + "/>\n";
    }
    void text(const char *cls, double x, double y, const std::string &s, const char *anchor = "start",
              const std::string &extra = "")
    {
        out += std::string("<text class=\"") + cls + "\" x=\"" + num(x) + "\" y=\"" + num(y) +
               "\" text-anchor=\"" + anchor + '"' + extra + '>' + xmlEscape(s) + "</text>\n";
    }
    void marker(double x, double y)
    {
        out += "<circle class=\"marker\" cx=\"" + num(x) + "\" cy=\"" + num(y) +
               "\" r=\"3.5\" fill=\"#000000\" fill-opacity=\"0.25\" stroke=\"#000000\" stroke-width=\"1\"/>\n";
    }
    /* A line of the figures, in data coordinates, cut to the box. */
    bool dataLine(const char *cls, const Line &l, const Box &box, const char *colour, const char *dash = nullptr,
                  double width = 2)
    {
        const auto s = clip(l, box);
        if (s)
            line(cls, box.px(s->x0), box.py(s->y0), box.px(s->x1), box.py(s->y1), colour, width, dash);
        return s.has_value();
    }
};

std::string withUnit(const std::string &what, const std::string &unit)
{
    return unit.empty() ? what : what + " [" + unit + "]";
}

void frame(Svg &svg, const Box &box, const std::string &xTitle, const std::string &yTitle)
{
    const double right = box.left + kSide, bottom = box.top + kSide;
    const long long xFirst = std::llround(box.x.lo / box.x.step), xLast = std::llround(box.x.hi / box.x.step);
    for (long long k = xFirst; k <= xLast; ++k) {
        const double v = static_cast<double>(k) * box.x.step, x = box.px(v);
        svg.line("grid", x, box.top, x, bottom, kGrid, 1);
        svg.line("x-tick", x, bottom, x, bottom + 5, kInk, 1);
        svg.text("x-tick", x, bottom + 19, fixed(v, box.x.decimals), "middle");
    }
    const long long yFirst = std::llround(box.y.lo / box.y.step), yLast = std::llround(box.y.hi / box.y.step);
    for (long long k = yFirst; k <= yLast; ++k) {
        const double v = static_cast<double>(k) * box.y.step, y = box.py(v);
        svg.line("grid", box.left, y, right, y, kGrid, 1);
        svg.line("y-tick", box.left - 5, y, box.left, y, kInk, 1);
        svg.text("y-tick", box.left - 8, y + 4, fixed(v, box.y.decimals), "end");
    }
    svg.out += "<rect class=\"frame\" x=\"" + num(box.left) + "\" y=\"" + num(box.top) + "\" width=\"" + num(kSide) +
               "\" height=\"" + num(kSide) + "\" fill=\"none\" stroke=\"#000000\" stroke-width=\"1\"/>\n";
    svg.text("axis-title", box.left + kSide / 2, bottom + 40, xTitle, "middle");
    const double yx = box.left - 62, yy = box.top + kSide / 2;
    svg.text("axis-title", yx, yy, yTitle, "middle",
             " transform=\"rotate(-90 " + num(yx) + ' ' + num(yy) + ")\"");
}

std::string equation(const Line &l, const Group &g)
{
    return lineText(l, unitDecimals(g), slopeDecimals(std::fabs(l.b)), "\xC3\x97", "\xE2\x88\x92");
}

void key(Svg &svg, double x, double y, const char *colour, const char *dash, double width, const std::string &label)
{
    svg.line("key", x, y - 4, x + 28, y - 4, colour, width, dash);
    svg.text("key", x + 36, y, label);
}

void scatter(Svg &svg, const Comparison &c, const Group &g, double top)
{
    double xlo = HUGE_VAL, xhi = -HUGE_VAL, ylo = HUGE_VAL, yhi = -HUGE_VAL;
    for (size_t i : g.pairs) {
        xlo = std::min(xlo, c.pairs[i].process);
        xhi = std::max(xhi, c.pairs[i].process);
        ylo = std::min(ylo, c.pairs[i].lab);
        yhi = std::max(yhi, c.pairs[i].lab);
    }
    /* One scale for both, so that the identity is the diagonal; values
       in different units each get their own. */
    if (!g.unitsDiffer) {
        xlo = ylo = std::min(xlo, ylo);
        xhi = yhi = std::max(xhi, yhi);
    }
    const Box box{kScatterLeft, top, niceAxis(xlo, xhi), niceAxis(ylo, yhi)};
    svg.out += "<g class=\"scatter\">\n";
    frame(svg, box, withUnit("process value", g.unit), withUnit("lab value", g.unitsDiffer ? g.labUnit : g.unit));
    if (!g.unitsDiffer)
        svg.dataLine("identity", Line{0, 1}, box, kIdentity, "6 4");
    const PassingBablok &pb = g.passingBablok;
    /* The wide line under the narrow one: both show where they meet. */
    if (g.leastSquares)
        svg.dataLine("least-squares", g.leastSquares->line, box, kLeastSquares, nullptr, 3.5);
    if (pb.status == PbStatus::Ok)
        svg.dataLine("passing-bablok", pb.line, box, kPassingBablok, nullptr, 1.5);
    for (size_t i : g.pairs)
        svg.marker(box.px(c.pairs[i].process), box.py(c.pairs[i].lab));
    const double y = top + kSide + 66;
    key(svg, box.left - 60, y, kIdentity, "6 4", 2,
        g.unitsDiffer ? "identity: not drawn, the units differ" : "identity: lab = process");
    key(svg, box.left - 60, y + 18, kLeastSquares, nullptr, 3.5,
        "least squares: " + (g.leastSquares ? equation(g.leastSquares->line, g) : "needs 2 different process values"));
    key(svg, box.left - 60, y + 36, kPassingBablok, nullptr, 1.5,
        "Passing-Bablok: " + (pb.status == PbStatus::Ok ? equation(pb.line, g) : pbStatusText(pb.status)));
    svg.out += "</g>\n";
}

/* Labels at the right of the difference plot's lines, pushed apart so
   that none covers another. */
void rightLabels(Svg &svg, const Box &box, std::vector<std::pair<double, std::string>> labels)
{
    std::sort(labels.begin(), labels.end());
    for (size_t k = 1; k < labels.size(); ++k)
        labels[k].first = std::max(labels[k].first, labels[k - 1].first + kMinLabelGap);
    for (const auto &[y, s] : labels)
        svg.text("line-label", box.left + kSide + 6, y + 4, s);
}

void differencePlot(Svg &svg, const Comparison &c, const Group &g, double top)
{
    double xlo = HUGE_VAL, xhi = -HUGE_VAL, ylo = 0, yhi = 0;
    for (size_t i : g.pairs) {
        const double m = (c.pairs[i].process + c.pairs[i].lab) / 2, d = difference(c.pairs[i]);
        xlo = std::min(xlo, m);
        xhi = std::max(xhi, m);
        ylo = std::min(ylo, d);
        yhi = std::max(yhi, d);
    }
    if (g.limits) {
        ylo = std::min(ylo, g.limits->low);
        yhi = std::max(yhi, g.limits->high);
    }
    const Box box{kDifferenceLeft, top, niceAxis(xlo, xhi), niceAxis(ylo, yhi)};
    const std::string unit = g.unitsDiffer ? "" : g.unit;
    svg.out += "<g class=\"difference\">\n";
    frame(svg, box, withUnit("mean of process and lab", unit), withUnit("lab \xE2\x88\x92 process", unit));
    svg.dataLine("zero", Line{0, 0}, box, kIdentity, "6 4");
    const int d = unitDecimals(g);
    std::vector<std::pair<double, std::string>> labels;
    svg.dataLine("bias", Line{*g.bias, 0}, box, kLeastSquares);
    labels.push_back({box.py(*g.bias), "bias " + fixed(*g.bias, d)});
    if (g.limits) {
        svg.dataLine("limit", Line{g.limits->high, 0}, box, kLeastSquares, "3 3");
        svg.dataLine("limit", Line{g.limits->low, 0}, box, kLeastSquares, "3 3");
        labels.push_back({box.py(g.limits->high), "+1.96 SD " + fixed(g.limits->high, d)});
        labels.push_back({box.py(g.limits->low), "\xE2\x88\x92" "1.96 SD " + fixed(g.limits->low, d)});
    }
    rightLabels(svg, box, labels);
    for (size_t i : g.pairs)
        svg.marker(box.px((c.pairs[i].process + c.pairs[i].lab) / 2), box.py(difference(c.pairs[i])));
    if (!g.limits)
        svg.text("note", box.left, top + kSide + 66, "limits of agreement: need 2 pairs");
    svg.out += "</g>\n";
}

std::string title(const Group &g)
{
    std::string t = g.parameter.empty() ? "(no parameter)" : g.parameter;
    if (g.unitsDiffer)
        t += " (process unit " + (g.unit.empty() ? std::string("none") : g.unit) + ", lab unit " + g.labUnit +
             ": units differ)";
    else if (!g.unit.empty())
        t += " [" + g.unit + "]";
    const size_t n = g.pairs.size();
    return t + ": " + std::to_string(n) + (n == 1 ? " pair" : " pairs");
}

} // namespace

std::string svgText(const Comparison &c)
{
    const double height = std::max<double>(1, static_cast<double>(c.groups.size())) * kRowHeight;
    Svg svg;
    svg.out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" + num(kWidth) + "\" height=\"" +
              num(height) + "\" viewBox=\"0 0 " + num(kWidth) + ' ' + num(height) + "\">\n"
              "<title>Lab against sensor</title>\n"
              "<rect x=\"0\" y=\"0\" width=\"" + num(kWidth) + "\" height=\"" + num(height) +
              "\" fill=\"#ffffff\"/>\n"
              "<g font-family=\"" + std::string(kFont) + "\" font-size=\"12\">\n";
    double top = 0;
    for (const Group &g : c.groups) {
        svg.out += "<g class=\"group\">\n";
        svg.text("title", 20, top + 28, title(g), "start", " font-size=\"16\" font-weight=\"bold\"");
        scatter(svg, c, g, top + kTop);
        differencePlot(svg, c, g, top + kTop);
        svg.out += "</g>\n";
        top += kRowHeight;
    }
    if (c.groups.empty())
        svg.text("note", 20, 28, "no pairs");
    return svg.out + "</g>\n</svg>\n";
}

} // namespace compare
