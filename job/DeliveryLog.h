// The delivery log of a job folder, brevant-log.csv: one row for every send that reached a
// verdict, appended, so that a mailing can be followed in a spreadsheet and resumed after the
// program was closed or killed without anybody getting a second copy.
//
// The program writes it as a spreadsheet in Russian settings opens it by a double-click: UTF-8
// with a byte-order mark, ";" between fields, CR LF after each row, a field in quotes where it
// holds a ";" or a quote (quotes doubled, RFC 4180), and the header row
//   time;line;address;result;reply;message_id;mailing
// time in UTC (ISO 8601); line of mail.txt from 1 (empty for an address typed by hand); the
// address as sent in RCPT TO; the result; the server's reply or the socket error; the
// Message-ID; the mailing (see fingerprint()). No field ever holds a line end, so a row cut
// short by a power cut spoils only itself. A field that a spreadsheet would take for a formula
// (it begins with =, +, -, @, a tab or a CR) gets a leading "'", which reading takes off again.
//
// A log that a spreadsheet saved again may have ";" or "," between fields, no byte-order mark,
// Windows-1251 text and its columns in another order: reading finds the columns by their names,
// and rows are appended in the form the file already has.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QList>
#include <QString>

#include <functional>

class DeliveryLog
{
public:
    static constexpr const char *FileName = "brevant-log.csv";

    enum class Result {
        Delivered,    // the server accepted the end of the data
        Refused,      // the server refused
        Failed,       // a socket error, a time-out, or no safe way to log in
        Deferred,     // refused for now (a 4xx, a sending limit, an outage): the series waits
        Bounced,      // a delivery report in the sender's mailbox says the address is dead
        Unsubscribed, // the recipient asked to be left out, through List-Unsubscribe
        Continued,    // the letter was corrected: its rows belong to the mailing in `reply`
        Finished,     // the mailing reached the end of the list
    };
    static constexpr int ResultCount = int(Result::Finished) + 1;

    struct Row
    {
        QDateTime time; // in UTC
        int line = 0;   // 0: typed by hand, or a row of no address
        QString address;
        Result result = Result::Delivered;
        QString reply;
        QByteArray messageId;
        QByteArray mailing;
    };

    // The columns, in the order of a new log's header.
    enum class Column { Time, Line, Address, Result, Reply, MessageId, Mailing };
    static constexpr int ColumnCount = int(Column::Mailing) + 1;

    static QList<int> everyColumn()
    {
        QList<int> columns;
        for (int i = 0; i < ColumnCount; ++i)
            columns << i;
        return columns;
    }

    // The form of a log file, as the program writes a new one or as a spreadsheet saved it.
    struct Format
    {
        enum class Encoding { Utf8WithBom, Utf8, Cp1251 };
        Encoding encoding = Encoding::Utf8WithBom;
        char separator = ';';
        // The column of each field of a row, by position; -1 for a column the program does not
        // know, whose field is left empty.
        QList<int> columns = everyColumn();
    };

    struct Reading
    {
        bool exists = false;   // there is a file of the log's name (or a link, a folder, ...)
        QString error;         // why it cannot be read or understood, in Russian; null if it can
        Format format;         // the file's form, to append rows in
        qsizetype skipped = 0; // rows that could not be read: cut short, or spoilt by hand
    };

    // Reads the log at `path` without following a symbolic link, calling `onRow` for every row
    // it can read, in file order. A missing log has no rows and no error.
    static Reading read(const QString &path, const std::function<void(const Row &)> &onRow);

    // 12 characters that name a letter: lower-case hex digits of the SHA-256 of its subject and
    // text (without the notice block), the first made a letter so that no spreadsheet takes the
    // whole for a number and saves it back changed.
    static QByteArray fingerprint(QByteArrayView subject, QByteArrayView text);
    // The name of a mailing in logs written before there was fingerprint(): 12 hex digits of
    // the SHA-256 of the subject and the body as sent, notice block included.
    static QByteArray bodyFingerprint(QByteArrayView subject, QByteArrayView body);

    DeliveryLog(QString path, Format format) : m_path(std::move(path)), m_format(format) {}
    const QString &path() const { return m_path; }
    // The form new rows are written in: the one reading found, for a log that exists.
    void setFormat(const Format &format) { m_format = format; }

    // Opens the log to append to it (without following a link, only a regular file), and holds
    // it open; a new or empty log gets its header. Returns why it cannot be, or a null string.
    QString open();
    // Adds a row, then writes every row that waits, each on disk (written and synced) when this
    // returns. A row that cannot be written waits for the next append() or flush(). Returns why
    // the rows could not be written, or a null string.
    QString append(const Row &row);
    QString flush();
    bool hasWaiting() const { return !m_waiting.isEmpty(); }

    // A row as the log's form writes it, its line end included.
    QByteArray encode(const Row &row) const;

private:
    QString m_path;
    Format m_format;
    QFile m_file;
    QList<QByteArray> m_waiting; // rows not yet written, in order
    bool m_lineEndFirst = false; // the file may end inside a row: start a new line first
};
