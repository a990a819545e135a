// The data lines of uuencoded text in plain C++, so that a tool can encode without loading Qt.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

namespace MUUEncode {

// The two characters of each 12-bit value v at 2v and 2v + 1: six bits b each become b + 32, or
// "`" for 0 in place of a space. A group of three bytes takes two look-ups.
inline constexpr auto kPairs = [] {
    std::array<char, 8192> pairs{};
    for (int i = 0; i < 8192; ++i)
        pairs[i] = char((((i & 1 ? i >> 1 : i >> 7) - 1) & 63) + 33);
    return pairs;
}();

// One data line of `count` bytes, `in` padded with spaces to a whole group.
inline char *encodeLine(const unsigned char *in, int count, char *out)
{
    const auto put = [](std::uint64_t v, char *to) { return std::copy_n(&kPairs[2 * v], 2, to); };
    *out++ = char(((count - 1) & 63) + 33);
    int i = 0;
#pragma GCC unroll 8
    for (; i + 8 <= count; i += 6) {     // two groups from each load of 8 bytes
        const unsigned char *p = in + i; // eight bytes, big-endian: one load and a byte swap
        const std::uint64_t bits = std::uint64_t(p[0]) << 56 | std::uint64_t(p[1]) << 48 |
                                   std::uint64_t(p[2]) << 40 | std::uint64_t(p[3]) << 32 |
                                   std::uint64_t(p[4]) << 24 | std::uint64_t(p[5]) << 16 |
                                   std::uint64_t(p[6]) << 8 | p[7];
        out = put(bits >> 16 & 0xfff,
                  put(bits >> 28 & 0xfff, put(bits >> 40 & 0xfff, put(bits >> 52, out))));
    }
    for (; i < count; i += 3) {
        const unsigned group = in[i] << 16 | in[i + 1] << 8 | in[i + 2];
        out = put(group & 0xfff, put(group >> 12, out));
    }
    *out = '\n';
    return out + 1;
}

// The full lines of `size` bytes; when `last`, then the last line and the trailer.
inline char *encodeLines(const char *data, long long size, char *out, bool last)
{
    const auto *in = reinterpret_cast<const unsigned char *>(data);
    for (; size >= 45; size -= 45, in += 45)
        out = encodeLine(in, 45, out);
    if (!last)
        return out;
    unsigned char rest[47];
    std::fill(std::copy_n(in, size, rest), rest + 47, ' ');
    return std::copy_n("`\nend\n", 6, encodeLine(rest, int(size), out));
}

} // namespace MUUEncode
