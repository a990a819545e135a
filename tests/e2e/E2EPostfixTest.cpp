// Catches: a mailing that a real, strict Postfix refuses or stores other than the job holds it.
#include "AppHarness.h"
#include "Cp1251.h"
#include "DeliveryLog.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSslConfiguration>

namespace {

// The recipient of each message stored in the Maildir `maildir`, sorted, joined by spaces.
QString storedFor(const QString &maildir)
{
    QStringList stored;
    for (const QString &name : QDir(maildir + "/new").entryList(QDir::Files)) {
        QFile file(maildir + "/new/" + name);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        for (const QByteArray &line : file.readAll().split('\n'))
            if (line.startsWith("X-Original-To: "))
                stored << line.mid(15).trimmed();
    }
    stored.sort();
    return stored.join(' ');
}

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
#ifdef Q_OS_WIN // no postqueue or Python to wait for: scripts/test-windows.sh checks the job after
    h.dir.setAutoRemove(false);
    QFile check(qEnvironmentVariable("BREVANT_E2E_CHECK_ARGS"));
    ASSERT_TRUE(check.open(QIODevice::WriteOnly));
    check.write(arguments.mid(1).join('\n').toUtf8());
    return;
#endif
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

// Two of eight addresses are unknown to the server: the series passes them over and ends, each
// known address has one message, and the log holds every verdict, as Python's csv reads it.
TEST(E2EPostfix, DeadAddressesArePassedOverAndEveryVerdictIsLogged)
{
    const QString maildir = qEnvironmentVariable("BREVANT_E2E_MAILDIR");
    for (const QString &name : QDir(maildir + "/new").entryList(QDir::Files))
        QFile::remove(maildir + "/new/" + name);
    AppHarness h;
    h.dir.write("mail.txt", "anna@list.test\nboris@list.test\ndead1@list.test\nvera@list.test\n"
                            "gleb@list.test\ndead2@list.test\ndina@list.test\negor@list.test\n");
    frmBrevant &w = h.open(25);
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }, 30000));
    ASSERT_EQ(h.boxes.size(), 1);
    EXPECT_TRUE(h.boxes[0].text.contains("Доставлено сейчас: 6.\nПропущено адресов, которые не "
                                         "принимают почту: 2."));
    QProcess check;
    check.start("python3", {"-c",
                            "import csv, email, glob, sys, collections\n"
                            "got = collections.Counter(email.message_from_binary_file(open(f, "
                            "'rb'))['X-Original-To'] for f in glob.glob(sys.argv[1] + '/new/*'))\n"
                            "rows = list(csv.reader(open(sys.argv[2], newline='', "
                            "encoding='utf-8-sig'), delimiter=';'))[1:-1]\n"
                            "print(sorted(got.items()))\n"
                            "print([(r[2], r[3], r[4][:9]) for r in rows])",
                            maildir, h.dir.filePath(DeliveryLog::FileName)});
    ASSERT_TRUE(check.waitForFinished());
    EXPECT_EQ(QString(check.readAllStandardOutput()),
              "[('anna@list.test', 1), ('boris@list.test', 1), ('dina@list.test', 1), "
              "('egor@list.test', 1), ('gleb@list.test', 1), ('vera@list.test', 1)]\n"
              "[('anna@list.test', 'delivered', '250 2.0.0'), ('boris@list.test', 'delivered', "
              "'250 2.0.0'), "
              "('dead1@list.test', 'refused', '550 5.1.1'), ('vera@list.test', 'delivered', '250 "
              "2.0.0'), "
              "('gleb@list.test', 'delivered', '250 2.0.0'), ('dead2@list.test', 'refused', '550 "
              "5.1.1'), "
              "('dina@list.test', 'delivered', '250 2.0.0'), ('egor@list.test', 'delivered', '250 "
              "2.0.0')]\n")
        << check.readAllStandardError().toStdString();
}

