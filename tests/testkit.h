/* What several test binaries share: the trace recorder, temporary
   directories and files, parser handles over text, a tree dump, the
   bundled test documents, switches for locale, zone, job-edit setting
   and file-size limit, and the C library's functions behind those that
   a test binary interposes. */
#ifndef TANDEL_TESTKIT_H
#define TANDEL_TESTKIT_H

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <fstream>
#include <initializer_list>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "TandelCntrl.h"

/* Trace calls recorded on this thread since the last clear (testkit.cpp). */
struct TraceCall {
    std::string file;
    int line;
    std::string function;
    int level;
    std::string format;  /* as passed */
    std::string message; /* formatted */
};
std::vector<TraceCall> &traceCalls();
void clearTraces();
/* Number of recorded calls whose formatted message equals text. */
int countTraces(const std::string &text, int level = -1);

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

inline bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

#ifdef TANDEL_SOURCE_DIR
/* A file of tests/data: documents and expected outputs are data, not code. */
inline std::string testData(const std::string &name)
{
    const std::string path = std::string(TANDEL_SOURCE_DIR) + "/tests/data/" + name;
    EXPECT_TRUE(exists(path)) << path;
    return readFile(path);
}
#endif

/* The names in a directory, without "." and "..". */
inline std::set<std::string> entriesOf(const std::string &dir)
{
    std::set<std::string> names;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec))
        names.insert(e.path().filename().string());
    return names;
}

/* A directory under $TMPDIR (or /tmp), removed with its files. */
class TempDir {
public:
    TempDir()
    {
        const char *base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tandel-XXXXXX";
        path_ = mkdtemp(&tmpl[0]) ? tmpl : std::string();
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    std::set<std::string> entries() const { return entriesOf(path_); }

private:
    std::string path_;
};

/* A parser handle that is released at the end of the scope. */
struct Handle {
    qrx_Parser *p = nullptr;
    explicit Handle(int n = 4) { qrx_init(&p, n); }
    ~Handle() { qrx_deinit(&p); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    qrx_Parser *operator->() const { return p; }
};

/* A read stream holding text (a temporary file, so that empty text works). */
struct MemStream {
    FILE *fp;
    explicit MemStream(const std::string &t) : fp(tmpfile())
    {
        fwrite(t.data(), 1, t.size(), fp);
        rewind(fp);
    }
    ~MemStream() { fclose(fp); }
    MemStream(const MemStream &) = delete;
    MemStream &operator=(const MemStream &) = delete;
};

inline int buildFrom(qrx_Parser *p, const std::string &xml)
{
    MemStream ms(xml);
    return qrx_BuildDOMTree(p, ms.fp);
}

/* What the writer prints for a handle, and its result. */
inline std::string printed(qrx_Parser *p, int *result = nullptr)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    int r = qrx_PrintDOMTree(p, fp);
    fclose(fp);
    std::string s(buf, len);
    free(buf);
    if (result)
        *result = r;
    return s;
}

/* name[#index][a=v][b=w]{text}(child,child); "!" marks a wrong back link. */
inline std::string dump(const qrx_Element *el, bool withIndex = false)
{
    std::string s = el->name;
    if (withIndex)
        s += "#" + std::to_string(el->index);
    for (const qrx_Attribute *a = el->attributes; a; a = a->next)
        s += std::string(a->element == el ? "[" : "[!") + a->name + "=" + a->value + "]";
    if (el->value)
        s += "{" + std::string(el->value) + "}";
    if (el->children) {
        s += "(";
        for (const qrx_Element *c = el->children; c; c = c->next)
            s += dump(c, withIndex) + (c->parent == el ? (c->next ? "," : "") : "!");
        s += ")";
    }
    return s;
}

/* The writer's layout: declaration line, then the lines with CR LF. */
inline std::string doc(std::initializer_list<const char *> lines)
{
    std::string s = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";
    for (const char *l : lines)
        s += std::string(l) + "\r\n";
    return s;
}

/* Result codes by the header's names, as failures and data tables show
   them: a table of NAMED(code) entries, and the name of a result in it
   (values it does not name, as counts, stay numbers). */
#define NAMED(code) {code, #code}
template <size_t N> std::string nameOf(int result, const std::pair<int, const char *> (&names)[N])
{
    for (const auto &[code, name] : names)
        if (result == code)
            return name;
    return std::to_string(result);
}

/* Replaces the one occurrence of from in text (the test fails if absent). */
inline std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

/* The C library's own function for one that the test binary defines
   itself to watch or steer the library's calls (fsync, rename, ...). */
template <typename F> F *libcFunction(const char *name) { return reinterpret_cast<F *>(dlsym(RTLD_NEXT, name)); }

inline void setTimeZone(const char *tz)
{
    setenv("TZ", tz, 1);
    tzset();
}

/* Lowers the file size limit so that every write fails (EFBIG), as on a
   full device; restored at the end of the scope. */
struct NoRoom {
    rlimit old{};
    NoRoom()
    {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit tiny = old;
        tiny.rlim_cur = 16;
        setrlimit(RLIMIT_FSIZE, &tiny);
    }
    ~NoRoom() { setrlimit(RLIMIT_FSIZE, &old); }
};

/* Switches this process to de_DE.UTF-8 (decimal comma), generating the
   locale into dir when the system has none; false when impossible. */
inline bool useGermanNumbers(const std::string &dir)
{
    if (std::setlocale(LC_ALL, "de_DE.UTF-8"))
        return true;
    const std::string target = dir + "/de_DE.UTF-8";
    if (access(target.c_str(), F_OK) != 0) {
        const pid_t pid = fork();
        if (pid == 0) {
            execlp("localedef", "localedef", "-i", "de_DE", "-f", "UTF-8", target.c_str(), (char *)nullptr);
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
    }
    setenv("LOCPATH", dir.c_str(), 1);
    const bool ok = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    unsetenv("LOCPATH");
    return ok;
}

#ifdef TANDEL_TEST_JOBEDIT
/* Holds the lock beside the test build's job-edit setting, which test
   binaries running in parallel change; writes text there when given. */
class JobEditSetting {
public:
    explicit JobEditSetting(const char *text = nullptr)
    {
        const std::string path = TANDEL_TEST_JOBEDIT, dir = path.substr(0, path.rfind('/'));
        mkdir(dir.c_str(), 0777);
        fd_ = open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        flock(fd_, LOCK_EX);
        if (text)
            writeFile(path, text);
        owned_ = text != nullptr;
    }
    ~JobEditSetting()
    {
        if (owned_)
            unlink(TANDEL_TEST_JOBEDIT);
        close(fd_);
    }
    JobEditSetting(const JobEditSetting &) = delete;
    JobEditSetting &operator=(const JobEditSetting &) = delete;

private:
    int fd_ = -1;
    bool owned_ = false;
};
#endif

#ifdef TANDEL_SOURCE_DIR
/* The job most job handler tests start from: two samples, three lab
   measurements, in the writer's layout. */
inline std::string sampleJob() { return testData("sample_job.xml"); }
#endif

#endif
