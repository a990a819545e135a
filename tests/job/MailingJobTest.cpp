// Catches: a wrong line rule (CR LF, CR, LF, empty and final lines), a table that overflows or
// miscounts, a notice block at the wrong threshold, a value trimmed or cut when stored, a
// Windows-1251 file mistaken for UTF-8 or a UTF-8 file left unconverted, lost characters not
// reported, and a missing, odd or special job file that stops the load or hangs it.
#include "MailingJob.h"
#include "JobEncoding.h"
#include "JobLines.h"
#include "TempJob.h"

#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <vector>

namespace {

std::vector<QByteArray> linesOf(const QByteArray &data)
{
    std::vector<QByteArray> lines;
    JobLines::forEachLine(data, [&](QByteArrayView line) {
        lines.push_back(line.toByteArray());
        return true;
    });
    return lines;
}

MailingJob loaded(const TempJob &dir)
{
    MailingJob job(dir.path());
    job.LoadAll();
    return job;
}

// Cyrillic words as UTF-8 and as Windows-1251.
const QByteArray kPrivetUtf8 = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"; // Привет
const QByteArray kPrivet1251 = "\xCF\xF0\xE8\xE2\xE5\xF2";

} // namespace

TEST(JobLines, LineRule)
{
    struct Case
    {
        const char *name;
        QByteArray data;
        std::vector<QByteArray> lines;
    };
    const Case cases[] = {
        {"empty file", "", {}},
        {"one line without terminator", "a", {"a"}},
        {"a final CR LF, LF or CR adds no line", "a\r\nb\nc\r", {"a", "b", "c"}},
        {"CR LF is one terminator, LF CR two", "a\r\nb\n\rc", {"a", "b", "", "c"}},
        {"empty lines kept in place", "\n\r\na\r\r\nb\n\n", {"", "", "a", "", "b", ""}},
        {"only a terminator", "\n", {""}},
        {"spaces kept", "  a b  \n", {"  a b  "}},
        {"NUL and 0x98 are ordinary bytes", QByteArray("a\0\x98", 3), {QByteArray("a\0\x98", 3)}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(linesOf(c.data), c.lines);
        EXPECT_EQ(JobLines::firstLine(c.data).toByteArray(),
                  c.lines.empty() ? QByteArray() : c.lines.front());
    }
}

TEST(MailingJob, RecipientTableAndNoticeWithEveryLineEnd)
{
    struct Case
    {
        int lines;
        int lastIndex;
        bool notice;
        qsizetype leftOut;
    };
    const Case cases[] = {{0, -1, false, 0},      {1, 0, false, 0},        {41, 40, false, 0},
                          {42, 41, true, 0},      {10001, 10000, true, 0}, {10002, 10000, true, 1},
                          {10006, 10000, true, 5}};
    for (const char *end : {"\r\n", "\n", "\r"}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << c.lines << " lines ended by " << int(end[0]));
            TempJob dir;
            dir.writeAll(TempJob::addresses(c.lines).replace("\r\n", end), "h", "s", "t", "Hi");
            const MailingJob job = loaded(dir);
            EXPECT_TRUE(job.problems().isEmpty());
            EXPECT_EQ(job.LastIndex, c.lastIndex);
            EXPECT_EQ(job.recipientsLeftOut(), c.leftOut);
            ASSERT_EQ(job.RecipientList.size(), std::size_t(MailingJob::RecipientCapacity));
            EXPECT_EQ(job.RecipientList[0], c.lines ? QByteArray("user0@example.test") : "");
            if (c.lines > 0) {
                EXPECT_EQ(job.RecipientList[std::size_t(c.lastIndex)],
                          "user" + QByteArray::number(c.lastIndex) + "@example.test");
            }
            if (c.lines < MailingJob::RecipientCapacity) {
                EXPECT_TRUE(job.RecipientList[std::size_t(c.lines)].isEmpty());
            }
            EXPECT_EQ(job.MailBody,
                      c.notice ? MailingJob::noticeBlock() + "\r\nHi" : QByteArray("\r\nHi"));
        }
    }
}

TEST(MailingJob, EmptyLinesStayAtTheirPositions)
{
    TempJob dir;
    dir.writeAll("a@x\n\nc@x\rd@x", "h", "s", "t", "");
    const MailingJob job = loaded(dir);
    EXPECT_EQ(job.LastIndex, 3);
    EXPECT_EQ(job.RecipientList[1], "");
    EXPECT_EQ(job.RecipientList[3], "d@x");
}

