#include "Client.h"

#include <algorithm>

namespace Imap {

namespace {

// The start of a response's first line, for an error text.
QByteArray shown(const Response &response)
{
    return response.firstLine()
        .first(std::min<qsizetype>(response.firstLine().size(), 200))
        .toByteArray();
}

} // namespace

QByteArray searchDate(QDate date)
{
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    return QByteArray::number(date.day()) + '-' + months[date.month() - 1] + '-' +
           QByteArray::number(date.year());
}

QByteArray sequenceSet(QList<quint32> uids)
{
    QByteArray set;
    for (qsizetype i = 0; i < uids.size();) {
        qsizetype j = i;
        while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1)
            ++j;
        if (!set.isEmpty())
            set += ',';
        set += QByteArray::number(uids[i]);
        if (j > i)
            set += ':' + QByteArray::number(uids[j]);
        i = j + 1;
    }
    return set;
}

QByteArray quoted(QByteArrayView text)
{
    QByteArray q("\"");
    for (const char c : text) {
        if (c == '\0' || c == '\r' || c == '\n' || (c & 0x80))
            return {};
        if (c == '"' || c == '\\')
            q += '\\';
        q += c;
    }
    return q + '"';
}

void Client::begin(Scan scan)
{
    *this = Client();
    m_scan = std::move(scan);
    m_tls = m_scan.tlsFromStart;
    m_step = Step::Greeting;
}

Action Client::feed(QByteArrayView bytes)
{
    Action action;
    if (!active() || m_awaitingTls)
        return action;
    m_responses.feed(bytes);
    while (active() && !m_awaitingTls && m_responses.hasResponse())
        onResponse(m_responses.takeResponse(), action);
    if (active() && !m_awaitingTls && m_responses.failed())
        end(action, Outcome::Protocol, m_responses.failure());
    if (m_awaitingTls)
        m_responses.clear(); // what came after the answer to STARTTLS came before TLS
    return action;
}

Action Client::tlsUp()
{
    Action action;
    if (!m_awaitingTls)
        return action;
    // What the server said before TLS could have been anybody's: it is asked again.
    m_awaitingTls = false;
    m_tls = true;
    m_haveCapabilities = false;
    m_capabilities.clear();
    m_responses.clear();
    m_step = Step::Capability;
    command(action, "CAPABILITY");
    return action;
}

Action Client::closed()
{
    Action action;
    if (m_step == Step::Logout)
        end(action, Outcome::Done);
    else if (active())
        end(action, Outcome::Dropped, "the connection closed");
    return action;
}

void Client::onResponse(const Response &response, Action &action)
{
    Reader reader(response);
    if (reader.take('*'))
        return onUntagged(response, action);
    if (reader.take('+'))
        return onContinuation(action);
    const QByteArray tag = reader.atom();
    if (m_step == Step::Greeting || tag.isEmpty() || tag != m_tag)
        return end(action, Outcome::Protocol, "an unexpected response: " + shown(response));
    const QByteArray status = reader.atom().toUpper();
    if (status != "OK" && status != "NO" && status != "BAD")
        return end(action, Outcome::Protocol, "an unknown status: " + shown(response));
    Reader code(response);
    code.atom(), code.atom();
    onTagged(status, reader.rest(), code, action);
}

