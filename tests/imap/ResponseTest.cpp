// Catches: a response cut wrong at a literal or a line end, a bound that lets a server make the
// client hold unbounded memory, a value of a response read wrong.
#include "Response.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

QList<Imap::Response> assemble(const QList<QByteArray> &reads)
{
    Imap::ResponseAssembler a;
    QList<Imap::Response> all;
    for (const QByteArray &r : reads) {
        a.feed(r);
        while (a.hasResponse())
            all.append(a.takeResponse());
    }
    return all;
}

} // namespace

TEST(ResponseAssembler, LiteralsAndLineEndsHoweverTheBytesAreSplit)
{
    const QByteArray bytes = "* 1 FETCH (BODY[] {12}\r\nline\r\n{3}\r\nx) {0}\r\n)\r\n"
                             "* OK bare\n+ go\r\nA1 OK {2+}\r\n\r\n done\r\n";
    for (const qsizetype piece : {1, 2, 5, 1000}) {
        SCOPED_TRACE(piece);
        QList<QByteArray> reads;
        for (qsizetype i = 0; i < bytes.size(); i += piece)
            reads.append(bytes.mid(i, piece));
        const QList<Imap::Response> r = assemble(reads);
        ASSERT_EQ(r.size(), 4);
        EXPECT_EQ(r[0].pieces, QList<QByteArray>({"* 1 FETCH (BODY[] {12}", ") {0}", ")"}));
        EXPECT_EQ(r[0].literals, QList<QByteArray>({"line\r\n{3}\r\nx", ""}));
        EXPECT_EQ(r[1].pieces, QList<QByteArray>{"* OK bare"});
        EXPECT_EQ(r[2].pieces, QList<QByteArray>{"+ go"});
        EXPECT_EQ(r[3].literals, QList<QByteArray>{"\r\n"});
        EXPECT_EQ(r[3].pieces.last(), " done");
        EXPECT_FALSE(r[0].truncated);
    }
}

TEST(ResponseAssembler, EverySizeIsBounded)
{
    // A literal past MaxLiteralBytes: its start is kept, the rest read and dropped, and the
    // responses after it are whole.
    {
        Imap::ResponseAssembler a;
        const qsizetype big = Imap::ResponseAssembler::MaxLiteralBytes + 10;
        a.feed("* 1 FETCH (BODY[] {" + QByteArray::number(big) + "}\r\n");
        for (qsizetype i = 0; i < big; i += 4096)
            a.feed(QByteArray(std::min<qsizetype>(4096, big - i), 'x'));
        a.feed(")\r\nA1 OK done\r\n");
        ASSERT_TRUE(a.hasResponse());
        const Imap::Response r = a.takeResponse();
        EXPECT_TRUE(r.truncated);
        EXPECT_EQ(r.literals[0].size(), Imap::ResponseAssembler::MaxLiteralBytes);
        Imap::Reader reader(r);
        reader.take('*'), reader.atom(), reader.atom(), reader.take('('), reader.atom(true);
        QByteArray value;
        bool truncated = false;
        EXPECT_TRUE(reader.string(&value, &truncated));
        EXPECT_TRUE(truncated);
        EXPECT_EQ(a.takeResponse().pieces, QList<QByteArray>{"A1 OK done"});
        EXPECT_FALSE(a.failed());
    }
    // A literal just at the limit is whole.
    {
        Imap::ResponseAssembler a;
        const qsizetype n = Imap::ResponseAssembler::MaxLiteralBytes;
        a.feed("* X {" + QByteArray::number(n) + "}\r\n" + QByteArray(n, 'y') + "\r\n");
        ASSERT_TRUE(a.hasResponse());
        const Imap::Response r = a.takeResponse();
        EXPECT_FALSE(r.truncated);
        EXPECT_EQ(r.literals[0].size(), n);
    }
    // A declared size past MaxDeclaredLiteral, and a line that never ends: the connection is
    // given up, at once and after MaxTextBytes, and nothing more is kept.
    {
        Imap::ResponseAssembler a;
        a.feed("* 1 FETCH (BODY[] {" +
               QByteArray::number(Imap::ResponseAssembler::MaxDeclaredLiteral + 1) + "}\r\n");
        EXPECT_TRUE(a.failed());
        Imap::ResponseAssembler b;
        b.feed("* 1 FETCH (BODY[] {" +
               QByteArray::number(Imap::ResponseAssembler::MaxDeclaredLiteral) + "}\r\n");
        EXPECT_FALSE(b.failed());
        Imap::ResponseAssembler c;
        c.feed("* SEARCH");
        const QByteArray chunk(64 * 1024, '1');
        qsizetype fed = 8;
        while (!c.failed() && fed < 2 * Imap::ResponseAssembler::MaxTextBytes) {
            c.feed(chunk);
            fed += chunk.size();
        }
        EXPECT_TRUE(c.failed());
        EXPECT_LE(fed, Imap::ResponseAssembler::MaxTextBytes + chunk.size());
        c.feed("\r\nA1 OK\r\n");
        EXPECT_FALSE(c.hasResponse());
    }
}

