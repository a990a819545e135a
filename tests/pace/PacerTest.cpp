// Catches: a series that asks a person where it should wait, or waits where a person must see a
// box; waits that do not grow, grow past an hour, or do not start over after a delivery; a daily
// limit that lets one too many through, forgets the log's deliveries, or waits too long.
#include "Pacer.h"
#include "TestSupport.h"

#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

using Act = Pace::Verdict::Act;
using Kind = Pace::Failure::Kind;
using Pace::WaitKind;
using Why = Pace::Pacer::Pause::Why;

const QDateTime kStart(QDate(2026, 12, 7), QTime(9, 0), QTimeZone::utc());

QDateTime at(int minutes)
{
    return kStart.addSecs(minutes * 60);
}

} // namespace

// What a refusal or an outage means: in a series that has delivered, a wait for anything that
// may pass (a 4xx, a sending limit, the network); before that, and for a press, the box.
TEST(Pace, EveryFailureToItsVerdictWithTheFirstSendAPersons)
{
    const struct
    {
        Kind kind;
        QByteArray reply;
        bool dead;
        Act later;     // in a series that has delivered a message
        WaitKind wait; // of a wait
    } cases[] = {
        {Kind::Reply, "451 4.7.1 Sending limit exceeded, try again later\r\n", false, Act::Wait,
         WaitKind::Limit},
        {Kind::Reply, "550 5.4.5 Daily user sending limit exceeded\r\n", false, Act::Wait,
         WaitKind::Limit},
        {Kind::Reply, "421 4.7.28 Our system has detected an unusual rate\r\n", false, Act::Wait,
         WaitKind::Limit},
        {Kind::Reply, "550 5.7.233 Your account has exceeded a sending limit\r\n", false, Act::Wait,
         WaitKind::Limit},
        {Kind::Reply, "554 Message refused: quota exceeded for this account\r\n", false, Act::Wait,
         WaitKind::Limit},
        {Kind::Reply, "450 4.2.0 <a@b>: Recipient address rejected: Greylisted\r\n", false,
         Act::Wait, WaitKind::Refusal},
        {Kind::Reply, "421 4.3.2 Service shutting down\r\n", false, Act::Wait, WaitKind::Refusal},
        {Kind::Network, "", false, Act::Wait, WaitKind::Network},
        {Kind::Reply, "550 5.1.1 User unknown\r\n", true, Act::PassOver, {}},
        {Kind::Reply, "552 5.2.2 Mailbox over quota\r\n", false, Act::Box, {}},
        {Kind::Reply, "554 5.7.1 Relay access denied\r\n", false, Act::Box, {}},
        {Kind::Reply, "535 5.7.8 Authentication failed\r\n", false, Act::Box, {}},
        {Kind::Reply, "550 5.7.1 Moderated: separate approval required\r\n", false, Act::Box, {}},
        {Kind::Other, "", false, Act::Box, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reply.isEmpty() ? "a socket error or none" : c.reply.toStdString());
        const Pace::Failure failure{c.kind, c.reply, c.dead};
        const Pace::Verdict later = Pace::verdictOf(failure, true, 1);
        EXPECT_EQ(later.act, c.later);
        EXPECT_TRUE(c.later != Act::Wait || later.wait == c.wait);
        // The first send of a series and a press: a person sees it at once.
        const Act now = c.dead ? Act::PassOver : Act::Box;
        EXPECT_EQ(Pace::verdictOf(failure, true, 0).act, now);
        EXPECT_EQ(Pace::verdictOf(failure, false, 5).act, now);
    }
}

// 1, 2, 4 ... 60 minutes, each time the same address once more; a delivery starts over, and so
// does a refusal of another kind.
TEST(Pace, WaitsDoubleUpToAnHourAndStartOverAfterADelivery)
{
    Pace::Pacer pacer;
    QStringList waits;
    int now = 0;
    for (int i = 0; i < 8; ++i) {
        const QDateTime until = pacer.wait(WaitKind::Limit, at(now));
        const int minutes = int(at(now).secsTo(until) / 60);
        waits << QString::number(minutes);
        EXPECT_EQ(pacer.pause(at(now + minutes).addSecs(-1)).why, Why::Wait);
        EXPECT_EQ(pacer.pause(at(now + minutes)).why, Why::None) << "then the address once";
        now += minutes;
    }
    EXPECT_EQ(waits.join(' '), "1 2 4 8 16 32 60 60");
    EXPECT_EQ(at(now).secsTo(pacer.wait(WaitKind::Network, at(now))), 60) << "another kind";
    EXPECT_EQ(at(now).secsTo(pacer.wait(WaitKind::Network, at(now))), 120);
    pacer.delivered(at(now));
    EXPECT_EQ(pacer.pause(at(now)).why, Why::None) << "a delivery ends the wait";
    EXPECT_EQ(at(now).secsTo(pacer.wait(WaitKind::Network, at(now))), 60);
}

// At most per_day in any 24 hours, counting the log's deliveries of earlier days and other
// mailings; once reached, until the oldest counted one is a day old.
TEST(Pace, TheDailyLimitCountsTheLastTwentyFourHoursOfTheLog)
{
    Pace::Pacer pacer(3);
    pacer.count(at(-3 * 24 * 60)); // three days ago: no longer counted
    pacer.count(at(-20 * 60));     // 20 hours ago, another mailing of the folder
    pacer.count(QDateTime());      // a row without a time counts for nothing
    pacer.count(at(-10 * 60));
    EXPECT_EQ(pacer.pause(at(0)).why, Why::None);
    pacer.delivered(at(0));
    const Pace::Pacer::Pause full = pacer.pause(at(1));
    EXPECT_EQ(full.why, Why::DailyLimit);
    EXPECT_EQ(full.until, at(4 * 60)) << "when the one of 20 hours ago is a day old";
    EXPECT_EQ(pacer.pause(at(4 * 60)).why, Why::None);
    pacer.delivered(at(4 * 60));
    EXPECT_EQ(pacer.pause(at(4 * 60 + 1)).until, at(14 * 60));
    EXPECT_EQ(Pace::Pacer().pause(at(0)).why, Why::None) << "no limit set";
}
