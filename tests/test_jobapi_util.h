/* Helpers for the job handler tests: temporary job directories and job
   documents in the writer's own layout (tabs, CR LF). */
#ifndef TANDEL_TEST_JOBAPI_UTIL_H
#define TANDEL_TEST_JOBAPI_UTIL_H

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <initializer_list>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "TandelCntrl.h"
#include "trace_recorder.h"

/* The names in a directory, without "." and "..". */
inline std::set<std::string> entriesOf(const std::string &dir)
{
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

/* A directory under $TMPDIR (or /tmp), removed with its files. */
class TempDir {
public:
    TempDir()
    {
        const char *base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/jobapi-XXXXXX";
        path_ = mkdtemp(&tmpl[0]) ? tmpl : std::string();
    }
    ~TempDir() { removeTree(path_); }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    /* Names of the entries, sorted. */
    std::set<std::string> entries() const { return entriesOf(path_); }

private:
    static void removeTree(const std::string &p)
    {
        if (p.empty())
            return;
        if (DIR *d = opendir(p.c_str())) {
            while (dirent *e = readdir(d))
                if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                    removeTree(p + "/" + e->d_name);
            closedir(d);
            rmdir(p.c_str());
        } else {
            unlink(p.c_str());
        }
    }
    std::string path_;
};

inline void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

/* The writer's layout: declaration line, then the lines with CR LF. */
inline std::string doc(std::initializer_list<const char *> lines)
{
    std::string s = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";
    for (const char *l : lines)
        s += std::string(l) + "\r\n";
    return s;
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

private:
    int fd_ = -1;
    bool owned_ = false;
};
#endif

inline void setTimeZone(const char *tz)
{
    setenv("TZ", tz, 1);
    tzset();
}

/* The job used across the tests: two samples, three lab measurements. */
inline std::string sampleJob()
{
    return doc({
        "<job job_id=\"42\" date=\"2020-01-01T08:30:00+0100\" job_type=\"1\" job_handling=\"32\" "
        "requested_samples=\"2\" contained_samples=\"2\" max_samples=\"5\">",
        "\t<user name=\"Ann\"/>",
        "\t<sensor manufacturer_id=\"7\" device_id=\"3\" serial_number=\"1A2B\" name=\"S1\" "
        "location=\"Tank\"/>",
        "\t<controller manufacturer_id=\"8\" device_id=\"4\" serial_number=\"FF\" name=\"C1\" "
        "location=\"Hall\" "
        "facility=\"Plant\" ip_address=\"10.0.0.2\"/>",
        "\t<sample number=\"0\" date=\"2020-01-01T08:00:00+0100\" bottle_number=\"17\" sensordata=\"YWJj\">",
        "\t\t<process_measurement index=\"0\" display_format=\"386\" data_type=\"16\" parameter=\"pH\" "
        "unit=\"-\"> "
        "7.250000 </process_measurement>",
        "\t\t<lab_measurement index=\"0\" done=\"64\"> -1.0 </lab_measurement>",
        "\t\t<process_measurement index=\"1\" data_type=\"16\" parameter=\"T\" unit=\"C\"> 21.000000 "
        "</process_measurement>",
        "\t\t<lab_measurement index=\"1\" done=\"0\" default_method=\"M1\"> -1.0 </lab_measurement>",
        "\t</sample>",
        "\t<sample number=\"1\" sample_id=\"B\" date=\"2020-01-02T08:00:00+0100\">",
        "\t\t<lab_measurement index=\"0\" done=\"1\" lab_unit=\"mg\" used_method=\"M2\"> 3.500000 "
        "</lab_measurement>",
        "\t</sample>",
        "</job>",
    });
}

#endif
