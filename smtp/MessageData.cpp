#include "MessageData.h"

#include <algorithm>
#include <cstring>

namespace Smtp {

namespace {

constexpr QByteArrayView kCrLf = "\r\n";
constexpr QByteArrayView kSeparator = "\r\n\r\n";
// The line end after the last piece, then the end mark.
constexpr QByteArrayView kTail = "\r\n.\r\n";
constexpr int kSegments = 3;

// Offset of the first `c` at or after `from` in `s`, or s.size() if there is none.
qsizetype findFrom(QByteArrayView s, qsizetype from, char c)
{
    const void *hit = std::memchr(s.data() + from, c, std::size_t(s.size() - from));
    return hit ? static_cast<const char *>(hit) - s.data() : s.size();
}

} // namespace

MessageData::MessageData(QByteArray header, QByteArray body, QByteArray attachmentBlock)
    : m_phase(Phase::Header), m_header(std::move(header)), m_body(std::move(body)),
      m_block(std::move(attachmentBlock))
{
}

QByteArrayView MessageData::segment(int index) const
{
    switch (index) {
    case 0:
        return m_body;
    case 1:
        return kSeparator;
    default:
        return m_block;
    }
}

void MessageData::setLiteral(QByteArrayView literal)
{
    std::memcpy(m_lit, literal.data(), std::size_t(literal.size()));
    m_litPos = 0;
    m_litLen = literal.size();
}

char *MessageData::put(char *dst, char *end, QByteArrayView literal)
{
    if (end - dst >= literal.size()) {
        std::memcpy(dst, literal.data(), std::size_t(literal.size()));
        return dst + literal.size();
    }
    setLiteral(literal);
    return copyLiteral(dst, end);
}

char *MessageData::copyLiteral(char *dst, char *end)
{
    const qsizetype n = std::min(m_litLen - m_litPos, qsizetype(end - dst));
    std::memcpy(dst, m_lit + m_litPos, std::size_t(n));
    m_litPos += n;
    return dst + n;
}

qsizetype MessageData::remainingBound() const
{
    // A byte of the text gives at most two bytes on the wire (LF -> CR LF, "." -> "..").
    qsizetype text = 0;
    if (m_phase != Phase::Done) {
        for (int i = m_segment; i < kSegments; ++i)
            text += segment(i).size();
        text -= m_pos;
    }
    return (m_litLen - m_litPos) + (m_header.size() - m_headerPos) + 2 * text +
           (m_phase == Phase::Done ? 0 : kTail.size());
}

QByteArray MessageData::nextChunk(qsizetype maxBytes)
{
    if (finished())
        return {};
    QByteArray out(std::min(std::max<qsizetype>(maxBytes, 1), remainingBound()), Qt::Uninitialized);
    char *const begin = out.data();
    char *const end = begin + out.size();
    char *dst = copyLiteral(begin, end);
    while (dst < end && m_phase != Phase::Done) {
        if (m_phase == Phase::Header) {
            const qsizetype n = std::min(m_header.size() - m_headerPos, qsizetype(end - dst));
            std::memcpy(dst, m_header.constData() + m_headerPos, std::size_t(n));
            dst += n;
            m_headerPos += n;
            if (m_headerPos == m_header.size()) {
                m_header = QByteArray();
                m_headerPos = 0;
                m_phase = Phase::Text;
            }
        } else {
            dst = produceText(dst, end);
        }
    }
    out.truncate(dst - begin);
    return out;
}

char *MessageData::produceText(char *dst, char *end)
{
    while (dst < end) {
        if (m_litPos < m_litLen) {
            dst = copyLiteral(dst, end);
            continue;
        }
        const QByteArrayView s = segment(m_segment);
        if (m_pos == s.size()) {
            if (++m_segment == kSegments) {
                m_body = QByteArray();
                m_block = QByteArray();
                m_segment = 0;
                m_pos = 0;
                m_phase = Phase::Done;
                return put(dst, end, kTail);
            }
            m_pos = 0;
            m_nextCr = m_nextLf = -1;
            continue;
        }
        const char *const p = s.data() + m_pos;
        if (m_lineStart && *p == '.') {
            dst = put(dst, end, ".");
            m_lineStart = false;
            continue;
        }
        if (m_nextCr < m_pos)
            m_nextCr = findFrom(s, m_pos, '\r');
        if (m_nextLf < m_pos)
            m_nextLf = findFrom(s, m_pos, '\n');
        const qsizetype lineBreak = std::min(m_nextCr, m_nextLf);
        if (lineBreak > m_pos) {
            const qsizetype n = std::min(lineBreak - m_pos, qsizetype(end - dst));
            std::memcpy(dst, p, std::size_t(n));
            dst += n;
            m_pos += n;
            m_lineStart = false;
            continue;
        }
        // A line break: CR LF, or a bare CR or LF, each sent as CR LF. A CR that ends a
        // segment is bare: the separator begins with CR and nothing follows the block.
        m_pos += (*p == '\r' && m_pos + 1 < s.size() && p[1] == '\n') ? 2 : 1;
        dst = put(dst, end, kCrLf);
        m_lineStart = true;
    }
    return dst;
}

} // namespace Smtp
