// Catches: wrong text length, characters off 33..96, lines not decoding back, file text != memory.
//
// Input: one byte, the length of the header name (mod 64); the name; then the data.
#include "FuzzInput.h"

#include "MUUEncode.h"

#include <QFile>
#include <QTemporaryDir>

namespace {

// The bytes of one data line, six bits per character taken as its code - 32 (mod 64): decoded
// bit by bit, unlike the encoder's look-ups.
QByteArray decodeLine(QByteArrayView line)
{
    for (const char c : line)
        FUZZ_CHECK(uchar(c) >= 33 && uchar(c) <= 96);
    const int count = (line[0] - 32) & 63;
    FUZZ_CHECK(count <= 45 && line.size() == 1 + 4 * ((count + 2) / 3));
    QByteArray bytes;
    for (qsizetype i = 1, bits = 0, value = 0; i < line.size(); ++i) {
        value = value << 6 | ((line[i] - 32) & 63);
        if ((bits += 6) >= 8)
            bytes.append(char(value >> (bits -= 8)));
    }
    FUZZ_CHECK(bytes.sliced(count).count(' ') == bytes.size() - count); // padded with spaces
    return bytes.first(count);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size)
{
    FuzzInput in(bytes, size);
    const QByteArrayView name = in.bytes(in.u8() % 64);
    const QByteArrayView data = in.rest();
    const QByteArray text = MUUEncode::encode(name, data);
    FUZZ_CHECK(text.size() == MUUEncode::encodedSize(name.size(), data.size()));
    const QByteArray header = "begin 664 " + name.toByteArray() + "\n";
    FUZZ_CHECK(text.startsWith(header) && text.endsWith("\n`\nend\n"));

    // Full lines of 45 bytes, then one line of the 0 to 44 left.
    const QList<QByteArray> lines = text.sliced(header.size()).chopped(7).split('\n');
    FUZZ_CHECK(lines.size() == data.size() / 45 + 1);
    QByteArray decoded;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray bytes = decodeLine(lines[i]);
        FUZZ_CHECK(bytes.size() == (i + 1 < lines.size() ? 45 : data.size() % 45));
        decoded += bytes;
    }
    FUZZ_CHECK(decoded == data);

    static const QTemporaryDir dir;
    QFile file(dir.filePath("f"));
    FUZZ_CHECK(file.open(QIODevice::WriteOnly) &&
               file.write(data.data(), data.size()) == data.size());
    file.close();
    FUZZ_CHECK(MUUEncode::UUEncodeFile(file.fileName()).text == MUUEncode::encode("f", data));
    return 0;
}
