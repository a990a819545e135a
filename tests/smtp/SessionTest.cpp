// Catches: a command, data or outcome off the transcripts of dialogues.txt, a wrong time limit.
#include "Session.h"
#include "Reply.h"
#include "Server.h"
#include "TestSupport.h"

#include <QFile>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <vector>

namespace {

using Smtp::Outcome;
using Smtp::Step;

const QDateTime kDate(QDate(2026, 12, 7), QTime(9, 41, 53), QTimeZone(3 * 3600));

struct Case
{
    std::string name;
    QByteArray sender = " ann@example.org ", recipient = "bob@example.net";
    int port = 25;
    QByteArray login = "ann@example.org", password = "pass word:1";
    std::vector<QByteArray> server; // the server's reads; a null one: the TLS handshake
    QByteArray client;              // every byte the client writes
    QList<QByteArray> outcomes;     // all but Continue and RecipientWanted, by name
    QByteArray step = "Greeting";
};

// \r \n \0 \xHH and \\ in a line of dialogues.txt.
QByteArray unescape(QByteArrayView text)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = i + 1 < text.size() && text[i] == '\\' ? text[++i] : 0;
        bytes += c == 'r' ? '\r' : c == 'n' ? '\n' : c == '0' ? '\0' : c == '\\' ? '\\' : text[i];
        if (c == 'x')
            bytes.back() = char(text.sliced(i + 1, 2).toByteArray().toInt(nullptr, 16)), i += 2;
    }
    return bytes;
}

std::vector<Case> cases()
{
    QFile file(QStringLiteral(BREVANT_DIALOGUES));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    std::vector<Case> all;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const qsizetype space = line.indexOf(' ');
        const QByteArray key = space < 0 ? line : line.left(space),
                         value = unescape(space < 0 ? "" : line.mid(space + 1));
        if (key == "==")
            all.push_back(
                Case{.name = value.toStdString(), .server = {}, .client = {}, .outcomes = {}});
        else if (key == "sender")
            all.back().sender = value;
        else if (key == "recipient")
            all.back().recipient = value;
        else if (key == "port")
            all.back().port = value.toInt();
        else if (key == "login")
            all.back().login = value;
        else if (key == "T")
            all.back().server.push_back(QByteArray());
        else if (key == "S")
            all.back().server.push_back(value.endsWith('\n') ? value : value + "\r\n");
        else if (key == "C")
            all.back().client += value + "\r\n";
        else if (key == "=") {
            all.back().outcomes = value.split(' ');
            all.back().step = all.back().outcomes.takeLast();
        }
    }
    return all;
}

const char *const kSteps[] = {"Greeting",  "Hello",   "StartTls", "LoginUser",
                              "LoginPass", "Login",   "MailFrom", "Recipient",
                              "Data",      "DataEnd", "Quit"};
const char *const kOutcomes[] = {
    "Continue",   "RecipientWanted", "StartTls",         "Refused",   "DeadAddress", "LoginRefused",
    "NoStartTls", "NoLoginMethod",   "InvalidRecipient", "Delivered", "Over"};

struct Transcript
{
    QByteArray client;
    QList<QByteArray> outcomes;
    Smtp::Session session;
};

