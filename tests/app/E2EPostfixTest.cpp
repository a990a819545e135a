// The real window sends a series to a real, strict Postfix (started by e2e_postfix.sh on
// 127.0.0.1:25 in a network namespace of its own), and what Postfix wrote into its catch-all
// Maildir is read back: one message per address in list order, the subject and the text byte
// for byte as the job files hold them, and every attachment decoding (with GNU uudecode) to
// the bytes of its file.
//
// Environment, set by e2e_postfix.sh:
//   BREVANT_E2E_MAILDIR    the Maildir the instance delivers example.test into
//   BREVANT_CHECK_MAILDIR  scripts/check_maildir.py
//   MAIL_CONFIG            the instance's configuration (for postqueue)
#include "AppHarness.h"
#include "Cp1251.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <iostream>

namespace {

// The job: three addresses, not in alphabetical order, so that a mailing sorted any other way
// shows; a Russian subject with a second line that is not the subject; a text whose lines
// need dot-stuffing on the wire and an empty line.
const QStringList Addresses = {QStringLiteral("vera@example.test"),
                               QStringLiteral("anna@example.test"),
                               QStringLiteral("boris@example.test")};
const QString Subject = QStringLiteral("Новости рассылки: выпуск №5 — «Осень»");
const QStringList TextLines = {
    QStringLiteral("Здравствуйте, уважаемый подписчик!"),
    QStringLiteral("."),
    QStringLiteral(".."),
    QString(),
    QStringLiteral(".Строка, которая начинается с точки."),
    QStringLiteral("До свидания."),
};

QByteArray cp1251(const QString &text)
{
    return Cp1251::fromUnicode(text);
}

// Deterministic bytes in which every value occurs.
QByteArray binaryBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 12345;
    for (qsizetype i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = char(i % 7 == 0 ? i % 256 : (x >> 16) & 0xff);
    }
    return bytes;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QStringList maildirFiles(const QString &maildir)
{
    QStringList files;
    for (const char *sub : {"new", "cur"}) {
        const QDir dir(maildir + QLatin1Char('/') + QLatin1String(sub));
        for (const QString &name : dir.entryList(QDir::Files | QDir::NoDotAndDotDot))
            files << dir.filePath(name);
    }
    return files;
}

struct ProcessResult
{
    int exitCode = -1;
    QByteArray output; // stdout and stderr
};

ProcessResult run(const QString &program, const QStringList &arguments, int timeoutMs = 60000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit)
        return {-1,
                process.readAll() + "\n(did not finish: " + process.errorString().toUtf8() + ")"};
    return {process.exitCode(), process.readAll()};
}

bool queueEmpty()
{
    const ProcessResult r = run(QStringLiteral("postqueue"), {QStringLiteral("-p")});
    return r.exitCode == 0 && r.output.contains("Mail queue is empty");
}

// One stored message: its header fields (name lower-case, value after the colon, with folded
// lines joined) and the lines of its body. Postfix stores lines with LF.
struct StoredMessage
{
    QList<std::pair<QByteArray, QByteArray>> fields;
    QList<QByteArray> body;

    QList<QByteArray> values(const QByteArray &name) const
    {
        QList<QByteArray> found;
        for (const auto &[n, v] : fields)
            if (n == name)
                found << v;
        return found;
    }
};

StoredMessage parse(const QByteArray &file)
{
    StoredMessage m;
    QList<QByteArray> lines = file.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    qsizetype i = 0;
    for (; i < lines.size() && !lines[i].isEmpty(); ++i) {
        const QByteArray &line = lines[i];
        if ((line.startsWith(' ') || line.startsWith('\t')) && !m.fields.isEmpty()) {
            m.fields.last().second += "\n" + line;
        } else {
            const qsizetype colon = line.indexOf(':');
            m.fields.append({line.left(colon).toLower(), line.mid(colon + 1)});
        }
    }
    m.body = lines.mid(i + 1);
    return m;
}

// Every uuencoded text of the body, from its "begin" line to its "end" line, in order.
QList<QByteArray> uuTexts(const QList<QByteArray> &body)
{
    QList<QByteArray> texts;
    for (qsizetype i = 0; i < body.size(); ++i) {
        if (!body[i].startsWith("begin "))
            continue;
        QByteArray text;
        for (; i < body.size(); ++i) {
            text += body[i] + '\n';
            if (body[i] == "end")
                break;
        }
        texts << text;
    }
    return texts;
}

class E2EPostfix : public ::testing::Test
{
protected:
    void SetUp() override
    {
        maildir = qEnvironmentVariable("BREVANT_E2E_MAILDIR");
        checker = qEnvironmentVariable("BREVANT_CHECK_MAILDIR");
        // Run by e2e_postfix.sh, never on its own: without the instance there is nothing to
        // test, and that must show as a failure, not as a pass.
        ASSERT_FALSE(maildir.isEmpty() || checker.isEmpty())
            << "run this through tests/app/e2e_postfix.sh (BREVANT_E2E_MAILDIR and "
               "BREVANT_CHECK_MAILDIR unset)";
        ASSERT_TRUE(QDir(maildir + QStringLiteral("/new")).exists()) << maildir.toStdString();
        ASSERT_TRUE(maildirFiles(maildir).isEmpty()) << "the Maildir must start empty";
    }

    QString maildir;
    QString checker;
};

