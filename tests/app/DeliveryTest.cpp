// Sending from the window against a scripted SMTP server on loopback.
#include "AppHarness.h"
#include "ScriptedServer.h"

#include <QTcpServer>
#include <QTimeZone>

namespace {

using Act = ScriptedServer::Act;

// A window on the harness's job, talking to `server`, with a fast series timer.
frmBrevant &openOn(AppHarness &h, const ScriptedServer &server, frmBrevant::Options options = {})
{
    frmBrevant &w = h.open(server.port(), options);
    w.Timer1->setInterval(40);
    return w;
}

bool idle(const frmBrevant &w)
{
    return !w.dialogueOpen();
}

// Presses "Послать одно" and waits until the dialogue has ended.
void sendOne(AppHarness &h, frmBrevant &w)
{
    w.cmdSend->click();
    ASSERT_TRUE(h.waitFor([&] { return idle(w); }));
}

} // namespace

TEST(Delivery, ThreePressesCountAndWalkTheList)
{
    AppHarness h;
    ScriptedServer server;
    frmBrevant &w = openOn(h, server);
    const QStringList shownAfter = {"b@example.test", "c@example.test", "c@example.test"};
    for (int press = 1; press <= 3; ++press) {
        sendOne(h, w);
        EXPECT_EQ(w.Label5->text(), press < 3 ? QString::number(press) : QStringLiteral("OK!"));
        EXPECT_EQ(w.txtRecipient->text(), shownAfter[press - 1]);
        EXPECT_EQ(w.job.SentCount, press);
    }
    EXPECT_EQ(server.deliveredTo(),
              QList<QByteArray>({"<a@example.test>", "<b@example.test>", "<c@example.test>"}));
    EXPECT_TRUE(h.boxes.isEmpty()) << h.boxes.value(0).text.toStdString();
}

TEST(Delivery, CounterShowsEveryStartedSendWhateverTheOutcome)
{
    AppHarness h;
    ScriptedServer server;
    server.answers["MAIL"] = {"550 no\r\n"};
    frmBrevant &w = openOn(h, server);
    for (int press = 1; press <= 3; ++press) {
        sendOne(h, w);
        EXPECT_EQ(w.Label5->text(), QString::number(press));
    }
    EXPECT_EQ(h.boxes.size(), 3);
    EXPECT_EQ(w.job.CurrentIndex, 0);
}

TEST(Delivery, SeriesWalksTheWholeListThenStops)
{
    AppHarness h;
    ScriptedServer server;
    frmBrevant &w = openOn(h, server);
    w.Command1->click();
    EXPECT_EQ(server.connectionCount(), 0) << "the series sends at its first tick";
    ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }));
    EXPECT_FALSE(w.Timer1->isActive());
    QTest::qWait(200);
    EXPECT_EQ(server.connectionCount(), 3);
    EXPECT_EQ(server.deliveredTo(),
              QList<QByteArray>({"<a@example.test>", "<b@example.test>", "<c@example.test>"}));
    EXPECT_EQ(w.job.CurrentIndex, 2);
    EXPECT_EQ(w.job.SentCount, 3);
}

TEST(Delivery, RefusedRecipientIsRetriedAtEveryTick)
{
    AppHarness h;
    ScriptedServer server;
    server.answers["RCPT"] = {"550 5.1.1 no such user\r\n"};
    frmBrevant &w = openOn(h, server);
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return h.boxes.size() >= 3; }));
    w.Timer1->stop();
    for (const Box &box : h.boxes) {
        EXPECT_EQ(box.title, "SMTP Error");
        EXPECT_EQ(box.icon, QMessageBox::Information);
        EXPECT_EQ(box.text, "SMTP Error: 550 5.1.1 no such user\r\n");
    }
    for (const auto &conn : server.connections())
        EXPECT_TRUE(conn->received.contains("RCPT TO:<a@example.test>\r\n"));
    EXPECT_EQ(w.job.CurrentIndex, 0);
    EXPECT_EQ(w.txtRecipient->text(), "a@example.test");
}

