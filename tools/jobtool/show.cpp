/*
 * Display helpers shared by the commands that show jobs and requests.
 */
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "TandelCntrl.h"
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
    if (!localtime64(kEpoch2000 + static_cast<uint32_t>(date2000), &tm) ||
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

void printJson(const Json &j) { std::printf("%s\n", j.dump(2).c_str()); }

} // namespace jobtool
