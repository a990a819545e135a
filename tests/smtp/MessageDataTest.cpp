#include "MessageData.h"
#include "Bytes.h"
#include "MailingJob.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

namespace {

QByteArray whole(const QByteArray &subject, const QByteArray &body, const QByteArray &block)
{
    Smtp::MessageData data(subject, body, block);
    QByteArray out = data.nextChunk(std::numeric_limits<qsizetype>::max());
    EXPECT_TRUE(data.finished());
    EXPECT_TRUE(data.nextChunk(100).isEmpty());
    return out;
}

QByteArray chunked(const QByteArray &subject, const QByteArray &body, const QByteArray &block,
                   qsizetype size)
{
    Smtp::MessageData data(subject, body, block);
    QByteArray out;
    while (!data.finished()) {
        const QByteArray chunk = data.nextChunk(size);
        EXPECT_FALSE(chunk.isEmpty());
        EXPECT_LE(chunk.size(), size);
        if (chunk.size() < size && !data.finished())
            ADD_FAILURE() << "short chunk before the end";
        out += chunk;
    }
    return out;
}

// The three bytes "abc" of C:\docs\abc.txt, and the one byte "a" of a.txt, uuencoded.
const QByteArray kAbc = "begin 664 abc.txt\n#86)C\n`\nend\n";
const QByteArray kA = "begin 664 a.txt\n!82`@\n`\nend\n";

struct DataCase
{
    const char *name;
    QByteArray subject, body, block, wire;
};

// Built on first use: the notice block must not be asked for during static initialisation.
std::vector<DataCase> dataCases()
{
    return {
        {"all empty", "", "", "", "Subject:\r\n\r\n\r\n\r\n\r\n.\r\n"},
        {"one line", "S", "\r\nHi", "", "Subject:S\r\n\r\n\r\nHi\r\n\r\n\r\n.\r\n"},
        {"subject untrimmed, no space added", " Hello ", "", "",
         "Subject: Hello \r\n\r\n\r\n\r\n\r\n.\r\n"},
        {"line breaks in the subject fold the header", "a\nb\r\nc\rd\n", "", "",
         "Subject:a\r\n b\r\n c\r\n d\r\n \r\n\r\n\r\n\r\n\r\n.\r\n"},
        {"bare LF and bare CR in the body", "", "\r\nx\ny\rz\n\rw", "",
         "Subject:\r\n\r\n\r\nx\r\ny\r\nz\r\n\r\nw\r\n\r\n\r\n.\r\n"},
        {"body ends with a bare CR", "", "\r\nA\r", "",
         "Subject:\r\n\r\n\r\nA\r\n\r\n\r\n\r\n.\r\n"},
        {"leading dots doubled", "", "\r\n.\r\n..\r\n.x\r\nx.\r\n.\n.", "",
         "Subject:\r\n\r\n\r\n..\r\n...\r\n..x\r\nx.\r\n..\r\n..\r\n\r\n\r\n.\r\n"},
        {"block line beginning with a dot", "", "\r\nHi", "begin 664 n\n.A_B\n`\nend\n\r\n",
         "Subject:\r\n\r\n\r\nHi\r\n\r\nbegin 664 n\r\n..A_B\r\n`\r\nend\r\n\r\n\r\n.\r\n"},
        {"block without a body", "", "", ".\r\n", "Subject:\r\n\r\n\r\n\r\n..\r\n\r\n.\r\n"},
        {"NUL and high bytes pass", "\xCF", bytes("\r\n\0\xFF"), "",
         bytes("Subject:\xCF\r\n\r\n\r\n\0\xFF\r\n\r\n\r\n.\r\n")},
        {"message with two attachments", "Files", "\r\nSee the files.\r\n.\r\nBye",
         kAbc + "\r\n" + kA + "\r\n",
         "Subject:Files\r\n"
         "\r\n"
         "\r\n"
         "See the files.\r\n"
         "..\r\n"
         "Bye\r\n"
         "\r\n"
         "begin 664 abc.txt\r\n"
         "#86)C\r\n"
         "`\r\n"
         "end\r\n"
         "\r\n"
         "begin 664 a.txt\r\n"
         "!82`@\r\n"
         "`\r\n"
         "end\r\n"
         "\r\n"
         "\r\n"
         ".\r\n"},
        {"message with the notice block and an attachment", "News",
         MailingJob::noticeBlock() + "\r\nDear reader,\r\n\r\nBye", kAbc + "\r\n",
         "Subject:News\r\n"
         "\r\n"
         "https://catalog.example.org/free/\r\n"
         "\xCA\xE0\xF2\xE0\xEB\xEE\xE3 \xC1\xC5\xD1\xCF\xCB\xC0\xD2\xCD\xDB\xD5 "
         "\xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC \xE4\xEB\xFF Windows XP.\r\n"
         "------------------------------\r\n"
         "\r\n"
         "\r\n"
         "Dear reader,\r\n"
         "\r\n"
         "Bye\r\n"
         "\r\n"
         "begin 664 abc.txt\r\n"
         "#86)C\r\n"
         "`\r\n"
         "end\r\n"
         "\r\n"
         "\r\n"
         ".\r\n"},
        {"message with the notice block, no attachment", "News",
         MailingJob::noticeBlock() + "\r\nHi", "",
         "Subject:News\r\n"
         "\r\n"
         "https://catalog.example.org/free/\r\n"
         "\xCA\xE0\xF2\xE0\xEB\xEE\xE3 \xC1\xC5\xD1\xCF\xCB\xC0\xD2\xCD\xDB\xD5 "
         "\xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC \xE4\xEB\xFF Windows XP.\r\n"
         "------------------------------\r\n"
         "\r\n"
         "\r\n"
         "Hi\r\n"
         "\r\n"
         "\r\n"
         ".\r\n"},
    };
}

TEST(MessageData, ExactBytesWholeAndInChunks)
{
    for (const DataCase &c : dataCases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(whole(c.subject, c.body, c.block), c.wire);
        for (const qsizetype size : {1, 2, 3, 5, 64})
            EXPECT_EQ(chunked(c.subject, c.body, c.block, size), c.wire) << "chunk " << size;
    }
}

// The data built the plain way, as an independent model: split B at every CR LF, send every
// line of a piece (a bare CR or LF ends one) with a dot put before a leading dot.
QByteArray model(const QByteArray &subject, const QByteArray &body, const QByteArray &block)
{
    QByteArray out = "Subject:" + subject;
    out.replace("\r\n", "\n").replace('\r', '\n').replace("\n", "\r\n ");
    out += "\r\n\r\n";
    const QByteArray b = body + "\r\n\r\n" + block;
    qsizetype from = 0;
    while (from <= b.size()) {
        qsizetype to = b.indexOf("\r\n", from);
        if (to < 0)
            to = b.size();
        QByteArray piece = b.mid(from, to - from);
        for (const QByteArray &line : piece.replace('\r', '\n').split('\n')) {
            if (line.startsWith('.'))
                out += '.';
            out += line + "\r\n";
        }
        from = to + 2;
    }
    return out + ".\r\n";
}

TEST(MessageData, AnyChunkSizeGivesTheSameBytesAsTheModel)
{
    std::mt19937 random(20240601);
    const char alphabet[] = {'\r', '\n', '.', 'a', ' ', '\r', '\n', '.'};
    auto text = [&](int maxLength) {
        QByteArray s(std::uniform_int_distribution<int>(0, maxLength)(random), '\0');
        for (char &c : s)
            c = alphabet[std::uniform_int_distribution<int>(0, 7)(random)];
        return s;
    };
    for (int round = 0; round < 300; ++round) {
        const QByteArray subject = text(6), body = text(30), block = text(30);
        const QByteArray expected = model(subject, body, block);
        ASSERT_EQ(whole(subject, body, block), expected)
            << testing::PrintToString(subject) << ' ' << testing::PrintToString(body) << ' '
            << testing::PrintToString(block);
        for (qsizetype size = 1; size <= expected.size(); ++size)
            ASSERT_EQ(chunked(subject, body, block, size), expected) << "chunk " << size;
    }
}

TEST(MessageData, LargeBlockInChunks)
{
    QByteArray block = "begin 664 big.bin\n";
    for (int i = 0; i < 50'000; ++i)
        block += (i % 7 == 0 ? "." : "M") + QByteArray(60, char('!' + i % 60)) + "\n";
    block += "`\nend\n\r\n";
    const QByteArray expected = model("Big", "\r\nText", block);
    EXPECT_EQ(chunked("Big", "\r\nText", block, 64 * 1024), expected);
    EXPECT_EQ(chunked("Big", "\r\nText", block, 4093), expected);
}

TEST(MessageData, NoChunkSizeStallsAndAnEmptyProducerIsFinished)
{
    Smtp::MessageData none;
    EXPECT_TRUE(none.finished());
    EXPECT_TRUE(none.nextChunk(10).isEmpty());
    for (const qsizetype size : {0, -5}) {
        Smtp::MessageData data("", "", "");
        QByteArray out;
        for (int i = 0; i < 100 && !data.finished(); ++i)
            out += data.nextChunk(size);
        EXPECT_EQ(out, "Subject:\r\n\r\n\r\n\r\n\r\n.\r\n");
    }
}

} // namespace
