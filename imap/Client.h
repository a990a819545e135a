// The client side of one read-only scan of an IMAP mailbox (RFC 3501), without a socket.
//
// The caller connects, calls begin(), and feeds every byte it reads to feed(), split in any way;
// it carries out each returned Action: write `send`, hand `messages` on, and act on the outcome.
// StartTls: the caller makes the TLS handshake and calls tlsUp() once it is done; until then the
// client takes nothing, so whatever the server sent after its answer to STARTTLS is dropped. When
// the server closes the connection the caller calls closed().
//
// The scan: the greeting (OK, PREAUTH, or BYE for a failure); CAPABILITY unless the greeting
// carried them; STARTTLS unless TLS is up from the first byte, and what was offered before TLS is
// forgotten and asked again after it; the login, AUTHENTICATE PLAIN where it is offered (its
// initial response in the command where SASL-IR is) or else LOGIN; EXAMINE INBOX (read-only);
// UID SEARCH SINCE the given date; UID FETCH of the header fields asked for, for every message
// found, in batches; UID FETCH of the first BodyBytes of each message that `wantsBody` chooses
// from its header fields, with BODY.PEEK; LOGOUT. No login is ever sent before TLS is up, and
// nothing that could change the mailbox is ever sent: no SELECT, STORE, COPY, MOVE or EXPUNGE,
// no BODY[] without .PEEK.
#pragma once

#include "Response.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QDate>
#include <QHash>
#include <QList>

#include <functional>

namespace Imap {

struct Scan
{
    QByteArray login, password; // UTF-8
    QDate since;                // messages whose internal date is on this day or later
    bool tlsFromStart = false;  // port 993: TLS is up before the first byte
    QByteArrayList headerFields = {"FROM", "SUBJECT"}; // asked for every message found
    // Chooses, from a message's header fields, the messages whose whole beginning is fetched too.
    std::function<bool(QByteArrayView headerFields)> wantsBody;
};

struct Message
{
    quint32 uid = 0;
    QByteArray headerFields; // the fields asked for, as the server sent them
    QByteArray head;         // the first BodyBytes of the whole message, for those wantsBody chose
    bool truncated = false;  // the server sent more than the client keeps (see ResponseAssembler)
};

enum class Step {
    Greeting,
    Capability, // CAPABILITY sent
    StartTls,   // STARTTLS sent; then the handshake
    Login,      // AUTHENTICATE PLAIN or LOGIN sent (a literal's rest after each go-ahead)
    Examine,
    Search,
    FetchHeaders,
    FetchBodies,
    Logout,
    Over,
};

enum class Outcome {
    Continue,      // the scan goes on
    StartTls,      // make the TLS handshake now and call tlsUp() once it is done
    Done,          // the scan is complete; every message found has been handed on
    ServerRefused, // the server said NO, BAD or BYE; Action::text holds its words
    NoStartTls,    // no STARTTLS offered (or refused) where TLS is not up: no login was sent
    NoLoginMethod, // neither AUTHENTICATE PLAIN nor LOGIN may be used (LOGINDISABLED)
    LoginRefused,  // the login was refused; Action::text holds the server's words
    Protocol,      // the server broke the protocol; Action::text says how
    Dropped,       // the connection closed before the scan was complete
};

struct Action
{
    Outcome outcome = Outcome::Continue;
    QByteArray send;         // command bytes to write now (may be empty)
    QByteArray text;         // with a failure: the server's words, or what was wrong
    QList<Message> messages; // messages complete since the last action, each handed on once
};

class Client
{
public:
    static constexpr qsizetype BodyBytes = 256 * 1024; // enough for a report's returned headers
    static constexpr qsizetype HeaderBatch = 1000;     // messages a header fetch asks for
    static constexpr qsizetype BodyBatch = 50;         // messages a body fetch asks for

    // Starts a scan; the server speaks first.
    void begin(Scan scan);
    Action feed(QByteArrayView bytes);
    Action tlsUp();
    Action closed();

    Step step() const { return m_step; }
    bool active() const { return m_step != Step::Over; }
    bool awaitingTls() const { return m_awaitingTls; }
    bool tls() const { return m_tls; }

private:
    void onResponse(const Response &response, Action &action);
    void onUntagged(const Response &response, Action &action);
    void onTagged(const QByteArray &status, const QByteArray &text, Reader &reader, Action &action);
    void onContinuation(Action &action);
    void onFetch(Reader &reader, Action &action);
    void capabilities(Reader &reader);
    void afterCapabilities(Action &action);
    void login(Action &action);
    void nextFetch(Action &action);
    void command(Action &action, QByteArrayView text);
    void end(Action &action, Outcome outcome, QByteArray text = {});

    Scan m_scan;
    ResponseAssembler m_responses;
    Step m_step = Step::Over;
    QByteArray m_tag; // of the command whose completion is awaited
    int m_tagNumber = 0;
    bool m_tls = false;              // TLS is up
    bool m_awaitingTls = false;      // StartTls was told, tlsUp() not yet
    bool m_haveCapabilities = false; // known for the current TLS state
    QByteArrayList m_capabilities;   // upper-case
    QList<QByteArray> m_pending;     // the rest of a LOGIN after each literal's go-ahead
    QList<quint32> m_found;          // UIDs from SEARCH
    qsizetype m_headersAsked = 0;    // of m_found
    QList<quint32> m_bodies;         // UIDs whose head is to be fetched
    qsizetype m_bodiesAsked = 0;
    QList<quint32> m_batch;                // UIDs of the fetch in progress not yet answered, sorted
    QHash<quint32, QByteArray> m_fieldsOf; // the header fields of those in m_bodies
};

// "7-Dec-2026", as SEARCH SINCE takes a date (RFC 3501, 9: date-text).
QByteArray searchDate(QDate date);
// A UID set of `uids` (sorted ascending), runs of consecutive numbers as "first:last".
QByteArray sequenceSet(QList<quint32> uids);
// The string as LOGIN takes it: quoted when every byte can be (7-bit, no CR, LF or NUL); else
// null, and it must be sent as a literal.
QByteArray quoted(QByteArrayView text);

} // namespace Imap
