/*
 * The command line: CLI11 helpers shared by the commands, and the
 * reading of the numbers, times and texts they take.
 */
#ifndef JOBTOOL_ARGS_H
#define JOBTOOL_ARGS_H

#include <cstdint>
#include <string>
#include <vector>

/* Only args.cpp and main.cpp compile CLI11's header, which gives each
   file that includes it a copy of its validators. */
namespace CLI {
class App;
class Option;
} // namespace CLI

namespace jobtool {

/* argv for CLI11: numbers such as "-inf" marked so they are values. */
std::vector<std::string> markNumbers(int argc, char **argv);
/* The positionals of a command, named as the usage names them. */
void positionals(CLI::App &sub, const char *what, std::vector<std::string> &into, int min, int max);
/* An option with one value. */
CLI::Option *option(CLI::App &sub, const char *name, std::string &into, bool required = false);
/* An option given once per value. */
void option(CLI::App &sub, const char *name, std::vector<std::string> &into);
void flag(CLI::App &sub, const char *name, bool &into);
/* Whether the option was on the command line. */
bool given(const CLI::Option *o);

/* A decimal integer from min to max ("010" is ten). */
long parseLong(const std::string &s, const char *what, long min, long max);
/* The same, or hexadecimal after "0x". */
long parseLongOrHex(const std::string &s, const char *what, long min, long max);
/* A decimal number: digits with an optional sign, point and exponent;
   with infinities also inf, -inf and nan. */
double parseDouble(const std::string &s, const char *what, bool infinities = false);
/* A lab value as the job file stores it (a float with six decimals):
   only a finite decimal number that the file gives back as the same
   number, and never the file's no-value mark. */
float parseLabValue(const std::string &s);
/* The length of the UTF-8 sequence at s[i], 0 when it is not one. */
size_t utf8Length(const std::string &s, size_t i);
/* "YYYY-MM-DDTHH:MM:SS+hhmm" (or "Z") as Unix seconds. */
int64_t parseIsoTime(const std::string &s);
/* Why a text cannot go into a job file, or "" when it can. */
std::string textProblem(const std::string &s);

} // namespace jobtool

#endif
