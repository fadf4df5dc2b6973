/*
 * How jobtool shows values: tables, dates in local time, display texts,
 * and JSON records.
 */
#ifndef JOBTOOL_SHOW_H
#define JOBTOOL_SHOW_H

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace jobtool {

using Json = nlohmann::ordered_json;

std::string orDash(const char *s);
Json orNull(const char *s);
/* A date of the library's records (signed seconds since 2000 UTC) in
   local time; "-" when absent, "?" when the document's text did not read. */
std::string localDate(int32_t date2000, const char *format);
/* The same as ISO 8601 text, or null. */
Json isoDate(int32_t date2000);
std::string hex64(uint64_t v);
std::string plural(long n, const char *one, const char *many);
/* Rows as columns two blanks apart; the last column is not padded. */
void printTable(const std::vector<std::vector<std::string>> &rows);
/* The display text of value for the display format word. */
std::string formatValue(int word, double value);
/* A lab value as the job file holds it ("%f"), without trailing zeros. */
std::string storedValue(float v);
/* Prints j on standard output, as nlohmann's dump(2) would, except that
   texts are bytes: a byte that is not part of UTF-8 is written as
   \udc80 to \udcff (U+DC00 plus the byte, the "surrogateescape" of
   Python: json.loads(out)[...].encode("utf-8", "surrogateescape") gives
   the bytes back). Never fails on a text. */
void printJson(const Json &j);

} // namespace jobtool

#endif
