// Catches: a crash, a hang or a silent failure of the real window on a broken job or a broken
// attachment (missing, a folder, a pipe, a device, empty, binary, NUL and 0x98, lines of
// 10 MiB, a list too long, characters Windows-1251 lacks): each problem shows the box that
// names it, and what could be read is still sent, or nothing at all when a file is missing.
#include "AppHarness.h"
#include "Cp1251.h"
#include "MUUEncode.h"
#include "ScriptedServer.h"

#include <QDir>
#include <QFile>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <sys/stat.h>
#include <thread>

namespace {

// Ends the test program when the window has not answered within `seconds`: a read that blocks
// on a pipe, or one that never ends on a device, would otherwise hang the run.
class Watchdog
{
public:
    explicit Watchdog(int seconds)
        : m_thread([this, seconds] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_stopped.wait_for(lock, std::chrono::seconds(seconds),
                                      [this] { return m_stop; })) {
                  std::fprintf(stderr, "FAIL: the window did not answer within %d s\n", seconds);
                  std::_Exit(1);
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_stopped.notify_one();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_stopped;
    bool m_stop = false;
    std::thread m_thread; // last: it starts once the rest is ready
};

// Bytes that no text file holds: an executable's header, then pseudo-random bytes.
QByteArray garbage(qsizetype size)
{
    QByteArray g("\x7f"
                 "ELF\x02\x01\x01\x00",
                 8);
    quint32 x = 2463534242u;
    while (g.size() < size) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        g.append(char(x >> 24));
    }
    return g;
}

// A line of 10 MiB without a terminator that holds `value` between spaces.
QByteArray tenMebibyteLine(const QByteArray &value)
{
    constexpr qsizetype size = 10 * 1024 * 1024;
    const qsizetype pad = (size - value.size()) / 2;
    return QByteArray(pad, ' ') + value + QByteArray(size - pad - value.size(), ' ');
}

enum class Kind { Missing, Folder, Pipe, Device };

// Puts something other than a file at `path`.
void replace(const QString &path, Kind kind)
{
    QFile::remove(path);
    switch (kind) {
    case Kind::Missing:
        break;
    case Kind::Folder:
        ASSERT_TRUE(QDir().mkdir(path));
        break;
    case Kind::Pipe:
        ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        break;
    case Kind::Device:
        ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), path));
        break;
    }
}

const QString kSpecial = QStringLiteral("это не обычный файл, а канал, устройство или сокет");

struct Outcome
{
    QList<Box> startupBoxes;
    QList<Box> sendBoxes;
    int connections = 0;
    QList<QByteArray> deliveredTo;
    QByteArray data; // of the one message delivered
};

// Opens the window on the job in `h`, adds `attachments`, presses "Послать одно" and waits for
// the dialogue to end.
Outcome run(AppHarness &h, const QStringList &attachments = {})
{
    const Watchdog watchdog(60);
    Outcome r;
    ScriptedServer server;
    frmBrevant &w = h.open(server.port());
    QTest::qWait(20); // the start-up box is shown once the window is up
    r.startupBoxes = h.boxes;
    h.dialogAnswers = attachments;
    for (qsizetype i = 0; i < attachments.size(); ++i)
        w.cmdAddFile->click();
    w.cmdSend->click();
    EXPECT_TRUE(h.waitFor([&] { return !w.dialogueOpen(); }, 50000)) << "the dialogue did not end";
    QTest::qWait(50); // a late box or a second connection would show now
    r.sendBoxes = h.boxes.mid(r.startupBoxes.size());
    r.connections = server.connectionCount();
    r.deliveredTo = server.deliveredTo();
    if (!r.deliveredTo.isEmpty())
        r.data = server.connections()[0]->data.value(0);
    return r;
}

void expectBox(const QList<Box> &boxes, const QStringList &parts)
{
    if (parts.isEmpty()) {
        EXPECT_TRUE(boxes.isEmpty()) << boxes.value(0).text.toStdString();
        return;
    }
    ASSERT_EQ(boxes.size(), 1);
    for (const QString &part : parts)
        EXPECT_TRUE(boxes[0].text.contains(part))
            << "«" << part.toStdString() << "» not in: " << boxes[0].text.toStdString();
}

} // namespace

