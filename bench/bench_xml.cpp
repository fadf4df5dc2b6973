/*
 * XML toolkit benchmarks: the streaming parser against expat, libxml2's
 * SAX interface and a bare character loop; tree building, freeing and
 * printing against pugixml; heap cost of a built tree. All readers get
 * the same bytes from memory, so the numbers compare parsing only.
 */
#include <benchmark/benchmark.h>
#include <expat.h>
#include <libxml/parser.h>
#include <pugixml.hpp>

#include <chrono>
#include <ctime>
#include <cstring>
#include <map>

#include "bench_common.h"

using bench::jobDocument;

namespace {

/* Manual timings count this thread's CPU time (page faults included),
   so that other load on the machine does not show up in them. */
struct Clock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<Clock>;
    static constexpr bool is_steady = true;
    static time_point now()
    {
        timespec ts;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return time_point(duration(static_cast<rep>(ts.tv_sec) * 1000000000 + ts.tv_nsec));
    }
};

/* Documents by sample count, made once. */
const std::string &documentFor(int samples)
{
    static std::map<int, std::string> cache;
    auto it = cache.find(samples);
    if (it == cache.end())
        it = cache.emplace(samples, jobDocument(samples)).first;
    return it->second;
}

const std::string &input(benchmark::State &state)
{
    const std::string &doc = documentFor(static_cast<int>(state.range(0)));
    state.counters["doc_bytes"] = static_cast<double>(doc.size());
    return doc;
}

void finish(benchmark::State &state, const std::string &doc)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.size()));
    state.SetComplexityN(state.range(0));
}

struct Counts {
    long starts = 0, ends = 0, texts = 0, attributes = 0;
};

int countEvents(qrx_Parser *, int mode, const char *, const char *, const char *, void *userData)
{
    auto *c = static_cast<Counts *>(userData);
    switch (mode) {
    case QRX_START:
        ++c->starts;
        break;
    case QRX_TEXT:
        ++c->texts;
        break;
    case QRX_ATTRIBUTE:
        ++c->attributes;
        break;
    default:
        ++c->ends;
        break;
    }
    return 0;
}

void BM_QrxParse(benchmark::State &state)
{
    const std::string &doc = input(state);
    qrx_Parser *h = nullptr;
    qrx_init(&h, 4);
    Counts c;
    for (auto _ : state) {
        FILE *fp = bench::memoryStream(doc);
        if (qrx_parse(h, fp, countEvents, &c) != 0)
            state.SkipWithError("parse failed");
        std::fclose(fp);
    }
    benchmark::DoNotOptimize(c);
    qrx_deinit(&h);
    finish(state, doc);
}

void BM_ExpatParse(benchmark::State &state)
{
    const std::string &doc = input(state);
    Counts c;
    for (auto _ : state) {
        XML_Parser p = XML_ParserCreate(nullptr);
        XML_SetUserData(p, &c);
        XML_SetElementHandler(
            p,
            [](void *u, const XML_Char *, const XML_Char **atts) {
                auto *k = static_cast<Counts *>(u);
                ++k->starts;
                for (; *atts; atts += 2)
                    ++k->attributes;
            },
            [](void *u, const XML_Char *) { ++static_cast<Counts *>(u)->ends; });
        XML_SetCharacterDataHandler(
            p, [](void *u, const XML_Char *, int) { ++static_cast<Counts *>(u)->texts; });
        if (XML_Parse(p, doc.data(), static_cast<int>(doc.size()), 1) != XML_STATUS_OK)
            state.SkipWithError("expat failed");
        XML_ParserFree(p);
    }
    benchmark::DoNotOptimize(c);
    finish(state, doc);
}

void BM_Libxml2SaxParse(benchmark::State &state)
{
    const std::string &doc = input(state);
    xmlSAXHandler sax;
    std::memset(&sax, 0, sizeof sax);
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = [](void *u, const xmlChar *, const xmlChar *, const xmlChar *, int, const xmlChar **,
                            int nbAttributes, int, const xmlChar **) {
        auto *k = static_cast<Counts *>(u);
        ++k->starts;
        k->attributes += nbAttributes;
    };
    sax.endElementNs = [](void *u, const xmlChar *, const xmlChar *, const xmlChar *) {
        ++static_cast<Counts *>(u)->ends;
    };
    sax.characters = [](void *u, const xmlChar *, int) { ++static_cast<Counts *>(u)->texts; };
    Counts c;
    for (auto _ : state) {
        if (xmlSAXUserParseMemory(&sax, &c, doc.data(), static_cast<int>(doc.size())) != 0)
            state.SkipWithError("libxml2 failed");
    }
    benchmark::DoNotOptimize(c);
    finish(state, doc);
}

