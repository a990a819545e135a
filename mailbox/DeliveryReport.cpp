#include "DeliveryReport.h"

#include "Mime.h"

namespace Mailbox {

namespace {

constexpr int MaxDepth = 8; // of nested multiparts

struct Parts
{
    QByteArray status;         // the decoded body of message/delivery-status
    QByteArray returnedHeader; // of the returned message or its header part
};

// The address of "type; address", without brackets.
QByteArray typedAddress(QByteArrayView value)
{
    const qsizetype semicolon = value.indexOf(';');
    return addressOf(semicolon < 0 ? value : value.sliced(semicolon + 1));
}

// The groups of fields of a delivery-status body, separated by empty lines.
QList<Header> statusGroups(QByteArrayView body)
{
    QList<Header> groups;
    qsizetype pos = 0;
    while (pos < body.size()) {
        qsizetype next = 0;
        Header group = Header::parse(body.sliced(pos), &next);
        if (next == 0)
            break;
        pos += next;
        if (!group.fields().isEmpty())
            groups.append(std::move(group));
    }
    return groups;
}

void collect(QByteArrayView entity, int depth, Parts &parts)
{
    qsizetype bodyStart = 0;
    const Header header = Header::parse(entity, &bodyStart);
    const ContentType type = ContentType::parse(header.value("Content-Type"));
    const QByteArrayView body = entity.sliced(bodyStart);
    if (type.isMultipart()) {
        if (depth < MaxDepth)
            for (const QByteArrayView part : multipartParts(body, type.param("boundary")))
                collect(part, depth + 1, parts);
        return;
    }
    const QByteArray encoding = header.value("Content-Transfer-Encoding");
    if (parts.status.isNull() &&
        (type.type == "message/delivery-status" || type.type == "message/global-delivery-status"))
        parts.status = decodeBody(body, encoding);
    const bool wholeMessage = type.type == "message/rfc822" || type.type == "message/global";
    const bool headerOnly =
        type.type == "text/rfc822-headers" || type.type == "message/global-headers";
    if (parts.returnedHeader.isNull() && (wholeMessage || headerOnly)) {
        const QByteArray decoded = decodeBody(body, encoding);
        qsizetype end = 0;
        Header::parse(decoded, &end);
        parts.returnedHeader = decoded.left(end);
    }
}

} // namespace

QByteArray normalizedMessageId(QByteArrayView value)
{
    QByteArray id;
    for (const char c : value)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            id += c;
    const qsizetype open = id.indexOf('<');
    const qsizetype close = id.indexOf('>', open + 1);
    if (open >= 0 && close > open + 1)
        return id.mid(open, close - open + 1);
    if (open < 0 && id.contains('@') && !id.contains('>'))
        return '<' + id + '>';
    return {};
}

std::optional<DeliveryReport> parseDeliveryReport(QByteArrayView message)
{
    const Header header = Header::parse(message);
    const ContentType type = ContentType::parse(header.value("Content-Type"));
    const QByteArray reportType = type.param("report-type").toLower();
    if (type.type != "multipart/report" ||
        (reportType != "delivery-status" && reportType != "global-delivery-status"))
        return std::nullopt;
    Parts parts;
    collect(message, 0, parts);
    if (parts.status.isNull())
        return std::nullopt;

    DeliveryReport report;
    const QList<Header> groups = statusGroups(parts.status);
    // The first group is about the message (Reporting-MTA, Arrival-Date), each other one about
    // one recipient; a group with neither Final-Recipient nor Action is no recipient's.
    for (qsizetype i = 0; i < groups.size(); ++i) {
        const Header &g = groups[i];
        RecipientStatus r;
        r.finalRecipient = typedAddress(g.value("Final-Recipient"));
        r.originalRecipient = typedAddress(g.value("Original-Recipient"));
        r.action = g.value("Action").toLower();
        const QByteArray status = g.value("Status");
        const qsizetype space = status.indexOf(' ');
        r.status = space < 0 ? status : status.left(space);
        r.diagnostic = g.value("Diagnostic-Code").simplified();
        if (!r.finalRecipient.isEmpty() || !r.action.isEmpty())
            report.recipients.append(r);
    }
    report.returnedHeader = parts.returnedHeader;
    report.messageId = normalizedMessageId(Header::parse(parts.returnedHeader).value("Message-ID"));
    return report;
}

} // namespace Mailbox
