// Opening a file that must be a regular file of its own name: never through a symbolic link at
// its place, never a folder, a named pipe or a device (an open or a read of which can block for
// ever or never end). The program's own files in the job folder are opened so, which a link put
// there cannot redirect.
#pragma once

#include <QFile>
#include <QString>

namespace SafeFile {

enum class Mode {
    Read,   // an existing file, from its start
    Append, // every write at the end; the file is made if it does not exist
};

// Opens `path` in `file`, unbuffered, so that a write reaches the system when write() returns
// and one that fails leaves nothing behind to be written again. Returns why it cannot be opened,
// in Russian ("это символическая ссылка", "нет прав на запись", ...), or a null string.
QString open(QFile &file, const QString &path, Mode mode);

// Makes what was written to `file` survive a crash of the system, not only of the program.
bool sync(QFile &file);

} // namespace SafeFile
