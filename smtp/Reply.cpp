#include "Reply.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <utility>

namespace Smtp {

bool isAccepted(QByteArrayView reply)
{
    if (reply.size() < 3)
        return false;
    const QByteArrayView code = reply.first(3);
    return code == "220" || code == "250" || code == "354";
}

namespace {

// An enhanced status code (RFC 3463): class, subject and detail.
struct StatusCode
{
    int klass = 0, subject = 0, detail = 0;
};

// The code "C.S.D" at the start of `text`: one digit, then one to three, then one to three, and
// then the end, a space, a line end or a closing bracket.
std::optional<StatusCode> statusCodeAt(QByteArrayView text)
{
    qsizetype i = 0;
    int numbers[3] = {};
    for (int part = 0; part < 3; ++part) {
        const qsizetype start = i;
        while (i < text.size() && i - start < 3 && text[i] >= '0' && text[i] <= '9')
            numbers[part] = numbers[part] * 10 + (text[i++] - '0');
        const bool ended = part == 2
                               ? i == text.size() || QByteArrayView(" \r\n)").contains(text[i])
                               : i < text.size() && text[i] == '.';
        if (i == start || !ended || (part == 0 && i - start != 1))
            return std::nullopt;
        i += part < 2;
    }
    return StatusCode{numbers[0], numbers[1], numbers[2]};
}

// The reply's enhanced code: after the reply code and its separator, as RFC 2034 puts it, or
// written into the text after a "#", as qmail does ("... rcpthosts (#5.7.1)").
std::optional<StatusCode> statusCode(QByteArrayView reply)
{
    if (std::optional<StatusCode> code = statusCodeAt(reply.sliced(4)))
        return code;
    for (qsizetype hash = reply.indexOf('#'); hash >= 0; hash = reply.indexOf('#', hash + 1)) {
        if (std::optional<StatusCode> code = statusCodeAt(reply.sliced(hash + 1)))
            return code;
    }
    return std::nullopt;
}

// A refusal that says the sender was rejected ("Sender address rejected") concerns the sender,
// whatever its code.
bool blamesSender(QByteArrayView reply)
{
    const QByteArray text = reply.toByteArray().toLower();
    if (!text.contains("sender"))
        return false;
    for (const char *word : {"reject", "denied", "refus", "block", "verif", "not allowed"}) {
        if (text.contains(word))
            return true;
    }
    return false;
}

} // namespace

bool isDeadAddress(QByteArrayView reply)
{
    if (reply.size() < 4 || reply[0] != '5' || blamesSender(reply) || isSendingLimit(reply))
        return false;
    const std::optional<StatusCode> status = statusCode(reply);
    if (status && status->subject == 1 && (status->detail == 7 || status->detail == 8))
        return false; // the sender's address
    // A syntax error in answer to RCPT TO: the address is malformed, and stays so.
    const QByteArrayView code = reply.first(3);
    if (code == "500" || code == "501")
        return true;
    if (status) {
        return status->klass == 5 &&
               (status->subject == 1 || (status->subject == 2 && status->detail == 1) ||
                (status->subject == 5 && status->detail == 2));
    }
    return code == "550" || code == "551" || code == "553";
}

bool isSendingLimit(QByteArrayView reply)
{
    if (reply.size() < 4)
        return false;
    const std::optional<StatusCode> code = statusCode(reply);
    if (code &&
        ((code->subject == 4 && code->detail == 5) || (code->subject == 7 && code->detail == 233)))
        return true;
    if (code && (code->subject == 1 || code->subject == 2))
        return false;
    const QByteArray text = reply.sliced(4).toByteArray().toLower();
    if (text.contains("limit") || text.contains("quota") || text.contains("too many"))
        return true;
    for (qsizetype at = text.indexOf("rate"); at >= 0; at = text.indexOf("rate", at + 1)) {
        const auto letter = [&](qsizetype i) {
            return i >= 0 && i < text.size() && std::isalpha(static_cast<unsigned char>(text[i]));
        };
        if (!letter(at - 1) && !letter(at + 4))
            return true;
    }
    return false;
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
