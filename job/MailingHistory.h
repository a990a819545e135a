// What the delivery log says of the folder's mailings, gathered from its rows in file order.
//
// A mailing is named by the fingerprint of the letter it began with (the `mailing` of its first
// rows). A letter corrected halfway that went on with it is tied to it by a `continued` row (the
// new letter in `mailing`, the mailing in `reply`), and the rows of the corrected letter count for
// that mailing. A mailing is finished when its last row is a `finished` one: the end of the list
// was reached, and nothing was sent for it since.
#pragma once

#include "DeliveryLog.h"

#include <QHash>
#include <QSet>

class MailingHistory
{
public:
    struct Mailing
    {
        QByteArray name;
        QSet<QString> delivered; // the addresses that had it, case-folded
        QDateTime lastDelivery;  // when the last of them had it
        bool finished = false;
    };

    void add(const DeliveryLog::Row &row);

    // The mailing that `letter` began or went on with; null for a letter of no mailing.
    const Mailing *mailingOf(QByteArrayView letter) const;
    // The mailing of the log's last row; null for a log without rows.
    const Mailing *latest() const;
    // When each delivery of any mailing of the folder went out, in file order.
    const QList<QDateTime> &deliveries() const { return m_deliveries; }

    // A message the folder sent, as its delivered row says: to whom, from which line, which
    // letter.
    struct Sent
    {
        QString address;
        int line = 0;
        QByteArray letter;
    };
    // The message of each Message-ID of a delivered row, of every mailing.
    const QHash<QByteArray, Sent> &sent() const { return m_sent; }
    // The addresses kept out of every mailing of the folder, case-folded: bounced or
    // unsubscribed, as the rows of the sender's mailbox say.
    const QHash<QString, DeliveryLog::Result> &keptOut() const { return m_keptOut; }
    // When the log's first row was written: the sender's mailbox is read from then on.
    QDateTime firstRow() const { return m_firstRow; }

private:
    QHash<QByteArray, QByteArray> m_mailingOfLetter;
    QHash<QByteArray, Mailing> m_mailings;
    QByteArray m_latest;
    QList<QDateTime> m_deliveries;
    QHash<QByteArray, Sent> m_sent;
    QHash<QString, DeliveryLog::Result> m_keptOut;
    QDateTime m_firstRow;
};
