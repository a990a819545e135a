// Throughput of the attachment encoder, in bytes of input per second.
#include "MUUEncode.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

namespace {

constexpr qsizetype kInputSize = 64 * 1024 * 1024;

const QByteArray &randomInput()
{
    static const QByteArray input = [] {
        QByteArray bytes(kInputSize, Qt::Uninitialized);
        std::mt19937_64 generator(45);
        for (qsizetype i = 0; i + 8 <= bytes.size(); i += 8) {
            const quint64 word = generator();
            std::memcpy(bytes.data() + i, &word, 8);
        }
        return bytes;
    }();
    return input;
}

// The data lines alone, into a buffer sized once outside the loop: 64 MiB (bound by memory
// bandwidth as much as by the encoder) and 256 KiB (input and output stay in the cache).
void BM_EncodeLines(benchmark::State &state)
{
    const QByteArrayView input = QByteArrayView(randomInput()).first(state.range(0));
    QByteArray out(MUUEncode::dataLinesSize(input.size()), Qt::Uninitialized);
    const auto *data = reinterpret_cast<const uchar *>(input.data());
    for (auto _ : state) {
        char *end = MUUEncode::encodeLines(data, input.size(), out.data());
        benchmark::DoNotOptimize(end);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * input.size());
}
BENCHMARK(BM_EncodeLines)->Arg(kInputSize)->Arg(256 * 1024)->Unit(benchmark::kMicrosecond);

// The same without SSSE3 (what processors without it run).
void BM_EncodeLinesPortable(benchmark::State &state)
{
    const QByteArrayView input = QByteArrayView(randomInput()).first(state.range(0));
    const qint64 lines = input.size() / 45;
    QByteArray out(62 * lines, Qt::Uninitialized);
    const auto *data = reinterpret_cast<const uchar *>(input.data());
    for (auto _ : state) {
        char *end = MUUEncode::encodeFullLinesPortable(data, lines, out.data());
        benchmark::DoNotOptimize(end);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * lines * 45);
}
BENCHMARK(BM_EncodeLinesPortable)->Arg(kInputSize)->Arg(256 * 1024)->Unit(benchmark::kMicrosecond);

// The whole text of an in-memory buffer, allocation included.
void BM_Encode(benchmark::State &state)
{
    const QByteArray &input = randomInput();
    for (auto _ : state) {
        QByteArray text = MUUEncode::encode("random.bin", input);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(state.iterations() * input.size());
}
BENCHMARK(BM_Encode)->Unit(benchmark::kMillisecond);

// A file on disk (from the page cache after the first round): reading, encoding, allocation.
void BM_UUEncodeFile(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("random.bin"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(randomInput()) != kInputSize) {
        state.SkipWithError("cannot write the input file");
        return;
    }
    file.close();
    for (auto _ : state) {
        MUUEncode::EncodeResult result = MUUEncode::UUEncodeFile(path);
        if (!result.ok()) {
            state.SkipWithError(qPrintable(result.error));
            break;
        }
        benchmark::DoNotOptimize(result.text.data());
    }
    state.SetBytesProcessed(state.iterations() * kInputSize);
}
BENCHMARK(BM_UUEncodeFile)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
