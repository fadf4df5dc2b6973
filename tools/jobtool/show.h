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
/* A date of the library's records (seconds since 2000 UTC) in local
   time; "-" when absent, "?" when the document's text did not read. */
std::string localDate(int32_t date2000, const char *format);
/* The same as ISO 8601 text, or null. */
Json isoDate(int32_t date2000);
std::string hex64(uint64_t v);
std::string plural(long n, const char *one, const char *many);
/* Rows as columns two blanks apart; the last column is not padded. */
void printTable(const std::vector<std::vector<std::string>> &rows);
/* The display text of value for the display format word. */
std::string formatValue(int word, double value);
/* Prints j on standard output. */
void printJson(const Json &j);

} // namespace jobtool

#endif
