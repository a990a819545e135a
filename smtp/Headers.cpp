#include "Headers.h"

#include "Fields.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace Smtp {

namespace {

const QByteArray kCrLf = QByteArrayLiteral("\r\n");
// The longest line the fields are given, as RFC 2047 asks of lines with encoded-words.
constexpr qsizetype kLineLength = 76;
// Subject bytes per encoded-word: a multiple of 3, so that no base64 padding is needed
// inside; "Subject: " and the word with its 19 characters of frame make 76 characters.
constexpr qsizetype kWordBytes = 36;
// Name bytes per encoded-word of the To field: "To: " and such a word make 75 characters.
constexpr qsizetype kNameWordBytes = 39;

bool isAtext(char c)
{
    // RFC 5322 atext: letters, digits and these signs.
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           QByteArrayView("!#$%&'*+-/=?^_`{|}~").contains(c);
}

// A dot-atom with at least one dot: "example.test", not "localhost" or "a..b".
bool isDottedName(QByteArrayView name)
{
    if (name.isEmpty() || name.front() == '.' || name.back() == '.' || !name.contains('.') ||
        name.indexOf("..") >= 0)
        return false;
    for (const char c : name) {
        if (c != '.' && !isAtext(c))
            return false;
    }
    return true;
}

// `text` as base64 encoded-words of charset windows-1251, `wordBytes` bytes in each, every
// word after a space and every one but the first on a line of its own.
QByteArray encodedWords(QByteArrayView text, qsizetype wordBytes)
{
    QByteArray words;
    for (qsizetype i = 0; i < text.size(); i += wordBytes) {
        words += (i > 0 ? "\r\n =?windows-1251?B?" : " =?windows-1251?B?") +
                 text.sliced(i, std::min(wordBytes, text.size() - i)).toByteArray().toBase64() +
                 "?=";
    }
    return words;
}

// The name as RFC 5322 writes a display name: words of atext with one space between them as
// they are, anything else as a quoted string (which holds tabs as they are). Empty when only
// encoded-words can carry it: a byte outside printable ASCII and tab, or "=?" that a reader
// would take for the start of an encoded-word.
QByteArray plainPhrase(QByteArrayView name)
{
    bool atoms = name.front() != ' ' && name.back() != ' ' && name.indexOf("  ") < 0;
    for (const char c : name) {
        if ((uchar(c) < 0x20 && c != '\t') || uchar(c) > 0x7E)
            return {};
        atoms = atoms && (c == ' ' || isAtext(c));
    }
    if (name.indexOf("=?") >= 0)
        return {};
    if (atoms)
        return name.toByteArray();
    QByteArray quoted = "\"";
    for (const char c : name) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

} // namespace

QByteArray dateField(const QDateTime &moment)
{
    // A moment that is not known (an invalid date has no day of the week) means now.
    const QDateTime date = moment.isValid() ? moment : QDateTime::currentDateTime();
    static const char *const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDate d = date.date();
    const QTime t = date.time();
    const int offset = date.offsetFromUtc() / 60;
    const int zone = std::abs(offset);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d",
                  days[d.dayOfWeek() - 1], d.day(), months[d.month() - 1], d.year(), t.hour(),
                  t.minute(), t.second(), offset < 0 ? '-' : '+', zone / 60, zone % 60);
    return text;
}

QByteArray messageId(const QDateTime &date, quint64 random, QByteArrayView sender)
{
    const qsizetype at = sender.lastIndexOf('@');
    const QByteArrayView domain = at < 0 ? QByteArrayView() : sender.sliced(at + 1);
    return '<' + date.toUTC().toString(QStringLiteral("yyyyMMddhhmmss")).toLatin1() + '.' +
           QByteArray::number(random, 16).toUpper().rightJustified(16, '0') + '@' +
           (isDottedName(domain) ? domain.toByteArray() : QByteArray(MessageIdDomain)) + '>';
}

QByteArray subjectField(QByteArrayView subject)
{
    const bool plain = std::all_of(subject.begin(), subject.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x80 && c != '\r' && c != '\n';
    });
    if (plain && subject.indexOf("=?") < 0)
        return "Subject:" + subject.toByteArray() + kCrLf;
    return "Subject:" + encodedWords(subject, kWordBytes) + kCrLf;
}

QByteArray toField(QByteArrayView address, QByteArrayView name)
{
    if (name.isEmpty() || address.isEmpty() || hasLineBreakOrNul(name))
        return "To: " + address.toByteArray() + kCrLf;
    const QByteArray phrase = plainPhrase(name);
    QByteArray field = phrase.isEmpty() || 4 + phrase.size() > kLineLength
                           ? "To:" + encodedWords(name, kNameWordBytes)
                           : "To: " + phrase;
    // The address follows on the last line of the name when it fits there.
    const qsizetype lastLine = field.size() - (field.lastIndexOf('\n') + 1);
    field += lastLine + 3 + address.size() <= kLineLength ? " <" : "\r\n <";
    return field + address.toByteArray() + '>' + kCrLf;
}

QByteArray listUnsubscribeField(QByteArrayView sender, quint64 random)
{
    // RFC 6068: the address's characters that a mailto URL cannot hold as they are, as %XX.
    return "List-Unsubscribe: <mailto:" +
           QByteArray::fromRawData(sender.data(), sender.size()).toPercentEncoding("@!$'*+=~") +
           "?subject=unsubscribe%20" +
           QByteArray::number(random, 16).toUpper().rightJustified(16, '0') + ">" + kCrLf;
}

QByteArray headerBlock(HeaderFields fields)
{
    if (!fields.date.isValid()) // no moment given: the message goes now
        fields.date = QDateTime::currentDateTime();
    QByteArray block =
        "From: " + fields.sender + kCrLf + toField(fields.recipient, fields.recipientName) +
        "Date: " + dateField(fields.date) + kCrLf +
        "Message-ID: " + messageId(fields.date, fields.random, fields.sender) + kCrLf +
        (fields.listUnsubscribe ? listUnsubscribeField(fields.sender, fields.random)
                                : QByteArray()) +
        subjectField(fields.subject);
    if (fields.plainText) {
        block += "MIME-Version: 1.0\r\n"
                 "Content-Type: text/plain; charset=windows-1251\r\n"
                 "Content-Transfer-Encoding: 8bit\r\n";
    }
    return block + kCrLf;
}

} // namespace Smtp
