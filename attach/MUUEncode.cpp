#include "MUUEncode.h"

#include "Cp1251.h"
#include "FileRead.h"
#include "UULines.h"

#include <QFile>

#include <algorithm>
#include <limits>
#include <new>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

namespace {

// Makes room at the end of `out` for the text of `dataBytes` bytes and `extra` bytes after it,
// without moving `out` when its capacity suffices, and writes the header; returns where the
// data lines go.
char *startText(QByteArray &out, QByteArrayView name, qint64 dataBytes, qsizetype extra = 0)
{
    const qsizetype start = out.size(), size = MUUEncode::encodedSize(name.size(), dataBytes);
    if (size < 0 || size > std::numeric_limits<qsizetype>::max() - start - extra)
        throw std::bad_alloc();
    out.reserve(start + size + extra);
#ifdef Q_OS_LINUX
    // Faulting a large text in page by page costs more than encoding it: ask for huge pages.
    const quintptr from = (quintptr(out.data()) + 4095) & ~quintptr(4095);
    if (size >= 4 << 20)
        madvise(reinterpret_cast<void *>(from), quintptr(out.data()) + out.capacity() - from,
                MADV_HUGEPAGE);
#endif
    out.resize(start + size);
    char *at =
        std::copy(name.begin(), name.end(), std::copy_n("begin 664 ", 10, out.data() + start));
    *at = '\n';
    return at + 1;
}

} // namespace

qsizetype MUUEncode::encodedSize(qsizetype nameBytes, qint64 dataBytes)
{
    const qint64 fixed = 19 + 4 * ((dataBytes % 45 + 2) / 3); // header, last line, trailer
    const qint64 room = std::numeric_limits<qsizetype>::max() - fixed;
    if (nameBytes < 0 || dataBytes < 0 || nameBytes > room ||
        dataBytes / 45 > (room - nameBytes) / 62)
        return -1;
    return qsizetype(nameBytes + fixed + dataBytes / 45 * 62);
}

QByteArray MUUEncode::fileNameOf(QStringView path)
{
    qsizetype cut = path.lastIndexOf(u'/');
#ifdef Q_OS_WIN
    cut = std::max(cut, path.lastIndexOf(u'\\'));
#endif
    // A line break in the name would end the header line early.
    return Cp1251::fromUnicode(path.sliced(cut + 1)).replace('\r', '?').replace('\n', '?');
}

QByteArray MUUEncode::encode(QByteArrayView name, QByteArrayView data)
{
    QByteArray text;
    MUUEncode::encodeLines(data.data(), data.size(), startText(text, name, data.size()), true);
    return text;
}

QString MUUEncode::appendFileText(const QString &path, QByteArray &out, QByteArrayView after)
{
    const qsizetype start = out.size();
    QFile file(path);
    // A folder, a pipe or a device is refused unopened: a pipe can block, a device never ends.
    QString reason = FileRead::refusal(path);
    try {
        if (reason.isNull() && file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            // Sized once for the file's length; the text encodes the bytes read, more or fewer.
            char *end = startText(out, fileNameOf(path), file.size(), after.size());
            // Chunks of whole lines, 128 KiB: still in the cache when they are encoded.
            QByteArray chunk(2913 * 45, Qt::Uninitialized);
            qint64 got = chunk.size(), n = 0;
            while (got == chunk.size() && n >= 0) {
                for (got = 0; got < chunk.size() &&
                              (n = file.read(chunk.data() + got, chunk.size() - got)) > 0;)
                    got += n;
                const qsizetype pos = end - out.constData();
                out.resize(std::max(out.size(), pos + encodedSize(0, got) - 11)); // if it grew
                end = MUUEncode::encodeLines(chunk.constData(), got, out.data() + pos,
                                             got < chunk.size());
            }
            out.resize(n < 0 ? start : end - out.constData());
            if (n >= 0) {
                out.append(after);
                return QString();
            }
        }
        if (reason.isNull())
            reason = FileRead::reason(file);
    } catch (const std::bad_alloc &) {
        out.resize(start);
        reason = FileRead::outOfMemoryReason();
    }
    return QStringLiteral("«%1»: %2").arg(path, reason);
}

MUUEncode::EncodeResult MUUEncode::UUEncodeFile(const QString &path)
{
    QByteArray text;
    const QString error = appendFileText(path, text);
    return {error.isNull() ? std::move(text) : QByteArray(), error};
}
