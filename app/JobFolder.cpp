#include "JobFolder.h"

#include "MailingJob.h"

#include <QDir>
#include <QFileInfo>

namespace JobFolder {

namespace {

// The folder must be listed and entered: read and search permission.
bool usable(const QFileInfo &folder)
{
    return folder.isDir() && folder.isReadable() && folder.isExecutable();
}

// True when `folder` holds at least one of the five job files.
bool holdsJobFile(const QString &folder)
{
    const QDir dir(folder);
    for (const char *name :
         {MailingJob::RecipientsFile, MailingJob::HostFile, MailingJob::SenderFile,
          MailingJob::SubjectFile, MailingJob::MessageFile}) {
        if (QFileInfo::exists(dir.filePath(QString::fromLatin1(name))))
            return true;
    }
    return false;
}

} // namespace

Choice choose(const QString &argument, const QString &currentDir, const AskFn &ask)
{
    const QString current = QDir(currentDir).absolutePath();
    if (argument.isEmpty()) {
        if (holdsJobFile(current))
            return {current, {}};
        const QString picked = ask ? ask() : QString();
        return {picked.isEmpty() ? current : QDir(current).absoluteFilePath(picked), {}};
    }

    const QFileInfo given(QDir(current), argument);
    // A file stands for the folder it is in, so a job can be opened by any of its files.
    const QFileInfo folder =
        given.exists() && !given.isDir() ? QFileInfo(given.absolutePath()) : given;
    if (usable(folder))
        return {QDir::cleanPath(folder.absoluteFilePath()), {}};
    return {current, QStringLiteral("Не удалось открыть папку задания %1: это не папка или она "
                                    "недоступна для чтения.")
                         .arg(QDir::toNativeSeparators(argument))};
}

} // namespace JobFolder
