#include "Fields.h"
#include "Bytes.h"

#include <gtest/gtest.h>

namespace {

TEST(Fields, TrimmedRemovesSpacesOnly)
{
    const struct
    {
        QByteArray in, out;
    } cases[] = {
        {"", ""},
        {"   ", ""},
        {"  a@b  ", "a@b"},
        {"a b", "a b"},
        {"\ta@b\t", "\ta@b\t"},
        {" \t a@b \t ", "\t a@b \t"},
        {"\xA0x\xA0", "\xA0x\xA0"}, // a no-break space is not a space here
    };
    for (const auto &c : cases)
        EXPECT_EQ(Smtp::trimmed(c.in), c.out) << c.in.toStdString();
}

TEST(Fields, LineBreakOrNulIsFound)
{
    const struct
    {
        QByteArray field;
        bool bad;
    } cases[] = {
        {"", false},         {"bob@example.net", false}, {"a\tb c\xFF", false}, {"a\rb", true},
        {"a\nb", true},      {bytes("a\0b"), true},      {"bob@x\r\n", true},   {"\n", true},
        {bytes("\0"), true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Smtp::hasLineBreakOrNul(c.field), c.bad) << testing::PrintToString(c.field);
}

TEST(Fields, MessagesForTheUser)
{
    EXPECT_EQ(Smtp::invalidFieldMessage(Smtp::RecipientFieldName.toString()),
              QStringLiteral("SMTP Error: поле «E-mail адресата» содержит перевод строки или "
                             "нулевой символ"));
    EXPECT_EQ(Smtp::invalidFieldMessage(Smtp::HostFieldName.toString()),
              QStringLiteral("SMTP Error: поле «Хост SMTP» содержит перевод строки или "
                             "нулевой символ"));
    // The whole reply, every line, its Windows-1251 bytes as text.
    EXPECT_EQ(Smtp::refusalMessage("550-\xCD\xE5\xF2\r\n550 no\r\n"),
              QStringLiteral("SMTP Error: 550-Нет\r\n550 no\r\n"));
}

} // namespace
