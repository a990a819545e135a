// Catches: a wrong command or data at any step, a reply taken before it is whole, a refusal
// that does not end the dialogue, a message counted twice or before its data went out, a line
// break or bracket pair carried into a command, an empty sender sent as the null path, a wrong
// time limit for a step, and a dialogue that answers after it has ended.
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
    "354 End data with .\r\n",
    "250 2.0.0 Ok: queued\r\n",
    "221 2.0.0 Bye\r\n",
};
const QDateTime kDate(QDate(2026, 12, 7), QTime(9, 41, 53), QTimeZone(3 * 3600));

// What the client writes in answer to each reply, for sender " ann@example.org ", recipient
// "bob@example.net", subject "Hi" and a body with a line that is a single dot.
const std::vector<QByteArray> kClient = {
    "HELO ann\r\n",
    "MAIL FROM:<ann@example.org>\r\n",
    "RCPT TO:<bob@example.net>\r\n",
    "DATA\r\n",
    "From: ann@example.org\r\nTo: bob@example.net\r\nDate: Mon, 07 Dec 2026 09:41:53 +0300\r\n"
    "Message-ID: <20261207064153.0000000000000007@example.org>\r\nSubject:Hi\r\n"
    "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=windows-1251\r\n"
    "Content-Transfer-Encoding: 8bit\r\n\r\n\r\nHello\r\n..\r\nBye\r\n\r\n\r\n.\r\n",
    "QUIT\r\n",
};

struct Case
{
    std::string name;
    QByteArray sender = " ann@example.org ";
    QByteArray recipient = "bob@example.net";
    std::vector<QByteArray> server = kServer; // the server's reads
    QByteArray client;                        // every byte the client writes
    std::vector<Outcome> outcomes = {Outcome::Delivered, Outcome::Over}; // all but Continue
    int step = 6;
};

// The normal dialogue up to `step`, ended by `last` with `outcome` (no reply when null).
Case endsAt(std::string name, int step, Outcome outcome, const QByteArray &last = {})
{
    Case c{.name = std::move(name),
           .server = {kServer.begin(), kServer.begin() + step},
           .client = {},
           .outcomes = {outcome},
           .step = step};
    for (int i = 0; i < step; ++i)
        c.client += kClient[std::size_t(i)];
    if (!last.isNull())
        c.server.push_back(last);
    return c;
}

std::vector<Case> cases()
{
    Case normal = endsAt("normal", 6, Outcome::Over, kServer[6]);
    normal.outcomes = {Outcome::Delivered, Outcome::Over};
    std::vector<Case> all = {normal, normal, normal, normal, normal, normal};
    all[1].name = "greeting on two lines, 2501 and bare LF";
    all[1].server[0] = "220-mx.example.org\r\n";
    all[1].server.insert(all[1].server.begin() + 1, "2501\n");
    all[2].name = "QUIT answered with 250, or not at all";
    all[2].server.back() = "250 ok\r\n";
    all[3].name = "QUIT not answered";
    all[3].server.pop_back();
    all[3].outcomes = {Outcome::Delivered};
    all[4].name = "brackets around sender and recipient are not doubled";
    all[4].sender = " <ann@example.org> ";
    all[4].recipient = "<bob@example.net>";
    all[5].name = "sender without @: all of it in HELO, a fixed Message-ID domain";
    all[5].sender = "  postmaster  ";
    all[5]
        .client.replace("HELO ann", "HELO postmaster")
        .replace("ann@example.org", "postmaster")
        .replace("@example.org>", "@brevant.invalid>");
    all.push_back(endsAt("short greeting", 0, Outcome::Refused, "22\r\n"));
    all.push_back(endsAt("empty recipient refused", 3, Outcome::Refused, "501 5.1.3 Bad\r\n"));
    all.back().recipient = "";
    all.back().client.replace("<bob@example.net>", "<>");
    for (const QByteArray &bad : {QByteArray("bob@x\r\nRSET"), QByteArray("bob\0@x", 6)}) {
        all.push_back(
            endsAt("recipient with a line break or NUL", 2, Outcome::InvalidRecipient, kServer[2]));
        all.back().recipient = bad;
    }
    for (const QByteArray &bad : {QByteArray("ann@x\nRSET"), QByteArray("ann\0@x", 6)}) {
        all.push_back(endsAt("sender with a line break or NUL", 0, Outcome::InvalidSender));
        all.back().sender = bad;
    }
    for (const QByteArray &empty : {QByteArray(""), QByteArray("   "), QByteArray(" <> ")}) {
        all.push_back(endsAt("empty sender", 0, Outcome::EmptySender));
        all.back().sender = empty;
    }
    // A refusal at every step before QUIT; 251 is a success code that is not accepted.
    for (int at = 0; at <= 5; ++at) {
        for (const QByteArray code : {"421", "251"})
            all.push_back(endsAt("refused " + code.toStdString() + " at step " + std::to_string(at),
                                 at, Outcome::Refused, code + "-first\r\n" + code + " last\r\n"));
    }
    return all;
}

