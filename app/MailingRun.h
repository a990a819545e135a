// How far the mailing of a job folder has come, in this window and before it: which addresses of
// the list have had it (the delivery log says so for earlier runs), which line comes next, the
// verdict of each send written to the log, the counts the user is told, and whether a message
// may go out at all: only from the one window that holds the folder's lock, with a log that can
// be read and written.
//
// Addresses are compared as sent in RCPT TO (the address of a line, whatever its form: see
// Smtp::recipientOfLine), ignoring case; an address listed twice gets one copy.
#pragma once

#include "Classify.h"
#include "DeliveryLog.h"
#include "JobLock.h"
#include "MailingHistory.h"
#include "MailingJob.h"

#include <functional>
#include <vector>

class MailingRun
{
public:
    using Clock = std::function<QDateTime()>;
    static constexpr int DeadInRowLimit = 3; // addresses passed over in a row stop a series

    // Takes the lock of `folder` (the job folder's absolute path) and reads its log for the
    // mailing of `job`, whose loaders have run. `clock` gives the time of each row (the
    // system's when empty).
    MailingRun(const MailingJob &job, const QString &folder, Clock clock = {});

    // Why no message may go out now, retried each time it is asked: another window holds the
    // folder's lock, the log cannot be read or understood, or it cannot be opened or written
    // (then nothing of what waits for it is lost). Taking the lock over from a window that has
    // closed reads the log again, for what that window sent.
    struct Hold
    {
        enum Kind { None, OtherWindow, LogUnreadable, LogUnwritable } kind = None;
        QString reason; // in Russian, ready for a box
    };
    Hold hold();
    // The same without trying anything again: what start-up found.
    Hold standing() const;

    // The log's last mailing did not reach the end of its list, and this subject or letter is
    // not its: whether they go on with it, passing over those who had it (the default), or make
    // a new mailing to everyone is asked. Null when there is nothing to ask.
    const MailingHistory::Mailing *unfinished() const { return m_unfinished; }
    void goOn();
    void startAnew();

    // The first index at or after `from` whose address has not had this mailing and is not kept
    // out of every mailing (bounced, unsubscribed), or -1.
    int nextPending(int from) const;
    // True if `address` (a line as the list or the box holds it) has had this mailing, or is
    // kept out of every mailing: a send passes it over.
    bool passesOver(QByteArrayView address) const;

    // A send starts to `address`, line `line` of mail.txt (0: typed by hand).
    void begin(QByteArrayView address, int line, QByteArray messageId);
    // The recipient as the dialogue took it from the box.
    void setRecipient(QByteArrayView address, int line);
    // The verdict of the send, written to the log, on disk when this returns. Returns why it
    // could not be written (then it waits, and is written at the next chance), else null.
    QString record(DeliveryLog::Result result, const QString &reply);
    // The recipient takes no mail, the server said: logged as refused, and passed over. True
    // when it is the DeadInRowLimit-th in a row of a series, which must stop there: a server that
    // refuses everyone must not burn through the list. `error` gets what record() returns.
    bool passOver(const QString &reply, bool series, QString &error);
    // A series starts: the addresses passed over in a row are counted from none again.
    void startSeries() { m_deadInRow = 0; }
    // The end of the list was reached: a `finished` row, once. Returns what record() returns.
    QString finish();
    // What the sender's mailbox says: each bounce of a message the folder sent, and each request
    // to be left out, is a row of the log (`bounced`, `unsubscribed`) for an address not kept
    // out yet, which is kept out of this mailing and every later one. The log is read again for
    // the messages it knows. Returns what record() returns.
    QString learn(const QList<Mailbox::Finding> &findings);
    // Tries once more to write the rows that wait; returns the addresses whose delivery is
    // still not in the log.
    QStringList unloggedDeliveries();

    // The fingerprint of this subject and letter, the `mailing` of the rows written.
    QByteArray letter() const;
    QString logPath() const { return m_log.path(); }
    QString folder() const { return m_folder; }
    qsizetype hadBefore() const { return m_hadBefore; }     // had it before this window opened
    QDateTime lastBefore() const { return m_lastBefore; }   // when the last of them had it
    int deliveredNow() const { return m_deliveredNow; }     // delivered from this window
    int refusedNow() const { return m_refusedNow; }         // passed over: they take no mail
    qsizetype skippedRows() const { return m_skippedRows; } // rows of the log it could not read
    qsizetype bounced() const { return keptOut(DeliveryLog::Result::Bounced); } // kept out
    qsizetype unsubscribed() const { return keptOut(DeliveryLog::Result::Unsubscribed); }
    // When the log's first row was written; invalid for a log without rows.
    QDateTime firstRow() const { return m_history.firstRow(); }
    // When each delivery the log holds went out, of every mailing of the folder.
    const QList<QDateTime> &deliveriesBefore() const { return m_history.deliveries(); }

private:
    QString key(QByteArrayView line) const;
    qsizetype keptOut(DeliveryLog::Result why) const;
    Hold lockHold() const;
    // Reads the log; false with m_unreadable set when it cannot be read or understood.
    bool readLog();
    // Which mailing this letter sends, from what the log says.
    void choose();
    void adopt(const MailingHistory::Mailing *mailing);
    QString write(DeliveryLog::Row row);

    const MailingJob &m_job;
    Clock m_clock;
    QString m_folder;
    JobLock m_lock;
    DeliveryLog m_log;
    MailingHistory m_history;
    QString m_unreadable;        // why the log cannot be read; null when it can
    bool m_chosen = false;       // which mailing this letter sends has been settled
    mutable QByteArray m_letter; // see letter()
    QByteArray m_mailing;        // the mailing it goes on with; empty for a new one
    bool m_tied = false;         // the `continued` row of this letter is written
    const MailingHistory::Mailing *m_unfinished = nullptr;
    // Who had the mailing: the log's addresses and those sent to off the list, and the lines of
    // the list served from this window, marked at the first line of their address.
    QSet<QString> m_had;
    QHash<QString, DeliveryLog::Result> m_keptOut; // of every mailing
    std::vector<char> m_lineHad;
    int m_linesHad = 0;
    // The list's addresses as compared, the first line of each, and that line for each line;
    // made once, when first needed.
    void listKeys() const;
    mutable std::vector<QString> m_keys;
    mutable QHash<QString, int> m_lineOfKey;
    mutable std::vector<int> m_first;
    DeliveryLog::Row m_row;
    qsizetype m_hadBefore = 0;
    QDateTime m_lastBefore;
    int m_deliveredNow = 0;
    int m_refusedNow = 0;
    int m_deadInRow = 0;
    qsizetype m_skippedRows = 0;
    bool m_finished = false; // the last row written is a `finished` one
    QStringList m_unlogged;  // delivered, with the row still waiting
};
