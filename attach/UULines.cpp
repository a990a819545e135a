#include "UULines.h"

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define BREVANT_UU_SSSE3 1
#include <immintrin.h>
#endif

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

namespace MUUEncode {

namespace {

constexpr int kLineBytes = 45;     // file bytes in a full data line
constexpr int kFullLineChars = 62; // "M", 60 characters, LF
constexpr char kTrailer[] = "`\nend\n";
static_assert(sizeof(kTrailer) - 1 == trailerSize);

inline std::uint64_t loadBigEndian64(const unsigned char *in)
{
    // Compilers turn this into one load and a byte swap.
    return std::uint64_t(in[0]) << 56 | std::uint64_t(in[1]) << 48 | std::uint64_t(in[2]) << 40 |
           std::uint64_t(in[3]) << 32 | std::uint64_t(in[4]) << 24 | std::uint64_t(in[5]) << 16 |
           std::uint64_t(in[6]) << 8 | std::uint64_t(in[7]);
}

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

inline std::uint32_t loadGroup(const unsigned char *in)
{
    return std::uint32_t(in[0]) << 16 | std::uint32_t(in[1]) << 8 | in[2];
}

// Two groups (six bytes) from one eight-byte load; reads in[0..7].
inline void putTwoGroups(const unsigned char *in, char *out)
{
    const std::uint64_t word = loadBigEndian64(in);
    putPair(unsigned(word >> 52), out);
    putPair(unsigned(word >> 40) & 0xfff, out + 2);
    putPair(unsigned(word >> 28) & 0xfff, out + 4);
    putPair(unsigned(word >> 16) & 0xfff, out + 6);
}

// Groups 1 to 14 in pairs: the eight-byte load at byte 36 ends at byte 43, inside the line.
template <std::size_t... Pair>
inline void putFourteenGroups(const unsigned char *in, char *out, std::index_sequence<Pair...>)
{
    (putTwoGroups(in + 6 * Pair, out + 8 * Pair), ...);
}

inline char *encodeFullLine(const unsigned char *in, char *out)
{
    out[0] = 'M';
    putFourteenGroups(in, out + 1, std::make_index_sequence<7>{});
    putGroup(loadGroup(in + 42), out + 57);
    out[61] = '\n';
    return out + kFullLineChars;
}

inline long long lastLineChars(int count)
{
    return 2 + 4 * ((count + 2) / 3);
}

} // namespace

long long dataLinesSize(long long dataBytes)
{
    if (dataBytes < 0)
        return -1;
    const long long lines = dataBytes / kLineBytes;
    const long long last = lastLineChars(int(dataBytes % kLineBytes));
    if (lines > (std::numeric_limits<long long>::max() - last) / kFullLineChars)
        return -1;
    return lines * kFullLineChars + last;
}

char *encodeFullLinesPortable(const unsigned char *data, long long lineCount, char *out)
{
    for (long long i = 0; i < lineCount; ++i) {
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

__attribute__((target("ssse3"))) char *encodeFullLinesSsse3(const unsigned char *data,
                                                            long long lineCount, char *out)
{
    const __m128i spread0 = _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    const __m128i spread7 =
        _mm_setr_epi8(8, 7, 9, 8, 11, 10, 12, 11, 14, 13, 15, 14, 14, 13, 15, 14);
    for (long long i = 0; i < lineCount; ++i, data += kLineBytes, out += kFullLineChars) {
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

char *encodeFullLines(const unsigned char *data, long long lineCount, char *out)
{
#ifdef BREVANT_UU_SSSE3
    if (kHaveSsse3)
        return encodeFullLinesSsse3(data, lineCount, out);
#endif
    return encodeFullLinesPortable(data, lineCount, out);
}

char *encodeLastLine(const unsigned char *data, int count, char *out)
{
    assert(count >= 0 && count < kLineBytes);
    *out++ = uuChar(unsigned(count));
    const int groups = count / 3;
    for (int g = 0; g < groups; ++g, data += 3, out += 4)
        putGroup(loadGroup(data), out);
    if (const int rest = count % 3) {
        // The last group is filled up with spaces, not zero bytes.
        unsigned char padded[3] = {' ', ' ', ' '};
        std::memcpy(padded, data, size_t(rest));
        putGroup(loadGroup(padded), out);
        out += 4;
    }
    *out++ = '\n';
    return out;
}

char *encodeLines(const unsigned char *data, long long size, char *out)
{
    const long long lines = size / kLineBytes;
    out = encodeFullLines(data, lines, out);
    return encodeLastLine(data + lines * kLineBytes, int(size % kLineBytes), out);
}

char *writeTrailer(char *out)
{
    std::memcpy(out, kTrailer, trailerSize);
    return out + trailerSize;
}

} // namespace MUUEncode
