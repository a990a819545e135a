#include "Pacer.h"

#include <algorithm>

namespace Pace {

void Pacer::count(const QDateTime &at)
{
    if (m_perDay <= 0 || !at.isValid())
        return;
    // The log's rows come in file order, which is nearly the order of time.
    m_recent.insert(std::upper_bound(m_recent.begin(), m_recent.end(), at), at);
    forgetBefore(m_recent.back());
}

void Pacer::delivered(const QDateTime &at)
{
    ++m_deliveredInSeries;
    m_lastWait = std::chrono::minutes(0);
    m_waitUntil = QDateTime();
    count(at);
}

QDateTime Pacer::wait(WaitKind kind, const QDateTime &now)
{
    const bool again = m_lastWait.count() > 0 && kind == m_waitKind;
    m_lastWait = again ? std::min(m_lastWait * 2, LongestWait) : FirstWait;
    m_waitKind = kind;
    m_waitUntil = now.addSecs(std::chrono::seconds(m_lastWait).count());
    return m_waitUntil;
}

Pacer::Pause Pacer::pause(const QDateTime &now)
{
    if (m_waitUntil.isValid() && now < m_waitUntil)
        return {Pause::Why::Wait, m_waitUntil};
    forgetBefore(now);
    if (m_perDay > 0 && qsizetype(m_recent.size()) >= m_perDay) {
        // The oldest of the last perDay deliveries must be a day old first.
        const QDateTime until = m_recent[m_recent.size() - std::size_t(m_perDay)].addSecs(
            std::chrono::seconds(Day).count());
        if (now < until)
            return {Pause::Why::DailyLimit, until};
    }
    return {};
}

void Pacer::forgetBefore(const QDateTime &now)
{
    const QDateTime dayAgo = now.addSecs(-std::chrono::seconds(Day).count());
    while (!m_recent.empty() && !(dayAgo < m_recent.front()))
        m_recent.pop_front();
}

} // namespace Pace