TEST(Reader, ValuesOfAResponse)
{
    Imap::ResponseAssembler a;
    a.feed("* 12 FETCH (FLAGS (\\Seen $X (nested (deep))) UID 4294967295 X \"q \\\"u\\\\\" "
           "BODY[HEADER.FIELDS (FROM)]<0> {3}\r\nabc NIL nil 4294967296)\r\n");
    ASSERT_TRUE(a.hasResponse());
    const Imap::Response r = a.takeResponse();
    Imap::Reader reader(r);
    quint32 n = 0;
    EXPECT_TRUE(reader.take('*'));
    EXPECT_TRUE(reader.number(&n));
    EXPECT_EQ(n, 12u);
    EXPECT_EQ(reader.atom(), "FETCH");
    EXPECT_TRUE(reader.take('('));
    EXPECT_EQ(reader.atom(), "FLAGS");
    EXPECT_TRUE(reader.skipValue());
    EXPECT_EQ(reader.atom(), "UID");
    EXPECT_TRUE(reader.number(&n));
    EXPECT_EQ(n, 4294967295u);
    EXPECT_EQ(reader.atom(), "X");
    QByteArray value;
    EXPECT_TRUE(reader.string(&value));
    EXPECT_EQ(value, "q \"u\\");
    EXPECT_EQ(reader.atom(true), "BODY[HEADER.FIELDS (FROM)]<0>");
    EXPECT_TRUE(reader.string(&value));
    EXPECT_EQ(value, "abc");
    EXPECT_TRUE(reader.string(&value));
    EXPECT_TRUE(value.isNull());
    EXPECT_TRUE(reader.string(&value));
    EXPECT_TRUE(value.isNull());
    EXPECT_FALSE(reader.number(&n)); // past 32 bits
    EXPECT_TRUE(reader.skipValue());
    EXPECT_TRUE(reader.take(')'));
    EXPECT_TRUE(reader.atEnd());
}

// A literal is "{n}" at the end of its line and nothing else: with more between its braces, the
// bytes after the line are not taken for a value.
TEST(Reader, OnlyABareCountMakesALiteral)
{
    for (const QByteArray &marker :
         {QByteArray("{x {5}"), QByteArray("{5 {5}"), QByteArray("{5}")}) {
        SCOPED_TRACE(marker.toStdString());
        Imap::ResponseAssembler a;
        a.feed("* X " + marker + "\r\nhello)\r\n");
        ASSERT_TRUE(a.hasResponse());
        const Imap::Response r = a.takeResponse();
        Imap::Reader reader(r);
        reader.take('*'), reader.atom();
        QByteArray value;
        EXPECT_EQ(reader.string(&value), marker == "{5}");
        EXPECT_EQ(value, marker == "{5}" ? "hello" : "");
    }
}

TEST(Reader, NestingPastItsDepthIsRefused)
{
    Imap::ResponseAssembler a;
    const int deep = Imap::Reader::MaxDepth + 2;
    a.feed("* X " + QByteArray(deep, '(') + QByteArray(deep, ')') + "\r\n");
    const Imap::Response r = a.takeResponse();
    Imap::Reader reader(r);
    reader.take('*'), reader.atom();
    EXPECT_FALSE(reader.skipValue());
    Imap::ResponseAssembler b;
    b.feed("* X " + QByteArray(10, '(') + QByteArray(10, ')') + "\r\n");
    const Imap::Response shallow = b.takeResponse();
    Imap::Reader ok(shallow);
    ok.take('*'), ok.atom();
    EXPECT_TRUE(ok.skipValue());
    EXPECT_TRUE(ok.atEnd());
}
