/*
 * Writes jobtool's manual page and its bash completion from the command
 * table and the help texts, so that neither can say other than the help:
 * `cmake --build BUILD --target docs` rewrites doc/jobtool.1 and
 * doc/jobtool.bash, and a test fails while the committed files differ
 * from what this writes. Every option a command declares must appear
 * in its usage, which the page shows and the completion reads.
 * Usage: mkdocs MANPAGE COMPLETION
 */
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "command.h"
#include "io.h"

#ifndef JOBTOOL_VERSION
#define JOBTOOL_VERSION "unknown"
#endif
#ifndef JOBTOOL_DATE
#define JOBTOOL_DATE "unknown"
#endif

namespace {

using jobtool::Command;

/* One option of a command, with the placeholder its usage gives the
   value ("" for a flag). */
struct Option {
    std::string name, value;
};

/* What a command takes: its options, and per usage line the
   placeholders of its arguments in order. */
struct Syntax {
    const Command *command;
    std::vector<std::string> usage;
    std::vector<Option> options;
    std::vector<std::vector<std::string>> arguments;
    bool repeats = false; /* the last argument may be given again */
};

std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

/* The usage lines without "jobtool NAME": the first as the table has
   it, the others written out whole. A line that does not start anew
   goes on with the one before, after a newline kept for the page. */
std::vector<std::string> usageLines(const Command &c)
{
    std::vector<std::string> lines;
    const std::string prefix = std::string("jobtool ") + c.name + " ";
    for (std::string l : splitLines(c.usage)) {
        l.erase(0, l.find_first_not_of(' '));
        if (l.compare(0, prefix.size(), prefix) == 0)
            l.erase(0, prefix.size());
        else if (!lines.empty()) {
            lines.back() += "\n" + l;
            continue;
        }
        lines.push_back(l);
    }
    return lines;
}

/* Words split at blanks; a quoted text is one word. */
std::vector<std::string> words(const std::string &line)
{
    std::vector<std::string> out;
    std::string w;
    bool quoted = false;
    for (char ch : line) {
        if (ch == '\'')
            quoted = !quoted;
        if ((ch == ' ' || ch == '\n') && !quoted) {
            if (!w.empty())
                out.push_back(w);
            w.clear();
        } else {
            w += ch;
        }
    }
    if (!w.empty())
        out.push_back(w);
    return out;
}

/* A usage word without brackets, quotes and a trailing "...". */
std::string bare(std::string w, bool *repeat)
{
    *repeat = w.size() > 3 && w.compare(w.size() - 3, 3, "...") == 0;
    if (*repeat)
        w.erase(w.size() - 3);
    while (!w.empty() && (w.back() == ']' || w.back() == '\''))
        w.pop_back();
    while (!w.empty() && (w.front() == '[' || w.front() == '\''))
        w.erase(0, 1);
    return w;
}

bool named(const CLI::Option &o, const std::string &w)
{
    const std::vector<std::string> &s = o.get_snames(), &l = o.get_lnames();
    return (w.compare(0, 2, "--") == 0) ? std::count(l.begin(), l.end(), w.substr(2)) > 0
                                        : std::count(s.begin(), s.end(), w.substr(1)) > 0;
}

Syntax syntaxOf(const Command &c)
{
    CLI::App app;
    CLI::App &sub = *app.add_subcommand(c.name);
    c.define(sub);
    Syntax syntax{&c, usageLines(c), {}, {}};
    std::vector<const CLI::Option *> declared;
    for (const CLI::Option *o : sub.get_options())
        if (o->nonpositional() && o != sub.get_help_ptr())
            declared.push_back(o);
    std::vector<bool> shown(declared.size(), false);
    for (const std::string &line : syntax.usage) {
        std::vector<std::string> ws = words(line), args;
        for (size_t i = 0; i < ws.size(); ++i) {
            bool repeat = false;
            const std::string w = bare(ws[i], &repeat);
            if (w == "|") /* between two options that exclude each other */
                continue;
            if (w.size() < 2 || w[0] != '-') {
                args.push_back(w);
                syntax.repeats = syntax.repeats || repeat;
                continue;
            }
            size_t k = 0;
            while (k < declared.size() && !named(*declared[k], w))
                ++k;
            if (k == declared.size())
                throw std::runtime_error(std::string(c.name) + ": the usage names " + w + ", which is no option");
            std::string value;
            if (declared[k]->get_expected_max() > 0) {
                if (i + 1 == ws.size())
                    throw std::runtime_error(std::string(c.name) + ": the usage gives " + w + " no value");
                value = bare(ws[++i], &repeat);
            }
            if (!shown[k])
                syntax.options.push_back({w, value});
            shown[k] = true;
        }
        syntax.arguments.push_back(args);
    }
    for (size_t k = 0; k < declared.size(); ++k)
        if (!shown[k])
            throw std::runtime_error(std::string(c.name) + ": option " + declared[k]->get_name() +
                                     " is missing from the usage");
    return syntax;
}

/* ---- the manual page ---- */

/* A line of text for roff: backslashes kept, a dash that starts a word
   (an option, a negative number, '-') a minus, no line taken for a
   request. */
std::string roff(const std::string &line)
{
    std::string out;
    for (size_t i = 0; i < line.size(); ++i) {
        const char ch = line[i];
        if (ch == '\\')
            out += "\\e";
        else if (ch == '-' && (i == 0 || !std::isalnum(static_cast<unsigned char>(line[i - 1]))))
            out += "\\-";
        else
            out += ch;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\''))
        out.insert(0, "\\&");
    return out;
}

