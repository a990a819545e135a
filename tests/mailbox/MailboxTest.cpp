// Catches: a bounce missed or found where there is none (a delayed report, an automatic reply,
// the newsletter itself), the wrong Message-ID, recipient or token; a report read otherwise than
// Python's email package reads it; a report cut short read wrong.
#include "Classify.h"
#include "DeliveryReport.h"
#include "Headers.h"
#include "Mime.h"
#include "TestSupport.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

using Mailbox::Finding;

QByteArray message(const QString &name)
{
    QFile file(QStringLiteral(BREVANT_MESSAGES "/") + name);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
    return file.readAll();
}

struct Expected
{
    QString file;
    QByteArray kind, key, address;
    QString text;
};

QList<Expected> findings()
{
    QFile file(QStringLiteral(BREVANT_FINDINGS));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    QList<Expected> all;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> words = line.split(' ');
        Expected e{QString::fromUtf8(words[0]), words[1], {}, {}, {}};
        if (e.kind != "-") {
            e.key = words[2];
            e.address = words[3];
            e.text = QString::fromUtf8(words.mid(4).join(' '));
        }
        all.append(e);
    }
    return all;
}

// The fields an IMAP header fetch of ClassifyingFields returns: those fields alone, in the
// message's order, and the empty line.
QByteArray classifyingFields(QByteArrayView whole)
{
    QByteArray fields;
    qsizetype pos = 0;
    bool keep = false;
    for (const QByteArray &line : whole.toByteArray().split('\n')) {
        pos += line.size() + 1;
        if (line == "\r" || line.isEmpty())
            break;
        if (line[0] != ' ' && line[0] != '\t')
            keep = Mailbox::ClassifyingFields.contains(line.left(line.indexOf(':')).toUpper());
        if (keep)
            fields += line + '\n';
    }
    return fields + "\r\n";
}

void expectFinding(const std::optional<Finding> &f, const Expected &e)
{
    if (e.kind == "-") {
        EXPECT_FALSE(f.has_value()) << f->messageId.toStdString() << f->token.toStdString();
        return;
    }
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->kind, e.kind == "Bounced" ? Finding::Kind::Bounced : Finding::Kind::Unsubscribed);
    EXPECT_EQ(e.kind == "Bounced" ? f->messageId : f->token, e.key);
    EXPECT_TRUE((e.kind == "Bounced" ? f->token : f->messageId).isEmpty());
    EXPECT_EQ(f->address, e.address);
    EXPECT_EQ(f->text, e.text);
}

} // namespace

TEST(Classify, FindingsOfEveryMessage)
{
    const QList<Expected> all = findings();
    ASSERT_EQ(all.size(), QDir(QStringLiteral(BREVANT_MESSAGES)).entryList(QDir::Files).size())
        << "every message has its line";
    for (const Expected &e : all) {
        SCOPED_TRACE(e.file.toStdString());
        const QByteArray whole = message(e.file);
        expectFinding(Mailbox::classify(whole), e);
        // As the IMAP scan reads it: the classifying fields of every message, and the whole
        // beginning of those that these fields say may be reports.
        const QByteArray fields = classifyingFields(whole);
        const bool report = whole.contains("multipart/report");
        EXPECT_EQ(Mailbox::mayBeReport(fields), report);
        if (!report)
            expectFinding(Mailbox::classify(fields), e);
    }
}

// Our reading of each message beside Python's: the decoded subject, the sender's address, and
// for a delivery report every recipient's fields and the returned Message-ID.
TEST(Classify, ReadsEveryMessageAsPythonsEmailDoes)
{
    SKIP_WITHOUT_PYTHON();
    const QStringList files = QDir(QStringLiteral(BREVANT_MESSAGES)).entryList(QDir::Files);
    QStringList arguments{QStringLiteral(BREVANT_JUDGE)};
    for (const QString &f : files)
        arguments << QStringLiteral(BREVANT_MESSAGES "/") + f;
    QProcess judge;
    judge.start("python3", arguments);
    ASSERT_TRUE(judge.waitForFinished()) << judge.errorString().toStdString();
    ASSERT_EQ(judge.exitCode(), 0) << judge.readAllStandardError().toStdString();
    const QList<QByteArray> lines = judge.readAllStandardOutput().trimmed().split('\n');
    ASSERT_EQ(lines.size(), files.size());
    for (qsizetype i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].toStdString());
        const QJsonObject python = QJsonDocument::fromJson(lines[i]).object();
        const QByteArray whole = message(files[i]);
        const Mailbox::Header header = Mailbox::Header::parse(whole);
        EXPECT_EQ(Mailbox::decodeWords(header.value("Subject")), python["subject"].toString());
        EXPECT_EQ(QString(Mailbox::addressOf(header.value("From"))), python["from"].toString());
        const std::optional<Mailbox::DeliveryReport> report = Mailbox::parseDeliveryReport(whole);
        ASSERT_EQ(report.has_value(), python["report"].toBool());
        if (!report)
            continue;
        QJsonArray ours;
        for (const Mailbox::RecipientStatus &r : report->recipients)
            ours.append(QJsonArray{QString(r.finalRecipient), QString(r.originalRecipient),
                                   QString(r.action), QString(r.status),
                                   QString::fromUtf8(r.diagnostic)});
        EXPECT_EQ(ours, python["recipients"].toArray());
        EXPECT_EQ(QString(report->messageId), python["message_id"].toString());
    }
}

