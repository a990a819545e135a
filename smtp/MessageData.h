// The message data sent after the DATA go-ahead, produced a chunk at a time.
//
// The data is the header block (see Headers.h), then the text
// B = body + CR LF + CR LF + attachment block, then the end mark "." CR LF. B is cut into
// pieces at every CR LF (empty pieces count, a trailing one included) and every piece is sent
// followed by CR LF. Inside a piece a bare LF or a bare CR (the uuencoded lines end with LF)
// is sent as CR LF, so the server never sees a bare line end. Every line that begins with "."
// goes out with one more "." in front, so no line of the text can end the data early.
//
// The attachment block can be tens of megabytes, so it is taken by move and never converted
// as a whole: each chunk is produced from where the previous one stopped.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace Smtp {

class MessageData
{
public:
    // Nothing to send: finished() is true.
    MessageData() = default;
    // `header` is the whole header block, ended by its empty line; it is sent as it is.
    MessageData(QByteArray header, QByteArray body, QByteArray attachmentBlock);

    // The next part of the data, at most `maxBytes` (at least one byte is asked for, whatever
    // `maxBytes` says). Every chunk but the last is exactly that long; empty once finished.
    QByteArray nextChunk(qsizetype maxBytes);
    // True once the whole data, end mark included, has been handed out.
    bool finished() const { return m_phase == Phase::Done && m_litPos == m_litLen; }

private:
    enum class Phase { Header, Text, Done };

    QByteArrayView segment(int index) const;
    void setLiteral(QByteArrayView literal);
    char *put(char *dst, char *end, QByteArrayView literal);
    char *copyLiteral(char *dst, char *end);
    char *produceText(char *dst, char *end);
    qsizetype remainingBound() const;

    Phase m_phase = Phase::Done;
    QByteArray m_header;
    qsizetype m_headerPos = 0;

    // The text B as three segments: the body, the separator CR LF CR LF, the block.
    QByteArray m_body;
    QByteArray m_block;
    int m_segment = 0;
    qsizetype m_pos = 0;     // in the current segment
    qsizetype m_nextCr = -1; // next CR at or after m_pos (segment size if none); -1: unknown
    qsizetype m_nextLf = -1; // likewise for LF
    bool m_lineStart = true; // the next byte of the text begins a line

    // A few bytes that did not fit into the previous chunk (a line end, a stuffed dot, the
    // end mark); sent before anything else.
    char m_lit[8] = {};
    qsizetype m_litPos = 0;
    qsizetype m_litLen = 0;
};

} // namespace Smtp
