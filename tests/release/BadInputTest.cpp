// The real window on broken jobs and broken attachments, sending to a scripted server.
//
// Every case starts the window on the job, presses "Послать одно" and waits for the dialogue
// to end. The window must not crash or hang, must show the box that names the problem, and
// the server must receive nothing that the job does not hold: the commands are checked byte
// for byte against the job files, and the message data is read back (dot-stuffing undone,
// the subject unfolded, the attachments decoded) and compared with the files.
#include "AppHarness.h"
#include "Cp1251.h"
#include "MailingJob.h"
#include "ScriptedServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <optional>
#include <vector>

namespace {

const QStringList kJobFiles = {"mail.txt", "smtp.txt", "sender.txt", "tema.txt", "message.txt"};

// What one job file is.
struct JobFile
{
    enum Kind { Bytes, Missing, Folder };
    Kind kind = Bytes;
    QByteArray bytes;
};

JobFile bytes(QByteArray b)
{
    return {JobFile::Bytes, std::move(b)};
}
const JobFile missing{JobFile::Missing, {}};
const JobFile folder{JobFile::Folder, {}};

using Job = QMap<QString, JobFile>;

Job goodJob()
{
    return {{"mail.txt", bytes("a@example.test\r\nb@example.test\r\n")},
            {"smtp.txt", bytes("127.0.0.1\r\n")},
            {"sender.txt", bytes("me@example.test\r\n")},
            {"tema.txt", bytes("Subject\r\n")},
            {"message.txt", bytes("Line one\r\nLine two\r\n")}};
}

// --- The job as its files hold it ------------------------------------------------------------

// The lines of a job file: CR or CR LF ends a line, a bare LF belongs to it.
QList<QByteArray> linesOf(const QByteArray &data)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < data.size(); ++i) {
        if (data[i] != '\r')
            continue;
        lines << data.mid(start, i - start);
        if (i + 1 < data.size() && data[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < data.size())
        lines << data.mid(start);
    return lines;
}

QByteArray firstLine(const JobFile &file)
{
    const QList<QByteArray> lines = linesOf(file.bytes);
    return lines.isEmpty() ? QByteArray() : lines.first();
}

QByteArray trimSpaces(QByteArray s)
{
    while (s.startsWith(' '))
        s.remove(0, 1);
    while (s.endsWith(' '))
        s.chop(1);
    return s;
}

bool breaksLine(const QByteArray &s)
{
    return s.contains('\r') || s.contains('\n') || s.contains('\0');
}

// Every kind of line end as LF, so that text from the files and text from the wire compare.
QByteArray lf(QByteArray s)
{
    return s.replace("\r\n", "\n").replace('\r', '\n');
}

struct Attachment
{
    QString path;
    QByteArray headerName; // as the header line must show it
    QByteArray bytes;
};

enum class Outcome { Delivered, BadHost, BadSender, UnknownHost, BadRecipient, BadAttachment };

// What the window must do with the job, worked out from the files alone.
struct Expected
{
    Outcome outcome = Outcome::Delivered;
    QStringList startupProblems; // lines the start-up box must hold; empty: no box
    QByteArray commands;         // what the server receives before the data
    QByteArray subject;          // with its line breaks as LF
    QByteArray body;             // the notice (for a long list) and the message, ends as LF
};

Expected expectedFor(const Job &job, const QString &attachmentProblem = {})
{
    Expected e;
    for (const QString &name : kJobFiles) {
        if (job[name].kind == JobFile::Missing)
            e.startupProblems << name + ": файл не найден";
        if (job[name].kind == JobFile::Folder)
            e.startupProblems << name + ": это папка, а не файл";
    }
    const qsizetype listed = linesOf(job["mail.txt"].bytes).size();
    if (listed > MailingJob::RecipientCapacity) {
        e.startupProblems
            << QString("последние %1 не загружены").arg(listed - MailingJob::RecipientCapacity);
    }

    const QByteArray hostLine = firstLine(job["smtp.txt"]);
    const QByteArray sender = trimSpaces(firstLine(job["sender.txt"]));
    const QByteArray recipient = trimSpaces(firstLine(job["mail.txt"]));
    if (!attachmentProblem.isEmpty())
        e.outcome = Outcome::BadAttachment;
    else if (breaksLine(hostLine))
        e.outcome = Outcome::BadHost;
    else if (breaksLine(sender))
        e.outcome = Outcome::BadSender;
    else if (trimSpaces(hostLine) != "127.0.0.1")
        e.outcome = Outcome::UnknownHost;
    else if (breaksLine(recipient))
        e.outcome = Outcome::BadRecipient;

    const qsizetype at = sender.indexOf('@');
    e.commands =
        "HELO " + (at < 0 ? sender : sender.left(at)) + "\r\n" + "MAIL FROM:<" + sender + ">\r\n";
    if (e.outcome == Outcome::Delivered)
        e.commands += "RCPT TO:<" + recipient + ">\r\nDATA\r\n";

    e.subject = firstLine(job["tema.txt"]);
    const bool notice = std::min<qsizetype>(listed, MailingJob::RecipientCapacity) - 1 >
                        MailingJob::NoticeThreshold;
    QByteArray message;
    for (const QByteArray &line : linesOf(job["message.txt"].bytes))
        message += "\r\n" + line;
    e.body = lf((notice ? MailingJob::noticeBlock() : QByteArray()) + message);
    return e;
}

// --- The message data read back from the wire ------------------------------------------------

int sixBits(char c)
{
    return (uchar(c) - 32) & 63;
}

// Reads one uuencoded file from `text` at `pos` (lines end with LF); false if malformed.
bool readUuFile(const QByteArray &text, qsizetype &pos, QByteArray &name, QByteArray &data)
{
    const auto line = [&](QByteArray &out) {
        const qsizetype end = text.indexOf('\n', pos);
        if (end < 0)
            return false;
        out = text.mid(pos, end - pos);
        pos = end + 1;
        return true;
    };
    QByteArray l;
    if (!line(l) || !l.startsWith("begin 664 "))
        return false;
    name = l.mid(10);
    data.clear();
    for (;;) {
        if (!line(l) || l.isEmpty())
            return false;
        const int count = sixBits(l[0]);
        if (l.size() != 1 + 4 * ((count + 2) / 3))
            return false;
        for (int g = 0; g < (count + 2) / 3; ++g) {
            const char *q = l.constData() + 1 + 4 * g;
            const unsigned v = unsigned(sixBits(q[0])) << 18 | unsigned(sixBits(q[1])) << 12 |
                               unsigned(sixBits(q[2])) << 6 | unsigned(sixBits(q[3]));
            const char group[3] = {char(v >> 16), char(v >> 8), char(v)};
            data.append(group, std::min(3, count - 3 * g));
        }
        if (count < 45)
            break;
    }
    return line(l) && l == "`" && line(l) && l == "end";
}

struct ReadBack
{
    QString error; // empty when the data has the form of a message
    QByteArray subject;
    QByteArray body; // line ends as LF
};

ReadBack failed(const char *why)
{
    ReadBack r;
    r.error = QString::fromUtf8(why);
    return r;
}

// Undoes what sending does to the data: the CR LF line ends, the doubled leading dots and the
// folding of the subject.
ReadBack readBack(const QByteArray &data)
{
    ReadBack r;
    if (!data.endsWith("\r\n"))
        return failed("the data does not end with CR LF");
    QList<QByteArray> lines = data.chopped(2).split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArray &line = lines[i];
        if (i + 1 < lines.size()) {
            if (!line.endsWith('\r'))
                return failed("a bare LF on the wire");
            line.chop(1);
        }
        if (line.contains('\r'))
            return failed("a bare CR on the wire");
        if (line.startsWith('.'))
            line.remove(0, 1);
    }
    if (lines.isEmpty() || !lines[0].startsWith("Subject:"))
        return failed("the data does not start with the subject");
    r.subject = lines[0].mid(8);
    qsizetype i = 1;
    for (; i < lines.size() && lines[i].startsWith(' '); ++i)
        r.subject += "\n" + lines[i].mid(1);
    if (i >= lines.size() || !lines[i].isEmpty())
        return failed("no empty line after the subject");
    lines = lines.mid(i + 1);
    r.body = lines.join('\n') + "\n";
    return r;
}

