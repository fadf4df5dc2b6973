/*
 * Trace helper shared by the library's subsystems.
 * Every source file defines kTraceFile (its path as the build sees it)
 * before using TRACE, so messages name the file the same way on every
 * build, whatever the compiler's __FILE__ would say.
 *
 * The texts are a compatibility surface: logs from the field are matched
 * against them, file name, routine and all. So a text stays as it is,
 * even where it reads oddly ("DO NOT delete file" just before the file
 * is deleted, "cp -f" where no cp runs, "*ppJML", a double blank);
 * each odd one says why beside it. New texts may be added freely.
 */
#ifndef TANDEL_INTERNAL_TRACE_H
#define TANDEL_INTERNAL_TRACE_H

#include <cerrno>

#include "TandelCntrl.h"

#define TRACE_FAIL 2
#define TRACE_INFO 6

namespace tandel {
/* Puts errno back at the end of the trace's full expression: a failure
   traced before it returns keeps the system's reason for its caller,
   whatever the tracer's own writes did to errno. */
struct KeepErrno {
    int saved = errno;
    ~KeepErrno() { errno = saved; }
};
} // namespace tandel

/* The calling routine's name is passed explicitly where __func__ would
   not be the name the routine is known by. */
#define TRACE_AS(fn, level, ...) \
    (tandel::KeepErrno(), logTracePrint(kTraceFile, __LINE__, (fn), (level), __VA_ARGS__))
#define TRACE(level, ...) TRACE_AS(__func__, level, __VA_ARGS__)

#endif
