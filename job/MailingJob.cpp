#include "MailingJob.h"

#include "FileRead.h"
#include "JobEncoding.h"
#include "JobLines.h"

#include <QDir>

#include <cstring>
#include <limits>

namespace {
// A literal rather than a QByteArray object, so that the notice can be built during static
// initialisation too.
constexpr char kCrLf[] = "\r\n";
} // namespace

QByteArray MailingJob::noticeBlock()
{
    // The catalogue line is Windows-1251 text.
    static const QByteArray block = QByteArrayLiteral("https://catalog.example.org/free/") + kCrLf +
                                    QByteArrayLiteral("\xCA\xE0\xF2\xE0\xEB\xEE\xE3 "
                                                      "\xC1\xC5\xD1\xCF\xCB\xC0\xD2\xCD\xDB\xD5 "
                                                      "\xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC "
                                                      "\xE4\xEB\xFF Windows XP.") +
                                    kCrLf + QByteArray(30, '-') + kCrLf + kCrLf;
    return block;
}

MailingJob::MailingJob(QString directory)
    : RecipientList(RecipientCapacity), m_directory(std::move(directory))
{
}

bool MailingJob::readJobFile(const char *name, QByteArray &data, qsizetype usedLines)
{
    const QString fileName = QString::fromLatin1(name);
    const QString path = m_directory.isEmpty() ? fileName : QDir(m_directory).filePath(fileName);
    FileRead::Result read = FileRead::readAll(path);
    if (!read.ok()) {
        m_problems.append({fileName, read.error});
        return false;
    }
    JobEncoding::Text text = JobEncoding::toCp1251(std::move(read.data));
    for (const JobEncoding::Unmapped &u : text.unmapped) {
        if (u.line <= usedLines)
            m_unmapped.append({fileName, u.line, u.characters});
    }
    data = std::move(text.bytes);
    return true;
}

QByteArray MailingJob::readFirstLine(const char *name)
{
    QByteArray data;
    if (!readJobFile(name, data, 1))
        return {};
    return JobLines::firstLine(data).toByteArray();
}

void MailingJob::LoadRecipients()
{
    QByteArray data;
    int i = 0;
    m_recipientsLeftOut = 0;
    if (readJobFile(RecipientsFile, data, RecipientCapacity)) {
        const std::size_t lines = JobLines::forEachLine(data, [&](QByteArrayView line) {
            if (i == RecipientCapacity)
                return false; // the table is full: count the rest below, store nothing
            RecipientList[std::size_t(i++)] = line.toByteArray();
            return true;
        });
        if (i == RecipientCapacity && lines > std::size_t(RecipientCapacity)) {
            // forEachLine stopped at the first line past the table; count what remains.
            m_recipientsLeftOut =
                qsizetype(JobLines::forEachLine(data, [](QByteArrayView) { return true; })) -
                RecipientCapacity;
        }
    }
    for (int k = i; k < RecipientCapacity; ++k)
        RecipientList[std::size_t(k)].clear();
    LastIndex = i - 1;
}

void MailingJob::LoadHost()
{
    HostName = readFirstLine(HostFile);
}

void MailingJob::LoadSender()
{
    SenderAddress = readFirstLine(SenderFile);
}

void MailingJob::LoadSubject()
{
    SubjectLine = readFirstLine(SubjectFile);
}

void MailingJob::LoadMessage()
{
    MessageText.clear();
    QByteArray data;
    if (!readJobFile(MessageFile, data, std::numeric_limits<qsizetype>::max()))
        return;
    // Each line gets CR LF in front, whatever ended it in the file. The text is sized in a
    // first pass, so that it is allocated once.
    qsizetype size = 0;
    JobLines::forEachLine(data, [&size](QByteArrayView line) {
        size += 2 + line.size();
        return true;
    });
    MessageText.resize(size);
    char *out = MessageText.data();
    JobLines::forEachLine(data, [&out](QByteArrayView line) {
        *out++ = '\r';
        *out++ = '\n';
        std::memcpy(out, line.data(), std::size_t(line.size()));
        out += line.size();
        return true;
    });
}

void MailingJob::ComposeBody()
{
    MailBody = LastIndex > NoticeThreshold ? noticeBlock() + MessageText : MessageText;
}

void MailingJob::SetStartValues()
{
    CurrentIndex = 0;
    SentCount = 0;
}

void MailingJob::LoadAll()
{
    m_problems.clear();
    m_unmapped.clear();
    LoadRecipients();
    LoadHost();
    LoadSender();
    LoadSubject();
    LoadMessage();
    ComposeBody();
    SetStartValues();
}

QByteArray MailingJob::recipientAt(int index) const
{
    if (index < 0 || index >= RecipientCapacity)
        return {};
    return RecipientList[std::size_t(index)];
}
