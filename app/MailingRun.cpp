#include "MailingRun.h"

#include "Cp1251.h"
#include "Fields.h"

#include <QDir>

namespace {

// An address as the log keeps it and as two addresses are compared: as sent, ignoring case.
QString key(QByteArrayView address)
{
    return Cp1251::toUnicode(Smtp::address(address)).toCaseFolded();
}

} // namespace

MailingRun::MailingRun(const MailingJob &job, const QString &directory)
    : m_job(job), m_mailing(DeliveryLog::fingerprint(job.SubjectLine, job.MailBody)),
      m_log(QDir(directory).filePath(QLatin1String(DeliveryLog::FileName)))
{
    DeliveryLog::History history = DeliveryLog::read(m_log.path(), m_mailing);
    m_had = std::move(history.delivered);
    hadBefore = m_had.size();
    lastBefore = history.last;
}

int MailingRun::nextPending(int from) const
{
    for (int i = std::max(from, 0); i <= m_job.LastIndex; ++i) {
        if (!hasHad(m_job.recipientAt(i)))
            return i;
    }
    return -1;
}

bool MailingRun::hasHad(QByteArrayView address) const
{
    return m_had.contains(key(address));
}

QString MailingRun::begin(QByteArrayView address, int line, QByteArray messageId)
{
    m_row = DeliveryLog::Row();
    m_row.messageId = std::move(messageId);
    m_row.mailing = m_mailing;
    setRecipient(address, line);
    return m_logFailed ? QString() : logFailure(m_log.open());
}

void MailingRun::setRecipient(QByteArrayView address, int line)
{
    m_row.address = Cp1251::toUnicode(Smtp::address(address));
    m_row.line = line;
}

QString MailingRun::record(DeliveryLog::Result result, const QString &reply)
{
    if (result == DeliveryLog::Result::Delivered) {
        m_had.insert(m_row.address.toCaseFolded());
        ++deliveredNow;
        deadInRow = 0;
    }
    if (m_logFailed)
        return QString();
    m_row.time = QDateTime::currentDateTimeUtc();
    m_row.result = result;
    m_row.reply = reply;
    return logFailure(m_log.append(m_row));
}

QString MailingRun::logFailure(const QString &reason)
{
    m_logFailed = !reason.isNull();
    return reason;
}
