#include "Recipient.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace Smtp {

namespace {

// The classes of the bytes, in a table: every line is read byte by byte, some twice.
enum : unsigned char {
    Blank = 1,   // space and tab
    NotBare = 2, // < > " ; , and tab: a line that holds one is not a bare address
    Special = 4, // RFC 5322 specials but the dot, which names such as "Anna I. Ivanova" hold
};
constexpr std::array<unsigned char, 256> kClass = [] {
    std::array<unsigned char, 256> table{};
    const auto mark = [&table](std::string_view bytes, unsigned char bit) {
        for (const char c : bytes)
            table[static_cast<unsigned char>(c)] |= bit;
    };
    mark(" \t", Blank);
    mark("<>\";,\t", NotBare);
    mark("()<>[]:;@\\,\"", Special);
    return table;
}();

bool is(char c, unsigned char bits)
{
    return kClass[static_cast<unsigned char>(c)] & bits;
}

bool isBlank(char c)
{
    return is(c, Blank);
}

QByteArrayView trimmedBlanks(QByteArrayView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

// What Smtp::address gives, without a copy: trimmed of spaces, one enclosing pair of angle
// brackets removed.
QByteArrayView unbracketed(QByteArrayView line)
{
    qsizetype begin = 0;
    qsizetype end = line.size();
    while (begin < end && line[begin] == ' ')
        ++begin;
    while (end > begin && line[end - 1] == ' ')
        --end;
    if (end - begin >= 2 && line[begin] == '<' && line[end - 1] == '>')
        ++begin, --end;
    return line.sliced(begin, end - begin);
}

bool isAddress(QByteArrayView text)
{
    qsizetype first = -1, last = -1; // where "@" stands
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (is(text[i], Blank | NotBare))
            return false;
        if (text[i] == '@')
            (first < 0 ? first : last) = i;
    }
    return first > 0 && std::max(first, last) < text.size() - 1;
}

// The text of a quoted string that is all of `phrase`, its quoted-pairs undone; false when
// `phrase` is not one.
bool quotedString(QByteArrayView phrase, QByteArray &name)
{
    name.resize(phrase.size());
    char *out = name.data();
    for (qsizetype i = 1; i < phrase.size(); ++i) {
        char c = phrase[i];
        if (c == '"') {
            name.truncate(out - name.data());
            return i == phrase.size() - 1;
        }
        if (c == '\\' && i + 1 < phrase.size())
            c = phrase[++i];
        *out++ = c;
    }
    return false; // never closed
}

// Words without specials, one space between each two; false when `phrase` holds a special.
bool plainWords(QByteArrayView phrase, QByteArray &name)
{
    name.resize(phrase.size());
    char *out = name.data();
    bool blank = false;
    for (const char c : phrase) {
        if (is(c, Special))
            return false;
        if (isBlank(c)) {
            blank = true;
            continue;
        }
        if (blank)
            *out++ = ' ';
        blank = false;
        *out++ = c;
    }
    name.truncate(out - name.data());
    return true;
}

// "Name <address>" or "\"Name\" <address>".
bool namedAddress(QByteArrayView line, Recipient &recipient)
{
    const QByteArrayView text = trimmedBlanks(line);
    if (!text.endsWith('>'))
        return false;
    const qsizetype open = text.lastIndexOf('<');
    if (open <= 0)
        return false;
    const QByteArrayView address = trimmedBlanks(text.sliced(open + 1, text.size() - open - 2));
    const QByteArrayView phrase = trimmedBlanks(text.first(open));
    QByteArray name;
    if (!isAddress(address) ||
        !(phrase.front() == '"' ? quotedString(phrase, name) : plainWords(phrase, name)))
        return false;
    recipient = {address.toByteArray(), std::move(name)};
    return true;
}

// ';' when one stands outside double quotes, else a tab, else ','; 0 when there is none.
char separatorOf(QByteArrayView line)
{
    bool quoted = false, tab = false, comma = false;
    for (const char c : line) {
        switch (c) {
        case '"':
            quoted = !quoted;
            break;
        case ';':
            if (!quoted)
                return ';'; // the first choice: no need to read on
            break;
        case '\t':
            tab = tab || !quoted;
            break;
        case ',':
            comma = comma || !quoted;
            break;
        default:
            break;
        }
    }
    return tab ? '\t' : comma ? ',' : '\0';
}

// A row of fields holding exactly one address.
bool rowAddress(QByteArrayView line, Recipient &recipient)
{
    const char separator = separatorOf(line);
    if (separator == '\0')
        return false;
    QByteArrayView address, name;
    bool nameQuoted = false;
    bool quoted = false;
    qsizetype begin = 0;
    for (qsizetype i = 0; i <= line.size(); ++i) {
        if (i < line.size()) {
            quoted ^= line[i] == '"';
            if (quoted || line[i] != separator)
                continue;
        }
        QByteArrayView field = trimmedBlanks(line.sliced(begin, i - begin));
        begin = i + 1;
        const bool inQuotes = field.size() >= 2 && field.front() == '"' && field.back() == '"';
        if (inQuotes)
            field = trimmedBlanks(field.sliced(1, field.size() - 2));
        const QByteArrayView inBrackets =
            field.size() >= 2 && field.front() == '<' && field.back() == '>'
                ? field.sliced(1, field.size() - 2)
                : QByteArrayView();
        if (isAddress(field) || isAddress(inBrackets)) {
            if (!address.isNull())
                return false; // a second address
            address = inBrackets.isNull() ? field : inBrackets;
        } else if (name.isEmpty() && !field.isEmpty()) {
            name = field;
            nameQuoted = inQuotes;
        }
    }
    if (address.isNull())
        return false;
    recipient.address = address.toByteArray();
    recipient.name = name.toByteArray();
    if (nameQuoted)
        recipient.name.replace("\"\"", "\"");
    return true;
}

} // namespace

Recipient recipientOfLine(QByteArrayView line)
{
    const QByteArrayView address = unbracketed(line);
    const bool bare =
        std::none_of(address.begin(), address.end(), [](char c) { return is(c, NotBare); });
    Recipient recipient;
    if (bare || !(namedAddress(line, recipient) || rowAddress(line, recipient)))
        recipient = {address.toByteArray(), {}};
    return recipient;
}

} // namespace Smtp
