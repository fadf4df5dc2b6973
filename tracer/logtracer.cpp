/*
 * Stand-in for the controller's closed tracer library.
 * Prints every message to standard error as
 *   "<level> <function> (<file>:<line>): <message>".
 * LOGTRACE_LEVEL (an integer, default 6) drops messages of a higher
 * level; LOGTRACE_LEVEL=0 silences everything. Programs only: tests
 * define their own logTracePrint to record the calls.
 */
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "TandelCntrl.h"

static int maxLevel()
{
    const char *s = std::getenv("LOGTRACE_LEVEL");
    if (!s || !*s)
        return 6;
    char *end = nullptr;
    long v = std::strtol(s, &end, 10);
    return (*end == '\0') ? static_cast<int>(v) : 6;
}

extern "C" __attribute__((visibility("default"))) int
logTracePrint(const char *file, int line, const char *function, int level, const char *format, ...)
{
    if (level > maxLevel())
        return 0;
    va_list ap;
    va_start(ap, format);
    flockfile(stderr);
    std::fprintf(stderr, "<%d> %s (%s:%d): ", level, function ? function : "?", file ? file : "?", line);
    std::vfprintf(stderr, format, ap);
    funlockfile(stderr);
    va_end(ap);
    return 0;
}
