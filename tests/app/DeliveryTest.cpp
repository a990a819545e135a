// Catches: a send, count, box or time limit off the job, a message or file sent twice, a crash,
// a box or a hook that does not reach the wire, a connection inherited by other programs.
#include "AppHarness.h"
#include "Cp1251.h"

#include <QProcess>
#include <QTimeZone>

#ifndef Q_OS_WIN
#include <netinet/in.h>
#endif

using Act = ScriptedServer::Act;
using Bytes = QList<QByteArray>;
static const Bytes kABC = {"<a@example.test>", "<b@example.test>", "<c@example.test>"};

TEST(Delivery, PressesCountWhateverTheOutcomeAndWalkTheList)
{
    for (const bool refused : {false, true}) {
        AppHarness h;
        h.dir.write("smtp.txt", " 127.0.0.1 \r\n"); // spaces around the host are ignored
        ScriptedServer server;
        server.answers["220"] = {"220-test.example ESMTP\r\n220-second line\r\n220 ready\r\n"};
        if (refused)
            server.answers["MAIL"] = {"550 no\r\n"};
        frmBrevant &w = h.open(server.port());
        w.txtRecipient->setText("typed@example.test"); // the list moves on as after a listed one
        QStringList shown;
        for (int press = 1; press <= 3; ++press) {
            h.sendOne();
            shown << w.Label5->text() + " " + w.txtRecipient->text();
        }
        EXPECT_EQ(shown.join(", "),
                  refused ? "1 typed@example.test, 2 typed@example.test, 3 typed@example.test"
                          : "1 b@example.test, 2 c@example.test, OK! c@example.test");
        EXPECT_EQ(server.deliveredTo,
                  refused ? Bytes() : Bytes({"<typed@example.test>", kABC[1], kABC[2]}));
        EXPECT_EQ(h.boxes.size(), refused ? 3 : 0);
    }
}

// The bytes of one message of a list of 42, written out as the server must see them: the notice
// block in front of the letter, the moment and random number of the send, and the job as loaded
// whatever the host, sender, subject and letter boxes were changed to.
TEST(Delivery, TheWireCarriesTheJobAsLoadedWhateverTheBoxesShow)
{
    AppHarness h;
    h.dir.writeAll(TempDir::addresses(42), "127.0.0.1", "news@example.test", "Hello",
                   "Line one\r\n.Line two");
    ScriptedServer server;
    frmBrevant::Options options;
    options.clock = [] {
        return QDateTime(QDate(2026, 12, 7), QTime(9, 41, 53), QTimeZone(10800));
    };
    options.random = [] { return quint64(0xFF); };
    frmBrevant &w = h.open(server.port(), options);
    w.txtHost->setText("no-such-host.invalid");
    w.txtSender->setText("other@example.test");
    w.txtSubject->setText("Other");
    w.txtMessage->setPlainText("Other letter");
    h.sendOne();
    ASSERT_EQ(server.connections.size(), 1);
    EXPECT_EQ(server.connections[0]->received,
              "HELO news\r\nMAIL FROM:<news@example.test>\r\nRCPT TO:<user0@example.test>\r\n"
              "DATA\r\nFrom: news@example.test\r\nTo: user0@example.test\r\n"
              "Date: Mon, 07 Dec 2026 09:41:53 +0300\r\n"
              "Message-ID: <20261207064153.00000000000000FF@example.test>\r\n"
              "List-Unsubscribe: <mailto:news@example.test?subject=unsubscribe%2000000000000000FF>"
              "\r\nSubject:Hello\r\n"
              "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=windows-1251\r\n"
              "Content-Transfer-Encoding: 8bit\r\n\r\n"
              "https://catalog.example.org/free/\r\n" +
                  Cp1251::fromUnicode(u"Каталог БЕСПЛАТНЫХ программ для Windows XP.") +
                  "\r\n------------------------------\r\n\r\n"
                  "\r\nLine one\r\n..Line two\r\n\r\n\r\n.\r\nQUIT\r\n");
}

TEST(Delivery, RefusedRecipientIsRetriedAtEveryTickWithoutPilingUpBoxes)
{
    AppHarness h;
    ScriptedServer server;
    server.answers["RCPT"] = {"554 5.7.1 \xCD\xE5\xF2\r\n"}; // the server's, not the address's
    frmBrevant &w = h.open(server.port());
    qsizetype duringBox = -1;
    h.whileBoxOpen = [&] {
        if (duringBox < 0) { // the first box waits while several ticks go by
            const qsizetype before = server.connections.size();
            QTest::qWait(300);
            duringBox = server.connections.size() - before;
        }
    };
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return h.boxes.size() >= 3; }));
    EXPECT_TRUE(w.Timer1->isActive());
    w.Timer1->stop();
    EXPECT_EQ(duringBox, 0);
    EXPECT_TRUE(h.boxes[0].title == "SMTP Error" && h.boxes[0].icon == QMessageBox::Information);
    EXPECT_EQ(h.boxes[0].text, "SMTP Error: 554 5.7.1 Нет\n"); // the reply's Windows-1251 text
    for (const auto &conn : server.connections)
        EXPECT_TRUE(conn->received.contains("RCPT TO:<a@example.test>\r\n"));
}

