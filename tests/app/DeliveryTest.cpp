// Catches: a send that does not reach the server as the job says, a list that does not move on
// exactly once per delivered message, a series that does not stop with "OK!" or stalls, a
// counter that miscounts, a refusal or socket error without its box or with the wrong number,
// a time limit that is missing or the wrong one, two dialogues at once, boxes piling up, an
// attachment sent twice or from a stale file, and a crash when the window closes mid-dialogue.
#include "AppHarness.h"
#include "ScriptedServer.h"

#include <QTcpServer>
#include <QTimeZone>

#include <netinet/in.h>
#include <unistd.h>

using Act = ScriptedServer::Act;
using Bytes = QList<QByteArray>;

namespace {
const Bytes kABC = {"<a@example.test>", "<b@example.test>", "<c@example.test>"};
} // namespace

TEST(Delivery, PressesCountWhateverTheOutcomeAndWalkTheList)
{
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "MAIL refused" : "delivered");
        AppHarness h;
        ScriptedServer server;
        if (refused)
            server.answers["MAIL"] = {"550 no\r\n"};
        frmBrevant &w = h.open(server.port());
        const QStringList shown = {"b@example.test", "c@example.test", "c@example.test"};
        for (int press = 1; press <= 3; ++press) {
            h.sendOne();
            EXPECT_EQ(w.Label5->text(), press == 3 && !refused ? "OK!" : QString::number(press));
            EXPECT_EQ(w.txtRecipient->text(), refused ? "a@example.test" : shown[press - 1]);
        }
        EXPECT_EQ(server.deliveredTo, refused ? Bytes() : kABC);
        EXPECT_EQ(h.boxes.size(), refused ? 3 : 0);
    }
}

TEST(Delivery, SeriesWalksTheListThenStopsWithOk)
{
    for (const QByteArray list : {"a@example.test\r\nb@example.test\r\nc@example.test", ""}) {
        SCOPED_TRACE(list.isEmpty() ? "empty list" : "three addresses");
        AppHarness h;
        h.dir.write("mail.txt", list);
        ScriptedServer server;
        frmBrevant &w = h.open(server.port());
        w.Command1->click();
        EXPECT_TRUE(server.connections.isEmpty()) << "the series sends at its first tick";
        ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }));
        EXPECT_FALSE(w.Timer1->isActive());
        QTest::qWait(150);
        EXPECT_EQ(server.deliveredTo, list.isEmpty() ? Bytes{"<>"} : kABC);
        EXPECT_EQ(w.job.SentCount, list.isEmpty() ? 1 : 3);
    }
}

TEST(Delivery, RefusedRecipientIsRetriedAtEveryTickWithoutPilingUpBoxes)
{
    AppHarness h;
    ScriptedServer server;
    server.answers["RCPT"] = {"550 5.1.1 no such user\r\n"};
    frmBrevant &w = h.open(server.port());
    int connectionsDuringBox = -1;
    h.whileBoxOpen = [&] {
        if (connectionsDuringBox >= 0)
            return; // only the first box waits for its user
        const qsizetype before = server.connections.size();
        QTest::qWait(300); // several ticks while the user reads the box
        connectionsDuringBox = int(server.connections.size() - before);
        EXPECT_TRUE(w.Timer1->isActive());
    };
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return h.boxes.size() >= 3; }));
    w.Timer1->stop();
    EXPECT_EQ(connectionsDuringBox, 0);
    EXPECT_EQ(h.boxes[0].title, "SMTP Error");
    EXPECT_EQ(h.boxes[0].icon, QMessageBox::Information);
    EXPECT_EQ(h.boxes[0].text, "SMTP Error: 550 5.1.1 no such user\r\n");
    for (const auto &conn : server.connections)
        EXPECT_TRUE(conn->received.contains("RCPT TO:<a@example.test>\r\n"));
    EXPECT_EQ(w.job.CurrentIndex, 0);
}

