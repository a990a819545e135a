// Catches: a second copy after a restart, from a second window, after a corrected letter or a
// grown list, or for an address listed twice; a message sent while its row cannot be written or
// while the log cannot be read; a delivery lost from the log; a dead address retried for ever,
// a server that refuses everyone burning through the list, or a series that cannot get past it.
#include "AppHarness.h"
#include "Cp1251.h"
#include "DeliveryLog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>

#ifndef Q_OS_WIN
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const QByteArray kList = "a@example.test\r\nb@example.test\r\nc@example.test\r\n"
                         "d@example.test\r\ne@example.test\r\n";

// The rows of the log as Python's csv module reads them, as a spreadsheet in Russian settings
// would: every field, the header row first.
QList<QStringList> logRows(const TempDir &dir)
{
    QProcess python;
    python.start("python3", {"-c",
                             "import csv, json, sys\n"
                             "print(json.dumps(list(csv.reader(open(sys.argv[1], newline='', "
                             "encoding='utf-8-sig'), delimiter=';'))))",
                             dir.filePath(DeliveryLog::FileName)});
    python.waitForFinished();
    QList<QStringList> rows;
    for (const QJsonValue &row : QJsonDocument::fromJson(python.readAllStandardOutput()).array())
        rows << row.toVariant().toStringList();
    return rows;
}

// Column `column` of every row after the header, joined by spaces.
QString column(const QList<QStringList> &rows, int column)
{
    QStringList values;
    for (const QStringList &row : rows.mid(1))
        values << row.value(column);
    return values.join(' ');
}

// Each delivered address of the log, with how often, as the program reads the log.
QMap<QString, int> deliveredRows(const TempDir &dir)
{
    QMap<QString, int> count;
    DeliveryLog::read(dir.filePath(DeliveryLog::FileName), [&](const DeliveryLog::Row &row) {
        count[row.address] += row.result == DeliveryLog::Result::Delivered;
    });
    count.removeIf([](auto it) { return it.value() == 0; });
    return count;
}

QList<QByteArray> each(const QByteArray &list, int times = 1)
{
    QList<QByteArray> all;
    for (int i = 0; i < times; ++i) {
        for (const QByteArray &line : list.split('\n')) {
            if (!line.trimmed().isEmpty())
                all << '<' + line.trimmed() + '>';
        }
    }
    return all;
}

} // namespace

TEST(MailingRun, DeadAddressesArePassedOverAndLogged)
{
    for (const bool series : {true, false}) {
        SCOPED_TRACE(series ? "series" : "one at a time");
        AppHarness h;
        h.dir.write("mail.txt", kList);
        ScriptedServer server;
        for (const char *dead : {"b", "d"}) {
            server.answers[QByteArray("RCPT TO:<") + dead + "@example.test>"] = {
                QByteArray("550-5.1.1 <") + dead +
                "@example.test>: User unknown\r\n550 5.1.1 "
                "in virtual mailbox table\r\n"};
        }
        frmBrevant &w = h.open(server.port());
        if (series)
            w.Command1->click();
        for (int press = 0; !series && press < 5; ++press)
            h.sendOne();
        ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }));
        EXPECT_EQ(server.deliveredTo,
                  QList<QByteArray>({"<a@example.test>", "<c@example.test>", "<e@example.test>"}));
        // A series tells only at its end; one send at a time tells each refusal.
        QStringList boxes;
        for (const Box &box : h.boxes)
            boxes << box.text.section('\n', 0, 0);
        EXPECT_EQ(boxes.join(" | "),
                  series ? "Рассылка закончена."
                         : "SMTP Error: 550-5.1.1 <b@example.test>: User unknown | SMTP Error: "
                           "550-5.1.1 <d@example.test>: User unknown");
        EXPECT_TRUE(!series || h.boxes[0].text.contains("Доставлено сейчас: 3.\nПропущено адресов, "
                                                        "которые не принимают почту: 2."));
        SKIP_WITHOUT_PYTHON();
        const QList<QStringList> rows = logRows(h.dir);
        ASSERT_EQ(rows.size(), 7);
        EXPECT_EQ(rows[0].join(','), "time,line,address,result,reply,message_id,mailing");
        EXPECT_EQ(column(rows, 1), "1 2 3 4 5 ");
        EXPECT_EQ(column(rows, 3), "delivered refused delivered refused delivered finished");
        EXPECT_EQ(rows[2][4], "550-5.1.1 <b@example.test>: User unknown 550 5.1.1 in virtual "
                              "mailbox table");
        EXPECT_EQ(rows[1][6], DeliveryLog::fingerprint("Subject", w.job.MessageText));
        EXPECT_TRUE(QDateTime::fromString(rows[1][0], Qt::ISODate).isValid() &&
                    rows[1][0].endsWith('Z'));
        EXPECT_TRUE(rows[1][5].startsWith('<') && rows[1][5].endsWith("@example.test>"));
    }
}

