/* Lab against sensor (tools/compare): the figures against hand-worked
   cases and against a second Passing-Bablok written here; the outputs
   against expected files; the SVG read back and drawn by rsvg-convert. */
#include <spawn.h>

#include <cmath>
#include <map>
#include <random>
#include <regex>

#include "compare_output.h"
#include "testkit.h"

using namespace compare;
using Json = nlohmann::json;

namespace {

/* Passing-Bablok a second way: each slope as the angle of its line,
   folded into (-45, 135] degrees, so that the paper's shift by the
   slopes below -1 is the plain order of the angles. */
PassingBablok naivePassingBablok(const std::vector<double> &x, const std::vector<double> &y)
{
    const double pi = std::acos(-1.0);
    std::vector<double> angle;
    for (size_t i = 0; i < x.size(); ++i)
        for (size_t j = 0; j < i; ++j) {
            const double dx = x[i] - x[j], dy = y[i] - y[j];
            if ((dx == 0 && dy == 0) || dx == -dy)
                continue;
            const double t = std::atan2(dy, dx);
            angle.push_back(t <= -pi / 4 ? t + pi : t > 3 * pi / 4 ? t - pi : t);
        }
    std::sort(angle.begin(), angle.end());
    PassingBablok pb;
    pb.slopes = angle.size();
    pb.below = static_cast<size_t>(std::count_if(angle.begin(), angle.end(), [pi](double t) { return t > pi / 2; }));
    const double n = static_cast<double>(x.size()), big = static_cast<double>(angle.size());
    const long m1 = std::lround((big - 1.959963984540054 * std::sqrt(n * (n - 1) * (2 * n + 5) / 18)) / 2);
    if (m1 < 1)
        return pb; /* too few */
    const size_t lo = static_cast<size_t>(m1) - 1, hi = angle.size() - lo - 1, mid = angle.size() / 2;
    pb.status = angle[hi] > pi / 2 ? PbStatus::Falling : PbStatus::Vertical;
    auto slope = [&angle, pi](size_t k) { return angle[k] == pi / 2 ? HUGE_VAL : std::tan(angle[k]); };
    pb.line.b = angle.size() % 2 ? slope(mid) : (slope(mid - 1) + slope(mid)) / 2;
    pb.b = {slope(lo), slope(hi)};
    if (pb.status == PbStatus::Falling || std::isinf(pb.line.b + pb.b.low + pb.b.high))
        return pb;
    auto intercept = [&](double b) {
        std::vector<double> r;
        for (size_t i = 0; i < x.size(); ++i)
            r.push_back(y[i] - b * x[i]);
        std::nth_element(r.begin(), r.begin() + r.size() / 2, r.end());
        const double upper = r[r.size() / 2];
        return r.size() % 2 ? upper : (upper + *std::max_element(r.begin(), r.begin() + r.size() / 2)) / 2;
    };
    pb.line.a = intercept(pb.line.b);
    pb.a = {intercept(pb.b.high), intercept(pb.b.low)};
    pb.status = PbStatus::Ok;
    return pb;
}

/* The tab-separated cells of a line of a data file (empty ones too),
   with \xHH, \n and \t in them replaced. */
std::vector<std::string> fields(const std::string &line)
{
    std::vector<std::string> f(1);
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i], next = i + 1 < line.size() ? line[i + 1] : 0;
        if (c == '\t') {
            f.emplace_back();
        } else if (c == '\\' && next == 'x') {
            f.back() += static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else if (c == '\\' && (next == 'n' || next == 't')) {
            f.back() += next == 'n' ? '\n' : '\t';
            ++i;
        } else {
            f.back() += c;
        }
    }
    return f;
}

/* A number of a data file, whatever the C locale ("nan" too). */
double number(const std::string &s)
{
    double v = NAN;
    std::istringstream(s) >> v;
    return s == "nan" ? NAN : v;
}

Comparison example()
{
    setTimeZone("Europe/Berlin");
    std::vector<Pair> pairs;
    std::istringstream in(testData("compare_pairs.tsv"));
    for (std::string line; std::getline(in, line);) {
        if (line[0] == '#')
            continue;
        const std::vector<std::string> f = fields(line);
        Pair p{std::stoll(f.at(0)), f[1], f[2], std::nullopt, f[4], f[5], f[6],
               static_cast<float>(number(f[7])), static_cast<float>(number(f.at(8)))}; /* as jobs hold them */
        if (f[3] != "-")
            p.sampleDate = std::stoll(f[3]);
        pairs.push_back(p);
    }
    return compare::compare(pairs);
}

/* The elements of a tag and class in the first `<g class="part">` after
   `from`: their numeric attributes and their text. */
