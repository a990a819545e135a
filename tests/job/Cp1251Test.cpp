// Catches: a code page that differs from Python's cp1251, a UTF-8 conversion unlike Qt's decoder.
#include "Cp1251.h"
#include "JobEncoding.h"

#include <QProcess>
#include <QSet>
#include <QStringDecoder>

#include <gtest/gtest.h>

#include <random>

TEST(Cp1251, AgreesWithPythonsCodecAndEveryByteHasItsOwnCharacter)
{
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

// Random short files, mostly of UTF-8 lead and continuation bytes, some behind a byte-order mark:
// valid UTF-8 with a character above ASCII, or anything behind the mark, becomes what Qt's decoder
// reads, character by character; every other file stays as it is.
TEST(Cp1251, RandomFilesConvertAsQtsDecoderReadsThem)
{
    const QByteArray alphabet(
        "a\r\n\0\x7F\x80\x8F\x90\xA0\xBB\xBF\xC0\xC2\xD0\xDF\xE0\xED\xEF\xF0\xF4\xF5\xFF", 22);
    std::mt19937 random(1251);
    for (int round = 0; round < 200'000; ++round) {
        QByteArray data(qsizetype(random() % 10), '\0');
        for (char &c : data)
            c = alphabet[random() % alphabet.size()];
        if (round % 4 == 0)
            data.prepend("\xEF\xBB\xBF");
        const bool bom = data.startsWith("\xEF\xBB\xBF");
        const QByteArrayView body = QByteArrayView(data).sliced(bom ? 3 : 0);
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString decoded = decoder(body);
        // What replaces bad bytes behind the mark is our own choice; Qt skips a second mark.
        if ((bom && decoder.hasError()) || body.startsWith("\xEF\xBB\xBF"))
            continue;
        const bool utf8 = bom || (!decoder.hasError() && decoded.size() < data.size());
        QByteArray expected = utf8 ? QByteArray() : data;
        for (const char32_t ch : utf8 ? decoded.toUcs4() : QList<uint>())
            expected += Cp1251::byteOf(ch) < 0 ? '?' : char(Cp1251::byteOf(ch));
        const JobEncoding::Text text = JobEncoding::toCp1251(data);
        ASSERT_TRUE(text.fromUtf8 == utf8 && text.bytes == expected) << data.toHex().toStdString();
    }
}
