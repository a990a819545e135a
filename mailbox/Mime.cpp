#include "Mime.h"

#include "Cp1251.h"

#include <algorithm>
#include <cstring>

namespace Mailbox {

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The line starting at `pos`: its text without the line end, and where the next one starts.
QByteArrayView lineAt(QByteArrayView text, qsizetype pos, qsizetype *next)
{
    const auto *lf = static_cast<const char *>(
        std::memchr(text.data() + pos, '\n', std::size_t(text.size() - pos)));
    const qsizetype end = lf ? lf - text.data() : text.size();
    *next = lf ? end + 1 : end;
    QByteArrayView line = text.sliced(pos, end - pos);
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

// KOI8-R's upper half, as Python's codec reads it.
const char16_t kKoi8r[] = u"─│┌┐└┘├┤┬┴┼▀▄█▌▐░▒▓⌠■∙√≈≤≥ ⌡°²·÷"
                          u"═║╒ё╓╔╕╖╗╘╙╚╛╜╝╞╟╠╡Ё╢╣╤╥╦╧╨╩╪╫╬©"
                          u"юабцдефгхийклмнопярстужвьызшэщчъ"
                          u"ЮАБЦДЕФГХИЙКЛМНОПЯРСТУЖВЬЫЗШЭЩЧЪ";

QString toUnicode(const QByteArray &bytes, QByteArrayView charset)
{
    QByteArray name = charset.toByteArray().toLower();
    if (const qsizetype star = name.indexOf('*'); star >= 0) // RFC 2231's language
        name.truncate(star);
    if (name == "utf-8" || name == "utf8")
        return QString::fromUtf8(bytes);
    if (name == "windows-1251" || name == "cp1251" || name == "x-cp1251")
        return Cp1251::toUnicode(bytes);
    if (name == "koi8-r" || name == "koi8-u") {
        QString text;
        text.reserve(bytes.size());
        for (const char c : bytes)
            text += (c & 0x80) ? QChar(kKoi8r[uchar(c) - 0x80]) : QChar(c);
        return text;
    }
    return QString::fromLatin1(bytes);
}

// One encoded-word "=?charset?B?text?=" at `pos`: its charset and bytes, and its end.
bool encodedWord(QByteArrayView text, qsizetype pos, QByteArray *charset, QByteArray *bytes,
                 qsizetype *end)
{
    if (!text.sliced(pos).startsWith("=?"))
        return false;
    const qsizetype q1 = text.indexOf('?', pos + 2);
    if (q1 < 0 || q1 + 3 > text.size() || text[q1 + 2] != '?')
        return false;
    const char encoding = text[q1 + 1];
    const qsizetype close = text.indexOf("?=", q1 + 3);
    if (close < 0)
        return false;
    const QByteArrayView encoded = text.sliced(q1 + 3, close - q1 - 3);
    for (const char c : encoded)
        if (isSpace(c))
            return false;
    *charset = text.sliced(pos + 2, q1 - pos - 2).toByteArray();
    if (encoding == 'B' || encoding == 'b') {
        *bytes = QByteArray::fromBase64(encoded.toByteArray());
    } else if (encoding == 'Q' || encoding == 'q') {
        bytes->clear();
        for (qsizetype i = 0; i < encoded.size(); ++i) {
            if (encoded[i] == '_') {
                *bytes += ' ';
            } else if (encoded[i] == '=' && i + 2 < encoded.size() &&
                       hexValue(encoded[i + 1]) >= 0 && hexValue(encoded[i + 2]) >= 0) {
                *bytes += char(hexValue(encoded[i + 1]) * 16 + hexValue(encoded[i + 2]));
                i += 2;
            } else {
                *bytes += encoded[i];
            }
        }
    } else {
        return false;
    }
    *end = close + 2;
    return true;
}

} // namespace

Header Header::parse(QByteArrayView message, qsizetype *bodyStart)
{
    Header header;
    qsizetype pos = 0, next = 0;
    while (pos < message.size()) {
        const QByteArrayView line = lineAt(message, pos, &next);
        pos = next;
        if (line.isEmpty())
            break;
        if ((line[0] == ' ' || line[0] == '\t')) {
            if (!header.m_fields.isEmpty())
                header.m_fields.back().value += line;
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue; // no field: an mbox "From " line or garbage
        header.m_fields.append(
            {line.first(colon).trimmed().toByteArray(), line.sliced(colon + 1).toByteArray()});
    }
    for (Field &field : header.m_fields)
        field.value = field.value.trimmed();
    if (bodyStart)
        *bodyStart = pos;
    return header;
}

QByteArray Header::value(QByteArrayView name) const
{
    for (const Field &field : m_fields)
        if (QByteArrayView(field.name).compare(name, Qt::CaseInsensitive) == 0)
            return field.value;
    return {};
}

ContentType ContentType::parse(QByteArrayView value)
{
    ContentType result;
    const qsizetype semicolon = value.indexOf(';');
    const QByteArray type =
        (semicolon < 0 ? value : value.first(semicolon)).trimmed().toByteArray().toLower();
    if (type.count('/') == 1 && !type.startsWith('/') && !type.endsWith('/'))
        result.type = type;
    if (semicolon < 0)
        return result;
    qsizetype i = semicolon;
    while (i < value.size()) {
        while (i < value.size() && (value[i] == ';' || isSpace(value[i])))
            ++i;
        const qsizetype equals = value.indexOf('=', i);
        if (equals < 0)
            break;
        const QByteArray name = value.sliced(i, equals - i).trimmed().toByteArray().toLower();
        i = equals + 1;
        while (i < value.size() && isSpace(value[i]))
            ++i;
        QByteArray text;
        if (i < value.size() && value[i] == '"') {
            for (++i; i < value.size() && value[i] != '"'; ++i) {
                if (value[i] == '\\' && i + 1 < value.size())
                    ++i;
                text += value[i];
            }
            ++i;
        } else {
            while (i < value.size() && value[i] != ';' && !isSpace(value[i]))
                text += value[i++];
        }
        result.params.append({name, text});
        while (i < value.size() && value[i] != ';')
            ++i;
    }
    return result;
}

QByteArray ContentType::param(QByteArrayView name) const
{
    for (const auto &[key, value] : params)
        if (key == name)
            return value;
    return {};
}

QByteArray decodeQuotedPrintable(QByteArrayView text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            bytes += text[i];
            continue;
        }
        // A soft line break: "=", maybe spaces, then the line end.
        qsizetype j = i + 1;
        while (j < text.size() && (text[j] == ' ' || text[j] == '\t'))
            ++j;
        if (j < text.size() && (text[j] == '\r' || text[j] == '\n')) {
            i = j + (text[j] == '\r' && j + 1 < text.size() && text[j + 1] == '\n');
            continue;
        }
        if (j == text.size()) {
            i = j;
            continue;
        }
        if (i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            bytes += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            bytes += '='; // not an escape: kept as it is
        }
    }
    return bytes;
}

