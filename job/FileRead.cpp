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
    Result result;
    QFile file(path);
    result.error = refusal(path);
    if (!result.error.isNull())
        return result;
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = reason(file);
        return result;
    }
    try {
        result.data = file.readAll();
    } catch (const std::bad_alloc &) {
        result.data.clear();
        result.error = outOfMemoryReason();
        return result;
    }
    if (file.error() != QFileDevice::NoError) {
        result.data.clear();
        result.error = reason(file);
    }
    return result;
}

} // namespace FileRead
