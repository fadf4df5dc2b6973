/*
 * The message funnel: every line jobtool writes to standard error about
 * a command starts "jobtool COMMAND: ", and every exit status comes out
 * of runCommand.
 */
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "command.h"
#include "failure.h"

namespace jobtool {

void fail(const std::string &message) { throw Failure{message}; }

void failResult(const std::string &message, int rc)
{
    throw Failure{message + " (result " + std::to_string(rc) + ")"};
}

void failLib(const std::string &what, tandel_Family family, int rc, const std::string &reason)
{
    failResult(what + ": " + tandel_errstr(family, rc) + (reason.empty() ? "" : ": " + reason), rc);
}

void failSys(const std::string &path) { throw Failure{path + ": " + std::strerror(errno)}; }

void Tool::error(const std::string &message) const
{
    std::fprintf(stderr, "jobtool %s: %s\n", name_, message.c_str());
}

void Tool::warn(const std::string &message) const
{
    std::fprintf(stderr, "jobtool %s: warning: %s\n", name_, message.c_str());
}

void Tool::notice(const std::string &message) const
{
    if (!quiet_)
        std::fprintf(stderr, "jobtool %s: %s\n", name_, message.c_str());
}

void Tool::progress(const std::string &message) const
{
    if (verbose_)
        std::fprintf(stderr, "jobtool %s: %s\n", name_, message.c_str());
}

int runCommand(const Command &c, Tool &tool, const Run &run)
{
    try {
        int rc = run(tool);
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            const std::string why = std::strerror(errno);
            tool.error("standard output: " + why +
                       (tool.change().empty() ? "" : " (done all the same: " + tool.change() + ")"));
            return kFailed;
        }
        return rc;
    } catch (const UsageError &e) {
        tool.error(e.message);
        std::fprintf(stderr, "Try 'jobtool %s --help'.\n", c.name);
        return kUsage;
    } catch (const Failure &e) {
        std::fflush(stdout);
        tool.error(e.message);
        return kFailed;
    } catch (const std::bad_alloc &) {
        tool.error("out of memory");
        return kFailed;
    }
}

} // namespace jobtool
