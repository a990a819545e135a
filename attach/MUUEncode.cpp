#include "MUUEncode.h"

#include "Cp1251.h"
#include "FileRead.h"

#include <QFile>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

// The line encoder is declared with plain C++ types; they are the ones Qt's names stand for.
static_assert(std::is_same_v<qint64, long long> && std::is_same_v<uchar, unsigned char>);

namespace MUUEncode {

namespace {

constexpr int kLineBytes = 45;     // file bytes in a full data line
constexpr int kFullLineChars = 62; // "M", 60 characters, LF
constexpr char kHeaderStart[] = "begin 664 ";
constexpr qsizetype kHeaderStartSize = sizeof(kHeaderStart) - 1;
constexpr qsizetype kTrailerSize = trailerSize;

// The file is read in chunks of whole lines, 128 KiB, so that only one chunk of the file is in
// memory next to the text, and the chunk is still in the processor's cache when it is encoded
// (measured faster than 1 MiB chunks).
constexpr qint64 kChunkLines = 2913;
constexpr qint64 kChunkBytes = kChunkLines * kLineBytes;

// Lets a large text be backed by huge pages where the kernel offers them on request: a 64 MiB
// file gives 88 MiB of text, and faulting that in as 4 KiB pages costs several times more than
// encoding it.
void adviseHugePages(char *data, qsizetype size)
{
#if defined(Q_OS_LINUX) && defined(MADV_HUGEPAGE)
    constexpr quintptr kHugePage = 2 * 1024 * 1024;
    if (size < qsizetype(4 * kHugePage))
        return;
    const quintptr begin = (quintptr(data) + kHugePage - 1) & ~(kHugePage - 1);
    const quintptr end = (quintptr(data) + quintptr(size)) & ~(kHugePage - 1);
    if (begin < end)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE); // only advice
#else
    Q_UNUSED(data);
    Q_UNUSED(size);
#endif
}

// The text being built at the end of `out`, from `start` on. `out` always has the size that has
// been asked for; what is written so far ends at `pos`.
class Output
{
public:
    Output(QByteArray &out, qsizetype start) : m_out(out), m_start(start), m_pos(start) {}

    // Makes room for the text up to `end`. The first reservation of a text that starts an empty
    // buffer is exact; anything later grows by half again, so a file that keeps growing while
    // it is read costs amortised constant time per byte.
    void ensure(qint64 wantedEnd)
    {
        if (wantedEnd > std::numeric_limits<qsizetype>::max())
            throw std::bad_alloc(); // beyond what one array can hold on this platform
        const auto end = qsizetype(wantedEnd);
        if (end <= m_out.size())
            return;
        const qsizetype capacity = m_out.capacity();
        if (end > capacity) {
            qsizetype wanted = end;
            if (m_start > 0 || m_grown) {
                const qsizetype half = capacity / 2;
                if (capacity <= std::numeric_limits<qsizetype>::max() - half)
                    wanted = std::max(end, capacity + half);
            }
            m_out.reserve(wanted);
            adviseHugePages(m_out.data(), m_out.capacity());
        }
        m_out.resize(end);
        m_grown = true;
    }

