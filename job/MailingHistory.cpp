#include "MailingHistory.h"

void MailingHistory::add(const DeliveryLog::Row &row)
{
    using Result = DeliveryLog::Result;
    if (row.time.isValid() && (!m_firstRow.isValid() || row.time < m_firstRow))
        m_firstRow = row.time;
    // Kept out of every mailing, whichever letter the bounced message carried.
    if (row.result == Result::Bounced || row.result == Result::Unsubscribed) {
        m_keptOut.insert(row.address.toCaseFolded(), row.result);
        return;
    }
    if (row.mailing.isEmpty())
        return;
    const QByteArray continued = row.reply.trimmed().toLatin1();
    if (row.result == Result::Continued && !continued.isEmpty() &&
        !m_mailingOfLetter.contains(row.mailing))
        m_mailingOfLetter.insert(row.mailing, m_mailingOfLetter.value(continued, continued));
    const QByteArray name = m_mailingOfLetter.value(row.mailing, row.mailing);
    m_mailingOfLetter.insert(row.mailing, name);
    Mailing &mailing = m_mailings[name];
    mailing.name = name;
    mailing.finished = row.result == Result::Finished;
    if (row.result == Result::Delivered) {
        m_deliveries << row.time;
        if (!row.messageId.isEmpty())
            m_sent.insert(row.messageId, {row.address, row.line, row.mailing});
        mailing.delivered.insert(row.address.toCaseFolded());
        if (row.time.isValid() && !(row.time < mailing.lastDelivery))
            mailing.lastDelivery = row.time;
    }
    m_latest = name;
}

const MailingHistory::Mailing *MailingHistory::mailingOf(QByteArrayView letter) const
{
    const auto name = m_mailingOfLetter.constFind(letter.toByteArray());
    return name == m_mailingOfLetter.cend() ? nullptr : &*m_mailings.constFind(*name);
}

const MailingHistory::Mailing *MailingHistory::latest() const
{
    return m_latest.isEmpty() ? nullptr : &*m_mailings.constFind(m_latest);
}
