// The delivery log of a job folder, brevant-log.csv: one row for every send that reached a
// verdict, appended, so that a mailing can be followed, and resumed after the program was closed
// or killed without anybody getting a second copy.
//
// UTF-8 CSV (RFC 4180: CR LF row ends, a field with a comma, a quote or a line end in quotes,
// quotes doubled) with the header row
//   time,line,address,result,reply,message_id,mailing
// time in UTC (ISO 8601), line of mail.txt from 1 (empty for an address typed by hand), the
// address as sent in RCPT TO, delivered/refused/failed, the server's reply or the socket error
// (line ends as spaces), the Message-ID, and the mailing's fingerprint (see fingerprint()).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QSet>
#include <QString>

class DeliveryLog
{
public:
    static constexpr const char *FileName = "brevant-log.csv";

    enum class Result { Delivered, Refused, Failed };

    struct Row
    {
        QDateTime time; // converted to UTC
        int line = 0;   // 0: typed by hand
        QString address;
        Result result = Result::Delivered;
        QString reply;
        QByteArray messageId;
        QByteArray mailing;
    };

    // What the log says of one mailing.
    struct History
    {
        QSet<QString> delivered; // the addresses that had it, case-folded
        QDateTime last;          // when the last of them had it
    };

    // 12 hex digits of the SHA-256 of the subject and the body as sent: the same subject and
    // letter are the same mailing, whatever else the folder was used for.
    static QByteArray fingerprint(QByteArrayView subject, QByteArrayView body);

    // The rows of `mailing` in the log at `path`; a missing or unreadable log has none.
    static History read(const QString &path, QByteArrayView mailing);

    explicit DeliveryLog(QString path) : m_file(std::move(path)) {}
    QString path() const { return m_file.fileName(); }

    // Opens the log to append to it, writing the header row if it is new. Returns why it cannot
    // be written, or a null string; done once, and again by append() if it failed.
    QString open();
    // Appends a row, which is on disk when this returns: written, flushed and synced. Returns
    // why it could not be written, or a null string.
    QString append(const Row &row);

private:
    QString write(const QByteArray &text);

    QFile m_file;
};