// The start of a long text for a failure message, with its length.
std::string brief(const QByteArray &text)
{
    constexpr qsizetype shown = 160;
    std::string s = text.left(shown).toStdString();
    if (text.size() > shown)
        s += "... (" + std::to_string(text.size()) + " bytes)";
    return s;
}

// --- Running a case --------------------------------------------------------------------------

void writeJob(const TempJob &dir, const Job &job)
{
    for (const QString &name : kJobFiles) {
        const QString path = dir.filePath(name);
        QFile::remove(path);
        QDir(path).removeRecursively();
        switch (job[name].kind) {
        case JobFile::Bytes:
            dir.write(name, job[name].bytes);
            break;
        case JobFile::Folder:
            ASSERT_TRUE(QDir().mkdir(path));
            break;
        case JobFile::Missing:
            break;
        }
    }
}

constexpr int kCaseLimitMs = 60000;

void runCase(const Job &job, const QList<Attachment> &attachments = {},
             const QString &attachmentProblem = {})
{
    const Expected e = expectedFor(job, attachmentProblem);
    AppHarness h;
    writeJob(h.dir, job);
    ScriptedServer server;
    frmBrevant::Options options;
    options.connectTimeout = std::chrono::seconds(10);
    options.replyTimeout = std::chrono::seconds(20);
    options.dataEndTimeout = std::chrono::seconds(20);
    QElapsedTimer clock;
    clock.start();
    frmBrevant &w = h.open(server.port(), options);
    for (const Attachment &a : attachments)
        h.dialogAnswers << a.path;
    for (qsizetype i = 0; i < attachments.size(); ++i)
        w.cmdAddFile->click();

    // The start-up box, shown once the window is up.
    QTest::qWait(20);
    if (e.startupProblems.isEmpty()) {
        EXPECT_TRUE(h.boxes.isEmpty()) << h.boxes.value(0).text.toStdString();
    } else {
        ASSERT_EQ(h.boxes.size(), 1);
        EXPECT_EQ(h.boxes[0].icon, QMessageBox::Warning);
        for (const QString &line : e.startupProblems)
            EXPECT_TRUE(h.boxes[0].text.contains(line))
                << "missing «" << line.toStdString() << "» in " << h.boxes[0].text.toStdString();
    }
    const qsizetype startupBoxes = h.boxes.size();

    w.cmdSend->click();
    ASSERT_TRUE(h.waitFor([&] { return !w.dialogueOpen(); }, kCaseLimitMs))
        << "the dialogue did not end";
    // Late errors, a second connection or a second box would show up now.
    QTest::qWait(100);
    ASSERT_FALSE(w.dialogueOpen());
    EXPECT_LT(clock.elapsed(), kCaseLimitMs) << "the case took too long";

    const QList<Box> sendBoxes = h.boxes.mid(startupBoxes);
    const auto expectBox = [&](const QString &title, const QString &part) {
        ASSERT_EQ(sendBoxes.size(), 1) << "boxes after the send";
        EXPECT_EQ(sendBoxes[0].title, title);
        EXPECT_TRUE(sendBoxes[0].text.contains(part))
            << "missing «" << part.toStdString() << "» in " << sendBoxes[0].text.toStdString();
    };
    const int connections = server.connectionCount();
    switch (e.outcome) {
    case Outcome::BadAttachment:
        expectBox("Attach files", attachmentProblem);
        EXPECT_TRUE(sendBoxes.value(0).text.contains("Письмо не отправлено."));
        EXPECT_EQ(connections, 0);
        EXPECT_EQ(w.Label5->text(), "0");
        return;
    case Outcome::BadHost:
        expectBox("SMTP Error", "Хост SMTP");
        EXPECT_EQ(connections, 0);
        return;
    case Outcome::BadSender:
        expectBox("SMTP Error", "Ваш E-mail");
        EXPECT_EQ(connections, 0);
        return;
    case Outcome::UnknownHost:
        expectBox("Winsock Error", "Winsock Error number ");
        EXPECT_EQ(connections, 0);
        return;
    case Outcome::BadRecipient:
        expectBox("SMTP Error", "E-mail адресата");
        ASSERT_EQ(connections, 1);
        EXPECT_EQ(server.connections()[0]->received, e.commands);
        return;
    case Outcome::Delivered:
        break;
    }

    EXPECT_TRUE(sendBoxes.isEmpty()) << sendBoxes.value(0).text.toStdString();
    ASSERT_EQ(connections, 1);
    const ScriptedServer::Connection &conn = *server.connections()[0];
    ASSERT_EQ(conn.data.size(), 1) << "one message";
    const QByteArray &data = conn.data[0];
    // Commands before the data, then the data, the end mark and QUIT: nothing else.
    const QByteArray received = conn.received;
    ASSERT_TRUE(received.startsWith(e.commands))
        << "received: " << brief(received) << "\nexpected: " << brief(e.commands);
    EXPECT_EQ(received.size(), e.commands.size() + data.size() + 3 + 6);
    EXPECT_TRUE(received.endsWith(data + ".\r\nQUIT\r\n"));

    const ReadBack r = readBack(data);
    ASSERT_TRUE(r.error.isEmpty()) << r.error.toStdString();
    EXPECT_EQ(r.subject, e.subject);
    const QByteArray bodyStart = e.body + "\n\n";
    ASSERT_TRUE(r.body.startsWith(bodyStart))
        << "body: " << brief(r.body) << "\nexpected: " << brief(bodyStart);
    const QByteArray rest = r.body.mid(bodyStart.size());
    qsizetype pos = 0;
    for (const Attachment &a : attachments) {
        SCOPED_TRACE(a.path.toStdString());
        QByteArray name, decoded;
        ASSERT_TRUE(readUuFile(rest, pos, name, decoded)) << "attachment text malformed";
        EXPECT_EQ(name, a.headerName);
        EXPECT_EQ(decoded, a.bytes);
        ASSERT_EQ(rest.mid(pos, 1), "\n") << "the line end after the attachment";
        ++pos;
    }
    EXPECT_EQ(rest.mid(pos), "\n") << "nothing after the attachments";
}

