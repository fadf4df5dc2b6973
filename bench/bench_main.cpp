/*
 * Entry of the benchmark program. Times are read in UTC so runs agree,
 * and traces are dropped: on the controller they go to a logging
 * library whose cost is not the library's own.
 */
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>

#include "TandelCntrl.h"

extern "C" int logTracePrint(const char *, int, const char *, int, const char *, ...) { return 0; }

int main(int argc, char **argv)
{
    setenv("TZ", "UTC", 1);
    tzset();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
