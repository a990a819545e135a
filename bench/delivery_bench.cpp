// Delivery through the real window, on Qt's offscreen platform, to the SMTP server on 127.0.0.1:25
// that delivery_compare.sh starts (Postfix's smtp-sink):
//   rate N [hidden]  N messages back to back, one connection each; 1024 bytes of header and text
//   big MIB          one message with a MIB MiB attachment: seconds to the end of the dialogue,
//                    peak memory above idle, and its bytes of header and text for the peer
//   series COUNT     a series on the real timer: each tick's deviation from its interval
//   submission N     as rate, shown, through a mail provider's server: to $BREVANT_E2E_HOST:587
//                    with STARTTLS and a login ($BREVANT_E2E_LOGIN, $BREVANT_E2E_PASSWORD), the
//                    test authority $BREVANT_E2E_CA trusted (bench/submission_compare.sh)
// "hidden" leaves the window unshown, which tells the cost of repainting from that of sending.
// Figures also go out as "result NAME VALUE"; exit status 1 when anything failed.
#include "AttachmentBlock.h"
#include "Fields.h"
#include "frmBrevant.h"
#include "Headers.h"
#include "MailingJob.h"
#include "MessageData.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <utility>

namespace {

[[noreturn]] void fail(const QString &what)
{
    std::fprintf(stderr, "delivery_bench: %s\n", qPrintable(what));
    std::exit(1);
}

// A job in a temporary folder, and the window on it.
struct Bench
{
    QTemporaryDir dir;
    std::unique_ptr<frmBrevant> w;
    QByteArray host = "127.0.0.1", domain = "example.test"; // where to, and the recipients'

    // `count` addresses, all as long (so every header block is as long), host and sender at
    // 127.0.0.1, a Cyrillic subject (RFC 2047 encoded on the wire), `text`, and `attachment` as
    // the file archive.bin.
    void writeJob(int count, const QByteArray &text, const QByteArray &attachment = {})
    {
        QByteArray list;
        for (int i = 0; i < count; ++i)
            list += "reader" + QByteArray::number(i).rightJustified(5, '0') + '@' + domain + "\r\n";
        const std::pair<const char *, QByteArray> files[] = {
            {MailingJob::RecipientsFile, list},
            {MailingJob::HostFile, host + "\r\n"},
            {MailingJob::SenderFile, "bench@example.test\r\n"},
            {MailingJob::SubjectFile,
             "\xC5\xE6\xE5\xED\xE5\xE4\xE5\xEB\xFC\xED\xFB\xE9 \xEE\xE1\xE7\xEE\xF0\r\n"},
            {MailingJob::MessageFile, text},
            {"archive.bin", attachment}};
        for (const auto &[name, bytes] : files) {
            QFile file(dir.filePath(QLatin1String(name)));
            if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
                fail("cannot write " + file.fileName());
        }
    }

    // What the window sends of the job between DATA's go-ahead and the end mark, header block
    // and text, made by the same producer and counted.
    qint64 payloadBytes(const QByteArray &block = {}) const
    {
        MailingJob job(dir.path());
        job.LoadAll();
        if (!job.problems().isEmpty())
            fail("the job did not load");
        Smtp::MessageData data(
            Smtp::headerBlock({Smtp::address(job.SenderAddress), Smtp::address(job.recipientAt(0)),
                               job.SubjectLine, QDateTime::currentDateTime(), 0, block.isEmpty()}),
            job.MailBody, block);
        qint64 bytes = -3; // the end mark "." CR LF
        while (!data.finished())
            bytes += data.nextChunk(4 * 1024 * 1024).size();
        return bytes;
    }

    // A job whose messages carry `bytes` of header block and text: lines of text, the last one
    // padded. Text without dots or bare line ends grows on the wire byte for byte.
    void writeSizedJob(int count, qint64 bytes)
    {
        writeJob(count, "x");
        const qint64 textBytes = bytes - payloadBytes() + 1;
        const QByteArray line = "Weekly notes: a line of ordinary text, about seventy bytes.\r\n";
        const QByteArray text = line.repeated((textBytes - 1) / line.size());
        writeJob(count, text + QByteArray(textBytes - text.size(), 'x'));
        if (payloadBytes() != bytes)
            fail(QStringLiteral("the message does not carry %1 bytes").arg(bytes));
    }