struct Element {
    std::map<std::string, double> at;
    std::string text;
};

std::vector<Element> elements(const std::string &svg, size_t from, const std::string &part, const std::string &tag,
                              const std::string &cls)
{
    const size_t start = svg.find("<g class=\"" + part + "\">", from);
    const std::string body = svg.substr(start, svg.find("</g>", start) - start);
    const std::regex element("<" + tag + " class=\"" + cls + "\"([^>]*?)/?>(?:([^<]*)</" + tag + ">)?");
    const std::regex attribute("([a-z0-9]+)=\"(-?[0-9.]+)\"");
    std::vector<Element> found;
    for (std::sregex_iterator e(body.begin(), body.end(), element), end; e != end; ++e) {
        found.push_back({{}, (*e)[2]});
        const std::string attrs = (*e)[1];
        for (std::sregex_iterator a(attrs.begin(), attrs.end(), attribute); a != end; ++a)
            found.back().at[(*a)[1]] = number((*a)[2]);
    }
    return found;
}

/* Data coordinate of a pixel, from the first and last tick of an axis. */
struct Scale {
    double p0, v0, perPixel;
    double operator()(double p) const { return v0 + (p - p0) * perPixel; }
};

Scale scaleOf(const std::string &svg, size_t from, const std::string &part, char axis)
{
    const std::string cls = std::string(1, axis) + "-tick", coord = axis == 'x' ? "x1" : "y1";
    const auto lines = elements(svg, from, part, "line", cls), labels = elements(svg, from, part, "text", cls);
    EXPECT_EQ(lines.size(), labels.size());
    EXPECT_GE(lines.size(), 3u);
    const double p0 = lines.front().at.at(coord), v0 = number(labels.front().text);
    return {p0, v0, (number(labels.back().text) - v0) / (lines.back().at.at(coord) - p0)};
}

const int kNotInstalled = -2;

/* The program's exit status, -1 when it cannot run, kNotInstalled. */
int run(std::vector<std::string> args, const std::string &errors)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (rc == ENOENT)
        return kNotInstalled;
    if (rc != 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

/* Each figure as the group's JSON holds it. */
TEST(Compare, HandWorkedFigures)
{
    std::istringstream in(testData("compare_figures.txt"));
    std::string name;
    std::vector<double> x, y;
    Json group;
    int checked = 0;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string key, value;
        words >> key >> value;
        if (key == "case") {
            name = value;
            x.clear();
            y.clear();
            group = nullptr;
        } else if (key == "process" || key == "lab") {
            std::vector<double> &list = key == "process" ? x : y;
            for (list.push_back(number(value)); words >> value;)
                list.push_back(number(value));
        } else if (!key.empty() && key[0] == '/') {
            std::vector<Pair> pairs(x.size());
            for (size_t i = 0; i < x.size(); ++i) {
                pairs[i].process = x[i];
                pairs[i].lab = y.at(i);
            }
            if (group.is_null())
                group = toJson(compare::compare(pairs))["groups"][0];
            const Json &got = group.at(Json::json_pointer(key));
            ++checked;
            if (value == "-")
                EXPECT_TRUE(got.is_null()) << name << " " << key;
            else if (got.is_string())
                EXPECT_EQ(got, value) << name << " " << key;
            else
                EXPECT_NEAR(got.get<double>(), number(value), 1e-12 * std::max(1.0, std::fabs(number(value))))
                    << name << " " << key;
        }
    }
    EXPECT_EQ(checked, 89);
}

/* Grids of small numbers make ties, identical points, slopes of -1 and
   vertical pairs; uniform reals make none. */
TEST(Compare, PassingBablokAgainstSecondImplementation)
{
    std::mt19937 random(31);
    std::map<PbStatus, int> seen;
    for (int round = 0; round < 600; ++round) {
        const bool grid = round % 2 == 0;
        std::vector<double> x(1 + random() % 40), y(x.size());
        for (size_t i = 0; i < x.size(); ++i) {
            const double t = static_cast<double>(random() % (round % 5 == 2 ? 2 : 13)) - 4;
            x[i] = grid ? t : std::ldexp(static_cast<double>(random()), -28);
            const double noise = grid ? static_cast<double>(random() % 5) - 2 : std::ldexp(static_cast<double>(random()), -31);
            y[i] = (round % 7 == 0 ? -1.3 : 0.9) * x[i] + noise;
        }
        const PassingBablok want = naivePassingBablok(x, y), got = passingBablok(x, y);
        ++seen[got.status];
        ASSERT_EQ(got.status, want.status) << round;
        EXPECT_EQ(got.slopes, want.slopes) << round;
        EXPECT_EQ(got.below, want.below) << round;
        if (got.status != PbStatus::Ok)
            continue;
        const double tolerance = 1e-9 * (1 + std::fabs(want.line.b));
        EXPECT_NEAR(got.line.b, want.line.b, tolerance) << round;
        EXPECT_NEAR(got.b.low, want.b.low, tolerance) << round;
        EXPECT_NEAR(got.b.high, want.b.high, tolerance) << round;
        EXPECT_NEAR(got.line.a, want.line.a, 1e-8) << round;
        EXPECT_NEAR(got.a.low, want.a.low, 1e-8) << round;
        EXPECT_NEAR(got.a.high, want.a.high, 1e-8) << round;
    }
    EXPECT_EQ(seen.size(), 4u); /* all but too many pairs */
    std::vector<double> many(2001, 1.0);
    EXPECT_EQ(passingBablok(many, many).status, PbStatus::TooManyPairs);
}

