// Delivery through the real window, offscreen, against an SMTP server on 127.0.0.1 (normally
// Postfix's smtp-sink, see delivery_compare.sh):
//
//   rate    N messages of about 1 KiB, one connection each, sent back to back through the send
//           handler: the next starts as soon as the previous dialogue has ended, no timer.
//   big     one message with a 64 MiB random attachment: the time from the send to the end of
//           the dialogue, and the peak resident memory above the idle program beside the
//           encoded size of the attachment.
//   series  a series over COUNT addresses with the series timer at its real interval: the
//           moment of every tick and each interval's deviation from the interval.
//
// usage: delivery_bench [--port P] [--rate N] [--warmup N] [--big-mib M] [--series COUNT]
//                       [--only rate,big,series] [--hidden] [--sizes]
//
// The window is shown (on Qt's offscreen platform unless QT_QPA_PLATFORM says otherwise), as
// when the program runs; --hidden leaves it unshown, as the window tests do, to tell the cost
// of repainting from the cost of sending.
//
// --sizes prints only the sizes of the data the rate and big messages put on the wire (no
// network), so that a peer client can be given messages of the same size.
//
// Besides the readable lines, every figure is printed once as "result NAME VALUE" for scripts.
// Exit status 0 when every message went through without a message box, 1 otherwise.
#include "frmBrevant.h"
#include "MailingJob.h"
#include "MessageData.h"
#include "MUUEncode.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include <ctime>

namespace {

struct Settings
{
    quint16 port = 25;
    int rate = 1000;
    int warmup = 50;
    int bigMiB = 64;
    int series = 10;
    bool doRate = true;
    bool doBig = true;
    bool doSeries = true;
    bool sizesOnly = false;
    bool hidden = false;
};

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "delivery_bench: %s\n", what);
    std::exit(1);
}

void result(const char *name, double value)
{
    std::printf("result %s %.12g\n", name, value);
    std::fflush(stdout);
}

// The subject of every benchmark message, in Windows-1251.
const QByteArray Subject = "\xC5\xE6\xE5\xED\xE5\xE4\xE5\xEB\xFC\xED\xFB\xE9 \xEE\xE1\xE7\xEE\xF0";
// The header block on the wire: "Subject:", the subject, CR LF and the empty line.
const qint64 HeaderBytes = 8 + Subject.size() + 4;
// The end mark after the text.
constexpr qint64 EndMarkBytes = 3;

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        fail(qPrintable(QStringLiteral("cannot write ") + path));
}

// A job folder with `addresses` addresses at example.test, sender and host 127.0.0.1, and
// the given message text.
void writeJob(const QTemporaryDir &dir, int addresses, const QByteArray &message)
{
    QByteArray list;
    for (int i = 0; i < addresses; ++i)
        list += "subscriber" + QByteArray::number(i) + "@example.test\r\n";
    writeFile(dir.filePath(QStringLiteral("mail.txt")), list);
    writeFile(dir.filePath(QStringLiteral("smtp.txt")), "127.0.0.1\r\n");
    writeFile(dir.filePath(QStringLiteral("sender.txt")), "bench@example.test\r\n");
    writeFile(dir.filePath(QStringLiteral("tema.txt")), Subject + "\r\n");
    writeFile(dir.filePath(QStringLiteral("message.txt")), message);
}

// Bytes the message data takes on the wire, header block and end mark included, as the
// window's data producer makes them.
qint64 dataBytes(const QByteArray &body, const QByteArray &block = {})
{
    Smtp::MessageData data(Subject, body, block);
    qint64 total = 0;
    while (!data.finished())
        total += data.nextChunk(4 * 1024 * 1024).size();
    return total;
}

// The data bytes of the message the window sends for the job in `dir`, with the body as the
// job loader makes it.
qint64 jobDataBytes(const QTemporaryDir &dir, const QByteArray &block = {})
{
    MailingJob job(dir.path());
    job.LoadAll();
    if (!job.problems().isEmpty() || job.SubjectLine != Subject)
        fail("the benchmark job did not load");
    return dataBytes(job.MailBody, block);
}