// Plays the connection: feeds the server's bytes cut into pieces of `piece` bytes (0: one read
// per reply, plus a reply after the end that must never be taken), answers every complete reply,
// drops what came before the TLS handshake, and stops when the dialogue has ended.
void drive(const Case &c, qsizetype piece, Transcript &t)
{
    const Smtp::Security security = Smtp::server("h:" + QByteArray::number(c.port)).security;
    t.session.begin(
        {c.sender, "Hi", "\r\nHello\r\n.\r\nBye", {}, kDate, 7, security, c.login, c.password});
    t.session.setClientName("[127.0.0.1]");
    Smtp::ReplyAssembler assembler;
    bool over = false;
    auto read = [&](QByteArrayView bytes) {
        assembler.feed(bytes);
        while (!over && assembler.hasReply()) {
            Smtp::Action a = t.session.onReply(assembler.takeReply());
            if (a.outcome == Outcome::RecipientWanted) {
                EXPECT_TRUE(a.send.isEmpty() && t.session.onReply("250 early\r\n").send.isEmpty());
                a = t.session.recipient(c.recipient);
            }
            t.client += a.send;
            while (a.startData && !t.session.dataFinished())
                t.client += t.session.nextDataChunk(7);
            if (a.outcome != Outcome::Continue)
                t.outcomes.push_back(kOutcomes[int(a.outcome)]);
            over = !t.session.active();
        }
    };
    const auto tlsUp = [&] {
        assembler.clear();
        t.client += t.session.tlsUp().send;
    };
    QByteArray segment; // the bytes up to the next handshake
    const auto feed = [&] {
        for (qsizetype i = 0; piece > 0 && i < segment.size(); i += piece)
            read(QByteArrayView(segment).sliced(i, std::min(piece, segment.size() - i)));
        segment.clear();
    };
    for (const QByteArray &r : c.server) {
        if (r.isNull())
            piece == 0 ? tlsUp() : (feed(), tlsUp());
        else if (piece == 0)
            read(r);
        else
            segment += r;
    }
    feed();
    if (piece == 0 && c.outcomes.back() != "Delivered")
        read("250 after the end\r\n");
}

} // namespace

TEST(Session, DialoguesWholeByteByByteAndRunTogether)
{
    const std::vector<Case> all = cases();
    ASSERT_GT(all.size(), 20u);
    for (const Case &c : all) {
        for (const qsizetype piece : {0, 1, 1 << 20}) {
            SCOPED_TRACE(c.name + ", pieces of " + std::to_string(piece));
            Transcript t;
            drive(c, piece, t);
            EXPECT_EQ(t.client, c.client);
            EXPECT_EQ(t.outcomes, c.outcomes);
            EXPECT_EQ(kSteps[int(t.session.step())], c.step);
            EXPECT_EQ(t.session.delivered(), c.outcomes.contains("Delivered"));
            // Only a dialogue whose QUIT went unanswered is still open.
            EXPECT_EQ(t.session.active(), c.outcomes.back() == "Delivered");
        }
    }
}

// RFC 5321's minimum client limits, and a short wait for the reply to QUIT.
TEST(Session, DefaultTimeLimits)
{
    const Smtp::Timeouts limits;
    EXPECT_EQ(limits.connect, std::chrono::seconds(30));
    EXPECT_EQ(limits.reply, std::chrono::minutes(5));
    EXPECT_EQ(limits.dataEnd, std::chrono::minutes(10));
    EXPECT_EQ(limits.quit, std::chrono::seconds(5));
}

TEST(Session, EndOfDataAcceptedBeforeEveryByteWentOutIsRefused)
{
    // Before the producer has handed out all the data, and while the socket still holds some.
    for (const qint64 unwritten : {0, 1}) {
        SCOPED_TRACE(unwritten);
        Smtp::Session s;
        s.begin({"a@b", "", "\r\nline", QByteArray(100'000, 'x'), kDate, 0, {}, {}, {}});
        for (const char *reply :
             {"220 mx\r\n", "250 mx\r\n", "250 Ok\r\n", "250 Ok\r\n", "354 Go\r\n"}) {
            if (s.onReply(reply).outcome == Outcome::RecipientWanted)
                s.recipient("c@d");
        }
        ASSERT_EQ(s.step(), Step::DataEnd);
        while (!s.dataFinished() && unwritten > 0)
            s.nextDataChunk(1 << 20);
        const Smtp::Action a = s.onReply("250 ok\r\n", unwritten);
        EXPECT_EQ(a.outcome, Outcome::Refused);
        EXPECT_EQ(a.reply, "250 ok\r\n");
        EXPECT_FALSE(s.delivered());
        EXPECT_TRUE(s.dataFinished()); // the rest of the data is dropped
    }
}
