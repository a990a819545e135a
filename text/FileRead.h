// Reading a whole file, with a reason a person can read when it fails.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

namespace FileRead {

struct Result
{
    QByteArray data;
    QString error; // empty on success; otherwise why the file could not be read, in Russian
    bool ok() const { return error.isNull(); }
};

// Reads the file at `path` in binary mode. Never throws: a missing file, a folder, a file
// that is not a regular file, a file without permission, a read error or a file too large
// for memory all come back as `error`.
Result readAll(const QString &path);

// Why the file at `path` must not be opened for reading, or a null string when it may: it is
// missing, a folder, or not a regular file at all (a named pipe, a device, a socket), which
// could block the open or the reads for ever, or never reach its end.
QString refusal(const QString &path);

// The Russian reason for the failure that `file` last reported (after open() or read()).
// Distinguishes a missing file, a folder and a lack of permission from other errors.
QString reason(const QFile &file);

// The reason for running out of memory while reading a file.
QString outOfMemoryReason();

} // namespace FileRead