// A list in every form an address book or a spreadsheet gives, one line broken: each address
// gets one message whose To field Python's email reads back as the line's name and address, and
// the broken line, sent whole, is passed over after the server's syntax reply.
TEST(E2EPostfix, NamedLinesArriveUnderTheirNamesAndABrokenOneIsPassedOver)
{
    const QString maildir = qEnvironmentVariable("BREVANT_E2E_MAILDIR");
    for (const QString &name : QDir(maildir + "/new").entryList(QDir::Files))
        QFile::remove(maildir + "/new/" + name);
    AppHarness h;
    h.dir.write("mail.txt",
                Cp1251::fromUnicode(u"Анна Иванова <anna@list.test>\r\n"
                                    u"boris@list.test;Борис Петров\r\n"
                                    u"\"Иванова, Вера \\\"Верочка\\\"\" <vera@list.test>\r\n"
                                    u"Глеб Сидоров <gleb@list.test\r\n"
                                    u"dina@list.test\tДина\r\n"
                                    u"\"Egor, Jr.\",egor@list.test\r\n"));
    frmBrevant &w = h.open(25);
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }, 30000));
    ASSERT_EQ(h.boxes.size(), 1);
    EXPECT_TRUE(h.boxes[0].text.contains("Пропущено адресов, которые не принимают почту: 1."));
    SKIP_WITHOUT_PYTHON();
    QProcess check;
    check.start(
        "python3",
        {"-c",
         "import email, email.policy, glob, sys\n"
         "for f in sorted(glob.glob(sys.argv[1] + '/new/*')):\n"
         "    m = email.message_from_binary_file(open(f, 'rb'), "
         "policy=email.policy.default)\n"
         "    a = m['To'].addresses[0]\n"
         "    print(m['X-Original-To'], a.username + '@' + a.domain, a.display_name, sep='|')",
         maildir});
    ASSERT_TRUE(check.waitForFinished());
    QStringList got =
        QString::fromUtf8(check.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    got.sort();
    EXPECT_EQ(got.join('\n'), "anna@list.test|anna@list.test|Анна Иванова\n"
                              "boris@list.test|boris@list.test|Борис Петров\n"
                              "dina@list.test|dina@list.test|Дина\n"
                              "egor@list.test|egor@list.test|Egor, Jr.\n"
                              "vera@list.test|vera@list.test|Иванова, Вера \"Верочка\"")
        << check.readAllStandardError().toStdString();
}

// Through the provider-like server of with_submission.sh: a series of three to a domain it
// relays to only after a login, on 587 (STARTTLS) and 465 (TLS from the first byte), each
// address once, the login in Postfix's log; a wrong password delivers nothing and is asked again.
class E2ESubmission : public testing::Test
{
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("BREVANT_E2E_CA"))
            GTEST_SKIP() << "run through scripts/mail-server/with_submission.sh";
        QSslConfiguration trusted = QSslConfiguration::defaultConfiguration();
        trusted.addCaCertificates(qEnvironmentVariable("BREVANT_E2E_CA"));
        QSslConfiguration::setDefaultConfiguration(trusted); // the program trusts the system's
    }

    // Sends the series through `port`; returns the addresses stored, one line each, sorted.
    QString series(int port, const QStringList &passwords)
    {
        const QString maildir = qEnvironmentVariable("BREVANT_E2E_REMOTE_MAILDIR");
        for (const QString &name : QDir(maildir + "/new").entryList(QDir::Files))
            QFile::remove(maildir + "/new/" + name);
        h.window.reset(); // its log is open, and Windows removes no open file
        QFile::remove(h.dir.filePath(DeliveryLog::FileName)); // the same mailing once more
        h.dir.writeAll("anna@remote.test\nboris@remote.test\nvera@remote.test\n",
                       qgetenv("BREVANT_E2E_HOST") + ':' + QByteArray::number(port) + "\n" +
                           qgetenv("BREVANT_E2E_LOGIN") + '\n',
                       "<news@example.test>\n", "Через провайдера\n", "Здравствуйте!\n");
        frmBrevant::Options options;
        options.askPassword = [this, passwords](const QString &, const QString &) {
            return passwords.value(asked++);
        };
        frmBrevant &w = h.open(quint16(port), options);
        w.Command1->click();
        EXPECT_TRUE(h.waitFor([&] { return !w.Timer1->isActive(); }, 30000)); // "OK!" or cancel
        return storedFor(maildir);
    }

    AppHarness h;
    int asked = 0;
};

TEST_F(E2ESubmission, SeriesOfThreeThroughEachPortAfterALogin)
{
    QFile log(qEnvironmentVariable("BREVANT_E2E_MAILLOG"));
    for (const int port : {587, 465}) {
        SCOPED_TRACE(port);
        asked = 0;
        h.boxes.clear();
        EXPECT_EQ(series(port, {qEnvironmentVariable("BREVANT_E2E_PASSWORD")}),
                  "anna@remote.test boris@remote.test vera@remote.test");
        EXPECT_EQ(asked, 1);
        EXPECT_TRUE(h.boxes.isEmpty()) << h.boxes.value(0).text.toStdString();
    }
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray lines = log.readAll();
    EXPECT_EQ(lines.count("sasl_method=PLAIN, sasl_username=news@example.test"), 6);
    EXPECT_EQ(lines.count("/submission/smtpd[") > 0 && lines.count("/submissions/smtpd[") > 0,
              true);
}

