// Catches: a bounce or unsubscribe request of the real servers missed or invented, a mailbox
// changed by reading it (a flag set, a message moved or removed), a certificate of another name
// taken, a password in a reason.
#include "AppHarness.h"
#include "Cp1251.h"
#include "MailboxReader.h"

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

// Two mailings through the provider-like Postfix (587, login), the window's own: the far server
// refuses two addresses after the provider accepted them, and Postfix writes the reports into
// the sender's mailbox; a reader asks to be left out exactly as the List-Unsubscribe field of his
// copy says. The second mailing, another subject and letter, reads the mailbox (993) before its
// first message: the bounced and unsubscribed addresses get nothing, the rest one copy each, and
// the mailbox is as it was. The password is in no file of the job and no box.
TEST_F(E2EMailbox, TheNextMailingKeepsOutTheBouncedAndTheUnsubscribed)
{
    const QString farMaildir = qEnvironmentVariable("BREVANT_E2E_FAR_MAILDIR");
    const QString password = qEnvironmentVariable("BREVANT_E2E_PASSWORD");
    AppHarness h;
    h.dir.writeAll("reader1@far.test\nДарья Мёртвая <dead-reader1@far.test>\nreader2@far.test;"
                   "Второй\nreader3@far.test\ndead-reader2@far.test\nreader4@far.test\n",
                   qgetenv("BREVANT_E2E_HOST") + ":587\n", "news@example.test\n", "Первый выпуск\n",
                   "Здравствуйте!\n");
    h.dir.write("brevant.ini", "[mailbox]\nimap=" + qgetenv("BREVANT_E2E_HOST") + ":993\n");
    frmBrevant::Options options;
    options.askPassword = [&](const QString &, const QString &) { return password; };
    const auto series = [&] {
        frmBrevant &w = h.open(587, options);
        w.Command1->click();
        EXPECT_TRUE(h.waitFor([&] { return w.Label5->text() == "OK!"; }, 60'000));
    };
    const QStringList before = maildir();
    series();
    // Postfix's two reports, then the request made from reader2's copy as a mail program would.
    ASSERT_TRUE(h.waitFor([&] { return maildir().size() >= before.size() + 2; }, 30'000));
    QProcess request;
    request.start("python3",
                  {"-c",
                   "import email, glob, smtplib, sys, urllib.parse\n"
                   "for f in glob.glob(sys.argv[1] + '/new/*'):\n"
                   "    m = email.message_from_binary_file(open(f, 'rb'))\n"
                   "    if m['X-Original-To'].startswith('reader2@'):\n"
                   "        url = urllib.parse.urlparse(m['List-Unsubscribe'].strip('<>'))\n"
                   "        subject = urllib.parse.parse_qs(url.query)['subject'][0]\n"
                   "        with smtplib.SMTP(sys.argv[2], 25) as s:\n"
                   "            s.sendmail('reader2@far.test', [url.path], 'From: "
                   "reader2@far.test\\r\\nTo: %s\\r\\nSubject: %s\\r\\n\\r\\n\\r\\n' % (url.path, "
                   "subject))\n"
                   "        print(subject)\n",
                   farMaildir, qEnvironmentVariable("BREVANT_E2E_HOST")});
    ASSERT_TRUE(request.waitForFinished(30'000));
    EXPECT_TRUE(request.readAllStandardOutput().startsWith("unsubscribe "))
        << request.readAllStandardError().toStdString();
    ASSERT_TRUE(h.waitFor([&] { return maildir().size() >= before.size() + 3; }, 30'000));
    const QStringList mailbox = maildir();

    h.dir.write("tema.txt", "Второй выпуск\n");
    h.dir.write("message.txt", "Снова здравствуйте!\n");
    h.boxes.clear();
    series();
    EXPECT_EQ(maildir(), mailbox) << "nothing marked read, moved or removed";
    ASSERT_EQ(h.boxes.size(), 1);
    EXPECT_TRUE(h.boxes[0].text.contains("вернулись как недоставленные — 2, отписались — 1"))
        << h.boxes[0].text.toStdString();
    // Each reader's copies, by the subject of each.
    const QByteArray second = Cp1251::fromUnicode(u"Второй выпуск").toBase64();
    QMap<QString, QStringList> copies;
    for (const QString &name : QDir(farMaildir + "/new").entryList(QDir::Files)) {
        QFile file(farMaildir + "/new/" + name);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray message = file.readAll();
        const qsizetype to = message.indexOf("X-Original-To: ");
        const QString reader = message.mid(to + 15, message.indexOf('\n', to) - to - 15).trimmed();
        if (reader.startsWith("reader"))
            copies[reader] << (message.contains("=?windows-1251?B?" + second + "?=") ? "second"
                                                                                     : "first");
    }
    for (QStringList &list : copies)
        list.sort();
    EXPECT_EQ(copies, (QMap<QString, QStringList>{{"reader1@far.test", {"first", "second"}},
                                                  {"reader2@far.test", {"first"}},
                                                  {"reader3@far.test", {"first", "second"}},
                                                  {"reader4@far.test", {"first", "second"}}}));
    for (const QString &name : QDir(h.dir.path()).entryList(QDir::Files)) {
        QFile file(h.dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_FALSE(file.readAll().contains(password.toUtf8())) << name.toStdString();
    }
    for (const Box &box : h.boxes)
        EXPECT_FALSE(box.text.contains(password));
}
