/*
 * Command-line helpers: CLI11 reads "-inf" or "-.5" as options, so such
 * numbers are marked before parsing; values, times and lab texts are
 * checked here so that no command passes the library what it would
 * store differently or not read back.
 */
#include <cctype>
#include <cmath>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <CLI/CLI.hpp>

#include "args.h"
#include "civiltime.h"
#include "failure.h"

namespace jobtool {

namespace {

constexpr char kNumberMark = '\x1f';

std::string unmark(std::string s)
{
    if (!s.empty() && s[0] == kNumberMark)
        s.erase(0, 1);
    return s;
}

} // namespace

std::vector<std::string> markNumbers(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::string &a : args) {
        if (a == "--")
            break;
        char *end = nullptr;
        if (a.size() > 1 && a[0] == '-' && a[1] != '-' && (std::strtod(a.c_str(), &end), *end == '\0'))
            a.insert(a.begin(), kNumberMark);
    }
    std::reverse(args.begin(), args.end()); /* CLI11 takes them last first */
    return args;
}

namespace {

/* Values drop the mark again. */
CLI::Option *value(CLI::Option *o) { return o->transform(unmark); }

} // namespace

void positionals(CLI::App &sub, const char *what, std::vector<std::string> &into, int min, int max)
{
    value(sub.add_option(what, into)->required()->expected(min, max));
}

CLI::Option *option(CLI::App &sub, const char *name, std::string &into, bool required)
{
    return value(sub.add_option(name, into))->required(required);
}

void option(CLI::App &sub, const char *name, std::vector<std::string> &into)
{
    value(sub.add_option(name, into))->allow_extra_args(false);
}

void flag(CLI::App &sub, const char *name, bool &into) { sub.add_flag(name, into); }

bool given(const CLI::Option *o) { return o->count() > 0; }

namespace {

bool allDigits(const std::string &s, size_t from, size_t to, int base)
{
    if (from >= to)
        return false;
    for (size_t i = from; i < to; ++i)
        if (!(base == 16 ? std::isxdigit(static_cast<unsigned char>(s[i])) : std::isdigit(static_cast<unsigned char>(s[i]))))
            return false;
    return true;
}

long integerIn(const std::string &s, const char *what, long min, long max, bool hex)
{
    const size_t sign = !s.empty() && (s[0] == '-' || s[0] == '+') ? 1 : 0;
    const bool isHex = hex && s.compare(sign, 2, "0x") == 0;
    const size_t from = sign + (isHex ? 2 : 0);
    errno = 0;
    long v = 0;
    if (allDigits(s, from, s.size(), isHex ? 16 : 10))
        v = std::strtol(s.c_str(), nullptr, isHex ? 16 : 10);
    if (!allDigits(s, from, s.size(), isHex ? 16 : 10) || errno == ERANGE || v < min || v > max)
        throw UsageError{std::string(what) + " must be " + (hex ? "a decimal or 0x hexadecimal" : "a decimal") +
                         " integer from " + std::to_string(min) + " to " + std::to_string(max) + ", not '" +
                         s + "'"};
    return v;
}

/* Sign, digits with at most one point, exponent: what C's strtod reads
   as a decimal number, without blanks, hexadecimal, inf or nan. */
bool isDecimal(const std::string &s)
{
    size_t i = s[0] == '-' || s[0] == '+' ? 1 : 0;
    size_t digits = 0;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i)
        ++digits;
    if (i < s.size() && s[i] == '.')
        for (++i; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i)
            ++digits;
    if (digits == 0)
        return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        i += i + 1 < s.size() && (s[i + 1] == '-' || s[i + 1] == '+') ? 2 : 1;
        return allDigits(s, i, s.size(), 10);
    }
    return i == s.size();
}

/* The lab value's text in the job file, as the library prints it. */
std::string storedText(float v)
{
    char text[64];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(v));
    return text;
}

} // namespace

long parseLong(const std::string &s, const char *what, long min, long max)
{
    return integerIn(s, what, min, max, false);
}

long parseLongOrHex(const std::string &s, const char *what, long min, long max)
{
    return integerIn(s, what, min, max, true);
}

double parseDouble(const std::string &s, const char *what, bool infinities)
{
    const bool special = infinities && (s == "inf" || s == "-inf" || s == "+inf" || s == "nan");
    if (s.empty() || !(isDecimal(s) || special))
        throw UsageError{std::string(what) + " must be a decimal number such as 7.25, -0.5 or 1.5e3, not '" + s +
                         "'"};
    return std::strtod(s.c_str(), nullptr);
}

