// Catches: a login or password sent without TLS or to a server whose certificate does not hold,
// bytes before the handshake read as a reply, a password asked at every send or kept after a
// refusal, BODY=8BITMIME where it is not offered, a password that reaches a file or the process.
#include "AppHarness.h"

#include <QDirIterator>
#include <QProcess>

namespace {

const QByteArray kPassword = "s3cret: пароль";

// The test certificates, made once; the program trusts the test authority from then on. Windows
// cannot run the script that makes them: there they come made, in BREVANT_TEST_CERTS.
const QString &certs()
{
    static TempDir dir;
    static const QString path = qEnvironmentVariable("BREVANT_TEST_CERTS", dir.path());
    static const bool made = [] {
        if (path == dir.path() && QProcess::execute(BREVANT_MAKE_CERTS, {dir.path()}) != 0)
            return false;
        QSslConfiguration trusted = QSslConfiguration::defaultConfiguration();
        trusted.addCaCertificates(path + "/ca.pem");
        QSslConfiguration::setDefaultConfiguration(trusted);
        return true;
    }();
    EXPECT_TRUE(made);
    return path;
}

// A window sending to "127.0.0.1:PORT" of smtp.txt through `server`, answering the password
// dialog with `answers` in turn; `asked` gets what each dialog named.
frmBrevant &open(AppHarness &h, ScriptedServer &server, int port, QStringList *asked,
                 QList<QString> answers = {QString::fromUtf8(kPassword)})
{
    h.dir.write("smtp.txt", "127.0.0.1:" + QByteArray::number(port) + "\r\n");
    frmBrevant::Options options;
    options.askPassword = [asked, answers](const QString &login, const QString &host) mutable {
        asked->append(login + '@' + host);
        return answers.isEmpty() ? QString() : answers.takeFirst();
    };
    return h.open(server.port(), options);
}

// The password in any form that could go over the line: as typed, and in base64 alone or behind
// AUTH PLAIN's login.
// Qt's Schannel backend cannot serve TLS with the EC test key (it hands Schannel the key as
// PKCS#12, written for RSA and DSA keys only), nor under Wine 8 with any key (its
// CertFindChainInStore is a stub); and Wine's Schannel waits on where a server answers TLS in
// plain text. On Windows only the cases without a handshake run here; the client's TLS is
// tested against Postfix (tests/e2e, E2ESubmission).
#ifdef Q_OS_WIN
constexpr bool kTlsServer = false;
#else
constexpr bool kTlsServer = true;
#endif

bool holdsPassword(const QByteArray &bytes)
{
    return bytes.contains(kPassword) || bytes.contains(kPassword.toBase64()) ||
           bytes.contains((QByteArray("\0me@example.test\0", 17) + kPassword).toBase64());
}

} // namespace

TEST(Submission, NothingOfTheLoginGoesToAServerThatIsNotSafe)
{
    const struct
    {
        const char *cert; // nullptr: no TLS at all
        int port;
        ScriptedServer::Answer ehlo;
        QString box;
    } cases[] = {
        {"unknown", 465, {}, "выдан неизвестным центром сертификации"},
        {"other", 587, {}, "сертификат сервера выдан не на имя 127.0.0.1"},
        {"expired", 465, {}, "срок действия сертификата сервера 127.0.0.1 истёк"},
        {nullptr, 465, {}, "не удалось установить шифрованное соединение с 127.0.0.1"},
        {"server",
         587,
         {"250-hi\r\n250 AUTH PLAIN LOGIN\r\n"},
         "на порту 587 не предлагает шифрование"},
        {"server", 465, {"250-hi\r\n250 AUTH CRAM-MD5\r\n"}, "не предлагает вход по паролю"},
    };
    for (const auto &c : cases) {
        if (!kTlsServer && (c.port == 465 || c.ehlo.reply.isEmpty()))
            continue;
        SCOPED_TRACE(c.box.toStdString());
        AppHarness h;
        ScriptedServer server;
        if (c.cert)
            server.useTls(certs(), c.cert, c.port == 465);
        if (!c.ehlo.reply.isEmpty())
            server.answers["EHLO"] = c.ehlo;
        QStringList asked;
        frmBrevant &w = open(h, server, c.port, &asked);
        h.sendOne();
        ASSERT_EQ(h.boxes.size(), 1);
        EXPECT_TRUE(h.boxes[0].title == "SMTP Error" && h.boxes[0].text.contains(c.box))
            << h.boxes[0].text.toStdString();
        EXPECT_TRUE(
            h.boxes[0].text.endsWith("Логин и пароль не отправлены, письмо не отправлено."));
        ASSERT_EQ(server.connections.size(), 1);
        EXPECT_FALSE(server.connections[0]->received.contains("AUTH"));
        EXPECT_FALSE(holdsPassword(server.connections[0]->received));
        EXPECT_TRUE(server.deliveredTo.isEmpty());
        EXPECT_EQ(w.job.CurrentIndex, 0);
    }
}

