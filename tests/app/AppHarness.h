// The real window on a temporary job, with real message boxes, each closed as a person would
// (Enter, or the button a test names) once the harness has recorded it; its file dialog answers
// from a list, and an SMTP server whose answers a test scripts.
#pragma once

#include "frmBrevant.h"
#include "TestSupport.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

struct Box
{
    QMessageBox::Icon icon;
    QString title, text;
};

// Watches every message box that opens and, from inside the box's own event loop, records it,
// runs what the test does meanwhile, and closes it.
class BoxCloser : public QObject
{
public:
    QList<Box> boxes;
    std::function<void()> whileOpen; // runs inside the box, as its modal loop would
    // For each box in turn: the button to press by its text, or "Escape"; Enter when none.
    QStringList answers;

    BoxCloser() { qApp->installEventFilter(this); }
    ~BoxCloser() override { qApp->removeEventFilter(this); }

    bool eventFilter(QObject *object, QEvent *event) override
    {
        auto *box = qobject_cast<QMessageBox *>(object);
        if (box && event->type() == QEvent::Show)
            QTimer::singleShot(0, box, [this, box] { close(box); });
        return false;
    }

private:
    void close(QMessageBox *box)
    {
        boxes.append({box->icon(), box->windowTitle(), box->text()});
        const QPointer<QMessageBox> open = box;
        if (whileOpen)
            whileOpen();
        if (!open)
            return;
        const QString answer = answers.isEmpty() ? QString() : answers.takeFirst();
        if (answer == "Escape")
            return QTest::keyClick(open, Qt::Key_Escape);
        for (QAbstractButton *button : open->buttons()) {
            if (!answer.isEmpty() && button->text() == answer)
                return button->click();
        }
        QTest::keyClick(open, Qt::Key_Return);
    }
};

struct AppHarness
{
    TempDir dir;
    BoxCloser closer;
    QList<Box> &boxes = closer.boxes;
    std::function<void()> &whileBoxOpen = closer.whileOpen;
    QStringList dialogAnswers; // what the file dialog returns, one per call
    std::unique_ptr<frmBrevant> window;

    AppHarness()
    {
        dir.writeAll("a@example.test\r\nb@example.test\r\nc@example.test\r\n", "127.0.0.1\r\n",
                     "me@example.test\r\n", "Subject\r\n", "Line one\r\nLine two\r\n");
    }

    // The window, sending to `port` (0: a port where nobody listens), with a series timer of
    // 40 ms unless `seriesMs` says 3000. Port 25 is the machine's own mail server except in the
    // network namespace of an end-to-end test: elsewhere a test that would send there fails.
    // A window opened before is closed first, as a person closes it, unless `keep` is set.
    frmBrevant &open(quint16 port, frmBrevant::Options options = {}, int seriesMs = 40,
                     bool keep = false)
    {
        if (port == 25 && qEnvironmentVariableIsEmpty("BREVANT_E2E_MAILDIR")) {
            ADD_FAILURE() << "a test must not send to this machine's port 25";
            port = 0;
        }
        if (port == 0) {
            QTcpServer closed;
            closed.listen(QHostAddress::LocalHost);
            port = closed.serverPort();
        }
        if (window && !keep) {
            window->close();
            window.reset();
        }
        options.jobDirectory = dir.path();
        options.port = port;
        options.openFile = [this] {
            return dialogAnswers.isEmpty() ? "" : dialogAnswers.takeFirst();
        };
        auto made = std::make_unique<frmBrevant>(options);
        made->Timer1->setInterval(seriesMs);
        if (keep)
            others.push_back(std::move(window));
        window = std::move(made);
        return *window;
    }

    void attach(const QStringList &paths) // through "Вложить..."
    {
        dialogAnswers = paths;
        for (qsizetype i = 0; i < paths.size(); ++i)
            window->cmdAddFile->click();
    }

    void sendOne() // presses "Послать одно" and waits until the dialogue has ended
    {
        window->cmdSend->click();
        EXPECT_TRUE(waitFor([this] { return !window->Winsock1->isOpen(); }));
    }

    static bool waitFor(const std::function<bool()> &done, int ms = 5000)
    {
        return QTest::qWaitFor(done, ms);
    }

    std::vector<std::unique_ptr<frmBrevant>> others; // windows kept open beside this one
};