void Client::onUntagged(const Response &response, Action &action)
{
    Reader reader(response);
    reader.take('*');
    const QByteArray word = reader.atom().toUpper();
    if (m_step == Step::Greeting) {
        if (word == "BYE")
            return end(action, Outcome::ServerRefused, reader.rest());
        if (word != "OK" && word != "PREAUTH")
            return end(action, Outcome::Protocol, "an unknown greeting: " + shown(response));
        Reader text = reader;
        if (text.take('[') && text.atom().toUpper() == "CAPABILITY") {
            capabilities(text);
            m_haveCapabilities = true;
        }
        if (word == "PREAUTH") {
            // Logged in already: without TLS nothing would protect what is read, and STARTTLS
            // may no longer be asked for.
            if (!m_tls)
                return end(action, Outcome::NoStartTls, reader.rest());
            m_step = Step::Examine;
            return command(action, "EXAMINE INBOX");
        }
        if (m_haveCapabilities)
            return afterCapabilities(action);
        m_step = Step::Capability;
        return command(action, "CAPABILITY");
    }
    if (word == "BYE") {
        if (m_step != Step::Logout)
            end(action, Outcome::ServerRefused, reader.rest());
        return;
    }
    if (word == "CAPABILITY" && m_step == Step::Capability) {
        capabilities(reader);
        m_haveCapabilities = true;
        return;
    }
    if (word == "SEARCH" && m_step == Step::Search) {
        quint32 uid;
        while (reader.number(&uid))
            m_found.append(uid);
        if (!reader.atEnd()) // "(MODSEQ n)" where CONDSTORE is on: not asked for here
            return end(action, Outcome::Protocol,
                       "a SEARCH response that cannot be read: " + shown(response));
        return;
    }
    quint32 number;
    Reader numbered(response);
    numbered.take('*');
    if (numbered.number(&number) && numbered.atom().toUpper() == "FETCH")
        return onFetch(numbered, action);
    // EXISTS, RECENT, EXPUNGE, FLAGS, OK with a code, NO and BAD warnings, and the rest: nothing
    // the scan needs.
}

void Client::onContinuation(Action &action)
{
    if (m_step != Step::Login || m_pending.isEmpty())
        return end(action, Outcome::Protocol, "a continuation request that was not asked for");
    action.send += m_pending.takeFirst();
}

void Client::onTagged(const QByteArray &status, const QByteArray &text, Reader &code,
                      Action &action)
{
    const bool ok = status == "OK";
    switch (m_step) {
    case Step::Capability:
        if (!ok)
            return end(action, Outcome::ServerRefused, text);
        if (code.take('[') && code.atom().toUpper() == "CAPABILITY") {
            capabilities(code);
            m_haveCapabilities = true;
        }
        return afterCapabilities(action);
    case Step::StartTls:
        if (!ok)
            return end(action, Outcome::NoStartTls, text);
        m_awaitingTls = true;
        action.outcome = Outcome::StartTls;
        return;
    case Step::Login:
        m_pending.clear();
        if (!ok)
            return end(action, status == "NO" ? Outcome::LoginRefused : Outcome::ServerRefused,
                       text);
        m_step = Step::Examine;
        return command(action, "EXAMINE INBOX");
    case Step::Examine:
        if (!ok)
            return end(action, Outcome::ServerRefused, text);
        m_step = Step::Search;
        return command(action, "UID SEARCH SINCE " + searchDate(m_scan.since));
    case Step::Search:
        if (!ok)
            return end(action, Outcome::ServerRefused, text);
        std::sort(m_found.begin(), m_found.end());
        m_found.erase(std::unique(m_found.begin(), m_found.end()), m_found.end());
        return nextFetch(action);
    case Step::FetchHeaders:
    case Step::FetchBodies:
        if (!ok)
            return end(action, Outcome::ServerRefused, text);
        return nextFetch(action);
    case Step::Logout:
        return end(action, Outcome::Done);
    case Step::Greeting:
    case Step::Over:
        return;
    }
}

void Client::onFetch(Reader &reader, Action &action)
{
    if (!reader.take('('))
        return end(action, Outcome::Protocol, "a FETCH response that cannot be read");
    quint32 uid = 0;
    QByteArray fields, head;
    bool truncated = false;
    while (!reader.take(')')) {
        const QByteArray name = reader.atom(true).toUpper();
        bool read = !name.isEmpty();
        bool cut = false;
        if (name == "UID") {
            read = reader.number(&uid);
        } else if (name.startsWith("BODY[HEADER.FIELDS")) {
            read = reader.string(&fields, &cut);
        } else if (name == "BODY[]" || name == "BODY[]<0>") {
            read = reader.string(&head, &cut);
        } else if (read) {
            read = reader.skipValue();
        }
        truncated = truncated || cut;
        if (!read)
            return end(action, Outcome::Protocol, "a FETCH response that cannot be read");
    }
    // Only the messages of the fetch in progress, each once: a FETCH the server sends of its own
    // accord (new flags) carries neither.
    const auto it = std::lower_bound(m_batch.begin(), m_batch.end(), uid);
    if (uid == 0 || it == m_batch.end() || *it != uid)
        return;
    if (m_step == Step::FetchHeaders && !fields.isNull()) {
        m_batch.erase(it);
        if (m_scan.wantsBody && m_scan.wantsBody(fields)) {
            m_bodies.append(uid);
            m_fieldsOf.insert(uid, fields);
        } else {
            action.messages.append({uid, fields, {}, truncated});
        }
    } else if (m_step == Step::FetchBodies && !head.isNull()) {
        m_batch.erase(it);
        action.messages.append({uid, m_fieldsOf.take(uid), head, truncated});
    }
}