// Message text whose lines take exactly `target` bytes on the wire between the header block
// and the end mark (as Postfix's smtp-source counts its -l payload): plain lines of text, the
// last one lengthened to fit. The body is built as the job loader builds it: `prefix` (the
// notice block of a long list, or nothing), then CR LF before each line.
QByteArray messageOfTextSize(qint64 target, const QByteArray &prefix)
{
    auto onWire = [&](const QByteArray &text) {
        return dataBytes(prefix + "\r\n" + text) - HeaderBytes - EndMarkBytes;
    };
    const QByteArray line = "Weekly notes: a line of ordinary text, about seventy bytes long.";
    QByteArray text = line;
    while (onWire(text + "\r\n" + line) <= target)
        text += "\r\n" + line;
    return text + QByteArray(qMax<qint64>(0, target - onWire(text)), 'x');
}

// A job of `addresses` addresses whose every message carries `textBytes` bytes of text on the
// wire; checked against the body the job loader makes.
qint64 writeSizedJob(const QTemporaryDir &dir, int addresses, qint64 textBytes)
{
    const bool notice = addresses - 1 > MailingJob::NoticeThreshold;
    writeJob(dir, addresses,
             messageOfTextSize(textBytes, notice ? MailingJob::noticeBlock() : QByteArray()));
    const qint64 data = jobDataBytes(dir);
    if (data != HeaderBytes + textBytes + EndMarkBytes)
        fail(qPrintable(QStringLiteral("the job's message has %1 data bytes, not %2")
                            .arg(data)
                            .arg(HeaderBytes + textBytes + EndMarkBytes)));
    return data;
}

class Window
{
public:
    Window(const QTemporaryDir &dir, const Settings &s)
    {
        frmBrevant::Options options;
        options.jobDirectory = dir.path();
        options.port = s.port;
        options.messageBox = [this](QMessageBox::Icon, const QString &title, const QString &text) {
            boxes << title + QStringLiteral(": ") + text;
        };
        options.openFile = [this] {
            return attachments.isEmpty() ? QString() : attachments.takeFirst();
        };
        w.emplace(options);
        // On screen, as when the program runs: every send repaints the counter and the
        // address it shows.
        if (!s.hidden)
            w->show();
        QCoreApplication::processEvents();
    }

    frmBrevant &operator*() { return *w; }
    frmBrevant *operator->() { return &*w; }

    // Runs the event loop until the open dialogue has ended; no polling, no sleeping.
    void waitForDialogueEnd()
    {
        while (w->dialogueOpen())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }

    void requireNoBox()
    {
        if (!boxes.isEmpty())
            fail(qPrintable(QStringLiteral("message box: ") + boxes.first()));
    }

    QStringList boxes;
    QStringList attachments;

private:
    std::optional<frmBrevant> w;
};

// Processor time of this process so far (user and system, where the C library counts both).
double cpuSeconds()
{
    return double(std::clock()) / CLOCKS_PER_SEC;
}

// --- rate ------------------------------------------------------------------------------------

// The message text of the rate and series messages on the wire, as smtp-source -l 1024.
constexpr qint64 RateTextBytes = 1024;

void runRate(const Settings &s)
{
    QTemporaryDir dir;
    // One address for every message, as in a mailing: the window moves along the list.
    const qint64 data = writeSizedJob(dir, s.warmup + s.rate, RateTextBytes);
    Window w(dir, s);
    auto sendOne = [&] {
        w->cmdSend_Click();
        if (!w->dialogueOpen())
            fail("the send did not start a dialogue");
        w.waitForDialogueEnd();
        w.requireNoBox();
    };
    for (int i = 0; i < s.warmup; ++i)
        sendOne();
    QElapsedTimer clock;
    const double cpuBefore = cpuSeconds();
    clock.start();
    for (int i = 0; i < s.rate; ++i)
        sendOne();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const double cpuPerMessage = (cpuSeconds() - cpuBefore) / s.rate;
    if (w->job.SentCount != s.warmup + s.rate || w->Label5->text() != QStringLiteral("OK!"))
        fail("the mailing did not reach the end of its list");
    std::printf("rate: %d messages of %lld data bytes (%lld of text), one connection each, "
                "window %s, in %.3f s: %.1f messages/s\n",
                s.rate, qlonglong(data), qlonglong(RateTextBytes), s.hidden ? "hidden" : "shown",
                seconds, s.rate / seconds);
    std::printf("rate: processor time of the program %.1f us a message\n", cpuPerMessage * 1e6);
    result("rate_data_bytes", double(data));
    result("rate_cpu_us_per_message", cpuPerMessage * 1e6);
    result("rate_messages", s.rate);
    result("rate_seconds", seconds);
    result("rate_per_second", s.rate / seconds);
}