// The third dead address in a row stops a series and stays in the box; "Послать серию" pressed
// again goes on past it, counting from none.
TEST(MailingRun, ThreeDeadAddressesInARowStopTheSeriesUntilItIsStartedAgain)
{
    AppHarness h;
    h.dir.write("mail.txt", kList);
    ScriptedServer server;
    server.answers["RCPT"] = {"550 5.1.1 User unknown\r\n"};
    server.answers["RCPT TO:<a@example.test>"] = {"250 ok\r\n"};
    frmBrevant &w = h.open(server.port());
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return !h.boxes.isEmpty(); }));
    EXPECT_FALSE(w.Timer1->isActive());
    EXPECT_EQ(h.boxes[0].text, "SMTP Error: 550 5.1.1 User unknown\n");
    EXPECT_EQ(w.txtRecipient->text(), "d@example.test");
    EXPECT_EQ(server.connections.size(), 4);
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }));
    EXPECT_EQ(server.connections.size(), 6) << "d once more, then e";
    EXPECT_TRUE(h.boxes.last().text.startsWith("Рассылка закончена."));
}

// A first window delivers two messages and is closed; the next one on the folder goes on at the
// third line, gives an address listed twice (in other letters) no second copy, and sends an
// address typed by hand as typed. Another subject after the end of the list is a new mailing.
TEST(MailingRun, ARestartSendsNoSecondCopy)
{
    AppHarness h;
    h.dir.write("mail.txt", "a@example.test\r\n<b@example.test>\r\nc@example.test\r\n"
                            " A@EXAMPLE.TEST \r\nd@example.test\r\n");
    ScriptedServer server;
    h.open(server.port());
    h.sendOne();
    h.sendOne();
    frmBrevant &w = h.open(server.port());
    ASSERT_TRUE(h.waitFor([&] { return !h.boxes.isEmpty(); }));
    EXPECT_EQ(w.txtRecipient->text(), "c@example.test");
    for (const char *part : {": 2, последний", "со строки 3 файла mail.txt: c@example.test",
                             "удалите или переименуйте файл brevant-log.csv"})
        EXPECT_TRUE(h.boxes[0].text.contains(part)) << h.boxes[0].text.toStdString();
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }));
    w.txtRecipient->setText("a@example.test");
    h.sendOne();
    EXPECT_EQ(server.deliveredTo,
              QList<QByteArray>({"<a@example.test>", "<b@example.test>", "<c@example.test>",
                                 "<d@example.test>", "<a@example.test>"}));
    h.dir.write("tema.txt", "Another subject");
    h.boxes.clear();
    EXPECT_EQ(h.open(server.port()).txtRecipient->text(), "a@example.test");
    QTest::qWait(10);
    EXPECT_TRUE(h.boxes.isEmpty()) << "nothing to ask: the last mailing was over";
    SKIP_WITHOUT_PYTHON();
    EXPECT_EQ(column(logRows(h.dir), 1), "1 2 3 5   ") << "the end reached twice, typed between";
}

TEST(MailingRun, TheDeliveredRowIsOnDiskWhenQuitArrives)
{
    SKIP_WITHOUT_PYTHON();
    AppHarness h;
    ScriptedServer server;
    QList<QStringList> atQuit;
    server.beforeAnswer = [&](const QByteArray &word) {
        if (word == "HELO") // typed while the dialogue runs: the address it takes at RCPT
            h.window->txtRecipient->setText("typed@example.test");
        if (word == "QUIT")
            atQuit = logRows(h.dir);
    };
    h.open(server.port());
    h.sendOne();
    ASSERT_EQ(atQuit.size(), 2);
    EXPECT_EQ(atQuit[1].mid(1, 3).join(' '), " typed@example.test delivered");
}

