/* Shared helpers for the codec tests: hex bytes, tree dumps, time zones,
   temporary directories and the serialised job-edit setting file. */
#ifndef TANDEL_TEST_CODEC_HELPERS_H
#define TANDEL_TEST_CODEC_HELPERS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TandelCntrl.h"
#include "sensor2xml/xmljob_internal.h"
#include "trace_recorder.h"
#include "xml_helpers.h"

using Bytes = std::vector<uint8_t>;

/* "60 38 01" -> bytes; separators other than hex digits are ignored. */
inline Bytes hex(const std::string &s)
{
    Bytes b;
    int hi = -1;
    for (char ch : s) {
        int v = ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10 : -1;
        if (v < 0)
            continue;
        if (hi < 0)
            hi = v;
        else {
            b.push_back(static_cast<uint8_t>(hi * 16 + v));
            hi = -1;
        }
    }
    return b;
}

inline std::string toHex(const uint8_t *p, size_t n)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", p[i]);
        s += buf;
    }
    return s;
}
inline std::string toHex(const Bytes &b) { return toHex(b.data(), b.size()); }

/* name#index[attr=value,...]{text}(children) */
inline std::string dumpTree(const qrx_Element *el, bool withIndex = false)
{
    std::string s = el->name;
    if (withIndex)
        s += "#" + std::to_string(el->index);
    if (el->attributes) {
        s += "[";
        for (const qrx_Attribute *a = el->attributes; a; a = a->next)
            s += std::string(a->name) + "=" + a->value + (a->next ? "," : "");
        s += "]";
    }
    if (el->value)
        s += "{" + std::string(el->value) + "}";
    if (el->children) {
        s += "(";
        for (const qrx_Element *c = el->children; c; c = c->next)
            s += dumpTree(c, withIndex) + (c->next ? "," : "");
        s += ")";
    }
    return s;
}

/* The job element's dump, or "" when there is none. */
inline std::string dumpJob(qrx_Parser *p)
{
    if (!p || !p->root || !p->root->children)
        return "";
    return dumpTree(p->root->children);
}

inline void setTZ(const char *tz)
{
    setenv("TZ", tz, 1);
    tzset();
}

/* Encodes the handle's tree into a buffer of exactly `capacity` bytes. */
inline int encode(qrx_Parser *p, Bytes &out, uint32_t capacity = 4096)
{
    Bytes buf(capacity);
    uint32_t len = capacity;
    uint8_t *msg = nullptr;
    int r = sjob_DOMTree2Message(buf.data(), &len, &msg, p);
    if (r == 0)
        out.assign(msg, msg + len);
    return r;
}

/* Encodes an XML job document. */
inline int encodeXml(const std::string &xml, Bytes &out, uint32_t capacity = 4096)
{
    Handle h;
    if (buildFrom(h.p, xml) != 0)
        return -1000;
    return encode(h.p, out, capacity);
}

/* A temporary directory, removed with its files. */
struct TempDir {
    std::string path;
    TempDir()
    {
        const char *base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/codecXXXXXX";
        std::vector<char> b(tmpl.begin(), tmpl.end());
        b.push_back('\0');
        if (mkdtemp(b.data()))
            path = b.data();
    }
    ~TempDir()
    {
        if (!path.empty())
            removeAll(path);
    }
    std::string file(const std::string &name) const { return path + "/" + name; }
    static void removeAll(const std::string &p);
};

#include <dirent.h>
inline void TempDir::removeAll(const std::string &p)
{
    if (DIR *d = opendir(p.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..")
                continue;
            std::string full = p + "/" + n;
            struct stat st;
            if (lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                removeAll(full);
            else
                unlink(full.c_str());
        }
        closedir(d);
    }
    rmdir(p.c_str());
}

inline std::vector<std::string> listDir(const std::string &p)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(p.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

inline Bytes readFile(const std::string &path)
{
    Bytes b;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        int ch;
        while ((ch = getc(f)) != EOF)
            b.push_back(static_cast<uint8_t>(ch));
        fclose(f);
    }
    return b;
}

inline void writeFile(const std::string &path, const Bytes &b)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!b.empty())
        fwrite(b.data(), 1, b.size(), f);
    fclose(f);
}

/*
 * Tests that decode lab measurements read the job-edit setting file of
 * the test build. ctest runs test cases as parallel processes, so the
 * fixture holds a lock on a file beside it for the whole test and
 * leaves the setting file removed.
 */
class JobEditTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string file = TANDEL_TEST_JOBEDIT;
        std::string dir = file.substr(0, file.rfind('/'));
        mkdir(dir.c_str(), 0777);
        lockFd_ = open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        ASSERT_GE(lockFd_, 0);
        ASSERT_EQ(flock(lockFd_, LOCK_EX), 0);
        unlink(TANDEL_TEST_JOBEDIT);
        setTZ("UTC0");
        clearTraces();
    }
    void TearDown() override
    {
        unlink(TANDEL_TEST_JOBEDIT);
        if (lockFd_ >= 0)
            close(lockFd_);
    }
    static void setJobEdit(const std::string &contents)
    {
        FILE *f = fopen(TANDEL_TEST_JOBEDIT, "w");
        ASSERT_NE(f, nullptr);
        fputs(contents.c_str(), f);
        fclose(f);
    }
    static void removeJobEdit() { unlink(TANDEL_TEST_JOBEDIT); }

private:
    int lockFd_ = -1;
};

#endif
