// The recipient of a line of the list: the address for RCPT TO and the name for the To field.
//
// Address books export "Name <address>", spreadsheets "address;name"; a list of bare addresses
// reads as bare addresses. The forms, tried in this order on the Windows-1251 bytes of a line
// (blanks are spaces and tabs; "specials" are ( ) < > [ ] : ; @ \ , and the double quote):
//
// 1. A bare address: the line is bare when Smtp::address(line), the line trimmed of spaces and
//    without one pair of angle brackets enclosing it all, holds none of < > " ; , and tab. It
//    gives that, and no name: "anna@example.ru", " <anna@example.ru> ".
// 2. A name and an address in angle brackets: the line, trimmed of blanks, ends with ">"; what
//    lies between the last "<" and that ">", trimmed of blanks, is an address (see below), and
//    what lies before the "<", trimmed of blanks, is a name: either one quoted string ("...",
//    where \" and \\ stand for " and \, and the text inside is kept as it is) or words without
//    specials (runs of blanks between them become one space; Cyrillic bytes are letters).
//    "Анна Иванова <anna@example.ru>", "\"Иванова, Анна\" <anna@example.ru>".
// 3. A row of fields: the line is split at ";" if one stands outside double quotes, else at
//    tab, else at ",". Double quotes open and close a quoted part, in which no separator
//    splits. Each field is trimmed of blanks, and one that then starts and ends with a double
//    quote loses them, with "" inside standing for ". When exactly one field is an address, or
//    an address in angle brackets, the row gives it, and the first other non-empty field
//    (trimmed of blanks again) is the name: "anna@example.ru;Анна Иванова",
//    "\"Иванова, Анна\",anna@example.ru", "anna@example.ru;" (no name).
// 4. Any other line (no address, two of them, a broken quote) gives Smtp::address(line) and no
//    name, so that it goes to the server as the line holds it, and the server decides.
//
// An address here is at least one byte, "@", at least one byte, with none of the blanks and
// < > " ; , among them.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace Smtp {

struct Recipient
{
    QByteArray address; // as it goes into RCPT TO
    QByteArray name;    // Windows-1251, for the To field; empty when the line gives none
};

// The recipient of one line of the list (or of the recipient box), in time linear in its size.
Recipient recipientOfLine(QByteArrayView line);

} // namespace Smtp
