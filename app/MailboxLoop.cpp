#include "MailboxLoop.h"

#include "MailingRun.h"

MailboxLoop::MailboxLoop(QString host, quint16 port, MailingRun &run, QObject *parent)
    : QObject(parent), m_host(std::move(host)), m_port(port), m_run(run),
      m_reader(new MailboxReader(this))
{
    connect(m_reader, &MailboxReader::finished, this,
            [this](const QList<Mailbox::Finding> &findings) {
                m_beforeFirst = false;
                emit learned(m_run.learn(findings));
            });
    connect(m_reader, &MailboxReader::failed, this, [this](const QString &reason) {
        m_beforeFirst = false; // the mailing goes on without the mailbox
        if (!std::exchange(m_told, true))
            emit failed(reason);
    });
}

bool MailboxLoop::holdsSeries(const QDateTime &now, const QString &login, const QString &password)
{
    if (m_reader->isRunning())
        return m_beforeFirst;
    const QDateTime since = m_run.firstRow();
    if (!since.isValid()) {
        m_beforeFirst = false;
        return false;
    }
    const bool due = m_beforeFirst || !m_lastRead.isValid() ||
                     m_lastRead.secsTo(now) >= std::chrono::seconds(Every).count() ||
                     now < m_lastRead; // a clock set back
    if (!due)
        return false;
    m_lastRead = now;
    m_reader->start(m_host, m_port, login, password, since);
    return m_beforeFirst;
}