    char *at() { return m_out.data() + m_pos; }
    void advanceTo(const char *end) { m_pos = end - m_out.constData(); }
    qsizetype pos() const { return m_pos; }
    void finish() { m_out.resize(m_pos); }

private:
    QByteArray &m_out;
    qsizetype m_start;
    qsizetype m_pos;
    bool m_grown = false;
};

// Reads until `buffer` holds `size` bytes or the input ends; -1 on a read error.
qint64 fill(QIODevice &device, uchar *buffer, qint64 size)
{
    qint64 got = 0;
    while (got < size) {
        const qint64 n = device.read(reinterpret_cast<char *>(buffer) + got, size - got);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

QString failureText(const QString &path, const QString &reason)
{
    return QStringLiteral("«%1»: %2").arg(path, reason);
}

} // namespace

qsizetype encodedSize(qsizetype nameBytes, qint64 dataBytes)
{
    const qint64 lines = dataLinesSize(dataBytes);
    if (nameBytes < 0 || lines < 0)
        return -1;
    constexpr qint64 limit = std::numeric_limits<qsizetype>::max();
    const qint64 fixed = kHeaderStartSize + 1 + kTrailerSize;
    if (qint64(nameBytes) > limit - fixed || lines > limit - fixed - nameBytes)
        return -1;
    return qsizetype(fixed + nameBytes + lines);
}

char *writeHeader(QByteArrayView name, char *out)
{
    std::memcpy(out, kHeaderStart, kHeaderStartSize);
    out += kHeaderStartSize;
    if (!name.isEmpty())
        std::memcpy(out, name.data(), size_t(name.size()));
    out += name.size();
    *out++ = '\n';
    return out;
}

QByteArray fileNameOf(QStringView path)
{
#ifdef Q_OS_WIN
    const qsizetype cut = std::max(path.lastIndexOf(u'\\'), path.lastIndexOf(u'/'));
#else
    const qsizetype cut = path.lastIndexOf(u'/');
#endif
    QByteArray name = Cp1251::fromUnicode(path.mid(cut + 1));
    // A line break inside the name would end the header line early and put the rest of the
    // name into the data lines (and a CR into text that must hold none).
    name.replace('\r', '?');
    name.replace('\n', '?');
    return name;
}

QByteArray encode(QByteArrayView name, QByteArrayView data)
{
    const qsizetype total = encodedSize(name.size(), data.size());
    if (total < 0)
        throw std::bad_alloc();
    QByteArray text(total, Qt::Uninitialized);
    adviseHugePages(text.data(), text.size());
    char *out = writeHeader(name, text.data());
    out = encodeLines(reinterpret_cast<const uchar *>(data.data()), data.size(), out);
    out = writeTrailer(out);
    Q_ASSERT(out == text.constData() + total);
    return text;
}

bool appendDeviceText(QIODevice &device, QByteArrayView name, qint64 expectedSize, QByteArray &out,
                      qsizetype spareAfter)
{
    const qsizetype start = out.size();
    try {
        // The length taken up front sizes the text once; the reads decide what is encoded.
        const qsizetype expected = encodedSize(name.size(), std::max<qint64>(expectedSize, 0));
        if (expected < 0 || expected > std::numeric_limits<qsizetype>::max() - start)
            throw std::bad_alloc();

        Output text(out, start);
        if (spareAfter > 0 &&
            spareAfter <= std::numeric_limits<qsizetype>::max() - start - expected &&
            out.capacity() < start + expected + spareAfter) {
            out.reserve(start + expected + spareAfter);
            adviseHugePages(out.data(), out.capacity());
        }
        text.ensure(start + expected);
        text.advanceTo(writeHeader(name, text.at()));

        const std::unique_ptr<uchar[]> buffer(new uchar[kChunkBytes]);
        for (;;) {
            const qint64 got = fill(device, buffer.get(), kChunkBytes);
            if (got < 0) {
                out.resize(start);
                return false;
            }
            if (got == kChunkBytes) {
                text.ensure(text.pos() + kChunkLines * kFullLineChars);
                text.advanceTo(encodeFullLines(buffer.get(), kChunkLines, text.at()));
                continue;
            }
            // The input has ended: the rest, the last (possibly empty) line and the trailer.
            text.ensure(text.pos() + dataLinesSize(got) + kTrailerSize);
            char *end = encodeLines(buffer.get(), got, text.at());
            text.advanceTo(writeTrailer(end));
            break;
        }
        text.finish();
        return true;
    } catch (...) {
        out.resize(start);
        throw;
    }
}

QString appendFileText(const QString &path, QByteArray &out, qsizetype spareAfter)
{
    const qsizetype start = out.size();
    try {
        // A folder, a pipe or a device is refused before it is opened: a folder opens and
        // reads as empty on some systems, a pipe can block the open, a device never ends.
        if (const QString refused = FileRead::refusal(path); !refused.isNull())
            return failureText(path, refused);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return failureText(path, FileRead::reason(file));
        if (!appendDeviceText(file, fileNameOf(path), file.size(), out, spareAfter))
            return failureText(path, FileRead::reason(file));
        return QString();
    } catch (const std::bad_alloc &) {
        out.resize(start);
        return failureText(path, FileRead::outOfMemoryReason());
    }
}

EncodeResult UUEncodeFile(const QString &path)
{
    EncodeResult result;
    result.error = appendFileText(path, result.text);
    if (!result.ok()) {
        result.text = QByteArray();
        return result;
    }
    // A file whose length changed while it was read leaves unused room (shrunk, or grown by
    // half again); give it back (a shrinking reallocation, so no second copy of the text).
    if (result.text.capacity() - result.text.size() > 64 * 1024) {
        try {
            result.text.squeeze();
        } catch (const std::bad_alloc &) {
        }
    }
    return result;
}

} // namespace MUUEncode