/* The floor for any reader that takes one character at a time from a stdio
   stream: the locked getc, and getc_unlocked under one lock as the parser
   reads. */
void BM_GetcLoop(benchmark::State &state)
{
    const std::string &doc = input(state);
    long n = 0;
    for (auto _ : state) {
        FILE *fp = bench::memoryStream(doc);
        while (getc(fp) != EOF)
            ++n;
        std::fclose(fp);
    }
    benchmark::DoNotOptimize(n);
    finish(state, doc);
}

void BM_GetcUnlockedLoop(benchmark::State &state)
{
    const std::string &doc = input(state);
    long n = 0;
    for (auto _ : state) {
        FILE *fp = bench::memoryStream(doc);
        flockfile(fp);
        while (getc_unlocked(fp) != EOF)
            ++n;
        funlockfile(fp);
        std::fclose(fp);
    }
    benchmark::DoNotOptimize(n);
    finish(state, doc);
}

/* Building and freeing are timed apart; each iteration does both. */
void BM_QrxBuildDOMTree(benchmark::State &state)
{
    const std::string &doc = input(state);
    for (auto _ : state) {
        qrx_Parser *h = nullptr;
        qrx_init(&h, 4);
        FILE *fp = bench::memoryStream(doc);
        auto t0 = Clock::now();
        int r = qrx_BuildDOMTree(h, fp);
        auto t1 = Clock::now();
        std::fclose(fp);
        if (r != 0)
            state.SkipWithError("build failed");
        qrx_deinit(&h);
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    finish(state, doc);
}

void BM_QrxBuildDOMTreeFromFile(benchmark::State &state)
{
    const std::string &doc = input(state);
    bench::TempDir dir;
    std::string path = dir.file("job.xml");
    bench::writeFile(path, doc);
    for (auto _ : state) {
        qrx_Parser *h = nullptr;
        qrx_init(&h, 4);
        auto t0 = Clock::now();
        FILE *fp = std::fopen(path.c_str(), "r");
        int r = qrx_BuildDOMTree(h, fp);
        std::fclose(fp);
        auto t1 = Clock::now();
        if (r != 0)
            state.SkipWithError("build failed");
        qrx_deinit(&h);
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    finish(state, doc);
}

void BM_QrxRemoveDOMTree(benchmark::State &state)
{
    const std::string &doc = input(state);
    for (auto _ : state) {
        qrx_Parser *h = bench::buildTree(doc);
        auto t0 = Clock::now();
        qrx_RemoveDOMTree(h);
        auto t1 = Clock::now();
        qrx_deinit(&h);
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    finish(state, doc);
}

void BM_PugiLoad(benchmark::State &state)
{
    const std::string &doc = input(state);
    for (auto _ : state) {
        pugi::xml_document d;
        auto t0 = Clock::now();
        pugi::xml_parse_result r = d.load_buffer(doc.data(), doc.size());
        auto t1 = Clock::now();
        if (!r)
            state.SkipWithError("pugixml failed");
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    finish(state, doc);
}

void BM_PugiLoadFromFile(benchmark::State &state)
{
    const std::string &doc = input(state);
    bench::TempDir dir;
    std::string path = dir.file("job.xml");
    bench::writeFile(path, doc);
    for (auto _ : state) {
        pugi::xml_document d;
        auto t0 = Clock::now();
        pugi::xml_parse_result r = d.load_file(path.c_str());
        auto t1 = Clock::now();
        if (!r)
            state.SkipWithError("pugixml failed");
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    finish(state, doc);
}

void BM_PugiFree(benchmark::State &state)
{
    const std::string &doc = input(state);
    for (auto _ : state) {
        auto d = std::make_unique<pugi::xml_document>();
        d->load_buffer(doc.data(), doc.size());
        auto t0 = Clock::now();
        d.reset();
        auto t1 = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    finish(state, doc);
}

/* Both writers print into the same kind of memory stream (no descriptor,
   so the writer's fsync is skipped: formatting only). */
struct MemoryOut {
    std::string buf;
    FILE *fp;
    explicit MemoryOut(size_t size) : buf(size, '\0'), fp(fmemopen(&buf[0], buf.size(), "w")) {}
    ~MemoryOut() { std::fclose(fp); }
};

void BM_QrxPrintDOMTree(benchmark::State &state)
{
    const std::string &doc = input(state);
    qrx_Parser *h = bench::buildTree(doc);
    MemoryOut out(doc.size() * 2);
    int n = 0;
    for (auto _ : state) {
        std::rewind(out.fp);
        n = qrx_PrintDOMTree(h, out.fp);
    }
    state.counters["out_bytes"] = n;
    qrx_deinit(&h);
    finish(state, doc);
}

void BM_PugiSave(benchmark::State &state)
{
    const std::string &doc = input(state);
    pugi::xml_document d;
    d.load_buffer(doc.data(), doc.size());
    MemoryOut out(doc.size() * 2);
    pugi::xml_writer_file writer(out.fp);
    for (auto _ : state) {
        std::rewind(out.fp);
        d.save(writer, "\t", pugi::format_default, pugi::encoding_utf8);
        std::fflush(out.fp);
    }
    state.counters["out_bytes"] = static_cast<double>(std::ftell(out.fp));
    finish(state, doc);
}

/* Heap held by a built tree, per element and per attribute, measured on
   flat documents of one-letter names so that the record cost shows. */
size_t treeHeap(const std::string &text, bool pugi)
{
    size_t before = bench::heapInUse();
    size_t after;
    if (pugi) {
        pugi::xml_document d;
        d.load_buffer(text.data(), text.size());
        after = bench::heapInUse();
    } else {
        qrx_Parser *h = bench::buildTree(text);
        after = bench::heapInUse();
        qrx_deinit(&h);
    }
    return after - before;
}

std::string flatDocument(int elements, int attributes)
{
    std::string s = "<r>\r\n";
    for (int i = 0; i < elements; ++i) {
        s += "\t<e";
        for (int a = 0; a < attributes; ++a)
            s += std::string(" ") + static_cast<char>('a' + a) + "=\"v\"";
        s += "/>\r\n";
    }
    return s + "</r>\r\n";
}

void treeMemory(benchmark::State &state, bool pugi)
{
    const int n = 100000;
    double perElement = 0, perAttribute = 0, perDocByte = 0;
    for (auto _ : state) {
        size_t bare = treeHeap(flatDocument(n, 0), pugi);
        size_t withAttrs = treeHeap(flatDocument(n, 4), pugi);
        const std::string &job = documentFor(1000);
        perElement = static_cast<double>(bare) / n;
        perAttribute = static_cast<double>(withAttrs - bare) / (4.0 * n);
        perDocByte = static_cast<double>(treeHeap(job, pugi)) / static_cast<double>(job.size());
    }
    state.counters["bytes_per_element"] = perElement;
    state.counters["bytes_per_attribute"] = perAttribute;
    state.counters["heap_per_doc_byte"] = perDocByte;
}

void BM_QrxTreeMemory(benchmark::State &state) { treeMemory(state, false); }
void BM_PugiTreeMemory(benchmark::State &state) { treeMemory(state, true); }

/* 100 samples is the typical job; the last size is the ~15 MB document. */
void compared(benchmark::internal::Benchmark *b)
{
    b->Arg(100)->Arg(bench::kLargeSamples)->Unit(benchmark::kMicrosecond);
}
void scaled(benchmark::internal::Benchmark *b)
{
    b->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Arg(bench::kLargeSamples)->Unit(benchmark::kMicrosecond);
    b->Complexity(benchmark::oN);
}

} // namespace

BENCHMARK(BM_QrxParse)->Apply(scaled);
BENCHMARK(BM_ExpatParse)->Apply(compared);
BENCHMARK(BM_Libxml2SaxParse)->Apply(compared);
BENCHMARK(BM_GetcLoop)->Apply(compared);
BENCHMARK(BM_GetcUnlockedLoop)->Apply(compared);
BENCHMARK(BM_QrxBuildDOMTree)->Apply(scaled)->UseManualTime();
BENCHMARK(BM_PugiLoad)->Apply(compared)->UseManualTime();
BENCHMARK(BM_QrxBuildDOMTreeFromFile)->Apply(compared)->UseManualTime();
BENCHMARK(BM_PugiLoadFromFile)->Apply(compared)->UseManualTime();
BENCHMARK(BM_QrxRemoveDOMTree)->Apply(scaled)->UseManualTime();
BENCHMARK(BM_PugiFree)->Apply(compared)->UseManualTime();
BENCHMARK(BM_QrxPrintDOMTree)->Apply(scaled);
BENCHMARK(BM_PugiSave)->Apply(compared);
BENCHMARK(BM_QrxTreeMemory)->Iterations(1);
BENCHMARK(BM_PugiTreeMemory)->Iterations(1);
