// The fields that go into commands (host, sender, recipient): how they are cleaned, and which
// of them must never be sent.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace Smtp {

// Removes leading and trailing spaces (0x20); tabs and every other byte stay.
QByteArray trimmed(QByteArrayView text);

// An address as it goes into commands and headers: trimmed, and without one pair of angle
// brackets that encloses all of it ("<a@b>" gives "a@b"), which the commands add themselves.
QByteArray address(QByteArrayView field);

// True if `field` holds CR, LF or NUL. Such a field would end a command early or smuggle in
// one of its own, so it is never sent.
bool hasLineBreakOrNul(QByteArrayView field);

} // namespace Smtp
