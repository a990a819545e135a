// What the message boxes say: their titles and texts, in the words users of the program know.
#pragma once

#include "Cp1251.h"
#include "MailingRun.h"
#include "Pacer.h"
#include "Server.h"
#include "SmtpConnection.h"

namespace BoxTexts {

inline const QString SmtpErrorTitle = QStringLiteral("SMTP Error");
inline const QString WinsockErrorTitle = QStringLiteral("Winsock Error");
inline const QString AttachTitle = QStringLiteral("Attach files");
inline const QString PasswordTitle = QStringLiteral("Пароль SMTP");

// The whole reply, its Windows-1251 bytes shown as text.
inline QString refusal(QByteArrayView reply)
{
    return QStringLiteral("SMTP Error: ") + Cp1251::toUnicode(reply);
}

inline QString winsockError(int number, const QString &description)
{
    return QStringLiteral("Winsock Error number %1\r\n%2")
        .arg(QString::number(number), description);
}

// `error` names the file and the reason.
inline QString attachmentFailed(const QString &error)
{
    return QStringLiteral("Не удалось вложить файл %1\nПисьмо не отправлено.").arg(error);
}

// A field of the job that cannot be sent, named as its caption in the window calls it.
enum class Field { Host, Sender, Recipient };
QString lineBreakIn(Field field); // it holds CR, LF or NUL
QString emptyField(Field field);
// The first line of smtp.txt names a port that is no number from 1 to 65535.
QString badPort(QByteArrayView line);

// What the password dialog asks.
QString passwordPrompt(const QString &login, const QString &host);
// Why nothing of the login was sent to `server`: no STARTTLS on offer, no login method we know,
// a certificate of an unknown authority, of another name or expired, a failed handshake.
QString unsafe(SmtpConnection::Problem problem, const Smtp::Server &server, const QString &detail);

// What went wrong while the job in `folder` was loaded: files that could not be read, lines left
// out of mail.txt, characters that Windows-1251 lacks. Empty when nothing did.
QString jobReport(const MailingJob &job, const QString &folder);

// At start-up, when addresses had this mailing in an earlier run: how many, when the last one
// did, which line comes next (`next`, -1 for none), and how to start over.
QString resumed(const MailingRun &run, const MailingJob &job, int next);
// At start-up, when the subject or the letter differs from the log's unfinished mailing: when
// the last of it went out, how many had it, which line would come next, and the question.
QString unfinished(const MailingRun &run, const MailingHistory::Mailing &mailing,
                   const MailingJob &job, int next);
inline const QString GoOn = QStringLiteral("Продолжить рассылку");
inline const QString StartAnew = QStringLiteral("Начать новую");
// Rows of the log that could not be read and were passed over.
QString skippedRows(const MailingRun &run);
// The addresses that get no mailing of the folder any more: bounced, unsubscribed.
QString keptOut(const MailingRun &run);
// The status line while a series reads the sender's mailbox before its first message.
QString readingMailbox(const QString &host);
// The sender's mailbox could not be read: the reason names the server.
QString mailboxFailed(const QString &reason);
// At the end of a series that passed addresses over: the counts and the log.
QString seriesOver(const MailingRun &run);

// Why no message goes out now, and what the user can do: in a box, and in the status line.
QString held(const MailingRun::Hold &hold, const MailingRun &run);
QString heldStatus(const MailingRun::Hold &hold, const MailingRun &run);
// The message to `address` went out, but its row could not be written.
QString deliveredNotLogged(const MailingRun &run, const QString &address, const QString &reason);
// The status line while a series waits: until when, and why.
QString paused(const Pace::Pacer::Pause &pause, const QDateTime &now, int perDay,
               const QString &deferredBy);
QString serverSaid(const QString &reply);     // why a series waits after a refusal
QString noConnection(const QString &failure); // and after a socket error or a time-out
// At closing: deliveries whose rows could not be written even now.
QString unloggedAtClose(const MailingRun &run, const QStringList &addresses);

} // namespace BoxTexts
