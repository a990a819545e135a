// uuenc FILE: writes the attachment text of FILE, as the program sends it, to standard output.
// The program's own line encoder without Qt, as GNU uuencode starts without it: the file is read
// a chunk of whole lines at a time into one buffer, and each chunk's text goes out from another.
#include "UULines.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char **argv)
{
    const int fd = argc == 2 ? open(argv[1], O_RDONLY) : -1;
    if (fd < 0) {
        std::fprintf(stderr, argc == 2 ? "uuenc: %s: cannot open\n" : "usage: uuenc FILE\n",
                     argv[1]);
        return 2;
    }
    const char *slash = std::strrchr(argv[1], '/');
    const std::string header = std::string("begin 664 ") + (slash ? slash + 1 : argv[1]) + "\n";
    bool ok = write(1, header.data(), header.size()) == ssize_t(header.size());
    constexpr size_t kChunk = 2913 * 45;
    std::vector<char> in(kChunk), out(kChunk / 45 * 62 + 64);
    for (ssize_t got = kChunk; ok && got == ssize_t(kChunk);) {
        got = 0;
        for (ssize_t n = 1; n > 0 && got < ssize_t(kChunk); got += n) // until full or at the end
            n = std::max<ssize_t>(read(fd, in.data() + got, kChunk - got), 0);
        const char *end = MUUEncode::encodeLines(in.data(), got, out.data(), got < ssize_t(kChunk));
        ok = write(1, out.data(), end - out.data()) == end - out.data();
    }
    if (!ok)
        std::perror("uuenc");
    return ok ? 0 : 1;
}
