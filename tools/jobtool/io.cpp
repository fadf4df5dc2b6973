/*
 * Reading inputs and writing outputs for every command. An output file
 * is replaced whole, so a failure leaves it as it was.
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "failure.h"
#include "io.h"

namespace jobtool {

std::string displayName(const std::string &path) { return path == "-" ? "standard input" : path; }

std::string baseName(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Input openInput(const std::string &path, const char *mode)
{
    if (path == "-")
        return {};
    tandel::FilePtr f(std::fopen(path.c_str(), mode));
    if (!f)
        failSys(path);
    struct stat st {};
    if (fstat(fileno(f.get()), &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        failSys(path);
    }
    return {std::move(f)};
}

std::string readAll(const std::string &path)
{
    Input f = openInput(path);
    std::string data;
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0)
        data.append(buf, n);
    if (std::ferror(f.get()))
        failSys(displayName(path));
    return data;
}

tandel::FilePtr openRegularInput(const std::string &path)
{
    tandel::FilePtr f(tandel::openRegularStream(path.c_str()));
    if (!f && errno == EINVAL)
        fail(path + ": not a regular file");
    if (!f)
        failSys(path);
    return f;
}

std::string parseProblem(const std::string &path, int rc)
{
    std::string text = tandel_errstr(TANDEL_XML_PARSE, rc);
    unsigned char head[3] = {};
    tandel::FilePtr f(path == "-" ? nullptr : tandel::openRegularStream(path.c_str()));
    if (f && std::fread(head, 1, 3, f.get()) == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF)
        text += ": the file starts with a byte-order mark (EF BB BF), which job files do not carry";
    return text;
}

QuietTraces::QuietTraces()
{
    const char *level = std::getenv("LOGTRACE_LEVEL");
    had_ = level != nullptr;
    saved_ = level ? level : "";
    setenv("LOGTRACE_LEVEL", "0", 1);
}

QuietTraces::~QuietTraces()
{
    if (had_)
        setenv("LOGTRACE_LEVEL", saved_.c_str(), 1);
    else
        unsetenv("LOGTRACE_LEVEL");
}

namespace {

/* Devices and FIFOs (/dev/null) are written in place. */
void writeInPlace(const std::string &path, const std::string &data)
{
    tandel::Fd fd(open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0)
        failSys(path);
    for (size_t done = 0; done < data.size();) {
        ssize_t n = write(fd.get(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            failSys(path);
        done += static_cast<size_t>(n);
    }
    if (close(fd.release()) != 0)
        failSys(path);
}

/* Replaces a regular file whole through the library's replacement (a
   temporary beside it, synced, renamed, the directory synced), so a
   failure leaves the old file (or none) and no temporary, with the mode
   policy of jobtool's outputs. */
void replaceFile(const std::string &path, const std::string &data)
{
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            failSys(path);
        }
        if (!S_ISREG(st.st_mode))
            return writeInPlace(path, data);
        if (access(path.c_str(), W_OK) != 0)
            failSys(path); /* a read-only file stays as it is */
    } else if (errno != ENOENT) {
        failSys(path);
    }
    /* A link is followed and stays; a dangling one is refused (ENOENT). */
    const int err = tandel::replaceWith(path.c_str(), tandel::FileKind::ToolOutput, [&data](FILE *fp) {
        return std::fwrite(data.data(), 1, data.size(), fp) == data.size();
    });
    if (err) {
        errno = err;
        failSys(path);
    }
}

} // namespace

void writeOutput(const std::string &path, const std::string &data)
{
    if (path.empty() || path == "-") {
        std::fwrite(data.data(), 1, data.size(), stdout);
        return;
    }
    replaceFile(path, data);
}

Parser::Parser()
{
    if (const int rc = qrx_init(&p, kMaxDepth))
        failResult(tandel_errstr(TANDEL_XML_SETUP, rc), rc);
}

std::string printTree(const Parser &p, const std::string &what)
{
    char *buf = nullptr;
    size_t size = 0;
    FILE *ms = open_memstream(&buf, &size);
    if (!ms)
        fail("out of memory");
    int rc = qrx_WriteDOMTree(p.p, ms);
    bool closed = std::fclose(ms) == 0;
    std::string text = buf ? std::string(buf, size) : std::string();
    std::free(buf);
    if (rc >= 0 && !closed)
        rc = QRX_STREAM_ERROR;
    if (rc < 0)
        failLib(what, TANDEL_XML_PRINT, rc);
    return text;
}

std::string writeReason(const std::string &path, int err)
{
    if (err)
        return std::strerror(err);
    if (access(path.c_str(), W_OK) != 0 && errno != ENOENT)
        return std::strerror(errno);
    std::string dir = tandel::directoryOf(path.c_str());
    if (access(dir.c_str(), W_OK) != 0)
        return dir + ": " + std::strerror(errno) + " (a temporary file goes there)";
    return "";
}

} // namespace jobtool