// Bytes that no text file holds: an executable's header, then a fixed pseudo-random stream
// with every byte value.
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

// A single line of exactly 10 MiB without a terminator that still holds `value`, padded with
// spaces (which the fields lose when they are trimmed); or filled with text when `value` is
// empty.
QByteArray tenMebibyteLine(const QByteArray &value)
{
    constexpr qsizetype size = 10 * 1024 * 1024;
    if (value.isEmpty()) {
        const QByteArray text = Cp1251::fromUnicode(u"Очень длинная строка. ");
        QByteArray line = text.repeated(size / text.size() + 1);
        line.truncate(size);
        return line;
    }
    const qsizetype pad = (size - value.size()) / 2;
    return QByteArray(pad, ' ') + value + QByteArray(size - pad - value.size(), ' ');
}

void forEachFile(const std::function<JobFile(const QString &name)> &broken)
{
    for (const QString &name : kJobFiles) {
        SCOPED_TRACE(name.toStdString());
        Job job = goodJob();
        job[name] = broken(name);
        runCase(job);
        if (testing::Test::HasFatalFailure())
            return;
    }
    SCOPED_TRACE("every file at once");
    Job job;
    for (const QString &name : kJobFiles)
        job[name] = broken(name);
    runCase(job);
}

} // namespace