struct Transcript
{
    QByteArray client;
    std::vector<Outcome> outcomes;
    Smtp::Session session;
};

// Plays the window: feeds the server's bytes cut into pieces of `piece` bytes (0: one read per
// reply, plus a reply after the end that must never be taken), answers every complete reply
// and stops when the dialogue has ended.
void drive(const Case &c, qsizetype piece, Transcript &t)
{
    const Outcome begun = t.session.begin({c.sender, "Hi", "\r\nHello\r\n.\r\nBye", {}, kDate, 7});
    if (begun != Outcome::Continue) {
        t.outcomes.push_back(begun);
        return;
    }
    Smtp::ReplyAssembler assembler;
    bool over = false;
    auto read = [&](QByteArrayView bytes) {
        assembler.feed(bytes);
        while (!over && assembler.hasReply()) {
            const Smtp::Action a =
                t.session.onReply(assembler.takeReply(), [&] { return c.recipient; });
            t.client += a.send;
            while (a.startData && !t.session.dataFinished())
                t.client += t.session.nextDataChunk(7);
            if (a.outcome != Outcome::Continue)
                t.outcomes.push_back(a.outcome);
            over = !t.session.active();
        }
    };
    QByteArray all;
    for (const QByteArray &r : c.server)
        all += r;
    if (piece == 0) {
        for (const QByteArray &r : c.server)
            read(r);
        if (c.outcomes.back() != Outcome::Delivered)
            read("250 after the end\r\n");
    }
    for (qsizetype i = 0; piece > 0 && i < all.size(); i += piece)
        read(QByteArrayView(all).sliced(i, std::min(piece, all.size() - i)));
}

} // namespace

TEST(Session, DialoguesWholeByteByByteAndRunTogether)
{
    for (const Case &c : cases()) {
        for (const qsizetype piece : {0, 1, 1 << 20}) {
            SCOPED_TRACE(c.name + ", pieces of " + std::to_string(piece));
            Transcript t;
            drive(c, piece, t);
            EXPECT_EQ(t.client, c.client);
            EXPECT_EQ(t.outcomes, c.outcomes);
            EXPECT_EQ(t.session.step(), c.step);
            EXPECT_EQ(t.session.delivered(), c.outcomes.front() == Outcome::Delivered);
            // Only a dialogue whose QUIT went unanswered is still open.
            EXPECT_EQ(t.session.active(), c.outcomes.back() == Outcome::Delivered);
        }
    }
}

TEST(Session, DefaultTimeLimitsAndANewDialogueAfterTheLast)
{
    // RFC 5321's minimum client limits, and a short wait for the reply to QUIT.
    const Smtp::Timeouts limits;
    EXPECT_EQ(limits.connect, std::chrono::seconds(30));
    EXPECT_EQ(limits.reply, std::chrono::minutes(5));
    EXPECT_EQ(limits.dataEnd, std::chrono::minutes(10));
    EXPECT_EQ(limits.quit, std::chrono::seconds(5));
    Smtp::Session s;
    ASSERT_EQ(s.begin({"a@b", "", "", "", kDate, 0}), Outcome::Continue);
    for (const QByteArray &reply : kServer) {
        const Smtp::Action a = s.onReply(reply, [] { return QByteArray("c@d"); });
        while (a.startData && !s.dataFinished())
            s.nextDataChunk(1024);
    }
    // An ended dialogue answers nothing; a new one starts over.
    EXPECT_TRUE(s.onReply("250 again\r\n", {}).send.isEmpty());
    EXPECT_EQ(s.begin({"a@b", "", "", "", kDate, 0}), Outcome::Continue);
    EXPECT_FALSE(s.delivered());
    EXPECT_EQ(s.onReply("220 hi\r\n", {}).send, "HELO a\r\n");
}

TEST(Session, EndOfDataAcceptedBeforeEveryByteWentOutIsRefused)
{
    // Before the producer has handed out all the data, and while the socket still holds some.
    for (const qint64 unwritten : {0, 1}) {
        SCOPED_TRACE(unwritten);
        Smtp::Session s;
        s.begin({"a@b", "", "\r\nline", QByteArray(100'000, 'x'), kDate, 0});
        for (std::size_t i = 0; i < 5; ++i)
            s.onReply(kServer[i], [] { return QByteArray("c@d"); });
        ASSERT_EQ(s.step(), 5);
        while (!s.dataFinished() && unwritten > 0)
            s.nextDataChunk(1 << 20);
        const Smtp::Action a = s.onReply("250 ok\r\n", {}, unwritten);
        EXPECT_EQ(a.outcome, Outcome::Refused);
        EXPECT_EQ(a.reply, "250 ok\r\n");
        EXPECT_FALSE(s.delivered());
        EXPECT_TRUE(s.dataFinished()); // the rest of the data is dropped
    }
}
