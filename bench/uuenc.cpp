// uuenc FILE [NAME]: writes the attachment text of FILE, in the format the program sends, to
// standard output.
//
// Streams the file through the attachment line encoder one chunk at a time, so it runs in
// constant memory. It uses only the Qt-free line encoder, so starting it does not load Qt (a
// fixed cost several times that of the encoding in the side-by-side timing of uu_compare.sh).
// The header name is NAME, or the part of FILE after its last "/" ("\" too on Windows), as the
// command line gives its bytes; the program itself converts names to Windows-1251.
#include "UULines.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr size_t kChunkLines = 2913; // 128 KiB of input: stays in the cache
constexpr size_t kChunkBytes = kChunkLines * 45;

bool writeAll(const char *data, size_t size)
{
    return std::fwrite(data, 1, size, stdout) == size;
}

std::string headerName(const char *path)
{
    std::string name(path);
#ifdef _WIN32
    const size_t cut = name.find_last_of("\\/");
#else
    const size_t cut = name.find_last_of('/');
#endif
    if (cut != std::string::npos)
        name.erase(0, cut + 1);
    for (char &c : name) {
        if (c == '\r' || c == '\n')
            c = '?';
    }
    return name;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s FILE [NAME]\n", argv[0]);
        return 2;
    }
    std::FILE *file = std::fopen(argv[1], "rb");
    if (!file) {
        std::fprintf(stderr, "uuenc: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    const std::string header = "begin 664 " + headerName(argc == 3 ? argv[2] : argv[1]) + "\n";
    const std::unique_ptr<unsigned char[]> input(new unsigned char[kChunkBytes]);
    // Room for a chunk of full lines, or for the last chunk with its last line and the trailer.
    const std::unique_ptr<char[]> output(new char[kChunkLines * 62 + 64]);

    bool ok = writeAll(header.data(), header.size());
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
        char *end;
        if (got == kChunkBytes) {
            end = MUUEncode::encodeFullLines(input.get(), kChunkLines, output.get());
            ok = writeAll(output.get(), size_t(end - output.get()));
            continue;
        }
        end = MUUEncode::encodeLines(input.get(), static_cast<long long>(got), output.get());
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
