#include "MUUEncode.h"

#include "Cp1251.h"
#include "FileRead.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define BREVANT_UU_SSSE3 1
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

namespace MUUEncode {

namespace {

constexpr int kLineBytes = 45;     // file bytes in a full data line
constexpr int kFullLineChars = 62; // "M", 60 characters, LF
constexpr char kHeaderStart[] = "begin 664 ";
constexpr qsizetype kHeaderStartSize = sizeof(kHeaderStart) - 1;
constexpr char kTrailer[] = "`\nend\n";
constexpr qsizetype kTrailerSize = sizeof(kTrailer) - 1;

// The file is read in chunks of whole lines, 128 KiB, so that only one chunk of the file is in
// memory next to the text, and the chunk is still in the processor's cache when it is encoded
// (measured faster than 1 MiB chunks).
constexpr qint64 kChunkLines = 2913;
constexpr qint64 kChunkBytes = kChunkLines * kLineBytes;

// The character for a 6-bit value: value + 32, with the space (value 0) written as "`".
constexpr char uuChar(unsigned value)
{
    return value == 0 ? '`' : char(value + 32);
}

// Two output characters for every 12-bit value, so one group of three bytes takes two look-ups
// and the space substitution costs nothing.
struct PairTable
{
    char pairs[4096][2];
};

constexpr PairTable makePairTable()
{
    PairTable table{};
    for (unsigned value = 0; value < 4096; ++value) {
        table.pairs[value][0] = uuChar(value >> 6);
        table.pairs[value][1] = uuChar(value & 63);
    }
    return table;
}

constexpr PairTable kPairs = makePairTable();

inline void putPair(unsigned value12, char *out)
{
    std::memcpy(out, kPairs.pairs[value12], 2);
}

// Four characters for the 24-bit group `group`.
inline void putGroup(std::uint32_t group, char *out)
{
    putPair(group >> 12, out);
    putPair(group & 0xfff, out + 2);
}

inline std::uint32_t loadGroup(const uchar *in)
{
    return std::uint32_t(in[0]) << 16 | std::uint32_t(in[1]) << 8 | in[2];
}

// Two groups (six bytes) from one eight-byte load; reads in[0..7].
inline void putTwoGroups(const uchar *in, char *out)
{
    std::uint64_t word;
    std::memcpy(&word, in, 8);
    word = qFromBigEndian(word);
    putPair(unsigned(word >> 52), out);
    putPair(unsigned(word >> 40) & 0xfff, out + 2);
    putPair(unsigned(word >> 28) & 0xfff, out + 4);
    putPair(unsigned(word >> 16) & 0xfff, out + 6);
}

// Groups 1 to 14 in pairs: the eight-byte load at byte 36 ends at byte 43, inside the line.
template <std::size_t... Pair>
inline void putFourteenGroups(const uchar *in, char *out, std::index_sequence<Pair...>)
{
    (putTwoGroups(in + 6 * Pair, out + 8 * Pair), ...);
}

inline char *encodeFullLine(const uchar *in, char *out)
{
    out[0] = 'M';
    putFourteenGroups(in, out + 1, std::make_index_sequence<7>{});
    putGroup(loadGroup(in + 42), out + 57);
    out[61] = '\n';
    return out + kFullLineChars;
}

inline qint64 lastLineChars(int count)
{
    return 2 + 4 * ((count + 2) / 3);
}

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

qint64 dataLinesSize(qint64 dataBytes)
{
    if (dataBytes < 0)
        return -1;
    const qint64 lines = dataBytes / kLineBytes;
    const qint64 last = lastLineChars(int(dataBytes % kLineBytes));
    if (lines > (std::numeric_limits<qint64>::max() - last) / kFullLineChars)
        return -1;
    return lines * kFullLineChars + last;
}

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

char *encodeFullLinesPortable(const uchar *data, qint64 lineCount, char *out)
{
    for (qint64 i = 0; i < lineCount; ++i) {
        out = encodeFullLine(data, out);
        data += kLineBytes;
    }
    return out;
}

namespace {

#ifdef BREVANT_UU_SSSE3

// Sixteen characters from the four groups that start at the bytes `first`, `first` + 3, ...
// of `in` (the fourth group is a repeat of the third when `first` is 7).
__attribute__((target("ssse3"))) inline __m128i encodeFourGroups(__m128i in, __m128i spread)
{
    // Each 32-bit lane gets the bytes b1 b0 b2 b1 of its group; two multiplications then move
    // the four 6-bit values of the group into the four bytes of the lane, in output order.
    in = _mm_shuffle_epi8(in, spread);
    const __m128i t0 = _mm_and_si128(in, _mm_set1_epi32(0x0fc0fc00));
    const __m128i t1 = _mm_mulhi_epu16(t0, _mm_set1_epi32(0x04000040));
    const __m128i t2 = _mm_and_si128(in, _mm_set1_epi32(0x003f03f0));
    const __m128i t3 = _mm_mullo_epi16(t2, _mm_set1_epi32(0x01000010));
    const __m128i values = _mm_or_si128(t1, t3);
    // value + 32, and the value 0 (which would be a space) + 96.
    const __m128i zero = _mm_cmpeq_epi8(values, _mm_setzero_si128());
    return _mm_add_epi8(_mm_add_epi8(values, _mm_set1_epi8(32)),
                        _mm_and_si128(zero, _mm_set1_epi8(64)));
}

__attribute__((target("ssse3"))) char *encodeFullLinesSsse3(const uchar *data, qint64 lineCount,
                                                            char *out)
{
    const __m128i spread0 = _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    const __m128i spread7 =
        _mm_setr_epi8(8, 7, 9, 8, 11, 10, 12, 11, 14, 13, 15, 14, 14, 13, 15, 14);
    for (qint64 i = 0; i < lineCount; ++i, data += kLineBytes, out += kFullLineChars) {
        // Bytes 0-35 in three loads of which 12 bytes each are used, bytes 36-44 from a load of
        // bytes 29-44, so nothing outside the line is read.
        const auto *in = reinterpret_cast<const __m128i *>(data);
        const __m128i a = encodeFourGroups(_mm_loadu_si128(in), spread0);
        const __m128i b = encodeFourGroups(
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 12)), spread0);
        const __m128i c = encodeFourGroups(
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 24)), spread0);
        const __m128i d = encodeFourGroups(
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 29)), spread7);
        out[0] = 'M';
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 1), a);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 17), b);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 33), c);
        // Only twelve characters of `d` belong to the line.
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + 49), d);
        const int last4 = _mm_cvtsi128_si32(_mm_srli_si128(d, 8));
        std::memcpy(out + 57, &last4, 4);
        out[61] = '\n';
    }
    return out;
}

