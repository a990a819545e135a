// A series of N addresses through a provider's daily limit, days of it simulated in seconds: the
// real window, its series timer ticking every millisecond while its clock (the one the window is
// given for its rows, its waits and its Date fields) moves 3 seconds a tick, and 10 minutes a
// tick while the series waits for the limit; an SMTP server in this process answers every
// command at once and notes the moment of each message on the window's clock.
//   pacing N PER_DAY
// Prints the processor time a message and the resident memory over the first 100 messages, up to
// 1000 and up to N, then checks that each address had one message and that no 24 hours held more
// than PER_DAY. Figures also go out as "result NAME VALUE"; exit status 1 when anything failed.
#include "frmBrevant.h"
#include "JobSettings.h"
#include "MailingJob.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <sys/resource.h>

namespace {

[[noreturn]] void fail(const QString &what)
{
    std::fprintf(stderr, "pacing_bench: %s\n", qPrintable(what));
    std::exit(1);
}

// Processor time of this process so far, user and system, in microseconds.
double cpuMicroseconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
}

// The file descriptors this process holds.
int descriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                   .size());
}

// The resident size of this process (VmRSS) in KiB.
double residentKiB()
{
    QFile file(QStringLiteral("/proc/self/status"));
    const QByteArray status = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const qsizetype at = status.indexOf("\nVmRSS:");
    if (at < 0)
        fail("no VmRSS in /proc/self/status");
    return double(std::strtoll(status.constData() + at + 7, nullptr, 10));
}

// Answers like a relay that takes everything, and notes who had a message when.
class Server : public QObject
{
public:
    // Messages of each address (readerNNNNN@...), and the moment of each message on the
    // window's clock, made at their full size first so that they add nothing to the memory
    // measured while the series runs.
    std::vector<int> copies;
    std::vector<QDateTime> moments;
    int messages = 0;
    std::function<QDateTime()> clock;

    explicit Server(int count) : copies(std::size_t(count), 0), moments(std::size_t(count))
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                socket->write("220 bench\r\n");
            }
        });
    }
    quint16 port() const { return m_server.serverPort(); }

private:
    void read(QTcpSocket *socket)
    {
        while (socket->canReadLine()) {
            const QByteArray line = socket->readLine();
            if (m_inData) {
                if (line != ".\r\n")
                    continue;
                m_inData = false;
                const int reader = m_rcpt.mid(7, 5).toInt();
                if (reader >= 0 && std::size_t(reader) < copies.size())
                    ++copies[std::size_t(reader)];
                if (std::size_t(messages) < moments.size())
                    moments[std::size_t(messages)] = clock();
                ++messages;
                socket->write("250 queued\r\n");
            } else if (line.startsWith("RCPT")) {
                m_rcpt = line.mid(8).trimmed();
                socket->write("250 ok\r\n");
            } else if (line.startsWith("DATA")) {
                m_inData = true;
                socket->write("354 go\r\n");
            } else if (line.startsWith("QUIT")) {
                socket->write("221 bye\r\n");
                socket->disconnectFromHost();
            } else {
                socket->write("250 ok\r\n");
            }
        }
    }

    QTcpServer m_server;
    QByteArray m_rcpt;
    bool m_inData = false;
};

// Moves the window's clock before each tick of its series timer: 3 seconds, as the interval the
// program uses, or 10 minutes while the series waits.
struct TickClock : QObject
{
    QDateTime now = QDateTime(QDate(2026, 12, 7), QTime(9, 0));
    frmBrevant *window = nullptr;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Timer && !window->Winsock1->isOpen())
            now = now.addSecs(window->lblStatus->text().isEmpty() ? 3 : 600);
        return false;
    }
};

