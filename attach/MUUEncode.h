// Uuencoding of attachment files into the text that travels inside the message body.
//
// The text of one file is:
//   "begin 664 <name>" LF
//   one data line per 45-byte block: the length character (32 + count, "M" for 45), four
//   characters per group of three bytes, LF; the last block (0 to 44 bytes) is always present
//   and is padded with space bytes (never zero bytes) up to a whole group;
//   "`" LF
//   "end" LF
// Every space of a data line is written as the grave accent, so the data lines hold only the
// codes 33 to 96; a block of 0 bytes gives a line of a lone grave accent. Lines end with LF
// alone and the text holds no CR.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QIODevice>
#include <QString>
#include <QStringView>
#include <QtGlobal>

#include "UULines.h"

namespace MUUEncode {

struct EncodeResult
{
    QByteArray text; // the whole encoded text on success
    QString error;   // null on success; otherwise a Russian message naming the path and the reason
    bool ok() const { return error.isNull(); }
};

// Reads the file at `path` in binary mode and returns its whole encoded text. Never throws: a
// missing file, a folder, a file without permission, a read error or a file too large for
// memory give `error` ("«path»: reason") and an empty text. The text encodes exactly the bytes
// that were read, even if the file changed size after its length was taken.
EncodeResult UUEncodeFile(const QString &path);

// Appends the encoded text of the file at `path` to `out`, growing it as needed. Returns a null
// string on success; on failure the error message, with `out` back at its former size. Lets a
// caller collect several files in one buffer without copying each file's text. `spareAfter`
// bytes of room are kept behind the text, so that a caller appending that much afterwards
// does not make the whole buffer move.
QString appendFileText(const QString &path, QByteArray &out, qsizetype spareAfter = 0);

// The text of the bytes read from `device` (open for reading) up to its end, appended to `out`
// under the header name `name`. `expectedSize`, the input length taken before reading, sizes
// the text once; when the input turns out longer the text grows, when shorter it is cut, and
// either way it encodes exactly the bytes read. Returns false on a read error, and throws
// std::bad_alloc when memory runs out; in both cases `out` is back at its former size.
// `spareAfter` as for appendFileText().
bool appendDeviceText(QIODevice &device, QByteArrayView name, qint64 expectedSize, QByteArray &out,
                      qsizetype spareAfter = 0);

// The name for the header line: the text after the last path separator ("/" on POSIX systems;
// "\" and "/" on Windows), or the whole path when it holds none, as Windows-1251 bytes. A
// character outside the code page becomes '?', and so do CR and LF, which would break the line
// structure of the text.
QByteArray fileNameOf(QStringView path);

// Exact length of the text for a name of `nameBytes` bytes and `dataBytes` bytes of data, or -1
// when either is negative or the length does not fit in qsizetype.
qsizetype encodedSize(qsizetype nameBytes, qint64 dataBytes);

// The whole text for bytes already in memory. `name` goes into the header as it is. Throws
// std::bad_alloc when memory runs out.
QByteArray encode(QByteArrayView name, QByteArrayView data);

// Lower-level encoders writing into a buffer the caller has sized; each returns the end of what
// it wrote. The line encoder (dataLinesSize, encodeFullLines, encodeFullLinesPortable,
// encodeLastLine, encodeLines, writeTrailer) is declared in UULines.h.

// "begin 664 <name>" LF.
char *writeHeader(QByteArrayView name, char *out);

} // namespace MUUEncode
