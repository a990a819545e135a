#include "DeliveryLog.h"

#include "Cp1251.h"
#include "SafeFile.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTimeZone>
#include <QVarLengthArray>

#include <array>
#include <deque>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

constexpr std::array<QLatin1StringView, DeliveryLog::ColumnCount> kColumnNames = {
    QLatin1StringView("time"),   QLatin1StringView("line"),  QLatin1StringView("address"),
    QLatin1StringView("result"), QLatin1StringView("reply"), QLatin1StringView("message_id"),
    QLatin1StringView("mailing")};
constexpr std::array<QLatin1StringView, DeliveryLog::ResultCount> kResultNames = {
    QLatin1StringView("delivered"), QLatin1StringView("refused"), QLatin1StringView("failed"),
    QLatin1StringView("deferred"),  QLatin1StringView("bounced"), QLatin1StringView("unsubscribed"),
    QLatin1StringView("continued"), QLatin1StringView("finished")};
constexpr char kBom[] = "\xEF\xBB\xBF";

// What a spreadsheet takes for the start of a formula (OWASP, "CSV Injection").
bool startsFormula(QStringView text)
{
    qsizetype i = 0;
    while (i < text.size() && text[i] == u'\'')
        ++i;
    return i < text.size() && QStringView(u"=+-@\t\r").contains(text[i]);
}

// A field as written: no line end, and a leading "'" where a spreadsheet would see a formula.
// A field that begins with "'" before such a sign gets one more, so reading gives it back whole.
QString guarded(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String(" "))
        .replace(u'\r', u' ')
        .replace(u'\n', u' ');
    return startsFormula(text) ? u'\'' + text : text;
}

QString unguarded(QStringView text)
{
    if (text.startsWith(u'\'') && startsFormula(text))
        text = text.sliced(1);
    return text.toString();
}

// The fields of one line, split at `separator` outside quotes (RFC 4180, quotes doubled inside
// a quoted field), as views into the line, or into `unescaped` for a field with doubled quotes.
// False when the line ends inside quotes: the row was cut short.
using Fields = QVarLengthArray<QStringView, 16>;
bool splitLine(QStringView line, QChar separator, Fields &fields, std::deque<QString> &unescaped)
{
    fields.clear();
    qsizetype at = 0;
    while (true) {
        qsizetype end = at;
        if (at < line.size() && line[at] == u'"') { // a quoted field, up to its closing quote
            qsizetype close = at + 1;
            bool doubled = false;
            while (true) {
                close = line.indexOf(u'"', close);
                if (close < 0)
                    return false;
                if (close + 1 < line.size() && line[close + 1] == u'"') {
                    doubled = true;
                    close += 2;
                    continue;
                }
                break;
            }
            QStringView inside = line.sliced(at + 1, close - at - 1);
            if (doubled) {
                unescaped.push_back(
                    inside.toString().replace(QLatin1String("\"\""), QLatin1String("\"")));
                inside = unescaped.back();
            }
            end = line.indexOf(separator, close + 1); // text after the quote is not kept
            fields << inside;
        } else {
            end = line.indexOf(separator, at);
            fields << line.sliced(at, (end < 0 ? line.size() : end) - at);
        }
        if (end < 0)
            return true;
        at = end + 1;
    }
}

int twoDigits(QStringView s, qsizetype at)
{
    const int hi = s[at].unicode() - '0', lo = s[at + 1].unicode() - '0';
    return hi >= 0 && hi <= 9 && lo >= 0 && lo <= 9 ? hi * 10 + lo : -1;
}

// The time of a row: as written ("2026-12-07T06:00:09Z", read without the general parser, which
// would take most of the start-up for a long log), any other ISO 8601 form, or as a spreadsheet
// may save it back ("2026-12-07 06:00:09", "07.12.2026 6:00"), taken as UTC.
QDateTime parseTime(QStringView text)
{
    if (text.size() == 20 && text[4] == u'-' && text[10] == u'T' && text[19] == u'Z') {
        const int c = twoDigits(text, 0), y = twoDigits(text, 2), mo = twoDigits(text, 5),
                  d = twoDigits(text, 8), h = twoDigits(text, 11), mi = twoDigits(text, 14),
                  s = twoDigits(text, 17);
        const QDate date(c * 100 + y, mo, d);
        const QTime time(h, mi, s);
        if (std::min({c, y, mo, d, h, mi, s}) >= 0 && date.isValid() && time.isValid())
            return QDateTime(date, time, QTimeZone::utc());
    }
    const QString trimmed = text.trimmed().toString();
    QDateTime time = QDateTime::fromString(trimmed, Qt::ISODate);
    for (const char *form : {"yyyy-MM-dd H:mm:ss", "yyyy-MM-dd H:mm", "dd.MM.yyyy H:mm:ss",
                             "dd.MM.yyyy H:mm", "d.M.yyyy H:mm:ss", "d.M.yyyy H:mm"}) {
        if (time.isValid())
            break;
        time = QDateTime::fromString(trimmed, QLatin1String(form));
        time.setTimeZone(QTimeZone::utc());
    }
    return time.toUTC();
}

