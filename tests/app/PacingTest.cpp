// Catches: a series through a provider that asks a person at night instead of waiting, tries
// again at every tick while refused, or goes on before the wait is over; a daily limit forgotten
// across a restart; a press that waits with the series.
#include "AppHarness.h"
#include "DeliveryLog.h"
#include "JobSettings.h"

#include <QTimeZone>

namespace {

const QByteArray kSix = TempDir::addresses(6);

struct Clock
{
    QDateTime now{QDate(2026, 12, 7), QTime(23, 0), QTimeZone(10800)};
    void advance(int seconds) { now = now.addSecs(seconds); }
};

frmBrevant &openWithClock(AppHarness &h, quint16 port, Clock &clock)
{
    frmBrevant::Options options;
    options.clock = [&clock] { return clock.now; };
    return h.open(port, options);
}

// Messages sent to the server, counted at the end of their data.
int sent(const ScriptedServer &server)
{
    return int(server.deliveredTo.size());
}

} // namespace

// After 3 of 6 the server refuses the account for a while: no box, the same address once a
// minute, then after two, four minutes; each verdict a row of the log; once accepted again,
// every address has one message.
TEST(Pacing, ASeriesRefusedForAWhileWaitsLongerEachTimeAndGoesOnByItself)
{
    AppHarness h;
    h.dir.write("mail.txt", kSix);
    ScriptedServer server;
    const ScriptedServer::Answer refusal = {
        "451 4.7.1 <me@example.test>: Sender address "
        "rejected: sending limit exceeded, try again later\r\n"};
    server.beforeAnswer = [&](const QByteArray &word) {
        if (word == "." && sent(server) == 3)
            server.answers["MAIL"] = refusal;
    };
    Clock clock;
    frmBrevant &w = openWithClock(h, server.port(), clock);
    w.Command1->click();
    ASSERT_TRUE(h.waitFor([&] { return server.connections.size() == 4; }));
    ASSERT_TRUE(h.waitFor([&] { return !w.lblStatus->text().isEmpty(); }));
    EXPECT_EQ(w.lblStatus->text(), "Пауза до 23:01: сервер ответил «451 4.7.1 <me@example.test>: "
                                   "Sender address rejected: sending limit exceeded, try again "
                                   "later».");
    // Waits of 1, 2 and 4 minutes, each ended by one try of the same address, refused again.
    QStringList until = {w.lblStatus->text().mid(9, 5)};
    for (const int minutes : {1, 2, 4}) {
        const qsizetype tries = server.connections.size();
        QTest::qWait(150); // ticks go by
        clock.advance(minutes * 60 - 1);
        QTest::qWait(150);
        EXPECT_EQ(server.connections.size(), tries) << "before " << minutes << " minutes";
        clock.advance(1);
        ASSERT_TRUE(h.waitFor([&] {
            return server.connections.size() == tries + 1 &&
                   server.connections.last()->received.contains("MAIL FROM:<me@example.test>") &&
                   !w.lblStatus->text().isEmpty() && w.lblStatus->text().mid(9, 5) != until.last();
        }));
        until << w.lblStatus->text().mid(9, 5);
    }
    EXPECT_EQ(until.join(' '), "23:01 23:03 23:07 23:15");
    server.answers["MAIL"] = {"250 ok\r\n"};
    QTest::qWait(150);
    clock.advance(8 * 60);
    ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }));
    EXPECT_TRUE(h.boxes.isEmpty()) << h.boxes.value(0).text.toStdString();
    EXPECT_EQ(QSet<QByteArray>(server.deliveredTo.begin(), server.deliveredTo.end()).size(), 6);
    EXPECT_EQ(sent(server), 6);
    QStringList results;
    DeliveryLog::read(h.dir.filePath(DeliveryLog::FileName), [&](const DeliveryLog::Row &row) {
        results << DeliveryLog::Row(row).reply.left(3) +
                       (row.line ? QString::number(row.line) : "");
    });
    EXPECT_EQ(results.join(' '), "2501 2502 2503 4514 4514 4514 4514 2504 2505 2506 ");
    EXPECT_TRUE(w.lblStatus->text().isEmpty());
}

// The log of earlier runs, of other mailings of the folder, holds today's limit of three: a
// restart sends nothing until the oldest of them is a day old, and says so; a press sends at once.
TEST(Pacing, TheDailyLimitHoldsAcrossARestart)
{
    AppHarness h;
    h.dir.write("mail.txt", kSix);
    h.dir.write(JobSettings::FileName, "[sending]\nper_day=3\n");
    Clock clock;
    const auto row = [&](int hoursAgo, const char *address, const char *mailing) {
        return clock.now.toUTC().addSecs(-hoursAgo * 3600).toString(Qt::ISODate).toLatin1() + ";;" +
               address + ";delivered;250;<1@x>;" + mailing + "\r\n";
    };
    h.dir.write(DeliveryLog::FileName, "time;line;address;result;reply;message_id;mailing\r\n" +
                                           row(30, "old@example.test", "a00000000000") +
                                           row(20, "x@example.test", "a00000000000") +
                                           row(2, "y@example.test", "a00000000000") +
                                           row(1, "z@example.test", "b00000000000") +
                                           ";;;finished;;;b00000000000\r\n");
    ScriptedServer server;
    frmBrevant &w = openWithClock(h, server.port(), clock);
    w.Command1->click();
    QTest::qWait(200);
    EXPECT_TRUE(server.connections.isEmpty());
    EXPECT_EQ(w.lblStatus->text(), "Пауза до 08.12 03:00: лимит 3 писем в сутки.")
        << w.lblStatus->text().toStdString();
    clock.advance(4 * 3600);
    ASSERT_TRUE(h.waitFor([&] { return sent(server) == 1; }));
    QTest::qWait(200);
    EXPECT_EQ(sent(server), 1) << "then the next when y's is a day old";
    EXPECT_EQ(w.lblStatus->text(), "Пауза до 21:00: лимит 3 писем в сутки.")
        << w.lblStatus->text().toStdString();
    h.sendOne(); // a press does not wait
    EXPECT_EQ(sent(server), 2);
    EXPECT_TRUE(h.boxes.isEmpty()) << h.boxes.value(0).text.toStdString();
}