float parseLabValue(const std::string &s)
{
    const double v = parseDouble(s, "VALUE");
    const auto f = static_cast<float>(v);
    if (!std::isfinite(v) || !std::isfinite(f))
        throw UsageError{"VALUE must be a finite number that fits a float, not '" + s + "'"};
    if (f == TANDEL_NO_VALUE)
        throw UsageError{"VALUE " + s + " is the job file's mark for no value"};
    const std::string text = storedText(f);
    if (std::strtod(text.c_str(), nullptr) != v)
        throw UsageError{"VALUE " + s + " would be stored as " + text +
                         " (a float with six decimals): give the value the file can hold"};
    return f;
}

size_t utf8Length(const std::string &s, size_t i)
{
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    uint32_t cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
    bool valid = n > 0 && i + n <= s.size();
    for (size_t k = 1; valid && k < n; ++k) {
        const auto cc = static_cast<unsigned char>(s[i + k]);
        valid = (cc & 0xC0) == 0x80;
        cp = (cp << 6) | (cc & 0x3F);
    }
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    return valid && cp >= least[n] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF) ? n : 0;
}

/* Every field is checked here, days per month with leap years: strptime
   and timegm would carry 2024-02-30 over into March. */
int64_t parseIsoTime(const std::string &s)
{
    const std::string shape = "dddd-dd-ddTdd:dd:dd";
    auto bad = [&](const std::string &why) -> UsageError { return UsageError{"--time '" + s + "': " + why}; };
    bool zulu = s.size() == shape.size() + 1 && s.back() == 'Z';
    if (s.size() != shape.size() + 5 && !zulu)
        throw bad("must look like 2024-05-13T10:00:00+0200");
    for (size_t i = 0; i < s.size(); ++i) {
        char want = i < shape.size() ? shape[i] : (i == shape.size() ? '+' : 'd');
        bool fits = want == 'd'   ? std::isdigit(static_cast<unsigned char>(s[i])) != 0
                    : want == '+' ? (s[i] == '+' || s[i] == '-' || zulu)
                                  : s[i] == want;
        if (!fits)
            throw bad("must look like 2024-05-13T10:00:00+0200");
    }
    auto num = [&](size_t at, size_t n) { return std::stoi(s.substr(at, n)); };
    long y = num(0, 4);
    int mo = num(5, 2), d = num(8, 2), h = num(11, 2), mi = num(14, 2), sec = num(17, 2);
    int offset = zulu ? 0 : (num(20, 2) * 60 + num(22, 2)) * (s[19] == '-' ? -1 : 1);
    if (mo < 1 || mo > 12)
        throw bad("there is no month " + std::to_string(mo));
    if (d < 1 || d > daysInMonth(y, mo))
        throw bad("month " + std::to_string(mo) + " of " + std::to_string(y) + " has " +
                  std::to_string(daysInMonth(y, mo)) + " days");
    if (h > 23 || mi > 59)
        throw bad("there is no time " + s.substr(11, 5));
    if (sec > 59)
        throw bad("seconds go to 59 (Unix time has no leap seconds)");
    if (!zulu && (num(20, 2) > 14 || num(22, 2) > 59))
        throw bad("the offset from UTC must be at most 14 hours");
    int64_t t = daysFromCivil(y, mo, d) * kSecondsPerDay + h * 3600 + mi * 60 + sec - int64_t{offset} * 60;
    if (t <= 0 || t > UINT32_MAX)
        throw bad("must lie after 1970-01-01T00:00:00Z and up to 2106-02-07T06:28:15Z");
    return t;
}

/* The library writes attribute values unescaped, in double quotes, or in
   single quotes when the value holds '"' and no '\''. */
std::string textProblem(const std::string &s)
{
    char buf[96];
    const bool apostrophe = s.find('\'') != std::string::npos;
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const char *what = nullptr;
        if (c == '<' || c == '&')
            what = "the file would not read back as XML (written unescaped)";
        else if (c == '"' && apostrophe)
            what = "'\"' and '\\'' together cannot be quoted";
        else if (c < 0x20 && c != '\t')
            what = "a control character";
        if (what) {
            if (c >= 0x20)
                std::snprintf(buf, sizeof buf, "character '%c' (0x%02X) at byte %zu: ", c, c, i + 1);
            else
                std::snprintf(buf, sizeof buf, "character 0x%02X at byte %zu: ", c, i + 1);
            return buf + std::string(what);
        }
        const size_t n = utf8Length(s, i);
        if (n == 0) {
            std::snprintf(buf, sizeof buf, "byte 0x%02X at byte %zu is not valid UTF-8", c, i + 1);
            return buf;
        }
        i += n;
    }
    return "";
}

} // namespace jobtool
