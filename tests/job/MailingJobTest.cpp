// Catches: a wrong line rule or table limit in the loaders, a misread encoding or a UTF-8
// conversion unlike Qt's decoder, an unreported loss.
#include "MailingJob.h"
#include "Cp1251.h"
#include "JobEncoding.h"
#include "JobSettings.h"
#include "TestSupport.h"

#include <QDir>
#include <QStringDecoder>

#include <gtest/gtest.h>

#include <random>

namespace {

MailingJob loaded(const TempDir &dir)
{
    MailingJob job(dir.path());
    job.LoadAll();
    return job;
}

} // namespace

// The same bytes in every job file: the list holds every line, the single-line files the
// first one as it is, the message every line behind a CR LF.
TEST(MailingJob, EveryLoaderKeepsTheLinesOfItsFile)
{
    const struct
    {
        QByteArray file;
        QList<QByteArray> lines;
    } cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\nb\nc\r", {"a", "b", "c"}}, // a final terminator adds no line
        {"a\r\nb\n\rc", {"a", "b", "", "c"}},
        {"\n\r\na\r\r\nb\n\n", {"", "", "a", "", "b", ""}},
        {"  a b  \n", {"  a b  "}},
        {QByteArray("a\0\x98", 3), {QByteArray("a\0\x98", 3)}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        TempDir dir;
        dir.writeAll(c.file, c.file, c.file, c.file, c.file);
        const MailingJob job = loaded(dir);
        EXPECT_TRUE(job.problems().isEmpty());
        EXPECT_EQ(job.LastIndex, c.lines.size() - 1);
        QByteArray text;
        for (qsizetype i = 0; i < c.lines.size(); ++i) {
            EXPECT_EQ(job.RecipientList[std::size_t(i)], c.lines[i]);
            text += "\r\n" + c.lines[i];
        }
        EXPECT_EQ(job.RecipientList[std::size_t(c.lines.size())], "");
        const QByteArray first = c.lines.value(0);
        EXPECT_EQ(QList({job.HostName, job.SenderAddress, job.SubjectLine}),
                  QList({first, first, first}));
        EXPECT_EQ(job.MessageText, text);
        EXPECT_EQ(job.MailBody, text);
    }
}

TEST(MailingJob, RecipientTableAndNoticeWithEveryLineEnd)
{
    const QByteArray kNotice = "https://catalog.example.org/free/\r\n" +
                               Cp1251::fromUnicode(u"Каталог БЕСПЛАТНЫХ программ для Windows XP.") +
                               "\r\n" + QByteArray(30, '-') + "\r\n\r\n";
    const struct
    {
        int lines, lastIndex;
        bool notice;
    } cases[] = {{41, 40, false}, {42, 41, true}, {10001, 10000, true}, {10006, 10000, true}};
    for (const char *end : {"\r\n", "\n", "\r"}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << c.lines << " lines ended by " << int(end[0]));
            TempDir dir;
            dir.writeAll(TempDir::addresses(c.lines).replace("\r\n", end), "h", "s", "t", "Hi");
            const MailingJob job = loaded(dir);
            EXPECT_EQ(job.LastIndex, c.lastIndex);
            EXPECT_EQ(job.recipientsLeftOut(), c.lines - c.lastIndex - 1);
            ASSERT_EQ(job.RecipientList.size(), std::size_t(MailingJob::RecipientCapacity));
            EXPECT_EQ(job.RecipientList[std::size_t(c.lastIndex)],
                      "user" + QByteArray::number(c.lastIndex) + "@example.test");
            EXPECT_EQ(job.MailBody, (c.notice ? kNotice : "") + "\r\nHi");
        }
    }
}

// A job file too large for memory, a sparse one of a terabyte, is reported, not a crash.
TEST(MailingJob, AFileTooLargeForMemoryIsReported)
{
    TempDir dir;
    dir.writeAll("a@x", "h", "s", "t", "");
    QFile overcommit("/proc/sys/vm/overcommit_memory"), huge(dir.filePath("message.txt"));
    if (!overcommit.open(QIODevice::ReadOnly) || overcommit.readAll().trimmed() == "1" ||
        !huge.open(QIODevice::WriteOnly) || !huge.resize(qint64(1) << 40))
        GTEST_SKIP() << "no sparse file that fits no memory here";
    const MailingJob job = loaded(dir);
    ASSERT_EQ(job.problems().size(), 1);
    EXPECT_EQ(job.problems()[0].reason, "файл слишком велик: не хватает памяти");
    EXPECT_EQ(job.SenderAddress, "s");
}

