// What every test program shares: readable failure output for bytes and text, and a job folder
// in a temporary directory, written byte for byte.
#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

inline void PrintTo(const QByteArray &bytes, std::ostream *os) // a C string, bytes escaped
{
    *os << testing::PrintToString(bytes.toStdString());
}
inline void PrintTo(const QString &text, std::ostream *os) // as UTF-8, to be read
{
    *os << '"' << text.toStdString() << '"';
}

struct TempJob
{
    QTemporaryDir dir;
    QString path() const { return dir.path(); }
    QString filePath(const QString &name) const { return dir.filePath(name); }

    void write(const QString &name, const QByteArray &bytes) const
    {
        QFile file(filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
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
