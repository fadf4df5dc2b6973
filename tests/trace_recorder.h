/* Records the library's trace calls so tests can check them. */
#ifndef TANDEL_TEST_TRACE_RECORDER_H
#define TANDEL_TEST_TRACE_RECORDER_H

#include <string>
#include <vector>

struct TraceCall {
    std::string file;
    int line;
    std::string function;
    int level;
    std::string format;  /* as passed */
    std::string message; /* formatted */
};

/* Calls recorded on this thread since the last clear. */
std::vector<TraceCall> &traceCalls();
void clearTraces();
/* Number of recorded calls whose formatted message equals text. */
int countTraces(const std::string &text, int level = -1);

#endif
