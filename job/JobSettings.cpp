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
    const auto problem = [&](const char *section, const char *key, const QString &value,
                             const QString &need, const char *example) {
        read.problems << QStringLiteral("В файле %1, в разделе [%2], у ключа %3 значение «%4»: "
                                        "нужно %5, например %3=%6. Пока оно не исправлено, ключ "
                                        "не действует.")
                             .arg(QDir::toNativeSeparators(path), QLatin1String(section),
                                  QLatin1String(key), value, need, QLatin1String(example));
    };
    if (settings.contains(QStringLiteral("sending/per_day"))) {
        const QString value = text(settings, QStringLiteral("sending/per_day")).trimmed();
        bool number = false;
        const int perDay = value.toInt(&number);
        if (number && perDay >= 0)
            read.perDay = perDay;
        else
            problem("sending", "per_day", value, QStringLiteral("число писем в сутки"), "500");
    }
    if (settings.contains(QStringLiteral("message/list_unsubscribe"))) {
        const QString value = text(settings, QStringLiteral("message/list_unsubscribe")).trimmed();
        const QString lower = value.toLower();
        if (QStringList{"no", "false", "off", "0"}.contains(lower))
            read.listUnsubscribe = false;
        else if (!QStringList{"yes", "true", "on", "1"}.contains(lower))
            problem("message", "list_unsubscribe", value, QStringLiteral("yes или no"), "no");
    }
    if (settings.contains(QStringLiteral("mailbox/imap"))) {
        // host, host:port, [IPv6 address]:port
        const QString value = text(settings, QStringLiteral("mailbox/imap")).trimmed();
        QString host = value;
        QString port;
        if (value.startsWith(u'[') && value.indexOf(u']') > 0) {
            host = value.mid(1, value.indexOf(u']') - 1);
            port = value.mid(value.indexOf(u']') + 1);
            port = port.startsWith(u':') ? port.mid(1) : port.isEmpty() ? QString() : "?";
        } else if (value.count(u':') == 1) {
            host = value.section(u':', 0, 0);
            port = value.section(u':', 1);
        }
        bool number = port.isEmpty();
        const uint portNumber = port.isEmpty() ? 993 : port.toUInt(&number);
        if (host.isEmpty() || !number || portNumber < 1 || portNumber > 65535 ||
            host.contains(u' ')) {
            problem("mailbox", "imap", value, QStringLiteral("имя сервера IMAP и порт"),
                    "imap.example.ru:993");
        } else {
            read.imapHost = host;
            read.imapPort = quint16(portNumber);
        }
    }
    read.imapLogin = text(settings, QStringLiteral("mailbox/login")).trimmed();
    return read;
}
