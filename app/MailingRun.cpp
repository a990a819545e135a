#include "MailingRun.h"

#include "Cp1251.h"
#include "Fields.h"

#include <QDir>
#include <QFileInfo>

namespace {

// An address as the log keeps it and as two addresses are compared: as sent, ignoring case.
QString key(QByteArrayView address)
{
    return Cp1251::toUnicode(Smtp::address(address)).toCaseFolded();
}

} // namespace

MailingRun::MailingRun(const MailingJob &job, const QString &directory)
    : m_job(job), m_log(QDir(directory).filePath(QLatin1String(DeliveryLog::FileName)))
{
    if (!QFileInfo::exists(m_log.path()))
        return; // a folder's first mailing: nothing to read, and no fingerprint needed yet
    DeliveryLog::History history = DeliveryLog::read(m_log.path(), mailing());
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
    m_row.mailing = mailing();
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

QByteArray MailingRun::mailing() const
{
    // The SHA-256 of a letter of a megabyte takes milliseconds: computed once, when needed.
    if (m_mailing.isEmpty())
        m_mailing = DeliveryLog::fingerprint(m_job.SubjectLine, m_job.MailBody);
    return m_mailing;
}

QString MailingRun::logFailure(const QString &reason)
{
    m_logFailed = !reason.isNull();
    return reason;
}
