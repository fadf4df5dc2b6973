/*
 * files.cpp - regular-file opening, atomic replacement and path locks.
 *
 * Every job file is rewritten as a whole: the new bytes go to a hidden
 * temporary in the same directory, reach storage, and are renamed over
 * the old file, so readers see the old or the new file, never a mix.
 */
#include "files.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <new>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tandel {

namespace {

/* Hidden and without ".xml", so a job listing never takes it, and short,
   so it fits beside a file whose name is as long as a name can be. */
const char kTempPrefix[] = ".jobapi-";
/* A newer News that could not be put back: no sweep takes it. */
const char kKeptPrefix[] = ".jobapi-kept-";
/* Readable and writable by everyone: the mode of job files, and less
   the umask that of new temporaries (see FileKind). */
const int kSharedMode = 0666;
/* As many links as the kernel follows in one path. */
const int kMaxLinks = 40;
const size_t kRandomChars = 6;
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

bool isTempName(const char *name, pid_t *pid)
{
    const size_t prefix = sizeof kTempPrefix - 1;
    if (std::strncmp(name, kTempPrefix, prefix) != 0)
        return false;
    const char *p = name + prefix;
    long long n = 0;
    const char *digits = p;
    while (*p >= '0' && *p <= '9' && p - digits < 10)
        n = n * 10 + (*p++ - '0');
    if (p == digits || *digits == '0' || *p != '-' || n > INT32_MAX)
        return false;
    ++p;
    if (std::strlen(p) != kRandomChars || std::strspn(p, kAlphabet) != kRandomChars)
        return false;
    *pid = static_cast<pid_t>(n);
    return true;
}

/* Six characters that differ between processes, threads and attempts. */
std::string randomPart(unsigned attempt)
{
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t x = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(ts.tv_sec) << 20) ^
                 (reinterpret_cast<uintptr_t>(&ts) << 7) ^ (uint64_t{attempt} * 0x9E3779B97F4A7C15ull);
    std::string s(kRandomChars, 'A');
    for (char &c : s) {
        x ^= x >> 33;
        x *= 0xFF51AFD7ED558CCDull;
        x ^= x >> 29;
        c = kAlphabet[x % (sizeof kAlphabet - 1)];
    }
    return s;
}

} // namespace

void Fd::reset(int fd)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

int openRegular(const char *path, int flags)
{
    Fd fd(::open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    const int fl = ::fcntl(fd.get(), F_GETFL);
    if (fl < 0 || ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) != 0)
        return -1;
    return fd.release();
}

FILE *streamOf(int fd)
{
    FILE *fp = ::fdopen(fd, "r");
    if (!fp) {
        const int err = errno;
        ::close(fd);
        errno = err;
    }
    return fp;
}

FILE *openRegularStream(const char *path)
{
    const int fd = openRegular(path, O_RDONLY);
    return fd < 0 ? nullptr : streamOf(fd);
}

bool isAbsent(int err) { return err == ENOENT || err == ENOTDIR; }

int followLinks(const char *path, std::string *file)
try {
    std::string at = path;
    for (int links = 0;; ++links) {
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0)
            return links == 0 && isAbsent(errno) ? (*file = at, 0) : errno;
        if (!S_ISLNK(st.st_mode)) {
            *file = std::move(at);
            return 0;
        }
        if (links == kMaxLinks)
            return ELOOP;
        char to[PATH_MAX];
        const ssize_t n = ::readlink(at.c_str(), to, sizeof to);
        if (n <= 0)
            return n < 0 ? errno : ENOENT;
        if (static_cast<size_t>(n) == sizeof to)
            return ENAMETOOLONG;
        if (to[0] == '/') {
            at.assign(to, static_cast<size_t>(n));
        } else {
            const std::string dir = directoryOf(at.c_str());
            at = (dir == "/" ? dir : dir + "/") + std::string(to, static_cast<size_t>(n));
        }
    }
} catch (const std::bad_alloc &) {
    return ENOMEM;
}