// The next tick asks again; a cancel stops the series.
TEST_F(E2ESubmission, AWrongPasswordDeliversNothingAndIsAskedAgain)
{
    EXPECT_EQ(series(587, {"wrong"}), "");
    ASSERT_EQ(h.boxes.size(), 1);
    EXPECT_TRUE(h.boxes[0].text.startsWith("SMTP Error: 535 5.7.8"))
        << h.boxes[0].text.toStdString();
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(h.window->Label5->text(), "1");
}

// After 3 of 6 the provider refuses the account for a while with a 4xx (check_sender_access and
// a reload of the real Postfix): the series shows no box, tries once at the end of each wait (1,
// then 2 minutes of its clock), and once the account is accepted again every address has one
// message.
TEST_F(E2ESubmission, AnAccountRefusedForAWhileIsWaitedForWithoutABox)
{
#ifdef Q_OS_WIN
    GTEST_SKIP() << "postconf and postfix reload are Linux programs, which Wine starts unwaited";
#endif
    const QString etc = qEnvironmentVariable("MAIL_CONFIG");
    const auto postfix = [&](const QString &restrictions) {
        EXPECT_EQ(QProcess::execute(
                      "postconf", {"-c", etc, "-e", "smtpd_sender_restrictions = " + restrictions}),
                  0);
        EXPECT_EQ(QProcess::execute("postfix", {"-c", etc, "reload"}), 0);
    };
    QFile refused(etc + "/refused");
    ASSERT_TRUE(refused.open(QIODevice::WriteOnly));
    refused.write("news@example.test 451 4.7.1 Sending limit exceeded, try again later\n");
    refused.close();
    const QString maildir = qEnvironmentVariable("BREVANT_E2E_REMOTE_MAILDIR");
    for (const QString &name : QDir(maildir + "/new").entryList(QDir::Files))
        QFile::remove(maildir + "/new/" + name);
    h.dir.writeAll(TempDir::addresses(6).replace("example.test", "remote.test"),
                   qgetenv("BREVANT_E2E_HOST") + ":587\n", "news@example.test\n", "Пауза\n",
                   "Здравствуйте!\n");
    QDateTime now = QDateTime::currentDateTime();
    frmBrevant::Options options;
    options.askPassword = [](const QString &, const QString &) {
        return qEnvironmentVariable("BREVANT_E2E_PASSWORD");
    };
    options.clock = [&now] { return now; };
    frmBrevant &w = h.open(587, options);
    int delivered = 0;
    QObject::connect(w.Winsock1, &SmtpConnection::delivered, [&] {
        if (++delivered == 3)
            w.Timer1->setInterval(3'600'000); // the next tick waits until Postfix refuses
    });
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return delivered == 3 && !w.Winsock1->isOpen(); }, 30000));
    postfix("check_sender_access texthash:" + etc + "/refused");
    w.Timer1->setInterval(40);
    ASSERT_TRUE(h.waitFor([&] { return w.lblStatus->text().startsWith("Пауза до "); }, 30000));
    EXPECT_TRUE(w.lblStatus->text().contains("451 4.7.1")) << w.lblStatus->text().toStdString();
    QStringList sends = {w.Label5->text()};
    for (const int minutes : {1, 2}) {
        QTest::qWait(500); // ticks go by
        sends << w.Label5->text();
        now = now.addSecs(minutes * 60);
        const QString status = w.lblStatus->text();
        ASSERT_TRUE(h.waitFor(
            [&] {
                return w.lblStatus->text() != status && !w.Winsock1->isOpen() &&
                       !w.lblStatus->text().isEmpty();
            },
            30000));
        sends << w.Label5->text();
    }
    EXPECT_EQ(sends.join(' '), "4 4 5 5 6") << "one try at the end of each wait, none between";
    postfix("");
    now = now.addSecs(4 * 60);
    ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }, 30000));
    EXPECT_TRUE(h.boxes.isEmpty()) << h.boxes.value(0).text.toStdString();
    EXPECT_EQ(storedFor(maildir), "user0@remote.test user1@remote.test user2@remote.test "
                                  "user3@remote.test user4@remote.test user5@remote.test");
}
