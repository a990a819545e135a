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

    // The next part of the data, `maxBytes` long (at least one byte), shorter only at the end;
    // empty once finished.
    QByteArray nextChunk(qsizetype maxBytes);
    // True once the whole data, end mark included, has been handed out.
    bool finished() const { return m_part == Done && m_ready.isEmpty(); }

private:
    void produce(qsizetype room);

    enum Part { Text, Block, Done };
    Part m_part = Done;
    QByteArray m_ready; // produced, not handed out yet: at most a chunk and a line end or two
    QByteArray m_text;  // the header, then the body and the separator CR LF CR LF
    QByteArray m_block;
    qsizetype m_pos = 0;     // in the current part
    qsizetype m_nextCr = -1; // next CR at or after m_pos (the part's size if none); -1: unknown
    qsizetype m_nextLf = -1; // likewise for LF
    bool m_lineStart = true; // the next byte begins a line
};

} // namespace Smtp
