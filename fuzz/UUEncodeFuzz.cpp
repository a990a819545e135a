// Arbitrary bytes through the attachment encoder; decoding the text must give them back.
//
// Input: a one-byte name length (up to 63), the largest read of the input device (1 to 256
// bytes), a signed byte added to the length the device reports, the name, then the data.
//
// Checked: the text of encode() has the exact length encodedSize() gives, the header with the
// name, data lines of the form the header of MUUEncode.h sets out (only the characters 33 to
// 96, full lines of 45 bytes, a last line of fewer, padding of spaces) and the trailer; it
// decodes, by the decoder below, to the data; both full-line encoders agree; and the text that
// appendDeviceText() writes behind what a buffer already holds is the same, however the device
// splits its reads and whatever length it reported before reading.
#include "FuzzInput.h"

#include "Cp1251.h"
#include "MUUEncode.h"

#include <QByteArray>
#include <QIODevice>

#include <algorithm>
#include <cstring>

namespace {

// A device that hands out the data in reads of at most `step` bytes.
class TricklingDevice : public QIODevice
{
public:
    TricklingDevice(QByteArrayView data, qint64 step) : m_data(data), m_step(step)
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *out, qint64 max) override
    {
        const qint64 n = std::min({max, m_step, qint64(m_data.size() - m_pos)});
        std::memcpy(out, m_data.data() + m_pos, std::size_t(n));
        m_pos += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArrayView m_data;
    qint64 m_step;
    qsizetype m_pos = 0;
};

int sixBits(char c)
{
    return (uchar(c) - 32) & 63;
}

// Decodes the data lines of `text` from `pos` on, up to and including the last one, checking
// the form of every line; returns the bytes and leaves `pos` after the last data line.
QByteArray decodeLines(const QByteArray &text, qsizetype &pos)
{
    QByteArray decoded;
    for (;;) {
        const qsizetype end = text.indexOf('\n', pos);
        FUZZ_CHECK(end > pos);
        const QByteArrayView line = QByteArrayView(text).sliced(pos, end - pos);
        pos = end + 1;
        for (const char c : line)
            FUZZ_CHECK(uchar(c) >= 33 && uchar(c) <= 96);
        const int count = sixBits(line[0]);
        FUZZ_CHECK(count <= 45);
        const int groups = (count + 2) / 3;
        FUZZ_CHECK(line.size() == 1 + 4 * groups);
        QByteArray bytes;
        for (int g = 0; g < groups; ++g) {
            const char *q = line.data() + 1 + 4 * g;
            const unsigned v = unsigned(sixBits(q[0])) << 18 | unsigned(sixBits(q[1])) << 12 |
                               unsigned(sixBits(q[2])) << 6 | unsigned(sixBits(q[3]));
            bytes.append(char(v >> 16)).append(char(v >> 8)).append(char(v));
        }
        // The last group is padded with spaces.
        for (qsizetype i = count; i < bytes.size(); ++i)
            FUZZ_CHECK(bytes[i] == ' ');
        decoded += bytes.left(count);
        // The last data line is the first one short of 45 bytes (0 bytes when the data fills
        // its last line).
        if (count < 45)
            return decoded;
    }
}

void checkText(const QByteArray &text, QByteArrayView name, QByteArrayView data)
{
    FUZZ_CHECK(text.size() == MUUEncode::encodedSize(name.size(), data.size()));
    const QByteArray header = "begin 664 " + name.toByteArray() + "\n";
    FUZZ_CHECK(text.startsWith(header));
    qsizetype pos = header.size();
    FUZZ_CHECK(decodeLines(text, pos) == data);
    FUZZ_CHECK(text.sliced(pos) == "`\nend\n");
    FUZZ_CHECK(!text.sliced(header.size()).contains('\r'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size)
{
    FuzzInput in(bytes, size);
    const int nameLength = in.u8() % 64;
    const qint64 step = qint64(in.u8()) + 1;
    const int skew = std::int8_t(in.u8());
    const QByteArrayView name = in.bytes(std::size_t(nameLength));
    const QByteArrayView data = in.rest();
    const auto *raw = reinterpret_cast<const uchar *>(data.data());

    const QByteArray text = MUUEncode::encode(name, data);
    checkText(text, name, data);

    // The processor-specific full-line encoder against the portable one.
    const qint64 fullLines = data.size() / 45;
    QByteArray fast(fullLines * 62, '\0'), portable(fullLines * 62, '\0');
    FUZZ_CHECK(MUUEncode::encodeFullLines(raw, fullLines, fast.data()) ==
               fast.data() + fast.size());
    FUZZ_CHECK(MUUEncode::encodeFullLinesPortable(raw, fullLines, portable.data()) ==
               portable.data() + portable.size());
    FUZZ_CHECK(fast == portable);

    // From a device, behind text already in the buffer, with a length taken that may be wrong.
    const QByteArray before = "earlier text\r\n";
    QByteArray out = before;
    TricklingDevice device(data, step);
    FUZZ_CHECK(MUUEncode::appendDeviceText(device, name, data.size() + skew, out));
    FUZZ_CHECK(out == before + text);

    // A name taken from a path never holds a line break.
    const QByteArray fromPath = MUUEncode::fileNameOf(Cp1251::toUnicode(name));
    FUZZ_CHECK(!fromPath.contains('\r') && !fromPath.contains('\n'));
    const qsizetype slash = name.lastIndexOf('/');
    QByteArray expected = name.sliced(slash + 1).toByteArray();
#ifdef Q_OS_WIN
    expected = name.sliced(std::max(slash, name.lastIndexOf('\\')) + 1).toByteArray();
#endif
    expected.replace('\r', '?').replace('\n', '?');
    FUZZ_CHECK(fromPath == expected);
    return 0;
}