TEST_F(E2EPostfix, SeriesOfThreeArrivesByteForByteInListOrder)
{
    AppHarness h;
    QByteArray recipients;
    for (const QString &a : Addresses)
        recipients += cp1251(a) + "\r\n";
    QByteArray message;
    for (const QString &line : TextLines)
        message += cp1251(line) + "\r\n";
    message.chop(2); // the last line without its terminator
    h.dir.writeAll(recipients, "127.0.0.1\r\n", "news@example.test\r\n",
                   cp1251(Subject) + "\r\n" + cp1251(QStringLiteral("не тема")) + "\r\n", message);

    // 14 bytes: one data line whose length character is "." (32 + 14), so it goes out
    // dot-stuffed; it holds CR, LF, NUL, a space and a grave accent too. The larger file
    // crosses several of the window's data chunks.
    const QByteArray small("\x2e\x00\x0d\x0a\x20\x60\xff\xfe\x2e\x2e\x0a\x0d\x01\x7f", 14);
    const QByteArray large = binaryBytes(600 * 1024 + 7);
    const QString smallPath = h.dir.filePath(QStringLiteral("a14.bin"));
    const QString largePath = h.dir.filePath(QStringLiteral("отчёт за год.bin"));
    h.dir.write(QStringLiteral("a14.bin"), small);
    h.dir.write(QStringLiteral("отчёт за год.bin"), large);

    frmBrevant &w = h.open(25);
    ASSERT_EQ(w.Timer1->interval(), frmBrevant::SeriesInterval);
    h.dialogAnswers << smallPath << largePath;
    w.cmdAddFile->click();
    w.cmdAddFile->click();
    ASSERT_EQ(w.lstAttachments->count(), 2);

    QElapsedTimer clock;
    clock.start();
    w.Command1->click();
    // Three ticks of the real 3000 ms timer.
    ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == QStringLiteral("OK!"); }, 30000))
        << "Label5 shows " << w.Label5->text().toStdString() << "; "
        << (h.boxes.isEmpty() ? std::string("no box") : h.boxes[0].text.toStdString());
    const qint64 elapsed = clock.elapsed();
    EXPECT_GE(elapsed, 3 * frmBrevant::SeriesInterval - 50);
    EXPECT_TRUE(h.boxes.isEmpty()) << h.boxes.value(0).text.toStdString();
    EXPECT_FALSE(w.Timer1->isActive());
    EXPECT_EQ(w.job.SentCount, 3);
    EXPECT_EQ(w.txtRecipient->text().toStdString(), Addresses.last().toStdString());

    // Postfix has accepted the three; wait until its delivery agent has written them all and
    // nothing is left in the queue (a fourth message would still be there, or be delivered).
    ASSERT_TRUE(h.waitFor([&] { return maildirFiles(maildir).size() >= 3 && queueEmpty(); }, 30000))
        << maildirFiles(maildir).size() << " messages in the Maildir; postqueue -p: "
        << run(QStringLiteral("postqueue"), {QStringLiteral("-p")}).output.toStdString();
    const QStringList files = maildirFiles(maildir);
    ASSERT_EQ(files.size(), 3) << files.join(QLatin1Char(' ')).toStdString();

    // The full byte-for-byte comparison with the job files, order included.
    const ProcessResult check =
        run(QStringLiteral("python3"),
            {checker, maildir, QStringLiteral("--job"), h.dir.path(), QStringLiteral("--attach"),
             smallPath, QStringLiteral("--attach"), largePath,
             QStringLiteral("--recipients-in-order")});
    EXPECT_EQ(check.exitCode, 0) << check.output.toStdString();
    std::cout << check.output.toStdString();

    // And a look of our own at each message, independent of the checker.
    QStringList seen;
    QList<QByteArray> wantBody = {QByteArray()};
    for (const QString &line : TextLines)
        wantBody << cp1251(line);
    wantBody << QByteArray() << "begin 664 a14.bin";
    const QList<QByteArray> originals = {small, large};
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    for (const QString &path : files) {
        SCOPED_TRACE(path.toStdString());
        const StoredMessage m = parse(readFile(path));
        ASSERT_EQ(m.values("x-original-to").size(), 1);
        seen << Cp1251::toUnicode(m.values("x-original-to")[0].trimmed());
        EXPECT_EQ(m.values("subject"), QList<QByteArray>{cp1251(Subject)});
        ASSERT_GE(m.body.size(), wantBody.size());
        EXPECT_EQ(m.body.mid(0, wantBody.size()), wantBody);

        const QList<QByteArray> texts = uuTexts(m.body);
        ASSERT_EQ(texts.size(), 2);
        EXPECT_TRUE(
            texts[1].startsWith("begin 664 " + cp1251(QStringLiteral("отчёт за год.bin")) + "\n"));
        for (int i = 0; i < 2; ++i) {
            const QString in = scratch.filePath(QStringLiteral("in.uu"));
            const QString out = scratch.filePath(QStringLiteral("out.bin"));
            QFile::remove(out);
            QFile file(in);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(texts[i]);
            file.close();
            const ProcessResult decoded =
                run(QStringLiteral("uudecode"), {QStringLiteral("-o"), out, in});
            ASSERT_EQ(decoded.exitCode, 0) << decoded.output.toStdString();
            EXPECT_TRUE(readFile(out) == originals[i]) << "attachment " << i + 1;
        }
    }
    seen.sort();
    QStringList want = Addresses;
    want.sort();
    EXPECT_EQ(seen.join(QLatin1Char(' ')).toStdString(), want.join(QLatin1Char(' ')).toStdString());
}

} // namespace
