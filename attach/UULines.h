// The data lines of uuencoded text, in plain C++ (no Qt), so that tools can use the encoder
// without loading Qt. MUUEncode.h declares the same functions with Qt's names for the types
// (qint64 is long long, uchar is unsigned char).
#pragma once

namespace MUUEncode {

// Length of the data lines (without header and trailer) for `dataBytes` bytes, last line
// included; -1 when it is negative or the length does not fit in long long.
long long dataLinesSize(long long dataBytes);

// `lineCount` full lines from 45 * lineCount bytes: 62 * lineCount characters. Uses SSSE3
// where the processor has it.
char *encodeFullLines(const unsigned char *data, long long lineCount, char *out);

// The same without processor-specific instructions (the fallback of encodeFullLines).
char *encodeFullLinesPortable(const unsigned char *data, long long lineCount, char *out);

// The last data line from `count` bytes, 0 <= count <= 44 (padded with spaces).
char *encodeLastLine(const unsigned char *data, int count, char *out);

// All data lines for `size` bytes: the full lines and the last line (dataLinesSize(size) chars).
char *encodeLines(const unsigned char *data, long long size, char *out);

// "`" LF "end" LF, the trailer after the data lines (trailerSize characters).
constexpr long long trailerSize = 6;
char *writeTrailer(char *out);

} // namespace MUUEncode
