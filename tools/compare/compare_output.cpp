/* Table, JSON and CSV of a comparison; the rules are in compare_output.h. */
#include "compare_output.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "civiltime.h"

namespace compare {

namespace {

using Json = nlohmann::ordered_json;

const char kReplacement[] = "\xEF\xBF\xBD"; /* U+FFFD */
/* Beyond year 30000 either way: no sample date, and no overflow below. */
constexpr int64_t kDateLimit = 884541340800;

/* Fewer than three decimals would hide a slope's third digit near 1. */
constexpr int kMinSlopeDecimals = 3;

/* Characters a terminal would act on are shown as '?'. */
std::string forTerminal(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8Char(s, i);
        const auto c = static_cast<unsigned char>(s[i]);
        const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;
        if (n == 0 || c < 0x20 || c == 0x7F || c1)
            out += '?';
        else
            out.append(s, i, n);
        i += n ? n : 1;
    }
    return out;
}

size_t columns(const std::string &s)
{
    return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

/* Rows of cells in aligned columns; numbers (right) from column `firstRight` on. */
std::string aligned(const std::vector<std::vector<std::string>> &rows, size_t firstRight)
{
    std::vector<size_t> width;
    for (const auto &row : rows)
        for (size_t k = 0; k < row.size(); ++k) {
            width.resize(std::max(width.size(), row.size()));
            width[k] = std::max(width[k], columns(row[k]));
        }
    std::string out;
    for (const auto &row : rows) {
        std::string line;
        for (size_t k = 0; k < row.size(); ++k) {
            const std::string pad(width[k] - columns(row[k]), ' ');
            line += "  " + (k >= firstRight ? pad + row[k] : row[k] + pad);
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out += line + '\n';
    }
    return out;
}

std::string orDash(const std::string &s) { return s.empty() ? "-" : s; }

std::string percent(const std::optional<double> &v)
{
    return v ? fixed(*v, kRelativeDecimals) + " %" : "-";
}

std::string groupTitle(const Group &g)
{
    std::string t = g.parameter.empty() ? "(no parameter)" : forTerminal(g.parameter);
    if (g.unitsDiffer)
        return t + ": process unit " + orDash(forTerminal(g.unit)) + ", lab unit " + forTerminal(g.labUnit) +
               " (units differ: the differences mix them)";
    return g.unit.empty() ? t : t + " [" + forTerminal(g.unit) + "]";
}

std::string pairTable(const Comparison &c, const Group &g)
{
    std::vector<std::vector<std::string>> rows = {
        {"job", "label", "sample id", "sample date", "process", "lab", "lab - process", "relative"}};
    for (size_t i : g.pairs) {
        const Pair &p = c.pairs[i];
        rows.push_back({std::to_string(p.jobId), orDash(forTerminal(p.label)), orDash(forTerminal(p.sampleId)),
                        orDash(dateText(p.sampleDate)), fixed(p.process, g.decimals), fixed(p.lab, g.decimals),
                        fixed(difference(p), g.decimals), percent(relativeDifference(p))});
    }
    return aligned(rows, 4);
}

std::string figureTable(const Group &g)
{
    const int d = unitDecimals(g);
    auto range = [d](const std::optional<Interval> &i) {
        return i ? fixed(i->low, d) + " to " + fixed(i->high, d) : std::string("- (needs 2 pairs)");
    };
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"bias (mean of lab - process)", fixed(*g.bias, d) + ", 95 % CI " + range(g.biasCi)});
    rows.push_back({"SD of the differences", g.sd ? fixed(*g.sd, d) : "- (needs 2 pairs)"});
    rows.push_back({"limits of agreement", range(g.limits) + (g.limits ? " (bias -/+ 1.96 SD)" : "")});
    std::string over = "over " + std::to_string(g.relativeCount);
    if (g.relativeCount < g.pairs.size())
        over += " of " + std::to_string(g.pairs.size()) + " pairs: process value 0 has none";
    else
        over += g.relativeCount == 1 ? " pair" : " pairs";
    rows.push_back({"mean relative difference", percent(g.meanRelative) + " (" + over + ")"});
    if (const auto &ls = g.leastSquares)
        rows.push_back({"least squares", lineText(ls->line, d, slopeDecimals(std::fabs(ls->line.b)), "*", "-") +
                                             ", r = " + (ls->r ? fixed(*ls->r, kRDecimals) : "-")});
    else
        rows.push_back({"least squares", "- (needs 2 different process values)"});
    const PassingBablok &pb = g.passingBablok;
    if (pb.status == PbStatus::Ok) {
        const int s = slopeDecimals(std::max({std::fabs(pb.line.b), std::fabs(pb.b.low), std::fabs(pb.b.high)}));
        rows.push_back({"Passing-Bablok", lineText(pb.line, d, s, "*", "-")});
        rows.push_back({"  95 % CI", "a " + fixed(pb.a.low, d) + " to " + fixed(pb.a.high, d) + ", b " +
                                         fixed(pb.b.low, s) + " to " + fixed(pb.b.high, s)});
    } else {
        rows.push_back({"Passing-Bablok", std::string("- ") + pbStatusText(pb.status)});
    }
    return aligned(rows, SIZE_MAX);
}

std::string hex(const std::string &s)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

void putText(Json &j, const std::string &key, const std::string &s)
{
    const std::string clean = cleanUtf8(s, false);
    j[key] = clean;
    if (clean != s)
        j[key + "_hex"] = hex(s);
}

Json orNull(const std::optional<double> &v) { return v ? Json(*v) : Json(nullptr); }
Json interval(const Interval &i) { return {{"low", i.low}, {"high", i.high}}; }
Json interval(const std::optional<Interval> &i) { return i ? interval(*i) : Json(nullptr); }

Json pairJson(const Pair &p)
{
    Json j;
    j["job_id"] = p.jobId;
    putText(j, "label", p.label);
    putText(j, "sample_id", p.sampleId);
    const std::string date = dateText(p.sampleDate);
    j["sample_date"] = date.empty() ? Json(nullptr) : Json(date);
    putText(j, "parameter", p.parameter);
    putText(j, "unit", p.unit);
    putText(j, "lab_unit", p.labUnit);
    j["process_value"] = usableValue(p.process) ? Json(p.process) : Json(nullptr);
    j["lab_value"] = usableValue(p.lab) ? Json(p.lab) : Json(nullptr);
    j["difference"] = usable(p) ? Json(difference(p)) : Json(nullptr);
    j["relative_difference_percent"] = usable(p) ? orNull(relativeDifference(p)) : Json(nullptr);
    return j;
}

const char *pbStatusKey(PbStatus s)
{
    switch (s) {
    case PbStatus::Ok:
        return "ok";
    case PbStatus::TooFewPairs:
        return "too_few_pairs";
    case PbStatus::TooManyPairs:
        return "too_many_pairs";
    case PbStatus::Falling:
        return "falling";
    case PbStatus::Vertical:
        return "vertical";
    }
    return "";
}

Json passingBablokJson(const PassingBablok &pb)
{
    Json j = {{"status", pbStatusKey(pb.status)}, {"reason", pbStatusText(pb.status)}};
    const bool ok = pb.status == PbStatus::Ok;
    j["a"] = ok ? Json(pb.line.a) : Json(nullptr);
    j["a_ci"] = ok ? interval(pb.a) : Json(nullptr);
    j["b"] = ok ? Json(pb.line.b) : Json(nullptr);
    j["b_ci"] = ok ? interval(pb.b) : Json(nullptr);
    j["slopes"] = pb.slopes;
    j["slopes_below_minus_one"] = pb.below;
    return j;
}

Json groupJson(const Comparison &c, const Group &g)
{
    Json j;
    putText(j, "parameter", g.parameter);
    putText(j, "unit", g.unit);
    putText(j, "lab_unit", g.unitsDiffer ? g.labUnit : g.unit);
    j["units_differ"] = g.unitsDiffer;
    j["n"] = g.pairs.size();
    j["decimals"] = g.decimals;
    j["bias"] = orNull(g.bias);
    j["bias_ci"] = interval(g.biasCi);
    j["sd"] = orNull(g.sd);
    j["limits_of_agreement"] = interval(g.limits);
    j["mean_relative_difference_percent"] = orNull(g.meanRelative);
    j["relative_count"] = g.relativeCount;
    if (g.leastSquares)
        j["least_squares"] = {{"a", g.leastSquares->line.a},
                              {"b", g.leastSquares->line.b},
                              {"r", orNull(g.leastSquares->r)}};
    else
        j["least_squares"] = nullptr;
    j["passing_bablok"] = passingBablokJson(g.passingBablok);
    Json pairs = Json::array();
    for (size_t i : g.pairs)
        pairs.push_back(pairJson(c.pairs[i]));
    j["pairs"] = pairs;
    return j;
}

} // namespace

