#include "Session.h"

namespace Smtp {

namespace {

// The HELO argument: the sender up to its first "@", or all of it when it has none.
QByteArrayView heloArgument(QByteArrayView sender)
{
    const qsizetype at = sender.indexOf('@');
    return at < 0 ? sender : sender.first(at);
}

} // namespace

Outcome Session::begin(Message message)
{
    reset();
    message.sender = trimmed(message.sender);
    if (hasLineBreakOrNul(message.sender))
        return Outcome::InvalidSender;
    m_message = std::move(message);
    m_active = true;
    return Outcome::Continue;
}

Action Session::end(Outcome outcome, QByteArrayView reply)
{
    Action action;
    action.outcome = outcome;
    action.close = true;
    if (outcome == Outcome::Refused)
        action.reply = reply.toByteArray();
    m_active = false;
    m_message = Message();
    m_data = MessageData();
    return action;
}

Action Session::onReply(QByteArrayView reply, const std::function<QByteArray()> &recipient)
{
    if (!m_active)
        return {};
    if (m_step == 6)
        return end(Outcome::Over);
    // At step 5 a reply before all the data has been handed out cannot accept the message:
    // the server has not seen its end.
    if (!isAccepted(reply) || (m_step == 5 && !m_data.finished()))
        return end(Outcome::Refused, reply);

    Action action;
    switch (m_step) {
    case 0:
        action.send = "HELO " + heloArgument(m_message.sender).toByteArray() + "\r\n";
        break;
    case 1:
        action.send = "MAIL FROM:<" + m_message.sender + ">\r\n";
        break;
    case 2: {
        const QByteArray address = trimmed(recipient ? recipient() : QByteArray());
        if (hasLineBreakOrNul(address))
            return end(Outcome::InvalidRecipient);
        action.send = "RCPT TO:<" + address + ">\r\n";
        break;
    }
    case 3:
        action.send = "DATA\r\n";
        break;
    case 4:
        m_data = MessageData(m_message.subject, std::move(m_message.body),
                             std::move(m_message.attachmentBlock));
        m_message = Message();
        action.startData = true;
        break;
    case 5:
        m_delivered = true;
        action.outcome = Outcome::Delivered;
        action.send = "QUIT\r\n";
        break;
    }
    ++m_step;
    return action;
}

std::chrono::milliseconds Session::replyTimeout() const
{
    return m_step == 5 ? DataEndTimeout : ReplyTimeout;
}

void Session::reset()
{
    m_message = Message();
    m_data = MessageData();
    m_step = 0;
    m_active = false;
    m_delivered = false;
}

} // namespace Smtp
