// Catches: a mailing that a real, strict Postfix refuses or stores other than the job holds it.
#include "AppHarness.h"
#include "Cp1251.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>

namespace {

// A series of three on the real 3000 ms timer from a job made on Windows (Windows-1251, CR LF) or
// on Linux (UTF-8, LF); check_maildir.py holds what Postfix stored against the job and files.
void runSeries(bool windows, const QStringList &attachments)
{
    const QString maildir = qEnvironmentVariable("BREVANT_E2E_MAILDIR");
    ASSERT_FALSE(maildir.isEmpty()) << "run through tests/e2e/e2e_postfix.sh";
    const auto stored = [&] { return QDir(maildir + "/new").entryList(QDir::Files); };
    for (const QString &name : stored())
        QFile::remove(maildir + "/new/" + name);

    AppHarness h;
    const auto file = [windows](QString text) {
        return windows ? Cp1251::fromUnicode(text.replace("\n", "\r\n")) : text.toUtf8();
    };
    h.dir.writeAll(file("vera@example.test\nanna@example.test\n <boris@example.test>\n"),
                   file("127.0.0.1\n"), file("news@example.test\n"),
                   file("Новости рассылки: выпуск №5 — «Осень», и ещё много слов\nне тема\n"),
                   file("Здравствуйте!\n.\n..\n\n.Строка с точкой в начале.\nДо свидания."));
    // 14 bytes: a data line whose length character is "." goes out dot-stuffed. The large file
    // crosses several of the window's data chunks.
    QByteArray large(600 * 1024 + 7, Qt::Uninitialized);
    for (qsizetype i = 0; i < large.size(); ++i)
        large[i] = char((i * 7919) >> 3);
    const QByteArray contents[] = {QByteArray("\x2e\0\r\n `\xff\xfe..\n\r\x01\x7f", 14), large};
    QStringList arguments = {qEnvironmentVariable("BREVANT_CHECK_MAILDIR"), maildir, "--job",
                             h.dir.path()};
    for (qsizetype i = 0; i < attachments.size(); ++i) {
        h.dir.write(attachments[i], contents[i]);
        arguments << "--attach" << h.dir.filePath(attachments[i]);
    }
    frmBrevant &w = h.open(25, {}, frmBrevant::SeriesInterval);
    h.attach(arguments.filter(h.dir.path() + "/"));

    QElapsedTimer clock;
    clock.start();
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }, 30000))
        << w.Label5->text().toStdString() << "; " << h.boxes.value(0).text.toStdString();
    EXPECT_GE(clock.elapsed(), 3 * frmBrevant::SeriesInterval - 50); // three ticks of 3000 ms
    EXPECT_TRUE(h.boxes.isEmpty()) << h.boxes.value(0).text.toStdString();
    // Nothing waits in Postfix's queue: every message accepted is written. The checker then says
    // whether they are the job's, in its output in the log.
    const auto settled = [&] {
        QProcess queue;
        queue.start("postqueue", {"-p"});
        return queue.waitForFinished() && queue.readAll().contains("Mail queue is empty");
    };
    EXPECT_TRUE(h.waitFor(settled, 30000));
    EXPECT_EQ(QProcess::execute("python3", arguments), 0);
    // And the checker does see a difference: an attachment that was never sent.
    EXPECT_EQ(QProcess::execute("python3", arguments << "--attach" << h.dir.filePath("mail.txt")),
              1);
}

} // namespace

TEST(E2EPostfix, WindowsJobWithAttachmentsArrivesAsTheJobHoldsIt)
{
    runSeries(true, {"a14.bin", "отчёт за год.bin"});
}

TEST(E2EPostfix, LinuxJobArrivesInWindows1251)
{
    runSeries(false, {});
}
