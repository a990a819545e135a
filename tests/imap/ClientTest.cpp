// Catches: a command, message or outcome off the transcripts of scans.txt, however the server's
// bytes are split; a login before TLS; capabilities of before TLS used after it; batches that
// skip or repeat a message.
#include "Client.h"
#include "TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <vector>

namespace {

using Imap::Outcome;

struct Case
{
    std::string name;
    bool implicitTls = false;
    QByteArray login = "news@example.test", password = "pass word";
    // The server's reads in order; a null one: the TLS handshake; "\x01": the server closes.
    std::vector<QByteArray> server;
    QByteArray client;          // every byte the client writes
    QList<QByteArray> messages; // "M uid fields" or "B uid head", escaped as in scans.txt
    QList<QByteArray> outcomes; // every outcome but Continue, by name
    QByteArray text;            // the last action's text
};

const QByteArray kClose("\x01");

// \r \n \0 \t \xHH and \\ in a line of scans.txt.
QByteArray unescape(QByteArrayView text)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = i + 1 < text.size() && text[i] == '\\' ? text[++i] : 0;
        bytes += c == 'r'    ? '\r'
                 : c == 'n'  ? '\n'
                 : c == '0'  ? '\0'
                 : c == 't'  ? '\t'
                 : c == '\\' ? '\\'
                             : text[i];
        if (c == 'x')
            bytes.back() = char(text.sliced(i + 1, 2).toByteArray().toInt(nullptr, 16)), i += 2;
    }
    return bytes;
}

std::vector<Case> cases()
{
    QFile file(QStringLiteral(BREVANT_SCANS));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    std::vector<Case> all;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const qsizetype space = line.indexOf(' ');
        const QByteArray key = space < 0 ? line : line.left(space),
                         raw = space < 0 ? "" : line.mid(space + 1), value = unescape(raw);
        if (key == "==")
            all.push_back(Case{.name = value.toStdString(),
                               .server = {},
                               .client = {},
                               .messages = {},
                               .outcomes = {},
                               .text = {}});
        else if (key == "port")
            all.back().implicitTls = value == "993";
        else if (key == "login")
            all.back().login = value;
        else if (key == "password")
            all.back().password = value;
        else if (key == "S")
            all.back().server.push_back(value + "\r\n");
        else if (key == "S-")
            all.back().server.push_back(value);
        else if (key == "+")
            all.back().server.back() += value + "\r\n";
        else if (key == "L")
            all.back().server.back() += '{' + QByteArray::number(value.size()) + "}\r\n" + value;
        else if (key == "T")
            all.back().server.push_back(QByteArray());
        else if (key == "X")
            all.back().server.push_back(kClose);
        else if (key == "C")
            all.back().client += value + "\r\n";
        else if (key == "C-")
            all.back().client += value;
        else if (key == "M" || key == "B")
            all.back().messages.append(key + ' ' + raw);
        else if (key == "=") {
            const qsizetype cut = value.indexOf(' ');
            all.back().outcomes.append(cut < 0 ? value : value.left(cut));
            all.back().text = cut < 0 ? QByteArray() : value.mid(cut + 1);
        } else if (key == "=+")
            all.back().outcomes.append(value);
    }
    return all;
}

const char *const kOutcomes[] = {"Continue",      "StartTls",   "Done",
                                 "ServerRefused", "NoStartTls", "NoLoginMethod",
                                 "LoginRefused",  "Protocol",   "Dropped"};

// Escaped as scans.txt writes it, so that a transcript's message lines compare as text.
QByteArray escape(QByteArrayView bytes)
{
    QByteArray text;
    for (const char c : bytes)
        text += c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '\\' ? "\\\\" : QByteArray(1, c);
    return text;
}

struct Transcript
{
    QByteArray client;
    QList<QByteArray> messages, outcomes;
    QByteArray text;
    Imap::Client client_;
};