    // Shown as when the program runs (every send repaints the counter and the address) unless
    // `hidden`; the file dialogue answers `attachment`, and a message box ends the benchmark.
    frmBrevant &open(bool hidden = false, const QString &attachment = {})
    {
        frmBrevant::Options options;
        options.jobDirectory = dir.path();
        options.openFile = [attachment] { return attachment; };
        options.askPassword = [](const QString &, const QString &) {
            return qEnvironmentVariable("BREVANT_E2E_PASSWORD");
        };
        w = std::make_unique<frmBrevant>(options);
        if (!hidden)
            w->show();
        QCoreApplication::processEvents();
        return *w;
    }
};

// A message box ends the benchmark: nothing in it should ever need one.
struct NoBoxes : QObject
{
    NoBoxes() { qApp->installEventFilter(this); }
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (auto *box = qobject_cast<QMessageBox *>(object); box && event->type() == QEvent::Show)
            fail("message box " + box->windowTitle() + ": " + box->text());
        return false;
    }
};

// Runs the event loop until `done`, without polling.
template <typename Done> void runUntil(Done done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void runRate(int n, bool hidden, bool submission = false)
{
    const int Warmup = submission ? 2 : 50;
    Bench b;
    if (submission) {
        QSslConfiguration trusted = QSslConfiguration::defaultConfiguration();
        trusted.addCaCertificates(qEnvironmentVariable("BREVANT_E2E_CA"));
        QSslConfiguration::setDefaultConfiguration(trusted);
        b.host = qgetenv("BREVANT_E2E_HOST") + ":587\r\n" + qgetenv("BREVANT_E2E_LOGIN");
        b.domain = "remote.test";
    }
    b.writeSizedJob(Warmup + n, 1024); // as smtp-source -l 1024
    frmBrevant &w = b.open(hidden);
    std::clock_t cpu = 0;
    QElapsedTimer clock;
    for (int i = 0; i < Warmup + n; ++i) {
        if (i == Warmup) {
            cpu = std::clock();
            clock.start();
        }
        w.cmdSend_Click();
        if (!w.Winsock1->isOpen())
            fail("the send did not start a dialogue");
        runUntil([&w] { return !w.Winsock1->isOpen(); });
    }
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const double cpuUs = double(std::clock() - cpu) / CLOCKS_PER_SEC / n * 1e6;
    if (w.job.SentCount != Warmup + n || w.Label5->text() != "OK!")
        fail("the mailing did not reach the end of its list");
    const char *name = submission ? "submission" : hidden ? "rate_hidden" : "rate";
    std::printf("%s: %d messages of 1024 bytes of header and text, one connection each%s, window "
                "%s, in %.3f s: %.1f messages/s; processor time %.1f us a message\n"
                "result %s %.12g\nresult %s_cpu_us %.12g\n",
                name, n, submission ? " with STARTTLS and a login" : "",
                hidden ? "hidden" : "shown", seconds, n / seconds, cpuUs, name, n / seconds, name,
                cpuUs);
}

// The peak resident size of this process (VmHWM in /proc/self/status) in KiB.
qint64 peakKiB()
{
    QFile file(QStringLiteral("/proc/self/status"));
    const QByteArray status = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const qsizetype at = status.indexOf("\nVmHWM:");
    if (at < 0)
        fail("no VmHWM in /proc/self/status");
    return std::strtoll(status.constData() + at + 7, nullptr, 10);
}

void runBig(int mib)
{
    const qint64 bytes = qint64(mib) * 1024 * 1024;
    Bench b;
    QByteArray random(bytes, Qt::Uninitialized); // released before the idle size is read
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(random.data()), bytes / 4);
    b.writeJob(1, "Please find the archive attached.\r\nRegards", std::exchange(random, {}));
    const QString path = b.dir.filePath(QStringLiteral("archive.bin"));
    frmBrevant &w = b.open(false, path);
    w.cmdAddFile_Click();
    if (w.lstAttachments->count() != 1)
        fail("the attachment was not listed");
    QFile refs(QStringLiteral("/proc/self/clear_refs")); // "5" resets the peak to the present
    if (!refs.open(QIODevice::WriteOnly) || refs.write("5") != 1 || !refs.flush())
        fail("cannot reset the peak resident size");
    const qint64 idleKiB = peakKiB();
    QElapsedTimer clock;
    clock.start();
    w.cmdSend_Click();
    runUntil([&w] { return !w.Winsock1->isOpen(); });
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const double aboveIdle = double(peakKiB() - idleKiB) * 1024;
    if (w.Label5->text() != "OK!")
        fail("the big message was not delivered");

    // Counted after the peak was read, with the block built again as the window built it.
    const AttachmentBlockResult block = BuildAttachmentBlock(1, [&path](int) { return path; });
    if (!block.ok())
        fail(block.error);
    const qint64 payload = b.payloadBytes(block.block);
    const qint64 encoded = block.block.size() - 2; // the file's text, then CR LF
    std::printf("big: attachment %lld bytes, uuencoded %lld, header block and text %lld; send to "
                "end of dialogue %.3f s; peak %.1f MiB above idle (%.1f MiB), %.3f x uuencoded\n"
                "result big %.12g\nresult big_peak %.12g\nresult big_encoded %lld\n"
                "result big_payload %lld\n",
                qlonglong(bytes), qlonglong(encoded), qlonglong(payload), seconds,
                aboveIdle / 1048576, idleKiB / 1024.0, aboveIdle / double(encoded), seconds,
                aboveIdle, qlonglong(encoded), qlonglong(payload));
}

