// The sender's mailbox read during a series: once when it starts, before its first message, and
// then every 10 minutes while it runs, by MailboxReader. What it finds goes into the log through
// MailingRun::learn(): bounced and unsubscribed addresses are kept out of this mailing and every
// later one. A mailbox that cannot be reached or logged into is told once a run (failed()), and
// the mailing goes on without it.
#pragma once

#include "MailboxReader.h"

#include <QDateTime>
#include <QObject>

#include <chrono>

class MailingRun;

class MailboxLoop : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::minutes Every{10};

    MailboxLoop(QString host, quint16 port, MailingRun &run, QObject *parent = nullptr);

    // A series starts: its first message waits for a read of the mailbox.
    void seriesStarted() { m_beforeFirst = true; }
    // At a tick of the series at `now`: starts a read when one is due, with the mailbox's
    // `login` and `password`, and tells whether the series must wait for it (the read before
    // its first message). A log without rows has sent nothing to look for: nothing is read.
    bool holdsSeries(const QDateTime &now, const QString &login, const QString &password);
    bool reading() const { return m_reader->isRunning(); }
    const QString &host() const { return m_host; }

signals:
    // What the read wrote into the log, and why it could not when it could not.
    void learned(const QString &logFailure);
    void failed(const QString &reason);

private:
    QString m_host;
    quint16 m_port;
    MailingRun &m_run;
    MailboxReader *m_reader;
    QDateTime m_lastRead; // when the last read began
    bool m_beforeFirst = false;
    bool m_told = false; // a failure was told in this run
};
