// Throughput of the message data producer on an attachment block of uuencoded lines, and on a
// worst case of short lines that all need a dot and a CR added.
#include "MessageData.h"

#include <benchmark/benchmark.h>

namespace {

QByteArray uuencodedBlock(qsizetype bytes)
{
    QByteArray block = "begin 664 archive.zip\n";
    block.reserve(bytes + 64);
    for (int i = 0; block.size() < bytes; ++i)
        block += 'M' + QByteArray(60, char('!' + i % 64)) + '\n';
    block += "`\nend\n\r\n";
    return block;
}

void produce(benchmark::State &state, const QByteArray &body, const QByteArray &block)
{
    const qsizetype chunk = state.range(0);
    qint64 produced = 0;
    for (auto _ : state) {
        Smtp::MessageData data("Report", body, block);
        while (!data.finished()) {
            const QByteArray out = data.nextChunk(chunk);
            benchmark::DoNotOptimize(out.constData());
            produced += out.size();
        }
    }
    state.SetBytesProcessed(produced);
}

void BM_UuencodedBlock(benchmark::State &state)
{
    static const QByteArray block = uuencodedBlock(32 * 1024 * 1024);
    produce(state, "\r\nPlease find the archive attached.\r\nRegards", block);
}

void BM_ShortDottedLines(benchmark::State &state)
{
    static const QByteArray block = [] {
        QByteArray b;
        for (int i = 0; i < 2 * 1024 * 1024; ++i)
            b += ".\n";
        return b;
    }();
    produce(state, {}, block);
}

} // namespace

BENCHMARK(BM_UuencodedBlock)
    ->Arg(16 * 1024)
    ->Arg(64 * 1024)
    ->Arg(1024 * 1024)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShortDottedLines)->Arg(64 * 1024)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
