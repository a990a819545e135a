// Throughput of the attachment encoder, in bytes of input per second, on 64 MiB of random data.
#include "MUUEncode.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <random>

namespace {

constexpr qsizetype kInputSize = 64 * 1024 * 1024;

const QByteArray &randomInput()
{
    static const QByteArray input = [] {
        QByteArray bytes(kInputSize, Qt::Uninitialized);
        std::mt19937_64 generator(45);
        for (char &byte : bytes)
            byte = char(generator());
        return bytes;
    }();
    return input;
}

// The whole text of an in-memory buffer, allocation included.
void BM_Encode(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(MUUEncode::encode("random.bin", randomInput()).data());
    state.SetBytesProcessed(state.iterations() * kInputSize);
}
BENCHMARK(BM_Encode)->Unit(benchmark::kMillisecond);

// A file on disk (from the page cache after the first round): reading, encoding, allocation.
void BM_UUEncodeFile(benchmark::State &state)
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("random.bin")));
    if (!file.open(QIODevice::WriteOnly) || file.write(randomInput()) != kInputSize) {
        state.SkipWithError("cannot write the input file");
        return;
    }
    file.close();
    for (auto _ : state) {
        const MUUEncode::EncodeResult result = MUUEncode::UUEncodeFile(file.fileName());
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