TEST(Delivery, WholeRepliesEvenWhenTheyArriveInPieces)
{
    AppHarness h;
    ScriptedServer server;
    server.trickle = true;
    server.greeting = "220-test.example ESMTP\r\n220-second line\r\n220 ready\r\n";
    server.answers["HELO"] = {"250-test.example\r\n250 8BITMIME\r\n"};
    frmBrevant &w = openOn(h, server);
    w.cmdSend->click();
    ASSERT_TRUE(h.waitFor([&] { return idle(w); }, 10000));
    EXPECT_TRUE(h.boxes.isEmpty());
    EXPECT_TRUE(server.receivedMidReply.isEmpty())
        << "a command went out before its reply had arrived: "
        << server.receivedMidReply.toStdString();
    EXPECT_EQ(server.deliveredTo().size(), 1);
    EXPECT_EQ(w.txtRecipient->text(), "b@example.test");
}

TEST(Delivery, CommandsAndDataOnTheWire)
{
    AppHarness h;
    h.dir.writeAll("a@example.test", " 127.0.0.1 ", "  me@example.test  ", "\xD2\xE5\xEC\xE0",
                   ".\r\nline\nwith LF\r\n..two\r\n");
    h.dir.write("a.txt", "abc");
    ScriptedServer server;
    frmBrevant::Options options;
    options.clock = [] {
        return QDateTime(QDate(2026, 12, 7), QTime(9, 41, 53), QTimeZone(3 * 3600));
    };
    options.random = [] { return quint64(0xABCDEF); };
    frmBrevant &w = openOn(h, server, options);
    h.dialogAnswers << h.dir.filePath("a.txt");
    w.cmdAddFile->click();
    sendOne(h, w);
    ASSERT_EQ(server.connectionCount(), 1);
    const QByteArray expected = "HELO me\r\n"
                                "MAIL FROM:<me@example.test>\r\n"
                                "RCPT TO:<a@example.test>\r\n"
                                "DATA\r\n"
                                "From: me@example.test\r\n"
                                "To: a@example.test\r\n"
                                "Date: Mon, 07 Dec 2026 09:41:53 +0300\r\n"
                                "Message-ID: <20261207064153.0000000000ABCDEF@example.test>\r\n"
                                "Subject: =?windows-1251?B?0uXs4A==?=\r\n"
                                "\r\n"
                                "\r\n"
                                "..\r\n"
                                "line\r\nwith LF\r\n"
                                "...two\r\n"
                                "\r\n"
                                "begin 664 a.txt\r\n#86)C\r\n`\r\nend\r\n"
                                "\r\n"
                                "\r\n"
                                ".\r\n"
                                "QUIT\r\n";
    EXPECT_EQ(server.connections()[0]->received.toStdString(), expected.toStdString());
    EXPECT_EQ(w.Label5->text(), "OK!");
}

TEST(Delivery, EachMessageCountsOnceHoweverQuitIsAnswered)
{
    struct Case
    {
        const char *name;
        ScriptedServer::Answer quit;
    };
    const Case cases[] = {
        {"221", {"221 bye\r\n"}},
        {"250", {"250 ok\r\n"}},
        {"silence, then close", {"", Act::Close}},
        {"reset", {"", Act::Reset}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AppHarness h;
        ScriptedServer server;
        server.answers["QUIT"] = c.quit;
        frmBrevant &w = openOn(h, server);
        sendOne(h, w);
        EXPECT_TRUE(h.boxes.isEmpty());
        EXPECT_EQ(w.job.CurrentIndex, 1);
        EXPECT_EQ(w.txtRecipient->text(), "b@example.test");
        QTest::qWait(50);
        EXPECT_EQ(w.job.CurrentIndex, 1) << "the message must not count twice";
    }
}

TEST(Delivery, SilentQuitAfterDeliveryDoesNotHoldUpTheSeries)
{
    AppHarness h;
    ScriptedServer server;
    server.answers["QUIT"] = {"", Act::Silent};
    frmBrevant::Options options;
    options.timeouts.quit = std::chrono::milliseconds(100); // the reply limit stays 5 minutes
    frmBrevant &w = openOn(h, server, options);
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }));
    EXPECT_TRUE(h.boxes.isEmpty());
    EXPECT_EQ(server.deliveredTo(),
              QList<QByteArray>({"<a@example.test>", "<b@example.test>", "<c@example.test>"}));
}

