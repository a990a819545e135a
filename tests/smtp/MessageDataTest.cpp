// Catches: a header field wrong or undecodable, data with a bare line end or a lone dot, by chunk.
#include "MessageData.h"
#include "Cp1251.h"
#include "Headers.h"
#include "TestSupport.h"

#include <QLocale>
#include <QProcess>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <random>

namespace {

const QDateTime kDate(QDate(2026, 12, 7), QTime(9, 41, 53), QTimeZone(3 * 3600));

// The data, asked for in chunks of `size` bytes; every chunk but the last is full.
QByteArray chunked(const QByteArray &header, const QByteArray &body, const QByteArray &block,
                   qsizetype size = 1 << 30)
{
    Smtp::MessageData data(header, body, block);
    QByteArray out;
    while (!data.finished()) {
        const QByteArray chunk = data.nextChunk(size);
        EXPECT_TRUE(chunk.size() == std::max<qsizetype>(size, 1) ||
                    (data.finished() && !chunk.isEmpty()));
        out += chunk;
    }
    EXPECT_TRUE(data.nextChunk(100).isEmpty());
    return out;
}

} // namespace

TEST(Headers, ExactBlockOfAnAsciiSubject)
{
    const struct
    {
        QByteArray sender, subject;
        bool plainText;
        QByteArray domain, mailto; // mailto: the List-Unsubscribe field's address; null: none
    } cases[] = {
        {"a@example.test", "Hello, world", true, "example.test", "a@example.test"},
        {"a@example.test", "", true, "example.test", QByteArray()},
        {"postmaster", "Files", false, "brevant.invalid", "postmaster"},
        {"root@localhost", "x", true, "brevant.invalid", "root@localhost"},
        {"a@exa<mple.test", "x", true, "brevant.invalid", "a@exa%3Cmple.test"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.subject.toStdString());
        const QByteArray block = Smtp::headerBlock({c.sender,
                                                    "anna@example.test",
                                                    c.subject,
                                                    kDate,
                                                    0x5f3a9c1b7d4e6a80,
                                                    c.plainText,
                                                    {},
                                                    !c.mailto.isNull()});
        EXPECT_EQ(block,
                  "From: " + c.sender +
                      "\r\nTo: anna@example.test\r\nDate: Mon, 07 Dec 2026 09:41:53 +0300\r\n"
                      "Message-ID: <20261207064153.5F3A9C1B7D4E6A80@" +
                      c.domain + ">\r\n" +
                      (c.mailto.isNull() ? QByteArray()
                                         : "List-Unsubscribe: <mailto:" + c.mailto +
                                               "?subject=unsubscribe%205F3A9C1B7D4E6A80>\r\n") +
                      "Subject:" + c.subject + "\r\n" +
                      (c.plainText ? "MIME-Version: 1.0\r\nContent-Type: text/plain; "
                                     "charset=windows-1251\r\nContent-Transfer-Encoding: 8bit\r\n"
                                   : "") +
                      "\r\n");
    }
}

TEST(Headers, DateInEnglishWithItsZoneAndAMessageIdPerMoment)
{
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    EXPECT_EQ(Smtp::dateField(kDate), "Mon, 07 Dec 2026 09:41:53 +0300");
    EXPECT_EQ(Smtp::dateField(QDateTime(QDate(2027, 1, 3), QTime(0, 0, 5), QTimeZone(-19800))),
              "Sun, 03 Jan 2027 00:00:05 -0530");
    EXPECT_EQ(Smtp::dateField(QDateTime(QDate(2026, 6, 20), QTime(23, 59, 59), QTimeZone(0))),
              "Sat, 20 Jun 2026 23:59:59 +0000");
    QLocale::setDefault(QLocale::c());
    // A moment that is not known is now, never a day before Monday.
    const QDateTime now = QDateTime::currentDateTime();
    EXPECT_TRUE(QList({Smtp::dateField(now), Smtp::dateField(now.addSecs(1))})
                    .contains(Smtp::dateField(QDateTime())));
    EXPECT_NE(Smtp::messageId(kDate, 1, "a@b.c"), Smtp::messageId(kDate, 2, "a@b.c"));
    EXPECT_NE(Smtp::messageId(kDate, 1, "a@b.c"), Smtp::messageId(kDate.addSecs(1), 1, "a@b.c"));
    EXPECT_TRUE(
        Smtp::messageId(kDate, 1, "a@Mail.Example-1.TEST").endsWith("@Mail.Example-1.TEST>"));
}