// The columns of a header line split at `separator`: for each field, the column it names or -1.
QList<int> columnsOf(QStringView header, QChar separator)
{
    Fields names;
    std::deque<QString> unescaped;
    splitLine(header, separator, names, unescaped);
    QList<int> columns;
    for (const QStringView name : names) {
        const QString key = name.trimmed().toString().toLower();
        const auto it = std::find(kColumnNames.begin(), kColumnNames.end(), key);
        columns << (it == kColumnNames.end() ? -1 : int(it - kColumnNames.begin()));
    }
    return columns;
}

bool hasColumnsToRead(const QList<int> &columns)
{
    for (DeliveryLog::Column needed : {DeliveryLog::Column::Address, DeliveryLog::Column::Result,
                                       DeliveryLog::Column::Mailing}) {
        if (!columns.contains(int(needed)))
            return false;
    }
    return true;
}

QByteArray hexOfHash(QByteArrayView subject, QByteArrayView text)
{
    // The subject is one line, so the line end keeps the two apart.
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(subject);
    hash.addData("\n");
    hash.addData(text);
    return hash.result().toHex().left(12);
}

} // namespace

QByteArray DeliveryLog::fingerprint(QByteArrayView subject, QByteArrayView text)
{
    QByteArray hex = hexOfHash(subject, text);
    const int first = QByteArrayView("0123456789abcdef").indexOf(hex[0]);
    hex[0] = "abcdef"[first % 6]; // a letter, whatever the hash
    return hex;
}

QByteArray DeliveryLog::bodyFingerprint(QByteArrayView subject, QByteArrayView body)
{
    return hexOfHash(subject, body);
}

DeliveryLog::Reading DeliveryLog::read(const QString &path,
                                       const std::function<void(const Row &)> &onRow)
{
    Reading reading;
    QFile file;
    reading.error = SafeFile::open(file, path, SafeFile::Mode::Read);
    reading.exists =
        reading.error.isNull() || QFileInfo(path).exists() || QFileInfo(path).isSymLink();
    if (!reading.exists) {
        reading.error = QString();
        return reading;
    }
    if (!reading.error.isNull())
        return reading;
    QByteArray data;
    try {
        data = file.readAll();
    } catch (const std::bad_alloc &) {
        reading.error = QStringLiteral("файл слишком велик: не хватает памяти");
        return reading;
    }
    if (file.error() != QFileDevice::NoError) {
        reading.error = QStringLiteral("ошибка чтения (%1)").arg(file.errorString());
        return reading;
    }

    // UTF-8 with or without its byte-order mark, or Windows-1251 as a spreadsheet in Russian
    // settings saves it (never valid UTF-8 once it holds a Cyrillic letter).
    QString text;
    Format &format = reading.format;
    if (data.startsWith(kBom)) {
        text = QString::fromUtf8(QByteArrayView(data).sliced(3));
    } else {
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        text = utf8.decode(data);
        format.encoding = utf8.hasError() ? Format::Encoding::Cp1251 : Format::Encoding::Utf8;
        if (utf8.hasError())
            text = Cp1251::toUnicode(data);
    }

    Fields fields;
    std::deque<QString> unescaped;
    bool header = true;
    for (qsizetype at = 0; at < text.size();) {
        qsizetype end = at;
        while (end < text.size() && text[end] != u'\r' && text[end] != u'\n')
            ++end;
        const QStringView line = QStringView(text).sliced(at, end - at);
        at = end + (end + 1 < text.size() && text[end] == u'\r' && text[end + 1] == u'\n' ? 2 : 1);
        if (line.trimmed().isEmpty())
            continue;
        if (header) {
            header = false;
            bool understood = false;
            for (const QChar separator : {u';', u',', u'\t'}) {
                const QList<int> columns = columnsOf(line, separator);
                if (!understood && hasColumnsToRead(columns)) {
                    format.separator = char(separator.unicode());
                    format.columns = columns;
                    understood = true;
                }
            }
            if (!understood) {
                reading.error = QStringLiteral("в нём нет строки заголовка со столбцами address, "
                                               "result и mailing: это не журнал рассылки или он "
                                               "испорчен");
                return reading;
            }
            continue;
        }
        unescaped.clear();
        if (!splitLine(line, QChar(format.separator), fields, unescaped)) {
            ++reading.skipped;
            continue;
        }
        std::array<QStringView, ColumnCount> value;
        for (qsizetype i = 0; i < std::min(fields.size(), format.columns.size()); ++i) {
            if (format.columns[i] >= 0)
                value[std::size_t(format.columns[i])] = fields[i];
        }
        const QStringView resultName = value[std::size_t(Column::Result)].trimmed();
        const auto result = std::find_if(kResultNames.begin(), kResultNames.end(), [&](auto name) {
            return resultName.compare(name, Qt::CaseInsensitive) == 0;
        });
        if (result == kResultNames.end()) { // spoilt, or a kind of row the program does not know
            ++reading.skipped;
            continue;
        }
        Row row;
        row.time = parseTime(value[std::size_t(Column::Time)]);
        row.line = value[std::size_t(Column::Line)].trimmed().toInt();
        row.address = unguarded(value[std::size_t(Column::Address)].trimmed());
        row.result = Result(result - kResultNames.begin());
        row.reply = unguarded(value[std::size_t(Column::Reply)]);
        row.messageId = unguarded(value[std::size_t(Column::MessageId)].trimmed()).toLatin1();
        row.mailing = unguarded(value[std::size_t(Column::Mailing)].trimmed()).toLatin1();
        onRow(row);
    }
    if (header) // an empty file: a log that was made and never written to
        format = Format();
    return reading;
}