// Through STARTTLS, with bytes after its 220 that are no reply and EHLO answers in two reads,
// and through TLS from the first byte: the login as AUTH PLAIN, BODY=8BITMIME where offered.
TEST(Submission, MessagesGoOutOnceTheLoginIsAcceptedOverTls)
{
    const char *const plainLogin =
        "AUTH PLAIN AG1lQGV4YW1wbGUudGVzdABzM2NyZXQ6INC/0LDRgNC+0LvRjA==\r\n";
    if (!kTlsServer)
        GTEST_SKIP() << "no TLS server of Schannel here";
    for (const bool implicit : {false, true}) {
        SCOPED_TRACE(implicit ? "465" : "587");
        AppHarness h;
        ScriptedServer server;
        server.useTls(certs(), "server", implicit);
        server.answers["STAR"] = {"220 go ahead\r\n250 AUTH LOGIN\r\n"};
        server.answers["EHLO"] = {implicit ? "250-hi\r\n250 AUTH PLAIN\r\n"
                                           : "250-hi\r\n250-STARTTLS\r\n250-8BITMIME\r\n"
                                             "250 AUTH PLAIN LOGIN\r\n",
                                  ScriptedServer::Act::Split};
        QStringList asked;
        frmBrevant &w = open(h, server, implicit ? 465 : 587, &asked);
        h.sendOne();
        h.sendOne();
        EXPECT_TRUE(h.boxes.isEmpty()) << h.boxes.value(0).text.toStdString();
        EXPECT_EQ(asked, QStringList{"me@example.test@127.0.0.1"}) << "asked once for the run";
        EXPECT_EQ(server.deliveredTo, QList<QByteArray>({"<a@example.test>", "<b@example.test>"}));
        const QByteArray &first = server.connections[0]->received;
        EXPECT_TRUE(first.startsWith(implicit
                                         ? "EHLO [127.0.0.1]\r\nAUTH PLAIN"
                                         : "EHLO [127.0.0.1]\r\nSTARTTLS\r\nEHLO [127.0.0.1]\r\n"
                                           "AUTH PLAIN"))
            << first.left(80).toStdString();
        EXPECT_TRUE(first.contains(plainLogin));
        EXPECT_TRUE(first.contains(implicit ? "MAIL FROM:<me@example.test>\r\n"
                                            : "MAIL FROM:<me@example.test> BODY=8BITMIME\r\n"));
        EXPECT_FALSE(holdsPassword(server.connections[0]->plain));
        EXPECT_EQ(w.Label5->text(), "2");
    }
}

// A refused login: the server's reply in the box, nothing delivered, the password asked again,
// and a cancelled dialog starts nothing. The password reaches no file and no part of the process
// that other programs can read.
TEST(Submission, ARefusedLoginIsAskedAgainAndThePasswordIsKeptNowhere)
{
    if (!kTlsServer)
        GTEST_SKIP() << "no TLS server of Schannel here";
    AppHarness h;
    ScriptedServer server;
    server.useTls(certs(), "server", true);
    server.answers["AUTH"] = {"535 5.7.8 Error: authentication failed\r\n"};
    QStringList asked;
    frmBrevant &w = open(h, server, 465, &asked, {QString::fromUtf8(kPassword), QString()});
    h.sendOne();
    ASSERT_EQ(h.boxes.size(), 1);
    EXPECT_EQ(h.boxes[0].text, "SMTP Error: 535 5.7.8 Error: authentication failed\n");
    EXPECT_TRUE(server.deliveredTo.isEmpty());
    h.sendOne(); // asked again, and cancelled
    EXPECT_EQ(asked.size(), 2);
    EXPECT_EQ(server.connections.size(), 1);
    EXPECT_EQ(w.Label5->text(), "1");
    for (QDirIterator it(h.dir.path(), QDir::Files); it.hasNext();) {
        QFile file(it.next());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_FALSE(holdsPassword(file.readAll())) << qPrintable(file.fileName());
    }
#ifndef Q_OS_WIN // what other programs read of this one, through /proc
    for (const char *part : {"/proc/self/cmdline", "/proc/self/environ"}) {
        QFile file(part);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_FALSE(holdsPassword(file.readAll())) << part;
    }
#endif
}

// The box of a failed handshake gives that handshake's reason, not an earlier one's: here a
// certificate of an unknown authority, then a server that answers TLS in plain text, on 465.
TEST(Submission, TheTlsBoxGivesTheReasonOfThisHandshake)
{
    if (!kTlsServer)
        GTEST_SKIP() << "no TLS server of Schannel here";
    AppHarness h;
    ScriptedServer server;
    server.useTls(certs(), "unknown", true);
    QStringList asked;
    open(h, server, 465, &asked);
    h.sendOne();
    server.useTls(certs(), "server", false); // no TLS from the first byte any more
    h.sendOne();
    ASSERT_EQ(h.boxes.size(), 2);
    EXPECT_TRUE(h.boxes[0].text.contains("выдан неизвестным центром сертификации"));
    EXPECT_TRUE(h.boxes[1].text.contains("не удалось установить шифрованное соединение с 127.0.0.1"))
        << h.boxes[1].text.toStdString();
}