/* Roff text broken into lines of at most 78 characters where it has
   blanks, no line taken for a request. */
std::string wrap(const std::string &text)
{
    std::string out, line;
    auto flush = [&] {
        out += (line[0] == '.' || line[0] == '\'' ? "\\&" : "") + line + "\n";
        line.clear();
    };
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string w = text.substr(start, end - start);
        if (!line.empty() && line.size() + 1 + w.size() > 78)
            flush();
        line += (line.empty() ? "" : " ") + w;
        start = end + 1;
    }
    if (!line.empty())
        flush();
    return out;
}

std::string kindOf(const std::string &placeholder);

/* A usage line broken before an optional part where it would pass the
   71 columns that man(1) leaves beside the indent on 80. */
std::string foldUsage(std::string line)
{
    std::replace(line.begin(), line.end(), '\n', ' ');
    const size_t indent = line.find(' ', line.find(' ') + 1) + 1;
    std::string out;
    size_t width = 0, start = 0;
    while (start < line.size()) {
        size_t end = line.find(" [", start + 1);
        end = end == std::string::npos ? line.size() : end;
        const std::string part = line.substr(start, end - start);
        if (width > 0 && width + part.size() > 71) {
            out += "\n";
            width = indent - 1;
        }
        out += part;
        width += part.size();
        start = end;
    }
    return out;
}

/* A usage line: what is typed as it stands (names, options, choices
   such as PUT|POST) in bold, placeholders (DIR|FILE.xml too) in
   italics; a line it goes on in indented under its first argument. */
std::string usageRoff(const std::string &line)
{
    const std::string indent(line.find(' ', line.find(' ') + 1) + 1, ' ');
    std::string out;
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == '\n') {
            out += "\n" + indent;
            i = line.find_first_not_of(' ', i + 1);
            continue;
        }
        if (line[i] == '\'') {
            const size_t close = line.find('\'', i + 1);
            const size_t end = close == std::string::npos ? line.size() : close;
            out += "\\(aq\\fI" + roff(line.substr(i + 1, end - i - 1)) + "\\fR\\(aq";
            i = end + 1;
            continue;
        }
        size_t end = line.find_first_of(" []|\n", i);
        if (end == i) {
            out += line[i++];
            continue;
        }
        if (end == std::string::npos)
            end = line.size();
        std::string w = line.substr(i, end - i);
        std::string tail;
        if (w.size() > 3 && w.compare(w.size() - 3, 3, "...") == 0) {
            tail = "...";
            w.erase(w.size() - 3);
        }
        const bool choice = (i > 0 && line[i - 1] == '|') || (end < line.size() && line[end] == '|');
        const bool literal =
            (choice && kindOf(w) == "-") || w[0] == '-' || std::islower(static_cast<unsigned char>(w[0]));
        out += (literal ? "\\fB" : "\\fI") + roff(w) + "\\fR" + tail;
        i = end;
    }
    return out;
}

