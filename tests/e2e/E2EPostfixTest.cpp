// Catches: a mailing that a real, strict Postfix refuses or stores wrongly: the window sends two
// series of three on the real 3000 ms timer, one from a job made on Windows (Windows-1251, CR LF)
// with two attachments, one from a job made on Linux (UTF-8, LF) without; check_maildir.py then
// holds what Postfix stored against the job files and the attached files.
//
// Run by e2e_postfix.sh, which starts Postfix on 127.0.0.1:25 in a network namespace of its
// own and sets BREVANT_E2E_MAILDIR (where Postfix delivers) and BREVANT_CHECK_MAILDIR.
#include "AppHarness.h"
#include "Cp1251.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>

#include <iostream>

namespace {

const QString kSubject = QStringLiteral("Новости рассылки: выпуск №5 — «Осень», и ещё много слов");
const QString kText = QStringLiteral("Здравствуйте, уважаемый подписчик!\n.\n..\n\n"
                                     ".Строка, которая начинается с точки.\nДо свидания.");
const QString kList =
    QStringLiteral("vera@example.test\nanna@example.test\n <boris@example.test>\n");

// The job as a Windows editor saves it, or as a Linux one does.
void writeJob(const TempJob &dir, bool windows)
{
    const auto file = [windows](QString text) {
        return windows ? Cp1251::fromUnicode(text.replace(u'\n', QLatin1String("\r\n")))
                       : text.toUtf8();
    };
    dir.writeAll(file(kList), file(QStringLiteral("127.0.0.1\n")),
                 file(QStringLiteral("news@example.test\n")),
                 file(kSubject + QStringLiteral("\nне тема\n")), file(kText));
}

QStringList maildirFiles(const QString &maildir)
{
    QStringList files;
    for (const char *sub : {"/new", "/cur"}) {
        const QDir dir(maildir + QLatin1String(sub));
        for (const QString &name : dir.entryList(QDir::Files))
            files << dir.filePath(name);
    }
    return files;
}

// Postfix has written every message it accepted and holds none in its queue.
bool allDelivered(const QString &maildir, qsizetype count)
{
    QProcess queue;
    queue.start(QStringLiteral("postqueue"), {QStringLiteral("-p")});
    return queue.waitForFinished(10000) && queue.readAll().contains("Mail queue is empty") &&
           maildirFiles(maildir).size() >= count;
}

void runSeries(bool windows, const QStringList &attachments)
{
    const QString maildir = qEnvironmentVariable("BREVANT_E2E_MAILDIR");
    const QString checker = qEnvironmentVariable("BREVANT_CHECK_MAILDIR");
    ASSERT_FALSE(maildir.isEmpty() || checker.isEmpty()) << "run through tests/e2e/e2e_postfix.sh";
    for (const QString &path : maildirFiles(maildir))
        QFile::remove(path);

    AppHarness h;
    writeJob(h.dir, windows);
    QStringList paths;
    for (const QString &name : attachments)
        paths << h.dir.filePath(name);
    if (!attachments.isEmpty()) {
        // 14 bytes: a data line whose length character is "." goes out dot-stuffed. The large
        // file crosses several of the window's data chunks.
        h.dir.write(attachments[0],
                    QByteArray("\x2e\x00\x0d\x0a\x20\x60\xff\xfe\x2e\x2e\x0a\x0d\x01\x7f", 14));
        QByteArray large(600 * 1024 + 7, Qt::Uninitialized);
        for (qsizetype i = 0; i < large.size(); ++i)
            large[i] = char((i * 7919) >> 3);
        h.dir.write(attachments[1], large);
    }
    frmBrevant &w = h.open(25, {}, frmBrevant::SeriesInterval);
    h.attach(paths);

    QElapsedTimer clock;
    clock.start();
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == QStringLiteral("OK!"); }, 30000))
        << "Label5: " << w.Label5->text().toStdString()
        << "; box: " << h.boxes.value(0).text.toStdString();
    EXPECT_GE(clock.elapsed(), 3 * frmBrevant::SeriesInterval - 50); // three ticks of 3000 ms
    EXPECT_TRUE(h.boxes.isEmpty()) << h.boxes.value(0).text.toStdString();
    EXPECT_EQ(w.job.SentCount, 3);
    ASSERT_TRUE(h.waitFor([&] { return allDelivered(maildir, 3); }, 30000));

    QStringList arguments = {checker, maildir, QStringLiteral("--job"), h.dir.path()};
    for (const QString &path : paths)
        arguments << QStringLiteral("--attach") << path;
    const auto check = [&](const QStringList &arguments) {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("python3"), arguments);
        EXPECT_TRUE(process.waitForFinished(60000));
        std::cout << process.readAll().toStdString();
        return process.exitCode();
    };
    EXPECT_EQ(check(arguments), 0);
    // And the checker does see a difference: an attachment that was never sent.
    EXPECT_EQ(check(arguments << QStringLiteral("--attach") << h.dir.filePath("mail.txt")), 1);
}

} // namespace

TEST(E2EPostfix, WindowsJobWithAttachmentsArrivesAsTheJobHoldsIt)
{
    runSeries(true, {QStringLiteral("a14.bin"), QStringLiteral("отчёт за год.bin")});
}

TEST(E2EPostfix, LinuxJobArrivesInWindows1251)
{
    runSeries(false, {});
}
