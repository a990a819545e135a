// The text encoding of a job file.
//
// The program works in Windows-1251 throughout: the mailing state and the wire hold its bytes.
// A job file written on Windows is Windows-1251 already and is taken byte for byte. A file
// written by a Linux editor is UTF-8: it is recognised by its byte-order mark, or by being
// valid UTF-8 with at least one character outside ASCII (real Windows-1251 text is practically
// never valid UTF-8: a lower-case Cyrillic letter is a UTF-8 lead byte that would need
// continuation bytes, which are punctuation in Windows-1251). Such a file is converted; a
// character that Windows-1251 lacks becomes "?" and is reported with its line.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace JobEncoding {

// Characters of one line that Windows-1251 lacks, each sent as "?".
struct Unmapped
{
    qsizetype line;         // 1 for the first line, counted by the job files' line rule
    QStringList characters; // one character each, in the order they occur, each once
};

struct Text
{
    QByteArray bytes;         // Windows-1251
    bool fromUtf8 = false;    // the file was read as UTF-8
    QList<Unmapped> unmapped; // by line, in order; empty for a Windows-1251 file
};

// The Windows-1251 text of a job file's bytes.
Text toCp1251(QByteArray data);

} // namespace JobEncoding
