/* Test-side logTracePrint: overrides the tracer library in test binaries. */
#include "testkit.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

std::vector<TraceCall> &traceCalls()
{
    thread_local std::vector<TraceCall> calls;
    return calls;
}

void clearTraces() { traceCalls().clear(); }

int countTraces(const std::string &text, int level)
{
    int n = 0;
    for (const TraceCall &c : traceCalls())
        if (c.message == text && (level < 0 || c.level == level))
            ++n;
    return n;
}

extern "C" int logTracePrint(const char *file, int line, const char *function, int level, const char *format,
                             ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    traceCalls().push_back(
        {file ? file : "", line, function ? function : "", level, format ? format : "", buf});
    errno = ENOTTY; /* as a tracer's own writes may leave it */
    return 0;
}
