// The window's one SMTP connection: the socket, TLS, the dialogue of Smtp::Session and its time
// limits. start() connects and carries one message; the window hears what happened in signals,
// each at most once per message, the last five once the connection is closed:
//   recipientWanted()    the RCPT step: answer at once with sendRecipient()
//   delivered(reply)     the server accepted the end of the data; QUIT goes out only after it
//   over()               the message is done: QUIT answered, or the line dropped after delivery
//   refused(reply, how)  the server refused before the end of the data was accepted: how is
//                        Refused, DeadAddress (see Smtp::isDeadAddress) or LoginRefused
//   invalidRecipient()   the recipient held CR, LF or NUL and was not sent
//   brokeOff(n, text)    a socket error or a time-out before delivery, as a Winsock number and
//                        its text
//   unsafe(problem, text) no safe way to log in: no STARTTLS on offer, or the TLS handshake
//                        failed (the certificate is checked against the system's authorities
//                        and the host's name); nothing of the login was sent
#pragma once

#include "ConnectionProbe.h"
#include "Reply.h"
#include "Session.h"

#include <QObject>
#include <QSslError>

class QSslSocket;
class QTimer;

class SmtpConnection : public QObject
{
    Q_OBJECT

public:
    enum class Problem {
        NoStartTls,
        NoLoginMethod,
        UnknownAuthority,
        OtherName,
        Expired,
        Handshake
    };
    Q_ENUM(Problem)

    explicit SmtpConnection(Smtp::Timeouts timeouts, QObject *parent = nullptr);
    ~SmtpConnection() override;

    // Drops any dialogue still open, connects to `host` and starts the dialogue for `message`.
    void start(const QString &host, quint16 port, Smtp::Message message);
    void sendRecipient(QByteArrayView address);
    bool isOpen() const { return m_open; } // from start() until the dialogue is over
    Smtp::Step step() const { return m_session.step(); }

signals:
    void recipientWanted();
    void delivered(const QByteArray &reply);
    void over();
    void refused(const QByteArray &reply, Smtp::Outcome how);
    void invalidRecipient();
    void brokeOff(int number, const QString &description);
    void unsafe(SmtpConnection::Problem problem, const QString &detail);

private:
    // The socket's data-arrival event: whole replies in, commands and data out.
    void Winsock1_DataArrival();
    void makeSocket();
    void carryOut(const Smtp::Action &action);
    void pumpData();
    void close(); // nothing is pending once it is closed
    void onSocketError();
    void onSslErrors(const QList<QSslError> &errors);
    void breakOff(int number, const QString &description);

    Smtp::Timeouts m_timeouts;
    QSslSocket *m_socket = nullptr; // made at the first send
    QTimer *m_timeout;
    Smtp::ReplyAssembler m_replies;
    Smtp::Session m_session;
    ConnectionProbe m_probe;
    bool m_open = false;
    bool m_connected = false;     // the TCP connection is up
    QList<QSslError> m_sslErrors; // why the last handshake failed
};