// Plays the connection: the server's bytes cut into pieces of `piece` bytes (0: one feed per
// read, then a late response that must be taken for nothing), the handshake where the server
// reads say, and the close.
void drive(const Case &c, qsizetype piece, Transcript &t)
{
    Imap::Scan scan{c.login,
                    c.password,
                    QDate(2026, 12, 7),
                    c.implicitTls,
                    {"FROM", "SUBJECT", "CONTENT-TYPE"},
                    [](QByteArrayView fields) {
                        return fields.toByteArray().toLower().contains("multipart/report");
                    }};
    t.client_.begin(scan);
    const auto take = [&](const Imap::Action &a) {
        t.client += a.send;
        for (const Imap::Message &m : a.messages)
            t.messages.append(m.head.isNull()
                                  ? "M " + QByteArray::number(m.uid) + ' ' + escape(m.headerFields)
                                  : "B " + QByteArray::number(m.uid) + ' ' + escape(m.head));
        if (a.outcome != Outcome::Continue) {
            t.outcomes.append(kOutcomes[int(a.outcome)]);
            t.text = a.text;
        }
    };
    QByteArray segment; // the bytes up to the next handshake or close
    const auto feed = [&] {
        for (qsizetype i = 0; i < segment.size(); i += piece)
            take(t.client_.feed(
                QByteArrayView(segment).sliced(i, std::min(piece, segment.size() - i))));
        segment.clear();
    };
    for (const QByteArray &r : c.server) {
        if (piece > 0 && (r.isNull() || r == kClose))
            feed();
        if (r.isNull())
            take(t.client_.tlsUp());
        else if (r == kClose)
            take(t.client_.closed());
        else if (piece == 0)
            take(t.client_.feed(r));
        else
            segment += r;
    }
    feed();
    if (piece == 0) {
        const Imap::Action late = t.client_.feed("* 9 FETCH (UID 9 BODY[] {1}\r\nx)\r\nA99 OK\r\n");
        EXPECT_TRUE(late.send.isEmpty() && late.messages.isEmpty() &&
                    late.outcome == Outcome::Continue);
    }
}

} // namespace

TEST(Client, ScansWholeByteByByteAndRunTogether)
{
    const std::vector<Case> all = cases();
    ASSERT_GT(all.size(), 20u);
    for (const Case &c : all) {
        for (const qsizetype piece : {0, 1, 1 << 20}) {
            SCOPED_TRACE(c.name + ", pieces of " + std::to_string(piece));
            Transcript t;
            drive(c, piece, t);
            EXPECT_EQ(t.client, c.client);
            EXPECT_EQ(t.messages, c.messages);
            EXPECT_EQ(t.outcomes, c.outcomes);
            EXPECT_EQ(t.text, c.text);
            EXPECT_FALSE(t.client_.active());
        }
    }
}

// Nothing that could change the mailbox, and no login without TLS, in any transcript.
TEST(Client, NoTranscriptChangesTheMailboxOrLogsInInThePlain)
{
    for (const Case &c : cases()) {
        SCOPED_TRACE(c.name);
        for (const QByteArray &line : c.client.split('\n')) {
            const QByteArray command = line.mid(line.indexOf(' ') + 1).toUpper();
            for (const char *word :
                 {"SELECT", "STORE", "COPY", "MOVE", "EXPUNGE", "APPEND", "DELETE", "RENAME",
                  "UID STORE", "UID COPY", "UID MOVE", "UID EXPUNGE"})
                EXPECT_FALSE(command.startsWith(word)) << line.toStdString();
            EXPECT_FALSE(command.contains("BODY[")) << line.toStdString();
        }
        if (!c.implicitTls) {
            const qsizetype handshake = c.client.indexOf("STARTTLS\r\n");
            const QByteArray plain = handshake < 0 ? c.client : c.client.left(handshake);
            EXPECT_FALSE(plain.contains("LOGIN ") || plain.contains("AUTHENTICATE"));
            EXPECT_FALSE(plain.contains(c.password));
        }
    }
}

