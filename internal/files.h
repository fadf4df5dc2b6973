/*
 * File handling shared by the codec and the job handler: owners for
 * descriptors and streams, opening only regular files, the atomic
 * replacement of a file through a temporary beside it, the lock that
 * serialises read-change-replace cycles on one path, the one link rule
 * of every writer, and the removal of exactly the file that was read.
 *
 * The link rule: a writer given a symbolic link works on the file at
 * the end of its chain (relative targets taken from the directory of
 * their link): that file is locked, read and replaced in its own
 * directory, and the link stays a link. A chain that ends nowhere is
 * refused with ENOENT, never created through; one that ends in a
 * directory or FIFO is refused like that file itself.
 */
#ifndef TANDEL_INTERNAL_FILES_H
#define TANDEL_INTERNAL_FILES_H

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include <sys/types.h>

namespace tandel {

struct FileCloser {
    void operator()(FILE *fp) const { std::fclose(fp); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

/* An owned descriptor. */
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

/* Opens path (O_RDONLY or O_RDWR) only when it names a regular file,
   without blocking on a FIFO or device; close-on-exec. -1 with errno
   (EISDIR for a directory, EINVAL for other kinds) on failure. */
int openRegular(const char *path, int flags);
/* The same as a read stream ("r"); null with errno. */
FILE *openRegularStream(const char *path);
/* A stream reading the descriptor, which it then owns; null with errno
   (the descriptor is closed then). */
FILE *streamOf(int fd);

/* The errno values that mean "no such file" rather than a failure. */
bool isAbsent(int err);

/* The file a writer works on for path (see the link rule): path itself
   when it is no symbolic link, present or not; else the end of its
   chain. 0, or errno: ENOENT for a dangling link, ELOOP for a chain of
   more than 40 links, or what lstat or readlink said. */
int followLinks(const char *path, std::string *file);

/* The directory part of path: "." without a slash, "/" for the root. */
std::string directoryOf(const char *path);
/* fsync of a directory, so a rename into it survives a power cut. */
void syncDirectory(const std::string &dir);

/* Unlinks the temporaries ".jobapi-<pid>-<6 characters>" in dir whose
   writer has died (kill, power cut): those no writer holds locked,
   regular files of this user only, never a link, never another name. */
void removeStaleTemps(const std::string &dir);

/* The mode policies: every file the library or jobtool replaces is one
   of these kinds, and gets the mode its kind says (modeFor), here only. */
enum class FileKind {
    /* Job files, written by the job handler: 0666 whatever the umask or
       the old file's mode, because the controller's programs run as
       different users and every one of them rewrites the job files (the
       header promises it). */
    JobFile,
    /* Sensor job files, written by the codec: the old file's mode, a new
       one 0666 less the umask as open() would make it, because they are
       the caller's own files on their way to a sensor, shared as the
       caller decides. */
    SensorJobFile,
    /* jobtool's -o: the old file's mode, so that a copy a technician
       protected stays so; a new one 0666 whatever the umask, the mode of
       job files, since -o writes job files into job directories too. */
    ToolOutput,
};

/* The mode a replaced file of kind gets: oldMode is the replaced file's
   (-1: there was none); -1 keeps the temporary's, 0666 less the umask. */
int modeFor(FileKind kind, int oldMode);

/* The new content of a file: a temporary beside it, created empty,
   removed again unless commit() renames it over the target. */
class Replacement {
public:
    Replacement() = default;
    Replacement(const Replacement &) = delete;
    Replacement &operator=(const Replacement &) = delete;
    ~Replacement();
    /* Follows target's links, refuses what is there unless it is a
       regular file or nothing (EISDIR for a directory, EINVAL for other
       kinds), sweeps stale temporaries and creates the temporary (mode
       0666 less the umask) in the directory of the file found, locked
       until the rename so that no sweep takes it for a dead writer's.
       The mode of the file found is kept for commit. 0 or errno. */
    int open(const char *target);
    FILE *stream() const { return fp_; }
    /* Flushes, checks the stream, syncs, sets the mode of kind, closes
       and renames over the target, then syncs the directory. 0, or the
       errno of the failing step (nothing renamed then). Nothing after
       the rename can fail. */
    int commit(FileKind kind);

private:
    std::string target_;
    std::string dir_;
    std::string temp_;
    FILE *fp_ = nullptr;
    int oldMode_ = -1; /* the replaced file's, -1: none */
    Fd held_;          /* keeps the temporary's lock while the stream is closed */
};

/* An exclusive lock standing for a path, held on the open file the path
   names: lock, then check the path still names the locked file (a
   writer may have renamed a new one over it), else start again. */
class PathLock {
public:
    /* Opens path as openRegular(path, flags) and locks it. The
       descriptor, or -1 with errno. *locked false: the file system
       has no locks (the file is open all the same). */
    int open(const char *path, int flags, bool *locked);
    /* Locks the directory instead, for a file that is still absent. */
    int openDirectory(const std::string &dir, bool *locked);
    int fd() const { return fd_.get(); }
    void unlock() { fd_.reset(); }

private:
    Fd fd_;
};

/* Whether path names the file open at fd (same device and inode). */
bool namesFile(const char *path, int fd);
/* Whether the two paths name one file; false when either is absent. */
bool sameFile(const char *a, const char *b);

/* What a ReadFileRemoval did with the file at its path. */
enum class Removal {
    Removed, /* it was the file read, and it is gone */
    Kept,    /* another file is there, or none: left as it is */
    Aside,   /* another file was there and its place was taken again
                meanwhile: it is kept under aside() */
    Failed,  /* errno says why; nothing was removed */
};

/* The removal of a file that was read, in a step that cannot remove
   another: the file at the path is first moved to a private name in its
   directory (a temporary's, held locked meanwhile), compared there
   (device and inode) with the file read, then removed, or put back
   without replacing anything. Prepared before the point of no return:
   remove() allocates nothing. */
class ReadFileRemoval {
public:
    /* Follows path's links and names the private file. 0, or ENOMEM. */
    int prepare(const char *path);
    /* Removes the file when it is the one open at fd. */
    Removal remove(int fd);
    const std::string &aside() const { return aside_; }

private:
    std::string file_;  /* the end of the path's links; empty: none */
    std::string dir_;   /* its directory */
    std::string aside_; /* the private name: a temporary's */
    std::string kept_;  /* where a newer News stays that cannot go back */
};

/* Replaces path by what fill(stream) writes, through a Replacement
   committed as a file of kind. 0, or the errno of the failing step (EIO
   when fill fails without one). */
template <typename Fill> int replaceWith(const char *path, FileKind kind, Fill fill)
{
    Replacement out;
    if (const int err = out.open(path))
        return err;
    errno = 0;
    if (!fill(out.stream()))
        return errno ? errno : EIO;
    return out.commit(kind);
}

/* Owns a library record that Release frees and nulls through the
   owner's address (qrx_deinit, removeJobDescrList, ...). */
template <class T, auto Release> struct Owned {
    T *p = nullptr;
    Owned() = default;
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    ~Owned() { Release(&p); }
};

} // namespace tandel

#endif
