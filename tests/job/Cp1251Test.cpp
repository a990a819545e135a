// Catches: a wrong entry of the Windows-1251 table (held against Python's own cp1251 codec),
// two bytes sharing a character, and a UTF-8 conversion that differs from Python's.
#include "Cp1251.h"
#include "JobEncoding.h"

#include <QProcess>
#include <QSet>

#include <gtest/gtest.h>

namespace {

// Runs a Python program and returns its standard output, split into lines.
QList<QByteArray> python(const char *program)
{
    QProcess process;
    process.start(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromLatin1(program)});
    EXPECT_TRUE(process.waitForFinished(30000)) << process.errorString().toStdString();
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    return process.readAllStandardOutput().trimmed().split('\n');
}

} // namespace

TEST(Cp1251, EveryByteHasItsOwnCharacterAndSurvivesTheRoundTrip)
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    const QString text = Cp1251::toUnicode(all);
    ASSERT_EQ(text.size(), 256);
    EXPECT_EQ(Cp1251::fromUnicode(text), all);
    EXPECT_EQ(QSet<QChar>(text.begin(), text.end()).size(), 256);
    EXPECT_EQ(text[0x98], QChar(0x98)); // the one byte the code page leaves unassigned
}

TEST(Cp1251, AgreesWithPythonsCodec)
{
    // Python's cp1251 codec: the character of every byte but 0x98, which it leaves undefined,
    // and the bytes of a UTF-8 text with characters outside the code page, each as "?".
    const QList<QByteArray> out =
        python("b = bytes(i for i in range(256) if i != 0x98)\n"
               "t = b.decode('cp1251') + 'é中\\U0001F600\\u0081 end'\n"
               "print(b.hex()); print(t[:len(b)].encode('utf-8').hex())\n"
               "print(t.encode('utf-8').hex()); print(t.encode('cp1251', 'replace').hex())\n");
    ASSERT_EQ(out.size(), 4);
    const QByteArray bytes = QByteArray::fromHex(out[0]);
    EXPECT_EQ(Cp1251::toUnicode(bytes), QString::fromUtf8(QByteArray::fromHex(out[1])));
    const JobEncoding::Text converted = JobEncoding::toCp1251(QByteArray::fromHex(out[2]));
    EXPECT_TRUE(converted.fromUtf8);
    EXPECT_EQ(converted.bytes.toHex(), out[3]);
}

TEST(Cp1251, CharactersOutsideTheCodePageBecomeQuestionMarks)
{
    const QString text = QStringLiteral("a\u4E2Db\u00E9c\U0001F600d\u0081");
    // The emoji is two UTF-16 units, so two question marks.
    EXPECT_EQ(Cp1251::fromUnicode(text), QByteArray("a?b?c??d?"));
    EXPECT_EQ(Cp1251::byteOf(U'\u0451'), 0xB8);
    EXPECT_EQ(Cp1251::byteOf(U'\u00E9'), -1);
    EXPECT_EQ(Cp1251::byteOf(0), 0);
}
