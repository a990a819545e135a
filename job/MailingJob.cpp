#include "MailingJob.h"

#include "FileRead.h"
#include "JobEncoding.h"
#include "JobLines.h"

#include <QDir>

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
    for (JobEncoding::Unmapped &u : text.unmapped) {
        if (u.line <= usedLines)
            m_unmapped.append({u.line, std::move(u.characters), fileName});
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
    readJobFile(RecipientsFile, data, RecipientCapacity);
    // Lines past the table are counted, never stored.
    const qsizetype lines = qsizetype(JobLines::forEachLine(data, [&](QByteArrayView line) {
        if (i < RecipientCapacity)
            RecipientList[std::size_t(i++)] = line.toByteArray();
        return true;
    }));
    m_recipientsLeftOut = lines - i;
    for (int k = i; k < RecipientCapacity; ++k)
        RecipientList[std::size_t(k)].clear();
    LastIndex = i - 1;
}

void MailingJob::LoadHost()
{
    // The second line, when there is one, is the login for a mail provider.
    QByteArray data;
    HostName.clear();
    Login.clear();
    int n = 0;
    if (readJobFile(HostFile, data, 2)) {
        JobLines::forEachLine(data, [&](QByteArrayView line) {
            (n++ == 0 ? HostName : Login) = line.toByteArray();
            return n < 2;
        });
    }
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
    QByteArray data;
    MessageText.clear();
    if (!readJobFile(MessageFile, data, std::numeric_limits<qsizetype>::max()))
        return;
    // Each line gets CR LF in front, whatever ended it in the file; at most one byte more for
    // each line than the file holds, and the first CR LF.
    MessageText.reserve(data.size() + data.count('\n') + data.count('\r') + 2);
    JobLines::forEachLine(data, [this](QByteArrayView line) {
        MessageText.append("\r\n", 2).append(line);
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
