// The optional settings of a job folder: brevant.ini beside the job files, INI in UTF-8, read once
// at start-up with QSettings, here and nowhere else. A key that is not set keeps the behaviour of
// a folder without the file. A value that cannot be used is left unset, and told with the file,
// the key and an example.
//
//   [sending]
//   per_day=500        at most this many messages in any 24 hours; 0 or no key: no limit
//   [message]
//   list_unsubscribe=no   no List-Unsubscribe field in the messages
//   [mailbox]
//   imap=imap.example.ru:993   the sender's mailbox, read for bounces and unsubscribe requests
//                              (993: TLS from the first byte, any other port: STARTTLS)
//   login=news@example.ru      its login where it is not the SMTP one
#pragma once

#include <QString>
#include <QStringList>

struct JobSettings
{
    static constexpr const char *FileName = "brevant.ini";

    int perDay = 0;
    bool listUnsubscribe = true;
    QString imapHost; // empty: no mailbox is read
    quint16 imapPort = 993;
    QString imapLogin; // empty: the SMTP login

    // What could not be used, in Russian, one sentence each.
    QStringList problems;

    // The settings of the job folder `folder`.
    static JobSettings read(const QString &folder);
};