// A report fetched only in part still names the returned message once its Message-ID has come;
// cut before the machine-readable part, it is no report of anything.
TEST(Classify, AReportCutShort)
{
    for (const char *file : {"postfix-bounce.eml", "gmail-style.eml", "exchange-style.eml"}) {
        SCOPED_TRACE(file);
        const QByteArray whole = message(file);
        const std::optional<Finding> full = Mailbox::classify(whole);
        ASSERT_TRUE(full.has_value());
        const qsizetype id = whole.indexOf("Message-ID:", whole.indexOf("message/delivery-status"));
        ASSERT_GT(id, 0);
        const qsizetype afterId = whole.indexOf('\n', whole.indexOf('>', id)) + 1;
        for (qsizetype cut = afterId; cut < whole.size(); cut += 37) {
            const std::optional<Finding> f = Mailbox::classify(whole.left(cut));
            ASSERT_TRUE(f.has_value()) << cut;
            EXPECT_EQ(*f, *full) << cut;
        }
        EXPECT_FALSE(Mailbox::classify(whole.left(whole.indexOf("Action:"))).has_value());
    }
}

TEST(Classify, SubjectsThatAreRequestsAndThoseThatAreNot)
{
    const struct
    {
        const char *subject, *token; // nullptr: no request
    } cases[] = {
        {"unsubscribe 0123456789ABCDEF", "0123456789ABCDEF"},
        {"UNSUBSCRIBE 0123456789abcdef", "0123456789ABCDEF"},
        {"  Re: Fwd: unsubscribe\t0123456789ABCDEF", "0123456789ABCDEF"},
        {"RE[2]: FW: unsubscribe 0123456789ABCDEF please", "0123456789ABCDEF"},
        {"=?UTF-8?B?0J7RgtCy0LXRgjo=?= unsubscribe 0123456789ABCDEF", "0123456789ABCDEF"},
        {"=?windows-1251?Q?=CE=F2=E2=E5=F2:_unsubscribe_0123456789ABCDEF?=", "0123456789ABCDEF"},
        {"=?UTF-8?Q?unsubscribe_0123456789abcdef?=", "0123456789ABCDEF"},
        {"unsubscribe 0123456789ABCDE", nullptr},   // 15 digits
        {"unsubscribe 0123456789ABCDEF0", nullptr}, // 17
        {"unsubscribe 0123456789ABCDEG", nullptr},  // not hex
        {"unsubscribe0123456789ABCDEF", nullptr},   // no space
        {"Please unsubscribe 0123456789ABCDEF", nullptr},
        {"Re: Новости за декабрь", nullptr},
        {"unsubscribe", nullptr},
        {"", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.subject);
        const QByteArray token = Mailbox::requestToken(c.subject);
        if (c.token)
            EXPECT_EQ(token, c.token);
        else
            EXPECT_TRUE(token.isNull()) << token.toStdString();
    }
}

// The token read from every Message-ID the program makes is its random number's 16 digits, as
// List-Unsubscribe will carry them; other Message-IDs have none.
TEST(Classify, TokenOfTheProgramsMessageIds)
{
    const QDateTime date(QDate(2026, 12, 7), QTime(9, 41, 53), QTimeZone(3 * 3600));
    QList<quint64> randoms = {0, 1, 0xffffffffffffffffu, 0x0123456789abcdefu};
    for (int i = 0; i < 100; ++i)
        randoms.append(QRandomGenerator::global()->generate64());
    for (const quint64 r : randoms) {
        const QByteArray id = Smtp::messageId(date, r, "news@example.test");
        EXPECT_EQ(Mailbox::unsubscribeToken(id),
                  QByteArray::number(r, 16).rightJustified(16, '0').toUpper())
            << id.toStdString();
        EXPECT_EQ(Mailbox::unsubscribeToken(id.toLower()), Mailbox::unsubscribeToken(id));
    }
    for (const char *other :
         {"<ooo-1@far.test>", "<20261207064153.0123456789ABCDE@x>",
          "<2026120706415.30123456789ABCDEF@x>", "<20261207064153.0123456789ABCDEFG@x>",
          "<2026120706415x.0123456789ABCDEF@x>", "", "<>"})
        EXPECT_TRUE(Mailbox::unsubscribeToken(other).isNull()) << other;
}
