// The text encoding of a job file. The mailing state and the wire hold Windows-1251. A file made
// on Windows is that already and is taken byte for byte; one made by a Linux editor is UTF-8,
// known by its byte-order mark or by being valid UTF-8 with a byte above 0x7F (Windows-1251 text
// practically never is: a lower-case Cyrillic letter would have to be followed by punctuation),
// and is converted, a character that Windows-1251 lacks becoming "?", reported with its line.
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
    QString fileName;       // filled in by whoever knows the file
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
