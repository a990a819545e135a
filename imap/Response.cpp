#include "Response.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace Imap {

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The size of the literal that the piece announces at its end, "{n}" or "{n+}"; -1 for none,
// -2 for a size past `max`.
qint64 announcedLiteral(QByteArrayView piece, qint64 max)
{
    if (!piece.endsWith('}'))
        return -1;
    const qsizetype open = piece.lastIndexOf('{');
    if (open < 0)
        return -1;
    QByteArrayView digits = piece.sliced(open + 1, piece.size() - open - 2);
    if (digits.endsWith('+'))
        digits.chop(1);
    if (digits.isEmpty() || !std::all_of(digits.begin(), digits.end(), isDigit))
        return -1;
    qint64 n = 0;
    for (const char c : digits) {
        n = n * 10 + (c - '0');
        if (n > max)
            return -2;
    }
    return n;
}

} // namespace

void ResponseAssembler::feed(QByteArrayView bytes)
{
    while (!bytes.isEmpty() && !m_failed) {
        if (m_literalLeft >= 0) {
            const qsizetype n = qsizetype(std::min<qint64>(m_literalLeft, bytes.size()));
            QByteArray &literal = m_current.literals.back();
            const qsizetype room = MaxLiteralBytes - literal.size();
            literal.append(bytes.first(std::min(n, room)));
            m_current.truncated = m_current.truncated || n > room;
            m_literalLeft -= n;
            bytes = bytes.sliced(n);
            if (m_literalLeft == 0)
                m_literalLeft = -1;
            continue;
        }
        const auto *lf =
            static_cast<const char *>(std::memchr(bytes.data(), '\n', std::size_t(bytes.size())));
        const qsizetype n = lf ? lf - bytes.data() + 1 : bytes.size();
        if (m_text + n > MaxTextBytes)
            return fail("a response longer than 4 MiB");
        m_line.append(bytes.first(n));
        m_text += n;
        bytes = bytes.sliced(n);
        if (lf)
            endLine();
    }
}

void ResponseAssembler::endLine()
{
    m_line.chop(1); // LF
    if (m_line.endsWith('\r'))
        m_line.chop(1);
    const qint64 literal = announcedLiteral(m_line, MaxDeclaredLiteral);
    if (literal == -2)
        return fail("a literal of more than 64 MiB");
    m_current.pieces.append(std::exchange(m_line, QByteArray()));
    if (literal >= 0) {
        m_current.literals.append(QByteArray());
        m_literalLeft = literal > 0 ? literal : -1;
        return;
    }
    m_ready.push_back(std::exchange(m_current, Response()));
    m_text = 0;
}

void ResponseAssembler::fail(const char *why)
{
    m_failed = true;
    m_failure = why;
    m_current = Response();
    m_line.clear();
}

Response ResponseAssembler::takeResponse()
{
    if (m_ready.empty())
        return {};
    Response response = std::move(m_ready.front());
    m_ready.pop_front();
    return response;
}

void ResponseAssembler::clear()
{
    *this = ResponseAssembler();
}

bool Reader::atEnd() const
{
    if (m_piece + 1 < m_r.pieces.size())
        return false;
    if (m_piece >= m_r.pieces.size())
        return true;
    const QByteArrayView p = piece();
    for (qsizetype i = m_pos; i < p.size(); ++i)
        if (p[i] != ' ')
            return false;
    return true;
}

void Reader::skipSpaces()
{
    if (m_piece >= m_r.pieces.size())
        return;
    const QByteArrayView p = piece();
    while (m_pos < p.size() && p[m_pos] == ' ')
        ++m_pos;
}

bool Reader::peek(char c) const
{
    if (m_piece >= m_r.pieces.size())
        return false;
    const QByteArrayView p = piece();
    qsizetype i = m_pos;
    while (i < p.size() && p[i] == ' ')
        ++i;
    return i < p.size() && p[i] == c;
}

bool Reader::take(char c)
{
    if (!peek(c))
        return false;
    skipSpaces();
    ++m_pos;
    return true;
}