std::string directoryOf(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    if (!slash)
        return ".";
    return slash == path ? "/" : std::string(path, static_cast<size_t>(slash - path));
}

void syncDirectory(const std::string &dir)
{
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0)
        ::fsync(fd.get());
}

namespace {

/* Whether the temporary at name in dir is a dead writer's. A live writer
   holds a lock on its temporary from the moment it exists (see
   Replacement::open); a pid alone cannot tell, since after a power cut
   the next boot's writer may well get the pid of the one that died.
   Where the file system has no locks, a pid that no process holds is
   the only sign. Regular files of this user only, never a link. */
bool isStaleTemp(int dir, const char *name, pid_t pid, uid_t me)
{
    Fd fd(::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {}, now{};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != me)
        return false;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK || errno == EINTR)
            return false;
        if (::kill(pid, 0) == 0 || errno != ESRCH)
            return false;
    }
    /* Still the file that was judged, not one created under the name since. */
    return ::fstatat(dir, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == st.st_dev &&
           now.st_ino == st.st_ino;
}

} // namespace

void removeStaleTemps(const std::string &dir)
{
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        return;
    const uid_t me = ::geteuid();
    while (const dirent *e = ::readdir(d)) {
        pid_t pid = 0;
        if (isTempName(e->d_name, &pid) && isStaleTemp(::dirfd(d), e->d_name, pid, me))
            ::unlinkat(::dirfd(d), e->d_name, 0);
    }
    ::closedir(d);
}

Replacement::~Replacement()
{
    if (fp_)
        std::fclose(fp_);
    if (!temp_.empty())
        ::unlink(temp_.c_str());
}

int Replacement::open(const char *target)
{
    if (const int err = followLinks(target, &target_))
        return err;
    struct stat st {};
    if (::lstat(target_.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        oldMode_ = static_cast<int>(st.st_mode & 07777);
    }
    dir_ = directoryOf(target_.c_str());
    removeStaleTemps(dir_);
    const std::string stem = dir_ + "/" + kTempPrefix + std::to_string(::getpid()) + "-";
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        std::string name = stem + randomPart(attempt);
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, kSharedMode);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return errno;
        }
        /* The lock tells sweepers this temporary is alive. One that swept
           it in the instant before the lock leaves it nameless: make
           another. */
        ::flock(fd, LOCK_EX | LOCK_NB);
        if (!namesFile(name.c_str(), fd)) {
            ::close(fd);
            continue;
        }
        temp_ = std::move(name);
        /* Holds the lock past the stream's close, up to the rename. */
        held_.reset(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (held_.get() < 0) {
            const int err = errno;
            ::close(fd);
            return err;
        }
        fp_ = ::fdopen(fd, "w");
        if (!fp_) {
            const int err = errno ? errno : ENOMEM;
            ::close(fd);
            return err;
        }
        return 0;
    }
    return EEXIST;
}

int modeFor(FileKind kind, int oldMode)
{
    switch (kind) {
    case FileKind::JobFile:
        return kSharedMode;
    case FileKind::SensorJobFile:
        return oldMode;
    case FileKind::ToolOutput:
        return oldMode >= 0 ? oldMode : kSharedMode;
    }
    return -1;
}

int Replacement::commit(FileKind kind)
{
    const int mode = modeFor(kind, oldMode_);
    errno = 0;
    const int fd = ::fileno(fp_);
    bool ok = std::fflush(fp_) == 0 && !std::ferror(fp_) && ::fsync(fd) == 0 &&
              (mode < 0 || ::fchmod(fd, static_cast<mode_t>(mode)) == 0);
    int err = ok ? 0 : (errno ? errno : EIO);
    FILE *fp = fp_;
    fp_ = nullptr;
    if (std::fclose(fp) != 0 && ok) {
        ok = false;
        err = errno ? errno : EIO;
    }
    if (ok && std::rename(temp_.c_str(), target_.c_str()) != 0) {
        ok = false;
        err = errno ? errno : EIO;
    }
    if (!ok)
        return err;
    temp_.clear();
    held_.reset();
    syncDirectory(dir_);
    return 0;
}

