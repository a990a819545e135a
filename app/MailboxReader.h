// Reads the sender's mailbox once over IMAP, read-only, and tells what it found: the socket, TLS,
// the scan of Imap::Client, the classification of each message (Mailbox::classify) and the time
// limits. start() connects; the caller hears exactly one of the two signals, once the connection
// is closed:
//   finished(findings)  the scan is complete: every bounce and unsubscribe request found
//   failed(reason)      it is not: why, in plain Russian words for a message box, naming the
//                       server (cannot connect, a certificate of an unknown authority, of another
//                       name or expired, no STARTTLS, the login refused, the server's NO)
// Port 993 speaks TLS from the first byte, any other port STARTTLS, which is required. The
// certificate is checked against the system's authorities and the host's name, never ignored.
// The password goes to the server only after TLS is up, and to nothing else: no file, log or
// reason (a server that repeats it in its refusal has it cut out).
#pragma once

#include "Classify.h"
#include "Client.h"

#include <QDateTime>
#include <QObject>
#include <QSslError>

#include <chrono>

class QSslSocket;
class QTimer;

class MailboxReader : public QObject
{
    Q_OBJECT

public:
    struct Timeouts
    {
        std::chrono::milliseconds connect{30'000};
        std::chrono::milliseconds reply{3 * 60'000}; // silence while a response is awaited
        std::chrono::milliseconds whole{30 * 60'000};
    };

    explicit MailboxReader(QObject *parent = nullptr);
    explicit MailboxReader(Timeouts timeouts, QObject *parent = nullptr);
    ~MailboxReader() override;

    // Drops a scan still running and starts one of the messages that arrived since `since` (the
    // time of the log's first row: the server is asked from the day before, as it counts days in
    // its own time zone).
    void start(const QString &host, quint16 port, const QString &login, const QString &password,
               const QDateTime &since);
    // The same with TLS from the first byte or not whatever the port (for test servers).
    void start(const QString &host, quint16 port, const QString &login, const QString &password,
               const QDateTime &since, bool tlsFromStart);
    void abort(); // nothing is told after it
    bool isRunning() const { return m_running; }

signals:
    void finished(const QList<Mailbox::Finding> &findings);
    void failed(const QString &reason);

private:
    void onReadyRead();
    void carryOut(const Imap::Action &action);
    void onSocketError();
    void fail(const QString &why);
    void close();

    Timeouts m_timeouts;
    QSslSocket *m_socket;
    QTimer *m_reply, *m_whole;
    Imap::Client m_client;
    QList<Mailbox::Finding> m_findings;
    QList<QSslError> m_sslErrors;
    QString m_host;
    quint16 m_port = 0;
    QByteArrayList m_secrets; // the password in every form that goes over the line
    bool m_running = false;
    bool m_connected = false;
};