// The letter corrected after 3 of 6, or a subscriber added to a list of 41 (the notice block
// comes in at 42): the restart goes on with the same mailing. For a corrected letter the user is
// asked, Enter going on; "Начать новую" sends to everyone. A log of an earlier version, whose
// mailing is named by the body with the notice block, goes on too.
TEST(MailingRun, ACorrectedLetterOrAGrownListGoesOnWithTheSameMailing)
{
    const QByteArray six = TempDir::addresses(6);
    const QByteArray fortyOne = TempDir::addresses(41);
    const struct
    {
        const char *name;
        QByteArray before, after; // mail.txt of the first window, of the second
        QByteArray letter;        // message.txt of the second window
        QString answer;           // the button pressed, if asked; empty for Enter
        bool asked;
        int secondRun; // messages the second window sends
    } cases[] = {
        {"letter corrected, Enter", six, six, "Line one\r\nLine 2\r\n", "", true, 3},
        {"letter corrected, a new mailing", six, six, "Line one\r\nLine 2\r\n", "Начать новую",
         true, 6},
        {"41 lines grown to 42", fortyOne, fortyOne + "new@example.test\r\n",
         "Line one\r\nLine two\r\n", "", false, 39},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        AppHarness h;
        h.dir.write("mail.txt", c.before);
        ScriptedServer server;
        h.open(server.port());
        for (int i = 0; i < 3; ++i)
            h.sendOne();
        h.dir.write("mail.txt", c.after);
        h.dir.write("message.txt", c.letter);
        h.boxes.clear();
        h.closer.answers = {c.answer};
        frmBrevant &w = h.open(server.port());
        ASSERT_TRUE(h.waitFor([&] { return !h.boxes.isEmpty(); }));
        EXPECT_EQ(h.boxes[0].icon, c.asked ? QMessageBox::Question : QMessageBox::Warning);
        if (c.asked) {
            EXPECT_TRUE(h.boxes[0].text.startsWith("Тема или текст письма изменились"));
            for (const char *part : {"её получили 3 адресов",
                                     "Следующая — строка 4 файла mail.txt: user3@example.test"})
                EXPECT_TRUE(h.boxes[0].text.contains(part)) << h.boxes[0].text.toStdString();
        }
        w.Command1->click();
        ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }, 10000));
        EXPECT_EQ(server.deliveredTo.size(), 3 + c.secondRun);
        EXPECT_EQ(QSet<QByteArray>(server.deliveredTo.begin(), server.deliveredTo.end()).size(),
                  c.after.count('\n'));
        // Started once more, nothing is asked and nothing is left to send.
        h.boxes.clear();
        frmBrevant &again = h.open(server.port());
        ASSERT_TRUE(h.waitFor([&] { return !h.boxes.isEmpty(); }));
        EXPECT_TRUE(h.boxes[0].text.contains("Все адреса списка уже получили её."))
            << h.boxes[0].text.toStdString();
        EXPECT_EQ(again.txtRecipient->text(), c.after.trimmed().split('\n').last().trimmed())
            << "the last address shows";
        h.sendOne();
        EXPECT_EQ(again.Label5->text(), "OK!");
        EXPECT_EQ(server.deliveredTo.size(), 3 + c.secondRun);
    }

    // An earlier version's log of the same job with 42 lines: commas, the body's fingerprint.
    AppHarness h;
    h.dir.write("mail.txt", fortyOne + "new@example.test\r\n");
    MailingJob job(h.dir.path());
    job.LoadAll();
    QByteArray log = "time,line,address,result,reply,message_id,mailing\r\n";
    for (int i = 0; i < 3; ++i)
        log += "2026-12-07T06:00:0" + QByteArray::number(i) + "Z," + QByteArray::number(i + 1) +
               ",user" + QByteArray::number(i) + "@example.test,delivered,250 ok,<" +
               QByteArray::number(i) + "@x>," +
               DeliveryLog::bodyFingerprint(job.SubjectLine, job.MailBody) + "\r\n";
    h.dir.write(DeliveryLog::FileName, log);
    ScriptedServer server;
    frmBrevant &w = h.open(server.port());
    EXPECT_EQ(w.txtRecipient->text(), "user3@example.test");
    h.sendOne();
    SKIP_WITHOUT_PYTHON();
    QProcess python;
    python.start("python3", {"-c",
                             "import csv, sys\n"
                             "for r in list(csv.reader(open(sys.argv[1], newline='')))[-2:]: "
                             "print(r[3], r[2])",
                             h.dir.filePath(DeliveryLog::FileName)});
    ASSERT_TRUE(python.waitForFinished());
    EXPECT_EQ(python.readAllStandardOutput(), "continued \ndelivered user3@example.test\n");
}