TEST(Delivery, SeriesSendsEachMessageOnceHoweverQuitIsAnsweredThenStopsWithOk)
{
    const QByteArray list = "a@example.test\r\nb@example.test\r\nc@example.test";
    const struct
    {
        QByteArray list;
        ScriptedServer::Answer quit;
    } cases[] = {{list, {"221 bye\r\n"}},  {list, {"250 ok\r\n"}},    {list, {"", Act::Close}},
                 {list, {"", Act::Reset}}, {list, {"", Act::Silent}}, {"", {"221 bye\r\n"}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.quit.act) << c.quit.reply.data() << c.list.size());
        AppHarness h;
        h.dir.write("mail.txt", c.list);
        ScriptedServer server;
        server.answers["QUIT"] = c.quit;
        frmBrevant::Options options;
        options.timeouts.quit = std::chrono::milliseconds(100); // replies may still take minutes
        frmBrevant &w = h.open(server.port(), options);
        w.Command1->click();
        EXPECT_TRUE(server.connections.isEmpty()) << "the series sends at its first tick";
        ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }));
        QTest::qWait(150);
        EXPECT_FALSE(w.Timer1->isActive());
        EXPECT_TRUE(h.boxes.isEmpty()) << h.boxes.value(0).text.toStdString();
        EXPECT_EQ(server.deliveredTo, c.list.isEmpty() ? Bytes{"<>"} : kABC);
        EXPECT_EQ(w.job.CurrentIndex, c.list.isEmpty() ? 0 : 2);
    }
}

TEST(Delivery, FieldsThatWouldBreakACommandAreNeverSent)
{
    // A job line holds no line break, but it may hold a NUL, and a typed address anything.
    const struct
    {
        QByteArray host, sender, recipients;
        QString typed, box;
        int connections;
    } cases[] = {
        {QByteArray("127.0.0.1\0evil", 14), "me@x", "a@x", {}, "«Хост SMTP» содержит", 0},
        {"127.0.0.1", QByteArray("me\0RCPT TO:<b@x>", 16), "a@x", {}, "«Ваш E-mail» содержит", 0},
        {"127.0.0.1", "  ", "a@x", {}, "«Ваш E-mail» не заполнено", 0},
        {"127.0.0.1", " <> ", "a@x", {}, "«Ваш E-mail» не заполнено", 0},
        {"127.0.0.1:99999", "me@x", "a@x", {}, "«Хост SMTP» неверный порт: «127.0.0.1:99999»", 0},
        {"127.0.0.1", "me@x", "a@x", "a@x\r\nDATA", "«E-mail адресата» содержит", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.box.toStdString());
        AppHarness h;
        h.dir.writeAll(c.recipients, c.host, c.sender, "s", "m");
        ScriptedServer server;
        frmBrevant &w = h.open(server.port());
        if (!c.typed.isEmpty())
            w.txtRecipient->setText(c.typed);
        if (c.connections == 0) // a send that cannot start reads no attachment
            h.attach({h.dir.filePath("missing.bin")});
        h.sendOne();
        QTest::qWait(20);
        ASSERT_EQ(h.boxes.size(), 1);
        EXPECT_TRUE(h.boxes[0].title == "SMTP Error" && h.boxes[0].text.contains(c.box));
        EXPECT_EQ(server.connections.size(), c.connections);
        EXPECT_TRUE(c.connections == 0 || !server.connections[0]->received.contains("RCPT"));
        EXPECT_EQ(w.Label5->text(), "1");
    }
}

TEST(Delivery, SocketErrorsAndTimeLimitsInTheWinsockBox)
{
    // Windows tells a reset from an orderly close only through a probe that is Linux's alone.
#ifdef Q_OS_WIN
    const int reset = 10053;
#else
    const int reset = 10054;
    // A listener that never accepts, its backlog full (as Linux counts it): a connection to it
    // waits for ever.
    const int stuck = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(stuck, reinterpret_cast<sockaddr *>(&address), size) | ::listen(stuck, 0), 0);
    ::getsockname(stuck, reinterpret_cast<sockaddr *>(&address), &size);
    QTcpSocket filling[3];
    for (QTcpSocket &socket : filling)
        socket.connectToHost(QHostAddress::LocalHost, ntohs(address.sin_port));
