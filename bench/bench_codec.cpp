/*
 * Sensor job codec benchmarks: decoding and encoding the largest sensor
 * job message, the file CRC, Base64 and the measurement value formatter.
 */
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench_common.h"
#include "sensor2xml/xmljob_internal.h"
#include "jobfile.h"

namespace {

const std::vector<uint8_t> &message()
{
    static const std::vector<uint8_t> m = bench::largestMessage();
    return m;
}

void BM_Message2DOMTree(benchmark::State &state)
{
    const std::vector<uint8_t> &m = message();
    qrx_Parser *h = nullptr;
    qrx_init(&h, 4);
    for (auto _ : state)
        if (sjob_Message2DOMTree(m.data(), h) != 0)
            state.SkipWithError("decode failed");
    qrx_deinit(&h);
    state.counters["msg_bytes"] = static_cast<double>(m.size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * m.size()));
}

void BM_DOMTree2Message(benchmark::State &state)
{
    const std::vector<uint8_t> &m = message();
    qrx_Parser *h = nullptr;
    qrx_init(&h, 4);
    sjob_Message2DOMTree(m.data(), h);
    std::vector<uint8_t> buf(4096);
    for (auto _ : state) {
        uint32_t len = static_cast<uint32_t>(buf.size());
        uint8_t *out = nullptr;
        if (sjob_DOMTree2Message(buf.data(), &len, &out, h) != 0 || len != m.size())
            state.SkipWithError("encode failed");
        benchmark::DoNotOptimize(out);
    }
    qrx_deinit(&h);
    state.counters["msg_bytes"] = static_cast<double>(m.size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * m.size()));
}

std::vector<uint8_t> randomBytes(size_t n)
{
    std::vector<uint8_t> v(n);
    uint32_t x = 12345;
    for (auto &b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

void BM_Crc(benchmark::State &state)
{
    std::vector<uint8_t> data = randomBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(calculateProbeDrvCRC(data.data(), static_cast<uint32_t>(data.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_EncodeBase64(benchmark::State &state)
{
    std::vector<uint8_t> data = randomBytes(static_cast<size_t>(state.range(0)));
    std::vector<char> text(data.size() / 3 * 4 + 8);
    for (auto _ : state)
        benchmark::DoNotOptimize(encode_base64(text.data(), data.data(), static_cast<int>(data.size())));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_DecodeBase64(benchmark::State &state)
{
    std::vector<uint8_t> data = randomBytes(static_cast<size_t>(state.range(0)));
    std::vector<char> text(data.size() / 3 * 4 + 8);
    int n = encode_base64(text.data(), data.data(), static_cast<int>(data.size()));
    for (auto _ : state)
        benchmark::DoNotOptimize(decode_base64(data.data(), text.data(), n));
    /* Throughput in decoded bytes, as for the encoder. */
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

/* A mix of the display formats job files carry. */
void BM_FormatMeasurementString(benchmark::State &state)
{
    static const int formats[] = {0x8000, 0x0400 | 2, 386, 0x0180 | 1, 0x0100, 0x0400};
    static const double values[] = {7.25, -0.000123, 12345.678, 99.999, 0.5, 1e7};
    char out[13];
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(formatMeasurementString(out, formats[i % 6], values[i % 6]));
        ++i;
    }
}

} // namespace

BENCHMARK(BM_Message2DOMTree)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DOMTree2Message)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Crc)->Arg(2040)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeBase64)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeBase64)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FormatMeasurementString);
