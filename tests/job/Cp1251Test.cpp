#include "Cp1251.h"

#include <QSet>

#include <gtest/gtest.h>

TEST(Cp1251, EveryByteSurvivesTheRoundTrip)
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    const QString text = Cp1251::toUnicode(all);
    ASSERT_EQ(text.size(), 256);
    EXPECT_EQ(Cp1251::fromUnicode(text), all);
    // Each byte has its own character.
    QSet<QChar> distinct(text.begin(), text.end());
    EXPECT_EQ(distinct.size(), 256);
}

TEST(Cp1251, KnownCharacters)
{
    struct Case
    {
        unsigned char byte;
        char16_t unicode;
    };
    const Case cases[] = {
        {0x41, u'A'},    {0xC0, u'А'}, {0xFF, u'я'},    {0xA8, u'Ё'},  {0xB8, u'ё'},
        {0x88, u'€'},    {0xB9, u'№'}, {0x98, u'\x98'}, {0x00, u'\0'}, {0x96, u'–'},
        {0xA0, u'\xA0'}, {0x80, u'Ђ'}, {0xAA, u'Є'},    {0xB2, u'І'},  {0x97, u'—'},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.byte));
        const QByteArray byte(1, char(c.byte));
        EXPECT_EQ(Cp1251::toUnicode(byte), QString(QChar(c.unicode)));
        EXPECT_EQ(Cp1251::fromUnicode(QString(QChar(c.unicode))), byte);
    }
    EXPECT_EQ(Cp1251::toUnicode("\xCF\xF0\xE8\xE2\xE5\xF2"), QStringLiteral("Привет"));
}

TEST(Cp1251, CharactersOutsideTheCodePageBecomeQuestionMarks)
{
    const QString text = QStringLiteral("a\u4E2Db\u00E9c\U0001F600d\u0081");
    // The emoji is two UTF-16 units, so two question marks.
    EXPECT_EQ(Cp1251::fromUnicode(text), QByteArray("a?b?c??d?"));
}
