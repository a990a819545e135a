#include "Reply.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace Smtp {

bool isAccepted(QByteArrayView reply)
{
    if (reply.size() < 3)
        return false;
    const QByteArrayView code = reply.first(3);
    return code == "220" || code == "250" || code == "354";
}

void ReplyAssembler::feed(QByteArrayView bytes)
{
    while (!bytes.isEmpty()) {
        const auto *lf =
            static_cast<const char *>(std::memchr(bytes.data(), '\n', std::size_t(bytes.size())));
        const qsizetype n = lf ? lf - bytes.data() + 1 : bytes.size();
        if (m_lineSeen <= 3 && m_lineSeen + n > 3)
            m_continues = bytes[3 - m_lineSeen] == '-';
        const qsizetype room = MaxReplyBytes - m_current.size();
        if (room > 0)
            m_current.append(bytes.first(std::min(n, room)));
        m_lineSeen += n;
        bytes = bytes.sliced(n);
        if (!lf)
            break;
        if (!m_continues)
            m_ready.push_back(std::exchange(m_current, QByteArray()));
        m_lineSeen = 0;
        m_continues = false;
    }
}

QByteArray ReplyAssembler::takeReply()
{
    if (m_ready.empty())
        return {};
    QByteArray reply = std::move(m_ready.front());
    m_ready.pop_front();
    return reply;
}

void ReplyAssembler::clear()
{
    m_ready.clear();
    m_current.clear();
    m_lineSeen = 0;
    m_continues = false;
}

} // namespace Smtp