void Client::capabilities(Reader &reader)
{
    m_capabilities.clear();
    while (!reader.atEnd() && !reader.peek(']')) {
        const QByteArray word = reader.atom();
        if (word.isEmpty())
            break;
        m_capabilities.append(word.toUpper());
    }
}

void Client::afterCapabilities(Action &action)
{
    if (m_tls)
        return login(action);
    if (!m_capabilities.contains("STARTTLS"))
        return end(action, Outcome::NoStartTls, "CAPABILITY " + m_capabilities.join(' '));
    m_step = Step::StartTls;
    command(action, "STARTTLS");
}

void Client::login(Action &action)
{
    m_step = Step::Login;
    if (m_capabilities.contains("AUTH=PLAIN")) { // RFC 4616: no authorization id
        const QByteArray response = ('\0' + m_scan.login + '\0' + m_scan.password).toBase64();
        if (m_capabilities.contains("SASL-IR")) {
            command(action, "AUTHENTICATE PLAIN " + response);
        } else {
            command(action, "AUTHENTICATE PLAIN");
            m_pending = {response + "\r\n"};
        }
    } else if (!m_capabilities.contains("LOGINDISABLED")) {
        // Each string quoted where it can be, else a literal: the command is cut after each
        // literal's "{n}", and the next part goes out after the server's go-ahead for it.
        QList<QByteArray> parts;
        QByteArray line = "LOGIN";
        for (const QByteArray &text : {m_scan.login, m_scan.password}) {
            const QByteArray q = quoted(text);
            if (!q.isNull()) {
                line += ' ' + q;
                continue;
            }
            parts.append(line + " {" + QByteArray::number(text.size()) + '}');
            line = text;
        }
        parts.append(line);
        command(action, parts.takeFirst());
        for (const QByteArray &part : parts)
            m_pending.append(part + "\r\n");
    } else {
        return end(action, Outcome::NoLoginMethod, "CAPABILITY " + m_capabilities.join(' '));
    }
    m_scan.password.fill('\0');
    m_scan.password.clear();
}

void Client::nextFetch(Action &action)
{
    m_batch.clear();
    if (m_headersAsked < m_found.size()) {
        m_batch = m_found.mid(m_headersAsked, HeaderBatch);
        m_headersAsked += m_batch.size();
        m_step = Step::FetchHeaders;
        return command(action, "UID FETCH " + sequenceSet(m_batch) +
                                   " (UID BODY.PEEK[HEADER.FIELDS (" +
                                   m_scan.headerFields.join(' ') + ")])");
    }
    if (m_bodiesAsked < m_bodies.size()) {
        m_batch = m_bodies.mid(m_bodiesAsked, BodyBatch);
        m_bodiesAsked += m_batch.size();
        m_step = Step::FetchBodies;
        return command(action, "UID FETCH " + sequenceSet(m_batch) + " (UID BODY.PEEK[]<0." +
                                   QByteArray::number(BodyBytes) + ">)");
    }
    m_step = Step::Logout;
    command(action, "LOGOUT");
}

void Client::command(Action &action, QByteArrayView text)
{
    m_tag = 'A' + QByteArray::number(++m_tagNumber);
    action.send += m_tag + ' ' + text.toByteArray() + "\r\n";
}

void Client::end(Action &action, Outcome outcome, QByteArray text)
{
    const int tagNumber = m_tagNumber;
    *this = Client();
    m_tagNumber = tagNumber;
    action.outcome = outcome;
    action.text = std::move(text);
}

} // namespace Imap
