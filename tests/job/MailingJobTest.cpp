#include "MailingJob.h"
#include "JobLines.h"
#include "TempJob.h"

#include <QFile>

#include <gtest/gtest.h>

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
        {"terminator at the end adds no line", "a\r\n", {"a"}},
        {"CR alone ends a line", "a\rb\r", {"a", "b"}},
        {"CR LF", "a\r\nb\r\nc", {"a", "b", "c"}},
        {"bare LF belongs to the line", "a\nb\r\nc\n", {"a\nb", "c\n"}},
        {"LF at the start of a line", "a\r\n\nb", {"a", "\nb"}},
        {"empty lines kept in place", "\r\n\r\na\r\r\nb", {"", "", "a", "", "b"}},
        {"CR CR LF", "a\r\r\n", {"a", ""}},
        {"only a terminator", "\r\n", {""}},
        {"spaces kept", "  a b  \r\n", {"  a b  "}},
        {"NUL and 0x98 are ordinary bytes", QByteArray("a\0\x98", 3), {QByteArray("a\0\x98", 3)}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(linesOf(c.data), c.lines);
        EXPECT_EQ(JobLines::firstLine(c.data).toByteArray(),
                  c.lines.empty() ? QByteArray() : c.lines.front());
    }
}

TEST(MailingJob, RecipientsAndNotice)
{
    struct Case
    {
        int lines;
        int lastIndex;
        bool notice;
    };
    const Case cases[] = {
        {0, -1, false}, {1, 0, false}, {41, 40, false}, {42, 41, true}, {10001, 10000, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lines);
        TempJob dir;
        dir.writeAll(TempJob::addresses(c.lines), "h", "s", "t", "Hi");
        const MailingJob job = loaded(dir);
        EXPECT_TRUE(job.problems().isEmpty());
        EXPECT_EQ(job.LastIndex, c.lastIndex);
        EXPECT_EQ(job.RecipientList.size(), std::size_t(MailingJob::RecipientCapacity));
        EXPECT_EQ(job.RecipientList[0], c.lines ? QByteArray("user0@example.test") : QByteArray());
        if (c.lines > 0) {
            EXPECT_EQ(job.RecipientList[std::size_t(c.lastIndex)],
                      "user" + QByteArray::number(c.lastIndex) + "@example.test");
        }
        if (c.lines < MailingJob::RecipientCapacity) {
            EXPECT_TRUE(job.RecipientList[std::size_t(c.lines)].isEmpty());
        }
        EXPECT_EQ(job.MessageText, QByteArray("\r\nHi"));
        EXPECT_EQ(job.MailBody,
                  c.notice ? MailingJob::noticeBlock() + "\r\nHi" : QByteArray("\r\nHi"));
        EXPECT_EQ(job.recipientsLeftOut(), 0);
    }
}

TEST(MailingJob, ListLongerThanTheTableIsCutAndCounted)
{
    for (int extra : {1, 5}) {
        TempJob dir;
        dir.writeAll(TempJob::addresses(MailingJob::RecipientCapacity + extra), "h", "s", "t", "");
        const MailingJob job = loaded(dir);
        EXPECT_EQ(job.LastIndex, 10000);
        EXPECT_EQ(job.RecipientList.size(), std::size_t(MailingJob::RecipientCapacity));
        EXPECT_EQ(job.RecipientList[10000], "user10000@example.test");
        EXPECT_EQ(job.recipientsLeftOut(), extra);
        EXPECT_TRUE(job.problems().isEmpty());
    }
}

TEST(MailingJob, EmptyLinesStayAtTheirPositions)
{
    TempJob dir;
    dir.writeAll("a@x\r\n\r\nc@x\rd@x", "h", "s", "t", "");
    const MailingJob job = loaded(dir);
    EXPECT_EQ(job.LastIndex, 3);
    EXPECT_EQ(job.RecipientList[0], "a@x");
    EXPECT_EQ(job.RecipientList[1], "");
    EXPECT_EQ(job.RecipientList[2], "c@x");
    EXPECT_EQ(job.RecipientList[3], "d@x");
}