// A second window on the folder sends nothing while the first has it open; once the first is
// closed, it takes the job over and goes on from what the log says the first one sent.
TEST(MailingRun, TwoWindowsOnOneFolderSendEachAddressOnce)
{
    AppHarness h;
    ScriptedServer server;
    frmBrevant &first = h.open(server.port());
    frmBrevant &second = h.open(server.port(), {}, 40, true);
    ASSERT_TRUE(h.waitFor([&] { return !h.boxes.isEmpty(); }));
    EXPECT_TRUE(
        h.boxes[0].text.contains(QString("задание уже открыто в другом окне программы (процесс %1)")
                                     .arg(QCoreApplication::applicationPid())))
        << h.boxes[0].text.toStdString();
    EXPECT_EQ(second.lblStatus->text(), QString("Пауза: задание уже открыто в другом окне "
                                                "программы (процесс %1).")
                                            .arg(QCoreApplication::applicationPid()));
    second.Command1->click();
    second.cmdSend->click();
    first.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return first.Label5->text() == "OK!"; }));
    EXPECT_EQ(second.Label5->text(), "0");
    h.others.clear(); // the first window is closed
    ASSERT_TRUE(h.waitFor([&] { return second.Label5->text() == "OK!"; }));
    EXPECT_EQ(server.deliveredTo, each(kList.left(48)));
    EXPECT_TRUE(second.lblStatus->text().isEmpty());
}

// A log that exists but cannot be read or understood: a box at start-up naming it and why,
// nothing sent from the window, each press told, a series told once; moved away, the series goes
// on by itself.
TEST(MailingRun, ALogThatCannotBeReadStopsEverySendUntilItIsMovedAway)
{
    const struct
    {
        const char *name;
        char kind; // 'h' no header, 'f' a folder, 'l' a link to a good log, 'p' a named pipe
        QString reason;
    } cases[] = {
        {"no header", 'h', "в нём нет строки заголовка"},
        {"a folder", 'f', "это папка, а не файл"},
#ifndef Q_OS_WIN
        {"a link", 'l', "это символическая ссылка, а не файл"},
        {"a pipe", 'p', "это не обычный файл, а канал, устройство или сокет"},
#endif
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        AppHarness h;
        const QString path = h.dir.filePath(DeliveryLog::FileName);
        if (c.kind == 'h')
            h.dir.write(DeliveryLog::FileName, "a@example.test\r\nb@example.test\r\n");
        if (c.kind == 'f')
            QDir().mkdir(path);
#ifndef Q_OS_WIN
        if (c.kind == 'l')
            QFile::link(h.dir.write("real.csv", "time;address;result;mailing\r\n"), path);
        if (c.kind == 'p')
            ::mkfifo(qPrintable(path), 0600);
#endif
        ScriptedServer server;
        frmBrevant &w = h.open(server.port());
        ASSERT_TRUE(h.waitFor([&] { return !h.boxes.isEmpty(); }));
        const QString told = "Не удалось прочитать журнал рассылки " +
                             QDir::toNativeSeparators(path) + ": " + c.reason;
        EXPECT_TRUE(h.boxes[0].text.startsWith(told)) << h.boxes[0].text.toStdString();
        EXPECT_TRUE(h.boxes[0].text.contains("из этого окна письма не отправляются"));
        h.sendOne();
        h.sendOne();
        w.Command1->click();
        QTest::qWait(200); // several ticks
        EXPECT_EQ(h.boxes.size(), 4) << "the start, each press, and the series once";
        EXPECT_TRUE(server.connections.isEmpty());
        EXPECT_EQ(w.Label5->text(), "0");
        EXPECT_TRUE(w.lblStatus->text().startsWith("Пауза: журнал brevant-log.csv не читается"));
        if (c.kind == 'f')
            QDir().rmdir(path);
        else
            QFile::remove(path);
        ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }));
        EXPECT_EQ(server.deliveredTo, each(kList.left(48)));
    }
}

