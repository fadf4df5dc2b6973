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

namespace {

bool writeAll(int fd, const std::string &data)
{
    for (size_t done = 0; done < data.size();) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

/* Replaces a regular file whole: a temporary file beside it, synced and
   renamed over it, so a failure leaves the old file (or none) and no
   temporary. It gets the old file's mode, or newMode for a new file.
   Devices and FIFOs (/dev/null) are written in place. */
void writeFileAtomic(const std::string &path, const std::string &data, mode_t newMode)
{
    std::string target = path;
    mode_t mode = newMode;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            failSys(path);
        }
        if (!S_ISREG(st.st_mode)) {
            int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0)
                failSys(path);
            bool ok = writeAll(fd, data);
            int saved = errno;
            if (close(fd) != 0 && ok)
                failSys(path);
            errno = saved;
            if (!ok)
                failSys(path);
            return;
        }
        if (access(path.c_str(), W_OK) != 0)
            failSys(path);                                  /* a read-only file stays as it is */
        if (char *real = realpath(path.c_str(), nullptr)) { /* a link keeps pointing at the file */
            target = real;
            std::free(real);
        }
        mode = st.st_mode & 07777;
    } else if (errno != ENOENT) {
        failSys(path);
    }
    std::string tmp = tandel::directoryOf(target.c_str()) + "/." + baseName(target) + ".XXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd < 0)
        failSys(path);
    bool ok = writeAll(fd, data) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    int saved = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp.c_str(), target.c_str()) == 0)
        return;
    saved = ok ? errno : saved;
    unlink(tmp.c_str());
    errno = saved;
    failSys(path);
}

} // namespace

void writeOutput(const std::string &path, const std::string &data, mode_t newMode)
{
    if (path.empty() || path == "-") {
        std::fwrite(data.data(), 1, data.size(), stdout);
        return;
    }
    writeFileAtomic(path, data, newMode);
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

std::string writeReason(const std::string &path)
{
    if (access(path.c_str(), W_OK) != 0 && errno != ENOENT)
        return std::strerror(errno);
    std::string dir = tandel::directoryOf(path.c_str());
    if (access(dir.c_str(), W_OK) != 0)
        return dir + ": " + std::strerror(errno) + " (a temporary file goes there)";
    return "";
}

} // namespace jobtool
