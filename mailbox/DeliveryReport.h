// Delivery status notifications (RFC 3464): a multipart/report of report-type delivery-status
// (or global-delivery-status, RFC 6533) whose parts are a human-readable text, the machine-
// readable message/delivery-status, and the returned message (message/rfc822) or only its header
// (text/rfc822-headers). Nested parts, base64 and quoted-printable parts and a report cut short
// (fetched only in part) are read.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <optional>

namespace Mailbox {

struct RecipientStatus
{
    QByteArray finalRecipient;    // the address of Final-Recipient, without its type
    QByteArray originalRecipient; // likewise of Original-Recipient; empty when it is missing
    QByteArray action;            // lower case: failed, delayed, delivered, relayed, expanded
    QByteArray status;            // "5.1.1", without a comment
    QByteArray diagnostic;        // Diagnostic-Code as written: "smtp; 550 5.1.1 ..."
};

struct DeliveryReport
{
    QList<RecipientStatus> recipients;
    QByteArray returnedHeader; // the returned message's header block; empty when none came back
    QByteArray messageId;      // its Message-ID as "<left@right>"; empty when it has none
};

// The report that `message` is, or nothing when it is none.
std::optional<DeliveryReport> parseDeliveryReport(QByteArrayView message);

// The first "<...>" of a Message-ID field, spaces and line breaks inside removed; a value
// without brackets but with an "@" is taken whole and bracketed. Empty when there is none.
QByteArray normalizedMessageId(QByteArrayView value);

} // namespace Mailbox
