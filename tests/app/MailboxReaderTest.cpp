// Catches: a login or password sent to a mailbox without TLS or with a certificate that does not
// hold, a finding lost between the socket and the classification, a failure told as success or
// not at all, a password in a reason, a scan that never ends.
#include "MailboxReader.h"
#include "AppHarness.h"
#include "DeliveryLog.h"

#include <QPointer>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

const QString kPassword = QStringLiteral("s3cret: пароль");

// The test certificates, made once, the test authority trusted from then on.
const QString &certs()
{
    static TempDir dir;
    static const bool made = [] {
        if (QProcess::execute(BREVANT_MAKE_CERTS, {dir.path()}) != 0)
            return false;
        QSslConfiguration trusted = QSslConfiguration::defaultConfiguration();
        trusted.addCaCertificates(dir.path() + "/ca.pem");
        QSslConfiguration::setDefaultConfiguration(trusted);
        return true;
    }();
    EXPECT_TRUE(made);
    static const QString path = dir.path();
    return path;
}

QByteArray file(const QString &path)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return f.readAll();
}

QByteArray literal(const QByteArray &bytes)
{
    return '{' + QByteArray::number(bytes.size()) + "}\r\n" + bytes;
}

// An IMAP server on loopback with the test certificate `cert`, answering a mailbox of three
// messages (an unsubscribe request, Postfix's report of a dead address, an ordinary message) as
// Dovecot would, unless a test changes an answer. Commands are answered by their first word
// after the tag ("UID FETCH" by whether it asks for header fields).
class ImapServer : public QTcpServer
{
public:
    QMap<QByteArray, QByteArray> answers; // "@TAG" stands for the tag; "" keeps silent
    QByteArray greeting = "* OK [CAPABILITY IMAP4rev1 SASL-IR STARTTLS AUTH=PLAIN] ready\r\n";
    QByteArray received, plain; // every byte, and what came before TLS
    bool closeAfterAnswer = false;

    ImapServer(const QString &cert, bool implicit) : m_implicit(implicit)
    {
        QFile c(certs() + '/' + cert + ".pem"), k(certs() + '/' + cert + ".key");
        if (!c.open(QIODevice::ReadOnly) || !k.open(QIODevice::ReadOnly))
            qFatal("no certificate %s", qPrintable(cert));
        m_tls = QSslConfiguration::defaultConfiguration();
        m_tls.setLocalCertificate(QSslCertificate(&c));
        m_tls.setPrivateKey(QSslKey(&k, QSsl::Ec));
        m_tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        const QByteArray report = file(BREVANT_MESSAGES "/postfix-bounce.eml");
        const QByteArray request = "From: Ivan <ivan@far.test>\r\nSubject: "
                                   "=?UTF-8?B?0J7RgtCy0LXRgjog?= unsubscribe 0123456789abcdef"
                                   "\r\n\r\n";
        answers = {
            {"CAPABILITY", "* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\n@TAG OK done\r\n"},
            {"STARTTLS", "@TAG OK Begin TLS negotiation now.\r\n"},
            {"AUTHENTICATE", "+ \r\n"},
            {"", "@TAG OK Logged in\r\n"}, // the answer to the login's response
            {"LOGIN", "@TAG OK Logged in\r\n"},
            {"EXAMINE", "* 3 EXISTS\r\n* 0 RECENT\r\n@TAG OK [READ-ONLY] Examine completed.\r\n"},
            {"SEARCH", "* SEARCH 1 2 3\r\n@TAG OK Search completed.\r\n"},
            {"FIELDS", "* 1 FETCH (UID 1 BODY[HEADER.FIELDS (FROM)] " + literal(request) + ")\r\n" +
                           "* 2 FETCH (UID 2 BODY[HEADER.FIELDS (FROM)] " +
                           literal(report.left(report.indexOf("\n\n") + 2)) + ")\r\n" +
                           "* 3 FETCH (UID 3 BODY[HEADER.FIELDS (FROM)] " +
                           literal("From: a@b\r\nSubject: hi\r\n\r\n") +
                           ")\r\n@TAG OK Fetch completed.\r\n"},
            {"PEEK", "* 2 FETCH (UID 2 BODY[]<0> " + literal(report) + ")\r\n@TAG OK done\r\n"},
            {"LOGOUT", "* BYE Logging out\r\n@TAG OK Logout completed.\r\n"},
        };
        listen(QHostAddress::LocalHost, 0);
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setSslConfiguration(m_tls);
        connect(socket, &QSslSocket::readyRead, this, [this, socket] { read(socket); });
        if (m_implicit)
            socket->startServerEncryption();
        socket->write(greeting);
        addPendingConnection(socket);
    }

private:
    void read(QSslSocket *socket)
    {
        const QByteArray bytes = socket->readAll();
        received += bytes;
        if (!socket->isEncrypted())
            plain += bytes;
        m_pending += bytes;
        for (qsizetype eol; (eol = m_pending.indexOf('\n')) >= 0;) {
            const QByteArray line = m_pending.left(eol).trimmed();
            m_pending.remove(0, eol + 1);
            const QList<QByteArray> words = line.split(' ');
            if (words.size() < 2) { // the answer to a continuation
                socket->write(QByteArray(answers.value("")).replace("@TAG", m_lastTag));
                continue;
            }
            m_lastTag = words[0];
            QByteArray key = words[1].toUpper();
            if (key == "AUTHENTICATE" && words.size() > 3)
                key = ""; // with its initial response: answered as the response would be
            if (key == "UID")
                key = words[2].toUpper() == "SEARCH"   ? "SEARCH"
                      : line.contains("HEADER.FIELDS") ? "FIELDS"
                                                       : "PEEK";
            const QByteArray answer =
                QByteArray(answers.value(key, "@TAG BAD what?\r\n")).replace("@TAG", m_lastTag);
            socket->write(answer);
            if (key == "STARTTLS" && answer.contains(" OK "))
                socket->startServerEncryption();
            if (key == "LOGOUT" || closeAfterAnswer)
                socket->disconnectFromHost();
        }
    }

