// A small SMTP server on loopback whose every answer a test can script.
//
// By default it behaves like a well-mannered server: greeting 220, 250 to HELO, MAIL and RCPT,
// 354 to DATA, 250 to the end of the data, 221 to QUIT and then it closes. A test overrides any
// reply, splits replies across writes, keeps silent, or drops the line, and afterwards reads
// everything each connection received.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>

#include <memory>
#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

class ScriptedServer : public QObject
{
public:
    // What to do instead of answering a command.
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
        bool closedByPeer = false;
    };

    QByteArray greeting = "220 test.example ESMTP\r\n";
    Act greetingAct = Act::Reply;
    // Replies by command word ("HELO", "MAIL", "RCPT", "DATA", "QUIT"); "." is the end of data.
    QMap<QByteArray, Answer> answers = {
        {"HELO", {"250 hello\r\n"}},        {"MAIL", {"250 sender ok\r\n"}},
        {"RCPT", {"250 recipient ok\r\n"}}, {"DATA", {"354 go ahead\r\n"}},
        {".", {"250 queued\r\n"}},          {"QUIT", {"221 bye\r\n"}},
    };
    // Writes each reply one byte at a time, a few milliseconds apart, so that the client
    // receives it in many pieces.
    bool trickle = false;
    // Bytes the client sent while the server was still writing a reply (a client that does
    // not wait for whole replies sends its next command too early).
    QByteArray receivedMidReply;
    // Closes the connection after answering QUIT.
    bool closeAfterQuit = true;

    ScriptedServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, &ScriptedServer::accept);
    }

    quint16 port() const { return m_server.serverPort(); }
    const QList<std::shared_ptr<Connection>> &connections() const { return m_connections; }
    int connectionCount() const { return int(m_connections.size()); }

    // The recipients of every message that reached the end of its data, in order.
    QList<QByteArray> deliveredTo() const { return m_deliveredTo; }

private:
    void accept()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            auto conn = std::make_shared<Connection>();
            conn->socket = socket;
            m_connections.append(conn);
            connect(socket, &QTcpSocket::readyRead, this, [this, conn] { read(*conn); });
            connect(socket, &QTcpSocket::disconnected, this, [conn] { conn->closedByPeer = true; });
            act(*conn, {greeting, greetingAct});
        }
    }

    void read(Connection &conn)
    {
        const QByteArray bytes = conn.socket->readAll();
        conn.received += bytes;
        if (m_writing)
            receivedMidReply += bytes;
        conn.pending += bytes;
        qsizetype eol;
        while (conn.socket && (eol = conn.pending.indexOf('\n')) >= 0) {
            const QByteArray line = conn.pending.left(eol + 1);
            conn.pending.remove(0, eol + 1);
            if (conn.inData) {
                if (line == ".\r\n") {
                    conn.inData = false;
                    m_deliveredTo.append(m_rcpt);
                    act(conn, answers.value("."));
                } else {
                    conn.data.last() += line;
                }
                continue;
            }
            const QByteArray word = line.left(4).toUpper();
            if (word == "RCPT")
                m_rcpt = line.mid(8).trimmed();
            const Answer answer = answers.value(word, Answer{"500 what?\r\n"});
            if (word == "DATA" && answer.act == Act::Reply && answer.reply.startsWith("354")) {
                conn.inData = true;
                conn.data.append(QByteArray());
            }
            act(conn, answer);
            if (word == "QUIT" && closeAfterQuit && conn.socket)
                conn.socket->disconnectFromHost();
        }
    }

    void act(Connection &conn, const Answer &answer)
    {
        QTcpSocket *socket = conn.socket;
        if (!socket)
            return;
        switch (answer.act) {
        case Act::Silent:
            return;
        case Act::Close:
            socket->disconnectFromHost();
            return;
        case Act::Reset: {
            // Linger with a zero time-out: closing then sends a reset instead of a FIN.
            const struct linger off = {1, 0};
            ::setsockopt(decltype(::socket(0, 0, 0))(socket->socketDescriptor()), SOL_SOCKET,
                         SO_LINGER, reinterpret_cast<const char *>(&off), sizeof off);
            socket->abort();
            return;
        }
        case Act::Reply:
            if (!trickle) {
                socket->write(answer.reply);
                return;
            }
            m_writing = true;
            for (qsizetype i = 0; i < answer.reply.size(); ++i) {
                QTimer::singleShot(int(i) * 3, socket, [this, socket, i, answer] {
                    socket->write(answer.reply.mid(i, 1));
                    socket->flush();
                    if (i + 1 == answer.reply.size())
                        m_writing = false;
                });
            }
            return;
        }
    }

    QTcpServer m_server;
    QList<std::shared_ptr<Connection>> m_connections;
    QList<QByteArray> m_deliveredTo;
    QByteArray m_rcpt;
    bool m_writing = false;
};