/* Help text: lines filled into paragraphs, indented lines (tables,
   wire formats) kept as they are. */
std::string helpRoff(const std::string &text)
{
    std::string out;
    bool verbatim = false;
    for (const std::string &line : splitLines(text)) {
        if (line.empty() && (out.empty() || out.compare(out.size() - 4, 4, ".PP\n") == 0))
            continue;
        const bool indented = !line.empty() && line[0] == ' ';
        if (indented != verbatim)
            out += indented ? ".nf\n" : ".fi\n";
        verbatim = indented;
        out += line.empty() ? ".PP\n" : roff(line) + "\n";
    }
    return out + (verbatim ? ".fi\n" : "");
}

/* The head's lines that are not usage lines: what jobtool is. */
std::string describe(const char *head, std::vector<std::string> *usage)
{
    std::string what;
    for (const std::string &l : splitLines(head)) {
        if (l.compare(0, 7, "usage: ") == 0)
            usage->push_back(l.substr(7));
        else if (!l.empty() && l[0] == ' ')
            usage->push_back(l.substr(l.find_first_not_of(' ')));
        else
            what += l;
    }
    return what;
}

const char kExamples[][2][160] = {
    {"jobtool check sensorjobs/job-1003.sjb", "Looks at a delivered sensor job file: header, word count, CRC."},
    {"jobtool decode sensorjobs/job-1003.sjb -o jobs/job-1003.xml.new",
     "Decodes it into a News file beside the stored job (a name that does not end in .xml, so listing "
     "never takes it for a job)."},
    {"jobtool merge jobs/job-1003.xml jobs/job-1003.xml.new",
     "Folds the new version into the stored job and deletes the News file."},
    {"jobtool list jobs", "Lists the job directory, newest first; # is the INDEX that requests takes."},
    {"jobtool requests jobs 0", "Shows the measurement requests of the newest job."},
    {"jobtool add-result jobs/job-1003.xml 1 3.61 --unit mg/l",
     "Enters the lab result of request 1, with the time of now."},
    {"jobtool compare jobs --parameter NH4-N --svg nh4.svg",
     "Sets the entered NH4-N lab results beside the sensor's values across the stored jobs and draws the plot."},
    {"jobtool format 386 3.6149", "Prints 3.61, the display text for format word 386."},
    {"jobtool upload lims.example 8080 /jobs/1003 jobs/job-1003.xml", "Sends the job file with PUT."},
};

