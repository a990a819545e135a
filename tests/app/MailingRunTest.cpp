// Catches: a second copy after a restart or for an address listed twice, a dead address retried
// for ever, a server that refuses everyone burning through the list, a delivered row not on disk
// before QUIT, a log row that Python's csv module reads otherwise, a mailing stopped by its log.
#include "AppHarness.h"
#include "DeliveryLog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {

const QByteArray kList = "a@example.test\r\nb@example.test\r\nc@example.test\r\n"
                         "d@example.test\r\ne@example.test\r\n";

// The rows of the log as Python's csv module reads them: every field, the header row first.
QList<QStringList> logRows(const TempDir &dir)
{
    QProcess python;
    python.start("python3", {"-c",
                             "import csv, json, sys\n"
                             "print(json.dumps(list(csv.reader(open(sys.argv[1], newline='', "
                             "encoding='utf-8')))))",
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
                         : "SMTP Error: 550-5.1.1 <b@example.test>: User unknown\r | SMTP Error: "
                           "550-5.1.1 <d@example.test>: User unknown\r");
        EXPECT_TRUE(!series || h.boxes[0].text.contains("Доставлено сейчас: 3.\nПропущено адресов, "
                                                        "которые не принимают почту: 2."));
        SKIP_WITHOUT_PYTHON();
        const QList<QStringList> rows = logRows(h.dir);
        ASSERT_EQ(rows.size(), 6);
        EXPECT_EQ(rows[0].join(','), "time,line,address,result,reply,message_id,mailing");
        EXPECT_EQ(column(rows, 1), "1 2 3 4 5");
        EXPECT_EQ(column(rows, 3), "delivered refused delivered refused delivered");
        EXPECT_EQ(rows[2][4], "550-5.1.1 <b@example.test>: User unknown 550 5.1.1 in virtual "
                              "mailbox table");
        EXPECT_EQ(rows[1][6], DeliveryLog::fingerprint("Subject", w.job.MailBody));
        EXPECT_TRUE(QDateTime::fromString(rows[1][0], Qt::ISODate).timeSpec() == Qt::UTC);
        EXPECT_TRUE(rows[1][5].startsWith('<') && rows[1][5].endsWith("@example.test>"));
    }
}

TEST(MailingRun, ThreeDeadAddressesInARowStopTheSeriesAtTheThird)
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
    EXPECT_EQ(h.boxes[0].text, "SMTP Error: 550 5.1.1 User unknown\r\n");
    EXPECT_EQ(w.txtRecipient->text(), "d@example.test");
    EXPECT_EQ(server.connections.size(), 4);
}

// A first window delivers two messages and is closed; the next one on the folder goes on at the
// third line, gives an address listed twice (in other letters) no second copy, and sends an
// address typed by hand as typed. Another subject is another mailing.
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
    EXPECT_EQ(h.open(server.port()).txtRecipient->text(), "a@example.test");
    SKIP_WITHOUT_PYTHON();
    EXPECT_EQ(column(logRows(h.dir), 1), "1 2 3 5 ");
}

// A list whose every address had the mailing: its last address shows, and a send sends nothing.
TEST(MailingRun, AMailingThatEveryAddressHadSendsNothingMore)
{
    AppHarness h;
    h.dir.write("mail.txt", "a@example.test\r\n");
    ScriptedServer server;
    h.open(server.port());
    h.sendOne();
    frmBrevant &w = h.open(server.port());
    ASSERT_TRUE(h.waitFor([&] { return !h.boxes.isEmpty(); }));
    EXPECT_TRUE(h.boxes[0].text.contains("Все адреса списка уже получили её."));
    EXPECT_EQ(w.txtRecipient->text(), "a@example.test");
    h.sendOne();
    EXPECT_EQ(w.Label5->text(), "OK!");
    EXPECT_EQ(server.connections.size(), 1);
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

// Root writes anywhere: as root the case runs in a copy of this program as the user nobody.
TEST(MailingRun, ALogThatCannotBeWrittenIsToldOnceAndTheMailingGoesOn)
{
#ifdef Q_OS_WIN
    GTEST_SKIP() << "a folder's permissions do not stop its owner from writing on Windows";
#else
    if (geteuid() == 0) {
        const QStringList asNobody = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                      QCoreApplication::applicationFilePath(),
                                      "--gtest_filter=MailingRun.ALogThatCannotBeWritten*"};
        EXPECT_EQ(QProcess::execute("setpriv", asNobody), 0);
        return;
    }
#endif
    AppHarness h;
    ASSERT_TRUE(QFile::setPermissions(h.dir.path(), QFile::ReadOwner | QFile::ExeOwner));
    ScriptedServer server;
    frmBrevant &w = h.open(server.port());
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }));
    EXPECT_EQ(server.deliveredTo.size(), 3);
    ASSERT_EQ(h.boxes.size(), 1);
    EXPECT_TRUE(h.boxes[0].text.startsWith("Не удалось записать журнал рассылки " +
                                           h.dir.filePath("brevant-log.csv") + ": "))
        << h.boxes[0].text.toStdString();
    QFile::setPermissions(h.dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}
