// Loading the job at start-up: a full job (10001 addresses, a 1 MiB message) as Windows saves
// it (Windows-1251, CR LF) and as a Linux editor does (UTF-8, LF: detected and converted),
// beside an empty one (five empty files), so the cost of the files shows against the fixed cost.
#include "Cp1251.h"
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

enum Job { Empty, Windows, Linux };

void writeJob(const QTemporaryDir &dir, Job kind)
{
    QByteArray recipients, message;
    if (kind != Empty) {
        for (int i = 0; i < MailingJob::RecipientCapacity; ++i)
            recipients += "subscriber" + QByteArray::number(i) + "@example.test\r\n";
        // 1 MiB of Windows-1251 text in lines of about 70 characters.
        const QByteArray line = "\xC7\xE4\xF0\xE0\xE2\xF1\xF2\xE2\xF3\xE9\xF2\xE5, "
                                "this is a line of the message text, about seventy bytes.\r\n";
        while (message.size() + line.size() <= 1024 * 1024)
            message += line;
        message += QByteArray(1024 * 1024 - message.size(), 'x');
    }
    const auto file = [kind](QByteArray text) {
        return kind == Linux ? Cp1251::toUnicode(text.replace("\r\n", "\n")).toUtf8() : text;
    };
    writeFile(dir, MailingJob::RecipientsFile, file(recipients));
    writeFile(dir, MailingJob::HostFile, kind ? file("smtp.example.test\r\n") : "");
    writeFile(dir, MailingJob::SenderFile, kind ? file("news@example.test\r\n") : "");
    writeFile(dir, MailingJob::SubjectFile, kind ? file("\xCD\xEE\xE2\xEE\xF1\xF2\xE8\r\n") : "");
    writeFile(dir, MailingJob::MessageFile, file(message));
}

void LoadJob(benchmark::State &state)
{
    const auto kind = Job(state.range(0));
    const bool full = kind != Empty;
    QTemporaryDir dir;
    writeJob(dir, kind);
    for (auto _ : state) {
        MailingJob job(dir.path());
        job.LoadAll();
        benchmark::DoNotOptimize(job.MailBody.data());
        if (!job.problems().isEmpty() || job.LastIndex != (full ? 10000 : -1))
            state.SkipWithError("the job did not load");
    }
    const char *labels[] = {"empty job (peer)", "10001 addresses + 1 MiB message, Windows-1251, CR LF",
                            "the same job in UTF-8 with LF, converted"};
    state.SetLabel(labels[kind]);
}

} // namespace

BENCHMARK(LoadJob)->Arg(Empty)->Arg(Windows)->Arg(Linux)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