std::string fixed(double v, int decimals)
{
    if (!std::isfinite(v))
        return "-";
    decimals = std::clamp(decimals, 0, 9);
    const double scaled = std::round(std::fabs(v) * std::pow(10.0, decimals));
    if (scaled >= 9e15) { /* past a double's integers: no decimals to show */
        char buf[400];
        std::snprintf(buf, sizeof buf, "%.0f", v);
        return buf;
    }
    std::string digits = std::to_string(static_cast<uint64_t>(scaled));
    if (decimals > 0) {
        if (digits.size() <= static_cast<size_t>(decimals))
            digits.insert(0, static_cast<size_t>(decimals) + 1 - digits.size(), '0');
        digits.insert(digits.size() - static_cast<size_t>(decimals), 1, '.');
    }
    return v < 0 && scaled > 0 ? '-' + digits : digits;
}

std::string dateText(const std::optional<int64_t> &seconds)
{
    if (!seconds || *seconds < -kDateLimit || *seconds > kDateLimit)
        return "";
    long offset = 0;
    if (!utcOffsetAt(*seconds, &offset))
        offset = 0;
    char buf[64];
    return formatFields(buf, sizeof buf, *seconds + offset, offset) ? buf : "";
}

size_t utf8Char(const std::string &s, size_t i)
{
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        const auto cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (cc & 0x3F);
    }
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool valid = cp >= least[n] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
    return valid ? n : 0;
}

