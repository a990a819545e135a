// Loading the job at start-up: a full job (10001 addresses, a 1 MiB message) beside an empty
// one (five empty files), so the cost of the files themselves shows against the fixed cost.
#include "MailingJob.h"

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

void writeFile(const QTemporaryDir &dir, const char *name, const QByteArray &bytes)
{
    QFile file(dir.filePath(QString::fromLatin1(name)));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", name);
}

void writeJob(const QTemporaryDir &dir, bool full)
{
    QByteArray recipients, message;
    if (full) {
        for (int i = 0; i < MailingJob::RecipientCapacity; ++i)
            recipients += "subscriber" + QByteArray::number(i) + "@example.test\r\n";
        // 1 MiB of Windows-1251 text in lines of about 70 characters.
        const QByteArray line = "\xC7\xE4\xF0\xE0\xE2\xF1\xF2\xE2\xF3\xE9\xF2\xE5, "
                                "this is a line of the message text, about seventy bytes.\r\n";
        while (message.size() + line.size() <= 1024 * 1024)
            message += line;
        message += QByteArray(1024 * 1024 - message.size(), 'x');
    }
    writeFile(dir, MailingJob::RecipientsFile, recipients);
    writeFile(dir, MailingJob::HostFile, full ? "smtp.example.test\r\n" : "");
    writeFile(dir, MailingJob::SenderFile, full ? "news@example.test\r\n" : "");
    writeFile(dir, MailingJob::SubjectFile, full ? "\xCD\xEE\xE2\xEE\xF1\xF2\xE8\r\n" : "");
    writeFile(dir, MailingJob::MessageFile, message);
}

void LoadJob(benchmark::State &state)
{
    const bool full = state.range(0) != 0;
    QTemporaryDir dir;
    writeJob(dir, full);
    for (auto _ : state) {
        MailingJob job(dir.path());
        job.LoadAll();
        benchmark::DoNotOptimize(job.MailBody.data());
        if (!job.problems().isEmpty() || job.LastIndex != (full ? 10000 : -1))
            state.SkipWithError("the job did not load");
    }
    state.SetLabel(full ? "10001 addresses + 1 MiB message" : "empty job (peer)");
}

} // namespace

BENCHMARK(LoadJob)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