QByteArray DeliveryLog::encode(const Row &row) const
{
    const QString values[ColumnCount] = {row.time.toUTC().toString(Qt::ISODate),
                                         row.line > 0 ? QString::number(row.line) : QString(),
                                         row.address,
                                         kResultNames[std::size_t(row.result)],
                                         row.reply.trimmed(),
                                         QString::fromLatin1(row.messageId),
                                         QString::fromLatin1(row.mailing)};
    QString line;
    for (qsizetype i = 0; i < m_format.columns.size(); ++i) {
        const int column = m_format.columns[i];
        QString field = column >= 0 ? guarded(values[column]) : QString();
        if (field.contains(QChar(m_format.separator)) || field.contains(u'"'))
            field = u'"' + field.replace(u'"', QLatin1String("\"\"")) + u'"';
        if (i > 0)
            line += QChar(m_format.separator);
        line += field;
    }
    line += QLatin1String("\r\n");
    return m_format.encoding == Format::Encoding::Cp1251 ? Cp1251::fromUnicode(line)
                                                         : line.toUtf8();
}

QString DeliveryLog::open()
{
    if (m_file.isOpen())
        return QString();
    const bool created = !QFileInfo::exists(m_path);
    const QString error = SafeFile::open(m_file, m_path, SafeFile::Mode::Append);
    if (!error.isNull())
        return error;
    if (m_file.size() == 0) {
        // A new log starts with its header, in the form of a new log.
        m_format = Format();
        QByteArray header = kBom;
        for (int i = 0; i < ColumnCount; ++i)
            header += (i ? ";" : "") + QByteArray(kColumnNames[std::size_t(i)].data());
        m_waiting.prepend(header + "\r\n");
        m_lineEndFirst = false;
    } else {
        // A row cut short by a crash gets its line end, so that the next one starts a row of
        // its own.
        QFile old;
        m_lineEndFirst = !SafeFile::open(old, m_path, SafeFile::Mode::Read).isNull() ||
                         !old.seek(old.size() - 1) || old.read(1) != "\n";
    }
#ifndef Q_OS_WIN
    // A new file is only as safe as the folder that names it.
    const int folder =
        created ? ::open(QFile::encodeName(QFileInfo(m_path).absolutePath()), O_RDONLY | O_CLOEXEC)
                : -1;
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
#else
    Q_UNUSED(created);
#endif
    return QString();
}

QString DeliveryLog::append(const Row &row)
{
    m_waiting << encode(row);
    return flush();
}

QString DeliveryLog::flush()
{
    if (m_waiting.isEmpty())
        return QString();
    const QString error = open();
    if (!error.isNull())
        return error;
    QByteArray text = m_lineEndFirst ? QByteArray("\r\n") : QByteArray();
    for (const QByteArray &row : std::as_const(m_waiting))
        text += row;
    // A write that stops short is carried on until it fails, which tells why.
    qint64 written = 0;
    for (qint64 n = 1; written < text.size() && n > 0;) {
        n = m_file.write(text.constData() + written, text.size() - written);
        written += std::max<qint64>(n, 0);
    }
    // The rows written whole are on their way to the disk and never written again; a row cut
    // short waits, and goes whole later.
    qint64 done = written - (m_lineEndFirst ? 2 : 0);
    if (done >= 0)
        m_lineEndFirst = false;
    while (!m_waiting.isEmpty() && done >= m_waiting.first().size())
        done -= m_waiting.takeFirst().size();
    // The part of a row cut short that reached the file is taken back; where the file cannot be
    // shortened, the row goes on a line of its own and the fragment is a row the reader skips.
    if (done > 0)
        m_lineEndFirst = !m_file.resize(m_file.size() - done);
    if (written != text.size())
        return m_file.errorString();
    return SafeFile::sync(m_file) ? QString() : m_file.errorString();
}