std::string cleanUtf8(const std::string &s, bool forXml)
{
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8Char(s, i);
        const auto c = static_cast<unsigned char>(s[i]);
        const bool xmlBad = (n == 1 && c < 0x20 && c != '\t' && c != '\n' && c != '\r') ||
                            (n == 3 && s.compare(i, 2, "\xEF\xBF") == 0 && static_cast<unsigned char>(s[i + 2]) >= 0xBE);
        if (n == 0 || (forXml && xmlBad))
            out += kReplacement;
        else
            out.append(s, i, n);
        i += n ? n : 1;
    }
    return out;
}

std::string xmlEscape(const std::string &s)
{
    std::string out;
    for (char c : cleanUtf8(s, true)) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string csvField(const std::string &s)
{
    if (s.find_first_of(",\"\r\n") == std::string::npos)
        return s;
    std::string out = "\"";
    for (char c : s)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + '"';
}

int unitDecimals(const Group &g) { return g.decimals + 1; }

std::string lineText(const Line &l, int aDecimals, int bDecimals, const char *times, const char *minus)
{
    const std::string a = fixed(std::fabs(l.a), aDecimals);
    const bool negative = l.a < 0 && a != fixed(0, aDecimals);
    return "lab = " + fixed(l.b, bDecimals) + ' ' + times + " process " + (negative ? minus : "+") + ' ' + a;
}

int slopeDecimals(double magnitude)
{
    if (!(magnitude > 0) || !std::isfinite(magnitude))
        return kMinSlopeDecimals;
    return std::clamp(2 - static_cast<int>(std::floor(std::log10(magnitude))), kMinSlopeDecimals, 9);
}

std::string tableText(const Comparison &c)
{
    std::string out;
    for (const Group &g : c.groups) {
        out += groupTitle(g) + ": " + std::to_string(g.pairs.size()) + (g.pairs.size() == 1 ? " pair\n" : " pairs\n");
        out += pairTable(c, g) + figureTable(g) + '\n';
    }
    for (size_t i : c.unusable) {
        const Pair &p = c.pairs[i];
        out += "left out: job " + std::to_string(p.jobId) + ", sample " + orDash(forTerminal(p.label)) +
               ": a value that is not a finite 32-bit number\n";
    }
    return out;
}

Json toJson(const Comparison &c)
{
    Json groups = Json::array();
    for (const Group &g : c.groups)
        groups.push_back(groupJson(c, g));
    Json left = Json::array();
    for (size_t i : c.unusable)
        left.push_back(pairJson(c.pairs[i]));
    return {{"groups", groups}, {"left_out_pairs", left}};
}

std::string jsonText(const Comparison &c)
{
    return toJson(c).dump(2, ' ', false, Json::error_handler_t::replace) + '\n';
}

std::string csvText(const Comparison &c)
{
    std::string out = "job_id,label,sample_id,sample_date,parameter,unit,lab_unit,process_value,lab_value,"
                      "difference,relative_difference_percent\r\n";
    for (const Group &g : c.groups)
        for (size_t i : g.pairs) {
            const Pair &p = c.pairs[i];
            const auto rel = relativeDifference(p);
            const std::string cells[] = {std::to_string(p.jobId), csvField(p.label), csvField(p.sampleId),
                                         dateText(p.sampleDate), csvField(g.parameter), csvField(g.unit),
                                         csvField(g.unitsDiffer ? g.labUnit : g.unit), fixed(p.process, g.decimals),
                                         fixed(p.lab, g.decimals), fixed(difference(p), g.decimals),
                                         rel ? fixed(*rel, kRelativeDecimals) : ""};
            for (const std::string &cell : cells)
                out += (&cell == cells ? "" : ",") + cell;
            out += "\r\n";
        }
    return out;
}

} // namespace compare