// Which bytes a file converts to is held against Qt's decoder in Cp1251Test; here, what is
// reported.
TEST(MailingJob, CharactersLostInConversionAreReportedByFileAndLine)
{
    const struct
    {
        const char *name;
        QByteArray file, subject;
        QStringList lost;
    } cases[] = {
        {"UTF-8 Cyrillic", QStringLiteral("Привет").toUtf8(), "\xCF\xF0\xE8\xE2\xE5\xF2", {}},
        {"characters Windows-1251 lacks", QStringLiteral("a中b😀中").toUtf8(), "a?b??", {"中", "😀"}},
        {"bad UTF-8 after a byte-order mark", "\xEF\xBB\xBFz\xFFz", "z?z", {"\uFFFD"}},
        {"only used lines are reported", "\xC3\xA9\n\xC3\xA9", "?", {"é"}},
        {"the last code point", "a\xF4\x8F\xBF\xBF", "a?", {QString::fromUcs4(U"\U0010FFFF")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        dir.writeAll("a@x", "h", "s", c.file, "m");
        const MailingJob job = loaded(dir);
        EXPECT_EQ(job.SubjectLine, c.subject);
        ASSERT_EQ(job.unmapped().size(), c.lost.isEmpty() ? 0 : 1);
        for (const JobEncoding::Unmapped &u : job.unmapped())
            EXPECT_TRUE(u.fileName == "tema.txt" && u.line == 1 && u.characters == c.lost);
    }
    // Lines are counted by the line rule, whatever ends them.
    TempDir dir;
    dir.writeAll("a@x", "h", "s", "t", "\xD0\x96\r\n\n\r\xC3\xA9 \xC3\xA9\n");
    const MailingJob job = loaded(dir);
    EXPECT_EQ(job.MessageText, "\r\n\xC6\r\n\r\n\r\n? ?");
    ASSERT_EQ(job.unmapped().size(), 1);
    EXPECT_EQ(job.unmapped()[0].line, 4);
    EXPECT_EQ(job.unmapped()[0].characters, QStringList{"é"});
}

// Real Windows-1251 text is never valid UTF-8: each of the 66 Cyrillic letters alone and at a
// line's end, the alphabet, and words with the punctuation of the upper half.
TEST(MailingJob, Windows1251TextIsTakenAsItIs)
{
    QByteArray alphabet = "\xA8\xB8"; // Ё ё
    for (int b = 0xC0; b <= 0xFF; ++b)
        alphabet += char(b);
    QList<QByteArray> samples = {alphabet,
                                 "\xC4\xC0",
                                 "\xCD\xE5\xF2",
                                 "\xEC\xE8\xF0",
                                 "\xAB\xD2\xE5\xEC\xE0\xBB \x97 \xB9"
                                 "5",
                                 "\xC2\xF1\xE5\xEC \xEF\xF0\xE8\xE2\xE5\xF2!\r\n\x85",
                                 "\x81\x80\x80\x80"}; // a letter that no UTF-8 sequence begins with
    for (const char letter : alphabet)
        samples << QByteArray(1, letter) << QByteArray(1, letter) + "\r\n";
    for (const QByteArray &sample : samples) {
        const JobEncoding::Text text = JobEncoding::toCp1251(sample);
        EXPECT_FALSE(text.fromUtf8) << sample.toHex().toStdString();
        EXPECT_EQ(text.bytes, sample);
    }
}

// Random short files, mostly of UTF-8 lead and continuation bytes, some behind a byte-order mark:
// valid UTF-8 with a character above ASCII, or anything behind the mark, becomes what Qt's decoder
// reads, character by character; every other file stays as it is.
TEST(JobEncoding, RandomFilesConvertAsQtsDecoderReadsThem)
{
    const QByteArray alphabet(
        "a\r\n\0\x7F\x80\x8F\x90\xA0\xBB\xBF\xC0\xC2\xD0\xDF\xE0\xED\xEF\xF0\xF4\xF5\xFF", 22);
    std::mt19937 random(1251);
    for (int round = 0; round < 200'000; ++round) {
        QByteArray data(qsizetype(random() % 10), '\0');
        for (char &c : data)
            c = alphabet[random() % alphabet.size()];
        if (round % 4 == 0)
            data.prepend("\xEF\xBB\xBF");
        const bool bom = data.startsWith("\xEF\xBB\xBF");
        const QByteArrayView body = QByteArrayView(data).sliced(bom ? 3 : 0);
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString decoded = decoder(body);
        // What replaces bad bytes behind the mark is our own choice; Qt skips a second mark.
        if ((bom && decoder.hasError()) || body.startsWith("\xEF\xBB\xBF"))
            continue;
        const bool utf8 = bom || (!decoder.hasError() && decoded.size() < data.size());
        QByteArray expected = utf8 ? QByteArray() : data;
        for (const char32_t ch : utf8 ? decoded.toUcs4() : QList<uint>())
            expected += Cp1251::byteOf(ch) < 0 ? '?' : char(Cp1251::byteOf(ch));
        const JobEncoding::Text text = JobEncoding::toCp1251(data);
        ASSERT_TRUE(text.fromUtf8 == utf8 && text.bytes == expected) << data.toHex().toStdString();
    }
}

// brevant.ini: what it sets, and each value that cannot be used told with the file and the key.
TEST(JobSettings, EachKeyReadOrToldWithAnExample)
{
    const struct
    {
        QByteArray ini; // null: no file
        int perDay;
        bool listUnsubscribe;
        QString imap, login; // "host:port" as read; empty: none
        QString problem;
    } cases[] = {
        {QByteArray(), 0, true, "", "", ""},
        {"[sending]\nper_day=500\n", 500, true, "", "", ""},
        {"[sending]\r\nper_day = 0\r\n", 0, true, "", "", ""},
        {"; a comment\n[other]\nx=1\n", 0, true, "", "", ""},
        {"[sending]\nper_day=500 писем\n", 0, true, "", "", "у ключа per_day значение «500 писем»"},
        {"[sending]\nper_day=-5\n", 0, true, "", "", "например per_day=500"},
        {"[sending]\nper_day=1,5\n", 0, true, "", "", "значение «1,5»"},
        {"[message]\nlist_unsubscribe=No\n", 0, false, "", "", ""},
        {"[message]\nlist_unsubscribe=maybe\n", 0, true, "", "", "например list_unsubscribe=no"},
        {"[mailbox]\nimap=imap.example.ru:993\nlogin=box@example.ru\n", 0, true,
         "imap.example.ru:993", "box@example.ru", ""},
        {"[mailbox]\nimap = imap.example.ru\n", 0, true, "imap.example.ru:993", "", ""},
        {"[mailbox]\nimap=[2001:db8::1]:143\n", 0, true, "2001:db8::1:143", "", ""},
        {"[mailbox]\nimap=imap.example.ru:99999\n", 0, true, "", "",
         "например imap=imap.example.ru:993"},
        {"[mailbox]\nimap=imap.example.ru:0\n", 0, true, "", "", "значение «imap.example.ru:0»"},
        {"[mailbox]\nimap=imap.example.ru:imaps\n", 0, true, "", "", "«imap.example.ru:imaps»"},
        {"[mailbox]\nimap=imap example.ru\n", 0, true, "", "", "«imap example.ru»"},
        {"[mailbox]\nimap=[2001:db8::1]993\n", 0, true, "", "", "«[2001:db8::1]993»"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ini.toStdString());
        TempDir dir;
        if (!c.ini.isNull())
            dir.write(JobSettings::FileName, c.ini);
        const JobSettings settings = JobSettings::read(dir.path());
        EXPECT_EQ(settings.perDay, c.perDay);
        EXPECT_EQ(settings.listUnsubscribe, c.listUnsubscribe);
        EXPECT_EQ(settings.imapHost.isEmpty()
                      ? QString()
                      : settings.imapHost + ':' + QString::number(settings.imapPort),
                  c.imap);
        EXPECT_EQ(settings.imapLogin, c.login);
        EXPECT_EQ(settings.problems.size(), c.problem.isEmpty() ? 0 : 1);
        EXPECT_TRUE(settings.problems.join("").contains(c.problem))
            << settings.problems.join("").toStdString();
        EXPECT_TRUE(c.problem.isEmpty() ||
                    settings.problems.join("").contains(
                        QDir::toNativeSeparators(dir.filePath(JobSettings::FileName))));
    }
}