// A server on loopback that answers like a well-mannered one (220, 250 to HELO, EHLO, MAIL and
// RCPT, 220 to STARTTLS, 235 to AUTH, 354 to DATA, 250 to the end of the data, 221 to QUIT and
// it closes) unless a test overrides an answer: another reply, one in two reads, silence, a close
// or a reset. With a certificate (useTls) it speaks TLS from the first byte or after STARTTLS.
class ScriptedServer : public QObject
{
public:
    enum class Act { Reply, Silent, Close, Reset, Split };
    struct Answer
    {
        QByteArray reply;
        Act act = Act::Reply; // Split: the reply in two reads, cut in its middle
    };
    struct Connection
    {
        QPointer<QTcpSocket> socket;
        QByteArray received, pending; // every byte, in order; the bytes of no whole line yet
        QByteArray plain;             // what came before TLS
        bool inData = false, closedByClient = false;
    };
    // The server's certificate (`certs`/NAME.pem and .key); `implicit`: TLS from the first byte.
    void useTls(const QString &certs, const QString &name, bool implicit)
    {
        QFile cert(certs + '/' + name + ".pem"), key(certs + '/' + name + ".key");
        if (!cert.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly))
            qFatal("no certificate %s", qPrintable(name));
        m_server.tls = QSslConfiguration::defaultConfiguration();
        m_server.tls.setLocalCertificate(QSslCertificate(&cert));
        m_server.tls.setPrivateKey(QSslKey(&key, QSsl::Ec));
        m_server.tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        m_server.implicitTls = implicit;
    }
    // By the whole command line without its line end, else by its command word; "220" is the
    // greeting and "." the end of the data.
    QMap<QByteArray, Answer> answers = {{"220", {"220 test.example\r\n"}},
                                        {"HELO", {"250 hi\r\n"}},
                                        {"MAIL", {"250 ok\r\n"}},
                                        {"RCPT", {"250 ok\r\n"}},
                                        {"DATA", {"354 go\r\n"}},
                                        {".", {"250 queued\r\n"}},
                                        {"QUIT", {"221 bye\r\n"}},
                                        {"EHLO", {"250-hi\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n"}},
                                        {"STAR", {"220 go ahead\r\n"}},
                                        {"AUTH", {"235 ok\r\n"}}};
    QList<QByteArray> deliveredTo; // RCPT TO of every message whose data ended, in order
    std::function<void(const QByteArray &word)> beforeAnswer; // runs as each command arrives
    QList<std::shared_ptr<Connection>> connections;

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

private:
    void read(Connection &conn)
    {
        const QByteArray bytes = conn.socket->readAll();
        conn.received += bytes;
        if (!static_cast<QSslSocket *>(conn.socket.data())->isEncrypted())
            conn.plain += bytes;
        conn.pending += bytes;
        for (qsizetype eol; conn.socket && (eol = conn.pending.indexOf('\n')) >= 0;) {
            const QByteArray line = conn.pending.left(eol + 1);
            conn.pending.remove(0, eol + 1);
            if (conn.inData && line != ".\r\n")
                continue;
            const QByteArray word = conn.inData ? "." : line.left(4).toUpper();
            if (word == "RCPT")
                m_rcpt = line.mid(8).trimmed();
            if (word == ".")
                deliveredTo.append(m_rcpt);
            if (beforeAnswer)
                beforeAnswer(word);
            const Answer answer =
                answers.value(line.trimmed(), answers.value(word, Answer{"500 what?\r\n"}));
            conn.inData = word == "DATA" && answer.reply.startsWith("354");
            act(conn, answer);
            if (word == "QUIT" && answer.act == Act::Reply && conn.socket)
                conn.socket->disconnectFromHost();
            if (word == "STAR" && answer.reply.startsWith("220") && conn.socket)
                static_cast<QSslSocket *>(conn.socket.data())->startServerEncryption();
        }
    }

    void act(Connection &conn, const Answer &answer)
    {
        QTcpSocket *socket = conn.socket;
        if (!socket || answer.act == Act::Silent)
            return;
        if (answer.act == Act::Close)
            return socket->disconnectFromHost();
        if (answer.act == Act::Split) {
            socket->write(answer.reply.first(answer.reply.size() / 2));
            socket->flush();
            QTimer::singleShot(20, socket,
                               [socket, rest = answer.reply.sliced(answer.reply.size() / 2)] {
                                   socket->write(rest);
                               });
            return;
        }
        if (answer.act == Act::Reset) {
            // Linger with a zero time-out: closing then sends a reset instead of a FIN.
            const struct linger off = {1, 0};
            ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER,
                         reinterpret_cast<const char *>(&off), sizeof off);
            return socket->abort();
        }
        socket->write(answer.reply);
    }

    // Every connection a QSslSocket, encrypted at once or later, or never without a certificate.
    struct Server : QTcpServer
    {
        QSslConfiguration tls;
        bool implicitTls = false;
        void incomingConnection(qintptr descriptor) override
        {
            auto *socket = new QSslSocket(this);
            socket->setSocketDescriptor(descriptor);
            socket->setSslConfiguration(tls);
            if (implicitTls)
                socket->startServerEncryption();
            addPendingConnection(socket);
        }
    } m_server;
    QByteArray m_rcpt;
};