TEST(BadJob, EachProblemNamedAtStartUpAndWhatCanBeReadIsSent)
{
    struct Case
    {
        const char *name;
        std::function<void(const TempJob &)> breakJob;
        QStringList startupBox;
        QString sendBox;      // part of the box after the send; empty: delivered
        QByteArray recipient; // as RCPT TO gives it, when delivered
    };
    const auto write = [](const char *file, const QByteArray &bytes) {
        return [=](const TempJob &dir) { dir.write(QString::fromLatin1(file), bytes); };
    };
    const Case cases[] = {
        {"every file missing",
         [](const TempJob &dir) {
             for (const char *f : {"mail.txt", "smtp.txt", "sender.txt", "tema.txt", "message.txt"})
                 QFile::remove(dir.filePath(QString::fromLatin1(f)));
         },
         {"mail.txt: файл не найден", "smtp.txt: файл не найден", "sender.txt: файл не найден",
          "tema.txt: файл не найден", "message.txt: файл не найден"},
         "«Ваш E-mail» не заполнено",
         {}},
        {"a folder, a pipe and a device in place of files",
         [](const TempJob &dir) {
             replace(dir.filePath("tema.txt"), Kind::Folder);
             replace(dir.filePath("message.txt"), Kind::Pipe);
             replace(dir.filePath("mail.txt"), Kind::Device);
         },
         {"tema.txt: это папка, а не файл", "message.txt: " + kSpecial, "mail.txt: " + kSpecial},
         {},
         "<>"},
        {"empty files",
         [](const TempJob &dir) { dir.writeAll("", "", "", "", ""); },
         {},
         "«Ваш E-mail» не заполнено",
         {}},
        {"binary garbage as subject and text",
         [](const TempJob &dir) {
             dir.write("tema.txt", garbage(64 * 1024));
             dir.write("message.txt", garbage(64 * 1024));
         },
         {},
         {},
         "<a@example.test>"},
        {"0x98 and NUL go out",
         [](const TempJob &dir) {
             dir.writeAll("a\x98@example.test\r\n", "127.0.0.1\r\n", "me\x98@example.test\n",
                          QByteArray("Sub\x98\0ject", 9), QByteArray("Li\x98ne\0\r\n\0", 10));
         },
         {},
         {},
         "<a\x98@example.test>"},
        {"NUL on the recipient's line",
         write("mail.txt", QByteArray("a@x\0b\r\nc@x", 10)),
         {},
         "«E-mail адресата»",
         {}},
        {"10002 addresses",
         write("mail.txt", TempJob::addresses(10002)),
         {"В файле mail.txt больше 10001 строк: последние 1 не загружены."},
         {},
         "<user0@example.test>"},
        {"lines of 10 MiB",
         [](const TempJob &dir) {
             dir.write("mail.txt", tenMebibyteLine("a@example.test"));
             dir.write("message.txt", tenMebibyteLine("text"));
         },
         {},
         {},
         "<a@example.test>"},
        {"characters Windows-1251 lacks",
         write("tema.txt", QStringLiteral("Привет 😀\nвторая строка 中").toUtf8()),
         {"tema.txt, строка 1: 😀"},
         {},
         "<a@example.test>"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AppHarness h;
        c.breakJob(h.dir);
        const Outcome r = run(h);
        expectBox(r.startupBoxes, c.startupBox);
        if (c.sendBox.isEmpty()) {
            expectBox(r.sendBoxes, {});
            EXPECT_EQ(r.deliveredTo, QList<QByteArray>{c.recipient});
        } else {
            expectBox(r.sendBoxes, {c.sendBox});
            EXPECT_TRUE(r.deliveredTo.isEmpty());
        }
    }
}

TEST(BadAttachments, UnreadableFileStopsTheSendWithABox)
{
    const struct
    {
        const char *name;
        Kind kind;
        QString reason;
    } cases[] = {
        {"missing", Kind::Missing, QStringLiteral("файл не найден")},
        {"a folder", Kind::Folder, QStringLiteral("это папка, а не файл")},
        {"a pipe", Kind::Pipe, kSpecial},
        {"a device", Kind::Device, kSpecial},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        AppHarness h;
        h.dir.write("good.bin", "x");
        const QString bad = h.dir.filePath("bad.bin");
        replace(bad, c.kind);
        const Outcome r = run(h, {h.dir.filePath("good.bin"), bad});
        expectBox(r.sendBoxes, {"«" + bad + "»: " + c.reason, "Письмо не отправлено."});
        EXPECT_EQ(r.connections, 0);
    }
}

TEST(BadAttachments, OddButReadableFilesGoOutWhole)
{
    const struct
    {
        QString fileName;
        QByteArray headerName;
        QByteArray bytes;
    } files[] = {
        {"empty.bin", "empty.bin", ""},
        {"garbage.bin", "garbage.bin", garbage(300 * 1024)},
        {"nul98.bin", "nul98.bin", QByteArray("\0\x98\0\x98\0", 5)},
        {"dots.txt", "dots.txt", ".\r\n.\r\n..\n.\r.\r\n"},
        {"a\r\nb\n.bin", "a??b?.bin", "x"},
        {"вложение.txt", Cp1251::fromUnicode(u"вложение.txt"), "abc"},
    };
    AppHarness h;
    QStringList paths;
    for (const auto &f : files) {
        h.dir.write(f.fileName, f.bytes);
        paths << h.dir.filePath(f.fileName);
    }
    const Outcome r = run(h, paths);
    expectBox(r.sendBoxes, {});
    ASSERT_EQ(r.deliveredTo.size(), 1);
    for (const auto &f : files) {
        SCOPED_TRACE(f.fileName.toStdString());
        // Each text as the wire carries it: CR LF line ends and leading dots doubled.
        QByteArray wire;
        for (const QByteArray &line : MUUEncode::encode(f.headerName, f.bytes).split('\n'))
            wire += (line.startsWith('.') ? "." : "") + line + "\r\n";
        wire.chop(2);
        EXPECT_TRUE(r.data.contains(wire));
    }
}
