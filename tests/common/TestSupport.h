// Shared by the test programs: readable bytes and text in failures, and files in a temporary
// folder.
#pragma once

#include <QFile>
#include <QProcess>
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

// Python's modules are the oracle of some cases. Wine starts Linux's python3 for a Windows program
// but gives it no process handle to wait for, and Windows need not have Python: skipped there.
#ifdef Q_OS_WIN
#define SKIP_WITHOUT_PYTHON()                                                                      \
    if (QProcess p; p.start("python3", {"-c", ""}), !p.waitForFinished() || p.exitCode() != 0)    \
    GTEST_SKIP() << "python3 cannot be run and waited for here"
#else
#define SKIP_WITHOUT_PYTHON()
#endif

struct TempDir : QTemporaryDir
{
    QString write(const QString &name, const QByteArray &bytes) const // returns the file's path
    {
        QFile file(filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(filePath(name)));
        return file.fileName();
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
