// Server replies: which ones count as success, and how the bytes read from the socket are
// gathered into whole replies.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <deque>

namespace Smtp {

// True if the reply begins with "220", "250" or "354". Only the first three bytes count, so
// "2501" is accepted and anything shorter than three bytes is not.
bool isAccepted(QByteArrayView reply);

// True if a refusal of RCPT TO says that the address takes no mail, so that asking again is
// useless (RFC 5321, 4.2.1): an enhanced status code (RFC 3463) 5.1.x (bad mailbox, bad domain,
// bad syntax), 5.2.1 (mailbox disabled) or 5.5.2 (a syntax error), the codes 500 and 501 (the
// address is malformed), or without an enhanced code the codes 550, 551 and 553. The
// enhanced code may stand after the reply code or, as qmail writes it, after a "#" in the text.
// Any other refusal concerns the server, the sender or the message: 5.7.x ("Relay access
// denied"), the sender's codes x.1.7 and x.1.8, a text that says the sender was rejected, and
// a sending limit (see isSendingLimit).
bool isDeadAddress(QByteArrayView reply);

// True if a refusal names a sending limit or quota of the sender's account: an enhanced code
// 5.4.5 or 5.7.233 (Gmail's daily limit, Microsoft's), or the words "limit", "quota", "too many"
// or "rate" (as a word) in a reply whose code is no recipient's mailbox status (x.1.x, x.2.x:
// "552 5.2.2 mailbox over quota" is the recipient's).
bool isSendingLimit(QByteArrayView reply);

// Gathers the bytes of a connection into complete replies.
//
// A line ends at LF (so CR LF and a bare LF both end it). A line whose fourth byte is "-"
// continues a multi-line reply; the first other line completes the reply. Bytes of a reply
// that has not ended yet wait for the next feed; several replies in one feed come out in order.
class ReplyAssembler
{
public:
    // A reply is kept up to this many bytes; the rest of a longer one is read and dropped,
    // so a server that never ends its reply cannot make the program hold unbounded memory.
    static constexpr qsizetype MaxReplyBytes = 64 * 1024;

    void feed(QByteArrayView bytes);
    bool hasReply() const { return !m_ready.empty(); }
    // The oldest complete reply, all lines with their line ends as received; empty if none.
    QByteArray takeReply();
    // Forgets complete replies and the reply in progress (for a new connection).
    void clear();

private:
    std::deque<QByteArray> m_ready;
    QByteArray m_current;     // the reply in progress, at most MaxReplyBytes
    qsizetype m_lineSeen = 0; // bytes of the current line fed so far
    bool m_continues = false; // the current line's fourth byte is "-"
};

} // namespace Smtp
