// The client side of one SMTP dialogue, without a socket.
//
// The window feeds each complete server reply (see ReplyAssembler) to onReply() and carries out
// the returned Action: write `send`, then the message data if `startData` is set, and act on
// the outcome (Refused, InvalidRecipient and Over end the dialogue). The dialogue:
//
//   step  last thing sent            next accepted reply answers
//   0     nothing (just connected)   the greeting            -> HELO
//   1     HELO                       HELO                    -> MAIL FROM
//   2     MAIL FROM                  MAIL FROM               -> RCPT TO
//   3     RCPT TO                    RCPT TO                 -> DATA
//   4     DATA                       DATA (the go-ahead)     -> message data and end mark
//   5     message data, end mark     end of data: Delivered  -> QUIT
//   6     QUIT                       QUIT: Over, whatever the reply
//
// A reply that is not accepted at steps 0 to 5 ends the dialogue as Refused; the step stays.
// An accepting reply at step 5 before every byte of the data has gone out cannot answer the
// end of the data: it is refused too, and the message never counts as delivered.
#pragma once

#include "Fields.h"
#include "Headers.h"
#include "MessageData.h"
#include "Reply.h"
#include "Timeouts.h"

#include <QByteArray>
#include <QByteArrayView>

#include <chrono>
#include <functional>

namespace Smtp {

struct Message
{
    QByteArray sender;          // as stored; see address()
    QByteArray subject;         // sent untrimmed
    QByteArray body;            // the body with its CR LF line separators
    QByteArray attachmentBlock; // uuencoded files, each followed by CR LF
    QDateTime date;             // when it is sent, for the Date and Message-ID fields
    quint64 random = 0;         // makes the Message-ID unique
};

enum class Outcome {
    Continue,         // the dialogue goes on
    Refused,          // the server refused; Action::reply holds the reply
    InvalidSender,    // the sender holds CR, LF or NUL; nothing was sent
    EmptySender,      // there is no sender address; nothing was sent
    InvalidRecipient, // the recipient holds CR, LF or NUL; it was not sent
    Delivered,        // the server accepted the end of the data: the message has gone
    Over,             // QUIT was answered (or refused); the dialogue ended normally
};

struct Action
{
    Outcome outcome = Outcome::Continue;
    QByteArray send;        // command bytes to write now (may be empty)
    bool startData = false; // write the data via nextDataChunk() until dataFinished()
    QByteArray reply;       // the reply that caused a Refused outcome
};

class Session
{
public:
    // Starts a dialogue at step 0 and returns Continue. If the sender holds CR, LF or NUL it
    // returns InvalidSender, if it is empty EmptySender, and the session stays idle.
    Outcome begin(Message message);

    // One complete reply. `recipient` is called only at the RCPT step, to read the address at
    // that moment. `unwritten` is how many bytes of what was sent still wait to go out. A
    // reply while the session is not active does nothing (Continue, empty).
    Action onReply(QByteArrayView reply, const std::function<QByteArray()> &recipient,
                   qint64 unwritten = 0);

    // The message data after the go-ahead, end mark included; see MessageData.
    QByteArray nextDataChunk(qsizetype maxBytes) { return m_data.nextChunk(maxBytes); }
    // True when no data is waiting to be written (before the go-ahead too).
    bool dataFinished() const { return m_data.finished(); }

    int step() const { return m_step; }
    bool delivered() const { return m_delivered; }
    bool active() const { return m_active; }
    // The limit for the reply awaited now: for the end of the data, for QUIT, or any other.
    std::chrono::milliseconds replyTimeout(const Timeouts &limits) const;

    // Idle at step 0, data and message dropped.
    void reset();

private:
    Action end(Outcome outcome, QByteArrayView reply = {});

    Message m_message;
    QByteArray m_recipient; // as sent in RCPT TO
    MessageData m_data;
    int m_step = 0;
    bool m_active = false;
    bool m_delivered = false;
};

} // namespace Smtp
