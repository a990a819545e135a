// Throughput of the message data producer on a 32 MiB attachment block of uuencoded lines
// (bare LF line ends, each sent as CR LF), taken in chunks of the size given.
#include "MessageData.h"

#include <benchmark/benchmark.h>

static void BM_UuencodedBlock(benchmark::State &state)
{
    QByteArray block = "begin 664 archive.zip\n";
    for (int i = 0; block.size() < 32 * 1024 * 1024; ++i)
        block += 'M' + QByteArray(60, char('!' + i % 64)) + '\n';
    block += "`\nend\n\r\n";
    qint64 produced = 0;
    for (auto _ : state) {
        Smtp::MessageData data("Subject: Report\r\n\r\n", "\r\nPlease find it attached.", block);
        while (!data.finished()) {
            const QByteArray chunk = data.nextChunk(state.range(0));
            benchmark::DoNotOptimize(chunk.constData());
            produced += chunk.size();
        }
    }
    state.SetBytesProcessed(produced);
}
BENCHMARK(BM_UuencodedBlock)->Arg(64 * 1024)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
