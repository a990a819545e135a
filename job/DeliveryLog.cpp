#include "DeliveryLog.h"

#include "FileRead.h"

#include <QCryptographicHash>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

const char *const ResultNames[] = {"delivered", "refused", "failed"};

// One field, in quotes where RFC 4180 asks for them.
QByteArray field(QByteArray text)
{
    if (text.contains(',') || text.contains('"') || text.contains('\r') || text.contains('\n'))
        return '"' + text.replace('"', "\"\"") + '"';
    return text;
}

// Calls `onRow(fields)` for each row of `data` (RFC 4180; a bare CR or LF ends a row too).
template <typename OnRow> void forEachRow(QByteArrayView data, OnRow &&onRow)
{
    QList<QByteArray> fields;
    QByteArray current;
    bool quoted = false;
    for (qsizetype i = 0; i < data.size(); ++i) {
        const char c = data[i];
        if (quoted && c == '"' && i + 1 < data.size() && data[i + 1] == '"') {
            current += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (quoted || (c != ',' && c != '\r' && c != '\n')) {
            current += c;
        } else {
            fields << std::exchange(current, QByteArray());
            if (c == ',')
                continue;
            i += c == '\r' && i + 1 < data.size() && data[i + 1] == '\n';
            onRow(std::exchange(fields, {}));
        }
    }
    if (!current.isEmpty() || !fields.isEmpty())
        onRow(fields << current); // a last row without its line end
}

// Makes what was written to `handle` survive a crash of the system, not only of the program.
bool sync(int handle)
{
#ifdef Q_OS_WIN
    return ::_commit(handle) == 0;
#else
    return ::fsync(handle) == 0;
#endif
}

} // namespace

QByteArray DeliveryLog::fingerprint(QByteArrayView subject, QByteArrayView body)
{
    // The subject is one line, so the line end keeps the two apart.
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(subject);
    hash.addData("\n");
    hash.addData(body);
    return hash.result().toHex().left(12);
}

DeliveryLog::History DeliveryLog::read(const QString &path, QByteArrayView mailing)
{
    History history;
    if (!QFileInfo::exists(path))
        return history;
    forEachRow(FileRead::readAll(path).data, [&](const QList<QByteArray> &row) {
        if (row.size() < 7 || row[3] != ResultNames[0] || row[6] != mailing)
            return;
        history.delivered.insert(QString::fromUtf8(row[2]).toCaseFolded());
        const QDateTime time = QDateTime::fromString(QString::fromLatin1(row[0]), Qt::ISODate);
        if (time.isValid() && !(time < history.last))
            history.last = time;
    });
    return history;
}

QString DeliveryLog::open()
{
    if (m_file.isOpen())
        return QString();
    // A new log starts with its header; a row cut short by a crash gets its line end, so that
    // the next one starts a row of its own.
    QByteArray start;
    QFile old(m_file.fileName());
    const bool created = !old.exists();
    if (created || old.size() == 0)
        start = "time,line,address,result,reply,message_id,mailing\r\n";
    else if (old.open(QIODevice::ReadOnly) && old.seek(old.size() - 1) && old.read(1) != "\n")
        start = "\r\n";
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append))
        return m_file.errorString();
#ifndef Q_OS_WIN
    // A new file is only as safe as the folder that names it.
    const int folder =
        created ? ::open(qPrintable(QFileInfo(m_file).absolutePath()), O_RDONLY) : -1;
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
#endif
    return write(start);
}

QString DeliveryLog::append(const Row &row)
{
    const QString error = open();
    if (!error.isNull())
        return error;
    QString reply = row.reply;
    reply.replace(QLatin1String("\r\n"), QLatin1String(" "))
        .replace(u'\r', u' ')
        .replace(u'\n', u' ');
    return write(field(row.time.toUTC().toString(Qt::ISODate).toUtf8()) + ',' +
                 (row.line > 0 ? QByteArray::number(row.line) : QByteArray()) + ',' +
                 field(row.address.toUtf8()) + ',' + ResultNames[int(row.result)] + ',' +
                 field(reply.trimmed().toUtf8()) + ',' + field(row.messageId) + ',' +
                 field(row.mailing) + "\r\n");
}

QString DeliveryLog::write(const QByteArray &text)
{
    if (!text.isEmpty() &&
        (m_file.write(text) != text.size() || !m_file.flush() || !sync(m_file.handle())))
        return m_file.errorString();
    return QString();
}
