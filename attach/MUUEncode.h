// Uuencoding of attachment files into the text that travels inside the message body:
// "begin 664 <name>" LF, one data line per 45-byte block, "`" LF, "end" LF. A data line is the
// length character (32 + count, "M" for 45), four characters (value + 32) per group of three
// bytes, LF; the last block (0 to 44 bytes) is always there, padded with space bytes to a whole
// group. Every space of a data line is written as "`": data lines hold only the codes 33 to 96.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

namespace MUUEncode {

struct EncodeResult
{
    QByteArray text; // the whole encoded text on success
    QString error;   // null on success; otherwise "«path»: reason", in Russian
    bool ok() const { return error.isNull(); }
};

// The text of the file at `path`; never throws. On failure `error` is set and `text` empty.
EncodeResult UUEncodeFile(const QString &path);

// Appends the text of the file at `path` and then `after` to `out`, which moves only when its
// capacity falls short. The text is sized once for the file's length, yet encodes exactly the
// bytes read. Null on success; else the error as above, with `out` back at its size. Never throws.
QString appendFileText(const QString &path, QByteArray &out, QByteArrayView after = {});

// The header name: the text after the last "/" (also "\" on Windows) in Windows-1251; a
// character the code page lacks, CR and LF become "?".
QByteArray fileNameOf(QStringView path);

// Length of the text of `dataBytes` bytes under a name of `nameBytes`; -1 for a negative
// argument or a length beyond qsizetype.
qsizetype encodedSize(qsizetype nameBytes, qint64 dataBytes);

// The text of bytes in memory, `name` put into the header as it is. Throws std::bad_alloc.
QByteArray encode(QByteArrayView name, QByteArrayView data);

} // namespace MUUEncode