TEST(Delivery, CommandsAndDataOnTheWireFromRepliesInPieces)
{
    AppHarness h;
    h.dir.writeAll("a@example.test", " 127.0.0.1 ", "  me@example.test  ", "\xD2\xE5\xEC\xE0",
                   ".\r\nline\nwith LF\r\n..two\r\n");
    h.dir.write("a.txt", "abc");
    ScriptedServer server;
    server.trickle = true;
    server.answers["220"] = {"220-test.example ESMTP\r\n220-second line\r\n220 ready\r\n"};
    server.answers["HELO"] = {"250-test.example\r\n250 8BITMIME\r\n"};
    frmBrevant::Options options;
    options.clock = [] {
        return QDateTime(QDate(2026, 12, 7), QTime(9, 41, 53), QTimeZone(10800));
    };
    options.random = [] { return quint64(0xABCDEF); };
    frmBrevant &w = h.open(server.port(), options);
    h.attach({h.dir.filePath("a.txt")});
    w.cmdSend->click();
    ASSERT_TRUE(h.waitFor([&] { return !w.dialogueOpen(); }, 10000));
    EXPECT_TRUE(server.receivedMidReply.isEmpty()) << "a command went out before its reply ended";
    ASSERT_EQ(server.connections.size(), 1);
    EXPECT_EQ(server.connections[0]->received.toStdString(),
              "HELO me\r\nMAIL FROM:<me@example.test>\r\nRCPT TO:<a@example.test>\r\nDATA\r\n"
              "From: me@example.test\r\nTo: a@example.test\r\n"
              "Date: Mon, 07 Dec 2026 09:41:53 +0300\r\n"
              "Message-ID: <20261207064153.0000000000ABCDEF@example.test>\r\n"
              "Subject: =?windows-1251?B?0uXs4A==?=\r\n\r\n"
              "\r\n..\r\nline\r\nwith LF\r\n...two\r\n\r\n"
              "begin 664 a.txt\r\n#86)C\r\n`\r\nend\r\n\r\n\r\n.\r\nQUIT\r\n");
    EXPECT_EQ(w.Label5->text(), "OK!");
}

TEST(Delivery, EachMessageCountsOnceHoweverQuitIsAnswered)
{
    const ScriptedServer::Answer quits[] = {
        {"221 bye\r\n"}, {"250 ok\r\n"}, {"", Act::Close}, {"", Act::Reset}, {"", Act::Silent}};
    for (const auto &quit : quits) {
        SCOPED_TRACE(int(quit.act));
        AppHarness h;
        ScriptedServer server;
        server.answers["QUIT"] = quit;
        frmBrevant::Options options;
        options.timeouts.quit = std::chrono::milliseconds(100); // replies may still take minutes
        frmBrevant &w = h.open(server.port(), options);
        w.Command1->click();
        ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }));
        QTest::qWait(50);
        EXPECT_TRUE(h.boxes.isEmpty()) << h.boxes.value(0).text.toStdString();
        EXPECT_EQ(server.deliveredTo, kABC);
        EXPECT_EQ(w.job.CurrentIndex, 2);
    }
}

