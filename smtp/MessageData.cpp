#include "MessageData.h"

#include <algorithm>
#include <cstring>

namespace Smtp {

namespace {

// Offset of the first `c` at or after `from` in `s`, or s.size() if there is none.
qsizetype findFrom(QByteArrayView s, qsizetype from, char c)
{
    const void *hit = std::memchr(s.data() + from, c, std::size_t(s.size() - from));
    return hit ? static_cast<const char *>(hit) - s.data() : s.size();
}

} // namespace

MessageData::MessageData(QByteArray header, QByteArray body, QByteArray attachmentBlock)
    : m_part(Text), m_text(std::move(header)), m_block(std::move(attachmentBlock))
{
    // The body is small beside the block: it is copied behind the header, so that only the
    // block, which can be tens of megabytes, is read in place.
    m_ready = m_text;
    m_pos = m_text.size();
    m_text += body + "\r\n\r\n";
}

QByteArray MessageData::nextChunk(qsizetype maxBytes)
{
    maxBytes = std::max<qsizetype>(maxBytes, 1);
    while (m_ready.size() < maxBytes && m_part != Done)
        produce(maxBytes - m_ready.size());
    QByteArray chunk = m_ready.first(std::min(maxBytes, m_ready.size()));
    m_ready.remove(0, chunk.size());
    return chunk;
}

void MessageData::produce(qsizetype room)
{
    const QByteArrayView s = m_part == Text ? m_text : m_block;
    if (m_pos == s.size()) {
        // After the text the block; after the block the line end of its last piece and the
        // end mark.
        if (m_part == Block) {
            m_ready += "\r\n.\r\n";
            m_text = m_block = QByteArray();
        }
        m_part = Part(m_part + 1);
        m_pos = 0;
        m_nextCr = m_nextLf = -1;
        m_lineStart = true;
        return;
    }
    if (m_lineStart && s[m_pos] == '.')
        m_ready += '.'; // a line that begins with a dot gets one more, so none ends the data
    m_lineStart = false;
    if (m_nextCr < m_pos)
        m_nextCr = findFrom(s, m_pos, '\r');
    if (m_nextLf < m_pos)
        m_nextLf = findFrom(s, m_pos, '\n');
    const qsizetype end = std::min(m_nextCr, m_nextLf);
    const qsizetype n = std::min(end - m_pos, room);
    m_ready.append(s.sliced(m_pos, n));
    m_pos += n;
    if (m_pos == end && end < s.size()) {
        // CR LF, or a bare CR or LF (the uuencoded lines end with LF): each goes out as CR LF.
        m_pos += s[end] == '\r' && end + 1 < s.size() && s[end + 1] == '\n' ? 2 : 1;
        m_ready += "\r\n";
        m_lineStart = true;
    }
}

} // namespace Smtp
