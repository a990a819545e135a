// Catches: a code page that differs from Python's cp1251 or loses a byte on a round trip.
#include "Cp1251.h"
#include "TestSupport.h"

#include <QProcess>
#include <QSet>

#include <gtest/gtest.h>

TEST(Cp1251, AgreesWithPythonsCodecAndEveryByteHasItsOwnCharacter)
{
    SKIP_WITHOUT_PYTHON();
    // Python: the character of every byte but 0x98, which its codec leaves undefined.
    QProcess python;
    python.start("python3", {"-c", "b = bytes(i for i in range(256) if i != 0x98)\n"
                                   "print(b.hex(), b.decode('cp1251').encode('utf-8').hex())"});
    ASSERT_TRUE(python.waitForFinished(30000));
    const QList<QByteArray> out = python.readAllStandardOutput().trimmed().split(' ');
    ASSERT_EQ(out.size(), 2) << python.readAllStandardError().toStdString();
    EXPECT_EQ(Cp1251::toUnicode(QByteArray::fromHex(out[0])),
              QString::fromUtf8(QByteArray::fromHex(out[1])));

    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    const QString text = Cp1251::toUnicode(all);
    EXPECT_EQ(Cp1251::fromUnicode(text), all);
    EXPECT_EQ(QSet<QChar>(text.begin(), text.end()).size(), 256);
    // An emoji is two UTF-16 units in a QString, so two question marks there.
    EXPECT_EQ(Cp1251::fromUnicode(QStringLiteral("a\u4E2Db\u00E9c\U0001F600d\u0081")), "a?b?c??d?");
}