TEST(Delivery, LineBreaksInFieldsAreNeverSent)
{
    // A job line holds no line break, but it may hold a NUL, and a typed address anything.
    struct Case
    {
        QByteArray host, sender, recipients;
        QString typed, field;
        bool connects;
    };
    const Case cases[] = {
        {QByteArray("127.0.0.1\0evil", 14), "me@x", "a@x", {}, "«Хост SMTP» содержит", false},
        {"127.0.0.1",
         QByteArray("me@x\0RCPT TO:<b@x>", 19),
         "a@x",
         {},
         "«Ваш E-mail» содержит",
         false},
        {"127.0.0.1", "  ", "a@x", {}, "«Ваш E-mail» не заполнено", false},
        {"127.0.0.1", "me@x", "a@x", "a@x\r\nDATA", "«E-mail адресата» содержит", true},
        {"127.0.0.1", "me@x", QByteArray("a@x\0b", 5), {}, "«E-mail адресата» содержит", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.field.toStdString());
        AppHarness h;
        h.dir.writeAll(c.recipients, c.host, c.sender, "s", "m");
        ScriptedServer server;
        frmBrevant &w = h.open(server.port());
        if (!c.typed.isEmpty())
            w.txtRecipient->setText(c.typed);
        h.sendOne();
        QTest::qWait(20);
        ASSERT_EQ(h.boxes.size(), 1);
        EXPECT_EQ(h.boxes[0].title, "SMTP Error");
        EXPECT_TRUE(h.boxes[0].text.contains(c.field)) << h.boxes[0].text.toStdString();
        EXPECT_EQ(server.connections.size(), c.connects ? 1 : 0);
        for (const auto &conn : server.connections)
            EXPECT_FALSE(conn->received.contains("RCPT")) << conn->received.toStdString();
        EXPECT_EQ(w.Label5->text(), "1");
    }
}

TEST(Delivery, SocketErrorsAndTimeLimitsInTheWinsockBox)
{
    // A listener that never accepts, its backlog full: a connection to it waits for ever.
    const int stuck = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(stuck, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(stuck, 0), 0);
    ::getsockname(stuck, reinterpret_cast<sockaddr *>(&address), &length);
    QList<std::shared_ptr<QTcpSocket>> filling;
    for (int i = 0; i < 3; ++i) {
        filling << std::make_shared<QTcpSocket>();
        filling.last()->connectToHost(QHostAddress::LocalHost, ntohs(address.sin_port));
    }
    QTest::qWait(50);
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    const quint16 closedPort = closed.serverPort();
    closed.close();

    struct Case
    {
        const char *name;
        const char *step; // the answer changed, or "" for none
        ScriptedServer::Answer answer;
        int number;
        quint16 port = 0; // 0: the scripted server
    };
    const Case cases[] = {
        {"refused", "", {}, 10061, closedPort},
        {"closed mid-dialogue", "MAIL", {"", Act::Close}, 10053},
        {"reset", "MAIL", {"", Act::Reset}, 10054},
        {"connect takes too long", "", {}, 10060, ntohs(address.sin_port)},
        {"no greeting", "220", {"", Act::Silent}, 10060},
        {"no answer to MAIL", "MAIL", {"", Act::Silent}, 10060},
        {"no answer to the end of the data", ".", {"", Act::Silent}, 10060},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AppHarness h;
        ScriptedServer server;
        if (*c.step)
            server.answers[c.step] = c.answer;
        // Each limit short only where it is the one that must end the wait.
        const std::string name = c.name;
        frmBrevant::Options options;
        options.timeouts.connect =
            std::chrono::milliseconds(name.starts_with("connect") ? 200 : 60000);
        options.timeouts.reply = std::chrono::milliseconds(c.step[0] == '.' ? 60000 : 200);
        options.timeouts.dataEnd = std::chrono::milliseconds(c.step[0] == '.' ? 200 : 60000);
        frmBrevant &w = h.open(c.port ? c.port : server.port(), options);
        h.sendOne();
        ASSERT_EQ(h.boxes.size(), 1);
        EXPECT_EQ(h.boxes[0].title, "Winsock Error");
        EXPECT_EQ(h.boxes[0].icon, QMessageBox::Warning);
        EXPECT_TRUE(
            h.boxes[0].text.startsWith(QStringLiteral("Winsock Error number %1\r\n").arg(c.number)))
            << h.boxes[0].text.toStdString();
        EXPECT_EQ(w.job.CurrentIndex, 0);
        EXPECT_EQ(w.Winsock1->state(), QAbstractSocket::UnconnectedState);
    }
    ::close(stuck);
    AppHarness h;
    h.dir.write("smtp.txt", "no-such-host.invalid");
    h.open();
    h.sendOne();
    ASSERT_EQ(h.boxes.size(), 1);
    EXPECT_TRUE(h.boxes[0].text.startsWith("Winsock Error number 11001\r\n"));
}

