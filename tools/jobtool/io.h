/*
 * jobtool's files: reading a file or standard input whole, writing -o
 * outputs, and the parser handle and XML text of a job document.
 */
#ifndef JOBTOOL_IO_H
#define JOBTOOL_IO_H

#include <string>

#include "TandelCntrl.h"
#include "files.h"

namespace jobtool {

constexpr int kMaxDepth = 4;

/* What the help of a command with -o says about it. */
#define JOBTOOL_WRITTEN_FILES                                                                                  \
    "-o FILE is replaced whole (a temporary file beside it, synced, renamed):\n"                               \
    "after a failure it is as it was. A replaced file keeps its mode, a new\n"                                 \
    "one gets mode 0666 as the library gives job files; a read-only FILE is\n"                                 \
    "refused; a link keeps pointing at its file. A device such as /dev/null\n"                                  \
    "is written in place. -o '' is refused.\n"

std::string displayName(const std::string &path);
std::string baseName(const std::string &path);

/* A stream read whole: a file it owns, or standard input, left open. */
struct Input {
    tandel::FilePtr file;
    FILE *get() const { return file ? file.get() : stdin; }
};

/* Opens a file to read ("-": standard input); a directory is told as one. */
Input openInput(const std::string &path, const char *mode = "rb");
std::string readAll(const std::string &path);
/* Opens a regular file to read, without waiting on a FIFO or device;
   anything else is refused as "not a regular file". */
tandel::FilePtr openRegularInput(const std::string &path);
/* What a parse failure of path was, with the reason where jobtool sees
   one (a byte-order mark); -1 ("") for standard input. */
std::string parseProblem(const std::string &path, int rc);
/* Writes data to path ("" or "-": standard output, through stdio); a
   file gets the mode of tandel::FileKind::ToolOutput. */
void writeOutput(const std::string &path, const std::string &data);

/* The library's traces off while a diagnosis repeats a step the
   library already traced (the tracer reads LOGTRACE_LEVEL at every
   message). */
class QuietTraces {
public:
    QuietTraces();
    ~QuietTraces();
    QuietTraces(const QuietTraces &) = delete;
    QuietTraces &operator=(const QuietTraces &) = delete;

private:
    std::string saved_;
    bool had_;
};

struct Parser : tandel::Owned<qrx_Parser, qrx_deinit> {
    Parser();
    const qrx_Element *top() const { return p->root ? p->root->children : nullptr; }
};

/* The tree as XML text, made in memory so that a failed print leaves
   no partial output behind. */
std::string printTree(const Parser &p, const std::string &what);
/* Why the library could not replace path: the system's reason err as
   the library left it in errno, else what jobtool sees; "" when none
   shows. */
std::string writeReason(const std::string &path, int err);

} // namespace jobtool

#endif
