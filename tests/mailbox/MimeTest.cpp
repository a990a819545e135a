// Catches: a part cut at the wrong place, a transfer encoding or encoded-word decoded otherwise
// than Python's email package decodes it, a header field unfolded wrong.
#include "Mime.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using Mailbox::multipartParts;

TEST(Mime, MultipartParts)
{
    const struct
    {
        const char *name;
        QByteArray body;
        QList<QByteArray> parts;
    } cases[] = {
        {"preamble and epilogue left out",
         "preamble\r\n--b\r\nA: 1\r\n\r\none\r\n--b \t\r\n\r\ntwo\r\n\r\n--b--\r\nepilogue\r\n",
         {"A: 1\r\n\r\none", "\r\ntwo\r\n"}},
        {"bare line ends", "--b\nx\n--b\ny\n--b--\n", {"x", "y"}},
        {"a longer boundary and one inside a line are no delimiters",
         "--b\r\n--bb\r\nx --b\r\n--b--",
         {"--bb\r\nx --b"}},
        {"cut before the closing delimiter",
         "--b\r\nfirst\r\n--b\r\nsecond, cut",
         {"first", "second, cut"}},
        {"no delimiter at all", "just text\r\n", {}},
        {"an empty part", "--b\r\n--b--\r\n", {""}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QList<QByteArray> parts;
        for (const QByteArrayView p : multipartParts(c.body, "b"))
            parts.append(p.toByteArray());
        EXPECT_EQ(parts, c.parts);
    }
    EXPECT_TRUE(multipartParts("--\r\nx\r\n", "").isEmpty());
}

TEST(Mime, HeaderFieldsUnfoldedAndTypesRead)
{
    qsizetype body = 0;
    const QByteArray text = "From mbox line\r\nSubject: one\r\n two\r\n\tthree \r\nX-Empty:\r\n"
                            "content-type: Multipart/Report;\r\n report-type=\"delivery-status\"; "
                            "boundary=\"a \\\"q\\\" b\";x=1\r\n\r\nbody: not a field\r\n";
    const Mailbox::Header h = Mailbox::Header::parse(text, &body);
    EXPECT_EQ(h.value("SUBJECT"), "one two\tthree");
    EXPECT_EQ(h.value("X-Empty"), "");
    EXPECT_FALSE(h.value("X-Empty").isNull());
    EXPECT_TRUE(h.value("Body").isNull());
    EXPECT_EQ(text.mid(body), "body: not a field\r\n");
    const Mailbox::ContentType t = Mailbox::ContentType::parse(h.value("Content-Type"));
    EXPECT_EQ(t.type, "multipart/report");
    EXPECT_EQ(t.param("report-type"), "delivery-status");
    EXPECT_EQ(t.param("boundary"), "a \"q\" b");
    EXPECT_EQ(t.param("x"), "1");
    EXPECT_EQ(Mailbox::ContentType::parse("garbage").type, "text/plain");
    EXPECT_EQ(Mailbox::addressOf("\"Doe, J\" <j@d.example> (work)"), "j@d.example");
    EXPECT_EQ(Mailbox::addressOf(" j@d.example (John)"), "j@d.example");
}

// Our decoding beside Python's quopri, base64 and email.header on the same bytes.
TEST(Mime, DecodingAgreesWithPython)
{
    SKIP_WITHOUT_PYTHON();
    const QList<QByteArray> qp = {"caf=C3=A9 =\r\nsoft break=3D=\nnext", "=E2=82=AC =XY =4",
                                  "tab\t=09", "lower =c3=a9 =ef=bf=bd"};
    const QList<QByteArray> words = {
        "=?UTF-8?B?0JjQstCw0L0=?= =?UTF-8?B?INCf0LXRgtGA0L7Qsg==?=",
        "=?utf-8?q?a_b?=  =?utf-8?q?c?= plain =?utf-8?q?d?=",
        "=?UTF-8?B?0J/RgNC40LI=?==?UTF-8?B?0LXRgg==?=",
        "Re: =?windows-1251?B?zO7w5Q==?= and =?koi8-r?Q?=F0=D2=C9=D7=C5=D4?=",
        "=?iso-8859-1?q?caf=E9?=",
        "=?bogus",
        "no words at all",
        "=?UTF-8?B?0A==?= =?UTF-8?B?nw==?=", // one letter split over two words
    };
    QByteArray script =
        "import quopri, sys\nfrom email.header import decode_header, make_header\n"
        "qp, words = sys.argv[1:5], sys.argv[5:]\n"
        "for v in qp: sys.stdout.buffer.write(quopri.decodestring(v.encode()).hex().encode() + "
        "b'\\n')\n"
        "for v in words: sys.stdout.buffer.write(str(make_header(decode_header(v))).encode() + "
        "b'\\n')\n";
    QStringList arguments{"-c", QString::fromLatin1(script)};
    for (const QByteArray &v : qp + words)
        arguments << QString::fromLatin1(v);
    QProcess python;
    python.start("python3", arguments);
    ASSERT_TRUE(python.waitForFinished());
    const QList<QByteArray> out = python.readAllStandardOutput().split('\n');
    ASSERT_GE(out.size(), qp.size() + words.size()) << python.readAllStandardError().toStdString();
    for (qsizetype i = 0; i < qp.size(); ++i)
        EXPECT_EQ(Mailbox::decodeQuotedPrintable(qp[i]).toHex(), out[i]) << qp[i].toStdString();
    for (qsizetype i = 0; i < words.size(); ++i)
        EXPECT_EQ(Mailbox::decodeWords(words[i]), QString::fromUtf8(out[qp.size() + i]))
            << words[i].toStdString();
    // Where Python keeps them, RFC 2045 (6.7, rule 3) has spaces that a transport added after a
    // soft line break's "=" deleted, and the break taken as one.
    EXPECT_EQ(Mailbox::decodeQuotedPrintable("trailing =  \r\nspaces"), "trailing spaces");
}
