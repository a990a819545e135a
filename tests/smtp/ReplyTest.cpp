// Catches: a multi-line reply cut or joined wrongly however the bytes are split, pending bytes
// lost or kept across a new connection, and a reply that grows without bound.
#include "Reply.h"
#include "Bytes.h"

#include <gtest/gtest.h>

#include <vector>

TEST(Reply, AssemblesWholeRepliesHoweverTheBytesAreCut)
{
    const struct
    {
        const char *name;
        QByteArray input;
        std::vector<QByteArray> replies; // complete ones, in order; the rest stays pending
    } cases[] = {
        {"three lines, mixed ends, then another",
         "250-a\r\n250-b\n250 c\r\n354 d\r\n",
         {"250-a\r\n250-b\n250 c\r\n", "354 d\r\n"}},
        {"short lines, hyphen not fourth", "25\r\n25-0\r\n2-\n", {"25\r\n", "25-0\r\n", "2-\n"}},
        {"bare CR and NUL stay inside a line",
         QByteArray("250 a\rb\0\r\n", 10),
         {QByteArray("250 a\rb\0\r\n", 10)}},
        {"unfinished line and reply wait", "250 ok\r\n250-a\r\n220 mx", {"250 ok\r\n"}},
    };
    for (const auto &c : cases) {
        for (qsizetype cut = 0; cut <= c.input.size(); ++cut) {
            SCOPED_TRACE(testing::Message() << c.name << ", cut at " << cut);
            Smtp::ReplyAssembler assembler;
            assembler.feed(QByteArrayView(c.input).first(cut));
            for (qsizetype i = cut; i < c.input.size(); ++i)
                assembler.feed(QByteArrayView(c.input).sliced(i, 1)); // the rest byte by byte
            std::vector<QByteArray> replies;
            while (assembler.hasReply())
                replies.push_back(assembler.takeReply());
            EXPECT_EQ(replies, c.replies);
        }
    }
    // A new connection forgets what the old one left pending.
    Smtp::ReplyAssembler assembler;
    assembler.feed("220-mx\r\n250 o");
    assembler.clear();
    assembler.feed("k\r\n221 bye\r\n");
    EXPECT_EQ(assembler.takeReply(), "k\r\n");
    EXPECT_EQ(assembler.takeReply(), "221 bye\r\n");
    EXPECT_EQ(assembler.takeReply(), QByteArray());
}

TEST(Reply, OverlongReplyIsCutButStillEnds)
{
    Smtp::ReplyAssembler assembler;
    const qsizetype max = Smtp::ReplyAssembler::MaxReplyBytes;
    const QByteArray first = "550-" + QByteArray(max, 'x') + "\r\n";
    assembler.feed(first);
    for (int i = 0; i < 100; ++i)
        assembler.feed("550-" + QByteArray(1000, 'y') + "\n");
    EXPECT_FALSE(assembler.hasReply());
    assembler.feed("550 end\r\n250 next\r\n");
    EXPECT_EQ(assembler.takeReply(), first.first(max));
    EXPECT_EQ(assembler.takeReply(), "250 next\r\n");
}
