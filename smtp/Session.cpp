#include "Session.h"

#include "Fields.h"
#include "Headers.h"
#include "Reply.h"

namespace Smtp {

namespace {

// The HELO argument: the sender up to its first "@", or all of it when it has none.
QByteArrayView heloArgument(QByteArrayView sender)
{
    const qsizetype at = sender.indexOf('@');
    return at < 0 ? sender : sender.first(at);
}

} // namespace

void Session::begin(Message message)
{
    reset();
    message.sender = address(message.sender);
    m_message = std::move(message);
    m_active = true;
}

Action Session::end(Outcome outcome, QByteArrayView reply)
{
    // Of a dialogue that is over, where it ended and whether the message went are kept.
    Session ended;
    ended.m_step = m_step;
    ended.m_delivered = m_delivered;
    *this = std::move(ended);
    return {outcome, {}, false, reply.toByteArray()};
}

Action Session::onReply(QByteArrayView reply, qint64 unwritten)
{
    if (!m_active || m_wantsRecipient)
        return {};
    if (m_step == Step::Quit)
        return end(Outcome::Over);
    // At DataEnd a reply before all the data has been written cannot accept the message: the
    // server has not seen its end.
    if (!isAccepted(reply) && m_step == Step::Recipient && isDeadAddress(reply))
        return end(Outcome::DeadAddress, reply);
    if (!isAccepted(reply) || (m_step == Step::DataEnd && (!m_data.finished() || unwritten > 0)))
        return end(Outcome::Refused, reply);

    Action action;
    switch (m_step) {
    case Step::Greeting:
        action.send = "HELO " + heloArgument(m_message.sender).toByteArray() + "\r\n";
        break;
    case Step::Hello:
        action.send = "MAIL FROM:<" + m_message.sender + ">\r\n";
        break;
    case Step::MailFrom:
        m_wantsRecipient = true;
        action.outcome = Outcome::RecipientWanted;
        return action; // the step moves when the recipient has been sent
    case Step::Recipient:
        action.send = "DATA\r\n";
        break;
    case Step::Data: {
        QByteArray header =
            headerBlock({m_message.sender, m_recipient, m_message.subject, m_message.date,
                         m_message.random, m_message.attachmentBlock.isEmpty()});
        m_data = MessageData(std::move(header), std::move(m_message.body),
                             std::move(m_message.attachmentBlock));
        m_message = Message();
        action.startData = true;
        break;
    }
    case Step::DataEnd:
        m_delivered = true;
        action.outcome = Outcome::Delivered;
        action.reply = reply.toByteArray(); // the server's word for it, a queue id often
        action.send = "QUIT\r\n";
        break;
    case Step::Quit: // answered above
        break;
    }
    m_step = Step(int(m_step) + 1);
    return action;
}

Action Session::recipient(QByteArrayView address)
{
    if (!m_wantsRecipient)
        return {};
    m_wantsRecipient = false;
    m_recipient = Smtp::address(address);
    if (hasLineBreakOrNul(m_recipient))
        return end(Outcome::InvalidRecipient);
    m_step = Step::Recipient;
    Action action;
    action.send = "RCPT TO:<" + m_recipient + ">\r\n";
    return action;
}

std::chrono::milliseconds Session::replyTimeout(const Timeouts &limits) const
{
    switch (m_step) {
    case Step::DataEnd:
        return limits.dataEnd;
    case Step::Quit:
        return limits.quit;
    default:
        return limits.reply;
    }
}

} // namespace Smtp