TEST(BadJob, EachFileMissing)
{
    forEachFile([](const QString &) { return missing; });
}

TEST(BadJob, FolderInPlaceOfAFile)
{
    forEachFile([](const QString &) { return folder; });
}

TEST(BadJob, EmptyFiles)
{
    forEachFile([](const QString &) { return bytes(""); });
}

TEST(BadJob, BinaryGarbage)
{
    forEachFile([](const QString &) { return bytes(garbage(64 * 1024)); });
}

TEST(BadJob, NulAnd0x98)
{
    // 0x98 on the line that is used, NUL on the next: the value goes out with its 0x98.
    const QMap<QString, QByteArray> values = {{"mail.txt", "a\x98@example.test"},
                                              {"smtp.txt", "127.0.0.1"},
                                              {"sender.txt", "me\x98@example.test"},
                                              {"tema.txt", "Sub\x98ject"},
                                              {"message.txt", "Li\x98ne"}};
    forEachFile([&](const QString &name) {
        QByteArray b = values[name] + "\r\n";
        b += QByteArray("x\0\x98y\r\n\0\r\n", 8);
        return bytes(b);
    });
    // NUL on the line that is used.
    forEachFile([&](const QString &name) {
        return bytes(values[name] + QByteArray("\0\x98", 2) + "\r\nnext\r\n");
    });
}