/* Quantiles, digits and texts, with a decimal comma in the C locale. */
TEST(Compare, NumbersAndTexts)
{
    TempDir dir;
    const bool german = useGermanNumbers(dir.path());
    setTimeZone("Europe/Berlin");
    std::istringstream in(testData("compare_numbers.tsv"));
    int checked = 0;
    for (std::string line; std::getline(in, line);) {
        if (line[0] == '#')
            continue;
        ++checked;
        const std::vector<std::string> f = fields(line);
        const std::string &kind = f[0], &in1 = f.at(1), &want = f.back();
        std::string got;
        if (kind == "t" || kind == "z") {
            const double q = kind == "t" ? tQuantile(number(in1), number(f[2])) : normalQuantile(number(in1));
            EXPECT_NEAR(q, number(want), 1e-9 * std::fabs(number(want)) + 1e-12) << line;
            continue;
        } else if (kind == "decimals") {
            got = std::to_string(valueDecimals(static_cast<float>(number(in1))));
        } else if (kind == "fixed") {
            got = fixed(number(in1), std::stoi(f[2]));
        } else if (kind == "slope") {
            got = std::to_string(slopeDecimals(number(in1)));
        } else if (kind == "csv") {
            got = csvField(in1);
        } else if (kind == "xml") {
            got = xmlEscape(in1);
        } else if (kind == "utf8" || kind == "xmltext") {
            got = cleanUtf8(in1, kind == "xmltext");
        } else if (kind == "date") {
            got = dateText(in1 == "-" ? std::nullopt : std::optional<int64_t>(std::stoll(in1)));
        }
        EXPECT_EQ(got, want) << line << (german ? " (decimal comma)" : "");
    }
    EXPECT_EQ(checked, 49);
    std::setlocale(LC_ALL, "C");
}

/* Grouping, digits, quoting and what is left out, as people and
   spreadsheets see them. */
TEST(Compare, TableAndCsv)
{
    const Comparison c = example();
    EXPECT_EQ(tableText(c), testData("compare_table.txt"));
    EXPECT_EQ(csvText(c), testData("compare.csv"));
}

TEST(Compare, JsonKeepsEveryByte)
{
    const Json j = Json::parse(jsonText(example()));
    const Json &ph = j["groups"][3]["pairs"];
    EXPECT_EQ(ph[3]["label"], "1003-\xEF\xBF\xBD");
    EXPECT_EQ(ph[3]["label_hex"], "313030332dff");
    EXPECT_FALSE(ph[0].contains("label_hex"));
    EXPECT_EQ(ph[0]["sample_date"], "2024-01-15T11:00:00+0100");
    EXPECT_EQ(ph[0]["process_value"].get<double>(), 6.18f);
    EXPECT_EQ(j["groups"][2]["parameter_hex"], "543c263e01ff");
    EXPECT_EQ(j["groups"][0]["lab_unit"], "mS/cm");
    EXPECT_TRUE(j["groups"][0]["units_differ"].get<bool>());
    EXPECT_TRUE(j["groups"][1]["pairs"][0]["relative_difference_percent"].is_null());
    EXPECT_EQ(j["left_out_pairs"].size(), 1u);
    EXPECT_TRUE(j["left_out_pairs"][0]["process_value"].is_null());
    EXPECT_EQ(j["left_out_pairs"][0]["lab_value"], 4);
}

/* The plot read back: one marker per pair where the pair is, the lines
   where the figures put them; and rsvg-convert draws it. */
