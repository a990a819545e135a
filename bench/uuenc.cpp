// uuenc FILE: writes the attachment text of FILE, as it goes into a message, to standard output.
//
// Streams the file through the attachment encoder one chunk at a time, so it runs in constant
// memory; uu_compare.sh times it against GNU sharutils uuencode.
#include "MUUEncode.h"

#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr size_t kChunkLines = 2913; // 128 KiB of input: stays in the cache
constexpr size_t kChunkBytes = kChunkLines * 45;

bool writeAll(const char *data, size_t size)
{
    return std::fwrite(data, 1, size, stdout) == size;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    std::FILE *file = std::fopen(argv[1], "rb");
    if (!file) {
        std::fprintf(stderr, "uuenc: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    const QByteArray name = MUUEncode::fileNameOf(QString::fromLocal8Bit(argv[1]));
    const std::unique_ptr<uchar[]> input(new uchar[kChunkBytes]);
    // Room for a chunk of full lines, or for the last chunk with its last line and the trailer.
    const std::unique_ptr<char[]> output(new char[kChunkLines * 62 + 64]);

    char *end = MUUEncode::writeHeader(name, output.get());
    bool ok = writeAll(output.get(), size_t(end - output.get()));
    while (ok) {
        size_t got = 0;
        while (got < kChunkBytes) {
            const size_t n = std::fread(input.get() + got, 1, kChunkBytes - got, file);
            if (n == 0)
                break;
            got += n;
        }
        if (std::ferror(file)) {
            std::fprintf(stderr, "uuenc: %s: read error\n", argv[1]);
            std::fclose(file);
            return 1;
        }
        if (got == kChunkBytes) {
            end = MUUEncode::encodeFullLines(input.get(), kChunkLines, output.get());
            ok = writeAll(output.get(), size_t(end - output.get()));
            continue;
        }
        end = MUUEncode::encodeLines(input.get(), qint64(got), output.get());
        end = MUUEncode::writeTrailer(end);
        ok = writeAll(output.get(), size_t(end - output.get()));
        break;
    }
    std::fclose(file);
    if (!ok || std::fflush(stdout) != 0) {
        std::perror("uuenc: write");
        return 1;
    }
    return 0;
}