// --- big -------------------------------------------------------------------------------------

qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        fail("cannot read /proc/self/status");
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    fail("no such field in /proc/self/status");
}

void resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (!refs.open(QIODevice::WriteOnly) || refs.write("5") != 1)
        fail("cannot reset the peak resident size (/proc/self/clear_refs)");
}

const QString BigName = QStringLiteral("archive.bin");

qint64 bigEncodedSize(qint64 bytes)
{
    return MUUEncode::encodedSize(MUUEncode::fileNameOf(BigName).size(), bytes);
}

const QByteArray BigMessage = "Please find the archive attached.\r\nRegards";

// The data of the big message on the wire, computed with the real encoder and producer on a
// block of zero bytes of the same length (the length of the text does not depend on the bytes;
// the block is every file's text and CR LF).
qint64 bigDataBytes(qint64 bytes)
{
    QTemporaryDir dir;
    writeJob(dir, 1, BigMessage);
    return jobDataBytes(
        dir, MUUEncode::encode(MUUEncode::fileNameOf(BigName), QByteArray(bytes, '\0')) + "\r\n");
}

void runBig(const Settings &s)
{
    const qint64 bytes = qint64(s.bigMiB) * 1024 * 1024;
    QTemporaryDir dir;
    writeJob(dir, 1, BigMessage);
    {
        // Written a MiB at a time, so the program does not hold the file itself.
        QFile file(dir.filePath(BigName));
        if (!file.open(QIODevice::WriteOnly))
            fail("cannot write the attachment");
        QByteArray chunk(1024 * 1024, Qt::Uninitialized);
        for (qint64 left = bytes; left > 0; left -= chunk.size()) {
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(chunk.data()),
                                                  chunk.size() / 4);
            if (file.write(chunk.constData(), qMin<qint64>(left, chunk.size())) < 0)
                fail("cannot write the attachment");
        }
    }
    Window w(dir, s);
    w.attachments << dir.filePath(BigName);
    w->cmdAddFile_Click();
    if (w->lstAttachments->count() != 1)
        fail("the attachment was not listed");
    qint64 written = 0;
    QObject::connect(w->Winsock1, &QIODevice::bytesWritten, w->Winsock1,
                     [&](qint64 n) { written += n; });

    QCoreApplication::processEvents();
    const qint64 idleKiB = statusKiB("VmRSS");
    resetPeak();
    QElapsedTimer clock;
    clock.start();
    w->cmdSend_Click();
    w.waitForDialogueEnd();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const qint64 peakKiB = statusKiB("VmHWM");
    w.requireNoBox();
    if (w->Label5->text() != QStringLiteral("OK!"))
        fail("the big message was not delivered");

    const qint64 encoded = bigEncodedSize(bytes);
    const double aboveIdle = double(peakKiB - idleKiB) * 1024;
    std::printf("big: attachment %lld bytes, uuencoded %lld bytes, %lld bytes written on the "
                "connection\n",
                qlonglong(bytes), qlonglong(encoded), qlonglong(written));
    std::printf("big: send to end of dialogue %.3f s; idle RSS %.1f MiB, peak %.1f MiB: "
                "%.1f MiB above idle = %.3f x the encoded size\n",
                seconds, idleKiB / 1024.0, peakKiB / 1024.0, aboveIdle / 1048576.0,
                aboveIdle / double(encoded));
    result("big_seconds", seconds);
    result("big_encoded_bytes", double(encoded));
    result("big_written_bytes", double(written));
    result("big_peak_above_idle_bytes", aboveIdle);
    result("big_peak_ratio", aboveIdle / double(encoded));
}

// --- series ----------------------------------------------------------------------------------

// Records the moment of every tick of a timer, before any of the timer's own handlers runs.
class TickRecorder : public QObject
{
public:
    TickRecorder(QTimer *timer, const QElapsedTimer &clock) : m_timer(timer), m_clock(clock)
    {
        timer->installEventFilter(this);
    }
    QList<qint64> ticks; // nanoseconds on the clock

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_timer && event->type() == QEvent::Timer && m_timer->isActive())
            ticks << m_clock.nsecsElapsed();
        return false;
    }