TEST(Delivery, LineBreaksInFieldsAreNeverSent)
{
    // A job line holds no line break, but it may hold a NUL, and a typed address anything.
    struct Case
    {
        const char *name;
        QByteArray host, sender, recipients;
        QString typed;
        QString field;
        bool connects;
    };
    const Case cases[] = {
        {"host", QByteArray("127.0.0.1\0evil", 14), "me@x", "a@x", {}, "Хост SMTP", false},
        {"sender",
         "127.0.0.1",
         QByteArray("me@x\0RCPT TO:<b@x>", 19),
         "a@x",
         {},
         "Ваш E-mail",
         false},
        {"typed recipient", "127.0.0.1", "me@x", "a@x", "a@x\r\nDATA", "E-mail адресата", true},
        {"recipient with NUL",
         "127.0.0.1",
         "me@x",
         QByteArray("a@x\0b", 5),
         {},
         "E-mail адресата",
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AppHarness h;
        h.dir.writeAll(c.recipients, c.host, c.sender, "s", "m");
        ScriptedServer server;
        frmBrevant &w = openOn(h, server);
        if (!c.typed.isEmpty())
            w.txtRecipient->setText(c.typed);
        sendOne(h, w);
        QTest::qWait(20);
        ASSERT_EQ(h.boxes.size(), 1);
        EXPECT_EQ(h.boxes[0].title, "SMTP Error");
        EXPECT_TRUE(h.boxes[0].text.contains(c.field)) << h.boxes[0].text.toStdString();
        EXPECT_EQ(server.connectionCount(), c.connects ? 1 : 0);
        for (const auto &conn : server.connections())
            EXPECT_FALSE(conn->received.contains("RCPT")) << conn->received.toStdString();
        EXPECT_EQ(w.job.CurrentIndex, 0);
    }
}

TEST(Delivery, SilentServerTimesOut)
{
    struct Case
    {
        const char *name;
        bool greet;
        const char *silentAt;
    };
    const Case cases[] = {{"no greeting", false, ""},
                          {"no answer to MAIL", true, "MAIL"},
                          {"no answer to the data", true, "."}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AppHarness h;
        ScriptedServer server;
        if (!c.greet)
            server.greetingAct = Act::Silent;
        else
            server.answers[c.silentAt] = {"", Act::Silent};
        frmBrevant::Options options;
        options.timeouts.reply = std::chrono::milliseconds(150);
        options.timeouts.dataEnd = std::chrono::milliseconds(300);
        frmBrevant &w = openOn(h, server, options);
        sendOne(h, w);
        ASSERT_EQ(h.boxes.size(), 1);
        EXPECT_EQ(h.boxes[0].title, "Winsock Error");
        EXPECT_EQ(h.boxes[0].icon, QMessageBox::Warning);
        EXPECT_TRUE(h.boxes[0].text.startsWith("Winsock Error number 10060\r\n"));
        EXPECT_EQ(w.job.CurrentIndex, 0);
        EXPECT_EQ(w.Winsock1->state(), QAbstractSocket::UnconnectedState);
    }
}

TEST(Delivery, OneDialogueAtATime)
{
    AppHarness h;
    ScriptedServer server;
    server.answers["HELO"] = {"", Act::Silent};
    frmBrevant &w = openOn(h, server);
    w.cmdSend->click();
    ASSERT_TRUE(h.waitFor([&] { return server.connectionCount() == 1 && w.SessionStep() == 1; }));
    w.cmdSend->click();
    w.Command1->click();
    QTest::qWait(200); // several ticks
    EXPECT_EQ(server.connectionCount(), 1);
    EXPECT_EQ(w.Label5->text(), "1");
    EXPECT_TRUE(w.Timer1->isActive());
    w.Timer1->stop();
}

TEST(Delivery, TicksWaitWhileABoxIsOpen)
{
    AppHarness h;
    ScriptedServer server;
    server.answers["RCPT"] = {"550 no\r\n"};
    frmBrevant &w = openOn(h, server);
    int connectionsDuringBox = -1;
    bool timerOnDuringBox = false;
    bool first = true;
    h.whileBoxOpen = [&] {
        if (!std::exchange(first, false))
            return; // only the first box waits
        const int before = server.connectionCount();
        QTest::qWait(300); // about seven ticks while the user reads the box
        connectionsDuringBox = server.connectionCount() - before;
        timerOnDuringBox = w.Timer1->isActive();
    };
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return h.boxes.size() >= 2; }));
    w.Timer1->stop();
    EXPECT_EQ(connectionsDuringBox, 0);
    EXPECT_TRUE(timerOnDuringBox);
}

