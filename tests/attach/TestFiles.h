// Helpers shared by the attachment tests: test data, files in a temporary folder, and a plain
// line-by-line encoder to hold the optimised one against.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace testfiles {

inline QByteArray randomBytes(qsizetype size, unsigned seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    std::mt19937 generator(seed);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(generator() & 0xff);
    return bytes;
}

// Every byte value, over and over, shifted by `offset` so that each value meets each of the
// three places in a group.
inline QByteArray allByteValues(qsizetype size, int offset = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i + offset) & 0xff);
    return bytes;
}

inline QString writeFile(const QTemporaryDir &dir, const QString &name, QByteArrayView data)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << qPrintable(path);
    EXPECT_EQ(file.write(data.data(), data.size()), data.size()) << qPrintable(path);
    return path;
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << qPrintable(path);
    return file.readAll();
}

// The format written out step by step: a line per 45-byte block, the last block padded with
// spaces, characters from value + 32, then every space of the line turned into "`".
inline QByteArray referenceEncode(QByteArrayView name, QByteArrayView data)
{
    QByteArray text = "begin 664 " + name.toByteArray() + "\n";
    const qsizetype blocks = data.size() / 45 + 1;
    for (qsizetype b = 0; b < blocks; ++b) {
        QByteArray block =
            data.sliced(b * 45, std::min<qsizetype>(45, data.size() - b * 45)).toByteArray();
        QByteArray line(1, char(32 + block.size()));
        while (block.size() % 3 != 0)
            block.append(' ');
        for (qsizetype g = 0; g < block.size(); g += 3) {
            const auto b1 = uchar(block[g]), b2 = uchar(block[g + 1]), b3 = uchar(block[g + 2]);
            line.append(char(32 + (b1 >> 2)));
            line.append(char(32 + ((b1 & 3) << 4 | b2 >> 4)));
            line.append(char(32 + ((b2 & 15) << 2 | b3 >> 6)));
            line.append(char(32 + (b3 & 63)));
        }
        line.replace(' ', '`');
        text += line + "\n";
    }
    return text + "`\nend\n";
}

} // namespace testfiles
