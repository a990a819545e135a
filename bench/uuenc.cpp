// uuenc FILE: writes the attachment text of FILE, as the program sends it, to standard output.
// The file is mapped and encoded a chunk of whole lines at a time, each cut out of encode()'s
// text, so that memory stays small.
#include "MUUEncode.h"

#include <QFile>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    QFile file(QString::fromLocal8Bit(argv[1]));
    const uchar *data = nullptr;
    if (!file.open(QIODevice::ReadOnly) ||
        (file.size() > 0 && !(data = file.map(0, file.size())))) {
        std::fprintf(stderr, "uuenc: %s: %s\n", argv[1], qPrintable(file.errorString()));
        return 1;
    }
    const QByteArrayView input(data, file.size());
    const QByteArray header = "begin 664 " + MUUEncode::fileNameOf(file.fileName()) + "\n";
    bool ok = std::fwrite(header.data(), 1, header.size(), stdout) == size_t(header.size());
    constexpr qsizetype kChunk = 2913 * 45;
    for (qsizetype pos = 0; ok && pos <= input.size(); pos += kChunk) {
        const QByteArrayView chunk = input.sliced(pos, std::min(kChunk, input.size() - pos));
        // Without the header (of an empty name), and for a full chunk also without the last
        // (empty) line and the trailer.
        const QByteArray text = MUUEncode::encode({}, chunk);
        const qsizetype size = chunk.size() < kChunk ? text.size() - 11 : chunk.size() / 45 * 62;
        ok = std::fwrite(text.data() + 11, 1, size, stdout) == size_t(size);
    }
    if (!ok || std::fflush(stdout) != 0) {
        std::perror("uuenc");
        return 1;
    }
    return 0;
}
