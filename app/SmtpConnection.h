// The window's one SMTP connection: the socket, the dialogue of Smtp::Session and its time
// limits. start() connects and carries one message; the window hears what happened in signals,
// each at most once per message, the last four once the connection is closed:
//   recipientWanted()    the RCPT step: answer at once with sendRecipient()
//   delivered(reply)     the server accepted the end of the data; QUIT goes out only after it
//   over()               the message is done: QUIT answered, or the line dropped after delivery
//   refused(reply, dead) the server refused before the end of the data was accepted; `dead`
//                        when it refused the recipient for good (see Smtp::isDeadAddress)
//   invalidRecipient()   the recipient held CR, LF or NUL and was not sent
//   brokeOff(n, text)    a socket error or a time-out before delivery, as a Winsock number and
//                        its text
#pragma once

#include "ConnectionProbe.h"
#include "Reply.h"
#include "Session.h"

#include <QObject>

class QTcpSocket;
class QTimer;

class SmtpConnection : public QObject
{
    Q_OBJECT

public:
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
    void refused(const QByteArray &reply, bool deadAddress);
    void invalidRecipient();
    void brokeOff(int number, const QString &description);

private:
    // The socket's data-arrival event: whole replies in, commands and data out.
    void Winsock1_DataArrival();
    void carryOut(const Smtp::Action &action);
    void pumpData();
    void close(); // nothing is pending once it is closed
    void onSocketError();
    void breakOff(int number, const QString &description);

    Smtp::Timeouts m_timeouts;
    QTcpSocket *m_socket;
    QTimer *m_timeout;
    Smtp::ReplyAssembler m_replies;
    Smtp::Session m_session;
    ConnectionProbe m_probe;
    bool m_open = false;
};
