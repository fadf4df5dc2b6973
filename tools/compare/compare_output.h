/*
 * The outputs of a comparison (compare.h). All numbers are written with
 * '.' whatever the caller's locale.
 * - Table: for people. Per group the pairs, then the figures; texts
 *   with control characters or bytes that are not UTF-8 show '?' there.
 * - JSON: raw numbers, every pair and every figure, null where a figure
 *   does not exist; pairs left out (compare.h) under "left_out_pairs".
 *   Texts are JSON strings; a text that is not valid UTF-8 has each
 *   offending byte replaced by U+FFFD and a sibling "<name>_hex" holding
 *   its bytes in hexadecimal, so nothing is lost.
 * - CSV (RFC 4180): a header row and one row per pair, CRLF line ends,
 *   fields holding a comma, a quote, CR or LF in double quotes (quotes
 *   doubled); texts as their bytes. Numbers as the table prints them.
 *   Pairs left out are not in it.
 * - SVG 1.1: per group a scatter of lab against process (same scale on
 *   both axes and the identity, unless the units differ; least-squares
 *   and Passing-Bablok lines) and a
 *   difference plot against the mean of the pair (zero, bias, limits).
 *   Plain elements with explicit attributes; texts escaped, with U+FFFD
 *   for what XML cannot hold.
 * Dates are local time with the UTC offset ("2024-05-13T10:00:00+0200").
 */
#ifndef TANDEL_TOOLS_COMPARE_OUTPUT_H
#define TANDEL_TOOLS_COMPARE_OUTPUT_H

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "compare.h"

namespace compare {

std::string tableText(const Comparison &c);
nlohmann::ordered_json toJson(const Comparison &c);
/* toJson indented, never throwing over the texts' bytes. */
std::string jsonText(const Comparison &c);
std::string csvText(const Comparison &c);
std::string svgText(const Comparison &c);

/* Building blocks, shared by the outputs and seen by tests. */
std::string fixed(double v, int decimals); /* "-" when not finite */
std::string dateText(const std::optional<int64_t> &seconds);
/* Length of the valid UTF-8 character at s[i], 0 when there is none. */
size_t utf8Char(const std::string &s, size_t i);
/* Invalid bytes as U+FFFD; `forXml` also replaces the characters XML
   1.0 cannot hold. */
std::string cleanUtf8(const std::string &s, bool forXml);
std::string xmlEscape(const std::string &s);
std::string csvField(const std::string &s);

/* The decimals the table uses for each kind of figure. */
int unitDecimals(const Group &g);
/* "lab = b <times> process + a", the sign of a as `minus` when it shows. */
std::string lineText(const Line &l, int aDecimals, int bDecimals, const char *times, const char *minus);
int slopeDecimals(double magnitude);
constexpr int kRelativeDecimals = 1;
constexpr int kRDecimals = 4;

} // namespace compare

#endif