bool detectSsse3()
{
    __builtin_cpu_init(); // may run before the constructors that would otherwise do it
    return __builtin_cpu_supports("ssse3");
}

const bool kHaveSsse3 = detectSsse3();

#endif

} // namespace

char *encodeFullLines(const uchar *data, qint64 lineCount, char *out)
{
#ifdef BREVANT_UU_SSSE3
    if (kHaveSsse3)
        return encodeFullLinesSsse3(data, lineCount, out);
#endif
    return encodeFullLinesPortable(data, lineCount, out);
}

char *encodeLastLine(const uchar *data, int count, char *out)
{
    Q_ASSERT(count >= 0 && count < kLineBytes);
    *out++ = uuChar(unsigned(count));
    const int groups = count / 3;
    for (int g = 0; g < groups; ++g, data += 3, out += 4)
        putGroup(loadGroup(data), out);
    if (const int rest = count % 3) {
        // The last group is filled up with spaces, not zero bytes.
        uchar padded[3] = {' ', ' ', ' '};
        std::memcpy(padded, data, size_t(rest));
        putGroup(loadGroup(padded), out);
        out += 4;
    }
    *out++ = '\n';
    return out;
}

char *encodeLines(const uchar *data, qint64 size, char *out)
{
    const qint64 lines = size / kLineBytes;
    out = encodeFullLines(data, lines, out);
    return encodeLastLine(data + lines * kLineBytes, int(size % kLineBytes), out);
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

char *writeTrailer(char *out)
{
    std::memcpy(out, kTrailer, kTrailerSize);
    return out + kTrailerSize;
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

bool appendDeviceText(QIODevice &device, QByteArrayView name, qint64 expectedSize, QByteArray &out)
{
    const qsizetype start = out.size();
    try {
        // The length taken up front sizes the text once; the reads decide what is encoded.
        const qsizetype expected = encodedSize(name.size(), std::max<qint64>(expectedSize, 0));
        if (expected < 0 || expected > std::numeric_limits<qsizetype>::max() - start)
            throw std::bad_alloc();

        Output text(out, start);
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

QString appendFileText(const QString &path, QByteArray &out)
{
    const qsizetype start = out.size();
    try {
        QFile file(path);
        // A folder is refused before it is opened: on some systems it opens and reads as empty.
        if (QFileInfo(path).isDir())
            return failureText(path, FileRead::reason(file));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return failureText(path, FileRead::reason(file));
        if (!appendDeviceText(file, fileNameOf(path), file.size(), out))
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
    // A file that shrank after its length was taken leaves unused room; give it back (a
    // shrinking reallocation, so no second copy of the text).
    if (result.text.capacity() - result.text.size() > 64 * 1024) {
        try {
            result.text.squeeze();
        } catch (const std::bad_alloc &) {
        }
    }
    return result;
}

} // namespace MUUEncode
