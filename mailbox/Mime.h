// The parts of Internet messages that reading a mailbox needs (RFC 5322, RFC 2045-2047): header
// fields unfolded, Content-Type and its parameters, the transfer encodings, multipart bodies, and
// encoded-words. Everything works on bytes as received; nothing here fails, a malformed message
// simply yields less.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

namespace Mailbox {

struct Field
{
    QByteArray name;  // as written
    QByteArray value; // unfolded: every line break inside it removed, leading spaces trimmed
};

class Header
{
public:
    // The header block at the start of `message`, up to the first empty line (or all of it);
    // `bodyStart`, if given, gets where the body begins. Line ends may be CR LF or LF.
    static Header parse(QByteArrayView message, qsizetype *bodyStart = nullptr);

    // The first field of this name (any case), trimmed; null if there is none.
    QByteArray value(QByteArrayView name) const;
    const QList<Field> &fields() const { return m_fields; }

private:
    QList<Field> m_fields;
};

struct ContentType
{
    QByteArray type = "text/plain";              // lower case, "type/subtype"
    QList<QPair<QByteArray, QByteArray>> params; // names lower case, values unquoted

    static ContentType parse(QByteArrayView value); // an empty or broken value: text/plain
    QByteArray param(QByteArrayView name) const;    // null if absent
    bool isMultipart() const { return type.startsWith("multipart/"); }
};

// A body in its Content-Transfer-Encoding: base64 and quoted-printable are decoded, anything
// else (7bit, 8bit, binary, none) is taken as it is.
QByteArray decodeBody(QByteArrayView body, QByteArrayView transferEncoding);
QByteArray decodeQuotedPrintable(QByteArrayView text);

// The parts of a multipart body (RFC 2046, 5.1.1) between the delimiter lines of `boundary`,
// each with its own header. The preamble and epilogue are left out. A body that ends before its
// closing delimiter (a message fetched only in part) ends its last part where it ends.
QList<QByteArrayView> multipartParts(QByteArrayView body, QByteArrayView boundary);

// A header field's text with its encoded-words (RFC 2047) decoded: "B" and "Q" encodings in
// UTF-8, US-ASCII, ISO-8859-1, Windows-1251 and KOI8-R (other charsets are read as ISO-8859-1);
// the space between two adjacent encoded-words goes. Text outside them is read as UTF-8.
QString decodeWords(QByteArrayView value);

// The address of an address field: the text in the last "<...>", or the value without comments
// and spaces; empty if there is none.
QByteArray addressOf(QByteArrayView value);

} // namespace Mailbox