std::string manPage(const jobtool::CommandTable &t, const std::vector<Syntax> &syntaxes)
{
    std::vector<std::string> mainUsage;
    std::string what = describe(t.head, &mainUsage);
    std::string name = what;
    if (!name.empty()) {
        name[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
        if (name.back() == '.')
            name.pop_back();
    }
    std::string p = ".\\\" jobtool(1), written by tools/mkdocs.cpp from jobtool's command table and\n"
                    ".\\\" help texts: change those, then cmake --build BUILD --target docs.\n";
    p += ".TH JOBTOOL 1 " JOBTOOL_DATE " \"jobtool " JOBTOOL_VERSION "\" \"User Commands\"\n.nh\n";
    p += ".SH NAME\njobtool \\- " + roff(name) + "\n.SH SYNOPSIS\n.nf\n";
    for (const std::string &u : mainUsage)
        p += usageRoff(u) + "\n";
    for (const Syntax &s : syntaxes)
        for (size_t i = 0; i < s.usage.size(); ++i)
            p += usageRoff(foldUsage(std::string("jobtool ") + s.command->name + " " + s.usage[i])) + "\n";
    p += ".fi\n.SH DESCRIPTION\n" + roff(what) + "\n.PP\n" + helpRoff(t.tail);
    p += ".SH COMMANDS\n";
    for (const Syntax &s : syntaxes) {
        p += ".SS " + std::string(s.command->name) + "\n.nf\n";
        for (const std::string &u : s.usage)
            p += usageRoff(foldUsage(std::string("jobtool ") + s.command->name + " " + u)) + "\n";
        p += ".fi\n.PP\n" + helpRoff(s.command->help);
    }
    /* A tagged paragraph: the tag in bold, roff already; the text plain. */
    auto item = [](const std::string &tag, const std::string &text) {
        return ".TP\n.B " + tag + "\n" + wrap(roff(text));
    };
    p += ".SH OPTIONS\nBefore the command:\n" +
         item("\\-v", "The library's progress traces too, not only its failures.") +
         item("\\-q", "No traces, and no notes (encode's list of what a sensor job file does not carry).") +
         item("\"\\-h, \\-\\-help\"",
              "The main help (also 'jobtool help'); after a command, the command's usage and help.") +
         item("\\-\\-version", "jobtool's version, the library's and its soname.");
    p += ".SH ENVIRONMENT\n" +
         item("LOGTRACE_LEVEL", "The stand-in tracer's level: 0 silences it, 2 shows failures, 6 also "
                                "progress. jobtool sets 2 when it is not set; -v and -q replace it.") +
         item("TZ", "Dates are shown and read in local time.");
    p += ".SH FILES\n" + helpRoff(JOBTOOL_WRITTEN_FILES) + ".PP\n" +
         wrap(roff("add-result, remove-result and merge write job files through the library: a temporary "
                   ".jobapi-PID-XXXXXX beside the job file (never listed as a job), synced and renamed over "
                   "it, then the directory synced. Job files get mode 0666 whatever the umask; their "
                   "directory must be writable. merge deletes NEWS after a copy or a merge. compare --svg "
                   "FILE is written as -o FILE is. list opens every *.xml of DIR read-write and syncs it without "
                   "changing it."));
    p += ".SH \"EXIT STATUS\"\n" + item(std::to_string(jobtool::kOk), "Done.") +
         item(std::to_string(jobtool::kFailed),
              "The operation failed or was refused: the file, the system's reason and the library's result "
              "on standard error. Some commands tell a result so too (see their help).") +
         item(std::to_string(jobtool::kUsage), "Bad usage.");
    p += ".SH EXAMPLES\n";
    for (const auto &e : kExamples)
        p += std::string(&e == kExamples ? "" : ".PP\n") + wrap(roff(e[1])) + ".RS\n.EX\n" +
             roff(std::string("$ ") + e[0]) + "\n.EE\n.RE\n";
    p += ".SH \"SEE ALSO\"\n.BR libTandelCntrl (3)\n";
    return p;
}

/* ---- the completion ---- */

std::string either(const std::string &a, const std::string &b);

/* How the completion fills in a placeholder: sjb or xml files (and
   directories), dir, file, host, a list of choices, or "-" for free
   text. Alternative placeholders (DIR|FILE.xml) take what fits both. */
std::string kindOf(const std::string &placeholder)
{
    auto endsWith = [&](const char *s) {
        const std::string e(s);
        return placeholder.size() > e.size() && placeholder.compare(placeholder.size() - e.size(), e.size(), e) == 0;
    };
    if (placeholder.find('|') != std::string::npos) {
        std::string kind;
        for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
            end = placeholder.find('|', start);
            const std::string part = kindOf(placeholder.substr(start, end - start));
            if (part == "-")
                return placeholder;
            kind = either(kind, part);
        }
        return kind;
    }
    if (endsWith(".sjb"))
        return "sjb";
    if (endsWith(".xml"))
        return "xml";
    if (placeholder == "DIR")
        return "dir";
    if (placeholder == "FILE" || placeholder == "NEWS")
        return "file";
    if (placeholder == "HOST")
        return "host";
    return "-";
}

/* Alternatives at one place: a directory or an xml file is what xml
   completes anyway; any other pair is any file. */
std::string either(const std::string &a, const std::string &b)
{
    if (a == b || b.empty())
        return a;
    if (a.empty())
        return b;
    if (a == "dir" && (b == "xml" || b == "sjb"))
        return b;
    if (b == "dir" && (a == "xml" || a == "sjb"))
        return a;
    return "file";
}

const char kCompletionHead[] = "# bash completion for jobtool                             -*- shell-script -*-\n"
                               "# Written by tools/mkdocs.cpp from jobtool's command table: change the\n"
                               "# table, then cmake --build BUILD --target docs.\n"
                               "\n";

