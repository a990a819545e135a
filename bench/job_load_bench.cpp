// Loading the job at start-up, and the delivery log read with it to find where the mailing goes
// on: a full job (10001 addresses, a 1 MiB message) as Windows saves it (Windows-1251, CR LF), as
// a Linux editor does (UTF-8, LF: detected and converted), and with a log of 10001 deliveries of
// this mailing, beside an empty one (five empty files), so the cost of the files shows against
// the fixed cost. And writing one delivered row to the log, synced: the median of 1000. And
// reading the recipient of each of 10001 lines with a name beside the address, against 10001
// bare addresses.
#include "Cp1251.h"
#include "MailingJob.h"
#include "MailingRun.h"
#include "Recipient.h"

#include <QElapsedTimer>

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

enum Job { Empty, Windows, Linux, Logged, NamedLogged };

void writeJob(const QTemporaryDir &dir, Job kind)
{
    QByteArray recipients, message;
    if (kind != Empty) {
        // Bare addresses, or lines as an address book exports them: "Анна Иванова <address>".
        for (int i = 0; i < MailingJob::RecipientCapacity; ++i) {
            const QByteArray address = "subscriber" + QByteArray::number(i) + "@example.test";
            recipients += kind == NamedLogged ? "\xC0\xED\xED\xE0 \xC8\xE2\xE0\xED\xEE\xE2\xE0 <" +
                                                    address + ">\r\n"
                                              : address + "\r\n";
        }
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
    if (kind != Logged && kind != NamedLogged)
        return;
    MailingJob job(dir.path());
    job.LoadAll();
    const QByteArray mailing = DeliveryLog::fingerprint(job.SubjectLine, job.MessageText);
    QByteArray log = "\xEF\xBB\xBFtime;line;address;result;reply;message_id;mailing\r\n";
    for (int i = 0; i < MailingJob::RecipientCapacity; ++i) {
        log += "2026-12-07T06:41:53Z;" + QByteArray::number(i + 1) + ";subscriber" +
               QByteArray::number(i) + "@example.test;delivered;250 2.0.0 Ok: queued as 4dQ" +
               QByteArray::number(i) + ";<20261207064153.5F3A9C1B7D4E6A80@example.test>;" +
               mailing + "\r\n";
    }
    writeFile(dir, DeliveryLog::FileName, log);
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
        const MailingRun run(job, dir.path());
        benchmark::DoNotOptimize(run.nextPending(0));
        if (!job.problems().isEmpty() || job.LastIndex != (full ? 10000 : -1) ||
            run.hadBefore() != (kind == Logged || kind == NamedLogged ? 10001 : 0))
            state.SkipWithError("the job did not load");
    }
    const char *labels[] = {"empty job (peer)",
                            "10001 addresses + 1 MiB message, Windows-1251, CR LF",
                            "the same job in UTF-8 with LF, converted",
                            "the Windows job and a log of its 10001 deliveries",
                            "the same with \"name <address>\" lines, each read for its address"};
    state.SetLabel(labels[kind]);
}

} // namespace

// One delivered row appended to the log, written, flushed and synced, as before every QUIT.
void AppendDeliveredRow(benchmark::State &state)
{
    QTemporaryDir dir;
    DeliveryLog log(dir.filePath(DeliveryLog::FileName), {});
    DeliveryLog::Row row{QDateTime::currentDateTimeUtc(),
                         4711,
                         QStringLiteral("subscriber4710@example.test"),
                         DeliveryLog::Result::Delivered,
                         QStringLiteral("250 2.0.0 Ok: queued as 4dQ4711"),
                         "<20261207064153.5F3A9C1B7D4E6A80@example.test>",
                         "5f3a9c1b7d4e"};
    for (auto _ : state) {
        std::vector<qint64> ns;
        for (int i = 0; i < 1000; ++i) {
            QElapsedTimer timer;
            timer.start();
            if (!log.append(row).isNull())
                state.SkipWithError("the row was not written");
            ns.push_back(timer.nsecsElapsed());
        }
        std::nth_element(ns.begin(), ns.begin() + 500, ns.end());
        state.counters["median_ms"] = double(ns[500]) / 1e6;
    }
}

namespace {

enum LineForm { Bare, Angle, Semicolon };

// "userN@example.test", as it is or with the name "Анна Иванова" in Windows-1251.
std::vector<QByteArray> recipientLines(LineForm form)
{
    const QByteArray name = "\xC0\xED\xED\xE0 \xC8\xE2\xE0\xED\xEE\xE2\xE0";
    std::vector<QByteArray> lines;
    for (int i = 0; i < MailingJob::RecipientCapacity; ++i) {
        const QByteArray address = "user" + QByteArray::number(i) + "@example.test";
        lines.push_back(form == Bare    ? address
                        : form == Angle ? name + " <" + address + '>'
                                        : address + ';' + name);
    }
    return lines;
}

} // namespace

// Smtp::recipientOfLine over 10001 named lines and over 10001 bare ones, in turns: the fastest
// of 101 passes each (the one least disturbed by other work on the machine), and their ratio.
void RecipientOfLine(benchmark::State &state)
{
    const auto form = LineForm(state.range(0));
    const std::vector<QByteArray> bare = recipientLines(Bare), named = recipientLines(form);
    const Smtp::Recipient first = Smtp::recipientOfLine(named.front());
    if (first.address != "user0@example.test" || first.name.isEmpty() != (form == Bare))
        state.SkipWithError("the line was not read");
    const auto pass = [](const std::vector<QByteArray> &lines) {
        QElapsedTimer timer;
        timer.start();
        for (const QByteArray &line : lines)
            benchmark::DoNotOptimize(Smtp::recipientOfLine(line));
        return timer.nsecsElapsed();
    };
    for (auto _ : state) {
        std::vector<qint64> bareNs, namedNs;
        for (int i = 0; i < 101; ++i) {
            bareNs.push_back(pass(bare));
            namedNs.push_back(pass(named));
        }
        const qint64 bareFastest = *std::min_element(bareNs.begin(), bareNs.end());
        const qint64 namedFastest = *std::min_element(namedNs.begin(), namedNs.end());
        state.counters["bare_ms"] = double(bareFastest) / 1e6;
        state.counters["named_ms"] = double(namedFastest) / 1e6;
        state.counters["ratio"] = double(namedFastest) / double(bareFastest);
    }
    const char *labels[] = {"bare addresses (peer)", "Name <address>", "address;name"};
    state.SetLabel(labels[form]);
}

BENCHMARK(LoadJob)
    ->Arg(Empty)
    ->Arg(Windows)
    ->Arg(Linux)
    ->Arg(Logged)
    ->Arg(NamedLogged)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(AppendDeliveredRow)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(RecipientOfLine)
    ->Arg(Bare)
    ->Arg(Angle)
    ->Arg(Semicolon)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
