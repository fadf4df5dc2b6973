/*
 * Display helpers shared by the commands that show jobs and requests.
 */
#include <algorithm>
#include <iterator>
#include <cstdio>
#include <ctime>

#include "TandelCntrl.h"
#include "args.h"
#include "civiltime.h"
#include "show.h"

namespace jobtool {

std::string orDash(const char *s) { return s && *s ? s : "-"; }
Json orNull(const char *s) { return s ? Json(s) : Json(nullptr); }

std::string localDate(int32_t date2000, const char *format)
{
    if (date2000 == 0)
        return "-";
    if (date2000 == -1)
        return "?";
    struct tm tm {};
    char buf[64];
    if (!localtime64(kEpoch2000 + date2000, &tm) ||
        std::strftime(buf, sizeof buf, format, &tm) == 0)
        return "?";
    return buf;
}

Json isoDate(int32_t date2000)
{
    std::string d = localDate(date2000, "%Y-%m-%dT%H:%M:%S%z");
    return d == "-" || d == "?" ? Json(nullptr) : Json(d);
}

std::string hex64(uint64_t v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(v));
    return buf;
}

std::string plural(long n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

void printTable(const std::vector<std::vector<std::string>> &rows)
{
    std::vector<size_t> width;
    for (const auto &r : rows)
        for (size_t i = 0; i < r.size(); ++i) {
            if (width.size() <= i)
                width.push_back(0);
            width[i] = std::max(width[i], r[i].size());
        }
    for (const auto &r : rows) {
        std::string line;
        for (size_t i = 0; i < r.size(); ++i) {
            line += r[i];
            if (i + 1 < r.size())
                line += std::string(width[i] - r[i].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

std::string formatValue(int word, double value)
{
    char out[64] = "";
    formatMeasurementString(out, word, value);
    const char *text = out;
    while (*text == ' ') /* "%5.2f" pads short values */
        ++text;
    return text;
}

std::string storedValue(float v)
{
    char text[64];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(v));
    std::string s = text;
    s.erase(s.find_last_not_of('0') + 1);
    if (s.back() == '.')
        s.pop_back();
    return s;
}

namespace {

void jsonString(std::string &out, const std::string &s)
{
    char esc[8];
    out += '"';
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const size_t n = utf8Length(s, i);
        if (n > 1) {
            out.append(s, i, n);
            i += n;
            continue;
        }
        const char *named = c == '"' ? "\\\"" : c == '\\' ? "\\\\" : c == '\n' ? "\\n" : c == '\t' ? "\\t"
                          : c == '\r' ? "\\r" : c == '\b' ? "\\b" : c == '\f' ? "\\f" : nullptr;
        if (named) {
            out += named;
        } else if (n == 0 || c < 0x20) {
            std::snprintf(esc, sizeof esc, "\\u%04x", n == 0 ? 0xDC00u + c : unsigned{c});
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
}

void jsonValue(std::string &out, const Json &j, int depth)
{
    const std::string indent(2 * static_cast<size_t>(depth + 1), ' ');
    if (j.is_string()) {
        jsonString(out, j.get_ref<const std::string &>());
    } else if (j.is_object() && !j.empty()) {
        out += "{\n";
        for (auto it = j.begin(); it != j.end(); ++it) {
            out += indent;
            jsonString(out, it.key());
            out += ": ";
            jsonValue(out, it.value(), depth + 1);
            out += std::next(it) == j.end() ? "\n" : ",\n";
        }
        out += indent.substr(2) + "}";
    } else if (j.is_array() && !j.empty()) {
        out += "[\n";
        for (auto it = j.begin(); it != j.end(); ++it) {
            out += indent;
            jsonValue(out, *it, depth + 1);
            out += std::next(it) == j.end() ? "\n" : ",\n";
        }
        out += indent.substr(2) + "]";
    } else {
        out += j.dump(); /* numbers, true, false, null, {} and [] */
    }
}

} // namespace

void printJson(const Json &j)
{
    std::string out;
    jsonValue(out, j, 0);
    std::printf("%s\n", out.c_str());
}

} // namespace jobtool