QByteArray decodeBody(QByteArrayView body, QByteArrayView transferEncoding)
{
    const QByteArray encoding = transferEncoding.trimmed().toByteArray().toLower();
    if (encoding == "base64")
        return QByteArray::fromBase64(body.toByteArray()); // bytes outside the alphabet skipped
    if (encoding == "quoted-printable")
        return decodeQuotedPrintable(body);
    return body.toByteArray();
}

QList<QByteArrayView> multipartParts(QByteArrayView body, QByteArrayView boundary)
{
    QList<QByteArrayView> parts;
    if (boundary.isEmpty())
        return parts;
    const QByteArray delimiter = "--" + boundary.toByteArray();
    qsizetype partStart = -1; // where the current part's text begins
    for (qsizetype pos = 0; pos <= body.size() - delimiter.size();) {
        const qsizetype at = body.indexOf(delimiter, pos);
        if (at < 0)
            break;
        pos = at + 1;
        if (at > 0 && body[at - 1] != '\n')
            continue; // not at the start of a line
        qsizetype after = at + delimiter.size();
        const bool close = body.sliced(after).startsWith("--");
        if (close)
            after += 2;
        qsizetype k = after;
        while (k < body.size() && (body[k] == ' ' || body[k] == '\t'))
            ++k;
        if (k < body.size() && body[k] != '\r' && body[k] != '\n')
            continue; // a longer boundary that begins with this one
        if (partStart >= 0) {
            // The line end before the delimiter belongs to the delimiter.
            qsizetype end = at;
            if (end > partStart && body[end - 1] == '\n')
                --end;
            if (end > partStart && body[end - 1] == '\r')
                --end;
            parts.append(body.sliced(partStart, end - partStart));
        }
        if (close)
            return parts;
        qsizetype next;
        lineAt(body, at, &next);
        partStart = next;
        pos = next;
    }
    if (partStart >= 0 && partStart <= body.size())
        parts.append(body.sliced(partStart)); // no closing delimiter: the message was cut
    return parts;
}

QString decodeWords(QByteArrayView value)
{
    QString text;
    QByteArray pendingCharset, pendingBytes; // adjacent words of one charset, joined as bytes
    const auto flush = [&] {
        if (!pendingCharset.isNull())
            text += toUnicode(pendingBytes, pendingCharset);
        pendingCharset = QByteArray();
        pendingBytes.clear();
    };
    qsizetype plainStart = 0;
    for (qsizetype i = 0; i < value.size();) {
        QByteArray charset, bytes;
        qsizetype end;
        if (!encodedWord(value, i, &charset, &bytes, &end)) {
            ++i;
            continue;
        }
        const QByteArrayView between = value.sliced(plainStart, i - plainStart);
        const bool onlySpace = std::all_of(between.begin(), between.end(), isSpace);
        if (!(onlySpace && !pendingCharset.isNull())) {
            flush();
            text += QString::fromUtf8(between);
        }
        if (!pendingCharset.isNull() && charset.toLower() != pendingCharset.toLower())
            flush();
        if (pendingCharset.isNull())
            pendingCharset = charset;
        pendingBytes += bytes;
        i = plainStart = end;
    }
    flush();
    text += QString::fromUtf8(value.sliced(plainStart));
    return text;
}

QByteArray addressOf(QByteArrayView value)
{
    const qsizetype open = value.lastIndexOf('<');
    if (open >= 0) {
        const qsizetype close = value.indexOf('>', open);
        if (close > open)
            return value.sliced(open + 1, close - open - 1).trimmed().toByteArray();
    }
    QByteArray plain;
    int depth = 0;
    for (const char c : value) {
        if (c == '(')
            ++depth;
        else if (c == ')' && depth > 0)
            --depth;
        else if (depth == 0 && !isSpace(c))
            plain += c;
    }
    return plain;
}

} // namespace Mailbox
