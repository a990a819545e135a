// The mailing job: the five job files, read once at start-up, and the state of the mailing.
//
// Every text is kept as the bytes of the job file (Windows-1251), so what is sent is exactly
// what the files hold; the window converts to QString only for display.
#pragma once

#include "JobEncoding.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <vector>

struct JobFileProblem
{
    QString fileName; // bare name, such as "mail.txt"
    QString reason;   // Russian, ready for a message box
};

class MailingJob
{
public:
    static constexpr int RecipientCapacity = 10001; // indices 0 to 10000
    static constexpr int NoticeThreshold = 40;      // more than this LastIndex adds the notice

    static constexpr const char *RecipientsFile = "mail.txt";
    static constexpr const char *HostFile = "smtp.txt";
    static constexpr const char *SenderFile = "sender.txt";
    static constexpr const char *SubjectFile = "tema.txt";
    static constexpr const char *MessageFile = "message.txt";

    // The notice block put in front of the body of a mailing to 42 addresses or more.
    static QByteArray noticeBlock();

    // Job files are read from `directory`; an empty string means the current directory.
    explicit MailingJob(QString directory = QString());

    // Each loader opens, reads (converting UTF-8, see JobEncoding.h) and closes its file; one that
    // cannot be read leaves its value empty and is recorded in problems().
    void LoadRecipients();
    void LoadHost();
    void LoadSender();
    void LoadSubject();
    void LoadMessage();
    void ComposeBody();
    void SetStartValues();

    // The loaders in their fixed order, then the body and the start values.
    void LoadAll();

    // The files that could not be read, in the order they were tried.
    const QList<JobFileProblem> &problems() const { return m_problems; }
    // Characters that were loaded as "?", by file and line, in loading order; only lines that
    // are used count (the first two lines of smtp.txt, the first of sender.txt and tema.txt).
    const QList<JobEncoding::Unmapped> &unmapped() const { return m_unmapped; }
    // Lines of mail.txt past the table's capacity, which were not loaded.
    qsizetype recipientsLeftOut() const { return m_recipientsLeftOut; }
    // The recipient at `index`, or an empty value outside the table.
    QByteArray recipientAt(int index) const;

    int CurrentIndex = 0;
    int LastIndex = -1;
    std::vector<QByteArray> RecipientList;
    int SentCount = 0;
    QByteArray HostName;
    QByteArray Login; // the second line of smtp.txt, as read
    QByteArray SenderAddress;
    QByteArray SubjectLine;
    QByteArray MessageText;
    QByteArray MailBody;

private:
    // Reads and converts the file; characters lost on lines up to `usedLines` are recorded.
    bool readJobFile(const char *name, QByteArray &data, qsizetype usedLines);
    QByteArray readFirstLine(const char *name);

    QString m_directory;
    QList<JobFileProblem> m_problems;
    QList<JobEncoding::Unmapped> m_unmapped;
    qsizetype m_recipientsLeftOut = 0;
};
