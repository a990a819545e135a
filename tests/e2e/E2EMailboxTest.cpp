// Catches: a bounce or unsubscribe request of the real servers missed or invented, a mailbox
// changed by reading it (a flag set, a message moved or removed), a certificate of another name
// taken, a password in a reason.
#include "MailboxReader.h"
#include "TestSupport.h"

#include <QDir>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// The messages of a Maildir as Dovecot keeps them: their file names (flags after ":2,") in new/
// and cur/.
QStringList maildir()
{
    const QString root = qEnvironmentVariable("BREVANT_E2E_NEWS_MAILDIR");
    QStringList names;
    for (const char *sub : {"new", "cur"})
        for (const QString &name : QDir(root + '/' + sub).entryList(QDir::Files))
            names << QString::fromLatin1(sub) + '/' + name;
    names.sort();
    return names;
}

struct Result
{
    bool finished = false;
    QList<Mailbox::Finding> findings;
    QString reason;
};

Result read(const QString &host, quint16 port, const QString &password)
{
    MailboxReader reader;
    Result result;
    bool over = false;
    QObject::connect(&reader, &MailboxReader::finished, [&](const QList<Mailbox::Finding> &f) {
        result = {true, f, {}};
        over = true;
    });
    QObject::connect(&reader, &MailboxReader::failed, [&](const QString &reason) {
        result = {false, {}, reason};
        over = true;
    });
    reader.start(host, port, qEnvironmentVariable("BREVANT_E2E_LOGIN"), password,
                 QDateTime::currentDateTime());
    EXPECT_TRUE(QTest::qWaitFor([&] { return over; }, 60'000));
    EXPECT_FALSE(reader.isRunning());
    return result;
}

class E2EMailbox : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (qEnvironmentVariableIsEmpty("BREVANT_E2E_NEWS_MAILDIR"))
            return;
        QSslConfiguration trusted = QSslConfiguration::defaultConfiguration();
        trusted.addCaCertificates(qEnvironmentVariable("BREVANT_E2E_CA"));
        QSslConfiguration::setDefaultConfiguration(trusted); // the program trusts the system's
        QProcess fill;
        fill.start("python3", {BREVANT_MAILBOX_FILL});
        EXPECT_TRUE(fill.waitForFinished(60'000));
        EXPECT_EQ(fill.exitCode(), 0) << fill.readAllStandardError().toStdString();
        for (const QByteArray &line : fill.readAllStandardOutput().trimmed().split('\n')) {
            const QList<QByteArray> words = line.split(' ');
            if (words.size() == 3)
                sent[words[0]] = {words[1], words[2]};
        }
    }
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("BREVANT_E2E_NEWS_MAILDIR"))
            GTEST_SKIP() << "run through scripts/mail-server/with_mailbox.sh";
        ASSERT_EQ(sent.size(), 5);
    }
    static inline QMap<QByteArray, QPair<QByteArray, QByteArray>> sent; // to: Message-ID, token
};

} // namespace

// Through 993 and through 143 with STARTTLS: exactly the two dead recipients as bounced, with
// their Message-IDs, and the one request of the mailing as unsubscribed; nothing of the
// out-of-office reply, the ordinary reply, the own copy or the request from before the mailing.
// The mailbox is the same afterwards, file names and flags.
TEST_F(E2EMailbox, BouncesAndTheRequestFoundAndTheMailboxLeftAsItWas)
{
    const QStringList before = maildir();
    ASSERT_EQ(before.size(), 7);
    for (const quint16 port : {993, 143}) {
        SCOPED_TRACE(port);
        const Result r = read(qEnvironmentVariable("BREVANT_E2E_HOST"), port,
                              qEnvironmentVariable("BREVANT_E2E_PASSWORD"));
        ASSERT_TRUE(r.finished) << r.reason.toStdString();
        QStringList found;
        for (const Mailbox::Finding &f : r.findings)
            found << (f.kind == Mailbox::Finding::Kind::Bounced
                          ? "bounced " + f.messageId + ' ' + f.address + ' ' +
                                f.text.left(9).toUtf8()
                          : "unsubscribed " + f.token + ' ' + f.address);
        found.sort();
        const auto bounced = [](const QByteArray &to) {
            return "bounced " + sent[to].first + ' ' + to + " 5.1.1 smt";
        };
        QStringList expected = {bounced("dead1@far.test"), bounced("dead2@far.test"),
                                "unsubscribed " + sent["alive1@far.test"].second +
                                    " alive1@far.test"};
        expected.sort();
        EXPECT_EQ(found, expected);
        EXPECT_EQ(maildir(), before);
    }
}

TEST_F(E2EMailbox, ACertificateOfAnotherNameOrAWrongPasswordIsTold)
{
    const QString password = qEnvironmentVariable("BREVANT_E2E_PASSWORD");
    Result r = read("other.example.test", 993, password);
    EXPECT_FALSE(r.finished);
    EXPECT_EQ(r.reason, "Не удалось прочитать почтовый ящик на сервере other.example.test: "
                        "сертификат сервера выдан не на имя other.example.test; логин и пароль "
                        "не отправлены.");
    r = read(qEnvironmentVariable("BREVANT_E2E_HOST"), 143, "wrong " + password);
    EXPECT_FALSE(r.finished);
    EXPECT_TRUE(r.reason.contains("сервер не принял логин и пароль: [AUTHENTICATIONFAILED]"))
        << r.reason.toStdString();
    EXPECT_FALSE(r.reason.contains(password));
    QFile log(qEnvironmentVariable("BREVANT_E2E_MAILLOG").replace("maillog", "dovecot.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_FALSE(log.readAll().contains(password.toUtf8()));
}