const char kCompletionBody[] = R"(
# The value of an option or argument: files of a kind (and directories),
# directories, any file, a host, one of a list, or nothing.
_jobtool_complete() {
    case $1 in
    sjb | xml) _filedir "$1" ;;
    dir) _filedir -d ;;
    file) _filedir ;;
    host) _known_hosts_real -- "$cur" ;;
    *'|'*) mapfile -t COMPREPLY < <(compgen -W "${1//|/ }" -- "$cur") ;;
    esac
}

_jobtool() {
    local cur prev words cword
    _init_completion || return
    local i cmd='' at=0
    for ((i = 1; i < cword; i++)); do
        if [[ ${words[i]} != -* ]]; then
            cmd=${words[i]} at=$i
            break
        fi
    done
    if [[ -z $cmd ]]; then
        if [[ $cur == -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W '-v -q -h --help --version' -- "$cur")
        else
            mapfile -t COMPREPLY < <(compgen -W "$_jobtool_commands help" -- "$cur")
        fi
        return
    fi
    local opts values args
    _jobtool_syntax "$cmd" || return
    local v
    for v in $values; do
        if [[ $prev == "${v%%=*}" ]]; then
            _jobtool_complete "${v#*=}"
            return
        fi
    done
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$opts -h --help" -- "$cur")
        return
    fi
    # Which argument this is: options and their values do not count.
    local n=0 value=''
    for ((i = at + 1; i < cword; i++)); do
        if [[ $value ]]; then
            value=''
        elif [[ " $values " == *" ${words[i]}="* ]]; then
            value=1
        elif [[ ${words[i]} != -?* ]]; then
            n=$((n + 1))
        fi
    done
    local -a kinds
    read -ra kinds <<<"$args"
    if ((n < ${#kinds[@]})); then
        _jobtool_complete "${kinds[n]%...}"
    elif ((${#kinds[@]})) && [[ ${kinds[-1]} == *... ]]; then
        _jobtool_complete "${kinds[-1]%...}"
    fi
} &&
    complete -F _jobtool jobtool
)";

std::string completion(const std::vector<Syntax> &syntaxes)
{
    std::string names, cases;
    for (const Syntax &s : syntaxes) {
        names += (names.empty() ? "" : " ") + std::string(s.command->name);
        std::string opts, values, args;
        for (const Option &o : s.options) {
            opts += (opts.empty() ? "" : " ") + o.name;
            if (!o.value.empty())
                values += (values.empty() ? "" : " ") + o.name + "=" + kindOf(o.value);
        }
        size_t count = 0;
        for (const auto &line : s.arguments)
            count = std::max(count, line.size());
        for (size_t i = 0; i < count; ++i) {
            std::string kind;
            for (const auto &line : s.arguments)
                kind = either(kind, i < line.size() ? kindOf(line[i]) : "");
            args += (args.empty() ? "" : " ") + kind + (s.repeats && i + 1 == count ? "..." : "");
        }
        cases += "    " + std::string(s.command->name) + ") opts='" + opts + "' values='" + values + "' args='" +
                 args + "' ;;\n";
    }
    return kCompletionHead + ("_jobtool_commands='" + names + "'\n\n") +
           "# A command's options, those of them that take a value (and its kind),\n"
           "# and the kinds of its arguments in order (... repeats the last).\n"
           "_jobtool_syntax() {\n    case $1 in\n" +
           cases + "    *) return 1 ;;\n    esac\n}\n" + kCompletionBody;
}

bool writeFile(const char *path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
        std::fprintf(stderr, "mkdocs: cannot write %s\n", path);
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: mkdocs MANPAGE COMPLETION\n");
        return 2;
    }
    const jobtool::CommandTable table = jobtool::commandTable();
    std::vector<Syntax> syntaxes;
    try {
        for (size_t i = 0; i < table.count; ++i)
            syntaxes.push_back(syntaxOf(*table.commands[i]));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "mkdocs: %s\n", e.what());
        return 1;
    }
    return writeFile(argv[1], manPage(table, syntaxes)) && writeFile(argv[2], completion(syntaxes)) ? 0 : 1;
}
