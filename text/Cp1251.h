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

#include <array>

namespace Cp1251 {

namespace detail {
// Index: a code point below U+2200; value: its byte, or 0 when the code page lacks it.
extern const std::array<unsigned char, 0x2200> kByteOf;
} // namespace detail

// Bytes to text; never fails.
QString toUnicode(QByteArrayView bytes);

// Text to bytes. A character the code page lacks becomes '?'.
QByteArray fromUnicode(QStringView text);

// The byte of one character, or -1 when the code page lacks it. Inline: converting a UTF-8 job
// file calls it for every character that is not ASCII.
inline int byteOf(char32_t character)
{
    // Only U+0000 itself maps to the byte 0; a zero in the table means "not in the code page".
    if (character >= detail::kByteOf.size())
        return -1;
    const unsigned char b = detail::kByteOf[character];
    return b != 0 || character == 0 ? b : -1;
}

} // namespace Cp1251
