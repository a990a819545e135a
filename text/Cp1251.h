// Conversion between Windows-1251 job-file bytes and the QString shown in the window.
//
// Every one of the 256 byte values maps to exactly one character and back, so any byte of a
// job file survives a round trip through a text box unchanged. The byte 0x98, which the code
// page leaves unassigned, maps to U+0098.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

namespace Cp1251 {

// Bytes to text; never fails.
QString toUnicode(QByteArrayView bytes);

// Text to bytes. A character the code page lacks becomes '?'.
QByteArray fromUnicode(QStringView text);

// The byte of one character, or -1 when the code page lacks it.
int byteOf(char32_t character);

} // namespace Cp1251