    QSslConfiguration m_tls;
    bool m_implicit;
    QByteArray m_pending, m_lastTag;
};

struct Outcome
{
    bool over = false, finished = false;
    QList<Mailbox::Finding> findings;
    QString reason;
};

Outcome scan(quint16 port, bool implicit, MailboxReader::Timeouts limits = {},
             const QString &host = "127.0.0.1")
{
    MailboxReader reader(limits);
    Outcome o;
    int signals_ = 0;
    QObject::connect(&reader, &MailboxReader::finished, [&](const QList<Mailbox::Finding> &f) {
        o.over = o.finished = true, o.findings = f, ++signals_;
    });
    QObject::connect(&reader, &MailboxReader::failed,
                     [&](const QString &reason) { o.over = true, o.reason = reason, ++signals_; });
    reader.start(host, port, "news@example.test", kPassword, QDateTime::currentDateTime(),
                 implicit);
    EXPECT_TRUE(QTest::qWaitFor([&] { return o.over; }, 10'000));
    QTest::qWait(50); // nothing more is told
    EXPECT_EQ(signals_, 1);
    return o;
}

bool holdsPassword(const QByteArray &bytes)
{
    const QByteArray p = kPassword.toUtf8();
    return bytes.contains(p) || bytes.contains(p.toBase64()) ||
           bytes.contains((QByteArray("\0news@example.test\0", 19) + p).toBase64());
}

} // namespace

// Through STARTTLS and TLS from the first byte: the report's dead address and the request.
TEST(MailboxReader, FindsTheBounceAndTheRequestOverTls)
{
#ifdef Q_OS_WIN
    GTEST_SKIP() << "no TLS server of Schannel here: the scripted server needs one";
#endif
    for (const bool implicit : {false, true}) {
        SCOPED_TRACE(implicit ? "TLS from the first byte" : "STARTTLS");
        ImapServer server("server", implicit);
        const Outcome o = scan(server.serverPort(), implicit);
        ASSERT_TRUE(o.finished) << o.reason.toStdString();
        ASSERT_EQ(o.findings.size(), 2);
        EXPECT_EQ(o.findings[0].kind, Mailbox::Finding::Kind::Unsubscribed);
        EXPECT_EQ(o.findings[0].token, "0123456789ABCDEF");
        EXPECT_EQ(o.findings[0].address, "ivan@far.test");
        EXPECT_EQ(o.findings[1].kind, Mailbox::Finding::Kind::Bounced);
        EXPECT_EQ(o.findings[1].messageId, "<20261207064153.0123456789ABCDEF@example.test>");
        EXPECT_EQ(o.findings[1].address, "dead1@far.test");
        EXPECT_FALSE(holdsPassword(server.plain));
        EXPECT_TRUE(holdsPassword(server.received)) << "the login went over TLS";
        EXPECT_TRUE(server.received.contains("EXAMINE INBOX\r\n"));
        EXPECT_TRUE(server.received.contains(" UID FETCH 2 (UID BODY.PEEK[]<0.262144>)\r\n"));
        EXPECT_FALSE(server.received.contains("SELECT"));
    }
}

TEST(MailboxReader, NothingOfTheLoginGoesToAServerThatIsNotSafe)
{
#ifdef Q_OS_WIN
    GTEST_SKIP() << "no TLS server of Schannel here: the scripted server needs one";
#endif
    const struct
    {
        const char *cert;
        bool implicit;
        QByteArray capability; // for the greeting; empty: the default
        QString reason;
    } cases[] = {
        {"unknown", true, {}, "сертификат сервера выдан неизвестным центром сертификации"},
        {"unknown", false, {}, "сертификат сервера выдан неизвестным центром сертификации"},
        {"other", false, {}, "сертификат сервера выдан не на имя 127.0.0.1"},
        {"expired", true, {}, "срок действия сертификата сервера истёк или ещё не начался"},
        {"server", false, "* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] ready\r\n",
         "не предлагает шифрование (STARTTLS)"},
        {"server", true, "* OK [CAPABILITY IMAP4rev1 LOGINDISABLED] ready\r\n",
         "не позволяет войти по паролю"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reason.toStdString());
        ImapServer server(c.cert, c.implicit);
        if (!c.capability.isEmpty())
            server.greeting = c.capability;
        const Outcome o = scan(server.serverPort(), c.implicit);
        EXPECT_FALSE(o.finished);
        EXPECT_TRUE(o.reason.startsWith("Не удалось прочитать почтовый ящик на сервере "
                                        "127.0.0.1: ") &&
                    o.reason.contains(c.reason))
            << o.reason.toStdString();
        EXPECT_FALSE(holdsPassword(server.received));
        EXPECT_FALSE(server.received.contains("AUTHENTICATE") || server.received.contains("LOGIN"));
    }
}

// Refusals, a dropped connection, a closed port and silence are each told once, in words, with
// the server's own words where it gave them, and never with the password.
TEST(MailboxReader, FailuresAreToldInWordsWithoutThePassword)
{
#ifdef Q_OS_WIN
    GTEST_SKIP() << "no TLS server of Schannel here: the scripted server needs one";
#endif
    const QByteArray echo =
        "@TAG NO [AUTHENTICATIONFAILED] wrong password " + kPassword.toUtf8() + "\r\n";
    const struct
    {
        const char *command;
        QByteArray answer;
        bool close;
        QString reason;
    } cases[] = {
        {"", echo, false,
         "сервер не принял логин и пароль: [AUTHENTICATIONFAILED] wrong "
         "password ***."},
        {"EXAMINE", "@TAG NO [NONEXISTENT] Mailbox doesn't exist: INBOX\r\n", false,
         "сервер ответил отказом: [NONEXISTENT] Mailbox doesn't exist: INBOX."},
        {"SEARCH", "* SEARCH 1 2\r\n", true, "сервер закрыл соединение, не закончив ответ."},
        {"EXAMINE", "* BYE going down\r\n", false, "сервер ответил отказом: going down."},
        {"EXAMINE", "", false, "сервер не ответил за 1 с."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reason.toStdString());
        ImapServer server("server", true);
        server.answers[c.command] = c.answer;
        server.closeAfterAnswer = c.close;
        MailboxReader::Timeouts limits;
        limits.reply = std::chrono::seconds(1);
        const Outcome o = scan(server.serverPort(), true, limits);
        EXPECT_FALSE(o.finished);
        EXPECT_EQ(o.reason, "Не удалось прочитать почтовый ящик на сервере 127.0.0.1: " + c.reason);
    }
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    const quint16 port = closed.serverPort();
    closed.close();
    const Outcome o = scan(port, false);
    EXPECT_EQ(o.reason, QStringLiteral("Не удалось прочитать почтовый ящик на сервере 127.0.0.1: "
                                       "сервер не принимает соединения на порту %1.")
                            .arg(port));
}

// A series with brevant.ini naming the mailbox: it reads the mailbox before its first message,
// writes a row for the bounce and the request it finds, passes their addresses over, reads again
// 10 minutes later without writing them twice; a mailbox it cannot reach is told once, and the
// mailing goes on without it.
TEST(MailboxReader, ASeriesReadsTheMailboxFirstAndKeepsWhatItFindsOut)
{
#ifdef Q_OS_WIN
    GTEST_SKIP() << "no TLS server of Schannel here: the scripted server needs one";
#endif
    for (const bool reachable : {true, false}) {
        SCOPED_TRACE(reachable ? "the mailbox" : "no mailbox on its port");
        ImapServer imap("server", false);
        imap.answers["FIELDS"].replace("0123456789abcdef", "00000000000000aa");
        quint16 port = imap.serverPort();
        if (!reachable)
            imap.close();
        AppHarness h;
        h.dir.write("mail.txt", "a@example.test\r\ndead@example.test\r\nleaver@example.test\r\n"
                                "b@example.test\r\nc@example.test\r\n");
        h.dir.write("brevant.ini", "[mailbox]\nimap=127.0.0.1:" + QByteArray::number(port) + "\n");
        h.dir.write("brevant-log.csv",
                    "time;line;address;result;reply;message_id;mailing\r\n"
                    "2026-12-01T09:00:00Z;1;dead@example.test;delivered;250;"
                    "<20261207064153.0123456789ABCDEF@example.test>;a00000000000\r\n"
                    "2026-12-01T09:00:03Z;2;leaver@example.test;delivered;250;"
                    "<20261207064153.00000000000000AA@example.test>;a00000000000\r\n"
                    ";;;finished;;;a00000000000\r\n");
        ScriptedServer smtp;
        QDateTime now = QDateTime::currentDateTime();
        smtp.beforeAnswer = [&](const QByteArray &word) {
            if (word == ".")
                now = now.addSecs(11 * 60); // the next message after the next read
        };
        QStringList asked;
        frmBrevant::Options options;
        options.clock = [&now] { return now; };
        options.askPassword = [&](const QString &login, const QString &host) {
            asked << login + '@' + host;
            return kPassword;
        };
        frmBrevant &w = h.open(smtp.port(), options);
        w.Command1->click();
        ASSERT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }, 10'000));
        EXPECT_EQ(asked, QStringList{"me@example.test@127.0.0.1"}) << "asked once";
        EXPECT_EQ(smtp.deliveredTo.size(), reachable ? 3 : 5);
        EXPECT_FALSE(smtp.deliveredTo.contains("<dead@example.test>") && reachable);
        EXPECT_FALSE(smtp.deliveredTo.contains("<leaver@example.test>") && reachable);
        QStringList rows;
        DeliveryLog::read(h.dir.filePath("brevant-log.csv"), [&](const DeliveryLog::Row &row) {
            if (row.result == DeliveryLog::Result::Bounced ||
                row.result == DeliveryLog::Result::Unsubscribed)
                rows << row.address + ' ' + row.messageId;
        });
        EXPECT_EQ(rows.join(", "),
                  reachable ? "leaver@example.test <20261207064153.00000000000000AA@example.test>, "
                              "dead@example.test <20261207064153.0123456789ABCDEF@example.test>"
                            : "");
        // Before the first message, then after 10 minutes of the clock, while the series runs.
        EXPECT_GE(imap.received.count("EXAMINE INBOX"), reachable ? 2 : 0);
        ASSERT_EQ(h.boxes.size(), 1);
        EXPECT_TRUE(h.boxes[0].text.startsWith(
            reachable ? "Рассылка закончена."
                      : "Не удалось прочитать почтовый ящик на сервере 127.0.0.1"))
            << h.boxes[0].text.toStdString();
        EXPECT_TRUE(!reachable ||
                    h.boxes[0].text.contains("вернулись как недоставленные — 1, отписались — 1"));
        EXPECT_FALSE(holdsPassword(file(h.dir.filePath("brevant-log.csv"))));
    }
}
