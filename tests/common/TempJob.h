// A job folder in a temporary directory, written byte for byte by the tests.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

class TempJob
{
public:
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

    void write(const QString &name, const QByteArray &bytes) const
    {
        QFile file(filePath(name));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(filePath(name)));
    }

    // All five files, as a usable job.
    void writeAll(const QByteArray &recipients, const QByteArray &host, const QByteArray &sender,
                  const QByteArray &subject, const QByteArray &message) const
    {
        write(QStringLiteral("mail.txt"), recipients);
        write(QStringLiteral("smtp.txt"), host);
        write(QStringLiteral("sender.txt"), sender);
        write(QStringLiteral("tema.txt"), subject);
        write(QStringLiteral("message.txt"), message);
    }

    // `count` addresses, one per CR LF line.
    static QByteArray addresses(int count)
    {
        QByteArray list;
        for (int i = 0; i < count; ++i)
            list += "user" + QByteArray::number(i) + "@example.test\r\n";
        return list;
    }

private:
    QTemporaryDir m_dir;
};
