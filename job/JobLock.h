// One window per job folder: a lock file in the folder, brevant.lock, held while a window has the
// job open, so that a second window (a double-click too many, or another user of the machine)
// sends nothing of the same mailing. A lock left by a program that was killed or crashed is taken
// over: it names a process that no longer runs.
#pragma once

#include <QLockFile>
#include <QString>

class JobLock
{
public:
    static constexpr const char *FileName = "brevant.lock";

    // `folder` is the job folder's absolute path.
    explicit JobLock(const QString &folder);

    // Takes the lock unless it is held; true when this window holds it (now or already).
    bool take();
    bool held() const { return m_file.isLocked(); }
    // Why take() failed, in Russian: the job is open in another window (its process number), or
    // the lock file cannot be made. Null while the lock is held.
    QString failure() const { return m_failure; }
    // True when take() failed because another window holds the lock.
    bool heldElsewhere() const { return m_elsewhere; }

private:
    QLockFile m_file;
    QString m_failure;
    bool m_elsewhere = false;
};
