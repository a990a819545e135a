// Catches: a reply framed wrongly or without bound, an address that keeps spaces or brackets.
#include "Reply.h"
#include "Fields.h"
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
    assembler.clear();
    assembler.feed("k\r\n");
    EXPECT_EQ(assembler.takeReply(), "k\r\n");
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

TEST(Fields, AddressesLoseSpacesAndOnePairOfBrackets)
{
    const std::pair<QByteArray, QByteArray> cases[] = {
        {"  a@b  ", "a@b"}, {" <a@b> ", "a@b"}, {"<<a@b>>", "<a@b>"},   {"<a@b", "<a@b"},
        {"a@b>", "a@b>"},   {"<>", ""},         {"\t<a@b>", "\t<a@b>"}, {"<a> <b>", "a> <b"}};
    for (const auto &[in, out] : cases)
        EXPECT_EQ(Smtp::address(in), out) << in.toStdString();
}