bool namesFile(const char *path, int fd)
{
    struct stat a {
    }, b{};
    return ::stat(path, &a) == 0 && ::fstat(fd, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool sameFile(const char *a, const char *b)
{
    struct stat sa {
    }, sb{};
    return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

namespace {

/* rename that never replaces a file: RENAME_NOREPLACE, or where the file
   system lacks it, a hard link and the removal of the old name. */
int renameNoReplace(const char *from, const char *to)
{
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return -1;
    if (::link(from, to) != 0)
        return -1;
    ::unlink(from);
    return 0;
}

} // namespace

int ReadFileRemoval::prepare(const char *path)
try {
    const int err = followLinks(path, &file_);
    if (err == ENOMEM)
        return err;
    if (err)
        file_.clear(); /* nothing there to remove */
    /* A temporary's name: a writer that dies leaves the file it moved
       to the sweep. A file that must stay gets a name of its own. */
    dir_ = directoryOf(file_.c_str());
    const std::string stem = std::to_string(::getpid()) + "-" + randomPart(0);
    aside_ = dir_ + "/" + kTempPrefix + stem;
    kept_ = dir_ + "/" + kKeptPrefix + stem;
    return 0;
} catch (const std::bad_alloc &) {
    return ENOMEM;
}

Removal ReadFileRemoval::remove(int fd)
{
    if (file_.empty() || !namesFile(file_.c_str(), fd))
        return Removal::Kept;
    /* Locked, the file read is no dead writer's temporary to a sweep
       while it stands under the private name. */
    ::flock(fd, LOCK_EX | LOCK_NB);
    /* From here the path may name a newer file: only what was moved is
       looked at, and only that is removed. */
    if (::rename(file_.c_str(), aside_.c_str()) != 0)
        return isAbsent(errno) ? Removal::Kept : Removal::Failed;
    Fd other;
    const bool same = namesFile(aside_.c_str(), fd);
    if (!same) { /* a newer News: no sweep may take it either */
        other.reset(::open(aside_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        ::flock(other.get(), LOCK_EX | LOCK_NB);
    }
    /* Synced like the replacement of Base: a News whose merge was
       reported must not come back after a power cut. */
    if (same && ::unlink(aside_.c_str()) == 0) {
        syncDirectory(dir_);
        return Removal::Removed;
    }
    const int err = errno;
    const bool back = renameNoReplace(aside_.c_str(), file_.c_str()) == 0;
    /* The newer News's place was taken again: it stays, under a name
       that tells people what it is. */
    if (!back && !same && renameNoReplace(aside_.c_str(), kept_.c_str()) == 0)
        aside_.swap(kept_);
    syncDirectory(dir_);
    errno = err;
    if (same)
        return Removal::Failed;
    return back ? Removal::Kept : Removal::Aside;
}

namespace {

/* flock, waiting; false when the file system has no locks. */
bool lockExclusive(int fd)
{
    int r;
    while ((r = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {}
    return r == 0;
}

} // namespace

int PathLock::open(const char *path, int flags, bool *locked)
{
    /* Each round means another writer replaced the file meanwhile; a
       path that keeps changing under us is reported as busy. */
    for (int round = 0; round < 1000; ++round) {
        fd_.reset(openRegular(path, flags));
        if (fd_.get() < 0)
            return -1;
        *locked = lockExclusive(fd_.get());
        if (!*locked || namesFile(path, fd_.get()))
            return fd_.get();
        fd_.reset();
    }
    errno = EBUSY;
    return -1;
}

int PathLock::openDirectory(const std::string &dir, bool *locked)
{
    fd_.reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd_.get() < 0)
        return -1;
    *locked = lockExclusive(fd_.get());
    return fd_.get();
}

} // namespace tandel
