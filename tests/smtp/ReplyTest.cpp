// Catches: a reply framed wrongly or without bound, a refusal taken for a dead address or one
// missed, an address that keeps spaces or brackets.
#include "Reply.h"
#include "Fields.h"
#include "Server.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

TEST(Reply, OverlongReplyIsCutButStillEndsAndANewConnectionForgetsTheOld)
{
    Smtp::ReplyAssembler assembler;
    const QByteArray first = "550-" + QByteArray(Smtp::ReplyAssembler::MaxReplyBytes, 'x') + "\r\n";
    assembler.feed(first);
    for (int i = 0; i < 100; ++i)
        assembler.feed("550-" + QByteArray(1000, 'y') + "\n");
    EXPECT_FALSE(assembler.hasReply());
    assembler.feed("550 end\r\n250 next\r\n220-mx\r\n250 o");
    EXPECT_EQ(assembler.takeReply(), first.first(Smtp::ReplyAssembler::MaxReplyBytes));
    EXPECT_EQ(assembler.takeReply(), "250 next\r\n");
    assembler.feed("250 left\r\n220-mx"); // a new connection forgets the whole replies too
    assembler.clear();
    assembler.feed("k\r\n");
    EXPECT_EQ(assembler.takeReply(), "k\r\n");
    // A reply one byte short of the cap takes that byte of its next line.
    assembler.feed("550-" + QByteArray(Smtp::ReplyAssembler::MaxReplyBytes - 7, 'z') +
                   "\r\n550 end\r\n");
    EXPECT_EQ(assembler.takeReply().size(), Smtp::ReplyAssembler::MaxReplyBytes);
}

TEST(Reply, AMultiLineReplyIsWholeWhereverItIsCut)
{
    const QByteArray input = "250-a\r\n250-b\n250 c\r\n354 d\r\n";
    for (qsizetype cut = 0; cut < input.size(); ++cut) {
        Smtp::ReplyAssembler assembler;
        assembler.feed(input.first(cut));
        assembler.feed(input.sliced(cut));
        EXPECT_EQ(assembler.takeReply(), "250-a\r\n250-b\n250 c\r\n") << "cut at " << cut;
        EXPECT_EQ(assembler.takeReply(), "354 d\r\n");
    }
}

// Which refusals of RCPT TO say that the address takes no mail.
TEST(Reply, DeadAddressesByTheirCodes)
{
    const std::pair<QByteArray, bool> cases[] = {
        {"550 5.1.1 <a@b>: Recipient address rejected: User unknown\r\n", true},
        {"553 5.1.3 Bad recipient address syntax\r\n", true},
        {"550 5.1.10 Null MX\r\n", true},
        {"550 5.2.1 Mailbox disabled\r\n", true},
        {"550-5.1.1 The email account that you tried\r\n550 5.1.1 does not exist\r\n", true},
        {"550 No such user\r\n", true},
        {"551 User not local\r\n", true},
        {"553 Mailbox name not allowed\r\n", true},
        {"550 5.1.1\r\n", true},
        {"554 5.7.1 <a@b>: Relay access denied\r\n", false},
        {"550 5.7.1 Blocked by policy\r\n", false},
        {"552 5.2.2 Mailbox full\r\n", false},
        {"550 5.2.10 Something else\r\n", false},
        {"450 4.2.0 <a@b>: Recipient address rejected: Greylisted\r\n", false},
        {"452 Too many recipients\r\n", false},
        {"421 4.3.2 Shutting down\r\n", false},
        {"554 Transaction failed\r\n", false},
        {"552 Too much mail data\r\n", false},
        {"55\r\n", false},
        {"550 5.1.1234 not a code\r\n", true}, // no enhanced code: a plain 550
        {"553 5.7.1x\r\n", true},
        {"550 55.1.1 not a code either\r\n", true},
        // Refusals that concern the sender, however the recipient's step got them.
        {"553 sorry, that domain isn't in my list of allowed rcpthosts (#5.7.1)\r\n", false},
        {"550 5.1.0 <news@example.test>: Sender address rejected: User unknown\r\n", false},
        {"550 5.1.7 Bad sender's mailbox address syntax\r\n", false},
        {"553 5.1.8 Bad sender's system address\r\n", false},
        {"550 Sender verify failed\r\n", false},
        {"550 sorry, no mailbox here by that name. (#5.1.1)\r\n", true},
        {"553 5.1.2 The recipient's domain does not exist; sender fine\r\n", true},
        // A malformed address: the server's syntax reply.
        {"500 5.5.2 Error: bad UTF-8 syntax\r\n", true},
        {"501 5.1.3 Bad recipient address syntax\r\n", true},
        {"501 Syntax error in parameters\r\n", true},
        {"554 5.5.2 Syntax error\r\n", true},
        {"501 5.1.7 Bad sender address syntax\r\n", false},
    };
    for (const auto &[reply, dead] : cases)
        EXPECT_EQ(Smtp::isDeadAddress(reply), dead) << reply.toStdString();
}