private:
    QTimer *m_timer;
    const QElapsedTimer &m_clock;
};

void runSeries(const Settings &s)
{
    QTemporaryDir dir;
    writeSizedJob(dir, s.series, RateTextBytes);
    Window w(dir, s);
    QElapsedTimer clock;
    TickRecorder recorder(w->Timer1, clock);
    clock.start();
    const qint64 start = clock.nsecsElapsed();
    w->Command1_Click();
    while (w->Label5->text() != QStringLiteral("OK!") && w.boxes.isEmpty())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    w.requireNoBox();
    if (recorder.ticks.size() != s.series || w->job.SentCount != s.series)
        fail("the series did not send once per tick");

    const int interval = w->Timer1->interval();
    double maxDeviation = 0;
    qint64 previous = start;
    std::printf("series: %d messages, timer interval %d ms\n", s.series, interval);
    for (int i = 0; i < s.series; ++i) {
        const double gap = double(recorder.ticks[i] - previous) / 1e6;
        const double deviation = gap - interval;
        maxDeviation = std::max(maxDeviation, std::abs(deviation));
        std::printf("series: tick %2d at %9.3f ms, interval %8.3f ms, deviation %+7.3f ms\n", i + 1,
                    double(recorder.ticks[i] - start) / 1e6, gap, deviation);
        previous = recorder.ticks[i];
    }
    std::printf("series: largest deviation %.3f ms\n", maxDeviation);
    result("series_interval_ms", interval);
    result("series_max_deviation_ms", maxDeviation);
}

Settings parse(const QStringList &args)
{
    Settings s;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString &a = args[i];
        auto number = [&](int min) {
            bool ok = false;
            const int v = i + 1 < args.size() ? args[++i].toInt(&ok) : 0;
            if (!ok || v < min)
                fail(qPrintable(QStringLiteral("bad value for ") + a));
            return v;
        };
        if (a == QLatin1String("--port"))
            s.port = quint16(number(1));
        else if (a == QLatin1String("--rate"))
            s.rate = number(1);
        else if (a == QLatin1String("--warmup"))
            s.warmup = number(0);
        else if (a == QLatin1String("--big-mib"))
            s.bigMiB = number(1);
        else if (a == QLatin1String("--series"))
            s.series = number(1);
        else if (a == QLatin1String("--hidden"))
            s.hidden = true;
        else if (a == QLatin1String("--sizes"))
            s.sizesOnly = true;
        else if (a == QLatin1String("--only") && i + 1 < args.size()) {
            const QStringList parts = args[++i].split(QLatin1Char(','));
            s.doRate = parts.contains(QLatin1String("rate"));
            s.doBig = parts.contains(QLatin1String("big"));
            s.doSeries = parts.contains(QLatin1String("series"));
        } else
            fail(qPrintable(QStringLiteral("unknown argument ") + a));
    }
    return s;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setFont(frmBrevant::defaultFont());
    const Settings s = parse(QCoreApplication::arguments());

    if (s.sizesOnly) {
        const qint64 bytes = qint64(s.bigMiB) * 1024 * 1024;
        const qint64 bigData = bigDataBytes(bytes);
        std::printf("rate message: %lld data bytes, %lld of them text; big message: attachment "
                    "%lld bytes, uuencoded %lld bytes, %lld data bytes, %lld of them text\n",
                    qlonglong(HeaderBytes + RateTextBytes + EndMarkBytes), qlonglong(RateTextBytes),
                    qlonglong(bytes), qlonglong(bigEncodedSize(bytes)), qlonglong(bigData),
                    qlonglong(bigData - HeaderBytes - EndMarkBytes));
        result("rate_text_bytes", double(RateTextBytes));
        result("big_encoded_bytes", double(bigEncodedSize(bytes)));
        result("big_data_bytes", double(bigData));
        result("big_text_bytes", double(bigData - HeaderBytes - EndMarkBytes));
        return 0;
    }
    if (s.doRate)
        runRate(s);
    if (s.doBig)
        runBig(s);
    if (s.doSeries)
        runSeries(s);
    return 0;
}
