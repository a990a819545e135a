// The client side of one SMTP dialogue, without a socket.
//
// The caller feeds each complete server reply (see ReplyAssembler) to onReply() and carries out
// the returned Action: write `send`, then the message data if `startData` is set, and act on the
// outcome. At the RCPT step the session asks for the recipient (RecipientWanted) instead of
// sending; the caller reads the address at that moment and passes it to recipient(). A reply
// that is not accepted before the QUIT step ends the dialogue (Refused, DeadAddress when it says
// the recipient takes no mail, LoginRefused at the login); the step stays. An accepting reply to
// the end of the data before every byte of it has gone out is refused too, and the message never
// counts as delivered.
//
// Port 25 (Security::None) speaks the plain dialogue of a relay: HELO, and any reply beginning with
// 220, 250 or 354 accepted. The submission dialogue (ports 465 and 587) speaks EHLO with the
// client's address literal, reads what the server offers, asks for TLS with STARTTLS unless it
// is up from the first byte (StartTls: the caller makes the handshake and calls tlsUp()), says
// EHLO again and forgets what it learnt before, logs in with AUTH PLAIN (or AUTH LOGIN where
// only that is offered), and takes only the reply code each step expects. No login is ever sent
// before TLS is up.
#pragma once

#include "MessageData.h"
#include "Server.h"

#include <QByteArray>
#include <QDateTime>

#include <chrono>

namespace Smtp {

// How long each wait of one SMTP connection may last.
//
// The reply limits are the minimum client time-outs of RFC 5321 (4.5.3.2): five minutes for
// an ordinary reply and ten for the reply to the end of the message data. The reply to QUIT
// gets only a few seconds: the message has been delivered by then, and a server that stays
// silent must not hold up the next message of a series.
struct Timeouts
{
    std::chrono::milliseconds connect{30'000};
    std::chrono::milliseconds reply{5 * 60'000};
    std::chrono::milliseconds dataEnd{10 * 60'000};
    std::chrono::milliseconds quit{5'000};
};

struct Message
{
    QByteArray sender;          // with no line break; trimmed and unbracketed here
    QByteArray subject;         // sent untrimmed
    QByteArray body;            // the body with its CR LF line separators
    QByteArray attachmentBlock; // uuencoded files, each followed by CR LF
    QDateTime date;             // when it is sent, for the Date and Message-ID fields
    quint64 random = 0;         // makes the Message-ID unique
    Security security = Security::None;
    QByteArray login, password;  // UTF-8, for the submission dialogue
    bool listUnsubscribe = true; // the List-Unsubscribe field
};

// Each step is named by what its accepted reply answers, and followed by what is sent then.
enum class Step {
    Greeting,  // HELO, or EHLO
    Hello,     // MAIL FROM; in the submission dialogue STARTTLS or the login
    StartTls,  // the handshake (Outcome StartTls), then EHLO again
    LoginUser, // AUTH LOGIN's first challenge: the login
    LoginPass, // its second: the password
    Login,     // the login accepted (235): MAIL FROM
    MailFrom,  // RecipientWanted, then RCPT TO
    Recipient, // DATA
    Data,      // the go-ahead: the message data and its end mark
    DataEnd,   // Delivered, and QUIT
    Quit,      // Over, whatever the reply
};

enum class Outcome {
    Continue,         // the dialogue goes on
    RecipientWanted,  // pass the recipient to recipient()
    StartTls,         // start the TLS handshake now and call tlsUp() once it is done
    Refused,          // the server refused; Action::reply holds the reply
    DeadAddress,      // RCPT TO was refused for good (see isDeadAddress); likewise
    LoginRefused,     // the login was refused (535 and the like); likewise
    NoStartTls,       // the server offers no STARTTLS: nothing more is sent, no login above all
    NoLoginMethod,    // the server offers neither AUTH PLAIN nor AUTH LOGIN
    InvalidRecipient, // the recipient holds CR, LF or NUL; it was not sent
    Delivered,        // the server accepted the end of the data: the message has gone
    Over,             // QUIT was answered (or refused); the dialogue ended normally
};

struct Action
{
    Outcome outcome = Outcome::Continue;
    QByteArray send;        // command bytes to write now (may be empty)
    bool startData = false; // write the data via nextDataChunk() until dataFinished()
    QByteArray reply;       // the reply of a Refused, DeadAddress or Delivered outcome
};

class Session
{
public:
    // Starts a dialogue at the greeting. The caller has made sure the sender can be sent.
    void begin(Message message);

    // One complete reply. `unwritten` is how many bytes of what was sent still wait to go out.
    // A reply while the session is not active, or while it waits for the recipient, does nothing.
    Action onReply(QByteArrayView reply, qint64 unwritten = 0);
    // The recipient, as read when RecipientWanted came: a line as the list holds it, whose
    // address goes into RCPT TO and whose name, if it has one, into the To field beside it (see
    // recipientOfLine and toField).
    Action recipient(QByteArrayView line);
    // The name EHLO gives, known once connected: the address literal of the connection's own
    // end, such as "[192.0.2.5]" (RFC 5321, 4.1.3), which strict servers accept.
    void setClientName(QByteArray name) { m_clientName = std::move(name); }
    // The TLS handshake that StartTls asked for is done.
    Action tlsUp();

    // The message data after the go-ahead, end mark included; see MessageData.
    QByteArray nextDataChunk(qsizetype maxBytes) { return m_data.nextChunk(maxBytes); }
    // True when no data is waiting to be written (before the go-ahead too).
    bool dataFinished() const { return m_data.finished(); }

    Step step() const { return m_step; }
    bool delivered() const { return m_delivered; }
    bool active() const { return m_active; }
    // The limit for the reply awaited now: for the end of the data, for QUIT, or any other.
    std::chrono::milliseconds replyTimeout(const Timeouts &limits) const;

    // Idle at the greeting, data and message dropped.
    void reset() { *this = Session(); }
    bool awaitingTls() const { return m_awaitingTls; }

private:
    Action end(Outcome outcome, QByteArrayView reply = {});
    bool accepts(QByteArrayView reply) const;
    Action hello(QByteArrayView reply);
    Action login();
    QByteArray mailFrom() const;

    Message m_message;
    QByteArray m_clientName;
    bool m_tls = false;          // TLS is up
    bool m_awaitingTls = false;  // StartTls was told, tlsUp() not yet
    bool m_eightBit = false;     // the server offers 8BITMIME (after TLS)
    QList<QByteArray> m_methods; // the AUTH mechanisms offered (after TLS)
    QByteArray m_recipient;      // as sent in RCPT TO
    QByteArray m_recipientName;  // for the To field
    MessageData m_data;
    Step m_step = Step::Greeting;
    bool m_active = false;
    bool m_delivered = false;
    bool m_wantsRecipient = false;
};

} // namespace Smtp
