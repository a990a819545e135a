// A job folder in a temporary directory, written byte for byte by the tests.
#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

struct TempJob
{
    QTemporaryDir dir;
    QString path() const { return dir.path(); }
    QString filePath(const QString &name) const { return dir.filePath(name); }

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
        const QByteArray files[] = {recipients, host, sender, subject, message};
        int i = 0;
        for (const char *name : {"mail.txt", "smtp.txt", "sender.txt", "tema.txt", "message.txt"})
            write(name, files[i++]);
    }

    // `count` addresses, one per CR LF line.
    static QByteArray addresses(int count)
    {
        QByteArray list;
        for (int i = 0; i < count; ++i)
            list += "user" + QByteArray::number(i) + "@example.test\r\n";
        return list;
    }
};
