// The header block of a message. Mailbox providers refuse a message without From, Date or
// Message-ID (RFC 5322, 3.6), and header fields may hold only US-ASCII (RFC 5322, 2.2):
//   From: <sender>            the address of MAIL FROM, without brackets
//   To: <recipient>           the address of RCPT TO, without brackets; with the recipient's
//                             name "To: name <recipient>" (see toField)
//   Date: <local time>        "Mon, 07 Dec 2026 09:41:53 +0300", English names always
//   Message-ID: <left@right>  new for every message: time and a random value, @ the sender's domain
//   Subject:<subject>         as it is when it is ASCII, else RFC 2047 encoded-words
//   MIME-Version, Content-Type and Content-Transfer-Encoding, only when nothing is attached
//   an empty line
// A message with attachments declares no MIME type: mail readers find uuencoded files only in a
// body that declares none.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>

namespace Smtp {

struct HeaderFields
{
    QByteArray sender;             // as sent in MAIL FROM
    QByteArray recipient;          // as sent in RCPT TO
    QByteArray subject;            // Windows-1251, untrimmed
    QDateTime date;                // when the message is sent, in local time
    quint64 random = 0;            // makes the Message-ID unique
    bool plainText = true;         // nothing attached: the text is declared as Windows-1251 text
    QByteArray recipientName = {}; // Windows-1251; empty: the To field holds the address alone
    bool listUnsubscribe = true;   // a List-Unsubscribe field (see listUnsubscribeField)
};

// "List-Unsubscribe: <mailto:SENDER?subject=unsubscribe%20TOKEN>" with its CR LF (RFC 2369):
// a reader's "unsubscribe" button writes to the sender a request whose subject carries TOKEN,
// the 16 hex digits of the Message-ID's random part, which the log maps to the recipient.
QByteArray listUnsubscribeField(QByteArrayView sender, quint64 random);

// The whole block, every line ended by CR LF, the empty line included.
QByteArray headerBlock(HeaderFields fields);

// "Mon, 07 Dec 2026 09:41:53 +0300" for `moment` in its own time zone; now for an invalid one.
QByteArray dateField(const QDateTime &moment);

// "<yyyyMMddhhmmss.RANDOM@domain>" with the time in UTC and 16 hex digits of `random`. The
// domain is the sender's (after its last "@") when it is a dotted name of plain characters,
// else MessageIdDomain.
QByteArray messageId(const QDateTime &date, quint64 random, QByteArrayView sender);
inline constexpr char MessageIdDomain[] = "brevant.invalid";

// The "Subject:" field with its CR LF. An ASCII subject goes out as it is. One with any byte of
// 0x80 or above, a line break, or "=?" that a reader would take for the start of an encoded-word
// goes out as "Subject: " and base64 encoded-words of charset windows-1251, one per line of at
// most 76 characters, which decoders join back into exactly the subject.
QByteArray subjectField(QByteArrayView subject);

// The "To:" field with its CR LF. Without a name, or with one that holds CR, LF or NUL (which is
// dropped), or without an address, it is "To: " and the address as it is. Else the name comes
// before the address in angle brackets, written as RFC 5322 asks: an ASCII name of atext words
// with single spaces as it is ("To: Anna Ivanova <a@b>"), another ASCII name as a quoted string
// with " and \ escaped ("To: \"Ivanova, Anna\" <a@b>"); a name with a byte of 0x80 or above,
// a control character other than tab, "=?", or one too long for the first line goes as base64
// encoded-words of charset windows-1251, as the subject does. Lines keep within 76 characters
// (an address longer than that aside): the address goes on a line of its own when it does not
// fit on the name's last one.
QByteArray toField(QByteArrayView address, QByteArrayView name);

} // namespace Smtp
