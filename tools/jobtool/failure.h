/*
 * How jobtool's helpers give up: a Failure (exit status 1) or a
 * UsageError (exit status 2), thrown to runCommand, which tells it as
 * "jobtool COMMAND: ...".
 */
#ifndef JOBTOOL_FAILURE_H
#define JOBTOOL_FAILURE_H

#include <string>

#include "TandelCntrl.h"

namespace jobtool {

struct Failure {
    std::string message;
};
struct UsageError {
    std::string message;
};

[[noreturn]] void fail(const std::string &message);
/* message and " (result RC)". */
[[noreturn]] void failResult(const std::string &message, int rc);
/* A library failure: what it concerns, the library's text for the
   result, the system's reason when there is one, and the result. */
[[noreturn]] void failLib(const std::string &what, tandel_Family family, int rc, const std::string &reason = "");
/* The file and the system's reason, from errno as the failed call left it. */
[[noreturn]] void failSys(const std::string &path);

} // namespace jobtool

#endif
