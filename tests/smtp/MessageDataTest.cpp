// Catches: a header field missing, misspelt or out of order, a Date that depends on the locale
// or loses its zone, a Message-ID with an unusable domain, a subject that is not ASCII on the
// wire or that decoders do not turn back into exactly its characters, a bare line end or an
// undoubled leading dot in the data, and data that depends on the size of the chunks.
#include "MessageData.h"
#include "Bytes.h"
#include "Cp1251.h"
#include "Headers.h"
#include "MailingJob.h"

#include <QLocale>
#include <QProcess>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

namespace {

const QDateTime kDate(QDate(2026, 12, 7), QTime(9, 41, 53), QTimeZone(3 * 3600));
constexpr quint64 kRandom = 0x5f3a9c1b7d4e6a80;

QByteArray whole(const QByteArray &header, const QByteArray &body, const QByteArray &block)
{
    Smtp::MessageData data(header, body, block);
    QByteArray out = data.nextChunk(std::numeric_limits<qsizetype>::max());
    EXPECT_TRUE(data.finished());
    EXPECT_TRUE(data.nextChunk(100).isEmpty());
    return out;
}

QByteArray chunked(const QByteArray &header, const QByteArray &body, const QByteArray &block,
                   qsizetype size)
{
    Smtp::MessageData data(header, body, block);
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

QByteArray cp1251(const QString &text)
{
    return Cp1251::fromUnicode(text);
}

} // namespace

TEST(Headers, ExactBlock)
{
    struct Case
    {
        const char *name;
        QByteArray sender, subject;
        bool plainText;
        QByteArray fromLine, midDomain, subjectLines;
    };
    const QByteArray longSubject =
        cp1251(QStringLiteral("Новости рассылки: выпуск №5 — «Осень», и ещё много слов"));
    const Case cases[] = {
        {"ASCII subject", "news@example.test", "Hello, world", true, "news@example.test",
         "example.test", "Subject:Hello, world\r\n"},
        {"empty subject", "news@example.test", "", true, "news@example.test", "example.test",
         "Subject:\r\n"},
        {"Cyrillic subject", "news@example.test", cp1251(QStringLiteral("Привет")), true,
         "news@example.test", "example.test", "Subject: =?windows-1251?B?z/Do4uXy?=\r\n"},
        {"long subject folds into words of 36 bytes", "news@example.test", longSubject, true,
         "news@example.test", "example.test",
         "Subject: =?windows-1251?B?ze7i7vHy6CDw4PHx++vq6Dog4vvv8/HqILk1IJcgq87x5e38?=\r\n"
         " =?windows-1251?B?uywg6CDl+bgg7O3u4+4g8evu4g==?=\r\n"},
        {"ASCII subject with =? is encoded", "news@example.test", "a =?x?q?b?= c", true,
         "news@example.test", "example.test",
         "Subject: =?windows-1251?B?YSA9P3g/cT9iPz0gYw==?=\r\n"},
        {"sender without @, files attached", "postmaster", "Files", false, "postmaster",
         "brevant.invalid", "Subject:Files\r\n"},
        {"sender's domain without a dot", "root@localhost", "x", true, "root@localhost",
         "brevant.invalid", "Subject:x\r\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray block = Smtp::headerBlock(
            {c.sender, "anna@example.test", c.subject, kDate, kRandom, c.plainText});
        const QByteArray mime = c.plainText ? "MIME-Version: 1.0\r\n"
                                              "Content-Type: text/plain; charset=windows-1251\r\n"
                                              "Content-Transfer-Encoding: 8bit\r\n"
                                            : "";
        EXPECT_EQ(block, "From: " + c.fromLine + "\r\nTo: anna@example.test\r\n" +
                             "Date: Mon, 07 Dec 2026 09:41:53 +0300\r\n" +
                             "Message-ID: <20261207064153.5F3A9C1B7D4E6A80@" + c.midDomain +
                             ">\r\n" + c.subjectLines + mime + "\r\n");
        for (const QByteArray &line : block.split('\n')) {
            EXPECT_LE(line.size(), 79) << line.toStdString(); // 78 and the CR
            EXPECT_TRUE(
                std::all_of(line.begin(), line.end(), [](char ch) { return uchar(ch) < 0x80; }));
        }
    }
}

TEST(Headers, DateInEnglishWithItsZoneWhateverTheLocale)
{
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    const struct
    {
        QDateTime date;
        QByteArray field;
    } cases[] = {
        {kDate, "Mon, 07 Dec 2026 09:41:53 +0300"},
        {QDateTime(QDate(2027, 1, 3), QTime(0, 0, 5), QTimeZone(-(5 * 3600 + 1800))),
         "Sun, 03 Jan 2027 00:00:05 -0530"},
        {QDateTime(QDate(2026, 6, 20), QTime(23, 59, 59), QTimeZone(0)),
         "Sat, 20 Jun 2026 23:59:59 +0000"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Smtp::dateField(c.date), c.field);
    QLocale::setDefault(QLocale::c());
    // A new Message-ID for another moment or another random number.
    EXPECT_NE(Smtp::messageId(kDate, 1, "a@b.c"), Smtp::messageId(kDate, 2, "a@b.c"));
    EXPECT_NE(Smtp::messageId(kDate, 1, "a@b.c"), Smtp::messageId(kDate.addSecs(1), 1, "a@b.c"));
}

// Python's own decoder of RFC 2047 gives back exactly the characters of each subject.
TEST(Headers, PythonDecodesTheSubjectToItsCharacters)
{
    const QStringList subjects = {
        QStringLiteral("Привет"),
        QStringLiteral("  Пробелы по краям  "),
        QStringLiteral("Новости рассылки: выпуск №5 — «Осень», =?это не слово?= и ещё много "
                       "слов, чтобы тема заняла несколько строк заголовка"),
        QStringLiteral("a =?x?q?b?= c"),
        QStringLiteral("Ё"),
    };
    QByteArray fields;
    for (const QString &s : subjects)
        fields += Smtp::subjectField(cp1251(s)).toHex() + '\n';
    QProcess python;
    python.start(
        QStringLiteral("python3"),
        {QStringLiteral("-c"),
         QStringLiteral("import sys, email.header\n"
                        "for line in sys.stdin:\n"
                        "    field = bytes.fromhex(line.strip()).decode('ascii')\n"
                        "    value = field[len('Subject:'):].replace('\\r\\n', '')\n"
                        "    h = email.header.make_header(email.header.decode_header(value))\n"
                        "    print(str(h).encode('utf-8').hex())\n")});
    python.write(fields);
    python.closeWriteChannel();
    ASSERT_TRUE(python.waitForFinished(30000));
    ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    const QList<QByteArray> decoded = python.readAllStandardOutput().trimmed().split('\n');
    ASSERT_EQ(decoded.size(), subjects.size());
    for (qsizetype i = 0; i < subjects.size(); ++i)
        EXPECT_EQ(QString::fromUtf8(QByteArray::fromHex(decoded[i])), subjects[i]);
}

// The three bytes "abc" of C:\docs\abc.txt, and the one byte "a" of a.txt, uuencoded.
const QByteArray kAbc = "begin 664 abc.txt\n#86)C\n`\nend\n";
const QByteArray kA = "begin 664 a.txt\n!82`@\n`\nend\n";
const QByteArray kNotice = "https://catalog.example.org/free/\r\n"
                           "\xCA\xE0\xF2\xE0\xEB\xEE\xE3 \xC1\xC5\xD1\xCF\xCB\xC0\xD2\xCD\xDB\xD5 "
                           "\xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC \xE4\xEB\xFF Windows XP.\r\n"
                           "------------------------------\r\n"
                           "\r\n";

TEST(MessageData, ExactBytesWholeAndInChunks)
{
    const struct
    {
        const char *name;
        QByteArray body, block, wire;
    } cases[] = {
        {"all empty", "", "", "H\r\n\r\n\r\n\r\n\r\n.\r\n"},
        {"two attachments", "\r\nSee the files.\r\n.\r\nBye", kAbc + "\r\n" + kA + "\r\n",
         "H\r\n\r\n\r\nSee the files.\r\n..\r\nBye\r\n\r\n"
         "begin 664 abc.txt\r\n#86)C\r\n`\r\nend\r\n\r\n"
         "begin 664 a.txt\r\n!82`@\r\n`\r\nend\r\n\r\n\r\n.\r\n"},
        {"the notice block and an attachment", MailingJob::noticeBlock() + "\r\nDear reader,",
         kAbc + "\r\n",
         "H\r\n\r\n" + kNotice +
             "\r\nDear reader,\r\n\r\n"
             "begin 664 abc.txt\r\n#86)C\r\n`\r\nend\r\n\r\n\r\n.\r\n"},
        {"the notice block, no attachment", MailingJob::noticeBlock() + "\r\nHi", "",
         "H\r\n\r\n" + kNotice + "\r\nHi\r\n\r\n\r\n.\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(whole("H\r\n\r\n", c.body, c.block), c.wire);
        for (const qsizetype size : {1, 2, 3, 5, 64})
            EXPECT_EQ(chunked("H\r\n\r\n", c.body, c.block, size), c.wire) << "chunk " << size;
    }
}

// The text built the plain way, as an independent model: split B at every CR LF, send every
// line of a piece (a bare CR or LF ends one) with a dot put before a leading dot.
QByteArray model(const QByteArray &header, const QByteArray &body, const QByteArray &block)
{
    QByteArray out = header;
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
    const char alphabet[] = {'\r', '\n', '.', 'a', ' ', '\0', '\xFF', '.'};
    auto text = [&](int maxLength) {
        QByteArray s(std::uniform_int_distribution<int>(0, maxLength)(random), '\0');
        for (char &c : s)
            c = alphabet[std::uniform_int_distribution<int>(0, 7)(random)];
        return s;
    };
    for (int round = 0; round < 300; ++round) {
        const QByteArray header =
            "Subject:" + text(4).replace('\r', 'r').replace('\n', 'n') + "\r\n\r\n";
        const QByteArray body = text(30), block = text(30);
        const QByteArray expected = model(header, body, block);
        ASSERT_EQ(whole(header, body, block), expected)
            << testing::PrintToString(body) << ' ' << testing::PrintToString(block);
        for (qsizetype size = 1; size <= expected.size(); ++size)
            ASSERT_EQ(chunked(header, body, block, size), expected) << "chunk " << size;
    }
}

TEST(MessageData, LargeBlockInChunksAndNoChunkSizeStalls)
{
    QByteArray block = "begin 664 big.bin\n";
    for (int i = 0; i < 50'000; ++i)
        block += (i % 7 == 0 ? "." : "M") + QByteArray(60, char('!' + i % 60)) + "\n";
    block += "`\nend\n\r\n";
    const QByteArray expected = model("H\r\n\r\n", "\r\nText", block);
    EXPECT_EQ(chunked("H\r\n\r\n", "\r\nText", block, 64 * 1024), expected);
    EXPECT_EQ(chunked("H\r\n\r\n", "\r\nText", block, 4093), expected);

    Smtp::MessageData none;
    EXPECT_TRUE(none.finished());
    EXPECT_TRUE(none.nextChunk(10).isEmpty());
    for (const qsizetype size : {0, -5}) {
        Smtp::MessageData data("H\r\n\r\n", "", "");
        QByteArray out;
        for (int i = 0; i < 100 && !data.finished(); ++i)
            out += data.nextChunk(size);
        EXPECT_EQ(out, "H\r\n\r\n\r\n\r\n\r\n.\r\n");
    }
}
