/*
 * jobtool: command-line access to every operation of libTandelCntrl.so,
 * for looking at and fixing sensor jobs on a controller without writing
 * a program. It links the shared library and the tracer like any other
 * controller program. Exit status: 0 done, 1 the operation failed (the
 * file, the system's reason or the library's result on stderr), 2 bad
 * usage. A request that would lose data is refused with its reason.
 */
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "args.h"
#include "command.h"

#ifndef JOBTOOL_VERSION
#define JOBTOOL_VERSION "unknown"
#endif
#ifndef TANDEL_LIB_VERSION
#define TANDEL_LIB_VERSION "unknown"
#endif
#ifndef TANDEL_LIB_SONAME
#define TANDEL_LIB_SONAME "libTandelCntrl.so"
#endif

namespace jobtool {

/* Every command: its own file in tools/jobtool/ and one row here. */
extern const Command kDecode, kEncode, kCheck, kList, kRequests, kAddResult, kRemoveResult, kMerge, kCompare,
    kFormat, kUpload;
const Command *const kCommands[] = {&kDecode,       &kEncode, &kCheck,   &kList,   &kRequests, &kAddResult,
                                    &kRemoveResult, &kMerge,  &kCompare, &kFormat, &kUpload};

namespace {

const char kMainHead[] = "usage: jobtool [-v|-q] COMMAND [ARGS...]\n"
                         "       jobtool --version\n"
                         "Looks at and fixes sensor jobs with libTandelCntrl.so.\n"
                         "\n";

const char kMainTail[] = "\n"
                         "'-' is standard input or output where a file is read or written whole\n"
                         "(decode, encode, check, upload). Numbers are decimal ('010' is ten)\n"
                         "and may be negative: -12.5 and -inf are values, not options. The\n"
                         "library's traces go to standard error: failures by default, also\n"
                         "progress with -v, none with -q, which also silences notes\n"
                         "(LOGTRACE_LEVEL, when set, replaces the default). JSON output writes\n"
                         "a byte that is not UTF-8 as \\udc80 to \\udcff (U+DC00 plus the byte).\n"
                         "'jobtool COMMAND --help' tells more. Exit status: 0 done, 1 the\n"
                         "operation failed or was refused (the reason on standard error), 2\n"
                         "bad usage.\n";

/* One line per command, the summary in a column of its own. */
std::string mainHelp()
{
    const size_t column = 36;
    std::string help = kMainHead;
    for (const Command *c : kCommands) {
        std::string line = std::string("  ") + c->name + " " + (c->synopsis ? c->synopsis : c->usage);
        if (*c->summary)
            line += line.size() < column ? std::string(column - line.size(), ' ')
                                         : "\n" + std::string(column, ' ');
        help += line + c->summary + "\n";
    }
    return help + kMainTail;
}

/* The command's row, or the table's size for none. */
size_t findCommand(const std::string &name)
{
    size_t i = 0;
    while (i < std::size(kCommands) && name != kCommands[i]->name)
        ++i;
    return i;
}

/* Unused where tools/mkdocs.cpp compiles this file for the table. */
[[maybe_unused]] int run(int argc, char **argv)
{
    if (argc < 2) {
        std::fputs(mainHelp().c_str(), stderr);
        return kUsage;
    }
    if (std::string(argv[1]) == "help") {
        std::fputs(mainHelp().c_str(), stdout);
        return kOk;
    }
    bool verbose = false, quiet = false;
    CLI::App app("jobtool");
    app.require_subcommand(1);
    app.fallthrough();
    app.set_help_flag("-h,--help");
    app.set_version_flag("--version", "jobtool " JOBTOOL_VERSION "\nlibTandelCntrl " TANDEL_LIB_VERSION
                                      " (soname " TANDEL_LIB_SONAME ")");
    app.add_flag("-v", verbose);
    app.add_flag("-q", quiet)->excludes(app.get_option("-v"));
    std::vector<Run> runs;
    for (const Command *c : kCommands)
        runs.push_back(c->define(*app.add_subcommand(c->name, std::string("usage: jobtool ") + c->name + " " +
                                                                  c->usage + "\n" + c->help)));
    size_t cmd = 0;
    try {
        app.parse(markNumbers(argc, argv));
        cmd = findCommand(app.get_subcommands().at(0)->get_name());
    } catch (const CLI::CallForHelp &) {
        std::vector<CLI::App *> subs = app.get_subcommands();
        std::fputs(subs.empty() ? mainHelp().c_str() : subs[0]->get_description().c_str(), stdout);
        return kOk;
    } catch (const CLI::CallForVersion &e) {
        std::printf("%s\n", e.what());
        return kOk;
    } catch (const CLI::ParseError &e) {
        std::vector<CLI::App *> subs = app.get_subcommands();
        std::string name = subs.empty() ? "" : " " + subs[0]->get_name();
        for (int i = 1; subs.empty() && i < argc; ++i)
            if (argv[i][0] != '-' && findCommand(argv[i]) == std::size(kCommands)) {
                std::fprintf(stderr, "jobtool: unknown command '%s'\nTry 'jobtool --help'.\n", argv[i]);
                return kUsage;
            }
        std::fprintf(stderr, "jobtool%s: %s\nTry 'jobtool%s --help'.\n", name.c_str(), e.what(),
                     name.c_str());
        return kUsage;
    }
    /* The tracer reads the level at every message, so setting it before
       the first call is enough. */
    if (verbose || quiet || !std::getenv("LOGTRACE_LEVEL"))
        setenv("LOGTRACE_LEVEL", verbose ? "6" : quiet ? "0" : "2", 1);
    Tool tool(kCommands[cmd]->name, verbose, quiet);
    return runCommand(*kCommands[cmd], tool, runs[cmd]);
}

} // namespace

CommandTable commandTable() { return {kCommands, std::size(kCommands), kMainHead, kMainTail}; }

} // namespace jobtool

#ifndef JOBTOOL_NO_MAIN /* tools/mkdocs.cpp has its own */
int main(int argc, char **argv) { return jobtool::run(argc, argv); }
#endif
