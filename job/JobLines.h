// The line rule of the job files.
//
// A line ends at CR or at CR LF; the terminator is not part of the line. A bare LF is an
// ordinary character of the line. An empty line is a line. A last line without a terminator
// is still a line; a terminator at the very end does not start a further, empty line.
#pragma once

#include <QByteArrayView>

#include <cstddef>
#include <cstring>

namespace JobLines {

// Calls `onLine(QByteArrayView line)` for each line of `data`, in order, while it returns
// true; returns how many lines were passed. Runs in time linear in the size of `data`.
template <typename OnLine> std::size_t forEachLine(QByteArrayView data, OnLine &&onLine)
{
    const char *p = data.data();
    const char *const end = p + data.size();
    std::size_t count = 0;
    while (p < end) {
        const char *cr = static_cast<const char *>(std::memchr(p, '\r', std::size_t(end - p)));
        const char *lineEnd = cr ? cr : end;
        ++count;
        if (!onLine(QByteArrayView(p, lineEnd - p)))
            return count;
        if (!cr)
            break;
        p = cr + 1;
        if (p < end && *p == '\n')
            ++p;
    }
    return count;
}

// The first line of `data`: everything before the first CR (all of it when there is none).
inline QByteArrayView firstLine(QByteArrayView data)
{
    QByteArrayView line;
    forEachLine(data, [&line](QByteArrayView l) {
        line = l;
        return false;
    });
    return line;
}

} // namespace JobLines
