// Catches: a wrong entry of the Windows-1251 table or a UTF-8 conversion that differs from
// Python's own cp1251 codec, and two bytes that share a character.
#include "Cp1251.h"
#include "JobEncoding.h"

#include <QProcess>
#include <QSet>

#include <gtest/gtest.h>

TEST(Cp1251, AgreesWithPythonsCodecAndEveryByteHasItsOwnCharacter)
{
    // Python: the character of every byte but 0x98, which its codec leaves undefined, and the
    // bytes of a UTF-8 text with characters outside the code page, each sent as "?".
    QProcess python;
    python.start("python3",
                 {"-c", "b = bytes(i for i in range(256) if i != 0x98)\n"
                        "t = b.decode('cp1251') + 'é中\\U0001F600\\u0081 end'\n"
                        "print(b.hex(), t[:len(b)].encode('utf-8').hex(),\n"
                        "      t.encode('utf-8').hex(), t.encode('cp1251', 'replace').hex())"});
    ASSERT_TRUE(python.waitForFinished(30000));
    const QList<QByteArray> out = python.readAllStandardOutput().trimmed().split(' ');
    ASSERT_EQ(out.size(), 4) << python.readAllStandardError().toStdString();
    EXPECT_EQ(Cp1251::toUnicode(QByteArray::fromHex(out[0])),
              QString::fromUtf8(QByteArray::fromHex(out[1])));
    const JobEncoding::Text converted = JobEncoding::toCp1251(QByteArray::fromHex(out[2]));
    EXPECT_TRUE(converted.fromUtf8);
    EXPECT_EQ(converted.bytes.toHex(), out[3]);

    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    const QString text = Cp1251::toUnicode(all);
    EXPECT_EQ(Cp1251::fromUnicode(text), all);
    EXPECT_EQ(QSet<QChar>(text.begin(), text.end()).size(), 256);
    // An emoji is two UTF-16 units in a QString, so two question marks there.
    EXPECT_EQ(Cp1251::fromUnicode(QStringLiteral("a\u4E2Db\u00E9c\U0001F600d")), "a?b?c??d");
}
