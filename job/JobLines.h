// The line rule of the job files.
//
// A line ends at CR LF, at CR or at LF; the terminator is not part of the line. Files made on
// Windows end their lines with CR LF, on Linux with LF, and on old Macs with CR, and a job may
// be put together from all three. An empty line is a line. A last line without a terminator
// is still a line; a terminator at the very end does not start a further, empty line.
#pragma once

#include <QByteArrayView>

#include <cstddef>

namespace JobLines {

// Offset of the first CR or LF at or after `from`, or the size of `data` when there is none.
inline qsizetype findLineEnd(QByteArrayView data, qsizetype from)
{
    const char *p = data.data() + from;
    const char *const end = data.data() + data.size();
    while (p < end && *p != '\r' && *p != '\n')
        ++p;
    return p - data.data();
}

// Calls `onLine(QByteArrayView line)` for each line of `data`, in order, while it returns
// true; returns how many lines were passed. Runs in time linear in the size of `data`.
template <typename OnLine> std::size_t forEachLine(QByteArrayView data, OnLine &&onLine)
{
    std::size_t count = 0;
    qsizetype pos = 0;
    while (pos < data.size()) {
        const qsizetype lineEnd = findLineEnd(data, pos);
        ++count;
        if (!onLine(data.sliced(pos, lineEnd - pos)))
            return count;
        pos = lineEnd;
        if (pos < data.size())
            pos += (data[pos] == '\r' && pos + 1 < data.size() && data[pos + 1] == '\n') ? 2 : 1;
    }
    return count;
}

// The first line of `data`: everything before the first CR or LF (all of it when there is none).
inline QByteArrayView firstLine(QByteArrayView data)
{
    return data.first(findLineEnd(data, 0));
}

} // namespace JobLines
