// Readable failure output for wire bytes: control characters are shown escaped.
#pragma once

#include <QByteArray>

#include <ostream>

inline void PrintTo(const QByteArray &bytes, std::ostream *os)
{
    *os << '"';
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r')
            *os << "\\r";
        else if (c == '\n')
            *os << "\\n";
        else if (c == '"' || c == '\\')
            *os << '\\' << c;
        else if (u < 0x20 || u >= 0x7F)
            *os << "\\x"
                << "0123456789abcdef"[u >> 4] << "0123456789abcdef"[u & 15];
        else
            *os << c;
    }
    *os << '"';
}

// A byte string that may hold NUL bytes, from a string literal.
template <qsizetype N> QByteArray bytes(const char (&literal)[N])
{
    return QByteArray(literal, N - 1);
}
