// When a series may send its next message: not before a wait after a refusal or an outage is
// over, and not while the account's daily limit is reached. The time is always given, never read
// from a clock here, and waits are of the wall clock: a machine that slept goes on at the first
// tick after it wakes.
//
// A wait starts at one minute and doubles with each further refusal of the same kind, up to an
// hour; a delivery starts the waits over. The daily limit counts the deliveries of the last 24
// hours (of every mailing of the folder, the log's and this run's) and, once they reach it, waits
// until the oldest of them is 24 hours old. Only the deliveries of the last 24 hours are kept.
#pragma once

#include "Verdict.h"

#include <QDateTime>

#include <chrono>
#include <deque>

namespace Pace {

class Pacer
{
public:
    static constexpr std::chrono::minutes FirstWait{1};
    static constexpr std::chrono::minutes LongestWait{60};
    static constexpr std::chrono::hours Day{24};

    // `perDay`: at most this many deliveries in any 24 hours; 0 for no limit.
    explicit Pacer(int perDay = 0) : m_perDay(perDay) {}

    // A message of an earlier run went out at `at`, as the log says: it counts for the limit.
    void count(const QDateTime &at);
    // A message went out at `at`: it counts, and the waits start over.
    void delivered(const QDateTime &at);
    // A refusal or an outage of `kind` at `now`: returns until when the series waits.
    QDateTime wait(WaitKind kind, const QDateTime &now);

    struct Pause
    {
        enum class Why { None, Wait, DailyLimit };
        Why why = Why::None;
        QDateTime until; // when the series may send again
    };
    // Whether a series must wait at `now`, and until when.
    Pause pause(const QDateTime &now);

    // A series starts: its first send is a person's, and its refusals are told in a box.
    void startSeries() { m_deliveredInSeries = 0; }
    int deliveredInSeries() const { return m_deliveredInSeries; }
    int perDay() const { return m_perDay; }

private:
    void forgetBefore(const QDateTime &now);

    int m_perDay;
    std::deque<QDateTime> m_recent; // deliveries of the last 24 hours, in order
    int m_deliveredInSeries = 0;
    QDateTime m_waitUntil;
    WaitKind m_waitKind = WaitKind::Refusal;
    std::chrono::minutes m_lastWait{0}; // 0: no refusal since the last delivery
};

} // namespace Pace