// Thousands of messages found: every one asked for exactly once, in batches of HeaderBatch and
// BodyBatch, and handed on once.
TEST(Client, LargeSearchesAreFetchedInBatchesEachMessageOnce)
{
    Imap::Client client;
    client.begin({"u", "p", QDate(2026, 1, 2), true, {"SUBJECT"}, [](QByteArrayView f) {
                      return f.endsWith("r\r\n\r\n");
                  }});
    QByteArray search = "* SEARCH";
    constexpr qsizetype Found = 2345;
    qsizetype reports = 0;
    for (quint32 i = Found; i >= 1; --i) { // any order, runs and gaps
        const quint32 uid = i * 2 - (i % 3 == 0);
        search += ' ' + QByteArray::number(uid);
        reports += uid % 7 == 0;
    }
    Imap::Action a = client.feed("* PREAUTH [CAPABILITY IMAP4rev1] ready\r\n");
    ASSERT_EQ(a.send, "A1 EXAMINE INBOX\r\n");
    a = client.feed("A1 OK [READ-ONLY] done\r\n");
    ASSERT_EQ(a.send, "A2 UID SEARCH SINCE 2-Jan-2026\r\n");
    a = client.feed(search + "\r\nA2 OK done\r\n");
    QMap<quint32, int> headers, heads;
    int fetches = 0;
    while (a.outcome == Outcome::Continue && a.send.contains("UID FETCH")) {
        ++fetches;
        // Answers every UID of the set with its header fields or head.
        const QByteArray tag = a.send.left(a.send.indexOf(' '));
        const QByteArray set = a.send.split(' ')[3];
        const bool bodies = a.send.contains("BODY.PEEK[]<0.262144>");
        QByteArray reply;
        QList<quint32> asked;
        for (const QByteArray &range : set.split(',')) {
            const QList<QByteArray> ends = range.split(':');
            for (quint32 uid = ends[0].toUInt(); uid <= ends.last().toUInt(); ++uid)
                asked.append(uid);
        }
        EXPECT_LE(asked.size(), bodies ? Imap::Client::BodyBatch : Imap::Client::HeaderBatch);
        for (const quint32 uid : asked) {
            const QByteArray value = bodies    ? "whole"
                                     : uid % 7 ? "Subject: a\r\n\r\n"
                                               : "Subject: r\r\n\r\n";
            reply += "* 1 FETCH (UID " + QByteArray::number(uid) +
                     (bodies ? " BODY[]<0> {" : " BODY[HEADER.FIELDS (SUBJECT)] {") +
                     QByteArray::number(value.size()) + "}\r\n" + value + ")\r\n";
        }
        a = client.feed(reply + tag + " OK done\r\n");
        for (const Imap::Message &m : a.messages)
            ++(m.head.isNull() ? headers : heads)[m.uid];
    }
    EXPECT_TRUE(a.send.endsWith("LOGOUT\r\n"));
    const auto batches = [](qsizetype n, qsizetype batch) { return (n + batch - 1) / batch; };
    EXPECT_EQ(fetches, batches(Found, Imap::Client::HeaderBatch) +
                           batches(reports, Imap::Client::BodyBatch));
    EXPECT_EQ(heads.size(), reports);
    EXPECT_EQ(headers.size() + heads.size(), Found);
    for (auto it = heads.begin(); it != heads.end(); ++it)
        EXPECT_TRUE(it.value() == 1 && !headers.contains(it.key()) && it.key() % 7 == 0);
    for (const int n : headers)
        EXPECT_EQ(n, 1);
}

TEST(Client, SearchDatesSetsAndQuotedStrings)
{
    EXPECT_EQ(Imap::searchDate(QDate(2026, 12, 7)), "7-Dec-2026");
    EXPECT_EQ(Imap::searchDate(QDate(2027, 1, 31)), "31-Jan-2027");
    EXPECT_EQ(Imap::sequenceSet({1, 2, 3, 5, 7, 8, 10}), "1:3,5,7:8,10");
    EXPECT_EQ(Imap::sequenceSet({4294967294u, 4294967295u}), "4294967294:4294967295");
    EXPECT_EQ(Imap::quoted("a \"b\" \\c"), "\"a \\\"b\\\" \\\\c\"");
    for (const char *unquotable : {"caf\xc3\xa9", "a\rb", "a\nb"})
        EXPECT_TRUE(Imap::quoted(unquotable).isNull()) << unquotable;
    EXPECT_TRUE(Imap::quoted(QByteArray("a\0b", 3)).isNull());
    EXPECT_EQ(Imap::quoted(""), "\"\"");
}
