// A small SMTP server on loopback whose every answer a test can script.
//
// By default it answers like a well-mannered server: 220, then 250 to HELO, MAIL and RCPT, 354
// to DATA, 250 to the end of the data, 221 to QUIT, and it closes. A test overrides any answer,
// keeps silent, closes or resets the line, and afterwards reads what each connection received.
#pragma once

#include <QList>
#include <QMap>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>
#include <sys/socket.h>

class ScriptedServer : public QObject
{
public:
    enum class Act { Reply, Silent, Close, Reset };
    struct Answer
    {
        QByteArray reply;
        Act act = Act::Reply;
    };
    struct Connection
    {
        QPointer<QTcpSocket> socket;
        QByteArray received;    // every byte, in order
        QList<QByteArray> data; // the raw bytes between the go-ahead and the end mark
        QByteArray pending;     // bytes not yet forming a whole line
        bool inData = false;
        bool closedByClient = false;
    };

    // By command word ("HELO", "MAIL", "RCPT", "DATA", "QUIT"); "220" is the greeting and "."
    // the end of the data.
    QMap<QByteArray, Answer> answers = {
        {"220", {"220 test.example\r\n"}}, {"HELO", {"250 hi\r\n"}}, {"MAIL", {"250 ok\r\n"}},
        {"RCPT", {"250 ok\r\n"}},          {"DATA", {"354 go\r\n"}}, {".", {"250 queued\r\n"}},
        {"QUIT", {"221 bye\r\n"}}};
    QList<QByteArray> deliveredTo; // RCPT TO of every message whose data ended, in order

    ScriptedServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                auto conn = std::make_shared<Connection>();
                conn->socket = socket;
                connections.append(conn);
                connect(socket, &QTcpSocket::readyRead, this, [this, conn] { read(*conn); });
                connect(socket, &QTcpSocket::disconnected, this,
                        [conn] { conn->closedByClient = true; });
                act(*conn, answers.value("220"));
            }
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    QList<std::shared_ptr<Connection>> connections;

private:
    void read(Connection &conn)
    {
        const QByteArray bytes = conn.socket->readAll();
        conn.received += bytes;
        conn.pending += bytes;
        qsizetype eol;
        while (conn.socket && (eol = conn.pending.indexOf('\n')) >= 0) {
            const QByteArray line = conn.pending.left(eol + 1);
            conn.pending.remove(0, eol + 1);
            if (conn.inData && line != ".\r\n") {
                conn.data.last() += line;
                continue;
            }
            const QByteArray word = conn.inData ? "." : line.left(4).toUpper();
            if (word == "RCPT")
                m_rcpt = line.mid(8).trimmed();
            if (word == ".")
                deliveredTo.append(m_rcpt);
            const Answer answer = answers.value(word, Answer{"500 what?\r\n"});
            conn.inData = word == "DATA" && answer.reply.startsWith("354");
            if (conn.inData)
                conn.data.append(QByteArray());
            act(conn, answer);
            if (word == "QUIT" && answer.act == Act::Reply && conn.socket)
                conn.socket->disconnectFromHost();
        }
    }

    void act(Connection &conn, const Answer &answer)
    {
        QTcpSocket *socket = conn.socket;
        if (!socket || answer.act == Act::Silent)
            return;
        if (answer.act == Act::Close)
            return socket->disconnectFromHost();
        if (answer.act == Act::Reset) {
            // Linger with a zero time-out: closing then sends a reset instead of a FIN.
            const struct linger off = {1, 0};
            ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &off, sizeof off);
            return socket->abort();
        }
        socket->write(answer.reply);
    }

    QTcpServer m_server;
    QByteArray m_rcpt;
};
