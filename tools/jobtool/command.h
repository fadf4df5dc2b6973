/*
 * What every jobtool command is made of, and the session it runs in.
 * A command is one record: its name, usage and help, and a function
 * that declares its options on its CLI11 subcommand and returns the
 * run function bound to them. main.cpp keeps the table of records and
 * makes the main help from it.
 */
#ifndef JOBTOOL_COMMAND_H
#define JOBTOOL_COMMAND_H

#include <functional>
#include <string>

#include "args.h"

namespace jobtool {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

/* The session of one command: the common options, and the one place
   where its messages to standard error are made. */
class Tool {
public:
    Tool(const char *name, bool verbose, bool quiet) : name_(name), verbose_(verbose), quiet_(quiet) {}
    const char *name() const { return name_; }
    /* "jobtool NAME: message". */
    void error(const std::string &message) const;
    /* "jobtool NAME: warning: message". */
    void warn(const std::string &message) const;
    /* "jobtool NAME: message", unless -q. */
    void notice(const std::string &message) const;
    /* "jobtool NAME: message", with -v only. */
    void progress(const std::string &message) const;
    /* What the command changed on disk, told should a later step fail. */
    void changed(const std::string &what) { changed_ = what; }
    const std::string &change() const { return changed_; }

private:
    const char *name_;
    bool verbose_, quiet_;
    std::string changed_;
};

using Run = std::function<int(Tool &)>;

struct Command {
    const char *name;
    const char *usage;    /* the arguments, as 'jobtool NAME --help' shows them */
    const char *synopsis; /* the arguments in the main help; null: usage */
    const char *summary;  /* the main help's line; may be "" */
    const char *help;     /* the rest of 'jobtool NAME --help' */
    Run (*define)(CLI::App &sub);
};

/* Runs the command: 0, 1 or 2, every failure told through tool. */
int runCommand(const Command &command, Tool &tool, const Run &run);

/* The table of main.cpp and the main help's texts around it, which the
   manual page and the shell completion are written from as well. */
struct CommandTable {
    const Command *const *commands;
    size_t count;
    const char *head, *tail;
};
CommandTable commandTable();

} // namespace jobtool

#endif