QByteArray Reader::atom(bool brackets)
{
    skipSpaces();
    if (m_piece >= m_r.pieces.size())
        return {};
    const QByteArrayView p = piece();
    qsizetype i = m_pos;
    int depth = 0;
    while (i < p.size()) {
        const char c = p[i];
        if (brackets && c == '[') {
            ++depth;
        } else if (brackets && c == ']' && depth > 0) {
            --depth;
        } else if (depth == 0 && (c == ' ' || c == '(' || c == ')' || c == '{' || c == '"' ||
                                  c == '[' || c == ']' || c < ' ' || c == 0x7f)) {
            break;
        } else if (depth > 0 && (c == '{' || c == '"')) {
            return {}; // a literal or quoted string inside a section: not read here
        }
        ++i;
    }
    if (depth > 0)
        return {};
    if (brackets && i > m_pos && i < p.size() && p[i] == '<') { // a partial fetch's origin
        const qsizetype close = p.indexOf('>', i);
        if (close < 0)
            return {};
        i = close + 1;
    }
    QByteArray word = p.sliced(m_pos, i - m_pos).toByteArray();
    m_pos = i;
    return word;
}

bool Reader::number(quint32 *value)
{
    const qsizetype piece = m_piece, pos = m_pos;
    const QByteArray digits = atom();
    bool ok = !digits.isEmpty() && std::all_of(digits.begin(), digits.end(), isDigit);
    const qulonglong n = ok ? digits.toULongLong(&ok) : 0;
    if (!ok || n > 0xffffffffu) {
        m_piece = piece, m_pos = pos;
        return false;
    }
    *value = quint32(n);
    return true;
}

bool Reader::literal(QByteArray *value, bool *truncated)
{
    // "{n}" ends the piece; the literal follows it, then the next piece goes on.
    const QByteArrayView p = piece();
    const qsizetype open = m_pos;
    if (m_piece + 1 >= m_r.pieces.size() || !p.endsWith('}') || p.lastIndexOf('{') != open)
        return false;
    QByteArrayView digits = p.sliced(open + 1, p.size() - open - 2);
    if (digits.endsWith('+'))
        digits.chop(1);
    const QByteArray &bytes = m_r.literals[m_piece];
    if (truncated)
        *truncated = bytes.size() < digits.toByteArray().toLongLong();
    *value = bytes.isNull() ? QByteArray("") : bytes;
    ++m_piece;
    m_pos = 0;
    return true;
}

bool Reader::string(QByteArray *value, bool *truncated)
{
    if (truncated)
        *truncated = false;
    skipSpaces();
    if (m_piece >= m_r.pieces.size())
        return false;
    const QByteArrayView p = piece();
    if (m_pos >= p.size())
        return false;
    if (p[m_pos] == '{')
        return literal(value, truncated);
    if (p[m_pos] == '"') {
        QByteArray text("");
        for (qsizetype i = m_pos + 1; i < p.size(); ++i) {
            if (p[i] == '"') {
                *value = text;
                m_pos = i + 1;
                return true;
            }
            if (p[i] == '\\' && i + 1 < p.size())
                ++i;
            text += p[i];
        }
        return false;
    }
    const qsizetype pos = m_pos;
    const QByteArray word = atom();
    if (word.isEmpty()) {
        m_pos = pos;
        return false;
    }
    *value = word.compare("NIL", Qt::CaseInsensitive) == 0 ? QByteArray() : word;
    return true;
}

bool Reader::skipValue(int depth)
{
    if (depth > MaxDepth)
        return false;
    const qsizetype piece = m_piece, pos = m_pos;
    bool ok;
    if (take('(')) {
        ok = true;
        while (ok && !take(')'))
            ok = !atEnd() && skipValue(depth + 1);
    } else if (peek('"') || peek('{')) {
        QByteArray ignored;
        ok = string(&ignored);
    } else {
        ok = !atom(true).isEmpty();
    }
    if (!ok)
        m_piece = piece, m_pos = pos;
    return ok;
}

QByteArray Reader::rest()
{
    skipSpaces();
    if (m_piece >= m_r.pieces.size())
        return {};
    QByteArray text = piece().sliced(m_pos).toByteArray();
    m_pos = piece().size();
    return text;
}

} // namespace Imap