TEST(Compare, SvgShowsTheFigures)
{
    const Comparison c = example();
    const std::string svg = svgText(c);
    size_t at = 0;
    for (const Group &g : c.groups) {
        at = svg.find("<g class=\"group\">", at + 1);
        ASSERT_NE(at, std::string::npos);
        const Scale sx = scaleOf(svg, at, "scatter", 'x'), sy = scaleOf(svg, at, "scatter", 'y');
        const Scale mx = scaleOf(svg, at, "difference", 'x'), dy = scaleOf(svg, at, "difference", 'y');
        if (!g.unitsDiffer) { /* one scale: the identity is the diagonal */
            EXPECT_DOUBLE_EQ(sx.perPixel, -sy.perPixel) << g.parameter;
        }
        /* Coordinates are written to 1/100 pixel. */
        const double xtol = 0.02 * std::fabs(sx.perPixel), tol = 0.02 * std::fabs(sy.perPixel);
        const double mtol = 0.02 * std::fabs(mx.perPixel), dtol = 0.02 * std::fabs(dy.perPixel);
        const auto dots = elements(svg, at, "scatter", "circle", "marker");
        const auto diffs = elements(svg, at, "difference", "circle", "marker");
        ASSERT_EQ(dots.size(), g.pairs.size()) << g.parameter;
        ASSERT_EQ(diffs.size(), g.pairs.size()) << g.parameter;
        for (size_t k = 0; k < g.pairs.size(); ++k) {
            const Pair &p = c.pairs[g.pairs[k]];
            EXPECT_NEAR(sx(dots[k].at.at("cx")), p.process, xtol) << g.parameter << k;
            EXPECT_NEAR(sy(dots[k].at.at("cy")), p.lab, tol) << g.parameter << k;
            EXPECT_NEAR(mx(diffs[k].at.at("cx")), (p.process + p.lab) / 2, mtol) << g.parameter << k;
            EXPECT_NEAR(dy(diffs[k].at.at("cy")), p.lab - p.process, dtol) << g.parameter << k;
        }
        const std::pair<std::string, std::optional<Line>> lines[] = {
            {"identity", g.unitsDiffer ? std::nullopt : std::optional<Line>({0, 1})},
            {"least-squares", g.leastSquares ? std::optional(g.leastSquares->line) : std::nullopt},
            {"passing-bablok", g.passingBablok.status == PbStatus::Ok ? std::optional(g.passingBablok.line) : std::nullopt}};
        for (const auto &[cls, line] : lines) {
            auto drawn = elements(svg, at, "scatter", "line", cls);
            ASSERT_EQ(drawn.size(), line ? 1u : 0u) << g.parameter << cls;
            for (const char *end : {"1", "2"}) {
                if (!line)
                    break;
                const double x = sx(drawn[0].at[std::string("x") + end]), y = sy(drawn[0].at[std::string("y") + end]);
                EXPECT_NEAR(y, line->a + line->b * x, tol + xtol * std::fabs(line->b)) << g.parameter << cls;
            }
        }
        auto bias = elements(svg, at, "difference", "line", "bias");
        auto limits = elements(svg, at, "difference", "line", "limit");
        ASSERT_EQ(bias.size(), 1u);
        EXPECT_NEAR(dy(bias[0].at["y1"]), *g.bias, dtol);
        ASSERT_EQ(limits.size(), g.limits ? 2u : 0u);
        EXPECT_EQ(elements(svg, at, "difference", "text", "note").size(), g.limits ? 0u : 1u);
        const double top = elements(svg, at, "scatter", "rect", "frame").at(0).at["y"];
        EXPECT_EQ(elements(svg, at, "difference", "rect", "frame").at(0).at["y"], top);
        EXPECT_EQ(top, 64 + 520 * static_cast<double>(&g - &c.groups[0])); /* the group's row */
        for (size_t k = 0; k < limits.size(); ++k)
            EXPECT_NEAR(dy(limits[k].at["y2"]), k ? g.limits->low : g.limits->high, dtol);
    }
    EXPECT_NE(svg.find(">T&lt;&amp;&gt;\xEF\xBF\xBD\xEF\xBF\xBD [\xEF\xBF\xBD" "C]: 1 pair<"), std::string::npos);

    TempDir dir;
    writeFile(dir.file("compare.svg"), svg);
    const int drawn = run({"rsvg-convert", "-o", dir.file("compare.png"), dir.file("compare.svg")}, dir.file("errors"));
    if (drawn == kNotInstalled)
        GTEST_SKIP() << "no rsvg-convert here: the build machine draws the plot";
    ASSERT_EQ(drawn, 0) << readFile(dir.file("errors"));
    EXPECT_EQ(readFile(dir.file("errors")), "");
    const std::string png = readFile(dir.file("compare.png"));
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1A\n");
    EXPECT_EQ(png.substr(16, 8), std::string("\0\0\x03\xFC\0\0\x08\x20", 8)); /* 1020 x 2080 */
}
