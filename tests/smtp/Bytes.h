// Wire bytes in failure messages, with control characters escaped.
#pragma once

#include <QByteArray>

#include <ostream>

inline void PrintTo(const QByteArray &bytes, std::ostream *os)
{
    *os << '"';
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '"' || c == '\\')
            *os << "\\x"
                << "0123456789abcdef"[u >> 4] << "0123456789abcdef"[u & 15];
        else
            *os << c;
    }
    *os << '"';
}