TEST(Delivery, SocketErrorsInTheWinsockBox)
{
    struct Case
    {
        const char *name;
        int number;
    };
    const Case cases[] = {{"refused", 10061}, {"closed mid-dialogue", 10053}, {"reset", 10054}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AppHarness h;
        ScriptedServer server;
        quint16 port = server.port();
        if (c.number == 10061) {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost);
            port = probe.serverPort();
        } else {
            server.answers["MAIL"] = {"", c.number == 10053 ? Act::Close : Act::Reset};
        }
        frmBrevant &w = h.open(port);
        sendOne(h, w);
        ASSERT_EQ(h.boxes.size(), 1);
        EXPECT_EQ(h.boxes[0].title, "Winsock Error");
        EXPECT_TRUE(
            h.boxes[0].text.startsWith(QStringLiteral("Winsock Error number %1\r\n").arg(c.number)))
            << h.boxes[0].text.toStdString();
        EXPECT_EQ(w.job.CurrentIndex, 0);
        EXPECT_EQ(w.Label5->text(), "1");
    }
}

TEST(Delivery, UnknownHostInTheWinsockBox)
{
    AppHarness h;
    h.dir.write("smtp.txt", "no-such-host.invalid");
    frmBrevant &w = h.open(25);
    sendOne(h, w);
    ASSERT_EQ(h.boxes.size(), 1);
    EXPECT_TRUE(h.boxes[0].text.startsWith("Winsock Error number 11001\r\n"))
        << h.boxes[0].text.toStdString();
}

TEST(Delivery, TypedRecipientIsUsedAndTheListMovesOn)
{
    AppHarness h;
    ScriptedServer server;
    frmBrevant &w = openOn(h, server);
    w.txtRecipient->setText("typed@example.test");
    sendOne(h, w);
    EXPECT_EQ(server.deliveredTo(), QList<QByteArray>({"<typed@example.test>"}));
    EXPECT_EQ(w.txtRecipient->text(), "b@example.test");
}

TEST(Delivery, AttachmentsAreReadAtEverySend)
{
    AppHarness h;
    ScriptedServer server;
    frmBrevant &w = openOn(h, server);
    h.dir.write("f.txt", "one");
    h.dialogAnswers << h.dir.filePath("f.txt") << h.dir.filePath("f.txt");
    w.cmdAddFile->click();
    w.cmdAddFile->click();
    sendOne(h, w);
    h.dir.write("f.txt", "two!");
    sendOne(h, w);
    ASSERT_EQ(server.connectionCount(), 2);
    const QByteArray first = server.connections()[0]->data.value(0);
    const QByteArray second = server.connections()[1]->data.value(0);
    EXPECT_EQ(first.count("begin 664 f.txt\r\n#;VYE\r\n"), 2);
    EXPECT_EQ(second.count("begin 664 f.txt\r\n$='=O(2`@\r\n"), 2);
    EXPECT_EQ(w.lstAttachments->currentRow(), 1);
}
