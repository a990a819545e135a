// The texts that go into commands (host, sender, recipient) and the texts shown to the user
// when a dialogue fails.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

namespace Smtp {

// Labels of the window's fields, used to name a field in an error message.
inline constexpr QStringView HostFieldName = u"Хост SMTP";
inline constexpr QStringView SenderFieldName = u"Ваш E-mail";
inline constexpr QStringView RecipientFieldName = u"E-mail адресата";

// Title of the message box for refused replies and invalid fields.
inline constexpr QStringView ErrorTitle = u"SMTP Error";

// Removes leading and trailing spaces (0x20); tabs and every other byte stay.
QByteArray trimmed(QByteArrayView text);

// An address as it goes into commands and headers: trimmed, and without one pair of angle
// brackets that encloses all of it ("<a@b>" gives "a@b"), which the commands add themselves.
QByteArray address(QByteArrayView field);

// True if `field` holds CR, LF or NUL. Such a field would end a command early or smuggle in
// one of its own, so it is never sent.
bool hasLineBreakOrNul(QByteArrayView field);

// "SMTP Error: поле «<fieldName>» содержит перевод строки или нулевой символ".
QString invalidFieldMessage(const QString &fieldName);

// "SMTP Error: поле «<fieldName>» не заполнено".
QString emptyFieldMessage(const QString &fieldName);

// "SMTP Error: " followed by the whole reply, its Windows-1251 bytes shown as text.
QString refusalMessage(QByteArrayView reply);

} // namespace Smtp