#endif
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    const quint16 closedPort = closed.serverPort();
    closed.close();
    QTest::qWait(50);
    const struct
    {
        const char *step; // whose answer changes; "connect" for none
        ScriptedServer::Answer answer;
        int number;
        quint16 port = 0; // 0: the scripted server
    } cases[] = {
        {"", {}, 10061, closedPort},
        {"MAIL", {"", Act::Close}, 10053},
        {"MAIL", {"", Act::Reset}, reset},
#ifndef Q_OS_WIN
        {"connect", {}, 10060, ntohs(address.sin_port)},
#endif
        {"220", {"", Act::Silent}, 10060},
        {"MAIL", {"", Act::Silent}, 10060},
        {".", {"", Act::Silent}, 10060},
        {"", {}, 11001, 1}, // and the host "no-such-host.invalid"
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.step) + " " + std::to_string(c.number));
        AppHarness h;
        ScriptedServer server;
        server.answers[c.step] = c.answer;
        if (c.number == 11001)
            h.dir.write("smtp.txt", "no-such-host.invalid");
        // Each limit is short only where it is the one that must end the wait.
        const auto limit = [](bool mine) { return std::chrono::milliseconds(mine ? 200 : 60000); };
        frmBrevant::Options options;
        const bool connect = c.step == std::string("connect"), dataEnd = c.step[0] == '.';
        options.timeouts = {limit(connect), limit(!connect && !dataEnd), limit(dataEnd),
                            limit(false)};
        frmBrevant &w = h.open(c.port ? c.port : server.port(), options);
        h.sendOne();
        ASSERT_EQ(h.boxes.size(), 1);
        EXPECT_TRUE(h.boxes[0].title == "Winsock Error" && h.boxes[0].icon == QMessageBox::Warning);
        EXPECT_TRUE(h.boxes[0].text.startsWith(QString("Winsock Error number %1\n").arg(c.number)))
            << h.boxes[0].text.toStdString();
        EXPECT_EQ(w.job.CurrentIndex, 0);
        EXPECT_EQ(w.Winsock1->findChild<QTcpSocket *>()->state(),
                  QAbstractSocket::UnconnectedState);
    }
#ifndef Q_OS_WIN
    ::close(stuck);
#endif
}

TEST(Delivery, AttachmentsAreReadAtEverySendAndGoOutOnceAndTheSelectedOneIsRemoved)
{
    AppHarness h;
    ScriptedServer server;
    server.answers["RCPT"] = {"450 not yet\r\n"};
    frmBrevant &w = h.open(server.port());
    h.dir.write("f.txt", "one");
    h.dir.write("g.txt", "one");
    const QString f = h.dir.filePath("f.txt"), g = h.dir.filePath("g.txt");
    w.cmdRemove->click();    // an empty list, nothing selected: nothing happens
    h.attach({f, "", g, f}); // a cancelled dialog adds nothing; a file twice goes out twice
    w.cmdRemove->click();    // nothing selected
    h.sendOne(); // refused before the data: the files must not linger for the next message
    server.answers["RCPT"] = {"250 ok\r\n"};
    h.dir.write("f.txt", "two!");
    h.sendOne();
    const QByteArray data = server.connections.value(1)->received;
    EXPECT_EQ(data.count("begin 664 "), 3);
    EXPECT_EQ(data.count("begin 664 f.txt\r\n$='=O(2`@\r\n"), 2) << "f.txt in its new state";
    w.cmdRemove->click(); // the send left the third entry selected
    ASSERT_EQ(w.lstAttachments->count(), 2);
    EXPECT_TRUE(w.lstAttachments->item(0)->text() == f && w.lstAttachments->item(1)->text() == g);
    EXPECT_TRUE(h.boxes.size() == 1 && h.boxes[0].title == "SMTP Error");
}

TEST(Delivery, OneDialogueAtATimeAndClosingMidDialogueDropsTheLineWithoutABox)
{
    AppHarness h;
    ScriptedServer server;
    server.answers["HELO"] = {"", Act::Silent};
    server.answers["RCPT"] = {"", Act::Silent};
    frmBrevant &w = h.open(server.port());
    w.show();
    w.cmdSend->click();
    ASSERT_TRUE(h.waitFor([&] { return w.Winsock1->step() == Smtp::Step::Hello; }));
#ifndef Q_OS_WIN
    // A program started meanwhile inherits no descriptor of the open connection.
    QProcess child;
    child.start("sh", {"-c", "ls -l /proc/$$/fd"});
    ASSERT_TRUE(child.waitForFinished());
    EXPECT_FALSE(child.readAllStandardOutput().contains("socket:"));
#endif
    w.cmdSend->click();
    w.Command1->click();
    QTest::qWait(200); // several ticks
    EXPECT_EQ(w.Label5->text(), "1");
    server.connections[0]->socket->write("250 late hello\r\n"); // the one dialogue goes on
    ASSERT_TRUE(h.waitFor([&] { return w.Winsock1->step() == Smtp::Step::Recipient; }));
    w.close();
    h.window.reset();
    ASSERT_TRUE(h.waitFor([&] { return server.connections[0]->closedByClient; }));
    EXPECT_FALSE(server.connections[0]->received.contains("QUIT"));
    EXPECT_TRUE(h.boxes.isEmpty());
    EXPECT_EQ(server.connections.size(), 1);
}
