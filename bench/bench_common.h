/*
 * Shared inputs of the benchmark programs: job documents and sensor job
 * messages made on the fly, temporary directories and memory streams.
 * Everything is generated, so a run needs no data files.
 */
#ifndef TANDEL_BENCH_COMMON_H
#define TANDEL_BENCH_COMMON_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "TandelCntrl.h"

namespace bench {

/* A job document in the writer's layout (tabs, CR LF) with the given
   number of samples, each with two process and two lab measurements,
   and user, sensor, controller and instrument elements. */
std::string jobDocument(int samples, int jobId = 42);

/* Samples of the large job document (about 15 MB). */
constexpr int kLargeSamples = 18250;

/* Samples for a job document of about `bytes` bytes. */
int samplesForSize(size_t bytes);

/* The largest sensor job message the file format takes (2040 bytes). */
std::vector<uint8_t> largestMessage();

/* A directory under $TMPDIR (or /tmp), removed with its files. */
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void writeFile(const std::string &path, const std::string &text);
std::string readFile(const std::string &path);

/* A read stream on the bytes; fmemopen, so no descriptor and no I/O. */
FILE *memoryStream(const std::string &text);

/* A handle (maximum depth 4, as the library's own callers use) with the
   tree of the text built, or null when it does not parse. */
qrx_Parser *buildTree(const std::string &text);

/* Bytes the heap holds in use right now. */
size_t heapInUse();

} // namespace bench

#endif