TEST(Headers, PythonDecodesTheSubjectToExactlyItsCharacters)
{
    SKIP_WITHOUT_PYTHON();
    const QStringList subjects = {
        "Привет",
        "  Пробелы по краям  ",
        "a =?x?q?b?= c",
        "Ё",
        "line\nbreak",
        "Новости рассылки: выпуск №5 — «Осень», =?это не слово?= и ещё много слов, чтобы "
        "тема заняла несколько строк заголовка"};
    QProcess python;
    python.start("python3",
                 {"-c", "import sys, email.header as h\n"
                        "for line in sys.stdin:\n"
                        "    v = bytes.fromhex(line).decode()[8:].replace('\\r\\n', '')\n"
                        "    print(str(h.make_header(h.decode_header(v))).encode().hex())"});
    for (const QString &s : subjects) {
        const QByteArray field = Smtp::subjectField(Cp1251::fromUnicode(s));
        EXPECT_TRUE(field.startsWith("Subject: =?windows-1251?B?"))
            << field.data();                             // no empty first line
        for (const QByteArray &line : field.split('\n')) // ASCII lines of at most 78 characters
            EXPECT_TRUE(line.size() <= 79 && std::all_of(line.begin(), line.end(),
                                                         [](char ch) { return uchar(ch) < 0x80; }));
        python.write(field.toHex() + '\n');
    }
    python.closeWriteChannel();
    ASSERT_TRUE(python.waitForFinished(30000));
    const QList<QByteArray> decoded = python.readAllStandardOutput().trimmed().split('\n');
    ASSERT_EQ(decoded.size(), subjects.size()) << python.readAllStandardError().toStdString();
    for (qsizetype i = 0; i < subjects.size(); ++i)
        EXPECT_EQ(QString::fromUtf8(QByteArray::fromHex(decoded[i])), subjects[i]);
}

// The text built the plain way, as an independent model: split B at every CR LF, send every line
// of a piece (a bare CR or LF ends one) with a dot put before a leading dot.
TEST(MessageData, AnyTextInAnyChunksGivesTheBytesOfAPlainModel)
{
    std::mt19937 random(20240601);
    const char alphabet[] = {'\r', '\n', '.', 'a', ' ', '\0', '\xFF', '.'};
    auto text = [&](int maxLength) {
        QByteArray s(std::uniform_int_distribution<int>(0, maxLength)(random), '\0');
        for (char &c : s)
            c = alphabet[std::uniform_int_distribution<int>(0, 7)(random)];
        return s;
    };
    QByteArray big = "begin 664 big.bin\n";
    for (int i = 0; i < 50'000; ++i)
        big += (i % 7 == 0 ? "." : "M") + QByteArray(60, char('!' + i % 60)) + "\n";
    for (int round = 0; round < 301; ++round) {
        const QByteArray body = text(30), block = round < 300 ? text(30) : big;
        QByteArray expected = "H\r\n\r\n";
        QByteArray b = body + "\r\n\r\n" + block;
        for (QByteArray piece : b.replace("\r\n", "\x01").split('\x01')) {
            for (const QByteArray &line : piece.replace('\r', '\n').split('\n'))
                expected += (line.startsWith('.') ? "." : "") + line + "\r\n";
        }
        expected += ".\r\n";
        QList<qsizetype> sizes = {-5, 0, 4093, 65536};
        for (qsizetype size = 1; round < 300 && size <= expected.size(); ++size)
            sizes << size;
        for (const qsizetype size : sizes)
            ASSERT_EQ(chunked("H\r\n\r\n", body, block, size), expected)
                << "chunk " << size << ' ' << testing::PrintToString(body) << ' '
                << testing::PrintToString(block);
    }
}