TEST(MailingJob, FirstLineOnlyAndUntrimmed)
{
    struct Case
    {
        const char *file;
        QByteArray MailingJob::*field;
    };
    const Case cases[] = {{"smtp.txt", &MailingJob::HostName},
                          {"sender.txt", &MailingJob::SenderAddress},
                          {"tema.txt", &MailingJob::SubjectLine}};
    const struct
    {
        QByteArray content;
        QByteArray expected;
    } contents[] = {
        {"  first line  \r\nsecond\r\n", "  first line  "},
        {"only\rsecond", "only"},
        {"with\nbare LF\r\n", "with\nbare LF"},
        {"\r\nsecond", ""},
        {"", ""},
    };
    for (const Case &c : cases) {
        for (const auto &content : contents) {
            SCOPED_TRACE(std::string(c.file) + ": " + content.content.toStdString());
            TempJob dir;
            dir.writeAll("a@x", "h", "s", "t", "m");
            dir.write(QString::fromLatin1(c.file), content.content);
            const MailingJob job = loaded(dir);
            EXPECT_EQ(job.*c.field, content.expected);
            EXPECT_TRUE(job.problems().isEmpty()) << "an empty file is no problem";
        }
    }
}

TEST(MailingJob, MessageText)
{
    struct Case
    {
        QByteArray file;
        QByteArray text;
    };
    const Case cases[] = {
        {"", ""},
        {"Hi", "\r\nHi"},
        {"A\r\nB", "\r\nA\r\nB"},
        {"A\r\nB\r\n", "\r\nA\r\nB"},
        {"A\rB\r", "\r\nA\r\nB"},
        {"A\nB", "\r\nA\nB"},
        {"\r\n\r\nA\r\n\r\n", "\r\n\r\n\r\nA\r\n"},
        {"\xCF\xF0\xE8\xE2\xE5\xF2\r\n.\r\n", "\r\n\xCF\xF0\xE8\xE2\xE5\xF2\r\n."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        TempJob dir;
        dir.writeAll("a@x", "h", "s", "t", c.file);
        EXPECT_EQ(loaded(dir).MessageText, c.text);
    }
}

TEST(MailingJob, NoticeBlockShape)
{
    const QByteArray notice = MailingJob::noticeBlock();
    const QList<QByteArray> lines = notice.split('\n');
    ASSERT_EQ(lines.size(), 5);
    EXPECT_TRUE(lines[0].startsWith("https://") && lines[0].endsWith('\r'));
    EXPECT_EQ(lines[1], "\xCA\xE0\xF2\xE0\xEB\xEE\xE3 \xC1\xC5\xD1\xCF\xCB\xC0\xD2\xCD\xDB\xD5 "
                        "\xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC \xE4\xEB\xFF Windows XP.\r");
    EXPECT_EQ(lines[2], QByteArray(30, '-') + '\r');
    EXPECT_EQ(lines[3], "\r");
    EXPECT_EQ(lines[4], "");
}

TEST(MailingJob, UnreadableFilesAreReportedAndLeftEmpty)
{
    struct Case
    {
        const char *file;
        enum { Missing, Folder } kind;
    };
    const Case cases[] = {{"mail.txt", Case::Missing},
                          {"smtp.txt", Case::Missing},
                          {"sender.txt", Case::Folder},
                          {"tema.txt", Case::Missing},
                          {"message.txt", Case::Folder}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        TempJob dir;
        dir.writeAll("a@x\r\nb@x", "host", "me@x", "subj", "text");
        const QString name = QString::fromLatin1(c.file);
        QFile::remove(dir.filePath(name));
        if (c.kind == Case::Folder) {
            ASSERT_TRUE(QDir(dir.path()).mkdir(name));
        }
        const MailingJob job = loaded(dir);
        ASSERT_EQ(job.problems().size(), 1);
        EXPECT_EQ(job.problems()[0].fileName, name);
        EXPECT_EQ(job.problems()[0].reason, c.kind == Case::Missing
                                                ? QStringLiteral("файл не найден")
                                                : QStringLiteral("это папка, а не файл"));
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
    dir.writeAll(line, "h", "s", "t", line + "\r\nend");
    const MailingJob job = loaded(dir);
    EXPECT_EQ(job.LastIndex, 0);
    EXPECT_EQ(job.RecipientList[0].size(), line.size());
    EXPECT_EQ(job.MessageText.size(), line.size() + 7);
    EXPECT_TRUE(job.MessageText.endsWith("\r\nend"));
}