TEST(MailingJob, FirstLineOnlyAndUntrimmed)
{
    const struct
    {
        QByteArray content;
        QByteArray expected;
    } contents[] = {
        {"  first line  \r\nsecond\r\n", "  first line  "},
        {"only\rsecond", "only"},
        {"linux\nsecond\n", "linux"},
        {"\nsecond", ""},
        {"", ""},
    };
    for (const auto field :
         {&MailingJob::HostName, &MailingJob::SenderAddress, &MailingJob::SubjectLine}) {
        for (const auto &content : contents) {
            SCOPED_TRACE(content.content.toStdString());
            TempJob dir;
            dir.writeAll("a@x", content.content, content.content, content.content, "m");
            const MailingJob job = loaded(dir);
            EXPECT_EQ(job.*field, content.expected);
            EXPECT_TRUE(job.problems().isEmpty()) << "an empty file is no problem";
        }
    }
}

TEST(MailingJob, MessageTextPutsCrLfBeforeEveryLine)
{
    const struct
    {
        QByteArray file;
        QByteArray text;
    } cases[] = {
        {"", ""},
        {"Hi", "\r\nHi"},
        {"A\r\nB\r\n", "\r\nA\r\nB"},
        {"A\rB\r", "\r\nA\r\nB"},
        {"A\nB\n", "\r\nA\r\nB"},
        {"\n\r\nA\r\n\n", "\r\n\r\n\r\nA\r\n"},
        {kPrivet1251 + "\r\n.\r\n", "\r\n" + kPrivet1251 + "\r\n."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        TempJob dir;
        dir.writeAll("a@x", "h", "s", "t", c.file);
        EXPECT_EQ(loaded(dir).MessageText, c.text);
    }
}

TEST(MailingJob, Utf8FilesAreConvertedAndLostCharactersReported)
{
    struct Case
    {
        const char *name;
        QByteArray file;
        QByteArray subject; // the first line, as loaded
        QList<UnmappedCharacters> unmapped;
    };
    const QByteArray bom = "\xEF\xBB\xBF";
    const Case cases[] = {
        {"Windows-1251 Cyrillic", kPrivet1251 + "\r\n", kPrivet1251, {}},
        {"UTF-8 Cyrillic", kPrivetUtf8 + "\n", kPrivet1251, {}},
        {"byte-order mark on ASCII", bom + "Hi\n", "Hi", {}},
        {"ASCII reads the same either way", "Hi there", "Hi there", {}},
        {"0x98 and NUL stay", QByteArray("\x98\0!", 3), QByteArray("\x98\0!", 3), {}},
        {"no-break space and section sign", "\xC2\xA0\xC2\xA7", "\xA0\xA7", {}},
        {"characters Windows-1251 lacks",
         "a\xE4\xB8\xAD"
         "b\xF0\x9F\x98\x80\xE4\xB8\xAD",
         "a?b??",
         {{"tema.txt", 1, {QStringLiteral("中"), QStringLiteral("😀")}}}},
        {"invalid UTF-8 after a byte-order mark",
         bom + "a\xFF"
               "b",
         "a?b",
         {{"tema.txt", 1, {QStringLiteral("\uFFFD")}}}},
        {"a lost character on an unused line is not reported",
         "\xC3\xA9\n\xC3\xA9",
         "?",
         {{"tema.txt", 1, {QStringLiteral("é")}}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempJob dir;
        dir.writeAll("a@x", "h", "s", c.file, "m");
        const MailingJob job = loaded(dir);
        EXPECT_EQ(job.SubjectLine, c.subject);
        ASSERT_EQ(job.unmapped().size(), c.unmapped.size());
        for (qsizetype i = 0; i < c.unmapped.size(); ++i) {
            EXPECT_EQ(job.unmapped()[i].fileName, c.unmapped[i].fileName);
            EXPECT_EQ(job.unmapped()[i].line, c.unmapped[i].line);
            EXPECT_EQ(job.unmapped()[i].characters, c.unmapped[i].characters);
        }
    }
    // Lines are counted by the line rule, whatever ends them.
    TempJob dir;
    dir.writeAll("a@x", "h", "s", "t", "\xD0\x96\r\n\n\r\xC3\xA9 \xC3\xA9\n");
    const MailingJob job = loaded(dir);
    EXPECT_EQ(job.MessageText, "\r\n\xC6\r\n\r\n\r\n? ?");
    ASSERT_EQ(job.unmapped().size(), 1);
    EXPECT_EQ(job.unmapped()[0].line, 4);
    EXPECT_EQ(job.unmapped()[0].characters, QStringList{QStringLiteral("é")});
}

// Real Windows-1251 text is never valid UTF-8, so it is never converted: every Cyrillic letter
// alone, the whole alphabet, words, and text with the punctuation of the upper half.
TEST(JobEncoding, Windows1251TextIsTakenAsItIs)
{
    QList<QByteArray> samples;
    QByteArray alphabet;
    for (int b = 0xC0; b <= 0xFF; ++b)
        alphabet += char(b);
    alphabet += "\xA8\xB8"; // Ё ё: with the 64 above, all 66 letters
    for (const char letter : alphabet)
        samples << QByteArray(1, letter) << QByteArray(1, letter) + "\r\n";
    samples << alphabet << "\xC4\xC0" // ДА
            << "\xCD\xE5\xF2"         // Нет
            << "\xEC\xE8\xF0"         // мир
            << "\xAB\xD2\xE5\xEC\xE0\xBB \x97 \xB9"
               "5"                                                       // «Тема» — №5
            << "\xC2\xF1\xE5\xEC \xEF\xF0\xE8\xE2\xE5\xF2!\r\n\xC4\xEE " // Всем привет! До
               "\xF1\xE2\xE8\xE4\xE0\xED\xE8\xFF."                       // свидания.
            << "\xD0\xF3\xF1\xF1\xEA\xE8\xE9 \xF2\xE5\xEA\xF1\xF2 \x85"; // Русский текст …
    for (const QByteArray &sample : samples) {
        SCOPED_TRACE(sample.toHex().toStdString());
        const JobEncoding::Text text = JobEncoding::toCp1251(sample);
        EXPECT_FALSE(text.fromUtf8);
        EXPECT_EQ(text.bytes, sample);
    }
}

TEST(MailingJob, UnreadableAndSpecialFilesAreReportedAndLeftEmpty)
{
    struct Case
    {
        const char *file;
        enum { Missing, Folder, Pipe, Device } kind;
        QString reason;
    };
    const QString special = QStringLiteral("это не обычный файл, а канал, устройство или сокет");
    const Case cases[] = {{"mail.txt", Case::Missing, QStringLiteral("файл не найден")},
                          {"smtp.txt", Case::Pipe, special},
                          {"sender.txt", Case::Folder, QStringLiteral("это папка, а не файл")},
                          {"tema.txt", Case::Device, special},
                          {"message.txt", Case::Pipe, special}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        TempJob dir;
        dir.writeAll("a@x\r\nb@x", "host", "me@x", "subj", "text");
        const QString name = QString::fromLatin1(c.file);
        const QString path = dir.filePath(name);
        QFile::remove(path);
        if (c.kind == Case::Folder) {
            ASSERT_TRUE(QDir(dir.path()).mkdir(name));
        } else if (c.kind == Case::Pipe) {
            ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (c.kind == Case::Device) {
            ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), path));
        }
        // A pipe nobody writes to would block the open; /dev/zero would never end.
        const MailingJob job = loaded(dir);
        ASSERT_EQ(job.problems().size(), 1);
        EXPECT_EQ(job.problems()[0].fileName, name);
        EXPECT_EQ(job.problems()[0].reason, c.reason);
        // Everything else still loads.
        EXPECT_EQ(job.HostName, name == "smtp.txt" ? QByteArray() : QByteArray("host"));
        EXPECT_EQ(job.SenderAddress, name == "sender.txt" ? QByteArray() : QByteArray("me@x"));
        EXPECT_EQ(job.SubjectLine, name == "tema.txt" ? QByteArray() : QByteArray("subj"));
        EXPECT_EQ(job.MessageText, name == "message.txt" ? QByteArray() : QByteArray("\r\ntext"));
        EXPECT_EQ(job.LastIndex, name == "mail.txt" ? -1 : 1);
    }
}

TEST(MailingJob, AllFilesMissingNamesEachInOrder)
{
    TempJob dir;
    const MailingJob job = loaded(dir);
    QStringList names;
    for (const JobFileProblem &p : job.problems())
        names << p.fileName;
    EXPECT_EQ(names,
              QStringList({"mail.txt", "smtp.txt", "sender.txt", "tema.txt", "message.txt"}));
    EXPECT_EQ(job.LastIndex, -1);
    EXPECT_TRUE(job.MailBody.isEmpty());
}

TEST(MailingJob, LongLineLoadsWhole)
{
    TempJob dir;
    const QByteArray line(10 * 1024 * 1024, 'x');
    dir.writeAll(line, "h", "s", "t", line + "\nend");
    const MailingJob job = loaded(dir);
    EXPECT_EQ(job.LastIndex, 0);
    EXPECT_EQ(job.RecipientList[0].size(), line.size());
    EXPECT_EQ(job.MessageText.size(), line.size() + 7);
    EXPECT_TRUE(job.MessageText.endsWith("\r\nend"));
}
