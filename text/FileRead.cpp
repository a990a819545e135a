#include "FileRead.h"

#include <QFileInfo>

#include <new>

namespace FileRead {

QString refusal(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("файл не найден");
    if (info.isDir())
        return QStringLiteral("это папка, а не файл");
    if (!info.isFile())
        return QStringLiteral("это не обычный файл, а канал, устройство или сокет");
    return QString();
}

QString reason(const QFile &file)
{
    const QString refused = refusal(file.fileName());
    if (!refused.isNull())
        return refused;
    switch (file.error()) {
    case QFileDevice::PermissionsError:
        return QStringLiteral("нет прав на чтение");
    case QFileDevice::ReadError:
        return QStringLiteral("ошибка чтения (%1)").arg(file.errorString());
    case QFileDevice::ResourceError:
        return QStringLiteral("недостаточно ресурсов (%1)").arg(file.errorString());
    default:
        break;
    }
    if (!QFileInfo(file.fileName()).isReadable())
        return QStringLiteral("нет прав на чтение");
    return QStringLiteral("не удалось прочитать (%1)").arg(file.errorString());
}

QString outOfMemoryReason()
{
    return QStringLiteral("файл слишком велик: не хватает памяти");
}

Result readAll(const QString &path)
{
    QFile file(path);
    QString error = refusal(path);
    try {
        if (error.isNull() && file.open(QIODevice::ReadOnly)) {
            QByteArray data = file.readAll();
            if (file.error() == QFileDevice::NoError)
                return {std::move(data), QString()};
        }
        if (error.isNull())
            error = reason(file);
    } catch (const std::bad_alloc &) {
        error = outOfMemoryReason();
    }
    return {QByteArray(), error};
}

} // namespace FileRead
