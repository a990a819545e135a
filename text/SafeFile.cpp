#include "SafeFile.h"

#include <QFileInfo>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace SafeFile {

namespace {

const QString kLink = QStringLiteral("это символическая ссылка, а не файл");
const QString kFolder = QStringLiteral("это папка, а не файл");
const QString kSpecial = QStringLiteral("это не обычный файл, а канал, устройство или сокет");

QString noPermission(Mode mode)
{
    return mode == Mode::Read ? QStringLiteral("нет прав на чтение")
                              : QStringLiteral("нет прав на запись");
}

} // namespace

#ifdef Q_OS_WIN

QString open(QFile &file, const QString &path, Mode mode)
{
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself instead of what it points to; sharing
    // read and write lets a spreadsheet look at the file while the program holds it open.
    const bool append = mode == Mode::Append;
    const HANDLE handle =
        ::CreateFileW(reinterpret_cast<const wchar_t *>(QFileInfo(path).absoluteFilePath().utf16()),
                      append ? GENERIC_WRITE | FILE_READ_ATTRIBUTES : GENERIC_READ,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      append ? OPEN_ALWAYS : OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        switch (::GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return QStringLiteral("файл не найден");
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return QStringLiteral("файл открыт другой программой (например, в таблице Excel)");
        case ERROR_ACCESS_DENIED:
            return QFileInfo(path).isDir() ? kFolder : noPermission(mode);
        case ERROR_DISK_FULL:
            return QStringLiteral("на диске нет места");
        default:
            return QStringLiteral("не удалось открыть (ошибка Windows %1)").arg(::GetLastError());
        }
    }
    BY_HANDLE_FILE_INFORMATION info;
    QString refused;
    if (!::GetFileInformationByHandle(handle, &info))
        refused = QStringLiteral("не удалось открыть (ошибка Windows %1)").arg(::GetLastError());
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        refused = kLink;
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        refused = kFolder;
    else if (::GetFileType(handle) != FILE_TYPE_DISK)
        refused = kSpecial;
    const int fd = refused.isNull() ? ::_open_osfhandle(reinterpret_cast<intptr_t>(handle),
                                                        append ? _O_WRONLY | _O_APPEND | _O_BINARY
                                                               : _O_RDONLY | _O_BINARY)
                                    : -1;
    if (fd < 0) {
        ::CloseHandle(handle);
        return refused.isNull() ? QStringLiteral("не удалось открыть") : refused;
    }
    const QIODevice::OpenMode how =
        append ? QIODevice::WriteOnly | QIODevice::Append : QIODevice::ReadOnly;
    if (!file.open(fd, how | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::_close(fd);
        return file.errorString();
    }
    return QString();
}

bool sync(QFile &file)
{
    return ::_commit(file.handle()) == 0;
}

#else

QString open(QFile &file, const QString &path, Mode mode)
{
    // O_NOFOLLOW refuses a link at the file's own place; O_NONBLOCK keeps the open of a named
    // pipe from waiting for a writer, and the type is checked before anything is read.
    const int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK |
                      (mode == Mode::Read ? O_RDONLY : O_WRONLY | O_APPEND | O_CREAT);
    const int fd = ::open(QFile::encodeName(path).constData(), flags, 0644);
    if (fd < 0) {
        switch (errno) {
        case ENOENT:
            return QStringLiteral("файл не найден");
        case ELOOP:
            return kLink;
        case EACCES:
        case EPERM:
        case EROFS:
            return noPermission(mode);
        case EISDIR:
            return kFolder;
        case ENXIO: // a pipe that nobody reads, or a device without its driver
            return kSpecial;
        case ENOSPC:
        case EDQUOT:
            return QStringLiteral("на диске нет места");
        default:
            return QStringLiteral("не удалось открыть (%1)")
                .arg(QString::fromLocal8Bit(::strerror(errno)));
        }
    }
    struct stat info;
    QString refused;
    if (::fstat(fd, &info) != 0)
        refused = QString::fromLocal8Bit(::strerror(errno));
    else if (S_ISDIR(info.st_mode))
        refused = kFolder;
    else if (!S_ISREG(info.st_mode))
        refused = kSpecial;
    if (refused.isNull() && ::fcntl(fd, F_SETFL, flags & O_APPEND) != 0)
        refused = QString::fromLocal8Bit(::strerror(errno));
    const QIODevice::OpenMode how =
        mode == Mode::Read ? QIODevice::ReadOnly : QIODevice::WriteOnly | QIODevice::Append;
    if (!refused.isNull() ||
        !file.open(fd, how | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return refused.isNull() ? file.errorString() : refused;
    }
    return QString();
}

bool sync(QFile &file)
{
    return ::fsync(file.handle()) == 0;
}

#endif

} // namespace SafeFile