void runPacing(int count, int perDay)
{
    QTemporaryDir dir;
    QByteArray list;
    for (int i = 0; i < count; ++i)
        list += "reader" + QByteArray::number(i).rightJustified(5, '0') + "@example.test\r\n";
    const std::pair<const char *, QByteArray> files[] = {
        {MailingJob::RecipientsFile, list},
        {MailingJob::HostFile, "127.0.0.1\r\n"},
        {MailingJob::SenderFile, "bench@example.test\r\n"},
        {MailingJob::SubjectFile, "\xCD\xEE\xE2\xEE\xF1\xF2\xE8\r\n"},
        {MailingJob::MessageFile,
         "Weekly notes: a line of ordinary text, about seventy bytes.\r\n"},
        {JobSettings::FileName, "[sending]\nper_day=" + QByteArray::number(perDay) + "\n"}};
    for (const auto &[name, bytes] : files) {
        QFile file(dir.filePath(QLatin1String(name)));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            fail("cannot write " + file.fileName());
    }
    Server server(count);
    TickClock clock;
    server.clock = [&clock] { return clock.now; };
    frmBrevant::Options options;
    options.jobDirectory = dir.path();
    options.port = server.port();
    options.clock = [&clock] { return clock.now; };
    frmBrevant w(options);
    clock.window = &w;
    w.Timer1->setInterval(1);
    w.Timer1->installEventFilter(&clock);
    w.Command1_Click();

    struct Mark
    {
        int messages;
        double cpu, kib;
        int descriptors;
    };
    QList<Mark> marks = {{0, cpuMicroseconds(), residentKiB(), descriptors()}};
    for (const int at : {100, 1000, 2000, 4000, 6000, 8000, count}) {
        while (server.messages < at && w.Label5->text() != "OK!")
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        marks << Mark{server.messages, cpuMicroseconds(), residentKiB(), descriptors()};
    }
    while (w.Label5->text() != "OK!")
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    const QDateTime first = server.moments.front(), last = server.moments.back();
    std::printf("pacing: %d addresses, per_day=%d, %.1f days of the series' clock in one run\n"
                "pacing: messages   processor time a message   resident memory   descriptors\n",
                count, perDay, double(first.secsTo(last)) / 86400);
    for (qsizetype i = 1; i < marks.size(); ++i) {
        const double us = (marks[i].cpu - marks[i - 1].cpu) /
                          std::max(1, marks[i].messages - marks[i - 1].messages);
        std::printf("pacing: %5d-%-5d %14.1f us %22.1f MiB %13d\n"
                    "result pacing_cpu_us_%d %.12g\nresult pacing_rss_mib_%d %.12g\n"
                    "result pacing_fds_%d %d\n",
                    marks[i - 1].messages + 1, marks[i].messages, us, marks[i].kib / 1024,
                    marks[i].descriptors, marks[i].messages, us, marks[i].messages,
                    marks[i].kib / 1024, marks[i].messages, marks[i].descriptors);
    }
    // Each address once, and at most perDay in any 24 hours of the window's clock.
    const bool once =
        server.messages == count && std::all_of(server.copies.begin(), server.copies.end(),
                                                [](int copies) { return copies == 1; });
    int busiest = 0;
    for (std::size_t i = 0, j = 0; i < server.moments.size(); ++i) {
        while (server.moments[j].secsTo(server.moments[i]) >= 86400)
            ++j;
        busiest = std::max(busiest, int(i - j + 1));
    }
    std::printf("pacing: each address exactly once: %s; the most messages in 24 hours: %d\n"
                "result pacing_once %d\nresult pacing_busiest_day %d\n",
                once ? "yes" : "no", busiest, once, busiest);
    if (!once || busiest > perDay || w.Label5->text() != "OK!")
        fail("the series broke the limit, or sent an address other than once");
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int count = args.value(2).toInt(), perDay = args.value(3).toInt();
    if (args.value(1) != "pacing" || count < 1000 || perDay < 1)
        fail("usage: pacing_bench pacing N PER_DAY (N at least 1000)");
    runPacing(count, perDay);
    return 0;
}