// Which refusals name a limit of the sender's account rather than a recipient's mailbox.
TEST(Reply, SendingLimitsByTheirCodesAndWords)
{
    const std::pair<QByteArray, bool> cases[] = {
        {"550 5.4.5 Daily user sending limit exceeded\r\n", true},
        {"550 5.7.233 Mail not sent\r\n", true},
        {"451 4.7.1 Too many messages, try again later\r\n", true},
        {"421-4.7.28 Unusual rate of unsolicited mail\r\n421 4.7.28 from your IP\r\n", true},
        {"554 Message rejected: sending quota exceeded\r\n", true},
        {"452 RATE LIMITED\r\n", true},
        {"550 Daily message limit reached\r\n", true},
        {"552 5.2.2 Mailbox over quota\r\n", false},
        {"550 5.1.1 User unknown; limit of one\r\n", false},
        {"550 5.7.1 Moderated: separate approval\r\n", false},
        {"451 4.3.0 Temporary lookup failure; accurate\r\n", false},
        {"5.4\r\n", false},
    };
    for (const auto &[reply, limit] : cases) {
        EXPECT_EQ(Smtp::isSendingLimit(reply), limit) << reply.toStdString();
        EXPECT_FALSE(limit && Smtp::isDeadAddress(reply)) << "a limit is no dead address";
    }
}

TEST(Fields, AddressesLoseSpacesAndOnePairOfBrackets)
{
    const std::pair<QByteArray, QByteArray> cases[] = {
        {"  a@b  ", "a@b"}, {" <a@b> ", "a@b"}, {"<<a@b>>", "<a@b>"},   {"<a@b", "<a@b"},
        {"a@b>", "a@b>"},   {"<>", ""},         {"\t<a@b>", "\t<a@b>"}, {"<a> <b>", "a> <b"}};
    for (const auto &[in, out] : cases)
        EXPECT_EQ(Smtp::address(in), out) << in.toStdString();
}

// Where to send, from the first line of smtp.txt.
TEST(Fields, ServerPortAndSecurityFromTheHostLine)
{
    using Smtp::Security;
    const struct
    {
        QByteArray line, host;
        int port;
        Security security;
        bool valid;
    } cases[] = {
        {" smtp.example.test ", "smtp.example.test", 25, Security::None, true},
        {"smtp.example.test:25", "smtp.example.test", 25, Security::None, true},
        {"smtp.example.test:465", "smtp.example.test", 465, Security::Implicit, true},
        {"smtp.example.test:587", "smtp.example.test", 587, Security::StartTls, true},
        {"smtp.example.test:2525", "smtp.example.test", 2525, Security::StartTls, true},
        {"[2001:db8::1]:587", "2001:db8::1", 587, Security::StartTls, true},
        {"[2001:db8::1]", "2001:db8::1", 25, Security::None, true},
        {"2001:db8::1", "2001:db8::1", 25, Security::None, true},
        {"192.0.2.7:465", "192.0.2.7", 465, Security::Implicit, true},
        {"h:1", "h", 1, Security::StartTls, true},
        {"h:0587", "h", 587, Security::StartTls, true},
        {"smtp.example.test:", "smtp.example.test", 25, Security::None, false},
        {"smtp.example.test:0", "smtp.example.test", 25, Security::None, false},
        {"smtp.example.test:65536", "smtp.example.test", 25, Security::None, false},
        {"smtp.example.test:+587", "smtp.example.test", 25, Security::None, false},
        {"smtp.example.test:587x", "smtp.example.test", 25, Security::None, false},
        {"[2001:db8::1]587", "2001:db8::1", 25, Security::None, false},
    };
    for (const auto &c : cases) {
        const Smtp::Server s = Smtp::server(c.line);
        EXPECT_TRUE(s.host == c.host && s.port == c.port && s.security == c.security &&
                    s.valid == c.valid)
            << c.line.toStdString() << " gave " << s.host.toStdString() << " " << s.port;
    }
}
