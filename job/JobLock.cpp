#include "JobLock.h"

#include <QDir>

JobLock::JobLock(const QString &folder) : m_file(QDir(folder).filePath(QLatin1String(FileName)))
{
    // Never stale by its age: a window may stay open for days. Only a lock whose process is
    // gone is taken over.
    m_file.setStaleLockTime(0);
}

bool JobLock::take()
{
    if (m_file.isLocked() || m_file.tryLock(0)) {
        m_failure = QString();
        m_elsewhere = false;
        return true;
    }
    qint64 pid = 0;
    QString host, application;
    m_elsewhere = m_file.error() == QLockFile::LockFailedError;
    switch (m_file.error()) {
    case QLockFile::LockFailedError:
        m_file.getLockInfo(&pid, &host, &application);
        m_failure =
            QStringLiteral("задание уже открыто в другом окне программы (процесс %1)").arg(pid);
        break;
    case QLockFile::PermissionError:
        m_failure = QStringLiteral("нет прав на запись в папку задания");
        break;
    default:
        m_failure = QStringLiteral("не удалось создать файл %1").arg(QLatin1String(FileName));
        break;
    }
    return false;
}