// Root writes anywhere: as root the case runs in a copy of this program as the user nobody.
// A folder or a log that cannot be written: nothing is sent, a series says why once and goes on
// by itself once it can be written, and nobody is missed or served twice.
TEST(MailingRun, NothingIsSentWhileTheLogCannotBeWritten)
{
#ifdef Q_OS_WIN
    GTEST_SKIP() << "a folder's permissions do not stop its owner from writing on Windows";
#else
    if (geteuid() == 0) {
        const QStringList asNobody = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                      QCoreApplication::applicationFilePath(),
                                      "--gtest_filter=MailingRun.NothingIsSentWhileTheLogCannot*"};
        EXPECT_EQ(QProcess::execute("setpriv", asNobody), 0);
        return;
    }
    for (const bool folder : {true, false}) {
        SCOPED_TRACE(folder ? "a folder without write permission" : "a log without it");
        AppHarness h;
        ScriptedServer server;
        const QString log = h.dir.filePath(DeliveryLog::FileName);
        const auto writable = [&](bool yes) {
            QFile::Permissions mode = QFile::ReadOwner;
            if (yes)
                mode |= QFile::WriteOwner;
            return folder ? QFile::setPermissions(h.dir.path(), mode | QFile::ExeOwner)
                          : QFile::setPermissions(log, mode);
        };
        if (!folder)
            h.dir.write(DeliveryLog::FileName, "");
        ASSERT_TRUE(writable(false));
        frmBrevant &w = h.open(server.port());
        const QString reason = folder ? "нет прав на запись в папку задания" : "нет прав на запись";
        // The series' box stays open while the series waits, and while it goes on by itself.
        bool wentOn = false;
        h.whileBoxOpen = [&] {
            QTest::qWait(200); // several ticks
            EXPECT_TRUE(server.connections.isEmpty());
            EXPECT_EQ(w.lblStatus->text(),
                      "Пауза: журнал brevant-log.csv не записывается (" + reason + ").");
            EXPECT_TRUE(writable(true));
            wentOn = h.waitFor([&] { return w.Label5->text() == "OK!"; });
        };
        w.Command1->click();
        ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }));
        EXPECT_TRUE(wentOn);
        ASSERT_EQ(h.boxes.size(), 1);
        EXPECT_TRUE(h.boxes[0].text.startsWith("Не удаётся записать журнал рассылки " + log + ": " +
                                               reason + "."))
            << h.boxes[0].text.toStdString();
        EXPECT_EQ(server.deliveredTo, each(kList.left(48)));
        EXPECT_EQ(deliveredRows(h.dir),
                  (QMap<QString, int>{
                      {"a@example.test", 1}, {"b@example.test", 1}, {"c@example.test", 1}}));
        EXPECT_TRUE(w.lblStatus->text().isEmpty());
    }
#endif
}

// A delivery whose row does not fit on the disk (a limit on the file's size stands for a full
// disk): the series stops with a box, the row waits and is written before the next message, and
// a window closed before that names the address whose delivery is not in the log.
TEST(MailingRun, ADeliveryWhoseRowCannotBeWrittenStopsTheSeriesAndIsWrittenLater)
{
#ifdef Q_OS_WIN
    GTEST_SKIP() << "no limit on the size of a file on Windows";
#else
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit unlimited;
    ::getrlimit(RLIMIT_FSIZE, &unlimited);
    for (const bool closeEarly : {false, true}) {
        SCOPED_TRACE(closeEarly ? "closed before the row is written" : "the row written later");
        AppHarness h;
        ScriptedServer server;
        frmBrevant &w = h.open(server.port());
        h.sendOne();
        const rlimit full = {rlim_t(QFileInfo(h.dir.filePath(DeliveryLog::FileName)).size() + 30),
                             unlimited.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &full);
        w.Command1->click();
        ASSERT_TRUE(h.waitFor([&] { return !h.boxes.isEmpty(); }));
        EXPECT_FALSE(w.Timer1->isActive());
        EXPECT_TRUE(h.boxes[0].text.startsWith(
            "Письмо на адрес b@example.test отправлено, но записать это в журнал рассылки"))
            << h.boxes[0].text.toStdString();
        EXPECT_TRUE(
            w.lblStatus->text().startsWith("Пауза: журнал brevant-log.csv не записывается"));
        w.Command1->click();
        QTest::qWait(200);
        EXPECT_EQ(server.deliveredTo.size(), 2) << "nothing goes out while the row waits";
        if (closeEarly) {
            w.close();
            EXPECT_TRUE(
                h.boxes.last().text.startsWith("Эти адреса получили письмо, но в журнал рассылки " +
                                               h.dir.filePath(DeliveryLog::FileName) +
                                               " это записать не удалось: b@example.test."));
            ::setrlimit(RLIMIT_FSIZE, &unlimited);
            continue;
        }
        ::setrlimit(RLIMIT_FSIZE, &unlimited);
        ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }));
        EXPECT_EQ(server.deliveredTo, each(kList.left(48)));
        EXPECT_EQ(deliveredRows(h.dir),
                  (QMap<QString, int>{
                      {"a@example.test", 1}, {"b@example.test", 1}, {"c@example.test", 1}}));
    }
    std::signal(SIGXFSZ, previous);
