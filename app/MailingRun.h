// How far the mailing has come, in this run and in the runs before it: which addresses of the
// list have had this mailing (the delivery log says so for earlier runs), which line comes next,
// the verdict of each send written to the log, and the counts the user is told.
//
// Addresses are compared as sent (trimmed, without brackets), ignoring case; an address listed
// twice gets one copy.
#pragma once

#include "DeliveryLog.h"
#include "MailingJob.h"

class MailingRun
{
public:
    // Reads the log in `directory` for the mailing of `job`, whose loaders have run.
    MailingRun(const MailingJob &job, const QString &directory);

    // The first index at or after `from` whose address has not had this mailing, or -1.
    int nextPending(int from) const;
    // True if `address` (as it is in the list or the box) has had this mailing.
    bool hasHad(QByteArrayView address) const;

    // A send starts to `address`, line `line` of mail.txt (0: typed by hand). Returns why the
    // log cannot be written when that is first known, else a null string.
    QString begin(QByteArrayView address, int line, QByteArray messageId);
    // The recipient as the dialogue took it from the box.
    void setRecipient(QByteArrayView address, int line);
    // The verdict of the send, written to the log; a delivered one is on disk when this
    // returns. Returns why the log could not be written when that is first known, else null.
    QString record(DeliveryLog::Result result, const QString &reply);
    // The recipient takes no mail, the server said: logged as refused, and passed over.
    QString passOver(const QString &reply)
    {
        ++refusedNow;
        ++deadInRow;
        return record(DeliveryLog::Result::Refused, reply);
    }

    QByteArray mailing() const;
    QString logPath() const { return m_log.path(); }

    qsizetype hadBefore = 0; // addresses that had this mailing before this run
    QDateTime lastBefore;    // when the last of them had it
    int deliveredNow = 0;    // messages delivered in this run
    int refusedNow = 0;      // addresses passed over in this run: the server said they take no mail
    int deadInRow = 0;       // addresses passed over since the last delivery

private:
    QString logFailure(const QString &reason);

    const MailingJob &m_job;
    mutable QByteArray m_mailing; // see mailing()
    QSet<QString> m_had;
    DeliveryLog m_log;
    DeliveryLog::Row m_row;
    bool m_logFailed = false; // told once; the mailing goes on without the log
};
