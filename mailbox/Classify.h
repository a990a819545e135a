// What one message of the sender's mailbox says about a mailing: a recipient's address is dead
// (a delivery report about a message that was sent), or a recipient asks to be unsubscribed (a
// message whose subject carries the token of the List-Unsubscribe field of a message sent).
//
// Every message the program sends has "Message-ID: <yyyyMMddhhmmss.RRRRRRRRRRRRRRRR@domain>" (R:
// 16 hex digits of a random number) and "List-Unsubscribe: <mailto:SENDER?subject=unsubscribe%20
// RRRRRRRRRRRRRRRR>": the token is those 16 hex digits.
#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QByteArrayView>
#include <QMetaType>
#include <QString>

#include <optional>

namespace Mailbox {

struct Finding
{
    enum class Kind { Bounced, Unsubscribed };
    Kind kind = Kind::Bounced;
    // Bounced: the Message-ID of the returned message, "<left@right>" as the log holds it.
    QByteArray messageId;
    // Unsubscribed: the token of the subject, 16 upper-case hex digits.
    QByteArray token;
    // Bounced: the failed recipient (Original-Recipient where the report gives it, else
    // Final-Recipient). Unsubscribed: the address of the request's From.
    QByteArray address;
    // Bounced: "status diagnostic", as "5.1.1 smtp; 550 5.1.1 <a@b>: User unknown".
    // Unsubscribed: the request's From field, encoded-words decoded.
    QString text;

    friend bool operator==(const Finding &, const Finding &) = default;
};

// The header fields that classify() needs of a message that is no delivery report, and that tell
// whether it may be one (see mayBeReport()).
inline const QByteArrayList ClassifyingFields = {"FROM", "SUBJECT", "CONTENT-TYPE",
                                                 "AUTO-SUBMITTED", "LIST-UNSUBSCRIBE"};

// True when the header (all of it, or only ClassifyingFields) says the message may be a delivery
// report, so that its beginning must be read.
bool mayBeReport(QByteArrayView header);

// At most one finding of a message, given whole, cut short, or (for a message that is no report)
// as its ClassifyingFields alone:
//  - Bounced: a delivery report with a recipient whose Action is "failed" with a 5.x.x Status,
//    whose returned header carries a Message-ID;
//  - Unsubscribed: a message that is no report, no automatic reply (Auto-Submitted:
//    auto-replied) and no newsletter (it has no List-Unsubscribe field, as the sender's own copy
//    has), whose subject carries "unsubscribe TOKEN" (see requestToken()).
// Anything else (a delayed report, a report about a message without a Message-ID, an
// out-of-office reply, an ordinary reply, the newsletter itself) gives nothing.
std::optional<Finding> classify(QByteArrayView message);

// The token of a Message-ID the program made, upper case; null for any other Message-ID.
QByteArray unsubscribeToken(QByteArrayView messageId);

// The token of a Subject field's value: after its encoded-words are decoded and any reply or
// forward prefixes ("Re:", "Fwd:", "Ответ:", "RE[2]:" and the like) are passed, it must begin with
// "unsubscribe", spaces and 16 hex digits (any case), then end or go on after a space. Upper
// case; null when the subject is no request.
QByteArray requestToken(QByteArrayView subject);

} // namespace Mailbox

Q_DECLARE_METATYPE(Mailbox::Finding)
