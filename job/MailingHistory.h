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

private:
    QHash<QByteArray, QByteArray> m_mailingOfLetter;
    QHash<QByteArray, Mailing> m_mailings;
    QByteArray m_latest;
    QList<QDateTime> m_deliveries;
};