TEST(Delivery, OneDialogueAtATimeAndTypedRecipientIsUsed)
{
    AppHarness h;
    ScriptedServer server;
    server.answers["HELO"] = {"", Act::Silent};
    frmBrevant &w = h.open(server.port());
    w.txtRecipient->setText("typed@example.test");
    w.cmdSend->click();
    ASSERT_TRUE(h.waitFor([&] { return w.SessionStep() == 1; }));
    w.cmdSend->click();
    w.Command1->click();
    QTest::qWait(200); // several ticks
    EXPECT_EQ(server.connections.size(), 1);
    EXPECT_EQ(w.Label5->text(), "1");
    server.answers["HELO"] = {"250 hello\r\n"};
    server.connections[0]->socket->write("250 late hello\r\n");
    ASSERT_TRUE(h.waitFor([&] { return server.deliveredTo.size() == 3; }));
    EXPECT_EQ(server.deliveredTo,
              Bytes({"<typed@example.test>", "<b@example.test>", "<c@example.test>"}))
        << "the list moves on as after a listed address";
}

TEST(Delivery, AttachmentsAreReadAtEverySendAndGoOutOnce)
{
    AppHarness h;
    ScriptedServer server;
    server.answers["RCPT"] = {"550 not yet\r\n"};
    frmBrevant &w = h.open(server.port());
    for (const char *name : {"f.txt", "g.txt", "h.txt"})
        h.dir.write(name, "one");
    h.attach({h.dir.filePath("f.txt"), h.dir.filePath("g.txt"), h.dir.filePath("f.txt")});
    h.sendOne(); // refused before the data: the files must not linger for the next message
    server.answers["RCPT"] = {"250 ok\r\n"};
    h.dir.write("f.txt", "two!");
    h.sendOne();
    ASSERT_EQ(server.connections.size(), 2);
    const QByteArray data = server.connections[1]->data.value(0);
    EXPECT_EQ(data.count("begin 664 "), 3);
    EXPECT_EQ(data.count("begin 664 f.txt\r\n$='=O(2`@\r\n"), 2) << "f.txt in its new state";
    EXPECT_EQ(w.lstAttachments->currentRow(), 2);
    // "Удалить" takes the entry the user selected after the send, not the one the send left.
    w.lstAttachments->setCurrentRow(1);
    w.cmdRemove->click();
    ASSERT_EQ(w.lstAttachments->count(), 2);
    EXPECT_EQ(w.lstAttachments->item(1)->text(), h.dir.filePath("f.txt"));
}

TEST(Delivery, ClosingMidDialogueDropsTheLineWithoutABox)
{
    AppHarness h;
    ScriptedServer server;
    server.answers["RCPT"] = {"", Act::Silent};
    frmBrevant &w = h.open(server.port());
    w.show();
    w.cmdSend->click();
    ASSERT_TRUE(h.waitFor([&] { return w.SessionStep() == 3; }));
    w.close();
    h.window.reset();
    ASSERT_TRUE(h.waitFor([&] { return server.connections[0]->closedByClient; }));
    EXPECT_FALSE(server.connections[0]->received.contains("QUIT"));
    EXPECT_TRUE(h.boxes.isEmpty());
}

TEST(Delivery, RealBoxesNeverNest)
{
    AppHarness h;
    h.dir.write("sender.txt", "");
    frmBrevant::Options options;
    options.jobDirectory = h.dir.path();
    frmBrevant w(options); // the real QMessageBox, not the harness's recorder
    int boxes = -1;
    QTimer::singleShot(100, [&] {
        w.cmdSend->click(); // a second send while the first one's box is open
        boxes = 0;
        for (QWidget *top : QApplication::topLevelWidgets())
            boxes += qobject_cast<QMessageBox *>(top) && top->isVisible();
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
            box->accept();
    });
    w.cmdSend->click();
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(w.Label5->text(), "1") << "nothing new starts while a box is open";
}
