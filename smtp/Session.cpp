#include "Session.h"

#include "Fields.h"
#include "Headers.h"
#include "Recipient.h"
#include "Reply.h"

namespace Smtp {

namespace {

// The HELO argument: the sender up to its first "@", or all of it when it has none.
QByteArrayView heloArgument(QByteArrayView sender)
{
    const qsizetype at = sender.indexOf('@');
    return at < 0 ? sender : sender.first(at);
}

// The code each step of the submission dialogue expects.
const char *expectedCode(Step step)
{
    switch (step) {
    case Step::Greeting:
    case Step::StartTls:
        return "220";
    case Step::LoginUser:
    case Step::LoginPass:
        return "334";
    case Step::Login:
        return "235";
    case Step::Data:
        return "354";
    default:
        return "250";
    }
}

} // namespace

void Session::begin(Message message)
{
    reset();
    message.sender = address(message.sender);
    m_message = std::move(message);
    m_tls = m_message.security == Security::Implicit;
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

bool Session::accepts(QByteArrayView reply) const
{
    if (m_message.security == Security::None)
        return isAccepted(reply);
    return reply.size() >= 3 && reply.first(3) == expectedCode(m_step);
}

Action Session::onReply(QByteArrayView reply, qint64 unwritten)
{
    if (!m_active || m_wantsRecipient || m_awaitingTls)
        return {};
    if (m_step == Step::Quit)
        return end(Outcome::Over);
    if (!accepts(reply)) {
        const bool login =
            m_step == Step::LoginUser || m_step == Step::LoginPass || m_step == Step::Login;
        return end(login                                               ? Outcome::LoginRefused
                   : m_step == Step::Recipient && isDeadAddress(reply) ? Outcome::DeadAddress
                                                                       : Outcome::Refused,
                   reply);
    }
    // At DataEnd a reply before all the data has been written cannot accept the message: the
    // server has not seen its end.
    if (m_step == Step::DataEnd && (!m_data.finished() || unwritten > 0))
        return end(Outcome::Refused, reply);

    Action action;
    switch (m_step) {
    case Step::Greeting:
        action.send = m_message.security == Security::None
                          ? "HELO " + heloArgument(m_message.sender).toByteArray() + "\r\n"
                          : "EHLO " + m_clientName + "\r\n";
        m_step = Step::Hello;
        break;
    case Step::Hello:
        return hello(reply);
    case Step::StartTls:
        m_awaitingTls = true; // whatever else came with the 220 is no reply
        action.outcome = Outcome::StartTls;
        break;
    case Step::LoginUser:
        action.send = m_message.login.toBase64() + "\r\n";
        m_step = Step::LoginPass;
        break;
    case Step::LoginPass:
        action.send = m_message.password.toBase64() + "\r\n";
        m_step = Step::Login;
        break;
    case Step::Login:
        action.send = mailFrom();
        m_step = Step::MailFrom;
        break;
    case Step::MailFrom:
        m_wantsRecipient = true;
        action.outcome = Outcome::RecipientWanted;
        break; // the step moves when the recipient has been sent
    case Step::Recipient:
        action.send = "DATA\r\n";
        m_step = Step::Data;
        break;
    case Step::Data: {
        QByteArray header =
            headerBlock({m_message.sender, m_recipient, m_message.subject, m_message.date,
                         m_message.random, m_message.attachmentBlock.isEmpty(), m_recipientName,
                         m_message.listUnsubscribe});
        m_data = MessageData(std::move(header), std::move(m_message.body),
                             std::move(m_message.attachmentBlock));
        action.startData = true;
        m_step = Step::DataEnd;
        break;
    }
    case Step::DataEnd:
        m_delivered = true;
        action.outcome = Outcome::Delivered;
        action.reply = reply.toByteArray(); // the server's word for it, a queue id often
        action.send = "QUIT\r\n";
        m_step = Step::Quit;
        break;
    case Step::Quit: // answered above
        break;
    }
    return action;
}

// The answer to HELO or EHLO: on port 25 the envelope; in the submission dialogue TLS first,
// then the login, each only if the server offers it.
Action Session::hello(QByteArrayView reply)
{
    if (m_message.security == Security::None) {
        m_step = Step::MailFrom;
        return {Outcome::Continue, mailFrom(), false, {}};
    }
    bool startTls = false;
    for (const QByteArray &line : reply.toByteArray().split('\n')) {
        // "250-AUTH PLAIN LOGIN", or "250-AUTH=PLAIN LOGIN" as older servers write it.
        const QList<QByteArray> words =
            line.mid(4).trimmed().toUpper().replace('=', ' ').split(' ');
        startTls = startTls || words[0] == "STARTTLS";
        m_eightBit = m_eightBit || words[0] == "8BITMIME";
        if (words[0] == "AUTH")
            m_methods += words.mid(1);
    }
    if (!m_tls && !startTls)
        return end(Outcome::NoStartTls, reply);
    if (!m_tls) {
        m_step = Step::StartTls;
        return {Outcome::Continue, "STARTTLS\r\n", false, {}};
    }
    return login();
}

Action Session::login()
{
    Action action;
    if (m_methods.contains("PLAIN")) { // RFC 4616: authorization id (none), login, password
        action.send = "AUTH PLAIN " +
                      ('\0' + m_message.login + '\0' + m_message.password).toBase64() + "\r\n";
        m_step = Step::Login;
    } else if (m_methods.contains("LOGIN")) {
        action.send = "AUTH LOGIN\r\n";
        m_step = Step::LoginUser;
    } else {
        return end(Outcome::NoLoginMethod);
    }
    return action;
}

Action Session::tlsUp()
{
    if (!m_awaitingTls)
        return {};
    // What the server said before TLS could have been anybody's: it is asked again.
    m_awaitingTls = false;
    m_tls = true;
    m_eightBit = false;
    m_methods.clear();
    m_step = Step::Hello;
    return {Outcome::Continue, "EHLO " + m_clientName + "\r\n", false, {}};
}

QByteArray Session::mailFrom() const
{
    // The letter is 8-bit Windows-1251: a server that offers 8BITMIME is told so.
    return "MAIL FROM:<" + m_message.sender + (m_eightBit ? "> BODY=8BITMIME\r\n" : ">\r\n");
}

Action Session::recipient(QByteArrayView line)
{
    if (!m_wantsRecipient)
        return {};
    m_wantsRecipient = false;
    Recipient recipient = recipientOfLine(line);
    m_recipient = std::move(recipient.address);
    m_recipientName = std::move(recipient.name);
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
