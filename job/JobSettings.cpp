#include "JobSettings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {

// The text of `key`; a value with commas, which QSettings reads as a list, is joined again.
QString text(const QSettings &settings, const QString &key)
{
    const QVariant value = settings.value(key);
    return value.typeId() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(','))
                                                    : value.toString();
}

} // namespace

JobSettings JobSettings::read(const QString &folder)
{
    JobSettings read;
    const QString path = QDir(folder).filePath(QLatin1String(FileName));
    if (!QFileInfo(path).isFile())
        return read;
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        read.problems << QStringLiteral("Файл %1 не удалось прочитать: %2. Настройки из него не "
                                        "действуют.")
                             .arg(QDir::toNativeSeparators(path),
                                  settings.status() == QSettings::AccessError
                                      ? QStringLiteral("нет прав на чтение")
                                      : QStringLiteral("в нём ошибка формата"));
        return read;
    }
    if (settings.contains(QStringLiteral("sending/per_day"))) {
        const QString value = text(settings, QStringLiteral("sending/per_day")).trimmed();
        bool number = false;
        const int perDay = value.toInt(&number);
        if (number && perDay >= 0)
            read.perDay = perDay;
        else
            read.problems << QStringLiteral("В файле %1, в разделе [sending], у ключа per_day "
                                            "значение «%2»: нужно число писем в сутки, например "
                                            "per_day=500. Пока оно не исправлено, ограничения "
                                            "нет.")
                                 .arg(QDir::toNativeSeparators(path), value);
    }
    return read;
}