TEST(BadJob, ListOf10002Lines)
{
    Job job = goodJob();
    job["mail.txt"] = bytes(TempJob::addresses(10002));
    runCase(job);
    // The same count with bare CRs and empty lines.
    job["mail.txt"] = bytes("first@example.test" + QByteArray(10001, '\r'));
    runCase(job);
}

TEST(BadJob, TenMebibyteSingleLine)
{
    const QMap<QString, QByteArray> values = {{"smtp.txt", "127.0.0.1"},
                                              {"sender.txt", "me@example.test"},
                                              {"tema.txt", ""},
                                              {"message.txt", ""}};
    for (auto it = values.begin(); it != values.end(); ++it) {
        SCOPED_TRACE(it.key().toStdString());
        Job job = goodJob();
        job[it.key()] = bytes(tenMebibyteLine(it.value()));
        runCase(job);
    }
}

// The recipient is the one field that is read back from its text box when it is sent, so the
// box must hold the whole line, however long.
TEST(BadJob, TenMebibyteRecipientLine)
{
    Job job = goodJob();
    job["mail.txt"] = bytes(tenMebibyteLine("a@example.test"));
    runCase(job);
    job["mail.txt"] = bytes("a@example.test" + QByteArray(40000, 'x') + "\r\nb@example.test\r\n");
    runCase(job);
}

TEST(BadAttachments, FilesThatCannotBeReadStopTheSend)
{
    struct Case
    {
        const char *name;
        QStringList files;  // names in the job folder, in list order
        QString badName;    // the one that cannot be read
        const char *reason; // as the box gives it
    };
    const Case cases[] = {
        {"missing", {"gone.bin"}, "gone.bin", "файл не найден"},
        {"a folder", {"folder"}, "folder", "это папка, а не файл"},
        {"missing after a good one", {"good.bin", "gone.bin"}, "gone.bin", "файл не найден"},
        {"folder before a good one", {"folder", "good.bin"}, "folder", "это папка, а не файл"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempJob files;
        QList<Attachment> attachments;
        for (const QString &f : c.files) {
            const QString path = files.filePath(f);
            if (f == "folder") {
                ASSERT_TRUE(QDir().mkdir(path));
            }
            if (f == "good.bin")
                files.write(f, garbage(1000));
            attachments << Attachment{path, {}, {}};
        }
        runCase(goodJob(), attachments,
                "«" + files.filePath(c.badName) + "»: " + QString::fromUtf8(c.reason));
        if (HasFatalFailure())
            return;
    }
}

TEST(BadAttachments, OddButReadableFilesGoOutWhole)
{
    TempJob files; // a folder that outlives the cases
    struct Case
    {
        const char *name;
        QString fileName;
        QByteArray headerName;
        QByteArray bytes;
    };
    const Case cases[] = {
        {"empty", "empty.bin", "empty.bin", ""},
        {"binary garbage", "garbage.bin", "garbage.bin", garbage(300 * 1024)},
        {"NUL and 0x98 only", "nul98.bin", "nul98.bin", QByteArray("\0\x98\0\x98\0", 5)},
        {"lines that look like the end of the data", "dots.txt", "dots.txt",
         ".\r\n.\r\n..\n.\r.\r\n"},
#ifndef Q_OS_WIN // no such names there
        {"line breaks in the name", "a\r\nb\n.bin", "a??b?.bin", "x"},
#endif
        {"Cyrillic name", "вложение.txt", Cp1251::fromUnicode(u"вложение.txt"), "abc"},
    };
    QList<Attachment> all;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        files.write(c.fileName, c.bytes);
        const Attachment a{files.filePath(c.fileName), c.headerName, c.bytes};
        runCase(goodJob(), {a});
        all << a;
    }
    SCOPED_TRACE("all in one message");
    runCase(goodJob(), all);
}
