/*
 * format: the display text of a value for a display format word.
 */
#include <climits>
#include <cstdio>
#include <memory>

#include "args.h"
#include "command.h"
#include "failure.h"

namespace jobtool {

namespace {

int runFormat(const std::vector<std::string> &pos)
{
    int word = static_cast<int>(parseLongOrHex(pos[0], "WORD", INT_MIN, INT_MAX));
    double value = parseDouble(pos[1], "VALUE", true);
    char out[64] = "";
    int rc = formatMeasurementString(out, word, value);
    std::printf("%s\n", out);
    if (rc == 0)
        failResult("no significant digits in the word, or not a number", rc);
    return kOk;
}

Run defineFormat(CLI::App &sub)
{
    auto pos = std::make_shared<std::vector<std::string>>();
    positionals(sub, "WORD VALUE", *pos, 2, 2);
    return [pos](Tool &) { return runFormat(*pos); };
}

} // namespace

extern const Command kFormat = {"format", "WORD VALUE", nullptr, "display text of a value",
                                "Prints the display text of VALUE for the display format word WORD\n"
                                "(decimal or 0x hexadecimal; 0x8000 plain, 0x0400 fixed decimals,\n"
                                "bits 7-9 significant digits, bits 0-2 decimals). VALUE is decimal,\n"
                                "inf, -inf or nan. Exit status 1 when the text is \"Error\".\n",
                                defineFormat};

} // namespace jobtool
