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

bool isDeadAddress(QByteArrayView reply)
{
    if (reply.size() < 4 || reply[0] != '5')
        return false;
    // "5.S.D" after the code and its separator: class, subject and detail of one to three digits.
    const QByteArrayView text = reply.sliced(4);
    qsizetype i = 0;
    int numbers[3] = {};
    for (int part = 0; part < 3; ++part) {
        const qsizetype start = i;
        while (i < text.size() && i - start < 3 && text[i] >= '0' && text[i] <= '9')
            numbers[part] = numbers[part] * 10 + (text[i++] - '0');
        const bool ended =
            part == 2 ? i == text.size() || text[i] == ' ' || text[i] == '\r' || text[i] == '\n'
                      : i < text.size() && text[i] == '.';
        if (i == start || !ended) {
            const QByteArrayView code = reply.first(3); // no enhanced code
            return code == "550" || code == "551" || code == "553";
        }
        i += part < 2;
    }
    return numbers[0] == 5 && (numbers[1] == 1 || (numbers[1] == 2 && numbers[2] == 1));
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