#endif
}

// Lines as address books and spreadsheets export them: RCPT TO gets the address alone, To the
// name; a restart after three of them, and the same address in another form, send no second
// copy; a malformed line is passed over after the server's syntax reply.
TEST(MailingRun, NamedLinesGoToTheirAddressAndARestartKnowsThemByIt)
{
    AppHarness h;
    const QString lines[] = {"Анна Иванова <anna@example.test>",
                             "boris@example.test;Борис",
                             "\"Иванова, Вера\" <vera@example.test>",
                             "Gleb <not an address>",
                             "ANNA@example.test,Anna",
                             "dina@example.test"};
    QByteArray list;
    for (const QString &line : lines)
        list += Cp1251::fromUnicode(line) + "\r\n";
    h.dir.write("mail.txt", list);
    ScriptedServer server;
    server.answers["RCPT TO:<Gleb <not an address>>"] = {"501 5.1.3 Bad recipient address "
                                                         "syntax\r\n"};
    h.open(server.port());
    for (int i = 0; i < 3; ++i)
        h.sendOne();
    for (const auto &[name, address] :
         {std::pair{"Анна Иванова", "anna"}, {"Борис", "boris"}, {"Иванова, Вера", "vera"}}) {
        const QByteArray to = "To: =?windows-1251?B?" +
                              Cp1251::fromUnicode(QString::fromUtf8(name)).toBase64() + "?= <" +
                              address + "@example.test>\r\n";
        EXPECT_TRUE(std::any_of(server.connections.begin(), server.connections.end(),
                                [&](const auto &c) { return c->received.contains(to); }))
            << to.toStdString();
    }
    h.boxes.clear();
    frmBrevant &w = h.open(server.port());
    ASSERT_TRUE(h.waitFor([&] { return !h.boxes.isEmpty(); }));
    EXPECT_TRUE(h.boxes[0].text.contains(": 3, последний")) << h.boxes[0].text.toStdString();
    EXPECT_EQ(w.txtRecipient->text(), lines[3]) << "the line as the file holds it";
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }));
    EXPECT_EQ(server.deliveredTo,
              QList<QByteArray>({"<anna@example.test>", "<boris@example.test>",
                                 "<vera@example.test>", "<dina@example.test>"}));
    EXPECT_EQ(deliveredRows(h.dir).keys(), QStringList({"anna@example.test", "boris@example.test",
                                                        "dina@example.test", "vera@example.test"}));
}

// A list of one address whose delivery reached the log, the power lost before the end of the list
// did: the next start knows the mailing and its series sends nothing.
TEST(MailingRun, AListOfOneCutOffAfterItsDeliveryGetsNoSecondCopy)
{
    AppHarness h;
    h.dir.write("mail.txt", "only@example.test\r\n");
    ScriptedServer server;
    h.open(server.port());
    h.sendOne();
    QFile log(h.dir.filePath(DeliveryLog::FileName));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    QList<QByteArray> rows = log.readAll().split('\n');
    log.close();
    rows.removeIf([](const QByteArray &row) { return row.contains(";finished;"); });
    ASSERT_EQ(rows.size(), 3) << "the header, the delivery and the end of the line";
    h.dir.write(DeliveryLog::FileName, rows.join('\n'));
    h.boxes.clear();
    frmBrevant &w = h.open(server.port());
    ASSERT_TRUE(h.waitFor([&] { return !h.boxes.isEmpty(); }));
    EXPECT_TRUE(h.boxes[0].text.contains(": 1, последний — ")) << h.boxes[0].text.toStdString();
    EXPECT_TRUE(h.boxes[0].text.contains("Все адреса списка уже получили её."));
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return !w.Timer1->isActive(); }));
    EXPECT_EQ(w.Label5->text(), "OK!");
    EXPECT_EQ(server.deliveredTo, QList<QByteArray>({"<only@example.test>"}));
}
