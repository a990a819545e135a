#include "Reply.h"
#include "Bytes.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Reply, AcceptedCodes)
{
    const struct
    {
        QByteArray reply;
        bool accepted;
    } cases[] = {
        {"220 mx ready\r\n", true},
        {"250 ok\r\n", true},
        {"354 go\r\n", true},
        {"2501", true},
        {"250", true},
        {"220-first line\r\n", true},
        {"221 bye\r\n", false},
        {"251 ok\r\n", false},
        {"421 down\r\n", false},
        {"550 no\r\n", false},
        {"25", false},
        {"", false},
        {"\r\n", false},
        {" 250 ok\r\n", false},
        {"25O ok\r\n", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Smtp::isAccepted(c.reply), c.accepted) << testing::PrintToString(c.reply);
}

struct AssemblyCase
{
    const char *name;
    QByteArray input;
    std::vector<QByteArray> replies; // complete replies, in order; the rest stays pending
};

const AssemblyCase kAssembly[] = {
    {"one line", "220 mx ready\r\n", {"220 mx ready\r\n"}},
    {"bare LF ends a line", "250 ok\n", {"250 ok\n"}},
    {"greeting on two lines",
     "220-mx.example.org ESMTP\r\n220 ready\r\n",
     {"220-mx.example.org ESMTP\r\n220 ready\r\n"}},
    {"three lines, mixed ends", "250-a\r\n250-b\n250 c\r\n", {"250-a\r\n250-b\n250 c\r\n"}},
    {"replies run together",
     "250 a\r\n354 b\r\n221 c\r\n",
     {"250 a\r\n", "354 b\r\n", "221 c\r\n"}},
    {"code only", "250\r\n", {"250\r\n"}},
    {"short lines", "25\r\n\r\n2\n", {"25\r\n", "\r\n", "2\n"}},
    {"hyphen not fourth", "25-0\r\n2-\r\n", {"25-0\r\n", "2-\r\n"}},
    {"hyphen then nothing", "250-\r\n250\r\n", {"250-\r\n250\r\n"}},
    {"2501", "2501\r\n", {"2501\r\n"}},
    {"bare CR stays inside a line", "250 a\rb\r\n", {"250 a\rb\r\n"}},
    {"NUL stays", bytes("550 \0x\r\n"), {bytes("550 \0x\r\n")}},
    {"unfinished line waits", "250 ok\r\n220 mx", {"250 ok\r\n"}},
    {"unfinished reply waits", "250-a\r\n250-b\r\n", {}},
    {"line end split from text", "250 ok\r", {}},
};

// Feeds `input` cut at the given offsets and collects the complete replies.
std::vector<QByteArray> assemble(const QByteArray &input, const std::vector<qsizetype> &cuts)
{
    Smtp::ReplyAssembler assembler;
    std::vector<QByteArray> replies;
    qsizetype from = 0;
    auto feed = [&](qsizetype to) {
        assembler.feed(QByteArrayView(input).sliced(from, to - from));
        from = to;
        while (assembler.hasReply())
            replies.push_back(assembler.takeReply());
    };
    for (const qsizetype cut : cuts)
        feed(cut);
    feed(input.size());
    return replies;
}

TEST(Reply, AssemblesWholeByteByByteAndSplitAnywhere)
{
    for (const AssemblyCase &c : kAssembly) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(assemble(c.input, {}), c.replies) << "whole";
        std::vector<qsizetype> everyByte;
        for (qsizetype i = 1; i < c.input.size(); ++i)
            everyByte.push_back(i);
        EXPECT_EQ(assemble(c.input, everyByte), c.replies) << "byte by byte";
        for (qsizetype i = 1; i < c.input.size(); ++i)
            EXPECT_EQ(assemble(c.input, {i}), c.replies) << "cut at " << i;
    }
}

TEST(Reply, PendingBytesCompleteLaterAndClearForgetsThem)
{
    Smtp::ReplyAssembler assembler;
    assembler.feed("220-mx\r\n220 re");
    EXPECT_FALSE(assembler.hasReply());
    EXPECT_EQ(assembler.takeReply(), QByteArray());
    assembler.feed("ady\r\n250 ");
    ASSERT_TRUE(assembler.hasReply());
    EXPECT_EQ(assembler.takeReply(), "220-mx\r\n220 ready\r\n");
    EXPECT_FALSE(assembler.hasReply());

    assembler.feed("ok\r\n354 go\r\n");
    assembler.clear();
    EXPECT_FALSE(assembler.hasReply());
    assembler.feed("221 bye\r\n");
    EXPECT_EQ(assembler.takeReply(), "221 bye\r\n");
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
    ASSERT_TRUE(assembler.hasReply());
    EXPECT_EQ(assembler.takeReply(), first.first(max));
    EXPECT_EQ(assembler.takeReply(), "250 next\r\n");
}

} // namespace
