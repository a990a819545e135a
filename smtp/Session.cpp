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
    message.sender = address(message.sender);
    if (hasLineBreakOrNul(message.sender))
        return Outcome::InvalidSender;
    if (message.sender.isEmpty())
        return Outcome::EmptySender; // MAIL FROM:<> would be a message nobody can answer
    m_message = std::move(message);
    m_active = true;
    return Outcome::Continue;
}

Action Session::end(Outcome outcome, QByteArrayView reply)
{
    Action action;
    action.outcome = outcome;
    if (outcome == Outcome::Refused)
        action.reply = reply.toByteArray();
    m_active = false;
    m_message = Message();
    m_recipient.clear();
    m_data = MessageData();
    return action;
}

Action Session::onReply(QByteArrayView reply, const std::function<QByteArray()> &recipient,
                        qint64 unwritten)
{
    if (!m_active)
        return {};
    if (m_step == 6)
        return end(Outcome::Over);
    // At step 5 a reply before all the data has been written cannot accept the message: the
    // server has not seen its end.
    if (!isAccepted(reply) || (m_step == 5 && (!m_data.finished() || unwritten > 0)))
        return end(Outcome::Refused, reply);

    Action action;
    switch (m_step) {
    case 0:
        action.send = "HELO " + heloArgument(m_message.sender).toByteArray() + "\r\n";
        break;
    case 1:
        action.send = "MAIL FROM:<" + m_message.sender + ">\r\n";
        break;
    case 2:
        m_recipient = address(recipient ? recipient() : QByteArray());
        if (hasLineBreakOrNul(m_recipient))
            return end(Outcome::InvalidRecipient);
        action.send = "RCPT TO:<" + m_recipient + ">\r\n";
        break;
    case 3:
        action.send = "DATA\r\n";
        break;
    case 4: {
        QByteArray header =
            headerBlock({m_message.sender, m_recipient, m_message.subject, m_message.date,
                         m_message.random, m_message.attachmentBlock.isEmpty()});
        m_data = MessageData(std::move(header), std::move(m_message.body),
                             std::move(m_message.attachmentBlock));
        m_message = Message();
        action.startData = true;
        break;
    }
    case 5:
        m_delivered = true;
        action.outcome = Outcome::Delivered;
        action.send = "QUIT\r\n";
        break;
    }
    ++m_step;
    return action;
}

std::chrono::milliseconds Session::replyTimeout(const Timeouts &limits) const
{
    switch (m_step) {
    case 5:
        return limits.dataEnd;
    case 6:
        return limits.quit;
    default:
        return limits.reply;
    }
}

void Session::reset()
{
    m_message = Message();
    m_recipient.clear();
    m_data = MessageData();
    m_step = 0;
    m_active = false;
    m_delivered = false;
}

} // namespace Smtp
