#include "Classify.h"

#include "DeliveryReport.h"
#include "Mime.h"

#include <QRegularExpression>

namespace Mailbox {

namespace {

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

std::optional<Finding> bounce(const DeliveryReport &report)
{
    if (report.messageId.isEmpty())
        return std::nullopt; // about no message the program sent
    for (const RecipientStatus &r : report.recipients) {
        if (r.action != "failed" || !r.status.startsWith("5."))
            continue;
        Finding f;
        f.kind = Finding::Kind::Bounced;
        f.messageId = report.messageId;
        f.address = r.originalRecipient.isEmpty() ? r.finalRecipient : r.originalRecipient;
        f.text =
            QString::fromUtf8(r.diagnostic.isEmpty() ? r.status : r.status + ' ' + r.diagnostic);
        return f;
    }
    return std::nullopt;
}

} // namespace

bool mayBeReport(QByteArrayView header)
{
    return ContentType::parse(Header::parse(header).value("Content-Type")).type ==
           "multipart/report";
}

std::optional<Finding> classify(QByteArrayView message)
{
    const Header header = Header::parse(message);
    if (ContentType::parse(header.value("Content-Type")).type == "multipart/report") {
        const std::optional<DeliveryReport> report = parseDeliveryReport(message);
        return report ? bounce(*report) : std::nullopt;
    }
    if (!header.value("List-Unsubscribe").isNull())
        return std::nullopt; // a newsletter: the sender's own copy, or anybody's
    if (header.value("Auto-Submitted").trimmed().toLower().startsWith("auto-replied"))
        return std::nullopt; // an out-of-office or other automatic reply
    const QByteArray token = requestToken(header.value("Subject"));
    if (token.isNull())
        return std::nullopt;
    Finding f;
    f.kind = Finding::Kind::Unsubscribed;
    f.token = token;
    const QByteArray from = header.value("From");
    f.address = addressOf(from);
    f.text = decodeWords(from).simplified();
    return f;
}

QByteArray unsubscribeToken(QByteArrayView messageId)
{
    QByteArrayView id = messageId.trimmed();
    if (id.startsWith('<'))
        id = id.sliced(1);
    const qsizetype at = id.indexOf('@');
    if (at != 31 || id[14] != '.')
        return {};
    for (qsizetype i = 0; i < 14; ++i)
        if (id[i] < '0' || id[i] > '9')
            return {};
    for (qsizetype i = 15; i < 31; ++i)
        if (!isHex(id[i]))
            return {};
    return id.sliced(15, 16).toByteArray().toUpper();
}

QByteArray requestToken(QByteArrayView subject)
{
    // Prefixes: a word of letters (any script) with an optional count, and a colon.
    static const QRegularExpression request(
        QStringLiteral("^\\s*(?:\\p{L}{1,12}(?:\\s*[\\[(]\\d{1,3}[\\])])?\\s*:\\s*)*"
                       "unsubscribe\\s+([0-9a-f]{16})(?:\\s|$)"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
    const QRegularExpressionMatch match = request.match(decodeWords(subject));
    if (!match.hasMatch())
        return {};
    return match.captured(1).toLatin1().toUpper();
}

} // namespace Mailbox
