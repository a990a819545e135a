// Catches: a wrong command at any step, a reply taken before it is whole, a refusal that does
// not end the dialogue, a message counted twice or before its data went out, a line break or
// bracket pair carried into a command, an empty sender sent as the null path, and the wrong
// time limit for a step.
#include "Session.h"
#include "Bytes.h"

#include <QTimeZone>

#include <gtest/gtest.h>

#include <vector>

namespace {

using Smtp::Outcome;

// The server side of a normal dialogue, one reply per read.
const std::vector<QByteArray> kServer = {
    "220 mx.example.org ESMTP\r\n",
    "250 mx.example.org\r\n",
    "250 2.1.0 Ok\r\n",
    "250 2.1.5 Ok\r\n",
    "354 End data with <CR><LF>.<CR><LF>\r\n",
    "250 2.0.0 Ok: queued\r\n",
    "221 2.0.0 Bye\r\n",
};

// What the client sends after each of those replies, for sender " ann@example.org ",
// recipient "bob@example.net", subject "Hi" and a body with a line that is a single dot, sent
// at a fixed time with a fixed random number.
const QDateTime kDate(QDate(2026, 12, 7), QTime(9, 41, 53), QTimeZone(3 * 3600));
constexpr quint64 kRandom = 0x5f3a9c1b7d4e6a80;
const QByteArray kData = "From: ann@example.org\r\n"
                         "To: bob@example.net\r\n"
                         "Date: Mon, 07 Dec 2026 09:41:53 +0300\r\n"
                         "Message-ID: <20261207064153.5F3A9C1B7D4E6A80@example.org>\r\n"
                         "Subject:Hi\r\n"
                         "MIME-Version: 1.0\r\n"
                         "Content-Type: text/plain; charset=windows-1251\r\n"
                         "Content-Transfer-Encoding: 8bit\r\n"
                         "\r\n\r\nHello\r\n..\r\nBye\r\n\r\n\r\n.\r\n";
const std::vector<QByteArray> kClient = {
    "HELO ann\r\n",
    "MAIL FROM:<ann@example.org>\r\n",
    "RCPT TO:<bob@example.net>\r\n",
    "DATA\r\n",
    kData,
    "QUIT\r\n",
    "",
};

QByteArray clientUpTo(std::size_t replies)
{
    QByteArray out;
    for (std::size_t i = 0; i < replies; ++i)
        out += kClient[i];
    return out;
}

struct DialogueCase
{
    std::string name;
    QByteArray sender = " ann@example.org ";
    QByteArray recipient = "bob@example.net";
    std::vector<QByteArray> server = kServer; // the server's reads
    QByteArray client = clientUpTo(6);        // every byte the client writes
    std::vector<Outcome> outcomes = {Outcome::Delivered, Outcome::Over}; // all but Continue
    QByteArray refused = {}; // the reply of a Refused outcome
    int step = 6;
};

// The normal dialogue, changed by `change`.
template <typename Change> DialogueCase normal(std::string name, Change change)
{
    DialogueCase c{.name = std::move(name)};
    change(c);
    return c;
}

// A dialogue that ends at `step` with `outcome`, after the normal replies before that step
// and then `last` (no reply at all when `last` is null).
DialogueCase endsAt(std::string name, int step, Outcome outcome, const QByteArray &last = {})
{
    DialogueCase c{.name = std::move(name), .client = clientUpTo(std::size_t(step))};
    c.server.resize(std::size_t(step));
    if (!last.isNull())
        c.server.push_back(last);
    c.outcomes = {outcome};
    c.refused = outcome == Outcome::Refused ? last : QByteArray();
    c.step = step;
    return c;
}

std::vector<DialogueCase> dialogueCases()
{
    std::vector<DialogueCase> cases = {
        normal("normal", [](DialogueCase &) {}),
        normal("greeting on two lines",
               [](DialogueCase &c) {
                   c.server[0] = "220-mx.example.org ESMTP\r\n";
                   c.server.insert(c.server.begin() + 1, "220 ready\r\n");
               }),
        normal("2501 and bare LF line ends",
               [](DialogueCase &c) {
                   c.server[0] = "2501\n";
                   c.server[4] = "354\n";
               }),
        normal("QUIT answered with 250", [](DialogueCase &c) { c.server[6] = "250 ok\r\n"; }),
        normal("QUIT not answered",
               [](DialogueCase &c) {
                   c.server.pop_back();
                   c.outcomes = {Outcome::Delivered};
               }),
        normal("sender without @",
               [](DialogueCase &c) {
                   c.sender = "  postmaster  ";
                   c.client.replace("HELO ann", "HELO postmaster")
                       .replace("<ann@example.org>", "<postmaster>")
                       .replace("From: ann@example.org", "From: postmaster")
                       .replace("@example.org>", "@brevant.invalid>");
               }),
        normal("brackets around sender and recipient are not doubled",
               [](DialogueCase &c) {
                   c.sender = " <ann@example.org> ";
                   c.recipient = "<bob@example.net>";
               }),
        normal("only spaces are trimmed",
               [](DialogueCase &c) {
                   c.sender = " \tann@x\t ";
                   c.recipient = "  \xA0-bob@y\t  ";
                   c.client.replace("HELO ann", "HELO \tann")
                       .replace("ann@example.org", "\tann@x\t")
                       .replace("bob@example.net", "\xA0-bob@y\t")
                       .replace("@example.org>", "@brevant.invalid>");
               }),
        endsAt("short greeting", 0, Outcome::Refused, "22\r\n"),
        endsAt("empty line for HELO", 1, Outcome::Refused, "\r\n"),
    };
    DialogueCase empty =
        endsAt("empty recipient", 3, Outcome::Refused, "501 5.1.3 Bad address\r\n");
    empty.recipient = "";
    empty.client.replace("<bob@example.net>", "<>");
    cases.push_back(empty);
    for (const QByteArray &bad : {QByteArray("bob@x\r\nRSET"), QByteArray("bob\n@x"),
                                  QByteArray("bob@x\r"), bytes("bob\0@x")}) {
        cases.push_back(endsAt("recipient " + testing::PrintToString(bad), 2,
                               Outcome::InvalidRecipient, kServer[2]));
        cases.back().recipient = bad;
    }
    for (const QByteArray &bad :
         {QByteArray("ann@x\r\nRSET"), bytes("ann\0@x"), QByteArray("\n")}) {
        cases.push_back(endsAt("sender " + testing::PrintToString(bad), 0, Outcome::InvalidSender));
        cases.back().sender = bad;
    }
    for (const QByteArray &empty : {QByteArray(""), QByteArray("   "), QByteArray(" <> ")}) {
        cases.push_back(endsAt("sender '" + empty.toStdString() + "'", 0, Outcome::EmptySender));
        cases.back().sender = empty;
    }
    // A refusal at every step before QUIT; 251 is a success code that is not accepted.
    for (int at = 0; at <= 5; ++at) {
        for (const QByteArray code : {"421", "550", "251"})
            cases.push_back(
                endsAt("refused " + code.toStdString() + " at step " + std::to_string(at), at,
                       Outcome::Refused, code + "-first\r\n" + code + " last\r\n"));
    }
    return cases;
}

enum class Feed { Whole, ByteByByte, RunTogether };

struct Transcript
{
    QByteArray client;
    std::vector<Outcome> outcomes;
    QByteArray refused;
    int recipientReads = 0;
    Smtp::Session session;
};

// Plays the window: feeds the server's bytes, answers every complete reply and stops reading
// when an action closes the connection.
void drive(const DialogueCase &c, Feed feed, Transcript &t)
{
    const Outcome begun =
        t.session.begin({c.sender, "Hi", "\r\nHello\r\n.\r\nBye", {}, kDate, kRandom});
    if (begun != Outcome::Continue) {
        t.outcomes.push_back(begun);
        return;
    }
    Smtp::ReplyAssembler assembler;
    bool closed = false;
    auto read = [&](QByteArrayView bytes) {
        assembler.feed(bytes);
        while (!closed && assembler.hasReply()) {
            const Smtp::Action a = t.session.onReply(assembler.takeReply(), [&] {
                ++t.recipientReads;
                return c.recipient;
            });
            t.client += a.send;
            if (a.startData) {
                while (!t.session.dataFinished())
                    t.client += t.session.nextDataChunk(7);
            }
            if (a.outcome != Outcome::Continue)
                t.outcomes.push_back(a.outcome);
            if (a.outcome == Outcome::Refused)
                t.refused = a.reply;
            closed = a.close;
        }
    };
    QByteArray all;
    for (const QByteArray &r : c.server)
        all += r;
    switch (feed) {
    case Feed::Whole:
        for (const QByteArray &r : c.server)
            read(r);
        break;
    case Feed::ByteByByte:
        for (qsizetype i = 0; i < all.size(); ++i)
            read(QByteArrayView(all).sliced(i, 1));
        break;
    case Feed::RunTogether:
        // A reply after the one that closes the connection is never taken.
        read(c.outcomes.back() == Outcome::Delivered ? all : all + "250 after the end\r\n");
        break;
    }
}

TEST(Session, DialoguesWholeByteByByteAndRunTogether)
{
    for (const DialogueCase &c : dialogueCases()) {
        for (const Feed feed : {Feed::Whole, Feed::ByteByByte, Feed::RunTogether}) {
            SCOPED_TRACE(c.name + " / feed " + std::to_string(int(feed)));
            Transcript t;
            drive(c, feed, t);
            EXPECT_EQ(t.client, c.client);
            EXPECT_EQ(t.outcomes, c.outcomes);
            EXPECT_EQ(t.refused, c.refused);
            EXPECT_EQ(t.session.step(), c.step);
            const bool delivered = c.outcomes.front() == Outcome::Delivered;
            EXPECT_EQ(t.session.delivered(), delivered);
            // Only a dialogue whose QUIT went unanswered is still open.
            EXPECT_EQ(t.session.active(), c.outcomes.back() == Outcome::Delivered);
            EXPECT_EQ(t.recipientReads,
                      c.client.contains("RCPT") || c.outcomes.back() == Outcome::InvalidRecipient);
        }
    }
}

TEST(Session, TimeoutFollowsTheStep)
{
    // The defaults: RFC 5321's minimum client limits, and a short wait for the reply to QUIT.
    const Smtp::Timeouts defaults;
    EXPECT_EQ(defaults.connect, std::chrono::seconds(30));
    EXPECT_EQ(defaults.reply, std::chrono::minutes(5));
    EXPECT_EQ(defaults.dataEnd, std::chrono::minutes(10));
    EXPECT_LE(defaults.quit, std::chrono::seconds(10));
    const Smtp::Timeouts limits{std::chrono::milliseconds(1), std::chrono::milliseconds(2),
                                std::chrono::milliseconds(3), std::chrono::milliseconds(4)};
    Smtp::Session s;
    ASSERT_EQ(s.begin({"a@b", "", "", "", kDate, 0}), Outcome::Continue);
    const int expected[] = {2, 2, 2, 2, 2, 3, 4};
    for (std::size_t i = 0; i < kServer.size(); ++i) {
        EXPECT_EQ(s.replyTimeout(limits).count(), expected[i]) << "step " << i;
        const Smtp::Action a = s.onReply(kServer[i], [] { return QByteArray("c@d"); });
        while (a.startData && !s.dataFinished())
            s.nextDataChunk(1024);
    }
    EXPECT_FALSE(s.active());
}

TEST(Session, EndOfDataAcceptedTooEarlyIsRefused)
{
    // Before the producer has handed out all the data, and while the socket still holds some.
    for (const qint64 unwritten : {0, 1}) {
        SCOPED_TRACE(unwritten);
        Smtp::Session s;
        s.begin({"a@b", "", "\r\nline", QByteArray(100'000, 'x'), kDate, 0});
        for (std::size_t i = 0; i < 5; ++i)
            s.onReply(kServer[i], [] { return QByteArray("c@d"); });
        ASSERT_EQ(s.step(), 5);
        if (unwritten == 0) {
            s.nextDataChunk(1000);
        } else {
            while (!s.dataFinished())
                s.nextDataChunk(1 << 20);
        }
        const Smtp::Action a = s.onReply("250 ok\r\n", {}, unwritten);
        EXPECT_EQ(a.outcome, Outcome::Refused);
        EXPECT_TRUE(a.close);
        EXPECT_EQ(a.reply, "250 ok\r\n");
        EXPECT_FALSE(s.delivered());
        EXPECT_TRUE(s.dataFinished()); // the rest of the data is dropped
    }
}

TEST(Session, IdleSessionIgnoresRepliesAndBeginStartsOver)
{
    Smtp::Session s;
    EXPECT_FALSE(s.active());
    Smtp::Action a = s.onReply("220 hi\r\n", {});
    EXPECT_EQ(a.outcome, Outcome::Continue);
    EXPECT_TRUE(a.send.isEmpty());
    EXPECT_FALSE(a.close);

    s.begin({"a@b", "", "", "", kDate, 0});
    for (const QByteArray &reply : kServer) {
        a = s.onReply(reply, [] { return QByteArray("c@d"); });
        while (a.startData && !s.dataFinished())
            s.nextDataChunk(1024);
    }
    EXPECT_TRUE(s.delivered());
    EXPECT_EQ(s.onReply("250 again\r\n", {}).outcome, Outcome::Continue);

    EXPECT_EQ(s.begin({"a@b", "", "", "", kDate, 0}), Outcome::Continue);
    EXPECT_EQ(s.step(), 0);
    EXPECT_FALSE(s.delivered());
    EXPECT_TRUE(s.active());
    EXPECT_EQ(s.onReply("220 hi\r\n", {}).send, "HELO a\r\n");
}

} // namespace
