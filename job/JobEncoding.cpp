#include "JobEncoding.h"

#include "Cp1251.h"
#include "JobLines.h"

#include <cstring>

namespace JobEncoding {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Offset of the first byte at or after `from` that is not ASCII, or the size of `data`.
qsizetype findNonAscii(QByteArrayView data, qsizetype from)
{
    const char *const begin = data.data();
    const char *p = begin + from;
    const char *const end = begin + data.size();
    // Eight bytes at a time while they are all ASCII.
    for (; end - p >= 8; p += 8) {
        quint64 word;
        std::memcpy(&word, p, 8);
        if (word & 0x8080808080808080ull)
            break;
    }
    while (p < end && static_cast<unsigned char>(*p) < 0x80)
        ++p;
    return p - begin;
}

// Decodes the UTF-8 sequence at `p` (a byte of 0x80 or above) strictly: no overlong forms, no
// surrogates, nothing above U+10FFFF. Returns its length and sets `cp`, or returns 0 when the
// bytes are no such sequence.
int decodeUtf8(const unsigned char *p, const unsigned char *end, char32_t &cp)
{
    const unsigned char b = p[0];
    const int length = b >= 0xC2 && b <= 0xDF   ? 2
                       : b >= 0xE0 && b <= 0xEF ? 3
                       : b >= 0xF0 && b <= 0xF4 ? 4
                                                : 0;
    if (length == 0 || end - p < length)
        return 0;
    cp = b & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (p[i] & 0x3F);
    }
    constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000}; // shorter forms are overlong
    return cp >= least[length] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF) ? length : 0;
}

// Where a character was replaced by "?", by its offset in the converted text.
struct Replaced
{
    qsizetype offset;
    char32_t character;
};

QList<Unmapped> byLine(QByteArrayView text, const QList<Replaced> &replaced)
{
    QList<Unmapped> lines;
    qsizetype next = 0; // the first replacement not yet placed
    qsizetype line = 0;
    JobLines::forEachLine(text, [&](QByteArrayView l) {
        ++line;
        const qsizetype lineEnd = (l.data() - text.data()) + l.size();
        for (; next < replaced.size() && replaced[next].offset < lineEnd; ++next) {
            const QString ch = QString::fromUcs4(&replaced[next].character, 1);
            if (lines.isEmpty() || lines.last().line != line)
                lines.append(Unmapped{line, QStringList(), QString()});
            if (!lines.last().characters.contains(ch))
                lines.last().characters += ch;
        }
        return next < replaced.size();
    });
    return lines;
}

} // namespace

Text toCp1251(QByteArray data)
{
    Text text;
    const bool bom = data.startsWith("\xEF\xBB\xBF");
    const qsizetype start = bom ? 3 : 0;
    qsizetype pos = findNonAscii(data, start);
    if (pos == data.size() && !bom) {
        text.bytes = std::move(data); // ASCII reads the same either way
        return text;
    }

    // Converted as UTF-8 into a text that can only be shorter; given up (unless the file says
    // it is UTF-8) at the first byte that is not UTF-8.
    QByteArray out(data.size() - start, Qt::Uninitialized);
    QList<Replaced> replaced;
    const auto *in = reinterpret_cast<const unsigned char *>(data.constData());
    const auto *const end = in + data.size();
    char *dst = out.data();
    qsizetype from = start;
    while (from < data.size()) {
        std::memcpy(dst, in + from, std::size_t(pos - from));
        dst += pos - from;
        // The characters that are not ASCII come in runs (a word in Cyrillic): one after another
        // here, without looking for the next ASCII text in between.
        while (pos < data.size() && in[pos] >= 0x80) {
            char32_t cp;
            int length = decodeUtf8(in + pos, end, cp);
            if (length == 0) {
                if (!bom) {
                    text.bytes = std::move(data); // not UTF-8: Windows-1251 as it is
                    return text;
                }
                length = 1;
                cp = kReplacement;
            }
            const int b = Cp1251::byteOf(cp);
            if (b < 0)
                replaced.append({dst - out.constData(), cp});
            *dst++ = b < 0 ? '?' : char(b);
            pos += length;
        }
        from = pos;
        pos = findNonAscii(data, from);
    }
    out.truncate(dst - out.constData());
    text.unmapped = byLine(out, replaced);
    text.bytes = std::move(out);
    text.fromUtf8 = true;
    return text;
}

} // namespace JobEncoding