// Notes the moment of every tick of the timer it filters, before any handler of the tick runs.
struct TickRecorder : QObject
{
    QElapsedTimer clock;
    QList<qint64> ticks; // nanoseconds on the clock
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Timer)
            ticks << clock.nsecsElapsed();
        return false;
    }
};

void runSeries(int count)
{
    Bench b;
    b.writeSizedJob(count, 1024);
    frmBrevant &w = b.open();
    TickRecorder recorder;
    w.Timer1->installEventFilter(&recorder);
    recorder.clock.start();
    w.Command1_Click();
    runUntil([&w] { return w.Label5->text() == "OK!"; });
    if (recorder.ticks.size() != count || w.job.SentCount != count)
        fail("the series did not send once a tick");
    const int interval = w.Timer1->interval();
    double largest = 0;
    for (int i = 0; i < count; ++i) {
        const double gap = double(recorder.ticks[i] - (i ? recorder.ticks[i - 1] : 0)) / 1e6;
        largest = qMax(largest, qAbs(gap - interval));
        std::printf("series: tick %2d at %9.3f ms, interval %8.3f ms, deviation %+7.3f ms\n", i + 1,
                    double(recorder.ticks[i]) / 1e6, gap, gap - interval);
    }
    std::printf("series: %d messages, timer interval %d ms, largest deviation %.3f ms\n"
                "result series %.12g\n",
                count, interval, largest, largest);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setFont(frmBrevant::defaultFont());
    const NoBoxes noBoxes;
    const QStringList args = QCoreApplication::arguments();
    const QString mode = args.value(1);
    const int count = args.value(2).toInt();
    if (count < 1 || args.size() > 3 + (mode == "rate") || args.value(3, "hidden") != "hidden")
        fail("usage: delivery_bench rate N [hidden] | big MIB | series COUNT | submission N");
    if (mode == "rate" || mode == "submission")
        runRate(count, args.size() == 4, mode == "submission");
    else if (mode == "big")
        runBig(count);
    else if (mode == "series")
        runSeries(count);
    else
        fail("no benchmark " + mode);
    return 0;
}
